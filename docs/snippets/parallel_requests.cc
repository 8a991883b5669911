// Parallel requests: SendAsync returns a future at once, and the session's loop runs the
// exchanges side by side, each over a connection of its own; on_done reports each one
// as it ends, and a CancelToken ends one of them from any thread.
#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  session.SetMaxConnectionsPerHost(4);  // the fifth request waits for a free connection

  std::vector<std::future<std::shared_ptr<korvo::Response>>> futures;
  for (int page = 1; page <= 5; ++page) {
    auto request = korvo::RequestBuilder()
                       .Url(base + "/get")
                       .Query("page", std::to_string(page))
                       ();
    futures.push_back(session.SendAsync(request));
  }

  int status = 0;
  for (auto& future : futures) {
    try {
      auto response = future.get();
      std::cout << response->GetStatus() << " from " << response->GetUrl().ToString() << "\n";
    } catch (const korvo::Error& error) {
      std::cerr << "failed: " << error.Describe() << "\n";
      status = 1;
    }
  }

  // Results in the order they finish: on_done runs on the loop thread as each exchange
  // ends, before its future is ready.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  std::mutex mutex;
  std::vector<std::string> finished;
  std::vector<std::future<std::shared_ptr<korvo::Response>>> timed;
  for (const char* path : {"/delay/2", "/delay/0", "/delay/1", "/status/503"}) {
    korvo::SendOptions options;
    options.on_done = [&, path](std::shared_ptr<korvo::Response> response,
                                const korvo::Error& error) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
      std::string line = std::to_string(ms.count()) + " ms  " + path + "  ";
      line += response ? std::to_string(response->GetStatus()) : error.Describe();
      std::lock_guard<std::mutex> lock(mutex);
      finished.push_back(line);
    };
    timed.push_back(session.SendAsync(korvo::RequestBuilder().Url(base + path)(), options));
  }
  for (auto& future : timed) future.wait();
  for (const std::string& line : finished) std::cout << line << "\n";
  if (finished.size() != timed.size()) status = 1;

  // A request that is no longer wanted: its token ends it wherever it stands.
  korvo::CancelToken token;
  korvo::SendOptions options;
  options.cancel = token;
  auto slow = session.SendAsync(korvo::RequestBuilder().Url(base + "/delay/3")(), options);
  token.Cancel();  // from any thread

  try {
    slow.get();
    std::cerr << "the slow request was not cancelled\n";
    status = 1;
  } catch (const korvo::Error& error) {
    if (!error.cancelled()) status = 1;
    std::cout << "cancelled: " << error.Describe() << "\n";
  }
  return status;
}
