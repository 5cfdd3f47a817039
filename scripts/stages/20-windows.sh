#!/usr/bin/env bash
# The Windows program: cross-builds Plovex.exe (build-win), checks that retail
# Windows 95 on a Pentium can load and run it, checks its release media, then
# runs the end-to-end scenarios under Wine, each compared with the host runner
# (build/plovex).
#
# Wine runs the 32-bit Plovex.exe itself where this machine can run 32-bit
# processes. Where the kernel has no 32-bit support (ia32_emulation off), no
# 32-bit Wine can start; the scenarios then run the same sources built for
# x86-64 (build-win64) under 64-bit Wine, and the 32-bit executable is covered
# by the checks of its image alone.
set -euo pipefail
cd "$(dirname "$0")/../.."

echo "-- cross-build of Plovex.exe (i686)"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win -j2 >/dev/null
echo "-- Plovex.exe on Windows 95: image, imports, instructions, resources"
python3 tests/wine/check_exe.py build-win/Plovex.exe build-win/Plovex.map tests/wine/win95-exports.txt
echo "-- release media: the ZIP, the floppy and the CD image"
bash tests/wine/check_media.sh build-win

echo "-- host runner for the comparison"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target plovex >/dev/null

if timeout 20 /usr/lib/wine/wine --version >/dev/null 2>&1; then
  arch=win32 loader=/usr/lib/wine/wine build=build-win
else
  if [ ! -x /usr/lib/wine/wine64 ]; then
    echo "20-windows: no Wine can run here (no 32-bit processes, no wine64)" >&2
    exit 1
  fi
  echo "-- this kernel runs no 32-bit process: the scenarios run the x86-64 build under 64-bit Wine"
  cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build-win64 -j2 >/dev/null
  arch=win64 loader=/usr/lib/wine/wine64 build=build-win64
fi
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=/usr/lib/wine/wineserver32

echo "-- Wine scenarios ($arch), each compared with the host runner"
timeout 900 python3 tests/wine/scenarios.py --exe "$build/Plovex.exe" --driver "$build/plovex-driver.exe" \
  --runner build/plovex --sample sample --fixtures tests/wine/fixtures \
  --wine "$loader" --wineserver "$server" --arch "$arch"
