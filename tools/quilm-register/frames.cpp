#include "frames.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

namespace quilm_register {
namespace fs = std::filesystem;

namespace {

constexpr const char* kDepthSuffix = "_depth";
constexpr const char* kColorSuffix = "_color";
// Colour partners are looked for in this order.
constexpr const char* kColorExtensions[] = {".png", ".jpg", ".jpeg"};

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string ColorPartner(const fs::path& dir, const std::string& stem) {
  for (const char* ext : kColorExtensions) {
    const fs::path candidate = dir / (stem + kColorSuffix + ext);
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return candidate.string();
  }
  return {};
}

}  // namespace

std::string StemOf(const std::string& depth_path) {
  std::string stem = fs::path(depth_path).stem().string();
  if (EndsWith(stem, kDepthSuffix) && stem.size() > std::string(kDepthSuffix).size()) {
    stem.resize(stem.size() - std::string(kDepthSuffix).size());
  }
  return stem;
}

Frame SingleFrame(const std::string& depth, const std::string& color) {
  return Frame{depth, color, StemOf(depth)};
}

std::vector<Frame> FramesInDirectory(const std::string& dir, bool accept_raw) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) throw FrameSetError("'" + dir + "' is not a directory");
  std::vector<std::string> depth_files;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (!it->is_regular_file(type_ec)) continue;
    const std::string name = it->path().filename().string();
    if (EndsWith(name, std::string(kDepthSuffix) + ".png") ||
        (accept_raw && EndsWith(name, std::string(kDepthSuffix) + ".raw"))) {
      depth_files.push_back(it->path().string());
    }
  }
  if (ec) throw FrameSetError("cannot read directory '" + dir + "': " + ec.message());
  std::sort(depth_files.begin(), depth_files.end());

  std::vector<Frame> frames;
  for (const std::string& depth : depth_files) {
    const std::string stem = StemOf(depth);
    frames.push_back(Frame{depth, ColorPartner(fs::path(dir), stem), stem});
  }
  return frames;
}

std::vector<Frame> FramesFromList(const std::string& list_path) {
  std::ifstream in(list_path);
  if (!in) throw FrameSetError("cannot open frame list '" + list_path + "'");
  const fs::path base = fs::path(list_path).parent_path();
  auto resolve = [&](const std::string& p) {
    return fs::path(p).is_absolute() ? p : (base / p).string();
  };

  std::vector<Frame> frames;
  std::string line;
  for (int line_no = 1; std::getline(in, line); ++line_no) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream fields(line);
    std::string depth, color, extra;
    if (!(fields >> depth) || depth[0] == '#') continue;
    fields >> color;
    if (fields >> extra) {
      throw FrameSetError(list_path + ":" + std::to_string(line_no) +
                          ": expected 'DEPTH [COLOR]', found more fields");
    }
    frames.push_back(SingleFrame(resolve(depth), color.empty() ? "" : resolve(color)));
  }
  if (in.bad()) throw FrameSetError("cannot read frame list '" + list_path + "'");
  return frames;
}

void CheckDistinctStems(const std::vector<Frame>& frames) {
  std::map<std::string, const Frame*> seen;
  for (const Frame& f : frames) {
    auto [it, inserted] = seen.emplace(f.stem, &f);
    if (!inserted) {
      throw FrameSetError("'" + it->second->depth + "' and '" + f.depth +
                          "' would both write the outputs named '" + f.stem + "'");
    }
  }
}

}  // namespace quilm_register
