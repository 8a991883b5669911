#include "korvo/request.h"

#include "korvo/error.h"

namespace korvo {

namespace {

// The set is tested inline: find_first_of calls out to search the set for every byte.
bool IsLineBreakOrNul(char c) { return c == '\r' || c == '\n' || c == '\0'; }

bool HasLineBreakOrNul(std::string_view text) {
  for (char c : text) {
    if (IsLineBreakOrNul(c)) return true;
  }
  return false;
}

// A blank would split the request line into other parts than the caller meant.
bool IsValidLinePart(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (IsLineBreakOrNul(c) || c == ' ' || c == '\t') return false;
  }
  return true;
}

bool IsValidFieldName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (IsLineBreakOrNul(c) || c == ':' || c == ' ' || c == '\t') return false;
  }
  return true;
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
    // "Host" fields already present are about to be replaced by one.
    if (!AsciiIEquals(name, "Host")) CheckField(name, value);
  }
  CheckField("Host", host);

  start_line_ = method_ + " " + target + " HTTP/1.1";
  headers_.Set("Host", host);
}

}  // namespace korvo
