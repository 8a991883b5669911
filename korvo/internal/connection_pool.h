// ConnectionPool: the connections a session has open, by where they lead, and the
// limits on how many there may be.
//
// A connection is either busy (an exchange holds its driver) or idle (kept open after
// an exchange, reusable and able to take another, waiting to be reused). Open connections, busy and idle, are counted per
// key and in all against two limits; Open says whether one more may be made. Idle
// connections are reused most recently used first, so that the ones left over age out:
// Prune lets go of idle connections found closed and of those idle for longer than
// kMaxIdleTime. Destruction and Clear close the idle connections; busy ones stay
// counted until they are released.
//
// Thread rules: not synchronised; the session uses it on its loop thread only (and in
// its destructor, after that thread has been joined).
#ifndef KORVO_INTERNAL_CONNECTION_POOL_H_
#define KORVO_INTERNAL_CONNECTION_POOL_H_

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "korvo/internal/client_base.h"

namespace korvo {

// Where a pooled connection leads: the URL's scheme, host and port exactly as written
// (no case folding, no default port; an absent port is the empty string).
struct PoolKey {
  std::string scheme;
  std::string host;
  std::string port;
  // How the connection gets there (Route::Key): a tunnel or a proxy's connection serves
  // its own route only.
  std::string route;

  bool operator==(const PoolKey& other) const;
  bool operator!=(const PoolKey& other) const { return !(*this == other); }
  // By scheme, then host, then port, each as a plain byte string.
  bool operator<(const PoolKey& other) const;
};

class ConnectionPool {
 public:
  using Clock = std::chrono::steady_clock;

  // Servers commonly close idle connections after 5 to 75 seconds; a connection kept
  // longer is more likely to fail the request that reuses it than to save a handshake.
  static constexpr std::chrono::seconds kMaxIdleTime{60};
  // Browsers' figure per host; in all, each connection is a descriptor and (for TLS) a
  // session's memory.
  static constexpr std::size_t kDefaultMaxPerHost = 6;
  static constexpr std::size_t kDefaultMaxConnections = 64;

  ConnectionPool() = default;
  ~ConnectionPool();

  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Limits on open connections per key and in all (0 is taken as 1). Lowering them
  // closes nothing: busy connections above them go when they are released.
  void SetLimits(std::size_t per_key, std::size_t total);

  // The most recently used idle connection to `key`, now busy; null when there is none.
  std::shared_ptr<ClientBase> Take(const PoolKey& key);
  // Whether Take or Open would succeed for `key` now.
  bool CanServe(const PoolKey& key) const;
  // Whether one more connection to `key` fits under the limits; if so it is counted as
  // busy from now on. At the overall limit, the least recently used idle connection to
  // another key is closed to make room.
  bool Open(const PoolKey& key);
  // A busy connection to `key` is done with: kept idle, last used at `now`, when `keep`
  // and it is still reusable, can take another exchange, and is within the limits; otherwise closed and no longer
  // counted. `client` may be null (a connection that was never made).
  void Release(const PoolKey& key, std::shared_ptr<ClientBase> client, bool keep,
               Clock::time_point now);

  // Lets go of idle connections that are gone, and closes those idle since before
  // `now` - kMaxIdleTime.
  void Prune(Clock::time_point now);
  // Every idle connection.
  std::vector<std::shared_ptr<ClientBase>> Idle() const;
  // Closes every idle connection, in key order.
  void Clear();

  // Idle connections.
  std::size_t size() const { return idle_count_; }
  bool empty() const { return idle_count_ == 0; }
  // Open connections, busy and idle: to `key`, and in all.
  std::size_t OpenCount(const PoolKey& key) const;
  std::size_t OpenCount() const { return open_total_; }

 private:
  struct Entry {
    std::shared_ptr<ClientBase> client;
    Clock::time_point last_used;
  };
  struct Host {
    std::size_t open = 0;
    std::vector<Entry> idle;  // the most recently used last
  };
  // Stops counting `count` open connections to the host at `it`, dropping it when none
  // is left.
  void Forget(std::map<PoolKey, Host>::iterator it, std::size_t count = 1);

  std::map<PoolKey, Host> hosts_;
  std::size_t per_key_limit_ = kDefaultMaxPerHost;
  std::size_t total_limit_ = kDefaultMaxConnections;
  std::size_t open_total_ = 0;
  std::size_t idle_count_ = 0;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_CONNECTION_POOL_H_
