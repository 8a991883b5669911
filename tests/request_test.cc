#include "korvo/request.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korvo/client_session.h"
#include "korvo/error.h"
#include "korvo/internal/utility.h"
#include "support/hostile_server.h"
#include "support/payload_bytes.h"

namespace korvo {
namespace {

namespace fs = std::filesystem;

using test::HeadBytes;

// What the driver writes: the head, then the body pieces until the first empty one.
std::string Wire(Request& request) {
  const std::string head = HeadBytes(request);  // before the body is read, as sent
  return head + test::BodyBytes(*request.GetBody());
}

std::shared_ptr<Request> MakeRequest(const std::string& method, const std::string& url) {
  auto request = std::make_shared<Request>();
  request->SetMethod(method).SetUrl(Url(url));
  return request;
}

// `detail`, when given, is the detail() expected.
void ExpectRequestError(Request& request, const std::string& message,
                        const std::string& detail = {}) {
  try {
    request.Prepare();
    FAIL() << "prepared, expected " << message;
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kRequestError);
    EXPECT_EQ(error.message(), message);
    if (!detail.empty()) {
      EXPECT_EQ(error.detail(), detail);
    }
  }
}

TEST(RequestTest, WireFormOfAPost) {
  auto request = MakeRequest("POST", "http://example.test:8080/upload?a=1");
  request->SetHeader("Accept-Encoding", "identity");
  request->SetHeader("Connection", "Keep-Alive");
  request->SetBody(std::make_shared<StringBody>("{\"k\":1}"), false);
  request->Prepare();
  EXPECT_EQ(Wire(*request),
            "POST /upload?a=1 HTTP/1.1\r\n"
            "Accept-Encoding: identity\r\n"
            "Connection: Keep-Alive\r\n"
            "Host: example.test:8080\r\n"
            "\r\n"
            "{\"k\":1}");
}

TEST(RequestTest, WireFormOfAForm) {
  const fs::path file = fs::temp_directory_path() / ("korvo-request-" + RandomString(10) + ".txt");
  std::ofstream(file, std::ios::binary) << "hello";
  auto request = MakeRequest("POST", "http://127.0.0.1/form");
  request->SetHeader("Content-Type", "multipart/form-data; boundary=B");
  request->SetBody(std::make_shared<FormBody>(
                       FormParts{FormPart::New("a", "1"), FormPart::NewFile("f", file)}, "B"),
                   true);
  request->Prepare();
  const std::string expected_body =
      "--B\r\n"
      "Content-Disposition: form-data; name=\"a\"\r\n"
      "\r\n"
      "1\r\n"
      "--B\r\n"
      "Content-Disposition: form-data; name=\"f\"; filename=\"" + file.filename().string() + "\"\r\n"
      "Content-Type: text/plain\r\n"
      "\r\n"
      "hello\r\n"
      "--B--\r\n";
  const std::string expected_head =
      "POST /form HTTP/1.1\r\n"
      "Content-Type: multipart/form-data; boundary=B\r\n"
      "Content-Length: " + std::to_string(expected_body.size()) + "\r\n"
      "Host: 127.0.0.1\r\n"
      "\r\n";
  EXPECT_EQ(Wire(*request), expected_head + expected_body);
  EXPECT_EQ(Wire(*request), expected_head + expected_body);  // a second send is identical
  fs::remove(file);
}

TEST(RequestTest, TargetAndHost) {
  struct Case {
    const char* url;
    const char* line;
    const char* host;
  };
  const Case cases[] = {
      {"http://h:80/", "GET / HTTP/1.1", "h:80"},
      {"http://h/", "GET / HTTP/1.1", "h"},
      {"http://h", "GET / HTTP/1.1", "h"},
      {"http://h?k=1", "GET /?k=1 HTTP/1.1", "h"},
      {"http://h/p?x=1&y=2", "GET /p?x=1&y=2 HTTP/1.1", "h"},
      {"http://h/p?", "GET /p HTTP/1.1", "h"},
      {"https://[::1]:8443/a/b", "GET /a/b HTTP/1.1", "[::1]:8443"},
      {"http://h?next=/home", "GET /?next=/home HTTP/1.1", "h"},
      // The fragment stays with the caller, even one that would not fit the line.
      {"http://h/p?k=1#top", "GET /p?k=1 HTTP/1.1", "h"},
      {"http://h#a b", "GET / HTTP/1.1", "h"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    auto request = MakeRequest("GET", c.url);
    request->Prepare();
    EXPECT_EQ(request->GetStartLine(), c.line);
    EXPECT_EQ(request->GetHeader("Host"), c.host);
  }
  auto lower = MakeRequest("get", "http://h/");
  lower->Prepare();
  EXPECT_EQ(lower->GetStartLine(), "get / HTTP/1.1");
}

TEST(RequestTest, HostAlreadyPresentKeepsNameAndPosition) {
  auto request = MakeRequest("GET", "http://real.test:81/");
  request->SetHeader("host", "stale");
  request->SetHeader("Accept", "*/*");
  request->AddHeader("HOST", "second\r\nX-Injected: 1");  // replaced too, so never checked
  request->Prepare();
  EXPECT_EQ(HeadBytes(*request),
            "GET / HTTP/1.1\r\nhost: real.test:81\r\nAccept: */*\r\n\r\n");
}

TEST(RequestTest, PreparedOnce) {
  auto request = MakeRequest("GET", "http://first.test/one");
  request->Prepare();
  request->SetUrl(Url("http://second.test/two")).SetMethod("POST");
  request->Prepare();
  EXPECT_EQ(request->GetStartLine(), "GET /one HTTP/1.1");
  EXPECT_EQ(request->GetHeader("Host"), "first.test");
  EXPECT_EQ(request->GetHeaders().size(), 1u);
}

TEST(RequestTest, HostIsMissing) {
  auto request = MakeRequest("GET", "/only/a/path");
  ExpectRequestError(*request, "Host is missing");
  EXPECT_TRUE(request->GetStartLine().empty());
  EXPECT_FALSE(request->HasHeader("Host"));
}

TEST(RequestTest, RefusesABrokenRequestLine) {
  const std::string bad_methods[] = {"GET\r\nX: 1", "GET\n", std::string("G\0T", 3), "",
                                     "GET /x", "GET\t"};
  for (const auto& method : bad_methods) {
    SCOPED_TRACE(method);
    auto request = MakeRequest(method, "http://h/");
    ExpectRequestError(*request, "Invalid request line",
                       method.empty() ? "Method is missing"
                                      : "a blank, line break or NUL in the method");
    EXPECT_TRUE(request->GetStartLine().empty());
    EXPECT_FALSE(request->HasHeader("Host"));
  }
  const std::string bad_urls[] = {"http://h/a\r\nX-Injected: 1", "http://h/?q=\n",
                                  std::string("http://h/a\0b", 12), "http://h/a b",
                                  "http://h/?q=a HTTP/1.0"};
  for (const auto& url : bad_urls) {
    SCOPED_TRACE(url);
    auto request = MakeRequest("GET", url);
    ExpectRequestError(*request, "Invalid request line");
    EXPECT_TRUE(request->GetStartLine().empty());
    EXPECT_EQ(HeadBytes(*request), "\r\n\r\n");
  }
}

TEST(RequestTest, RefusesInjectedHeaderFields) {
  const std::pair<std::string, std::string> bad_fields[] = {
      {"X-Test", "a\r\nX-Injected: 1"},
      {"X-Test", "a\n"},
      {"X-Test", "a\r"},
      {"X-Test", std::string("a\0b", 3)},
      {"X-Te\r\nst", "a"},
      {"X-Test:", "a"},
      {"X Test", "a"},
      {"X-Test\t", "a"},
      {"", "a"},
      {std::string("X\0", 2), "a"},
      // korvo frames request bodies itself: a coding beside its "Content-Length" would
      // frame the body twice, as requests are smuggled past proxies.
      {"Transfer-Encoding", "chunked"},
      {"transfer-encoding", "gzip, chunked"},
  };
  for (const auto& [name, value] : bad_fields) {
    SCOPED_TRACE(name + "=" + value);
    auto request = MakeRequest("GET", "http://h/");
    request->SetHeader("Accept", "*/*");
    ASSERT_TRUE(request->SetHeader(name, value));  // the list itself accepts anything
    ExpectRequestError(*request, "Invalid header field");
    EXPECT_TRUE(request->GetStartLine().empty());
    EXPECT_FALSE(request->HasHeader("Host"));
    // The detail names the field, with its line breaks made visible.
    try {
      request->Prepare();
    } catch (const Error& error) {
      EXPECT_EQ(error.detail().find('\r'), std::string::npos);
      EXPECT_EQ(error.detail().find('\n'), std::string::npos);
      if (name == "Transfer-Encoding") {
        EXPECT_THAT(error.detail(), ::testing::StartsWith("\"Transfer-Encoding\""));
      }
    }
  }

  auto host = MakeRequest("GET", "http://h\r\nX-Injected: 1/");
  ExpectRequestError(*host, "Invalid header field");

  // A field that would be replaced by the URL's host does not block the request.
  auto replaced = MakeRequest("GET", "http://h/");
  replaced->SetHeader("Host", "bad\r\nvalue");
  replaced->Prepare();
  EXPECT_EQ(replaced->GetHeader("Host"), "h");
}

TEST(RequestTest, FieldsAddedAfterPreparingAreCheckedToo) {
  auto request = MakeRequest("GET", "http://h/");
  request->Prepare();
  request->SetHeader("X-Late", "a\r\nX-Injected: 1");
  ExpectRequestError(*request, "Invalid header field");
  EXPECT_EQ(request->GetStartLine(), "GET / HTTP/1.1");
}

TEST(RequestTest, AllowsOrdinaryFieldValues) {
  auto request = MakeRequest("GET", "http://h/");
  request->SetHeader("Authorization", "Basic dXNlcjpwYXNz");
  request->SetHeader("X-Spaces", " a\tb ");
  request->SetHeader("X-Utf8", "\xc3\xa9t\xc3\xa9");
  request->SetHeader("X-Colon", "a: b");
  EXPECT_NO_THROW(request->Prepare());
}

// The session prepares a request before any connection is made, so a refused request
// never reaches the server, and the session stays usable.
TEST(RequestTest, RefusedRequestSendsNothing) {
  test::HostileServer server;
  ClientSession session;
  auto injected = MakeRequest("GET", server.Url("/"));
  injected->SetHeader("X-Test", "a\r\nX-Injected: 1");
  try {
    session.Send(injected);
    FAIL() << "an injected field was sent";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kRequestError);
    EXPECT_EQ(error.message(), "Invalid header field");
  }
  auto split = MakeRequest("GET", server.Url("/a\r\nX-Injected: 1"));
  EXPECT_THROW(session.Send(split), Error);
  EXPECT_EQ(server.Accepted(), 0u);
  EXPECT_EQ(server.Requests(), 0u);

  std::mutex mutex;  // the script runs on a server thread
  std::string seen;
  server.Script([&](test::HostileConnection& connection, const std::string& request) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      seen = request;
    }
    return test::HostileServer::Fine(connection, request);
  });
  auto response = session.Send(MakeRequest("GET", server.Url("/ok")));
  EXPECT_EQ(response->GetStatus(), 200);
  EXPECT_EQ(server.Requests(), 1u);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(seen.rfind("GET /ok HTTP/1.1\r\n", 0), 0u);
  EXPECT_EQ(seen.find("X-Injected"), std::string::npos);
}

}  // namespace
}  // namespace korvo
