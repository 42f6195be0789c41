// Runs every input kept in a fuzz target's corpus, its seeds and every input
// that ever made the target fail, through the target in the ordinary test
// builds (release and sanitizer), so that a fault found once stays fixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// Named after the target (FUZZ_TARGET), so each target's replay is its own test.
TEST(FUZZ_TARGET, EveryKeptInputRunsCleanly) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (const fs::directory_entry& e : fs::directory_iterator(FUZZ_CORPUS_DIR))
    if (e.is_regular_file()) inputs.push_back(e.path());
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << "no corpus in " << FUZZ_CORPUS_DIR;
  for (const fs::path& p : inputs) {
    SCOPED_TRACE(p.filename().string());
    std::ifstream f(p, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
  }
}

}  // namespace
