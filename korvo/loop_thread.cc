#include "korvo/internal/loop_thread.h"

#include <chrono>
#include <future>
#include <utility>

#include "korvo/logger.h"

namespace korvo {

namespace {

// How long either side of a blocking send's hand-off waits awake for the other before
// it sleeps: a loopback or data-centre round trip and a little more (50 microseconds
// was often just too short for a local nginx). Being put to sleep and woken
// costs a system call on each side and a wake-up of some 10 to 40 microseconds, which
// a single-threaded client does not pay; the spin is bounded per hand-off and never
// runs while the session is idle.
constexpr std::chrono::microseconds kHandOffSpin{100};

// Waits awake until `done` is true or `limit` has passed, and tells `advisor` whether
// it was worth it. Each turn yields the core: on a machine with fewer cores than busy
// threads, the thread waited for (or the server) may need this one.
template <typename Predicate>
void Spin(std::chrono::microseconds limit, SpinAdvisor& advisor, Predicate done) {
  if (done() || !advisor.ShouldSpin()) return;
  const auto until = std::chrono::steady_clock::now() + limit;
  do {
    std::this_thread::yield();
    if (done()) {
      advisor.Record(true);
      return;
    }
  } while (std::chrono::steady_clock::now() < until);
  advisor.Record(false);
}

}  // namespace

Error StoppedError() {
  Error error(kLoopError, "Loop is not running");
  error.SetCancelled(true);
  error.SetDetail("Cancelled");
  return error;
}

LoopThread::LoopThread() : work_guard_(boost::asio::make_work_guard(io_context_)) {}

LoopThread::~LoopThread() = default;

void LoopThread::RefuseHere(const char* operation) {
  if (RunsHere()) {
    LOG_ERRO("%s called on the session's loop thread", operation);
    throw Error(kLoopError, "Called on the session's loop thread");
  }
}

void LoopThread::Start() {
  RefuseHere("Start");
  std::lock_guard<std::mutex> start_stop(start_stop_mutex_);
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (started_) return;
  io_context_.restart();
  // A thread that cannot be created throws here and leaves the session stopped.
  thread_ = std::make_unique<std::thread>([this] { Run(); });
  started_ = true;
}

void LoopThread::Run() {
  while (io_context_.run_one() != 0) {
    if (!linger_) continue;
    // A blocking send has just been answered, and its caller is likely to send the
    // next request at once: the loop stays awake for a moment to take it, instead of
    // being woken for it. Only the spin after such an exchange; never while idle.
    linger_ = false;
    const std::uint64_t launched = launched_.load(std::memory_order_relaxed);
    Spin(kHandOffSpin, linger_spin_, [this, launched] {
      return launched_.load(std::memory_order_acquire) != launched;
    });
  }
}

void LoopThread::Stop(const std::function<void()>& cancel_all) {
  // Joining its own thread could only deadlock.
  RefuseHere("Stop");
  std::lock_guard<std::mutex> start_stop(start_stop_mutex_);
  std::unique_lock<std::mutex> lock(state_mutex_);
  if (!started_) return;
  stopping_ = true;
  // Every exchange ends by closing its connection; none waits for a server.
  boost::asio::post(io_context_, cancel_all);
  idle_cv_.wait(lock, [this] { return in_flight_ == 0; });
  lock.unlock();
  io_context_.stop();
  thread_->join();
  thread_.reset();
  lock.lock();
  started_ = false;
  stopping_ = false;
}

bool LoopThread::IsStarted() const {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return started_;
}

Error LoopThread::Admit() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (!started_) return Error(kLoopError, "Loop is not running");
  if (stopping_) return StoppedError();
  ++in_flight_;
  return Error();
}

void LoopThread::Ended(bool blocking) {
  linger_ = blocking;
  // Counted out before the caller hears of it, so that a caller woken by the outcome
  // finds the lock free for its next send; Stop cannot finish before the handler has
  // returned, since it joins the loop thread.
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    --in_flight_;
  }
  idle_cv_.notify_all();
}

void LoopThread::RunOnLoop(const std::function<void()>& function) {
  std::unique_lock<std::mutex> lock(state_mutex_);
  if (!started_ || RunsHere()) {
    function();
    return;
  }
  lock.unlock();
  std::promise<void> done;
  boost::asio::post(io_context_, [&] {
    function();
    done.set_value();
  });
  done.get_future().wait();
}

void LoopThread::RunPending() {
  io_context_.restart();
  io_context_.poll();
}

void BlockingOutcome::Deliver(std::shared_ptr<Response> response, Error error) {
  response_ = std::move(response);
  error_ = std::move(error);
  ready_.store(true, std::memory_order_release);
  // The lock orders the store against a caller between its check and its wait; a
  // caller that saw it ready while spinning never takes it.
  { std::lock_guard<std::mutex> lock(mutex_); }
  done_.notify_one();
}

std::shared_ptr<Response> BlockingOutcome::Wait(SpinAdvisor& advisor) {
  // A response on a fast network is a few tens of microseconds away: wait for it
  // awake, for a bounded moment, rather than pay for being put to sleep and woken.
  auto ready = [this] { return Ready(); };
  Spin(kHandOffSpin, advisor, ready);
  if (!ready()) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, ready);
  }
  if (error_.code() != kNoError) throw error_;
  return std::move(response_);
}

}  // namespace korvo
