#!/usr/bin/env bash
# The release media (target media of the 32-bit build): a second build, in
# another time zone and seconds later, must give the same bytes; each image,
# read back with the tools that read such media, must hold exactly the built
# Plovex.exe and README.TXT under their 8.3 names; sha256sum -c SHA256SUMS
# must pass on the three images, and on them alone.
#
#   check_media.sh BUILD_DIR
set -euo pipefail
build=$1
media=$build/media
work=$(mktemp -d /tmp/plovex-media-XXXXXX)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT

cmake --build "$build" --target media >/dev/null
mkdir "$work/first"
cp "$media"/plovex-*.zip "$media"/plovex-*.img "$media"/plovex-*.iso "$work/first/"
cp "$media/SHA256SUMS" "$work/"
sleep 2 # FAT and ZIP times count in steps of two seconds
TZ=Pacific/Kiritimati cmake --build "$build" --target media >/dev/null

failures=0
check() {
  if "${@:2}"; then echo "ok    $1"; else echo "FAIL  $1"; failures=$((failures + 1)); fi
}
# A folder read back from an image: the two files, named and filled as built.
holds_the_files() {
  [ "$(ls "$1" | tr '\n' ' ')" = "PLOVEX.EXE README.TXT " ] &&
    cmp -s "$1/PLOVEX.EXE" "$build/Plovex.exe" && cmp -s "$1/README.TXT" "$media/files/README.TXT"
}

# The sums a user checks the downloads with, line by line as sha256sum writes them.
sums_check() {
  (cd "$media" && sha256sum --strict --quiet -c SHA256SUMS) &&
    [ "$(cut -d ' ' -f 3 "$media/SHA256SUMS" | sort | tr '\n' ' ')" = "$(ls "$work/first" | tr '\n' ' ')" ]
}
check "SHA256SUMS: the same bytes from a second build" cmp -s "$work/SHA256SUMS" "$media/SHA256SUMS"
check "SHA256SUMS: sha256sum -c passes on the three images alone" sums_check

for first in "$work"/first/*; do
  name=$(basename "$first")
  check "$name: the same bytes from a second build" cmp -s "$first" "$media/$name"
  out=$work/${name##*.}
  mkdir "$out"
  case $name in
    *.zip) python3 -m zipfile -e "$first" "$out" ;;
    *.img) export MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1
           check "$name: volume label PLOVEX" [ "$(mlabel -s -i "$first" ::)" = " Volume label is PLOVEX     " ]
           mcopy -n -i "$first" $(mdir -b -i "$first" ::) "$out/" ;;
    *.iso) xorriso -osirrox on -read_fs norock -indev "$first" -extract / "$out" >/dev/null 2>&1 ;;
  esac
  check "$name: holds PLOVEX.EXE and README.TXT as built" holds_the_files "$out"
done
[ "$failures" -eq 0 ]
