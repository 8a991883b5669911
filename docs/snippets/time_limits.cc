// Time limits: a connect limit for reaching the server and a read limit for a server
// that stops answering. Either one ends the exchange with an Error whose timeout()
// flag is set.
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  session.SetConnectTimeout(5).SetReadTimeout(1);

  // httpbin holds this answer back for 5 seconds, longer than the read limit allows.
  auto request = korvo::RequestBuilder().Method("GET").Url(base + "/delay/5")();
  try {
    session.Send(request);
  } catch (const korvo::Error& error) {
    if (error.timeout()) {
      std::cout << "gave up: " << error << "\n";
      return 0;
    }
    std::cerr << "failed otherwise: " << error << "\n";
    return 1;
  }
  std::cerr << "the slow answer came in time\n";
  return 1;
}
