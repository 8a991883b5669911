#include "korvo/internal/parser.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "korvo/body.h"
#include "korvo/common.h"
#include "korvo/logger.h"
#include "korvo/message.h"
#include "korvo/internal/body_handlers.h"
#include "korvo/internal/message_access.h"
#include "korvo/internal/utility.h"

namespace korvo {

namespace {

// The largest length a message can hold (its content length is signed 64-bit).
constexpr std::uint64_t kMaxLength = static_cast<std::uint64_t>(INT64_MAX);

// Pending head bytes keep their capacity between messages only up to this size.
constexpr std::size_t kKeptCapacity = 64 * 1024;

void TrimSpaces(std::string_view& text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
}

void SkipWhiteSpace(std::string_view& text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal digits only, up to kMaxLength, surrounded by nothing but blanks.
bool ParseDigits(std::string_view text, std::uint64_t& value) {
  SkipWhiteSpace(text);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty()) return false;
  std::uint64_t result = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    unsigned d = static_cast<unsigned>(c - '0');
    if (result > (kMaxLength - d) / 10) return false;
    result = result * 10 + d;
  }
  value = result;
  return true;
}

// A Content-Length value (RFC 9110 8.6): digits only. A list of identical values, as
// a proxy may have joined repeated fields into, counts as one; "5abc", "5.0", "0x5" and
// "5, 6" are no length at all, and reading them as one would cut or pad the body.
bool ParseContentLength(std::string_view text, std::uint64_t& value) {
  bool first = true;
  while (true) {
    std::size_t comma = text.find(',');
    std::uint64_t element = 0;
    if (!ParseDigits(text.substr(0, comma), element)) return false;
    if (!first && element != value) return false;
    value = element;
    first = false;
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// A chunk-size line (RFC 9112 7.1): hexadecimal digits up to kMaxLength, then optional
// blanks and, after ";", chunk extensions, which are ignored.
bool ParseChunkSizeLine(std::string_view line, std::uint64_t& value) {
  std::uint64_t result = 0;
  std::size_t digits = 0;
  for (; digits < line.size(); ++digits) {
    int d = HexDigit(line[digits]);
    if (d < 0) break;
    if (result > (kMaxLength - static_cast<unsigned>(d)) / 16) return false;
    result = result * 16 + static_cast<unsigned>(d);
  }
  if (digits == 0) return false;
  std::string_view rest = line.substr(digits);
  SkipWhiteSpace(rest);
  if (!rest.empty() && rest.front() != ';') return false;
  value = result;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------
// Parser

// Takes the decoder's blocks into the body handler, holding the decoded body to its
// limit before a byte over it is stored.
class Parser::DecodedSink final : public DecodeSink {
 public:
  explicit DecodedSink(Parser* parser) : parser_(parser) {}

  bool Write(const char* data, std::size_t size) override {
    BodyHandler& handler = *parser_->body_handler_;
    std::uint64_t limit = parser_->DecodedLimit();
    if (limit != 0 && size > limit - handler.GetContentLength()) {
      parser_->body_too_large_ = true;
      return false;
    }
    return handler.AddContent(data, size);
  }

 private:
  Parser* parser_;
};

Parser::~Parser() = default;

void Parser::SetDecoding(bool decode, std::uint64_t max_decoded_size) {
  decode_ = decode;
  max_decoded_size_ = max_decoded_size;
}

void Parser::SetBodyLimits(BodySink sink, std::uint64_t max_body_size) {
  sink_ = std::move(sink);
  max_body_size_ = max_body_size;
}

void Parser::SetDiscard(std::function<bool(const Message&)> discard,
                        std::uint64_t max_discarded) {
  discard_ = std::move(discard);
  max_discarded_ = max_discarded;
}

std::uint64_t Parser::DecodedLimit() const {
  if (max_body_size_ == 0) return max_decoded_size_;
  if (max_decoded_size_ == 0) return max_body_size_;
  return std::min(max_body_size_, max_decoded_size_);
}

std::vector<char>* Parser::GetReadBuffer() {
  if (!header_ended_ || finished_ || failed_ || body_handler_ == nullptr) return nullptr;
  // A chunked body or one that the close ends: reading on into the framing or to the
  // close is what any read does. A length-framed one stops at its end, so that no byte
  // of whatever follows on the connection is taken.
  std::uint64_t wanted = std::numeric_limits<std::uint64_t>::max();
  if (!until_close_ && !chunked_) {
    if (body_length_ >= content_length_) return nullptr;
    wanted = content_length_ - body_length_;
  }
  return body_handler_->GetReadBuffer(wanted);
}

bool Parser::IsStoppedBySink() const {
  auto* sink = dynamic_cast<const SinkBodyHandler*>(body_handler_.get());
  return sink != nullptr && sink->Stopped();
}

void Parser::Init(Message* message) {
  Reset();
  message_ = message;
}

void Parser::Reset() {
  message_ = nullptr;
  body_handler_.reset();  // an unfinished file handler removes its file
  ReleasePending();
  stream_ = false;
  header_length_ = 0;
  content_length_ = kInvalidLength;
  start_line_parsed_ = false;
  content_length_parsed_ = false;
  header_ended_ = false;
  chunked_ = false;
  transfer_encoded_ = false;
  until_close_ = false;
  body_length_ = 0;
  field_count_ = 0;
  interim_ = false;
  finished_ = false;
  failed_ = false;
  failure_.clear();
  framing_unsafe_ = false;
  chunk_state_ = ChunkState::kSize;
  chunk_size_ = kInvalidLength;
  line_buffer_.clear();
  trailer_length_ = 0;
  decode_ = false;
  max_decoded_size_ = 0;
  sink_ = nullptr;
  max_body_size_ = 0;
  decoder_.reset();
  body_too_large_ = false;
  discard_ = nullptr;
  max_discarded_ = 0;
  discarding_ = false;
  discarded_ = 0;
}

bool Parser::Parse(const char* data, std::size_t length) {
  if (failed_) return false;
  if (message_ == nullptr) {
    failed_ = true;
    return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Parser is not bound to a message");
  }
  bool ok;
  if (finished_) {
    // The message ended already: whatever follows is not ours to read.
    if (length > 0) framing_unsafe_ = true;
    ok = true;
  } else if (header_ended_) {
    ok = ParseContent(data, length);
  } else {
    ok = ParseHead(data, length);
  }
  if (!ok) {
    failed_ = true;
    // The body handlers log their own failures (a temporary file that cannot be written).
    if (failure_.empty()) failure_ = "Cannot store the response body";
  }
  return ok;
}

bool Parser::Fail(const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(size > 0 ? size : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  if (LogEnabled(kLogErro)) LogWrite(kLogErro, file, line, "%s", text.c_str());
  // A peer's text can be long (a head line of up to a megabyte): the kept reason is cut.
  if (text.size() > kMaxFailureLength) text.resize(kMaxFailureLength);
  failure_ = std::move(text);
  return false;
}

bool Parser::ParseHead(const char* data, std::size_t length) {
  // Lines are cut where they lie: in the caller's piece when nothing is pending (the
  // usual case of a head that arrives whole), else in pending_data_.
  const char* base = data;
  std::size_t size = length;
  if (!pending_data_.empty()) {
    // Compact only when the consumed part dominates, so that bytes move at most a
    // constant number of times however the head is split.
    if (line_start_ > 0 && line_start_ >= pending_data_.size() / 2) {
      pending_data_.erase(0, line_start_);
      scan_pos_ -= line_start_;
      line_start_ = 0;
    }
    pending_data_.append(data, length);
    base = pending_data_.data();
    size = pending_data_.size();
  }

  while (scan_pos_ < size) {
    const void* found = std::memchr(base + scan_pos_, '\n', size - scan_pos_);
    if (found == nullptr) {
      scan_pos_ = size;
      break;
    }
    std::size_t lf = static_cast<const char*>(found) - base;
    scan_pos_ = lf + 1;
    // A lone LF never ends a line.
    if (lf == line_start_ || base[lf - 1] != '\r') continue;

    std::string_view line(base + line_start_, lf - 1 - line_start_);
    header_length_ += line.size() + 2;
    line_start_ = lf + 1;
    if (header_length_ > kMaxHeadLength) {
      return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Response head too large");
    }

    if (line.empty()) {
      // Empty lines before a start line are tolerated (RFC 9112 2.2).
      if (!start_line_parsed_) continue;
      if (interim_) {
        // The interim head is done; the message's own head follows.
        interim_ = false;
        start_line_parsed_ = false;
        continue;
      }
      bool ok = OnHeadEnd(base + line_start_, size - line_start_);
      ReleasePending();
      return ok;
    }

    if (!start_line_parsed_) {
      start_line_parsed_ = true;
      MessageAccess::SetStartLine(*message_, std::string(line));
      if (!ParseStartLine(line)) return false;
    } else if (!ParseHeaderLine(line)) {
      return false;
    }
  }

  if (header_length_ + (size - line_start_) > kMaxHeadLength) {
    return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Response head too large");
  }
  if (base == data) {
    // Keep the incomplete line for the next piece.
    pending_data_.assign(data + line_start_, size - line_start_);
    scan_pos_ -= line_start_;
    line_start_ = 0;
  }
  return true;
}

void Parser::ReleasePending() {
  if (pending_data_.capacity() > kKeptCapacity) {
    std::string().swap(pending_data_);
  } else {
    pending_data_.clear();
  }
  line_start_ = 0;
  scan_pos_ = 0;
}

bool Parser::OnHeadEnd(const char* body, std::size_t length) {
  header_ended_ = true;
  if (!OnHeadersEnd()) return false;
  // Neither a length nor chunked coding last: the body runs until the server closes
  // the connection (RFC 9112 6.3). A transfer coding overrides any Content-Length.
  if (ExpectsBody() && !chunked_ && (transfer_encoded_ || !content_length_parsed_)) {
    until_close_ = true;
    framing_unsafe_ = true;
    content_length_parsed_ = false;
    content_length_ = kInvalidLength;
  }
  if (ExpectsBody() && discard_ && discard_(*message_)) {
    discarding_ = true;
    decoder_.reset();
    body_handler_ = std::make_unique<DiscardBodyHandler>(message_);
    if (content_length_parsed_ && content_length_ > max_discarded_) {
      // Draining it would cost as much as reading it; a new connection costs less.
      framing_unsafe_ = true;
      return Finish();
    }
    return ParseContent(body, length);
  }
  if (ExpectsBody() && max_body_size_ != 0 && content_length_parsed_ &&
      content_length_ > max_body_size_) {
    // Refused before a byte of it is read.
    body_too_large_ = true;
    return Fail(KORVO_LOG_BASE_FILE, __LINE__,
                "Response body of %llu bytes announced, more than %llu allowed",
                static_cast<unsigned long long>(content_length_),
                static_cast<unsigned long long>(max_body_size_));
  }
  if (!CreateBodyHandler()) return false;
  if (!chunked_ && content_length_parsed_) {
    // A decoded body is rarely smaller than its coded form, and never over its limit.
    std::uint64_t expected = content_length_;
    if (decoder_ != nullptr && DecodedLimit() != 0) {
      expected = std::min(expected, DecodedLimit());
    }
    body_handler_->Reserve(expected);
  }
  // Body bytes that came with the head are parsed where they lie.
  return ParseContent(body, length);
}

bool Parser::ParseHeaderLine(std::string_view line) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Invalid header: %s", std::string(line).c_str());
  }
  // Fields of an interim response describe that response only.
  if (interim_) return true;
  if (++field_count_ > kMaxHeaderFields) {
    return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Response head too large");
  }

  std::string_view name = line.substr(0, colon);
  std::string_view value = line.substr(colon + 1);
  TrimSpaces(name);
  TrimSpaces(value);

  // Only three names matter here; their lengths differ, which spares most compares.
  if (name.size() == 14 && AsciiIEquals(name, "Content-Length")) {
    std::uint64_t length = 0;
    if (!ParseContentLength(value, length) ||
        (content_length_parsed_ && length != content_length_)) {
      return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Invalid content length: %s", std::string(value).c_str());
    }
    content_length_parsed_ = true;
    content_length_ = length;
  } else if (name.size() == 12 && AsciiIEquals(name, "Content-Type")) {
    ContentType content_type(value);
    if (!content_type.Valid()) {
      return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Invalid content-type header: %s", std::string(value).c_str());
    }
  } else if (name.size() == 17 && AsciiIEquals(name, "Transfer-Encoding")) {
    // Codings apply in the order listed, across repeated fields; only the final one
    // frames the body. A chunked coding before another one leaves the end unknown.
    transfer_encoded_ = true;
    std::string_view codings = value;
    while (!codings.empty()) {
      std::size_t comma = codings.find(',');
      std::string_view coding = codings.substr(0, comma);
      TrimSpaces(coding);
      if (!coding.empty()) {
        if (chunked_) framing_unsafe_ = true;
        chunked_ = AsciiIEquals(coding, "chunked");
      }
      codings = comma == std::string_view::npos ? std::string_view() : codings.substr(comma + 1);
    }
  }

  message_->AddHeader(name, value);
  return true;
}

bool Parser::CreateBodyHandler() {
  body_handler_.reset();
  decoder_.reset();
  BodyCoding coding = BodyCoding::kAsReceived;
  if (decode_ && ExpectsBody()) {
    switch (CreateContentDecoder(message_->GetHeaders().GetAll("Content-Encoding"), decoder_)) {
      case ContentCodings::kNone:
        break;
      case ContentCodings::kDecodable:
        coding = BodyCoding::kDecoded;
        break;
      case ContentCodings::kUnknown:
        coding = BodyCoding::kUndecodable;
        break;
      case ContentCodings::kTooMany:
        return Fail(KORVO_LOG_BASE_FILE, __LINE__, "More than %zu content codings",
                    kMaxContentCodings);
    }
  }
  if (sink_) {
    body_handler_ = std::make_unique<SinkBodyHandler>(message_, sink_);
    return true;
  }
  if (!stream_) {
    body_handler_ = std::make_unique<StringBodyHandler>(message_, coding);
    return true;
  }
  auto handler = std::make_unique<FileBodyHandler>(message_);
  if (!handler->OpenFile()) return false;
  body_handler_ = std::move(handler);
  return true;
}

bool Parser::ParseContent(const char* data, std::size_t length) {
  if (discarding_) {
    discarded_ += length;
    if (discarded_ > max_discarded_) {
      framing_unsafe_ = true;
      return Finish();
    }
  }
  if (until_close_) {
    // Whatever arrives belongs to the body; the server's close ends it.
    return AddBody(data, length);
  }
  if (chunked_) {
    // A Content-Length beside chunked coding is ignored, but whoever sent both
    // cannot be trusted with the next message on this connection.
    if (content_length_parsed_) framing_unsafe_ = true;
    return ParseChunkedContent(data, length);
  }
  return ParseFixedContent(data, length);
}

bool Parser::ParseFixedContent(const char* data, std::size_t length) {
  std::uint64_t wanted = content_length_ - body_length_;
  std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, length));
  if (!AddBody(data, take)) return false;
  if (take < length) framing_unsafe_ = true;  // surplus beyond the declared length
  if (take == wanted) return Finish();
  return true;
}

Parser::LineResult Parser::TakeLine(const char*& data, const char* end,
                                    std::string_view& line) {
  const char* p = data;
  while (p < end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (lf == nullptr) break;
    bool cr = lf > data ? lf[-1] == '\r' : (!line_buffer_.empty() && line_buffer_.back() == '\r');
    if (!cr) {
      p = lf + 1;  // a lone LF belongs to the line
      continue;
    }
    if (line_buffer_.size() + (lf - data) > kMaxHeadLength) return LineResult::kTooLong;
    if (line_buffer_.empty()) {
      line = std::string_view(data, lf - 1 - data);
    } else {
      line_buffer_.append(data, lf - data);
      line_buffer_.pop_back();  // the CR
      line = line_buffer_;
    }
    data = lf + 1;
    return LineResult::kLine;
  }
  if (line_buffer_.size() + (end - data) > kMaxHeadLength) return LineResult::kTooLong;
  line_buffer_.append(data, end - data);
  data = end;
  return LineResult::kMore;
}

bool Parser::ParseChunkedContent(const char* data, std::size_t length) {
  const char* p = data;
  const char* end = data + length;
  while (p < end) {
    switch (chunk_state_) {
      case ChunkState::kSize: {
        std::string_view line;
        LineResult result = TakeLine(p, end, line);
        if (result == LineResult::kMore) return true;
        if (result == LineResult::kTooLong) {
          return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Chunk-size line too long");
        }
        bool ok = ParseChunkSize(line);
        line_buffer_.clear();
        if (!ok) return false;
        chunk_state_ = chunk_size_ == 0 ? ChunkState::kTrailer : ChunkState::kData;
        break;
      }
      case ChunkState::kData: {
        std::size_t take = static_cast<std::size_t>(
            std::min<std::uint64_t>(chunk_size_, static_cast<std::uint64_t>(end - p)));
        if (!AddBody(p, take)) return false;
        p += take;
        chunk_size_ -= take;
        if (chunk_size_ == 0) chunk_state_ = ChunkState::kDataCr;
        break;
      }
      case ChunkState::kDataCr:
      case ChunkState::kDataLf:
        // A chunk that does not end where its size says is a broken frame; reading on
        // would take arbitrary bytes as body.
        if (*p != (chunk_state_ == ChunkState::kDataCr ? '\r' : '\n')) {
          return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Missing CRLF after chunk data");
        }
        ++p;
        if (chunk_state_ == ChunkState::kDataCr) {
          chunk_state_ = ChunkState::kDataLf;
        } else {
          chunk_state_ = ChunkState::kSize;
          chunk_size_ = kInvalidLength;
        }
        break;
      case ChunkState::kTrailer: {
        // Trailer fields are read past, not stored; the blank line ends the body.
        const char* line_begin = p;
        std::string_view line;
        LineResult result = TakeLine(p, end, line);
        trailer_length_ += p - line_begin;
        if (result == LineResult::kTooLong || trailer_length_ > kMaxHeadLength) {
          return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Chunk trailer too large");
        }
        if (result == LineResult::kMore) return true;
        bool blank = line.empty();
        line_buffer_.clear();
        if (blank) {
          if (p < end) framing_unsafe_ = true;  // surplus after the message
          return Finish();
        }
        break;
      }
    }
  }
  return true;
}

bool Parser::ParseChunkSize(std::string_view line) {
  std::uint64_t value = 0;
  if (!ParseChunkSizeLine(line, value)) {
    return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Invalid chunk-size: %s", std::string(line).c_str());
  }
  chunk_size_ = value;
  return true;
}

bool Parser::FinishAtClose() {
  if (!header_ended_ || finished_ || failed_ || !until_close_) return false;
  if (!Finish()) {
    failed_ = true;
    return false;
  }
  return true;
}

bool Parser::AddBody(const char* data, std::size_t length) {
  if (length == 0) return true;
  if (decoder_ != nullptr) {
    DecodedSink sink(this);
    if (!decoder_->Decode(data, length, sink)) return DecodingFailed();
  } else {
    if (max_body_size_ != 0 && !discarding_ &&
        length > max_body_size_ - body_handler_->GetContentLength()) {
      body_too_large_ = true;
      return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Response body larger than %llu bytes",
                  static_cast<unsigned long long>(max_body_size_));
    }
    if (!body_handler_->AddContent(data, length)) return false;
  }
  body_length_ += length;
  return true;
}

bool Parser::DecodingFailed() {
  std::string error = decoder_->GetError();
  std::string name = decoder_->GetName();
  // Its window (up to 16 MiB for br) must not stay with a connection kept for reuse.
  decoder_.reset();
  if (body_too_large_) {
    return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Decoded body larger than %llu bytes (%s)",
                static_cast<unsigned long long>(DecodedLimit()), name.c_str());
  }
  if (!error.empty()) return Fail(KORVO_LOG_BASE_FILE, __LINE__, "%s", error.c_str());
  return false;  // the body handler could not store a block, and logged why
}

bool Parser::Finish() {
  std::int64_t length =
      content_length_ == kInvalidLength ? -1 : static_cast<std::int64_t>(content_length_);
  if (decoder_ != nullptr) {
    // A stream cut short is no complete message, whatever its framing said.
    DecodedSink sink(this);
    if (!decoder_->Finish(sink)) return DecodingFailed();
    decoder_.reset();
    length = static_cast<std::int64_t>(body_handler_->GetContentLength());
  }
  finished_ = true;
  message_->SetContentLength(length);
  return body_handler_ == nullptr || body_handler_->Finish();
}

}  // namespace korvo
