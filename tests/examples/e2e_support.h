// Support for the end-to-end tests of quilm-register and quilm_demo: a
// temporary folder, running a built program as a user would, a small
// calibration and frame, readers that do not share code with the programs,
// and the library's own result for a frame.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "depth_to_color.h"
#include "image_io.h"

namespace e2e {

namespace fs = std::filesystem;

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

struct RunResult {
  int exit_code = -1;  // the exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs program with args (no shell) and the extra environment entries
// ("NAME=value"); one OpenMP thread unless env says otherwise, so that a
// frame's result does not depend on how rows were split between threads.
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {});

// The small sample used by the tests: a 64 x 48 depth camera, an 80 x 60
// colour camera 25 mm beside it with slightly distorting lenses, a floor
// plane with a box in front of it and a few pixels without depth.
SW_QUILM TestCalibration();
quilm_tools::DepthImage TestDepth();
quilm_tools::ColorImage TestColor(int width = 80, int height = 60);

// Library settings of one registration.
struct Settings {
  bool distortion = false;
  bool gap_fill = false;
  float unit_mm = 1.0f;
  float min_mm = 0.0f;
  float max_mm = 3.4028235e38f;
};

// What the library itself produces for the frame, the calibration loaded
// from the record (not from a file), one OpenMP thread.
quilm_tools::DepthImage LibraryRegister(const SW_QUILM& calibration, const Settings& settings,
                                        const quilm_tools::DepthImage& depth, int color_width,
                                        int color_height);
// The library's PLY for a registered frame, as file contents.
std::string LibraryPly(const SW_QUILM& calibration, const Settings& settings,
                       const quilm_tools::DepthImage& registered, const quilm_tools::ColorImage& color,
                       const std::string& scratch_path);

// PNG and JPEG through libpng's simplified API and libjpeg's compressor,
// code paths of their own beside the programs' readers and writers.
quilm_tools::DepthImage ReadGray16Png(const std::string& path);
quilm_tools::ColorImage ReadRgbPng(const std::string& path);
void WriteJpeg(const std::string& path, const quilm_tools::ColorImage& image, int quality = 95);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace e2e
