// tourfetch: a walk through the basic uses of korvo against the echo service
// httpbin.org: a GET with a query parameter and a "Date" header, a POST of a JSON text,
// and a GET over HTTPS. Prints nothing when all three succeed; otherwise the first
// failure on standard error and exit status 1. Arguments are ignored.
#include <exception>
#include <iostream>

#include "korvo/client_session.h"
#include "korvo/error.h"
#include "korvo/logger.h"
#include "korvo/request_builder.h"

namespace {

constexpr char kHttpUrl[] = "http://httpbin.org";
constexpr char kHttpsUrl[] = "https://httpbin.org";

void Tour(korvo::ClientSession& session) {
  auto response = session.Send(korvo::RequestBuilder()
                                   .Method("GET")
                                   .Url(std::string(kHttpUrl) + "/get")
                                   .Query("name", "Ivo Tamm")
                                   .Date()());

  // Normally reuses the connection of the GET, which the pool kept open.
  response = session.Send(korvo::RequestBuilder()
                              .Method("POST")
                              .Url(std::string(kHttpUrl) + "/post")
                              .Body(R"({"name": "Ivo", "age": 20})")
                              .MediaType("application/json")
                              .Charset("utf-8")());

  // The first https request also creates the TLS context with the system's roots.
  response = session.Send(korvo::RequestBuilder()
                              .Method("GET")
                              .Url(std::string(kHttpsUrl) + "/get")());
}

}  // namespace

int main() {
  korvo::LogInit("", korvo::LOG_CONSOLE);
  try {
    korvo::ClientSession session;
    session.SetConnectTimeout(5).SetReadTimeout(5).Accept("application/json");
    try {
      Tour(session);
    } catch (const korvo::Error& error) {
      std::cerr << error << std::endl;
      return 1;
    }
  } catch (const std::exception& error) {
    // Failures korvo does not translate, such as a TLS context that cannot be created.
    std::cerr << "tourfetch: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
