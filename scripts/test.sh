#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit and
# end-to-end suite (plain, then under AddressSanitizer and UBSan), the Windows
# build with its unit and end-to-end tests under Wine, then the fuzz target
# for a bounded time.
#   FUZZ_SECONDS  how long to fuzz (default 60; 0 skips fuzzing)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
fuzz_seconds="${FUZZ_SECONDS:-60}"
jobs="$(nproc)"

"$root/scripts/install-deps.sh" build test fuzz e2e windows package

suite() {  # name, cmake options...
  local name="$1"; shift
  local dir="$root/build/$name"
  echo "=== $name: build"
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $name: test"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

suite plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
suite sanitize -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON
suite windows -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DKORVANE_RESPONDER="$root/build/plain/tests/e2e/icmp_responder"

if [ "$fuzz_seconds" -gt 0 ]; then
  echo "=== fuzz: build"
  dir="$root/build/fuzz"
  CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVANE_FUZZ=ON >/dev/null
  cmake --build "$dir" --target korvane_fuzz_input -j "$jobs"
  echo "=== fuzz: ${fuzz_seconds}s on the command-line reader, the dotted-quad check and the packet classification"
  mkdir -p "$dir/corpus"
  cp "$root"/tests/fuzz/seeds/* "$dir/corpus/"
  "$dir/tests/korvane_fuzz_input" -max_total_time="$fuzz_seconds" -max_len=40000 \
    -print_final_stats=1 "$dir/corpus" 2>&1 | tail -n 15
  echo "fuzz: no crash and no sanitizer report"
fi
