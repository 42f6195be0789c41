// The library's two message channels. Every message of the registration
// library goes through one of these functions, so redirecting a channel
// means changing one function.
#ifndef QUILM_MESSAGES_H
#define QUILM_MESSAGES_H

#include <cstdarg>
#include <cstdio>

#include "quilm_flavour.h"

#if QUILM_LOG_TO_ANDROID
#include <android/log.h>
#endif

namespace quilm {

#if defined(__GNUC__)
#define QUILM_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#else
#define QUILM_PRINTF_LIKE
#endif

// Errors and the per-frame timing line: standard error, or the Android log
// at error priority.
inline void ReportError(const char* format, ...) QUILM_PRINTF_LIKE;
// The parameter dump of a record load: standard output, or the Android log
// at info priority.
inline void ReportInfo(const char* format, ...) QUILM_PRINTF_LIKE;

inline void ReportError(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
#if QUILM_LOG_TO_ANDROID
  __android_log_vprint(ANDROID_LOG_ERROR, QUILM_LOG_TAG, format, args);
#else
  std::vfprintf(stderr, format, args);
#endif
  va_end(args);
}

inline void ReportInfo(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
#if QUILM_LOG_TO_ANDROID
  __android_log_vprint(ANDROID_LOG_INFO, QUILM_LOG_TAG, format, args);
#else
  std::vfprintf(stdout, format, args);
#endif
  va_end(args);
}

}  // namespace quilm

#endif  // QUILM_MESSAGES_H
