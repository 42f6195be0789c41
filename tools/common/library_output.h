// The registration library writes its diagnostics straight to standard
// output and standard error: a 40-line parameter dump on every record load,
// a timing line on every frame, refusals without a line end.  A program
// that has its own output (a progress bar, a summary a script reads) keeps
// them apart with LibraryOutput: while one is alive, file descriptors 1 and
// 2 go to a temporary file, and Finish() hands back what was written there.
#pragma once

#include <string>

namespace quilm_tools {

class LibraryOutput {
 public:
  LibraryOutput();
  ~LibraryOutput();
  LibraryOutput(const LibraryOutput&) = delete;
  LibraryOutput& operator=(const LibraryOutput&) = delete;

  // Restores both descriptors and returns the text captured so far; later
  // calls return an empty string.
  std::string Finish();

 private:
  void Restore();

  int saved_stdout_ = -1;
  int saved_stderr_ = -1;
  int capture_fd_ = -1;
};

// Runs fn with the library's output captured; returns that output.
template <typename Fn>
std::string CaptureLibraryOutput(Fn&& fn) {
  LibraryOutput capture;
  fn();
  return capture.Finish();
}

// The captured text as one line for a message: line ends folded into "; ",
// leading and trailing blanks removed.
std::string OneLine(const std::string& text);

}  // namespace quilm_tools
