#include "korvo/logger.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korvo/internal/log_format.h"
#include "korvo/internal/utility.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace korvo {
namespace {

using test::LogCapture;
using test::LogRecord;
using test::ParseLogRecord;

static_assert(internal::BaseNameOffset("a/b/c.cc") == 4);
static_assert(internal::BaseNameOffset("c.cc") == 0);
static_assert(internal::BaseNameOffset("C:\\src\\c.cc") == 7);

const char kReset[] = "\x1b[1;0m";

std::string Padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// ", LEVEL, thread, file, line, message" as the record prints it after the timestamp.
std::string Tail(const std::string& level, const std::string& thread, int line,
                 const std::string& message) {
  return ", " + level + ", " + Padded(thread, 7) + ", " + Padded("logger_test.cc", 25) + ", " +
         Padded(std::to_string(line), 4) + ", " + message;
}

std::vector<std::string> ReadLines(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  std::ifstream stream(file);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// A scratch directory removed when the test ends; the logger is reset first so that
// no file stays open inside it.
class ScratchDir : public test::ScratchDir {
 public:
  ScratchDir() : test::ScratchDir("korvo-logger-") {}
  ~ScratchDir() { LogInit({}, 0); }
};

// Restores the colour decision and the console mode when a console test ends.
class ConsoleTest : public ::testing::Test {
 protected:
  ~ConsoleTest() override {
    LogInit({}, 0);
    internal::SetLogColorfulForTesting(saved_colorful_);
  }
  std::string Capture(bool colorful, int level, const char* message, int* line) {
    internal::SetLogColorfulForTesting(colorful);
    LogInit({}, LOG_CONSOLE | LOG_FLUSH);
    ::testing::internal::CaptureStderr();
    *line = __LINE__ + 1;
    LogWrite(level, KORVO_LOG_BASE_FILE, __LINE__, "%s", message);
    return ::testing::internal::GetCapturedStderr();
  }

 private:
  bool saved_colorful_ = internal::SetLogColorfulForTesting(false);
};

TEST(LoggerDeathTest, WritesNothingBeforeInit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child is a fresh process in which nothing has initialised the logger yet.
  EXPECT_EXIT(
      {
        LOG_ERRO("never shown %d", 1);
        std::exit(std::ifstream("korvo.log") ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "^$");
}

TEST(LoggerTest, FileRecordMatchesFormatByteForByte) {
  LogCapture capture;
  std::string before = internal::FormatLogTimestamp(std::chrono::system_clock::now());
  int line = __LINE__ + 1;
  LOG_WARN("Invalid header: %s (%d)", "X-Bad", 7);
  std::string after = internal::FormatLogTimestamp(std::chrono::system_clock::now());

  std::vector<std::string> records = capture.Records();
  ASSERT_EQ(records.size(), 1u);
  const std::string& record = records[0];
  ASSERT_GT(record.size(), before.size());
  std::string timestamp = record.substr(0, before.size());
  EXPECT_THAT(timestamp, ::testing::MatchesRegex(
                             "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}"));
  // Fixed-width local timestamps compare like the times they stand for.
  EXPECT_LE(before, timestamp);
  EXPECT_GE(after, timestamp);
  EXPECT_EQ(record.substr(before.size()), Tail("WARN", "main", line, "Invalid header: X-Bad (7)"));

  std::ifstream raw(capture.GetPath(), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, record + "\n");
  EXPECT_EQ(capture.Count("WARN", "Invalid header: X-Bad (7)"), 1u);
  EXPECT_EQ(capture.Count("ERRO", "Invalid header: X-Bad (7)"), 0u);
}

TEST(LoggerTest, LevelNamesAndOutOfRangeLevels) {
  LogCapture capture;
  LOG_VERB("v");
  LOG_INFO("i");
  LOG_USER("u");
  LOG_WARN("w");
  LOG_ERRO("e");
  LogWrite(9, "x.cc", 1, "high");
  LogWrite(-2, "x.cc", 1, "low");
  std::vector<std::string> levels;
  for (const std::string& record : capture.Records()) {
    LogRecord parsed;
    ASSERT_TRUE(ParseLogRecord(record, parsed)) << record;
    levels.push_back(parsed.level + ":" + parsed.message);
  }
  EXPECT_THAT(levels, ::testing::ElementsAre("VERB:v", "INFO:i", "USER:u", "WARN:w", "ERRO:e",
                                             "ERRO:high", "VERB:low"));
}

TEST(LoggerTest, WidthsDoNotCutLongerValues) {
  LogCapture capture;
  std::string file(30, 'f');
  LogWrite(kLogErro, file.c_str(), 123456, "%s", "m");
  std::vector<std::string> records = capture.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_THAT(records[0], ::testing::EndsWith(", ERRO,    main, " + file + ", 123456, m"));
}

TEST(LoggerTest, LongMessagesAndPercentSignsSurvive) {
  LogCapture capture;
  std::string big(20000, 'z');
  LOG_ERRO("%s|100%%", big.c_str());
  EXPECT_EQ(capture.Count("ERRO", big + "|100%"), 1u);
}

TEST(LoggerTest, OtherThreadsShowTheirDecimalId) {
  LogCapture capture;
  long id = 0;
  int line = 0;
  std::thread writer([&] {
    id = static_cast<long>(gettid());
    line = __LINE__ + 1;
    LOG_ERRO("from worker");
  });
  writer.join();
  LOG_ERRO("from main");
  std::vector<std::string> records = capture.Records();
  ASSERT_EQ(records.size(), 2u);
  ASSERT_NE(id, static_cast<long>(gettid()));
  EXPECT_THAT(records[0], ::testing::EndsWith(Tail("ERRO", std::to_string(id), line, "from worker")));
  LogRecord parsed;
  ASSERT_TRUE(ParseLogRecord(records[1], parsed));
  EXPECT_EQ(parsed.thread, "main");
}

TEST(LoggerTest, MillisecondsArePaddedToThreeDigits) {
  using std::chrono::milliseconds;
  using std::chrono::system_clock;
  std::time_t second = 1700000000;
  std::tm local{};
  localtime_r(&second, &local);
  char expected[32];
  std::strftime(expected, sizeof(expected), "%Y-%m-%d %H:%M:%S", &local);
  system_clock::time_point base = system_clock::from_time_t(second);
  EXPECT_EQ(internal::FormatLogTimestamp(base), std::string(expected) + ".000");
  EXPECT_EQ(internal::FormatLogTimestamp(base + milliseconds(7)), std::string(expected) + ".007");
  EXPECT_EQ(internal::FormatLogTimestamp(base + milliseconds(45)), std::string(expected) + ".045");
  EXPECT_EQ(internal::FormatLogTimestamp(base + milliseconds(999)), std::string(expected) + ".999");
}

TEST(LoggerTest, CreatesMissingDirectories) {
  ScratchDir dir;
  std::filesystem::path nested = dir.path() / "one" / "two" / "three";
  LogInit(nested, LOG_FILE | LOG_FLUSH);
  LOG_ERRO("nested");
  EXPECT_TRUE(std::filesystem::is_directory(nested));
  EXPECT_EQ(ReadLines(nested / "korvo.log").size(), 1u);
}

TEST(LoggerTest, EmptyDirectoryMeansWorkingDirectory) {
  ScratchDir dir;
  std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  LogInit({}, LOG_FILE | LOG_FLUSH);
  std::filesystem::current_path(saved);
  LOG_ERRO("here");
  EXPECT_EQ(ReadLines(dir.path() / "korvo.log").size(), 1u);
}

TEST(LoggerTest, UnusableDirectorySkipsFileRecordsOnly) {
  ScratchDir dir;
  std::filesystem::path blocker = dir.path() / "blocker";
  std::ofstream(blocker) << "a regular file";
  LogInit(blocker / "sub", LOG_FILE | LOG_CONSOLE | LOG_FLUSH);
  ::testing::internal::CaptureStderr();
  LOG_ERRO("still on the console");
  std::string console = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(console, ::testing::HasSubstr("still on the console"));
  EXPECT_FALSE(std::filesystem::exists(blocker / "sub"));
}

TEST(LoggerTest, AppendsUnlessOverwriteIsSet) {
  ScratchDir dir;
  LogInit(dir.path(), LOG_FILE | LOG_FLUSH);
  LOG_ERRO("first");
  LogInit(dir.path(), LOG_FILE | LOG_FLUSH);
  LOG_ERRO("second");
  std::vector<std::string> lines = ReadLines(dir.path() / "korvo.log");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], ::testing::EndsWith(", first"));
  EXPECT_THAT(lines[1], ::testing::EndsWith(", second"));

  LogInit(dir.path(), LOG_FILE | LOG_FLUSH | LOG_OVERWRITE);
  EXPECT_TRUE(ReadLines(dir.path() / "korvo.log").empty());
  LOG_ERRO("third");
  lines = ReadLines(dir.path() / "korvo.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], ::testing::EndsWith(", third"));
}

std::size_t OpenLogFiles() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    std::filesystem::path target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && target.filename() == "korvo.log") ++count;
  }
  return count;
}

TEST(LoggerTest, ReinitialisingClosesThePreviousFile) {
  ScratchDir dir;
  for (int i = 0; i < 5; ++i) LogInit(dir.path() / std::to_string(i), LOG_FILE);
  EXPECT_EQ(OpenLogFiles(), 1u);
  LogInit({}, LOG_CONSOLE);
  EXPECT_EQ(OpenLogFiles(), 0u);
}

TEST(LoggerTest, RecordsFromManyThreadsStayWhole) {
  LogCapture capture;
  constexpr int kThreads = 4;
  constexpr int kRecords = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRecords; ++i) LOG_WARN("thread %d record %d %s", t, i, "payload");
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<std::string> records = capture.Records();
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kThreads * kRecords));
  for (const std::string& record : records) {
    LogRecord parsed;
    ASSERT_TRUE(ParseLogRecord(record, parsed)) << record;
    EXPECT_EQ(parsed.level, "WARN");
    EXPECT_THAT(parsed.message, ::testing::MatchesRegex("thread [0-9] record [0-9]+ payload"));
  }
}

TEST(LoggerTest, CapturesMayComeAndGoWhileOthersLog) {
  std::atomic<bool> done{false};
  std::thread writer([&done] {
    for (int i = 0; i < 20000; ++i) LOG_ERRO("background");
    done.store(true);
  });
  for (int round = 0; round < 50 && !done.load(); ++round) {
    LogCapture capture;
    LOG_ERRO("round %d", round);
    EXPECT_EQ(capture.Count("ERRO", "round " + std::to_string(round)), 1u);
    for (const std::string& record : capture.Records()) {
      LogRecord parsed;
      EXPECT_TRUE(ParseLogRecord(record, parsed)) << record;
    }
  }
  writer.join();
}

// Puts the minimum level back when a test ends, also after a failed assertion.
class LevelGuard {
 public:
  LevelGuard() : saved_(LogGetLevel()) {}
  ~LevelGuard() { LogSetLevel(saved_); }

 private:
  int saved_;
};

std::vector<std::string> LevelsAndMessages(const LogCapture& capture) {
  std::vector<std::string> result;
  for (const std::string& record : capture.Records()) {
    LogRecord parsed;
    if (!ParseLogRecord(record, parsed)) return {"unparsable: " + record};
    result.push_back(parsed.level + ":" + parsed.message);
  }
  return result;
}

TEST(LoggerLevelTest, MinimumDropsLowerRecordsWithoutEvaluatingThem) {
  LevelGuard guard;
  LogCapture capture;
  EXPECT_EQ(LogGetLevel(), kLogVerb);  // the default keeps everything
  LogSetLevel(kLogWarn);
  int evaluated = 0;
  LOG_VERB("v %d", ++evaluated);
  LOG_INFO("i %d", ++evaluated);
  KORVO_LOG_USER("u %d", ++evaluated);
  LOG_WARN("w %d", ++evaluated);
  KORVO_LOG_ERRO("e %d", ++evaluated);
  // Out-of-range levels are filtered as the level they print as.
  LogWrite(-2, "x.cc", 1, "low");
  LogWrite(9, "x.cc", 1, "high");
  EXPECT_EQ(evaluated, 2);
  EXPECT_THAT(LevelsAndMessages(capture),
              ::testing::ElementsAre("WARN:w 1", "ERRO:e 2", "ERRO:high"));
  EXPECT_FALSE(LogEnabled(kLogUser));
  EXPECT_TRUE(LogEnabled(kLogWarn));
  EXPECT_TRUE(LogEnabled(9));
  EXPECT_FALSE(LogEnabled(-2));

  LogSetLevel(kLogErro + 1);
  LOG_ERRO("silenced");
  LogWrite(9, "x.cc", 1, "silenced");
  LogSetLevel(kLogVerb);
  LogWrite(-2, "x.cc", 1, "low again");
  EXPECT_THAT(LevelsAndMessages(capture),
              ::testing::ElementsAre("WARN:w 1", "ERRO:e 2", "ERRO:high", "VERB:low again"));
}

TEST(LoggerLevelTest, NothingIsEvaluatedWithoutDestination) {
  LevelGuard guard;
  LogInit({}, LOG_FLUSH);  // flushing alone writes nowhere
  int evaluated = 0;
  LOG_ERRO("%d", ++evaluated);
  EXPECT_FALSE(LogEnabled(kLogErro));
  EXPECT_EQ(evaluated, 0);

  // The minimum is a setting of its own: destinations coming and going keep it.
  LogSetLevel(kLogInfo);
  LogCapture capture;
  EXPECT_EQ(LogGetLevel(), kLogInfo);
  EXPECT_TRUE(LogEnabled(kLogInfo));
  EXPECT_FALSE(LogEnabled(kLogVerb));
  LOG_VERB("%d", ++evaluated);
  LOG_INFO("%d", ++evaluated);
  EXPECT_EQ(evaluated, 1);
  EXPECT_THAT(LevelsAndMessages(capture), ::testing::ElementsAre("INFO:1"));
}

TEST(LoggerLevelTest, ChangesWhileOthersLogKeepRecordsWhole) {
  LevelGuard guard;
  LogCapture capture;
  std::atomic<bool> done{false};
  std::thread writer([&done] {
    for (int i = 0; i < 5000; ++i) {
      LOG_INFO("info %d", i);
      LOG_ERRO("error %d", i);
    }
    done.store(true);
  });
  for (int round = 0; !done.load(); ++round) {
    LogSetLevel(round % 2 == 0 ? kLogErro : kLogVerb);
    LogInit(capture.GetPath().parent_path(), LOG_FILE | LOG_FLUSH);
  }
  writer.join();
  std::size_t errors = 0;
  for (const std::string& record : capture.Records()) {
    LogRecord parsed;
    ASSERT_TRUE(ParseLogRecord(record, parsed)) << record;
    if (parsed.level == "ERRO") ++errors;
  }
  // A minimum of ERRO never drops an error, whatever the interleaving.
  EXPECT_EQ(errors, 5000u);
}

TEST_F(ConsoleTest, PlainRecordMatchesFileFormat) {
  int line = 0;
  std::string output = Capture(false, kLogWarn, "plain", &line);
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(output.find('\x1b'), std::string::npos);
  EXPECT_THAT(output, ::testing::EndsWith(Tail("WARN", "main", line, "plain") + "\n"));
  EXPECT_THAT(output, ::testing::ContainsRegex("^[0-9]{4}-"));
}

TEST_F(ConsoleTest, ColourSequences) {
  int line = 0;
  std::string warn = Capture(true, kLogWarn, "careful", &line);
  EXPECT_THAT(warn, ::testing::StartsWith(std::string(kReset) + "\x1b[1;33m"));
  EXPECT_THAT(warn, ::testing::EndsWith(Tail("WARN", "main", line, "careful") + kReset + "\n"));

  std::string error = Capture(true, kLogErro, "broken", &line);
  EXPECT_THAT(error, ::testing::StartsWith(std::string(kReset) + "\x1b[1;31m"));
  std::string above = Capture(true, 7, "worse", &line);
  EXPECT_THAT(above, ::testing::StartsWith(std::string(kReset) + "\x1b[1;31m"));

  std::string info = Capture(true, kLogInfo, "calm", &line);
  EXPECT_THAT(info, ::testing::StartsWith(kReset));
  EXPECT_THAT(info.substr(sizeof(kReset) - 1), ::testing::ContainsRegex("^[0-9]{4}-"));
  EXPECT_THAT(info, ::testing::EndsWith(Tail("INFO", "main", line, "calm") + kReset + "\n"));
}

TEST(LoggerTest, FileAndConsoleTogether) {
  bool saved = internal::SetLogColorfulForTesting(true);
  ScratchDir dir;
  LogInit(dir.path(), LOG_FILE | LOG_CONSOLE | LOG_FLUSH);
  ::testing::internal::CaptureStderr();
  LOG_ERRO("twice %d", 2);
  std::string console = ::testing::internal::GetCapturedStderr();
  internal::SetLogColorfulForTesting(saved);
  std::vector<std::string> lines = ReadLines(dir.path() / "korvo.log");
  ASSERT_EQ(lines.size(), 1u);
  // The file never carries colour, whatever the console does.
  EXPECT_EQ(lines[0].find('\x1b'), std::string::npos);
  EXPECT_EQ(console, std::string(kReset) + "\x1b[1;31m" + lines[0] + kReset + "\n");
}

}  // namespace
}  // namespace korvo
