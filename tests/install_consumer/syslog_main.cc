// <syslog.h> and korvo/korvo.h in one file: syslog's LOG_INFO and LOG_USER must keep
// their meaning, and korvo's logger must still be reachable through its KORVO_LOG_*
// macros and its mode names.
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "korvo/korvo.h"

static_assert(LOG_INFO == 6 && LOG_USER == (1 << 3), "syslog's macros were redefined");

int main() {
  // Masked so that every CI run does not leave a line in the machine's system log; the
  // call still goes through syslog().
  setlogmask(LOG_MASK(LOG_EMERG));
  syslog(LOG_INFO, "x");
  syslog(LOG_USER | LOG_INFO, "korvo install check %d", LOG_CONS);

  char dir[] = "/tmp/korvo-syslog-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  korvo::LogInit(dir, korvo::LOG_FILE | korvo::LOG_FLUSH | korvo::LOG_OVERWRITE);
  korvo::LogSetLevel(korvo::kLogWarn);
  int evaluated = 0;
  KORVO_LOG_INFO("dropped %d", ++evaluated);
  KORVO_LOG_WARN("kept beside syslog %d", LOG_INFO);
  korvo::LogInit({}, 0);

  const std::string path = std::string(dir) + "/korvo.log";
  std::ifstream file(path);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  rmdir(dir);
  if (evaluated != 0 || text.find(", WARN, ") == std::string::npos ||
      text.find(" syslog_main.cc, ") == std::string::npos ||
      text.find(", kept beside syslog 6\n") == std::string::npos ||
      text.find("dropped") != std::string::npos) {
    std::cerr << "syslog consumer: unexpected log:\n" << text;
    return 1;
  }
  return 0;
}
