// Firmware burning and export: the three burners with their shared
// program-and-verify procedure, the deferred bytes, the blank check, the
// progress reports, the refusals of malformed images, and the erases that
// report failure.
#include "ROMData.h"
#include "firmware_fixture.h"

#include <cstring>

namespace camtest {
namespace {

using vcam::CameraConfig;
using vcam::FirmwareSpec;

class BurnerTest : public FirmwareTest {
 protected:
  // Selector-3 transfers of a trace: flash-data reads and writes.
  struct DataOp {
    bool write;
    uint32_t addr;
    int count;
  };
  static std::vector<DataOp> dataOps(const std::vector<vcam::Transfer>& trace) {
    std::vector<DataOp> ops;
    for (const vcam::Transfer& t : trace) {
      if (t.selector() != 3 || !t.is_set() || t.out.size() < 3) continue;
      const uint32_t addr = static_cast<uint32_t>(((t.out[2] >> 4) & 7) << 16 | t.out[1] << 8 | t.out[0]);
      ops.push_back({!(t.out[2] & 0x80), addr, t.out[2] & 0x0F});
    }
    return ops;
  }
  static bool erased(const vcam::Camera& cam, size_t from) {
    return std::all_of(cam.flash().begin() + static_cast<long>(from), cam.flash().end(),
                       [](uint8_t b) { return b == 0xFF; });
  }
  std::vector<uint8_t> exportOf(long n) {
    std::vector<uint8_t> out(static_cast<size_t>(n), 0);
    EXPECT_EQ(DorvakCam_ExportFW(out.data(), n, nullptr, nullptr), 1);
    return out;
  }
};

// ------------------------------------------------------------ progress

struct ProgressCase {
  const char* name;
  long size;
  bool fullCheck;
  friend void PrintTo(const ProgressCase& c, std::ostream* os) { *os << c.name; }
};

class BurnProgressTest : public BurnerTest, public testing::WithParamInterface<ProgressCase> {};

TEST_P(BurnProgressTest, ReportsExactlyAndExportReturnsTheImage) {
  const ProgressCase& c = GetParam();
  CameraConfig cfg;
  vcam::Camera& cam = open(cfg);
  std::vector<uint8_t> image = imageFor(cfg, static_cast<size_t>(c.size));
  const std::vector<uint8_t> original = image;
  ProgressLog log;
  ASSERT_EQ(quiet([&] {
              EXPECT_EQ(DorvakCam_BurnerFW(image.data(), c.size, ProgressLog::record, &log, SFT_MXIC, c.fullCheck),
                        1);
            }),
            "");
  EXPECT_EQ(image, original) << "the caller's image is not changed";

  // One report per 512 bytes written, then the verification's.
  const size_t n = static_cast<size_t>(c.size / 512);
  const float span = c.fullCheck ? 0.5f : 1.0f;
  std::vector<float> expected;
  for (size_t k = 0; k < n; ++k) expected.push_back(span * static_cast<float>(k) / static_cast<float>(n));
  expected.push_back(span);
  if (c.fullCheck) {
    for (size_t k = 0; k < n; ++k) expected.push_back(0.5f + 0.5f * static_cast<float>(k) / static_cast<float>(n));
    expected.push_back(1.0f);
  }
  EXPECT_EQ(log.values, expected) << c.name;
  EXPECT_EQ(log.values[n - 1], c.fullCheck ? (c.size == 0x10000 ? 0.49609375f : 0.498046875f)
                                           : (c.size == 0x10000 ? 0.9921875f : 0.99609375f));

  EXPECT_EQ(exportOf(c.size), original) << c.name;
  EXPECT_EQ(flashAt(cam, 0, image.size()), original);
  EXPECT_TRUE(erased(cam, image.size())) << "the chip was erased before the burn";
}

INSTANTIATE_TEST_SUITE_P(Sizes, BurnProgressTest,
                         testing::Values(ProgressCase{"64k_sampled", 0x10000, false},
                                         ProgressCase{"64k_full", 0x10000, true},
                                         ProgressCase{"128k_sampled", 0x20000, false},
                                         ProgressCase{"128k_full", 0x20000, true}),
                         [](const testing::TestParamInfo<ProgressCase>& p) { return std::string(p.param.name); });

TEST_F(BurnerTest, WithoutACallbackNothingIsReported) {
  CameraConfig cfg;
  vcam::Camera& cam = open(cfg);
  auto image = imageFor(cfg, 0x4000);
  EXPECT_EQ(quiet([&] { EXPECT_EQ(DorvakCam_BurnerFW(image.data(), 0x4000, nullptr, nullptr, SFT_MXIC, TRUE), 1); }),
            "");
  EXPECT_EQ(flashAt(cam, 0, image.size()), image);
  ProgressLog log;
  std::vector<uint8_t> out(0x4000);
  EXPECT_EQ(DorvakCam_ExportFW(out.data(), 0x4000, ProgressLog::record, &log), 1);
  EXPECT_TRUE(log.values.empty()) << "the export makes no reports";
}

// ---------------------------------------------------- transfers of a burn

TEST_F(BurnerTest, A64KiBSampledBurnSendsOnlyItsSteps) {
  CameraConfig cfg;
  vcam::Camera& cam = open(cfg);
  constexpr long kSize = 0x10000;
  auto image = imageFor(cfg, kSize);
  const auto trace = traceOf([&] { quiet([&] { DorvakCam_BurnerFW(image.data(), kSize, nullptr, nullptr, SFT_MXIC, FALSE); }); });
  EXPECT_EQ(flashAt(cam, 0, image.size()), image);

  // The flash data moved, in order: the write-protect byte read by the
  // unprotect, the blank check (never the last 1 KiB), every piece, the
  // deferred sector-table bytes, the sampled verification.
  std::vector<DataOp> expected = {{false, 0x8034, 1}};
  for (uint32_t a = 0; a < kSize - 1024; a += 1024) expected.push_back({false, a, 8});
  for (uint32_t a = 0; a < kSize; a += 8) expected.push_back({true, a, 8});
  expected.push_back({true, 0x160, 8});
  for (uint32_t a = 0; a < kSize; a += 1024) expected.push_back({false, a, 8});
  const auto ops = dataOps(trace);
  ASSERT_EQ(ops.size(), expected.size());
  for (size_t i = 0; i < ops.size(); ++i) {
    ASSERT_EQ(ops[i].write, expected[i].write) << i;
    ASSERT_EQ(ops[i].addr, expected[i].addr) << i;
    ASSERT_EQ(ops[i].count, expected[i].count) << i;
  }
  // Everything else is the chip identification, the unprotect and the chip
  // erase: the same transfers as those three steps on their own.
  resetBus();
  open(cfg);
  BYTE chip = 0;
  const uint64_t steps = transfersOf([&] {
    LibUsb_GetChipRomType(&chip, nullptr);
    LibUsb_DisableSerialFlashWriteProtect(SFT_MXIC);
    LibUsb_SerialFlashErase(SFT_MXIC);
  });
  // A read is a request and its reply; the steps include the write-protect byte read.
  EXPECT_EQ(trace.size(), steps + 2 * 63 + 8193 + 2 * 64);
  RecordProperty("control_transfers", static_cast<int>(trace.size()));
  std::cout << "control transfers of a 64 KiB burn with the sampled check: " << trace.size() << "\n";
}

// ---------------------------------------------------- deferred bytes

TEST_F(BurnerTest, DeferredBytesAreWrittenLastAndChecked) {
  struct Case {
    uint8_t chip;
    std::vector<DataOp> last;  // the writes after the main pass, in order
    std::vector<std::pair<uint32_t, uint32_t>> blanked;  // [from, to) written as 0xFF in the main pass
  } cases[] = {
      {0xE1, {{true, 0x160, 8}}, {{0x160, 0x164}}},
      {0xE2,
       {{true, 0x160, 8}, {true, 0x6702, 8}, {true, 0x670A, 8}, {true, 0x6712, 5}, {true, 0, 2}, {true, 0x6700, 2}},
       {{0x160, 0x164}, {0, 2}, {0x6700, 0x6717}}},
  };
  for (const Case& c : cases) {
    resetBus();
    CameraConfig cfg;
    cfg.chip_id = c.chip;
    vcam::Camera& cam = open(cfg);
    constexpr long kSize = 0x8000;
    auto image = imageFor(cfg, kSize);
    const auto trace = traceOf([&] {
      quiet([&] { EXPECT_EQ(DorvakCam_BurnerFW(image.data(), kSize, nullptr, nullptr, SFT_MXIC, TRUE), 1); });
    });
    std::vector<DataOp> writes;
    std::vector<vcam::Transfer> writeTransfers;
    for (const vcam::Transfer& t : trace)
      if (t.selector() == 3 && t.is_set() && !(t.out[2] & 0x80)) writeTransfers.push_back(t);
    for (const DataOp& op : dataOps(trace))
      if (op.write) writes.push_back(op);
    ASSERT_EQ(writes.size(), kSize / 8 + c.last.size());
    for (size_t i = 0; i < c.last.size(); ++i) {
      const DataOp& op = writes[kSize / 8 + i];
      EXPECT_EQ(op.addr, c.last[i].addr) << std::hex << int(c.chip);
      EXPECT_EQ(op.count, c.last[i].count) << std::hex << int(c.chip);
    }
    // The main pass sends 0xFF in place of the deferred bytes.
    for (const auto& [from, to] : c.blanked)
      for (uint32_t a = from; a < to; ++a)
        EXPECT_EQ(writeTransfers[a / 8].out[3 + a % 8], 0xFF) << std::hex << a;
    EXPECT_EQ(writeTransfers[0x164 / 8].out[3 + 4], image[0x164]) << "0x164 to 0x167 are written in the main pass";
    EXPECT_EQ(flashAt(cam, 0, image.size()), image) << std::hex << int(c.chip);
    // The full verification reads every piece after the last write, the
    // deferred ones included.
    const auto ops = dataOps(trace);
    const auto lastWrite = std::find_if(ops.rbegin(), ops.rend(), [](const DataOp& op) { return op.write; });
    std::vector<uint32_t> checked;
    for (auto it = lastWrite.base(); it != ops.end(); ++it) checked.push_back(it->addr);
    std::vector<uint32_t> every;
    for (uint32_t a = 0; a < kSize; a += 8) every.push_back(a);
    EXPECT_EQ(checked, every) << std::hex << int(c.chip);
    DorvakCam_UnInit();
  }
}

// ---------------------------------------------------- preparation

TEST_F(BurnerTest, WriteFwToFlashNeitherUnprotectsNorErases) {
  CameraConfig cfg;
  vcam::Camera& cam = open(cfg);
  auto image = imageFor(cfg, 0x4000, 99);
  EXPECT_EQ(DorvakCam_EraseSerialFlash(SFT_MXIC), 1);
  auto trace = traceOf([&] { EXPECT_EQ(DorvakCam_WriteFwToFlash(image.data(), 0x4000, nullptr, nullptr, TRUE), 1); });
  EXPECT_EQ(flashAt(cam, 0, image.size()), image);
  EXPECT_TRUE(writesTo(trace, 0x1080).empty()) << "no manual mode: no erase, no status write";
  EXPECT_TRUE(ofSelector(trace, 4).empty()) << "no ROM identification of the unprotect";

  // Onto a flash that still holds data the writes cannot land, and the
  // verification says so; the flash is not erased.
  auto other = imageFor(cfg, 0x4000, 5);
  gEC = EC_UnKnow;
  trace = traceOf([&] { EXPECT_EQ(DorvakCam_WriteFwToFlash(other.data(), 0x4000, nullptr, nullptr, FALSE), 0); });
  EXPECT_EQ(gEC, EC_BurnerCheckFail);
  EXPECT_TRUE(writesTo(trace, 0x1080).empty());
  EXPECT_EQ(cam.flash_erases(), 1) << "only the caller's erase";
}

TEST_F(BurnerTest, BlankCheckFindsAFlashThatWasNotErased) {
  CameraConfig cfg;
  vcam::Camera& cam = open(cfg);
  protectBeforeOpcode(cam, 0x60);  // the chip erase
  const auto before = cam.flash();
  auto image = imageFor(cfg, 0x4000, 3);
  gEC = EC_UnKnow;
  quiet([&] { EXPECT_EQ(DorvakCam_BurnerFW(image.data(), 0x4000, nullptr, nullptr, SFT_MXIC, FALSE), 0); });
  EXPECT_EQ(gEC, EC_EraseFlashFail);
  EXPECT_EQ(cam.flash(), before);
}

TEST_F(BurnerTest, ChipF4GetsItsBurnKeyFirst) {
  CameraConfig cfg;
  cfg.chip_id = 0xF4;
  cfg.arch = vcam::Arch::Second;
  vcam::Camera& cam = open(cfg);
  auto image = imageFor(cfg, 0x2000);
  const auto trace = traceOf([&] { quiet([&] { EXPECT_EQ(DorvakCam_BurnerFW(image.data(), 0x2000, nullptr, nullptr, SFT_MXIC, TRUE), 1); }); });
  EXPECT_EQ(writesTo(trace, 0x05FF), std::vector<uint8_t>{0x5A});
  const auto ops = registerOps(trace);
  const auto firstWrite = std::find_if(ops.begin(), ops.end(), [](const RegOp& op) { return op.write; });
  ASSERT_NE(firstWrite, ops.end());
  EXPECT_EQ(*firstWrite, W(0x05FF, 0x5A)) << "right after the chip identification";
  EXPECT_EQ(flashAt(cam, 0, image.size()), image);
}

// ---------------------------------------------------- refusals

TEST_F(BurnerTest, MalformedImagesAreRefusedBeforeTheFlashIsTouched) {
  struct Case {
    const char* name;
    uint8_t chip;
    long size;  // of the image passed
    bool nullImage;
    SERIAL_FLASH_TYPE sft;
    ERROR_CODE code;
    bool chipRead;  // the chip is identified before the refusal
  } cases[] = {
      {"not a multiple of 8", 0xE1, 0x1004, false, SFT_MXIC, EC_UnKnow, false},
      {"no room for the sector table", 0xE1, 0x160, false, SFT_MXIC, EC_UnKnow, false},
      {"empty", 0xE1, 0, false, SFT_MXIC, EC_UnKnow, false},
      {"negative", 0xE1, -8, false, SFT_MXIC, EC_UnKnow, false},
      {"past the flash-data window", 0xE1, 0x40008, false, SFT_MXIC, EC_UnKnow, false},
      {"no image", 0xE1, 0x1000, true, SFT_MXIC, EC_UnKnow, false},
      {"unknown flash type", 0xE1, 0x1000, false, SFT_UNKNOW, EC_UnKnowSerialFlashType, false},
      {"chip E2 without room for 0x6700", 0xE2, 0x6710, false, SFT_MXIC, EC_UnKnow, true},
  };
  for (const Case& c : cases) {
    resetBus();
    CameraConfig cfg;
    cfg.chip_id = c.chip;
    vcam::Camera& cam = open(cfg);
    const auto before = cam.flash();
    std::vector<uint8_t> image = imageFor(cfg, 0x40008);
    BYTE* p = c.nullImage ? nullptr : image.data();
    ChangeParamInfo none = {};
    using Burner = std::function<BOOL()>;
    const std::pair<const char*, Burner> burners[] = {
        {"BurnerFW", [&] { return DorvakCam_BurnerFW(p, c.size, nullptr, nullptr, c.sft, TRUE); }},
        {"WriteFwToFlash", [&] { return DorvakCam_WriteFwToFlash(p, c.size, nullptr, nullptr, TRUE); }},
        {"CustomBurnerFW", [&] { return DorvakCam_CustomBurnerFW(none, p, c.size, nullptr, nullptr, c.sft, TRUE); }},
    };
    for (const auto& [name, burn] : burners) {
      if (c.sft == SFT_UNKNOW && std::string(name) == "WriteFwToFlash") continue;  // takes no flash type
      if (c.chipRead && std::string(name) == "CustomBurnerFW") continue;  // its table lies past the image
      gEC = EC_UnKnow;
      const auto trace = traceOf([&] { EXPECT_EQ(burn(), 0) << name << ": " << c.name; });
      EXPECT_EQ(gEC, c.code) << name << ": " << c.name;
      EXPECT_EQ(cam.flash(), before) << name << ": " << c.name;
      for (const RegOp& op : registerOps(trace)) EXPECT_FALSE(op.write) << name << ": " << c.name;
      EXPECT_TRUE(ofSelector(trace, 3).empty()) << name << ": " << c.name;
      if (!c.chipRead) {
        EXPECT_TRUE(trace.empty()) << name << ": " << c.name;
      }
    }
    DorvakCam_UnInit();
  }
}

TEST_F(BurnerTest, CustomBurnerRefusesRequestsAndImagesItCannotPatch) {
  CameraConfig cfg;  // ROM model ROMM24: table at 0x10000, CRC record at 0x11000
  vcam::Camera& cam = open(cfg);
  const auto before = cam.flash();
  auto image = imageFor(cfg, 0x20000);
  std::string longSerial(32, 'S');
  ChangeParamInfo tooLong = {};
  tooLong.pSerialNumber = reinterpret_cast<BYTE*>(longSerial.data());
  tooLong.SerialNumberLength = 32;
  ChangeParamInfo none = {};
  struct Case {
    const char* name;
    const ChangeParamInfo* info;
    long size;
  } cases[] = {
      {"a 32-character serial number", &tooLong, 0x20000},
      {"the table past the image", &none, 0x10000},
      {"the CRC record past the image", &none, 0x11010},
  };
  for (const Case& c : cases) {
    const auto trace = traceOf([&] {
      EXPECT_EQ(DorvakCam_CustomBurnerFW(*c.info, image.data(), c.size, nullptr, nullptr, SFT_MXIC, TRUE), 0) << c.name;
    });
    EXPECT_EQ(cam.flash(), before) << c.name;
    for (const RegOp& op : registerOps(trace)) EXPECT_FALSE(op.write) << c.name;
    EXPECT_TRUE(ofSelector(trace, 3).empty()) << c.name;
  }
  EXPECT_EQ(DorvakCam_ExportFW(image.data(), 12, nullptr, nullptr), 0) << "the export stores whole pieces only";
  EXPECT_EQ(DorvakCam_ExportFW(nullptr, 8, nullptr, nullptr), 0);
  EXPECT_EQ(DorvakCam_ExportFW(image.data(), 0, nullptr, nullptr), 1);
}

TEST_F(BurnerTest, ClosedSdkRefusesEverything) {
  addCameraWithFirmware();
  std::vector<uint8_t> image(0x1000, 0xFF);
  ChangeParamInfo none = {};
  gEC = EC_NoFindDevice;
  const auto trace = traceOf([&] {
    EXPECT_EQ(DorvakCam_BurnerFW(image.data(), 0x1000, nullptr, nullptr, SFT_UNKNOW, TRUE), 0);
    EXPECT_EQ(DorvakCam_WriteFwToFlash(image.data(), 0x1000, nullptr, nullptr, TRUE), 0);
    EXPECT_EQ(DorvakCam_CustomBurnerFW(none, image.data(), 0x1000, nullptr, nullptr, SFT_UNKNOW, TRUE), 0);
    EXPECT_EQ(DorvakCam_ExportFW(image.data(), 0x1000, nullptr, nullptr), 0);
  });
  EXPECT_TRUE(trace.empty());
  EXPECT_EQ(gEC, EC_NoFindDevice);
}

TEST_F(BurnerTest, AWorkingCopyThatCannotBeAllocated) {
  CameraConfig cfg;
  vcam::Camera& cam = open(cfg);
  auto image = imageFor(cfg, 0x20000);
  ChangeParamInfo none = {};
  struct Case {
    const char* name;
    std::function<BOOL()> burn;
    bool erasedFirst;
  } cases[] = {
      {"BurnerFW", [&] { return DorvakCam_BurnerFW(image.data(), 0x20000, nullptr, nullptr, SFT_MXIC, TRUE); }, true},
      {"WriteFwToFlash", [&] { return DorvakCam_WriteFwToFlash(image.data(), 0x20000, nullptr, nullptr, TRUE); },
       false},
      {"CustomBurnerFW",
       [&] { return DorvakCam_CustomBurnerFW(none, image.data(), 0x20000, nullptr, nullptr, SFT_MXIC, TRUE); }, false},
  };
  for (const Case& c : cases) {
    cam.load_flash(imageFor(cfg, 0x20000, 11));
    const auto before = cam.flash();
    gEC = EC_UnKnow;
    HeapWatch::failNext = true;
    quiet([&] { EXPECT_EQ(c.burn(), 0) << c.name; });
    EXPECT_EQ(gEC, EC_MallocMemoryFail) << c.name;
    EXPECT_EQ(cam.flash() == before, !c.erasedFirst) << c.name;
    EXPECT_EQ(cam.flash_programs(), 0) << c.name;
  }
}

// ---------------------------------------------------- identity patch

TEST_F(BurnerTest, CustomBurnerBurnsTheImageWithTheNewIdentity) {
  CameraConfig cfg;
  vcam::Camera& cam = open(cfg);
  auto image = imageFor(cfg, 0x20000);
  const auto original = image;
  std::string serial = "NEW-SERIAL-42", product = "Depth Camera Pro";
  BYTE ids[4] = {0x34, 0x12, 0x78, 0x56};
  ChangeParamInfo info = {};
  info.pSerialNumber = reinterpret_cast<BYTE*>(serial.data());
  info.SerialNumberLength = static_cast<unsigned>(serial.size());
  info.pProduct = reinterpret_cast<BYTE*>(product.data());
  info.ProductLength = static_cast<unsigned>(product.size());
  info.pVidPid = ids;
  ProgressLog log;
  quiet([&] {
    EXPECT_EQ(DorvakCam_CustomBurnerFW(info, image.data(), 0x20000, ProgressLog::record, &log, SFT_MXIC, FALSE), 1);
  });
  EXPECT_EQ(image, original) << "the caller's image is not changed";
  EXPECT_EQ(log.values.size(), 0x20000u / 512 + 1);

  // What a builder makes with the new identity is what the flash holds,
  // CRC included.
  FirmwareSpec fw;
  fw.rom_model = cfg.rom_model;
  fw.chip_id = cfg.chip_id;
  fw.size = 0x20000;
  fw.seed = 7;
  fw.serial = serial;
  fw.product = product;
  fw.vid = 0x1234;
  fw.pid = 0x5678;
  EXPECT_EQ(flashAt(cam, 0, 0x20000), vcam::build_firmware(fw));
  BYTE text[40] = {};
  EXPECT_EQ(DorvakCam_GetSerialNumber(text, sizeof text), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text)), serial);

  // An empty request burns the image as it is (its CRC was right).
  quiet([&] { EXPECT_EQ(DorvakCam_CustomBurnerFW(ChangeParamInfo{}, image.data(), 0x20000, nullptr, nullptr, SFT_MXIC, FALSE), 1); });
  EXPECT_EQ(flashAt(cam, 0, 0x20000), original);
}

TEST_F(BurnerTest, ALayoutWithoutACrcRecordGetsNoCrc) {
  CameraConfig cfg;
  cfg.rom_model = vcam::rom_model_index("ROMM05V1");  // table at 0x8000, no CRC record
  vcam::Camera& cam = open(cfg);
  auto image = imageFor(cfg, 0x10000);
  std::string serial = "X1";
  ChangeParamInfo info = {};
  info.pSerialNumber = reinterpret_cast<BYTE*>(serial.data());
  info.SerialNumberLength = 2;
  quiet([&] { EXPECT_EQ(DorvakCam_CustomBurnerFW(info, image.data(), 0x10000, nullptr, nullptr, SFT_MXIC, TRUE), 1); });
  EXPECT_EQ(flashAt(cam, 0, 0x8000), std::vector<uint8_t>(image.begin(), image.begin() + 0x8000))
      << "no CRC is written over the code at 20 and 21";
  EXPECT_EQ(flashAt(cam, 0x80C0, 64), vcam::string_slot(serial));
}

// ---------------------------------------------------- selected camera

TEST_F(BurnerTest, TheSelectedCameraIsBurnedCheckedAndExported) {
  CameraConfig first, second;
  second.chip_id = 0xF3;
  vcam::Camera& cam0 = addCameraWithFirmware(first);
  vcam::Camera& cam1 = addCameraWithFirmware(second);
  init();
  quiet([] { DorvakCamera_SetDevicesID(1); });
  const auto before0 = cam0.flash();
  auto image = imageFor(second, 0x10000, 21);
  const auto trace = traceOf([&] {
    quiet([&] { EXPECT_EQ(DorvakCam_BurnerFW(image.data(), 0x10000, nullptr, nullptr, SFT_MXIC, TRUE), 1); });
    EXPECT_EQ(exportOf(0x10000), image);
  });
  EXPECT_EQ(flashAt(cam1, 0, image.size()), image);
  EXPECT_EQ(cam0.flash(), before0) << "the first camera keeps its firmware";
  EXPECT_EQ(cam0.flash_erases(), 0);
  for (const vcam::Transfer& t : trace) ASSERT_EQ(t.device, 1);
}

// ---------------------------------------------------- erases

TEST_F(BurnerTest, ErasesReportFailedTransfersAndTimeOuts) {
  struct Case {
    const char* name;
    std::function<BOOL()> erase;
  } cases[] = {
      {"sector", [] { return LibUsb_EraseSectorForSerialFlash(0x3000, SFT_MXIC); }},
      {"block", [] { return LibUsb_EraseBlockForSerialFlash(0x30000, SFT_MXIC); }},
      {"chip", [] { return LibUsb_SerialFlashErase(SFT_MXIC); }},
      {"chip SST", [] { return LibUsb_SerialFlashErase(SFT_SST); }},
  };
  for (const Case& c : cases) {
    resetBus();
    CameraConfig cfg;
    cfg.protected_at_start = false;
    cfg.flash_timing.chip_erase = 3;
    vcam::Camera& cam = open(cfg);
    const auto clean = traceOf([&] { EXPECT_EQ(c.erase(), 1) << c.name; });
    for (uint64_t k = 1; k <= clean.size(); ++k) {
      while (cam.flash_busy()) usleep(1000);
      bus().fail_transfer(k);
      BOOL r = 1;
      const auto trace = traceOf([&] { quiet([&] { r = c.erase(); }); });
      if (!isReadyFlagPoll(clean, k - 1)) {
        EXPECT_EQ(r, 0) << c.name << ", transfer " << k;
      }
      // The flash is given back, unless giving it back was what failed.
      const auto failed = std::find_if(trace.begin(), trace.end(), [](const vcam::Transfer& t) { return t.result < 0; });
      ASSERT_NE(failed, trace.end());
      const bool wasRegisterWrite = failed->selector() == 1 && failed->out.size() == 4 && failed->out[3] == 0x00;
      const int reg = wasRegisterWrite ? failed->out[0] | failed->out[1] << 8 : 0;
      if (reg != 0x1080) {
        EXPECT_EQ(cam.reg(0x1080) & 1, 0) << c.name << ", transfer " << k << ": manual mode left";
      }
      if (reg != 0x1091 && reg != 0x1080) {
        EXPECT_EQ(cam.reg(0x1091) & 1, 1) << c.name << ", transfer " << k << ": flash released";
      }
      cam.set_reg(0x1080, 0);
      cam.set_reg(0x1091, 1);
    }
  }
  resetBus();
  CameraConfig slow;
  slow.flash_timing.chip_erase = 100000;  // longer than the status polls last
  vcam::Camera& cam = open(slow);
  EXPECT_EQ(DorvakCam_EraseSerialFlash(SFT_MXIC), 0) << "the erase never finished";
  EXPECT_EQ(DorvakCam_GetErrorCode(), EC_EraseFlashFail);
  EXPECT_EQ(cam.reg(0x1080) & 1, 0);
  EXPECT_EQ(cam.reg(0x1091) & 1, 1) << "the flash is released";
}

// ---------------------------------------------------- failed transfers

// The steps of a burn of `n` bytes, each counted as the layer takes it on
// the bed.  A failed ROM read at an address that does not hold the ROM's
// string is not noticed.
std::vector<Phase> burnPlan(long n, bool fullCheck, bool erases, uint64_t layout,
                            const std::function<uint64_t(const std::function<void()>&)>& count) {
  std::vector<Phase> plan;
  if (layout) plan.push_back({"layout", layout, {EC_UnKnow}, true});
  BYTE chip = 0;
  plan.push_back({"chip", count([&] { LibUsb_GetChipRomType(&chip, nullptr); }), {EC_UnKnow}});
  if (erases) {
    // Some unprotect transfers are not checked; when the pin then still
    // protects the flash, the erase is refused and the blank check finds
    // the old data.
    plan.push_back({"unprotect",
                    count([] { LibUsb_DisableSerialFlashWriteProtect(SFT_MXIC); }),
                    {EC_DisableFlashWriteProtectFail, EC_EraseFlashFail},
                    true});
    plan.push_back({"chip erase", count([] { LibUsb_SerialFlashErase(SFT_MXIC); }), {EC_EraseFlashFail}});
    plan.push_back({"blank check", static_cast<uint64_t>(2 * (n / 1024 - 1)), {EC_UnKnow}});
  }
  plan.push_back({"writes", static_cast<uint64_t>(n / 8 + 1), {EC_UnKnow}});
  plan.push_back({"verification", static_cast<uint64_t>(2 * (fullCheck ? n / 8 : n / 1024)), {EC_UnKnow}});
  return plan;
}

class BurnerFaultTest : public BurnerTest {
 protected:
  static constexpr long kSize = 0x800;
  CameraConfig cfg_;
  std::vector<uint8_t> image_;
  vcam::Camera* cam_ = nullptr;

  void SetUp() override {
    BurnerTest::SetUp();
    cfg_.flash_timing.chip_erase = 2;
    cfg_.rom_model = vcam::rom_model_index("ROMM14V1");  // short sector table: a table the image can hold
    cfg_.flash_image = tableImage(0x20000);
    image_ = tableImage(kSize);
  }
  std::vector<uint8_t> tableImage(size_t size) const {
    FirmwareSpec fw;
    fw.rom_model = cfg_.rom_model;
    fw.chip_id = cfg_.chip_id;
    fw.size = size;
    fw.seed = 77;
    fw.table_start = 0x400;
    fw.table_length = 0x200;
    fw.crc_addr = 0x600;
    return vcam::build_firmware(fw);
  }
  void arrange(bool prepared) {
    resetBus();
    cam_ = &bus().add_camera(cfg_);
    init();
    if (prepared) quiet([] { DorvakCam_EraseSerialFlash(SFT_MXIC); });
  }
  std::function<uint64_t(const std::function<void()>&)> counter() {
    return [this](const std::function<void()>& fn) { return transfersOf(fn); };
  }
  bool flashHoldsImage() const { return flashAt(*cam_, 0, image_.size()) == image_; }
};

TEST_F(BurnerFaultTest, BurnerFW) {
  forEachTransferFault([&] { arrange(false); }, [&] { return burnPlan(kSize, true, true, 0, counter()); },
                       [&] { return DorvakCam_BurnerFW(image_.data(), kSize, nullptr, nullptr, SFT_MXIC, TRUE); },
                       [&] { return flashHoldsImage(); });
}

TEST_F(BurnerFaultTest, WriteFwToFlash) {
  forEachTransferFault([&] { arrange(true); }, [&] { return burnPlan(kSize, true, false, 0, counter()); },
                       [&] { return DorvakCam_WriteFwToFlash(image_.data(), kSize, nullptr, nullptr, TRUE); },
                       [&] { return flashHoldsImage(); });
}

TEST_F(BurnerFaultTest, CustomBurnerFW) {
  auto plan = [&] {
    uint64_t s = 0, e = 0, k = 0;
    const uint64_t layout = transfersOf([&] { LibUsb_GetParaTableAndCRCAddrFormFW(image_.data(), &s, &e, &k); });
    return burnPlan(kSize, false, true, layout, counter());
  };
  forEachTransferFault([&] { arrange(false); }, plan,
                       [&] {
                         return DorvakCam_CustomBurnerFW(ChangeParamInfo{}, image_.data(), kSize, nullptr, nullptr,
                                                         SFT_MXIC, FALSE);
                       },
                       [&] { return flashHoldsImage(); });
}

TEST_F(BurnerFaultTest, ExportFW) {
  std::vector<uint8_t> out;
  forEachTransferFault([&] { arrange(false); },
                       [&] { return std::vector<Phase>{{"reads", 2 * kSize / 8, {EC_UnKnow}}}; },
                       [&] {
                         out.assign(kSize, 0);
                         return DorvakCam_ExportFW(out.data(), kSize, nullptr, nullptr);
                       },
                       [&] {
                         const auto flash = tableImage(0x20000);
                         return out == std::vector<uint8_t>(flash.begin(), flash.begin() + kSize);
                       });
}

}  // namespace
}  // namespace camtest
