// The libusb side of the virtual camera: reference counts, kernel-driver
// binding and claims, device faults, fault injection, the trace and the
// virtual clock.
#include "host.h"

#include <unistd.h>

#include <ctime>

namespace {

using host::BusTest;
using host::Host;

TEST_F(BusTest, ListOpenFreeCloseExitLeavesNothing) {
  bus().add_camera();
  bus().add_device(0x046d, 0xc52b);
  ASSERT_EQ(libusb_init(nullptr), 0);
  EXPECT_TRUE(bus().context_alive());
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(nullptr, &list), 2);
  EXPECT_EQ(bus().live_device_lists(), 1);
  EXPECT_EQ(bus().referenced_devices(), 2);
  libusb_device_handle* h = nullptr;
  ASSERT_EQ(libusb_open(list[0], &h), 0);
  EXPECT_EQ(bus().open_handles(), 1);
  libusb_free_device_list(list, 1);
  EXPECT_EQ(bus().live_device_lists(), 0);
  EXPECT_EQ(bus().referenced_devices(), 1) << "the open handle keeps its device";
  libusb_close(h);
  EXPECT_EQ(bus().referenced_devices(), 0);
  libusb_exit(nullptr);
  EXPECT_FALSE(bus().context_alive());
}

TEST_F(BusTest, ListsHandOutTheSameDeviceWhileItIsReferenced) {
  bus().add_camera();
  ASSERT_EQ(libusb_init(nullptr), 0);
  libusb_device **a = nullptr, **b = nullptr;
  ASSERT_EQ(libusb_get_device_list(nullptr, &a), 1);
  ASSERT_EQ(libusb_get_device_list(nullptr, &b), 1);
  EXPECT_EQ(a[0], b[0]);
  libusb_free_device_list(a, 1);
  EXPECT_EQ(bus().referenced_devices(), 1);
  libusb_free_device_list(b, 1);
  libusb_exit(nullptr);
}

TEST_F(BusTest, LeaksAndMisuseAreVisible) {
  bus().add_camera();
  ASSERT_EQ(libusb_init(nullptr), 0);
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
  libusb_free_device_list(list, 0);  // devices not unreferenced: leaked
  EXPECT_EQ(bus().referenced_devices(), 1);
  libusb_free_device_list(list, 1);  // a second free of the same list
  EXPECT_EQ(bus().misuse().size(), 1u);
  libusb_exit(nullptr);
  libusb_exit(nullptr);
  EXPECT_EQ(bus().misuse().size(), 2u);
  bus().reset();  // the fixture's checks start from a clean bus again
}

TEST_F(BusTest, ResetMakesOldHandlesDeadButHarmless) {
  bus().add_camera();
  libusb_device_handle* stale = nullptr;
  {
    ASSERT_EQ(libusb_init(nullptr), 0);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    ASSERT_EQ(libusb_open(list[0], &stale), 0);
    libusb_free_device_list(list, 1);
  }
  bus().reset();
  EXPECT_EQ(bus().open_handles(), 0);
  uint8_t buf[4] = {0x1F, 0x10, 0, 0xFF};
  EXPECT_EQ(libusb_control_transfer(stale, 0x21, 1, 0x100, 0x300, buf, 4, 1000), LIBUSB_ERROR_NO_DEVICE);
  libusb_close(stale);
  EXPECT_TRUE(bus().misuse().empty());
}

TEST_F(BusTest, KernelDriverBlocksClassRequestsAndClaimsUntilDetached) {
  bus().add_camera();
  ASSERT_EQ(libusb_init(nullptr), 0);
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
  libusb_device_handle* h = nullptr;
  ASSERT_EQ(libusb_open(list[0], &h), 0);
  libusb_free_device_list(list, 1);
  uint8_t req[4] = {0x1F, 0x10, 0x00, 0xFF};
  EXPECT_EQ(libusb_kernel_driver_active(h, 0), 1);
  EXPECT_EQ(libusb_control_transfer(h, 0x21, 1, 0x100, 0x300, req, 4, 1000), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
  ASSERT_EQ(libusb_detach_kernel_driver(h, 0), 0);
  EXPECT_EQ(libusb_detach_kernel_driver(h, 0), LIBUSB_ERROR_NOT_FOUND);
  // usbfs claims a free interface for the transfer by itself
  EXPECT_EQ(libusb_control_transfer(h, 0x21, 1, 0x100, 0x300, req, 4, 1000), 4);
  ASSERT_EQ(libusb_claim_interface(h, 0), 0);
  EXPECT_EQ(bus().claimed_interfaces(0), 1);
  EXPECT_EQ(libusb_attach_kernel_driver(h, 0), LIBUSB_ERROR_BUSY) << "claimed";
  EXPECT_EQ(libusb_set_configuration(h, 1), LIBUSB_ERROR_BUSY) << "claimed";
  EXPECT_EQ(libusb_release_interface(h, 0), 0);
  EXPECT_EQ(libusb_release_interface(h, 0), LIBUSB_ERROR_NOT_FOUND);
  EXPECT_EQ(libusb_set_configuration(h, 1), LIBUSB_ERROR_BUSY) << "the driver still holds interface 1";
  ASSERT_EQ(libusb_detach_kernel_driver(h, 1), 0);
  EXPECT_EQ(libusb_set_configuration(h, 1), 0);
  EXPECT_EQ(libusb_attach_kernel_driver(h, 0), 0);
  EXPECT_TRUE(bus().camera(0).kernel_driver_active());
  libusb_close(h);
  libusb_exit(nullptr);
}

TEST_F(BusTest, ClaimFailsForTheFirstAttempts) {
  vcam::CameraConfig cfg;
  cfg.kernel_driver_bound = false;
  cfg.claim_failures = 2;
  cfg.claim_error = LIBUSB_ERROR_ACCESS;
  bus().add_camera(cfg);
  ASSERT_EQ(libusb_init(nullptr), 0);
  libusb_device_handle* h = libusb_open_device_with_vid_pid(nullptr, 0x4e7a, 0x91c3);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_ACCESS);
  EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_ACCESS);
  EXPECT_EQ(libusb_claim_interface(h, 0), 0);
  libusb_close(h);
  EXPECT_EQ(bus().claimed_interfaces(0), 0) << "closing releases the claim";
  libusb_exit(nullptr);
}

TEST_F(BusTest, DeviceFaults) {
  vcam::CameraConfig unreadable, unopenable;
  unreadable.descriptor_unreadable = true;
  unopenable.open_error = LIBUSB_ERROR_ACCESS;
  bus().add_camera(unreadable);
  bus().add_camera(unopenable);
  ASSERT_EQ(libusb_init(nullptr), 0);
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(nullptr, &list), 2);
  libusb_device_descriptor d{};
  EXPECT_EQ(libusb_get_device_descriptor(list[0], &d), LIBUSB_ERROR_IO);
  EXPECT_EQ(libusb_get_device_descriptor(list[1], &d), 0);
  libusb_device_handle* h = nullptr;
  EXPECT_EQ(libusb_open(list[1], &h), LIBUSB_ERROR_ACCESS);
  ASSERT_EQ(libusb_open(list[0], &h), 0);
  libusb_free_device_list(list, 1);

  bus().camera(0).unplug();
  EXPECT_EQ(libusb_kernel_driver_active(h, 0), LIBUSB_ERROR_NO_DEVICE);
  ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1) << "an unplugged device is not listed";
  libusb_free_device_list(list, 1);
  libusb_close(h);
  libusb_exit(nullptr);
}

TEST_F(BusTest, InitAndListFaults) {
  bus().fail_init(LIBUSB_ERROR_OTHER);
  EXPECT_EQ(libusb_init(nullptr), LIBUSB_ERROR_OTHER);
  EXPECT_FALSE(bus().context_alive());
  bus().clear_faults();
  ASSERT_EQ(libusb_init(nullptr), 0);
  bus().fail_device_list(LIBUSB_ERROR_NO_MEM);
  libusb_device** list = nullptr;
  EXPECT_EQ(libusb_get_device_list(nullptr, &list), LIBUSB_ERROR_NO_MEM);
  libusb_exit(nullptr);
}

// A camera opened and claimed, on the default register map.
class OpenCamera : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    bus().add_camera();
    host_ = std::make_unique<Host>();
  }
  void TearDown() override {
    host_.reset();
    BusTest::TearDown();
  }
  Host& h() { return *host_; }
  std::unique_ptr<Host> host_;
};

TEST_F(OpenCamera, TraceHoldsTheBytesOfEachTransfer) {
  bus().clear_trace();
  EXPECT_EQ(h().read(0x101F), 0xE1);
  const auto& t = bus().trace();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_TRUE(t[0].is_set());
  EXPECT_EQ(t[0].wValue, 0x0100);
  EXPECT_EQ(t[0].wIndex, 0x0300);
  EXPECT_EQ(t[0].out, (std::vector<uint8_t>{0x1F, 0x10, 0x00, 0xFF}));
  EXPECT_TRUE(t[1].is_get());
  EXPECT_EQ(t[1].in, (std::vector<uint8_t>{0x1F, 0x10, 0xE1, 0xFF}));
  EXPECT_EQ(t[1].result, 4);
  EXPECT_EQ(t[1].device, 0);
}

TEST_F(OpenCamera, InjectedFaultsFailTheTransferBeforeItReachesTheDevice) {
  struct Case {
    const char* name;
    std::function<void(vcam::Bus&)> inject;
    int error;
  };
  const Case cases[] = {
      {"nth", [](vcam::Bus& b) { b.fail_transfer(1, LIBUSB_ERROR_TIMEOUT); }, LIBUSB_ERROR_TIMEOUT},
      {"selector", [](vcam::Bus& b) { b.fail_selector(1); }, LIBUSB_ERROR_IO},
      {"predicate", [](vcam::Bus& b) { b.fail_if([](const vcam::Transfer& t) { return t.is_set() && t.out[0] == 0x06; }); },
       LIBUSB_ERROR_IO},
      {"device", [](vcam::Bus& b) { b.camera(0).fail_all_transfers(LIBUSB_ERROR_PIPE); }, LIBUSB_ERROR_PIPE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.inject(bus());
    EXPECT_EQ(h().set_cur(1, {0x06, 0x10, 0x5A, 0x00}), c.error);
    EXPECT_EQ(bus().camera(0).reg(0x1006), 0x00) << "the write must not land";
    EXPECT_EQ(bus().trace().back().result, c.error);
    bus().clear_faults();
    EXPECT_EQ(h().set_cur(1, {0x06, 0x10, 0x5A, 0x00}), 4);
    EXPECT_EQ(bus().camera(0).reg(0x1006), 0x5A);
    bus().camera(0).set_reg(0x1006, 0);
  }
}

TEST_F(OpenCamera, NthFaultCountsFromNow) {
  bus().fail_transfer(3);
  EXPECT_EQ(h().set_cur(1, {0x06, 0x10, 1, 0}), 4);
  EXPECT_EQ(h().set_cur(1, {0x06, 0x10, 2, 0}), 4);
  EXPECT_EQ(h().set_cur(1, {0x06, 0x10, 3, 0}), LIBUSB_ERROR_IO);
  EXPECT_EQ(h().set_cur(1, {0x06, 0x10, 4, 0}), 4);
  EXPECT_EQ(bus().camera(0).reg(0x1006), 4);
}

TEST_F(OpenCamera, UnpluggedOrClosedHandlesFailWithNoDevice) {
  bus().camera(0).unplug();
  EXPECT_EQ(h().set_cur(1, {0x06, 0x10, 1, 0}), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(BusTest, SleepsAdvanceTheVirtualClock) {
  const time_t before = time(nullptr);
  usleep(1500);
  sleep(2);
  const timespec ts{0, 250000};
  nanosleep(&ts, nullptr);
  EXPECT_EQ(bus().slept_us(), 1500u + 2000000u + 250u);
  EXPECT_LE(time(nullptr) - before, 1) << "no real sleeping";
  bus().reset();
  EXPECT_EQ(bus().slept_us(), 0u);
}

}  // namespace
