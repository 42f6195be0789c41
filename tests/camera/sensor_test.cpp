// Sensor registers through the ASIC's I2C master, and the SDK's register
// and sensor entry points with their chunking.
#include "camera_fixture.h"

#include <cstring>

namespace camtest {
namespace {

using vcam::CameraConfig;

constexpr BYTE kSlave = 0x6C;
constexpr USHORT kI2cDev = 0x10D0, kI2cMode = 0x10D9, kI2cData = 0x10D2;

class SensorTest : public CameraTest {
 protected:
  vcam::Camera& open(CameraConfig cfg = {}) { return openSdkWithCamera(cfg); }
  // Control bytes written to the I2C master, and the data registers of
  // each transaction (the five writes that follow each control byte).
  static std::vector<uint8_t> controls(const std::vector<vcam::Transfer>& trace) { return writesTo(trace, kI2cDev); }
  static std::vector<std::vector<uint8_t>> dataRegisters(const std::vector<vcam::Transfer>& trace) {
    std::vector<std::vector<uint8_t>> out;
    for (const RegOp& op : registerOps(trace)) {
      if (!op.write || op.addr < kI2cData || op.addr > kI2cData + 4) continue;
      if (op.addr == kI2cData) out.emplace_back();
      if (!out.empty()) out.back().push_back(op.value);
    }
    return out;
  }
};

// ------------------------------------------------------------- layer

TEST_F(SensorTest, CustomWritePlacesAddressAndDataBytes) {
  struct Case {
    int addrBytes;
    USHORT addr, addrWidth, data;
    int64_t dataWidth;
    uint8_t speedBit;
    uint8_t control;
    std::vector<uint8_t> regs;
  } cases[] = {
      {2, 0x3008, 2, 0x1234, 2, 0, 0xC0, {0x30, 0x08, 0x12, 0x34, 0x00}},
      {2, 0x3008, 2, 0x1234, 2, 1, 0xC1, {0x30, 0x08, 0x12, 0x34, 0x00}},  // speed bit kept
      {1, 0x0012, 1, 0x005A, 1, 0, 0xA0, {0x12, 0x5A, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    bus().reset();
    CameraConfig cfg;
    cfg.sensor_addr_bytes = c.addrBytes;
    vcam::Camera& cam = open(cfg);
    cam.set_reg(kI2cDev, c.speedBit);
    const auto trace = traceOf([&] {
      EXPECT_EQ(LibUsb_CustomWriteToSensor(kSlave, c.addr, c.addrWidth, c.data, c.dataWidth, FALSE), 1);
    });
    EXPECT_EQ(controls(trace), std::vector<uint8_t>{c.control});
    EXPECT_EQ(dataRegisters(trace), std::vector<std::vector<uint8_t>>{c.regs});
    EXPECT_EQ(writesTo(trace, 0x10D1), std::vector<uint8_t>{kSlave});
    EXPECT_EQ(writesTo(trace, 0x10D7), std::vector<uint8_t>{0x10});
    if (c.dataWidth == 2) {
      EXPECT_EQ(cam.sensor_reg(c.addr), c.data >> 8);
      EXPECT_EQ(cam.sensor_reg(static_cast<uint16_t>(c.addr + 1)), c.data & 0xFF);
    } else {
      EXPECT_EQ(cam.sensor_reg(c.addr), c.data);
    }
    DorvakCam_UnInit();
  }
}

TEST_F(SensorTest, CustomReadWritesThePointerThenReadsTheLastDataRegisters) {
  vcam::Camera& cam = open();
  cam.set_sensor_reg(0x300A, 0xAB);
  cam.set_sensor_reg(0x300B, 0xCD);
  USHORT value = 0;
  auto trace = traceOf([&] { EXPECT_EQ(LibUsb_CustomReadFromSensor(kSlave, 0x300A, 2, &value, 1, FALSE), 1); });
  EXPECT_EQ(value, 0xAB);
  EXPECT_EQ(controls(trace), (std::vector<uint8_t>{0xA0, 0x92}));
  EXPECT_EQ(dataRegisters(trace),
            (std::vector<std::vector<uint8_t>>{{0x30, 0x0A, 0x00, 0x00, 0x00}, {0, 0, 0, 0, 0}}));

  // Width 5 is read as 2; the first byte on the bus is the high byte.
  trace = traceOf([&] { EXPECT_EQ(LibUsb_CustomReadFromSensor(kSlave, 0x300A, 2, &value, 5, FALSE), 1); });
  EXPECT_EQ(value, 0xABCD);
  EXPECT_EQ(controls(trace), (std::vector<uint8_t>{0xA0, 0xA2}));

  trace = traceOf([&] { EXPECT_EQ(LibUsb_CustomReadFromSensor(kSlave, 0x300A, 2, &value, 0, FALSE), 0); });
  EXPECT_TRUE(trace.empty());
}

TEST_F(SensorTest, ClockPollingSetsTheModeBits) {
  vcam::Camera& cam = open();
  const auto trace = traceOf([] { LibUsb_CustomWriteToSensor(kSlave, 0x3000, 2, 0x01, 1, TRUE); });
  EXPECT_EQ(writesTo(trace, kI2cMode), (std::vector<uint8_t>{0x01, 0x03}));
  EXPECT_EQ(cam.sensor_reg(0x3000), 0x01);
}

TEST_F(SensorTest, FailedOrUnfinishedTransactionsFail) {
  CameraConfig cfg;
  cfg.sensor_slave = 0x20;  // nobody answers at kSlave: the master reports 0x0C
  open(cfg);
  USHORT value = 0x7777;
  EXPECT_EQ(LibUsb_CustomWriteToSensor(kSlave, 0x3000, 2, 1, 1, FALSE), 0);
  EXPECT_EQ(LibUsb_CustomReadFromSensor(kSlave, 0x3000, 2, &value, 2, FALSE), 0);
  EXPECT_EQ(value, 0x7777);
  DorvakCam_UnInit();

  bus().reset();
  CameraConfig slow;
  slow.i2c_busy_polls = 50;  // longer than the ten status reads
  open(slow);
  const auto trace = traceOf([] { EXPECT_EQ(LibUsb_CustomWriteToSensor(kSlave, 0x3000, 2, 1, 1, FALSE), 0); });
  int statusReads = 0;
  for (const RegOp& op : registerOps(trace)) statusReads += !op.write && op.addr == kI2cDev;
  EXPECT_EQ(statusReads, 1 + 10);  // the speed-bit read, then ten polls
}

TEST_F(SensorTest, PlainAccessMovesUpToThreeBytesInOneTransaction) {
  vcam::Camera& cam = open();
  BYTE data[3] = {0x11, 0x22, 0x33};
  auto trace = traceOf([&] { EXPECT_EQ(LibUsb_WriteToSensor(kSlave, 0x3100, data, 3), 1); });
  EXPECT_EQ(controls(trace), std::vector<uint8_t>{0xD0});
  EXPECT_EQ(dataRegisters(trace), (std::vector<std::vector<uint8_t>>{{0x31, 0x00, 0x11, 0x22, 0x33}}));
  EXPECT_EQ(cam.sensor_reg(0x3102), 0x33);

  BYTE back[3] = {};
  trace = traceOf([&] { EXPECT_EQ(LibUsb_ReadFromSensor(kSlave, 0x3100, back, 3), 1); });
  EXPECT_EQ(controls(trace), (std::vector<uint8_t>{0xA0, 0xB2}));
  EXPECT_EQ(std::vector<uint8_t>(back, back + 3), (std::vector<uint8_t>{0x11, 0x22, 0x33}));

  EXPECT_EQ(LibUsb_ReadFromSensor(kSlave, 0x3100, back, 4), 0);  // does not fit the data registers
  EXPECT_EQ(LibUsb_WriteToSensor(kSlave, 0x3100, data, 4), 0);
  trace = traceOf([&] {
    EXPECT_EQ(LibUsb_ReadFromSensor(kSlave, 0x3100, back, 0), 1);
    EXPECT_EQ(LibUsb_WriteToSensor(kSlave, 0x3100, data, -2), 1);
  });
  EXPECT_TRUE(trace.empty());
}

// ------------------------------------------------------------- SDK

TEST_F(SensorTest, AsicRegistersByteByByteWithAWrappingAddress) {
  vcam::Camera& cam = open();
  cam.set_reg(0xFFFF, 0x12);
  cam.set_reg(0x0000, 0x34);
  BYTE out[2] = {};
  auto trace = traceOf([&] { EXPECT_EQ(DorvakCam_AsicRegisterRead(0xFFFF, out, 2), 1); });
  EXPECT_EQ(registerOps(trace), (std::vector<RegOp>{R(0xFFFF, 0x12), R(0x0000, 0x34)}));
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(out[1], 0x34);

  BYTE in[3] = {1, 2, 3};
  EXPECT_EQ(DorvakCam_AsicRegisterWrite(0x1010, in, 3), 1);
  EXPECT_EQ(cam.reg(0x1012), 3);

  trace = traceOf([&] {
    EXPECT_EQ(DorvakCam_AsicRegisterRead(0x1010, out, 0), 1);
    EXPECT_EQ(DorvakCam_AsicRegisterWrite(0x1010, in, -3), 1);
  });
  EXPECT_TRUE(trace.empty());

  // A failed unit ends the call; the units before stay done.
  BYTE next[3] = {7, 8, 9};
  bus().fail_transfer(2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(DorvakCam_AsicRegisterWrite(0x1010, next, 3), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(cam.reg(0x1010), 7);
  EXPECT_EQ(cam.reg(0x1011), 2);
  EXPECT_EQ(cam.reg(0x1012), 3);
}

TEST_F(SensorTest, PlainSensorCallsSplitIntoPiecesOfThreeAtOneAddress) {
  vcam::Camera& cam = open();
  for (int i = 0; i < 4; ++i) cam.set_sensor_reg(static_cast<uint16_t>(0x3200 + i), static_cast<uint8_t>(0xA0 + i));
  BYTE out[5] = {};
  EXPECT_EQ(DorvakCam_SensorRegisterRead(kSlave, 0x3200, out, 5), 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 5), (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA0, 0xA1}));

  BYTE in[4] = {1, 2, 3, 4};
  const auto trace = traceOf([&] { EXPECT_EQ(DorvakCam_SensorRegisterWrite(kSlave, 0x3300, in, 4), 1); });
  EXPECT_EQ(controls(trace), (std::vector<uint8_t>{0xD0, 0xB0}));
  EXPECT_EQ(cam.sensor_reg(0x3300), 4);  // the second piece names the same address
  EXPECT_EQ(cam.sensor_reg(0x3301), 2);
  EXPECT_EQ(cam.sensor_reg(0x3302), 3);
}

TEST_F(SensorTest, CustomSensorCallsMoveTwoBytesPerTransaction) {
  vcam::Camera& cam = open();
  for (int i = 0; i < 5; ++i) cam.set_sensor_reg(static_cast<uint16_t>(0x3400 + i), static_cast<uint8_t>(0x10 + i));
  BYTE out[6] = {};
  const auto trace = traceOf([&] { EXPECT_EQ(DorvakCam_SensorRegisterCustomRead(kSlave, 0x3400, out, 5, FALSE), 1); });
  // Pointer at 0x3400, 0x3402, 0x3404; reads of 2, 2 and 1 bytes.
  EXPECT_EQ(controls(trace), (std::vector<uint8_t>{0xA0, 0xA2, 0xA0, 0xA2, 0xA0, 0x92}));
  EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0x10, 0x11, 0x12, 0x13, 0x14, 0x00}));

  BYTE in[3] = {0x12, 0x34, 0x56};
  EXPECT_EQ(DorvakCam_SensorRegisterCustomWrite(kSlave, 0x3500, in, 3, FALSE), 1);
  EXPECT_EQ(cam.sensor_reg(0x3500), 0x12);
  EXPECT_EQ(cam.sensor_reg(0x3501), 0x34);
  EXPECT_EQ(cam.sensor_reg(0x3502), 0x56);

  EXPECT_EQ(DorvakCam_SensorRegisterCustomRead(kSlave, 0x3400, out, -1, FALSE), 1);
  EXPECT_EQ(DorvakCam_SensorRegisterCustomWrite(kSlave, 0x3400, in, 0, FALSE), 1);
}

TEST_F(SensorTest, CustomAddressAboveSixteenBitsAsksForMoreAddressBytes) {
  open();
  BYTE in[2] = {0xBE, 0xEF};
  const auto trace = traceOf([&] { DorvakCam_SensorRegisterCustomWrite(kSlave, 0x12345, in, 2, FALSE); });
  EXPECT_EQ(controls(trace), std::vector<uint8_t>{0x80 | (5 << 4)});  // 3 address + 2 data bytes
  EXPECT_EQ(dataRegisters(trace), (std::vector<std::vector<uint8_t>>{{0x23, 0x45, 0xBE, 0xEF, 0x00}}));
}

TEST(SensorAddressWidth, BytesNeededForAnAddress) {
  struct Case {
    LONG addr, bytes;
  } cases[] = {{0, 1}, {0xFF, 1}, {0x100, 2}, {0xFFFF, 2}, {0x10000, 3}, {0xFFFFFF, 3}, {0x1000000, 4}, {-1, 1}};
  for (const Case& c : cases) EXPECT_EQ(GetByteLengthFormAddr(c.addr), c.bytes) << c.addr;
}

TEST_F(SensorTest, FailedTransactionEndsTheSdkCall) {
  CameraConfig cfg;
  cfg.sensor_present = false;
  open(cfg);
  BYTE buf[4] = {0x55, 0x55, 0x55, 0x55};
  EXPECT_EQ(DorvakCam_SensorRegisterRead(kSlave, 0x3000, buf, 4), 0);
  EXPECT_EQ(buf[0], 0x55);
  EXPECT_EQ(DorvakCam_SensorRegisterWrite(kSlave, 0x3000, buf, 4), 0);
  EXPECT_EQ(DorvakCam_SensorRegisterCustomRead(kSlave, 0x3000, buf, 4, FALSE), 0);
  EXPECT_EQ(DorvakCam_SensorRegisterCustomWrite(kSlave, 0x3000, buf, 4, FALSE), 0);
}

}  // namespace
}  // namespace camtest
