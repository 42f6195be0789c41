// The preloadable build: an unmodified program linked against the real
// libusb runs against the virtual cameras of a scene file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>

namespace {

struct ProbeRun {
  std::string out;
  int status;
};

// Runs the probe with the preload and, when given, a scene file.
ProbeRun run_probe(const std::string& scene_text, bool with_scene = true) {
  std::string env = "LD_PRELOAD=" VCAM_PRELOAD " ASAN_OPTIONS=${ASAN_OPTIONS}:verify_asan_link_order=0:detect_leaks=0 ";
  if (with_scene) {
    // one file per test: ctest runs the cases in parallel processes
    const std::string path = ::testing::TempDir() + "vcam_" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".scene";
    std::ofstream(path) << scene_text;
    env += "VCAM_SCENE=" + path + " ";
  }
  FILE* p = popen((env + VCAM_PROBE " 2>&1").c_str(), "r");
  ProbeRun r{{}, -1};
  if (!p) return r;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) r.out += buf;
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST(Preload, DefaultSceneShowsTwoCamerasAndAnotherDevice) {
  const ProbeRun r = run_probe(read_file(VCAM_SCENE_DIR "/two-cameras.scene"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "4e7a:91c3 bus 1 address 2\n  chip e1\n  rom M24R0\n"
            "046d:c52b bus 1 address 3\n"
            "4e7a:91c3 bus 1 address 4\n  chip f3\n  rom M24R0\n"
            "3 s wait took no time\n");
}

TEST(Preload, SceneFaultsAndOptions) {
  const ProbeRun r = run_probe("[options]\nreal_sleep = no\n[camera]\nopen_error = access\naddress = 9\nbus = 2\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "4e7a:91c3 bus 2 address 9\n  open failed: LIBUSB_ERROR_ACCESS\n3 s wait took no time\n");
}

TEST(Preload, NoSceneMeansAnEmptyBus) {
  const ProbeRun r = run_probe("", false);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "3 s wait took no time\n");
}

TEST(Preload, BadSceneStopsTheProgramWithTheLine) {
  const ProbeRun r = run_probe("[camera]\nchip_id = 0x1FF\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("line 2: '0x1FF' is out of range"), std::string::npos) << r.out;
}

}  // namespace
