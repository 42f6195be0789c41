#include "progress.h"

#include <algorithm>
#include <cstdio>

namespace dorvakctl {
namespace {
constexpr int kBarWidth = 40;
}  // namespace

void ProgressBar::Show(const std::string& stage, double fraction) {
  if (!enabled_) return;
  const int percent = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100.0);
  // A mark is 2.5 %: redrawn when one is added, so that a log of the bar
  // stays short.
  if (drawn_ && stage == stage_ && percent * kBarWidth / 100 == percent_ * kBarWidth / 100) return;
  if (drawn_ && stage != stage_) std::fputc('\n', stderr);  // each stage keeps its own line
  stage_ = stage;
  percent_ = percent;
  const int filled = percent * kBarWidth / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '-');
  std::fprintf(stderr, "\r%-10s [%s] %3d%%", stage.c_str(), bar.c_str(), percent);
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressBar::Finish() {
  if (!drawn_) return;
  std::fputc('\n', stderr);
  std::fflush(stderr);
  drawn_ = false;
  percent_ = -1;
}

}  // namespace dorvakctl
