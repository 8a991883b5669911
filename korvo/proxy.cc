#include "korvo/internal/proxy.h"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <utility>

#include "korvo/common.h"
#include "korvo/internal/utility.h"
#include "korvo/logger.h"

namespace korvo {

namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool Fail(std::string* why, const char* reason) {
  if (why != nullptr) *why = reason;
  return false;
}

// Splits "host[:port]" or "[v6][:port]" into its parts; false when the port is not one.
// A bare IPv6 address (more than one colon, no brackets) is all host.
bool SplitHostPort(std::string_view text, std::string_view& host, std::uint16_t& port) {
  port = 0;
  std::string_view port_text;
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port_text = rest.substr(1);
    }
  } else {
    std::size_t colon = text.find(':');
    if (colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
      host = text.substr(0, colon);
      port_text = text.substr(colon + 1);
    } else {
      host = text;
    }
  }
  return port_text.empty() || ParsePort(std::string(port_text), port);
}

std::optional<boost::asio::ip::address> ParseAddress(std::string_view text) {
  boost::system::error_code error;
  auto address = boost::asio::ip::make_address(std::string(text), error);
  if (error) return std::nullopt;
  return address;
}

// Whether the first `prefix` bits of `a` and `b` (one family) agree.
bool SamePrefix(const boost::asio::ip::address& a, const boost::asio::ip::address& b,
                unsigned prefix) {
  auto compare = [prefix](const auto& x, const auto& y) {
    for (unsigned bit = 0; bit < prefix; ++bit) {
      unsigned byte = bit / 8;
      unsigned mask = 0x80u >> (bit % 8);
      if ((x[byte] & mask) != (y[byte] & mask)) return false;
    }
    return true;
  };
  if (a.is_v4() && b.is_v4()) return compare(a.to_v4().to_bytes(), b.to_v4().to_bytes());
  if (a.is_v6() && b.is_v6()) return compare(a.to_v6().to_bytes(), b.to_v6().to_bytes());
  return false;
}

std::uint16_t PortOf(const Url& url) {
  std::uint16_t port = 0;
  if (ParsePort(url.GetPort(), port)) return port;
  return AsciiIEquals(url.GetScheme(), "https") ? 443 : 80;
}

// The host of a URL as the lists compare it: no brackets, lower case, no final dot.
std::string Normalised(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  return AsciiLower(host);
}

}  // namespace

std::string ProxyUrl::Where() const {
  std::string where = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return where + ":" + std::to_string(port);
}

std::optional<ProxyUrl> ProxyUrl::Parse(std::string_view text, std::string* why) {
  text = TrimBlanks(text);
  ProxyUrl proxy;
  std::string_view rest = text;
  std::size_t separator = text.find("://");
  if (separator != std::string_view::npos) {
    std::string scheme = AsciiLower(text.substr(0, separator));
    rest = text.substr(separator + 3);
    if (scheme == "http") {
      proxy.kind = Kind::kHttp;
    } else if (scheme == "https") {
      proxy.kind = Kind::kHttps;
    } else if (scheme == "socks5") {
      proxy.kind = Kind::kSocks5;
    } else if (scheme == "socks5h") {
      proxy.kind = Kind::kSocks5h;
    } else {
      Fail(why, "not a proxy scheme korvo speaks (http, https, socks5, socks5h)");
      return std::nullopt;
    }
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find_first_of("/?#") != std::string_view::npos) {
    Fail(why, "a proxy URL names no path");
    return std::nullopt;
  }
  std::size_t at = rest.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view userinfo = rest.substr(0, at);
    rest = rest.substr(at + 1);
    std::size_t colon = userinfo.find(':');
    proxy.user = Decode(userinfo.substr(0, colon));
    if (colon != std::string_view::npos) proxy.password = Decode(userinfo.substr(colon + 1));
    if (proxy.user.empty()) {
      Fail(why, "credentials without a user name");
      return std::nullopt;
    }
  }
  std::string_view host;
  if (!SplitHostPort(rest, host, proxy.port)) {
    Fail(why, "not a port");
    return std::nullopt;
  }
  // An IPv6 address is written in brackets, or its last group would read as the port.
  const bool bracketed = !rest.empty() && rest.front() == '[';
  auto unusable = [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7f || c == '[' || c == ']' || c == '@';
  };
  if (host.empty() || std::any_of(host.begin(), host.end(), unusable) ||
      (host.find(':') != std::string_view::npos && (!bracketed || !ParseAddress(host)))) {
    Fail(why, "no usable host");
    return std::nullopt;
  }
  proxy.host = AsciiLower(host);
  if (proxy.port == 0) {
    proxy.port = proxy.kind == Kind::kHttp ? 80 : proxy.kind == Kind::kHttps ? 443 : 1080;
  }
  return proxy;
}

NoProxy::NoProxy(std::string_view list) {
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    std::string entry = AsciiLower(TrimBlanks(list.substr(0, comma)));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (entry.empty()) continue;
    if (entry == "*") {
      all_ = true;
      continue;
    }
    std::string_view text = entry;
    std::size_t slash = text.find('/');
    std::string_view bits;
    if (slash != std::string_view::npos) {
      bits = text.substr(slash + 1);
      text = text.substr(0, slash);
    }
    std::string_view host;
    std::uint16_t port = 0;
    if (bits.empty()) {
      if (!SplitHostPort(text, host, port)) continue;
    } else {
      host = text;
      if (!host.empty() && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
      }
    }
    if (std::optional<boost::asio::ip::address> address = ParseAddress(host)) {
      unsigned full = address->is_v4() ? 32 : 128;
      unsigned prefix = full;
      if (!bits.empty()) {
        std::uint16_t value = 0;
        if (!ParsePort(std::string(bits), value) && bits != "0") continue;
        if (value > full) continue;
        prefix = value;
      }
      ranges_.push_back(Range{*address, prefix, port});
      continue;
    }
    if (!bits.empty()) continue;  // a range needs an address
    if (host.substr(0, 2) == "*.") host.remove_prefix(2);
    while (!host.empty() && host.front() == '.') host.remove_prefix(1);
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    if (!host.empty()) names_.push_back(Name{std::string(host), port});
  }
}

bool NoProxy::Matches(std::string_view url_host, std::uint16_t port) const {
  if (all_) return true;
  std::string host = Normalised(url_host);
  if (std::optional<boost::asio::ip::address> address = ParseAddress(host)) {
    for (const Range& range : ranges_) {
      if ((range.port == 0 || range.port == port) &&
          SamePrefix(*address, range.network, range.prefix)) {
        return true;
      }
    }
    return false;
  }
  for (const Name& name : names_) {
    if (name.port != 0 && name.port != port) continue;
    if (host == name.name) return true;
    if (host.size() > name.name.size() && host[host.size() - name.name.size() - 1] == '.' &&
        host.compare(host.size() - name.name.size(), name.name.size(), name.name) == 0) {
      return true;
    }
  }
  return false;
}

ProxyEnvironment ProxyEnvironment::Read(const std::function<const char*(const char*)>& get) {
  auto read = [&get](const char* name) -> const char* {
    const char* value = get ? get(name) : std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
  };
  // The first of `names` that is set, parsed; unusable: a WARN record and nothing.
  auto proxy = [&read](std::initializer_list<const char*> names) -> std::optional<ProxyUrl> {
    for (const char* name : names) {
      const char* value = read(name);
      if (value == nullptr) continue;
      std::string why;
      std::optional<ProxyUrl> parsed = ProxyUrl::Parse(value, &why);
      // The value is not quoted: it may hold a password.
      if (!parsed) LOG_WARN("Ignoring the proxy in %s: %s", name, why.c_str());
      return parsed;
    }
    return std::nullopt;
  };
  ProxyEnvironment environment;
  std::optional<ProxyUrl> all = proxy({"all_proxy", "ALL_PROXY"});
  environment.http = proxy({"http_proxy"});
  if (!environment.http) environment.http = all;
  environment.https = proxy({"https_proxy", "HTTPS_PROXY"});
  if (!environment.https) environment.https = all;
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    if (const char* value = read(name)) {
      environment.no_proxy = value;
      break;
    }
  }
  return environment;
}

const ProxyUrl* ProxyChoice::For(const Url& url) const {
  const ProxyUrl* proxy = nullptr;
  if (explicit_set_) {
    proxy = explicit_ ? &*explicit_ : nullptr;
  } else {
    const std::optional<ProxyUrl>& chosen =
        AsciiIEquals(url.GetScheme(), "https") ? environment_.https : environment_.http;
    if (!chosen || IsLoopbackHost(url.GetHost())) return nullptr;
    proxy = &*chosen;
  }
  if (proxy == nullptr) return nullptr;
  const NoProxy& bypass = no_proxy_set_ ? no_proxy_ : environment_no_proxy_;
  return bypass.Matches(url.GetHost(), PortOf(url)) ? nullptr : proxy;
}

bool Route::ForwardsPlainHttp(const Url& url) const {
  return unix_socket.empty() && proxy && !proxy->IsSocks() &&
         !AsciiIEquals(url.GetScheme(), "https");
}

std::string Route::Key() const {
  if (!unix_socket.empty()) return "unix:" + unix_socket;
  if (!proxy) return {};
  static constexpr const char* kSchemes[] = {"http", "https", "socks5", "socks5h"};
  std::string key = kSchemes[static_cast<int>(proxy->kind)];
  key += "://";
  // The user tells credentials apart; the password stays out of anything printable.
  if (proxy->HasCredentials()) key += proxy->user + "@";
  return key + proxy->Where();
}

namespace {

constexpr std::string_view kProxyAuthorization = "Proxy-Authorization:";

bool IsProxyAuthorization(std::string_view line) {
  return line.size() >= kProxyAuthorization.size() &&
         AsciiIEquals(line.substr(0, kProxyAuthorization.size()), kProxyAuthorization);
}

}  // namespace

void AdaptHeadToRoute(std::string& head, const Url& url, const Route& route) {
  bool forward = route.ForwardsPlainHttp(url);
  std::string_view text = head;
  std::size_t start_end = text.find("\r\n");
  if (start_end == std::string_view::npos) return;
  if (!forward) {
    // Most heads carry no such field: find one before copying anything.
    bool found = false;
    for (std::size_t at = text.find("\r\n"); at != std::string_view::npos && !found;
         at = text.find("\r\n", at + 2)) {
      found = IsProxyAuthorization(text.substr(at + 2));
    }
    if (!found) return;
  }
  std::string adapted;
  adapted.reserve(head.size() + 128);
  std::string_view start = text.substr(0, start_end);
  std::size_t target_begin = start.find(' ');
  std::size_t target_end = start.rfind(' ');
  if (forward && target_begin != std::string_view::npos && target_end > target_begin) {
    // RFC 9112 3.2.2: a proxy is sent the whole URL, never its user information.
    std::string_view target = start.substr(target_begin + 1, target_end - target_begin - 1);
    adapted.append(start.substr(0, target_begin + 1));
    adapted += AsciiLower(url.GetScheme()) + "://" + url.GetHost();
    if (!url.GetPort().empty()) adapted += ":" + url.GetPort();
    if (target != "*") adapted.append(target);
    adapted.append(start.substr(target_end));
  } else {
    adapted.append(start);
  }
  adapted += "\r\n";
  bool own_credentials = forward && route.proxy->HasCredentials();
  std::size_t at = start_end + 2;
  while (at < text.size()) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 2;
    if (line.empty()) break;
    if (IsProxyAuthorization(line) && (!forward || own_credentials)) continue;
    adapted.append(line);
    adapted += "\r\n";
  }
  if (own_credentials) {
    adapted += "Proxy-Authorization: Basic " +
               Base64Encode(route.proxy->user + ":" + route.proxy->password) + "\r\n";
  }
  adapted += "\r\n";
  head = std::move(adapted);
}

bool IsLoopbackHost(std::string_view host) {
  std::string normalised = Normalised(host);
  if (normalised == "localhost") return true;
  std::optional<boost::asio::ip::address> address = ParseAddress(normalised);
  return address && address->is_loopback();
}

}  // namespace korvo
