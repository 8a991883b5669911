// SendOptions: what one request may ask of ClientSession::Send beyond the session's
// settings: where the body goes, progress that can stop the transfer, time limits and a
// size limit, a way to cancel it.
//
// Thread rules: a plain value, copied by Send. The callbacks run on the session's loop
// thread, one call at a time, and must not wait for the session (see ClientSession).
#ifndef KORVO_SEND_OPTIONS_H_
#define KORVO_SEND_OPTIONS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "korvo/cancel_token.h"
#include "korvo/progress.h"

namespace korvo {

class Error;
class Response;

// Receives the body piece by piece as it arrives (decoded, when the session decodes);
// returning false stops the exchange.
using BodySink = std::function<bool(const char* data, std::size_t size)>;
// Receives the outcome of an exchange once it has ended: the response and an error
// whose code is kNoError, or a null response and the error.
using DoneCallback = std::function<void(std::shared_ptr<Response> response, const Error& error)>;

struct SendOptions {
  // The body goes to a temporary file (a FileBody) instead of memory.
  bool stream = false;
  // The body goes to this function instead, and the response holds none. Wins over
  // `stream`.
  BodySink sink;
  // After every read once the head is in: body bytes received (before decoding) of the
  // announced length. Redirects being followed are not reported.
  TransferCallback progress;
  // After every write of the request body: bytes written of the body's size.
  TransferCallback upload_progress;
  // The whole exchange, from resolution to the last byte (redirects and the retry
  // included); 0: the session's (SetTimeout), which defaults to none. Expiry fails with
  // the pending step's error and timeout() true.
  std::chrono::milliseconds timeout{0};
  // Per-request overrides of the session's limits; 0: the session's.
  std::chrono::milliseconds connect_timeout{0};
  std::chrono::milliseconds read_timeout{0};
  // A body larger than this, announced or received (decoded, when the session decodes),
  // fails with Error(kReadError, "Response body too large") and leaves nothing behind;
  // 0: no limit beyond the session's.
  std::uint64_t max_body_size = 0;
  // Cancel() on this token (or a copy) ends the exchange from any thread; the Error
  // has cancelled() true.
  CancelToken cancel;
  // Called once when the exchange has ended, on the loop thread, just before the
  // future (or the blocking Send) gets the same outcome: a program can collect results
  // in the order they finish. A request refused before it started (the session
  // stopped, a request that cannot be prepared) calls it on the sending thread.
  // Whatever it throws is logged and dropped.
  DoneCallback on_done;
};

}  // namespace korvo

#endif  // KORVO_SEND_OPTIONS_H_
