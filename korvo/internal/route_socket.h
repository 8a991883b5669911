// RouteSocket: a connection to an origin by a route other than a direct TCP
// connection (see Route in korvo/internal/proxy.h).
//
// Connecting walks the route's steps, all under the driver's one connect limit: a
// Unix-domain socket, or TCP to the proxy (its addresses raced as for a direct
// connection); TLS to an https proxy, verified as any server under the session's TLS
// settings; the tunnel (CONNECT, or SOCKS5 with the origin's name resolved here for
// socks5 and by the proxy for socks5h); then TLS to an https origin, inside the
// proxy's TLS where there is one. An http origin behind an HTTP proxy needs no tunnel:
// the connection then ends at the proxy, and the driver writes its requests in
// absolute form. Whatever the proxy sends beyond its answer before the origin has
// spoken fails the connection: it could only be a response forged for the origin.
//
// Once connected, every operation goes to the topmost layer, and every wait for the
// origin's bytes through a proxy over TCP asks for immediate acknowledgements: a relay
// that leaves Nagle's algorithm on (tinyproxy does) holds a small write back until its
// previous one is acknowledged, and a delayed acknowledgement (40 ms on Linux) then
// stalls an answer the origin sent in two pieces, such as a TLS 1.3 server's session
// tickets followed by the first response. Close ends the step in
// progress, whose handler then gets operation_aborted. A failure on the way names its
// place (FailurePlace) and its reason in words (DescribeError: the proxy's answer, the
// SOCKS reply's meaning), never the proxy's credentials.
//
// Thread rules: as SocketBase. The TLS context must outlive the socket.
#ifndef KORVO_INTERNAL_ROUTE_SOCKET_H_
#define KORVO_INTERNAL_ROUTE_SOCKET_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "korvo/internal/host_lookup.h"
#include "korvo/internal/proxy.h"
#include "korvo/internal/socket.h"
#include "korvo/internal/tls_context.h"

namespace korvo {

class ConnectTunnel;
class Socks5Handshake;

class RouteSocket : public SocketBase {
 public:
  // `tls` serves an https proxy and an https origin (`origin_tls`); it may be null
  // when neither speaks TLS. `origin_port` is the port the tunnel asks for.
  RouteSocket(boost::asio::io_context& io_context, Route route, std::shared_ptr<TlsContext> tls,
              bool origin_tls, std::uint16_t origin_port);
  ~RouteSocket() override;

  // `host` is the origin's (without brackets); `endpoints` are the proxy's addresses,
  // unused for a Unix socket.
  void AsyncConnect(const std::string& host, const Endpoints& endpoints,
                    ConnectHandler handler) override;
  void AsyncWrite(const detail::Payload& payload, WriteHandler handler) override;
  void AsyncWriteSome(const detail::Payload& payload, WriteHandler handler) override;
  void AsyncReadSome(ReadHandler handler, std::vector<char>* buffer) override;
  std::size_t WriteSomeNow(const detail::Payload& payload,
                           boost::system::error_code& error) override;
  std::size_t ReadSomeNow(std::vector<char>* buffer, boost::system::error_code& error) override;
  bool Shutdown() override;
  bool Close() override;
  bool IsAlive() const override;
  bool HasBufferedInput() const override;
  std::string DescribeError(const boost::system::error_code& error) const override;
  std::string FailurePlace() const override;
  void OfferHttp2() override { offer_http2_ = true; }
  std::string SelectedProtocol() const override;

 private:
  enum class Step { kTransport, kProxyTls, kTunnel, kOriginTls, kDone };

  void ConnectUnix(ConnectHandler handler);
  void OnTransport(ConnectHandler handler);
  void StartTunnel(ConnectHandler handler);
  void Negotiate(const std::string& target, ConnectHandler handler);
  void WriteNegotiation(ConnectHandler handler);
  void ReadNegotiation(ConnectHandler handler);
  void StartOriginTls(ConnectHandler handler);
  // Fails the step in progress with `why`, from the loop.
  void FailStep(std::string why, ConnectHandler handler);
  // The error of a completed step: `error`, or aborted once Close has run.
  boost::system::error_code Checked(boost::system::error_code error) const;

  boost::asio::io_context& io_context_;
  Route route_;
  std::shared_ptr<TlsContext> tls_;
  bool origin_tls_;
  bool offer_http2_ = false;
  std::uint16_t origin_port_;
  std::string origin_host_;

  Step step_ = Step::kTransport;
  std::unique_ptr<SocketBase> layer_;  // the topmost layer made so far
  std::unique_ptr<boost::asio::local::stream_protocol::socket> unix_;  // while connecting
  std::shared_ptr<HostLookup> lookup_;  // the SOCKS5 target's, while pending
  // The connect handler while lookup_ runs, for Close to complete it: an abandoned
  // lookup never calls back.
  ConnectHandler lookup_handler_;
  std::unique_ptr<ConnectTunnel> tunnel_;
  std::unique_ptr<Socks5Handshake> socks_;
  std::string output_;        // negotiation bytes being written
  std::vector<char> input_;   // negotiation bytes being read
  std::string failure_;       // why the route failed, when the proxy said so
  bool origin_lookup_failed_ = false;  // socks5: the origin's name did not resolve
  boost::asio::ip::tcp::endpoint endpoint_;
  // The TCP connection to the proxy, whichever layer owns it now; -1 for a Unix socket.
  int proxy_fd_ = -1;
  bool closed_ = false;
  // Held weakly by every pending step: a step completing after this socket has gone
  // touches nothing.
  std::shared_ptr<char> life_ = std::make_shared<char>();
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_ROUTE_SOCKET_H_
