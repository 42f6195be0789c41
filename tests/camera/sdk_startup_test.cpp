// SDK start-up and device information: the open-state guard, error-code
// rules, selection, descriptor strings, identifiers, raw XU access.
#include "camera_fixture.h"

#include <cstring>

namespace camtest {
namespace {

using vcam::CameraConfig;
using vcam::FirmwareSpec;

class SdkTest : public CameraTest {
 protected:
  BOOL init(const char* vidpid = kVidPid) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const BOOL r = DorvakCam_Init(vidpid);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return r;
  }
  vcam::Camera& cameraWithSerial(const std::string& serial, CameraConfig cfg = {}) {
    FirmwareSpec fw;
    fw.serial = serial;
    return addCameraWithFirmware(cfg, fw);
  }
};

TEST_F(SdkTest, EveryEntryPointRefusesWhileClosed) {
  cameraWithSerial("S1");
  BYTE buf[64] = {};
  DSP_ROM_TYPE rom = DRT_256K;
  SERIAL_FLASH_TYPE sft = SFT_EON;
  gEC = EC_BurnerCheckFail;
  const auto trace = traceOf([&] {
    EXPECT_EQ(DorvakCam_UnInit(), 0);
    EXPECT_EQ(DorvakCam_RestartDevice(), 0);
    EXPECT_EQ(DorvakCam_GetSerialNumber(buf, 64), 0);
    EXPECT_EQ(DorvakCam_GetManufacturer(buf, 64), 0);
    EXPECT_EQ(DorvakCam_GetProduct(buf, 64), 0);
    EXPECT_EQ(DorvakCam_GetString3(buf, 64), 0);
    EXPECT_EQ(DorvakCam_GetInterface(buf, 64), 0);
    EXPECT_EQ(DorvakCam_GetVidPid(buf, 64), 0);
    EXPECT_EQ(DorvakCam_XuRead(buf, 4, 3, 1), 0);
    EXPECT_EQ(DorvakCam_XuWrite(buf, 4, 3, 1), 0);
    EXPECT_EQ(DorvakCam_GetAsicRomType(&rom), 0);
    EXPECT_EQ(DorvakCam_AsicRegisterRead(0x101F, buf, 1), 0);
    EXPECT_EQ(DorvakCam_AsicRegisterWrite(0x1006, buf, 1), 0);
    EXPECT_EQ(DorvakCam_SensorRegisterRead(0x6C, 0, buf, 1), 0);
    EXPECT_EQ(DorvakCam_SensorRegisterWrite(0x6C, 0, buf, 1), 0);
    EXPECT_EQ(DorvakCam_SensorRegisterCustomRead(0x6C, 0, buf, 1, FALSE), 0);
    EXPECT_EQ(DorvakCam_SensorRegisterCustomWrite(0x6C, 0, buf, 1, FALSE), 0);
    EXPECT_EQ(DorvakCam_GetSerialFlashType(&sft), 0);
    EXPECT_EQ(DorvakCam_SerialFlashRead(0, buf, 8), 0);
    EXPECT_EQ(DorvakCam_SerialFlashWrite(0, buf, 8), 0);
    EXPECT_EQ(DorvakCam_SerialFlashSectorWrite(0, buf, 8, SFT_MXIC), 0);
    EXPECT_EQ(DorvakCam_DisableSerialFlashWriteProtect(SFT_MXIC), 0);
    EXPECT_EQ(DorvakCam_EraseBlockFlash(0, SFT_MXIC), 0);
    EXPECT_EQ(DorvakCam_EraseSectorFlash(0, SFT_MXIC), 0);
    EXPECT_EQ(DorvakCam_EraseSerialFlash(SFT_MXIC), 0);
    EXPECT_EQ(DorvakCam_SerialFlashCustomRead(0, buf, 8), 0);
    EXPECT_EQ(DorvakCam_SerialFlashSectorCustomWrite(0, buf, 8, SFT_MXIC), 0);
  });
  EXPECT_TRUE(trace.empty());
  EXPECT_EQ(DorvakCam_GetErrorCode(), EC_UnKnow);
  EXPECT_EQ(gEC, EC_BurnerCheckFail) << "the guard leaves the stored code alone";
  EXPECT_EQ(rom, DRT_256K);
  EXPECT_EQ(sft, SFT_EON);
  EXPECT_EQ(GetByteLengthFormAddr(0x100), 2) << "needs no open SDK";
}

TEST_F(SdkTest, InitTwiceDoesNothingTheSecondTime) {
  cameraWithSerial("S1");
  ASSERT_EQ(init(), 1);
  const uint64_t before = bus().transfer_count();
  EXPECT_EQ(DorvakCam_Init("not an id"), 1);
  EXPECT_EQ(bus().transfer_count(), before);
  EXPECT_EQ(DorvakCam_UnInit(), 1);
  EXPECT_EQ(DorvakCam_UnInit(), 0);
}

TEST_F(SdkTest, FailedInitStoresNoFindDeviceVisibleOnlyOnceOpen) {
  EXPECT_EQ(init(), 0);
  EXPECT_EQ(gEC, EC_NoFindDevice);
  EXPECT_EQ(DorvakCam_GetErrorCode(), EC_UnKnow);
  EXPECT_FALSE(bus().context_alive());

  cameraWithSerial("S1");
  ASSERT_EQ(init(), 1);
  EXPECT_EQ(DorvakCam_GetErrorCode(), EC_NoFindDevice);
  BYTE buf[32] = {};
  EXPECT_EQ(DorvakCam_GetSerialNumber(buf, 32), 1);
  EXPECT_EQ(DorvakCam_GetErrorCode(), EC_NoFindDevice) << "a success never clears the code";
}

TEST_F(SdkTest, OpenAgainAfterClose) {
  cameraWithSerial("S1");
  cameraWithSerial("S2");
  ASSERT_EQ(init(), 1);
  EXPECT_EQ(DorvakCamera_num(), 2u);
  EXPECT_EQ(DorvakCam_UnInit(), 1);
  EXPECT_EQ(DorvakCamera_num(), 0u) << "the table is reset at close";
  EXPECT_EQ(bus().open_handles(), 0);
  ASSERT_EQ(init(), 1);
  EXPECT_EQ(DorvakCamera_num(), 2u);
}

TEST_F(SdkTest, DescriptorStringsFromTheirSlots) {
  FirmwareSpec fw;
  fw.product = "Product P";
  fw.manufacturer = "Maker M";
  fw.serial = "SN-0042";
  fw.string3 = "Third";
  fw.interface_ = "Iface";
  addCameraWithFirmware({}, fw);
  ASSERT_EQ(init(), 1);
  struct Case {
    BOOL (*get)(unsigned char*, long);
    const char* expected;
  } cases[] = {{DorvakCam_GetProduct, "Product P"},
               {DorvakCam_GetManufacturer, "Maker M"},
               {DorvakCam_GetSerialNumber, "SN-0042"},
               {DorvakCam_GetString3, "Third"},
               {DorvakCam_GetInterface, "Iface"}};
  for (const Case& c : cases) {
    unsigned char buf[100] = {};
    EXPECT_EQ(c.get(buf, 100), 1) << c.expected;
    EXPECT_STREQ(reinterpret_cast<char*>(buf), c.expected);
  }
}

TEST_F(SdkTest, StringLongerThanTheBufferFailsWithoutWriting) {
  cameraWithSerial("SN-0042");
  ASSERT_EQ(init(), 1);
  for (long len : {6L, 0L, -1L}) {
    unsigned char buf[16];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(DorvakCam_GetSerialNumber(buf, len), 0) << len;
    EXPECT_EQ(buf[0], '#') << len;
  }
  unsigned char buf[16] = {};
  EXPECT_EQ(DorvakCam_GetSerialNumber(buf, 7), 1);
}

TEST_F(SdkTest, VidPidWritesExactlyFourBytes) {
  FirmwareSpec fw;
  fw.vid = 0x1234;
  fw.pid = 0xABCD;
  addCameraWithFirmware({}, fw);
  ASSERT_EQ(init(), 1);
  const auto& flash = bus().camera(0).flash();
  const std::vector<uint8_t> stored(flash.begin() + 0x10006, flash.begin() + 0x1000A);
  for (long len : {4L, 100L}) {
    unsigned char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(DorvakCam_GetVidPid(buf, len), 1);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), stored);
    EXPECT_EQ(buf[4], '#');
  }
  unsigned char buf[8];
  memset(buf, '#', sizeof buf);
  const auto trace = traceOf([&] { EXPECT_EQ(DorvakCam_GetVidPid(buf, 3), 0); });
  EXPECT_TRUE(trace.empty());
  EXPECT_EQ(buf[0], '#');
}

TEST_F(SdkTest, SelectionRedirectsStringsAndRefusesBadIds) {
  cameraWithSerial("FIRST");
  cameraWithSerial("SECOND");
  ASSERT_EQ(init(), 1);
  auto serial = [] {
    unsigned char buf[100] = {};
    DorvakCam_GetSerialNumber(buf, 100);
    return std::string(reinterpret_cast<char*>(buf));
  };
  EXPECT_EQ(serial(), "FIRST");
  testing::internal::CaptureStdout();
  DorvakCamera_SetDevicesID(1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "devices_ID=1\n");
  EXPECT_EQ(serial(), "SECOND");
  testing::internal::CaptureStdout();
  DorvakCamera_SetDevicesID(2);
  DorvakCamera_SetDevicesID(256);  // would be index 0 once cut to 8 bits
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(serial(), "SECOND");
}

TEST_F(SdkTest, RawExtensionUnitAccessAndRomType) {
  CameraConfig cfg;
  cfg.hidden_chip_id = 0x42;  // shown at 0x101F once bit 4 of 0x100A is cleared
  vcam::Camera& cam = cameraWithSerial("S1", cfg);
  ASSERT_EQ(init(), 1);
  unsigned char req[4] = {0x1F, 0x10, 0x00, 0xFF};
  unsigned char reply[4] = {};
  EXPECT_EQ(DorvakCam_XuWrite(req, 4, 3, 1), 1);
  EXPECT_EQ(DorvakCam_XuRead(reply, 4, 3, 1), 1);
  EXPECT_EQ(reply[2], 0xE1);
  EXPECT_EQ(DorvakCam_XuRead(reply, 4, 3, 2), 0);  // a selector the ASIC does not have

  DSP_ROM_TYPE rom = DRT_Unknow;
  EXPECT_EQ(DorvakCam_GetAsicRomType(&rom), 1);
  EXPECT_EQ(rom, DRT_64K);
  cam.set_reg(0x100A, 0x00);
  EXPECT_EQ(DorvakCam_GetAsicRomType(&rom), 1);
  EXPECT_EQ(rom, DRT_Unknow);
  EXPECT_EQ(DorvakCam_GetAsicRomType(nullptr), 0);
}

TEST_F(SdkTest, RestartGoesThroughTheLayer) {
  vcam::Camera& cam = cameraWithSerial("S1");
  ASSERT_EQ(init(), 1);
  EXPECT_EQ(DorvakCam_RestartDevice(), 1);
  EXPECT_EQ(cam.usb_restarts(), 1);
}

}  // namespace
}  // namespace camtest
