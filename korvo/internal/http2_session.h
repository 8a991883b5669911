// Http2Session: the client's side of one HTTP/2 connection (RFC 9113) on libnghttp2, as
// bytes in and bytes out, free of sockets, like ConnectTunnel and Socks5Handshake: the
// connection writes what TakeOutput() hands it and feeds what it reads to Feed(). Many
// requests share the connection, each on a stream of its own; what a stream receives
// goes to that stream's observer, and a request body is pulled from its provider piece
// by piece as the server's flow-control window allows.
//
// Memory stays bounded whatever the server sends: a stream's data is acknowledged (its
// window reopened) only as the stream's consumer takes it (see Http2StreamObserver::OnData
// and Consume), so a slow consumer holds at most kStreamWindow bytes and all of them
// together at most kConnectionWindow; a response's header fields are bounded like an
// HTTP/1.1 head (kMaxHeadLength, kMaxHeaderFields); frames that demand an answer (PING,
// SETTINGS) are answered only as fast as the answers are taken; and nghttp2's checks of
// HTTP messaging (pseudo-fields, connection-specific fields, content-length against the
// DATA received) stay on. What breaks them fails the stream, or the connection, with a
// reason; the work per received byte is bounded.
//
// Thread rules: a plain object, used by one thread at a time (the event loop thread of
// the connection). Observers and body providers are called on that thread from inside
// Feed, TakeOutput and ConnectionLost only. From there they may call SubmitRequest,
// CancelStream, Consume, ResumeBody and SubmitPing, but never Feed, TakeOutput or
// ConnectionLost, and they must not destroy the session.
#ifndef KORVO_INTERNAL_HTTP2_SESSION_H_
#define KORVO_INTERNAL_HTTP2_SESSION_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "korvo/body.h"
#include "korvo/common.h"
#include "korvo/error.h"
#include "korvo/request.h"

struct nghttp2_session;

namespace korvo {

// How a stream ended.
enum class Http2EndKind {
  kComplete,          // the whole response arrived
  kReset,             // the server reset the stream; `code` says why
  kRefused,           // the server did not process the request (REFUSED_STREAM, a stream
                      // above a GOAWAY's last stream, or a request that never left):
                      // it may be sent again, whatever its method
  kFailed,            // reset here: the response broke HTTP/2's rules or korvo's limits,
                      // the request body could not be read, or the observer failed
  kConnectionFailed,  // the connection failed or closed under the stream
};

struct Http2StreamEnd {
  Http2EndKind kind = Http2EndKind::kComplete;
  // The HTTP/2 error code of the RST_STREAM or GOAWAY that ended the stream, sent or
  // received (0, NO_ERROR, for a complete stream).
  std::uint32_t code = 0;
  // kNoError for a complete stream; otherwise what the exchange fails with, its detail
  // saying why: Error(kReadError, "Socket read error") for a reset, a refusal or a
  // failed connection, Error(kParseError, "Response parse error") for a response that
  // broke the rules or limits ("Response head too large", ...), the body's own Error
  // for a request body that could not be read.
  Error error;
};

// Http2StreamObserver: receives what one stream brings, in order: the final response
// head once, body data, then trailers if any, and always OnEnd last. Calls stop at
// OnEnd, or at once when the stream is cancelled with CancelStream (which calls nothing).
// Thread rules: as Http2Session's.
class Http2StreamObserver {
 public:
  virtual ~Http2StreamObserver() = default;

  // The final (non-1xx) response head: its status and its fields in the order received,
  // a repeated name keeping every value, without pseudo-fields. Interim heads are
  // skipped.
  virtual void OnHead(int status, const Headers& fields) = 0;

  // Body bytes as they arrive, valid during the call only. Returns how many of them are
  // consumed already (written to a file or a sink, say), which reopens the stream's
  // window for that many at once; the rest the observer keeps, and hands back with
  // Http2Session::Consume as its consumer takes them. A stream whose observer keeps
  // kStreamWindow bytes receives no more until it consumes some.
  virtual std::size_t OnData(const char* data, std::size_t size) = 0;

  // The trailer fields after the body, when the server sends any.
  virtual void OnTrailers(const Headers& /*fields*/) {}

  // Request body bytes sent so far (in DATA frames handed to TakeOutput), after each
  // frame.
  virtual void OnUploadProgress(std::uint64_t /*sent*/) {}

  // The stream has ended; nothing more comes. Whatever the observer kept unconsumed is
  // given back to the connection's window now.
  virtual void OnEnd(const Http2StreamEnd& end) = 0;
};

// What one pull of a request body gives.
enum class Http2BodyRead {
  kData,      // `length` bytes (at least one; none is taken as kDeferred)
  kDeferred,  // nothing yet: the body waits until Http2Session::ResumeBody
  kEnd,       // the last `length` bytes (perhaps none): the body is complete
};

// Pulls the next piece of a request body into `buffer` (at most `capacity` bytes) and
// sets `length`. A korvo::Error thrown here fails the stream with that error; any other
// exception fails it as Error(kFileError, "Cannot read the file").
using Http2BodyProvider =
    std::function<Http2BodyRead(char* buffer, std::size_t capacity, std::size_t& length)>;

// A provider that hands out `body` through its write side (BodyAccess::InitPayload,
// then NextPayload): StringBody, FileBody or FormBody. Null for an empty body.
Http2BodyProvider MakeBodyProvider(std::shared_ptr<Body> body);

class Http2Session {
 public:
  // The window each stream opens with (SETTINGS_INITIAL_WINDOW_SIZE): what one stream
  // may have received and not yet consumed.
  static constexpr std::int32_t kStreamWindow = 1 << 20;
  // The connection's window: what all streams together may have received and not yet
  // consumed; large enough for 16 streams to run at full window at once.
  static constexpr std::int32_t kConnectionWindow = 16 << 20;
  // Streams this side opens at most at once, whatever the server allows; it is also the
  // SETTINGS_MAX_CONCURRENT_STREAMS sent (the number nghttp2 itself assumes for a
  // server that has not said).
  static constexpr std::uint32_t kMaxStreams = 100;
  // PING and SETTINGS acknowledgements waiting to be taken by TakeOutput: a server that
  // sends more of those frames than it reads answers is flooding the connection.
  static constexpr std::size_t kMaxQueuedAcks = 1000;
  // CONTINUATION frames after one HEADERS: twice what a header block of kMaxHeadLength
  // takes in frames of the default 16 KiB, so that a head somewhat over the limit fails
  // its stream only, and a block that never ends fails the connection.
  static constexpr std::size_t kMaxContinuations = 128;
  // Bytes TakeOutput hands out at most by default (it may exceed it by one frame).
  static constexpr std::size_t kOutputChunk = 64 * 1024;

  // Queues the connection preface and SETTINGS (no server push, kStreamWindow,
  // kMaxStreams, a header list of at most kMaxHeadLength) and opens the connection's
  // window to kConnectionWindow. Throws std::bad_alloc when nghttp2 cannot allocate.
  Http2Session();
  // Ends the streams still open without a word to their observers: call ConnectionLost
  // first to tell them.
  ~Http2Session();

  Http2Session(const Http2Session&) = delete;
  Http2Session& operator=(const Http2Session&) = delete;

  // The bytes to write next, up to about `limit`; empty when there is nothing to send.
  // Request bodies are pulled here, as far as the server's windows allow.
  std::string TakeOutput(std::size_t limit = kOutputChunk);

  // Takes bytes read from the server. False once the connection has failed (now or
  // before): a protocol error, a flood, a GOAWAY with an error code, ConnectionLost;
  // GetFailure says why, and every stream has ended. Whatever TakeOutput still has (a
  // GOAWAY telling the server why) is worth writing before closing.
  bool Feed(const char* data, std::size_t size);

  // The transport has ended (the server closed, a read or write failed): every stream
  // ends, kRefused when its request never left TakeOutput, else kConnectionFailed, with
  // `why` as the reason. Nothing else is sent or received.
  void ConnectionLost(std::string_view why);

  // Opens a stream for the prepared `request`: :method, :scheme and :path (with the
  // query) from the request, :authority from its "Host" or its URL; the other fields
  // with lower-case names, except the connection-specific "Connection", "Keep-Alive",
  // "Proxy-Connection", "Transfer-Encoding", "Upgrade" and "Host", "TE" unless it is
  // "trailers", and "Proxy-Authorization" (an HTTP/2 connection always leads to the
  // origin). A non-empty `cookie` goes out as a "cookie" field unless the request has
  // a "Cookie" of its own. The body comes from `body` (none when null). Returns the stream's id;
  // `observer` is called until the stream ends. Beyond GetAvailableStreams() a request
  // waits in the connection's queue until a stream ends. Throws Error(kRequestError)
  // for a request that cannot be sent ("Invalid URL scheme", "Host is missing",
  // "Invalid request line", "Invalid header field"), and Error(kWriteError, "Socket
  // write error") when the connection takes no new streams (it failed, or a GOAWAY came).
  std::int32_t SubmitRequest(const Request& request,
                             std::shared_ptr<Http2StreamObserver> observer,
                             Http2BodyProvider body = nullptr, std::string_view cookie = {});

  // The provider of `stream` has more after saying kDeferred: pull again.
  void ResumeBody(std::int32_t stream);

  // The observer of `stream` has passed on `bytes` more of what it kept: the window
  // reopens by that much (by what it still held, at most). Nothing for an ended stream.
  void Consume(std::int32_t stream, std::size_t bytes);

  // Resets `stream` with CANCEL (a request still queued is never sent); the connection
  // and the other streams go on. Its observer is not called again, not even OnEnd.
  void CancelStream(std::int32_t stream);

  // Sends a PING; IsPingOutstanding() is true until its acknowledgement arrives. False
  // when the connection has failed.
  bool SubmitPing();
  bool IsPingOutstanding() const { return ping_outstanding_; }

  // How many more streams may be opened now: the server's SETTINGS_MAX_CONCURRENT_STREAMS,
  // at most kMaxStreams, less the streams open or queued. 0 once a GOAWAY has come or the
  // connection has failed.
  std::size_t GetAvailableStreams() const;
  // Streams submitted that have not ended (nor been cancelled).
  std::size_t GetOpenStreams() const { return streams_.size(); }
  // The server has sent GOAWAY: no new streams; the ones it accepted go on.
  bool HasGoaway() const { return goaway_received_; }
  bool IsFailed() const { return failed_; }
  // Why the connection failed; empty while it has not.
  const std::string& GetFailure() const { return failure_; }

  // There is something to write: TakeOutput would hand out bytes.
  bool WantsWrite() const;
  // The connection still expects bytes from the server. False once it has failed, or
  // once a GOAWAY has come and every stream has ended: then it may be closed.
  bool WantsRead() const;

 private:
  struct Callbacks;  // nghttp2's callbacks, in the source
  struct Stream;

  std::shared_ptr<Stream> Find(std::int32_t id) const;
  // Ends `stream` once: it leaves the table, its unconsumed bytes go back to the
  // connection's window, and its observer hears OnEnd.
  void EndStream(const std::shared_ptr<Stream>& stream, Http2StreamEnd end);
  // Marks `stream` failed here with `error` and resets it with `code`; it ends at the
  // end of the Feed, or when nghttp2 closes it, whichever is first.
  void FailStream(const std::shared_ptr<Stream>& stream, Error error, std::uint32_t code);
  // After each Feed: ends the streams that failed during it, and every stream when the
  // connection failed or the server went away.
  void SettleAfterFeed();
  // Fails the connection with `why` and ends every stream.
  void FailConnection(std::string why);
  // The end a stream gets when nghttp2 closes it with `code`.
  Http2StreamEnd CloseEnd(const Stream& stream, std::uint32_t code) const;
  // Consumes `bytes` of what `stream` holds, both in its window and the connection's.
  void ConsumeHeld(Stream& stream, std::size_t bytes);

  nghttp2_session* session_ = nullptr;
  std::unordered_map<std::int32_t, std::shared_ptr<Stream>> streams_;

  bool failed_ = false;
  // nghttp2 reported a fatal error: the session must not be driven any further.
  bool broken_ = false;
  std::string failure_;

  bool goaway_received_ = false;
  std::int32_t goaway_last_stream_ = 0;
  std::uint32_t goaway_code_ = 0;
  std::string goaway_debug_;

  // What nghttp2 last said about an error (its error callback), and the last invalid
  // frame's reason: the words for a failure it detects itself.
  std::string library_message_;
  std::string invalid_frame_reason_;
  // The code and reason of the GOAWAY nghttp2 sent for a connection error.
  std::uint32_t sent_goaway_code_ = 0;
  std::string sent_goaway_reason_;
  // Output taken from nghttp2 before TakeOutput asked for it (a GOAWAY).
  std::string output_;
  // The frame being received, to name where a failure happened.
  std::uint8_t frame_type_ = 0;
  std::int32_t frame_stream_ = 0;

  bool ping_outstanding_ = false;
  std::uint64_t ping_count_ = 0;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_HTTP2_SESSION_H_
