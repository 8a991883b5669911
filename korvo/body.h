// Bodies: what a message carries after its head. A body tells its size and prints itself
// for logging; the request driver reads its bytes through the write side, which is the
// library's own (korvo/internal/message_access.h): InitPayload once, then NextPayload
// until it returns an empty payload. The base Body is the empty body; StringBody,
// FileBody and FormBody are the bodies korvo sends.
//
// Thread rules: bodies are not synchronised; one thread at a time (the caller's while a
// request is built, the event loop's while it is written). A payload stays valid until
// the next NextPayload call on the same body or the body's destruction.
#ifndef KORVO_BODY_H_
#define KORVO_BODY_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "korvo/common.h"

namespace korvo {

namespace detail {
struct Payload;  // korvo/internal/payload.h
}  // namespace detail

// Chunk size used by a file body that was given a chunk size of 0, which could never
// hand out the bytes its size promises.
inline constexpr std::size_t kDefaultChunkSize = 64 * 1024;

class Body {
 public:
  Body() = default;
  virtual ~Body() = default;

  Body(const Body&) = delete;
  Body& operator=(const Body&) = delete;

  // Number of bytes the body puts on the wire.
  virtual std::int64_t GetSize() const { return 0; }

  // Prints the body, every line starting with `prefix`.
  virtual void Dump(std::ostream& /*stream*/, const std::string& /*prefix*/) const {}

 private:
  // The write side, called by the request driver only: its payload is the library's
  // own type.
  friend struct BodyAccess;

  // Rewinds; the next NextPayload starts from the first byte again.
  virtual void InitPayload();

  // The next piece; empty once every byte was handed out. `free_previous` allows the body
  // to release what the previous call handed out.
  virtual detail::Payload NextPayload(bool free_previous);
};

// StringBody: bytes held in memory, handed out as one range over the string.
class StringBody : public Body {
 public:
  explicit StringBody(std::string data, bool compressed = false)
      : data_(std::move(data)), compressed_(compressed) {}

  const std::string& GetData() const { return data_; }
  // The bytes still carry a content coding: gzip or deflate, received without decoding,
  // or a coding that decoding was asked for but does not know.
  bool IsCompressed() const { return compressed_; }

  std::int64_t GetSize() const override { return static_cast<std::int64_t>(data_.size()); }
  void Dump(std::ostream& stream, const std::string& prefix) const override;

 private:
  void InitPayload() override { index_ = 0; }
  detail::Payload NextPayload(bool free_previous) override;

  std::string data_;
  bool compressed_ = false;
  std::uint64_t index_ = 0;
};

// FileBody: a file streamed in chunks through one reused buffer. With `auto_delete` the
// body owns the file and removes it when destroyed, unless it was moved away.
class FileBody : public Body {
 public:
  // Sends an existing file; measures it now and throws Error(kFileError, "Cannot read the
  // file") when it cannot be opened. A chunk size of 0 means kDefaultChunkSize.
  FileBody(std::filesystem::path path, std::size_t chunk_size);

  // Any other integer type is a chunk size too (FileBody(path, 4) would otherwise be
  // ambiguous with the bool overload); a negative one means kDefaultChunkSize.
  template <typename Int,
            std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool> &&
                                 !std::is_same_v<Int, std::size_t>,
                             int> = 0>
  FileBody(std::filesystem::path path, Int chunk_size)
      : FileBody(std::move(path), chunk_size > 0 ? static_cast<std::size_t>(chunk_size)
                                                 : std::size_t{0}) {}

  // A file that was just written (a streamed response) with `size` bytes: not opened
  // until it is handed out.
  FileBody(std::filesystem::path path, bool auto_delete, std::int64_t size = 0);

  ~FileBody() override;

  // Empty after a successful Move.
  const std::filesystem::path& GetPath() const { return path_; }

  // Renames the file to `new_path` and forgets it (so auto-delete no longer applies);
  // across file systems it is copied and the original removed. A streamed response's
  // temporary file (private to its owner until then) gets the permissions a new file
  // gets under the process's umask. False, with a log record, when nothing was moved.
  bool Move(const std::filesystem::path& new_path);

  std::int64_t GetSize() const override { return size_; }
  void Dump(std::ostream& stream, const std::string& prefix) const override;

 private:
  // Reopens the file; throws Error(kFileError, "Cannot read the file") when it cannot.
  void InitPayload() override;
  // Hands out at most GetSize() bytes, so that the body never overruns the
  // "Content-Length" sent before it; throws Error(kFileError, "File size changed") when
  // the file ends before that many bytes.
  detail::Payload NextPayload(bool free_previous) override;

  std::filesystem::path path_;
  std::size_t chunk_size_ = 0;
  bool auto_delete_ = false;
  std::int64_t size_ = 0;
  // Open while the file is handed out. Held apart so that users of this header do not
  // compile the file streams.
  std::unique_ptr<std::ifstream> file_;
  std::string chunk_;
  std::int64_t remaining_ = 0;  // bytes still to hand out since InitPayload
};

// FormBody: a multipart/form-data body over shared form parts. A string part goes out in
// one payload with its delimiter; a file part is read in chunks through one reused
// buffer, as FileBody reads, its delimiter and fields riding with its first chunk, so
// memory stays bounded by the chunk size however large the files. Its size is computed
// without reading any file, once: the "Content-Length" made from it is what the form
// holds its files to on every send. A form without parts is the closing delimiter alone.
class FormBody : public Body {
 public:
  // A chunk size of 0 means kDefaultChunkSize.
  FormBody(FormParts parts, std::string boundary, std::size_t chunk_size = kDefaultChunkSize);

  // Any other integer type is a chunk size too; a negative one means kDefaultChunkSize.
  template <typename Int,
            std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool> &&
                                 !std::is_same_v<Int, std::size_t>,
                             int> = 0>
  FormBody(FormParts parts, std::string boundary, Int chunk_size)
      : FormBody(std::move(parts), std::move(boundary),
                 chunk_size > 0 ? static_cast<std::size_t>(chunk_size) : std::size_t{0}) {}

  ~FormBody() override;

  const FormParts& GetParts() const { return parts_; }
  const std::string& GetBoundary() const { return boundary_; }

  // Measured the first time it is asked for, and the same ever after. Throws
  // Error(kFileError) when a file part cannot be sized, and FormPart's
  // Error(kRequestError) for a part whose fields cannot be written.
  std::int64_t GetSize() const override;
  void Dump(std::ostream& stream, const std::string& prefix) const override;

 private:
  void InitPayload() override;
  // Holds every file part to the size GetSize measured: throws FileBody's
  // Error(kFileError, "File size changed") when the file turns out shorter or longer,
  // and Error(kFileError, "Cannot read the file") when it cannot be opened or read. With
  // `free_previous`, the end of the form also releases the chunk buffer.
  detail::Payload NextPayload(bool free_previous) override;

  void OpenFile(const FormPart& part);
  void AppendChunk(detail::Payload& payload);
  // Closes the file part being read and throws Error(kFileError, `message`).
  [[noreturn]] void FailFile(const char* message);
  // Appends the part's closing CRLF, and the form's closing delimiter after the last.
  void EndPart(detail::Payload& payload);

  FormParts parts_;
  std::string boundary_;
  std::size_t chunk_size_ = kDefaultChunkSize;
  std::size_t index_ = 0;       // the part being handed out
  bool finished_ = false;       // every byte was handed out since InitPayload
  // Open only while a file part is being handed out; held apart as FileBody's is.
  std::unique_ptr<std::ifstream> file_;
  std::int64_t remaining_ = 0;  // bytes of that file still to hand out
  std::string chunk_;           // one buffer for every file part
  // Set by the first GetSize: the form's size and each part's file size (-1 for a
  // string part).
  mutable std::int64_t size_ = -1;
  mutable std::vector<std::int64_t> file_sizes_;
};

}  // namespace korvo

#endif  // KORVO_BODY_H_
