// ConnectionPool: the drivers whose connections stayed open after an exchange, at most
// one per key.
//
// The pool never reads a socket itself (that happens on the loop thread); its owner
// decides when to add, look up and remove, and Prune lets go of what is no longer worth
// keeping: connections found closed, idle for longer than kMaxIdleTime, and beyond
// kMaxConnections the least recently used. Destruction closes every stored connection,
// in key order.
//
// Thread rules: the pool is not synchronised; the session uses it under its send lock
// and in its destructor, after the loop thread has been joined.
#ifndef KORVO_INTERNAL_CONNECTION_POOL_H_
#define KORVO_INTERNAL_CONNECTION_POOL_H_

#include <chrono>
#include <cstddef>
#include <filesystem>
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
  // Idle connections kept at most, each a descriptor and (for TLS) a session's memory.
  static constexpr std::size_t kMaxConnections = 64;

  ConnectionPool() = default;
  ~ConnectionPool();

  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // The client stored under `key`, or null. The client stays in the pool.
  std::shared_ptr<ClientBase> Get(const PoolKey& key) const;

  // Stores `client` under `key`, last used at `now`, releasing a client stored there
  // before. A null client is not stored (and removes nothing). Beyond kMaxConnections
  // the least recently used connection is closed and released.
  void Add(const PoolKey& key, std::shared_ptr<ClientBase> client, Clock::time_point now);
  void Add(const PoolKey& key, std::shared_ptr<ClientBase> client) {
    Add(key, std::move(client), Clock::now());
  }

  // Erases the entry under `key`, if there is one.
  void Remove(const PoolKey& key);

  // Releases the clients whose connections have closed, and closes and releases those
  // idle since before `now` - kMaxIdleTime.
  void Prune(Clock::time_point now);

  // Every stored client but `except`.
  std::vector<std::shared_ptr<ClientBase>> Others(const ClientBase* except) const;

  // Closes every stored connection, in key order, and releases the clients.
  void Clear();

  std::size_t size() const { return clients_.size(); }
  bool empty() const { return clients_.empty(); }

 private:
  struct Entry {
    std::shared_ptr<ClientBase> client;
    Clock::time_point last_used;
  };
  std::map<PoolKey, Entry> clients_;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_CONNECTION_POOL_H_
