// Firmware layout: where the parameter table and its CRC record lie for
// each ROM model, from an image or from the flash, and descriptor strings.
#include "ROMData.h"
#include "camera_fixture.h"

#include <cstring>

namespace camtest {
namespace {

using vcam::CameraConfig;

struct LayoutCase {
  const char* name;
  uint16_t romAddr;
  const char* text;
  uint8_t version, byte6;
  int tableForm;  // 0 none, 1 short, 2 long
  BOOL found;
  uint64_t start, end, crc;
};

class LayoutTest : public CameraTest, public testing::WithParamInterface<LayoutCase> {
 protected:
  // Sector table bytes for both forms (short: bytes 8, 9, 14; long: 15-18, 19-22, 39-42).
  static std::vector<uint8_t> sectorTable(int form) {
    std::vector<uint8_t> t(43, 0xEE);
    if (form == 1) {
      t[8] = 0xC0;
      t[9] = 0x10;
      t[14] = 0xD0;
    } else if (form == 2) {
      const uint8_t fields[12] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01, 0x10, 0x00};
      memcpy(&t[15], fields, 8);
      memcpy(&t[39], fields + 8, 4);
    }
    return t;
  }
  vcam::Camera& openWithRom(const LayoutCase& c) {
    CameraConfig cfg;
    cfg.rom_model = -1;
    vcam::Camera& cam = bus().add_camera(cfg);
    std::vector<uint8_t> rom(c.text, c.text + 5);
    rom.push_back(c.version);
    rom.push_back(c.byte6);
    rom.push_back(0);
    cam.set_rom(c.romAddr, rom);
    const auto table = sectorTable(c.tableForm);
    std::copy(table.begin(), table.end(), cam.flash().begin() + 0x160);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(openLayer(), 1);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return cam;
  }
};

TEST_P(LayoutTest, FromTheFlashAndFromAnImage) {
  const LayoutCase& c = GetParam();
  vcam::Camera& cam = openWithRom(c);
  uint64_t s = 1, e = 2, k = 3;
  EXPECT_EQ(LibUsb_GetParaTableAndCRCAddrFormSF(&s, &e, &k), c.found);
  if (c.found) {
    EXPECT_EQ(s, c.start);
    EXPECT_EQ(e, c.end);
    EXPECT_EQ(k, c.crc);
  }
  // The same rules over an image whose sector table differs from the flash's.
  std::vector<uint8_t> image(0x200, 0x00);
  std::copy(cam.flash().begin() + 0x160, cam.flash().begin() + 0x18B, image.begin() + 0x160);
  std::fill(cam.flash().begin() + 0x160, cam.flash().begin() + 0x18B, 0x00);
  s = e = k = 9;
  EXPECT_EQ(LibUsb_GetParaTableAndCRCAddrFormFW(image.data(), &s, &e, &k), c.found);
  if (c.found) {
    EXPECT_EQ(s, c.start);
    EXPECT_EQ(e, c.end);
    EXPECT_EQ(k, c.crc);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LayoutTest,
    testing::Values(
        LayoutCase{"M24_long", 0x9FF8, "M24R0", 1, 0x61, 2, 1, 0x10000, 0x11000, 0x11000},
        LayoutCase{"M15_short", 0xBFF8, "M15R0", 1, 0x42, 1, 1, 0xC000, 0xD000, 0xD000},
        LayoutCase{"M20v2_short", 0xC7F8, "M20R0", 2, 0x50, 1, 1, 0xC000, 0xD000, 0xD000},
        LayoutCase{"M20v1_fixed", 0xC7F8, "M20R0", 1, 0x20, 0, 1, 0xC000, 0xCF00, 0xCF00},
        LayoutCase{"M12_byte6_0_fixed", 0xBFF8, "M12R0", 1, '0', 0, 1, 0xC000, 0xCF00, 0xCF00},
        LayoutCase{"M12_byte6_F_long", 0xAFF8, "M12R0", 1, 'F', 2, 1, 0x10000, 0x11000, 0x11000},
        LayoutCase{"M12_other_byte6", 0xBFF8, "M12R0", 1, '7', 0, 1, 0x8000, 0x8800, 0},
        LayoutCase{"M23_byte6_F_long", 0xAFF8, "M23R0", 1, 'F', 2, 1, 0x10000, 0x11000, 0x11000},
        LayoutCase{"M05v1_default", 0xDFF8, "M05R0", 1, 0x00, 0, 1, 0x8000, 0x8800, 0},
        LayoutCase{"M05v2_none", 0xBFF8, "M05R0", 2, 0x10, 0, 0, 0, 0, 0},
        LayoutCase{"M06_fixed", 0xDFF8, "M06R0", 1, 0x00, 0, 1, 0x5800, 0x6700, 0x6700},
        LayoutCase{"M07_default", 0xBFF8, "M07R0", 1, 0x00, 0, 1, 0x8000, 0x8800, 0},
        LayoutCase{"unknown_rom", 0x9FF8, "M99R0", 1, 0x00, 0, 0, 0, 0, 0}),
    [](const testing::TestParamInfo<LayoutCase>& p) { return std::string(p.param.name); });

class LayoutRefinementTest : public CameraTest {};

TEST_F(LayoutRefinementTest, RefinedModelCodeDecidesTheLayout) {
  CameraConfig cfg;
  cfg.rom_model = ROMM15V1;
  cfg.hidden_chip_id = 0xF8;  // the chip of the M28 variant, once bit 4 of 0x100A is cleared
  vcam::Camera& cam = bus().add_camera(cfg);
  cam.flash()[0x168] = 0x20;
  cam.flash()[0x169] = 0x02;
  cam.flash()[0x16E] = 0x22;
  testing::internal::CaptureStdout();
  ASSERT_EQ(openLayer(), 1);
  testing::internal::GetCapturedStdout();
  cam.set_reg(0x100A, 0x00);
  uint64_t s = 0, e = 0, k = 0;
  ASSERT_EQ(LibUsb_GetParaTableAndCRCAddrFormSF(&s, &e, &k), 1);
  EXPECT_EQ(uiRomID, uint32_t{ROMM28V1});
  EXPECT_EQ(s, 0x2000u);
  EXPECT_EQ(e, 0x2200u);
  EXPECT_EQ(k, 0x2200u);
}

TEST_F(LayoutRefinementTest, UnreadableSectorTableFails) {
  vcam::Camera& cam = addCameraWithFirmware();
  testing::internal::CaptureStdout();
  ASSERT_EQ(openLayer(), 1);
  testing::internal::GetCapturedStdout();
  cam.fail_flash_reads(0x160, 0x18A);
  uint64_t s = 0, e = 0, k = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(LibUsb_GetParaTableAndCRCAddrFormSF(&s, &e, &k), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "F3 error -1\n");
}

// ------------------------------------------------------------- strings

class StringSlotTest : public CameraTest {
 protected:
  // Default model (long sector table): table at 0x10000, CRC record at 0x11000.
  static constexpr uint32_t kTable = 0x10000, kCrc = 0x11000, kSlot = 0xC0;
  vcam::Camera& open() {
    vcam::Camera& cam = addCameraWithFirmware();
    testing::internal::CaptureStdout();
    EXPECT_EQ(openLayer(), 1);
    testing::internal::GetCapturedStdout();
    return cam;
  }
  static void putSlot(vcam::Camera& cam, uint32_t at, const std::vector<uint8_t>& bytes) {
    std::fill(cam.flash().begin() + at, cam.flash().begin() + at + 64, 0xFF);
    std::copy(bytes.begin(), bytes.end(), cam.flash().begin() + at);
  }
};

TEST_F(StringSlotTest, ProtectedSlotYieldsTheLowBytesOfItsCharacters) {
  vcam::Camera& cam = open();
  struct Case {
    std::vector<uint8_t> slot;
    uint32_t capacity;
    BOOL ok;
    std::string text;
  } cases[] = {
      {{0x0A, 0x03, 'W', 0, 'X', 0, 'Y', 0, 'Z', 0}, 4, 1, "WXYZ"},
      {{0x0A, 0x03, 'W', 0, 'X', 0, 'Y', 0, 'Z', 0}, 100, 1, "WXYZ"},
      {{0x0A, 0x03, 'W', 0, 'X', 0, 'Y', 0, 'Z', 0}, 3, 0, ""},  // longer than the capacity
      {{0x01, 0x03}, 0, 1, ""},                                   // length byte 1: empty string
      {{0x00, 0x03}, 100, 0, ""},                                 // length byte 0: no string
      {{0xFF, 0xFF}, 100, 0, ""},                                 // erased slot
      {{0x42, 0x03}, 100, 0, ""},                                 // 32 characters do not fit a slot
  };
  for (const Case& c : cases) {
    putSlot(cam, kTable + kSlot, c.slot);
    BYTE out[100];
    memset(out, '#', sizeof out);
    EXPECT_EQ(LibUsb_GetStringSettingFormSF(out, c.capacity, kSlot, TRUE), c.ok) << int(c.slot[0]);
    if (c.ok) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), c.text.size()), c.text);
    }
    EXPECT_EQ(out[c.ok ? c.text.size() : 0], '#') << "nothing written past the string";
  }
  // The longest string a slot holds: 31 characters, the last at byte 62.
  std::vector<uint8_t> full = {0x40, 0x03};
  for (int i = 0; i < 31; ++i) {
    full.push_back(static_cast<uint8_t>('a' + i % 26));
    full.push_back(0);
  }
  putSlot(cam, kTable + kSlot, full);
  BYTE out[40] = {};
  ASSERT_EQ(LibUsb_GetStringSettingFormSF(out, 40, kSlot, TRUE), 1);
  EXPECT_EQ(out[30], 'a' + 30 % 26);
  EXPECT_EQ(out[31], 0);
}

TEST_F(StringSlotTest, UnprotectedSlotIsPlainTextUpToTheFirstErasedByte) {
  vcam::Camera& cam = open();
  putSlot(cam, kCrc + 0x40, {'a', 'b', 'c', 'd'});
  BYTE out[64] = {};
  ASSERT_EQ(LibUsb_GetStringSettingFormSF(out, 64, 0x40, FALSE), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(out), "abcd");

  std::vector<uint8_t> noEnd(40, 'q');
  putSlot(cam, kCrc + 0x40, noEnd);
  memset(out, 0, sizeof out);
  ASSERT_EQ(LibUsb_GetStringSettingFormSF(out, 64, 0x40, FALSE), 1);
  EXPECT_EQ(strlen(reinterpret_cast<char*>(out)), 32u);
  EXPECT_EQ(LibUsb_GetStringSettingFormSF(out, 31, 0x40, FALSE), 0);
}

}  // namespace
}  // namespace camtest
