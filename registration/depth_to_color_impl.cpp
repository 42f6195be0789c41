// The registration engine: calibration, per-resolution tables, the two
// per-frame passes and the point-cloud export.
//
// All image arithmetic is single precision in a fixed order and the library
// is compiled without floating-point contraction, so a build gives the same
// bits whichever instruction set its kernels run on. The hot loops work on
// batches of eight pixels with the compiler's vector extensions; IEEE vector
// operations round exactly like their scalar forms, so the batches compute
// the same values a plain per-pixel loop would.
#include "depth_to_color_impl.h"

#include <omp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <vector>

#include "messages.h"

// On x86-64 ELF targets the hot kernels are compiled three times, for
// x86-64-v4 (AVX-512), AVX2 and the baseline, and the loader picks one for
// the processor at hand. All three round alike: the same IEEE operations,
// no contraction.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__ELF__)
#define QUILM_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define QUILM_CLONES
#endif
#if defined(__GNUC__)
#define QUILM_INLINE inline __attribute__((always_inline))
#else
#define QUILM_INLINE inline
#endif

namespace {

using quilm::ReportError;
using quilm::ReportInfo;
using Matrix3 = DepthToColorImpl::Matrix3;
using LensCoeffs = DepthToColorImpl::LensCoeffs;

// ---------------------------------------------------------------------------
// Eight-lane vectors. Comparisons give 0 or -1 per lane.

typedef float F8 __attribute__((vector_size(32)));
typedef float F4 __attribute__((vector_size(16)));
typedef double D4 __attribute__((vector_size(32)));
typedef std::int32_t I8 __attribute__((vector_size(32)));
typedef std::int32_t I4 __attribute__((vector_size(16)));
typedef std::int64_t L4 __attribute__((vector_size(32)));
typedef std::uint64_t UL4 __attribute__((vector_size(32)));
typedef std::uint16_t U16x8 __attribute__((vector_size(16)));

constexpr int kLanes = 8;

QUILM_INLINE F8 Splat(float f) { return F8{f, f, f, f, f, f, f, f}; }
QUILM_INLINE I8 SplatI(std::int32_t i) { return I8{i, i, i, i, i, i, i, i}; }
QUILM_INLINE F8 Select(I8 mask, F8 a, F8 b) {
  return reinterpret_cast<F8>((mask & reinterpret_cast<I8>(a)) | (~mask & reinterpret_cast<I8>(b)));
}
QUILM_INLINE F8 Abs(F8 f) { return reinterpret_cast<F8>(reinterpret_cast<I8>(f) & 0x7FFFFFFF); }
QUILM_INLINE I8 Min(I8 a, I8 b) {
  const I8 a_lower = a < b;
  return (a_lower & a) | (~a_lower & b);
}
QUILM_INLINE I8 Max(I8 a, I8 b) {
  const I8 a_higher = a > b;
  return (a_higher & a) | (~a_higher & b);
}
QUILM_INLINE bool AnyLane(I8 mask) {
  std::uint64_t w[4];
  std::memcpy(w, &mask, sizeof w);
  return (w[0] | w[1] | w[2] | w[3]) != 0;
}
QUILM_INLINE F8 LoadF8(const float* p) {
  F8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Splits the 24 floats of eight consecutive triples into their three
// components.
QUILM_INLINE void Deinterleave(const float* p, F8& e0, F8& e1, F8& e2) {
  const F8 a = LoadF8(p), b = LoadF8(p + 8), c = LoadF8(p + 16);
  e0 = __builtin_shufflevector(__builtin_shufflevector(a, b, 0, 3, 6, 9, 12, 15, 0, 0), c, 0, 1,
                               2, 3, 4, 5, 10, 13);
  e1 = __builtin_shufflevector(__builtin_shufflevector(a, b, 1, 4, 7, 10, 13, 0, 0, 0), c, 0, 1,
                               2, 3, 4, 8, 11, 14);
  e2 = __builtin_shufflevector(__builtin_shufflevector(a, b, 2, 5, 8, 11, 14, 0, 0, 0), c, 0, 1,
                               2, 3, 4, 9, 12, 15);
}

// Interleaves three component vectors into eight consecutive triples.
QUILM_INLINE void StoreInterleaved(float* p, F8 e0, F8 e1, F8 e2) {
  const F8 a = __builtin_shufflevector(__builtin_shufflevector(e0, e1, 0, 8, 0, 1, 9, 0, 2, 10), e2,
                                       0, 1, 8, 3, 4, 9, 6, 7);
  const F8 b = __builtin_shufflevector(__builtin_shufflevector(e0, e1, 0, 3, 11, 0, 4, 12, 0, 5), e2,
                                       10, 1, 2, 11, 4, 5, 12, 7);
  const F8 c = __builtin_shufflevector(__builtin_shufflevector(e0, e1, 13, 0, 6, 14, 0, 7, 15, 0), e2,
                                       0, 13, 2, 3, 14, 5, 6, 15);
  std::memcpy(p, &a, sizeof a);
  std::memcpy(p + 8, &b, sizeof b);
  std::memcpy(p + 16, &c, sizeof c);
}

// Lanes where (double)a + (double)b > limit, the sum formed in double.
QUILM_INLINE I8 SumAboveInDouble(F8 a, F8 b, double limit) {
  const D4 lo = __builtin_convertvector(__builtin_shufflevector(a, a, 0, 1, 2, 3), D4) +
                __builtin_convertvector(__builtin_shufflevector(b, b, 0, 1, 2, 3), D4);
  const D4 hi = __builtin_convertvector(__builtin_shufflevector(a, a, 4, 5, 6, 7), D4) +
                __builtin_convertvector(__builtin_shufflevector(b, b, 4, 5, 6, 7), D4);
  const D4 lim = {limit, limit, limit, limit};
  const I4 mlo = __builtin_convertvector(static_cast<L4>(lo > lim), I4);
  const I4 mhi = __builtin_convertvector(static_cast<L4>(hi > lim), I4);
  return __builtin_shufflevector(mlo, mhi, 0, 1, 2, 3, 4, 5, 6, 7);
}

// ---------------------------------------------------------------------------
// Sizes, ranges and rounding.

// Element count of a width x height image with `per_pixel` values, formed
// without overflow. Negative sizes and counts beyond 32-bit signed range are
// refused with the allocation exception, before anything is touched.
std::size_t ElementCount(int width, int height, int per_pixel) {
  const long long count = static_cast<long long>(width) * height * per_pixel;
  if (width < 0 || height < 0 || count > INT32_MAX) throw std::bad_array_new_length();
  return static_cast<std::size_t>(count);
}

// Accepted depth values of a frame, in depth units, both ends included.
struct DepthWindow {
  std::int32_t min_depth;
  std::int32_t max_depth;
};

// A limit in millimetres divided by the unit, truncated toward zero and
// clamped to 0..65535. The quotient is tested before any conversion, so a
// unit of 0, a negative unit or NaN give defined limits: NaN and quotients
// at or below 0 become 0, +infinity becomes 65535. With a zero unit the
// default range therefore keeps every non-zero value, a negative or NaN unit
// keeps none.
std::int32_t LimitInDepthUnits(float limit_mm, float unit_mm) {
  const float quotient = limit_mm / unit_mm;
  if (!(quotient > 0.0f)) return 0;
  if (quotient >= 65535.0f) return 65535;
  return static_cast<std::int32_t>(quotient);
}

DepthWindow DepthRangeInUnits(float min_mm, float max_mm, float unit_mm) {
  return {LimitInDepthUnits(min_mm, unit_mm), LimitInDepthUnits(max_mm, unit_mm)};
}

// Smallest float whose value in double is not below `limit`: |Z| >= this in
// float is the same test as (double)|Z| >= limit.
float SmallestFloatNotBelow(double limit) {
  float f = static_cast<float>(limit);
  if (static_cast<double>(f) < limit) f = std::nextafter(f, INFINITY);
  return f;
}

// Points nearer the colour camera's plane than this are dropped.
const float kMinAbsZ = SmallestFloatNotBelow(1e-6);

// Smallest float not below n, for the fast pre-test of the pixel bounds.
float FloatNotBelow(int n) {
  float f = static_cast<float>(n);
  if (static_cast<double>(f) < n) f = std::nextafter(f, INFINITY);
  return f;
}

// Contiguous block of a static schedule: n items over nt threads, the first
// n % nt threads taking one more.
struct Block {
  std::size_t begin;
  std::size_t end;
};

Block StaticBlock(std::size_t n, int threads, int thread) {
  const std::size_t nt = static_cast<std::size_t>(threads), t = static_cast<std::size_t>(thread);
  const std::size_t q = n / nt, r = n % nt;
  const std::size_t begin = t * q + std::min(t, r);
  return {begin, begin + q + (t < r ? 1 : 0)};
}

// Well-defined concurrent 16-bit store; the last writer stays.
QUILM_INLINE void StoreRelaxed(std::uint16_t* p, std::uint16_t value) {
#if defined(__GNUC__)
  __atomic_store_n(p, value, __ATOMIC_RELAXED);
#else
  *static_cast<volatile std::uint16_t*>(p) = value;
#endif
}

// ---------------------------------------------------------------------------
// Lens model: three radial and two tangential coefficients.

struct LensScalars {
  float k1, k2, k3, p1, p2;
  explicit LensScalars(const LensCoeffs& c) : k1(c(0)), k2(c(1)), k3(c(2)), p1(c(3)), p2(c(4)) {}
};

// Offsets (dx, dy) that the lens adds to the normalised point (x, y). T is
// float or an eight-lane vector; the operations and their order are the
// same for both.
template <class T>
QUILM_INLINE void ForwardDistortion(const LensScalars& k, T x, T y, T& dx, T& dy) {
  const T x2 = x * x, y2 = y * y, xy = x * y;
  const T r2 = x2 + y2, r4 = r2 * r2, r6 = r2 * r2 * r2;
  const T radial = k.k1 * r2 + k.k2 * r4 + k.k3 * r6;
  const T tx = 2.0f * k.p1 * xy + k.p2 * (2.0f * x2 + r2);
  const T ty = 2.0f * k.p2 * xy + k.p1 * (2.0f * y2 + r2);
  dx = x * radial + tx;
  dy = y * radial + ty;
}

// Limits of the inverse lens model's fixed-point iteration.
constexpr double epsilon = 1e-10;
constexpr std::uint32_t iterMax = 100;

// Lanes whose residual a + b (a, b >= 0), summed in double, exceeds
// epsilon. The float sum decides every lane far enough from epsilon (its
// relative error is below 2^-24); only when a lane lies in between, or is
// NaN, is the sum formed in double.
QUILM_INLINE I8 ResidualAboveEpsilon(F8 a, F8 b) {
  const F8 sum = a + b;
  const I8 above = sum > 2e-10f, below = sum < 5e-11f;
  if (!AnyLane(~(above | below))) return above;
  return SumAboveInDouble(a, b, epsilon);
}

// Undistorted (xu, yu) of eight distorted points: start at the distorted
// point, and while the residual |xu + dx - xd| + |yu + dy - yd| (summed in
// double) exceeds epsilon, correct to (xd - dx, yd - dy), at most iterMax
// times. Each lane stops on its own; a NaN residual stops it at once.
QUILM_INLINE void RemoveDistortionBatch(const LensScalars& k, F8 xd, F8 yd, F8& xu, F8& yu) {
  xu = xd;
  yu = yd;
  I8 active = SplatI(-1);
  for (std::uint32_t n = 0;; ++n) {
    F8 dx, dy;
    ForwardDistortion(k, xu, yu, dx, dy);
    if (n >= iterMax) break;
    active &= ResidualAboveEpsilon(Abs(xu + dx - xd), Abs(yu + dy - yd));
    if (!AnyLane(active)) break;
    xu = Select(active, xd - dx, xu);
    yu = Select(active, yd - dy, yu);
  }
}

// The frames and tables use ForwardDistortion directly, in batches.
[[maybe_unused]] void GetDistortion(const LensCoeffs& coeffs, float x, float y, float out[2]) {
  ForwardDistortion(LensScalars(coeffs), x, y, out[0], out[1]);
}

void RemoveDistortion(const LensCoeffs& coeffs, float xd, float yd, float out[2]) {
  F8 xu, yu;
  RemoveDistortionBatch(LensScalars(coeffs), Splat(xd), Splat(yd), xu, yu);
  out[0] = xu[0];
  out[1] = yu[0];
}

// Normalised coordinates of pixel (u, v) under intrinsics K.
QUILM_INLINE float NormalisedX(const Matrix3& K, float u) { return (u - K(0, 2)) / K(0, 0); }
QUILM_INLINE float NormalisedY(const Matrix3& K, float v) { return (v - K(1, 2)) / K(1, 1); }

void ConvertProjectiveToWorldLinear(const Matrix3& K, int u, int v, int z, float& X, float& Y,
                                    float& Z) {
  const float x = NormalisedX(K, static_cast<float>(u));
  const float y = NormalisedY(K, static_cast<float>(v));
  const float depth = static_cast<float>(z);
  X = depth * x;
  Y = depth * y;
  Z = depth;
}

void ConvertProjectiveToWorldDisto(const Matrix3& K, int u, int v, int z, float& X, float& Y,
                                   float& Z, const LensCoeffs& coeffs) {
  float undistorted[2];
  RemoveDistortion(coeffs, NormalisedX(K, static_cast<float>(u)),
                   NormalisedY(K, static_cast<float>(v)), undistorted);
  const float depth = static_cast<float>(z);
  X = depth * undistorted[0];
  Y = depth * undistorted[1];
  Z = depth;
}

// ---------------------------------------------------------------------------
// Table preparation kernels.

struct RotationRows {
  float r00, r01, r02, r10, r11, r12, r20, r21, r22;
  explicit RotationRows(const Matrix3& R)
      : r00(R(0, 0)), r01(R(0, 1)), r02(R(0, 2)), r10(R(1, 0)), r11(R(1, 1)), r12(R(1, 2)),
        r20(R(2, 0)), r21(R(2, 1)), r22(R(2, 2)) {}
  // R * (x, y, 1): the two products summed first, then the third entry.
  template <class T>
  QUILM_INLINE void Apply(T x, T y, T& a, T& b, T& c) const {
    a = r00 * x + r01 * y + r02;
    b = r10 * x + r11 * y + r12;
    c = r20 * x + r21 * y + r22;
  }
};

struct LinearTableParams {
  float fx_d, fy_d, cx_d, cy_d, fx_c, fy_c, cx_c, cy_c;
  RotationRows R;
};

QUILM_CLONES void FillLinearRow(const LinearTableParams& p, int width, int v, float* row) {
  const F8 y = Splat((static_cast<float>(v) - p.cy_d) / p.fy_d);
  F8 lane;
  for (int l = 0; l < kLanes; ++l) lane[l] = static_cast<float>(l);
  int u = 0;
  for (; u + kLanes <= width; u += kLanes) {
    const F8 x = (static_cast<float>(u) + lane - p.cx_d) / p.fx_d;
    F8 r0, r1, r2;
    p.R.Apply(x, y, r0, r1, r2);
    StoreInterleaved(row + 3 * u, p.fx_c * r0 + p.cx_c * r2, p.fy_c * r1 + p.cy_c * r2, r2);
  }
  for (; u < width; ++u) {
    const float x = (static_cast<float>(u) - p.cx_d) / p.fx_d;
    float r0, r1, r2;
    p.R.Apply(x, y[0], r0, r1, r2);
    row[3 * u + 0] = p.fx_c * r0 + p.cx_c * r2;
    row[3 * u + 1] = p.fy_c * r1 + p.cy_c * r2;
    row[3 * u + 2] = r2;
  }
}

struct DistortedTableParams {
  float fx_d, fy_d, cx_d, cy_d;
  LensScalars lens;
  RotationRows R;
};

// Eight pixels going through the inverse lens model together. Each lane
// follows its own pixel's iteration; a finished lane keeps its result.
struct UndistortBatch {
  F8 xd, yd, xu, yu;
  I8 n, live;

  // One evaluation of the forward model: correct the lanes whose residual
  // is still above epsilon, retire the others.
  QUILM_INLINE void Step(const LensScalars& lens) {
    F8 dx, dy;
    ForwardDistortion(lens, xu, yu, dx, dy);
    const I8 more = live & (n < static_cast<std::int32_t>(iterMax)) &
                    ResidualAboveEpsilon(Abs(xu + dx - xd), Abs(yu + dy - yd));
    xu = Select(more, xd - dx, xu);
    yu = Select(more, yd - dy, yu);
    n -= more;
    live = more;
  }
};

// A pixel set aside after the quick steps, with its iteration state.
struct SlowPixel {
  float* out;
  float xd, yd, xu, yu;
  std::int32_t n;
};

// Finishes up to eight set-aside pixels, eight lanes at a time.
QUILM_INLINE void FinishSlowPixels(const DistortedTableParams& p, const SlowPixel* slow, int count) {
  float xd[kLanes] = {}, yd[kLanes] = {}, xu[kLanes] = {}, yu[kLanes] = {};
  std::int32_t n[kLanes] = {}, live[kLanes] = {};
  for (int l = 0; l < count; ++l) {
    xd[l] = slow[l].xd;
    yd[l] = slow[l].yd;
    xu[l] = slow[l].xu;
    yu[l] = slow[l].yu;
    n[l] = slow[l].n;
    live[l] = -1;
  }
  UndistortBatch b;
  std::memcpy(&b.xd, xd, sizeof xd);
  std::memcpy(&b.yd, yd, sizeof yd);
  std::memcpy(&b.xu, xu, sizeof xu);
  std::memcpy(&b.yu, yu, sizeof yu);
  std::memcpy(&b.n, n, sizeof n);
  std::memcpy(&b.live, live, sizeof live);
  while (AnyLane(b.live)) b.Step(p.lens);
  for (int l = 0; l < count; ++l) p.R.Apply(b.xu[l], b.yu[l], slow[l].out[0], slow[l].out[1], slow[l].out[2]);
}

// Undistorts the pixels of rows [v_begin, v_end) and writes their rotated
// rays. Most pixels settle within a few corrections; four batches run side
// by side for a few steps so that the processor overlaps their dependency
// chains, and the rare pixels still unsettled are set aside and finished
// eight at a time, so that they hold no batch back.
QUILM_CLONES void FillDistortedRows(const DistortedTableParams& p, int width, int v_begin,
                                    int v_end, float* table) {
  constexpr int kGroup = 4;
  constexpr int kQuickSteps = 12;
  SlowPixel slow[kLanes];
  int slow_count = 0;
  F8 lane;
  for (int l = 0; l < kLanes; ++l) lane[l] = static_cast<float>(l);
  for (int v = v_begin; v < v_end; ++v) {
    const F8 yd = Splat((static_cast<float>(v) - p.cy_d) / p.fy_d);
    float* const row = table + 3 * static_cast<std::size_t>(v) * static_cast<std::size_t>(width);
    for (int u0 = 0; u0 < width; u0 += kGroup * kLanes) {
      UndistortBatch b[kGroup];
      for (int g = 0; g < kGroup; ++g) {
        const int first = u0 + g * kLanes;
        const F8 xd = (static_cast<float>(first) + lane - p.cx_d) / p.fx_d;
        b[g] = {xd, yd, xd, yd, SplatI(0), lane < static_cast<float>(width - first)};
      }
      for (int step = 0; step < kQuickSteps; ++step) {
        I8 any = SplatI(0);
        for (int g = 0; g < kGroup; ++g) {
          b[g].Step(p.lens);
          any |= b[g].live;
        }
        if (!AnyLane(any)) break;
      }
      for (int g = 0; g < kGroup; ++g) {
        F8 e0, e1, e2;
        p.R.Apply(b[g].xu, b[g].yu, e0, e1, e2);
        const int lanes = std::min(kLanes, width - (u0 + g * kLanes));
        for (int l = 0; l < lanes; ++l) {
          float* out = row + 3 * static_cast<std::size_t>(u0 + g * kLanes + l);
          if (b[g].live[l]) {
            slow[slow_count++] = {out, b[g].xd[l], b[g].yd[l], b[g].xu[l], b[g].yu[l], b[g].n[l]};
            if (slow_count == kLanes) {
              FinishSlowPixels(p, slow, slow_count);
              slow_count = 0;
            }
            continue;
          }
          out[0] = e0[l];
          out[1] = e1[l];
          out[2] = e2[l];
        }
      }
    }
  }
  FinishSlowPixels(p, slow, slow_count);
}

// ---------------------------------------------------------------------------
// Per-frame kernels.

// Everything a thread needs to register its share of the depth pixels.
struct FrameSpan {
  const std::uint16_t* depth;
  const float* coeff;  // three floats per depth pixel
  std::size_t begin, end;
  DepthWindow window;
  int color_width, color_height;
  std::uint16_t* out;
  QUILMDist* table;  // non-null when gap fill is on
  // Gap fill on several threads: contested[r] is non-zero when the 2x2
  // blocks with top row r may meet points of another thread. Null when no
  // other thread takes part.
  const std::uint8_t* contested;
};

// What a pass does with its kept points: write the output, enter them into
// the gap-fill table, or only note the colour rows their blocks reach.
enum class Sink { kOutput, kTable, kRowExtent };

// Lowest and highest colour row reached by a thread's 2x2 blocks, lane by
// lane until the end of its span.
struct RowExtent {
  I8 first = SplatI(INT32_MAX);
  I8 last = SplatI(-1);
};

// Enters blocks into gap-fill entries that only this thread reaches.
// Consecutive depth pixels mostly land on neighbouring colour pixels, so a
// block's left column is the previous block's right column: those two
// words are carried over in registers rather than read back from the
// stores just made, which would chain every point to the one before.
class UnsharedBlocks {
 public:
  // offered[k]: the packed {key, depth} for block pixel k (at, right,
  // below, diagonal).
  void Enter(QUILMDist* at, std::size_t below, const std::uint64_t (&offered)[4]) {
    QUILMDist* const low = at + below;
    const bool follows = at == right_;
    const std::uint64_t at_held = follows ? right_word_ : at->Held();
    const std::uint64_t low_held = follows ? low_right_word_ : low->Held();
    at->Hold(QUILMDist::Kept(at_held, offered[0]));
    right_word_ = QUILMDist::Kept(at[1].Held(), offered[1]);
    at[1].Hold(right_word_);
    low->Hold(QUILMDist::Kept(low_held, offered[2]));
    low_right_word_ = QUILMDist::Kept(low[1].Held(), offered[3]);
    low[1].Hold(low_right_word_);
    right_ = at + 1;
  }
  // Another writer may have changed the carried entries.
  void Forget() { right_ = nullptr; }

 private:
  QUILMDist* right_ = nullptr;
  std::uint64_t right_word_ = 0, low_right_word_ = 0;
};

// QUILMDist::Pack of the eight points' keys and depths, for each block pixel.
QUILM_INLINE void PackEntries(const std::int32_t (&key)[4][kLanes], I8 depth,
                              std::uint64_t (&offered)[4][kLanes]) {
  for (int half = 0; half < 2; ++half) {
    const I4 d = half ? __builtin_shufflevector(depth, depth, 4, 5, 6, 7)
                      : __builtin_shufflevector(depth, depth, 0, 1, 2, 3);
    const UL4 low = __builtin_convertvector(d, UL4) & 0xFFFF;
    for (int k = 0; k < 4; ++k) {
      I4 keys;
      std::memcpy(&keys, &key[k][4 * half], sizeof keys);
      // The key's two's-complement bits in the high half.
      const UL4 word = (reinterpret_cast<UL4>(__builtin_convertvector(keys, L4)) << 32) | low;
      std::memcpy(&offered[k][4 * half], &word, sizeof word);
    }
  }
}

// What a thread carries from one batch of its span to the next.
struct SpanState {
  RowExtent extent;
  UnsharedBlocks unshared;
};

// Linear path: the table already carries the colour intrinsics, so the
// point divided by Z is the colour pixel.
struct LinearProjection {
  float t0, t1, t2;  // trans_coeff_
  QUILM_INLINE void Point(F8 d, F8 e0, F8 e1, F8 e2, F8& X, F8& Y, F8& Z) const {
    X = t0 + d * e0;
    Y = t1 + d * e1;
    Z = t2 + d * e2;
  }
  QUILM_INLINE void Image(F8 X, F8 Y, F8 Z, F8& u, F8& v) const {
    u = X / Z;
    v = Y / Z;
  }
};

// Distorted path: the table holds rotated undistorted rays; the point gets
// the translation in depth units, then the colour lens and intrinsics.
struct DistortedProjection {
  float s0, s1, s2;  // trans_ / depth_unit_mm_
  LensScalars lens;  // colour lens
  float fx, fy, cx, cy;
  QUILM_INLINE void Point(F8 d, F8 e0, F8 e1, F8 e2, F8& X, F8& Y, F8& Z) const {
    X = d * e0 + s0;
    Y = d * e1 + s1;
    Z = d * e2 + s2;
  }
  QUILM_INLINE void Image(F8 X, F8 Y, F8 Z, F8& u, F8& v) const {
    const F8 x = X / Z, y = Y / Z;
    F8 dx, dy;
    ForwardDistortion(lens, x, y, dx, dy);
    u = fx * (x + dx) + cx;
    v = fy * (y + dy) + cy;
  }
};

// Float pre-test of the pixel bounds: coordinates at or above these cannot
// round into the kept columns and rows.
struct PixelLimits {
  float u, v;
};

// Nearest integer, halves away from zero, of lanes already known to lie in
// (-0.5, 2^31): truncate, then step up when the fraction is at least 0.5.
QUILM_INLINE I8 RoundKnownRange(I8 keep, F8 f) {
  const I8 t = __builtin_convertvector(Select(keep, f, Splat(0.0f)), I8);
  const I8 up = (f - __builtin_convertvector(t, F8)) >= 0.5f;
  return t - up;
}

// genKeyValue of eight points at once, with the same result bit for bit.
// The key is trunc(10 (1 - sqrt(dist)) + h) with h an integer, so it only
// depends on the two integers that 10 sqrt(dist) lies between, and on the
// sign of the sum. A single-precision root places 10 sqrt(dist) within
// 3e-6 of its true value, while the double-precision sum that genKeyValue
// truncates is within 1e-11 of the true sum; so wherever 10 sqrt(dist) is
// more than 1e-4 from an integer both truncate to the same key. The few
// lanes closer than that take genKeyValue itself.
QUILM_INLINE I8 KeysOf(I8 keep, F8 dist, I8 depth) {
  F8 root;
  for (int l = 0; l < kLanes; ++l) root[l] = __builtin_sqrtf(dist[l]);
  const F8 tenfold = root * 10.0f;  // 0 .. 21.3
  const I8 below = __builtin_convertvector(tenfold, I8);
  const F8 above_below = tenfold - __builtin_convertvector(below, F8);
  const I8 undecided = keep & ((above_below < 1e-4f) | (above_below > 1.0f - 1e-4f));
  // 10 (1 - sqrt(dist)) lies strictly between 9 - below and 10 - below.
  const I8 floor_of_sum = ((5000 - depth) >> 1) + (9 - below);
  I8 key = floor_of_sum - (floor_of_sum < 0);  // truncation toward zero
  if (AnyLane(undecided)) {
    for (int l = 0; l < kLanes; ++l) {
      if (undecided[l]) key[l] = genKeyValue(dist[l], static_cast<std::uint16_t>(depth[l]));
    }
  }
  return key;
}

// Keys of the 2x2 blocks of eight points: key[k][l] for block pixel k
// (at, right, below, diagonal) of lane l. Each pixel's squared distance to
// the unrounded point is formed in double, then rounded to float.
QUILM_INLINE void BlockKeys(I8 keep, F8 u, F8 v, I8 uc, I8 vc, I8 depth,
                            std::int32_t key[4][kLanes]) {
#if QUILM_KEY_SINGLE_PRECISION
  for (int l = 0; l < kLanes; ++l) {
    if (!keep[l]) continue;
    const double dx = static_cast<double>(u[l] - static_cast<float>(uc[l]));
    const double dy = static_cast<double>(v[l] - static_cast<float>(vc[l]));
    const double ex = 1.0 - dx, ey = 1.0 - dy;
    const std::uint16_t d = static_cast<std::uint16_t>(depth[l]);
    key[0][l] = genKeyValue(static_cast<float>(dx * dx + dy * dy), d);
    key[1][l] = genKeyValue(static_cast<float>(ex * ex + dy * dy), d);
    key[2][l] = genKeyValue(static_cast<float>(dx * dx + ey * ey), d);
    key[3][l] = genKeyValue(static_cast<float>(ex * ex + ey * ey), d);
  }
#else
  // Lanes without a point get offsets of 0 so that every value stays finite.
  const F8 fx = Select(keep, u - __builtin_convertvector(uc, F8), Splat(0.0f));
  const F8 fy = Select(keep, v - __builtin_convertvector(vc, F8), Splat(0.0f));
  F4 dist[4][2];
  for (int half = 0; half < 2; ++half) {
    const D4 dx = __builtin_convertvector(half ? __builtin_shufflevector(fx, fx, 4, 5, 6, 7)
                                               : __builtin_shufflevector(fx, fx, 0, 1, 2, 3), D4);
    const D4 dy = __builtin_convertvector(half ? __builtin_shufflevector(fy, fy, 4, 5, 6, 7)
                                               : __builtin_shufflevector(fy, fy, 0, 1, 2, 3), D4);
    const D4 ex = 1.0 - dx, ey = 1.0 - dy;
    dist[0][half] = __builtin_convertvector(dx * dx + dy * dy, F4);
    dist[1][half] = __builtin_convertvector(ex * ex + dy * dy, F4);
    dist[2][half] = __builtin_convertvector(dx * dx + ey * ey, F4);
    dist[3][half] = __builtin_convertvector(ex * ex + ey * ey, F4);
  }
  for (int k = 0; k < 4; ++k) {
    const F8 d = __builtin_shufflevector(dist[k][0], dist[k][1], 0, 1, 2, 3, 4, 5, 6, 7);
    const I8 keys = KeysOf(keep, d, depth);
    std::memcpy(key[k], &keys, sizeof keys);
  }
#endif
}

// Projects eight depth pixels and hands each kept one to the sink, in index
// order.
template <class Projection, Sink kSink>
QUILM_INLINE void RegisterBatch(const Projection& projection, const FrameSpan& s,
                                const std::uint16_t* depth, const float* coeff,
                                const PixelLimits& limits, SpanState& state) {
  U16x8 raw;
  std::memcpy(&raw, depth, sizeof raw);
  const I8 d = __builtin_convertvector(raw, I8);
  I8 keep = (d != 0) & (d >= s.window.min_depth) & (d <= s.window.max_depth);
  if (!AnyLane(keep)) return;

  F8 e0, e1, e2, X, Y, Z, u, v;
  Deinterleave(coeff, e0, e1, e2);
  projection.Point(__builtin_convertvector(d, F8), e0, e1, e2, X, Y, Z);
  keep &= Abs(Z) >= kMinAbsZ;
  projection.Image(X, Y, Z, u, v);
  // The truncated depth must be representable in 16 bits; other points are
  // dropped rather than wrapped.
  keep &= (Z > -1.0f) & (Z < 65536.0f);
  // Pre-test on the floats (NaN fails it), exact test on the rounded pixel.
  keep &= (u > -0.5f) & (u < limits.u) & (v > -0.5f) & (v < limits.v);
  const I8 uc = RoundKnownRange(keep, u), vc = RoundKnownRange(keep, v);
  keep &= (uc < s.color_width - 1) & (vc < s.color_height - 1);
  if (kSink == Sink::kRowExtent) {
    const I8 top = vc & keep, missing = ~keep & INT32_MAX;
    state.extent.first = Min(state.extent.first, top | missing);
    state.extent.last = Max(state.extent.last, (top + 1) | ~keep);
    return;
  }
  const I8 z = __builtin_convertvector(Select(keep, Z, Splat(0.0f)), I8);

  // Colour pixel index of each kept lane (0 for the others), and the lanes
  // spilled to plain arrays for the in-order output step.
  const I8 index = (vc & keep) * s.color_width + (uc & keep);
  std::int32_t kept[kLanes], pixel[kLanes], depth_of[kLanes];
  std::memcpy(kept, &keep, sizeof kept);
  std::memcpy(pixel, &index, sizeof pixel);
  std::memcpy(depth_of, &z, sizeof depth_of);
  if (kSink == Sink::kTable) {
    std::int32_t key[4][kLanes], row[kLanes];
    BlockKeys(keep, u, v, uc, vc, z, key);
    std::memcpy(row, &vc, sizeof row);
    std::uint64_t offered[4][kLanes];
    PackEntries(key, z, offered);
    const std::size_t below = static_cast<std::size_t>(s.color_width);
    for (int l = 0; l < kLanes; ++l) {
      if (!kept[l]) continue;
      // The 2x2 block at and after (uc, vc).
      const std::uint16_t value = static_cast<std::uint16_t>(depth_of[l]);
      QUILMDist* entry = s.table + pixel[l];
      if (s.contested == nullptr || !s.contested[row[l]]) {
        state.unshared.Enter(entry, below, {offered[0][l], offered[1][l], offered[2][l], offered[3][l]});
      } else {
        state.unshared.Forget();
        entry[0].Offer(key[0][l], value);
        entry[1].Offer(key[1][l], value);
        entry[below].Offer(key[2][l], value);
        entry[below + 1].Offer(key[3][l], value);
      }
    }
  } else {
    // Every lane stores, in lane order; a lane without a point stores to a
    // local sink, which spares the processor a branch per lane.
    std::uint16_t sink;
    for (int l = 0; l < kLanes; ++l) {
      std::uint16_t* const target = kept[l] ? s.out + pixel[l] : &sink;
      StoreRelaxed(target, static_cast<std::uint16_t>(depth_of[l]));
    }
  }
}

template <class Projection, Sink kSink>
QUILM_INLINE RowExtent RegisterSpan(const Projection& projection, const FrameSpan& s) {
  const PixelLimits limits{FloatNotBelow(s.color_width - 1), FloatNotBelow(s.color_height - 1)};
  SpanState state;
  std::size_t i = s.begin;
  for (; i + kLanes <= s.end; i += kLanes) {
    RegisterBatch<Projection, kSink>(projection, s, s.depth + i, s.coeff + 3 * i, limits, state);
  }
  if (i == s.end) return state.extent;
  // Tail: pad to a whole batch with zero depth, which no rule accepts.
  std::uint16_t depth[kLanes] = {};
  float coeff[3 * kLanes] = {};
  std::copy(s.depth + i, s.depth + s.end, depth);
  std::copy(s.coeff + 3 * i, s.coeff + 3 * s.end, coeff);
  RegisterBatch<Projection, kSink>(projection, s, depth, coeff, limits, state);
  return state.extent;
}

// Colour rows [first, last] that the span's blocks reach; first > last when
// the span keeps no point.
struct Rows {
  std::int32_t first, last;
};

Rows Reduce(const RowExtent& e) {
  Rows rows{INT32_MAX, -1};
  for (int l = 0; l < kLanes; ++l) {
    rows.first = std::min(rows.first, e.first[l]);
    rows.last = std::max(rows.last, e.last[l]);
  }
  return rows;
}

QUILM_CLONES void LinearSpanPlain(const LinearProjection& p, const FrameSpan& s) {
  RegisterSpan<LinearProjection, Sink::kOutput>(p, s);
}
QUILM_CLONES void LinearSpanGapFill(const LinearProjection& p, const FrameSpan& s) {
  RegisterSpan<LinearProjection, Sink::kTable>(p, s);
}
QUILM_CLONES Rows LinearSpanRows(const LinearProjection& p, const FrameSpan& s) {
  return Reduce(RegisterSpan<LinearProjection, Sink::kRowExtent>(p, s));
}
QUILM_CLONES void DistortedSpanPlain(const DistortedProjection& p, const FrameSpan& s) {
  RegisterSpan<DistortedProjection, Sink::kOutput>(p, s);
}
QUILM_CLONES void DistortedSpanGapFill(const DistortedProjection& p, const FrameSpan& s) {
  RegisterSpan<DistortedProjection, Sink::kTable>(p, s);
}
QUILM_CLONES Rows DistortedSpanRows(const DistortedProjection& p, const FrameSpan& s) {
  return Reduce(RegisterSpan<DistortedProjection, Sink::kRowExtent>(p, s));
}

void RunSpan(const LinearProjection& p, const FrameSpan& s) {
  s.table ? LinearSpanGapFill(p, s) : LinearSpanPlain(p, s);
}
void RunSpan(const DistortedProjection& p, const FrameSpan& s) {
  s.table ? DistortedSpanGapFill(p, s) : DistortedSpanPlain(p, s);
}
Rows SpanRows(const LinearProjection& p, const FrameSpan& s) { return LinearSpanRows(p, s); }
Rows SpanRows(const DistortedProjection& p, const FrameSpan& s) { return DistortedSpanRows(p, s); }

// Marks, for the colour rows in [begin, end), the 2x2 blocks whose two rows
// are not both reached by one thread alone. Entries of the other blocks are
// updated by one thread only, without locked instructions.
void MarkContestedRows(const std::vector<Rows>& reached, std::size_t begin, std::size_t end,
                       std::uint8_t* contested) {
  auto threads_reaching = [&reached](std::size_t row) {
    int n = 0;
    for (const Rows& r : reached) {
      n += (static_cast<std::int64_t>(row) >= r.first && static_cast<std::int64_t>(row) <= r.last);
    }
    return n;
  };
  for (std::size_t row = begin; row < end; ++row) {
    contested[row] = threads_reaching(row) > 1 || threads_reaching(row + 1) > 1;
  }
}

// How each path cuts the depth image into thread blocks: the linear pass by
// pixel index, the distorted pass by whole rows.
std::size_t PartitionGranule(const LinearProjection&, int) { return 1; }
std::size_t PartitionGranule(const DistortedProjection&, int depth_width) {
  return static_cast<std::size_t>(std::max(depth_width, 1));
}

// Holds the gap-fill depth table in the engine's member for one frame.
class GapFillTableScope {
 public:
  GapFillTableScope(QUILMDist*& slot, bool needed, std::size_t entries) : slot_(slot) {
    slot_ = needed ? new QUILMDist[entries] : nullptr;
  }
  ~GapFillTableScope() {
    delete[] slot_;
    slot_ = nullptr;
  }
  GapFillTableScope(const GapFillTableScope&) = delete;
  GapFillTableScope& operator=(const GapFillTableScope&) = delete;

 private:
  QUILMDist*& slot_;
};

// Per-frame timing line on the error channel, as the flavour wants it.
class FrameTimer {
 public:
#if QUILM_FRAME_CLOCK == QUILM_CLOCK_NONE
  void Report(const char*) const {}
#else
#if QUILM_FRAME_CLOCK == QUILM_CLOCK_STEADY
  using Clock = std::chrono::steady_clock;
#else
  using Clock = std::chrono::system_clock;
#endif
  void Report(const char* format) const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_);
    ReportError(format, static_cast<int>(elapsed.count()));
  }

 private:
  Clock::time_point start_ = Clock::now();
#endif
};

// ---------------------------------------------------------------------------
// Parameter text file.

// Reads and drops one line; the line must fit the line buffer.
bool SkipLine(std::istream& in, const char* before, std::string& reason) {
  char line[QUILM_PARAM_LINE_BUFFER];
  in.getline(line, sizeof line);
  if (!in.fail()) return true;
  if (in.eof() && in.gcount() == 0) {
    reason = std::string("the file ends before the ") + before;
  } else {
    reason = std::string("a line before the ") + before + " is longer than " +
             std::to_string(QUILM_PARAM_LINE_BUFFER - 1) + " characters";
  }
  return false;
}

const char* kNotLoadedForFrame = "Make sure LoadParameters() success before QUILM!";
const char* kNotPrepared = "Found a new resolution, but initialize failed!";

}  // namespace

// ===========================================================================
// Engine state, settings and loading.

DepthToColorImpl::DepthToColorImpl() : max_val_(std::numeric_limits<float>::max()) {
  omp_set_dynamic(0);
  const int max_thread = omp_get_max_threads();
  omp_set_num_threads(max_thread);
}

DepthToColorImpl::~DepthToColorImpl() { ClearMatrixCache(); }

const char* DepthToColorImpl::GetVersion() {
  static const char* version = "0.3.1";
  return version;
}

bool DepthToColorImpl::LoadParameters(const SW_QUILM* quilm) {
  const auto intrinsics = [](const float p[4]) {
    Matrix3 K;
    K << p[0], 0.0f, p[2], 0.0f, p[1], p[3], 0.0f, 0.0f, 1.0f;
    return K;
  };
  depth_K_ = intrinsics(quilm->d_intr_p);
  for (int i = 0; i < 9; ++i) ReportInfo("depth K[%d] = %f \n", i, double(depth_K_.data()[i]));
  color_K_ = intrinsics(quilm->c_intr_p);
  for (int i = 0; i < 9; ++i) ReportInfo("color K[%d] = %f\n", i, double(color_K_.data()[i]));
  for (int i = 0; i < 9; ++i) {
    rot_.data()[i] = quilm->quilm_r[i];
    ReportInfo("rot_[%d] = %f\n", i, double(rot_.data()[i]));
  }
  for (int i = 0; i < 3; ++i) {
    trans_[i] = quilm->quilm_t[i];
    ReportInfo("trans_[%d] = %f\n", i, double(trans_[i]));
  }
  for (int i = 0; i < 5; ++i) {
    depth_distort_[i] = quilm->d_k[i];
    ReportInfo("depth_distort_[%d] = %f\n", i, double(depth_distort_[i]));
  }
  for (int i = 0; i < 5; ++i) {
    color_distort_[i] = quilm->c_k[i];
    ReportInfo("color_distort_[%d] = %f\n", i, double(color_distort_[i]));
  }
  param_loaded_ = true;
  return true;
}

bool DepthToColorImpl::ReadParameterStream(std::istream& in, Calibration& out,
                                           std::string& reason) {
  Calibration read;
  struct Section {
    const char* name;
    float* values;
    int count;
  };
  const Section sections[] = {
      {"depth intrinsic matrix", read.depth_K.data(), 9},
      {"color intrinsic matrix", read.color_K.data(), 9},
      {"rotation", read.rot.data(), 9},
      {"translation", read.trans.data(), 3},
      {"depth distortion coefficients", read.depth_distort.data(), 5},
      {"color distortion coefficients", read.color_distort.data(), 5},
  };
  bool first = true;
  for (const Section& section : sections) {
    // The rest of the previous block's last line, then the label.
    if (!first && !SkipLine(in, section.name, reason)) return false;
    if (!SkipLine(in, section.name, reason)) return false;
    first = false;
    for (int i = 0; i < section.count; ++i) {
      if (in >> section.values[i]) continue;
      reason = in.eof() ? "the file ends after " + std::to_string(i) + " of " +
                              std::to_string(section.count) + " numbers of the " + section.name
                        : "number " + std::to_string(i + 1) + " of the " + section.name +
                              " is not a valid number";
      return false;
    }
  }
  out = read;
  return true;
}

bool DepthToColorImpl::LoadParameters(const char* param_ini) {
  if (param_ini == nullptr) {
    ReportError("Open file \"%s\" failed: %s", "", std::strerror(EINVAL));
    return false;
  }
  errno = 0;
  std::ifstream file(param_ini);
  if (!file.is_open()) {
    ReportError("Open file \"%s\" failed: %s", param_ini, std::strerror(errno));
    return false;
  }
  // Parsed and checked on the side: a refused file changes nothing.
  Calibration read;
  std::string reason;
  if (!ReadParameterStream(file, read, reason)) {
    ReportError("Read file \"%s\" failed: %s", param_ini, reason.c_str());
    return false;
  }
  file.close();
  if (!CheckFocalLengths(read.depth_K, read.color_K, reason)) {
    ReportError("Invalid Parameters: %s", reason.c_str());
    return false;
  }
  depth_K_ = read.depth_K;
  color_K_ = read.color_K;
  rot_ = read.rot;
  trans_ = read.trans;
  depth_distort_ = read.depth_distort;
  color_distort_ = read.color_distort;
  ClearMatrixCache();
  param_loaded_ = true;
  return true;
}

bool DepthToColorImpl::CheckFocalLengths(const Matrix3& depth_K, const Matrix3& color_K,
                                         std::string& err_str) {
  const auto too_small = [](float f) { return std::fabs(f) < 1e-6; };
  if (too_small(depth_K(0, 0)) || too_small(depth_K(1, 1))) {
    err_str = "Too small depth focal length";
    return false;
  }
  if (too_small(color_K(0, 0)) || too_small(color_K(1, 1))) {
    err_str = "Too small color focal length";
    return false;
  }
  return true;
}

bool DepthToColorImpl::CheckParamValidation(std::string& err_str) const {
  return CheckFocalLengths(depth_K_, color_K_, err_str);
}

bool DepthToColorImpl::EnableDistortion(bool status) {
  distortion_switch_ = status;
  return true;
}

bool DepthToColorImpl::EnableDepthGapFill(bool status) {
  enable_depthFix_ = status;
  return true;
}

bool DepthToColorImpl::SetDepthUnit(float unit_mm) {
  depth_unit_mm_ = unit_mm;
  return true;
}

bool DepthToColorImpl::GetDepthUnit(float& unit_mm) {
  unit_mm = depth_unit_mm_;
  return true;
}

bool DepthToColorImpl::SetDepthRange(float min_value, float max_value) {
  if (!(min_value < max_value)) return false;
  min_val_ = min_value;
  max_val_ = max_value;
  return true;
}

bool DepthToColorImpl::GetDepthRange(float& min_value, float& max_value) {
  min_value = min_val_;
  max_value = max_val_;
  return true;
}

// ===========================================================================
// Per-resolution coefficient cache.

bool DepthToColorImpl::PrepareDepthResolution(int width, int height) {
  if (!PrepareDepthResLinear(width, height)) return false;
  return PrepareDepthResDistort(width, height);
}

// Releases both tables of the resolution; preparing it again rebuilds them.
bool DepthToColorImpl::DiscardDepthResolution(int width, int height) {
  linear_rot_coeff_ht.erase({width, height});
  disto_rot_coeff_ht.erase({width, height});
  return true;
}

void DepthToColorImpl::StoreTable(CoeffCache& cache, int width, int height,
                                  std::unique_ptr<float[]> table) {
  cache[{width, height}] = std::move(table);  // releases a table stored before
}

bool DepthToColorImpl::PrepareDepthResLinear(int width, int height) {
  std::unique_ptr<float[]> table(new float[ElementCount(width, height, 3)]);
  const LinearTableParams params{depth_K_(0, 0), depth_K_(1, 1), depth_K_(0, 2),
                                 depth_K_(1, 2), color_K_(0, 0), color_K_(1, 1),
                                 color_K_(0, 2), color_K_(1, 2), RotationRows(rot_)};
  float* const rows = table.get();
#pragma omp parallel for schedule(static)
  for (int v = 0; v < height; ++v) {
    FillLinearRow(params, width, v, rows + static_cast<std::size_t>(v) * 3 * static_cast<std::size_t>(width));
  }
  StoreTable(linear_rot_coeff_ht, width, height, std::move(table));
  trans_coeff_[0] = color_K_(0, 0) * trans_[0] + color_K_(0, 2) * trans_[2];
  trans_coeff_[1] = color_K_(1, 1) * trans_[1] + color_K_(1, 2) * trans_[2];
  trans_coeff_[2] = trans_[2];
  return true;
}

bool DepthToColorImpl::PrepareDepthResDistort(int width, int height) {
  std::unique_ptr<float[]> table(new float[ElementCount(width, height, 3)]);
  const DistortedTableParams params{depth_K_(0, 0), depth_K_(1, 1), depth_K_(0, 2),
                                    depth_K_(1, 2), LensScalars(depth_distort_),
                                    RotationRows(rot_)};
  float* const rows = table.get();
#pragma omp parallel
  {
    // Static schedule over the rows: one contiguous block per thread.
    const Block own = StaticBlock(static_cast<std::size_t>(std::max(height, 0)),
                                  omp_get_num_threads(), omp_get_thread_num());
    FillDistortedRows(params, width, static_cast<int>(own.begin), static_cast<int>(own.end), rows);
  }
  StoreTable(disto_rot_coeff_ht, width, height, std::move(table));
  return true;
}

void DepthToColorImpl::ClearMatrixCache() {
  for (auto& entry : linear_rot_coeff_ht) entry.second.reset();
  trans_coeff_.setZero();
  for (auto& entry : disto_rot_coeff_ht) entry.second.reset();
  linear_rot_coeff_ht.clear();
  disto_rot_coeff_ht.clear();
}

const float* DepthToColorImpl::LinearTable(int width, int height) const {
  const auto found = linear_rot_coeff_ht.find({width, height});
  return found == linear_rot_coeff_ht.end() ? nullptr : found->second.get();
}

const float* DepthToColorImpl::DistortedTable(int width, int height) const {
  const auto found = disto_rot_coeff_ht.find({width, height});
  return found == disto_rot_coeff_ht.end() ? nullptr : found->second.get();
}

// ===========================================================================
// Per-frame registration.

int DepthToColorImpl::QUILM(const std::uint16_t* depth_buffer, int depth_width, int depth_height,
                            std::uint16_t* out_depth, int color_width, int color_height) {
  const FrameTimer timer;
  int result;
  const char* format;
  if (distortion_switch_) {
    result = QUILM_Distortion(depth_buffer, depth_width, depth_height, out_depth, color_width,
                              color_height);
    format = "QUILM_DIST_ON time costs: %d milliseconds\n";
  } else {
    result = QUILM_Linear(depth_buffer, depth_width, depth_height, out_depth, color_width,
                          color_height);
    format = "QUILM_DIST_OFF time costs: %d milliseconds\n";
  }
  timer.Report(format);
  return result;
}

int DepthToColorImpl::QUILM_Linear(const std::uint16_t* depth_buffer, int depth_width,
                                   int depth_height, std::uint16_t* out_depth, int color_width,
                                   int color_height) {
  const LinearProjection projection{trans_coeff_[0], trans_coeff_[1], trans_coeff_[2]};
  return RegisterFrame(projection, linear_rot_coeff_ht, depth_buffer, depth_width, depth_height,
                       out_depth, color_width, color_height);
}

int DepthToColorImpl::QUILM_Distortion(const std::uint16_t* depth_buffer, int depth_width,
                                       int depth_height, std::uint16_t* out_depth,
                                       int color_width, int color_height) {
  const DistortedProjection projection{trans_[0] / depth_unit_mm_, trans_[1] / depth_unit_mm_,
                                       trans_[2] / depth_unit_mm_, LensScalars(color_distort_),
                                       color_K_(0, 0), color_K_(1, 1), color_K_(0, 2),
                                       color_K_(1, 2)};
  return RegisterFrame(projection, disto_rot_coeff_ht, depth_buffer, depth_width, depth_height,
                       out_depth, color_width, color_height);
}

template <class Projection>
int DepthToColorImpl::RegisterFrame(const Projection& projection, const CoeffCache& cache,
                                    const std::uint16_t* depth_buffer, int depth_width,
                                    int depth_height, std::uint16_t* out_depth, int color_width,
                                    int color_height) {
  // Checks: nothing is written before all of them have passed.
  if (!param_loaded_) {
    ReportError("%s", kNotLoadedForFrame);
    return -1;
  }
  const auto found = cache.find({depth_width, depth_height});
  if (found == cache.end()) {
    ReportError("%s", kNotPrepared);
    return -1;
  }
  if (depth_buffer == nullptr) {
    ReportError("depth_buffer is NULL!");
    return -1;
  }
  if (out_depth == nullptr) {
    ReportError("out_depth is NULL!");
    return -1;
  }

  // Working buffers: the gap-fill table only when gap fill is on.
  const std::size_t color_pixels = ElementCount(color_width, color_height, 1);
  const std::size_t depth_pixels = ElementCount(depth_width, depth_height, 1);
  const bool gap_fill = enable_depthFix_;
  const GapFillTableScope table_scope(quilmDists, gap_fill, color_pixels);
  QUILMDist* const table = quilmDists;
  // With gap fill on several threads, a first pass finds the colour rows
  // each thread's points reach, so that only the entries two threads can
  // both reach pay for a locked compare-exchange.
  const int max_threads = omp_get_max_threads();
  const bool mark_shared_rows = gap_fill && max_threads > 1 && color_pixels > 0;
  // A team smaller than the maximum leaves its unused slots reaching no row.
  std::vector<Rows> reached(mark_shared_rows ? static_cast<std::size_t>(max_threads) : 0,
                            Rows{INT32_MAX, -1});
  std::vector<std::uint8_t> contested(mark_shared_rows ? static_cast<std::size_t>(color_height) : 0);

  const FrameSpan frame{depth_buffer,
                        found->second.get(),
                        0,
                        0,
                        DepthRangeInUnits(min_val_, max_val_, depth_unit_mm_),
                        color_width,
                        color_height,
                        out_depth,
                        table,
                        nullptr};
  const std::size_t granule = PartitionGranule(projection, depth_width);

#pragma omp parallel
  {
    const int threads = omp_get_num_threads(), thread = omp_get_thread_num();
    // Empty output (or empty table, whose copy-out rewrites every pixel).
    const Block own = StaticBlock(color_pixels, threads, thread);
    if (gap_fill) {
      for (std::size_t k = own.begin; k < own.end; ++k) table[k].Clear();
    } else if (own.end > own.begin) {
      std::memset(out_depth + own.begin, 0, (own.end - own.begin) * sizeof(std::uint16_t));
    }
    const Block units = StaticBlock(depth_pixels / granule, threads, thread);
    FrameSpan span = frame;
    span.begin = units.begin * granule;
    span.end = units.end * granule;
    if (mark_shared_rows && threads > 1) {
      reached[static_cast<std::size_t>(thread)] = SpanRows(projection, span);
#pragma omp barrier
      const Block rows = StaticBlock(static_cast<std::size_t>(color_height), threads, thread);
      MarkContestedRows(reached, rows.begin, rows.end, contested.data());
      span.contested = contested.data();
    }
#pragma omp barrier
    RunSpan(projection, span);
    if (gap_fill) {
#pragma omp barrier
      for (std::size_t k = own.begin; k < own.end; ++k) out_depth[k] = table[k].depth();
    }
  }
  return 0;
}

// ===========================================================================
// Coloured point-cloud export.

int DepthToColorImpl::DumpColoredPCL(const std::uint16_t* pDepth, const std::uint8_t* pColor,
                                     int width, int height, const char* ply_fname) const {
  if (!param_loaded_) {
    ReportError("Make sure LoadParameters() success before DumpColoredPCL!");
    return -1;
  }
  if (pDepth == nullptr) {
    ReportError("depth is NULL!");
    return -1;
  }
  if (pColor == nullptr) {
    ReportError("pColor is NULL!");
    return -1;
  }
  const char* const path = ply_fname ? ply_fname : "";
  std::FILE* file = ply_fname ? std::fopen(ply_fname, "w") : nullptr;
  if (file == nullptr) {
    ReportError("Open file \"%s\" failed: %s", path, std::strerror(ply_fname ? errno : EINVAL));
    return -1;
  }

  const DepthWindow window = DepthRangeInUnits(min_val_, max_val_, depth_unit_mm_);
  const auto valid = [&window](std::uint16_t d) {
    return d != 0 && d >= window.min_depth && d <= window.max_depth;
  };
  const std::size_t pixels = (width > 0 && height > 0)
                                 ? static_cast<std::size_t>(width) * static_cast<std::size_t>(height)
                                 : 0;
  int valid_count = 0;
  for (std::size_t i = 0; i < pixels; ++i) valid_count += valid(pDepth[i]) ? 1 : 0;

  std::fprintf(file,
               "ply\nformat ascii 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
               "property float z\nproperty uchar red\nproperty uchar green\n"
               "property uchar blue\nend_header\n",
               valid_count);
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      const std::size_t i = static_cast<std::size_t>(v) * static_cast<std::size_t>(width) +
                            static_cast<std::size_t>(u);
      if (!valid(pDepth[i])) continue;
      float src[3];
      if (distortion_switch_) {
        ConvertProjectiveToWorldDisto(color_K_, u, v, pDepth[i], src[0], src[1], src[2],
                                      color_distort_);
      } else {
        ConvertProjectiveToWorldLinear(color_K_, u, v, pDepth[i], src[0], src[1], src[2]);
      }
      const std::uint8_t* pcolor = pColor + 3 * i;
      std::fprintf(file, "%f %f %f %d %d %d\n", double(src[0] * depth_unit_mm_),
                   double(src[1] * depth_unit_mm_), double(src[2] * depth_unit_mm_), pcolor[0],
                   pcolor[1], pcolor[2]);
    }
  }
  // A file that could not be written completely is not reported as written.
  const bool write_failed = std::ferror(file) != 0;
  const int write_errno = errno;
  if (std::fclose(file) != 0 || write_failed) {
    ReportError("Write file \"%s\" failed: %s", path, std::strerror(write_failed ? write_errno : errno));
    return -1;
  }
  return 0;
}
