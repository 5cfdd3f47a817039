#!/usr/bin/env bash
# Builds plovex and runs it on a fresh temporary copy of the sample Windows 95
# folder: the terminal dialog when there is a terminal, otherwise a short
# demonstration of Install, the files it changed, and Uninstall.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target plovex >/dev/null

work=$(mktemp -d /tmp/plovex-demo-XXXXXX)
cp -r sample/. "$work/"
run=(build/plovex --drive-c "$work" --registry "$work/SYSTEM.REG")
echo "Drive C: is $work (a copy of sample/)"

if [ -t 0 ] && [ -t 1 ]; then
  exec "${run[@]}"
fi

inf() { ls "$work/WINDOWS/INF"; }
changes() { # what a file holds now against the sample, CR LF shown as line ends
  diff -u --label "sample $1" --label "now $1" <(tr -d '\r' < "sample/WINDOWS/INF/$2" 2>/dev/null || true) \
    <(tr -d '\r' < "$work/WINDOWS/INF/$1" 2>/dev/null || true) | sed -n '1,400p' || true
}

echo; echo "== Install (both boxes checked), then Exit, answering No to the restart"
printf 'install\nexit\nno\n' | "${run[@]}"
echo; echo "== The inf folder now: $(inf | tr '\n' ' ')"
changes machine.inf MACHINE.INF | grep '^[-+]' | head -30; echo "   ..."
echo "   machine.inf: $(grep -c ';Plovex' "$work/WINDOWS/INF/machine.inf") marked lines"
echo "   mshdc.inf:   $(grep -c ';Plovex' "$work/WINDOWS/INF/mshdc.inf") marked lines"
echo "   usb.inf:     $(grep -c ';Plovex' "$work/WINDOWS/INF/usb.inf") marked lines (created)"
echo "   device keys left under Enum\\PCI: $(grep -c '^\[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_[^\\]*\]' "$work/SYSTEM.REG")"

echo; echo "== Uninstall, then Exit, answering No"
printf 'uninstall\nexit\nno\n' | "${run[@]}"
echo; echo "== After Uninstall"
if diff -q <(tr -d '\r' < sample/WINDOWS/INF/MACHINE.INF) <(tr -d '\r' < "$work/WINDOWS/INF/machine.inf") >/dev/null; then
  echo "   machine.inf: back to its old text"
fi
echo "   mshdc.inf:   $(grep -c ';Plovex' "$work/WINDOWS/INF/mshdc.inf") marked lines (Uninstall leaves mshdc.inf alone)"
echo "   usb.inf:     $(wc -c < "$work/WINDOWS/INF/usb.inf") bytes (every line was the program's own)"
echo; echo "The copy stays in $work"
