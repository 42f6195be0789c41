// Registers a tiny frame through the installed facade, with the calibration
// cut out of a calibration image by the installed blob reader.
#include <cstdio>
#include <cstring>
#include <vector>

#include "depth_to_color.h"
#include "nerrit.h"

int main() {
  // Both cameras alike, side by side at the same place: every depth pixel
  // lands on the colour pixel of the same coordinates.
  const SW_QUILM record{{50, 50, 4, 3}, {50, 50, 4, 3}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0}, {}, {}};
  Nerrit reader;
  std::vector<char> image(static_cast<std::size_t>(reader.getDataSize()), 0);
  std::memcpy(image.data() + image.size() - sizeof record, &record, sizeof record);
  SW_QUILM loaded{};
  if (reader.parse_buffer_to_params(image.data(), &loaded) != 0) return 1;

  constexpr int kW = 8, kH = 6;
  DepthToColor registration;
  std::printf("quilm %s\n", registration.GetVersion());
  if (!registration.LoadParameters(&loaded) || !registration.PrepareDepthResolution(kW, kH)) return 1;
  const std::vector<std::uint16_t> depth(kW * kH, 1000);
  std::vector<std::uint16_t> out(kW * kH, 7);
  if (registration.QUILM(depth.data(), kW, kH, out.data(), kW, kH) != 0) return 1;

  for (int v = 0; v < kH; ++v) {
    for (int u = 0; u < kW; ++u) {
      // The last row and column receive no point.
      const std::uint16_t expected = (u < kW - 1 && v < kH - 1) ? 1000 : 0;
      if (out[static_cast<std::size_t>(v * kW + u)] != expected) {
        std::fprintf(stderr, "consumer: pixel (%d, %d) is %u, expected %u\n", u, v,
                     out[static_cast<std::size_t>(v * kW + u)], expected);
        return 1;
      }
    }
  }
  std::printf("consumer: registered a %dx%d frame\n", kW, kH);
  return 0;
}
