#!/usr/bin/env bash
# Benchmark: korvane against fping and a shell loop of ping on the same ten
# answering hosts, the cost of its pauses and of a silent host (each beside a
# floor: a program that only starts and sleeps the same schedule), its
# reported reply time, and how it holds under floods, all inside a private
# network namespace (nothing leaves the machine). Prints Markdown tables.
# Needs root.
#   bench/run.sh [RUNS]   (default 5; medians are reported)
#   KORVANE_BASELINE=/path/to/older/korvane  adds that build's figures beside
#   KORVANE_BENCH_WINE=0                      skips the Windows build under Wine
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-5}"
wine_bench="${KORVANE_BENCH_WINE:-1}"

if [ -z "${KORVANE_BENCH_INSIDE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "bench/run.sh needs root (private network namespace)" >&2; exit 1; }
  groups=(build test bench)
  [ "$wine_bench" = 1 ] && groups+=(windows)
  "$root/scripts/install-deps.sh" "${groups[@]}" >&2
  cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build/bench" --target korvane icmp_responder bench_measure bench_pauses bench_sleeps >/dev/null
  if [ "$wine_bench" = 1 ]; then
    cmake -S "$root" -B "$root/build/bench-windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DKORVANE_TESTS=OFF >/dev/null
    cmake --build "$root/build/bench-windows" --target korvane >/dev/null
  fi
  exec unshare -m -n --propagation private env KORVANE_BENCH_INSIDE=1 bash "$0" "$runs"
fi

build="$root/build/bench"
work="$(mktemp -d /tmp/korvane-bench.XXXXXX)"
chmod 755 "$work"
responder_pid=""
stop_responder() { [ -n "$responder_pid" ] && kill "$responder_pid" 2>/dev/null; responder_pid=""; }
cleanup() {
  stop_responder
  [ "$wine_bench" = 1 ] && { /usr/lib/wine/wineserver -k 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

ip link set lo up
hosts=()
for i in $(seq 1 10); do ip addr add "192.0.2.$i/32" dev lo; hosts+=("192.0.2.$i"); done
ip addr add 198.51.100.1/32 dev lo
hosts6=()
for i in $(seq 1 10); do ip -6 addr add "2001:db8::$i/128" dev lo nodad; hosts6+=("2001:db8::$i"); done
cp "$build/korvane" "$work/korvane"
measure_bin="$build/bench/bench_measure"
baseline="${KORVANE_BASELINE:-}"
[ -n "$baseline" ] && cp "$baseline" "$work/baseline"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The medians of a file of samples: wall s, CPU ms, peak resident KiB,
# voluntary context switches, and how many runs ended 100.
medians() {  # FILE
  echo "$(awk '{ printf "%.3f\n", $1 / 1e6 }' "$1" | median)" \
       "$(awk '{ printf "%.2f\n", $2 / 1e3 }' "$1" | median)" \
       "$(awk '{ print $3 }' "$1" | median)" \
       "$(awk '{ print $4 }' "$1" | median)" \
       "$(awk '$5 == 100' "$1" | wc -l)"
}

# Runs a command RUNS (or $n) times; prints its medians.
measure() {
  local count="${n:-$runs}"
  : > "$work/samples"
  for _ in $(seq "$count"); do "$measure_bin" "$@" 2>/dev/null >> "$work/samples"; done
  medians "$work/samples"
}

# Side by side: RUNS rounds of korvane, the previous build when given, and
# the floor, one after another in each round, so that what else the machine
# does weighs on all three alike. Leaves the samples in $work/side.{k,b,z}.
side_by_side() {  # "KORVANE ARGS" "FLOOR ARGS"
  local -a args floor
  read -r -a args <<< "$1"
  read -r -a floor <<< "$2"
  : > "$work/side.k"; : > "$work/side.b"; : > "$work/side.z"
  for _ in $(seq "$runs"); do
    "$measure_bin" "$work/korvane" "${args[@]}" 2>/dev/null >> "$work/side.k"
    [ -z "$baseline" ] || "$measure_bin" "$work/baseline" "${args[@]}" 2>/dev/null >> "$work/side.b"
    "$measure_bin" "$build/bench/bench_sleeps" "${floor[@]}" 2>/dev/null >> "$work/side.z"
  done
}

start_responder() {  # ARGS...
  rm -f "$work/ready"
  "$build/tests/e2e/icmp_responder" "$work/ready" "$@" &
  responder_pid=$!
  for _ in $(seq 100); do [ -e "$work/ready" ] && return 0; sleep 0.05; done
  echo "responder did not start" >&2; exit 1
}

verdict() { if awk "BEGIN { exit !($1) }"; then echo met; else echo missed; fi; }
icmp_in() { awk '/^Icmp:/ && $2 ~ /^[0-9]+$/ { print $2 }' /proc/net/snmp; }
as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)

# ---- ten answering hosts: the kernel answers each at once --------------------
sysctl -q -w net.ipv4.icmp_echo_ignore_all=0
sysctl -q -w net.ipv4.ping_group_range="1 0"   # raw socket, as when installed with cap_net_raw
# The floor sleeps what a ten-host run pauses: 100, 50 and 50 ms a host.
ten_schedule="10 100 50 50"
side_by_side "10 ${hosts[*]}" "$ten_schedule"
read -r k_wall k_cpu k_rss k_csw _ < <(medians "$work/side.k")
read -r z_wall z_cpu _ z_csw _ < <(medians "$work/side.z")
[ -z "$baseline" ] || read -r b_wall b_cpu b_rss b_csw _ < <(medians "$work/side.b")
read -r f_wall f_cpu f_rss f_csw _ < <(measure fping -q -c1 "${hosts[@]}")
read -r p_wall p_cpu p_rss p_csw _ < <(measure bash -c 'for h in "$@"; do ping -c1 -W1 -q "$h"; done' _ "${hosts[@]}")
# The same over IPv6: ten IPv6 literals, which korvane resolves as names.
sysctl -q -w net.ipv6.icmp.echo_ignore_all=0
read -r k6_wall k6_cpu k6_rss k6_csw k6_up < <(measure "$work/korvane" 10 "${hosts6[@]}")
read -r f6_wall f6_cpu f6_rss f6_csw _ < <(measure fping -6 -q -c1 "${hosts6[@]}")

# Each pause's overshoot of its end, over every pause of RUNS runs.
: > "$work/pauses"
for _ in $(seq "$runs"); do
  "$build/bench/bench_pauses" 10 "${hosts[@]}" 2>> "$work/pauses" || true
done
pause_count=$(awk '{ s += $1 } END { print s }' "$work/pauses")
pause_min=$(awk '{ print $2 }' "$work/pauses" | sort -n | head -1)
pause_median=$(awk '{ print $3 }' "$work/pauses" | median)
pause_max=$(awk '{ print $4 }' "$work/pauses" | sort -n | tail -1)
# The floor's own overshoots, on the same schedule.
: > "$work/sleeps"
# shellcheck disable=SC2086
for _ in $(seq "$runs"); do "$build/bench/bench_sleeps" $ten_schedule 2>> "$work/sleeps"; done
sleep_min=$(awk '{ print $2 }' "$work/sleeps" | sort -n | head -1)
sleep_median=$(awk '{ print $3 }' "$work/sleeps" | median)
sleep_max=$(awk '{ print $4 }' "$work/sleeps" | sort -n | tail -1)

# The Windows build under Wine, on the same hosts.
w_wall="" w_cpu=""
if [ "$wine_bench" = 1 ]; then
  export WINEPREFIX="$work/wine" WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
  /usr/lib/wine/wine64 cmd /c exit 0 >/dev/null 2>&1 || true   # wineserver up before measuring
  cp "$root/build/bench-windows/korvane.exe" "$work/korvane.exe"
  read -r w_wall w_cpu _ _ _ < <(measure /usr/lib/wine/wine64 "$work/korvane.exe" 10 "${hosts[@]}")
fi

# ---- one silent host ----------------------------------------------------------
sysctl -q -w net.ipv4.icmp_echo_ignore_all=1
# Its floor: 100 and 50 ms, then the 50 ms polls up to the deadline 5.05 s after the request.
side_by_side "1 192.0.2.1" "1 100 50 $(printf '50 %.0s' $(seq 101))"
read -r s_wall s_cpu _ s_csw _ < <(medians "$work/side.k")
read -r _ sz_cpu _ _ _ < <(medians "$work/side.z")
sb_cpu="" sb_csw=""
[ -z "$baseline" ] || read -r _ sb_cpu _ sb_csw _ < <(medians "$work/side.b")

# ---- reported time of a reply that comes after 2 s ------------------------------
start_responder 192.0.2.1=delay:2000
: > "$work/pingdebug.txt"
"$work/korvane" 1 192.0.2.1 || true
reply_ms=$(grep -oE 'Ping Response from 192.0.2.1 \([0-9]+ ms\)' "$work/pingdebug.txt" | grep -oE '[0-9]+ ms' | cut -d' ' -f1)
rm -f "$work/pingdebug.txt"
stop_responder

# ---- a flood of unrelated echo replies on the raw socket ------------------------
start_responder --flood-replies=200000 192.0.2.1=delay:500
before=$(icmp_in); sleep 1; flood_rate=$(( $(icmp_in) - before ))
read -r rf_wall rf_cpu _ _ rf_seen < <(n=10 measure "$work/korvane" 1 192.0.2.1)
stop_responder
rf_share=$(awk "BEGIN { printf \"%.2f\", $rf_cpu / 10 / $rf_wall }")   # % of one core

# ---- forged unreachables quoting each request ------------------------------------
# Two hosts, quiet (silent) and under 150,000 errors a second, on each socket kind.
error_flood() {  # KIND -> quiet wall, flood wall, flood CPU ms, most Error lines in a run
  local -a who=()
  if [ "$1" = datagram ]; then sysctl -q -w net.ipv4.ping_group_range="0 2147483647"; who=("${as_nobody[@]}"); fi
  read -r quiet _ _ _ _ < <(n=3 measure "${who[@]}" "$work/korvane" 1 192.0.2.1 192.0.2.2)
  start_responder 192.0.2.1=error-flood:150000:6000 192.0.2.2=error-flood:150000:6000
  read -r flooded cpu _ _ _ < <(n=3 measure "${who[@]}" "$work/korvane" 1 192.0.2.1 192.0.2.2)
  : > "$work/pingdebug.txt"; chmod 666 "$work/pingdebug.txt"
  "${who[@]}" "$work/korvane" 1 192.0.2.1 192.0.2.2 || true
  stop_responder
  local lines
  lines=$(grep -c 'Error When Ping' "$work/pingdebug.txt")
  rm -f "$work/pingdebug.txt"
  # Put back before the figures go out: the reader may start the next case at once.
  sysctl -q -w net.ipv4.ping_group_range="1 0"
  echo "$quiet $flooded $cpu $lines"
}
read -r ed_quiet ed_flood ed_cpu ed_lines < <(error_flood datagram)
read -r er_quiet er_flood er_cpu er_lines < <(error_flood raw)

# ---- forged errors about the previous host's request, or about the current one ------
# "previous": host A answers at once while unreachables quoting its request
# go on into host B's wait; B answers after 300 ms. "current": unreachables
# quote host B's own request, and B answers after 300 ms. Each flood lasts
# the whole run (the responder stops with it). 10 runs a case: the real reply seen, runs that ended 100, the
# most Error lines one host got, korvane's highest CPU share, and the most
# its ICMP sockets dropped in a run (/proc/net/raw, raw6, icmp, icmp6).
icmp_in_all() { awk '/^Icmp:/ && $2 ~ /^[0-9]+$/ { n = $2 } END { printf "%d ", n }' /proc/net/snmp
                awk '$1 == "Icmp6InMsgs" { print $2 }' /proc/net/snmp6; }
socket_drops() {  # PID: "INODE DROPS" for each ICMP socket the process holds
  local inodes
  inodes=" $(ls -l "/proc/$1/fd" 2>/dev/null | grep -oE 'socket:\[[0-9]+\]' | grep -oE '[0-9]+' | tr '\n' ' ')"
  [ "$inodes" != " " ] || return 0
  awk -v want="$inodes" 'FNR > 1 && index(want, " " $10 " ") { print $10, $NF }' \
    /proc/net/raw /proc/net/raw6 /proc/net/icmp /proc/net/icmp6 2>/dev/null
}
flood_case() {  # KIND FAMILY CASE RATE -> one table row
  local kind=$1 family=$2 case=$3 rate=$4 a b run mpid kpid seen=0 up=0 errors=0 cpu_max=0 drops_max=0
  local -a who=() args=()
  if [ "$kind" = datagram ]; then sysctl -q -w net.ipv4.ping_group_range="0 2147483647"; who=("${as_nobody[@]}"); fi
  if [ "$family" = IPv4 ]; then a=192.0.2.1 b=192.0.2.2; else a=2001:db8::1 b=2001:db8::2; fi
  local -a rules=("$b=error-flood:$rate:6000:300")
  args=(1 "$b")
  if [ "$case" = previous ]; then rules=("$a=error-flood:$rate:6000:0" "$b=delay:300"); args=(2 "$a" "$b"); fi
  local in_before in6_before in_after in6_after delivered=0 wall_total=0
  for run in $(seq 10); do
    start_responder "${rules[@]}"
    : > "$work/pingdebug.txt"; chmod 666 "$work/pingdebug.txt"; : > "$work/drops"
    read -r in_before in6_before < <(icmp_in_all)
    "${who[@]}" "$measure_bin" "$work/korvane" "${args[@]}" > "$work/sample" &
    mpid=$!
    while kill -0 "$mpid" 2>/dev/null; do
      kpid=$(cat "/proc/$mpid/task/$mpid/children" 2>/dev/null | awk '{ print $1 }')
      [ -n "$kpid" ] && socket_drops "$kpid" >> "$work/drops"
      sleep 0.02
    done
    wait "$mpid" || true
    read -r in_after in6_after < <(icmp_in_all)
    read -r wall cpu _ _ status < "$work/sample"
    delivered=$(( delivered + in_after - in_before + in6_after - in6_before ))
    wall_total=$(( wall_total + wall ))
    grep -q "Ping Response from $b " "$work/pingdebug.txt" && seen=$((seen + 1))
    [ "$status" = 100 ] && up=$((up + 1))
    for h in "$a" "$b"; do
      n=$(grep -c "Error When Ping $h " "$work/pingdebug.txt" || true)
      [ "$n" -gt "$errors" ] && errors=$n
    done
    cpu_max=$(awk -v c="$cpu" -v w="$wall" -v m="$cpu_max" 'BEGIN { s = 100 * c / w; printf "%.2f", (s > m ? s : m) }')
    drops=$(awk '{ if ($2 > m[$1]) m[$1] = $2 } END { for (i in m) s += m[i]; print s + 0 }' "$work/drops")
    [ "$drops" -gt "$drops_max" ] && drops_max=$drops
    stop_responder   # and its floods
  done
  rm -f "$work/pingdebug.txt"
  sysctl -q -w net.ipv4.ping_group_range="1 0"
  local what="errors quoting the previous host's request, next host answers after 300 ms"
  [ "$case" = current ] && what="errors quoting the current request, host answers after 300 ms"
  local received=$(( delivered * 1000000 / wall_total ))
  echo "| $what | $kind | $family | $rate ($received ICMP messages/s received) | $seen/10 | $up/10 | $errors | $cpu_max % | $drops_max | $(verdict "$seen == 10 && $up == 10 && $errors <= 1 && $cpu_max < 10") |"
}
request_flood_rows=""
for flood_kind in datagram raw; do
  for flood_family in IPv4 IPv6; do
    for flood_which in previous current; do
      for flood_rate in 100000 150000; do
        request_flood_rows+="$(flood_case "$flood_kind" "$flood_family" "$flood_which" "$flood_rate")"$'\n'
      done
    done
  done
done

# ---- tables ------------------------------------------------------------------------
floor=2.000
hosts_csw=$(awk "BEGIN { printf \"%.1f\", $k_csw / 10 }")
prev_head="" prev_rule="" prev_wall="" prev_cpu="" prev_csw="" prev_rss=""
if [ -n "$baseline" ]; then
  prev_head=" previous build |" prev_rule="---|" prev_wall=" $b_wall s |" prev_cpu=" $b_cpu ms |"
  prev_csw=" $b_csw |" prev_rss=" $b_rss KiB |"
fi
silent_cpu_row="| one silent host, a third of the previous build's CPU time | ${s_cpu} ms | (no previous build given) |"
[ -n "$sb_cpu" ] && silent_cpu_row="| one silent host, a third of the previous build's CPU time | ${s_cpu} ms (previous build ${sb_cpu} ms) | $(verdict "$s_cpu <= $sb_cpu / 3") |"
# What korvane's own work costs: its CPU time above the floor that only
# starts and sleeps the same schedule, measured side by side.
above_row() {  # WHAT KORVANE_CPU PREVIOUS_CPU FLOOR_CPU TARGET_MS
  local above previous=""
  above=$(awk -v k="$2" -v z="$4" 'BEGIN { printf "%.2f", k - z }')
  [ -z "$3" ] || previous=" (previous build $(awk -v b="$3" -v z="$4" 'BEGIN { printf "%.2f", b - z }') ms)"
  echo "| CPU time above its floor (${4} ms), $1, $5 ms or less | ${above} ms${previous} | $(verdict "$above <= $5") |"
}
above_sleeps_row="$(above_row "ten answering hosts" "$k_cpu" "${b_cpu:-}" "$z_cpu" 1.0)"
above_silent_row="$(above_row "one silent host" "$s_cpu" "$sb_cpu" "$sz_cpu" 1.5)"
wine_row=""
[ -n "$w_wall" ] && wine_row="| Windows build under Wine, ten answering hosts: wall and CPU time (Wine's own start included, wineserver not) | ${w_wall} s, ${w_cpu} ms | reported only |"

cat <<TABLE
Ten answering hosts (median of $runs):

| measure | korvane | fping -c1 | ping -c1 loop | floor: the same 30 sleeps |$prev_head
|---|---|---|---|---|$prev_rule
| wall time | ${k_wall} s | ${f_wall} s | ${p_wall} s | ${z_wall} s |$prev_wall
| CPU time (user + system) | ${k_cpu} ms | ${f_cpu} ms | ${p_cpu} ms | ${z_cpu} ms |$prev_cpu
| voluntary context switches | ${k_csw} | ${f_csw} | ${p_csw} | ${z_csw} |$prev_csw
| peak resident memory | ${k_rss} KiB | ${f_rss} KiB | ${p_rss} KiB | |$prev_rss
| IPv6: wall time | ${k6_wall} s | ${f6_wall} s (fping -6) | | |${baseline:+ |}
| IPv6: CPU time | ${k6_cpu} ms | ${f6_cpu} ms | | |${baseline:+ |}
| IPv6: voluntary context switches | ${k6_csw} | ${f6_csw} | | |${baseline:+ |}
| IPv6: peak resident memory | ${k6_rss} KiB | ${f6_rss} KiB | | |${baseline:+ |}
| IPv6: runs that ended with 100 | ${k6_up}/${runs} | | | |${baseline:+ |}
| sleep overshoot, min / median / max | ${pause_min} / ${pause_median} / ${pause_max} us | | | ${sleep_min} / ${sleep_median} / ${sleep_max} us |${baseline:+ |}

| target | measured | result |
|---|---|---|
| CPU time, ten answering hosts, no more than fping's | ${k_cpu} ms (fping ${f_cpu} ms) | $(verdict "$k_cpu <= $f_cpu") |
$above_sleeps_row
| voluntary context switches, ten answering hosts, at most 5 per host | ${k_csw} (${hosts_csw} per host) | $(verdict "$k_csw <= 50") |
| wall time, ten answering hosts, within 0.2 % of ${floor} s | ${k_wall} s | $(verdict "$k_wall >= $floor && $k_wall <= $floor * 1.002") |
| each pause never shorter, at most 1 ms longer (${pause_count} pauses; overshoot min / median / max) | ${pause_min} / ${pause_median} / ${pause_max} us | $(verdict "$pause_min >= 0 && $pause_max <= 1000") |
| one silent host, at most 110 voluntary context switches | ${s_csw}${sb_csw:+ (previous build ${sb_csw})} | $(verdict "$s_csw <= 110") |
$silent_cpu_row
$above_silent_row
| reported time of a reply after 2000 ms, within 1 ms | ${reply_ms:-none} ms | $(verdict "${reply_ms:-0} >= 1999 && ${reply_ms:-0} <= 2001") |
$wine_row

Floods:

| measure | quiet | flooded | target | result |
|---|---|---|---|---|
| real reply seen, unrelated echo replies at ${flood_rate} packets/s (raw socket, 10 runs) | | ${rf_seen}/10 | 10/10 | $(verdict "$rf_seen == 10") |
| korvane's CPU during that flood | | ${rf_share} % of a core (${rf_cpu} ms in ${rf_wall} s) | under 5 % | $(verdict "$rf_share < 5") |
| two-host run, 150,000 forged unreachables/s, datagram socket | ${ed_quiet} s | ${ed_flood} s, ${ed_cpu} ms CPU | within 0.5 s of quiet | $(verdict "$ed_flood <= $ed_quiet + 0.5") |
| Error lines in that run | | ${ed_lines} | at most 1 per host | $(verdict "$ed_lines <= 2") |
| the same, raw socket | ${er_quiet} s | ${er_flood} s, ${er_cpu} ms CPU | within 0.5 s of quiet | $(verdict "$er_flood <= $er_quiet + 0.5") |
| Error lines in that run | | ${er_lines} | at most 1 per host | $(verdict "$er_lines <= 2") |

Forged errors about an earlier or the current request (10 runs each; target: reply seen 10/10,
verdict 100 in 10/10, at most 1 Error line per host, korvane under 10 % of a core):

| flood | socket | family | forged errors/s sent | real reply seen | ended 100 | most Error lines for one host | korvane's highest CPU share | most socket drops in a run | result |
|---|---|---|---|---|---|---|---|---|---|
${request_flood_rows%$'\n'}
TABLE
