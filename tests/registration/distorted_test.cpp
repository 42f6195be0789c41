// Distorted per-frame registration.
#include <iostream>

#include "test_support.h"

namespace {

using qt::PathCase;

class DistortedPass : public testing::TestWithParam<PathCase> {};

TEST_P(DistortedPass, MatchesTheReference) {
  const PathCase p = GetParam();
  qt::CheckAgainstReference(true, p.gap_fill, p.scene, 313u + unsigned(p.scene.cw));
}

INSTANTIATE_TEST_SUITE_P(Cases, DistortedPass, qt::ReferencePathCases());

// With no lens and unit 1 the two paths describe the same geometry, but
// they round differently (the linear table folds the colour intrinsics in
// before the division by Z). The sample scene shows how many pixels that
// moves, and how many pixels two threads change.
TEST(DistortedPass, ZeroLensAgainstTheLinearPathOnTheSampleScene) {
  std::mt19937 rng(2024);
  const SW_QUILM c = qt::RandomCalibration(rng, 640, 480, 640, 480, false);
  const auto depth = qt::RandomScene(rng, 640, 480);
  auto engine = qt::LoadedEngine(c, 640, 480);
  for (bool gap_fill : {false, true}) {
    engine->EnableDepthGapFill(gap_fill);
    engine->EnableDistortion(false);
    const auto linear = qt::RunFrame(*engine, depth, 640, 480, 640, 480);
    engine->EnableDistortion(true);
    const auto distorted = qt::RunFrame(*engine, depth, 640, 480, 640, 480);
    const auto two = qt::RunFrame(*engine, depth, 640, 480, 640, 480, 2);
    const std::size_t differ = qt::CountDifferent(linear, distorted);
    const std::size_t threads = qt::CountDifferent(distorted, two);
    std::cout << "[ sample   ] gap fill " << (gap_fill ? "on" : "off") << ": distorted (zero lens) "
              << "vs linear: " << differ << " of " << linear.size() << " pixels differ; "
              << "1 vs 2 threads: " << threads << "\n";
    RecordProperty(gap_fill ? "zero_lens_vs_linear_on" : "zero_lens_vs_linear_off", int(differ));
    EXPECT_LT(differ, linear.size() / 100);
    EXPECT_LT(threads, linear.size() / 100);
  }
}

// Points whose colour coordinate rounds to 0 are kept; -0.5 rounds to -1.
struct EdgeCase {
  float cx;  // colour principal point; depth pixel 0 lands at cx - 6
  bool kept;
};
void PrintTo(const EdgeCase& c, std::ostream* os) { *os << "lands_at_" << c.cx - 6.0f; }

class LeftEdge : public testing::TestWithParam<EdgeCase> {};

TEST_P(LeftEdge, RoundsHalvesAwayFromZero) {
  SW_QUILM c = qt::IdentityCalibration(16, 6, 5);
  c.c_intr_p[2] = GetParam().cx;
  auto engine = qt::LoadedEngine(c, 12, 10);
  engine->EnableDistortion(true);
  std::vector<std::uint16_t> depth(120, 0);
  depth[3 * 12 + 0] = 900;
  const auto out = qt::RunFrame(*engine, depth, 12, 10, 12, 10);
  EXPECT_EQ(out[3 * 12 + 0], GetParam().kept ? 900 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, LeftEdge,
                         testing::Values(EdgeCase{5.6f, true}, EdgeCase{5.5f, false},
                                         EdgeCase{6.0f, true}));

// The translation is added in depth units: with unit 2 a 20 mm shift moves
// a point 10 units away like a 10 mm shift does with unit 1.
TEST(DistortedPass, TranslationFollowsTheDepthUnit) {
  SW_QUILM c = qt::IdentityCalibration(16, 6, 5);
  c.quilm_t[0] = 20.0f;
  auto halved = c;
  halved.quilm_t[0] = 10.0f;
  std::vector<std::uint16_t> depth(120, 0);
  depth[4 * 12 + 4] = 80;  // 20 mm at depth 80 units shifts by 16 * 20 / 80 = 4 px
  auto engine = qt::LoadedEngine(c, 12, 10);
  engine->EnableDistortion(true);
  engine->SetDepthUnit(2.0f);
  auto reference = qt::LoadedEngine(halved, 12, 10);
  reference->EnableDistortion(true);
  const auto out = qt::RunFrame(*engine, depth, 12, 10, 12, 10);
  EXPECT_EQ(out, qt::RunFrame(*reference, depth, 12, 10, 12, 10));
  EXPECT_EQ(out[4 * 12 + 6], 80);  // shifted by 2 px, not 4
}

}  // namespace
