#!/usr/bin/env python3
"""Runs base_bench with repetitions and prints, for every size, the median
time of each primitive over the median of its C library counterpart.
    bench/base/compare.py out/bench/bench/base/base_bench [repetitions]"""
import json
import subprocess
import sys

PAIRS = [("fill_fast/aligned", "fill_memset/aligned"),
         ("fill_fast/offset_3", "fill_memset/offset_3"),
         ("copy_own", "copy_memcpy"),
         ("length_own", "length_strlen"),
         ("hash_own", "length_strlen")]


def main():
    binary = sys.argv[1]
    repetitions = sys.argv[2] if len(sys.argv) > 2 else "5"
    out = subprocess.run([binary, "--benchmark_format=json",
                          "--benchmark_repetitions=" + repetitions,
                          "--benchmark_report_aggregates_only=true"],
                         check=True, capture_output=True, text=True).stdout
    medians = {}
    for run in json.loads(out)["benchmarks"]:
        if run.get("aggregate_name") == "median":
            medians[run["run_name"]] = run
    print(f"{'primitive':28} {'size':>9} {'cpu ns':>12} {'ref cpu ns':>12} {'ratio':>6} {'GB/s':>7}")
    for own, ref in PAIRS:
        for name, run in medians.items():
            if not name.startswith(own + "/"):
                continue
            size = name[len(own) + 1:]
            other = medians.get(ref + "/" + size)
            if not other:
                continue
            ratio = run["cpu_time"] / other["cpu_time"]
            rate = run["bytes_per_second"] / 1e9
            print(f"{own:28} {size:>9} {run['cpu_time']:12.1f} "
                  f"{other['cpu_time']:12.1f} {ratio:6.2f} {rate:7.2f}")


if __name__ == "__main__":
    main()
