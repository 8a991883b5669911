#include "korvo/client_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korvo/internal/connection_pool.h"
#include "korvo/internal/tls_context.h"
#include "korvo/error.h"
#include "korvo/request_builder.h"
#include "korvo/internal/utility.h"
#include "support/fake_dns.h"
#include "support/hostile_server.h"
#include "support/log_capture.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "support/test_tls.h"

namespace korvo {
namespace {

using test::HostileConnection;
using test::HostileServer;

// A bound on waits for events that should come at once: reached only when the code under
// test is broken, so that a fault fails the test instead of hanging it.
constexpr auto kFailAfter = std::chrono::seconds(60);

std::shared_ptr<Request> Get(const std::string& url) {
  return RequestBuilder().Method("GET").Url(url)();
}

// The header lines of a request head, in order, without the request line.
std::vector<std::string> HeaderLines(const std::string& head) {
  std::vector<std::string> lines;
  std::size_t start = head.find("\r\n") + 2;
  for (std::size_t end; (end = head.find("\r\n", start)) != std::string::npos && end > start;
       start = end + 2) {
    lines.push_back(head.substr(start, end - start));
  }
  return lines;
}

// Records the heads the server reads and answers each with the default answer.
class Recorder {
 public:
  HostileServer::Behaviour Behaviour() {
    return [this](HostileConnection& connection, const std::string& request) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        heads_.push_back(request);
      }
      return HostileServer::Fine(connection, request);
    };
  }
  std::string Last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heads_.empty() ? std::string() : heads_.back();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> heads_;
};

// Answers nothing: tells the test that the request arrived, then waits for the client
// to give up the connection.
HostileServer::Behaviour Stall(std::shared_ptr<std::promise<void>> arrived) {
  return [arrived](HostileConnection& connection, const std::string&) {
    arrived->set_value();
    connection.WaitForClose();
    return false;
  };
}

// Sends the head and part of the body, then waits for the client to give up.
bool StallMidBody(HostileConnection& connection, const std::string&) {
  connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
  connection.WaitForClose();
  return false;
}

// The error a send throws; code kNoError when it succeeds.
Error SendError(ClientSession& session, std::shared_ptr<Request> request,
                ProgressCallback progress = {}) {
  try {
    session.Send(std::move(request), false, std::move(progress));
  } catch (const Error& error) {
    return error;
  }
  return Error();
}

Error SendError(ClientSession& session, std::shared_ptr<Request> request,
                const SendOptions& options) {
  try {
    session.Send(std::move(request), options);
  } catch (const Error& error) {
    return error;
  }
  return Error();
}


ErrorCode SendCode(ClientSession& session, std::shared_ptr<Request> request,
                   std::string* message = nullptr, ProgressCallback progress = {}) {
  Error error = SendError(session, std::move(request), std::move(progress));
  if (message != nullptr) *message = error.message();
  return error.code();
}

// Starts a send on another thread against a server that stalls mid-body, and returns
// once the client is provably reading (its progress callback has run); invalid if it
// never gets there.
std::future<Error> SendThatStallsWhileReading(ClientSession& session, HostileServer& server) {
  server.Script(StallMidBody);
  auto reading = std::make_shared<std::promise<void>>();
  auto once = std::make_shared<std::once_flag>();
  std::future<void> read = reading->get_future();
  auto outcome = std::async(std::launch::async, [&session, &server, reading, once] {
    auto progress = [reading, once](std::size_t, std::size_t) {
      std::call_once(*once, [&] { reading->set_value(); });
    };
    return SendError(session, Get(server.Url("/")), progress);
  });
  if (read.wait_for(kFailAfter) != std::future_status::ready) return {};
  return outcome;
}

TEST(ClientSessionTest, DefaultHeadersAndSettings) {
  ClientSession session(4096);
  EXPECT_TRUE(session.IsStarted());
  EXPECT_EQ(session.GetBufferSize(), 4096u);
  // The limits that apply read back, also when none was set.
  EXPECT_EQ(session.GetConnectTimeout(), 30);
  EXPECT_EQ(session.GetReadTimeoutMs(), std::chrono::seconds(30));
  EXPECT_EQ(session.GetTimeout(), std::chrono::milliseconds(0));
  EXPECT_EQ(session.GetMaxDecodedSize(), std::uint64_t{1} << 30);
  EXPECT_EQ(session.GetMaxConnectionsPerHost(), 6u);
  EXPECT_EQ(session.GetMaxConnections(), 64u);

  std::vector<Headers::Field> defaults(session.GetHeaders().begin(), session.GetHeaders().end());
  EXPECT_EQ(defaults, (std::vector<Headers::Field>{{"User-Agent", "Korvo/0.2.0"},
                                                  {"Accept", "*/*"},
                                                  {"Accept-Encoding", "identity"},
                                                  {"Connection", "Keep-Alive"}}));
  session.Accept("");
  EXPECT_EQ(session.GetHeaders().Get("Accept"), "*/*");
  session.Accept("application/json").AuthToken("t0k").SetConnectTimeout(3).SetReadTimeout(4);
  session.SetContentType("text/plain", "utf8");
  defaults.assign(session.GetHeaders().begin(), session.GetHeaders().end());
  EXPECT_EQ(defaults[1], Headers::Field("Accept", "application/json"));
  EXPECT_EQ(defaults.back(), Headers::Field("Authorization", "Token t0k"));
  EXPECT_EQ(session.GetConnectTimeout(), 3);
  EXPECT_EQ(session.GetReadTimeout(), 4);
  // Whole seconds round up: a limit under a second never reads as "the default".
  session.SetConnectTimeout(std::chrono::milliseconds(500)).SetReadTimeout(std::chrono::milliseconds(1001));
  EXPECT_EQ(session.GetConnectTimeout(), 1);
  EXPECT_EQ(session.GetConnectTimeoutMs(), std::chrono::milliseconds(500));
  EXPECT_EQ(session.GetReadTimeout(), 2);
  session.SetTimeout(std::chrono::milliseconds(1500)).SetMaxDecodedSize(77);
  session.SetMaxConnectionsPerHost(0).SetMaxConnections(9);
  EXPECT_EQ(session.GetTimeout(), std::chrono::milliseconds(1500));
  EXPECT_EQ(session.GetMaxDecodedSize(), 77u);
  EXPECT_EQ(session.GetMaxConnectionsPerHost(), 1u);
  EXPECT_EQ(session.GetMaxConnections(), 9u);
  EXPECT_EQ(session.GetMediaType(), "text/plain");
  EXPECT_EQ(session.GetCharset(), "utf8");
}

TEST(ClientSessionTest, MergesDefaultsAfterTheRequestsOwnHeaders) {
  HostileServer server;
  Recorder recorder;
  server.SetDefault(recorder.Behaviour());
  ClientSession session;
  session.AuthBasic("u", "p");
  auto request = RequestBuilder()
                     .Method("GET")
                     .Url(server.Url("/x?y=1"))
                     .Header("user-agent", "mine/1")
                     .Header("X-Own", "1")();
  ASSERT_EQ(session.Send(request)->GetData(), "fine");
  std::string head = recorder.Last();
  EXPECT_EQ(head.substr(0, head.find("\r\n")), "GET /x?y=1 HTTP/1.1");
  EXPECT_THAT(HeaderLines(head),
              ::testing::ElementsAre("user-agent: mine/1", "X-Own: 1", "Accept: */*",
                                     "Accept-Encoding: identity", "Connection: Keep-Alive",
                                     "Authorization: Basic dTpw",
                                     "Host: 127.0.0.1:" + std::to_string(server.GetPort())));
}

// Any default field can be set and removed; what could break a head, "Host" and a
// caller's framing are refused where they are set.
TEST(ClientSessionTest, DefaultFieldsAreTheCallersToSet) {
  HostileServer server;
  Recorder recorder;
  server.SetDefault(recorder.Behaviour());
  ClientSession session;
  session.SetHeader("X-Api-Key", "k1").SetHeader("accept", "text/csv").AuthBearer("t0k");
  EXPECT_TRUE(session.RemoveHeader("Accept-Encoding"));
  EXPECT_FALSE(session.RemoveHeader("X-Absent"));
  session.SetHeader("X-Gone", "1").SetHeader("X-Gone", "");
  session.Send(Get(server.Url("/")));
  EXPECT_THAT(HeaderLines(recorder.Last()),
              ::testing::ElementsAre("User-Agent: Korvo/0.2.0", "Accept: text/csv",
                                     "Connection: Keep-Alive", "X-Api-Key: k1",
                                     "Authorization: Bearer t0k",
                                     "Host: 127.0.0.1:" + std::to_string(server.GetPort())));
  const std::pair<std::string, std::string> refused[] = {
      {"X-Bad", "a\r\nX-Injected: 1"}, {"X Bad", "1"}, {"Host", "elsewhere"},
      {"Transfer-Encoding", "chunked"}, {"", "1"}};
  using Setter = std::function<void()>;
  std::vector<std::pair<std::string, Setter>> setters;
  for (const auto& [name, value] : refused) {
    setters.emplace_back(name, [&session, name = name, value = value] {
      session.SetHeader(name, value);
    });
  }
  // The named setters check what they are given as well.
  setters.emplace_back("Accept", [&session] { session.Accept("a/b\r\nX: 1"); });
  setters.emplace_back("AuthBearer", [&session] { session.AuthBearer("t\nX: 1"); });
  for (const auto& [name, set] : setters) {
    SCOPED_TRACE(name);
    try {
      set();
      ADD_FAILURE() << "accepted";
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), kRequestError);
      EXPECT_EQ(error.message(), "Invalid header field");
      EXPECT_FALSE(error.detail().empty());
    }
  }
  EXPECT_EQ(session.GetHeaders().size(), 5u);
}

TEST(ClientSessionTest, DefaultContentTypeOnlyForNonEmptyBodies) {
  HostileServer server;
  Recorder recorder;
  server.SetDefault(recorder.Behaviour());
  ClientSession session;
  session.SetContentType("application/x-www-form-urlencoded", "utf8");
  auto post = [&](RequestBuilder builder) {
    session.Send(builder.Method("POST").Url(server.Url("/"))());
    return HeaderLines(recorder.Last());
  };
  using ::testing::Contains;
  using ::testing::Not;
  using ::testing::StartsWith;

  EXPECT_THAT(post(RequestBuilder().Body("a=1")),
              Contains("Content-Type: application/x-www-form-urlencoded; charset=utf8"));
  EXPECT_THAT(post(RequestBuilder().Body("a=1").MediaType("text/csv")),
              Contains("Content-Type: text/csv"));
  EXPECT_THAT(post(RequestBuilder().Body("")), Not(Contains(StartsWith("Content-Type"))));
  EXPECT_THAT(post(RequestBuilder()), Not(Contains(StartsWith("Content-Type"))));
  session.SetContentType("application/json");
  EXPECT_THAT(post(RequestBuilder().Body("{}")), Contains("Content-Type: application/json"));
}

// The heads a server read, each answered by `next` (Fine by default).
class HeadLog {
 public:
  HostileServer::Behaviour Then(HostileServer::Behaviour next = HostileServer::Fine) {
    return [this, next](HostileConnection& connection, const std::string& request) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        heads_.push_back(request);
      }
      return next(connection, request);
    };
  }
  std::vector<std::string> Heads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heads_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> heads_;
};

// The value of the one field `name` in a request head, or nullopt; "<repeated>" when
// the head holds it more than once.
std::optional<std::string> FieldOf(const std::string& head, const std::string& name) {
  std::optional<std::string> value;
  for (const std::string& line : HeaderLines(head)) {
    if (line.size() <= name.size() + 1 || line[name.size()] != ':' ||
        !AsciiIEquals(line.substr(0, name.size()), name)) {
      continue;
    }
    if (value) return "<repeated>";
    value = line.substr(name.size() + 2);
  }
  return value;
}

// A request object sent again after its method or URL changed goes where it says now,
// with its own request line and "Host": never with another server's target.
TEST(ClientSessionTest, ResentRequestGoesWhereItSaysNow) {
  HostileServer a;
  HostileServer b;
  HeadLog log_a;
  HeadLog log_b;
  a.SetDefault(log_a.Then());
  b.SetDefault(log_b.Then());
  ClientSession session;
  auto request = Get(a.Url("/secret?token=1"));
  session.Send(request);
  struct Step {
    const char* method;
    HostileServer* server;
    HeadLog* log;
    const char* target;
    bool async;
  } steps[] = {
      {"GET", &b, &log_b, "/other", false},   {"DELETE", &b, &log_b, "/other", false},
      {"PUT", &a, &log_a, "/x?q=2", true},     {"GET", &b, &log_b, "/", true},
      {"GET", &b, &log_b, "/", false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.method) + " " + step.server->Url(step.target));
    request->SetMethod(step.method).SetUrl(Url(step.server->Url(step.target)));
    if (step.async) {
      session.SendAsync(request).get();
    } else {
      session.Send(request);
    }
    std::string head = step.log->Heads().back();
    EXPECT_THAT(head, ::testing::StartsWith(std::string(step.method) + " " + step.target +
                                            " HTTP/1.1\r\n"));
    EXPECT_EQ(FieldOf(head, "Host"), "127.0.0.1:" + std::to_string(step.server->GetPort()));
  }
  EXPECT_EQ(log_a.Heads().size(), 2u);
  EXPECT_EQ(log_b.Heads().size(), 4u);
}

// A session's defaults belong to that session: a request sent through one and then
// through another carries the second one's (never the first one's credentials), while
// whatever the caller set stays as it is.
TEST(ClientSessionTest, DefaultsFollowTheSessionThatSends) {
  HostileServer server;
  HeadLog log;
  server.SetDefault(log.Then());
  ClientSession a;
  a.AuthToken("A-secret").Accept("application/json").SetContentType("text/plain");
  ClientSession b;
  ClientSession c;
  c.AuthBasic("u", "p").SetDecompress(true);
  auto request =
      RequestBuilder().Method("POST").Url(server.Url("/")).Header("X-Own", "1").Body("x")();
  using Field = std::optional<std::string>;
  struct Step {
    ClientSession* session;
    Field authorization, accept, content_type, accept_encoding;
  } steps[] = {
      {&a, "Token A-secret", "application/json", "text/plain", "identity"},
      {&b, std::nullopt, "*/*", std::nullopt, "identity"},
      {&a, "Token A-secret", "application/json", "text/plain", "identity"},
      {&c, "Basic dTpw", "*/*", std::nullopt, "gzip, deflate, br, zstd"},
      {&b, std::nullopt, "*/*", std::nullopt, "identity"},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    const Step& step = steps[i];
    step.session->Send(request);
    const std::string head = log.Heads().back();
    EXPECT_EQ(FieldOf(head, "Authorization"), step.authorization);
    EXPECT_EQ(FieldOf(head, "Accept"), step.accept);
    EXPECT_EQ(FieldOf(head, "Content-Type"), step.content_type);
    EXPECT_EQ(FieldOf(head, "Accept-Encoding"), step.accept_encoding);
    EXPECT_EQ(FieldOf(head, "X-Own"), "1");
    // Completed in place: the request says what went out.
    EXPECT_EQ(request->HasHeader("Authorization"), step.authorization.has_value());
  }

  // What the caller sets, also over a value a session gave, is the caller's.
  request->SetHeader("Authorization", "Bearer mine");
  request->SetHeader("Accept", "text/csv");
  for (ClientSession* session : {&a, &b, &c}) {
    session->Send(request);
    const std::string head = log.Heads().back();
    EXPECT_EQ(FieldOf(head, "Authorization"), "Bearer mine");
    EXPECT_EQ(FieldOf(head, "Accept"), "text/csv");
  }
}

TEST(ClientSessionTest, RefusesBadRequestsBeforeConnecting) {
  HostileServer server;
  ClientSession session;
  std::string message;
  std::string port = std::to_string(server.GetPort());
  EXPECT_EQ(SendCode(session, Get("ftp://127.0.0.1:" + port + "/file"), &message), kRequestError);
  EXPECT_EQ(message, "Invalid URL scheme");
  EXPECT_EQ(SendCode(session, Get("http:///path"), &message), kRequestError);
  EXPECT_EQ(message, "Host is missing");
  EXPECT_EQ(SendCode(session, nullptr, &message), kRequestError);
  EXPECT_EQ(server.Accepted(), 0u);
  EXPECT_EQ(session.GetPoolSize(), 0u);
  EXPECT_FALSE(session.HasSslContext());

  // The scheme is matched without regard to case.
  EXPECT_EQ(session.Send(Get("HTTP://127.0.0.1:" + port + "/"))->GetStatus(), 200);
  EXPECT_FALSE(session.HasSslContext());
}

TEST(ClientSessionTest, ReusesConnectionPerSchemeHostAndPort) {
  HostileServer server;
  ClientSession session;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(session.Send(Get(server.Url("/a")))->GetData(), "fine");
  EXPECT_EQ(server.Accepted(), 1u);
  EXPECT_EQ(server.Requests(), 3u);
  EXPECT_EQ(session.GetPoolSize(), 1u);

  // Another spelling of the same server is another key, with a connection of its own.
  std::string other = "http://localhost:" + std::to_string(server.GetPort()) + "/";
  session.Send(Get(other));
  session.Send(Get(other));
  EXPECT_EQ(server.Accepted(), 2u);
  EXPECT_EQ(session.GetPoolSize(), 2u);

  // "Connection: close" in the response ends the pooled connection.
  auto closing = RequestBuilder().Method("GET").Url(server.Url("/")).KeepAlive(false)();
  EXPECT_EQ(session.Send(closing)->GetHeader("Connection"), "close");
  EXPECT_EQ(session.GetPoolSize(), 1u);
  session.Send(Get(server.Url("/")));
  EXPECT_EQ(server.Accepted(), 3u);
  EXPECT_EQ(session.GetPoolSize(), 2u);
}

// Counts the connections accepted on a loopback address and port (0: a free one) and
// answers every request on them with a keep-alive "200 OK", or, with `hang_up`, closes
// each connection as soon as it is accepted.
class FixedPortServer {
 public:
  FixedPortServer(const char* address, unsigned short port, bool hang_up = false)
      : hang_up_(hang_up) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || ::listen(fd_, 16) != 0) {
      error_ = errno;
      return;
    }
    socklen_t length = sizeof(sa);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &length);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~FixedPortServer() {
    ::shutdown(fd_, SHUT_RDWR);  // wakes accept
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    for (auto& thread : connection_threads_) thread.join();
    for (int fd : connections_) ::close(fd);
  }
  int error() const { return error_; }
  unsigned short port() const { return port_; }
  std::size_t accepted() const { return accepted_; }

 private:
  void Run() {
    for (;;) {
      int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      ++accepted_;
      if (hang_up_) {
        ::close(fd);
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      connections_.push_back(fd);
      connection_threads_.emplace_back([fd] {
        std::string buffer;
        char chunk[4096];
        for (;;) {
          ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
          if (n <= 0) return;
          buffer.append(chunk, static_cast<std::size_t>(n));
          for (std::size_t end; (end = buffer.find("\r\n\r\n")) != std::string::npos;) {
            buffer.erase(0, end + 4);
            const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
            if (::send(fd, kAnswer, sizeof(kAnswer) - 1, MSG_NOSIGNAL) < 0) return;
          }
        }
      });
    }
  }

  bool hang_up_ = false;
  int fd_ = -1;
  int error_ = 0;
  unsigned short port_ = 0;
  std::atomic<std::size_t> accepted_{0};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<int> connections_;
  std::vector<std::thread> connection_threads_;
};

TEST(ClientSessionTest, TlsContextMadeOnFirstHttpsRequest) {
  FixedPortServer server("127.0.0.1", 0, true);  // every handshake fails
  ASSERT_EQ(server.error(), 0);
  ClientSession session;
  std::string url = "HTTPS://127.0.0.1:" + std::to_string(server.port()) + "/";
  EXPECT_EQ(SendCode(session, Get(url)), kConnectError);
  EXPECT_TRUE(session.HasSslContext());
  EXPECT_EQ(SendCode(session, Get(url)), kConnectError);
  EXPECT_EQ(session.GetPoolSize(), 0u);
  EXPECT_EQ(server.accepted(), 2u);
}

TEST(ClientSessionTest, HttpsToCertificatesTheSystemDoesNotTrust) {
  // The test CA is in no system store, so its certificates fail like any stranger's.
  const test::TestPki& pki = test::TestPki::Get();
  for (const test::TestCertificate* certificate : {&pki.good(), &pki.self_signed()}) {
    test::ScriptedServer::Options options;
    options.certificate = certificate;
    test::ScriptedServer server(options);
    ClientSession session;
    std::string message;
    EXPECT_EQ(SendCode(session, Get(server.Url("localhost", "/")), &message), kConnectError);
    EXPECT_EQ(message, "Socket connect error");
    EXPECT_EQ(session.GetPoolSize(), 0u);
    EXPECT_TRUE(server.WaitForFinished(1));
    EXPECT_TRUE(server.Requests().empty());
  }
}

// The number of certificates in a context's store.
int StoredCertificates(SSL_CTX* ssl_ctx) {
  return sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(ssl_ctx)));
}

class RootCertificatesTest : public ::testing::Test {
 protected:
  RootCertificatesTest() : ssl_ctx_(SSL_CTX_new(TLS_client_method())) {}
  ~RootCertificatesTest() override { SSL_CTX_free(ssl_ctx_); }

  SSL_CTX* ssl_ctx_;
  test::ScratchDir dir_{"korvo_roots_"};
};

TEST_F(RootCertificatesTest, SystemBundleIsLoaded) {
  test::LogCapture log;
  EXPECT_TRUE(AddSystemRootCertificates(ssl_ctx_));
  EXPECT_GT(StoredCertificates(ssl_ctx_), 10);
  EXPECT_EQ(log.Count("ERRO", "Cannot add system root certificate."), 0u);
}

TEST_F(RootCertificatesTest, FirstBundleThatOpensIsRead) {
  const test::TestPki& pki = test::TestPki::Get();
  // A damaged block and a key between two certificates: both certificates still count.
  std::string broken = "-----BEGIN CERTIFICATE-----\nnot base64 at all!\n-----END CERTIFICATE-----\n";
  std::string bundle = pki.ca_pem() + broken + pki.good().key_pem + pki.self_signed().cert_pem;
  std::filesystem::path path = dir_.Write("bundle.pem", bundle);
  test::LogCapture log;
  EXPECT_TRUE(AddRootCertificatesFromBundles(ssl_ctx_, {dir_.path() / "missing.pem", path}));
  EXPECT_EQ(StoredCertificates(ssl_ctx_), 2);
  EXPECT_TRUE(log.Records().empty());
}

TEST_F(RootCertificatesTest, NoBundleIsReported) {
  test::LogCapture log;
  EXPECT_FALSE(AddRootCertificatesFromBundles(ssl_ctx_, {dir_.path() / "a.pem", dir_.path() / "b.pem"}));
  EXPECT_EQ(log.Count("ERRO", "Cannot open system certificate store."), 1u);
  EXPECT_EQ(StoredCertificates(ssl_ctx_), 0);
}

TEST(ClientSessionTest, AbsentPortAndPort80AreDifferentKeys) {
  // A loopback address of its own, so that nothing else on port 80 gets in the way.
  FixedPortServer server("127.77.0.80", 80);
  if (server.error() != 0) {
    GTEST_SKIP() << "cannot listen on 127.77.0.80:80: " << std::strerror(server.error());
  }
  ClientSession session;
  EXPECT_EQ(session.Send(Get("http://127.77.0.80/"))->GetData(), "ok");
  EXPECT_EQ(session.Send(Get("http://127.77.0.80:80/"))->GetData(), "ok");
  EXPECT_EQ(session.Send(Get("http://127.77.0.80/"))->GetData(), "ok");
  EXPECT_EQ(server.accepted(), 2u);
  EXPECT_EQ(session.GetPoolSize(), 2u);
}

TEST(ClientSessionTest, IdleConnectionClosedByServerIsReplaced) {
  HostileServer server;
  auto closed = std::make_shared<std::promise<void>>();
  // Answers as if keeping the connection, then closes it while it sits in the pool.
  server.Script([closed](HostileConnection& connection, const std::string& request) {
    HostileServer::Fine(connection, request);
    connection.Close();
    closed->set_value();
    return false;
  });
  ClientSession session;
  EXPECT_EQ(session.Send(Get(server.Url("/")))->GetData(), "fine");
  EXPECT_EQ(session.GetPoolSize(), 1u);
  ASSERT_EQ(closed->get_future().wait_for(kFailAfter), std::future_status::ready);

  EXPECT_EQ(session.Send(Get(server.Url("/")))->GetData(), "fine");
  EXPECT_EQ(server.Accepted(), 2u);
  EXPECT_EQ(server.Requests(), 2u);  // nothing was sent twice
  EXPECT_EQ(session.GetPoolSize(), 1u);
}

// The server drops the kept connection just as the next request arrives on it (the race
// of an idle timeout with a reuse): sent again on a new connection when nothing of the
// response came and the method is idempotent; reported otherwise.
TEST(ClientSessionTest, RequestOnAConnectionTheServerDroppedIsSentAgainWhenSafe) {
  auto close = [](HostileConnection& connection, const std::string&) {
    connection.Close();
    return false;
  };
  auto reset = [](HostileConnection& connection, const std::string&) {
    connection.Reset();
    return false;
  };
  auto partial_head = [](HostileConnection& connection, const std::string&) {
    connection.Send("HTTP/1.1 200 OK\r\n");
    connection.Close();
    return false;
  };
  struct Case {
    const char* method;
    HostileServer::Behaviour drop;
    bool fresh_connection;  // the first request of the session meets the failure
    ErrorCode expected;
  } cases[] = {
      {"GET", close, false, kNoError},        {"HEAD", reset, false, kNoError},
      {"PUT", close, false, kNoError},        {"DELETE", reset, false, kNoError},
      {"POST", close, false, kReadError},     {"GET", partial_head, false, kReadError},
      {"GET", close, true, kReadError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + (c.fresh_connection ? " on a new connection" : ""));
    HostileServer server;
    if (!c.fresh_connection) server.Script(HostileServer::Fine);
    server.Script(c.drop);
    test::LogCapture log;
    ClientSession session;
    if (!c.fresh_connection) session.Send(Get(server.Url("/")));
    // A body must go out whole again: the server answers only once it has all of it.
    auto request = RequestBuilder().Method(c.method).Url(server.Url("/")).Body("twelve bytes")();
    EXPECT_EQ(SendCode(session, request), c.expected);
    std::size_t retries = 0;
    for (const std::string& record : log.Records()) {
      retries += record.find("sending the request again") != std::string::npos;
    }
    EXPECT_EQ(retries, c.expected == kNoError ? 1u : 0u);
    // Whatever happened, the session goes on with a working connection.
    EXPECT_EQ(session.Send(Get(server.Url("/")))->GetData(), "fine");
  }
}

// Settings changed between sends reach a driver that was pooled under the old ones.
TEST(ClientSessionTest, PooledConnectionTakesTheCurrentSettings) {
  HostileServer server;
  server.Script(HostileServer::Fine);
  // Slower than the first limit, well within the default that replaces it.
  server.Script([](HostileConnection& connection, const std::string& request) {
    std::this_thread::sleep_for(std::chrono::milliseconds(750));
    return HostileServer::Fine(connection, request);
  });
  ClientSession session;
  session.SetReadTimeout(std::chrono::milliseconds(250));
  session.Send(Get(server.Url("/")));
  session.SetReadTimeout(0);
  EXPECT_EQ(SendCode(session, Get(server.Url("/"))), kNoError);
  EXPECT_EQ(server.Accepted(), 1u);
}

// Connections that their servers closed while pooled are closed and dropped by the next
// send, whatever host it goes to.
TEST(ClientSessionTest, SendDropsPooledConnectionsClosedByTheirServers) {
  HostileServer first;
  HostileServer second;
  auto closed = std::make_shared<std::promise<void>>();
  first.Script([closed](HostileConnection& connection, const std::string& request) {
    HostileServer::Fine(connection, request);
    connection.Close();
    closed->set_value();
    return false;
  });
  ClientSession session;
  session.Send(Get(first.Url("/")));
  ASSERT_EQ(closed->get_future().wait_for(kFailAfter), std::future_status::ready);
  session.Send(Get(second.Url("/")));
  EXPECT_EQ(session.GetPoolSize(), 1u);
}

TEST(ClientSessionTest, StopAndStart) {
  HostileServer server;
  ClientSession session;
  session.Send(Get(server.Url("/")));
  session.Stop();
  session.Stop();
  EXPECT_FALSE(session.IsStarted());
  std::string message;
  EXPECT_EQ(SendCode(session, Get(server.Url("/")), &message), kLoopError);
  EXPECT_EQ(message, "Loop is not running");
  EXPECT_EQ(server.Requests(), 1u);

  session.Start();
  session.Start();
  EXPECT_TRUE(session.IsStarted());
  EXPECT_EQ(session.Send(Get(server.Url("/")))->GetData(), "fine");
  EXPECT_EQ(server.Accepted(), 1u);  // the pooled connection survived the stop
}

TEST(ClientSessionTest, CancelFromAnotherThread) {
  HostileServer server;
  ClientSession session;
  EXPECT_FALSE(session.Cancel());

  auto outcome = SendThatStallsWhileReading(session, server);
  ASSERT_TRUE(outcome.valid());
  EXPECT_TRUE(session.Cancel());
  ASSERT_EQ(outcome.wait_for(kFailAfter), std::future_status::ready);
  Error error = outcome.get();
  EXPECT_EQ(error.code(), kReadError);
  // A cancel is told apart from a network fault.
  EXPECT_TRUE(error.cancelled());
  EXPECT_EQ(error.detail(), "Cancelled (127.0.0.1:" + std::to_string(server.GetPort()) + ")");
  EXPECT_FALSE(session.Cancel());
  EXPECT_EQ(session.GetPoolSize(), 0u);

  // The session goes on working.
  EXPECT_EQ(session.Send(Get(server.Url("/")))->GetData(), "fine");
}

// A Cancel that finds an exchange must end that exchange, however early it comes: one
// that landed before the driver had begun would let the exchange run to its time limit.
TEST(ClientSessionTest, CancelAtTheStartOfAnExchangeIsNotLost) {
  HostileServer server;
  server.SetDefault([](HostileConnection& connection, const std::string&) {
    connection.WaitForClose();
    return false;
  });
  ClientSession session;
  session.SetReadTimeout(static_cast<int>(kFailAfter.count()));
  for (int round = 0; round < 1000; ++round) {
    auto outcome = std::async(std::launch::async, [&]() -> Error {
      try {
        session.Send(Get(server.Url("/")));
      } catch (const Error& error) {
        return error;
      }
      return Error();
    });
    bool cancelled = false;
    while (!(cancelled = session.Cancel()) &&
           outcome.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      std::this_thread::yield();
    }
    ASSERT_EQ(outcome.wait_for(kFailAfter), std::future_status::ready);
    Error error = outcome.get();
    ASSERT_TRUE(cancelled) << "round " << round << ": ended uncancelled with " << error;
    ASSERT_FALSE(error.timeout()) << "round " << round << ": the cancel was lost";
  }
}

TEST(ClientSessionTest, StopWhileAnotherThreadSends) {
  HostileServer server;
  ClientSession session;
  auto outcome = SendThatStallsWhileReading(session, server);
  ASSERT_TRUE(outcome.valid());
  session.Stop();
  // Had the loop stopped with the exchange unfinished, the sender would sleep for ever.
  ASSERT_EQ(outcome.wait_for(kFailAfter), std::future_status::ready);
  Error error = outcome.get();
  EXPECT_EQ(error.code(), kReadError);
  EXPECT_TRUE(error.cancelled());
  EXPECT_EQ(SendCode(session, Get(server.Url("/"))), kLoopError);
  session.Start();
  EXPECT_EQ(session.Send(Get(server.Url("/")))->GetData(), "fine");
}

// From a callback on the loop thread, waiting for the loop could only deadlock: what
// would wait is refused, what need not wait works.
TEST(ClientSessionTest, CallsFromTheLoopThreadNeverDeadlock) {
  HostileServer server;
  ClientSession session;
  session.Send(Get(server.Url("/")));
  std::vector<std::string> refused;
  std::size_t pool_size = 99;
  auto refuse = [&refused](const char* what, auto call) {
    try {
      call();
    } catch (const Error& error) {
      if (error.code() == kLoopError) refused.push_back(what + std::string(": ") + error.message());
    }
  };
  auto response = session.Send(Get(server.Url("/")), false, [&](std::size_t, std::size_t) {
    if (!refused.empty()) return;
    pool_size = session.GetPoolSize();
    refuse("Send", [&] { session.Send(Get(server.Url("/"))); });
    refuse("Start", [&] { session.Start(); });
    refuse("Stop", [&] { session.Stop(); });
  });
  EXPECT_THAT(refused, ::testing::ElementsAre("Send: Called on the session's loop thread",
                                              "Start: Called on the session's loop thread",
                                              "Stop: Called on the session's loop thread"));
  EXPECT_EQ(pool_size, 1u);
  EXPECT_EQ(response->GetData(), "fine");
  EXPECT_TRUE(session.IsStarted());
}

// A name server that does not answer: the lookup is bounded by the connect limit, and
// once given up it holds up neither the next request, nor a Stop, nor the session's end.
TEST(ClientSessionTest, SlowLookupIsAbandoned) {
  HostileServer server;
  const std::string port = std::to_string(server.GetPort());
  const std::string slow = "http://slow.test:" + port + "/";
  test::FakeDns::Reset();  // lookups are counted per process
  test::FakeDns::Block("slow.test");
  auto outcome = std::async(std::launch::async, [&] {
    ClientSession session;
    session.SetConnectTimeout(std::chrono::milliseconds(300));
    try {
      session.Send(Get(slow));
      ADD_FAILURE() << "the lookup was answered";
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), kResolveError);
      EXPECT_TRUE(error.timeout());
    }
    EXPECT_EQ(session.Send(Get("http://localhost:" + port + "/"))->GetData(), "fine");

    auto cancelled = std::async(std::launch::async, [&] { return SendCode(session, Get(slow)); });
    EXPECT_TRUE(test::FakeDns::WaitForLookup("slow.test", 2));
    session.Stop();
    EXPECT_EQ(cancelled.get(), kResolveError);
  });
  // Every step above ends before the name server answers, or not at all.
  EXPECT_EQ(outcome.wait_for(kFailAfter), std::future_status::ready);
  test::FakeDns::Release("slow.test");
}

TEST(ClientSessionTest, ReadTimeoutReachesTheDriver) {
  HostileServer server;
  auto arrived = std::make_shared<std::promise<void>>();
  server.Script(Stall(arrived));
  ClientSession session;
  session.SetReadTimeout(std::chrono::milliseconds(200));
  try {
    session.Send(Get(server.Url("/")));
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kReadError);
    EXPECT_TRUE(error.timeout());
    EXPECT_FALSE(error.cancelled());
    EXPECT_THAT(error.detail(), ::testing::StartsWith("Timed out waiting for the response"));
  }
}

TEST(ClientSessionTest, DestructionClosesPooledConnections) {
  HostileServer server;
  std::vector<std::shared_ptr<std::promise<void>>> closed;
  for (int i = 0; i < 2; ++i) {
    auto promise = std::make_shared<std::promise<void>>();
    closed.push_back(promise);
    server.Script([promise](HostileConnection& connection, const std::string& request) {
      HostileServer::Fine(connection, request);
      connection.WaitForClose();
      promise->set_value();
      return false;
    });
  }
  {
    ClientSession session;
    session.Send(Get(server.Url("/")));
    session.Send(Get("http://localhost:" + std::to_string(server.GetPort()) + "/"));
    EXPECT_EQ(session.GetPoolSize(), 2u);
  }
  for (auto& promise : closed) {
    EXPECT_EQ(promise->get_future().wait_for(kFailAfter), std::future_status::ready);
  }
}

TEST(ClientSessionTest, ThreadsShareOneSessionOneAtATime) {
  HostileServer server;
  ClientSession session;
  constexpr int kThreads = 4;
  constexpr int kSends = 25;
  std::atomic<int> fine{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kSends; ++i) {
        if (session.Send(Get(server.Url("/")))->GetData() == "fine") ++fine;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(fine, kThreads * kSends);
  // Serialised sends share the one pooled connection.
  EXPECT_EQ(server.Accepted(), 1u);
}

TEST(ClientSessionTest, SessionsInParallel) {
  HostileServer server;
  constexpr int kSessions = 4;
  constexpr int kSends = 25;
  std::atomic<int> fine{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kSessions; ++t) {
    threads.emplace_back([&] {
      ClientSession session;
      for (int i = 0; i < kSends; ++i) {
        if (session.Send(Get(server.Url("/")))->GetData() == "fine") ++fine;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(fine, kSessions * kSends);
  EXPECT_EQ(server.Accepted(), static_cast<std::size_t>(kSessions));
}

// ---------------------------------------------------------------------------------------
// Why an exchange failed

// A port on 127.0.0.1 that nothing listens on (bound once, then released).
unsigned short ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

TEST(ClientSessionTest, ErrorsSayWhyAndWhere) {
  HostileServer server;
  server.SetDefault([](HostileConnection& connection, const std::string&) {
    connection.Send("HTTP/2 200 OK\r\n\r\n");
    return false;
  });
  test::ScriptedServer::Options options;
  options.certificate = &test::TestPki::Get().good();
  test::ScriptedServer tls_server(options);
  std::string closed = "127.0.0.1:" + std::to_string(ClosedPort());
  std::string parsed = "127.0.0.1:" + std::to_string(server.GetPort());
  struct Case {
    std::string url;
    ErrorCode code;
    std::string detail;
  } cases[] = {
      {"http://" + closed + "/", kConnectError, "Connection refused (" + closed + ")"},
      {"http://nowhere.invalid/", kResolveError, "(nowhere.invalid:80)"},
      {server.Url("/"), kParseError, "Invalid HTTP version: HTTP/2 (" + parsed + ")"},
      // The system does not trust the test CA: the check's own verdict, not the
      // handshake's "certificate verify failed".
      {tls_server.Url("localhost", "/"), kConnectError,
       "unable to get local issuer certificate (localhost:" +
           std::to_string(tls_server.port()) + ")"},
  };
  ClientSession session;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Error error = SendError(session, Get(c.url));
    EXPECT_EQ(error.code(), c.code);
    EXPECT_THAT(error.detail(), ::testing::EndsWith(c.detail));
    EXPECT_GT(error.detail().size(), c.code == kResolveError ? c.detail.size() + 1 : 0u);
    EXPECT_FALSE(error.cancelled());
    EXPECT_FALSE(error.timeout());
  }
}

// ---------------------------------------------------------------------------------------
// TLS settings and chosen addresses

class SessionTlsTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) {
    return dir_.Write(name, content).string();
  }

  test::ScratchDir dir_{"korvo_tls_"};
  std::string ca_file_ = Write("ca.pem", test::TestPki::Get().ca_pem());
};

// A new connection to a server seen before resumes the TLS session instead of a full
// handshake; another server, or changed TLS settings, start afresh.
TEST_F(SessionTlsTest, NewConnectionsResumeTheSession) {
  test::ScriptedServer::Options options;
  options.certificate = &test::TestPki::Get().good();
  test::ScriptedServer server(options);
  test::ScriptedServer other(options);
  ClientSession session;
  session.SetCaFile(ca_file_);
  auto closing = [](const std::string& url) {
    return RequestBuilder().Url(url).Header("Connection", "close")();
  };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(session.Send(closing(server.Url("/")))->GetStatus(), 200);
  EXPECT_EQ(server.Resumed(), 2u);
  EXPECT_EQ(session.Send(closing(other.Url("/")))->GetStatus(), 200);
  EXPECT_EQ(other.Resumed(), 0u);

  session.SetCaFile(ca_file_);  // the same file, but a new context: nothing carries over
  EXPECT_EQ(session.Send(closing(server.Url("/")))->GetStatus(), 200);
  EXPECT_EQ(server.Resumed(), 2u);
  EXPECT_EQ(session.Send(closing(server.Url("/")))->GetStatus(), 200);
  EXPECT_EQ(server.Resumed(), 3u);
}

// A name the system cannot resolve reaches the server at the chosen address, and TLS
// still speaks of the name: server-name indication, the certificate check, "Host".
TEST_F(SessionTlsTest, ChosenAddressKeepsTheNameForTls) {
  test::ScriptedServer::Options options;
  options.certificate = &test::TestPki::Get().wildcard();  // "*.example.org"
  test::ScriptedServer server(options);
  std::string url = server.Url("api.example.org", "/");
  ClientSession session;
  EXPECT_EQ(SendCode(session, Get(url)), kResolveError);  // the fake name service refuses

  session.SetCaFile(ca_file_).SetResolve("API.example.org", server.port(), "127.0.0.1");
  EXPECT_EQ(session.Send(Get(url))->GetStatus(), 200);
  EXPECT_THAT(server.ServerNames(), ::testing::ElementsAre("api.example.org"));
  EXPECT_THAT(server.Requests().back(),
              ::testing::HasSubstr("Host: api.example.org:" + std::to_string(server.port())));

  // Another port of the same name is not covered; an empty address removes the entry.
  EXPECT_EQ(SendCode(session, Get("https://api.example.org:1/")), kResolveError);
  session.SetResolve("api.example.org", server.port(), "");
  EXPECT_EQ(SendCode(session, Get(url)), kResolveError);

  try {
    session.SetResolve("api.example.org", 443, "not-an-address");
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kRequestError);
    EXPECT_EQ(error.message(), "Invalid address");
  }
}

// Verification off accepts a certificate nobody vouches for, loudly; switching it back
// on does not reuse the connection made without it.
TEST_F(SessionTlsTest, VerificationOffIsLoggedAndNotCarriedOver) {
  test::ScriptedServer::Options options;
  options.certificate = &test::TestPki::Get().self_signed();
  test::ScriptedServer server(options);
  ClientSession session;
  session.SetVerifyPeer(false);
  {
    test::LogCapture log;
    EXPECT_EQ(session.Send(Get(server.Url("/")))->GetStatus(), 200);
    EXPECT_EQ(log.Count("WARN", "Certificate verification is off"), 1u);
  }
  EXPECT_EQ(session.GetPoolSize(), 1u);
  session.SetVerifyPeer(true);
  Error error = SendError(session, Get(server.Url("/")));
  EXPECT_EQ(error.code(), kConnectError);
  EXPECT_THAT(error.detail(), ::testing::HasSubstr("self-signed certificate"));
  EXPECT_EQ(server.Accepted(), 2u);
}

// Files are checked where they are named; a bad one leaves the settings as they were.
TEST_F(SessionTlsTest, UnusableFilesFailAtOnce) {
  const test::TestPki& pki = test::TestPki::Get();
  std::string cert = Write("cert.pem", pki.good().cert_pem);
  std::string other_key = Write("other.key", pki.wildcard().key_pem);
  std::string missing = (dir_.path() / "missing.pem").string();
  std::string garbage = Write("garbage.pem", "not a certificate\n");
  std::function<void(ClientSession&)> settings[] = {
      [&](ClientSession& s) { s.SetCaFile(missing); },
      [&](ClientSession& s) { s.SetCaFile(garbage); },
      [&](ClientSession& s) { s.SetCaPath(missing); },
      [&](ClientSession& s) { s.SetClientCertificate(missing, missing); },
      [&](ClientSession& s) { s.SetClientCertificate(cert, other_key); },
  };
  test::ScriptedServer::Options options;
  options.certificate = &pki.good();
  test::ScriptedServer server(options);
  ClientSession session;
  session.SetCaFile(ca_file_);
  for (std::size_t i = 0; i < std::size(settings); ++i) {
    SCOPED_TRACE(i);
    try {
      settings[i](session);
      ADD_FAILURE() << "no error";
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), kFileError);
      EXPECT_FALSE(error.detail().empty());
    }
    EXPECT_EQ(session.Send(Get(server.Url("localhost", "/")))->GetStatus(), 200);
  }
}

TEST_F(RootCertificatesTest, SystemStoreIsReadOnceAndShared) {
  SSL_CTX* other = SSL_CTX_new(TLS_client_method());
  ASSERT_TRUE(AddSystemRootCertificates(ssl_ctx_));
  ASSERT_TRUE(AddSystemRootCertificates(other));
  EXPECT_EQ(SSL_CTX_get_cert_store(ssl_ctx_), SSL_CTX_get_cert_store(other));
  std::shared_ptr<TlsContext> session_context = TlsContext::Create(TlsSettings());
  EXPECT_EQ(SSL_CTX_get_cert_store(session_context->context().native_handle()),
            SSL_CTX_get_cert_store(other));
  SSL_CTX_free(other);
}

// ---------------------------------------------------------------------------------------
// Redirects

// Answers with a `status` redirect to `location` (none when empty), keeping the
// connection; `body` goes with it.
HostileServer::Behaviour Redirect(int status, std::string location, std::string body = {}) {
  return [=](HostileConnection& connection, const std::string&) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " Moved\r\n";
    if (!location.empty()) head += "Location: " + location + "\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    return connection.Send(head + body);
  };
}

TEST(ClientSessionRedirectTest, MethodAndBodyByStatus) {
  struct Case {
    int status;
    const char* method;
    const char* followed_with;  // the method of the second request
  } cases[] = {
      {301, "GET", "GET"},   {301, "POST", "GET"},  {301, "PUT", "PUT"},
      {302, "POST", "GET"},  {302, "DELETE", "DELETE"}, {303, "POST", "GET"},
      {303, "PUT", "GET"},   {303, "HEAD", "HEAD"}, {307, "POST", "POST"},
      {307, "PUT", "PUT"},   {308, "POST", "POST"}, {308, "HEAD", "HEAD"},
  };
  HostileServer server;
  ClientSession session;
  session.SetFollowRedirects(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.method);
    std::size_t accepted = server.Accepted();
    HeadLog log;
    server.Script(log.Then(Redirect(c.status, "next?page=2")));
    server.Script(log.Then());
    RequestBuilder builder;
    builder.Method(c.method).Url(server.Url("/dir/start")).Header("Authorization", "Token t");
    if (std::string(c.method) != "GET" && std::string(c.method) != "HEAD") {
      builder.Body("payload").Header("Content-Type", "text/plain");
    }
    auto response = session.Send(builder());
    EXPECT_EQ(response->GetStatus(), 200);
    EXPECT_EQ(response->GetRedirectCount(), 1);
    EXPECT_EQ(response->GetUrl().ToString(), server.Url("/dir/next?page=2"));
    std::vector<std::string> heads = log.Heads();
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_THAT(heads[1], ::testing::StartsWith(std::string(c.followed_with) +
                                                " /dir/next?page=2 HTTP/1.1\r\n"));
    bool body_kept = std::string(c.method) == c.followed_with &&
                     heads[0].find("Content-Length: 7") != std::string::npos;
    EXPECT_EQ(heads[1].find("Content-Length: 7") != std::string::npos, body_kept);
    EXPECT_EQ(heads[1].find("Content-Type") != std::string::npos, body_kept);
    // Same origin: the credentials go along.
    EXPECT_THAT(heads[1], ::testing::HasSubstr("Authorization: Token t\r\n"));
    // Both hops on one pooled connection (a HEAD's final answer here closes it).
    EXPECT_LE(server.Accepted(), accepted + 1);
  }
}

TEST(ClientSessionRedirectTest, CredentialsStayWithTheirOrigin) {
  HostileServer first;
  HostileServer second;  // another port: another origin
  HeadLog log;
  first.Script(Redirect(302, second.Url("/landed")));
  second.Script(log.Then());
  ClientSession session;
  session.SetFollowRedirects(3).AuthToken("secret");
  auto request = RequestBuilder()
                     .Method("GET")
                     .Url(first.Url("/"))
                     .Header("Cookie", "id=1")
                     .Header("Proxy-Authorization", "Basic eA==")
                     .Header("X-Trace", "kept")();
  EXPECT_EQ(session.Send(request)->GetUrl().ToString(), second.Url("/landed"));
  ASSERT_EQ(log.Heads().size(), 1u);
  const std::string head = log.Heads()[0];
  EXPECT_THAT(head, ::testing::HasSubstr("X-Trace: kept\r\n"));
  EXPECT_THAT(head, ::testing::HasSubstr("Host: 127.0.0.1:" + std::to_string(second.GetPort())));
  for (const char* name : {"Authorization", "Cookie", "Proxy-Authorization"}) {
    EXPECT_EQ(head.find(name), std::string::npos) << name;
  }
}

// What is not followed: nothing by default, a redirect without a usable Location, one
// hop beyond the limit, a loop.
TEST(ClientSessionRedirectTest, WhatIsNotFollowed) {
  HostileServer server;
  ClientSession session;
  server.Script(Redirect(302, "/elsewhere"));
  auto response = session.Send(Get(server.Url("/start")));
  EXPECT_EQ(response->GetStatus(), 302);
  EXPECT_EQ(response->GetRedirectCount(), 0);
  EXPECT_EQ(response->GetUrl().ToString(), server.Url("/start"));

  session.SetFollowRedirects(2);
  for (const char* location : {"", "ftp://127.0.0.1/file", "/bad path\x01"}) {
    SCOPED_TRACE(location);
    server.Script(Redirect(301, location));
    response = session.Send(Get(server.Url("/start")));
    EXPECT_EQ(response->GetStatus(), 301);
    EXPECT_EQ(response->GetRedirectCount(), 0);
  }

  server.SetDefault(Redirect(302, "/loop"));
  std::size_t before = server.Requests();
  Error error = SendError(session, Get(server.Url("/loop")));
  EXPECT_EQ(error.code(), kRequestError);
  EXPECT_EQ(error.message(), "Too many redirects");
  EXPECT_EQ(server.Requests() - before, 3u);  // the request and two hops
}

TEST(ClientSessionRedirectTest, HttpsToHttpOnlyWhenAllowed) {
  HostileServer plain;
  test::ScriptedServer::Options options;
  options.certificate = &test::TestPki::Get().good();
  test::ScriptedServer secure(
      options, test::ScriptedServer::Respond("HTTP/1.1 302 Found\r\nLocation: " +
                                             plain.Url("/plain") +
                                             "\r\nContent-Length: 0\r\n\r\n"));
  std::filesystem::path ca = std::filesystem::temp_directory_path() / ("korvo_ca_" + RandomString(8));
  std::ofstream(ca) << test::TestPki::Get().ca_pem();
  ClientSession session;
  session.SetCaFile(ca.string()).SetFollowRedirects(2);
  Error error = SendError(session, Get(secure.Url("localhost", "/")));
  EXPECT_EQ(error.code(), kRequestError);
  EXPECT_EQ(error.message(), "Insecure redirect");
  EXPECT_EQ(plain.Requests(), 0u);

  session.SetFollowRedirects(2, true);
  auto response = session.Send(Get(secure.Url("localhost", "/")));
  EXPECT_EQ(response->GetData(), "fine");
  EXPECT_EQ(response->GetUrl().GetScheme(), "http");
  std::filesystem::remove(ca);
}

// Progress is for the response the caller gets; an intermediate body, streamed to a
// file, does not outlive its hop.
TEST(ClientSessionRedirectTest, IntermediateResponsesLeaveNothing) {
  test::PrivateTempDir temp;
  const std::filesystem::path& dir = temp.path();
  {
    HostileServer server;
    server.Script(Redirect(307, "/final", "an intermediate body"));
    ClientSession session;
    session.SetFollowRedirects(1);
    std::vector<std::size_t> totals;
    auto response = session.Send(Get(server.Url("/")), true,
                                 [&](std::size_t, std::size_t total) { totals.push_back(total); });
    ASSERT_NE(response->GetFileBody(), nullptr);
    EXPECT_THAT(totals, ::testing::Each(4u));
    EXPECT_FALSE(totals.empty());
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      (void)entry;
      ++files;
    }
    EXPECT_EQ(files, 1u);  // the final body's
  }
}

// The body of a redirect that is followed goes nowhere: not to a sink, not into memory,
// not through a decoder; one longer than a small bound is not even read, its
// connection closed instead of drained.
TEST(ClientSessionRedirectTest, RedirectBodiesAreDroppedUnread) {
  const std::string moved = "HTTP/1.1 302 Found\r\nLocation: /final\r\n";
  // Sends `head`, then `body_bytes` bytes (as chunks when `chunked`), then waits for
  // the client to close: a client that waited for the rest would wait until its limit.
  auto send = [moved](std::string head, std::size_t body_bytes, bool chunked) {
    return [=](HostileConnection& connection, const std::string&) {
      if (!connection.Send(moved + head + "\r\n")) return false;
      std::string block = chunked ? "8000\r\n" + std::string(0x8000, 'R') + "\r\n"
                                  : std::string(0x8000, 'R');
      connection.SendRepeated(block, body_bytes / 0x8000 * block.size());
      connection.WaitForClose();
      return false;
    };
  };
  struct Case {
    const char* name;
    HostileServer::Behaviour redirect;
    bool reused;  // the redirect's connection carries the next hop
  } cases[] = {
      {"small body", Redirect(302, "/final", "RRRR"), true},
      {"gzip-labelled garbage",
       [moved](HostileConnection& connection, const std::string&) {
         return connection.Send(moved +
                                "Content-Encoding: gzip\r\nContent-Length: 4\r\n\r\nRRRR");
       },
       true},
      {"256 MiB announced", send("Content-Length: 268435456\r\n", 1 << 16, false), false},
      {"chunked past the bound", send("Transfer-Encoding: chunked\r\n", 2 << 20, true), false},
      {"delimited by the close", send("", 2 << 20, false), false},
  };
  for (const Case& c : cases) {
    for (bool sink : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (sink ? ", sink" : ", memory"));
      HostileServer server;
      server.Script(c.redirect);
      ClientSession session;
      session.SetFollowRedirects(1).SetDecompress(true).SetReadTimeout(std::chrono::seconds(20));
      std::string sunk;
      SendOptions options;
      if (sink) {
        options.sink = [&sunk](const char* data, std::size_t size) {
          sunk.append(data, size);
          return true;
        };
      }
      std::vector<std::uint64_t> totals;
      options.progress = [&totals](std::uint64_t, std::uint64_t total) {
        totals.push_back(total);
        return true;
      };
      auto response = session.Send(Get(server.Url("/start")), options);
      EXPECT_EQ(response->GetStatus(), 200);
      EXPECT_EQ(response->GetRedirectCount(), 1);
      EXPECT_EQ(sink ? sunk : response->GetData(), "fine");
      EXPECT_THAT(totals, ::testing::Each(4u));
      EXPECT_EQ(server.Accepted(), c.reused ? 1u : 2u);
    }
  }
}

// A cancel reaches whichever hop is running.
TEST(ClientSessionRedirectTest, CancelReachesALaterHop) {
  HostileServer server;
  auto arrived = std::make_shared<std::promise<void>>();
  server.Script(Redirect(302, "/stall"));
  server.Script(Stall(arrived));
  ClientSession session;
  session.SetFollowRedirects(1);
  auto outcome = std::async(std::launch::async,
                            [&] { return SendError(session, Get(server.Url("/"))); });
  ASSERT_EQ(arrived->get_future().wait_for(kFailAfter), std::future_status::ready);
  EXPECT_TRUE(session.Cancel());
  Error error = outcome.get();
  EXPECT_EQ(error.code(), kReadError);
  EXPECT_TRUE(error.cancelled());
}

// ---------------------------------------------------------------------------------------
// Per-request options

// Sends a head announcing `size` bytes, then the body in 1 KiB writes until done or the
// client goes.
HostileServer::Behaviour SendBody(std::size_t size) {
  return [size](HostileConnection& connection, const std::string&) {
    connection.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n");
    std::string block(1024, 'b');
    for (std::size_t sent = 0; sent < size; sent += block.size()) {
      if (!connection.Send(std::string_view(block).substr(0, std::min(block.size(), size - sent)))) {
        return false;
      }
    }
    return true;
  };
}

// A callback that returns false ends the exchange as a cancel: for the download, at the
// call that says so; for the upload, before the rest of the body is written.
TEST(ClientSessionOptionsTest, ProgressThatStopsCancels) {
  HostileServer server;
  ClientSession session;
  server.Script(SendBody(1 << 20));
  SendOptions options;
  std::uint64_t last = 0;
  options.progress = [&](std::uint64_t current, std::uint64_t total) {
    EXPECT_EQ(total, std::uint64_t{1} << 20);
    last = current;
    return current < 64 * 1024;
  };
  Error error = SendError(session, Get(server.Url("/")), options);
  EXPECT_EQ(error.code(), kReadError);
  EXPECT_TRUE(error.cancelled());
  EXPECT_GE(last, 64u * 1024);
  EXPECT_LT(last, 1u << 20);

  // Upload: every write is reported up to the body's size, and a false stops it.
  std::string body(256 * 1024, 'u');
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop);
    std::vector<std::uint64_t> reports;
    SendOptions upload;
    upload.upload_progress = [&](std::uint64_t current, std::uint64_t total) {
      EXPECT_EQ(total, body.size());
      reports.push_back(current);
      return !stop;
    };
    Error upload_error = SendError(session, RequestBuilder().Method("POST").Url(server.Url("/")).Body(body)(), upload);
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    if (stop) {
      EXPECT_EQ(upload_error.code(), kWriteError);
      EXPECT_TRUE(upload_error.cancelled());
      EXPECT_EQ(reports.size(), 1u);
    } else {
      EXPECT_EQ(upload_error.code(), kNoError) << upload_error;
      EXPECT_EQ(reports.back(), body.size());
    }
  }
}

// A server that keeps every step alive with a byte now and then is stopped by the limit
// of the whole exchange; a step that stalls is stopped by a read limit in milliseconds.
TEST(ClientSessionOptionsTest, TimeLimitsInMilliseconds) {
  HostileServer server;
  auto trickle = [](HostileConnection& connection, const std::string&) {
    connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    while (connection.Send("x")) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return false;
  };
  auto arrived = std::make_shared<std::promise<void>>();
  struct Case {
    const char* name;
    HostileServer::Behaviour behaviour;
    std::function<void(ClientSession&, SendOptions&)> limit;
    const char* detail;
  } cases[] = {
      {"whole exchange, per request", trickle,
       [](ClientSession&, SendOptions& o) { o.timeout = std::chrono::milliseconds(300); },
       "Timed out: the exchange's time limit was reached"},
      {"whole exchange, session", trickle,
       [](ClientSession& s, SendOptions&) { s.SetTimeout(std::chrono::milliseconds(300)); },
       "Timed out: the exchange's time limit was reached"},
      {"read limit", Stall(arrived),
       [](ClientSession&, SendOptions& o) { o.read_timeout = std::chrono::milliseconds(200); },
       "Timed out waiting for the response"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.Script(c.behaviour);
    ClientSession session;
    SendOptions options;
    c.limit(session, options);
    Error error = SendError(session, Get(server.Url("/")), options);
    EXPECT_EQ(error.code(), kReadError);
    EXPECT_TRUE(error.timeout());
    EXPECT_FALSE(error.cancelled());
    EXPECT_THAT(error.detail(), ::testing::StartsWith(c.detail));
  }
}

// The body goes to the caller's function as it arrives; the response keeps none of it.
TEST(ClientSessionOptionsTest, SinkTakesTheBody) {
  HostileServer server;
  ClientSession session;
  constexpr std::size_t kSize = 64 << 20;
  server.Script(SendBody(kSize));
  std::uint64_t received = 0;
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over every byte, in order
  SendOptions options;
  options.stream = true;  // a sink wins over streaming
  options.sink = [&](const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
    }
    received += size;
    return true;
  };
  auto response = session.Send(Get(server.Url("/")), options);
  EXPECT_EQ(received, kSize);
  std::uint64_t expected = 14695981039346656037ull;
  for (std::size_t i = 0; i < kSize; ++i) expected = (expected ^ 'b') * 1099511628211ull;
  EXPECT_EQ(hash, expected);
  EXPECT_EQ(response->GetFileBody(), nullptr);
  EXPECT_EQ(response->GetData(), "");
  EXPECT_EQ(session.GetPoolSize(), 1u);

  // A sink that has had enough stops the exchange as a cancel.
  server.Script(SendBody(kSize));
  received = 0;
  options.sink = [&](const char*, std::size_t size) {
    received += size;
    return received < kSize / 2;
  };
  Error error = SendError(session, Get(server.Url("/")), options);
  EXPECT_EQ(error.code(), kReadError);
  EXPECT_TRUE(error.cancelled());
  EXPECT_LT(received, kSize);
  EXPECT_EQ(session.GetPoolSize(), 0u);
}

// Too large is refused wherever the body would go, as soon as it is known: from the
// announced length before any of the body is read, else once the bytes pass the limit.
TEST(ClientSessionOptionsTest, BodyOverTheLimitLeavesNothingBehind) {
  test::PrivateTempDir temp;
  const std::filesystem::path& dir = temp.path();
  auto announced = [](HostileConnection& connection, const std::string&) {
    // Only the head: a client that waited for the body would wait for ever.
    connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n");
    connection.WaitForClose();
    return false;
  };
  auto chunked = [](HostileConnection& connection, const std::string&) {
    connection.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    std::string chunk = "400\r\n" + std::string(1024, 'c') + "\r\n";
    while (connection.Send(chunk)) {
    }
    return false;
  };
  HostileServer server;
  for (auto behaviour : {HostileServer::Behaviour(announced), HostileServer::Behaviour(chunked)}) {
    for (int target = 0; target < 3; ++target) {  // memory, file, sink
      SCOPED_TRACE(target);
      server.Script(behaviour);
      ClientSession session;
      SendOptions options;
      options.max_body_size = 100000;
      options.stream = target == 1;
      if (target == 2) options.sink = [](const char*, std::size_t) { return true; };
      Error error = SendError(session, Get(server.Url("/")), options);
      EXPECT_EQ(error.code(), kReadError);
      EXPECT_EQ(error.message(), "Response body too large");
      EXPECT_FALSE(error.cancelled());
      EXPECT_EQ(session.GetPoolSize(), 0u);
      EXPECT_TRUE(std::filesystem::is_empty(dir));
    }
  }
}

// A form file that changed size after the request was built fails at once, as a file
// body does, with or without upload progress: its "Content-Length" cannot be kept.
TEST(ClientSessionOptionsTest, FormFileThatChangedFailsAtOnce) {
  test::PrivateTempDir temp;
  const std::filesystem::path file = temp.path() / "upload.bin";
  HostileServer server;
  ClientSession session;
  session.SetReadTimeout(std::chrono::seconds(20));
  for (std::size_t changed : {std::size_t{10}, std::size_t{0}, std::size_t{300000}}) {
    for (bool progress : {false, true}) {
      SCOPED_TRACE(std::to_string(changed) + (progress ? ", upload progress" : ""));
      std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(100000, 'f');
      auto request =
          RequestBuilder().Method("POST").Url(server.Url("/")).FormFile("file", file)();
      std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(changed, 'g');
      SendOptions options;
      if (progress) options.upload_progress = [](std::uint64_t, std::uint64_t) { return true; };
      Error error = SendError(session, request, options);
      EXPECT_EQ(error.code(), kFileError);
      EXPECT_EQ(error.message(), "File size changed");
      EXPECT_FALSE(error.timeout());
    }
  }
  EXPECT_EQ(session.Send(Get(server.Url("/")))->GetData(), "fine");
}

}  // namespace
}  // namespace korvo
