// Image files of the registration programs: 16-bit depth images (PNG or raw)
// and 8-bit RGB colour images (PNG or JPEG), through Debian's libpng and
// libjpeg.  Every function throws ImageError with a message that names the
// file and the reason; nothing is half-written into the caller's image.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quilm_tools {

class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Row-major 16-bit depth values without row padding; 0 means no depth.
struct DepthImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint16_t> pixels;

  DepthImage() = default;
  DepthImage(int w, int h);
  std::uint16_t& at(int u, int v) { return pixels[Index(u, v)]; }
  std::uint16_t at(int u, int v) const { return pixels[Index(u, v)]; }

 private:
  std::size_t Index(int u, int v) const {
    return static_cast<std::size_t>(v) * static_cast<std::size_t>(width) + static_cast<std::size_t>(u);
  }
};

// Row-major colour pixels of three bytes each, red, green, blue.
struct ColorImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;

  ColorImage() = default;
  ColorImage(int w, int h);
  std::uint8_t* at(int u, int v) { return &rgb[Index(u, v)]; }
  const std::uint8_t* at(int u, int v) const { return &rgb[Index(u, v)]; }

 private:
  std::size_t Index(int u, int v) const {
    return (static_cast<std::size_t>(v) * static_cast<std::size_t>(width) + static_cast<std::size_t>(u)) * 3;
  }
};

struct ImageSize {
  int width = 0;
  int height = 0;
};

// Largest side and pixel count accepted from a file, so that a damaged or
// hostile header cannot make us allocate gigabytes or overflow the int
// pixel counts of the registration library.
constexpr int kMaxImageSide = 16384;
constexpr long long kMaxImagePixels = 64LL * 1024 * 1024;

// Parses "WIDTHxHEIGHT" (for example "640x480"); nullopt when malformed or
// outside 1 .. kMaxImageSide.
std::optional<ImageSize> ParseImageSize(const std::string& text);

// Reads a depth image: a 16-bit greyscale PNG, recognised by its signature,
// or, when raw_size is given and the file is not a PNG, raw little-endian
// 16-bit values of exactly that size.
DepthImage ReadDepthImage(const std::string& path, const std::optional<ImageSize>& raw_size);

// Reads a colour image, PNG or JPEG, recognised by content; any PNG colour
// type is converted to 8-bit RGB (alpha is dropped).
ColorImage ReadColorImage(const std::string& path);

// Writes a 16-bit greyscale PNG holding the depth values unchanged.
void WriteDepthPng(const std::string& path, const DepthImage& image);

// Writes an 8-bit RGB PNG.
void WriteColorPng(const std::string& path, const ColorImage& image);

}  // namespace quilm_tools
