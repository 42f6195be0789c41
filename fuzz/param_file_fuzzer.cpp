// The parameter text file reader on arbitrary text: it reads the six blocks
// from a stream or refuses the text with a reason, and a refused text
// leaves the caller's calibration as it was.
#include "depth_to_color_impl.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

using Calibration = DepthToColorImpl::Calibration;

// A calibration no text produces: every float the same odd pattern.
Calibration Sentinel() {
  Calibration c;
  const auto fill = [](float* p, int n) {
    for (int i = 0; i < n; ++i) p[i] = -12345.678f;
  };
  fill(c.depth_K.data(), 9);
  fill(c.color_K.data(), 9);
  fill(c.rot.data(), 9);
  fill(c.trans.data(), 3);
  fill(c.depth_distort.data(), 5);
  fill(c.color_distort.data(), 5);
  return c;
}

bool SameBits(const Calibration& a, const Calibration& b) {
  return std::memcmp(a.depth_K.data(), b.depth_K.data(), sizeof(float) * 9) == 0 &&
         std::memcmp(a.color_K.data(), b.color_K.data(), sizeof(float) * 9) == 0 &&
         std::memcmp(a.rot.data(), b.rot.data(), sizeof(float) * 9) == 0 &&
         std::memcmp(a.trans.data(), b.trans.data(), sizeof(float) * 3) == 0 &&
         std::memcmp(a.depth_distort.data(), b.depth_distort.data(), sizeof(float) * 5) == 0 &&
         std::memcmp(a.color_distort.data(), b.color_distort.data(), sizeof(float) * 5) == 0;
}

[[noreturn]] void Fault(const char* what) {
  std::fprintf(stderr, "param_file_fuzzer: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  const Calibration before = Sentinel();
  Calibration read = before;
  std::string reason;
  if (DepthToColorImpl::ReadParameterStream(in, read, reason)) {
    if (!reason.empty()) Fault("a text that was read carries a reason");
    std::string err;
    DepthToColorImpl::CheckFocalLengths(read.depth_K, read.color_K, err);
  } else {
    if (reason.empty()) Fault("a refused text carries no reason");
    if (!SameBits(read, before)) Fault("a refused text changed the calibration");
  }
  return 0;
}
