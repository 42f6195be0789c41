# Warnings for every target of the project (not for dependencies).
add_compile_options(
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
)
if(DORVAK_WERROR)
  add_compile_options(-Werror)
endif()

# Flags for code whose single-precision results must be bit-identical on
# every compiler and platform: no contraction into fused multiply-adds, no
# fast-math, and SSE arithmetic instead of x87 on 32-bit x86.
set(DORVAK_EXACT_FP_FLAGS -ffp-contract=off -fno-fast-math)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86)$")
  list(APPEND DORVAK_EXACT_FP_FLAGS -msse2 -mfpmath=sse)
endif()
