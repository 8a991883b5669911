#include "korvo/internal/ssl_socket.h"

#include <memory>
#include <string>
#include <utility>

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/verify_context.hpp>
#include <boost/asio/write.hpp>

#include "korvo/logger.h"

namespace korvo {

namespace {

constexpr std::size_t kMaxJoinedWrite = 64 * 1024;
// The most plaintext one TLS record carries.
constexpr std::size_t kMaxRecordPlaintext = 16 * 1024;

// The bytes of a payload of several ranges and at most `limit` bytes in one string;
// null when the payload is a single range or larger.
std::shared_ptr<std::string> JoinSmall(const detail::Payload& payload, std::size_t limit) {
  if (payload.size() < 2) return nullptr;
  std::size_t size = 0;
  for (const auto& range : payload) size += range.size();
  if (size > limit) return nullptr;
  auto joined = std::make_shared<std::string>();
  joined->reserve(size);
  for (const auto& range : payload) {
    joined->append(static_cast<const char*>(range.data()), range.size());
  }
  return joined;
}

// `handler`, holding `bytes` until the write that uses them completes.
WriteHandler KeepAlongside(std::shared_ptr<std::string> bytes, WriteHandler handler) {
  return [bytes = std::move(bytes), handler = std::move(handler)](
             boost::system::error_code error, std::size_t length) { handler(error, length); };
}

}  // namespace

SslSocket::SslSocket(boost::asio::io_context& io_context,
                     boost::asio::ssl::context& ssl_context, bool verify_peer)
    : TcpSocketBase(KORVO_LOG_BASE_FILE), ssl_stream_(io_context, ssl_context),
      verify_peer_(verify_peer) {}

SslSocket::SslSocket(boost::asio::ip::tcp::socket connected,
                     boost::asio::ssl::context& ssl_context, bool verify_peer)
    : TcpSocketBase(KORVO_LOG_BASE_FILE), ssl_stream_(std::move(connected), ssl_context),
      verify_peer_(verify_peer) {}

void PrepareTlsPeerCheck(SSL* ssl, const std::string& host, bool verify_peer) {
  boost::system::error_code not_address;
  boost::asio::ip::address address = boost::asio::ip::make_address(host, not_address);
  bool checked;
  if (!not_address) {
    // Server-name indication carries DNS names only (RFC 6066); an address literal is
    // still verified against the certificate's IP entries. The bytes, not the text, are
    // handed over, so that an IPv6 scope does not make the check impossible.
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (address.is_v4()) {
      auto bytes = address.to_v4().to_bytes();
      checked = X509_VERIFY_PARAM_set1_ip(param, bytes.data(), bytes.size()) == 1;
    } else {
      auto bytes = address.to_v6().to_bytes();
      checked = X509_VERIFY_PARAM_set1_ip(param, bytes.data(), bytes.size()) == 1;
    }
  } else {
    // "localhost." is the same host as "localhost", but neither a server name (RFC
    // 6066) nor a certificate's names carry the root's dot.
    std::string name = host;
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (!SSL_set_tlsext_host_name(ssl, name.c_str())) {
      LOG_ERRO("Failed to set SNI host name for SSL");
    }
    // As browsers match (RFC 9525): only DNS subjectAltNames count, never the subject's
    // common name, and a wildcard stands for a whole label or nothing.
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT |
                               X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // OpenSSL takes an empty name as "check no name at all".
    checked = !name.empty() && SSL_set1_host(ssl, name.c_str()) == 1;
  }

  if (!verify_peer) {
    LOG_WARN("Certificate verification is off");
    SSL_set_verify(ssl, SSL_VERIFY_NONE, SSL_get_verify_callback(ssl));
  } else if (!checked) {
    // A name that cannot be checked matches no certificate: the handshake fails as it
    // does for a certificate of another host.
    SSL_set_verify(ssl, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 0; });
  } else {
    SSL_set_verify(ssl, SSL_VERIFY_PEER, SSL_get_verify_callback(ssl));
  }
}

std::string DescribeTlsError(SSL* ssl, bool verify_peer, const boost::system::error_code& error) {
  // The handshake reports any refused certificate as "certificate verify failed"; the
  // check itself knows which test failed.
  long verdict = SSL_get_verify_result(ssl);
  if (verify_peer && error.category() == boost::asio::error::get_ssl_category() &&
      verdict != X509_V_OK) {
    return X509_verify_cert_error_string(verdict);
  }
  return error.message();
}

bool TlsHasBufferedInput(SSL* ssl) {
  // Received bytes wait in two places: OpenSSL's record layer (a record decrypted but
  // not all handed out, or read ahead and not yet decrypted) and the BIO pair through
  // which the stream feeds it. The stream's own input buffer never keeps any: the
  // engine asks for input only once it has drained the BIO, which then holds as much
  // as that buffer does, so every read is passed on whole.
  if (SSL_pending(ssl) > 0 || SSL_has_pending(ssl) == 1) return true;
  BIO* input = SSL_get_rbio(ssl);
  return input != nullptr && BIO_ctrl_pending(input) > 0;
}

void OfferHttp2Alpn(SSL* ssl) {
  static const unsigned char kProtocols[] = {2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  // The server may ignore ALPN altogether: HTTP/1.1 is then spoken, as without it.
  if (SSL_set_alpn_protos(ssl, kProtocols, sizeof(kProtocols)) != 0) {
    LOG_WARN("Cannot offer HTTP/2 through ALPN");
  }
}

std::string SelectedAlpn(const SSL* ssl) {
  const unsigned char* data = nullptr;
  unsigned int length = 0;
  SSL_get0_alpn_selected(ssl, &data, &length);
  return data != nullptr ? std::string(reinterpret_cast<const char*>(data), length)
                         : std::string();
}

std::string SslSocket::SelectedProtocol() const {
  return SelectedAlpn(const_cast<SslSocket*>(this)->ssl_stream_.native_handle());
}

void SslSocket::PrepareResumption(const std::string& host, std::uint16_t port) {
  if (sessions_ == nullptr) return;
  peer_ = host + ":" + std::to_string(port);
  sessions_->PrepareResumption(ssl_stream_.native_handle(), &peer_);
}

void SslSocket::AsyncConnect(const std::string& host, const Endpoints& endpoints,
                             ConnectHandler handler) {
  PrepareTlsPeerCheck(ssl_stream_.native_handle(), host, verify_peer_);
  if (offer_http2_) OfferHttp2Alpn(ssl_stream_.native_handle());
  if (!endpoints.empty()) PrepareResumption(host, endpoints.begin()->endpoint().port());
  ConnectTcp(
      endpoints,
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

void SslSocket::AsyncHandshake(const std::string& host, std::uint16_t port,
                               std::function<void(boost::system::error_code)> handler) {
  PrepareTlsPeerCheck(ssl_stream_.native_handle(), host, verify_peer_);
  if (offer_http2_) OfferHttp2Alpn(ssl_stream_.native_handle());
  PrepareResumption(host, port);
  ssl_stream_.async_handshake(
      boost::asio::ssl::stream_base::client,
      [handler = std::move(handler)](boost::system::error_code error) {
        if (error) LOG_ERRO("Handshake error (%s)", error.message().c_str());
        handler(error);
      });
}

void SslSocket::OnHandshake(boost::system::error_code error, ConnectHandler handler) {
  if (error) {
    LOG_ERRO("Handshake error (%s)", error.message().c_str());
  }
  handler(error, endpoint_);
}

void SslSocket::AsyncWrite(const detail::Payload& payload, WriteHandler handler) {
  // The TLS stream writes one buffer per record: a head made of dozens of small ranges
  // would go out as dozens of records. Small gathers are joined into one.
  if (std::shared_ptr<std::string> joined = JoinSmall(payload, kMaxJoinedWrite)) {
    boost::asio::async_write(ssl_stream_, boost::asio::buffer(*joined),
                             KeepAlongside(joined, std::move(handler)));
    return;
  }
  boost::asio::async_write(ssl_stream_, AsioBuffers(payload), std::move(handler));
}

void SslSocket::AsyncWriteSome(const detail::Payload& payload, WriteHandler handler) {
  // One write makes at most one record, from the first range only; small ranges are
  // joined so that a record carries all of them. The count is of the joined bytes,
  // which are the payload's own in order.
  if (std::shared_ptr<std::string> joined = JoinSmall(payload, kMaxRecordPlaintext)) {
    ssl_stream_.async_write_some(boost::asio::buffer(*joined),
                                 KeepAlongside(joined, std::move(handler)));
    return;
  }
  ssl_stream_.async_write_some(AsioBuffers(payload), std::move(handler));
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
  return ShutdownTcp();
}

std::string SslSocket::DescribeError(const boost::system::error_code& error) const {
  return DescribeTlsError(const_cast<SslSocket*>(this)->ssl_stream_.native_handle(), verify_peer_,
                          error);
}

bool SslSocket::HasBufferedInput() const {
  return TlsHasBufferedInput(const_cast<SslSocket*>(this)->ssl_stream_.native_handle());
}

}  // namespace korvo
