// Cancelling from another thread: a CancelToken in the request's options ends that
// exchange wherever it stands, and the thread blocked in Send gets an Error.
#include <cstdint>
#include <future>
#include <iostream>
#include <thread>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;

  // Stands in for a "Stop" button: the other thread cancels once the download has
  // visibly started, which the progress callback reports.
  korvo::CancelToken token;
  std::promise<void> started;
  bool reported = false;
  korvo::SendOptions options;
  options.cancel = token;
  options.progress = [&](std::uint64_t, std::uint64_t) {
    if (!reported) {
      reported = true;
      started.set_value();
    }
    return true;
  };
  std::thread stopper([token, started_future = started.get_future()]() mutable {
    started_future.wait();
    token.Cancel();
  });

  // 20 bytes trickling in over 20 seconds: far from done when the cancel comes.
  auto request = korvo::RequestBuilder().Url(base + "/drip?duration=20&numbytes=20&delay=0")();
  int status = 1;
  try {
    session.Send(request, options);
    std::cerr << "the download was not cancelled\n";
  } catch (const korvo::Error& error) {
    std::cout << "cancelled: " << error.Describe() << "\n";
    if (error.cancelled()) status = 0;
  }
  if (!reported) started.set_value();  // it failed before it began: let the stopper go
  stopper.join();
  return status;
}
