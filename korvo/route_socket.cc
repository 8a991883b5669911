#include "korvo/internal/route_socket.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/error_code.hpp>

#include "korvo/internal/connect_tunnel.h"
#include "korvo/internal/socks5.h"
#include "korvo/internal/ssl_socket.h"
#include "korvo/logger.h"

namespace korvo {

namespace {

// A proxy's answer is a head of a few hundred bytes; a SOCKS5 reply at most 262.
constexpr std::size_t kNegotiationRead = 4096;
constexpr std::size_t kLayerRead = 16 * 1024;

boost::system::error_code NegotiationFailed() {
  return boost::system::errc::make_error_code(boost::system::errc::protocol_error);
}

// LayerStream: a connection of ours (SocketBase) as the stream a Boost.Asio TLS stream
// runs over, so that TLS to the origin can run inside TLS to the proxy. One buffer per
// operation: the TLS engine never hands over more.
class LayerStream {
 public:
  using executor_type = boost::asio::any_io_executor;
  using lowest_layer_type = LayerStream;

  LayerStream(boost::asio::io_context& io_context, SocketBase* socket)
      : executor_(io_context.get_executor()), socket_(socket),
        buffer_(std::make_shared<std::vector<char>>()) {}

  executor_type get_executor() { return executor_; }
  LayerStream& lowest_layer() { return *this; }
  const LayerStream& lowest_layer() const { return *this; }

  template <typename MutableBuffers, typename Handler>
  void async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    boost::asio::mutable_buffer target = *boost::asio::buffer_sequence_begin(buffers);
    // Held by pointer: the stream's handlers need not be copyable.
    auto held = std::make_shared<std::decay_t<Handler>>(std::forward<Handler>(handler));
    if (target.size() == 0) {
      boost::asio::post(executor_, [held] { (*held)(boost::system::error_code(), 0); });
      return;
    }
    buffer_->resize(std::min(target.size(), kLayerRead));
    socket_->AsyncReadSome(
        [held, target, buffer = buffer_](boost::system::error_code error, std::size_t length) {
          if (!error) std::memcpy(target.data(), buffer->data(), length);
          (*held)(error, length);
        },
        buffer_.get());
  }

  template <typename ConstBuffers, typename Handler>
  void async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    boost::asio::const_buffer source = *boost::asio::buffer_sequence_begin(buffers);
    auto held = std::make_shared<std::decay_t<Handler>>(std::forward<Handler>(handler));
    socket_->AsyncWriteSome(
        detail::Payload{detail::ByteRange(source.data(), source.size())},
        [held](boost::system::error_code error, std::size_t length) { (*held)(error, length); });
  }

 private:
  executor_type executor_;
  SocketBase* socket_;
  // Shared with the read in flight, which may complete after a close.
  std::shared_ptr<std::vector<char>> buffer_;
};

// TunnelTlsSocket: TLS to the origin inside the connection to an https proxy.
class TunnelTlsSocket : public SocketBase {
 public:
  TunnelTlsSocket(boost::asio::io_context& io_context, std::unique_ptr<SocketBase> outer,
                  TlsContext& tls, bool offer_http2)
      : offer_http2_(offer_http2),
        outer_(std::move(outer)),
        stream_(LayerStream(io_context, outer_.get()), tls.context()),
        tls_(tls),
        verify_peer_(tls.verify_peer()) {}

  void AsyncHandshake(const std::string& host, std::uint16_t port,
                      std::function<void(boost::system::error_code)> handler) {
    PrepareTlsPeerCheck(stream_.native_handle(), host, verify_peer_);
    if (offer_http2_) OfferHttp2Alpn(stream_.native_handle());
    peer_ = host + ":" + std::to_string(port);
    tls_.PrepareResumption(stream_.native_handle(), &peer_);
    stream_.async_handshake(boost::asio::ssl::stream_base::client,
                            [handler = std::move(handler)](boost::system::error_code error) {
                              if (error) {
                                LOG_ERRO("Handshake error (%s)", error.message().c_str());
                              }
                              handler(error);
                            });
  }

  void AsyncConnect(const std::string&, const Endpoints&, ConnectHandler handler) override {
    boost::asio::post(stream_.get_executor(), [handler = std::move(handler)] {
      handler(boost::asio::error::operation_not_supported, {});
    });
  }
  void AsyncWrite(const detail::Payload& payload, WriteHandler handler) override {
    boost::asio::async_write(stream_, AsioBuffers(payload), std::move(handler));
  }
  void AsyncWriteSome(const detail::Payload& payload, WriteHandler handler) override {
    stream_.async_write_some(AsioBuffers(payload), std::move(handler));
  }
  void AsyncReadSome(ReadHandler handler, std::vector<char>* buffer) override {
    stream_.async_read_some(boost::asio::buffer(*buffer), std::move(handler));
  }
  // The origin's close_notify would need a write that waits; the tunnel ends with the
  // proxy's connection, whose own TLS closes properly.
  bool Shutdown() override { return outer_->Shutdown(); }
  bool Close() override { return outer_->Close(); }
  bool IsAlive() const override { return !HasBufferedInput() && outer_->IsAlive(); }
  bool HasBufferedInput() const override {
    return TlsHasBufferedInput(const_cast<TunnelTlsSocket*>(this)->stream_.native_handle()) ||
           outer_->HasBufferedInput();
  }
  std::string DescribeError(const boost::system::error_code& error) const override {
    return DescribeTlsError(const_cast<TunnelTlsSocket*>(this)->stream_.native_handle(),
                            verify_peer_, error);
  }
  std::string SelectedProtocol() const override {
    return SelectedAlpn(const_cast<TunnelTlsSocket*>(this)->stream_.native_handle());
  }

 private:
  bool offer_http2_;
  std::unique_ptr<SocketBase> outer_;  // before stream_, which reads through it
  boost::asio::ssl::stream<LayerStream> stream_;
  TlsContext& tls_;
  bool verify_peer_;
  std::string peer_;  // "host:port", for the sessions kept
};

}  // namespace

RouteSocket::RouteSocket(boost::asio::io_context& io_context, Route route,
                         std::shared_ptr<TlsContext> tls, bool origin_tls,
                         std::uint16_t origin_port)
    : io_context_(io_context), route_(std::move(route)), tls_(std::move(tls)),
      origin_tls_(origin_tls), origin_port_(origin_port) {}

RouteSocket::~RouteSocket() {
  if (lookup_) lookup_->Abandon();
}

boost::system::error_code RouteSocket::Checked(boost::system::error_code error) const {
  if (!error && closed_) return boost::asio::error::operation_aborted;
  return error;
}

void RouteSocket::AsyncConnect(const std::string& host, const Endpoints& endpoints,
                               ConnectHandler handler) {
  origin_host_ = host;
  if ((origin_tls_ || (route_.proxy && route_.proxy->kind == ProxyUrl::Kind::kHttps)) &&
      tls_ == nullptr) {
    FailStep("no TLS context for this connection", std::move(handler));
    return;
  }
  if (!route_.unix_socket.empty()) {
    ConnectUnix(std::move(handler));
    return;
  }
  auto plain = std::make_unique<Socket>(io_context_);
  Socket* socket = plain.get();
  layer_ = std::move(plain);
  socket->AsyncConnect(host, endpoints,
                       [this, life = std::weak_ptr<char>(life_), handler = std::move(handler)](
                           boost::system::error_code error,
                           boost::asio::ip::tcp::endpoint endpoint) mutable {
                         if (life.expired()) return;
                         endpoint_ = endpoint;
                         error = Checked(error);
                         if (error) {
                           handler(error, endpoint);
                           return;
                         }
                         proxy_fd_ = static_cast<Socket&>(*layer_).NativeHandle();
                         OnTransport(std::move(handler));
                       });
}

void RouteSocket::ConnectUnix(ConnectHandler handler) {
  boost::asio::local::stream_protocol::endpoint endpoint;
  try {
    endpoint = boost::asio::local::stream_protocol::endpoint(route_.unix_socket);
  } catch (const boost::system::system_error& error) {
    FailStep("unusable Unix socket path: " + error.code().message(), std::move(handler));
    return;
  }
  unix_ = std::make_unique<boost::asio::local::stream_protocol::socket>(io_context_);
  unix_->async_connect(
      endpoint, [this, life = std::weak_ptr<char>(life_),
                 handler = std::move(handler)](boost::system::error_code error) mutable {
        if (life.expired()) return;
        error = Checked(error);
        if (!error) {
          // The TCP socket type carries the stream from here: reads, writes, shutdown
          // and the idle check are the same system calls on a Unix-domain socket, so
          // every layer above serves both.
          boost::asio::ip::tcp::socket stream(io_context_);
          int fd = unix_->release(error);
          if (!error) stream.assign(boost::asio::ip::tcp::v4(), fd, error);
          if (!error) layer_ = std::make_unique<Socket>(std::move(stream));
        }
        unix_.reset();
        if (error) {
          handler(error, {});
          return;
        }
        OnTransport(std::move(handler));
      });
}

void RouteSocket::OnTransport(ConnectHandler handler) {
  if (!route_.proxy || route_.proxy->kind != ProxyUrl::Kind::kHttps) {
    StartTunnel(std::move(handler));
    return;
  }
  step_ = Step::kProxyTls;
  auto tls = std::make_unique<SslSocket>(static_cast<Socket&>(*layer_).TakeTcp(), tls_->context(),
                                         tls_->verify_peer());
  SslSocket* socket = tls.get();
  socket->ResumeSessionsFrom(tls_.get());
  layer_ = std::move(tls);
  socket->AsyncHandshake(route_.proxy->host, route_.proxy->port,
                         [this, life = std::weak_ptr<char>(life_),
                          handler = std::move(handler)](boost::system::error_code error) mutable {
                           if (life.expired()) return;
                           error = Checked(error);
                           if (error) {
                             handler(error, endpoint_);
                             return;
                           }
                           StartTunnel(std::move(handler));
                         });
}

void RouteSocket::StartTunnel(ConnectHandler handler) {
  // An http origin behind an HTTP proxy is spoken to through the proxy as it is.
  if (!route_.proxy || (!route_.proxy->IsSocks() && !origin_tls_)) {
    StartOriginTls(std::move(handler));
    return;
  }
  step_ = Step::kTunnel;
  boost::system::error_code not_address;
  boost::asio::ip::make_address(origin_host_, not_address);
  if (route_.proxy->kind != ProxyUrl::Kind::kSocks5 || !not_address) {
    Negotiate(origin_host_, std::move(handler));
    return;
  }
  // socks5 (not socks5h): the proxy is told an address, so the name is looked up here.
  lookup_handler_ = std::move(handler);
  lookup_ = HostLookup::Start(
      io_context_, origin_host_, std::to_string(origin_port_),
      [this, life = std::weak_ptr<char>(life_)](boost::system::error_code error,
                                                 HostLookup::Results results) {
        if (life.expired()) return;
        lookup_.reset();
        ConnectHandler handler = std::move(lookup_handler_);
        lookup_handler_ = nullptr;
        if (!handler) return;
        error = Checked(error);
        if (!error && results.empty()) error = boost::asio::error::host_not_found;
        if (error) {
          if (error != boost::asio::error::operation_aborted) {
            failure_ = "Cannot resolve the host for the SOCKS5 proxy: " + error.message();
            origin_lookup_failed_ = true;
          }
          handler(error, endpoint_);
          return;
        }
        Negotiate(results.begin()->endpoint().address().to_string(), std::move(handler));
      });
}

void RouteSocket::Negotiate(const std::string& target, ConnectHandler handler) {
  const ProxyUrl& proxy = *route_.proxy;
  if (proxy.IsSocks()) {
    socks_ = std::make_unique<Socks5Handshake>(target, origin_port_, proxy.user, proxy.password);
    if (socks_->Failed()) {
      FailStep("SOCKS5 negotiation failed: " + socks_->GetFailure(), std::move(handler));
      return;
    }
  } else {
    tunnel_ = std::make_unique<ConnectTunnel>(target, origin_port_, proxy.user, proxy.password);
  }
  WriteNegotiation(std::move(handler));
}

void RouteSocket::WriteNegotiation(ConnectHandler handler) {
  output_ = socks_ ? socks_->TakeOutput() : tunnel_->TakeOutput();
  if (output_.empty()) {
    ReadNegotiation(std::move(handler));
    return;
  }
  layer_->AsyncWrite(detail::Payload{detail::ByteRange(output_.data(), output_.size())},
                     [this, life = std::weak_ptr<char>(life_), handler = std::move(handler)](
                         boost::system::error_code error, std::size_t /*length*/) mutable {
                       if (life.expired()) return;
                       error = Checked(error);
                       if (error) {
                         handler(error, endpoint_);
                         return;
                       }
                       ReadNegotiation(std::move(handler));
                     });
}

void RouteSocket::ReadNegotiation(ConnectHandler handler) {
  input_.resize(kNegotiationRead);
  layer_->AsyncReadSome(
      [this, life = std::weak_ptr<char>(life_), handler = std::move(handler)](
          boost::system::error_code error, std::size_t length) mutable {
        if (life.expired()) return;
        error = Checked(error);
        if (error == boost::asio::error::eof) {
          failure_ = socks_ ? "SOCKS5 negotiation failed: the proxy closed the connection"
                            : "Proxy closed the connection";
          error = NegotiationFailed();
        }
        if (error) {
          handler(error, endpoint_);
          return;
        }
        if (socks_) {
          socks_->Feed(input_.data(), length);
          if (socks_->Failed()) {
            failure_ = "SOCKS5 negotiation failed: " + socks_->GetFailure();
            handler(NegotiationFailed(), endpoint_);
            return;
          }
          if (!socks_->Done()) {
            WriteNegotiation(std::move(handler));
            return;
          }
        } else {
          tunnel_->Feed(input_.data(), length);
          if (tunnel_->GetState() == ConnectTunnel::State::kFailed) {
            failure_ = tunnel_->GetFailure();
            handler(NegotiationFailed(), endpoint_);
            return;
          }
          if (tunnel_->GetState() != ConnectTunnel::State::kOpen) {
            ReadNegotiation(std::move(handler));
            return;
          }
        }
        std::vector<char>().swap(input_);
        socks_.reset();
        tunnel_.reset();
        StartOriginTls(std::move(handler));
      },
      &input_);
}

void RouteSocket::StartOriginTls(ConnectHandler handler) {
  if (!origin_tls_) {
    step_ = Step::kDone;
    handler(boost::system::error_code(), endpoint_);
    return;
  }
  step_ = Step::kOriginTls;
  auto done = [this, life = std::weak_ptr<char>(life_),
               handler = std::move(handler)](boost::system::error_code error) mutable {
    if (life.expired()) return;
    error = Checked(error);
    if (!error) step_ = Step::kDone;
    handler(error, endpoint_);
  };
  if (auto* plain = dynamic_cast<Socket*>(layer_.get())) {
    auto tls = std::make_unique<SslSocket>(plain->TakeTcp(), tls_->context(), tls_->verify_peer());
    SslSocket* socket = tls.get();
    socket->ResumeSessionsFrom(tls_.get());
    if (offer_http2_) socket->OfferHttp2();
    layer_ = std::move(tls);
    socket->AsyncHandshake(origin_host_, origin_port_, std::move(done));
    return;
  }
  auto tls = std::make_unique<TunnelTlsSocket>(io_context_, std::move(layer_), *tls_,
                                               offer_http2_);
  TunnelTlsSocket* socket = tls.get();
  layer_ = std::move(tls);
  socket->AsyncHandshake(origin_host_, origin_port_, std::move(done));
}

void RouteSocket::FailStep(std::string why, ConnectHandler handler) {
  failure_ = std::move(why);
  boost::asio::post(io_context_, [life = std::weak_ptr<char>(life_), handler = std::move(handler)] {
    if (!life.expired()) handler(NegotiationFailed(), {});
  });
}

void RouteSocket::AsyncWrite(const detail::Payload& payload, WriteHandler handler) {
  layer_->AsyncWrite(payload, std::move(handler));
}

void RouteSocket::AsyncWriteSome(const detail::Payload& payload, WriteHandler handler) {
  layer_->AsyncWriteSome(payload, std::move(handler));
}

void RouteSocket::AsyncReadSome(ReadHandler handler, std::vector<char>* buffer) {
  // Once per wait, not per read: bytes that are already there need no acknowledgement
  // in a hurry, and Linux forgets the mode at the next send anyway.
  if (proxy_fd_ >= 0 && step_ == Step::kDone && !closed_) AcknowledgeAtOnce(proxy_fd_);
  layer_->AsyncReadSome(std::move(handler), buffer);
}

std::size_t RouteSocket::WriteSomeNow(const detail::Payload& payload,
                                      boost::system::error_code& error) {
  if (step_ != Step::kDone) return SocketBase::WriteSomeNow(payload, error);
  return layer_->WriteSomeNow(payload, error);
}

std::size_t RouteSocket::ReadSomeNow(std::vector<char>* buffer, boost::system::error_code& error) {
  if (step_ != Step::kDone) return SocketBase::ReadSomeNow(buffer, error);
  return layer_->ReadSomeNow(buffer, error);
}

bool RouteSocket::Shutdown() { return layer_ == nullptr || layer_->Shutdown(); }

bool RouteSocket::Close() {
  closed_ = true;
  if (lookup_) {
    lookup_->Abandon();
    lookup_.reset();
    boost::asio::post(io_context_, [handler = std::move(lookup_handler_), endpoint = endpoint_] {
      handler(boost::asio::error::operation_aborted, endpoint);
    });
    lookup_handler_ = nullptr;
  }
  if (unix_) {
    boost::system::error_code ignored;
    unix_->close(ignored);
  }
  return layer_ == nullptr || layer_->Close();
}

bool RouteSocket::IsAlive() const {
  return step_ == Step::kDone && layer_ != nullptr && layer_->IsAlive();
}

bool RouteSocket::HasBufferedInput() const {
  return layer_ != nullptr && layer_->HasBufferedInput();
}

std::string RouteSocket::DescribeError(const boost::system::error_code& error) const {
  if (!failure_.empty()) return failure_;
  return layer_ != nullptr ? layer_->DescribeError(error) : error.message();
}

std::string RouteSocket::SelectedProtocol() const {
  // Before the origin's TLS, whatever a layer picked was the proxy's business.
  return step_ == Step::kDone && origin_tls_ ? layer_->SelectedProtocol() : std::string();
}

std::string RouteSocket::FailurePlace() const {
  switch (step_) {
    case Step::kTransport:
      if (!route_.unix_socket.empty()) return route_.unix_socket;
      return failure_.empty() ? "proxy " + route_.proxy->Where() : std::string();
    case Step::kProxyTls:
      return "proxy " + route_.proxy->Where();
    case Step::kTunnel:
      // A failed lookup of the origin's name is the origin's; the proxy's own answers
      // name the proxy in their words.
      if (origin_lookup_failed_) return {};
      return failure_.empty() ? "proxy " + route_.proxy->Where() : route_.proxy->Where();
    default:
      return {};
  }
}

}  // namespace korvo
