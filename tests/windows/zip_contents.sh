#!/usr/bin/env bash
# The Windows zip: korvane.exe with its version, INSTALL.txt that stands on its
# own, and CHANGELOG.txt, which begins with this version; both texts with CR LF.
#   zip_contents.sh BUILD_DIR VERSION
set -euo pipefail
export LC_ALL=C
build="$1" version="$2"
work="$(mktemp -d /tmp/korvane-zip.XXXXXX)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL [zip_contents]: $*" >&2; exit 1; }

cmake --build "$build" --target package >/dev/null
zip="$build/korvane-$version-win64.zip"
[ -f "$zip" ] || fail "no $zip"
listing=$(cd "$work" && cmake -E tar tf "$zip" | sort | tr '\n' ' ')
[ "$listing" = "CHANGELOG.txt INSTALL.txt korvane.exe " ] || fail "zip holds: $listing"
(cd "$work" && cmake -E tar xf "$zip")

# Every file INSTALL.txt names is in the zip (korvane.exe, CHANGELOG.txt,
# and the trace file, which the administrator creates).
for named in $(grep -oE '[A-Za-z]+\.(txt|md|exe)' "$work/INSTALL.txt" | sort -u); do
  [ "$named" = pingdebug.txt ] || [ -f "$work/$named" ] || fail "INSTALL.txt names $named, which the zip does not hold"
done
for text in INSTALL.txt CHANGELOG.txt; do
  [ "$(grep -c $'\r$' "$work/$text")" = "$(wc -l < "$work/$text")" ] || fail "$text has lines not ended by CR LF"
done
head -1 "$work/CHANGELOG.txt" | grep -q "^korvane ($version) " || fail "CHANGELOG.txt does not begin with $version"
strings -el "$work/korvane.exe" | grep -qx "$version" || fail "korvane.exe carries no version $version"
echo "PASS [zip_contents]"
