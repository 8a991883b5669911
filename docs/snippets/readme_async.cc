// The README's second example: three requests at once through SendAsync, each future
// holding a response or an error. Takes the server's base URL (the tests pass a local
// httpbin's).
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  const std::string base = argc > 1 ? argv[1] : "https://httpbin.org";
  korvo::ClientSession session;
  std::vector<std::future<std::shared_ptr<korvo::Response>>> pending;
  for (const char* path : {"/uuid", "/delay/1", "/status/418"}) {
    pending.push_back(session.SendAsync(korvo::RequestBuilder().Url(base + path)()));
  }
  int failures = 0;
  for (auto& future : pending) {
    try {
      auto response = future.get();
      std::cout << response->GetStatus() << " " << response->GetUrl().ToString() << "\n";
    } catch (const korvo::Error& error) {
      std::cerr << error.Describe() << "\n";
      ++failures;
    }
  }
  return failures;
}
