// SslSocket: TLS over TCP.
//
// Connecting sets server-name indication (for a DNS name only; an IP literal is sent
// without it), switches peer verification on against the context's certificate store,
// checks that the certificate names the host (DNS name or IP address), connects (the
// addresses raced as for plain TCP; only the winning connection is handshaken) and
// runs the client handshake. A DNS name is sent and checked without one trailing dot;
// it must be among the certificate's DNS subjectAltNames (the subject's common name is
// never used), where a wildcard counts only as a whole left-most label. Its handler
// runs once, after the handshake or at the first failure; a failed handshake is logged
// here as "Handshake error (%s)".
// Shutdown sends close_notify and never waits for the peer's answer. A socket made
// without verification checks neither the certificate nor the name (server-name
// indication is still sent) and logs WARN "Certificate verification is off" for every
// connection.
//
// Thread rules: as SocketBase. The TLS context is shared by all sockets of a session
// and must outlive them.
#ifndef KORVO_INTERNAL_SSL_SOCKET_H_
#define KORVO_INTERNAL_SSL_SOCKET_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <openssl/ssl.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>

#include "korvo/internal/socket.h"
#include "korvo/internal/tls_context.h"

namespace korvo {

// Sets up `ssl` to check that the peer is `host` (see above); with `verify_peer`
// false, logs WARN "Certificate verification is off" and checks nothing.
void PrepareTlsPeerCheck(SSL* ssl, const std::string& host, bool verify_peer);
// Why a TLS operation on `ssl` failed with `error`: the certificate check's verdict
// where it refused the peer, else the error's message.
std::string DescribeTlsError(SSL* ssl, bool verify_peer, const boost::system::error_code& error);
// Whether `ssl` holds received bytes that no read has handed out yet.
bool TlsHasBufferedInput(SSL* ssl);
// Offers "h2" and "http/1.1", in that order, through ALPN.
void OfferHttp2Alpn(SSL* ssl);
// The protocol the peer picked through ALPN, or empty.
std::string SelectedAlpn(const SSL* ssl);

class SslSocket : public TcpSocketBase {
 public:
  SslSocket(boost::asio::io_context& io_context, boost::asio::ssl::context& ssl_context,
            bool verify_peer = true);
  // Over a TCP connection already made (to a proxy, or through a tunnel it opened):
  // AsyncHandshake, not AsyncConnect, then makes it a TLS connection.
  SslSocket(boost::asio::ip::tcp::socket connected, boost::asio::ssl::context& ssl_context,
            bool verify_peer);

  // Checks the peer as `host` and runs the client handshake over the connection given
  // at construction (`port` names the peer for session resumption).
  void AsyncHandshake(const std::string& host, std::uint16_t port,
                      std::function<void(boost::system::error_code)> handler);

  // Resume sessions kept by `tls` (the context this socket was made with, which must
  // outlive it) and keep the new ones there.
  void ResumeSessionsFrom(TlsContext* tls) { sessions_ = tls; }

  void AsyncConnect(const std::string& host, const Endpoints& endpoints,
                    ConnectHandler handler) override;
  void AsyncWrite(const detail::Payload& payload, WriteHandler handler) override;
  void AsyncWriteSome(const detail::Payload& payload, WriteHandler handler) override;
  void AsyncReadSome(ReadHandler handler, std::vector<char>* buffer) override;
  bool Shutdown() override;
  bool HasBufferedInput() const override;
  std::string DescribeError(const boost::system::error_code& error) const override;
  void OfferHttp2() override { offer_http2_ = true; }
  std::string SelectedProtocol() const override;

 protected:
  boost::asio::ip::tcp::socket& Tcp() override { return ssl_stream_.next_layer(); }

 private:
  // The connect handler travels with the pending operations rather than living in a
  // member, so that a loop destroyed with operations pending releases it.
  void OnConnect(boost::system::error_code error, boost::asio::ip::tcp::endpoint endpoint,
                 ConnectHandler handler);
  void OnHandshake(boost::system::error_code error, ConnectHandler handler);

  // Offers the session kept for `host` and `port`, if resuming.
  void PrepareResumption(const std::string& host, std::uint16_t port);

  boost::asio::ip::tcp::endpoint endpoint_;
  boost::asio::ssl::stream<boost::asio::ip::tcp::socket> ssl_stream_;
  bool verify_peer_;
  bool offer_http2_ = false;
  TlsContext* sessions_ = nullptr;
  std::string peer_;  // "host:port", for the sessions kept
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_SSL_SOCKET_H_
