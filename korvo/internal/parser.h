// Parser: the incremental HTTP/1.1 message parser. Where the body goes is up to the
// body handlers (body_handlers.h).
//
// Bytes are fed in the order they were received, in pieces of any size; the parser
// keeps only what it cannot use yet (an incomplete head line, an incomplete chunk-size
// or trailer line), so the cost is linear in the bytes received. Bodies are framed by
// "Content-Length" or by the chunked transfer coding, exactly: bytes beyond the frame
// are never taken into the body but make IsFramingSafe() false, so that the caller
// does not reuse the connection. A body with neither runs until the server closes the
// connection: the caller reports that end with FinishAtClose().
//
// Content codings are left as received unless the caller asks for decoding
// (SetDecoding): the framed body bytes then pass through a Decoder on their way to the
// handler, and the body holds the decoded bytes.
//
// Thread rules: a parser and its handler are used by one thread at a time (the event
// loop thread of the connection that owns the parser); they take no locks.
#ifndef KORVO_INTERNAL_PARSER_H_
#define KORVO_INTERNAL_PARSER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvo/progress.h"
#include "korvo/send_options.h"
#include "korvo/internal/body_handlers.h"
#include "korvo/internal/decoder.h"

namespace korvo {

class Message;


// A head (start line to blank line) longer than this is refused, so that a hostile
// server cannot exhaust memory before the body starts. The same bound applies to a
// single chunk-size line and to the trailer section of a chunked body.
inline constexpr std::size_t kMaxHeadLength = std::size_t{1} << 20;
// Every stored field costs far more than its bytes on the wire: without a bound on their
// number, a head of a million tiny fields would take tens of megabytes.
inline constexpr std::size_t kMaxHeaderFields = 8192;
// The longest failure reason kept (it may quote what the peer sent).
inline constexpr std::size_t kMaxFailureLength = 256;

// Parser: the base of ResponseParser. Subclasses supply the start-line rules.
class Parser {
 public:
  Parser() = default;
  virtual ~Parser();

  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // Resets all state and binds the message to fill (may be null: unbound).
  void Init(Message* message);

  // Consumes `length` received bytes. False when they do not form a valid message;
  // the cause has been logged once. After a failure every further call fails too.
  bool Parse(const char* data, std::size_t length);

  bool IsFinished() const { return finished_; }
  bool IsHeaderEnded() const { return header_ended_; }

  // Bytes of the head (every head line with its CRLF, the blank line, and any interim
  // heads that were skipped); meaningful once IsHeaderEnded().
  std::uint64_t GetHeaderLength() const { return header_length_; }

  // The "Content-Length" value, or kInvalidLength when there was none (or a transfer
  // coding overrides it).
  std::uint64_t GetContentLength() const { return content_length_; }

  // Body bytes received so far, without any chunk framing; still encoded when the body
  // is decoded (progress is measured against "Content-Length", which counts those).
  std::uint64_t GetBodyLength() const { return body_length_; }

  // Decodes the body by its "Content-Encoding" (gzip, x-gzip, deflate, br, zstd, or a
  // list of them; "identity" and no field at all: nothing) as it arrives, into memory or
  // into the streamed file. A decoded body of more than `max_decoded_size` bytes (0:
  // unlimited) fails the parse, as does a corrupt or truncated coded stream. An unknown
  // coding leaves the body as received, marked compressed; more than
  // kMaxContentCodings codings fail. The message's content length is then the decoded
  // size. Call after Init for each message; Init switches decoding off again.
  void SetDecoding(bool decode, std::uint64_t max_decoded_size);

  // Where the body goes and how large it may be, for the message after Init: `sink`
  // (when set) receives it instead of memory or a file; a body announced or received
  // (decoded, when decoding) larger than `max_body_size` bytes (0: no limit) fails the
  // parse. Init clears both.
  void SetBodyLimits(BodySink sink, std::uint64_t max_body_size);

  // For the message after Init: once its head is in, `discard` decides whether its body
  // is wanted at all. A body it refuses (a redirect about to be followed) is dropped as
  // it arrives: neither decoded, stored, streamed nor handed to a sink, nor held to the
  // size limits. One announced or found to be longer than `max_discarded` bytes (as
  // received, framing included) is not read on: the message ends there, and the
  // connection cannot carry another (IsFramingSafe is false). Init clears it.
  void SetDiscard(std::function<bool(const Message&)> discard, std::uint64_t max_discarded);
  // The body of the current message is being dropped (see SetDiscard).
  bool IsDiscarding() const { return discarding_; }

  // After a failed Parse or FinishAtClose: the failure was a body over a size limit
  // (the decoded size or the body's), which the caller reports apart from a malformed
  // response.
  bool IsBodyTooLarge() const { return body_too_large_; }
  // After a failed Parse or FinishAtClose: the sink asked to stop.
  bool IsStoppedBySink() const;

  // Where the next received bytes may be read to instead of the caller's own buffer,
  // or null: the body handler's storage (see BodyHandler::GetReadBuffer), once the head
  // is parsed and while the body goes on, sized to what may be asked for (never beyond
  // the end of a body framed by "Content-Length"). Whatever is read into it must be
  // given to Parse, from its first byte, before anything else is done with the parser.
  std::vector<char>* GetReadBuffer();

  // The connection has ended. True when that completes the message (a body delimited
  // by the close, whose head has been parsed): the message is finished as by its last
  // byte. False, changing nothing, when the message was cut short.
  bool FinishAtClose();

  // False when the connection must not carry another message after this one: bytes
  // beyond the end of the message arrived, or its framing cannot be trusted (both
  // chunked coding and "Content-Length", an unknown transfer coding, a body that only
  // the end of the connection would delimit, a protocol switch).
  bool IsFramingSafe() const { return !framing_unsafe_; }

  // Why the parse failed, as the ERRO record said it ("Response head too large",
  // "Invalid content length: -1", ...); empty while it has not failed.
  const std::string& GetFailure() const { return failure_; }

 protected:
  // Called once the final head is complete; false fails the parse.
  virtual bool OnHeadersEnd() = 0;
  // Handles a start line (without CRLF); false fails the parse. The line has already
  // been made the message's start line.
  virtual bool ParseStartLine(std::string_view line) = 0;
  // Handles body bytes; the default frames them by chunked coding or Content-Length.
  virtual bool ParseContent(const char* data, std::size_t length);
  // Whether the message has a body at all (a response to HEAD, or with status 1xx, 204
  // or 304, has none whatever its fields say); asked once the head is complete.
  virtual bool ExpectsBody() const { return true; }

  // Completes the message: sets its content length and lets the handler build the
  // body. False when the body could not be completed (logged).
  bool Finish();

  // The head being parsed is an interim one (a 1xx status): its fields are not stored
  // and the head that follows it is parsed as the message's own.
  void SetInterim() { interim_ = true; }
  // The connection must not be reused after this message.
  void SetFramingUnsafe() { framing_unsafe_ = true; }

  // Logs the failure as an ERRO record of `file` (the caller's source), keeps its text
  // for GetFailure, and returns false.
  bool Fail(const char* file, int line, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  bool stream_ = false;  // collect the body in a temporary file instead of memory

 private:
  enum class ChunkState { kSize, kData, kDataCr, kDataLf, kTrailer };
  enum class LineResult { kLine, kMore, kTooLong };

  void Reset();
  bool ParseHead(const char* data, std::size_t length);
  bool ParseHeaderLine(std::string_view line);
  bool OnHeadEnd(const char* body, std::size_t length);
  void ReleasePending();
  class DecodedSink;

  bool CreateBodyHandler();
  // The limit of a decoded body: the smaller of the two that are set; 0: none.
  std::uint64_t DecodedLimit() const;
  // Hands body bytes to the handler (through the decoder, if any) and counts them.
  bool AddBody(const char* data, std::size_t length);
  // Fails the parse for the decoder's failure and lets the decoder go.
  bool DecodingFailed();
  bool ParseFixedContent(const char* data, std::size_t length);
  bool ParseChunkedContent(const char* data, std::size_t length);
  bool ParseChunkSize(std::string_view line);
  LineResult TakeLine(const char*& data, const char* end, std::string_view& line);

  Message* message_ = nullptr;  // not owned
  std::unique_ptr<BodyHandler> body_handler_;

  // Head bytes not consumed yet; lines are cut in place, never moved per line.
  std::string pending_data_;
  std::size_t line_start_ = 0;  // start of the current head line in pending_data_
  std::size_t scan_pos_ = 0;    // pending_data_ before this was searched already

  std::uint64_t header_length_ = 0;
  std::uint64_t content_length_ = kInvalidLength;
  std::uint64_t body_length_ = 0;
  std::size_t field_count_ = 0;
  bool start_line_parsed_ = false;
  bool content_length_parsed_ = false;
  bool header_ended_ = false;
  bool chunked_ = false;
  bool transfer_encoded_ = false;  // a "Transfer-Encoding" field was received
  bool until_close_ = false;       // the body ends when the connection does
  bool interim_ = false;
  bool finished_ = false;
  bool failed_ = false;
  bool framing_unsafe_ = false;
  std::string failure_;

  bool decode_ = false;
  std::uint64_t max_decoded_size_ = 0;  // 0: unlimited
  BodySink sink_;
  std::uint64_t max_body_size_ = 0;  // 0: unlimited
  std::unique_ptr<Decoder> decoder_;    // while a coded body is being decoded
  bool body_too_large_ = false;
  std::function<bool(const Message&)> discard_;
  std::uint64_t max_discarded_ = 0;
  bool discarding_ = false;
  std::uint64_t discarded_ = 0;  // bytes received after the head while discarding

  ChunkState chunk_state_ = ChunkState::kSize;
  std::uint64_t chunk_size_ = kInvalidLength;  // data bytes of the chunk still to come
  std::string line_buffer_;  // an incomplete chunk-size or trailer line
  std::uint64_t trailer_length_ = 0;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_PARSER_H_
