// The frames one run of quilm-register works on: given one by one on the
// command line, found in a directory by their names, or read from a list.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace quilm_register {

class FrameSetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Frame {
  std::string depth;  // path of the depth image
  std::string color;  // path of the colour image, empty if the frame has none
  std::string stem;   // base of the output file names
};

// "scan_007_depth.png" and "scan_007.png" both give "scan_007".
std::string StemOf(const std::string& depth_path);

// One frame from explicit paths.
Frame SingleFrame(const std::string& depth, const std::string& color);

// Every NAME_depth.png in dir (and NAME_depth.raw when raw frames are
// accepted), sorted by name, each with NAME_color.png, .jpg or .jpeg of the
// same directory as its colour image when one exists.
std::vector<Frame> FramesInDirectory(const std::string& dir, bool accept_raw);

// A list file: one frame per line, "DEPTH [COLOR]" separated by blanks;
// blank lines and lines starting with '#' are skipped; relative paths are
// taken from the list file's directory.
std::vector<Frame> FramesFromList(const std::string& list_path);

// Refuses two frames that would write to the same output names.
void CheckDistinctStems(const std::vector<Frame>& frames);

}  // namespace quilm_register
