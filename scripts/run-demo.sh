#!/usr/bin/env bash
# Runs the main job from an existing build tree: run-demo.sh BUILD_DIR OUT_DIR
set -euo pipefail
build="$1"; out="$2"
mkdir -p "$out"
step() { printf '\n=== %s ===\n' "$*"; }

if [ -x "$build/examples/quilm_demo" ]; then
  step "Registering the sample frame"
  "$build/examples/quilm_demo" "$out"
fi
