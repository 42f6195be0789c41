// A one-line progress bar on standard error, redrawn in place.
#pragma once

#include <string>

namespace quilm_register {

class ProgressBar {
 public:
  ProgressBar(int total, bool enabled) : total_(total), enabled_(enabled) {}
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Shows `done` of the total frames, the next one's name beside it.
  void Show(int done, const std::string& label);
  // Prints a message line on standard error without tearing the bar.
  void Message(const std::string& text);
  // Ends the bar's line; later Show calls start a new one.
  void Finish();

 private:
  void Erase();
  void Draw();

  int total_;
  bool enabled_;
  int done_ = 0;
  std::string label_;
  bool drawn_ = false;
  std::size_t drawn_width_ = 0;
};

}  // namespace quilm_register
