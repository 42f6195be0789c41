// Calibration blob reader: cuts the SW_QUILM record out of the camera's
// 6188-byte calibration image, held in memory or in a file.
#ifndef NERRIT_H
#define NERRIT_H

#include "depth_to_color.h"

#if defined(_WIN32)
#if defined(NERRIT_BUILDING)
#define NERRIT_API __declspec(dllexport)
#else
#define NERRIT_API __declspec(dllimport)
#endif
#else
#define NERRIT_API __attribute__((visibility("default")))
#endif

// Stateless: any instance, or a temporary one, serves.
class NERRIT_API Nerrit {
 public:
  Nerrit();

  // Size in bytes of a calibration image: 6188.
  int getDataSize();

  // Copies the record from the last 120 bytes of a whole image in memory
  // (at least getDataSize() bytes). Always returns 0.
  int parse_buffer_to_params(const char* buffer, SW_QUILM* params);

  // Reads the image from a file and copies its record. Returns 0 on
  // success; -1 with a message when the file cannot be opened or holds
  // fewer than getDataSize() bytes, and the record is then left untouched.
  int parse_bin_to_params(const char* path, SW_QUILM* params);
};

#endif  // NERRIT_H
