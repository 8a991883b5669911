#include "korvo/request.h"

#include <boost/algorithm/string/predicate.hpp>

#include "korvo/error.h"

namespace korvo {

namespace {

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A blank would split the request line into other parts than the caller meant.
bool IsValidLinePart(std::string_view text) {
  return !text.empty() && !HasLineBreakOrNul(text) &&
         text.find_first_of(" \t") == std::string_view::npos;
}

bool IsValidFieldName(std::string_view name) {
  return !name.empty() && !HasLineBreakOrNul(name) &&
         name.find_first_of(": \t") == std::string_view::npos;
}

void CheckField(std::string_view name, std::string_view value) {
  if (!IsValidFieldName(name) || HasLineBreakOrNul(value)) {
    throw Error(kRequestError, "Invalid header field");
  }
}

}  // namespace

void Request::Prepare() {
  if (!start_line_.empty()) {
    // Fields may have been added since; they must not reach the wire unchecked either.
    for (const auto& [name, value] : headers_) CheckField(name, value);
    return;
  }
  if (url_.GetHost().empty()) throw Error(kRequestError, "Host is missing");

  std::string target = url_.GetPath().empty() ? std::string("/") : url_.GetPath();
  if (!url_.GetQuery().empty()) {
    target += '?';
    target += url_.GetQuery();
  }
  if (!IsValidLinePart(method_) || !IsValidLinePart(target)) {
    throw Error(kRequestError, "Invalid request line");
  }

  std::string host = url_.GetHost();
  if (!url_.GetPort().empty()) {
    host += ':';
    host += url_.GetPort();
  }
  for (const auto& [name, value] : headers_) {
    // A "Host" field already present is about to be replaced.
    if (!boost::algorithm::iequals(name, "Host")) CheckField(name, value);
  }
  CheckField("Host", host);

  start_line_ = method_ + " " + target + " HTTP/1.1";
  headers_.Set("Host", host);
}

}  // namespace korvo
