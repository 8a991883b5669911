// Per-request options: a progress callback that can stop the download, and a limit for
// the whole exchange.
#include <cstdint>
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];
  korvo::ClientSession session;

  // Give up on a download once it turns out larger than we are willing to wait for.
  korvo::SendOptions options;
  options.progress = [](std::uint64_t current, std::uint64_t total) {
    std::cout << current << " of " << total << " bytes\n";
    return current < 10000;  // false stops the transfer
  };
  try {
    session.Send(korvo::RequestBuilder().Method("GET").Url(base + "/bytes/100000")(), options);
    return 1;
  } catch (const korvo::Error& error) {
    if (!error.cancelled()) return 1;
    std::cout << "stopped: " << error.detail() << "\n";
  }

  // Two seconds for everything, however steadily the server trickles.
  korvo::SendOptions deadline;
  deadline.timeout = std::chrono::seconds(2);
  try {
    session.Send(korvo::RequestBuilder().Method("GET").Url(base + "/drip?duration=10&numbytes=10")(),
                 deadline);
    return 1;
  } catch (const korvo::Error& error) {
    std::cout << error << ": " << error.detail() << "\n";
    return error.timeout() ? 0 : 1;
  }
}
