// HostileServer: a loopback HTTP server that misbehaves on purpose, for tests of how the
// client survives broken, stalling and abusive peers.
//
// It is a ScriptedServer scripted by request rather than by connection: each request
// the server reads is answered by the next scripted Behaviour; once the script is used
// up, requests get a well-formed keep-alive "200 OK" with the body "fine", so a test
// can script one fault and then check that the next request works. Behaviours block
// only on the client (its bytes or its closing the connection), never on a clock, and
// stop as soon as the client has gone.
//
// Thread rules: as for ScriptedServer, each connection runs on a thread of its own and
// its behaviours run there; Script, SetDefault, Accepted, Requests, the waits and the
// destructor may be called from the test's thread at any time.
#ifndef KORVO_TESTS_SUPPORT_HOSTILE_SERVER_H_
#define KORVO_TESTS_SUPPORT_HOSTILE_SERVER_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "support/scripted_server.h"

namespace korvo {
namespace test {

using HostileConnection = ScriptedConnection;

class HostileServer {
 public:
  // Returns true to keep the connection for the client's next request.
  using Behaviour = std::function<bool(HostileConnection& connection, const std::string& request)>;

  // Listens on 127.0.0.1 on a free port. Without `read_requests` (a raw server, for TLS
  // handshakes), each connection runs one behaviour at once, with an empty request, and
  // then ends.
  explicit HostileServer(bool read_requests = true);

  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  unsigned short GetPort() const { return server_.port(); }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string Url(std::string_view path = "/") const { return server_.Url(path); }

  // Queues behaviours for the next requests, in order.
  void Script(Behaviour behaviour);
  // Replaces Fine as the answer once the script is used up.
  void SetDefault(Behaviour behaviour);

  std::size_t Accepted() const { return server_.Accepted(); }
  std::size_t Requests() const { return server_.RequestCount(); }
  // Waits until the server holds no connection (every one was closed by either side);
  // false after a generous bound, which only keeps a broken test from hanging.
  bool WaitForNoConnections() { return server_.WaitForNoConnections(); }

  // The well-formed answer used when the script is empty.
  static bool Fine(HostileConnection& connection, const std::string& request);
  // The request asks for "Connection: close" (any case).
  static bool WantsClose(const std::string& request);

 private:
  // The connection behaviour that runs the request behaviours.
  void Serve(ScriptedConnection& connection);
  Behaviour Next();

  const bool read_requests_;
  std::mutex mutex_;
  std::deque<Behaviour> script_;
  Behaviour default_;
  // Last, so that its connections (which call Next) end before the script goes.
  ScriptedServer server_;
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

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_HOSTILE_SERVER_H_
