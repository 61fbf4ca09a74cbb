#!/usr/bin/env bash
# Benchmark: korvane against fping and a shell loop of ping, on the same ten
# answering hosts, inside a private network namespace (nothing leaves the
# machine). Prints a Markdown table. Needs root for the namespace.
#   bench/run.sh [RUNS]   (default 5; medians are reported)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-5}"

if [ -z "${KORVANE_BENCH_INSIDE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "bench/run.sh needs root (private network namespace)" >&2; exit 1; }
  "$root/scripts/install-deps.sh" build test bench >&2
  cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build/bench" --target korvane icmp_responder bench_measure bench_slices >/dev/null
  exec unshare -m -n --propagation private env KORVANE_BENCH_INSIDE=1 bash "$0" "$runs"
fi

build="$root/build/bench"
work="$(mktemp -d /tmp/korvane-bench.XXXXXX)"
responder_pid=""
trap '[ -n "$responder_pid" ] && kill "$responder_pid" 2>/dev/null; rm -rf "$work"' EXIT

ip link set lo up
hosts=()
for i in $(seq 1 10); do ip addr add "192.0.2.$i/32" dev lo; hosts+=("192.0.2.$i"); done
sysctl -q -w net.ipv4.icmp_echo_ignore_all=0   # the kernel answers every host at once
cp "$build/korvane" "$work/korvane"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Runs a command RUNS times; prints median wall s, CPU ms, peak resident KiB.
measure() {
  local wall cpu rss
  : > "$work/samples"
  for _ in $(seq "$runs"); do
    "$build/bench/bench_measure" "$@" 2>/dev/null >> "$work/samples"
  done
  wall=$(awk '{ printf "%.3f\n", $1 / 1e6 }' "$work/samples" | median)
  cpu=$(awk '{ printf "%.2f\n", $2 / 1e3 }' "$work/samples" | median)
  rss=$(awk '{ print $3 }' "$work/samples" | median)
  echo "$wall $cpu $rss"
}

read -r k_wall k_cpu k_rss < <(measure "$work/korvane" 10 "${hosts[@]}")
read -r f_wall f_cpu f_rss < <(measure fping -q -c1 "${hosts[@]}")
read -r p_wall p_cpu p_rss < <(measure bash -c 'for h in "$@"; do ping -c1 -W1 -q "$h"; done' _ "${hosts[@]}")
# What the 200 ten-millisecond slices of a ten-host run cost by themselves on this machine.
read -r s_wall s_cpu s_rss < <(measure "$build/bench/bench_slices" 200)

# Reported reply time of a host that answers after 2 s.
sysctl -q -w net.ipv4.icmp_echo_ignore_all=1
"$build/tests/e2e/icmp_responder" "$work/ready" 192.0.2.1=delay:2000 &
responder_pid=$!
for _ in $(seq 100); do [ -e "$work/ready" ] && break; sleep 0.05; done
: > "$work/pingdebug.txt"
"$work/korvane" 1 192.0.2.1 || true
reply_ms=$(grep -oE 'Ping Response from 192.0.2.1 \([0-9]+ ms\)' "$work/pingdebug.txt" | grep -oE '[0-9]+ ms' | cut -d' ' -f1)

floor=2.000
verdict() { if awk "BEGIN { exit !($1) }"; then echo met; else echo missed; fi; }
cat <<TABLE
| measure (median of $runs) | korvane | fping -c1 | ping -c1 loop | 200 bare 10 ms sleeps | target | result |
|---|---|---|---|---|---|---|
| wall time, 10 answering hosts | ${k_wall} s | ${f_wall} s | ${p_wall} s | ${s_wall} s | within 0.5 % of ${floor} s | $(verdict "$k_wall <= $floor * 1.005 && $k_wall >= $floor") |
| CPU time (user + system) | ${k_cpu} ms | ${f_cpu} ms | ${p_cpu} ms | ${s_cpu} ms | no more than fping | $(verdict "$k_cpu <= $f_cpu") |
| peak resident memory | ${k_rss} KiB | ${f_rss} KiB | ${p_rss} KiB | ${s_rss} KiB | below fping | $(verdict "$k_rss < $f_rss") |
| reported reply time, host answering after 2000 ms | ${reply_ms:-none} ms | | | | within 2 ms of 2000 | $(verdict "${reply_ms:-0} >= 1998 && ${reply_ms:-0} <= 2002") |
TABLE
