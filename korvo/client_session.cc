#include "korvo/client_session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "korvo/error.h"
#include "korvo/internal/cancel_state.h"
#include "korvo/internal/client_base.h"
#include "korvo/internal/connection_pool.h"
#include "korvo/internal/exchange.h"
#include "korvo/internal/request_access.h"
#include "korvo/internal/tls_context.h"
#include "korvo/internal/utility.h"
#include "korvo/logger.h"

namespace korvo {

namespace {

// What SetDecompress asks servers for: every coding the decoders know.
constexpr const char* kDecodedCodings = "gzip, deflate, br, zstd";
// A decoded body in memory beyond this is a bomb more likely than a body.
constexpr std::uint64_t kDefaultMaxDecodedInMemory = std::uint64_t{1} << 30;

// How long either side of a blocking send's hand-off waits awake for the other before
// it sleeps: a loopback or data-centre round trip and a little more (50 microseconds
// was often just too short for a local nginx). Being put to sleep and woken
// costs a system call on each side and a wake-up of some 10 to 40 microseconds, which
// a single-threaded client does not pay; the spin is bounded per hand-off and never
// runs while the session is idle.
constexpr std::chrono::microseconds kHandOffSpin{100};

// Waits awake until `done` is true or `limit` has passed. Each turn yields the core: on
// a machine with fewer cores than busy threads, the thread waited for (or the server)
// may need this one.
template <typename Predicate>
void Spin(std::chrono::microseconds limit, Predicate done) {
  if (done()) return;
  const auto until = std::chrono::steady_clock::now() + limit;
  do {
    std::this_thread::yield();
    if (done()) return;
  } while (std::chrono::steady_clock::now() < until);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// ClientSession::Impl: the loop and its thread, the TLS context, the pool and the
// exchanges in flight.

class ClientSession::Impl {
 public:
  using Deadline = Exchange::Deadline;
  using Clock = ConnectionPool::Clock;

  explicit Impl(std::size_t buffer_size);
  ~Impl();

  std::shared_ptr<Response> Send(std::shared_ptr<Request> request,
                                 const SendOptions& options);
  std::future<std::shared_ptr<Response>> SendAsync(std::shared_ptr<Request> request,
                                                   SendOptions options);
  bool Cancel();
  void Start();
  void Stop();

  void InitHeaders();
  // Checks and takes new TLS settings (throws Error(kFileError) as TlsContext does).
  void SetTls(TlsSettings settings);
  // The idle connections were made under settings that have just changed; busy ones
  // are closed when their exchanges end.
  void DropPool();
  // Throws Error(kLoopError) when called on the loop thread, where waiting for the loop
  // could only deadlock.
  void RefuseLoopThread(const char* operation);

  // On the sending thread: completes `request` with the session's defaults and makes
  // its exchange (throws Error for a request that cannot be prepared).
  std::shared_ptr<Exchange> Prepare(const std::shared_ptr<Request>& request,
                                    SendOptions options);
  // Hands `exchange` to the loop; the error (and nothing happens) when the session is
  // stopped or stopping.
  Error Launch(const std::shared_ptr<Exchange>& exchange);

  // The rest runs on the loop thread.
  void Run(const std::shared_ptr<Exchange>& exchange);
  // Starts the current hop on a connection, or queues it for one.
  void Dispatch(const std::shared_ptr<Exchange>& exchange);
  void RunHop(const std::shared_ptr<Exchange>& exchange, std::shared_ptr<ClientBase> client);
  void BeginHop(const std::shared_ptr<Exchange>& exchange);
  void OnHopDone(const std::shared_ptr<Exchange>& exchange);
  // After a hop's response: the next hop, or the outcome.
  void Follow(const std::shared_ptr<Exchange>& exchange, std::shared_ptr<Response> response);
  void Complete(const std::shared_ptr<Exchange>& exchange, std::shared_ptr<Response> response,
                Error error);
  // Dispatches waiting exchanges, in order, as far as connections allow.
  void ServeWaiting();
  void Wait(const std::shared_ptr<Exchange>& exchange);
  void OnWaitTimer(const std::weak_ptr<Exchange>& weak, boost::system::error_code error);
  void CancelExchange(const std::shared_ptr<Exchange>& exchange);
  void CancelAll();
  std::shared_ptr<ClientBase> CreateClient(const std::string& scheme);
  // The address SetResolve chose for the URL's host and port, or empty.
  std::string ConnectAddress(const Url& url);
  void UpdatePoolSize() { pool_size_ = pool_.size(); }
  // The loop thread's body: runs the loop, and lingers after a blocking exchange.
  void RunLoop();

  // Declared first so that it is destroyed last: everything below refers to it.
  boost::asio::io_context io_context_;
  std::unique_ptr<std::thread> loop_thread_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
      work_guard_;

  // Held for the whole of Start and Stop, so that a Stop racing another (or a
  // destruction) cannot join the loop thread twice.
  std::mutex start_stop_mutex_;
  // Guards started_, stopping_ (written) and in_flight_: what Stop waits for.
  std::mutex state_mutex_;
  std::condition_variable idle_cv_;
  bool started_ = false;
  std::atomic<bool> stopping_{false};  // read on the loop
  std::size_t in_flight_ = 0;          // exchanges launched and not completed

  // Serialises the blocking sends.
  std::mutex send_mutex_;
  // The blocking send in progress, for Cancel.
  std::mutex blocking_mutex_;
  std::shared_ptr<Exchange> blocking_;

  // Guards the TLS settings and context and the SetResolve table, which the loop reads
  // when it makes a connection.
  mutable std::mutex settings_mutex_;
  // Made from tls_settings_ by the first https connection after they last changed; each
  // driver keeps the context it was made with.
  TlsSettings tls_settings_;
  std::shared_ptr<TlsContext> tls_context_;
  // SetResolve's addresses by lower-case host (without brackets) and port.
  std::map<std::pair<std::string, std::uint16_t>, std::string> resolve_;
  // Counts the changes of TLS settings and SetResolve: a connection made before the
  // last one is not kept.
  std::atomic<std::uint64_t> generation_{0};

  // Plain settings, copied into each exchange when it is sent.
  std::string media_type_;
  std::string charset_;
  Headers headers_;
  ExchangeSettings settings_;
  std::chrono::milliseconds exchange_timeout_{0};
  std::atomic<std::size_t> max_per_host_{ConnectionPool::kDefaultMaxPerHost};
  std::atomic<std::size_t> max_connections_{ConnectionPool::kDefaultMaxConnections};

  // Loop thread only.
  ConnectionPool pool_;
  std::set<std::shared_ptr<Exchange>> running_;    // launched, not completed
  std::list<std::shared_ptr<Exchange>> waiting_;  // for a connection, in order
  bool serving_ = false;  // ServeWaiting is on the stack
  bool serve_again_ = false;

  std::atomic<std::size_t> pool_size_{0};
  // Counts launched exchanges, so that the lingering loop sees a new one at once.
  std::atomic<std::uint64_t> launched_{0};
  bool linger_ = false;  // loop thread only: a blocking exchange has just completed
};

namespace {

Error CancelledError(const Exchange& exchange) {
  Error error(kConnectError, "Socket connect error");
  error.SetCancelled(true);
  error.SetDetail("Cancelled (" + Where(exchange.request->GetUrl()) + ")");
  return error;
}

// Stop refused the exchange, or ended it before it began.
// Hands the outcome to SendOptions::on_done; nothing it throws may reach the loop.
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

Error StoppedError() {
  Error error(kLoopError, "Loop is not running");
  error.SetCancelled(true);
  error.SetDetail("Cancelled");
  return error;
}

}  // namespace

ClientSession::Impl::Impl(std::size_t buffer_size)
    : work_guard_(boost::asio::make_work_guard(io_context_)) {
  settings_.buffer_size = buffer_size;
  InitHeaders();
  Start();
}

ClientSession::Impl::~Impl() {
  Stop();
  // The loop thread is gone: this thread may run the loop itself. The drivers' closes
  // are handed to the loop, so it runs once more to carry them out (and to finish the
  // completions still holding a driver) before the TLS context and the loop go.
  pool_.Clear();
  io_context_.restart();
  io_context_.poll();
}

void ClientSession::Impl::InitHeaders() {
  headers_.Set("User-Agent", UserAgent());
  headers_.Set("Accept", "*/*");
  headers_.Set("Accept-Encoding", "identity");
  headers_.Set("Connection", "Keep-Alive");
}

void ClientSession::Impl::RefuseLoopThread(const char* operation) {
  if (io_context_.get_executor().running_in_this_thread()) {
    LOG_ERRO("%s called on the session's loop thread", operation);
    throw Error(kLoopError, "Called on the session's loop thread");
  }
}

void ClientSession::Impl::Start() {
  RefuseLoopThread("Start");
  std::lock_guard<std::mutex> start_stop(start_stop_mutex_);
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (started_) return;
  io_context_.restart();
  // A thread that cannot be created throws here and leaves the session stopped.
  loop_thread_ = std::make_unique<std::thread>([this] { RunLoop(); });
  started_ = true;
}

void ClientSession::Impl::RunLoop() {
  while (io_context_.run_one() != 0) {
    if (!linger_) continue;
    // A blocking send has just been answered, and its caller is likely to send the
    // next request at once: the loop stays awake for a moment to take it, instead of
    // being woken for it. Only the spin after such an exchange; never while idle.
    linger_ = false;
    const std::uint64_t launched = launched_.load(std::memory_order_relaxed);
    Spin(kHandOffSpin, [this, launched] {
      return launched_.load(std::memory_order_acquire) != launched;
    });
  }
}

void ClientSession::Impl::Stop() {
  // Joining its own thread could only deadlock.
  RefuseLoopThread("Stop");
  std::lock_guard<std::mutex> start_stop(start_stop_mutex_);
  std::unique_lock<std::mutex> lock(state_mutex_);
  if (!started_) return;
  stopping_ = true;
  // Every exchange ends by closing its connection; none waits for a server.
  boost::asio::post(io_context_, [this] { CancelAll(); });
  idle_cv_.wait(lock, [this] { return in_flight_ == 0; });
  lock.unlock();
  io_context_.stop();
  loop_thread_->join();
  loop_thread_.reset();
  lock.lock();
  started_ = false;
  stopping_ = false;
}

bool ClientSession::Impl::Cancel() {
  std::shared_ptr<Exchange> exchange;
  {
    std::lock_guard<std::mutex> lock(blocking_mutex_);
    if (blocking_ == nullptr) return false;
    exchange = blocking_;
  }
  boost::asio::post(io_context_, [this, exchange] { CancelExchange(exchange); });
  return true;
}

std::shared_ptr<Exchange> ClientSession::Impl::Prepare(const std::shared_ptr<Request>& request,
                                                       SendOptions options) {
  RequestAccess::ApplyDefaults(*request, headers_, media_type_, charset_);
  RequestAccess::PrepareForSend(*request);
  auto exchange = std::make_shared<Exchange>();
  exchange->request = request;
  exchange->settings = settings_;
  // The whole exchange's limit runs from here, across the wait for a connection,
  // redirects and the retry.
  std::chrono::milliseconds timeout =
      options.timeout.count() > 0 ? options.timeout : exchange_timeout_;
  if (timeout.count() > 0) exchange->deadline = std::chrono::steady_clock::now() + timeout;
  exchange->options = std::move(options);
  return exchange;
}

Error ClientSession::Impl::Launch(const std::shared_ptr<Exchange>& exchange) {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (!started_) return Error(kLoopError, "Loop is not running");
  if (stopping_) return StoppedError();
  ++in_flight_;
  // The handler runs under the token's lock and only posts; Complete removes it before
  // the exchange counts as ended, so it never outlives the session.
  const auto& token = CancelTokenAccess::Get(exchange->options.cancel);
  std::weak_ptr<Exchange> weak = exchange;
  exchange->cancel_id = token->Add([this, weak] {
    boost::asio::post(io_context_, [this, weak] {
      if (auto exchange = weak.lock()) CancelExchange(exchange);
    });
  });
  boost::asio::post(io_context_, [this, exchange] { Run(exchange); });
  // After the post: a lingering loop that sees the count change finds the work queued.
  launched_.fetch_add(1, std::memory_order_release);
  return Error();
}

std::shared_ptr<Response> ClientSession::Impl::Send(std::shared_ptr<Request> request,
                                                    const SendOptions& options) {
  if (request == nullptr) {
    Error missing(kRequestError, "Request is missing");
    NotifyDone(options.on_done, nullptr, missing);
    throw missing;
  }
  RefuseLoopThread("Send");
  std::lock_guard<std::mutex> send_lock(send_mutex_);
  std::shared_ptr<Exchange> exchange;
  try {
    exchange = Prepare(request, options);
  } catch (const Error& error) {
    NotifyDone(options.on_done, nullptr, error);
    throw;
  }
  exchange->blocking = true;

  // Shared with the loop, so that a caller that sees `ready` may return at once: the
  // loop may still be about to notify.
  struct Outcome {
    std::mutex mutex;
    std::condition_variable done;
    std::atomic<bool> ready{false};
    std::shared_ptr<Response> response;
    Error error;
  };
  auto outcome = std::make_shared<Outcome>();
  exchange->done = [outcome](std::shared_ptr<Response> response, Error error) {
    outcome->response = std::move(response);
    outcome->error = std::move(error);
    outcome->ready.store(true, std::memory_order_release);
    // The lock orders the store against a caller between its check and its wait; a
    // caller that saw `ready` while spinning never takes it.
    { std::lock_guard<std::mutex> lock(outcome->mutex); }
    outcome->done.notify_one();
  };
  {
    std::lock_guard<std::mutex> lock(blocking_mutex_);
    blocking_ = exchange;
  }
  struct BlockingScope {
    Impl* impl;
    ~BlockingScope() {
      std::lock_guard<std::mutex> lock(impl->blocking_mutex_);
      impl->blocking_.reset();
    }
  } scope{this};
  Error refused = Launch(exchange);
  if (refused.code() != kNoError) {
    NotifyDone(exchange->options.on_done, nullptr, refused);
    throw refused;
  }
  // A response on a fast network is a few tens of microseconds away: wait for it
  // awake, for a bounded moment, rather than pay for being put to sleep and woken.
  auto ready = [&outcome] { return outcome->ready.load(std::memory_order_acquire); };
  Spin(kHandOffSpin, ready);
  if (!ready()) {
    std::unique_lock<std::mutex> lock(outcome->mutex);
    outcome->done.wait(lock, ready);
  }
  if (outcome->error.code() != kNoError) throw outcome->error;
  return std::move(outcome->response);
}

std::future<std::shared_ptr<Response>> ClientSession::Impl::SendAsync(
    std::shared_ptr<Request> request, SendOptions options) {
  auto promise = std::make_shared<std::promise<std::shared_ptr<Response>>>();
  std::future<std::shared_ptr<Response>> future = promise->get_future();
  if (request == nullptr) {
    Error missing(kRequestError, "Request is missing");
    NotifyDone(options.on_done, nullptr, missing);
    promise->set_exception(std::make_exception_ptr(missing));
    return future;
  }
  std::shared_ptr<Exchange> exchange;
  DoneCallback on_done = options.on_done;
  try {
    exchange = Prepare(request, std::move(options));
  } catch (const Error& error) {
    NotifyDone(on_done, nullptr, error);
    promise->set_exception(std::current_exception());
    return future;
  } catch (...) {
    promise->set_exception(std::current_exception());
    return future;
  }
  exchange->done = [promise](std::shared_ptr<Response> response, Error error) {
    if (error.code() != kNoError) {
      promise->set_exception(std::make_exception_ptr(std::move(error)));
    } else {
      promise->set_value(std::move(response));
    }
  };
  Error refused = Launch(exchange);
  if (refused.code() != kNoError) {
    NotifyDone(exchange->options.on_done, nullptr, refused);
    promise->set_exception(std::make_exception_ptr(refused));
  }
  return future;
}

void ClientSession::Impl::Run(const std::shared_ptr<Exchange>& exchange) {
  running_.insert(exchange);
  if (stopping_) {
    Complete(exchange, nullptr, StoppedError());
    return;
  }
  Dispatch(exchange);
}

void ClientSession::Impl::Dispatch(const std::shared_ptr<Exchange>& exchange) {
  if (exchange->cancelled || stopping_) {
    Complete(exchange, nullptr, CancelledError(*exchange));
    return;
  }
  const Url& url = exchange->request->GetUrl();
  exchange->key = PoolKey{url.GetScheme(), url.GetHost(), url.GetPort()};
  pool_.SetLimits(max_per_host_, max_connections_);
  pool_.Prune(Clock::now());
  if (std::shared_ptr<ClientBase> client = pool_.Take(exchange->key)) {
    RunHop(exchange, std::move(client));
    return;
  }
  if (!pool_.Open(exchange->key)) {
    Wait(exchange);
    return;
  }
  std::shared_ptr<ClientBase> client;
  Error error;
  try {
    client = CreateClient(exchange->key.scheme);
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

void ClientSession::Impl::Wait(const std::shared_ptr<Exchange>& exchange) {
  waiting_.push_back(exchange);
  if (exchange->deadline == Deadline::max()) return;
  exchange->wait_timer = std::make_unique<boost::asio::steady_timer>(io_context_);
  exchange->wait_timer->expires_at(exchange->deadline);
  std::weak_ptr<Exchange> weak = exchange;
  exchange->wait_timer->async_wait(
      [this, weak](boost::system::error_code error) { OnWaitTimer(weak, error); });
}

void ClientSession::Impl::OnWaitTimer(const std::weak_ptr<Exchange>& weak,
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

void ClientSession::Impl::ServeWaiting() {
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

void ClientSession::Impl::RunHop(const std::shared_ptr<Exchange>& exchange,
                                 std::shared_ptr<ClientBase> client) {
  // Idle connections whose servers have closed them since are found and closed now,
  // ahead of this exchange; Prune lets go of them later. Each check is a system call,
  // so only a lone exchange pays for it: with many in flight, a dead connection is
  // found when it is taken (the driver checks it) or ages out.
  if (running_.size() <= 1) {
    for (const auto& idle : pool_.Idle()) idle->CloseIfDead();
  }

  const ExchangeSettings& settings = exchange->settings;
  const SendOptions& options = exchange->options;
  const Url& url = exchange->request->GetUrl();
  // A sink takes the body instead of memory or a file.
  const bool stream = options.stream && !options.sink;
  // Every hop hands over the effective values: a driver from the pool still holds
  // whatever the previous exchange gave it.
  client->SetBufferSize(settings.buffer_size != 0 ? settings.buffer_size : kDefaultBufferSize);
  auto effective = [](std::chrono::milliseconds own, std::chrono::milliseconds session,
                      int fallback_seconds) -> std::chrono::milliseconds {
    if (own.count() > 0) return own;
    if (session.count() > 0) return session;
    return std::chrono::seconds(fallback_seconds);
  };
  client->SetConnectTimeout(
      effective(options.connect_timeout, settings.connect_timeout, kDefaultConnectTimeout));
  client->SetReadTimeout(
      effective(options.read_timeout, settings.read_timeout, kDefaultReadTimeout));
  client->SetExchangeDeadline(exchange->deadline);
  client->SetTransferProgress(options.progress);
  // A redirect on its way to being followed is not the response the caller waits for:
  // its body reaches neither memory, a file, a sink nor progress, and beyond a small
  // bound it is not read at all.
  if (settings.max_redirects > 0) {
    client->SetBodyDiscard(
        [url, max_redirects = settings.max_redirects](const Message& head) {
          return RedirectTarget(static_cast<const Response&>(head), url, max_redirects)
              .has_value();
        },
        kMaxRedirectBody);
  } else {
    client->SetBodyDiscard(nullptr, 0);
  }
  client->SetUploadProgressCallback(options.upload_progress);
  client->SetBodyLimits(options.sink, options.max_body_size);
  client->SetConnectAddress(ConnectAddress(url));
  client->SetDecoding(settings.decompress,
                      settings.max_decoded_size.value_or(
                          stream || options.sink ? 0 : kDefaultMaxDecodedInMemory));
  exchange->client = std::move(client);
  exchange->generation = generation_;
  BeginHop(exchange);
}

void ClientSession::Impl::BeginHop(const std::shared_ptr<Exchange>& exchange) {
  const SendOptions& options = exchange->options;
  exchange->client->Begin(exchange->request, options.stream && !options.sink,
                          [this, exchange] { OnHopDone(exchange); });
}

void ClientSession::Impl::OnHopDone(const std::shared_ptr<Exchange>& exchange) {
  std::shared_ptr<ClientBase> client = exchange->client;
  const Error& error = client->GetError();
  if (error.code() != kNoError && !exchange->retried && !exchange->cancelled && !stopping_ &&
      client->CanRetry() && IsIdempotent(exchange->request->GetMethod())) {
    // The driver has closed the failed connection: the retry makes a new one and
    // writes the body from its start.
    LOG_WARN("Connection closed before the response (%s); sending the request again",
             error.what());
    exchange->retried = true;
    BeginHop(exchange);
    return;
  }
  exchange->client.reset();
  Error outcome = error;
  std::shared_ptr<Response> response;
  if (outcome.code() == kNoError) response = client->TakeResponse();
  Clock::time_point now = Clock::now();
  pool_.Release(exchange->key, std::move(client),
                !stopping_ && exchange->generation == generation_, now);
  pool_.Prune(now);
  // Counted when an exchange ends, not while connections are taken for the next ones.
  UpdatePoolSize();
  if (outcome.code() != kNoError) {
    Complete(exchange, nullptr, std::move(outcome));
  } else {
    Follow(exchange, std::move(response));
  }
  ServeWaiting();
}

void ClientSession::Impl::Follow(const std::shared_ptr<Exchange>& exchange,
                                 std::shared_ptr<Response> response) {
  const ExchangeSettings& settings = exchange->settings;
  const Url& current = exchange->request->GetUrl();
  std::optional<Url> target = RedirectTarget(*response, current, settings.max_redirects);
  std::shared_ptr<Request> next;
  if (target) {
    if (exchange->hops == settings.max_redirects) {
      Error error(kRequestError, "Too many redirects");
      error.SetDetail("more than " + std::to_string(settings.max_redirects) +
                      " redirects, the last to " + target->ToString());
      Complete(exchange, nullptr, std::move(error));
      return;
    }
    if (AsciiIEquals(current.GetScheme(), "https") &&
        AsciiIEquals(target->GetScheme(), "http") && !settings.allow_downgrade) {
      LOG_ERRO("Redirect from https to http refused: %s", target->ToString().c_str());
      Error error(kRequestError, "Insecure redirect");
      error.SetDetail("from " + current.ToString() + " to " + target->ToString());
      Complete(exchange, nullptr, std::move(error));
      return;
    }
    next = MakeHop(*exchange->request, response->GetStatus(), std::move(*target));
  }
  if (next == nullptr) {
    response->SetUrl(current);
    response->SetRedirectCount(exchange->hops);
    Complete(exchange, std::move(response), Error());
    return;
  }
  LOG_INFO("Following a %d redirect to %s", response->GetStatus(),
           next->GetUrl().ToString().c_str());
  // An intermediate body (a temporary file, when streamed) goes at once.
  response.reset();
  exchange->request = std::move(next);
  ++exchange->hops;
  exchange->retried = false;
  Dispatch(exchange);
}

void ClientSession::Impl::Complete(const std::shared_ptr<Exchange>& exchange,
                                   std::shared_ptr<Response> response, Error error) {
  if (!exchange->done) return;
  exchange->wait_timer.reset();
  running_.erase(exchange);
  CancelTokenAccess::Get(exchange->options.cancel)->Remove(exchange->cancel_id);
  Exchange::Done done = std::move(exchange->done);
  exchange->done = nullptr;
  linger_ = exchange->blocking;
  // Counted out first, so that a caller woken by `done` finds the lock free for its
  // next send; Stop cannot finish before this handler has returned, since it joins
  // the loop thread.
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    --in_flight_;
  }
  idle_cv_.notify_all();
  NotifyDone(exchange->options.on_done, response, error);
  done(std::move(response), std::move(error));
}

void ClientSession::Impl::CancelExchange(const std::shared_ptr<Exchange>& exchange) {
  if (!exchange->done) return;  // over already
  exchange->cancelled = true;
  if (exchange->client != nullptr) {
    // On the loop the driver aborts at once; its completion ends the exchange.
    exchange->client->Cancel();
    return;
  }
  auto it = std::find(waiting_.begin(), waiting_.end(), exchange);
  if (it != waiting_.end()) {
    waiting_.erase(it);
    Complete(exchange, nullptr, CancelledError(*exchange));
  }
  // Otherwise its Run is still queued, and Dispatch sees the flag.
}

void ClientSession::Impl::CancelAll() {
  std::list<std::shared_ptr<Exchange>> waiting = std::move(waiting_);
  waiting_.clear();
  for (const auto& exchange : waiting) Complete(exchange, nullptr, CancelledError(*exchange));
  std::vector<std::shared_ptr<Exchange>> running(running_.begin(), running_.end());
  for (const auto& exchange : running) CancelExchange(exchange);
}

void ClientSession::Impl::SetTls(TlsSettings settings) {
  // A file that cannot be used fails here, where the caller named it, rather than in
  // some later request's handshake.
  CheckTlsSettings(settings);
  {
    std::lock_guard<std::mutex> lock(settings_mutex_);
    tls_settings_ = std::move(settings);
    tls_context_.reset();
  }
  DropPool();
}

void ClientSession::Impl::DropPool() {
  ++generation_;
  auto clear = [this] {
    pool_.Clear();
    UpdatePoolSize();
  };
  std::unique_lock<std::mutex> lock(state_mutex_);
  if (!started_ || io_context_.get_executor().running_in_this_thread()) {
    clear();
    return;
  }
  lock.unlock();
  // Done on the loop, which owns the pool, before the setter returns.
  std::promise<void> cleared;
  boost::asio::post(io_context_, [&] {
    clear();
    cleared.set_value();
  });
  cleared.get_future().wait();
}

std::string ClientSession::Impl::ConnectAddress(const Url& url) {
  std::lock_guard<std::mutex> lock(settings_mutex_);
  if (resolve_.empty()) return {};
  std::uint16_t port = 0;
  if (!url.GetPort().empty() && !ParsePort(url.GetPort(), port)) return {};
  auto it = resolve_.find({StripBrackets(AsciiLower(url.GetHost())),
                           EffectivePort(url)});
  return it != resolve_.end() ? it->second : std::string();
}

std::shared_ptr<ClientBase> ClientSession::Impl::CreateClient(const std::string& scheme) {
  if (AsciiIEquals(scheme, "http")) {
    return std::make_shared<Client>(io_context_);
  }
  if (AsciiIEquals(scheme, "https")) {
    std::shared_ptr<TlsContext> context;
    {
      std::lock_guard<std::mutex> lock(settings_mutex_);
      if (tls_context_ == nullptr) tls_context_ = TlsContext::Create(tls_settings_);
      context = tls_context_;
    }
    return std::make_shared<SslClient>(io_context_, std::move(context));
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// ClientSession

ClientSession::ClientSession(std::size_t buffer_size)
    : impl_(std::make_unique<Impl>(buffer_size)) {}

ClientSession::~ClientSession() = default;

std::shared_ptr<Response> ClientSession::Send(std::shared_ptr<Request> request, bool stream,
                                              ProgressCallback progress_callback) {
  SendOptions options;
  options.stream = stream;
  if (progress_callback) {
    options.progress = [callback = std::move(progress_callback)](std::uint64_t current,
                                                                 std::uint64_t total) {
      callback(static_cast<std::size_t>(current), static_cast<std::size_t>(total));
      return true;
    };
  }
  return impl_->Send(std::move(request), options);
}

std::shared_ptr<Response> ClientSession::Send(std::shared_ptr<Request> request,
                                              const SendOptions& options) {
  return impl_->Send(std::move(request), options);
}

std::future<std::shared_ptr<Response>> ClientSession::SendAsync(std::shared_ptr<Request> request,
                                                                SendOptions options) {
  return impl_->SendAsync(std::move(request), std::move(options));
}

bool ClientSession::Cancel() { return impl_->Cancel(); }
void ClientSession::Start() { impl_->Start(); }
void ClientSession::Stop() { impl_->Stop(); }
bool ClientSession::IsStarted() const {
  std::lock_guard<std::mutex> lock(impl_->state_mutex_);
  return impl_->started_;
}

ClientSession& ClientSession::SetConnectTimeout(int seconds) {
  return SetConnectTimeout(std::chrono::seconds(std::max(seconds, 0)));
}

ClientSession& ClientSession::SetReadTimeout(int seconds) {
  return SetReadTimeout(std::chrono::seconds(std::max(seconds, 0)));
}

ClientSession& ClientSession::SetConnectTimeout(std::chrono::milliseconds limit) {
  impl_->settings_.connect_timeout = limit;
  return *this;
}

ClientSession& ClientSession::SetReadTimeout(std::chrono::milliseconds limit) {
  impl_->settings_.read_timeout = limit;
  return *this;
}

ClientSession& ClientSession::SetTimeout(std::chrono::milliseconds limit) {
  impl_->exchange_timeout_ = limit;
  return *this;
}

std::chrono::milliseconds ClientSession::GetTimeout() const { return impl_->exchange_timeout_; }

namespace {

std::chrono::milliseconds Applying(std::chrono::milliseconds limit, int default_seconds) {
  return limit.count() > 0 ? limit : std::chrono::seconds(default_seconds);
}

int WholeSecondsUp(std::chrono::milliseconds limit) {
  return static_cast<int>((limit.count() + 999) / 1000);
}

}  // namespace

std::chrono::milliseconds ClientSession::GetConnectTimeoutMs() const {
  return Applying(impl_->settings_.connect_timeout, kDefaultConnectTimeout);
}

std::chrono::milliseconds ClientSession::GetReadTimeoutMs() const {
  return Applying(impl_->settings_.read_timeout, kDefaultReadTimeout);
}

int ClientSession::GetConnectTimeout() const { return WholeSecondsUp(GetConnectTimeoutMs()); }
int ClientSession::GetReadTimeout() const { return WholeSecondsUp(GetReadTimeoutMs()); }
std::size_t ClientSession::GetBufferSize() const { return impl_->settings_.buffer_size; }
const std::string& ClientSession::GetMediaType() const { return impl_->media_type_; }
const std::string& ClientSession::GetCharset() const { return impl_->charset_; }
const Headers& ClientSession::GetHeaders() const { return impl_->headers_; }
bool ClientSession::HasSslContext() const {
  std::lock_guard<std::mutex> lock(impl_->settings_mutex_);
  return impl_->tls_context_ != nullptr;
}
std::size_t ClientSession::GetPoolSize() const { return impl_->pool_size_; }

ClientSession& ClientSession::SetMaxConnectionsPerHost(std::size_t limit) {
  impl_->max_per_host_ = std::max<std::size_t>(limit, 1);
  return *this;
}

ClientSession& ClientSession::SetMaxConnections(std::size_t limit) {
  impl_->max_connections_ = std::max<std::size_t>(limit, 1);
  return *this;
}

std::size_t ClientSession::GetMaxConnectionsPerHost() const { return impl_->max_per_host_; }
std::size_t ClientSession::GetMaxConnections() const { return impl_->max_connections_; }

ClientSession& ClientSession::SetCaFile(std::string path) {
  TlsSettings settings = impl_->tls_settings_;
  settings.ca_file = std::move(path);
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetCaPath(std::string directory) {
  TlsSettings settings = impl_->tls_settings_;
  settings.ca_path = std::move(directory);
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetClientCertificate(std::string cert_file, std::string key_file,
                                                   std::string passphrase) {
  TlsSettings settings = impl_->tls_settings_;
  settings.cert_file = std::move(cert_file);
  settings.key_file = std::move(key_file);
  settings.passphrase = std::move(passphrase);
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetVerifyPeer(bool verify) {
  TlsSettings settings = impl_->tls_settings_;
  settings.verify_peer = verify;
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetResolve(std::string host, std::uint16_t port,
                                         std::string address) {
  host = StripBrackets(AsciiLower(host));
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
    std::lock_guard<std::mutex> lock(impl_->settings_mutex_);
    if (address.empty()) {
      impl_->resolve_.erase({host, port});
    } else {
      impl_->resolve_[{host, port}] = std::move(bare);
    }
  }
  impl_->DropPool();
  return *this;
}

ClientSession& ClientSession::SetFollowRedirects(int max_hops, bool allow_downgrade) {
  impl_->settings_.max_redirects = std::max(max_hops, 0);
  impl_->settings_.allow_downgrade = allow_downgrade;
  return *this;
}

int ClientSession::GetMaxRedirects() const { return impl_->settings_.max_redirects; }

ClientSession& ClientSession::SetDecompress(bool decompress) {
  impl_->settings_.decompress = decompress;
  impl_->headers_.Set("Accept-Encoding", decompress ? kDecodedCodings : "identity");
  return *this;
}

bool ClientSession::GetDecompress() const { return impl_->settings_.decompress; }

ClientSession& ClientSession::SetMaxDecodedSize(std::uint64_t bytes) {
  impl_->settings_.max_decoded_size = bytes;
  return *this;
}

std::uint64_t ClientSession::GetMaxDecodedSize() const {
  return impl_->settings_.max_decoded_size.value_or(kDefaultMaxDecodedInMemory);
}

ClientSession& ClientSession::SetContentType(std::string media_type, std::string charset) {
  impl_->media_type_ = std::move(media_type);
  impl_->charset_ = std::move(charset);
  return *this;
}

ClientSession& ClientSession::SetHeader(std::string_view name, std::string_view value) {
  if (value.empty()) {
    RemoveHeader(name);
    return *this;
  }
  // Refused here, where the caller named it, rather than by every send.
  CheckRequestField(name, value);
  if (AsciiIEquals(name, "Host")) {
    Error error(kRequestError, "Invalid header field");
    error.SetDetail("\"Host\": always the URL's host");
    throw error;
  }
  impl_->headers_.Set(name, value);
  return *this;
}

bool ClientSession::RemoveHeader(std::string_view name) { return impl_->headers_.Remove(name); }

ClientSession& ClientSession::Accept(std::string_view content_types) {
  impl_->headers_.Set("Accept", content_types);
  return *this;
}

ClientSession& ClientSession::Auth(std::string_view type, std::string_view credentials) {
  std::string value(type);
  value += ' ';
  value += credentials;
  impl_->headers_.Set("Authorization", value);
  return *this;
}

ClientSession& ClientSession::AuthBasic(std::string_view login, std::string_view password) {
  std::string pair(login);
  pair += ':';
  pair += password;
  return Auth("Basic", Base64Encode(pair));
}

ClientSession& ClientSession::AuthBearer(std::string_view token) { return Auth("Bearer", token); }

ClientSession& ClientSession::AuthToken(std::string_view token) { return Auth("Token", token); }

}  // namespace korvo
