// Helpers shared by the SDK's sources: the open-state guard and the one
// place where an entry point stores its error code.
#ifndef DORVAK_CAMERA_SDK_INTERNAL_H
#define DORVAK_CAMERA_SDK_INTERNAL_H

#include "Osrel.h"
#include "util.h"

extern "C" {
// TRUE while the SDK is open: set only by a successful DorvakCam_Init,
// cleared only by DorvakCam_UnInit.
extern BOOL camera_init;
}

namespace dorvak_sdk {

inline bool isOpen() { return camera_init != 0; }

// Stores the code of a failure; a later success leaves it in place.
inline BOOL fail(ERROR_CODE code) {
  gEC = code;
  return 0;
}

// A negative length moves nothing, like a length of 0.
inline long nonNegative(long len) { return len < 0 ? 0 : len; }

}  // namespace dorvak_sdk

#endif  // DORVAK_CAMERA_SDK_INTERNAL_H
