#include "korvo/internal/http2_session.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "korvo/logger.h"
#include "korvo/internal/message_access.h"
#include "korvo/internal/parser.h"
#include "korvo/internal/payload.h"
#include "korvo/internal/request_access.h"
#include "korvo/internal/utility.h"

namespace korvo {

namespace {

// What a peer says is quoted in reasons: control bytes dropped, cut short.
std::string Printable(std::string_view text) {
  std::string printable;
  for (char c : text.substr(0, kMaxFailureLength)) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) printable += c;
  }
  return printable;
}

std::string CodeName(std::uint32_t code) { return nghttp2_http2_strerror(code); }

std::string FrameName(std::uint8_t type) {
  static const char* const kNames[] = {"DATA",   "HEADERS", "PRIORITY", "RST_STREAM",
                                       "SETTINGS", "PUSH_PROMISE", "PING", "GOAWAY",
                                       "WINDOW_UPDATE", "CONTINUATION"};
  if (type < std::size(kNames)) return kNames[type];
  return "type " + std::to_string(type);
}

std::string_view View(nghttp2_rcbuf* buffer) {
  nghttp2_vec vec = nghttp2_rcbuf_get_buf(buffer);
  return std::string_view(reinterpret_cast<const char*>(vec.base), vec.len);
}

// Fields that describe one connection, not the message (RFC 9113 8.2.2): HTTP/2 has no
// use for them, and a server must treat a request carrying them as malformed.
bool IsConnectionSpecific(std::string_view name) {
  return AsciiIEquals(name, "Connection") || AsciiIEquals(name, "Keep-Alive") ||
         AsciiIEquals(name, "Proxy-Connection") || AsciiIEquals(name, "Transfer-Encoding") ||
         AsciiIEquals(name, "Upgrade") || AsciiIEquals(name, "Host");
}

// Credentials stay out of the compression tables, where a later guess could be told
// by the size of what it compresses to.
bool IsSecret(std::string_view lower_name) {
  return lower_name == "authorization" || lower_name == "proxy-authorization";
}

[[noreturn]] void ThrowBadLine(const char* why) {
  Error error(kRequestError, "Invalid request line");
  error.SetDetail(why);
  throw error;
}

Error StreamError(const char* message, std::string detail) {
  Error error(kReadError, message);
  error.SetDetail(std::move(detail));
  return error;
}

Error ParseError(std::string detail) {
  Error error(kParseError, "Response parse error");
  error.SetDetail(std::move(detail));
  return error;
}

// The bytes a field adds to a header list, as SETTINGS_MAX_HEADER_LIST_SIZE counts them
// (RFC 9113 6.5.2).
constexpr std::size_t kFieldOverhead = 32;

// Takes a request body through the body's write side, copying each payload out piece by
// piece: a payload stays valid only until the next one is asked for.
class BodyReader {
 public:
  explicit BodyReader(std::shared_ptr<Body> body) : body_(std::move(body)) {}

  Http2BodyRead Read(char* buffer, std::size_t capacity, std::size_t& length) {
    length = 0;
    if (!started_) {
      BodyAccess::InitPayload(*body_);
      started_ = true;
    }
    while (length < capacity) {
      if (range_ == payload_.size()) {
        payload_ = BodyAccess::NextPayload(*body_, true);
        range_ = 0;
        if (payload_.empty()) return Http2BodyRead::kEnd;
        continue;
      }
      detail::ByteRange& range = payload_[range_];
      std::size_t count = std::min(range.size(), capacity - length);
      if (count > 0) std::memcpy(buffer + length, range.data(), count);
      length += count;
      range += count;
      if (range.size() == 0) ++range_;
    }
    return Http2BodyRead::kData;
  }

 private:
  std::shared_ptr<Body> body_;
  bool started_ = false;
  detail::Payload payload_;
  std::size_t range_ = 0;  // the first range of payload_ not handed out entirely
};

}  // namespace

Http2BodyProvider MakeBodyProvider(std::shared_ptr<Body> body) {
  // A request without a body ends with its HEADERS frame, not with an empty DATA frame.
  if (body == nullptr || body->GetSize() == 0) return nullptr;
  auto reader = std::make_shared<BodyReader>(std::move(body));
  return [reader](char* buffer, std::size_t capacity, std::size_t& length) {
    return reader->Read(buffer, capacity, length);
  };
}

struct Http2Session::Stream {
  std::int32_t id = 0;
  std::shared_ptr<Http2StreamObserver> observer;
  Http2BodyProvider body;
  bool ended = false;
  bool headers_sent = false;      // its HEADERS went out through TakeOutput
  bool body_deferred = false;     // the provider said kDeferred
  bool response_complete = false; // END_STREAM arrived
  bool head_delivered = false;
  bool reset_by_server = false;
  std::uint64_t uploaded = 0;
  std::uint64_t held = 0;  // delivered to the observer, not consumed yet
  std::uint64_t received = 0;  // body bytes delivered
  // The response's "content-length", when it has one that nghttp2 holds the DATA to.
  std::uint64_t content_length = kInvalidLength;
  int last_frame = -1;  // the type of the last frame received on it; -1: none yet

  // The header block being received.
  int status = 0;
  Headers fields;
  std::size_t block_fields = 0;
  // Head bytes so far, interim heads included (as an HTTP/1.1 head counts them), and
  // trailer bytes.
  std::size_t head_size = 0;
  std::size_t trailer_size = 0;

  // Set when the stream failed here: it ends with this.
  bool failed = false;
  Http2StreamEnd failure;
  // nghttp2 found the server's frames for this stream malformed, in these words.
  std::string protocol_error;
};

struct Http2Session::Callbacks {
  static Http2Session& Self(void* user_data) { return *static_cast<Http2Session*>(user_data); }

  // Calls into an observer, which must not unwind through nghttp2: what it throws fails
  // its stream.
  template <typename Call>
  static void Notify(Http2Session& self, const std::shared_ptr<Stream>& stream, Call call) {
    try {
      call(*stream->observer);
    } catch (const Error& error) {
      self.FailStream(stream, error, NGHTTP2_CANCEL);
    } catch (const std::exception& exception) {
      LOG_ERRO("HTTP/2 stream %d: the observer failed: %s", stream->id, exception.what());
      self.FailStream(stream, StreamError("Socket read error", exception.what()), NGHTTP2_CANCEL);
    }
  }

  static int OnBeginFrame(nghttp2_session*, const nghttp2_frame_hd* head, void* user_data) {
    Http2Session& self = Self(user_data);
    self.frame_type_ = head->type;
    self.frame_stream_ = head->stream_id;
    std::shared_ptr<Stream> stream = self.Find(head->stream_id);
    if (stream != nullptr) stream->last_frame = head->type;
    return 0;
  }

  static int OnBeginHeaders(nghttp2_session* session, const nghttp2_frame* frame,
                            void* user_data) {
    Http2Session& self = Self(user_data);
    if (frame->hd.type == NGHTTP2_PUSH_PROMISE) {
      // Only before the server has taken our SETTINGS (after that nghttp2 fails the
      // connection itself): the promised stream is refused, the connection goes on.
      nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE,
                                frame->push_promise.promised_stream_id, NGHTTP2_CANCEL);
      return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    }
    std::shared_ptr<Stream> stream = self.Find(frame->hd.stream_id);
    if (stream == nullptr || frame->hd.type != NGHTTP2_HEADERS) return 0;
    stream->status = 0;
    stream->fields = Headers();
    stream->block_fields = 0;
    // An interim head's length says nothing of the final response's body.
    if (!stream->head_delivered) stream->content_length = kInvalidLength;
    return 0;
  }

  static int OnHeader(nghttp2_session*, const nghttp2_frame* frame, nghttp2_rcbuf* name_buffer,
                      nghttp2_rcbuf* value_buffer, std::uint8_t, void* user_data) {
    Http2Session& self = Self(user_data);
    std::shared_ptr<Stream> stream = self.Find(frame->hd.stream_id);
    if (stream == nullptr || stream->failed || frame->hd.type != NGHTTP2_HEADERS) return 0;
    std::string_view name = View(name_buffer);
    std::string_view value = View(value_buffer);
    // A field is counted before it is copied: an indexed field costs the server one
    // byte, and its copy is bounded only here.
    std::size_t& size = stream->head_delivered ? stream->trailer_size : stream->head_size;
    size += name.size() + value.size() + kFieldOverhead;
    if (size > kMaxHeadLength || ++stream->block_fields > kMaxHeaderFields) {
      LOG_ERRO("HTTP/2 stream %d: response head too large", stream->id);
      self.FailStream(stream, ParseError("Response head too large"), NGHTTP2_CANCEL);
      return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    }
    if (name == ":status") {
      // nghttp2 has checked that it is three digits.
      int status = 0;
      for (char c : value) status = status * 10 + (c - '0');
      stream->status = status;
    } else if (!name.empty() && name[0] != ':') {
      if (name == "content-length" && !stream->head_delivered) {
        std::uint64_t length = 0;
        bool digits = !value.empty() && value.size() <= 18;
        for (char c : value) {
          digits &= c >= '0' && c <= '9';
          length = length * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (digits) stream->content_length = length;
      }
      stream->fields.Add(name, value);
    }
    return 0;
  }

  static int OnFrameRecv(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    Http2Session& self = Self(user_data);
    switch (frame->hd.type) {
      case NGHTTP2_HEADERS:
      case NGHTTP2_DATA: {
        std::shared_ptr<Stream> stream = self.Find(frame->hd.stream_id);
        if (stream == nullptr || stream->failed) return 0;
        if (frame->hd.type == NGHTTP2_HEADERS) DeliverBlock(self, stream);
        if ((frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) stream->response_complete = true;
        return 0;
      }
      case NGHTTP2_RST_STREAM: {
        std::shared_ptr<Stream> stream = self.Find(frame->hd.stream_id);
        if (stream != nullptr) stream->reset_by_server = true;
        return 0;
      }
      case NGHTTP2_GOAWAY:
        self.goaway_received_ = true;
        self.goaway_last_stream_ = frame->goaway.last_stream_id;
        self.goaway_code_ = frame->goaway.error_code;
        self.goaway_debug_ = Printable(std::string_view(
            reinterpret_cast<const char*>(frame->goaway.opaque_data), frame->goaway.opaque_data_len));
        return 0;
      case NGHTTP2_PING:
        if ((frame->hd.flags & NGHTTP2_FLAG_ACK) != 0 && self.ping_outstanding_) {
          std::uint64_t payload = 0;
          std::memcpy(&payload, frame->ping.opaque_data, sizeof(payload));
          if (payload == self.ping_count_) self.ping_outstanding_ = false;
        }
        return 0;
      default:
        return 0;
    }
  }

  static void DeliverBlock(Http2Session& self, const std::shared_ptr<Stream>& stream) {
    if (stream->head_delivered) {
      Notify(self, stream, [&](Http2StreamObserver& observer) { observer.OnTrailers(stream->fields); });
    } else if (stream->status / 100 != 1) {
      // Final as nghttp2 reads it (and as an HTTP/1.1 status line is): anything not 1xx.
      stream->head_delivered = true;
      Notify(self, stream, [&](Http2StreamObserver& observer) {
        observer.OnHead(stream->status, stream->fields);
      });
    }
    // An interim head is dropped; its bytes still count towards the head's bound.
    stream->fields = Headers();
  }

  static int OnInvalidFrameRecv(nghttp2_session*, const nghttp2_frame* frame, int lib_error_code,
                                void* user_data) {
    Http2Session& self = Self(user_data);
    std::string reason = std::exchange(self.library_message_, std::string());
    if (reason.empty()) {
      reason = std::string(nghttp2_strerror(lib_error_code)) + " in a " +
               FrameName(frame->hd.type) + " frame";
    }
    self.invalid_frame_reason_ = reason;
    std::shared_ptr<Stream> stream = self.Find(frame->hd.stream_id);
    if (stream != nullptr && stream->protocol_error.empty()) stream->protocol_error = reason;
    return 0;
  }

  static int OnError(nghttp2_session*, int, const char* message, std::size_t length,
                     void* user_data) {
    Self(user_data).library_message_ = Printable(std::string_view(message, length));
    return 0;
  }

  static int OnDataChunk(nghttp2_session* session, std::uint8_t, std::int32_t stream_id,
                         const std::uint8_t* data, std::size_t length, void* user_data) {
    Http2Session& self = Self(user_data);
    std::shared_ptr<Stream> stream = self.Find(stream_id);
    if (stream == nullptr || stream->failed) {
      // Nobody wants these bytes; the window they took is given back at once.
      nghttp2_session_consume(session, stream_id, length);
      return 0;
    }
    stream->held += length;
    stream->received += length;
    std::size_t taken = 0;
    Notify(self, stream, [&](Http2StreamObserver& observer) {
      taken = observer.OnData(reinterpret_cast<const char*>(data), length);
    });
    if (!stream->ended) self.ConsumeHeld(*stream, std::min(taken, length));
    return 0;
  }

  static int OnStreamClose(nghttp2_session*, std::int32_t stream_id, std::uint32_t error_code,
                           void* user_data) {
    Http2Session& self = Self(user_data);
    std::shared_ptr<Stream> stream = self.Find(stream_id);
    if (stream != nullptr) self.EndStream(stream, self.CloseEnd(*stream, error_code));
    return 0;
  }

  static int OnFrameSend(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    Http2Session& self = Self(user_data);
    if (frame->hd.type == NGHTTP2_GOAWAY) {
      self.sent_goaway_code_ = frame->goaway.error_code;
      self.sent_goaway_reason_ = Printable(std::string_view(
          reinterpret_cast<const char*>(frame->goaway.opaque_data), frame->goaway.opaque_data_len));
      return 0;
    }
    std::shared_ptr<Stream> stream = self.Find(frame->hd.stream_id);
    if (stream == nullptr) return 0;
    if (frame->hd.type == NGHTTP2_HEADERS) {
      stream->headers_sent = true;
    } else if (frame->hd.type == NGHTTP2_DATA) {
      std::size_t padding = frame->data.padlen;
      stream->uploaded += frame->hd.length - std::min(padding, frame->hd.length);
      std::uint64_t sent = stream->uploaded;
      Notify(self, stream, [&](Http2StreamObserver& observer) { observer.OnUploadProgress(sent); });
    }
    return 0;
  }

  static int OnFrameNotSend(nghttp2_session*, const nghttp2_frame* frame, int lib_error_code,
                            void* user_data) {
    Http2Session& self = Self(user_data);
    if (frame->hd.type != NGHTTP2_HEADERS) return 0;
    std::shared_ptr<Stream> stream = self.Find(frame->hd.stream_id);
    if (stream == nullptr) return 0;
    // The request never left: nothing of it reached the server.
    self.EndStream(stream, Http2StreamEnd{Http2EndKind::kRefused, NGHTTP2_REFUSED_STREAM,
                                          StreamError("Socket read error",
                                                      std::string("the request could not be sent: ") +
                                                          nghttp2_strerror(lib_error_code))});
    return 0;
  }

  static ssize_t ReadBody(nghttp2_session*, std::int32_t stream_id, std::uint8_t* buffer,
                          std::size_t capacity, std::uint32_t* flags, nghttp2_data_source*,
                          void* user_data) {
    Http2Session& self = Self(user_data);
    std::shared_ptr<Stream> stream = self.Find(stream_id);
    if (stream == nullptr || stream->failed || !stream->body) {
      return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    }
    std::size_t length = 0;
    Http2BodyRead read = Http2BodyRead::kDeferred;
    try {
      read = stream->body(reinterpret_cast<char*>(buffer), capacity, length);
    } catch (const Error& error) {
      LOG_ERRO("HTTP/2 stream %d: request body error: %s", stream_id, error.message().c_str());
      stream->failed = true;
      stream->failure = Http2StreamEnd{Http2EndKind::kFailed, NGHTTP2_INTERNAL_ERROR, error};
      return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    } catch (const std::exception& exception) {
      LOG_ERRO("HTTP/2 stream %d: request body error: %s", stream_id, exception.what());
      stream->failed = true;
      stream->failure = Http2StreamEnd{Http2EndKind::kFailed, NGHTTP2_INTERNAL_ERROR,
                                       Error(kFileError, "Cannot read the file")};
      return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    }
    length = std::min(length, capacity);
    if (read == Http2BodyRead::kEnd) {
      *flags |= NGHTTP2_DATA_FLAG_EOF;
      stream->body = nullptr;  // whatever it holds (a file, say) goes now
      return static_cast<ssize_t>(length);
    }
    if (read == Http2BodyRead::kData && length > 0) return static_cast<ssize_t>(length);
    stream->body_deferred = true;
    return NGHTTP2_ERR_DEFERRED;
  }
};

Http2Session::Http2Session() {
  nghttp2_session_callbacks* callbacks = nullptr;
  if (nghttp2_session_callbacks_new(&callbacks) != 0) throw std::bad_alloc();
  nghttp2_session_callbacks_set_on_begin_frame_callback(callbacks, &Callbacks::OnBeginFrame);
  nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, &Callbacks::OnBeginHeaders);
  nghttp2_session_callbacks_set_on_header_callback2(callbacks, &Callbacks::OnHeader);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &Callbacks::OnFrameRecv);
  nghttp2_session_callbacks_set_on_invalid_frame_recv_callback(callbacks,
                                                               &Callbacks::OnInvalidFrameRecv);
  nghttp2_session_callbacks_set_error_callback2(callbacks, &Callbacks::OnError);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &Callbacks::OnDataChunk);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &Callbacks::OnStreamClose);
  nghttp2_session_callbacks_set_on_frame_send_callback(callbacks, &Callbacks::OnFrameSend);
  nghttp2_session_callbacks_set_on_frame_not_send_callback(callbacks, &Callbacks::OnFrameNotSend);

  nghttp2_option* option = nullptr;
  if (nghttp2_option_new(&option) != 0) {
    nghttp2_session_callbacks_del(callbacks);
    throw std::bad_alloc();
  }
  // Data is acknowledged as its consumer takes it (Consume), not as it arrives.
  nghttp2_option_set_no_auto_window_update(option, 1);
  // Pushed streams are refused: the client never asked for them.
  nghttp2_option_set_max_reserved_remote_streams(option, 0);
  nghttp2_option_set_max_outbound_ack(option, kMaxQueuedAcks);
  nghttp2_option_set_max_continuations(option, kMaxContinuations);
  // No priorities are kept, so closed streams need not be either.
  nghttp2_option_set_no_closed_streams(option, 1);

  int result = nghttp2_session_client_new2(&session_, callbacks, this, option);
  nghttp2_option_del(option);
  nghttp2_session_callbacks_del(callbacks);
  if (result != 0) throw std::bad_alloc();

  const nghttp2_settings_entry settings[] = {
      {NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, kMaxStreams},
      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, static_cast<std::uint32_t>(kStreamWindow)},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, static_cast<std::uint32_t>(kMaxHeadLength)},
  };
  if (nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, settings, std::size(settings)) != 0 ||
      nghttp2_session_set_local_window_size(session_, NGHTTP2_FLAG_NONE, 0, kConnectionWindow) !=
          0) {
    nghttp2_session_del(session_);
    throw std::bad_alloc();
  }
}

Http2Session::~Http2Session() { nghttp2_session_del(session_); }

std::shared_ptr<Http2Session::Stream> Http2Session::Find(std::int32_t id) const {
  auto it = streams_.find(id);
  return it == streams_.end() ? nullptr : it->second;
}

std::string Http2Session::TakeOutput(std::size_t limit) {
  std::string output = std::exchange(output_, std::string());
  if (broken_) return output;
  while (output.size() < limit) {
    const std::uint8_t* data = nullptr;
    ssize_t length = nghttp2_session_mem_send(session_, &data);
    if (length < 0) {
      broken_ = true;
      FailConnection(std::string("HTTP/2 framing failed: ") +
                     nghttp2_strerror(static_cast<int>(length)));
      break;
    }
    if (length == 0) break;
    output.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
  }
  return output;
}

bool Http2Session::Feed(const char* data, std::size_t size) {
  if (failed_) return false;
  ssize_t result =
      nghttp2_session_mem_recv(session_, reinterpret_cast<const std::uint8_t*>(data), size);
  if (result < 0) {
    broken_ = true;
    std::string why;
    switch (result) {
      case NGHTTP2_ERR_FLOODED:
        why = "the server sends frames that need an answer faster than it reads the answers";
        break;
      case NGHTTP2_ERR_TOO_MANY_CONTINUATIONS:
        why = "the server's header block goes on in too many CONTINUATION frames";
        break;
      default:
        why = nghttp2_strerror(static_cast<int>(result));
        break;
    }
    FailConnection("HTTP/2 connection error: " + why);
    return false;
  }
  SettleAfterFeed();
  return !failed_;
}

void Http2Session::SettleAfterFeed() {
  // nghttp2 answers a connection error by queueing GOAWAY, which closes the session
  // to new requests although no GOAWAY came from the server.
  bool terminating = !goaway_received_ && nghttp2_session_check_request_allowed(session_) == 0 &&
                     nghttp2_session_get_next_stream_id(session_) <= 0x7fffffffu;
  std::vector<std::shared_ptr<Stream>> failed;
  for (const auto& [id, stream] : streams_) {
    if (stream->failed || (!terminating && !stream->protocol_error.empty())) {
      failed.push_back(stream);
    }
  }
  for (const std::shared_ptr<Stream>& stream : failed) {
    if (stream->failed) {
      EndStream(stream, stream->failure);
    } else {
      LOG_ERRO("HTTP/2 stream %d: malformed response: %s", stream->id,
               stream->protocol_error.c_str());
      EndStream(stream, Http2StreamEnd{Http2EndKind::kFailed, NGHTTP2_PROTOCOL_ERROR,
                                       ParseError(stream->protocol_error)});
    }
  }
  if (terminating) {
    // The GOAWAY goes out now, while the streams are still there to be told, and with it
    // nghttp2's own words for what the server did.
    while (true) {
      const std::uint8_t* data = nullptr;
      ssize_t length = nghttp2_session_mem_send(session_, &data);
      if (length <= 0) break;
      output_.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    }
    std::string why = sent_goaway_reason_;
    if (why.empty()) why = invalid_frame_reason_;
    if (why.empty()) why = library_message_;
    if (why.empty()) {
      why = "the server broke the protocol in a " + FrameName(frame_type_) + " frame on stream " +
            std::to_string(frame_stream_);
    }
    FailConnection("HTTP/2 protocol error: " + why);
    return;
  }
  if (!goaway_received_) return;
  if (goaway_code_ != NGHTTP2_NO_ERROR) {
    FailConnection("the server ended the connection: GOAWAY " + CodeName(goaway_code_) +
                   (goaway_debug_.empty() ? "" : " (" + goaway_debug_ + ")"));
    return;
  }
  // Requests still queued will never be sent; they may go on another connection.
  std::vector<std::shared_ptr<Stream>> unsent;
  for (const auto& [id, stream] : streams_) {
    if (!stream->headers_sent) unsent.push_back(stream);
  }
  for (const std::shared_ptr<Stream>& stream : unsent) {
    EndStream(stream, Http2StreamEnd{Http2EndKind::kRefused, NGHTTP2_REFUSED_STREAM,
                                     StreamError("Socket read error",
                                                 "the server is going away (GOAWAY); the request "
                                                 "was not sent")});
  }
}

void Http2Session::FailConnection(std::string why) {
  if (failed_) return;
  failed_ = true;
  failure_ = std::move(why);
  LOG_ERRO("%s", failure_.c_str());
  // Nothing more goes out but a GOAWAY (nghttp2's own, when it found the error): no
  // request body is pulled for a connection that is over.
  if (!broken_) nghttp2_session_terminate_session(session_, NGHTTP2_NO_ERROR);
  std::vector<std::shared_ptr<Stream>> open;
  for (const auto& [id, stream] : streams_) open.push_back(stream);
  std::sort(open.begin(), open.end(),
            [](const auto& a, const auto& b) { return a->id < b->id; });
  for (const std::shared_ptr<Stream>& stream : open) {
    if (stream->failed) {
      EndStream(stream, stream->failure);
    } else if (!stream->headers_sent) {
      EndStream(stream, Http2StreamEnd{Http2EndKind::kRefused, NGHTTP2_REFUSED_STREAM,
                                       StreamError("Socket read error",
                                                   "the request was not sent: " + failure_)});
    } else {
      EndStream(stream, Http2StreamEnd{Http2EndKind::kConnectionFailed,
                                       goaway_received_ ? goaway_code_ : sent_goaway_code_,
                                       StreamError("Socket read error", failure_)});
    }
  }
}

void Http2Session::ConnectionLost(std::string_view why) {
  broken_ = true;
  output_.clear();
  FailConnection(std::string(why));
}

Http2StreamEnd Http2Session::CloseEnd(const Stream& stream, std::uint32_t code) const {
  if (stream.failed) return stream.failure;
  if (!stream.protocol_error.empty()) {
    return Http2StreamEnd{Http2EndKind::kFailed, code, ParseError(stream.protocol_error)};
  }
  // A server may reset with NO_ERROR once its response is complete, to stop the
  // request body it no longer needs (RFC 9113 8.1).
  if (stream.response_complete && code == NGHTTP2_NO_ERROR) return Http2StreamEnd{};
  if (code == NGHTTP2_REFUSED_STREAM) {
    std::string why = stream.reset_by_server
                          ? "the server refused the stream (REFUSED_STREAM)"
                          : "the server is going away (GOAWAY after stream " +
                                std::to_string(goaway_last_stream_) +
                                ") and did not process the request";
    return Http2StreamEnd{Http2EndKind::kRefused, code, StreamError("Socket read error", why)};
  }
  if (stream.reset_by_server) {
    LOG_WARN("HTTP/2 stream %d reset by the server: %s", stream.id, CodeName(code).c_str());
    return Http2StreamEnd{Http2EndKind::kReset, code,
                          StreamError("Socket read error",
                                      "the server reset the stream (" + CodeName(code) + ")")};
  }
  // nghttp2 reset it on its own, for a frame it tells no callback about: DATA that does
  // not fit the response, or a window the server overran.
  std::string why;
  if (stream.last_frame == NGHTTP2_DATA && stream.content_length != kInvalidLength) {
    why = "the response's DATA does not match its content-length (" +
          std::to_string(stream.content_length) + ", " + std::to_string(stream.received) +
          " received before the frame that broke it)";
  } else {
    why = "the stream was reset for " + CodeName(code);
    if (stream.last_frame >= 0) {
      why += " after a " + FrameName(static_cast<std::uint8_t>(stream.last_frame)) + " frame";
    }
  }
  return Http2StreamEnd{Http2EndKind::kFailed, code, ParseError(why)};
}

void Http2Session::EndStream(const std::shared_ptr<Stream>& stream, Http2StreamEnd end) {
  if (stream->ended) return;
  stream->ended = true;
  stream->body = nullptr;
  streams_.erase(stream->id);
  if (stream->held > 0 && !broken_) {
    nghttp2_session_consume_connection(session_, stream->held);
    stream->held = 0;
  }
  try {
    stream->observer->OnEnd(end);
  } catch (const std::exception& exception) {
    LOG_ERRO("HTTP/2 stream %d: the observer failed at the end: %s", stream->id,
             exception.what());
  }
}

void Http2Session::FailStream(const std::shared_ptr<Stream>& stream, Error error,
                              std::uint32_t code) {
  if (stream->failed || stream->ended) return;
  stream->failed = true;
  stream->failure = Http2StreamEnd{Http2EndKind::kFailed, code, std::move(error)};
  if (!broken_) nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, stream->id, code);
}

void Http2Session::ConsumeHeld(Stream& stream, std::size_t bytes) {
  bytes = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, stream.held));
  if (bytes == 0 || broken_) return;
  stream.held -= bytes;
  nghttp2_session_consume(session_, stream.id, bytes);
}

std::int32_t Http2Session::SubmitRequest(const Request& request,
                                         std::shared_ptr<Http2StreamObserver> observer,
                                         Http2BodyProvider body, std::string_view cookie) {
  if (observer == nullptr) throw Error(kRequestError, "Request is missing");
  if (failed_ || goaway_received_ || nghttp2_session_check_request_allowed(session_) == 0) {
    Error error(kWriteError, "Socket write error");
    error.SetDetail(failed_ ? "the HTTP/2 connection has failed: " + failure_
                            : std::string("the HTTP/2 connection takes no new streams"));
    throw error;
  }

  const Url& url = request.GetUrl();
  const std::string& method = request.GetMethod();
  std::string scheme = AsciiLower(url.GetScheme());
  if (scheme != "http" && scheme != "https") throw Error(kRequestError, "Invalid URL scheme");
  std::string authority = request.GetHeader("Host");
  if (authority.empty() && !url.GetHost().empty()) {
    authority = url.GetHost() + (url.GetPort().empty() ? "" : ":" + url.GetPort());
  }
  if (authority.empty()) throw Error(kRequestError, "Host is missing");
  std::string path = url.GetPath().empty() ? "/" : url.GetPath();
  if (!url.GetQuery().empty()) path += "?" + url.GetQuery();

  auto bytes = [](const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
  };
  if (method.empty()) ThrowBadLine("Method is missing");
  if (method == "CONNECT") ThrowBadLine("CONNECT is not sent over HTTP/2");
  if (nghttp2_check_method(bytes(method), method.size()) == 0) {
    ThrowBadLine("a byte in the method that HTTP/2 does not allow");
  }
  if (nghttp2_check_path(bytes(path), path.size()) == 0) {
    ThrowBadLine("a byte in the target that HTTP/2 does not allow");
  }
  if (nghttp2_check_authority(bytes(authority), authority.size()) == 0) {
    ThrowBadLine("a byte in the authority that HTTP/2 does not allow");
  }

  // Names and values live here until nghttp2 has copied them.
  std::vector<std::pair<std::string, std::string>> fields;
  fields.reserve(request.GetHeaders().size() + 4);
  fields.emplace_back(":method", method);
  fields.emplace_back(":scheme", scheme);
  fields.emplace_back(":authority", authority);
  fields.emplace_back(":path", path);
  for (const auto& [name, value] : request.GetHeaders()) {
    if (IsConnectionSpecific(name) || AsciiIEquals(name, "Proxy-Authorization")) continue;
    if (AsciiIEquals(name, "TE")) {
      std::string_view te = value;
      Trim(te, " \t");
      if (AsciiIEquals(te, "trailers")) fields.emplace_back("te", "trailers");
      continue;
    }
    CheckRequestField(name, value);
    std::string lower = AsciiLower(name);
    if (nghttp2_check_header_name(bytes(lower), lower.size()) == 0 ||
        nghttp2_check_header_value_rfc9113(bytes(value), value.size()) == 0) {
      Error error(kRequestError, "Invalid header field");
      error.SetDetail("\"" + Printable(name) + "\": not allowed in an HTTP/2 field");
      throw error;
    }
    fields.emplace_back(std::move(lower), value);
  }
  if (!cookie.empty() && !request.HasHeader("Cookie")) {
    fields.emplace_back("cookie", std::string(cookie));
  }
  std::vector<nghttp2_nv> nva;
  nva.reserve(fields.size());
  for (auto& [name, value] : fields) {
    std::uint8_t flags = IsSecret(name) ? NGHTTP2_NV_FLAG_NO_INDEX : NGHTTP2_NV_FLAG_NONE;
    nva.push_back(nghttp2_nv{reinterpret_cast<std::uint8_t*>(name.data()),
                             reinterpret_cast<std::uint8_t*>(value.data()), name.size(),
                             value.size(), flags});
  }

  nghttp2_data_provider provider{};
  provider.read_callback = &Callbacks::ReadBody;
  std::int32_t id = nghttp2_submit_request(session_, nullptr, nva.data(), nva.size(),
                                           body ? &provider : nullptr, nullptr);
  if (id < 0) {
    Error error(kWriteError, "Socket write error");
    error.SetDetail(std::string("the HTTP/2 stream could not be opened: ") + nghttp2_strerror(id));
    throw error;
  }
  auto stream = std::make_shared<Stream>();
  stream->id = id;
  stream->observer = std::move(observer);
  stream->body = std::move(body);
  streams_.emplace(id, std::move(stream));
  return id;
}

void Http2Session::ResumeBody(std::int32_t id) {
  std::shared_ptr<Stream> stream = Find(id);
  if (stream == nullptr || !stream->body_deferred || broken_) return;
  stream->body_deferred = false;
  nghttp2_session_resume_data(session_, id);
}

void Http2Session::Consume(std::int32_t id, std::size_t bytes) {
  std::shared_ptr<Stream> stream = Find(id);
  if (stream != nullptr) ConsumeHeld(*stream, bytes);
}

void Http2Session::CancelStream(std::int32_t id) {
  std::shared_ptr<Stream> stream = Find(id);
  if (stream == nullptr) return;
  stream->ended = true;
  stream->body = nullptr;
  streams_.erase(id);
  if (broken_) return;
  // What it held is the connection's again; what still arrives is consumed on arrival.
  if (stream->held > 0) nghttp2_session_consume_connection(session_, stream->held);
  nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, id, NGHTTP2_CANCEL);
}

bool Http2Session::SubmitPing() {
  if (failed_) return false;
  std::uint64_t payload = ++ping_count_;
  std::uint8_t opaque[8];
  std::memcpy(opaque, &payload, sizeof(opaque));
  if (nghttp2_submit_ping(session_, NGHTTP2_FLAG_NONE, opaque) != 0) return false;
  ping_outstanding_ = true;
  return true;
}

std::size_t Http2Session::GetAvailableStreams() const {
  if (failed_ || goaway_received_ || nghttp2_session_check_request_allowed(session_) == 0) {
    return 0;
  }
  std::uint32_t limit = std::min(
      nghttp2_session_get_remote_settings(session_, NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS),
      kMaxStreams);
  return limit > streams_.size() ? limit - streams_.size() : 0;
}

bool Http2Session::WantsWrite() const {
  return !output_.empty() || (!broken_ && nghttp2_session_want_write(session_) != 0);
}

bool Http2Session::WantsRead() const {
  return !failed_ && nghttp2_session_want_read(session_) != 0;
}

}  // namespace korvo
