// Runs a driver's exchanges from a test's thread: Begin on the driver's loop, and the
// outcome back to the test once the exchange has ended. Also the TLS context of the
// drivers that talk to the test servers.
//
// Thread rules: call from any thread but the loop's, while the loop runs on a thread of
// its own (test::LoopThread, or a test's own). The driver's state may be read once the
// outcome is in.
#ifndef KORVO_TESTS_SUPPORT_EXCHANGE_RUNNER_H_
#define KORVO_TESTS_SUPPORT_EXCHANGE_RUNNER_H_

#include <future>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "korvo/error.h"
#include "korvo/internal/client_base.h"
#include "korvo/internal/tls_context.h"
#include "korvo/request.h"

namespace korvo {
namespace test {

// Begins an exchange of `client` on `loop` and returns its outcome to come.
std::future<Error> StartExchange(boost::asio::io_context& loop,
                                 std::shared_ptr<ClientBase> client,
                                 std::shared_ptr<Request> request, HopOptions options = {});
// The same, waiting for the outcome.
Error RunExchange(boost::asio::io_context& loop, std::shared_ptr<ClientBase> client,
                  std::shared_ptr<Request> request, HopOptions options = {});

// A TLS context that verifies servers and trusts only the test CA.
std::shared_ptr<TlsContext> MakeTestTlsContext();

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_EXCHANGE_RUNNER_H_
