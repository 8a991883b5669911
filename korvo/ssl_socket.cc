#include "korvo/ssl_socket.h"

#include <memory>
#include <string>
#include <utility>

#include <openssl/ssl.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/write.hpp>

#include "korvo/logger.h"

namespace korvo {

namespace {

constexpr std::size_t kMaxJoinedWrite = 64 * 1024;
// The most plaintext one TLS record carries.
constexpr std::size_t kMaxRecordPlaintext = 16 * 1024;

}  // namespace

SslSocket::SslSocket(boost::asio::io_context& io_context,
                     boost::asio::ssl::context& ssl_context)
    : ssl_stream_(io_context, ssl_context) {}

SslSocket::~SslSocket() {
  boost::system::error_code ignored;
  ssl_stream_.lowest_layer().close(ignored);
}

void SslSocket::AsyncConnect(const std::string& host, const Endpoints& endpoints,
                             ConnectHandler handler) {
  // Server-name indication carries DNS names only (RFC 6066); an address literal is
  // still verified against the certificate's IP entries below.
  boost::system::error_code address_error;
  boost::asio::ip::make_address(host, address_error);
  if (address_error &&
      !SSL_set_tlsext_host_name(ssl_stream_.native_handle(), host.c_str())) {
    LOG_ERRO("Failed to set SNI host name for SSL");
  }

  boost::system::error_code ignored;
  ssl_stream_.set_verify_mode(boost::asio::ssl::verify_peer, ignored);
  ssl_stream_.set_verify_callback(boost::asio::ssl::host_name_verification(host), ignored);

  boost::asio::async_connect(
      ssl_stream_.lowest_layer(), endpoints,
      [this, handler = std::move(handler)](boost::system::error_code error,
                                           boost::asio::ip::tcp::endpoint endpoint) mutable {
        OnConnect(error, endpoint, std::move(handler));
      });
}

void SslSocket::OnConnect(boost::system::error_code error,
                          boost::asio::ip::tcp::endpoint endpoint, ConnectHandler handler) {
  if (error) {
    handler(error, endpoint);
    return;
  }
  endpoint_ = endpoint;
  DisableNagle(ssl_stream_.next_layer());
  ssl_stream_.async_handshake(
      boost::asio::ssl::stream_base::client,
      [this, handler = std::move(handler)](boost::system::error_code error) mutable {
        OnHandshake(error, std::move(handler));
      });
}

void SslSocket::OnHandshake(boost::system::error_code error, ConnectHandler handler) {
  if (error) {
    LOG_ERRO("Handshake error (%s)", error.message().c_str());
  }
  handler(error, endpoint_);
}

void SslSocket::AsyncWrite(const Payload& payload, WriteHandler handler) {
  // The TLS stream writes one buffer per record: a head made of dozens of small ranges
  // would go out as dozens of records. Small gathers are joined into one.
  std::size_t size = 0;
  for (const auto& buffer : payload) size += buffer.size();
  if (payload.size() > 1 && size <= kMaxJoinedWrite) {
    auto joined = std::make_shared<std::string>();
    joined->reserve(size);
    for (const auto& buffer : payload) {
      joined->append(static_cast<const char*>(buffer.data()), buffer.size());
    }
    boost::asio::async_write(
        ssl_stream_, boost::asio::buffer(*joined),
        [joined, handler = std::move(handler)](boost::system::error_code error,
                                               std::size_t length) { handler(error, length); });
    return;
  }
  boost::asio::async_write(ssl_stream_, payload, std::move(handler));
}

void SslSocket::AsyncWriteSome(const Payload& payload, WriteHandler handler) {
  // One write makes at most one record, from the first range only; small ranges are
  // joined so that a record carries all of them. The count is of the joined bytes,
  // which are the payload's own in order.
  std::size_t size = 0;
  for (const auto& buffer : payload) size += buffer.size();
  if (payload.size() > 1 && size <= kMaxRecordPlaintext) {
    auto joined = std::make_shared<std::string>();
    joined->reserve(size);
    for (const auto& buffer : payload) {
      joined->append(static_cast<const char*>(buffer.data()), buffer.size());
    }
    ssl_stream_.async_write_some(
        boost::asio::buffer(*joined),
        [joined, handler = std::move(handler)](boost::system::error_code error,
                                               std::size_t length) { handler(error, length); });
    return;
  }
  ssl_stream_.async_write_some(payload, std::move(handler));
}

void SslSocket::AsyncReadSome(ReadHandler handler, std::vector<char>* buffer) {
  ssl_stream_.async_read_some(boost::asio::buffer(*buffer), std::move(handler));
}

bool SslSocket::Shutdown() {
  auto& socket = ssl_stream_.lowest_layer();
  boost::system::error_code ignored;
  socket.cancel(ignored);

  // In non-blocking mode the closing exchange sends close_notify and then, instead of
  // waiting for the peer's answer, stops with would_block: a peer that neither answers
  // nor closes cannot hold the loop.
  socket.non_blocking(true, ignored);
  boost::system::error_code error;
  ssl_stream_.shutdown(error);
  // The peer's end of stream, with or without its own close_notify, means the
  // connection is over: that is what shutting down wants.
  if (error && error != boost::asio::error::would_block && error != boost::asio::error::eof &&
      error != boost::asio::ssl::error::stream_truncated) {
    LOG_WARN("SSL shutdown error (%s)", error.message().c_str());
    return false;
  }

  error.clear();
  socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, error);
  if (error) {
    LOG_WARN("Socket shutdown error (%s)", error.message().c_str());
    return false;
  }
  return true;
}

bool SslSocket::Close() {
  boost::system::error_code error;
  ssl_stream_.lowest_layer().close(error);
  if (error) {
    LOG_WARN("Socket close error (%s)", error.message().c_str());
    return false;
  }
  return true;
}

bool SslSocket::HasBufferedInput() const {
  // Filled in with the TLS buffer checks.
  return false;
}

bool SslSocket::IsAlive() const {
  auto& socket = const_cast<SslSocket*>(this)->ssl_stream_.lowest_layer();
  // A close_notify from the server arrives as bytes too, so readable means gone.
  return socket.is_open() && IsIdleSocketAlive(socket.native_handle());
}

}  // namespace korvo
