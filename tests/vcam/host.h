// What a host program does with a camera, in a few calls: open it through
// libusb, move extension-unit requests, drive the flash controller and the
// I2C master register by register.  Tests of the virtual camera use it to
// talk to the model only through the USB API, as the camera layer does.
#pragma once

#include <vcam/vcam.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace host {

constexpr uint8_t kSetType = 0x21, kSet = 0x01, kGetType = 0xA1, kGet = 0x81;

// Register addresses of the two architectures used here.
struct Map {
  uint16_t sf_rdy, sf_mode, sf_cs, sf_wdata, sf_rdata, sf_trigger, i2c_dev, i2c_mode, i2c_trg, i2c_slave, i2c_data,
      usb_reset;
};
constexpr Map kFirst{0x1084, 0x1080, 0x1091, 0x1082, 0x1083, 0x1081, 0x10D0, 0x10D9, 0x10D7, 0x10D1, 0x10D2, 0x1073};
constexpr Map kSecond{0x8E04, 0x8E00, 0x8E11, 0x8E02, 0x8E03, 0x8E01, 0x8600, 0x8609, 0x8607, 0x8601, 0x8602, 0x8C00};

class Host {
 public:
  // Opens the index-th device with the camera identifier, detaches the
  // kernel driver and claims interface 0.
  explicit Host(int index = 0, uint8_t unit = 3, const Map& map = kFirst) : unit_(unit), map_(map) {
    EXPECT_EQ(libusb_init(nullptr), 0);
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &list);
    int seen = 0;
    for (ssize_t i = 0; i < n; ++i) {
      libusb_device_descriptor d{};
      if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != 0x4e7a) continue;
      if (seen++ == index) {
        EXPECT_EQ(libusb_open(list[i], &h_), 0);
      }
    }
    libusb_free_device_list(list, 1);
    if (!h_) return;
    if (libusb_kernel_driver_active(h_, 0) == 1) {
      EXPECT_EQ(libusb_detach_kernel_driver(h_, 0), 0);
    }
    EXPECT_EQ(libusb_claim_interface(h_, 0), 0);
  }
  ~Host() {
    if (h_) {
      libusb_release_interface(h_, 0);
      libusb_close(h_);
    }
    libusb_exit(nullptr);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  libusb_device_handle* handle() const { return h_; }

  int set_cur(uint8_t cs, std::vector<uint8_t> bytes) {
    return libusb_control_transfer(h_, kSetType, kSet, static_cast<uint16_t>(cs << 8),
                                   static_cast<uint16_t>(unit_ << 8), bytes.data(),
                                   static_cast<uint16_t>(bytes.size()), 1000);
  }
  int get_cur(uint8_t cs, std::vector<uint8_t>& reply) {
    return libusb_control_transfer(h_, kGetType, kGet, static_cast<uint16_t>(cs << 8),
                                   static_cast<uint16_t>(unit_ << 8), reply.data(),
                                   static_cast<uint16_t>(reply.size()), 1000);
  }

  void write(uint16_t addr, uint8_t v) {
    ASSERT_EQ(set_cur(1, {uint8_t(addr), uint8_t(addr >> 8), v, 0x00}), 4);
  }
  uint8_t read(uint16_t addr) {
    std::vector<uint8_t> r(4);
    EXPECT_EQ(set_cur(1, {uint8_t(addr), uint8_t(addr >> 8), 0x00, 0xFF}), 4);
    EXPECT_EQ(get_cur(1, r), 4);
    return r[2];
  }

  // Flash data through the firmware (selector 3), at most 8 bytes.
  std::vector<uint8_t> flash_read(uint32_t addr, int n) {
    std::vector<uint8_t> r(11);
    EXPECT_EQ(set_cur(3, request(addr, static_cast<uint8_t>(0x80 | n), {})), 11);
    EXPECT_EQ(get_cur(3, r), 11);
    return {r.begin() + 3, r.begin() + 3 + n};
  }
  int flash_write(uint32_t addr, const std::vector<uint8_t>& data) {
    return set_cur(3, request(addr, static_cast<uint8_t>(data.size()), data));
  }

  // One SPI command through the flash controller in manual mode: the
  // bytes are sent, then `receive` bytes are clocked in.
  std::vector<uint8_t> spi(const std::vector<uint8_t>& send, int receive = 0) {
    write(map_.sf_mode, 1);
    write(map_.sf_cs, 0);
    for (uint8_t b : send) {
      write(map_.sf_wdata, b);
      write(map_.sf_trigger, 1);
      wait_ready();
    }
    std::vector<uint8_t> got;
    for (int i = 0; i < receive; ++i) {
      write(map_.sf_rdata, 0);
      write(map_.sf_trigger, 2);
      wait_ready();
      got.push_back(read(map_.sf_rdata));
    }
    write(map_.sf_cs, 1);
    write(map_.sf_mode, 0);
    return got;
  }
  bool wait_ready(int tries = 50) {
    for (int i = 0; i < tries; ++i)
      if (read(map_.sf_rdy) & 1) return true;
    return false;
  }
  uint8_t status() { return spi({0x05}, 1)[0]; }
  void wren() { spi({0x06}); }

  // Drives a GPIO pin through the first-architecture window.
  void drive_gpio(int pin, bool level) {
    const uint8_t m = static_cast<uint8_t>(1u << pin);
    write(0x1007, static_cast<uint8_t>(read(0x1007) | m));
    const uint8_t out = read(0x1006);
    write(0x1006, static_cast<uint8_t>(level ? (out | m) : (out & ~m)));
  }

  const Map& map() const { return map_; }

 private:
  static std::vector<uint8_t> request(uint32_t addr, uint8_t count, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> r(11, 0);
    r[0] = uint8_t(addr);
    r[1] = uint8_t(addr >> 8);
    r[2] = static_cast<uint8_t>(count | (((addr >> 16) & 7) << 4));
    for (size_t i = 0; i < data.size() && i < 8; ++i) r[3 + i] = data[i];
    return r;
  }

  uint8_t unit_;
  Map map_;
  libusb_device_handle* h_ = nullptr;
};

// Every test starts from an empty bus and must leave no libusb object behind.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override { vcam::Bus::get().reset(); }
  void TearDown() override {
    auto& bus = vcam::Bus::get();
    EXPECT_EQ(bus.open_handles(), 0);
    EXPECT_EQ(bus.live_device_lists(), 0);
    EXPECT_EQ(bus.referenced_devices(), 0);
    EXPECT_FALSE(bus.context_alive());
    EXPECT_TRUE(bus.misuse().empty());
  }
  vcam::Bus& bus() { return vcam::Bus::get(); }
};

}  // namespace host
