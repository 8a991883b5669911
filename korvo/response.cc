#include "korvo/response.h"

#include "korvo/internal/utility.h"

namespace korvo {

std::string_view DefaultReason(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return {};
  }
}

void Response::Prepare() {
  if (!start_line_.empty()) return;
  start_line_ = "HTTP/1.1 " + std::to_string(status_) + " ";
  start_line_ += reason_.empty() ? DefaultReason(status_) : std::string_view(reason_);
  headers_.Set("Server", UserAgent());
}

std::string Response::GetVersion() const {
  return GetStartLine().substr(0, GetStartLine().find(' '));
}

}  // namespace korvo
