// End to end against a server nobody here wrote: Debian's httpbin under gunicorn on a
// loopback port. What httpbin echoes back is what it received.
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "korvo/korvo.h"
#include "korvo/internal/utility.h"
#include "support/httpbin_server.h"
#include "support/temp_dir.h"

namespace korvo {
namespace {

namespace fs = std::filesystem;
using boost::property_tree::ptree;

ptree ParseJson(const std::string& text) {
  ptree tree;
  std::istringstream stream(text);
  boost::property_tree::read_json(stream, tree);
  return tree;
}

std::string ReadAll(const fs::path& path) {
  std::string content;
  EXPECT_TRUE(ReadFile(path, content)) << path;
  return content;
}

class HttpbinTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new test::HttpbinServer();
    std::string error;
    if (!server_->Start(2, 60, &error)) start_error_ = error;
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server_->IsRunning()) << "httpbin did not start: " << start_error_;
  }

  std::string Url(const std::string& path) const { return server_->Url(path); }

  fs::path WriteFile(const std::string& name, const std::string& content) {
    return dir_.Write(name, content);
  }

  static test::HttpbinServer* server_;
  static std::string start_error_;
  ClientSession session_;
  test::ScratchDir dir_{"korvo_e2e_"};
};

test::HttpbinServer* HttpbinTest::server_ = nullptr;
std::string HttpbinTest::start_error_;

TEST_F(HttpbinTest, GetWithQueryDateAndDefaultHeaders) {
  auto request =
      RequestBuilder().Method("GET").Url(Url("/get")).Query("q", "a b").Query("k", "v&w").Date()();
  std::string date = request->GetHeader("Date");
  auto response = session_.Send(request);
  ASSERT_EQ(response->GetStatus(), 200);
  EXPECT_EQ(response->GetReason(), "OK");

  ptree echo = ParseJson(response->GetData());
  EXPECT_EQ(echo.get<std::string>("args.q"), "a b");
  EXPECT_EQ(echo.get<std::string>("args.k"), "v&w");
  EXPECT_EQ(echo.get<std::string>("url"), Url("/get?q=a%20b&k=v%26w"));
  const ptree& headers = echo.get_child("headers");
  EXPECT_EQ(headers.get<std::string>("Date"), date);
  EXPECT_EQ(headers.get<std::string>("User-Agent"), "Korvo/0.2.0");
  EXPECT_EQ(headers.get<std::string>("Accept"), "*/*");
  EXPECT_EQ(headers.get<std::string>("Accept-Encoding"), "identity");
  EXPECT_EQ(headers.get<std::string>("Host"), server_->HostPort());
  EXPECT_EQ(headers.count("Content-Type"), 0u);
  EXPECT_EQ(headers.count("Content-Length"), 0u);
  // The request the caller handed in was completed in place, defaults in their order.
  std::vector<std::string> names;
  for (const auto& field : request->GetHeaders()) names.push_back(field.first);
  EXPECT_EQ(names, (std::vector<std::string>{"Date", "User-Agent", "Accept", "Accept-Encoding",
                                             "Connection", "Host"}));
}

TEST_F(HttpbinTest, AcceptAndAuthorization) {
  session_.Accept("application/json");
  auto response = session_.Send(RequestBuilder().Method("GET").Url(Url("/headers"))());
  EXPECT_EQ(ParseJson(response->GetData()).get<std::string>("headers.Accept"), "application/json");

  auto basic = session_.Send(
      RequestBuilder().Method("GET").Url(Url("/basic-auth/ann/s3cr:t")).AuthBasic("ann", "s3cr:t")());
  EXPECT_EQ(basic->GetStatus(), 200);
  EXPECT_EQ(ParseJson(basic->GetData()).get<std::string>("user"), "ann");

  auto refused = session_.Send(
      RequestBuilder().Method("GET").Url(Url("/basic-auth/ann/s3cr:t")).AuthBasic("ann", "wrong")());
  EXPECT_EQ(refused->GetStatus(), 401);

  auto token =
      session_.Send(RequestBuilder().Method("GET").Url(Url("/headers")).AuthToken("abc.DEF-123")());
  EXPECT_EQ(ParseJson(token->GetData()).get<std::string>("headers.Authorization"),
            "Token abc.DEF-123");

  // A session-wide default reaches every request.
  session_.AuthBasic("ann", "s3cr:t");
  EXPECT_EQ(session_.Send(RequestBuilder().Method("GET").Url(Url("/basic-auth/ann/s3cr:t"))())
                ->GetStatus(),
            200);
}

TEST_F(HttpbinTest, PostJson) {
  const std::string json = "{\"name\":\"korvo\",\"list\":[1,2,3],\"text\":\"\xC3\xA9t\xC3\xA9\"}";
  auto response = session_.Send(RequestBuilder()
                                    .Method("POST")
                                    .Url(Url("/post"))
                                    .Body(json)
                                    .MediaType("application/json")
                                    .Charset("utf-8")());
  ASSERT_EQ(response->GetStatus(), 200);
  ptree echo = ParseJson(response->GetData());
  EXPECT_EQ(echo.get<std::string>("data"), json);
  EXPECT_EQ(echo.get<std::string>("json.name"), "korvo");
  EXPECT_EQ(echo.get<std::string>("headers.Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(echo.get<std::string>("headers.Content-Length"), std::to_string(json.size()));
}

TEST_F(HttpbinTest, SessionContentTypeOnUrlEncodedForm) {
  session_.SetContentType("application/x-www-form-urlencoded", "utf8");
  const std::string encoded = "name=a%20b%26c&n=1";
  auto response = session_.Send(RequestBuilder().Method("POST").Url(Url("/post")).Body(encoded)());
  ptree echo = ParseJson(response->GetData());
  EXPECT_EQ(echo.get<std::string>("headers.Content-Type"),
            "application/x-www-form-urlencoded; charset=utf8");
  EXPECT_EQ(echo.get<std::string>("form.name"), "a b&c");
  EXPECT_EQ(echo.get<std::string>("form.n"), "1");

  // No body, no content type, whatever the default.
  auto bare = session_.Send(RequestBuilder().Method("GET").Url(Url("/headers"))());
  EXPECT_EQ(ParseJson(bare->GetData()).get_child("headers").count("Content-Type"), 0u);
  auto empty = session_.Send(RequestBuilder().Method("POST").Url(Url("/post")).Body("")());
  EXPECT_EQ(ParseJson(empty->GetData()).get_child("headers").count("Content-Type"), 0u);
}

TEST_F(HttpbinTest, MultipartWithFileAndJsonParts) {
  fs::path text = WriteFile("notes.txt", "line one\nline two\n");
  auto response = session_.Send(RequestBuilder()
                                    .Method("POST")
                                    .Url(Url("/post"))
                                    .FormFile("upload", text)
                                    .FormData("meta", "{\"id\":7}", "application/json")());
  ASSERT_EQ(response->GetStatus(), 200);
  ptree echo = ParseJson(response->GetData());
  EXPECT_EQ(echo.get<std::string>("files.upload"), "line one\nline two\n");
  EXPECT_EQ(echo.get<std::string>("form.meta"), "{\"id\":7}");
  EXPECT_EQ(echo.get<std::string>("headers.Content-Type").rfind("multipart/form-data; boundary=", 0), 0u);

  std::string binary;
  for (int i = 0; i < 3000; ++i) binary += static_cast<char>((i * 7 + 0x80) & 0xFF);
  fs::path bin = WriteFile("blob.bin", binary);
  auto binary_response = session_.Send(RequestBuilder()
                                           .Method("POST")
                                           .Url(Url("/post"))
                                           .FormFile("blob", bin, "application/octet-stream")());
  EXPECT_EQ(ParseJson(binary_response->GetData()).get<std::string>("files.blob"),
            "data:application/octet-stream;base64," + Base64Encode(binary));
}

TEST_F(HttpbinTest, HeadAndErrorStatusesAreResponses) {
  auto head = session_.Send(RequestBuilder().Method("HEAD").Url(Url("/get"))());
  EXPECT_EQ(head->GetStatus(), 200);
  EXPECT_TRUE(head->HasHeader("Content-Length"));
  EXPECT_NE(head->GetHeader("Content-Length"), "0");
  EXPECT_EQ(head->GetData(), "");

  auto missing = session_.Send(RequestBuilder().Method("GET").Url(Url("/status/404"))());
  EXPECT_EQ(missing->GetStatus(), 404);
  EXPECT_EQ(missing->GetReason(), "NOT FOUND");
  auto failed = session_.Send(RequestBuilder().Method("GET").Url(Url("/status/500"))());
  EXPECT_EQ(failed->GetStatus(), 500);
}

TEST_F(HttpbinTest, LargeBodyInMemoryAndStreamed) {
  // httpbin caps /bytes and /stream-bytes at 100 KiB; several MiB come back as the echo
  // of a large upload.
  std::string payload;
  payload.reserve(3 * 1024 * 1024);
  while (payload.size() < 3 * 1024 * 1024) payload += RandomString(64) + "\n";
  auto make = [&] { return RequestBuilder().Method("POST").Url(Url("/anything")).Body(payload)(); };

  auto in_memory = session_.Send(make());
  ASSERT_EQ(in_memory->GetStatus(), 200);
  EXPECT_GT(in_memory->GetData().size(), payload.size());
  EXPECT_EQ(ParseJson(in_memory->GetData()).get<std::string>("data"), payload);

  std::size_t last_current = 0, last_total = 0, calls = 0;
  auto streamed = session_.Send(make(), true, [&](std::size_t current, std::size_t total) {
    last_current = current;
    last_total = total;
    ++calls;
  });
  auto file = streamed->GetFileBody();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(streamed->GetData(), "");
  EXPECT_GT(calls, 1u);
  EXPECT_EQ(last_current, last_total);
  EXPECT_EQ(std::to_string(last_total), streamed->GetHeader("Content-Length"));

  fs::path temporary = file->GetPath();
  fs::path kept = dir_.path() / "echo.json";
  ASSERT_TRUE(file->Move(kept));
  EXPECT_FALSE(fs::exists(temporary));
  file.reset();
  streamed.reset();
  ASSERT_TRUE(fs::exists(kept));  // moved away, so no longer deleted with the body
  EXPECT_EQ(ReadAll(kept), in_memory->GetData());
}

TEST_F(HttpbinTest, ChunkedBodyInMemoryAndStreamed) {
  const std::string path = "/stream-bytes/102400?seed=42&chunk_size=1000";
  auto in_memory = session_.Send(RequestBuilder().Method("GET").Url(Url(path))());
  ASSERT_EQ(in_memory->GetStatus(), 200);
  EXPECT_EQ(in_memory->GetHeader("Transfer-Encoding"), "chunked");
  EXPECT_EQ(in_memory->GetData().size(), 102400u);

  auto streamed = session_.Send(RequestBuilder().Method("GET").Url(Url(path))(), true);
  auto file = streamed->GetFileBody();
  ASSERT_NE(file, nullptr);
  fs::path temporary = file->GetPath();
  ASSERT_TRUE(fs::exists(temporary));
  fs::path kept = dir_.path() / "bytes.bin";
  ASSERT_TRUE(file->Move(kept));
  EXPECT_EQ(ReadAll(kept), in_memory->GetData());  // same seed, same bytes

  // A streamed body that is not moved away goes with its response.
  auto dropped = session_.Send(RequestBuilder().Method("GET").Url(Url(path))(), true);
  fs::path dropped_path = dropped->GetFileBody()->GetPath();
  ASSERT_TRUE(fs::exists(dropped_path));
  dropped.reset();
  EXPECT_FALSE(fs::exists(dropped_path));
}

// httpbin's redirect endpoints, each followed to the end.
TEST_F(HttpbinTest, RedirectsAreFollowed) {
  session_.SetFollowRedirects(5);
  for (const char* path : {"/redirect/3", "/relative-redirect/3", "/absolute-redirect/3"}) {
    SCOPED_TRACE(path);
    auto response = session_.Send(RequestBuilder().Method("GET").Url(Url(path))());
    EXPECT_EQ(response->GetStatus(), 200);
    EXPECT_EQ(response->GetRedirectCount(), 3);
    EXPECT_EQ(response->GetUrl().GetPath(), "/get");
  }
  session_.SetFollowRedirects(2);
  try {
    session_.Send(RequestBuilder().Method("GET").Url(Url("/redirect/3"))());
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.message(), "Too many redirects");
  }
}

// Whether the method and the body survive a redirect, as /anything echoes them.
TEST_F(HttpbinTest, RedirectKeepsOrDropsTheBodyByStatus) {
  session_.SetFollowRedirects(1);
  fs::path file = WriteFile("body.txt", "from a file");
  struct Case {
    int status;
    const char* method;   // after the redirect
    bool body_kept;
  } cases[] = {{301, "GET", false}, {302, "GET", false}, {303, "GET", false},
               {307, "POST", true},  {308, "POST", true}};
  for (const Case& c : cases) {
    for (bool from_file : {false, true}) {
      SCOPED_TRACE(std::to_string(c.status) + (from_file ? " file" : " string"));
      RequestBuilder builder;
      builder.Method("POST")
          .Url(Url("/redirect-to"))
          .Query("url", "/anything")
          .Query("status_code", std::to_string(c.status));
      if (from_file) {
        builder.File(file);
      } else {
        builder.Body("from a string");
      }
      auto response = session_.Send(builder());
      ASSERT_EQ(response->GetStatus(), 200);
      EXPECT_EQ(response->GetRedirectCount(), 1);
      ptree echo = ParseJson(response->GetData());
      EXPECT_EQ(echo.get<std::string>("method"), c.method);
      EXPECT_EQ(echo.get<std::string>("data"),
                c.body_kept ? (from_file ? "from a file" : "from a string") : "");
      EXPECT_EQ(echo.get_child("headers").count("Content-Length"), c.body_kept ? 1u : 0u);
    }
  }
}

// Decoding on: the session asks for what it can decode and hands back plain bytes,
// in memory and streamed, while the header still says what was received.
TEST_F(HttpbinTest, DecompressedBodies) {
  session_.SetDecompress(true);
  for (const char* coding : {"gzip", "deflate"}) {
    for (bool stream : {false, true}) {
      SCOPED_TRACE(std::string(coding) + (stream ? " streamed" : " in memory"));
      auto response =
          session_.Send(RequestBuilder().Method("GET").Url(Url(std::string("/") + coding))(), stream);
      ASSERT_EQ(response->GetStatus(), 200);
      EXPECT_EQ(response->GetHeader("Content-Encoding"), coding);
      std::string text = stream ? ReadAll(response->GetFileBody()->GetPath()) : response->GetData();
      ptree echo = ParseJson(text);
      EXPECT_EQ(echo.get<std::string>("headers.Accept-Encoding"), "gzip, deflate, br, zstd");
      EXPECT_TRUE(echo.get<bool>(std::string(coding) == "gzip" ? "gzipped" : "deflated"));
      EXPECT_EQ(response->GetContentLength(), static_cast<std::int64_t>(text.size()));
    }
  }
}

TEST_F(HttpbinTest, ConnectionCloseIsNotPooled) {
  // gunicorn's sync workers close after every response, so nothing stays pooled and
  // every request gets a connection of its own.
  for (int i = 0; i < 3; ++i) {
    auto response = session_.Send(RequestBuilder().Method("GET").Url(Url("/get"))());
    EXPECT_EQ(response->GetStatus(), 200);
    EXPECT_EQ(response->GetHeader("Connection"), "close");
    EXPECT_EQ(session_.GetPoolSize(), 0u);
  }
}

TEST_F(HttpbinTest, ParallelSessions) {
  constexpr int kThreads = 4;
  constexpr int kSends = 5;
  std::vector<std::thread> threads;
  std::vector<int> ok(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ClientSession session;
      for (int i = 0; i < kSends; ++i) {
        auto response = session.Send(RequestBuilder()
                                         .Method("GET")
                                         .Url(Url("/get"))
                                         .Query("t", std::to_string(t))
                                         .Query("i", std::to_string(i))());
        ptree echo = ParseJson(response->GetData());
        if (echo.get<std::string>("args.t") == std::to_string(t) &&
            echo.get<std::string>("args.i") == std::to_string(i)) {
          ++ok[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ok[t], kSends) << t;
}

}  // namespace
}  // namespace korvo
