#include "korvo/request_builder.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korvo/error.h"
#include "korvo/internal/utility.h"
#include "support/payload_bytes.h"
#include "support/temp_dir.h"

namespace korvo {
namespace {

namespace fs = std::filesystem;

using test::BodyBytes;
using test::HeadBytes;

std::vector<std::string> HeaderNames(const Request& request) {
  std::vector<std::string> names;
  for (const auto& field : request.GetHeaders()) names.push_back(field.first);
  return names;
}

class RequestBuilderTest : public ::testing::Test {
 protected:
  fs::path WriteFile(const std::string& name, const std::string& content) {
    return dir_.Write(name, content);
  }

  test::ScratchDir dir_{"korvo_builder_"};
};

TEST_F(RequestBuilderTest, MethodAndUrlOnlyGiveBareRequest) {
  auto request = RequestBuilder().Method("GET").Url("http://h:81/a/b?k=1")();
  EXPECT_EQ(request->GetMethod(), "GET");
  EXPECT_EQ(request->GetUrl().GetScheme(), "http");
  EXPECT_EQ(request->GetUrl().GetHost(), "h");
  EXPECT_EQ(request->GetUrl().GetPort(), "81");
  EXPECT_EQ(request->GetUrl().GetPath(), "/a/b");
  EXPECT_EQ(request->GetUrl().GetQuery(), "k=1");
  EXPECT_TRUE(request->GetHeaders().empty());
  EXPECT_EQ(request->GetBody()->GetSize(), 0);
  EXPECT_EQ(request->GetContentLength(), -1);
}

TEST_F(RequestBuilderTest, QueryIsEncodedUrlIsNot) {
  auto request =
      RequestBuilder().Method("GET").Url("http://h/p?x=a%20b").Query("q", "a b").Query("k", "\xC3\xA9")();
  EXPECT_EQ(request->GetUrl().GetQuery(), "x=a%20b&q=a%20b&k=%C3%A9");

  // Separators inside a key or value must not split it.
  auto separators = RequestBuilder().Url("http://h/").Query("a=b", "c&d=e%f+g")();
  EXPECT_EQ(separators->GetUrl().GetQuery(), "a%3Db=c%26d%3De%25f%2Bg");
}

TEST_F(RequestBuilderTest, HeaderRules) {
  auto request = RequestBuilder()
                     .Method("GET")
                     .Url("http://h/")
                     .Header("X-One", "1")
                     .Header("X-Empty", "")
                     .Header("Connection", "Keep-Alive")
                     .Header("x-one", "2")
                     .Auth("Bearer", "first")
                     .AuthToken("second")
                     .KeepAlive(false)();
  EXPECT_EQ(HeaderNames(*request), (std::vector<std::string>{"X-One", "Connection", "Authorization"}));
  EXPECT_EQ(request->GetHeader("X-One"), "2");  // the later value, at the first position
  EXPECT_EQ(request->GetHeader("Connection"), "Close");
  EXPECT_EQ(request->GetHeader("Authorization"), "Token second");
  EXPECT_FALSE(request->HasHeader("X-Empty"));
}

TEST_F(RequestBuilderTest, MethodDefaultsToGetAndBearerIsTheOAuthScheme) {
  auto request = RequestBuilder().Url("http://h/").AuthBearer("t0k")();
  EXPECT_EQ(request->GetMethod(), "GET");
  EXPECT_EQ(request->GetHeader("Authorization"), "Bearer t0k");
  EXPECT_EQ(RequestBuilder().AuthToken("t0k")()->GetHeader("Authorization"), "Token t0k");
}

TEST_F(RequestBuilderTest, AuthBasicAndDate) {
  auto request =
      RequestBuilder().Method("GET").Url("http://h/").AuthBasic("user", "pa:ss").Date()();
  EXPECT_EQ(request->GetHeader("Authorization"), "Basic dXNlcjpwYTpzcw==");
  EXPECT_TRUE(std::regex_match(
      request->GetHeader("Date"),
      std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
                 "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                 "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT")))
      << request->GetHeader("Date");
}

TEST_F(RequestBuilderTest, StringBodyWithContentType) {
  auto request = RequestBuilder()
                     .Method("POST")
                     .Url("http://h:8080/post")
                     .Body("{\"a\":1}")
                     .MediaType("application/json")
                     .Charset("utf-8")
                     .FormData("ignored", "because a body was given")();
  EXPECT_EQ(request->GetHeader("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(request->GetHeader("Content-Length"), "7");
  EXPECT_EQ(request->GetContentLength(), 7);
  EXPECT_EQ(request->GetData(), "{\"a\":1}");
  EXPECT_FALSE(request->IsForm());

  request->Prepare();
  EXPECT_EQ(HeadBytes(*request),
            "POST /post HTTP/1.1\r\n"
            "Content-Type: application/json; charset=utf-8\r\n"
            "Content-Length: 7\r\n"
            "Host: h:8080\r\n"
            "\r\n");
}

TEST_F(RequestBuilderTest, ContentTypeOfPlainBody) {
  auto bare = RequestBuilder().Method("POST").Url("http://h/").Body("x")();
  EXPECT_FALSE(bare->HasHeader("Content-Type"));
  EXPECT_EQ(bare->GetHeader("Content-Length"), "1");

  auto no_charset = RequestBuilder().Method("POST").Url("http://h/").Body("x").MediaType("text/plain")();
  EXPECT_EQ(no_charset->GetHeader("Content-Type"), "text/plain");

  auto empty = RequestBuilder().Method("POST").Url("http://h/").Body("")();
  EXPECT_EQ(empty->GetHeader("Content-Length"), "0");
}

TEST_F(RequestBuilderTest, FileBodyInfersMediaType) {
  fs::path json = WriteFile("report.json", "{\"k\":[1,2,3]}");
  auto request = RequestBuilder().Method("PUT").Url("http://h/").File(json)();
  EXPECT_EQ(request->GetHeader("Content-Type"), "application/json");
  EXPECT_EQ(request->GetHeader("Content-Length"), "13");
  ASSERT_NE(request->GetFileBody(), nullptr);
  EXPECT_EQ(BodyBytes(*request->GetBody()), "{\"k\":[1,2,3]}");

  for (const char* name : {"README", ".hidden"}) {
    fs::path path = WriteFile(name, "abc");
    auto other = RequestBuilder().Method("PUT").Url("http://h/").File(path)();
    EXPECT_EQ(other->GetHeader("Content-Type"), "application/text") << name;
  }

  auto not_inferred =
      RequestBuilder().Method("PUT").Url("http://h/").MediaType("text/csv").File(json, false)();
  EXPECT_EQ(not_inferred->GetHeader("Content-Type"), "text/csv");
}

TEST_F(RequestBuilderTest, FileBodySentInChunks) {
  std::string content(10000, 'z');
  content[0] = 'a';
  content.back() = 'b';
  fs::path path = WriteFile("data.bin", content);
  auto request = RequestBuilder().Method("PUT").Url("http://h/").File(path, true, 999)();
  EXPECT_EQ(request->GetHeader("Content-Length"), "10000");
  EXPECT_EQ(BodyBytes(*request->GetBody()), content);
}

TEST_F(RequestBuilderTest, MissingFileLeavesBuilderUnchanged) {
  RequestBuilder builder;
  builder.Method("POST").Url("http://h/").Body("kept").MediaType("text/plain");
  try {
    builder.File(dir_.path() / "missing.json");
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kFileError);
    EXPECT_EQ(error.message(), "Cannot read the file");
  }
  auto request = builder();
  EXPECT_EQ(request->GetData(), "kept");
  EXPECT_EQ(request->GetHeader("Content-Type"), "text/plain");
}

TEST_F(RequestBuilderTest, FormPartsMakeMultipartBody) {
  fs::path file = WriteFile("photo.png", std::string("\x89PNG\r\n\x1a\n\0\0", 10));
  auto request = RequestBuilder()
                     .Method("POST")
                     .Url("http://h/post")
                     .FormData("meta", "{\"n\":1}", "application/json")
                     .FormFile("file", file)();
  const std::string& content_type = request->GetHeader("Content-Type");
  ASSERT_TRUE(std::regex_match(content_type,
                               std::regex("multipart/form-data; boundary=[0-9a-zA-Z]{30}")))
      << content_type;
  std::string boundary = content_type.substr(content_type.find('=') + 1);

  ASSERT_TRUE(request->IsForm());
  ASSERT_EQ(request->GetFormParts().size(), 2u);
  std::string bytes = BodyBytes(*request->GetBody());
  EXPECT_EQ(request->GetHeader("Content-Length"), std::to_string(bytes.size()));
  EXPECT_EQ(bytes.rfind("--" + boundary + "--\r\n"), bytes.size() - boundary.size() - 6);
  EXPECT_NE(bytes.find("name=\"meta\""), std::string::npos);
  EXPECT_NE(bytes.find("filename=\"photo.png\""), std::string::npos);
  EXPECT_NE(bytes.find(std::string("\x89PNG\r\n\x1a\n\0\0", 10)), std::string::npos);
}

TEST_F(RequestBuilderTest, MissingFormFileFailsTheBuild) {
  RequestBuilder builder;
  builder.Method("POST").Url("http://h/").FormFile("file", dir_.path() / "gone.txt");
  try {
    builder();
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kFileError);
    EXPECT_EQ(error.message(), "Cannot read the file");
  }
}

// Names and file names are escaped as browsers escape them; a media type is written as
// given, so one that could break the part's head is refused when the request is built.
TEST_F(RequestBuilderTest, FormPartTextThatWouldBreakItsHeadIsRefused) {
  const std::string nul("\0", 1);
  struct Case {
    std::string name;
    std::string file_name;  // a FormFile part when set
    std::string media_type;
  } cases[] = {
      {"f", "", "text/plain\r\nX-Injected: 1"},
      {"f", "", "text/plain\nX-Injected: 1"},
      {"f", "", "text/plain\r"},
      {"f", "", "text/plain" + nul},
      {"f", "a.txt", "text/plain\r\nX-Injected: 1"},
      {"f" + nul, "", "text/plain"},
      {"f", "a" + nul + ".txt", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.name + "|" + c.file_name + "|" + c.media_type));
    RequestBuilder builder;
    builder.Method("POST").Url("http://h/");
    if (c.file_name.empty()) {
      builder.FormData(c.name, "v", c.media_type);
    } else {
      builder.FormFile(c.name, WriteFile(c.file_name, "text"), c.media_type);
    }
    try {
      builder();
      FAIL() << "built";
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), kRequestError);
      EXPECT_EQ(error.message(), "Invalid header field");
      EXPECT_THAT(error.detail(), ::testing::StartsWith("form part"));
    }
  }
  // Line breaks in names are escaped, not refused.
  auto request = RequestBuilder().Method("POST").Url("http://h/").FormData("a\r\nb", "v")();
  EXPECT_NE(BodyBytes(*request->GetBody()).find("name=\"a%0D%0Ab\""), std::string::npos);
}

TEST_F(RequestBuilderTest, BuildingTwiceGivesIndependentRequests) {
  RequestBuilder builder;
  builder.Method("POST").Url("http://h/post").Header("X-A", "1").FormData("field", "value");
  auto first = builder();
  auto second = builder();
  ASSERT_NE(first, second);

  // Each build draws its own boundary and frames the same parts with it.
  std::string first_type = first->GetHeader("Content-Type");
  std::string second_type = second->GetHeader("Content-Type");
  EXPECT_NE(first_type, second_type);
  ASSERT_TRUE(second->IsForm());
  EXPECT_NE(first->GetBody(), second->GetBody());
  EXPECT_EQ(first->GetFormParts(), second->GetFormParts());
  std::string first_bytes = BodyBytes(*first->GetBody());
  std::string second_bytes = BodyBytes(*second->GetBody());
  EXPECT_EQ(first_bytes.size(), second_bytes.size());
  EXPECT_NE(second_bytes.find(second_type.substr(second_type.find('=') + 1)), std::string::npos);

  // Completing one request (as the session does) leaves the other alone.
  first->SetHeader("User-Agent", "x");
  first->Prepare();
  EXPECT_FALSE(second->HasHeader("User-Agent"));
  EXPECT_FALSE(second->HasHeader("Host"));
  EXPECT_EQ(second->GetHeader("X-A"), "1");
}

}  // namespace
}  // namespace korvo
