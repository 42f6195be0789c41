// The shared libraries export their classes and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

// Demangled names of the dynamic symbols a library defines.
std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
  std::set<std::string> names;
  const std::string command = "nm -D --defined-only '" + library + "' | c++filt";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    // "<address> <type> <name>"
    const std::size_t first = text.find(' '), second = text.find(' ', first + 1);
    if (second != std::string::npos) names.insert(text.substr(second + 1));
  }
  pclose(pipe);
  return names;
}

struct LibraryCase {
  const char* path;
  std::vector<std::string> prefixes;  // every export starts with one of these
  std::vector<std::string> required;  // and these are all there
};
void PrintTo(const LibraryCase& c, std::ostream* os) {
  const std::string path = c.path;
  *os << path.substr(path.find_last_of('/') + 1);
}

class Exports : public testing::TestWithParam<LibraryCase> {};

TEST_P(Exports, AreExactlyTheClassMembers) {
  const LibraryCase c = GetParam();
  const std::set<std::string> names = DefinedDynamicSymbols(c.path);
  ASSERT_FALSE(names.empty()) << "no symbols read from " << c.path;
  for (const std::string& name : names) {
    bool known = false;
    for (const std::string& prefix : c.prefixes) known |= name.rfind(prefix, 0) == 0;
    EXPECT_TRUE(known) << "unexpected export: " << name;
  }
  for (const std::string& name : c.required) EXPECT_EQ(names.count(name), 1u) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, Exports,
    testing::Values(
        LibraryCase{QUILM_LIBRARY,
                    {"DepthToColor::", "DepthToColorImpl::"},
                    {"DepthToColor::DepthToColor()", "DepthToColor::~DepthToColor()",
                     "DepthToColor::GetVersion()", "DepthToColor::LoadParameters(char const*)",
                     "DepthToColor::LoadParameters(SW_QUILM const*)",
                     "DepthToColor::PrepareDepthResolution(int, int)",
                     "DepthToColor::DiscardDepthResolution(int, int)",
                     "DepthToColor::EnableDistortion(bool)",
                     "DepthToColor::EnableDepthGapFill(bool)",
                     "DepthToColor::SetDepthUnit(float)", "DepthToColor::GetDepthUnit(float&)",
                     "DepthToColor::SetDepthRange(float, float)",
                     "DepthToColor::GetDepthRange(float&, float&)",
                     "DepthToColor::QUILM(unsigned short const*, int, int, unsigned short*, int, "
                     "int) const",
                     "DepthToColorImpl::DumpColoredPCL(unsigned short const*, unsigned char "
                     "const*, int, int, char const*) const"}},
        LibraryCase{NERRIT_LIBRARY,
                    {"Nerrit::"},
                    {"Nerrit::Nerrit()", "Nerrit::getDataSize()",
                     "Nerrit::parse_buffer_to_params(char const*, SW_QUILM*)",
                     "Nerrit::parse_bin_to_params(char const*, SW_QUILM*)"}}));

}  // namespace
