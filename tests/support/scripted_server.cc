#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace korvo {
namespace test {

namespace {

// Only a bound for a broken test; a working one is woken by the event long before.
constexpr auto kWaitBound = std::chrono::seconds(30);

std::string ToLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::size_t ContentLength(const std::string& head) {
  std::string lower = ToLower(head);
  std::size_t pos = lower.find("\r\ncontent-length:");
  if (pos == std::string::npos) return 0;
  pos += 17;
  while (pos < lower.size() && lower[pos] == ' ') ++pos;
  std::size_t length = 0;
  while (pos < lower.size() && std::isdigit(static_cast<unsigned char>(lower[pos]))) {
    length = length * 10 + static_cast<std::size_t>(lower[pos] - '0');
    ++pos;
  }
  return length;
}

void SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// `port` is the one to listen on (0: a free one) and receives the one listened on.
int ListenOn(const std::string& address, int backlog, int receive_buffer,
             unsigned short& port) {
  bool v6 = address.find(':') != std::string::npos;
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("scripted server: socket");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (receive_buffer > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
  }
  sockaddr_storage storage{};
  socklen_t length;
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
    in6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &in4->sin_addr);
    in4->sin_port = htons(port);
    length = sizeof(sockaddr_in);
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    close(fd);
    throw std::runtime_error("scripted server: cannot listen on " + address);
  }
  port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                  : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  return fd;
}

SSL_CTX* MakeServerContext(const TestCertificate& certificate) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  BIO* cert_bio = BIO_new_mem_buf(certificate.cert_pem.data(),
                                  static_cast<int>(certificate.cert_pem.size()));
  BIO* key_bio = BIO_new_mem_buf(certificate.key_pem.data(),
                                 static_cast<int>(certificate.key_pem.size()));
  X509* cert = PEM_read_bio_X509(cert_bio, nullptr, nullptr, nullptr);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(key_bio, nullptr, nullptr, nullptr);
  bool ok = ctx != nullptr && cert != nullptr && key != nullptr &&
            SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1;
  X509_free(cert);
  EVP_PKEY_free(key);
  BIO_free(cert_bio);
  BIO_free(key_bio);
  if (!ok) {
    SSL_CTX_free(ctx);
    throw std::runtime_error("scripted server: cannot load the certificate");
  }
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return ctx;
}

int SelectH2(SSL*, const unsigned char** out, unsigned char* out_length,
             const unsigned char* in, unsigned int in_length, void*) {
  for (unsigned int i = 0; i < in_length; i += 1u + in[i]) {
    if (in[i] == 2 && i + 2 < in_length && in[i + 1] == 'h' && in[i + 2] == '2') {
      *out = in + i + 1;
      *out_length = 2;
      return SSL_TLSEXT_ERR_OK;
    }
  }
  return SSL_TLSEXT_ERR_NOACK;
}

}  // namespace

// ---- ScriptedConnection ----

ScriptedConnection::ScriptedConnection(ScriptedServer* server, int fd, SSL* ssl)
    : server_(server), fd_(fd), ssl_(ssl) {
  if (ssl_ != nullptr) SSL_set_fd(ssl_, fd_);
}

ScriptedConnection::~ScriptedConnection() {
  if (fd_ >= 0) close(fd_);
  if (ssl_ != nullptr) SSL_free(ssl_);
}

bool ScriptedConnection::Wait(short events) {
  pollfd fds[2] = {{fd_, events, 0}, {server_->wake_fds_[0], POLLIN, 0}};
  while (true) {
    int ready = poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0) return false;
    if (fds[0].revents != 0) return true;
  }
}

bool ScriptedConnection::AwaitSsl(int result) {
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
      return Wait(POLLIN);
    case SSL_ERROR_WANT_WRITE:
      return Wait(POLLOUT);
    default:
      ERR_clear_error();
      return false;
  }
}

bool ScriptedConnection::Handshake() {
  while (true) {
    int result = SSL_accept(ssl_);
    if (result == 1) break;
    if (!AwaitSsl(result)) return false;
  }
  const char* name = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
  if (name != nullptr) server_name_ = name;
  return true;
}

bool ScriptedConnection::ReadMore() {
  if (fd_ < 0) return false;
  char data[16384];
  while (true) {
    if (ssl_ != nullptr) {
      int count = SSL_read(ssl_, data, sizeof(data));
      if (count > 0) {
        buffer_.append(data, static_cast<std::size_t>(count));
        return true;
      }
      if (!AwaitSsl(count)) return false;
    } else {
      ssize_t count = recv(fd_, data, sizeof(data), 0);
      if (count > 0) {
        buffer_.append(data, static_cast<std::size_t>(count));
        return true;
      }
      if (count == 0) return false;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (!Wait(POLLIN)) return false;
    }
  }
}

bool ScriptedConnection::ReadHeadInto(std::string& head) {
  while (true) {
    std::size_t end = buffer_.find("\r\n\r\n");
    if (end != std::string::npos) {
      head = buffer_.substr(0, end + 4);
      buffer_.erase(0, end + 4);
      return true;
    }
    if (!ReadMore()) return false;
  }
}

bool ScriptedConnection::ReadHead(std::string* head) {
  std::string text;
  if (!ReadHeadInto(text)) return false;
  server_->Record(text);
  if (head != nullptr) *head = std::move(text);
  return true;
}

bool ScriptedConnection::ReadRequest(std::string* request) {
  std::string head;
  if (!ReadHeadInto(head)) return false;
  server_->Record(head);
  std::size_t length = ContentLength(head);
  while (buffer_.size() < length) {
    if (!ReadMore()) return false;
  }
  if (request != nullptr) *request = head + buffer_.substr(0, length);
  buffer_.erase(0, length);
  return true;
}

bool ScriptedConnection::ReadSome(std::string* bytes) {
  if (buffer_.empty() && !ReadMore()) return false;
  if (bytes != nullptr) *bytes = buffer_;
  buffer_.clear();
  return true;
}

bool ScriptedConnection::Send(std::string_view bytes) {
  if (fd_ < 0) return false;
  if (ssl_ == nullptr) return SendRaw(bytes);
  while (!bytes.empty()) {
    int count = SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
    if (count > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(count));
      continue;
    }
    if (!AwaitSsl(count)) return false;
  }
  return true;
}

bool ScriptedConnection::SendRepeated(std::string_view block, std::size_t total) {
  while (total > 0) {
    std::string_view piece = block.substr(0, std::min(total, block.size()));
    if (!Send(piece)) return false;
    total -= piece.size();
  }
  return true;
}

bool ScriptedConnection::SendRecords(const std::vector<std::string>& records) {
  if (fd_ < 0) return false;
  std::string wire;
  if (ssl_ == nullptr) {
    for (const std::string& record : records) wire += record;
    return SendRaw(wire);
  }
  // The records are sealed into memory, where a write never waits, and leave together.
  BIO* memory = BIO_new(BIO_s_mem());
  BIO* socket = SSL_get_wbio(ssl_);
  BIO_up_ref(socket);
  SSL_set0_wbio(ssl_, memory);
  bool sealed = true;
  for (std::string_view record : records) {
    // A text longer than a record's plaintext takes more than one (and, as writes may
    // be partial here, more than one call).
    while (sealed && !record.empty()) {
      int count = SSL_write(ssl_, record.data(), static_cast<int>(record.size()));
      sealed = count > 0;
      if (sealed) record.remove_prefix(static_cast<std::size_t>(count));
    }
  }
  char* data = nullptr;
  long size = BIO_get_mem_data(memory, &data);
  wire.assign(data, static_cast<std::size_t>(size));
  SSL_set0_wbio(ssl_, socket);  // frees the memory BIO
  if (!sealed) {
    ERR_clear_error();
    return false;
  }
  return SendRaw(wire);
}

bool ScriptedConnection::SendRaw(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (count > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(count));
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (!Wait(POLLOUT)) return false;
  }
  return true;
}

bool ScriptedConnection::Bridge(unsigned short port) {
  if (fd_ < 0) return false;
  int origin = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (origin < 0 ||
      connect(origin, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    if (origin >= 0) close(origin);
    return false;
  }
  bool open = buffer_.empty() || send(origin, buffer_.data(), buffer_.size(), MSG_NOSIGNAL) ==
                                     static_cast<ssize_t>(buffer_.size());
  buffer_.clear();
  char data[16384];
  while (open) {
    // Decrypted bytes waiting inside OpenSSL do not wake a poll.
    bool pending = ssl_ != nullptr && SSL_pending(ssl_) > 0;
    pollfd fds[3] = {{fd_, POLLIN, 0}, {origin, POLLIN, 0}, {server_->wake_fds_[0], POLLIN, 0}};
    if (poll(fds, 3, pending ? 0 : -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents != 0) break;
    if (pending || fds[0].revents != 0) {
      ssize_t count;
      bool again = false;
      if (ssl_ != nullptr) {
        count = SSL_read(ssl_, data, sizeof(data));
        if (count <= 0) {
          int error = SSL_get_error(ssl_, static_cast<int>(count));
          again = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
          ERR_clear_error();
        }
      } else {
        count = recv(fd_, data, sizeof(data), 0);
        again = count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
      }
      if (!again) {
        open = count > 0 &&
               send(origin, data, static_cast<std::size_t>(count), MSG_NOSIGNAL) == count;
      }
    }
    if (open && fds[1].revents != 0) {
      ssize_t count = recv(origin, data, sizeof(data), 0);
      open = count > 0 && Send(std::string_view(data, static_cast<std::size_t>(count)));
    }
  }
  close(origin);
  return true;
}

void ScriptedConnection::WaitForClose() {
  if (fd_ < 0) return;
  while (true) {
    pollfd fds[2] = {{fd_, POLLRDHUP, 0}, {server_->wake_fds_[0], POLLIN, 0}};
    int ready = poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0) return;
    if (fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) return;
  }
}

void ScriptedConnection::DrainUntilClose() {
  while (ReadMore()) buffer_.clear();
}

void ScriptedConnection::Close() {
  if (fd_ < 0) return;
  if (ssl_ != nullptr) {
    SSL_shutdown(ssl_);  // close_notify; the answer is not awaited
    ERR_clear_error();
  }
  shutdown(fd_, SHUT_WR);
  close(fd_);
  fd_ = -1;
}

void ScriptedConnection::CloseWithoutNotify() {
  if (fd_ < 0) return;
  shutdown(fd_, SHUT_WR);
  close(fd_);
  fd_ = -1;
}

unsigned short ScriptedConnection::PeerPort() const {
  if (fd_ < 0) return 0;
  sockaddr_storage storage{};
  socklen_t length = sizeof(storage);
  if (getpeername(fd_, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
  return ntohs(storage.ss_family == AF_INET6
                   ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                   : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

void ScriptedConnection::Reset() {
  if (fd_ < 0) return;
  linger option{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
  close(fd_);
  fd_ = -1;
}

// ---- ScriptedServer ----

ScriptedServer::ScriptedServer(Behaviour behaviour) : ScriptedServer(Options(), std::move(behaviour)) {}

ScriptedServer::ScriptedServer(Options options, Behaviour behaviour)
    : options_(std::move(options)), default_(std::move(behaviour)) {
  // A client that goes away while a behaviour writes must not end the test process.
  signal(SIGPIPE, SIG_IGN);
  if (!default_) default_ = Respond(HttpResponse(200, "ok"));
  if (options_.certificate != nullptr) ssl_ctx_ = MakeServerContext(*options_.certificate);
  if (ssl_ctx_ != nullptr && options_.alpn_h2) {
    SSL_CTX_set_alpn_select_cb(ssl_ctx_, SelectH2, nullptr);
  }
  port_ = options_.port;
  listen_fd_ = ListenOn(options_.address, 64, options_.receive_buffer, port_);
  SetNonBlocking(listen_fd_);
  if (pipe2(wake_fds_, O_CLOEXEC) != 0) throw std::runtime_error("scripted server: pipe");
  thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  stopping_ = true;
  char byte = 'x';
  (void)!write(wake_fds_[1], &byte, 1);
  thread_.join();
  std::map<std::thread::id, std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& connection : connections) connection.second.join();
  close(listen_fd_);
  close(wake_fds_[0]);
  close(wake_fds_[1]);
  if (ssl_ctx_ != nullptr) SSL_CTX_free(ssl_ctx_);
}

void ScriptedServer::Run() {
  pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
  while (!stopping_) {
    int ready = poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0) return;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (options_.receive_buffer > 0) {
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options_.receive_buffer,
                 sizeof(options_.receive_buffer));
    }
    // Answers go out at once; a delay here would be charged to the client.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    JoinEnded();
    std::lock_guard<std::mutex> lock(mutex_);
    ++accepted_;
    // Inserted under the lock that Serve takes to report its end, so that the end of
    // a thread is never reported before the thread is known here.
    std::thread thread([this, fd] { Serve(fd); });
    std::thread::id id = thread.get_id();
    connections_.emplace(id, std::move(thread));
    changed_.notify_all();
  }
}

void ScriptedServer::JoinEnded() {
  std::vector<std::thread> ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::thread::id id : ended_) {
      auto it = connections_.find(id);
      ended.push_back(std::move(it->second));
      connections_.erase(it);
    }
    ended_.clear();
  }
  // Each has only to return from Serve.
  for (std::thread& thread : ended) thread.join();
}

void ScriptedServer::Serve(int fd) {
  SSL* ssl = ssl_ctx_ != nullptr ? SSL_new(ssl_ctx_) : nullptr;
  {
    ScriptedConnection connection(this, fd, ssl);
    bool ready = true;
    if (ssl != nullptr) {
      ready = connection.Handshake();
      std::lock_guard<std::mutex> lock(mutex_);
      if (ready) {
        server_names_.push_back(connection.server_name());
        if (SSL_session_reused(ssl)) ++resumed_;
      } else {
        ++failed_handshakes_;
      }
      changed_.notify_all();
    }
    if (ready) {
      Behaviour behaviour = Next();
      behaviour(connection);
    }
    connection.Close();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++finished_;
  ended_.push_back(std::this_thread::get_id());
  changed_.notify_all();
}

ScriptedServer::Behaviour ScriptedServer::Next() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (script_.empty()) return default_;
  Behaviour behaviour = std::move(script_.front());
  script_.pop_front();
  return behaviour;
}

void ScriptedServer::Record(const std::string& head) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++request_count_;
  if (options_.record_requests) requests_.push_back(head);
  changed_.notify_all();
}

void ScriptedServer::Script(Behaviour behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(std::move(behaviour));
}

void ScriptedServer::SetDefault(Behaviour behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = std::move(behaviour);
}

std::string ScriptedServer::Url(std::string_view path) const {
  bool v6 = options_.address.find(':') != std::string::npos;
  return Url(v6 ? "[" + options_.address + "]" : options_.address, path);
}

std::string ScriptedServer::Url(std::string_view host, std::string_view path) const {
  std::string url = options_.certificate != nullptr ? "https://" : "http://";
  url.append(host);
  url += ":" + std::to_string(port_);
  url.append(path);
  return url;
}

std::size_t ScriptedServer::Accepted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

std::size_t ScriptedServer::Resumed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return resumed_;
}

std::size_t ScriptedServer::FailedHandshakes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_handshakes_;
}

std::vector<std::string> ScriptedServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t ScriptedServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return request_count_;
}

std::vector<std::string> ScriptedServer::ServerNames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return server_names_;
}

std::size_t ScriptedServer::Finished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

template <typename Predicate>
bool ScriptedServer::WaitFor(Predicate predicate) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, kWaitBound, predicate);
}

bool ScriptedServer::WaitForAccepted(std::size_t count) const {
  return WaitFor([&] { return accepted_ >= count; });
}

bool ScriptedServer::WaitForRequests(std::size_t count) const {
  return WaitFor([&] { return request_count_ >= count; });
}

bool ScriptedServer::WaitForFinished(std::size_t count) const {
  return WaitFor([&] { return finished_ >= count; });
}

bool ScriptedServer::WaitForNoConnections() const {
  return WaitFor([&] { return finished_ == accepted_; });
}

ScriptedServer::Behaviour ScriptedServer::Respond(std::string response) {
  return [response = std::move(response)](ScriptedConnection& connection) {
    while (connection.ReadRequest()) {
      if (!connection.Send(response)) return;
    }
  };
}

ScriptedServer::Behaviour ScriptedServer::RespondOnce(std::string response) {
  return [response = std::move(response)](ScriptedConnection& connection) {
    if (connection.ReadRequest()) connection.Send(response);
    connection.Close();
  };
}

std::string HttpResponse(int status, std::string_view body, std::string_view headers) {
  std::string response = "HTTP/1.1 " + std::to_string(status) + " Status\r\n";
  response.append(headers);
  response += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  response.append(body);
  return response;
}

// ---- FullBacklogListener ----

FullBacklogListener::FullBacklogListener() : FullBacklogListener("127.0.0.1") {}

FullBacklogListener::FullBacklogListener(const std::string& address, unsigned short port)
    : address_(address), port_(port) {
  listen_fd_ = ListenOn(address_, 0, 0, port_);
  bool v6 = address_.find(':') != std::string::npos;
  sockaddr_storage storage{};
  socklen_t address_length;
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port_);
    inet_pton(AF_INET6, address_.c_str(), &in6->sin6_addr);
    address_length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port_);
    inet_pton(AF_INET, address_.c_str(), &in4->sin_addr);
    address_length = sizeof(sockaddr_in);
  }

  auto queue = [this](std::uint32_t& length, std::uint32_t& limit) {
    // For a listener, TCP_INFO reports the accept queue's length and its limit.
    tcp_info info{};
    socklen_t size = sizeof(info);
    getsockopt(listen_fd_, IPPROTO_TCP, TCP_INFO, &info, &size);
    length = info.tcpi_unacked;
    limit = info.tcpi_sacked;
  };

  for (int attempt = 0; attempt < 16; ++attempt) {
    std::uint32_t length = 0;
    std::uint32_t limit = 0;
    queue(length, limit);
    if (length > limit) return;  // full: further handshakes are dropped
    int filler = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    fillers_.push_back(filler);
    connect(filler, reinterpret_cast<sockaddr*>(&storage), address_length);
    // The handshake completes on loopback at once; wait for the queue to show it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::uint32_t before = length;
    while (std::chrono::steady_clock::now() < deadline) {
      queue(length, limit);
      if (length > before) break;
      pollfd fds{filler, POLLOUT, 0};
      poll(&fds, 1, 1);
    }
  }
  for (int filler : fillers_) close(filler);
  close(listen_fd_);
  throw std::runtime_error("full backlog listener: the accept queue did not fill");
}

FullBacklogListener::~FullBacklogListener() {
  for (int filler : fillers_) close(filler);
  close(listen_fd_);
}

std::string FullBacklogListener::Url(std::string_view path) const {
  bool v6 = address_.find(':') != std::string::npos;
  std::string url = "http://" + (v6 ? "[" + address_ + "]" : address_);
  url += ":" + std::to_string(port_);
  url.append(path);
  return url;
}

// ---- LoopThread ----

LoopThread::LoopThread()
    : work_guard_(boost::asio::make_work_guard(io_context_)),
      thread_([this] { io_context_.run(); }) {}

LoopThread::~LoopThread() {
  work_guard_.reset();
  io_context_.stop();
  thread_.join();
}

}  // namespace test
}  // namespace korvo
