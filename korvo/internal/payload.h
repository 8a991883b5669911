// Payloads: what the request driver hands to a socket for one gather write, as ranges
// over bytes that someone else owns (a message's strings, a body's chunk buffer, static
// separators). Bodies hand theirs out through korvo/internal/message_access.h.
//
// Payload is a class rather than an alias of its vector, so that korvo/body.h can name
// it in a forward declaration without showing it to users.
//
// Thread rules: plain values, used by one thread at a time; a range is valid only while
// whoever handed it out leaves the bytes alone.
#ifndef KORVO_INTERNAL_PAYLOAD_H_
#define KORVO_INTERNAL_PAYLOAD_H_

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "korvo/common.h"

namespace korvo {
namespace detail {

// One range of bytes for a write. It never owns them: it points into a string of whoever
// handed it out, or into a static separator.
class ByteRange {
 public:
  constexpr ByteRange() = default;
  constexpr ByteRange(const void* data, std::size_t size) : data_(data), size_(size) {}

  const void* data() const { return data_; }
  std::size_t size() const { return size_; }

  // Drops the first `count` bytes (all of them when `count` exceeds the size).
  ByteRange& operator+=(std::size_t count) {
    if (count > size_) count = size_;
    data_ = static_cast<const char*>(data_) + count;
    size_ -= count;
    return *this;
  }

 private:
  const void* data_ = nullptr;
  std::size_t size_ = 0;
};

// Byte ranges for one gather write.
struct Payload : std::vector<ByteRange> {
  Payload() = default;
  Payload(std::initializer_list<ByteRange> ranges) : std::vector<ByteRange>(ranges) {}
};

// Adds `bytes` as one range; they must stay valid as long as the payload is in use.
inline void AppendBytes(Payload& payload, std::string_view bytes) {
  payload.emplace_back(bytes.data(), bytes.size());
}

// Adds every field as "name: value" CRLF, then the empty line that ends a head. The
// ranges point into the fields: change nothing until the payload has been written.
void AppendFields(Payload& payload, const Headers& headers);

}  // namespace detail
}  // namespace korvo

#endif  // KORVO_INTERNAL_PAYLOAD_H_
