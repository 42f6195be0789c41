// The ASIC behind the control pipe: which requests it answers, its register
// file by architecture, GPIO straps, the probe registers, ROM, memory type
// and the USB restart register.
#include "host.h"

namespace {

using host::BusTest;
using host::Host;

class Asic : public BusTest {
 protected:
  Host& open(const vcam::CameraConfig& cfg = {}, const host::Map& map = host::kFirst) {
    bus().add_camera(cfg);
    host_ = std::make_unique<Host>(0, cfg.unit, map);
    return *host_;
  }
  void TearDown() override {
    host_.reset();
    BusTest::TearDown();
  }
  int raw(uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t len) {
    std::vector<uint8_t> buf(len ? len : 1, 0);
    buf[0] = 0x1F;
    buf[1] = 0x10;
    if (len > 3) buf[3] = 0xFF;
    return libusb_control_transfer(host_->handle(), type, req, value, index, buf.data(), len, 1000);
  }
  std::unique_ptr<Host> host_;
};

TEST_F(Asic, StallsOnAnythingButTheProtocol) {
  open();
  struct Case {
    const char* what;
    uint8_t type, req;
    uint16_t value, index, len;
  } const cases[] = {
      {"wrong unit", 0x21, 0x01, 0x0100, 0x0400, 4},
      {"short register request", 0x21, 0x01, 0x0100, 0x0300, 3},
      {"long register request", 0x21, 0x01, 0x0100, 0x0300, 11},
      {"short flash-data request", 0x21, 0x01, 0x0300, 0x0300, 8},
      {"wValue low byte", 0x21, 0x01, 0x0101, 0x0300, 4},
      {"no such selector", 0x21, 0x01, 0x0200, 0x0300, 4},
      {"GET_LEN", 0xA1, 0x85, 0x0100, 0x0300, 2},
      {"SET_CUR with the IN type", 0xA1, 0x01, 0x0100, 0x0300, 4},
      {"vendor request", 0x41, 0x01, 0x0100, 0x0300, 4},
      {"memory type is read-only", 0x21, 0x01, 0x0500, 0x0300, 11},
  };
  for (const auto& c : cases) EXPECT_EQ(raw(c.type, c.req, c.value, c.index, c.len), LIBUSB_ERROR_PIPE) << c.what;
  EXPECT_EQ(raw(0x21, 0x01, 0x0100, 0x0300, 4), 4) << "the same request done right";
}

TEST_F(Asic, GetCurNeedsItsOwnPendingRequest) {
  Host& h = open();
  std::vector<uint8_t> r(4);
  EXPECT_EQ(h.get_cur(1, r), LIBUSB_ERROR_PIPE) << "nothing asked";
  ASSERT_EQ(h.set_cur(1, {0x1F, 0x10, 0x00, 0xFF}), 4);
  EXPECT_EQ(h.get_cur(1, r), 4);
  EXPECT_EQ(h.get_cur(1, r), LIBUSB_ERROR_PIPE) << "answered once";
  ASSERT_EQ(h.set_cur(1, {0x1F, 0x10, 0x00, 0xFF}), 4);
  ASSERT_EQ(h.set_cur(1, {0x06, 0x10, 0x33, 0x00}), 4);
  EXPECT_EQ(h.get_cur(1, r), LIBUSB_ERROR_PIPE) << "a write replaces the read request";
  EXPECT_EQ(h.set_cur(1, {0x06, 0x10, 0x33, 0x01}), LIBUSB_ERROR_PIPE) << "byte 3 is neither write nor read";
  std::vector<uint8_t> rom(11);
  EXPECT_EQ(h.get_cur(4, rom), LIBUSB_ERROR_PIPE) << "a register request is no ROM request";
}

TEST_F(Asic, ChipIdentificationSitsAtTheArchitecturesAddress) {
  struct Case {
    vcam::Arch arch;
    uint8_t chip, other;
    uint8_t at_101f, at_80f0;
  } const cases[] = {
      {vcam::Arch::First, 0xE1, 0x00, 0xE1, 0x00},
      {vcam::Arch::Second, 0xF5, 0x42, 0x42, 0xF5},
      {vcam::Arch::Second, 0xF4, 0xF4, 0xF4, 0xF4},
  };
  for (const auto& c : cases) {
    vcam::CameraConfig cfg;
    cfg.arch = c.arch;
    cfg.chip_id = c.chip;
    cfg.other_id_reg = c.other;
    Host& h = open(cfg);
    EXPECT_EQ(h.read(0x101F), c.at_101f);
    EXPECT_EQ(h.read(0x80F0), c.at_80f0);
    h.write(0x101F, 0x00);
    EXPECT_EQ(h.read(0x101F), c.at_101f) << "read-only";
    host_.reset();
    bus().reset();
  }
}

TEST_F(Asic, HiddenChipIdShowsWhileTheBondOptionBitIsCleared) {
  vcam::CameraConfig cfg;
  cfg.chip_id = 0xE4;
  cfg.hidden_chip_id = 0xEA;
  Host& h = open(cfg);
  EXPECT_EQ(h.read(0x100A) & 0x10, 0x10);
  EXPECT_EQ(h.read(0x101F), 0xE4);
  h.write(0x100A, 0x00);
  EXPECT_EQ(h.read(0x101F), 0xEA);
  h.write(0x100A, 0x10);
  EXPECT_EQ(h.read(0x101F), 0xE4);
}

TEST_F(Asic, Register1185KeepsBits4To6OnlyWhereTheyStick) {
  for (bool stick : {false, true}) {
    vcam::CameraConfig cfg;
    cfg.reg1185_bits_stick = stick;
    Host& h = open(cfg);
    h.write(0x1185, 0x71);
    EXPECT_EQ(h.read(0x1185), stick ? 0x71 : 0x01);
    host_.reset();
    bus().reset();
  }
}

TEST_F(Asic, GpioInputFollowsTheStrapOnlyWhileTheOutputIsDisabled) {
  for (const host::Map* map : {&host::kFirst, &host::kSecond}) {
    vcam::CameraConfig cfg;
    cfg.arch = map == &host::kSecond ? vcam::Arch::Second : vcam::Arch::First;
    cfg.gpio_straps = 0x20;
    cfg.wp = vcam::WpWiring{};  // WP# not wired: no strap is forced
    Host& h = open(cfg, *map);
    const uint16_t in = map == &host::kSecond ? 0x8200 : 0x1005;
    const uint16_t out = static_cast<uint16_t>(in + 1), oe = static_cast<uint16_t>(in + 2);
    EXPECT_EQ(h.read(in) & 0x20, 0x20) << "strap";
    h.write(out, 0x00);
    EXPECT_EQ(h.read(in) & 0x20, 0x20) << "output level ignored while disabled";
    h.write(oe, 0x20);
    EXPECT_EQ(h.read(in) & 0x20, 0x00) << "driven low";
    h.write(out, 0x20);
    EXPECT_EQ(h.read(in) & 0x20, 0x20) << "driven high";
    bus().camera(0).set_gpio_straps(0x00);
    h.write(oe, 0x00);
    EXPECT_EQ(h.read(in) & 0x20, 0x00) << "strap again";
    host_.reset();
    bus().reset();
  }
}

TEST_F(Asic, UsbRestartIsAWriteThatClearsBit0) {
  for (const host::Map* map : {&host::kFirst, &host::kSecond}) {
    vcam::CameraConfig cfg;
    cfg.arch = map == &host::kSecond ? vcam::Arch::Second : vcam::Arch::First;
    Host& h = open(cfg, *map);
    EXPECT_EQ(h.read(map->usb_reset) & 1, 1);
    h.write(map->usb_reset, 0x01);
    EXPECT_EQ(bus().camera(0).usb_restarts(), 0);
    h.write(map->usb_reset, static_cast<uint8_t>(h.read(map->usb_reset) & ~1));
    EXPECT_EQ(bus().camera(0).usb_restarts(), 1);
    h.write(map->usb_reset, 0x00);
    EXPECT_EQ(bus().camera(0).usb_restarts(), 2);
    host_.reset();
    bus().reset();
  }
}

TEST_F(Asic, RomCarriesTheModelStringAndMemoryTypeAnswers) {
  vcam::CameraConfig cfg;
  cfg.rom_model = vcam::rom_model_index("ROMM15V1");
  cfg.rom_bytes = {{0x9FF8, {'M', '9', '9', 'R', '0', 1, 0, 0}}};
  cfg.memory_type = 2;
  cfg.unit = 4;
  Host& h = open(cfg);
  std::vector<uint8_t> r(11);
  ASSERT_EQ(h.set_cur(4, {0xF8, 0xBF, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}), 11);
  ASSERT_EQ(h.get_cur(4, r), 11);
  EXPECT_EQ(std::vector<uint8_t>(r.begin() + 3, r.end()), (std::vector<uint8_t>{'M', '1', '5', 'R', '0', 1, 0x42, 0x21}));
  ASSERT_EQ(h.set_cur(4, {0xF8, 0x9F, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}), 11);
  ASSERT_EQ(h.get_cur(4, r), 11);
  EXPECT_EQ(r[3], 'M');
  EXPECT_EQ(r[4], '9');
  EXPECT_EQ(h.set_cur(4, {0xF8, 0x9F, 0x09, 0, 0, 0, 0, 0, 0, 0, 0}), LIBUSB_ERROR_PIPE) << "at most 8 bytes";
  std::vector<uint8_t> m(11, 0xAA);
  ASSERT_EQ(h.get_cur(5, m), 11);
  EXPECT_EQ(m[2], 2);
}

}  // namespace
