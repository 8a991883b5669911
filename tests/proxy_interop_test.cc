// The proxy interoperability suite: korvo's routes through servers it did not write,
// all on loopback: tinyproxy (requests in absolute form, CONNECT tunnels), squid asking
// for Basic proxy authentication, microsocks (SOCKS5, with and without a password),
// nginx's stream module ending TLS in front of tinyproxy (an HTTPS proxy), and an
// nginx origin that also listens on Unix-domain sockets. Every route carries a GET and
// a POST of a file to an http and an https origin, each body checked byte for byte.
//
// Each proxy connects out from an address of its own, and the origin answers with the
// address it was reached from ("X-Peer"), so every case sees which way its request went:
// through which proxy, direct (127.0.0.1) or over a Unix-domain socket ("unix:").
//
// The session trusts the test CA through SetCaFile, for the origin and the HTTPS proxy
// alike. The proxy variables of the environment are cleared before every test; the
// tests of the environment set their own. A server program that is not installed fails
// the tests that need it in CI (CI=true) and skips them elsewhere.
//
// Thread rules: every test runs on the gtest thread (a session adds its loop thread).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korvo/client_session.h"
#include "korvo/error.h"
#include "korvo/internal/utility.h"
#include "korvo/request_builder.h"
#include "korvo/response.h"
#include "support/httpbin_server.h"
#include "support/log_capture.h"
#include "support/proxy_servers.h"
#include "support/real_servers.h"
#include "support/test_tls.h"

namespace korvo {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kUser = "korvo";
// A colon and an at sign, which the proxy URL must carry percent-encoded.
constexpr const char* kPassword = "pa:ss@word";
constexpr const char* kUrlCredentials = "korvo:pa%3Ass%40word@";

// Where each proxy's connections leave from: what the origin's X-Peer says.
constexpr const char* kDirect = "127.0.0.1";
constexpr const char* kViaTinyproxy = "127.0.0.2";
constexpr const char* kViaSquid = "127.0.0.3";
constexpr const char* kViaSocks = "127.0.0.4";
constexpr const char* kViaSocksWithPassword = "127.0.0.5";
constexpr const char* kViaUnixSocket = "unix:";

constexpr const char* kProxyVariables[] = {"http_proxy",  "HTTP_PROXY", "https_proxy",
                                           "HTTPS_PROXY", "all_proxy",  "ALL_PROXY",
                                           "no_proxy",    "NO_PROXY"};

void ClearProxyEnvironment() {
  for (const char* name : kProxyVariables) ::unsetenv(name);
}

// Bytes from a fixed pattern (xorshift64): every value of a byte, no line structure.
std::string PatternBytes(std::size_t size, std::uint64_t seed) {
  std::string bytes(size, '\0');
  std::uint64_t state = 0x9E3779B97F4A7C15ull ^ seed;
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<char>(state >> 56);
  }
  return bytes;
}

// Says where two bodies part, instead of printing 100 KiB of each.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& expected) {
  if (got == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << "a body of " << got.size() << " bytes, expected "
                                       << expected.size() << "; they differ from byte " << at;
}

enum class Server { kOrigin, kTinyproxy, kSquid, kSocks, kSocksWithPassword, kTlsFront };
constexpr int kServerCount = 6;

enum class Scheme { kHttp, kHttps };
constexpr Scheme kSchemes[] = {Scheme::kHttp, Scheme::kHttps};
const char* Name(Scheme scheme) { return scheme == Scheme::kHttp ? "http" : "https"; }

// The files of the suite, and its servers, each started the first time a test needs it:
// ctest runs every test in a process of its own, which then starts only its servers.
class Suite {
 public:
  Suite() {
    dir_ = fs::temp_directory_path() / ("korvo_proxy_interop_" + RandomString(10));
    fs::create_directories(dir_ / "www");
    served_ = PatternBytes(100 * 1024, 1);
    uploaded_ = PatternBytes(300 * 1024 + 7, 2);
    if (!test::WritePrivateFile(dir_ / "www" / "small.bin", served_) ||
        !test::WritePrivateFile(upload_file(), uploaded_) ||
        !test::WritePrivateFile(ca_file(), test::TestPki::Get().ca_pem())) {
      files_error_ = "cannot write to " + dir_.string();
    }
  }
  ~Suite() {
    // The servers first: they use the files.
    StopServers();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  Suite(const Suite&) = delete;
  Suite& operator=(const Suite&) = delete;

  // In a test: starts `server` (see Ensure), then fails (CI) or skips (elsewhere) when
  // its program is not installed, and fails when it did not start.
  void Require(Server server) {
    Ensure(server);
    starts_.Require(static_cast<std::size_t>(server), IsRunning(server));
  }

  const std::string& served() const { return served_; }
  const std::string& uploaded() const { return uploaded_; }
  fs::path upload_file() const { return dir_ / "upload.bin"; }
  fs::path ca_file() const { return dir_ / "ca.pem"; }

  test::ProxyOrigin origin;
  test::TinyproxyServer tinyproxy;
  test::SquidServer squid;
  test::MicrosocksServer socks;
  test::MicrosocksServer socks_with_password;
  test::TlsFront tls_front;

 private:
  // Starts `server`, and what it depends on, unless that was tried already.
  void Ensure(Server server) {
    starts_.Ensure(static_cast<std::size_t>(server),
                   [&](std::string* error) { return Start(server, error); });
  }

  bool Start(Server server, std::string* error) {
    if (!files_error_.empty()) {
      *error = files_error_;
      return false;
    }
    const test::TestCertificate& certificate = test::TestPki::Get().good();
    switch (server) {
      case Server::kOrigin: return origin.Start(dir_ / "www", certificate, error);
      case Server::kTinyproxy: {
        test::TinyproxyServer::Options options;
        options.bind_address = kViaTinyproxy;
        // CONNECT reaches the origin's https port and nothing else.
        Ensure(Server::kOrigin);
        if (origin.IsRunning()) options.connect_ports = {origin.https_port()};
        return tinyproxy.Start(options, error);
      }
      case Server::kSquid: return squid.Start(kUser, kPassword, kViaSquid, error);
      case Server::kSocks: return socks.Start("", "", kViaSocks, error);
      case Server::kSocksWithPassword:
        return socks_with_password.Start(kUser, kPassword, kViaSocksWithPassword, error);
      case Server::kTlsFront:
        Ensure(Server::kTinyproxy);
        if (!tinyproxy.IsRunning()) {
          *error = "it fronts tinyproxy, which did not start";
          return false;
        }
        return tls_front.Start(certificate, tinyproxy.port(), error);
    }
    return false;
  }

  bool IsRunning(Server server) const {
    switch (server) {
      case Server::kOrigin: return origin.IsRunning();
      case Server::kTinyproxy: return tinyproxy.IsRunning();
      case Server::kSquid: return squid.IsRunning();
      case Server::kSocks: return socks.IsRunning();
      case Server::kSocksWithPassword: return socks_with_password.IsRunning();
      case Server::kTlsFront: return tls_front.IsRunning();
    }
    return false;
  }

  void StopServers() {
    tls_front.Stop();
    tinyproxy.Stop();
    squid.Stop();
    socks.Stop();
    socks_with_password.Stop();
    origin.Stop();
  }

  fs::path dir_;
  std::string files_error_;
  std::string served_;
  std::string uploaded_;
  test::ServerStarts starts_{kServerCount};
};

class ProxyInteropTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { suite_ = new Suite(); }
  static void TearDownTestSuite() {
    delete suite_;
    suite_ = nullptr;
  }

  void SetUp() override { ClearProxyEnvironment(); }
  void TearDown() override { ClearProxyEnvironment(); }

  // In a test: each server as Suite::Require says. KORVO_REQUIRE_SERVERS returns from
  // the test when one is missing or did not start.
  static void Require(std::initializer_list<Server> servers) {
    for (Server server : servers) {
      suite_->Require(server);
      if (HasFatalFailure() || IsSkipped()) return;
    }
  }

  static std::string OriginUrl(Scheme scheme, const std::string& path) {
    return scheme == Scheme::kHttp ? suite_->origin.HttpUrl(path) : suite_->origin.HttpsUrl(path);
  }

  // A session trusting the test CA and nothing else.
  static std::unique_ptr<ClientSession> MakeSession() {
    auto session = std::make_unique<ClientSession>();
    session->SetCaFile(suite_->ca_file().string());
    return session;
  }

  // The response, or null after a failure that has been reported to the test.
  static std::shared_ptr<Response> Send(ClientSession& session, std::shared_ptr<Request> request) {
    try {
      return session.Send(std::move(request));
    } catch (const Error& error) {
      ADD_FAILURE() << "Send failed: " << error << " - " << error.detail();
      return nullptr;
    }
  }

  static std::shared_ptr<Response> Get(ClientSession& session, const std::string& url) {
    return Send(session, RequestBuilder().Url(url)());
  }

  // The file, posted to the origin's echo.
  static std::shared_ptr<Response> Post(ClientSession& session, const std::string& url) {
    return Send(session, RequestBuilder()
                             .Method("POST")
                             .Url(url)
                             .File(suite_->upload_file(), false)
                             .MediaType("application/octet-stream")());
  }

  // The error of a send that must fail.
  static std::optional<Error> Failure(ClientSession& session, const std::string& url) {
    try {
      auto response = session.Send(RequestBuilder().Url(url)());
      ADD_FAILURE() << "answered " << response->GetStatus() << " " << response->GetReason();
    } catch (const Error& error) {
      return error;
    }
    return std::nullopt;
  }

  // Replaces "{tinyproxy}" and "{socks}" by those proxies' addresses.
  static std::string Expand(std::string text) {
    const std::pair<const char*, std::string> names[] = {
        {"{tinyproxy}", suite_->tinyproxy.Address()}, {"{socks}", suite_->socks.Address()}};
    for (const auto& [name, address] : names) {
      for (std::size_t at; (at = text.find(name)) != std::string::npos;) {
        text.replace(at, std::string(name).size(), address);
      }
    }
    return text;
  }

  static Suite* suite_;
};

Suite* ProxyInteropTest::suite_ = nullptr;

#define KORVO_REQUIRE_SERVERS(...)                             \
  do {                                                         \
    Require({__VA_ARGS__});                                    \
    if (HasFatalFailure() || IsSkipped()) return;              \
  } while (0)

// ---- Every route, both origins, GET and POST ----

enum class Via { kTinyproxy, kSquid, kSocks5, kSocks5hWithPassword, kHttpsProxy, kUnixSocket,
                 kUnixSocketOverProxy };

struct RouteCase {
  const char* name;
  Via via;
  Server server;      // the proxy it needs, beside the origin
  const char* peer;   // what the origin sees
};

std::ostream& operator<<(std::ostream& os, const RouteCase& c) { return os << c.name; }

class ProxyRouteTest : public ProxyInteropTest,
                       public ::testing::WithParamInterface<RouteCase> {
 protected:
  // Sets the route up; returns the URL that `path` of the origin has on it.
  static std::string Route(ClientSession& session, Via via, Scheme scheme,
                           const std::string& path) {
    switch (via) {
      case Via::kTinyproxy:
        session.SetProxy("http://" + suite_->tinyproxy.Address());
        break;
      case Via::kSquid:
        session.SetProxy("http://" + std::string(kUrlCredentials) + suite_->squid.Address());
        break;
      case Via::kSocks5:
        session.SetProxy("socks5://" + suite_->socks.Address());
        break;
      case Via::kSocks5hWithPassword:
        session.SetProxy("socks5h://" + std::string(kUrlCredentials) +
                         suite_->socks_with_password.Address());
        break;
      case Via::kHttpsProxy:
        session.SetProxy("https://" + suite_->tls_front.Address());
        break;
      case Via::kUnixSocketOverProxy:
        // The socket wins: the proxy is not used at all.
        session.SetProxy("http://" + suite_->tinyproxy.Address());
        [[fallthrough]];
      case Via::kUnixSocket: {
        const fs::path socket = scheme == Scheme::kHttp ? suite_->origin.UnixSocket()
                                                        : suite_->origin.UnixTlsSocket();
        session.SetUnixSocket(socket.string());
        // The name is never looked up: it is the "Host" and, for https, the name the
        // certificate must show.
        return std::string(Name(scheme)) + "://localhost" + path;
      }
    }
    return OriginUrl(scheme, path);
  }
};

TEST_P(ProxyRouteTest, GetAndPostByteForByte) {
  const RouteCase& route = GetParam();
  KORVO_REQUIRE_SERVERS(Server::kOrigin, route.server);
  for (Scheme scheme : kSchemes) {
    SCOPED_TRACE(Name(scheme));
    auto session = MakeSession();
    const std::string small = Route(*session, route.via, scheme, "/small.bin");
    const std::string echo = Route(*session, route.via, scheme, "/echo");

    auto get = Get(*session, small);
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get->GetStatus(), 200);
    EXPECT_EQ(get->GetHeader("X-Peer"), route.peer);
    EXPECT_TRUE(SameBytes(get->GetData(), suite_->served()));

    // On the connection the GET left, where the route kept one.
    auto post = Post(*session, echo);
    ASSERT_NE(post, nullptr);
    EXPECT_EQ(post->GetStatus(), 200);
    EXPECT_EQ(post->GetHeader("X-Peer"), route.peer);
    EXPECT_TRUE(SameBytes(post->GetData(), suite_->uploaded()));
  }
  // HTTP/2 inside the route: ALPN goes to the origin, never to a proxy.
  auto session = MakeSession();
  session->SetHttpVersion(HttpVersion::kHttp2);
  auto h2 = Get(*session, Route(*session, route.via, Scheme::kHttps, "/small.bin"));
  ASSERT_NE(h2, nullptr);
  EXPECT_EQ(h2->GetVersion(), "HTTP/2");
  EXPECT_EQ(h2->GetHeader("X-Peer"), route.peer);
  EXPECT_TRUE(SameBytes(h2->GetData(), suite_->served()));
}

INSTANTIATE_TEST_SUITE_P(
    Routes, ProxyRouteTest,
    ::testing::Values(
        RouteCase{"tinyproxy", Via::kTinyproxy, Server::kTinyproxy, kViaTinyproxy},
        RouteCase{"squid_with_password", Via::kSquid, Server::kSquid, kViaSquid},
        RouteCase{"socks5", Via::kSocks5, Server::kSocks, kViaSocks},
        RouteCase{"socks5h_with_password", Via::kSocks5hWithPassword,
                  Server::kSocksWithPassword, kViaSocksWithPassword},
        // TLS to nginx, which hands the bytes to tinyproxy.
        RouteCase{"https_proxy", Via::kHttpsProxy, Server::kTlsFront, kViaTinyproxy},
        RouteCase{"unix_socket", Via::kUnixSocket, Server::kOrigin, kViaUnixSocket},
        RouteCase{"unix_socket_over_proxy", Via::kUnixSocketOverProxy, Server::kTinyproxy,
                  kViaUnixSocket}),
    [](const ::testing::TestParamInfo<RouteCase>& info) { return std::string(info.param.name); });

// ---- Refusals name the proxy ----

TEST_F(ProxyInteropTest, RefusalsAreConnectErrorsNamingTheProxy) {
  KORVO_REQUIRE_SERVERS(Server::kOrigin, Server::kSquid, Server::kSocksWithPassword);
  // A port where nothing listens any more.
  unsigned short closed_port = 0;
  std::string reason;
  int fd = test::ListenOnLoopback(closed_port, reason);
  ASSERT_GE(fd, 0) << reason;
  ::close(fd);
  const std::string closed = "127.0.0.1:" + std::to_string(closed_port);

  struct Case {
    const char* name;
    std::string proxy;
    std::string address;  // the proxy's, which the detail must name
    const char* detail;   // and what else it must say
  } cases[] = {
      {"squid, wrong password", "http://korvo:wrong@" + suite_->squid.Address(),
       suite_->squid.Address(), "Proxy answered 407"},
      {"squid, no credentials", "http://" + suite_->squid.Address(), suite_->squid.Address(),
       "Proxy answered 407"},
      {"microsocks, wrong password",
       "socks5://korvo:wrong@" + suite_->socks_with_password.Address(),
       suite_->socks_with_password.Address(), ""},
      {"microsocks, no credentials", "socks5://" + suite_->socks_with_password.Address(),
       suite_->socks_with_password.Address(), ""},
      {"nothing listens", "http://" + closed, closed, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto session = MakeSession();
    session->SetProxy(c.proxy);
    // https: the tunnel must stand before any byte of the request goes out.
    std::optional<Error> error = Failure(*session, OriginUrl(Scheme::kHttps, "/small.bin"));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kConnectError) << *error;
    EXPECT_THAT(error->detail(), HasSubstr(c.address));
    EXPECT_THAT(error->detail(), HasSubstr(c.detail));
    EXPECT_THAT(error->detail(), Not(HasSubstr("wrong")));
  }
}

TEST_F(ProxyInteropTest, SquidAsksForCredentialsOnAForwardedRequest) {
  KORVO_REQUIRE_SERVERS(Server::kOrigin, Server::kSquid);
  // An http origin's request goes to squid whole: its 407 is the answer to it.
  auto session = MakeSession();
  session->SetProxy("http://korvo:wrong@" + suite_->squid.Address());
  auto response = Get(*session, OriginUrl(Scheme::kHttp, "/small.bin"));
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->GetStatus(), 407);
  EXPECT_THAT(response->GetHeader("Proxy-Authenticate"), HasSubstr("Basic"));
  EXPECT_FALSE(response->HasHeader("X-Peer"));
}

// ---- Which requests bypass the proxy ----

TEST_F(ProxyInteropTest, NoProxyListsSendRequestsDirect) {
  KORVO_REQUIRE_SERVERS(Server::kOrigin, Server::kTinyproxy);
  const std::string http_port = std::to_string(suite_->origin.http_port());
  const std::string https_port = std::to_string(suite_->origin.https_port());
  struct Case {
    std::string list;
    Scheme scheme;
    const char* peer;
  } cases[] = {
      {"", Scheme::kHttp, kViaTinyproxy},
      {"", Scheme::kHttps, kViaTinyproxy},
      {"127.0.0.1", Scheme::kHttp, kDirect},
      {"127.0.0.1", Scheme::kHttps, kDirect},
      {"127.0.0.0/8", Scheme::kHttp, kDirect},
      {"*", Scheme::kHttps, kDirect},
      {"example.com, 127.0.0.1", Scheme::kHttp, kDirect},
      {"127.0.0.1:" + http_port, Scheme::kHttp, kDirect},
      // The entry's port is the http origin's, not this one's.
      {"127.0.0.1:" + http_port, Scheme::kHttps, kViaTinyproxy},
      {"127.0.0.1:" + https_port, Scheme::kHttps, kDirect},
      // A name never matches a host written as an address, whatever it resolves to.
      {"localhost", Scheme::kHttp, kViaTinyproxy},
      {"10.0.0.0/8, ::1, 127.0.0.2", Scheme::kHttps, kViaTinyproxy},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.list + "\" " + Name(c.scheme));
    auto session = MakeSession();
    session->SetProxy("http://" + suite_->tinyproxy.Address()).SetNoProxy(c.list);
    auto response = Get(*session, OriginUrl(c.scheme, "/small.bin"));
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->GetStatus(), 200);
    EXPECT_EQ(response->GetHeader("X-Peer"), c.peer);
  }
}

// ---- The environment ----

TEST_F(ProxyInteropTest, EnvironmentAndCallsEachOnTheirOwn) {
  KORVO_REQUIRE_SERVERS(Server::kOrigin, Server::kTinyproxy, Server::kSocks);
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> variables;
    Scheme scheme;
    std::optional<std::string> proxy;     // SetProxy
    std::optional<std::string> no_proxy;  // SetNoProxy
    bool read_again;  // variables set after the session was made, then read again
    const char* peer;
    std::size_t warnings = 0;  // WARN records about an unusable http_proxy
  } cases[] = {
      // Loopback destinations never take a proxy from the environment.
      {"http_proxy", {{"http_proxy", "http://{tinyproxy}"}}, Scheme::kHttp, {}, {}, false,
       kDirect},
      {"https_proxy and all_proxy",
       {{"HTTPS_PROXY", "http://{tinyproxy}"}, {"all_proxy", "socks5://{socks}"}},
       Scheme::kHttps, {}, {}, false, kDirect},
      {"http_proxy read again", {{"http_proxy", "http://{tinyproxy}"}}, Scheme::kHttp, {}, {},
       true, kDirect},
      // The call's proxy wins over the variable's...
      {"SetProxy over http_proxy", {{"http_proxy", "http://{tinyproxy}"}}, Scheme::kHttp,
       "socks5://{socks}", {}, false, kViaSocks},
      // ...and a variable that is not a proxy URL is passed over.
      {"SetProxy beside an unusable http_proxy", {{"http_proxy", "ftp://{tinyproxy}"}},
       Scheme::kHttp, "http://{tinyproxy}", {}, false, kViaTinyproxy, 1},
      // The environment's bypass list still applies to the call's proxy...
      {"no_proxy beside SetProxy", {{"no_proxy", "127.0.0.1"}}, Scheme::kHttps,
       "http://{tinyproxy}", {}, false, kDirect},
      {"NO_PROXY read again beside SetProxy", {{"NO_PROXY", "127.0.0.0/8"}}, Scheme::kHttp,
       "http://{tinyproxy}", {}, true, kDirect},
      // ...unless SetNoProxy replaces it.
      {"SetNoProxy over no_proxy", {{"no_proxy", "127.0.0.1"}}, Scheme::kHttp,
       "http://{tinyproxy}", "", false, kViaTinyproxy},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearProxyEnvironment();
    auto set_variables = [&] {
      for (const auto& [name, value] : c.variables) ::setenv(name, Expand(value).c_str(), 1);
    };
    test::LogCapture log;
    if (!c.read_again) set_variables();
    auto session = MakeSession();
    if (c.proxy) session->SetProxy(Expand(*c.proxy));
    if (c.no_proxy) session->SetNoProxy(*c.no_proxy);
    if (c.read_again) {
      set_variables();
      session->SetProxyFromEnvironment(true);
    }
    auto response = Get(*session, OriginUrl(c.scheme, "/small.bin"));
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->GetStatus(), 200);
    EXPECT_EQ(response->GetHeader("X-Peer"), c.peer);

    std::size_t warnings = 0;
    for (const std::string& record : log.Records()) {
      test::LogRecord parsed;
      if (test::ParseLogRecord(record, parsed) && parsed.level == "WARN" &&
          parsed.message.rfind("Ignoring the proxy in http_proxy", 0) == 0) {
        ++warnings;
      }
    }
    EXPECT_EQ(warnings, c.warnings);
  }
}

}  // namespace
}  // namespace korvo
