// Http2Connection: the driver of one HTTP/2 connection, shared by the exchanges to its
// origin, each hop on a stream of its own. ClientBase makes the connection (routes, TLS
// and time limits included) and hands it over once the server has picked HTTP/2; from
// then on this driver moves bytes between the socket and an Http2Session, and turns
// each stream's response into a Response through the body chain HTTP/1.1 uses (memory,
// a temporary file or a sink; decoding; size limits; progress).
//
// A stream's received data is passed to its body handler as it arrives, and the
// stream's window reopens as the handler takes it: a slow file or sink holds back its
// own stream, and memory per stream stays within Http2Session::kStreamWindow.
//
// Time limits: the read limit applies to each stream as time without progress on it
// (response bytes received, request bytes sent), the exchange's deadline as it does for
// HTTP/1.1; a stream that reaches one is reset and fails as timed out, and the others
// go on. A cancelled hop resets its stream with CANCEL.
//
// Thread rules: owned by a std::shared_ptr (the pending read and write hold one, so an
// idle connection lives until it is closed). Everything runs on the loop thread, except
// Close, which is posted there when called from elsewhere. Hop handlers run on the loop
// thread, never from inside the session's callbacks, and may start the next hop here.
#ifndef KORVO_INTERNAL_HTTP2_CONNECTION_H_
#define KORVO_INTERNAL_HTTP2_CONNECTION_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "korvo/internal/client_base.h"
#include "korvo/internal/connection.h"
#include "korvo/internal/http2_session.h"
#include "korvo/internal/socket.h"

namespace korvo {

class Http2Connection : public Connection,
                        public std::enable_shared_from_this<Http2Connection> {
 public:
  // Takes over `socket`, connected to the origin and speaking HTTP/2 from its next byte.
  Http2Connection(boost::asio::io_context& io_context, std::unique_ptr<SocketBase> socket);
  ~Http2Connection() override;

  Http2Connection(const Http2Connection&) = delete;
  Http2Connection& operator=(const Http2Connection&) = delete;

  // Sends the connection preface and starts reading; once, after construction.
  void Start();

  std::uint64_t StartHop(std::shared_ptr<Request> request, HopOptions options,
                         HopDone done) override;
  void CancelHop(std::uint64_t hop) override;
  void Close() override;
  // A read is always pending, so a server that closes is seen when it does.
  void CloseIfDead() override {}

  std::size_t SpareCapacity() const override;
  bool IsReusable() const override;
  bool IsGone() const override { return gone_; }
  bool IsMultiplexed() const override { return true; }
  std::size_t ActiveHops() const override { return hops_.size(); }

 private:
  class Hop;
  using Clock = std::chrono::steady_clock;
  using Deadline = Clock::time_point;

  struct Completion {
    std::shared_ptr<Hop> hop;
    HopOutcome outcome;
  };

  // Ends `hop` with `outcome`: it leaves the table now, and its handler runs from Pump.
  void Finish(Hop& hop, HopOutcome outcome);
  // Ends `hop` as cancelled (a cancel, a progress callback or sink that said stop),
  // resetting its stream.
  void CancelStream(Hop& hop);
  // Ends `hop` for its parser's refusal (a malformed response, a body over a limit).
  void FailParse(Hop& hop);
  void TimeOut(Hop& hop, bool exchange_deadline);
  // Moves the hop's read limit on from now.
  void Touch(Hop& hop);

  // Writes what the session has, runs the handlers of ended hops, and closes the
  // connection once it has nothing more to do; loops while a handler adds work.
  void Pump();
  // Pump from the loop, once, after whatever else it has queued: the hops started in
  // one turn (a burst of SendAsync) go out in one write.
  void PostPump();
  void Flush();
  void RunCompletions();
  void DoRead();
  void OnRead(boost::system::error_code error, std::size_t length);
  // Feeds `length` bytes of read_buffer_ to the session.
  void Feed(std::size_t length);
  void OnWrite(boost::system::error_code error, std::size_t length);
  // The transport failed or ended: every stream ends, and so does the connection.
  void Lost(const std::string& why);
  void CloseSocket(bool graceful);
  void DoClose();

  void ArmTimer(Deadline at);
  void OnTimer(std::uint64_t generation, boost::system::error_code error);

  boost::asio::io_context& io_context_;
  std::unique_ptr<SocketBase> socket_;
  Http2Session session_;
  std::map<std::uint64_t, std::shared_ptr<Hop>> hops_;  // by hop number; not ended
  std::deque<Completion> completions_;
  std::uint64_t hop_count_ = 0;

  std::vector<char> read_buffer_;
  bool reading_ = false;
  std::string output_;  // taken from the session, written up to write_offset_
  std::size_t write_offset_ = 0;
  bool writing_ = false;
  bool gone_ = false;
  // The transport failed or ended under the streams, as opposed to the server breaking
  // the protocol: only then may a request that saw no answer have been lost unread.
  bool transport_lost_ = false;
  bool in_session_ = false;  // inside a call of session_, which must not be re-entered
  bool pumping_ = false;
  bool pump_again_ = false;
  bool pump_posted_ = false;

  // One timer serves every stream's limit: it waits for the earliest, and an expiry
  // that finds the limits moved on waits again.
  boost::asio::steady_timer timer_;
  bool timer_armed_ = false;
  std::uint64_t timer_generation_ = 0;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_HTTP2_CONNECTION_H_
