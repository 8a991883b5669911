// Logging: korvo and the program write to the same log, here a file in a directory of
// the program's choice, filtered by a minimum level.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  namespace fs = std::filesystem;
  const fs::path log_dir = fs::temp_directory_path() / "korvo_guide_logs";
  fs::remove_all(log_dir);

  // Records go to <log_dir>/korvo.log, written through at once, the file started afresh.
  korvo::LogInit(log_dir, korvo::LOG_FILE | korvo::LOG_FLUSH | korvo::LOG_OVERWRITE);
  korvo::LogSetLevel(korvo::kLogInfo);

  KORVO_LOG_USER("fetching %s", base.c_str());
  KORVO_LOG_VERB("below the minimum level: not written");

  korvo::ClientSession session;
  auto response = session.Send(korvo::RequestBuilder().Url(base + "/get")());
  KORVO_LOG_INFO("status %d", response->GetStatus());

  // Quieter from here on: only warnings and errors.
  korvo::LogSetLevel(korvo::kLogWarn);
  KORVO_LOG_INFO("dropped as well");

  std::stringstream log;
  log << std::ifstream(log_dir / "korvo.log").rdbuf();
  std::cout << log.str();
  const std::string text = log.str();
  bool ok = text.find("fetching " + base) != std::string::npos &&
            text.find("status 200") != std::string::npos &&
            text.find("not written") == std::string::npos &&
            text.find("dropped") == std::string::npos;

  // Closes the file before its directory goes.
  korvo::LogInit({}, 0);
  fs::remove_all(log_dir);
  return ok ? 0 : 1;
}
