// serialprobe: opens every attached camera of the compiled-in identifier
// and prints the serial number kept in each camera's firmware.
#include "DorvakCamera.h"

#include <stdio.h>
#include <string.h>

namespace {
const char kVidPid[] = "4e7a91c3";  // vendor identifier, then product identifier
constexpr int kSerialBuffer = 100;
}  // namespace

int main() {
  if (!DorvakCam_Init(kVidPid)) {
    printf("Could not find/open dorvak device, vidpid=%s\n", kVidPid);
    return 1;
  }
  printf("find uvc device\n");

  // A descriptor slot holds at most 32 characters, so the zero-filled
  // buffer always stays terminated.
  unsigned char serial[kSerialBuffer];
  memset(serial, 0, sizeof serial);
  const int count = static_cast<int>(DorvakCamera_num());
  for (int id = 0; id < count; ++id) {
    DorvakCamera_SetDevicesID(static_cast<unsigned int>(id));
    memset(serial, 0, sizeof serial);  // a failed read must not repeat the previous serial
    DorvakCam_GetSerialNumber(serial, kSerialBuffer);
    printf("SerialNumber: %s\n", reinterpret_cast<const char*>(serial));
  }

  printf("close uvc sucess%d\n", DorvakCam_UnInit());
  return 0;
}
