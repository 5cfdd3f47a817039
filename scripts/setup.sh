#!/usr/bin/env bash
# Installs the Debian 12 packages that a command of this project needs, when
# they are missing:
#
#   scripts/setup.sh LEVEL...
#
#   demo        the host build of plovex: compiler, CMake, CLI11, ncurses, dtl
#   bench       demo, and Google Benchmark, mkfs.fat and mtools
#   package     demo, and what cpack -G DEB, lintian and the manual page check use
#   media       Plovex.exe (MinGW-w64, Python) and its ZIP, floppy and CD images
#   screenshot  Plovex.exe under Wine on a virtual X server (Xvfb, ImageMagick)
#   test        everything scripts/test.sh runs: all of the above but the
#               screenshot, and GoogleTest, tmux, clang, Wine, libcreg (the
#               independent hive reader), patch, and the disk image tools
#               that make and judge the images (dosfstools, mtools, sfdisk,
#               qemu-img)
#
# As root it installs what is missing; otherwise it names the missing packages
# and the command that installs them, and fails.
set -euo pipefail

host=(cmake make g++ libcli11-dev libncurses-dev libdtl-dev)
mingw32=(cmake make python3 g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev)
mingw64=(g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev)
# wine32:i386 is needed only where the kernel runs 32-bit processes (see below).
wine=(wine wine32:i386 wine64 fonts-wine)

packages=()
add_level() {
  case $1 in
    demo) packages+=("${host[@]}") ;;
    bench) add_level demo; packages+=(libbenchmark-dev dosfstools mtools) ;;
    package) add_level demo; packages+=(dpkg-dev file man-db lintian) ;;
    media) packages+=("${mingw32[@]}" mtools xorriso) ;;
    screenshot) packages+=("${mingw32[@]}" "${mingw64[@]}" "${wine[@]}" xvfb x11-apps imagemagick) ;;
    test) add_level bench; add_level package; add_level media
          packages+=(libgtest-dev libgmock-dev tmux clang-14 libclang-rt-14-dev "${mingw64[@]}" "${wine[@]}"
                     python3-libcreg libcreg-utils dosfstools patch mtools fdisk qemu-utils) ;;
    *) echo "setup: unknown level '$1' (demo, bench, package, media, screenshot, test)" >&2; exit 2 ;;
  esac
}
[ $# -gt 0 ] || { echo "usage: scripts/setup.sh demo|bench|package|media|screenshot|test..." >&2; exit 2; }
for level in "$@"; do add_level "$level"; done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

need_i386=false
case " ${missing[*]} " in *:i386\ *) dpkg --print-foreign-architectures | grep -qx i386 || need_i386=true ;; esac

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: '$*' needs these packages, which are missing: ${missing[*]}" >&2
  echo "setup: install them as root, then run this again:" >&2
  line="apt-get update && apt-get install --no-install-recommends ${missing[*]}"
  $need_i386 && line="dpkg --add-architecture i386 && $line"
  echo "  $line" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
$need_i386 && dpkg --add-architecture i386
# Wait for another apt (an unattended upgrade, a second checkout's setup) rather than fail.
apt=(apt-get -o DPkg::Lock::Timeout=600 -qq)
"${apt[@]}" update
install() { DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y --no-install-recommends "$@" >/dev/null; }
if ! install "${missing[@]}"; then
  # 32-bit Wine only matters where the kernel runs 32-bit processes; the
  # Windows stage falls back to 64-bit Wine without it.
  rest=()
  for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
  [ ${#rest[@]} -lt ${#missing[@]} ] || exit 1
  echo "setup: installing without wine32:i386"
  install "${rest[@]}"
fi
