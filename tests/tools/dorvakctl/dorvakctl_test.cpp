// dorvakctl end to end: the built tool run as a user runs it, against
// virtual cameras whose flash persists between runs in files of the test's
// own directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Bytes = std::vector<unsigned char>;

struct ToolRun {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// "key: value" lines of info, by key.
std::map<std::string, std::string> Fields(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) {
    const auto colon = line.find(": ");
    if (colon == std::string::npos) continue;
    const auto value = line.find_first_not_of(' ', colon + 1);
    fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
  }
  return fields;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Two cameras of the default identifier; the second on another bus at a
// fixed address, so that list shows what the bus reports.
constexpr const char* kTwoCameras = R"(
[camera]
serial = DV2025A001
chip_id = 0xE1
rom_model = ROMM24
cus_ver = CV-2.01.00
day_ver = 2025031001
code_ver = V2010
flash_file = @DIR@/cam0.flash

[device]
vid = 0x046d
pid = 0xc52b

[camera]
serial = DV2024B002
chip_id = 0xF3
rom_model = ROMM24
bus = 2
address = 7
flash_file = @DIR@/cam1.flash
)";

// A camera whose flash refuses writes in the middle of a burn.
constexpr const char* kWriteFault = R"(
[camera]
serial = DV2025A001
flash_file = @DIR@/cam0.flash
[camera]
serial = DV2024B002
unwritable = 0x8000-0x8007
flash_file = @DIR@/cam1.flash
)";

// The second camera has another ROM model: its firmware keeps the
// parameter table elsewhere.
constexpr const char* kOtherRomModel = R"(
[camera]
serial = DV2025A001
rom_model = ROMM24
flash_file = @DIR@/cam0.flash
[camera]
serial = DV2024B002
rom_model = ROMM06V1
flash_file = @DIR@/cam1.flash
)";

class Dorvakctl : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/dorvakctl-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    const std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  void UseScene(std::string text) {
    for (size_t at; (at = text.find("@DIR@")) != std::string::npos;) text.replace(at, 5, dir_);
    std::ofstream(Path("scene")) << text;
  }

  // Runs dorvakctl with `args` against the scene; stdout and stderr kept apart.
  ToolRun Dorvak(const std::vector<std::string>& args) const {
    ToolRun run;
    const std::string out_path = Path("stdout"), err_path = Path("stderr");
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string var = *e;
      if (var.rfind("LD_PRELOAD=", 0) != 0 && var.rfind("VCAM_SCENE=", 0) != 0 && var.rfind("ASAN_OPTIONS=", 0) != 0)
        env.push_back(var);
    }
    env.push_back(std::string("LD_PRELOAD=") + VCAM_PRELOAD_PATH);
    env.push_back("VCAM_SCENE=" + Path("scene"));
    // The preloaded object comes before the sanitizer runtime in a sanitized build.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0");
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argv_text = {DORVAKCTL_PATH};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argv_text) argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
      int status = 0;
      waitpid(pid, &status, 0);
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = Slurp(out_path);
    run.err = Slurp(err_path);
    return run;
  }

  // The whole flash of camera i as the last run left it.
  Bytes Flash(int i) const { return ReadBytes(Path("cam" + std::to_string(i) + ".flash")); }

  // The first `size` bytes of camera i's flash, exported with the tool.
  Bytes Export(int i, const std::string& name, size_t size = 0x20000) const {
    const ToolRun run = Dorvak({"read", Path(name), "--size", std::to_string(size), "-d", std::to_string(i), "-q"});
    EXPECT_EQ(run.status, 0) << run.err;
    return ReadBytes(Path(name));
  }

  std::string dir_;
};

TEST_F(Dorvakctl, ListShowsEveryCameraWithBusAddressAndSerial) {
  UseScene(kTwoCameras);
  const ToolRun run = Dorvak({"list"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "camera 0: bus 1, address 2, serial DV2025A001\n"
            "camera 1: bus 2, address 7, serial DV2024B002\n");
  EXPECT_EQ(run.err, "");  // the SDK's own console lines stay off both streams

  const ToolRun verbose = Dorvak({"list", "-v"});
  EXPECT_EQ(verbose.out, run.out);
  EXPECT_TRUE(Contains(verbose.err, "devices_ID=1\n")) << verbose.err;
}

TEST_F(Dorvakctl, InfoDescribesTheSelectedCamera) {
  UseScene(kTwoCameras);
  const ToolRun run = Dorvak({"info", "--device", "1"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::map<std::string, std::string> f = Fields(run.out);
  EXPECT_EQ(f.at("camera"), "1 (bus 2, address 7)");
  EXPECT_EQ(f.at("chip"), "0xF3");
  EXPECT_EQ(f.at("ROM size"), "128 KiB");
  EXPECT_EQ(f.at("ROM model").rfind("M24R0, version 1", 0), 0u) << f.at("ROM model");
  EXPECT_EQ(f.at("flash family"), "MXIC");
  EXPECT_EQ(f.at("firmware version"), "V123-CV1.02.03-4-V202406_15_01-CUSTOMER01");
  EXPECT_EQ(f.at("vendor:product"), "4e7a:91c3");
  EXPECT_EQ(f.at("serial number"), "DV2024B002");
  EXPECT_EQ(f.at("product"), "Dorvak RGB-D Camera");
  EXPECT_EQ(f.at("manufacturer"), "Dorvak");
  EXPECT_EQ(f.at("interface"), "Dorvak Video");

  const ToolRun first = Dorvak({"info"});
  EXPECT_EQ(Fields(first.out).at("firmware version"), "V201-CV2.01.00-0-V202503_10_01-CUSTOMER01");
}

TEST_F(Dorvakctl, UnreadableParameterTableIsShownAndFails) {
  UseScene(R"(
[camera]
serial = DV2025A001
[camera]
serial = DV2024B002
unreadable = 0x10000-0x10FFF
)");
  const ToolRun list = Dorvak({"list"});
  EXPECT_EQ(list.status, 1);
  EXPECT_EQ(list.out,
            "camera 0: bus 1, address 2, serial DV2025A001\n"
            "camera 1: bus 1, address 3, serial (unreadable)\n");
  EXPECT_TRUE(Contains(list.err, "dorvakctl: the serial number of some camera could not be read")) << list.err;

  const ToolRun info = Dorvak({"info", "-d", "1"});
  EXPECT_EQ(info.status, 1);
  const std::map<std::string, std::string> f = Fields(info.out);
  EXPECT_EQ(f.at("chip"), "0xE1");  // what does not live in the table is still shown
  EXPECT_EQ(f.at("serial number"), "(unreadable)");
  EXPECT_EQ(f.at("vendor:product"), "(unreadable)");
  EXPECT_TRUE(Contains(info.err, "dorvakctl: camera 1: some items could not be read")) << info.err;
}

class DorvakctlBurn : public Dorvakctl, public ::testing::WithParamInterface<bool> {};

TEST_P(DorvakctlBurn, BurnsWithProgressAndExportGivesTheImageBack) {
  const bool full_check = GetParam();
  UseScene(kTwoCameras);
  const Bytes image = Export(0, "image.bin");
  ASSERT_EQ(image.size(), 0x20000u);

  std::vector<std::string> args = {"burn", Path("image.bin"), "--device", "1"};
  if (full_check) args.push_back("--full-check");
  const ToolRun burn = Dorvak(args);
  ASSERT_EQ(burn.status, 0) << burn.err;
  EXPECT_EQ(burn.out, "camera 1: burnt 131072 bytes from " + Path("image.bin") + ", " +
                          (full_check ? "every byte verified" : "verified by samples") + "\n");
  EXPECT_TRUE(Contains(burn.err, "erasing    [########################################] 100%\n")) << burn.err;
  EXPECT_TRUE(Contains(burn.err, "writing    [########################################] 100%\n")) << burn.err;
  EXPECT_EQ(Contains(burn.err, "verifying  [########################################] 100%\n"), full_check) << burn.err;

  EXPECT_EQ(Export(1, "back.bin"), image);
  EXPECT_EQ(Dorvak({"list"}).out,
            "camera 0: bus 1, address 2, serial DV2025A001\n"
            "camera 1: bus 2, address 7, serial DV2025A001\n");
}

INSTANTIATE_TEST_SUITE_P(Verification, DorvakctlBurn, ::testing::Bool(),
                         [](const auto& param) { return param.param ? "FullCheck" : "Sampled"; });

TEST_F(Dorvakctl, BurnCanKeepTheCamerasSerialNumber) {
  UseScene(kTwoCameras);
  const Bytes image = Export(0, "image.bin");
  const ToolRun burn = Dorvak({"burn", Path("image.bin"), "-d", "1", "--keep-serial", "-q"});
  ASSERT_EQ(burn.status, 0) << burn.err;
  EXPECT_TRUE(Contains(burn.out, "camera 1: serial number DV2024B002 kept\n")) << burn.out;
  EXPECT_EQ(ReadBytes(Path("image.bin")), image);
  EXPECT_EQ(Fields(Dorvak({"info", "-d", "1"}).out).at("serial number"), "DV2024B002");

  // Only the serial slot (table at 0x10000) and the CRC record after the
  // table differ from the image.
  const Bytes burnt = Export(1, "burnt.bin");
  ASSERT_EQ(burnt.size(), image.size());
  for (size_t i = 0; i < image.size(); ++i) {
    const bool serial_slot = i >= 0x100C0 && i < 0x10100;
    const bool crc = i == 0x11014 || i == 0x11015;
    if (!serial_slot && !crc) {
      ASSERT_EQ(burnt[i], image[i]) << "at " << i;
    }
  }
  EXPECT_NE(burnt, image);
}

TEST_F(Dorvakctl, QuietBurnShowsNoProgress) {
  UseScene(kTwoCameras);
  Export(0, "image.bin");
  const ToolRun burn = Dorvak({"-q", "burn", Path("image.bin"), "-d", "1"});
  EXPECT_EQ(burn.status, 0) << burn.err;
  EXPECT_EQ(burn.err, "");
}

TEST_F(Dorvakctl, MalformedImagesAreRefusedAndNothingIsWritten) {
  UseScene(kOtherRomModel);
  const Bytes good = Export(0, "good.bin");
  const Bytes foreign = Export(1, "foreign.bin");
  const Bytes flash0 = Flash(0), flash1 = Flash(1);

  struct Case {
    const char* name;
    std::function<Bytes()> image;
    const char* message;
  };
  const Case cases[] = {
      {"empty", [] { return Bytes(); }, "the image is empty; nothing was sent"},
      {"not whole pieces", [&] { return Bytes(good.begin(), good.end() - 3); }, "is not a multiple of 8 bytes"},
      {"no sector table", [&] { return Bytes(good.begin(), good.begin() + 0x168); }, "is too short"},
      {"beyond the flash-data reach", [&] { Bytes b = good; b.resize(256 * 1024 + 8, 0xFF); return b; },
       "is too long"},
      {"table cut off", [&] { return Bytes(good.begin(), good.begin() + 0x10800); }, "does not lie inside the image"},
      {"other ROM model", [&] { return foreign; }, "not made for this camera's ROM model"},
      {"damaged table", [&] { Bytes b = good; b[0x10000 + 0xC0 + 2] ^= 0x01; return b; }, "does not match its CRC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(Path("bad.bin"), c.image());
    const ToolRun run = Dorvak({"burn", Path("bad.bin")});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    EXPECT_FALSE(Contains(run.err, "writing")) << run.err;
    EXPECT_EQ(Flash(0), flash0);
    EXPECT_EQ(Flash(1), flash1);
  }

  const ToolRun missing = Dorvak({"burn", Path("no-such-image.bin")});
  EXPECT_EQ(missing.status, 4);
  EXPECT_TRUE(Contains(missing.err, "cannot open " + Path("no-such-image.bin"))) << missing.err;
}

TEST_F(Dorvakctl, SetStringsThenListShowsTheNewSerial) {
  UseScene(kTwoCameras);
  const ToolRun set = Dorvak({"set-strings", "-d", "1", "--serial", "SN-0000000000000000000000000031",
                          "--product", "Bench Camera", "--pid", "91c4"});
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out,
            "camera 1: serial number SN-0000000000000000000000000031\n"
            "camera 1: product Bench Camera\n"
            "camera 1: vendor:product 4e7a:91c4\n");
  EXPECT_TRUE(Contains(set.err, "reading")) << set.err;

  EXPECT_EQ(Dorvak({"list"}).out,
            "camera 0: bus 1, address 2, serial DV2025A001\n"
            "camera 1: bus 2, address 7, serial SN-0000000000000000000000000031\n");
  const std::map<std::string, std::string> f = Fields(Dorvak({"info", "-d", "1"}).out);
  EXPECT_EQ(f.at("product"), "Bench Camera");
  EXPECT_EQ(f.at("manufacturer"), "Dorvak");  // not asked for: kept
  EXPECT_EQ(f.at("vendor:product"), "4e7a:91c4");
  EXPECT_EQ(f.at("firmware version"), "V123-CV1.02.03-4-V202406_15_01-CUSTOMER01");
}

TEST_F(Dorvakctl, SetStringsRefusesWhatTheTableCannotHold) {
  UseScene(kTwoCameras);
  Dorvak({"list"});
  const Bytes flash0 = Flash(0), flash1 = Flash(1);
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--serial", std::string(32, 'S')}, "32 characters, at most 31 fit"},
      {{"--product", "Kamera \xc3\xa4"}, "only printable ASCII"},
      {{"--vid", "12345"}, "up to 4 hexadecimal digits"},
      {{}, "nothing to change"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<std::string> args = {"set-strings"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolRun run = Dorvak(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    EXPECT_EQ(Flash(0), flash0);
    EXPECT_EQ(Flash(1), flash1);
  }
}

TEST_F(Dorvakctl, DeviceOneTouchesOnlyTheSecondCamera) {
  UseScene(kTwoCameras);
  const Bytes image = Export(0, "image.bin");
  const Bytes flash0 = Flash(0), flash1 = Flash(1);

  ASSERT_EQ(Dorvak({"burn", Path("image.bin"), "--device", "1", "-q"}).status, 0);
  EXPECT_EQ(Flash(0), flash0);
  const Bytes burnt = Flash(1);
  EXPECT_EQ(Bytes(burnt.begin(), burnt.begin() + 0x20000), image);
  EXPECT_NE(Flash(1), flash1);

  const Bytes burnt1 = Flash(1);
  ASSERT_EQ(Dorvak({"set-strings", "--device", "1", "--serial", "SECOND", "-q"}).status, 0);
  EXPECT_EQ(Flash(0), flash0);
  EXPECT_NE(Flash(1), burnt1);
}

TEST_F(Dorvakctl, BurnInterruptedByAFaultFailsClearly) {
  UseScene(kWriteFault);
  Export(0, "image.bin");
  const ToolRun run = Dorvak({"burn", Path("image.bin"), "-d", "1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(Contains(run.err, "writing    [##########")) << run.err;  // the bar got part of the way
  EXPECT_TRUE(Contains(run.err, "dorvakctl: burning camera 1 failed: no error code (a USB transfer failed")) << run.err;
  EXPECT_TRUE(Contains(run.err, "may be left erased or partly written")) << run.err;
  EXPECT_NE(Export(1, "after.bin"), ReadBytes(Path("image.bin")));
}

TEST_F(Dorvakctl, FlashOfAnUnknownFamilyIsNeverWritten) {
  UseScene(R"(
[camera]
serial = DV2025A001
flash_file = @DIR@/cam0.flash
[camera]
serial = DV2024B002
flash = unknown
flash_file = @DIR@/cam1.flash
)");
  Export(0, "image.bin");
  const Bytes flash1 = Flash(1);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"burn", Path("image.bin"), "-d", "1"}, {"set-strings", "--serial", "X", "-d", "1"}}) {
    SCOPED_TRACE(args[0]);
    const ToolRun run = Dorvak(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "camera 1: the flash is of an unknown family")) << run.err;
    EXPECT_FALSE(Contains(run.err, "writing")) << run.err;
    EXPECT_EQ(Flash(1), flash1);
  }
}

TEST_F(Dorvakctl, ReadRefusesAnOutputItCannotWrite) {
  UseScene(kTwoCameras);
  const ToolRun run = Dorvak({"export", Path("no-such-dir/flash.bin"), "-q"});
  EXPECT_EQ(run.status, 4);
  EXPECT_TRUE(Contains(run.err, "cannot write " + Path("no-such-dir/flash.bin"))) << run.err;
  EXPECT_EQ(run.out, "");
}

TEST_F(Dorvakctl, ExitStatusesOfBadCommandLinesAndMissingCameras) {
  UseScene(kTwoCameras);
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {{}, 2, "A subcommand is required"},
      {{"flash"}, 2, "dorvakctl: "},
      {{"--vidpid", "4e7a91c", "list"}, 2, "expected 8 hexadecimal digits"},
      {{"--device", "-1", "info"}, 2, "dorvakctl: "},
      {{"burn"}, 2, "FILE is required"},
      {{"read", "x.bin", "--size", "0"}, 2, "dorvakctl: "},
      {{"read", "x.bin", "--size", "262145"}, 2, "dorvakctl: "},
      {{"--device", "2", "info"}, 3, "there is no camera 2: 2 camera(s) 4e7a:91c3 found"},
      {{"--vidpid", "12345678", "list"}, 3, "no camera 1234:5678 found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ToolRun run = Dorvak(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(Dorvakctl, EveryCommandHasHelpWithTheExitStatuses) {
  UseScene(kTwoCameras);
  for (const char* command : {"", "list", "info", "read", "export", "burn", "set-strings"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args;
    if (*command) args.push_back(command);
    args.push_back("--help");
    const ToolRun run = Dorvak(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Contains(run.out, "Exit status: 0 done; 1 the operation failed on the camera")) << run.out;
  }
}

}  // namespace
