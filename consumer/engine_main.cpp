// Writes a point cloud through the installed engine header.
#include <cstdio>
#include <string>
#include <vector>

#include "depth_to_color_impl.h"

int main(int argc, char** argv) {
  const std::string ply = argc > 1 ? argv[1] : "consumer.ply";
  const SW_QUILM record{{50, 50, 1, 1}, {50, 50, 1, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0}, {}, {}};
  DepthToColorImpl engine;
  engine.LoadParameters(&record);
  const std::vector<std::uint16_t> depth{0, 1000, 0, 0};
  const std::vector<std::uint8_t> color(4 * 3, 200);
  if (engine.DumpColoredPCL(depth.data(), color.data(), 2, 2, ply.c_str()) != 0) return 1;

  std::FILE* f = std::fopen(ply.c_str(), "r");
  if (!f) return 1;
  char line[128];
  std::string last;
  while (std::fgets(line, sizeof line, f)) last = line;
  std::fclose(f);
  // Pixel (1, 0) with depth 1000 at the principal point's column.
  if (last != "0.000000 -20.000000 1000.000000 200 200 200\n") {
    std::fprintf(stderr, "consumer_engine: unexpected vertex line '%s'\n", last.c_str());
    return 1;
  }
  std::printf("consumer_engine: wrote %s\n", ply.c_str());
  return 0;
}
