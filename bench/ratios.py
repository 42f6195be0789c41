#!/usr/bin/env python3
"""Turns a quilm_bench JSON report into the ratios of medians that matter.

    quilm_bench --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true \
        --benchmark_report_aggregates_only=true --benchmark_format=json 2>/dev/null \
        | bench/ratios.py [--cpu]

Ratios use wall-clock medians; --cpu uses the CPU time of the benchmark
thread instead, which is the robust figure for runs with OMP_NUM_THREADS=1
on a machine that other work shares.
"""
import json
import sys


def main():
    field = "cpu_time" if "--cpu" in sys.argv[1:] else "real_time"
    report = json.load(sys.stdin)
    median, counters = {}, {}
    for b in report["benchmarks"]:
        name = b.get("run_name", b["name"]).replace("/real_time", "").replace("/iterations:1", "")
        if b.get("aggregate_name", "median") == "median":
            median[name] = b[field] * {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
            if "agree_percent" in b:
                counters[name] = b["agree_percent"]

    def ratio(label, num, den, target=None, lower=True):
        if num not in median or den not in median:
            return
        r = median[num] / median[den]
        mark = ""
        if target is not None:
            ok = r >= target if lower else r <= target
            mark = f"  target {'>=' if lower else '<='} {target}: {'met' if ok else 'MISSED'}"
        print(f"{label:<58} {r:7.2f}{mark}")

    print(f"{'median (us)':<58}")
    for name in sorted(median):
        print(f"  {name:<56} {median[name]:10.1f}")
    print()
    for size in ("640x480", "1280x720"):
        ratio(f"opencv plain / linear plain, {size}", f"opencv/plain/{size}", f"quilm/linear/plain/{size}",
              5 if size == "640x480" else None)
        ratio(f"linear plain / memory floor, {size}", f"quilm/linear/plain/{size}", f"floor/memory/{size}",
              2 if size == "640x480" else None, lower=False)
        ratio(f"linear plain / cached floor, {size}", f"quilm/linear/plain/{size}", f"floor/cached/{size}")
        ratio(f"opencv dilation / linear gap fill, {size}", f"opencv/dilation/{size}",
              f"quilm/linear/gapfill/{size}", 3 if size == "640x480" else None)
        for mode in ("plain", "gapfill"):
            ratio(f"distorted / linear, {mode}, {size}", f"quilm/distorted/{mode}/{size}",
                  f"quilm/linear/{mode}/{size}", 1.5, lower=False)
            for path in ("linear", "distorted"):
                ratio(f"reference / library, {path} {mode}, {size}", f"reference/{path}/{mode}/{size}",
                      f"quilm/{path}/{mode}/{size}")
    ratio("prepare: reference / library, 640x480", "prepare/reference/640x480", "prepare/library/640x480", 6)
    for name, value in sorted(counters.items()):
        print(f"{name + ' (% agreeing)':<58} {value:7.2f}")


if __name__ == "__main__":
    main()
