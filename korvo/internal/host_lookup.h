// HostLookup: one name lookup that its owner can walk away from.
//
// getaddrinfo cannot be interrupted, and a resolver that runs lookups one after another
// on a shared thread makes every later lookup (and the loop's shutdown) wait for a slow
// one. Here each lookup runs getaddrinfo on a detached thread of its own; its result is
// posted to the loop as a completion. Abandon() drops the completion: the thread then
// ends on its own whenever getaddrinfo returns, holding nothing but its own copy of the
// name, and frees what it got.
//
// Thread rules: Start and Abandon run on the loop thread (Abandon may also run once the
// loop has stopped). The owner must abandon a lookup still pending before the
// io_context is destroyed; a completion already posted is destroyed with the loop's
// queue like any other.
#ifndef KORVO_INTERNAL_HOST_LOOKUP_H_
#define KORVO_INTERNAL_HOST_LOOKUP_H_

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace korvo {

class HostLookup {
 public:
  using Results = boost::asio::ip::tcp::resolver::results_type;
  using Handler = std::function<void(boost::system::error_code, Results)>;

  // Looks up `host` (a name, or an address literal) for TCP on `service`; `handler`
  // runs on `io_context` unless the lookup is abandoned first.
  static std::shared_ptr<HostLookup> Start(boost::asio::io_context& io_context,
                                           std::string host, std::string service,
                                           Handler handler);

  // The completion will not run (if it was posted already, it runs as usual).
  void Abandon();

 private:
  HostLookup(boost::asio::io_context& io_context, Handler handler)
      : io_context_(&io_context), handler_(std::move(handler)) {}
  void Complete(boost::system::error_code error, Results results);

  std::mutex mutex_;
  boost::asio::io_context* io_context_;  // null once abandoned
  Handler handler_;
};

// The Boost.Asio error that corresponds to getaddrinfo's `status` (`saved_errno` for
// EAI_SYSTEM).
boost::system::error_code LookupError(int status, int saved_errno);

}  // namespace korvo

#endif  // KORVO_INTERNAL_HOST_LOOKUP_H_
