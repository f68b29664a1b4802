#!/usr/bin/env bash
# Soak: the fault cases of the end-to-end tests (tests/e2e/daemon_test.cpp) run
# longer.  Each case opens as in CI, then repeats its disturbance (controller
# misbehaviour, abusive clients, an ICMP flood, a flapping receiver, a broken
# configuration file) for its share of MINUTES, checking after every round
# that the codes are right and the daemon's descriptors and memory flat.
# Reports each case's rounds, the daemon's cycles, its descriptors and VmRSS
# at the start and the end; exits nonzero when a case failed.
#
#   scripts/soak.sh [MINUTES] [--build-dir DIR] [--only GTEST_FILTER]
#
# As root (each run is in scripts/sandbox.sh); builds what is missing in DIR
# (default build/).
set -euo pipefail

here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

minutes=2
filter='fault.*'
while [[ $# -gt 0 ]]; do
    case "$1" in
        --build-dir) TW_BUILD_DIR=$(readlink -m "${2:?--build-dir needs a directory}"); shift ;;
        --only) filter=${2:?--only needs a test filter}; shift ;;
        -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *)
            [[ "$1" =~ ^[0-9]+$ && "$1" -gt 0 ]] || { echo "soak: unknown argument $1" >&2; exit 2; }
            minutes=$1 ;;
    esac
    shift
done
[[ $EUID -eq 0 ]] || { echo "soak: must run as root (namespaces, raw sockets)" >&2; exit 2; }

test_bin="$TW_BUILD_DIR/tests/daemon_test"
programs=(trapwatch/trapwatch tools/trapwatchctl tools/lab/icmp-noise tests/daemon_test)
for p in "${programs[@]}"; do
    [[ -x "$TW_BUILD_DIR/$p" ]] && continue
    tw_build "$TW_BUILD_DIR" trapwatch trapwatchctl icmp-noise daemon_test >/dev/null
    break
done

cases=$("$test_bin" --gtest_list_tests --gtest_filter="$filter" | grep -c '^  ')
((cases > 0)) || { echo "soak: no case matches $filter" >&2; exit 2; }
seconds=$((minutes * 60 / cases))
echo "soak: $cases cases, $seconds s of disturbance each"
log="$TW_BUILD_DIR/soak.log"
rc=0
TW_SOAK_SECONDS=$seconds timeout --kill-after=30 $((cases * (seconds + 240))) \
    "$here/sandbox.sh" "$test_bin" --gtest_filter="$filter" >"$log" 2>&1 || rc=$?
grep -E '^soak |Failure|FAILED' "$log" || true
((rc == 0)) && echo "soak: passed" || echo "soak: FAILED (exit $rc; the whole output is in $log)"
exit "$rc"
