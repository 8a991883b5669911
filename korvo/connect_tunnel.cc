#include "korvo/internal/connect_tunnel.h"

#include <utility>

#include "korvo/internal/parser.h"
#include "korvo/internal/utility.h"

namespace korvo {

namespace {

// The longest reason phrase kept in a failure.
constexpr std::size_t kMaxReason = 100;

bool IsUnsafeInLine(char c) { return c == '\r' || c == '\n' || c == '\0' || c == ' '; }

// The proxy's words, as a failure may quote them: control bytes dropped, cut short.
std::string Printable(std::string_view text) {
  std::string printable;
  for (char c : text.substr(0, kMaxReason)) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) printable += c;
  }
  return printable;
}

}  // namespace

ConnectTunnel::ConnectTunnel(std::string_view host, std::uint16_t port, std::string_view user,
                             std::string_view password) {
  if (host.empty() || port == 0) {
    Fail("no destination for the tunnel");
    return;
  }
  for (char c : host) {
    if (IsUnsafeInLine(c)) {
      Fail("the destination's name cannot go into a CONNECT request");
      return;
    }
  }
  std::string authority = host.find(':') != std::string_view::npos
                              ? "[" + std::string(host) + "]"
                              : std::string(host);
  authority += ':';
  authority += std::to_string(port);
  output_ = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (!user.empty()) {
    std::string pair(user);
    pair += ':';
    pair += password;
    output_ += "Proxy-Authorization: Basic " + Base64Encode(pair) + "\r\n";
  }
  output_ += "\r\n";
}

std::string ConnectTunnel::TakeOutput() { return std::exchange(output_, std::string()); }

ConnectTunnel::State ConnectTunnel::Feed(const char* data, std::size_t size) {
  if (state_ == State::kOpen) {
    return size > 0 ? Fail("the proxy sent bytes after its CONNECT answer") : state_;
  }
  if (state_ == State::kFailed) return state_;
  input_.append(data, size);
  while (state_ == State::kWaiting) {
    std::size_t end = input_.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (input_.size() > kMaxHeadLength) return Fail("the proxy's answer head is too large");
      break;
    }
    if (end + 4 > kMaxHeadLength) return Fail("the proxy's answer head is too large");
    if (TakeHead(end + 4)) break;
  }
  return state_;
}

bool ConnectTunnel::TakeHead(std::size_t end) {
  std::string_view head(input_.data(), end);
  std::string_view line = head.substr(0, head.find("\r\n"));
  // "HTTP/1.x NNN reason"
  if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ' ||
      (line.size() > 12 && line[12] != ' ')) {
    Fail("the proxy's answer is not HTTP");
    return true;
  }
  int status = 0;
  for (std::size_t i = 9; i < 12; ++i) {
    if (line[i] < '0' || line[i] > '9') {
      Fail("the proxy's answer is not HTTP");
      return true;
    }
    status = status * 10 + (line[i] - '0');
  }
  if (status >= 100 && status < 200 && status != 101) {
    input_.erase(0, end);  // an interim answer: the final one follows
    return false;
  }
  status_ = status;
  if (status < 200 || status >= 300) {
    std::string reason = line.size() > 13 ? Printable(line.substr(13)) : std::string();
    Fail("Proxy answered " + std::to_string(status) + (reason.empty() ? "" : " " + reason));
    return true;
  }
  input_.erase(0, end);
  if (!input_.empty()) {
    Fail("the proxy sent bytes after its CONNECT answer");
    return true;
  }
  state_ = State::kOpen;
  return true;
}

ConnectTunnel::State ConnectTunnel::Fail(std::string why) {
  state_ = State::kFailed;
  failure_ = std::move(why);
  output_.clear();
  input_.clear();
  return state_;
}

}  // namespace korvo
