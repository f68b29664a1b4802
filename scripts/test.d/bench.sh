#!/usr/bin/env bash
# Smoke of the benchmark: one 10-second window per prober.  Checks that it
# runs, prints its table, writes its JSON and counts no heap allocation in
# the daemon after start-up.  Asserts nothing about time.
#
#   scripts/test.d/bench.sh BUILD_DIR   (the native build; the bench builds its own)
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d /tmp/twbench-smoke.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "bench smoke: $*" >&2; exit 1; }

timeout 900 "$root/scripts/bench.sh" --seconds 10 --repeat 1 --out "$tmp/run.json" \
    >"$tmp/table.txt" 2>"$tmp/log.txt"
rc=$?
cat "$tmp/table.txt"
[[ $rc -eq 0 ]] || { tail -n 40 "$tmp/log.txt" >&2; fail "bench.sh ended with $rc"; }

for row in "CPU per cycle" "system calls per cycle" "voluntary context switches" "RSS at end" \
    "Pss at end" "GET_STATUS round trips per second" "after cycles / commands / trips" \
    "PowerPC dynamic / static" "PowerPC static musl"; do
    grep -q "$row" "$tmp/table.txt" || fail "no row \"$row\" in the table"
done
[[ -s "$tmp/run.json" ]] || fail "no JSON written"
while IFS='|' read -r pattern what; do
    grep -qE "$pattern" "$tmp/run.json" || { grep '^#' "$tmp/log.txt" >&2; fail "$what"; }
done <<'ROWS'
"trapwatch": \{"cpu_ms_per_cycle"|no figures of trapwatch in the JSON
"fping_loop": \{"cpu_ms_per_cycle"|no figures of fping in the JSON
"trapwatch": \{.*"syscalls_per_cycle"|no system call count in the JSON
"rtt_per_s"|no round trips in the JSON
"ppc_static": [0-9]+|no PowerPC static size in the JSON
"allocations": \{"counter_started": true|the allocation counter did not start
"allocations": \{[^}]*"after_round_trips": 0,|the daemon allocated after start-up
"ppc_musl": \{"counter_started": true, "after|the musl build's allocation counter did not start
"ppc_musl": \{[^}]*"after_round_trips": 0,|the musl build allocated after start-up
"matrix_codes_2_1_0": "30 / 30 / 28"|the musl build's matrix is not the lab's
"matrix_code2": \{"min": 30,|the lab's matrix is not 30 reachable
ROWS
echo "bench smoke: passed"
