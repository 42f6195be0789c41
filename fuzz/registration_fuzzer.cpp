// The registration engine on hostile calibrations and frames: a plausible
// calibration for the chosen sizes with any of its 30 values replaced
// (zero, huge, infinite or not-a-number focal lengths, rotations that are
// not orthonormal...), images of up to 32 x 32 pixels, every switch, depth
// unit and range, any depth values, one or two OpenMP threads.  Every call must
// return, touch only the buffers it was given (each exactly as large as its
// image), leave the output untouched when it refuses a frame, and without
// gap fill never write the last row or column.
#include "depth_to_color_impl.h"

#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "byte_source.h"

namespace {

using fuzz::ByteSource;

constexpr int kMaxSide = 32;
constexpr std::uint16_t kUntouched = 0xBEEF;

[[noreturn]] void Fault(const char* what) {
  std::fprintf(stderr, "registration_fuzzer: %s\n", what);
  std::abort();
}

// Values that break arithmetic: chosen by a byte, or any bit pattern.
float HostileFloat(ByteSource& in) {
  static const float kValues[] = {0.0f,
                                  -0.0f,
                                  1.0f,
                                  -1.0f,
                                  0.5f,
                                  1e-7f,
                                  1e-6f,
                                  1e6f,
                                  1e30f,
                                  -1e30f,
                                  std::numeric_limits<float>::max(),
                                  -std::numeric_limits<float>::max(),
                                  std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(),
                                  std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::denorm_min(),
                                  65535.0f,
                                  65536.0f};
  constexpr size_t kCount = sizeof kValues / sizeof kValues[0];
  const size_t choice = in.byte();
  return choice < kCount ? kValues[choice] : in.value<float>();
}

// Image side: mostly 0 to 32, now and then a negative size.
int Side(ByteSource& in) {
  const uint8_t b = in.byte();
  return b >= 250 ? -static_cast<int>(b - 249) : b % (kMaxSide + 1);
}

// Both cameras about the size of their images, a small rotation about the
// optical axis and a baseline, mild lenses.
SW_QUILM PlausibleCalibration(int dw, int dh, int cw, int ch) {
  SW_QUILM c{};
  const float fd = 0.8f * static_cast<float>(dw > 0 ? dw : 1), fc = 0.8f * static_cast<float>(cw > 0 ? cw : 1);
  c.d_intr_p[0] = fd;
  c.d_intr_p[1] = fd;
  c.d_intr_p[2] = static_cast<float>(dw) / 2.0f;
  c.d_intr_p[3] = static_cast<float>(dh) / 2.0f;
  c.c_intr_p[0] = fc;
  c.c_intr_p[1] = fc;
  c.c_intr_p[2] = static_cast<float>(cw) / 2.0f;
  c.c_intr_p[3] = static_cast<float>(ch) / 2.0f;
  const float a = 0.02f;
  const float r[9] = {std::cos(a), -std::sin(a), 0.0f, std::sin(a), std::cos(a), 0.0f, 0.0f, 0.0f, 1.0f};
  std::memcpy(c.quilm_r, r, sizeof r);
  c.quilm_t[0] = -25.0f;
  c.quilm_t[1] = 0.5f;
  c.quilm_t[2] = 1.0f;
  const float k[5] = {0.1f, -0.05f, 0.01f, 0.001f, -0.001f};
  std::memcpy(c.d_k, k, sizeof k);
  std::memcpy(c.c_k, k, sizeof k);
  return c;
}

std::size_t Pixels(int w, int h) {
  return w > 0 && h > 0 ? static_cast<std::size_t>(w) * static_cast<std::size_t>(h) : 0;
}

// Without gap fill nothing lands in the last row or the last column.
void CheckBorders(const std::vector<std::uint16_t>& out, int cw, int ch) {
  if (cw <= 0 || ch <= 0) return;
  for (int u = 0; u < cw; ++u)
    if (out[static_cast<std::size_t>(ch - 1) * static_cast<std::size_t>(cw) + static_cast<std::size_t>(u)] != 0)
      Fault("a point landed in the last row");
  for (int v = 0; v < ch; ++v)
    if (out[static_cast<std::size_t>(v) * static_cast<std::size_t>(cw) + static_cast<std::size_t>(cw - 1)] != 0)
      Fault("a point landed in the last column");
}

}  // namespace

// Idle OpenMP threads sleep instead of spinning: the runs are short, and
// spinning threads would take the processor from the one that works.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("OMP_WAIT_POLICY", "passive", 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteSource in(data, size);
  const uint8_t flags = in.byte();
  const bool distortion = flags & 0x01, gap_fill = flags & 0x02, export_cloud = flags & 0x04;
  const bool load = !(flags & 0x08), unprepared_frame = flags & 0x10;
  const int threads = 1 + ((flags >> 5) & 0x01);
  const bool set_unit = in.byte() & 1;
  const float unit = HostileFloat(in);
  const bool set_range = in.byte() & 1;
  const float range_min = HostileFloat(in), range_max = HostileFloat(in);
  const int dw = Side(in), dh = Side(in), cw = Side(in), ch = Side(in);

  SW_QUILM calibration = PlausibleCalibration(dw, dh, cw, ch);
  float* values = reinterpret_cast<float*>(&calibration);
  for (int edits = in.byte() % 16; edits > 0; --edits) {
    const size_t index = in.pick(30);
    values[index] = HostileFloat(in);
  }

  // Images exactly as large as their sizes say; the depth values repeat
  // the rest of the input.
  std::vector<std::uint16_t> depth(Pixels(dw, dh));
  const std::string rest = in.rest();
  for (std::size_t i = 0; i < depth.size() && rest.size() >= 2; ++i) {
    const std::size_t at = (2 * i) % (rest.size() - 1);
    depth[i] = static_cast<std::uint16_t>(static_cast<uint8_t>(rest[at]) | (static_cast<uint8_t>(rest[at + 1]) << 8));
  }
  std::vector<std::uint8_t> color(3 * depth.size(), 0x80);
  std::vector<std::uint16_t> out(Pixels(cw, ch), kUntouched);

  DepthToColorImpl engine;
  omp_set_num_threads(threads);
  if (load) engine.LoadParameters(&calibration);
  engine.EnableDistortion(distortion);
  engine.EnableDepthGapFill(gap_fill);
  if (set_unit) engine.SetDepthUnit(unit);
  if (set_range) engine.SetDepthRange(range_min, range_max);

  bool prepared = false;
  try {
    prepared = engine.PrepareDepthResolution(dw, dh);
  } catch (const std::bad_alloc&) {
    // Negative sizes are refused with the allocation exception.
    if (dw >= 0 && dh >= 0) Fault("preparing a small image ran out of memory");
  }

  const int frame_w = unprepared_frame ? dw + 1 : dw;
  const bool expect_frame = load && prepared && !unprepared_frame && dw >= 0 && dh >= 0;
  int result = -1;
  try {
    result = engine.QUILM(depth.empty() ? nullptr : depth.data(), frame_w, dh, out.empty() ? nullptr : out.data(),
                          cw, ch);
  } catch (const std::bad_alloc&) {
    // Negative sizes come with null buffers, which the checks refuse first.
    Fault("a small frame ran out of memory");
  }
  const bool pointers = !depth.empty() && !out.empty();
  if (result != 0 && result != -1) Fault("QUILM returned neither 0 nor -1");
  if (expect_frame && pointers && result != 0) Fault("a prepared frame was refused");
  if (!(expect_frame && pointers) && result == 0) Fault("an unprepared or unloaded frame was accepted");
  if (result == -1) {
    for (std::uint16_t v : out)
      if (v != kUntouched) Fault("a refused frame wrote the output");
  } else if (!gap_fill) {
    CheckBorders(out, cw, ch);
  }

  if (export_cloud && dw > 0 && dh > 0) {
    const int written = engine.DumpColoredPCL(depth.data(), color.data(), dw, dh, "/dev/null");
    if (written != (load ? 0 : -1)) Fault("the point-cloud export gave an unexpected result");
  }
  return 0;
}
