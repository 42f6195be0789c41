#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need.
# Safe to run again: packages already present are not fetched twice.
set -euo pipefail

# --cross [armv7|aarch64|windows ...]: the cross toolchains, emulators and
# target libraries as well (see scripts/setup-cross.sh).
if [ "${1:-}" = "--cross" ]; then
  shift
  exec "$(dirname "$0")/setup-cross.sh" "$@"
fi

packages=(
  build-essential cmake ninja-build pkg-config
  libeigen3-dev libusb-1.0-0-dev libpng-dev
  libgtest-dev libgmock-dev libbenchmark-dev libboost-dev
  libjpeg-dev libcli11-dev python3-open3d
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
