// A urlencoded form: UrlQuery collects the fields and encodes them into the body, and
// the session's default content type labels every body that comes without one.
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  session.SetContentType("application/x-www-form-urlencoded");

  korvo::UrlQuery form;
  form.Add("user", "Ann Lee").Add("note", "1+1=2 & 50% off");
  auto request = korvo::RequestBuilder()
                     .Method("POST")
                     .Url(base + "/post")
                     .Body(form.ToString(true))  // user=Ann%20Lee&note=1%2B1%3D2%20%26%2050%25%20off
                     ();
  auto response = session.Send(request);
  std::cout << response->GetData() << "\n";

  // httpbin decodes a form only under the form content type.
  bool ok = response->GetStatus() == 200 &&
            response->GetData().find("\"note\":\"1+1=2 & 50% off\"") != std::string::npos &&
            response->GetData().find("\"user\":\"Ann Lee\"") != std::string::npos;
  return ok ? 0 : 1;
}
