#!/usr/bin/env bash
# Takes a picture of the real Plovex dialog: the program runs under Wine with its
# X11 driver on a virtual X server (Xvfb), inside a Wine virtual desktop so that
# Wine draws the caption and frame itself, and the dialog is cut out of the
# screen into docs/dialog.png.
#
#   scripts/screenshot.sh [OUTPUT.png]
#
# Uses the 32-bit Plovex.exe where this machine runs 32-bit processes, else the
# x86-64 build of the same sources and resources (see scripts/stages/20-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
output=${1:-docs/dialog.png}
bash scripts/setup.sh screenshot

if timeout 20 /usr/lib/wine/wine --version >/dev/null 2>&1; then
  toolchain=cmake/mingw-i686.cmake build=build-win loader=/usr/lib/wine/wine arch=win32
else
  toolchain=cmake/mingw-x86_64.cmake build=build-win64 loader=/usr/lib/wine/wine64 arch=win64
fi
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=/usr/lib/wine/wineserver32
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli >/dev/null
cmake --build "$build" -j2 --target plovex >/dev/null

work=$(mktemp -d /tmp/plovex-shot-XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=$arch WINELOADER=$loader WINESERVER=$server WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml="
display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 640x400x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  "$server" -k >/dev/null 2>&1 || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=$display

timeout 300 "$loader" wineboot -i >/dev/null 2>&1
timeout 60 "$loader" reg add 'HKCU\Software\Wine' /v Version /d win95 /f >/dev/null 2>&1
mkdir -p "$WINEPREFIX/drive_c/plovex"
cp "$build/Plovex.exe" "$WINEPREFIX/drive_c/plovex/"

# A desktop just larger than the dialog, which DS_CENTER puts in its middle.
"$loader" explorer /desktop=plovex,560x340 'C:\plovex\Plovex.exe' >/dev/null 2>&1 &
for _ in $(seq 1 60); do
  sleep 0.5
  # The dialog is up once the desktop shows the grey of a dialog face.
  if import -display "$display" -window root -crop 560x340+0+0 +repage "$work/screen.png" 2>/dev/null &&
     [ "$(convert "$work/screen.png" -fill black +opaque '#C0C0C0' -format '%[fx:mean>0.2]' info:)" = 1 ]; then
    break
  fi
done
sleep 1
import -display "$display" -window root -crop 560x340+0+0 +repage "$work/screen.png"
# Cut the dialog out: everything that is not the desktop's background colour.
background=$(convert "$work/screen.png" -format '%[pixel:p{1,1}]' info:)
mkdir -p "$(dirname "$output")"
convert "$work/screen.png" -bordercolor "$background" -border 1 -fuzz 0 -trim +repage -strip "$output"
echo "$output: $(identify -format '%wx%h' "$output")"
