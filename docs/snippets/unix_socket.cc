// Unix-domain sockets: HTTP to a local service that listens on a socket file instead of
// a TCP port. Besides the base URL the driver passes the path of a socket where the
// same httpbin listens (argument 5).
#include <iostream>
#include <string>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 6) return 2;
  const std::string socket_path = argv[5];

  korvo::ClientSession session;
  session.SetUnixSocket(socket_path);
  auto response = session.Send(korvo::RequestBuilder().Url("http://localhost/get")());
  std::cout << response->GetStatus() << " " << response->GetData() << "\n";

  // httpbin tells the URL it was asked for: the host came from the request, not from a
  // lookup, and no TCP port was involved.
  const bool local =
      response->GetData().find("\"url\":\"http://localhost/get\"") != std::string::npos;
  return response->GetStatus() == 200 && local ? 0 : 1;
}
