#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "korvo/internal/client_base.h"
#include "korvo/internal/connection_pool.h"
#include "korvo/request_builder.h"
#include "support/exchange_runner.h"
#include "support/hostile_server.h"

namespace korvo {
namespace {

using test::HostileConnection;
using test::HostileServer;

TEST(PoolKeyTest, ComparesAllFourTextsExactly) {
  PoolKey plain{"http", "host", "", ""};
  EXPECT_EQ(plain, (PoolKey{"http", "host", "", ""}));
  EXPECT_NE(plain, (PoolKey{"http", "host", "80", ""}));
  EXPECT_NE(plain, (PoolKey{"http", "Host", "", ""}));
  EXPECT_NE(plain, (PoolKey{"HTTP", "host", "", ""}));
  EXPECT_NE(plain, (PoolKey{"http", "host", "", "socks5://127.0.0.1:1080"}));

  // Scheme first, then host, then port.
  PoolKey first{"http", "b", "90", ""};
  PoolKey second{"https", "a", "80", ""};
  EXPECT_TRUE(first < second);
  EXPECT_FALSE(second < first);
  EXPECT_TRUE((PoolKey{"http", "a", "90", ""}) < (PoolKey{"http", "b", "80", ""}));
  EXPECT_TRUE((PoolKey{"http", "a", "", ""}) < (PoolKey{"http", "a", "80", ""}));
  EXPECT_FALSE(plain < plain);
}

// Real drivers on a loop of their own, connected to a loopback server.
class ConnectionPoolTest : public ::testing::Test {
 protected:
  ConnectionPoolTest() : work_guard_(boost::asio::make_work_guard(io_context_)) {
    loop_ = std::thread([this] { io_context_.run(); });
  }
  ~ConnectionPoolTest() override {
    work_guard_.reset();
    io_context_.stop();
    loop_.join();
  }

  std::shared_ptr<ClientBase> NewClient() { return std::make_shared<Client>(io_context_); }

  // A driver that has finished one exchange and kept its connection.
  std::shared_ptr<ClientBase> ConnectedClient() {
    auto client = NewClient();
    auto request = RequestBuilder().Method("GET").Url(server_.Url("/"))();
    request->Prepare();
    Error error = test::RunExchange(io_context_, client, request);
    EXPECT_EQ(error.code(), kNoError) << error;
    EXPECT_TRUE(client->IsConnected());
    return client;
  }

  HostileServer server_;
  boost::asio::io_context io_context_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
      work_guard_;
  std::thread loop_;
};

TEST_F(ConnectionPoolTest, OpenTakeAndReleaseUnderTheLimits) {
  ConnectionPool pool;
  pool.SetLimits(2, 3);
  const PoolKey a{"http", "a", "", ""};
  const PoolKey b{"http", "b", "", ""};
  auto now = ConnectionPool::Clock::now();

  EXPECT_EQ(pool.Take(a), nullptr);
  EXPECT_TRUE(pool.Open(a));
  EXPECT_TRUE(pool.Open(a));
  EXPECT_FALSE(pool.CanServe(a));
  EXPECT_FALSE(pool.Open(a)) << "per host";
  EXPECT_TRUE(pool.Open(b));
  EXPECT_FALSE(pool.CanServe(b));
  EXPECT_FALSE(pool.Open(b)) << "in all";
  EXPECT_EQ(pool.OpenCount(a), 2u);
  EXPECT_EQ(pool.OpenCount(), 3u);

  // Kept connections are reused most recently used first; a failed one frees its slot.
  auto older = ConnectedClient();
  auto newer = ConnectedClient();
  pool.Release(a, older, true, now);
  pool.Release(a, newer, true, now + std::chrono::seconds(1));
  EXPECT_EQ(pool.size(), 2u);
  EXPECT_TRUE(pool.CanServe(a));
  EXPECT_EQ(pool.Take(a), newer);
  EXPECT_EQ(pool.Take(a), older);
  EXPECT_EQ(pool.Take(a), nullptr);
  pool.Release(a, NewClient(), true, now);  // not connected: not kept
  pool.Release(b, nullptr, false, now);
  EXPECT_EQ(pool.size(), 0u);
  EXPECT_EQ(pool.OpenCount(a), 1u);
  EXPECT_EQ(pool.OpenCount(b), 0u);
  EXPECT_TRUE(pool.Open(b));
  pool.Release(PoolKey{"http", "never", "", ""}, nullptr, false, now);  // not counted: ignored
  EXPECT_EQ(pool.OpenCount(), 2u);  // one of a's taken, and b
}

TEST_F(ConnectionPoolTest, AtTheOverallLimitTheOldestIdleElsewhereMakesRoom) {
  ConnectionPool pool;
  pool.SetLimits(4, 3);
  auto start = ConnectionPool::Clock::now();
  std::vector<std::weak_ptr<ClientBase>> kept;
  for (int i = 0; i < 3; ++i) {
    PoolKey key{"http", "h" + std::to_string(i), "", ""};
    ASSERT_TRUE(pool.Open(key));
    auto client = ConnectedClient();
    kept.push_back(client);
    // h1 was used the longest ago.
    pool.Release(key, client, true, start + std::chrono::seconds(i == 1 ? 0 : 10 + i));
  }
  const PoolKey other{"http", "other", "", ""};
  EXPECT_TRUE(pool.CanServe(other));
  EXPECT_TRUE(pool.Open(other));
  EXPECT_EQ(pool.OpenCount(), 3u);
  EXPECT_EQ(pool.size(), 2u);
  // Its close, queued on the loop, is the last to hold it.
  std::promise<void> drained;
  boost::asio::post(io_context_, [&drained] { drained.set_value(); });
  drained.get_future().wait();
  EXPECT_TRUE(kept[1].expired());
  EXPECT_FALSE(kept[0].expired());
  EXPECT_NE(pool.Take(PoolKey{"http", "h2", "", ""}), nullptr);
}

TEST_F(ConnectionPoolTest, PruneLetsGoOfIdleAndClosedConnections) {
  auto closed = std::make_shared<std::promise<void>>();
  server_.Script([closed](HostileConnection& connection, const std::string& request) {
    HostileServer::Fine(connection, request);
    connection.WaitForClose();
    closed->set_value();
    return false;
  });
  auto idle = ConnectedClient();
  auto recent = ConnectedClient();
  auto dead = ConnectedClient();
  ConnectionPool pool;
  auto start = ConnectionPool::Clock::now();
  for (const char* host : {"idle", "recent", "closed"}) ASSERT_TRUE(pool.Open({"http", host, "", ""}));
  pool.Release(PoolKey{"http", "idle", "", ""}, idle, true, start);
  pool.Release(PoolKey{"http", "recent", "", ""}, recent, true, start + std::chrono::seconds(30));
  // Kept while connected, then closed.
  pool.Release(PoolKey{"http", "closed", "", ""}, dead, true, start + std::chrono::seconds(30));
  dead->Close();
  std::promise<void> drained;
  boost::asio::post(io_context_, [&drained] { drained.set_value(); });
  drained.get_future().wait();

  pool.Prune(start + ConnectionPool::kMaxIdleTime);
  EXPECT_EQ(pool.size(), 2u);  // the closed one goes at once, the idle one not yet
  pool.Prune(start + ConnectionPool::kMaxIdleTime + std::chrono::seconds(1));
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool.OpenCount(), 1u);
  EXPECT_EQ(pool.Take(PoolKey{"http", "recent", "", ""}), recent);
  // The test still holds the driver: its connection ends because the pool closed it.
  EXPECT_EQ(closed->get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

TEST_F(ConnectionPoolTest, DestructionClosesEveryConnection) {
  std::vector<std::shared_ptr<std::promise<void>>> closed;
  for (int i = 0; i < 2; ++i) {
    auto promise = std::make_shared<std::promise<void>>();
    closed.push_back(promise);
    server_.Script([promise](HostileConnection& connection, const std::string& request) {
      HostileServer::Fine(connection, request);
      connection.WaitForClose();
      promise->set_value();
      return false;
    });
  }
  auto one = ConnectedClient();
  auto two = ConnectedClient();
  {
    ConnectionPool pool;
    auto now = ConnectionPool::Clock::now();
    for (const char* host : {"a", "b"}) ASSERT_TRUE(pool.Open({"http", host, "", ""}));
    pool.Release(PoolKey{"http", "a", "", ""}, one, true, now);
    pool.Release(PoolKey{"http", "b", "", ""}, two, true, now);
  }
  // The test still holds both drivers: the connections end because the pool closed them.
  for (auto& promise : closed) {
    EXPECT_EQ(promise->get_future().wait_for(std::chrono::seconds(60)),
              std::future_status::ready);
  }
  EXPECT_FALSE(one->IsConnected());
  EXPECT_FALSE(two->IsConnected());
  EXPECT_EQ(server_.Accepted(), 2u);
}

// A connection that carries several exchanges, as the pool sees one.
class SharedConnection : public Connection {
 public:
  std::uint64_t StartHop(std::shared_ptr<Request>, HopOptions, HopDone) override { return 0; }
  void CancelHop(std::uint64_t) override {}
  void Close() override { closed = true; }
  void CloseIfDead() override {}
  std::size_t SpareCapacity() const override { return closed ? 0 : spare; }
  bool IsReusable() const override { return !closed && reusable; }
  bool IsGone() const override { return closed; }
  bool IsMultiplexed() const override { return true; }
  std::size_t ActiveHops() const override { return active; }

  std::size_t spare = 100;
  std::size_t active = 1;
  bool reusable = true;
  bool closed = false;
};

// Exchanges wait while a connection that may speak HTTP/2 is made, then share it while
// it has streams to spare; it goes once it takes no more and carries nothing.
TEST(ConnectionPoolSharedTest, ProbeThenShare) {
  ConnectionPool pool;
  PoolKey key{"https", "a", "", ""};
  auto now = ConnectionPool::Clock::now();
  ASSERT_TRUE(pool.Open(key, true));
  EXPECT_FALSE(pool.CanServe(key));  // waits for the probe

  auto shared = std::make_shared<SharedConnection>();
  pool.AddShared(key, shared, now);
  pool.Probed(key, false);
  EXPECT_EQ(pool.Take(key), shared);
  EXPECT_EQ(pool.Take(key), shared);  // still there for the next
  shared->spare = 0;
  EXPECT_EQ(pool.Take(key), nullptr);
  EXPECT_TRUE(pool.CanServe(key));  // another connection may open

  pool.Release(key, shared, true, now);
  EXPECT_FALSE(shared->closed);
  EXPECT_EQ(pool.size(), 0u);  // busy
  shared->active = 0;
  shared->spare = 100;
  pool.Release(key, shared, true, now);
  EXPECT_EQ(pool.size(), 1u);  // idle, kept
  shared->reusable = false;    // a GOAWAY came
  pool.Release(key, shared, true, now);
  EXPECT_TRUE(shared->closed);
  EXPECT_EQ(pool.OpenCount(key), 0u);

  // A probe that found HTTP/1.1 no longer holds the others back.
  ASSERT_TRUE(pool.Open(key, true));
  pool.Probed(key, true);
  EXPECT_TRUE(pool.CanServe(key));
}

}  // namespace
}  // namespace korvo
