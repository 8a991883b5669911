// A session with a cookie jar: cookies stored from every response (redirects
// included) and sent on every hop for its own URL, with the caller's own "Cookie"
// field left alone.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korvo/client_session.h"
#include "korvo/cookie_jar.h"
#include "korvo/request_builder.h"
#include "support/scripted_server.h"

namespace korvo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using test::ScriptedConnection;
using test::ScriptedServer;

// Answers "/login" with a cookie and a redirect to `next`, anything else with 200.
ScriptedServer::Behaviour LoginThenOk(const std::string& next) {
  return [next](ScriptedConnection& connection) {
    std::string request;
    while (connection.ReadRequest(&request)) {
      if (request.rfind("GET /login ", 0) == 0) {
        connection.Send(test::HttpResponse(
            302, "", "Set-Cookie: sid=42; Path=/\r\nLocation: " + next + "\r\n"));
      } else {
        connection.Send(test::HttpResponse(200, "ok", "Set-Cookie: seen=1\r\n"));
      }
    }
  };
}

// The "Cookie" field of the request head `head`, or "" when it has none.
std::string CookieOf(const std::string& head) {
  std::size_t at = head.find("\r\nCookie: ");
  if (at == std::string::npos) return "";
  at += 10;
  return head.substr(at, head.find("\r\n", at) - at);
}

TEST(SessionCookieTest, RedirectHopsCarryWhatTheJarHolds) {
  ScriptedServer server;
  server.SetDefault(LoginThenOk("/home"));
  auto jar = std::make_shared<CookieJar>();
  ClientSession session;
  session.SetCookieJar(jar).SetFollowRedirects(3);

  auto login = RequestBuilder().Url(server.Url("/login"))();
  EXPECT_EQ(session.Send(login)->GetData(), "ok");
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(CookieOf(server.Requests()[0]), "");
  EXPECT_EQ(CookieOf(server.Requests()[1]), "sid=42");  // stored from the 302 itself
  EXPECT_EQ(jar->GetCookieHeader(Url(server.Url("/"))), "sid=42; seen=1");

  // The jar's field went into the bytes, not into the caller's request: sent again, it
  // carries what the jar holds now, not a copy taken as the caller's own.
  EXPECT_EQ(login->GetHeaders().Get("Cookie"), "");
  session.Send(login);
  EXPECT_EQ(CookieOf(server.Requests()[2]), "sid=42; seen=1");

  // A field the caller sets wins over the jar.
  session.Send(RequestBuilder().Url(server.Url("/own")).Header("Cookie", "mine=1")());
  EXPECT_EQ(CookieOf(server.Requests().back()), "mine=1");
}

// Across origins the caller's own field is dropped, as before, while the jar's cookies
// for the new origin still go; two sessions share one jar.
TEST(SessionCookieTest, CrossOriginHopsGetTheirOwnCookies) {
  ScriptedServer target;
  ScriptedServer origin;
  origin.SetDefault(LoginThenOk(target.Url("localhost", "/landing")));
  auto jar = std::make_shared<CookieJar>();
  jar->SetCookie(Url(target.Url("localhost", "/")), "theirs=7");
  ClientSession first;
  ClientSession second;
  first.SetCookieJar(jar).SetFollowRedirects(3);
  second.SetCookieJar(jar);

  first.Send(RequestBuilder().Url(origin.Url("/login")).Header("Cookie", "mine=1")());
  ASSERT_EQ(target.Requests().size(), 1u);
  EXPECT_EQ(CookieOf(target.Requests()[0]), "theirs=7");
  EXPECT_THAT(target.Requests()[0], Not(HasSubstr("mine=1")));

  // What the first session stored, the second sends.
  second.Send(RequestBuilder().Url(origin.Url("/again"))());
  EXPECT_EQ(CookieOf(origin.Requests().back()), "sid=42");
}

// Eight threads over two sessions share one jar (run under ThreadSanitizer too): every
// cookie set is kept, and each request carries what the jar held when it went out.
TEST(SessionCookieTest, SessionsAndThreadsShareOneJar) {
  ScriptedServer server([](ScriptedConnection& connection) {
    std::string request;
    while (connection.ReadRequest(&request)) {
      // "/set/<name>" sets that cookie.
      std::size_t at = request.find("GET /set/");
      std::string name = request.substr(at + 9, request.find(' ', at + 9) - at - 9);
      connection.Send(test::HttpResponse(200, "ok", "Set-Cookie: " + name + "=1\r\n"));
    }
  });
  auto jar = std::make_shared<CookieJar>();
  ClientSession sessions[2];
  for (ClientSession& session : sessions) session.SetCookieJar(jar);
  constexpr int kThreads = 8;
  constexpr int kRequests = 5;  // 40 cookies: under the 50 a domain may hold
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        ClientSession& session = sessions[t % 2];
        if (t % 4 < 2) {
          session.Send(RequestBuilder().Url(server.Url("/set/" + name))());
        } else {
          session.SendAsync(RequestBuilder().Url(server.Url("/set/" + name))()).get();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(jar->GetCookies().size(), static_cast<std::size_t>(kThreads * kRequests));
  // Every cookie a thread set before its last request went out with that request.
  for (const std::string& head : server.Requests()) {
    std::size_t at = head.find("GET /set/t");
    std::string thread = head.substr(at + 9, head.find('_', at) - at - 9);
    int index = std::stoi(head.substr(head.find('_', at) + 1));
    for (int earlier = 0; earlier < index; ++earlier) {
      EXPECT_THAT(CookieOf(head), HasSubstr(thread + "_" + std::to_string(earlier) + "=1"));
    }
  }
}

}  // namespace
}  // namespace korvo
