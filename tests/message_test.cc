#include "korvo/message.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "korvo/error.h"
#include "korvo/request.h"
#include "korvo/response.h"
#include "korvo/internal/message_access.h"
#include "korvo/internal/utility.h"
#include "support/payload_bytes.h"

namespace korvo {
namespace {

namespace fs = std::filesystem;
using test::HeadBytes;
using test::PayloadBytes;

TEST(MessageTest, SetBodyWithLength) {
  Request request;
  request.SetBody(std::make_shared<StringBody>("hello"), true);
  EXPECT_EQ(request.GetContentLength(), 5);
  EXPECT_EQ(request.GetHeader("Content-Length"), "5");
  EXPECT_EQ(request.GetData(), "hello");

  request.SetBody(nullptr, true);
  EXPECT_EQ(request.GetBody()->GetSize(), 0);
  EXPECT_EQ(request.GetContentLength(), 0);
  EXPECT_EQ(request.GetHeader("Content-Length"), "0");
  EXPECT_EQ(request.GetHeaders().size(), 1u);
}

TEST(MessageTest, SetBodyWithoutLengthOrTwice) {
  Response response;
  response.SetHeader("Content-Length", "12");
  auto body = std::make_shared<StringBody>("abc");
  response.SetBody(body, false);
  EXPECT_EQ(response.GetContentLength(), -1);
  EXPECT_EQ(response.GetHeader("Content-Length"), "12");

  // The body already held: nothing at all happens, even with set_length.
  response.SetBody(body, true);
  EXPECT_EQ(response.GetContentLength(), -1);
  EXPECT_EQ(response.GetHeader("Content-Length"), "12");
}

TEST(MessageTest, SetBodyPassesTheSizeErrorOn) {
  Request request;
  auto form = std::make_shared<FormBody>(
      FormParts{FormPart::NewFile("f", fs::temp_directory_path() / ("absent-" + RandomString(10)))},
      "B");
  EXPECT_THROW(request.SetBody(form, true), Error);
  EXPECT_EQ(request.GetBody(), form);
  EXPECT_EQ(request.GetContentLength(), -1);
  EXPECT_FALSE(request.HasHeader("Content-Length"));
}

TEST(MessageTest, HeaderQuestions) {
  Request typed;
  typed.SetContentType("", "utf-8");
  EXPECT_FALSE(typed.HasHeader("Content-Type"));
  typed.SetContentType("text/plain", "utf-8");
  EXPECT_EQ(typed.GetHeader("Content-Type"), "text/plain; charset=utf-8");

  Response response;
  EXPECT_TRUE(response.IsConnectionKeepAlive());
  EXPECT_EQ(response.GetContentEncoding(), kUnknown);

  const std::pair<const char*, bool> connections[] = {
      {"KEEP-ALIVE", true}, {"keep-alive", true}, {"Close", false},
      {"Keep-Alive, Upgrade", false}, {" Keep-Alive", false}};
  for (const auto& [value, keep_alive] : connections) {
    Response with;
    with.SetHeader("Connection", value);
    EXPECT_EQ(with.IsConnectionKeepAlive(), keep_alive) << value;
  }

  const std::pair<const char*, ContentEncoding> encodings[] = {
      {"gzip", kGzip}, {"deflate", kDeflate}, {"GZIP", kUnknown}, {"gzip, deflate", kUnknown},
      {"br", kUnknown}};
  for (const auto& [value, encoding] : encodings) {
    Response with;
    with.SetHeader("Content-Encoding", value);
    EXPECT_EQ(with.GetContentEncoding(), encoding) << value;
  }
}

TEST(MessageTest, TypedBodyAccess) {
  const fs::path file = fs::temp_directory_path() / ("korvo-message-" + RandomString(10));
  std::ofstream(file) << "abc";
  Response response;
  auto body = std::make_shared<FileBody>(file, true);
  response.SetBody(body, false);
  EXPECT_EQ(response.GetFileBody(), body);
  EXPECT_EQ(response.GetData(), "");
  EXPECT_FALSE(response.IsForm());
  try {
    response.GetFormParts();
    FAIL() << "a file body gave form parts";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kFormError);
    EXPECT_EQ(error.message(), "Not a form body");
  }

  FormParts parts = {FormPart::New("k", "v")};
  response.SetBody(std::make_shared<FormBody>(parts, "B"), false);
  EXPECT_TRUE(fs::exists(file));
  body.reset();
  EXPECT_FALSE(fs::exists(file));  // the last reference to the file body went
  EXPECT_TRUE(response.IsForm());
  EXPECT_EQ(response.GetFormParts(), parts);
  EXPECT_EQ(response.GetFileBody(), nullptr);
}

TEST(MessageTest, HeadPointsIntoTheMessage) {
  Request request;
  request.SetHeader("Accept", "*/*");
  MessageAccess::SetStartLine(request, "GET / HTTP/1.1");
  detail::Payload head = MessageAccess::HeadPayload(request);
  ASSERT_EQ(head.size(), 7u);
  EXPECT_EQ(head[0].data(), static_cast<const void*>(request.GetStartLine().data()));
  EXPECT_EQ(head[2].data(), static_cast<const void*>(request.GetHeaders().begin()->first.data()));
  EXPECT_EQ(head[4].data(), static_cast<const void*>(request.GetHeaders().begin()->second.data()));
  EXPECT_EQ(PayloadBytes(head), "GET / HTTP/1.1\r\nAccept: */*\r\n\r\n");
}

TEST(MessageTest, AddedFieldsAreAllKeptAndWritten) {
  Response response;
  EXPECT_TRUE(response.AddHeader("Set-Cookie", "a=1"));
  EXPECT_TRUE(response.AddHeader("set-cookie", "b=2"));
  EXPECT_FALSE(response.AddHeader("Set-Cookie", ""));
  MessageAccess::SetStartLine(response, "HTTP/1.1 200 OK");
  EXPECT_EQ(response.GetHeader("SET-COOKIE"), "a=1");
  EXPECT_EQ(response.GetHeaders().GetAll("Set-Cookie"), (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_EQ(HeadBytes(response),
            "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nset-cookie: b=2\r\n\r\n");
}

TEST(MessageTest, Dump) {
  Request request;
  request.SetUrl(Url("http://example.test/p"));
  request.SetMethod("GET");
  request.SetHeader("Accept", "*/*");
  request.Prepare();
  EXPECT_EQ(request.Dump(),
            "    > GET /p HTTP/1.1\n"
            "    > Accept: */*\n"
            "    > Host: example.test\n"
            "    > \n");

  request.SetBody(std::make_shared<StringBody>("line1\nline2"), false);
  EXPECT_EQ(request.Dump(),
            "    > GET /p HTTP/1.1\n"
            "    > Accept: */*\n"
            "    > Host: example.test\n"
            "    > \n"
            "    > line1\n"
            "    > line2\n");
}

}  // namespace
}  // namespace korvo
