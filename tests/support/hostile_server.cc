#include "support/hostile_server.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

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

ScriptedServer::Options Counting() {
  ScriptedServer::Options options;
  // Soak runs read tens of thousands of requests; their heads are not kept.
  options.record_requests = false;
  return options;
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

HostileServer::HostileServer(bool read_requests)
    : read_requests_(read_requests),
      server_(Counting(), [this](ScriptedConnection& connection) { Serve(connection); }) {}

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

void HostileServer::Serve(ScriptedConnection& connection) {
  std::string request;
  if (!read_requests_) {
    Next()(connection, request);
    return;
  }
  while (connection.ReadRequest(&request)) {
    // Behaviours see the head only; the body has been consumed.
    request.resize(request.find("\r\n\r\n") + 4);
    if (!Next()(connection, request) || !connection.IsOpen()) return;
  }
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

}  // namespace test
}  // namespace korvo
