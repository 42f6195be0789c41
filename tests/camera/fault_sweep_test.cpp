// Fault sweeps of the SDK's entry points.  For an entry point that makes
// more than one transfer, its transfers in a clean run are counted first;
// then, on a fresh pair of cameras with the second one selected, each
// transfer 1, 2, ... up to the last is made to fail in turn.  Whatever the
// failing transfer:
//   - the result is 0 or 1, and a 1 means what it means in the clean run
//     (the same output, the same flash contents);
//   - a 0 leaves one of the entry point's own error codes;
//   - the first camera's flash is untouched;
//   - the same call made again without the fault gives the clean result
//     (nothing is left half-done on the ASIC: manual mode, chip select, an
//     extension unit or register map of the wrong camera).
#include "camera_fixture.h"

#include <algorithm>
#include <functional>
#include <numeric>

namespace camtest {
namespace {

using vcam::CameraConfig;
using vcam::FirmwareSpec;

// What the caller can observe after the call: its output buffer, or the
// part of the selected camera that the call changes.
using Observed = std::vector<uint8_t>;

bool OnlyClean(const Observed&, const Observed&) { return false; }

struct EntryPoint {
  const char* name;
  // Runs the entry point on the selected camera.
  std::function<BOOL(Observed& out)> call;
  // Error codes a failed call may leave (EC_UnKnow: none stored).
  std::vector<ERROR_CODE> failure_codes;
  // The observed state a successful call may show besides the clean one
  // (e.g. "flash type unknown" for an identification that could not read).
  std::function<bool(const Observed& clean, const Observed& seen)> also_success = OnlyClean;
  // The call's output buffer is untouched when it fails.
  bool untouched_on_failure = false;
  // The call is expected to need this camera state before it runs.
  std::function<void(vcam::Camera&)> prepare = [](vcam::Camera&) {};
};

void PrintTo(const EntryPoint& e, std::ostream* os) { *os << e.name; }

// The cameras: alike but for their serial numbers and extension units, so
// that reaching the wrong one shows.
constexpr uint8_t kUnits[2] = {3, 4};
const char* const kSerials[2] = {"FIRST0001", "SECOND002"};

Observed Bytes(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  return Observed(b, b + n);
}

vcam::Camera& Selected() { return vcam::Bus::get().camera(1); }

Observed FlashOf(vcam::Camera& cam) { return cam.flash(); }

Observed RegistersOf(vcam::Camera& cam, uint16_t from, size_t n) {
  Observed v;
  for (size_t i = 0; i < n; ++i) v.push_back(cam.reg(static_cast<uint16_t>(from + i)));
  return v;
}

Observed SensorOf(vcam::Camera& cam, uint16_t from, size_t n) {
  Observed v;
  for (size_t i = 0; i < n; ++i) v.push_back(cam.sensor_reg(static_cast<uint16_t>(from + i)));
  return v;
}

template <size_t N>
std::function<BOOL(Observed&)> IntoBuffer(std::function<BOOL(unsigned char*)> fn) {
  return [fn](Observed& out) {
    unsigned char buf[N] = {};
    const BOOL r = fn(buf);
    out = Bytes(buf, N);
    return r;
  };
}

std::function<BOOL(Observed&)> Changes(std::function<BOOL()> fn, std::function<Observed()> what) {
  return [fn, what](Observed& out) {
    const BOOL r = fn();
    out = what();
    return r;
  };
}

const ERROR_CODE kNoCode = EC_UnKnow;
const std::vector<ERROR_CODE> kUnprotectCodes = {kNoCode, EC_GetAsicRomTypeFail};

unsigned char g_data[20];  // what the writes write
const std::vector<uint8_t> kData = [] {
  std::vector<uint8_t> v(sizeof g_data);
  std::iota(v.begin(), v.end(), uint8_t{0x31});
  std::copy(v.begin(), v.end(), g_data);
  return v;
}();

bool IsUnknown(const Observed& seen, uint8_t unknown) { return seen == Observed{unknown}; }

std::vector<EntryPoint> EntryPoints() {
  const auto readString = [](BOOL (*fn)(unsigned char*, long)) {
    return IntoBuffer<64>([fn](unsigned char* b) { return fn(b, 64); });
  };
  const auto filledAt = [](uint32_t from, uint32_t to) {
    return [from, to](vcam::Camera& cam) { std::fill(cam.flash().begin() + from, cam.flash().begin() + to, 0x00); };
  };
  const auto unprotected = [](vcam::Camera& cam) { cam.set_flash_status(0x00); };
  std::vector<EntryPoint> v;
  // ---------------------------------------------------------- device information
  v.push_back({"GetSerialNumber", readString(DorvakCam_GetSerialNumber), {kNoCode}});
  v.back().untouched_on_failure = true;
  v.push_back({"GetManufacturer", readString(DorvakCam_GetManufacturer), {kNoCode}});
  v.back().untouched_on_failure = true;
  v.push_back({"GetProduct", readString(DorvakCam_GetProduct), {kNoCode}});
  v.back().untouched_on_failure = true;
  v.push_back({"GetString3", readString(DorvakCam_GetString3), {kNoCode}});
  v.back().untouched_on_failure = true;
  v.push_back({"GetInterface", readString(DorvakCam_GetInterface), {kNoCode}});
  v.back().untouched_on_failure = true;
  v.push_back({"GetVidPid", IntoBuffer<4>([](unsigned char* b) { return DorvakCam_GetVidPid(b, 4); }), {kNoCode}});
  v.back().untouched_on_failure = true;
  v.push_back({"GetAsicRomType",
               [](Observed& out) {
                 DSP_ROM_TYPE t = DRT_Unknow;
                 const BOOL r = DorvakCam_GetAsicRomType(&t);
                 out = {static_cast<uint8_t>(t)};
                 return r;
               },
               {kNoCode},
               // A chip that cannot be read is reported as unknown.
               [](const Observed&, const Observed& seen) { return IsUnknown(seen, DRT_Unknow); }});
  v.push_back({"RestartDevice",
               Changes([] { return DorvakCam_RestartDevice(); }, [] { return Observed{}; }),
               {kNoCode, EC_GetAsicRomVersionFail}});
  // ---------------------------------------------------------- registers and sensor
  v.push_back({"AsicRegisterRead",
               IntoBuffer<4>([](unsigned char* b) { return DorvakCam_AsicRegisterRead(0x1100, b, 4); }),
               {kNoCode},
               OnlyClean,
               false,
               [](vcam::Camera& cam) {
                 for (uint16_t a = 0x1100; a < 0x1104; ++a) cam.set_reg(a, static_cast<uint8_t>(a * 7));
               }});
  v.push_back({"AsicRegisterWrite",
               Changes([] { return DorvakCam_AsicRegisterWrite(0x1100, g_data, 4); },
                       [] { return RegistersOf(Selected(), 0x1100, 4); }),
               {kNoCode}});
  v.push_back({"SensorRegisterCustomRead",
               IntoBuffer<3>([](unsigned char* b) { return DorvakCam_SensorRegisterCustomRead(0x6C, 0x3008, b, 3, 0); }),
               {kNoCode},
               OnlyClean,
               false,
               [](vcam::Camera& cam) {
                 for (uint16_t a = 0x3008; a < 0x300B; ++a) cam.set_sensor_reg(a, static_cast<uint8_t>(a));
               }});
  v.push_back({"SensorRegisterCustomWrite",
               Changes([] { return DorvakCam_SensorRegisterCustomWrite(0x6C, 0x3010, g_data, 3, 1); },
                       [] { return SensorOf(Selected(), 0x3010, 3); }),
               {kNoCode}});
  v.push_back({"SensorRegisterRead",
               IntoBuffer<3>([](unsigned char* b) { return DorvakCam_SensorRegisterRead(0x6C, 0x3020, b, 3); }),
               {kNoCode}});
  v.push_back({"SensorRegisterWrite",
               Changes([] { return DorvakCam_SensorRegisterWrite(0x6C, 0x3020, g_data, 3); },
                       [] { return SensorOf(Selected(), 0x3020, 3); }),
               {kNoCode}});
  // ---------------------------------------------------------- serial flash
  v.push_back({"GetSerialFlashType",
               [](Observed& out) {
                 SERIAL_FLASH_TYPE t = SFT_UNKNOW;
                 const BOOL r = DorvakCam_GetSerialFlashType(&t);
                 out = {static_cast<uint8_t>(t)};
                 return r;
               },
               {kNoCode},
               // A flash that cannot be read is reported as unknown, never as
               // another family.
               [](const Observed&, const Observed& seen) { return IsUnknown(seen, SFT_UNKNOW); }});
  v.push_back({"SerialFlashRead",
               IntoBuffer<20>([](unsigned char* b) { return DorvakCam_SerialFlashRead(0x1000, b, 20); }),
               {kNoCode}});
  v.push_back({"SerialFlashCustomRead",
               IntoBuffer<6>([](unsigned char* b) { return DorvakCam_SerialFlashCustomRead(0x1000, b, 6); }),
               {kNoCode}});
  v.push_back({"SerialFlashWrite",
               Changes([] { return DorvakCam_SerialFlashWrite(0x30000, g_data, 20); }, [] { return FlashOf(Selected()); }),
               {kNoCode}, OnlyClean, false, unprotected});
  v.push_back({"SerialFlashSectorWrite",
               Changes([] { return DorvakCam_SerialFlashSectorWrite(0x31000, g_data, 20, SFT_MXIC); },
                       [] { return FlashOf(Selected()); }),
               kUnprotectCodes, OnlyClean, false, filledAt(0x31000, 0x31100)});
  v.push_back({"SerialFlashSectorCustomWrite",
               Changes([] { return DorvakCam_SerialFlashSectorCustomWrite(0x32000, g_data, 20, SFT_MXIC); },
                       [] { return FlashOf(Selected()); }),
               kUnprotectCodes, OnlyClean, false, filledAt(0x32000, 0x32100)});
  v.push_back({"DisableSerialFlashWriteProtect",
               Changes([] { return DorvakCam_DisableSerialFlashWriteProtect(SFT_MXIC); },
                       [] { return Observed{static_cast<uint8_t>(Selected().flash_status() & vcam::kStatusBp)}; }),
               {EC_DisableFlashWriteProtectFail}});
  v.push_back({"EraseSectorFlash",
               Changes([] { return DorvakCam_EraseSectorFlash(0x33000, SFT_MXIC); }, [] { return FlashOf(Selected()); }),
               {EC_DisableFlashWriteProtectFail, EC_EraseFlashFail}, OnlyClean, false, filledAt(0x33000, 0x34000)});
  v.push_back({"EraseBlockFlash",
               Changes([] { return DorvakCam_EraseBlockFlash(0x38000, SFT_MXIC); }, [] { return FlashOf(Selected()); }),
               {EC_DisableFlashWriteProtectFail, EC_EraseFlashFail}, OnlyClean, false, filledAt(0x38000, 0x40000)});
  v.push_back({"EraseSerialFlash",
               Changes([] { return DorvakCam_EraseSerialFlash(SFT_MXIC); }, [] { return FlashOf(Selected()); }),
               {EC_DisableFlashWriteProtectFail, EC_EraseFlashFail}});
  return v;
}

class FaultSweepTest : public CameraTest, public testing::WithParamInterface<EntryPoint> {
 protected:
  // Two cameras with their firmware, the SDK open, the second selected.
  void openSecondSelected() {
    DorvakCam_UnInit();
    vcam::Bus::get().reset();
    gEC = EC_UnKnow;
    LibUsb_SetAsicArchInfo(DAT_FIRST);
    for (int i = 0; i < 2; ++i) {
      CameraConfig cfg;
      cfg.unit = kUnits[i];
      // Erases and status writes finish within a few polls: the sweeps
      // repeat them many times.
      cfg.flash_timing = {2, 2, 3, 1, 0};
      FirmwareSpec fw;
      fw.serial = kSerials[i];
      cams_[i] = &addCameraWithFirmware(cfg, fw);
    }
    image_ = cams_[0]->flash();
    quiet([] {
      ASSERT_EQ(DorvakCam_Init(kVidPid), 1);
      DorvakCamera_SetDevicesID(1);
    });
    GetParam().prepare(*cams_[1]);
    gEC = EC_UnKnow;
  }

  template <class Fn>
  static void quiet(Fn fn) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fn();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
  }

  BOOL run(Observed& out) {
    BOOL r = 0;
    quiet([&] { r = GetParam().call(out); });
    return r;
  }

  vcam::Camera* cams_[2] = {};
  std::vector<uint8_t> image_;  // the first camera's flash before anything ran
};

TEST_P(FaultSweepTest, EveryFailingTransferIsReportedOrHarmless) {
  const EntryPoint& ep = GetParam();

  // Clean run: its result and its transfers.
  openSecondSelected();
  Observed clean;
  const uint64_t before = bus().transfer_count();
  ASSERT_EQ(run(clean), 1) << "clean run";
  const uint64_t transfers = bus().transfer_count() - before;
  ASSERT_GT(transfers, 1u) << "a sweep needs more than one transfer";
  ASSERT_EQ(cams_[0]->flash(), image_);

  for (uint64_t nth = 1; nth <= transfers; ++nth) {
    SCOPED_TRACE(std::string(ep.name) + ": transfer " + std::to_string(nth) + " of " + std::to_string(transfers) +
                 " fails");
    openSecondSelected();
    Observed seen;
    bus().fail_transfer(nth);
    const BOOL r = run(seen);
    bus().clear_faults();
    ASSERT_TRUE(r == 0 || r == 1) << r;
    if (r == 1) {
      EXPECT_TRUE(seen == clean || ep.also_success(clean, seen)) << "a success that is not the clean one";
    } else {
      EXPECT_NE(std::find(ep.failure_codes.begin(), ep.failure_codes.end(), gEC), ep.failure_codes.end())
          << "error code " << gEC;
      if (ep.untouched_on_failure) {
        EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](uint8_t b) { return b == 0; })) << "output written";
      }
    }
    EXPECT_EQ(cams_[0]->flash(), image_) << "the first camera's flash changed";
    if (testing::Test::HasFailure()) return;

    Observed again;
    gEC = EC_UnKnow;
    EXPECT_EQ(run(again), 1) << "the call fails again without the fault";
    EXPECT_EQ(again, clean) << "the call gives another result without the fault";
    EXPECT_EQ(cams_[0]->flash(), image_);
    if (testing::Test::HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, FaultSweepTest, testing::ValuesIn(EntryPoints()),
                         [](const testing::TestParamInfo<EntryPoint>& p) { return std::string(p.param.name); });

// Opening the SDK: a failure anywhere in the enumeration either still
// leaves both cameras usable, or fails with EC_NoFindDevice and nothing
// left open; opening again then works.
TEST_F(CameraTest, InitSweepEveryFailingTransfer) {
  const auto setUp = [this] {
    DorvakCam_UnInit();
    bus().reset();
    gEC = EC_UnKnow;
    LibUsb_SetAsicArchInfo(DAT_FIRST);
    for (int i = 0; i < 2; ++i) {
      CameraConfig cfg;
      cfg.unit = kUnits[i];
      FirmwareSpec fw;
      fw.serial = kSerials[i];
      addCameraWithFirmware(cfg, fw);
    }
  };
  const auto init = [] {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const BOOL r = DorvakCam_Init(kVidPid);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return r;
  };
  const auto serialOf = [](unsigned id) {
    testing::internal::CaptureStdout();
    DorvakCamera_SetDevicesID(id);
    unsigned char buf[32] = {};
    const BOOL r = DorvakCam_GetSerialNumber(buf, sizeof buf);
    testing::internal::GetCapturedStdout();
    return r ? std::string(reinterpret_cast<char*>(buf)) : std::string("<failed>");
  };

  setUp();
  const uint64_t before = bus().transfer_count();
  ASSERT_EQ(init(), 1);
  const uint64_t transfers = bus().transfer_count() - before;
  ASSERT_GT(transfers, 1u);
  DorvakCam_UnInit();

  for (uint64_t nth = 1; nth <= transfers; ++nth) {
    SCOPED_TRACE("transfer " + std::to_string(nth) + " of " + std::to_string(transfers) + " fails");
    setUp();
    bus().fail_transfer(nth);
    const BOOL r = init();
    bus().clear_faults();
    if (r == 1) {
      EXPECT_EQ(DorvakCamera_num(), 2u);
      EXPECT_EQ(serialOf(1), kSerials[1]);
      EXPECT_EQ(serialOf(0), kSerials[0]);
      DorvakCam_UnInit();
    } else {
      EXPECT_EQ(gEC, EC_NoFindDevice);
      EXPECT_EQ(bus().open_handles(), 0);
      EXPECT_EQ(bus().live_device_lists(), 0);
      EXPECT_FALSE(bus().context_alive());
    }
    ASSERT_EQ(init(), 1) << "opening again";
    EXPECT_EQ(serialOf(1), kSerials[1]);
    DorvakCam_UnInit();
    if (testing::Test::HasFailure()) return;
  }
}

// Selecting the second camera probes its extension unit and chip: a
// failure there must not leave the SDK talking to that camera on the
// first camera's unit, nor to the first camera.
TEST_F(CameraTest, SelectionSweepEveryFailingTransfer) {
  const auto setUp = [this] {
    DorvakCam_UnInit();
    bus().reset();
    gEC = EC_UnKnow;
    LibUsb_SetAsicArchInfo(DAT_FIRST);
    for (int i = 0; i < 2; ++i) {
      CameraConfig cfg;
      cfg.unit = kUnits[i];
      FirmwareSpec fw;
      fw.serial = kSerials[i];
      addCameraWithFirmware(cfg, fw);
    }
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(DorvakCam_Init(kVidPid), 1);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
  };
  const auto select = [] {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    DorvakCamera_SetDevicesID(1);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
  };
  const auto serial = [] {
    testing::internal::CaptureStderr();
    unsigned char buf[32] = {};
    const BOOL r = DorvakCam_GetSerialNumber(buf, sizeof buf);
    testing::internal::GetCapturedStderr();
    return r ? std::string(reinterpret_cast<char*>(buf)) : std::string("<failed>");
  };

  setUp();
  const uint64_t before = bus().transfer_count();
  select();
  const uint64_t transfers = bus().transfer_count() - before;
  ASSERT_GT(transfers, 1u);
  ASSERT_EQ(serial(), kSerials[1]);
  DorvakCam_UnInit();

  for (uint64_t nth = 1; nth <= transfers; ++nth) {
    SCOPED_TRACE("transfer " + std::to_string(nth) + " of " + std::to_string(transfers) + " fails");
    setUp();
    bus().fail_transfer(nth);
    select();
    bus().clear_faults();
    EXPECT_EQ(serial(), kSerials[1]);
    DorvakCam_UnInit();
    if (testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace camtest
