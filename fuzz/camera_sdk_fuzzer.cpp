// The camera SDK against a fuzzing virtual camera.  The input's first bytes
// configure two cameras (ROM model, chip, flash family, unit, protection,
// write-protect byte of the firmware...), the rest decides every reply of
// the device (see fuzzed_replies.h).  A fixed sequence of entry points then
// runs: open, select the second camera, descriptor strings, identifiers,
// flash type, flash read, close.
//
// Faults reported besides the sanitizers': a wait that is not bounded, an
// output buffer written past the length it was given (each buffer is as
// large as its length), libusb objects left open after the close, libusb
// misuse, and any change to the flash of the camera that is not selected.
#include "DorvakCamera.h"
#include "Osrel.h"

#include <vcam/vcam.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "byte_source.h"
#include "fuzzed_replies.h"

namespace {

using fuzz::ByteSource;
using fuzz::FuzzedReplies;

constexpr const char* kVidPid = "4e7a91c3";

[[noreturn]] void Fault(const char* what) {
  std::fprintf(stderr, "camera_sdk_fuzzer: %s\n", what);
  std::abort();
}

// Chip identifications of both architectures, and one no table knows.
constexpr uint8_t kChips[] = {0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xEA, 0xEB, 0xEC,
                              0xF7, 0xF9, 0xE9, 0xF1, 0xF3, 0xF6, 0xFA, 0xF4, 0xF5, 0x42};
constexpr vcam::FlashFamily kFamilies[] = {
    vcam::FlashFamily::Mxic,  vcam::FlashFamily::St,   vcam::FlashFamily::Sst,     vcam::FlashFamily::AtmelAt25f,
    vcam::FlashFamily::Pmc,   vcam::FlashFamily::Esmt, vcam::FlashFamily::Giga,    vcam::FlashFamily::Winbond,
    vcam::FlashFamily::Fentech, vcam::FlashFamily::Unknown};

template <class T, size_t N>
constexpr size_t countOf(const T (&)[N]) {
  return N;
}

struct Scenario {
  vcam::CameraConfig camera;
  vcam::FirmwareSpec firmware;
  bool select_second = false;
  long string_capacity = 0;
};

Scenario ReadScenario(ByteSource& in) {
  Scenario s;
  const int models = vcam::rom_model_count();
  s.camera.rom_model = static_cast<int>(in.pick(static_cast<size_t>(models) + 1)) - 1;  // -1: no ROM string
  s.camera.chip_id = kChips[in.pick(countOf(kChips))];
  s.camera.flash = kFamilies[in.pick(countOf(kFamilies))];
  const uint8_t flags = in.byte();
  s.camera.unit = flags & 0x01 ? 4 : 3;
  s.camera.memory_type = flags & 0x02 ? 2 : 0;
  s.camera.protected_at_start = !(flags & 0x04);
  s.camera.kernel_driver_bound = !(flags & 0x08);
  s.select_second = flags & 0x10;
  s.camera.arch = flags & 0x20 ? vcam::Arch::Second : vcam::Arch::First;
  s.camera.claim_failures = flags & 0x40 ? 2 : 0;
  s.camera.gpio_straps = in.byte();
  s.firmware.rom_model = s.camera.rom_model;
  s.firmware.chip_id = s.camera.chip_id;
  s.firmware.wp_config = in.byte();
  s.string_capacity = static_cast<long>(in.pick(41));
  return s;
}

// Firmware images by (ROM model, chip, write-protect byte), built once.
const std::vector<uint8_t>& Firmware(const vcam::FirmwareSpec& spec) {
  static std::map<std::tuple<int, uint8_t, uint8_t>, std::vector<uint8_t>> images;
  const auto key = std::make_tuple(spec.rom_model, spec.chip_id, spec.wp_config);
  auto found = images.find(key);
  if (found != images.end()) return found->second;
  if (images.size() >= 256) images.clear();
  return images.emplace(key, vcam::build_firmware(spec)).first->second;
}

// Output buffers exactly as large as the length the SDK is told.
std::unique_ptr<unsigned char[]> Buffer(long len) {
  return std::unique_ptr<unsigned char[]>(new unsigned char[static_cast<size_t>(len > 0 ? len : 1)]());
}

void ResetProcessState() {
  vcam::Bus::get().reset();
  gEC = EC_UnKnow;
  uiRomID = 0;
  ubSFLib_CmdID = 0;
  sfManufactureID = sfDeviceID1 = sfDeviceID2 = 0;
  LibUsb_SetAsicArchInfo(DAT_FIRST);
}

// Runs the sequence; returns the index of the camera it addressed.
int RunEntryPoints(const Scenario& s) {
  DorvakCam_Init(kVidPid);
  const int selected = s.select_second && DorvakCamera_num() >= 2 ? 1 : 0;
  if (selected) DorvakCamera_SetDevicesID(1);

  BOOL (*const strings[])(unsigned char*, long) = {DorvakCam_GetSerialNumber, DorvakCam_GetManufacturer,
                                                   DorvakCam_GetProduct, DorvakCam_GetString3,
                                                   DorvakCam_GetInterface};
  for (auto read : strings) {
    auto buffer = Buffer(s.string_capacity);
    read(buffer.get(), s.string_capacity);
  }
  auto ids = Buffer(4);
  DorvakCam_GetVidPid(ids.get(), 4);
  DSP_ROM_TYPE romType = DRT_Unknow;
  DorvakCam_GetAsicRomType(&romType);
  SERIAL_FLASH_TYPE sft = SFT_UNKNOW;
  DorvakCam_GetSerialFlashType(&sft);
  auto sectorTable = Buffer(43);
  DorvakCam_SerialFlashRead(0x160, sectorTable.get(), 43);
  DorvakCam_GetErrorCode();
  DorvakCam_UnInit();
  return selected;
}

// The flash holds the image and is erased after it.
bool Holds(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image) {
  static const std::vector<uint8_t> erased(flash.size(), 0xFF);
  return flash.size() >= image.size() && erased.size() == flash.size() &&
         std::memcmp(flash.data(), image.data(), image.size()) == 0 &&
         std::memcmp(flash.data() + image.size(), erased.data(), flash.size() - image.size()) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteSource in(data, size);
  const Scenario s = ReadScenario(in);
  ResetProcessState();
  vcam::Bus& bus = vcam::Bus::get();
  bus.set_trace_enabled(false);

  // The image is loaded into each flash in place: copies of it in the
  // configurations would cost more than the run itself.
  const std::vector<uint8_t>& image = Firmware(s.firmware);
  // A second camera only where the sequence selects it: without a selection
  // the SDK cannot address it at all.
  for (int i = 0; i < (s.select_second ? 2 : 1); ++i) bus.add_camera(s.camera).load_flash(image);

  FuzzedReplies replies(in);
  bus.set_reply_hook(&replies);
  const int selected = RunEntryPoints(s);
  bus.set_reply_hook(nullptr);

  if (bus.open_handles() != 0 || bus.live_device_lists() != 0 || bus.context_alive())
    Fault("libusb objects left open after the close");
  if (!bus.misuse().empty()) Fault(bus.misuse().front().c_str());
  if (s.select_second && !Holds(bus.camera(1 - selected).flash(), image))
    Fault("the flash of the camera not selected changed");
  return 0;
}
