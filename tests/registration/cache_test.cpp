// Per-resolution coefficient cache and both table preparations.
#include <cstring>
#include <new>

#include "test_support.h"

namespace {

bool SameBits(const float* a, const std::vector<float>& b) {
  return std::memcmp(a, b.data(), b.size() * sizeof(float)) == 0;
}

struct Size {
  int w, h;
};
void PrintTo(const Size& s, std::ostream* os) { *os << s.w << "x" << s.h; }

class Preparation : public testing::TestWithParam<Size> {};

// Odd widths exercise the partial batches at the end of each row.
TEST_P(Preparation, MatchesTheReferenceBitForBit) {
  const Size s = GetParam();
  std::mt19937 rng(1000u + unsigned(s.w));
  const int saved_threads = omp_get_max_threads();
  for (int round = 0; round < 12; ++round) {
    const SW_QUILM c = qt::RandomCalibration(rng, s.w, s.h, 2 * s.w, 2 * s.h);
    for (int threads : {1, 2}) {
      auto engine = qt::LoadedEngine(c);
      omp_set_num_threads(threads);
      ASSERT_TRUE(engine->PrepareDepthResolution(s.w, s.h));
      ASSERT_TRUE(SameBits(engine->LinearTable(s.w, s.h), ref::LinearTable(c, s.w, s.h)));
      ASSERT_TRUE(SameBits(engine->DistortedTable(s.w, s.h), ref::DistortedTable(c, s.w, s.h)))
          << "round " << round << " threads " << threads;
      const std::array<float, 3> tc = ref::TransCoeff(c);
      for (int k = 0; k < 3; ++k) EXPECT_EQ(engine->TransCoeff()[k], tc[k]);
    }
  }
  omp_set_num_threads(saved_threads);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Preparation,
                         testing::Values(Size{64, 48}, Size{37, 5}, Size{1, 9}, Size{13, 1}));

// Coefficients strong enough that the inverse model does not settle: every
// pixel still ends after the last correction, as the reference does.
TEST(Preparation, DivergingLensStopsAfterTheLastCorrection) {
  SW_QUILM c = qt::IdentityCalibration(20, 10, 8);
  const float wild[5] = {4.0f, -9.0f, 3.0f, 0.5f, -0.7f};
  std::copy(wild, wild + 5, c.d_k);
  auto engine = qt::LoadedEngine(c, 24, 16);
  EXPECT_TRUE(SameBits(engine->DistortedTable(24, 16), ref::DistortedTable(c, 24, 16)));
}

TEST(Preparation, IdentityGivesPixelCoordinates) {
  auto engine = qt::LoadedEngine(qt::IdentityCalibration(500, 320, 240), 640, 480);
  const float* t = engine->LinearTable(640, 480);
  for (int v : {0, 17, 479}) {
    for (int u : {0, 301, 639}) {
      const float* e = t + (v * 640 + u) * 3;
      EXPECT_NEAR(e[0], u, 1e-3);
      EXPECT_NEAR(e[1], v, 1e-3);
      EXPECT_EQ(e[2], 1.0f);
    }
  }
  EXPECT_EQ(engine->TransCoeff(), DepthToColorImpl::Vector3::Zero());
  // Without a lens the distorted table is R * (x, y, 1); at the centre the
  // ray is the rotation's third column.
  const float* centre = engine->DistortedTable(640, 480) + (240 * 640 + 320) * 3;
  EXPECT_EQ(centre[0], 0.0f);
  EXPECT_EQ(centre[1], 0.0f);
  EXPECT_EQ(centre[2], 1.0f);
}

TEST(Cache, PreparingAgainReplacesTheEntry) {
  std::mt19937 rng(5);
  const SW_QUILM first = qt::RandomCalibration(rng, 40, 30, 40, 30);
  const SW_QUILM second = qt::RandomCalibration(rng, 40, 30, 40, 30);
  auto engine = qt::LoadedEngine(first, 40, 30);
  qt::CaptureStdoutOf([&] { engine->LoadParameters(&second); });
  engine->PrepareDepthResolution(40, 30);
  EXPECT_EQ(engine->PreparedCount(), 1u);
  EXPECT_TRUE(SameBits(engine->LinearTable(40, 30), ref::LinearTable(second, 40, 30)));
  EXPECT_TRUE(SameBits(engine->DistortedTable(40, 30), ref::DistortedTable(second, 40, 30)));
}

TEST(Cache, KeysDifferingInWidthOrHeightAreSeparate) {
  auto engine = qt::LoadedEngine(qt::IdentityCalibration(100, 3, 3));
  engine->PrepareDepthResolution(64, 48);
  engine->PrepareDepthResolution(48, 64);
  // (65537, 2) hashes like (1, 2) but is a different resolution.
  engine->PrepareDepthResolution(1, 2);
  engine->PrepareDepthResolution(65537, 2);
  EXPECT_EQ(engine->PreparedCount(), 4u);
  EXPECT_EQ(ResHashFunc()({65537, 2}), ResHashFunc()({1, 2}));
  EXPECT_NE(engine->LinearTable(1, 2), engine->LinearTable(65537, 2));
}

TEST(Cache, EmptyResolutionsAreStored) {
  auto engine = qt::LoadedEngine(qt::IdentityCalibration(100, 3, 3));
  EXPECT_TRUE(engine->PrepareDepthResolution(0, 480));
  EXPECT_TRUE(engine->PrepareDepthResolution(640, 0));
  EXPECT_EQ(engine->PreparedCount(), 2u);
  std::vector<std::uint16_t> out(16, 7);
  const std::uint16_t depth[1] = {0};
  int result = -1;
  qt::CaptureStderrOf([&] { result = engine->QUILM(depth, 0, 480, out.data(), 4, 4); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, std::vector<std::uint16_t>(16, 0));
}

TEST(Cache, NegativeSizesThrowAndChangeNothing) {
  auto engine = qt::LoadedEngine(qt::IdentityCalibration(100, 3, 3), 8, 8);
  for (const Size s : {Size{-640, 480}, Size{640, -480}, Size{-640, -480}, Size{40000, 40000}}) {
    EXPECT_THROW(engine->PrepareDepthResolution(s.w, s.h), std::bad_alloc);
  }
  EXPECT_EQ(engine->PreparedCount(), 1u);
}

TEST(Cache, DiscardReleasesBothTables) {
  auto engine = qt::LoadedEngine(qt::IdentityCalibration(100, 3, 3), 8, 8);
  engine->PrepareDepthResolution(16, 8);
  EXPECT_TRUE(engine->DiscardDepthResolution(8, 8));
  EXPECT_EQ(engine->LinearTable(8, 8), nullptr);
  EXPECT_EQ(engine->DistortedTable(8, 8), nullptr);
  EXPECT_NE(engine->LinearTable(16, 8), nullptr);
  EXPECT_TRUE(engine->DiscardDepthResolution(3, 3));  // never prepared
  std::vector<std::uint16_t> depth(64, 1000), out(64);
  for (bool distortion : {false, true}) {
    engine->EnableDistortion(distortion);
    int result = 0;
    const std::string err =
        qt::CaptureStderrOf([&] { result = engine->QUILM(depth.data(), 8, 8, out.data(), 8, 8); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(qt::WithoutTiming(err), "Found a new resolution, but initialize failed!");
  }
}

// Before any load the calibration is all zero: the tables hold the
// infinities and NaNs that zero focal lengths give, computed like the
// reference computes them, and frames are still refused.
TEST(Cache, PreparationBeforeLoadComputesFromZeros) {
  DepthToColorImpl engine;
  EXPECT_TRUE(engine.PrepareDepthResolution(16, 4));
  const SW_QUILM zero{};
  EXPECT_TRUE(SameBits(engine.LinearTable(16, 4), ref::LinearTable(zero, 16, 4)));
  EXPECT_TRUE(SameBits(engine.DistortedTable(16, 4), ref::DistortedTable(zero, 16, 4)));
  std::vector<std::uint16_t> depth(64, 1000), out(64, 5);
  int result = 0;
  const std::string err =
      qt::CaptureStderrOf([&] { result = engine.QUILM(depth.data(), 16, 4, out.data(), 16, 4); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(qt::WithoutTiming(err), "Make sure LoadParameters() success before QUILM!");
}

}  // namespace
