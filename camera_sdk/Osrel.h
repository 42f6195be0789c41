// ASIC access layer: every low-level operation on the camera ASIC, as plain
// functions over process-wide state.  The camera is reached only through
// UVC extension-unit control transfers on interface 0.
//
// Calling order: libusb initialised with its default context, then
// LibUsb_EnumDevice, then any mix of selections and operations, then
// LibUsb_CloseDevice.  Single-threaded; nothing here takes a lock.
#ifndef DORVAK_CAMERA_OSREL_H
#define DORVAK_CAMERA_OSREL_H

#include "util.h"

#include <stdint.h>

struct libusb_device;
struct libusb_device_handle;

extern "C" {

// ------------------------------------------------------------------ state

enum { DORVAK_MAX_DEVICES = 10 };

extern struct libusb_device** devs;          // device list, kept from enumeration to close
extern struct libusb_device_handle* devh;    // handle of the selected camera
extern struct libusb_device_handle* devh1[DORVAK_MAX_DEVICES];  // opened cameras, enumeration order
extern BYTE devices_num;                     // number of opened cameras
extern BYTE devices_ID;                      // index of the selected camera
extern USHORT g_CurDspExtendUnitID;          // wIndex of ASIC transfers: unit << 8 | interface 0

// Current register map (a row of g_AsicArchInfo).
extern USHORT dspIdAddr, sfRdyAddr, usbResetAddr, gpioInputAddr, gpioOutputAddr, gpioOEAddr,
    sfModeAddr, sfCSAddr, sfWriteDataAddr, sfReadDataAddr, sfReadWriteTriggerAddr, i2cDev, i2cMode,
    i2cTrg, i2cSclSelOD, i2cSlaveID, i2cDataArrStartAddr;

// Flash identification: bytes last read and command-set row found.
extern BYTE sfManufactureID, sfDeviceID1, sfDeviceID2, ubSFLib_CmdID;

// Current ROM model (row of RomInfo).
extern uint32_t uiRomID;

// Last error code of the camera side, shared with the SDK.
extern ERROR_CODE gEC;

// ------------------------------------------------------- devices, transport

// Finds, opens and prepares the cameras of `vidpid` (8 hexadecimal digits,
// vendor then product).  1 when the first camera was opened, its interface
// claimed, its extension unit found and its chip known.  A failed
// enumeration leaves nothing open and ends the libusb default context.
DORVAKCAM_API BOOL LibUsb_EnumDevice(const char* vidpid);
// Releases and closes every opened camera, frees the device list, ends the
// libusb default context and resets the table.  Always 1.
DORVAKCAM_API BOOL LibUsb_CloseDevice(void);
DORVAKCAM_API uint32_t Get_Devices_num(void);
// Selects the ID-th opened camera for every later transfer and probes its
// extension unit and chip.  An index outside the table is ignored.
DORVAKCAM_API void SET_DevicesID(BYTE ID);
// Probes unit 3, then unit 4; returns the wIndex that answers with a known
// chip (0x0300 or 0x0400), or 0.
DORVAKCAM_API USHORT GetUVCExtendUnitID(void);
DORVAKCAM_API BOOL VidPidStringToInt(const char* vidpid, USHORT* vid, USHORT* pid);
DORVAKCAM_API int chr2hex(char chr);
DORVAKCAM_API int cal_pow(int src, int v);

DORVAKCAM_API BOOL LibUsb_ReadFromASIC(USHORT addr, BYTE* pValue);
DORVAKCAM_API BOOL LibUsb_WriteToASIC(USHORT addr, BYTE value);
DORVAKCAM_API BOOL LibUsb_ReadFromROM(int64_t addr, BYTE* data);  // stores 8 bytes
// Flash-data transfers of up to 8 bytes at addresses 0 to 0x3FFFF.
DORVAKCAM_API BOOL LibUsb_ReadDataFormFlash(int64_t addr, BYTE* pData, BYTE dataLen);
DORVAKCAM_API BOOL LibUsb_WriteDataToFlash(int64_t addr, BYTE* pData, BYTE dataLen);
DORVAKCAM_API BOOL LibUsb_GetMemType(BYTE* pMemType);
// Raw GET_CUR / SET_CUR with the caller's unit and selector (at most 0xFFFF bytes).
DORVAKCAM_API BOOL LibUsb_Read(BYTE* pData, uint32_t length, BYTE unitID, BYTE cs);
DORVAKCAM_API BOOL LibUsb_Write(BYTE* pData, uint32_t length, BYTE unitID, BYTE cs);
DORVAKCAM_API BOOL XU_Read(BYTE* pData, uint32_t length, BYTE unitID, BYTE cs);
DORVAKCAM_API BOOL XU_Write(BYTE* pData, uint32_t length, BYTE unitID, BYTE cs);

// ------------------------------------------------------ register map, chip

DORVAKCAM_API BOOL LibUsb_SetAsicArchInfo(DSP_ARCH_TYPE dspArchType);
DORVAKCAM_API BOOL LibUsb_GetChipID(int64_t idAddr, BYTE* pChipID);
// Identifies the chip and makes its register map current.  Either output
// pointer may be null.
DORVAKCAM_API DSP_ROM_TYPE LibUsb_GetChipRomType(BYTE* dspChipID, DSP_ARCH_TYPE* dspArchType);
// Read-modify-write of one bit (0-7); 0 for a bad bit or a failed read.
DORVAKCAM_API BOOL LibUsb_EnableAsicRegisterBit(USHORT addr, BYTE bit);
DORVAKCAM_API BOOL LibUsb_DisableAsicRegisterBit(USHORT addr, BYTE bit);
// The register masked with 1 << bit; 0 for a bad bit or a failed read.
DORVAKCAM_API BYTE LibUsb_ReadBitFormAsic(USHORT addr, BYTE bit);

// ------------------------------------------------------------------ sensor

DORVAKCAM_API BOOL LibUsb_CustomWriteToSensor(BYTE slaveID, USHORT addr, USHORT addrByteNum,
                                              USHORT data, int64_t dataByteNum, BOOL pollSCL);
DORVAKCAM_API BOOL LibUsb_CustomReadFromSensor(BYTE slaveID, USHORT addr, USHORT addrByteNum,
                                               USHORT* pData, int64_t dataByteNum, BOOL pollSCL);
// Up to 3 bytes at a 16-bit sensor register address, as one I2C transaction
// (a read first writes the address, then reads the bytes).
DORVAKCAM_API BOOL LibUsb_ReadFromSensor(BYTE slaveID, USHORT addr, BYTE* pData, int64_t len);
DORVAKCAM_API BOOL LibUsb_WriteToSensor(BYTE slaveID, USHORT addr, BYTE* pData, int64_t len);

// ------------------------------------------------------ serial-flash protocol

DORVAKCAM_API BOOL LibUsb_SFWaitReady(void);
DORVAKCAM_API BOOL LibUsb_SFCMDreadStatus(void);
DORVAKCAM_API void LibUsb_ReadSFID(BYTE cmd, BYTE dummyNum, BYTE devIdNum);
DORVAKCAM_API SERIAL_FLASH_TYPE LibUsb_SerialFlashSearch(void);
DORVAKCAM_API SERIAL_FLASH_TYPE LibUsb_SerialFlashIdentify(void);
DORVAKCAM_API BOOL LibUsb_GetSerialFlashType(SERIAL_FLASH_TYPE* sft);

// ---------------------------------------------------------- serial-flash data

DORVAKCAM_API BOOL LibUsb_ReadFormSF(int64_t addr, BYTE* pData, int64_t len);
DORVAKCAM_API BOOL LibUsb_WriteToSF(int64_t addr, BYTE* pData, int64_t len, SERIAL_FLASH_TYPE sft);
DORVAKCAM_API BOOL LibUsb_DisableSerialFlashWriteProtect(SERIAL_FLASH_TYPE sft);
DORVAKCAM_API BOOL LibUsb_EraseSectorForSerialFlash(int64_t addr, SERIAL_FLASH_TYPE sft);
DORVAKCAM_API BOOL LibUsb_EraseBlockForSerialFlash(int64_t addr, SERIAL_FLASH_TYPE sft);
DORVAKCAM_API BOOL LibUsb_SerialFlashErase(SERIAL_FLASH_TYPE sft);

// ---------------------------------------------------------- firmware layout

// `pFW` must hold at least 0x18B bytes.
DORVAKCAM_API BOOL LibUsb_GetParaTableAndCRCAddrFormFW(BYTE* pFW, uint64_t* paraTableStartAddr,
                                                       uint64_t* paraTableEndAddr, uint64_t* crcAddr);
DORVAKCAM_API BOOL LibUsb_GetParaTableAndCRCAddrFormSF(uint64_t* paraTableStartAddr,
                                                       uint64_t* paraTableEndAddr, uint64_t* crcAddr);
DORVAKCAM_API BOOL LibUsb_GetStringSettingFormSF(BYTE* pbyString, uint32_t stringSize,
                                                 uint32_t StringOffset, BOOL bIsCRCProtect);

// ------------------------------------------------------- ROM, USB restart

DORVAKCAM_API BOOL LibUsb_DefGetAsicRomVersion(BYTE* romVersion);  // 8 bytes
DORVAKCAM_API BOOL LibUsb_GetAsicRomVersion(BYTE* romVersion);     // 8 bytes
DORVAKCAM_API BOOL LibUsb_RestartDevice(void);

}  // extern "C"

#endif  // DORVAK_CAMERA_OSREL_H
