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
# Needs root and Debian (fping, strace, perf, the PowerPC cross compiler).
# Builds in build-bench-{release,static,ppc,ppc-static,ppc-musl} (the release
# and musl ones with the bench's own helpers, -DTRAPWATCH_BENCH=ON; the musl
# sysroot comes from scripts/musl.sh); everything that touches the daemon's
# paths or the network runs in scripts/sandbox.sh.  The measuring, the
# statistics and the report are bench/stats.cpp's.  See docs/performance.md
# for what is measured and how.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"

# ---------------------------------------------------------------------------
# Inside the sandbox: the lab, the programs' starts and stops, and the
# measurements, whose raw lines "SUBJECT METRIC REPEAT VALUE" go to the file
# given.
# ---------------------------------------------------------------------------
if [[ "${1:-}" == "--inner" ]]; then
    raw=$2 seconds=$3 repeat=$4 TW_BUILD_DIR=$5 musl_dir=$6
    [[ -e /run/tw-sandbox ]] || { echo "bench: not in the sandbox" >&2; exit 2; }
    stats=$TW_BUILD_DIR/bench/bench-stats
    # The programs of a run, each a command line: the native release build's,
    # or for the static musl build's allocation count the PowerPC ones under
    # qemu-ppc (the daemon's peers must speak its byte order).
    tw=("$TW_BUILD_DIR/trapwatch/trapwatch")
    ctl=("$TW_BUILD_DIR/bench/bench-ctl")
    keelson=("$TW_BUILD_DIR/tools/keelson-sim")
    note() { echo "bench: $*" >&2; }

    # The lab: 88 receivers 192.0.2.(10 + r) for row r of the table (group
    # r / 8, index r % 8), all behind one veth link (tw_rxnet_up, latency 0),
    # group g's trap port 20162 + g.  The kinds alternate along the table so
    # that every group holds all three (row 86 makes the counts 30 / 30 / 28):
    #   answering (30): the address is held and trap-listener waits on the port
    #   refusing  (30): the address is held, nothing listens: port unreachable
    #   silent    (28): nobody holds the address: the echo request is dropped
    addrs=()
    lab_up() {
        local r a held=() silent=() endpoints=() groups=()
        for ((r = 0; r < 88; r++)); do
            a=192.0.2.$((10 + r)) addrs+=("$a")
            groups[r / 8]=${groups[r / 8]:-$((20162 + r / 8)):}${groups[r / 8]:+,}$a
            if ((r % 3 == 0)); then
                held+=("$a") endpoints+=("$a:$((20162 + r / 8))")
            elif ((r % 3 == 1 || r == 86)); then
                held+=("$a")
            else
                silent+=("$a")
            fi
        done
        tw_rxnet_up twbench 0 "${held[@]}" -- "${silent[@]}" || { note "no receivers' network"; return 1; }
        tw_listener_up twbench /run/twbench-listener.log "${endpoints[@]}" ||
            { note "the trap listeners did not start"; return 1; }
        tw_config 192.0.2.1 "${groups[@]}" >/mnt/params/cfparams.txt
    }

    # The daemon and its controller, as the appliance starts them.
    up() {
        tw_keelson_up /run/twbench-keelson.log "${keelson[@]}" || { note "keelson-sim did not start"; return 1; }
        tw_daemon_up "$@" || { note "trapwatch did not start or does not answer"; return 1; }
    }
    down() {
        tw_daemon_down
        tw_keelson_down
    }

    matrix() { tw_ctl --timeout 2 status --raw 2>/dev/null | "$stats" matrix "$@"; }
    evaluated() { [[ "$(matrix - 0)" == *"matrix_code2 0 "[1-9]* ]]; }

    run_trapwatch() {
        local rep=$1
        note "repeat $rep: trapwatch, $seconds s"
        up "${tw[@]}"
        # The first evaluation, and the refresh sequence that its status
        # changes start (two seconds and four controller records).
        tw_wait_for 200 evaluated || { note "no evaluation within 20 s"; return 1; }
        sleep 3
        "$stats" window trapwatch "$rep" "$tw_daemon" "$seconds" >>"$raw"
        matrix trapwatch "$rep" >>"$raw"
        if ((rep == 1)); then "$stats" breakdown trapwatch "$tw_daemon" >>"$raw"; fi
        "$stats" rtt "$rep" "$tw_daemon" timeout 30 "${ctl[@]}" rtt 5 >>"$raw"
        down
    }

    run_fping() {
        local rep=$1 pid
        note "repeat $rep: fping -l, $seconds s"
        # In loop mode fping prints a line per target and period even with
        # -q; those go to /dev/null (its own cost, one write each, stays in
        # the figures), the summary on standard error to the log.
        fping -l -q -p 5000 "${addrs[@]}" >/dev/null 2>/run/twbench-fping.log &
        pid=$!
        sleep 5.5  # its first cycle
        "$stats" window fping "$rep" "$pid" "$seconds" >>"$raw"
        if ((rep == 1)); then "$stats" breakdown fping "$pid" >>"$raw"; fi
        tw_stop "$pid" INT 100 || note "fping did not stop; killed"
        # Its summary: hosts that answered every echo request.
        echo "fping hosts_answering $rep $(grep -c ' = [0-9]*/[0-9]*/0%' /run/twbench-fping.log || true)" >>"$raw"
    }

    # alloc_count SUBJECT STAGE FILE: the count so far; at the last stage,
    # whether it counted in the daemon, and where its allocations came from.
    alloc_count() {
        local out
        out=$("${ctl[@]}" alloc-report "$3")
        echo "$1 $2 1 $(sed -n 's/^alloc_total=//p' <<<"$out")" >>"$raw"
        [[ $2 == after_round_trips ]] || return 0
        local started=1
        [[ "$(sed -n 's/^alloc_pid=//p' <<<"$out")" == "$tw_daemon" ]] ||
            { started=0; note "the allocation counter did not start in the daemon"; }
        echo "$1 counter_started 1 $started" >>"$raw"
        grep '^#' <<<"$out" >&2 || true
    }

    # run_alloc SUBJECT ENV...: one more daemon, with the allocation counter
    # (given by ENV, or linked in): counts from the moment its control socket
    # listens, over the cycles of one window, then 1000 control commands, then
    # a burst of GET_STATUS round trips.
    run_alloc() {
        local who=$1 file=/run/twbench-alloc.bin
        shift
        note "allocations ($who): $seconds s of cycles, 1000 commands, 2 s of round trips"
        head -c 4096 /dev/zero >"$file"
        up env "$@" "TW_BENCH_ALLOC_FILE=$file" "${tw[@]}"
        sleep "$seconds"
        # The same lab, so the same matrix whatever the build.
        matrix "$who" 1 >>"$raw"
        alloc_count "$who" after_cycles "$file"
        "${ctl[@]}" mix 1000 >/dev/null || note "some of the 1000 commands failed"
        alloc_count "$who" after_commands "$file"
        timeout 30 "${ctl[@]}" rtt 2 >/dev/null || note "round trips: some failed"
        alloc_count "$who" after_round_trips "$file"
        down
        echo "$who controller_records 1 $(grep -c ' cmd=' /run/twbench-keelson.log || true)" >>"$raw"
    }

    trap 'down; [[ -z "${tw_listener:-}" ]] || tw_stop "$tw_listener" || true; tw_rxnet_down twbench' EXIT
    lab_up
    for ((rep = 1; rep <= repeat; rep++)); do
        echo "host syscall_ns $rep $("${ctl[@]}" syscall-cost | sed -n 's/^syscall_ns=//p')" >>"$raw"
        run_trapwatch "$rep"
        run_fping "$rep"
    done
    run_alloc alloc "LD_PRELOAD=$TW_BUILD_DIR/bench/liballoc_count.so"
    # The static musl build: its counting variant and its peers, under qemu-ppc.
    tw=(qemu-ppc "$musl_dir/bench/trapwatch-alloc")
    tw_ctl_cmd=(qemu-ppc "$musl_dir/tools/trapwatchctl")
    ctl=(qemu-ppc "$musl_dir/bench/bench-ctl")
    keelson=(qemu-ppc "$musl_dir/tools/keelson-sim")
    run_alloc alloc_musl
    exit 0
fi

# ---------------------------------------------------------------------------
# Outside: builds, sizes, the sandboxed run, the report.
# ---------------------------------------------------------------------------
seconds=60
repeat=3
out="$root/bench/results/latest.json"
jobs=2
do_build=1
while [[ $# -gt 0 ]]; do
    case "$1" in
        --seconds) seconds=$2; shift 2 ;;
        --repeat) repeat=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
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

b=$root/build-bench
gnu=-DCMAKE_TOOLCHAIN_FILE=$root/cmake/powerpc-linux-gnu.cmake
# build DIR TARGET... -- CMAKE_ARGS...: a release build without the tests, its
# output in DIR.build.log.
build() {
    TW_JOBS=$jobs tw_logged "$1.build.log" tw_build "$@" -DCMAKE_BUILD_TYPE=Release -DTRAPWATCH_TESTS=OFF
}
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

work=$(mktemp -d /tmp/twbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
raw=$work/raw.txt
: >"$raw"

# Stripped sizes in bytes.
while read -r strip dir bin name; do
    [[ -x "$b-$dir/$bin" ]] || continue
    "$strip" -o "$work/$name" "$b-$dir/$bin"
    echo "size $name 1 $(stat -c %s "$work/$name")" >>"$raw"
done <<EOF
strip release trapwatch/trapwatch native_dynamic
strip static trapwatch/trapwatch native_static
powerpc-linux-gnu-strip ppc trapwatch/trapwatch ppc_dynamic
powerpc-linux-gnu-strip ppc-static trapwatch/trapwatch ppc_static
powerpc-linux-gnu-strip ppc-musl trapwatch/trapwatch ppc_musl
powerpc-linux-gnu-strip ppc-musl tools/trapwatchctl ppc_musl_trapwatchctl
powerpc-linux-gnu-strip ppc-musl tools/keelson-sim ppc_musl_keelson_sim
EOF

echo "bench: measuring: $repeat x ($seconds s trapwatch + $seconds s fping), then allocations" >&2
"$root/scripts/sandbox.sh" bash "$root/scripts/bench.sh" --inner "$raw" "$seconds" "$repeat" \
    "$b-release" "$b-ppc-musl"

mkdir -p "$(dirname "$out")"
"$b-release/bench/bench-stats" report "$raw" "$out" "$seconds" "$repeat" "$(fping -v 2>&1 | head -n 1)" \
    "$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
