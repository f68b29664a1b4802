#include "tests/support/fault_world.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "tests/support/daemon_harness.h"
#include "tests/support/sandbox.h"

namespace tw_fault {

namespace {

const std::string if_local = "twf0", if_peer = "twf1";
const std::string mac_peer = "02:00:5e:00:53:12";
int listener_up = -1, listener_flap = -1;

std::string dotted(uint32_t ip) {
    in_addr a{htonl(ip)};
    char b[16];
    inet_ntop(AF_INET, &a, b, sizeof b);
    return b;
}

uint16_t cksum(const uint8_t *p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i + 1 < n; i += 2) {
        s += static_cast<uint32_t>((p[i] << 8) | p[i + 1]);
    }
    if (n % 2 != 0) {
        s += static_cast<uint32_t>(p[n - 1] << 8);
    }
    while (s >> 16) {
        s = (s & 0xffff) + (s >> 16);
    }
    return static_cast<uint16_t>(~s);
}

void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t *p, uint32_t v) {
    put16(p, v >> 16);
    put16(p + 2, v & 0xffff);
}

// A 20-byte IPv4 header; the kernel fills length and checksum of a raw send.
void ip_header(uint8_t *p, uint32_t src, uint32_t dst, uint8_t proto, size_t total) {
    std::memset(p, 0, 20);
    p[0] = 0x45;
    put16(p + 2, static_cast<uint32_t>(total));
    p[8] = 64;
    p[9] = proto;
    put32(p + 12, src);
    put32(p + 16, dst);
}

}  // namespace

std::string config() {
    return "ip_address=0xc0000201\n"
           "snmp_c1_ip=0xc000020a, 0xc000020b, 0xc000020c, 0xc000020d, 0x0, 0x0, 0x0, 0x0\n"
           "snmp_c2_ip=0xc0000214, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
           "snmp_c3_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
           "snmp_c4_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
           "snmp_c5_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
           "snmp_c6_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
           "snmp_c7_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
           "snmp_c8_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
           "snmp_c9_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
           "snmp_c10_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
           "snmp_c11_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
           "snmp_v3_trap_port=162, 162, 0, 0, 0, 0, 0, 0, 0, 0, 0\n"
           "snmp_v3_trap_status=1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0\n"
           "snmp_status=1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0\n";
}

matrix expected(bool flap_present, bool other_answered) {
    matrix m{};
    m[0] = 2;
    m[1] = 1;
    m[3] = flap_present ? 2 : 0;
    m[8] = other_answered ? 2 : 0;
    return m;
}

int in_rx(const std::function<int()> &fn) {
    return tw_test::in_netns(rx_ns, fn);
}

void net_down() {
    for (int *fd : {&listener_up, &listener_flap}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    tw_test::sh(std::string("ip netns del ") + rx_ns + " 2>/dev/null");
    tw_test::sh("ip link del " + if_local + " 2>/dev/null");
}

bool net_up() {
    net_down();
    const std::string ns = rx_ns;
    const std::string rx = "ip -n " + ns + " ";
    bool ok = tw_test::sh("ip netns add " + ns) == 0 && tw_test::sh(rx + "link set lo up") == 0 &&
              tw_test::sh("ip link add " + if_local + " type veth peer name " + if_peer +
                          " address " + mac_peer + " netns " + ns) == 0 &&
              tw_test::sh("ip addr add 192.0.2.1/24 dev " + if_local + " && ip link set " +
                          if_local + " up") == 0;
    for (uint32_t a : {ip_up, ip_refused, ip_flap}) {
        ok = ok && tw_test::sh(rx + "addr add " + dotted(a) + "/32 dev " + if_peer) == 0;
    }
    // Every refused trap port must come back, not a rate-limited few.
    ok = ok && tw_test::sh(rx + "link set " + if_peer + " up") == 0 &&
         tw_test::sh(rx + "route add 192.0.2.1/32 dev " + if_peer) == 0 &&
         tw_test::sh("ip netns exec " + ns +
                     " sysctl -q -w net.ipv4.icmp_ratelimit=0 net.ipv4.icmp_ratemask=6160") == 0 &&
         // Row 8's address is held by nobody, but its frames must reach the
         // wire for the responder.
         tw_test::sh("ip neigh replace " + dotted(ip_other) + " lladdr " + mac_peer + " dev " +
                     if_local + " nud permanent") == 0;
    if (!ok) {
        return false;
    }
    listener_up = in_rx([] { return tw_test::udp_listener(ip_up, trap_port); });
    listener_flap = in_rx([] { return tw_test::udp_listener(ip_flap, trap_port); });
    return listener_up >= 0 && listener_flap >= 0;
}

bool set_flap(bool present) {
    // Idempotent: giving back an address that is there, or taking away one
    // that is gone, is no failure.
    const std::string addr = dotted(ip_flap) + "/32 dev " + if_peer;
    if (present) {
        return tw_test::sh(std::string("ip -n ") + rx_ns + " addr replace " + addr) == 0;
    }
    tw_test::sh(std::string("ip -n ") + rx_ns + " addr del " + addr + " 2>/dev/null");
    return tw_test::sh(std::string("ip -n ") + rx_ns + " -o addr show dev " + if_peer +
                       " | grep -q " + dotted(ip_flap) + "/") != 0;
}

long rx_echo_requests() {
    long result = -1;
    in_rx([&] {
        std::istringstream in(tw_test::read_file("/proc/thread-self/net/snmp"));
        std::string names, values, line;
        while (std::getline(in, line)) {
            if (line.rfind("Icmp: ", 0) == 0) {
                (names.empty() ? names : values) = line;
            }
        }
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "InEchos") {
                result = std::stol(value);
            }
        }
        return 0;
    });
    return result;
}

other_responder::other_responder() {
    fd_ = in_rx([] {
        int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
        sockaddr_ll a{};
        a.sll_family = AF_PACKET;
        a.sll_protocol = htons(ETH_P_IP);
        a.sll_ifindex = static_cast<int>(if_nametoindex(if_peer.c_str()));
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    });
    out_ = in_rx([] { return socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW); });
    if (ok()) {
        thread_ = std::thread([this] { run(); });
    }
}

other_responder::~other_responder() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    for (int fd : {fd_, out_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void other_responder::run() {
    uint8_t buf[2048];
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        sockaddr_ll from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 28 || from.sll_pkttype == PACKET_OUTGOING || buf[9] != 1 || buf[20] != 8) {
            continue;
        }
        const uint32_t dst = (static_cast<uint32_t>(buf[16]) << 24) |
                             (static_cast<uint32_t>(buf[17]) << 16) |
                             (static_cast<uint32_t>(buf[18]) << 8) | buf[19];
        if (dst != ip_other) {
            continue;
        }
        // The same ICMP message back as a reply, from another address.
        const size_t icmp_len = static_cast<size_t>(n) - 20;
        uint8_t reply[2048];
        ip_header(reply, ip_other_src, ip_mgmt, 1, static_cast<size_t>(n));
        std::memcpy(reply + 20, buf + 20, icmp_len);
        reply[20] = 0;
        reply[22] = reply[23] = 0;
        put16(reply + 22, cksum(reply + 20, icmp_len));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(ip_mgmt);
        if (sendto(out_, reply, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&to),
                   sizeof to) == n) {
            ++answered_;
        }
    }
}

raw_sender::raw_sender() {
    fd_ = in_rx([] { return socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW); });
}
raw_sender::~raw_sender() {
    if (fd_ >= 0) {
        close(fd_);
    }
}
bool raw_sender::send(const uint8_t *packet, size_t n) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(ip_mgmt);
    return sendto(fd_, packet, n, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
           static_cast<ssize_t>(n);
}

size_t malformed_packet(uint32_t i, uint8_t *out, size_t cap) {
    if (cap < 128) {
        return 0;
    }
    // A small deterministic mix, so that a failure can be replayed.
    uint32_t x = i * 2654435761u + 12345u;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    const uint32_t src = next() % 2 == 0 ? 0xC6336400u + next() % 250 + 1 : ip_refused;
    uint8_t *icmp = out + 20;
    size_t icmp_len = 64;
    std::memset(icmp, 0, 108);
    switch (i % 8) {
        case 0: {  // a type the receiver ignores
            uint8_t t = static_cast<uint8_t>(next());
            icmp[0] = (t == 0 || t == 3) ? 8 : t;
            icmp_len = 4 + next() % 60;
            for (size_t k = 1; k < icmp_len; ++k) {
                icmp[k] = static_cast<uint8_t>(next());
            }
            break;
        }
        case 1:  // truncated: an echo reply or a report cut short
            icmp[0] = next() % 2 == 0 ? 0 : 3;
            icmp_len = 1 + next() % 7;
            break;
        case 2:  // echo reply with a foreign identifier
            put16(icmp + 4, 21 + next() % 2 * 2);
            put16(icmp + 6, next() % 65536);
            break;
        case 3:  // our identifier, group or index out of range
            put16(icmp + 4, 22);
            put16(icmp + 6, next() % 65536);
            icmp[8] = static_cast<uint8_t>(11 + next() % 245);
            icmp[9] = static_cast<uint8_t>(next());
            break;
        case 4:  // our identifier, a configured row, a sequence number long gone
            put16(icmp + 4, 22);
            put16(icmp + 6, 40000 + next() % 20000);
            icmp[8] = 0;
            icmp[9] = static_cast<uint8_t>(next() % 4);
            break;
        case 5:    // a report about a TCP segment to a real receiver
        case 6:    // a report about a UDP datagram to a port no row holds
        case 7: {  // ... or to an address no row holds
            icmp[0] = 3;
            icmp[1] = static_cast<uint8_t>(next() % 16);
            const uint32_t dst = i % 8 == 7 ? 0xCB007100u + next() % 250 + 1 : ip_up;
            ip_header(icmp + 8, ip_mgmt, dst, i % 8 == 5 ? 6 : 17, 28);
            put16(icmp + 28, 40000);
            put16(icmp + 30, i % 8 == 7 ? trap_port : 163 + next() % 1000);
            icmp_len = 36;
            break;
        }
    }
    if (icmp_len >= 4) {
        put16(icmp + 2, cksum(icmp, icmp_len));
    }
    ip_header(out, src, ip_mgmt, 1, 20 + icmp_len);
    return 20 + icmp_len;
}

usage measure(pid_t pid) {
    usage u;
    for (int k = 0; k < 10; ++k) {
        int n = tw_test::fd_count(pid);
        if (n >= 0 && (u.fds < 0 || n < u.fds)) {
            u.fds = n;
        }
        std::this_thread::sleep_for(milliseconds(30));
    }
    std::istringstream in(tw_test::read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            u.rss_kb = std::stol(line.substr(6));
        }
    }
    return u;
}

std::optional<matrix> get_status(milliseconds limit) {
    tw_test::reply r = tw_test::exchange(1, 0, limit);
    if (!r.whole() || r.msg.cmd != 0) {
        return std::nullopt;
    }
    matrix m;
    std::memcpy(m.data(), r.msg.data, m.size());
    return m;
}

bool wait_matrix(const matrix &want, milliseconds limit) {
    return tw_test::wait_until(
        [&] {
            auto m = get_status(milliseconds(3000));
            if (m && *m == want) {
                return true;
            }
            std::this_thread::sleep_for(milliseconds(200));
            return false;
        },
        limit);
}

std::string show(const matrix &m) {
    std::string s;
    for (size_t i = 0; i < m.size(); ++i) {
        s += static_cast<char>('0' + m[i] % 10);
        if (i % 8 == 7 && i + 1 < m.size()) {
            s += ' ';
        }
    }
    return s;
}

pid_t start_daemon_watching(bool keelson_start) {
    tw_test::write_file(tw_test::config_path, config());
    tw_test::started s = tw_test::start_trapwatch();
    if (s.launcher_status != 0 || s.daemon == 0 ||
        !tw_test::wait_serving(std::chrono::milliseconds(8000))) {
        return 0;
    }
    if (keelson_start && !tw_test::exchange(5, 0).whole()) {
        return 0;
    }
    return s.daemon;
}

}  // namespace tw_fault
