// quilm_demo OUT_DIR
//
// Registers the built-in sample frame (a synthetic room seen by a 640 x 480
// depth camera and a colour camera 25 mm beside it) with the registration
// library, in all four modes: distortion off and on, gap fill off and on.
// For each mode it prints the time per frame and writes the registered depth
// as a 16-bit PNG and a picture for people; with distortion and gap fill on
// it also writes the coloured point cloud as PLY.
//
// The calibration goes the way a camera's calibration does: it is written
// to OUT_DIR as a parameter text file and as a 6188-byte calibration image,
// loaded back from both (the image through libnerrit), and the two loads
// must give identical output.  Exit status: 0 done, 1 failed, 2 usage.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <omp.h>

#include "calibration_files.h"
#include "depth_to_color.h"
#include "depth_to_color_impl.h"
#include "false_color.h"
#include "image_io.h"
#include "library_output.h"
#include "sample_scene.h"

namespace {

using quilm_tools::CalibrationFormat;
using quilm_tools::ColorImage;
using quilm_tools::DepthImage;

struct Mode {
  const char* name;   // used in file names
  const char* title;  // used in the printed table
  bool distortion;
  bool gap_fill;
};

constexpr Mode kModes[] = {
    {"linear", "distortion off, gap fill off", false, false},
    {"linear_gapfill", "distortion off, gap fill on ", false, true},
    {"distorted", "distortion on,  gap fill off", true, false},
    {"distorted_gapfill", "distortion on,  gap fill on ", true, true},
};
constexpr const Mode& kPointCloudMode = kModes[3];

// Frames timed per mode; the median is printed.
constexpr int kTimedFrames = 15;

class DemoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void Check(bool ok, const std::string& what) {
  if (!ok) throw DemoError(what);
}

std::string Join(const std::string& dir, const std::string& name) { return dir + "/" + name; }

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void MakeDirectory(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!std::filesystem::is_directory(dir)) {
    throw DemoError("cannot create output folder '" + dir + "'" + (ec ? ": " + ec.message() : ""));
  }
}

// Registers one frame with the given engine in the given mode; returns the
// registered depth and the milliseconds of each timed frame.
struct Registered {
  DepthImage depth;
  double median_ms = 0;
};

Registered Register(DepthToColor& engine, const Mode& mode, const DepthImage& depth) {
  engine.EnableDistortion(mode.distortion);
  engine.EnableDepthGapFill(mode.gap_fill);
  Registered out{DepthImage(quilm_demo::kColorWidth, quilm_demo::kColorHeight), 0};
  std::vector<double> times;
  int result = 0;
  // The library prints a timing line per frame; ours is finer than its
  // whole milliseconds, so its lines are kept out of the table.
  quilm_tools::CaptureLibraryOutput([&] {
    for (int i = 0; i < kTimedFrames && result == 0; ++i) {
      const auto start = std::chrono::steady_clock::now();
      result = engine.QUILM(depth.pixels.data(), depth.width, depth.height, out.depth.pixels.data(),
                            out.depth.width, out.depth.height);
      const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
      times.push_back(elapsed.count());
    }
    // Points from different threads' blocks that land on one colour pixel
    // may keep either candidate, so frames on several threads can differ in
    // a few pixels.  The frame that is written out is registered on one
    // thread, which makes every file of the demo reproducible (quilm-register
    // gives the same bytes with OMP_NUM_THREADS=1).
    const int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    if (result == 0) {
      result = engine.QUILM(depth.pixels.data(), depth.width, depth.height, out.depth.pixels.data(),
                            out.depth.width, out.depth.height);
    }
    omp_set_num_threads(threads);
  });
  Check(result == 0, std::string("QUILM failed with ") + mode.title);
  std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2), times.end());
  out.median_ms = times[times.size() / 2];
  return out;
}

double Coverage(const DepthImage& depth) {
  const auto filled = std::count_if(depth.pixels.begin(), depth.pixels.end(),
                                    [](std::uint16_t d) { return d != 0; });
  return 100.0 * static_cast<double>(filled) / static_cast<double>(depth.pixels.size());
}

// The engine carries the point-cloud export; it is loaded with the same
// calibration and the same switches as the facade that registered the frame.
void WritePointCloud(const std::string& calibration, CalibrationFormat format,
                     const DepthImage& registered, const ColorImage& color, const std::string& path) {
  DepthToColorImpl engine;
  quilm_tools::LoadCalibration(engine, calibration, format, nullptr);
  engine.EnableDistortion(kPointCloudMode.distortion);
  int result = 0;
  const std::string text = quilm_tools::CaptureLibraryOutput([&] {
    result = engine.DumpColoredPCL(registered.pixels.data(), color.rgb.data(), registered.width,
                                   registered.height, path.c_str());
  });
  Check(result == 0, "cannot write point cloud '" + path + "': " + quilm_tools::OneLine(text));
}

int Run(const std::string& out_dir) {
  MakeDirectory(out_dir);
  const SW_QUILM calibration = quilm_demo::SampleCalibration();
  const std::string text_path = Join(out_dir, "sample_calibration.txt");
  const std::string image_path = Join(out_dir, "sample_calibration.bin");
  quilm_tools::WriteParameterText(text_path, calibration);
  quilm_tools::WriteCalibrationImage(image_path, calibration);
  std::printf("Sample calibration: depth %dx%d, colour %dx%d, colour camera %.1f mm beside the depth camera\n",
              quilm_demo::kDepthWidth, quilm_demo::kDepthHeight, quilm_demo::kColorWidth,
              quilm_demo::kColorHeight, -static_cast<double>(calibration.quilm_t[0]));
  std::printf("  written as %s and %s\n", text_path.c_str(), image_path.c_str());

  const quilm_demo::SampleFrame frame = quilm_demo::RenderSampleFrame(calibration);
  quilm_tools::WriteDepthPng(Join(out_dir, "input_depth.png"), frame.depth);
  quilm_tools::WriteColorPng(Join(out_dir, "input_color.png"), frame.color);
  std::printf("Sample frame: %s, %s\n", Join(out_dir, "input_depth.png").c_str(),
              Join(out_dir, "input_color.png").c_str());

  DepthToColor from_text;
  DepthToColor from_image;
  quilm_tools::LoadCalibration(from_text, text_path, CalibrationFormat::kText, nullptr);
  quilm_tools::LoadCalibration(from_image, image_path, CalibrationFormat::kImage, nullptr);
  std::printf("Registration library %s, calibration loaded from the text file and from the image\n",
              from_text.GetVersion());
  for (DepthToColor* engine : {&from_text, &from_image}) {
    Check(engine->PrepareDepthResolution(frame.depth.width, frame.depth.height),
          "cannot prepare the depth resolution");
  }

  const quilm_tools::DepthScale scale = quilm_tools::ChooseDepthScale(frame.depth);
  std::printf("\n%-30s %12s %12s\n", "mode", "ms/frame", "coverage");
  bool identical = true;
  DepthImage cloud_depth;
  for (const Mode& mode : kModes) {
    const Registered by_text = Register(from_text, mode, frame.depth);
    const Registered by_image = Register(from_image, mode, frame.depth);
    identical = identical && by_text.depth.pixels == by_image.depth.pixels;
    std::printf("%-30s %12.2f %11.1f%%\n", mode.title, by_image.median_ms, Coverage(by_image.depth));

    const std::string name = mode.name;
    quilm_tools::WriteDepthPng(Join(out_dir, "registered_" + name + ".png"), by_image.depth);
    quilm_tools::WriteColorPng(Join(out_dir, "view_" + name + ".png"),
                               quilm_tools::ComposeView(frame.depth, by_image.depth, &frame.color, scale, 1.0f));
    if (&mode == &kPointCloudMode) cloud_depth = by_image.depth;
  }
  std::printf("(median of %d frames; coverage: share of colour pixels that received depth)\n", kTimedFrames);

  const std::string cloud_path = Join(out_dir, "cloud.ply");
  const std::string cloud_check_path = Join(out_dir, "cloud_from_text.ply");
  WritePointCloud(image_path, CalibrationFormat::kImage, cloud_depth, frame.color, cloud_path);
  WritePointCloud(text_path, CalibrationFormat::kText, cloud_depth, frame.color, cloud_check_path);
  identical = identical && ReadWholeFile(cloud_path) == ReadWholeFile(cloud_check_path);
  std::remove(cloud_check_path.c_str());
  std::printf("\nPoint cloud (%s): %s\n", kPointCloudMode.title, cloud_path.c_str());
  std::printf("Pictures: %s/view_*.png (left: registered depth over the colour image; right: input depth)\n",
              out_dir.c_str());

  std::printf("Text file and calibration image give identical output: %s\n", identical ? "yes" : "NO");
  return identical ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fprintf(argc == 2 ? stdout : stderr, "usage: %s OUT_DIR\n", argv[0]);
    return argc == 2 ? 0 : 2;
  }
  try {
    return Run(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quilm_demo: %s\n", e.what());
    return 1;
  }
}
