// Per-request options: a progress callback that can stop the download, a size limit and
// a limit for the whole exchange, for one request only.
#include <chrono>
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
    session.Send(korvo::RequestBuilder().Url(base + "/bytes/100000")(), options);
    return 1;
  } catch (const korvo::Error& error) {
    if (!error.cancelled()) return 1;
    std::cout << "stopped: " << error.Describe() << "\n";
  }

  // Refuse a body larger than 1000 bytes, whether announced or received.
  korvo::SendOptions small;
  small.max_body_size = 1000;
  try {
    session.Send(korvo::RequestBuilder().Url(base + "/bytes/100000")(), small);
    return 1;
  } catch (const korvo::Error& error) {
    std::cout << error.Describe() << "\n";  // ERROR(5): Response body too large
    if (error.code() != korvo::kReadError) return 1;
  }

  // Half a second for everything, however steadily the server trickles.
  korvo::SendOptions deadline;
  deadline.timeout = std::chrono::milliseconds(500);
  try {
    session.Send(korvo::RequestBuilder().Url(base + "/drip?duration=10&numbytes=10")(),
                 deadline);
    return 1;
  } catch (const korvo::Error& error) {
    std::cout << error.Describe() << "\n";
    return error.timeout() ? 0 : 1;
  }
}
