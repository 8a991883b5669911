// Reading errors: what failed (code and message), why (detail), and whether the program
// ended the exchange itself (cancelled) or a time limit ran out (timeout).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <future>
#include <iostream>
#include <string>
#include <thread>

#include "korvo/korvo.h"

namespace {

// A port of 127.0.0.1 that refuses connections: bound, so that nothing else takes it,
// but not listening. The socket stays open until the program ends.
unsigned short RefusingPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

// Sorts a failure the way a program usually reacts to it.
std::string Explain(const korvo::Error& error) {
  if (error.cancelled()) return "cancelled by us";
  if (error.timeout()) return "gave up waiting: " + error.detail();
  return error.message() + ": " + error.detail();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];
  const unsigned short port = RefusingPort();
  if (port == 0) return 2;

  korvo::ClientSession session;

  bool refused = false;
  try {
    session.Send(korvo::RequestBuilder().Url("http://127.0.0.1:" + std::to_string(port) + "/")());
  } catch (const korvo::Error& error) {
    std::cout << error << "\n";             // ERROR(4): Socket connect error
    std::cout << error.detail() << "\n";    // the system's reason, with host and port
    std::cout << error.Describe() << "\n";  // both, for a person to read
    std::cout << Explain(error) << "\n";
    refused = error.code() == korvo::kConnectError && !error.cancelled();
  }

  // A download that another thread cancels once it has started.
  std::promise<void> started;
  bool reported = false;
  korvo::SendOptions options;
  options.progress = [&](std::uint64_t, std::uint64_t) {
    if (!reported) {
      reported = true;
      started.set_value();
    }
    return true;
  };
  std::thread stopper([&session, started_future = started.get_future()]() mutable {
    started_future.wait();
    session.Cancel();
  });
  bool cancelled = false;
  try {
    session.Send(korvo::RequestBuilder().Url(base + "/drip?duration=20&numbytes=20&delay=0")(),
                 options);
  } catch (const korvo::Error& error) {
    std::cout << Explain(error) << "\n";
    cancelled = error.cancelled();
  }
  if (!reported) started.set_value();  // failed before it began: let the stopper go
  stopper.join();

  return refused && cancelled ? 0 : 1;
}
