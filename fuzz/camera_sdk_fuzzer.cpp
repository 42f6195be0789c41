// The camera SDK against a fuzzing virtual camera.  The input's first bytes
// configure the cameras (ROM model, chip, flash family, unit, protection,
// write-protect byte of the firmware...) and the arguments of the firmware
// procedures, the rest decides every reply of the device (see
// fuzzed_replies.h).  A fixed sequence of entry points then runs: open,
// select the second camera, descriptor strings, identifiers, flash type,
// flash read, firmware version, one firmware update on a small image,
// export, close.
//
// Faults reported besides the sanitizers': a wait that is not bounded, a
// buffer read or written past the length it was given (each buffer is as
// large as its length), a caller's image changed, a progress report out of
// range or from the export, libusb objects left open after the close,
// libusb misuse, and any change to the flash of the camera not selected.
#include "DorvakCamera.h"
#include "Osrel.h"

#include <vcam/vcam.h>

#include <algorithm>
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

// Firmware procedures, one of which runs per input.
enum class Update { None, Burn, WriteOnly, CustomBurn, ParamTable };

// Image lengths: refused ones (not whole pieces, too short for the deferred
// areas) among small whole images; the largest holds a parameter table of
// the low fixed layouts and chip 0xE2's deferred areas.
constexpr long kImageLengths[] = {0, 7, 0x160, 0x168, 0x200, 0x400, 0x404, 0x800, 0x6800};
constexpr long kExportLengths[] = {0, 8, 0x100, 0x405, 0x800, 0x40008};
constexpr SERIAL_FLASH_TYPE kFlashTypes[] = {SFT_UNKNOW, SFT_MXIC, SFT_SST, SFT_ST, SFT_WINBOND, SFT_GIGA};

struct Scenario {
  vcam::CameraConfig camera;
  vcam::FirmwareSpec firmware;
  bool select_second = false;
  long string_capacity = 0;
  Update update = Update::None;
  bool use_identified_type = true;  // else flash_type
  SERIAL_FLASH_TYPE flash_type = SFT_UNKNOW;
  bool full_check = false;
  long image_length = 0, export_length = 0;
  unsigned string_lengths[5] = {};  // of the parameter change; above 31 is refused
  uint8_t present = 0;              // which items of the change are given
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
  // Erases and status writes finish within a few polls: a run is over in
  // a fraction of a millisecond unless the replies keep the flash busy.
  s.camera.flash_timing = {1, 1, 2, 1, 0};
  s.firmware.rom_model = s.camera.rom_model;
  s.firmware.chip_id = s.camera.chip_id;
  s.firmware.wp_config = in.byte();
  s.string_capacity = static_cast<long>(in.pick(41));
  // Most runs make no update, the table update (a 16 KiB region) fewest:
  // an update costs far more transfers than the rest of the sequence.
  static const Update kUpdates[16] = {Update::Burn,       Update::WriteOnly, Update::CustomBurn, Update::Burn,
                                      Update::WriteOnly,  Update::CustomBurn, Update::ParamTable};
  const uint8_t update = in.byte();
  s.update = kUpdates[update & 0x0F];
  s.full_check = update & 0x20;
  s.use_identified_type = !(update & 0x40);
  s.flash_type = kFlashTypes[in.pick(countOf(kFlashTypes))];
  s.image_length = kImageLengths[in.pick(countOf(kImageLengths))];
  s.export_length = kExportLengths[in.pick(countOf(kExportLengths))];
  if (s.update == Update::CustomBurn || s.update == Update::ParamTable) {
    s.present = in.byte();
    for (unsigned& n : s.string_lengths) n = static_cast<unsigned>(in.pick(34));
  }
  return s;
}

// Progress reports: values from 0 to 1, and none where none is due.
struct Progress {
  bool allowed = true;
  static void report(void* self, float value) {
    auto* p = static_cast<Progress*>(self);
    if (!p->allowed) Fault("a progress report where none is due");
    if (!(value >= 0.0f && value <= 1.0f)) Fault("a progress report outside 0 to 1");
  }
};

// A caller's buffer exactly as long as its length, holding `bytes`.
struct CallerBuffer {
  explicit CallerBuffer(const uint8_t* bytes, size_t n) : data(new unsigned char[n ? n : 1]), size(n) {
    if (n) std::memcpy(data.get(), bytes, n);
  }
  std::unique_ptr<unsigned char[]> data;
  size_t size;
};

// The change of the USB identity: each given string in a buffer of exactly
// its length.
struct Change {
  explicit Change(const Scenario& s) {
    static const uint8_t kText[40] = "Hostile camera of the fuzzing bench...";
    BYTE** pointers[5] = {&info.pSerialNumber, &info.pProduct, &info.pManufacture, &info.pString3, &info.pInterface};
    unsigned* lengths[5] = {&info.SerialNumberLength, &info.ProductLength, &info.ManufactureLength,
                            &info.String3Length, &info.InterfaceLength};
    for (int i = 0; i < 5; ++i) {
      if (!(s.present & (1u << i))) continue;
      strings.emplace_back(kText, s.string_lengths[i]);
      *pointers[i] = strings.back().data.get();
      *lengths[i] = s.string_lengths[i];
    }
    if (s.present & 0x20) {
      static const uint8_t kIds[4] = {0x34, 0x12, 0x78, 0x56};
      strings.emplace_back(kIds, 4);
      info.pVidPid = strings.back().data.get();
      info.VidPidLength = 4;
    }
  }
  ChangeParamInfo info = {};
  std::vector<CallerBuffer> strings;
};

void RunUpdate(const Scenario& s, const std::vector<uint8_t>& firmware, SERIAL_FLASH_TYPE identified) {
  const SERIAL_FLASH_TYPE sft = s.use_identified_type ? identified : s.flash_type;
  // A small image for the burners; the whole firmware for the table update,
  // which needs the 16 KiB around the table.
  const size_t length = s.update == Update::ParamTable ? firmware.size() : static_cast<size_t>(s.image_length);
  CallerBuffer image(firmware.data(), std::min(length, firmware.size()));
  const std::vector<uint8_t> before(image.data.get(), image.data.get() + image.size);
  const LONG n = static_cast<LONG>(image.size);
  Progress progress;
  const Change change(s);
  switch (s.update) {
    case Update::None:
      return;
    case Update::Burn:
      DorvakCam_BurnerFW(image.data.get(), n, Progress::report, &progress, sft, s.full_check);
      break;
    case Update::WriteOnly:
      DorvakCam_WriteFwToFlash(image.data.get(), n, Progress::report, &progress, s.full_check);
      break;
    case Update::CustomBurn:
      DorvakCam_CustomBurnerFW(change.info, image.data.get(), n, Progress::report, &progress, sft, s.full_check);
      break;
    case Update::ParamTable:
      DorvakCam_SetParamTableFormFWFile(image.data.get(), n, &change.info, Progress::report, &progress, sft, nullptr);
      break;
  }
  if (image.size && std::memcmp(before.data(), image.data.get(), image.size) != 0)
    Fault("the caller's image was changed");
}

// Firmware images by ROM model and chip, built once; the write-protect
// byte is put into the flash afterwards.
const std::vector<uint8_t>& Firmware(const vcam::FirmwareSpec& spec) {
  static std::map<std::tuple<int, uint8_t>, std::vector<uint8_t>> images;
  const auto key = std::make_tuple(spec.rom_model, spec.chip_id);
  auto found = images.find(key);
  if (found != images.end()) return found->second;
  if (images.size() >= 1024) images.clear();  // 39 models x 21 chips fit
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
int RunEntryPoints(const Scenario& s, const std::vector<uint8_t>& firmware) {
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

  auto version = Buffer(56);
  DorvakCam_GetFwVersion(version.get(), 56, s.full_check);
  DorvakCam_GetFwVersionEx(romType, version.get(), 56, !s.full_check);
  RunUpdate(s, firmware, sft);

  auto exported = Buffer(s.export_length);
  Progress none;
  none.allowed = false;
  DorvakCam_ExportFW(exported.get(), static_cast<LONG>(s.export_length), Progress::report, &none);
  DorvakCam_GetErrorCode();
  DorvakCam_UnInit();
  return selected;
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
  for (int i = 0; i < (s.select_second ? 2 : 1); ++i) {
    vcam::Camera& cam = bus.add_camera(s.camera);
    cam.load_flash(image);
    if (const uint32_t at = vcam::wp_config_addr(s.camera.chip_id)) cam.load_flash({s.firmware.wp_config}, at);
  }
  const std::vector<uint8_t> other = s.select_second ? bus.camera(1).flash() : std::vector<uint8_t>();

  FuzzedReplies replies(in);
  bus.set_reply_hook(&replies);
  const int selected = RunEntryPoints(s, image);
  bus.set_reply_hook(nullptr);

  if (bus.open_handles() != 0 || bus.live_device_lists() != 0 || bus.context_alive())
    Fault("libusb objects left open after the close");
  if (!bus.misuse().empty()) Fault(bus.misuse().front().c_str());
  if (s.select_second && bus.camera(1 - selected).flash() != other)
    Fault("the flash of the camera not selected changed");
  return 0;
}
