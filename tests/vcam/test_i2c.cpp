// The ASIC's I2C master and the image sensor behind it.
#include "host.h"

namespace {

using host::BusTest;
using host::Host;
using Bytes = std::vector<uint8_t>;

class I2c : public BusTest {
 protected:
  Host& open(vcam::CameraConfig cfg = {}, const host::Map& map = host::kFirst) {
    bus().add_camera(cfg);
    host_ = std::make_unique<Host>(0, cfg.unit, map);
    return *host_;
  }
  void TearDown() override {
    host_.reset();
    BusTest::TearDown();
  }
  // One transaction as the host programs it; returns the status at the end
  // and how many status reads found it still running.
  uint8_t transact(uint8_t ctrl, uint8_t slave, const Bytes& data, int* running = nullptr, uint8_t mode = 1) {
    Host& h = *host_;
    const auto& m = h.map();
    h.write(m.i2c_mode, mode);
    h.write(static_cast<uint16_t>(m.i2c_trg + 1), 1);  // clock open-drain select
    h.write(m.i2c_dev, ctrl);
    h.write(m.i2c_slave, slave);
    for (int i = 0; i < 5; ++i) h.write(static_cast<uint16_t>(m.i2c_data + i), i < int(data.size()) ? data[i] : 0);
    h.write(m.i2c_trg, 0x10);
    int busy = 0;
    uint8_t st = 0;
    for (int i = 0; i < 10; ++i) {
      st = h.read(m.i2c_dev);
      if (st & 0x04) break;
      ++busy;
    }
    if (running) *running = busy;
    return st;
  }
  Bytes data_regs() {
    Bytes d;
    for (int i = 0; i < 5; ++i) d.push_back(host_->read(static_cast<uint16_t>(host_->map().i2c_data + i)));
    return d;
  }
  std::unique_ptr<Host> host_;
};

TEST_F(I2c, WriteThenReadBackThroughThePointer) {
  for (const host::Map* map : {&host::kFirst, &host::kSecond}) {
    vcam::CameraConfig cfg;
    cfg.arch = map == &host::kSecond ? vcam::Arch::Second : vcam::Arch::First;
    cfg.i2c_busy_polls = 2;
    open(cfg, *map);
    int running = 0;
    EXPECT_EQ(transact(0xC0, 0x6C, {0x30, 0x08, 0x12, 0x34}, &running) & 0x0C, 0x04);
    EXPECT_EQ(running, 2);
    auto& cam = bus().camera(0);
    EXPECT_EQ(cam.sensor_reg(0x3008), 0x12);
    EXPECT_EQ(cam.sensor_reg(0x3009), 0x34);
    EXPECT_EQ(cam.i2c_transactions(), 1);

    struct Case {
      uint8_t ctrl;
      Bytes expect;
    } const reads[] = {
        {0x92, {0, 0, 0, 0, 0x12}},        // one byte arrives in +4
        {0xA2, {0, 0, 0, 0x12, 0x34}},     // two bytes in +3 and +4
        {0xB2, {0, 0, 0x12, 0x34, 0x00}},  // three in +2 to +4
    };
    for (const auto& r : reads) {
      ASSERT_EQ(transact(0xA0, 0x6C, {0x30, 0x08}) & 0x0C, 0x04);  // pointer
      ASSERT_EQ(transact(r.ctrl, 0x6D, {}) & 0x0C, 0x04) << "the direction bit of the address is ignored";
      EXPECT_EQ(data_regs(), r.expect) << int(r.ctrl);
    }
    host_.reset();
    bus().reset();
  }
}

TEST_F(I2c, EightBitAddressesAndAutoIncrement) {
  vcam::CameraConfig cfg;
  cfg.sensor_addr_bytes = 1;
  cfg.sensor_slave = 0x42;
  open(cfg);
  ASSERT_EQ(transact(0xA0, 0x42, {0x12, 0x5A}) & 0x0C, 0x04);
  ASSERT_EQ(transact(0xC0, 0x42, {0xFF, 0x01, 0x02}) & 0x0C, 0x04);
  auto& cam = bus().camera(0);
  EXPECT_EQ(cam.sensor_reg(0x12), 0x5A);
  EXPECT_EQ(cam.sensor_reg(0xFF), 0x01);
  EXPECT_EQ(cam.sensor_reg(0x00), 0x02) << "an 8-bit address wraps";
}

TEST_F(I2c, FailureBitForNoAnswerOrAMalformedTransaction) {
  struct Case {
    const char* what;
    uint8_t ctrl, slave, mode;
    bool sensor;
  } const cases[] = {
      {"wrong slave", 0xC0, 0x20, 1, true},
      {"no sensor", 0xC0, 0x6C, 1, false},
      {"no bytes", 0x80, 0x6C, 1, true},
      {"six bytes", 0xE0, 0x6C, 1, true},
      {"no start bit", 0x40, 0x6C, 1, true},
      {"master off", 0xC0, 0x6C, 0, true},
  };
  for (const auto& c : cases) {
    vcam::CameraConfig cfg;
    cfg.sensor_present = c.sensor;
    open(cfg);
    EXPECT_EQ(transact(c.ctrl, c.slave, {0x30, 0x08, 0x12, 0x34}, nullptr, c.mode) & 0x0C, 0x0C) << c.what;
    EXPECT_EQ(bus().camera(0).sensor_reg(0x3008), 0x00) << c.what;
    host_.reset();
    bus().reset();
  }
}

TEST_F(I2c, SpeedBitIsKeptAndStatusClearsOnTheNextControlWrite) {
  open();
  auto st = transact(0xC1, 0x6C, {0x30, 0x08, 0x12, 0x34});
  EXPECT_EQ(st & 0x01, 0x01);
  host_->write(host_->map().i2c_dev, 0xA1);
  EXPECT_EQ(host_->read(host_->map().i2c_dev), 0xA1) << "done and failure bits cleared";
}

}  // namespace
