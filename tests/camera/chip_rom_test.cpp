// Chip identification and register maps, bit operations, ROM
// identification with its refinements, and the USB restart.
#include "ROMData.h"
#include "camera_fixture.h"

#include <cstring>

namespace camtest {
namespace {

using vcam::CameraConfig;

class ChipTest : public CameraTest {
 protected:
  vcam::Camera& open(const CameraConfig& cfg = {}) {
    vcam::Camera& cam = bus().add_camera(cfg);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(openLayer(), 1);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return cam;
  }
};

TEST_F(ChipTest, ChipIdentificationPicksRomTypeAndRegisterMap) {
  struct Case {
    vcam::Arch arch;
    uint8_t chip_id, other_id;
    DSP_ROM_TYPE rom;
    DSP_ARCH_TYPE archType;
    USHORT sfRdy;
  } cases[] = {
      {vcam::Arch::First, 0xE1, 0x00, DRT_64K, DAT_FIRST, 0x1084},
      {vcam::Arch::First, 0xE9, 0x00, DRT_32K, DAT_FIRST, 0x1084},
      {vcam::Arch::First, 0xF1, 0x00, DRT_128K, DAT_FIRST, 0x1084},
      // 0xF4 read at 0x101F: the table's architecture, not the row read, decides.
      {vcam::Arch::First, 0xF4, 0x00, DRT_128K, DAT_SECOND, 0x8E04},
      {vcam::Arch::Second, 0xF5, 0x42, DRT_256K, DAT_SECOND, 0x8E04},
  };
  for (const Case& c : cases) {
    bus().reset();
    CameraConfig cfg;
    cfg.arch = c.arch;
    cfg.chip_id = c.chip_id;
    cfg.other_id_reg = c.other_id;
    open(cfg);
    LibUsb_SetAsicArchInfo(DAT_FIRST);
    BYTE id = 0;
    DSP_ARCH_TYPE arch = DAT_UNKNOW;
    EXPECT_EQ(LibUsb_GetChipRomType(&id, &arch), c.rom) << std::hex << int(c.chip_id);
    EXPECT_EQ(id, c.chip_id);
    EXPECT_EQ(arch, c.archType);
    EXPECT_EQ(sfRdyAddr, c.sfRdy);
    EXPECT_EQ(dspIdAddr, c.archType == DAT_FIRST ? 0x101F : 0x80F0);
    LibUsb_CloseDevice();
  }
}

TEST_F(ChipTest, UnknownChipOrFailedReadKeepsTheMap) {
  CameraConfig cfg;
  cfg.hidden_chip_id = 0x42;  // shown at 0x101F once bit 4 of 0x100A is cleared
  vcam::Camera& cam = open(cfg);
  cam.set_reg(0x100A, 0x00);
  BYTE id = 0x55;
  DSP_ARCH_TYPE arch = DAT_FIRST;
  EXPECT_EQ(LibUsb_GetChipRomType(&id, &arch), DRT_Unknow);
  EXPECT_EQ(id, 0x55);
  EXPECT_EQ(sfRdyAddr, 0x1084);

  bus().fail_selector(1);
  testing::internal::CaptureStderr();
  const auto trace = traceOf([] { EXPECT_EQ(LibUsb_GetChipRomType(nullptr, nullptr), DRT_Unknow); });
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "F0 error -1\n");  // the second row is not tried
  EXPECT_EQ(trace.size(), 2u);
  bus().clear_faults();
}

TEST_F(ChipTest, ArchitectureSelectionRefusesUnknownValues) {
  open();
  EXPECT_EQ(LibUsb_SetAsicArchInfo(DSP_ARCH_COUNT), 0);
  EXPECT_EQ(LibUsb_SetAsicArchInfo(DAT_UNKNOW), 0);
  EXPECT_EQ(i2cDev, 0x10D0);
  EXPECT_NE(LibUsb_SetAsicArchInfo(DAT_SECOND), 0);
  EXPECT_EQ(i2cDev, 0x8600);
  EXPECT_EQ(i2cDataArrStartAddr, 0x8602);
}

TEST_F(ChipTest, BitOperations) {
  vcam::Camera& cam = open();
  cam.set_reg(0x1010, 0x81);
  EXPECT_EQ(LibUsb_ReadBitFormAsic(0x1010, 0), 0x01);
  EXPECT_EQ(LibUsb_ReadBitFormAsic(0x1010, 7), 0x80);
  EXPECT_EQ(LibUsb_ReadBitFormAsic(0x1010, 3), 0x00);
  EXPECT_EQ(LibUsb_EnableAsicRegisterBit(0x1010, 3), 1);
  EXPECT_EQ(cam.reg(0x1010), 0x89);
  EXPECT_EQ(LibUsb_DisableAsicRegisterBit(0x1010, 7), 1);
  EXPECT_EQ(cam.reg(0x1010), 0x09);

  // Bit numbers above 7 are refused before any transfer.
  const auto trace = traceOf([] {
    EXPECT_EQ(LibUsb_ReadBitFormAsic(0x1010, 8), 0);
    EXPECT_EQ(LibUsb_EnableAsicRegisterBit(0x1010, 8), 0);
    EXPECT_EQ(LibUsb_DisableAsicRegisterBit(0x1010, 200), 0);
  });
  EXPECT_TRUE(trace.empty());
  EXPECT_EQ(cam.reg(0x1010), 0x09);

  // A failed read returns 0 and writes nothing.
  bus().fail_selector(1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(LibUsb_ReadBitFormAsic(0x1010, 0), 0);
  EXPECT_EQ(LibUsb_EnableAsicRegisterBit(0x1010, 1), 0);
  testing::internal::GetCapturedStderr();
  bus().clear_faults();
  EXPECT_EQ(cam.reg(0x1010), 0x09);
}

// ------------------------------------------------------------- ROM

class RomTest : public ChipTest {
 protected:
  static std::vector<uint8_t> romString(const char* text, uint8_t version, uint8_t b6 = 0, uint8_t b7 = 0) {
    std::vector<uint8_t> s(text, text + 5);
    s.push_back(version);
    s.push_back(b6);
    s.push_back(b7);
    return s;
  }
};

TEST_F(RomTest, EveryTableModelIsIdentifiedFromItsOwnString) {
  for (int model = 0; model < ROMCOUNT; ++model) {
    bus().reset();
    CameraConfig cfg;
    cfg.rom_model = model;
    open(cfg);
    BYTE version[8] = {};
    ASSERT_EQ(LibUsb_DefGetAsicRomVersion(version), 1) << model;
    // ROMM28V1 shares the string of ROMM15V1 and is reached only by refinement.
    EXPECT_EQ(uiRomID, model == ROMM28V1 ? uint32_t{ROMM15V1} : uint32_t(model)) << model;
    EXPECT_EQ(memcmp(version, RomInfo[model].RomString, 8), 0) << model;
    LibUsb_CloseDevice();
  }
}

TEST_F(RomTest, NewestVersionRuleAndNoMatch) {
  CameraConfig cfg;
  cfg.rom_model = -1;
  vcam::Camera& cam = open(cfg);
  struct Case {
    std::vector<uint8_t> rom;
    BOOL found;
    uint32_t model;
  } cases[] = {
      {romString("M03R0", 3), 1, ROMM03V2},  // 3 >= 2 on a newest row, not the exact ROMM03V1
      {romString("M03R0", 1), 1, ROMM03V1},
      {romString("M24R0", 2), 0, 0},          // ROMM24 matches its version exactly only
      {romString("M99R0", 1), 0, 0},
  };
  for (const Case& c : cases) {
    cam.set_rom(0x9FF8, c.rom);
    uiRomID = 77;
    BYTE version[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(LibUsb_GetAsicRomVersion(version), c.found);
    if (c.found) {
      EXPECT_EQ(uiRomID, c.model);
      EXPECT_EQ(std::vector<uint8_t>(version, version + 8), c.rom);
    } else {
      EXPECT_EQ(uiRomID, 77u);
      EXPECT_EQ(version[0], 9);
    }
  }
}

TEST_F(RomTest, RefinementsByChipRegistersAndStraps) {
  struct Case {
    const char* name;
    int model;
    std::optional<uint8_t> hidden_chip_id;
    uint8_t straps;
    bool reg1185_sticks;
    uint8_t chip_reg;  // value of 0x101F seen by the refinement (0 = the chip id)
    const char* code;
    char byte4;
    uint32_t romId;
  } cases[] = {
      {"M11 bits stick", ROMM11V1, {}, 0x00, true, 0, "M11", '1', ROMM11V1},
      {"M11 bits drop", ROMM11V1, {}, 0x00, false, 0, "M11", '0', ROMM11V1},
      {"M15 chip F8", ROMM15V1, {}, 0x20, false, 0xF8, "M28", '0', ROMM28V1},
      {"M15 strap 5 high", ROMM15V1, {}, 0x20, false, 0, "M15", '1', ROMM15V1},
      {"M15 strap 5 low", ROMM15V1, {}, 0x00, false, 0, "M15", '0', ROMM15V1},
      {"M17 hidden EA", ROMM17V1, 0xEA, 0x00, false, 0, "M16", '2', ROMM16V1},
      {"M17 hidden EA strap 3", ROMM17V1, 0xEA, 0x08, false, 0, "M16", '1', ROMM16V1},
      {"M17 strap 4", ROMM17V1, {}, 0x10, false, 0, "M17", '0', ROMM17V1},
      {"M17 no strap", ROMM17V1, {}, 0x00, false, 0, "M17", '0', ROMM17V1},
      {"M19 hidden F2", ROMM19V1, 0xF2, 0x08, false, 0, "M18", '1', ROMM18V1},
      {"M19 no strap", ROMM19V1, {}, 0x00, false, 0, "M19", '0', ROMM19V1},
  };
  for (const Case& c : cases) {
    bus().reset();
    CameraConfig cfg;
    cfg.rom_model = c.model;
    cfg.hidden_chip_id = c.chip_reg ? std::optional<uint8_t>(c.chip_reg) : c.hidden_chip_id;
    cfg.gpio_straps = c.straps;
    cfg.reg1185_bits_stick = c.reg1185_sticks;
    vcam::Camera& cam = open(cfg);
    // Bit 4 of 0x100A hides the bonded chip id; clear it to show 0x101F's other value.
    const uint8_t bondOption = c.chip_reg ? 0x03 : 0x13;
    cam.set_reg(0x100A, bondOption);
    BYTE version[8] = {};
    ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1) << c.name;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(version), 3), c.code) << c.name;
    EXPECT_EQ(version[3], 'R') << c.name;
    EXPECT_EQ(version[4], c.byte4) << c.name;
    EXPECT_EQ(uiRomID, c.romId) << c.name;
    EXPECT_EQ(cam.reg(0x100A), bondOption) << c.name << ": the strap control bit is restored";
    LibUsb_CloseDevice();
  }
}

TEST_F(RomTest, RestartPerModel) {
  struct Case {
    int model;
    BOOL result;
    int restarts;
  } cases[] = {{ROMM02, 0, 0}, {ROMM01, 0, 0}, {ROMM24, 1, 1}, {ROMM23, 1, 1}, {ROMM21V1, 1, 1}};
  for (const Case& c : cases) {
    bus().reset();
    CameraConfig cfg;
    cfg.rom_model = c.model;
    vcam::Camera& cam = open(cfg);
    cam.set_reg(usbResetAddr, 0xA5);
    const uint64_t slept = bus().slept_us();
    const auto trace = traceOf([&] { EXPECT_EQ(LibUsb_RestartDevice(), c.result) << c.model; });
    const auto writes = writesTo(trace, usbResetAddr);
    EXPECT_EQ(cam.usb_restarts(), c.restarts) << c.model;
    if (c.model == ROMM23 || c.model == ROMM24) {
      EXPECT_EQ(writes, std::vector<uint8_t>{0xA4}) << "bit 0 cleared, the rest kept";
      EXPECT_GE(bus().slept_us() - slept, 1000u);
    } else if (c.result) {
      EXPECT_EQ(writes, std::vector<uint8_t>{0x00});
    } else {
      for (const RegOp& op : registerOps(trace)) EXPECT_FALSE(op.write) << op;
    }
    LibUsb_CloseDevice();
  }
}

TEST_F(RomTest, RestartWithoutAKnownRomStoresItsErrorCode) {
  CameraConfig cfg;
  cfg.rom_model = -1;
  open(cfg);
  EXPECT_EQ(LibUsb_RestartDevice(), 0);
  EXPECT_EQ(gEC, EC_GetAsicRomVersionFail);
}

}  // namespace
}  // namespace camtest
