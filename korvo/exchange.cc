#include "korvo/internal/exchange.h"

#include <initializer_list>
#include <utility>

#include "korvo/internal/utility.h"

namespace korvo {

namespace {

bool IsRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool SameOrigin(const Url& a, const Url& b) {
  return AsciiIEquals(a.GetScheme(), b.GetScheme()) &&
         AsciiIEquals(a.GetHost(), b.GetHost()) &&
         EffectivePort(a) == EffectivePort(b);
}

bool IsOneOf(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* candidate : names) {
    if (AsciiIEquals(name, candidate)) return true;
  }
  return false;
}

}  // namespace

bool IsIdempotent(const std::string& method) {
  for (const char* idempotent : {"GET", "HEAD", "PUT", "DELETE", "OPTIONS", "TRACE"}) {
    if (method == idempotent) return true;
  }
  return false;
}

std::uint16_t EffectivePort(const Url& url) {
  std::uint16_t port = 0;
  if (ParsePort(url.GetPort(), port)) return port;
  return AsciiIEquals(url.GetScheme(), "https") ? 443 : 80;
}

std::string Where(const Url& url) {
  return url.GetHost() + ":" + std::to_string(EffectivePort(url));
}

std::optional<Url> RedirectTarget(const Response& response, const Url& current,
                                  int max_redirects) {
  if (max_redirects <= 0 || !IsRedirectStatus(response.GetStatus())) return std::nullopt;
  const std::string& location = response.GetHeader("Location");
  if (location.empty()) return std::nullopt;
  return current.Resolve(location);
}

std::shared_ptr<Request> MakeHop(const Request& previous, int status, Url target) {
  std::string method = previous.GetMethod();
  bool drop_body = false;
  // As browsers do: 301 and 302 turn a POST into a GET, 303 everything but HEAD; 307
  // and 308 repeat the request as it was.
  if (((status == 301 || status == 302) && method == "POST") ||
      (status == 303 && method != "HEAD")) {
    method = "GET";
    drop_body = true;
  }
  // Credentials are for the origin they were given to.
  bool same_origin = SameOrigin(previous.GetUrl(), target);
  auto next = std::make_shared<Request>();
  next->SetMethod(method).SetUrl(std::move(target));
  for (const auto& [name, value] : previous.GetHeaders()) {
    if (IsOneOf(name, {"Host"})) continue;
    if (!same_origin && IsOneOf(name, {"Authorization", "Cookie", "Proxy-Authorization"})) {
      continue;
    }
    if (drop_body && IsOneOf(name, {"Content-Type", "Content-Length", "Transfer-Encoding"})) {
      continue;
    }
    next->AddHeader(name, value);
  }
  // The same body object: each exchange writes it from its start.
  next->SetBody(drop_body ? nullptr : previous.GetBody(), false);
  try {
    next->Prepare();
  } catch (const Error&) {
    return nullptr;
  }
  return next;
}

}  // namespace korvo
