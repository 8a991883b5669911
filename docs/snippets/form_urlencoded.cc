// A urlencoded form: the session's default content type labels every body that comes
// without one, so the requests themselves only carry the encoded text.
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  session.SetContentType("application/x-www-form-urlencoded");

  auto request = korvo::RequestBuilder()
                     .Method("POST")
                     .Url(base + "/post")
                     .Body("user=ann&note=a%20b%26c")
                     ();
  auto response = session.Send(request);
  std::cout << response->GetData() << "\n";

  // httpbin decodes a form only under the form content type; "a%20b%26c" comes back
  // as "a b&c".
  bool ok = response->GetStatus() == 200 &&
            response->GetData().find("\"note\":\"a b&c\"") != std::string::npos;
  return ok ? 0 : 1;
}
