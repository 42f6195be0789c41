// Build flavours of the registration library.
//
// The library is built from one source as
//   libquilm      x86-64 Linux            (QUILM_FLAVOUR_LINUX)
//   libquilm_v7a  32-bit ARM Android      (QUILM_FLAVOUR_ANDROID)
//   quilm.dll     32-bit Windows          (QUILM_FLAVOUR_WINDOWS)
// Every difference between them is decided here and nowhere else. The
// flavour follows the target platform unless one of the three names above is
// defined on the compiler's command line.
#ifndef QUILM_FLAVOUR_H
#define QUILM_FLAVOUR_H

#if !defined(QUILM_FLAVOUR_LINUX) && !defined(QUILM_FLAVOUR_ANDROID) && \
    !defined(QUILM_FLAVOUR_WINDOWS)
#if defined(__ANDROID__)
#define QUILM_FLAVOUR_ANDROID 1
#elif defined(_WIN32)
#define QUILM_FLAVOUR_WINDOWS 1
#else
#define QUILM_FLAVOUR_LINUX 1
#endif
#endif

// Clock behind the per-frame timing line on the error channel.
#define QUILM_CLOCK_NONE 0    // no timing line at all
#define QUILM_CLOCK_SYSTEM 1  // std::chrono::system_clock
#define QUILM_CLOCK_STEADY 2  // std::chrono::steady_clock

#if defined(QUILM_FLAVOUR_ANDROID)
// Messages go to the Android log under this tag instead of stdout/stderr.
#define QUILM_LOG_TO_ANDROID 1
#define QUILM_LOG_TAG "DepthToColor"
#define QUILM_FRAME_CLOCK QUILM_CLOCK_NONE
// Line buffer of the parameter text reader, terminating NUL included.
#define QUILM_PARAM_LINE_BUFFER 1024
// The gap-fill key is formed in float instead of double.
#define QUILM_KEY_SINGLE_PRECISION 1
// The engine class is exported beside the facade.
#define QUILM_EXPORT_ENGINE 1
#elif defined(QUILM_FLAVOUR_WINDOWS)
#define QUILM_LOG_TO_ANDROID 0
#define QUILM_FRAME_CLOCK QUILM_CLOCK_STEADY
#define QUILM_PARAM_LINE_BUFFER 512
#define QUILM_KEY_SINGLE_PRECISION 0
#define QUILM_EXPORT_ENGINE 0
#else
#define QUILM_LOG_TO_ANDROID 0
#define QUILM_FRAME_CLOCK QUILM_CLOCK_SYSTEM
#define QUILM_PARAM_LINE_BUFFER 8192
#define QUILM_KEY_SINGLE_PRECISION 0
#define QUILM_EXPORT_ENGINE 1
#endif

// Symbol export. QUILM_BUILDING is defined while the library itself is
// compiled. Everything else is hidden (-fvisibility=hidden and a linker
// version script on ELF platforms).
#if defined(_WIN32)
#if defined(QUILM_BUILDING)
#define QUILM_API __declspec(dllexport)
#else
#define QUILM_API __declspec(dllimport)
#endif
#else
#define QUILM_API __attribute__((visibility("default")))
#endif

#if QUILM_EXPORT_ENGINE
#define QUILM_ENGINE_API QUILM_API
#else
#define QUILM_ENGINE_API
#endif

#endif  // QUILM_FLAVOUR_H
