#include "korvo/internal/connection_pool.h"

#include <string_view>
#include <tuple>
#include <utility>


#include "korvo/logger.h"

namespace korvo {

// ---------------------------------------------------------------------------------------
// PoolKey and ConnectionPool

bool PoolKey::operator==(const PoolKey& other) const {
  return scheme == other.scheme && host == other.host && port == other.port;
}

bool PoolKey::operator<(const PoolKey& other) const {
  return std::tie(scheme, host, port) < std::tie(other.scheme, other.host, other.port);
}

ConnectionPool::~ConnectionPool() { Clear(); }

constexpr std::chrono::seconds ConnectionPool::kMaxIdleTime;
constexpr std::size_t ConnectionPool::kMaxConnections;

std::shared_ptr<ClientBase> ConnectionPool::Get(const PoolKey& key) const {
  auto it = clients_.find(key);
  return it != clients_.end() ? it->second.client : nullptr;
}

void ConnectionPool::Add(const PoolKey& key, std::shared_ptr<ClientBase> client,
                         Clock::time_point now) {
  if (client == nullptr) return;
  clients_[key] = Entry{std::move(client), now};
  while (clients_.size() > kMaxConnections) {
    auto oldest = clients_.begin();
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
      if (it->second.last_used < oldest->second.last_used) oldest = it;
    }
    oldest->second.client->Close();
    clients_.erase(oldest);
  }
}

void ConnectionPool::Remove(const PoolKey& key) { clients_.erase(key); }

void ConnectionPool::Prune(Clock::time_point now) {
  for (auto it = clients_.begin(); it != clients_.end();) {
    ClientBase& client = *it->second.client;
    if (!client.IsConnected()) {
      it = clients_.erase(it);
    } else if (now - it->second.last_used > kMaxIdleTime) {
      client.Close();
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

std::vector<std::shared_ptr<ClientBase>> ConnectionPool::Others(const ClientBase* except) const {
  std::vector<std::shared_ptr<ClientBase>> others;
  for (const auto& entry : clients_) {
    if (entry.second.client.get() != except) others.push_back(entry.second.client);
  }
  return others;
}

void ConnectionPool::Clear() {
  for (auto& entry : clients_) entry.second.client->Close();
  clients_.clear();
}

}  // namespace korvo
