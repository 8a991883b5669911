#include "korvo/request.h"

#include <cstdio>

#include "korvo/error.h"
#include "korvo/internal/request_access.h"

namespace korvo {

namespace {

constexpr std::string_view kVersionSuffix = " HTTP/1.1";

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

// A field name as a detail may quote it: control bytes written as \xNN, so that the
// text that was refused for breaking lines does not break the caller's log either.
std::string Printable(std::string_view text) {
  std::string printable;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      printable += escaped;
    } else {
      printable += c;
    }
  }
  return printable;
}

}  // namespace

void CheckRequestField(std::string_view name, std::string_view value) {
  const char* why = nullptr;
  if (!IsValidFieldName(name)) {
    why = "invalid name";
  } else if (HasLineBreakOrNul(value)) {
    why = "line break or NUL in the value";
  } else if (AsciiIEquals(name, "Transfer-Encoding")) {
    // The body's framing is korvo's: a caller's coding beside the "Content-Length"
    // korvo sends would frame the body twice, the shape of request smuggling.
    why = "korvo frames request bodies itself";
  }
  if (why == nullptr) return;
  Error error(kRequestError, "Invalid header field");
  error.SetDetail("\"" + Printable(name) + "\": " + why);
  throw error;
}

namespace {

std::string_view Target(const Url& url, std::string& storage) {
  if (url.GetQuery().empty()) {
    if (url.GetPath().empty()) return "/";
    return url.GetPath();
  }
  storage = url.GetPath().empty() ? std::string("/") : url.GetPath();
  storage += '?';
  storage += url.GetQuery();
  return storage;
}

// Whether `text` starts with `prefix`, which it then drops.
bool Consume(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

// Whether `line` is the request line of `method` and `url`, without building it.
bool IsRequestLineOf(std::string_view line, const std::string& method, const Url& url) {
  const std::string& path = url.GetPath();
  if (!Consume(line, method) || !Consume(line, " ") ||
      !Consume(line, path.empty() ? std::string_view("/") : std::string_view(path))) {
    return false;
  }
  if (!url.GetQuery().empty() && (!Consume(line, "?") || !Consume(line, url.GetQuery()))) {
    return false;
  }
  return line == kVersionSuffix;
}

bool IsHostOf(std::string_view host, const Url& url) {
  if (!Consume(host, url.GetHost())) return false;
  if (url.GetPort().empty()) return host.empty();
  return Consume(host, ":") && host == url.GetPort();
}

}  // namespace

void Request::Prepare() {
  if (!start_line_.empty()) {
    // Fields may have been added since; they must not reach the wire unchecked either.
    for (const auto& [name, value] : headers_) CheckRequestField(name, value);
    return;
  }
  if (url_.GetHost().empty()) throw Error(kRequestError, "Host is missing");

  std::string storage;
  std::string_view target = Target(url_, storage);
  const char* why = nullptr;
  if (method_.empty()) {
    why = "Method is missing";
  } else if (!IsValidLinePart(method_)) {
    why = "a blank, line break or NUL in the method";
  } else if (!IsValidLinePart(target)) {
    why = "a blank, line break or NUL in the target";
  }
  if (why != nullptr) {
    Error error(kRequestError, "Invalid request line");
    error.SetDetail(why);
    throw error;
  }

  std::string host = url_.GetHost();
  if (!url_.GetPort().empty()) {
    host += ':';
    host += url_.GetPort();
  }
  for (const auto& [name, value] : headers_) {
    // "Host" fields already present are about to be replaced by one.
    if (!AsciiIEquals(name, "Host")) CheckRequestField(name, value);
  }
  CheckRequestField("Host", host);

  start_line_.reserve(method_.size() + target.size() + 1 + kVersionSuffix.size());
  start_line_ = method_;
  start_line_ += ' ';
  start_line_ += target;
  start_line_ += kVersionSuffix;
  headers_.Set("Host", host);
}

void RequestAccess::ApplyDefaults(Request& request, const Headers& defaults,
                                  const std::string& media_type, const std::string& charset) {
  Headers& fields = request.headers_;
  const std::shared_ptr<Body>& body = request.GetBody();
  const bool wants_type = body != nullptr && body->GetSize() != 0 && !media_type.empty();
  std::string content_type;
  if (wants_type) {
    content_type = charset.empty() ? media_type : media_type + "; charset=" + charset;
  }

  Headers previous = std::move(request.session_fields_);
  request.session_fields_ = Headers();
  Headers& added = request.session_fields_;
  for (const auto& [name, value] : previous) {
    bool existed = false;
    if (fields.Get(name, &existed) != value || !existed) continue;  // the caller's now
    std::string replacement =
        AsciiIEquals(name, "Content-Type") ? content_type : defaults.Get(name);
    if (replacement.empty()) {
      fields.Remove(name);
    } else {
      fields.Set(name, replacement);  // in place: the field keeps its position
      added.Add(name, replacement);
    }
  }
  for (const auto& [name, value] : defaults) {
    if (fields.Has(name)) continue;
    fields.Set(name, value);
    added.Add(name, value);
  }
  if (wants_type && !fields.Has("Content-Type")) {
    fields.Set("Content-Type", content_type);
    added.Add("Content-Type", content_type);
  }
}

void RequestAccess::PrepareForSend(Request& request) {
  if (!request.start_line_.empty() &&
      (!IsRequestLineOf(request.start_line_, request.method_, request.url_) ||
       !IsHostOf(request.GetHeader("Host"), request.url_))) {
    // Prepared for another method or URL: its line and "Host" would send this request
    // to one server with another's target.
    request.start_line_.clear();
  }
  request.Prepare();
}

}  // namespace korvo
