// Coloured point-cloud export.
#include <sys/stat.h>

#include "test_support.h"

namespace {

const std::string kHeader =
    "ply\nformat ascii 1.0\nelement vertex {}\nproperty float x\nproperty float y\n"
    "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
    "end_header\n";

std::string Header(int count) {
  std::string h = kHeader;
  h.replace(h.find("{}"), 2, std::to_string(count));
  return h;
}

// The file the export must write, built from the reference lens model.
std::string ExpectedPly(const SW_QUILM& c, bool distortion, float unit, float lo, float hi,
                        const std::vector<std::uint16_t>& depth,
                        const std::vector<std::uint8_t>& color, int w, int h) {
  const int min_d = ref::LimitInUnits(lo, unit), max_d = ref::LimitInUnits(hi, unit);
  std::string body;
  int count = 0;
  for (int v = 0; v < h; ++v) {
    for (int u = 0; u < w; ++u) {
      const std::size_t i = std::size_t(v * w + u);
      const int d = depth[i];
      if (d == 0 || d < min_d || d > max_d) continue;
      float x = (float(u) - c.c_intr_p[2]) / c.c_intr_p[0];
      float y = (float(v) - c.c_intr_p[3]) / c.c_intr_p[1];
      if (distortion) ref::Undistort(c.c_k, x, y, x, y);
      const float z = float(d);
      char line[128];
      std::snprintf(line, sizeof line, "%f %f %f %d %d %d\n", double(z * x * unit),
                    double(z * y * unit), double(z * unit), color[3 * i], color[3 * i + 1],
                    color[3 * i + 2]);
      body += line;
      ++count;
    }
  }
  return Header(count) + body;
}

struct ExportCase {
  const char* name;
  bool distortion;
  float unit, lo, hi;  // lo = hi = 0: default range
  int w, h;
};
void PrintTo(const ExportCase& c, std::ostream* os) { *os << c.name; }

class PlyExport : public testing::TestWithParam<ExportCase> {};

TEST_P(PlyExport, WritesEveryValidPixelInRowMajorOrder) {
  const ExportCase e = GetParam();
  std::mt19937 rng(61);
  const SW_QUILM c = qt::RandomCalibration(rng, e.w, e.h, e.w, e.h);
  auto depth = qt::RandomScene(rng, e.w, e.h);
  depth[0] = 499;
  depth[1] = 2001;
  std::vector<std::uint8_t> color(std::size_t(e.w * e.h * 3));
  for (auto& b : color) b = std::uint8_t(rng());
  auto engine = qt::LoadedEngine(c);
  engine->EnableDistortion(e.distortion);
  engine->SetDepthUnit(e.unit);
  float lo = 0, hi = 3.4028235e38f;
  if (e.lo != 0 || e.hi != 0) {
    lo = e.lo;
    hi = e.hi;
    engine->SetDepthRange(lo, hi);
  }
  qt::TempFile file(e.name);
  EXPECT_EQ(engine->DumpColoredPCL(depth.data(), color.data(), e.w, e.h, file.c_str()), 0);
  EXPECT_EQ(file.Read(), ExpectedPly(c, e.distortion, e.unit, lo, hi, depth, color, e.w, e.h));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlyExport,
    testing::Values(ExportCase{"linear", false, 1.0f, 0, 0, 32, 24},
                    ExportCase{"distorted", true, 1.0f, 0, 0, 32, 24},
                    ExportCase{"half_unit_range", false, 0.5f, 500, 1000, 32, 24},
                    ExportCase{"ranged_distorted", true, 1.0f, 500, 2000, 32, 24},
                    ExportCase{"wide", false, 1.0f, 0, 0, 7, 3},
                    ExportCase{"tall", true, 1.0f, 0, 0, 3, 7}),
    [](const testing::TestParamInfo<ExportCase>& p) { return std::string(p.param.name); });

TEST(PlyExport, EmptyImageGivesTheHeaderAlone) {
  auto engine = qt::LoadedEngine(qt::IdentityCalibration(16, 4, 4));
  const std::vector<std::uint16_t> depth(64, 0);
  const std::vector<std::uint8_t> color(64 * 3, 9);
  qt::TempFile file("empty");
  EXPECT_EQ(engine->DumpColoredPCL(depth.data(), color.data(), 8, 8, file.c_str()), 0);
  EXPECT_EQ(file.Read(), Header(0));
}

// At the principal point the ray is the optical axis, with or without lens.
TEST(PlyExport, PrincipalPointLiesOnTheAxis) {
  SW_QUILM c = qt::IdentityCalibration(16, 4, 3);
  const float lens[5] = {0.1f, -0.05f, 0.01f, 0.001f, -0.002f};
  std::copy(lens, lens + 5, c.c_k);
  std::vector<std::uint16_t> depth(64, 0);
  depth[3 * 8 + 4] = 1000;
  std::vector<std::uint8_t> color(64 * 3, 0);
  color[(3 * 8 + 4) * 3] = 10;
  color[(3 * 8 + 4) * 3 + 1] = 20;
  color[(3 * 8 + 4) * 3 + 2] = 30;
  for (bool distortion : {false, true}) {
    auto engine = qt::LoadedEngine(c);
    engine->EnableDistortion(distortion);
    qt::TempFile file("axis");
    ASSERT_EQ(engine->DumpColoredPCL(depth.data(), color.data(), 8, 8, file.c_str()), 0);
    EXPECT_EQ(file.Read(), Header(1) + "0.000000 0.000000 1000.000000 10 20 30\n");
  }
}

struct RefusalCase {
  bool loaded, depth_null, color_null;
  const char* message;
};
void PrintTo(const RefusalCase& c, std::ostream* os) {
  *os << (!c.loaded ? "not_loaded" : c.depth_null ? "no_depth" : "no_color");
}

class PlyRefusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(PlyRefusals, CreateNoFile) {
  const RefusalCase c = GetParam();
  auto engine = c.loaded ? qt::LoadedEngine(qt::IdentityCalibration(16, 4, 4))
                         : std::make_unique<DepthToColorImpl>();
  const std::vector<std::uint16_t> depth(16, 1000);
  const std::vector<std::uint8_t> color(48, 1);
  qt::TempFile file("refused");
  int result = 0;
  const std::string err = qt::CaptureStderrOf([&] {
    result = engine->DumpColoredPCL(c.depth_null ? nullptr : depth.data(),
                                    c.color_null ? nullptr : color.data(), 4, 4, file.c_str());
  });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(err, c.message);
  struct stat st;
  EXPECT_NE(stat(file.c_str(), &st), 0) << "file was created";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlyRefusals,
    testing::Values(
        RefusalCase{false, false, false, "Make sure LoadParameters() success before DumpColoredPCL!"},
        RefusalCase{true, true, true, "depth is NULL!"},
        RefusalCase{true, false, true, "pColor is NULL!"}));

TEST(PlyExport, UncreatableFileIsAFailureNamingPathAndReason) {
  auto engine = qt::LoadedEngine(qt::IdentityCalibration(16, 4, 4));
  const std::vector<std::uint16_t> depth(16, 1000);
  const std::vector<std::uint8_t> color(48, 1);
  int result = 0;
  const std::string err = qt::CaptureStderrOf([&] {
    result = engine->DumpColoredPCL(depth.data(), color.data(), 4, 4, "/nonexistent/cloud.ply");
  });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(err, "Open file \"/nonexistent/cloud.ply\" failed: No such file or directory");
}

// A device that takes no data: the write error is reported, not success.
TEST(PlyExport, WriteErrorIsAFailure) {
  struct stat st;
  if (stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full";
  auto engine = qt::LoadedEngine(qt::IdentityCalibration(16, 4, 4));
  const std::vector<std::uint16_t> depth(16, 1000);
  const std::vector<std::uint8_t> color(48, 1);
  int result = 0;
  const std::string err = qt::CaptureStderrOf(
      [&] { result = engine->DumpColoredPCL(depth.data(), color.data(), 4, 4, "/dev/full"); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(err, "Write file \"/dev/full\" failed: No space left on device");
}

}  // namespace
