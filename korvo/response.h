// Response: a message with a status code and a reason phrase, created by the request
// driver and filled by the response parser.
//
// Thread rules: as Message.
#ifndef KORVO_RESPONSE_H_
#define KORVO_RESPONSE_H_

#include <string>
#include <string_view>
#include <utility>

#include "korvo/message.h"
#include "korvo/url.h"

namespace korvo {

// The standard reason phrase of a common status, or an empty text.
std::string_view DefaultReason(int status);

class Response : public Message {
 public:
  Response() = default;

  int GetStatus() const { return status_; }
  const std::string& GetReason() const { return reason_; }

  // The URL that answered: the request's own, or where the redirects that the session
  // followed ended.
  const Url& GetUrl() const { return url_; }

  // What answered, as its start line says: "HTTP/1.1", "HTTP/1.0" or "HTTP/2"; empty
  // for a response that has none yet.
  std::string GetVersion() const;

  // The number of redirects followed to reach this response.
  int GetRedirectCount() const { return redirect_count_; }

  // Sets "HTTP/1.1 <status> <reason>" (the default reason when none is set) and "Server"
  // once.
  void Prepare() override;

 private:
  // Filled by the parser and the session (korvo/internal/message_access.h).
  friend struct ResponseAccess;

  int status_ = 200;
  std::string reason_;
  Url url_;
  int redirect_count_ = 0;
};

}  // namespace korvo

#endif  // KORVO_RESPONSE_H_
