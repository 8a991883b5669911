// Exchange: one request's life inside a session, from the send to the response or the
// error: the wait for a connection under the pool's limits, the hop on a driver, the
// one retry on a new connection, the hops of redirects, the cancel and the deadline
// that apply to all of them.
//
// ExchangeSettings is what the session's settings were when the request was sent, so
// that a setter called meanwhile changes nothing under a running exchange; each hop
// hands the driver what they mean for it as one HopOptions. The functions below are
// the hop rules (what a hop is run with, when to send it again, where a redirect
// leads), kept free of the session's and the scheduler's state.
//
// Thread rules: an Exchange is made by the sending thread and from then on touched on
// the session's loop thread only.
#ifndef KORVO_INTERNAL_EXCHANGE_H_
#define KORVO_INTERNAL_EXCHANGE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/steady_timer.hpp>

#include "korvo/cookie_jar.h"
#include "korvo/error.h"
#include "korvo/internal/client_base.h"
#include "korvo/internal/connection_pool.h"
#include "korvo/request.h"
#include "korvo/response.h"
#include "korvo/send_options.h"
#include "korvo/url.h"

namespace korvo {

// The body of a redirect that is followed is dropped as it arrives; one longer than
// this is not read at all, and its connection is closed instead of drained.
inline constexpr std::uint64_t kMaxRedirectBody = std::uint64_t{1} << 20;
// A decoded body in memory beyond this is a bomb more likely than a body.
inline constexpr std::uint64_t kDefaultMaxDecodedInMemory = std::uint64_t{1} << 30;

struct ExchangeSettings {
  std::chrono::milliseconds connect_timeout{0};  // 0: the default
  std::chrono::milliseconds read_timeout{0};
  std::size_t buffer_size = 0;
  int max_redirects = 0;
  bool allow_downgrade = false;
  bool decompress = false;
  std::optional<std::uint64_t> max_decoded_size;  // unset: by where the body goes
  std::shared_ptr<CookieJar> cookie_jar;  // null: none
};

struct Exchange {
  using Deadline = std::chrono::steady_clock::time_point;
  // Receives the outcome once: a response, or null and the error.
  using Done = std::function<void(std::shared_ptr<Response>, Error)>;

  std::shared_ptr<Request> request;  // of the current hop
  SendOptions options;
  ExchangeSettings settings;
  Deadline deadline = Deadline::max();
  Done done;

  int hops = 0;           // redirects followed so far
  bool retried = false;   // the current hop has been sent again once
  bool cancelled = false;
  bool blocking = false;  // a caller waits for it in Send
  PoolKey key;            // of the current hop
  std::shared_ptr<Connection> client;  // while a hop runs
  std::uint64_t hop = 0;               // the hop's number on `client`
  std::uint64_t hop_starts = 0;        // hops started, retries included
  bool probing = false;  // the hop's connection was opened not knowing what it speaks
  int refusals = 0;      // times the current hop was refused by an HTTP/2 server
  HttpVersion http_version = HttpVersion::kHttp1;  // what the current hop's connection may speak
  std::uint64_t generation = 0;        // of the session's connection settings
  std::string connect_address;         // SetResolve's choice for the current hop
  Route route;                         // how the current hop reaches its origin
  std::uint64_t cancel_id = 0;         // the handler registered with options.cancel
  // Runs while the exchange waits for a connection and has a deadline.
  std::unique_ptr<boost::asio::steady_timer> wait_timer;
};

// Times one hop is sent again after HTTP/2 servers refused it, before it fails.
inline constexpr int kMaxRefusals = 3;

// Methods that may be sent again without changing what the server does (RFC 9110 9.2.2).
bool IsIdempotent(const std::string& method);
// The URL's port, or its scheme's.
std::uint16_t EffectivePort(const Url& url);
// "host:port" for error details.
std::string Where(const Url& url);
// Where a response sends the client next, if it is a redirect with a usable Location
// and redirects are followed at all.
std::optional<Url> RedirectTarget(const Response& response, const Url& current,
                                  int max_redirects);
// The request that follows `previous` to `target` after a `status` redirect, or null
// when it cannot be sent (its line or fields would be refused).
std::shared_ptr<Request> MakeHop(const Request& previous, int status, Url target);

// What the current hop of `exchange` runs with on its driver: the effective values of
// the exchange's settings and options (a pooled driver still holds whatever the
// previous exchange gave it).
HopOptions MakeHopOptions(const Exchange& exchange);
// After a hop that failed with `error`: whether to send it again, once, on a new
// connection. Only an idempotent request whose reused connection failed before any of
// the response arrived (`can_retry`), neither cancelled nor in a stopping session.
bool ShouldRetry(const Exchange& exchange, const Error& error, bool can_retry, bool stopping);
// After a hop's `response`: the request of the next hop when it is a redirect to
// follow; otherwise null, with `error` set when the exchange fails (too many
// redirects, or one from https to http not allowed) or else `response` completed for
// the caller (its final URL and the redirects followed).
std::shared_ptr<Request> NextHop(const Exchange& exchange, Response& response, Error& error);

// The error of an exchange cancelled before or while it waited for a connection.
Error CancelledError(const Exchange& exchange);
// Hands the outcome to SendOptions::on_done; nothing it throws gets out.
void NotifyDone(const DoneCallback& on_done, const std::shared_ptr<Response>& response,
                const Error& error);

}  // namespace korvo

#endif  // KORVO_INTERNAL_EXCHANGE_H_
