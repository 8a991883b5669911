// LogCapture points the korvo logger at a private temporary directory for the life of
// a test, so that tests can assert on the records the library writes.
//
// Thread rules: create and destroy it on the test's thread; library threads may log
// meanwhile. Records() and Count() may be called at any time from the owning thread.
#ifndef KORVO_TESTS_SUPPORT_LOG_CAPTURE_H_
#define KORVO_TESTS_SUPPORT_LOG_CAPTURE_H_

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace korvo {
namespace test {

class LogCapture {
 public:
  // Logs to <temp dir>/korvo.log with LOG_FILE|LOG_FLUSH|LOG_OVERWRITE.
  LogCapture();
  // Stops logging and removes the temporary directory.
  ~LogCapture();

  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every complete record written so far, one line each, without the line feed.
  std::vector<std::string> Records() const;

  // Number of records with this level name ("WARN", "ERRO", ...) and exactly this
  // message text.
  std::size_t Count(std::string_view level, std::string_view message) const;

  const std::filesystem::path& GetPath() const { return file_; }

 private:
  std::filesystem::path dir_;
  std::filesystem::path file_;
};

// Splits a record written in the file format into its fields; false when `record` is
// not in that format.
struct LogRecord {
  std::string timestamp;
  std::string level;
  std::string thread;
  std::string file;
  int line = 0;
  std::string message;
};
bool ParseLogRecord(std::string_view record, LogRecord& parsed);

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_LOG_CAPTURE_H_
