#!/usr/bin/env bash
# Builds plovex in Release and runs the benchmarks: Install on a generated
# machine.inf of 16, 64 and 256 MiB at platform kinds 1 and 2, as a ratio to
# copying the same file, with the peak resident memory of the Install (goals:
# x_copy <= 3, peak_MiB <= 8 at every size); then the 24 device keys deleted
# from a REGEDIT4 export of 16 and 100 MiB, with the peak memory as a multiple
# of the file (goal: about 2); then from a generated 4 MiB SYSTEM.DAT (goals:
# under 50 ms, and peak_MiB less than one hive's size above read_only_peak_MiB,
# a process that only reads the file); last, Install straight on FAT32 disk
# images of 64 MiB, 512 MiB and 2 GiB against the same file operations done
# with mtools (goals: the time and bytes_read/bytes_written do not grow with
# the image, and no slower than mtools).
#
# The files go to $TMPDIR (default /tmp), about 800 MiB for the largest size.
# Further arguments go to the Install benchmark and win over the defaults, e.g.
# --benchmark_filter='MiB:64/' or --benchmark_min_time=10.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh bench

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DPLOVEX_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target install_bench registry_bench hive_bench image_bench
build-bench/bench/install_bench --benchmark_min_time=2 "$@"
build-bench/bench/registry_bench --benchmark_min_time=2
build-bench/bench/hive_bench --benchmark_min_time=2
build-bench/bench/image_bench --benchmark_min_time=1
