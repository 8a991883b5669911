#include "korvo/internal/scheduler.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "korvo/cancel_token.h"
#include "korvo/internal/cancel_state.h"
#include "korvo/internal/http2_connection.h"
#include "korvo/logger.h"

namespace korvo {

void Scheduler::Run(const std::shared_ptr<Exchange>& exchange) {
  running_.insert(exchange);
  if (loop_.stopping()) {
    Complete(exchange, nullptr, StoppedError());
    return;
  }
  Dispatch(exchange);
}

void Scheduler::Dispatch(const std::shared_ptr<Exchange>& exchange) {
  if (exchange->cancelled || loop_.stopping()) {
    Complete(exchange, nullptr, CancelledError(*exchange));
    return;
  }
  const Url& url = exchange->request->GetUrl();
  // Each hop picks its own route: a redirect may lead past the proxy or onto it.
  exchange->route = connections_.RouteFor(url);
  exchange->key = PoolKey{url.GetScheme(), url.GetHost(), url.GetPort(), exchange->route.Key()};
  exchange->http_version = connections_.GetHttpVersion();
  pool_.SetLimits(max_per_host_, max_connections_);
  pool_.Prune(Clock::now());
  // A pooled connection to the host that can take one more exchange, before a new one.
  if (std::shared_ptr<Connection> client = pool_.Take(exchange->key)) {
    RunHop(exchange, std::move(client));
    return;
  }
  bool probe = MayUseHttp2(url, exchange->route, exchange->http_version);
  if (!pool_.CanServe(exchange->key) || !pool_.Open(exchange->key, probe)) {
    Wait(exchange);
    return;
  }
  exchange->probing = probe;
  std::shared_ptr<Connection> client;
  Error error;
  try {
    client = connections_.CreateClient(loop_.context(), exchange->key.scheme,
                                       exchange->route);
    if (client == nullptr) error = Error(kRequestError, "Invalid URL scheme");
  } catch (const Error& failure) {
    error = failure;
  }
  if (client == nullptr) {
    pool_.Release(exchange->key, nullptr, false, Clock::now());
    Complete(exchange, nullptr, error);
    ServeWaiting();
    return;
  }
  RunHop(exchange, std::move(client));
}

void Scheduler::Wait(const std::shared_ptr<Exchange>& exchange) {
  waiting_.push_back(exchange);
  if (exchange->deadline == Deadline::max()) return;
  exchange->wait_timer = std::make_unique<boost::asio::steady_timer>(loop_.context());
  exchange->wait_timer->expires_at(exchange->deadline);
  std::weak_ptr<Exchange> weak = exchange;
  exchange->wait_timer->async_wait(
      [this, weak](boost::system::error_code error) { OnWaitTimer(weak, error); });
}

void Scheduler::OnWaitTimer(const std::weak_ptr<Exchange>& weak,
                            boost::system::error_code error) {
  std::shared_ptr<Exchange> exchange = weak.lock();
  if (error || exchange == nullptr) return;
  auto it = std::find(waiting_.begin(), waiting_.end(), exchange);
  if (it == waiting_.end()) return;
  waiting_.erase(it);
  Error timeout(kConnectError, "Socket connect error");
  timeout.SetTimeout(true);
  timeout.SetDetail("Timed out: the exchange's time limit was reached (" +
                    Where(exchange->request->GetUrl()) + ")");
  Complete(exchange, nullptr, std::move(timeout));
}

void Scheduler::ServeWaiting() {
  // A dispatch may end an exchange at once and come back here: the outer call then
  // looks again from the start.
  if (serving_) {
    serve_again_ = true;
    return;
  }
  serving_ = true;
  pool_.SetLimits(max_per_host_, max_connections_);
  do {
    serve_again_ = false;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      if (!pool_.CanServe((*it)->key)) {
        ++it;
        continue;
      }
      std::shared_ptr<Exchange> exchange = std::move(*it);
      waiting_.erase(it);
      exchange->wait_timer.reset();
      Dispatch(exchange);
      it = waiting_.begin();
    }
  } while (serve_again_);
  serving_ = false;
}

void Scheduler::RunHop(const std::shared_ptr<Exchange>& exchange,
                       std::shared_ptr<Connection> client) {
  // Idle connections whose servers have closed them since are found and closed now,
  // ahead of this exchange; Prune lets go of them later. Each check is a system call,
  // so only a lone exchange pays for it: with many in flight, a dead connection is
  // found when it is taken (the driver checks it) or ages out.
  if (running_.size() <= 1) {
    for (const auto& idle : pool_.Idle()) idle->CloseIfDead();
  }
  exchange->client = std::move(client);
  exchange->generation = connections_.generation();
  exchange->connect_address = connections_.ConnectAddress(exchange->request->GetUrl());
  BeginHop(exchange);
}

void Scheduler::BeginHop(const std::shared_ptr<Exchange>& exchange) {
  HopOptions options = MakeHopOptions(*exchange);
  if (exchange->probing) {
    // The exchanges that wait for this connection need not wait for its response to
    // learn that it speaks HTTP/1.1: they open connections of their own at once.
    options.on_http1 = [this, weak = std::weak_ptr<Exchange>(exchange)] {
      std::shared_ptr<Exchange> probe = weak.lock();
      if (probe == nullptr || !probe->probing) return;
      probe->probing = false;
      pool_.Probed(probe->key, true);
      boost::asio::post(loop_.context(), [this] { ServeWaiting(); });
    };
  }
  // A hop that ends before StartHop returns may already have led to the next one,
  // whose number must not be overwritten with this one's.
  std::uint64_t start = ++exchange->hop_starts;
  std::uint64_t hop = exchange->client->StartHop(
      exchange->request, std::move(options),
      [this, exchange](HopOutcome outcome) { OnHopDone(exchange, std::move(outcome)); });
  if (exchange->hop_starts == start) exchange->hop = hop;
}

void Scheduler::SwitchToHttp2(const std::shared_ptr<Exchange>& exchange,
                              std::unique_ptr<SocketBase> socket) {
  auto connection = std::make_shared<Http2Connection>(loop_.context(), std::move(socket));
  // In the pool before it starts: a failure at once releases it like any other.
  pool_.AddShared(exchange->key, connection, Clock::now());
  connection->Start();
  exchange->client = connection;
  BeginHop(exchange);
  // The exchanges that waited for this connection share it now.
  ServeWaiting();
}

void Scheduler::ReleaseClient(const std::shared_ptr<Exchange>& exchange) {
  std::shared_ptr<Connection> client = std::move(exchange->client);
  exchange->client.reset();
  pool_.Release(exchange->key, std::move(client),
                !loop_.stopping() && exchange->generation == connections_.generation(),
                Clock::now());
}

void Scheduler::OnHopDone(const std::shared_ptr<Exchange>& exchange, HopOutcome hop) {
  if (exchange->probing) {
    // Whatever the hop's connection speaks is known now, unless it was never made.
    exchange->probing = false;
    ErrorCode code = hop.error.code();
    pool_.Probed(exchange->key, hop.http2_socket == nullptr && code != kConnectError &&
                                    code != kResolveError && code != kRequestError);
  }
  if (hop.http2_socket != nullptr && !exchange->cancelled && !loop_.stopping()) {
    SwitchToHttp2(exchange, std::move(hop.http2_socket));
    return;
  }
  if (hop.http2_socket != nullptr) {
    hop.http2_socket->Close();
    hop.error = CancelledError(*exchange);
  }
  const Error& error = hop.error;
  bool multiplexed = exchange->client->IsMultiplexed();
  if (hop.refused && !exchange->cancelled && !loop_.stopping() &&
      exchange->refusals < kMaxRefusals) {
    // The server did not process it: it goes again, on a connection that can take it.
    LOG_INFO("The server refused the request (%s); sending it again", error.detail().c_str());
    ++exchange->refusals;
    ReleaseClient(exchange);
    Dispatch(exchange);
    return;
  }
  if (ShouldRetry(*exchange, error, hop.can_retry, loop_.stopping())) {
    // The driver has closed the failed connection: the retry makes a new one and
    // writes the body from its start.
    LOG_WARN("Connection closed before the response (%s); sending the request again",
             error.what());
    exchange->retried = true;
    if (multiplexed) {
      ReleaseClient(exchange);
      Dispatch(exchange);
    } else {
      BeginHop(exchange);
    }
    return;
  }
  std::shared_ptr<Connection> client = std::move(exchange->client);
  exchange->client.reset();
  Error outcome = error;
  std::shared_ptr<Response> response;
  if (outcome.code() == kNoError) {
    response = std::move(hop.response);
    // Before the next hop, which may be sent the cookies a redirect has just set.
    if (exchange->settings.cookie_jar) {
      exchange->settings.cookie_jar->SetCookies(exchange->request->GetUrl(),
                                                response->GetHeaders());
    }
  }
  Clock::time_point now = Clock::now();
  pool_.Release(exchange->key, std::move(client),
                !loop_.stopping() && exchange->generation == connections_.generation(), now);
  pool_.Prune(now);
  // Counted when an exchange ends, not while connections are taken for the next ones.
  UpdatePoolSize();
  if (outcome.code() != kNoError) {
    Complete(exchange, nullptr, std::move(outcome));
    ServeWaiting();
    return;
  }
  std::shared_ptr<Request> next = NextHop(*exchange, *response, outcome);
  if (next != nullptr) {
    LOG_INFO("Following a %d redirect to %s", response->GetStatus(),
             next->GetUrl().ToString().c_str());
    // An intermediate body (a temporary file, when streamed) goes at once.
    response.reset();
    exchange->request = std::move(next);
    ++exchange->hops;
    exchange->retried = false;
    Dispatch(exchange);
  } else if (outcome.code() != kNoError) {
    Complete(exchange, nullptr, std::move(outcome));
  } else {
    Complete(exchange, std::move(response), Error());
  }
  response.reset();
  ServeWaiting();
}

void Scheduler::Complete(const std::shared_ptr<Exchange>& exchange,
                         std::shared_ptr<Response> response, Error error) {
  if (!exchange->done) return;
  exchange->wait_timer.reset();
  running_.erase(exchange);
  CancelTokenAccess::Get(exchange->options.cancel)->Remove(exchange->cancel_id);
  Exchange::Done done = std::move(exchange->done);
  exchange->done = nullptr;
  loop_.Ended(exchange->blocking);
  NotifyDone(exchange->options.on_done, response, error);
  done(std::move(response), std::move(error));
}

void Scheduler::Cancel(const std::shared_ptr<Exchange>& exchange) {
  if (!exchange->done) return;  // over already
  exchange->cancelled = true;
  if (exchange->client != nullptr) {
    // On the loop the driver aborts at once; its completion ends the exchange.
    exchange->client->CancelHop(exchange->hop);
    return;
  }
  auto it = std::find(waiting_.begin(), waiting_.end(), exchange);
  if (it != waiting_.end()) {
    waiting_.erase(it);
    Complete(exchange, nullptr, CancelledError(*exchange));
  }
  // Otherwise its Run is still queued, and Dispatch sees the flag.
}

void Scheduler::CancelAll() {
  std::list<std::shared_ptr<Exchange>> waiting = std::move(waiting_);
  waiting_.clear();
  for (const auto& exchange : waiting) Complete(exchange, nullptr, CancelledError(*exchange));
  std::vector<std::shared_ptr<Exchange>> running(running_.begin(), running_.end());
  for (const auto& exchange : running) Cancel(exchange);
}

void Scheduler::Clear() {
  pool_.Clear();
  UpdatePoolSize();
}

}  // namespace korvo
