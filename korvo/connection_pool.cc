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

ConnectionPool::~ConnectionPool() {
  Clear();
  for (auto& host : hosts_) {
    for (Entry& entry : host.second.shared) entry.client->Close();
  }
}

void ConnectionPool::SetLimits(std::size_t per_key, std::size_t total) {
  per_key_limit_ = std::max<std::size_t>(per_key, 1);
  total_limit_ = std::max<std::size_t>(total, 1);
}

std::shared_ptr<Connection> ConnectionPool::Take(const PoolKey& key) {
  auto it = hosts_.find(key);
  if (it == hosts_.end()) return nullptr;
  for (const Entry& entry : it->second.shared) {
    if (!entry.retired && entry.client->SpareCapacity() > 0) return entry.client;
  }
  if (it->second.idle.empty()) return nullptr;
  std::shared_ptr<Connection> client = std::move(it->second.idle.back().client);
  it->second.idle.pop_back();
  --idle_count_;
  return client;
}

bool ConnectionPool::CanServe(const PoolKey& key) const {
  auto it = hosts_.find(key);
  if (it != hosts_.end()) {
    const Host& host = it->second;
    for (const Entry& entry : host.shared) {
      if (!entry.retired && entry.client->SpareCapacity() > 0) return true;
    }
    if (!host.idle.empty()) return true;
    if (host.probing > 0 && !host.http1) return false;
    if (host.open >= per_key_limit_) return false;
  }
  if (open_total_ < total_limit_) return true;
  // At the overall limit an idle connection elsewhere can make room.
  return idle_count_ > 0;
}

bool ConnectionPool::Open(const PoolKey& key, bool probe) {
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
  Host& host = hosts_[key];
  ++host.open;
  if (probe) ++host.probing;
  ++open_total_;
  return true;
}

void ConnectionPool::Probed(const PoolKey& key, bool http1) {
  auto it = hosts_.find(key);
  if (it == hosts_.end()) return;
  if (it->second.probing > 0) --it->second.probing;
  if (http1) it->second.http1 = true;
}

void ConnectionPool::AddShared(const PoolKey& key, std::shared_ptr<Connection> connection,
                               Clock::time_point now) {
  auto it = hosts_.find(key);
  if (it == hosts_.end()) return;
  it->second.shared.push_back(Entry{std::move(connection), now});
}

void ConnectionPool::Release(const PoolKey& key, std::shared_ptr<Connection> client, bool keep,
                             Clock::time_point now) {
  auto it = hosts_.find(key);
  if (it == hosts_.end()) return;  // not counted: nothing to release
  Host& host = it->second;
  if (client != nullptr && client->IsMultiplexed()) {
    for (Entry& entry : host.shared) {
      if (entry.client != client) continue;
      if (!keep) entry.retired = true;
      if (client->ActiveHops() == 0) entry.last_used = now;
      SweepShared(it, std::nullopt);
      return;
    }
    return;  // dropped already
  }
  if (keep && client != nullptr && client->IsReusable() && client->SpareCapacity() > 0 &&
      host.open <= per_key_limit_ && open_total_ <= total_limit_) {
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

std::map<PoolKey, ConnectionPool::Host>::iterator ConnectionPool::SweepShared(
    std::map<PoolKey, Host>::iterator it, std::optional<Clock::time_point> now, bool all) {
  std::vector<Entry>& shared = it->second.shared;
  auto kept = std::remove_if(shared.begin(), shared.end(), [&](Entry& entry) {
    const Connection& client = *entry.client;
    if (client.ActiveHops() > 0) return false;
    bool idle_too_long = now && *now - entry.last_used > kMaxIdleTime;
    if (!all && !entry.retired && !idle_too_long && client.IsReusable()) return false;
    entry.client->Close();
    return true;
  });
  std::size_t gone = static_cast<std::size_t>(shared.end() - kept);
  shared.erase(kept, shared.end());
  auto next = std::next(it);
  if (gone > 0) Forget(it, gone);
  return next;
}

std::size_t ConnectionPool::size() const {
  std::size_t count = idle_count_;
  for (const auto& host : hosts_) {
    for (const Entry& entry : host.second.shared) {
      if (entry.client->ActiveHops() == 0 && !entry.retired) ++count;
    }
  }
  return count;
}

void ConnectionPool::Prune(Clock::time_point now) {
  for (auto it = hosts_.begin(); it != hosts_.end();) {
    if (!it->second.shared.empty()) {
      // The host may go with its last shared connection.
      auto after = std::next(it);
      PoolKey key = it->first;
      SweepShared(it, now);
      it = hosts_.find(key);
      if (it == hosts_.end()) {
        it = after;
        continue;
      }
    }
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

std::vector<std::shared_ptr<Connection>> ConnectionPool::Idle() const {
  std::vector<std::shared_ptr<Connection>> idle;
  for (const auto& host : hosts_) {
    for (const Entry& entry : host.second.idle) idle.push_back(entry.client);
    for (const Entry& entry : host.second.shared) {
      if (entry.client->ActiveHops() == 0) idle.push_back(entry.client);
    }
  }
  return idle;
}

std::size_t ConnectionPool::OpenCount(const PoolKey& key) const {
  auto it = hosts_.find(key);
  return it != hosts_.end() ? it->second.open : 0;
}

void ConnectionPool::Clear() {
  for (auto it = hosts_.begin(); it != hosts_.end();) {
    PoolKey key = it->first;
    auto next = std::next(it);
    for (Entry& entry : it->second.shared) entry.retired = true;
    SweepShared(it, std::nullopt, true);
    it = hosts_.find(key);
    if (it == hosts_.end()) {
      it = next;
      continue;
    }
    std::vector<Entry> idle = std::move(it->second.idle);
    it->second.idle.clear();
    idle_count_ -= idle.size();
    for (Entry& entry : idle) entry.client->Close();
    if (!idle.empty()) Forget(it, idle.size());
    it = next;
  }
}

}  // namespace korvo
