#!/usr/bin/env bash
# Builds plovex in Release and runs the Install benchmark: Install on a
# generated machine.inf of 16, 64 and 256 MiB at platform kinds 1 and 2, as a
# ratio to copying the same file, with the peak resident memory of the Install.
# Goals: x_copy <= 3, peak_MiB <= 8 at every size.
#
# The files go to $TMPDIR (default /tmp), about 800 MiB for the largest size.
# Further arguments go to the benchmark and win over the defaults, e.g.
# --benchmark_filter='MiB:64/' or --benchmark_min_time=10.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh bench

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DPLOVEX_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target install_bench
exec build-bench/bench/install_bench --benchmark_min_time=2 "$@"
