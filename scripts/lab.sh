#!/usr/bin/env bash
# The trapwatch lab: the daemon watching simulated trap receivers behind a
# virtual link, its status matrix shown every five seconds beside what the
# controller stand-in saw.
#
#   scripts/lab.sh [--cycles N] [--trace] [--flap A,B] [--latency MS]
#                  [--build-dir DIR] [--no-install] [--no-build]
#
# As root on a Debian machine: installs what is missing (compiler, cmake,
# GoogleTest, iproute2), builds into build/ (or DIR), then runs the lab inside
# scripts/sandbox.sh.  Runs until Ctrl-C, or N frames with --cycles.
#   --trace      switch the console trace on and show its new lines per frame
#   --flap A,B   the flapping receiver goes away after frame A and comes back
#                after frame B (default 4,10)
#   --latency MS one-way delay of the link (default 3): two TUN devices joined
#                by tools/lab/netrelay; 0 gives a plain veth pair, whose
#                zero latency no real network has
# Everything the lab makes (namespaces, link, processes, mounts) is gone
# when it ends, also after Ctrl-C or a failure.
set -euo pipefail
# The whole script is one block, read before it runs: editing the file
# during a run cannot change what the running lab does.
{

here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
# shellcheck source=scripts/lib.sh
source "$here/lib.sh"

cycles=0
trace=0
flap="4,10"
latency=3
build_dir="$tw_root/build"
install=1
build=1
inner=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --inner) inner=1 ;;
        --cycles) cycles=${2:?--cycles needs a number}; shift ;;
        --trace) trace=1 ;;
        --flap) flap=${2:?--flap needs A,B}; shift ;;
        --latency) latency=${2:?--latency needs milliseconds}; shift ;;
        --build-dir) build_dir=${2:?--build-dir needs a directory}; shift ;;
        --no-install) install=0 ;;
        --no-build) build=0 ;;
        -h | --help) tw_usage; exit 0 ;;
        *) echo "lab: unknown option: $1" >&2; tw_usage >&2; exit 2 ;;
    esac
    shift
done
[[ "$cycles" =~ ^[0-9]+$ ]] || { echo "lab: --cycles needs a number" >&2; exit 2; }
[[ "$latency" =~ ^[0-9]+$ ]] || { echo "lab: --latency needs milliseconds" >&2; exit 2; }
[[ "$flap" =~ ^([0-9]+),([0-9]+)$ ]] || { echo "lab: --flap needs A,B" >&2; exit 2; }
flap_off=${BASH_REMATCH[1]}
flap_on=${BASH_REMATCH[2]}
build_dir=$(readlink -m "$build_dir")
TW_BUILD_DIR=$build_dir

netns=twlab-rx
mgmt_if=$netns-m  # the links tw_rxnet_up makes
rx_if=$netns-r

# ---------------------------------------------------------------- outside ---
if [[ $inner -eq 0 ]]; then
    tw_need_root "namespaces, raw sockets"

    if [[ $install -eq 1 ]]; then
        tw_ensure_packages build-essential cmake libgtest-dev libgmock-dev iproute2 ||
            { echo "lab: package install failed" >&2; exit 1; }
    fi

    if [[ $build -eq 1 ]]; then
        echo "lab: building in $build_dir"
        mkdir -p "$build_dir"
        tw_logged "$build_dir/lab-build.log" tw_build "$build_dir" trapwatch trapwatchctl keelson-sim \
            trap-listener netrelay || exit 1
    fi
    for p in trapwatch/trapwatch tools/trapwatchctl tools/keelson-sim tools/lab/trap-listener \
        tools/lab/netrelay; do
        [[ -x "$build_dir/$p" ]] || { echo "lab: $build_dir/$p is missing (build it, or drop --no-build)" >&2; exit 2; }
    done

    # Ctrl-C reaches the lab inside the sandbox too; this side only waits for
    # it to clean up.  Whatever the lab made lives in the sandbox's
    # namespaces, which end with it; the lab checks before it ends that it
    # removed it all.
    trap 'interrupted=1' INT TERM
    args=(--inner --cycles "$cycles" --flap "$flap" --latency "$latency" --build-dir "$build_dir")
    [[ $trace -eq 1 ]] && args+=(--trace)
    rc=0
    "$here/sandbox.sh" bash "$here/lab.sh" "${args[@]}" || rc=$?
    [[ ${interrupted:-0} -eq 1 && $rc -eq 130 ]] && rc=0
    exit "$rc"
fi

# ----------------------------------------------------------- in the sandbox ---
state=/run/twlab
mkdir -p "$state"

mgmt=192.0.2.1           # tw_rxnet_up's management address
rx_up=192.0.2.10         # listener on its trap port: 2
rx_refused=192.0.2.11    # answers echo, no listener: port unreachable, 1
rx_silent=192.0.2.12     # nobody holds it: 0
rx_flap=192.0.2.13       # listener; its address goes away and comes back
rx_second=192.0.2.20     # listener, group c2
port=162
port_other=10162         # c3's trap port; nobody listens there

# Processes that were here before the lab: the sandbox's own.
declare -A before=()
for p in /proc/[0-9]*; do before[${p#/proc/}]=1; done

ctl() { tw_ctl --timeout 3 "$@"; }

# Processes the lab started that still run, into "stray"; true when none.
no_strays() {
    local p
    stray=()
    for p in /proc/[0-9]*; do
        p=${p#/proc/}
        [[ -n "${before[$p]:-}" || "$p" == "$$" || "$p" == "$BASHPID" ]] && continue
        [[ -r /proc/$p/cmdline ]] || continue
        stray+=("$p:$(tr '\0' ' ' </proc/$p/cmdline 2>/dev/null)")
    done
    ((${#stray[@]} == 0))
}

cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    set +e
    tw_daemon=${tw_daemon:-$(tw_daemon_pid)}
    tw_daemon_down
    tw_keelson_down
    [[ -z "${tw_listener:-}" ]] || tw_stop "$tw_listener"
    tw_rxnet_down "$netns"
    [[ -s "/run/$netns.relay.log" ]] && grep '^netrelay: .* dropped' "/run/$netns.relay.log"
    rm -rf "$state"
    # Bounded wait for anything else we made.
    if ! tw_wait_for 50 no_strays; then
        printf 'lab: left behind: process %s\n' "${stray[@]}" >&2
        rc=1
    elif ip netns list | grep -qw "$netns" || ip link show "$mgmt_if" >/dev/null 2>&1 ||
        grep -q " /run/netns/$netns " /proc/self/mountinfo; then
        echo "lab: left behind: the network $netns" >&2
        rc=1
    else
        echo "lab: ended, nothing left behind"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the network: management side here, receivers in their own namespace ---
tw_rxnet_up "$netns" "$latency" "$rx_up" "$rx_refused" "$rx_flap" "$rx_second" -- "$rx_silent" ||
    { echo "lab: cannot build the receivers' network" >&2; exit 1; }
if [[ -f "/run/$netns.relay.pid" ]]; then
    link_text="TUN link with ${latency} ms each way (netrelay)"
else
    [[ $latency -gt 0 ]] && echo "lab: no /dev/net/tun: plain veth, no latency" >&2
    link_text="veth link without latency"
fi

tw_listener_up "$netns" "$state/listener.log" "$rx_up:$port" "$rx_flap:$port" "$rx_second:$port" ||
    { echo "lab: trap-listener did not start" >&2; exit 1; }

# --- the configuration the appliance would write ---
tw_config "$mgmt" "$port:$rx_up,$rx_refused,$rx_silent,$rx_flap" "$port:$rx_second,$rx_up" \
    "$port_other:$rx_up" "$port/2/1:$rx_second" "$port/1/0:$rx_second" >/mnt/params/cfparams.txt

# --- the controller stand-in and the daemon ---
tw_keelson_up "$state/keelson.log" "$build_dir/tools/keelson-sim" --json "$state/keelson.json" ||
    { echo "lab: keelson-sim did not start" >&2; exit 1; }
tw_daemon_up "$build_dir/trapwatch/trapwatch" || { echo "lab: trapwatch does not answer" >&2; exit 1; }
if [[ $trace -eq 1 ]]; then
    for c in init proc cycle keelson; do ctl debug "$c" >/dev/null; done
fi

cat <<EOF
trapwatch lab: trapwatch $(ctl version), pid $tw_daemon, management $mgmt on $mgmt_if;
receivers on $rx_if in namespace $netns, $link_text.  Configured:
  c1 0  $rx_up:$port       trap listener                      expect 2
  c1 1  $rx_refused:$port       no listener: port unreachable      expect 1
  c1 2  $rx_silent:$port       nobody holds the address           expect 0
  c1 3  $rx_flap:$port       trap listener; away after frame $flap_off, back after frame $flap_on
  c2 0  $rx_second:$port       trap listener                      expect 2
  c2 1  $rx_up:$port       duplicate of c1 0 (probed once)    expect 2
  c3 0  $rx_up:$port_other     same address, port nobody serves   expect 1
  c4 0  $rx_second:$port       group disabled (trap status 2)     expect 0
  c5 0  $rx_second:$port       group off (status 0)               expect 0
Matrix: 0 no echo reply (or empty slot), 1 echo reply but trap port refused or
not probed, 2 reachable.  Right: refresh commands keelson-sim answered since
the last frame (c1 = the group-1 codes they carried).  Ctrl-C ends the lab.
EOF

# A refresh command's record as the frame shows it, from the words of its
# line in keelson-sim's log: the time, the command, its parameter and the
# codes of group 1.
refresh_text() {
    local w c="" p="" m=""
    for w in "${@:3}"; do
        case $w in
            cmd=*) c=${w#cmd=} ;;
            param=*) p=${w#param=} ;;
            matrix=*) m=${w#matrix=} ;;
        esac
    done
    echo "${2:0:8} $c param=$p c1=$m"
}

log_seen=0
cons_seen=$(stat -c %s /run/ttyS0.capture 2>/dev/null || echo 0)
now_ms() { date +%s%3N; }
start=$(now_ms)
frame=0
while [[ $cycles -eq 0 || $frame -lt $cycles ]]; do
    frame=$((frame + 1))
    wait_ms=$((start + 5000 * frame - $(now_ms)))
    ((wait_ms > 0)) && sleep "$((wait_ms / 1000)).$(printf '%03d' $((wait_ms % 1000)))"

    status=$(ctl status) || { echo "lab: status failed" >&2; exit 1; }
    mapfile -t left < <(head -n 12 <<<"$status")
    refresh=()
    logs=()
    while IFS= read -r line; do
        log_seen=$((log_seen + 1))
        if [[ $line =~ \ cmd=(382|308|407)\  ]]; then
            read -ra words <<<"$line"
            refresh+=("$(refresh_text "${words[@]}")")
        elif [[ $line =~ \ cmd=230\ .*\ text=\"(.*)\"$ ]]; then
            logs+=("  log: ${BASH_REMATCH[1]}")
        fi
    done < <(tw_log_since "$state/keelson.log" "$log_seen")

    printf -- '--- frame %d  %s %s\n' "$frame" "$(date +%T)" "$(printf '%.0s-' {1..40})"
    echo "${left[0]}   | refresh commands"
    for ((i = 1; i < ${#left[@]} || i <= ${#refresh[@]}; i++)); do
        printf '%-32s| %s\n' "${left[i]:-}" "${refresh[i - 1]:-}"
    done
    ((${#logs[@]} == 0)) || printf '%s\n' "${logs[@]}"
    if [[ $trace -eq 1 ]]; then
        size=$(stat -c %s /run/ttyS0.capture)
        if ((size > cons_seen)); then
            echo "  console:"
            tail -c +"$((cons_seen + 1))" /run/ttyS0.capture | head -c "$((size - cons_seen))" |
                tr -d '\r' | sed 's/^/    /'
        fi
        cons_seen=$size
    fi

    if [[ $frame -eq $flap_off ]]; then
        tw_rxnet_addr "$netns" del "$rx_flap"
        echo "  >> $rx_flap (c1 3) taken away"
    elif [[ $frame -eq $flap_on ]]; then
        tw_rxnet_addr "$netns" add "$rx_flap"
        echo "  >> $rx_flap (c1 3) back"
    fi
done
exit
}
