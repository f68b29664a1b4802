#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang++ (ASan + UBSan) and
# runs each for SECONDS inside scripts/sandbox.sh, starting from its committed
# seed corpus.  Prints the executions and the coverage of every target; exits
# nonzero when a target found a crash, a leak, a hang or a broken invariant,
# or did not run.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     (default 15 s, every target)
#
# FUZZ_BUILD_DIR chooses the build directory (default build-fuzz); the corpus
# grown by a run is kept in it, under corpus/TARGET, and reused by the next.
# Crash inputs land in FUZZ_BUILD_DIR/artifacts.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"
seconds=${1:-15}
shift || true
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
[[ "$build" = /* ]] || build="$root/$build"

tw_need_root "the targets run in the sandbox"
[[ "$seconds" =~ ^[0-9]+$ && "$seconds" -gt 0 ]] || { echo "fuzz.sh: SECONDS must be a positive number" >&2; exit 2; }

echo "== fuzz: build in $build"
fuzz_build() {
    cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ &&
        cmake --build "$build" -j "${FUZZ_JOBS:-2}"
}
tw_logged "$build.build.log" fuzz_build || exit 1

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    for src in "$root"/tests/fuzz/*_fuzz.cpp; do
        targets+=("$(basename "$src" .cpp)")
    done
fi

# Longest input per target: a receive buffer, a configuration file, a request.
declare -A max_len=([recv_packet_fuzz]=2049 [params_fuzz]=8192 [control_fuzz]=156)

mkdir -p "$build/artifacts"
failed=0
summary=()
for t in "${targets[@]}"; do
    name=${t%_fuzz}
    seeds="$root/tests/fuzz/corpus/$name"
    work="$build/corpus/$name"
    log="$build/$t.log"
    mkdir -p "$work"
    echo "== $t: $seconds s"
    # Without a console (trace is formatted, then dropped) and without a
    # controller socket (log lines fail at once).  The wall-clock bound is
    # generous: libFuzzer stops itself at max_total_time.
    timeout --kill-after=30 $((seconds + 120)) \
        "$root/scripts/sandbox.sh" --keep-ttyS0-missing \
        "$build/$t" "$work" "$seeds" -max_total_time="$seconds" -max_len="${max_len[$t]:-4096}" \
        -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$name-" >"$log" 2>&1
    rc=$?
    execs=$(grep -Eo 'stat::number_of_executed_units: [0-9]+' "$log" | grep -Eo '[0-9]+$' | tail -n 1)
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
    units=$(ls "$work" | wc -l)
    if [[ $rc -ne 0 || -z "$execs" ]]; then
        failed=$((failed + 1))
        summary+=("$t: FAILED (exit $rc) after ${execs:-?} executions; log $log")
        grep -E "ERROR|SUMMARY|invariant broken" "$log" | head -n 20
    else
        summary+=("$t: ${execs} executions in ${seconds} s, ${cov:-cov: ?}, corpus ${units}")
    fi
done

echo
echo "== fuzz summary"
printf '   %s\n' "${summary[@]}"
[[ $failed -eq 0 ]]
