// Repeated response fields: a response may carry a field such as "Set-Cookie" more
// than once; GetHeader answers one value, GetAll every one in order.
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  // httpbin answers with every field it is asked for in the query.
  auto request = korvo::RequestBuilder()
                     .Url(base + "/response-headers")
                     .Query("Set-Cookie", "theme=dark")
                     .Query("Set-Cookie", "lang=en")
                     ();
  auto response = session.Send(request);

  std::vector<std::string> cookies = response->GetHeaders().GetAll("Set-Cookie");
  for (const std::string& cookie : cookies) std::cout << "cookie: " << cookie << "\n";

  bool ok = cookies.size() == 2 && cookies[0] == "theme=dark" && cookies[1] == "lang=en";
  return ok ? 0 : 1;
}
