// RequestBuilder: the fluent way to make a Request.
//
//   auto request = korvo::RequestBuilder()
//                      .Url("http://example.com/get")
//                      .Query("q", "a b")
//                      ();
//
// The setters only collect values; everything that depends on several of them (the
// "Connection: Close" of KeepAlive(false), the multipart boundary and its
// "Content-Type", the body's "Content-Length") is decided when the builder is called.
// A builder may be called more than once: each call yields a request with its own
// header list and URL; a multipart body is made anew from the same parts with a fresh
// boundary, while a Body or File body is shared by the requests.
//
// Thread rules: a plain value, used by one thread at a time.
#ifndef KORVO_REQUEST_BUILDER_H_
#define KORVO_REQUEST_BUILDER_H_

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvo/body.h"
#include "korvo/common.h"
#include "korvo/request.h"
#include "korvo/url.h"

namespace korvo {

class RequestBuilder {
 public:
  // Length of the multipart boundary drawn for every form body.
  static constexpr std::size_t kBoundaryLength = 30;

  RequestBuilder() = default;

  // "GET" unless set; sent with its case unchanged.
  RequestBuilder& Method(std::string name);
  // Parsed as written; nothing is percent-encoded.
  RequestBuilder& Url(std::string_view text);
  // Appends one query parameter, key and value percent-encoded ("&" and "=" too, so
  // that they stay inside the key or value).
  RequestBuilder& Query(std::string_view key, std::string_view value);
  // Of two headers with the same name (any case) the later value wins and the first
  // position is kept; an empty value adds nothing.
  RequestBuilder& Header(std::string key, std::string value);
  // "Authorization": type, one blank, credentials.
  RequestBuilder& Auth(std::string_view type, std::string_view credentials);
  RequestBuilder& AuthBasic(std::string_view login, std::string_view password);
  // "Authorization: Bearer <token>", what OAuth 2.0 servers and most APIs expect.
  RequestBuilder& AuthBearer(std::string_view token);
  // "Authorization: Token <token>", the scheme some APIs use instead of Bearer.
  RequestBuilder& AuthToken(std::string_view token);
  // "Date" with the time of this call.
  RequestBuilder& Date();

  // A text body, with the content type of MediaType and Charset.
  RequestBuilder& Body(std::string text);
  // A file body, read in pieces of `chunk_size` bytes (0: kDefaultChunkSize) when sent.
  // With `infer_media_type`, the media type follows the file's extension. Throws
  // Error(kFileError, "Cannot read the file") when the file cannot be opened, leaving
  // the builder unchanged.
  RequestBuilder& File(const std::filesystem::path& path, bool infer_media_type = true,
                       std::size_t chunk_size = kDefaultChunkSize);
  RequestBuilder& MediaType(std::string text);
  RequestBuilder& Charset(std::string text);

  // false asks the server to close the connection after the response.
  RequestBuilder& KeepAlive(bool keep_alive);

  // Parts of a multipart/form-data body; ignored when a Body or File was given.
  RequestBuilder& Form(std::shared_ptr<FormPart> part);
  RequestBuilder& FormData(std::string name, std::string data, std::string media_type = {});
  // An empty media type is guessed from the file name.
  RequestBuilder& FormFile(std::string name, const std::filesystem::path& path,
                           std::string media_type = {});

  // Builds a new request. Throws Error(kFileError, "Cannot read the file") when a file
  // part cannot be sized.
  std::shared_ptr<Request> operator()() const;

 private:
  std::string method_ = "GET";
  korvo::Url url_;
  std::shared_ptr<korvo::Body> body_;
  std::string media_type_;
  std::string charset_;
  FormParts form_parts_;
  // Alternating names and values, in call order.
  std::vector<std::string> headers_;
  bool keep_alive_ = true;
};

}  // namespace korvo

#endif  // KORVO_REQUEST_BUILDER_H_
