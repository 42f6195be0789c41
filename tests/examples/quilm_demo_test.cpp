// quilm_demo run as the main command runs it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "calibration_files.h"
#include "e2e_support.h"
#include "image_io.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

class QuilmDemoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new e2e::TempDir();
    run_ = new e2e::RunResult(e2e::Run(QUILM_DEMO_PATH, {*dir_ / "out"}));
  }
  static void TearDownTestSuite() {
    delete run_;
    delete dir_;
  }
  static std::string Out(const std::string& name) { return *dir_ / ("out/" + name); }

  static e2e::TempDir* dir_;
  static e2e::RunResult* run_;
};
e2e::TempDir* QuilmDemoTest::dir_ = nullptr;
e2e::RunResult* QuilmDemoTest::run_ = nullptr;

TEST_F(QuilmDemoTest, PrintsTheTimeOfEveryModeAndAgreesAcrossCalibrationFormats) {
  ASSERT_EQ(run_->exit_code, 0) << run_->err;
  for (const char* mode : {"distortion off, gap fill off", "distortion off, gap fill on ",
                           "distortion on,  gap fill off", "distortion on,  gap fill on "}) {
    EXPECT_THAT(run_->out, MatchesRegex("(.|\n)*" + std::string(mode) + " +[0-9]+\\.[0-9]+ +[0-9]+\\.[0-9]%(.|\n)*"))
        << mode;
  }
  EXPECT_THAT(run_->out, HasSubstr("Text file and calibration image give identical output: yes"));
  EXPECT_EQ(run_->err, "");  // the library's own lines are kept out of the table
}

TEST_F(QuilmDemoTest, WritesTheCalibrationInBothFormats) {
  ASSERT_EQ(run_->exit_code, 0);
  EXPECT_EQ(fs::file_size(Out("sample_calibration.bin")), 6188u);
  EXPECT_EQ(quilm_tools::DetectCalibrationFormat(Out("sample_calibration.bin")), quilm_tools::CalibrationFormat::kImage);
  EXPECT_EQ(quilm_tools::DetectCalibrationFormat(Out("sample_calibration.txt")), quilm_tools::CalibrationFormat::kText);
  const SW_QUILM read_back = quilm_tools::ReadCalibrationImage(Out("sample_calibration.bin"));
  EXPECT_EQ(read_back.d_intr_p[0], 577.3f);
  EXPECT_EQ(read_back.quilm_t[0], -25.08f);
}

TEST_F(QuilmDemoTest, RegisteredImagesAreTheLibrarysForTheWrittenFrame) {
  ASSERT_EQ(run_->exit_code, 0);
  const SW_QUILM cal = quilm_tools::ReadCalibrationImage(Out("sample_calibration.bin"));
  const quilm_tools::DepthImage depth = e2e::ReadGray16Png(Out("input_depth.png"));
  const quilm_tools::ColorImage color = e2e::ReadRgbPng(Out("input_color.png"));
  ASSERT_EQ(depth.width, 640);
  ASSERT_EQ(color.width, 640);

  const struct {
    const char* file;
    e2e::Settings settings;
  } modes[] = {{"registered_linear.png", {false, false}},
               {"registered_linear_gapfill.png", {false, true}},
               {"registered_distorted.png", {true, false}},
               {"registered_distorted_gapfill.png", {true, true}}};
  // The demo ran with one OpenMP thread (as every program these tests
  // start), so even where points collide the result is fixed.
  for (const auto& m : modes) {
    SCOPED_TRACE(m.file);
    EXPECT_EQ(e2e::ReadGray16Png(Out(m.file)).pixels, e2e::LibraryRegister(cal, m.settings, depth, 640, 480).pixels);
  }
}

TEST_F(QuilmDemoTest, PointCloudHasOneVertexPerRegisteredPixel) {
  ASSERT_EQ(run_->exit_code, 0);
  const auto registered = e2e::ReadGray16Png(Out("registered_distorted_gapfill.png"));
  const auto valid = std::count_if(registered.pixels.begin(), registered.pixels.end(),
                                   [](std::uint16_t d) { return d != 0; });
  const std::string ply = e2e::ReadFile(Out("cloud.ply"));
  EXPECT_THAT(ply, HasSubstr("element vertex " + std::to_string(valid) + "\n"));
  EXPECT_EQ(std::count(ply.begin(), ply.end(), '\n'), valid + 10);
  EXPECT_FALSE(fs::exists(Out("cloud_from_text.ply")));
}

TEST_F(QuilmDemoTest, PicturesShowBothPanelsAndTheScale) {
  ASSERT_EQ(run_->exit_code, 0);
  for (const char* name : {"view_linear.png", "view_distorted_gapfill.png"}) {
    const quilm_tools::ColorImage view = e2e::ReadRgbPng(Out(name));
    EXPECT_EQ(view.width, 640 + 8 + 640) << name;
    EXPECT_GT(view.height, 480) << name;
  }
}

TEST(QuilmDemoUsage, WrongArgumentsAndAnUnusableFolderFailClearly) {
  e2e::TempDir dir;
  e2e::WriteFile(dir / "file", "x");
  const struct {
    std::vector<std::string> args;
    int exit_code;
    const char* message;
  } cases[] = {
      {{}, 2, "usage: "},
      {{"a", "b"}, 2, "usage: "},
      {{dir / "file"}, 1, "quilm_demo: cannot create"},
      {{dir / "file/out"}, 1, "quilm_demo: cannot create"},
  };
  for (const auto& c : cases) {
    const e2e::RunResult run = e2e::Run(QUILM_DEMO_PATH, c.args);
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_THAT(run.err, HasSubstr(c.message));
  }
}

}  // namespace
