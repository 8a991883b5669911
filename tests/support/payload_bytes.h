// The bytes behind payloads, heads and bodies, as the request driver would write them:
// for tests that compare what goes on the wire with a string.
//
// Thread rules: as for the message or body read; the bytes are copied before returning.
#ifndef KORVO_TESTS_SUPPORT_PAYLOAD_BYTES_H_
#define KORVO_TESTS_SUPPORT_PAYLOAD_BYTES_H_

#include <cstddef>
#include <string>
#include <vector>

#include "korvo/body.h"
#include "korvo/message.h"
#include "korvo/internal/message_access.h"
#include "korvo/internal/payload.h"

namespace korvo {
namespace test {

// The bytes of every range of `payload`, in order.
inline std::string PayloadBytes(const detail::Payload& payload) {
  std::string bytes;
  for (const auto& range : payload) {
    bytes.append(static_cast<const char*>(range.data()), range.size());
  }
  return bytes;
}

// The head of `message` (start line, fields and the empty line).
inline std::string HeadBytes(const Message& message) {
  return PayloadBytes(MessageAccess::HeadPayload(message));
}

// Every byte `body` hands out, following the driver's protocol: InitPayload, then
// NextPayload until the first empty payload. Where `pieces` is given, the size of each
// payload is appended to it.
inline std::string BodyBytes(Body& body, std::vector<std::size_t>* pieces = nullptr) {
  BodyAccess::InitPayload(body);
  std::string bytes;
  for (;;) {
    detail::Payload payload = BodyAccess::NextPayload(body, true);
    if (payload.empty()) return bytes;
    std::string piece = PayloadBytes(payload);
    if (pieces != nullptr) pieces->push_back(piece.size());
    bytes += piece;
  }
}

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_PAYLOAD_BYTES_H_
