#include "image_check.h"

#include <cstdio>

#include "Osrel.h"  // the parameter-table layout by ROM model, exported by the SDK library

namespace dorvakctl {
namespace {

constexpr size_t kPiece = 8;
constexpr size_t kSectorTableEnd = 0x190;  // 0x160 + 43 bytes of the long form, in whole pieces
// Chip 0xE2 writes its bytes at 0x6700 to 0x6716 after the rest.
constexpr uint8_t kDeferredTailChip = 0xE2;
constexpr size_t kDeferredTailEnd = 0x6718;
constexpr size_t kCrcBytesAt = 20;  // high byte at record + 20, low byte at + 21

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace

uint16_t ParameterTableCrc(const uint8_t* data, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc = static_cast<uint16_t>(crc ^ data[i]);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

std::string CheckImageSize(size_t size) {
  if (size == 0) return "the image is empty";
  if (size % kPiece != 0) return "the image length " + std::to_string(size) + " is not a multiple of 8 bytes";
  if (size < kSectorTableEnd)
    return "the image is too short (" + std::to_string(size) + " bytes; at least " +
           std::to_string(kSectorTableEnd) + " hold the sector table)";
  if (size > kMaxImage)
    return "the image is too long (" + std::to_string(size) + " bytes; at most " + std::to_string(kMaxImage) + ")";
  return "";
}

std::string CheckImageForCamera(const std::vector<uint8_t>& image, uint8_t chip_id) {
  const std::string size = CheckImageSize(image.size());
  if (!size.empty()) return size;
  if (chip_id == kDeferredTailChip && image.size() < kDeferredTailEnd)
    return "the image is too short for chip " + Hex(chip_id) + " (at least " + std::to_string(kDeferredTailEnd) +
           " bytes)";

  // The layer reads the sector table of the image in place; it only reads.
  std::vector<uint8_t> copy = image;
  uint64_t start = 0, end = 0, crc = 0;
  if (!LibUsb_GetParaTableAndCRCAddrFormFW(copy.data(), &start, &end, &crc))
    return "the camera's ROM model has no parameter-table layout for this image";
  if (start >= end || end > image.size())
    return "the parameter table (" + Hex(start) + " to " + Hex(end) +
           ") does not lie inside the image: it was not made for this camera's ROM model";
  if (crc == 0) return "";  // a layout without a CRC record
  if (crc + kCrcBytesAt + 2 > image.size())
    return "the parameter table's CRC record at " + Hex(crc) + " lies beyond the image";
  const uint64_t crc_at = crc + kCrcBytesAt;
  if (crc_at + 2 > start && crc_at < end) return "";  // a record inside the table it protects cannot be checked
  const uint16_t stored = static_cast<uint16_t>(image[crc_at] << 8 | image[crc_at + 1]);
  const uint16_t computed = ParameterTableCrc(image.data() + start, static_cast<size_t>(end - start));
  if (stored != computed)
    return "the parameter table at " + Hex(start) + " does not match its CRC (stored " + Hex(stored) +
           ", computed " + Hex(computed) + "): the image is damaged or not made for this camera's ROM model";
  return "";
}

}  // namespace dorvakctl
