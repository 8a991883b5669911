// The README's first example: one request, sent by a blocking Send. Takes the server's
// base URL (the tests pass a local httpbin's).
#include <iostream>
#include <string>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  const std::string base = argc > 1 ? argv[1] : "https://httpbin.org";
  korvo::ClientSession session;
  try {
    auto request = korvo::RequestBuilder()
                       .Url(base + "/get")
                       .Query("name", "Ivo Tamm")
                       ();
    auto response = session.Send(request);
    std::cout << response->GetStatus() << "\n" << response->GetData() << "\n";
    return response->GetStatus() == 200 ? 0 : 1;
  } catch (const korvo::Error& error) {
    std::cerr << error.Describe() << "\n";
    return 1;
  }
}
