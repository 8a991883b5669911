// Request: a message with a method and a URL. Prepare computes the request line and
// "Host", and refuses a request whose line or fields would let text break out of them.
//
// Thread rules: as Message.
#ifndef KORVO_REQUEST_H_
#define KORVO_REQUEST_H_

#include <string>
#include <utility>

#include "korvo/message.h"
#include "korvo/url.h"

namespace korvo {

struct RequestAccess;  // the session's side of a request, inside the library

class Request : public Message {
 public:
  Request() = default;

  // The method is sent with its case unchanged.
  Request& SetMethod(std::string method) {
    method_ = std::move(method);
    return *this;
  }
  const std::string& GetMethod() const { return method_; }

  Request& SetUrl(Url url) {
    url_ = std::move(url);
    return *this;
  }
  const Url& GetUrl() const { return url_; }

  // Sets "<method> <target> HTTP/1.1" and "Host" once; later calls only check the fields
  // again. The target is the URL's path ("/" when empty) and query; the fragment is never
  // sent. Throws Error(kRequestError) with "Host is missing", "Invalid request line" or
  // "Invalid header field" (detail() names the field), leaving an unprepared request
  // unprepared. korvo frames a request body itself: a "Transfer-Encoding" field set by
  // the caller is refused as an invalid field.
  //
  // A session's Send does not rely on this once-only rule: it prepares the request
  // again whenever the method or URL has changed since it was last prepared.
  void Prepare() override;

 private:
  friend struct RequestAccess;

  std::string method_;
  Url url_;
  // The fields that the session which last sent this request added from its defaults,
  // with the values it gave them. The next send, through whichever session, takes them
  // back unless the caller has changed them since: one session's credentials never
  // travel with the request to another's server.
  Headers session_fields_;
};

}  // namespace korvo

#endif  // KORVO_REQUEST_H_
