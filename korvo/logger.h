// The logger as the library's own sources and tests use it: everything of
// korvo/logging.h plus the short LOG_VERB ... LOG_ERRO macros and hooks for tests.
//
// The short names clash with <syslog.h> (LOG_INFO, LOG_USER): a file that needs both
// includes korvo/logging.h and writes KORVO_LOG_INFO and so on. korvo/korvo.h includes
// korvo/logging.h, never this header.
//
// Thread rules: those of korvo/logging.h; the test hooks below may be called from any
// thread.
#ifndef KORVO_LOGGER_H_
#define KORVO_LOGGER_H_

#include <chrono>
#include <string>

#include "korvo/logging.h"

namespace korvo {
namespace internal {

// "YYYY-MM-DD HH:MM:SS.mmm" in local time, as records print it.
std::string FormatLogTimestamp(std::chrono::system_clock::time_point time);

// For tests: forces the console colour decision (normally taken once at start-up
// from whether standard error is a terminal). Returns the previous setting.
bool SetLogColorfulForTesting(bool colorful);

}  // namespace internal
}  // namespace korvo

#define LOG_VERB(...) KORVO_LOG_VERB(__VA_ARGS__)
#define LOG_INFO(...) KORVO_LOG_INFO(__VA_ARGS__)
#define LOG_USER(...) KORVO_LOG_USER(__VA_ARGS__)
#define LOG_WARN(...) KORVO_LOG_WARN(__VA_ARGS__)
#define LOG_ERRO(...) KORVO_LOG_ERRO(__VA_ARGS__)

#endif  // KORVO_LOGGER_H_
