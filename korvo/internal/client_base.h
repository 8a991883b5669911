// Request drivers: ClientBase runs one HTTP exchange at a time over one connection
// (resolve, connect, TLS handshake, write the head, write the body piece by piece,
// read and parse the response) as asynchronous steps on an event loop, and tells its
// caller on the loop when the exchange has ended. Client speaks plain TCP (default
// port 80), SslClient TLS (default port 443). A connection it makes whose server
// speaks HTTP/2 (picked through ALPN, or known beforehand for cleartext) is not used
// here: the exchange ends at once and hands the socket over (TakeHttp2Socket) to an
// Http2Connection.
//
// After a complete response the connection stays open unless the response (or an
// HTTP/1.0 status line without "Connection: keep-alive", or unsafe framing, or bytes
// received beyond the response) says otherwise; IsConnected() tells, and the next
// exchange reuses it once it has checked, on the loop, that the server has not closed
// it. A failed exchange is reported once; whether to send it again (CanRetry) is the
// caller's decision.
//
// Time limits: the connect limit covers resolution, connect and the TLS handshake
// together; the read limit guards every write and read of the exchange as time without
// progress. A limit of 0 or less means none.
//
// Thread rules: drivers must be owned by a std::shared_ptr (every pending operation
// holds one, so a driver outlives its cancelled operations). Begin runs on the loop
// thread, one exchange at a time. The socket is touched on the loop thread only: Close
// and Cancel may be called from any thread and are posted to the loop unless called
// there (a loop that has stopped carries them out when it next runs). TakeResponse
// belongs to the loop thread, or to a thread that has learnt of the end of the
// exchange from its completion. The progress callbacks run on the loop thread.
#ifndef KORVO_INTERNAL_CLIENT_BASE_H_
#define KORVO_INTERNAL_CLIENT_BASE_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "korvo/error.h"
#include "korvo/http_version.h"
#include "korvo/internal/connection.h"
#include "korvo/internal/host_lookup.h"
#include "korvo/internal/proxy.h"
#include "korvo/request.h"
#include "korvo/response.h"
#include "korvo/send_options.h"
#include "korvo/internal/response_parser.h"
#include "korvo/internal/socket.h"
#include "korvo/internal/tls_context.h"

namespace korvo {


// What a driver uses where its caller sets nothing.
constexpr std::size_t kDefaultBufferSize = 1024;
constexpr int kDefaultConnectTimeout = 30;  // seconds
constexpr int kDefaultReadTimeout = 30;     // seconds

// HopOptions: everything one exchange on a driver is run with, handed over whole by
// Begin, so that a pooled driver carries nothing over from the exchange before.
struct HopOptions {
  // The response body goes to a temporary file instead of memory.
  bool stream = false;
  // Bytes asked for by every read (0 is taken as 1). A body streamed to a file or a
  // sink is read straight into the handler's own buffer instead, up to 64 KiB a read
  // (FileBodyHandler::kFileReadSize, SinkBodyHandler::kSinkReadSize).
  std::size_t buffer_size = kDefaultBufferSize;
  // 0 or less: no limit.
  std::chrono::milliseconds connect_timeout = std::chrono::seconds(kDefaultConnectTimeout);
  std::chrono::milliseconds read_timeout = std::chrono::seconds(kDefaultReadTimeout);
  // The latest moment for the exchange to end, whatever the step; max: none.
  std::chrono::steady_clock::time_point deadline =
      std::chrono::steady_clock::time_point::max();
  // Progress of the response body; a callback that returns false ends the exchange as
  // a Cancel would.
  TransferCallback progress;
  // Progress of the request body as it is written: bytes of the body's size.
  TransferCallback upload_progress;
  // The body goes to `sink` (when set) instead of memory or a file; a body larger than
  // `max_body_size` (0: no limit) fails as "Response body too large".
  BodySink sink;
  std::uint64_t max_body_size = 0;
  // Once the response's head is in, `discard` may refuse its body, which is then
  // dropped as it arrives, or not read at all beyond `max_discarded` bytes (the
  // connection is closed instead): see Parser::SetDiscard. Progress is not reported for
  // such a body.
  std::function<bool(const Message&)> discard;
  std::uint64_t max_discarded = 0;
  // Connect to this address (IPv4 or IPv6, without brackets) instead of looking up the
  // URL's host; the host still names the server for TLS. Empty: look it up.
  std::string connect_address;
  // The cookie jar's "Cookie" value for this request (empty: none); it goes out
  // unless the request carries a "Cookie" field of its own.
  std::string cookie;
  // How the connection reaches the origin when it is made (a proxy, a tunnel, a Unix
  // socket); connect_address applies to a direct route only.
  Route route;
  // Decode the body by its "Content-Encoding"; a decoded body over `max_decoded_size`
  // bytes (0: no limit) fails as "Response body too large".
  bool decode = false;
  std::uint64_t max_decoded_size = 0;
  // A new connection offers HTTP/2 (see MayUseHttp2); when its server takes it, the
  // hop ends at once, handing the connection over (HopOutcome::http2_socket).
  HttpVersion http_version = HttpVersion::kHttp1;
  // Called once a connection made for this exchange is known to speak HTTP/1.1 although
  // it might have spoken HTTP/2, before the request goes out.
  std::function<void()> on_http1;
};

// Runs a caller's transfer callback (`what` names it in the log); nothing may escape
// into the loop. An exception lets the exchange go on, as it always has.
bool RunTransferCallback(const TransferCallback& callback, std::uint64_t current,
                         std::uint64_t total, const char* what);

class ClientBase : public Connection, public std::enable_shared_from_this<ClientBase> {
 public:
  ~ClientBase() override;

  ClientBase(const ClientBase&) = delete;
  ClientBase& operator=(const ClientBase&) = delete;

  // On the loop thread: starts an exchange for the prepared `request` under `options`
  // and returns; `done` runs on the loop thread once it has ended (before Begin returns
  // when the request cannot be sent at all), and GetError() then tells the outcome.
  void Begin(std::shared_ptr<Request> request, HopOptions options, std::function<void()> done);
  // The outcome of the last exchange, once it has ended.
  const Error& GetError() const { return error_; }

  // Begin for the scheduler: the outcome goes to `done` whole. The hop's number is the
  // exchange's; CancelHop is Cancel.
  std::uint64_t StartHop(std::shared_ptr<Request> request, HopOptions options,
                         HopDone done) override;
  void CancelHop(std::uint64_t /*hop*/) override { Cancel(); }

  // Closes the connection; an exchange in progress ends with the error of its pending
  // step (a pending resolution: kResolveError, the lookup abandoned).
  void Close() override;

  // Ends the exchange current at the call as Close would. If that exchange has ended
  // already, it changes nothing: the connection may be serving the next one by now.
  void Cancel();

  // On the loop thread, between exchanges: closes the connection if its server has
  // closed it (or sent anything unasked) since the last response.
  void CloseIfDead() override;

  bool IsConnected() const { return connected_; }

  // What a scheduler asks of a connection. How many more exchanges it can take on now:
  // an HTTP/1.1 connection carries one at a time, so 1 between exchanges and 0 during
  // one. On the loop thread.
  std::size_t SpareCapacity() const override {
    return phase_ == Phase::kIdle && finished_ ? 1 : 0;
  }
  // Whether it may carry more exchanges once its current ones have ended.
  bool IsReusable() const override { return connected_; }
  // It has closed (or was never made), and can carry nothing more.
  bool IsGone() const override { return !connected_; }
  std::size_t ActiveHops() const override { return finished_ ? 0 : 1; }

  // Between exchanges: connected, and the server has not closed the idle connection
  // (nor sent anything unasked) since the last response. Reads the socket: on the
  // loop thread, or while the loop does nothing with this driver.
  bool IsConnectionAlive() const;

  // After a failed exchange: it ran over a reused connection that failed before any
  // byte of the response arrived (a write error, or an end of stream or reset at the
  // first read), and was neither cancelled nor timed out. Such a request may never have
  // reached the server; an idempotent one can be sent again on a new connection.
  bool CanRetry() const { return can_retry_; }

  // The response of the last exchange (as far as it was filled); the driver keeps no
  // reference to it afterwards.
  std::shared_ptr<Response> TakeResponse();

  // After an exchange that ended as its new connection turned out to speak HTTP/2: the
  // connected socket (then this driver is not connected); null otherwise.
  std::unique_ptr<SocketBase> TakeHttp2Socket() { return std::move(http2_socket_); }

 protected:
  // `tls` (may be null) serves whatever TLS the connection speaks: to the origin, or to
  // an https proxy.
  ClientBase(boost::asio::io_context& io_context, std::shared_ptr<TlsContext> tls);

  // Replaces socket_ with a new, unconnected socket.
  virtual void CreateSocket() = 0;
  // The scheme's port, for a URL that names none.
  virtual const char* DefaultPort() const = 0;

  boost::asio::io_context& io_context_;
  std::shared_ptr<TlsContext> tls_;
  std::unique_ptr<SocketBase> socket_;

 private:
  std::unique_ptr<SocketBase> http2_socket_;  // see TakeHttp2Socket
  // Where the exchange stands; decides what a Close aborts.
  enum class Phase { kIdle, kResolving, kConnecting, kWriting, kReading };

  void StartExchange();
  // The URL's port, or the scheme's.
  std::uint16_t EffectivePort() const;
  void Resolve();
  // Ends the exchange with `code` and `message`; the detail says why: the cancel, the
  // time limit, or else `cause`, with the host and port.
  void Fail(ErrorCode code, const char* message, const std::string& cause);
  void OnResolve(std::uint64_t exchange, boost::system::error_code error,
                 const boost::asio::ip::tcp::resolver::results_type& endpoints);
  void OnConnect(boost::system::error_code error, boost::asio::ip::tcp::endpoint endpoint);
  // The head, then the body piece by piece; each payload goes out in as many writes as
  // the connection needs.
  void DoWrite();
  void StartPayload(detail::Payload payload);
  void WritePayload();
  void OnWrite(boost::system::error_code error, std::size_t length);
  void OnPayloadWritten();
  void DoWriteBody();
  // A write (or, with `writing` false, a read) that failed or was aborted ends the
  // exchange with kWriteError (kReadError).
  void HandleIoError(boost::system::error_code error, bool writing);
  void HandleBodyError(const Error& error);
  // The parser refused what arrived: a parse error, or a body over a size limit.
  void FailParse();
  // A read that failed: the end of a body delimited by the connection, or a failure.
  void HandleReadError(boost::system::error_code error);
  void DoRead();
  // Where the next read goes (see read_buffer_); sets read_buffer_ to it.
  std::vector<char>* NextReadBuffer();
  void OnRead(boost::system::error_code error, std::size_t length);
  // Parses `length` bytes just read into read_buffer_; false once the exchange has ended.
  bool TakeRead(std::size_t length);
  bool KeepConnection() const;
  // The connection just made speaks HTTP/2: by ALPN, or by prior knowledge.
  bool SpeaksHttp2() const;
  bool IsTls() const;

  // Times the step about to start: `limit` from now (0 or less: no limit), and never
  // beyond the exchange's deadline.
  void SetDeadline(std::chrono::milliseconds limit);
  // Reports `written` more bytes of the request body; false once the exchange ended.
  bool ReportUpload(std::size_t written);
  // The timed step has completed.
  void ClearDeadline() { deadline_ = Deadline::max(); }
  void ArmDeadlineTimer();
  void OnDeadlineTimer(std::uint64_t generation, boost::system::error_code error);

  void FinishRequest();
  // Close on the loop thread, or off it: posted there for `exchange` (0: whatever is
  // current, idle or not).
  void PostClose(bool current_only);
  void DoClose(std::uint64_t exchange);
  // Ends the exchange in progress (a time limit or a close): a lookup is abandoned, a
  // socket operation made to complete as aborted.
  void Abort();
  void AbandonLookup();
  void CloseConnection();

  // The completion of an asynchronous step, holding the driver alive.
  template <typename Method>
  auto Bind(Method method);

  std::shared_ptr<HostLookup> lookup_;  // the lookup in progress, if any
  bool finished_ = true;  // the current exchange has been reported
  std::shared_ptr<Request> request_;
  HopOptions options_;  // of the current exchange
  std::function<void()> done_;  // Begin's handler for the exchange in progress
  std::shared_ptr<Response> response_;
  ResponseParser response_parser_;
  std::uint64_t length_read_ = 0;
  std::vector<char> buffer_;
  // The buffer of the read in progress or just completed: buffer_, or the streamed
  // body's own (see Parser::GetReadBuffer), which lives as long as the parser's body.
  std::vector<char>* read_buffer_ = &buffer_;
  // A step only moves deadline_; one timer wait serves many steps, and an expiry that
  // finds the deadline moved on waits again. Re-arming the timer for every read cost a
  // timer update and a cancelled wait, each a trip through the loop, per read.
  using Deadline = std::chrono::steady_clock::time_point;
  boost::asio::steady_timer deadline_timer_;
  Deadline deadline_ = Deadline::max();  // of the step in progress; max: none
  bool exchange_deadline_passed_ = false;  // the time limit that fired was the exchange's
  bool deadline_timer_armed_ = false;    // a wait on deadline_timer_ is pending
  std::atomic<bool> connected_{false};
  std::uint64_t body_written_ = 0;
  Error error_;
  std::string where_;  // "host:port" of the exchange, for error details
  // Set by a Close or Cancel that ended the exchange (not by a time limit).
  bool cancelled_ = false;

  Phase phase_ = Phase::kIdle;
  bool reused_ = false;     // the exchange started on a connection kept from before
  bool can_retry_ = false;  // see CanRetry
  // Set by a Close during an exchange: a step that completes successfully afterwards
  // is treated as aborted, so a cancel can never let the exchange go on.
  bool aborted_ = false;
  // Numbers exchanges, so that a late close or resolution meant for an earlier one is
  // ignored.
  std::atomic<std::uint64_t> exchange_{0};
  std::mutex close_mutex_;  // orders posted closes against the start of an exchange
  // Numbers timer waits, so that an expiry queued before its wait was replaced is
  // recognised as stale.
  std::uint64_t timer_generation_ = 0;

  // The request head in one piece: as its many small ranges it would leave in several
  // segments (a gathering write takes at most 16), each one a wake-up for the server.
  std::string head_;

  detail::Payload write_payload_;  // what is left to write of the current payload
  bool writing_head_ = false;
  int writes_this_turn_ = 0;  // completed at once since the loop last ran a step
};

// Client: HTTP over plain TCP (TLS only to an https proxy, with `tls`).
class Client : public ClientBase {
 public:
  explicit Client(boost::asio::io_context& io_context, std::shared_ptr<TlsContext> tls = nullptr)
      : ClientBase(io_context, std::move(tls)) {}

 protected:
  void CreateSocket() override;
  const char* DefaultPort() const override { return "80"; }
};

// SslClient: HTTPS over a TlsContext, which the driver keeps alive and whose settings
// also say whether to verify the server.
class SslClient : public ClientBase {
 public:
  SslClient(boost::asio::io_context& io_context, std::shared_ptr<TlsContext> tls)
      : ClientBase(io_context, std::move(tls)) {}

 protected:
  void CreateSocket() override;
  const char* DefaultPort() const override { return "443"; }
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_CLIENT_BASE_H_
