// Fixed tables of the camera ASIC.
#include "ROMData.h"

#include <string.h>

extern "C" {

// clang-format off
const DSP_ARCH_INFO g_AsicArchInfo[DSP_ARCH_COUNT] = {
  //  asicId  sfRdy   usbRst  gpioIn  gpioOut gpioOE  sfMode  sfCS    sfWData sfRData sfTrig  i2cDev  i2cMode i2cTrg  i2cSclOD i2cSlave i2cData
  {   0x101F, 0x1084, 0x1073, 0x1005, 0x1006, 0x1007, 0x1080, 0x1091, 0x1082, 0x1083, 0x1081, 0x10D0, 0x10D9, 0x10D7, 0x10D8,  0x10D1,  0x10D2 },  // DAT_FIRST
  {   0x80F0, 0x8E04, 0x8C00, 0x8200, 0x8201, 0x8202, 0x8E00, 0x8E11, 0x8E02, 0x8E03, 0x8E01, 0x8600, 0x8609, 0x8607, 0x8608,  0x8601,  0x8602 },  // DAT_SECOND
};

const ChipIdInfo g_ChipIdTable[] = {
  { 0xE1, DRT_64K,  DAT_FIRST  },
  { 0xE2, DRT_64K,  DAT_FIRST  },
  { 0xE3, DRT_64K,  DAT_FIRST  },
  { 0xE4, DRT_64K,  DAT_FIRST  },
  { 0xE5, DRT_64K,  DAT_FIRST  },
  { 0xE6, DRT_64K,  DAT_FIRST  },
  { 0xE7, DRT_64K,  DAT_FIRST  },
  { 0xE8, DRT_64K,  DAT_FIRST  },
  { 0xEA, DRT_64K,  DAT_FIRST  },
  { 0xEB, DRT_64K,  DAT_FIRST  },
  { 0xEC, DRT_64K,  DAT_FIRST  },
  { 0xF7, DRT_64K,  DAT_FIRST  },
  { 0xF9, DRT_64K,  DAT_FIRST  },
  { 0xE9, DRT_32K,  DAT_FIRST  },
  { 0xF1, DRT_128K, DAT_FIRST  },
  { 0xF3, DRT_128K, DAT_FIRST  },
  { 0xF6, DRT_128K, DAT_FIRST  },
  { 0xFA, DRT_128K, DAT_FIRST  },
  { 0xF4, DRT_128K, DAT_SECOND },
  { 0xF5, DRT_256K, DAT_SECOND },
};
const int g_ChipIdTableSize = static_cast<int>(sizeof g_ChipIdTable / sizeof g_ChipIdTable[0]);

const USHORT RomStringAddr[ROMSTRADDRCNT] = { 0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8, 0xAFF8 };

#define RS(code, v, b6, b7) { (code)[0], (code)[1], (code)[2], (code)[3], (code)[4], (v), (b6), (b7) }

const ROM_INFO RomInfo[ROMCOUNT] = {
  // RomStringAddr  RomString                      SFType  CodeVer1 CodeVer2 Bypass  Newest SWErase DisSFWr Generic Compact LCVer
  { 0x9FF8, RS("M01R0", 0x01, 0x00, 0x00), 0x03C5, 0x0000, 0x0000, 0xA000, 1, 0, 0, 0, 0, 0 },  // ROMM01
  { 0x9FF8, RS("M02R0", 0x03, 0x00, 0x00), 0x031D, 0x0000, 0x01E8, 0xA000, 1, 0, 0, 0, 0, 0 },  // ROMM02
  { 0x9FF8, RS("M03R0", 0x01, 0x00, 0x00), 0x0530, 0x0000, 0x01E8, 0xA000, 0, 0, 0, 0, 0, 0 },  // ROMM03V1
  { 0x9FF8, RS("M03R0", 0x02, 0x00, 0x00), 0x05F0, 0x0000, 0x01E8, 0xA000, 1, 0, 0, 0, 0, 0 },  // ROMM03V2
  { 0xD2B2, RS("M04R0", 0x01, 0x00, 0x00), 0x0530, 0x0000, 0x01E8, 0xE000, 0, 0, 0, 0, 0, 0 },  // ROMM04V1
  { 0xDFF8, RS("M04R0", 0x02, 0x00, 0x00), 0x05E0, 0x0000, 0x01E8, 0xE000, 0, 1, 0, 0, 0, 0 },  // ROMM04V2
  { 0xDFF8, RS("M04R0", 0x03, 0x00, 0x03), 0x05F0, 0x0000, 0x01E8, 0xE000, 1, 1, 0, 0, 0, 0 },  // ROMM04V3
  { 0xDFF8, RS("M05R0", 0x01, 0x00, 0x01), 0x05F0, 0x0000, 0x01E8, 0xE000, 0, 1, 0, 0, 0, 0 },  // ROMM05V1
  { 0xDFF8, RS("M06R0", 0x01, 0x00, 0x01), 0x05F0, 0x0000, 0x0148, 0xE000, 1, 1, 1, 1, 0, 0 },  // ROMM06V1
  { 0xBFF8, RS("M07R0", 0x01, 0x00, 0x00), 0x05F0, 0x0000, 0x01E8, 0xC000, 1, 0, 0, 0, 0, 0 },  // ROMM07V1
  { 0xBFF8, RS("M08R0", 0x01, 0x00, 0x00), 0x0690, 0x0000, 0x01E8, 0xC000, 0, 0, 0, 0, 0, 0 },  // ROMM08V1
  { 0xBFF8, RS("M08R0", 0x02, 0x00, 0x02), 0x05F0, 0x0000, 0x01E8, 0xC000, 1, 1, 0, 0, 0, 0 },  // ROMM08V2
  { 0xBFF8, RS("M09R0", 0x01, 0x00, 0x01), 0x05F0, 0x0000, 0x01E8, 0xC000, 1, 1, 1, 0, 0, 0 },  // ROMM09V1
  { 0xBFF8, RS("M05R0", 0x02, 0x10, 0x01), 0x05F0, 0x6000, 0x61E8, 0xC000, 1, 1, 1, 0, 0, 0 },  // ROMM05V2
  { 0xBFF8, RS("M10R0", 0x01, 0x00, 0x01), 0x05F0, 0x0000, 0x01E8, 0xC000, 1, 1, 1, 0, 0, 0 },  // ROMM10V1
  { 0xBFF8, RS("M11R0", 0x01, 0x40, 0x06), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 0, 0 },  // ROMM11V1
  { 0xBFF8, RS("M12R0", 0x01, 0x30, 0x05), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 0, 0 },  // ROMM12V1
  { 0xBFF8, RS("M13R0", 0x01, 0x60, 0x07), 0x05F0, 0x0000, 0x0148, 0xC000, 0, 1, 1, 1, 0, 0 },  // ROMM13V1
  { 0xBFF8, RS("M13R0", 0x02, 0x61, 0x20), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 0 },  // ROMM13V2
  { 0xBFF8, RS("M14R0", 0x01, 0x41, 0x19), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 1 },  // ROMM14V1
  { 0xBFF8, RS("M15R0", 0x01, 0x42, 0x21), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 1 },  // ROMM15V1
  // Same string as ROMM15V1: reached only through the chip-id refinement.
  { 0xBFF8, RS("M15R0", 0x01, 0x42, 0x21), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 1 },  // ROMM28V1
  { 0xBFF8, RS("M16R0", 0x01, 0x43, 0x22), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 1 },  // ROMM16V1
  { 0xBFF8, RS("M17R0", 0x01, 0x43, 0x22), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 1 },  // ROMM17V1
  { 0xBFF8, RS("M18R0", 0x01, 0x45, 0x23), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 1 },  // ROMM18V1
  { 0xBFF8, RS("M19R0", 0x01, 0x45, 0x23), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 1 },  // ROMM19V1
  { 0xC7F8, RS("M20R0", 0x01, 0x20, 0x05), 0x05F0, 0x0000, 0x0148, 0xE000, 0, 1, 1, 1, 0, 0 },  // ROMM20V1
  { 0xC7F8, RS("M20R0", 0x02, 0x50, 0x07), 0x05F0, 0x0000, 0x0148, 0xE000, 1, 1, 1, 1, 1, 1 },  // ROMM20V2
  { 0xAFF8, RS("M21R0", 0x01, 0x46, 0x25), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 1 },  // ROMM21V1
  { 0xAFF8, RS("M22R0", 0x01, 0x46, 0x25), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 1 },  // ROMM22V0
  { 0xAFF8, RS("M12R0", 0x01, 0x46, 0x25), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 1 },  // ROMM12V2
  { 0xAFF8, RS("M23R0", 0x01, 0x46, 0x24), 0x05F0, 0x0000, 0x0148, 0xC000, 0, 1, 1, 0, 1, 0 },  // ROMM23
  { 0x9FF8, RS("M24R0", 0x01, 0x61, 0x08), 0x05F0, 0x0000, 0x0148, 0xC000, 0, 1, 1, 0, 1, 0 },  // ROMM24
  { 0xAFF8, RS("M25R0", 0x01, 0x46, 0x31), 0x05F0, 0x0000, 0x0148, 0xC000, 0, 1, 1, 0, 1, 0 },  // ROMM25
  { 0xAFF8, RS("M26R0", 0x01, 0x46, 0x32), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 1, 1 },  // ROMM26
  { 0xAFF8, RS("M11R0", 0x01, 0x46, 0x35), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 1, 0, 0 },  // ROMM11V2
  { 0xAFF8, RS("M27R0", 0x01, 0x46, 0x36), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 0, 1, 0 },  // ROMM27
  { 0xAFF8, RS("M14R0", 0x01, 0x46, 0x36), 0x05F0, 0x0000, 0x0148, 0xC000, 1, 1, 1, 0, 1, 0 },  // ROMM14
};
#undef RS

// Rules tried in order; the first that applies decides.  The fixed
// layouts are those of the models that predate the sector table.
#define EXACT LAYOUT_VERSION_EXACT
#define ATLEAST LAYOUT_VERSION_AT_LEAST
#define ANY LAYOUT_VERSION_ANY
const ParaTableLayoutRule g_ParaTableLayoutRules[] = {
  // model   ver  match    byte6 kind                start    length  crc
  { "M05R",  2,   ATLEAST, 0,    LAYOUT_NONE,        0,       0,      0      },
  { "M20R",  1,   EXACT,   0,    LAYOUT_FIXED,       0xC000,  0xF00,  0xCF00 },
  { "M12R",  1,   EXACT,   '0',  LAYOUT_FIXED,       0xC000,  0xF00,  0xCF00 },
  { "M11R",  1,   EXACT,   0,    LAYOUT_FIXED,       0xC000,  0xF00,  0xCF00 },
  { "M13R",  1,   EXACT,   0,    LAYOUT_FIXED,       0xC000,  0xF00,  0xCF00 },
  { "M20R",  2,   EXACT,   0,    LAYOUT_SHORT_TABLE, 0,       0,      0      },
  { "M13R",  2,   EXACT,   0,    LAYOUT_SHORT_TABLE, 0,       0,      0      },
  { "M14R",  1,   EXACT,   0,    LAYOUT_SHORT_TABLE, 0,       0,      0      },
  { "M15R",  1,   EXACT,   0,    LAYOUT_SHORT_TABLE, 0,       0,      0      },
  { "M28R",  1,   EXACT,   0,    LAYOUT_SHORT_TABLE, 0,       0,      0      },
  { "M16R",  1,   EXACT,   0,    LAYOUT_SHORT_TABLE, 0,       0,      0      },
  { "M17R",  1,   EXACT,   0,    LAYOUT_SHORT_TABLE, 0,       0,      0      },
  { "M18R",  1,   EXACT,   0,    LAYOUT_SHORT_TABLE, 0,       0,      0      },
  { "M19R",  1,   EXACT,   0,    LAYOUT_SHORT_TABLE, 0,       0,      0      },
  { "M21R",  1,   EXACT,   0,    LAYOUT_LONG_TABLE,  0,       0,      0      },
  { "M22R",  1,   EXACT,   0,    LAYOUT_LONG_TABLE,  0,       0,      0      },
  { "M12R",  1,   EXACT,   'F',  LAYOUT_LONG_TABLE,  0,       0,      0      },
  { "M23R",  1,   EXACT,   'F',  LAYOUT_LONG_TABLE,  0,       0,      0      },
  { "M27R",  1,   EXACT,   'F',  LAYOUT_LONG_TABLE,  0,       0,      0      },
  { "M25R",  1,   EXACT,   'F',  LAYOUT_LONG_TABLE,  0,       0,      0      },
  { "M26R",  1,   EXACT,   'F',  LAYOUT_LONG_TABLE,  0,       0,      0      },
  { "M24R",  1,   EXACT,   0,    LAYOUT_LONG_TABLE,  0,       0,      0      },
  { "M06R",  0,   ANY,     0,    LAYOUT_FIXED,       0x5800,  0xF00,  0x6700 },
  { "",      0,   ANY,     0,    LAYOUT_FIXED,       0x8000,  0x800,  0      },  // catch-all
};
#undef EXACT
#undef ATLEAST
#undef ANY
const int g_ParaTableLayoutRuleCount =
    static_cast<int>(sizeof g_ParaTableLayoutRules / sizeof g_ParaTableLayoutRules[0]);
#define BOTH FWVER_FORM_BOTH
#define PLAIN FWVER_FORM_PLAIN
#define EXT FWVER_FORM_EXTENDED
const FwVersionAddrRow g_FwVersionAddrTable[] = {
  // chip  rev  form   romType     Customer CusVer  DayVer  FlashCodeVer
  { 0xE1,  0,   BOTH,  DRT_Unknow, 0x3E00,  0x3E0A, 0x3E14, 0x01F3 },
  { 0xE8,  0,   BOTH,  DRT_Unknow, 0x3E00,  0x3E0A, 0x3E14, 0x01F3 },
  { 0xE2,  0,   BOTH,  DRT_Unknow, 0x0FD0,  0x0FDA, 0x0FE4, 0x0153 },
  { 0xE5,  0,   BOTH,  DRT_Unknow, 0x5E00,  0x5E0A, 0x5E14, 0x01F3 },
  { 0xE6,  1,   BOTH,  DRT_Unknow, 0x0FD0,  0x0FDA, 0x0FE4, 0x0153 },
  { 0xE6,  2,   BOTH,  DRT_Unknow, 0x0FD0,  0x0FE2, 0x0FEC, 0x0FDA },
  { 0xEA,  0,   BOTH,  DRT_Unknow, 0x3E05,  0x3E0F, 0x3E19, 0x3E00 },
  { 0xEB,  0,   BOTH,  DRT_Unknow, 0x3E05,  0x3E0F, 0x3E19, 0x3E00 },
  { 0xEC,  1,   PLAIN, DRT_Unknow, 0x2000,  0x2012, 0x201C, 0x200A },
  { 0xEC,  1,   EXT,   DRT_64K,    0x4E00,  0x4E12, 0x4E1C, 0x4E0A },
  { 0xEC,  1,   EXT,   DRT_128K,   0x2000,  0x2012, 0x201C, 0x200A },
  { 0xF1,  1,   BOTH,  DRT_Unknow, 0x3FD0,  0x3FDA, 0x3FE4, 0x0153 },
  { 0xF3,  0,   BOTH,  DRT_Unknow, 0x2000,  0x2012, 0x201C, 0x200A },
  { 0xF4,  0,   BOTH,  DRT_Unknow, 0x2000,  0x2012, 0x201C, 0x200A },
  { 0xF9,  0,   BOTH,  DRT_Unknow, 0x2000,  0x2012, 0x201C, 0x200A },
  { 0xFA,  0,   BOTH,  DRT_Unknow, 0x2000,  0x2012, 0x201C, 0x200A },
};
#undef BOTH
#undef PLAIN
#undef EXT
const int g_FwVersionAddrTableSize =
    static_cast<int>(sizeof g_FwVersionAddrTable / sizeof g_FwVersionAddrTable[0]);
// clang-format on

const FwVersionAddrRow* RomData_FindFwVersionAddrs(BYTE chipId, BYTE revision, BOOL extended,
                                                   DSP_ROM_TYPE romType) {
  const BYTE wanted = extended ? FWVER_FORM_EXTENDED : FWVER_FORM_PLAIN;
  for (int i = 0; i < g_FwVersionAddrTableSize; ++i) {
    const FwVersionAddrRow& row = g_FwVersionAddrTable[i];
    if (row.chipId != chipId) continue;
    if (row.revision != 0 && row.revision != revision) continue;
    if (row.form != FWVER_FORM_BOTH && row.form != wanted) continue;
    if (row.form == FWVER_FORM_EXTENDED && row.romType != romType) continue;
    return &row;
  }
  return nullptr;
}

const ChipIdInfo* RomData_FindChip(BYTE chipId) {
  for (int i = 0; i < g_ChipIdTableSize; ++i)
    if (g_ChipIdTable[i].chipId == chipId) return &g_ChipIdTable[i];
  return nullptr;
}

int RomData_MatchRom(USHORT addr, const BYTE romString[8]) {
  for (int row = 0; row < ROMCOUNT; ++row) {
    const ROM_INFO& info = RomInfo[row];
    if (info.RomStringAddr != addr) continue;
    if (memcmp(info.RomString, romString, 4) != 0) continue;
    const BYTE want = info.RomString[5];
    const BYTE have = romString[5];
    if (have == want || (info.IsNewestVer && have > want)) return row;
  }
  return -1;
}

static bool layoutRuleApplies(const ParaTableLayoutRule& rule, const BYTE romVersion[8]) {
  if (rule.model[0] != '\0' && memcmp(rule.model, romVersion, 4) != 0) return false;
  if (rule.byte6 != 0 && romVersion[6] != rule.byte6) return false;
  switch (rule.versionMatch) {
    case LAYOUT_VERSION_EXACT: return romVersion[5] == rule.version;
    case LAYOUT_VERSION_AT_LEAST: return romVersion[5] >= rule.version;
    default: return true;
  }
}

const ParaTableLayoutRule* RomData_FindLayoutRule(const BYTE romVersion[8]) {
  for (int i = 0; i < g_ParaTableLayoutRuleCount; ++i)
    if (layoutRuleApplies(g_ParaTableLayoutRules[i], romVersion)) return &g_ParaTableLayoutRules[i];
  return &g_ParaTableLayoutRules[g_ParaTableLayoutRuleCount - 1];
}

}  // extern "C"
