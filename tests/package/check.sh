#!/usr/bin/env bash
# The installable tool.
#   check.sh manual PLOVEX PAGE   the page renders without a warning, has a whatis
#                                 line, and names every option that plovex --help lists
#   check.sh deb BUILD_DIR        cpack -G DEB gives a package that lintian passes with
#                                 no error or warning, that holds the runner and its page,
#                                 whose runner runs, whose changelog is of its version, and
#                                 whose Depends name the package of every library the
#                                 runner links
set -euo pipefail

manual() {
  local plovex=$1 page=$2 warnings text option missing=()
  warnings=$(MANWIDTH=80 man --warnings=all -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$page: man warns: $warnings"; return 1; }
  lexgrog "$page" >/dev/null || { echo "$page: lexgrog finds no whatis line"; return 1; }
  text=$(sed 's/\\-/-/g' "$page")
  for option in $("$plovex" --help | grep -o -E -- '--[a-z][a-z-]+' | sort -u); do
    [[ $text == *"$option"* ]] || missing+=("$option")
  done
  [ ${#missing[@]} -eq 0 ] || { echo "$page: no word on ${missing[*]}"; return 1; }
}

deb() {
  local build=$1 work deb version depends library path package failed=0
  work=$(mktemp -d /tmp/plovex-deb-XXXXXX)
  trap 'rm -rf "$work"' RETURN
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; return 1; }
  deb=$(echo "$work"/plovex_*.deb)
  # Debian's own judge: an error or a warning fails; the info and pedantic tags are shown.
  lintian --fail-on error,warning --display-info --pedantic "$deb" || failed=1
  dpkg-deb -x "$deb" "$work/root"
  [ -f "$work/root/usr/share/man/man1/plovex.1.gz" ] || { echo "no usr/share/man/man1/plovex.1.gz"; failed=1; }
  # lintian reads the changelog but does not hold its version against the package's.
  version=$(zcat "$work/root/usr/share/doc/plovex/changelog.gz" | dpkg-parsechangelog -l - -S Version)
  [ "$version" = "$(dpkg-deb -f "$deb" Version)" ] || { echo "the changelog's latest entry is $version"; failed=1; }
  "$work/root/usr/bin/plovex" --version | grep -q '^plovex ' || { echo "usr/bin/plovex --version fails"; failed=1; }
  depends=" $(dpkg-deb -f "$deb" Depends | sed -E 's/\([^)]*\)//g; s/[,|]/ /g') "
  for library in $(readelf -d "$work/root/usr/bin/plovex" | sed -n -E 's/.*\(NEEDED\).*\[(.*)\]/\1/p'); do
    path=$(ldd "$work/root/usr/bin/plovex" | awk -v l="$library" '$1 == l { print $3 }')
    # Debian's merged /usr: the library may be listed under /lib or /usr/lib.
    package=$(dpkg -S "$path" 2>/dev/null || dpkg -S "/usr${path#/usr}" 2>/dev/null || dpkg -S "${path#/usr}" 2>/dev/null) ||
      { echo "$library ($path) belongs to no package"; failed=1; continue; }
    package=${package%%:*}
    [[ $depends == *" $package "* ]] || { echo "Depends lacks $package, which has $library"; failed=1; }
  done
  [ $failed -eq 0 ] || dpkg-deb -I "$deb"
  return $failed
}

"$@"
