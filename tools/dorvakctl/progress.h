// A one-line progress bar on standard error, redrawn in place.
#pragma once

#include <string>

namespace dorvakctl {

class ProgressBar {
 public:
  explicit ProgressBar(bool enabled) : enabled_(enabled) {}
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Shows `fraction` (0 to 1) of the work done under `stage`; redraws only
  // when what is shown changes.  A new stage starts a new line.
  void Show(const std::string& stage, double fraction);
  // Ends the bar's line; a later Show starts a new one.
  void Finish();

 private:
  bool enabled_;
  bool drawn_ = false;
  std::string stage_;
  int percent_ = -1;
};

}  // namespace dorvakctl
