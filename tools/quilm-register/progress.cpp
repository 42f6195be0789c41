#include "progress.h"

#include <algorithm>
#include <cstdio>

namespace quilm_register {
namespace {
constexpr int kBarWidth = 30;
constexpr std::size_t kMaxLabel = 40;
}  // namespace

void ProgressBar::Show(int done, const std::string& label) {
  done_ = done;
  label_ = label.size() > kMaxLabel ? "..." + label.substr(label.size() - (kMaxLabel - 3)) : label;
  if (enabled_) Draw();
}

void ProgressBar::Message(const std::string& text) {
  if (drawn_) Erase();
  std::fprintf(stderr, "%s\n", text.c_str());
  if (drawn_) Draw();
}

void ProgressBar::Finish() {
  if (!drawn_) return;
  std::fputc('\n', stderr);
  std::fflush(stderr);
  drawn_ = false;
}

void ProgressBar::Erase() {
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(drawn_width_), "");
}

void ProgressBar::Draw() {
  const int filled = total_ > 0 ? done_ * kBarWidth / total_ : kBarWidth;
  std::string line = "\r[";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(kBarWidth - filled), '-');
  char counts[48];
  std::snprintf(counts, sizeof counts, "] %d/%d ", done_, total_);
  line += counts;
  line += label_;
  // Pad over what a longer earlier line left behind.
  const std::size_t width = line.size() - 1;
  if (width < drawn_width_) line.append(drawn_width_ - width, ' ');
  drawn_width_ = std::max(width, drawn_width_);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace quilm_register
