#!/usr/bin/env bash
# Runs a Windows program under Wine, for CTest: always inside a private
# network namespace of its own (nothing Wine does can reach a network), with a
# private overlay of the tests' Wine prefix and a wineserver of its own, which
# is stopped again afterwards.
#   wine-run.sh PROGRAM.exe [ARG...]
set -euo pipefail

if [ -z "${KORVANE_WINE_INSIDE:-}" ]; then
  if [ "$(id -u)" -eq 0 ] && unshare -m -n true 2>/dev/null; then
    exec unshare -m -n --propagation private env KORVANE_WINE_INSIDE=1 bash "$0" "$@"
  elif unshare -r -m -n true 2>/dev/null; then
    exec unshare -r -m -n --propagation private env KORVANE_WINE_INSIDE=1 bash "$0" "$@"
  fi
  echo "SKIP: no private network namespace for Wine"
  exit 77
fi

ip link set lo up 2>/dev/null || true
source "$(dirname "$0")/wine-prefix.sh"
work="$(mktemp -d /tmp/korvane-wine-run.XXXXXX)"
cleanup() { stop_wine; umount "$work/wine-prefix" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
use_private_wine_prefix "$work"
status=0
"$wine" "$@" || status=$?
exit "$status"
