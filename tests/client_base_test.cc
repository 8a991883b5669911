// The request driver against scripted loopback servers: reuse, framing, every failure
// with its code, message, timeout flag and record, TLS verification, cancellation from
// another thread, and progress reports. Exchanges begin on the test loop and report to
// the test's thread.
#include "korvo/internal/client_base.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korvo/body.h"
#include "korvo/internal/connection_pool.h"
#include "korvo/internal/tls_context.h"
#include "korvo/internal/parser.h"
#include "korvo/request.h"
#include "korvo/response.h"
#include "korvo/url.h"
#include "support/log_capture.h"
#include "support/exchange_runner.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "support/test_tls.h"

namespace korvo {
namespace {

using test::FullBacklogListener;
using test::HttpResponse;
using test::ScriptedConnection;
using test::ScriptedServer;
using test::TestPki;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The time limit of a case that waits for it to fire, its peer stalled on purpose: short.
// A limit the server must answer within stays long (the suite also runs under ASan and
// TSan on a loaded machine).
constexpr auto kStallLimit = std::chrono::milliseconds(300);

// What the driver asked of its socket so far.
class SocketEvents {
 public:
  void Add(int SocketEvents::*counter) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++(this->*counter);
    changed_.notify_all();
  }
  bool WaitFor(int SocketEvents::*counter, int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30),
                             [&] { return this->*counter >= count; });
  }
  int Get(int SocketEvents::*counter) {
    std::lock_guard<std::mutex> lock(mutex_);
    return this->*counter;
  }

  int connects = 0;
  int writes = 0;
  int reads = 0;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
};

// Forwards to the driver's real socket and reports every operation it starts.
class SpySocket : public SocketBase {
 public:
  SpySocket(std::unique_ptr<SocketBase> inner, SocketEvents* events)
      : inner_(std::move(inner)), events_(events) {}

  void AsyncConnect(const std::string& host, const Endpoints& endpoints,
                    ConnectHandler handler) override {
    inner_->AsyncConnect(host, endpoints, std::move(handler));
    events_->Add(&SocketEvents::connects);
  }
  void AsyncWrite(const detail::Payload& payload, WriteHandler handler) override {
    inner_->AsyncWrite(payload, std::move(handler));
    events_->Add(&SocketEvents::writes);
  }
  void AsyncWriteSome(const detail::Payload& payload, WriteHandler handler) override {
    inner_->AsyncWriteSome(payload, std::move(handler));
    events_->Add(&SocketEvents::writes);
  }
  void AsyncReadSome(ReadHandler handler, std::vector<char>* buffer) override {
    inner_->AsyncReadSome(std::move(handler), buffer);
    events_->Add(&SocketEvents::reads);
  }
  bool Shutdown() override { return inner_->Shutdown(); }
  bool Close() override { return inner_->Close(); }
  bool IsAlive() const override { return inner_->IsAlive(); }
  bool HasBufferedInput() const override { return inner_->HasBufferedInput(); }
  std::string DescribeError(const boost::system::error_code& error) const override {
    return inner_->DescribeError(error);
  }

 private:
  std::unique_ptr<SocketBase> inner_;
  SocketEvents* events_;
};

// A slow link: every write takes at most kStep bytes and completes kDelay after the
// connection took them.
class ThrottledSocket : public SocketBase {
 public:
  static constexpr std::size_t kStep = 16 * 1024;
  static constexpr auto kDelay = std::chrono::milliseconds(100);

  ThrottledSocket(boost::asio::io_context& io_context, std::unique_ptr<SocketBase> inner)
      : io_context_(io_context), inner_(std::move(inner)) {}

  void AsyncConnect(const std::string& host, const Endpoints& endpoints,
                    ConnectHandler handler) override {
    inner_->AsyncConnect(host, endpoints, std::move(handler));
  }
  void AsyncWrite(const detail::Payload& payload, WriteHandler handler) override {
    // All of it, step by step.
    auto rest = std::make_shared<detail::Payload>(payload);
    auto total = std::make_shared<std::size_t>(0);
    auto next = std::make_shared<WriteHandler>();
    *next = [this, rest, total, next, handler](boost::system::error_code error, std::size_t n) {
      *total += n;
      for (std::size_t left = n; left > 0 && !rest->empty();) {
        std::size_t take = std::min(left, rest->front().size());
        rest->front() += take;
        left -= take;
        if (rest->front().size() == 0) rest->erase(rest->begin());
      }
      if (error || rest->empty()) {
        WriteHandler done = handler;
        *next = nullptr;  // breaks the cycle
        done(error, *total);
        return;
      }
      AsyncWriteSome(*rest, *next);
    };
    AsyncWriteSome(*rest, *next);
  }
  void AsyncWriteSome(const detail::Payload& payload, WriteHandler handler) override {
    detail::Payload step;
    std::size_t size = 0;
    for (const auto& buffer : payload) {
      if (size == kStep) break;
      std::size_t take = std::min(buffer.size(), kStep - size);
      step.emplace_back(buffer.data(), take);
      size += take;
    }
    auto timer = std::make_shared<boost::asio::steady_timer>(io_context_);
    inner_->AsyncWriteSome(step, [timer, handler](boost::system::error_code error,
                                                  std::size_t n) {
      timer->expires_after(kDelay);
      timer->async_wait([timer, handler, error, n](boost::system::error_code) {
        handler(error, n);
      });
    });
  }
  void AsyncReadSome(ReadHandler handler, std::vector<char>* buffer) override {
    inner_->AsyncReadSome(std::move(handler), buffer);
  }
  bool Shutdown() override { return inner_->Shutdown(); }
  bool Close() override { return inner_->Close(); }
  bool IsAlive() const override { return inner_->IsAlive(); }

 private:
  boost::asio::io_context& io_context_;
  std::unique_ptr<SocketBase> inner_;
};

// A driver whose sockets report to `events` and whose resolution can be held up.
template <typename Base>
class SpyClient : public Base {
 public:
  using Base::Base;

  SocketEvents events;
  // Runs on the loop thread as a new connection starts, in the same turn as (just
  // before) its resolution.
  std::function<void()> before_resolve;
  // Makes every new connection a slow link.
  bool throttle = false;

 protected:
  void CreateSocket() override {
    Base::CreateSocket();
    if (throttle) {
      this->socket_ =
          std::make_unique<ThrottledSocket>(this->io_context_, std::move(this->socket_));
    }
    this->socket_ = std::make_unique<SpySocket>(std::move(this->socket_), &events);
    if (before_resolve) before_resolve();
  }
};

std::shared_ptr<Request> MakeRequest(const std::string& url, const std::string& method = "GET",
                                     std::shared_ptr<Body> body = nullptr) {
  auto request = std::make_shared<Request>();
  request->SetMethod(method).SetUrl(Url(url));
  if (body) request->SetBody(std::move(body), true);
  request->Prepare();
  return request;
}

class ClientBaseTest : public ::testing::Test {
 protected:
  template <typename Client = korvo::Client>
  std::shared_ptr<SpyClient<Client>> MakeClient() {
    return std::make_shared<SpyClient<Client>>(loop_.context());
  }
  std::shared_ptr<SpyClient<SslClient>> MakeSslClient() {
    return std::make_shared<SpyClient<SslClient>>(loop_.context(), tls_context_);
  }
  // Runs one exchange of `client` on the loop and returns its outcome.
  Error Send(const std::shared_ptr<ClientBase>& client, std::shared_ptr<Request> request,
             bool stream, HopOptions options = {}) {
    options.stream = stream;
    return test::RunExchange(loop_.context(), client, std::move(request), std::move(options));
  }
  std::unique_ptr<ScriptedServer> StartTlsServer(const test::TestCertificate& certificate,
                                                 ScriptedServer::Behaviour behaviour = {},
                                                 std::string address = "127.0.0.1") {
    ScriptedServer::Options options;
    options.certificate = &certificate;
    options.address = std::move(address);
    return std::make_unique<ScriptedServer>(options, std::move(behaviour));
  }
  std::size_t CountStartingWith(const std::string& level, const std::string& prefix) const {
    std::size_t count = 0;
    for (const std::string& record : log_.Records()) {
      test::LogRecord parsed;
      if (test::ParseLogRecord(record, parsed) && parsed.level == level &&
          parsed.message.rfind(prefix, 0) == 0) {
        ++count;
      }
    }
    return count;
  }
  void ExpectError(const Error& error, ErrorCode code, const std::string& message,
                   bool timeout) {
    EXPECT_EQ(error.code(), code) << error;
    EXPECT_EQ(error.message(), message);
    EXPECT_EQ(error.timeout(), timeout);
  }

  test::LogCapture log_;
  std::shared_ptr<TlsContext> tls_context_ = test::MakeTestTlsContext();
  test::LoopThread loop_;
};

// A port on which nothing listens any more.
unsigned short ClosedPort() {
  ScriptedServer gone;
  return gone.port();
}

// ---- Exchanges that succeed ----

TEST_F(ClientBaseTest, KeptAliveConnectionCarriesTheNextExchange) {
  ScriptedServer server(ScriptedServer::Respond(HttpResponse(200, "hello")));
  auto client = MakeClient();
  for (int i = 0; i < 2; ++i) {
    Error error = Send(client, MakeRequest(server.Url("/a")), false);
    ASSERT_EQ(error.code(), kNoError) << error;
    EXPECT_TRUE(client->IsConnected());
    EXPECT_TRUE(client->IsConnectionAlive());
    std::shared_ptr<Response> response = client->TakeResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->GetStatus(), 200);
    EXPECT_EQ(response->GetData(), "hello");
    EXPECT_EQ(client->TakeResponse(), nullptr);
  }
  EXPECT_EQ(server.Accepted(), 1u);
  EXPECT_EQ(client->events.Get(&SocketEvents::connects), 1);
  EXPECT_THAT(server.Requests(),
              ElementsAre(StartsWith("GET /a HTTP/1.1\r\n"), StartsWith("GET /a HTTP/1.1\r\n")));
  EXPECT_TRUE(log_.Records().empty());
}

TEST_F(ClientBaseTest, ResponsesThatEndTheConnection) {
  struct Case {
    const char* name;
    std::string response;
    std::string body;
  };
  const Case cases[] = {
      {"Connection: close", HttpResponse(200, "bye", "Connection: close\r\n"), "bye"},
      {"HTTP/1.0 without keep-alive", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", "ok"},
      {"surplus bytes", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokSURPLUS", "ok"},
      {"chunked with Content-Length",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n"
       "2\r\nok\r\n0\r\n\r\n",
       "ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(ScriptedServer::Respond(c.response));
    auto client = MakeClient();
    ASSERT_EQ(Send(client, MakeRequest(server.Url()), false).code(), kNoError);
    EXPECT_FALSE(client->IsConnected());
    EXPECT_EQ(client->TakeResponse()->GetData(), c.body);
    // The next exchange starts over with a new connection.
    ASSERT_EQ(Send(client, MakeRequest(server.Url()), false).code(), kNoError);
    EXPECT_EQ(server.Accepted(), 2u);
    EXPECT_EQ(client->events.Get(&SocketEvents::connects), 2);
  }
}

TEST_F(ClientBaseTest, Http10WithKeepAliveKeepsTheConnection) {
  ScriptedServer server(ScriptedServer::Respond(
      "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok"));
  auto client = MakeClient();
  ASSERT_EQ(Send(client, MakeRequest(server.Url()), false).code(), kNoError);
  EXPECT_TRUE(client->IsConnected());
}

TEST_F(ClientBaseTest, RequestAskingToCloseIsNotKeptAlive) {
  ScriptedServer server(ScriptedServer::Respond(HttpResponse(200, "ok")));
  auto client = MakeClient();
  auto request = std::make_shared<Request>();
  request->SetMethod("GET").SetUrl(Url(server.Url()));
  request->SetHeader("Connection", "Close");
  request->Prepare();
  ASSERT_EQ(Send(client, request, false).code(), kNoError);
  EXPECT_FALSE(client->IsConnected());
}

TEST_F(ClientBaseTest, HeadFinishesAfterTheHeadDespiteContentLength) {
  ScriptedServer server(
      ScriptedServer::Respond("HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n"));
  auto client = MakeClient();
  ASSERT_EQ(Send(client, MakeRequest(server.Url(), "HEAD"), false).code(), kNoError);
  std::shared_ptr<Response> response = client->TakeResponse();
  EXPECT_EQ(response->GetData(), "");
  EXPECT_EQ(response->GetContentLength(), 1234);
  EXPECT_TRUE(client->IsConnected());
}

TEST_F(ClientBaseTest, RequestWithoutBodyGoesStraightToReading) {
  ScriptedServer server;
  auto client = MakeClient();
  ASSERT_EQ(Send(client, MakeRequest(server.Url()), false).code(), kNoError);
  EXPECT_EQ(client->events.Get(&SocketEvents::writes), 1);  // the head alone
  EXPECT_EQ(client->events.Get(&SocketEvents::reads), 1);
}

TEST_F(ClientBaseTest, FileBodyIsSentInChunks) {
  std::filesystem::path path = log_.GetPath().parent_path() / "upload.bin";
  std::string content;
  for (int i = 0; i < 10000; ++i) content.push_back(static_cast<char>('a' + i % 23));
  std::ofstream(path, std::ios::binary) << content;

  std::string received;
  ScriptedServer server([&](ScriptedConnection& connection) {
    connection.ReadRequest(&received);
    connection.Send(HttpResponse(201, ""));
    connection.WaitForClose();
  });
  auto client = MakeClient();
  auto request = MakeRequest(server.Url("/up"), "POST", std::make_shared<FileBody>(path, 4096));
  ASSERT_EQ(Send(client, request, false).code(), kNoError);
  EXPECT_EQ(client->TakeResponse()->GetStatus(), 201);
  // The head, then 4096 + 4096 + 1808 bytes.
  EXPECT_EQ(client->events.Get(&SocketEvents::writes), 4);
  ASSERT_GE(received.size(), content.size());
  EXPECT_EQ(received.substr(received.size() - content.size()), content);
  EXPECT_THAT(received, HasSubstr("Content-Length: 10000\r\n"));
}

TEST_F(ClientBaseTest, StreamedBodyLandsInATemporaryFile) {
  ScriptedServer server(ScriptedServer::Respond(HttpResponse(200, "streamed")));
  auto client = MakeClient();
  ASSERT_EQ(Send(client, MakeRequest(server.Url()), true).code(), kNoError);
  std::shared_ptr<FileBody> body = client->TakeResponse()->GetFileBody();
  ASSERT_TRUE(body);
  std::ifstream file(body->GetPath(), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "streamed");
}

TEST_F(ClientBaseTest, ProgressIsReportedAfterEveryReadOnceTheHeadIsParsed) {
  std::string body(3000, 'p');
  ScriptedServer server(ScriptedServer::Respond(HttpResponse(200, body)));
  auto client = MakeClient();
  std::vector<std::pair<std::size_t, std::size_t>> calls;
  HopOptions options;
  options.progress = [&](std::uint64_t current, std::uint64_t total) {
    calls.emplace_back(current, total);
    return true;
  };
  ASSERT_EQ(Send(client, MakeRequest(server.Url()), false, options).code(), kNoError);
  ASSERT_GE(calls.size(), 3u);  // 3000 body bytes through a 1024-byte buffer
  EXPECT_EQ(static_cast<int>(calls.size()), client->events.Get(&SocketEvents::reads));
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].second, 3000u);
    if (i > 0) {
      EXPECT_GE(calls[i].first, calls[i - 1].first);
    }
  }
  EXPECT_EQ(calls.back().first, 3000u);
}

// Without a length, the total is unknown and the count is of body bytes, not of the
// chunk framing around them.
TEST_F(ClientBaseTest, ProgressWithoutLengthCountsBodyBytes) {
  std::string body(100000, 'c');
  std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (std::size_t at = 0; at < body.size(); at += 1000) chunked += "3e8\r\n" + body.substr(at, 1000) + "\r\n";
  chunked += "0\r\n\r\n";
  for (const std::string& response : {chunked, "HTTP/1.0 200 OK\r\n\r\n" + body}) {
    ScriptedServer server([&](ScriptedConnection& connection) {
      if (connection.ReadRequest()) connection.Send(response);
    });
    auto client = MakeClient();
    std::vector<std::pair<std::size_t, std::size_t>> calls;
    HopOptions options;
    options.progress = [&](std::uint64_t current, std::uint64_t total) {
      calls.emplace_back(current, total);
      return true;
    };
    ASSERT_EQ(Send(client, MakeRequest(server.Url()), false, options).code(), kNoError);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().first, body.size());
    EXPECT_EQ(calls.back().second, static_cast<std::size_t>(kInvalidLength));
  }
}

// A body with neither a length nor chunked coding runs until the server closes the
// connection, in memory and streamed, over TCP and over TLS (where a close without
// close_notify still ends it); the connection is not kept.
TEST_F(ClientBaseTest, BodyDelimitedByTheServerClosing) {
  const std::string body(5000, 'd');
  for (bool tls : {false, true}) {
    for (bool notify : {false, true}) {
      for (bool stream : {false, true}) {
        SCOPED_TRACE(std::string(tls ? "TLS" : "TCP") + (notify ? " close_notify" : "") +
                     (stream ? " streamed" : ""));
        auto behaviour = [&](ScriptedConnection& connection) {
          if (!connection.ReadRequest()) return;
          connection.Send("HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\n" + body);
          if (notify) {
            connection.Close();
          } else {
            connection.CloseWithoutNotify();
          }
        };
        std::unique_ptr<ScriptedServer> server =
            tls ? StartTlsServer(TestPki::Get().good(), behaviour)
                : std::make_unique<ScriptedServer>(behaviour);
        std::shared_ptr<ClientBase> client = tls ? std::shared_ptr<ClientBase>(MakeSslClient())
                                                 : std::shared_ptr<ClientBase>(MakeClient());
        Error error = Send(client, MakeRequest(server->Url()), stream);
        ASSERT_EQ(error.code(), kNoError) << error;
        EXPECT_FALSE(client->IsConnected());
        std::shared_ptr<Response> response = client->TakeResponse();
        if (stream) {
          ASSERT_NE(response->GetFileBody(), nullptr);
          EXPECT_EQ(response->GetFileBody()->GetSize(), static_cast<std::int64_t>(body.size()));
          std::ifstream file(response->GetFileBody()->GetPath(), std::ios::binary);
          EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), body);
        } else {
          EXPECT_EQ(response->GetData(), body);
        }
      }
    }
  }
}

// ---- Streamed bodies ----


// A streamed body is read straight into its file's buffer, far more than the 1 KiB read
// buffer a read, and arrives byte for byte; progress still follows every read, and the
// connection is kept.
TEST_F(ClientBaseTest, StreamedBodyIsReadInLargePiecesIntoItsFile) {
  test::PrivateTempDir temp;
  std::string body(2 << 20, '\0');
  std::mt19937 random(5);
  for (char& c : body) c = static_cast<char>(random());
  ScriptedServer server([&](ScriptedConnection& connection) {
    if (connection.ReadRequest()) connection.Send(HttpResponse(200, body));
    connection.WaitForClose();
  });
  auto client = MakeClient();
  std::vector<std::uint64_t> progress;
  HopOptions options;
  options.progress = [&](std::uint64_t current, std::uint64_t) {
    progress.push_back(current);
    return true;
  };
  Error error = Send(client, MakeRequest(server.Url()), true, options);
  ASSERT_EQ(error.code(), kNoError) << error;
  EXPECT_TRUE(client->IsConnected());
  const int reads = client->events.Get(&SocketEvents::reads);
  EXPECT_LT(static_cast<std::size_t>(reads), body.size() / 8192);
  EXPECT_EQ(progress.size(), static_cast<std::size_t>(reads));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), body.size());
  std::shared_ptr<FileBody> file = client->TakeResponse()->GetFileBody();
  ASSERT_NE(file, nullptr);
  std::ifstream in(file->GetPath(), std::ios::binary);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == body)
      << "file differs from the body";
}

// A streamed body cut short, with much of it in its file already, leaves no file by the
// time the caller hears of the failure.
TEST_F(ClientBaseTest, StreamedBodyCutShortLeavesNoFile) {
  test::PrivateTempDir temp;
  ScriptedServer server([](ScriptedConnection& connection) {
    if (!connection.ReadRequest()) return;
    connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" +
                    std::string(300000, 'f'));
    connection.Close();
  });
  auto client = MakeClient();
  Error error = Send(client, MakeRequest(server.Url()), true);
  ExpectError(error, kReadError, "Socket read error", false);
  EXPECT_TRUE(temp.Empty());
  EXPECT_EQ(client->TakeResponse()->GetFileBody(), nullptr);
}

// ---- Failures ----

TEST_F(ClientBaseTest, UnresolvableHost) {
  auto client = MakeClient();
  Error error = Send(client, MakeRequest("http://no-such-host.invalid/"), false);
  ExpectError(error, kResolveError, "Host resolve error", false);
  EXPECT_EQ(CountStartingWith("ERRO", "Host resolve error ("), 1u);
  EXPECT_EQ(log_.Records().size(), 1u);
  EXPECT_EQ(client->events.Get(&SocketEvents::connects), 0);
}

TEST_F(ClientBaseTest, RefusedConnection) {
  auto client = MakeClient();
  Error error =
      Send(client, MakeRequest("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/"), false);
  ExpectError(error, kConnectError, "Socket connect error", false);
  boost::system::error_code refused = boost::asio::error::connection_refused;
  EXPECT_EQ(log_.Count("ERRO", "Connect error (" + refused.message() + ")"), 1u);
  EXPECT_FALSE(client->IsConnected());
}

TEST_F(ClientBaseTest, ConnectTimeLimit) {
  FullBacklogListener listener;
  auto client = MakeClient();
  HopOptions options;
  options.connect_timeout = kStallLimit;
  Error error = Send(client, MakeRequest(listener.Url()), false, options);
  ExpectError(error, kConnectError, "Socket connect error", true);
  EXPECT_EQ(log_.Count("WARN", "Timeout"), 1u);
  EXPECT_EQ(log_.Count("WARN", "Connect operation aborted"), 1u);
}

TEST_F(ClientBaseTest, ReadTimeLimitBeforeTheHead) {
  ScriptedServer server([](ScriptedConnection& connection) {
    connection.ReadRequest();
    connection.WaitForClose();
  });
  auto client = MakeClient();
  HopOptions options;
  options.read_timeout = kStallLimit;
  Error error = Send(client, MakeRequest(server.Url()), false, options);
  ExpectError(error, kReadError, "Socket read error", true);
  EXPECT_EQ(log_.Count("WARN", "Timeout"), 1u);
  EXPECT_EQ(log_.Count("WARN", "Read operation aborted"), 1u);
  EXPECT_FALSE(client->IsConnected());
  EXPECT_TRUE(server.WaitForFinished(1));  // the connection really was closed
}

TEST_F(ClientBaseTest, ReadTimeLimitMidBody) {
  ScriptedServer server([](ScriptedConnection& connection) {
    connection.ReadRequest();
    connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
    connection.WaitForClose();
  });
  auto client = MakeClient();
  HopOptions options;
  // Not short: the head and the first bytes of the body must arrive before it fires.
  options.read_timeout = std::chrono::seconds(1);
  Error error = Send(client, MakeRequest(server.Url()), false, options);
  ExpectError(error, kReadError, "Socket read error", true);
  EXPECT_EQ(log_.Count("WARN", "Timeout"), 1u);
  EXPECT_FALSE(client->IsConnected());
  // The failed response stays as far as it was filled.
  EXPECT_EQ(client->TakeResponse()->GetHeader("Content-Length"), "100");
}

// The limit is on every single read: a response that keeps coming, each piece well
// within the limit, may take longer than the limit in all.
TEST_F(ClientBaseTest, ReadTimeLimitRestartsWithEveryRead) {
  ScriptedServer server([](ScriptedConnection& connection) {
    connection.ReadRequest();
    connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n");
    for (char c : std::string("abcd")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(800));
      if (!connection.Send(std::string(1, c))) return;
    }
    connection.WaitForClose();
  });
  auto client = MakeClient();
  HopOptions options;
  options.read_timeout = std::chrono::seconds(2);
  Error error = Send(client, MakeRequest(server.Url()), false, options);
  ASSERT_EQ(error.code(), kNoError) << error;
  EXPECT_FALSE(error.timeout());
  EXPECT_EQ(client->TakeResponse()->GetData(), "abcd");
  EXPECT_EQ(log_.Count("WARN", "Timeout"), 0u);
  EXPECT_TRUE(client->IsConnected());
}

TEST_F(ClientBaseTest, PeerClosingBeforeTheResponseIsComplete) {
  ScriptedServer server([](ScriptedConnection& connection) {
    connection.ReadRequest();
    connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
    connection.Close();
  });
  auto client = MakeClient();
  Error error = Send(client, MakeRequest(server.Url()), false);
  ExpectError(error, kReadError, "Socket read error", false);
  boost::system::error_code eof = boost::asio::error::eof;
  EXPECT_EQ(log_.Count("ERRO", "Socket read error (" + eof.message() + ")"), 1u);
  EXPECT_FALSE(client->IsConnected());
}

TEST_F(ClientBaseTest, UnparsableResponse) {
  ScriptedServer server(ScriptedServer::Respond("SPDY/9 200 OK\r\n\r\n"));
  auto client = MakeClient();
  Error error = Send(client, MakeRequest(server.Url()), false);
  ExpectError(error, kParseError, "Response parse error", false);
  EXPECT_EQ(log_.Count("ERRO", "Failed to parse the response"), 1u);
  EXPECT_FALSE(client->IsConnected());
  EXPECT_TRUE(server.WaitForFinished(1));
}

// A body far larger than what the socket buffers of both ends can hold.
std::shared_ptr<Body> HugeBody() {
  return std::make_shared<StringBody>(std::string(48 * 1024 * 1024, 'h'));
}

ScriptedServer::Options SmallReceiveBuffer() {
  ScriptedServer::Options options;
  options.receive_buffer = 4096;
  return options;
}

TEST_F(ClientBaseTest, WriteFailure) {
  ScriptedServer server(SmallReceiveBuffer(), [](ScriptedConnection& connection) {
    connection.ReadHead();
    connection.Reset();
  });
  auto client = MakeClient();
  Error error = Send(client, MakeRequest(server.Url(), "POST", HugeBody()), false);
  ExpectError(error, kWriteError, "Socket write error", false);
  EXPECT_EQ(CountStartingWith("ERRO", "Socket write error ("), 1u);
  EXPECT_FALSE(client->IsConnected());
}

TEST_F(ClientBaseTest, WriteTimeLimit) {
  ScriptedServer server(SmallReceiveBuffer(), [](ScriptedConnection& connection) {
    connection.ReadHead();
    connection.WaitForClose();  // reads nothing more: the client's writes stall
  });
  auto client = MakeClient();
  HopOptions options;
  options.read_timeout = kStallLimit;
  Error error = Send(client, MakeRequest(server.Url(), "POST", HugeBody()), false, options);
  ExpectError(error, kWriteError, "Socket write error", true);
  EXPECT_EQ(log_.Count("WARN", "Timeout"), 1u);
  EXPECT_EQ(log_.Count("WARN", "Write operation aborted"), 1u);
  EXPECT_FALSE(client->IsConnected());
}

// Over a link slower than a large write but never stalled for the limit, the upload
// goes through: the limit measures time without progress.
TEST_F(ClientBaseTest, WriteTimeLimitCountsOnlyTimeWithoutProgress) {
  ScriptedServer server([](ScriptedConnection& connection) {
    if (connection.ReadRequest()) connection.Send(HttpResponse(200, "ok"));
  });
  auto client = MakeClient();
  client->throttle = true;
  HopOptions options;
  options.read_timeout = std::chrono::seconds(1);
  // Sixteen steps, each well within the limit, the whole far beyond it.
  auto body = std::make_shared<StringBody>(std::string(16 * ThrottledSocket::kStep, 'u'));
  Error error = Send(client, MakeRequest(server.Url(), "POST", body), false, options);
  EXPECT_EQ(error.code(), kNoError) << error;
}

TEST_F(ClientBaseTest, BodyFileRemovedBeforeSending) {
  std::filesystem::path path = log_.GetPath().parent_path() / "vanishing.txt";
  std::ofstream(path) << "soon gone";
  auto body = std::make_shared<FileBody>(path, 1024);
  std::filesystem::remove(path);

  ScriptedServer server([](ScriptedConnection& connection) {
    connection.ReadHead();
    connection.WaitForClose();
  });
  auto client = MakeClient();
  Error error = Send(client, MakeRequest(server.Url(), "PUT", body), false);
  ExpectError(error, kFileError, "Cannot read the file", false);
  EXPECT_FALSE(client->IsConnected());
  // The server, which was promised a body, sees the connection end.
  EXPECT_TRUE(server.WaitForFinished(1));
  // The loop goes on: the same driver works again.
  ScriptedServer fine;
  EXPECT_EQ(Send(client, MakeRequest(fine.Url()), false).code(), kNoError);
}

TEST_F(ClientBaseTest, SendAfterAFailureStartsFromResolution) {
  ScriptedServer server;
  server.Script([](ScriptedConnection& connection) {
    connection.ReadRequest();
    connection.Reset();
  });
  auto client = MakeClient();
  int resolutions = 0;
  client->before_resolve = [&] { ++resolutions; };
  EXPECT_EQ(Send(client, MakeRequest(server.Url()), false).code(), kReadError);
  Error error = Send(client, MakeRequest(server.Url()), false);
  EXPECT_EQ(error.code(), kNoError) << error;
  EXPECT_FALSE(error.timeout());
  EXPECT_EQ(resolutions, 2);
  EXPECT_EQ(server.Accepted(), 2u);
}

TEST_F(ClientBaseTest, UnpreparedRequestIsRefused) {
  auto client = MakeClient();
  auto request = std::make_shared<Request>();
  request->SetMethod("GET").SetUrl(Url("http://127.0.0.1/"));
  ExpectError(Send(client, request, false), kRequestError, "Request is not prepared", false);
}

// ---- TLS ----

TEST_F(ClientBaseTest, TlsExchangeIndicatesTheHostAndIsReused) {
  auto server = StartTlsServer(TestPki::Get().good(),
                               ScriptedServer::Respond(HttpResponse(200, "secret")));
  auto client = MakeSslClient();
  for (int i = 0; i < 2; ++i) {
    Error error = Send(client, MakeRequest(server->Url("localhost", "/s")), false);
    ASSERT_EQ(error.code(), kNoError) << error;
    EXPECT_EQ(client->TakeResponse()->GetData(), "secret");
    EXPECT_TRUE(client->IsConnectionAlive());
  }
  EXPECT_EQ(server->Accepted(), 1u);
  EXPECT_EQ(server->ServerNames(), std::vector<std::string>{"localhost"});
  EXPECT_TRUE(log_.Records().empty());
}

TEST_F(ClientBaseTest, TlsAddressLiteralsAreVerifiedWithoutServerName) {
  auto server = StartTlsServer(TestPki::Get().good());
  auto client = MakeSslClient();
  ASSERT_EQ(Send(client, MakeRequest(server->Url()), false).code(), kNoError);
  EXPECT_EQ(server->ServerNames(), std::vector<std::string>{""});
}

TEST_F(ClientBaseTest, Ipv6LiteralKeepsBracketsOnlyInUrlAndHost) {
  std::unique_ptr<ScriptedServer> server;
  try {
    server = StartTlsServer(TestPki::Get().good(), {}, "::1");
  } catch (const std::exception&) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  auto client = MakeSslClient();
  std::string url = server->Url("/six");
  ASSERT_THAT(url, StartsWith("https://[::1]:"));
  Error error = Send(client, MakeRequest(url), false);
  ASSERT_EQ(error.code(), kNoError) << error;
  EXPECT_EQ(server->ServerNames(), std::vector<std::string>{""});
  EXPECT_THAT(server->Requests(),
              ElementsAre(HasSubstr("\r\nHost: [::1]:" + std::to_string(server->port()) + "\r\n")));
}

TEST_F(ClientBaseTest, TlsCertificatesThatMustFail) {
  struct Case {
    const char* name;
    const test::TestCertificate& certificate;
  };
  const TestPki& pki = TestPki::Get();
  for (const Case& c : {Case{"wrong host", pki.wrong_host()}, Case{"untrusted", pki.untrusted()},
                        Case{"expired", pki.expired()}}) {
    SCOPED_TRACE(c.name);
    test::LogCapture log;
    auto server = StartTlsServer(c.certificate);
    auto client = MakeSslClient();
    Error error = Send(client, MakeRequest(server->Url("localhost", "/")), false);
    ExpectError(error, kConnectError, "Socket connect error", false);
    std::size_t handshake = 0;
    std::size_t connect = 0;
    for (const std::string& record : log.Records()) {
      test::LogRecord parsed;
      ASSERT_TRUE(test::ParseLogRecord(record, parsed));
      if (parsed.level == "ERRO" && parsed.message.rfind("Handshake error (", 0) == 0) ++handshake;
      if (parsed.level == "ERRO" && parsed.message.rfind("Connect error (", 0) == 0) ++connect;
    }
    EXPECT_EQ(handshake, 1u);
    EXPECT_EQ(connect, 1u);
    EXPECT_FALSE(client->IsConnected());
    EXPECT_TRUE(server->WaitForFinished(1));
    EXPECT_EQ(server->FailedHandshakes(), 1u);
  }
}

TEST_F(ClientBaseTest, SystemRootsRefuseASelfSignedServer) {
  auto server = StartTlsServer(TestPki::Get().self_signed());
  auto client = std::make_shared<SslClient>(loop_.context(), TlsContext::Create(TlsSettings()));
  Error error = Send(client, MakeRequest(server->Url("localhost", "/")), false);
  ExpectError(error, kConnectError, "Socket connect error", false);
  EXPECT_EQ(CountStartingWith("ERRO", "Handshake error ("), 1u);
  EXPECT_TRUE(server->Requests().empty());
}

// ---- Cancel from another thread ----

TEST_F(ClientBaseTest, CancelWhileResolving) {
  ScriptedServer server;
  auto client = MakeClient();
  std::promise<void> resolving;
  std::promise<void> cancelled;
  auto cancelled_future = cancelled.get_future().share();
  client->before_resolve = [&] {
    resolving.set_value();
    cancelled_future.wait();  // the close is queued before the resolution starts
  };
  auto send = std::async(std::launch::async,
                         [&] { return Send(client, MakeRequest(server.Url()), false); });
  resolving.get_future().wait();
  client->Close();
  cancelled.set_value();
  Error error = send.get();
  ExpectError(error, kResolveError, "Host resolve error", false);
  EXPECT_EQ(log_.Count("WARN", "Resolve operation aborted"), 1u);
  EXPECT_EQ(client->events.Get(&SocketEvents::connects), 0);

  // The abandoned resolution does not connect behind the caller's back; the driver
  // still works.
  client->before_resolve = nullptr;
  ASSERT_EQ(Send(client, MakeRequest(server.Url()), false).code(), kNoError);
  EXPECT_EQ(client->events.Get(&SocketEvents::connects), 1);
  EXPECT_EQ(server.Accepted(), 1u);
}

// A cancel that loses the race with the end of its exchange finds the connection idle,
// or already carrying the next exchange: it must leave both alone.
TEST_F(ClientBaseTest, CancelAfterTheExchangeEndedChangesNothing) {
  ScriptedServer server(ScriptedServer::Respond(HttpResponse(200, "hello")));
  auto client = MakeClient();
  ASSERT_EQ(Send(client, MakeRequest(server.Url()), false).code(), kNoError);
  // Hold the loop so that the cancel and the next exchange queue up behind it.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  boost::asio::post(loop_.context(), [released] { released.wait(); });
  client->Cancel();
  std::future<Error> next = test::StartExchange(loop_.context(), client, MakeRequest(server.Url()));
  release.set_value();
  Error error = next.get();
  EXPECT_EQ(error.code(), kNoError) << error;
  EXPECT_TRUE(client->IsConnected());

  // Cancelled once the exchange is over: the pooled connection stays.
  client->Cancel();
  ASSERT_EQ(Send(client, MakeRequest(server.Url()), false).code(), kNoError);
  EXPECT_EQ(server.Accepted(), 1u);
}

TEST_F(ClientBaseTest, CancelWhileConnecting) {
  FullBacklogListener listener;
  auto client = MakeClient();
  auto send = std::async(std::launch::async,
                         [&] { return Send(client, MakeRequest(listener.Url()), false); });
  ASSERT_TRUE(client->events.WaitFor(&SocketEvents::connects, 1));
  client->Close();
  ExpectError(send.get(), kConnectError, "Socket connect error", false);
  EXPECT_EQ(log_.Count("WARN", "Connect operation aborted"), 1u);
}

TEST_F(ClientBaseTest, CancelWhileWriting) {
  ScriptedServer server(SmallReceiveBuffer(), [](ScriptedConnection& connection) {
    connection.ReadHead();
    connection.WaitForClose();
  });
  auto client = MakeClient();
  auto send = std::async(std::launch::async, [&] {
    return Send(client, MakeRequest(server.Url(), "POST", HugeBody()), false);
  });
  ASSERT_TRUE(server.WaitForRequests(1));  // the head is out; the body cannot follow
  client->Close();
  ExpectError(send.get(), kWriteError, "Socket write error", false);
  EXPECT_EQ(log_.Count("WARN", "Write operation aborted"), 1u);
  EXPECT_FALSE(client->IsConnected());
}

TEST_F(ClientBaseTest, CancelWhileReading) {
  ScriptedServer server([](ScriptedConnection& connection) {
    connection.ReadRequest();
    connection.WaitForClose();
  });
  auto client = MakeClient();
  auto send = std::async(std::launch::async,
                         [&] { return Send(client, MakeRequest(server.Url()), false); });
  ASSERT_TRUE(client->events.WaitFor(&SocketEvents::reads, 1));
  client->Close();
  ExpectError(send.get(), kReadError, "Socket read error", false);
  EXPECT_EQ(log_.Count("WARN", "Read operation aborted"), 1u);
  EXPECT_FALSE(client->IsConnected());
  EXPECT_TRUE(server.WaitForFinished(1));
}

TEST_F(ClientBaseTest, CancelDuringTlsHandshake) {
  // A plain server that takes the client's hello and never answers it.
  std::promise<void> hello;
  ScriptedServer server([&](ScriptedConnection& connection) {
    if (connection.ReadSome()) hello.set_value();
    connection.WaitForClose();
  });
  auto client = MakeSslClient();
  auto send = std::async(std::launch::async,
                         [&] { return Send(client, MakeRequest(server.Url()), false); });
  hello.get_future().wait();
  client->Close();
  ExpectError(send.get(), kConnectError, "Socket connect error", false);
  EXPECT_EQ(CountStartingWith("ERRO", "Handshake error ("), 1u);
  EXPECT_EQ(log_.Count("WARN", "Connect operation aborted"), 1u);
}

}  // namespace
}  // namespace korvo
