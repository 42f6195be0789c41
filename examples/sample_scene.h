// The demo's built-in sample: the calibration of a 640 x 480 depth camera
// beside a 640 x 480 colour camera 25 mm to its right, and a synthetic room
// corner (floor, back wall with a window, a box, a ball and a pillar) seen
// by both cameras through their lenses.
#pragma once

#include "depth_to_color.h"
#include "image_io.h"

namespace quilm_demo {

constexpr int kDepthWidth = 640;
constexpr int kDepthHeight = 480;
constexpr int kColorWidth = 640;
constexpr int kColorHeight = 480;

SW_QUILM SampleCalibration();

struct SampleFrame {
  quilm_tools::DepthImage depth;  // millimetres along the depth camera's axis
  quilm_tools::ColorImage color;
};

// Ray-casts the scene through each camera's pixels; the lens distortion of
// the calibration is applied, so registration with distortion on lines the
// depth up with the colour image's edges.
SampleFrame RenderSampleFrame(const SW_QUILM& calibration);

}  // namespace quilm_demo
