// The flash controller and the SPI NOR chips behind it: identification by
// family, byte shifting rules, write protection as shipped, NOR semantics,
// page wrap, busy time, and the firmware's own flash-data path.
#include "host.h"

#include <unistd.h>

namespace {

using host::BusTest;
using host::Host;
using Bytes = std::vector<uint8_t>;

class Flash : public BusTest {
 protected:
  Host& open(vcam::CameraConfig cfg = {}) {
    bus().add_camera(cfg);
    host_ = std::make_unique<Host>(0, cfg.unit);
    return *host_;
  }
  void TearDown() override {
    host_.reset();
    BusTest::TearDown();
  }
  static vcam::CameraConfig wired(vcam::FlashFamily f = vcam::FlashFamily::Mxic) {
    vcam::CameraConfig cfg;
    cfg.flash = f;
    cfg.wp = vcam::WpWiring{5, false};  // WP# released by driving GPIO 5 low
    return cfg;
  }
  // Releases WP#, then clears the status register (SST needs 0x50 first).
  static void remove_protection(Host& h, bool sst = false) {
    h.drive_gpio(5, false);
    h.wren();
    if (sst) h.spi({0x50});
    h.spi({0x01, 0x00});
    settle(h);
  }
  static void settle(Host& h) {
    while (h.status() & vcam::kStatusWip) {
    }
  }
  vcam::Camera& cam() { return bus().camera(0); }
  std::unique_ptr<Host> host_;
};

TEST_F(Flash, EachFamilyAnswersTheIdentificationCommands) {
  using F = vcam::FlashFamily;
  struct Case {
    F family;
    Bytes send;
    int n;
    Bytes expect;
  } const cases[] = {
      {F::Mxic, {0x9F}, 3, {0xC2, 0x20, 0x13}},
      {F::St, {0x9F}, 3, {0x20, 0x20, 0x11}},
      {F::St, {0x90, 0, 0, 0}, 2, {0xFF, 0xFF}},
      {F::St, {0xAB, 0, 0, 0}, 2, {0x10, 0x10}},
      {F::Sst, {0x9F}, 3, {0xFF, 0xFF, 0xFF}},
      {F::Sst, {0x90, 0, 0, 0}, 2, {0xBF, 0x48}},
      {F::AtmelAt25f, {0x9F}, 3, {0x1F, 0x65, 0x01}},
      {F::AtmelAt25f, {0x15}, 2, {0x1F, 0x65}},
      {F::Pmc, {0x9F}, 3, {0x7F, 0x9D, 0x7B}},
      {F::Pmc, {0xAB, 0, 0, 0}, 2, {0x9D, 0x7B}},
      {F::Esmt, {0x9F}, 3, {0x8C, 0x30, 0x10}},
      {F::Giga, {0x9F}, 3, {0xC8, 0x40, 0x13}},
      {F::Winbond, {0x90, 0, 0, 0}, 2, {0xEF, 0x10}},
      {F::Fentech, {0x9F}, 3, {0x5E, 0x60, 0x13}},
      {F::Unknown, {0x9F}, 3, {0xC2, 0x20, 0x15}},
      {F::Mxic, {0x15}, 2, {0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    vcam::CameraConfig cfg;
    cfg.flash = c.family;
    Host& h = open(cfg);
    EXPECT_EQ(h.spi(c.send, c.n), c.expect) << "family " << static_cast<int>(c.family) << " command " << int(c.send[0]);
    host_.reset();
    bus().reset();
  }
}

TEST_F(Flash, BytesShiftOnlyWhileSelectedInManualMode) {
  Host& h = open();
  const auto& m = h.map();
  h.write(m.sf_mode, 1);
  h.write(m.sf_cs, 1);  // released
  h.write(m.sf_wdata, 0x9F);
  h.write(m.sf_trigger, 1);
  h.write(m.sf_trigger, 2);
  EXPECT_TRUE(h.wait_ready());
  EXPECT_EQ(h.read(m.sf_rdata), 0xFF) << "nobody drives the data line";
  h.write(m.sf_mode, 0);
  h.write(m.sf_cs, 0);
  h.write(m.sf_rdata, 0x42);
  h.write(m.sf_trigger, 2);
  EXPECT_EQ(h.read(m.sf_rdata), 0x42) << "outside manual mode the host shifts nothing";
  EXPECT_EQ(h.spi({0x9F}, 1), Bytes{0xC2}) << "entering manual mode selects the chip as the register says";
}

TEST_F(Flash, ReadyFlagClearsWhileAByteShifts) {
  vcam::CameraConfig cfg;
  cfg.sf_busy_polls = 3;
  Host& h = open(cfg);
  const auto& m = h.map();
  h.write(m.sf_mode, 1);
  h.write(m.sf_cs, 0);
  EXPECT_EQ(h.read(m.sf_rdy) & 1, 1);
  h.write(m.sf_wdata, 0x05);
  h.write(m.sf_trigger, 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(h.read(m.sf_rdy) & 1, 0);
  EXPECT_EQ(h.read(m.sf_rdy) & 1, 1);
  cam().set_flash_ready_stuck(true);
  EXPECT_FALSE(h.wait_ready(50));
  h.write(m.sf_mode, 0);
}

TEST_F(Flash, ShippedCameraRefusesWritesUntilProtectionIsRemovedInOrder) {
  Host& h = open(wired());
  const Bytes original = h.flash_read(0x1000, 4);
  EXPECT_EQ(h.status(), vcam::kStatusSrwd | 0x1C);
  EXPECT_TRUE(cam().wp_asserted());

  h.wren();
  h.spi({0x20, 0x00, 0x10, 0x00});  // sector erase
  h.wren();
  h.spi({0x02, 0x00, 0x10, 0x00, 0x12});
  EXPECT_EQ(cam().flash_erases() + cam().flash_programs(), 0);

  // status write first, pin second: WP# still guarded the status register
  h.wren();
  h.spi({0x01, 0x00});
  h.drive_gpio(5, false);
  EXPECT_FALSE(cam().wp_asserted());
  EXPECT_EQ(h.status() & 0x9C, 0x9C);
  h.wren();
  h.spi({0x20, 0x00, 0x10, 0x00});
  EXPECT_EQ(cam().flash_erases(), 0);
  EXPECT_EQ(h.flash_read(0x1000, 4), original);

  remove_protection(h);
  EXPECT_EQ(h.status(), 0x00);
  h.wren();
  h.spi({0x20, 0x00, 0x10, 0x00});
  while (h.status() & vcam::kStatusWip) {
  }
  h.wren();
  h.spi({0x02, 0x00, 0x10, 0x00, 0x12, 0x34});
  EXPECT_EQ(h.flash_read(0x1000, 4), (Bytes{0x12, 0x34, 0xFF, 0xFF}));
}

TEST_F(Flash, SstTakesAStatusWriteOnlyRightAfterEnableWriteStatus) {
  Host& h = open(wired(vcam::FlashFamily::Sst));
  h.drive_gpio(5, false);
  h.wren();
  h.spi({0x01, 0x00});
  EXPECT_NE(h.status() & 0x0C, 0) << "write enable is not enough";
  h.spi({0x50});
  h.status();  // anything in between cancels it
  h.spi({0x01, 0x00});
  EXPECT_NE(h.status() & 0x0C, 0);
  h.spi({0x50});
  h.spi({0x01, 0x00});
  EXPECT_EQ(h.status() & 0x0C, 0);
}

TEST_F(Flash, ProgrammingClearsBitsAndWrapsInsideItsPage) {
  vcam::CameraConfig cfg;
  cfg.protected_at_start = false;
  Host& h = open(cfg);
  Bytes pp = {0x02, 0x00, 0x01, 0xF8};
  for (int i = 0; i < 16; ++i) pp.push_back(static_cast<uint8_t>(0xA0 + i));
  h.wren();
  h.spi(pp);
  const auto& f = cam().flash();
  EXPECT_EQ(f[0x1F8], 0xA0);
  EXPECT_EQ(f[0x1FF], 0xA7);
  EXPECT_EQ(f[0x100], 0xA8) << "the page wrapped to its start";
  EXPECT_EQ(f[0x107], 0xAF);
  EXPECT_EQ(f[0x200], 0xFF) << "the next page is untouched";
  h.wren();
  h.spi({0x02, 0x00, 0x01, 0x00, 0x57});
  EXPECT_EQ(f[0x100], 0xA8 & 0x57) << "programming only clears bits";
  h.spi({0x02, 0x00, 0x01, 0x01, 0x00});
  EXPECT_EQ(f[0x101], 0xA9) << "no write enable, no program";
  EXPECT_EQ(cam().flash_rejected(), 1);
}

TEST_F(Flash, EraseKeepsTheChipBusyForItsPolls) {
  vcam::CameraConfig cfg;
  cfg.protected_at_start = false;
  cfg.flash_timing.sector_erase = 5;
  cfg.flash_image = Bytes(0x3000, 0x00);
  Host& h = open(cfg);
  h.wren();
  h.spi({0x20, 0x00, 0x10, 0x80});
  EXPECT_EQ(cam().flash()[0x0FFF], 0x00);
  EXPECT_EQ(cam().flash()[0x1000], 0xFF);
  EXPECT_EQ(cam().flash()[0x1FFF], 0xFF);
  EXPECT_EQ(cam().flash()[0x2000], 0x00);
  h.wren();  // ignored: busy
  h.spi({0x02, 0x00, 0x20, 0x00, 0x11});
  EXPECT_EQ(cam().flash()[0x2000], 0x00);
  EXPECT_EQ(h.spi({0x05}, 5), Bytes(5, 0x03)) << "five polls find it busy";
  EXPECT_EQ(h.status(), 0x00);

  h.wren();
  h.spi({0x20, 0x00, 0x20, 0x00});
  EXPECT_TRUE(cam().flash_busy());
  usleep(5000);  // each millisecond counts as a poll
  EXPECT_FALSE(cam().flash_busy());
}

TEST_F(Flash, ChipEraseIsRefusedWhileBlocksAreProtected) {
  Host& h = open(wired());
  h.drive_gpio(5, false);
  h.wren();
  h.spi({0x01, 0x04});  // BP0 left set
  settle(h);
  h.wren();
  h.spi({0x60});
  EXPECT_EQ(cam().flash_erases(), 0);
  h.wren();
  h.spi({0x01, 0x00});
  settle(h);
  h.wren();
  h.spi({0x60});
  EXPECT_EQ(cam().flash_erases(), 1);
}

TEST_F(Flash, FirmwareWritesObeyTheChipAndItsCommandRegisters) {
  vcam::CameraConfig cfg = wired();
  cfg.rom_model = vcam::rom_model_index("ROMM24");  // the host sets the write commands
  cfg.flash_image = Bytes(0x40000, 0x0F);
  Host& h = open(cfg);
  ASSERT_EQ(h.flash_write(0x30010, {0xF1, 0xF2}), 11);
  EXPECT_EQ(h.flash_read(0x30010, 2), (Bytes{0x0F, 0x0F})) << "protected";
  remove_protection(h);
  ASSERT_EQ(h.flash_write(0x30010, {0xF1, 0xF2}), 11);
  EXPECT_EQ(h.flash_read(0x30010, 2), (Bytes{0x0F, 0x0F})) << "write commands not set";
  h.write(0x05F3, 0x06);
  h.write(0x05F5, 0x02);
  h.write(0x05F8, 0x12);
  h.write(0x05F9, 0x12);
  h.write(0x05FA, 0xED);
  h.write(0x05FB, 0xED);
  ASSERT_EQ(h.flash_write(0x30010, {0xF1, 0xF2}), 11);
  EXPECT_EQ(h.flash_read(0x30010, 2), (Bytes{0x01, 0x02})) << "programmed without erase";
  EXPECT_EQ(cam().flash()[0x30010], 0x01) << "bank 3";

  h.write(h.map().sf_mode, 1);
  EXPECT_EQ(h.flash_write(0x10, {0}), LIBUSB_ERROR_PIPE) << "the host holds the controller";
  h.write(h.map().sf_mode, 0);
  EXPECT_EQ(h.set_cur(3, {0, 0, 0x89, 0, 0, 0, 0, 0, 0, 0, 0}), LIBUSB_ERROR_PIPE) << "count above 8";
}

TEST_F(Flash, FirmwareWritesOnSstUseTheByteProgramSequence) {
  vcam::CameraConfig cfg = wired(vcam::FlashFamily::Sst);
  cfg.rom_model = vcam::rom_model_index("ROMM01");  // fixed write commands
  Host& h = open(cfg);
  remove_protection(h, true);
  ASSERT_EQ(h.flash_write(0x2000, {1, 2, 3, 4, 5}), 11);
  EXPECT_EQ(h.flash_read(0x2000, 6), (Bytes{1, 2, 3, 4, 5, 0xFF}));
  EXPECT_EQ(h.status() & vcam::kStatusWel, 0) << "the sequence ends with write disable";
}

TEST_F(Flash, FlashReadFaultsFailTheReply) {
  Host& h = open();
  cam().fail_flash_reads(0x100C0, 0x100FF, LIBUSB_ERROR_TIMEOUT);
  std::vector<uint8_t> r(11);
  ASSERT_EQ(h.set_cur(3, {0xB8, 0x00, 0x98, 0, 0, 0, 0, 0, 0, 0, 0}), 11);  // 0x100B8..0x100BF
  EXPECT_EQ(h.get_cur(3, r), 11);
  ASSERT_EQ(h.set_cur(3, {0xBC, 0x00, 0x98, 0, 0, 0, 0, 0, 0, 0, 0}), 11);  // reaches 0x100C0
  EXPECT_EQ(h.get_cur(3, r), LIBUSB_ERROR_TIMEOUT);
}

TEST_F(Flash, WpWiringFollowsTheConfigurationByteInTheFirmware) {
  struct Case {
    const char* model;
    uint8_t chip, config;
    int gpio;
    bool release_level;
  } const cases[] = {
      {"ROMM15V1", 0xE1, 0x2A, 2, false},  // newer format, bits 0-1 = 2: drive low
      {"ROMM15V1", 0xE1, 0x2B, 2, true},   // newer format, bits 0-1 = 3: drive high
      {"ROMM15V1", 0xE1, 0x21, 2, false},  // older format, action 1
      {"ROMM15V1", 0xE1, 0x28, 2, true},   // newer format, other bits: the byte is the action
      {"ROMM15V1", 0xE1, 0x50, -1, false}, // no pin action: WP# not wired
      {"ROMM24", 0xE1, 0x2A, 2, true},     // this ROM reads the older format only
      {"ROMM23", 0xE1, 0x50, 2, true},     // this ROM drives GPIO 2 itself
      {"ROMM15V1", 0xF4, 0x00, 7, true},   // no byte kept: read as 0xFF
  };
  for (const auto& c : cases) {
    vcam::FirmwareSpec spec;
    spec.rom_model = vcam::rom_model_index(c.model);
    spec.chip_id = c.chip;
    spec.wp_config = c.config;
    vcam::CameraConfig cfg;
    cfg.rom_model = spec.rom_model;
    cfg.chip_id = c.chip;
    cfg.arch = c.chip == 0xF4 ? vcam::Arch::Second : vcam::Arch::First;
    cfg.flash_image = vcam::build_firmware(spec);
    const auto w = bus().add_camera(cfg).wp_wiring();
    EXPECT_EQ(w.gpio, c.gpio) << c.model << " " << int(c.config);
    if (c.gpio >= 0) {
      EXPECT_EQ(w.release_level, c.release_level) << c.model << " " << int(c.config);
    }
    EXPECT_EQ(bus().camera(0).wp_asserted(), c.gpio >= 0) << "shipped protected";
    bus().reset();
  }
}

}  // namespace
