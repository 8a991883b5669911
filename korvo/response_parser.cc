#include "korvo/internal/response_parser.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <string>

#include "korvo/logger.h"
#include "korvo/response.h"
#include "korvo/internal/message_access.h"

namespace korvo {

namespace {

// Cuts a status line into at most three parts: the first two at single or repeated
// spaces, the third (the reason) with its inner spaces kept. Returns the count.
std::size_t SplitStatusLine(std::string_view line, std::string_view (&parts)[3]) {
  std::size_t count = 0;
  std::size_t pos = 0;
  for (int i = 0; i < 2; ++i) {
    if (pos >= line.size()) break;
    std::size_t space = line.find(' ', pos);
    if (space == std::string_view::npos) break;
    parts[count++] = line.substr(pos, space - pos);
    pos = line.find_first_not_of(' ', space);
    if (pos == std::string_view::npos) pos = line.size();
  }
  if (pos < line.size()) parts[count++] = line.substr(pos);
  return count;
}

// Signed 32-bit decimal with the leniency of strtol: leading white space and a sign,
// digits up to the first other byte.
bool ParseStatusCode(std::string_view text, int& value) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t result = 0;
  std::size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    result = result * 10 + (text[i] - '0');
    if (result > std::int64_t{INT_MAX} + 1) return false;
  }
  if (digits == 0) return false;
  if (negative) result = -result;
  if (result < INT_MIN || result > INT_MAX) return false;
  value = static_cast<int>(result);
  return true;
}

}  // namespace

void ResponseParser::Init(Response* response, bool stream) {
  Parser::Init(response);
  response_ = response;
  stream_ = stream;
  no_body_status_ = false;
}

bool ResponseParser::ParseStartLine(std::string_view line) {
  std::string_view parts[3];
  std::size_t count = SplitStatusLine(line, parts);
  if (count < 2) {
    return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Invalid HTTP response status line: %s", std::string(line).c_str());
  }
  if (parts[0].substr(0, 7) != "HTTP/1." && !(http2_ && parts[0] == "HTTP/2")) {
    return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Invalid HTTP version: %s", std::string(parts[0]).c_str());
  }
  int status = 0;
  if (!ParseStatusCode(parts[1], status)) {
    return Fail(KORVO_LOG_BASE_FILE, __LINE__, "Invalid HTTP status code: %s", std::string(parts[1]).c_str());
  }

  // RFC 9112 6.3: these never carry a body, whatever their fields say.
  no_body_status_ = (status >= 100 && status < 200) || status == 204 || status == 304;
  if (status >= 100 && status < 200 && status != 101) {
    // 100 Continue, 103 Early Hints...: the final response follows on the connection.
    SetInterim();
    return true;
  }
  // After 101 the connection speaks another protocol.
  if (status == 101) SetFramingUnsafe();

  ResponseAccess::SetStatus(*response_, status);
  if (count > 2) ResponseAccess::SetReason(*response_, std::string(parts[2]));
  return true;
}

bool ResponseParser::ParseContent(const char* data, std::size_t length) {
  if (ignore_body_ || no_body_status_) {
    if (length > 0) SetFramingUnsafe();  // nothing may follow a bodiless response
    return Finish();
  }
  return Parser::ParseContent(data, length);
}

}  // namespace korvo
