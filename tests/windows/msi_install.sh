#!/usr/bin/env bash
# The MSI under Wine's msiexec, in a private network and mount namespace with
# a wineserver of its own, on a copy-on-write layer over the test Wine prefix
# (nothing it installs stays behind): an older version installed into a chosen
# folder, upgraded in place by this version, which then runs and answers;
# the older one refused over it; uninstalling leaves the administrator's
# pingdebug.txt; a default install goes to Program Files.
#   msi_install.sh BUILD_DIR VERSION WXS
set -euo pipefail
export LC_ALL=C
build="$(realpath "$1")" version="$2" wxs="$(realpath "$3")"
fail() { echo "FAIL [msi_install]: $*" >&2; exit 1; }

if [ -z "${KORVANE_MSI_INSIDE:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare -m -n true 2>/dev/null; then
    echo "SKIP: needs root to create a private network namespace"
    exit 77
  fi
  cmake --build "$build" --target package >/dev/null
  exec unshare -m -n --propagation private env KORVANE_MSI_INSIDE=1 bash "$0" "$build" "$version" "$wxs"
fi

work="$(mktemp -d /tmp/korvane-msi.XXXXXX)"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  umount "$work/prefix" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip link set lo up

export WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPREFIX="${KORVANE_WINEPREFIX:-/tmp/korvane-wine-$(id -u)}"
if [ ! -d "$WINEPREFIX" ]; then
  "$wine" wineboot --init >/dev/null 2>&1 || true
  "$wineserver" -w
fi
mkdir "$work/upper" "$work/scratch" "$work/prefix"
mount -t overlay overlay -o "lowerdir=$WINEPREFIX,upperdir=$work/upper,workdir=$work/scratch" "$work/prefix"
export WINEPREFIX="$work/prefix"

# The older version: the same files under a lower version number.
msi="$build/korvane-$version-x64.msi"
mkdir "$work/older"
(cd "$work/older" && cmake -E tar xf "$build/korvane-$version-win64.zip" &&
  sed -i "1s/($version)/(0.9.0)/" CHANGELOG.txt && wixl -a x64 -D Version=0.9.0 -o ../older.msi "$wxs")

msiexec() { status=0; "$wine" msiexec "$@" /qn >/dev/null 2>&1 || status=$?; }
installed_versions() {  # DisplayVersion of every product named korvane
  "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    awk '/DisplayName.*REG_SZ/ { name = $NF } /DisplayVersion.*REG_SZ/ { if (name == "korvane") print $NF; name = "" }' | sort | tr '\n' ' '
}
tools="$WINEPREFIX/drive_c/Tools/korvane"

msiexec /i "$work/older.msi" 'INSTALLDIR=C:\Tools\korvane'
[ "$status" -eq 0 ] && [ -f "$tools/korvane.exe" ] || fail "older version not installed into C:\\Tools\\korvane ($status)"
[ "$(installed_versions)" = "0.9.0 " ] || fail "installed: $(installed_versions)"
: > "$tools/pingdebug.txt"

msiexec /i "$msi"
[ "$status" -eq 0 ] || fail "upgrade: msiexec ended with $status"
head -1 "$tools/CHANGELOG.txt" | grep -q "^korvane ($version) " || fail "upgrade did not replace the files in place"
[ "$(installed_versions)" = "$version " ] || fail "installed after the upgrade: $(installed_versions)"

status=0
(cd "$tools" && "$wine" korvane.exe 1 127.0.0.1) || status=$?
[ "$status" -eq 100 ] || fail "installed korvane.exe 1 127.0.0.1 ended with $status"
grep -q " Return Value: 100" "$tools/pingdebug.txt" || fail "no trace in the install folder"

msiexec /i "$work/older.msi"
[ "$status" -ne 0 ] || fail "the older version was installed over this one"
[ "$(installed_versions)" = "$version " ] || fail "installed after the refused downgrade: $(installed_versions)"

msiexec /x "$msi"
[ "$status" -eq 0 ] || fail "uninstall: msiexec ended with $status"
[ "$(ls -A "$tools")" = pingdebug.txt ] || fail "after uninstall the folder holds: $(ls -A "$tools" | tr '\n' ' ')"
[ -z "$(installed_versions)" ] || fail "still registered: $(installed_versions)"

msiexec /i "$msi"
[ "$status" -eq 0 ] && [ -f "$WINEPREFIX/drive_c/Program Files/korvane/korvane.exe" ] ||
  fail "default install not in Program Files ($status)"
msiexec /x "$msi"
[ ! -e "$WINEPREFIX/drive_c/Program Files/korvane" ] || fail "uninstall left the folder behind"
echo "PASS [msi_install]"
