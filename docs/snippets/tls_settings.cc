// TLS settings: trusting a private CA, presenting a client certificate, and reaching a
// named host at an address the program chooses. Besides the base URL the driver passes
// the port of a local TLS server for "api.korvo.test" (it asks for a client certificate
// but takes a connection without one) and a directory holding ca.crt, client.crt and client.key.
#include <cstdlib>
#include <iostream>
#include <string>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const unsigned short port = static_cast<unsigned short>(std::atoi(argv[2]));
  const std::string dir = argv[3];
  const std::string url = "https://api.korvo.test:" + std::to_string(port) + "/";

  // The system's roots do not know the private CA: the handshake is refused, and the
  // error's detail says why.
  bool refused = false;
  {
    korvo::ClientSession session;
    session.SetResolve("api.korvo.test", port, "127.0.0.1");
    try {
      session.Send(korvo::RequestBuilder().Url(url)());
    } catch (const korvo::Error& error) {
      std::cout << "without the CA: " << error << " - " << error.detail() << "\n";
      refused = true;
    }
  }

  korvo::ClientSession session;
  session.SetCaFile(dir + "/ca.crt")
      .SetClientCertificate(dir + "/client.crt", dir + "/client.key")
      .SetResolve("api.korvo.test", port, "127.0.0.1");

  auto response = session.Send(korvo::RequestBuilder().Url(url)());
  std::cout << response->GetStatus() << " " << response->GetReason() << "\n";

  // The server's status page shows the certificate it was given.
  const bool presented = response->GetData().find("Client certificate") != std::string::npos;
  std::cout << (presented ? "the server saw our certificate\n" : "no client certificate\n");

  // A throwaway test server whose certificate nothing can verify. Never in production:
  // anyone on the path could pose as the server.
  korvo::ClientSession careless;
  careless.SetVerifyPeer(false).SetResolve("api.korvo.test", port, "127.0.0.1");
  auto unverified = careless.Send(korvo::RequestBuilder().Url(url)());

  return refused && response->GetStatus() == 200 && presented &&
                 unverified->GetStatus() == 200
             ? 0
             : 1;
}
