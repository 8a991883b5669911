#include "korvo/logger.h"
#include "korvo/internal/log_format.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <system_error>

namespace korvo {

namespace {

constexpr const char* kLevelNames[] = {"VERB", "INFO", "USER", "WARN", "ERRO"};
constexpr const char kReset[] = "\x1b[1;0m";
constexpr const char kYellow[] = "\x1b[1;33m";
constexpr const char kRed[] = "\x1b[1;31m";
constexpr const char kLogFileName[] = "korvo.log";

// All state is constant-initialised or trivially destructible, so records written by
// other static initialisers or destructors find a valid (possibly empty) logger.
std::mutex g_mutex;
std::atomic<int> g_modes{0};
std::atomic<int> g_min_level{kLogVerb};
std::atomic<long> g_main_thread{-1};
std::FILE* g_file = nullptr;  // guarded by g_mutex
std::atomic<bool> g_colorful{isatty(STDERR_FILENO) == 1};

// Closes the log file at process exit.
struct FileCloser {
  ~FileCloser() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_modes.store(0);
    internal::g_log_threshold.store(INT_MAX, std::memory_order_relaxed);
    if (g_file != nullptr) std::fclose(g_file);
    g_file = nullptr;
  }
} g_file_closer;

const char* LevelName(int level) {
  if (level < 0) level = 0;
  if (level > 4) level = 4;
  return kLevelNames[level];
}

// Called under g_mutex whenever modes or the minimum change, so that the two stores
// cannot interleave with another caller's.
void UpdateThreshold() {
  bool writes = (g_modes.load() & (LOG_FILE | LOG_CONSOLE)) != 0;
  internal::g_log_threshold.store(writes ? g_min_level.load() : INT_MAX,
                                  std::memory_order_relaxed);
}

// Linux thread ids are small and match what ps, top and gdb show, unlike the
// pthread handle behind std::thread::id.
long CurrentThreadId() { return static_cast<long>(gettid()); }

std::filesystem::path LogFilePath(const std::filesystem::path& dir) {
  if (dir.empty()) return std::filesystem::current_path() / kLogFileName;
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    if (!std::filesystem::create_directories(dir, ec) || ec) return {};
  }
  return dir / kLogFileName;
}

void WritePrefix(std::FILE* out, bool colorful, int level, const char* timestamp,
                 const char* thread, const char* file, int line) {
  if (!colorful) {
    std::fprintf(out, "%s, %s, %7s, %25s, %4d, ", timestamp, LevelName(level), thread, file,
                 line);
  } else if (level > kLogUser) {
    std::fprintf(out, "%s%s%s, %s, %7s, %25s, %4d, ", kReset,
                 level == kLogWarn ? kYellow : kRed, timestamp, LevelName(level), thread, file,
                 line);
  } else {
    std::fprintf(out, "%s%s, %s, %7s, %25s, %4d, ", kReset, timestamp, LevelName(level),
                 thread, file, line);
  }
}

}  // namespace

namespace internal {

std::atomic<int> g_log_threshold{INT_MAX};

}  // namespace internal

void LogInit(const std::filesystem::path& dir, int modes) {
  std::filesystem::path path;
  if (modes & LOG_FILE) path = LogFilePath(dir);  // may throw; nothing changed yet

  std::FILE* file = nullptr;
  if (!path.empty()) {
    // "e": the descriptor must not leak into child processes.
    file = std::fopen(path.c_str(), (modes & LOG_OVERWRITE) ? "w+e" : "a+e");
  }

  std::FILE* old_file = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_main_thread.store(CurrentThreadId());
    old_file = g_file;
    g_file = file;
    g_modes.store(modes);
    UpdateThreshold();
  }
  if (old_file != nullptr) std::fclose(old_file);
}

void LogSetLevel(int level) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_min_level.store(level);
  UpdateThreshold();
}

int LogGetLevel() { return g_min_level.load(); }

void LogWrite(int level, const char* file, int line, const char* format, ...) {
  if (!LogEnabled(level)) return;
  int modes = g_modes.load();
  if ((modes & (LOG_FILE | LOG_CONSOLE)) == 0) return;

  std::string timestamp = internal::FormatLogTimestamp(std::chrono::system_clock::now());

  char thread[32];
  long thread_id = CurrentThreadId();
  if (thread_id == g_main_thread.load()) {
    std::snprintf(thread, sizeof(thread), "main");
  } else {
    std::snprintf(thread, sizeof(thread), "%ld", thread_id);
  }

  va_list args;
  va_start(args, format);
  if (modes & LOG_FILE) {
    std::lock_guard<std::mutex> lock(g_mutex);
    // Modes are read again under the lock: a concurrent LogInit may have swapped files.
    if (g_file != nullptr && (g_modes.load() & LOG_FILE)) {
      va_list copy;
      va_copy(copy, args);
      WritePrefix(g_file, false, level, timestamp.c_str(), thread, file, line);
      std::vfprintf(g_file, format, copy);
      std::fputc('\n', g_file);
      if (g_modes.load() & LOG_FLUSH) std::fflush(g_file);
      va_end(copy);
    }
  }
  if (modes & LOG_CONSOLE) {
    std::lock_guard<std::mutex> lock(g_mutex);
    bool colorful = g_colorful.load();
    va_list copy;
    va_copy(copy, args);
    WritePrefix(stderr, colorful, level, timestamp.c_str(), thread, file, line);
    std::vfprintf(stderr, format, copy);
    if (colorful) std::fputs(kReset, stderr);
    std::fputc('\n', stderr);
    if (modes & LOG_FLUSH) std::fflush(stderr);
    va_end(copy);
  }
  va_end(args);
}

namespace internal {

std::string FormatLogTimestamp(std::chrono::system_clock::time_point time) {
  using std::chrono::system_clock;
  std::time_t seconds = system_clock::to_time_t(time);
  // to_time_t may round; take the milliseconds relative to the second it chose.
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                    time - system_clock::from_time_t(seconds)).count();
  if (millis < 0) {
    --seconds;
    millis += 1000;
  }
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[64];
  std::size_t length = std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + length, sizeof(text) - length, ".%03d", static_cast<int>(millis));
  return text;
}

bool SetLogColorfulForTesting(bool colorful) { return g_colorful.exchange(colorful); }

}  // namespace internal
}  // namespace korvo
