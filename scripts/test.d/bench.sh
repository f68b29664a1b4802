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
for key in '"trapwatch": {' '"fping_loop": {' '"cpu_ms_per_cycle"' '"syscalls_per_cycle"' \
    '"rtt_per_s"' '"ppc_static":'; do
    grep -qF "$key" "$tmp/run.json" || fail "no $key in the JSON"
done
grep -qF '"allocations": {"counter_started": true' "$tmp/run.json" || fail "the allocation counter did not start"
grep -qF '"ppc_musl": {"counter_started": true, "after' "$tmp/run.json" ||
    fail "the musl build's allocation counter did not start"
grep -qE '"ppc_musl": \{[^}]*"after_round_trips": 0,' "$tmp/run.json" || fail "the musl build allocated after start-up"
grep -qF '"matrix_codes_2_1_0": "30 / 30 / 28"' "$tmp/run.json" || fail "the musl build's matrix is not the lab's"
grep -qF '"after_round_trips": 0,' "$tmp/run.json" || {
    grep -F '"allocations"' "$tmp/run.json" >&2
    grep '^#' "$tmp/log.txt" >&2
    fail "the daemon allocated after start-up"
}
grep -qE '"matrix_code2": \{"min": 30,' "$tmp/run.json" || fail "the lab's matrix is not 30 reachable"
echo "bench smoke: passed"
