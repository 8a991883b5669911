// Sending a request object again: it is completed anew for its current method and URL,
// and for the session that sends it this time.
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession alice;
  alice.AuthBearer("alice-token");
  korvo::ClientSession anonymous;

  auto request = korvo::RequestBuilder().Url(base + "/anything/first").Header("X-Trace", "42")();
  auto first = alice.Send(request);  // GET /anything/first, with alice's token

  request->SetMethod("POST").SetUrl(korvo::Url(base + "/anything/second"));
  auto second = anonymous.Send(request);  // POST /anything/second, without alice's token
  std::cout << second->GetData() << "\n";

  // httpbin's /anything echoes the method, the URL and the fields it received.
  const std::string& echo = second->GetData();
  bool ok = first->GetData().find("Bearer alice-token") != std::string::npos &&
            echo.find("\"method\":\"POST\"") != std::string::npos &&
            echo.find("/anything/second") != std::string::npos &&
            echo.find("\"X-Trace\":\"42\"") != std::string::npos &&
            echo.find("alice-token") == std::string::npos;
  return ok ? 0 : 1;
}
