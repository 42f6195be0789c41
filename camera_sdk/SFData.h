// Fixed tables of the serial flash: identification, command sets, erase
// opcodes per family and where the firmware keeps its write-protect
// configuration byte.  Data only; each table has one lookup function.
#ifndef DORVAK_CAMERA_SFDATA_H
#define DORVAK_CAMERA_SFDATA_H

#include "util.h"

extern "C" {

// Columns of cbSFLib_Cmd.
enum {
  SFCMD_IDX_READ = 0,
  SFCMD_IDX_WREN = 1,
  SFCMD_IDX_PP = 2,
  SFCMD_IDX_WRSR = 3,
  SFCMD_IDX_CE = 4,
  SFCMD_IDX_SE = 5,
  SFCMD_IDX_WRDI = 6,
  SFCMD_IDX_COUNT = 7
};
enum { SFLIB_CMD_ROWS = 5 };
extern const BYTE cbSFLib_Cmd[SFLIB_CMD_ROWS][SFCMD_IDX_COUNT];

// Columns of cbSFLib_ID.
enum {
  SFCMD_INFO_MFR = 0,
  SFCMD_INFO_DEVID1 = 1,
  SFCMD_INFO_DEVID2 = 2,
  SFCMD_INFO_TYPE = 3,
  SFCMD_INFO_CMD_ID = 4,
  SFCMD_INFO_SF_OPT = 5,
  SFCMD_INFO_COUNT = 6
};
enum { SFLIB_ID_ROWS = 18 };
// Device identification bytes of this value match any byte.
enum { SFLIB_ID_WILDCARD = 0xFF };
extern const BYTE cbSFLib_ID[SFLIB_ID_ROWS][SFCMD_INFO_COUNT];

// Number of rows of cbSFLib_ID.
DORVAKCAM_API BYTE ubSFLib_GetIDSize(void);

// Row of cbSFLib_ID matching the identification bytes; row 0 (unknown
// flash) when none matches.
int SFData_MatchID(BYTE manufacturer, BYTE device1, BYTE device2);

// Command-set row of a flash family (the row of its first identification
// entry); the common set 1 for families without one.
BYTE SFData_CmdRowForType(SERIAL_FLASH_TYPE sft);

// Erase opcodes of one flash family.  0 means the erase is refused.
struct SFEraseOpcodes {
  BYTE sector;
  BYTE block;
  BYTE chip;
  BOOL chipNeedsStatusClear;  // the chip erase must first clear the status register
};
const SFEraseOpcodes* SFData_EraseOpcodes(SERIAL_FLASH_TYPE sft);

// Flash address of the firmware's write-protect configuration byte for a
// chip identification byte.  Returns 0 for chips that keep none (their
// byte counts as 0xFF), otherwise 1 with the address in *addr.
BOOL SFData_WriteProtectConfigAddr(BYTE chipId, USHORT* addr);

struct SFWriteProtectConfigRow {
  BYTE chipId;
  BOOL hasByte;
  USHORT addr;
};
extern const SFWriteProtectConfigRow g_SFWriteProtectConfig[];
extern const int g_SFWriteProtectConfigCount;

struct SFEraseRow {
  SERIAL_FLASH_TYPE type;
  SFEraseOpcodes opcodes;
};
extern const SFEraseRow g_SFEraseTable[];
extern const int g_SFEraseTableCount;

}  // extern "C"

#endif  // DORVAK_CAMERA_SFDATA_H
