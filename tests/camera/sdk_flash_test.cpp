// The SDK's serial-flash entry points: wrapped layer operations with their
// error codes, and the register-level custom read and sector write.
#include "ROMData.h"
#include "camera_fixture.h"

#include <algorithm>
#include <numeric>

namespace camtest {
namespace {

using vcam::CameraConfig;
using vcam::FlashFamily;

class SdkFlashTest : public CameraTest {
 protected:
  vcam::Camera& open(CameraConfig cfg = {}) { return openSdkWithCamera(cfg); }
  static std::vector<uint8_t> pattern(size_t n, uint8_t start) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
  }
  static std::vector<uint8_t> flashAt(const vcam::Camera& cam, size_t at, size_t n) {
    return std::vector<uint8_t>(cam.flash().begin() + at, cam.flash().begin() + at + n);
  }
  // Positions in `sent` where a page program command starts, with its address.
  static std::vector<std::pair<uint32_t, size_t>> pagePrograms(const std::vector<uint8_t>& sent) {
    std::vector<std::pair<uint32_t, size_t>> out;
    for (size_t i = 0; i + 3 < sent.size(); ++i)
      if (sent[i] == 0x06 && sent[i + 1] == 0x02) {
        out.emplace_back((sent[i + 2] << 16) | (sent[i + 3] << 8) | sent[i + 4], i + 5);
        i += 4;
      }
    return out;
  }
};

TEST_F(SdkFlashTest, IdentifyReadAndPlainWrite) {
  CameraConfig cfg;
  cfg.flash = FlashFamily::Unknown;
  cfg.protected_at_start = false;
  vcam::Camera& cam = open(cfg);
  SERIAL_FLASH_TYPE sft = SFT_MXIC;
  EXPECT_EQ(DorvakCam_GetSerialFlashType(&sft), 1);
  EXPECT_EQ(sft, SFT_UNKNOW);

  BYTE out[16] = {};
  EXPECT_EQ(DorvakCam_SerialFlashRead(0x10000, out, 16), 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 16), flashAt(cam, 0x10000, 16));

  std::fill(cam.flash().begin() + 0x20000, cam.flash().begin() + 0x20200, 0xFF);
  // The firmware's own flash commands are set up by the protection removal.
  EXPECT_EQ(DorvakCam_DisableSerialFlashWriteProtect(SFT_MXIC), 1);
  auto data = pattern(13, 0x30);
  const auto trace = traceOf([&] { EXPECT_EQ(DorvakCam_SerialFlashWrite(0x20000, data.data(), 13), 1); });
  const auto pieces = ofSelector(trace, 3);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].out[2], 0x28);  // bank 2, 8 bytes
  EXPECT_EQ(pieces[1].out[0], 0x08);
  EXPECT_EQ(pieces[1].out[2], 0x25);  // 5 bytes
  EXPECT_EQ(flashAt(cam, 0x20000, 13), data);
  EXPECT_EQ(cam.flash()[0x2000D], 0xFF);

  EXPECT_EQ(DorvakCam_SerialFlashWrite(0x20000, data.data(), -4), 1);
  bus().fail_transfer(2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(DorvakCam_SerialFlashWrite(0x20100, data.data(), 13), 0);
  testing::internal::GetCapturedStderr();
}

TEST_F(SdkFlashTest, WrappedOperationsAndTheirErrorCodes) {
  vcam::Camera& cam = open();
  BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  gEC = EC_UnKnow;
  EXPECT_EQ(DorvakCam_SerialFlashSectorWrite(0x4000, data, 8, SFT_UNKNOW), 0);
  EXPECT_EQ(DorvakCam_GetErrorCode(), EC_UnKnowSerialFlashType);
  EXPECT_EQ(DorvakCam_EraseSectorFlash(0x4000, SFT_UNKNOW), 0);
  EXPECT_EQ(DorvakCam_GetErrorCode(), EC_DisableFlashWriteProtectFail) << "overwrites the layer's code";
  gEC = EC_UnKnow;
  EXPECT_EQ(DorvakCam_DisableSerialFlashWriteProtect(SFT_UNKNOW), 0);
  EXPECT_EQ(DorvakCam_GetErrorCode(), EC_DisableFlashWriteProtectFail);

  EXPECT_EQ(DorvakCam_SerialFlashSectorWrite(0x4000, data, 8, SFT_MXIC), 1);
  EXPECT_EQ(flashAt(cam, 0x4000, 8), std::vector<uint8_t>(data, data + 8));
  EXPECT_EQ(DorvakCam_EraseSectorFlash(0x4000, SFT_MXIC), 1);
  EXPECT_EQ(cam.flash()[0x4000], 0xFF);
  std::fill(cam.flash().begin() + 0x20000, cam.flash().begin() + 0x30000, 0x00);
  EXPECT_EQ(DorvakCam_EraseBlockFlash(0x20000, SFT_MXIC), 1);  // 0x52: a 32 KiB block
  EXPECT_EQ(cam.flash()[0x27FFF], 0xFF);
  EXPECT_EQ(cam.flash()[0x28000], 0x00);
  EXPECT_EQ(DorvakCam_EraseSerialFlash(SFT_MXIC), 1);
  EXPECT_TRUE(std::all_of(cam.flash().begin(), cam.flash().end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(DorvakCam_DisableSerialFlashWriteProtect(SFT_MXIC), 1);
}

TEST_F(SdkFlashTest, UnprotectFailureOverwritesTheRomTypeCode) {
  CameraConfig cfg;
  cfg.rom_model = -1;
  open(cfg);
  EXPECT_EQ(DorvakCam_DisableSerialFlashWriteProtect(SFT_MXIC), 0);
  EXPECT_EQ(DorvakCam_GetErrorCode(), EC_DisableFlashWriteProtectFail);
  BYTE data[4] = {};
  gEC = EC_UnKnow;
  EXPECT_EQ(DorvakCam_SerialFlashSectorWrite(0x4000, data, 4, SFT_MXIC), 0);
  EXPECT_EQ(DorvakCam_GetErrorCode(), EC_GetAsicRomTypeFail) << "the layer's code is left in place";
}

TEST_F(SdkFlashTest, CustomReadUsesTheReadCommandThroughTheController) {
  vcam::Camera& cam = open();
  BYTE out[20] = {};
  auto trace = traceOf([&] { EXPECT_EQ(DorvakCam_SerialFlashCustomRead(0x10040, out, 20), 1); });
  EXPECT_EQ(std::vector<uint8_t>(out, out + 20), flashAt(cam, 0x10040, 20));
  EXPECT_EQ(writesTo(trace, 0x1088), std::vector<uint8_t>{0x03});
  EXPECT_EQ(writesTo(trace, 0x1089), std::vector<uint8_t>{0x01});
  EXPECT_EQ(writesTo(trace, 0x108A), std::vector<uint8_t>{0x00});
  EXPECT_EQ(writesTo(trace, 0x108B), std::vector<uint8_t>{0x40});
  EXPECT_EQ(cam.reg(0x1080) & 1, 0) << "manual mode left";

  trace = traceOf([&] { EXPECT_EQ(DorvakCam_SerialFlashCustomRead(0x123456, out, 0), 1); });
  EXPECT_EQ(flashBytesSent(trace), (std::vector<uint8_t>{0x03, 0x12, 0x34, 0x56}));

  // A controller that never gets ready is a failure, and the flash is given back.
  cam.set_flash_ready_stuck(true);
  EXPECT_EQ(DorvakCam_SerialFlashCustomRead(0x10040, out, 4), 0);
  cam.set_flash_ready_stuck(false);
  EXPECT_EQ(cam.reg(0x1080) & 1, 0);
  EXPECT_EQ(cam.reg(0x1091) & 1, 1);
}

struct CustomWriteCase {
  const char* name;
  FlashFamily family;
  SERIAL_FLASH_TYPE sft;
  long addr, len;
  std::vector<std::pair<uint32_t, size_t>> pages;  // page programs: address and byte count
};

class CustomSectorWriteTest : public SdkFlashTest, public testing::WithParamInterface<CustomWriteCase> {};

TEST_P(CustomSectorWriteTest, ErasesAndProgramsExactlyTheDataPageByPage) {
  const CustomWriteCase& c = GetParam();
  CameraConfig cfg;
  cfg.flash = c.family;
  vcam::Camera& cam = open(cfg);
  const long sector = c.addr & ~0xFFFL;
  auto data = pattern(static_cast<size_t>(c.len), 0x41);
  const uint64_t slept = bus().slept_us();
  const auto trace = traceOf([&] {
    EXPECT_EQ(DorvakCam_SerialFlashSectorCustomWrite(c.addr, data.data(), c.len, c.sft), 1);
  });
  EXPECT_GE(bus().slept_us() - slept, 1000000u);
  EXPECT_EQ(flashAt(cam, c.addr, data.size()), data) << c.name;
  const size_t before = static_cast<size_t>(c.addr - sector);
  EXPECT_EQ(flashAt(cam, sector, before), std::vector<uint8_t>(before, 0xFF)) << "rest of the sector erased";
  EXPECT_EQ(cam.reg(0x1080) & 1, 0);

  const auto sent = flashBytesSent(trace);
  const auto programs = pagePrograms(sent);
  ASSERT_EQ(programs.size(), c.pages.size()) << c.name;
  size_t offset = 0;
  for (size_t p = 0; p < programs.size(); ++p) {
    EXPECT_EQ(programs[p].first, c.pages[p].first) << c.name;
    const size_t at = programs[p].second;
    ASSERT_LE(at + c.pages[p].second, sent.size());
    EXPECT_EQ(std::vector<uint8_t>(sent.begin() + at, sent.begin() + at + c.pages[p].second),
              std::vector<uint8_t>(data.begin() + offset, data.begin() + offset + c.pages[p].second))
        << c.name;
    offset += c.pages[p].second;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Families, CustomSectorWriteTest,
    testing::Values(
        CustomWriteCase{"giga_split", FlashFamily::Giga, SFT_GIGA, 0x10F0, 40, {{0x10F0, 16}, {0x1100, 24}}},
        CustomWriteCase{"mxic_one_page", FlashFamily::Mxic, SFT_MXIC, 0x3000, 100, {{0x3000, 100}}},
        CustomWriteCase{"mxic_three_pages", FlashFamily::Mxic, SFT_MXIC, 0x30080, 600,
                        {{0x30080, 128}, {0x30100, 256}, {0x30200, 216}}},
        // The general path programs page by page too: one command would wrap
        // at the page end and overwrite the start of its own page.
        CustomWriteCase{"winbond_crosses_a_page", FlashFamily::Winbond, SFT_WINBOND, 0x50F8, 24,
                        {{0x50F8, 8}, {0x5100, 16}}},
        CustomWriteCase{"st_empty", FlashFamily::St, SFT_ST, 0x6000, 0, {{0x6000, 0}}}),
    [](const testing::TestParamInfo<CustomWriteCase>& p) { return std::string(p.param.name); });

TEST_F(SdkFlashTest, CustomSectorWriteOnSstProgramsByteByByteWithAddressIncrement) {
  CameraConfig cfg;
  cfg.flash = FlashFamily::Sst;
  vcam::Camera& cam = open(cfg);
  auto data = pattern(5, 0x61);
  auto trace = traceOf([&] { EXPECT_EQ(DorvakCam_SerialFlashSectorCustomWrite(0x7010, data.data(), 5, SFT_SST), 1); });
  EXPECT_EQ(flashAt(cam, 0x7010, 5), data);
  const auto sent = flashBytesSent(trace);
  const std::vector<uint8_t> program = {0x06, 0xAF, 0x00, 0x70, 0x10, 0x61, 0xAF, 0x62, 0xAF,
                                        0x63, 0xAF, 0x64, 0xAF, 0x65, 0x04};
  EXPECT_TRUE(std::search(sent.begin(), sent.end(), program.begin(), program.end()) != sent.end());

  trace = traceOf([&] { EXPECT_EQ(DorvakCam_SerialFlashSectorCustomWrite(0x8000, data.data(), 0, SFT_SST), 1); });
  const auto empty = flashBytesSent(trace);
  const std::vector<uint8_t> tail = {0x06, 0xAF, 0x00, 0x80, 0x00, 0x04};
  ASSERT_GE(empty.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), empty.end() - static_cast<long>(tail.size())));
  EXPECT_EQ(cam.flash()[0x8000], 0xFF) << "nothing programmed";
}

TEST_F(SdkFlashTest, CustomSectorWriteReportsFailures) {
  vcam::Camera& cam = open();
  BYTE data[4] = {1, 2, 3, 4};
  gEC = EC_UnKnow;
  EXPECT_EQ(DorvakCam_SerialFlashSectorCustomWrite(0x3000, data, 4, SFT_UNKNOW), 0);
  EXPECT_EQ(gEC, EC_UnKnowSerialFlashType);

  // Fails once the controller stops answering after the erase's 1 s wait.
  const uint64_t start = bus().slept_us();
  bus().fail_if([&](const vcam::Transfer&) { return bus().slept_us() >= start + 1000000; }, LIBUSB_ERROR_IO);
  testing::internal::CaptureStderr();
  EXPECT_EQ(DorvakCam_SerialFlashSectorCustomWrite(0x3000, data, 4, SFT_MXIC), 0);
  testing::internal::GetCapturedStderr();
  bus().clear_faults();
  EXPECT_NE(cam.flash()[0x3003], 4);
}

}  // namespace
}  // namespace camtest
