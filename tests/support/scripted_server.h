// ScriptedServer: a loopback HTTP server, plain or TLS, whose every connection runs a
// scripted Behaviour, for tests of the transport and of what is built on it.
//
// The server listens on a free port of 127.0.0.1 (or ::1). Each accepted connection
// (after the TLS handshake, for a TLS server) runs the next behaviour given to Script,
// or the default behaviour once the script is used up. A behaviour drives its
// connection step by step: read a request (or only its head), send bytes, wait until
// the client goes away without reading, drain, close, reset. When it returns, a
// connection it left open is closed in order.
//
// A server built with Options::record_requests false only counts the heads it reads,
// so that a long run does not grow the test's memory.
//
// Nothing waits on a clock: every wait of a behaviour ends when the client acts or the
// server is destroyed, and the test-side waits (WaitForRequests and friends) end on the
// event, with a generous bound only so that a broken test fails instead of hanging.
//
// FullBacklogListener is a loopback listener (127.0.0.1 unless told another address)
// that never accepts and whose accept queue is full, so that a connect to it hangs
// (until the client gives up): the way to test a connect time limit, or an address that
// never answers, without any traffic leaving the machine.
//
// LoopThread (below) runs an io_context on its own thread for tests of the transport.
//
// Thread rules: the server accepts on its own thread and runs each connection on a
// thread of its own; behaviours run there. Script, SetDefault, the counters, the waits
// and the destructor may be called from the test's thread at any time.
#ifndef KORVO_TESTS_SUPPORT_SCRIPTED_SERVER_H_
#define KORVO_TESTS_SUPPORT_SCRIPTED_SERVER_H_

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <openssl/ssl.h>

#include "support/test_tls.h"

namespace korvo {
namespace test {

class ScriptedServer;

// One accepted connection, as a behaviour sees it. Operations return false once the
// client has closed or reset the connection, or the server is being destroyed.
class ScriptedConnection {
 public:
  ~ScriptedConnection();

  ScriptedConnection(const ScriptedConnection&) = delete;
  ScriptedConnection& operator=(const ScriptedConnection&) = delete;

  // Reads one request head (through the blank line) and the body its Content-Length
  // announces. `request`, if given, receives head and body. The head is recorded in
  // the server's Requests().
  bool ReadRequest(std::string* request = nullptr);
  // Reads only the head and records it; any body stays unread.
  bool ReadHead(std::string* head = nullptr);

  // Reads whatever arrives next (at least one byte, or whatever was already buffered)
  // into `bytes`; false at the end of the connection.
  bool ReadSome(std::string* bytes = nullptr);

  bool Send(std::string_view bytes);
  // Sends `total` bytes made of `block` repeated (the last copy cut short), never holding
  // more than one block: a huge response costs the server no memory.
  bool SendRepeated(std::string_view block, std::size_t total);
  // Sends each of `records` as a TLS record of its own (a plain connection: as they
  // are), all in one TCP write, so that the client receives them together.
  bool SendRecords(const std::vector<std::string>& records);

  // Blocks until the client closes or resets the connection, reading nothing, so that
  // the client's writes stall once the buffers are full.
  void WaitForClose();
  // Reads and discards until the client closes.
  void DrainUntilClose();

  // Relays bytes (decrypted, on a TLS connection) both ways between the client and a new connection
  // to 127.0.0.1:`port` (bytes already received go first) until either side closes, as
  // a proxy's tunnel does. False when the port cannot be reached.
  bool Bridge(unsigned short port);

  // Orderly close (TLS: close_notify first).
  void Close();
  // A TCP close without TLS's close_notify (plain connections: Close).
  void CloseWithoutNotify();
  // Ends the connection with a TCP reset.
  void Reset();

  bool IsOpen() const { return fd_ >= 0; }
  // The client's port of this connection (0 once closed).
  unsigned short PeerPort() const;
  // The server name the client indicated (TLS), empty when it sent none.
  const std::string& server_name() const { return server_name_; }

 private:
  friend class ScriptedServer;
  ScriptedConnection(ScriptedServer* server, int fd, SSL* ssl);

  bool Handshake();
  // Waits until the socket is ready for `events`; false on server shutdown.
  bool Wait(short events);
  // After an SSL call that did not complete: waits for what OpenSSL needs and returns
  // true to call again, false when the connection has failed.
  bool AwaitSsl(int result);
  // Appends received bytes to buffer_; false at the end of the connection.
  bool ReadMore();
  bool ReadHeadInto(std::string& head);
  // Sends `bytes` as they are, past TLS.
  bool SendRaw(std::string_view bytes);

  ScriptedServer* server_;
  int fd_;
  SSL* ssl_;
  std::string buffer_;  // received bytes not yet consumed
  std::string server_name_;
};

class ScriptedServer {
 public:
  using Behaviour = std::function<void(ScriptedConnection& connection)>;

  struct Options {
    // "127.0.0.1" or "::1".
    std::string address = "127.0.0.1";
    // The port to listen on; 0: a free one.
    unsigned short port = 0;
    // A TLS server presents this certificate; null: plain TCP.
    const TestCertificate* certificate = nullptr;
    // SO_RCVBUF of the accepted sockets, 0 for the system default. A small value makes
    // a client's large write stall soon against a behaviour that does not read.
    int receive_buffer = 0;
    // Keep every request head for Requests(); false: only count them.
    bool record_requests = true;
    // TLS: pick "h2" when the client offers it through ALPN (else no protocol at all).
    bool alpn_h2 = false;
  };

  // Plain server on 127.0.0.1 whose connections run `behaviour` (default: Respond
  // with a 200 "ok").
  explicit ScriptedServer(Behaviour behaviour = {});
  ScriptedServer(Options options, Behaviour behaviour = {});
  // Stops accepting, wakes every behaviour and joins all threads.
  ~ScriptedServer();

  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // Behaviours for the next connections, in order; then the default again.
  void Script(Behaviour behaviour);
  void SetDefault(Behaviour behaviour);

  unsigned short port() const { return port_; }
  // "http://127.0.0.1:<port>" (https for TLS, "[::1]" for IPv6) followed by `path`.
  std::string Url(std::string_view path = "/") const;
  // The same with another host text, e.g. "localhost".
  std::string Url(std::string_view host, std::string_view path) const;

  // TCP connections accepted (TLS: whether or not the handshake succeeded).
  std::size_t Accepted() const;
  // TLS handshakes that failed.
  std::size_t FailedHandshakes() const;
  // TLS handshakes that resumed an earlier session.
  std::size_t Resumed() const;
  // Every request head read so far, in order (empty without Options::record_requests).
  std::vector<std::string> Requests() const;
  // Request heads read so far, recorded or not.
  std::size_t RequestCount() const;
  // The server names indicated by successful TLS handshakes, in order (empty texts
  // for connections without one).
  std::vector<std::string> ServerNames() const;
  // Connections whose behaviour has returned and which are closed.
  std::size_t Finished() const;

  // Block until the count reaches `count`; false after a generous bound.
  bool WaitForAccepted(std::size_t count) const;
  bool WaitForRequests(std::size_t count) const;
  bool WaitForFinished(std::size_t count) const;
  // Blocks until every accepted connection has finished (closed by either side).
  bool WaitForNoConnections() const;

  // Answers every request on the connection with `response` until the client closes.
  static Behaviour Respond(std::string response);
  // Reads one request, answers it with `response`, then closes.
  static Behaviour RespondOnce(std::string response);

 private:
  friend class ScriptedConnection;

  void Run();
  void Serve(int fd);
  // Joins the threads of connections that have ended; called with mutex_ not held.
  void JoinEnded();
  Behaviour Next();
  void Record(const std::string& head);
  template <typename Predicate>
  bool WaitFor(Predicate predicate) const;

  Options options_;
  SSL_CTX* ssl_ctx_ = nullptr;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};  // a pipe, written once on shutdown, that wakes all waits
  unsigned short port_ = 0;
  std::atomic<bool> stopping_{false};

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<Behaviour> script_;
  Behaviour default_;
  std::size_t accepted_ = 0;
  std::size_t failed_handshakes_ = 0;
  std::size_t resumed_ = 0;
  std::size_t finished_ = 0;
  std::size_t request_count_ = 0;
  std::vector<std::string> requests_;
  std::vector<std::string> server_names_;
  // Joined as they end, so that a run of thousands of connections does not keep
  // thousands of finished threads (and their stacks) around.
  std::map<std::thread::id, std::thread> connections_;
  std::vector<std::thread::id> ended_;
  std::thread thread_;
};

// A complete response with "Content-Length" for `body`; `headers` are extra header
// lines, each ending in "\r\n".
std::string HttpResponse(int status, std::string_view body, std::string_view headers = "");

class FullBacklogListener {
 public:
  // Listens on 127.0.0.1 with the smallest backlog and fills the accept queue; throws
  // std::runtime_error when the queue cannot be seen to fill.
  FullBacklogListener();
  // The same on another loopback address ("127.0.0.2", "::1") and on `port` (0: a free
  // one), e.g. beside a server on the same port number at another address.
  explicit FullBacklogListener(const std::string& address, unsigned short port = 0);
  ~FullBacklogListener();

  FullBacklogListener(const FullBacklogListener&) = delete;
  FullBacklogListener& operator=(const FullBacklogListener&) = delete;

  unsigned short port() const { return port_; }
  const std::string& address() const { return address_; }
  // "http://<address>:<port>" (the address in brackets for IPv6) followed by `path`.
  std::string Url(std::string_view path = "/") const;

 private:
  std::string address_;
  int listen_fd_ = -1;
  std::vector<int> fillers_;
  unsigned short port_ = 0;
};

// LoopThread: an io_context run by a thread of its own until destruction, as a client
// session runs its loop, for tests that drive sockets and drivers directly.
// Thread rules: create and destroy it on the test's thread.
class LoopThread {
 public:
  LoopThread();
  // Stops the loop and joins the thread; handlers still queued are destroyed unrun.
  ~LoopThread();

  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  boost::asio::io_context& context() { return io_context_; }

  // Runs `function` on the loop thread, waits for it and returns its result.
  template <typename Function>
  auto Run(Function function) {
    std::packaged_task<decltype(function())()> task(std::move(function));
    auto future = task.get_future();
    boost::asio::post(io_context_, [&task] { task(); });
    return future.get();
  }

 private:
  boost::asio::io_context io_context_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_guard_;
  std::thread thread_;
};

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_SCRIPTED_SERVER_H_
