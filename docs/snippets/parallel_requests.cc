// Parallel requests: SendAsync returns a future at once, and the session's loop runs the
// exchanges side by side, each over a connection of its own; a CancelToken ends one of
// them from any thread.
#include <future>
#include <iostream>
#include <memory>
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
                       .Method("GET")
                       .Url(base + "/get")
                       .Query("page", std::to_string(page))
                       ();
    futures.push_back(session.SendAsync(request));
  }

  // A request that is no longer wanted: its token ends it wherever it stands.
  korvo::CancelToken token;
  korvo::SendOptions options;
  options.cancel = token;
  auto slow = session.SendAsync(korvo::RequestBuilder().Method("GET").Url(base + "/delay/3")(),
                                options);
  token.Cancel();  // from any thread

  int status = 0;
  for (auto& future : futures) {
    try {
      auto response = future.get();
      std::cout << response->GetStatus() << " from " << response->GetUrl().ToString() << "\n";
    } catch (const korvo::Error& error) {
      std::cerr << "failed: " << error << "\n";
      status = 1;
    }
  }
  try {
    slow.get();
    std::cerr << "the slow request was not cancelled\n";
    status = 1;
  } catch (const korvo::Error& error) {
    if (!error.cancelled()) status = 1;
    std::cout << "cancelled: " << error << " " << error.detail() << "\n";
  }
  return status;
}
