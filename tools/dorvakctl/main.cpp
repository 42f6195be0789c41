// dorvakctl: the camera SDK from a shell.
//
//   dorvakctl list                     every camera with bus, address and serial number
//   dorvakctl info                     chip, ROM, flash, firmware version, descriptor strings
//   dorvakctl read FILE [--size N]     flash to FILE (alias: export)
//   dorvakctl burn FILE [--full-check] erase, write and verify an image
//   dorvakctl set-strings --serial S   rewrite the parameter table's identity
//
// Human output goes to standard output; progress and errors to standard
// error.  The SDK's own console lines are kept off standard output (they go
// to standard error with --verbose), so scripts can read what this tool prints.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "DorvakCamera.h"
#include "Osrel.h"
#include "camera.h"
#include "image_check.h"
#include "progress.h"

namespace {

using namespace dorvakctl;

constexpr const char* kProgram = "dorvakctl";

// Exit statuses, for scripts.
enum ExitStatus : int {
  kExitOk = 0,
  kExitCameraFailed = 1,  // an operation failed on the camera
  kExitUsage = 2,         // the command line is wrong
  kExitNoCamera = 3,      // no camera found or opened, or no camera of that index
  kExitBadFile = 4,       // an input file is unreadable or malformed, or the output cannot be written
};

constexpr const char* kExitStatusHelp =
    "Exit status: 0 done; 1 the operation failed on the camera (the message names the SDK's\n"
    "error code); 2 wrong command line; 3 no camera found or opened, or no camera N;\n"
    "4 input file unreadable or malformed (nothing was sent to the camera), or the output\n"
    "file cannot be written.";

constexpr long kDefaultReadSize = static_cast<long>(kMaxImage);
constexpr long kReadChunk = 4096;  // one progress step of a flash read
constexpr size_t kMaxStringChars = 31;  // a descriptor slot holds 31 characters

struct Options {
  std::string vidpid = "4e7a91c3";
  int device = 0;
  bool quiet = false;
  bool verbose = false;
  std::string file;
  long size = kDefaultReadSize;
  bool full_check = false;
  bool keep_serial = false;
  // set-strings
  std::optional<std::string> serial, product, manufacturer, string3, interface_;
  std::optional<std::string> vid, pid;
};

// Where this tool's own output goes: the standard output it was started
// with.  File descriptor 1 itself is taken over for the SDK's messages.
FILE* g_out = stdout;

void KeepSdkMessagesOffStdout(bool verbose) {
  std::fflush(stdout);
  const int own = dup(STDOUT_FILENO);
  if (own < 0) return;
  FILE* out = fdopen(own, "w");
  if (out == nullptr) {
    close(own);
    return;
  }
  const int sink = verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
  if (sink < 0) {
    std::fclose(out);
    return;
  }
  dup2(sink, STDOUT_FILENO);
  close(sink);
  setvbuf(stdout, nullptr, _IOLBF, 0);  // the SDK's lines among the tool's own, in order
  g_out = out;
}

void Fail(const std::string& text) { std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str()); }

// ------------------------------------------------------------------ files

std::optional<std::vector<uint8_t>> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Fail("cannot open " + path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    Fail("cannot read " + path);
    return std::nullopt;
  }
  return bytes;
}

// Written beside the target and renamed over it: a failed write leaves no
// partial file and keeps an older one.
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  const std::string tmp = path + ".part";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      Fail("cannot write " + path + ": " + std::strerror(errno));
      std::remove(tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    Fail("cannot write " + path + ": " + std::strerror(errno));
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- cameras

// Opens the SDK and selects --device; on failure the exit status.
std::optional<int> OpenCamera(const Options& o, Session& session) {
  const UsbIds ids = *ParseVidPid(o.vidpid);  // checked by the command line
  if (!session.Open(ids)) {
    Fail("no camera " + FormatIds(ids) + " found, or it cannot be opened");
    return kExitNoCamera;
  }
  if (o.device >= session.count()) {
    Fail("there is no camera " + std::to_string(o.device) + ": " + std::to_string(session.count()) +
         " camera(s) " + FormatIds(ids) + " found");
    return kExitNoCamera;
  }
  session.Select(o.device);
  return std::nullopt;
}

std::string LocationText(UsbLocation at) {
  if (at.bus < 0) return "bus ?, address ?";
  return "bus " + std::to_string(at.bus) + ", address " + std::to_string(at.address);
}

std::string OrUnreadable(const std::optional<std::string>& s) { return s ? *s : "(unreadable)"; }

// Collects readouts for printing and remembers whether one failed.
struct Readouts {
  bool failed = false;
  std::string operator()(const std::optional<std::string>& s) {
    failed = failed || !s;
    return OrUnreadable(s);
  }
};

int ReadoutStatus(const Readouts& r, int device) {
  if (!r.failed) return kExitOk;
  Fail("camera " + std::to_string(device) + ": some items could not be read");
  return kExitCameraFailed;
}

struct BurnStages {
  ProgressBar* bar;
  bool full_check;
  bool writing = false, verifying = false;
};

// The burners erase before their first report, then report writing from 0
// to 1 (with a full check: to 0.5, then verifying from 0.5 to 1).  A stage
// that is over is shown complete before the next one starts.
void BurnProgress(void* self, float progress) {
  auto* s = static_cast<BurnStages*>(self);
  if (!s->writing) {
    s->bar->Show("erasing", 1.0);
    s->writing = true;
  }
  if (s->full_check && progress >= 0.5f) {
    if (!s->verifying) s->bar->Show("writing", 1.0);
    s->verifying = true;
    s->bar->Show("verifying", (progress - 0.5) * 2.0);
  } else {
    s->bar->Show("writing", s->full_check ? progress * 2.0 : progress);
  }
}

// The parameter-table update reports its writes from 0.5 to 1.
void TableProgress(void* self, float progress) {
  static_cast<ProgressBar*>(self)->Show("writing", (progress - 0.5) * 2);
}

// The flash family of the selected camera, when it is one the SDK can
// erase and program; otherwise a message and nullopt.
std::optional<SERIAL_FLASH_TYPE> WritableFlash(int device) {
  SERIAL_FLASH_TYPE sft = SFT_UNKNOW;
  if (!DorvakCam_GetSerialFlashType(&sft) || sft == SFT_UNKNOW) {
    Fail("camera " + std::to_string(device) +
         ": the flash is of an unknown family and cannot be erased or programmed; nothing was written");
    return std::nullopt;
  }
  return sft;
}

// Reads `size` bytes of flash from address 0 in chunks, the bar following.
bool ReadFlash(long size, ProgressBar& bar, std::vector<uint8_t>* out) {
  out->assign(static_cast<size_t>(size), 0xFF);
  for (long at = 0; at < size; at += kReadChunk) {
    bar.Show("reading", static_cast<double>(at) / static_cast<double>(size));
    const long n = std::min(kReadChunk, size - at);
    if (!DorvakCam_SerialFlashRead(at, out->data() + at, n)) {
      bar.Finish();
      Fail("reading the flash failed at address " + std::to_string(at));
      return false;
    }
  }
  bar.Show("reading", 1.0);
  bar.Finish();
  return true;
}

// --------------------------------------------------------------- commands

int List(const Options& o) {
  Session session;
  Options all = o;
  all.device = 0;
  if (auto status = OpenCamera(all, session)) return *status;
  Readouts readouts;
  for (int i = 0; i < session.count(); ++i) {
    session.Select(i);
    std::fprintf(g_out, "camera %d: %s, serial %s\n", i, LocationText(session.Location(i)).c_str(),
                 readouts(ReadDescriptor(Descriptor::kSerialNumber)).c_str());
  }
  std::fflush(g_out);
  if (readouts.failed) Fail("the serial number of some camera could not be read");
  return readouts.failed ? kExitCameraFailed : kExitOk;
}

int Info(const Options& o) {
  Session session;
  if (auto status = OpenCamera(o, session)) return *status;
  Readouts read;
  DSP_ROM_TYPE rom = DRT_Unknow;
  DorvakCam_GetAsicRomType(&rom);
  const std::optional<uint8_t> chip = ReadChipId();
  std::optional<std::string> chip_text;
  if (chip) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", *chip);
    chip_text = text;
  }
  SERIAL_FLASH_TYPE sft = SFT_UNKNOW;
  std::optional<std::string> flash;
  if (DorvakCam_GetSerialFlashType(&sft)) flash = FlashFamilyName(sft);
  std::optional<std::string> ids;
  if (const std::optional<UsbIds> found = ReadFirmwareIds()) ids = FormatIds(*found);
  // Chips without version fields have no version to show: not a failure.
  const std::optional<std::string> version = ReadFirmwareVersion();

  struct Line {
    const char* key;
    std::string value;
  };
  const Line lines[] = {
      {"camera", std::to_string(o.device) + " (" + LocationText(session.Location(o.device)) + ")"},
      {"chip", read(chip_text)},
      {"ROM size", RomSizeName(rom)},
      {"ROM model", read(ReadRomModel())},
      {"flash family", read(flash)},
      {"firmware version", version ? *version : "(unavailable)"},
      {"vendor:product", read(ids)},
      {"serial number", read(ReadDescriptor(Descriptor::kSerialNumber))},
      {"product", read(ReadDescriptor(Descriptor::kProduct))},
      {"manufacturer", read(ReadDescriptor(Descriptor::kManufacturer))},
      {"string 3", read(ReadDescriptor(Descriptor::kString3))},
      {"interface", read(ReadDescriptor(Descriptor::kInterface))},
  };
  for (const Line& line : lines)
    std::fprintf(g_out, "%-17s %s\n", (std::string(line.key) + ":").c_str(), line.value.c_str());
  std::fflush(g_out);
  return ReadoutStatus(read, o.device);
}

int Read(const Options& o) {
  Session session;
  if (auto status = OpenCamera(o, session)) return *status;
  ProgressBar bar(!o.quiet);
  std::vector<uint8_t> flash;
  if (!ReadFlash(o.size, bar, &flash)) return kExitCameraFailed;
  if (!WriteFile(o.file, flash)) return kExitBadFile;
  std::fprintf(g_out, "camera %d: %ld bytes of flash written to %s\n", o.device, o.size, o.file.c_str());
  return kExitOk;
}

int Burn(const Options& o) {
  std::optional<std::vector<uint8_t>> image = ReadFile(o.file);
  if (!image) return kExitBadFile;
  // What needs no camera is checked before the SDK is opened.
  if (const std::string why = CheckImageSize(image->size()); !why.empty()) {
    Fail(o.file + ": " + why + "; nothing was sent to the camera");
    return kExitBadFile;
  }
  Session session;
  if (auto status = OpenCamera(o, session)) return *status;
  const std::optional<uint8_t> chip = ReadChipId();
  if (!chip) {
    Fail("the chip of camera " + std::to_string(o.device) + " cannot be identified");
    return kExitCameraFailed;
  }
  if (const std::string why = CheckImageForCamera(*image, *chip); !why.empty()) {
    Fail(o.file + ": " + why + "; nothing was written");
    return kExitBadFile;
  }
  const std::optional<SERIAL_FLASH_TYPE> sft = WritableFlash(o.device);
  if (!sft) return kExitCameraFailed;

  // The camera's own serial number goes into the burnt copy of the image.
  ChangeParamInfo keep = {};
  std::optional<std::string> serial;
  if (o.keep_serial) {
    serial = ReadDescriptor(Descriptor::kSerialNumber);
    if (!serial) {
      Fail("the serial number of camera " + std::to_string(o.device) + " cannot be read; nothing was written");
      return kExitCameraFailed;
    }
    keep.pSerialNumber = reinterpret_cast<BYTE*>(serial->data());
    keep.SerialNumberLength = static_cast<unsigned>(serial->size());
  }

  ProgressBar bar(!o.quiet);
  BurnStages stages{&bar, o.full_check};
  bar.Show("erasing", 0.0);
  const ERROR_CODE before = DorvakCam_GetErrorCode();
  const LONG length = static_cast<LONG>(image->size());
  const BOOL full = o.full_check ? TRUE : FALSE;
  const BOOL ok = o.keep_serial
                      ? DorvakCam_CustomBurnerFW(keep, image->data(), length, BurnProgress, &stages, *sft, full)
                      : DorvakCam_BurnerFW(image->data(), length, BurnProgress, &stages, *sft, full);
  bar.Finish();
  if (!ok) {
    Fail("burning camera " + std::to_string(o.device) + " failed: " + FailureReason(before) +
         "; its flash may be left erased or partly written");
    return kExitCameraFailed;
  }
  std::fprintf(g_out, "camera %d: burnt %zu bytes from %s, %s\n", o.device, image->size(), o.file.c_str(),
               o.full_check ? "every byte verified" : "verified by samples");
  if (serial) std::fprintf(g_out, "camera %d: serial number %s kept\n", o.device, serial->c_str());
  return kExitOk;
}

// One string of the parameter table that set-strings can change.
struct StringItem {
  const char* option;
  const char* label;
  std::optional<std::string> Options::*value;
  Descriptor descriptor;
  BYTE* ChangeParamInfo::*pointer;
  unsigned ChangeParamInfo::*length;
};

constexpr StringItem kStringItems[] = {
    {"--serial", "serial number", &Options::serial, Descriptor::kSerialNumber, &ChangeParamInfo::pSerialNumber,
     &ChangeParamInfo::SerialNumberLength},
    {"--product", "product", &Options::product, Descriptor::kProduct, &ChangeParamInfo::pProduct,
     &ChangeParamInfo::ProductLength},
    {"--manufacturer", "manufacturer", &Options::manufacturer, Descriptor::kManufacturer,
     &ChangeParamInfo::pManufacture, &ChangeParamInfo::ManufactureLength},
    {"--string3", "string 3", &Options::string3, Descriptor::kString3, &ChangeParamInfo::pString3,
     &ChangeParamInfo::String3Length},
    {"--interface", "interface", &Options::interface_, Descriptor::kInterface, &ChangeParamInfo::pInterface,
     &ChangeParamInfo::InterfaceLength},
};

// A descriptor string the firmware can hold: at most 31 printable ASCII
// characters (each is widened to one UTF-16 unit as it is).
std::string CheckDescriptorString(const std::string& s) {
  if (s.size() > kMaxStringChars)
    return std::to_string(s.size()) + " characters, at most " + std::to_string(kMaxStringChars) + " fit";
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7E) return "only printable ASCII characters are kept as they are";
  return "";
}

std::optional<uint16_t> ParseHex16(const std::string& text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  const std::optional<UsbIds> ids = ParseVidPid(std::string(8 - text.size(), '0') + text);
  if (!ids) return std::nullopt;
  return ids->pid;
}

// Bytes of flash set-strings reads and rewrites: the 16 KiB around the
// table's start and the CRC record's 4 KiB sector.
std::optional<long> ParameterRegionEnd() {
  uint64_t start = 0, end = 0, crc = 0;
  if (!LibUsb_GetParaTableAndCRCAddrFormSF(&start, &end, &crc)) return std::nullopt;
  const uint64_t region = (start & ~uint64_t{0x3FFF}) + 0x4000;
  const uint64_t crc_sector = (crc & ~uint64_t{0xFFF}) + 0x1000;
  const uint64_t needed = std::max(region, crc_sector);
  if (needed > kMaxImage) return std::nullopt;
  return static_cast<long>(needed);
}

int SetStrings(const Options& o) {
  bool any = o.vid || o.pid;
  for (const StringItem& item : kStringItems) any = any || (o.*item.value).has_value();
  if (!any) {
    Fail("nothing to change: give at least one of --serial, --product, --manufacturer, --string3, --interface, "
         "--vid, --pid");
    return kExitUsage;
  }
  Session session;
  if (auto status = OpenCamera(o, session)) return *status;
  const std::optional<SERIAL_FLASH_TYPE> sft = WritableFlash(o.device);
  if (!sft) return kExitCameraFailed;
  const std::optional<long> size = ParameterRegionEnd();
  if (!size) {
    Fail("the parameter table of camera " + std::to_string(o.device) + " cannot be located");
    return kExitCameraFailed;
  }
  ProgressBar bar(!o.quiet);
  std::vector<uint8_t> image;
  if (!ReadFlash(*size, bar, &image)) return kExitCameraFailed;

  ChangeParamInfo change = {};
  std::vector<std::string> texts;  // the strings the request points into
  texts.reserve(std::size(kStringItems));
  for (const StringItem& item : kStringItems) {
    if (!(o.*item.value)) continue;
    texts.push_back(*(o.*item.value));
    change.*item.pointer = reinterpret_cast<BYTE*>(texts.back().data());
    change.*item.length = static_cast<unsigned>(texts.back().size());
  }
  unsigned char ids_bytes[4] = {};
  UsbIds ids;
  if (o.vid || o.pid) {
    const std::optional<UsbIds> current = ReadFirmwareIds();
    if (!current) {
      Fail("the identifiers of camera " + std::to_string(o.device) + " cannot be read");
      return kExitCameraFailed;
    }
    ids = *current;
    if (o.vid) ids.vid = *ParseHex16(*o.vid);
    if (o.pid) ids.pid = *ParseHex16(*o.pid);
    StoreIds(ids, ids_bytes);
    change.pVidPid = ids_bytes;
  }

  const ERROR_CODE before = DorvakCam_GetErrorCode();
  bar.Show("writing", 0.0);
  const BOOL ok = DorvakCam_SetParamTableFormFWFile(image.data(), static_cast<long>(image.size()), &change,
                                                    TableProgress, &bar, *sft, nullptr);
  if (ok) bar.Show("writing", 1.0);
  bar.Finish();
  if (!ok) {
    Fail("rewriting the parameter table of camera " + std::to_string(o.device) + " failed: " +
         FailureReason(before));
    return kExitCameraFailed;
  }

  // Read back what the camera now holds.
  bool matches = true;
  for (const StringItem& item : kStringItems) {
    if (!(o.*item.value)) continue;
    const std::optional<std::string> now = ReadDescriptor(item.descriptor);
    matches = matches && now == *(o.*item.value);
    std::fprintf(g_out, "camera %d: %s %s\n", o.device, item.label, OrUnreadable(now).c_str());
  }
  if (o.vid || o.pid) {
    const std::optional<UsbIds> now = ReadFirmwareIds();
    matches = matches && now && now->vid == ids.vid && now->pid == ids.pid;
    std::fprintf(g_out, "camera %d: vendor:product %s\n", o.device, now ? FormatIds(*now).c_str() : "(unreadable)");
  }
  if (!matches) {
    Fail("camera " + std::to_string(o.device) + " does not read back what was written");
    return kExitCameraFailed;
  }
  return kExitOk;
}

// ----------------------------------------------------------- command line

CLI::Validator VidPidValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        return ParseVidPid(text) ? "" : "expected 8 hexadecimal digits (vendor then product), got '" + text + "'";
      },
      "XXXXXXXX");
}

CLI::Validator Hex16Validator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        return ParseHex16(text) ? "" : "expected up to 4 hexadecimal digits, got '" + text + "'";
      },
      "HEX");
}

CLI::Validator DescriptorValidator() {
  return CLI::Validator([](std::string& text) -> std::string { return CheckDescriptorString(text); }, "TEXT");
}

CLI::App* Command(CLI::App& app, const char* name, const char* description) {
  CLI::App* sub = app.add_subcommand(name, description);
  sub->footer(kExitStatusHelp);
  return sub;
}

void Describe(CLI::App& app, Options& o, int* command) {
  app.description("The camera SDK from a shell: lists cameras, shows what they hold, reads and burns their "
                  "firmware and rewrites their USB identity.");
  app.footer(kExitStatusHelp);
  app.require_subcommand(1);
  app.fallthrough();
  app.add_option("--vidpid", o.vidpid, "Identifier of the cameras: vendor then product, 8 hexadecimal digits")
      ->check(VidPidValidator())
      ->capture_default_str();
  app.add_option("-d,--device", o.device, "Camera to work on, counting from 0 in enumeration order")
      ->check(CLI::NonNegativeNumber)
      ->type_name("N")
      ->capture_default_str();
  app.add_flag("-q,--quiet", o.quiet, "No progress bar");
  app.add_flag("-v,--verbose", o.verbose, "Show the SDK's own console messages (on standard error)");

  Command(app, "list", "Every camera of the identifier with its bus, address and serial number")
      ->callback([command] { *command = 0; });
  Command(app, "info", "Chip, ROM size and model, flash family, firmware version, identifiers and strings")
      ->callback([command] { *command = 1; });

  CLI::App* read = Command(app, "read", "Reads the flash from address 0 into FILE, with a progress bar");
  read->alias("export");
  read->add_option("FILE", o.file, "File to write")->required();
  read->add_option("--size", o.size, "Bytes to read (decimal or 0x hexadecimal, at most 262144)")
      ->check(CLI::Range(1L, kDefaultReadSize))
      ->capture_default_str();
  read->callback([command] { *command = 2; });

  CLI::App* burn = Command(app, "burn",
                           "Burns the firmware image FILE: erase, write and verify with a progress bar. An image "
                           "that is malformed or not made for the camera's ROM model is refused before the flash "
                           "is touched.");
  burn->add_option("FILE", o.file, "Firmware image (offset = flash address)")->required();
  burn->add_flag("--full-check", o.full_check, "Verify every byte (default: 8 of every 1024)");
  burn->add_flag("--keep-serial", o.keep_serial,
                 "Burn the camera's own serial number in place of the image's (the image file is not changed)");
  burn->callback([command] { *command = 3; });

  CLI::App* strings = Command(app, "set-strings",
                              "Rewrites the USB identity in the camera's parameter table (the rest of the "
                              "firmware is read from the camera and kept); strings hold at most 31 printable "
                              "ASCII characters");
  for (const StringItem& item : kStringItems)
    strings->add_option(item.option, o.*item.value, std::string("New ") + item.label)->check(DescriptorValidator());
  strings->add_option("--vid", o.vid, "New vendor identifier (hexadecimal)")->check(Hex16Validator());
  strings->add_option("--pid", o.pid, "New product identifier (hexadecimal)")->check(Hex16Validator());
  strings->callback([command] { *command = 4; });
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"", kProgram};
  Options options;
  int command = -1;
  Describe(app, options, &command);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    Fail(e.what());
    std::fprintf(stderr, "Run '%s --help' for the commands and options.\n", kProgram);
    return kExitUsage;
  }
  KeepSdkMessagesOffStdout(options.verbose);
  using Run = int (*)(const Options&);
  static constexpr Run kCommands[] = {List, Info, Read, Burn, SetStrings};
  const int status = command >= 0 ? kCommands[command](options) : kExitUsage;
  std::fflush(g_out);
  return status;
}
