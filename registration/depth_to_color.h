// Registration of depth images onto the colour camera's pixel grid.
//
// Typical use:
//   DepthToColor reg;
//   reg.LoadParameters(&record);              // or a parameter text file
//   reg.EnableDepthGapFill(true);             // optional switches
//   reg.PrepareDepthResolution(640, 480);     // once per depth size
//   reg.QUILM(depth, 640, 480, registered, 640, 480);   // once per frame
#ifndef DEPTH_TO_COLOR_H
#define DEPTH_TO_COLOR_H

#include <cstdint>

#include "quilm_flavour.h"

// Calibration of the two cameras, 30 floats without padding (120 bytes).
struct SW_QUILM {
  float d_intr_p[4];  // depth camera fx, fy, cx, cy (pixels)
  float c_intr_p[4];  // colour camera fx, fy, cx, cy (pixels)
  float quilm_r[9];   // depth-to-colour rotation, row-major
  float quilm_t[3];   // depth-to-colour translation, millimetres
  float d_k[5];       // depth lens k1, k2, k3, p1, p2
  float c_k[5];       // colour lens k1, k2, k3, p1, p2
};
static_assert(sizeof(SW_QUILM) == 120, "SW_QUILM must be 30 packed floats");

class DepthToColorImpl;

// Facade over the registration engine. All methods forward to the engine;
// bool results are true on success. One object serves one caller at a time.
class DepthToColor {
 public:
  QUILM_API DepthToColor();
  QUILM_API ~DepthToColor();

  // The facade owns its engine: copying would make two owners of one
  // engine, so it is neither copyable nor movable.
  DepthToColor(const DepthToColor&) = delete;
  DepthToColor& operator=(const DepthToColor&) = delete;

  QUILM_API const char* GetVersion();
  QUILM_API bool LoadParameters(const char* param_ini);
  QUILM_API bool LoadParameters(const SW_QUILM* quilm);
  QUILM_API bool PrepareDepthResolution(int width, int height);
  QUILM_API bool DiscardDepthResolution(int width, int height);
  QUILM_API bool EnableDistortion(bool flag);
  QUILM_API bool EnableDepthGapFill(bool flag);
  QUILM_API bool SetDepthUnit(float unit_mm);
  QUILM_API bool GetDepthUnit(float& unit);
  QUILM_API bool SetDepthRange(float min_value, float max_value);
  QUILM_API bool GetDepthRange(float& min_value, float& max_value);
  // 0 on success, -1 when the engine is not loaded, the resolution is not
  // prepared or an image pointer is null.
  QUILM_API int QUILM(const std::uint16_t* depth_buffer, int depth_width, int depth_height,
                      std::uint16_t* out_depth, int color_width, int color_height) const;

 private:
  DepthToColorImpl* pImpl;
};

#endif  // DEPTH_TO_COLOR_H
