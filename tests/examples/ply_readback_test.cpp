// The point cloud quilm-register writes, read back by an independent PLY
// reader (Open3D's, from Debian's python3-open3d): same vertex count, and
// positions and colours that agree with the registered depth, the colour
// camera's lens model and the colour image.  Skips when Open3D is missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "calibration_files.h"
#include "e2e_support.h"
#include "image_io.h"

namespace {

using quilm_tools::ColorImage;
using quilm_tools::DepthImage;

// Reads the PLY with Open3D and writes "x y z r g b" per vertex, in file
// order, colours back in 0..255.
constexpr const char* kReadScript = R"(
import sys
import open3d as o3d
cloud = o3d.io.read_point_cloud(sys.argv[1], format='ply')
with open(sys.argv[2], 'w') as out:
    for p, c in zip(cloud.points, cloud.colors):
        out.write('%.9g %.9g %.9g %d %d %d\n' % (p[0], p[1], p[2],
                  round(c[0] * 255), round(c[1] * 255), round(c[2] * 255)))
)";

struct Vertex {
  double x, y, z;
  int r, g, b;
};

bool Open3dAvailable() {
  const std::string python = QUILM_TEST_PYTHON3;
  if (python.empty() || python.find("NOTFOUND") != std::string::npos) return false;
  return e2e::Run(python, {"-c", "import open3d"}).exit_code == 0;
}

std::vector<Vertex> ReadWithOpen3d(const std::string& ply, const std::string& listing) {
  const e2e::RunResult run = e2e::Run(QUILM_TEST_PYTHON3, {"-c", kReadScript, ply, listing});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  std::vector<Vertex> vertices;
  std::ifstream in(listing);
  Vertex v{};
  while (in >> v.x >> v.y >> v.z >> v.r >> v.g >> v.b) vertices.push_back(v);
  return vertices;
}

// Undistorted normalised coordinates of the colour camera, in double
// precision: the reference the exported positions must agree with.
void Undistort(const float k[5], double xd, double yd, double* xu, double* yu) {
  double x = xd, y = yd;
  for (int i = 0; i < 200; ++i) {
    const double r2 = x * x + y * y;
    const double radial = k[0] * r2 + k[1] * r2 * r2 + k[2] * r2 * r2 * r2;
    const double dx = x * radial + 2 * k[3] * x * y + k[4] * (2 * x * x + r2);
    const double dy = y * radial + 2 * k[4] * x * y + k[3] * (2 * y * y + r2);
    x = xd - dx;
    y = yd - dy;
  }
  *xu = x;
  *yu = y;
}

struct PlyCase {
  const char* name;
  bool distortion;
  float unit_mm;
};

void PrintTo(const PlyCase& c, std::ostream* os) { *os << c.name; }

class PlyReadBack : public ::testing::TestWithParam<PlyCase> {};

TEST_P(PlyReadBack, Open3dReadsTheSameVerticesAndColours) {
  if (!Open3dAvailable()) GTEST_SKIP() << "Debian's python3-open3d is not installed";
  const PlyCase& c = GetParam();
  e2e::TempDir dir;
  const SW_QUILM cal = e2e::TestCalibration();
  const ColorImage color = e2e::TestColor();
  quilm_tools::WriteCalibrationImage(dir / "cal.bin", cal);
  quilm_tools::WriteDepthPng(dir / "f_depth.png", e2e::TestDepth());
  quilm_tools::WriteColorPng(dir / "f_color.png", color);
  std::vector<std::string> args{"-c", dir / "cal.bin", "--depth", dir / "f_depth.png", "--color",
                                dir / "f_color.png", "--gap-fill", "--ply", "-o", dir / "out",
                                "--depth-unit", std::to_string(c.unit_mm)};
  if (c.distortion) args.push_back("--distortion");
  const e2e::RunResult run = e2e::Run(QUILM_REGISTER_PATH, args);
  ASSERT_EQ(run.exit_code, 0) << run.err;

  const DepthImage registered = e2e::ReadGray16Png(dir / "out/f_registered.png");
  const std::vector<Vertex> vertices = ReadWithOpen3d(dir / "out/f.ply", dir / "listing.txt");
  const auto valid = static_cast<std::size_t>(
      std::count_if(registered.pixels.begin(), registered.pixels.end(), [](std::uint16_t d) { return d != 0; }));
  ASSERT_GT(valid, 1000u);
  ASSERT_EQ(vertices.size(), valid);

  // Vertices follow the pixels in row-major order.
  const float fx = cal.c_intr_p[0], fy = cal.c_intr_p[1], cx = cal.c_intr_p[2], cy = cal.c_intr_p[3];
  std::size_t k = 0;
  for (int v = 0; v < registered.height; ++v) {
    for (int u = 0; u < registered.width; ++u) {
      const std::uint16_t d = registered.at(u, v);
      if (d == 0) continue;
      const Vertex& p = vertices[k++];
      double xn = (u - static_cast<double>(cx)) / fx, yn = (v - static_cast<double>(cy)) / fy;
      if (c.distortion) Undistort(cal.c_k, xn, yn, &xn, &yn);
      const double z = d * static_cast<double>(c.unit_mm);
      ASSERT_NEAR(p.z, z, 1e-5) << "pixel " << u << "," << v;
      ASSERT_NEAR(p.x, xn * z, 0.01) << "pixel " << u << "," << v;
      ASSERT_NEAR(p.y, yn * z, 0.01) << "pixel " << u << "," << v;
      const std::uint8_t* rgb = color.at(u, v);
      ASSERT_EQ(p.r, rgb[0]);
      ASSERT_EQ(p.g, rgb[1]);
      ASSERT_EQ(p.b, rgb[2]);
    }
  }
}

const PlyCase kPlyCases[] = {
    {"Pinhole", false, 1.0f},
    {"LensModel", true, 1.0f},
    {"HalfMillimetreUnit", true, 0.5f},
};

INSTANTIATE_TEST_SUITE_P(Exports, PlyReadBack, ::testing::ValuesIn(kPlyCases),
                         [](const auto& test_param) { return std::string(test_param.param.name); });

}  // namespace
