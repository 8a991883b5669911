// The content decoders over zlib, libbrotlidec and libzstd, and the chain that undoes
// several codings in turn. Thread rules as in decoder.h: one thread per decoder.
#include "korvo/internal/decoder.h"

#include "korvo/common.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <utility>

namespace korvo {

namespace {

// zlib counts in 32 bits; longer pieces are fed in parts.
constexpr std::size_t kMaxInflateInput = std::size_t{1} << 30;

// 15 bits of window, plus 16 for zlib to expect a gzip wrapper, or negated for raw
// deflate without any wrapper.
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kZlibWindowBits = 15;
constexpr int kRawWindowBits = -15;

// 8 MiB, the window browsers accept in a zstd-coded response; a frame asking for more
// could make every response cost up to 2 GiB.
constexpr int kZstdWindowLogMax = 23;

// A zlib wrapper: compression method 8 with a window of at most 32 KiB, and the two
// bytes a multiple of 31 (RFC 1950). Raw deflate rarely starts so: its first block
// would have to be a stored one with padding bits set.
bool IsZlibHeader(unsigned char first, unsigned char second) {
  return (first & 0x0F) == 8 && (first >> 4) <= 7 && ((first << 8) | second) % 31 == 0;
}

// gzip (a member after another when they are concatenated) and deflate, through zlib.
class ZlibDecoder final : public Decoder {
 public:
  ZlibDecoder(bool gzip, std::size_t block_size)
      : Decoder(gzip ? "gzip" : "deflate", block_size), gzip_(gzip) {}
  ~ZlibDecoder() override {
    if (initialized_) inflateEnd(&stream_);
  }

  bool Decode(const char* data, std::size_t size, DecodeSink& sink) override;
  bool Finish(DecodeSink& sink) override;

 private:
  enum class State {
    kEmpty,        // nothing received yet
    kSniffing,     // deflate: the first byte is held until the second tells the wrapper
    kStream,       // inside a stream (a gzip member)
    kAfterMember,  // gzip: a member ended; another may follow
    kIgnoring,     // gzip: bytes after the last member, dropped
    kEnded,        // deflate: the stream ended
  };

  bool Start(int window_bits);
  // Inflates until the input is used up or the stream ends, advancing `data`.
  bool Inflate(const char*& data, std::size_t& size, DecodeSink& sink);

  const bool gzip_;
  State state_ = State::kEmpty;
  bool initialized_ = false;
  z_stream stream_{};
  char sniffed_ = 0;
};

bool ZlibDecoder::Start(int window_bits) {
  int result = initialized_ ? inflateReset(&stream_) : inflateInit2(&stream_, window_bits);
  if (result != Z_OK) return Corrupt(stream_.msg != nullptr ? stream_.msg : zError(result));
  initialized_ = true;
  state_ = State::kStream;
  return true;
}

bool ZlibDecoder::Decode(const char* data, std::size_t size, DecodeSink& sink) {
  while (size > 0) {
    switch (state_) {
      case State::kEmpty:
        if (gzip_) {
          if (!Start(kGzipWindowBits)) return false;
        } else {
          state_ = State::kSniffing;
          sniffed_ = *data++;
          --size;
        }
        break;
      case State::kSniffing: {
        auto first = static_cast<unsigned char>(sniffed_);
        auto second = static_cast<unsigned char>(*data);
        if (!Start(IsZlibHeader(first, second) ? kZlibWindowBits : kRawWindowBits)) return false;
        const char* held = &sniffed_;
        std::size_t held_size = 1;
        if (!Inflate(held, held_size, sink)) return false;
        break;
      }
      case State::kStream:
        if (!Inflate(data, size, sink)) return false;
        break;
      case State::kAfterMember:
        // Concatenated members decode as one body. Anything else after a member is
        // dropped rather than refused: some servers pad a gzip body with zeros.
        if (static_cast<unsigned char>(*data) == 0x1F) {
          if (!Start(kGzipWindowBits)) return false;
        } else {
          state_ = State::kIgnoring;
        }
        break;
      case State::kIgnoring:
        size = 0;
        break;
      case State::kEnded:
        return Corrupt("data after the end of the stream");
    }
  }
  return true;
}

bool ZlibDecoder::Inflate(const char*& data, std::size_t& size, DecodeSink& sink) {
  for (;;) {
    auto offered = static_cast<uInt>(std::min(size, kMaxInflateInput));
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_.avail_in = offered;
    stream_.next_out = reinterpret_cast<Bytef*>(Block());
    stream_.avail_out = static_cast<uInt>(BlockSize());
    int result = inflate(&stream_, Z_NO_FLUSH);
    std::size_t consumed = offered - stream_.avail_in;
    std::size_t produced = BlockSize() - stream_.avail_out;
    data += consumed;
    size -= consumed;
    if (result == Z_NEED_DICT) return Corrupt("needs a preset dictionary");
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
      return Corrupt(stream_.msg != nullptr ? stream_.msg : zError(result));
    }
    if (produced > 0 && !sink.Write(Block(), produced)) return false;
    if (result == Z_STREAM_END) {
      state_ = gzip_ ? State::kAfterMember : State::kEnded;
      return true;
    }
    // A full block may have more behind it; otherwise only more input helps.
    if (stream_.avail_out > 0 && size == 0) return true;
    if (consumed == 0 && produced == 0) return Corrupt("no progress");
  }
}

bool ZlibDecoder::Finish(DecodeSink& /*sink*/) {
  // inflate never holds back output it could produce, so nothing is left to write.
  if (state_ == State::kSniffing || state_ == State::kStream) return Truncated();
  return true;
}

class BrotliDecoder final : public Decoder {
 public:
  explicit BrotliDecoder(std::size_t block_size) : Decoder("br", block_size) {}
  ~BrotliDecoder() override {
    if (state_ != nullptr) BrotliDecoderDestroyInstance(state_);
  }

  bool Decode(const char* data, std::size_t size, DecodeSink& sink) override;
  bool Finish(DecodeSink& sink) override;

 private:
  BrotliDecoderState* state_ = nullptr;
  bool started_ = false;
  bool ended_ = false;
};

bool BrotliDecoder::Decode(const char* data, std::size_t size, DecodeSink& sink) {
  if (size == 0) return true;
  if (ended_) return Corrupt("data after the end of the stream");
  if (state_ == nullptr) {
    state_ = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    if (state_ == nullptr) return Corrupt("out of memory");
  }
  started_ = true;
  auto next_in = reinterpret_cast<const std::uint8_t*>(data);
  std::size_t available_in = size;
  for (;;) {
    auto next_out = reinterpret_cast<std::uint8_t*>(Block());
    std::size_t available_out = BlockSize();
    BrotliDecoderResult result = BrotliDecoderDecompressStream(
        state_, &available_in, &next_in, &available_out, &next_out, nullptr);
    if (result == BROTLI_DECODER_RESULT_ERROR) {
      // "PADDING_1" ("_ERROR_FORMAT_PADDING_1" in some versions) reads as "padding 1".
      std::string reason = BrotliDecoderErrorString(BrotliDecoderGetErrorCode(state_));
      reason.erase(0, reason.find_first_not_of('_'));
      for (std::string_view prefix : {"ERROR_", "FORMAT_"}) {
        if (reason.compare(0, prefix.size(), prefix) == 0) reason.erase(0, prefix.size());
      }
      for (char& c : reason) {
        c = c == '_' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      return Corrupt(reason);
    }
    std::size_t produced = BlockSize() - available_out;
    if (produced > 0 && !sink.Write(Block(), produced)) return false;
    if (result == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) return true;
    if (result == BROTLI_DECODER_RESULT_SUCCESS) {
      ended_ = true;
      // The window is of no use any more; a pooled connection should not keep it.
      BrotliDecoderDestroyInstance(state_);
      state_ = nullptr;
      return available_in == 0 || Corrupt("data after the end of the stream");
    }
    // BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT: the next block.
  }
}

bool BrotliDecoder::Finish(DecodeSink& /*sink*/) {
  // Output is drained block by block in Decode, so only the end is in question.
  if (started_ && !ended_) return Truncated();
  return true;
}

// The longest zstd frame header.
constexpr std::size_t kZstdHeaderMax = 18;

// A frame of the standard format, or a skippable one (any of 16 magic numbers).
bool IsZstdMagic(std::string_view header) {
  std::uint32_t magic = 0;
  for (int i = 3; i >= 0; --i) magic = magic << 8 | static_cast<unsigned char>(header[i]);
  return magic == ZSTD_MAGICNUMBER || (magic & 0xFFFFFFF0u) == ZSTD_MAGIC_SKIPPABLE_START;
}

// zstd: any number of frames one after another, skippable frames included.
class ZstdDecoder final : public Decoder {
 public:
  explicit ZstdDecoder(std::size_t block_size) : Decoder("zstd", block_size) {}
  ~ZstdDecoder() override { ZSTD_freeDCtx(context_); }

  bool Decode(const char* data, std::size_t size, DecodeSink& sink) override;
  bool Finish(DecodeSink& sink) override;

 private:
  // Holds a frame to the content size its header declares. libzstd checks that only
  // when a frame arrives whole, and not for a frame of one empty block that arrives in
  // pieces: the same bytes would pass or fail by how they were cut.
  bool EndFrame();

  ZSTD_DCtx* context_ = nullptr;
  bool frame_open_ = false;  // a frame has begun and not been decoded and flushed whole
  std::string header_;       // the first bytes of the current frame, up to kZstdHeaderMax
  std::uint64_t frame_output_ = 0;
};

bool ZstdDecoder::Decode(const char* data, std::size_t size, DecodeSink& sink) {
  if (size == 0) return true;
  if (context_ == nullptr) {
    context_ = ZSTD_createDCtx();
    if (context_ == nullptr) return Corrupt("out of memory");
    std::size_t set = ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, kZstdWindowLogMax);
    if (ZSTD_isError(set)) return Corrupt(ZSTD_getErrorName(set));
  }
  ZSTD_inBuffer in{data, size, 0};
  for (;;) {
    // libzstd also reads the frames of its formats from before the standard, but only
    // when their magic number arrives in one piece: the magic number of each frame is
    // checked here before libzstd sees more of the frame.
    std::size_t magic_missing = header_.size() < 4 ? 4 - header_.size() : size;
    in.size = std::min(size, in.pos + magic_missing);
    ZSTD_outBuffer out{Block(), BlockSize(), 0};
    std::size_t before = in.pos;
    std::size_t result = ZSTD_decompressStream(context_, &out, &in);
    if (ZSTD_isError(result)) return Corrupt(ZSTD_getErrorName(result));
    // A call never reads past the end of a frame, so these bytes are all the frame's.
    std::size_t read = std::min(in.pos - before, kZstdHeaderMax - header_.size());
    header_.append(data + before, read);
    if (header_.size() >= 4 && header_.size() - read < 4 && !IsZstdMagic(header_)) {
      return Corrupt("Unknown frame descriptor");
    }
    frame_output_ += out.pos;
    if (out.pos > 0 && !sink.Write(Block(), out.pos)) return false;
    // 0: a frame was decoded and flushed whole. A call that moved nothing (between
    // frames, with no input) says nothing about a frame.
    if (result == 0) {
      if (!EndFrame()) return false;
      frame_open_ = false;
    } else if (in.pos > before || out.pos > 0) {
      frame_open_ = true;
    }
    if (in.pos == size && out.pos < out.size) return true;
  }
}

bool ZstdDecoder::EndFrame() {
  // The whole frame, or its first kZstdHeaderMax bytes, which hold the header.
  unsigned long long declared = ZSTD_getFrameContentSize(header_.data(), header_.size());
  header_.clear();
  std::uint64_t output = frame_output_;
  frame_output_ = 0;
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR) return true;
  return output == declared || Corrupt("Data corruption detected");
}

bool ZstdDecoder::Finish(DecodeSink& /*sink*/) {
  if (frame_open_) return Truncated();
  return true;
}

// Several codings, undone one after the other: each stage's blocks are decoded by the
// next stage as they come, so no stage buffers another's output.
class ChainDecoder final : public Decoder {
 public:
  ChainDecoder(std::string name, std::vector<std::unique_ptr<Decoder>> stages,
               std::size_t block_size)
      : Decoder(std::move(name), block_size), stages_(std::move(stages)) {
    for (std::size_t i = 0; i < stages_.size(); ++i) links_.emplace_back(this, i + 1);
  }

  bool Decode(const char* data, std::size_t size, DecodeSink& sink) override {
    sink_ = &sink;
    return Check(stages_.front()->Decode(data, size, links_.front()));
  }

  bool Finish(DecodeSink& sink) override {
    sink_ = &sink;
    for (std::size_t i = 0; i < stages_.size(); ++i) {
      if (!stages_[i]->Finish(links_[i])) return Check(false);
    }
    return true;
  }

 private:
  // Hands the output of one stage to the stage `next` (the caller's sink past the last).
  class Link final : public DecodeSink {
   public:
    Link(ChainDecoder* chain, std::size_t next) : chain_(chain), next_(next) {}
    bool Write(const char* data, std::size_t size) override {
      if (next_ == chain_->stages_.size()) return chain_->sink_->Write(data, size);
      return chain_->stages_[next_]->Decode(data, size, chain_->links_[next_]);
    }

   private:
    ChainDecoder* chain_;
    std::size_t next_;
  };

  // A stage that failed says why; a refusing sink leaves every reason empty.
  bool Check(bool ok) {
    if (ok) return true;
    for (const auto& stage : stages_) {
      if (!stage->GetError().empty()) return SetError(stage->GetError());
    }
    return false;
  }

  std::vector<std::unique_ptr<Decoder>> stages_;  // in decoding order
  std::vector<Link> links_;                       // links_[i] takes stage i's output
  DecodeSink* sink_ = nullptr;
};

bool IsKnownCoding(std::string_view coding) {
  for (std::string_view known : {"gzip", "x-gzip", "deflate", "br", "zstd"}) {
    if (AsciiIEquals(coding, known)) return true;
  }
  return false;
}

void TrimBlanks(std::string_view& text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
}

}  // namespace

Decoder::Decoder(std::string name, std::size_t block_size)
    : name_(std::move(name)), block_size_(block_size != 0 ? block_size : kDecodeBlockSize) {}

bool Decoder::SetError(std::string error) {
  error_ = std::move(error);
  return false;
}

bool Decoder::Corrupt(std::string_view reason) {
  return SetError("Corrupt " + name_ + " stream: " + std::string(reason));
}

bool Decoder::Truncated() { return SetError("Truncated " + name_ + " stream"); }

char* Decoder::Block() {
  if (block_ == nullptr) block_ = std::make_unique<char[]>(block_size_);
  return block_.get();
}

std::unique_ptr<Decoder> CreateDecoder(std::string_view coding, std::size_t block_size) {
  if (AsciiIEquals(coding, "gzip") || AsciiIEquals(coding, "x-gzip")) {
    return std::make_unique<ZlibDecoder>(true, block_size);
  }
  if (AsciiIEquals(coding, "deflate")) return std::make_unique<ZlibDecoder>(false, block_size);
  if (AsciiIEquals(coding, "br")) return std::make_unique<BrotliDecoder>(block_size);
  if (AsciiIEquals(coding, "zstd")) return std::make_unique<ZstdDecoder>(block_size);
  return nullptr;
}

ContentCodings CreateContentDecoder(const std::vector<std::string>& values,
                                    std::unique_ptr<Decoder>& decoder,
                                    std::size_t block_size) {
  decoder.reset();
  std::vector<std::string_view> codings;  // in the order applied
  bool too_many = false;
  for (std::string_view value : values) {
    while (!value.empty()) {
      std::size_t comma = value.find(',');
      std::string_view coding = value.substr(0, comma);
      value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
      TrimBlanks(coding);
      if (coding.empty() || AsciiIEquals(coding, "identity")) continue;
      if (!IsKnownCoding(coding)) return ContentCodings::kUnknown;
      if (codings.size() == kMaxContentCodings) {
        too_many = true;
      } else {
        codings.push_back(coding);
      }
    }
  }
  if (too_many) return ContentCodings::kTooMany;
  if (codings.empty()) return ContentCodings::kNone;
  if (codings.size() == 1) {
    decoder = CreateDecoder(codings.front(), block_size);
    return ContentCodings::kDecodable;
  }
  std::vector<std::unique_ptr<Decoder>> stages;  // the last applied first
  std::string name;
  for (auto coding = codings.rbegin(); coding != codings.rend(); ++coding) {
    stages.push_back(CreateDecoder(*coding, block_size));
    name.insert(0, stages.back()->GetName() + (name.empty() ? "" : ", "));
  }
  decoder = std::make_unique<ChainDecoder>(std::move(name), std::move(stages), block_size);
  return ContentCodings::kDecodable;
}

}  // namespace korvo
