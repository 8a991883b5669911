// Body handlers: where a message's body bytes go as the parser frames them (memory, a
// temporary file, the caller's sink, or nowhere), and how each becomes the message's
// Body once the message is complete.
//
// Thread rules: a handler belongs to its parser and is used by one thread at a time
// (the event loop thread of the connection that owns the parser); it takes no locks.
#ifndef KORVO_INTERNAL_BODY_HANDLERS_H_
#define KORVO_INTERNAL_BODY_HANDLERS_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvo/send_options.h"

namespace korvo {

class Message;

// BodyHandler: receives the body bytes of one message and, when the message is
// complete, turns them into a Body that it gives to the message.
// Same thread rules as Parser.
class BodyHandler {
 public:
  explicit BodyHandler(Message* message) : message_(message) {}
  virtual ~BodyHandler() = default;

  BodyHandler(const BodyHandler&) = delete;
  BodyHandler& operator=(const BodyHandler&) = delete;

  // Appends `count` bytes. False when they could not be stored (already logged).
  virtual bool AddContent(const char* data, std::size_t count) = 0;
  bool AddContent(std::string_view data) { return AddContent(data.data(), data.size()); }

  // Bytes appended so far.
  virtual std::uint64_t GetContentLength() const = 0;

  // The body will have `length` bytes (a hint; handlers may ignore it).
  virtual void Reserve(std::uint64_t length) { (void)length; }

  // Storage of the handler's own that received bytes may be read straight into, sized
  // to at most `wanted` bytes (at least 1); null, the default, for a handler without
  // any. The handler leaves it alone until the bytes read into it have been parsed
  // (which hands the body among them to AddContent), so that they need no copy of
  // their own on the way.
  virtual std::vector<char>* GetReadBuffer(std::uint64_t wanted) {
    (void)wanted;
    return nullptr;
  }

  // Builds the Body and gives it to the message.
  virtual bool Finish() = 0;

 protected:
  Message* message_;  // not owned
};

// What became of a body's content coding, for the compressed mark of a StringBody.
enum class BodyCoding {
  kAsReceived,  // not decoded: marked compressed when the coding is gzip or deflate
  kDecoded,     // the bytes are decoded: never marked
  kUndecodable, // decoding was asked for but the coding is unknown: marked
};

// StringBodyHandler: collects the body in memory; Finish gives the message a
// StringBody, marked compressed when its bytes still carry a content coding (see
// BodyCoding), with a warning. An empty body leaves the message's default body alone.
class StringBodyHandler : public BodyHandler {
 public:
  explicit StringBodyHandler(Message* message, BodyCoding coding = BodyCoding::kAsReceived)
      : BodyHandler(message), coding_(coding) {}

  using BodyHandler::AddContent;
  bool AddContent(const char* data, std::size_t count) override;
  std::uint64_t GetContentLength() const override { return content_.size(); }
  void Reserve(std::uint64_t length) override;
  bool Finish() override;

  bool IsCompressed() const;

 private:
  // Makes room for `capacity` bytes in all.
  void Grow(std::size_t capacity);

  std::string content_;
  BodyCoding coding_;
};

// FileBodyHandler: streams the body into a new temporary file (10 random letters and
// digits in the system temporary directory, created exclusively with mode 0600).
// Finish gives the message a FileBody that owns the file; a handler destroyed before
// Finish (a body that failed half-way) removes its file.
//
// Small pieces are gathered in a write buffer of kFileBufferSize bytes; a piece of at
// least a quarter of that goes out at once, together with what the buffer holds, in one
// write. The driver reads a streamed body into the handler's read buffer (see
// GetReadBuffer), up to kFileReadSize bytes a read, so that a large read reaches the
// file without a copy in user space.
class FileBodyHandler : public BodyHandler {
 public:
  static constexpr std::size_t kFileBufferSize = 64 * 1024;
  static constexpr std::size_t kFileReadSize = 64 * 1024;

  explicit FileBodyHandler(Message* message) : BodyHandler(message) {}
  ~FileBodyHandler() override;

  // Creates the temporary file. False (logged) when no file could be created.
  bool OpenFile();

  using BodyHandler::AddContent;
  bool AddContent(const char* data, std::size_t count) override;
  std::uint64_t GetContentLength() const override { return streamed_size_; }
  std::vector<char>* GetReadBuffer(std::uint64_t wanted) override;
  bool Finish() override;

  const std::filesystem::path& GetTempPath() const { return temp_path_; }

 private:
  // Writes what the write buffer holds followed by `count` bytes of `data`; false
  // (logged) when the file did not take them all.
  bool Write(const char* data, std::size_t count);
  void CloseFile();

  std::uint64_t streamed_size_ = 0;
  int fd_ = -1;
  std::unique_ptr<char[]> write_buffer_;
  std::size_t buffered_ = 0;  // bytes in write_buffer_ not written yet
  std::vector<char> read_buffer_;
  std::filesystem::path temp_path_;
  bool handed_over_ = false;  // the FileBody owns the file now
};

// SinkBodyHandler: hands the body to the caller's function piece by piece and keeps
// none of it; the message keeps its empty default body. A sink that returns false
// stops the body (Stopped() says so).
//
// The driver reads the body into the handler's own buffer (as for a file), so that the
// sink gets pieces of up to kSinkReadSize bytes whatever the connection's buffer size.
class SinkBodyHandler : public BodyHandler {
 public:
  static constexpr std::size_t kSinkReadSize = 64 * 1024;

  SinkBodyHandler(Message* message, BodySink sink)
      : BodyHandler(message), sink_(std::move(sink)) {}

  using BodyHandler::AddContent;
  bool AddContent(const char* data, std::size_t count) override;
  std::uint64_t GetContentLength() const override { return delivered_; }
  std::vector<char>* GetReadBuffer(std::uint64_t wanted) override;
  bool Finish() override { return true; }

  bool Stopped() const { return stopped_; }

 private:
  BodySink sink_;
  std::uint64_t delivered_ = 0;
  bool stopped_ = false;
  std::vector<char> read_buffer_;
};

// DiscardBodyHandler: the body of a message that nobody will read: counted, then
// dropped; the message keeps its empty default body.
class DiscardBodyHandler : public BodyHandler {
 public:
  explicit DiscardBodyHandler(Message* message) : BodyHandler(message) {}

  using BodyHandler::AddContent;
  bool AddContent(const char* /*data*/, std::size_t count) override {
    dropped_ += count;
    return true;
  }
  std::uint64_t GetContentLength() const override { return dropped_; }
  bool Finish() override { return true; }

 private:
  std::uint64_t dropped_ = 0;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_BODY_HANDLERS_H_
