#!/usr/bin/env bash
# The scripts' common functions, one home for each recipe: sourced by the
# scripts, and run as "bash scripts/lib.sh FUNCTION ARG..." by the tests.

tw_root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)
: "${TW_BUILD_DIR:=$tw_root/build}"
tw_me=$(basename "$0" .sh)

tw_need_root() { [[ $EUID -eq 0 ]] || { echo "$tw_me: must run as root ($1)" >&2; exit 2; }; }

# The comment under the calling script's first line, without its "#".
tw_usage() { sed -n '2,/^[^#]/s/^#\( \|$\)//p' "$0"; }

# tw_ensure_packages PKG...: installs the Debian packages that are missing.
tw_ensure_packages() {
    local missing=() p
    for p in "$@"; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p"); done
    ((${#missing[@]} == 0)) && return 0
    echo "installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# tw_logged LOG CMD... runs CMD with its output in LOG; when it fails, shows
# LOG's error lines (its tail when none says "error") and returns its status.
tw_logged() {
    local log=$1 rc
    shift
    "$@" >"$log" 2>&1 && return 0 || rc=$?
    { grep -E -m 40 'error|Error' "$log" || tail -n 30 "$log"; } >&2
    echo "$tw_me: $1 failed ($rc), see $log" >&2
    return "$rc"
}

# tw_debian_source DIR PKG[=VERSION]... downloads Debian bookworm's source
# packages into DIR, through a sources list of its own (not the machine's).
tw_debian_source() {
    local dir=$1 apt
    shift
    apt=(apt-get -q -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o Dir::State::Lists="$dir/lists")
    mkdir -p "$dir/lists/partial"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
        "http://deb.debian.org/debian bookworm main" >"$dir/sources.list"
    (cd "$dir" && tw_logged "$dir/fetch.log" "${apt[@]}" update &&
        tw_logged "$dir/fetch.log" "${apt[@]}" source --download-only "$@")
}

# tw_key TEXT_OR_FILE...: 16 hex digits over them, naming a cache's entry.
tw_key() { local a; for a in "$@"; do if [[ -f "$a" ]]; then cat "$a"; else echo "$a"; fi; done | sha256sum | cut -c1-16; }

# tw_wait_for TENTHS CMD...: runs CMD every 0.1 s until it succeeds (bounded).
tw_wait_for() { local n=$1 && shift && until "$@"; do ((--n > 0)) && sleep 0.1 || return 1; done; }

# tw_stop PID [SIGNAL [TENTHS]] sends SIGNAL (TERM; "-": none, asked another way),
# waits TENTHS (50), then kills and reaps PID; false when it had to be killed.
tw_stop() {
    local pid=$1 sig=${2:-TERM} n=${3:-50} rc=0
    [[ "$sig" == - ]] || kill -"$sig" "$pid" 2>/dev/null || true
    tw_wait_for "$n" tw_gone "$pid" || { kill -KILL "$pid" 2>/dev/null || true; rc=1; }
    wait "$pid" 2>/dev/null || true
    return $rc
}

tw_gone() { ! kill -0 "$1" 2>/dev/null; }

# tw_build DIR [TARGET...] [-- CMAKE_ARG...] configures DIR each time (a target may
# be new; a new DIR is RelWithDebInfo unless a -D says otherwise), then builds
# the targets (all when none) with TW_JOBS jobs.
tw_build() {
    local dir=$1 targets=()
    shift
    while (($# > 0)) && [[ "$1" != -- ]]; do targets+=("$1"); shift; done
    (($# > 0)) && shift
    [[ -f "$dir/CMakeCache.txt" ]] || set -- -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake -S "$tw_root" -B "$dir" "$@" || return 1
    cmake --build "$dir" -j"${TW_JOBS:-$(nproc)}" ${targets[0]:+--target} "${targets[@]}"
}

# tw_hex_ip A.B.C.D: 0xAABBCCDD, as the configuration file writes addresses.
# shellcheck disable=SC2086
tw_hex_ip() { printf '0x%02x%02x%02x%02x' ${1//./ }; }

# tw_config MGMT GROUP... prints the file the appliance writes for these groups,
# from c1: "PORT:IP,..." (up to 8; trap status and status 1),
# "PORT/TRAP_STATUS/STATUS:IP,..." or "-" (empty, as the groups not given).
tw_config() {
    local g a p t s list ips ports=() traps=() stats=()
    echo "ip_address=$(tw_hex_ip "$1")"
    shift
    for g in {1..11}; do
        ips=() p=0 t=0 s=0 list=
        [[ "${1:--}" == - ]] || { IFS=/ read -r p t s <<<"${1%%:*}" && t=${t:-1} s=${s:-1} list=${1#*:}; }
        (($# > 0)) && shift
        for a in ${list//,/ }; do ips+=("$(tw_hex_ip "$a")"); done
        while ((${#ips[@]} < 8)); do ips+=(0x0); done
        echo "snmp_c${g}_ip=$(tw_list "${ips[@]}")"
        ports+=("$p") traps+=("$t") stats+=("$s")
    done
    echo "snmp_v3_trap_port=$(tw_list "${ports[@]}")"
    echo "snmp_v3_trap_status=$(tw_list "${traps[@]}")"
    echo "snmp_status=$(tw_list "${stats[@]}")"
}

# tw_list WORD...: the words joined by ", ", as the configuration file lists.
tw_list() { local out && printf -v out '%s, ' "$@" && echo "${out%, }"; }

# tw_rxnet_up NS LATENCY HELD... [-- UNHELD...] builds the receivers' network: namespace
# NS holding each HELD address (/32: one can go alone), linked to this one's 192.0.2.1/24
# on "NS-m".  LATENCY 0: a veth pair; N: two TUN devices joined by netrelay, N ms each way;
# "bridge": "NS-m" is a bridge holding the veth end "NS-v", for a VM's TAP that is 192.0.2.1.
tw_rxnet_up() {
    local ns=$1 latency=$2 held=() a m=$1-m r=$1-r relay=$TW_BUILD_DIR/tools/lab/netrelay
    shift 2
    while (($# > 0)) && [[ "$1" != -- ]]; do held+=("$1"); shift; done
    (($# > 0)) && shift  # the unheld addresses remain
    tw_rxnet_down "$ns"
    # Every refused trap port must be reported: no rate limit (/proc: procps may be missing).
    ip netns add "$ns" && ip -n "$ns" link set lo up && ip netns exec "$ns" sh -c \
        'echo 0 >/proc/sys/net/ipv4/icmp_ratelimit && echo 6160 >/proc/sys/net/ipv4/icmp_ratemask' || return 1
    if [[ "$latency" == bridge ]]; then
        ip link add "$m" type bridge && ip link set "$m" up &&
            ip link add "$ns-v" type veth peer name "$r" netns "$ns" && ip link set "$ns-v" master "$m" up || return 1
    elif ((latency > 0)) && [[ -c /dev/net/tun && -x "$relay" ]]; then
        "$relay" --delay-ms "$latency" "$m" "$r" >"/run/$ns.relay.log" 2>&1 &
        echo $! >"/run/$ns.relay.pid"
        tw_wait_for 50 ip link show "$r" >/dev/null 2>&1 && ip link set "$r" netns "$ns" || return 1
    else
        ip link add "$m" type veth peer name "$r" address 02:00:5e:00:53:12 netns "$ns" || return 1
    fi
    [[ "$latency" == bridge ]] || { ip addr add 192.0.2.1/24 dev "$m" && ip link set "$m" up; } || return 1
    for a in "${held[@]}"; do ip -n "$ns" addr add "$a/32" dev "$r" || return 1; done
    # An address nobody holds stays silent: the receivers' side has no route there.
    ip -n "$ns" link set "$r" up && ip -n "$ns" route add 192.0.2.1/32 dev "$r" &&
        ip -n "$ns" route add blackhole 192.0.2.0/24 || return 1
    # On veth, pin the receivers' neighbour entries: a learned one fails once nobody
    # holds the address, and the kernel then drops the echo requests.
    [[ -f "/run/$ns.relay.pid" || "$latency" == bridge ]] && return 0
    for a in "${held[@]}" "$@"; do
        ip neigh replace "$a" lladdr 02:00:5e:00:53:12 dev "$m" nud permanent || return 1
    done
}

# tw_rxnet_addr NS add|del ADDR gives or takes one held address;
# tw_rxnet_down NS removes the network (and its relay).
tw_rxnet_addr() { ip -n "$1" addr "$2" "$3/32" dev "$1-r"; }

tw_rxnet_down() {
    local ns=$1 l
    [[ ! -f "/run/$ns.relay.pid" ]] || tw_stop "$(cat "/run/$ns.relay.pid")" || true
    rm -f "/run/$ns.relay.pid"
    ip netns del "$ns" 2>/dev/null || true
    for l in "$ns-m" "$ns-v"; do ip link del "$l" 2>/dev/null || true; done
}

# tw_listener_up NS LOG ADDR:PORT... starts trap-listener in namespace NS, its
# pid in tw_listener; false when it does not listen within 5 s.
tw_listener_up() {
    ip netns exec "$1" "$TW_BUILD_DIR/tools/lab/trap-listener" "${@:3}" >"$2" 2>&1 & tw_listener=$!
    tw_wait_for 50 grep -q '^trap-listener: listening' "$2"
}

# tw_ctl ARG...: trapwatchctl (the command line tw_ctl_cmd, default the build's).
tw_ctl() { "${tw_ctl_cmd[@]:-$TW_BUILD_DIR/tools/trapwatchctl}" "$@"; }

# tw_keelson_up LOG CMD... starts the controller stand-in CMD, its records into
# LOG, its own lines into LOG.err; false when it does not listen within 5 s.
tw_keelson_up() {
    "${@:2}" >"$1" 2>"$1.err" & tw_keelson=$!
    tw_wait_for 50 test -S /var/run/keelson.sock
}

tw_keelson_down() { [[ -z "${tw_keelson:-}" ]] || tw_stop "$tw_keelson" || echo "$tw_me: keelson-sim killed" >&2; tw_keelson=; }

# tw_daemon_up CMD... starts the daemon from a shell (it refuses process 1 as its parent),
# waits (10 s) for it to answer, takes its pid into tw_daemon and sends KEELSON_START.
tw_daemon_up() {
    rm -f /var/run/trapwatch.sock
    sh -c '"$@"' sh "$@" || return 1
    tw_wait_for 100 tw_ctl --timeout 2 version >/dev/null 2>&1 || return 1
    tw_daemon=$(tw_ctl pid) && tw_ctl keelson-start >/dev/null
}

# tw_daemon_down: TERMINATE, then (10 s later) SIGKILL.
tw_daemon_down() {
    [[ -n "${tw_daemon:-}" ]] || return 0
    tw_ctl --timeout 3 terminate >/dev/null 2>&1 || true
    tw_stop "$tw_daemon" - 100 || echo "$tw_me: trapwatch did not stop; killed $tw_daemon" >&2
    tw_daemon=
}

[[ "${BASH_SOURCE[0]}" != "$0" ]] || "$@"
