#!/usr/bin/env bash
# The trapwatch lab: the daemon watching simulated trap receivers behind a virtual
# link, its status matrix shown every five seconds beside what the controller saw.
#
#   scripts/lab.sh [--cycles N] [--trace] [--flap A,B] [--latency MS]
#                  [--build-dir DIR] [--no-install] [--no-build]
#
# As root on Debian: installs what is missing, builds into build/ (or DIR), then runs
# the lab inside scripts/sandbox.sh until Ctrl-C, or N frames with --cycles.
#   --trace      switch the console trace on and show its new lines per frame
#   --flap A,B   the flapping receiver goes away after frame A and comes back
#                after frame B (default 4,10)
#   --latency MS one-way delay of the link (default 3): two TUN devices joined by
#                tools/lab/netrelay; 0: a plain veth pair (no real network has zero)
# Everything the lab makes (namespaces, link, processes, mounts) is gone when it ends.
set -euo pipefail
# One block, read before it runs: editing the file cannot change a running lab.
{

here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
# shellcheck source=scripts/lib.sh
source "$here/lib.sh"

cycles=0 trace=0 flap=4,10 latency=3 build_dir=$tw_root/build install=1 build=1 inner=0
args=("$@")
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
[[ "$flap" =~ ^[0-9]+,[0-9]+$ ]] || { echo "lab: --flap needs A,B" >&2; exit 2; }
build_dir=$(readlink -m "$build_dir")
TW_BUILD_DIR=$build_dir
netns=twlab-rx

# ---------------------------------------------------------------- outside ---
if [[ $inner -eq 0 ]]; then
    tw_need_root "namespaces, raw sockets"
    [[ $install -eq 0 ]] || tw_ensure_packages build-essential cmake libgtest-dev libgmock-dev iproute2 ||
        { echo "lab: package install failed" >&2; exit 1; }
    if [[ $build -eq 1 ]]; then
        echo "lab: building in $build_dir"
        mkdir -p "$build_dir"
        tw_logged "$build_dir/lab-build.log" tw_build "$build_dir" trapwatch trapwatchctl keelson-sim \
            trap-listener netrelay lab-view || exit 1
    fi
    for p in trapwatch/trapwatch tools/trapwatchctl tools/keelson-sim tools/lab/trap-listener \
        tools/lab/netrelay tools/lab/lab-view; do
        [[ -x "$build_dir/$p" ]] || { echo "lab: $build_dir/$p is missing (build it, or drop --no-build)" >&2; exit 2; }
    done
    # Ctrl-C reaches the lab inside the sandbox too; this side only waits for its cleanup.
    trap 'interrupted=1' INT TERM
    rc=0
    "$here/sandbox.sh" bash "$here/lab.sh" --inner "${args[@]}" || rc=$?
    [[ ${interrupted:-0} -eq 1 && $rc -eq 130 ]] && rc=0
    exit "$rc"
fi

# ----------------------------------------------------------- in the sandbox ---
state=/run/twlab && mkdir -p "$state"
view=$build_dir/tools/lab/lab-view
read -r mgmt rx_up rx_refused rx_silent rx_flap rx_second port port_other < <("$view" layout)
# Processes that were here before the lab: the sandbox's own.
before=$(cd /proc && echo [0-9]*)

cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    set +e
    [[ -z "${lab_view:-}" ]] || tw_stop "$lab_view"
    tw_daemon=${tw_daemon:-$(tw_ctl pid 2>/dev/null || true)}
    tw_daemon_down
    tw_keelson_down
    [[ -z "${tw_listener:-}" ]] || tw_stop "$tw_listener"
    tw_rxnet_down "$netns"
    [[ -s "/run/$netns.relay.log" ]] && grep '^netrelay: .* dropped' "/run/$netns.relay.log"
    rm -rf "$state"
    # shellcheck disable=SC2086 # one pid a word
    "$view" left "$netns" $before || rc=1
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the network: management side here, receivers in their own namespace ---
tw_rxnet_up "$netns" "$latency" "$rx_up" "$rx_refused" "$rx_flap" "$rx_second" -- "$rx_silent" ||
    { echo "lab: cannot build the receivers' network" >&2; exit 1; }
tw_listener_up "$netns" "$state/listener.log" "$rx_up:$port" "$rx_flap:$port" "$rx_second:$port" ||
    { echo "lab: trap-listener did not start" >&2; exit 1; }
tw_config "$mgmt" "$port:$rx_up,$rx_refused,$rx_silent,$rx_flap" "$port:$rx_second,$rx_up" \
    "$port_other:$rx_up" "$port/2/1:$rx_second" "$port/1/0:$rx_second" >/mnt/params/cfparams.txt
tw_keelson_up "$state/keelson.log" "$build_dir/tools/keelson-sim" --json "$state/keelson.json" ||
    { echo "lab: keelson-sim did not start" >&2; exit 1; }
tw_daemon_up "$build_dir/trapwatch/trapwatch" || { echo "lab: trapwatch does not answer" >&2; exit 1; }

# In the background, so that a signal to this shell ends the lab at once.
"$view" frames "$trace" "$cycles" "$flap" "$netns" "$latency" "$tw_daemon" "$state/keelson.log" \
    -- bash "$here/lib.sh" tw_rxnet_addr "$netns" &
lab_view=$!
wait "$lab_view"
exit
}
