// Test hook of the log stand-in: the entries written so far, in order.
// Not part of the Android interface; only builds that link the stand-in
// have it.
#ifndef DORVAK_ANDROID_LOG_RECORD_H
#define DORVAK_ANDROID_LOG_RECORD_H

#include <cstddef>
#include <string>
#include <vector>

#include "android/log.h"

namespace android_log_record {

struct Entry {
  int priority;
  std::string tag;
  std::string text;
};

// The stand-in keeps the latest kCapacity entries and drops older ones, so
// a long-running program does not grow without bound.
constexpr std::size_t kCapacity = 10000;

DORVAK_ANDROID_LOG_API std::vector<Entry> Entries();
DORVAK_ANDROID_LOG_API void Clear();

}  // namespace android_log_record

#endif  // DORVAK_ANDROID_LOG_RECORD_H
