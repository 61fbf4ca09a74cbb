#!/usr/bin/env bash
# Runs a Windows program under Wine, for CTest: always inside a private
# network namespace of its own (nothing Wine does can reach a network), with a
# Wine prefix kept for the tests, and with that prefix's wineserver stopped
# again afterwards so the next run starts a fresh one in its own namespace.
#   wine-run.sh PROGRAM.exe [ARG...]
set -euo pipefail

if [ -z "${KORVANE_WINE_INSIDE:-}" ]; then
  if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n env KORVANE_WINE_INSIDE=1 bash "$0" "$@"
  elif unshare -r -n true 2>/dev/null; then
    exec unshare -r -n env KORVANE_WINE_INSIDE=1 bash "$0" "$@"
  fi
  echo "SKIP: no private network namespace for Wine"
  exit 77
fi

ip link set lo up 2>/dev/null || true
export WINEPREFIX="${KORVANE_WINEPREFIX:-/tmp/korvane-wine-$(id -u)}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export DISPLAY=
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
if [ ! -d "$WINEPREFIX" ]; then
  "$wine" wineboot --init >/dev/null 2>&1 || true
  "$wineserver" -w
fi
status=0
"$wine" "$@" || status=$?
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
exit "$status"
