// Test bed of the camera side: a fresh virtual bus per test, helpers to open
// the layer or the SDK on it, and views of the control-transfer trace.
#pragma once

#include "DorvakCamera.h"
#include "Osrel.h"

#include <vcam/vcam.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace camtest {

constexpr const char* kVidPid = "4e7a91c3";

// One ASIC register access seen on the control pipe.
struct RegOp {
  bool write;
  uint16_t addr;
  uint8_t value;  // written, or returned by the read
  bool operator==(const RegOp& o) const { return write == o.write && addr == o.addr && value == o.value; }
};
inline RegOp W(uint16_t a, uint8_t v) { return {true, a, v}; }
inline RegOp R(uint16_t a, uint8_t v) { return {false, a, v}; }
inline std::ostream& operator<<(std::ostream& os, const RegOp& op) {
  char buf[32];
  snprintf(buf, sizeof buf, "%s %04X %02X", op.write ? "W" : "R", op.addr, op.value);
  return os << buf;
}

// Register accesses of a trace, in order (a read is its SET_CUR request
// with the value of the GET_CUR that answered it).
inline std::vector<RegOp> registerOps(const std::vector<vcam::Transfer>& trace) {
  std::vector<RegOp> ops;
  for (size_t i = 0; i < trace.size(); ++i) {
    const vcam::Transfer& t = trace[i];
    if (t.selector() != 1 || !t.is_set() || t.out.size() != 4 || t.result < 0) continue;
    const uint16_t addr = static_cast<uint16_t>(t.out[0] | (t.out[1] << 8));
    if (t.out[3] == 0xFF) {
      if (i + 1 < trace.size() && trace[i + 1].is_get() && trace[i + 1].result >= 0 && trace[i + 1].in.size() == 4)
        ops.push_back(R(addr, trace[i + 1].in[2]));
    } else {
      ops.push_back(W(addr, t.out[2]));
    }
  }
  return ops;
}

// Values written to one register, in order.
inline std::vector<uint8_t> writesTo(const std::vector<vcam::Transfer>& trace, uint16_t addr) {
  std::vector<uint8_t> v;
  for (const RegOp& op : registerOps(trace))
    if (op.write && op.addr == addr) v.push_back(op.value);
  return v;
}

// Transfers of one control selector.
inline std::vector<vcam::Transfer> ofSelector(const std::vector<vcam::Transfer>& trace, uint8_t cs) {
  std::vector<vcam::Transfer> v;
  for (const vcam::Transfer& t : trace)
    if (t.selector() == cs) v.push_back(t);
  return v;
}

// Bytes the host shifted out to the flash (send steps of the flash
// controller), in order.
inline std::vector<uint8_t> flashBytesSent(const std::vector<vcam::Transfer>& trace) {
  std::vector<uint8_t> v;
  uint8_t pending = 0;
  for (const RegOp& op : registerOps(trace)) {
    if (!op.write) continue;
    if (op.addr == sfWriteDataAddr) pending = op.value;
    if (op.addr == sfReadWriteTriggerAddr && (op.value & 0x01)) v.push_back(pending);
  }
  return v;
}

class CameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vcam::Bus::get().reset();
    gEC = EC_UnKnow;
    LibUsb_SetAsicArchInfo(DAT_FIRST);
  }
  void TearDown() override {
    DorvakCam_UnInit();
    LibUsb_CloseDevice();
    EXPECT_EQ(bus().open_handles(), 0);
    EXPECT_EQ(bus().live_device_lists(), 0);
    EXPECT_FALSE(bus().context_alive());
    EXPECT_TRUE(bus().misuse().empty()) << bus().misuse().front();
    vcam::Bus::get().reset();
  }

  static vcam::Bus& bus() { return vcam::Bus::get(); }

  // Opens the layer alone, as the SDK would.
  BOOL openLayer(const char* vidpid = kVidPid) {
    if (libusb_init(nullptr) < 0) return 0;
    return LibUsb_EnumDevice(vidpid);
  }

  // A camera whose flash holds a firmware image of its ROM model.
  vcam::Camera& addCameraWithFirmware(vcam::CameraConfig cfg = {}, vcam::FirmwareSpec fw = {}) {
    fw.rom_model = cfg.rom_model;
    fw.chip_id = cfg.chip_id;
    cfg.flash_image = vcam::build_firmware(fw);
    return bus().add_camera(cfg);
  }

  // A camera with firmware, opened through the SDK; the start-up lines are
  // not part of what the tests look at.
  vcam::Camera& openSdkWithCamera(vcam::CameraConfig cfg = {}) {
    vcam::Camera& cam = addCameraWithFirmware(cfg);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(DorvakCam_Init(kVidPid), 1);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return cam;
  }

  // Trace of what `fn` does, starting from an empty trace.
  template <class Fn>
  std::vector<vcam::Transfer> traceOf(Fn fn) {
    bus().clear_trace();
    fn();
    return bus().trace();
  }
};

}  // namespace camtest
