// The logger's public face: destinations, levels, a minimum level, and the KORVO_LOG_*
// macros. This header defines no unprefixed macro, so it sits beside <syslog.h> and
// other headers that claim LOG_INFO and friends; korvo/logger.h adds the short LOG_*
// names for code that wants them.
//
// Records are written one line each to "korvo.log", to standard error, or both: a local
// timestamp with milliseconds, the level name, the writing thread ("main" for the
// thread that called LogInit, otherwise its decimal id), the base name of the source
// file and the line, then a printf-style message.
//
// Thread rules: LogWrite, LogEnabled and the KORVO_LOG_* macros may be used from any
// thread at any time (before LogInit nothing is written). LogInit is meant for program
// start; calling it again while other threads log is safe, records then go to the new
// destination. LogSetLevel may be called at any time from any thread; a record being
// written at that moment may still see the previous minimum.
#ifndef KORVO_LOGGING_H_
#define KORVO_LOGGING_H_

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <type_traits>

namespace korvo {

// Mode bits for LogInit. None of these names is a <syslog.h> macro.
enum LogMode : int {
  LOG_FILE = 1,       // write records to <dir>/korvo.log
  LOG_CONSOLE = 2,    // write records to the standard error stream
  LOG_FLUSH = 4,      // flush the destination after every record
  LOG_OVERWRITE = 8,  // truncate the log file instead of appending to it
};

// Record levels; the value selects the printed name and the console colour. A level
// below kLogVerb prints (and is filtered) as kLogVerb, one above kLogErro as kLogErro.
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
// LOG_FILE. If the file cannot be opened, file records are silently skipped. Throws
// std::filesystem::filesystem_error only when `dir` is empty and the current directory
// cannot be determined. The minimum level is kept.
void LogInit(const std::filesystem::path& dir, int modes);

// Records below `level` are dropped from now on; kLogVerb (the default) keeps all of
// them, anything above kLogErro drops all of them.
void LogSetLevel(int level);
int LogGetLevel();

// Writes one record. `file` is the base name of the source file; use the macros.
void LogWrite(int level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

namespace internal {

// The lowest level that is written now, or INT_MAX while there is no destination.
// Kept by LogInit and LogSetLevel, so that a dropped record costs one relaxed load.
extern std::atomic<int> g_log_threshold;

// Offset of the base name within a source path, so that macros can strip the
// directories at compile time.
constexpr std::size_t BaseNameOffset(const char* path) {
  std::size_t offset = 0;
  for (std::size_t i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '/' || path[i] == '\\') offset = i + 1;
  }
  return offset;
}

}  // namespace internal

// Whether a record at `level` would be written now: there is a destination and the
// level is not below the minimum. Lets a caller skip building an expensive message.
inline bool LogEnabled(int level) {
  if (level < kLogVerb) level = kLogVerb;
  if (level > kLogErro) level = kLogErro;
  return level >= internal::g_log_threshold.load(std::memory_order_relaxed);
}

}  // namespace korvo

// Indexing rather than adding to __FILE__: clang warns about adding an integer to a
// string literal, and these macros expand in users' code under their warning flags.
#define KORVO_LOG_BASE_FILE                                                        \
  (&__FILE__[std::integral_constant<std::size_t,                                   \
                                    ::korvo::internal::BaseNameOffset(__FILE__)>::value])

// An expression, as a plain call would be; the arguments are not evaluated when the
// record is dropped.
#define KORVO_LOG_AT(level, ...)                                                  \
  (::korvo::LogEnabled(level)                                                     \
       ? ::korvo::LogWrite((level), KORVO_LOG_BASE_FILE, __LINE__, __VA_ARGS__) \
       : void())

#define KORVO_LOG_VERB(...) KORVO_LOG_AT(::korvo::kLogVerb, __VA_ARGS__)
#define KORVO_LOG_INFO(...) KORVO_LOG_AT(::korvo::kLogInfo, __VA_ARGS__)
#define KORVO_LOG_USER(...) KORVO_LOG_AT(::korvo::kLogUser, __VA_ARGS__)
#define KORVO_LOG_WARN(...) KORVO_LOG_AT(::korvo::kLogWarn, __VA_ARGS__)
#define KORVO_LOG_ERRO(...) KORVO_LOG_AT(::korvo::kLogErro, __VA_ARGS__)

#endif  // KORVO_LOGGING_H_
