// Scene descriptions: a small text format that puts cameras and other
// devices on the virtual bus, for the preloadable build.
//
//   # comment
//   [options]
//   real_sleep = no            # yes: sleeps also take real time
//   [camera]                   # one section per camera, keys below
//   serial = DV2024A001
//   flash_file = /tmp/a.flash  # flash kept in this file: loaded when it exists,
//                              # saved by save_flash_files() (the preload: at exit)
//   unwritable = 0x8000-0x80FF # flash-data writes touching FROM-TO fail
//   [device]                   # a device that is not a camera
//   vid = 0x046d
//   pid = 0xc52b
#include <vcam/vcam.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace vcam {
namespace {

struct SceneError {
  std::string what;
};

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

long long number(const std::string& v, long long lo, long long hi) {
  size_t used = 0;
  long long n = 0;
  try {
    n = std::stoll(v, &used, 0);
  } catch (const std::exception&) {
    throw SceneError{"'" + v + "' is not a number"};
  }
  if (used != v.size()) throw SceneError{"'" + v + "' is not a number"};
  if (n < lo || n > hi) throw SceneError{"'" + v + "' is out of range"};
  return n;
}

uint8_t byte(const std::string& v) { return static_cast<uint8_t>(number(v, 0, 0xFF)); }
uint16_t word(const std::string& v) { return static_cast<uint16_t>(number(v, 0, 0xFFFF)); }

bool yes_no(const std::string& v) {
  if (v == "yes" || v == "true" || v == "1") return true;
  if (v == "no" || v == "false" || v == "0") return false;
  throw SceneError{"'" + v + "' is neither yes nor no"};
}

int usb_error(const std::string& v) {
  static const std::map<std::string, int> names = {
      {"io", LIBUSB_ERROR_IO},          {"access", LIBUSB_ERROR_ACCESS},   {"no_device", LIBUSB_ERROR_NO_DEVICE},
      {"not_found", LIBUSB_ERROR_NOT_FOUND}, {"busy", LIBUSB_ERROR_BUSY}, {"timeout", LIBUSB_ERROR_TIMEOUT},
      {"pipe", LIBUSB_ERROR_PIPE},      {"no", 0}};
  auto it = names.find(v);
  if (it != names.end()) return it->second;
  return static_cast<int>(number(v, -99, 0));
}

FlashFamily family(const std::string& v) {
  static const std::map<std::string, FlashFamily> names = {
      {"mxic", FlashFamily::Mxic}, {"st", FlashFamily::St},           {"sst", FlashFamily::Sst},
      {"atmel", FlashFamily::AtmelAt25f}, {"pmc", FlashFamily::Pmc}, {"esmt", FlashFamily::Esmt},
      {"giga", FlashFamily::Giga}, {"winbond", FlashFamily::Winbond}, {"fentech", FlashFamily::Fentech},
      {"unknown", FlashFamily::Unknown}};
  auto it = names.find(v);
  if (it == names.end()) throw SceneError{"unknown flash family '" + v + "'"};
  return it->second;
}

int model(const std::string& v) {
  if (v == "none") return -1;
  const int i = rom_model_index(v);
  if (i >= 0) return i;
  return static_cast<int>(number(v, 0, rom_model_count() - 1));
}

struct CameraSection {
  CameraConfig cfg;
  FirmwareSpec fw;
  bool firmware = true;
  bool ready_stuck = false;
  std::vector<std::pair<uint32_t, uint32_t>> unreadable;
  std::vector<std::pair<uint32_t, uint32_t>> unwritable;
  std::string flash_file;
};

// Cameras of the last scene whose flash lives in a file: (camera index, path).
std::vector<std::pair<int, std::string>>& flash_files() {
  static std::vector<std::pair<int, std::string>> files;
  return files;
}

std::pair<uint32_t, uint32_t> address_range(const std::string& key, const std::string& v) {
  const auto dash = v.find('-');
  if (dash == std::string::npos) throw SceneError{key + " takes FROM-TO"};
  return {static_cast<uint32_t>(number(trim(v.substr(0, dash)), 0, 0xFFFFFF)),
          static_cast<uint32_t>(number(trim(v.substr(dash + 1)), 0, 0xFFFFFF))};
}

// A flash-data write (selector 3 SET_CUR, read bit clear) whose bytes touch
// [from, to]; the bank bits of the control byte are address bits 16-18.
bool is_flash_write_into(const Transfer& t, uint32_t from, uint32_t to) {
  if (t.selector() != 3 || !t.is_set() || t.out.size() < 3 || (t.out[2] & 0x80) != 0) return false;
  const uint32_t addr = t.out[0] | uint32_t{t.out[1]} << 8 | uint32_t((t.out[2] >> 4) & 0x07) << 16;
  const uint32_t count = t.out[2] & 0x0Fu;
  return count > 0 && addr <= to && addr + count - 1 >= from;
}

std::vector<uint8_t> read_flash_file(const std::string& path, size_t flash_size) {
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) throw SceneError{"cannot read flash file '" + path + "'"};
  if (bytes.empty()) throw SceneError{"flash file '" + path + "' is empty"};
  if (bytes.size() > flash_size) throw SceneError{"flash file '" + path + "' is larger than the flash"};
  return bytes;
}

void camera_key(CameraSection& c, const std::string& k, const std::string& v) {
  CameraConfig& cfg = c.cfg;
  if (k == "vid") cfg.vid = c.fw.vid = word(v);
  else if (k == "pid") cfg.pid = c.fw.pid = word(v);
  else if (k == "bus") cfg.bus = byte(v);
  else if (k == "address") cfg.address = byte(v);
  else if (k == "unit") cfg.unit = byte(v);
  else if (k == "chip_id") cfg.chip_id = c.fw.chip_id = byte(v);
  else if (k == "arch") cfg.arch = v == "second" ? Arch::Second : v == "first" ? Arch::First : throw SceneError{"arch is first or second"};
  else if (k == "rom_model") cfg.rom_model = c.fw.rom_model = model(v);
  else if (k == "flash") cfg.flash = family(v);
  else if (k == "flash_size") cfg.flash_size = static_cast<size_t>(number(v, 256 * 1024, 1 << 24));
  else if (k == "memory_type") cfg.memory_type = byte(v);
  else if (k == "gpio_straps") cfg.gpio_straps = byte(v);
  else if (k == "other_id_reg") cfg.other_id_reg = byte(v);
  else if (k == "hidden_chip_id") cfg.hidden_chip_id = byte(v);
  else if (k == "reg1185_bits_stick") cfg.reg1185_bits_stick = yes_no(v);
  else if (k == "protected") cfg.protected_at_start = yes_no(v);
  else if (k == "kernel_driver") cfg.kernel_driver_bound = yes_no(v);
  else if (k == "open_error") cfg.open_error = usb_error(v);
  else if (k == "descriptor_unreadable") cfg.descriptor_unreadable = yes_no(v);
  else if (k == "claim_failures") cfg.claim_failures = static_cast<int>(number(v, 0, 1000));
  else if (k == "claim_error") cfg.claim_error = usb_error(v);
  else if (k == "sensor") cfg.sensor_present = yes_no(v);
  else if (k == "sensor_slave") cfg.sensor_slave = byte(v);
  else if (k == "sensor_addr_bytes") cfg.sensor_addr_bytes = static_cast<int>(number(v, 1, 2));
  else if (k == "ready_stuck") c.ready_stuck = yes_no(v);
  else if (k == "firmware") c.firmware = yes_no(v);
  else if (k == "firmware_size") c.fw.size = static_cast<size_t>(number(v, 0, 1 << 24));
  else if (k == "wp_config") c.fw.wp_config = byte(v);
  else if (k == "product") c.fw.product = v;
  else if (k == "manufacturer") c.fw.manufacturer = v;
  else if (k == "serial") c.fw.serial = v;
  else if (k == "string3") c.fw.string3 = v;
  else if (k == "interface") c.fw.interface_ = v;
  // The firmware's version fields, at the places the chip keeps them.
  else if (k == "customer") c.fw.customer = v;
  else if (k == "cus_ver") c.fw.cus_ver = v;
  else if (k == "day_ver") c.fw.day_ver = v;
  else if (k == "code_ver") c.fw.code_ver = v;
  else if (k == "unreadable") c.unreadable.push_back(address_range(k, v));  // flash-data reads in FROM-TO fail
  else if (k == "unwritable") c.unwritable.push_back(address_range(k, v));  // flash-data writes in FROM-TO fail
  else if (k == "flash_file") {
    if (v.empty()) throw SceneError{"flash_file takes a path"};
    c.flash_file = v;
  } else {
    throw SceneError{"unknown camera key '" + k + "'"};
  }
}

void add_camera_section(const CameraSection& c) {
  CameraConfig cfg = c.cfg;
  // A flash file from an earlier run replaces the built firmware.
  const bool kept = !c.flash_file.empty() && std::ifstream(c.flash_file, std::ios::binary).good();
  if (kept) {
    cfg.flash_image = read_flash_file(c.flash_file, cfg.flash_size);
  } else if (c.firmware) {
    FirmwareSpec fw = c.fw;
    fw.size = std::min(fw.size, cfg.flash_size);
    cfg.flash_image = build_firmware(fw);
  }
  Camera& cam = Bus::get().add_camera(cfg);
  cam.set_flash_ready_stuck(c.ready_stuck);
  for (const auto& [from, to] : c.unreadable) cam.fail_flash_reads(from, to);
  const int index = Bus::get().camera_count() - 1;
  for (const auto& [from, to] : c.unwritable)
    Bus::get().fail_if([index, from = from, to = to](const Transfer& t) {
      return t.device == index && is_flash_write_into(t, from, to);
    });
  if (!c.flash_file.empty()) flash_files().emplace_back(index, c.flash_file);
}

}  // namespace

bool load_scene(const std::string& text, std::string* error) {
  Bus::get().reset();
  flash_files().clear();
  std::istringstream in(text);
  std::string line, section;
  int lineno = 0;
  std::vector<CameraSection> cameras;
  struct Other { uint16_t vid = 0, pid = 0; uint8_t bus = 1, address = 0; };
  std::vector<Other> others;
  std::vector<std::pair<bool, size_t>> order;  // (is camera, index): devices go on the bus in scene order
  bool real_sleep = false;
  try {
    while (std::getline(in, line)) {
      ++lineno;
      const auto hash = line.find('#');
      line = trim(hash == std::string::npos ? line : line.substr(0, hash));
      if (line.empty()) continue;
      if (line.front() == '[') {
        if (line.back() != ']') throw SceneError{"unclosed section header"};
        section = trim(line.substr(1, line.size() - 2));
        if (section == "camera") {
          order.emplace_back(true, cameras.size());
          cameras.emplace_back();
        } else if (section == "device") {
          order.emplace_back(false, others.size());
          others.emplace_back();
        } else if (section != "options") throw SceneError{"unknown section '" + section + "'"};
        continue;
      }
      const auto eq = line.find('=');
      if (eq == std::string::npos) throw SceneError{"expected key = value"};
      const std::string k = trim(line.substr(0, eq)), v = trim(line.substr(eq + 1));
      if (section == "camera") camera_key(cameras.back(), k, v);
      else if (section == "device") {
        Other& o = others.back();
        if (k == "vid") o.vid = word(v);
        else if (k == "pid") o.pid = word(v);
        else if (k == "bus") o.bus = byte(v);
        else if (k == "address") o.address = byte(v);
        else throw SceneError{"unknown device key '" + k + "'"};
      } else if (section == "options") {
        if (k == "real_sleep") real_sleep = yes_no(v);
        else throw SceneError{"unknown option '" + k + "'"};
      } else {
        throw SceneError{"key outside a section"};
      }
    }
    for (const auto& [is_camera, i] : order) {
      if (is_camera) add_camera_section(cameras[i]);
      else Bus::get().add_device(others[i].vid, others[i].pid, others[i].bus, others[i].address);
    }
  } catch (const SceneError& e) {
    Bus::get().reset();
    flash_files().clear();
    if (error) *error = "line " + std::to_string(lineno) + ": " + e.what;
    return false;
  } catch (const std::exception& e) {
    Bus::get().reset();
    flash_files().clear();
    if (error) *error = e.what();
    return false;
  }
  Bus::get().set_real_sleep(real_sleep);
  return true;
}

bool save_flash_files(std::string* error) {
  bool ok = true;
  for (const auto& [index, path] : flash_files()) {
    if (index >= Bus::get().camera_count()) continue;  // the bus was reset since the scene was loaded
    const std::vector<uint8_t>& flash = Bus::get().camera(index).flash();
    // Written beside the file and renamed over it, so that a run that dies
    // while saving leaves the previous flash intact.
    const std::string tmp = path + ".tmp";
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
    f.close();
    if (!f || std::rename(tmp.c_str(), path.c_str()) != 0) {
      std::remove(tmp.c_str());
      if (error) *error = "cannot write flash file '" + path + "'";
      ok = false;
    }
  }
  return ok;
}

}  // namespace vcam
