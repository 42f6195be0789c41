// Linear per-frame registration and the frame steps both paths share.
#include <cmath>
#include <iostream>
#include <new>

#include "test_support.h"

namespace {

using qt::PathCase;

class LinearPass : public testing::TestWithParam<PathCase> {};

TEST_P(LinearPass, MatchesTheReference) {
  const PathCase p = GetParam();
  qt::CheckAgainstReference(false, p.gap_fill, p.scene, 77u + unsigned(p.scene.cw));
}

INSTANTIATE_TEST_SUITE_P(Cases, LinearPass, qt::ReferencePathCases());

// The sample scene at full size: how many pixels two threads change compared
// with one. Only pixels where points of both thread blocks meet can differ.
TEST(LinearPass, OneAndTwoThreadsOnTheSampleScene) {
  std::mt19937 rng(2024);
  const SW_QUILM c = qt::RandomCalibration(rng, 640, 480, 640, 480);
  const auto depth = qt::RandomScene(rng, 640, 480);
  auto engine = qt::LoadedEngine(c, 640, 480);
  for (bool gap_fill : {false, true}) {
    engine->EnableDepthGapFill(gap_fill);
    const auto one = qt::RunFrame(*engine, depth, 640, 480, 640, 480, 1);
    const auto two = qt::RunFrame(*engine, depth, 640, 480, 640, 480, 2);
    const std::size_t differ = qt::CountDifferent(one, two);
    std::cout << "[ sample   ] linear, gap fill " << (gap_fill ? "on" : "off") << ": " << differ
              << " of " << one.size() << " pixels differ between 1 and 2 threads\n";
    RecordProperty(gap_fill ? "differ_gap_fill_on" : "differ_gap_fill_off", int(differ));
    EXPECT_LT(differ, one.size() / 100);
  }
}

// Identity geometry, on both paths: every depth pixel lands on the colour pixel of the same
// coordinates, so what is kept depends only on the bounds.
class IdentityBounds : public testing::TestWithParam<qt::Scene> {};

TEST_P(IdentityBounds, KeepsPointsInsideTheImageLessItsLastRowAndColumn) {
  const qt::Scene s = GetParam();
  for (int mode = 0; mode < 4; ++mode) {
    const bool gap_fill = mode & 1, distortion = mode & 2;
    auto engine = qt::LoadedEngine(qt::IdentityCalibration(32, 32, 24), s.dw, s.dh);
    engine->EnableDepthGapFill(gap_fill);
    engine->EnableDistortion(distortion);
    // Gap fill spreads each point over its block; a checkerboard of points
    // two pixels apart shows each landing spot on its own.
    std::vector<std::uint16_t> depth(std::size_t(s.dw * s.dh), 0);
    for (int v = 0; v < s.dh; v += 2)
      for (int u = 0; u < s.dw; u += 2) depth[std::size_t(v * s.dw + u)] = 1000;
    const auto out = qt::RunFrame(*engine, depth, s.dw, s.dh, s.cw, s.ch);
    for (int v = 0; v < s.ch; ++v) {
      for (int u = 0; u < s.cw; ++u) {
        // The point at (u, v) itself, or with gap fill its left/upper
        // neighbours, must be a kept landing spot.
        bool expected = false;
        for (int du = 0; du <= (gap_fill ? 1 : 0); ++du)
          for (int dv = 0; dv <= (gap_fill ? 1 : 0); ++dv) {
            const int pu = u - du, pv = v - dv;
            expected |= pu >= 0 && pv >= 0 && pu < s.dw && pv < s.dh && pu % 2 == 0 &&
                        pv % 2 == 0 && pu < s.cw - 1 && pv < s.ch - 1;
          }
        ASSERT_EQ(out[std::size_t(v * s.cw + u)], expected ? 1000 : 0)
            << "(" << u << ", " << v << ") mode " << mode;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, IdentityBounds,
                         testing::Values(qt::Scene{64, 48, 64, 48}, qt::Scene{64, 48, 63, 48},
                                         qt::Scene{64, 48, 64, 47}, qt::Scene{64, 48, 1, 48},
                                         qt::Scene{64, 48, 64, 1}, qt::Scene{64, 48, 80, 60}));

struct RangeCase {
  float unit, lo, hi;
  std::uint16_t value;
  bool kept;
};
void PrintTo(const RangeCase& c, std::ostream* os) {
  *os << "unit_" << c.unit << "_range_" << c.lo << "_" << c.hi << "_value_" << c.value;
}

class DepthRangeFilter : public testing::TestWithParam<RangeCase> {};

TEST_P(DepthRangeFilter, KeepsValuesWithinTheLimitsInDepthUnits) {
  const RangeCase c = GetParam();
  auto engine = qt::LoadedEngine(qt::IdentityCalibration(32, 32, 24), 64, 48);
  engine->SetDepthUnit(c.unit);
  if (c.lo != 0.0f || c.hi != 0.0f) {
    ASSERT_TRUE(engine->SetDepthRange(c.lo, c.hi));
  }
  std::vector<std::uint16_t> depth(64 * 48, 0);
  depth[10 * 64 + 10] = c.value;
  const auto out = qt::RunFrame(*engine, depth, 64, 48, 64, 48);
  EXPECT_EQ(out[10 * 64 + 10], c.kept ? c.value : 0);
}

// lo = hi = 0 leaves the default range. A unit of 0 makes every limit
// infinite or NaN: the default range then keeps every value; a negative or
// NaN unit gives an empty range.
INSTANTIATE_TEST_SUITE_P(
    Cases, DepthRangeFilter,
    testing::Values(RangeCase{1.0f, 500, 1000, 499, false}, RangeCase{1.0f, 500, 1000, 500, true},
                    RangeCase{1.0f, 500, 1000, 1000, true}, RangeCase{1.0f, 500, 1000, 1001, false},
                    RangeCase{0.5f, 500, 1000, 999, false}, RangeCase{0.5f, 500, 1000, 1000, true},
                    RangeCase{0.5f, 500, 1000, 2000, true}, RangeCase{0.5f, 500, 1000, 2001, false},
                    RangeCase{1.0f, -10, 100000, 1, true}, RangeCase{1.0f, -10, 100000, 65535, true},
                    RangeCase{1.0f, 0, 0, 65535, true}, RangeCase{0.0f, 0, 0, 1, true},
                    RangeCase{0.0f, 0, 0, 65535, true}, RangeCase{-1.0f, 0, 0, 1000, false},
                    RangeCase{NAN, 0, 0, 1000, false}));

// Depth pixels 9 and 10 of row 20 land on one colour pixel when the colour
// camera has half the focal length: without gap fill the later one stays,
// even though it is farther; with gap fill the nearer one wins.
struct CollisionCase {
  bool gap_fill;
  std::uint16_t expected;
};
void PrintTo(const CollisionCase& c, std::ostream* os) { *os << (c.gap_fill ? "gapfill" : "plain"); }

class SameThreadCollision : public testing::TestWithParam<CollisionCase> {};

TEST_P(SameThreadCollision, FollowsTheOutputRule) {
  SW_QUILM c = qt::IdentityCalibration(32, 32, 24);
  c.c_intr_p[0] = c.c_intr_p[1] = 16;
  c.c_intr_p[2] = 16;
  c.c_intr_p[3] = 12;
  auto engine = qt::LoadedEngine(c, 64, 48);
  engine->EnableDepthGapFill(GetParam().gap_fill);
  std::vector<std::uint16_t> depth(64 * 48, 0);
  depth[20 * 64 + 9] = 800;
  depth[20 * 64 + 10] = 1200;
  EXPECT_EQ(qt::RunFrame(*engine, depth, 64, 48, 32, 24)[10 * 32 + 5], GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SameThreadCollision,
                         testing::Values(CollisionCase{false, 1200}, CollisionCase{true, 800}));

// A depth whose truncated Z does not fit 16 bits is dropped, not wrapped.
struct DepthFitCase {
  float r22;  // scales Z (records are not validated)
  std::uint16_t value;
  std::uint16_t registered;  // 0: dropped
};
void PrintTo(const DepthFitCase& c, std::ostream* os) { *os << "z_scale_" << c.r22 << "_depth_" << c.value; }

class DepthFit : public testing::TestWithParam<DepthFitCase> {};

TEST_P(DepthFit, DropsDepthsOutside16Bits) {
  const DepthFitCase c = GetParam();
  SW_QUILM calib = qt::IdentityCalibration(32, 32, 24);
  calib.quilm_r[8] = c.r22;
  for (bool gap_fill : {false, true}) {
    auto engine = qt::LoadedEngine(calib, 64, 48);
    engine->EnableDepthGapFill(gap_fill);
    const std::vector<std::uint16_t> depth(64 * 48, c.value);
    const auto out = qt::RunFrame(*engine, depth, 64, 48, 64, 48);
    const auto nonzero = std::count_if(out.begin(), out.end(), [](std::uint16_t d) { return d; });
    if (c.registered == 0) {
      EXPECT_EQ(nonzero, 0);
    } else {
      EXPECT_GT(nonzero, 0);
      EXPECT_EQ(std::count(out.begin(), out.end(), c.registered), nonzero);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DepthFit,
                         testing::Values(DepthFitCase{2.0f, 30000, 60000},
                                         DepthFitCase{2.0f, 40000, 0},     // Z = 80000
                                         DepthFitCase{-1.0f, 1000, 0}));   // behind the camera

// The frame checks, in order: the first that fails is the only message and
// the output is left as it was.
struct CheckCase {
  bool loaded, prepared, depth_null, out_null;
  const char* message;
};
void PrintTo(const CheckCase& c, std::ostream* os) {
  *os << (!c.loaded ? "not_loaded" : !c.prepared ? "not_prepared" : c.depth_null ? "no_depth" : "no_output");
}

class FrameChecks : public testing::TestWithParam<CheckCase> {};

TEST_P(FrameChecks, RefuseWithTheFirstFailingCheck) {
  const CheckCase c = GetParam();
  for (bool distortion : {false, true}) {
    auto engine = c.loaded ? qt::LoadedEngine(qt::IdentityCalibration(32, 32, 24))
                           : std::make_unique<DepthToColorImpl>();
    if (c.prepared) engine->PrepareDepthResolution(64, 48);
    engine->EnableDistortion(distortion);
    std::vector<std::uint16_t> depth(64 * 48, 1000), out(64 * 48, 0xBEEF);
    int result = 0;
    const std::string err = qt::CaptureStderrOf([&] {
      result = engine->QUILM(c.depth_null ? nullptr : depth.data(), 64, 48,
                             c.out_null ? nullptr : out.data(), 64, 48);
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(qt::WithoutTiming(err), c.message);
    EXPECT_EQ(out, std::vector<std::uint16_t>(64 * 48, 0xBEEF));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameChecks,
    testing::Values(
        CheckCase{false, true, true, true, "Make sure LoadParameters() success before QUILM!"},
        CheckCase{true, false, true, true, "Found a new resolution, but initialize failed!"},
        CheckCase{true, true, true, true, "depth_buffer is NULL!"},
        CheckCase{true, true, false, true, "out_depth is NULL!"}));

TEST(FrameSizes, NegativeColourSizeIsRefusedBeforeAnyWrite) {
  auto engine = qt::LoadedEngine(qt::IdentityCalibration(32, 32, 24), 64, 48);
  std::vector<std::uint16_t> depth(64 * 48, 1000), out(16, 3);
  for (bool gap_fill : {false, true}) {
    engine->EnableDepthGapFill(gap_fill);
    testing::internal::CaptureStderr();
    EXPECT_THROW(engine->QUILM(depth.data(), 64, 48, out.data(), -4, 4), std::bad_alloc);
    testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(out, std::vector<std::uint16_t>(16, 3));
}

}  // namespace
