// Checks of a firmware image before it is burnt: a refused image never
// reaches the camera.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dorvakctl {

// Largest image: what the flash-data transfer reaches.
constexpr size_t kMaxImage = 256 * 1024;

// Why an image of `size` bytes cannot be burnt on any camera; empty when it
// can.  Images are moved in 8-byte pieces and must hold the sector table
// at 0x160 (read up to 0x18A) that locates the parameter table.
std::string CheckImageSize(size_t size);

// Why `image` cannot be burnt on the attached camera (chip `chip_id`, the
// ROM model selected in the SDK); empty when it can.  The parameter table
// must lie where the camera's ROM model looks for it, inside the image,
// with a matching CRC where the layout has a CRC record.
std::string CheckImageForCamera(const std::vector<uint8_t>& image, uint8_t chip_id);

// CRC-16/MODBUS as the firmware keeps it for its parameter table.
uint16_t ParameterTableCrc(const uint8_t* data, size_t n);

}  // namespace dorvakctl
