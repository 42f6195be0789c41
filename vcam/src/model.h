// Internal parts of the virtual camera: the SPI NOR flash chip, the ASIC
// (register file, GPIO, flash controller, I2C master, control pipe) and the
// image sensor.  Nothing here knows about libusb objects.
#pragma once

#include <vcam/vcam.h>

#include <array>
#include <cstdint>
#include <vector>

namespace vcam {

// ---------------------------------------------------------------------------
// SPI NOR flash

// What one family answers and which opcodes it carries out.
struct FlashProfile {
  FlashFamily family;
  std::vector<uint8_t> jedec;  // answer to 0x9F (empty = opcode unknown)
  std::vector<uint8_t> id15;   // answer to 0x15 (empty = unknown)
  std::array<uint8_t, 2> rems; // answer to 0x90 + 3 address bytes: manufacturer, device
  std::vector<uint8_t> res;    // answer to 0xAB + 3 dummy bytes, repeated
  uint8_t bp_mask;             // block-protect bits of the status register
  bool needs_ewsr;             // WRSR only right after 0x50 (WREN is not enough)
  bool aai;                    // 0xAF byte program with address increment
  bool pp_single_byte;         // 0x02 programs one byte only
  // erase opcodes and the size each erases (0 = whole chip)
  struct Erase { uint8_t opcode; uint32_t size; };
  std::vector<Erase> erases;
};
const FlashProfile& flash_profile(FlashFamily f);

class SpiFlash {
 public:
  SpiFlash(FlashFamily family, size_t size, FlashTiming timing);
  ~SpiFlash();
  SpiFlash(const SpiFlash&) = delete;
  SpiFlash& operator=(const SpiFlash&) = delete;
  void set_jedec(std::vector<uint8_t> id) { profile_.jedec = std::move(id); }

  // Bus side: chip select and one full-duplex byte.
  void select();
  void deselect();
  uint8_t exchange(uint8_t mosi);
  bool selected() const { return selected_; }

  // Passing time: one poll's worth (a status read or 1 ms of sleep).
  void tick(uint64_t n);

  uint8_t status() const;
  void set_status(uint8_t s);
  bool busy() const { return stuck_busy_ || busy_ticks_ > 0; }
  void set_stuck_busy(bool on) { stuck_busy_ = on; }
  std::vector<uint8_t>& array() { return array_; }
  const std::vector<uint8_t>& array() const { return array_; }
  const FlashProfile& profile() const { return profile_; }

  // WP# input, asked when a status write arrives.
  std::function<bool()> wp_asserted;

  int erases = 0, programs = 0, rejected = 0, status_writes = 0;

 private:
  void execute();
  void execute_write_status(bool after_ewsr);
  void start_busy(uint64_t ticks);
  size_t clocked() const { return cmd_.size() + extra_; }
  void execute_program(uint32_t addr, const uint8_t* data, size_t n);
  void execute_aai();
  void execute_erase(uint32_t size);
  bool protected_range(uint32_t addr, uint32_t len) const;
  uint32_t address_at(size_t pos) const;  // 24-bit address from buffer bytes pos..pos+2
  uint32_t wrap(uint64_t a) const { return static_cast<uint32_t>(a % array_.size()); }
  void reject() { ++rejected; }

  FlashProfile profile_;
  FlashTiming timing_;
  std::vector<uint8_t> array_;
  bool wel_ = false;
  uint8_t bp_ = 0, srwd_ = 0;
  bool selected_ = false;
  std::vector<uint8_t> cmd_;       // bytes clocked in since select (data bytes only where needed)
  size_t extra_ = 0;               // further bytes clocked in and not kept
  bool busy_at_select_ = false;    // the command began while the chip was busy
  bool ewsr_ = false;              // 0x50 was the previous command
  bool aai_mode_ = false;
  uint32_t aai_addr_ = 0;
  uint64_t busy_ticks_ = 0;
  bool stuck_busy_ = false;
};

// ---------------------------------------------------------------------------
// Image sensor on the I2C bus

struct Sensor {
  bool present = true;
  uint8_t slave = 0x6C;
  int addr_bytes = 2;
  std::vector<uint8_t> regs = std::vector<uint8_t>(0x10000, 0);
  uint16_t pointer = 0;
  uint16_t mask() const { return addr_bytes == 1 ? 0x00FF : 0xFFFF; }
};

// ---------------------------------------------------------------------------
// ASIC

// Register addresses of one architecture.
struct ArchMap {
  uint16_t asic_id, sf_rdy, usb_reset, gpio_in, gpio_out, gpio_oe, sf_mode, sf_cs, sf_wdata, sf_rdata,
      sf_trigger, i2c_dev, i2c_mode, i2c_trg, i2c_scl_od, i2c_slave, i2c_data;
};
const ArchMap& arch_map(Arch a);

// The first-architecture GPIO window; present on both architectures (the
// second one aliases its own window 0x8200-0x8202 onto the same pins).
constexpr uint16_t kGpioIn = 0x1005, kGpioOut = 0x1006, kGpioOe = 0x1007;
constexpr uint16_t kChipIdFirst = 0x101F, kChipIdSecond = 0x80F0;
constexpr uint16_t kBondOption = 0x100A, kProbe1185 = 0x1185;
constexpr uint16_t kFwWren = 0x05F3, kFwPp = 0x05F5, kFwKey = 0x05F8;  // key: 0x05F8-0x05FB

struct FlashReadFault { uint32_t from, to; int error; };

class CameraImpl {
 public:
  explicit CameraImpl(const CameraConfig& cfg);

  // One control transfer that reached the ASIC (direction from bmRequestType).
  // Returns the byte count or a libusb error; `data` receives IN bytes.
  int control(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* data,
              uint16_t wLength);

  uint8_t read_reg(uint16_t addr);   // as the host sees it (side effects included)
  void write_reg(uint16_t addr, uint8_t v);
  uint8_t peek_reg(uint16_t addr) const;  // without side effects

  uint8_t pins() const;
  bool wp_asserted() const;
  void rewire_wp();  // derive WP# wiring from the flash contents
  void tick(uint64_t ms) { flash.tick(ms); }

  CameraConfig cfg;
  const ArchMap& map;
  std::vector<uint8_t> regs = std::vector<uint8_t>(0x10000, 0);
  std::vector<uint8_t> rom = std::vector<uint8_t>(0x10000, 0);
  SpiFlash flash;
  Sensor sensor;
  WpWiring wp;
  uint8_t straps = 0;

  // flash controller
  int sf_busy_reads = 0;
  bool sf_ready_stuck = false;
  bool cs_pin_low = false;
  // I2C master
  int i2c_busy_reads = 0;
  bool i2c_failed = false;
  bool i2c_running = false;

  // pending GET_CUR answers per selector
  struct Pending { bool valid = false; int error = 0; std::array<uint8_t, 11> reply{}; };
  std::array<Pending, 6> pending{};

  std::vector<FlashReadFault> flash_read_faults;
  int usb_restarts = 0, i2c_transactions = 0;

 private:
  void update_cs_pin();
  void sf_trigger(uint8_t v);
  void i2c_start();
  int set_cur(uint8_t cs, const uint8_t* d);
  int flash_data_write(uint32_t addr, const uint8_t* d, int n);
  void flash_data_read(uint32_t addr, uint8_t* out, int n);
  bool firmware_write_commands(uint8_t* wren, uint8_t* pp) const;
  uint8_t effective_straps() const;
};

}  // namespace vcam
