// Speed of the registration library beside, in the same run, the plain
// scalar reference, the memory floor of a frame and (when built with it)
// OpenCV's registerDepth on the same frame.
//
//   build/<dir>/bench/quilm_bench --benchmark_repetitions=10
//       --benchmark_report_aggregates_only=true 2>/dev/null
// (the library prints a timing line per frame on stderr). With
// --benchmark_format=json, bench/ratios.py turns the medians into the
// ratios that matter.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <omp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "depth_to_color_impl.h"
#include "reference.h"

#if defined(QUILM_BENCH_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/rgbd/depth.hpp>
#endif

namespace {

constexpr int kDepthW = 640, kDepthH = 480;

struct ColourSize {
  int w, h;
  const char* name;
};
const ColourSize kColourSizes[] = {{640, 480, "640x480"}, {1280, 720, "1280x720"}};

// A 640x480 depth camera some 25 mm beside the colour camera, with small
// lens coefficients (or none, for comparisons with the pinhole model).
SW_QUILM SampleCalibration(const ColourSize& c, bool lens) {
  SW_QUILM q{};
  const float d[4] = {575.0f, 576.5f, 318.2f, 241.7f};
  const float scale = float(c.w) / 640.0f;
  const float col[4] = {528.0f * scale, 529.0f * scale, float(c.w) / 2 - 3.1f, float(c.h) / 2 + 2.4f};
  std::memcpy(q.d_intr_p, d, sizeof d);
  std::memcpy(q.c_intr_p, col, sizeof col);
  const float R[9] = {0.99998f, -0.0042f, 0.0049f, 0.0042f, 0.99999f, 0.0011f,
                      -0.0049f, -0.0011f, 0.99998f};
  std::memcpy(q.quilm_r, R, sizeof R);
  q.quilm_t[0] = -25.1f;
  q.quilm_t[1] = 0.21f;
  q.quilm_t[2] = -0.35f;
  if (lens) {
    const float dk[5] = {-0.062f, 0.11f, -0.041f, 0.0008f, -0.0005f};
    const float ck[5] = {0.035f, -0.082f, 0.012f, -0.0006f, 0.0009f};
    std::memcpy(q.d_k, dk, sizeof dk);
    std::memcpy(q.c_k, ck, sizeof ck);
  }
  return q;
}

// Room-like scene: a wall at 2.5-3 m, a floor, three boxes, 5 % holes, and
// sensor noise of +-1.5 mm unless `noise` is false.
std::vector<std::uint16_t> SampleScene(bool noise = true) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> U(0.0, 1.0);
  std::vector<std::uint16_t> depth(kDepthW * kDepthH);
  for (int v = 0; v < kDepthH; ++v) {
    for (int u = 0; u < kDepthW; ++u) {
      double z = 2500 + 500.0 * u / kDepthW;
      if (v > 330) z = std::min(z, 900.0 + 14.0 * (kDepthH - v));
      if (u > 80 && u < 220 && v > 150 && v < 330) z = 1200;
      if (u > 300 && u < 420 && v > 200 && v < 300) z = 1700 + 0.5 * (u - 300);
      if (u > 470 && u < 600 && v > 60 && v < 200) z = 900;
      const double n = 3 * (U(rng) - 0.5);
      if (noise) z += n;
      depth[std::size_t(v * kDepthW + u)] = U(rng) < 0.05 ? 0 : std::uint16_t(z);
    }
  }
  return depth;
}

const std::vector<std::uint16_t>& Scene(bool noise = true) {
  static const std::vector<std::uint16_t> noisy = SampleScene(true), smooth = SampleScene(false);
  return noise ? noisy : smooth;
}

struct PassSetup {
  bool distortion, gap_fill;
  const char* name;
};
const PassSetup kPasses[] = {{false, false, "linear/plain"},
                             {false, true, "linear/gapfill"},
                             {true, false, "distorted/plain"},
                             {true, true, "distorted/gapfill"}};

std::unique_ptr<DepthToColorImpl> Engine(const SW_QUILM& q, const PassSetup& p) {
  auto engine = std::make_unique<DepthToColorImpl>();
  // The record load prints its values; keep them out of the report.
  std::fflush(stdout);
  const int saved = dup(1), null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  engine->LoadParameters(&q);
  std::fflush(stdout);
  dup2(saved, 1);
  close(null);
  close(saved);
  engine->PrepareDepthResolution(kDepthW, kDepthH);
  engine->EnableDistortion(p.distortion);
  engine->EnableDepthGapFill(p.gap_fill);
  return engine;
}

void Library(benchmark::State& state, PassSetup p, ColourSize c) {
  auto engine = Engine(SampleCalibration(c, true), p);
  std::vector<std::uint16_t> out(std::size_t(c.w * c.h));
  for (auto _ : state) {
    engine->QUILM(Scene().data(), kDepthW, kDepthH, out.data(), c.w, c.h);
    benchmark::DoNotOptimize(out.data());
  }
}

void Reference(benchmark::State& state, PassSetup p, ColourSize c) {
  const SW_QUILM q = SampleCalibration(c, true);
  const auto table = p.distortion ? ref::DistortedTable(q, kDepthW, kDepthH)
                                  : ref::LinearTable(q, kDepthW, kDepthH);
  ref::Settings s;
  s.distortion = p.distortion;
  s.gap_fill = p.gap_fill;
  const ref::Frame f{Scene().data(), kDepthW, kDepthH, c.w, c.h};
  for (auto _ : state) benchmark::DoNotOptimize(ref::Register(q, s, table, f));
}

// The bytes a frame must touch, streamed on the same threads as a frame:
// the depth image and the table read, the output written. `copies` sets of
// buffers are used in turn: 1 keeps them in the cache like a frame loop does,
// 24 (over 100 MB) makes every pass come from main memory.
void MemoryFloor(benchmark::State& state, ColourSize c, int copies) {
  const std::size_t pixels = std::size_t(kDepthW) * kDepthH, out_pixels = std::size_t(c.w) * std::size_t(c.h);
  std::vector<std::vector<float>> tables(std::size_t(copies), std::vector<float>(3 * pixels, 1.0f));
  std::vector<std::vector<std::uint16_t>> depths(std::size_t(copies), Scene());
  std::vector<std::vector<std::uint16_t>> outs(std::size_t(copies), std::vector<std::uint16_t>(out_pixels, 0));
  std::size_t turn = 0;
  for (auto _ : state) {
    const std::uint32_t* words = reinterpret_cast<const std::uint32_t*>(tables[turn].data());
    const std::uint16_t* depth = depths[turn].data();
    std::uint16_t* out = outs[turn].data();
    turn = (turn + 1) % std::size_t(copies);
    std::uint32_t sum = 0;
#pragma omp parallel reduction(^ : sum)
    {
      const std::size_t t = std::size_t(omp_get_thread_num()), n = std::size_t(omp_get_num_threads());
      const std::size_t b = pixels * t / n, e = pixels * (t + 1) / n;
      std::uint32_t local = 0;
      for (std::size_t i = 3 * b; i < 3 * e; ++i) local ^= words[i];
      for (std::size_t i = b; i < e; ++i) local ^= depth[i];
      const std::size_t ob = out_pixels * t / n, oe = out_pixels * (t + 1) / n;
      std::memset(out + ob, 0, (oe - ob) * 2);
      sum ^= local;
    }
    benchmark::DoNotOptimize(sum);
    benchmark::ClobberMemory();
  }
}

void PrepareLibrary(benchmark::State& state) {
  auto engine = Engine(SampleCalibration(kColourSizes[0], true), kPasses[0]);
  for (auto _ : state) engine->PrepareDepthResolution(kDepthW, kDepthH);
}

void PrepareReference(benchmark::State& state) {
  const SW_QUILM q = SampleCalibration(kColourSizes[0], true);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ref::LinearTable(q, kDepthW, kDepthH));
    benchmark::DoNotOptimize(ref::DistortedTable(q, kDepthW, kDepthH));
  }
}

#if defined(QUILM_BENCH_OPENCV)
struct OpenCvSetup {
  cv::Matx33f depth_K, color_K;
  cv::Matx44f Rt;
  cv::Mat depth;
};

// The same cameras without lens, in the form registerDepth takes: 16-bit
// depth in millimetres and the translation in metres.
OpenCvSetup OpenCvFor(const SW_QUILM& q, bool noise = true) {
  OpenCvSetup s;
  s.depth_K = cv::Matx33f(q.d_intr_p[0], 0, q.d_intr_p[2], 0, q.d_intr_p[1], q.d_intr_p[3], 0, 0, 1);
  s.color_K = cv::Matx33f(q.c_intr_p[0], 0, q.c_intr_p[2], 0, q.c_intr_p[1], q.c_intr_p[3], 0, 0, 1);
  s.Rt = cv::Matx44f::eye();
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) s.Rt(i, j) = q.quilm_r[3 * i + j];
    s.Rt(i, 3) = q.quilm_t[i] / 1000.0f;
  }
  s.depth = cv::Mat(kDepthH, kDepthW, CV_16UC1, const_cast<std::uint16_t*>(Scene(noise).data()));
  return s;
}

void OpenCv(benchmark::State& state, bool dilation, ColourSize c) {
  const OpenCvSetup s = OpenCvFor(SampleCalibration(c, false));
  cv::Mat out;
  for (auto _ : state) {
    cv::rgbd::registerDepth(s.depth_K, s.color_K, cv::noArray(), s.Rt, s.depth, cv::Size(c.w, c.h),
                            out, dilation);
    benchmark::DoNotOptimize(out.data);
  }
}

// Share of the colour pixels that either registration fills on which both
// agree within one depth unit (pinhole cameras, no dilation, no gap fill).
// Where two depth pixels land on one colour pixel, registerDepth keeps the
// nearer and this library the later one; on a noisy surface the two often
// differ by more than a unit, so the figure is given with and without noise.
void Agreement(benchmark::State& state, ColourSize c, bool noise) {
  const SW_QUILM q = SampleCalibration(c, false);
  auto engine = Engine(q, kPasses[0]);
  std::vector<std::uint16_t> ours(std::size_t(c.w * c.h));
  engine->QUILM(Scene(noise).data(), kDepthW, kDepthH, ours.data(), c.w, c.h);
  const OpenCvSetup s = OpenCvFor(q, noise);
  cv::Mat theirs;
  cv::rgbd::registerDepth(s.depth_K, s.color_K, cv::noArray(), s.Rt, s.depth, cv::Size(c.w, c.h),
                          theirs, false);
  std::size_t filled = 0, agree = 0, only_ours = 0, only_theirs = 0, edge = 0;
  for (int v = 0; v < c.h; ++v) {
    for (int u = 0; u < c.w; ++u) {
      const int a = ours[std::size_t(v * c.w + u)], b = theirs.at<std::uint16_t>(v, u);
      if (a == 0 && b == 0) continue;
      ++filled;
      agree += (a != 0 && b != 0 && std::abs(a - b) <= 1);
      only_ours += (b == 0);
      only_theirs += (a == 0);
      edge += (a == 0 && (u == c.w - 1 || v == c.h - 1));
    }
  }
  for (auto _ : state) benchmark::DoNotOptimize(agree);
  state.counters["agree_percent"] = 100.0 * double(agree) / double(filled);
  state.counters["filled"] = double(filled);
  state.counters["only_ours"] = double(only_ours);
  state.counters["only_opencv"] = double(only_theirs);
  // registerDepth also fills the last row and column, which this library
  // leaves empty by design.
  state.counters["only_opencv_last_row_col"] = double(edge);
}
#endif

void RegisterAll() {
  for (const ColourSize& c : kColourSizes) {
    for (const PassSetup& p : kPasses) {
      benchmark::RegisterBenchmark((std::string("quilm/") + p.name + "/" + c.name).c_str(), Library, p, c)
          ->UseRealTime()->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark((std::string("reference/") + p.name + "/" + c.name).c_str(), Reference, p, c)
          ->UseRealTime()->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark((std::string("floor/memory/") + c.name).c_str(), MemoryFloor, c, 24)
        ->UseRealTime()->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((std::string("floor/cached/") + c.name).c_str(), MemoryFloor, c, 1)
        ->UseRealTime()->Unit(benchmark::kMicrosecond);
#if defined(QUILM_BENCH_OPENCV)
    benchmark::RegisterBenchmark((std::string("opencv/plain/") + c.name).c_str(), OpenCv, false, c)
        ->UseRealTime()->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((std::string("opencv/dilation/") + c.name).c_str(), OpenCv, true, c)
        ->UseRealTime()->Unit(benchmark::kMicrosecond);
    for (bool noise : {true, false}) {
      benchmark::RegisterBenchmark(
          (std::string("agreement/") + (noise ? "noisy/" : "smooth/") + c.name).c_str(), Agreement, c,
          noise)->Iterations(1);
    }
#endif
  }
  benchmark::RegisterBenchmark("prepare/library/640x480", PrepareLibrary)
      ->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("prepare/reference/640x480", PrepareReference)
      ->UseRealTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // Keep freed blocks in the process. Otherwise glibc returns large blocks
  // to the system and a registration that allocates its working buffers per
  // call (registerDepth does) pays page faults on every frame, or not,
  // depending on what ran before it. This is the faster setting for every
  // contender.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
