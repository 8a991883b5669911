// Tests of ClientSession::SendAsync: many exchanges at once, cancel tokens, the limits on
// open connections and the queue in front of them, Stop and destruction with exchanges
// in flight, blocking sends beside asynchronous ones, and what a blocking send does.
#include "korvo/client_session.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "korvo/error.h"
#include "korvo/request_builder.h"
#include "support/hostile_server.h"
#include "support/log_capture.h"
#include "support/scripted_server.h"

namespace korvo {
namespace {

using test::HostileConnection;
using test::HostileServer;
using test::HttpResponse;
using test::ScriptedConnection;
using test::ScriptedServer;
using Future = std::future<std::shared_ptr<Response>>;

// Reached only when the code under test is broken: a fault fails instead of hanging.
constexpr auto kFailAfter = std::chrono::seconds(60);

std::shared_ptr<Request> Get(const std::string& url) {
  return RequestBuilder().Method("GET").Url(url)();
}

// The body, or the error (code kNoError on success).
struct Outcome {
  std::string body;
  Error error;
};

Outcome Resolve(Future& future) {
  if (future.wait_for(kFailAfter) != std::future_status::ready) {
    return {"", Error(kLoopError, "The future never resolved")};
  }
  // Shared, so that this thread keeps the shared state, and the Error in it, until it
  // has copied the Error: were the loop's promise the last owner, the Error would be
  // destroyed there, ordered after the copy only by the exception's reference count,
  // which ThreadSanitizer cannot see inside the uninstrumented C++ runtime.
  std::shared_future<std::shared_ptr<Response>> shared = future.share();
  try {
    return {shared.get()->GetData(), Error()};
  } catch (const Error& error) {
    return {"", error};
  }
}

std::string Where(unsigned short port) { return "(127.0.0.1:" + std::to_string(port) + ")"; }

// Reads a request, sends part of the response, then waits for the client to give up.
void StallMidResponse(ScriptedConnection& connection) {
  if (connection.ReadRequest()) connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
  connection.WaitForClose();
}

// Holds every response until `batch` requests are held at once, then lets all through:
// the client must have had that many exchanges on the wire together, and peak() says
// whether it ever had more.
class Gate {
 public:
  explicit Gate(std::size_t batch) : batch_(batch) {}

  ScriptedServer::Behaviour Behaviour() {
    return [this](ScriptedConnection& connection) {
      while (connection.ReadRequest()) {
        std::unique_lock<std::mutex> lock(mutex_);
        peak_ = std::max(peak_, ++busy_);
        open_ = open_ || busy_ >= batch_;
        changed_.notify_all();
        changed_.wait_for(lock, kFailAfter, [this] { return open_; });
        lock.unlock();
        bool sent = connection.Send(HttpResponse(200, "ok"));
        lock.lock();
        --busy_;
        if (!sent) return;
      }
    };
  }
  std::size_t peak() {
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_;
  }

 private:
  const std::size_t batch_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t busy_ = 0;
  std::size_t peak_ = 0;
  bool open_ = false;
};

// Every future resolves, with its own body or cancelled, and nothing stays open. Cancels
// land before the send, while the exchange waits, while its request is on the wire
// (from the server, before it answers) and after it has finished.
TEST(ClientSessionAsyncTest, ThousandRequestsWithRandomCancels) {
  constexpr int kRequests = 1000;
  enum Kind { kPlain, kBefore, kWaiting, kOnTheWire, kAfter };
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::vector<Kind> kinds;
  for (int i = 0; i < kRequests; ++i) kinds.push_back(static_cast<Kind>(random() % 5));
  std::vector<CancelToken> tokens(kRequests);
  const std::size_t fds = test::CountOpenFds();
  {
    ScriptedServer::Options quiet;
    quiet.record_requests = false;
    // Answers "/<i>" with "/<i>".
    ScriptedServer server(quiet, [&](ScriptedConnection& connection) {
      std::string request;
      while (connection.ReadRequest(&request)) {
        std::string path = request.substr(4, request.find(' ', 4) - 4);
        int i = std::stoi(path.substr(1));
        if (kinds[i] == kOnTheWire) tokens[i].Cancel();
        if (!connection.Send(HttpResponse(200, path))) return;
      }
    });
    ClientSession session;
    // Paced by the server's progress, so that the cancels fall all over the queue.
    std::thread canceller([&] {
      for (int i = 0; i < kRequests; ++i) {
        if (kinds[i] != kWaiting) continue;
        server.WaitForRequests(i / 4);
        tokens[i].Cancel();
      }
    });
    std::vector<Future> futures;
    for (int i = 0; i < kRequests; ++i) {
      if (kinds[i] == kBefore) tokens[i].Cancel();
      SendOptions options;
      options.cancel = tokens[i];
      futures.push_back(session.SendAsync(Get(server.Url("/" + std::to_string(i))), options));
    }
    for (int i = 0; i < kRequests; ++i) {
      SCOPED_TRACE("request " + std::to_string(i) + " of kind " + std::to_string(kinds[i]));
      // Not an ASSERT: the canceller must be joined whatever happens.
      EXPECT_EQ(futures[i].wait_for(kFailAfter), std::future_status::ready);
      if (kinds[i] == kAfter) tokens[i].Cancel();
      Outcome outcome = Resolve(futures[i]);
      if (outcome.error.code() == kNoError) {
        EXPECT_NE(kinds[i], kBefore);
        EXPECT_EQ(outcome.body, "/" + std::to_string(i));
      } else {
        EXPECT_TRUE(outcome.error.cancelled()) << outcome.error;
        EXPECT_NE(kinds[i], kPlain);
        EXPECT_NE(kinds[i], kAfter);
      }
      if (kinds[i] == kBefore) {
        EXPECT_EQ(outcome.error.code(), kConnectError);
        EXPECT_EQ(outcome.error.detail(), "Cancelled " + Where(server.port()));
      }
    }
    canceller.join();
  }
  EXPECT_EQ(test::CountOpenFds(), fds);
}

// Never more connections than the limits, however many requests wait: per host (the
// default and set values), and in all across two hosts, where the second host's
// requests wait for the first's connections to make room. Waiting requests reuse them.
TEST(ClientSessionAsyncTest, ConnectionLimits) {
  struct Case {
    int per_host;       // -1: the default
    std::size_t total;  // 0: the default
    int hosts;
    std::size_t limit;
  } cases[] = {{-1, 0, 1, 6}, {2, 0, 1, 2}, {10, 0, 1, 10}, {0, 0, 1, 1}, {-1, 4, 2, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.per_host) + " per host, " + std::to_string(c.total) + " in all");
    Gate gate(c.limit);
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    for (int i = 0; i < c.hosts; ++i) {
      servers.push_back(std::make_unique<ScriptedServer>(gate.Behaviour()));
    }
    ClientSession session;
    if (c.per_host >= 0) session.SetMaxConnectionsPerHost(static_cast<std::size_t>(c.per_host));
    if (c.total > 0) session.SetMaxConnections(c.total);
    std::vector<Future> futures;
    for (auto& server : servers) {
      for (std::size_t i = 0; i < 3 * c.limit; ++i) {
        futures.push_back(session.SendAsync(Get(server->Url())));
      }
    }
    for (Future& future : futures) EXPECT_EQ(Resolve(future).body, "ok");
    EXPECT_EQ(gate.peak(), c.limit);
    EXPECT_EQ(servers[0]->Accepted(), c.limit);
    for (auto& server : servers) EXPECT_LE(server->Accepted(), c.limit);
  }
}

// A request waiting for a connection keeps to its time limit (its own or the session's)
// and to its token, while the one holding the connection goes on.
TEST(ClientSessionAsyncTest, WaitingRequestsKeepTheirDeadlineAndToken) {
  for (bool own_limit : {true, false}) {
    SCOPED_TRACE(own_limit ? "SendOptions::timeout" : "SetTimeout");
    HostileServer server;
    std::promise<void> release;
    server.Script([released = release.get_future().share()](HostileConnection& connection,
                                                             const std::string& request) {
      released.wait();
      return HostileServer::Fine(connection, request);
    });
    ClientSession session;
    session.SetMaxConnectionsPerHost(1);
    Future holder = session.SendAsync(Get(server.Url()));
    SendOptions limited;
    limited.timeout = std::chrono::milliseconds(own_limit ? 200 : 0);
    session.SetTimeout(std::chrono::milliseconds(own_limit ? 0 : 200));
    Future timed = session.SendAsync(Get(server.Url()), limited);
    session.SetTimeout(std::chrono::milliseconds(0));
    SendOptions cancellable;
    Future cancelled = session.SendAsync(Get(server.Url()), cancellable);
    cancellable.cancel.Cancel();

    Error error = Resolve(timed).error;
    EXPECT_EQ(error.code(), kConnectError);
    EXPECT_TRUE(error.timeout());
    EXPECT_EQ(error.detail(),
              "Timed out: the exchange's time limit was reached " + Where(server.GetPort()));
    error = Resolve(cancelled).error;
    EXPECT_EQ(error.code(), kConnectError);
    EXPECT_TRUE(error.cancelled());
    EXPECT_EQ(error.detail(), "Cancelled " + Where(server.GetPort()));
    EXPECT_EQ(server.Requests(), 1u);

    release.set_value();
    EXPECT_EQ(Resolve(holder).body, "fine");
    Future next = session.SendAsync(Get(server.Url()));
    EXPECT_EQ(Resolve(next).body, "fine");
    EXPECT_EQ(server.Accepted(), 1u);
  }
}

// Stop and destruction end what connects to a host that never accepts, what stalls
// mid-response and what waits behind them, without waiting for any server: with limits
// of an hour, nothing else could end them.
TEST(ClientSessionAsyncTest, StopAndDestructionEndEverythingInFlight) {
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destruction" : "Stop");
    const std::size_t fds = test::CountOpenFds();
    std::vector<Future> futures;
    {
      test::FullBacklogListener silent;
      ScriptedServer stalling(StallMidResponse);
      HostileServer fine;
      auto session = std::make_unique<ClientSession>();
      session->SetConnectTimeout(3600).SetReadTimeout(3600).SetMaxConnectionsPerHost(2);
      for (int i = 0; i < 3; ++i) {
        futures.push_back(session->SendAsync(Get(silent.Url())));
        futures.push_back(session->SendAsync(Get(stalling.Url())));
      }
      ASSERT_TRUE(stalling.WaitForRequests(2));
      if (destroy) {
        session.reset();
      } else {
        session->Stop();
      }
      for (Future& future : futures) {
        ASSERT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::ready);
        Error error = Resolve(future).error;
        EXPECT_TRUE(error.cancelled()) << error;
      }
      if (!destroy) {
        Future refused = session->SendAsync(Get(fine.Url()));
        Error error = Resolve(refused).error;
        EXPECT_EQ(error.code(), kLoopError);
        EXPECT_EQ(error.message(), "Loop is not running");
        session->Start();
        Future again = session->SendAsync(Get(fine.Url()));
        EXPECT_EQ(Resolve(again).body, "fine");
      }
    }
    EXPECT_EQ(test::CountOpenFds(), fds);
  }
}

// Blocking and asynchronous sends from several threads share the session; Cancel ends
// the blocking send and leaves the asynchronous ones alone.
TEST(ClientSessionAsyncTest, BlockingAndAsyncSideBySide) {
  HostileServer fine;
  ClientSession session;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        if (t % 2 == 0) {
          ok += session.Send(Get(fine.Url()))->GetData() == "fine";
        } else {
          Future future = session.SendAsync(Get(fine.Url()));
          ok += Resolve(future).body == "fine";
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ok, 80);

  std::promise<void> release;
  ScriptedServer held([released = release.get_future().share()](ScriptedConnection& connection) {
    if (connection.ReadRequest()) released.wait();
    connection.Send(HttpResponse(200, "held"));
  });
  std::vector<Future> futures;
  for (int i = 0; i < 3; ++i) futures.push_back(session.SendAsync(Get(held.Url())));
  ASSERT_TRUE(held.WaitForRequests(3));

  ScriptedServer stalling(StallMidResponse);
  std::promise<void> reading;
  std::once_flag once;
  auto blocking = std::async(std::launch::async, [&] {
    try {
      session.Send(Get(stalling.Url()), false, [&](std::size_t, std::size_t) {
        std::call_once(once, [&] { reading.set_value(); });
      });
    } catch (const Error& error) {
      return error;
    }
    return Error();
  });
  ASSERT_EQ(reading.get_future().wait_for(kFailAfter), std::future_status::ready);
  EXPECT_TRUE(session.Cancel());
  EXPECT_TRUE(blocking.get().cancelled());

  // A token ends a blocking send as well, and only it.
  SendOptions options;
  std::promise<void> token_reading;
  options.progress = [&, once = std::make_shared<std::once_flag>()](std::uint64_t, std::uint64_t) {
    std::call_once(*once, [&] { token_reading.set_value(); });
    return true;
  };
  auto by_token = std::async(std::launch::async, [&] {
    try {
      session.Send(Get(stalling.Url()), options);
    } catch (const Error& error) {
      return error;
    }
    return Error();
  });
  ASSERT_EQ(token_reading.get_future().wait_for(kFailAfter), std::future_status::ready);
  options.cancel.Cancel();
  Error error = by_token.get();
  EXPECT_TRUE(error.cancelled()) << error;
  EXPECT_EQ(error.code(), kReadError);

  release.set_value();
  for (Future& future : futures) EXPECT_EQ(Resolve(future).body, "held");
}

// What a blocking send does, SendAsync does too: each row says what the caller and the
// server saw.
TEST(ClientSessionAsyncTest, EverythingOfABlockingSend) {
  std::string sunk;
  struct Case {
    const char* name;
    std::function<void(HostileServer&, ClientSession&, SendOptions&)> setup;
    const char* seen;
  } cases[] = {
      {"stream", [](HostileServer&, ClientSession&, SendOptions& o) { o.stream = true; },
       "body= file=fine sink= hops=0 path=/ accepted=1 requests=1 retries=0"},
      {"sink",
       [&sunk](HostileServer&, ClientSession&, SendOptions& o) {
         o.sink = [&sunk](const char* data, std::size_t size) {
           sunk.append(data, size);
           return true;
         };
       },
       "body= file=- sink=fine hops=0 path=/ accepted=1 requests=1 retries=0"},
      {"redirect followed",
       [](HostileServer& server, ClientSession& session, SendOptions&) {
         session.SetFollowRedirects(2);
         server.Script([](HostileConnection& connection, const std::string&) {
           return connection.Send(HttpResponse(302, "", "Location: /final\r\n"));
         });
       },
       "body=fine file=- sink= hops=1 path=/final accepted=1 requests=2 retries=0"},
      {"retry on a stale kept connection",
       [](HostileServer& server, ClientSession& session, SendOptions&) {
         Future first = session.SendAsync(Get(server.Url()));
         EXPECT_EQ(Resolve(first).body, "fine");
         // The server drops the kept connection just as the next request arrives.
         server.Script([](HostileConnection& connection, const std::string&) {
           connection.Close();
           return false;
         });
       },
       "body=fine file=- sink= hops=0 path=/ accepted=2 requests=3 retries=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::LogCapture log;
    HostileServer server;
    ClientSession session;
    SendOptions options;
    sunk.clear();
    c.setup(server, session, options);
    Future future = session.SendAsync(Get(server.Url()), options);
    ASSERT_EQ(future.wait_for(kFailAfter), std::future_status::ready);
    std::shared_ptr<Response> response;
    ASSERT_NO_THROW(response = future.get());
    std::string file = "-";
    std::filesystem::path path;
    if (response->GetFileBody() != nullptr) {
      path = response->GetFileBody()->GetPath();
      std::ifstream in(path, std::ios::binary);
      file.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::size_t retries = 0;
    for (const std::string& record : log.Records()) {
      retries += record.find("sending the request again") != std::string::npos;
    }
    EXPECT_EQ("body=" + response->GetData() + " file=" + file + " sink=" + sunk +
                  " hops=" + std::to_string(response->GetRedirectCount()) +
                  " path=" + response->GetUrl().GetPath() +
                  " accepted=" + std::to_string(server.Accepted()) +
                  " requests=" + std::to_string(server.Requests()) +
                  " retries=" + std::to_string(retries),
              c.seen);
    response.reset();
    if (!path.empty()) {
      EXPECT_FALSE(std::filesystem::exists(path));  // the temporary file went with it
    }
  }
}


// on_done reports each exchange once, as it ends: a program sees results in the order
// they finish, and a request refused before it started hears of it before SendAsync
// returns.
TEST(ClientSessionAsyncTest, OnDoneReportsEachExchangeAsItEnds) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  HostileServer server;
  server.SetDefault([released](HostileConnection& connection, const std::string& request) {
    if (request.rfind("GET /slow ", 0) == 0) released.wait();
    return HostileServer::Fine(connection, request);
  });
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> order;
  auto record = [&](std::string name) {
    return [&, name](std::shared_ptr<Response> response, const Error& error) {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(name + "=" + (response ? response->GetData() : error.message()) + "/" +
                      std::to_string(error.code()));
      changed.notify_all();
    };
  };
  auto wait_for = [&](std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kFailAfter, [&] { return order.size() >= count; });
  };
  ClientSession session;
  SendOptions slow;
  slow.on_done = record("slow");
  Future first = session.SendAsync(Get(server.Url("/slow")), slow);
  SendOptions fast;
  fast.on_done = record("fast");
  Future second = session.SendAsync(Get(server.Url("/fast")), fast);
  bool fast_done = wait_for(1);
  release.set_value();
  EXPECT_TRUE(fast_done);
  EXPECT_TRUE(wait_for(2));
  EXPECT_EQ(Resolve(first).body, "fine");
  EXPECT_EQ(Resolve(second).body, "fine");

  session.Stop();
  SendOptions refused;
  refused.on_done = record("refused");
  Future third = session.SendAsync(Get(server.Url("/")), refused);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(order, (std::vector<std::string>{"fast=fine/0", "slow=fine/0",
                                             "refused=Loop is not running/1"}));
}

}  // namespace
}  // namespace korvo
