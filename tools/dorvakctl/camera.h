// The attached cameras as the tool sees them: opening the SDK, selecting a
// camera, and the readouts that list and info print.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DorvakCamera.h"

namespace dorvakctl {

struct UsbIds {
  uint16_t vid = 0, pid = 0;
};

// "4e7a91c3": exactly 8 hexadecimal digits, vendor then product.
std::optional<UsbIds> ParseVidPid(const std::string& text);
std::string FormatIds(UsbIds ids);  // "4e7a:91c3"

// The enumeration name of an SDK error code ("EC_BurnerCheckFail").
std::string ErrorCodeName(ERROR_CODE code);
std::string FlashFamilyName(SERIAL_FLASH_TYPE sft);
std::string RomSizeName(DSP_ROM_TYPE type);

struct UsbLocation {
  int bus = -1, address = -1;  // -1: not known
};

// The SDK, open on every camera of one identifier for the life of the
// object.  The SDK keeps one process-wide state, so there is one session.
class Session {
 public:
  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Opens the SDK; false when no camera of `ids` could be opened.
  bool Open(UsbIds ids);
  int count() const { return count_; }
  // Makes camera `index` (enumeration order) the one every later call reaches.
  void Select(int index);
  // Bus and address of camera `index`, from libusb's device list walked the
  // way the SDK's enumeration walks it.
  UsbLocation Location(int index) const;

 private:
  bool open_ = false;
  int count_ = 0;
  std::vector<UsbLocation> locations_;
};

// The SDK's last error code, with the code it had before an operation: a
// failure that stored no code of its own is reported as such.
std::string FailureReason(ERROR_CODE before);

// Readouts of the selected camera; nullopt when the camera does not answer.
enum class Descriptor { kSerialNumber, kProduct, kManufacturer, kString3, kInterface };
std::optional<std::string> ReadDescriptor(Descriptor which);
std::optional<UsbIds> ReadFirmwareIds();
std::optional<std::string> ReadFirmwareVersion();
std::optional<std::string> ReadRomModel();
std::optional<uint8_t> ReadChipId();

// The 4 identifier bytes as the parameter table keeps them.
void StoreIds(UsbIds ids, unsigned char out[4]);

}  // namespace dorvakctl
