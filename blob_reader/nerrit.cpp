#include "nerrit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {
// Layout of the calibration image: 1547 little-endian 32-bit words, the
// record being the last 30 of them.
constexpr int kImageSize = 6188;
constexpr std::size_t kRecordOffset = kImageSize - sizeof(SW_QUILM);  // 6068
static_assert(kRecordOffset == 6068, "the record is the image's last 120 bytes");

// Closes the stream when the read is over, on every path.
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
}  // namespace

Nerrit::Nerrit() = default;

int Nerrit::getDataSize() { return kImageSize; }

int Nerrit::parse_buffer_to_params(const char* buffer, SW_QUILM* params) {
  // Words are copied unchanged: no conversion, no validation.
  std::memcpy(params, buffer + kRecordOffset, sizeof(SW_QUILM));
  return 0;
}

int Nerrit::parse_bin_to_params(const char* path, SW_QUILM* params) {
  const char* const name = path ? path : "";
  std::unique_ptr<std::FILE, FileCloser> file(path ? std::fopen(path, "r") : nullptr);
  if (!file) {
    std::printf("error: %s open error!\n", name);
    return -1;
  }
  std::unique_ptr<char[]> image(new char[kImageSize]);
  const std::size_t got = std::fread(image.get(), 1, kImageSize, file.get());
  if (got != static_cast<std::size_t>(kImageSize)) {
    // A short image would leave the record's tail undefined: refuse it.
    std::printf("error: %s is too short: %zu of %d bytes read!\n", name, got, kImageSize);
    return -1;
  }
  return parse_buffer_to_params(image.get(), params);
}
