// ConnectTunnel: the client's side of opening a tunnel through an HTTP proxy with
// CONNECT (RFC 9110 9.3.6), as bytes in and bytes out, free of sockets, like
// Socks5Handshake. The answer's head is bounded as any response head; its fields and
// any body it announces are ignored for a 2xx, as the RFC asks. A refusal is never
// shown as the origin's response: it becomes a failure naming the proxy's status.
//
// Thread rules: a plain object, used by one thread at a time.
#ifndef KORVO_INTERNAL_CONNECT_TUNNEL_H_
#define KORVO_INTERNAL_CONNECT_TUNNEL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvo {

class ConnectTunnel {
 public:
  enum class State { kWaiting, kOpen, kFailed };

  // A tunnel to `host` (a name, an IPv4 address, or an IPv6 address without brackets)
  // and `port`. With a user, the request carries "Proxy-Authorization: Basic ..." and
  // nothing else does: the credentials go to the proxy only.
  ConnectTunnel(std::string_view host, std::uint16_t port, std::string_view user = {},
                std::string_view password = {});

  // The CONNECT request, once; empty afterwards.
  std::string TakeOutput();

  // Takes bytes read from the proxy. Bytes after the head of a 2xx answer fail the
  // tunnel: the origin has not been spoken to yet, so they can only be the proxy's.
  State Feed(const char* data, std::size_t size);

  State GetState() const { return state_; }
  // The proxy's status once its final answer is in (0 before).
  int GetStatus() const { return status_; }
  // Why it failed: "Proxy answered 407 Proxy Authentication Required", "the proxy's
  // answer is not HTTP", ... (the proxy's own reason phrase quoted, cut and made
  // printable); never the credentials.
  const std::string& GetFailure() const { return failure_; }

 private:
  State Fail(std::string why);
  // Handles the head that ends at `end` in input_; false while more heads may follow.
  bool TakeHead(std::size_t end);

  std::string output_;
  std::string input_;
  State state_ = State::kWaiting;
  int status_ = 0;
  std::string failure_;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_CONNECT_TUNNEL_H_
