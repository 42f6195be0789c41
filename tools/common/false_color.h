// Pictures for people: depth in false colour, blended over the colour image
// it is registered to, beside the input depth, with a labelled colour bar.
#pragma once

#include <array>
#include <cstdint>

#include "image_io.h"

namespace quilm_tools {

// The depth values mapped to the two ends of the colour scale.
struct DepthScale {
  std::uint16_t nearest = 0;
  std::uint16_t farthest = 1;
};

// A scale that spans the 1st to the 99th percentile of the non-zero depths,
// so that a few stray values do not wash out the picture.
DepthScale ChooseDepthScale(const DepthImage& depth);

// Near is warm (red, yellow), far is cool (blue); values outside the scale
// take the colour of its nearer end.
std::array<std::uint8_t, 3> FalseColor(std::uint16_t depth, DepthScale scale);

// Left: the colour image with the registered depth blended over it (or a
// grey background when there is no colour image).  Right: the input depth
// in false colour, scaled to the same height.  Below: the colour bar with
// the scale's ends and middle in millimetres (depth values times unit_mm).
ColorImage ComposeView(const DepthImage& input_depth, const DepthImage& registered,
                       const ColorImage* color, DepthScale scale, float unit_mm);

}  // namespace quilm_tools
