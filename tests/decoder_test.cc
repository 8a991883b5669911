// Content decoding: every coding decodes in any pieces, alone and through the parser
// into memory and into a streamed file; corrupt, truncated and oversized bodies are
// refused with the coding named, and codings that cannot be decoded are kept as received.
#include "korvo/internal/decoder.h"

#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "korvo/internal/response_parser.h"
#include "korvo/internal/utility.h"
#include "korvo/response.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace korvo {
namespace test {
namespace {

namespace fs = std::filesystem;

// zlib with 15 + 16 window bits writes gzip, with 15 the zlib wrapper, with -15 raw.
std::string Deflate(std::string_view data, int window_bits) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, window_bits, 9, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}
std::string Gzip(std::string_view data) { return Deflate(data, 15 + 16); }
std::string Zlib(std::string_view data) { return Deflate(data, 15); }
std::string RawDeflate(std::string_view data) { return Deflate(data, -15); }

// Streams `count` copies of `piece` through brotli, for bodies too large to hold.
std::string Brotli(std::string_view piece, std::size_t count = 1) {
  BrotliEncoderState* state = BrotliEncoderCreateInstance(nullptr, nullptr, nullptr);
  BrotliEncoderSetParameter(state, BROTLI_PARAM_QUALITY, 4);
  BrotliEncoderSetParameter(state, BROTLI_PARAM_LGWIN, 24);
  std::string out;
  std::vector<std::uint8_t> block(1 << 16);
  for (std::size_t i = 0; i < count; ++i) {
    auto op = i + 1 == count ? BROTLI_OPERATION_FINISH : BROTLI_OPERATION_PROCESS;
    std::size_t available_in = piece.size();
    auto next_in = reinterpret_cast<const std::uint8_t*>(piece.data());
    while (available_in > 0 || BrotliEncoderHasMoreOutput(state) ||
           (op == BROTLI_OPERATION_FINISH && !BrotliEncoderIsFinished(state))) {
      std::size_t available_out = block.size();
      std::uint8_t* next_out = block.data();
      BrotliEncoderCompressStream(state, op, &available_in, &next_in, &available_out, &next_out,
                                  nullptr);
      out.append(reinterpret_cast<char*>(block.data()), block.size() - available_out);
    }
  }
  BrotliEncoderDestroyInstance(state);
  return out;
}

// One frame, with a checksum.
std::string Zstd(std::string_view data) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  std::string out(ZSTD_compressBound(data.size()), '\0');
  out.resize(ZSTD_compress2(context, out.data(), out.size(), data.data(), data.size()));
  ZSTD_freeCCtx(context);
  return out;
}

struct Coding {
  const char* label;
  const char* header;  // the "Content-Encoding" value
  const char* name;    // as failures name it
  std::string (*encode)(std::string_view);
  std::string (*corrupt)(std::string);  // from a valid encoding
  const char* corrupt_reason;
};

const Coding kCodings[] = {
    {"gzip", "gzip", "gzip", Gzip, [](std::string e) { return e.replace(e.size() - 5, 1, "!"); },
     "incorrect data check"},
    {"x-gzip", "X-GZIP", "gzip", Gzip, [](std::string e) { return e.replace(0, 1, "!"); },
     "incorrect header check"},
    {"zlib deflate", "deflate", "deflate", Zlib,
     [](std::string e) { return e.replace(e.size() - 1, 1, "!"); }, "incorrect data check"},
    // Raw deflate: a final block of the reserved type.
    {"raw deflate", "deflate", "deflate", RawDeflate,
     [](std::string) { return std::string("\x07\x00", 2); }, "invalid block type"},
    // Window bits of a reserved value.
    {"br", "br", "br", [](std::string_view d) { return Brotli(d); },
     [](std::string) { return std::string("\x11\x00", 2); }, "window bits"},
    {"zstd", "zstd", "zstd", Zstd, [](std::string e) { return e.replace(e.size() - 1, 1, "!"); },
     "Restored data doesn't match checksum"},
};

std::string Text(std::size_t lines) {
  std::string text;
  for (std::size_t i = 0; i < lines; ++i)
    text += "line " + std::to_string(i * i % 97) + " of text\n";
  return text;
}

// Collects what a decoder writes, and the largest block.
struct Collector : DecodeSink {
  bool Write(const char* data, std::size_t size) override {
    largest = std::max(largest, size);
    out.append(data, size);
    return true;
  }
  std::size_t largest = 0;
  std::string out;
};

// Decodes `pieces` one after the other: the output, or the error.
std::string DecodePieces(const char* header, const std::vector<std::string_view>& pieces,
                         std::size_t block_size = kDecodeBlockSize,
                         std::size_t* largest = nullptr) {
  std::unique_ptr<Decoder> decoder;
  EXPECT_EQ(CreateContentDecoder({header}, decoder, block_size), ContentCodings::kDecodable);
  Collector sink;
  bool ok = true;
  for (std::string_view piece : pieces)
    ok = ok && decoder->Decode(piece.data(), piece.size(), sink);
  ok = ok && decoder->Finish(sink);
  if (largest != nullptr) *largest = sink.largest;
  return ok ? sink.out : decoder->GetError();
}

TEST(Decoder, EveryCodingDecodesInAnyPiecesInBoundedBlocks) {
  const std::string small = Text(20);
  const std::string large = Text(20000);  // over 300 KB, many blocks
  for (const Coding& coding : kCodings) {
    SCOPED_TRACE(coding.label);
    const std::string encoded = coding.encode(small);
    std::string_view all(encoded);
    for (std::size_t i = 0; i <= encoded.size(); ++i) {
      std::size_t largest = 0;
      EXPECT_EQ(DecodePieces(coding.header, {all.substr(0, i), all.substr(i)}, 7, &largest), small)
          << "split at " << i;
      EXPECT_LE(largest, 7u);
    }
    std::size_t largest = 0;
    EXPECT_EQ(DecodePieces(coding.header, {coding.encode(large)}, kDecodeBlockSize, &largest),
              large);
    EXPECT_LE(largest, kDecodeBlockSize);
    EXPECT_EQ(DecodePieces(coding.header, {""}), "") << "an empty body is no stream";
  }
}

TEST(Decoder, WhatMayFollowTheEndOfAStream) {
  struct Case {
    const char* header;
    std::string encoded;
    std::string result;  // the output, or the error
  } cases[] = {
      {"gzip", Gzip("one, ") + Gzip("two"), "one, two"},
      {"gzip", Gzip("padded") + std::string(10, '\0'), "padded"},
      {"gzip", Gzip("one, ") + Gzip("two").substr(0, 5), "Truncated gzip stream"},
      {"zstd", Zstd("one, ") + std::string("\x50\x2a\x4d\x18\x02\x00\x00\x00hi", 10) + Zstd("two"),
       "one, two"},
      {"deflate", Zlib("one") + "x", "Corrupt deflate stream: data after the end of the stream"},
      {"br", Brotli("one") + "x", "Corrupt br stream: data after the end of the stream"},
      {"zstd", Zstd("one") + "junk", "Corrupt zstd stream: Unknown frame descriptor"},
      // A frame of a format from before the standard.
      {"zstd", std::string("\x27\xb5\x2f\xfd\x20\x00\x01\x00\x00", 9),
       "Corrupt zstd stream: Unknown frame descriptor"},
      // A frame declaring five bytes, holding none.
      {"zstd", std::string("\x28\xb5\x2f\xfd\x20\x05\x01\x00\x00", 9),
       "Corrupt zstd stream: Data corruption detected"},
      // Codings listed are undone last first.
      {"gzip, br", Brotli(Gzip("nested")), "nested"},
      {"gzip, br", Brotli("not gzip"), "Corrupt gzip stream: incorrect header check"},
  };
  for (const Case& c : cases) {
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < c.encoded.size(); ++i)
      bytes.push_back(std::string_view(c.encoded).substr(i, 1));
    EXPECT_EQ(DecodePieces(c.header, {c.encoded}), c.result) << c.header;
    EXPECT_EQ(DecodePieces(c.header, bytes), c.result) << c.header << ", byte by byte";
  }
}

TEST(Decoder, ContentEncodingFieldsChooseTheDecoder) {
  struct Case {
    std::vector<std::string> values;
    ContentCodings expected;
    std::string name;
  } cases[] = {
      {{}, ContentCodings::kNone, ""},
      {{"identity", " , "}, ContentCodings::kNone, ""},
      {{"GZip"}, ContentCodings::kDecodable, "gzip"},
      {{" deflate ,identity, ZSTD", "br"}, ContentCodings::kDecodable, "deflate, zstd, br"},
      {{"gzip, compress"}, ContentCodings::kUnknown, ""},
      {{"gzip, gzip", "gzip, gzip, gzip"}, ContentCodings::kTooMany, ""},
      {{"gzip, gzip", "gzip, gzip, gzip, unknown"}, ContentCodings::kUnknown, ""},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Decoder> decoder;
    EXPECT_EQ(CreateContentDecoder(c.values, decoder), c.expected) << c.name;
    EXPECT_EQ(decoder ? decoder->GetName() : "", c.name);
  }
}

// ---------------------------------------------------------------------------------
// Through the parser

class DecodingParserTest : public ::testing::Test {
 protected:
  // Temporary files, not counting a log capture's directory.
  std::vector<fs::path> Files() const { return temp_.Files(); }

  struct Outcome {
    bool ok = false;
    std::string failure;
    bool too_large = false;
    std::string body;  // of a failed streamed body: what its file held
    bool compressed = false;
    std::uint64_t body_length = 0;
    std::int64_t message_length = 0;
    std::string coding_field;
  };

  // Parses `wire` cut at `cut`, decoding up to `limit` bytes.
  Outcome Parse(const std::string& wire, bool stream, std::size_t cut = 0,
                std::uint64_t limit = 0) {
    Response response;
    ResponseParser parser;
    parser.Init(&response, stream);
    parser.SetDecoding(true, limit);
    Outcome out;
    out.ok = parser.Parse(wire.data(), cut) && parser.Parse(wire.data() + cut, wire.size() - cut) &&
             parser.IsFinished();
    out.failure = parser.GetFailure();
    out.too_large = parser.IsBodyTooLarge();
    out.body_length = parser.GetBodyLength();
    out.message_length = response.GetContentLength();
    out.coding_field = response.GetHeader("Content-Encoding");
    if (auto file = response.GetFileBody()) {
      EXPECT_TRUE(ReadFile(file->GetPath(), out.body));
    } else if (auto body = std::dynamic_pointer_cast<StringBody>(response.GetBody())) {
      out.body = body->GetData();
      out.compressed = body->IsCompressed();
    }
    if (stream && !out.ok) {
      // The file of a failed body stays until the parser starts over, as for any failure.
      std::vector<fs::path> files = Files();
      EXPECT_EQ(files.size(), 1u);
      EXPECT_TRUE(files.empty() || ReadFile(files[0], out.body));
      parser.Init(nullptr, false);
      EXPECT_TRUE(Files().empty());
    }
    return out;
  }

  test::PrivateTempDir temp_;  // TMPDIR, where streamed bodies go
};

std::string Wire(const char* coding, const std::string& body, bool chunked) {
  std::string head = std::string("HTTP/1.1 200 OK\r\nContent-Encoding: ") + coding + "\r\n";
  if (!chunked) return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  std::string wire = head + "Transfer-Encoding: chunked\r\n\r\n";
  for (std::size_t i = 0; i < body.size(); i += 16) {
    char size[16];
    std::snprintf(size, sizeof(size), "%zx\r\n", std::min<std::size_t>(16, body.size() - i));
    wire += size + body.substr(i, 16) + "\r\n";
  }
  return wire + "0\r\n\r\n";
}

TEST_F(DecodingParserTest, CodedBodiesDecodeInMemoryAndStreamedInAnyPieces) {
  LogCapture log;
  const std::string text = Text(12);
  for (const Coding& coding : kCodings) {
    const std::string encoded = coding.encode(text);
    for (bool stream : {false, true}) {
      for (bool chunked : {false, true}) {
        SCOPED_TRACE(std::string(coding.label) + (stream ? " streamed" : " in memory") +
                     (chunked ? " chunked" : ""));
        const std::string wire = Wire(coding.header, encoded, chunked);
        for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
          Outcome out = Parse(wire, stream, cut);
          ASSERT_TRUE(out.ok) << out.failure << " at " << cut;
          ASSERT_EQ(out.body, text) << "split at " << cut;
          EXPECT_FALSE(out.compressed);
          EXPECT_EQ(out.body_length, encoded.size()) << "received bytes, still coded";
          EXPECT_EQ(out.message_length, static_cast<std::int64_t>(text.size()));
          EXPECT_EQ(out.coding_field, coding.header);
        }
      }
    }
  }
  EXPECT_EQ(log.Count("WARN", "Compressed HTTP content remains untouched"), 0u);
  EXPECT_TRUE(Files().empty());
}

TEST_F(DecodingParserTest, CorruptAndTruncatedBodiesNameTheCodingAndLeaveNoFile) {
  const std::string text = Text(30);
  for (const Coding& coding : kCodings) {
    const std::string encoded = coding.encode(text);
    const std::string truncated = std::string("Truncated ") + coding.name + " stream";
    for (bool stream : {false, true}) {
      SCOPED_TRACE(std::string(coding.label) + (stream ? " streamed" : " in memory"));
      Outcome out = Parse(Wire(coding.header, coding.corrupt(encoded), false), stream);
      EXPECT_EQ(out.failure,
                std::string("Corrupt ") + coding.name + " stream: " + coding.corrupt_reason);
      EXPECT_FALSE(out.ok || out.too_large);
      for (std::size_t cut : {encoded.size() - 1, encoded.size() / 2, std::size_t{1}}) {
        LogCapture log;
        out = Parse(Wire(coding.header, encoded.substr(0, cut), true), stream);
        EXPECT_EQ(out.failure, truncated) << "cut at " << cut;
        EXPECT_FALSE(out.ok || out.too_large);
        EXPECT_EQ(log.Count("ERRO", truncated), 1u);
      }
    }
  }
  // A body that the close ends is cut short by it.
  Response response;
  ResponseParser parser;
  parser.Init(&response, false);
  parser.SetDecoding(true, 0);
  std::string wire = "HTTP/1.1 200 OK\r\nContent-Encoding: br\r\n\r\n" + Brotli(text).substr(0, 9);
  ASSERT_TRUE(parser.Parse(wire.data(), wire.size()));
  EXPECT_FALSE(parser.FinishAtClose());
  EXPECT_EQ(parser.GetFailure(), "Truncated br stream");
}

// Bodies that decode to a gigabyte each: from a megabyte of gzip members (deflate
// cannot pack more than about 1000:1), from a few kilobytes when gzipped twice or
// brotli-coded, from some 30 KB of zstd frames.
TEST_F(DecodingParserTest, BombsStopAtTheLimitAsTooLarge) {
  const std::string mebibyte(1 << 20, '\0');
  const std::string member = Gzip(mebibyte), frame = Zstd(mebibyte);
  std::string members, frames;
  for (int i = 0; i < 1024; ++i) members += member, frames += frame;
  const std::pair<const char*, std::string> bombs[] = {{"gzip", members},
                                                       {"gzip, gzip", Gzip(members)},
                                                       {"zstd", frames},
                                                       {"br", Brotli(mebibyte, 1024)}};
  constexpr std::uint64_t kLimit = 1 << 20;
  for (const auto& [coding, encoded] : bombs) {
    RecordProperty(coding, std::to_string(encoded.size()));
    for (bool stream : {false, true}) {
      SCOPED_TRACE(std::string(coding) + (stream ? " streamed" : " in memory"));
      Outcome out = Parse(Wire(coding, encoded, false), stream, 0, kLimit);
      EXPECT_FALSE(out.ok);
      EXPECT_TRUE(out.too_large);
      EXPECT_EQ(out.failure,
                "Decoded body larger than 1048576 bytes (" + std::string(coding) + ")");
      EXPECT_LT(out.body_length, encoded.size()) << "stopped as the limit was crossed";
      // What reached the file: up to the block that would have crossed the limit, less
      // what the file's 64 KiB stream buffer still held when the body failed.
      EXPECT_LE(out.body.size(), kLimit);
      EXPECT_GE(out.body.size() + kDecodeBlockSize + 64 * 1024, stream ? kLimit : 0);
    }
  }
  // Exactly at the limit is within it.
  Outcome out = Parse(Wire("gzip", Gzip(std::string(kLimit, 'a')), true), false, 0, kLimit);
  EXPECT_TRUE(out.ok) << out.failure;
  EXPECT_EQ(out.body.size(), kLimit);
}

TEST_F(DecodingParserTest, BodiesWithoutADecodableCodingStayAsReceived) {
  const std::string gzipped = Gzip("text");
  struct Case {
    std::string wire;
    bool decode;
    std::string body;  // what the response holds afterwards
    bool compressed;
  } cases[] = {
      {Wire("compress", "LZW?", false), true, "LZW?", true},
      {Wire("gzip, compress", gzipped, true), true, gzipped, true},
      {Wire("identity", "text", false), true, "text", false},
      {Wire("gzip", gzipped, false), false, gzipped, true},
      {"HTTP/1.1 204 No Content\r\nContent-Encoding: gzip\r\n\r\n", true, "", false},
      {"HTTP/1.1 304 Not Modified\r\nContent-Encoding: br\r\nContent-Length: 9\r\n\r\n", true, "",
       false},
  };
  for (const Case& c : cases) {
    LogCapture log;
    Response response;
    ResponseParser parser;
    parser.Init(&response, false);
    parser.SetDecoding(true, 0);
    if (!c.decode) parser.Init(&response, false);  // which switches decoding off again
    ASSERT_TRUE(parser.Parse(c.wire.data(), c.wire.size())) << c.wire;
    EXPECT_TRUE(parser.IsFinished());
    EXPECT_EQ(response.GetData(), c.body);
    auto body = std::dynamic_pointer_cast<StringBody>(response.GetBody());
    EXPECT_EQ(body != nullptr && body->IsCompressed(), c.compressed) << c.wire;
    EXPECT_EQ(log.Count("WARN", "Compressed HTTP content remains untouched"),
              c.compressed ? 1u : 0u);
  }
  // A response to HEAD has nothing to decode, and more codings than allowed fail.
  Response response;
  ResponseParser parser;
  parser.Init(&response, false);
  parser.SetIgnoreBody(true);
  parser.SetDecoding(true, 0);
  std::string head = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 30\r\n\r\n";
  EXPECT_TRUE(parser.Parse(head.data(), head.size()) && parser.IsFinished());
  EXPECT_EQ(Parse(Wire("gzip, gzip, gzip, gzip, gzip", "", false), false).failure,
            "More than 4 content codings");
}

}  // namespace
}  // namespace test
}  // namespace korvo
