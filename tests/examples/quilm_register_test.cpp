// quilm-register run as a user runs it: its outputs against the library's
// own results for the same frames, batches, and every refusal with its exit
// status and message.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "calibration_files.h"
#include "e2e_support.h"
#include "image_io.h"

namespace {

namespace fs = std::filesystem;
using e2e::RunResult;
using e2e::Settings;
using quilm_tools::ColorImage;
using quilm_tools::DepthImage;
using ::testing::HasSubstr;

class QuilmRegisterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    quilm_tools::WriteParameterText(calib_text_, calibration_);
    quilm_tools::WriteCalibrationImage(calib_image_, calibration_);
    quilm_tools::WriteDepthPng(depth_png_, depth_);
    quilm_tools::WriteColorPng(color_png_, color_);
  }

  static RunResult Register(const std::vector<std::string>& args) { return e2e::Run(QUILM_REGISTER_PATH, args); }

  // What the library gives for depth with the test calibration.
  DepthImage Expected(const Settings& s, const DepthImage& depth, int width = 80, int height = 60) const {
    return e2e::LibraryRegister(calibration_, s, depth, width, height);
  }

  // A depth frame that differs from the others of a batch.
  static DepthImage ShiftedDepth(int offset) {
    DepthImage d = e2e::TestDepth();
    for (auto& v : d.pixels) {
      if (v != 0) v = static_cast<std::uint16_t>(v + offset);
    }
    return d;
  }

  e2e::TempDir dir_;
  const SW_QUILM calibration_ = e2e::TestCalibration();
  const DepthImage depth_ = e2e::TestDepth();
  const ColorImage color_ = e2e::TestColor();
  const std::string calib_text_ = dir_ / "cal.txt";
  const std::string calib_image_ = dir_ / "cal.bin";
  const std::string depth_png_ = dir_ / "scan_depth.png";
  const std::string color_png_ = dir_ / "scan_color.png";
  const std::string out_ = dir_ / "out";
};

// ---- one frame: the tool's output is the library's, byte for byte -------

struct MatchCase {
  const char* name;
  std::vector<std::string> options;
  Settings settings;
  bool calib_image;  // load the calibration image instead of the text file
  bool raw_depth;    // give the depth as raw 16-bit values
};

const MatchCase kMatchCases[] = {
    {"Linear", {}, {}, false, false},
    {"GapFill", {"--gap-fill"}, {false, true}, false, false},
    {"Distortion", {"--distortion"}, {true, false}, true, false},
    {"DistortionGapFill", {"--distortion", "--gap-fill"}, {true, true}, true, false},
    // The unit scales the range and, on the distorted path, the translation.
    {"UnitAndRange",
     {"--distortion", "--depth-unit", "0.5", "--min-depth", "400", "--max-depth", "1050"},
     {true, false, 0.5f, 400.0f, 1050.0f},
     false,
     false},
    {"RawDepth", {"--raw-size", "64x48", "--gap-fill"}, {false, true}, true, true},
    {"FormatGivenAsText", {"--calib-format", "text", "--distortion"}, {true, false}, false, false},
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

class MatchesLibrary : public QuilmRegisterTest, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(MatchesLibrary, RegisteredDepthAndPointCloudAreTheLibrarys) {
  const MatchCase& c = GetParam();
  std::string depth_path = depth_png_;
  if (c.raw_depth) {
    depth_path = dir_ / "scan_depth.raw";
    std::string bytes;
    for (std::uint16_t v : depth_.pixels) {
      bytes += static_cast<char>(v & 0xFF);
      bytes += static_cast<char>(v >> 8);
    }
    e2e::WriteFile(depth_path, bytes);
  }
  std::vector<std::string> args{"-c", c.calib_image ? calib_image_ : calib_text_, "--depth", depth_path,
                                "--color", color_png_, "-o", out_, "--ply"};
  args.insert(args.end(), c.options.begin(), c.options.end());

  const RunResult run = Register(args);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "registered 1 of 1 frame into " + out_ + "\n");
  EXPECT_EQ(run.err, "");  // no bar when standard error is not a terminal

  const DepthImage expected = Expected(c.settings, depth_);
  ASSERT_GT(std::count(expected.pixels.begin(), expected.pixels.end(), 0), 0);
  ASSERT_LT(std::count(expected.pixels.begin(), expected.pixels.end(), 0),
            static_cast<long>(expected.pixels.size() / 2));
  const DepthImage written = e2e::ReadGray16Png(out_ + "/scan_registered.png");
  EXPECT_EQ(written.width, 80);
  EXPECT_EQ(written.height, 60);
  EXPECT_EQ(written.pixels, expected.pixels);

  EXPECT_EQ(e2e::ReadFile(out_ + "/scan.ply"),
            e2e::LibraryPly(calibration_, c.settings, expected, color_, dir_ / "expected.ply"));
}

INSTANTIATE_TEST_SUITE_P(Modes, MatchesLibrary, ::testing::ValuesIn(kMatchCases),
                         [](const auto& test_param) { return std::string(test_param.param.name); });

TEST_F(QuilmRegisterTest, WithoutColourTheOutputTakesTheDepthSizeOrTheGivenSize) {
  const struct {
    std::vector<std::string> size_option;
    int width, height;
  } cases[] = {{{}, 64, 48}, {{"--size", "100x70"}, 100, 70}};
  for (const auto& c : cases) {
    std::vector<std::string> args{"-c", calib_text_, "--depth", depth_png_, "-o", out_, "--picture"};
    args.insert(args.end(), c.size_option.begin(), c.size_option.end());
    const RunResult run = Register(args);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(e2e::ReadGray16Png(out_ + "/scan_registered.png").pixels,
              Expected({}, depth_, c.width, c.height).pixels);
    EXPECT_EQ(e2e::ReadRgbPng(out_ + "/scan_view.png").height > c.height, true);
  }
}

// ---- batches: one engine, many frames ------------------------------------

TEST_F(QuilmRegisterTest, DirectoryPairsEachDepthWithItsColourAndShowsProgress) {
  const std::string frames = dir_ / "frames";
  fs::create_directories(frames);
  const DepthImage depth_a = ShiftedDepth(0), depth_b = ShiftedDepth(70), depth_c = ShiftedDepth(-40);
  quilm_tools::WriteDepthPng(frames + "/a_depth.png", depth_a);
  quilm_tools::WriteColorPng(frames + "/a_color.png", color_);
  quilm_tools::WriteDepthPng(frames + "/b_depth.png", depth_b);
  e2e::WriteJpeg(frames + "/b_color.jpg", color_);
  quilm_tools::WriteDepthPng(frames + "/c_depth.png", depth_c);  // no colour image
  quilm_tools::WriteColorPng(frames + "/lonely_color.png", color_);
  e2e::WriteFile(frames + "/notes.txt", "not a frame\n");

  const RunResult run = Register({"-c", calib_image_, "--dir", frames, "-o", out_, "--gap-fill", "--picture",
                                  "--size", "80x60", "--progress"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "registered 3 of 3 frames into " + out_ + "\n");
  EXPECT_THAT(run.err, HasSubstr("] 3/3 done"));
  EXPECT_THAT(run.err, HasSubstr("] 1/3 b"));

  const Settings gap_fill{false, true};
  const std::map<std::string, const DepthImage*> inputs{{"a", &depth_a}, {"b", &depth_b}, {"c", &depth_c}};
  for (const auto& [stem, depth] : inputs) {
    SCOPED_TRACE(stem);
    EXPECT_EQ(e2e::ReadGray16Png(out_ + "/" + stem + "_registered.png").pixels,
              Expected(gap_fill, *depth).pixels);
    EXPECT_TRUE(fs::exists(out_ + "/" + stem + "_view.png"));
  }
  EXPECT_FALSE(fs::exists(out_ + "/lonely_registered.png"));
}

TEST_F(QuilmRegisterTest, ListTakesPathsFromItsOwnFolderAndSkipsComments) {
  fs::create_directories(dir_ / "lists");
  const DepthImage other = ShiftedDepth(120);
  quilm_tools::WriteDepthPng(dir_ / "other.png", other);
  e2e::WriteFile(dir_ / "lists/frames.txt",
                 "# recorded on the bench\n"
                 "\n"
                 "../scan_depth.png   ../scan_color.png\r\n" +
                     (dir_ / "other.png") + "\n");

  const RunResult run = Register({"-c", calib_text_, "--list", dir_ / "lists/frames.txt", "-o", out_});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(e2e::ReadGray16Png(out_ + "/scan_registered.png").pixels, Expected({}, depth_).pixels);
  EXPECT_EQ(e2e::ReadGray16Png(out_ + "/other_registered.png").pixels, Expected({}, other, 64, 48).pixels);
}

TEST_F(QuilmRegisterTest, BadFrameIsReportedAndTheOthersAreStillWritten) {
  const std::string frames = dir_ / "frames";
  fs::create_directories(frames);
  quilm_tools::WriteDepthPng(frames + "/a_depth.png", depth_);
  e2e::WriteFile(frames + "/b_depth.png", e2e::ReadFile(depth_png_).substr(0, 90));  // cut short
  quilm_tools::WriteDepthPng(frames + "/c_depth.png", depth_);

  const RunResult run = Register({"-c", calib_text_, "--dir", frames, "-o", out_});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "registered 2 of 3 frames into " + out_ + "\n");
  EXPECT_THAT(run.err, HasSubstr("quilm-register: frame '" + frames + "/b_depth.png': cannot read PNG"));
  EXPECT_TRUE(fs::exists(out_ + "/a_registered.png"));
  EXPECT_FALSE(fs::exists(out_ + "/b_registered.png"));
  EXPECT_TRUE(fs::exists(out_ + "/c_registered.png"));
}

TEST_F(QuilmRegisterTest, PointCloudThatCannotBeWrittenFailsTheFrameWithTheLibrarysReason) {
  fs::create_directories(out_ + "/scan.ply");  // a folder where the file should go
  const RunResult run = Register({"-c", calib_text_, "--depth", depth_png_, "--color", color_png_, "--ply", "-o", out_});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, HasSubstr("cannot write '" + out_ + "/scan.ply': Open file"));
  EXPECT_EQ(run.out, "registered 0 of 1 frame into " + out_ + "\n");
}

// ---- what a script sees -------------------------------------------------

TEST_F(QuilmRegisterTest, HelpGoesToStandardOutputWithExitZero) {
  const RunResult run = Register({"--help"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(run.out, HasSubstr("Usage: quilm-register [OPTIONS]"));
  EXPECT_THAT(run.out, HasSubstr("--calib FILE"));
  EXPECT_THAT(run.out, HasSubstr("Exit status: 0 all frames written"));
  EXPECT_EQ(run.err, "");
}

TEST_F(QuilmRegisterTest, QuietPrintsNothingAndVerboseShowsTheLibrarysMessages) {
  const RunResult quiet = Register({"-q", "-c", calib_image_, "--depth", depth_png_, "-o", out_});
  EXPECT_EQ(quiet.exit_code, 0);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");

  const RunResult verbose = Register({"-v", "-c", calib_image_, "--depth", depth_png_, "-o", out_});
  EXPECT_EQ(verbose.exit_code, 0);
  EXPECT_THAT(verbose.err, HasSubstr("depth K[0] = 60.000000 \n"));
  EXPECT_THAT(verbose.err, HasSubstr("QUILM_DIST_OFF time costs: "));
  EXPECT_THAT(verbose.err, HasSubstr("scan: 64x48 -> 64x48, "));
}

// ---- refusals -----------------------------------------------------------

struct ErrorCase {
  const char* name;
  std::vector<std::string> args;  // {NAME} stands for a file of the fixture
  int exit_code;
  const char* message;  // part of standard error
};

const ErrorCase kErrorCases[] = {
    // Wrong command lines: 2.
    {"NoCalibration", {"--depth", "{depth}"}, 2, "--calib is required"},
    {"NoFrames", {"-c", "{cal}"}, 2, "[--depth,--dir,--list] is required"},
    {"TwoFrameSources", {"-c", "{cal}", "--depth", "{depth}", "--dir", "{frames}"}, 2, "[--depth,--dir,--list]"},
    {"ColourWithoutDepth", {"-c", "{cal}", "--dir", "{frames}", "--color", "{color}"}, 2, "--color requires --depth"},
    {"EmptyRange", {"-c", "{cal}", "--depth", "{depth}", "--min-depth", "10", "--max-depth", "10"}, 2,
     "--min-depth must be below --max-depth"},
    {"ZeroUnit", {"-c", "{cal}", "--depth", "{depth}", "--depth-unit", "0"}, 2, "expected a number above 0"},
    {"NanLimit", {"-c", "{cal}", "--depth", "{depth}", "--max-depth", "nan"}, 2, "expected a finite number"},
    {"BadRawSize", {"-c", "{cal}", "--depth", "{depth}", "--raw-size", "64by48"}, 2, "expected WIDTHxHEIGHT"},
    {"UnknownFormat", {"-c", "{cal}", "--depth", "{depth}", "--calib-format", "yaml"}, 2, "yaml"},
    {"PointCloudWithoutColour", {"-c", "{cal}", "--depth", "{depth}", "--ply"}, 2,
     "--ply needs a colour image for every frame"},
    // Calibration refused: 3.
    {"MissingCalibration", {"-c", "{missing}", "--depth", "{depth}"}, 3, "cannot open"},
    {"ZeroFocalLength", {"-c", "{zero_focal}", "--depth", "{depth}"}, 3,
     "Invalid Parameters: Too small depth focal length"},
    {"ImageWithNan", {"-c", "{nan_image}", "--depth", "{depth}"}, 3, "is unusable"},
    {"ImageWithZeroFocalLength", {"-c", "{zero_image}", "--depth", "{depth}"}, 3, "Too small depth focal length"},
    {"NeitherTextNorImage", {"-c", "{color}", "--depth", "{depth}"}, 3,
     "is neither a parameter text file nor a 6188-byte calibration image"},
    {"ShortImageForced", {"-c", "{short_image}", "--calib-format", "image", "--depth", "{depth}"}, 3,
     "cannot read calibration image"},
    // The frame fails: 1.
    {"MissingDepth", {"-c", "{cal}", "--depth", "{missing}"}, 1, "cannot open"},
    {"ColourPngAsDepth", {"-c", "{cal}", "--depth", "{color}"}, 1, "a depth image must be 16-bit greyscale"},
    {"TruncatedDepth", {"-c", "{cal}", "--depth", "{truncated}"}, 1, "cannot read PNG"},
    {"RawOfWrongSize", {"-c", "{cal}", "--depth", "{raw_short}", "--raw-size", "64x48"}, 1,
     "holds 6000 bytes; a raw 64x48 depth image has 6144"},
    {"NotPngWithoutRawSize", {"-c", "{cal}", "--depth", "{cal}"}, 1, "is not a PNG file"},
    {"ColourOfOtherSize", {"-c", "{cal}", "--depth", "{depth}", "--color", "{color}", "--size", "64x48"}, 1,
     "not the --size 64x48"},
    {"ColourNotAnImage", {"-c", "{cal}", "--depth", "{depth}", "--color", "{cal}"}, 1,
     "is neither a PNG nor a JPEG file"},
    // No frames to work on, or nowhere to write: 4.
    {"EmptyDirectory", {"-c", "{cal}", "--dir", "{empty}"}, 4, "no frames (NAME_depth.png) in"},
    {"MissingDirectory", {"-c", "{cal}", "--dir", "{missing}"}, 4, "is not a directory"},
    {"MissingList", {"-c", "{cal}", "--list", "{missing}"}, 4, "cannot open frame list"},
    {"ListWithSameNameTwice", {"-c", "{cal}", "--list", "{list_twice}"}, 4, "would both write the outputs named"},
    {"ListWithThreeFields", {"-c", "{cal}", "--list", "{list_wide}"}, 4, ":2: expected 'DEPTH [COLOR]'"},
    {"OutputFolderIsAFile", {"-c", "{cal}", "--depth", "{depth}", "-o", "{cal}"}, 4, "cannot create output folder"},
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class Refusal : public QuilmRegisterTest, public ::testing::WithParamInterface<ErrorCase> {
 protected:
  void SetUp() override {
    QuilmRegisterTest::SetUp();
    SW_QUILM zero = calibration_;
    zero.d_intr_p[0] = 0;
    quilm_tools::WriteParameterText(Path("zero_focal"), zero);
    quilm_tools::WriteCalibrationImage(Path("zero_image"), zero);
    SW_QUILM nan = calibration_;
    nan.quilm_t[1] = std::numeric_limits<float>::quiet_NaN();
    quilm_tools::WriteCalibrationImage(Path("nan_image"), nan);
    e2e::WriteFile(Path("short_image"), e2e::ReadFile(calib_image_).substr(0, 6000));
    e2e::WriteFile(Path("truncated"), e2e::ReadFile(depth_png_).substr(0, 120));
    e2e::WriteFile(Path("raw_short"), std::string(6000, '\x01'));
    e2e::WriteFile(Path("list_twice"), depth_png_ + "\n" + dir_ / "x/scan_depth.png\n");
    e2e::WriteFile(Path("list_wide"), "# one frame per line\na.png b.png c.png\n");
    fs::create_directories(Path("empty"));
    fs::create_directories(Path("frames"));
  }

  std::string Path(const std::string& name) { return dir_ / name; }

  std::string Substitute(const std::string& arg) {
    const std::map<std::string, std::string> fixed{{"{cal}", calib_text_},   {"{depth}", depth_png_},
                                                   {"{color}", color_png_},  {"{missing}", Path("missing")}};
    if (auto it = fixed.find(arg); it != fixed.end()) return it->second;
    if (arg.size() > 2 && arg.front() == '{' && arg.back() == '}') return Path(arg.substr(1, arg.size() - 2));
    return arg;
  }
};

TEST_P(Refusal, ExitsWithItsStatusAndSaysWhy) {
  const ErrorCase& c = GetParam();
  std::vector<std::string> args;
  for (const std::string& a : c.args) args.push_back(Substitute(a));
  const bool names_output = std::find(args.begin(), args.end(), "-o") != args.end();
  if (!names_output) args.insert(args.end(), {"-o", out_});

  const RunResult run = Register(args);
  EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
  EXPECT_THAT(run.err, HasSubstr(c.message));
  EXPECT_THAT(run.err, HasSubstr("quilm-register: "));
  // A refused run writes nothing; a failed frame leaves no output of its own.
  if (c.exit_code != 1) {
    EXPECT_FALSE(fs::exists(out_)) << "a refused run created the output folder";
  } else {
    EXPECT_TRUE(fs::is_empty(out_)) << "a failed frame left an output";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Refusal, ::testing::ValuesIn(kErrorCases),
                         [](const auto& test_param) { return std::string(test_param.param.name); });

}  // namespace
