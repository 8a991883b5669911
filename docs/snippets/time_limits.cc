// Time limits: one for the whole exchange, which alone stops a server that trickles,
// and one for each step (connecting, then every read or write). Any of them ends the
// exchange with an Error whose timeout() flag is set.
#include <chrono>
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  session.SetTimeout(std::chrono::seconds(3));     // the whole exchange, at most
  session.SetConnectTimeout(5).SetReadTimeout(1);  // each step, without progress

  std::cout << "limits: " << session.GetTimeout().count() << " ms in all, "
            << session.GetConnectTimeoutMs().count() << " ms to connect, "
            << session.GetReadTimeoutMs().count() << " ms per read\n";

  // A byte every half second: no read waits a second, yet it would take 10 seconds.
  int timeouts = 0;
  try {
    session.Send(korvo::RequestBuilder().Url(base + "/drip?duration=10&numbytes=20&delay=0")());
  } catch (const korvo::Error& error) {
    if (!error.timeout()) {
      std::cerr << "failed otherwise: " << error.Describe() << "\n";
      return 1;
    }
    std::cout << "gave up: " << error.Describe() << "\n";
    ++timeouts;
  }

  // httpbin holds this answer back for 5 seconds, longer than the read limit allows.
  auto request = korvo::RequestBuilder().Url(base + "/delay/5")();
  try {
    session.Send(request);
  } catch (const korvo::Error& error) {
    if (error.timeout()) ++timeouts;
    std::cout << (error.timeout() ? "gave up: " : "failed otherwise: ") << error << "\n";
  }
  return timeouts == 2 && session.GetReadTimeout() == 1 ? 0 : 1;
}
