// Calibration files of the registration programs: the parameter text file
// and the 6188-byte calibration image, written from a SW_QUILM record,
// recognised by content and loaded into an engine with clear refusals.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "depth_to_color.h"
#include "library_output.h"
#include "nerrit.h"

namespace quilm_tools {

class CalibrationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Size of a calibration image, and where in it the SW_QUILM record starts
// (its last 120 bytes).
constexpr long kCalibrationImageSize = 6188;
constexpr long kCalibrationRecordOffset = kCalibrationImageSize - static_cast<long>(sizeof(SW_QUILM));

enum class CalibrationFormat { kAuto, kText, kImage };

// Writes the record as a parameter text file: six labelled blocks (depth and
// colour intrinsic matrices, rotation, translation in mm, depth and colour
// lens coefficients k1 k2 k3 p1 p2), each number with nine significant
// digits so that it reads back as the same float.
void WriteParameterText(const std::string& path, const SW_QUILM& record);

// Writes a 6188-byte calibration image whose last 120 bytes are the record
// as little-endian floats; the bytes before it are zero.
void WriteCalibrationImage(const std::string& path, const SW_QUILM& record);

// kText or kImage from the file's content: a 6188-byte file that is not
// plain text is a calibration image, a plain text file is a parameter text
// file; anything else is refused.
CalibrationFormat DetectCalibrationFormat(const std::string& path);

// Why the record cannot serve as a calibration (a value that is not finite,
// a focal length too small to divide by), or nullopt when it can.  The
// record load of the library takes any values; a calibration image read
// from a damaged file must not reach it unchecked.
std::optional<std::string> UnusableRecordReason(const SW_QUILM& record);

// Reads a calibration image through libnerrit and checks its values.
SW_QUILM ReadCalibrationImage(const std::string& path);

// Loads the calibration at path into engine (a DepthToColor or a
// DepthToColorImpl).  The library's own messages are captured and returned
// in library_text; a refusal throws CalibrationError naming the file and
// carrying the library's reason.
template <typename Engine>
void LoadCalibration(Engine& engine, const std::string& path, CalibrationFormat format,
                     std::string* library_text) {
  if (format == CalibrationFormat::kAuto) format = DetectCalibrationFormat(path);
  bool loaded = false;
  std::string text;
  if (format == CalibrationFormat::kText) {
    text = CaptureLibraryOutput([&] { loaded = engine.LoadParameters(path.c_str()); });
    if (!loaded) {
      throw CalibrationError("cannot load parameter text file '" + path + "': " + OneLine(text));
    }
  } else {
    const SW_QUILM record = ReadCalibrationImage(path);
    text = CaptureLibraryOutput([&] { loaded = engine.LoadParameters(&record); });
    if (!loaded) throw CalibrationError("cannot load calibration image '" + path + "'");
  }
  if (library_text) *library_text += text;
}

}  // namespace quilm_tools
