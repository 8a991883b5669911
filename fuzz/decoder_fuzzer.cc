// The content decoders: fed in pieces cut where the fuzzer chooses, a stream must decode
// as it does in one piece, never hand out a block over the block size, and stop at the
// size limit. The payload is either taken as a coded stream, or first coded by the
// matching encoder (then bytes may be flipped), so that valid streams, and streams broken
// at a chosen point, are reached from plain text seeds; an unbroken one must give the
// payload back.
//
// Input, from the end: a mode byte (coding, whether to encode, block size), the flips,
// the cuts; the payload is the rest.
#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "korvo/internal/decoder.h"

namespace {

using korvo::ContentCodings;
using korvo::Decoder;

constexpr std::size_t kLimit = 1 << 20;
constexpr std::size_t kBlockSizes[] = {3, 61, 4096, korvo::kDecodeBlockSize};

std::string Deflate(const std::string& data, int window_bits) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  FUZZ_CHECK(deflate(&z, Z_FINISH) == Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Brotli(const std::string& data) {
  std::string out(BrotliEncoderMaxCompressedSize(data.size()) + 16, '\0');
  std::size_t size = out.size();
  FUZZ_CHECK(BrotliEncoderCompress(5, 18, BROTLI_MODE_GENERIC, data.size(),
                                   reinterpret_cast<const std::uint8_t*>(data.data()), &size,
                                   reinterpret_cast<std::uint8_t*>(out.data())));
  out.resize(size);
  return out;
}

std::string Zstd(const std::string& data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  std::size_t size = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
  FUZZ_CHECK(!ZSTD_isError(size));
  out.resize(size);
  return out;
}

struct Coding {
  const char* header;
  std::string (*encode)(const std::string&);
};

const Coding kCodings[] = {
    {"gzip", [](const std::string& d) { return Deflate(d, 15 + 16); }},
    {"deflate", [](const std::string& d) { return Deflate(d, 15); }},
    {"deflate", [](const std::string& d) { return Deflate(d, -15); }},
    {"br", Brotli},
    {"zstd", Zstd},
    {"gzip, br", [](const std::string& d) { return Brotli(Deflate(d, 15 + 16)); }},
    {"x-gzip, zstd", [](const std::string& d) { return Zstd(Deflate(d, 15 + 16)); }},
    {"deflate, gzip", [](const std::string& d) { return Deflate(Deflate(d, -15), 15 + 16); }},
};

struct Sink : korvo::DecodeSink {
  explicit Sink(std::size_t block_size) : block_size(block_size) {}
  bool Write(const char* data, std::size_t size) override {
    FUZZ_CHECK(size > 0 && size <= block_size);
    if (size > kLimit - out.size()) {
      refused = true;
      return false;
    }
    out.append(data, size);
    return true;
  }
  std::size_t block_size;
  bool refused = false;
  std::string out;
};

struct Result {
  bool ok = false;
  bool refused = false;
  std::string error;
  std::string out;
};

Result Decode(const char* header, std::size_t block_size, const std::string& bytes,
              const std::vector<std::size_t>& cuts) {
  std::unique_ptr<Decoder> decoder;
  FUZZ_CHECK(korvo::CreateContentDecoder({header}, decoder, block_size) ==
             ContentCodings::kDecodable);
  Sink sink(block_size);
  Result result;
  std::size_t position = 0;
  result.ok = true;
  for (std::size_t end : cuts) {
    if (!decoder->Decode(bytes.data() + position, end - position, sink)) {
      result.ok = false;
      break;
    }
    position = end;
  }
  if (result.ok) result.ok = decoder->Finish(sink);
  result.refused = sink.refused;
  result.error = decoder->GetError();
  result.out = std::move(sink.out);
  // A refusing sink is the only failure without a reason.
  FUZZ_CHECK(result.ok || result.refused != !result.error.empty());
  FUZZ_CHECK(result.out.size() <= kLimit);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::uint8_t mode = provider.ConsumeIntegral<std::uint8_t>();
  const Coding& coding = kCodings[(mode & 7) % (sizeof(kCodings) / sizeof(kCodings[0]))];
  bool encode = (mode & 8) != 0;
  std::size_t block_size = kBlockSizes[(mode >> 4) & 3];
  std::vector<std::pair<std::uint16_t, std::uint8_t>> flips(
      provider.ConsumeIntegralInRange<std::size_t>(0, 3));
  for (auto& flip : flips) {
    flip.first = provider.ConsumeIntegral<std::uint16_t>();
    flip.second = provider.ConsumeIntegral<std::uint8_t>();
  }
  std::vector<std::uint16_t> raw_cuts(provider.ConsumeIntegralInRange<std::size_t>(0, 16));
  for (auto& cut : raw_cuts) cut = provider.ConsumeIntegral<std::uint16_t>();
  const std::string payload = provider.ConsumeRemainingBytesAsString();

  std::string bytes = encode ? coding.encode(payload) : payload;
  bool flipped = false;
  if (encode) {
    for (const auto& flip : flips) {
      if (bytes.empty() || flip.second == 0) continue;
      bytes[flip.first % bytes.size()] ^= static_cast<char>(flip.second);
      flipped = true;
    }
  }
  std::vector<std::size_t> cuts;
  for (std::uint16_t cut : raw_cuts) cuts.push_back(cut % (bytes.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  cuts.push_back(bytes.size());

  Result whole = Decode(coding.header, korvo::kDecodeBlockSize, bytes, {bytes.size()});
  Result split = Decode(coding.header, block_size, bytes, cuts);
  if (encode && !flipped) {
    FUZZ_CHECK(whole.ok);
    FUZZ_CHECK_EQ(whole.out, payload);
  }
  // Where the limit stopped one of them, how far each got depends on its blocks.
  if (!whole.refused && !split.refused) {
    FUZZ_CHECK(split.ok == whole.ok);
    if (whole.ok) FUZZ_CHECK_EQ(split.out, whole.out);
    // Truncated or corrupt, and in which coding, whatever the pieces; not the library's
    // own words (zstd words a broken block by the room it had to decode into). Nor, in a
    // chain, the stage: how much of a broken stage's output the next one saw before the
    // break was found depends on the pieces.
    if (std::string_view(coding.header).find(',') == std::string_view::npos) {
      FUZZ_CHECK_EQ(split.error.substr(0, split.error.find(':')),
                    whole.error.substr(0, whole.error.find(':')));
    }
  }
  return 0;
}
