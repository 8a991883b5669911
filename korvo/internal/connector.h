// Connector: TCP connection attempts to the addresses of one host, raced the way
// RFC 8305 ("Happy Eyeballs" version 2) describes, so that an address that never
// answers (an IPv6 route that drops everything, a host that is down) costs a quarter
// of a second instead of the whole connect limit.
//
// The addresses are tried in InterleaveFamilies order. The next attempt starts once
// the latest one has gone the attempt delay (kConnectionAttemptDelay unless the options
// say otherwise) without connecting, while the earlier ones go on; when every running
// attempt has failed, it starts at once. The first attempt to connect wins and every
// other is closed. When all have failed the handler gets the error of the one that
// failed last: for addresses tried one after another that is what a connect over the
// list has always reported (the last address's error), so a single address or a list
// refused at once reads as before. An empty list fails with not_found. With one
// address there is one attempt and no timer. Nothing is logged while attempts follow
// one another; once they overlap, each start, failure and the outcome are VERB records
// (a failed attempt is no error while another may still win).
//
// The handler runs exactly once, on the loop, never inside Start or Cancel: with the
// winning socket and its endpoint, or with the error, a closed socket and an empty
// endpoint. After Cancel it gets operation_aborted, even if an attempt had connected
// and its completion was already queued.
//
// Lifetime: the pending operations alone keep a connector alive (its starter should
// hold it weakly), so that a loop destroyed with attempts pending releases it, its
// sockets and its handler. Loser sockets are closed when the outcome is known; their
// completions then drain through the loop.
//
// Thread rules: call Start and Cancel on the thread that runs the loop; the handler and
// the attempt observer run there.
#ifndef KORVO_INTERNAL_CONNECTOR_H_
#define KORVO_INTERNAL_CONNECTOR_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

namespace korvo {

// RFC 8305's recommended "Connection Attempt Delay".
constexpr std::chrono::milliseconds kConnectionAttemptDelay{250};

// `endpoints` reordered by alternating address families, starting with the family of
// the first one (RFC 8305 section 4, with a "First Address Family Count" of one); each
// family keeps its own order, and the rest of the larger family goes last.
std::vector<boost::asio::ip::tcp::endpoint> InterleaveFamilies(
    std::vector<boost::asio::ip::tcp::endpoint> endpoints);

class Connector : public std::enable_shared_from_this<Connector> {
 public:
  using Handler = std::function<void(boost::system::error_code, boost::asio::ip::tcp::socket,
                                     boost::asio::ip::tcp::endpoint)>;

  struct Options {
    std::chrono::steady_clock::duration attempt_delay = kConnectionAttemptDelay;
    // Told of every attempt as it starts: where records or tests need to know.
    std::function<void(const boost::asio::ip::tcp::endpoint&)> on_attempt;
  };

  // Starts connecting to `endpoints` (in resolver order). The result holds nothing
  // alive; keep it (weakly) only to cancel.
  static std::shared_ptr<Connector> Start(const boost::asio::any_io_executor& executor,
                                          std::vector<boost::asio::ip::tcp::endpoint> endpoints,
                                          Handler handler, Options options);
  static std::shared_ptr<Connector> Start(const boost::asio::any_io_executor& executor,
                                          std::vector<boost::asio::ip::tcp::endpoint> endpoints,
                                          Handler handler) {
    return Start(executor, std::move(endpoints), std::move(handler), Options());
  }

  Connector(const Connector&) = delete;
  Connector& operator=(const Connector&) = delete;

  // Closes every attempt and stops the timer; the handler gets operation_aborted. Does
  // nothing once the handler has been called or queued.
  void Cancel();

 private:
  struct Attempt {
    explicit Attempt(const boost::asio::any_io_executor& executor) : socket(executor) {}
    boost::asio::ip::tcp::socket socket;
    boost::asio::ip::tcp::endpoint endpoint;
  };

  Connector(const boost::asio::any_io_executor& executor,
            std::vector<boost::asio::ip::tcp::endpoint> endpoints, Handler handler,
            Options options);

  void StartAttempt();
  void OnAttempt(std::size_t index, boost::system::error_code error);
  void OnDelay(std::uint64_t generation, boost::system::error_code error);
  // Ends the race: stops the timer, closes every attempt and returns the handler, which
  // the caller runs or queues.
  Handler Finish();

  boost::asio::any_io_executor executor_;
  std::vector<boost::asio::ip::tcp::endpoint> endpoints_;  // in the order of the attempts
  std::size_t next_ = 0;  // the endpoint of the next attempt
  // Each attempt's socket keeps its place, which its completion names.
  std::vector<std::unique_ptr<Attempt>> attempts_;
  std::size_t running_ = 0;
  boost::system::error_code last_error_;
  boost::asio::steady_timer timer_;
  // A wait for the delay acts only if no attempt has started since it was set.
  std::uint64_t timer_generation_ = 0;
  // Attempts have overlapped: from then on each is recorded, since the order of events
  // is no longer what a sequential connect would show.
  bool overlapped_ = false;
  bool done_ = false;
  Handler handler_;
  Options options_;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_CONNECTOR_H_
