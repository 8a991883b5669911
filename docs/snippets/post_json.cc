// POST of a JSON text: Body carries the text, MediaType its "Content-Type".
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  auto request = korvo::RequestBuilder()
                     .Method("POST")
                     .Url(base + "/post")
                     .Body(R"({"name": "korvo", "stars": 5})")
                     .MediaType("application/json")
                     ();
  auto response = session.Send(request);
  std::cout << response->GetData() << "\n";

  // httpbin parses a JSON body into its "json" field, which it does only when the
  // content type said so.
  bool ok = response->GetStatus() == 200 &&
            response->GetData().find("\"json\":{\"name\":\"korvo\"") != std::string::npos &&
            response->GetData().find("application/json") != std::string::npos;
  return ok ? 0 : 1;
}
