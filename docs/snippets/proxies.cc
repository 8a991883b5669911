// Proxies: sending requests through an HTTP proxy that asks for credentials, letting
// some hosts bypass it, and what a refusing proxy looks like. Besides the base URL the
// driver passes the port of a local TLS server (argument 2) and the address of a local
// squid, "127.0.0.1:PORT" (argument 4), which serves the user "guide" with the
// password "s3cret".
#include <iostream>
#include <string>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  const std::string base_url = argv[1];
  const std::string tls_url = std::string("https://127.0.0.1:") + argv[2] + "/";
  const std::string proxy = argv[4];

  korvo::ClientSession session;
  session.SetProxy("http://guide:s3cret@" + proxy);
  auto response = session.Send(korvo::RequestBuilder().Url(base_url + "/get")());
  std::cout << response->GetStatus() << " via " << response->GetHeader("Via") << "\n";
  const bool proxied = !response->GetHeader("Via").empty();

  // Hosts on the list are reached directly: the answer has passed no proxy.
  session.SetNoProxy("localhost, 127.0.0.0/8, .internal.example");
  auto direct = session.Send(korvo::RequestBuilder().Url(base_url + "/get")());
  const bool bypassed = direct->GetStatus() == 200 && !direct->HasHeader("Via");

  // A proxy that refuses a tunnel fails the exchange, and the error names the proxy.
  korvo::ClientSession wrong;
  wrong.SetProxy("http://guide:wrong@" + proxy);
  bool refused = false;
  try {
    wrong.Send(korvo::RequestBuilder().Url(tls_url)());
  } catch (const korvo::Error& error) {
    std::cout << error << " - " << error.detail() << "\n";
    refused = error.code() == korvo::kConnectError;
  }

  return response->GetStatus() == 200 && proxied && bypassed && refused ? 0 : 1;
}
