#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace dorvakctl {
namespace {
constexpr int kBarWidth = 40;  // one mark is 2.5 %
}  // namespace

ProgressBar::ProgressBar(bool enabled) : enabled_(enabled), terminal_(isatty(STDERR_FILENO) == 1) {}

void ProgressBar::Show(const std::string& stage, double fraction) {
  if (!enabled_) return;
  if (drawn_ && stage != stage_) Finish();
  const int percent = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100.0);
  const int marks = percent * kBarWidth / 100;
  if (!drawn_) {
    stage_ = stage;
    marks_ = 0;
    drawn_ = true;
    if (!terminal_) std::fprintf(stderr, "%-10s [", stage_.c_str());
  } else if (marks <= marks_ && (!terminal_ || percent == percent_)) {
    return;
  }
  percent_ = percent;
  if (terminal_) {
    marks_ = marks;
    Redraw();
  } else {
    Append(marks);
  }
  std::fflush(stderr);
}

void ProgressBar::Redraw() {
  std::string bar(static_cast<size_t>(marks_), '#');
  bar.append(static_cast<size_t>(kBarWidth - marks_), '-');
  std::fprintf(stderr, "\r%-10s [%s] %3d%%", stage_.c_str(), bar.c_str(), percent_);
}

void ProgressBar::Append(int marks) {
  for (; marks_ < marks; ++marks_) std::fputc('#', stderr);
}

void ProgressBar::Finish() {
  if (!drawn_) return;
  // A log line shows where the stage stopped.
  if (!terminal_) std::fprintf(stderr, "%*s] %3d%%", kBarWidth - marks_, "", percent_);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace dorvakctl
