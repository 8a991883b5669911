// Tests of the SOCKS5 negotiation as bytes: what korvo sends for each target and
// method, and every way a proxy's answer can be refused.
#include "korvo/internal/socks5.h"

#include <string>

#include <gtest/gtest.h>

namespace korvo {
namespace {

using State = Socks5Handshake::State;
using namespace std::string_literals;

// The proxy's answers fed one byte at a time: a reply split anywhere reads the same.
State FeedSlowly(Socks5Handshake& handshake, const std::string& bytes) {
  State state = handshake.GetState();
  for (char byte : bytes) state = handshake.Feed(&byte, 1);
  return state;
}

TEST(Socks5Test, NegotiatesEachTargetAndMethod) {
  struct Case {
    const char* name;
    const char* host;
    const char* user;
    std::string greeting;
    std::string method;   // the proxy's choice
    std::string login;    // what korvo sends for user/password, then the proxy's answer
    std::string login_reply;
    std::string request;  // the CONNECT korvo sends
    std::string reply;
  } cases[] = {
      {"IPv4, no authentication", "127.0.0.1", "", "\x05\x01\x00"s, "\x05\x00"s, "", "",
       "\x05\x01\x00\x01\x7f\x00\x00\x01\x01\xbb"s, "\x05\x00\x00\x01\x0a\x00\x00\x01\x04\x38"s},
      {"name for the proxy to resolve, user and password", "example.org", "u", "\x05\x02\x00\x02"s,
       "\x05\x02"s, "\x01\x01u\x02pw"s, "\x01\x00"s,
       "\x05\x01\x00\x03\x0b" "example.org\x01\xbb"s, "\x05\x00\x00\x03\x03" "abc\x00\x50"s},
      {"IPv6, credentials offered but not asked for", "::1", "u", "\x05\x02\x00\x02"s,
       "\x05\x00"s, "", "", "\x05\x01\x00\x04"s + std::string(15, '\0') + "\x01\x01\xbb"s,
       "\x05\x00\x00\x04"s + std::string(16, '\0') + "\x00\x00"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Socks5Handshake handshake(c.host, 443, c.user, *c.user ? "pw" : "");
    EXPECT_EQ(handshake.TakeOutput(), c.greeting);
    EXPECT_EQ(handshake.TakeOutput(), "");
    State state = FeedSlowly(handshake, c.method);
    if (!c.login.empty()) {
      EXPECT_EQ(state, State::kAuthentication);
      EXPECT_EQ(handshake.TakeOutput(), c.login);
      state = FeedSlowly(handshake, c.login_reply);
    }
    EXPECT_EQ(state, State::kReply);
    EXPECT_EQ(handshake.TakeOutput(), c.request);
    EXPECT_EQ(FeedSlowly(handshake, c.reply), State::kDone);
    EXPECT_TRUE(handshake.Done());
  }
}

TEST(Socks5Test, RefusesWhatAProxyMustNotSay) {
  struct Case {
    const char* user;  // empty: no credentials offered
    std::string answers;
    const char* failure;
  } cases[] = {
      {"", "\x04\x00"s, "the proxy does not speak SOCKS5"},
      {"", "\x05\xff"s, "the proxy requires authentication"},
      {"u", "\x05\xff"s, "the proxy accepts none of the offered authentication methods"},
      {"", "\x05\x02"s, "the proxy chose an authentication method korvo did not offer"},
      {"u", "\x05\x01"s, "the proxy chose an authentication method korvo did not offer"},
      {"u", "\x05\x02\x01\x01"s, "the proxy refused the user name or password"},
      {"u", "\x05\x02\x05\x00"s, "the proxy refused the user name or password"},
      {"", "\x05\x00\x05\x05\x00\x01"s, "refused: connection refused by the destination host"},
      {"", "\x05\x00\x05\x02\x00\x01"s, "refused: connection not allowed by ruleset"},
      {"", "\x05\x00\x05\x42\x00\x01"s, "refused: unknown reply 0x42"},
      {"", "\x05\x00\x05\x00\x00\x09"s, "the proxy's reply has an unknown address type"},
      {"", "\x05\x00\x04\x00\x00\x01"s, "the proxy's reply is not SOCKS5"},
      {"", "\x05\x00\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00HTTP/1.1 200 OK"s,
       "the proxy sent bytes after its reply"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failure);
    Socks5Handshake handshake("127.0.0.1", 80, c.user, "secret");
    handshake.TakeOutput();
    EXPECT_EQ(handshake.Feed(c.answers.data(), c.answers.size()), State::kFailed);
    EXPECT_EQ(handshake.GetFailure(), c.failure);
    EXPECT_EQ(handshake.GetFailure().find("secret"), std::string::npos);
  }

  // A reply cut short waits for the rest: the connection's end or time limit decides.
  Socks5Handshake truncated("127.0.0.1", 80);
  EXPECT_EQ(FeedSlowly(truncated, "\x05\x00\x05\x00\x00\x01\x7f"s), State::kReply);

  // What cannot be said in SOCKS5 fails before a byte is sent.
  for (auto [host, user] : {std::pair<std::string, std::string>{std::string(256, 'a'), ""},
                            {"", ""},
                            {"example.org", std::string(256, 'u')}}) {
    Socks5Handshake unsendable(host, 80, user, "pw");
    EXPECT_TRUE(unsendable.Failed());
    EXPECT_EQ(unsendable.TakeOutput(), "");
  }
}

}  // namespace
}  // namespace korvo
