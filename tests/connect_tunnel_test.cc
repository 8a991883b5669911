// Tests of opening a CONNECT tunnel as bytes: the request, the credentials that go to
// the proxy only, and the answers a tunnel must not be opened on.
#include "korvo/internal/connect_tunnel.h"

#include <string>

#include <gtest/gtest.h>

#include "korvo/internal/parser.h"

namespace korvo {
namespace {

using State = ConnectTunnel::State;

TEST(ConnectTunnelTest, RequestNamesTheOriginAndCarriesProxyCredentialsOnly) {
  ConnectTunnel plain("example.org", 443);
  EXPECT_EQ(plain.TakeOutput(),
            "CONNECT example.org:443 HTTP/1.1\r\nHost: example.org:443\r\n\r\n");
  EXPECT_EQ(plain.TakeOutput(), "");
  ConnectTunnel v6("::1", 8443, "u@corp", "p:w");
  EXPECT_EQ(v6.TakeOutput(),
            "CONNECT [::1]:8443 HTTP/1.1\r\nHost: [::1]:8443\r\n"
            "Proxy-Authorization: Basic dUBjb3JwOnA6dw==\r\n\r\n");
  for (const char* host : {"a\r\nX: 1", "a b", ""}) {
    ConnectTunnel refused(host, 443);
    EXPECT_EQ(refused.GetState(), State::kFailed) << host;
    EXPECT_EQ(refused.TakeOutput(), "");
  }
}

TEST(ConnectTunnelTest, OpensOnlyOnACleanTwoHundred) {
  struct Case {
    std::string answer;
    State state;
    int status;
    const char* failure;
  } cases[] = {
      {"HTTP/1.1 200 Connection established\r\n\r\n", State::kOpen, 200, ""},
      // The fields of a 2xx answer mean nothing for the tunnel, a length included.
      {"HTTP/1.0 200 OK\r\nContent-Length: 10\r\nProxy-Agent: x\r\n\r\n", State::kOpen, 200, ""},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 Tunnel\r\n\r\n", State::kOpen, 204, ""},
      {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n",
       State::kFailed, 407, "Proxy answered 407 Proxy Authentication Required"},
      {"HTTP/1.1 502\r\n\r\n", State::kFailed, 502, "Proxy answered 502"},
      {"HTTP/1.1 403 No\x01\x7fpe\r\n\r\n", State::kFailed, 403, "Proxy answered 403 Nope"},
      // An answer injected for the origin before it was spoken to.
      {"HTTP/1.1 200 OK\r\n\r\nHTTP/1.1 200 OK\r\n\r\nforged", State::kFailed, 200,
       "the proxy sent bytes after its CONNECT answer"},
      {"SSH-2.0-OpenSSH\r\n\r\n", State::kFailed, 0, "the proxy's answer is not HTTP"},
      {"HTTP/1.1 2x0 OK\r\n\r\n", State::kFailed, 0, "the proxy's answer is not HTTP"},
      {"HTTP/1.1 200", State::kWaiting, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    for (bool slowly : {false, true}) {
      ConnectTunnel tunnel("example.org", 443);
      tunnel.TakeOutput();
      State state = tunnel.GetState();
      if (slowly) {
        for (char byte : c.answer) state = tunnel.Feed(&byte, 1);
      } else {
        state = tunnel.Feed(c.answer.data(), c.answer.size());
      }
      EXPECT_EQ(state, c.state);
      EXPECT_EQ(tunnel.GetStatus(), c.status);
      EXPECT_EQ(tunnel.GetFailure(), c.failure);
    }
  }

  // Bytes after the tunnel opened are the origin's, not the handshake's to take.
  ConnectTunnel open("example.org", 443);
  open.Feed("HTTP/1.1 200 OK\r\n\r\n", 19);
  EXPECT_EQ(open.Feed("x", 1), State::kFailed);

  // A head without end is bounded like any response head.
  ConnectTunnel endless("example.org", 443);
  std::string field = "HTTP/1.1 200 OK\r\n" + std::string(kMaxHeadLength, 'x');
  EXPECT_EQ(endless.Feed(field.data(), field.size()), State::kFailed);
  EXPECT_EQ(endless.GetFailure(), "the proxy's answer head is too large");
}

}  // namespace
}  // namespace korvo
