// Raced connection attempts: the order of the addresses, which attempt wins against
// loopback listeners that never answer, refuse or accept, cancelling while attempts
// run, and a session whose host has two addresses of which the first never answers.
#include "korvo/internal/connector.h"

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "korvo/client_session.h"
#include "korvo/request_builder.h"
#include "support/fake_dns.h"
#include "support/hostile_server.h"
#include "support/scripted_server.h"

namespace korvo {
namespace {

using boost::asio::ip::tcp;
using test::FullBacklogListener;
using test::ScriptedServer;

// A delay no test outlives: an attempt that follows another under it was started
// because the previous one failed.
constexpr std::chrono::steady_clock::duration kNever = std::chrono::hours(1);

tcp::endpoint Endpoint(const std::string& address, unsigned short port) {
  return tcp::endpoint(boost::asio::ip::make_address(address), port);
}

TEST(InterleaveFamiliesTest, AlternatesStartingWithTheFamilyOfTheFirst) {
  const std::vector<std::vector<std::string>> cases[] = {
      {{}, {}},
      {{"a::1", "a::2", "1.0.0.1"}, {"a::1", "1.0.0.1", "a::2"}},
      {{"a::1", "a::2", "1.0.0.1", "1.0.0.2"}, {"a::1", "1.0.0.1", "a::2", "1.0.0.2"}},
      {{"1.0.0.1", "a::1", "a::2", "a::3"}, {"1.0.0.1", "a::1", "a::2", "a::3"}},
      {{"1.0.0.2", "a::2", "1.0.0.1", "1.0.0.3", "a::1"},
       {"1.0.0.2", "a::2", "1.0.0.1", "a::1", "1.0.0.3"}},
  };
  for (const auto& c : cases) {
    std::vector<tcp::endpoint> given;
    std::vector<tcp::endpoint> expected;
    for (const std::string& address : c[0]) given.push_back(Endpoint(address, 443));
    for (const std::string& address : c[1]) expected.push_back(Endpoint(address, 443));
    EXPECT_EQ(InterleaveFamilies(given), expected);
  }
}

struct Outcome {
  boost::system::error_code error;
  tcp::endpoint endpoint;
  std::vector<tcp::endpoint> attempts;  // in the order they started
  int calls = 0;
  bool open = false;  // the socket handed over
  std::size_t fds_before = 0;
};

class ConnectorTest : public ::testing::Test {
 protected:
  template <typename Function>
  auto OnLoop(Function function) {
    return loop_.Run(std::move(function));
  }

  // Races `endpoints`, cancelling once `cancel_at` attempts have started; checks that
  // the connector is gone and closes the winner.
  Outcome Race(std::vector<tcp::endpoint> endpoints, std::chrono::steady_clock::duration delay,
               std::size_t cancel_at = 0) {
    const std::size_t fds_before = test::CountOpenFds();
    auto outcome = std::make_shared<Outcome>();
    auto done = std::make_shared<std::promise<void>>();
    std::weak_ptr<Connector> connector;
    OnLoop([&] {
      Connector::Options options;
      options.attempt_delay = delay;
      options.on_attempt = [&, outcome](const tcp::endpoint& endpoint) {
        outcome->attempts.push_back(endpoint);
        if (outcome->attempts.size() != cancel_at) return;
        boost::asio::post(loop_.context(), [&connector] { connector.lock()->Cancel(); });
      };
      auto handler = [this, outcome, done](boost::system::error_code error, tcp::socket socket,
                                           tcp::endpoint endpoint) {
        *outcome = {error, endpoint, outcome->attempts, outcome->calls + 1, socket.is_open(), 0};
        winner_ = std::move(socket);
        if (outcome->calls == 1) done->set_value();
      };
      connector = Connector::Start(loop_.context().get_executor(), std::move(endpoints),
                                   handler, std::move(options));
      return 0;
    });
    // The bound only keeps a broken connector from hanging the test.
    if (done->get_future().wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      ADD_FAILURE() << "no outcome";
      OnLoop([&] { return connector.lock() ? (connector.lock()->Cancel(), 0) : 0; });
    }
    // The losers' completions reach the queue once the handler that closed them has
    // returned: one turn for that, and the next comes after them.
    OnLoop([] { return 0; });
    EXPECT_TRUE(OnLoop([&] { return connector.expired(); })) << "the connector lives on";
    OnLoop([this] {
      boost::system::error_code ignored;
      winner_.close(ignored);
      return 0;
    });
    outcome->fds_before = fds_before;
    return OnLoop([outcome] { return *outcome; });
  }

  test::LoopThread loop_;
  tcp::socket winner_{loop_.context()};  // also opens the loop's descriptors before a count
};

TEST_F(ConnectorTest, FirstToConnectWinsAndTheRestAreClosed) {
  enum Kind { kSilent, kRefusing, kAnswering };
  struct Case {
    const char* name;
    std::vector<std::pair<Kind, const char*>> peers;
    std::chrono::steady_clock::duration delay;
    boost::system::error_code error;
    std::vector<std::size_t> attempts;  // indices into peers; the winner is the last
  };
  const Case cases[] = {
      {"one address", {{kAnswering, "127.0.0.1"}}, kConnectionAttemptDelay, {}, {0}},
      {"the first never answers", {{kSilent, "127.0.0.1"}, {kAnswering, "127.0.0.2"}},
       kConnectionAttemptDelay, {}, {0, 1}},
      // Interleaved: the IPv4 address goes second although it is listed last.
      {"IPv6 never answers", {{kSilent, "::1"}, {kSilent, "::1"}, {kAnswering, "127.0.0.1"}},
       kConnectionAttemptDelay, {}, {0, 2}},
      {"a refusal starts the next at once", {{kRefusing, "127.0.0.1"}, {kAnswering, "::1"}},
       kNever, {}, {0, 1}},
      {"all refuse", {{kRefusing, "::1"}, {kRefusing, "::1"}, {kRefusing, "127.0.0.1"}}, kNever,
       boost::asio::error::connection_refused, {0, 2, 1}},
      {"no address", {}, kNever, boost::asio::error::not_found, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<FullBacklogListener>> silent;
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    std::vector<tcp::endpoint> endpoints;
    for (auto [kind, address] : c.peers) {
      ScriptedServer::Options options;
      options.address = address;
      if (kind == kSilent) silent.push_back(std::make_unique<FullBacklogListener>(address));
      if (kind != kSilent) servers.push_back(std::make_unique<ScriptedServer>(options));
      endpoints.push_back(Endpoint(address, kind == kSilent ? silent.back()->port()
                                                            : servers.back()->port()));
      if (kind == kRefusing) servers.pop_back();  // a port just free and closed again
    }
    Outcome outcome = Race(endpoints, c.delay);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.error, c.error) << outcome.error.message();
    std::vector<tcp::endpoint> tried;
    for (std::size_t index : c.attempts) tried.push_back(endpoints[index]);
    EXPECT_EQ(outcome.attempts, tried);
    EXPECT_EQ(outcome.open, !c.error);
    EXPECT_EQ(outcome.endpoint, c.error ? tcp::endpoint() : tried.back());
    // The kernel completes a connection before the server accepts it: wait for the
    // accept, or the server may take the descriptor after the count below.
    if (!c.error) {
      ASSERT_TRUE(servers.back()->WaitForAccepted(1));
    }
    for (auto& server : servers) ASSERT_TRUE(server->WaitForNoConnections());
    EXPECT_EQ(test::CountOpenFds(), outcome.fds_before);
  }
}

TEST_F(ConnectorTest, CancelEndsEveryAttemptWithOneAbortedCompletion) {
  // Once with the first attempt waiting out the delay, once with both attempts running.
  for (auto [cancel_at, delay] : {std::pair{std::size_t{1}, kNever},
                                  std::pair{std::size_t{2}, kNever * 0}}) {
    SCOPED_TRACE(cancel_at);
    FullBacklogListener first("127.0.0.1");
    FullBacklogListener second("127.0.0.2");
    Outcome outcome = Race({Endpoint("127.0.0.1", first.port()),
                            Endpoint("127.0.0.2", second.port())}, delay, cancel_at);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.error, boost::asio::error::operation_aborted);
    EXPECT_EQ(outcome.attempts.size(), cancel_at);
    EXPECT_FALSE(outcome.open);
    EXPECT_EQ(test::CountOpenFds(), outcome.fds_before);
  }
}

// Through the whole client: the first of a name's two addresses drops every connection
// request, the second is a server on the same port.
TEST(ConnectorSessionTest, HostWhoseFirstAddressNeverAnswersIsReachedByItsSecond) {
  for (auto [silent_address, server_address] : {std::pair{"::1", "127.0.0.1"},
                                                std::pair{"127.0.0.1", "127.0.0.2"}}) {
    SCOPED_TRACE(silent_address);
    // The port is chosen free on the first address; it may be taken on the second.
    std::unique_ptr<FullBacklogListener> silent;
    std::unique_ptr<ScriptedServer> server;
    for (int tries = 0; tries < 10 && !server; ++tries) {
      silent = std::make_unique<FullBacklogListener>(silent_address);
      ScriptedServer::Options options;
      options.address = server_address;
      options.port = silent->port();
      try {
        server = std::make_unique<ScriptedServer>(options);
      } catch (const std::runtime_error&) {
      }
    }
    ASSERT_TRUE(server) << "no port free on both addresses";
    test::FakeDns::Map("two.test", std::vector<std::string>{silent_address, server_address});
    ClientSession session;
    // A limit that trying the addresses one after another would use up on the first.
    session.SetConnectTimeout(10);
    std::string url = "http://two.test:" + std::to_string(server->port()) + "/";
    EXPECT_EQ(session.Send(RequestBuilder().Method("GET").Url(url)())->GetStatus(), 200);
    EXPECT_EQ(server->Accepted(), 1u);
  }
  test::FakeDns::Reset();
}

}  // namespace
}  // namespace korvo
