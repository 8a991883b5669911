// Message parsing: heads, framing, bodies in memory and in temporary files, and the
// same results however the bytes are split.
#include "korvo/internal/parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "korvo/body.h"
#include "korvo/response.h"
#include "korvo/internal/response_parser.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace korvo {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything a parse leaves behind, for comparing parses of the same bytes.
struct Outcome {
  bool ok = true;
  bool finished = false;
  bool header_ended = false;
  bool framing_safe = true;
  std::uint64_t header_length = 0;
  std::uint64_t content_length = 0;
  int status = 0;
  std::string reason;
  std::string start_line;
  std::vector<std::pair<std::string, std::string>> headers;
  std::int64_t message_length = 0;
  std::string body;
  bool file_body = false;
  std::string failure;  // the parser's reason, not compared: it follows `ok`

  bool operator==(const Outcome& o) const {
    return ok == o.ok && finished == o.finished && header_ended == o.header_ended &&
           framing_safe == o.framing_safe && header_length == o.header_length &&
           content_length == o.content_length && status == o.status &&
           reason == o.reason && start_line == o.start_line && headers == o.headers &&
           message_length == o.message_length && body == o.body &&
           file_body == o.file_body;
  }
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << "{ok=" << o.ok << " finished=" << o.finished << " safe=" << o.framing_safe
     << " head=" << o.header_length << " status=" << o.status << " reason='" << o.reason
     << "' headers=" << o.headers.size() << " body='" << o.body << "'}";
  return os;
}

// Feeds `wire` cut at `cuts` (ascending offsets) and stops at the first failure, as
// the request driver does.
Outcome ParseCut(const std::string& wire, const std::vector<std::size_t>& cuts,
                 bool stream = false, bool ignore_body = false) {
  Response response;
  ResponseParser parser;
  parser.Init(&response, stream);
  parser.SetIgnoreBody(ignore_body);
  Outcome out;
  std::size_t begin = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(wire.size());
  for (std::size_t end : ends) {
    if (!parser.Parse(wire.data() + begin, end - begin)) {
      out.ok = false;
      break;
    }
    begin = end;
  }
  out.failure = parser.GetFailure();
  out.finished = parser.IsFinished();
  out.header_ended = parser.IsHeaderEnded();
  out.framing_safe = parser.IsFramingSafe();
  out.header_length = parser.GetHeaderLength();
  out.content_length = parser.GetContentLength();
  out.status = response.GetStatus();
  out.reason = response.GetReason();
  out.start_line = response.GetStartLine();
  for (const auto& field : response.GetHeaders()) out.headers.push_back(field);
  out.message_length = response.GetContentLength();
  if (auto file = response.GetFileBody()) {
    out.file_body = true;
    out.body = ReadAll(file->GetPath());
  } else {
    out.body = response.GetData();
  }
  return out;
}

Outcome ParseWhole(const std::string& wire, bool stream = false) {
  return ParseCut(wire, {}, stream);
}

// One piece, one byte at a time, and every split into two pieces all agree.
void ExpectSameAtEverySplit(const std::string& wire, bool stream = false) {
  SCOPED_TRACE(wire);
  const Outcome whole = ParseCut(wire, {}, stream);
  std::vector<std::size_t> bytes;
  for (std::size_t i = 1; i < wire.size(); ++i) bytes.push_back(i);
  EXPECT_EQ(ParseCut(wire, bytes, stream), whole) << "one byte at a time";
  for (std::size_t i = 0; i <= wire.size(); ++i) {
    EXPECT_EQ(ParseCut(wire, {i}, stream), whole) << "split at " << i;
  }
}

// Points the temporary directory at a private one for the test.
class TempDirTest : public ::testing::Test {
 protected:
  std::vector<fs::path> Files() const { return temp_.Files(); }

  test::PrivateTempDir temp_;
  const fs::path& dir_ = temp_.path();
};

// ---------------------------------------------------------------------------------
// Heads

TEST(ParserHead, ContentLengthBodyInOnePiece) {
  Outcome out = ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_TRUE(out.ok);
  EXPECT_TRUE(out.finished);
  EXPECT_TRUE(out.framing_safe);
  EXPECT_EQ(out.body, "hello");
  EXPECT_EQ(out.header_length, 38u);
  EXPECT_EQ(out.content_length, 5u);
  EXPECT_EQ(out.message_length, 5);
  EXPECT_EQ(out.start_line, "HTTP/1.1 200 OK");
  ASSERT_EQ(out.headers.size(), 1u);
  EXPECT_EQ(out.headers[0].first, "Content-Length");
  EXPECT_EQ(out.headers[0].second, "5");
}

TEST(ParserHead, FieldsAreTrimmedOfSpacesOnlyAndEmptyValuesNotStored) {
  Outcome out = ParseWhole(
      "HTTP/1.1 200 OK\r\nX-A :  one two  \r\nX-Tab:\tv\r\nX-Empty:\r\n"
      "X-Colon: a:b\r\ncontent-length: 3\r\n\r\nabc");
  ASSERT_TRUE(out.ok);
  std::vector<std::pair<std::string, std::string>> expected = {
      {"X-A", "one two"}, {"X-Tab", "\tv"}, {"X-Colon", "a:b"}, {"content-length", "3"}};
  EXPECT_EQ(out.headers, expected);
  EXPECT_EQ(out.body, "abc");
}

TEST(ParserHead, LoneLineFeedDoesNotEndALine) {
  Outcome out = ParseWhole("HTTP/1.1 200 OK\r\nX-A: 1\nX-B: 2\r\nContent-Length: 0\r\n\r\n");
  ASSERT_TRUE(out.ok);
  ASSERT_EQ(out.headers.size(), 2u);
  EXPECT_EQ(out.headers[0].second, "1\nX-B: 2");
}

TEST(ParserHead, HeaderWithoutColonFails) {
  test::LogCapture log;
  Outcome out = ParseWhole("HTTP/1.1 200 OK\r\nNoColonHere\r\n\r\n");
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(log.Count("ERRO", "Invalid header: NoColonHere"), 1u);
}

// What a failure reports to the caller is what its record says, cut to a bounded size
// when it quotes the peer; a new message starts without it.
TEST(ParserHead, FailureReasonIsTheRecordsText) {
  const std::string long_line(5000, 'y');
  struct Case {
    std::string wire;
    std::string reason;
    std::string record;  // when it differs from the reason
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nNoColonHere\r\n\r\n", "Invalid header: NoColonHere", ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", "Invalid content length: -1", ""},
      {"HTTP/2 200 OK\r\n\r\n", "Invalid HTTP version: HTTP/2", ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
       "Invalid chunk-size: zz", ""},
      {"HTTP/1.1 200 OK\r\n" + long_line + "\r\n\r\n",
       ("Invalid header: " + long_line).substr(0, kMaxFailureLength),
       "Invalid header: " + long_line},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason.substr(0, 40));
    test::LogCapture log;
    Outcome out = ParseWhole(c.wire);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.failure, c.reason);
    EXPECT_EQ(log.Count("ERRO", c.record.empty() ? c.reason : c.record), 1u);
  }

  Response response;
  ResponseParser parser;
  parser.Init(&response, false);
  EXPECT_FALSE(parser.Parse("junk\r\n", 6));
  EXPECT_FALSE(parser.GetFailure().empty());
  parser.Init(&response, false);
  EXPECT_EQ(parser.GetFailure(), "");
}

TEST(ParserHead, InvalidContentTypeFails) {
  test::LogCapture log;
  EXPECT_FALSE(ParseWhole("HTTP/1.1 200 OK\r\nContent-Type: multipart/form-data\r\n\r\n").ok);
  EXPECT_EQ(log.Count("ERRO", "Invalid content-type header: multipart/form-data"), 1u);
  EXPECT_TRUE(ParseWhole("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\n"
                         "Content-Length: 0\r\n\r\n")
                  .ok);
}

TEST(ParserHead, HeadTooLargeFailsAtTheBound) {
  const std::string start = "HTTP/1.1 200 OK\r\nX-Big: ";
  const std::string end = "\r\nContent-Length: 0\r\n\r\n";
  std::string at_limit = start + std::string(kMaxHeadLength - start.size() - end.size(), 'x') + end;
  ASSERT_EQ(at_limit.size(), kMaxHeadLength);
  EXPECT_TRUE(ParseWhole(at_limit).finished);

  test::LogCapture log;
  std::string over = start + std::string(kMaxHeadLength + 1 - start.size() - end.size(), 'x') + end;
  EXPECT_FALSE(ParseWhole(over).ok);
  EXPECT_EQ(log.Count("ERRO", "Response head too large"), 1u);
}

TEST(ParserHead, FieldCountIsBounded) {
  auto head = [](std::size_t fields) {
    std::string wire = "HTTP/1.1 200 OK\r\n";
    for (std::size_t i = 1; i < fields; ++i) wire += "Set-Cookie: a\r\n";
    return wire + "Content-Length: 0\r\n\r\n";
  };
  Outcome at_limit = ParseWhole(head(kMaxHeaderFields));
  EXPECT_TRUE(at_limit.finished);
  EXPECT_EQ(at_limit.headers.size(), kMaxHeaderFields);  // repeated fields are all kept

  test::LogCapture log;
  EXPECT_FALSE(ParseWhole(head(kMaxHeaderFields + 1)).ok);
  EXPECT_EQ(log.Count("ERRO", "Response head too large"), 1u);
}

TEST(ParserHead, EndlessHeadFailsWithoutWaitingForALineEnd) {
  test::LogCapture log;
  Response response;
  ResponseParser parser;
  parser.Init(&response, false);
  const std::string piece(64 * 1024, 'x');
  ASSERT_TRUE(parser.Parse("HTTP/1.1 200 OK\r\nX: ", 20));
  bool ok = true;
  std::size_t fed = 0;
  while (ok && fed <= 2 * kMaxHeadLength) {
    ok = parser.Parse(piece.data(), piece.size());
    fed += piece.size();
  }
  EXPECT_FALSE(ok);
  EXPECT_LE(fed, kMaxHeadLength + piece.size());
  EXPECT_EQ(log.Count("ERRO", "Response head too large"), 1u);
  EXPECT_FALSE(parser.Parse("\r\n\r\n", 4)) << "a failed parser stays failed";
}

TEST(ParserHead, EmptyLinesBeforeTheStatusLineAreSkipped) {
  const std::string wire = "\r\n\r\nHTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
  Outcome out = ParseWhole(wire);
  ASSERT_TRUE(out.finished);
  EXPECT_EQ(out.status, 404);
  EXPECT_EQ(out.header_length, wire.size());
}

TEST(ParserHead, UnboundParserFails) {
  test::LogCapture log;
  ResponseParser parser;
  parser.Init(nullptr, false);
  EXPECT_FALSE(parser.Parse("HTTP/1.1 200 OK\r\n\r\n", 19));
  EXPECT_EQ(log.Count("ERRO", "Parser is not bound to a message"), 1u);
}

// ---------------------------------------------------------------------------------
// Content-Length

TEST(ParserContentLength, ValuesAreParsedInFull) {
  EXPECT_EQ(ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 007\r\n\r\n").content_length, 7u);
  // A list of one value repeated is that value (RFC 9110 8.6).
  for (const char* value : {"5,5", "5, 5", "5 ,\t5 , 5", "\t5\t"}) {
    SCOPED_TRACE(value);
    Outcome list =
        ParseWhole(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + value + "\r\n\r\nhello");
    EXPECT_TRUE(list.finished);
    EXPECT_EQ(list.body, "hello");
  }
  // 5 GiB: beyond 32 bits, and not reserved up front.
  Outcome big = ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 5368709120\r\n\r\nabc");
  EXPECT_TRUE(big.ok);
  EXPECT_FALSE(big.finished);
  EXPECT_EQ(big.content_length, 5368709120u);
  Outcome max = ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775807\r\n\r\n");
  EXPECT_TRUE(max.ok);
  EXPECT_EQ(max.content_length, 9223372036854775807u);
}

TEST(ParserContentLength, BadValuesFail) {
  // Digits only: whatever follows them, or a list of differing values, is no length.
  const char* bad[] = {"abc", "", "-1", "+5", "9223372036854775808",
                       "18446744073709551616", "99999999999999999999999", "12abc", "5abc",
                       "5 6", "5, 6", "5.0", "5;q=1", "0x5", "5,", ",5", "5,,5"};
  for (const char* value : bad) {
    SCOPED_TRACE(value);
    test::LogCapture log;
    std::string wire = std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + value + "\r\n\r\n";
    EXPECT_FALSE(ParseWhole(wire).ok);
    EXPECT_EQ(log.Count("ERRO", std::string("Invalid content length: ") + value), 1u);
  }
}

TEST(ParserContentLength, RepeatedFieldsMustAgree) {
  EXPECT_EQ(ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc")
                .body,
            "abc");
  test::LogCapture log;
  EXPECT_FALSE(
      ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 3\r\ncontent-length: 4\r\n\r\nabcd").ok);
  EXPECT_EQ(log.Count("ERRO", "Invalid content length: 4"), 1u);
}

TEST(ParserContentLength, ZeroLengthFinishesAtTheHead) {
  Outcome zero = ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  EXPECT_TRUE(zero.finished);
  EXPECT_TRUE(zero.framing_safe);
  EXPECT_EQ(zero.body, "");
  EXPECT_EQ(zero.message_length, 0);
}

// Without a length or chunked coding last, the body is whatever arrives until the
// server closes the connection; bodiless responses end at their head all the same.
TEST_F(TempDirTest, BodiesWithoutFramingRunUntilTheClose) {
  struct Case {
    const char* wire;
    bool ignore_body;
    bool ends_at_close;  // FinishAtClose completes the message
    const char* body;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nServer: x\r\n\r\nstray bytes", false, true, "stray bytes"},
      {"HTTP/1.0 200 OK\r\n\r\n", false, true, ""},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n2\r\nok", false, true,
       "2\r\nok"},
      // A transfer coding overrides the length.
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 2\r\n\r\nabcdef", false,
       true, "abcdef"},
      {"HTTP/1.1 204 No Content\r\n\r\n", false, false, ""},
      {"HTTP/1.1 304 Not Modified\r\nETag: \"x\"\r\n\r\n", false, false, ""},
      {"HTTP/1.1 200 OK\r\n\r\n", true, false, ""},  // the answer to a HEAD
      // Cut short: the close is a failure, not an end.
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", false, false, nullptr},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", false, false, nullptr},
      {"HTTP/1.1 200 OK\r\nServ", false, false, nullptr},
  };
  for (const Case& c : cases) {
    for (bool stream : {false, true}) {
      SCOPED_TRACE(std::string(c.wire) + (stream ? " (streamed)" : ""));
      Response response;
      ResponseParser parser;
      parser.Init(&response, stream);
      parser.SetIgnoreBody(c.ignore_body);
      ASSERT_TRUE(parser.Parse(c.wire, std::strlen(c.wire)));
      bool finished_at_head = parser.IsFinished();
      EXPECT_EQ(parser.FinishAtClose(), c.ends_at_close);
      if (c.body == nullptr) {
        EXPECT_FALSE(parser.IsFinished());
        continue;
      }
      EXPECT_TRUE(parser.IsFinished());
      EXPECT_EQ(finished_at_head, !c.ends_at_close);
      EXPECT_EQ(parser.IsFramingSafe(), !c.ends_at_close);
      if (c.ends_at_close) {
        EXPECT_EQ(parser.GetContentLength(), kInvalidLength);
      }
      if (auto file = response.GetFileBody()) {
        EXPECT_EQ(ReadAll(file->GetPath()), c.body);
        EXPECT_EQ(file->GetSize(), static_cast<std::int64_t>(std::strlen(c.body)));
      } else {
        EXPECT_EQ(response.GetData(), c.body);
      }
    }
  }
}

TEST(ParserContentLength, SurplusBytesAreNotBodyAndMakeFramingUnsafe) {
  Outcome same_piece = ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloHTTP/1.1");
  EXPECT_TRUE(same_piece.finished);
  EXPECT_EQ(same_piece.body, "hello");
  EXPECT_FALSE(same_piece.framing_safe);

  Response response;
  ResponseParser parser;
  parser.Init(&response, false);
  std::string partial = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhel";
  ASSERT_TRUE(parser.Parse(partial.data(), partial.size()));
  ASSERT_TRUE(parser.Parse("lo!", 3));
  EXPECT_TRUE(parser.IsFinished());
  EXPECT_FALSE(parser.IsFramingSafe());
  EXPECT_EQ(response.GetData(), "hello");
}

TEST(ParserContentLength, LargeBodyInMemoryIsNotBounded) {
  const std::string body(3 * kMaxHeadLength + 17, 'b');
  Outcome out = ParseCut("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\n\r\n" + body,
                         {100, 5000, 2 * kMaxHeadLength});
  EXPECT_TRUE(out.finished);
  EXPECT_EQ(out.body, body);
}

// Bodies of several MiB move to larger storage as they grow; no byte may be lost,
// repeated or moved on the way, whether the length was announced or not.
std::string PatternBody(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    body[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
  }
  return body;
}

std::vector<std::size_t> EveryPiece(std::size_t size, std::size_t piece) {
  std::vector<std::size_t> cuts;
  for (std::size_t pos = piece; pos < size; pos += piece) cuts.push_back(pos);
  return cuts;
}

TEST(ParserContentLength, LargeBodiesArriveIntactWithOrWithoutALength) {
  const std::string body = PatternBody((std::size_t{11} << 20) + 12345);
  std::string announced =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  Outcome out = ParseCut(announced, EveryPiece(announced.size(), 65536));
  EXPECT_TRUE(out.finished);
  EXPECT_TRUE(out.body == body);

  std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (std::size_t pos = 0; pos < body.size(); pos += 300000) {
    std::string chunk = body.substr(pos, 300000);
    char size[32];
    std::snprintf(size, sizeof(size), "%zx\r\n", chunk.size());
    chunked += size + chunk + "\r\n";
  }
  chunked += "0\r\n\r\n";
  out = ParseCut(chunked, EveryPiece(chunked.size(), 1024 * 1024 - 3));
  EXPECT_TRUE(out.finished);
  EXPECT_TRUE(out.body == body);
}

TEST(ParserContentLength, CompressedBodyIsKeptAndWarnedAboutOnce) {
  test::LogCapture log;
  Response response;
  ResponseParser parser;
  parser.Init(&response, false);
  std::string wire = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 4\r\n\r\n";
  wire.append("\x1f\x8b\x08\x00", 4);
  ASSERT_TRUE(parser.Parse(wire.data(), wire.size()));
  ASSERT_TRUE(parser.IsFinished());
  auto body = std::dynamic_pointer_cast<StringBody>(response.GetBody());
  ASSERT_NE(body, nullptr);
  EXPECT_TRUE(body->IsCompressed());
  EXPECT_EQ(body->GetData(), std::string("\x1f\x8b\x08\x00", 4));
  EXPECT_EQ(log.Count("WARN", "Compressed HTTP content remains untouched"), 1u);
}

// ---------------------------------------------------------------------------------
// Chunked

TEST(ParserChunked, ExtensionsAndTrailersAreReadPast) {
  Outcome out = ParseWhole(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\nhello\r\n6; ext=1\r\n world\r\n0\r\nX-Trailer: 1\r\n\r\n");
  EXPECT_TRUE(out.finished);
  EXPECT_TRUE(out.framing_safe);
  EXPECT_EQ(out.body, "hello world");
  EXPECT_EQ(out.content_length, kInvalidLength);
  EXPECT_EQ(out.message_length, -1);
  ASSERT_EQ(out.headers.size(), 1u) << "trailer fields are not stored";
}

TEST(ParserChunked, SizesAreHexDigitsWithOptionalExtensions) {
  EXPECT_EQ(ParseWhole("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "A\r\n0123456789\r\nb;x\r\nabcdefghijk\r\n2 \t;y=\"1\"\r\nlm\r\n"
                       "1 \r\nn\r\n00\r\n\r\n")
                .body,
            "0123456789abcdefghijklmn");
  Outcome max = ParseWhole("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                           "7fffffffffffffff\r\nabc");
  EXPECT_TRUE(max.ok);
  EXPECT_FALSE(max.finished);
}

TEST(ParserChunked, BadSizesFail) {
  // Hexadecimal digits, blanks and an extension after ";", nothing else: a size read
  // from the front of anything else frames the body where the server did not.
  const char* lines[] = {"zz", "", "-5", "8000000000000000", "10000000000000000", "q ;ext",
                         "0x5", "5zz", "5 garbage", " 5", "5 6", "+5"};
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    test::LogCapture log;
    std::string wire = std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") +
                       line + "\r\nhello\r\n0\r\n\r\n";
    EXPECT_FALSE(ParseWhole(wire).ok);
    EXPECT_EQ(log.Count("ERRO", std::string("Invalid chunk-size: ") + line), 1u);
  }
}

TEST(ParserChunked, ChunkMustEndWhereItsSizeSays) {
  test::LogCapture log;
  Outcome out = ParseWhole("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                           "3\r\nhello\r\n0\r\n\r\n");
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(log.Count("ERRO", "Missing CRLF after chunk data"), 1u);
}

TEST(ParserChunked, WaitsForTheEndOfTheTrailerSection) {
  Response response;
  ResponseParser parser;
  parser.Init(&response, false);
  std::string wire = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n";
  ASSERT_TRUE(parser.Parse(wire.data(), wire.size()));
  EXPECT_FALSE(parser.IsFinished());
  ASSERT_TRUE(parser.Parse("\r\n", 2));
  EXPECT_TRUE(parser.IsFinished());
  EXPECT_TRUE(parser.IsFramingSafe());
  EXPECT_EQ(response.GetData(), "hi");
}

TEST(ParserChunked, OverlongLinesFail) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  {
    test::LogCapture log;
    EXPECT_FALSE(ParseWhole(head + "5;" + std::string(kMaxHeadLength, 'e') + "\r\n").ok);
    EXPECT_EQ(log.Count("ERRO", "Chunk-size line too long"), 1u);
  }
  {
    test::LogCapture log;
    std::string trailers;
    while (trailers.size() <= kMaxHeadLength) trailers += "X-T: " + std::string(100, 't') + "\r\n";
    EXPECT_FALSE(ParseWhole(head + "0\r\n" + trailers + "\r\n").ok);
    EXPECT_EQ(log.Count("ERRO", "Chunk trailer too large"), 1u);
  }
}

TEST(ParserChunked, ChunkedWinsOverContentLengthButFramingIsUnsafe) {
  Outcome out = ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
                           "5\r\nhello\r\n0\r\n\r\n");
  EXPECT_TRUE(out.finished);
  EXPECT_EQ(out.body, "hello");
  EXPECT_FALSE(out.framing_safe);
}

TEST(ParserChunked, CodingNameIgnoresCaseAndOtherCodingsAreUnsafe) {
  Outcome upper = ParseWhole("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
                             "2\r\nok\r\n0\r\n\r\n");
  EXPECT_EQ(upper.body, "ok");
  EXPECT_TRUE(upper.framing_safe);

  // Chunked last frames the body whatever came before it (the bytes are kept as sent).
  Outcome other = ParseWhole("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
                             "2\r\nok\r\n0\r\n\r\n");
  EXPECT_TRUE(other.finished);
  EXPECT_EQ(other.body, "ok");
  EXPECT_TRUE(other.framing_safe);
}

TEST(ParserChunked, SurplusAfterTheLastChunkIsUnsafe) {
  Outcome out = ParseWhole("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                           "2\r\nok\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n");
  EXPECT_TRUE(out.finished);
  EXPECT_EQ(out.body, "ok");
  EXPECT_FALSE(out.framing_safe);
}

// ---------------------------------------------------------------------------------
// Every split

TEST(ParserSplit, HeadsAndBodiesParseTheSameInAnyPieces) {
  const char* wires[] = {
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A:  a b \r\n\r\nhello",
      "HTTP/1.1 204 No Content\r\nX-A: 1\r\n\r\n",
      "\r\nHTTP/1.0 301 Moved Permanently\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloSURPLUS",
      "HTTP/1.1 200 OK\r\nX-Lf: a\nb\r\nContent-Length: 2\r\n\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5;name=\"v\"\r\nhello\r\n0X6 ; ext\r\n world\r\nA\r\n\r\n\r\n\r\n\r\n\r\n\r\n"
      "0\r\nX-Trailer: 1\r\nY-Trailer: 2\r\n\r\n",
      "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 200 OK\r\n"
      "Transfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nBad line\r\n\r\nx",
  };
  for (const char* wire : wires) ExpectSameAtEverySplit(wire);
}

TEST(ParserSplit, LongChunkedBodyInRandomPieces) {
  std::string wire = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  std::string body;
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i) {
    std::string chunk(random() % 700 + 1, static_cast<char>('a' + i % 26));
    char size[32];
    std::snprintf(size, sizeof(size), i % 2 ? "%zx;i=%d\r\n" : "%zX\r\n", chunk.size(), i);
    wire += size + chunk + "\r\n";
    body += chunk;
  }
  wire += "0\r\nT: 1\r\n\r\n";
  const Outcome whole = ParseWhole(wire);
  ASSERT_TRUE(whole.finished);
  EXPECT_EQ(whole.body, body);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::size_t> cuts;
    for (std::size_t pos = random() % 64; pos < wire.size(); pos += random() % 1500 + 1) {
      cuts.push_back(pos);
    }
    EXPECT_EQ(ParseCut(wire, cuts), whole) << "round " << round;
  }
}

TEST_F(TempDirTest, StreamedBodiesParseTheSameInAnyPieces) {
  ExpectSameAtEverySplit("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", true);
  ExpectSameAtEverySplit("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                         "5\r\nhello\r\n6;e\r\n world\r\n0\r\nT: 1\r\n\r\n",
                         true);
  EXPECT_TRUE(Files().empty()) << "no file outlives its body";
}

// ---------------------------------------------------------------------------------
// Streaming into temporary files

TEST_F(TempDirTest, BodyLandsInAPrivateTemporaryFile) {
  auto response = std::make_shared<Response>();
  ResponseParser parser;
  parser.Init(response.get(), true);
  std::string wire = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nhello";
  ASSERT_TRUE(parser.Parse(wire.data(), wire.size()));
  ASSERT_TRUE(parser.Parse(" world", 6));
  ASSERT_TRUE(parser.IsFinished());

  auto file = response->GetFileBody();
  ASSERT_NE(file, nullptr);
  fs::path path = file->GetPath();
  EXPECT_EQ(path.parent_path(), dir_);
  std::string name = path.filename().string();
  ASSERT_EQ(name.size(), 10u);
  for (char c : name) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << name;
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadAll(path), "hello world");

  file.reset();
  response.reset();
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(TempDirTest, EmptyBodyStillGetsAnEmptyFile) {
  Outcome out = ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true);
  EXPECT_TRUE(out.file_body);
  EXPECT_EQ(out.body, "");
}

TEST_F(TempDirTest, BodyFailingHalfWayLeavesNoFile) {
  test::LogCapture log;
  Response response;
  ResponseParser parser;
  parser.Init(&response, true);
  std::string wire = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nzz\r\n";
  EXPECT_FALSE(parser.Parse(wire.data(), wire.size()));
  EXPECT_EQ(Files().size(), 1u);
  parser.Init(nullptr, false);
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(response.GetFileBody(), nullptr);

  // A connection that drops mid-body: the parser goes with its driver.
  {
    ResponseParser dropped;
    Response r;
    dropped.Init(&r, true);
    std::string partial = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc";
    ASSERT_TRUE(dropped.Parse(partial.data(), partial.size()));
    EXPECT_EQ(Files().size(), 1u);
  }
  EXPECT_TRUE(Files().empty());
}

TEST_F(TempDirTest, TemporaryDirectoryProblemsAreLogged) {
  {
    test::LogCapture log;
    ::setenv("TMPDIR", (dir_ / "missing").c_str(), 1);
    EXPECT_FALSE(ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true).ok);
    ::setenv("TMPDIR", dir_.c_str(), 1);
    EXPECT_EQ(log.Count("ERRO", "Failed to generate temp path for streaming"), 1u);
  }
  {
    // Not even root may create files here.
    test::LogCapture log;
    ::setenv("TMPDIR", "/proc", 1);
    EXPECT_FALSE(ParseWhole("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true).ok);
    ::setenv("TMPDIR", dir_.c_str(), 1);
    std::size_t opened = 0;
    for (const auto& record : log.Records()) {
      if (record.find("ERRO") != std::string::npos &&
          record.find("Failed to open the temp file: /proc/") != std::string::npos) {
        ++opened;
      }
    }
    EXPECT_EQ(opened, 1u);
  }
}

// ---------------------------------------------------------------------------------
// Streamed bodies read straight into the file's buffer

// `data` as raw deflate in stored blocks: a coded body that decodes to itself, so that
// the decoded path is taken without an encoder.
std::string StoredDeflate(const std::string& data) {
  std::string out;
  std::size_t at = 0;
  do {
    std::size_t n = std::min<std::size_t>(data.size() - at, 65535);
    out += static_cast<char>(at + n == data.size() ? 1 : 0);  // BFINAL, stored
    for (std::size_t length : {n, ~n & 0xffff}) {
      out += static_cast<char>(length & 0xff);
      out += static_cast<char>(length >> 8 & 0xff);
    }
    out.append(data, at, n);
    at += n;
  } while (at < data.size());
  return out;
}

// `data` in chunks of the sizes given, over and over, some with an extension.
std::string Chunked(const std::string& data, const std::vector<std::size_t>& sizes) {
  std::string out;
  std::size_t at = 0;
  for (std::size_t i = 0; at < data.size(); ++i) {
    std::size_t n = std::min(sizes[i % sizes.size()], data.size() - at);
    char line[32];
    std::snprintf(line, sizeof(line), i % 3 ? "%zx\r\n" : "%zX;n=%zu\r\n", n, i);
    out += line + data.substr(at, n) + "\r\n";
    at += n;
  }
  return out + "0\r\nTrailer: t\r\n\r\n";
}

struct Fed {
  bool ok = true;
  std::size_t bytes = 0;         // of the wire, taken by reads
  std::size_t direct_reads = 0;  // reads into the parser's buffer
};

// Reads `wire` as the request driver does: into the parser's read buffer whenever it
// offers one, else into a 1 KiB buffer of the reader's own. The n-th read returns at
// most pieces[n % size] bytes (no pieces: all it asked for). Every buffer is scribbled
// over once parsed, as the next read would, so that nothing may point into it later.
Fed FeedAsTheDriver(ResponseParser& parser, const std::string& wire,
                    const std::vector<std::size_t>& pieces) {
  std::vector<char> own(1024);
  Fed fed;
  for (std::size_t n = 0; fed.bytes < wire.size() && !parser.IsFinished(); ++n) {
    std::vector<char>* buffer = parser.GetReadBuffer();
    if (buffer != nullptr) {
      ++fed.direct_reads;
    } else {
      buffer = &own;
    }
    EXPECT_FALSE(buffer->empty());
    std::size_t take = std::min(buffer->size(), wire.size() - fed.bytes);
    if (!pieces.empty()) take = std::min(take, pieces[n % pieces.size()]);
    std::memcpy(buffer->data(), wire.data() + fed.bytes, take);
    fed.bytes += take;
    bool ok = parser.Parse(buffer->data(), take);
    std::memset(buffer->data(), '#', take);
    if (!ok) {
      fed.ok = false;
      break;
    }
  }
  return fed;
}

// Every framing, coded and not, read in odd pieces and in the largest ones the parser
// asks for, lands byte for byte in the file; a body framed by its length is never read
// beyond, so the next response on the connection stays unread.
TEST_F(TempDirTest, StreamedBodiesReadIntoTheFileBufferArriveExactly) {
  std::string body(300000, '\0');
  std::mt19937 random(11);
  for (char& c : body) c = static_cast<char>(random());
  const std::string coded = StoredDeflate(body);
  const std::string next = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
  const std::vector<std::size_t> chunk_sizes = {1, 4093, 70001, 17, 65536, 2, 1024};
  enum Framing { kLength, kChunked, kClose };
  struct Case {
    const char* name;
    std::string message;
    bool decode;
    Framing framing;
  } cases[] = {
      {"length", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\n\r\n" + body, false, kLength},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                      Chunked(body, chunk_sizes), false, kChunked},
      {"close", "HTTP/1.1 200 OK\r\n\r\n" + body, false, kClose},
      {"length, decoded", "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\nContent-Length: " +
                              std::to_string(coded.size()) + "\r\n\r\n" + coded, true, kLength},
      {"chunked, decoded", "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\n"
                           "Transfer-Encoding: chunked\r\n\r\n" + Chunked(coded, chunk_sizes),
       true, kChunked},
  };
  const std::vector<std::size_t> odd = {1, 3, 1021, 4097, 9973, 65521, 17, 30011};
  for (const Case& c : cases) {
    for (bool big : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (big ? ", big pieces" : ", odd pieces"));
      Response response;
      ResponseParser parser;
      parser.Init(&response, true);
      parser.SetDecoding(c.decode, 0);
      // Only a length tells where the body ends before its last byte is read.
      const std::string wire = c.message + (c.framing == kLength ? next : "");
      Fed fed = FeedAsTheDriver(parser, wire, big ? std::vector<std::size_t>() : odd);
      ASSERT_TRUE(fed.ok) << parser.GetFailure();
      if (c.framing == kClose) {
        ASSERT_TRUE(parser.FinishAtClose());
      }
      ASSERT_TRUE(parser.IsFinished());
      EXPECT_EQ(fed.bytes, c.message.size()) << "read beyond the message";
      EXPECT_EQ(parser.IsFramingSafe(), c.framing != kClose);
      auto file = response.GetFileBody();
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(file->GetSize(), static_cast<std::int64_t>(body.size()));
      EXPECT_TRUE(ReadAll(file->GetPath()) == body) << "file differs from the body";
      if (big) {
        EXPECT_LT(fed.direct_reads, wire.size() / 16384) << "reads were not large";
      } else {
        EXPECT_GT(fed.direct_reads, 0u);
      }
    }
  }
  EXPECT_TRUE(Files().empty()) << "no file outlives its body";
}

// A body that fails once part of it went through the file's buffer (a broken chunk, a
// body over its limit) leaves no file after the parser's next Init.
TEST_F(TempDirTest, StreamedBodyFailingHalfWayThroughTheBufferLeavesNoFile) {
  const std::string part(200000, 'x');
  const std::string last_chunk = "0\r\nTrailer: t\r\n\r\n";
  std::string broken = Chunked(part.substr(0, 100000), {50000});
  broken.replace(broken.size() - last_chunk.size(), last_chunk.size(), "zz\r\n");
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  struct Case {
    std::string wire;
    std::uint64_t limit;
  } cases[] = {{head + broken, 0}, {head + Chunked(part, {50000}), 120000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit == 0 ? "broken chunk" : "over the limit");
    test::LogCapture log;
    Response response;
    ResponseParser parser;
    parser.Init(&response, true);
    parser.SetBodyLimits(nullptr, c.limit);
    Fed fed = FeedAsTheDriver(parser, c.wire, {});
    EXPECT_FALSE(fed.ok);
    EXPECT_GT(fed.direct_reads, 0u);
    EXPECT_EQ(parser.IsBodyTooLarge(), c.limit != 0);
    EXPECT_FALSE(parser.GetFailure().empty());
    EXPECT_EQ(Files().size(), 1u);
    parser.Init(nullptr, false);
    EXPECT_TRUE(Files().empty());
    EXPECT_EQ(response.GetFileBody(), nullptr);
  }
}

// ---------------------------------------------------------------------------------
// Reuse

TEST(ParserReuse, InitStartsAFreshMessage) {
  ResponseParser parser;
  Response first;
  parser.Init(&first, false);
  std::string wire = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
  ASSERT_TRUE(parser.Parse(wire.data(), wire.size() - 2));

  Response second;
  parser.Init(&second, false);
  std::string next = "HTTP/1.1 201 Created\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nz\r\n0\r\n\r\n";
  ASSERT_TRUE(parser.Parse(next.data(), next.size()));
  EXPECT_TRUE(parser.IsFinished());
  EXPECT_TRUE(parser.IsFramingSafe());
  EXPECT_EQ(second.GetStatus(), 201);
  EXPECT_EQ(second.GetData(), "z");
  EXPECT_EQ(parser.GetContentLength(), kInvalidLength);
  EXPECT_EQ(parser.GetHeaderLength(), next.find("\r\n\r\n") + 4);
}

}  // namespace
}  // namespace korvo
