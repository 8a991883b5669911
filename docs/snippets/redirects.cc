// Following redirects: off by default; SetFollowRedirects sets how many hops to follow,
// and the response says where it finally came from.
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  session.SetFollowRedirects(5);

  auto response = session.Send(korvo::RequestBuilder().Url(base + "/redirect/3")());
  std::cout << response->GetStatus() << " from " << response->GetUrl().ToString()
            << " after " << response->GetRedirectCount() << " redirects\n";

  // More hops than allowed is an error, not a 3xx response.
  session.SetFollowRedirects(2);
  try {
    session.Send(korvo::RequestBuilder().Url(base + "/redirect/3")());
    return 1;
  } catch (const korvo::Error& error) {
    std::cout << error.message() << ": " << error.detail() << "\n";
  }
  return response->GetStatus() == 200 && response->GetRedirectCount() == 3 ? 0 : 1;
}
