#!/usr/bin/env bash
# Installs, from the distribution's packages, whatever of the named groups is
# missing. Groups: build, format, test, fuzz, e2e, bench, windows, package.
set -euo pipefail

packages_for() {
  case "$1" in
    build)   echo cmake ninja-build g++ make ;;
    format)  echo clang-format git ;;
    test)    echo libgtest-dev googletest ;;
    fuzz)    echo clang libclang-rt-dev ;;
    e2e)     echo iproute2 util-linux procps libcap2-bin systemd ;;
    bench)   echo fping iputils-ping iproute2 util-linux procps ;;
    windows) echo g++-mingw-w64-x86-64 wine64 wine wixl ;;
    package) echo dpkg-dev lintian libcap2-bin man-db apt ;;
    *) echo "unknown package group: $1" >&2; exit 2 ;;
  esac
}

missing=()
for group in "$@"; do
  for package in $(packages_for "$group"); do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
