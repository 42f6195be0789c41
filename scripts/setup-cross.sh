#!/usr/bin/env bash
# Installs the Debian cross toolchains, emulators and target libraries of the
# other deliverable targets, through setup-deps.sh.
#   scripts/setup-cross.sh [armv7|aarch64|windows ...]   (default: all three)
# armv7 and aarch64 programs run under qemu-user; aarch64 takes Debian's
# arm64 libusb through multiarch. GoogleTest is built for each target from
# Debian's googletest source package by scripts/cross-check.sh.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(armv7 aarch64 windows)

packages=(googletest)
for t in "${targets[@]}"; do
  case "$t" in
    armv7) packages+=(g++-arm-linux-gnueabihf qemu-user) ;;
    aarch64) packages+=(g++-aarch64-linux-gnu qemu-user libusb-1.0-0-dev:arm64) ;;
    windows) packages+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686) ;;
    *) echo "setup-cross.sh: unknown target '$t' (armv7, aarch64 or windows)" >&2; exit 2 ;;
  esac
done

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
for p in "${packages[@]}"; do
  case "$p" in
    *:*)
      arch="${p##*:}"
      dpkg --print-foreign-architectures | grep -qx "$arch" || $SUDO dpkg --add-architecture "$arch"
      ;;
  esac
done

exec "$here/setup-deps.sh" "${packages[@]}"
