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
# sysroot comes from scripts/musl.sh); everything that touches
# the daemon's paths or the network runs in scripts/sandbox.sh.  See
# docs/performance.md for what is measured and how.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"

# The lab: 88 receivers 192.0.2.(10 + r) for row r of the table (group r / 8,
# index r % 8), all behind one veth link (tw_rxnet_up, latency 0), group g's
# trap port 20162 + g.  The kinds alternate along the table so that every
# group holds all three (row 86 makes the counts 30 / 30 / 28):
#   answering (30): the address is held and trap-listener waits on the port
#   refusing  (30): the address is held, nothing listens: port unreachable
#   silent    (28): nobody holds the address: the echo request is dropped
lab_ns=twbench
lab_rows=88

lab_kind() {
    local r=$1
    if ((r % 3 == 0)); then
        echo answering
    elif ((r % 3 == 1 || r == 86)); then
        echo refusing
    else
        echo silent
    fi
}
lab_addr() { echo "192.0.2.$((10 + $1))"; }
# lab_addrs FROM TO SEP: the addresses of rows FROM..TO-1, separated by SEP.
lab_addrs() {
    local r out=()
    for ((r = $1; r < $2; r++)); do out+=("$(lab_addr "$r")"); done
    local IFS=$3
    echo "${out[*]}"
}
lab_port() { echo $((20162 + $1 / 8)); }

# ---------------------------------------------------------------------------
# Inside the sandbox: the lab and the measurements.  Writes raw lines
# "SUBJECT METRIC REPEAT VALUE" to the file given.
# ---------------------------------------------------------------------------
if [[ "${1:-}" == "--inner" ]]; then
    shift
    raw=$1 seconds=$2 repeat=$3 TW_BUILD_DIR=$4 musl_dir=$5
    [[ -e /run/tw-sandbox ]] || { echo "bench: not in the sandbox" >&2; exit 2; }
    # The programs of a run, each a command line: the native release build's,
    # or for the static musl build's allocation count the PowerPC ones under
    # qemu-ppc (the daemon's peers must speak its byte order).
    tw=("$TW_BUILD_DIR/trapwatch/trapwatch")
    twctl=("$TW_BUILD_DIR/tools/trapwatchctl")
    ctl=("$TW_BUILD_DIR/bench/bench-ctl")
    keelson=("$TW_BUILD_DIR/tools/keelson-sim")
    cycles=$(awk -v s="$seconds" 'BEGIN { printf "%.4f", s / 5 }')
    hz=$(getconf CLK_TCK)
    keelson_pid=
    daemon_pid=
    listener_pid=

    put() { echo "$1 $2 $3 $4" >>"$raw"; }
    note() { echo "bench: $*" >&2; }

    # Sum over the process's threads: CPU time (ns, schedstat), user and
    # system ticks (stat), voluntary and involuntary context switches.
    proc_counters() {
        local pid=$1 t cpu=0 ut=0 st=0 vcs=0 ivcs=0 a f
        for t in /proc/"$pid"/task/*; do
            read -r a _ <"$t/schedstat" || continue
            cpu=$((cpu + a))
            f=$(sed -E 's/^.*\) //' "$t/stat")
            # shellcheck disable=SC2086
            set -- $f
            ut=$((ut + ${12})) st=$((st + ${13}))
            a=$(awk '/^voluntary_ctxt_switches/ { v = $2 } /^nonvoluntary_ctxt_switches/ { n = $2 }
                     END { print v, n }' "$t/status")
            vcs=$((vcs + ${a% *})) ivcs=$((ivcs + ${a#* }))
        done
        echo "$cpu $ut $st $vcs $ivcs"
    }

    # RSS (VmRSS), Pss and private memory (Private_Clean + Private_Dirty,
    # smaps_rollup) in KiB.  Pss moves when other processes map or unmap the
    # same libraries, so growth is judged on RSS and private memory.
    memory() {
        local pid=$1 rss rest
        rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
        rest=$(awk '/^Pss:/ { pss = $2 } /^Private_(Clean|Dirty):/ { priv += $2 }
                    END { print pss, priv }' "/proc/$pid/smaps_rollup")
        echo "$rss $rest"
    }

    # window SUBJECT REPEAT PID: the memory after the first cycle, then the
    # counters over the window, with the system calls counted by perf (a
    # tracepoint counter: unlike strace it does not stop the process at each
    # call, so the CPU and context-switch figures of the same window stay true).
    window() {
        local who=$1 rep=$2 pid=$3 m0 m1 c0 c1 perf_out calls
        m0=$(memory "$pid")
        c0=$(proc_counters "$pid")
        perf_out=$(mktemp /run/twbench-perf.XXXXXX)
        timeout $((seconds + 20)) perf stat -x, -e raw_syscalls:sys_enter -p "$pid" -o "$perf_out" \
            -- sleep "$seconds" || true
        c1=$(proc_counters "$pid")
        m1=$(memory "$pid")
        calls=$(awk -F, '/raw_syscalls:sys_enter/ { print $1 }' "$perf_out")
        rm -f "$perf_out"
        [[ "$calls" =~ ^[0-9]+$ ]] || { note "perf gave no system call count"; calls=-1; }
        # shellcheck disable=SC2086
        set -- $c0 $c1 $m0 $m1
        put "$who" cpu_ms_per_cycle "$rep" "$(awk -v a="$1" -v b="$6" -v c="$cycles" \
            'BEGIN { printf "%.3f", (b - a) / 1e6 / c }')"
        put "$who" user_ms_per_cycle "$rep" "$(awk -v a="$2" -v b="$7" -v c="$cycles" -v hz="$hz" \
            'BEGIN { printf "%.2f", (b - a) * 1000 / hz / c }')"
        put "$who" sys_ms_per_cycle "$rep" "$(awk -v a="$3" -v b="$8" -v c="$cycles" -v hz="$hz" \
            'BEGIN { printf "%.2f", (b - a) * 1000 / hz / c }')"
        put "$who" vcsw_per_cycle "$rep" "$(awk -v a="$4" -v b="$9" -v c="$cycles" \
            'BEGIN { printf "%.1f", (b - a) / c }')"
        put "$who" ivcsw_per_cycle "$rep" "$(awk -v a="$5" -v b="${10}" -v c="$cycles" \
            'BEGIN { printf "%.1f", (b - a) / c }')"
        if ((calls >= 0)); then
            put "$who" syscalls_per_cycle "$rep" "$(awk -v n="$calls" -v c="$cycles" \
                'BEGIN { printf "%.1f", n / c }')"
        fi
        put "$who" rss_first_kib "$rep" "${11}"
        put "$who" pss_first_kib "$rep" "${12}"
        put "$who" private_first_kib "$rep" "${13}"
        put "$who" rss_end_kib "$rep" "${14}"
        put "$who" pss_end_kib "$rep" "${15}"
        put "$who" private_end_kib "$rep" "${16}"
    }

    # breakdown SUBJECT PID: which system calls, from strace -c over two
    # cycles (only the names and shares are kept: strace slows the process).
    breakdown() {
        local who=$1 pid=$2 out
        out=$(mktemp /run/twbench-strace.XXXXXX)
        timeout -s INT 10 strace -f -c -o "$out" -p "$pid" >/dev/null 2>&1 || true
        awk -v who="$who" '$1 ~ /^[0-9.]+$/ && $4 ~ /^[0-9]+$/ && $NF != "total" {
                printf "%s strace_%s 1 %.1f\n", who, $NF, $4 / 2 }' "$out" >>"$raw"
        rm -f "$out"
    }

    # lab_up: the receivers' network, their trap listeners and the
    # configuration file for the 11 groups of 8.
    lab_up() {
        local r held=() silent=() endpoints=() groups=() g
        for ((r = 0; r < lab_rows; r++)); do
            case $(lab_kind "$r") in
                answering)
                    held+=("$(lab_addr "$r")")
                    endpoints+=("$(lab_addr "$r"):$(lab_port "$r")")
                    ;;
                refusing) held+=("$(lab_addr "$r")") ;;
                silent) silent+=("$(lab_addr "$r")") ;;
            esac
        done
        tw_rxnet_up "$lab_ns" 0 "${held[@]}" -- "${silent[@]}" ||
            { note "no receivers' network"; return 1; }
        ip netns exec "$lab_ns" "$TW_BUILD_DIR/tools/lab/trap-listener" "${endpoints[@]}" \
            >/run/twbench-listener.log 2>&1 &
        listener_pid=$!
        tw_wait_for 50 grep -q '^trap-listener: listening' /run/twbench-listener.log ||
            { note "the trap listeners did not start"; return 1; }
        for ((g = 0; g < 11; g++)); do
            groups+=("$(lab_port $((g * 8))):$(lab_addrs $((g * 8)) $((g * 8 + 8)) ,)")
        done
        tw_config 192.0.2.1 "${groups[@]}" >/mnt/params/cfparams.txt
    }

    lab_down() {
        [[ -z "$listener_pid" ]] || tw_stop "$listener_pid" || true
        listener_pid=
        tw_rxnet_down "$lab_ns"
    }

    keelson_up() {
        "${keelson[@]}" >/run/twbench-keelson.log 2>&1 &
        keelson_pid=$!
        tw_wait_for 50 test -S /var/run/keelson.sock ||
            { note "the controller stand-in did not start"; return 1; }
    }

    keelson_down() {
        [[ -z "$keelson_pid" ]] || tw_stop "$keelson_pid" || note "keelson-sim did not stop; killed"
        keelson_pid=
    }

    # daemon_up [ENV...]: starts trapwatch (through env with the given
    # variables), waits until it serves and announces the controller, as the
    # appliance's controller daemon does when it runs.
    daemon_up() {
        rm -f /var/run/trapwatch.sock
        env "$@" "${tw[@]}" || { note "trapwatch did not start"; return 1; }
        tw_wait_for 100 "${twctl[@]}" --timeout 2 version >/dev/null 2>&1 ||
            { note "trapwatch does not answer"; return 1; }
        daemon_pid=$("${twctl[@]}" pid 2>/dev/null || true)
        [[ -n "$daemon_pid" ]] || { note "no process holds the lock"; return 1; }
        "${twctl[@]}" keelson-start >/dev/null
    }

    # matrix_codes: the published matrix's code of every row, one a line.
    matrix_codes() {
        local hex i
        hex=$("${twctl[@]}" --timeout 2 status --raw | tail -n 1) || return 1
        hex=${hex// /}
        for ((i = 0; i < 2 * lab_rows; i += 2)); do echo $((16#${hex:i:2})); done
    }

    evaluated() { matrix_codes 2>/dev/null | grep -q '^2$'; }

    # Waits (bounded) for the first evaluation, and for the refresh sequence
    # that its status changes start (two seconds and four controller records).
    first_cycle() {
        tw_wait_for 200 evaluated || { note "no evaluation within 20 s"; return 1; }
        sleep 3
    }

    daemon_down() {
        [[ -n "$daemon_pid" ]] || return 0
        "${twctl[@]}" terminate >/dev/null 2>&1 || true
        tw_stop "$daemon_pid" - 100 || note "trapwatch did not stop; killed $daemon_pid"
        daemon_pid=
    }

    check_matrix() {
        local who=$1 rep=$2 codes c
        codes=$(matrix_codes) || return 1
        for c in 2 1 0; do
            put "$who" "matrix_code$c" "$rep" "$(grep -c "^$c\$" <<<"$codes" || true)"
        done
    }

    run_trapwatch() {
        local rep=$1 out c0 c1
        note "repeat $rep: trapwatch, $seconds s"
        keelson_up
        daemon_up
        first_cycle
        window trapwatch "$rep" "$daemon_pid"
        check_matrix trapwatch "$rep"
        ((rep == 1)) && breakdown trapwatch "$daemon_pid"
        c0=$(proc_counters "$daemon_pid")
        out=$(timeout 30 "${ctl[@]}" rtt 5) || note "round trips: some failed"
        c1=$(proc_counters "$daemon_pid")
        # The CPU that one round trip costs the daemon and the client: what the
        # rate would be if neither ever waited for a processor.
        put control rtt_daemon_cpu_us "$rep" "$(awk -v a="${c0%% *}" -v b="${c1%% *}" \
            -v n="$(sed -n 's/^rtt_count=//p' <<<"$out")" 'BEGIN { printf "%.2f", (b - a) / 1000 / n }')"
        put control rtt_client_cpu_us "$rep" "$(sed -n 's/^rtt_client_cpu_us=//p' <<<"$out")"
        put control rtt_per_s "$rep" "$(sed -n 's/^rtt_per_s=//p' <<<"$out")"
        put control rtt_p50_us "$rep" "$(sed -n 's/^rtt_p50_us=//p' <<<"$out")"
        put control rtt_p99_us "$rep" "$(sed -n 's/^rtt_p99_us=//p' <<<"$out")"
        daemon_down
        keelson_down
    }

    run_fping() {
        local rep=$1 pid alive
        note "repeat $rep: fping -l, $seconds s"
        # In loop mode fping prints a line per target and period even with
        # -q; those go to /dev/null (its own cost, one write each, stays in
        # the figures), the summary on standard error to the log.
        # shellcheck disable=SC2046
        fping -l -q -p 5000 $(lab_addrs 0 "$lab_rows" ' ') >/dev/null 2>/run/twbench-fping.log &
        pid=$!
        sleep 5.5  # its first cycle
        window fping "$rep" "$pid"
        ((rep == 1)) && breakdown fping "$pid"
        tw_stop "$pid" INT 100 || note "fping did not stop; killed"
        # Its summary: hosts that answered every echo request.
        alive=$(grep -c ' = [0-9]*/[0-9]*/0%' /run/twbench-fping.log || true)
        put fping hosts_answering "$rep" "$alive"
    }

    # run_alloc SUBJECT ENV...: one more daemon, with the allocation counter
    # (given by ENV, or linked in): counts from the moment its control socket
    # listens, over the cycles of one window, then 1000 control commands, then
    # a burst of GET_STATUS round trips.
    run_alloc() {
        local who=$1 file=/run/twbench-alloc.bin out
        shift
        note "allocations ($who): $seconds s of cycles, 1000 commands, 2 s of round trips"
        head -c 4096 /dev/zero >"$file"
        keelson_up
        daemon_up "$@" "TW_BENCH_ALLOC_FILE=$file"
        sleep "$seconds"
        # The same lab, so the same matrix whatever the build.
        check_matrix "$who" 1
        out=$("${ctl[@]}" alloc-report "$file")
        put "$who" after_cycles 1 "$(sed -n 's/^alloc_total=//p' <<<"$out")"
        "${ctl[@]}" mix 1000 >/dev/null || note "some of the 1000 commands failed"
        put "$who" after_commands 1 "$("${ctl[@]}" alloc-report "$file" | sed -n 's/^alloc_total=//p')"
        timeout 30 "${ctl[@]}" rtt 2 >/dev/null || note "round trips: some failed"
        out=$("${ctl[@]}" alloc-report "$file")
        put "$who" after_round_trips 1 "$(sed -n 's/^alloc_total=//p' <<<"$out")"
        if [[ "$(sed -n 's/^alloc_pid=//p' <<<"$out")" != "$daemon_pid" ]]; then
            note "the allocation counter did not start in the daemon"
            put "$who" counter_started 1 0
        else
            put "$who" counter_started 1 1
        fi
        # Where the allocations came from, if any.
        grep '^#' <<<"$out" >&2 || true
        daemon_down
        keelson_down
        put "$who" controller_records 1 "$(grep -c ' cmd=' /run/twbench-keelson.log || true)"
    }

    trap 'daemon_down; keelson_down; lab_down' EXIT
    lab_up
    for ((rep = 1; rep <= repeat; rep++)); do
        put host syscall_ns "$rep" "$("${ctl[@]}" syscall-cost | sed -n 's/^syscall_ns=//p')"
        run_trapwatch "$rep"
        run_fping "$rep"
    done
    run_alloc alloc "LD_PRELOAD=$TW_BUILD_DIR/bench/liballoc_count.so"
    # The static musl build: its counting variant and its peers, under qemu-ppc.
    tw=(qemu-ppc "$musl_dir/bench/trapwatch-alloc")
    twctl=(qemu-ppc "$musl_dir/tools/trapwatchctl")
    ctl=(qemu-ppc "$musl_dir/bench/bench-ctl")
    keelson=(qemu-ppc "$musl_dir/tools/keelson-sim")
    run_alloc alloc_musl
    exit 0
fi

# ---------------------------------------------------------------------------
# Outside: builds, sizes, the sandboxed run, the table and the JSON.
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
        -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
        *) echo "bench.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ "$seconds" =~ ^[0-9]+$ && "$seconds" -ge 5 ]] || { echo "bench.sh: --seconds wants 5 or more" >&2; exit 2; }
[[ "$repeat" =~ ^[0-9]+$ && "$repeat" -ge 1 ]] || { echo "bench.sh: --repeat wants 1 or more" >&2; exit 2; }
[[ $EUID -eq 0 ]] || { echo "bench.sh: run as root (the lab uses namespaces)" >&2; exit 2; }

tw_ensure_packages g++ cmake make g++-powerpc-linux-gnu binutils-powerpc-linux-gnu qemu-user iproute2 \
    util-linux fping strace linux-perf || exit 1

release=$root/build-bench-release
static=$root/build-bench-static
ppc=$root/build-bench-ppc
ppc_static=$root/build-bench-ppc-static
ppc_musl=$root/build-bench-ppc-musl
toolchain=$root/cmake/powerpc-linux-gnu.cmake

# build DIR TARGET... -- CMAKE_ARGS...: a release build without the tests, its
# output in DIR.build.log.
build() {
    local dir=$1
    shift
    TW_JOBS=$jobs tw_build "$dir" "$@" -DCMAKE_BUILD_TYPE=Release -DTRAPWATCH_TESTS=OFF \
        >"$dir.build.log" 2>&1 || { grep -E "error|Error" "$dir.build.log" | head -n 40; return 1; }
}

if ((do_build)); then
    echo "bench: building (release with the bench's helpers, static, PowerPC dynamic, static and musl)" >&2
    build "$release" trapwatch trapwatchctl keelson-sim trap-listener bench-ctl alloc_count \
        -- -DTRAPWATCH_BENCH=ON
    build "$static" trapwatch -- -DCMAKE_EXE_LINKER_FLAGS=-static
    build "$ppc" trapwatch -- -DCMAKE_TOOLCHAIN_FILE="$toolchain"
    build "$ppc_static" trapwatch -- -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_EXE_LINKER_FLAGS=-static
    "$root/scripts/musl.sh" --sysroot-only --jobs "$jobs" >"$ppc_musl.sysroot.log" 2>&1 ||
        { tail -n 20 "$ppc_musl.sysroot.log"; exit 1; }
    build "$ppc_musl" trapwatch trapwatchctl keelson-sim bench-ctl trapwatch-alloc \
        -- -DCMAKE_TOOLCHAIN_FILE="$root/cmake/powerpc-linux-musl.cmake" -DTRAPWATCH_BENCH=ON
fi

work=$(mktemp -d /tmp/twbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
raw=$work/raw.txt
: >"$raw"

# Stripped sizes in bytes.
stripped_size() {
    local strip=$1 bin=$2 name=$3
    if [[ -x "$bin" ]]; then
        "$strip" -o "$work/$name" "$bin"
        echo "size $name 1 $(stat -c %s "$work/$name")" >>"$raw"
    fi
}
stripped_size strip "$release/trapwatch/trapwatch" native_dynamic
stripped_size strip "$static/trapwatch/trapwatch" native_static
stripped_size powerpc-linux-gnu-strip "$ppc/trapwatch/trapwatch" ppc_dynamic
stripped_size powerpc-linux-gnu-strip "$ppc_static/trapwatch/trapwatch" ppc_static
stripped_size powerpc-linux-gnu-strip "$ppc_musl/trapwatch/trapwatch" ppc_musl
stripped_size powerpc-linux-gnu-strip "$ppc_musl/tools/trapwatchctl" ppc_musl_trapwatchctl
stripped_size powerpc-linux-gnu-strip "$ppc_musl/tools/keelson-sim" ppc_musl_keelson_sim

echo "bench: measuring: $repeat x ($seconds s trapwatch + $seconds s fping), then allocations" >&2
"$root/scripts/sandbox.sh" bash "$root/scripts/bench.sh" --inner "$raw" "$seconds" "$repeat" \
    "$release" "$ppc_musl"

mkdir -p "$(dirname "$out")"
awk -v seconds="$seconds" -v repeat="$repeat" -v json="$out" \
    -v when="$(date -u +%Y-%m-%dT%H:%M:%SZ)" -v host="$(uname -srm)" \
    -v cpus="$(nproc)" -v fping_version="$(fping -v 2>&1 | head -n 1)" \
    -v commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)" \
    -f "$root/bench/report.awk" "$raw"
