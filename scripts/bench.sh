#!/usr/bin/env bash
# Side-by-side benchmark of trapwatch and fping's loop mode over the same 88
# receivers (30 answering, 30 refusing the trap port, 28 silent), plus the
# control socket's round trips, the heap allocations after start-up and the
# binary sizes.  Prints one table and writes bench/results/latest.json.
#
#   scripts/bench.sh [--seconds N] [--repeat N] [--out FILE] [--jobs N] [--no-build]
#
#   --seconds N   measuring window per prober and repeat (default 60 = 12 cycles)
#   --repeat N    repeats of the two windows; figures are min / median / max (default 3)
#   --out FILE    the JSON (default bench/results/latest.json)
#   --jobs N      build jobs (default 2)
#   --no-build    use the build directories as they are
#
# Needs root and Debian.  Builds in build-bench-{release,static,ppc,ppc-static,ppc-musl}
# (release and musl with the bench's helpers); runs in scripts/sandbox.sh.  The plan,
# statistics and report are bench/stats.cpp's; docs/performance.md tells what is measured.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"

# Inside the sandbox: the lab, the starts and stops; bench-stats runs each step between.
if [[ "${1:-}" == "--inner" ]]; then
    raw=$2 seconds=$3 repeat=$4 TW_BUILD_DIR=$5 dir=$5 run=()
    [[ -e /run/tw-sandbox ]] || { echo "bench: not in the sandbox" >&2; exit 2; }
    export TW_BENCH_ALLOC_FILE=/run/twbench-alloc.bin
    note() { echo "bench: $*" >&2; }
    stats() { "$TW_BUILD_DIR/bench/bench-stats" "$@" "$seconds" "$dir" "${run[@]}" >>"$raw"; }
    up() {
        tw_keelson_up /run/twbench-keelson.log "${run[@]}" "$dir/tools/keelson-sim" || { note "keelson-sim did not start"; return 1; }
        tw_daemon_up "$@" || { note "trapwatch did not start or does not answer"; return 1; }
    }
    down() { tw_daemon_down; tw_keelson_down; }
    trap 'down; [[ -z "${tw_listener:-}" ]] || tw_stop "$tw_listener" || true; tw_rxnet_down twbench' EXIT
    { read -ra held; read -ra silent; read -ra endpoints; read -ra groups; read -ra addrs; } < <("$TW_BUILD_DIR/bench/bench-stats" lab)
    tw_rxnet_up twbench 0 "${held[@]}" -- "${silent[@]}" || { note "no receivers' network"; exit 1; }
    tw_listener_up twbench /run/twbench-listener.log "${endpoints[@]}" || { note "the trap listeners did not start"; exit 1; }
    tw_config 192.0.2.1 "${groups[@]}" >/mnt/params/cfparams.txt
    for ((rep = 1; rep <= repeat; rep++)); do
        up "$dir/trapwatch/trapwatch"
        stats trapwatch "$rep" "$tw_daemon"
        down
        # A line per target and period even with -q (its cost is fping's), then the summary.
        fping -l -q -p 5000 "${addrs[@]}" >/dev/null 2>/run/twbench-fping.log &
        stats fping "$rep" $!
        tw_stop $! INT 100 || note "fping did not stop; killed"
        echo "fping hosts_answering $rep $(grep -c ' = [0-9]*/[0-9]*/0%' /run/twbench-fping.log || true)" >>"$raw"
    done
    # One more daemon per build, counting allocations: preloaded, or linked into the musl build.
    alloc() {
        head -c 4096 /dev/zero >"$TW_BENCH_ALLOC_FILE"
        up "${@:2}"
        stats "$1" 1 "$tw_daemon"
        down
        echo "$1 controller_records 1 $(grep -c ' cmd=' /run/twbench-keelson.log || true)" >>"$raw"
    }
    alloc alloc env "LD_PRELOAD=$dir/bench/liballoc_count.so" "$dir/trapwatch/trapwatch"
    dir=$6 run=(qemu-ppc) tw_ctl_cmd=(qemu-ppc "$6/tools/trapwatchctl")
    alloc alloc_musl qemu-ppc "$dir/bench/trapwatch-alloc"
    exit 0
fi

seconds=60 repeat=3 out=$root/bench/results/latest.json jobs=2 do_build=1
while [[ $# -gt 0 ]]; do
    case "$1" in
        --seconds | --repeat | --out | --jobs) printf -v "${1#--}" %s "$2"; shift 2 ;;
        --no-build) do_build=0; shift ;;
        -h|--help) tw_usage; exit 0 ;;
        *) echo "bench.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ "$seconds" =~ ^[0-9]+$ && "$seconds" -ge 5 ]] || { echo "bench.sh: --seconds wants 5 or more" >&2; exit 2; }
[[ "$repeat" =~ ^[0-9]+$ && "$repeat" -ge 1 ]] || { echo "bench.sh: --repeat wants 1 or more" >&2; exit 2; }
tw_need_root "the lab uses namespaces"
tw_ensure_packages g++ cmake make g++-powerpc-linux-gnu binutils-powerpc-linux-gnu qemu-user iproute2 \
    util-linux fping strace linux-perf || exit 1

b=$root/build-bench gnu=-DCMAKE_TOOLCHAIN_FILE=$root/cmake/powerpc-linux-gnu.cmake
# build DIR TARGET... -- CMAKE_ARGS...: a release build without the tests, its output in DIR.build.log.
build() { TW_JOBS=$jobs tw_logged "$1.build.log" tw_build "$@" -DCMAKE_BUILD_TYPE=Release -DTRAPWATCH_TESTS=OFF; }
if ((do_build)); then
    echo "bench: building (release with the bench's helpers, static, PowerPC dynamic, static and musl)" >&2
    build "$b-release" trapwatch trapwatchctl keelson-sim trap-listener bench-ctl bench-stats alloc_count \
        -- -DTRAPWATCH_BENCH=ON
    build "$b-static" trapwatch -- -DCMAKE_EXE_LINKER_FLAGS=-static
    build "$b-ppc" trapwatch -- "$gnu"
    build "$b-ppc-static" trapwatch -- "$gnu" -DCMAKE_EXE_LINKER_FLAGS=-static
    tw_logged "$b-ppc-musl.sysroot.log" "$root/scripts/musl.sh" --sysroot-only --jobs "$jobs"
    build "$b-ppc-musl" trapwatch trapwatchctl keelson-sim bench-ctl trapwatch-alloc \
        -- -DCMAKE_TOOLCHAIN_FILE="$root/cmake/powerpc-linux-musl.cmake" -DTRAPWATCH_BENCH=ON
fi

raw=$(mktemp /tmp/twbench.XXXXXX)
trap 'rm -f "$raw"' EXIT
echo "bench: measuring: $repeat x ($seconds s trapwatch + $seconds s fping), then allocations" >&2
"$root/scripts/sandbox.sh" bash "$root/scripts/bench.sh" --inner "$raw" "$seconds" "$repeat" "$b-release" "$b-ppc-musl"
"$b-release/bench/bench-stats" report "$raw" "$out" "$seconds" "$repeat" "$b" "$root"
