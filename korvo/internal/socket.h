// Sockets: the transport under the request driver.
//
// SocketBase hides whether a connection is plain TCP or TLS over TCP. It offers an
// asynchronous connect (over resolved endpoints, raced as RFC 8305 says: see
// korvo/internal/connector.h), an asynchronous write of a whole Payload, an
// asynchronous read of some bytes, and a synchronous shutdown and close. Socket is the
// plain TCP implementation; SslSocket (korvo/internal/ssl_socket.h) adds verification
// and the TLS handshake.
//
// A socket is connected at most once; the driver creates a new one for every new
// connection. Errors reach the handlers as error codes; nothing here throws.
//
// Thread rules: a socket is not synchronised. Start operations and call Shutdown and
// Close on the thread that runs the socket's io_context (handlers run there too);
// another thread may only use a socket while that loop is not running.
#ifndef KORVO_INTERNAL_SOCKET_H_
#define KORVO_INTERNAL_SOCKET_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "korvo/internal/payload.h"

namespace korvo {

class Connector;

// A payload's ranges as Boost.Asio buffers: the public types name no Boost.Asio type.
inline boost::asio::const_buffer AsioBuffer(const detail::ByteRange& range) {
  return boost::asio::const_buffer(range.data(), range.size());
}
std::vector<boost::asio::const_buffer> AsioBuffers(const detail::Payload& payload);

// Whether the open socket `fd` has nothing to read and no end of stream pending.
bool IsIdleSocketAlive(int fd);

// Sends small writes at once instead of holding them for an acknowledgement.
void DisableNagle(boost::asio::ip::tcp::socket& socket);

// Acknowledges what arrives next on the TCP socket `fd` at once instead of delaying the
// acknowledgement. Linux falls back to delaying as soon as the socket sends again, so it
// holds for one wait for an answer only. Does nothing where the system has no such mode.
void AcknowledgeAtOnce(int fd);

// Completion of AsyncConnect: the error (none on success) and the endpoint reached.
using ConnectHandler =
    std::function<void(boost::system::error_code, boost::asio::ip::tcp::endpoint)>;
// Completion of AsyncWrite and AsyncReadSome: the error and the number of bytes moved.
using WriteHandler = std::function<void(boost::system::error_code, std::size_t)>;
using ReadHandler = WriteHandler;

class SocketBase {
 public:
  using Endpoints = boost::asio::ip::tcp::resolver::results_type;

  SocketBase() = default;
  virtual ~SocketBase() = default;

  SocketBase(const SocketBase&) = delete;
  SocketBase& operator=(const SocketBase&) = delete;

  // Connects to the first of `endpoints` that accepts, trying the next address when
  // one is slow to answer (see Connector). `host` is the name the connection is for,
  // without brackets around an IPv6 literal (TLS verifies the peer against it; plain
  // TCP ignores it).
  virtual void AsyncConnect(const std::string& host, const Endpoints& endpoints,
                            ConnectHandler handler) = 0;

  // Writes every byte of `payload`; its ranges must stay valid until `handler` runs.
  virtual void AsyncWrite(const detail::Payload& payload, WriteHandler handler) = 0;

  // Writes at least one byte of `payload` (as much as the connection takes in one go);
  // the handler gets the count. The driver writes this way so that its time limit
  // measures a stall, not the time a large payload takes over a slow link.
  virtual void AsyncWriteSome(const detail::Payload& payload, WriteHandler handler) = 0;

  // Reads at least one and at most buffer->size() bytes into the start of `buffer`,
  // which must stay alive until `handler` runs.
  virtual void AsyncReadSome(ReadHandler handler, std::vector<char>* buffer) = 0;

  // Without waiting, and on the loop thread only while no operation of the same kind is
  // pending: writes what the connection takes now of `payload`, or reads what has
  // arrived (at most buffer->size() bytes) into the start of `buffer`. Returns the
  // bytes moved; when nothing can move now, would_block. An end of stream is eof, as
  // for AsyncReadSome. A transport that cannot tell without waiting moves nothing,
  // which is what this default does: its caller then uses the asynchronous operation.
  virtual std::size_t WriteSomeNow(const detail::Payload& payload,
                                   boost::system::error_code& error);
  virtual std::size_t ReadSomeNow(std::vector<char>* buffer, boost::system::error_code& error);

  // Ends the connection in both directions. False (with a WARN record) on failure.
  virtual bool Shutdown() = 0;

  // Closes the connection; pending operations complete as aborted. False (with a WARN
  // record) on failure.
  virtual bool Close() = 0;

  // For an idle connection between exchanges: true while the peer has neither closed
  // it nor sent anything (an idle HTTP server has nothing to say; bytes or an end of
  // stream both mean the connection cannot carry another request). Never blocks.
  virtual bool IsAlive() const = 0;

  // Whether the transport holds received bytes that no read has handed out yet (TLS:
  // records in the stream's buffers or inside OpenSSL, decrypted or not). Such bytes
  // after a complete response were never asked for: the connection cannot be reused.
  virtual bool HasBufferedInput() const { return false; }

  // Why an operation of this socket failed with `error`, in words for a user ("Connection
  // refused"; for TLS the certificate check's verdict where it failed).
  virtual std::string DescribeError(const boost::system::error_code& error) const {
    return error.message();
  }

  // Where a failed connect failed when it was not at the origin ("proxy
  // 127.0.0.1:3128", a Unix socket's path); empty for the origin.
  virtual std::string FailurePlace() const { return {}; }

  // The TLS handshake with the origin offers "h2" before "http/1.1" through ALPN; a
  // socket without TLS to the origin ignores it. Before AsyncConnect.
  virtual void OfferHttp2() {}
  // The protocol the origin picked through ALPN ("h2", "http/1.1") once connected;
  // empty when it picked none or there is no TLS to the origin.
  virtual std::string SelectedProtocol() const { return {}; }
};

// TcpSocketBase: what every transport over one TCP socket shares (closing, the idle
// check, the TCP half of a shutdown). Its records carry the source file name that the
// implementation hands over, so that they read as that implementation's own.
class TcpSocketBase : public SocketBase {
 public:
  // A connect still racing ends with it (its handler gets operation_aborted).
  ~TcpSocketBase() override;

  // Closes the connection, or ends the connection attempts still running.
  bool Close() override;
  // Open, idle (see IsIdleSocketAlive) and holding no buffered input.
  bool IsAlive() const override;

 protected:
  explicit TcpSocketBase(const char* log_file) : log_file_(log_file) {}

  virtual boost::asio::ip::tcp::socket& Tcp() = 0;
  const boost::asio::ip::tcp::socket& Tcp() const {
    return const_cast<TcpSocketBase*>(this)->Tcp();
  }
  // Shuts the TCP connection down in both directions; WARN "Socket shutdown error (%s)".
  bool ShutdownTcp();
  // Races connection attempts over `endpoints`; the winner becomes Tcp() before
  // `handler` runs. The handler may run after this object has gone (a close queues the
  // aborted completion): on an error it must not touch the socket.
  void ConnectTcp(const Endpoints& endpoints, ConnectHandler handler);

 private:
  const char* log_file_;
  // Held weakly: the attempts' pending operations alone keep it alive.
  std::weak_ptr<Connector> connector_;
};

// Socket: plain TCP.
class Socket : public TcpSocketBase {
 public:
  explicit Socket(boost::asio::io_context& io_context);
  // Over a connection already made.
  explicit Socket(boost::asio::ip::tcp::socket connected);

  // Hands the connection over (to a TLS layer above it); this socket is then closed.
  boost::asio::ip::tcp::socket TakeTcp() { return std::move(socket_); }
  // The descriptor, which stays the connection's after TakeTcp.
  int NativeHandle() { return socket_.native_handle(); }

  void AsyncConnect(const std::string& host, const Endpoints& endpoints,
                    ConnectHandler handler) override;
  void AsyncWrite(const detail::Payload& payload, WriteHandler handler) override;
  void AsyncWriteSome(const detail::Payload& payload, WriteHandler handler) override;
  void AsyncReadSome(ReadHandler handler, std::vector<char>* buffer) override;
  std::size_t WriteSomeNow(const detail::Payload& payload,
                           boost::system::error_code& error) override;
  std::size_t ReadSomeNow(std::vector<char>* buffer, boost::system::error_code& error) override;
  bool Shutdown() override { return ShutdownTcp(); }

 protected:
  boost::asio::ip::tcp::socket& Tcp() override { return socket_; }

 private:
  // A gathering write takes at most this many ranges; the rest go with the next write.
  static constexpr std::size_t kMaxWritePieces = 64;

  boost::asio::ip::tcp::socket socket_;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_SOCKET_H_
