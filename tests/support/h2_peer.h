// H2Peer: an HTTP/2 server in memory, made with nghttp2's server API, for tests of the
// client's Http2Session: it takes the client's bytes and hands back its own, with no
// socket between them. It records each request stream it sees (fields, body, how it
// ended) and answers as the test scripts it: responses whose body comes whole or in
// pieces, trailers, resets, GOAWAY, new SETTINGS, a window held back from the client's
// uploads, and raw frames that no well-behaved server sends (malformed or oversized
// header blocks, PUSH_PROMISE, floods), put in order between its own.
//
// Thread rules: a plain object, used by one thread at a time.
#ifndef KORVO_TESTS_SUPPORT_H2_PEER_H_
#define KORVO_TESTS_SUPPORT_H2_PEER_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct nghttp2_session;

namespace korvo {
namespace test {

using H2Fields = std::vector<std::pair<std::string, std::string>>;

class H2Peer {
 public:
  struct Options {
    // The SETTINGS the peer opens with, as (identifier, value); none: an empty frame.
    std::vector<std::pair<std::int32_t, std::uint32_t>> settings;
    // Request body bytes are acknowledged only by ReleaseWindow, so that an upload
    // stops once it has used the window.
    bool hold_window = false;
  };

  // One request stream as the peer received it.
  struct Stream {
    H2Fields fields;  // as received, pseudo-fields first
    std::string body;
    bool ended = false;   // END_STREAM came from the client
    bool reset = false;   // RST_STREAM came from the client
    std::uint32_t reset_code = 0;
    bool closed = false;
    std::size_t held = 0;  // body bytes not acknowledged yet (hold_window)

    // The value of the first field named `name` (exactly), or "".
    std::string Field(std::string_view name) const;
    std::size_t Count(std::string_view name) const;
  };

  H2Peer();
  explicit H2Peer(Options options);
  ~H2Peer();

  H2Peer(const H2Peer&) = delete;
  H2Peer& operator=(const H2Peer&) = delete;

  // Bytes from the client; an error nghttp2 finds in them fails the test.
  void Feed(std::string_view bytes);
  // Bytes for the client: the session's frames and the raw ones, in order.
  std::string TakeOutput();

  // The stream, or null when the peer has not seen it.
  const Stream* Find(std::int32_t id) const;
  const std::map<std::int32_t, Stream>& Streams() const { return streams_; }

  // Answers `stream` with `status`, `fields` and `body`, then `trailers` if any. With
  // `open`, the body goes on with AppendBody. The body goes out as the client's window
  // allows.
  void Respond(std::int32_t stream, int status, const H2Fields& fields = {},
               std::string body = {}, bool open = false, H2Fields trailers = {});
  // More of an open body; `end` closes it.
  void AppendBody(std::int32_t stream, std::string_view bytes, bool end);
  void Reset(std::int32_t stream, std::uint32_t code);
  void Goaway(std::int32_t last_stream, std::uint32_t code, std::string_view debug = {});
  void Settings(const std::vector<std::pair<std::int32_t, std::uint32_t>>& entries);
  // Acknowledges `bytes` of the request body held back on `stream`.
  void ReleaseWindow(std::int32_t stream, std::size_t bytes);

  // What the client's SETTINGS said (nghttp2's default before they came), and the
  // window the client has opened for the peer's data on the connection.
  std::uint32_t ClientSetting(std::int32_t id) const;
  std::int32_t ClientConnectionWindow() const;
  // The error code of the client's GOAWAY, once one came.
  std::optional<std::uint32_t> ClientGoaway() const { return client_goaway_; }

  // A raw frame, after whatever the session has queued so far.
  void SendFrame(std::uint8_t type, std::uint8_t flags, std::int32_t stream,
                 std::string_view payload);
  // A raw header block in a HEADERS frame and as many CONTINUATION frames as pieces of
  // `fragment` bytes take.
  void SendBlock(std::int32_t stream, std::string_view block, bool end_stream,
                 std::size_t fragment = 16384);
  // A header block of literal fields that leave the compression table alone (so that
  // the session's own encoder and the client still agree), as SendBlock sends it.
  void SendHeaders(std::int32_t stream, const H2Fields& fields, bool end_stream,
                   std::size_t fragment = 16384);
  static std::string LiteralBlock(const H2Fields& fields);
  // An HPACK integer of `prefix` bits after the bits `first` already holds.
  static std::string HpackInteger(std::size_t value, int prefix, std::uint8_t first);

 private:
  struct Callbacks;
  struct Outgoing {
    std::string body;
    std::size_t sent = 0;
    bool done = false;
    H2Fields trailers;
  };

  // Moves what the session has to send into output_.
  void Flush();

  nghttp2_session* session_ = nullptr;
  Options options_;
  std::map<std::int32_t, Stream> streams_;
  std::map<std::int32_t, Outgoing> outgoing_;
  std::string output_;
  std::optional<std::uint32_t> client_goaway_;
};

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_H2_PEER_H_
