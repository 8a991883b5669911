// Servers korvo did not write, each run by a test as a child process on loopback:
// nginx (HTTP and HTTPS), Python's http.server and `openssl s_server -WWW`. Debian's
// httpbin under gunicorn has a class of its own (httpbin_server.h).
//
// ServerProcess runs one program in a process group of its own and collects what it
// writes to its standard output and error, for failure messages and for the port a
// program announces. The server classes on top of it choose their ports without a race:
// the test process binds the listening socket and hands it over where the program can
// take it (nginx, Python), and otherwise lets the program bind port 0 and reads the port
// it announces (s_server). Start returns once the server answers; Stop, or destruction,
// ends the program and every process it started, and removes the files it used.
// Nothing here looks a name up: every address is 127.0.0.1.
//
// Thread rules: Start, Stop and destruction on one thread; the getters from any thread
// while the server runs. ServerProcess reads the output on a thread of its own.
#ifndef KORVO_TESTS_SUPPORT_REAL_SERVERS_H_
#define KORVO_TESTS_SUPPORT_REAL_SERVERS_H_

#include <condition_variable>
#include <cstddef>
#include <csignal>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "support/temp_dir.h"  // WritePrivateFile
#include "support/test_tls.h"

// In a test (or its SetUp): fails in CI, else skips, saying `reason`.
#define KORVO_FAIL_IN_CI_ELSE_SKIP(reason)              \
  do {                                                 \
    if (::korvo::test::InCi()) FAIL() << (reason);     \
    GTEST_SKIP() << (reason);                          \
  } while (0)

// In a test: goes on only when `program` can be run (see HasProgram).
#define KORVO_REQUIRE_PROGRAM(program, package)                            \
  do {                                                                     \
    std::string korvo_missing;                                             \
    if (!::korvo::test::HasProgram((program), (package), &korvo_missing)) { \
      KORVO_FAIL_IN_CI_ELSE_SKIP(korvo_missing);                           \
    }                                                                      \
  } while (0)

namespace korvo {
namespace test {

// Whether `program` can be run; if not, `reason` names it and the Debian package that
// brings it.
bool HasProgram(const char* program, const char* package, std::string* reason);

// Whether the suite runs in CI (CI=true), where scripts/install-deps.sh has installed
// every server program: there a missing one is a failure, elsewhere a reason to skip.
bool InCi();

// ServerStarts: for a suite of servers that its tests start as they first need them (ctest
// runs each test in a process of its own, which then starts only its servers): which
// have been tried, and why each that is not running is not. Thread rules: the test's
// thread only.
class ServerStarts {
 public:
  explicit ServerStarts(std::size_t count) : tried_(count), missing_(count), errors_(count) {}

  // Runs `start` for server `index` unless it was tried already. A failure whose error
  // says a program "is not installed" marks the server missing; any other, failed.
  void Ensure(std::size_t index, const std::function<bool(std::string* error)>& start);
  // In a test, after Ensure: fails (CI) or skips (elsewhere) when server `index` is
  // missing, and fails unless it is `running`.
  void Require(std::size_t index, bool running) const;

 private:
  std::vector<bool> tried_;
  std::vector<std::string> missing_;
  std::vector<std::string> errors_;
};

class ServerProcess {
 public:
  struct Options {
    std::vector<std::string> argv;         // argv[0]: the program's absolute path
    std::vector<std::string> environment;  // "NAME=value", added to the test's own
    std::vector<int> descriptors;          // become descriptors 3, 4, ... of the program
    std::filesystem::path directory;       // working directory; empty: the test's
  };

  ServerProcess() = default;
  ~ServerProcess() { Stop(); }

  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts the program. The descriptors stay open in the test process.
  bool Start(const Options& options, std::string* error);

  // Waits until a whole line of output contains `marker` and returns that line, or
  // fails when the program ends first or `timeout_seconds` pass (a bound for a broken
  // installation, not a pace).
  bool WaitForLine(std::string_view marker, int timeout_seconds, std::string* line,
                   std::string* error);

  // Sends "GET `path`" to 127.0.0.1:`port` and waits until any HTTP answer has come
  // whole, the program has ended, or `timeout_seconds` have passed.
  bool WaitUntilAnswering(unsigned short port, std::string_view path, int timeout_seconds,
                          std::string* error);

  // Waits up to `milliseconds` (0: not at all) for the program to end; true once it has.
  // For programs that bind their own port: a pause between two looks at it that ends
  // early when the program gives up.
  bool WaitForExit(int milliseconds) const;

  // Sends `signal_number`, waits a while for the program to end, kills whatever is left
  // of its process group and reaps it. Nothing happens when it does not run.
  void Stop(int signal_number = SIGTERM);

  bool IsRunning() const { return pid_ > 0; }
  // The last few KiB of what the program wrote.
  std::string OutputTail() const;

 private:
  void ReadOutput();

  pid_t pid_ = -1;
  int pid_fd_ = -1;     // readable once the program has ended
  int output_fd_ = -1;  // the read end of the program's standard output and error
  int wake_fd_ = -1;    // an eventfd that tells the reader to finish
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  bool output_ended_ = false;
};

// NginxServer: Debian's nginx as a private instance: configuration, logs, pid file and
// temporary files in a directory of its own, `daemon off`, a master and one worker (as
// the test's own user, root included, so that it reads what the test wrote). It
// serves a directory on two ports of 127.0.0.1, plain and TLS, with the same locations:
//   /NAME          the file as it is, with "Content-Length";
//   /chunked/NAME  the same bytes through a sub_filter that never matches, which leaves
//                  the length unknown, so nginx sends them chunked;
//   /close/NAME    the same again with chunked transfer coding off, so nginx delimits
//                  the body by closing the connection.
// Every response carries "X-Connection" and "X-Connection-Requests": nginx's number of
// the connection and of the request on it.
class NginxServer {
 public:
  static constexpr const char* kNginx = "/usr/sbin/nginx";

  NginxServer() = default;
  ~NginxServer() { Stop(); }

  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // Serves `root`, with `certificate` on the TLS port.
  bool Start(const std::filesystem::path& root, const TestCertificate& certificate,
             std::string* error);
  void Stop();

  bool IsRunning() const { return process_.IsRunning(); }
  // "http://127.0.0.1:<port>" and "https://127.0.0.1:<port>", followed by `path`.
  std::string HttpUrl(std::string_view path) const;
  std::string HttpsUrl(std::string_view path) const;

 private:
  std::string WriteConfig(const std::filesystem::path& root) const;
  std::string ErrorLogTail() const;

  ServerProcess process_;
  std::filesystem::path dir_;
  unsigned short http_port_ = 0;
  unsigned short https_port_ = 0;
};

// PythonHttpServer: the standard library's http.server (SimpleHTTPRequestHandler on a
// ThreadingHTTPServer, HTTP/1.0, one response per connection) serving a directory.
class PythonHttpServer {
 public:
  static constexpr const char* kPython = "/usr/bin/python3";

  PythonHttpServer() = default;
  ~PythonHttpServer() { Stop(); }

  PythonHttpServer(const PythonHttpServer&) = delete;
  PythonHttpServer& operator=(const PythonHttpServer&) = delete;

  bool Start(const std::filesystem::path& root, std::string* error);
  void Stop() { process_.Stop(); }

  bool IsRunning() const { return process_.IsRunning(); }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string Url(std::string_view path) const;

 private:
  ServerProcess process_;
  unsigned short port_ = 0;
};

// Starts `argv`, an `openssl s_server` told to accept on "127.0.0.1:0", in `directory`,
// and reads the port it announces. False, with the server's last output in `error`,
// when it does not start listening.
bool StartOpensslServer(ServerProcess& process, std::vector<std::string> argv,
                        const std::filesystem::path& directory, unsigned short* port,
                        std::string* error);

// OpensslWwwServer: `openssl s_server -WWW`, which answers "GET /NAME" over TLS with an
// HTTP/1.0 head and the file NAME of its working directory, and ends the body by
// closing the connection. One connection at a time.
class OpensslWwwServer {
 public:
  static constexpr const char* kOpenssl = "/usr/bin/openssl";

  OpensslWwwServer() = default;
  ~OpensslWwwServer() { Stop(); }

  OpensslWwwServer(const OpensslWwwServer&) = delete;
  OpensslWwwServer& operator=(const OpensslWwwServer&) = delete;

  // Serves `root` with `certificate`; the key and certificate files go to a directory
  // of their own, removed by Stop.
  bool Start(const std::filesystem::path& root, const TestCertificate& certificate,
             std::string* error);
  void Stop();

  bool IsRunning() const { return process_.IsRunning(); }
  // "https://127.0.0.1:<port>" followed by `path`.
  std::string Url(std::string_view path) const;

 private:
  ServerProcess process_;
  std::filesystem::path dir_;
  unsigned short port_ = 0;
};

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_REAL_SERVERS_H_
