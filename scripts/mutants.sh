#!/usr/bin/env bash
# Mutation check: puts each one-line fault of tests/mutants.txt (or the list
# given) into a copy of the source tree, one at a time, rebuilds the unit
# tests there and runs them. A fault the unit tests still pass on has
# SURVIVED: a rule that no test guards. The rows name code that the native
# unit tests build: the shared code, src/linux/, and of src/windows/ only what
# they build too (the command line); the Windows reply buffer leaves what
# counts to the shared code. Fails when any fault survives, when a row's
# original text is not in its file exactly once or its file is one of
# src/windows/ that the native build does not compile (stale), or when a
# fault does not build. The working tree is never changed.
#   MUTANTS_DIR  where the copy and its builds live (default build/mutants);
#                kept between runs, so a second run rebuilds only what changed
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true  # "&" in a replacement is itself
root="$(cd "$(dirname "$0")/.." && pwd)"
list="$(realpath "${1:-$root/tests/mutants.txt}")"
work="${MUTANTS_DIR:-$root/build/mutants}"
tree="$work/tree" build="$work/build" log="$work/log"
jobs="$(nproc)"
started=$EPOCHREALTIME

# The copy follows the working tree; only files whose content differs are
# written, so their new time stamps make the build take them up.
source_files() {
  if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$root" ls-files -z --cached --others --exclude-standard
  else
    (cd "$root" && find . -path './build*' -prune -o -type f -printf '%P\0')
  fi
}
mkdir -p "$tree"
while IFS= read -r -d '' file; do
  [ -f "$root/$file" ] || continue
  if ! cmp -s "$root/$file" "$tree/$file"; then
    mkdir -p "$(dirname "$tree/$file")"
    cp "$root/$file" "$tree/$file"
  fi
done < <(source_files)

mutated=""
restore() { [ -z "$mutated" ] || cp "$root/$mutated" "$tree/$mutated"; mutated=""; }
trap restore EXIT

# Builds each unit test program and runs it, the next only while all pass;
# the first failing test goes to $failed.
failed=""
unit_tests_pass() {
  local binary
  for binary in korvane_unit_tests korvane_posix_tests; do
    ninja -C "$build" -j "$jobs" "tests/$binary" >"$log" 2>&1 || return 2
    if ! timeout 20 "$build/tests/$binary" --gtest_brief=1 >"$log" 2>&1; then
      failed="$(sed -n 's/^\[  FAILED  \] \([^ ]*\).*/\1/p' "$log" | head -n 1)"
      failed="${failed:-$binary (status or time-out)}"
      return 1
    fi
  done
}

# Each fault rebuilds one source file: the standard headers the sources share
# are compiled once, into a precompiled header, which takes a third off each.
cat >"$work/precompiled.cmake" <<'EOF'
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL target_precompile_headers korvane_logic PRIVATE
  <algorithm> <array> <chrono> <cstddef> <cstdint> <cstring> <functional> <memory> <optional> <span>
  <string> <string_view> <vector>)
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL target_precompile_headers korvane_os
  REUSE_FROM korvane_logic)
EOF
echo "=== mutants: building the unit tests in $tree"
cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
  -DKORVANE_WERROR=OFF -DCMAKE_PROJECT_INCLUDE="$work/precompiled.cmake" \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >"$log" 2>&1 || { cat "$log"; exit 2; }
status=0
unit_tests_pass || status=$?
if [ "$status" -ne 0 ]; then
  cat "$log"
  echo "=== mutants: the unit tests do not $([ "$status" -eq 2 ] && echo build || echo pass) without a fault"
  exit 2
fi

seconds_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
# One line per row: its result, its seconds, the file and the rule.
say() { printf '%-8s %5s s  %s\n' "$1" "$2" "$3"; }

killed=0 others=0
while IFS= read -r row || [ -n "$row" ]; do
  case "$row" in '' | '#'*) continue ;; esac
  file="${row%% | *}" rest="${row#* | }"
  original="${rest%% | *}" rest="${rest#* | }"
  replacement="${rest%% | *}" rule="${rest#* | }"
  original="${original//\\n/$'\n'}" replacement="${replacement//\\n/$'\n'}"
  if [ "$rule" = "$rest" ] || [ -z "$original" ] || [ -z "$replacement" ] || [ ! -f "$root/$file" ] \
    || { [[ "$file" == src/windows/* ]] && ! grep -qF -- "$file.o" "$build/build.ninja"; }; then
    say STALE - "$row (not file | original | replacement | rule, no such file, or a file the tests do not build)"
    others=$((others + 1))
    continue
  fi
  content="$(<"$root/$file")"
  without="${content//"$original"/}"
  if [ $(((${#content} - ${#without}) / ${#original})) -ne 1 ]; then
    say STALE - "$file: $rule (the original text is not there exactly once)"
    others=$((others + 1))
    continue
  fi
  mutant_started=$EPOCHREALTIME
  mutated="$file"
  printf '%s\n' "${content/"$original"/"$replacement"}" >"$tree/$file"
  status=0
  unit_tests_pass || status=$?
  restore
  case "$status" in
    1) say killed "$(seconds_since "$mutant_started")" "$file: $rule (by $failed)"; killed=$((killed + 1)) ;;
    2) say BROKEN "$(seconds_since "$mutant_started")" "$file: $rule (the fault does not build)"; others=$((others + 1)) ;;
    *) say SURVIVED "$(seconds_since "$mutant_started")" "$file: $rule"; others=$((others + 1)) ;;
  esac
done <"$list"

echo "=== mutants: $killed killed, $others survived, stale or broken, in $(seconds_since "$started") s"
echo "mutants: $killed passed, $others failed"
[ "$others" -eq 0 ]
