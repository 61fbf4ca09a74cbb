#!/usr/bin/env bash
# Builds korvane and runs it on the given arguments: scripts/run.sh THRESHOLD HOST...
# Prints the exit status (100: threshold met, 0: not met) after the run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" build >&2
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null
cmake --build "$root/build/release" --target korvane >/dev/null
status=0
"$root/build/release/korvane" "$@" || status=$?
echo "korvane exit status: $status"
