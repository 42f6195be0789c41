#include "library_output.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace quilm_tools {

LibraryOutput::LibraryOutput() {
  std::fflush(stdout);
  std::fflush(stderr);
  std::FILE* tmp = std::tmpfile();
  if (!tmp) return;  // no capture: the library's text goes where it always goes
  capture_fd_ = dup(fileno(tmp));
  std::fclose(tmp);  // the duplicate keeps the unlinked file open
  saved_stdout_ = dup(STDOUT_FILENO);
  saved_stderr_ = dup(STDERR_FILENO);
  if (capture_fd_ < 0 || saved_stdout_ < 0 || saved_stderr_ < 0 ||
      dup2(capture_fd_, STDOUT_FILENO) < 0 || dup2(capture_fd_, STDERR_FILENO) < 0) {
    Restore();
  }
}

LibraryOutput::~LibraryOutput() {
  Restore();
  if (capture_fd_ >= 0) close(capture_fd_);
}

void LibraryOutput::Restore() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (saved_stdout_ >= 0) {
    dup2(saved_stdout_, STDOUT_FILENO);
    close(saved_stdout_);
    saved_stdout_ = -1;
  }
  if (saved_stderr_ >= 0) {
    dup2(saved_stderr_, STDERR_FILENO);
    close(saved_stderr_);
    saved_stderr_ = -1;
  }
}

std::string LibraryOutput::Finish() {
  Restore();
  std::string text;
  if (capture_fd_ < 0) return text;
  if (lseek(capture_fd_, 0, SEEK_SET) == 0) {
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(capture_fd_, buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    }
  }
  close(capture_fd_);
  capture_fd_ = -1;
  return text;
}

std::string OneLine(const std::string& text) {
  std::string out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    std::size_t first = line.find_first_not_of(' ');
    if (first != std::string::npos) {
      if (!out.empty()) out += "; ";
      out += line.substr(first);
    }
    start = end + 1;
  }
  return out;
}

}  // namespace quilm_tools
