#include "support/httpbin_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "korvo/internal/utility.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"

namespace korvo {
namespace test {

namespace {

// The descriptors gunicorn is told to take the listening sockets from: TCP, Unix.
constexpr int kListenFd = 3;
constexpr int kUnixFd = 4;

// A Unix-domain stream socket listening at `path` (close-on-exec), or -1 with the reason
// in `error`.
int ListenOnUnixSocket(const std::filesystem::path& path, std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof(address.sun_path)) {
    error = "the socket path is too long: " + path.string();
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.native().size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 128) != 0) {
    error = "listen on " + path.string() + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int ListenOnLoopback(unsigned short& port, std::string& error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 128) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = std::string("listen: ") + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

int ConnectToLoopback(unsigned short port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool HttpbinServer::Start(int workers, int timeout_seconds, std::string* error) {
  std::string ignored;
  std::string& reason = error != nullptr ? *error : ignored;
  if (IsRunning()) return true;
  if (!HasProgram(kGunicorn, "gunicorn python3-httpbin", &reason)) return false;

  log_dir_ = MakeUniqueTempDir("korvo_httpbin_");
  std::string log_file = (log_dir_ / "gunicorn.log").string();

  int listen_fd = ListenOnLoopback(port_, reason);
  if (listen_fd < 0) return false;
  int unix_fd = -1;
  if (!unix_socket_.empty()) {
    unix_fd = ListenOnUnixSocket(unix_socket_, reason);
    if (unix_fd < 0) {
      ::close(listen_fd);
      return false;
    }
    bound_unix_socket_ = unix_socket_;
  }

  // Everything the child needs is made before fork: after it only async-signal-safe calls.
  std::vector<std::string> args = {"gunicorn",
                                   "--bind", "fd://" + std::to_string(kListenFd),
                                   "--workers", std::to_string(workers),
                                   "--worker-class", "sync",
                                   "--log-level", "warning",
                                   "--error-logfile", "-",
                                   "--graceful-timeout", "1",
                                   "httpbin:app"};
  // Given one descriptor, gunicorn binds nothing itself: the Unix socket is handed over
  // too.
  if (unix_fd >= 0) args.insert(args.begin() + 3, {"--bind", "fd://" + std::to_string(kUnixFd)});
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t parent = ::getpid();

  pid_t pid = ::fork();
  if (pid < 0) {
    reason = std::string("fork: ") + std::strerror(errno);
    ::close(listen_fd);
    if (unix_fd >= 0) ::close(unix_fd);
    return false;
  }
  if (pid == 0) {
    // gunicorn must not outlive a test binary that crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::setpgid(0, 0);
    int log = ::open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (log >= 0) {
      ::dup2(log, STDOUT_FILENO);
      ::dup2(log, STDERR_FILENO);
    }
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    // The sockets must survive exec as descriptors 3 and 4. Out of their way first, so
    // that handing one over cannot overwrite the other; dup2 then clears close-on-exec
    // on the copies.
    int staged_listen = ::fcntl(listen_fd, F_DUPFD_CLOEXEC, kUnixFd + 1);
    int staged_unix = unix_fd < 0 ? -1 : ::fcntl(unix_fd, F_DUPFD_CLOEXEC, kUnixFd + 1);
    if (staged_listen < 0 || (unix_fd >= 0 && staged_unix < 0)) ::_exit(127);
    if (::dup2(staged_listen, kListenFd) < 0) ::_exit(127);
    if (staged_unix >= 0 && ::dup2(staged_unix, kUnixFd) < 0) ::_exit(127);
    ::unsetenv("PYTHONPATH");
    ::unsetenv("PYTHONHOME");
    // Inherited settings could make the server report to a named host.
    ::unsetenv("GUNICORN_CMD_ARGS");
    ::unsetenv("BUGSNAG_API_KEY");
    ::execv(kGunicorn, argv.data());
    ::_exit(127);
  }

  // Only gunicorn holds the sockets now, so connections are refused once it is gone.
  ::close(listen_fd);
  if (unix_fd >= 0) ::close(unix_fd);
  pid_ = pid;
  pid_fd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (!WaitUntilAnswering(timeout_seconds, &reason)) {
    reason += "\ngunicorn output:\n" + LogTail();
    Stop();
    return false;
  }
  return true;
}

bool FetchFromStartingServer(unsigned short port, std::string_view path, int pid_fd,
                             int timeout_seconds, std::string& answer, std::string& error) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int fd = ConnectToLoopback(port);
  if (fd < 0) {
    error = std::string("connect: ") + std::strerror(errno);
    return false;
  }
  std::string request = "GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                        std::to_string(port) + "\r\nConnection: close\r\n\r\n";
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    error = std::string("send: ") + std::strerror(errno);
    ::close(fd);
    return false;
  }
  answer.clear();
  char buffer[4096];
  bool complete = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      error = "no answer on port " + std::to_string(port) + " within " +
              std::to_string(timeout_seconds) + " s";
      break;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {pid_fd, POLLIN, 0}};
    int count = ::poll(fds, pid_fd >= 0 ? 2 : 1, static_cast<int>(left.count()));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      error = std::string("poll: ") + std::strerror(errno);
      break;
    }
    if (pid_fd >= 0 && (fds[1].revents & POLLIN) != 0) {
      error = "the program ended before answering";
      break;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n > 0) {
      answer.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    complete = true;
    break;
  }
  ::close(fd);
  return complete;
}

bool HttpbinServer::WaitUntilAnswering(int timeout_seconds, std::string* error) {
  // The request waits in the backlog until a worker has booted.
  std::string answer;
  if (!FetchFromStartingServer(port_, "/get", pid_fd_, timeout_seconds, answer, *error)) {
    return false;
  }
  if (answer.rfind("HTTP/1.1 200", 0) == 0 || answer.rfind("HTTP/1.0 200", 0) == 0) return true;
  *error = "unexpected answer from httpbin: " + answer.substr(0, 200);
  return false;
}

void HttpbinServer::Stop() {
  if (pid_ > 0) {
    // SIGINT is gunicorn's quick shutdown; its workers go with the master.
    ::kill(pid_, SIGINT);
    if (pid_fd_ >= 0) {
      pollfd fd = {pid_fd_, POLLIN, 0};
      int count;
      do {
        count = ::poll(&fd, 1, 10000);
      } while (count < 0 && errno == EINTR);
    }
    // Until it is reaped the master keeps its pid, so the group cannot be anybody
    // else's: whatever is left of it (workers, or all of it after no exit) is killed.
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  if (pid_fd_ >= 0) {
    ::close(pid_fd_);
    pid_fd_ = -1;
  }
  if (!log_dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(log_dir_, ignored);
    log_dir_.clear();
  }
  if (!bound_unix_socket_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(bound_unix_socket_, ignored);
    bound_unix_socket_.clear();
  }
}

std::string HttpbinServer::HostPort() const {
  return "127.0.0.1:" + std::to_string(port_);
}

std::string HttpbinServer::Url(std::string_view path) const {
  return "http://" + HostPort() + std::string(path);
}

std::string HttpbinServer::LogTail() const {
  std::ifstream file(log_dir_ / "gunicorn.log");
  std::stringstream text;
  text << file.rdbuf();
  std::string all = text.str();
  return all.size() > 4000 ? all.substr(all.size() - 4000) : all;
}

}  // namespace test
}  // namespace korvo
