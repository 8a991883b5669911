#include "support/log_capture.h"

#include <fstream>
#include <stdexcept>
#include <system_error>

#include <boost/algorithm/string/trim.hpp>

#include "korvo/logger.h"
#include "korvo/internal/utility.h"
#include "support/temp_dir.h"

namespace korvo {
namespace test {

LogCapture::LogCapture() {
  dir_ = MakeUniqueTempDir("korvo-log-");
  file_ = dir_ / "korvo.log";
  LogInit(dir_, LOG_FILE | LOG_FLUSH | LOG_OVERWRITE);
}

LogCapture::~LogCapture() {
  LogInit({}, 0);  // closes the file
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::vector<std::string> LogCapture::Records() const {
  std::vector<std::string> records;
  // Read no more than the file held when called: writers on other threads keep
  // appending, and a reader chasing them might never reach the end.
  std::error_code ec;
  std::uintmax_t size = std::filesystem::file_size(file_, ec);
  if (ec) return records;
  std::string content(static_cast<std::size_t>(size), '\0');
  std::ifstream stream(file_, std::ios::binary);
  stream.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(stream.gcount()));
  // Another thread may be half-way through a record: only lines with their line feed
  // are complete.
  std::size_t start = 0;
  for (std::size_t end = content.find('\n'); end != std::string::npos;
       end = content.find('\n', start)) {
    records.emplace_back(content, start, end - start);
    start = end + 1;
  }
  return records;
}

std::size_t LogCapture::Count(std::string_view level, std::string_view message) const {
  std::size_t count = 0;
  for (const std::string& record : Records()) {
    LogRecord parsed;
    if (ParseLogRecord(record, parsed) && parsed.level == level && parsed.message == message) {
      ++count;
    }
  }
  return count;
}

bool ParseLogRecord(std::string_view record, LogRecord& parsed) {
  // Five ", "-terminated fields precede the message; only the message may hold ", ".
  std::string fields[5];
  for (std::string& field : fields) {
    std::size_t end = record.find(", ");
    if (end == std::string_view::npos) return false;
    field.assign(record.substr(0, end));
    record.remove_prefix(end + 2);
  }
  parsed.timestamp = fields[0];
  parsed.level = fields[1];
  parsed.thread = boost::algorithm::trim_left_copy(fields[2]);
  parsed.file = boost::algorithm::trim_left_copy(fields[3]);
  std::string line = boost::algorithm::trim_left_copy(fields[4]);
  std::size_t value = 0;
  if (!ToSizeT(line, 10, value)) return false;
  parsed.line = static_cast<int>(value);
  parsed.message.assign(record);
  return true;
}

}  // namespace test
}  // namespace korvo
