// RequestAccess: what a session does to a caller's request just before it sends it.
// The completion happens in place, so that the caller can read afterwards what went
// out, yet it always follows the session that sends and the request as it is now.
//
// Thread rules: as Request; called on the sending thread.
#ifndef KORVO_INTERNAL_REQUEST_ACCESS_H_
#define KORVO_INTERNAL_REQUEST_ACCESS_H_

#include <string>
#include <string_view>

#include "korvo/common.h"
#include "korvo/request.h"

namespace korvo {

// Throws Error(kRequestError, "Invalid header field"), the field named in detail(), for
// a field that cannot go into a request head as it is: a name that is no token, a line
// break or NUL in the value, or "Transfer-Encoding" (korvo frames bodies itself).
void CheckRequestField(std::string_view name, std::string_view value);

struct RequestAccess {
  // Completes `request` with a session's defaults. A field that an earlier send added
  // from its session's defaults, still holding the value it was given, takes this
  // session's value in place, or goes when this session has no such default; every
  // default the request lacks is added; a non-empty body without "Content-Type" gets
  // `media_type` (with `charset`) when that is set. Fields the caller set stay as
  // they are.
  static void ApplyDefaults(Request& request, const Headers& defaults,
                            const std::string& media_type, const std::string& charset);

  // Prepares `request` for the wire as it is now: a start line and "Host" made for
  // another method or URL are made again. Throws as Request::Prepare does.
  static void PrepareForSend(Request& request);
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_REQUEST_ACCESS_H_
