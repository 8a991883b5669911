#include "support/exchange_runner.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/asio/post.hpp>

#include "support/test_tls.h"

namespace korvo {
namespace test {

std::future<Error> StartExchange(boost::asio::io_context& loop,
                                 std::shared_ptr<ClientBase> client,
                                 std::shared_ptr<Request> request, HopOptions options) {
  auto outcome = std::make_shared<std::promise<Error>>();
  std::future<Error> future = outcome->get_future();
  boost::asio::post(loop, [client = std::move(client), request = std::move(request),
                           options = std::move(options), outcome]() mutable {
    // The driver keeps the handler until it runs: a pointer, not an owner, so that the
    // two do not keep each other alive.
    ClientBase* driver = client.get();
    driver->Begin(std::move(request), std::move(options),
                  [driver, outcome] { outcome->set_value(driver->GetError()); });
  });
  return future;
}

Error RunExchange(boost::asio::io_context& loop, std::shared_ptr<ClientBase> client,
                  std::shared_ptr<Request> request, HopOptions options) {
  return StartExchange(loop, std::move(client), std::move(request), std::move(options)).get();
}

std::shared_ptr<TlsContext> MakeTestTlsContext() {
  // The settings name files; the test CA lives only in memory, so it goes to a file of
  // this process's for as long as the context takes to load it.
  std::filesystem::path path = std::filesystem::temp_directory_path() /
                               ("korvo-test-ca-" + std::to_string(::getpid()) + ".pem");
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << TestPki::Get().ca_pem();
    if (!file) throw std::runtime_error("cannot write " + path.string());
  }
  TlsSettings settings;
  settings.ca_file = path.string();
  std::shared_ptr<TlsContext> context;
  try {
    context = TlsContext::Create(settings);
  } catch (...) {
    std::filesystem::remove(path);
    throw;
  }
  std::filesystem::remove(path);
  return context;
}

}  // namespace test
}  // namespace korvo
