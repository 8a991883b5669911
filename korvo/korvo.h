// korvo: an HTTP/1.1 client library. Include this header for the whole public API: build
// a request with RequestBuilder, send it through a ClientSession, and read the Response
// or catch the Error.
//
// It defines no unprefixed macro: the logger is reached through korvo/logging.h's
// KORVO_LOG_* macros, so this header sits beside <syslog.h>. The short LOG_* names are
// in korvo/logger.h, for those who want them.
//
// Thread rules: see each class; ClientSession says what may run on which thread.
#ifndef KORVO_KORVO_H_
#define KORVO_KORVO_H_

#include "korvo/body.h"
#include "korvo/cancel_token.h"
#include "korvo/client_session.h"
#include "korvo/common.h"
#include "korvo/cookie_jar.h"
#include "korvo/error.h"
#include "korvo/http_version.h"
#include "korvo/logging.h"
#include "korvo/message.h"
#include "korvo/request.h"
#include "korvo/request_builder.h"
#include "korvo/response.h"
#include "korvo/send_options.h"
#include "korvo/url.h"
#include "korvo/version.h"

#endif  // KORVO_KORVO_H_
