// The logger's inside, for its own source and its tests: how a record's time is printed,
// and a switch for the console colour that a test cannot get from a terminal.
//
// Thread rules: both may be called from any thread.
#ifndef KORVO_INTERNAL_LOG_FORMAT_H_
#define KORVO_INTERNAL_LOG_FORMAT_H_

#include <chrono>
#include <string>

namespace korvo {
namespace internal {

// "YYYY-MM-DD HH:MM:SS.mmm" in local time, as records print it.
std::string FormatLogTimestamp(std::chrono::system_clock::time_point time);

// For tests: forces the console colour decision (normally taken once at start-up
// from whether standard error is a terminal). Returns the previous setting.
bool SetLogColorfulForTesting(bool colorful);

}  // namespace internal
}  // namespace korvo

#endif  // KORVO_INTERNAL_LOG_FORMAT_H_
