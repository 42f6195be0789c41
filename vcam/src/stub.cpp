// Placeholder definitions so that the API links while the model is built.
#include <vcam/vcam.h>

namespace vcam {
struct Bus::State {};
class CameraImpl {
 public:
  CameraConfig cfg;
  std::vector<uint8_t> flash;
};
Camera::Camera(std::unique_ptr<CameraImpl> impl) : impl_(std::move(impl)) {}
Camera::~Camera() = default;
const CameraConfig& Camera::config() const { return impl_->cfg; }
uint8_t Camera::bus_number() const { return impl_->cfg.bus; }
uint8_t Camera::address() const { return impl_->cfg.address; }
uint8_t Camera::reg(uint16_t) const { return 0; }
void Camera::set_reg(uint16_t, uint8_t) {}
void Camera::set_gpio_straps(uint8_t) {}
uint8_t Camera::gpio_pins() const { return 0; }
void Camera::set_rom(uint16_t, const std::vector<uint8_t>&) {}
std::vector<uint8_t> Camera::rom(uint16_t, size_t n) const { return std::vector<uint8_t>(n); }
std::vector<uint8_t>& Camera::flash() { return impl_->flash; }
const std::vector<uint8_t>& Camera::flash() const { return impl_->flash; }
void Camera::load_flash(const std::vector<uint8_t>&, uint32_t) {}
uint8_t Camera::flash_status() const { return 0; }
void Camera::set_flash_status(uint8_t) {}
bool Camera::wp_asserted() const { return false; }
WpWiring Camera::wp_wiring() const { return {}; }
bool Camera::flash_busy() const { return false; }
void Camera::set_flash_stuck_busy(bool) {}
void Camera::set_flash_ready_stuck(bool) {}
int Camera::flash_erases() const { return 0; }
int Camera::flash_programs() const { return 0; }
int Camera::flash_rejected() const { return 0; }
int Camera::flash_status_writes() const { return 0; }
uint8_t Camera::sensor_reg(uint16_t) const { return 0; }
void Camera::set_sensor_reg(uint16_t, uint8_t) {}
int Camera::i2c_transactions() const { return 0; }
int Camera::usb_restarts() const { return 0; }
bool Camera::kernel_driver_active() const { return false; }
void Camera::unplug() {}
bool Camera::plugged() const { return true; }
void Camera::fail_all_transfers(int) {}

Bus::Bus() : state_(std::make_unique<State>()) {}
Bus::~Bus() = default;
Bus& Bus::get() { static Bus b; return b; }
void Bus::reset() {}
Camera& Bus::add_camera(const CameraConfig& c) {
  static std::vector<std::unique_ptr<Camera>> cams;
  auto impl = std::make_unique<CameraImpl>();
  impl->cfg = c;
  cams.push_back(std::make_unique<Camera>(std::move(impl)));
  return *cams.back();
}
void Bus::add_device(uint16_t, uint16_t, uint8_t, uint8_t) {}
Camera& Bus::camera(int) { return add_camera(); }
int Bus::camera_count() const { return 0; }
int Bus::open_handles() const { return 0; }
int Bus::live_device_lists() const { return 0; }
int Bus::referenced_devices() const { return 0; }
bool Bus::context_alive() const { return false; }
int Bus::live_contexts() const { return 0; }
int Bus::claimed_interfaces(int) const { return 0; }
const std::vector<std::string>& Bus::misuse() const { static std::vector<std::string> v; return v; }
void Bus::fail_transfer(uint64_t, int) {}
void Bus::fail_selector(uint8_t, int) {}
void Bus::fail_if(std::function<bool(const Transfer&)>, int) {}
void Bus::clear_faults() {}
const std::vector<Transfer>& Bus::trace() const { static std::vector<Transfer> v; return v; }
void Bus::clear_trace() {}
void Bus::set_trace_enabled(bool) {}
uint64_t Bus::transfer_count() const { return 0; }
uint64_t Bus::slept_us() const { return 0; }
void Bus::set_real_sleep(bool) {}

int rom_model_count() { return 0; }
const RomModel& rom_model(int) { static RomModel m{"", 0, {}, false, false}; return m; }
int rom_model_index(const std::string&) { return -1; }
FirmwareLayout layout_for_model(int) { return {}; }
std::vector<uint8_t> build_firmware(const FirmwareSpec& s) { return std::vector<uint8_t>(s.size, 0xFF); }
uint16_t crc16_modbus(const uint8_t*, size_t) { return 0xFFFF; }
std::vector<uint8_t> string_slot(const std::string&) { return std::vector<uint8_t>(64, 0xFF); }
VersionAddrs version_addrs(uint8_t, uint8_t, bool) { return {}; }
uint32_t wp_config_addr(uint8_t) { return 0; }
bool load_scene(const std::string&, std::string* error) { if (error) *error = "not built yet"; return false; }
}  // namespace vcam

extern "C" {
int LIBUSB_CALL libusb_init(libusb_context**) { return LIBUSB_ERROR_NOT_SUPPORTED; }
void LIBUSB_CALL libusb_exit(libusb_context*) {}
ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device***) { return LIBUSB_ERROR_NOT_SUPPORTED; }
void LIBUSB_CALL libusb_free_device_list(libusb_device**, int) {}
int LIBUSB_CALL libusb_get_device_descriptor(libusb_device*, struct libusb_device_descriptor*) { return LIBUSB_ERROR_NOT_SUPPORTED; }
uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) { return 0; }
uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device*) { return 0; }
int LIBUSB_CALL libusb_open(libusb_device*, libusb_device_handle**) { return LIBUSB_ERROR_NOT_SUPPORTED; }
void LIBUSB_CALL libusb_close(libusb_device_handle*) {}
int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int LIBUSB_CALL libusb_claim_interface(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int LIBUSB_CALL libusb_release_interface(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int LIBUSB_CALL libusb_set_configuration(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int LIBUSB_CALL libusb_control_transfer(libusb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t, unsigned char*, uint16_t, unsigned int) { return LIBUSB_ERROR_NOT_SUPPORTED; }
const char* LIBUSB_CALL libusb_error_name(int) { return "LIBUSB_ERROR_NOT_SUPPORTED"; }
const char* LIBUSB_CALL libusb_strerror(int) { return "Operation not supported or unimplemented on this platform"; }
}
