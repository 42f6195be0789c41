// Engine state, settings, record loading, the facade and the frame dispatch.
#include <cfloat>
#include <cmath>
#include <type_traits>

#include "test_support.h"

namespace {

static_assert(!std::is_copy_constructible_v<DepthToColor>, "one owner per engine");
static_assert(!std::is_copy_assignable_v<DepthToColor>, "one owner per engine");

TEST(Engine, ReportsVersionAndDefaults) {
  DepthToColor facade;
  EXPECT_STREQ(facade.GetVersion(), "0.3.1");
  DepthToColorImpl engine;
  EXPECT_STREQ(engine.GetVersion(), "0.3.1");
  float unit = 0, lo = -1, hi = -1;
  EXPECT_TRUE(engine.GetDepthUnit(unit));
  EXPECT_TRUE(engine.GetDepthRange(lo, hi));
  EXPECT_EQ(unit, 1.0f);
  EXPECT_EQ(lo, 0.0f);
  EXPECT_EQ(hi, FLT_MAX);
}

struct RangeCase {
  float lo, hi;
  bool accepted;
};
void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.lo << "_to_" << c.hi; }

class DepthRange : public testing::TestWithParam<RangeCase> {};

TEST_P(DepthRange, AcceptsOnlyIncreasingLimits) {
  const RangeCase c = GetParam();
  DepthToColor engine;
  ASSERT_TRUE(engine.SetDepthRange(100.0f, 200.0f));
  EXPECT_EQ(engine.SetDepthRange(c.lo, c.hi), c.accepted);
  float lo = 0, hi = 0;
  engine.GetDepthRange(lo, hi);
  EXPECT_EQ(lo, c.accepted ? c.lo : 100.0f);
  EXPECT_EQ(hi, c.accepted ? c.hi : 200.0f);
}

INSTANTIATE_TEST_SUITE_P(Cases, DepthRange,
                         testing::Values(RangeCase{-10, 10, true}, RangeCase{0, 1e30f, true},
                                         RangeCase{10, -10, false}, RangeCase{10, 10, false},
                                         RangeCase{5, 5, false}, RangeCase{NAN, 10, false},
                                         RangeCase{0, NAN, false}));

TEST(Engine, AcceptsAndReportsAnyDepthUnit) {
  DepthToColor engine;
  for (float u : {0.0f, -2.0f, 0.5f}) {
    EXPECT_TRUE(engine.SetDepthUnit(u));
    float back = 99;
    engine.GetDepthUnit(back);
    EXPECT_EQ(back, u);
  }
}

std::string ExpectedDump(const SW_QUILM& c) {
  std::string s;
  char line[64];
  const auto add = [&](const char* fmt, int i, float v) {
    std::snprintf(line, sizeof line, fmt, i, double(v));
    s += line;
  };
  const float dK[9] = {c.d_intr_p[0], 0, c.d_intr_p[2], 0, c.d_intr_p[1], c.d_intr_p[3], 0, 0, 1};
  const float cK[9] = {c.c_intr_p[0], 0, c.c_intr_p[2], 0, c.c_intr_p[1], c.c_intr_p[3], 0, 0, 1};
  for (int i = 0; i < 9; ++i) add("depth K[%d] = %f \n", i, dK[i]);
  for (int i = 0; i < 9; ++i) add("color K[%d] = %f\n", i, cK[i]);
  for (int i = 0; i < 9; ++i) add("rot_[%d] = %f\n", i, c.quilm_r[i]);
  for (int i = 0; i < 3; ++i) add("trans_[%d] = %f\n", i, c.quilm_t[i]);
  for (int i = 0; i < 5; ++i) add("depth_distort_[%d] = %f\n", i, c.d_k[i]);
  for (int i = 0; i < 5; ++i) add("color_distort_[%d] = %f\n", i, c.c_k[i]);
  return s;
}

TEST(RecordLoad, PrintsFortyLinesOfTheRecord) {
  std::mt19937 rng(7);
  const SW_QUILM c = qt::RandomCalibration(rng, 640, 480, 640, 480);
  DepthToColor engine;
  bool loaded = false;
  const std::string out = qt::CaptureStdoutOf([&] { loaded = engine.LoadParameters(&c); });
  EXPECT_TRUE(loaded);
  EXPECT_EQ(out, ExpectedDump(c));
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 40);
  EXPECT_EQ(out.substr(0, out.find('\n') + 1),
            "depth K[0] = " + std::to_string(c.d_intr_p[0]) + " \n");
  EXPECT_NE(out.find("depth K[8] = 1.000000 \n"), std::string::npos);
}

TEST(RecordLoad, TakesAnAllZeroRecordWithoutValidation) {
  const SW_QUILM zero{};
  DepthToColor engine;
  bool loaded = false;
  qt::CaptureStdoutOf([&] { loaded = engine.LoadParameters(&zero); });
  EXPECT_TRUE(loaded);
}

TEST(RecordLoad, LeavesPreparedTablesUntilPreparedAgain) {
  std::mt19937 rng(11);
  const SW_QUILM first = qt::RandomCalibration(rng, 32, 24, 32, 24);
  const SW_QUILM second = qt::RandomCalibration(rng, 32, 24, 32, 24);
  auto engine = qt::LoadedEngine(first, 32, 24);
  const std::vector<float> before(engine->LinearTable(32, 24), engine->LinearTable(32, 24) + 32 * 24 * 3);
  qt::CaptureStdoutOf([&] { engine->LoadParameters(&second); });
  EXPECT_EQ(std::memcmp(engine->LinearTable(32, 24), before.data(), before.size() * 4), 0);
  engine->PrepareDepthResolution(32, 24);
  EXPECT_EQ(std::memcmp(engine->LinearTable(32, 24), ref::LinearTable(second, 32, 24).data(),
                        before.size() * 4),
            0);
}

TEST(Facade, ForwardsToItsEngine) {
  std::mt19937 rng(3);
  const SW_QUILM c = qt::RandomCalibration(rng, 48, 32, 64, 40);
  const auto depth = qt::RandomScene(rng, 48, 32);
  DepthToColor facade;
  qt::CaptureStdoutOf([&] { facade.LoadParameters(&c); });
  EXPECT_TRUE(facade.EnableDepthGapFill(true));
  EXPECT_TRUE(facade.EnableDistortion(true));
  EXPECT_TRUE(facade.PrepareDepthResolution(48, 32));
  std::vector<std::uint16_t> out(64 * 40);
  int result = -1;
  qt::CaptureStderrOf([&] { result = facade.QUILM(depth.data(), 48, 32, out.data(), 64, 40); });
  EXPECT_EQ(result, 0);
  auto engine = qt::LoadedEngine(c, 48, 32);
  engine->EnableDepthGapFill(true);
  engine->EnableDistortion(true);
  EXPECT_EQ(out, qt::RunFrame(*engine, depth, 48, 32, 64, 40, omp_get_max_threads()));
  EXPECT_TRUE(facade.DiscardDepthResolution(48, 32));
  EXPECT_TRUE(facade.DiscardDepthResolution(7, 7));
}

// One timing line per frame on standard error, whatever the result.
struct TimingCase {
  bool distortion;
  bool loaded;
  const char* line;
};
void PrintTo(const TimingCase& c, std::ostream* os) {
  *os << (c.distortion ? "distorted" : "linear") << (c.loaded ? "_loaded" : "_unloaded");
}

class FrameTiming : public testing::TestWithParam<TimingCase> {};

TEST_P(FrameTiming, PrintsOneLinePerCall) {
  const TimingCase c = GetParam();
  auto engine = c.loaded ? qt::LoadedEngine(qt::IdentityCalibration(10, 4, 4), 8, 8)
                         : std::make_unique<DepthToColorImpl>();
  engine->EnableDistortion(c.distortion);
  std::vector<std::uint16_t> depth(64, 1000), out(64);
  int result = 0;
  const std::string err = qt::CaptureStderrOf(
      [&] { result = engine->QUILM(depth.data(), 8, 8, out.data(), 8, 8); });
  EXPECT_EQ(result, c.loaded ? 0 : -1);
  const std::string expected_message =
      c.loaded ? "" : "Make sure LoadParameters() success before QUILM!";
#if QUILM_FRAME_CLOCK == QUILM_CLOCK_NONE
  // This flavour measures nothing: the message alone.
  EXPECT_EQ(err, expected_message);
#else
  EXPECT_EQ(qt::WithoutTiming(err), expected_message);
  // Exactly one timing line, and it ends the output.
  const std::size_t message = expected_message.size();
  EXPECT_EQ(qt::TimingLineAt(err, message, c.line), err.size() - message) << err;
#endif
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameTiming,
                         testing::Values(TimingCase{false, true, "QUILM_DIST_OFF"},
                                         TimingCase{true, true, "QUILM_DIST_ON"},
                                         TimingCase{false, false, "QUILM_DIST_OFF"},
                                         TimingCase{true, false, "QUILM_DIST_ON"}));

}  // namespace
