#!/usr/bin/env bash
# Builds the other deliverable targets and runs their checks, one target per
# argument (default: all three):
#   armv7    libquilm_v7a and libnerrit (Android flavour); the registration
#            and blob reader tests under qemu-arm
#   aarch64  serialprobe, Osrel.o and libquilm; the camera and registration
#            tests under qemu-aarch64, the symbols of Osrel.o
#   windows  quilm.dll; its export table
# Installs what the target needs first (scripts/setup-cross.sh).
#   Usage: scripts/cross-check.sh [armv7|aarch64|windows ...]
set -euo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(armv7 aarch64 windows)
for t in "${targets[@]}"; do
  case "$t" in
    armv7 | aarch64 | windows) ;;
    *) echo "cross-check.sh: unknown target '$t' (armv7, aarch64 or windows)" >&2; exit 2 ;;
  esac
done

./scripts/setup-cross.sh "${targets[@]}"

jobs="$(nproc)"
for t in "${targets[@]}"; do
  start=$SECONDS
  echo "--- $t: configure and build"
  cmake --preset "$t" >/dev/null
  cmake --build --preset "$t" -j "$jobs"
  echo "--- $t: checks"
  ctest --preset "$t" -j "$jobs"
  echo "--- $t: done in $((SECONDS - start)) s"
done
