// Which route a request takes: the proxy settings of a session, and the rules that pick
// a proxy (or none) for a URL.
//
// ProxyUrl is a parsed proxy address. NoProxy is a bypass list read as curl and Go read
// "no_proxy". ProxyEnvironment is what the proxy variables of the environment say.
// ProxyChoice combines the session's own settings with the environment's, each setting
// on its own, and answers "which proxy for this URL".
//
// Thread rules: plain values without locking, used by one thread at a time; the
// session copies its ProxyChoice into each exchange's settings.
#ifndef KORVO_INTERNAL_PROXY_H_
#define KORVO_INTERNAL_PROXY_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "korvo/url.h"

namespace korvo {

struct ProxyUrl {
  enum class Kind {
    kHttp,     // plain HTTP proxy: absolute-form requests, CONNECT for https origins
    kHttps,    // the same over TLS to the proxy
    kSocks5,   // SOCKS5, the origin's name resolved by korvo
    kSocks5h,  // SOCKS5, the origin's name resolved by the proxy
  };

  Kind kind = Kind::kHttp;
  std::string host;  // without the brackets of an IPv6 address
  std::uint16_t port = 0;
  std::string user;      // percent-decoded; empty: no credentials
  std::string password;  // percent-decoded

  bool HasCredentials() const { return !user.empty(); }
  bool IsSocks() const { return kind == Kind::kSocks5 || kind == Kind::kSocks5h; }
  // "host:port" ("[::1]:1080" for IPv6), for details and log records: never the
  // credentials.
  std::string Where() const;

  // Reads "scheme://[user[:password]@]host[:port][/]". A text without a scheme is an
  // HTTP proxy, as every client reads it; a missing port is the scheme's (80, 443,
  // 1080 for SOCKS). Nothing, with the reason in `why` (which never quotes the
  // credentials), for anything else: another scheme, no host, a bad port, a path.
  static std::optional<ProxyUrl> Parse(std::string_view text, std::string* why = nullptr);
};

class NoProxy {
 public:
  NoProxy() = default;
  // A comma-separated list: "*" matches every host; a name matches itself and its
  // subdomains (a leading "." or "*." changes nothing); an IP address or a CIDR range
  // (IPv4 or IPv6, brackets optional) matches hosts written as addresses in the URL. An
  // entry may end in ":port", and then matches that port only. Blanks and case are
  // ignored; an entry that is none of these is skipped.
  explicit NoProxy(std::string_view list);

  // Whether a request to `host` (as the URL writes it) and `port` goes direct.
  bool Matches(std::string_view host, std::uint16_t port) const;
  bool empty() const { return !all_ && names_.empty() && ranges_.empty(); }

 private:
  struct Name {
    std::string name;  // lower case, without a leading dot
    std::uint16_t port;  // 0: any
  };
  struct Range {
    boost::asio::ip::address network;
    unsigned prefix;
    std::uint16_t port;  // 0: any
  };

  bool all_ = false;
  std::vector<Name> names_;
  std::vector<Range> ranges_;
};

// What the environment asks for. http_proxy is read in lower case only: a CGI program
// gets a request's "Proxy:" field as HTTP_PROXY. The others are read in lower case,
// then upper case.
struct ProxyEnvironment {
  std::optional<ProxyUrl> http;   // http_proxy, else all_proxy
  std::optional<ProxyUrl> https;  // https_proxy, else all_proxy
  std::optional<std::string> no_proxy;

  // Reads the variables through `get` (getenv by default); a variable that is set but
  // is no usable proxy URL is ignored with one WARN record.
  static ProxyEnvironment Read(
      const std::function<const char*(const char*)>& get = nullptr);
};

// The session's choice of route.
class ProxyChoice {
 public:
  // SetProxy: a proxy for every request, loopback included; nullopt turns proxies off,
  // the environment's too.
  void SetExplicit(std::optional<ProxyUrl> proxy) {
    explicit_set_ = true;
    explicit_ = std::move(proxy);
  }
  // SetNoProxy: replaces the environment's list, keeping its proxies.
  void SetNoProxy(std::string_view list) {
    no_proxy_ = NoProxy(list);
    no_proxy_set_ = true;
  }
  void SetEnvironment(ProxyEnvironment environment) {
    environment_no_proxy_ = NoProxy(environment.no_proxy.value_or(""));
    environment_ = std::move(environment);
  }

  // The proxy for a request to `url`, or null for a direct connection. Loopback
  // destinations (localhost, 127.0.0.0/8, ::1) never take a proxy from the environment.
  const ProxyUrl* For(const Url& url) const;

 private:
  bool explicit_set_ = false;
  std::optional<ProxyUrl> explicit_;
  bool no_proxy_set_ = false;
  NoProxy no_proxy_;
  ProxyEnvironment environment_;
  NoProxy environment_no_proxy_;
};

// Route: how a connection reaches its origin: directly, through a proxy, or over a
// Unix-domain socket (which wins over any proxy).
struct Route {
  std::optional<ProxyUrl> proxy;
  std::string unix_socket;

  bool IsDirect() const { return !proxy && unix_socket.empty(); }
  // Whether an http origin is spoken to through the proxy in absolute form, which
  // needs no tunnel.
  bool ForwardsPlainHttp(const Url& url) const;
  // Tells routes apart for the pool: empty when direct; the proxy's scheme, user and
  // address; or the socket's path. Never the password.
  std::string Key() const;
};

// Makes the request `head` (start line, fields, blank line) fit the route to `url`:
// through an HTTP proxy that forwards it, the target in absolute form and the proxy's
// credentials as "Proxy-Authorization" (one the caller set stays only when the proxy
// URL carries none); on any other route no "Proxy-Authorization" at all, since the
// origin or a tunnel would read it.
void AdaptHeadToRoute(std::string& head, const Url& url, const Route& route);

// Whether `host` (as a URL writes it) names this machine's loopback: "localhost" or an
// address in 127.0.0.0/8 or ::1.
bool IsLoopbackHost(std::string_view host);

}  // namespace korvo

#endif  // KORVO_INTERNAL_PROXY_H_
