#include "korvo/internal/socks5.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include <boost/asio/ip/address.hpp>

namespace korvo {

namespace {

constexpr char kVersion = 0x05;
constexpr char kNoAuthentication = 0x00;
constexpr char kUserPassword = 0x02;
constexpr unsigned char kNoAcceptableMethod = 0xFF;
constexpr char kUserPasswordVersion = 0x01;
constexpr char kConnect = 0x01;
constexpr char kIpv4 = 0x01;
constexpr char kDomain = 0x03;
constexpr char kIpv6 = 0x04;

unsigned char Byte(const std::string& bytes, std::size_t at) {
  return static_cast<unsigned char>(bytes[at]);
}

std::string ReplyMeaning(unsigned char code) {
  switch (code) {
    case 0x01: return "general SOCKS server failure";
    case 0x02: return "connection not allowed by ruleset";
    case 0x03: return "network unreachable";
    case 0x04: return "host unreachable";
    case 0x05: return "connection refused by the destination host";
    case 0x06: return "TTL expired";
    case 0x07: return "command not supported";
    case 0x08: return "address type not supported";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "unknown reply 0x%02X", code);
      return text;
    }
  }
}

}  // namespace

Socks5Handshake::Socks5Handshake(std::string_view host, std::uint16_t port,
                                 std::string_view user, std::string_view password)
    : user_(user), password_(password) {
  boost::system::error_code not_address;
  boost::asio::ip::address address =
      boost::asio::ip::make_address(std::string(host), not_address);
  if (!not_address && address.is_v4()) {
    auto bytes = address.to_v4().to_bytes();
    target_ += kIpv4;
    target_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } else if (!not_address) {
    auto bytes = address.to_v6().to_bytes();
    target_ += kIpv6;
    target_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } else if (host.empty() || host.size() > 255) {
    Fail("the destination's name does not fit a SOCKS5 request");
    return;
  } else {
    target_ += kDomain;
    target_ += static_cast<char>(host.size());
    target_.append(host);
  }
  target_ += static_cast<char>(port >> 8);
  target_ += static_cast<char>(port & 0xFF);
  if (user_.size() > 255 || password_.size() > 255) {
    Fail("SOCKS5 credentials are limited to 255 bytes each");
    return;
  }
  output_ += kVersion;
  if (user_.empty()) {
    output_ += '\x01';
    output_ += kNoAuthentication;
  } else {
    output_ += '\x02';
    output_ += kNoAuthentication;
    output_ += kUserPassword;
  }
}

std::string Socks5Handshake::TakeOutput() { return std::exchange(output_, std::string()); }

Socks5Handshake::State Socks5Handshake::Feed(const char* data, std::size_t size) {
  if (state_ == State::kDone || state_ == State::kFailed) {
    if (size > 0 && state_ == State::kDone) return Fail("the proxy sent bytes after its reply");
    return state_;
  }
  input_.append(data, size);
  while (state_ != State::kDone && state_ != State::kFailed && Step()) {
  }
  if (state_ == State::kDone && !input_.empty()) {
    return Fail("the proxy sent bytes after its reply");
  }
  return state_;
}

bool Socks5Handshake::Step() {
  switch (state_) {
    case State::kMethod: {
      if (input_.size() < 2) return false;
      if (input_[0] != kVersion) {
        Fail("the proxy does not speak SOCKS5");
        return false;
      }
      unsigned char method = Byte(input_, 1);
      input_.erase(0, 2);
      if (method == kNoAcceptableMethod) {
        Fail(user_.empty() ? "the proxy requires authentication"
                           : "the proxy accepts none of the offered authentication methods");
        return false;
      }
      if (method == static_cast<unsigned char>(kUserPassword) && !user_.empty()) {
        output_ += kUserPasswordVersion;
        output_ += static_cast<char>(user_.size());
        output_ += user_;
        output_ += static_cast<char>(password_.size());
        output_ += password_;
        state_ = State::kAuthentication;
        return true;
      }
      if (method != static_cast<unsigned char>(kNoAuthentication)) {
        Fail("the proxy chose an authentication method korvo did not offer");
        return false;
      }
      QueueConnect();
      return true;
    }
    case State::kAuthentication: {
      if (input_.size() < 2) return false;
      bool accepted = input_[0] == kUserPasswordVersion && input_[1] == 0;
      input_.erase(0, 2);
      if (!accepted) {
        Fail("the proxy refused the user name or password");
        return false;
      }
      QueueConnect();
      return true;
    }
    case State::kReply: {
      // VER REP RSV ATYP, then the bound address and port, which say nothing korvo needs.
      // A refusal counts as soon as its code is in: a proxy may close right after it.
      if (input_.size() < 2) return false;
      if (input_[0] != kVersion) {
        Fail("the proxy's reply is not SOCKS5");
        return false;
      }
      if (input_[1] != 0) {
        Fail("refused: " + ReplyMeaning(Byte(input_, 1)));
        return false;
      }
      if (input_.size() < 4) return false;
      std::size_t address_size = 0;
      switch (input_[3]) {
        case kIpv4: address_size = 4; break;
        case kIpv6: address_size = 16; break;
        case kDomain:
          if (input_.size() < 5) return false;
          address_size = 1 + Byte(input_, 4);
          break;
        default:
          Fail("the proxy's reply has an unknown address type");
          return false;
      }
      std::size_t reply_size = 4 + address_size + 2;
      if (input_.size() < reply_size) return false;
      input_.erase(0, reply_size);
      state_ = State::kDone;
      return true;
    }
    case State::kDone:
    case State::kFailed:
      return false;
  }
  return false;
}

void Socks5Handshake::QueueConnect() {
  output_ += kVersion;
  output_ += kConnect;
  output_ += '\0';
  output_ += target_;
  // The credentials are no longer needed; they do not linger in memory.
  std::fill(user_.begin(), user_.end(), '\0');
  std::fill(password_.begin(), password_.end(), '\0');
  state_ = State::kReply;
}

Socks5Handshake::State Socks5Handshake::Fail(std::string why) {
  state_ = State::kFailed;
  failure_ = std::move(why);
  output_.clear();
  return state_;
}

}  // namespace korvo
