// The virtual USB bus and the libusb 1.0 API over it: contexts, device
// lists and devices with reference counts, handles, kernel-driver binding,
// interface claims and control transfers, with fault injection and a trace
// of every transfer.
#include <vcam/vcam.h>

#include "model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>

// libusb's opaque types, defined here.  Objects from before a Bus::reset()
// keep their memory but belong to an older generation: calls on them fail.
struct libusb_context {
  uint64_t gen;
  bool alive;
  bool is_default = false;  // the default context: its pointer never leaves the bus
};
struct libusb_device {
  libusb_context* ctx;
  size_t phys;
  int refs;
  uint64_t gen;
};
struct libusb_device_handle {
  libusb_device* dev;
  uint64_t gen;
  bool auto_detach;
};

namespace vcam {

struct PhysDevice {
  uint16_t vid, pid;
  uint8_t bus, address;
  int camera = -1;  // index into the cameras, -1 for another device
  bool plugged = true;
  int interfaces = 1;
  bool driver[2] = {false, false};  // kernel driver bound per interface
  bool driver_available = false;
  libusb_device_handle* claimed_by[2] = {nullptr, nullptr};
  int fail_all = 0;
  int claim_failures_left = 0;
};

struct Bus::State {
  std::recursive_mutex mu;
  uint64_t gen = 1;
  std::vector<PhysDevice> devs;
  std::vector<std::unique_ptr<Camera>> cameras;

  libusb_context* default_ctx = nullptr;
  int default_refs = 0;
  std::vector<std::unique_ptr<libusb_context>> contexts;  // kept for good: stale pointers stay readable
  std::unordered_set<libusb_device*> devices;
  std::unordered_set<libusb_device_handle*> handles;
  std::map<libusb_device**, uint64_t> lists;  // list -> generation
  std::vector<std::string> misuse;

  std::vector<std::pair<uint64_t, int>> nth_faults;
  std::map<uint8_t, int> selector_faults;
  std::vector<std::pair<std::function<bool(const Transfer&)>, int>> pred_faults;
  int init_error = 0, list_error = 0;
  vcam::ReplyHook* reply_hook = nullptr;

  std::vector<Transfer> trace;
  bool trace_on = true;
  uint64_t transfers = 0;
  uint64_t slept_us = 0, sub_ms_us = 0;
  bool real_sleep = false;

  void note_misuse(const std::string& what) {
    std::fprintf(stderr, "vcam: libusb misuse: %s\n", what.c_str());
    misuse.push_back(what);
  }
  bool current(const libusb_device* d) const { return d->gen == gen && d->phys < devs.size(); }
  bool known(libusb_device* d) const { return d && devices.count(d); }
  bool known(libusb_device_handle* h) const { return h && handles.count(h); }
  PhysDevice& phys(const libusb_device* d) { return devs[d->phys]; }

  libusb_context* resolve(libusb_context* ctx) {
    if (!ctx) return default_refs > 0 ? default_ctx : nullptr;
    for (auto& c : contexts)
      if (c.get() == ctx) return c->alive && c->gen == gen ? ctx : nullptr;
    return nullptr;
  }

  // Checks a handle for an operation on the device; 0 when usable.
  int usable(libusb_device_handle* h, const char* what) {
    if (!known(h)) {
      note_misuse(std::string(what) + " on a handle that is not open");
      return LIBUSB_ERROR_NO_DEVICE;
    }
    if (h->gen != gen || !current(h->dev) || !phys(h->dev).plugged) return LIBUSB_ERROR_NO_DEVICE;
    return 0;
  }

  void unref(libusb_device* d) {
    if (!known(d)) return note_misuse("libusb_unref_device on a device that is not referenced");
    if (--d->refs == 0) {
      devices.erase(d);
      delete d;
    }
  }

  void tick_ms(uint64_t us) {
    slept_us += us;
    sub_ms_us += us;
    const uint64_t ms = sub_ms_us / 1000;
    sub_ms_us %= 1000;
    if (ms == 0) return;
    for (auto& c : cameras) c->impl().tick(ms);
  }
};

// ---------------------------------------------------------------------------
// Camera

Camera::Camera(std::unique_ptr<CameraImpl> impl) : impl_(std::move(impl)) {}
Camera::~Camera() = default;

namespace {
PhysDevice& phys_of(const CameraImpl& c) {
  auto& st = Bus::get().state();
  for (auto& d : st.devs)
    if (d.camera >= 0 && &st.cameras[static_cast<size_t>(d.camera)]->impl() == &c) return d;
  throw std::logic_error("vcam: camera not on the bus");
}
}  // namespace

const CameraConfig& Camera::config() const { return impl_->cfg; }
uint8_t Camera::bus_number() const { return phys_of(*impl_).bus; }
uint8_t Camera::address() const { return phys_of(*impl_).address; }
uint8_t Camera::reg(uint16_t addr) const { return impl_->peek_reg(addr); }
void Camera::set_reg(uint16_t addr, uint8_t v) { impl_->regs[addr] = v; }
void Camera::set_gpio_straps(uint8_t s) { impl_->straps = s; }
uint8_t Camera::gpio_pins() const { return impl_->pins(); }
void Camera::set_rom(uint16_t addr, const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) impl_->rom[(addr + i) & 0xFFFF] = bytes[i];
}
std::vector<uint8_t> Camera::rom(uint16_t addr, size_t n) const {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = impl_->rom[(addr + i) & 0xFFFF];
  return out;
}
std::vector<uint8_t>& Camera::flash() { return impl_->flash.array(); }
const std::vector<uint8_t>& Camera::flash() const { return impl_->flash.array(); }
void Camera::load_flash(const std::vector<uint8_t>& image, uint32_t at) {
  auto& a = impl_->flash.array();
  if (at < a.size()) std::copy_n(image.begin(), std::min(image.size(), a.size() - at), a.begin() + at);
  impl_->rewire_wp();
}
uint8_t Camera::flash_status() const { return impl_->flash.status(); }
void Camera::set_flash_status(uint8_t s) { impl_->flash.set_status(s); }
bool Camera::wp_asserted() const { return impl_->wp_asserted(); }
WpWiring Camera::wp_wiring() const { return impl_->wp; }
bool Camera::flash_busy() const { return impl_->flash.busy(); }
void Camera::set_flash_stuck_busy(bool on) { impl_->flash.set_stuck_busy(on); }
void Camera::set_flash_ready_stuck(bool on) { impl_->sf_ready_stuck = on; }
void Camera::fail_flash_reads(uint32_t from, uint32_t to, int error) {
  impl_->flash_read_faults.push_back({from, to, error});
}
int Camera::flash_erases() const { return impl_->flash.erases; }
int Camera::flash_programs() const { return impl_->flash.programs; }
int Camera::flash_rejected() const { return impl_->flash.rejected; }
int Camera::flash_status_writes() const { return impl_->flash.status_writes; }
uint8_t Camera::sensor_reg(uint16_t addr) const { return impl_->sensor.regs[addr]; }
void Camera::set_sensor_reg(uint16_t addr, uint8_t v) { impl_->sensor.regs[addr] = v; }
int Camera::i2c_transactions() const { return impl_->i2c_transactions; }
int Camera::usb_restarts() const { return impl_->usb_restarts; }
bool Camera::kernel_driver_active() const { return phys_of(*impl_).driver[0]; }
void Camera::unplug() { phys_of(*impl_).plugged = false; }
bool Camera::plugged() const { return phys_of(*impl_).plugged; }
void Camera::fail_all_transfers(int error) { phys_of(*impl_).fail_all = error; }

// ---------------------------------------------------------------------------
// Bus

Bus::Bus() : state_(std::make_unique<State>()) {}
Bus::~Bus() = default;

Bus& Bus::get() {
  static Bus* bus = new Bus;  // never destroyed: sleeps and stale handles may come late
  return *bus;
}

void Bus::reset() {
  std::lock_guard<std::recursive_mutex> lock(state_->mu);
  State& s = *state_;
  ++s.gen;
  s.devs.clear();
  s.cameras.clear();
  s.default_ctx = nullptr;
  s.default_refs = 0;
  // Default contexts were never handed out, so nothing can use them after a
  // reset; dropping them keeps long runs (a fuzzer's millions of resets)
  // from growing.  Explicit contexts stay: their pointers may still be used.
  s.contexts.erase(std::remove_if(s.contexts.begin(), s.contexts.end(),
                                  [](const std::unique_ptr<libusb_context>& c) { return c->is_default; }),
                   s.contexts.end());
  s.misuse.clear();
  s.nth_faults.clear();
  s.selector_faults.clear();
  s.pred_faults.clear();
  s.init_error = s.list_error = 0;
  s.trace.clear();
  s.trace_on = true;
  s.transfers = 0;
  s.slept_us = s.sub_ms_us = 0;
  s.real_sleep = false;
}

namespace {
uint8_t next_address(const std::vector<PhysDevice>& devs, uint8_t bus) {
  for (int a = 2; a < 128; ++a) {
    bool used = false;
    for (const auto& d : devs) used = used || (d.bus == bus && d.address == a);
    if (!used) return static_cast<uint8_t>(a);
  }
  throw std::runtime_error("vcam: no free address on the bus");
}
}  // namespace

Camera& Bus::add_camera(const CameraConfig& cfg) {
  std::lock_guard<std::recursive_mutex> lock(state_->mu);
  State& s = *state_;
  auto cam = std::make_unique<Camera>(std::make_unique<CameraImpl>(cfg));
  PhysDevice d{cfg.vid, cfg.pid, cfg.bus, cfg.address ? cfg.address : next_address(s.devs, cfg.bus)};
  d.camera = static_cast<int>(s.cameras.size());
  d.interfaces = 2;  // video control and video streaming
  d.driver[0] = d.driver[1] = cfg.kernel_driver_bound;
  d.driver_available = true;
  d.claim_failures_left = cfg.claim_failures;
  s.devs.push_back(d);
  s.cameras.push_back(std::move(cam));
  return *s.cameras.back();
}

void Bus::add_device(uint16_t vid, uint16_t pid, uint8_t bus, uint8_t address) {
  std::lock_guard<std::recursive_mutex> lock(state_->mu);
  State& s = *state_;
  s.devs.push_back(PhysDevice{vid, pid, bus, address ? address : next_address(s.devs, bus)});
}

Camera& Bus::camera(int i) {
  if (i < 0 || i >= camera_count()) throw std::out_of_range("vcam: no camera " + std::to_string(i));
  return *state_->cameras[static_cast<size_t>(i)];
}
int Bus::camera_count() const { return static_cast<int>(state_->cameras.size()); }

int Bus::open_handles() const {
  int n = 0;
  for (auto* h : state_->handles) n += h->gen == state_->gen;
  return n;
}
int Bus::live_device_lists() const {
  int n = 0;
  for (const auto& [l, g] : state_->lists) n += g == state_->gen;
  return n;
}
int Bus::referenced_devices() const {
  int n = 0;
  for (auto* d : state_->devices) n += d->gen == state_->gen;
  return n;
}
bool Bus::context_alive() const { return state_->default_refs > 0; }
int Bus::live_contexts() const {
  int n = 0;
  for (const auto& c : state_->contexts) n += c->alive && c->gen == state_->gen;
  return n;
}
int Bus::claimed_interfaces(int camera) const {
  int n = 0;
  for (const auto& d : state_->devs)
    if (d.camera == camera) n += (d.claimed_by[0] != nullptr) + (d.claimed_by[1] != nullptr);
  return n;
}
const std::vector<std::string>& Bus::misuse() const { return state_->misuse; }

void Bus::fail_transfer(uint64_t nth, int error) {
  state_->nth_faults.emplace_back(state_->transfers + nth, error);
}
void Bus::fail_selector(uint8_t cs, int error) { state_->selector_faults[cs] = error; }
void Bus::fail_if(std::function<bool(const Transfer&)> pred, int error) {
  state_->pred_faults.emplace_back(std::move(pred), error);
}
void Bus::fail_init(int error) { state_->init_error = error; }
void Bus::fail_device_list(int error) { state_->list_error = error; }
void Bus::set_reply_hook(ReplyHook* hook) {
  std::lock_guard<std::recursive_mutex> lock(state_->mu);
  state_->reply_hook = hook;
}
void Bus::clear_faults() {
  state_->nth_faults.clear();
  state_->selector_faults.clear();
  state_->pred_faults.clear();
  state_->init_error = state_->list_error = 0;
  for (auto& d : state_->devs) d.fail_all = 0;
}

const std::vector<Transfer>& Bus::trace() const { return state_->trace; }
void Bus::clear_trace() { state_->trace.clear(); }
void Bus::set_trace_enabled(bool on) { state_->trace_on = on; }
uint64_t Bus::transfer_count() const { return state_->transfers; }
uint64_t Bus::slept_us() const { return state_->slept_us; }
void Bus::set_real_sleep(bool on) { state_->real_sleep = on; }

}  // namespace vcam

// ---------------------------------------------------------------------------
// The virtual clock, called by the sleep functions (clock.c).

extern "C" int vcam_advance_clock(unsigned long long us) {
  auto& s = vcam::Bus::get().state();
  std::lock_guard<std::recursive_mutex> lock(s.mu);
  s.tick_ms(us);
  return s.real_sleep ? 1 : 0;
}

// ---------------------------------------------------------------------------
// libusb 1.0

using vcam::Bus;
using vcam::PhysDevice;

namespace {

Bus::State& st() { return Bus::get().state(); }

struct Lock {
  std::lock_guard<std::recursive_mutex> g{st().mu};
};

const char* error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
  }
}

const char* error_text(int code) {
  switch (code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
    case LIBUSB_ERROR_OTHER: return "Other error";
    default: return "Unknown error";
  }
}

libusb_device* find_or_make_device(libusb_context* ctx, size_t phys) {
  auto& s = st();
  for (auto* d : s.devices)
    if (d->ctx == ctx && d->phys == phys && d->gen == s.gen) {
      ++d->refs;
      return d;
    }
  auto* d = new libusb_device{ctx, phys, 1, s.gen};
  s.devices.insert(d);
  return d;
}

bool valid_interface(const PhysDevice& p, int iface) { return iface >= 0 && iface < p.interfaces; }

// The fault that applies to this transfer, if any (0 = none).
int injected_fault(const vcam::Transfer& t, const PhysDevice& p) {
  auto& s = st();
  for (auto it = s.nth_faults.begin(); it != s.nth_faults.end(); ++it)
    if (it->first == s.transfers) {
      const int e = it->second;
      s.nth_faults.erase(it);
      return e;
    }
  if ((t.bmRequestType & LIBUSB_REQUEST_TYPE_CLASS) != 0) {
    auto sel = s.selector_faults.find(t.selector());
    if (sel != s.selector_faults.end()) return sel->second;
  }
  for (const auto& [pred, e] : s.pred_faults)
    if (pred(t)) return e;
  return p.fail_all;
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
  Lock l;
  auto& s = st();
  if (s.init_error) return s.init_error;
  if (ctx) {
    s.contexts.push_back(std::make_unique<libusb_context>(libusb_context{s.gen, true}));
    *ctx = s.contexts.back().get();
    return 0;
  }
  if (s.default_refs++ == 0) {
    s.contexts.push_back(std::make_unique<libusb_context>(libusb_context{s.gen, true, true}));
    s.default_ctx = s.contexts.back().get();
  }
  return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
  Lock l;
  auto& s = st();
  if (!ctx) {
    if (s.default_refs == 0) return s.note_misuse("libusb_exit of a default context that is not initialised");
    if (--s.default_refs == 0) {
      s.default_ctx->alive = false;
      s.default_ctx = nullptr;
    }
    return;
  }
  if (!s.resolve(ctx)) return s.note_misuse("libusb_exit of a context that is not initialised");
  ctx->alive = false;
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}
void LIBUSB_CALL libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}
int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...) { return LIBUSB_SUCCESS; }

const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
  static const libusb_version v = {1, 0, 26, 0, "", "virtual"};
  return &v;
}
int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
  return capability == LIBUSB_CAP_HAS_CAPABILITY || capability == LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER;
}
const char* LIBUSB_CALL libusb_error_name(int code) { return error_name(code); }
const char* LIBUSB_CALL libusb_strerror(int code) { return error_text(code); }
int LIBUSB_CALL libusb_setlocale(const char*) { return LIBUSB_SUCCESS; }

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
  Lock l;
  auto& s = st();
  libusb_context* c = s.resolve(ctx);
  if (!c) {
    s.note_misuse("libusb_get_device_list without an initialised context");
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  if (!list) return LIBUSB_ERROR_INVALID_PARAM;
  if (s.list_error) return s.list_error;
  std::vector<size_t> present;
  for (size_t i = 0; i < s.devs.size(); ++i)
    if (s.devs[i].plugged) present.push_back(i);
  auto** arr = new libusb_device*[present.size() + 1];
  for (size_t i = 0; i < present.size(); ++i) arr[i] = find_or_make_device(c, present[i]);
  arr[present.size()] = nullptr;
  s.lists[arr] = s.gen;
  *list = arr;
  return static_cast<ssize_t>(present.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
  if (!list) return;
  Lock l;
  auto& s = st();
  auto it = s.lists.find(list);
  if (it == s.lists.end()) return s.note_misuse("libusb_free_device_list of a list that is not live");
  if (unref_devices)
    for (auto** p = list; *p; ++p) s.unref(*p);
  s.lists.erase(it);
  delete[] list;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
  Lock l;
  if (!st().known(dev)) {
    st().note_misuse("libusb_ref_device on a device that is not referenced");
    return dev;
  }
  ++dev->refs;
  return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
  if (!dev) return;
  Lock l;
  st().unref(dev);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
  Lock l;
  auto& s = st();
  if (!s.known(dev) || !desc) {
    s.note_misuse("libusb_get_device_descriptor on a device that is not referenced");
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  if (!s.current(dev)) return LIBUSB_ERROR_NO_DEVICE;
  const PhysDevice& p = s.phys(dev);
  if (p.camera >= 0 && s.cameras[static_cast<size_t>(p.camera)]->config().descriptor_unreadable) return LIBUSB_ERROR_IO;
  std::memset(desc, 0, sizeof *desc);
  desc->bLength = LIBUSB_DT_DEVICE_SIZE;
  desc->bDescriptorType = LIBUSB_DT_DEVICE;
  desc->bcdUSB = 0x0200;
  desc->bDeviceClass = p.camera >= 0 ? 0xEF : 0x00;  // cameras: interface association
  desc->bDeviceSubClass = p.camera >= 0 ? 0x02 : 0x00;
  desc->bDeviceProtocol = p.camera >= 0 ? 0x01 : 0x00;
  desc->bMaxPacketSize0 = 64;
  desc->idVendor = p.vid;
  desc->idProduct = p.pid;
  desc->bcdDevice = 0x0100;
  desc->iManufacturer = p.camera >= 0 ? 1 : 0;
  desc->iProduct = p.camera >= 0 ? 2 : 0;
  desc->iSerialNumber = p.camera >= 0 ? 3 : 0;
  desc->bNumConfigurations = 1;
  return LIBUSB_SUCCESS;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) {
  Lock l;
  auto& s = st();
  return s.known(dev) && s.current(dev) ? s.phys(dev).bus : 0;
}
uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
  Lock l;
  auto& s = st();
  return s.known(dev) && s.current(dev) ? s.phys(dev).address : 0;
}
uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
  Lock l;
  auto& s = st();
  return s.known(dev) && s.current(dev) ? static_cast<uint8_t>(dev->phys + 1) : 0;
}
int LIBUSB_CALL libusb_get_device_speed(libusb_device*) { return LIBUSB_SPEED_HIGH; }
libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*) { return nullptr; }

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
  Lock l;
  auto& s = st();
  if (!s.known(dev) || !handle) {
    s.note_misuse("libusb_open on a device that is not referenced");
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  if (!s.current(dev) || !s.phys(dev).plugged) return LIBUSB_ERROR_NO_DEVICE;
  const PhysDevice& p = s.phys(dev);
  if (p.camera >= 0) {
    const int e = s.cameras[static_cast<size_t>(p.camera)]->config().open_error;
    if (e) return e;
  }
  auto* h = new libusb_device_handle{dev, s.gen, false};
  ++dev->refs;
  s.handles.insert(h);
  *handle = h;
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* h) {
  if (!h) return;
  Lock l;
  auto& s = st();
  if (!s.known(h)) return s.note_misuse("libusb_close on a handle that is not open");
  if (h->gen == s.gen && s.current(h->dev)) {
    PhysDevice& p = s.phys(h->dev);
    for (int i = 0; i < 2; ++i)
      if (p.claimed_by[i] == h) {
        p.claimed_by[i] = nullptr;
        if (h->auto_detach) p.driver[i] = true;
      }
  }
  s.handles.erase(h);
  s.unref(h->dev);
  delete h;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* h) {
  Lock l;
  return st().known(h) ? h->dev : nullptr;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vid, uint16_t pid) {
  libusb_device** list = nullptr;
  if (libusb_get_device_list(ctx, &list) < 0) return nullptr;
  libusb_device_handle* h = nullptr;
  for (auto** p = list; *p && !h; ++p) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(*p, &d) == 0 && d.idVendor == vid && d.idProduct == pid) {
      if (libusb_open(*p, &h) != 0) h = nullptr;
    }
  }
  libusb_free_device_list(list, 1);
  return h;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* h, int iface) {
  Lock l;
  auto& s = st();
  if (int e = s.usable(h, "libusb_kernel_driver_active")) return e;
  const PhysDevice& p = s.phys(h->dev);
  if (!valid_interface(p, iface)) return LIBUSB_ERROR_NOT_FOUND;
  return p.driver[iface] ? 1 : 0;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* h, int iface) {
  Lock l;
  auto& s = st();
  if (int e = s.usable(h, "libusb_detach_kernel_driver")) return e;
  PhysDevice& p = s.phys(h->dev);
  if (!valid_interface(p, iface) || !p.driver[iface]) return LIBUSB_ERROR_NOT_FOUND;
  p.driver[iface] = false;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* h, int iface) {
  Lock l;
  auto& s = st();
  if (int e = s.usable(h, "libusb_attach_kernel_driver")) return e;
  PhysDevice& p = s.phys(h->dev);
  if (!valid_interface(p, iface) || !p.driver_available) return LIBUSB_ERROR_NOT_FOUND;
  if (p.claimed_by[iface] || p.driver[iface]) return LIBUSB_ERROR_BUSY;
  p.driver[iface] = true;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* h, int enable) {
  Lock l;
  auto& s = st();
  if (int e = s.usable(h, "libusb_set_auto_detach_kernel_driver")) return e;
  h->auto_detach = enable != 0;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* h, int iface) {
  Lock l;
  auto& s = st();
  if (int e = s.usable(h, "libusb_claim_interface")) return e;
  PhysDevice& p = s.phys(h->dev);
  if (!valid_interface(p, iface)) return LIBUSB_ERROR_NOT_FOUND;
  if (p.claimed_by[iface] == h) return LIBUSB_SUCCESS;
  if (p.claimed_by[iface]) return LIBUSB_ERROR_BUSY;
  if (iface == 0 && p.claim_failures_left > 0) {
    --p.claim_failures_left;
    return s.cameras[static_cast<size_t>(p.camera)]->config().claim_error;
  }
  if (p.driver[iface]) {
    if (!h->auto_detach) return LIBUSB_ERROR_BUSY;
    p.driver[iface] = false;
  }
  p.claimed_by[iface] = h;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* h, int iface) {
  Lock l;
  auto& s = st();
  if (int e = s.usable(h, "libusb_release_interface")) return e;
  PhysDevice& p = s.phys(h->dev);
  if (!valid_interface(p, iface) || p.claimed_by[iface] != h) return LIBUSB_ERROR_NOT_FOUND;
  p.claimed_by[iface] = nullptr;
  if (h->auto_detach && p.driver_available) p.driver[iface] = true;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* h, int configuration) {
  Lock l;
  auto& s = st();
  if (int e = s.usable(h, "libusb_set_configuration")) return e;
  const PhysDevice& p = s.phys(h->dev);
  for (int i = 0; i < p.interfaces; ++i)
    if (p.claimed_by[i] || p.driver[i]) return LIBUSB_ERROR_BUSY;  // interfaces in use
  return configuration == 1 || configuration == -1 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* h, int* config) {
  Lock l;
  auto& s = st();
  if (int e = s.usable(h, "libusb_get_configuration")) return e;
  if (config) *config = 1;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* h, int iface, int) {
  Lock l;
  auto& s = st();
  if (int e = s.usable(h, "libusb_set_interface_alt_setting")) return e;
  const PhysDevice& p = s.phys(h->dev);
  return valid_interface(p, iface) && p.claimed_by[iface] == h ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* h, unsigned char) {
  Lock l;
  return st().usable(h, "libusb_clear_halt");
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* h) {
  Lock l;
  return st().usable(h, "libusb_reset_device");
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* h, uint8_t bmRequestType, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                                        unsigned int) {
  Lock l;
  auto& s = st();
  ++s.transfers;
  vcam::Transfer t;
  t.bmRequestType = bmRequestType;
  t.bRequest = bRequest;
  t.wValue = wValue;
  t.wIndex = wIndex;
  t.wLength = wLength;
  const bool in = (bmRequestType & LIBUSB_ENDPOINT_IN) != 0;
  // The bytes are kept only where something reads them: the trace and the
  // fault predicates (a fuzzer's millions of runs trace nothing).
  const bool keep_bytes = s.trace_on || !s.pred_faults.empty();
  if (!in && data && keep_bytes) t.out.assign(data, data + wLength);
  auto finish = [&](int r) {
    t.result = r;
    if (r > 0 && in && keep_bytes) t.in.assign(data, data + r);
    if (s.trace_on) s.trace.push_back(std::move(t));
    return r;
  };
  if (int e = s.usable(h, "libusb_control_transfer")) return finish(e);
  PhysDevice& p = s.phys(h->dev);
  t.device = p.camera;
  if (wLength > 0 && !data) return finish(LIBUSB_ERROR_INVALID_PARAM);
  if (int e = injected_fault(t, p)) return finish(e);
  if ((bmRequestType & 0x1F) == LIBUSB_RECIPIENT_INTERFACE) {
    const int iface = wIndex & 0xFF;
    // usbfs claims an unclaimed interface for the transfer, which it cannot
    // while a kernel driver or another handle holds it.
    if (valid_interface(p, iface) && (p.driver[iface] || (p.claimed_by[iface] && p.claimed_by[iface] != h)))
      return finish(LIBUSB_ERROR_BUSY);
  }
  if (p.camera < 0) return finish(LIBUSB_ERROR_PIPE);
  vcam::ReplyHook* hook = s.reply_hook;
  if (hook)
    if (int e = hook->fault(t)) return finish(e);
  const int r = s.cameras[static_cast<size_t>(p.camera)]->impl().control(bmRequestType, bRequest, wValue, wIndex,
                                                                          data, wLength);
  return finish(hook ? std::min(hook->reply(t, data, r), static_cast<int>(wLength)) : r);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* h, unsigned char, unsigned char*, int, int*, unsigned int) {
  Lock l;
  if (int e = st().usable(h, "libusb_bulk_transfer")) return e;
  return LIBUSB_ERROR_PIPE;  // no bulk endpoints are modelled
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* h, unsigned char, unsigned char*, int, int*,
                                          unsigned int) {
  Lock l;
  if (int e = st().usable(h, "libusb_interrupt_transfer")) return e;
  return LIBUSB_ERROR_PIPE;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* h, uint8_t, unsigned char*, int) {
  Lock l;
  if (int e = st().usable(h, "libusb_get_string_descriptor_ascii")) return e;
  return LIBUSB_ERROR_PIPE;  // standard requests are not modelled
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device*, struct libusb_config_descriptor**) {
  return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_get_config_descriptor(libusb_device*, uint8_t, struct libusb_config_descriptor**) {
  return LIBUSB_ERROR_NOT_SUPPORTED;
}
void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor*) {}

int LIBUSB_CALL libusb_handle_events(libusb_context*) { return LIBUSB_SUCCESS; }
int LIBUSB_CALL libusb_handle_events_timeout(libusb_context*, struct timeval*) { return LIBUSB_SUCCESS; }
int LIBUSB_CALL libusb_handle_events_completed(libusb_context*, int*) { return LIBUSB_SUCCESS; }

}  // extern "C"
