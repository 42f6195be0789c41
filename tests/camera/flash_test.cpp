// Serial flash: the byte-level protocol and identification, data reads
// and writes, erases and the write-protect removal, on the virtual flash.
#include "ROMData.h"
#include "camera_fixture.h"

#include <algorithm>

namespace camtest {
namespace {

using vcam::CameraConfig;
using vcam::FirmwareSpec;

class FlashTest : public CameraTest {
 protected:
  vcam::Camera& open(CameraConfig cfg = {}, FirmwareSpec fw = {}) {
    vcam::Camera& cam = addCameraWithFirmware(cfg, fw);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(openLayer(), 1);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return cam;
  }
  static bool contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
  }
};

// ------------------------------------------------------------- protocol

TEST_F(FlashTest, IdentificationAttemptsAndWildcards) {
  struct Case {
    const char* name;
    vcam::FlashFamily family;
    std::optional<std::vector<uint8_t>> jedec;
    SERIAL_FLASH_TYPE type;
    BYTE cmdRow;
    bool onlyFirstAttempt;
  } cases[] = {
      {"MXIC C2 20 13", vcam::FlashFamily::Mxic, std::vector<uint8_t>{0xC2, 0x20, 0x13}, SFT_MXIC, 1, true},
      {"PMC 9D 7B any", vcam::FlashFamily::Pmc, std::vector<uint8_t>{0x9D, 0x7B, 0x42}, SFT_PMC, 3, true},
      {"SST after 7F", vcam::FlashFamily::Sst, std::vector<uint8_t>{0x7F, 0xBF, 0x48}, SFT_SST, 4, true},
      {"Winbond", vcam::FlashFamily::Winbond, std::nullopt, SFT_WINBOND, 1, true},
      {"unlisted C2 20 15", vcam::FlashFamily::Unknown, std::vector<uint8_t>{0xC2, 0x20, 0x15}, SFT_UNKNOW, 0,
       false},
  };
  for (const Case& c : cases) {
    bus().reset();
    CameraConfig cfg;
    cfg.flash = c.family;
    cfg.flash_jedec = c.jedec;
    open(cfg);
    ubSFLib_CmdID = 9;
    SERIAL_FLASH_TYPE sft = SFT_EON;
    const auto trace = traceOf([&] { EXPECT_EQ(LibUsb_GetSerialFlashType(&sft), 1) << c.name; });
    EXPECT_EQ(sft, c.type) << c.name;
    EXPECT_EQ(ubSFLib_CmdID, c.cmdRow) << c.name;
    const auto sent = flashBytesSent(trace);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), 0x9F) << c.name;
    const bool later = std::count(sent.begin(), sent.end(), 0x15) + std::count(sent.begin(), sent.end(), 0xAB) > 0;
    EXPECT_EQ(later, !c.onlyFirstAttempt) << c.name;
    if (!c.onlyFirstAttempt) {
      EXPECT_TRUE(contains(sent, {0x90, 0x00, 0x00, 0x00})) << c.name;
      EXPECT_TRUE(contains(sent, {0xAB, 0x00, 0x00, 0x00})) << c.name;
    }
    EXPECT_EQ(bus().camera(0).reg(sfModeAddr), 0) << c.name << ": manual mode left";
    LibUsb_CloseDevice();
  }
}

TEST_F(FlashTest, ReadyWaitGivesUpAfterFiftyReadings) {
  vcam::Camera& cam = open();
  cam.set_flash_ready_stuck(true);
  const uint64_t slept = bus().slept_us();
  const auto trace = traceOf([] { EXPECT_EQ(LibUsb_SFWaitReady(), 0); });
  EXPECT_EQ(registerOps(trace).size(), 50u);
  EXPECT_EQ(bus().slept_us() - slept, 50u * 1000u);
  cam.set_flash_ready_stuck(false);
  EXPECT_EQ(LibUsb_SFWaitReady(), 1);
}

TEST_F(FlashTest, StatusPollEndsOnAClearBusyBitOrAfterTenThousandPolls) {
  CameraConfig cfg;
  cfg.sf_busy_polls = 0;
  vcam::Camera& cam = open(cfg);
  LibUsb_WriteToASIC(sfModeAddr, 1);
  cam.set_flash_status(0x02);  // write enable latch only
  uint64_t slept = bus().slept_us();
  EXPECT_EQ(LibUsb_SFCMDreadStatus(), 1);
  EXPECT_EQ(bus().slept_us(), slept);

  cam.set_flash_stuck_busy(true);
  bus().set_trace_enabled(false);
  slept = bus().slept_us();
  EXPECT_EQ(LibUsb_SFCMDreadStatus(), 0);
  EXPECT_EQ(bus().slept_us() - slept, 10000u * 1000u);
  bus().set_trace_enabled(true);
  cam.set_flash_stuck_busy(false);
  LibUsb_WriteToASIC(sfCSAddr, 1);
  LibUsb_WriteToASIC(sfModeAddr, 0);
}

// ------------------------------------------------------------- data

TEST_F(FlashTest, ReadsInPiecesOfEight) {
  vcam::Camera& cam = open();
  for (int i = 0; i < 32; ++i) cam.flash()[0x2000 + i] = static_cast<uint8_t>(0x40 + i);
  BYTE out[16] = {};
  const auto trace = traceOf([&] { EXPECT_EQ(LibUsb_ReadFormSF(0x2000, out, 13), 1); });
  const auto requests = ofSelector(trace, 3);
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].out[2], 0x88);
  EXPECT_EQ(requests[2].out[0], 0x08);
  EXPECT_EQ(requests[2].out[2], 0x85);
  for (int i = 0; i < 13; ++i) EXPECT_EQ(out[i], 0x40 + i);
  EXPECT_EQ(out[13], 0);

  for (int64_t len : {0, -5}) {
    const auto none = traceOf([&] { EXPECT_EQ(LibUsb_ReadFormSF(0x2000, out, len), 1); });
    EXPECT_TRUE(none.empty());
  }
  cam.fail_flash_reads(0x2008, 0x2008);
  testing::internal::CaptureStderr();
  EXPECT_EQ(LibUsb_ReadFormSF(0x2000, out, 13), 0);
  testing::internal::GetCapturedStderr();
}

TEST_F(FlashTest, SectorWriteUnprotectsErasesWaitsAndWrites) {
  CameraConfig cfg;
  cfg.flash = vcam::FlashFamily::Winbond;
  vcam::Camera& cam = open(cfg);
  std::fill(cam.flash().begin() + 0x1000, cam.flash().begin() + 0x2010, 0x00);  // old data
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  std::vector<uint8_t> buf = data;
  const uint64_t slept = bus().slept_us();
  const auto trace = traceOf([&] { EXPECT_EQ(LibUsb_WriteToSF(0x1000, buf.data(), 10, SFT_WINBOND), 1); });
  EXPECT_TRUE(contains(flashBytesSent(trace), {0x20, 0x00, 0x10, 0x00}));
  EXPECT_GE(bus().slept_us() - slept, 1000000u);
  std::vector<vcam::Transfer> writes;
  for (const auto& t : ofSelector(trace, 3))
    if (t.is_set() && !(t.out[2] & 0x80)) writes.push_back(t);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].out[2], 0x08);
  EXPECT_EQ(writes[1].out[0], 0x08);
  EXPECT_EQ(writes[1].out[2], 0x02);
  EXPECT_EQ(std::vector<uint8_t>(cam.flash().begin() + 0x1000, cam.flash().begin() + 0x100A), data);
  EXPECT_EQ(cam.flash()[0x100A], 0xFF) << "the rest of the sector is erased";
  EXPECT_EQ(cam.flash()[0x2000], 0x00) << "the next sector is untouched";
}

TEST_F(FlashTest, WritesWithoutUnprotectingDoNotLand) {
  vcam::Camera& cam = open();
  const std::vector<uint8_t> before(cam.flash().begin() + 0x3000, cam.flash().begin() + 0x4000);
  BYTE data[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  LibUsb_WriteDataToFlash(0x3000, data, 8);
  LibUsb_EraseSectorForSerialFlash(0x3000, SFT_MXIC);
  EXPECT_EQ(std::vector<uint8_t>(cam.flash().begin() + 0x3000, cam.flash().begin() + 0x4000), before);
  EXPECT_GT(cam.flash_rejected(), 0);
}

TEST_F(FlashTest, UnknownFlashTypeIsRefused) {
  open();
  BYTE data[4] = {};
  gEC = EC_UnKnow;
  auto trace = traceOf([&] { EXPECT_EQ(LibUsb_WriteToSF(0, data, 4, SFT_UNKNOW), 0); });
  EXPECT_EQ(gEC, EC_UnKnowSerialFlashType);
  EXPECT_TRUE(trace.empty());
  gEC = EC_UnKnow;
  EXPECT_EQ(LibUsb_DisableSerialFlashWriteProtect(SFT_UNKNOW), 0);
  EXPECT_EQ(gEC, EC_UnKnowSerialFlashType);
  trace = traceOf([] {
    EXPECT_EQ(LibUsb_EraseSectorForSerialFlash(0, SFT_UNKNOW), 0);
    EXPECT_EQ(LibUsb_EraseBlockForSerialFlash(0, SFT_UNKNOW), 0);
  });
  EXPECT_TRUE(trace.empty());
}

TEST_F(FlashTest, EraseOpcodesByFamily) {
  struct Case {
    SERIAL_FLASH_TYPE sft;
    uint8_t sector, block, chip;
  } cases[] = {{SFT_ST, 0xD8, 0xD8, 0xC7},      {SFT_PMC, 0xD7, 0x52, 0xC7}, {SFT_GIGA, 0x20, 0xD8, 0x60},
               {SFT_WINBOND, 0x20, 0x52, 0xC7}, {SFT_MXIC, 0x20, 0x52, 0x60}, {SFT_UNKNOW, 0, 0, 0x60}};
  open();
  for (const Case& c : cases) {
    if (c.sector) {
      auto sent = flashBytesSent(traceOf([&] { EXPECT_EQ(LibUsb_EraseSectorForSerialFlash(0x12345, c.sft), 1); }));
      EXPECT_EQ(sent, (std::vector<uint8_t>{0x06, c.sector, 0x01, 0x23, 0x45})) << c.sft;
      sent = flashBytesSent(traceOf([&] { EXPECT_EQ(LibUsb_EraseBlockForSerialFlash(0x20000, c.sft), 1); }));
      EXPECT_EQ(sent, (std::vector<uint8_t>{0x06, c.block, 0x02, 0x00, 0x00})) << c.sft;
    }
    const auto sent = flashBytesSent(traceOf([&] { EXPECT_EQ(LibUsb_SerialFlashErase(c.sft), 1); }));
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 2), (std::vector<uint8_t>{0x06, c.chip})) << c.sft;
    EXPECT_EQ(sent[2], 0x05) << c.sft << ": the erase is awaited";
  }
  const auto sst = flashBytesSent(traceOf([] { LibUsb_SerialFlashErase(SFT_SST); }));
  EXPECT_EQ(std::vector<uint8_t>(sst.begin(), sst.begin() + 5), (std::vector<uint8_t>{0x50, 0x01, 0x00, 0x06, 0x60}));
}

// ------------------------------------------------------------- write protect

TEST_F(FlashTest, WriteProtectPinFollowsTheConfigurationByte) {
  struct Case {
    uint8_t config;
    bool driven_high;
  } cases[] = {{0x2A, false}, {0x2B, true}, {0x21, false}, {0x28, true}};
  for (const Case& c : cases) {
    bus().reset();
    CameraConfig cfg;
    cfg.rom_model = ROMM21V1;  // outside the four models with the older pin handling
    FirmwareSpec fw;
    fw.wp_config = c.config;
    vcam::Camera& cam = open(cfg, fw);
    cam.set_reg(0x1006, 0x00);
    cam.set_reg(0x1007, 0x00);
    EXPECT_EQ(LibUsb_DisableSerialFlashWriteProtect(SFT_MXIC), 1) << std::hex << int(c.config);
    EXPECT_TRUE(cam.reg(0x1007) & 0x04) << std::hex << int(c.config) << ": GPIO 2 is an output";
    EXPECT_EQ((cam.reg(0x1006) & 0x04) != 0, c.driven_high) << std::hex << int(c.config);
    LibUsb_CloseDevice();
  }
}

TEST_F(FlashTest, UnprotectClearsTheStatusRegisterSoWritesLand) {
  for (auto family : {vcam::FlashFamily::Mxic, vcam::FlashFamily::Sst}) {
    bus().reset();
    CameraConfig cfg;
    cfg.flash = family;
    cfg.rom_model = ROMM21V1;
    vcam::Camera& cam = open(cfg);
    const SERIAL_FLASH_TYPE sft = family == vcam::FlashFamily::Sst ? SFT_SST : SFT_MXIC;
    const auto sent = flashBytesSent(traceOf([&] { EXPECT_EQ(LibUsb_DisableSerialFlashWriteProtect(sft), 1); }));
    EXPECT_EQ(cam.flash_status() & (vcam::kStatusBp | vcam::kStatusSrwd), 0) << sft;
    // Only the SST family needs the write-status enable before the status write.
    EXPECT_EQ(contains(sent, {0x50, 0x01, 0x00}), sft == SFT_SST) << sft;
    EXPECT_TRUE(contains(sent, {0x01, 0x00})) << sft;
    EXPECT_EQ(cam.reg(sfModeAddr), 0);
    BYTE data[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(LibUsb_WriteToSF(0x30000, data, 8, sft), 1);
    EXPECT_EQ(cam.flash()[0x30007], 0x88) << sft;
    LibUsb_CloseDevice();
  }
}

TEST_F(FlashTest, FirmwareFlashCommandRegistersForModelsThatNeedThem) {
  struct Case {
    int model;
    uint8_t config;
    SERIAL_FLASH_TYPE sft;
    uint8_t wren, pp;
  } cases[] = {
      {ROMM24, 0x5A, SFT_SST, 0x06, 0xAF},    // older format: fixed opcodes by family
      {ROMM24, 0x5A, SFT_MXIC, 0x06, 0x02},
      {ROMM21V1, 0x2A, SFT_MXIC, 0x06, 0x02},  // newer format: the identified command set
  };
  // Without an identification in the process the family's command set is used
  // (row 0 would make the firmware's writes disable writing).
  bus().reset();
  {
    CameraConfig cfg;
    cfg.rom_model = ROMM21V1;
    cfg.flash = vcam::FlashFamily::Sst;
    FirmwareSpec fw;
    fw.wp_config = 0x2A;
    vcam::Camera& cam = open(cfg, fw);
    ubSFLib_CmdID = 0;
    EXPECT_EQ(LibUsb_DisableSerialFlashWriteProtect(SFT_SST), 1);
    EXPECT_EQ(cam.reg(0x05F3), 0x06);
    EXPECT_EQ(cam.reg(0x05F5), 0xAF);
    LibUsb_CloseDevice();
  }
  for (const Case& c : cases) {
    bus().reset();
    CameraConfig cfg;
    cfg.rom_model = c.model;
    FirmwareSpec fw;
    fw.wp_config = c.config;
    vcam::Camera& cam = open(cfg, fw);
    SERIAL_FLASH_TYPE found = SFT_UNKNOW;
    LibUsb_GetSerialFlashType(&found);
    EXPECT_EQ(LibUsb_DisableSerialFlashWriteProtect(c.sft), 1);
    EXPECT_EQ(cam.reg(0x05F3), c.wren) << c.model;
    EXPECT_EQ(cam.reg(0x05F5), c.pp) << c.model;
    EXPECT_EQ(cam.reg(0x05F8), 0x12);
    EXPECT_EQ(cam.reg(0x05FB), 0xED);
    LibUsb_CloseDevice();
  }
}

TEST_F(FlashTest, CompactModeWithMemoryTypeTwoReturnsBeforeTheStatusWrite) {
  CameraConfig cfg;
  cfg.rom_model = ROMM24;
  cfg.memory_type = 2;
  vcam::Camera& cam = open(cfg);
  const int before = cam.flash_status_writes();
  const auto sent = flashBytesSent(traceOf([] { EXPECT_EQ(LibUsb_DisableSerialFlashWriteProtect(SFT_MXIC), 1); }));
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(cam.flash_status_writes(), before);
}

TEST_F(FlashTest, UnprotectWithoutAKnownRomFails) {
  CameraConfig cfg;
  cfg.rom_model = -1;
  open(cfg);
  EXPECT_EQ(LibUsb_DisableSerialFlashWriteProtect(SFT_MXIC), 0);
  EXPECT_EQ(gEC, EC_GetAsicRomTypeFail);
}

}  // namespace
}  // namespace camtest
