// Socks5Handshake: the client's side of a SOCKS5 negotiation (RFC 1928, with the
// user/password method of RFC 1929), as bytes in and bytes out, free of sockets: the
// connection writes what TakeOutput() hands it and feeds what it reads to Feed() until
// the handshake is done or has failed. What the proxy sends is bounded by the protocol
// (at most 262 bytes a reply), so nothing it says can make this grow.
//
// Thread rules: a plain object, used by one thread at a time.
#ifndef KORVO_INTERNAL_SOCKS5_H_
#define KORVO_INTERNAL_SOCKS5_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvo {

class Socks5Handshake {
 public:
  enum class State { kMethod, kAuthentication, kReply, kDone, kFailed };

  // Asks the proxy to connect to `host` and `port`. `host` is an IPv4 or IPv6 address
  // (for socks5, where korvo resolved the name) or a name of up to 255 bytes (socks5h,
  // resolved by the proxy). Credentials (each up to 255 bytes) offer the user/password
  // method besides none. A target or credentials that do not fit fail at once.
  Socks5Handshake(std::string_view host, std::uint16_t port, std::string_view user = {},
                  std::string_view password = {});

  // The bytes to write next (the greeting first, then the answers); empty when the
  // handshake waits for the proxy.
  std::string TakeOutput();

  // Takes bytes read from the proxy. Bytes beyond the final reply fail the handshake:
  // nothing may come from the far end before the client has spoken.
  State Feed(const char* data, std::size_t size);

  State GetState() const { return state_; }
  bool Done() const { return state_ == State::kDone; }
  bool Failed() const { return state_ == State::kFailed; }
  // Why it failed, in words a person can act on ("refused: connection refused by the
  // destination host"); never the credentials.
  const std::string& GetFailure() const { return failure_; }

 private:
  State Fail(std::string why);
  // Parses what input_ holds for the current state; false while it needs more bytes.
  bool Step();
  void QueueConnect();

  std::string target_;  // ATYP, address and port of the CONNECT request
  std::string user_;
  std::string password_;
  std::string output_;
  std::string input_;
  State state_ = State::kMethod;
  std::string failure_;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_SOCKS5_H_
