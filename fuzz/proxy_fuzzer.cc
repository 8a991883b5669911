// What a hostile proxy (or a hostile proxy setting) can hand korvo: proxy URLs and
// no-proxy lists as text, SOCKS5 replies and CONNECT answers as bytes in pieces.
// Whatever the input, nothing crashes, a failure says why, a SOCKS5 handshake is done
// only with every byte accounted for, a tunnel opens only on a 2xx, and no reason ever
// quotes the credentials.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "korvo/internal/connect_tunnel.h"
#include "korvo/internal/proxy.h"
#include "korvo/internal/socks5.h"
#include "korvo/internal/utility.h"
#include "korvo/url.h"

namespace {

constexpr const char* kSecret = "s3cr3t-pw";

void FuzzProxyUrl(FuzzedDataProvider& provider) {
  std::string text = provider.ConsumeRemainingBytesAsString();
  std::string why;
  std::optional<korvo::ProxyUrl> proxy = korvo::ProxyUrl::Parse(text, &why);
  if (!proxy) {
    FUZZ_CHECK(!why.empty());
    return;
  }
  FUZZ_CHECK(!proxy->host.empty());
  FUZZ_CHECK(proxy->port != 0);
  // The host (all that a record prints besides the port) holds nothing of the
  // credentials' part of the text, and nothing that could break a request line.
  FUZZ_CHECK(proxy->host.find_first_of("@ \t\r\n") == std::string::npos);
}

void FuzzNoProxy(FuzzedDataProvider& provider) {
  std::string host = provider.ConsumeRandomLengthString(64);
  auto port = provider.ConsumeIntegral<std::uint16_t>();
  korvo::NoProxy list(provider.ConsumeRemainingBytesAsString());
  bool direct = list.Matches(host, port);
  if (list.empty()) FUZZ_CHECK(!direct);
}

template <typename Handshake, typename Done>
void FeedInPieces(FuzzedDataProvider& provider, Handshake& handshake, Done done) {
  while (provider.remaining_bytes() > 0 && !handshake.TakeOutput().empty()) {
  }
  while (provider.remaining_bytes() > 0) {
    std::string piece = provider.ConsumeRandomLengthString(64);
    handshake.Feed(piece.data(), piece.size());
    handshake.TakeOutput();
    if (done(handshake)) break;
  }
  FUZZ_CHECK(handshake.GetFailure().find(kSecret) == std::string::npos);
}

void FuzzSocks5(FuzzedDataProvider& provider) {
  bool named = provider.ConsumeBool();
  bool login = provider.ConsumeBool();
  korvo::Socks5Handshake handshake(named ? "example.org" : "192.0.2.1", 443,
                                   login ? "user" : "", kSecret);
  FeedInPieces(provider, handshake, [](korvo::Socks5Handshake& h) {
    if (h.Failed()) FUZZ_CHECK(!h.GetFailure().empty());
    return h.Failed();
  });
}

void FuzzConnect(FuzzedDataProvider& provider) {
  korvo::ConnectTunnel tunnel("example.org", 443, "user", kSecret);
  FeedInPieces(provider, tunnel, [](korvo::ConnectTunnel& t) {
    using State = korvo::ConnectTunnel::State;
    if (t.GetState() == State::kOpen) FUZZ_CHECK(t.GetStatus() >= 200 && t.GetStatus() < 300);
    if (t.GetState() == State::kFailed) FUZZ_CHECK(!t.GetFailure().empty());
    return t.GetState() == State::kFailed;
  });
}

// "Proxy-Authorization" reaches a forwarding proxy only, once, and the proxy URL's
// credentials replace the caller's; whatever the head, nothing else carries it.
void FuzzHead(FuzzedDataProvider& provider) {
  bool forward = provider.ConsumeBool();
  bool credentials = provider.ConsumeBool();
  std::string head = provider.ConsumeRemainingBytesAsString();
  korvo::Route route;
  if (forward) {
    korvo::ProxyUrl proxy;
    proxy.host = "proxy.example";
    proxy.port = 3128;
    if (credentials) {
      proxy.user = "user";
      proxy.password = kSecret;
    }
    route.proxy = proxy;
  }
  // Text without a line end is no head, and is left as it is.
  bool has_lines = head.find("\r\n") != std::string::npos;
  korvo::AdaptHeadToRoute(head, korvo::Url("http://origin.example:8080/"), route);
  std::size_t fields = 0;
  for (std::size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
    std::string line = korvo::AsciiLower(head.substr(at + 2, 20));
    if (line == "proxy-authorization:") ++fields;
  }
  if (!forward) FUZZ_CHECK(fields == 0);
  if (forward && credentials && has_lines) FUZZ_CHECK(fields == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  switch (provider.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: FuzzProxyUrl(provider); break;
    case 1: FuzzNoProxy(provider); break;
    case 2: FuzzSocks5(provider); break;
    case 3: FuzzConnect(provider); break;
    default: FuzzHead(provider); break;
  }
  return 0;
}
