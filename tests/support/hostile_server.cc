#include "support/hostile_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace korvo {
namespace test {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::size_t ContentLengthOf(const std::string& head) {
  std::string lower = Lower(head);
  std::size_t at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

std::size_t StatusValue(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name, 0) == 0) {
      return std::strtoull(line.c_str() + std::strlen(name), nullptr, 10) * 1024;
    }
  }
  return 0;
}

}  // namespace

HostileConnection::~HostileConnection() { Close(); }

bool HostileConnection::Wait(short events) {
  if (fd_ < 0) return false;
  pollfd fds[2] = {{fd_, events, 0}, {wake_fd_, POLLIN, 0}};
  while (true) {
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & POLLIN) != 0) return false;
    if ((fds[0].revents & (events | POLLHUP | POLLERR)) != 0) return true;
  }
}

bool HostileConnection::ReadRequest(std::string& head) {
  std::size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!Wait(POLLIN)) return false;
    char chunk[16384];
    ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
  head = buffer_.substr(0, end + 4);
  buffer_.erase(0, end + 4);
  std::size_t body = ContentLengthOf(head);
  while (buffer_.size() < body) {
    if (!Wait(POLLIN)) return false;
    char chunk[16384];
    ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
  buffer_.erase(0, body);
  return true;
}

bool HostileConnection::ReadSome(std::string& bytes) {
  bytes = std::move(buffer_);
  buffer_.clear();
  if (!bytes.empty()) return true;
  if (!Wait(POLLIN)) return false;
  char chunk[16384];
  ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
  if (n <= 0) return false;
  bytes.assign(chunk, static_cast<std::size_t>(n));
  return true;
}

bool HostileConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    if (!Wait(POLLOUT)) return false;
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool HostileConnection::SendRepeated(std::string_view block, std::size_t total) {
  while (total > 0) {
    std::string_view piece = block.substr(0, std::min(total, block.size()));
    if (!Send(piece)) return false;
    total -= piece.size();
  }
  return true;
}

void HostileConnection::WaitForClose() {
  char chunk[4096];
  while (Wait(POLLIN)) {
    ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n <= 0) return;
  }
}

unsigned short HostileConnection::PeerPort() const {
  if (fd_ < 0) return 0;
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

void HostileConnection::Reset() {
  if (fd_ < 0) return;
  linger option{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
  ::close(fd_);
  fd_ = -1;
}

void HostileConnection::Close() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

HostileServer::HostileServer(bool read_requests) : read_requests_(read_requests) {
  if (::pipe2(wake_fds_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::system_error(errno, std::generic_category());
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listen_fd_, 64) != 0) {
    throw std::system_error(errno, std::generic_category());
  }
  socklen_t length = sizeof(address);
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  for (int i = 0; i < kWorkers; ++i) workers_.emplace_back([this] { Work(); });
  thread_ = std::thread([this] { Run(); });
}

HostileServer::~HostileServer() {
  stopping_ = true;
  char byte = 1;
  (void)!::write(wake_fds_[1], &byte, 1);
  thread_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    accepted_cv_.notify_all();
  }
  for (std::thread& worker : workers_) worker.join();
  for (int fd : accepted_fds_) ::close(fd);
  ::close(listen_fd_);
  ::close(wake_fds_[0]);
  ::close(wake_fds_[1]);
}

std::string HostileServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void HostileServer::Script(Behaviour behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(std::move(behaviour));
}

void HostileServer::SetDefault(Behaviour behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = std::move(behaviour);
}

HostileServer::Behaviour HostileServer::Next() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (script_.empty()) return default_ ? default_ : Behaviour(Fine);
  Behaviour next = std::move(script_.front());
  script_.pop_front();
  return next;
}

bool HostileServer::WantsClose(const std::string& request) {
  return Lower(request).find("\r\nconnection: close\r\n") != std::string::npos;
}

bool HostileServer::Fine(HostileConnection& connection, const std::string& request) {
  if (WantsClose(request)) {
    connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\nfine");
    return false;
  }
  return connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfine");
}

void HostileServer::Run() {
  while (!stopping_) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & POLLIN) != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // Answers go out at once; a delay here would be charged to the client.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ++accepted_;
    std::lock_guard<std::mutex> lock(mutex_);
    ++open_connections_;
    accepted_fds_.push_back(fd);
    accepted_cv_.notify_one();
  }
}

void HostileServer::Work() {
  while (true) {
    int fd;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      accepted_cv_.wait(lock, [this] { return stopping_ || !accepted_fds_.empty(); });
      if (stopping_) return;
      fd = accepted_fds_.front();
      accepted_fds_.pop_front();
    }
    Serve(fd);
  }
}

void HostileServer::Serve(int fd) {
  {
    HostileConnection connection(fd, wake_fds_[0]);
    std::string request;
    if (!read_requests_) Next()(connection, request);
    while (read_requests_ && connection.ReadRequest(request)) {
      ++requests_;
      Behaviour behaviour = Next();
      if (!behaviour(connection, request) || !connection.IsOpen()) break;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  --open_connections_;
  closed_cv_.notify_all();
}

bool HostileServer::WaitForNoConnections(std::chrono::seconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return closed_cv_.wait_for(lock, limit, [this] { return open_connections_ == 0; });
}

int FindLocalSocket(unsigned short port) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = std::atoi(entry.path().filename().c_str());
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == port) {
      return fd;
    }
  }
  return -1;
}

std::size_t CountOpenFds() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

std::size_t CurrentRss() { return StatusValue("VmRSS:"); }
std::size_t PeakRss() { return StatusValue("VmHWM:"); }

void ResetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

std::size_t CountFiles(const std::string& dir) {
  std::error_code error;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    if (it->is_regular_file(error)) ++count;
  }
  return count;
}

}  // namespace test
}  // namespace korvo
