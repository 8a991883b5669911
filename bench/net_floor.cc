// The floor: what the wire allows with the least work a client can do. One blocking
// socket (OpenSSL on top of it for https), a request text fixed in advance, and a
// response read straight into a buffer sized from its Content-Length. It knows exactly
// what nginx sends, so it is no HTTP client; the others are measured against it. A
// gzip-coded body goes through zlib's inflate with nothing in between: straight into a
// buffer of the decoded size it knows in advance, or 64 KiB at a time into a file.
// Requests side by side are non-blocking sockets on one epoll loop on this thread, each
// writing the fixed request and reading the response of known size into a small buffer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net_bench.h"

namespace bench {
namespace {

constexpr const char* kWho = "floor";
constexpr std::size_t kPieceSize = 64 * 1024;

std::string SystemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

sockaddr_in Address(const Target& target, bool tls) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(tls ? target.https_port : target.http_port));
  BENCH_CHECK(::inet_pton(AF_INET, target.host.c_str(), &address.sin_addr) == 1, kWho, "bad host");
  return address;
}

// One connection, plain or TLS, with blocking reads and writes.
class Wire {
 public:
  Wire() = default;
  Wire(const Wire&) = delete;
  Wire& operator=(const Wire&) = delete;
  ~Wire() { Close(); }

  bool IsOpen() const { return fd_ >= 0; }

  void Open(const Target& target, bool tls, SSL_CTX* ssl_context) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    BENCH_CHECK(fd_ >= 0, kWho, SystemError("socket"));
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in address = Address(target, tls);
    BENCH_CHECK(::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0, kWho,
          SystemError("connect"));
    if (tls) {
      ssl_ = SSL_new(ssl_context);
      BENCH_CHECK(ssl_ != nullptr, kWho, "SSL_new failed");
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), target.host.c_str());
      SSL_set_fd(ssl_, fd_);
      BENCH_CHECK(SSL_connect(ssl_) == 1, kWho, "TLS handshake failed");
    }
  }

  void Close() {
    if (ssl_ != nullptr) {
      SSL_free(ssl_);
      ssl_ = nullptr;
    }
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

  void WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
      long n;
      if (ssl_ != nullptr) {
        n = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
        BENCH_CHECK(n > 0, kWho, "SSL_write failed");
      } else {
        n = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        BENCH_CHECK(n > 0, kWho, SystemError("send"));
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }

  // At least one byte, or throws: a response is never allowed to end early.
  std::size_t ReadSome(char* data, std::size_t size) {
    for (;;) {
      long n;
      if (ssl_ != nullptr) {
        n = SSL_read(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
        BENCH_CHECK(n > 0, kWho, "SSL_read failed or connection closed");
      } else {
        n = ::recv(fd_, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        BENCH_CHECK(n > 0, kWho, n == 0 ? std::string("connection closed early") : SystemError("recv"));
      }
      return static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_ = -1;
  SSL* ssl_ = nullptr;
};

// The head of a response and the body bytes that arrived with it.
struct Head {
  int status = 0;
  std::size_t content_length = 0;
  std::size_t body_start = 0;  // offset of the first body byte in the head buffer
  std::size_t received = 0;    // bytes in the head buffer
};

// nginx's heads are small; a buffer of this size holds one, and the small file after it.
constexpr std::size_t kHeadBufferSize = 4096;

// Fills in `head` from the bytes received so far, once they hold the blank line; false
// while they do not.
bool ParseHead(std::string_view text, Head& head) {
  std::size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) return false;
  head.body_start = end + 4;
  BENCH_CHECK(text.size() > 12 && text.substr(0, 9) == "HTTP/1.1 ", kWho, "bad status line");
  head.status = std::atoi(std::string(text.substr(9, 3)).c_str());
  std::string_view head_text = text.substr(0, end + 2);
  std::size_t field = head_text.find("\r\nContent-Length: ");
  if (field != std::string_view::npos) {
    head.content_length = std::strtoull(head_text.data() + field + 18, nullptr, 10);
  } else {
    BENCH_CHECK(head.status == 204 || head.status == 304, kWho, "no Content-Length");
  }
  return true;
}

// Reads until the blank line.
Head ReadHead(Wire& wire, std::vector<char>& buffer) {
  Head head;
  buffer.resize(kHeadBufferSize);
  for (;;) {
    BENCH_CHECK(head.received < buffer.size(), kWho, "response head too long");
    head.received += wire.ReadSome(buffer.data() + head.received, buffer.size() - head.received);
    if (ParseHead(std::string_view(buffer.data(), head.received), head)) return head;
  }
}

// One gzip stream through zlib.
class Inflater {
 public:
  Inflater() {
    // 15 bits of window, plus 16 for zlib to expect the gzip wrapper.
    BENCH_CHECK(inflateInit2(&stream_, 15 + 16) == Z_OK, kWho, "inflateInit2 failed");
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() { inflateEnd(&stream_); }

  // Where the next decoded bytes go.
  void SetOutput(char* data, std::size_t size) {
    stream_.next_out = reinterpret_cast<Bytef*>(data);
    stream_.avail_out = static_cast<uInt>(size);
  }
  std::size_t OutputLeft() const { return stream_.avail_out; }

  // Inflates until the input is used up, the output is full or the stream ends; returns
  // the input bytes used.
  std::size_t Inflate(const char* data, std::size_t size) {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_.avail_in = static_cast<uInt>(size);
    int result = inflate(&stream_, Z_NO_FLUSH);
    BENCH_CHECK(result == Z_OK || result == Z_STREAM_END || result == Z_BUF_ERROR, kWho,
                std::string("corrupt gzip body: ") + (stream_.msg ? stream_.msg : "?"));
    if (result == Z_STREAM_END) ended_ = true;
    return size - stream_.avail_in;
  }

  bool Ended() const { return ended_; }
  std::size_t TotalOut() const { return stream_.total_out; }

 private:
  z_stream stream_{};
  bool ended_ = false;
};

class Floor : public Contender {
 public:
  explicit Floor(const Target& target) : target_(target) {
    small_request_ = "GET " + target.small_path + " HTTP/1.1\r\nHost: " +
                     target.HostHeader(false) + "\r\n\r\n";
    small_tls_request_ = "GET " + target.small_path + " HTTP/1.1\r\nHost: " +
                         target.HostHeader(true) + "\r\n\r\n";
    close_request_ = "GET " + target.small_path + " HTTP/1.1\r\nHost: " +
                     target.HostHeader(false) + "\r\nConnection: close\r\n\r\n";
    big_request_ = "GET " + target.big_path + " HTTP/1.1\r\nHost: " +
                   target.HostHeader(false) + "\r\n\r\n";
    text_request_ = "GET " + target.text_path + " HTTP/1.1\r\nHost: " +
                    target.HostHeader(false) + "\r\nAccept-Encoding: gzip\r\n\r\n";
  }

  ~Floor() override {
    for (Slot& slot : slots_) Close(slot);
    if (epoll_ >= 0) ::close(epoll_);
    if (ssl_context_ != nullptr) SSL_CTX_free(ssl_context_);
  }

  void GetSmall(bool tls) override {
    Wire& wire = tls ? tls_wire_ : wire_;
    if (!wire.IsOpen()) wire.Open(target_, tls, tls ? SslContext() : nullptr);
    const std::string& request = tls ? small_tls_request_ : small_request_;
    wire.WriteAll(request.data(), request.size());
    ReadSmallBody(wire);
  }

  void GetSmallNewConnection() override {
    Wire wire;
    wire.Open(target_, false, nullptr);
    wire.WriteAll(close_request_.data(), close_request_.size());
    ReadSmallBody(wire);
  }

  Tally GetSmallParallel(std::size_t in_flight, bool new_connection, Budget& budget) override {
    if (epoll_ < 0) {
      epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
      BENCH_CHECK(epoll_ >= 0, kWho, SystemError("epoll_create1"));
      address_ = Address(target_, false);
    }
    while (slots_.size() < in_flight) {
      slots_.emplace_back();
      slots_.back().index = static_cast<std::uint32_t>(slots_.size() - 1);
      slots_.back().buffer.resize(kHeadBufferSize);
    }
    const std::string& request = new_connection ? close_request_ : small_request_;
    Tally tally;
    std::size_t out = 0;  // slots with a request out
    auto start = [&](Slot& slot) {
      if (!budget.Take()) return;
      try {
        Begin(slot, request, new_connection);
        ++out;
      } catch (const std::runtime_error& error) {
        Abandon(slot);
        tally.Failed(error.what());
      }
    };
    for (std::size_t i = 0; i < in_flight; ++i) start(slots_[i]);
    std::vector<epoll_event> events(in_flight);
    while (out > 0) {
      int ready = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        // The requests still out cannot end; the counts will not match.
        tally.Failed(SystemError("epoll_wait"));
        break;
      }
      for (int k = 0; k < ready; ++k) {
        Slot& slot = slots_[events[k].data.u32];
        if (!slot.busy) {
          // Only a kept connection that the server closed while it was idle; the next
          // request makes a new one.
          Close(slot);
          continue;
        }
        try {
          if (!Advance(slot, request)) continue;
          slot.busy = false;
          if (slot.head.status == 200 && slot.head.content_length == target_.small_size) {
            tally.Good();
          } else {
            tally.Wrong(slot.head.status, slot.head.content_length);
          }
          if (new_connection) Close(slot);
        } catch (const std::runtime_error& error) {
          Abandon(slot);
          tally.Failed(error.what());
        }
        --out;
        start(slot);
      }
    }
    return tally;
  }

  void DownloadToMemory() override {
    StartBig();
    Head head = ReadHead(wire_, head_buffer_);
    CheckBig(head);
    // Uninitialised on purpose: the reads fill every byte.
    body_.reset(new char[head.content_length]);
    std::size_t have = head.received - head.body_start;
    std::memcpy(body_.get(), head_buffer_.data() + head.body_start, have);
    while (have < head.content_length) {
      have += wire_.ReadSome(body_.get() + have, head.content_length - have);
    }
  }

  void DownloadToFile(const std::string& path) override {
    StartBig();
    Head head = ReadHead(wire_, head_buffer_);
    CheckBig(head);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    BENCH_CHECK(fd >= 0, kWho, SystemError("open"));
    std::vector<char> piece(kPieceSize);
    std::size_t have = head.received - head.body_start;
    WriteFile(fd, head_buffer_.data() + head.body_start, have);
    while (have < head.content_length) {
      std::size_t n = wire_.ReadSome(piece.data(), std::min(piece.size(), head.content_length - have));
      WriteFile(fd, piece.data(), n);
      have += n;
    }
    ::close(fd);
  }

  std::uint64_t DownloadToSink() override {
    StartBig();
    Head head = ReadHead(wire_, head_buffer_);
    CheckBig(head);
    std::uint64_t received = 0;
    ReadBody(head, [&](const char*, std::size_t size) { received += size; });
    return received;
  }

  void Upload() override {
    if (!wire_.IsOpen()) wire_.Open(target_, false, nullptr);
    std::string head = "POST " + target_.upload_path + " HTTP/1.1\r\nHost: " +
                       target_.HostHeader(false) +
                       "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                       std::to_string(target_.big_size) + "\r\n\r\n";
    wire_.WriteAll(head.data(), head.size());
    int fd = ::open(target_.upload_file.c_str(), O_RDONLY | O_CLOEXEC);
    BENCH_CHECK(fd >= 0, kWho, SystemError("open"));
    std::vector<char> piece(kPieceSize);
    std::size_t sent = 0;
    while (sent < target_.big_size) {
      long n = ::read(fd, piece.data(), piece.size());
      if (n < 0 && errno == EINTR) continue;
      BENCH_CHECK(n > 0, kWho, SystemError("read"));
      wire_.WriteAll(piece.data(), static_cast<std::size_t>(n));
      sent += static_cast<std::size_t>(n);
    }
    ::close(fd);
    Head response = ReadHead(wire_, head_buffer_);
    BENCH_CHECK(response.status == 204, kWho, Describe("upload status", response.status, 204));
  }

  void DecodeToMemory() override {
    Head head = StartText();
    // Uninitialised on purpose: inflate fills every byte.
    body_.reset(new char[target_.text_size]);
    body_size_ = target_.text_size;
    Inflater inflater;
    inflater.SetOutput(body_.get(), body_size_);
    ReadBody(head, [&](const char* data, std::size_t size) {
      // Only the gzip trailer may be left over once the output is full, and inflate
      // reads it without room for output.
      BENCH_CHECK(inflater.Inflate(data, size) == size, kWho, "decoded body too long");
    });
    BENCH_CHECK(inflater.Ended() && inflater.TotalOut() == body_size_, kWho,
                Describe("decoded length", static_cast<long long>(inflater.TotalOut()),
                         static_cast<long long>(body_size_)));
  }

  void DecodeToFile(const std::string& path) override {
    Head head = StartText();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    BENCH_CHECK(fd >= 0, kWho, SystemError("open"));
    std::vector<char> out(kPieceSize);
    Inflater inflater;
    try {
      ReadBody(head, [&](const char* data, std::size_t size) {
        for (;;) {
          inflater.SetOutput(out.data(), out.size());
          std::size_t used = inflater.Inflate(data, size);
          data += used;
          size -= used;
          WriteFile(fd, out.data(), out.size() - inflater.OutputLeft());
          // A full piece may have more behind it, even with the input used up.
          if (inflater.OutputLeft() > 0 || inflater.Ended()) break;
        }
        BENCH_CHECK(size == 0, kWho, "bytes after the gzip stream");
      });
    } catch (...) {
      ::close(fd);
      throw;
    }
    ::close(fd);
    BENCH_CHECK(inflater.Ended(), kWho, "gzip stream cut short");
  }

  std::string_view KeptBody() const override { return std::string_view(body_.get(), body_size_); }

  void Release() override { body_.reset(); }

 private:
  SSL_CTX* SslContext() {
    if (ssl_context_ == nullptr) {
      ssl_context_ = SSL_CTX_new(TLS_client_method());
      BENCH_CHECK(ssl_context_ != nullptr, kWho, "SSL_CTX_new failed");
      BENCH_CHECK(SSL_CTX_load_verify_locations(ssl_context_, target_.ca_file.c_str(), nullptr) == 1,
            kWho, "cannot load the CA");
      SSL_CTX_set_verify(ssl_context_, SSL_VERIFY_PEER, nullptr);
    }
    return ssl_context_;
  }

  void ReadSmallBody(Wire& wire) {
    Head head = ReadHead(wire, head_buffer_);
    BENCH_CHECK(head.status == 200, kWho, Describe("status", head.status, 200));
    BENCH_CHECK(head.content_length == target_.small_size, kWho,
          Describe("length", static_cast<long long>(head.content_length),
                   static_cast<long long>(target_.small_size)));
    if (small_body_.size() < head.content_length) small_body_.resize(head.content_length);
    std::size_t have = head.received - head.body_start;
    std::memcpy(small_body_.data(), head_buffer_.data() + head.body_start, have);
    while (have < head.content_length) {
      have += wire.ReadSome(small_body_.data() + have, head.content_length - have);
    }
  }

  void StartBig() {
    if (!wire_.IsOpen()) wire_.Open(target_, false, nullptr);
    wire_.WriteAll(big_request_.data(), big_request_.size());
  }

  // Sends the request for the gzip-coded text and reads the head of the answer.
  Head StartText() {
    if (!wire_.IsOpen()) wire_.Open(target_, false, nullptr);
    wire_.WriteAll(text_request_.data(), text_request_.size());
    Head head = ReadHead(wire_, head_buffer_);
    BENCH_CHECK(head.status == 200, kWho, Describe("status", head.status, 200));
    std::string_view text(head_buffer_.data(), head.body_start);
    BENCH_CHECK(text.find("\r\nContent-Encoding: gzip\r\n") != std::string_view::npos, kWho,
                "body not gzip-coded");
    return head;
  }

  // Hands the body that follows `head` to `take` as it arrives.
  template <typename Take>
  void ReadBody(const Head& head, Take take) {
    std::size_t have = head.received - head.body_start;
    take(head_buffer_.data() + head.body_start, have);
    if (piece_.size() < kPieceSize) piece_.resize(kPieceSize);
    while (have < head.content_length) {
      std::size_t n =
          wire_.ReadSome(piece_.data(), std::min(piece_.size(), head.content_length - have));
      take(piece_.data(), n);
      have += n;
    }
  }

  void CheckBig(const Head& head) {
    BENCH_CHECK(head.status == 200, kWho, Describe("status", head.status, 200));
    BENCH_CHECK(head.content_length == target_.big_size, kWho,
          Describe("length", static_cast<long long>(head.content_length),
                   static_cast<long long>(target_.big_size)));
  }

  // One connection of a parallel run.
  struct Slot {
    std::uint32_t index = 0;  // in slots_, and the tag of its epoll events
    int fd = -1;
    std::uint32_t watched = 0;  // events asked of epoll; 0 while not registered
    bool busy = false;          // a request is out
    bool connecting = false;
    std::size_t sent = 0;  // bytes of the request written
    Head head;             // status 0 until the whole head is in; received counts all bytes
    std::vector<char> buffer;
  };

  // Sends a request on the slot's kept connection, or on a new one.
  void Begin(Slot& slot, const std::string& request, bool new_connection) {
    slot.busy = true;
    slot.sent = 0;
    slot.head = Head();
    if (slot.fd >= 0 && !new_connection) return Send(slot, request);
    Close(slot);
    slot.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    BENCH_CHECK(slot.fd >= 0, kWho, SystemError("socket"));
    int one = 1;
    ::setsockopt(slot.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (::connect(slot.fd, reinterpret_cast<const sockaddr*>(&address_), sizeof(address_)) == 0) {
      slot.connecting = false;
      return Send(slot, request);
    }
    BENCH_CHECK(errno == EINPROGRESS, kWho, SystemError("connect"));
    // On loopback the handshake is mostly over by the time connect returns, so the
    // request is tried at once; a socket still connecting takes it when epoll says so.
    slot.connecting = true;
    Send(slot, request);
  }

  // Writes what is left of the request, then waits for the response.
  void Send(Slot& slot, const std::string& request) {
    while (slot.sent < request.size()) {
      long n = ::send(slot.fd, request.data() + slot.sent, request.size() - slot.sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK ||
                    (errno == ENOTCONN && slot.connecting))) {
        return Watch(slot, EPOLLOUT);
      }
      BENCH_CHECK(n > 0, kWho, SystemError("send"));
      slot.connecting = false;
      slot.sent += static_cast<std::size_t>(n);
    }
    Watch(slot, EPOLLIN);
  }

  // Takes the slot one step on after epoll reported it; true once its response is in.
  bool Advance(Slot& slot, const std::string& request) {
    if (slot.connecting) {
      int error = 0;
      socklen_t length = sizeof(error);
      ::getsockopt(slot.fd, SOL_SOCKET, SO_ERROR, &error, &length);
      BENCH_CHECK(error == 0, kWho, std::string("connect: ") + std::strerror(error));
      Send(slot, request);
      return false;
    }
    if (slot.sent < request.size()) {
      Send(slot, request);
      return false;
    }
    Head& head = slot.head;
    for (;;) {
      BENCH_CHECK(head.received < slot.buffer.size(), kWho, "response too long");
      long n = ::recv(slot.fd, slot.buffer.data() + head.received,
                      slot.buffer.size() - head.received, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
      BENCH_CHECK(n > 0, kWho, n == 0 ? std::string("connection closed early") : SystemError("recv"));
      head.received += static_cast<std::size_t>(n);
      if (head.status == 0 &&
          !ParseHead(std::string_view(slot.buffer.data(), head.received), head)) {
        continue;
      }
      std::size_t end = head.body_start + head.content_length;
      if (head.received < end) continue;
      BENCH_CHECK(head.received == end, kWho, "bytes after the response");
      return true;
    }
  }

  void Watch(Slot& slot, std::uint32_t events) {
    if (slot.watched == events) return;
    epoll_event event{};
    event.events = events;
    event.data.u32 = slot.index;
    BENCH_CHECK(::epoll_ctl(epoll_, slot.watched == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, slot.fd,
                            &event) == 0,
                kWho, SystemError("epoll_ctl"));
    slot.watched = events;
  }

  // Closing the socket takes it off the epoll set too.
  static void Close(Slot& slot) {
    if (slot.fd >= 0) ::close(slot.fd);
    slot.fd = -1;
    slot.watched = 0;
    slot.connecting = false;
  }

  static void Abandon(Slot& slot) {
    slot.busy = false;
    Close(slot);
  }

  static void WriteFile(int fd, const char* data, std::size_t size) {
    while (size > 0) {
      long n = ::write(fd, data, size);
      if (n < 0 && errno == EINTR) continue;
      BENCH_CHECK(n > 0, kWho, SystemError("write"));
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }

  const Target& target_;
  SSL_CTX* ssl_context_ = nullptr;
  Wire wire_;
  Wire tls_wire_;
  std::string small_request_;
  std::string small_tls_request_;
  std::string close_request_;
  std::string big_request_;
  std::string text_request_;
  std::vector<char> head_buffer_;
  std::vector<char> piece_;
  std::vector<char> small_body_;
  std::unique_ptr<char[]> body_;
  std::size_t body_size_ = 0;
  int epoll_ = -1;
  sockaddr_in address_{};
  std::vector<Slot> slots_;
};

}  // namespace

std::unique_ptr<Contender> MakeFloor(const Target& target) {
  return std::make_unique<Floor>(target);
}

}  // namespace bench
