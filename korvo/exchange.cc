#include "korvo/internal/exchange.h"

#include <exception>
#include <initializer_list>
#include <utility>

#include "korvo/internal/message_access.h"
#include "korvo/internal/utility.h"
#include "korvo/logger.h"

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

HopOptions MakeHopOptions(const Exchange& exchange) {
  const ExchangeSettings& settings = exchange.settings;
  const SendOptions& options = exchange.options;
  auto effective = [](std::chrono::milliseconds own, std::chrono::milliseconds session,
                      int fallback_seconds) -> std::chrono::milliseconds {
    if (own.count() > 0) return own;
    if (session.count() > 0) return session;
    return std::chrono::seconds(fallback_seconds);
  };
  HopOptions hop;
  // A sink takes the body instead of memory or a file.
  hop.stream = options.stream && !options.sink;
  hop.buffer_size = settings.buffer_size != 0 ? settings.buffer_size : kDefaultBufferSize;
  hop.connect_timeout =
      effective(options.connect_timeout, settings.connect_timeout, kDefaultConnectTimeout);
  hop.read_timeout = effective(options.read_timeout, settings.read_timeout, kDefaultReadTimeout);
  hop.deadline = exchange.deadline;
  hop.progress = options.progress;
  hop.upload_progress = options.upload_progress;
  hop.sink = options.sink;
  hop.max_body_size = options.max_body_size;
  // A redirect on its way to being followed is not the response the caller waits for:
  // its body reaches neither memory, a file, a sink nor progress, and beyond a small
  // bound it is not read at all.
  if (settings.max_redirects > 0) {
    hop.discard = [url = exchange.request->GetUrl(),
                   max_redirects = settings.max_redirects](const Message& head) {
      return RedirectTarget(static_cast<const Response&>(head), url, max_redirects)
          .has_value();
    };
    hop.max_discarded = kMaxRedirectBody;
  }
  hop.connect_address = exchange.connect_address;
  hop.route = exchange.route;
  hop.http_version = exchange.http_version;
  // Each hop carries the jar's cookies for its own URL, redirects included.
  if (settings.cookie_jar) hop.cookie = settings.cookie_jar->GetCookieHeader(exchange.request->GetUrl());
  hop.decode = settings.decompress;
  hop.max_decoded_size = settings.max_decoded_size.value_or(
      hop.stream || options.sink ? 0 : kDefaultMaxDecodedInMemory);
  return hop;
}

bool ShouldRetry(const Exchange& exchange, const Error& error, bool can_retry, bool stopping) {
  return error.code() != kNoError && !exchange.retried && !exchange.cancelled && !stopping &&
         can_retry && IsIdempotent(exchange.request->GetMethod());
}

std::shared_ptr<Request> NextHop(const Exchange& exchange, Response& response, Error& error) {
  const ExchangeSettings& settings = exchange.settings;
  const Url& current = exchange.request->GetUrl();
  std::optional<Url> target = RedirectTarget(response, current, settings.max_redirects);
  std::shared_ptr<Request> next;
  if (target) {
    if (exchange.hops == settings.max_redirects) {
      error = Error(kRequestError, "Too many redirects");
      error.SetDetail("more than " + std::to_string(settings.max_redirects) +
                      " redirects, the last to " + target->ToString());
      return nullptr;
    }
    if (AsciiIEquals(current.GetScheme(), "https") &&
        AsciiIEquals(target->GetScheme(), "http") && !settings.allow_downgrade) {
      LOG_ERRO("Redirect from https to http refused: %s", target->ToString().c_str());
      error = Error(kRequestError, "Insecure redirect");
      error.SetDetail("from " + current.ToString() + " to " + target->ToString());
      return nullptr;
    }
    next = MakeHop(*exchange.request, response.GetStatus(), std::move(*target));
  }
  if (next == nullptr) {
    ResponseAccess::SetUrl(response, current);
    ResponseAccess::SetRedirectCount(response, exchange.hops);
  }
  return next;
}

Error CancelledError(const Exchange& exchange) {
  Error error(kConnectError, "Socket connect error");
  error.SetCancelled(true);
  error.SetDetail("Cancelled (" + Where(exchange.request->GetUrl()) + ")");
  return error;
}

void NotifyDone(const DoneCallback& on_done, const std::shared_ptr<Response>& response,
                const Error& error) {
  if (!on_done) return;
  try {
    on_done(response, error);
  } catch (const std::exception& exception) {
    LOG_ERRO("Completion callback error: %s", exception.what());
  } catch (...) {
    LOG_ERRO("Completion callback error: %s", "unknown exception");
  }
}

}  // namespace korvo
