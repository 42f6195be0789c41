// The helpers shared by quilm_demo and quilm-register: image files checked
// against libpng's and libjpeg's other code paths, refusal of damaged files,
// calibration files that load exactly as the record they came from, and the
// capture of the library's console output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "calibration_files.h"
#include "depth_to_color_impl.h"
#include "e2e_support.h"
#include "false_color.h"
#include "image_io.h"
#include "library_output.h"

namespace {

using quilm_tools::ColorImage;
using quilm_tools::DepthImage;
using quilm_tools::ImageError;
using ::testing::HasSubstr;

// ---- PNG and JPEG ---------------------------------------------------------

TEST(DepthPng, ValuesSurviveInBothByteOrdersAndReadBackThroughLibpng) {
  e2e::TempDir dir;
  DepthImage depth(5, 3);
  const std::uint16_t values[] = {0, 1, 255, 256, 0x1234, 0xFF00, 65535, 1000};
  for (std::size_t i = 0; i < depth.pixels.size(); ++i) depth.pixels[i] = values[i % std::size(values)];
  quilm_tools::WriteDepthPng(dir / "d.png", depth);

  const DepthImage by_libpng = e2e::ReadGray16Png(dir / "d.png");
  EXPECT_EQ(by_libpng.width, 5);
  EXPECT_EQ(by_libpng.height, 3);
  EXPECT_EQ(by_libpng.pixels, depth.pixels);
  EXPECT_EQ(quilm_tools::ReadDepthImage(dir / "d.png", std::nullopt).pixels, depth.pixels);
}

TEST(DepthRaw, IsLittleEndianAndTakesTheGivenSize) {
  e2e::TempDir dir;
  e2e::WriteFile(dir / "d.raw", std::string("\x34\x12\x01\x00\xff\xff\x00\x01\x00\x00\x10\x27", 12));
  const DepthImage raw = quilm_tools::ReadDepthImage(dir / "d.raw", quilm_tools::ImageSize{3, 2});
  EXPECT_EQ(raw.pixels, (std::vector<std::uint16_t>{0x1234, 1, 65535, 256, 0, 10000}));
  // A file one byte too long is not taken for a frame of that size either.
  e2e::WriteFile(dir / "long.raw", std::string(13, '\0'));
  EXPECT_THROW(quilm_tools::ReadDepthImage(dir / "long.raw", quilm_tools::ImageSize{3, 2}), ImageError);
}

// PNG layouts a colour image may come in, written by libpng's simplified
// writer; every one must arrive as the same RGB values.
struct PngLayout {
  const char* name;
  png_uint_32 format;
  int channels;
};

void PrintTo(const PngLayout& c, std::ostream* os) { *os << c.name; }

class ColorPngLayouts : public ::testing::TestWithParam<PngLayout> {};

TEST_P(ColorPngLayouts, ArriveAsRgb) {
  const PngLayout& layout = GetParam();
  e2e::TempDir dir;
  constexpr int kW = 7, kH = 4;
  const bool grey = (layout.format & PNG_FORMAT_FLAG_COLOR) == 0;
  std::vector<png_byte> pixels;
  ColorImage expected(kW, kH);
  for (int v = 0; v < kH; ++v) {
    for (int u = 0; u < kW; ++u) {
      const png_byte rgb[3] = {static_cast<png_byte>(u * 30), static_cast<png_byte>(v * 60),
                               static_cast<png_byte>(200 - u * 10)};
      for (int c = 0; c < (grey ? 1 : 3); ++c) pixels.push_back(rgb[c]);
      if (layout.channels == 4 || layout.channels == 2) pixels.push_back(255);  // opaque alpha
      for (int c = 0; c < 3; ++c) expected.at(u, v)[c] = grey ? rgb[0] : rgb[c];
    }
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = kW;
  image.height = kH;
  image.format = layout.format;
  ASSERT_TRUE(png_image_write_to_file(&image, (dir / "c.png").c_str(), 0, pixels.data(), 0, nullptr))
      << image.message;

  const ColorImage read = quilm_tools::ReadColorImage(dir / "c.png");
  EXPECT_EQ(read.width, kW);
  EXPECT_EQ(read.height, kH);
  EXPECT_EQ(read.rgb, expected.rgb);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ColorPngLayouts,
                         ::testing::Values(PngLayout{"Rgb", PNG_FORMAT_RGB, 3},
                                           PngLayout{"Rgba", PNG_FORMAT_RGBA, 4},
                                           PngLayout{"Grey", PNG_FORMAT_GRAY, 1},
                                           PngLayout{"GreyAlpha", PNG_FORMAT_GA, 2}),
                         [](const auto& test_param) { return std::string(test_param.param.name); });

TEST(ColorPng, WrittenImageReadsBackThroughLibpng) {
  e2e::TempDir dir;
  const ColorImage color = e2e::TestColor(9, 5);
  quilm_tools::WriteColorPng(dir / "c.png", color);
  EXPECT_EQ(e2e::ReadRgbPng(dir / "c.png").rgb, color.rgb);
}

TEST(ColorJpeg, DecodesInRedGreenBlueOrder) {
  e2e::TempDir dir;
  ColorImage color(16, 16);
  for (std::size_t i = 0; i < color.rgb.size(); i += 3) {
    color.rgb[i] = 200;
    color.rgb[i + 1] = 40;
    color.rgb[i + 2] = 90;
  }
  e2e::WriteJpeg(dir / "c.jpg", color, 100);
  const ColorImage read = quilm_tools::ReadColorImage(dir / "c.jpg");
  ASSERT_EQ(read.width, 16);
  ASSERT_EQ(read.height, 16);
  for (std::size_t i = 0; i < read.rgb.size(); ++i) EXPECT_NEAR(read.rgb[i], color.rgb[i], 3) << i;
}

// A valid PNG whose header claims another size (with a correct checksum, so
// that only the size can be refused).
std::string PngClaimingSize(const std::string& png, std::uint32_t width, std::uint32_t height) {
  std::string bytes = png;
  const unsigned char fields[8] = {
      static_cast<unsigned char>(width >> 24), static_cast<unsigned char>(width >> 16),
      static_cast<unsigned char>(width >> 8),  static_cast<unsigned char>(width),
      static_cast<unsigned char>(height >> 24), static_cast<unsigned char>(height >> 16),
      static_cast<unsigned char>(height >> 8), static_cast<unsigned char>(height)};
  std::memcpy(&bytes[16], fields, 8);
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(&bytes[12]), 17);  // "IHDR" + 13 bytes
  for (int i = 0; i < 4; ++i) bytes[29 + i] = static_cast<char>((crc >> (24 - 8 * i)) & 0xFF);
  return bytes;
}

TEST(DamagedImages, AreRefusedWithTheirNameAndReason) {
  e2e::TempDir dir;
  DepthImage depth(20, 10);
  quilm_tools::WriteDepthPng(dir / "good.png", depth);
  const std::string good = e2e::ReadFile(dir / "good.png");
  e2e::WriteJpeg(dir / "good.jpg", e2e::TestColor(16, 16));
  const std::string jpeg = e2e::ReadFile(dir / "good.jpg");

  const struct {
    const char* name;
    std::string bytes;
    bool as_depth;
    const char* reason;
  } cases[] = {
      {"empty", "", true, "is not a PNG file"},
      {"cut_short", good.substr(0, 60), true, "cannot read PNG"},
      {"bad_checksum", good.substr(0, 30) + "\x7f" + good.substr(31), true, "cannot read PNG"},
      {"huge", PngClaimingSize(good, 100000, 100000), true, "cannot read PNG"},
      {"too_many_pixels", PngClaimingSize(good, 16000, 16000), true, "unsupported size 16000x16000"},
      {"jpeg_as_depth", jpeg, true, "is a JPEG"},
      {"jpeg_cut_short", jpeg.substr(0, 200), false, "cannot read JPEG"},
      {"neither", "GIF89a......", false, "is neither a PNG nor a JPEG file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / c.name;
    e2e::WriteFile(path, c.bytes);
    try {
      if (c.as_depth) {
        quilm_tools::ReadDepthImage(path, std::nullopt);
      } else {
        quilm_tools::ReadColorImage(path);
      }
      ADD_FAILURE() << "accepted";
    } catch (const ImageError& e) {
      EXPECT_THAT(e.what(), HasSubstr(path));
      EXPECT_THAT(e.what(), HasSubstr(c.reason));
    }
  }
}

TEST(WritingImages, FailsClearlyAndLeavesNoFile) {
  e2e::TempDir dir;
  try {
    quilm_tools::WriteDepthPng(dir / "missing/d.png", DepthImage(2, 2));
    ADD_FAILURE() << "accepted";
  } catch (const ImageError& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot create '" + (dir / "missing/d.png") + "': No such file"));
  }
  // A disk that fills up while writing: the device that is always full.
  std::error_code ec;
  if (std::filesystem::is_character_file("/dev/full", ec)) {
    EXPECT_THROW(quilm_tools::WriteColorPng("/dev/full", ColorImage(64, 64)), ImageError);
  }
}

TEST(ImageSizeText, AcceptsWidthByHeightOnly) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {{"640x480", true}, {"1x1", true},     {"16384x2", true},  {"0x480", false},
               {"640x", false},   {"x480", false},   {"640x480x", false}, {"-1x5", false},
               {"16385x2", false}, {"640 x 480", false}, {"", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(quilm_tools::ParseImageSize(c.text).has_value(), c.ok) << c.text;
  }
  EXPECT_EQ(quilm_tools::ParseImageSize("640x480")->height, 480);
}

// ---- pictures ---------------------------------------------------------------

TEST(FalseColour, NearIsWarmFarIsCoolAndStrayValuesDoNotSetTheScale) {
  DepthImage depth(100, 10);
  for (std::size_t i = 0; i < depth.pixels.size(); ++i) depth.pixels[i] = static_cast<std::uint16_t>(1000 + i);
  depth.pixels[0] = 0;
  depth.pixels[1] = 60000;  // one stray value
  const quilm_tools::DepthScale scale = quilm_tools::ChooseDepthScale(depth);
  EXPECT_GE(scale.nearest, 1000);
  EXPECT_LT(scale.nearest, 1020);
  EXPECT_GT(scale.farthest, 1980);
  EXPECT_LE(scale.farthest, 2000);

  const auto near = quilm_tools::FalseColor(scale.nearest, scale);
  const auto far = quilm_tools::FalseColor(scale.farthest, scale);
  EXPECT_GT(near[0], near[2]);
  EXPECT_GT(far[2], far[0]);
  EXPECT_EQ(quilm_tools::FalseColor(65535, scale), far);
}

TEST(Picture, RefusesAColourImageOfAnotherSize) {
  const DepthImage depth(8, 6), registered(10, 8);
  const ColorImage color(8, 6);
  EXPECT_THROW(quilm_tools::ComposeView(depth, registered, &color, {}, 1.0f), ImageError);
  EXPECT_EQ(quilm_tools::ComposeView(depth, registered, nullptr, {}, 1.0f).width, 10 + 8 + 8 * 8 / 6);
}

// ---- calibration files ------------------------------------------------------

SW_QUILM AwkwardRecord() {
  // Values whose shortest decimal forms are long: a file written with too
  // few digits would not read back as the same floats.
  SW_QUILM r = e2e::TestCalibration();
  r.d_intr_p[0] = 577.123474f;
  r.d_intr_p[2] = 0.1f;
  r.c_intr_p[1] = 1.0f / 3.0f * 1800.0f;
  r.quilm_t[2] = -1.17549435e-38f;
  r.d_k[4] = 1e-7f;
  r.c_k[0] = 123456.789f;
  return r;
}

TEST(CalibrationFiles, TextFileAndImageLoadAsTheRecordTheyCameFrom) {
  e2e::TempDir dir;
  const SW_QUILM record = AwkwardRecord();
  quilm_tools::WriteParameterText(dir / "c.txt", record);
  quilm_tools::WriteCalibrationImage(dir / "c.bin", record);

  const SW_QUILM from_image = quilm_tools::ReadCalibrationImage(dir / "c.bin");
  EXPECT_EQ(std::memcmp(&from_image, &record, sizeof record), 0);

  // The text load keeps no record to compare; the tables it computes must
  // be bit for bit those of the record load.
  DepthToColorImpl by_text, by_record;
  quilm_tools::LoadCalibration(by_text, dir / "c.txt", quilm_tools::CalibrationFormat::kAuto, nullptr);
  quilm_tools::CaptureLibraryOutput([&] { by_record.LoadParameters(&record); });
  for (DepthToColorImpl* e : {&by_text, &by_record}) e->PrepareDepthResolution(16, 12);
  for (auto table : {&DepthToColorImpl::LinearTable, &DepthToColorImpl::DistortedTable}) {
    EXPECT_EQ(std::memcmp((by_text.*table)(16, 12), (by_record.*table)(16, 12), 16 * 12 * 3 * sizeof(float)), 0);
  }
  EXPECT_EQ(by_text.TransCoeff(), by_record.TransCoeff());
}

TEST(CalibrationFiles, FormatIsRecognisedByContent) {
  e2e::TempDir dir;
  quilm_tools::WriteParameterText(dir / "c.txt", e2e::TestCalibration());
  quilm_tools::WriteCalibrationImage(dir / "c.bin", e2e::TestCalibration());
  const std::string text = e2e::ReadFile(dir / "c.txt");
  const struct {
    const char* name;
    std::string bytes;
    bool text, image;  // neither: refused
  } cases[] = {
      {"text", text, true, false},
      {"text_crlf", "label\r\n1 0 0\r\n", true, false},
      {"image", e2e::ReadFile(dir / "c.bin"), false, true},
      {"text_padded_to_image_size", text + std::string(6188 - text.size(), ' '), true, false},
      {"binary_short", e2e::ReadFile(dir / "c.bin").substr(0, 6187), false, false},
      {"binary_long", e2e::ReadFile(dir / "c.bin") + '\0', false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::WriteFile(dir / c.name, c.bytes);
    if (!c.text && !c.image) {
      EXPECT_THROW(quilm_tools::DetectCalibrationFormat(dir / c.name), quilm_tools::CalibrationError);
      continue;
    }
    EXPECT_EQ(quilm_tools::DetectCalibrationFormat(dir / c.name),
              c.text ? quilm_tools::CalibrationFormat::kText : quilm_tools::CalibrationFormat::kImage);
  }
}

TEST(CalibrationFiles, UnusableRecordsAreNamed) {
  const struct {
    const char* name;
    void (*spoil)(SW_QUILM&);
    const char* reason;
  } cases[] = {
      {"nan", [](SW_QUILM& r) { r.quilm_r[4] = std::numeric_limits<float>::quiet_NaN(); },
       "not a finite number"},
      {"infinite", [](SW_QUILM& r) { r.c_k[2] = std::numeric_limits<float>::infinity(); }, "not a finite number"},
      {"depth_fy", [](SW_QUILM& r) { r.d_intr_p[1] = 1e-7f; }, "Too small depth focal length"},
      {"color_fx", [](SW_QUILM& r) { r.c_intr_p[0] = -0.0f; }, "Too small color focal length"},
  };
  EXPECT_FALSE(quilm_tools::UnusableRecordReason(e2e::TestCalibration()).has_value());
  for (const auto& c : cases) {
    SW_QUILM r = e2e::TestCalibration();
    c.spoil(r);
    const auto reason = quilm_tools::UnusableRecordReason(r);
    ASSERT_TRUE(reason.has_value()) << c.name;
    EXPECT_THAT(*reason, HasSubstr(c.reason)) << c.name;
  }
}

// ---- the library's console output ---------------------------------------------

TEST(LibraryOutput, CapturesBothStreamsAndFoldsThemIntoOneLine) {
  const std::string text = quilm_tools::CaptureLibraryOutput([] {
    std::printf("on stdout\n");
    std::fprintf(stderr, "on stderr without a line end");
  });
  EXPECT_THAT(text, HasSubstr("on stdout\n"));
  EXPECT_THAT(text, HasSubstr("on stderr without a line end"));
  EXPECT_EQ(quilm_tools::OneLine("  first \r\n\nsecond\n"), "first; second");
}

}  // namespace
