// HTTP/2: a session that offers HTTP/2, and the exchanges that share its connections.
// The base URL is httpbin's, which speaks HTTP/1.1 over cleartext: the same code then
// runs over HTTP/1.1, and Response::GetVersion says which answered.
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  session.SetHttpVersion(korvo::HttpVersion::kHttp2);

  std::vector<std::future<std::shared_ptr<korvo::Response>>> pending;
  for (int i = 0; i < 20; ++i) {
    pending.push_back(session.SendAsync(
        korvo::RequestBuilder().Url(base + "/get").Query("n", std::to_string(i))()));
  }
  int ok = 0;
  for (auto& future : pending) {
    auto response = future.get();
    std::cout << response->GetVersion() << " " << response->GetStatus() << "\n";
    ok += response->GetStatus() == 200;
  }
  return ok == 20 ? 0 : 1;
}
