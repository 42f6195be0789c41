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
  # One thread, like the frames quilm_demo writes, so the bytes can be compared.
  OMP_NUM_THREADS=1 "$register" --calib "$out/sample_calibration.bin" \
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

dorvakctl="$build/tools/dorvakctl/dorvakctl"
if [ -x "$dorvakctl" ] && [ -f "$preload" ]; then
  step "dorvakctl against two virtual cameras whose flash persists between runs"
  work="$out/dorvakctl"
  rm -rf "$work" && mkdir -p "$work"
  # Each camera keeps its flash in a file, so every run below sees what the
  # run before it left.
  cat > "$work/cameras.scene" <<SCENE
[camera]
serial = DV2025A001
cus_ver = CV-2.01.00
day_ver = 2025031001
code_ver = V2010
flash_file = $work/camera0.flash
[camera]
serial = DV2024B002
flash_file = $work/camera1.flash
SCENE
  ctl() {
    LD_PRELOAD="$preload" VCAM_SCENE="$work/cameras.scene" \
      ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" "$dorvakctl" "$@"
  }
  ctl list
  ctl info --device 1
  ctl read "$work/firmware.bin" --size 0x20000 --device 0
  ctl burn "$work/firmware.bin" --device 1 --full-check
  ctl set-strings --device 1 --serial DV2026C003
  ctl list | tee "$work/list.txt"
  grep -q "camera 1: .*serial DV2026C003" "$work/list.txt"
fi
