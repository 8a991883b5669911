#include "korvo/message.h"

#include <sstream>

#include "korvo/error.h"
#include "korvo/internal/message_access.h"
#include "korvo/internal/payload.h"

namespace korvo {

namespace {

constexpr std::string_view kCrlf = "\r\n";
const char kDumpPrefix[] = "    > ";

}  // namespace

Message::Message() : body_(std::make_shared<Body>()) {}

Message& Message::SetBody(std::shared_ptr<Body> body, bool set_length) {
  if (body != nullptr && body == body_) return *this;
  body_ = body != nullptr ? std::move(body) : std::make_shared<Body>();
  if (set_length) {
    std::int64_t size = body_->GetSize();
    content_length_ = size;
    headers_.Set("Content-Length", std::to_string(static_cast<std::uint64_t>(size)));
  }
  return *this;
}

Message& Message::SetContentType(std::string_view media_type, std::string_view charset) {
  if (media_type.empty()) return *this;
  if (charset.empty()) {
    headers_.Set("Content-Type", media_type);
  } else {
    std::string value(media_type);
    value += "; charset=";
    value += charset;
    headers_.Set("Content-Type", value);
  }
  return *this;
}

bool Message::IsConnectionKeepAlive() const {
  bool existed = false;
  const std::string& connection = headers_.Get("Connection", &existed);
  return !existed || AsciiIEquals(connection, "Keep-Alive");
}

ContentEncoding Message::GetContentEncoding() const {
  const std::string& encoding = headers_.Get("Content-Encoding");
  if (encoding == "gzip") return kGzip;
  if (encoding == "deflate") return kDeflate;
  return kUnknown;
}

const std::string& Message::GetData() const {
  static const std::string kEmpty;
  const auto* body = dynamic_cast<const StringBody*>(body_.get());
  return body != nullptr ? body->GetData() : kEmpty;
}

std::shared_ptr<FileBody> Message::GetFileBody() const {
  return std::dynamic_pointer_cast<FileBody>(body_);
}

bool Message::IsForm() const { return dynamic_cast<const FormBody*>(body_.get()) != nullptr; }

const FormParts& Message::GetFormParts() const {
  const auto* body = dynamic_cast<const FormBody*>(body_.get());
  if (body == nullptr) throw Error(kFormError, "Not a form body");
  return body->GetParts();
}

detail::Payload MessageAccess::HeadPayload(const Message& message) {
  detail::Payload payload;
  payload.reserve(3 + 4 * message.headers_.size());
  detail::AppendBytes(payload, message.start_line_);
  detail::AppendBytes(payload, kCrlf);
  detail::AppendFields(payload, message.headers_);
  return payload;
}

void Message::Dump(std::ostream& stream) const {
  stream << kDumpPrefix << start_line_ << std::endl;
  for (const auto& [name, value] : headers_) {
    stream << kDumpPrefix << name << ": " << value << std::endl;
  }
  stream << kDumpPrefix << std::endl;
  body_->Dump(stream, kDumpPrefix);
}

std::string Message::Dump() const {
  std::ostringstream stream;
  Dump(stream);
  return stream.str();
}

}  // namespace korvo
