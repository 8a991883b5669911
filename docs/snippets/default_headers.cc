// Default headers and authorization: what a session sets goes with every request it
// sends, unless the request sets the same field itself.
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  // Added to every request: a field of our own, and "Authorization: Bearer s3cr3t".
  session.SetHeader("X-Client", "inventory/2.1").AuthBearer("s3cr3t");
  // One of the built-in defaults, no longer sent.
  session.RemoveHeader("Accept-Encoding");
  session.Accept("application/json");  // replaces the default "Accept: */*"

  // httpbin's /bearer answers 200 only to a bearer token.
  auto bearer = session.Send(korvo::RequestBuilder().Url(base + "/bearer")());

  // A request's own field wins over the session's: here other credentials, once.
  auto basic = session.Send(korvo::RequestBuilder()
                                .Url(base + "/basic-auth/ann/pa55")
                                .AuthBasic("ann", "pa55")
                                ());

  // Some APIs take "Authorization: Token <token>" instead of Bearer.
  // Any other field of one request goes through Header; Date adds the current time.
  auto echoed = session.Send(korvo::RequestBuilder()
                                 .Url(base + "/headers")
                                 .AuthToken("0f3a9c")
                                 .Header("X-Order-Id", "7f2c")
                                 .Date()
                                 ());
  std::cout << echoed->GetData() << "\n";

  // A field that would break the request's head is refused where it is set.
  bool refused = false;
  try {
    session.SetHeader("X-Note", "one\r\nHost: elsewhere");
  } catch (const korvo::Error& error) {
    std::cout << error.Describe() << "\n";
    refused = error.code() == korvo::kRequestError;
  }

  const std::string& headers = echoed->GetData();
  bool ok = bearer->GetStatus() == 200 && basic->GetStatus() == 200 && refused &&
            headers.find("\"Authorization\":\"Token 0f3a9c\"") != std::string::npos &&
            headers.find("\"X-Client\":\"inventory/2.1\"") != std::string::npos &&
            headers.find("\"X-Order-Id\":\"7f2c\"") != std::string::npos &&
            headers.find("\"Date\":") != std::string::npos &&
            headers.find("\"Accept\":\"application/json\"") != std::string::npos &&
            headers.find("Accept-Encoding") == std::string::npos;
  return ok ? 0 : 1;
}
