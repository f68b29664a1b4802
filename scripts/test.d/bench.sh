#!/usr/bin/env bash
# Smoke of the benchmark: one 10-second window per prober; it runs, prints its table, writes
# its JSON, counts no heap allocation after start-up (bench-stats check); no timing asserted.
#
#   scripts/test.d/bench.sh BUILD_DIR   (the native build; the bench builds its own)
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d /tmp/twbench-smoke.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

timeout 900 "$root/scripts/bench.sh" --seconds 10 --repeat 1 --out "$tmp/run.json" >"$tmp/table.txt" \
    2>"$tmp/log.txt"
rc=$?
cat "$tmp/table.txt"
[[ $rc -eq 0 ]] || { tail -n 40 "$tmp/log.txt" >&2; echo "bench smoke: bench.sh ended with $rc" >&2; exit 1; }
"$root/build-bench-release/bench/bench-stats" check "$tmp/table.txt" "$tmp/run.json" "$tmp/log.txt" &&
    echo "bench smoke: passed"
