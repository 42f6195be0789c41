// Preloadable stand-in for libusb: LD_PRELOAD=libvcam_preload.so
// VCAM_SCENE=file.scene program.  The scene is read before the program's
// main(); without VCAM_SCENE the bus is empty.  Cameras with a `flash_file`
// save their flash there when the program exits.
#include <vcam/vcam.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// Registered after the bus exists, so it runs before the bus is destroyed.
void save_flash_at_exit() {
  std::string error;
  if (!vcam::save_flash_files(&error)) std::fprintf(stderr, "vcam: %s\n", error.c_str());
}

__attribute__((constructor)) void load_scene_from_environment() {
  const char* path = std::getenv("VCAM_SCENE");
  if (!path || !*path) return;
  std::ifstream f(path);
  if (!f) {
    std::fprintf(stderr, "vcam: cannot read scene file %s\n", path);
    std::exit(2);
  }
  std::stringstream text;
  text << f.rdbuf();
  std::string error;
  if (!vcam::load_scene(text.str(), &error)) {
    std::fprintf(stderr, "vcam: %s: %s\n", path, error.c_str());
    std::exit(2);
  }
  std::atexit(save_flash_at_exit);
}

}  // namespace
