#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit,
# end-to-end and package tests of the plain build, the same under
# AddressSanitizer and UBSan, the Windows build with its unit and end-to-end
# tests and packages under Wine, and the fuzz target for a bounded time.
# Warnings are errors in every build.
#   FUZZ_SECONDS  how long to fuzz (default 60; 0 skips fuzzing)
#   TEST_JOBS     tests run at once in each suite (default 12: most
#                 end-to-end tests sleep on timers, each in its own namespace)
#   MUTANTS=1     also runs the mutation check, scripts/mutants.sh (one to two
#                 minutes on two cores, at the lowest priority beside the suites)
#
# The four builds come first, one after another, each on every core. Then the
# three suites and the fuzzer run side by side: the end-to-end tests mostly
# wait on real timers, so the processor has room for the rest; floods take a
# lock so that only one runs at a time.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
fuzz_seconds="${FUZZ_SECONDS:-60}"
mutants="${MUTANTS:-0}"
test_jobs="${TEST_JOBS:-12}"
jobs="$(nproc)"
started=$(date +%s)

"$root/scripts/install-deps.sh" build format test fuzz e2e windows package

# Every C++ file keeps the house style (.clang-format); fix with
#   clang-format -i $(git ls-files '*.cpp' '*.h')
echo "=== format: clang-format --dry-run"
(cd "$root" && git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror)

build() {  # name, cmake options...
  local name="$1"; shift
  echo "=== $name: build"
  cmake -S "$root" -B "$root/build/$name" -G Ninja -DKORVANE_WERROR=ON "$@" >/dev/null
  cmake --build "$root/build/$name" -j "$jobs"
}

build plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
build sanitize -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON
build windows -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DKORVANE_RESPONDER="$root/build/plain/tests/e2e/icmp_responder"
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "=== fuzz: build"
  CXX=clang++ cmake -S "$root" -B "$root/build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVANE_FUZZ=ON -DKORVANE_WERROR=ON >/dev/null
  cmake --build "$root/build/fuzz" --target korvane_fuzz_input -j "$jobs"
fi
echo "=== builds done after $(( $(date +%s) - started )) s"

logs="$root/build/logs"
rm -rf "$logs"
mkdir -p "$logs"
declare -A pids=()
for suite in plain sanitize windows; do
  echo "=== $suite: test (log: build/logs/$suite.log)"
  ctest --test-dir "$root/build/$suite" --output-on-failure -j "$test_jobs" >"$logs/$suite.log" 2>&1 &
  pids[$suite]=$!
done
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "=== fuzz: ${fuzz_seconds}s on the command-line reader, the dotted-quad check and the packet classification"
  (
    corpus="$root/build/fuzz/corpus"
    mkdir -p "$corpus"
    cp "$root"/tests/fuzz/seeds/* "$corpus/"
    # At the lowest priority: the timer-bound tests beside it come first.
    nice -n 19 "$root/build/fuzz/tests/korvane_fuzz_input" -max_total_time="$fuzz_seconds" -max_len=40000 \
      -print_final_stats=1 "$corpus"
  ) >"$logs/fuzz.log" 2>&1 &
  pids[fuzz]=$!
fi
if [ "$mutants" = 1 ]; then
  echo "=== mutants: every fault of tests/mutants.txt against the unit tests (log: build/logs/mutants.log)"
  nice -n 19 "$root/scripts/mutants.sh" >"$logs/mutants.log" 2>&1 &
  pids[mutants]=$!
fi

failed=()
for suite in plain sanitize windows fuzz mutants; do
  [ -n "${pids[$suite]:-}" ] || continue
  status=0
  wait "${pids[$suite]}" || status=$?
  echo "=== $suite: $([ "$status" -eq 0 ] && echo passed || echo "FAILED (status $status)")"
  case "$suite" in
    fuzz) tail -n 15 "$logs/fuzz.log" ;;
    mutants) grep -v '^killed' "$logs/mutants.log" || true ;;
    *) cat "$logs/$suite.log" ;;
  esac
  [ "$status" -eq 0 ] || failed+=("$suite")
done

# One closing line over the three suites.
passed=0 failures=0
for suite in plain sanitize windows; do
  read -r p f < <(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' \
    "$logs/$suite.log" | awk '{ print $2 - $1, $1 }')
  passed=$((passed + ${p:-0})) failures=$((failures + ${f:-1}))
done
echo "=== all suites and the fuzzer took $(( $(date +%s) - started )) s"
[ ${#failed[@]} -eq 0 ] || echo "=== failed: ${failed[*]}"
echo "korvane: $passed passed, $failures failed"
[ ${#failed[@]} -eq 0 ]
