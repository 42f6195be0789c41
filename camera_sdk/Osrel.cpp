// ASIC access layer.  Every exchange with the camera ASIC is a UVC
// extension-unit control transfer on interface 0 of the selected camera;
// the serial flash and the image sensor are driven through ASIC registers.
#include "Osrel.h"

#include "ROMData.h"
#include "SFData.h"

#include <libusb.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

extern "C" {

// ------------------------------------------------------------------ state

libusb_device** devs = nullptr;
libusb_device_handle* devh = nullptr;
libusb_device_handle* devh1[DORVAK_MAX_DEVICES] = {};
BYTE devices_num = 0;
BYTE devices_ID = 0;
USHORT g_CurDspExtendUnitID = 0x0300;

USHORT dspIdAddr = 0x101F, sfRdyAddr = 0x1084, usbResetAddr = 0x1073, gpioInputAddr = 0x1005,
       gpioOutputAddr = 0x1006, gpioOEAddr = 0x1007, sfModeAddr = 0x1080, sfCSAddr = 0x1091,
       sfWriteDataAddr = 0x1082, sfReadDataAddr = 0x1083, sfReadWriteTriggerAddr = 0x1081,
       i2cDev = 0x10D0, i2cMode = 0x10D9, i2cTrg = 0x10D7, i2cSclSelOD = 0x10D8,
       i2cSlaveID = 0x10D1, i2cDataArrStartAddr = 0x10D2;

BYTE sfManufactureID = 0, sfDeviceID1 = 0, sfDeviceID2 = 0, ubSFLib_CmdID = 0;

uint32_t uiRomID = 0;

ERROR_CODE gEC = EC_UnKnow;

}  // extern "C"

namespace {

// True between a successful enumeration and the close: the layer then
// holds the device list, the handles and one reference to the default
// libusb context.
bool s_open = false;
// Interface 0 of this handle was detached or claimed by the layer, so the
// close gives it back.
bool s_prepared[DORVAK_MAX_DEVICES] = {};

// ------------------------------------------------------------- transport

constexpr uint8_t kSetCurRequestType = 0x21;  // class request, interface, host to device
constexpr uint8_t kGetCurRequestType = 0xA1;  // class request, interface, device to host
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr unsigned kTransferTimeoutMs = 1000;

// Control selectors of the ASIC's extension unit.
constexpr uint8_t kSelectorRegister = 1;
constexpr uint8_t kSelectorFlashData = 3;
constexpr uint8_t kSelectorRom = 4;
constexpr uint8_t kSelectorMemType = 5;

constexpr uint16_t kRegisterPacket = 4;
constexpr uint16_t kDataPacket = 11;  // flash data, ROM, memory type
constexpr int64_t kFlashDataLimit = 0x3FFFF;  // highest address the flash-data transfer reaches

int xuTransfer(bool toHost, uint8_t cs, uint16_t wIndex, BYTE* data, uint16_t length) {
  if (devh == nullptr) return LIBUSB_ERROR_NO_DEVICE;
  return libusb_control_transfer(devh, toHost ? kGetCurRequestType : kSetCurRequestType,
                                 toHost ? kGetCur : kSetCur, static_cast<uint16_t>(cs << 8),
                                 wIndex, data, length, kTransferTimeoutMs);
}
int setCur(uint8_t cs, BYTE* data, uint16_t length) {
  return xuTransfer(false, cs, g_CurDspExtendUnitID, data, length);
}
int getCur(uint8_t cs, BYTE* data, uint16_t length) {
  return xuTransfer(true, cs, g_CurDspExtendUnitID, data, length);
}

// Bank bits of the flash-data control byte: one bank per 64 KiB.
BYTE flashBank(int64_t addr) {
  if (addr <= 0xFFFF) return 0;
  if (addr <= 0x1FFFF) return 1;
  if (addr <= 0x2FFFF) return 2;
  return 3;
}

void buildFlashDataRequest(BYTE packet[kDataPacket], int64_t addr, BYTE count, bool read) {
  memset(packet, 0, kDataPacket);
  packet[0] = static_cast<BYTE>(addr & 0xFF);
  packet[1] = static_cast<BYTE>((addr >> 8) & 0xFF);
  packet[2] = static_cast<BYTE>((read ? 0x80 : 0x00) | (flashBank(addr) << 4) | count);
}

// ------------------------------------------------------------- devices

bool kernelDriverActive(libusb_device_handle* h) { return libusb_kernel_driver_active(h, 0) == 1; }

void releaseHandle(int i) {
  libusb_device_handle* h = devh1[i];
  if (h == nullptr) return;
  if (s_prepared[i]) {
    libusb_release_interface(h, 0);
    if (libusb_kernel_driver_active(h, 0) == 0) libusb_attach_kernel_driver(h, 0);
  }
  libusb_close(h);
  devh1[i] = nullptr;
  s_prepared[i] = false;
}

// Gives back every handle and the device list and resets the table.
void releaseDevices() {
  for (int i = 0; i < DORVAK_MAX_DEVICES; ++i) releaseHandle(i);
  if (devs != nullptr) libusb_free_device_list(devs, 1);
  devs = nullptr;
  devh = nullptr;
  devices_num = 0;
  devices_ID = 0;
}

// A failed enumeration leaves nothing behind, the default context included.
BOOL failEnumeration() {
  releaseDevices();
  libusb_exit(nullptr);
  return 0;
}

constexpr int kClaimAttempts = 3;

bool claimPrimaryInterface() {
  if (kernelDriverActive(devh)) libusb_detach_kernel_driver(devh, 0);
  s_prepared[0] = true;
  for (int attempt = 1; attempt <= kClaimAttempts; ++attempt) {
    const int r = libusb_claim_interface(devh, 0);
    if (r >= 0) return true;
    fprintf(stderr, "usb_claim_interface error %d %s\n", r, strerror(-r));
    if (attempt < kClaimAttempts) {
      libusb_detach_kernel_driver(devh, 0);
      libusb_set_configuration(devh, 1);
    }
  }
  return false;
}

// ------------------------------------------------------------- flash protocol

// One function per byte-level step; each is a few register transfers.
bool sfManualMode(bool on) { return LibUsb_WriteToASIC(sfModeAddr, on ? 1 : 0); }
bool sfSelect() { return LibUsb_WriteToASIC(sfCSAddr, 0); }
bool sfRelease() { return LibUsb_WriteToASIC(sfCSAddr, 1); }
bool sfSend(BYTE b) {
  return LibUsb_WriteToASIC(sfWriteDataAddr, b) && LibUsb_WriteToASIC(sfReadWriteTriggerAddr, 1) &&
         LibUsb_SFWaitReady();
}
// Stores the byte only when it was read.
bool sfReceive(BYTE* out) {
  return LibUsb_WriteToASIC(sfReadDataAddr, 0) && LibUsb_WriteToASIC(sfReadWriteTriggerAddr, 2) &&
         LibUsb_SFWaitReady() && LibUsb_ReadFromASIC(sfReadDataAddr, out);
}
bool sfSendAddress(int64_t addr) {
  return sfSend(static_cast<BYTE>((addr >> 16) & 0xFF)) && sfSend(static_cast<BYTE>((addr >> 8) & 0xFF)) &&
         sfSend(static_cast<BYTE>(addr & 0xFF));
}
// A complete one-byte command: select, opcode, release.
bool sfCommand(BYTE opcode) { return sfSelect() && sfSend(opcode) && sfRelease(); }

constexpr BYTE kSfWriteEnable = 0x06;
constexpr BYTE kSfReadStatus = 0x05;
constexpr BYTE kSfWriteStatus = 0x01;
constexpr BYTE kSfEnableWriteStatus = 0x50;
constexpr BYTE kSfStatusBusy = 0x01;

constexpr int kReadyPolls = 50;
constexpr int kStatusPolls = 10000;
constexpr useconds_t kPollPauseUs = 1000;

// Ends a command sequence in manual mode, on every path: after a failure
// the flash is released first, so the ASIC gets it back in a clean state.
// True when the sequence and the way out succeeded.
bool sfEndManualMode(bool ok) {
  if (!ok) sfRelease();
  return sfManualMode(false) && ok;
}

// Sector and block erase: write enable, opcode, 24-bit address.  The
// erase time is awaited by the caller.  False when a step failed: the
// erase may not have reached the flash.
bool sfEraseAt(BYTE opcode, int64_t addr) {
  const bool ok = sfManualMode(true) && sfCommand(kSfWriteEnable) && sfSelect() && sfSend(opcode) &&
                  sfSendAddress(addr) && sfRelease() && LibUsb_SFWaitReady();
  return sfEndManualMode(ok);
}

// Clears the status register (block protection bits and SRWD) in manual
// mode.  On failure the flash is released and manual mode left, so the
// ASIC gets its flash back.
bool sfClearStatusRegister(SERIAL_FLASH_TYPE sft) {
  const bool ok = sfManualMode(true) && sfCommand(kSfWriteEnable) && LibUsb_SFCMDreadStatus() &&
                  (sft != SFT_SST || sfCommand(kSfEnableWriteStatus)) && sfSelect() &&
                  sfSend(kSfWriteStatus) && sfSend(0x00) && sfRelease() && LibUsb_SFCMDreadStatus() &&
                  sfManualMode(false);
  if (!ok) {
    sfRelease();
    sfManualMode(false);
  }
  return ok;
}

// ------------------------------------------------------------- write protect

// First-architecture registers used by the write-protect handling and the
// ROM refinements; absolute, not from the current map.
constexpr USHORT kGpioInput = 0x1005;
constexpr USHORT kGpioOutput = 0x1006;
constexpr USHORT kGpioOutputEnable = 0x1007;
constexpr USHORT kChipIdRegister = 0x101F;

// Firmware flash-command registers.
constexpr USHORT kFwWriteEnableOpcode = 0x05F3;
constexpr USHORT kFwPageProgramOpcode = 0x05F5;
constexpr USHORT kFwCommandKeys[] = {0x05F8, 0x05F9, 0x05FA, 0x05FB};
constexpr BYTE kFwCommandKeyValues[] = {0x12, 0x12, 0xED, 0xED};

bool isOlderWriteProtectModel(uint32_t model) {
  return model == ROMM23 || model == ROMM24 || model == ROMM12V2 || model == ROMM25;
}

// Drives the GPIO preparation: bits 0-4 of output and output enable set
// on 64K chips, the whole registers on the others.
void prepareGpios(DSP_ROM_TYPE romType) {
  BYTE v = 0;
  LibUsb_ReadFromASIC(gpioOutputAddr, &v);
  LibUsb_WriteToASIC(gpioOutputAddr, romType == DRT_64K ? static_cast<BYTE>(v | 0x1F) : 0xFF);
  LibUsb_ReadFromASIC(gpioOutputAddr, &v);
  LibUsb_ReadFromASIC(gpioOEAddr, &v);
  LibUsb_WriteToASIC(gpioOEAddr, romType == DRT_64K ? static_cast<BYTE>(v | 0x1F) : 0xFF);
}

// Opcodes the firmware uses for its own flash writes.  The newer format
// takes them from the identified flash's command set; when nothing was
// identified yet (row 0 would give write disable and read), from the
// command set of the caller's flash family.
bool setFirmwareFlashCommands(bool newerFormat, SERIAL_FLASH_TYPE sft) {
  BYTE v = 0;
  if (!LibUsb_ReadFromASIC(kFwWriteEnableOpcode, &v)) return false;
  const BYTE row = ubSFLib_CmdID != 0 ? ubSFLib_CmdID : SFData_CmdRowForType(sft);
  const BYTE wren = newerFormat ? cbSFLib_Cmd[row][SFCMD_IDX_WREN] : kSfWriteEnable;
  if (!LibUsb_WriteToASIC(kFwWriteEnableOpcode, wren)) return false;
  for (size_t i = 0; i < sizeof kFwCommandKeys / sizeof kFwCommandKeys[0]; ++i)
    if (!LibUsb_WriteToASIC(kFwCommandKeys[i], kFwCommandKeyValues[i])) return false;
  if (!LibUsb_ReadFromASIC(kFwPageProgramOpcode, &v)) return false;
  const BYTE pp = newerFormat ? cbSFLib_Cmd[row][SFCMD_IDX_PP]
                              : (sft == SFT_SST ? BYTE{0xAF} : BYTE{0x02});
  return LibUsb_WriteToASIC(kFwPageProgramOpcode, pp);
}

void setBit(USHORT addr, BYTE bit) { LibUsb_EnableAsicRegisterBit(addr, bit); }
void clearBit(USHORT addr, BYTE bit) { LibUsb_DisableAsicRegisterBit(addr, bit); }

// Sets the write-protect pin as the configuration byte asks: action 1
// drives it low, any other non-zero action high.
// A failed register transfer here leaves the pin where it was, and the
// flash protected: it fails the removal rather than let the status write
// that follows be refused unseen.
bool driveWriteProtectPin(uint32_t model, BYTE gpio, BYTE action) {
  const BYTE mask = static_cast<BYTE>(1u << gpio);
  if (model == ROMM24) {
    bool ok = true;
    if (action != 0) {
      ok = LibUsb_WriteToASIC(kGpioOutputEnable, mask) &&
           LibUsb_WriteToASIC(kGpioOutput, action == 1 ? static_cast<BYTE>(~mask) : mask);
    }
    return ok && LibUsb_EnableAsicRegisterBit(kGpioOutput, 2) && LibUsb_EnableAsicRegisterBit(kGpioOutputEnable, 2) &&
           LibUsb_EnableAsicRegisterBit(0x17C1, 0) && LibUsb_EnableAsicRegisterBit(0x17C2, 0);
  }
  if (model == ROMM23 || action == 0) return true;
  BYTE oe = 0, out = 0;
  if (!LibUsb_ReadFromASIC(kGpioOutputEnable, &oe) || !LibUsb_ReadFromASIC(kGpioOutput, &out))
    return false;
  if (!LibUsb_WriteToASIC(kGpioOutputEnable, static_cast<BYTE>(oe | mask))) return false;
  const BYTE level = action == 1 ? static_cast<BYTE>(out & ~mask) : static_cast<BYTE>(out | mask);
  return LibUsb_WriteToASIC(kGpioOutput, level);
}

// ------------------------------------------------------------- sensor

constexpr BYTE kI2cStart = 0x80;
constexpr BYTE kI2cRead = 0x02;
constexpr BYTE kI2cTrigger = 0x10;
constexpr BYTE kI2cDone = 0x04;
constexpr BYTE kI2cFailed = 0x08;
constexpr int kI2cStatusPolls = 10;
constexpr int kI2cDataRegisters = 5;

// Mode, optional clock polling and open-drain select before a transaction.
bool i2cPrepare(BOOL pollSCL) {
  if (!LibUsb_WriteToASIC(i2cMode, 1)) return false;
  if (pollSCL) {
    BYTE mode = 0;
    LibUsb_ReadFromASIC(i2cMode, &mode);
    LibUsb_WriteToASIC(i2cMode, static_cast<BYTE>(mode | 0x03));
  }
  return LibUsb_WriteToASIC(i2cSclSelOD, 1);
}

// Control byte (speed bit copied from the register), slave, the five data
// registers, trigger.
bool i2cStart(BYTE control, BYTE slaveID, const BYTE data[kI2cDataRegisters]) {
  BYTE dev = 0;
  if (!LibUsb_ReadFromASIC(i2cDev, &dev)) return false;
  if (!LibUsb_WriteToASIC(i2cDev, static_cast<BYTE>(control | (dev & 0x01)))) return false;
  if (!LibUsb_WriteToASIC(i2cSlaveID, slaveID)) return false;
  for (int i = 0; i < kI2cDataRegisters; ++i)
    if (!LibUsb_WriteToASIC(static_cast<USHORT>(i2cDataArrStartAddr + i), data[i])) return false;
  return LibUsb_WriteToASIC(i2cTrg, kI2cTrigger);
}

// Polls the status up to ten times; success is "finished, not failed".
bool i2cWaitDone() {
  BYTE status = 0;
  for (int i = 0; i < kI2cStatusPolls; ++i) {
    if (!LibUsb_ReadFromASIC(i2cDev, &status)) return false;
    if (status & kI2cDone) break;
    usleep(1);
  }
  return (status & (kI2cDone | kI2cFailed)) == kI2cDone;
}

// The read phase after the register address was written: `count` bytes
// arrive in the last data registers.
bool i2cReadPhase(BYTE slaveID, int count, BOOL pollSCL) {
  const BYTE zeros[kI2cDataRegisters] = {};
  return i2cPrepare(pollSCL) &&
         i2cStart(static_cast<BYTE>(kI2cStart | kI2cRead | (count << 4)), slaveID, zeros) &&
         i2cWaitDone();
}

// ------------------------------------------------------------- layout

constexpr int64_t kSectorTableAddr = 0x160;
constexpr int kShortSectorTable = 32;
constexpr int kLongSectorTable = 43;

uint32_t bigEndian32(const BYTE* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Finds the parameter table of the attached chip's ROM model, taking the
// sector table from `image` or, when it is null, from the flash.
BOOL discoverLayout(const BYTE* image, uint64_t* start, uint64_t* end, uint64_t* crc) {
  if (start == nullptr || end == nullptr || crc == nullptr) return 0;
  BYTE rom[8] = {};
  if (!LibUsb_GetAsicRomVersion(rom)) return 0;
  const ParaTableLayoutRule* rule = RomData_FindLayoutRule(rom);
  if (rule->kind == LAYOUT_NONE) return 0;
  if (rule->kind == LAYOUT_FIXED) {
    *start = rule->start;
    *end = uint64_t{rule->start} + rule->length;
    *crc = rule->crc;
    return 1;
  }
  const int length = rule->kind == LAYOUT_SHORT_TABLE ? kShortSectorTable : kLongSectorTable;
  BYTE table[kLongSectorTable] = {};
  if (image != nullptr)
    memcpy(table, image + kSectorTableAddr, static_cast<size_t>(length));
  else if (!LibUsb_ReadFormSF(kSectorTableAddr, table, length))
    return 0;
  if (rule->kind == LAYOUT_SHORT_TABLE) {
    *start = uint64_t{table[8]} * 0x100;
    *end = *start + uint64_t{table[9]} * 0x100;
    *crc = uint64_t{table[14]} * 0x100;
  } else {
    *start = bigEndian32(table + 15);
    *end = *start + bigEndian32(table + 19);
    *crc = bigEndian32(table + 39);
  }
  return 1;
}

constexpr int kStringSlot = 64;
constexpr int kPlainStringMax = 32;
// A protected slot holds its two header bytes and at most 31 characters.
constexpr int kDescriptorStringMax = (kStringSlot - 2) / 2;

// ------------------------------------------------------------- ROM

constexpr USHORT kRefineRegister11 = 0x1185;
constexpr USHORT kStrapControl = 0x100A;

void setModelCode(BYTE* romVersion, const char* code) { memcpy(romVersion, code, 3); }

// Reads the chip identification with bit 4 of 0x100A cleared, restoring it after.
BYTE chipIdWithStrapControlCleared() {
  BYTE ctrl = 0, id = 0;
  LibUsb_ReadFromASIC(kStrapControl, &ctrl);
  LibUsb_WriteToASIC(kStrapControl, static_cast<BYTE>(ctrl & ~0x10));
  LibUsb_ReadFromASIC(kChipIdRegister, &id);
  LibUsb_WriteToASIC(kStrapControl, ctrl);
  return id;
}

// Drives strap pin `bit` high as an input test: output enable cleared,
// output set, then the input level.
bool strapInputHigh(BYTE bit) {
  clearBit(kGpioOutputEnable, bit);
  setBit(kGpioOutput, bit);
  BYTE in = 0;
  LibUsb_ReadFromASIC(kGpioInput, &in);
  return (in >> bit) & 1;
}

void refineM11(BYTE* romVersion) {
  BYTE v = 0, back = 0;
  LibUsb_ReadFromASIC(kRefineRegister11, &v);
  const BYTE written = static_cast<BYTE>(v | 0x70);
  LibUsb_WriteToASIC(kRefineRegister11, written);
  LibUsb_ReadFromASIC(kRefineRegister11, &back);
  if ((back & 0x70) == (written & 0x70)) romVersion[4] = '1';
}

void refineM15(BYTE* romVersion) {
  BYTE id = 0;
  LibUsb_ReadFromASIC(kChipIdRegister, &id);
  if (id == 0xF8) {
    setModelCode(romVersion, "M28");
    uiRomID = ROMM28V1;
    return;
  }
  if (strapInputHigh(5))
    romVersion[4] = '1';
  else
    clearBit(kGpioOutput, 5);
}

void refineM17(BYTE* romVersion) {
  if (chipIdWithStrapControlCleared() == 0xEA) {
    setModelCode(romVersion, "M16");
    uiRomID = ROMM16V1;
  }
  if (strapInputHigh(3)) {
    romVersion[4] = '1';
    clearBit(kGpioOutput, 3);
    return;
  }
  if (strapInputHigh(4)) {
    romVersion[4] = '0';
  } else if (uiRomID == ROMM16V1) {
    romVersion[4] = '2';
    clearBit(kGpioOutput, 4);
  }
}

void refineM19(BYTE* romVersion) {
  if (chipIdWithStrapControlCleared() == 0xF2) {
    setModelCode(romVersion, "M18");
    uiRomID = ROMM18V1;
  }
  if (strapInputHigh(3)) {
    romVersion[4] = '1';
    clearBit(kGpioOutput, 3);
  } else {
    romVersion[4] = '0';
  }
}

}  // namespace

extern "C" {

// =================================================================== devices

BOOL VidPidStringToInt(const char* vidpid, USHORT* vid, USHORT* pid) {
  if (vidpid == nullptr) return 1;
  if (strnlen(vidpid, 9) != 8 || vid == nullptr || pid == nullptr) return 0;
  *vid = 0;
  *pid = 0;
  for (int i = 0; i < 4; ++i) {
    *vid = static_cast<USHORT>(*vid + chr2hex(vidpid[i]) * cal_pow(16, 3 - i));
    *pid = static_cast<USHORT>(*pid + chr2hex(vidpid[4 + i]) * cal_pow(16, 3 - i));
  }
  return 1;
}

int chr2hex(char chr) {
  if (chr >= '0' && chr <= '9') return chr - '0';
  if (chr >= 'A' && chr <= 'F') return chr - 'A' + 10;
  if (chr >= 'a' && chr <= 'f') return chr - 'a' + 10;
  return 0;
}

int cal_pow(int src, int v) {
  unsigned result = 1;  // unsigned: an overflowing power wraps instead of being undefined
  for (int i = 0; i < v; ++i) result *= static_cast<unsigned>(src);
  return static_cast<int>(result);
}

BOOL LibUsb_EnumDevice(const char* vidpid) {
  if (s_open) LibUsb_CloseDevice();
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(nullptr, &list);
  if (count < 0) {
    libusb_exit(nullptr);
    return 0;
  }
  devs = list;
  USHORT vid = 0, pid = 0;
  if (vidpid == nullptr || !VidPidStringToInt(vidpid, &vid, &pid)) return failEnumeration();

  for (ssize_t i = 0; i < count && devices_num < DORVAK_MAX_DEVICES; ++i) {
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(devs[i], &desc) < 0) {
      fprintf(stderr, "failed to get device descriptor\n");
      continue;  // nothing to compare: the device is skipped
    }
    if (desc.idVendor != vid || desc.idProduct != pid) continue;
    printf("%04x:%04x (bus %d, device %d)\n", desc.idVendor, desc.idProduct,
           libusb_get_bus_number(devs[i]), libusb_get_device_address(devs[i]));
    if (libusb_open(devs[i], &devh1[devices_num]) < 0) {
      devh1[devices_num] = nullptr;
      return failEnumeration();
    }
    ++devices_num;
  }
  if (devh1[0] == nullptr) return failEnumeration();  // no camera of that identifier

  devh = devh1[0];
  devices_ID = 0;
  if (!claimPrimaryInterface()) {
    printf("usb claim interface failed\n");
    return failEnumeration();
  }
  const USHORT unit = GetUVCExtendUnitID();
  if (unit == 0) return failEnumeration();
  g_CurDspExtendUnitID = unit;
  if (LibUsb_GetChipRomType(nullptr, nullptr) == DRT_Unknow) return failEnumeration();
  s_open = true;
  return 1;
}

BOOL LibUsb_CloseDevice(void) {
  if (!s_open) return 1;
  releaseDevices();
  libusb_exit(nullptr);
  s_open = false;
  return 1;
}

uint32_t Get_Devices_num(void) { return devices_num; }

void SET_DevicesID(BYTE ID) {
  if (ID >= devices_num || devh1[ID] == nullptr) return;
  devices_ID = ID;
  devh = devh1[ID];
  if (kernelDriverActive(devh)) libusb_detach_kernel_driver(devh, 0);
  libusb_claim_interface(devh, 0);
  s_prepared[ID] = true;
  printf("devices_ID=%d\n", ID);
  // The selected camera gets every transfer, on its own unit and register map.
  const USHORT unit = GetUVCExtendUnitID();
  if (unit != 0) g_CurDspExtendUnitID = unit;
}

USHORT GetUVCExtendUnitID(void) {
  static const USHORT kUnits[] = {0x0300, 0x0400};
  for (USHORT unit : kUnits) {
    g_CurDspExtendUnitID = unit;
    if (LibUsb_GetChipRomType(nullptr, nullptr) != DRT_Unknow) return unit;
  }
  printf("Get uvc extend unit id fail\n");
  return 0;
}

// ================================================================= transfers

BOOL LibUsb_ReadFromASIC(USHORT addr, BYTE* pValue) {
  if (pValue == nullptr) return 0;
  BYTE packet[kRegisterPacket] = {static_cast<BYTE>(addr & 0xFF), static_cast<BYTE>(addr >> 8), 0x00, 0xFF};
  setCur(kSelectorRegister, packet, kRegisterPacket);
  const int r = getCur(kSelectorRegister, packet, kRegisterPacket);
  if (r < 0) {
    fprintf(stderr, "F0 error %d\n", r);
    return 0;
  }
  *pValue = packet[2];
  return 1;
}

BOOL LibUsb_WriteToASIC(USHORT addr, BYTE value) {
  BYTE packet[kRegisterPacket] = {static_cast<BYTE>(addr & 0xFF), static_cast<BYTE>(addr >> 8), value, 0x00};
  const int r = setCur(kSelectorRegister, packet, kRegisterPacket);
  if (r < 0) {
    fprintf(stderr, "F1 error %d\n", r);
    return 0;
  }
  return 1;
}

BOOL LibUsb_ReadFromROM(int64_t addr, BYTE* data) {
  if (data == nullptr) return 0;
  BYTE packet[kDataPacket] = {static_cast<BYTE>(addr & 0xFF), static_cast<BYTE>((addr >> 8) & 0xFF), 0x08};
  setCur(kSelectorRom, packet, kDataPacket);
  const int r = getCur(kSelectorRom, packet, kDataPacket);
  if (r < 0) {
    fprintf(stderr, "F2 error %d\n", r);
    return 0;
  }
  memcpy(data, packet + 3, 8);
  return 1;
}

// Addresses past the last bank would alias into it, so they are refused.
BOOL LibUsb_ReadDataFormFlash(int64_t addr, BYTE* pData, BYTE dataLen) {
  if (dataLen > 8) dataLen = 8;
  if (addr < 0 || addr + (dataLen ? dataLen - 1 : 0) > kFlashDataLimit || (pData == nullptr && dataLen)) {
    fprintf(stderr, "F3 error %d\n", LIBUSB_ERROR_INVALID_PARAM);
    return 0;
  }
  BYTE packet[kDataPacket];
  buildFlashDataRequest(packet, addr, dataLen, true);
  setCur(kSelectorFlashData, packet, kDataPacket);
  const int r = getCur(kSelectorFlashData, packet, kDataPacket);
  if (r < 0) {
    fprintf(stderr, "F3 error %d\n", r);
    return 0;
  }
  if (dataLen) memcpy(pData, packet + 3, dataLen);
  return 1;
}

BOOL LibUsb_WriteDataToFlash(int64_t addr, BYTE* pData, BYTE dataLen) {
  if (dataLen > 8) dataLen = 8;
  if (addr < 0 || addr + (dataLen ? dataLen - 1 : 0) > kFlashDataLimit || (pData == nullptr && dataLen)) {
    fprintf(stderr, "F4 error %d\n", LIBUSB_ERROR_INVALID_PARAM);
    return 0;
  }
  BYTE packet[kDataPacket];
  buildFlashDataRequest(packet, addr, dataLen, false);
  if (dataLen) memcpy(packet + 3, pData, dataLen);
  const int r = setCur(kSelectorFlashData, packet, kDataPacket);
  if (r < 0) {
    fprintf(stderr, "F4 error %d\n", r);
    return 0;
  }
  return 1;
}

BOOL LibUsb_GetMemType(BYTE* pMemType) {
  if (pMemType == nullptr) return 0;
  BYTE packet[kDataPacket] = {};
  if (getCur(kSelectorMemType, packet, kDataPacket) < 0) return 0;
  *pMemType = packet[2];
  return 1;
}

static BOOL rawTransfer(bool toHost, BYTE* pData, uint32_t length, BYTE unitID, BYTE cs) {
  if (length > 0xFFFF || (pData == nullptr && length != 0)) return 0;
  const uint16_t wIndex = static_cast<uint16_t>(unitID << 8);
  return xuTransfer(toHost, cs, wIndex, pData, static_cast<uint16_t>(length)) >= 0;
}

BOOL LibUsb_Read(BYTE* pData, uint32_t length, BYTE unitID, BYTE cs) {
  return rawTransfer(true, pData, length, unitID, cs);
}
BOOL LibUsb_Write(BYTE* pData, uint32_t length, BYTE unitID, BYTE cs) {
  return rawTransfer(false, pData, length, unitID, cs);
}
BOOL XU_Read(BYTE* pData, uint32_t length, BYTE unitID, BYTE cs) {
  return LibUsb_Read(pData, length, unitID, cs);
}
BOOL XU_Write(BYTE* pData, uint32_t length, BYTE unitID, BYTE cs) {
  return LibUsb_Write(pData, length, unitID, cs);
}

// ============================================================ register map

BOOL LibUsb_SetAsicArchInfo(DSP_ARCH_TYPE dspArchType) {
  if (dspArchType < DAT_FIRST || dspArchType >= DSP_ARCH_COUNT) return 0;
  const DSP_ARCH_INFO& m = g_AsicArchInfo[dspArchType];
  dspIdAddr = m.asicIdAddr;
  sfRdyAddr = m.sfRdyAddr;
  usbResetAddr = m.usbResetAddr;
  gpioInputAddr = m.gpioInputAddr;
  gpioOutputAddr = m.gpioOutputAddr;
  gpioOEAddr = m.gpioOEAddr;
  sfModeAddr = m.sfModeAddr;
  sfCSAddr = m.sfCSAddr;
  sfWriteDataAddr = m.sfWriteDataAddr;
  sfReadDataAddr = m.sfReadDataAddr;
  sfReadWriteTriggerAddr = m.sfReadWriteTriggerAddr;
  i2cDev = m.i2cDev;
  i2cMode = m.i2cMode;
  i2cTrg = m.i2cTrg;
  i2cSclSelOD = m.i2cSclSelOD;
  i2cSlaveID = m.i2cSlaveID;
  i2cDataArrStartAddr = m.i2cDataArrStartAddr;
  return 1;
}

BOOL LibUsb_GetChipID(int64_t idAddr, BYTE* pChipID) {
  return LibUsb_ReadFromASIC(static_cast<USHORT>(idAddr & 0xFFFF), pChipID);
}

DSP_ROM_TYPE LibUsb_GetChipRomType(BYTE* dspChipID, DSP_ARCH_TYPE* dspArchType) {
  for (int row = DAT_FIRST; row < DSP_ARCH_COUNT; ++row) {
    BYTE id = 0;
    if (!LibUsb_GetChipID(g_AsicArchInfo[row].asicIdAddr, &id)) return DRT_Unknow;
    const ChipIdInfo* chip = RomData_FindChip(id);
    if (chip == nullptr) continue;
    // The architecture comes from the table, not from the row that was read.
    if (dspChipID != nullptr) *dspChipID = id;
    if (dspArchType != nullptr) *dspArchType = chip->arch;
    LibUsb_SetAsicArchInfo(chip->arch);
    return chip->romType;
  }
  return DRT_Unknow;
}

BOOL LibUsb_EnableAsicRegisterBit(USHORT addr, BYTE bit) {
  BYTE v = 0;
  if (bit > 7 || !LibUsb_ReadFromASIC(addr, &v)) return 0;
  return LibUsb_WriteToASIC(addr, static_cast<BYTE>(v | (1u << bit)));
}

BOOL LibUsb_DisableAsicRegisterBit(USHORT addr, BYTE bit) {
  BYTE v = 0;
  if (bit > 7 || !LibUsb_ReadFromASIC(addr, &v)) return 0;
  return LibUsb_WriteToASIC(addr, static_cast<BYTE>(v & ~(1u << bit)));
}

BYTE LibUsb_ReadBitFormAsic(USHORT addr, BYTE bit) {
  BYTE v = 0;
  if (bit > 7 || !LibUsb_ReadFromASIC(addr, &v)) return 0;
  return static_cast<BYTE>(v & (1u << bit));
}

// ================================================================== sensor

BOOL LibUsb_CustomWriteToSensor(BYTE slaveID, USHORT addr, USHORT addrByteNum, USHORT data,
                                int64_t dataByteNum, BOOL pollSCL) {
  if (!i2cPrepare(pollSCL)) return 0;
  BYTE regs[kI2cDataRegisters] = {};
  int n = 0;
  if (addrByteNum > 1) regs[n++] = static_cast<BYTE>(addr >> 8);
  regs[n++] = static_cast<BYTE>(addr & 0xFF);
  if (dataByteNum > 1) regs[n++] = static_cast<BYTE>(data >> 8);
  regs[n++] = static_cast<BYTE>(data & 0xFF);
  const uint64_t count = uint64_t{addrByteNum} + static_cast<uint64_t>(dataByteNum);
  const BYTE control = static_cast<BYTE>((kI2cStart | (count << 4)) & 0xFF);
  return i2cStart(control, slaveID, regs) && i2cWaitDone();
}

BOOL LibUsb_CustomReadFromSensor(BYTE slaveID, USHORT addr, USHORT addrByteNum, USHORT* pData,
                                 int64_t dataByteNum, BOOL pollSCL) {
  if (dataByteNum == 0 || pData == nullptr) return 0;
  const USHORT addrWidth = addrByteNum > 2 ? USHORT{2} : addrByteNum;
  const int dataWidth = dataByteNum > 2 ? 2 : static_cast<int>(dataByteNum);
  if (dataWidth < 0) return 0;
  if (!LibUsb_CustomWriteToSensor(slaveID, addr, addrWidth, 0, 0, pollSCL)) return 0;
  if (!i2cReadPhase(slaveID, dataWidth, pollSCL)) return 0;
  BYTE v = 0;
  for (int i = 0; i < 4; ++i)
    if (!LibUsb_ReadFromASIC(static_cast<USHORT>(i2cDataArrStartAddr + i), &v)) return 0;
  if (dataWidth == 2) *pData = static_cast<USHORT>(v << 8);
  if (!LibUsb_ReadFromASIC(static_cast<USHORT>(i2cDataArrStartAddr + 4), &v)) return 0;
  if (dataWidth == 2)
    *pData = static_cast<USHORT>(*pData | v);
  else
    *pData = v;
  return 1;
}

// Plain sensor access: a 16-bit register address and up to three data
// bytes fill the master's five data registers.
constexpr int64_t kPlainSensorMax = 3;

BOOL LibUsb_ReadFromSensor(BYTE slaveID, USHORT addr, BYTE* pData, int64_t len) {
  if (len <= 0) return 1;
  if (len > kPlainSensorMax || pData == nullptr) return 0;
  const int count = static_cast<int>(len);
  if (!LibUsb_CustomWriteToSensor(slaveID, addr, 2, 0, 0, FALSE)) return 0;
  if (!i2cReadPhase(slaveID, count, FALSE)) return 0;
  BYTE bytes[kPlainSensorMax] = {};
  for (int i = 0; i < count; ++i) {
    const int reg = kI2cDataRegisters - count + i;
    if (!LibUsb_ReadFromASIC(static_cast<USHORT>(i2cDataArrStartAddr + reg), &bytes[i])) return 0;
  }
  memcpy(pData, bytes, static_cast<size_t>(count));
  return 1;
}

BOOL LibUsb_WriteToSensor(BYTE slaveID, USHORT addr, BYTE* pData, int64_t len) {
  if (len <= 0) return 1;
  if (len > kPlainSensorMax || pData == nullptr) return 0;
  const int count = static_cast<int>(len);
  BYTE regs[kI2cDataRegisters] = {static_cast<BYTE>(addr >> 8), static_cast<BYTE>(addr & 0xFF)};
  memcpy(regs + 2, pData, static_cast<size_t>(count));
  if (!i2cPrepare(FALSE)) return 0;
  const BYTE control = static_cast<BYTE>(kI2cStart | ((2 + count) << 4));
  return i2cStart(control, slaveID, regs) && i2cWaitDone();
}

// ============================================================ flash protocol

BOOL LibUsb_SFWaitReady(void) {
  for (int i = 0; i < kReadyPolls; ++i) {
    if (LibUsb_ReadBitFormAsic(sfRdyAddr, 0)) return 1;
    usleep(kPollPauseUs);
  }
  return 0;
}

BOOL LibUsb_SFCMDreadStatus(void) {
  for (int poll = 0; poll < kStatusPolls; ++poll) {
    BYTE status = 0;
    if (!sfSelect() || !sfSend(kSfReadStatus) || !sfReceive(&status)) return 0;
    if (!(status & kSfStatusBusy)) return sfRelease();
    usleep(kPollPauseUs);
  }
  return 0;
}

void LibUsb_ReadSFID(BYTE cmd, BYTE dummyNum, BYTE devIdNum) {
  sfManualMode(true);
  sfSelect();
  sfSend(cmd);
  for (int i = 0; i < dummyNum; ++i) sfSend(0x00);
  sfReceive(&sfManufactureID);
  if (sfManufactureID == 0x7F) sfReceive(&sfManufactureID);  // continuation code
  sfReceive(&sfDeviceID1);
  if (devIdNum == 2)
    sfReceive(&sfDeviceID2);
  else
    sfDeviceID2 = 0xFF;
  // Ends the command on the flash, so that the next one starts cleanly.
  sfRelease();
  sfManualMode(false);
}

SERIAL_FLASH_TYPE LibUsb_SerialFlashSearch(void) {
  const int row = SFData_MatchID(sfManufactureID, sfDeviceID1, sfDeviceID2);
  ubSFLib_CmdID = cbSFLib_ID[row][SFCMD_INFO_CMD_ID];
  return static_cast<SERIAL_FLASH_TYPE>(cbSFLib_ID[row][SFCMD_INFO_TYPE]);
}

SERIAL_FLASH_TYPE LibUsb_SerialFlashIdentify(void) {
  struct Attempt {
    BYTE cmd, dummyNum, devIdNum;
  };
  static const Attempt kAttempts[] = {
      {0x9F, 0, 2},  // read identification: manufacturer, memory type, capacity
      {0x15, 0, 1},
      {0x90, 3, 1},  // manufacturer and device identification after 3 address bytes
      {0xAB, 3, 1},  // electronic signature after 3 dummy bytes
  };
  for (const Attempt& a : kAttempts) {
    LibUsb_ReadSFID(a.cmd, a.dummyNum, a.devIdNum);
    const SERIAL_FLASH_TYPE sft = LibUsb_SerialFlashSearch();
    if (sft != SFT_UNKNOW) return sft;
  }
  return SFT_UNKNOW;
}

BOOL LibUsb_GetSerialFlashType(SERIAL_FLASH_TYPE* sft) {
  if (sft == nullptr) return 0;
  *sft = LibUsb_SerialFlashIdentify();
  return 1;
}

// =============================================================== flash data

BOOL LibUsb_ReadFormSF(int64_t addr, BYTE* pData, int64_t len) {
  if (len <= 0) return 1;
  if (pData == nullptr) return 0;
  BYTE piece[8];
  for (int64_t done = 0; done < len; done += 8) {
    const BYTE n = static_cast<BYTE>(len - done >= 8 ? 8 : len - done);
    memset(piece, 0xFF, sizeof piece);
    if (!LibUsb_ReadDataFormFlash(addr + done, piece, n)) return 0;
    memcpy(pData + done, piece, n);
  }
  return 1;
}

BOOL LibUsb_WriteToSF(int64_t addr, BYTE* pData, int64_t len, SERIAL_FLASH_TYPE sft) {
  if (sft == SFT_UNKNOW) {
    gEC = EC_UnKnowSerialFlashType;
    return 0;
  }
  if (len < 0) len = 0;
  if (pData == nullptr && len > 0) return 0;
  BOOL r = LibUsb_DisableSerialFlashWriteProtect(sft);
  if (r != 1) return r;
  r = LibUsb_EraseSectorForSerialFlash(addr, sft);
  if (r != 1) return r;
  sleep(1);  // sector erase time
  BYTE piece[8];
  for (int64_t done = 0; done < len; done += 8) {
    const BYTE n = static_cast<BYTE>(len - done >= 8 ? 8 : len - done);
    memset(piece, 0xFF, sizeof piece);
    memcpy(piece, pData + done, n);
    if (!LibUsb_WriteDataToFlash(addr + done, piece, n)) return 0;
  }
  return 1;
}

BOOL LibUsb_DisableSerialFlashWriteProtect(SERIAL_FLASH_TYPE sft) {
  if (sft == SFT_UNKNOW) {
    gEC = EC_UnKnowSerialFlashType;
    return 0;
  }
  BYTE romVersion[8] = {};
  BYTE chipId = 0;
  const BOOL romKnown = LibUsb_GetAsicRomVersion(romVersion);
  const DSP_ROM_TYPE romType = LibUsb_GetChipRomType(&chipId, nullptr);
  if (!romKnown || romType == DRT_Unknow) {
    gEC = EC_GetAsicRomTypeFail;
    return 0;
  }
  const uint32_t model = uiRomID;
  const ROM_INFO& rom = RomInfo[model];

  prepareGpios(romType);

  BYTE config = 0;
  USHORT configAddr = 0;
  if (SFData_WriteProtectConfigAddr(chipId, &configAddr)) {
    // The byte comes through the flash-data transfer, which the ASIC
    // answers only outside manual mode: a manual mode that a failed
    // transfer left on is ended first.  Without the byte the pin to release
    // is unknown: taking it as 0 would leave WP# asserted and the status
    // write below refused unseen.
    sfManualMode(false);
    if (!LibUsb_ReadFormSF(configAddr, &config, 1)) return 0;
  } else {
    config = 0xFF;
  }
  BYTE memType = 0;
  if (rom.IsCompactMode && !LibUsb_GetMemType(&memType)) memType = 0;

  // Configuration byte: bits 4-6 GPIO, bits 2-3 == 2 newer format, bits 0-1 action.
  const BYTE gpio = static_cast<BYTE>((config >> 4) & 0x07);
  const bool newerFormat = !isOlderWriteProtectModel(model) && (config & 0x0C) == 0x08;
  BYTE action = static_cast<BYTE>(config & 0x03);
  if (newerFormat) action = (config & 0x03) == 2 ? 1 : (config & 0x03) == 3 ? 2 : config;

  if (rom.IsDisSFWriteCmd && !setFirmwareFlashCommands(newerFormat, sft)) return 0;
  if (!driveWriteProtectPin(model, gpio, action)) return 0;
  if (rom.IsCompactMode && memType == 2) return 1;
  if (!sfClearStatusRegister(sft)) return 0;
  if (model == ROMM23 || model == ROMM12V2 || model == ROMM25) {
    setBit(kGpioOutput, 2);
    setBit(kGpioOutputEnable, 2);
  }
  return 1;
}

BOOL LibUsb_EraseSectorForSerialFlash(int64_t addr, SERIAL_FLASH_TYPE sft) {
  const BYTE opcode = SFData_EraseOpcodes(sft)->sector;
  if (opcode == 0) return 0;
  return sfEraseAt(opcode, addr) ? 1 : 0;
}

BOOL LibUsb_EraseBlockForSerialFlash(int64_t addr, SERIAL_FLASH_TYPE sft) {
  const BYTE opcode = SFData_EraseOpcodes(sft)->block;
  if (opcode == 0) return 0;
  return sfEraseAt(opcode, addr) ? 1 : 0;
}

// The chip erase is awaited here: 0 when a step failed or the flash was
// still busy after the last status poll.
BOOL LibUsb_SerialFlashErase(SERIAL_FLASH_TYPE sft) {
  const SFEraseOpcodes* op = SFData_EraseOpcodes(sft);
  bool ok = sfManualMode(true);
  if (ok && op->chipNeedsStatusClear)
    ok = sfCommand(kSfEnableWriteStatus) && sfSelect() && sfSend(kSfWriteStatus) && sfSend(0x00) && sfRelease();
  ok = ok && sfCommand(kSfWriteEnable) && sfCommand(op->chip) && LibUsb_SFCMDreadStatus();
  return sfEndManualMode(ok) ? 1 : 0;
}

// ========================================================== firmware layout

BOOL LibUsb_GetParaTableAndCRCAddrFormFW(BYTE* pFW, uint64_t* paraTableStartAddr,
                                         uint64_t* paraTableEndAddr, uint64_t* crcAddr) {
  if (pFW == nullptr) return 0;
  return discoverLayout(pFW, paraTableStartAddr, paraTableEndAddr, crcAddr);
}

BOOL LibUsb_GetParaTableAndCRCAddrFormSF(uint64_t* paraTableStartAddr, uint64_t* paraTableEndAddr,
                                         uint64_t* crcAddr) {
  return discoverLayout(nullptr, paraTableStartAddr, paraTableEndAddr, crcAddr);
}

BOOL LibUsb_GetStringSettingFormSF(BYTE* pbyString, uint32_t stringSize, uint32_t StringOffset,
                                   BOOL bIsCRCProtect) {
  uint64_t start = 0, end = 0, crc = 0;
  if (!discoverLayout(nullptr, &start, &end, &crc)) return 0;
  const uint32_t slot = StringOffset + static_cast<uint32_t>(bIsCRCProtect ? start : crc);
  BYTE buf[kStringSlot] = {};
  if (!LibUsb_ReadFormSF(slot, buf, kStringSlot)) return 0;
  int length = 0;
  if (bIsCRCProtect) {
    // A string descriptor: length byte, type byte, UTF-16LE characters.
    // A length that does not fit the slot (erased flash, 0) is no string.
    length = (static_cast<int>(buf[0]) - 2) / 2;
    if (length < 0 || length > kDescriptorStringMax) return 0;
  } else {
    while (length < kPlainStringMax && buf[length] != 0xFF) ++length;
  }
  if (static_cast<uint32_t>(length) > stringSize) return 0;
  if (length > 0 && pbyString == nullptr) return 0;
  for (int i = 0; i < length; ++i) pbyString[i] = bIsCRCProtect ? buf[2 + 2 * i] : buf[i];
  return 1;
}

// ====================================================================== ROM

BOOL LibUsb_DefGetAsicRomVersion(BYTE* romVersion) {
  if (romVersion == nullptr) return 0;
  BYTE buf[8] = {};
  for (int a = 0; a < ROMSTRADDRCNT; ++a) {
    LibUsb_ReadFromROM(RomStringAddr[a], buf);  // a failed read keeps the previous bytes
    const int row = RomData_MatchRom(RomStringAddr[a], buf);
    if (row >= 0) {
      memcpy(romVersion, buf, 8);
      uiRomID = static_cast<uint32_t>(row);
      return 1;
    }
  }
  return 0;
}

BOOL LibUsb_GetAsicRomVersion(BYTE* romVersion) {
  if (!LibUsb_DefGetAsicRomVersion(romVersion)) return 0;
  // Models that share a ROM string are told apart by chip registers and straps.
  if (uiRomID == ROMM11V1) refineM11(romVersion);
  if (uiRomID == ROMM15V1) refineM15(romVersion);
  if (uiRomID == ROMM17V1) refineM17(romVersion);
  if (uiRomID == ROMM19V1) refineM19(romVersion);
  return 1;
}

BOOL LibUsb_RestartDevice(void) {
  BYTE romVersion[10] = {};
  if (!LibUsb_GetAsicRomVersion(romVersion)) {
    gEC = EC_GetAsicRomVersionFail;
    return 0;
  }
  if (uiRomID == ROMM01 || uiRomID == ROMM02) return 0;  // no restart in these ROMs
  if (uiRomID == ROMM23 || uiRomID == ROMM24) {
    BYTE v = 0;
    if (!LibUsb_ReadFromASIC(usbResetAddr, &v)) return 0;
    LibUsb_WriteToASIC(usbResetAddr, static_cast<BYTE>(v & ~0x01));
    usleep(1000);
    return 1;
  }
  LibUsb_WriteToASIC(usbResetAddr, 0);
  return 1;
}

}  // extern "C"
