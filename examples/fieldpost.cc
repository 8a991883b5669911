// fieldpost: posts the form key1=value1&key2=value2 to the echo service httpbin.org and
// prints the response body. The request itself names no media type: the session's
// default content type supplies "application/x-www-form-urlencoded; charset=utf8".
// On failure it prints the Error line on standard output and exits with status 1.
// Arguments are ignored.
#include <exception>
#include <iostream>

#include "korvo/client_session.h"
#include "korvo/error.h"
#include "korvo/logger.h"
#include "korvo/request_builder.h"
#include "korvo/url.h"

namespace {

constexpr char kUrl[] = "http://httpbin.org/post";

}  // namespace

int main() {
  korvo::LogInit("", korvo::LOG_CONSOLE);
  try {
    korvo::ClientSession session;
    session.SetContentType("application/x-www-form-urlencoded", "utf8");

    korvo::UrlQuery fields;
    fields.Add("key1", "value1").Add("key2", "value2");

    try {
      auto request = korvo::RequestBuilder()
                         .Method("POST")
                         .Url(kUrl)
                         .Body(fields.ToString(true))();
      auto response = session.Send(request);
      std::cout << response->GetData() << std::endl;
    } catch (const korvo::Error& error) {
      std::cout << error << std::endl;
      return 1;
    }
  } catch (const std::exception& error) {
    std::cerr << "fieldpost: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
