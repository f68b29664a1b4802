#!/usr/bin/env bash
# Soak: the real daemon for MINUTES in a private network, under a receiver
# that flaps every cycle, a control-socket client asking GET_STATUS ten times
# a second and a trickle of malformed and foreign ICMP packets.  Reports the
# cycles run, the daemon's descriptor count, VmRSS and Pss at the start (after
# a warm-up) and at the end, and the errors seen; exits nonzero on growth,
# on errors or when the daemon dies.
#
#   scripts/soak.sh [MINUTES] [--build-dir DIR]      (default 2 minutes, build/)
#
# As root: it runs inside scripts/sandbox.sh and needs trapwatch and
# keelson-sim built in DIR, and python3.  Receivers (documentation addresses):
#   c1 0  192.0.2.13:162  trap listener; its address goes and comes every cycle
#   c1 1  192.0.2.10:162  trap listener                       always 2
#   c1 2  192.0.2.11:162  no listener: port unreachable       always 1
#   c1 3  192.0.2.12:162  held by nobody                      always 0
#   c2 0  192.0.2.10:162  twin of c1 1                        always 2
#   c3 0  192.0.2.10:10162  same address, port nobody serves  always 1
set -euo pipefail

here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
root=$(dirname "$here")

minutes=2
build_dir="$root/build"
inner=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --inner) inner=1 ;;
        --build-dir) build_dir=${2:?--build-dir needs a directory}; shift ;;
        -h | --help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *)
            [[ "$1" =~ ^[0-9]+$ && "$1" -gt 0 ]] || { echo "soak: unknown argument $1" >&2; exit 2; }
            minutes=$1 ;;
    esac
    shift
done
build_dir=$(readlink -m "$build_dir")
bin_daemon="$build_dir/trapwatch/trapwatch"
bin_keelson="$build_dir/tools/keelson-sim"

if [[ $inner -eq 0 ]]; then
    [[ $EUID -eq 0 ]] || { echo "soak: must run as root (namespaces, raw sockets)" >&2; exit 2; }
    for p in "$bin_daemon" "$bin_keelson"; do
        [[ -x "$p" ]] || { echo "soak: $p is missing (build trapwatch and keelson-sim)" >&2; exit 2; }
    done
    command -v python3 >/dev/null || { echo "soak: python3 is missing" >&2; exit 2; }
    # The sandbox's namespaces end with it: nothing made inside outlives the run.
    exec timeout --kill-after=30 $((minutes * 60 + 180)) \
        "$here/sandbox.sh" bash "$here/soak.sh" --inner "$minutes" --build-dir "$build_dir"
fi

# ----------------------------------------------------------- in the sandbox ---
state=/run/twsoak
mkdir -p "$state"
netns=twsoak-rx
mgmt=192.0.2.1
warmup=30

cleanup() {
    local rc=$?
    trap - EXIT
    set +e
    [[ -n "${helper:-}" ]] && kill -TERM "$helper" 2>/dev/null
    [[ -n "${daemon:-}" ]] && kill -KILL "$daemon" 2>/dev/null
    [[ -n "${keelson:-}" ]] && kill -TERM "$keelson" 2>/dev/null
    wait 2>/dev/null
    ip netns del "$netns" 2>/dev/null
    ip link del tws-mgmt 2>/dev/null
    exit "$rc"
}
trap cleanup EXIT

ip netns add "$netns"
ip -n "$netns" link set lo up
ip netns exec "$netns" sysctl -q -w net.ipv4.icmp_ratelimit=0 net.ipv4.icmp_ratemask=6160
ip link add tws-mgmt type veth peer name tws-rx netns "$netns"
ip addr add "$mgmt/24" dev tws-mgmt
ip link set tws-mgmt up
for a in 192.0.2.10 192.0.2.11 192.0.2.13; do
    ip -n "$netns" addr add "$a/32" dev tws-rx
done
ip -n "$netns" link set tws-rx up
ip -n "$netns" route add "$mgmt/32" dev tws-rx

z8="0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0"
{
    echo "ip_address=0xc0000201"
    echo "snmp_c1_ip=0xc000020d, 0xc000020a, 0xc000020b, 0xc000020c, 0x0, 0x0, 0x0, 0x0"
    echo "snmp_c2_ip=0xc000020a, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0"
    echo "snmp_c3_ip=0xc000020a, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0"
    for g in 4 5 6 7 8 9 10 11; do echo "snmp_c${g}_ip=$z8"; done
    echo "snmp_v3_trap_port=162, 162, 10162, 0, 0, 0, 0, 0, 0, 0, 0"
    echo "snmp_v3_trap_status=1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0"
    echo "snmp_status=1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0"
} >/mnt/params/cfparams.txt

"$bin_keelson" --json "$state/keelson.json" >/dev/null 2>"$state/keelson.err" &
keelson=$!
for _ in $(seq 50); do [[ -S /var/run/keelson.sock ]] && break; sleep 0.1; done
[[ -S /var/run/keelson.sock ]] || { echo "soak: keelson-sim did not start" >&2; exit 1; }

# Started from a shell, as a user starts it (it refuses process 1 as parent).
sh -c "$bin_daemon"
daemon=""
for _ in $(seq 50); do
    ino=$(stat -c %i /var/lock/subsys/trapwatch 2>/dev/null) || ino=""
    if [[ -n "$ino" ]]; then
        daemon=$(awk -v ino="$ino" '$2 == "POSIX" { n = split($6, f, ":"); if (f[n] == ino) { print $5; exit } }' /proc/locks)
    fi
    [[ -n "$daemon" && -S /var/run/trapwatch.sock ]] && break
    sleep 0.1
done
[[ -n "$daemon" ]] || { echo "soak: the daemon did not start" >&2; exit 1; }

cat >"$state/helper.py" <<'PY'
# The soak's load and its meter, in the receivers' namespace (the control
# socket is a path, so it is reached from here too).
import json, os, random, socket, struct, subprocess, sys, threading, time

pid, seconds, warmup, out, klog = (int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]),
                                   sys.argv[4], sys.argv[5])
MGMT, UP, REFUSED, SILENT, FLAP = "192.0.2.1", "192.0.2.10", "192.0.2.11", "192.0.2.12", "192.0.2.13"
start = time.monotonic()
stop = threading.Event()
lock = threading.Lock()
st = dict(cycles=0, polls=0, poll_errors=0, code_errors=0, flap_codes={}, malformed=0,
          flap_toggles=0, errors=[])

def error(kind, text):
    with lock:
        st[kind] += 1
        if len(st["errors"]) < 20:
            st["errors"].append("%.1fs %s" % (time.monotonic() - start, text))

def sample():
    try:
        # The fewest of a few looks: a log line's exchange holds a descriptor
        # for a moment.
        fds = 1 << 30
        for _ in range(20):
            fds = min(fds, len(os.listdir("/proc/%d/fd" % pid)))
            time.sleep(0.05)
        rss = pss = None
        for l in open("/proc/%d/status" % pid):
            if l.startswith("VmRSS:"):
                rss = int(l.split()[1])
        for l in open("/proc/%d/smaps_rollup" % pid):
            if l.startswith("Pss:"):
                pss = int(l.split()[1])
        return dict(fds=fds, rss_kb=rss, pss_kb=pss)
    except OSError:
        return None

def get_status():
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(5)
    try:
        s.connect("/var/run/trapwatch.sock")
        s.sendall(struct.pack("=iiii", 1, 0, 0, 0)[:8] + b"LOCAL\0\0\0" + bytes(8) +
                  struct.pack("=i", os.getpid()) + bytes(128))
        got = b""
        while len(got) < 156:
            b = s.recv(156 - len(got))
            if not b:
                break
            got += b
        return got
    finally:
        s.close()

def poller():
    nxt = time.monotonic()
    while not stop.is_set():
        nxt += 0.1
        try:
            r = get_status()
        except OSError as e:
            error("poll_errors", "GET_STATUS: %s" % e)
            r = None
        with lock:
            st["polls"] += 1
        if r is not None:
            if len(r) != 156 or struct.unpack("=i", r[:4])[0] != 0:
                error("poll_errors", "GET_STATUS answered %d bytes, status %r" %
                      (len(r), struct.unpack("=i", r[:4])[0] if len(r) >= 4 else None))
            elif time.monotonic() - start > warmup:
                m = r[28:28 + 88]
                want = {1: 2, 2: 1, 3: 0, 8: 2, 16: 1}
                bad = {k: m[k] for k, v in want.items() if m[k] != v}
                if m[0] not in (0, 2):
                    bad[0] = m[0]
                if bad:
                    error("code_errors", "matrix rows %r" % bad)
                with lock:
                    st["flap_codes"][m[0]] = st["flap_codes"].get(m[0], 0) + 1
        d = nxt - time.monotonic()
        if d > 0:
            time.sleep(d)
        else:
            nxt = time.monotonic()

def flapper():
    # Every echo request the daemon sends to UP starts a cycle; the flapping
    # address (row 0, probed just before UP) changes state for the next one.
    icmp = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    icmp.settimeout(0.5)
    up, last_seq = True, None
    while not stop.is_set():
        try:
            p = icmp.recv(2048)
        except socket.timeout:
            continue
        if len(p) < 28 or p[20] != 8 or socket.inet_ntoa(p[16:20]) != UP:
            continue
        seq = struct.unpack("!H", p[26:28])[0]
        if seq == last_seq:
            continue
        last_seq = seq
        with lock:
            st["cycles"] += 1
        up = not up
        subprocess.run(["ip", "addr", "add" if up else "del", FLAP + "/32", "dev", "tws-rx"],
                       stderr=subprocess.DEVNULL)
        with lock:
            st["flap_toggles"] += 1

def listener(addr, port):
    # Trap listeners for UP and FLAP; FREEBIND lets FLAP's bind stand while its
    # address is away.
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, 15, 1)
    s.bind((addr, port))
    s.settimeout(0.5)
    while not stop.is_set():
        try:
            s.recv(64)
        except socket.timeout:
            pass

def csum(b):
    if len(b) % 2:
        b += b"\0"
    s = sum(struct.unpack("!%dH" % (len(b) // 2), b))
    s = (s >> 16) + (s & 0xffff)
    s += s >> 16
    return (~s) & 0xffff

def ip_hdr(src, dst, proto, payload_len):
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + payload_len, 0, 0, 64, proto, 0,
                       socket.inet_aton(src), socket.inet_aton(dst))

def malformed(rnd):
    kind = rnd.randrange(7)
    src = "198.51.100.%d" % rnd.randrange(1, 255) if rnd.random() < 0.5 else REFUSED
    if kind == 0:  # random type other than echo reply and unreachable
        t = rnd.choice([x for x in range(256) if x not in (0, 3)])
        icmp = bytes([t, rnd.randrange(256)]) + os.urandom(rnd.randrange(2, 60))
    elif kind == 1:  # truncated
        icmp = bytes([rnd.choice([0, 3])]) + os.urandom(rnd.randrange(0, 7))
    elif kind == 2:  # echo reply, foreign identifier
        icmp = struct.pack("!BBHHH", 0, 0, 0, rnd.choice([0, 21, 23, 0x1600, 65535]),
                           rnd.randrange(65536)) + bytes([0, 1]) + bytes(54)
    elif kind == 3:  # our identifier, group or index out of range
        icmp = struct.pack("!BBHHH", 0, 0, 0, 22, rnd.randrange(65536)) + \
            bytes([rnd.randrange(11, 256), rnd.randrange(256)]) + bytes(54)
    elif kind == 4:  # our identifier, a configured row, a stale sequence number
        icmp = struct.pack("!BBHHH", 0, 0, 0, 22, rnd.randrange(40000, 65000)) + \
            bytes([0, rnd.randrange(4)]) + bytes(54)
    else:  # unreachable reports: not UDP, or about a port/address no row holds
        proto = 6 if kind == 5 else 17
        dst = rnd.choice([UP, REFUSED, "203.0.113.%d" % rnd.randrange(1, 255)])
        port = rnd.choice([9, 161, 163, 10161]) if dst != UP or proto == 6 else 4000
        inner = ip_hdr(MGMT, dst, proto, 8) + struct.pack("!HHHH", 40000, port, 8, 0)
        icmp = struct.pack("!BBHI", 3, rnd.randrange(16), 0, 0) + inner
    if len(icmp) >= 4:
        icmp = icmp[:2] + struct.pack("!H", csum(icmp[:2] + b"\0\0" + icmp[4:])) + icmp[4:]
    return ip_hdr(src, MGMT, 1, len(icmp)) + icmp

def trickle():
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    rnd = random.Random(1)
    while not stop.is_set():
        try:
            s.sendto(malformed(rnd), (MGMT, 0))
            with lock:
                st["malformed"] += 1
        except OSError:
            pass
        time.sleep(0.1)

threads = [threading.Thread(target=f, args=a, daemon=True) for f, a in
           ((poller, ()), (flapper, ()), (listener, (UP, 162)), (listener, (FLAP, 162)),
            (trickle, ()))]
for t in threads:
    t.start()
def refresh_records():
    # Refresh commands the controller stand-in has recorded so far.
    n = 0
    try:
        for l in open(klog):
            try:
                n += json.loads(l).get("cmd") in (382, 308, 407)
            except ValueError:
                pass
    except OSError:
        pass
    return n

time.sleep(warmup)
first = sample()
st["start"] = first
refresh_at_start = refresh_records()
with open(out + ".progress", "w") as f:
    f.write("start %s\n" % json.dumps(first))
next_report = time.monotonic() + 60
while time.monotonic() - start < seconds:
    time.sleep(1)
    if os.path.exists("/proc/%d" % pid) is False:
        error("poll_errors", "the daemon ended")
        break
    if time.monotonic() >= next_report:
        next_report += 60
        s = sample()
        with lock:
            print("soak: %4.0f s  cycles %d  polls %d  %s  errors %d" % (
                time.monotonic() - start, st["cycles"], st["polls"], json.dumps(s),
                st["poll_errors"] + st["code_errors"]), flush=True)
st["end"] = sample()
st["late_refresh"] = refresh_records() - refresh_at_start
stop.set()
for t in threads:
    t.join(2)
with lock:
    json.dump(st, open(out, "w"))
PY

trapwatchctl_ke() {  # KEELSON_START, so that refresh sequences can run
    python3 - <<'PY'
import os, socket, struct
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(5)
s.connect("/var/run/trapwatch.sock")
s.sendall(struct.pack("=ii", 5, 0) + b"LOCAL\0\0\0" + bytes(8) + struct.pack("=i", os.getpid()) + bytes(128))
r = s.recv(156)
raise SystemExit(0 if len(r) == 156 and struct.unpack("=i", r[:4])[0] == 0 else 1)
PY
}
for _ in $(seq 30); do trapwatchctl_ke 2>/dev/null && break; sleep 0.2; done

echo "soak: $minutes min, daemon pid $daemon"
ip netns exec "$netns" python3 "$state/helper.py" "$daemon" $((minutes * 60)) "$warmup" \
    "$state/result.json" "$state/keelson.json" &
helper=$!
wait "$helper" || true
helper=""

# Refresh sequences after the warm-up mean that the flapping receiver's
# status changed: the debounce did not hold.  Log lines other than the wrong
# replies the trickle provokes are errors too.
python3 - "$state/result.json" "$state/keelson.json" <<'PY'
import json, sys
res_path, log_path = sys.argv[1], sys.argv[2]
try:
    r = json.load(open(res_path))
except (OSError, ValueError):
    print("soak: the load ended without a result")
    sys.exit(1)
late_refresh = r.get("late_refresh", 0)
other_logs = []
for l in open(log_path):
    try:
        rec = json.loads(l)
    except ValueError:
        other_logs.append("unreadable record")
        continue
    if rec.get("bytes") != 156:
        other_logs.append("record of %s bytes" % rec.get("bytes"))
    elif rec.get("cmd") == 230 and "wrong reply" not in rec.get("text", ""):
        other_logs.append(rec.get("text", ""))
s, e = r.get("start") or {}, r.get("end") or {}
print("soak: cycles %d, GET_STATUS polls %d, malformed packets %d, flap toggles %d, flap codes %s" % (
    r["cycles"], r["polls"], r["malformed"], r["flap_toggles"], r["flap_codes"]))
for k in ("fds", "rss_kb", "pss_kb"):
    print("soak: %-6s start %s end %s" % (k, s.get(k), e.get(k)))
errors = r["poll_errors"] + r["code_errors"] + late_refresh + len(other_logs)
print("soak: errors %d (control %d, matrix %d, refresh after warm-up %d, other log lines %d)" % (
    errors, r["poll_errors"], r["code_errors"], late_refresh, len(other_logs)))
for x in r["errors"][:10] + other_logs[:10]:
    print("soak:   " + x.rstrip())
bad = errors > 0
if not s or not e:
    print("soak: FAILED: the daemon could not be measured"); bad = True
else:
    if e["fds"] != s["fds"]:
        print("soak: FAILED: descriptor count moved"); bad = True
    # The daemon allocates nothing in steady state; a few pages of stack or
    # libc buffers touched late are not growth.
    for k in ("rss_kb", "pss_kb"):
        if e[k] - s[k] > 256:
            print("soak: FAILED: %s grew by %d kB" % (k, e[k] - s[k])); bad = True
if r["cycles"] < 3 or len(r["flap_codes"]) < 2:
    print("soak: FAILED: too few cycles, or the flapping receiver was never seen both ways"); bad = True
print("soak: " + ("FAILED" if bad else "passed"))
sys.exit(1 if bad else 0)
PY
