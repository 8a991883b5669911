// Shared by the response parser fuzz targets: feeds one input to a ResponseParser in
// pieces cut at given offsets, in memory or streamed to a temporary file, and records
// everything the parser and the response report afterwards.
#ifndef KORVO_FUZZ_RESPONSE_PARSER_HARNESS_H_
#define KORVO_FUZZ_RESPONSE_PARSER_HARNESS_H_

#include <strings.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "korvo/response.h"
#include "korvo/internal/response_parser.h"
#include "korvo/internal/utility.h"

namespace korvo {
namespace fuzz {

struct Outcome {
  bool ok = true;
  bool finished = false;
  bool header_ended = false;
  bool all_fed = false;  // every byte reached the parser (none held back after finishing)
  bool framing_safe = true;
  std::uint64_t header_length = 0;
  std::uint64_t content_length = 0;
  std::int64_t message_content_length = 0;
  int status = 0;
  std::string reason;
  std::string start_line;
  Headers::List headers;
  bool has_body = false;
  std::string body;
};

struct Input {
  std::string bytes;
  std::vector<std::size_t> cuts;  // ascending offsets inside bytes
  bool ignore_body = false;
  bool byte_by_byte = false;
};

// The control values come from the end of the data, the message from the front.
inline Input TakeInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  Input input;
  std::uint8_t mode = provider.ConsumeIntegral<std::uint8_t>();
  input.ignore_body = (mode & 1) != 0;
  input.byte_by_byte = (mode & 2) != 0;
  std::size_t count = provider.ConsumeIntegralInRange<std::size_t>(0, 16);
  std::vector<std::uint16_t> raw;
  for (std::size_t i = 0; i < count; ++i) raw.push_back(provider.ConsumeIntegral<std::uint16_t>());
  input.bytes = provider.ConsumeRemainingBytesAsString();
  for (std::uint16_t r : raw) input.cuts.push_back(r % (input.bytes.size() + 1));
  std::sort(input.cuts.begin(), input.cuts.end());
  return input;
}

inline Outcome Run(const std::string& bytes, const std::vector<std::size_t>& cuts, bool stream,
                   bool ignore_body) {
  Outcome outcome;
  auto response = std::make_shared<Response>();
  {
    ResponseParser parser;
    parser.Init(response.get(), stream);
    parser.SetIgnoreBody(ignore_body);
    std::size_t position = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(bytes.size());
    for (std::size_t end : ends) {
      if (end < position) continue;
      // Empty pieces are fed too: a read never delivers one, but it must not hurt.
      if (!parser.Parse(bytes.data() + position, end - position)) {
        outcome.ok = false;
        break;
      }
      position = end;
      if (parser.IsFinished()) break;
    }
    outcome.all_fed = position == bytes.size();
    // The input ends as a connection would: a body delimited by the close ends there.
    if (outcome.ok && outcome.all_fed && !parser.IsFinished()) parser.FinishAtClose();
    outcome.finished = parser.IsFinished();
    outcome.header_ended = parser.IsHeaderEnded();
    outcome.framing_safe = parser.IsFramingSafe();
    outcome.header_length = parser.GetHeaderLength();
    outcome.content_length = parser.GetContentLength();
  }
  outcome.message_content_length = response->GetContentLength();
  outcome.status = response->GetStatus();
  outcome.reason = response->GetReason();
  outcome.start_line = response->GetStartLine();
  outcome.headers.assign(response->GetHeaders().begin(), response->GetHeaders().end());
  if (stream) {
    std::shared_ptr<FileBody> file = response->GetFileBody();
    if (file) {
      outcome.has_body = true;
      FUZZ_CHECK(ReadFile(file->GetPath(), outcome.body));
    }
  } else {
    outcome.has_body = true;
    outcome.body = response->GetData();
  }
  return outcome;
}

// `split` was fed in pieces (and stopped feeding once finished); `whole` in one piece.
inline void CheckSame(const Outcome& split, const Outcome& whole) {
  FUZZ_CHECK(split.ok == whole.ok);
  FUZZ_CHECK(split.finished == whole.finished);
  FUZZ_CHECK(split.header_ended == whole.header_ended);
  if (!whole.ok) return;
  if (whole.header_ended) FUZZ_CHECK(split.header_length == whole.header_length);
  FUZZ_CHECK(split.content_length == whole.content_length);
  FUZZ_CHECK(split.status == whole.status);
  FUZZ_CHECK_EQ(split.reason, whole.reason);
  FUZZ_CHECK_EQ(split.start_line, whole.start_line);
  FUZZ_CHECK(split.headers.size() == whole.headers.size());
  for (std::size_t i = 0; i < whole.headers.size(); ++i) {
    FUZZ_CHECK_EQ(split.headers[i].first, whole.headers[i].first);
    FUZZ_CHECK_EQ(split.headers[i].second, whole.headers[i].second);
  }
  if (whole.finished) {
    FUZZ_CHECK(split.message_content_length == whole.message_content_length);
    if (split.has_body && whole.has_body) FUZZ_CHECK_EQ(split.body, whole.body);
  }
  // Bytes held back after the end of the message cannot make a difference in `split`.
  if (split.all_fed) FUZZ_CHECK(split.framing_safe == whole.framing_safe);
}

// Properties of one run that do not need a second one.
inline void CheckAlone(const Outcome& outcome, const Input& input) {
  if (outcome.header_ended) FUZZ_CHECK(outcome.header_length <= input.bytes.size());
  if (!outcome.ok || !outcome.finished || input.ignore_body) return;
  bool no_body_status = (outcome.status >= 100 && outcome.status < 200) || outcome.status == 204 ||
                        outcome.status == 304;
  bool has_coding = false;
  for (const auto& field : outcome.headers) {
    if (field.first.size() == 17 && strncasecmp(field.first.c_str(), "Transfer-Encoding", 17) == 0) {
      has_coding = true;
    }
  }
  // Framing is exact: a Content-Length body holds exactly the announced bytes.
  if (!no_body_status && !has_coding && outcome.content_length != kInvalidLength && outcome.has_body) {
    FUZZ_CHECK(outcome.body.size() == outcome.content_length);
  }
}

}  // namespace fuzz
}  // namespace korvo

#endif  // KORVO_FUZZ_RESPONSE_PARSER_HARNESS_H_
