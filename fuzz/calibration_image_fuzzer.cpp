// The calibration blob reader on images of every length: from a file (held
// in memory, no disk involved) any length, and from a buffer every length
// the buffer entry point accepts (a whole image or more).  The record must
// be the image's bytes 6068 to 6187 bit for bit, and a refused file must
// leave the record untouched.
#include "nerrit.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr size_t kImageSize = 6188;
constexpr size_t kRecordOffset = kImageSize - sizeof(SW_QUILM);

[[noreturn]] void Fault(const char* what) {
  std::fprintf(stderr, "calibration_image_fuzzer: %s\n", what);
  std::abort();
}

SW_QUILM Sentinel() {
  SW_QUILM r;
  std::memset(&r, 0xA5, sizeof r);
  return r;
}

// One in-memory file for the whole run, reached by its /proc path.
class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("calibration", 0)) {
    if (fd_ < 0) Fault("memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  const char* hold(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0) Fault("ftruncate failed");
    size_t done = 0;
    while (done < size) {
      const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) Fault("pwrite failed");
      done += static_cast<size_t>(n);
    }
    return path_.c_str();
  }

 private:
  int fd_;
  std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFile file;
  Nerrit reader;
  if (reader.getDataSize() != static_cast<int>(kImageSize)) Fault("wrong image size");

  SW_QUILM fromFile = Sentinel();
  const int result = reader.parse_bin_to_params(file.hold(data, size), &fromFile);
  if (size >= kImageSize) {
    if (result != 0) Fault("a whole image was refused");
    if (std::memcmp(&fromFile, data + kRecordOffset, sizeof fromFile) != 0) Fault("record differs from the file");
  } else {
    const SW_QUILM untouched = Sentinel();
    if (result != -1) Fault("a short image was accepted");
    if (std::memcmp(&fromFile, &untouched, sizeof fromFile) != 0) Fault("a refused image changed the record");
  }

  if (size >= kImageSize) {
    // A buffer of exactly the input's length: any read past it is caught.
    std::unique_ptr<char[]> buffer(new char[size]);
    std::memcpy(buffer.get(), data, size);
    SW_QUILM fromBuffer = Sentinel();
    if (reader.parse_buffer_to_params(buffer.get(), &fromBuffer) != 0) Fault("buffer parse failed");
    if (std::memcmp(&fromBuffer, data + kRecordOffset, sizeof fromBuffer) != 0) Fault("record differs from the buffer");
  }
  return 0;
}
