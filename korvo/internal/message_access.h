// The library's side of the message model: what the response parser, the request
// driver and the session do to messages, bodies and form parts that a program only
// reads. Each struct is a friend of its class; the classes' headers stay free of the
// wire types.
//
// Thread rules: those of the objects reached; each call happens on the thread that owns
// the message at that moment (see Message).
#ifndef KORVO_INTERNAL_MESSAGE_ACCESS_H_
#define KORVO_INTERNAL_MESSAGE_ACCESS_H_

#include <cstdint>
#include <string>
#include <utility>

#include "korvo/body.h"
#include "korvo/common.h"
#include "korvo/message.h"
#include "korvo/response.h"
#include "korvo/url.h"
#include "korvo/internal/payload.h"

namespace korvo {

struct MessageAccess {
  static void SetStartLine(Message& message, std::string line) {
    message.start_line_ = std::move(line);
  }

  // The head: start line, header lines and the blank line, as ranges over the message's
  // own strings and static separators, valid while the message is not changed. Does not
  // prepare the message.
  static detail::Payload HeadPayload(const Message& message);
};

struct ResponseAccess {
  static void SetStatus(Response& response, int status) { response.status_ = status; }
  static void SetReason(Response& response, std::string reason) {
    response.reason_ = std::move(reason);
  }
  static void SetUrl(Response& response, Url url) { response.url_ = std::move(url); }
  static void SetRedirectCount(Response& response, int count) {
    response.redirect_count_ = count;
  }
};

// How the request driver reads a body: InitPayload once per send, then NextPayload
// until it hands out an empty payload.
struct BodyAccess {
  static void InitPayload(Body& body) { body.InitPayload(); }
  static detail::Payload NextPayload(Body& body, bool free_previous) {
    return body.NextPayload(free_previous);
  }
};

// How a form body measures and writes its parts.
struct FormPartAccess {
  // Builds the part's fields once; throws as FormPart::SetHeaders says.
  static void SetHeaders(FormPart& part) { part.SetHeaders(); }
  // Bytes of the whole part, remembering a file's size (see FormPart::GetSize).
  static std::int64_t GetSize(FormPart& part) { return part.GetSize(); }
  // The file size the last GetSize counted; -1 before, and for a string part.
  static std::int64_t GetMeasuredSize(const FormPart& part) { return part.measured_size_; }
  // Appends ranges over the part's fields and the blank line that ends them; they stay
  // valid while the fields are unchanged. The data and the closing CRLF are the
  // sender's: a file goes out in chunks, never whole.
  static void AppendHead(FormPart& part, detail::Payload& payload) {
    part.SetHeaders();
    detail::AppendFields(payload, part.headers_);
  }
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_MESSAGE_ACCESS_H_
