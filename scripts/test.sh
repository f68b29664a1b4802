#!/usr/bin/env bash
# Builds everything and runs every test: native, ASan+UBSan, ThreadSanitizer
# (threaded tests) and the 32-bit big-endian PowerPC cross build under qemu.
# Needs Debian and root (it installs what is missing, and the tests run in
# private namespaces).  Ends with one line "N passed, N failed".
#
#   scripts/test.sh [--only native|asan|tsan|ppc|extra]... [--jobs N] [--test-jobs N]
#
# --jobs: parallel compile jobs (default: processors); --test-jobs: test cases
# run side by side (default 3).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
test_jobs=3
only=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --only) only+=("$2"); shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        --test-jobs) test_jobs=$2; shift 2 ;;
        -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
        *) echo "test.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
wanted() { [[ ${#only[@]} -eq 0 ]] || [[ " ${only[*]} " == *" $1 "* ]]; }

[[ $EUID -eq 0 ]] || { echo "test.sh: run as root (the tests use namespaces)" >&2; exit 2; }

# shellcheck source=scripts/deps.sh
source "$root/scripts/deps.sh"
ensure_packages g++ cmake make libgtest-dev libgmock-dev googletest iproute2 util-linux \
    g++-powerpc-linux-gnu qemu-user clang libclang-rt-14-dev fping strace || exit 1

passed=0
failed=0
start=$(date +%s)
summary=()

# run_suite NAME BUILD_DIR CTEST_ARGS... : runs ctest in the sandbox and adds its counts.
run_suite() {
    local name=$1 dir=$2
    shift 2
    local log="$dir/ctest.log"
    echo "== $name: ctest $*"
    # Every test case runs in a sandbox of its own (the tests' launcher), so
    # cases can run side by side; most of their time is spent waiting on the
    # daemon's five-second cycle.
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$test_jobs" \
        "$@" >"$log" 2>&1
    grep -E "tests passed|\(Failed|\(Timeout|\(Not Run" "$log" || true
    # What the failed checks said, so a run's own output shows why (the
    # whole log stays in the build folder).
    grep -E -A8 ": Failure$|WARNING: ThreadSanitizer|ERROR: AddressSanitizer|runtime error:" \
        "$log" | head -n 80 || true
    local line total fail
    line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -n 1)
    if [[ -z "$line" ]]; then
        echo "== $name: ctest did not finish"
        failed=$((failed + 1))
        summary+=("$name: did not finish")
        return
    fi
    fail=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - fail))
    failed=$((failed + fail))
    summary+=("$name: $((total - fail)) passed, $fail failed")
}

# build NAME DIR CMAKE_ARGS... : configures and builds; a failed build counts as a failure.
build() {
    local name=$1 dir=$2
    shift 2
    echo "== $name: build in $dir"
    if ! cmake -S "$root" -B "$dir" "$@" >"$dir.configure.log" 2>&1; then
        cat "$dir.configure.log"
        failed=$((failed + 1)); summary+=("$name: configure failed"); return 1
    fi
    if ! cmake --build "$dir" -j "$jobs" >"$dir.build.log" 2>&1; then
        grep -E "error|Error" "$dir.build.log" | head -n 40
        failed=$((failed + 1)); summary+=("$name: build failed"); return 1
    fi
}

if wanted native && build native "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
    run_suite native "$root/build"
fi
if wanted asan && build asan "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DTRAPWATCH_SANITIZE=address; then
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite asan "$root/build-asan"
fi
if wanted tsan && build tsan "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAPWATCH_SANITIZE=thread; then
    # The daemon's worker threads are never joined by design, so thread leaks
    # are not findings; and the runtime's one-second pause at exit would hide
    # how soon the daemon ends.
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0:atexit_sleep_ms=0 \
        run_suite tsan "$root/build-tsan" -L '^(trapwatch|e2e|tools)$'
fi
if wanted ppc && build ppc "$root/build-ppc" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/powerpc-linux-gnu.cmake" -DTRAPWATCH_SANITIZE=trap; then
    run_suite ppc "$root/build-ppc" -LE e2e
fi
if wanted extra; then
    for extra in "$root"/scripts/test.d/*.sh; do
        [[ -e "$extra" ]] || continue
        name=$(basename "$extra" .sh)
        echo "== $name"
        if bash "$extra" "$root/build"; then
            passed=$((passed + 1)); summary+=("$name: passed")
        else
            failed=$((failed + 1)); summary+=("$name: FAILED")
        fi
    done
fi

echo
echo "== summary ($(( $(date +%s) - start )) s)"
printf '   %s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
