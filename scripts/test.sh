#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit,
# end-to-end and package tests of the plain build, the same under
# AddressSanitizer and UBSan, the Windows build with its unit and end-to-end
# tests and packages under Wine, and the fuzz target for a bounded time.
# Warnings are errors in every build.
#   FUZZ_SECONDS  how long to fuzz (default 60; 0 skips fuzzing)
#   TEST_JOBS     tests run at once in each suite (default 12: most
#                 end-to-end tests sleep on timers, each in its own namespace)
#   MUTANTS=1     also runs the mutation check, scripts/mutants.sh (about a
#                 minute on two cores alone, at a low priority beside the suites)
#
# The plain build (the release build, which the package test packages) comes
# first, on every core; its suite starts at once. Then, at a low priority
# (nice 10), the sanitized and the Windows programs, whose end-to-end
# scenarios start as soon as each is built: they mostly wait on real timers,
# so the builds take the processor they leave, and a timer-bound test is never
# kept waiting by a build. Then the rest of the sanitized build with its other
# tests, the fuzz target, whose fuzzer then runs for its set time beside the
# rest of the Windows build, and that build's other tests. The mutation check
# runs at a lower priority still (nice 15): it takes what the builds leave, and
# at the end the processor the suites leave idle. Floods take a lock so that only
# one runs at a time.
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

configure() {  # name, cmake options...
  local name="$1"; shift
  nice -n 10 cmake -S "$root" -B "$root/build/$name" -G Ninja -DKORVANE_WERROR=ON "$@" >/dev/null
}
build() {  # priority (nice level), name, targets (none: all)
  local level="$1" name="$2"; shift 2
  echo "=== $name: build ${*:-everything} (at $(( $(date +%s) - started )) s)"
  if [ $# -eq 0 ]; then set -- all; fi
  nice -n "$level" cmake --build "$root/build/$name" -j "$jobs" --target "$@"
}

logs="$root/build/logs"
rm -rf "$logs"
mkdir -p "$logs"
declare -A pids=()
suites=()
# A build that fails ends the command: the suites already started end with it.
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
start_suite() {  # log name, build name, ctest options...
  local log="$1" name="$2"; shift 2
  echo "=== $log: test (log: build/logs/$log.log)"
  ctest --test-dir "$root/build/$name" --output-on-failure -j "$test_jobs" "$@" >"$logs/$log.log" 2>&1 &
  pids[$log]=$!
  suites+=("$log")
}

configure plain -DCMAKE_BUILD_TYPE=Release
build 0 plain
start_suite plain plain
if [ "$mutants" = 1 ]; then
  echo "=== mutants: every fault of tests/mutants.txt against the unit tests (log: build/logs/mutants.log)"
  nice -n 15 "$root/scripts/mutants.sh" >"$logs/mutants.log" 2>&1 &
  pids[mutants]=$!
fi
# The end-to-end scenarios wait on timers and need only the program (and the
# test tools): they start as soon as it is built, before the unit tests are.
configure sanitize -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON
build 10 sanitize korvane icmp_responder silent_resolver fd_thief identifier_hog
start_suite sanitize.e2e sanitize -L '^e2e$'
configure windows -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DKORVANE_RESPONDER="$root/build/plain/tests/e2e/icmp_responder"
build 10 windows korvane korvane_create_process
start_suite windows.e2e windows -L '^e2e$'
build 10 sanitize
start_suite sanitize sanitize -LE '^e2e$'
# The fuzzer runs for a set time, beside the last build and then the mutation
# check's last faults, on the core the suites leave idle as they end.
if [ "$fuzz_seconds" -gt 0 ]; then
  # -O1 with line tables, as libFuzzer's documentation builds its targets.
  CXX=clang++ nice -n 10 cmake -S "$root" -B "$root/build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DKORVANE_FUZZ=ON -DKORVANE_WERROR=ON >/dev/null
  build 10 fuzz korvane_fuzz_input
  echo "=== fuzz: ${fuzz_seconds}s on the command-line reader, the dotted-quad check and the packet classification"
  (
    corpus="$root/build/fuzz/corpus"
    mkdir -p "$corpus"
    cp "$root"/tests/fuzz/seeds/* "$corpus/"
    nice -n 10 "$root/build/fuzz/tests/korvane_fuzz_input" -max_total_time="$fuzz_seconds" -max_len=40000 \
      -print_final_stats=1 "$corpus"
  ) >"$logs/fuzz.log" 2>&1 &
  pids[fuzz]=$!
fi
build 10 windows
start_suite windows windows -LE '^e2e$'
echo "=== builds done after $(( $(date +%s) - started )) s"

failed=()
for suite in "${suites[@]}" fuzz mutants; do
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

# One closing line over the suites.
passed=0 failures=0
for suite in "${suites[@]}"; do
  read -r p f < <(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' \
    "$logs/$suite.log" | awk '{ print $2 - $1, $1 }')
  passed=$((passed + ${p:-0})) failures=$((failures + ${f:-1}))
done
echo "=== all suites and the fuzzer took $(( $(date +%s) - started )) s"
[ ${#failed[@]} -eq 0 ] || echo "=== failed: ${failed[*]}"
echo "korvane: $passed passed, $failures failed"
[ ${#failed[@]} -eq 0 ]
