# 32-bit ARM (armv7-a, hard-float) with Debian's cross compiler, standing in
# for the Android NDK's armeabi-v7a target: the registration library is built
# in its Android flavour (libquilm_v7a, messages to the Android log).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7-a)
set(DORVAK_CROSS_TRIPLE arm-linux-gnueabihf)
set(DORVAK_CROSS_MULTIARCH "")
set(DORVAK_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

set(QUILM_FLAVOUR ANDROID CACHE STRING "Registration flavour: LINUX, ANDROID or WINDOWS")

# GCC notes every std::vector iterator passed by value on 32-bit ARM that the
# ABI changed in GCC 7.1; nothing here mixes code from before that.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
