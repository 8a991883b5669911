// Built against an installed korvo (find_package) to prove the package is usable.
#include <iostream>

#include "korvo/error.h"
#include "korvo/url.h"

int main() {
  korvo::Url url("http://example.org:8080/path?q=1");
  std::cout << url.GetHost() << " " << korvo::Error(korvo::kNoError, "") << "\n";
  return url.GetPort() == "8080" ? 0 : 1;
}
