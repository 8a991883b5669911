// Scheduler: places a session's exchanges on connections. It owns the connection pool
// and the exchanges in flight: those running a hop, and those waiting, in order, for a
// connection under the per-host and overall limits (each with its deadline's timer).
// It runs each hop on a driver and applies the hop rules of exchange.h to what comes
// back: the one retry, the redirects, the outcome.
//
// The scheduler sees a connection (connection.h) as something that can carry a number
// of exchanges at once (SpareCapacity: one for HTTP/1.1, the streams to spare for
// HTTP/2), that may or may not be kept for more once they end (IsReusable), and that
// may be gone (IsGone). The pool counts connections against the limits. A new
// connection whose server picks HTTP/2 is handed to an Http2Connection, which the
// exchanges to that origin then share; a hop an HTTP/2 server refused is sent again.
//
// Thread rules: everything runs on the session's loop thread, except SetLimits, the
// limit setters and getters and PoolSize (any thread), and Clear, which the session also calls in
// its destructor once the loop thread has been joined.
#ifndef KORVO_INTERNAL_SCHEDULER_H_
#define KORVO_INTERNAL_SCHEDULER_H_

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <list>
#include <memory>
#include <set>

#include <boost/system/error_code.hpp>

#include "korvo/error.h"
#include "korvo/internal/connection_pool.h"
#include "korvo/internal/connection_settings.h"
#include "korvo/internal/exchange.h"
#include "korvo/internal/loop_thread.h"
#include "korvo/response.h"

namespace korvo {

class Scheduler {
 public:
  Scheduler(LoopThread& loop, ConnectionSettings& connections)
      : loop_(loop), connections_(connections) {}
  ~Scheduler() = default;

  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // A launched exchange: counted as running, then dispatched (or refused when the
  // session is stopping).
  void Run(const std::shared_ptr<Exchange>& exchange);
  // Ends `exchange` as cancelled: at once while it waits, through its driver while a
  // hop runs. An exchange that has ended is left alone.
  void Cancel(const std::shared_ptr<Exchange>& exchange);
  // Cancels every exchange, waiting or running.
  void CancelAll();
  // Closes the idle connections (made under settings that have just changed; busy ones
  // are not kept when their exchanges end).
  void Clear();

  // Limits on open connections per host and in all (0 is taken as 1); they apply from
  // the next dispatch.
  void SetMaxPerHost(std::size_t limit) { max_per_host_ = std::max<std::size_t>(limit, 1); }
  void SetMaxConnections(std::size_t limit) {
    max_connections_ = std::max<std::size_t>(limit, 1);
  }
  std::size_t GetMaxPerHost() const { return max_per_host_; }
  std::size_t GetMaxConnections() const { return max_connections_; }
  // Idle connections, as counted when an exchange last ended or the pool was cleared.
  std::size_t PoolSize() const { return pool_size_; }

 private:
  using Clock = ConnectionPool::Clock;
  using Deadline = Exchange::Deadline;

  // Starts the current hop on a connection, or queues the exchange for one.
  void Dispatch(const std::shared_ptr<Exchange>& exchange);
  void Wait(const std::shared_ptr<Exchange>& exchange);
  void OnWaitTimer(const std::weak_ptr<Exchange>& weak, boost::system::error_code error);
  // Dispatches waiting exchanges, in order, as far as connections allow.
  void ServeWaiting();
  void RunHop(const std::shared_ptr<Exchange>& exchange, std::shared_ptr<Connection> client);
  void BeginHop(const std::shared_ptr<Exchange>& exchange);
  void OnHopDone(const std::shared_ptr<Exchange>& exchange, HopOutcome outcome);
  // The hop's new connection speaks HTTP/2: an HTTP/2 driver takes it over, in the
  // pool in its place, and runs the hop and the exchanges waiting for it.
  void SwitchToHttp2(const std::shared_ptr<Exchange>& exchange,
                     std::unique_ptr<SocketBase> socket);
  // Ends the hop's hold on its connection, which goes back to the pool.
  void ReleaseClient(const std::shared_ptr<Exchange>& exchange);
  void Complete(const std::shared_ptr<Exchange>& exchange, std::shared_ptr<Response> response,
                Error error);
  void UpdatePoolSize() { pool_size_ = pool_.size(); }

  LoopThread& loop_;
  ConnectionSettings& connections_;
  std::atomic<std::size_t> max_per_host_{ConnectionPool::kDefaultMaxPerHost};
  std::atomic<std::size_t> max_connections_{ConnectionPool::kDefaultMaxConnections};
  std::atomic<std::size_t> pool_size_{0};

  // Loop thread only.
  ConnectionPool pool_;
  std::set<std::shared_ptr<Exchange>> running_;   // launched, not completed
  std::list<std::shared_ptr<Exchange>> waiting_;  // for a connection, in order
  bool serving_ = false;  // ServeWaiting is on the stack
  bool serve_again_ = false;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_SCHEDULER_H_
