#include "korvo/body.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "korvo/error.h"
#include "korvo/internal/message_access.h"
#include "korvo/internal/utility.h"
#include "support/log_capture.h"
#include "support/payload_bytes.h"
#include "support/temp_dir.h"

namespace korvo {
namespace {

namespace fs = std::filesystem;
using test::BodyBytes;
using test::PayloadBytes;
using test::ScratchDir;

std::string BinaryBytes() {
  std::string bytes;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  }
  return bytes;
}

TEST(StringBodyTest, HandsOutItsOwnStringOncePerInit) {
  StringBody body("0123456789");
  EXPECT_EQ(body.GetSize(), 10);
  BodyAccess::InitPayload(body);
  detail::Payload first = BodyAccess::NextPayload(body, true);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].data(), static_cast<const void*>(body.GetData().data()));
  EXPECT_EQ(first[0].size(), 10u);
  EXPECT_TRUE(BodyAccess::NextPayload(body, true).empty());
  BodyAccess::InitPayload(body);
  detail::Payload again = BodyAccess::NextPayload(body, true);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].data(), first[0].data());
  EXPECT_EQ(body.GetData(), "0123456789");  // free_previous never releases the string
}

TEST(StringBodyTest, EmptyBodyHandsOutOneEmptyRange) {
  StringBody body("");
  EXPECT_EQ(body.GetSize(), 0);
  BodyAccess::InitPayload(body);
  detail::Payload payload = BodyAccess::NextPayload(body, true);
  ASSERT_EQ(payload.size(), 1u);
  EXPECT_EQ(payload[0].size(), 0u);
  EXPECT_TRUE(BodyAccess::NextPayload(body, true).empty());
  EXPECT_FALSE(body.IsCompressed());
  EXPECT_TRUE(StringBody("x", true).IsCompressed());
}

TEST(StringBodyTest, DumpIsBoundedTo2048Characters) {
  std::ostringstream empty;
  StringBody("").Dump(empty, "> ");
  EXPECT_EQ(empty.str(), "");

  std::ostringstream lines;
  StringBody("a\nb\n").Dump(lines, "> ");
  EXPECT_EQ(lines.str(), "> a\n> b\n> \n");

  std::ostringstream large;
  StringBody(std::string(3000, 'x')).Dump(large, "> ");
  EXPECT_EQ(large.str(), "> " + std::string(2048, 'x') + "...\n");

  std::ostringstream two;
  StringBody(std::string(1500, 'a') + "\n" + std::string(1500, 'b')).Dump(two, "");
  EXPECT_EQ(two.str(), std::string(1500, 'a') + "\n" + std::string(548, 'b') + "...\n");

  std::ostringstream exact;
  StringBody(std::string(2048, 'z')).Dump(exact, "");
  EXPECT_EQ(exact.str(), std::string(2048, 'z') + "\n");
}

TEST(FileBodyTest, HandsOutChunksAndStartsOverOnInit) {
  ScratchDir dir;
  FileBody body(dir.Write("ten", "0123456789"), 4);
  EXPECT_EQ(body.GetSize(), 10);
  std::vector<std::size_t> pieces;
  EXPECT_EQ(BodyBytes(body, &pieces), "0123456789");
  EXPECT_EQ(pieces, (std::vector<std::size_t>{4, 4, 2}));
  EXPECT_TRUE(BodyAccess::NextPayload(body, true).empty());
  EXPECT_EQ(BodyBytes(body), "0123456789");
}

TEST(FileBodyTest, BinaryAndEmptyFiles) {
  ScratchDir dir;
  FileBody binary(dir.Write("bin", BinaryBytes()), std::size_t{100});
  EXPECT_EQ(binary.GetSize(), 768);
  EXPECT_EQ(BodyBytes(binary), BinaryBytes());

  FileBody empty(dir.Write("empty", ""), 4);
  EXPECT_EQ(empty.GetSize(), 0);
  EXPECT_EQ(BodyBytes(empty), "");
}

TEST(FileBodyTest, ZeroChunkSizeStillSendsTheFile) {
  ScratchDir dir;
  FileBody body(dir.Write("f", "abc"), 0);
  EXPECT_EQ(BodyBytes(body), "abc");
  FileBody negative(dir.Write("g", "def"), -1);
  EXPECT_EQ(BodyBytes(negative), "def");
}

TEST(FileBodyTest, MissingFile) {
  ScratchDir dir;
  try {
    FileBody body(dir.path() / "absent", 4);
    FAIL() << "constructed over a missing file";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kFileError);
    EXPECT_EQ(error.message(), "Cannot read the file");
  }
  EXPECT_THROW(FileBody(dir.path(), 4), Error);  // a directory is no file

  fs::path file = dir.Write("gone", "abc");
  FileBody body(file, 4);
  fs::remove(file);
  try {
    BodyAccess::InitPayload(body);
    FAIL() << "InitPayload over a deleted file";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kFileError);
    EXPECT_EQ(error.message(), "Cannot read the file");
  }
}

// The size was sent as "Content-Length" before the file is read.
TEST(FileBodyTest, KeepsToTheMeasuredSize) {
  ScratchDir dir;
  const fs::path file = dir.Write("f", "0123456789");
  FileBody grown(file, 4);
  std::ofstream(file, std::ios::binary | std::ios::app) << "tail";
  EXPECT_EQ(BodyBytes(grown), "0123456789");

  FileBody shrunk(file, 4);
  dir.Write("f", "012345");
  BodyAccess::InitPayload(shrunk);
  EXPECT_EQ(PayloadBytes(BodyAccess::NextPayload(shrunk, true)), "0123");
  EXPECT_EQ(PayloadBytes(BodyAccess::NextPayload(shrunk, true)), "45");
  try {
    BodyAccess::NextPayload(shrunk, true);
    FAIL() << "a short file ended the body silently";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kFileError);
    EXPECT_EQ(error.message(), "File size changed");
  }
}

TEST(FileBodyTest, ReceivedFileBodyIsEmptyAndDeletesItsFile) {
  ScratchDir dir;
  fs::path file = dir.Write("received", "payload");
  {
    FileBody body(file, true);
    EXPECT_EQ(body.GetSize(), 0);
    EXPECT_EQ(BodyBytes(body), "");
    EXPECT_TRUE(fs::exists(file));
  }
  EXPECT_FALSE(fs::exists(file));

  fs::path kept = dir.Write("kept", "payload");
  { FileBody body(kept, false); }
  EXPECT_TRUE(fs::exists(kept));

  test::LogCapture log;
  { FileBody body(dir.path() / "never-written", true); }  // nothing to remove: no error
  EXPECT_TRUE(log.Records().empty());
}

TEST(FileBodyTest, Move) {
  ScratchDir dir;
  fs::path file = dir.Write("streamed", "payload");
  fs::path target = dir.path() / "saved";
  {
    FileBody body(file, true);
    EXPECT_FALSE(body.Move(file));
    EXPECT_EQ(body.GetPath(), file);
    EXPECT_TRUE(body.Move(target));
    EXPECT_TRUE(body.GetPath().empty());
    EXPECT_FALSE(fs::exists(file));
  }
  std::string moved;
  ASSERT_TRUE(ReadFile(target, moved));  // auto-delete no longer applies
  EXPECT_EQ(moved, "payload");
}

// A streamed body is private while it arrives; moved where the caller keeps it, it is
// an ordinary new file under the process's umask. A file the caller sent keeps its own.
TEST(FileBodyTest, MovedTemporaryFileGetsTheUmasksPermissions) {
  ScratchDir dir;
  const mode_t old_mask = ::umask(027);
  for (bool temporary : {true, false}) {
    SCOPED_TRACE(temporary);
    fs::path file = dir.Write(temporary ? "streamed" : "own", "payload");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    fs::path target = dir.path() / (temporary ? "saved" : "own-saved");
    FileBody body(file, temporary);
    ASSERT_TRUE(body.Move(target));
    EXPECT_EQ(fs::status(target).permissions(),
              temporary ? static_cast<fs::perms>(0640) : static_cast<fs::perms>(0600));
  }
  ::umask(old_mask);
}

// Streamed bodies land in the temporary directory, often another file system than the
// place they are moved to, where a plain rename fails.
TEST(FileBodyTest, MoveAcrossFileSystems) {
  ScratchDir dir;
  std::error_code error;
  const fs::path other_root = "/dev/shm";
  if (!fs::is_directory(other_root, error)) GTEST_SKIP() << "no second file system";
  const fs::path source = other_root / ("korvo-body-" + RandomString(12));
  if (!std::ofstream(source, std::ios::binary).write("payload", 7)) GTEST_SKIP() << "not writable";
  const fs::path target = dir.path() / "saved";
  {
    FileBody body(source, true);
    EXPECT_TRUE(body.Move(target));
    EXPECT_TRUE(body.GetPath().empty());
  }
  EXPECT_FALSE(fs::exists(source));
  std::string moved;
  ASSERT_TRUE(ReadFile(target, moved));
  EXPECT_EQ(moved, "payload");
  fs::remove(source, error);
}

TEST(FileBodyTest, FailedMoveIsLoggedAndKeepsTheFile) {
  ScratchDir dir;
  fs::path file = dir.Write("streamed", "payload");
  test::LogCapture log;
  FileBody body(file, true);
  EXPECT_FALSE(body.Move(dir.path() / "missing-dir" / "saved"));
  EXPECT_EQ(body.GetPath(), file);
  EXPECT_TRUE(fs::exists(file));
  const auto records = log.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].find("ERRO"), std::string::npos);
  EXPECT_NE(records[0].find("Failed to rename file ("), std::string::npos);
}

// The worked example: a string part and a text file part with boundary "B".
TEST(FormBodyTest, WorkedExample) {
  ScratchDir dir;
  auto text = FormPart::New("a", "1");
  auto file = FormPart::NewFile("f", dir.Write("x.txt", "hello"));
  FormBody body({text, file}, "B");

  EXPECT_EQ(FormPartAccess::GetSize(*text), 47);
  EXPECT_EQ(FormPartAccess::GetSize(*file), 95);
  EXPECT_EQ(body.GetSize(), 159);

  BodyAccess::InitPayload(body);
  const std::string first = PayloadBytes(BodyAccess::NextPayload(body, true));
  const std::string second = PayloadBytes(BodyAccess::NextPayload(body, true));
  EXPECT_TRUE(BodyAccess::NextPayload(body, true).empty());
  EXPECT_EQ(first,
            "--B\r\n"
            "Content-Disposition: form-data; name=\"a\"\r\n"
            "\r\n"
            "1\r\n");
  EXPECT_EQ(second,
            "--B\r\n"
            "Content-Disposition: form-data; name=\"f\"; filename=\"x.txt\"\r\n"
            "Content-Type: text/plain\r\n"
            "\r\n"
            "hello\r\n"
            "--B--\r\n");
  EXPECT_EQ(first.size() + second.size(), 159u);
}

TEST(FormBodyTest, EmptyFormIsTheClosingDelimiter) {
  FormBody body({}, "B");
  EXPECT_EQ(body.GetSize(), 7);
  EXPECT_EQ(BodyBytes(body), "--B--\r\n");
  EXPECT_EQ(BodyBytes(body), "--B--\r\n");
}

// A mixed form comes out byte for byte as when every part was sent in one piece, for any
// chunk size, on every send, and after a send abandoned half way.
TEST(FormBodyTest, SameBytesForEveryChunkSizeAndEverySend) {
  ScratchDir dir;
  FormParts parts = {
      FormPart::New("text", "value", "text/plain"),
      FormPart::NewFile("binary", dir.Write("data.bin", BinaryBytes())),
      FormPart::New("empty", ""),
      FormPart::NewFile("nothing", dir.Write("empty.json", "")),
      FormPart::New("quote\"name", "x"),
      FormPart::NewFile("odd", dir.Write("we\"ird.txt", "odd")),
  };
  const std::string boundary = "0123456789abcdefghijABCDEFGHIJ";
  const std::string delimiter = "--" + boundary + "\r\n";
  const std::string expected =
      delimiter +
      "Content-Disposition: form-data; name=\"text\"\r\n"
      "Content-Type: text/plain\r\n"
      "\r\n"
      "value\r\n" +
      delimiter +
      "Content-Disposition: form-data; name=\"binary\"; filename=\"data.bin\"\r\n"
      "Content-Type: application/text\r\n"
      "\r\n" +
      BinaryBytes() + "\r\n" + delimiter +
      "Content-Disposition: form-data; name=\"empty\"\r\n"
      "\r\n"
      "\r\n" +
      delimiter +
      "Content-Disposition: form-data; name=\"nothing\"; filename=\"empty.json\"\r\n"
      "Content-Type: application/json\r\n"
      "\r\n"
      "\r\n" +
      delimiter +
      "Content-Disposition: form-data; name=\"quote%22name\"\r\n"
      "\r\n"
      "x\r\n" +
      delimiter +
      "Content-Disposition: form-data; name=\"odd\"; filename=\"we%22ird.txt\"\r\n"
      "Content-Type: text/plain\r\n"
      "\r\n"
      "odd\r\n"
      "--" + boundary + "--\r\n";

  const struct {
    int chunk_size;
    std::size_t payloads;
  } cases[] = {{0, 6}, {-3, 6}, {1, 775}, {7, 115}, {256, 8}, {768, 6}, {769, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE("chunk size " + std::to_string(c.chunk_size));
    FormBody body(parts, boundary, c.chunk_size);
    EXPECT_EQ(body.GetSize(), static_cast<std::int64_t>(expected.size()));
    std::vector<std::size_t> pieces;
    EXPECT_EQ(BodyBytes(body, &pieces), expected);
    EXPECT_EQ(pieces.size(), c.payloads);
    EXPECT_EQ(BodyBytes(body), expected);

    BodyAccess::InitPayload(body);
    BodyAccess::NextPayload(body, true);
    BodyAccess::NextPayload(body, true);  // into the binary file
    EXPECT_EQ(BodyBytes(body), expected);
  }
  for (const auto& part : parts) {
    if (part->IsFile()) {
      EXPECT_TRUE(part->GetData().empty());
    }
  }
  EXPECT_EQ(parts[0]->GetData(), "value");
}

// A file part's fields ride with its first chunk and its closing CRLF with its last; a
// string part is one range over its own value.
TEST(FormBodyTest, FilePartComesOutInChunks) {
  ScratchDir dir;
  auto first = FormPart::New("a", "1");
  FormBody body({first, FormPart::NewFile("f", dir.Write("ten.bin", "0123456789")),
                 FormPart::New("z", "9")},
                "B", 4);
  body.GetSize();
  BodyAccess::InitPayload(body);
  const detail::Payload opening = BodyAccess::NextPayload(body, true);
  EXPECT_EQ(PayloadBytes(opening), "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n");
  EXPECT_TRUE(std::any_of(opening.begin(), opening.end(), [&](const auto& range) {
    return range.data() == static_cast<const void*>(first->GetData().data());
  }));
  std::vector<std::string> rest;
  for (detail::Payload payload; !(payload = BodyAccess::NextPayload(body, true)).empty();) {
    rest.push_back(PayloadBytes(payload));
  }
  EXPECT_EQ(rest, (std::vector<std::string>{
                      "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"ten.bin\"\r\n"
                      "Content-Type: application/text\r\n\r\n0123",
                      "4567",
                      "89\r\n",
                      "--B\r\nContent-Disposition: form-data; name=\"z\"\r\n\r\n9\r\n--B--\r\n",
                  }));
}

// What the body hands out until it fails, and the kFileError message it fails with;
// `change` runs before each NextPayload with the number of payloads handed out so far.
struct Failure {
  std::int64_t handed = 0;
  std::string message;
};

Failure DrainToFailure(Body& body, const std::function<void(int)>& change) {
  Failure failure;
  try {
    BodyAccess::InitPayload(body);
    for (int count = 0;; ++count) {
      change(count);
      const detail::Payload payload = BodyAccess::NextPayload(body, true);
      if (payload.empty()) return failure;
      failure.handed += static_cast<std::int64_t>(PayloadBytes(payload).size());
    }
  } catch (const Error& error) {
    failure.message = error.code() == kFileError ? error.message() : "another code";
  }
  return failure;
}

// The size was sent as "Content-Length" before the file is read; a file part keeps to it
// as FileBody does, and the next send of the restored file is whole again.
TEST(FormBodyTest, FileThatChangedSizeFails) {
  const struct {
    const char* name;
    int after;  // payloads handed out before the change
    const char* content;
  } cases[] = {
      {"grown before the send", 0, "0123456789tail"},
      {"shrunk before the send", 0, "012345"},
      {"emptied before the send", 0, ""},
      {"grown after its first chunk", 2, "0123456789tail"},
      {"shrunk after its first chunk", 2, "012345"},
      {"shrunk to the bytes already sent", 2, "0123"},
      {"grown before its last chunk", 3, "0123456789tail"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const fs::path file = dir.Write("ten.txt", "0123456789");
    FormBody body({FormPart::New("a", "1"), FormPart::NewFile("f", file)}, "B", 4);
    const std::int64_t size = body.GetSize();
    const std::string whole = BodyBytes(body);
    const Failure failure = DrainToFailure(body, [&](int count) {
      if (count == c.after) dir.Write("ten.txt", c.content);
    });
    EXPECT_EQ(failure.message, "File size changed");
    EXPECT_LT(failure.handed, size);
    dir.Write("ten.txt", "0123456789");
    EXPECT_EQ(BodyBytes(body), whole);
  }
}

TEST(FormBodyTest, MissingFiles) {
  ScratchDir dir;
  FormBody absent({FormPart::New("a", "1"), FormPart::NewFile("f", dir.path() / "absent.txt")},
                  "B");
  try {
    absent.GetSize();
    FAIL() << "sized a missing file";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kFileError);
    EXPECT_EQ(error.message(), "Cannot read the file");
  }

  const struct {
    const char* name;
    bool first;     // the file part comes before the string part
    bool measured;  // GetSize ran before the file vanished
  } cases[] = {{"second part", false, true}, {"first part", true, true},
               {"never measured", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = dir.Write("late.txt", "late");
    FormParts parts = {FormPart::New("a", "1"), FormPart::NewFile("f", file)};
    if (c.first) std::swap(parts[0], parts[1]);
    FormBody late(parts, "B");
    if (c.measured) {
      EXPECT_GT(late.GetSize(), 0);
    }
    fs::remove(file);
    const Failure failure = DrainToFailure(late, [](int) {});
    EXPECT_EQ(failure.message, "Cannot read the file");
    EXPECT_EQ(failure.handed, c.first ? 0 : 52);  // the string part and its delimiter
  }
}

void ReadAll(int fd, std::string& out) {
  char buffer[256];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof(buffer));
    if (count > 0) {
      out.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      return;
    }
  }
}

// Drains a form with the file part, in a child process so that no other test's peak
// hides the growth; reports "<bytes handed out> <size> <peak growth in KiB>".
std::string DrainAndMeasure(const fs::path& file) {
  try {
    FormBody body({FormPart::New("a", "1"), FormPart::NewFile("f", file)}, "B");
    const std::int64_t size = body.GetSize();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const long before = usage.ru_maxrss;
    std::int64_t handed = 0;
    BodyAccess::InitPayload(body);
    for (detail::Payload payload; !(payload = BodyAccess::NextPayload(body, true)).empty();) {
      for (const auto& range : payload) handed += static_cast<std::int64_t>(range.size());
    }
    ::getrusage(RUSAGE_SELF, &usage);
    return std::to_string(handed) + " " + std::to_string(size) + " " +
           std::to_string(usage.ru_maxrss - before);
  } catch (const std::exception& exception) {
    return std::string("error: ") + exception.what();
  }
}

// A part read whole made a 300 MB upload 298 MB resident; chunks keep it to one buffer.
TEST(FormBodyTest, LargeFilePartStaysOutOfMemory) {
  constexpr off_t kFileSize = off_t{256} << 20;
  constexpr long kLimitKib = 16 << 10;
  ScratchDir dir;
  const fs::path file = dir.path() / "sparse.bin";
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const int truncated = ::ftruncate(fd, kFileSize);  // a hole: no disk, no page cache
  ::close(fd);
  ASSERT_EQ(truncated, 0);

  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    const std::string report = DrainAndMeasure(file);
    const bool written = ::write(ends[1], report.data(), report.size()) ==
                         static_cast<ssize_t>(report.size());
    ::_exit(written ? 0 : 1);
  }
  ::close(ends[1]);
  std::string report;
  if (child > 0) ReadAll(ends[0], report);
  ::close(ends[0]);
  ASSERT_GT(child, 0) << "fork failed";
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;

  std::istringstream fields(report);
  std::int64_t handed = 0, size = 0;
  long growth_kib = 0;
  ASSERT_TRUE(fields >> handed >> size >> growth_kib) << report;
  EXPECT_GT(size, kFileSize);
  EXPECT_EQ(handed, size);
  EXPECT_LT(growth_kib, kLimitKib);
}

TEST(FormBodyTest, Dump) {
  FormBody body({FormPart::New("k", "v")}, "B");
  std::ostringstream unmeasured;
  body.Dump(unmeasured, "> ");
  EXPECT_EQ(unmeasured.str(), "> --B\n> \n> v\n> --B--\n");
  body.GetSize();
  std::ostringstream measured;
  body.Dump(measured, "> ");
  EXPECT_EQ(measured.str(),
            "> --B\n> Content-Disposition: form-data; name=\"k\"\n> \n> v\n> --B--\n");
}

}  // namespace
}  // namespace korvo
