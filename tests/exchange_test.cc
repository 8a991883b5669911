// The hop rules, free of any session: what a hop hands its driver, when a failed hop
// is sent again, and where a response leads next.
#include "korvo/internal/exchange.h"

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "korvo/internal/message_access.h"
#include "korvo/request.h"
#include "korvo/response.h"
#include "korvo/url.h"

namespace korvo {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

Exchange MakeExchange(const std::string& url, const std::string& method = "GET") {
  Exchange exchange;
  exchange.request = std::make_shared<Request>();
  exchange.request->SetMethod(method).SetUrl(Url(url));
  exchange.request->Prepare();
  return exchange;
}

std::unique_ptr<Response> Redirect(int status, const std::string& location) {
  auto response = std::make_unique<Response>();
  ResponseAccess::SetStatus(*response, status);
  response->SetHeader("Location", location);
  return response;
}

// A request's own limit beats the session's, which beats the default.
TEST(HopOptionsTest, TimeLimitsTakeTheFirstThatIsSet) {
  struct Case {
    milliseconds own, session, expected;
  };
  const Case cases[] = {
      {milliseconds(0), milliseconds(0), seconds(kDefaultConnectTimeout)},
      {milliseconds(0), milliseconds(700), milliseconds(700)},
      {milliseconds(250), milliseconds(700), milliseconds(250)},
  };
  for (const Case& c : cases) {
    Exchange exchange = MakeExchange("http://127.0.0.1/");
    exchange.options.connect_timeout = exchange.options.read_timeout = c.own;
    exchange.settings.connect_timeout = exchange.settings.read_timeout = c.session;
    HopOptions hop = MakeHopOptions(exchange);
    EXPECT_EQ(hop.connect_timeout, c.expected);
    EXPECT_EQ(hop.read_timeout, c.expected);
  }
}

TEST(HopOptionsTest, CarriesTheExchangeWhole) {
  Exchange exchange = MakeExchange("http://127.0.0.1/");
  exchange.deadline = std::chrono::steady_clock::now() + seconds(5);
  exchange.connect_address = "127.0.0.2";
  exchange.options.max_body_size = 99;
  exchange.settings.decompress = true;
  HopOptions hop = MakeHopOptions(exchange);
  EXPECT_EQ(hop.buffer_size, kDefaultBufferSize);  // the session set none
  EXPECT_EQ(hop.deadline, exchange.deadline);
  EXPECT_EQ(hop.connect_address, "127.0.0.2");
  EXPECT_EQ(hop.max_body_size, 99u);
  EXPECT_TRUE(hop.decode);
  EXPECT_FALSE(hop.discard);  // redirects are not followed

  exchange.settings.buffer_size = 4096;
  exchange.settings.max_redirects = 3;
  hop = MakeHopOptions(exchange);
  EXPECT_EQ(hop.buffer_size, 4096u);
  ASSERT_TRUE(hop.discard);
  EXPECT_EQ(hop.max_discarded, kMaxRedirectBody);
  EXPECT_TRUE(hop.discard(*Redirect(302, "/elsewhere")));
  EXPECT_FALSE(hop.discard(*Redirect(200, "/elsewhere")));
}

// The decoded size is bounded by default only where the body is kept in memory; a
// sink takes the body instead of a file.
TEST(HopOptionsTest, DestinationDecidesStreamingAndTheDecodedLimit) {
  struct Case {
    bool stream, sink;
    bool expected_stream;
    std::uint64_t expected_limit;
  };
  const Case cases[] = {
      {false, false, false, kDefaultMaxDecodedInMemory},
      {true, false, true, 0},
      {false, true, false, 0},
      {true, true, false, 0},
  };
  for (const Case& c : cases) {
    Exchange exchange = MakeExchange("http://127.0.0.1/");
    exchange.options.stream = c.stream;
    if (c.sink) exchange.options.sink = [](const char*, std::size_t) { return true; };
    HopOptions hop = MakeHopOptions(exchange);
    EXPECT_EQ(hop.stream, c.expected_stream) << c.stream << c.sink;
    EXPECT_EQ(hop.max_decoded_size, c.expected_limit) << c.stream << c.sink;
  }
  Exchange exchange = MakeExchange("http://127.0.0.1/");
  exchange.settings.max_decoded_size = 5;
  EXPECT_EQ(MakeHopOptions(exchange).max_decoded_size, 5u);
}

TEST(HopRulesTest, OnlyAnIdempotentRequestLostOnAReusedConnectionIsSentAgain) {
  const Error failed(kReadError, "Socket read error");
  struct Case {
    const char* method;
    Error error;
    bool can_retry, retried, cancelled, stopping, expected;
  };
  const Case cases[] = {
      {"GET", failed, true, false, false, false, true},
      {"PUT", failed, true, false, false, false, true},
      {"POST", failed, true, false, false, false, false},
      {"GET", Error(), true, false, false, false, false},
      {"GET", failed, false, false, false, false, false},
      {"GET", failed, true, true, false, false, false},
      {"GET", failed, true, false, true, false, false},
      {"GET", failed, true, false, false, true, false},
  };
  for (const Case& c : cases) {
    Exchange exchange = MakeExchange("http://127.0.0.1/", c.method);
    exchange.retried = c.retried;
    exchange.cancelled = c.cancelled;
    EXPECT_EQ(ShouldRetry(exchange, c.error, c.can_retry, c.stopping), c.expected)
        << c.method << c.can_retry << c.retried << c.cancelled << c.stopping;
  }
}

TEST(HopRulesTest, NextHopFollowsWithinTheRules) {
  Exchange exchange = MakeExchange("https://127.0.0.1/a");
  exchange.settings.max_redirects = 2;
  exchange.hops = 1;
  Error error;

  std::unique_ptr<Response> moved = Redirect(301, "/b");
  std::shared_ptr<Request> next = NextHop(exchange, *moved, error);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->GetUrl().ToString(), "https://127.0.0.1/b");
  EXPECT_EQ(error.code(), kNoError);

  Response final_response;
  EXPECT_EQ(NextHop(exchange, final_response, error), nullptr);
  EXPECT_EQ(error.code(), kNoError);
  EXPECT_EQ(final_response.GetUrl().ToString(), "https://127.0.0.1/a");
  EXPECT_EQ(final_response.GetRedirectCount(), 1);

  std::unique_ptr<Response> downgrade = Redirect(302, "http://127.0.0.1/c");
  EXPECT_EQ(NextHop(exchange, *downgrade, error), nullptr);
  EXPECT_EQ(error.message(), "Insecure redirect");
  exchange.settings.allow_downgrade = true;
  error = Error();
  EXPECT_NE(NextHop(exchange, *downgrade, error), nullptr);

  exchange.hops = 2;
  error = Error();
  EXPECT_EQ(NextHop(exchange, *moved, error), nullptr);
  EXPECT_EQ(error.message(), "Too many redirects");
}

}  // namespace
}  // namespace korvo
