#include "support/h2_server.h"

#include <set>
#include <utility>

namespace korvo {
namespace test {

namespace {

ScriptedServer::Options ServerOptions(const H2Server::Options& options) {
  ScriptedServer::Options server;
  server.certificate = options.certificate;
  server.alpn_h2 = true;
  return server;
}

}  // namespace

H2Server::H2Server(Responder responder, Options options)
    : responder_(std::move(responder)),
      peer_options_(options.peer),
      server_(ServerOptions(options), [this](ScriptedConnection& connection) { Serve(connection); }) {}

void H2Server::Serve(ScriptedConnection& connection) {
  std::size_t number = ++connections_;
  H2Peer peer(peer_options_);
  std::set<std::int32_t> answered;
  if (!connection.Send(peer.TakeOutput())) return;
  std::string bytes;
  while (connection.ReadSome(&bytes)) {
    peer.Feed(bytes);
    for (const auto& [id, stream] : peer.Streams()) {
      if (stream.ended && answered.insert(id).second) responder_(peer, id, stream, number);
    }
    std::string output = peer.TakeOutput();
    if (!output.empty() && !connection.Send(output)) return;
  }
}

void H2Server::Echo(H2Peer& peer, std::int32_t stream, const H2Peer::Stream& request,
                    std::size_t /*connection*/) {
  peer.Respond(stream, 200, {}, request.Field(":path") + request.body);
}

}  // namespace test
}  // namespace korvo
