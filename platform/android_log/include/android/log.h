/* Android log interface, as the registration library's Android flavour uses
 * it: a priority, a tag and a printf-style message per entry.
 *
 * There is no Android NDK on the build machines. This header and the small
 * library `log` beside it stand in for the platform's log library when the
 * Android flavour is built with a plain Linux cross compiler; entries are
 * kept in memory, and tests read them back through android/log_record.h.
 * A build with the real NDK uses the platform's header and library instead. */
#ifndef DORVAK_ANDROID_LOG_H
#define DORVAK_ANDROID_LOG_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum android_LogPriority {
  ANDROID_LOG_UNKNOWN = 0,
  ANDROID_LOG_DEFAULT,
  ANDROID_LOG_VERBOSE,
  ANDROID_LOG_DEBUG,
  ANDROID_LOG_INFO,
  ANDROID_LOG_WARN,
  ANDROID_LOG_ERROR,
  ANDROID_LOG_FATAL,
  ANDROID_LOG_SILENT
} android_LogPriority;

#if defined(__GNUC__)
#define DORVAK_ANDROID_LOG_API __attribute__((visibility("default")))
#define DORVAK_ANDROID_LOG_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define DORVAK_ANDROID_LOG_API
#define DORVAK_ANDROID_LOG_PRINTF(f, a)
#endif

/* Each call writes one entry. The result is the length of the entry's text,
 * or a negative value when the text or format is null. A null tag is taken
 * as the empty tag. */
DORVAK_ANDROID_LOG_API int __android_log_write(int prio, const char* tag, const char* text);
DORVAK_ANDROID_LOG_API int __android_log_print(int prio, const char* tag, const char* fmt, ...)
    DORVAK_ANDROID_LOG_PRINTF(3, 4);
DORVAK_ANDROID_LOG_API int __android_log_vprint(int prio, const char* tag, const char* fmt,
                                                va_list ap) DORVAK_ANDROID_LOG_PRINTF(3, 0);

#ifdef __cplusplus
}
#endif

#endif /* DORVAK_ANDROID_LOG_H */
