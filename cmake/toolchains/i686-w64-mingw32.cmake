# 32-bit Windows with Debian's MinGW-w64 cross compiler. The posix threading
# variant of the compiler is the one that ships the OpenMP runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(DORVAK_CROSS_TRIPLE i686-w64-mingw32)
set(DORVAK_CROSS_COMPILER_SUFFIX -posix)
set(DORVAK_CROSS_MULTIARCH "")
set(DORVAK_CROSS_QEMU "")
set(CMAKE_RC_COMPILER ${DORVAK_CROSS_TRIPLE}-windres)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
