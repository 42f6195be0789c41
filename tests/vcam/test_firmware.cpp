// Firmware images for tests: layout by ROM model, the parameter table and
// its CRC, descriptor slots, version fields; and the ROM model table itself.
#include <vcam/vcam.h>

#include <boost/crc.hpp>
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t reference_crc(const uint8_t* p, size_t n) {
  boost::crc_optimal<16, 0x8005, 0xFFFF, 0, true, true> crc;
  crc.process_bytes(p, n);
  return crc.checksum();
}

uint32_t be32(const Bytes& b, size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}

TEST(Crc, AgreesWithBoostCrc) {
  const std::string check = "123456789";
  EXPECT_EQ(vcam::crc16_modbus(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x4B37);
  EXPECT_EQ(vcam::crc16_modbus(nullptr, 0), 0xFFFF);
  std::mt19937 rng(7);
  for (size_t n : {1u, 2u, 255u, 0xF00u, 0x1000u}) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    EXPECT_EQ(vcam::crc16_modbus(b.data(), n), reference_crc(b.data(), n)) << n;
  }
}

TEST(RomModels, TableIsWellFormed) {
  ASSERT_EQ(vcam::rom_model_count(), 38);
  const std::set<uint16_t> addrs = {0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8, 0xAFF8};
  std::set<std::string> names;
  for (int i = 0; i < vcam::rom_model_count(); ++i) {
    const auto& m = vcam::rom_model(i);
    EXPECT_TRUE(names.insert(m.name).second) << m.name;
    EXPECT_TRUE(addrs.count(m.string_addr)) << m.name;
    EXPECT_EQ(m.string[0], 'M') << m.name;
    EXPECT_EQ(m.string[3], 'R') << m.name;
    EXPECT_EQ(vcam::rom_model_index(m.name), i);
  }
  EXPECT_EQ(vcam::rom_model_index("ROMM99"), -1);
  EXPECT_THROW(vcam::rom_model(38), std::out_of_range);
}

TEST(Firmware, LayoutByRomModel) {
  using F = vcam::FirmwareLayout::Form;
  struct Case {
    const char* model;
    F form;
    uint32_t start, length, crc;
  } const cases[] = {
      {"ROMM05V2", F::None, 0, 0, 0},
      {"ROMM20V1", F::Fixed, 0xC000, 0xF00, 0xCF00},
      {"ROMM12V1", F::Fixed, 0xC000, 0xF00, 0xCF00},  // byte 6 "0"
      {"ROMM11V2", F::Fixed, 0xC000, 0xF00, 0xCF00},
      {"ROMM15V1", F::ShortTable, 0xC000, 0x1000, 0xD000},
      {"ROMM14", F::ShortTable, 0xC000, 0x1000, 0xD000},  // M14R version 1 comes before byte 6 "F"
      {"ROMM20V2", F::ShortTable, 0xC000, 0x1000, 0xD000},
      {"ROMM12V2", F::LongTable, 0x10000, 0x1000, 0x11000},  // byte 6 "F"
      {"ROMM24", F::LongTable, 0x10000, 0x1000, 0x11000},
      {"ROMM06V1", F::Fixed, 0x5800, 0xF00, 0x6700},
      {"ROMM05V1", F::Fixed, 0x8000, 0x800, 0},
      {"ROMM01", F::Fixed, 0x8000, 0x800, 0},
  };
  for (const auto& c : cases) {
    const auto l = vcam::layout_for_model(vcam::rom_model_index(c.model));
    EXPECT_EQ(l.form, c.form) << c.model;
    if (c.form == F::None) continue;
    EXPECT_EQ(l.table_start, c.start) << c.model;
    EXPECT_EQ(l.table_length, c.length) << c.model;
    EXPECT_EQ(l.crc_addr, c.crc) << c.model;
  }
}

TEST(Firmware, SectorTableFormsCarryTheLayout) {
  vcam::FirmwareSpec longs;
  longs.rom_model = vcam::rom_model_index("ROMM24");
  const Bytes l = vcam::build_firmware(longs);
  EXPECT_EQ(be32(l, 0x16F), 0x10000u);
  EXPECT_EQ(be32(l, 0x173), 0x1000u);
  EXPECT_EQ(be32(l, 0x187), 0x11000u);

  vcam::FirmwareSpec shorts;
  shorts.rom_model = vcam::rom_model_index("ROMM15V1");
  shorts.table_start = 0xA000;
  shorts.table_length = 0x800;
  shorts.crc_addr = 0xB000;
  const Bytes s = vcam::build_firmware(shorts);
  EXPECT_EQ(s[0x168], 0xA0);
  EXPECT_EQ(s[0x169], 0x08);
  EXPECT_EQ(s[0x16E], 0xB0);
}

TEST(Firmware, ParameterTableHoldsIdsSlotsAndItsCrc) {
  vcam::FirmwareSpec spec;
  spec.rom_model = vcam::rom_model_index("ROMM24");
  spec.vid = 0x1234;
  spec.pid = 0xABCD;
  spec.serial = "SN42";
  const Bytes img = vcam::build_firmware(spec);
  const size_t s = 0x10000;
  EXPECT_EQ(Bytes(img.begin() + s + 6, img.begin() + s + 10), (Bytes{0x34, 0x12, 0xCD, 0xAB}));
  const Bytes serial(img.begin() + s + 0xC0, img.begin() + s + 0x100);
  EXPECT_EQ(serial, vcam::string_slot("SN42"));
  EXPECT_EQ(Bytes(serial.begin(), serial.begin() + 10), (Bytes{0x0A, 0x03, 'S', 0, 'N', 0, '4', 0, '2', 0}));
  EXPECT_EQ(serial[10], 0xFF);
  const uint16_t crc = reference_crc(img.data() + s, 0x1000);
  EXPECT_EQ(img[0x11000 + 20], crc >> 8);
  EXPECT_EQ(img[0x11000 + 21], crc & 0xFF);
  EXPECT_THROW(vcam::string_slot(std::string(32, 'x')), std::invalid_argument);
}

TEST(Firmware, VersionFieldsAndWriteProtectByteByChip) {
  struct Case {
    uint8_t chip;
    const char* model;
    uint32_t customer, code, wp;
  } const cases[] = {
      {0xE1, "ROMM24", 0x3E00, 0x1F3, 0x8034},
      {0xE2, "ROMM06V1", 0xFD0, 0x153, 0x5834},
      {0xE6, "ROMM03V2", 0xFD0, 0xFDA, 0xC034},  // revision 2
      {0xEC, "ROMM24", 0x2000, 0x200A, 0xB034},
      {0xF4, "ROMM24", 0x2000, 0x200A, 0},
      {0xE7, "ROMM24", 0, 0, 0x000F},
  };
  for (const auto& c : cases) {
    vcam::FirmwareSpec spec;
    spec.rom_model = vcam::rom_model_index(c.model);
    spec.chip_id = c.chip;
    spec.wp_config = 0x2A;
    const Bytes img = vcam::build_firmware(spec);
    EXPECT_EQ(vcam::wp_config_addr(c.chip), c.wp);
    if (c.wp) {
      EXPECT_EQ(img[c.wp], 0x2A) << int(c.chip);
    }
    const auto v = vcam::version_addrs(c.chip, vcam::rom_model(spec.rom_model).string[5]);
    EXPECT_EQ(v.customer, c.customer) << int(c.chip);
    EXPECT_EQ(v.code_ver, c.code) << int(c.chip);
    if (!c.customer) continue;
    EXPECT_EQ(std::string(img.begin() + v.customer, img.begin() + v.customer + 10), spec.customer);
    EXPECT_EQ(std::string(img.begin() + v.code_ver, img.begin() + v.code_ver + 5), spec.code_ver);
    EXPECT_EQ(std::string(img.begin() + v.day_ver, img.begin() + v.day_ver + 10), spec.day_ver);
  }
}

TEST(Firmware, ImagesOfAnyLength) {
  for (size_t n : {size_t{0}, size_t{0x100}, size_t{0x10800}, size_t{0x40000}}) {
    vcam::FirmwareSpec spec;
    spec.size = n;
    EXPECT_EQ(vcam::build_firmware(spec).size(), n);
  }
  vcam::FirmwareSpec a, b;
  b.seed = 2;
  EXPECT_NE(vcam::build_firmware(a), vcam::build_firmware(b));
  EXPECT_EQ(vcam::build_firmware(a), vcam::build_firmware(a));
}

}  // namespace
