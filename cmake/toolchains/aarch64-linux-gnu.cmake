# 64-bit ARM Linux with Debian's cross compiler; libusb comes from Debian's
# arm64 package through multiarch (scripts/setup-cross.sh aarch64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(DORVAK_CROSS_TRIPLE aarch64-linux-gnu)
set(DORVAK_CROSS_MULTIARCH aarch64-linux-gnu)
set(DORVAK_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
