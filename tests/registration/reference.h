// Plain scalar reference of the registration: both table preparations and
// both per-frame passes, with and without gap fill, written pixel by pixel
// in the most direct form. The library must match it bit for bit. Shared by
// the tests and the benchmark.
#ifndef QUILM_TESTS_REFERENCE_H
#define QUILM_TESTS_REFERENCE_H

#include <array>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "depth_to_color.h"

namespace ref {

struct Settings {
  bool distortion = false;
  bool gap_fill = false;
  float unit = 1.0f;
  float min_mm = 0.0f;
  float max_mm = 3.4028235e38f;
};

// Forward lens model: offsets the lens adds to the normalised point (x, y).
inline void Distort(const float k[5], float x, float y, float& dx, float& dy) {
  const float k1 = k[0], k2 = k[1], k3 = k[2], p1 = k[3], p2 = k[4];
  float x2 = x * x;
  float y2 = y * y;
  float xy = x * y;
  float r2 = x2 + y2;
  float r4 = r2 * r2;
  float r6 = r2 * r2 * r2;
  float radial = k1 * r2 + k2 * r4 + k3 * r6;
  float tx = 2 * p1 * xy + p2 * (2 * x2 + r2);
  float ty = 2 * p2 * xy + p1 * (2 * y2 + r2);
  dx = x * radial + tx;
  dy = y * radial + ty;
}

// Inverse lens model: fixed-point iteration from the distorted point.
inline void Undistort(const float k[5], float xd, float yd, float& xu, float& yu) {
  const double epsilon = 1e-10;
  const unsigned iterMax = 100;
  xu = xd;
  yu = yd;
  unsigned n = 0;
  while (true) {
    float dx, dy;
    Distort(k, xu, yu, dx, dy);
    double e = double(std::fabs(xu + dx - xd)) + double(std::fabs(yu + dy - yd));
    if (e > epsilon && n++ < iterMax) {
      xu = xd - dx;
      yu = yd - dy;
    } else {
      break;
    }
  }
}

inline std::vector<float> LinearTable(const SW_QUILM& c, int width, int height) {
  std::vector<float> t(std::size_t(width) * std::size_t(height) * 3);
  const float* R = c.quilm_r;
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      float x = (float(u) - c.d_intr_p[2]) / c.d_intr_p[0];
      float y = (float(v) - c.d_intr_p[3]) / c.d_intr_p[1];
      float r0 = R[0] * x + R[1] * y + R[2];
      float r1 = R[3] * x + R[4] * y + R[5];
      float r2 = R[6] * x + R[7] * y + R[8];
      float* e = &t[(std::size_t(v) * std::size_t(width) + std::size_t(u)) * 3];
      e[0] = c.c_intr_p[0] * r0 + c.c_intr_p[2] * r2;
      e[1] = c.c_intr_p[1] * r1 + c.c_intr_p[3] * r2;
      e[2] = r2;
    }
  }
  return t;
}

inline std::array<float, 3> TransCoeff(const SW_QUILM& c) {
  return {c.c_intr_p[0] * c.quilm_t[0] + c.c_intr_p[2] * c.quilm_t[2],
          c.c_intr_p[1] * c.quilm_t[1] + c.c_intr_p[3] * c.quilm_t[2], c.quilm_t[2]};
}

inline std::vector<float> DistortedTable(const SW_QUILM& c, int width, int height) {
  std::vector<float> t(std::size_t(width) * std::size_t(height) * 3);
  const float* R = c.quilm_r;
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      float x = (float(u) - c.d_intr_p[2]) / c.d_intr_p[0];
      float y = (float(v) - c.d_intr_p[3]) / c.d_intr_p[1];
      float xu, yu;
      Undistort(c.d_k, x, y, xu, yu);
      float* e = &t[(std::size_t(v) * std::size_t(width) + std::size_t(u)) * 3];
      e[0] = R[0] * xu + R[1] * yu + R[2];
      e[1] = R[3] * xu + R[4] * yu + R[5];
      e[2] = R[6] * xu + R[7] * yu + R[8];
    }
  }
  return t;
}

// A range limit in depth units: limit / unit truncated and clamped to
// 0..65535, with NaN taken as 0.
inline int LimitInUnits(float limit_mm, float unit) {
  float q = limit_mm / unit;
  if (std::isnan(q) || q <= 0) return 0;
  if (q >= 65535) return 65535;
  return int(std::trunc(q));
}

inline int Key(float dist, std::uint16_t depth) {
  int h = int(std::floor((5000.0 - depth) / 2.0));
#if QUILM_KEY_SINGLE_PRECISION
  // The Android flavour forms the key in float.
  return int(std::trunc((1.0f - std::sqrt(dist)) * 10.0f + float(h)));
#else
  return int(std::trunc((1.0 - std::sqrt(double(dist))) * 10.0 + h));
#endif
}

// What one colour pixel ends up holding from a run over some depth pixels.
struct Entry {
  bool reached = false;
  int key = 0;
  std::uint16_t depth = 0;
};

struct Frame {
  const std::uint16_t* depth;
  int depth_width, depth_height;
  int color_width, color_height;
};

// Registers the depth pixels [begin, end) in index order into `entries`
// (one per colour pixel). `table` is the linear or the distorted table.
inline void RegisterRange(const SW_QUILM& c, const Settings& s, const std::vector<float>& table,
                          const Frame& f, std::size_t begin, std::size_t end,
                          std::vector<Entry>& entries) {
  const int min_depth = LimitInUnits(s.min_mm, s.unit);
  const int max_depth = LimitInUnits(s.max_mm, s.unit);
  const std::array<float, 3> tc = TransCoeff(c);
  const int cw = f.color_width, ch = f.color_height;
  for (std::size_t i = begin; i < end; ++i) {
    int d = f.depth[i];
    if (d == 0 || d < min_depth || d > max_depth) continue;
    const float* e = &table[3 * i];
    float df = float(d);
    float X, Y, Z;
    if (s.distortion) {
      X = df * e[0] + c.quilm_t[0] / s.unit;
      Y = df * e[1] + c.quilm_t[1] / s.unit;
      Z = df * e[2] + c.quilm_t[2] / s.unit;
    } else {
      X = tc[0] + df * e[0];
      Y = tc[1] + df * e[1];
      Z = tc[2] + df * e[2];
    }
    if (std::fabs(double(Z)) < 1e-6) continue;
    float u, v;
    if (s.distortion) {
      float x = X / Z, y = Y / Z, dx, dy;
      Distort(c.c_k, x, y, dx, dy);
      u = c.c_intr_p[0] * (x + dx) + c.c_intr_p[2];
      v = c.c_intr_p[1] * (y + dy) + c.c_intr_p[3];
    } else {
      u = X / Z;
      v = Y / Z;
    }
    if (!std::isfinite(u) || !std::isfinite(v)) continue;
    double ru = std::round(double(u)), rv = std::round(double(v));
    if (ru < INT_MIN || ru > INT_MAX || rv < INT_MIN || rv > INT_MAX) continue;
    int uc = int(ru), vc = int(rv);
    if (uc < 0 || uc >= cw - 1 || vc < 0 || vc >= ch - 1) continue;
    double zt = std::trunc(double(Z));
    if (zt < 0 || zt > 65535) continue;
    std::uint16_t z = std::uint16_t(zt);
    std::size_t p = std::size_t(vc) * std::size_t(cw) + std::size_t(uc);
    if (!s.gap_fill) {
      entries[p] = {true, 0, z};
      continue;
    }
    double dx = double(u - float(uc)), dy = double(v - float(vc));
    const double dist[4] = {dx * dx + dy * dy, (1 - dx) * (1 - dx) + dy * dy,
                            dx * dx + (1 - dy) * (1 - dy), (1 - dx) * (1 - dx) + (1 - dy) * (1 - dy)};
    const std::size_t pixel[4] = {p, p + 1, p + std::size_t(cw), p + std::size_t(cw) + 1};
    for (int k = 0; k < 4; ++k) {
      int key = Key(float(dist[k]), z);
      Entry& en = entries[pixel[k]];
      if (!en.reached || en.key < key) en = {true, key, z};
    }
  }
}

// Whole frame on one thread.
inline std::vector<std::uint16_t> Register(const SW_QUILM& c, const Settings& s,
                                           const std::vector<float>& table, const Frame& f) {
  std::vector<Entry> entries(std::size_t(f.color_width) * std::size_t(f.color_height));
  RegisterRange(c, s, table, f, 0, std::size_t(f.depth_width) * std::size_t(f.depth_height),
                entries);
  std::vector<std::uint16_t> out(entries.size());
  for (std::size_t p = 0; p < out.size(); ++p) out[p] = entries[p].depth;
  return out;
}

// The same frame cut into `threads` blocks as a static schedule cuts it:
// by pixel index for the linear pass, by rows for the distorted pass. One
// result per block, each as if that block ran alone.
inline std::vector<std::vector<Entry>> RegisterBlocks(const SW_QUILM& c, const Settings& s,
                                                      const std::vector<float>& table,
                                                      const Frame& f, int threads) {
  const std::size_t granule = s.distortion ? std::size_t(f.depth_width) : 1;
  const std::size_t units = std::size_t(f.depth_width) * std::size_t(f.depth_height) / granule;
  std::vector<std::vector<Entry>> blocks;
  std::size_t begin = 0;
  for (int t = 0; t < threads; ++t) {
    std::size_t count = units / std::size_t(threads) + (std::size_t(t) < units % std::size_t(threads) ? 1 : 0);
    blocks.emplace_back(std::size_t(f.color_width) * std::size_t(f.color_height));
    RegisterRange(c, s, table, f, begin * granule, (begin + count) * granule, blocks.back());
    begin += count;
  }
  return blocks;
}

// Whether `value` at colour pixel p is an outcome the blocks allow: plain
// mode, the last write of any block that reached p; gap fill, the winner of
// any block whose key is the highest among the blocks.
inline bool Allowed(const std::vector<std::vector<Entry>>& blocks, bool gap_fill, std::size_t p,
                    std::uint16_t value) {
  bool reached = false;
  int best = INT_MIN;
  for (const auto& b : blocks) {
    if (!b[p].reached) continue;
    reached = true;
    if (b[p].key > best) best = b[p].key;
  }
  if (!reached) return value == 0;
  for (const auto& b : blocks) {
    if (b[p].reached && (!gap_fill || b[p].key == best) && b[p].depth == value) return true;
  }
  return false;
}

}  // namespace ref

#endif  // QUILM_TESTS_REFERENCE_H
