#!/usr/bin/env bash
# The Debian package: built from a release build of the source tree, its
# contents, metadata and lintian's verdict; then installed with apt-get, run by
# an ordinary user, and purged, all on a throw-away copy of this system (an
# overlay of / in a private mount namespace), so the machine stays unchanged.
#   debian_package.sh SOURCE_DIR WORK_DIR [RELEASE_BUILD_DIR]
# RELEASE_BUILD_DIR: a release build already made (the test command's plain
# build) to package; without it, one is made in WORK_DIR.
set -euo pipefail
export LC_ALL=C
source_dir="$(realpath "$1")" work="$2"
release_build="${3:-$work/build}"
fail() { echo "FAIL [debian_package]: $*" >&2; exit 1; }

if [ -z "${KORVANE_PACKAGE_INSIDE:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare -m -n true 2>/dev/null; then
    echo "SKIP: needs root for a private mount namespace"
    exit 77
  fi
  "$source_dir/scripts/install-deps.sh" package >&2
  rm -rf "$work"
  if [ -z "${3:-}" ]; then
    cmake -S "$source_dir" -B "$release_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null
  fi
  cmake --build "$release_build" --target package >/dev/null
  mkdir -p "$work"
  exec unshare -m -n --propagation private env KORVANE_PACKAGE_INSIDE=1 bash "$0" "$@"
fi

version=$(sed -n 's/^project(korvane VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
deb="$release_build/korvane_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb"

# ---- contents and metadata ---------------------------------------------------
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6, $1 }' | sort)
expected="./usr/bin/korvane -rwxr-xr-x
./usr/share/doc/korvane/changelog.gz -rw-r--r--
./usr/share/doc/korvane/copyright -rw-r--r--
./usr/share/doc/korvane/examples/crontab -rw-r--r--
./usr/share/doc/korvane/examples/korvane-down.service -rw-r--r--
./usr/share/doc/korvane/examples/korvane-down.timer -rw-r--r--
./usr/share/doc/korvane/examples/korvane-up.service -rw-r--r--
./usr/share/doc/korvane/examples/korvane-up.timer -rw-r--r--
./usr/share/man/man1/korvane.1.gz -rw-r--r--"
[ "$contents" = "$expected" ] || fail "contents: $contents"
[ "$(dpkg-deb -f "$deb" Package Version Architecture)" = "Package: korvane
Version: $version
Architecture: amd64" ] || fail "metadata: $(dpkg-deb -f "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "depends on more than the C library: $depends"
dpkg-deb -e "$deb" "$work/control"
[ -x "$work/control/postinst" ] || fail "no postinst"

extract="$work/extract"
dpkg-deb -x "$deb" "$extract"
zcat "$extract/usr/share/man/man1/korvane.1.gz" | head -1 | grep -q "\"korvane $version\"" ||
  fail "man page does not carry version $version"
zcat "$extract/usr/share/doc/korvane/changelog.gz" | head -1 | grep -q "^korvane ($version) " ||
  fail "changelog does not begin with version $version"
grep -qa "korvane version $version" "$extract/usr/bin/korvane" || fail "binary does not carry version $version"
grep -q "^ExecCondition=/bin/sh -c '/usr/bin/korvane 1 " "$extract/usr/share/doc/korvane/examples/korvane-down.service" ||
  fail "the example unit does not name /usr/bin/korvane"

# lintian does not run as root; it reads a copy as nobody.
cp "$deb" "$work/lintian.deb"
chmod 755 "$work"
chmod 644 "$work/lintian.deb"
lintian_out=$(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp \
  lintian --fail-on error,warning "$work/lintian.deb" 2>&1) || fail "lintian: $lintian_out"
echo "lintian: ${lintian_out:-no tags}" >&2

# ---- install, run, purge on a throw-away copy of the system --------------------
layer="$work/layer"
mkdir -p "$layer"
mount -t tmpfs tmpfs "$layer"   # keeps file capabilities (extended attributes)
mkdir -p "$layer/upper" "$layer/work" "$layer/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$layer/upper,workdir=$layer/work" "$layer/root"
sysroot="$layer/root"
mount -t proc proc "$sysroot/proc"
mount --rbind /dev "$sysroot/dev"
mount -t tmpfs tmpfs "$sysroot/tmp"
cp "$deb" "$sysroot/tmp/"
in_copy() { chroot "$sysroot" env DEBIAN_FRONTEND=noninteractive "$@"; }

in_copy dpkg -s korvane >/dev/null 2>&1 && in_copy dpkg --purge korvane >/dev/null
install_log=$(in_copy apt-get install -y -q "/tmp/$(basename "$deb")" 2>&1) ||
  fail "apt-get install failed: $install_log"
grep -q "granted cap_net_raw to /usr/bin/korvane" <<<"$install_log" || fail "postinst said: $install_log"
in_copy getcap /usr/bin/korvane | grep -q cap_net_raw || fail "no cap_net_raw after installing"

# An ordinary user, in a network where unprivileged ICMP sockets are not allowed.
ip link set lo up
sysctl -q -w net.ipv4.ping_group_range="1 0"
status=0
chroot "$sysroot" setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/korvane 1 127.0.0.1 || status=$?
[ "$status" -eq 100 ] || fail "installed korvane run by nobody ended with $status"
in_copy man -w korvane | grep -q korvane.1.gz || fail "man does not find the page"

in_copy apt-get purge -y -q korvane >/dev/null 2>&1 || fail "apt-get purge failed"
in_copy dpkg -s korvane >/dev/null 2>&1 && fail "still known to dpkg after purging"
left=$(cd "$layer/upper" && find . -path '*korvane*' ! -path './var/log/*' ! -path './var/cache/*' | head)
[ -z "$left" ] || fail "left behind after purging: $left"

echo "PASS [debian_package]"
