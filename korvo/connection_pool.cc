#include "korvo/internal/connection_pool.h"

#include <algorithm>
#include <tuple>
#include <utility>

namespace korvo {

bool PoolKey::operator==(const PoolKey& other) const {
  return scheme == other.scheme && host == other.host && port == other.port &&
         route == other.route;
}

bool PoolKey::operator<(const PoolKey& other) const {
  return std::tie(scheme, host, port, route) <
         std::tie(other.scheme, other.host, other.port, other.route);
}

constexpr std::chrono::seconds ConnectionPool::kMaxIdleTime;
constexpr std::size_t ConnectionPool::kDefaultMaxPerHost;
constexpr std::size_t ConnectionPool::kDefaultMaxConnections;

ConnectionPool::~ConnectionPool() { Clear(); }

void ConnectionPool::SetLimits(std::size_t per_key, std::size_t total) {
  per_key_limit_ = std::max<std::size_t>(per_key, 1);
  total_limit_ = std::max<std::size_t>(total, 1);
}

std::shared_ptr<ClientBase> ConnectionPool::Take(const PoolKey& key) {
  auto it = hosts_.find(key);
  if (it == hosts_.end() || it->second.idle.empty()) return nullptr;
  std::shared_ptr<ClientBase> client = std::move(it->second.idle.back().client);
  it->second.idle.pop_back();
  --idle_count_;
  return client;
}

bool ConnectionPool::CanServe(const PoolKey& key) const {
  auto it = hosts_.find(key);
  if (it != hosts_.end() && !it->second.idle.empty()) return true;
  if (it != hosts_.end() && it->second.open >= per_key_limit_) return false;
  if (open_total_ < total_limit_) return true;
  // At the overall limit an idle connection elsewhere can make room.
  return idle_count_ > 0;
}

bool ConnectionPool::Open(const PoolKey& key) {
  auto it = hosts_.find(key);
  if (it != hosts_.end() && it->second.open >= per_key_limit_) return false;
  if (open_total_ >= total_limit_) {
    // Room is made by an idle connection elsewhere, the one unused the longest.
    auto oldest_host = hosts_.end();
    for (auto host = hosts_.begin(); host != hosts_.end(); ++host) {
      if (host->first == key || host->second.idle.empty()) continue;
      if (oldest_host == hosts_.end() ||
          host->second.idle.front().last_used < oldest_host->second.idle.front().last_used) {
        oldest_host = host;
      }
    }
    if (oldest_host == hosts_.end()) return false;
    std::vector<Entry>& idle = oldest_host->second.idle;
    idle.front().client->Close();
    idle.erase(idle.begin());
    --idle_count_;
    Forget(oldest_host);
  }
  ++hosts_[key].open;
  ++open_total_;
  return true;
}

void ConnectionPool::Release(const PoolKey& key, std::shared_ptr<ClientBase> client, bool keep,
                             Clock::time_point now) {
  auto it = hosts_.find(key);
  if (it == hosts_.end()) return;  // not counted: nothing to release
  Host& host = it->second;
  if (keep && client != nullptr && client->IsReusable() && client->SpareCapacity() > 0 && host.open <= per_key_limit_ &&
      open_total_ <= total_limit_) {
    host.idle.push_back(Entry{std::move(client), now});
    ++idle_count_;
    return;
  }
  if (client != nullptr) client->Close();
  Forget(it);
}

void ConnectionPool::Forget(std::map<PoolKey, Host>::iterator it, std::size_t count) {
  it->second.open -= count;
  open_total_ -= count;
  if (it->second.open == 0) hosts_.erase(it);
}

void ConnectionPool::Prune(Clock::time_point now) {
  for (auto it = hosts_.begin(); it != hosts_.end();) {
    auto next = std::next(it);
    std::vector<Entry>& idle = it->second.idle;
    auto kept = std::remove_if(idle.begin(), idle.end(), [now](Entry& entry) {
      if (!entry.client->IsGone() && now - entry.last_used <= kMaxIdleTime) return false;
      entry.client->Close();
      return true;
    });
    std::size_t gone = static_cast<std::size_t>(idle.end() - kept);
    idle.erase(kept, idle.end());
    idle_count_ -= gone;
    if (gone > 0) Forget(it, gone);
    it = next;
  }
}

std::vector<std::shared_ptr<ClientBase>> ConnectionPool::Idle() const {
  std::vector<std::shared_ptr<ClientBase>> idle;
  for (const auto& host : hosts_) {
    for (const Entry& entry : host.second.idle) idle.push_back(entry.client);
  }
  return idle;
}

std::size_t ConnectionPool::OpenCount(const PoolKey& key) const {
  auto it = hosts_.find(key);
  return it != hosts_.end() ? it->second.open : 0;
}

void ConnectionPool::Clear() {
  for (auto it = hosts_.begin(); it != hosts_.end();) {
    auto next = std::next(it);
    std::vector<Entry> idle = std::move(it->second.idle);
    it->second.idle.clear();
    idle_count_ -= idle.size();
    for (Entry& entry : idle) entry.client->Close();
    if (!idle.empty()) Forget(it, idle.size());
    it = next;
  }
}

}  // namespace korvo
