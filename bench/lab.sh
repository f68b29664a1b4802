# The benchmark's lab, sourced by scripts/bench.sh inside scripts/sandbox.sh.
#
# The sandbox's own network namespace is the appliance: its management
# address 198.51.100.1 sits on a veth whose other end, 198.51.100.2, is in
# the receiver namespace "twbench-rx".  The 88 receivers are 203.0.113.10 to
# 203.0.113.97, reached through 198.51.100.2; row r of the table (group r / 8,
# index r % 8) is 203.0.113.(10 + r), and group g's trap port is 20162 + g.
#
#   answering (30): the address is held and a listener waits on the trap port
#   refusing  (30): the address is held, nothing listens: port unreachable
#   silent    (28): nobody holds the address; the receiver namespace does not
#                   forward, so the echo request is dropped without a word
#
# Every receiver answers with its own ICMP, so the receiver namespace's ICMP
# rate limits are lifted: otherwise only a part of the port-unreachable
# reports arrive and a refusing receiver looks reachable at random.

lab_ns=twbench-rx
lab_mgmt=198.51.100.1
lab_peer=198.51.100.2
lab_net=203.0.113
lab_first=10
lab_rows=88
lab_port0=20162
lab_sink_pid=

# lab_kind ROW: answering, refusing or silent.  Kinds alternate along the
# table so every group holds all three (row 86 makes the counts 30/30/28).
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

lab_addr() { echo "$lab_net.$((lab_first + $1))"; }
lab_port() { echo $((lab_port0 + $1 / 8)); }

# lab_hex ADDR: the configuration file's "0x%x" form.
lab_hex() {
    local IFS=.
    # shellcheck disable=SC2086
    set -- $1
    printf '0x%02x%02x%02x%02x' "$1" "$2" "$3" "$4"
}

# lab_write_params FILE: the 15 keys for the 11 groups of 8 receivers.
lab_write_params() {
    local file=$1 g i r line ports="" ones=""
    {
        echo "ip_address=$(lab_hex "$lab_mgmt")"
        for ((g = 0; g < 11; g++)); do
            line=""
            for ((i = 0; i < 8; i++)); do
                r=$((g * 8 + i))
                line+="${line:+, }$(lab_hex "$(lab_addr "$r")")"
            done
            echo "snmp_c$((g + 1))_ip=$line"
            ports+="${ports:+, }$((lab_port0 + g))"
            ones+="${ones:+, }1"
        done
        echo "snmp_v3_trap_port=$ports"
        echo "snmp_v3_trap_status=$ones"
        echo "snmp_status=$ones"
    } >"$file"
}

# lab_addresses: the 88 receiver addresses, one per line.
lab_addresses() {
    local r
    for ((r = 0; r < lab_rows; r++)); do
        lab_addr "$r"
    done
}

# lab_up SINK: the namespaces, addresses and routes, and the trap listeners
# (the bench-sink program SINK) of the answering receivers.
lab_up() {
    local sink=$1 r endpoints=()
    ip netns add "$lab_ns"
    ip link add twb0 type veth peer name twb1 netns "$lab_ns"
    ip addr add "$lab_mgmt/24" dev twb0
    ip link set twb0 up
    ip -n "$lab_ns" link set lo up
    ip -n "$lab_ns" addr add "$lab_peer/24" dev twb1
    ip -n "$lab_ns" link set twb1 up
    ip route add "$lab_net.0/24" via "$lab_peer" dev twb0
    ip netns exec "$lab_ns" sysctl -q -w net.ipv4.icmp_ratelimit=0 net.ipv4.icmp_ratemask=6160 \
        net.ipv4.ip_forward=0
    for ((r = 0; r < lab_rows; r++)); do
        case $(lab_kind "$r") in
            answering)
                ip -n "$lab_ns" addr add "$(lab_addr "$r")/32" dev lo
                endpoints+=("$(lab_addr "$r"):$(lab_port "$r")")
                ;;
            refusing)
                ip -n "$lab_ns" addr add "$(lab_addr "$r")/32" dev lo
                ;;
        esac
    done
    ip netns exec "$lab_ns" "$sink" "${endpoints[@]}" >/run/twbench-sink.log 2>&1 &
    lab_sink_pid=$!
    # The listeners are up once they said so; bounded.
    local t
    for ((t = 0; t < 50; t++)); do
        grep -q '^listening=' /run/twbench-sink.log 2>/dev/null && return 0
        sleep 0.1
    done
    echo "lab: the trap listeners did not start" >&2
    return 1
}

lab_down() {
    if [[ -n "$lab_sink_pid" ]]; then
        kill "$lab_sink_pid" 2>/dev/null || true
        wait "$lab_sink_pid" 2>/dev/null || true
        lab_sink_pid=
    fi
    ip netns del "$lab_ns" 2>/dev/null || true
}
