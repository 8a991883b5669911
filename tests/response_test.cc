#include "korvo/response.h"

#include <string>

#include <gtest/gtest.h>

#include "korvo/internal/message_access.h"
#include "support/payload_bytes.h"

namespace korvo {
namespace {

TEST(ResponseTest, StartLineAndServer) {
  struct Case {
    int status;
    const char* reason;
    const char* line;
  };
  const Case cases[] = {
      {200, "", "HTTP/1.1 200 OK"},
      {404, "", "HTTP/1.1 404 Not Found"},
      {418, "", "HTTP/1.1 418 "},
      {418, "Teapot", "HTTP/1.1 418 Teapot"},
      {503, "", "HTTP/1.1 503 Service Unavailable"},
      {-1, "", "HTTP/1.1 -1 "},
  };
  for (const auto& c : cases) {
    Response response;
    ResponseAccess::SetStatus(response, c.status);
    ResponseAccess::SetReason(response, c.reason);
    response.Prepare();
    EXPECT_EQ(response.GetStartLine(), c.line);
    EXPECT_EQ(response.GetHeader("Server"), "Korvo/0.2.0");
  }
}

TEST(ResponseTest, PreparedOnce) {
  Response response;
  EXPECT_EQ(response.GetStatus(), 200);
  EXPECT_EQ(response.GetReason(), "");
  response.SetHeader("Content-Length", "0");
  response.Prepare();
  ResponseAccess::SetStatus(response, 500);
  response.Prepare();
  EXPECT_EQ(test::HeadBytes(response), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nServer: Korvo/0.2.0\r\n\r\n");
}

}  // namespace
}  // namespace korvo
