// Device connection and extension-unit transport: identifier parsing,
// enumeration, claiming, the unit probe, selection, close, and the exact
// bytes of every request kind.
#include "camera_fixture.h"

#include <cstring>

namespace camtest {
namespace {

using vcam::CameraConfig;
using vcam::Transfer;

// ------------------------------------------------------------- parsing

TEST(VidPidParsing, DigitsCaseLengthAndInvalidCharacters) {
  struct Case {
    const char* text;
    BOOL ok;
    USHORT vid, pid;
  } cases[] = {
      {"4e7a91c3", 1, 0x4e7a, 0x91c3},  {"4E7A91C3", 1, 0x4e7a, 0x91c3}, {"00000000", 1, 0, 0},
      {"ffffFFFF", 1, 0xffff, 0xffff},  {"4g7a91cz", 1, 0x407a, 0x91c0},  // invalid digits count as 0
      {"4e7a91c", 0, 0, 0},             {"4e7a91c3a", 0, 0, 0},           {"", 0, 0, 0},
  };
  for (const Case& c : cases) {
    USHORT vid = 0x1111, pid = 0x2222;
    EXPECT_EQ(VidPidStringToInt(c.text, &vid, &pid), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(vid, c.vid) << c.text;
      EXPECT_EQ(pid, c.pid) << c.text;
    } else {
      EXPECT_EQ(vid, 0x1111) << c.text;
    }
  }
  USHORT vid = 7, pid = 9;
  EXPECT_EQ(VidPidStringToInt(nullptr, &vid, &pid), 1);  // null succeeds without output
  EXPECT_EQ(vid, 7);
  EXPECT_EQ(pid, 9);
}

TEST(VidPidParsing, DigitAndPowerHelpers) {
  EXPECT_EQ(chr2hex('0'), 0);
  EXPECT_EQ(chr2hex('9'), 9);
  EXPECT_EQ(chr2hex('a'), 10);
  EXPECT_EQ(chr2hex('F'), 15);
  EXPECT_EQ(chr2hex('G'), 0);
  EXPECT_EQ(chr2hex(' '), 0);
  EXPECT_EQ(cal_pow(16, 3), 4096);
  EXPECT_EQ(cal_pow(16, 0), 1);
  EXPECT_EQ(cal_pow(16, -2), 1);
}

// ------------------------------------------------------------- enumeration

class EnumerationTest : public CameraTest {};

TEST_F(EnumerationTest, TwoCamerasAreListedOpenedAndOnlyTheFirstIsClaimedAndProbed) {
  bus().add_device(0x1234, 0x5678);  // not a camera
  bus().add_camera();
  bus().add_camera();
  testing::internal::CaptureStdout();
  ASSERT_EQ(openLayer(), 1);
  const std::string out = testing::internal::GetCapturedStdout();
  char expected[128];
  snprintf(expected, sizeof expected, "4e7a:91c3 (bus 1, device %d)\n4e7a:91c3 (bus 1, device %d)\n",
           bus().camera(0).address(), bus().camera(1).address());
  EXPECT_EQ(out, expected);
  EXPECT_EQ(Get_Devices_num(), 2u);
  EXPECT_EQ(bus().open_handles(), 2);
  EXPECT_EQ(bus().claimed_interfaces(0), 1);
  EXPECT_EQ(bus().claimed_interfaces(1), 0);
  EXPECT_FALSE(bus().camera(0).kernel_driver_active());
  EXPECT_TRUE(bus().camera(1).kernel_driver_active());
  for (const Transfer& t : bus().trace()) EXPECT_EQ(t.device, 0);
  EXPECT_EQ(g_CurDspExtendUnitID, 0x0300);
}

TEST_F(EnumerationTest, NoMatchingCameraFailsQuietlyAndLeavesNothingOpen) {
  bus().add_device(0x1234, 0x5678);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(openLayer(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Get_Devices_num(), 0u);
  EXPECT_EQ(bus().transfer_count(), 0u);
}

TEST_F(EnumerationTest, BadIdentifierFails) {
  bus().add_camera();
  EXPECT_EQ(openLayer("4e7a91c"), 0);
  EXPECT_EQ(openLayer(nullptr), 0);
  EXPECT_EQ(bus().transfer_count(), 0u);
}

TEST_F(EnumerationTest, ClaimIsRetriedWithItsMessages) {
  struct Case {
    int failures;
    BOOL result;
    int messages;
  } cases[] = {{0, 1, 0}, {2, 1, 2}, {3, 0, 3}};
  for (const Case& c : cases) {
    bus().reset();
    CameraConfig cfg;
    cfg.claim_failures = c.failures;
    cfg.claim_error = LIBUSB_ERROR_BUSY;
    bus().add_camera(cfg);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(openLayer(), c.result) << c.failures;
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    std::string line = "usb_claim_interface error -6 ";
    line += strerror(6);
    line += "\n";
    std::string expected_err;
    for (int i = 0; i < c.messages; ++i) expected_err += line;
    EXPECT_EQ(err, expected_err) << c.failures;
    EXPECT_EQ(out.find("usb claim interface failed\n") != std::string::npos, c.result == 0) << out;
    if (c.result == 0) {
      EXPECT_EQ(bus().open_handles(), 0);
      EXPECT_FALSE(bus().context_alive());
    }
    LibUsb_CloseDevice();
  }
}

TEST_F(EnumerationTest, CameraOnUnitFourIsFoundAfterOneFailedRead) {
  CameraConfig cfg;
  cfg.unit = 4;
  bus().add_camera(cfg);
  testing::internal::CaptureStderr();
  ASSERT_EQ(openLayer(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "F0 error -9\n");
  EXPECT_EQ(g_CurDspExtendUnitID, 0x0400);
  const auto trace = traceOf([] {
    BYTE v = 0;
    BYTE rom[8];
    LibUsb_ReadFromASIC(0x1006, &v);
    LibUsb_WriteToASIC(0x1006, 0x01);
    LibUsb_ReadFromROM(0x9FF8, rom);
    LibUsb_ReadDataFormFlash(0, rom, 8);
  });
  ASSERT_FALSE(trace.empty());
  for (const Transfer& t : trace) {
    EXPECT_EQ(t.wIndex, 0x0400);
    EXPECT_GE(t.result, 0);
  }
}

TEST_F(EnumerationTest, UnknownChipOnBothUnitsFailsWithTheProbeMessage) {
  CameraConfig cfg;
  cfg.chip_id = 0x42;
  bus().add_camera(cfg);
  testing::internal::CaptureStdout();
  EXPECT_EQ(openLayer(), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Get uvc extend unit id fail\n"), std::string::npos);
  EXPECT_EQ(bus().open_handles(), 0);
  EXPECT_EQ(bus().claimed_interfaces(0), 0);
  EXPECT_FALSE(bus().context_alive());
}

TEST_F(EnumerationTest, CameraThatCannotBeOpenedFailsAndClosesTheOthers) {
  bus().add_camera();
  CameraConfig cfg;
  cfg.open_error = LIBUSB_ERROR_ACCESS;
  bus().add_camera(cfg);
  testing::internal::CaptureStdout();
  EXPECT_EQ(openLayer(), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(bus().open_handles(), 0);
  EXPECT_FALSE(bus().context_alive());
}

TEST_F(EnumerationTest, UnreadableDescriptorIsReportedAndSkipped) {
  CameraConfig broken;
  broken.descriptor_unreadable = true;
  bus().add_camera(broken);
  bus().add_camera();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ASSERT_EQ(openLayer(), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "failed to get device descriptor\n");
  EXPECT_EQ(Get_Devices_num(), 1u);
  EXPECT_EQ(bus().claimed_interfaces(1), 1);
}

TEST_F(EnumerationTest, MoreThanTenCamerasOpenOnlyTheFirstTen) {
  for (int i = 0; i < 12; ++i) bus().add_camera();
  testing::internal::CaptureStdout();
  ASSERT_EQ(openLayer(), 1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(Get_Devices_num(), 10u);
  EXPECT_EQ(bus().open_handles(), 10);
  size_t lines = 0;
  for (char ch : out) lines += ch == '\n';
  EXPECT_EQ(lines, 10u);
}

TEST_F(EnumerationTest, CloseGivesEverythingBackAndAllowsANewEnumeration) {
  EXPECT_EQ(LibUsb_CloseDevice(), 1);  // before any enumeration: harmless
  bus().add_camera();
  bus().add_camera();
  testing::internal::CaptureStdout();
  ASSERT_EQ(openLayer(), 1);
  SET_DevicesID(1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(LibUsb_CloseDevice(), 1);
  EXPECT_EQ(bus().open_handles(), 0);
  EXPECT_EQ(bus().live_device_lists(), 0);
  EXPECT_EQ(bus().referenced_devices(), 0);
  EXPECT_FALSE(bus().context_alive());
  EXPECT_EQ(bus().claimed_interfaces(0), 0);
  EXPECT_EQ(bus().claimed_interfaces(1), 0);
  EXPECT_TRUE(bus().camera(0).kernel_driver_active());
  EXPECT_TRUE(bus().camera(1).kernel_driver_active());
  EXPECT_EQ(Get_Devices_num(), 0u);
  BYTE v = 0;
  EXPECT_EQ(LibUsb_ReadFromASIC(0x101F, &v), 0);  // no handle left
  EXPECT_EQ(LibUsb_CloseDevice(), 1);

  testing::internal::CaptureStdout();
  ASSERT_EQ(openLayer(), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Get_Devices_num(), 2u);
  EXPECT_EQ(devices_ID, 0);
}

// ------------------------------------------------------------- selection

class SelectionTest : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    bus().add_camera();
    CameraConfig second;
    second.unit = 4;
    second.chip_id = 0xF5;
    second.arch = vcam::Arch::Second;
    bus().add_camera(second);
    testing::internal::CaptureStdout();
    ASSERT_EQ(openLayer(), 1);
    testing::internal::GetCapturedStdout();
  }
};

TEST_F(SelectionTest, SelectedCameraReceivesEveryTransferOnItsOwnUnitAndMap) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  SET_DevicesID(1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "devices_ID=1\n");
  testing::internal::GetCapturedStderr();  // the unit probe's failed read on unit 3
  EXPECT_EQ(bus().claimed_interfaces(1), 1);
  EXPECT_EQ(g_CurDspExtendUnitID, 0x0400);
  EXPECT_EQ(sfRdyAddr, 0x8E04);  // second register map
  const auto trace = traceOf([] {
    BYTE v = 0;
    BYTE data[8];
    LibUsb_ReadFromASIC(0x8200, &v);
    LibUsb_WriteToASIC(0x8201, 0x01);
    LibUsb_ReadFromROM(0x9FF8, data);
    LibUsb_ReadDataFormFlash(0, data, 8);
    LibUsb_WriteDataToFlash(0, data, 8);
  });
  ASSERT_EQ(trace.size(), 8u);
  for (const Transfer& t : trace) EXPECT_EQ(t.device, 1);

  testing::internal::CaptureStdout();
  SET_DevicesID(0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "devices_ID=0\n");
  EXPECT_EQ(g_CurDspExtendUnitID, 0x0300);
  EXPECT_EQ(sfRdyAddr, 0x1084);
}

TEST_F(SelectionTest, IndexOutsideTheTableIsIgnored) {
  testing::internal::CaptureStdout();
  SET_DevicesID(2);
  SET_DevicesID(255);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(devices_ID, 0);
  BYTE v = 0;
  const auto trace = traceOf([&] { LibUsb_ReadFromASIC(0x101F, &v); });
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.front().device, 0);
}

// ------------------------------------------------------------- request bytes

class RequestBytesTest : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    bus().add_camera();
    testing::internal::CaptureStdout();
    ASSERT_EQ(openLayer(), 1);
    testing::internal::GetCapturedStdout();
  }
};

TEST_F(RequestBytesTest, RegisterReadAndWrite) {
  bus().camera(0).set_reg(0x1010, 0xA5);
  BYTE v = 0;
  auto trace = traceOf([&] { EXPECT_EQ(LibUsb_ReadFromASIC(0x1010, &v), 1); });
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_TRUE(trace[0].is_set());
  EXPECT_EQ(trace[0].wValue, 0x0100);
  EXPECT_EQ(trace[0].wIndex, 0x0300);
  EXPECT_EQ(trace[0].out, (std::vector<uint8_t>{0x10, 0x10, 0x00, 0xFF}));
  EXPECT_TRUE(trace[1].is_get());
  EXPECT_EQ(trace[1].wLength, 4);
  EXPECT_EQ(v, 0xA5);

  trace = traceOf([&] { LibUsb_ReadFromASIC(0x101F, &v); });
  EXPECT_EQ(trace[0].out, (std::vector<uint8_t>{0x1F, 0x10, 0x00, 0xFF}));
  EXPECT_EQ(v, 0xE1);

  trace = traceOf([] { EXPECT_EQ(LibUsb_WriteToASIC(0x1006, 0x5A), 1); });
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].out, (std::vector<uint8_t>{0x06, 0x10, 0x5A, 0x00}));
}

TEST_F(RequestBytesTest, FlashDataControlByteCarriesBankAndCount) {
  struct Case {
    bool read;
    int64_t addr;
    BYTE len;
    uint8_t control;
    size_t moved;
  } cases[] = {
      {true, 0x0000, 8, 0x88, 8},   {true, 0x1FFF8, 8, 0x98, 8}, {true, 0x2FFF0, 1, 0xA1, 1},
      {true, 0x3FFF8, 8, 0xB8, 8},  {true, 0x100, 12, 0x88, 8},  // cut to 8
      {false, 0x30000, 3, 0x33, 3}, {false, 0x10000, 8, 0x18, 8}, {false, 0x0004, 2, 0x02, 2},
  };
  for (const Case& c : cases) {
    BYTE data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const auto trace = traceOf([&] {
      if (c.read)
        LibUsb_ReadDataFormFlash(c.addr, data, c.len);
      else
        LibUsb_WriteDataToFlash(c.addr, data, c.len);
    });
    ASSERT_EQ(trace.size(), c.read ? 2u : 1u);
    const Transfer& req = trace[0];
    EXPECT_TRUE(req.is_set());
    EXPECT_EQ(req.wValue, 0x0300);
    EXPECT_EQ(req.wLength, 11);
    ASSERT_EQ(req.out.size(), 11u);
    EXPECT_EQ(req.out[0], c.addr & 0xFF) << std::hex << c.addr;
    EXPECT_EQ(req.out[1], (c.addr >> 8) & 0xFF) << std::hex << c.addr;
    EXPECT_EQ(req.out[2], c.control) << std::hex << c.addr;
    if (!c.read) {
      EXPECT_EQ(std::vector<uint8_t>(req.out.begin() + 3, req.out.begin() + 3 + c.moved),
                std::vector<uint8_t>(data, data + c.moved));
    } else {
      const auto& flash = bus().camera(0).flash();
      EXPECT_EQ(std::vector<uint8_t>(data, data + c.moved),
                std::vector<uint8_t>(flash.begin() + c.addr, flash.begin() + c.addr + c.moved));
      EXPECT_EQ(data[8], 9) << "nothing stored past the count";
    }
  }
}

TEST_F(RequestBytesTest, FlashDataPastTheLastBankIsRefused) {
  BYTE data[8] = {};
  testing::internal::CaptureStderr();
  const auto trace = traceOf([&] {
    EXPECT_EQ(LibUsb_ReadDataFormFlash(0x40000, data, 8), 0);
    EXPECT_EQ(LibUsb_WriteDataToFlash(0x3FFFC, data, 8), 0);  // would run past 0x3FFFF
    EXPECT_EQ(LibUsb_WriteDataToFlash(-8, data, 8), 0);
  });
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "F3 error -2\nF4 error -2\nF4 error -2\n");
  EXPECT_TRUE(trace.empty());
}

TEST_F(RequestBytesTest, RomReadMemoryTypeAndRawTransfers) {
  bus().camera(0).set_rom(0x1230, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  BYTE rom[8] = {};
  auto trace = traceOf([&] { EXPECT_EQ(LibUsb_ReadFromROM(0x1230, rom), 1); });
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(trace[0].wValue, 0x0400);
  EXPECT_EQ(std::vector<uint8_t>(trace[0].out.begin(), trace[0].out.begin() + 3),
            (std::vector<uint8_t>{0x30, 0x12, 0x08}));
  EXPECT_EQ(std::vector<uint8_t>(rom, rom + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));

  BYTE mem = 0xEE;
  trace = traceOf([&] { EXPECT_EQ(LibUsb_GetMemType(&mem), 1); });
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_TRUE(trace[0].is_get());
  EXPECT_EQ(trace[0].wValue, 0x0500);
  EXPECT_EQ(trace[0].wLength, 11);
  EXPECT_EQ(mem, bus().camera(0).config().memory_type);

  BYTE req[4] = {0x1F, 0x10, 0x00, 0xFF};
  BYTE reply[4] = {};
  trace = traceOf([&] {
    EXPECT_EQ(XU_Write(req, 4, 3, 1), 1);
    EXPECT_EQ(XU_Read(reply, 4, 3, 1), 1);
    EXPECT_EQ(LibUsb_Read(reply, 4, 4, 1), 0);  // wrong unit stalls
    EXPECT_EQ(LibUsb_Read(reply, 0x10000, 3, 1), 0);  // longer than a control transfer: refused
  });
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_EQ(trace[0].wIndex, 0x0300);
  EXPECT_EQ(trace[0].wValue, 0x0100);
  EXPECT_EQ(trace[2].wIndex, 0x0400);
  EXPECT_EQ(reply[2], 0xE1);
}

TEST_F(RequestBytesTest, FailedTransfersReportTheirStatusAndKeepTheOutput) {
  struct Case {
    uint8_t selector;
    const char* message;
    bool reads;
    BOOL (*op)(BYTE*);
  } cases[] = {
      {1, "F0 error -1\n", true, [](BYTE* b) { return LibUsb_ReadFromASIC(0x1006, b); }},
      {1, "F1 error -1\n", false, [](BYTE*) { return LibUsb_WriteToASIC(0x1006, 1); }},
      {4, "F2 error -1\n", true, [](BYTE* b) { return LibUsb_ReadFromROM(0x9FF8, b); }},
      {3, "F3 error -1\n", true, [](BYTE* b) { return LibUsb_ReadDataFormFlash(0, b, 8); }},
      {3, "F4 error -1\n", false, [](BYTE* b) { return LibUsb_WriteDataToFlash(0, b, 8); }},
      {5, "", true, [](BYTE* b) { return LibUsb_GetMemType(b); }},
      {1, "", true, [](BYTE* b) { return XU_Read(b, 4, 3, 1); }},
  };
  for (const Case& c : cases) {
    bus().clear_faults();
    bus().fail_selector(c.selector, LIBUSB_ERROR_IO);
    BYTE out[8] = {0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77};
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.op(out), 0) << c.message;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    if (c.reads) {
      EXPECT_EQ(out[0], 0x77) << c.message;
    }
  }
  bus().clear_faults();
}

}  // namespace
}  // namespace camtest
