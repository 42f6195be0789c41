// fwdemo: updates the firmware of one camera with a progress bar.
//
//   fwdemo [--vidpid XXXXXXXX] [--camera N] [--image FILE] [--size BYTES] [--full-check]
//
// Lists the attached cameras with their firmware versions, then burns onto
// camera N (default: the last one) the image in FILE, or else the firmware
// exported from camera 0 (--size bytes, default 128 KiB).  The camera keeps
// its own serial number.  Finally the version is read back.
#include "DorvakCamera.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

struct Options {
  std::string vidpid = "4e7a91c3";
  long camera = -1;  // -1: the last camera
  std::string image;
  long size = 0x20000;
  bool fullCheck = false;
};

bool parseNumber(const char* s, long* out) {
  char* end = nullptr;
  const long v = strtol(s, &end, 0);
  if (end == s || *end != '\0' || v < 0) return false;
  *out = v;
  return true;
}

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--full-check") {
      o->fullCheck = true;
    } else if (a == "--vidpid" && hasValue) {
      o->vidpid = argv[++i];
    } else if (a == "--image" && hasValue) {
      o->image = argv[++i];
    } else if (a == "--camera" && hasValue) {
      if (!parseNumber(argv[++i], &o->camera)) return false;
    } else if (a == "--size" && hasValue) {
      if (!parseNumber(argv[++i], &o->size)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool readFile(const std::string& path, std::vector<unsigned char>* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    fprintf(stderr, "fwdemo: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  unsigned char buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  const bool ok = ferror(f) == 0;
  fclose(f);
  if (!ok) fprintf(stderr, "fwdemo: cannot read %s\n", path.c_str());
  return ok;
}

// The readable version string of the selected camera, or "unreadable".
std::string firmwareVersion() {
  unsigned char v[56] = {};
  if (!DorvakCam_GetFwVersion(v, sizeof v, FALSE)) return "unreadable";
  return std::string(reinterpret_cast<const char*>(v));
}

std::string serialNumber() {
  unsigned char s[40] = {};  // a slot holds at most 31 characters: stays terminated
  if (!DorvakCam_GetSerialNumber(s, sizeof s - 1)) return "";
  return std::string(reinterpret_cast<const char*>(s));
}

// A bar that grows to 50 marks as the burn goes on; it is drawn once, left
// to right, so it reads the same on a terminal and in a log.
struct ProgressBar {
  static constexpr int kWidth = 50;
  int drawn = 0;
  static void update(void* self, float progress) {
    auto* bar = static_cast<ProgressBar*>(self);
    const int want = static_cast<int>(progress * kWidth);
    for (; bar->drawn < want && bar->drawn < kWidth; ++bar->drawn) fputc('#', stdout);
    fflush(stdout);
  }
};

int run(const Options& o) {
  const int count = static_cast<int>(DorvakCamera_num());
  for (int id = 0; id < count; ++id) {
    DorvakCamera_SetDevicesID(static_cast<unsigned>(id));
    printf("camera %d: serial %s, firmware %s\n", id, serialNumber().c_str(), firmwareVersion().c_str());
  }
  const long target = o.camera < 0 ? count - 1 : o.camera;
  if (target >= count) {
    fprintf(stderr, "fwdemo: there is no camera %ld\n", target);
    return 1;
  }

  std::vector<unsigned char> image;
  if (!o.image.empty()) {
    if (!readFile(o.image, &image)) return 1;
    printf("image: %s, %zu bytes\n", o.image.c_str(), image.size());
  } else {
    DorvakCamera_SetDevicesID(0);
    image.resize(static_cast<size_t>(o.size));
    if (!DorvakCam_ExportFW(image.data(), o.size, nullptr, nullptr)) {
      fprintf(stderr, "fwdemo: cannot export %ld bytes of firmware from camera 0\n", o.size);
      return 1;
    }
    printf("image: the firmware of camera 0, %ld bytes\n", o.size);
  }

  DorvakCamera_SetDevicesID(static_cast<unsigned>(target));
  std::string serial = serialNumber();
  SERIAL_FLASH_TYPE sft = SFT_UNKNOW;
  DorvakCam_GetSerialFlashType(&sft);
  ChangeParamInfo keep = {};
  if (!serial.empty()) {
    keep.pSerialNumber = reinterpret_cast<BYTE*>(&serial[0]);
    keep.SerialNumberLength = static_cast<unsigned>(serial.size());
  }
  printf("burning camera %ld [", target);
  ProgressBar bar;
  const BOOL ok = DorvakCam_CustomBurnerFW(keep, image.data(), static_cast<LONG>(image.size()), ProgressBar::update,
                                           &bar, sft, o.fullCheck);
  printf("%*s]\n", ProgressBar::kWidth - bar.drawn, "");
  if (!ok) {
    fprintf(stderr, "fwdemo: the burn failed (error code %d)\n", DorvakCam_GetErrorCode());
    return 1;
  }
  printf("camera %ld: serial %s, firmware %s\n", target, serialNumber().c_str(), firmwareVersion().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    fprintf(stderr, "usage: fwdemo [--vidpid XXXXXXXX] [--camera N] [--image FILE] [--size BYTES] [--full-check]\n");
    return 2;
  }
  if (!DorvakCam_Init(o.vidpid.c_str())) {
    fprintf(stderr, "fwdemo: no camera %s found\n", o.vidpid.c_str());
    return 1;
  }
  const int status = run(o);
  DorvakCam_UnInit();
  return status;
}
