// Calibrations, scenes and message capture shared by the registration tests.
#ifndef QUILM_TESTS_TEST_SUPPORT_H
#define QUILM_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <cctype>
#include <string>
#include <vector>

#include "depth_to_color_impl.h"
#include "reference.h"

#if QUILM_LOG_TO_ANDROID
#include <android/log_record.h>
#endif

namespace qt {

// Both cameras the same pinhole, no rotation, no translation, no lens.
inline SW_QUILM IdentityCalibration(float f, float cx, float cy) {
  SW_QUILM c{};
  c.d_intr_p[0] = c.d_intr_p[1] = c.c_intr_p[0] = c.c_intr_p[1] = f;
  c.d_intr_p[2] = c.c_intr_p[2] = cx;
  c.d_intr_p[3] = c.c_intr_p[3] = cy;
  c.quilm_r[0] = c.quilm_r[4] = c.quilm_r[8] = 1.0f;
  return c;
}

// A plausible depth camera beside a colour camera: focal lengths scaled to
// the image sizes, a few degrees of rotation, a baseline of some 25 mm and
// small lens coefficients (none when `lens` is false).
inline SW_QUILM RandomCalibration(std::mt19937& rng, int dw, int dh, int cw, int ch,
                                  bool lens = true) {
  std::uniform_real_distribution<double> U(-1.0, 1.0);
  SW_QUILM c{};
  const double fd = (0.8 + 0.15 * U(rng)) * dw, fc = (0.8 + 0.15 * U(rng)) * cw;
  c.d_intr_p[0] = float(fd);
  c.d_intr_p[1] = float(fd * (1 + 0.01 * U(rng)));
  c.d_intr_p[2] = float(dw / 2.0 + 0.05 * dw * U(rng));
  c.d_intr_p[3] = float(dh / 2.0 + 0.05 * dh * U(rng));
  c.c_intr_p[0] = float(fc);
  c.c_intr_p[1] = float(fc * (1 + 0.01 * U(rng)));
  c.c_intr_p[2] = float(cw / 2.0 + 0.05 * cw * U(rng));
  c.c_intr_p[3] = float(ch / 2.0 + 0.05 * ch * U(rng));
  const double a = 0.03 * U(rng), b = 0.03 * U(rng), g = 0.03 * U(rng);
  const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b),
               cg = std::cos(g), sg = std::sin(g);
  const double R[9] = {cb * cg, -cb * sg, sb,
                       sa * sb * cg + ca * sg, -sa * sb * sg + ca * cg, -sa * cb,
                       -ca * sb * cg + sa * sg, ca * sb * sg + sa * cg, ca * cb};
  for (int i = 0; i < 9; ++i) c.quilm_r[i] = float(R[i]);
  c.quilm_t[0] = float(-25 + 5 * U(rng));
  c.quilm_t[1] = float(2 * U(rng));
  c.quilm_t[2] = float(2 * U(rng));
  if (lens) {
    const double scale[5] = {0.15, 0.08, 0.02, 0.002, 0.002};
    for (int i = 0; i < 5; ++i) {
      c.d_k[i] = float(scale[i] * U(rng));
      c.c_k[i] = float(scale[i] * U(rng));
    }
  }
  return c;
}

// A room-like scene: a slanted back wall, a floor, a few boxes nearer the
// camera, missing depth in patches and sensor noise.
inline std::vector<std::uint16_t> RandomScene(std::mt19937& rng, int w, int h) {
  std::uniform_real_distribution<double> U(0.0, 1.0);
  std::vector<std::uint16_t> d(std::size_t(w) * std::size_t(h));
  struct Box {
    double x0, y0, x1, y1, z;
  };
  std::vector<Box> boxes;
  for (int k = 0; k < 4; ++k) {
    const double x = U(rng) * w, y = U(rng) * h;
    boxes.push_back({x, y, x + (0.1 + 0.2 * U(rng)) * w, y + (0.1 + 0.2 * U(rng)) * h,
                     500 + 1500 * U(rng)});
  }
  const double wall = 2500 + 2000 * U(rng), slope = 1000 * (U(rng) - 0.5);
  for (int v = 0; v < h; ++v) {
    for (int u = 0; u < w; ++u) {
      double z = wall + slope * u / std::max(w, 1);
      if (v > 0.7 * h) z = std::min(z, 1200.0 + 3000.0 * (h - v) / h);
      for (const Box& b : boxes)
        if (u >= b.x0 && u < b.x1 && v >= b.y0 && v < b.y1) z = std::min(z, b.z);
      z += 4 * (U(rng) - 0.5);
      const bool hole = U(rng) < 0.05;
      d[std::size_t(v) * std::size_t(w) + std::size_t(u)] = hole ? 0 : std::uint16_t(z);
    }
  }
  return d;
}

#if QUILM_LOG_TO_ANDROID
// The Android flavour writes its messages to the log instead: the error
// channel is the entries at error priority, the output channel those at
// info priority, and every entry must carry the library's tag.
inline std::string LoggedText(int priority) {
  std::string text;
  for (const android_log_record::Entry& e : android_log_record::Entries()) {
    EXPECT_EQ(e.tag, QUILM_LOG_TAG) << e.text;
    EXPECT_TRUE(e.priority == ANDROID_LOG_ERROR || e.priority == ANDROID_LOG_INFO)
        << e.priority << " " << e.text;
    if (e.priority == priority) text += e.text;
  }
  return text;
}

template <class F>
std::string CaptureStderrOf(F&& call) {
  android_log_record::Clear();
  call();
  return LoggedText(ANDROID_LOG_ERROR);
}

template <class F>
std::string CaptureStdoutOf(F&& call) {
  android_log_record::Clear();
  call();
  return LoggedText(ANDROID_LOG_INFO);
}
#else
// Runs a call with standard error captured.
template <class F>
std::string CaptureStderrOf(F&& call) {
  testing::internal::CaptureStderr();
  call();
  return testing::internal::GetCapturedStderr();
}

template <class F>
std::string CaptureStdoutOf(F&& call) {
  testing::internal::CaptureStdout();
  call();
  return testing::internal::GetCapturedStdout();
}
#endif

// Length of the timing line "<prefix> time costs: N milliseconds\n" at
// `at` in `text`, or 0 when there is none.
inline std::size_t TimingLineAt(const std::string& text, std::size_t at, const std::string& prefix) {
  const std::string head = prefix + " time costs: ", tail = " milliseconds\n";
  if (text.compare(at, head.size(), head) != 0) return 0;
  std::size_t end = at + head.size();
  const std::size_t digits = end;
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
  if (end == digits || text.compare(end, tail.size(), tail) != 0) return 0;
  return end + tail.size() - at;
}

// Removes the per-frame timing lines, leaving the other messages.
inline std::string WithoutTiming(const std::string& err) {
  std::string kept;
  for (std::size_t at = 0; at < err.size();) {
    std::size_t skip = TimingLineAt(err, at, "QUILM_DIST_OFF");
    if (skip == 0) skip = TimingLineAt(err, at, "QUILM_DIST_ON");
    if (skip != 0) {
      at += skip;
    } else {
      kept += err[at++];
    }
  }
  return kept;
}

// An engine loaded from a record (its parameter dump swallowed) and, when
// asked, prepared for one depth size.
inline std::unique_ptr<DepthToColorImpl> LoadedEngine(const SW_QUILM& c, int dw = 0, int dh = 0) {
  auto engine = std::make_unique<DepthToColorImpl>();
  CaptureStdoutOf([&] { engine->LoadParameters(&c); });
  if (dw > 0 && dh > 0) engine->PrepareDepthResolution(dw, dh);
  return engine;
}

// Registers one frame with the engine's settings on `threads` threads; the
// timing line is dropped.
inline std::vector<std::uint16_t> RunFrame(DepthToColorImpl& engine,
                                           const std::vector<std::uint16_t>& depth, int dw,
                                           int dh, int cw, int ch, int threads = 1) {
  std::vector<std::uint16_t> out(std::size_t(cw) * std::size_t(ch), 0xBEEF);
  const int saved = omp_get_max_threads();
  omp_set_num_threads(threads);
  int result = 0;
  CaptureStderrOf([&] { result = engine.QUILM(depth.data(), dw, dh, out.data(), cw, ch); });
  omp_set_num_threads(saved);
  EXPECT_EQ(result, 0);
  return out;
}

inline std::size_t CountDifferent(const std::vector<std::uint16_t>& a,
                                  const std::vector<std::uint16_t>& b) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
  return n;
}

// A scratch file removed when the test ends.
class TempFile {
 public:
  explicit TempFile(const std::string& tag) {
    path_ = testing::TempDir() + "quilm_" + tag + "_" + std::to_string(::getpid());
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  const char* c_str() const { return path_.c_str(); }
  void Write(const std::string& content) const {
    std::ofstream(path_, std::ios::binary) << content;
  }
  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string path_;
};

struct Scene {
  int dw, dh, cw, ch;
};

inline void PrintTo(const Scene& s, std::ostream* os) {
  *os << s.dw << "x" << s.dh << "_to_" << s.cw << "x" << s.ch;
}

struct SettingsCase {
  float unit, lo, hi;
};

inline const SettingsCase kSettings[] = {
    {1.0f, 0.0f, 3.4028235e38f}, {0.5f, 400.0f, 3000.0f}, {2.0f, 1000.0f, 60000.0f}};

// Checks a registration path against the reference: bit for bit on one
// thread, and within the outcomes the thread blocks allow on several.
inline void CheckAgainstReference(bool distortion, bool gap_fill, const Scene& s, unsigned seed) {
  std::mt19937 rng(seed);
  for (int round = 0; round < 10; ++round) {
    const SW_QUILM c = qt::RandomCalibration(rng, s.dw, s.dh, s.cw, s.ch);
    const auto depth = qt::RandomScene(rng, s.dw, s.dh);
    const SettingsCase& set = kSettings[round % 3];
    auto engine = qt::LoadedEngine(c, s.dw, s.dh);
    engine->EnableDistortion(distortion);
    engine->EnableDepthGapFill(gap_fill);
    engine->SetDepthUnit(set.unit);
    engine->SetDepthRange(set.lo, set.hi);
    ref::Settings rs;
    rs.distortion = distortion;
    rs.gap_fill = gap_fill;
    rs.unit = set.unit;
    rs.min_mm = set.lo;
    rs.max_mm = set.hi;
    const auto table =
        distortion ? ref::DistortedTable(c, s.dw, s.dh) : ref::LinearTable(c, s.dw, s.dh);
    const ref::Frame frame{depth.data(), s.dw, s.dh, s.cw, s.ch};
    const auto expected = ref::Register(c, rs, table, frame);
    ASSERT_EQ(qt::RunFrame(*engine, depth, s.dw, s.dh, s.cw, s.ch, 1), expected)
        << "round " << round;
    for (int threads : {2, 3}) {
      const auto out = qt::RunFrame(*engine, depth, s.dw, s.dh, s.cw, s.ch, threads);
      const auto blocks = ref::RegisterBlocks(c, rs, table, frame, threads);
      std::size_t outside = 0;
      for (std::size_t p = 0; p < out.size(); ++p) outside += !ref::Allowed(blocks, gap_fill, p, out[p]);
      ASSERT_EQ(outside, 0u) << "round " << round << " threads " << threads;
    }
  }
}

// The frames both per-frame passes are checked on against the reference:
// gap fill off and on, equal sizes, a larger colour image, odd sizes.
struct PathCase {
  bool gap_fill;
  Scene scene;
};
inline void PrintTo(const PathCase& c, std::ostream* os) {
  *os << (c.gap_fill ? "gapfill_" : "plain_");
  PrintTo(c.scene, os);
}
inline auto ReferencePathCases() {
  return testing::Values(PathCase{false, {64, 48, 64, 48}}, PathCase{true, {64, 48, 64, 48}},
                         PathCase{false, {64, 48, 128, 72}}, PathCase{true, {64, 48, 128, 72}},
                         PathCase{false, {37, 23, 50, 31}}, PathCase{true, {37, 23, 50, 31}});
}

}  // namespace qt

#endif  // QUILM_TESTS_TEST_SUPPORT_H
