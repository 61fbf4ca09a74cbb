#!/usr/bin/env bash
# cmake --install puts korvane in bin/, its man page in share/man/man1/, its
# copyright, changelog and examples (naming that bin/korvane) in
# share/doc/korvane/, and,
# when run by root, gives the binary cap_net_raw.
set -euo pipefail
build="$1"
prefix="$(mktemp -d /tmp/korvane-install.XXXXXX)"
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL [install_layout]: $*" >&2; exit 1; }

log=$(cmake --install "$build" --prefix "$prefix" 2>&1) || fail "install failed: $log"
[ -x "$prefix/bin/korvane" ] || fail "no bin/korvane"
[ -s "$prefix/share/man/man1/korvane.1.gz" ] || fail "no man page"
[ -s "$prefix/share/doc/korvane/copyright" ] || fail "no copyright file"
# The examples name the binary where it was installed.
for example in crontab korvane-down.service korvane-up.service; do
  grep -q "$prefix/bin/korvane 1 " "$prefix/share/doc/korvane/examples/$example" ||
    fail "$example does not name $prefix/bin/korvane"
  ! grep -q "/usr/bin/korvane" "$prefix/share/doc/korvane/examples/$example" || fail "$example names /usr/bin/korvane"
done
if [ "$(id -u)" -eq 0 ]; then
  getcap "$prefix/bin/korvane" | grep -q cap_net_raw || fail "no cap_net_raw on the installed binary"
  grep -q "Granted cap_net_raw" <<<"$log" || fail "install did not say it granted the capability"
fi
echo "PASS [install_layout]"
