// The ASIC and flash tables themselves: one row per id, catch-all rows
// last, every row complete.
#include "ROMData.h"
#include "SFData.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <tuple>

namespace {

TEST(ChipIdTable, IdsAreUniqueAndRowsComplete) {
  std::set<BYTE> seen;
  for (int i = 0; i < g_ChipIdTableSize; ++i) {
    const ChipIdInfo& row = g_ChipIdTable[i];
    EXPECT_TRUE(seen.insert(row.chipId).second) << "duplicate chip id " << int(row.chipId);
    EXPECT_NE(row.romType, DRT_Unknow) << int(row.chipId);
    EXPECT_TRUE(row.arch == DAT_FIRST || row.arch == DAT_SECOND) << int(row.chipId);
    EXPECT_EQ(RomData_FindChip(row.chipId), &row);
  }
  EXPECT_EQ(RomData_FindChip(0x42), nullptr);
  EXPECT_EQ(RomData_FindChip(0xF8), nullptr);  // identifies a ROM refinement, not a chip
}

TEST(ChipIdTable, SecondArchitectureChipsAndTheirMap) {
  EXPECT_EQ(RomData_FindChip(0xF4)->arch, DAT_SECOND);
  EXPECT_EQ(RomData_FindChip(0xF5)->romType, DRT_256K);
  EXPECT_EQ(RomData_FindChip(0xE9)->romType, DRT_32K);
  EXPECT_EQ(g_AsicArchInfo[DAT_FIRST].asicIdAddr, 0x101F);
  EXPECT_EQ(g_AsicArchInfo[DAT_SECOND].asicIdAddr, 0x80F0);
  // The five I2C data registers follow the slave register in both maps.
  for (const DSP_ARCH_INFO& m : g_AsicArchInfo) EXPECT_EQ(m.i2cDataArrStartAddr, m.i2cSlaveID + 1);
}

TEST(RomInfoTable, RowsAreWellFormedAndUniqueExceptTheRefinedModel) {
  std::set<std::tuple<USHORT, std::string, BYTE>> seen;
  for (int row = 0; row < ROMCOUNT; ++row) {
    const ROM_INFO& r = RomInfo[row];
    bool known_addr = false;
    for (USHORT a : RomStringAddr) known_addr |= a == r.RomStringAddr;
    EXPECT_TRUE(known_addr) << row;
    EXPECT_EQ(r.RomString[0], 'M') << row;
    EXPECT_EQ(r.RomString[3], 'R') << row;
    EXPECT_EQ(r.RomString[4], '0') << row;
    EXPECT_GE(r.RomString[5], 1) << row;
    const auto key = std::make_tuple(r.RomStringAddr, std::string(reinterpret_cast<const char*>(r.RomString), 4),
                                     r.RomString[5]);
    if (row == ROMM28V1) {
      EXPECT_FALSE(seen.insert(key).second) << "ROMM28V1 shares the string of ROMM15V1";
    } else {
      EXPECT_TRUE(seen.insert(key).second) << "duplicate ROM string in row " << row;
    }
  }
  EXPECT_EQ(RomInfo[ROMM24].RomStringAddr, 0x9FF8);
  EXPECT_EQ(RomInfo[ROMM14].RomStringAddr, 0xAFF8);
}

TEST(RomInfoTable, MatchUsesModelAndVersionWithTheNewestRule) {
  struct Case {
    USHORT addr;
    const char* text;
    BYTE version;
    int expected;
  } cases[] = {
      {0x9FF8, "M03R0", 3, ROMM03V2},  // 3 >= 2 on a newest row
      {0x9FF8, "M03R0", 1, ROMM03V1},  // exact
      {0x9FF8, "M24R0", 1, ROMM24},
      {0x9FF8, "M24R0", 2, -1},        // exact rule only
      {0xBFF8, "M15R0", 7, ROMM15V1},  // never ROMM28V1
      {0xAFF8, "M15R0", 1, -1},        // wrong address
      {0xBFF8, "M15R9", 1, ROMM15V1},  // byte 4 is not compared
  };
  for (const Case& c : cases) {
    BYTE s[8] = {};
    memcpy(s, c.text, 5);
    s[5] = c.version;
    EXPECT_EQ(RomData_MatchRom(c.addr, s), c.expected) << c.text << " v" << int(c.version);
  }
}

TEST(LayoutRules, EndWithACatchAllAndEveryFixedRowIsComplete) {
  const ParaTableLayoutRule& last = g_ParaTableLayoutRules[g_ParaTableLayoutRuleCount - 1];
  EXPECT_STREQ(last.model, "");
  EXPECT_EQ(last.kind, LAYOUT_FIXED);
  for (int i = 0; i < g_ParaTableLayoutRuleCount - 1; ++i) {
    const ParaTableLayoutRule& r = g_ParaTableLayoutRules[i];
    EXPECT_EQ(strlen(r.model), 4u) << i;
    if (r.kind == LAYOUT_FIXED) {
      EXPECT_GT(r.start, 0u) << i;
      EXPECT_GT(r.length, 0u) << i;
    }
  }
}

TEST(FwVersionAddrTable, RowsNameKnownChipsAndDistinctConditions) {
  std::set<std::tuple<BYTE, BYTE, BYTE, int>> seen;
  for (int i = 0; i < g_FwVersionAddrTableSize; ++i) {
    const FwVersionAddrRow& r = g_FwVersionAddrTable[i];
    EXPECT_NE(RomData_FindChip(r.chipId), nullptr) << int(r.chipId);
    EXPECT_TRUE(seen.insert({r.chipId, r.revision, r.form, r.romType}).second) << int(r.chipId);
    EXPECT_TRUE(r.customer && r.cusVer && r.dayVer && r.flashCodeVer) << int(r.chipId);
  }
}

TEST(FwVersionAddrTable, LookupByChipRevisionAndReadout) {
  struct Case {
    BYTE chip, revision;
    BOOL extended;
    DSP_ROM_TYPE romType;
    uint32_t customer;  // 0 = no row
  } cases[] = {
      {0xE1, 0, 0, DRT_Unknow, 0x3E00}, {0xE6, 2, 0, DRT_Unknow, 0x0FD0}, {0xE6, 0, 0, DRT_Unknow, 0},
      {0xE6, 3, 0, DRT_Unknow, 0},      {0xEC, 1, 0, DRT_Unknow, 0x2000}, {0xEC, 1, 1, DRT_64K, 0x4E00},
      {0xEC, 1, 1, DRT_128K, 0x2000},   {0xEC, 1, 1, DRT_256K, 0},        {0xEC, 2, 0, DRT_Unknow, 0},
      {0xF1, 1, 1, DRT_32K, 0x3FD0},    {0xF5, 0, 0, DRT_Unknow, 0},      {0xFA, 7, 1, DRT_256K, 0x2000},
  };
  for (const Case& c : cases) {
    const FwVersionAddrRow* row = RomData_FindFwVersionAddrs(c.chip, c.revision, c.extended, c.romType);
    EXPECT_EQ(row ? row->customer : 0u, c.customer) << std::hex << int(c.chip) << " rev " << int(c.revision);
  }
  EXPECT_EQ(RomData_FindFwVersionAddrs(0xE6, 2, 0, DRT_Unknow)->cusVer, 0x0FE2u);
}

TEST(SFLibIdTable, RowZeroIsUnknownAndIdsAreUnique) {
  EXPECT_EQ(ubSFLib_GetIDSize(), 18);
  EXPECT_EQ(cbSFLib_ID[0][SFCMD_INFO_TYPE], SFT_UNKNOW);
  EXPECT_EQ(cbSFLib_ID[0][SFCMD_INFO_CMD_ID], 0);
  std::set<std::tuple<BYTE, BYTE, BYTE>> seen;
  for (int row = 1; row < SFLIB_ID_ROWS; ++row) {
    const BYTE* r = cbSFLib_ID[row];
    EXPECT_TRUE(seen.insert({r[SFCMD_INFO_MFR], r[SFCMD_INFO_DEVID1], r[SFCMD_INFO_DEVID2]}).second) << row;
    EXPECT_NE(r[SFCMD_INFO_TYPE], SFT_UNKNOW) << row;
    EXPECT_LE(r[SFCMD_INFO_TYPE], SFT_FENTECH) << row;
    EXPECT_GE(r[SFCMD_INFO_CMD_ID], 1) << row;
    EXPECT_LT(r[SFCMD_INFO_CMD_ID], SFLIB_CMD_ROWS) << row;
    EXPECT_EQ(SFData_MatchID(r[SFCMD_INFO_MFR], r[SFCMD_INFO_DEVID1], r[SFCMD_INFO_DEVID2]), row);
  }
}

TEST(SFLibIdTable, WildcardsAndMisses) {
  EXPECT_EQ(SFData_MatchID(0x9D, 0x7B, 0x42), 6);  // DEVID2 wildcard
  EXPECT_EQ(SFData_MatchID(0xBF, 0x48, 0x00), 8);
  EXPECT_EQ(SFData_MatchID(0xC2, 0x20, 0x15), 0);
  EXPECT_EQ(SFData_MatchID(0xFF, 0xFF, 0xFF), 0);  // wildcards never match a manufacturer
}

TEST(SFLibIdTable, CommandRowOfAFamily) {
  EXPECT_EQ(SFData_CmdRowForType(SFT_SST), 4);
  EXPECT_EQ(SFData_CmdRowForType(SFT_PMC), 3);
  EXPECT_EQ(SFData_CmdRowForType(SFT_ATMEL_AT25F), 2);
  EXPECT_EQ(SFData_CmdRowForType(SFT_MXIC), 1);
  EXPECT_EQ(SFData_CmdRowForType(SFT_EON), 1);  // no identification row: the common set
}

TEST(SFLibCmdTable, EveryCommandSetCanReadAndEnableWrites) {
  for (int row = 1; row < SFLIB_CMD_ROWS; ++row) {
    EXPECT_EQ(cbSFLib_Cmd[row][SFCMD_IDX_READ], 0x03) << row;
    EXPECT_EQ(cbSFLib_Cmd[row][SFCMD_IDX_WREN], 0x06) << row;
    EXPECT_EQ(cbSFLib_Cmd[row][SFCMD_IDX_WRDI], 0x04) << row;
  }
  EXPECT_EQ(cbSFLib_Cmd[4][SFCMD_IDX_PP], 0xAF);
}

TEST(SFEraseTable, OneRowPerFamilyAndOnlyUnknownRefuses) {
  std::set<int> seen;
  for (int i = 0; i < g_SFEraseTableCount; ++i) {
    const SFEraseRow& r = g_SFEraseTable[i];
    EXPECT_TRUE(seen.insert(r.type).second) << r.type;
    EXPECT_NE(r.opcodes.chip, 0) << r.type;
    EXPECT_EQ(r.opcodes.sector == 0, r.type == SFT_UNKNOW) << r.type;
    EXPECT_EQ(r.opcodes.block == 0, r.type == SFT_UNKNOW) << r.type;
    EXPECT_EQ(SFData_EraseOpcodes(r.type), &r.opcodes);
  }
  const SFEraseOpcodes* other = SFData_EraseOpcodes(SFT_MXIC);
  EXPECT_EQ(other->sector, 0x20);
  EXPECT_EQ(other->block, 0x52);
  EXPECT_EQ(other->chip, 0x60);
  EXPECT_TRUE(SFData_EraseOpcodes(SFT_SST)->chipNeedsStatusClear);
}

TEST(SFWriteProtectConfigTable, ChipsAreUniqueAndOthersUseTheDefault) {
  std::set<BYTE> seen;
  for (int i = 0; i < g_SFWriteProtectConfigCount; ++i)
    EXPECT_TRUE(seen.insert(g_SFWriteProtectConfig[i].chipId).second) << int(g_SFWriteProtectConfig[i].chipId);
  struct Case {
    BYTE chip;
    BOOL has;
    USHORT addr;
  } cases[] = {{0xE7, 1, 0x000F}, {0xF1, 1, 0xC034}, {0xE2, 1, 0x5834}, {0xEB, 0, 0},
               {0xF4, 0, 0},      {0xEC, 1, 0xB034}, {0xE1, 1, 0x8034}};
  for (const Case& c : cases) {
    USHORT addr = 0;
    EXPECT_EQ(SFData_WriteProtectConfigAddr(c.chip, &addr), c.has) << int(c.chip);
    if (c.has) {
      EXPECT_EQ(addr, c.addr) << int(c.chip);
    }
  }
}

}  // namespace
