// The camera ASIC: its register file with the chip identification, GPIO
// pins and straps, the serial-flash controller, the I2C master with the
// image sensor behind it, the USB restart register, and the extension-unit
// control pipe through which the host reaches all of it.
#include "model.h"

#include <algorithm>
#include <stdexcept>

namespace vcam {
namespace {

constexpr ArchMap kArchMaps[] = {
    {0x101F, 0x1084, 0x1073, 0x1005, 0x1006, 0x1007, 0x1080, 0x1091, 0x1082, 0x1083, 0x1081, 0x10D0, 0x10D9,
     0x10D7, 0x10D8, 0x10D1, 0x10D2},
    {0x80F0, 0x8E04, 0x8C00, 0x8200, 0x8201, 0x8202, 0x8E00, 0x8E11, 0x8E02, 0x8E03, 0x8E01, 0x8600, 0x8609,
     0x8607, 0x8608, 0x8601, 0x8602},
};

// Extension-unit requests.
constexpr uint8_t kSetCurType = 0x21, kSetCur = 0x01, kGetCurType = 0xA1, kGetCur = 0x81;
constexpr uint8_t kSelRegister = 1, kSelFlashData = 3, kSelRom = 4, kSelMemType = 5;

uint16_t selector_length(uint8_t cs) {
  switch (cs) {
    case kSelRegister: return 4;
    case kSelFlashData: case kSelRom: case kSelMemType: return 11;
    default: return 0;  // no such control
  }
}

// I2C master control/status bits.
constexpr uint8_t kI2cStart = 0x80, kI2cRead = 0x02, kI2cDone = 0x04, kI2cFail = 0x08;

const uint8_t kFwKeyBytes[4] = {0x12, 0x12, 0xED, 0xED};

bool rom_model_named(int index, std::initializer_list<const char*> names) {
  if (index < 0 || index >= rom_model_count()) return false;
  const std::string n = rom_model(index).name;
  return std::any_of(names.begin(), names.end(), [&](const char* x) { return n == x; });
}

}  // namespace

const ArchMap& arch_map(Arch a) { return kArchMaps[a == Arch::Second ? 1 : 0]; }

CameraImpl::CameraImpl(const CameraConfig& c)
    : cfg(c), map(arch_map(c.arch)), flash(c.flash, c.flash_size, c.flash_timing) {
  if (cfg.flash_size < 256 * 1024) throw std::invalid_argument("vcam: flash_size must be at least 256 KiB");
  if (cfg.unit != 3 && cfg.unit != 4) throw std::invalid_argument("vcam: unit must be 3 or 4");
  if (cfg.rom_model >= rom_model_count()) throw std::invalid_argument("vcam: no such ROM model");
  if (cfg.flash_jedec) flash.set_jedec(*cfg.flash_jedec);

  if (cfg.rom_model >= 0) {
    const RomModel& m = rom_model(cfg.rom_model);
    std::copy(m.string, m.string + 8, rom.begin() + m.string_addr);
  }
  for (const auto& [at, bytes] : cfg.rom_bytes)
    for (size_t i = 0; i < bytes.size(); ++i) rom[(at + i) & 0xFFFF] = bytes[i];

  regs[map.usb_reset] = 0x01;
  regs[kBondOption] = 0x10;
  regs[map.sf_cs] = 0x01;  // released
  straps = cfg.gpio_straps;

  auto& a = flash.array();
  std::copy_n(cfg.flash_image.begin(), std::min(cfg.flash_image.size(), a.size()), a.begin());
  if (cfg.protected_at_start)
    flash.set_status(static_cast<uint8_t>(kStatusSrwd | (cfg.memory_type == 2 ? 0 : flash.profile().bp_mask)));
  flash.wp_asserted = [this] { return wp_asserted(); };
  rewire_wp();

  sensor.present = cfg.sensor_present;
  sensor.slave = cfg.sensor_slave;
  sensor.addr_bytes = cfg.sensor_addr_bytes == 1 ? 1 : 2;
}

// Where WP# goes is a board decision made to match the firmware: the same
// reading of the write-protect configuration byte that the firmware does.
void CameraImpl::rewire_wp() {
  if (cfg.wp) {
    wp = *cfg.wp;
    return;
  }
  const uint32_t at = wp_config_addr(cfg.chip_id);
  const uint8_t b = at != 0 && at < flash.array().size() ? flash.array()[at] : 0xFF;
  if (rom_model_named(cfg.rom_model, {"ROMM23"})) {
    wp = {2, true};  // this ROM drives GPIO 2 itself
    return;
  }
  const bool newer = !rom_model_named(cfg.rom_model, {"ROMM23", "ROMM24", "ROMM12V2", "ROMM25"}) && (b & 0x0C) == 0x08;
  int action = b & 3;
  if (newer) action = (b & 3) == 2 ? 1 : (b & 3) == 3 ? 2 : b;
  if (action == 0) {
    wp = rom_model_named(cfg.rom_model, {"ROMM24"}) ? WpWiring{2, true} : WpWiring{};
    return;
  }
  wp = {(b >> 4) & 7, action != 1};
}

uint8_t CameraImpl::effective_straps() const {
  if (wp.gpio < 0) return straps;
  const uint8_t bit = static_cast<uint8_t>(1u << wp.gpio);
  const bool level = cfg.protected_at_start ? !wp.release_level : wp.release_level;
  return static_cast<uint8_t>(level ? (straps | bit) : (straps & ~bit));
}

uint8_t CameraImpl::pins() const {
  const uint8_t oe = regs[kGpioOe], out = regs[kGpioOut];
  return static_cast<uint8_t>((out & oe) | (effective_straps() & ~oe));
}

bool CameraImpl::wp_asserted() const {
  if (wp.gpio < 0) return false;
  const bool level = (pins() >> wp.gpio) & 1;
  return level != wp.release_level;
}

namespace {
// The second architecture's GPIO window drives the same pins.
uint16_t canonical(const ArchMap& m, uint16_t addr) {
  if (&m == &kArchMaps[1] && addr >= 0x8200 && addr <= 0x8202) return static_cast<uint16_t>(kGpioIn + (addr - 0x8200));
  return addr;
}
}  // namespace

uint8_t CameraImpl::peek_reg(uint16_t addr) const {
  const uint16_t a = canonical(map, addr);
  const bool first = cfg.arch == Arch::First;
  if (a == kGpioIn) return pins();
  if (a == kChipIdFirst) {
    if (cfg.hidden_chip_id && (regs[kBondOption] & 0x10) == 0) return *cfg.hidden_chip_id;
    return first ? cfg.chip_id : cfg.other_id_reg;
  }
  if (a == kChipIdSecond) return first ? cfg.other_id_reg : cfg.chip_id;
  if (a == kProbe1185) return cfg.reg1185_bits_stick ? regs[a] : static_cast<uint8_t>(regs[a] & 0x8F);
  if (a == map.sf_rdy) return sf_ready_stuck || sf_busy_reads > 0 ? 0x00 : 0x01;
  if (a == map.sf_trigger || a == map.i2c_trg) return 0x00;  // self-clearing
  return regs[a];
}

uint8_t CameraImpl::read_reg(uint16_t addr) {
  const uint16_t a = canonical(map, addr);
  const uint8_t v = peek_reg(addr);
  if (a == map.sf_rdy && sf_busy_reads > 0) --sf_busy_reads;
  if (a == map.i2c_dev && i2c_running) {
    if (i2c_busy_reads > 0) {
      --i2c_busy_reads;
    } else {
      i2c_running = false;
      regs[a] = static_cast<uint8_t>((regs[a] & ~kI2cStart) | kI2cDone | (i2c_failed ? kI2cFail : 0));
    }
    return regs[a];
  }
  return v;
}

void CameraImpl::write_reg(uint16_t addr, uint8_t v) {
  const uint16_t a = canonical(map, addr);
  if (a == kGpioIn || a == kChipIdFirst || a == kChipIdSecond || a == map.sf_rdy) return;  // read-only
  if (a == map.usb_reset) {
    if ((v & 1) == 0) {
      ++usb_restarts;
      regs[a] = 0x01;  // set again once USB is back
    } else {
      regs[a] = v;
    }
    return;
  }
  if (a == map.sf_trigger) return sf_trigger(v);
  if (a == map.i2c_trg) {
    if (v & 0x10) i2c_start();
    return;
  }
  if (a == map.i2c_dev) {
    regs[a] = static_cast<uint8_t>(v & ~(kI2cDone | kI2cFail));
    i2c_running = false;
    return;
  }
  regs[a] = v;
  if (a == map.sf_mode || a == map.sf_cs) update_cs_pin();
}

// The chip-select pin follows the register only in manual mode; otherwise
// the controller holds it released.
void CameraImpl::update_cs_pin() {
  const bool low = (regs[map.sf_mode] & 1) && !(regs[map.sf_cs] & 1);
  if (low && !cs_pin_low) flash.select();
  if (!low && cs_pin_low) flash.deselect();
  cs_pin_low = low;
}

void CameraImpl::sf_trigger(uint8_t v) {
  if (!(regs[map.sf_mode] & 1) || !(v & 3)) return;  // the host owns the shifter only in manual mode
  if (v & 1) {
    if (cs_pin_low) flash.exchange(regs[map.sf_wdata]);
  } else {
    regs[map.sf_rdata] = cs_pin_low ? flash.exchange(regs[map.sf_rdata]) : 0xFF;
  }
  sf_busy_reads = cfg.sf_busy_polls;
}

void CameraImpl::i2c_start() {
  ++i2c_transactions;
  i2c_running = true;
  i2c_busy_reads = cfg.i2c_busy_polls;
  const uint8_t ctrl = regs[map.i2c_dev];
  const int n = (ctrl >> 4) & 7;
  const bool answered = sensor.present && (regs[map.i2c_slave] & 0xFE) == (sensor.slave & 0xFE);
  i2c_failed = !(regs[map.i2c_mode] & 1) || !(ctrl & kI2cStart) || n == 0 || n > 5 || !answered;
  if (i2c_failed) return;
  uint8_t* data = &regs[map.i2c_data];
  if (ctrl & kI2cRead) {
    // the data arrive in the last n data registers
    for (int i = 0; i < n; ++i) {
      data[5 - n + i] = sensor.regs[sensor.pointer];
      sensor.pointer = static_cast<uint16_t>((sensor.pointer + 1) & sensor.mask());
    }
    return;
  }
  const int aw = sensor.addr_bytes;
  if (n < aw) return;  // the address was not complete: nothing happens
  uint16_t ptr = static_cast<uint16_t>(aw == 2 ? (data[0] << 8) | data[1] : data[0]);
  for (int i = aw; i < n; ++i) {
    sensor.regs[ptr] = data[i];
    ptr = static_cast<uint16_t>((ptr + 1) & sensor.mask());
  }
  sensor.pointer = ptr;
}

// ---------------------------------------------------------------------------
// Control pipe

int CameraImpl::control(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* data,
                        uint16_t wLength) {
  const bool set = bmRequestType == kSetCurType && bRequest == kSetCur;
  const bool get = bmRequestType == kGetCurType && bRequest == kGetCur;
  const uint8_t cs = static_cast<uint8_t>(wValue >> 8);
  if (!(set || get) || wIndex != (cfg.unit << 8) || (wValue & 0xFF) != 0) return LIBUSB_ERROR_PIPE;
  if (selector_length(cs) == 0 || wLength != selector_length(cs)) return LIBUSB_ERROR_PIPE;
  if (set) {
    const int r = set_cur(cs, data);
    return r < 0 ? r : wLength;
  }
  if (cs == kSelMemType) {
    std::fill(data, data + wLength, 0);
    data[2] = cfg.memory_type;
    return wLength;
  }
  Pending& p = pending[cs];
  if (!p.valid) return LIBUSB_ERROR_PIPE;  // nothing was asked for
  p.valid = false;
  if (p.error) return p.error;
  std::copy_n(p.reply.begin(), wLength, data);
  return wLength;
}

int CameraImpl::set_cur(uint8_t cs, const uint8_t* d) {
  const uint16_t addr = static_cast<uint16_t>(d[0] | (d[1] << 8));
  Pending& p = pending[cs];
  p.valid = false;
  p.error = 0;
  p.reply.fill(0);
  std::copy_n(d, 3, p.reply.begin());
  switch (cs) {
    case kSelRegister:
      if (d[3] == 0x00) {
        write_reg(addr, d[2]);
        return 0;
      }
      if (d[3] != 0xFF) return LIBUSB_ERROR_PIPE;
      p.reply[2] = read_reg(addr);
      p.reply[3] = 0xFF;
      p.valid = true;
      return 0;
    case kSelFlashData: {
      const int count = d[2] & 0x0F;
      if (count > 8) return LIBUSB_ERROR_PIPE;
      if (regs[map.sf_mode] & 1) return LIBUSB_ERROR_PIPE;  // the host owns the flash controller
      const uint32_t full = (uint32_t{(d[2] >> 4) & 7u} << 16) | addr;
      if (!(d[2] & 0x80)) return flash_data_write(full, d + 3, count);
      for (const auto& f : flash_read_faults)
        if (count > 0 && full <= f.to && full + static_cast<uint32_t>(count) - 1 >= f.from) p.error = f.error;
      flash_data_read(full, p.reply.data() + 3, count);
      p.valid = true;
      return 0;
    }
    case kSelRom: {
      const int count = d[2];
      if (count < 1 || count > 8) return LIBUSB_ERROR_PIPE;
      for (int i = 0; i < count; ++i) p.reply[3 + i] = rom[(addr + i) & 0xFFFF];
      p.valid = true;
      return 0;
    }
    default:
      return LIBUSB_ERROR_PIPE;  // the memory type is read-only
  }
}

// The firmware's own flash access: a read command, or write enable followed
// by the page program (or byte program with address increment) it is set up
// for.  Both go through the same chip and obey its rules.
void CameraImpl::flash_data_read(uint32_t addr, uint8_t* out, int n) {
  flash.select();
  flash.exchange(0x03);
  flash.exchange(static_cast<uint8_t>(addr >> 16));
  flash.exchange(static_cast<uint8_t>(addr >> 8));
  flash.exchange(static_cast<uint8_t>(addr));
  for (int i = 0; i < n; ++i) out[i] = flash.exchange(0x00);
  flash.deselect();
}

bool CameraImpl::firmware_write_commands(uint8_t* wren, uint8_t* pp) const {
  const bool host_set = cfg.rom_model >= 0 && rom_model(cfg.rom_model).dis_sf_write_cmd;
  if (!host_set) {
    *wren = 0x06;
    *pp = flash.profile().aai ? 0xAF : 0x02;
    return true;
  }
  // These ROMs write only once the host has set the opcodes and the key.
  if (!std::equal(kFwKeyBytes, kFwKeyBytes + 4, regs.begin() + kFwKey)) return false;
  *wren = regs[kFwWren];
  *pp = regs[kFwPp];
  return true;
}

int CameraImpl::flash_data_write(uint32_t addr, const uint8_t* d, int n) {
  uint8_t wren = 0, pp = 0;
  if (n == 0 || !firmware_write_commands(&wren, &pp)) return 0;
  const uint8_t a[3] = {static_cast<uint8_t>(addr >> 16), static_cast<uint8_t>(addr >> 8), static_cast<uint8_t>(addr)};
  auto command = [&](std::initializer_list<uint8_t> head, const uint8_t* tail, int tail_n) {
    flash.select();
    for (uint8_t b : head) flash.exchange(b);
    for (int i = 0; i < tail_n; ++i) flash.exchange(tail[i]);
    flash.deselect();
  };
  command({wren}, nullptr, 0);
  if (pp == 0xAF) {
    command({pp, a[0], a[1], a[2]}, d, 1);
    for (int i = 1; i < n; ++i) command({pp}, d + i, 1);
    command({0x04}, nullptr, 0);
  } else {
    command({pp, a[0], a[1], a[2]}, d, n);
  }
  return 0;
}

}  // namespace vcam
