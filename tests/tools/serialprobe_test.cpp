// serialprobe end to end: the built, unmodified binary run against virtual
// cameras through the preloadable stand-in for libusb.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct ProbeRun {
  int status = -1;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs serialprobe with `scene` preloaded; stdout and stderr kept apart.
ProbeRun runSerialprobe(const std::string& scene) {
  char outPath[] = "/tmp/serialprobe-out-XXXXXX";
  char errPath[] = "/tmp/serialprobe-err-XXXXXX";
  const int outFd = mkstemp(outPath);
  const int errFd = mkstemp(errPath);
  ProbeRun run;
  if (outFd < 0 || errFd < 0) return run;

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string var = *e;
    if (var.rfind("LD_PRELOAD=", 0) != 0 && var.rfind("VCAM_SCENE=", 0) != 0 && var.rfind("ASAN_OPTIONS=", 0) != 0)
      env.push_back(var);
  }
  env.push_back(std::string("LD_PRELOAD=") + VCAM_PRELOAD_PATH);
  env.push_back("VCAM_SCENE=" + scene);
  // The preloaded object comes before the sanitizer runtime in a sanitized build.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0");
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  char path[] = SERIALPROBE_PATH;
  char* argv[] = {path, nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, path, &actions, nullptr, argv, envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(outFd);
  close(errFd);
  run.out = slurp(outPath);
  run.err = slurp(errPath);
  unlink(outPath);
  unlink(errPath);
  return run;
}

// Lines of `text` that do not come from enumeration ("vid:pid (bus ...)").
std::vector<std::string> toolLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);)
    if (line.find(" (bus ") == std::string::npos) lines.push_back(line);
  return lines;
}

TEST(SerialprobeEndToEnd, TwoCamerasPrintBothSerialNumbersInOrder) {
  const ProbeRun run = runSerialprobe(TWO_CAMERA_SCENE);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const std::vector<std::string> expected = {"find uvc device",          "devices_ID=0",
                                             "SerialNumber: DV2024A001", "devices_ID=1",
                                             "SerialNumber: DV2024B002", "close uvc sucess1"};
  EXPECT_EQ(toolLines(run.out), expected) << run.out;
  EXPECT_EQ(run.out.rfind("4e7a:91c3 (bus 1, device ", 0), 0u) << run.out;
  EXPECT_EQ(run.err, "");
}

TEST(SerialprobeEndToEnd, NoCameraPrintsOneMessageAndFails) {
  const ProbeRun run = runSerialprobe(SCENE_DIR "/no-camera.scene");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Could not find/open dorvak device, vidpid=4e7a91c3\n");
  EXPECT_EQ(run.err, "");
}

TEST(SerialprobeEndToEnd, UnreadableSerialSlotPrintsAnEmptySerialAndGoesOn) {
  const ProbeRun run = runSerialprobe(SCENE_DIR "/unreadable-serial.scene");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const std::vector<std::string> expected = {"find uvc device", "devices_ID=0", "SerialNumber: ",
                                             "devices_ID=1",    "SerialNumber: DV2024B002", "close uvc sucess1"};
  EXPECT_EQ(toolLines(run.out), expected) << run.out;
  EXPECT_NE(run.err.find("F3 error"), std::string::npos) << run.err;
}

}  // namespace
