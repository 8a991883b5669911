// LoopThread: the thread that runs a session's event loop, the count of exchanges in
// flight that Stop waits for, and the blocking hand-off between the loop and a thread
// waiting in Send.
//
// A blocking send is answered over a fast network within tens of microseconds, less
// than it costs to put a thread to sleep and wake it. So both sides wait awake for a
// bounded moment first: the caller for its outcome (BlockingOutcome::Wait), and the
// loop, once a blocking exchange has ended, for the next request its caller is likely
// to send at once (the linger). Neither spins while the session is idle.
//
// Thread rules: Start, Stop and RunOnLoop refuse the loop thread (they would wait for
// it); Admit, Launch and IsStarted may be called from any thread; Ended runs on the
// loop thread. RunPending is for the owner's destructor, after Stop.
#ifndef KORVO_INTERNAL_LOOP_THREAD_H_
#define KORVO_INTERNAL_LOOP_THREAD_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "korvo/error.h"
#include "korvo/response.h"

namespace korvo {

// SpinAdvisor: whether waiting awake for a hand-off has been paying off. Where the
// other side answers later than the bounded spin (a server behind a proxy, a distant
// one, a machine with more busy threads than cores), every spin is a loss, and a
// spinning thread takes a core the server or the proxy may need. After a few spins in
// a row that ended empty, waits sleep at once, trying a spin again now and then.
//
// Thread rules: any thread.
class SpinAdvisor {
 public:
  bool ShouldSpin() {
    if (misses_.load(std::memory_order_relaxed) < kMaxMisses) return true;
    return probes_.fetch_add(1, std::memory_order_relaxed) % kProbeEvery == 0;
  }
  void Record(bool hit) {
    if (hit) {
      misses_.store(0, std::memory_order_relaxed);
    } else if (misses_.load(std::memory_order_relaxed) < kMaxMisses) {
      misses_.fetch_add(1, std::memory_order_relaxed);
    }
  }

 private:
  static constexpr int kMaxMisses = 4;
  static constexpr unsigned kProbeEvery = 32;
  std::atomic<int> misses_{0};
  std::atomic<unsigned> probes_{0};
};

// What an exchange that Stop refused, or ended before it began, fails with.
Error StoppedError();

class LoopThread {
 public:
  LoopThread();
  ~LoopThread();

  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  boost::asio::io_context& context() { return io_context_; }
  bool RunsHere() { return io_context_.get_executor().running_in_this_thread(); }
  // Throws Error(kLoopError) when called on the loop thread, where waiting for the loop
  // could only deadlock.
  void RefuseHere(const char* operation);

  void Start();
  // Posts `cancel_all` to the loop, waits until every admitted exchange has ended, then
  // stops the loop and joins its thread. Nothing before a Start.
  void Stop(const std::function<void()>& cancel_all);
  bool IsStarted() const;
  // Set while Stop waits for the exchanges in flight; read on the loop.
  bool stopping() const { return stopping_; }

  // Counts one more exchange in flight, or returns the error that refuses it (the
  // session is stopped or stopping).
  Error Admit();
  // Posts the start of an admitted exchange.
  template <typename Function>
  void Launch(Function run) {
    boost::asio::post(io_context_, std::move(run));
    // After the post: a lingering loop that sees the count change finds the work queued.
    launched_.fetch_add(1, std::memory_order_release);
  }
  // On the loop: an admitted exchange has ended; `blocking` when a caller waits for it
  // in Send, so that the loop lingers for that caller's next request.
  void Ended(bool blocking);

  // Runs `function` on the loop and waits for it; here, when the loop is not running or
  // this is its thread.
  void RunOnLoop(const std::function<void()>& function);
  // After Stop: runs on this thread what is still queued for the loop (the drivers'
  // closes, completions still holding a driver).
  void RunPending();

  // Advises the callers waiting in Send (BlockingOutcome::Wait).
  SpinAdvisor& caller_spin() { return caller_spin_; }

 private:
  void Run();

  // Declared first so that it is destroyed last: everything queued refers to it.
  boost::asio::io_context io_context_;
  std::unique_ptr<std::thread> thread_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
      work_guard_;

  // Held for the whole of Start and Stop, so that a Stop racing another (or a
  // destruction) cannot join the loop thread twice.
  std::mutex start_stop_mutex_;
  // Guards started_, stopping_ (written) and in_flight_: what Stop waits for.
  mutable std::mutex state_mutex_;
  std::condition_variable idle_cv_;
  bool started_ = false;
  std::atomic<bool> stopping_{false};
  std::size_t in_flight_ = 0;  // exchanges admitted and not ended

  // Counts launched exchanges, so that the lingering loop sees a new one at once.
  std::atomic<std::uint64_t> launched_{0};
  bool linger_ = false;  // loop thread only: a blocking exchange has just ended
  SpinAdvisor linger_spin_;
  SpinAdvisor caller_spin_;
};

// BlockingOutcome: one blocking exchange's outcome, handed from the loop to the thread
// that waits for it. Shared by both, so that a caller that sees it ready may return at
// once while the loop is still about to notify.
class BlockingOutcome {
 public:
  // On the loop, once.
  void Deliver(std::shared_ptr<Response> response, Error error);
  // Waits for Deliver, awake for a moment first when `advisor` says it pays; then
  // throws the error or returns the response.
  std::shared_ptr<Response> Wait(SpinAdvisor& advisor);

 private:
  bool Ready() const { return ready_.load(std::memory_order_acquire); }

  std::mutex mutex_;
  std::condition_variable done_;
  std::atomic<bool> ready_{false};
  std::shared_ptr<Response> response_;
  Error error_;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_LOOP_THREAD_H_
