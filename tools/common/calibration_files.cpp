#include "calibration_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace quilm_tools {
namespace {

// A parameter text file is a few hundred bytes; anything far larger is
// not one, and is not read into memory whole.
constexpr std::size_t kMaxParameterTextSize = 1 << 20;

std::string Number(float v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(v));
  return buffer;
}

std::string IntrinsicMatrixLines(const float intr[4]) {
  const float fx = intr[0], fy = intr[1], cx = intr[2], cy = intr[3];
  return Number(fx) + " 0 " + Number(cx) + "\n0 " + Number(fy) + " " + Number(cy) + "\n0 0 1\n";
}

std::string NumberLine(const float* values, int count) {
  std::string line;
  for (int i = 0; i < count; ++i) line += (i ? " " : "") + Number(values[i]);
  return line + "\n";
}

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw CalibrationError("cannot create '" + path + "': " + std::strerror(errno));
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) std::remove(path.c_str());
    throw CalibrationError("cannot write '" + path + "': " + std::strerror(errno));
  }
}

bool IsPlainText(const std::vector<char>& bytes) {
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    const bool blank = c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
    if (!blank && (c < 0x20 || c >= 0x7F)) return false;
  }
  return true;
}

}  // namespace

void WriteParameterText(const std::string& path, const SW_QUILM& r) {
  std::string text;
  text += "depth camera intrinsic matrix\n" + IntrinsicMatrixLines(r.d_intr_p);
  text += "color camera intrinsic matrix\n" + IntrinsicMatrixLines(r.c_intr_p);
  text += "rotation from depth to color\n";
  for (int row = 0; row < 3; ++row) text += NumberLine(&r.quilm_r[row * 3], 3);
  text += "translation from depth to color (mm)\n" + NumberLine(r.quilm_t, 3);
  text += "depth lens distortion k1 k2 k3 p1 p2\n" + NumberLine(r.d_k, 5);
  text += "color lens distortion k1 k2 k3 p1 p2\n" + NumberLine(r.c_k, 5);
  WriteWhole(path, text);
}

void WriteCalibrationImage(const std::string& path, const SW_QUILM& record) {
  std::string bytes(static_cast<std::size_t>(kCalibrationImageSize), '\0');
  float values[sizeof(SW_QUILM) / sizeof(float)];
  std::memcpy(values, &record, sizeof values);
  std::size_t at = static_cast<std::size_t>(kCalibrationRecordOffset);
  for (float v : values) {
    std::uint32_t word = 0;
    std::memcpy(&word, &v, sizeof word);
    for (int b = 0; b < 4; ++b) bytes[at++] = static_cast<char>((word >> (8 * b)) & 0xFF);
  }
  WriteWhole(path, bytes);
}

CalibrationFormat DetectCalibrationFormat(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CalibrationError("cannot open '" + path + "': " + std::strerror(errno));
  std::vector<char> bytes;
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.insert(bytes.end(), buffer, buffer + in.gcount());
    if (bytes.size() > kMaxParameterTextSize) break;
  }
  if (IsPlainText(bytes) && bytes.size() <= kMaxParameterTextSize) return CalibrationFormat::kText;
  if (bytes.size() == static_cast<std::size_t>(kCalibrationImageSize)) return CalibrationFormat::kImage;
  throw CalibrationError("'" + path + "' is neither a parameter text file nor a " +
                         std::to_string(kCalibrationImageSize) + "-byte calibration image (" +
                         std::to_string(bytes.size()) + (bytes.size() > kMaxParameterTextSize ? "+" : "") +
                         " bytes of binary data)");
}

std::optional<std::string> UnusableRecordReason(const SW_QUILM& r) {
  float values[sizeof(SW_QUILM) / sizeof(float)];
  std::memcpy(values, &r, sizeof values);
  for (float v : values) {
    if (!std::isfinite(v)) return std::string("it holds a value that is not a finite number");
  }
  // The same bound the library applies to a parameter text file.
  if (std::fabs(r.d_intr_p[0]) < 1e-6f || std::fabs(r.d_intr_p[1]) < 1e-6f) {
    return std::string("Too small depth focal length");
  }
  if (std::fabs(r.c_intr_p[0]) < 1e-6f || std::fabs(r.c_intr_p[1]) < 1e-6f) {
    return std::string("Too small color focal length");
  }
  return std::nullopt;
}

SW_QUILM ReadCalibrationImage(const std::string& path) {
  SW_QUILM record{};
  Nerrit reader;
  int result = 0;
  const std::string text = CaptureLibraryOutput(
      [&] { result = reader.parse_bin_to_params(path.c_str(), &record); });
  if (result != 0) {
    throw CalibrationError("cannot read calibration image '" + path + "': " + OneLine(text));
  }
  if (auto reason = UnusableRecordReason(record)) {
    throw CalibrationError("calibration image '" + path + "' is unusable: " + *reason);
  }
  return record;
}

}  // namespace quilm_tools
