#include "korvo/internal/http2_connection.h"

#include <algorithm>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "korvo/internal/exchange.h"
#include "korvo/internal/response_parser.h"
#include "korvo/internal/utility.h"
#include "korvo/logger.h"

namespace korvo {

namespace {

// A read takes whatever has arrived, up to a TLS record's worth several times over.
constexpr std::size_t kReadSize = 64 * 1024;
// Reads and writes that complete at once, run back to back before the loop gets its
// turn again.
constexpr int kMaxReadsPerTurn = 16;
constexpr int kMaxWritesPerTurn = 16;

std::chrono::steady_clock::time_point LimitFrom(std::chrono::steady_clock::time_point now,
                                                std::chrono::milliseconds limit) {
  return limit.count() > 0 ? now + limit : std::chrono::steady_clock::time_point::max();
}

}  // namespace

bool MayUseHttp2(const Url& url, const Route& route, HttpVersion version) {
  if (version == HttpVersion::kHttp1) return false;
  if (AsciiIEquals(url.GetScheme(), "https")) return true;
  return version == HttpVersion::kHttp2PriorKnowledge && !route.ForwardsPlainHttp(url);
}

// Hop: one exchange's stream, and where its response goes.
class Http2Connection::Hop : public Http2StreamObserver {
 public:
  Hop(Http2Connection& connection, std::uint64_t id, std::shared_ptr<Request> request,
      HopOptions options, HopDone done)
      : connection_(connection),
        id_(id),
        request_(std::move(request)),
        options_(std::move(options)),
        done_(std::move(done)) {}

  // Sets the parser up for the response, as ClientBase does for each exchange.
  void Prepare() {
    response_ = std::make_shared<Response>();
    parser_.Init(response_.get(), options_.stream);
    parser_.SetHttp2(true);
    parser_.SetIgnoreBody(request_->GetMethod() == "HEAD");
    parser_.SetDecoding(options_.decode, options_.max_decoded_size);
    parser_.SetBodyLimits(options_.sink, options_.max_body_size);
    parser_.SetDiscard(options_.discard, options_.max_discarded);
    std::int64_t size = request_->GetBody() ? request_->GetBody()->GetSize() : 0;
    body_size_ = size >= 0 ? static_cast<std::uint64_t>(size) : kInvalidLength;
  }

  void OnHead(int status, const Headers& fields) override {
    if (ended_) return;
    head_ = true;
    connection_.Touch(*this);
    // The parser takes the head as HTTP/1.1 writes it: the fields keep their order and
    // repeats, and every rule about bodies (HEAD, 204, 304, lengths) applies as there.
    std::string head = "HTTP/2 " + std::to_string(status) + "\r\n";
    for (const auto& [name, value] : fields) {
      head.append(name).append(": ").append(value).append("\r\n");
    }
    head.append("\r\n");
    if (!parser_.Parse(head.data(), head.size())) connection_.FailParse(*this);
  }

  std::size_t OnData(const char* data, std::size_t size) override {
    if (ended_) return size;
    connection_.Touch(*this);
    if (!parser_.Parse(data, size)) {
      connection_.FailParse(*this);
      return size;
    }
    if (options_.progress && parser_.IsHeaderEnded() && !parser_.IsDiscarding() &&
        !RunTransferCallback(options_.progress, parser_.GetBodyLength(),
                             parser_.GetContentLength(), "Progress")) {
      connection_.CancelStream(*this);
      return size;
    }
    if (parser_.IsFinished() && parser_.IsDiscarding()) {
      // A redirect's body too long to drain: the stream goes, the connection stays.
      connection_.session_.CancelStream(stream_);
      HopOutcome outcome;
      outcome.response = std::move(response_);
      connection_.Finish(*this, std::move(outcome));
    }
    // Every body handler takes the bytes at once (into memory, a file or a sink).
    return size;
  }

  void OnUploadProgress(std::uint64_t sent) override {
    if (ended_) return;
    sent_ = sent;
    connection_.Touch(*this);
    if (options_.upload_progress &&
        !RunTransferCallback(options_.upload_progress, sent, body_size_, "Upload progress")) {
      connection_.CancelStream(*this);
    }
  }

  void OnEnd(const Http2StreamEnd& end) override {
    if (ended_) return;
    HopOutcome outcome;
    if (end.kind == Http2EndKind::kComplete) {
      if (parser_.IsFinished() || parser_.FinishAtClose()) {
        outcome.response = std::move(response_);
        connection_.Finish(*this, std::move(outcome));
        return;
      }
      if (!parser_.GetFailure().empty()) {
        connection_.FailParse(*this);
        return;
      }
      outcome.error = Error(kReadError, "Socket read error");
      outcome.error.SetDetail("The stream ended before the response was complete");
    } else {
      outcome.error = end.error;
      outcome.refused = end.kind == Http2EndKind::kRefused;
      // As on HTTP/1.1: a connection kept from before that failed before any of the
      // response came may not have delivered the request at all.
      outcome.can_retry = end.kind == Http2EndKind::kConnectionFailed &&
                          connection_.transport_lost_ && !head_ && id_ > 1;
    }
    connection_.Finish(*this, std::move(outcome));
  }

  // Whether the request is still going out (for the words of a failure).
  bool Sending() const { return !head_ && body_size_ != 0 && sent_ < body_size_; }

  Http2Connection& connection_;
  const std::uint64_t id_;
  std::shared_ptr<Request> request_;
  HopOptions options_;
  HopDone done_;
  std::shared_ptr<Response> response_;
  ResponseParser parser_;
  std::int32_t stream_ = 0;
  std::uint64_t body_size_ = 0;  // kInvalidLength: unknown
  std::uint64_t sent_ = 0;
  Deadline deadline_ = Deadline::max();  // the read limit's, or the exchange's
  bool head_ = false;   // the final head has come
  bool ended_ = false;  // the outcome is decided
};

Http2Connection::Http2Connection(boost::asio::io_context& io_context,
                                 std::unique_ptr<SocketBase> socket)
    : io_context_(io_context),
      socket_(std::move(socket)),
      read_buffer_(kReadSize),
      timer_(io_context) {}

Http2Connection::~Http2Connection() = default;

void Http2Connection::Start() {
  DoRead();
  Pump();
}

std::uint64_t Http2Connection::StartHop(std::shared_ptr<Request> request, HopOptions options,
                                        HopDone done) {
  std::uint64_t id = ++hop_count_;
  auto hop = std::make_shared<Hop>(*this, id, std::move(request), std::move(options),
                                   std::move(done));
  hops_[id] = hop;
  HopOutcome refusal;
  if (hop->request_ == nullptr) {
    refusal.error = Error(kRequestError, "Request is missing");
  } else if (hop->request_->GetStartLine().empty()) {
    LOG_ERRO("Request is not prepared");
    refusal.error = Error(kRequestError, "Request is not prepared");
  } else {
    try {
      // A form's size is measured here: a file part that cannot be read throws.
      hop->Prepare();
      if (!IsReusable()) {
        Error closed(kWriteError, "Socket write error");
        closed.SetDetail("the HTTP/2 connection takes no new streams");
        throw closed;
      }
      hop->stream_ = session_.SubmitRequest(*hop->request_, hop,
                                            MakeBodyProvider(hop->request_->GetBody()),
                                            hop->options_.cookie);
    } catch (const Error& error) {
      refusal.error = error;
      // Nothing left: the request may go on another connection.
      refusal.refused = error.code() == kWriteError;
    }
  }
  if (refusal.error.code() != kNoError) {
    Finish(*hop, std::move(refusal));
    Pump();
    return id;
  }
  Touch(*hop);
  if (pumping_) {
    pump_again_ = true;
  } else {
    PostPump();
  }
  return id;
}

void Http2Connection::CancelHop(std::uint64_t id) {
  auto it = hops_.find(id);
  if (it == hops_.end()) return;
  CancelStream(*it->second);
  Pump();
}

void Http2Connection::CancelStream(Hop& hop) {
  if (hop.ended_) return;
  if (hop.stream_ > 0) session_.CancelStream(hop.stream_);
  HopOutcome outcome;
  outcome.error = hop.Sending() ? Error(kWriteError, "Socket write error")
                                : Error(kReadError, "Socket read error");
  outcome.error.SetCancelled(true);
  outcome.error.SetDetail("Cancelled");
  Finish(hop, std::move(outcome));
}

void Http2Connection::FailParse(Hop& hop) {
  if (hop.ended_) return;
  if (hop.parser_.IsStoppedBySink()) {
    // The caller's own choice, told apart from a failure as a cancel is.
    CancelStream(hop);
    return;
  }
  if (hop.stream_ > 0) session_.CancelStream(hop.stream_);
  HopOutcome outcome;
  if (hop.parser_.IsBodyTooLarge()) {
    outcome.error = Error(kReadError, "Response body too large");
  } else {
    LOG_ERRO("Failed to parse the response");
    outcome.error = Error(kParseError, "Response parse error");
  }
  outcome.error.SetDetail(hop.parser_.GetFailure());
  Finish(hop, std::move(outcome));
}

void Http2Connection::TimeOut(Hop& hop, bool exchange_deadline) {
  LOG_WARN("Timeout");
  if (hop.stream_ > 0) session_.CancelStream(hop.stream_);
  HopOutcome outcome;
  bool sending = hop.Sending();
  outcome.error = sending ? Error(kWriteError, "Socket write error")
                          : Error(kReadError, "Socket read error");
  outcome.error.SetTimeout(true);
  outcome.error.SetDetail(exchange_deadline ? "Timed out: the exchange's time limit was reached"
                          : sending         ? "Timed out sending the request"
                                            : "Timed out waiting for the response");
  Finish(hop, std::move(outcome));
}

void Http2Connection::Finish(Hop& hop, HopOutcome outcome) {
  if (hop.ended_) return;
  hop.ended_ = true;
  Error& error = outcome.error;
  if (error.code() != kNoError) {
    if (hop.request_ != nullptr) {
      error.SetDetail(error.detail() + (error.detail().empty() ? "" : " ") + "(" +
                      Where(hop.request_->GetUrl()) + ")");
    }
    // A half-received body goes now (a streamed one's temporary file with it).
    hop.parser_.Init(nullptr, false);
    hop.response_.reset();
  }
  auto it = hops_.find(hop.id_);
  completions_.push_back(Completion{std::move(it->second), std::move(outcome)});
  hops_.erase(it);
}

void Http2Connection::RunCompletions() {
  while (!completions_.empty()) {
    Completion completion = std::move(completions_.front());
    completions_.pop_front();
    HopDone done = std::move(completion.hop->done_);
    completion.hop->done_ = nullptr;
    if (done) done(std::move(completion.outcome));
  }
}

void Http2Connection::Touch(Hop& hop) {
  Deadline now = Clock::now();
  hop.deadline_ = std::min(LimitFrom(now, hop.options_.read_timeout), hop.options_.deadline);
  ArmTimer(hop.deadline_);
}

void Http2Connection::ArmTimer(Deadline at) {
  if (at == Deadline::max() || gone_) return;
  // A wait that ends no later finds the limits moved and waits again.
  if (timer_armed_ && timer_.expiry() <= at) return;
  timer_armed_ = true;
  ++timer_generation_;
  timer_.expires_at(at);
  std::uint64_t generation = timer_generation_;
  // Held weakly: the wait must not keep a closed connection alive.
  timer_.async_wait([weak = weak_from_this(), generation](boost::system::error_code error) {
    if (auto self = weak.lock()) self->OnTimer(generation, error);
  });
}

void Http2Connection::OnTimer(std::uint64_t generation, boost::system::error_code error) {
  if (generation != timer_generation_) return;
  timer_armed_ = false;
  if (error == boost::asio::error::operation_aborted || gone_) return;
  Deadline now = Clock::now();
  Deadline next = Deadline::max();
  std::vector<std::shared_ptr<Hop>> due;
  for (const auto& [id, hop] : hops_) {
    if (hop->deadline_ <= now) {
      due.push_back(hop);
    } else {
      next = std::min(next, hop->deadline_);
    }
  }
  for (const auto& hop : due) TimeOut(*hop, hop->deadline_ == hop->options_.deadline);
  ArmTimer(next);
  Pump();
}

void Http2Connection::Pump() {
  if (pumping_) {
    pump_again_ = true;
    return;
  }
  // A handler may let go of the last reference the scheduler held.
  std::shared_ptr<Http2Connection> self = shared_from_this();
  pumping_ = true;
  do {
    pump_again_ = false;
    Flush();
    RunCompletions();
  } while (pump_again_ || !completions_.empty());
  pumping_ = false;
  // Failed (its GOAWAY written), or gone away with every stream ended.
  if (!gone_ && !writing_ && write_offset_ == output_.size() && !session_.WantsRead() &&
      !session_.WantsWrite()) {
    CloseSocket(true);
  }
}

void Http2Connection::PostPump() {
  if (pump_posted_) return;
  pump_posted_ = true;
  boost::asio::post(io_context_, [self = shared_from_this()] {
    self->pump_posted_ = false;
    self->Pump();
  });
}

void Http2Connection::Flush() {
  if (writing_ || gone_ || in_session_) return;
  for (int writes = 0; writes < kMaxWritesPerTurn; ++writes) {
    if (write_offset_ == output_.size()) {
      in_session_ = true;
      output_ = session_.TakeOutput();
      in_session_ = false;
      write_offset_ = 0;
      if (output_.empty()) return;
    }
    detail::Payload rest{detail::ByteRange(output_.data() + write_offset_,
                                           output_.size() - write_offset_)};
    boost::system::error_code error;
    std::size_t written = socket_->WriteSomeNow(rest, error);
    if (error && error != boost::asio::error::would_block) {
      Lost(socket_->DescribeError(error));
      return;
    }
    write_offset_ += written;
    if (write_offset_ < output_.size()) {
      // The socket is full: the rest goes when it takes more.
      writing_ = true;
      socket_->AsyncWriteSome(
          detail::Payload{detail::ByteRange(output_.data() + write_offset_,
                                            output_.size() - write_offset_)},
          [self = shared_from_this()](boost::system::error_code error, std::size_t length) {
            self->OnWrite(error, length);
          });
      return;
    }
  }
  // More to write than one turn allows: the loop serves the others first.
  writing_ = true;
  boost::asio::post(io_context_, [self = shared_from_this()] { self->OnWrite({}, 0); });
}

void Http2Connection::OnWrite(boost::system::error_code error, std::size_t length) {
  writing_ = false;
  if (gone_) return;
  if (error) {
    Lost(socket_->DescribeError(error));
    Pump();
    return;
  }
  write_offset_ += length;
  Pump();
}

void Http2Connection::DoRead() {
  if (reading_ || gone_) return;
  reading_ = true;
  socket_->AsyncReadSome(
      [self = shared_from_this()](boost::system::error_code error, std::size_t length) {
        self->OnRead(error, length);
      },
      &read_buffer_);
}

void Http2Connection::OnRead(boost::system::error_code error, std::size_t length) {
  reading_ = false;
  if (gone_) return;
  if (error) {
    bool closed = error == boost::asio::error::eof;
    if (!closed) LOG_ERRO("HTTP/2 connection read error (%s)", error.message().c_str());
    Lost(closed ? std::string("the server closed the connection")
                : socket_->DescribeError(error));
    Pump();
    return;
  }
  Feed(length);
  for (int reads = 0; reads < kMaxReadsPerTurn && !gone_ && session_.WantsRead(); ++reads) {
    boost::system::error_code read_error;
    std::size_t read = socket_->ReadSomeNow(&read_buffer_, read_error);
    if (read_error == boost::asio::error::would_block) break;
    if (read_error) {
      Lost(read_error == boost::asio::error::eof ? std::string("the server closed the connection")
                                                 : socket_->DescribeError(read_error));
      break;
    }
    Feed(read);
  }
  Pump();
  if (!gone_ && session_.WantsRead()) DoRead();
}

void Http2Connection::Feed(std::size_t length) {
  in_session_ = true;
  bool ok = session_.Feed(read_buffer_.data(), length);
  in_session_ = false;
  if (!ok && !session_.GetFailure().empty()) {
    LOG_ERRO("HTTP/2 connection failed (%s)", session_.GetFailure().c_str());
  }
}

void Http2Connection::Lost(const std::string& why) {
  if (gone_) return;
  transport_lost_ = true;
  in_session_ = true;
  session_.ConnectionLost(why);
  in_session_ = false;
  CloseSocket(false);
}

void Http2Connection::CloseSocket(bool graceful) {
  if (gone_) return;
  gone_ = true;
  timer_armed_ = false;
  ++timer_generation_;
  timer_.cancel();
  if (graceful) socket_->Shutdown();
  socket_->Close();
}

void Http2Connection::Close() {
  if (io_context_.get_executor().running_in_this_thread()) {
    DoClose();
    return;
  }
  std::shared_ptr<Http2Connection> self = weak_from_this().lock();
  // Being destroyed: the socket closes with it.
  if (self == nullptr) return;
  boost::asio::post(io_context_, [self] { self->DoClose(); });
}

void Http2Connection::DoClose() {
  if (gone_) return;
  Lost("the connection was closed");
  Pump();
}

std::size_t Http2Connection::SpareCapacity() const {
  return IsReusable() ? session_.GetAvailableStreams() : 0;
}

bool Http2Connection::IsReusable() const {
  return !gone_ && !session_.IsFailed() && !session_.HasGoaway();
}

}  // namespace korvo
