#include "sample_scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>

namespace quilm_demo {

SW_QUILM SampleCalibration() {
  // Intrinsics fx, fy, cx, cy in pixels.  The colour camera has the
  // slightly narrower field of view, so registered depth shows the one-pixel
  // holes that gap fill closes.
  return SW_QUILM{
      {577.3f, 576.8f, 318.9f, 242.6f},
      {612.4f, 611.9f, 321.7f, 238.2f},
      // Rotation from the depth camera to the colour camera: a few tenths
      // of a degree about each axis, as a mounted pair has.
      {0.999980211f, -0.00211612904f, -0.00592635525f,
       0.00209435681f, 0.999991059f, -0.00367760332f,
       0.00593408477f, 0.00366511871f, 0.999975681f},
      // Translation in mm: the colour camera sits 25 mm to the right.
      {-25.08f, 0.31f, -0.42f},
      // Lens coefficients k1, k2, k3, p1, p2.
      {-0.0418f, 0.0973f, -0.0465f, 0.00121f, -0.00078f},
      {0.0862f, -0.1637f, 0.0628f, -0.00107f, 0.00064f},
  };
}

namespace {

struct Vec3 {
  double x, y, z;
};
Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator*(double s, Vec3 a) { return {s * a.x, s * a.y, s * a.z}; }
double Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 Normalized(Vec3 a) { return (1.0 / std::sqrt(Dot(a, a))) * a; }

using Rgb = std::array<double, 3>;

// The scene, in the room's frame (mm; x right, y down, z forward), whose
// origin is the depth camera; the cameras look down by kCameraPitch.
constexpr double kCameraPitch = 12.0 * 3.14159265358979 / 180.0;
constexpr double kFloorY = 1100.0;
constexpr double kWallZ = 3600.0;
constexpr double kFloorTile = 300.0;
constexpr double kWallPanel = 400.0;
constexpr Vec3 kBoxMin{-900.0, 650.0, 1900.0};
constexpr Vec3 kBoxMax{-350.0, kFloorY, 2350.0};
constexpr Vec3 kBallCentre{180.0, 840.0, 1850.0};
constexpr double kBallRadius = 260.0;
constexpr double kPillarX = 900.0, kPillarZ = 2800.0, kPillarRadius = 170.0, kPillarTop = -200.0;
// The window in the back wall returns no depth (glass, sky behind it).
constexpr double kWindowLeft = -1650.0, kWindowRight = -950.0;
constexpr double kWindowTop = -560.0, kWindowBottom = -60.0;
constexpr double kMaxRange = 4500.0;

const Vec3 kLight = Normalized({-0.4, -1.0, -0.6});  // towards the light: up, left, front

enum class Surface { kFloor, kWall, kWindow, kBox, kBall, kPillar };

struct Hit {
  double t = std::numeric_limits<double>::infinity();
  Surface surface = Surface::kWall;
  Vec3 normal{0, 0, -1};
};

void Keep(Hit& best, double t, Surface s, Vec3 n) {
  if (t > 1e-6 && t < best.t) best = Hit{t, s, n};
}

void HitPlanes(const Vec3& o, const Vec3& d, Hit& best) {
  if (d.y > 0) Keep(best, (kFloorY - o.y) / d.y, Surface::kFloor, {0, -1, 0});
  if (d.z > 0) {
    const double t = (kWallZ - o.z) / d.z;
    const Vec3 p = o + t * d;
    const bool window = p.x > kWindowLeft && p.x < kWindowRight && p.y > kWindowTop && p.y < kWindowBottom;
    Keep(best, t, window ? Surface::kWindow : Surface::kWall, {0, 0, -1});
  }
}

void HitBox(const Vec3& o, const Vec3& d, Hit& best) {
  const std::array<double, 3> org{o.x, o.y, o.z}, dir{d.x, d.y, d.z};
  const std::array<double, 3> lo{kBoxMin.x, kBoxMin.y, kBoxMin.z}, hi{kBoxMax.x, kBoxMax.y, kBoxMax.z};
  double t_near = -std::numeric_limits<double>::infinity(), t_far = std::numeric_limits<double>::infinity();
  int axis = 0;
  double sign = 1;
  for (int a = 0; a < 3; ++a) {
    if (std::fabs(dir[a]) < 1e-12) {
      if (org[a] < lo[a] || org[a] > hi[a]) return;
      continue;
    }
    double t0 = (lo[a] - org[a]) / dir[a], t1 = (hi[a] - org[a]) / dir[a];
    double entering_sign = -1;  // entering through the low face: normal points to -axis
    if (t0 > t1) {
      std::swap(t0, t1);
      entering_sign = 1;
    }
    if (t0 > t_near) {
      t_near = t0;
      axis = a;
      sign = entering_sign;
    }
    t_far = std::min(t_far, t1);
  }
  if (t_near > t_far) return;
  Vec3 n{0, 0, 0};
  (axis == 0 ? n.x : axis == 1 ? n.y : n.z) = sign;
  Keep(best, t_near, Surface::kBox, n);
}

void HitBall(const Vec3& o, const Vec3& d, Hit& best) {
  const Vec3 oc = o - kBallCentre;
  const double a = Dot(d, d), b = 2 * Dot(oc, d), c = Dot(oc, oc) - kBallRadius * kBallRadius;
  const double disc = b * b - 4 * a * c;
  if (disc < 0) return;
  const double t = (-b - std::sqrt(disc)) / (2 * a);
  Keep(best, t, Surface::kBall, Normalized(o + t * d - kBallCentre));
}

void HitPillar(const Vec3& o, const Vec3& d, Hit& best) {
  const double ox = o.x - kPillarX, oz = o.z - kPillarZ;
  const double a = d.x * d.x + d.z * d.z, b = 2 * (ox * d.x + oz * d.z);
  const double c = ox * ox + oz * oz - kPillarRadius * kPillarRadius;
  const double disc = b * b - 4 * a * c;
  if (a < 1e-12 || disc < 0) return;
  const double t = (-b - std::sqrt(disc)) / (2 * a);
  const Vec3 p = o + t * d;
  if (p.y < kPillarTop || p.y > kFloorY) return;
  Keep(best, t, Surface::kPillar, Normalized({p.x - kPillarX, 0, p.z - kPillarZ}));
}

// From the depth camera's frame to the room's: the pitch about x.
Vec3 ToRoom(Vec3 c) {
  const double cp = std::cos(kCameraPitch), sp = std::sin(kCameraPitch);
  return {c.x, c.y * cp + c.z * sp, -c.y * sp + c.z * cp};
}

// Casts the ray o + t d given in the depth camera's frame; t is the same in
// both frames, the rotation keeps lengths.
Hit CastRay(const Vec3& camera_o, const Vec3& camera_d) {
  const Vec3 o = ToRoom(camera_o), d = ToRoom(camera_d);
  Hit best;
  HitPlanes(o, d, best);
  HitBox(o, d, best);
  HitBall(o, d, best);
  HitPillar(o, d, best);
  return best;
}

Rgb Albedo(Surface s, const Vec3& p) {
  switch (s) {
    case Surface::kFloor: {
      const auto i = static_cast<long>(std::floor(p.x / kFloorTile)) + static_cast<long>(std::floor(p.z / kFloorTile));
      return (i & 1) ? Rgb{0.62, 0.45, 0.30} : Rgb{0.80, 0.66, 0.48};
    }
    case Surface::kWall: {
      const double seam = std::fabs(std::remainder(p.x, kWallPanel));
      return seam < 12.0 ? Rgb{0.55, 0.55, 0.58} : Rgb{0.86, 0.84, 0.78};
    }
    case Surface::kWindow: return {0.55, 0.75, 0.95};
    case Surface::kBox: {
      // A dark band around the box makes its edges easy to follow.
      const double ex = std::min(p.x - kBoxMin.x, kBoxMax.x - p.x);
      const double ey = std::min(p.y - kBoxMin.y, kBoxMax.y - p.y);
      const double ez = std::min(p.z - kBoxMin.z, kBoxMax.z - p.z);
      const double edge = std::min({ex + ey, ey + ez, ex + ez});
      return edge < 25.0 ? Rgb{0.35, 0.10, 0.08} : Rgb{0.85, 0.28, 0.20};
    }
    case Surface::kBall: return {0.20, 0.38, 0.85};
    case Surface::kPillar: {
      const bool stripe = std::fmod(std::fabs(p.y - kPillarTop), 200.0) < 30.0;
      return stripe ? Rgb{0.95, 0.95, 0.90} : Rgb{0.25, 0.62, 0.32};
    }
  }
  return {0, 0, 0};
}

Rgb Shade(const Hit& hit, const Vec3& p) {
  const Rgb albedo = Albedo(hit.surface, p);
  if (hit.surface == Surface::kWindow) return albedo;
  const double light = 0.35 + 0.65 * std::max(0.0, Dot(hit.normal, kLight));
  return {albedo[0] * light, albedo[1] * light, albedo[2] * light};
}

// Undistorted normalised coordinates of a distorted normalised point, by
// the usual fixed-point iteration of the five-coefficient lens model.
std::pair<double, double> Undistort(const float k[5], double xd, double yd) {
  const double k1 = k[0], k2 = k[1], k3 = k[2], p1 = k[3], p2 = k[4];
  double x = xd, y = yd;
  for (int i = 0; i < 50; ++i) {
    const double r2 = x * x + y * y;
    const double radial = k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
    const double dx = x * radial + 2 * p1 * x * y + p2 * (2 * x * x + r2);
    const double dy = y * radial + 2 * p2 * x * y + p1 * (2 * y * y + r2);
    x = xd - dx;
    y = yd - dy;
  }
  return {x, y};
}

Vec3 PixelRay(const float intr[4], const float k[5], int u, int v) {
  const auto [x, y] = Undistort(k, (u - static_cast<double>(intr[2])) / static_cast<double>(intr[0]),
                               (v - static_cast<double>(intr[3])) / static_cast<double>(intr[1]));
  return {x, y, 1.0};
}

std::uint8_t ToByte(double v) {
  return static_cast<std::uint8_t>(std::clamp(std::lround(v * 255.0), 0L, 255L));
}

}  // namespace

SampleFrame RenderSampleFrame(const SW_QUILM& cal) {
  SampleFrame frame{quilm_tools::DepthImage(kDepthWidth, kDepthHeight),
                    quilm_tools::ColorImage(kColorWidth, kColorHeight)};

  for (int v = 0; v < kDepthHeight; ++v) {
    for (int u = 0; u < kDepthWidth; ++u) {
      const Vec3 d = PixelRay(cal.d_intr_p, cal.d_k, u, v);
      const Hit hit = CastRay({0, 0, 0}, d);
      const double z = hit.t * d.z;
      if (hit.surface == Surface::kWindow || !(z < kMaxRange)) continue;
      frame.depth.at(u, v) = static_cast<std::uint16_t>(std::lround(z));
    }
  }

  // A colour pixel's ray in the colour frame is carried into the depth
  // frame: P_depth = R^T (P_color - t).
  const float* r = cal.quilm_r;
  auto to_depth_frame = [r](Vec3 c) {
    return Vec3{r[0] * c.x + r[3] * c.y + r[6] * c.z, r[1] * c.x + r[4] * c.y + r[7] * c.z,
                r[2] * c.x + r[5] * c.y + r[8] * c.z};
  };
  const Vec3 origin = to_depth_frame({-cal.quilm_t[0], -cal.quilm_t[1], -cal.quilm_t[2]});
  for (int v = 0; v < kColorHeight; ++v) {
    for (int u = 0; u < kColorWidth; ++u) {
      const Vec3 d = to_depth_frame(PixelRay(cal.c_intr_p, cal.c_k, u, v));
      const Hit hit = CastRay(origin, d);
      const Rgb c = std::isfinite(hit.t) ? Shade(hit, ToRoom(origin + hit.t * d)) : Rgb{0, 0, 0};
      std::uint8_t* px = frame.color.at(u, v);
      for (int ch = 0; ch < 3; ++ch) px[ch] = ToByte(c[static_cast<std::size_t>(ch)]);
    }
  }
  return frame;
}

}  // namespace quilm_demo
