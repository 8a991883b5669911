#include "korvo/internal/host_lookup.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

namespace korvo {

boost::system::error_code LookupError(int status, int saved_errno) {
  switch (status) {
    case 0:
      return {};
    case EAI_AGAIN:
      return boost::asio::error::host_not_found_try_again;
    case EAI_BADFLAGS:
      return boost::asio::error::invalid_argument;
    case EAI_FAMILY:
      return boost::asio::error::address_family_not_supported;
    case EAI_MEMORY:
      return boost::asio::error::no_memory;
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return boost::asio::error::host_not_found;
    case EAI_SERVICE:
      return boost::asio::error::service_not_found;
    case EAI_SOCKTYPE:
      return boost::asio::error::socket_type_not_supported;
    case EAI_SYSTEM:
      if (saved_errno != 0) return {saved_errno, boost::system::system_category()};
      return boost::asio::error::no_recovery;
    default:
      return boost::asio::error::no_recovery;
  }
}

std::shared_ptr<HostLookup> HostLookup::Start(boost::asio::io_context& io_context,
                                              std::string host, std::string service,
                                              Handler handler) {
  std::shared_ptr<HostLookup> lookup(new HostLookup(io_context, std::move(handler)));
  try {
    // The thread shares the lookup, not the caller: an abandoned lookup keeps only its
    // own state alive until getaddrinfo returns.
    std::thread([lookup, host = std::move(host), service = std::move(service)] {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      hints.ai_protocol = IPPROTO_TCP;
      addrinfo* list = nullptr;
      errno = 0;
      int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
      boost::system::error_code error = LookupError(status, errno);
      Results results;
      if (!error) results = Results::create(list, host, service);
      if (list != nullptr) ::freeaddrinfo(list);
      lookup->Complete(error, std::move(results));
    }).detach();
  } catch (const std::system_error&) {
    lookup->Complete(boost::asio::error::no_memory, Results());
  }
  return lookup;
}

void HostLookup::Complete(boost::system::error_code error, Results results) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Posting under the lock: once Abandon has returned, nothing reaches the loop, which
  // may then be destroyed.
  if (io_context_ == nullptr) return;
  boost::asio::post(*io_context_, [handler = std::move(handler_), error,
                                   results = std::move(results)]() mutable {
    handler(error, std::move(results));
  });
  io_context_ = nullptr;
}

void HostLookup::Abandon() {
  Handler released;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    io_context_ = nullptr;
    released = std::move(handler_);
  }
  // Whatever the handler holds goes here, outside the lock.
}

}  // namespace korvo
