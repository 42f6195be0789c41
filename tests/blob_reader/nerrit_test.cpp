// Calibration blob reader.
#include "nerrit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kImage = 6188, kRecordAt = 6068;

// A calibration image of `size` bytes: random bytes, and at the record's
// place a record whose floats include a NaN with a payload.
std::vector<char> Image(std::size_t size, unsigned seed, SW_QUILM* record = nullptr) {
  std::mt19937 rng(seed);
  std::vector<char> image(size);
  for (char& b : image) b = static_cast<char>(rng() & 0xFF);
  SW_QUILM r;
  for (int k = 0; k < 30; ++k) reinterpret_cast<float*>(&r)[k] = 0.5f * float(k) - 3.0f;
  const std::uint32_t nan_bits = 0x7FC01234u;
  std::memcpy(&r.c_k[4], &nan_bits, 4);
  if (size >= kRecordAt + sizeof r) std::memcpy(image.data() + kRecordAt, &r, sizeof r);
  if (record) *record = r;
  return image;
}

SW_QUILM Sentinel() {
  SW_QUILM s;
  std::memset(&s, 0x5A, sizeof s);
  return s;
}

bool SameBytes(const SW_QUILM& a, const SW_QUILM& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(Nerrit, ImageSize) { EXPECT_EQ(Nerrit().getDataSize(), 6188); }

TEST(Nerrit, BufferGivesTheLast120BytesUnchanged) {
  SW_QUILM expected, got = Sentinel();
  const auto image = Image(kImage, 1, &expected);
  EXPECT_EQ(Nerrit().parse_buffer_to_params(image.data(), &got), 0);
  EXPECT_TRUE(SameBytes(got, expected));
  EXPECT_TRUE(std::isnan(got.c_k[4]));
  // The bytes before the record are not interpreted.
  auto other = image;
  for (std::size_t i = 0; i < kRecordAt; ++i) other[i] = static_cast<char>(~other[i]);
  SW_QUILM again = Sentinel();
  Nerrit().parse_buffer_to_params(other.data(), &again);
  EXPECT_TRUE(SameBytes(again, expected));
}

struct FileCase {
  std::size_t size;
  int result;
  const char* message;  // "{}" is the path
};
void PrintTo(const FileCase& c, std::ostream* os) { *os << c.size << "_bytes"; }

class ImageFile : public testing::TestWithParam<FileCase> {};

TEST_P(ImageFile, ReadsWholeImagesOnly) {
  const FileCase c = GetParam();
  const std::string path =
      testing::TempDir() + "nerrit_" + std::to_string(c.size) + "_" + std::to_string(getpid());
  SW_QUILM expected;
  const auto image = Image(c.size, 2, &expected);
  std::ofstream(path, std::ios::binary).write(image.data(), std::streamsize(image.size()));

  SW_QUILM got = Sentinel();
  testing::internal::CaptureStdout();
  const int result = Nerrit().parse_bin_to_params(path.c_str(), &got);
  const std::string out = testing::internal::GetCapturedStdout();
  std::remove(path.c_str());

  EXPECT_EQ(result, c.result);
  std::string message = c.message;
  if (message.find("{}") != std::string::npos) message.replace(message.find("{}"), 2, path);
  EXPECT_EQ(out, message);
  EXPECT_TRUE(SameBytes(got, c.result == 0 ? expected : Sentinel()));
}

// A longer file is read up to the image size: its record stays at 6068.
INSTANTIATE_TEST_SUITE_P(
    Sizes, ImageFile,
    testing::Values(FileCase{6188, 0, ""}, FileCase{7000, 0, ""},
                    FileCase{6187, -1, "error: {} is too short: 6187 of 6188 bytes read!\n"},
                    FileCase{0, -1, "error: {} is too short: 0 of 6188 bytes read!\n"}));

TEST(Nerrit, MissingFileLeavesTheRecord) {
  SW_QUILM got = Sentinel();
  testing::internal::CaptureStdout();
  EXPECT_EQ(Nerrit().parse_bin_to_params("/nonexistent/calib.bin", &got), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: /nonexistent/calib.bin open error!\n");
  EXPECT_TRUE(SameBytes(got, Sentinel()));
}

}  // namespace
