#!/usr/bin/env bash
# Builds everything and runs every test: native, ASan+UBSan, ThreadSanitizer, the
# 32-bit big-endian PowerPC builds under qemu (glibc, static musl) and the parts in
# scripts/test.d (fuzz, soak, bench smoke, ...).  Needs Debian and root.  Ends with
# each part's counts and wall time, then one line "N passed, N failed".
#
#   scripts/test.sh [--only PART]... [--jobs N] [--test-jobs N]
#
# PART: native, asan, tsan, ppc, ppc-musl, a scripts/test.d name, or extra (all of it).
# --jobs: compile jobs (default: processors); --test-jobs: cases side by side (3).
set -uo pipefail

cd "$(dirname "$0")/.." && root=$PWD || exit 2
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"
jobs=$(nproc) test_jobs=3 only=() runs=() extra_list=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --only) only+=("$2"); shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        --test-jobs) test_jobs=$2; shift 2 ;;
        -h|--help) tw_usage; exit 0 ;;
        *) echo "test.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
mapfile -t extras < <(basename -s .sh scripts/test.d/*.sh)
wanted() {
    [[ ${#only[@]} -eq 0 ]] || [[ " ${only[*]} " == *" $1 "* ]] ||
        { [[ " ${extras[*]} " == *" $1 "* && " ${only[*]} " == *" extra "* ]]; }
}

tw_need_root "the tests use namespaces"
tw_ensure_packages g++ cmake make libgtest-dev libgmock-dev googletest iproute2 util-linux \
    g++-powerpc-linux-gnu qemu-user clang libclang-rt-14-dev fping strace || exit 1
# The board image's tools, here because its build starts in the background.
! wanted board || tw_ensure_packages build-essential dpkg-dev flex bison bc cpio xz-utils bzip2 \
    gcc-powerpc-linux-gnu linux-source-6.1 qemu-system-ppc || exit 1

results=$(mktemp -d /tmp/tw-test.XXXXXX) start=$(date +%s)
trap 'rm -rf "$results"' EXIT

# record NAME PASSED FAILED SECONDS [NOTE]: one part's outcome, for the summary.
record() { echo "$2 $3 $4 ${5:-}" >"$results/$1"; }

# build NAME DIR CMAKE_ARGS... : configures and builds; a failed build is one failure.
build() {
    local name=$1 dir=$2 t0=$SECONDS
    shift 2
    echo "== $name: build in $dir"
    TW_JOBS=$jobs tw_logged "$dir.build.log" tw_build "$dir" -- "$@" ||
        { record "$name" 0 1 $((SECONDS - t0)) "build failed"; return 1; }
    echo "== $name: built in $((SECONDS - t0)) s"
}

# run_suite NAME BUILD_DIR CTEST_ARGS... : runs ctest and records its counts.
run_suite() {
    local name=$1 dir=$2 log=$2/ctest.log t0=$SECONDS took re='([0-9]+) tests? failed out of ([0-9]+)'
    shift 2
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$test_jobs" "$@" >"$log" 2>&1
    took=$((SECONDS - t0))
    {
        echo "== $name: ctest $* ($took s)"
        grep -E "tests passed|\(Failed|\(Timeout|\(Not Run" "$log"
        # What the failed checks said (the whole log stays in the build folder).
        grep -E -A8 ": Failure$|WARNING: ThreadSanitizer|ERROR: AddressSanitizer|runtime error:" \
            "$log" | head -n 80
    } || true
    if [[ "$(grep -E "tests passed, $re" "$log" | tail -n 1)" =~ $re ]]; then
        record "$name" $((BASH_REMATCH[2] - BASH_REMATCH[1])) "${BASH_REMATCH[1]}" "$took"
    else
        record "$name" 0 1 "$took" "ctest did not finish"
    fi
}

run_extra() {
    local t0=$SECONDS p=0 f=1
    echo "== $1"
    bash "$root/scripts/test.d/$1.sh" "$root/build" && p=1 f=0
    record "$1" "$p" "$f" $((SECONDS - t0))
}

# A part's tests mostly wait on the daemon's cycle: they run while the next part builds.
for extra in "${extras[@]}"; do wanted "$extra" && extra_list+=("$extra"); done  # on the native build
if { wanted native || [[ ${#extra_list[@]} -gt 0 ]]; } &&
        build native "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
    ! wanted native || { run_suite native "$root/build" & runs+=($!); }
else
    extra_list=()
fi
if wanted asan && build asan "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DTRAPWATCH_SANITIZE=address; then
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite asan "$root/build-asan" & runs+=($!)
fi
if wanted tsan && build tsan "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAPWATCH_SANITIZE=thread; then
    # Worker threads are never joined by design; a pause at exit would hide how soon it ends.
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0:atexit_sleep_ms=0 \
        run_suite tsan "$root/build-tsan" -L '^(trapwatch|e2e|tools)$' & runs+=($!)
fi
if wanted ppc && build ppc "$root/build-ppc" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/powerpc-linux-gnu.cmake" -DTRAPWATCH_SANITIZE=trap; then
    run_suite ppc "$root/build-ppc" -LE e2e & runs+=($!)
fi
# The same tests on the static musl build (its sysroot cached by scripts/musl.sh).
if wanted ppc-musl && ! tw_logged "$root/build-musl.log" "$root/scripts/musl.sh" --sysroot-only --jobs "$jobs"; then
    record ppc-musl 0 1 0 "no musl sysroot"
elif wanted ppc-musl && build ppc-musl "$root/build-ppc-musl-test" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/powerpc-linux-musl.cmake" -DTRAPWATCH_SANITIZE=trap; then
    run_suite ppc-musl "$root/build-ppc-musl-test" -LE e2e & runs+=($!)
fi
# The board image builds (when not cached) while the other parts run; the
# board part comes last and waits for that build on the cache's lock.
if [[ " ${extra_list[*]} " == *" board "* ]]; then
    TW_BUILD_DIR=$root/build nice -n 10 "$root/scripts/board.sh" --build-only --no-install \
        >"$root/build-board-image.log" 2>&1 &
    mapfile -t extra_list < <(printf '%s\n' "${extra_list[@]}" | grep -vx board; echo board)
fi
# The extras load or measure the machine: one after another.
for extra in "${extra_list[@]}"; do run_extra "$extra"; done
((${#runs[@]} == 0)) || wait "${runs[@]}"
passed=0 failed=0
printf '\n== summary (%d s)\n' $(($(date +%s) - start))
for name in native asan tsan ppc ppc-musl "${extras[@]}"; do
    [[ -f "$results/$name" ]] && read -r p f s note <"$results/$name" || continue
    passed=$((passed + p)) failed=$((failed + f))
    printf '   %s: %d passed, %d failed (%d s)%s\n' "$name" "$p" "$f" "$s" "${note:+, $note}"
done
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
