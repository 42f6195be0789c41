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

register="$build/tools/quilm-register/quilm-register"
if [ -x "$register" ] && [ -f "$out/sample_calibration.bin" ]; then
  step "quilm-register on the sample frame (calibration image, distortion and gap fill on)"
  "$register" --calib "$out/sample_calibration.bin" \
    --depth "$out/input_depth.png" --color "$out/input_color.png" \
    --distortion --gap-fill --ply --picture --out-dir "$out/quilm-register"
  if cmp -s "$out/quilm-register/input_registered.png" "$out/registered_distorted_gapfill.png" &&
     cmp -s "$out/quilm-register/input.ply" "$out/cloud.ply"; then
    echo "quilm-register wrote the same registered depth and point cloud as quilm_demo"
  else
    echo "quilm-register and quilm_demo disagree" >&2
    exit 1
  fi
fi

probe="$build/tools/serialprobe/serialprobe"
preload="$build/vcam/libvcam_preload.so"
if [ -x "$probe" ] && [ -f "$preload" ]; then
  step "serialprobe against two virtual cameras (vcam/scenes/two-cameras.scene)"
  scene="$(cd "$(dirname "$0")/.." && pwd)/vcam/scenes/two-cameras.scene"
  LD_PRELOAD="$preload" VCAM_SCENE="$scene" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
    "$probe" | tee "$out/serialprobe.txt"
fi

fwdemo="$build/tools/fwdemo/fwdemo"
if [ -x "$fwdemo" ] && [ -f "$preload" ]; then
  step "Firmware update of a virtual camera, version read back (vcam/scenes/firmware-update.scene)"
  scene="$(cd "$(dirname "$0")/.." && pwd)/vcam/scenes/firmware-update.scene"
  LD_PRELOAD="$preload" VCAM_SCENE="$scene" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
    "$fwdemo" --full-check | tee "$out/fwdemo.txt"
fi
