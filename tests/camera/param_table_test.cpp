// Parameter-table update: the string-descriptor slots, the table's CRC,
// and the rewrite of the flash region that holds the table and its CRC
// record.
#include "ROMData.h"
#include "firmware_fixture.h"

#include <boost/crc.hpp>

#include <cstring>
#include <random>

namespace camtest {
namespace {

using vcam::CameraConfig;
using vcam::FirmwareSpec;

// ------------------------------------------------------------ memory only

TEST(SetParamToParamBuffer, WritesOneStringDescriptorSlot) {
  struct Case {
    std::string text;
    std::vector<uint8_t> head;  // the bytes before the 0xFF fill
  } cases[] = {
      {"ABCDE", {0x0C, 0x03, 'A', 0, 'B', 0, 'C', 0, 'D', 0, 'E', 0}},
      {"", {0x02, 0x03}},
      {std::string(31, 'x'), {}},
  };
  cases[2].head = {0x40, 0x03};
  for (int i = 0; i < 31; ++i) cases[2].head.insert(cases[2].head.end(), {'x', 0});
  for (Case& c : cases) {
    std::vector<uint8_t> buf(0x100, 0x11);
    EXPECT_EQ(SetParamToParamBuffer(buf.data(), 0x40, reinterpret_cast<BYTE*>(c.text.data()),
                                    static_cast<LONG>(c.text.size())),
              TRUE);
    std::vector<uint8_t> slot = c.head;
    slot.resize(64, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 0x40, buf.begin() + 0x80), slot) << c.text;
    EXPECT_EQ(buf[0x3F], 0x11);
    EXPECT_EQ(buf[0x80], 0x11) << "the next slot is untouched";
  }
}

TEST(SetParamToParamBuffer, RefusesWhatDoesNotFitWithoutWriting) {
  std::vector<uint8_t> buf(0x100, 0x11);
  std::string text(32, 'y');
  BYTE* t = reinterpret_cast<BYTE*>(text.data());
  EXPECT_EQ(SetParamToParamBuffer(buf.data(), 0x40, t, 32), FALSE);
  EXPECT_EQ(SetParamToParamBuffer(buf.data(), 0x40, t, -1), FALSE);
  EXPECT_EQ(SetParamToParamBuffer(buf.data(), -1, t, 3), FALSE);
  EXPECT_EQ(SetParamToParamBuffer(buf.data(), 0x40, nullptr, 3), FALSE);
  EXPECT_EQ(SetParamToParamBuffer(nullptr, 0x40, t, 3), FALSE);
  EXPECT_EQ(buf, std::vector<uint8_t>(0x100, 0x11));
}

uint16_t boostModbus(const uint8_t* p, size_t n) {
  boost::crc_optimal<16, 0x8005, 0xFFFF, 0, true, true> crc;
  crc.process_bytes(p, n);
  return crc.checksum();
}

TEST(CheckCRC, StoresTheModbusCrcHighByteFirst) {
  std::vector<uint8_t> fw(0x200, 0x5A);
  const std::string check = "123456789";
  std::copy(check.begin(), check.end(), fw.begin() + 0x10);
  EXPECT_EQ(CheckCRC(fw.data(), 0x10, 9, 0x100), TRUE);
  EXPECT_EQ(fw[0x114], 0x4B);
  EXPECT_EQ(fw[0x115], 0x37);
  EXPECT_EQ(fw[0x113], 0x5A);
  EXPECT_EQ(fw[0x116], 0x5A);
  EXPECT_EQ(CheckCRC(fw.data(), 0x10, 0, 0x100), TRUE);
  EXPECT_EQ(fw[0x114], 0xFF);
  EXPECT_EQ(fw[0x115], 0xFF);

  std::mt19937 rng(5);
  for (size_t n : {1u, 2u, 63u, 0x800u, 0xF00u, 0x1000u}) {
    std::vector<uint8_t> table(n + 0x40);
    for (auto& b : table) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(CheckCRC(table.data(), 0, static_cast<LONG>(n), static_cast<LONG>(n)), TRUE);
    const uint16_t want = boostModbus(table.data(), n);
    EXPECT_EQ(table[n + 20], want >> 8) << n;
    EXPECT_EQ(table[n + 21], want & 0xFF) << n;
  }
  EXPECT_EQ(CheckCRC(nullptr, 0, 1, 0), FALSE);
  EXPECT_EQ(CheckCRC(fw.data(), 0, -1, 0), FALSE);
}

// ------------------------------------------------------------ flash update

class ParamTableTest : public FirmwareTest {
 protected:
  static constexpr const char* kSerial = "SN-UPDATED-77";
  static constexpr const char* kProduct = "Dorvak Depth Pro";

  // A request that changes the serial number, the product and the identifiers.
  struct Request {
    std::string serial = kSerial, product = kProduct;
    BYTE ids[4] = {0xCD, 0xAB, 0x01, 0xEF};
    ChangeParamInfo info{};
    Request() {
      info.pSerialNumber = reinterpret_cast<BYTE*>(serial.data());
      info.SerialNumberLength = static_cast<unsigned>(serial.size());
      info.pProduct = reinterpret_cast<BYTE*>(product.data());
      info.ProductLength = static_cast<unsigned>(product.size());
      info.pVidPid = ids;
    }
  };
  // What the builder makes of `fw` with the request's identity.
  static FirmwareSpec withRequest(FirmwareSpec fw) {
    fw.serial = kSerial;
    fw.product = kProduct;
    fw.vid = 0xABCD;
    fw.pid = 0xEF01;
    return fw;
  }
  static FirmwareSpec specFor(const CameraConfig& cfg) {
    FirmwareSpec fw;
    fw.rom_model = cfg.rom_model;
    fw.chip_id = cfg.chip_id;
    return fw;
  }
  // Runs the update; returns what it printed.
  std::string update(std::vector<uint8_t>& image, const ChangeParamInfo* info, BOOL expected,
                     ProgressLog* log = nullptr, SERIAL_FLASH_TYPE sft = SFT_MXIC, long size = -1) {
    return quiet([&] {
      EXPECT_EQ(DorvakCam_SetParamTableFormFWFile(image.data(), size < 0 ? static_cast<long>(image.size()) : size,
                                                  info, log ? ProgressLog::record : nullptr, log, sft, nullptr),
                expected);
    });
  }
  // Sector erases sent to the flash (opcode 0x20 and its address).
  static std::vector<uint32_t> sectorErases(const std::vector<vcam::Transfer>& trace) {
    const auto sent = flashBytesSent(trace);
    std::vector<uint32_t> at;
    for (size_t i = 0; i + 4 < sent.size(); ++i)
      if (sent[i] == 0x06 && sent[i + 1] == 0x20)
        at.push_back(static_cast<uint32_t>(sent[i + 2] << 16 | sent[i + 3] << 8 | sent[i + 4]));
    return at;
  }
};

struct LayoutCase {
  const char* name;
  const char* rom;
  const char* layoutLine;
  std::vector<uint32_t> erased;  // sectors erased, in order
  bool traced;                   // the CRC sector holds the traced piece at 0x11210
  friend void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }
};

class ParamTableLayoutTest : public ParamTableTest, public testing::WithParamInterface<LayoutCase> {};

TEST_P(ParamTableLayoutTest, RewritesTheRegionAndTheCrcSector) {
  const LayoutCase& c = GetParam();
  CameraConfig cfg;
  cfg.rom_model = vcam::rom_model_index(c.rom);
  const FirmwareSpec fw = specFor(cfg);
  vcam::Camera& cam = open(cfg, fw);
  std::vector<uint8_t> image = vcam::build_firmware(fw);  // the firmware file of this camera
  const auto original = image;
  Request req;
  std::string out;
  const auto trace = traceOf([&] { out = update(image, &req.info, 1); });
  EXPECT_EQ(image, original) << "the caller's image is not changed";

  const auto expected = vcam::build_firmware(withRequest(fw));
  EXPECT_EQ(flashAt(cam, 0, expected.size()), expected) << c.name << ": new identity and CRC, the rest kept";
  EXPECT_EQ(sectorErases(trace), c.erased) << c.name;
  std::string lines = c.layoutLine;
  if (c.traced) {
    char piece[80];
    const uint8_t* p = expected.data() + 0x11210;
    snprintf(piece, sizeof piece, "0x11210 = %x %x %x %x %x %x %x %x\n", p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
    // The CRC sector was erased, so the region pass has written it already.
    lines += "read " + std::string(piece) + piece + "read " + piece;
  }
  EXPECT_EQ(out, lines) << c.name;

  BYTE text[40] = {};
  EXPECT_EQ(DorvakCam_GetSerialNumber(text, sizeof text), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text)), kSerial);
  BYTE ids[4] = {};
  EXPECT_EQ(DorvakCam_GetVidPid(ids, 4), 1);
  EXPECT_EQ(std::vector<uint8_t>(ids, ids + 4), std::vector<uint8_t>(req.ids, req.ids + 4));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ParamTableLayoutTest,
    testing::Values(
        LayoutCase{"table_C000_crc_CF00", "ROMM20V1",
                   "dwParaTableStartAddr :c000, dwParaTableEndAddr : cf00, dwCRCStartAddr: cf00", {0xC000}, false},
        // Region 0x4000 to 0x7FFF; the CRC sector 0x6000 is erased and written on its own.
        LayoutCase{"table_5800_crc_6700", "ROMM06V1",
                   "dwParaTableStartAddr :5800, dwParaTableEndAddr : 6700, dwCRCStartAddr: 6700", {0x5800, 0x6000},
                   false},
        // The CRC record in the sub-sector right after the table start's.
        LayoutCase{"table_10000_crc_11000", "ROMM24",
                   "dwParaTableStartAddr :10000, dwParaTableEndAddr : 11000, dwCRCStartAddr: 11000",
                   {0x10000, 0x11000}, true},
        // No CRC record: nothing is written at 20 and 21 of the image.
        LayoutCase{"table_8000_no_crc", "ROMM05V1",
                   "dwParaTableStartAddr :8000, dwParaTableEndAddr : 8800, dwCRCStartAddr: 0", {0x8000}, false}),
    [](const testing::TestParamInfo<LayoutCase>& p) { return std::string(p.param.name); });

TEST_F(ParamTableTest, AnEmptyRequestStillRewritesTheCrc) {
  CameraConfig cfg;
  cfg.rom_model = vcam::rom_model_index("ROMM20V1");  // table 0xC000, CRC record 0xCF00
  vcam::Camera& cam = open(cfg);
  auto image = vcam::build_firmware(specFor(cfg));
  cam.flash()[0xCF00 + 20] ^= 0xFF;  // a stale CRC in the flash
  image[0xCF00 + 21] ^= 0xFF;        // and another in the file
  ChangeParamInfo none = {};
  update(image, &none, 1);
  EXPECT_EQ(flashAt(cam, 0, 0x20000), vcam::build_firmware(specFor(cfg)));
}

TEST_F(ParamTableTest, ProgressComesFromTheErasedSubSectorsOnly) {
  CameraConfig cfg;
  cfg.rom_model = vcam::rom_model_index("ROMM20V1");  // region 0xC000 to 0xFFFF
  vcam::Camera& cam = open(cfg);
  auto image = vcam::build_firmware(specFor(cfg));
  std::fill(cam.flash().begin() + 0xE000, cam.flash().begin() + 0xF000, 0xFF);  // already erased
  const int programs = cam.flash_programs();
  ProgressLog log;
  ChangeParamInfo none = {};
  update(image, &none, 1, &log);
  EXPECT_EQ(flashAt(cam, 0xE000, 0x1000), std::vector<uint8_t>(image.begin() + 0xE000, image.begin() + 0xF000))
      << "an erased sub-sector of the region is written";
  EXPECT_EQ(cam.flash_programs() - programs, 2 * 512) << "two sub-sectors of 512 pieces";

  // Three of every four pieces report, from just above 0.5 to just below 1.
  std::vector<float> expected;
  for (long k : {0L, 2L})
    for (long o = 0; o < 0x1000; o += 8)
      if (o % 32) expected.push_back(static_cast<float>((k * 0x1000 + o) / 2) / 16384.0f + 0.5f);
  EXPECT_EQ(log.values, expected);
  ASSERT_EQ(log.values.size(), 768u);
  EXPECT_GT(log.values.front(), 0.5f);
  EXPECT_LT(log.values.back(), 1.0f);
}

TEST_F(ParamTableTest, SubSectorsWithDataKeepTheFlashContents) {
  struct Case {
    const char* name;
    long offset;  // in sub-sector 0xD000, which the update does not rewrite
    BOOL result;
  } cases[] = {{"differs where checked", 0x200, 0}, {"differs between the checks", 0x208, 1}};
  for (const Case& c : cases) {
    resetBus();
    CameraConfig cfg;
    cfg.rom_model = vcam::rom_model_index("ROMM20V1");
    vcam::Camera& cam = open(cfg);
    auto image = vcam::build_firmware(specFor(cfg));
    const uint8_t kept = static_cast<uint8_t>(image[0xD000 + c.offset] ^ 0x81);
    cam.flash()[0xD000 + c.offset] = kept;
    gEC = EC_UnKnow;
    ChangeParamInfo none = {};
    update(image, &none, c.result);
    EXPECT_EQ(gEC, c.result ? EC_UnKnow : EC_BurnerCheckFail) << c.name;
    EXPECT_EQ(cam.flash()[0xD000 + c.offset], kept) << c.name;
    DorvakCam_UnInit();
  }
}

TEST_F(ParamTableTest, RefusesBeforeTheFlashIsTouched) {
  std::string longText(32, 'L');
  ChangeParamInfo tooLong = {};
  tooLong.pInterface = reinterpret_cast<BYTE*>(longText.data());
  tooLong.InterfaceLength = 32;
  ChangeParamInfo none = {};
  struct Case {
    const char* name;
    const char* rom;
    std::optional<uint32_t> crcAddr;  // a table placed by the sector table
    const ChangeParamInfo* info;
    long size;  // -1: the whole image
    SERIAL_FLASH_TYPE sft;
    ERROR_CODE code;
    bool reads;  // the layout is read from the flash before the refusal
  } cases[] = {
      {"unknown flash type", "ROMM20V1", {}, &none, -1, SFT_UNKNOW, EC_UnKnowSerialFlashType, false},
      {"a 32-character interface string", "ROMM20V1", {}, &tooLong, -1, SFT_MXIC, EC_UnKnow, false},
      {"no request", "ROMM20V1", {}, nullptr, -1, SFT_MXIC, EC_UnKnow, false},
      {"an empty image", "ROMM20V1", {}, &none, 0, SFT_MXIC, EC_UnKnow, false},
      {"image ends before the region", "ROMM20V1", {}, &none, 0xFFF8, SFT_MXIC, EC_UnKnow, true},
      {"image ends before the CRC sector", "ROMM24", 0x21000, &none, 0x14000, SFT_MXIC, EC_UnKnow, true},
      {"ROM without a table layout", "ROMM05V2", {}, &none, -1, SFT_MXIC, EC_UnKnow, true},
  };
  for (const Case& c : cases) {
    resetBus();
    CameraConfig cfg;
    cfg.rom_model = vcam::rom_model_index(c.rom);
    FirmwareSpec fw = specFor(cfg);
    fw.crc_addr = c.crcAddr;
    vcam::Camera& cam = open(cfg, fw);
    const auto before = cam.flash();
    auto image = vcam::build_firmware(fw);
    gEC = EC_UnKnow;
    const auto trace = traceOf([&] { update(image, c.info, 0, nullptr, c.sft, c.size); });
    EXPECT_EQ(gEC, c.code) << c.name;
    EXPECT_EQ(cam.flash(), before) << c.name;
    for (const RegOp& op : registerOps(trace)) EXPECT_FALSE(op.write) << c.name;
    for (const vcam::Transfer& t : ofSelector(trace, 3)) EXPECT_TRUE(t.is_get() || (t.out[2] & 0x80)) << c.name;
    EXPECT_EQ(trace.empty(), !c.reads) << c.name;
    DorvakCam_UnInit();
  }
}

TEST_F(ParamTableTest, ProtectionAndEraseFailuresHaveTheirCodes) {
  CameraConfig cfg;
  cfg.rom_model = vcam::rom_model_index("ROMM20V1");
  vcam::Camera& cam = open(cfg);
  auto image = vcam::build_firmware(specFor(cfg));
  const auto before = cam.flash();
  ChangeParamInfo none = {};
  // The firmware's flash commands cannot be set: the protection stays.
  bus().fail_if([](const vcam::Transfer& t) {
    return t.selector() == 1 && t.is_set() && t.out[0] == 0xF3 && t.out[1] == 0x05 && t.out[3] == 0x00;
  });
  gEC = EC_UnKnow;
  update(image, &none, 0);
  EXPECT_EQ(gEC, EC_DisableFlashWriteProtectFail);
  bus().clear_faults();
  EXPECT_EQ(cam.flash(), before);
  DorvakCam_UnInit();

  // The flash refuses the sector erase: every sub-sector of the region
  // still holds data.
  resetBus();
  vcam::Camera& held = open(cfg);
  protectBeforeOpcode(held, 0x20);
  gEC = EC_UnKnow;
  update(image, &none, 0);
  EXPECT_EQ(gEC, EC_EraseFlashFail);
  EXPECT_EQ(held.flash(), before);
}

TEST_F(ParamTableTest, TheSelectedCameraIsUpdated) {
  CameraConfig cfg;
  cfg.rom_model = vcam::rom_model_index("ROMM20V1");
  vcam::Camera& cam0 = addCameraWithFirmware(cfg);
  vcam::Camera& cam1 = addCameraWithFirmware(cfg);
  init();
  quiet([] { DorvakCamera_SetDevicesID(1); });
  const auto before0 = cam0.flash();
  auto image = vcam::build_firmware(specFor(cfg));
  Request req;
  const auto trace = traceOf([&] { update(image, &req.info, 1); });
  EXPECT_EQ(flashAt(cam1, 0, 0x20000), vcam::build_firmware(withRequest(specFor(cfg))));
  EXPECT_EQ(cam0.flash(), before0);
  for (const vcam::Transfer& t : trace) ASSERT_EQ(t.device, 1);
}

// A table at 0x400 (region 0 to 0x3FFF) whose CRC record starts the next
// sub-sector, 0x1000.
TEST_F(ParamTableTest, EachFailedTransferFailsWithItsCode) {
  CameraConfig cfg;
  cfg.rom_model = vcam::rom_model_index("ROMM14V1");  // short sector table
  cfg.flash_timing.sector_erase = 2;
  FirmwareSpec fw = specFor(cfg);
  fw.table_start = 0x400;
  fw.table_length = 0x200;
  fw.crc_addr = 0x1000;
  FirmwareSpec file = fw;
  file.size = 0x4000;
  auto image = vcam::build_firmware(file);
  const auto expected = vcam::build_firmware(withRequest(file));
  Request req;
  vcam::Camera* cam = nullptr;
  cfg.flash_image = vcam::build_firmware(fw);
  auto arrange = [&] {
    resetBus();
    cam = &bus().add_camera(cfg);
    init();
  };
  auto plan = [&] {
    uint64_t s = 0, e = 0, k = 0;
    const uint64_t layout = transfersOf([&] { LibUsb_GetParaTableAndCRCAddrFormSF(&s, &e, &k); });
    const uint64_t unprotect = transfersOf([] { LibUsb_DisableSerialFlashWriteProtect(SFT_MXIC); });
    const uint64_t eraseTable = transfersOf([] { LibUsb_EraseSectorForSerialFlash(0x400, SFT_MXIC); });
    usleep(1000000);
    const uint64_t eraseCrc = transfersOf([] { LibUsb_EraseSectorForSerialFlash(0x1000, SFT_MXIC); });
    // Sub-sectors 0 and 1 are erased: probes every 80 bytes from 0 to 8160;
    // 2 and 3 hold data at their first probe.  A ROM read at an address without the ROM string
    // fails unnoticed; so may an unprotect transfer whose result is not
    // checked.
    return std::vector<Phase>{
        {"layout", layout, {EC_UnKnow}, true},
        {"unprotect", unprotect, {EC_DisableFlashWriteProtectFail, EC_EraseFlashFail, EC_BurnerCheckFail}, true},
        {"table sector erase", eraseTable, {EC_EraseFlashFail}},
        {"CRC sector erase", eraseCrc, {EC_EraseFlashFail}},
        {"probes", 2 * (103 + 1 + 1), {EC_UnKnow}},
        {"writes", 3 * 512, {EC_UnKnow}},
        {"check", 2 * 32, {EC_UnKnow}},
    };
  };
  forEachTransferFault(arrange, plan,
                       [&] {
                         return DorvakCam_SetParamTableFormFWFile(image.data(), 0x4000, &req.info, nullptr, nullptr,
                                                                  SFT_MXIC, nullptr);
                       },
                       [&] { return flashAt(*cam, 0, 0x4000) == expected; });
}

}  // namespace
}  // namespace camtest
