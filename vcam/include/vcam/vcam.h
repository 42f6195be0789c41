// Virtual camera: a model of the camera's USB ASIC (register file, ROM,
// SPI flash controller with a NOR flash chip, I2C master with an image
// sensor) behind the libusb 1.0 API.
//
// The `vcam` library defines the libusb 1.0 functions with the exact
// signatures of <libusb.h>; a test executable links it in place of libusb
// and builds its scene through the C++ API below.  The same library also
// defines usleep(), sleep() and nanosleep(): they advance a virtual clock
// instead of sleeping, so waits of the code under test cost nothing and
// can be asserted through Bus::slept_us().
//
// The model is strict on purpose: requests that real hardware would reject
// fail here too (see "Control pipe" below).
//
// Control pipe.  The ASIC answers only class requests to interface 0
// (bmRequestType 0x21 SET_CUR / 0xA1 GET_CUR, bRequest 0x01 / 0x81,
// wIndex = unit << 8, wValue = selector << 8) with the selector's exact
// wLength:
//   selector 1  registers, wLength 4: SET_CUR {lo, hi, value, 0x00} writes,
//               SET_CUR {lo, hi, 0x00, 0xFF} requests a read whose value the
//               next GET_CUR returns in byte 2;
//   selector 3  flash data, wLength 11: {lo, hi, ctrl, data...}; ctrl bit 7
//               read, bits 4-6 bank (address bits 16-18), bits 0-3 count
//               (at most 8); a write programs through the flash chip the
//               way the firmware's page program does (no erase, NOR rules,
//               protection obeyed); a read is answered by the next GET_CUR
//               with the data from byte 3;
//   selector 4  ROM, wLength 11: SET_CUR {lo, hi, count<=8}, then GET_CUR
//               with the ROM bytes from byte 3;
//   selector 5  memory type, wLength 11: GET_CUR only, value in byte 2.
// Anything else stalls (LIBUSB_ERROR_PIPE), and so does a GET_CUR that has
// no pending request of its selector (a request is answered once).
// A transfer on a closed handle or to an unplugged device fails with
// LIBUSB_ERROR_NO_DEVICE.  Class requests to interface 0 fail with
// LIBUSB_ERROR_BUSY while the kernel driver is bound to it; once detached,
// usbfs claims the interface implicitly as Linux does, so an unclaimed but
// detached interface still answers.
#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vcam {

// Register architecture of the ASIC: which addresses its register file uses.
enum class Arch { First = 0, Second = 1 };  // register maps 0x10xx / 0x8xxx

// One control transfer as the device saw it (or as it failed before it).
struct Transfer {
  int device = -1;  // index of the camera (order of add_camera); -1 = another device
  uint8_t bmRequestType = 0, bRequest = 0;
  uint16_t wValue = 0, wIndex = 0, wLength = 0;
  std::vector<uint8_t> out;  // bytes sent by the host (OUT transfers)
  std::vector<uint8_t> in;   // bytes returned to the host (IN transfers)
  int result = 0;            // what libusb_control_transfer returned
  uint8_t selector() const { return static_cast<uint8_t>(wValue >> 8); }
  bool is_set() const { return bmRequestType == 0x21 && bRequest == 0x01; }
  bool is_get() const { return bmRequestType == 0xA1 && bRequest == 0x81; }
};

// One flash family of the identification table; each has its own model of
// identification answers, opcodes and protection rules.
enum class FlashFamily { Mxic, St, Sst, AtmelAt25f, Pmc, Esmt, Giga, Winbond, Fentech, Unknown /* unlisted ids */ };

// SPI flash status register bits.
constexpr uint8_t kStatusWip = 0x01;   // write in progress
constexpr uint8_t kStatusWel = 0x02;   // write enable latch
constexpr uint8_t kStatusBp = 0x1C;    // block protect bits (BP0-BP2)
constexpr uint8_t kStatusSrwd = 0x80;  // status register write disable (with WP#)

// Busy times of the flash, in status polls.  One status byte read while the
// chip is busy counts as one poll, and so does each millisecond of virtual
// sleep (a 1 s wait outlasts every erase).
struct FlashTiming {
  int sector_erase = 30;
  int block_erase = 100;
  int chip_erase = 400;
  int status_write = 1;
  int program = 0;  // page and byte programs finish at once
};

// Where the flash's WP# input is wired.  The default is derived from the
// write-protect configuration byte of the firmware in flash, read the way
// the firmware reads it (GPIO in bits 4-6, pin action in bits 0-1).
struct WpWiring {
  int gpio = -1;               // ASIC GPIO number 0-7; -1 = WP# tied inactive
  bool release_level = false;  // pin level that deasserts WP# (releases protection)
};

struct CameraConfig {
  uint16_t vid = 0x4e7a, pid = 0x91c3;
  uint8_t bus = 1, address = 0;  // 0 = next free address on that bus (from 2; 1 is the root hub)
  uint8_t unit = 3;              // extension unit the ASIC answers on (3 or 4)
  uint8_t chip_id = 0xE1;        // value of the chip-identification register
  Arch arch = Arch::First;       // First: chip_id at 0x101F; Second: chip_id at 0x80F0
  int rom_model = 32;            // index into the ROM model table (rom_model_count()); -1 = none

  // --- ROM ---
  // Extra ROM contents placed after the model string: (address, bytes).
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> rom_bytes;

  // --- registers ---
  // Value of 0x101F on a second-architecture ASIC (0x80F0 holds chip_id);
  // on a first-architecture ASIC 0x80F0 reads this value instead.
  uint8_t other_id_reg = 0x00;
  // Value 0x101F shows while bit 4 of 0x100A is cleared (the chip revision
  // hidden behind the bonding option); none = 0x101F does not change.
  std::optional<uint8_t> hidden_chip_id;
  // Whether bits 4-6 of register 0x1185 keep what is written to them.
  bool reg1185_bits_stick = false;
  // Input level of each GPIO pin while its output enable is cleared.  The
  // WP# pin's strap is forced to its protecting level (or to its releasing
  // level when protected_at_start is false).
  uint8_t gpio_straps = 0x00;
  uint8_t memory_type = 0;  // answer of the memory-type query (selector 5)

  // --- flash ---
  FlashFamily flash = FlashFamily::Mxic;
  std::optional<std::vector<uint8_t>> flash_jedec;  // answer to 0x9F in place of the family's
  size_t flash_size = 256 * 1024;  // >= 256 KiB
  std::vector<uint8_t> flash_image;  // initial contents from address 0 (rest erased, 0xFF)
  std::optional<WpWiring> wp;        // none = from the image's write-protect configuration byte
  // A shipped camera is protected: block-protect bits and SRWD set, WP#
  // asserted.  With memory type 2 the array is not block-protected (SRWD only).
  bool protected_at_start = true;
  FlashTiming flash_timing;
  int sf_busy_polls = 1;  // ready-flag reads that find the controller busy after each shifted byte

  // --- image sensor behind the I2C master ---
  bool sensor_present = true;
  uint8_t sensor_slave = 0x6C;  // slave address byte (bit 0, the direction bit, is ignored)
  int sensor_addr_bytes = 2;    // register address width on the bus: 1 or 2
  int i2c_busy_polls = 2;       // status reads that find a transaction still running

  // --- USB faults ---
  bool kernel_driver_bound = true;  // a kernel driver is bound to interface 0 at start
  int open_error = 0;               // libusb_open fails with this error (0 = opens)
  bool descriptor_unreadable = false;
  int claim_failures = 0;  // the first N claims of interface 0 fail ...
  int claim_error = LIBUSB_ERROR_BUSY;  // ... with this error
};

class CameraImpl;

// A virtual camera on the bus.  References stay valid until Bus::reset().
class Camera {
 public:
  explicit Camera(std::unique_ptr<CameraImpl> impl);
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  const CameraConfig& config() const;
  uint8_t bus_number() const;
  uint8_t address() const;

  // ASIC register file (set_reg writes the stored byte without side effects).
  uint8_t reg(uint16_t addr) const;
  void set_reg(uint16_t addr, uint8_t v);
  void set_gpio_straps(uint8_t straps);
  uint8_t gpio_pins() const;  // levels on the GPIO pins now

  // ROM (64 KiB)
  void set_rom(uint16_t addr, const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> rom(uint16_t addr, size_t n) const;

  // Flash: raw array access bypasses protection and NOR rules.
  std::vector<uint8_t>& flash();
  const std::vector<uint8_t>& flash() const;
  // Loads an image; the WP# wiring follows its configuration byte unless
  // the config fixed it.
  void load_flash(const std::vector<uint8_t>& image, uint32_t at = 0);
  uint8_t flash_status() const;  // SPI status register
  void set_flash_status(uint8_t status);
  bool wp_asserted() const;      // the flash's WP# input is active now
  WpWiring wp_wiring() const;
  bool flash_busy() const;
  void set_flash_stuck_busy(bool stuck);   // WIP never clears
  void set_flash_ready_stuck(bool stuck);  // the controller's ready flag never sets
  // Flash-data reads (selector 3) touching [from, to] fail with `error`.
  void fail_flash_reads(uint32_t from, uint32_t to, int error = LIBUSB_ERROR_IO);
  // Counters of what reached the flash chip.
  int flash_erases() const;    // erases carried out
  int flash_programs() const;  // program commands carried out (bytes landed)
  int flash_rejected() const;  // erase/program/status writes refused (protection, no WEL, busy)
  int flash_status_writes() const;

  // Sensor and I2C master
  uint8_t sensor_reg(uint16_t addr) const;
  void set_sensor_reg(uint16_t addr, uint8_t v);
  int i2c_transactions() const;  // transactions started (finished or failed)

  // USB
  int usb_restarts() const;  // writes that restarted USB through the reset register
  bool kernel_driver_active() const;
  void unplug();
  bool plugged() const;
  void fail_all_transfers(int error);  // 0 = stop failing

  CameraImpl& impl() { return *impl_; }

 private:
  std::unique_ptr<CameraImpl> impl_;
};

// Fuzz mode: an observer that decides the outcome of every control transfer
// that reaches a camera, so that a byte source (a fuzzer's input) can play
// the device.  Both calls run under the bus lock, after the fault injection
// above found no fault for the transfer.
class ReplyHook {
 public:
  virtual ~ReplyHook() = default;
  // Before the device sees the transfer: a libusb error fails it there, and
  // the device never sees it; 0 lets it through.  `request.out` holds the
  // host's bytes only while the trace is on or fail_if() predicates are set.
  virtual int fault(const Transfer& request) = 0;
  // After the device answered with `result` (IN bytes in `data`): the result
  // the host gets.  May rewrite the first `request.wLength` bytes of `data`
  // and shorten (or fail) the transfer.
  virtual int reply(const Transfer& request, uint8_t* data, int result) = 0;
};

class Bus {
 public:
  static Bus& get();  // the process-wide virtual bus

  // No devices; counters, trace, faults and the virtual clock cleared.  libusb
  // objects the code under test still holds become dead (calls on them fail
  // with LIBUSB_ERROR_NO_DEVICE) but their memory stays valid.
  void reset();

  Camera& add_camera(const CameraConfig& = {});
  void add_device(uint16_t vid, uint16_t pid, uint8_t bus = 1, uint8_t address = 0);  // a non-camera device
  Camera& camera(int i);  // i-th camera added
  int camera_count() const;

  // libusb bookkeeping, so tests can check nothing leaked
  int open_handles() const;
  int live_device_lists() const;
  int referenced_devices() const;  // libusb_device objects with a reference left
  bool context_alive() const;      // the default context is initialised
  int live_contexts() const;       // default and explicit contexts not yet exited
  int claimed_interfaces(int camera) const;
  // API misuse seen (double close, double free, use of a freed list...).
  const std::vector<std::string>& misuse() const;

  // Fault injection; a failing transfer does not reach the device.
  void fail_transfer(uint64_t nth, int error = LIBUSB_ERROR_IO);  // the nth control transfer from now (1-based)
  void fail_selector(uint8_t cs, int error = LIBUSB_ERROR_IO);    // every transfer of that control selector
  void fail_if(std::function<bool(const Transfer&)> pred, int error = LIBUSB_ERROR_IO);  // any predicate
  void fail_init(int error);         // libusb_init fails with this error (0 = works)
  void fail_device_list(int error);  // libusb_get_device_list fails with this error (0 = works)
  void clear_faults();
  // Installs the fuzz-mode hook (not owned, kept across reset(); nullptr = off).
  void set_reply_hook(ReplyHook* hook);

  // Trace and counters
  const std::vector<Transfer>& trace() const;
  void clear_trace();
  void set_trace_enabled(bool on);  // counting goes on when tracing is off
  uint64_t transfer_count() const;
  uint64_t slept_us() const;  // virtual time slept through usleep/sleep/nanosleep
  void set_real_sleep(bool on);  // also sleep for real (the preload build's scene option)

  struct State;
  State& state() { return *state_; }

 private:
  Bus();
  ~Bus();
  std::unique_ptr<State> state_;
};

// --- ROM model table ----------------------------------------------------
struct RomModel {
  const char* name;      // e.g. "ROMM24"
  uint16_t string_addr;  // ROM address of the identification string
  uint8_t string[8];     // identification string
  bool dis_sf_write_cmd;  // firmware flash write commands must be set by the host
  bool compact_mode;
};
int rom_model_count();
const RomModel& rom_model(int index);
int rom_model_index(const std::string& name);  // -1 when unknown

// --- Firmware images for tests --------------------------------------------
// Where the parameter table and its CRC record lie for a ROM model.
struct FirmwareLayout {
  enum class Form { None, Fixed, ShortTable, LongTable } form = Form::None;
  uint32_t table_start = 0, table_length = 0, crc_addr = 0;  // crc_addr 0 = no CRC record
};
FirmwareLayout layout_for_model(int rom_model);

struct FirmwareSpec {
  int rom_model = 32;
  size_t size = 0x20000;  // image length (any length; fields that do not fit are left out)
  uint16_t vid = 0x4e7a, pid = 0x91c3;
  std::string product = "Dorvak RGB-D Camera";
  std::string manufacturer = "Dorvak";
  std::string serial = "DV0000001";
  std::string string3 = "Depth";
  std::string interface_ = "Dorvak Video";
  // Sector-table models: where the table goes (none = 0xC000/0x1000/0xD000
  // for the short form, 0x10000/0x1000/0x11000 for the long form).
  std::optional<uint32_t> table_start, table_length, crc_addr;
  bool long_table = false;  // unused for models whose form is fixed by the ROM; kept for callers
  uint8_t chip_id = 0xE1;   // decides where version fields and the write-protect byte go
  uint8_t wp_config = 0x5A; // write-protect configuration byte (GPIO 5, pin action by format)
  bool chip_ec_64k = false; // chip 0xEC: the 64 KiB ROM layout of the version fields (0x4E00)
  std::string customer = "CUSTOMER01", cus_ver = "CV-1.02.03", day_ver = "2024061501", code_ver = "V1234";
  uint32_t seed = 1;  // code bytes are a pseudo-random pattern from this seed
};
std::vector<uint8_t> build_firmware(const FirmwareSpec&);
// CRC-16/MODBUS as the firmware stores it (high byte at record + 20).
uint16_t crc16_modbus(const uint8_t* data, size_t n);
// One 64-byte string descriptor slot as the firmware stores it.
std::vector<uint8_t> string_slot(const std::string& s);
// Addresses the version fields use for a chip (0 = chip has none).
struct VersionAddrs { uint32_t customer = 0, cus_ver = 0, day_ver = 0, code_ver = 0; };
VersionAddrs version_addrs(uint8_t chip_id, uint8_t revision, bool chip_ec_64k = false);
uint32_t wp_config_addr(uint8_t chip_id);  // 0 = the chip keeps no such byte

// --- Scenes (preload build) -----------------------------------------------
// Builds the bus from a scene description; returns false and sets `error`
// on a bad scene.  See vcam/scenes/two-cameras.scene for the format.
bool load_scene(const std::string& text, std::string* error);
// Writes the flash of every camera of the last scene that names a
// `flash_file`, so that the next process loading the scene finds it again.
// Returns false and sets `error` when a file cannot be written.
bool save_flash_files(std::string* error);

}  // namespace vcam
