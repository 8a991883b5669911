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

namespace korvo {

// The standard reason phrase of a common status, or an empty text.
std::string_view DefaultReason(int status);

class Response : public Message {
 public:
  Response() = default;

  Response& SetStatus(int status) {
    status_ = status;
    return *this;
  }
  int GetStatus() const { return status_; }

  Response& SetReason(std::string reason) {
    reason_ = std::move(reason);
    return *this;
  }
  const std::string& GetReason() const { return reason_; }

  // Sets "HTTP/1.1 <status> <reason>" (the default reason when none is set) and "Server"
  // once.
  void Prepare() override;

 private:
  int status_ = 200;
  std::string reason_;
};

}  // namespace korvo

#endif  // KORVO_RESPONSE_H_
