// Internal to the SDK's firmware procedures (not installed).
#ifndef DORVAK_CAMERA_FIRMWARE_H
#define DORVAK_CAMERA_FIRMWARE_H

#include <stddef.h>

namespace dorvak_sdk {

// Where the burners and the parameter-table update take the private copy
// of the caller's image from.  Every procedure gives its copy back before
// it returns; tests replace the functions to simulate an exhausted heap and
// to count the copies still held.
struct WorkingCopyHeap {
  void* (*allocate)(size_t n);
  void (*release)(void* p);
};
extern WorkingCopyHeap g_workingCopyHeap;

}  // namespace dorvak_sdk

#endif  // DORVAK_CAMERA_FIRMWARE_H
