// Camera SDK firmware procedures: the firmware's version fields, burning a
// whole image with its verification, exporting the flash, and rewriting the
// USB identity kept in the firmware's CRC-protected parameter table.
//
// Every procedure checks the caller's image and request before it sends
// anything that changes the flash: a malformed image is refused with 0 and
// the flash keeps what it holds.
#include "DorvakCamera.h"

#include "DorvakFirmware.h"
#include "Osrel.h"
#include "ROMData.h"
#include "sdk_internal.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace dorvak_sdk {
WorkingCopyHeap g_workingCopyHeap = {malloc, free};
}  // namespace dorvak_sdk

using dorvak_sdk::fail;
using dorvak_sdk::isOpen;

namespace {

// ================================================================ common

constexpr long kPiece = 8;  // bytes per flash-data transfer
// The flash-data transfer reaches addresses up to 0x3FFFF: a longer image
// could not be written completely.
constexpr long kFlashDataWindow = 0x40000;
constexpr long kSubSector = 0x1000;

bool isErased(const BYTE* piece) {
  for (long i = 0; i < kPiece; ++i)
    if (piece[i] != 0xFF) return false;
  return true;
}

// Reads the 8 bytes at `addr` into `piece` (0xFF where nothing arrives).
bool readPiece(long addr, BYTE* piece) {
  memset(piece, 0xFF, kPiece);
  return LibUsb_ReadDataFormFlash(addr, piece, kPiece) != 0;
}

bool writePiece(long addr, const BYTE* piece, long n = kPiece) {
  BYTE buf[kPiece];
  memcpy(buf, piece, static_cast<size_t>(n));
  return LibUsb_WriteDataToFlash(addr, buf, static_cast<BYTE>(n)) != 0;
}

// The caller's progress callback; a null callback makes no reports.
struct Progress {
  DorvakCam_SetProgress fn;
  void* ctx;
  bool wanted() const { return fn != nullptr; }
  void report(float value) const {
    if (fn != nullptr) fn(ctx, value);
  }
};

// Private copy of the caller's image.  The destructor gives it back, so
// every path out of a procedure releases it.
class WorkingCopy {
 public:
  WorkingCopy(const BYTE* image, long n)
      : data_(static_cast<BYTE*>(dorvak_sdk::g_workingCopyHeap.allocate(static_cast<size_t>(n)))) {
    if (data_ != nullptr) memcpy(data_, image, static_cast<size_t>(n));
  }
  ~WorkingCopy() {
    if (data_ != nullptr) dorvak_sdk::g_workingCopyHeap.release(data_);
  }
  WorkingCopy(const WorkingCopy&) = delete;
  WorkingCopy& operator=(const WorkingCopy&) = delete;

  bool allocated() const { return data_ != nullptr; }
  BYTE* data() { return data_; }

 private:
  BYTE* data_;
};

// ========================================================== version fields

constexpr long kVersionResult = 56;
constexpr int kCodeVerBytes = 5;
constexpr int kFieldBytes = 10;
constexpr BYTE kDash = '-';

struct VersionFields {
  BYTE customer[kFieldBytes];
  BYTE cusVer[kFieldBytes];
  BYTE dayVer[kFieldBytes];
  BYTE flashCodeVer[kCodeVerBytes];
};

// Reads the four fields in the firmware's order; a field that cannot be
// read fails the readout instead of leaving stale bytes in the result.
bool readVersionFields(const FwVersionAddrRow& at, VersionFields* f) {
  return LibUsb_ReadFormSF(at.customer, f->customer, kFieldBytes) &&
         LibUsb_ReadFormSF(at.cusVer, f->cusVer, kFieldBytes) &&
         LibUsb_ReadFormSF(at.dayVer, f->dayVer, kFieldBytes) &&
         LibUsb_ReadFormSF(at.flashCodeVer, f->flashCodeVer, kCodeVerBytes);
}

// Appends bytes to the 56-byte result; the longest readable form is 42
// bytes, so it never fills up.
class ResultText {
 public:
  explicit ResultText(BYTE* out) : out_(out) {}
  void put(BYTE b) { out_[n_++] = b; }
  void put(const BYTE* p, int count) {
    for (int i = 0; i < count; ++i) put(p[i]);
  }
  void put(const char* s) {
    while (*s != '\0') put(static_cast<BYTE>(*s++));
  }
  // Every byte but the dashes, which separate the fields of the string.
  void putWithoutDashes(const BYTE* p, int count) {
    for (int i = 0; i < count; ++i)
      if (p[i] != kDash) put(p[i]);
  }

 private:
  BYTE* out_;
  int n_ = 0;
};

// Export form: the fields side by side.
void buildVersionRecord(const VersionFields& f, BYTE* out) {
  ResultText t(out);
  t.put(f.flashCodeVer, kCodeVerBytes);
  t.put(f.cusVer, kFieldBytes);
  t.put(f.customer, kFieldBytes);
  t.put(f.dayVer, kFieldBytes);
}

// Readable form, e.g. "VWXY-KLMNOPQRS-Z-VABCDEF_GH_IJ-abcdefghi".  The ROM
// of model M01 has no fifth code-version character in the string.
void buildVersionString(const VersionFields& f, bool romIsM01, BYTE* out) {
  ResultText t(out);
  t.put(f.flashCodeVer, 4);
  t.put(kDash);
  t.putWithoutDashes(f.cusVer, kFieldBytes);
  if (!romIsM01) {
    t.put(kDash);
    t.put(f.flashCodeVer[4]);
  }
  t.put("-V");
  t.put(f.dayVer, 6);
  t.put('_');
  t.put(f.dayVer + 6, 2);
  t.put('_');
  t.put(f.dayVer + 8, 2);
  t.put(kDash);
  t.putWithoutDashes(f.customer, kFieldBytes);
}

constexpr BYTE kChipWithTwoRomSizes = 0xEC;

BOOL readFwVersion(bool extended, DSP_ROM_TYPE romType, unsigned char* pData, long len, BOOL bNormalExport) {
  if (!isOpen()) return 0;
  if (pData == nullptr || len < kVersionResult) return 0;
  BYTE rom[10] = {};
  const bool romRead = LibUsb_GetAsicRomVersion(rom) != 0;
  BYTE chipId = 0;
  if (LibUsb_GetChipRomType(&chipId, nullptr) == DRT_Unknow) return 0;
  // Byte 5 of the ROM string is its revision; 0 when the ROM was not read.
  const FwVersionAddrRow* at = RomData_FindFwVersionAddrs(chipId, romRead ? rom[5] : 0, extended, romType);
  if (at == nullptr) return 0;
  VersionFields fields = {};
  if (!readVersionFields(*at, &fields)) return 0;
  if (extended && chipId == kChipWithTwoRomSizes && romType == DRT_64K)
    printf("dsp rom type=%.10s\n", reinterpret_cast<const char*>(fields.customer));
  BYTE result[kVersionResult] = {};
  if (bNormalExport)
    buildVersionRecord(fields, result);
  else
    buildVersionString(fields, memcmp(rom, "M01R", 4) == 0, result);
  memcpy(pData, result, kVersionResult);
  return 1;
}

// ======================================================== parameter table

constexpr long kSlotBytes = 64;
constexpr long kSlotChars = (kSlotBytes - 2) / 2;  // after the length and type bytes
constexpr BYTE kStringDescriptorType = 3;
constexpr long kVidPidOffset = 6;
constexpr long kVidPidBytes = 4;
constexpr long kTableSlotsEnd = 0x180;  // end of the last slot (interface, 0x140)
constexpr long kCrcHighOffset = 20;
constexpr long kCrcRecordBytes = 22;  // up to and including the CRC's low byte

// The string slots of the table and where a change request keeps each string.
struct SlotOfRequest {
  long offset;
  BYTE* ChangeParamInfo::*text;
  unsigned int ChangeParamInfo::*length;
};
// Slots do not overlap, so the order in which they are written does not
// matter.
constexpr SlotOfRequest kSlots[] = {
    {0x40, &ChangeParamInfo::pProduct, &ChangeParamInfo::ProductLength},
    {0x80, &ChangeParamInfo::pManufacture, &ChangeParamInfo::ManufactureLength},
    {0xC0, &ChangeParamInfo::pSerialNumber, &ChangeParamInfo::SerialNumberLength},
    {0x100, &ChangeParamInfo::pString3, &ChangeParamInfo::String3Length},
    {0x140, &ChangeParamInfo::pInterface, &ChangeParamInfo::InterfaceLength},
};

// Every string of the request fits its slot.
bool requestFits(const ChangeParamInfo& info) {
  for (const SlotOfRequest& s : kSlots)
    if (info.*s.text != nullptr && info.*s.length > kSlotChars) return false;
  return true;
}

uint16_t crc16Modbus(const BYTE* p, long n) {
  uint16_t crc = 0xFFFF;
  for (long i = 0; i < n; ++i) {
    crc = static_cast<uint16_t>(crc ^ p[i]);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

// Where the table, its CRC record and the string slots lie in an image.
struct TableLayout {
  long start, end, crc;  // crc 0: the layout has no CRC record
};

bool tableLayout(uint64_t start, uint64_t end, uint64_t crc, TableLayout* out) {
  if (start > uint64_t{kFlashDataWindow} || end > uint64_t{kFlashDataWindow} || crc > uint64_t{kFlashDataWindow})
    return false;
  *out = {static_cast<long>(start), static_cast<long>(end), static_cast<long>(crc)};
  return true;
}

// The image holds the whole table, its slots and its CRC record.
bool tableInImage(const TableLayout& t, long n) {
  return t.start + kTableSlotsEnd <= n && t.end <= n && (t.crc == 0 || t.crc + kCrcRecordBytes <= n);
}

// New identifiers and strings into the copy, then the table's CRC.  A
// layout without a CRC record gets no CRC: there is no record to hold it.
void applyDescriptorPatch(BYTE* copy, const TableLayout& t, const ChangeParamInfo& info) {
  if (info.pVidPid != nullptr) memcpy(copy + t.start + kVidPidOffset, info.pVidPid, kVidPidBytes);
  for (const SlotOfRequest& s : kSlots)
    if (info.*s.text != nullptr)
      SetParamToParamBuffer(copy, t.start + s.offset, info.*s.text, static_cast<LONG>(info.*s.length));
  if (t.crc != 0) CheckCRC(copy, t.start, t.end - t.start, t.crc);
}

// ============================================================== burning

// Bytes written only after the rest of the image, so that a burn that
// stops halfway leaves them blank.
struct Span {
  long addr, len;
};
struct DeferredPlan {
  const Span* blank;  // set to 0xFF in the main pass
  int blankCount;
  const Span* late;  // written after the main pass, in this order
  int lateCount;
};
constexpr Span kBlankAlways[] = {{0x160, 4}};
constexpr Span kLateAlways[] = {{0x160, 8}};
constexpr Span kBlankChipE2[] = {{0x160, 4}, {0, 2}, {0x6700, 23}};
constexpr Span kLateChipE2[] = {{0x160, 8}, {0x6702, 8}, {0x670A, 8}, {0x6712, 5}, {0, 2}, {0x6700, 2}};
constexpr DeferredPlan kDeferredAlways = {kBlankAlways, 1, kLateAlways, 1};
constexpr DeferredPlan kDeferredChipE2 = {kBlankChipE2, 3, kLateChipE2, 6};
constexpr BYTE kChipE2 = 0xE2;
constexpr int kMaxLateBytes = 8 + 8 + 8 + 5 + 2 + 2;

const DeferredPlan& deferredPlanFor(BYTE chipId) { return chipId == kChipE2 ? kDeferredChipE2 : kDeferredAlways; }

// Shortest image that holds the deferred bytes of the plan.
long deferredMinLength(const DeferredPlan& plan) {
  long n = 0;
  for (int i = 0; i < plan.lateCount; ++i)
    if (plan.late[i].addr + plan.late[i].len > n) n = plan.late[i].addr + plan.late[i].len;
  return n;
}

// Saves the deferred bytes of the copy and blanks them; writes them once
// the rest is in the flash and then puts them back, so that the
// verification compares against the whole image.
class DeferredAreas {
 public:
  DeferredAreas(BYTE* copy, const DeferredPlan& plan) : copy_(copy), plan_(plan) {
    int at = 0;
    for (int i = 0; i < plan_.lateCount; ++i) {
      memcpy(saved_ + at, copy_ + plan_.late[i].addr, static_cast<size_t>(plan_.late[i].len));
      at += static_cast<int>(plan_.late[i].len);
    }
    for (int i = 0; i < plan_.blankCount; ++i)
      memset(copy_ + plan_.blank[i].addr, 0xFF, static_cast<size_t>(plan_.blank[i].len));
  }
  bool writeLate() const {
    int at = 0;
    for (int i = 0; i < plan_.lateCount; ++i) {
      if (!writePiece(plan_.late[i].addr, saved_ + at, plan_.late[i].len)) return false;
      at += static_cast<int>(plan_.late[i].len);
    }
    return true;
  }
  void restore() {
    int at = 0;
    for (int i = 0; i < plan_.lateCount; ++i) {
      memcpy(copy_ + plan_.late[i].addr, saved_ + at, static_cast<size_t>(plan_.late[i].len));
      at += static_cast<int>(plan_.late[i].len);
    }
  }

 private:
  BYTE* copy_;
  const DeferredPlan& plan_;
  BYTE saved_[kMaxLateBytes] = {};
};

constexpr long kProgressStride = 512;
constexpr long kSparseCheckStride = 1024;
constexpr long kBlankCheckStride = 1024;

// Images are moved in whole pieces within the flash-data window and hold
// at least the deferred sector-table bytes.
bool imageShapeOk(const BYTE* image, long n) {
  return image != nullptr && n % kPiece == 0 && n >= deferredMinLength(kDeferredAlways) && n <= kFlashDataWindow;
}

// Identifies the chip and readies it for the burn; false for an unknown
// chip or an image too short for that chip's deferred bytes.
bool prepareChip(long n, BYTE* chipId) {
  if (LibUsb_GetChipRomType(chipId, nullptr) == DRT_Unknow) return false;
  if (n < deferredMinLength(deferredPlanFor(*chipId))) return false;
  constexpr BYTE kChipWithBurnKey = 0xF4;
  constexpr USHORT kBurnKeyRegister = 0x5FF;
  if (*chipId == kChipWithBurnKey) LibUsb_WriteToASIC(kBurnKeyRegister, 0x5A);
  return true;
}

// Samples the erased flash (never the last 1024 bytes of the range).
BOOL blankCheck(long n) {
  BYTE piece[kPiece];
  for (long i = 0; i < n - kBlankCheckStride; i += kBlankCheckStride) {
    if (!readPiece(i, piece)) return 0;
    if (!isErased(piece)) return fail(EC_EraseFlashFail);
  }
  return 1;
}

// Lifts the protection, erases the whole chip, lets the erase finish and
// checks the flash blank.
BOOL eraseChipForBurn(long n, SERIAL_FLASH_TYPE sft) {
  if (!LibUsb_DisableSerialFlashWriteProtect(sft)) return fail(EC_DisableFlashWriteProtectFail);
  if (!LibUsb_SerialFlashErase(sft)) return fail(EC_EraseFlashFail);
  sleep(1);  // chip erase time
  return blankCheck(n);
}

// The program-and-verify procedure of every burner, on the prepared copy.
// Progress runs 0..1 over the writes when only sampled, and 0..0.5 over
// the writes and 0.5..1 over the full verification otherwise.
BOOL programAndVerify(BYTE* copy, long n, BYTE chipId, Progress progress, bool fullCheck) {
  DeferredAreas deferred(copy, deferredPlanFor(chipId));
  for (long i = 0; i < n; i += kPiece) {
    if (progress.wanted() && i % kProgressStride == 0) {
      float p = static_cast<float>(i) / static_cast<float>(n);
      if (fullCheck) p /= 2;
      progress.report(p);
    }
    if (!writePiece(i, copy + i)) return 0;
  }
  if (!deferred.writeLate()) return 0;
  deferred.restore();
  progress.report(fullCheck ? 0.5f : 1.0f);

  const long step = fullCheck ? kPiece : kSparseCheckStride;
  BYTE piece[kPiece];
  for (long i = 0; i < n; i += step) {
    if (!readPiece(i, piece)) return 0;
    if (memcmp(piece, copy + i, kPiece) != 0) return fail(EC_BurnerCheckFail);
    if (fullCheck && progress.wanted() && i % kProgressStride == 0)
      progress.report(static_cast<float>(i) / static_cast<float>(n) * 0.5f + 0.5f);
  }
  if (fullCheck) progress.report(1.0f);
  return 1;
}

// ================================================== parameter-table update

// The flash that the update rewrites: a 16 KiB region of four 4 KiB
// sub-sectors around the table's start, and the CRC record's sector when
// that is not the table start's own sector.
struct UpdateRegion {
  long base;         // the table start rounded down to 16 KiB
  long tableSector;  // the table start rounded down to 4 KiB
  long crcSector;    // the CRC record rounded down to 4 KiB
  bool crcSeparate;  // the CRC record's sector is erased and written on its own
};
constexpr long kRegionBytes = 0x4000;
constexpr int kSubSectors = static_cast<int>(kRegionBytes / kSubSector);
constexpr long kProbeStride = 80;
constexpr long kRegionCheckStride = 0x200;

UpdateRegion updateRegion(const TableLayout& t) {
  UpdateRegion r;
  r.base = t.start & ~(kRegionBytes - 1);
  r.tableSector = t.start & ~(kSubSector - 1);
  r.crcSector = t.crc & ~(kSubSector - 1);
  // A CRC record in any other sector would otherwise keep its old CRC: only
  // the table start's sector is erased, and a sub-sector that still holds
  // data is not rewritten.
  r.crcSeparate = t.crc != 0 && r.crcSector != r.tableSector;
  return r;
}

bool regionInImage(const UpdateRegion& r, long n) {
  const long regionEnd = r.base + kRegionBytes;
  const long crcEnd = r.crcSeparate ? r.crcSector + kSubSector : 0;
  return regionEnd <= n && regionEnd <= kFlashDataWindow && crcEnd <= n;
}

BOOL eraseSectorAndWait(long addr, SERIAL_FLASH_TYPE sft) {
  if (!LibUsb_EraseSectorForSerialFlash(addr, sft)) return fail(EC_EraseFlashFail);
  sleep(1);  // sector erase time
  return 1;
}

// Marks the sub-sectors of the region that still hold data: one probe in
// every 80 bytes until a probe finds data, then the next sub-sector.
bool probeSubSectors(long base, bool holdsData[kSubSectors], int* erasedCount) {
  *erasedCount = kSubSectors;
  BYTE piece[kPiece];
  long offset = 0;
  while (offset < kRegionBytes) {
    if (!readPiece(base + offset, piece)) return false;
    if (isErased(piece)) {
      offset += kProbeStride;
      continue;
    }
    const long k = offset / kSubSector;
    holdsData[k] = true;
    --*erasedCount;
    offset = (k + 1) * kSubSector;
  }
  return true;
}

// Writes the erased sub-sectors from the copy.  Reports three of every
// four pieces, from just above 0.5 to just below 1.
bool writeErasedSubSectors(const BYTE* copy, long base, const bool holdsData[kSubSectors], Progress progress) {
  for (long k = 0; k < kSubSectors; ++k) {
    if (holdsData[k]) continue;
    for (long o = 0; o < kSubSector; o += kPiece) {
      const long a = k * kSubSector + o;
      if (progress.wanted() && a % 32 != 0) progress.report(static_cast<float>(a / 2) / 16384.0f + 0.5f);
      if (!writePiece(base + a, copy + base + a)) return false;
    }
  }
  return true;
}

// The piece of the CRC sector whose bytes are shown before and after the
// write.
constexpr long kTracedPiece = 0x11210;

void printTracedPiece(const char* label, const BYTE* p) {
  printf("%s0x11210 = %x %x %x %x %x %x %x %x\n", label, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
}

bool writeCrcSector(const BYTE* copy, long sector) {
  BYTE seen[kPiece];
  for (long addr = sector; addr < sector + kSubSector; addr += kPiece) {
    const bool traced = addr == kTracedPiece;
    if (traced) {
      if (!readPiece(addr, seen)) return false;
      printTracedPiece("read ", seen);
    }
    if (!writePiece(addr, copy + addr)) return false;
    if (traced) {
      printTracedPiece("", copy + addr);
      if (!readPiece(addr, seen)) return false;
      printTracedPiece("read ", seen);
    }
  }
  return true;
}

// Samples the region, marked sub-sectors included: those keep the flash's
// old contents and pass only where the image agrees with them.
BOOL checkRegion(const BYTE* copy, long base) {
  BYTE piece[kPiece];
  for (long o = 0; o < kRegionBytes; o += kRegionCheckStride) {
    if (!readPiece(base + o, piece)) return 0;
    if (memcmp(piece, copy + base + o, kPiece) != 0) return fail(EC_BurnerCheckFail);
  }
  return 1;
}

BOOL updateParamTable(BYTE* copy, const UpdateRegion& r, const TableLayout& t, SERIAL_FLASH_TYPE sft,
                      Progress progress) {
  if (!LibUsb_DisableSerialFlashWriteProtect(sft)) return fail(EC_DisableFlashWriteProtectFail);
  if (!eraseSectorAndWait(t.start, sft)) return 0;
  if (r.crcSeparate && !eraseSectorAndWait(r.crcSector, sft)) return 0;
  bool holdsData[kSubSectors] = {};
  int erased = 0;
  if (!probeSubSectors(r.base, holdsData, &erased)) return 0;
  if (erased == 0) return fail(EC_EraseFlashFail);
  if (!writeErasedSubSectors(copy, r.base, holdsData, progress)) return 0;
  if (r.crcSeparate && !writeCrcSector(copy, r.crcSector)) return 0;
  return checkRegion(copy, r.base);
}

// The image bytes the layout discovery reads from (the long sector table
// ends at 0x18A).
constexpr long kSectorTableEnd = 0x18B;

}  // namespace

extern "C" {

// ========================================================== version fields

BOOL DorvakCam_GetFwVersion(unsigned char* pData, long len, BOOL bNormalExport) {
  return readFwVersion(false, DRT_Unknow, pData, len, bNormalExport);
}

BOOL DorvakCam_GetFwVersionEx(DSP_ROM_TYPE romType, unsigned char* pData, long len, BOOL bNormalExport) {
  return readFwVersion(true, romType, pData, len, bNormalExport);
}

// ======================================================== parameter table

BOOL SetParamToParamBuffer(BYTE* paramBuffer, LONG paramAddr, BYTE* param, LONG length) {
  if (paramBuffer == nullptr || paramAddr < 0 || length < 0 || length > kSlotChars) return FALSE;
  if (param == nullptr && length > 0) return FALSE;
  BYTE* slot = paramBuffer + paramAddr;
  memset(slot, 0xFF, kSlotBytes);
  slot[0] = static_cast<BYTE>(2 * length + 2);
  slot[1] = kStringDescriptorType;
  for (LONG i = 0; i < length; ++i) {
    slot[2 + 2 * i] = param[i];  // UTF-16LE code unit of an 8-bit character
    slot[3 + 2 * i] = 0;
  }
  return TRUE;
}

BOOL CheckCRC(BYTE* pFW, LONG paraTableStartAddr, LONG paraTableLength, LONG crcStartAddr) {
  if (pFW == nullptr || paraTableStartAddr < 0 || paraTableLength < 0 || crcStartAddr < 0) return FALSE;
  const uint16_t crc = crc16Modbus(pFW + paraTableStartAddr, paraTableLength);
  pFW[crcStartAddr + kCrcHighOffset] = static_cast<BYTE>(crc >> 8);
  pFW[crcStartAddr + kCrcHighOffset + 1] = static_cast<BYTE>(crc & 0xFF);
  return TRUE;
}

BOOL DorvakCam_SetParamTableFormFWFile(unsigned char* pFW, long lFwLength, const ChangeParamInfo* pParamInfo,
                                       DorvakCam_SetProgress setProgress, void* ptrClass, SERIAL_FLASH_TYPE sft,
                                       char* pLogFilePath) {
  (void)pLogFilePath;
  if (!isOpen()) return 0;
  if (sft == SFT_UNKNOW) return fail(EC_UnKnowSerialFlashType);
  if (pFW == nullptr || pParamInfo == nullptr || lFwLength <= 0 || !requestFits(*pParamInfo)) return 0;
  uint64_t start = 0, end = 0, crc = 0;
  if (!LibUsb_GetParaTableAndCRCAddrFormSF(&start, &end, &crc)) return 0;
  printf("dwParaTableStartAddr :%x, dwParaTableEndAddr : %x, dwCRCStartAddr: %x", static_cast<uint32_t>(start),
         static_cast<uint32_t>(end), static_cast<uint32_t>(crc));
  TableLayout table;
  if (!tableLayout(start, end, crc, &table) || !tableInImage(table, lFwLength)) return 0;
  const UpdateRegion region = updateRegion(table);
  if (!regionInImage(region, lFwLength)) return 0;

  WorkingCopy copy(pFW, lFwLength);
  if (!copy.allocated()) return 0;
  applyDescriptorPatch(copy.data(), table, *pParamInfo);
  return updateParamTable(copy.data(), region, table, sft, {setProgress, ptrClass});
}

// ============================================================== burning

BOOL DorvakCam_BurnerFW(unsigned char* pFwBuffer, LONG lFwLength, DorvakCam_SetProgress setProgress,
                        void* ptrClass, SERIAL_FLASH_TYPE sft, BOOL bFullCheckFW) {
  if (!isOpen()) return 0;
  if (sft == SFT_UNKNOW) return fail(EC_UnKnowSerialFlashType);
  if (!imageShapeOk(pFwBuffer, lFwLength)) return 0;
  BYTE chipId = 0;
  if (!prepareChip(lFwLength, &chipId)) return 0;
  if (!eraseChipForBurn(lFwLength, sft)) return 0;
  WorkingCopy copy(pFwBuffer, lFwLength);
  if (!copy.allocated()) return fail(EC_MallocMemoryFail);
  return programAndVerify(copy.data(), lFwLength, chipId, {setProgress, ptrClass}, bFullCheckFW != 0);
}

BOOL DorvakCam_WriteFwToFlash(unsigned char* pFwBuffer, LONG lFwLength, DorvakCam_SetProgress setProgress,
                              void* ptrClass, BOOL bFullCheckFW) {
  if (!isOpen()) return 0;
  if (!imageShapeOk(pFwBuffer, lFwLength)) return 0;
  BYTE chipId = 0;
  if (!prepareChip(lFwLength, &chipId)) return 0;
  WorkingCopy copy(pFwBuffer, lFwLength);
  if (!copy.allocated()) return fail(EC_MallocMemoryFail);
  return programAndVerify(copy.data(), lFwLength, chipId, {setProgress, ptrClass}, bFullCheckFW != 0);
}

BOOL DorvakCam_CustomBurnerFW(const ChangeParamInfo paramInfo, unsigned char* pFwBuffer, LONG lFwLength,
                              DorvakCam_SetProgress setProgress, void* ptrClass, SERIAL_FLASH_TYPE sft,
                              BOOL bFullCheckFW) {
  if (!isOpen()) return 0;
  if (sft == SFT_UNKNOW) return fail(EC_UnKnowSerialFlashType);
  if (!imageShapeOk(pFwBuffer, lFwLength) || lFwLength < kSectorTableEnd || !requestFits(paramInfo)) return 0;
  uint64_t start = 0, end = 0, crc = 0;
  if (!LibUsb_GetParaTableAndCRCAddrFormFW(pFwBuffer, &start, &end, &crc)) return 0;
  TableLayout table;
  if (!tableLayout(start, end, crc, &table) || !tableInImage(table, lFwLength)) return 0;

  WorkingCopy copy(pFwBuffer, lFwLength);
  if (!copy.allocated()) return fail(EC_MallocMemoryFail);
  applyDescriptorPatch(copy.data(), table, paramInfo);
  BYTE chipId = 0;
  if (!prepareChip(lFwLength, &chipId)) return 0;
  if (!eraseChipForBurn(lFwLength, sft)) return 0;
  return programAndVerify(copy.data(), lFwLength, chipId, {setProgress, ptrClass}, bFullCheckFW != 0);
}

BOOL DorvakCam_ExportFW(unsigned char* pFwBuffer, LONG lFwLength, DorvakCam_SetProgress setProgress,
                        void* ptrClass) {
  (void)setProgress;  // the export makes no progress reports
  (void)ptrClass;
  if (!isOpen()) return 0;
  if (lFwLength <= 0) return 1;
  if (pFwBuffer == nullptr || lFwLength % kPiece != 0 || lFwLength > kFlashDataWindow) return 0;
  BYTE piece[kPiece];
  for (long i = 0; i < lFwLength; i += kPiece) {
    memset(piece, 0xFF, kPiece);
    if (LibUsb_ReadDataFormFlash(i, piece, kPiece) != 1) return 0;
    memcpy(pFwBuffer + i, piece, kPiece);
  }
  return 1;
}

}  // extern "C"
