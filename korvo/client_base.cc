#include "korvo/internal/client_base.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>

#include "korvo/internal/message_access.h"
#include "korvo/internal/utility.h"
#include "korvo/logger.h"
#include "korvo/internal/route_socket.h"
#include "korvo/internal/ssl_socket.h"

namespace korvo {

namespace {

constexpr std::size_t kKeptHeadCapacity = 16 * 1024;

// Writes and reads that complete at once, run back to back before the loop gets its
// turn again (for cancels, time limits and other connections).
constexpr int kMaxWritesPerTurn = 16;
constexpr int kMaxReadsPerTurn = 64;

bool IsAborted(const boost::system::error_code& error) {
  return error == boost::asio::error::operation_aborted;
}

// How a connection the server has already given up shows at the first read.
bool IsConnectionLost(const boost::system::error_code& error) {
  return error == boost::asio::error::eof || error == boost::asio::error::connection_reset ||
         error == boost::asio::error::broken_pipe ||
         error == boost::asio::ssl::error::stream_truncated;
}

std::size_t PayloadSize(const detail::Payload& payload) {
  std::size_t size = 0;
  for (const auto& buffer : payload) size += buffer.size();
  return size;
}

// Removes the first `count` bytes from `payload`.
void DropFront(detail::Payload& payload, std::size_t count) {
  std::size_t whole = 0;
  while (whole < payload.size() && payload[whole].size() <= count) {
    count -= payload[whole].size();
    ++whole;
  }
  payload.erase(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(whole));
  if (count > 0) payload.front() += count;
}

}  // namespace

bool RunTransferCallback(const TransferCallback& callback, std::uint64_t current,
                         std::uint64_t total, const char* what) {
  try {
    return callback(current, total);
  } catch (const std::exception& exception) {
    LOG_ERRO("%s callback error: %s", what, exception.what());
  } catch (...) {
    LOG_ERRO("%s callback error: %s", what, "unknown exception");
  }
  return true;
}

template <typename Method>
auto ClientBase::Bind(Method method) {
  return [self = shared_from_this(), method](auto&&... args) {
    ((*self).*method)(std::forward<decltype(args)>(args)...);
  };
}

ClientBase::ClientBase(boost::asio::io_context& io_context, std::shared_ptr<TlsContext> tls)
    : io_context_(io_context), tls_(std::move(tls)), deadline_timer_(io_context) {}

// A lookup still running must not post to a loop that may go next.
ClientBase::~ClientBase() { AbandonLookup(); }

void ClientBase::Begin(std::shared_ptr<Request> request, HopOptions options,
                       std::function<void()> done) {
  finished_ = false;
  {
    // Under the same lock as a Close off the loop reads the number, so a Close either
    // belongs to the previous exchange (and has run before this one starts) or to this
    // one.
    std::lock_guard<std::mutex> lock(close_mutex_);
    ++exchange_;
  }
  request_ = std::move(request);
  options_ = std::move(options);
  options_.buffer_size = std::max<std::size_t>(options_.buffer_size, 1);
  done_ = std::move(done);
  StartExchange();
}

std::uint64_t ClientBase::StartHop(std::shared_ptr<Request> request, HopOptions options,
                                   HopDone done) {
  Begin(std::move(request), std::move(options), [this, done = std::move(done)] {
    HopOutcome outcome;
    outcome.error = error_;
    outcome.can_retry = can_retry_;
    outcome.http2_socket = std::move(http2_socket_);
    if (outcome.http2_socket == nullptr && error_.code() == kNoError) {
      outcome.response = TakeResponse();
    }
    done(std::move(outcome));
  });
  return exchange_;
}

void ClientBase::StartExchange() {
  writes_this_turn_ = 0;
  error_ = Error();
  aborted_ = false;
  cancelled_ = false;
  exchange_deadline_passed_ = false;
  body_written_ = 0;
  reused_ = false;
  can_retry_ = false;
  length_read_ = 0;
  response_ = std::make_shared<Response>();
  response_parser_.Init(response_.get(), options_.stream);
  response_parser_.SetDecoding(options_.decode, options_.max_decoded_size);
  response_parser_.SetBodyLimits(options_.sink, options_.max_body_size);
  response_parser_.SetDiscard(options_.discard, options_.max_discarded);
  buffer_.resize(options_.buffer_size);

  if (!request_) {
    error_.Set(kRequestError, "Request is missing");
    FinishRequest();
    return;
  }
  if (request_->GetStartLine().empty()) {
    // An unprepared request would go out with an empty request line.
    LOG_ERRO("Request is not prepared");
    error_.Set(kRequestError, "Request is not prepared");
    FinishRequest();
    return;
  }
  response_parser_.SetIgnoreBody(request_->GetMethod() == "HEAD");
  const Url& url = request_->GetUrl();
  where_ = url.GetHost() + ":" + (url.GetPort().empty() ? DefaultPort() : url.GetPort());

  if (connected_) {
    // Checked here, on the loop, which alone touches the socket: the server may have
    // closed the idle connection (or sent something unasked) since the last response.
    if (socket_->IsAlive()) {
      reused_ = true;
      DoWrite();
      return;
    }
    CloseConnection();
  }
  if (options_.route.IsDirect()) {
    CreateSocket();
  } else {
    socket_ = std::make_unique<RouteSocket>(io_context_, options_.route, tls_, IsTls(),
                                            EffectivePort());
  }
  if (IsTls() && MayUseHttp2(request_->GetUrl(), options_.route, options_.http_version)) {
    socket_->OfferHttp2();
  }
  phase_ = Phase::kResolving;
  // One limit for everything it takes to get connected: lookup, connect, handshake.
  SetDeadline(options_.connect_timeout);
  Resolve();
}

std::uint16_t ClientBase::EffectivePort() const {
  std::uint16_t port = 0;
  const std::string& written = request_->GetUrl().GetPort();
  ParsePort(written.empty() ? DefaultPort() : written, port);
  return port;
}

void ClientBase::Resolve() {
  const Url& url = request_->GetUrl();
  std::string port = url.GetPort().empty() ? DefaultPort() : url.GetPort();
  std::uint64_t exchange = exchange_;
  std::string host = StripBrackets(url.GetHost());
  const Route& route = options_.route;
  if (!route.unix_socket.empty()) {
    boost::asio::post(io_context_, [self = shared_from_this(), exchange] {
      self->OnResolve(exchange, boost::system::error_code(),
                      boost::asio::ip::tcp::resolver::results_type());
    });
    return;
  }
  if (route.proxy) {
    // The first hop is the proxy; the origin's name is the proxy's to look up, or
    // the route's (socks5) once connected.
    host = route.proxy->host;
    port = std::to_string(route.proxy->port);
  }
  // An address with a numeric port needs no lookup; the resolver would hand it to its
  // own thread and back. The result still arrives through the loop, after any close
  // queued before it, as a lookup's would. So does an address chosen for the host.
  boost::system::error_code not_numeric;
  boost::asio::ip::address address = boost::asio::ip::make_address(
      options_.connect_address.empty() ? host : StripBrackets(options_.connect_address), not_numeric);
  std::uint16_t port_number = 0;
  if (!not_numeric && ParsePort(port, port_number)) {
    auto endpoints = boost::asio::ip::tcp::resolver::results_type::create(
        boost::asio::ip::tcp::endpoint(address, port_number), host, port);
    boost::asio::post(io_context_, [self = shared_from_this(), exchange, endpoints] {
      self->OnResolve(exchange, boost::system::error_code(), endpoints);
    });
    return;
  }
  // The lookup holds the driver weakly: an abandoned one must not keep it alive.
  lookup_ = HostLookup::Start(
      io_context_, host, port,
      [weak = weak_from_this(), exchange](boost::system::error_code error,
                                          HostLookup::Results endpoints) {
        if (auto self = weak.lock()) self->OnResolve(exchange, error, endpoints);
      });
}

void ClientBase::OnResolve(std::uint64_t exchange, boost::system::error_code error,
                           const boost::asio::ip::tcp::resolver::results_type& endpoints) {
  // A Close during resolution has ended the exchange already. Below, after a Close (a
  // cancel or a time limit) whatever a step completes with, success or the error of an
  // operation that went on over the closed socket, counts as aborted.
  if (exchange != exchange_ || phase_ != Phase::kResolving) return;
  lookup_.reset();
  if (aborted_) error = boost::asio::error::operation_aborted;
  if (error) {
    if (IsAborted(error)) {
      LOG_WARN("Resolve operation aborted");
    } else {
      LOG_ERRO("Host resolve error (%s)", error.message().c_str());
    }
    if (options_.route.proxy && options_.route.unix_socket.empty()) {
      where_ = "proxy " + options_.route.proxy->Where();
    }
    Fail(kResolveError, "Host resolve error", error.message());
    return;
  }
  phase_ = Phase::kConnecting;
  socket_->AsyncConnect(StripBrackets(request_->GetUrl().GetHost()), endpoints,
                        Bind(&ClientBase::OnConnect));
}

void ClientBase::OnConnect(boost::system::error_code error,
                           boost::asio::ip::tcp::endpoint /*endpoint*/) {
  ClearDeadline();
  if (aborted_) error = boost::asio::error::operation_aborted;
  if (!error && SpeaksHttp2()) {
    // The connection goes to an HTTP/2 driver, which sends this request first.
    http2_socket_ = std::move(socket_);
    FinishRequest();
    return;
  }
  if (!error) {
    connected_ = true;
    if (options_.on_http1 && MayUseHttp2(request_->GetUrl(), options_.route,
                                         options_.http_version)) {
      options_.on_http1();
    }
    DoWrite();
    return;
  }
  std::string cause = socket_->DescribeError(error);
  if (IsAborted(error)) {
    LOG_WARN("Connect operation aborted");
  } else {
    LOG_ERRO("Connect error (%s)", cause.c_str());
  }
  std::string place = socket_->FailurePlace();
  if (!place.empty()) where_ = std::move(place);
  Fail(kConnectError, "Socket connect error", cause);
}

void ClientBase::DoWrite() {
  phase_ = Phase::kWriting;
  writing_head_ = true;
  head_.clear();
  for (const auto& range : MessageAccess::HeadPayload(*request_)) {
    head_.append(static_cast<const char*>(range.data()), range.size());
  }
  AdaptHeadToRoute(head_, request_->GetUrl(), options_.route);
  // Added to the bytes only: the caller's Request stays as it was, so that a jar's
  // cookies never pass for the caller's own when it is sent again.
  if (!options_.cookie.empty() && !request_->HasHeader("Cookie") && head_.size() >= 2) {
    head_.insert(head_.size() - 2, "Cookie: " + options_.cookie + "\r\n");
  }
  StartPayload(detail::Payload{detail::ByteRange(head_.data(), head_.size())});
}

void ClientBase::StartPayload(detail::Payload payload) {
  write_payload_ = std::move(payload);
  WritePayload();
}

void ClientBase::WritePayload() {
  // What the connection takes at once needs no trip through the loop; the count bounds
  // both the recursion through the next body piece and the time the loop spends on one
  // exchange.
  if (PayloadSize(write_payload_) != 0 && writes_this_turn_ < kMaxWritesPerTurn) {
    ++writes_this_turn_;
    boost::system::error_code error;
    std::size_t written = socket_->WriteSomeNow(write_payload_, error);
    if (error && error != boost::asio::error::would_block) {
      HandleIoError(error, true);
      return;
    }
    DropFront(write_payload_, written);
    if (!ReportUpload(written)) return;
  }
  if (PayloadSize(write_payload_) == 0) {
    OnPayloadWritten();
    return;
  }
  // Each write takes what the connection accepts and moves the deadline on: the limit
  // measures a stalled peer, not how long a large body takes over a slow link.
  SetDeadline(options_.read_timeout);
  socket_->AsyncWriteSome(write_payload_, Bind(&ClientBase::OnWrite));
}

void ClientBase::OnWrite(boost::system::error_code error, std::size_t length) {
  ClearDeadline();
  writes_this_turn_ = 0;
  if (aborted_) error = boost::asio::error::operation_aborted;
  if (error) {
    HandleIoError(error, true);
    return;
  }
  DropFront(write_payload_, length);
  if (!ReportUpload(length)) return;
  WritePayload();
}

bool ClientBase::ReportUpload(std::size_t written) {
  if (writing_head_ || written == 0 || !options_.upload_progress) return true;
  body_written_ += written;
  std::int64_t size = request_->GetBody()->GetSize();
  std::uint64_t total = size >= 0 ? static_cast<std::uint64_t>(size) : kInvalidLength;
  if (RunTransferCallback(options_.upload_progress, body_written_, total, "Upload progress")) {
    return true;
  }
  // Nothing is pending while a write completes: the exchange ends here, as cancelled.
  cancelled_ = true;
  CloseConnection();
  HandleIoError(boost::asio::error::operation_aborted, true);
  return false;
}

void ClientBase::OnPayloadWritten() {
  const std::shared_ptr<Body>& body = request_->GetBody();
  if (writing_head_) {
    writing_head_ = false;
    try {
      BodyAccess::InitPayload(*body);
    } catch (const Error& error) {
      HandleBodyError(error);
      return;
    } catch (const std::exception& exception) {
      LOG_ERRO("Request body error: %s", exception.what());
      HandleBodyError(Error(kFileError, "Cannot read the file"));
      return;
    }
  }
  DoWriteBody();
}

void ClientBase::DoWriteBody() {
  detail::Payload chunk;
  try {
    chunk = BodyAccess::NextPayload(*request_->GetBody(), true);
  } catch (const Error& error) {
    HandleBodyError(error);
    return;
  } catch (const std::exception& exception) {
    LOG_ERRO("Request body error: %s", exception.what());
    HandleBodyError(Error(kFileError, "Cannot read the file"));
    return;
  }
  if (chunk.empty()) {
    phase_ = Phase::kReading;
    DoRead();
    return;
  }
  if (PayloadSize(chunk) == 0) {
    // Nothing to put on the wire; ask for the next piece without a write.
    boost::asio::post(io_context_, Bind(&ClientBase::DoWriteBody));
    return;
  }
  StartPayload(std::move(chunk));
}

void ClientBase::HandleIoError(boost::system::error_code error, bool writing) {
  const char* text = writing ? "Socket write error" : "Socket read error";
  // A server that closed the kept connection just as the request went out has seen
  // none of it, or at least answered none of it.
  can_retry_ = reused_ && length_read_ == 0 && !error_.timeout() && !IsAborted(error) &&
               (writing || IsConnectionLost(error));
  if (IsAborted(error)) {
    LOG_WARN("%s operation aborted", writing ? "Write" : "Read");
  } else {
    // A connection that failed mid-exchange cannot carry another request.
    LOG_ERRO("%s (%s)", text, error.message().c_str());
    CloseConnection();
  }
  Fail(writing ? kWriteError : kReadError, text, socket_->DescribeError(error));
}

void ClientBase::HandleReadError(boost::system::error_code error) {
  // A body delimited by the connection ends with it. A TLS server that closes without
  // close_notify has still sent the whole body as far as anyone can tell: browsers
  // take it as the end as well, and a truncation attack gains nothing that a plain
  // close-delimited body would not give it.
  bool closed = error == boost::asio::error::eof ||
                error == boost::asio::ssl::error::stream_truncated;
  if (closed && response_parser_.FinishAtClose()) {
    CloseConnection();
    FinishRequest();
    return;
  }
  if (closed && !response_parser_.GetFailure().empty()) {
    // The bytes were all there, but not what they claimed (a coded stream cut short).
    FailParse();
    return;
  }
  HandleIoError(error, false);
}

void ClientBase::FailParse() {
  CloseConnection();
  if (response_parser_.IsStoppedBySink()) {
    // The caller's own choice, told apart from a failure as a cancel is.
    cancelled_ = true;
    Fail(kReadError, "Socket read error", "");
    return;
  }
  if (response_parser_.IsBodyTooLarge()) {
    Fail(kReadError, "Response body too large", response_parser_.GetFailure());
    return;
  }
  LOG_ERRO("Failed to parse the response");
  Fail(kParseError, "Response parse error", response_parser_.GetFailure());
}

void ClientBase::HandleBodyError(const Error& error) {
  // The server has seen a head that promised bytes which will never come.
  CloseConnection();
  bool timeout = error_.timeout();
  error_ = error;
  error_.SetTimeout(timeout);
  FinishRequest();
}

void ClientBase::DoRead() {
  SetDeadline(options_.read_timeout);
  socket_->AsyncReadSome(Bind(&ClientBase::OnRead), NextReadBuffer());
}

std::vector<char>* ClientBase::NextReadBuffer() {
  // A body streamed to a file is read straight into the file's own buffer, in pieces
  // far larger than buffer_ (1 KiB by default): asking for little per read bounded the
  // download by the number of reads, and every byte would have been copied once more.
  std::vector<char>* direct = response_parser_.GetReadBuffer();
  read_buffer_ = direct != nullptr ? direct : &buffer_;
  return read_buffer_;
}

void ClientBase::OnRead(boost::system::error_code error, std::size_t length) {
  ClearDeadline();
  if (aborted_) error = boost::asio::error::operation_aborted;
  if (error) {
    HandleReadError(error);
    return;
  }
  if (!TakeRead(length)) return;
  // Pieces that have arrived already are read at once: a trip through the loop per
  // piece costs more than the piece. A cancel from the progress callback leaves the
  // rest to the aborted operation.
  for (int reads = 0; reads < kMaxReadsPerTurn && !aborted_; ++reads) {
    boost::system::error_code read_error;
    std::size_t read = socket_->ReadSomeNow(NextReadBuffer(), read_error);
    if (read_error == boost::asio::error::would_block) break;
    if (read_error) {
      HandleReadError(read_error);
      return;
    }
    if (!TakeRead(read)) return;
  }
  DoRead();
}


bool ClientBase::TakeRead(std::size_t length) {
  length_read_ += length;
  if (!response_parser_.Parse(read_buffer_->data(), length)) {
    FailParse();
    return false;
  }

  if (options_.progress && response_parser_.IsHeaderEnded() &&
      !response_parser_.IsDiscarding()) {
    // Body bytes, not the chunk framing around them: the last call reports the body's
    // size (and with a Content-Length, current equal to total).
    std::uint64_t current = response_parser_.GetBodyLength();
    std::uint64_t total = response_parser_.GetContentLength();
    if (!RunTransferCallback(options_.progress, current, total, "Progress")) {
      // Ends as a cancel does: the read that follows completes as aborted.
      cancelled_ = true;
      Abort();
    }
  }

  if (!response_parser_.IsFinished()) return true;
  if (!KeepConnection()) CloseConnection();
  FinishRequest();
  return false;
}

bool ClientBase::KeepConnection() const {
  if (!response_->IsConnectionKeepAlive()) return false;
  // Bytes beyond the message, or framing that cannot be trusted, would be read as the
  // start of the next response.
  if (!response_parser_.IsFramingSafe()) return false;
  // The same for bytes a TLS layer has taken off the socket already: a record that
  // followed the response in the same write would answer the next request.
  if (socket_->HasBufferedInput()) return false;
  // A client that asked for "Connection: close" may not send on that connection again.
  if (!request_->IsConnectionKeepAlive()) return false;
  // HTTP/1.0 closes by default; only an explicit keep-alive keeps the connection.
  if (boost::algorithm::starts_with(response_->GetStartLine(), "HTTP/1.0") &&
      !response_->HasHeader("Connection")) {
    return false;
  }
  return true;
}

bool ClientBase::IsTls() const { return std::strcmp(DefaultPort(), "443") == 0; }

bool ClientBase::SpeaksHttp2() const {
  if (!MayUseHttp2(request_->GetUrl(), options_.route, options_.http_version)) return false;
  return IsTls() ? socket_->SelectedProtocol() == "h2"
                 : options_.http_version == HttpVersion::kHttp2PriorKnowledge;
}

void ClientBase::SetDeadline(std::chrono::milliseconds limit) {
  deadline_ = limit.count() > 0 ? std::chrono::steady_clock::now() + limit : Deadline::max();
  if (options_.deadline < deadline_) deadline_ = options_.deadline;
  if (deadline_ == Deadline::max()) return;
  // A wait that ends no later than the deadline finds it moved and waits again.
  if (deadline_timer_armed_ && deadline_timer_.expiry() <= deadline_) return;
  ArmDeadlineTimer();
}

void ClientBase::ArmDeadlineTimer() {
  ++timer_generation_;
  deadline_timer_armed_ = true;
  deadline_timer_.expires_at(deadline_);  // a wait still pending completes as aborted
  std::uint64_t generation = timer_generation_;
  // The wait may outlast the exchange by a whole time limit; it must not keep a pooled
  // or released driver alive that long.
  deadline_timer_.async_wait(
      [weak = weak_from_this(), generation](boost::system::error_code error) {
        if (auto self = weak.lock()) self->OnDeadlineTimer(generation, error);
      });
}

void ClientBase::OnDeadlineTimer(std::uint64_t generation, boost::system::error_code error) {
  // The expiry of a wait that was replaced is not ours to act on.
  if (generation != timer_generation_) return;
  deadline_timer_armed_ = false;
  if (IsAborted(error) || deadline_ == Deadline::max()) return;
  if (std::chrono::steady_clock::now() < deadline_) {
    ArmDeadlineTimer();
    return;
  }
  exchange_deadline_passed_ = deadline_ == options_.deadline;
  deadline_ = Deadline::max();
  LOG_WARN("Timeout");
  error_.SetTimeout(true);
  Abort();
}

void ClientBase::Fail(ErrorCode code, const char* message, const std::string& cause) {
  error_.Set(code, message);
  std::string detail;
  if (cancelled_) {
    error_.SetCancelled(true);
    detail = "Cancelled";
  } else if (error_.timeout() && exchange_deadline_passed_) {
    detail = "Timed out: the exchange's time limit was reached";
  } else if (error_.timeout()) {
    switch (phase_) {
      case Phase::kResolving: detail = "Timed out resolving the host"; break;
      case Phase::kConnecting: detail = "Timed out connecting"; break;
      case Phase::kWriting: detail = "Timed out sending the request"; break;
      default: detail = "Timed out waiting for the response"; break;
    }
  } else {
    detail = cause;
  }
  if (!where_.empty()) detail += (detail.empty() ? "" : " ") + ("(" + where_ + ")");
  error_.SetDetail(std::move(detail));
  // The half-received body goes now (a streamed one's temporary file with it), before
  // the caller hears of the failure, not whenever the loop lets go of this driver.
  response_parser_.Init(nullptr, false);
  FinishRequest();
}

void ClientBase::FinishRequest() {
  phase_ = Phase::kIdle;
  ClearDeadline();
  // An unusually large head does not stay allocated with a pooled connection.
  if (head_.capacity() > kKeptHeadCapacity) std::string().swap(head_);
  if (finished_) return;
  finished_ = true;
  if (done_) {
    // Moved out first: the handler may begin the next exchange on this driver.
    std::function<void()> done = std::move(done_);
    done_ = nullptr;
    done();
  }
}

void ClientBase::Close() { PostClose(false); }

void ClientBase::Cancel() { PostClose(true); }

void ClientBase::PostClose(bool current_only) {
  if (io_context_.get_executor().running_in_this_thread()) {
    DoClose(current_only ? exchange_.load() : 0);
    return;
  }
  std::shared_ptr<ClientBase> self = weak_from_this().lock();
  if (!self) {
    // Being destroyed: nothing can run on the loop for it any more, and the socket
    // closes with it.
    AbandonLookup();
    return;
  }
  std::lock_guard<std::mutex> lock(close_mutex_);
  std::uint64_t exchange = current_only ? exchange_.load() : 0;
  boost::asio::post(io_context_, [self, exchange] { self->DoClose(exchange); });
}

void ClientBase::DoClose(std::uint64_t exchange) {
  if (exchange != 0) {
    // A cancel meant for an exchange that has ended (or for one before it) must not
    // touch the connection, which may carry the next exchange by now.
    if (exchange != exchange_ || phase_ == Phase::kIdle) return;
    cancelled_ = true;
    Abort();
    return;
  }
  if (phase_ != Phase::kIdle) {
    cancelled_ = true;
    Abort();
    return;
  }
  CloseConnection();
}

void ClientBase::Abort() {
  if (phase_ == Phase::kResolving) {
    // getaddrinfo cannot be interrupted: the lookup is left to finish on its own and
    // the exchange ends now.
    AbandonLookup();
    LOG_WARN("Resolve operation aborted");
    CloseConnection();
    Fail(kResolveError, "Host resolve error", "Resolve operation aborted");
    return;
  }
  if (phase_ != Phase::kIdle) aborted_ = true;
  CloseConnection();
}

void ClientBase::AbandonLookup() {
  if (lookup_ == nullptr) return;
  lookup_->Abandon();
  lookup_.reset();
}

void ClientBase::CloseIfDead() {
  if (phase_ == Phase::kIdle && connected_ && !socket_->IsAlive()) CloseConnection();
}

void ClientBase::CloseConnection() {
  if (connected_) {
    connected_ = false;
    if (socket_) {
      socket_->Shutdown();
      socket_->Close();
    }
  } else if (socket_) {
    socket_->Close();
  }
}

bool ClientBase::IsConnectionAlive() const {
  return connected_ && socket_ && socket_->IsAlive();
}

std::shared_ptr<Response> ClientBase::TakeResponse() {
  std::shared_ptr<Response> response = std::move(response_);
  response_.reset();
  response_parser_.Init(nullptr, false);
  return response;
}

void Client::CreateSocket() { socket_ = std::make_unique<Socket>(io_context_); }

void SslClient::CreateSocket() {
  auto socket = std::make_unique<SslSocket>(io_context_, tls_->context(), tls_->verify_peer());
  socket->ResumeSessionsFrom(tls_.get());
  socket_ = std::move(socket);
}

}  // namespace korvo
