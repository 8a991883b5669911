// Raced TCP connection attempts; korvo/internal/connector.h says how and the rules.
#include "korvo/internal/connector.h"

#include <string>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "korvo/internal/utility.h"
#include "korvo/logger.h"

namespace korvo {

using boost::asio::ip::tcp;

std::vector<tcp::endpoint> InterleaveFamilies(std::vector<tcp::endpoint> endpoints) {
  if (endpoints.size() < 3) return endpoints;
  const tcp first = endpoints.front().protocol();
  std::vector<tcp::endpoint> preferred;
  std::vector<tcp::endpoint> other;
  for (tcp::endpoint& endpoint : endpoints) {
    (endpoint.protocol() == first ? preferred : other).push_back(std::move(endpoint));
  }
  endpoints.clear();
  for (std::size_t i = 0; i < preferred.size() || i < other.size(); ++i) {
    if (i < preferred.size()) endpoints.push_back(preferred[i]);
    if (i < other.size()) endpoints.push_back(other[i]);
  }
  return endpoints;
}

Connector::Connector(const boost::asio::any_io_executor& executor,
                     std::vector<tcp::endpoint> endpoints, Handler handler, Options options)
    : executor_(executor), endpoints_(InterleaveFamilies(std::move(endpoints))),
      timer_(executor), handler_(std::move(handler)), options_(std::move(options)) {}

std::shared_ptr<Connector> Connector::Start(const boost::asio::any_io_executor& executor,
                                            std::vector<tcp::endpoint> endpoints,
                                            Handler handler, Options options) {
  std::shared_ptr<Connector> connector(
      new Connector(executor, std::move(endpoints), std::move(handler), std::move(options)));
  if (connector->endpoints_.empty()) {
    // What a connect over an empty list reports; through the loop, as any outcome.
    Handler handler = connector->Finish();
    boost::asio::post(connector->executor_, [executor, handler = std::move(handler)] {
      handler(boost::asio::error::not_found, tcp::socket(executor), tcp::endpoint());
    });
  } else {
    connector->StartAttempt();
  }
  return connector;
}

void Connector::Cancel() {
  if (done_) return;
  // Queued, not called: the caller is in the middle of closing, and a connect that was
  // cancelled has always completed later, through the loop.
  Handler handler = Finish();
  boost::asio::post(executor_, [executor = executor_, handler = std::move(handler)] {
    handler(boost::asio::error::operation_aborted, tcp::socket(executor), tcp::endpoint());
  });
}

void Connector::StartAttempt() {
  const std::size_t index = attempts_.size();
  attempts_.push_back(std::make_unique<Attempt>(executor_));
  Attempt& attempt = *attempts_.back();
  attempt.endpoint = endpoints_[next_++];
  ++running_;
  if (overlapped_) LOG_VERB("Connecting to %s", EndpointToString(attempt.endpoint).c_str());
  // A socket that cannot be opened (a family the host lacks, no descriptors left) fails
  // through the completion, like any other attempt.
  attempt.socket.async_connect(
      attempt.endpoint, [self = shared_from_this(), index](boost::system::error_code error) {
        self->OnAttempt(index, error);
      });

  // A new attempt restarts the delay; the last one needs none.
  ++timer_generation_;
  if (next_ < endpoints_.size()) {
    timer_.expires_after(options_.attempt_delay);
    timer_.async_wait([self = shared_from_this(), generation = timer_generation_](
                          boost::system::error_code error) { self->OnDelay(generation, error); });
  } else {
    timer_.cancel();
  }
  if (options_.on_attempt) options_.on_attempt(attempt.endpoint);
}

void Connector::OnDelay(std::uint64_t generation, boost::system::error_code error) {
  if (done_ || error || generation != timer_generation_) return;
  if (!overlapped_) {
    overlapped_ = true;
    // The attempt still running is the most recent one.
    LOG_VERB("No answer yet from %s; trying the next address too",
             EndpointToString(attempts_.back()->endpoint).c_str());
  }
  StartAttempt();
}

void Connector::OnAttempt(std::size_t index, boost::system::error_code error) {
  // After the outcome every socket here is closed already; a completion that was queued
  // before that, even a success, counts for nothing.
  if (done_) return;
  --running_;
  Attempt& attempt = *attempts_[index];
  if (!error) {
    if (overlapped_) LOG_VERB("Connected to %s", EndpointToString(attempt.endpoint).c_str());
    tcp::socket winner = std::move(attempt.socket);
    tcp::endpoint endpoint = attempt.endpoint;
    Handler handler = Finish();
    handler(error, std::move(winner), endpoint);
    return;
  }
  // Not ERRO: another address may still answer, and the caller reports the outcome.
  if (overlapped_) {
    LOG_VERB("Connect to %s failed (%s)", EndpointToString(attempt.endpoint).c_str(),
             error.message().c_str());
  }
  last_error_ = error;
  boost::system::error_code ignored;
  attempt.socket.close(ignored);
  if (running_ > 0) return;  // the delay, or another attempt, decides what comes next
  if (next_ < endpoints_.size()) {
    StartAttempt();
    return;
  }
  Handler handler = Finish();
  handler(last_error_, tcp::socket(executor_), tcp::endpoint());
}

Connector::Handler Connector::Finish() {
  done_ = true;
  ++timer_generation_;
  timer_.cancel();
  for (const std::unique_ptr<Attempt>& attempt : attempts_) {
    // Still open: running, and now a loser.
    if (overlapped_ && attempt->socket.is_open()) {
      LOG_VERB("Giving up on %s", EndpointToString(attempt->endpoint).c_str());
    }
    boost::system::error_code ignored;
    attempt->socket.close(ignored);
  }
  running_ = 0;
  // Moved out, so that whatever the handler holds goes with its call, not with the
  // last pending completion.
  Handler handler = std::move(handler_);
  handler_ = nullptr;
  return handler;
}

}  // namespace korvo
