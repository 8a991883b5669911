// The logger with short names: everything of korvo/logging.h plus the LOG_VERB ...
// LOG_ERRO macros, as the library's own sources and programs that want them write.
//
// The short names clash with <syslog.h> (LOG_INFO, LOG_USER): a file that needs both
// includes korvo/logging.h and writes KORVO_LOG_INFO and so on. korvo/korvo.h includes
// korvo/logging.h, never this header.
//
// Thread rules: those of korvo/logging.h.
#ifndef KORVO_LOGGER_H_
#define KORVO_LOGGER_H_

#include "korvo/logging.h"

#define LOG_VERB(...) KORVO_LOG_VERB(__VA_ARGS__)
#define LOG_INFO(...) KORVO_LOG_INFO(__VA_ARGS__)
#define LOG_USER(...) KORVO_LOG_USER(__VA_ARGS__)
#define LOG_WARN(...) KORVO_LOG_WARN(__VA_ARGS__)
#define LOG_ERRO(...) KORVO_LOG_ERRO(__VA_ARGS__)

#endif  // KORVO_LOGGER_H_
