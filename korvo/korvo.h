// korvo: an HTTP/1.1 client library. Include this header for the whole public API: build
// a request with RequestBuilder, send it through a ClientSession, and read the Response
// or catch the Error.
#ifndef KORVO_KORVO_H_
#define KORVO_KORVO_H_

#include "korvo/client_session.h"
#include "korvo/error.h"
#include "korvo/logger.h"
#include "korvo/request.h"
#include "korvo/request_builder.h"
#include "korvo/response.h"

#endif  // KORVO_KORVO_H_
