// ConnectionPool: the connections a session has open, by where they lead, and the
// limits on how many there may be.
//
// An HTTP/1.1 connection is either busy (an exchange holds its driver) or idle (kept
// open after an exchange, reusable and able to take another, waiting to be reused). An
// HTTP/2 connection is shared: it stays in the pool while it carries exchanges, and
// Take hands it to one more as long as it has a stream to spare. Open connections,
// busy and idle, are counted per key and in all against two limits; Open says whether
// one more may be made. Idle connections are reused most recently used first, so that
// the ones left over age out: Prune lets go of idle connections found closed and of
// those idle for longer than kMaxIdleTime. Destruction and Clear close the idle
// connections; busy ones stay counted until they are released.
//
// While a connection that may turn out to speak HTTP/2 is being made (a probe), more
// exchanges to its key wait for it rather than open connections of their own, unless
// the key is known to speak HTTP/1.1.
//
// Thread rules: not synchronised; the session uses it on its loop thread only (and in
// its destructor, after that thread has been joined).
#ifndef KORVO_INTERNAL_CONNECTION_POOL_H_
#define KORVO_INTERNAL_CONNECTION_POOL_H_

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvo/internal/connection.h"

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
  std::shared_ptr<Connection> Take(const PoolKey& key);
  // Whether Take or Open would succeed for `key` now.
  bool CanServe(const PoolKey& key) const;
  // Whether one more connection to `key` fits under the limits; if so it is counted as
  // busy from now on. At the overall limit, the least recently used idle connection to
  // another key is closed to make room. With `probe`, the connection may turn out to
  // speak HTTP/2: until Probed, CanServe keeps further exchanges to `key` waiting.
  bool Open(const PoolKey& key, bool probe = false);
  // A probe opened for `key` has learnt what its connection speaks: HTTP/1.1 when
  // `http1` (exchanges to the key then open connections as usual), or else HTTP/2 or
  // nothing (it failed).
  void Probed(const PoolKey& key, bool http1);
  // The connection opened for `key` (still counted) goes on as the shared `connection`.
  void AddShared(const PoolKey& key, std::shared_ptr<Connection> connection,
                 Clock::time_point now);
  // A busy connection to `key` is done with: kept idle, last used at `now`, when `keep`
  // and it is still reusable, can take another exchange, and is within the limits;
  // otherwise closed and no longer counted. `client` may be null (a connection that was
  // never made). A shared connection stays while it carries exchanges; without `keep`
  // it takes no more, and closes once the last one has ended.
  void Release(const PoolKey& key, std::shared_ptr<Connection> client, bool keep,
               Clock::time_point now);

  // Lets go of idle connections that are gone, and closes those idle since before
  // `now` - kMaxIdleTime.
  void Prune(Clock::time_point now);
  // Every idle connection (shared ones that carry nothing included).
  std::vector<std::shared_ptr<Connection>> Idle() const;
  // Closes every idle connection, in key order.
  void Clear();

  // Idle connections (shared ones that carry nothing included).
  std::size_t size() const;
  bool empty() const { return size() == 0; }
  // Open connections, busy and idle: to `key`, and in all.
  std::size_t OpenCount(const PoolKey& key) const;
  std::size_t OpenCount() const { return open_total_; }

 private:
  struct Entry {
    std::shared_ptr<Connection> client;
    Clock::time_point last_used;
    bool retired = false;  // shared: takes no more exchanges
  };
  struct Host {
    std::size_t open = 0;
    std::vector<Entry> idle;    // the most recently used last
    std::vector<Entry> shared;  // busy or not
    std::size_t probing = 0;    // connections being made whose protocol is unknown
    bool http1 = false;         // a probe found HTTP/1.1
  };
  // Closes the shared connections of the host at `it` that carry nothing and are gone,
  // retired, no longer reusable, or (with `now`) idle for longer than kMaxIdleTime; with
  // `all`, every one that carries nothing. Returns the host after it (the host itself
  // goes when nothing to it is left open).
  std::map<PoolKey, Host>::iterator SweepShared(std::map<PoolKey, Host>::iterator it,
                                                std::optional<Clock::time_point> now,
                                                bool all = false);
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
