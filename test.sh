#!/usr/bin/env bash
# Sets up the machine, builds everything in the release preset and runs the
# whole test suite.  Usage: ./test.sh [preset]   (release, debug or asan)
set -euo pipefail
cd "$(dirname "$0")"
preset="${1:-release}"
./scripts/setup-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j "$(nproc)"
