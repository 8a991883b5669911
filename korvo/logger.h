// Process-wide logger: one line per record to "korvo.log", to standard error, or both.
//
// A record carries a local timestamp with milliseconds, the level name, the writing
// thread ("main" for the thread that called LogInit, otherwise its decimal id), the
// base name of the source file and the line, then a printf-style message.
//
// Thread rules: LogWrite may be called from any thread at any time (before LogInit it
// writes nothing). LogInit is meant to be called once at program start; calling it
// again while other threads log is safe, records then go to the new destination.
#ifndef KORVO_LOGGER_H_
#define KORVO_LOGGER_H_

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <type_traits>

namespace korvo {

// Mode bits for LogInit.
enum LogMode : int {
  LOG_FILE = 1,       // write records to <dir>/korvo.log
  LOG_CONSOLE = 2,    // write records to the standard error stream
  LOG_FLUSH = 4,      // flush the destination after every record
  LOG_OVERWRITE = 8,  // truncate the log file instead of appending to it
};

// Record levels; the value selects the printed name and the console colour.
enum LogLevel : int {
  kLogVerb = 0,
  kLogInfo = 1,
  kLogUser = 2,
  kLogWarn = 3,
  kLogErro = 4,
};

// Sets the destinations. With LOG_FILE the file is "korvo.log" in `dir` (created with
// its missing parents) or, when `dir` is empty, in the current working directory.
// A log file opened by an earlier call is closed first, also when `modes` lacks
// LOG_FILE. If the file cannot be opened, file records are silently skipped. Throws std::filesystem::filesystem_error only
// when `dir` is empty and the current directory cannot be determined.
void LogInit(const std::filesystem::path& dir, int modes);

// Writes one record. `file` is the base name of the source file; use the macros.
void LogWrite(int level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

namespace internal {

// Offset of the base name within a source path, so that macros can strip the
// directories at compile time.
constexpr std::size_t BaseNameOffset(const char* path) {
  std::size_t offset = 0;
  for (std::size_t i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '/' || path[i] == '\\') offset = i + 1;
  }
  return offset;
}

// "YYYY-MM-DD HH:MM:SS.mmm" in local time, as records print it.
std::string FormatLogTimestamp(std::chrono::system_clock::time_point time);

// For tests: forces the console colour decision (normally taken once at start-up
// from whether standard error is a terminal). Returns the previous setting.
bool SetLogColorfulForTesting(bool colorful);

}  // namespace internal
}  // namespace korvo

#define KORVO_LOG_BASE_FILE \
  (__FILE__ + std::integral_constant<std::size_t, ::korvo::internal::BaseNameOffset(__FILE__)>::value)

#define LOG_VERB(...) ::korvo::LogWrite(::korvo::kLogVerb, KORVO_LOG_BASE_FILE, __LINE__, __VA_ARGS__)
#define LOG_INFO(...) ::korvo::LogWrite(::korvo::kLogInfo, KORVO_LOG_BASE_FILE, __LINE__, __VA_ARGS__)
#define LOG_USER(...) ::korvo::LogWrite(::korvo::kLogUser, KORVO_LOG_BASE_FILE, __LINE__, __VA_ARGS__)
#define LOG_WARN(...) ::korvo::LogWrite(::korvo::kLogWarn, KORVO_LOG_BASE_FILE, __LINE__, __VA_ARGS__)
#define LOG_ERRO(...) ::korvo::LogWrite(::korvo::kLogErro, KORVO_LOG_BASE_FILE, __LINE__, __VA_ARGS__)

#endif  // KORVO_LOGGER_H_
