// ResponseParser: parses HTTP/1.x responses into a Response.
//
// It adds the status-line rules to Parser, the stream flag that sends the body to a
// temporary file, and the rules for responses without a body: a response to HEAD (set
// by the caller with SetIgnoreBody), and any 1xx, 204 or 304 response whatever its
// headers say. An interim 1xx response other than 101 is skipped, and the response
// that follows it is parsed instead.
//
// Usage per exchange: Init(response, stream), SetIgnoreBody(method == "HEAD"),
// SetDecoding when content codings are to be undone, then Parse every received piece
// until IsFinished() or a false result; keep the connection only if IsFramingSafe()
// (and the response allows keep-alive).
//
// Thread rules: as Parser, one thread at a time, no locks.
#ifndef KORVO_INTERNAL_RESPONSE_PARSER_H_
#define KORVO_INTERNAL_RESPONSE_PARSER_H_

#include <string_view>

#include "korvo/internal/parser.h"

namespace korvo {

class Response;

class ResponseParser : public Parser {
 public:
  ResponseParser() = default;
  ~ResponseParser() override = default;

  // Resets the parser and binds `response` (may be null); `stream` streams the body
  // into a temporary file. SetIgnoreBody is left as it was.
  void Init(Response* response, bool stream);

  // The response has no body, whatever its headers say (a response to HEAD).
  void SetIgnoreBody(bool ignore_body) { ignore_body_ = ignore_body; }
  // The head comes from an HTTP/2 stream, written out as "HTTP/2 <status>" and fields:
  // that status line is taken, which an HTTP/1.x connection never gives.
  void SetHttp2(bool http2) { http2_ = http2; }

 protected:
  bool OnHeadersEnd() override { return true; }
  bool ParseStartLine(std::string_view line) override;
  bool ParseContent(const char* data, std::size_t length) override;
  bool ExpectsBody() const override { return !ignore_body_ && !no_body_status_; }

 private:
  Response* response_ = nullptr;  // not owned; the parser's message
  bool ignore_body_ = false;
  bool http2_ = false;
  bool no_body_status_ = false;  // 1xx, 204 or 304
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_RESPONSE_PARSER_H_
