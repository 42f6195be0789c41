#!/usr/bin/env bash
# Hostile-input checks, in their short form for CI:
#   1. every fuzz target (fuzz preset: clang, libFuzzer, ASan + UBSan) runs
#      for a bounded time from its kept corpus;
#   2. the registration tests under ThreadSanitizer (tsan preset, LLVM's
#      OpenMP runtime with its Archer tool).
# Usage: scripts/fuzz-smoke.sh [seconds per target]   (default 60)
#
# clang and LLVM's OpenMP runtime are installed here, not by the README's
# commands, which do not need them.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

./scripts/setup-deps.sh clang-14 libclang-rt-14-dev libomp-14-dev

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work="build/fuzz/work"
for corpus in fuzz/corpus/*/; do
  target="$(basename "$corpus")"
  echo "--- $target: ${seconds}s"
  rm -rf "${work:?}/$target" && mkdir -p "$work/$target"
  # -rss_limit_mb=0: libFuzzer's memory watcher sleeps in a loop, and the
  # virtual camera's sleep() returns at once; -close_fd_mask=3 keeps the
  # code's own messages out of the log (libFuzzer's and the sanitizers'
  # reports still appear).  An input that fails is written to $work/.
  log="$work/$target.log"
  status=0
  "build/fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=0 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/$target-" \
    "$work/$target" "$corpus" >"$log" 2>&1 || status=$?
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::(number_of_executed_units|average_exec_per_sec))' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "FAILED: $target (input kept as $work/$target-*)"
    exit 1
  fi
done

cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -j "$(nproc)"
