// Cancelling from another thread: Cancel closes the connection of the exchange in
// progress, and the thread blocked in Send gets an Error.
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
  std::promise<void> started;
  bool reported = false;
  auto progress = [&](std::size_t, std::size_t) {
    if (!reported) {
      reported = true;
      started.set_value();
    }
  };
  std::thread stopper([&session, started_future = started.get_future()]() mutable {
    started_future.wait();
    session.Cancel();
  });

  // 20 bytes trickling in over 20 seconds: far from done when the cancel comes.
  auto request = korvo::RequestBuilder()
                     .Method("GET")
                     .Url(base + "/drip?duration=20&numbytes=20&delay=0")
                     ();
  int status = 1;
  try {
    session.Send(request, false, progress);
    std::cerr << "the download was not cancelled\n";
  } catch (const korvo::Error& error) {
    std::cout << "cancelled: " << error << "\n";
    status = 0;
  }
  stopper.join();
  return status;
}
