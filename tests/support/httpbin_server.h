// HttpbinServer: Debian's httpbin application served by /usr/bin/gunicorn on a free
// loopback port, for end-to-end tests against a server nobody here wrote.
//
// The test process binds the listening socket itself and hands it to gunicorn, so the
// port cannot be taken by anyone else between choosing and binding it. Start returns
// once httpbin has answered a request; Stop (or destruction) ends gunicorn and its
// workers. gunicorn's own output goes to a log file whose tail Start reports on failure.
// gunicorn's sync workers answer every request with "Connection: close".
//
// Thread rules: Start, Stop and destruction on one thread; the getters from any thread
// while the server runs.
#ifndef KORVO_TESTS_SUPPORT_HTTPBIN_SERVER_H_
#define KORVO_TESTS_SUPPORT_HTTPBIN_SERVER_H_

#include <filesystem>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace korvo {
namespace test {

// A TCP socket listening on 127.0.0.1 at a port the kernel chose (stored in `port`), to
// be handed to a server program; close-on-exec. -1, with the reason in `error`, on failure.
int ListenOnLoopback(unsigned short& port, std::string& error);

// A socket connected to 127.0.0.1:`port` (close-on-exec), or -1 with errno set.
int ConnectToLoopback(unsigned short port);

// Sends a "Connection: close" GET for `path` to a server program starting up on
// 127.0.0.1:`port` (bound already, so the request waits in its backlog) and collects the
// whole answer into `answer`. False, with the reason in `error`, when the program (whose
// pidfd is `pid_fd`, or -1) ends first, the connection fails, or `timeout_seconds` pass:
// a bound for a broken installation, not a pace.
bool FetchFromStartingServer(unsigned short port, std::string_view path, int pid_fd,
                             int timeout_seconds, std::string& answer, std::string& error);

class HttpbinServer {
 public:
  static constexpr const char* kGunicorn = "/usr/bin/gunicorn";

  HttpbinServer() = default;
  ~HttpbinServer() { Stop(); }

  HttpbinServer(const HttpbinServer&) = delete;
  HttpbinServer& operator=(const HttpbinServer&) = delete;

  // Starts gunicorn with `workers` sync workers and waits until httpbin answers, at
  // most `timeout_seconds` (a bound for a broken installation, not a pace). On failure
  // returns false with the reason, gunicorn's output included, in `error`.
  bool Start(int workers = 2, int timeout_seconds = 60, std::string* error = nullptr);

  // Before Start: httpbin also listens on a Unix-domain socket at `path`, bound by the
  // test and handed over as the TCP socket is; Stop removes it. Empty: not.
  void SetUnixSocket(std::filesystem::path path) { unix_socket_ = std::move(path); }

  // Ends gunicorn (quick shutdown, then a kill if it does not exit) and reaps it.
  void Stop();

  bool IsRunning() const { return pid_ > 0; }
  unsigned short GetPort() const { return port_; }
  // "127.0.0.1:<port>"
  std::string HostPort() const;
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string Url(std::string_view path = "/") const;

 private:
  bool WaitUntilAnswering(int timeout_seconds, std::string* error);
  std::string LogTail() const;

  pid_t pid_ = -1;
  int pid_fd_ = -1;  // becomes readable when gunicorn exits
  unsigned short port_ = 0;
  std::filesystem::path unix_socket_;
  std::filesystem::path bound_unix_socket_;  // the socket file Stop removes
  std::filesystem::path log_dir_;
};

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_HTTPBIN_SERVER_H_
