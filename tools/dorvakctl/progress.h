// A one-line progress bar per stage on standard error.  On a terminal the
// line is redrawn in place; otherwise (a log, a pipe) marks are appended to
// it as the work goes on, so that the log stays one short line per stage.
#pragma once

#include <string>

namespace dorvakctl {

class ProgressBar {
 public:
  explicit ProgressBar(bool enabled);
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Shows `fraction` (0 to 1) of the work done under `stage`.  A new stage
  // ends the line of the one before and starts its own.
  void Show(const std::string& stage, double fraction);
  // Ends the bar's line; a later Show starts a new one.
  void Finish();

 private:
  void Redraw();
  void Append(int marks);

  bool enabled_;
  bool terminal_;
  bool drawn_ = false;
  std::string stage_;
  int percent_ = 0;
  int marks_ = 0;  // marks shown on the line
};

}  // namespace dorvakctl
