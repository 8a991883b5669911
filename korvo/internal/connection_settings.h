// ConnectionSettings: what a session's new connections are made with: the TLS settings
// and the context made from them, the addresses SetResolve chose for hosts, and the
// routes (proxies, the proxy environment, a Unix socket), and the HTTP they speak.
//
// Every change counts a generation: a connection made under an earlier one is not kept
// for reuse once its exchange ends (the session drops the idle ones at the change).
//
// Thread rules: every member may be called from any thread; the settings are guarded
// by a mutex of their own, since the loop reads them as it makes connections while a
// caller may change them.
#ifndef KORVO_INTERNAL_CONNECTION_SETTINGS_H_
#define KORVO_INTERNAL_CONNECTION_SETTINGS_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <boost/asio/io_context.hpp>

#include "korvo/http_version.h"
#include "korvo/internal/client_base.h"
#include "korvo/internal/proxy.h"
#include "korvo/internal/tls_context.h"
#include "korvo/url.h"

namespace korvo {

class ConnectionSettings {
 public:
  TlsSettings GetTls() const;
  // Checks and takes new TLS settings (throws Error(kFileError) as TlsContext does);
  // the next https connection makes a new context from them.
  void SetTls(TlsSettings settings);
  // Whether a context has been made from the current TLS settings.
  bool HasTlsContext() const;

  // Connect to `address` for `host` and `port`; an empty address removes the entry.
  // Throws Error(kRequestError, "Invalid address") for an address that is not an IP
  // address.
  void SetResolve(const std::string& host, std::uint16_t port, const std::string& address);
  // The address chosen for the URL's host and port, or empty.
  std::string ConnectAddress(const Url& url) const;

  // The proxy route: SetProxy (nullopt: none, the environment's neither), SetNoProxy,
  // and the environment as read (SetProxyFromEnvironment).
  void SetProxy(std::optional<ProxyUrl> proxy);
  void SetNoProxy(const std::string& list);
  void SetProxyEnvironment(ProxyEnvironment environment);
  // Every connection goes to this Unix-domain socket; empty: none.
  void SetUnixSocket(std::string path);
  // How a request to `url` is carried.
  Route RouteFor(const Url& url) const;

  // A new driver for `scheme` (http or https, any case) on `io_context`, reaching its
  // origin by `route`; null for any other scheme. Throws as TlsContext::Create for TLS
  // settings that cannot be loaded (needed for an https origin or proxy).
  std::shared_ptr<ClientBase> CreateClient(boost::asio::io_context& io_context,
                                           const std::string& scheme, const Route& route);

  // What new connections speak (see HttpVersion).
  void SetHttpVersion(HttpVersion version);
  HttpVersion GetHttpVersion() const { return http_version_; }

  std::uint64_t generation() const { return generation_; }

 private:
  mutable std::mutex mutex_;
  // Made from tls_ by the first https connection after they last changed; each driver
  // keeps the context it was made with.
  TlsSettings tls_;
  std::shared_ptr<TlsContext> tls_context_;
  // By lower-case host (without brackets) and port.
  std::map<std::pair<std::string, std::uint16_t>, std::string> resolve_;
  ProxyChoice proxies_;
  std::string unix_socket_;
  std::atomic<HttpVersion> http_version_{HttpVersion::kHttp1};
  std::atomic<std::uint64_t> generation_{0};
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_CONNECTION_SETTINGS_H_
