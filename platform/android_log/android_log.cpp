// In-memory stand-in for the Android log library (see android/log.h).
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "android/log.h"
#include "android/log_record.h"

namespace {

std::mutex g_mutex;
std::deque<android_log_record::Entry> g_entries;

void Append(int prio, const char* tag, std::string text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_entries.size() == android_log_record::kCapacity) g_entries.pop_front();
  g_entries.push_back({prio, tag != nullptr ? tag : "", std::move(text)});
}

// The whole formatted text, however long.
std::string Format(const char* fmt, va_list ap) {
  va_list measure;
  va_copy(measure, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (n <= 0) return std::string();
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), fmt, ap);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

int Length(const std::string& text) { return static_cast<int>(text.size()); }

}  // namespace

extern "C" int __android_log_write(int prio, const char* tag, const char* text) {
  if (text == nullptr) return -EINVAL;
  std::string copy(text);
  const int n = Length(copy);
  Append(prio, tag, std::move(copy));
  return n;
}

extern "C" int __android_log_vprint(int prio, const char* tag, const char* fmt, va_list ap) {
  if (fmt == nullptr) return -EINVAL;
  std::string text = Format(fmt, ap);
  const int n = Length(text);
  Append(prio, tag, std::move(text));
  return n;
}

extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...) {
  if (fmt == nullptr) return -EINVAL;
  va_list ap;
  va_start(ap, fmt);
  const int n = __android_log_vprint(prio, tag, fmt, ap);
  va_end(ap);
  return n;
}

namespace android_log_record {

std::vector<Entry> Entries() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return std::vector<Entry>(g_entries.begin(), g_entries.end());
}

void Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_entries.clear();
}

}  // namespace android_log_record
