#include "korvo/internal/utility.h"

#include <ctime>
#include <fstream>
#include <iomanip>
#include <locale>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace korvo {
namespace {

using Views = std::vector<std::string_view>;

Views SplitAll(std::string_view text, char delimiter, bool compress) {
  Views parts;
  Split(text, delimiter, compress, parts);
  return parts;
}

std::string AllBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

using test::ScratchDir;

TEST(RandomStringTest, LengthAndAlphabet) {
  EXPECT_EQ(RandomString(0), "");
  EXPECT_EQ(RandomString(10).size(), 10u);

  // 20000 draws miss one of 62 characters with negligible probability, so a short
  // alphabet or an off-by-one in the distribution shows up here.
  std::string sample = RandomString(20000);
  std::set<char> seen(sample.begin(), sample.end());
  std::string expected = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  EXPECT_EQ(seen, std::set<char>(expected.begin(), expected.end()));
}

TEST(RandomStringTest, ThreadsDrawIndependentSequences) {
  constexpr int kThreads = 4;
  std::vector<std::string> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&results, i] {
      for (int n = 0; n < 200; ++n) results[i] += RandomString(30);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> distinct(results.begin(), results.end());
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads));
  for (const std::string& result : results) EXPECT_EQ(result.size(), 6000u);
}

TEST(Base64Test, KnownVectors) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("a"), "YQ==");
  EXPECT_EQ(Base64Encode("ab"), "YWI=");
  EXPECT_EQ(Base64Encode("abc"), "YWJj");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("user:pass"), "dXNlcjpwYXNz");
  const unsigned char high[] = {0xFF, 0xFE, 0xFD};
  EXPECT_EQ(Base64Encode(high, sizeof(high)), "//79");
  EXPECT_EQ(Base64Encode(high, 0), "");
}

TEST(Base64Test, RoundTripsEveryByteAtEveryRemainder) {
  std::string bytes = AllBytes();
  for (std::size_t length = 250; length <= bytes.size(); ++length) {
    std::string data = bytes.substr(bytes.size() - length);
    std::string encoded = Base64Encode(data);
    EXPECT_EQ(encoded.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(Base64Encode(data.data(), data.size()), encoded);
    EXPECT_EQ(Base64Decode(encoded), data) << "length " << length;
  }
}

TEST(Base64Test, DecodeStopsAtPaddingOrForeignCharacter) {
  EXPECT_EQ(Base64Decode("YWJj"), "abc");
  EXPECT_EQ(Base64Decode("YQ=="), "a");
  EXPECT_EQ(Base64Decode("YW Jj"), "a");
  EXPECT_EQ(Base64Decode("YWJj\r\nYWJj"), "abc");
  EXPECT_EQ(Base64Decode("YWJjZA==YWJj"), "abcd");
  EXPECT_EQ(Base64Decode("YWI"), "ab");   // unpadded
  EXPECT_EQ(Base64Decode("YWJjZ"), "abc");  // a lone sixth of a byte gives nothing
  EXPECT_EQ(Base64Decode("=YWJj"), "");
  EXPECT_EQ(Base64Decode(""), "");
}

// A facet that would print day and month names in a made-up language.
class FakeTimePut : public std::time_put<char> {
 protected:
  iter_type do_put(iter_type out, std::ios_base&, char_type, const std::tm*, char, char) const override {
    for (char c : std::string("xx")) *out++ = c;
    return out;
  }
};

TEST(GetHttpDateTest, EnglishUtcWhateverTheGlobalLocale) {
  std::locale saved = std::locale::global(std::locale(std::locale::classic(), new FakeTimePut));
  std::time_t before = std::time(nullptr);
  std::string date = GetHttpDate();
  std::time_t after = std::time(nullptr);
  std::locale::global(saved);

  ASSERT_THAT(date, ::testing::MatchesRegex(
                        "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} "
                        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                        "[0-9]{2}:[0-9]{2}:[0-9]{2} GMT"));

  std::tm parsed{};
  std::istringstream stream(date);
  stream.imbue(std::locale::classic());
  stream >> std::get_time(&parsed, "%a, %d %b %Y %H:%M:%S GMT");
  ASSERT_FALSE(stream.fail()) << date;
  std::time_t seconds = timegm(&parsed);
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
}

TEST(SplitTest, PiecesAndCompression) {
  EXPECT_EQ(SplitAll("", ',', false), Views({""}));
  EXPECT_EQ(SplitAll("abc", ',', false), Views({"abc"}));
  EXPECT_EQ(SplitAll("a,b,", ',', false), Views({"a", "b", ""}));
  EXPECT_EQ(SplitAll(",a", ',', false), Views({"", "a"}));
  EXPECT_EQ(SplitAll("a,,b", ',', false), Views({"a", "", "b"}));
  EXPECT_EQ(SplitAll("a,,b", ',', true), Views({"a", "b"}));
  EXPECT_EQ(SplitAll("a,,,", ',', true), Views({"a", ""}));

  Views parts{"kept"};
  Split("x;y", ';', false, parts);
  EXPECT_EQ(parts, Views({"kept", "x", "y"}));  // appends, does not replace
}

TEST(SplitKVTest, ViewsAndStrings) {
  std::string_view key = "old", value = "old";
  EXPECT_FALSE(SplitKV("abc", ':', true, key, value));
  EXPECT_FALSE(SplitKV("", ':', true, key, value));
  EXPECT_EQ(key, "old");
  EXPECT_EQ(value, "old");

  ASSERT_TRUE(SplitKV(" Name :  value ", ':', true, key, value));
  EXPECT_EQ(key, "Name");
  EXPECT_EQ(value, "value");
  ASSERT_TRUE(SplitKV("Name:\tvalue", ':', true, key, value));
  EXPECT_EQ(value, "\tvalue");  // only blanks are trimmed
  ASSERT_TRUE(SplitKV("a:b:c", ':', false, key, value));
  EXPECT_EQ(key, "a");
  EXPECT_EQ(value, "b:c");
  ASSERT_TRUE(SplitKV(" a : b ", ':', false, key, value));
  EXPECT_EQ(key, " a ");
  EXPECT_EQ(value, " b ");

  std::string key_text = "old", value_text = "old";
  ASSERT_TRUE(SplitKV("k=", '=', false, key_text, value_text));
  EXPECT_EQ(key_text, "k");
  EXPECT_EQ(value_text, "");
  EXPECT_FALSE(SplitKV("none", '=', false, key_text, value_text));
  EXPECT_EQ(key_text, "k");
}

TEST(TrimTest, BothEndsWithChosenBytes) {
  std::string_view text = "  a b  ";
  Trim(text);
  EXPECT_EQ(text, "a b");
  text = "    ";
  Trim(text);
  EXPECT_EQ(text, "");
  text = "";
  Trim(text);
  EXPECT_EQ(text, "");
  text = "\t a \r\n";
  Trim(text);
  EXPECT_EQ(text, "\t a \r\n");
  Trim(text, " \t\r\n");
  EXPECT_EQ(text, "a");
}

TEST(ToSizeTTest, BasesPrefixesAndStops) {
  struct Case {
    const char* text;
    int base;
    std::size_t expected;
  };
  const Case cases[] = {
      {"0", 10, 0},
      {"12abc", 10, 12},
      {"  \t42", 10, 42},
      {"+7", 10, 7},
      {"-1", 10, 4294967295u},
      {"-0", 10, 0},
      {"4294967295", 10, 4294967295u},
      {"1a", 16, 26},
      {"0x1A", 16, 26},
      {"0X1a", 16, 26},
      {"ffffffff", 16, 4294967295u},
      {"0x", 16, 0},   // the "0" is the number, "x" stops it
      {"0xg", 16, 0},
      {"0x1A", 10, 0},
      {"1a;ext=1", 16, 26},
  };
  for (const Case& c : cases) {
    std::size_t value = 123;
    EXPECT_TRUE(ToSizeT(c.text, c.base, value)) << c.text;
    EXPECT_EQ(value, c.expected) << c.text;
  }
}

TEST(ToSizeTTest, FailuresLeaveValueUntouched) {
  const std::pair<const char*, int> failures[] = {
      {"", 10},           {"zz", 16},         {"-", 10},  {"- 5", 10},
      {"4294967296", 10}, {"100000000", 16},  {"99999999999999999999999", 10},
      {"a", 10},
  };
  for (const auto& [text, base] : failures) {
    std::size_t value = 123;
    EXPECT_FALSE(ToSizeT(text, base, value)) << text;
    EXPECT_EQ(value, 123u) << text;
  }
}

TEST(ToSizeTTest, StopsAtTheEndOfTheView) {
  std::string text = "12345";
  std::size_t value = 0;
  ASSERT_TRUE(ToSizeT(std::string_view(text).substr(0, 2), 10, value));
  EXPECT_EQ(value, 12u);
}

TEST(FileHelpersTest, ReadsAndMeasuresBinaryFiles) {
  ScratchDir dir;
  std::string content = AllBytes() + std::string("\r\n\0tail", 7);
  std::filesystem::path file = dir.Write("data.bin", content);
  std::filesystem::path empty = dir.Write("empty", "");

  EXPECT_EQ(GetFileSize(file), static_cast<std::int64_t>(content.size()));
  std::string read = "previous";
  ASSERT_TRUE(ReadFile(file, read));
  EXPECT_EQ(read, content);

  EXPECT_EQ(GetFileSize(empty), 0);
  ASSERT_TRUE(ReadFile(empty, read));
  EXPECT_EQ(read, "");
}

TEST(FileHelpersTest, MissingFilesAndDirectoriesAreRefused) {
  ScratchDir dir;
  std::string read;
  EXPECT_EQ(GetFileSize(dir.path() / "missing"), -1);
  EXPECT_FALSE(ReadFile(dir.path() / "missing", read));
  // A directory opens for reading on Linux and claims a size of 2^63 - 1.
  EXPECT_EQ(GetFileSize(dir.path()), -1);
  EXPECT_FALSE(ReadFile(dir.path(), read));
}

std::string Printed(std::string_view text, const std::string& prefix = "> ") {
  std::ostringstream stream;
  PrintLines(text, stream, prefix);
  return stream.str();
}

TEST(PrintLinesTest, PrefixesEveryLine) {
  EXPECT_EQ(Printed(""), "> \n");
  EXPECT_EQ(Printed("a\nb"), "> a\n> b\n");
  EXPECT_EQ(Printed("a\n"), "> a\n> \n");
  EXPECT_EQ(Printed("a\r\nb", ""), "a\r\nb\n");
}

TEST(PrintLinesTest, StopsAfter2048Characters) {
  std::string long_line(3000, 'x');
  EXPECT_EQ(Printed(long_line), "> " + std::string(2048, 'x') + "...\n");

  std::string two = std::string(1500, 'a') + "\n" + std::string(1500, 'b') + "\nc";
  EXPECT_EQ(Printed(two), "> " + std::string(1500, 'a') + "\n> " + std::string(548, 'b') + "...\n");

  // Line feeds do not count: exactly 2048 characters of text print whole.
  std::string exact = std::string(1024, 'a') + "\n" + std::string(1024, 'b');
  EXPECT_EQ(Printed(exact), "> " + std::string(1024, 'a') + "\n> " + std::string(1024, 'b') + "\n");

  // The limit falls on a line boundary: the next line prints as an empty cut line.
  EXPECT_EQ(Printed(std::string(2048, 'a') + "\nb"), "> " + std::string(2048, 'a') + "\n> ...\n");
}

TEST(UserAgentTest, ProductToken) {
  EXPECT_EQ(UserAgent(), "Korvo/0.2.0");
  EXPECT_EQ(&UserAgent(), &UserAgent());
}

TEST(EndpointToStringTest, AddressPortAndFamily) {
  namespace ip = boost::asio::ip;
  ip::tcp::endpoint v4(ip::make_address("127.0.0.1"), 8080);
  ip::tcp::endpoint v6(ip::make_address("::1"), 443);
  ip::tcp::endpoint mapped(ip::make_address("::ffff:127.0.0.1"), 80);
  EXPECT_EQ(EndpointToString(v4), "127.0.0.1:8080, v4");
  EXPECT_EQ(EndpointToString(v6), "[::1]:443, v6");
  EXPECT_EQ(EndpointToString(mapped), "[::ffff:127.0.0.1]:80, v6");

  // Boost.Asio has its own operator for endpoints; ours must win without ambiguity.
  std::ostringstream stream;
  stream << v4 << " / " << v6;
  EXPECT_EQ(stream.str(), "127.0.0.1:8080, v4 / [::1]:443, v6");
}

}  // namespace
}  // namespace korvo
