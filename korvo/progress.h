// Progress reports of a transfer: the callback a caller hands to ClientSession::Send, and
// the value that stands for "no length known".
//
// Thread rules: a progress callback runs on the session's loop thread, one call at a
// time; see ClientSession for what it may call from there.
#ifndef KORVO_PROGRESS_H_
#define KORVO_PROGRESS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>

namespace korvo {

// "No length known" in content lengths and progress totals.
inline constexpr std::uint64_t kInvalidLength = std::numeric_limits<std::uint64_t>::max();

// Called after every read once the response head is parsed: `current` body bytes so far
// (without any chunk framing), `total` the announced length (kInvalidLength if none).
using ProgressCallback = std::function<void(std::size_t current, std::size_t total)>;

}  // namespace korvo

#endif  // KORVO_PROGRESS_H_
