#!/usr/bin/env bash
# Builds plovex and runs every test: the host build's unit and end-to-end tests,
# then each further stage in scripts/stages/ (Windows build under Wine,
# sanitizers, fuzzing), in name order.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLOVEX_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --no-tests=error --output-on-failure -j2 --timeout 300

for stage in scripts/stages/*.sh; do
  [ -e "$stage" ] || continue
  echo "== stage $(basename "$stage")"
  bash "$stage"
done
