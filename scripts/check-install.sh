#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and builds and runs the
# consumer project against the installed files only: once through the CMake
# package (find_package(quilm)), once through pkg-config, and runs the
# installed quilm-register.   Usage: check-install.sh BUILD_DIR
set -euo pipefail
build="${1:?usage: check-install.sh BUILD_DIR}"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

if [ -z "$(find "$build" -name 'libquilm.so' -print -quit)" ]; then
  echo "No registration library in $build: nothing to install and check"
  exit 0
fi

echo "Installing $build into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"

libdir="$(dirname "$(find "$prefix" -name 'libquilm.so' -print -quit)")"
pcdir="$(dirname "$(find "$prefix" -name 'quilm.pc' -print -quit)")"
[ -d "$libdir" ] && [ -d "$pcdir" ] || { echo "libquilm.so or quilm.pc not installed" >&2; exit 1; }
export CMAKE_PREFIX_PATH="$prefix"
export PKG_CONFIG_PATH="$pcdir"
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

# Runs a program with its output kept aside (the library prints its parameter
# dump and timing lines); shows its last line, or everything when it fails.
run() {
  if "$@" >"$work/run.log" 2>&1; then
    grep -v 'time costs' "$work/run.log" | tail -n 1
  else
    cat "$work/run.log" >&2
    echo "failed: $*" >&2
    exit 1
  fi
}

echo "Consumer through find_package(quilm)"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root/consumer" -B "$work/consumer" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log"
cmake --build "$work/consumer" >"$work/build.log"
run "$work/consumer/consumer"
run "$work/consumer/consumer_engine" "$work/consumer.ply"

echo "Consumer through pkg-config"
# shellcheck disable=SC2046  # the flags are meant to split into words
"${CXX:-c++}" -std=c++17 "$root/consumer/main.cpp" -o "$work/consumer_pc" $(pkg-config --cflags --libs quilm nerrit)
run "$work/consumer_pc"

tool="$prefix/bin/quilm-register"
if [ -x "$tool" ]; then
  echo "Installed quilm-register, without LD_LIBRARY_PATH"
  run env -u LD_LIBRARY_PATH "$tool" --help >/dev/null
  echo "quilm-register --help: exit 0"
fi
echo "Install check passed"
