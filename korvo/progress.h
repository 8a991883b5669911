// Progress reports of a transfer: the callbacks a caller hands to ClientSession, and the
// value that stands for "no length known".
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

// The progress report of a transfer: `current` bytes so far of `total` (kInvalidLength
// when unknown); returning false stops the exchange. SendOptions::progress and
// SendOptions::upload_progress take it.
using TransferCallback = std::function<bool(std::uint64_t current, std::uint64_t total)>;

// The older form, kept for ClientSession::Send(request, stream, progress): body bytes
// so far and the announced length, called after every read once the response head is
// in; it cannot stop the transfer. New code uses TransferCallback through SendOptions.
using ProgressCallback = std::function<void(std::size_t current, std::size_t total)>;

}  // namespace korvo

#endif  // KORVO_PROGRESS_H_
