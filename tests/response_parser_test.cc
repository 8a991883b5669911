// Status lines, responses without a body, and interim responses.
#include "korvo/internal/response_parser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "korvo/body.h"
#include "korvo/response.h"
#include "support/log_capture.h"

namespace korvo {
namespace {

struct Parsed {
  bool ok = false;
  bool finished = false;
  bool safe = false;
  std::uint64_t header_length = 0;
  std::shared_ptr<Response> response = std::make_shared<Response>();
};

Parsed Parse(const std::string& wire, bool ignore_body = false, bool stream = false) {
  Parsed out;
  ResponseParser parser;
  parser.Init(out.response.get(), stream);
  parser.SetIgnoreBody(ignore_body);
  out.ok = parser.Parse(wire.data(), wire.size());
  out.finished = parser.IsFinished();
  out.safe = parser.IsFramingSafe();
  out.header_length = parser.GetHeaderLength();
  return out;
}

// The status line followed by an empty head.
Parsed ParseStatus(const std::string& line) { return Parse(line + "\r\nContent-Length: 0\r\n\r\n"); }

TEST(ResponseStatusLine, AcceptedForms) {
  struct Case {
    const char* line;
    int status;
    const char* reason;
  } cases[] = {
      {"HTTP/1.1 404 Not Found", 404, "Not Found"},
      {"HTTP/1.0 200 OK", 200, "OK"},
      {"HTTP/1.1  200  OK", 200, "OK"},
      {"HTTP/1.1 404 Not  Found", 404, "Not  Found"},
      {"HTTP/1.1 204", 204, ""},
      {"HTTP/1.1 200 ", 200, ""},
      {"HTTP/1.1 2xx OK", 2, "OK"},
      {"HTTP/1.9 -7 Odd", -7, "Odd"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Parsed p = ParseStatus(c.line);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.response->GetStatus(), c.status);
    EXPECT_EQ(p.response->GetReason(), c.reason);
    EXPECT_EQ(p.response->GetStartLine(), c.line);
    EXPECT_EQ(p.response->GetVersion(), std::string(c.line, 8));
  }
}

TEST(ResponseStatusLine, RejectedFormsAreLoggedOnce) {
  struct Case {
    const char* line;
    const char* logged;
  } cases[] = {
      {"HTTP/1.1", "Invalid HTTP response status line: HTTP/1.1"},
      {"HTTP/2 200", "Invalid HTTP version: HTTP/2"},
      {"http/1.1 200 OK", "Invalid HTTP version: http/1.1"},
      {" HTTP/1.1 200 OK", "Invalid HTTP version: "},
      {"HTTP/1.1 OK", "Invalid HTTP status code: OK"},
      {"HTTP/1.1 99999999999 OK", "Invalid HTTP status code: 99999999999"},
      {"HTTP/1.1 2147483648 OK", "Invalid HTTP status code: 2147483648"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    test::LogCapture log;
    EXPECT_FALSE(ParseStatus(c.line).ok);
    EXPECT_EQ(log.Count("ERRO", c.logged), 1u);
  }
  EXPECT_EQ(ParseStatus("HTTP/1.1 2147483647 OK").response->GetStatus(), 2147483647);
  EXPECT_EQ(ParseStatus("HTTP/1.1 -2147483648 OK").response->GetStatus(), -2147483647 - 1);
}

TEST(ResponseNoBody, HeadResponseEndsWithItsHead) {
  Parsed p = Parse("HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n", true);
  EXPECT_TRUE(p.finished);
  EXPECT_TRUE(p.safe);
  EXPECT_EQ(p.response->GetData(), "");
  EXPECT_EQ(p.response->GetContentLength(), 1234);
  EXPECT_EQ(p.response->GetHeader("Content-Length"), "1234");

  // Same head without SetIgnoreBody waits for the body.
  EXPECT_FALSE(Parse("HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n").finished);

  // A chunked HEAD response carries no chunks either.
  EXPECT_TRUE(Parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", true).finished);
}

TEST(ResponseNoBody, BytesAfterABodilessResponseAreSurplus) {
  Parsed p = Parse("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", true);
  EXPECT_TRUE(p.finished);
  EXPECT_FALSE(p.safe);
  EXPECT_EQ(p.response->GetData(), "");
}

TEST(ResponseNoBody, StreamedHeadResponseGetsAnEmptyFile) {
  Parsed p = Parse("HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n", true, true);
  ASSERT_TRUE(p.finished);
  auto file = p.response->GetFileBody();
  ASSERT_NE(file, nullptr);
  std::filesystem::path path = file->GetPath();
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  file.reset();
  p.response.reset();
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ResponseNoBody, StatusesWithoutBodyIgnoreTheirFraming) {
  const char* heads[] = {
      "HTTP/1.1 304 Not Modified\r\nContent-Length: 100\r\n\r\n",
      "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n",
      "HTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked\r\n\r\n",
      "HTTP/1.1 304 Not Modified\r\n\r\n",
  };
  for (const char* head : heads) {
    SCOPED_TRACE(head);
    Parsed p = Parse(head);
    EXPECT_TRUE(p.finished);
    EXPECT_TRUE(p.safe);
    EXPECT_EQ(p.response->GetData(), "");
  }
}

TEST(ResponseInterim, InterimResponsesAreSkipped) {
  const std::string interim =
      "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n"
      "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n";
  const std::string final_head = "HTTP/1.1 201\r\nContent-Length: 2\r\n\r\n";
  Parsed p = Parse(interim + final_head + "ok");
  ASSERT_TRUE(p.finished);
  EXPECT_TRUE(p.safe);
  EXPECT_EQ(p.response->GetStatus(), 201);
  EXPECT_EQ(p.response->GetReason(), "") << "the interim reason does not leak";
  EXPECT_EQ(p.response->GetStartLine(), "HTTP/1.1 201");
  EXPECT_FALSE(p.response->HasHeader("X-Interim"));
  EXPECT_FALSE(p.response->HasHeader("Link"));
  EXPECT_EQ(p.response->GetData(), "ok");
  EXPECT_EQ(p.header_length, interim.size() + final_head.size());
}

TEST(ResponseInterim, InterimFieldsDoNotFrameTheFinalResponse) {
  Parsed p = Parse("HTTP/1.1 100 Continue\r\nContent-Length: 5\r\n\r\n"
                   "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  EXPECT_TRUE(p.finished);
  EXPECT_EQ(p.response->GetData(), "ok");
  EXPECT_EQ(p.response->GetContentLength(), 2);
}

TEST(ResponseInterim, InterimResponseAloneIsNotFinished) {
  Parsed p = Parse("HTTP/1.1 100 Continue\r\n\r\n");
  EXPECT_TRUE(p.ok);
  EXPECT_FALSE(p.finished);
  EXPECT_FALSE(p.response->GetStatus() == 100);
}

TEST(ResponseInterim, SwitchingProtocolsEndsTheExchangeAndTheFraming) {
  Parsed p = Parse("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n");
  EXPECT_TRUE(p.finished);
  EXPECT_FALSE(p.safe);
  EXPECT_EQ(p.response->GetStatus(), 101);
}

}  // namespace
}  // namespace korvo
