// Parameter text file: format, messages, and that a refused file changes
// nothing.
#include <sstream>

#include "test_support.h"

namespace {

// The longest line the build's line buffer takes (8191 characters on Linux,
// 1023 on Android, 511 on Windows), and the message for a longer one.
constexpr std::size_t kLongestLine = QUILM_PARAM_LINE_BUFFER - 1;
const std::string kTooLongBeforeTranslation =
    "Read file \"{}\" failed: a line before the translation is longer than " +
    std::to_string(kLongestLine) + " characters";

// The sample file, one block per line after its label.
const char* const kLabels[6] = {"depth intrinsic", "color intrinsic", "rotation",
                                "translation",     "depth distortion", "color distortion"};
const std::vector<std::vector<std::string>> kBlocks = {
    {"500", "0", "320", "0", "501", "240", "0", "0", "1"},
    {"600", "0", "330", "0", "602", "250", "0", "0", "1"},
    {"0.9998", "-0.01", "0.015", "0.01", "0.9999", "0.002", "-0.015", "-0.002", "0.9998"},
    {"-25.5", "0.3", "-1.25"},
    {"0.05", "-0.01", "0.001", "0.0005", "-0.0003"},
    {"0.08", "-0.02", "0.002", "-0.0004", "0.0002"}};

// Writes the blocks with `per_line` numbers on a line and `eol` line ends.
std::string FileText(std::size_t per_line = 9, const std::string& eol = "\n") {
  std::string text;
  for (std::size_t b = 0; b < kBlocks.size(); ++b) {
    text += kLabels[b] + eol;
    for (std::size_t i = 0; i < kBlocks[b].size(); ++i) {
      text += kBlocks[b][i];
      text += (i + 1) % per_line == 0 || i + 1 == kBlocks[b].size() ? eol : " ";
    }
  }
  return text;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(ParameterStream, ReadsEveryBlockInOrder) {
  std::istringstream in(FileText());
  DepthToColorImpl::Calibration c;
  std::string reason;
  ASSERT_TRUE(DepthToColorImpl::ReadParameterStream(in, c, reason)) << reason;
  const float* blocks[6] = {c.depth_K.data(), c.color_K.data(), c.rot.data(),
                            c.trans.data(),   c.depth_distort.data(), c.color_distort.data()};
  for (std::size_t b = 0; b < 6; ++b)
    for (std::size_t i = 0; i < kBlocks[b].size(); ++i)
      EXPECT_EQ(blocks[b][i], std::stof(kBlocks[b][i])) << kLabels[b] << " " << i;
}

// Layouts that must read exactly like the sample file.
struct LayoutCase {
  const char* name;
  std::string text;
};
void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class EquivalentLayouts : public testing::TestWithParam<LayoutCase> {};

TEST_P(EquivalentLayouts, ReadTheSameValues) {
  DepthToColorImpl::Calibration expected, got;
  std::string reason;
  std::istringstream sample(FileText()), in(GetParam().text);
  ASSERT_TRUE(DepthToColorImpl::ReadParameterStream(sample, expected, reason));
  ASSERT_TRUE(DepthToColorImpl::ReadParameterStream(in, got, reason)) << reason;
  EXPECT_EQ(got.depth_K, expected.depth_K);
  EXPECT_EQ(got.color_K, expected.color_K);
  EXPECT_EQ(got.rot, expected.rot);
  EXPECT_EQ(got.trans, expected.trans);
  EXPECT_EQ(got.depth_distort, expected.depth_distort);
  EXPECT_EQ(got.color_distort, expected.color_distort);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EquivalentLayouts,
    testing::Values(LayoutCase{"three_per_line", FileText(3)},
                    LayoutCase{"one_per_line", FileText(1)},
                    LayoutCase{"crlf", FileText(9, "\r\n")},
                    LayoutCase{"blank_after_label", Replace(FileText(), "rotation\n", "rotation\n\n")},
                    LayoutCase{"trailing_text", FileText() + "anything after the last number\n"},
                    LayoutCase{"longest_label", Replace(FileText(), "translation",
                                                        std::string(kLongestLine, 'x'))}),
    [](const testing::TestParamInfo<LayoutCase>& p) { return std::string(p.param.name); });

// Files the load refuses, and the message it prints ("{}" is the path).
struct RefusalCase {
  const char* name;
  std::string text;
  std::string message;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class RefusedFiles : public testing::TestWithParam<RefusalCase> {};

// A loaded, prepared engine; the refused file must leave its calibration
// and tables in force, so the frames of both paths stay the same.
TEST_P(RefusedFiles, ChangeNothing) {
  const RefusalCase c = GetParam();
  std::mt19937 rng(9);
  const SW_QUILM calib = qt::RandomCalibration(rng, 48, 32, 48, 32);
  const auto depth = qt::RandomScene(rng, 48, 32);
  auto engine = qt::LoadedEngine(calib, 48, 32);
  std::vector<std::uint16_t> before[2];
  for (int dist = 0; dist < 2; ++dist) {
    engine->EnableDistortion(dist == 1);
    before[dist] = qt::RunFrame(*engine, depth, 48, 32, 48, 32);
  }

  qt::TempFile file(c.name);
  file.Write(c.text);
  bool loaded = true;
  std::string out;
  const std::string err = qt::CaptureStderrOf(
      [&] { out = qt::CaptureStdoutOf([&] { loaded = engine->LoadParameters(file.c_str()); }); });
  EXPECT_FALSE(loaded);
  EXPECT_EQ(err, Replace(c.message, "{}", file.path()));
  EXPECT_EQ(out, "");
  EXPECT_EQ(engine->PreparedCount(), 1u);
  for (int dist = 0; dist < 2; ++dist) {
    engine->EnableDistortion(dist == 1);
    EXPECT_EQ(qt::RunFrame(*engine, depth, 48, 32, 48, 32), before[dist]);
  }
}

std::string WithDepthFx(const std::string& fx) { return Replace(FileText(), "500 0 320", fx + " 0 320"); }

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedFiles,
    testing::Values(
        RefusalCase{"depth_fx_zero", WithDepthFx("0"),
                    "Invalid Parameters: Too small depth focal length"},
        RefusalCase{"depth_fx_tiny", WithDepthFx("-9e-7"),
                    "Invalid Parameters: Too small depth focal length"},
        RefusalCase{"both_fx_zero", Replace(WithDepthFx("0"), "600 0 330", "0 0 330"),
                    "Invalid Parameters: Too small depth focal length"},
        RefusalCase{"color_fy_zero", Replace(FileText(), "602", "0"),
                    "Invalid Parameters: Too small color focal length"},
        RefusalCase{"blank_before_label", Replace(FileText(), "color intrinsic", "\ncolor intrinsic"),
                    "Read file \"{}\" failed: number 1 of the color intrinsic matrix is not a "
                    "valid number"},
        RefusalCase{"short", FileText().substr(0, FileText().find("0.9999")),
                    "Read file \"{}\" failed: the file ends after 4 of 9 numbers of the rotation"},
        RefusalCase{"empty", "", "Read file \"{}\" failed: the file ends before the depth intrinsic matrix"},
        RefusalCase{"no_last_block", FileText().substr(0, FileText().find("color distortion")),
                    "Read file \"{}\" failed: the file ends before the color distortion coefficients"},
        RefusalCase{"not_a_number", Replace(FileText(), "0.3", "x0.3"),
                    "Read file \"{}\" failed: number 2 of the translation is not a valid number"},
        RefusalCase{"nan", Replace(FileText(), "0.3", "nan"),
                    "Read file \"{}\" failed: number 2 of the translation is not a valid number"},
        RefusalCase{"out_of_range", Replace(FileText(), "0.3", "1e60"),
                    "Read file \"{}\" failed: number 2 of the translation is not a valid number"},
        RefusalCase{"long_label",
                    Replace(FileText(), "translation", std::string(kLongestLine + 1, 'x')),
                    kTooLongBeforeTranslation},
        RefusalCase{"long_rest_of_line",
                    Replace(FileText(), "-0.015 -0.002 0.9998",
                            "-0.015 -0.002 0.9998" + std::string(kLongestLine + 9, ' ')),
                    kTooLongBeforeTranslation}),
    [](const testing::TestParamInfo<RefusalCase>& p) { return std::string(p.param.name); });

TEST(ParameterFile, MissingFileNamesPathAndReason) {
  DepthToColorImpl engine;
  bool loaded = true;
  const std::string err =
      qt::CaptureStderrOf([&] { loaded = engine.LoadParameters("/nonexistent/params.txt"); });
  EXPECT_FALSE(loaded);
  EXPECT_EQ(err, "Open file \"/nonexistent/params.txt\" failed: No such file or directory");
  std::vector<std::uint16_t> depth(4, 1000), out(4);
  const std::string frame_err =
      qt::CaptureStderrOf([&] { engine.QUILM(depth.data(), 2, 2, out.data(), 2, 2); });
  EXPECT_EQ(qt::WithoutTiming(frame_err), "Make sure LoadParameters() success before QUILM!");
}

TEST(ParameterFile, SuccessfulLoadIsSilentAndEmptiesTheCache) {
  std::mt19937 rng(4);
  auto engine = qt::LoadedEngine(qt::RandomCalibration(rng, 16, 8, 16, 8), 16, 8);
  ASSERT_NE(engine->TransCoeff(), DepthToColorImpl::Vector3::Zero());
  qt::TempFile file("good");
  file.Write(FileText());
  bool loaded = false;
  std::string out;
  const std::string err = qt::CaptureStderrOf(
      [&] { out = qt::CaptureStdoutOf([&] { loaded = engine->LoadParameters(file.c_str()); }); });
  EXPECT_TRUE(loaded);
  EXPECT_EQ(err + out, "");
  EXPECT_EQ(engine->PreparedCount(), 0u);
  EXPECT_EQ(engine->TransCoeff(), DepthToColorImpl::Vector3::Zero());
  std::vector<std::uint16_t> depth(16 * 8, 1000), frame(16 * 8);
  int result = 0;
  const std::string frame_err = qt::CaptureStderrOf(
      [&] { result = engine->QUILM(depth.data(), 16, 8, frame.data(), 16, 8); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(qt::WithoutTiming(frame_err), "Found a new resolution, but initialize failed!");
  // Prepared again, the tables come from the file's calibration.
  engine->PrepareDepthResolution(16, 8);
  SW_QUILM expected{};
  const float d[4] = {500, 501, 320, 240}, c[4] = {600, 602, 330, 250};
  std::copy(d, d + 4, expected.d_intr_p);
  std::copy(c, c + 4, expected.c_intr_p);
  for (int i = 0; i < 9; ++i) expected.quilm_r[i] = std::stof(kBlocks[2][std::size_t(i)]);
  for (int i = 0; i < 3; ++i) expected.quilm_t[i] = std::stof(kBlocks[3][std::size_t(i)]);
  for (int i = 0; i < 5; ++i) expected.d_k[i] = std::stof(kBlocks[4][std::size_t(i)]);
  const auto table = ref::DistortedTable(expected, 16, 8);
  EXPECT_EQ(std::memcmp(engine->DistortedTable(16, 8), table.data(), table.size() * 4), 0);
}

}  // namespace
