#include "korvo/internal/connection_settings.h"

#include <boost/asio/ip/address.hpp>

#include "korvo/error.h"
#include "korvo/internal/exchange.h"
#include "korvo/internal/utility.h"

namespace korvo {

TlsSettings ConnectionSettings::GetTls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tls_;
}

void ConnectionSettings::SetTls(TlsSettings settings) {
  // A file that cannot be used fails here, where the caller named it, rather than in
  // some later request's handshake.
  CheckTlsSettings(settings);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tls_ = std::move(settings);
    tls_context_.reset();
  }
  ++generation_;
}

bool ConnectionSettings::HasTlsContext() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tls_context_ != nullptr;
}

void ConnectionSettings::SetResolve(const std::string& host, std::uint16_t port,
                                    const std::string& address) {
  std::string key = StripBrackets(AsciiLower(host));
  std::string bare = StripBrackets(address);
  if (!address.empty()) {
    boost::system::error_code error;
    boost::asio::ip::make_address(bare, error);
    if (error) {
      Error invalid(kRequestError, "Invalid address");
      invalid.SetDetail("not an IP address: " + address);
      throw invalid;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (address.empty()) {
      resolve_.erase({key, port});
    } else {
      resolve_[{key, port}] = std::move(bare);
    }
  }
  ++generation_;
}

std::string ConnectionSettings::ConnectAddress(const Url& url) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (resolve_.empty()) return {};
  std::uint16_t port = 0;
  if (!url.GetPort().empty() && !ParsePort(url.GetPort(), port)) return {};
  auto it = resolve_.find({StripBrackets(AsciiLower(url.GetHost())), EffectivePort(url)});
  return it != resolve_.end() ? it->second : std::string();
}

void ConnectionSettings::SetProxy(std::optional<ProxyUrl> proxy) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    proxies_.SetExplicit(std::move(proxy));
  }
  ++generation_;
}

void ConnectionSettings::SetNoProxy(const std::string& list) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    proxies_.SetNoProxy(list);
  }
  ++generation_;
}

void ConnectionSettings::SetProxyEnvironment(ProxyEnvironment environment) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    proxies_.SetEnvironment(std::move(environment));
  }
  ++generation_;
}

void ConnectionSettings::SetUnixSocket(std::string path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unix_socket_ = std::move(path);
  }
  ++generation_;
}

void ConnectionSettings::SetHttpVersion(HttpVersion version) {
  http_version_ = version;
  ++generation_;
}

Route ConnectionSettings::RouteFor(const Url& url) const {
  Route route;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!unix_socket_.empty()) {
    route.unix_socket = unix_socket_;
  } else if (const ProxyUrl* proxy = proxies_.For(url)) {
    route.proxy = *proxy;
  }
  return route;
}

std::shared_ptr<ClientBase> ConnectionSettings::CreateClient(
    boost::asio::io_context& io_context, const std::string& scheme, const Route& route) {
  bool https = AsciiIEquals(scheme, "https");
  if (!https && !AsciiIEquals(scheme, "http")) return nullptr;
  std::shared_ptr<TlsContext> context;
  bool https_proxy = route.unix_socket.empty() && route.proxy &&
                     route.proxy->kind == ProxyUrl::Kind::kHttps;
  if (https || https_proxy) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tls_context_ == nullptr) tls_context_ = TlsContext::Create(tls_);
    context = tls_context_;
  }
  if (https) return std::make_shared<SslClient>(io_context, std::move(context));
  return std::make_shared<Client>(io_context, std::move(context));
}

}  // namespace korvo
