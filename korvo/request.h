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
  // "Invalid header field", leaving an unprepared request unprepared.
  void Prepare() override;

 private:
  std::string method_;
  Url url_;
};

}  // namespace korvo

#endif  // KORVO_REQUEST_H_
