#include "support/real_servers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include <gtest/gtest.h>

#include "korvo/internal/utility.h"
#include "support/httpbin_server.h"

extern char** environ;

namespace korvo {
namespace test {

namespace fs = std::filesystem;

namespace {

// Enough of a server's output to explain a failure, and bounded for a chatty one.
constexpr std::size_t kTailSize = 4000;
constexpr std::size_t kOutputLimit = 1 << 20;
// Bounds for a broken installation; a working one answers in well under a second.
constexpr int kStartSeconds = 30;
constexpr int kStopMilliseconds = 10000;

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Variables that could make a server load code or settings from elsewhere than the
// Debian packages.
bool IsInheritedSetting(const char* entry) {
  for (const char* prefix : {"PYTHONPATH=", "PYTHONHOME=", "PYTHONSTARTUP=", "NGINX="}) {
    if (std::strncmp(entry, prefix, std::strlen(prefix)) == 0) return true;
  }
  return false;
}

std::string Tail(const std::string& text) {
  return text.size() > kTailSize ? text.substr(text.size() - kTailSize) : text;
}

std::string ReadTail(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return Tail(text.str());
}

void RemoveDir(fs::path& dir) {
  if (dir.empty()) return;
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  dir.clear();
}

}  // namespace

bool HasProgram(const char* program, const char* package, std::string* reason) {
  if (::access(program, X_OK) == 0) return true;
  *reason = std::string(program) + " is not installed (Debian package " + package +
            "; scripts/install-deps.sh installs it)";
  return false;
}

void ServerStarts::Ensure(std::size_t index,
                          const std::function<bool(std::string* error)>& start) {
  if (tried_[index]) return;
  tried_[index] = true;
  std::string error;
  if (start(&error)) return;
  // What is not installed fails in CI only; what failed to start fails everywhere.
  (error.find("is not installed") != std::string::npos ? missing_ : errors_)[index] = error;
}

void ServerStarts::Require(std::size_t index, bool running) const {
  if (!missing_[index].empty()) KORVO_FAIL_IN_CI_ELSE_SKIP(missing_[index]);
  ASSERT_TRUE(running) << "a server did not start: " << errors_[index];
}

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

// ---- ServerProcess ----

bool ServerProcess::Start(const Options& options, std::string* error) {
  if (IsRunning()) {
    *error = "already running";
    return false;
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *error = Errno("pipe");
    return false;
  }

  // Everything the child needs is made before fork: after it, only async-signal-safe
  // calls, since other threads of the test may hold locks.
  std::vector<std::string> args = options.argv;
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!IsInheritedSetting(*entry)) variables.emplace_back(*entry);
  }
  variables.insert(variables.end(), options.environment.begin(), options.environment.end());
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string directory = options.directory.string();
  const std::vector<int>& descriptors = options.descriptors;
  const int first_free = 3 + static_cast<int>(descriptors.size());
  std::vector<int> staged(descriptors.size(), -1);
  pid_t parent = ::getpid();

  pid_t pid = ::fork();
  if (pid < 0) {
    *error = Errno("fork");
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return false;
  }
  if (pid == 0) {
    // The server must not outlive a test binary that crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::setpgid(0, 0);
    if (::dup2(pipe_fds[1], STDOUT_FILENO) < 0 || ::dup2(pipe_fds[1], STDERR_FILENO) < 0) {
      ::_exit(127);
    }
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    // Out of the way of descriptors 3, 4, ... first, so that handing one over cannot
    // overwrite another that is still to come.
    for (std::size_t i = 0; i < descriptors.size(); ++i) {
      staged[i] = ::fcntl(descriptors[i], F_DUPFD_CLOEXEC, first_free);
      if (staged[i] < 0) ::_exit(127);
    }
    for (std::size_t i = 0; i < staged.size(); ++i) {
      if (::dup2(staged[i], 3 + static_cast<int>(i)) < 0) ::_exit(127);
    }
    // Whatever else the test process holds (sockets of other tests, log files) stays
    // out of the server.
    ::syscall(SYS_close_range, first_free, ~0U, 0);
    if (!directory.empty() && ::chdir(directory.c_str()) != 0) ::_exit(127);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }

  ::close(pipe_fds[1]);
  pid_ = pid;
  pid_fd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  output_fd_ = pipe_fds[0];
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    output_.clear();
    output_ended_ = false;
  }
  reader_ = std::thread([this] { ReadOutput(); });
  return true;
}

void ServerProcess::ReadOutput() {
  char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{output_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      ssize_t n = ::read(output_fd_, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      // The end of the output: every process that held the pipe has ended.
      if (n <= 0) break;
      std::lock_guard<std::mutex> lock(mutex_);
      output_.append(buffer, static_cast<std::size_t>(n));
      if (output_.size() > kOutputLimit) output_.erase(0, output_.size() - kOutputLimit / 2);
      changed_.notify_all();
    } else if ((fds[1].revents & POLLIN) != 0) {
      break;  // Stop: nothing is left to read
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  output_ended_ = true;
  changed_.notify_all();
}

bool ServerProcess::WaitForLine(std::string_view marker, int timeout_seconds,
                                std::string* line, std::string* error) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto found = [&] {
    std::size_t at = output_.find(marker);
    if (at == std::string::npos) return false;
    std::size_t start = output_.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    std::size_t end = output_.find('\n', at);
    if (end == std::string::npos) return false;
    *line = output_.substr(start, end - start);
    return true;
  };
  if (!changed_.wait_for(lock, std::chrono::seconds(timeout_seconds),
                         [&] { return found() || output_ended_; })) {
    *error = "no \"" + std::string(marker) + "\" in the output within " +
             std::to_string(timeout_seconds) + " s";
    return false;
  }
  if (found()) return true;
  *error = "the program ended without \"" + std::string(marker) + "\" in its output";
  return false;
}

bool ServerProcess::WaitUntilAnswering(unsigned short port, std::string_view path,
                                       int timeout_seconds, std::string* error) {
  std::string answer;
  if (!FetchFromStartingServer(port, path, pid_fd_, timeout_seconds, answer, *error)) {
    return false;
  }
  if (answer.rfind("HTTP/1.", 0) == 0) return true;
  *error = answer.empty() ? "the connection closed without an answer"
                          : "unexpected answer: " + answer.substr(0, 200);
  return false;
}

bool ServerProcess::WaitForExit(int milliseconds) const {
  if (pid_ <= 0) return true;
  if (pid_fd_ < 0) return false;
  pollfd fd = {pid_fd_, POLLIN, 0};
  int count;
  while ((count = ::poll(&fd, 1, milliseconds)) < 0 && errno == EINTR) {
  }
  return count > 0;
}

void ServerProcess::Stop(int signal_number) {
  if (pid_ > 0) {
    ::kill(pid_, signal_number);
    if (pid_fd_ >= 0) {
      pollfd fd = {pid_fd_, POLLIN, 0};
      while (::poll(&fd, 1, kStopMilliseconds) < 0 && errno == EINTR) {
      }
    }
    // Until it is reaped the program keeps its pid, so the group cannot be anybody
    // else's: whatever is left of it (children, or all of it after no exit) is killed.
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  if (reader_.joinable()) {
    std::uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof(one)) < 0) {
      // The reader ends with the output anyway: every writer has been killed.
    }
    reader_.join();
  }
  for (int* fd : {&pid_fd_, &output_fd_, &wake_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

std::string ServerProcess::OutputTail() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Tail(output_);
}

// ---- NginxServer ----

bool NginxServer::Start(const fs::path& root, const TestCertificate& certificate,
                        std::string* error) {
  if (IsRunning()) return true;
  if (!HasProgram(kNginx, "nginx", error)) return false;
  dir_ = MakeUniqueTempDir("korvo_nginx_");
  fs::create_directories(dir_ / "temp");
  if (!WritePrivateFile(dir_ / "server.crt", certificate.cert_pem) ||
      !WritePrivateFile(dir_ / "server.key", certificate.key_pem)) {
    *error = "cannot write the certificate to " + dir_.string();
    Stop();
    return false;
  }

  // nginx takes listening sockets from descriptors named in $NGINX (the way a new binary
  // takes them from the old one) and uses each for the "listen" with its address.
  int http_fd = ListenOnLoopback(http_port_, *error);
  int https_fd = http_fd < 0 ? -1 : ListenOnLoopback(https_port_, *error);
  if (https_fd < 0) {
    if (http_fd >= 0) ::close(http_fd);
    Stop();
    return false;
  }
  std::string config = (dir_ / "nginx.conf").string();
  {
    std::ofstream file(config);
    file << WriteConfig(root);
  }

  ServerProcess::Options options;
  options.argv = {kNginx, "-p", dir_.string() + "/", "-c", config,
                  "-e", (dir_ / "error.log").string()};
  options.environment = {"NGINX=3;4;"};
  options.descriptors = {http_fd, https_fd};
  bool started = process_.Start(options, error);
  ::close(http_fd);
  ::close(https_fd);
  // Both ports belong to the one worker, which takes them up together.
  if (!started || !process_.WaitUntilAnswering(http_port_, "/", kStartSeconds, error)) {
    *error += "\nnginx output:\n" + process_.OutputTail() + "\nerror.log:\n" + ErrorLogTail();
    Stop();
    return false;
  }
  return true;
}

std::string NginxServer::WriteConfig(const fs::path& root) const {
  const std::string dir = dir_.string();
  const std::string www = root.string();
  // A sub_filter must hold back what could be the start of a match, so nginx cannot know
  // the length in advance. The pattern never occurs in the served files: the bytes pass
  // unchanged.
  const std::string unknown_length =
      "      sub_filter_types *;\n"
      "      sub_filter 'korvo-interop-no-such-text' 'x';\n";
  std::ostringstream text;
  text << "daemon off;\n"
       << "master_process on;\n"
       << "worker_processes 1;\n"
       // As root, workers would drop to "nobody", who may not read the test's files.
       << (::geteuid() == 0 ? "user root root;\n" : "")
       << "pid " << dir << "/nginx.pid;\n"
       << "error_log " << dir << "/error.log notice;\n"
       << "events { worker_connections 256; }\n"
       << "http {\n"
       << "  access_log off;\n"
       << "  default_type application/octet-stream;\n"
       << "  client_body_temp_path " << dir << "/temp/body;\n"
       << "  proxy_temp_path " << dir << "/temp/proxy;\n"
       << "  fastcgi_temp_path " << dir << "/temp/fastcgi;\n"
       << "  uwsgi_temp_path " << dir << "/temp/uwsgi;\n"
       << "  scgi_temp_path " << dir << "/temp/scgi;\n"
       << "  keepalive_requests 1000;\n"
       << "  ssl_certificate " << dir << "/server.crt;\n"
       << "  ssl_certificate_key " << dir << "/server.key;\n"
       << "  ssl_protocols TLSv1.2 TLSv1.3;\n"
       << "  server {\n"
       << "    listen 127.0.0.1:" << http_port_ << ";\n"
       << "    listen 127.0.0.1:" << https_port_ << " ssl;\n"
       << "    root " << www << ";\n"
       << "    add_header X-Connection $connection always;\n"
       << "    add_header X-Connection-Requests $connection_requests always;\n"
       << "    location / { }\n"
       << "    location /chunked/ {\n"
       << "      alias " << www << "/;\n"
       << unknown_length << "    }\n"
       << "    location /close/ {\n"
       << "      alias " << www << "/;\n"
       << unknown_length << "      chunked_transfer_encoding off;\n"
       << "    }\n"
       << "  }\n"
       << "}\n";
  return text.str();
}

void NginxServer::Stop() {
  // SIGTERM is nginx's fast shutdown: the master ends its worker, then itself.
  process_.Stop(SIGTERM);
  RemoveDir(dir_);
}

std::string NginxServer::HttpUrl(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(http_port_) + std::string(path);
}

std::string NginxServer::HttpsUrl(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(https_port_) + std::string(path);
}

std::string NginxServer::ErrorLogTail() const { return ReadTail(dir_ / "error.log"); }

// ---- PythonHttpServer ----

namespace {

// `python3 -m http.server` would bind the port itself, and HTTPServer.server_bind looks
// the address up (socket.getfqdn); the same server and handler on the test's socket
// need neither.
constexpr const char* kPythonServer = R"(
import functools, http.server, socket, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler, bind_and_activate=False)
server.socket.close()
server.socket = socket.socket(fileno=3)
server.server_name, server.server_port = server.socket.getsockname()[:2]
server.serve_forever()
)";

}  // namespace

bool PythonHttpServer::Start(const fs::path& root, std::string* error) {
  if (IsRunning()) return true;
  if (!HasProgram(kPython, "python3", error)) return false;
  int fd = ListenOnLoopback(port_, *error);
  if (fd < 0) return false;
  ServerProcess::Options options;
  // -I: no user site, no PYTHON* variables, nothing from the working directory.
  options.argv = {kPython, "-I", "-u", "-c", kPythonServer, root.string()};
  options.descriptors = {fd};
  bool started = process_.Start(options, error);
  ::close(fd);
  if (!started || !process_.WaitUntilAnswering(port_, "/", kStartSeconds, error)) {
    *error += "\nhttp.server output:\n" + process_.OutputTail();
    Stop();
    return false;
  }
  return true;
}

std::string PythonHttpServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

// ---- OpensslWwwServer ----

bool OpensslWwwServer::Start(const fs::path& root, const TestCertificate& certificate,
                             std::string* error) {
  if (IsRunning()) return true;
  if (!HasProgram(kOpenssl, "openssl", error)) return false;
  dir_ = MakeUniqueTempDir("korvo_s_server_");
  fs::path cert = dir_ / "server.crt";
  fs::path key = dir_ / "server.key";
  if (!WritePrivateFile(cert, certificate.cert_pem) ||
      !WritePrivateFile(key, certificate.key_pem)) {
    *error = "cannot write the certificate to " + dir_.string();
    Stop();
    return false;
  }
  if (!StartOpensslServer(process_,
                          {kOpenssl, "s_server", "-WWW", "-accept", "127.0.0.1:0", "-cert",
                           cert.string(), "-key", key.string()},
                          root, &port_, error)) {
    Stop();
    return false;
  }
  return true;
}

bool StartOpensslServer(ServerProcess& process, std::vector<std::string> argv,
                        const fs::path& directory, unsigned short* port, std::string* error) {
  // s_server cannot take a listening socket; on port 0 it binds one the kernel chooses
  // and announces it ("ACCEPT 127.0.0.1:<port>") once it listens.
  ServerProcess::Options options;
  options.argv = std::move(argv);
  options.directory = directory;
  std::string line;
  if (!process.Start(options, error) ||
      !process.WaitForLine("ACCEPT 127.0.0.1:", kStartSeconds, &line, error)) {
    *error += "\ns_server output:\n" + process.OutputTail();
    return false;
  }
  *port = static_cast<unsigned short>(std::atoi(line.c_str() + line.rfind(':') + 1));
  return true;
}

void OpensslWwwServer::Stop() {
  process_.Stop(SIGTERM);
  RemoveDir(dir_);
}

std::string OpensslWwwServer::Url(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

}  // namespace test
}  // namespace korvo
