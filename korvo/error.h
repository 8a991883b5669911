// Error: the one failure type of korvo.
//
// Every failure that reaches a caller is thrown as an Error by value (catch it by
// reference). The request driver also keeps one Error per exchange as its running
// result, where code kNoError means success. An Error is a plain value: copy it
// freely; it is not synchronised.
//
// code(), message() and timeout() say what failed in fixed terms that programs can
// test; detail() says why, in the words of whoever knew (the operating system, the
// certificate check, the TLS peer's alert, the parser), with the host and port it
// concerns. cancelled() tells an exchange ended by Cancel or Stop from a failure.
#ifndef KORVO_ERROR_H_
#define KORVO_ERROR_H_

#include <cstdint>
#include <exception>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace korvo {

enum ErrorCode : std::int32_t {
  kNoError = 0,
  kLoopError = 1,      // "Loop is not running"
  kRequestError = 2,   // "Invalid URL scheme", "Host is missing", ...
  kResolveError = 3,   // "Host resolve error"
  kConnectError = 4,   // "Socket connect error"
  kReadError = 5,      // "Socket read error"
  kWriteError = 6,     // "Socket write error"
  kParseError = 7,     // "Response parse error"
  kFileError = 8,      // "Cannot read the file"
  kFormError = 9,      // "Not a form body"
};

class Error : public std::exception {
 public:
  Error() = default;
  Error(ErrorCode code, std::string_view message) : code_(code), message_(message) {}

  Error(const Error&) = default;
  Error& operator=(const Error&) = default;
  // A moved-from Error keeps its code and flag; only the message is taken.
  Error(Error&& other) noexcept
      : std::exception(other), code_(other.code_), message_(std::move(other.message_)),
        detail_(std::move(other.detail_)), timeout_(other.timeout_),
        cancelled_(other.cancelled_) {}
  Error& operator=(Error&& other) noexcept {
    code_ = other.code_;
    message_ = std::move(other.message_);
    detail_ = std::move(other.detail_);
    timeout_ = other.timeout_;
    cancelled_ = other.cancelled_;
    return *this;
  }
  ~Error() override = default;

  const char* what() const noexcept override { return message_.c_str(); }

  // Replaces code and message; the timeout flag stays as it is.
  void Set(ErrorCode code, std::string_view message) {
    code_ = code;
    message_ = message;
  }
  void SetTimeout(bool timeout) { timeout_ = timeout; }
  void SetDetail(std::string detail) { detail_ = std::move(detail); }
  void SetCancelled(bool cancelled) { cancelled_ = cancelled; }

  ErrorCode code() const { return code_; }
  const std::string& message() const { return message_; }
  bool timeout() const { return timeout_; }
  // The cause, e.g. "Connection refused (127.0.0.1:8080)" or "certificate has expired
  // (example.org:443)"; empty when nothing more is known than the message says.
  const std::string& detail() const { return detail_; }
  bool cancelled() const { return cancelled_; }

  // The printed line, then " - " and the detail when there is one, e.g.
  // "ERROR(4): Socket connect error - Connection refused (127.0.0.1:9)": what a program
  // shows a person.
  std::string Describe() const;

 private:
  ErrorCode code_ = kNoError;
  std::string message_;
  std::string detail_;
  bool timeout_ = false;
  bool cancelled_ = false;
};

// Writes "ERROR(<code>): <message>", plus " (timeout)" when the flag is set; no line end.
// The detail is left out: programs print this line, and their readers parse it.
std::ostream& operator<<(std::ostream& os, const Error& error);

}  // namespace korvo

#endif  // KORVO_ERROR_H_
