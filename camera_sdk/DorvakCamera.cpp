// Camera SDK entry points: start-up and device information, register and
// sensor access, serial-flash access.  All USB work is the layer's; the SDK
// adds the open-state guard, the error codes and the chunking of buffers.
#include "DorvakCamera.h"

#include "Osrel.h"
#include "sdk_internal.h"

#include <libusb.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

extern "C" {
BOOL camera_init = FALSE;
}

using dorvak_sdk::fail;
using dorvak_sdk::isOpen;
using dorvak_sdk::nonNegative;

namespace {

// Offsets of the identity items in the firmware's parameter table.
constexpr uint32_t kVidPidOffset = 6;
constexpr uint32_t kProductOffset = 0x40;
constexpr uint32_t kManufacturerOffset = 0x80;
constexpr uint32_t kSerialNumberOffset = 0xC0;
constexpr uint32_t kString3Offset = 0x100;
constexpr uint32_t kInterfaceOffset = 0x140;

BOOL readDescriptorString(unsigned char* pData, long len, uint32_t offset) {
  if (!isOpen()) return 0;
  const unsigned long capacity = static_cast<unsigned long>(nonNegative(len));
  const uint32_t size = capacity > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(capacity);
  return LibUsb_GetStringSettingFormSF(pData, size, offset, TRUE);
}

bool bufferOk(const void* p, long len) { return len <= 0 || p != nullptr; }

// ------------------------------------------------ flash controller steps
// The custom flash operations drive the controller with bit operations.

bool manualModeOn() { return LibUsb_EnableAsicRegisterBit(sfModeAddr, 0); }
bool manualModeOff() { return LibUsb_DisableAsicRegisterBit(sfModeAddr, 0); }
bool selectFlash() { return LibUsb_DisableAsicRegisterBit(sfCSAddr, 0); }
bool deselectFlash() { return LibUsb_EnableAsicRegisterBit(sfCSAddr, 0); }
bool triggerSend() { return LibUsb_EnableAsicRegisterBit(sfReadWriteTriggerAddr, 0); }
bool sendByte(BYTE b) { return LibUsb_WriteToASIC(sfWriteDataAddr, b) && triggerSend() && LibUsb_SFWaitReady(); }
bool receiveByte(BYTE* out) {
  return LibUsb_WriteToASIC(sfReadDataAddr, 0) && LibUsb_EnableAsicRegisterBit(sfReadWriteTriggerAddr, 1) &&
         LibUsb_SFWaitReady() && LibUsb_ReadFromASIC(sfReadDataAddr, out);
}
bool sendAddress(long addr) {
  return sendByte(static_cast<BYTE>((addr >> 16) & 0xFF)) && sendByte(static_cast<BYTE>((addr >> 8) & 0xFF)) &&
         sendByte(static_cast<BYTE>(addr & 0xFF));
}
// Gives the flash back to the ASIC; run on every path out of manual mode.
bool leaveManualMode() {
  const bool deselected = deselectFlash();
  return manualModeOff() && deselected;
}

constexpr BYTE kFlashRead = 0x03;
constexpr BYTE kFlashWriteEnable = 0x06;
constexpr BYTE kFlashPageProgram = 0x02;
constexpr BYTE kFlashAutoIncrementProgram = 0xAF;
constexpr BYTE kFlashWriteDisable = 0x04;
constexpr long kFlashPage = 256;
// Registers that also receive the read command and its address bytes.
constexpr USHORT kCustomReadCommandRegister = 0x1088;
constexpr USHORT kCustomReadAddressRegisters[3] = {0x1089, 0x108A, 0x108B};

// Byte program with address increment: the address once, then each byte
// as its own command.
bool programAutoIncrement(long addr, const unsigned char* pData, long len) {
  bool ok = selectFlash() && sendByte(kFlashAutoIncrementProgram) && sendAddress(addr);
  for (long i = 0; ok && i < len; ++i) {
    ok = sendByte(pData[i]) && deselectFlash();
    if (ok && i + 1 < len) ok = selectFlash() && sendByte(kFlashAutoIncrementProgram);
  }
  if (ok && len == 0) ok = deselectFlash();  // ends the command before the write disable
  ok = ok && selectFlash() && sendByte(kFlashWriteDisable) && deselectFlash();
  if (!ok) return false;
  usleep(100000);
  return LibUsb_SFWaitReady();
}

// Page program, one command per 256-byte page (a page program wraps at the
// page end), each awaited before the next write enable.
bool programPages(long addr, const unsigned char* pData, long len) {
  long running = addr;
  long i = 0;
  do {
    bool ok = selectFlash() && sendByte(kFlashWriteEnable) && deselectFlash() && selectFlash() &&
              sendByte(kFlashPageProgram) && sendAddress(running);
    while (ok && i < len) {
      ok = sendByte(pData[i]);
      ++i;
      ++running;
      if (running % kFlashPage == 0) break;
    }
    if (!ok || !deselectFlash() || !LibUsb_SFCMDreadStatus()) return false;
  } while (i < len);
  return true;
}

}  // namespace

extern "C" {

// ============================================================== start-up

BOOL DorvakCam_Init(const char* vidpid) {
  if (camera_init) return 1;
  if (libusb_init(nullptr) < 0) {
    fprintf(stderr, "failed to initialise libusb\n");
    return 0;
  }
  if (LibUsb_EnumDevice(vidpid) != 1) return fail(EC_NoFindDevice);
  camera_init = TRUE;
  return 1;
}

BOOL DorvakCam_UnInit(void) {
  if (!isOpen()) return 0;
  LibUsb_CloseDevice();
  camera_init = FALSE;
  return 1;
}

BOOL DorvakCam_RestartDevice(void) {
  if (!isOpen()) return 0;
  return LibUsb_RestartDevice();
}

ERROR_CODE DorvakCam_GetErrorCode(void) { return isOpen() ? gEC : EC_UnKnow; }

unsigned int DorvakCamera_num(void) { return Get_Devices_num(); }

void DorvakCamera_SetDevicesID(unsigned int ID) {
  if (ID >= Get_Devices_num()) return;  // checked before the 8-bit index is formed
  SET_DevicesID(static_cast<BYTE>(ID));
}

BOOL DorvakCam_GetSerialNumber(unsigned char* pData, long len) {
  return readDescriptorString(pData, len, kSerialNumberOffset);
}
BOOL DorvakCam_GetManufacturer(unsigned char* pData, long len) {
  return readDescriptorString(pData, len, kManufacturerOffset);
}
BOOL DorvakCam_GetProduct(unsigned char* pData, long len) {
  return readDescriptorString(pData, len, kProductOffset);
}
BOOL DorvakCam_GetString3(unsigned char* pData, long len) {
  return readDescriptorString(pData, len, kString3Offset);
}
BOOL DorvakCam_GetInterface(unsigned char* pData, long len) {
  return readDescriptorString(pData, len, kInterfaceOffset);
}

BOOL DorvakCam_GetVidPid(unsigned char* pData, long len) {
  if (!isOpen()) return 0;
  if (len < 4 || pData == nullptr) return 0;
  uint64_t start = 0, end = 0, crc = 0;
  if (!LibUsb_GetParaTableAndCRCAddrFormSF(&start, &end, &crc)) return 0;
  BYTE ids[4] = {};
  if (!LibUsb_ReadFormSF(static_cast<uint32_t>(start + kVidPidOffset), ids, sizeof ids)) return 0;
  memcpy(pData, ids, sizeof ids);
  return 1;
}

BOOL DorvakCam_XuRead(unsigned char* pData, unsigned int length, unsigned char unitID, unsigned char cs) {
  if (!isOpen()) return 0;
  return XU_Read(pData, length, unitID, cs) ? 1 : 0;
}

BOOL DorvakCam_XuWrite(unsigned char* pData, unsigned int length, unsigned char unitID, unsigned char cs) {
  if (!isOpen()) return 0;
  return XU_Write(pData, length, unitID, cs) ? 1 : 0;
}

BOOL DorvakCam_GetAsicRomType(DSP_ROM_TYPE* romType) {
  if (!isOpen() || romType == nullptr) return 0;
  BYTE chipId = 0;
  DSP_ARCH_TYPE arch = DAT_UNKNOW;
  *romType = LibUsb_GetChipRomType(&chipId, &arch);
  return 1;
}

// ============================================================= registers

BOOL DorvakCam_AsicRegisterRead(unsigned short addr, unsigned char* pData, long len) {
  if (!isOpen() || !bufferOk(pData, len)) return 0;
  USHORT reg = addr;
  for (long i = 0; i < len; ++i, ++reg) {
    BYTE v = 0;
    if (LibUsb_ReadFromASIC(reg, &v) != 1) return 0;
    pData[i] = v;
  }
  return 1;
}

BOOL DorvakCam_AsicRegisterWrite(unsigned short addr, unsigned char* pData, long len) {
  if (!isOpen() || !bufferOk(pData, len)) return 0;
  USHORT reg = addr;
  for (long i = 0; i < len; ++i, ++reg)
    if (LibUsb_WriteToASIC(reg, pData[i]) != 1) return 0;
  return 1;
}

// Plain sensor access moves up to 3 bytes per transaction, each piece at
// the same register address.
constexpr long kSensorPiece = 3;

BOOL DorvakCam_SensorRegisterRead(unsigned char slaveId, unsigned short addr, unsigned char* pData, long len) {
  if (!isOpen() || !bufferOk(pData, len)) return 0;
  len = nonNegative(len);
  BYTE scratch[kSensorPiece] = {};
  for (long done = 0; done < len; done += kSensorPiece) {
    const long n = len - done < kSensorPiece ? len - done : kSensorPiece;
    if (LibUsb_ReadFromSensor(slaveId, addr, scratch, n) != 1) return 0;
    memcpy(pData + done, scratch, static_cast<size_t>(n));
  }
  return 1;
}

BOOL DorvakCam_SensorRegisterWrite(unsigned char slaveId, unsigned short addr, unsigned char* pData, long len) {
  if (!isOpen() || !bufferOk(pData, len)) return 0;
  len = nonNegative(len);
  for (long done = 0; done < len; done += kSensorPiece) {
    const long n = len - done < kSensorPiece ? len - done : kSensorPiece;
    if (LibUsb_WriteToSensor(slaveId, addr, pData + done, n) != 1) return 0;
  }
  return 1;
}

LONG GetByteLengthFormAddr(LONG addr) {
  if (addr <= 0xFF) return 1;
  if (addr <= 0xFFFF) return 2;
  if (addr <= 0xFFFFFF) return 3;
  return 4;
}

BOOL DorvakCam_SensorRegisterCustomRead(unsigned char slaveId, long addr, unsigned char* pData, long len,
                                        BOOL pollSCL) {
  if (!isOpen() || !bufferOk(pData, len)) return 0;
  len = nonNegative(len);
  USHORT value = 0;
  long running = addr;
  long i = 0;
  for (; i + 1 < len; i += 2, running += 2) {
    const USHORT width = static_cast<USHORT>(GetByteLengthFormAddr(running));
    if (!LibUsb_CustomReadFromSensor(slaveId, static_cast<USHORT>(running), width, &value, 2, pollSCL))
      return 0;
    pData[i] = static_cast<BYTE>(value >> 8);
    pData[i + 1] = static_cast<BYTE>(value & 0xFF);
  }
  if (i < len) {
    const USHORT width = static_cast<USHORT>(GetByteLengthFormAddr(running));
    if (!LibUsb_CustomReadFromSensor(slaveId, static_cast<USHORT>(running), width, &value, 1, pollSCL))
      return 0;
    pData[i] = static_cast<BYTE>(value & 0xFF);
  }
  return 1;
}

BOOL DorvakCam_SensorRegisterCustomWrite(unsigned char slaveId, long addr, unsigned char* pData, long len,
                                         BOOL pollSCL) {
  if (!isOpen() || !bufferOk(pData, len)) return 0;
  len = nonNegative(len);
  long running = addr;
  long i = 0;
  for (; i + 1 < len; i += 2, running += 2) {
    const USHORT value = static_cast<USHORT>(pData[i] * 256 + pData[i + 1]);
    const USHORT width = static_cast<USHORT>(GetByteLengthFormAddr(running));
    if (!LibUsb_CustomWriteToSensor(slaveId, static_cast<USHORT>(running), width, value, 2, pollSCL))
      return 0;
  }
  if (i < len) {
    const USHORT width = static_cast<USHORT>(GetByteLengthFormAddr(running));
    if (!LibUsb_CustomWriteToSensor(slaveId, static_cast<USHORT>(running), width, pData[len - 1], 1, pollSCL))
      return 0;
  }
  return 1;
}

// ========================================================== serial flash

BOOL DorvakCam_GetSerialFlashType(SERIAL_FLASH_TYPE* sft) {
  if (!isOpen()) return 0;
  return LibUsb_GetSerialFlashType(sft);
}

BOOL DorvakCam_SerialFlashRead(long addr, unsigned char* pData, long len) {
  if (!isOpen()) return 0;
  return LibUsb_ReadFormSF(addr, pData, len);
}

BOOL DorvakCam_SerialFlashWrite(long addr, unsigned char* pData, long len) {
  if (!isOpen() || !bufferOk(pData, len)) return 0;
  len = nonNegative(len);
  BYTE scratch[8];
  for (long done = 0; done < len; done += 8) {
    const long n = len - done < 8 ? len - done : 8;
    memset(scratch, 0xFF, sizeof scratch);
    memcpy(scratch, pData + done, static_cast<size_t>(n));
    if (!LibUsb_WriteDataToFlash(addr + done, scratch, static_cast<BYTE>(n))) return 0;
  }
  return 1;
}

BOOL DorvakCam_SerialFlashSectorWrite(long addr, unsigned char* pData, long len, SERIAL_FLASH_TYPE sft) {
  if (!isOpen()) return 0;
  return LibUsb_WriteToSF(addr, pData, nonNegative(len), sft);
}

BOOL DorvakCam_DisableSerialFlashWriteProtect(SERIAL_FLASH_TYPE sft) {
  if (!isOpen()) return 0;
  if (!LibUsb_DisableSerialFlashWriteProtect(sft)) return fail(EC_DisableFlashWriteProtectFail);
  return 1;
}

BOOL DorvakCam_EraseBlockFlash(long addr, SERIAL_FLASH_TYPE sft) {
  if (!isOpen()) return 0;
  if (!LibUsb_DisableSerialFlashWriteProtect(sft)) return fail(EC_DisableFlashWriteProtectFail);
  if (!LibUsb_EraseBlockForSerialFlash(addr, sft)) return fail(EC_EraseFlashFail);
  return 1;
}

BOOL DorvakCam_EraseSectorFlash(long addr, SERIAL_FLASH_TYPE sft) {
  if (!isOpen()) return 0;
  if (!LibUsb_DisableSerialFlashWriteProtect(sft)) return fail(EC_DisableFlashWriteProtectFail);
  if (!LibUsb_EraseSectorForSerialFlash(addr, sft)) return fail(EC_EraseFlashFail);
  return 1;
}

BOOL DorvakCam_EraseSerialFlash(SERIAL_FLASH_TYPE sft) {
  if (!isOpen()) return 0;
  if (!LibUsb_DisableSerialFlashWriteProtect(sft)) return fail(EC_DisableFlashWriteProtectFail);
  if (!LibUsb_SerialFlashErase(sft)) return fail(EC_EraseFlashFail);
  return 1;
}

BOOL DorvakCam_SerialFlashCustomRead(long addr, unsigned char* pData, long len) {
  if (!isOpen() || !bufferOk(pData, len)) return 0;
  len = nonNegative(len);
  bool ok = manualModeOn() && selectFlash();
  // The command byte goes out without a ready wait; each address byte is
  // awaited.
  ok = ok && LibUsb_WriteToASIC(kCustomReadCommandRegister, kFlashRead) &&
       LibUsb_WriteToASIC(sfWriteDataAddr, kFlashRead) && triggerSend();
  for (int k = 0; ok && k < 3; ++k) {
    const BYTE b = static_cast<BYTE>((addr >> (16 - 8 * k)) & 0xFF);
    ok = LibUsb_WriteToASIC(kCustomReadAddressRegisters[k], b) && LibUsb_WriteToASIC(sfWriteDataAddr, b) &&
         triggerSend() && LibUsb_SFWaitReady();
  }
  for (long i = 0; ok && i < len; ++i) ok = receiveByte(&pData[i]);
  const bool released = leaveManualMode();
  return ok && released;
}

BOOL DorvakCam_SerialFlashSectorCustomWrite(long addr, unsigned char* pData, long len, SERIAL_FLASH_TYPE sft) {
  if (!isOpen() || !bufferOk(pData, len)) return 0;
  len = nonNegative(len);
  if (!LibUsb_DisableSerialFlashWriteProtect(sft)) return 0;
  if (!LibUsb_EraseSectorForSerialFlash(addr, sft)) return 0;
  sleep(1);  // sector erase time
  if (!LibUsb_SFWaitReady()) return 0;
  bool ok = manualModeOn() && selectFlash() && sendByte(kFlashWriteEnable) && deselectFlash();
  if (ok) ok = sft == SFT_SST ? programAutoIncrement(addr, pData, len) : programPages(addr, pData, len);
  const bool released = leaveManualMode();
  return ok && released;
}

}  // extern "C"
