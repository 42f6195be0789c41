// What the Android flavour (libquilm_v7a) does differently: every message is
// one Android log entry under the library's tag, frames are not timed, the
// parameter file's line buffer holds 1024 characters and the gap-fill key is
// formed in single precision.
#include <android/log_record.h>

#include <cmath>

#include "test_support.h"

namespace {

using android_log_record::Entry;

// What a call sent to the log, to standard output and to standard error.
struct Channels {
  std::vector<Entry> log;
  std::string out, err;
};

template <class F>
Channels Observe(F&& call) {
  android_log_record::Clear();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  call();
  Channels c;
  c.err = testing::internal::GetCapturedStderr();
  c.out = testing::internal::GetCapturedStdout();
  c.log = android_log_record::Entries();
  return c;
}

struct Expected {
  int priority;
  const char* text;
};

struct LogCase {
  const char* name;
  bool loaded;  // the engine is loaded and prepared for 8x8 before the call
  void (*call)(DepthToColorImpl&);
  std::vector<Expected> entries;
};

class AndroidLog : public testing::TestWithParam<LogCase> {};

// One entry per message, with the tag and the priority of its kind, and
// nothing on the standard streams; frames that succeed write nothing at all.
TEST_P(AndroidLog, OneTaggedEntryPerMessageAndNoTimingLine) {
  const LogCase c = GetParam();
  auto engine = c.loaded ? qt::LoadedEngine(qt::IdentityCalibration(10, 4, 4), 8, 8)
                         : std::make_unique<DepthToColorImpl>();
  const Channels seen = Observe([&] { c.call(*engine); });
  EXPECT_EQ(seen.out, "");
  EXPECT_EQ(seen.err, "");
  ASSERT_EQ(seen.log.size(), c.entries.size());
  for (std::size_t i = 0; i < c.entries.size(); ++i) {
    EXPECT_EQ(seen.log[i].tag, "DepthToColor");
    EXPECT_EQ(seen.log[i].priority, c.entries[i].priority);
    EXPECT_EQ(seen.log[i].text, c.entries[i].text);
  }
}

void Frame(DepthToColorImpl& engine, bool distortion) {
  engine.EnableDistortion(distortion);
  std::vector<std::uint16_t> depth(64, 1000), out(64);
  engine.QUILM(depth.data(), 8, 8, out.data(), 8, 8);
}

const Expected kNotLoaded{ANDROID_LOG_ERROR, "Make sure LoadParameters() success before QUILM!"};

INSTANTIATE_TEST_SUITE_P(
    Cases, AndroidLog,
    testing::Values(
        LogCase{"frame_linear", true, [](DepthToColorImpl& e) { Frame(e, false); }, {}},
        LogCase{"frame_distorted", true, [](DepthToColorImpl& e) { Frame(e, true); }, {}},
        LogCase{"frame_before_load", false, [](DepthToColorImpl& e) { Frame(e, false); },
                {kNotLoaded}},
        LogCase{"distorted_frame_before_load", false,
                [](DepthToColorImpl& e) { Frame(e, true); }, {kNotLoaded}},
        LogCase{"unprepared_frame", true,
                [](DepthToColorImpl& e) {
                  std::vector<std::uint16_t> depth(16, 1000), out(16);
                  e.QUILM(depth.data(), 4, 4, out.data(), 4, 4);
                },
                {{ANDROID_LOG_ERROR, "Found a new resolution, but initialize failed!"}}},
        LogCase{"missing_parameter_file", false,
                [](DepthToColorImpl& e) { e.LoadParameters("/nonexistent/params.txt"); },
                {{ANDROID_LOG_ERROR,
                  "Open file \"/nonexistent/params.txt\" failed: No such file or directory"}}},
        LogCase{"point_cloud_before_load", false,
                [](DepthToColorImpl& e) {
                  const std::uint16_t depth[4] = {1000, 1000, 1000, 1000};
                  const std::uint8_t color[12] = {};
                  e.DumpColoredPCL(depth, color, 2, 2, "/nonexistent/x.ply");
                },
                {{ANDROID_LOG_ERROR, "Make sure LoadParameters() success before DumpColoredPCL!"}}}),
    [](const testing::TestParamInfo<LogCase>& p) { return std::string(p.param.name); });

// The parameter dump of a record load: forty info entries of one line each.
TEST(AndroidLog, RecordDumpIsFortyInfoEntries) {
  const SW_QUILM c = qt::IdentityCalibration(500, 320, 240);
  const Channels seen = Observe([&] { DepthToColorImpl().LoadParameters(&c); });
  EXPECT_EQ(seen.out + seen.err, "");
  ASSERT_EQ(seen.log.size(), 40u);
  for (const Entry& e : seen.log) {
    EXPECT_EQ(e.tag, "DepthToColor");
    EXPECT_EQ(e.priority, ANDROID_LOG_INFO);
    ASSERT_FALSE(e.text.empty());
    EXPECT_EQ(e.text.find('\n'), e.text.size() - 1) << e.text;
  }
  EXPECT_EQ(seen.log.front().text, "depth K[0] = 500.000000 \n");
  EXPECT_EQ(seen.log.back().text, "color_distort_[4] = 0.000000\n");
}

// A parameter file whose first label line has `label_length` characters.
std::string ParameterFile(std::size_t label_length) {
  return std::string(label_length, 'x') +
         "\n500 0 320 0 501 240 0 0 1\ncolor intrinsic\n600 0 330 0 602 250 0 0 1\n"
         "rotation\n1 0 0 0 1 0 0 0 1\ntranslation\n-25 0 0\n"
         "depth distortion\n0 0 0 0 0\ncolor distortion\n0 0 0 0 0\n";
}

struct LineCase {
  std::size_t label_length;
  bool accepted;
};

class AndroidLineBuffer : public testing::TestWithParam<LineCase> {};

// 1024 characters including the terminating NUL: 1023 fit, 1024 do not,
// and what the Linux build takes (8191) is refused here.
TEST_P(AndroidLineBuffer, HoldsLinesOfUpTo1023Characters) {
  const LineCase c = GetParam();
  qt::TempFile file("android_line_" + std::to_string(c.label_length));
  file.Write(ParameterFile(c.label_length));
  DepthToColorImpl engine;
  bool loaded = !c.accepted;
  const Channels seen = Observe([&] { loaded = engine.LoadParameters(file.c_str()); });
  EXPECT_EQ(loaded, c.accepted);
  if (c.accepted) {
    EXPECT_TRUE(seen.log.empty());
  } else {
    ASSERT_EQ(seen.log.size(), 1u);
    EXPECT_EQ(seen.log[0].priority, ANDROID_LOG_ERROR);
    EXPECT_EQ(seen.log[0].text, "Read file \"" + file.path() +
                                    "\" failed: a line before the depth intrinsic matrix is "
                                    "longer than 1023 characters");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, AndroidLineBuffer,
                         testing::Values(LineCase{1023, true}, LineCase{1024, false},
                                         LineCase{8191, false}));

struct KeyCase {
  float dist;
  std::uint16_t depth;
  std::int32_t key;         // formed in float
  std::int32_t double_key;  // what the double-precision key would be
};

class AndroidKey : public testing::TestWithParam<KeyCase> {};

// Distances at which rounding in float moves the key across an integer.
TEST_P(AndroidKey, IsFormedInSinglePrecision) {
  const KeyCase c = GetParam();
  EXPECT_EQ(genKeyValue(c.dist, c.depth), c.key);
  EXPECT_EQ(ref::Key(c.dist, c.depth), c.key);
  ASSERT_NE(c.key, c.double_key);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AndroidKey,
    testing::Values(KeyCase{std::nextafter(1.0f, 2.0f), 1000, 2000, 1999},   // just past a neighbour
                    KeyCase{std::nextafter(0.25f, 1.0f), 1000, 2005, 2004},  // just past half a pixel
                    KeyCase{std::nextafter(4.0f, 5.0f), 1000, 1990, 1989},
                    KeyCase{0.64f, 5000, 1, 2}));  // float rounds down here

// The key decides a frame. Colour cx is 1e-7 below the depth camera's, so
// depth pixel 2 of row 0 lands a hair left of colour pixel 2 (2 - 2^-23)
// while pixel 3 lands exactly on colour pixel 3. Colour pixel 3 is reached
// first by the nearer point (1024) as right neighbour, at a squared distance
// just over 1, then by the farther point (1044) on the pixel itself. In float
// both keys are 1988 and the first point stays; a double-precision key would
// give the nearer point 1987 and let the farther one take the pixel.
TEST(AndroidKey, DecidesWhichPointKeepsAPixel) {
  SW_QUILM c = qt::IdentityCalibration(1, 0, 0);
  c.c_intr_p[2] = -1e-7f;
  std::vector<std::uint16_t> depth(8 * 2, 0);
  depth[2] = 1024;
  depth[3] = 1044;
  auto engine = qt::LoadedEngine(c, 8, 2);
  engine->EnableDepthGapFill(true);
  const auto out = qt::RunFrame(*engine, depth, 8, 2, 8, 2, 1);
  EXPECT_EQ(out[3], 1024);

  ref::Settings s;
  s.gap_fill = true;
  const ref::Frame frame{depth.data(), 8, 2, 8, 2};
  EXPECT_EQ(out, ref::Register(c, s, ref::LinearTable(c, 8, 2), frame));
}

}  // namespace
