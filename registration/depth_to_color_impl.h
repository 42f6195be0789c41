// The registration engine behind DepthToColor.
//
// This header is installed with the Linux and Android builds, which export
// the engine (it carries DumpColoredPCL, which the facade does not offer).
// It needs Eigen's headers: link quilm::engine rather than quilm::quilm.
#ifndef DEPTH_TO_COLOR_IMPL_H
#define DEPTH_TO_COLOR_IMPL_H

#include <Eigen/Core>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "depth_to_color.h"

// Priority key of a point entered into a gap-fill entry: a nearer point has a
// larger key (one step per two depth units), and the distance term adds +10
// for a point on the pixel down to about -11.2 at the far corner of the 2x2
// block. dist is the squared distance in pixels.
inline std::int32_t genKeyValue(float dist, std::uint16_t depth) {
  const std::int32_t h = (5000 - static_cast<std::int32_t>(depth)) >> 1;
#if QUILM_KEY_SINGLE_PRECISION
  return static_cast<std::int32_t>((1.0f - std::sqrt(dist)) * 10.0f + static_cast<float>(h));
#else
  return static_cast<std::int32_t>((1.0 - std::sqrt(static_cast<double>(dist))) * 10.0 +
                                   static_cast<double>(h));
#endif
}

// One entry of the gap-fill depth table: the key and the depth of the point
// that holds it. Both live in one 64-bit word (key in the high half, depth in
// the low 16 bits) so that concurrent threads compare and replace a whole
// entry in one atomic step.
struct QUILMDist {
  std::atomic<std::uint64_t> word;

  // Lower than any key genKeyValue can produce: the first point wins.
  static constexpr std::int32_t kEmptyKey = INT32_MIN;

  static constexpr std::uint64_t Pack(std::int32_t key, std::uint16_t depth) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(key)) << 32) | depth;
  }
  static constexpr std::int32_t KeyOf(std::uint64_t w) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(w >> 32));
  }
  static constexpr std::uint16_t DepthOf(std::uint64_t w) {
    return static_cast<std::uint16_t>(w & 0xFFFFu);
  }

  void Clear() { word.store(Pack(kEmptyKey, 0), std::memory_order_relaxed); }
  std::int32_t keyValue() const { return KeyOf(word.load(std::memory_order_relaxed)); }
  std::uint16_t depth() const { return DepthOf(word.load(std::memory_order_relaxed)); }

  // Stores {key, depth} if the held key is strictly lower; equal keys keep
  // the point that came first. Gives up without a write as soon as the held
  // key is not lower, which is the common case once an entry is settled.
  void Offer(std::int32_t key, std::uint16_t value) {
    std::uint64_t held = word.load(std::memory_order_relaxed);
    const std::uint64_t offered = Pack(key, value);
    while (KeyOf(held) < key) {
      if (word.compare_exchange_weak(held, offered, std::memory_order_relaxed)) return;
    }
  }

  // The same rule for an entry that no other thread can reach during the
  // pass, on packed words: what the entry holds after `offered` (a Pack) is
  // offered to it. As signed 64-bit numbers, a word whose key is lower is
  // below the offered key with a depth of 0, and a word with an equal key is
  // not. The caller stores the result with a plain store instead of the
  // locked exchange.
  static std::uint64_t Kept(std::uint64_t held, std::uint64_t offered) {
    const auto key_only = static_cast<std::int64_t>(offered & ~std::uint64_t{0xFFFF});
    return static_cast<std::int64_t>(held) < key_only ? offered : held;
  }
  std::uint64_t Held() const { return word.load(std::memory_order_relaxed); }
  void Hold(std::uint64_t w) { word.store(w, std::memory_order_relaxed); }
};

// Cache key hash: (width << 16) | (height & 0xFFFF) in 32-bit arithmetic.
struct ResHashFunc {
  std::size_t operator()(const std::pair<int, int>& key) const {
    return static_cast<std::size_t>((static_cast<std::uint32_t>(key.first) << 16) |
                                    (static_cast<std::uint32_t>(key.second) & 0xFFFFu));
  }
};

struct ResComp {
  bool operator()(const std::pair<int, int>& a, const std::pair<int, int>& b) const {
    return a.first == b.first && a.second == b.second;
  }
};

class QUILM_ENGINE_API DepthToColorImpl {
 public:
  using Matrix3 = Eigen::Matrix<float, 3, 3, Eigen::RowMajor>;
  using Vector3 = Eigen::Matrix<float, 3, 1>;
  using LensCoeffs = Eigen::Matrix<float, 1, 5>;  // k1, k2, k3, p1, p2
  using ResKey = std::pair<int, int>;             // (width, height)
  using CoeffCache = std::unordered_map<ResKey, std::unique_ptr<float[]>, ResHashFunc, ResComp>;

  // The calibration as read from a parameter text file, before it is
  // checked and taken over by the engine.
  struct Calibration {
    Matrix3 depth_K = Matrix3::Zero();
    Matrix3 color_K = Matrix3::Zero();
    Matrix3 rot = Matrix3::Zero();
    Vector3 trans = Vector3::Zero();
    LensCoeffs depth_distort = LensCoeffs::Zero();
    LensCoeffs color_distort = LensCoeffs::Zero();
  };

  DepthToColorImpl();
  ~DepthToColorImpl();
  DepthToColorImpl(const DepthToColorImpl&) = delete;
  DepthToColorImpl& operator=(const DepthToColorImpl&) = delete;

  const char* GetVersion();
  bool LoadParameters(const char* param_ini);
  bool LoadParameters(const SW_QUILM* quilm);
  bool EnableDistortion(bool status);
  bool EnableDepthGapFill(bool status);
  bool SetDepthUnit(float unit_mm);
  bool GetDepthUnit(float& unit_mm);
  bool SetDepthRange(float min_value, float max_value);
  bool GetDepthRange(float& min_value, float& max_value);
  bool PrepareDepthResolution(int width, int height);
  bool DiscardDepthResolution(int width, int height);
  int QUILM(const std::uint16_t* depth_buffer, int depth_width, int depth_height,
            std::uint16_t* out_depth, int color_width, int color_height);
  int DumpColoredPCL(const std::uint16_t* pDepth, const std::uint8_t* pColor, int width,
                     int height, const char* ply_fname) const;

  // Reads the six blocks of a parameter text file from `in` into `out`.
  // Returns false with a reason when the stream ends early, holds a token
  // that is not a number or a line longer than the line buffer. Touches no
  // engine; LoadParameters(const char*) is built on it.
  static bool ReadParameterStream(std::istream& in, Calibration& out, std::string& reason);

  // Focal-length check shared by CheckParamValidation and the file load.
  static bool CheckFocalLengths(const Matrix3& depth_K, const Matrix3& color_K,
                                std::string& err_str);

  // Read-only views for tests and tools.
  const float* LinearTable(int width, int height) const;
  const float* DistortedTable(int width, int height) const;
  std::size_t PreparedCount() const { return linear_rot_coeff_ht.size(); }
  const Vector3& TransCoeff() const { return trans_coeff_; }

 protected:
  bool PrepareDepthResDistort(int width, int height);
  bool PrepareDepthResLinear(int width, int height);
  void ClearMatrixCache();
  bool CheckParamValidation(std::string& err_str) const;
  int QUILM_Distortion(const std::uint16_t* depth_buffer, int depth_width, int depth_height,
                       std::uint16_t* out_depth, int color_width, int color_height);
  int QUILM_Linear(const std::uint16_t* depth_buffer, int depth_width, int depth_height,
                   std::uint16_t* out_depth, int color_width, int color_height);

 private:
  // The frame steps shared by both paths: checks, buffers, depth range,
  // |Z| test, rounding and bounds, output rule, end. Projection supplies the
  // table and the way a depth pixel becomes a colour-image point.
  template <class Projection>
  int RegisterFrame(const Projection& projection, const CoeffCache& cache,
                    const std::uint16_t* depth_buffer, int depth_width, int depth_height,
                    std::uint16_t* out_depth, int color_width, int color_height);

  void StoreTable(CoeffCache& cache, int width, int height, std::unique_ptr<float[]> table);

  bool param_loaded_ = false;
  float depth_unit_mm_ = 1.0f;
  bool distortion_switch_ = false;
  float min_val_ = 0.0f;
  float max_val_;
  // Calibration starts zeroed so that a preparation before any load computes
  // from defined values (it yields infinite or NaN coordinates, never a read
  // of uninitialised memory).
  Matrix3 depth_K_ = Matrix3::Zero();
  Matrix3 color_K_ = Matrix3::Zero();
  Matrix3 rot_ = Matrix3::Zero();
  Vector3 trans_ = Vector3::Zero();
  LensCoeffs depth_distort_ = LensCoeffs::Zero();
  LensCoeffs color_distort_ = LensCoeffs::Zero();
  CoeffCache linear_rot_coeff_ht;
  CoeffCache disto_rot_coeff_ht;
  bool enable_depthFix_ = false;
  QUILMDist* quilmDists = nullptr;  // valid only inside one gap-fill frame
  Vector3 trans_coeff_ = Vector3::Zero();
};

#endif  // DEPTH_TO_COLOR_IMPL_H
