// Test bed of the SDK's firmware procedures: an open SDK on virtual
// cameras with firmware, a record of progress reports, a watch on the
// working copies, and a loop that fails each transfer of a procedure in
// turn.
#pragma once

#include "DorvakFirmware.h"
#include "camera_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace camtest {

// Progress reports in the order they came.
struct ProgressLog {
  std::vector<float> values;
  static void record(void* self, float p) { static_cast<ProgressLog*>(self)->values.push_back(p); }
};

// Working copies of the procedures: counted, and the next allocation can
// be made to fail.
struct HeapWatch {
  static inline int live = 0;
  static inline bool failNext = false;
  static void* allocate(size_t n) {
    if (failNext) {
      failNext = false;
      return nullptr;
    }
    ++live;
    return std::malloc(n);
  }
  static void release(void* p) {
    --live;
    std::free(p);
  }
};

// One step of a procedure and how many transfers it takes.  A run with a
// transfer of this step failed returns 0 with one of `codes` (EC_UnKnow:
// no code stored) or, when `mayPass`, 1 with the flash as a clean run
// leaves it: the step ignores some of its transfers' results.
struct Phase {
  std::string name;
  uint64_t transfers;
  std::vector<ERROR_CODE> codes;
  bool mayPass = false;
};

class FirmwareTest : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    savedHeap_ = dorvak_sdk::g_workingCopyHeap;
    dorvak_sdk::g_workingCopyHeap = {HeapWatch::allocate, HeapWatch::release};
    HeapWatch::live = 0;
    HeapWatch::failNext = false;
  }
  void TearDown() override {
    EXPECT_EQ(HeapWatch::live, 0) << "a working copy was not released";
    dorvak_sdk::g_workingCopyHeap = savedHeap_;
    CameraTest::TearDown();
  }

  // Runs `fn` with standard output and error captured; returns the output.
  // Failures reported meanwhile are shown with what was captured.  Within
  // another capture `fn` just runs (and nothing is returned).
  template <class Fn>
  static std::string quiet(Fn fn) {
    if (capturing_) {
      fn();
      return {};
    }
    const bool failedBefore = HasFailure();
    capturing_ = true;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fn();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    capturing_ = false;
    if (!failedBefore && HasFailure()) std::cerr << out << err;
    return out;
  }

  // An empty bus, the SDK closed.
  void resetBus() {
    DorvakCam_UnInit();
    bus().reset();
  }

  // Opens the SDK on the cameras of the bus.
  void init() {
    quiet([] { ASSERT_EQ(DorvakCam_Init(kVidPid), 1); });
  }

  // A camera whose flash holds the firmware `fw`, built for the camera's ROM
  // model and chip, with the SDK opened on it.
  vcam::Camera& open(vcam::CameraConfig cfg = {}, vcam::FirmwareSpec fw = {}) {
    vcam::Camera& cam = addCameraWithFirmware(cfg, fw);
    init();
    return cam;
  }

  // A firmware image of `size` bytes for the camera `cfg` describes.
  static std::vector<uint8_t> imageFor(const vcam::CameraConfig& cfg, size_t size, uint32_t seed = 7) {
    vcam::FirmwareSpec fw;
    fw.rom_model = cfg.rom_model;
    fw.chip_id = cfg.chip_id;
    fw.size = size;
    fw.seed = seed;
    return vcam::build_firmware(fw);
  }

  static std::vector<uint8_t> flashAt(const vcam::Camera& cam, size_t at, size_t n) {
    return std::vector<uint8_t>(cam.flash().begin() + static_cast<long>(at),
                                cam.flash().begin() + static_cast<long>(at + n));
  }

  // Makes the flash protect itself again the moment the host shifts out
  // `opcode`, so that it refuses that command without a word, as it would
  // under an asserted WP#.
  void protectBeforeOpcode(vcam::Camera& cam, uint8_t opcode) {
    bus().fail_if([&cam, opcode](const vcam::Transfer& t) {
      const bool dataRegisterWrite = t.selector() == 1 && t.is_set() && t.out.size() == 4 && t.out[3] == 0x00 &&
                                     (t.out[0] | t.out[1] << 8) == sfWriteDataAddr;
      if (dataRegisterWrite && t.out[2] == opcode) cam.set_flash_status(vcam::kStatusSrwd | 0x7C);
      return false;
    });
  }

  // Transfers that `fn` makes.
  template <class Fn>
  uint64_t transfersOf(Fn fn) {
    const uint64_t before = bus().transfer_count();
    quiet(fn);
    return bus().transfer_count() - before;
  }

  // The controller's ready flag is polled until it is set, so a poll that
  // fails is simply made again.
  static bool isReadyFlagPoll(const std::vector<vcam::Transfer>& trace, size_t i) {
    auto isRequest = [&](size_t j) {
      const vcam::Transfer& t = trace[j];
      return t.selector() == 1 && t.is_set() && t.out.size() == 4 && t.out[3] == 0xFF &&
             (t.out[0] | t.out[1] << 8) == sfRdyAddr;
    };
    return isRequest(i) || (i > 0 && trace[i].is_get() && isRequest(i - 1));
  }

  // Runs `procedure` on the bed that `arrange` builds, first cleanly (it
  // must succeed with exactly the transfers of `plan`), then once for each
  // of its transfers with that transfer failed.  `flashAsClean` tells
  // whether the flash is as the clean run left it.
  void forEachTransferFault(const std::function<void()>& arrange, const std::function<std::vector<Phase>()>& plan,
                            const std::function<BOOL()>& procedure, const std::function<bool()>& flashAsClean) {
    arrange();
    const std::vector<Phase> phases = plan();
    arrange();
    uint64_t total = 0;
    for (const Phase& p : phases) total += p.transfers;
    bus().clear_trace();
    BOOL clean = 0;
    quiet([&] { clean = procedure(); });
    const std::vector<vcam::Transfer> cleanTrace = bus().trace();
    ASSERT_EQ(clean, 1);
    ASSERT_TRUE(flashAsClean());
    ASSERT_EQ(cleanTrace.size(), total) << "the procedure makes exactly the transfers of its steps";

    quiet([&] {
      uint64_t k = 0;
      for (const Phase& phase : phases) {
        for (uint64_t i = 0; i < phase.transfers; ++i) {
          ++k;
          arrange();
          gEC = EC_UnKnow;
          bus().set_trace_enabled(false);
          bus().fail_transfer(k);
          const BOOL r = procedure();
          bus().set_trace_enabled(true);
          const ERROR_CODE code = gEC;
          if (r == 1) {
            EXPECT_TRUE(phase.mayPass || isReadyFlagPoll(cleanTrace, k - 1))
                << phase.name << ", transfer " << k << ": failure reported as success";
            EXPECT_TRUE(flashAsClean()) << phase.name << ", transfer " << k;
          } else {
            EXPECT_NE(std::find(phase.codes.begin(), phase.codes.end(), code), phase.codes.end())
                << phase.name << ", transfer " << k << ": code " << code;
          }
          EXPECT_EQ(HeapWatch::live, 0) << phase.name << ", transfer " << k;
          if (HasFailure()) return;
        }
      }
    });
  }

 private:
  static inline bool capturing_ = false;
  dorvak_sdk::WorkingCopyHeap savedHeap_{};
};

}  // namespace camtest
