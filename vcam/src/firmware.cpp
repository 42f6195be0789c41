// ROM models of the ASIC and the firmware images that go with them: where
// each model keeps its identification string, where its firmware keeps the
// parameter table and CRC record, and a builder for test images.
#include <vcam/vcam.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vcam {
namespace {

// Identification strings as the ROMs carry them: model code, "R", sub-variant,
// version, two further bytes.
#define S(m, v, a, b) {'M', m[0], m[1], 'R', '0', v, a, b}
const RomModel kRomModels[] = {
    {"ROMM01", 0x9FF8, S("01", 0x01, 0x00, 0x00), false, false},
    {"ROMM02", 0x9FF8, S("02", 0x03, 0x00, 0x00), false, false},
    {"ROMM03V1", 0x9FF8, S("03", 0x01, 0x00, 0x00), false, false},
    {"ROMM03V2", 0x9FF8, S("03", 0x02, 0x00, 0x00), false, false},
    {"ROMM04V1", 0xD2B2, S("04", 0x01, 0x00, 0x00), false, false},
    {"ROMM04V2", 0xDFF8, S("04", 0x02, 0x00, 0x00), false, false},
    {"ROMM04V3", 0xDFF8, S("04", 0x03, 0x00, 0x03), false, false},
    {"ROMM05V1", 0xDFF8, S("05", 0x01, 0x00, 0x01), false, false},
    {"ROMM06V1", 0xDFF8, S("06", 0x01, 0x00, 0x01), true, false},
    {"ROMM07V1", 0xBFF8, S("07", 0x01, 0x00, 0x00), false, false},
    {"ROMM08V1", 0xBFF8, S("08", 0x01, 0x00, 0x00), false, false},
    {"ROMM08V2", 0xBFF8, S("08", 0x02, 0x00, 0x02), false, false},
    {"ROMM09V1", 0xBFF8, S("09", 0x01, 0x00, 0x01), true, false},
    {"ROMM05V2", 0xBFF8, S("05", 0x02, 0x10, 0x01), true, false},
    {"ROMM10V1", 0xBFF8, S("10", 0x01, 0x00, 0x01), true, false},
    {"ROMM11V1", 0xBFF8, S("11", 0x01, 0x40, 0x06), true, false},
    {"ROMM12V1", 0xBFF8, S("12", 0x01, 0x30, 0x05), true, false},
    {"ROMM13V1", 0xBFF8, S("13", 0x01, 0x60, 0x07), true, false},
    {"ROMM13V2", 0xBFF8, S("13", 0x02, 0x61, 0x20), true, true},
    {"ROMM14V1", 0xBFF8, S("14", 0x01, 0x41, 0x19), true, true},
    {"ROMM15V1", 0xBFF8, S("15", 0x01, 0x42, 0x21), true, true},
    {"ROMM28V1", 0xBFF8, S("15", 0x01, 0x42, 0x21), true, true},  // told apart by its chip id
    {"ROMM16V1", 0xBFF8, S("16", 0x01, 0x43, 0x22), true, true},
    {"ROMM17V1", 0xBFF8, S("17", 0x01, 0x43, 0x22), true, true},
    {"ROMM18V1", 0xBFF8, S("18", 0x01, 0x45, 0x23), true, true},
    {"ROMM19V1", 0xBFF8, S("19", 0x01, 0x45, 0x23), true, true},
    {"ROMM20V1", 0xC7F8, S("20", 0x01, 0x20, 0x05), true, false},
    {"ROMM20V2", 0xC7F8, S("20", 0x02, 0x50, 0x07), true, true},
    {"ROMM21V1", 0xAFF8, S("21", 0x01, 0x46, 0x25), true, true},
    {"ROMM22V0", 0xAFF8, S("22", 0x01, 0x46, 0x25), true, true},
    {"ROMM12V2", 0xAFF8, S("12", 0x01, 0x46, 0x25), true, true},
    {"ROMM23", 0xAFF8, S("23", 0x01, 0x46, 0x24), true, true},
    {"ROMM24", 0x9FF8, S("24", 0x01, 0x61, 0x08), true, true},
    {"ROMM25", 0xAFF8, S("25", 0x01, 0x46, 0x31), true, true},
    {"ROMM26", 0xAFF8, S("26", 0x01, 0x46, 0x32), true, true},
    {"ROMM11V2", 0xAFF8, S("11", 0x01, 0x46, 0x35), true, false},
    {"ROMM27", 0xAFF8, S("27", 0x01, 0x46, 0x36), true, true},
    {"ROMM14", 0xAFF8, S("14", 0x01, 0x46, 0x36), true, true},
};
#undef S

bool model_is(const uint8_t* s, const char* code) { return std::memcmp(s, code, 4) == 0; }
bool model_in(const uint8_t* s, std::initializer_list<const char*> codes) {
  return std::any_of(codes.begin(), codes.end(), [s](const char* c) { return model_is(s, c); });
}

// The firmware keeps its parameter table where the ROM expects it; the
// rules are tried in order and the first that applies decides.
FirmwareLayout layout_for_string(const uint8_t* s) {
  using F = FirmwareLayout::Form;
  const uint8_t version = s[5], byte6 = s[6];
  if (model_is(s, "M05R") && version >= 2) return {};
  if ((version == 1 && model_in(s, {"M20R", "M11R", "M13R"})) || (model_is(s, "M12R") && version == 1 && byte6 == '0'))
    return {F::Fixed, 0xC000, 0xF00, 0xCF00};
  if ((version == 2 && model_in(s, {"M20R", "M13R"})) ||
      (version == 1 && model_in(s, {"M14R", "M15R", "M28R", "M16R", "M17R", "M18R", "M19R"})))
    return {F::ShortTable, 0xC000, 0x1000, 0xD000};
  if ((version == 1 && model_in(s, {"M21R", "M22R", "M24R"})) ||
      (version == 1 && byte6 == 'F' && model_in(s, {"M12R", "M23R", "M27R", "M25R", "M26R"})))
    return {F::LongTable, 0x10000, 0x1000, 0x11000};
  if (model_is(s, "M06R")) return {F::Fixed, 0x5800, 0xF00, 0x6700};
  return {F::Fixed, 0x8000, 0x800, 0};
}

void put(std::vector<uint8_t>& img, size_t at, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n && at + i < img.size(); ++i) img[at + i] = src[i];
}

void put_field(std::vector<uint8_t>& img, uint32_t at, const std::string& s, size_t width) {
  if (at == 0) return;
  std::vector<uint8_t> f(width, 0);
  std::copy_n(s.begin(), std::min(width, s.size()), f.begin());
  put(img, at, f.data(), width);
}

void put_be32(std::vector<uint8_t>& img, size_t at, uint32_t v) {
  const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
  put(img, at, b, 4);
}

constexpr size_t kSectorTable = 0x160;
constexpr size_t kSlotOffsets[] = {0x40, 0x80, 0xC0, 0x100, 0x140};  // product, manufacturer, serial, string3, interface

}  // namespace

int rom_model_count() { return static_cast<int>(sizeof kRomModels / sizeof kRomModels[0]); }

const RomModel& rom_model(int index) {
  if (index < 0 || index >= rom_model_count()) throw std::out_of_range("vcam: no ROM model " + std::to_string(index));
  return kRomModels[index];
}

int rom_model_index(const std::string& name) {
  for (int i = 0; i < rom_model_count(); ++i)
    if (name == kRomModels[i].name) return i;
  return -1;
}

FirmwareLayout layout_for_model(int index) {
  if (index < 0 || index >= rom_model_count()) return {FirmwareLayout::Form::Fixed, 0x8000, 0x800, 0};
  return layout_for_string(kRomModels[index].string);
}

uint16_t crc16_modbus(const uint8_t* data, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

std::vector<uint8_t> string_slot(const std::string& s) {
  if (s.size() > 31) throw std::invalid_argument("vcam: a descriptor slot holds at most 31 characters");
  std::vector<uint8_t> slot(64, 0xFF);
  slot[0] = static_cast<uint8_t>(2 * s.size() + 2);
  slot[1] = 0x03;
  for (size_t i = 0; i < s.size(); ++i) {
    slot[2 + 2 * i] = static_cast<uint8_t>(s[i]);
    slot[3 + 2 * i] = 0;
  }
  return slot;
}

VersionAddrs version_addrs(uint8_t chip, uint8_t revision, bool chip_ec_64k) {
  switch (chip) {
    case 0xE1: case 0xE8: return {0x3E00, 0x3E0A, 0x3E14, 0x1F3};
    case 0xE2: return {0xFD0, 0xFDA, 0xFE4, 0x153};
    case 0xE5: return {0x5E00, 0x5E0A, 0x5E14, 0x1F3};
    case 0xE6:
      if (revision == 1) return {0xFD0, 0xFDA, 0xFE4, 0x153};
      if (revision == 2) return {0xFD0, 0xFE2, 0xFEC, 0xFDA};
      return {};
    case 0xEA: case 0xEB: return {0x3E05, 0x3E0F, 0x3E19, 0x3E00};
    case 0xEC:
      if (revision != 1) return {};
      return chip_ec_64k ? VersionAddrs{0x4E00, 0x4E12, 0x4E1C, 0x4E0A} : VersionAddrs{0x2000, 0x2012, 0x201C, 0x200A};
    case 0xF1: return revision == 1 ? VersionAddrs{0x3FD0, 0x3FDA, 0x3FE4, 0x153} : VersionAddrs{};
    case 0xF3: case 0xF4: case 0xF9: case 0xFA: return {0x2000, 0x2012, 0x201C, 0x200A};
    default: return {};
  }
}

uint32_t wp_config_addr(uint8_t chip) {
  switch (chip) {
    case 0xE7: return 0x000F;
    case 0xE6: case 0xF1: return 0xC034;
    case 0xE2: return 0x5834;
    case 0xEB: case 0xF4: return 0;
    case 0xEC: return 0xB034;
    default: return 0x8034;
  }
}

std::vector<uint8_t> build_firmware(const FirmwareSpec& spec) {
  std::vector<uint8_t> img(spec.size);
  uint32_t x = spec.seed ? spec.seed : 1;  // xorshift32: code bytes that are not all 0xFF
  for (auto& b : img) {
    x ^= x << 13; x ^= x >> 17; x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }

  FirmwareLayout lay = layout_for_model(spec.rom_model);
  const bool table_form = lay.form == FirmwareLayout::Form::ShortTable || lay.form == FirmwareLayout::Form::LongTable;
  if (table_form) {
    if (spec.table_start) lay.table_start = *spec.table_start;
    if (spec.table_length) lay.table_length = *spec.table_length;
    if (spec.crc_addr) lay.crc_addr = *spec.crc_addr;
    std::vector<uint8_t> zero(43, 0);
    put(img, kSectorTable, zero.data(), zero.size());
    if (lay.form == FirmwareLayout::Form::ShortTable) {
      const uint8_t st[3] = {uint8_t(lay.table_start >> 8), uint8_t(lay.table_length >> 8), uint8_t(lay.crc_addr >> 8)};
      put(img, kSectorTable + 8, &st[0], 1);
      put(img, kSectorTable + 9, &st[1], 1);
      put(img, kSectorTable + 14, &st[2], 1);
    } else {
      put_be32(img, kSectorTable + 15, lay.table_start);
      put_be32(img, kSectorTable + 19, lay.table_length);
      put_be32(img, kSectorTable + 39, lay.crc_addr);
    }
  }

  if (lay.form != FirmwareLayout::Form::None) {
    const uint8_t ids[4] = {uint8_t(spec.vid), uint8_t(spec.vid >> 8), uint8_t(spec.pid), uint8_t(spec.pid >> 8)};
    put(img, lay.table_start + 6, ids, 4);
    const std::string* strings[] = {&spec.product, &spec.manufacturer, &spec.serial, &spec.string3, &spec.interface_};
    for (size_t i = 0; i < 5; ++i) {
      const auto slot = string_slot(*strings[i]);
      put(img, lay.table_start + kSlotOffsets[i], slot.data(), slot.size());
    }
  }

  if (const uint32_t wp = wp_config_addr(spec.chip_id)) put(img, wp, &spec.wp_config, 1);

  const uint8_t revision = spec.rom_model >= 0 && spec.rom_model < rom_model_count() ? kRomModels[spec.rom_model].string[5] : 1;
  const VersionAddrs v = version_addrs(spec.chip_id, revision, spec.chip_ec_64k);
  put_field(img, v.customer, spec.customer, 10);
  put_field(img, v.cus_ver, spec.cus_ver, 10);
  put_field(img, v.day_ver, spec.day_ver, 10);
  put_field(img, v.code_ver, spec.code_ver, 5);

  if (lay.form != FirmwareLayout::Form::None && lay.crc_addr != 0) {
    const std::vector<uint8_t> record(32, 0xFF);
    put(img, lay.crc_addr, record.data(), record.size());
    const uint64_t end = uint64_t{lay.table_start} + lay.table_length;
    if (end <= img.size()) {
      const uint16_t crc = crc16_modbus(img.data() + lay.table_start, lay.table_length);
      const uint8_t b[2] = {uint8_t(crc >> 8), uint8_t(crc)};
      put(img, lay.crc_addr + 20, b, 2);
    }
  }
  return img;
}

}  // namespace vcam
