#include "camera.h"

#include <libusb.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "Osrel.h"  // the layer's chip and ROM identification, exported by the SDK library

namespace dorvakctl {
namespace {

template <typename T>
struct Named {
  T value;
  const char* name;
};

constexpr Named<ERROR_CODE> kErrorCodes[] = {
    {EC_UnKnow, "EC_UnKnow"},
    {EC_EnumDeviceFail, "EC_EnumDeviceFail"},
    {EC_DisableFlashWriteProtectFail, "EC_DisableFlashWriteProtectFail"},
    {EC_EraseFlashFail, "EC_EraseFlashFail"},
    {EC_EraseFlashSectorFail, "EC_EraseFlashSectorFail"},
    {EC_GetAsicIdFail, "EC_GetAsicIdFail"},
    {EC_GetAsicRomVersionFail, "EC_GetAsicRomVersionFail"},
    {EC_GetAsicRomTypeFail, "EC_GetAsicRomTypeFail"},
    {EC_ReadAsicRegisterFail, "EC_ReadAsicRegisterFail"},
    {EC_WriteAsicRegisterFail, "EC_WriteAsicRegisterFail"},
    {EC_UnKnowSerialFlashType, "EC_UnKnowSerialFlashType"},
    {EC_BurnerCheckFail, "EC_BurnerCheckFail"},
    {EC_CoInitializeFail, "EC_CoInitializeFail"},
    {EC_NoFindDevice, "EC_NoFindDevice"},
    {EC_MallocMemoryFail, "EC_MallocMemoryFail"},
};

constexpr Named<SERIAL_FLASH_TYPE> kFlashFamilies[] = {
    {SFT_UNKNOW, "unknown"},        {SFT_MXIC, "MXIC"},
    {SFT_ST, "ST"},                 {SFT_SST, "SST"},
    {SFT_ATMEL_AT25F, "ATMEL AT25F"}, {SFT_ATMEL_AT25FS, "ATMEL AT25FS"},
    {SFT_ATMEL_AT45DB, "ATMEL AT45DB"}, {SFT_WINBOND, "WINBOND"},
    {SFT_PMC, "PMC"},               {SFT_MXIC_LIKE, "MXIC-like"},
    {SFT_AMIC, "AMIC"},             {SFT_EON, "EON"},
    {SF_ESMT, "ESMT"},              {SFT_GIGA, "GIGA"},
    {SFT_FENTECH, "FENTECH"},
};

constexpr Named<DSP_ROM_TYPE> kRomSizes[] = {
    {DRT_Unknow, "unknown"}, {DRT_32K, "32 KiB"}, {DRT_64K, "64 KiB"}, {DRT_128K, "128 KiB"}, {DRT_256K, "256 KiB"},
};

template <typename T, size_t N>
std::string NameOf(const Named<T> (&table)[N], T value) {
  for (const Named<T>& entry : table)
    if (entry.value == value) return entry.name;
  return "code " + std::to_string(static_cast<int>(value));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A descriptor slot holds at most 31 characters; the buffer is larger and
// zero-filled, so the characters read always stay terminated.
constexpr long kDescriptorChars = 64;

using DescriptorRead = BOOL (*)(unsigned char*, long);

DescriptorRead ReaderOf(Descriptor which) {
  switch (which) {
    case Descriptor::kSerialNumber: return DorvakCam_GetSerialNumber;
    case Descriptor::kProduct: return DorvakCam_GetProduct;
    case Descriptor::kManufacturer: return DorvakCam_GetManufacturer;
    case Descriptor::kString3: return DorvakCam_GetString3;
    case Descriptor::kInterface: return DorvakCam_GetInterface;
  }
  return DorvakCam_GetSerialNumber;
}

// Printable form of bytes read from a camera: zero bytes (padding of short
// fields) are left out, other unprintable bytes shown as '?'.
std::string Printable(const unsigned char* bytes, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] == 0) continue;
    s += std::isprint(bytes[i]) ? static_cast<char>(bytes[i]) : '?';
  }
  return s;
}

}  // namespace

std::optional<UsbIds> ParseVidPid(const std::string& text) {
  if (text.size() != 8) return std::nullopt;
  unsigned value[8] = {};
  for (size_t i = 0; i < 8; ++i) {
    const int d = HexDigit(text[i]);
    if (d < 0) return std::nullopt;
    value[i] = static_cast<unsigned>(d);
  }
  UsbIds ids;
  ids.vid = static_cast<uint16_t>(value[0] << 12 | value[1] << 8 | value[2] << 4 | value[3]);
  ids.pid = static_cast<uint16_t>(value[4] << 12 | value[5] << 8 | value[6] << 4 | value[7]);
  return ids;
}

std::string FormatIds(UsbIds ids) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", ids.vid, ids.pid);
  return text;
}

std::string ErrorCodeName(ERROR_CODE code) { return NameOf(kErrorCodes, code); }
std::string FlashFamilyName(SERIAL_FLASH_TYPE sft) { return NameOf(kFlashFamilies, sft); }
std::string RomSizeName(DSP_ROM_TYPE type) { return NameOf(kRomSizes, type); }

Session::~Session() {
  if (open_) DorvakCam_UnInit();
}

bool Session::Open(UsbIds ids) {
  char vidpid[9];
  std::snprintf(vidpid, sizeof vidpid, "%04x%04x", ids.vid, ids.pid);
  if (!DorvakCam_Init(vidpid)) return false;
  open_ = true;
  count_ = static_cast<int>(DorvakCamera_num());

  // The SDK opens, in the order of libusb's device list, every device of
  // the identifier whose descriptor can be read, up to its table size; the
  // same walk over the same list (the SDK's default context is still open)
  // gives each camera's bus and address.
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(nullptr, &list);
  for (ssize_t i = 0; i < n && static_cast<int>(locations_.size()) < count_; ++i) {
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(list[i], &desc) < 0) continue;
    if (desc.idVendor != ids.vid || desc.idProduct != ids.pid) continue;
    locations_.push_back({libusb_get_bus_number(list[i]), libusb_get_device_address(list[i])});
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  return true;
}

void Session::Select(int index) {
  if (index >= 0 && index < count_) DorvakCamera_SetDevicesID(static_cast<unsigned>(index));
}

UsbLocation Session::Location(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= locations_.size()) return {};
  return locations_[static_cast<size_t>(index)];
}

std::string FailureReason(ERROR_CODE before) {
  const ERROR_CODE now = DorvakCam_GetErrorCode();
  // The SDK never clears its code: an unchanged code is an older one.
  if (now == before) return "no error code (a USB transfer failed or the camera refused)";
  return ErrorCodeName(now);
}

std::optional<std::string> ReadDescriptor(Descriptor which) {
  unsigned char text[kDescriptorChars + 1] = {};
  if (!ReaderOf(which)(text, kDescriptorChars)) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(text));
}

std::optional<UsbIds> ReadFirmwareIds() {
  unsigned char ids[4] = {};
  if (!DorvakCam_GetVidPid(ids, sizeof ids)) return std::nullopt;
  UsbIds out;
  out.vid = static_cast<uint16_t>(ids[0] | ids[1] << 8);
  out.pid = static_cast<uint16_t>(ids[2] | ids[3] << 8);
  return out;
}

void StoreIds(UsbIds ids, unsigned char out[4]) {
  out[0] = static_cast<unsigned char>(ids.vid & 0xFF);
  out[1] = static_cast<unsigned char>(ids.vid >> 8);
  out[2] = static_cast<unsigned char>(ids.pid & 0xFF);
  out[3] = static_cast<unsigned char>(ids.pid >> 8);
}

std::optional<std::string> ReadFirmwareVersion() {
  unsigned char version[56] = {};
  if (!DorvakCam_GetFwVersion(version, sizeof version, FALSE)) return std::nullopt;
  // Short version fields are zero-padded and the readable form keeps the
  // padding inside the string.
  return Printable(version, sizeof version);
}

std::optional<std::string> ReadRomModel() {
  BYTE rom[8] = {};
  if (!LibUsb_GetAsicRomVersion(rom)) return std::nullopt;
  // Model code, "R" and sub-variant, then the version number and two more bytes.
  char text[64];
  std::snprintf(text, sizeof text, "%s, version %u (%02x %02x)", Printable(rom, 5).c_str(), rom[5], rom[6], rom[7]);
  return std::string(text);
}

std::optional<uint8_t> ReadChipId() {
  BYTE chip = 0;
  DSP_ARCH_TYPE arch = DAT_UNKNOW;
  if (LibUsb_GetChipRomType(&chip, &arch) == DRT_Unknow) return std::nullopt;
  return chip;
}

}  // namespace dorvakctl
