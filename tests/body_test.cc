#include "korvo/body.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "korvo/error.h"
#include "korvo/utility.h"
#include "support/log_capture.h"

namespace korvo {
namespace {

namespace fs = std::filesystem;

// A scratch directory removed with everything in it when the test ends.
class ScratchDir {
 public:
  ScratchDir() : path_(fs::temp_directory_path() / ("korvo-body-" + RandomString(12))) {
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path Write(const std::string& name, const std::string& bytes) const {
    fs::path file = path_ / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string Bytes(const Payload& payload) {
  std::string bytes;
  for (const auto& range : payload) bytes.append(static_cast<const char*>(range.data()), range.size());
  return bytes;
}

// Every byte the body hands out, following the driver's protocol.
std::string Drain(Body& body, std::vector<std::size_t>* pieces = nullptr) {
  body.InitPayload();
  std::string bytes;
  for (;;) {
    Payload payload = body.NextPayload(true);
    if (payload.empty()) return bytes;
    if (pieces != nullptr) pieces->push_back(Bytes(payload).size());
    bytes += Bytes(payload);
  }
}

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
  body.InitPayload();
  Payload first = body.NextPayload(true);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].data(), static_cast<const void*>(body.GetData().data()));
  EXPECT_EQ(first[0].size(), 10u);
  EXPECT_TRUE(body.NextPayload(true).empty());
  body.InitPayload();
  Payload again = body.NextPayload(true);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].data(), first[0].data());
  EXPECT_EQ(body.GetData(), "0123456789");  // free_previous never releases the string
}

TEST(StringBodyTest, EmptyBodyHandsOutOneEmptyRange) {
  StringBody body("");
  EXPECT_EQ(body.GetSize(), 0);
  body.InitPayload();
  Payload payload = body.NextPayload(true);
  ASSERT_EQ(payload.size(), 1u);
  EXPECT_EQ(payload[0].size(), 0u);
  EXPECT_TRUE(body.NextPayload(true).empty());
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
  EXPECT_EQ(Drain(body, &pieces), "0123456789");
  EXPECT_EQ(pieces, (std::vector<std::size_t>{4, 4, 2}));
  EXPECT_TRUE(body.NextPayload(true).empty());
  EXPECT_EQ(Drain(body), "0123456789");
}

TEST(FileBodyTest, BinaryAndEmptyFiles) {
  ScratchDir dir;
  FileBody binary(dir.Write("bin", BinaryBytes()), std::size_t{100});
  EXPECT_EQ(binary.GetSize(), 768);
  EXPECT_EQ(Drain(binary), BinaryBytes());

  FileBody empty(dir.Write("empty", ""), 4);
  EXPECT_EQ(empty.GetSize(), 0);
  EXPECT_EQ(Drain(empty), "");
}

TEST(FileBodyTest, ZeroChunkSizeStillSendsTheFile) {
  ScratchDir dir;
  FileBody body(dir.Write("f", "abc"), 0);
  EXPECT_EQ(Drain(body), "abc");
  FileBody negative(dir.Write("g", "def"), -1);
  EXPECT_EQ(Drain(negative), "def");
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
    body.InitPayload();
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
  EXPECT_EQ(Drain(grown), "0123456789");

  FileBody shrunk(file, 4);
  dir.Write("f", "012345");
  shrunk.InitPayload();
  EXPECT_EQ(Bytes(shrunk.NextPayload(true)), "0123");
  EXPECT_EQ(Bytes(shrunk.NextPayload(true)), "45");
  try {
    shrunk.NextPayload(true);
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
    EXPECT_EQ(Drain(body), "");
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

  EXPECT_EQ(text->GetSize(), 47);
  EXPECT_EQ(file->GetSize(), 95);
  EXPECT_EQ(body.GetSize(), 159);

  body.InitPayload();
  const std::string first = Bytes(body.NextPayload(true));
  const std::string second = Bytes(body.NextPayload(true));
  EXPECT_TRUE(body.NextPayload(true).empty());
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

TEST(FormBodyTest, SizeMatchesBytesForMixedPartsAndASecondSend) {
  ScratchDir dir;
  FormParts parts = {
      FormPart::New("text", "value", "text/plain"),
      FormPart::NewFile("binary", dir.Write("data.bin", BinaryBytes())),
      FormPart::New("empty", ""),
      FormPart::NewFile("nothing", dir.Write("empty.json", "")),
      FormPart::New("quote\"name", "x"),
      FormPart::NewFile("odd", dir.Write("we\"ird.txt", "odd")),
  };
  FormBody body(parts, "0123456789abcdefghijABCDEFGHIJ");
  const std::int64_t size = body.GetSize();
  const std::string bytes = Drain(body);
  EXPECT_EQ(static_cast<std::int64_t>(bytes.size()), size);
  EXPECT_NE(bytes.find(BinaryBytes()), std::string::npos);
  EXPECT_NE(bytes.find("filename=\"we%22ird.txt\""), std::string::npos);

  for (const auto& part : parts) {
    if (part->IsFile()) {
      EXPECT_TRUE(part->GetData().empty());
    }
  }
  EXPECT_EQ(parts[0]->GetData(), "value");
  EXPECT_EQ(body.GetSize(), size);
  EXPECT_EQ(Drain(body), bytes);
}

TEST(FormBodyTest, OneFileInMemoryAtATime) {
  ScratchDir dir;
  auto first = FormPart::NewFile("one", dir.Write("1.txt", "first"));
  auto second = FormPart::NewFile("two", dir.Write("2.txt", "second"));
  FormBody body({first, second}, "b");
  body.InitPayload();
  body.NextPayload(true);
  EXPECT_EQ(first->GetData(), "first");
  body.NextPayload(true);
  EXPECT_TRUE(first->GetData().empty());
  EXPECT_EQ(second->GetData(), "second");
  EXPECT_TRUE(body.NextPayload(true).empty());
  EXPECT_TRUE(second->GetData().empty());

  FormBody keep({FormPart::NewFile("one", dir.path() / "1.txt")}, "b");
  keep.InitPayload();
  keep.NextPayload(false);
  keep.NextPayload(false);
  EXPECT_EQ(keep.GetParts()[0]->GetData(), "first");
  keep.FreePart(0);
  keep.FreePart(7);
  EXPECT_TRUE(keep.GetParts()[0]->GetData().empty());
}

TEST(FormBodyTest, EmptyFormIsTheClosingDelimiter) {
  FormBody body({}, "B");
  EXPECT_EQ(body.GetSize(), 7);
  EXPECT_EQ(Drain(body), "--B--\r\n");
  EXPECT_EQ(Drain(body), "--B--\r\n");
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

  fs::path file = dir.Write("late.txt", "late");
  FormBody late({FormPart::New("a", "1"), FormPart::NewFile("f", file)}, "B");
  EXPECT_GT(late.GetSize(), 0);
  fs::remove(file);
  late.InitPayload();
  EXPECT_FALSE(late.NextPayload(true).empty());
  EXPECT_THROW(late.NextPayload(true), Error);
}

TEST(FormBodyTest, KeepsToTheMeasuredFileSizes) {
  ScratchDir dir;
  const fs::path file = dir.Write("f.txt", "hello");
  FormBody grown({FormPart::NewFile("f", file)}, "B");
  const std::int64_t size = grown.GetSize();
  std::ofstream(file, std::ios::binary | std::ios::app) << " world";
  const std::string bytes = Drain(grown);
  EXPECT_EQ(static_cast<std::int64_t>(bytes.size()), size);
  EXPECT_NE(bytes.find("\r\n\r\nhello\r\n--B--"), std::string::npos);

  FormBody shrunk({FormPart::NewFile("f", file)}, "B");
  shrunk.GetSize();
  dir.Write("f.txt", "hi");
  shrunk.InitPayload();
  try {
    shrunk.NextPayload(true);
    FAIL() << "a short file was sent under the measured length";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kFileError);
    EXPECT_EQ(error.message(), "File size changed");
  }
  EXPECT_TRUE(shrunk.GetParts()[0]->GetData().empty());
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
