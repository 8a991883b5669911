// Message: what korvo sends and receives, a start line, ordered header fields, a body and
// a content length. Request and Response derive from it. The library writes the head as
// ranges over the message's own strings, never as one concatenated copy.
//
// Thread rules: not synchronised; one thread at a time (the caller's while building, the
// event loop's while the driver writes or the parser fills it, the caller's again after
// the send returns). Messages live in std::shared_ptr.
#ifndef KORVO_MESSAGE_H_
#define KORVO_MESSAGE_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "korvo/body.h"
#include "korvo/common.h"

namespace korvo {

enum ContentEncoding {
  kUnknown = 0,
  kGzip = 1,
  kDeflate = 2,
};

class Message {
 public:
  Message();
  virtual ~Message() = default;

  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  // Computes the start line and adds the message's own fields; later calls change nothing.
  virtual void Prepare() = 0;

  // Headers::Set, Add, Get, Has and Remove on the message's fields. The parser adds every
  // received field, so a repeated name keeps all its values (Headers::GetAll).
  bool SetHeader(std::string_view name, std::string_view value) { return headers_.Set(name, value); }
  bool AddHeader(std::string_view name, std::string_view value) { return headers_.Add(name, value); }
  const std::string& GetHeader(std::string_view name, bool* existed = nullptr) const {
    return headers_.Get(name, existed);
  }
  bool HasHeader(std::string_view name) const { return headers_.Has(name); }
  bool RemoveHeader(std::string_view name) { return headers_.Remove(name); }
  const Headers& GetHeaders() const { return headers_; }

  // Made by Prepare, or received.
  const std::string& GetStartLine() const { return start_line_; }

  // -1 when no length is known.
  Message& SetContentLength(std::int64_t length) {
    content_length_ = length;
    return *this;
  }
  std::int64_t GetContentLength() const { return content_length_; }

  // Holds `body` (an empty Body for null). With `set_length`, also sets the content length
  // and "Content-Length" from the body's size; the size's Error (a form part's file that
  // cannot be sized) passes through, with the new body held and the length unchanged.
  // Attaching the body already held does nothing at all.
  Message& SetBody(std::shared_ptr<Body> body, bool set_length);
  const std::shared_ptr<Body>& GetBody() const { return body_; }

  // "Content-Type" = media type, plus "; charset=" and the charset when one is given.
  // Nothing happens for an empty media type.
  Message& SetContentType(std::string_view media_type, std::string_view charset = {});

  // True without a "Connection" field, else only for exactly "Keep-Alive" (any case).
  bool IsConnectionKeepAlive() const;
  // "Content-Encoding" exactly "gzip" or "deflate"; anything else is kUnknown.
  ContentEncoding GetContentEncoding() const;

  // The text of a StringBody; an empty string for any other body.
  const std::string& GetData() const;
  // The body if it is a FileBody, else null.
  std::shared_ptr<FileBody> GetFileBody() const;
  bool IsForm() const;
  // Throws Error(kFormError, "Not a form body") when the body is not a FormBody.
  const FormParts& GetFormParts() const;

  // Prints the head and the body for logging, every line starting with "    > ".
  void Dump(std::ostream& stream) const;
  std::string Dump() const;

 protected:
  // The parser's and the driver's side of a message (korvo/internal/message_access.h).
  friend struct MessageAccess;

  std::shared_ptr<Body> body_;
  Headers headers_;
  std::string start_line_;
  std::int64_t content_length_ = -1;
};

}  // namespace korvo

#endif  // KORVO_MESSAGE_H_
