// Fixed tables of the serial flash.
#include "SFData.h"

extern "C" {

// clang-format off
const BYTE cbSFLib_Cmd[SFLIB_CMD_ROWS][SFCMD_IDX_COUNT] = {
  // READ  WREN  PP    WRSR  CE    SE    WRDI
  {  0x03, 0x04, 0x03, 0x05, 0x03, 0x03, 0x04 },  // 0: nothing identified
  {  0x03, 0x06, 0x02, 0x01, 0x60, 0x20, 0x04 },  // 1: common set
  {  0x03, 0x06, 0x02, 0x01, 0x60, 0x20, 0x04 },  // 2
  {  0x03, 0x06, 0x02, 0x01, 0xC7, 0xD7, 0x04 },  // 3
  {  0x03, 0x06, 0xAF, 0x01, 0x60, 0x20, 0x04 },  // 4: byte program with address increment
};

const BYTE cbSFLib_ID[SFLIB_ID_ROWS][SFCMD_INFO_COUNT] = {
  // MFR   DEVID1 DEVID2 TYPE             CMD OPT
  {  0x00, 0x00,  0x00,  SFT_UNKNOW,      0,  0 },  // used when nothing matches
  {  0xC2, 0x20,  0x10,  SFT_MXIC,        1,  1 },
  {  0xC2, 0x22,  0x10,  SFT_MXIC,        1,  1 },
  {  0xC2, 0x20,  0x13,  SFT_MXIC,        1,  1 },
  {  0x1F, 0x65,  0x01,  SFT_ATMEL_AT25F, 2,  1 },
  {  0x9D, 0x20,  0xFF,  SFT_PMC,         3,  1 },
  {  0x9D, 0x7B,  0xFF,  SFT_PMC,         3,  1 },
  {  0x9D, 0x10,  0xFF,  SFT_PMC,         3,  1 },
  {  0xBF, 0x48,  0xFF,  SFT_SST,         4,  1 },
  {  0x20, 0x20,  0x11,  SFT_ST,          1,  1 },
  {  0x8C, 0x30,  0x10,  SF_ESMT,         1,  1 },
  {  0xC8, 0x40,  0x10,  SFT_GIGA,        1,  1 },
  {  0xC8, 0x40,  0x13,  SFT_GIGA,        1,  1 },
  {  0xEF, 0x30,  0x10,  SFT_WINBOND,     1,  1 },
  {  0xEF, 0x30,  0x11,  SFT_WINBOND,     1,  1 },
  {  0x5E, 0x60,  0x13,  SFT_FENTECH,     1,  1 },
  {  0x5E, 0x60,  0x12,  SFT_FENTECH,     1,  1 },
  {  0xC2, 0x20,  0x11,  SFT_MXIC,        1,  1 },
};

const SFEraseRow g_SFEraseTable[] = {
  // type           sector block chip  status clear first
  { SFT_UNKNOW,  { 0x00,  0x00,  0x60, 0 } },
  { SFT_ST,      { 0xD8,  0xD8,  0xC7, 0 } },
  { SFT_PMC,     { 0xD7,  0x52,  0xC7, 0 } },
  { SFT_GIGA,    { 0x20,  0xD8,  0x60, 0 } },
  { SFT_FENTECH, { 0x20,  0xD8,  0x60, 0 } },
  { SFT_SST,     { 0x20,  0x52,  0x60, 1 } },
  { SFT_WINBOND, { 0x20,  0x52,  0xC7, 0 } },
  { SFT_AMIC,    { 0x20,  0x52,  0xC7, 0 } },
};
const int g_SFEraseTableCount = static_cast<int>(sizeof g_SFEraseTable / sizeof g_SFEraseTable[0]);
// Every family not listed above.
static const SFEraseOpcodes kOtherFamilyErase = { 0x20, 0x52, 0x60, 0 };

const SFWriteProtectConfigRow g_SFWriteProtectConfig[] = {
  // chip  has byte  address
  { 0xE7,  1,        0x000F },
  { 0xE6,  1,        0xC034 },
  { 0xF1,  1,        0xC034 },
  { 0xE2,  1,        0x5834 },
  { 0xEB,  0,        0      },
  { 0xF4,  0,        0      },
  { 0xEC,  1,        0xB034 },
};
const int g_SFWriteProtectConfigCount =
    static_cast<int>(sizeof g_SFWriteProtectConfig / sizeof g_SFWriteProtectConfig[0]);
// Every chip not listed above.
static const USHORT kDefaultWriteProtectConfigAddr = 0x8034;
// clang-format on

BYTE ubSFLib_GetIDSize(void) { return SFLIB_ID_ROWS; }

static bool idByteMatches(BYTE tableByte, BYTE readByte) {
  return tableByte == SFLIB_ID_WILDCARD || tableByte == readByte;
}

int SFData_MatchID(BYTE manufacturer, BYTE device1, BYTE device2) {
  for (int row = 1; row < SFLIB_ID_ROWS; ++row) {
    const BYTE* r = cbSFLib_ID[row];
    if (r[SFCMD_INFO_MFR] == manufacturer && idByteMatches(r[SFCMD_INFO_DEVID1], device1) &&
        idByteMatches(r[SFCMD_INFO_DEVID2], device2))
      return row;
  }
  return 0;
}

BYTE SFData_CmdRowForType(SERIAL_FLASH_TYPE sft) {
  for (int row = 1; row < SFLIB_ID_ROWS; ++row)
    if (cbSFLib_ID[row][SFCMD_INFO_TYPE] == sft) return cbSFLib_ID[row][SFCMD_INFO_CMD_ID];
  return 1;
}

const SFEraseOpcodes* SFData_EraseOpcodes(SERIAL_FLASH_TYPE sft) {
  for (int i = 0; i < g_SFEraseTableCount; ++i)
    if (g_SFEraseTable[i].type == sft) return &g_SFEraseTable[i].opcodes;
  return &kOtherFamilyErase;
}

BOOL SFData_WriteProtectConfigAddr(BYTE chipId, USHORT* addr) {
  for (int i = 0; i < g_SFWriteProtectConfigCount; ++i) {
    const SFWriteProtectConfigRow& row = g_SFWriteProtectConfig[i];
    if (row.chipId != chipId) continue;
    if (row.hasByte) *addr = row.addr;
    return row.hasByte;
  }
  *addr = kDefaultWriteProtectConfigAddr;
  return 1;
}

}  // extern "C"
