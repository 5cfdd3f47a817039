#!/usr/bin/env bash
# libFuzzer over the line stream with the three patches, over the REGEDIT4
# registry file, over the Windows 9x hive and over disk images (the image
# store), built with clang in build-fuzz. Each target first replays its kept
# regression inputs (fuzz/regressions/NAME), then fuzzes for
# PLOVEX_FUZZ_SECONDS (default 30: two minutes for the four) from seeds taken
# from sample/, for the hive Windows 95's own hives, and for images the small
# images in fuzz/regressions/image (fuzz/make-image-seeds.sh makes them).
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${PLOVEX_FUZZ_SECONDS:-30}

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPLOVEX_FUZZ=ON -DBUILD_TESTING=OFF -DPLOVEX_BENCH=OFF >/dev/null
cmake --build build-fuzz -j2 --target fuzz_linestream fuzz_registry fuzz_hive fuzz_image

mkdir -p build-fuzz/seeds/linestream build-fuzz/seeds/registry build-fuzz/seeds/hive build-fuzz/seeds/image
cp sample/WINDOWS/INF/* build-fuzz/seeds/linestream/
cp sample/SYSTEM.REG build-fuzz/seeds/registry/
cp tests/fixtures/creg/*.DAT tests/fixtures/creg/B-deletes/*.DAT build-fuzz/seeds/hive/
cp fuzz/regressions/image/* build-fuzz/seeds/image/

status=0
for name in linestream registry hive image; do
  fuzzer=build-fuzz/fuzz/fuzz_$name
  log=build-fuzz/fuzz_$name.log
  regressions=(fuzz/regressions/$name/*)
  if [ -e "${regressions[0]}" ]; then
    echo "fuzz_$name: replaying ${#regressions[@]} regression inputs"
    "$fuzzer" "${regressions[@]}" >"$log" 2>&1 || { tail -n 40 "$log"; status=1; continue; }
  fi
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  if "$fuzzer" -dict=fuzz/$name.dict -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -artifact_prefix=build-fuzz/fuzz_$name- -print_final_stats=1 "$corpus" build-fuzz/seeds/$name >"$log" 2>&1; then
    echo "fuzz_$name: $(grep -E '^#[0-9]+' "$log" | tail -n 1)"
  else
    tail -n 60 "$log"
    echo "fuzz_$name: FAILED; the input is kept as build-fuzz/fuzz_$name-*" >&2
    status=1
  fi
done
exit $status
