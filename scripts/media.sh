#!/usr/bin/env bash
# Makes the release media of Plovex.exe in build-win/media/: plovex-VERSION.zip,
# plovex-VERSION.img (1.44 MB floppy) and plovex-VERSION.iso (CD), each with
# PLOVEX.EXE and README.TXT, and SHA256SUMS beside them. A build of the same
# commit gives the same bytes; the file times are the commit's (or
# SOURCE_DATE_EPOCH's).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh media
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
  --no-warn-unused-cli >/dev/null
cmake --build build-win -j2 --target media >/dev/null
cd build-win/media
ls -l plovex-* SHA256SUMS
cat SHA256SUMS
