// Cookies: a session with a jar keeps what servers set and sends it back; the jar is
// saved to a cookie file and loaded again, as by a later run of the program.
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include <unistd.h>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];
  const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                     ("korvo_guide_cookies_" + std::to_string(getpid()) + ".txt");

  auto jar = std::make_shared<korvo::CookieJar>();
  korvo::ClientSession session;
  session.SetCookieJar(jar);
  session.SetFollowRedirects(5);

  // The "login": httpbin sets the cookie and redirects to /cookies, which shows what
  // the request there carried.
  auto login = session.Send(korvo::RequestBuilder()
                                .Url(base + "/cookies/set")
                                .Query("session", "s3cr3t")
                                ());
  std::cout << login->GetData() << "\n";
  std::cout << "Cookie: " << jar->GetCookieHeader(korvo::Url(base + "/cookies")) << "\n";

  jar->Save(file);  // the Netscape cookie file, as curl -c writes it

  // Later: a new jar from the file, session cookies included.
  auto restored = std::make_shared<korvo::CookieJar>();
  restored->Load(file, true);
  korvo::ClientSession later;
  later.SetCookieJar(restored);
  auto again = later.Send(korvo::RequestBuilder().Url(base + "/cookies")());

  for (const korvo::Cookie& cookie : restored->GetCookies()) {
    std::cout << cookie.name << "=" << cookie.value << " for " << cookie.domain << cookie.path
              << (cookie.expires ? "" : " until the session ends") << "\n";
  }
  std::filesystem::remove(file);
  const bool sent = login->GetData().find("s3cr3t") != std::string::npos &&
                    again->GetData().find("s3cr3t") != std::string::npos;
  return sent ? 0 : 1;
}
