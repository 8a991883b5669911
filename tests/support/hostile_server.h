// HostileServer: a loopback HTTP server that misbehaves on purpose, for tests of how the
// client survives broken, stalling and abusive peers.
//
// Each request the server reads is answered by the next scripted Behaviour; once the
// script is used up, requests get a well-formed keep-alive "200 OK" with the body
// "fine", so a test can script one fault and then check that the next request works.
// Behaviours block only on the client (its bytes or its closing the connection), never
// on a clock, and stop as soon as the client has gone.
//
// Thread rules: the server accepts on its own thread and serves up to kWorkers
// connections at the same time, each on a worker thread; Script,
// Accepted, Requests and the destructor may be called from the test's thread at any time.
#ifndef KORVO_TESTS_SUPPORT_HOSTILE_SERVER_H_
#define KORVO_TESTS_SUPPORT_HOSTILE_SERVER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korvo {
namespace test {

// One accepted connection, as seen by a behaviour. Operations fail quietly (return
// false) once the client has closed or reset the connection.
class HostileConnection {
 public:
  // `wake_fd` becomes readable when the server shuts down; every wait watches it.
  HostileConnection(int fd, int wake_fd) : fd_(fd), wake_fd_(wake_fd) {}
  ~HostileConnection();

  HostileConnection(const HostileConnection&) = delete;
  HostileConnection& operator=(const HostileConnection&) = delete;

  // Reads one request head and the body its Content-Length announces; false at the end
  // of the connection.
  bool ReadRequest(std::string& head);

  // Reads whatever the client sends next (at least one byte); false at the end.
  bool ReadSome(std::string& bytes);

  bool Send(std::string_view bytes);
  // Sends `total` bytes made of `block` repeated (the last copy cut short), without
  // ever holding more than one block: a huge response costs the server no memory.
  bool SendRepeated(std::string_view block, std::size_t total);

  // Blocks until the client closes (or resets) the connection, discarding what it sends.
  void WaitForClose();

  // Ends the connection with a TCP reset instead of an orderly close.
  void Reset();
  // Orderly close (FIN).
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  // The client's port of this connection (0 once closed).
  unsigned short PeerPort() const;

 private:
  // Waits until `fd_` is ready for `events`; false on shutdown or a dead connection.
  bool Wait(short events);

  int fd_;
  int wake_fd_;
  std::string buffer_;  // bytes read beyond the current request
};

class HostileServer {
 public:
  // Returns true to keep the connection for the client's next request.
  using Behaviour = std::function<bool(HostileConnection& connection, const std::string& request)>;

  static constexpr int kWorkers = 4;

  // Listens on 127.0.0.1 on a free port and starts the server thread. Without
  // `read_requests` (a raw server, for TLS handshakes), each connection runs one
  // behaviour at once, with an empty request, and then ends.
  explicit HostileServer(bool read_requests = true);
  // Stops the thread; connections still open are closed.
  ~HostileServer();

  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  unsigned short GetPort() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string Url(std::string_view path = "/") const;

  // Queues behaviours for the next requests, in order.
  void Script(Behaviour behaviour);
  // Replaces Fine as the answer once the script is used up.
  void SetDefault(Behaviour behaviour);

  std::size_t Accepted() const { return accepted_; }
  // Waits until the server holds no connection (every one was closed by either side);
  // false when that has not happened within `limit` (a guard against hanging, not a
  // timing assumption: the client's close is what this waits for).
  bool WaitForNoConnections(std::chrono::seconds limit = std::chrono::seconds(30));
  std::size_t Requests() const { return requests_; }

  // The well-formed answer used when the script is empty.
  static bool Fine(HostileConnection& connection, const std::string& request);
  // The request asks for "Connection: close" (any case).
  static bool WantsClose(const std::string& request);

 private:
  void Run();
  void Work();
  void Serve(int fd);
  Behaviour Next();

  const bool read_requests_;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};  // a pipe that interrupts the server thread on shutdown
  unsigned short port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> accepted_{0};
  std::atomic<std::size_t> requests_{0};
  std::mutex mutex_;
  std::deque<Behaviour> script_;
  Behaviour default_;
  std::size_t open_connections_ = 0;  // accepted and not yet closed; guarded by mutex_
  std::condition_variable closed_cv_;
  std::deque<int> accepted_fds_;  // waiting for a worker; guarded by mutex_
  std::condition_variable accepted_cv_;
  std::vector<std::thread> workers_;
  std::thread thread_;
};

// The descriptor of this process's TCP socket whose local port is `port`, or -1: finds
// the client's end of a loopback connection that the server side has seen.
int FindLocalSocket(unsigned short port);

// Process resources that a test compares before and after a run of requests.
std::size_t CountOpenFds();
// Resident set size, and its peak since the last ResetPeakRss, in bytes (0 when unknown).
std::size_t CurrentRss();
std::size_t PeakRss();
void ResetPeakRss();
// Regular files directly in a directory (0 when it does not exist).
std::size_t CountFiles(const std::string& dir);

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_HOSTILE_SERVER_H_
