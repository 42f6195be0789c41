#!/usr/bin/env bash
# Sets up the machine, builds the release preset and runs the main job on
# built-in defaults: the sample calibration and frame, and virtual cameras.
# Results are written to ./demo-output.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec ./scripts/run-demo.sh build/release demo-output
