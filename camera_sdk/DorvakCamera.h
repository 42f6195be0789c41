/* Camera SDK: flat C interface to the camera's USB ASIC.
 *
 * The SDK is closed or open, process-wide.  DorvakCam_Init opens it,
 * DorvakCam_UnInit closes it, and every other DorvakCam_ entry point returns
 * 0 (failure) at once while it is closed.  Results are ints: 1 for success,
 * 0 for failure.  Specific failures store a code that DorvakCam_GetErrorCode
 * reports; nothing clears it.  Buffers are passed by pointer and length and
 * stay the caller's; lengths are byte counts, and a length of 0 or less
 * moves nothing.  Calls are made from one thread at a time.
 *
 * With several cameras attached, DorvakCamera_SetDevicesID selects the one
 * that every later call addresses. */
#ifndef DORVAK_CAMERA_H
#define DORVAK_CAMERA_H

#include "util.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Progress of a firmware procedure: the caller's context and a value from 0
 * to 1.  Called synchronously on the caller's thread. */
typedef void (*DorvakCam_SetProgress)(void* ptrClass, float progress);

/* A change of the USB identity kept in a firmware image's parameter table.
 * A null pointer leaves its item unchanged; strings need no terminating
 * zero, their lengths count the characters used (at most 31 each). */
typedef struct {
  unsigned int SerialNumberLength;
  unsigned int ProductLength;
  unsigned int ManufactureLength;
  unsigned int VidPidLength; /* not consulted: the identifiers are 4 bytes */
  unsigned int InterfaceLength;
  unsigned int String3Length;
  BYTE* pSerialNumber;
  BYTE* pProduct;
  BYTE* pManufacture;
  BYTE* pVidPid; /* vendor then product identifier, 4 bytes as stored in flash */
  BYTE* pString3;
  BYTE* pInterface;
} ChangeParamInfo;

/* ------------------------------------------------------------ start-up */

/* Opens the SDK on every attached camera of `vidpid`, 8 hexadecimal digits
 * (vendor then product identifier, e.g. "4e7a91c3"), and selects the first.
 * 1 when already open (nothing is done).  0 when libusb cannot start
 * (message on stderr) or no camera could be opened and identified
 * (EC_NoFindDevice). */
DORVAKCAM_API BOOL DorvakCam_Init(const char* vidpid);
/* Closes every opened camera and ends libusb.  0 when already closed. */
DORVAKCAM_API BOOL DorvakCam_UnInit(void);
/* Makes the selected camera restart its USB connection.  0 when its ROM
 * cannot be identified (EC_GetAsicRomVersionFail) or cannot restart. */
DORVAKCAM_API BOOL DorvakCam_RestartDevice(void);
/* The last stored error code; EC_UnKnow while the SDK is closed. */
DORVAKCAM_API ERROR_CODE DorvakCam_GetErrorCode(void);
/* Number of cameras the last DorvakCam_Init opened (0 after UnInit). */
DORVAKCAM_API unsigned int DorvakCamera_num(void);
/* Selects camera ID (0 to DorvakCamera_num() - 1, enumeration order) for
 * every later call.  Other IDs are ignored. */
DORVAKCAM_API void DorvakCamera_SetDevicesID(unsigned int ID);

/* Descriptor strings of the selected camera's firmware, as 8-bit
 * characters without a terminating zero.  0 when the parameter table or
 * slot cannot be read, or the string is longer than `len`. */
DORVAKCAM_API BOOL DorvakCam_GetSerialNumber(unsigned char* pData, long len);
DORVAKCAM_API BOOL DorvakCam_GetManufacturer(unsigned char* pData, long len);
DORVAKCAM_API BOOL DorvakCam_GetProduct(unsigned char* pData, long len);
DORVAKCAM_API BOOL DorvakCam_GetString3(unsigned char* pData, long len);
DORVAKCAM_API BOOL DorvakCam_GetInterface(unsigned char* pData, long len);
/* The 4 bytes of vendor and product identifier kept in the firmware, in
 * flash order.  0 without writing when `len` is below 4 or the flash
 * cannot be read. */
DORVAKCAM_API BOOL DorvakCam_GetVidPid(unsigned char* pData, long len);
/* One raw extension-unit GET_CUR / SET_CUR with the caller's unit and
 * control selector (at most 0xFFFF bytes).  0 when the transfer fails. */
DORVAKCAM_API BOOL DorvakCam_XuRead(unsigned char* pData, unsigned int length, unsigned char unitID,
                                    unsigned char cs);
DORVAKCAM_API BOOL DorvakCam_XuWrite(unsigned char* pData, unsigned int length, unsigned char unitID,
                                     unsigned char cs);
/* ROM size of the selected camera's ASIC; 1 also for DRT_Unknow. */
DORVAKCAM_API BOOL DorvakCam_GetAsicRomType(DSP_ROM_TYPE* romType);

/* ------------------------------------------------------------ registers */

/* `len` ASIC registers from `addr` on (the address wraps at 0xFFFF).  0 at
 * the first failed register; the bytes before stay done. */
DORVAKCAM_API BOOL DorvakCam_AsicRegisterRead(unsigned short addr, unsigned char* pData, long len);
DORVAKCAM_API BOOL DorvakCam_AsicRegisterWrite(unsigned short addr, unsigned char* pData, long len);
/* Image-sensor register at `addr` (16-bit address) of slave `slaveId`, in
 * transactions of up to 3 bytes that each name `addr`.  0 at the first
 * failed transaction. */
DORVAKCAM_API BOOL DorvakCam_SensorRegisterRead(unsigned char slaveId, unsigned short addr,
                                                unsigned char* pData, long len);
DORVAKCAM_API BOOL DorvakCam_SensorRegisterWrite(unsigned char slaveId, unsigned short addr,
                                                 unsigned char* pData, long len);
/* Bytes needed for a sensor register address: 1 up to 0xFF (and for
 * negative addresses), 2 up to 0xFFFF, 3 up to 0xFFFFFF, otherwise 4. */
DORVAKCAM_API LONG GetByteLengthFormAddr(LONG addr);
/* Sensor registers from `addr` on, two bytes per transaction (first byte
 * on the bus first) and a last single byte for an odd `len`.  0 at the
 * first failed transaction. */
DORVAKCAM_API BOOL DorvakCam_SensorRegisterCustomRead(unsigned char slaveId, long addr,
                                                      unsigned char* pData, long len, BOOL pollSCL);
DORVAKCAM_API BOOL DorvakCam_SensorRegisterCustomWrite(unsigned char slaveId, long addr,
                                                       unsigned char* pData, long len, BOOL pollSCL);

/* --------------------------------------------------------- serial flash */

/* Identifies the flash; 1 also when the family is SFT_UNKNOW. */
DORVAKCAM_API BOOL DorvakCam_GetSerialFlashType(SERIAL_FLASH_TYPE* sft);
/* Reads `len` bytes of flash from `addr`.  0 when a transfer fails. */
DORVAKCAM_API BOOL DorvakCam_SerialFlashRead(long addr, unsigned char* pData, long len);
/* Programs `len` bytes at `addr` without erasing or unprotecting.  0 at the
 * first failed piece; the pieces before stay written. */
DORVAKCAM_API BOOL DorvakCam_SerialFlashWrite(long addr, unsigned char* pData, long len);
/* Unprotects, erases the sector holding `addr`, waits 1 s and programs
 * `len` bytes.  0 for SFT_UNKNOW (EC_UnKnowSerialFlashType), when the
 * protection cannot be lifted or a transfer fails. */
DORVAKCAM_API BOOL DorvakCam_SerialFlashSectorWrite(long addr, unsigned char* pData, long len,
                                                    SERIAL_FLASH_TYPE sft);
/* Lifts the flash's write protection.  0 with EC_DisableFlashWriteProtectFail. */
DORVAKCAM_API BOOL DorvakCam_DisableSerialFlashWriteProtect(SERIAL_FLASH_TYPE sft);
/* Unprotect, then erase the block / sector holding `addr`, or the whole
 * chip.  0 with EC_DisableFlashWriteProtectFail or EC_EraseFlashFail. */
DORVAKCAM_API BOOL DorvakCam_EraseBlockFlash(long addr, SERIAL_FLASH_TYPE sft);
DORVAKCAM_API BOOL DorvakCam_EraseSectorFlash(long addr, SERIAL_FLASH_TYPE sft);
DORVAKCAM_API BOOL DorvakCam_EraseSerialFlash(SERIAL_FLASH_TYPE sft);
/* Reads `len` bytes with the flash's own read command, byte by byte
 * through the ASIC's flash controller.  0 when a register access or the
 * controller fails. */
DORVAKCAM_API BOOL DorvakCam_SerialFlashCustomRead(long addr, unsigned char* pData, long len);
/* Unprotects, erases the sector holding `addr` and programs `len` bytes
 * there with the family's own commands, page by page.  0 when the
 * protection cannot be lifted, the erase is refused, or a register access
 * or the controller fails. */
DORVAKCAM_API BOOL DorvakCam_SerialFlashSectorCustomWrite(long addr, unsigned char* pData, long len,
                                                          SERIAL_FLASH_TYPE sft);

/* ----------------------------------------------------- firmware version */

/* The firmware's version fields as a 56-byte record (bNormalExport != 0)
 * or one readable string in 56 bytes; exactly 56 bytes are written.  0
 * without writing when `len` is below 56, for an unknown chip, a chip and
 * revision without version fields, or a field that cannot be read. */
DORVAKCAM_API BOOL DorvakCam_GetFwVersion(unsigned char* pData, long len, BOOL bNormalExport);
/* The same, the caller's ROM size choosing the layout where a chip has two. */
DORVAKCAM_API BOOL DorvakCam_GetFwVersionEx(DSP_ROM_TYPE romType, unsigned char* pData, long len,
                                            BOOL bNormalExport);

/* ----------------------------------------------------- firmware burning */

/* Erases the chip, checks it blank, burns the image and verifies it
 * (every byte when bFullCheckFW, else 8 of every 1024).  0 with
 * EC_UnKnowSerialFlashType, EC_DisableFlashWriteProtectFail,
 * EC_EraseFlashFail, EC_MallocMemoryFail or EC_BurnerCheckFail, or when a
 * transfer fails.  The caller's image is not changed.
 *
 * An image is a whole number of 8-byte pieces, at most 256 KiB (what the
 * flash-data transfer reaches) and at least 0x168 bytes (0x6718 on chip
 * 0xE2), since some of its bytes are written after the rest.  Any other
 * image is refused with 0 before the flash is touched. */
DORVAKCAM_API BOOL DorvakCam_BurnerFW(unsigned char* pFwBuffer, LONG lFwLength,
                                      DorvakCam_SetProgress setProgress, void* ptrClass,
                                      SERIAL_FLASH_TYPE sft, BOOL bFullCheckFW);
/* Burns and verifies onto a flash the caller has erased and unprotected.
 * 0 with EC_MallocMemoryFail or EC_BurnerCheckFail, or when a transfer
 * fails.  Images as for DorvakCam_BurnerFW. */
DORVAKCAM_API BOOL DorvakCam_WriteFwToFlash(unsigned char* pFwBuffer, LONG lFwLength,
                                            DorvakCam_SetProgress setProgress, void* ptrClass,
                                            BOOL bFullCheckFW);
/* As DorvakCam_BurnerFW, after rewriting the image's identifiers and
 * descriptor strings and its parameter-table CRC (a layout without a CRC
 * record gets none).  0 without touching the flash when a string is longer
 * than 31 characters or the image does not hold its parameter table. */
DORVAKCAM_API BOOL DorvakCam_CustomBurnerFW(const ChangeParamInfo paramInfo, unsigned char* pFwBuffer,
                                            LONG lFwLength, DorvakCam_SetProgress setProgress,
                                            void* ptrClass, SERIAL_FLASH_TYPE sft, BOOL bFullCheckFW);
/* Reads `lFwLength` bytes of flash into `pFwBuffer`: a whole number of
 * 8-byte pieces, at most 256 KiB.  0 when a read fails; the callback is
 * not called. */
DORVAKCAM_API BOOL DorvakCam_ExportFW(unsigned char* pFwBuffer, LONG lFwLength,
                                      DorvakCam_SetProgress setProgress, void* ptrClass);

/* ----------------------------------------------------- parameter table */

/* Writes one 64-byte string-descriptor slot at paramBuffer + paramAddr.
 * FALSE without writing for more than the 31 characters a slot holds.
 * Works on memory only. */
DORVAKCAM_API BOOL SetParamToParamBuffer(BYTE* paramBuffer, LONG paramAddr, BYTE* param, LONG length);
/* Stores the CRC-16 of the parameter table at crcStartAddr + 20 (high
 * byte) and + 21.  Works on memory only. */
DORVAKCAM_API BOOL CheckCRC(BYTE* pFW, LONG paraTableStartAddr, LONG paraTableLength, LONG crcStartAddr);
/* Applies `pParamInfo` to the image and rewrites only the flash region of
 * the parameter table (and of its CRC record), verifying it.  0 with
 * EC_UnKnowSerialFlashType, EC_DisableFlashWriteProtectFail,
 * EC_EraseFlashFail or EC_BurnerCheckFail, or when a transfer fails.  The
 * image must hold the 16 KiB around the table's start and the CRC record's
 * 4 KiB sector, and the strings at most 31 characters each; otherwise 0
 * before the flash is changed.  `pLogFilePath` is not used. */
DORVAKCAM_API BOOL DorvakCam_SetParamTableFormFWFile(unsigned char* pFW, long lFwLength,
                                                     const ChangeParamInfo* pParamInfo,
                                                     DorvakCam_SetProgress setProgress, void* ptrClass,
                                                     SERIAL_FLASH_TYPE sft, char* pLogFilePath);

#ifdef __cplusplus
}
#endif

#endif /* DORVAK_CAMERA_H */
