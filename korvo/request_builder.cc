#include "korvo/request_builder.h"

#include <utility>

#include "korvo/internal/utility.h"

namespace korvo {

RequestBuilder& RequestBuilder::Method(std::string name) {
  method_ = std::move(name);
  return *this;
}

RequestBuilder& RequestBuilder::Url(std::string_view text) {
  url_ = korvo::Url(text);
  return *this;
}

RequestBuilder& RequestBuilder::Query(std::string_view key, std::string_view value) {
  url_.AddQuery(key, value, true);
  return *this;
}

RequestBuilder& RequestBuilder::Header(std::string key, std::string value) {
  headers_.push_back(std::move(key));
  headers_.push_back(std::move(value));
  return *this;
}

RequestBuilder& RequestBuilder::Auth(std::string_view type, std::string_view credentials) {
  std::string value(type);
  value += ' ';
  value += credentials;
  return Header("Authorization", std::move(value));
}

RequestBuilder& RequestBuilder::AuthBasic(std::string_view login, std::string_view password) {
  std::string pair(login);
  pair += ':';
  pair += password;
  return Auth("Basic", Base64Encode(pair));
}

RequestBuilder& RequestBuilder::AuthBearer(std::string_view token) {
  return Auth("Bearer", token);
}

RequestBuilder& RequestBuilder::AuthToken(std::string_view token) {
  return Auth("Token", token);
}

RequestBuilder& RequestBuilder::Date() {
  return Header("Date", GetHttpDate());
}

RequestBuilder& RequestBuilder::Body(std::string text) {
  body_ = std::make_shared<StringBody>(std::move(text));
  return *this;
}

RequestBuilder& RequestBuilder::File(const std::filesystem::path& path, bool infer_media_type,
                                     std::size_t chunk_size) {
  // Constructed first: a file that cannot be opened throws and leaves the builder as it was.
  auto body = std::make_shared<FileBody>(path, chunk_size);
  if (infer_media_type) media_type_ = MediaTypeFromExtension(path.extension().string());
  body_ = std::move(body);
  return *this;
}

RequestBuilder& RequestBuilder::MediaType(std::string text) {
  media_type_ = std::move(text);
  return *this;
}

RequestBuilder& RequestBuilder::Charset(std::string text) {
  charset_ = std::move(text);
  return *this;
}

RequestBuilder& RequestBuilder::KeepAlive(bool keep_alive) {
  keep_alive_ = keep_alive;
  return *this;
}

RequestBuilder& RequestBuilder::Form(std::shared_ptr<FormPart> part) {
  if (part != nullptr) form_parts_.push_back(std::move(part));
  return *this;
}

RequestBuilder& RequestBuilder::FormData(std::string name, std::string data,
                                         std::string media_type) {
  return Form(FormPart::New(std::move(name), std::move(data), std::move(media_type)));
}

RequestBuilder& RequestBuilder::FormFile(std::string name, const std::filesystem::path& path,
                                         std::string media_type) {
  return Form(FormPart::NewFile(std::move(name), path, std::move(media_type)));
}

std::shared_ptr<Request> RequestBuilder::operator()() const {
  auto request = std::make_shared<Request>();
  request->SetMethod(method_);
  request->SetUrl(url_);

  for (std::size_t i = 0; i + 1 < headers_.size(); i += 2) {
    request->SetHeader(headers_[i], headers_[i + 1]);
  }

  // After the caller's headers, so that it wins over a "Connection" set by hand.
  if (!keep_alive_) request->SetHeader("Connection", "Close");

  // The form body is made per build and not kept: a second build must not send the
  // first request's boundary without its "Content-Type".
  std::shared_ptr<korvo::Body> body = body_;
  if (body != nullptr) {
    request->SetContentType(media_type_, charset_);
  } else if (!form_parts_.empty()) {
    std::string boundary = RandomString(kBoundaryLength);
    request->SetHeader("Content-Type", "multipart/form-data; boundary=" + boundary);
    body = std::make_shared<FormBody>(form_parts_, std::move(boundary));
  }

  if (body != nullptr) request->SetBody(std::move(body), true);
  return request;
}

}  // namespace korvo
