#include "korvo/internal/socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include <memory>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

#include "korvo/internal/connector.h"
#include "korvo/logger.h"

namespace korvo {

Socket::Socket(boost::asio::io_context& io_context)
    : TcpSocketBase(KORVO_LOG_BASE_FILE), socket_(io_context) {}

Socket::Socket(boost::asio::ip::tcp::socket connected)
    : TcpSocketBase(KORVO_LOG_BASE_FILE), socket_(std::move(connected)) {}

void Socket::AsyncConnect(const std::string& /*host*/, const Endpoints& endpoints,
                          ConnectHandler handler) {
  ConnectTcp(
      endpoints,
      [this, handler = std::move(handler)](boost::system::error_code error,
                                           boost::asio::ip::tcp::endpoint endpoint) {
        if (!error) DisableNagle(socket_);
        handler(error, endpoint);
      });
}

void Socket::AsyncWrite(const detail::Payload& payload, WriteHandler handler) {
  // A single range (a head, a file chunk) spares the operation its own copy of the list.
  if (payload.size() == 1) {
    boost::asio::async_write(socket_, AsioBuffer(payload.front()), std::move(handler));
    return;
  }
  boost::asio::async_write(socket_, AsioBuffers(payload), std::move(handler));
}

void Socket::AsyncWriteSome(const detail::Payload& payload, WriteHandler handler) {
  if (payload.size() == 1) {
    socket_.async_write_some(AsioBuffer(payload.front()), std::move(handler));
    return;
  }
  socket_.async_write_some(AsioBuffers(payload), std::move(handler));
}

void Socket::AsyncReadSome(ReadHandler handler, std::vector<char>* buffer) {
  socket_.async_read_some(boost::asio::buffer(*buffer), std::move(handler));
}

// The calls that must not wait pass MSG_DONTWAIT themselves: switching the socket to
// non-blocking mode for them would cost an ioctl on every new connection.
std::size_t Socket::WriteSomeNow(const detail::Payload& payload,
                                 boost::system::error_code& error) {
  if (!socket_.is_open()) {  // not connected yet: nothing can move
    error = boost::asio::error::would_block;
    return 0;
  }
  iovec pieces[kMaxWritePieces];
  std::size_t count = 0;
  for (const detail::ByteRange& range : payload) {
    if (count == kMaxWritePieces) break;
    pieces[count].iov_base = const_cast<void*>(range.data());
    pieces[count].iov_len = range.size();
    ++count;
  }
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = count;
  for (;;) {
    ssize_t sent = ::sendmsg(socket_.native_handle(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) {
      error.clear();
      return static_cast<std::size_t>(sent);
    }
    if (errno != EINTR) break;
  }
  error.assign(errno, boost::asio::error::get_system_category());
  return 0;
}

std::size_t Socket::ReadSomeNow(std::vector<char>* buffer, boost::system::error_code& error) {
  if (!socket_.is_open()) {
    error = boost::asio::error::would_block;
    return 0;
  }
  for (;;) {
    ssize_t received =
        ::recv(socket_.native_handle(), buffer->data(), buffer->size(), MSG_DONTWAIT);
    if (received > 0) {
      error.clear();
      return static_cast<std::size_t>(received);
    }
    if (received == 0) {
      error = boost::asio::error::eof;
      return 0;
    }
    if (errno != EINTR) break;
  }
  error.assign(errno, boost::asio::error::get_system_category());
  return 0;
}

bool TcpSocketBase::ShutdownTcp() {
  boost::system::error_code error;
  Tcp().shutdown(boost::asio::ip::tcp::socket::shutdown_both, error);
  if (error) {
    if (LogEnabled(kLogWarn)) {
      LogWrite(kLogWarn, log_file_, __LINE__, "Socket shutdown error (%s)",
               error.message().c_str());
    }
    return false;
  }
  return true;
}

TcpSocketBase::~TcpSocketBase() {
  if (std::shared_ptr<Connector> connector = connector_.lock()) connector->Cancel();
}

void TcpSocketBase::ConnectTcp(const Endpoints& endpoints, ConnectHandler handler) {
  std::vector<boost::asio::ip::tcp::endpoint> list;
  list.reserve(endpoints.size());
  for (const auto& entry : endpoints) list.push_back(entry.endpoint());
  connector_ = Connector::Start(
      Tcp().get_executor(), std::move(list),
      [this, handler = std::move(handler)](boost::system::error_code error,
                                           boost::asio::ip::tcp::socket socket,
                                           boost::asio::ip::tcp::endpoint endpoint) {
        // Only a success touches this object: a socket closed or destroyed has
        // cancelled the connector, whose handler then gets operation_aborted.
        if (!error) Tcp() = std::move(socket);
        handler(error, endpoint);
      });
}

bool TcpSocketBase::Close() {
  if (std::shared_ptr<Connector> connector = connector_.lock()) connector->Cancel();
  boost::system::error_code error;
  Tcp().close(error);
  if (error) {
    if (LogEnabled(kLogWarn)) {
      LogWrite(kLogWarn, log_file_, __LINE__, "Socket close error (%s)",
               error.message().c_str());
    }
    return false;
  }
  return true;
}

bool TcpSocketBase::IsAlive() const {
  // native_handle() is not const, but reading it changes nothing. A close_notify from a
  // TLS server arrives as bytes too, so readable means gone; bytes a transport took off
  // the socket already are just as unasked for.
  auto& socket = const_cast<boost::asio::ip::tcp::socket&>(Tcp());
  return socket.is_open() && IsIdleSocketAlive(socket.native_handle()) && !HasBufferedInput();
}

std::size_t SocketBase::WriteSomeNow(const detail::Payload& /*payload*/,
                                     boost::system::error_code& error) {
  error = boost::asio::error::would_block;
  return 0;
}

std::size_t SocketBase::ReadSomeNow(std::vector<char>* /*buffer*/,
                                    boost::system::error_code& error) {
  error = boost::asio::error::would_block;
  return 0;
}

std::vector<boost::asio::const_buffer> AsioBuffers(const detail::Payload& payload) {
  std::vector<boost::asio::const_buffer> buffers;
  buffers.reserve(payload.size());
  for (const detail::ByteRange& range : payload) buffers.push_back(AsioBuffer(range));
  return buffers;
}

void DisableNagle(boost::asio::ip::tcp::socket& socket) {
  // A head and its body go out as separate writes: with Nagle's algorithm the second
  // waits for the server's delayed acknowledgement (40 ms on Linux) on every request.
  boost::system::error_code error;
  socket.set_option(boost::asio::ip::tcp::no_delay(true), error);
  if (error) LOG_WARN("Socket option error (%s)", error.message().c_str());
}

void AcknowledgeAtOnce(int fd) {
#ifdef TCP_QUICKACK
  int on = 1;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on)) != 0) {
    LOG_WARN("Socket option error (%s)", std::strerror(errno));
  }
#else
  (void)fd;
#endif
}

bool IsIdleSocketAlive(int fd) {
  pollfd descriptor{fd, POLLIN | POLLRDHUP, 0};
  int ready = poll(&descriptor, 1, 0);
  return ready == 0;
}

}  // namespace korvo
