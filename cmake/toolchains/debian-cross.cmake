# Shared part of the Debian cross toolchains. The including file sets
#   DORVAK_CROSS_TRIPLE      GNU triple of the cross compiler
#   DORVAK_CROSS_MULTIARCH   Debian multiarch directory of the target's
#                            libraries (empty when the target has none)
#   DORVAK_CROSS_QEMU        qemu-user emulator that runs the target's programs
#                            (empty when there is none)
# and CMAKE_SYSTEM_NAME / CMAKE_SYSTEM_PROCESSOR.

if(NOT DEFINED DORVAK_CROSS_COMPILER_SUFFIX)
  set(DORVAK_CROSS_COMPILER_SUFFIX "")
endif()
set(CMAKE_C_COMPILER ${DORVAK_CROSS_TRIPLE}-gcc${DORVAK_CROSS_COMPILER_SUFFIX})
set(CMAKE_CXX_COMPILER ${DORVAK_CROSS_TRIPLE}-g++${DORVAK_CROSS_COMPILER_SUFFIX})

# The toolchain's own tree first, then the target's multiarch directories of
# the host (Debian installs foreign-architecture packages there).
set(CMAKE_FIND_ROOT_PATH /usr/${DORVAK_CROSS_TRIPLE})
if(DORVAK_CROSS_MULTIARCH)
  list(APPEND CMAKE_FIND_ROOT_PATH /)
  set(CMAKE_LIBRARY_ARCHITECTURE ${DORVAK_CROSS_MULTIARCH})
  # pkg-config reads the target's .pc files only.
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${DORVAK_CROSS_MULTIARCH}/pkgconfig:/usr/share/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Eigen is header-only and the same for every target: take the host's.
if(NOT DEFINED Eigen3_DIR AND EXISTS /usr/share/eigen3/cmake/Eigen3Config.cmake)
  set(Eigen3_DIR /usr/share/eigen3/cmake CACHE PATH "Eigen's CMake package (header-only)")
endif()

# ctest, gtest_discover_tests and try_run run the target's programs under
# qemu-user, with the toolchain's tree as the root of the target's files.
# The C library must come from that tree too, next to its dynamic loader:
# the host's ld.so.cache also lists the multiarch copy of the target's C
# library (a dependency of its libusb), a different build that hangs in its
# first pthread_create when paired with the toolchain's loader.
if(DORVAK_CROSS_QEMU)
  find_program(DORVAK_QEMU_PROGRAM ${DORVAK_CROSS_QEMU} NO_CMAKE_FIND_ROOT_PATH)
  if(DORVAK_QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${DORVAK_QEMU_PROGRAM} -L /usr/${DORVAK_CROSS_TRIPLE}
        -E LD_LIBRARY_PATH=/usr/${DORVAK_CROSS_TRIPLE}/lib)
  endif()
endif()
