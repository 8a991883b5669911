// GET with a query: the parameters are percent-encoded by the builder, whose method is
// GET unless it is told otherwise.
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  auto request = korvo::RequestBuilder()
                     .Url(base + "/get")
                     .Query("q", "hello world")
                     .Query("page", "2")
                     ();
  auto response = session.Send(request);
  std::cout << response->GetStatus() << " " << response->GetReason() << "\n";
  std::cout << response->GetData() << "\n";

  // httpbin echoes the URL it saw, so the encoded query must be in it.
  bool ok = response->GetStatus() == 200 &&
            response->GetData().find("q=hello%20world&page=2") != std::string::npos;
  return ok ? 0 : 1;
}
