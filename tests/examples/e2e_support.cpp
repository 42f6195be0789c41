#include "e2e_support.h"

#include <fcntl.h>
#include <omp.h>
#include <png.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <jpeglib.h>

#include "depth_to_color_impl.h"
#include "library_output.h"

extern char** environ;

namespace e2e {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "quilm-e2e-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env) {
  TempDir capture;
  const std::string out_path = capture / "stdout";
  const std::string err_path = capture / "stderr";

  std::vector<std::string> argv_store{program};
  argv_store.insert(argv_store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_store{"OMP_NUM_THREADS=1"};
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "OMP_NUM_THREADS=", 16) != 0) env_store.emplace_back(*e);
  }
  env_store.insert(env_store.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));

  int status = 0;
  waitpid(pid, &status, 0);
  RunResult result;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(out_path);
  result.err = ReadFile(err_path);
  return result;
}

SW_QUILM TestCalibration() {
  return SW_QUILM{
      {60.0f, 60.5f, 32.3f, 23.7f},
      {72.0f, 71.6f, 40.2f, 29.6f},
      {0.999980211f, -0.00211612904f, -0.00592635525f, 0.00209435681f, 0.999991059f,
       -0.00367760332f, 0.00593408477f, 0.00366511871f, 0.999975681f},
      {-25.0f, 0.3f, -0.4f},
      {-0.04f, 0.09f, -0.04f, 0.001f, -0.0008f},
      {0.08f, -0.15f, 0.06f, -0.001f, 0.0006f},
  };
}

quilm_tools::DepthImage TestDepth() {
  quilm_tools::DepthImage depth(64, 48);
  for (int v = 0; v < depth.height; ++v) {
    for (int u = 0; u < depth.width; ++u) {
      std::uint16_t d = static_cast<std::uint16_t>(1500 + 10 * v + 3 * u);  // sloping floor
      if (u >= 20 && u < 36 && v >= 14 && v < 30) d = static_cast<std::uint16_t>(900 + u % 3);  // a box
      if (u >= 56 && v >= 40) d = 4000;                                     // far corner
      if (u == 5 && v >= 10 && v < 20) d = 0;                               // no return
      depth.at(u, v) = d;
    }
  }
  depth.at(0, 0) = 0;
  return depth;
}

quilm_tools::ColorImage TestColor(int width, int height) {
  quilm_tools::ColorImage color(width, height);
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      std::uint8_t* px = color.at(u, v);
      px[0] = static_cast<std::uint8_t>(u * 3);
      px[1] = static_cast<std::uint8_t>(v * 4);
      px[2] = static_cast<std::uint8_t>(u * v);
    }
  }
  return color;
}

namespace {

void Configure(DepthToColorImpl& engine, const SW_QUILM& calibration, const Settings& s) {
  quilm_tools::CaptureLibraryOutput([&] { engine.LoadParameters(&calibration); });
  omp_set_num_threads(1);
  engine.EnableDistortion(s.distortion);
  engine.EnableDepthGapFill(s.gap_fill);
  engine.SetDepthUnit(s.unit_mm);
  engine.SetDepthRange(s.min_mm, s.max_mm);
}

}  // namespace

quilm_tools::DepthImage LibraryRegister(const SW_QUILM& calibration, const Settings& settings,
                                        const quilm_tools::DepthImage& depth, int color_width,
                                        int color_height) {
  DepthToColorImpl engine;
  Configure(engine, calibration, settings);
  engine.PrepareDepthResolution(depth.width, depth.height);
  quilm_tools::DepthImage out(color_width, color_height);
  int result = -1;
  quilm_tools::CaptureLibraryOutput([&] {
    result = engine.QUILM(depth.pixels.data(), depth.width, depth.height, out.pixels.data(), color_width,
                          color_height);
  });
  if (result != 0) throw std::runtime_error("the library refused the test frame");
  return out;
}

std::string LibraryPly(const SW_QUILM& calibration, const Settings& settings,
                       const quilm_tools::DepthImage& registered, const quilm_tools::ColorImage& color,
                       const std::string& scratch_path) {
  DepthToColorImpl engine;
  Configure(engine, calibration, settings);
  if (engine.DumpColoredPCL(registered.pixels.data(), color.rgb.data(), registered.width, registered.height,
                            scratch_path.c_str()) != 0) {
    throw std::runtime_error("the library refused the point cloud");
  }
  return ReadFile(scratch_path);
}

namespace {

struct SimplePng {
  png_image image{};
  std::vector<png_byte> data;
};

SimplePng ReadSimplePng(const std::string& path, png_uint_32 format) {
  SimplePng png;
  png.image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png.image, path.c_str())) {
    throw std::runtime_error("libpng cannot read " + path + ": " + png.image.message);
  }
  png.image.format = format;
  png.data.resize(PNG_IMAGE_SIZE(png.image));
  if (!png_image_finish_read(&png.image, nullptr, png.data.data(), 0, nullptr)) {
    throw std::runtime_error("libpng cannot decode " + path + ": " + png.image.message);
  }
  return png;
}

}  // namespace

quilm_tools::DepthImage ReadGray16Png(const std::string& path) {
  // A 16-bit greyscale file without a gamma chunk is taken as linear, so
  // the values arrive unchanged.
  const SimplePng png = ReadSimplePng(path, PNG_FORMAT_LINEAR_Y);
  quilm_tools::DepthImage out(static_cast<int>(png.image.width), static_cast<int>(png.image.height));
  std::memcpy(out.pixels.data(), png.data.data(), out.pixels.size() * 2);
  return out;
}

quilm_tools::ColorImage ReadRgbPng(const std::string& path) {
  const SimplePng png = ReadSimplePng(path, PNG_FORMAT_RGB);
  quilm_tools::ColorImage out(static_cast<int>(png.image.width), static_cast<int>(png.image.height));
  std::memcpy(out.rgb.data(), png.data.data(), out.rgb.size());
  return out;
}

void WriteJpeg(const std::string& path, const quilm_tools::ColorImage& image, int quality) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot create " + path);
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, f);
  info.image_width = static_cast<JDIMENSION>(image.width);
  info.image_height = static_cast<JDIMENSION>(image.height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(image.at(0, static_cast<int>(info.next_scanline)));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::fclose(f);
}

}  // namespace e2e
