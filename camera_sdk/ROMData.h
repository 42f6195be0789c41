// Fixed tables of the camera ASIC: register maps, chip identification,
// ROM models and the firmware layout each ROM model implies.  Data only;
// each table has one lookup function.
#ifndef DORVAK_CAMERA_ROMDATA_H
#define DORVAK_CAMERA_ROMDATA_H

#include "util.h"

#include <stdint.h>

extern "C" {

// ---------------------------------------------------------------- registers

// Register maps indexed by DSP_ARCH_TYPE (DAT_FIRST, DAT_SECOND).
extern const DSP_ARCH_INFO g_AsicArchInfo[DSP_ARCH_COUNT];

// What a chip-identification byte means.
struct ChipIdInfo {
  BYTE chipId;
  DSP_ROM_TYPE romType;
  DSP_ARCH_TYPE arch;
};
extern const ChipIdInfo g_ChipIdTable[];
extern const int g_ChipIdTableSize;

// Row of the chip-identification table for `chipId`, or null for an
// unknown chip.
const ChipIdInfo* RomData_FindChip(BYTE chipId);

// ---------------------------------------------------------------- ROM models

// ROM addresses that carry identification strings, in search order.
enum {
  ADDR_9FF8 = 0,
  ADDR_D2B2,
  ADDR_DFF8,
  ADDR_BFF8,
  ADDR_C7F8,
  ADDR_AFF8,
  ROMSTRADDRCNT
};
extern const USHORT RomStringAddr[ROMSTRADDRCNT];

// ROM models; the value is the row of RomInfo.
enum {
  ROMM01 = 0,
  ROMM02,
  ROMM03V1,
  ROMM03V2,
  ROMM04V1,
  ROMM04V2,
  ROMM04V3,
  ROMM05V1,
  ROMM06V1,
  ROMM07V1,
  ROMM08V1,
  ROMM08V2,
  ROMM09V1,
  ROMM05V2,
  ROMM10V1,
  ROMM11V1,
  ROMM12V1,
  ROMM13V1,
  ROMM13V2,
  ROMM14V1,
  ROMM15V1,
  ROMM28V1,
  ROMM16V1,
  ROMM17V1,
  ROMM18V1,
  ROMM19V1,
  ROMM20V1,
  ROMM20V2,
  ROMM21V1,
  ROMM22V0,
  ROMM12V2,
  ROMM23,
  ROMM24,
  ROMM25,
  ROMM26,
  ROMM11V2,
  ROMM27,
  ROMM14,
  ROMCOUNT
};
extern const ROM_INFO RomInfo[ROMCOUNT];

// First RomInfo row kept at ROM address `addr` whose identification matches
// the 8 bytes read there (model code and "R" exactly, version byte exactly
// or, for rows marked newest, equal or higher); -1 when none matches.
int RomData_MatchRom(USHORT addr, const BYTE romString[8]);

// ---------------------------------------------------------------- layout

// Where a ROM model keeps its firmware parameter table.
enum ParaTableLayoutKind {
  LAYOUT_NONE = 0,     // the model has no known layout
  LAYOUT_FIXED,        // constants of the rule
  LAYOUT_SHORT_TABLE,  // sector table at 0x160, one-byte fields in 256-byte units
  LAYOUT_LONG_TABLE    // sector table at 0x160, 32-bit big-endian fields
};
struct ParaTableLayoutRule {
  char model[5];       // model code and "R"; "" matches every model
  BYTE version;        // version byte (byte 5 of the ROM string)
  BYTE versionMatch;   // LAYOUT_VERSION_*
  BYTE byte6;          // required byte 6 of the ROM string, 0 = any
  ParaTableLayoutKind kind;
  uint32_t start, length, crc;  // LAYOUT_FIXED only
};
enum { LAYOUT_VERSION_EXACT = 0, LAYOUT_VERSION_AT_LEAST, LAYOUT_VERSION_ANY };
extern const ParaTableLayoutRule g_ParaTableLayoutRules[];
extern const int g_ParaTableLayoutRuleCount;

// The first rule that applies to the 8-byte ROM version string; the table
// ends with a catch-all row, so the result is never null.
const ParaTableLayoutRule* RomData_FindLayoutRule(const BYTE romVersion[8]);

// ---------------------------------------------------------------- firmware version

// Flash addresses of the firmware's four version fields for a chip.
struct FwVersionAddrRow {
  BYTE chipId;
  BYTE revision;           // version byte of the ROM string (byte 5); 0 = any
  BYTE form;               // FWVER_FORM_*: which readout the row serves
  DSP_ROM_TYPE romType;    // extended readout only: the caller's ROM size; DRT_Unknow = any
  uint32_t customer, cusVer, dayVer, flashCodeVer;
};
enum { FWVER_FORM_BOTH = 0, FWVER_FORM_PLAIN, FWVER_FORM_EXTENDED };
extern const FwVersionAddrRow g_FwVersionAddrTable[];
extern const int g_FwVersionAddrTableSize;

// The row for a chip, the revision read from its ROM (0 when the ROM was
// not read) and the readout (`extended` with the caller's ROM size); null
// when the chip has no version fields under those conditions.
const FwVersionAddrRow* RomData_FindFwVersionAddrs(BYTE chipId, BYTE revision, BOOL extended,
                                                   DSP_ROM_TYPE romType);

}  // extern "C"

#endif  // DORVAK_CAMERA_ROMDATA_H
