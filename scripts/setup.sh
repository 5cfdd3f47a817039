#!/usr/bin/env bash
# Installs what building and testing plovex needs, when it is missing (Debian 12).
set -euo pipefail

packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libncurses-dev tmux python3
          python3-libcreg libcreg-utils dosfstools
          clang-14 libclang-rt-14-dev
          g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev
          g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
          wine wine32:i386 wine64 fonts-wine xvfb x11-apps imagemagick)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]} (run as root, or install them)" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq
install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }
if ! install "${missing[@]}"; then
  # 32-bit Wine only matters where the kernel runs 32-bit processes; the
  # Windows stage falls back to 64-bit Wine without it.
  rest=()
  for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
  echo "setup: installing without wine32:i386"
  install "${rest[@]}"
fi
