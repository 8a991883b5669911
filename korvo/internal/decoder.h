// Decoder: undoes the content codings of a response body ("Content-Encoding": gzip,
// deflate, br, zstd) as the body arrives, in pieces of any size.
//
// Memory stays bounded whatever the body: nothing buffers the encoded or the decoded
// body, and the decoded bytes are handed to a sink in blocks of at most the block size,
// so that a sink enforcing a size limit stops a small body that decodes to gigabytes as
// soon as the limit is crossed. What a decoder keeps besides is bounded by its format:
// zlib's 32 KiB window, brotli's window of at most 16 MiB, and zstd's window, which is
// held to 8 MiB as browsers hold it for HTTP.
//
// An empty body decodes to an empty body, whatever the coding: servers send
// "Content-Length: 0" beside a coding they never applied. gzip members one after another
// decode as one body, and bytes after the last member that do not start another are
// dropped (servers pad with zeros); after the end of a deflate or br stream, any byte is
// corrupt. zstd takes any number of frames, skippable ones included, but only frames of
// the standard format, each holding as many bytes as its header declares.
//
// A list of codings ("gzip, br") is undone in reverse order by a chain of decoders, each
// decoding the previous one's blocks as they come.
//
// Thread rules: a decoder is used by one thread at a time and takes no locks; distinct
// decoders are independent.
#ifndef KORVO_INTERNAL_DECODER_H_
#define KORVO_INTERNAL_DECODER_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvo {

// Decoded bytes are handed out in blocks of at most this many bytes.
inline constexpr std::size_t kDecodeBlockSize = 32 * 1024;

// A "Content-Encoding" list longer than this is refused: each coding keeps a window of
// its own, and no server applies more than two.
inline constexpr std::size_t kMaxContentCodings = 4;

// DecodeSink: where a decoder puts decoded bytes.
class DecodeSink {
 public:
  // Takes `size` decoded bytes (never zero). False stops the decoding; the sink then
  // knows why (a size limit, a file that cannot be written).
  virtual bool Write(const char* data, std::size_t size) = 0;

 protected:
  ~DecodeSink() = default;
};

class Decoder {
 public:
  virtual ~Decoder() = default;

  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Decodes the next `size` encoded bytes, writing to `sink` everything they decode to.
  // False when the stream is corrupt (GetError() says why) or the sink refused a block
  // (GetError() stays empty). After a false result the decoder is not to be used again.
  virtual bool Decode(const char* data, std::size_t size, DecodeSink& sink) = 0;

  // The encoded body has ended. False when the stream was cut short ("Truncated br
  // stream"), or as Decode.
  virtual bool Finish(DecodeSink& sink) = 0;

  // The coding as failures name it: "gzip", "deflate", "br", "zstd", or a list for a
  // chain ("gzip, br").
  const std::string& GetName() const { return name_; }

  // Why the stream was refused, naming the coding ("Corrupt gzip stream: incorrect data
  // check", "Truncated zstd stream"); empty while it was not.
  const std::string& GetError() const { return error_; }

 protected:
  Decoder(std::string name, std::size_t block_size);

  // Records `error` as the reason and returns false.
  bool SetError(std::string error);
  // Records "Corrupt <name> stream: <reason>" and returns false.
  bool Corrupt(std::string_view reason);
  // Records "Truncated <name> stream" and returns false.
  bool Truncated();

  // The output block, allocated at the first use.
  char* Block();
  std::size_t BlockSize() const { return block_size_; }

 private:
  std::string name_;
  std::string error_;
  std::size_t block_size_;
  std::unique_ptr<char[]> block_;
};

// The decoder of one coding, named in any case: "gzip" or "x-gzip", "deflate" (with or
// without zlib's wrapper, told apart by its first two bytes), "br" or "zstd". Null for
// any other name, "identity" included. A block size of 0 means kDecodeBlockSize.
std::unique_ptr<Decoder> CreateDecoder(std::string_view coding,
                                       std::size_t block_size = kDecodeBlockSize);

// What the "Content-Encoding" fields of a message ask for.
enum class ContentCodings {
  kNone,       // no field, or "identity" only
  kDecodable,  // every coding is known: the decoder undoes them all
  kUnknown,    // some coding is not known: the body can only be kept as it is
  kTooMany,    // more than kMaxContentCodings codings
};

// Reads the values of every "Content-Encoding" field, in the order received, each a
// comma-separated list. Codings were applied in the order listed, so the decoder for
// kDecodable undoes the last one first.
ContentCodings CreateContentDecoder(const std::vector<std::string>& values,
                                    std::unique_ptr<Decoder>& decoder,
                                    std::size_t block_size = kDecodeBlockSize);

}  // namespace korvo

#endif  // KORVO_INTERNAL_DECODER_H_
