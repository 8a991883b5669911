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

#include "korvo/internal/connection_pool.h"
#include "korvo/request_builder.h"
#include "support/hostile_server.h"

namespace korvo {
namespace {

using test::HostileConnection;
using test::HostileServer;

TEST(PoolKeyTest, ComparesAllThreeTextsExactly) {
  PoolKey plain{"http", "host", ""};
  EXPECT_EQ(plain, (PoolKey{"http", "host", ""}));
  EXPECT_NE(plain, (PoolKey{"http", "host", "80"}));
  EXPECT_NE(plain, (PoolKey{"http", "Host", ""}));
  EXPECT_NE(plain, (PoolKey{"HTTP", "host", ""}));

  // Scheme first, then host, then port.
  PoolKey first{"http", "b", "90"};
  PoolKey second{"https", "a", "80"};
  EXPECT_TRUE(first < second);
  EXPECT_FALSE(second < first);
  EXPECT_TRUE((PoolKey{"http", "a", "90"}) < (PoolKey{"http", "b", "80"}));
  EXPECT_TRUE((PoolKey{"http", "a", ""}) < (PoolKey{"http", "a", "80"}));
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
    Error error = client->Send(request, false);
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

TEST_F(ConnectionPoolTest, GetAddRemove) {
  ConnectionPool pool;
  PoolKey http{"http", "b", "90"};
  PoolKey https{"https", "a", "80"};
  EXPECT_EQ(pool.Get(http), nullptr);
  EXPECT_TRUE(pool.empty());

  auto one = NewClient();
  auto two = NewClient();
  pool.Add(http, one);
  pool.Add(https, two);
  pool.Add(PoolKey{"http", "b", ""}, nullptr);  // never stored
  EXPECT_EQ(pool.size(), 2u);
  EXPECT_EQ(pool.Get(http), one);
  EXPECT_EQ(pool.Get(https), two);
  EXPECT_EQ(pool.Get(PoolKey{"http", "b", ""}), nullptr);
  EXPECT_EQ(pool.Get(http), one);  // Get does not remove

  pool.Remove(http);
  EXPECT_EQ(pool.Get(http), nullptr);
  EXPECT_EQ(pool.Get(https), two);
  pool.Remove(http);  // nothing there any more
  EXPECT_EQ(pool.size(), 1u);
}

TEST_F(ConnectionPoolTest, AddReplacesAndReleases) {
  ConnectionPool pool;
  PoolKey key{"http", "h", ""};
  std::weak_ptr<ClientBase> old_client;
  {
    auto first = NewClient();
    old_client = first;
    pool.Add(key, std::move(first));
  }
  auto second = NewClient();
  pool.Add(key, second);
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool.Get(key), second);
  EXPECT_TRUE(old_client.expired());
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
  auto never_connected = NewClient();
  ConnectionPool pool;
  auto start = ConnectionPool::Clock::now();
  pool.Add(PoolKey{"http", "idle", ""}, idle, start);
  pool.Add(PoolKey{"http", "recent", ""}, recent, start + std::chrono::seconds(30));
  pool.Add(PoolKey{"http", "closed", ""}, never_connected, start + std::chrono::seconds(30));

  pool.Prune(start + ConnectionPool::kMaxIdleTime);
  EXPECT_EQ(pool.size(), 2u);  // the closed one goes at once, the idle one not yet
  pool.Prune(start + ConnectionPool::kMaxIdleTime + std::chrono::seconds(1));
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_EQ(pool.Get(PoolKey{"http", "recent", ""}), recent);
  // The test still holds the driver: its connection ends because the pool closed it.
  EXPECT_EQ(closed->get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

TEST_F(ConnectionPoolTest, BeyondTheBoundTheLeastRecentlyUsedGoes) {
  ConnectionPool pool;
  auto start = ConnectionPool::Clock::now();
  std::weak_ptr<ClientBase> oldest;
  for (std::size_t i = 0; i <= ConnectionPool::kMaxConnections; ++i) {
    auto client = NewClient();
    // Added in an order that differs from the keys' order.
    auto used = start + std::chrono::seconds(i == 1 ? 0 : 10 + i);
    if (i == 1) oldest = client;
    pool.Add(PoolKey{"http", "h" + std::to_string(i), ""}, client, used);
  }
  EXPECT_EQ(pool.size(), ConnectionPool::kMaxConnections);
  // Its close, queued on the loop, is the last to hold it.
  std::promise<void> drained;
  boost::asio::post(io_context_, [&drained] { drained.set_value(); });
  drained.get_future().wait();
  EXPECT_TRUE(oldest.expired());
  EXPECT_NE(pool.Get(PoolKey{"http", "h0", ""}), nullptr);
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
    pool.Add(PoolKey{"http", "a", "1"}, one);
    pool.Add(PoolKey{"http", "b", "2"}, two);
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

}  // namespace
}  // namespace korvo
