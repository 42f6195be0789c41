// Firmware version readout: the version fields found by chip and ROM
// revision, in the export record and in the readable string.
#include "ROMData.h"
#include "firmware_fixture.h"

#include <cstring>

namespace camtest {
namespace {

using vcam::CameraConfig;
using vcam::FirmwareSpec;

constexpr uint8_t kUntouched = 0xEE;

class FwVersionTest : public FirmwareTest {
 protected:
  // The 56 result bytes, and the bytes after them that must stay as they were.
  struct Readout {
    BOOL result;
    std::vector<uint8_t> bytes;
    std::string out;
  };
  Readout read(bool extended, DSP_ROM_TYPE romType, BOOL exportForm) {
    Readout r;
    r.bytes.assign(64, kUntouched);
    r.out = quiet([&] {
      r.result = extended ? DorvakCam_GetFwVersionEx(romType, r.bytes.data(), 56, exportForm)
                          : DorvakCam_GetFwVersion(r.bytes.data(), 56, exportForm);
    });
    return r;
  }
  static std::string text(const Readout& r) { return std::string(reinterpret_cast<const char*>(r.bytes.data())); }
  static bool untouched(const std::vector<uint8_t>& v, size_t from = 0) {
    return std::all_of(v.begin() + static_cast<long>(from), v.end(), [](uint8_t b) { return b == kUntouched; });
  }
};

// The worked example: fields V W X Y Z / K L - M N O P Q R S /
// a b c d e f g h - i / A B C D E F G H I J.
FirmwareSpec workedExample() {
  FirmwareSpec fw;
  fw.code_ver = "VWXYZ";
  fw.cus_ver = "KL-MNOPQRS";
  fw.customer = "abcdefgh-i";
  fw.day_ver = "ABCDEFGHIJ";
  return fw;
}

TEST_F(FwVersionTest, WorkedExampleInBothForms) {
  struct Case {
    const char* rom;
    const char* readable;
  } cases[] = {
      {"ROMM24", "VWXY-KLMNOPQRS-Z-VABCDEF_GH_IJ-abcdefghi"},
      {"ROMM01", "VWXY-KLMNOPQRS-VABCDEF_GH_IJ-abcdefghi"},  // no fifth code-version character
  };
  for (const Case& c : cases) {
    resetBus();
    CameraConfig cfg;
    cfg.rom_model = vcam::rom_model_index(c.rom);
    open(cfg, workedExample());
    Readout r = read(false, DRT_Unknow, FALSE);
    ASSERT_EQ(r.result, 1) << c.rom;
    EXPECT_EQ(text(r), c.readable) << c.rom;
    EXPECT_TRUE(std::all_of(r.bytes.begin() + static_cast<long>(std::strlen(c.readable)), r.bytes.begin() + 56,
                            [](uint8_t b) { return b == 0; }))
        << "zero bytes up to byte 55";
    EXPECT_TRUE(untouched(r.bytes, 56)) << "exactly 56 bytes are written";

    r = read(false, DRT_Unknow, TRUE);
    ASSERT_EQ(r.result, 1);
    std::vector<uint8_t> record(56, 0);
    const std::string fields = "VWXYZKL-MNOPQRSabcdefgh-iABCDEFGHIJ";
    std::copy(fields.begin(), fields.end(), record.begin());
    EXPECT_EQ(std::vector<uint8_t>(r.bytes.begin(), r.bytes.begin() + 56), record) << c.rom;
    EXPECT_TRUE(untouched(r.bytes, 56));
    DorvakCam_UnInit();
  }
}

TEST_F(FwVersionTest, ZeroBytesInAFieldAreKeptAndDashesDropped) {
  FirmwareSpec fw = workedExample();
  fw.cus_ver = "-A-B";  // padded with zero bytes to 10
  fw.customer = "---";
  open({}, fw);
  const Readout r = read(false, DRT_Unknow, FALSE);
  ASSERT_EQ(r.result, 1);
  std::vector<uint8_t> expected;
  for (char ch : std::string("VWXY-AB")) expected.push_back(static_cast<uint8_t>(ch));
  expected.insert(expected.end(), 6, 0);  // the field's six zero bytes
  for (char ch : std::string("-Z-VABCDEF_GH_IJ-")) expected.push_back(static_cast<uint8_t>(ch));
  expected.resize(56, 0);
  EXPECT_EQ(std::vector<uint8_t>(r.bytes.begin(), r.bytes.begin() + 56), expected);
}

// Where each chip keeps its version fields, and the chips and revisions
// that have none.  The firmware is built with its fields at the chip's own
// addresses; a readout from any other place would not show them.
struct ChipCase {
  const char* name;
  uint8_t chip;
  vcam::Arch arch;
  const char* rom;  // nullptr: the ROM cannot be identified
  bool chipEc64k;   // firmware laid out for chip 0xEC with a 64 KiB ROM
  bool extended;
  DSP_ROM_TYPE romType;
  bool found;
  friend void PrintTo(const ChipCase& c, std::ostream* os) { *os << c.name; }
};

class FwVersionChipTest : public FwVersionTest, public testing::WithParamInterface<ChipCase> {};

TEST_P(FwVersionChipTest, FindsTheFieldsOfTheChipAndRevision) {
  const ChipCase& c = GetParam();
  CameraConfig cfg;
  cfg.chip_id = c.chip;
  cfg.arch = c.arch;
  cfg.rom_model = c.rom ? vcam::rom_model_index(c.rom) : -1;
  FirmwareSpec fw;
  fw.chip_ec_64k = c.chipEc64k;
  if (!c.rom) {  // the builder takes the revision from the model: lay the fields out for revision 1
    fw.rom_model = vcam::rom_model_index("ROMM24");
    fw.chip_id = c.chip;
    cfg.flash_image = vcam::build_firmware(fw);
    bus().add_camera(cfg);
    init();
  } else {
    open(cfg, fw);
  }
  const Readout r = read(c.extended, c.romType, FALSE);
  if (!c.found) {
    EXPECT_EQ(r.result, 0) << c.name;
    EXPECT_TRUE(untouched(r.bytes)) << c.name;
    return;
  }
  ASSERT_EQ(r.result, 1) << c.name;
  EXPECT_EQ(text(r), "V123-CV1.02.03-4-V202406_15_01-CUSTOMER01") << c.name;
  const bool announces = c.extended && c.chip == 0xEC && c.romType == DRT_64K;
  EXPECT_EQ(r.out, announces ? "dsp rom type=CUSTOMER01\n" : "") << c.name;
}

constexpr vcam::Arch kFirst = vcam::Arch::First;
constexpr vcam::Arch kSecond = vcam::Arch::Second;

INSTANTIATE_TEST_SUITE_P(
    Chips, FwVersionChipTest,
    testing::Values(ChipCase{"E1", 0xE1, kFirst, "ROMM24", false, false, DRT_Unknow, true},
                    ChipCase{"E8_ex", 0xE8, kFirst, "ROMM24", false, true, DRT_256K, true},
                    ChipCase{"E2", 0xE2, kFirst, "ROMM24", false, false, DRT_Unknow, true},
                    ChipCase{"E5", 0xE5, kFirst, "ROMM24", false, false, DRT_Unknow, true},
                    ChipCase{"E6_rev1", 0xE6, kFirst, "ROMM24", false, false, DRT_Unknow, true},
                    ChipCase{"E6_rev2", 0xE6, kFirst, "ROMM03V2", false, false, DRT_Unknow, true},
                    ChipCase{"E6_rom_unread", 0xE6, kFirst, nullptr, false, false, DRT_Unknow, false},
                    ChipCase{"E6_rev3", 0xE6, kFirst, "ROMM02", false, false, DRT_Unknow, false},
                    ChipCase{"EB", 0xEB, kFirst, "ROMM24", false, false, DRT_Unknow, true},
                    ChipCase{"EC_rev1", 0xEC, kFirst, "ROMM24", false, false, DRT_Unknow, true},
                    ChipCase{"EC_rev1_ignores_rom_size", 0xEC, kFirst, "ROMM24", false, false, DRT_64K, true},
                    ChipCase{"EC_rev2", 0xEC, kFirst, "ROMM03V2", false, false, DRT_Unknow, false},
                    ChipCase{"EC_ex_64k", 0xEC, kFirst, "ROMM24", true, true, DRT_64K, true},
                    ChipCase{"EC_ex_128k", 0xEC, kFirst, "ROMM24", false, true, DRT_128K, true},
                    ChipCase{"EC_ex_256k", 0xEC, kFirst, "ROMM24", false, true, DRT_256K, false},
                    ChipCase{"F1_rev1", 0xF1, kFirst, "ROMM24", false, false, DRT_Unknow, true},
                    ChipCase{"F1_rev2", 0xF1, kFirst, "ROMM03V2", false, false, DRT_Unknow, false},
                    ChipCase{"F4", 0xF4, kSecond, "ROMM24", false, false, DRT_Unknow, true},
                    ChipCase{"FA", 0xFA, kFirst, "ROMM24", false, false, DRT_Unknow, true},
                    ChipCase{"E9_has_no_fields", 0xE9, kFirst, "ROMM24", false, false, DRT_Unknow, false}),
    [](const testing::TestParamInfo<ChipCase>& p) { return std::string(p.param.name); });

TEST_F(FwVersionTest, SceneFilesSetTheVersionFields) {
  std::string error;
  ASSERT_TRUE(vcam::load_scene("[camera]\nchip_id = 0xE5\ncode_ver = V2010\ncus_ver = CV-2.01.00\n"
                               "day_ver = 2025031001\ncustomer = ACME\n",
                               &error))
      << error;
  init();
  const Readout r = read(false, DRT_Unknow, FALSE);
  ASSERT_EQ(r.result, 1);
  EXPECT_EQ(text(r), "V201-CV2.01.00-0-V202503_10_01-ACME");
}

TEST_F(FwVersionTest, RefusesWithoutWritingOrReading) {
  open();
  std::vector<uint8_t> buf(64, kUntouched);
  const auto trace = traceOf([&] {
    EXPECT_EQ(DorvakCam_GetFwVersion(buf.data(), 55, FALSE), 0);
    EXPECT_EQ(DorvakCam_GetFwVersionEx(DRT_128K, buf.data(), 55, TRUE), 0);
    EXPECT_EQ(DorvakCam_GetFwVersion(nullptr, 56, FALSE), 0);
  });
  EXPECT_TRUE(trace.empty());
  EXPECT_TRUE(untouched(buf));
  DorvakCam_UnInit();
  EXPECT_EQ(DorvakCam_GetFwVersion(buf.data(), 56, FALSE), 0);
  EXPECT_TRUE(untouched(buf));
}

TEST_F(FwVersionTest, AnUnreadableFieldFailsTheReadout) {
  vcam::Camera& cam = open();
  cam.fail_flash_reads(0x3E0A, 0x3E13);  // CusVer of chip 0xE1
  const Readout r = read(false, DRT_Unknow, FALSE);
  EXPECT_EQ(r.result, 0);
  EXPECT_TRUE(untouched(r.bytes));
}

TEST_F(FwVersionTest, EachFailedTransferFailsOrLeavesTheSameResult) {
  struct Case {
    const char* name;
    uint8_t chip;
    bool extended;
    bool romNeeded;  // the chip's layout depends on the ROM revision
  } cases[] = {{"GetFwVersion, chip E1", 0xE1, false, false}, {"GetFwVersionEx, chip EC", 0xEC, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> clean;
    auto arrange = [&] {
      resetBus();
      CameraConfig cfg;
      cfg.chip_id = c.chip;
      FirmwareSpec fw;
      fw.chip_ec_64k = c.extended;
      addCameraWithFirmware(cfg, fw);
      init();
    };
    auto plan = [&] {
      BYTE rom[10] = {};
      BYTE chip = 0;
      const uint64_t romReads = transfersOf([&] { LibUsb_GetAsicRomVersion(rom); });
      const uint64_t chipReads = transfersOf([&] { LibUsb_GetChipRomType(&chip, nullptr); });
      // Chip 0xE1 has one layout: without the ROM version its fields are
      // still found, and the string is the same.
      return std::vector<Phase>{{"ROM version", romReads, {EC_UnKnow}, !c.romNeeded},
                                {"chip", chipReads, {EC_UnKnow}},
                                {"fields", 2 * (2 + 2 + 2 + 1), {EC_UnKnow}}};
    };
    std::vector<uint8_t> buf(64, kUntouched);
    auto procedure = [&] {
      std::fill(buf.begin(), buf.end(), kUntouched);
      const BOOL r = c.extended ? DorvakCam_GetFwVersionEx(DRT_64K, buf.data(), 56, FALSE)
                                : DorvakCam_GetFwVersion(buf.data(), 56, FALSE);
      if (r == 0) {
        EXPECT_TRUE(untouched(buf)) << "a failed readout writes nothing";
      }
      if (r == 1 && clean.empty()) clean = buf;
      return r;
    };
    forEachTransferFault(arrange, plan, procedure, [&] { return buf == clean; });
  }
}

}  // namespace
}  // namespace camtest
