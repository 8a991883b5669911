// H2Server: a loopback HTTP/2 server for tests of sessions: a ScriptedServer whose every
// connection (h2c from its first byte, or TLS with "h2" picked through ALPN) runs an
// H2Peer, and hands each request, once it has come whole, to the test's Responder,
// which answers it through the peer as it likes: well, late, never, or badly.
//
// Thread rules: each connection runs on its own thread (the ScriptedServer's), and so
// does the Responder for its requests; the getters may be called from any thread.
#ifndef KORVO_TESTS_SUPPORT_H2_SERVER_H_
#define KORVO_TESTS_SUPPORT_H2_SERVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "support/h2_peer.h"
#include "support/scripted_server.h"
#include "support/test_tls.h"

namespace korvo {
namespace test {

class H2Server {
 public:
  // `connection` numbers the server's connections from 1, in the order accepted.
  using Responder = std::function<void(H2Peer& peer, std::int32_t stream,
                                       const H2Peer::Stream& request, std::size_t connection)>;

  struct Options {
    // TLS with this certificate; null: h2c.
    const TestCertificate* certificate = nullptr;
    H2Peer::Options peer;
  };

  explicit H2Server(Responder responder) : H2Server(std::move(responder), Options()) {}
  H2Server(Responder responder, Options options);

  std::string Url(std::string_view path = "/") const { return server_.Url(path); }
  std::size_t Accepted() const { return server_.Accepted(); }

  // Answers 200 with the request's path, then its body.
  static void Echo(H2Peer& peer, std::int32_t stream, const H2Peer::Stream& request,
                   std::size_t connection);

 private:
  void Serve(ScriptedConnection& connection);

  Responder responder_;
  H2Peer::Options peer_options_;
  std::atomic<std::size_t> connections_{0};
  ScriptedServer server_;  // last: its threads use the members above
};

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_H2_SERVER_H_
