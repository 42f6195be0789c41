// quilm-register: registers recorded depth frames onto the colour camera's
// pixel grid with the registration library, one engine for the whole run.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "calibration_files.h"
#include "depth_to_color_impl.h"
#include "false_color.h"
#include "frames.h"
#include "image_io.h"
#include "library_output.h"
#include "progress.h"

namespace {

namespace fs = std::filesystem;
using quilm_register::Frame;
using quilm_register::ProgressBar;
using quilm_tools::CalibrationFormat;
using quilm_tools::ColorImage;
using quilm_tools::DepthImage;
using quilm_tools::ImageSize;

constexpr const char* kProgram = "quilm-register";

// Exit statuses, for scripts.
enum ExitStatus : int {
  kExitOk = 0,            // every frame registered and written
  kExitFrameFailed = 1,   // at least one frame failed; the others were written
  kExitUsage = 2,         // the command line is wrong
  kExitCalibration = 3,   // the calibration cannot be loaded
  kExitFrameSet = 4,      // no frames to work on, or the output folder is unusable
};

constexpr const char* kExitStatusHelp =
    "Exit status: 0 all frames written; 1 some frame failed (the others were written);\n"
    "2 wrong command line; 3 calibration cannot be loaded; 4 no frames found, frame list\n"
    "unreadable or output folder unusable.";

constexpr const char* kOutputNamesHelp =
    "Outputs, in --out-dir, named after each frame (NAME from NAME_depth.png or NAME.png):\n"
    "NAME_registered.png (16-bit depth on the colour grid), NAME.ply (--ply), NAME_view.png\n"
    "(--picture). With --dir, frames are the files NAME_depth.png (and NAME_depth.raw with\n"
    "--raw-size), each with NAME_color.png, .jpg or .jpeg beside it as its colour image.";

struct FormatName {
  const char* name;
  CalibrationFormat format;
};
constexpr FormatName kFormatNames[] = {
    {"auto", CalibrationFormat::kAuto},
    {"text", CalibrationFormat::kText},
    {"image", CalibrationFormat::kImage},
};

struct Options {
  std::string calib;
  std::string calib_format_name = "auto";
  CalibrationFormat calib_format = CalibrationFormat::kAuto;
  std::string depth;
  std::string color;
  std::string dir;
  std::string list;
  std::string raw_size_text;
  std::string size_text;
  std::string out_dir = ".";
  bool distortion = false;
  bool gap_fill = false;
  std::optional<float> depth_unit;
  std::optional<float> min_depth;
  std::optional<float> max_depth;
  bool ply = false;
  bool picture = false;
  bool progress = false;
  bool quiet = false;
  bool verbose = false;

  std::optional<ImageSize> raw_size;
  std::optional<ImageSize> size;
};

std::vector<std::string> FormatNameList() {
  std::vector<std::string> names;
  for (const FormatName& f : kFormatNames) names.emplace_back(f.name);
  return names;
}

CLI::Validator ImageSizeValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        return quilm_tools::ParseImageSize(text) ? "" : "expected WIDTHxHEIGHT such as 640x480, got '" + text + "'";
      },
      "");
}

// Accepts a finite number (above zero when positive is set).
CLI::Validator NumberValidator(bool positive) {
  return CLI::Validator(
      [positive](std::string& text) -> std::string {
        try {
          std::size_t used = 0;
          const float v = std::stof(text, &used);
          if (used == text.size() && std::isfinite(v) && (!positive || v > 0)) return "";
        } catch (const std::exception&) {
        }
        return std::string(positive ? "expected a number above 0" : "expected a finite number") + ", got '" +
               text + "'";
      },
      "");
}

void Describe(CLI::App& app, Options& o) {
  app.description(
      "Registers recorded depth frames onto the colour camera's pixel grid: each output pixel holds "
      "the depth of the surface the colour camera sees there, or 0.");
  app.footer(std::string(kOutputNamesHelp) + "\n\n" + kExitStatusHelp);

  app.add_option("-c,--calib", o.calib,
                 "Calibration: a parameter text file or a 6188-byte calibration image")
      ->required()
      ->type_name("FILE");
  app.add_option("--calib-format", o.calib_format_name, "How to read --calib: auto (by content), text or image")
      ->check(CLI::IsMember(FormatNameList()))
      ->type_name("FORMAT")
      ->capture_default_str();

  auto* inputs = app.add_option_group("Frames", "Exactly one of --depth, --dir and --list");
  auto* depth = inputs->add_option("--depth", o.depth, "Depth image of one frame: 16-bit PNG, or raw with --raw-size")
                    ->type_name("FILE");
  inputs->add_option("--dir", o.dir, "Directory of frames NAME_depth.png [+ NAME_color.png/.jpg]")->type_name("DIR");
  inputs->add_option("--list", o.list, "List file: one frame per line, 'DEPTH [COLOR]'; '#' starts a comment")
      ->type_name("FILE");
  inputs->require_option(1);
  app.add_option("--color", o.color, "Colour image of the --depth frame (PNG or JPEG)")->needs(depth)->type_name("FILE");

  app.add_option("--raw-size", o.raw_size_text, "Depth files that are not PNG are raw little-endian 16-bit of this size")
      ->check(ImageSizeValidator())
      ->type_name("WxH");
  app.add_option("--size", o.size_text,
                 "Size of the registered image for frames without a colour image (default: the depth image's)")
      ->check(ImageSizeValidator())
      ->type_name("WxH");

  app.add_flag("--distortion", o.distortion, "Model the lens distortion of both cameras");
  app.add_flag("--gap-fill", o.gap_fill, "Fill one-pixel holes (each point fills a 2x2 block, nearest wins)");
  app.add_option("--depth-unit", o.depth_unit, "Millimetres per depth value (default 1)")
      ->check(NumberValidator(true))
      ->type_name("MM");
  app.add_option("--min-depth", o.min_depth, "Nearest depth kept, in mm (default 0)")
      ->check(NumberValidator(false))
      ->type_name("MM");
  app.add_option("--max-depth", o.max_depth, "Farthest depth kept, in mm (default: no limit)")
      ->check(NumberValidator(false))
      ->type_name("MM");

  app.add_option("-o,--out-dir", o.out_dir, "Folder for the outputs, created if missing")
      ->type_name("DIR")
      ->capture_default_str();
  app.add_flag("--ply", o.ply, "Also write the coloured point cloud NAME.ply (needs colour images)");
  app.add_flag("--picture", o.picture, "Also write NAME_view.png: registered depth over the colour image, beside the input depth");

  auto* progress = app.add_flag("--progress", o.progress, "Show the progress bar also when standard error is not a terminal");
  app.add_flag("-q,--quiet", o.quiet, "No progress bar and no summary line")->excludes(progress);
  app.add_flag("-v,--verbose", o.verbose, "Also show the library's own messages and a line per frame");
}

// Checks that need several options together; returns the reason or "".
std::string CheckCombinations(Options& o) {
  for (const FormatName& f : kFormatNames) {
    if (o.calib_format_name == f.name) o.calib_format = f.format;
  }
  if (!o.raw_size_text.empty()) o.raw_size = quilm_tools::ParseImageSize(o.raw_size_text);
  if (!o.size_text.empty()) o.size = quilm_tools::ParseImageSize(o.size_text);
  const float lo = o.min_depth.value_or(0.0f);
  const float hi = o.max_depth.value_or(std::numeric_limits<float>::max());
  if (!(lo < hi)) return "--min-depth must be below --max-depth";
  return "";
}

// ---- the run ------------------------------------------------------------

class Registrar {
 public:
  explicit Registrar(const Options& o) : options_(o) {}

  // Loads the calibration and sets the switches; throws CalibrationError.
  void Setup() {
    quilm_tools::LoadCalibration(engine_, options_.calib, options_.calib_format, &library_text_);
    engine_.EnableDistortion(options_.distortion);
    engine_.EnableDepthGapFill(options_.gap_fill);
    if (options_.depth_unit) engine_.SetDepthUnit(*options_.depth_unit);
    if (options_.min_depth || options_.max_depth) {
      engine_.SetDepthRange(options_.min_depth.value_or(0.0f),
                            options_.max_depth.value_or(std::numeric_limits<float>::max()));
    }
  }

  // Registers one frame and writes its outputs; throws on failure.
  void Process(const Frame& frame) {
    const DepthImage depth = quilm_tools::ReadDepthImage(frame.depth, options_.raw_size);
    std::optional<ColorImage> color;
    if (!frame.color.empty()) color = quilm_tools::ReadColorImage(frame.color);
    const ImageSize out_size = RegisteredSize(depth, color);

    Prepare(depth.width, depth.height);
    DepthImage registered(out_size.width, out_size.height);
    int result = 0;
    const auto start = std::chrono::steady_clock::now();
    const std::string text = quilm_tools::CaptureLibraryOutput([&] {
      result = engine_.QUILM(depth.pixels.data(), depth.width, depth.height, registered.pixels.data(),
                             registered.width, registered.height);
    });
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    library_text_ += text;
    if (result != 0) throw std::runtime_error("registration failed: " + quilm_tools::OneLine(text));

    quilm_tools::WriteDepthPng(OutputPath(frame, "_registered.png"), registered);
    if (options_.ply) WritePly(frame, registered, *color);
    if (options_.picture) {
      quilm_tools::WriteColorPng(
          OutputPath(frame, "_view.png"),
          quilm_tools::ComposeView(depth, registered, color ? &*color : nullptr,
                                   quilm_tools::ChooseDepthScale(depth), options_.depth_unit.value_or(1.0f)));
    }
    char note[160];
    std::snprintf(note, sizeof note, "%s: %dx%d -> %dx%d, %.2f ms", frame.stem.c_str(), depth.width, depth.height,
                  out_size.width, out_size.height, elapsed.count());
    last_frame_note_ = note;
  }

  // The library's messages since the last call.
  std::string TakeLibraryText() { return std::exchange(library_text_, std::string()); }
  const std::string& LastFrameNote() const { return last_frame_note_; }

 private:
  ImageSize RegisteredSize(const DepthImage& depth, const std::optional<ColorImage>& color) const {
    if (!color) return options_.size.value_or(ImageSize{depth.width, depth.height});
    if (options_.size && (options_.size->width != color->width || options_.size->height != color->height)) {
      throw std::runtime_error("the colour image is " + std::to_string(color->width) + "x" +
                               std::to_string(color->height) + ", not the --size " + options_.size_text);
    }
    return ImageSize{color->width, color->height};
  }

  // Each depth resolution is prepared once per run.
  void Prepare(int width, int height) {
    if (!prepared_.insert({width, height}).second) return;
    library_text_ += quilm_tools::CaptureLibraryOutput([&] { engine_.PrepareDepthResolution(width, height); });
  }

  void WritePly(const Frame& frame, const DepthImage& registered, const ColorImage& color) {
    const std::string path = OutputPath(frame, ".ply");
    int result = 0;
    const std::string text = quilm_tools::CaptureLibraryOutput([&] {
      result = engine_.DumpColoredPCL(registered.pixels.data(), color.rgb.data(), registered.width,
                                      registered.height, path.c_str());
    });
    library_text_ += text;
    if (result != 0) throw std::runtime_error("cannot write '" + path + "': " + quilm_tools::OneLine(text));
  }

  std::string OutputPath(const Frame& frame, const char* suffix) const {
    return (fs::path(options_.out_dir) / (frame.stem + suffix)).string();
  }

  const Options& options_;
  DepthToColorImpl engine_;
  std::set<std::pair<int, int>> prepared_;
  std::string library_text_;
  std::string last_frame_note_;
};

std::vector<Frame> CollectFrames(const Options& o) {
  std::vector<Frame> frames;
  if (!o.depth.empty()) frames.push_back(quilm_register::SingleFrame(o.depth, o.color));
  if (!o.dir.empty()) frames = quilm_register::FramesInDirectory(o.dir, o.raw_size.has_value());
  if (!o.list.empty()) frames = quilm_register::FramesFromList(o.list);
  if (frames.empty()) {
    throw quilm_register::FrameSetError(o.dir.empty() ? "the frame list '" + o.list + "' names no frame"
                                                      : "no frames (NAME_depth.png) in '" + o.dir + "'");
  }
  quilm_register::CheckDistinctStems(frames);
  return frames;
}

// The point cloud takes its colours from the colour image.
std::string FrameWithoutColor(const std::vector<Frame>& frames) {
  for (const Frame& f : frames) {
    if (f.color.empty()) return f.depth;
  }
  return "";
}

void Fail(const std::string& message) { std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str()); }

int Run(Options& o) {
  if (const std::string reason = CheckCombinations(o); !reason.empty()) {
    Fail(reason);
    return kExitUsage;
  }

  std::vector<Frame> frames;
  try {
    frames = CollectFrames(o);
  } catch (const quilm_register::FrameSetError& e) {
    Fail(e.what());
    return kExitFrameSet;
  }
  if (o.ply) {
    if (const std::string lacking = FrameWithoutColor(frames); !lacking.empty()) {
      Fail("--ply needs a colour image for every frame; '" + lacking + "' has none");
      return kExitUsage;
    }
  }

  Registrar registrar(o);
  try {
    registrar.Setup();
  } catch (const std::exception& e) {
    Fail(e.what());
    return kExitCalibration;
  }
  if (o.verbose) std::fputs(registrar.TakeLibraryText().c_str(), stderr);

  std::error_code ec;
  fs::create_directories(o.out_dir, ec);
  if (!fs::is_directory(o.out_dir)) {
    Fail("cannot create output folder '" + o.out_dir + "'" + (ec ? ": " + ec.message() : ""));
    return kExitFrameSet;
  }

  const int total = static_cast<int>(frames.size());
  ProgressBar bar(total, !o.quiet && (o.progress || isatty(STDERR_FILENO)));
  int failed = 0;
  for (int i = 0; i < total; ++i) {
    const Frame& frame = frames[static_cast<std::size_t>(i)];
    bar.Show(i, frame.stem);
    try {
      registrar.Process(frame);
      if (o.verbose) bar.Message(registrar.TakeLibraryText() + registrar.LastFrameNote());
    } catch (const std::exception& e) {
      ++failed;
      registrar.TakeLibraryText();
      bar.Message(std::string(kProgram) + ": frame '" + frame.depth + "': " + e.what());
    }
  }
  bar.Show(total, "done");
  bar.Finish();

  if (!o.quiet) {
    std::printf("registered %d of %d frame%s into %s\n", total - failed, total, total == 1 ? "" : "s",
                o.out_dir.c_str());
  }
  return failed == 0 ? kExitOk : kExitFrameFailed;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"", kProgram};
  Options options;
  Describe(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    Fail(e.what());
    std::fprintf(stderr, "Run '%s --help' for the options.\n", kProgram);
    return kExitUsage;
  }
  try {
    return Run(options);
  } catch (const std::exception& e) {
    Fail(e.what());
    return kExitFrameFailed;
  }
}
