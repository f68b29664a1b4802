// The send and receive threads over a real network: the sandbox's own network
// namespace holds the management address on a veth whose peer lives in a
// receiver namespace made here.  A packet socket in that namespace records
// what arrives on the wire; a controller stand-in records the refresh.
//
// Receivers (198.51.100.0/24 is not used; all in 192.0.2.0/24):
//   row 0  192.0.2.10:16200  held, UDP listener        -> code 2
//   row 1  192.0.2.11:16200  held, no listener          -> code 1
//   row 2  192.0.2.12:16200  held by nobody             -> code 0
//   row 3  192.0.2.13:16200  held, listener; removed later
//   row 8  192.0.2.10:16200  group 1, same port: twin of row 0
//   row 16 192.0.2.10:16202  group 2, other port, no listener -> code 1
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net/packet.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"
#include "trapwatch/receiver.h"
#include "trapwatch/sender.h"
#include "trapwatch/status.h"
#include "util/bytes.h"
#include "util/state.h"
#include "util/trace.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string rx_ns = "twrx";
const std::string if_local = "twv0", if_peer = "twv1";
const std::string mac_local = "02:00:5e:00:53:01", mac_peer = "02:00:5e:00:53:02";
constexpr uint32_t ip_mgmt = 0xC0000201;  // 192.0.2.1
constexpr uint32_t ip_a = 0xC000020A, ip_b = 0xC000020B, ip_c = 0xC000020C, ip_d = 0xC000020D;
constexpr uint16_t port_g0 = 16200, port_g2 = 16202;

// Runs fn in a thread inside the receiver namespace.
int in_rx_ns(const std::function<int()> &fn) {
    return tw_test::in_netns(rx_ns, fn);
}

// One IPv4 packet seen arriving on the receiver's interface.
struct frame {
    std::chrono::steady_clock::time_point at;
    std::vector<uint8_t> ip;
};

// Records every IPv4 packet arriving on if_peer, bounded polls, until stopped.
class capture {
   public:
    bool start() {
        fd_ = in_rx_ns([] {
            int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
            sockaddr_ll a{};
            a.sll_family = AF_PACKET;
            a.sll_protocol = htons(ETH_P_IP);
            a.sll_ifindex = static_cast<int>(if_nametoindex(if_peer.c_str()));
            if (fd >= 0 &&
                (a.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)) {
                close(fd);
                return -1;
            }
            return fd;
        });
        if (fd_ < 0) {
            return false;
        }
        thread_ = std::thread([this] { run(); });
        return true;
    }
    ~capture() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    std::vector<frame> frames() const {
        std::lock_guard<std::mutex> l(mu_);
        return frames_;
    }

   private:
    void run() {
        std::array<uint8_t, 2048> buf;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            sockaddr_ll from{};
            socklen_t len = sizeof from;
            ssize_t n =
                recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING) {
                continue;
            }
            std::lock_guard<std::mutex> l(mu_);
            frames_.push_back({std::chrono::steady_clock::now(),
                               std::vector<uint8_t>(buf.begin(), buf.begin() + n)});
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex mu_;
    std::vector<frame> frames_;
    std::thread thread_;
};

struct echo_req {
    uint32_t dst;
    uint16_t seq;
    uint8_t group, index;
};
struct udp_probe {
    uint32_t dst;
    uint16_t port;
};

std::vector<echo_req> echo_requests(const std::vector<frame> &fs) {
    std::vector<echo_req> out;
    for (const frame &f : fs) {
        const auto &p = f.ip;
        if (p.size() >= 28 && p[9] == 1 && p[20] == 8) {
            out.push_back({load_be32(&p[16]), load_be16(&p[26]), p[28], p[29]});
        }
    }
    return out;
}
std::vector<udp_probe> udp_probes(const std::vector<frame> &fs) {
    std::vector<udp_probe> out;
    for (const frame &f : fs) {
        const auto &p = f.ip;
        if (p.size() >= 28 && p[9] == 17) {
            out.push_back({load_be32(&p[16]), load_be16(&p[22])});
        }
    }
    return out;
}

std::array<uint8_t, tw_rows> published() {
    std::array<uint8_t, tw_rows> m{};
    const uint32_t p = entries_index.load(std::memory_order_acquire);
    for (int g = 0; g < tw_groups; ++g) {
        for (int i = 0; i < tw_group_size; ++i) {
            m[static_cast<size_t>(g * 8 + i)] = load_relaxed(entries_status[p][g][i]);
        }
    }
    return m;
}

// Waits for the next published pass; false when none comes in time.
bool next_pass() {
    const uint32_t before = entries_index.load();
    return tw_test::wait_until([&] { return entries_index.load() != before; }, seconds(9));
}

class network_test : public testing::Test {
   protected:
    void SetUp() override {
        clean();
        const std::string rx = "ip netns exec " + rx_ns + " ";
        ASSERT_EQ(0, tw_test::sh("ip netns add " + rx_ns));
        ASSERT_EQ(0, tw_test::sh("ip link add " + if_local + " address " + mac_local +
                                 " type veth peer name " + if_peer + " address " + mac_peer +
                                 " netns " + rx_ns));
        ASSERT_EQ(0, tw_test::sh("ip addr add 192.0.2.1/24 dev " + if_local + " && ip link set " +
                                 if_local + " up"));
        ASSERT_EQ(
            0, tw_test::sh(rx + "ip link set " + if_peer + " up && " + rx + "ip link set lo up"));
        for (const char *a : {"192.0.2.10", "192.0.2.11", "192.0.2.13"}) {
            ASSERT_EQ(0, tw_test::sh(rx + "ip addr add " + a + "/24 dev " + if_peer));
        }
        // Every port-unreachable must come back, not a rate-limited few.
        ASSERT_EQ(0, tw_test::sh(rx + "sysctl -q -w net.ipv4.icmp_ratelimit=0 "
                                      "net.ipv4.icmp_ratemask=6160"));
        // Every receiver's frames reach the wire whoever holds its address:
        // 192.0.2.12 is held by nobody, and once 192.0.2.13 is taken away a
        // learned entry would fail its next check and the kernel would drop
        // the echo requests the test counts before they leave.
        for (const char *a : {"192.0.2.10", "192.0.2.11", "192.0.2.12", "192.0.2.13"}) {
            ASSERT_EQ(0, tw_test::sh(std::string("ip neigh replace ") + a + " lladdr " + mac_peer +
                                     " dev " + if_local + " nud permanent"));
        }

        listener_a = in_rx_ns([] { return tw_test::udp_listener(ip_a, port_g0); });
        listener_d = in_rx_ns([] { return tw_test::udp_listener(ip_d, port_g0); });
        ASSERT_GE(listener_a, 0);
        ASSERT_GE(listener_d, 0);

        // Groups 0 and 1 share port 16200; group 2 uses 16202; the rest are off.
        tw_test::write_file(params_path,
                            "ip_address=0xc0000201\n"
                            "snmp_c1_ip=0xc000020a, 0xc000020b, 0xc000020c, 0xc000020d, 0x0, 0x0, "
                            "0x0, 0x0\n"
                            "snmp_c2_ip=0xc000020a, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
                            "snmp_c3_ip=0xc000020a, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
                            "snmp_c4_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
                            "snmp_c5_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
                            "snmp_c6_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
                            "snmp_c7_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
                            "snmp_c8_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
                            "snmp_c9_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
                            "snmp_c10_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
                            "snmp_c11_ip=0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0\n"
                            "snmp_v3_trap_port=16200, 16200, 16202, 0, 0, 0, 0, 0, 0, 0, 0\n"
                            "snmp_v3_trap_status=1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0\n"
                            "snmp_status=1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0\n");

        std::memset(entries_status, 0, sizeof entries_status);
        entries_index.store(0);
        std::memset(sent_entries_status, 0, sizeof sent_entries_status);
        std::memset(&status_req, 0, sizeof status_req);
        stopping_flag.store(0);
        reread_params.store(0);
        reread_params_finish.store(0);
        called_from_set_df.store(0);
        keelson_started.store(0);
        refresh_snmp_conf.store(3);
        recv_sock.store(0);
        recv_thread_status.store(1);
        send_thread_status.store(1);
        dbg_level.store(dbg_level_default);
        ASSERT_EQ(0, process_params(entries.data(), &mgmt_ip));
        ASSERT_EQ(mgmt_ip, ip_mgmt);
        sprint_ip(mgmt_if_ip, mgmt_ip);
        enable_send.store(1);
    }

    void TearDown() override {
        stop_threads();
        for (int fd : {listener_a, listener_d}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        clean();
        stopping_flag.store(0);
        enable_send.store(0);
    }

    static void clean() {
        tw_test::sh("ip netns del " + rx_ns + " 2>/dev/null");
        tw_test::sh("ip link del " + if_local + " 2>/dev/null");
    }

    void start_threads() {
        // The receive thread first, as the daemon starts them.
        recv_t = std::thread([] { recv_thread(); });
        ASSERT_TRUE(tw_test::wait_until([] { return recv_sock.load() != 0; }, seconds(3)));
        send_t = std::thread([] { send_thread(); });
    }

    // The daemon's stop: the flag, then the receive socket shut down and closed.
    // The descriptor is closed after the join: the shutdown is what wakes the
    // receive, and ThreadSanitizer counts a close under a blocked receive as a
    // race on the descriptor.
    void stop_threads() {
        stopping_flag.store(1);
        const int fd = recv_sock.exchange(0);
        if (fd != 0) {
            shutdown(fd, SHUT_RDWR);
        }
        if (recv_t.joinable()) {
            recv_t.join();
        }
        if (send_t.joinable()) {
            send_t.join();
        }
        if (fd != 0) {
            close(fd);
        }
    }

    int listener_a = -1, listener_d = -1;
    std::thread recv_t, send_t;
};

TEST_F(network_test, probes_codes_refresh_and_stop_over_a_veth_link) {
    keelson_stub k;
    capture cap;
    ASSERT_TRUE(cap.start());
    start_threads();

    // --- first cycle: nothing goes to the controller before it announces itself
    ASSERT_TRUE(next_pass());
    std::array<uint8_t, tw_rows> want{};
    want[0] = 2;   // listener
    want[1] = 1;   // port refused
    want[2] = 0;   // nobody there
    want[3] = 2;   // listener
    want[8] = 2;   // twin of row 0
    want[16] = 1;  // same address, port without listener
    EXPECT_EQ(published(), want);
    for (int r : {0, 3, 8}) {
        EXPECT_EQ(load_relaxed(entries[static_cast<size_t>(r)].status), 1) << r;
    }
    EXPECT_EQ(k.count(), 0u);

    const auto first = cap.frames();
    const auto reqs = echo_requests(first);
    // One echo request per distinct address and port; the twin row 8 gets none.
    std::multiset<std::array<uint32_t, 4>> got_reqs, want_reqs;
    for (const auto &e : reqs) {
        got_reqs.insert({e.dst, e.seq, e.group, e.index});
    }
    want_reqs = {
        {ip_a, 1, 0, 0}, {ip_b, 1, 0, 1}, {ip_c, 1, 0, 2}, {ip_d, 1, 0, 3}, {ip_a, 1, 2, 0}};
    EXPECT_EQ(got_reqs, want_reqs);
    for (const frame &f : first) {
        const auto &p = f.ip;
        if (p.size() < 21 || p[9] != 1 || p[20] != 8) {
            continue;
        }
        SCOPED_TRACE(testing::PrintToString(load_be32(&p[16])));
        ASSERT_EQ(p.size(), 84u);
        EXPECT_EQ(p[0], 0x45);
        EXPECT_EQ(load_be16(&p[2]), 84);
        EXPECT_EQ(p[8], 64);
        EXPECT_EQ(load_be32(&p[12]), ip_mgmt);
        EXPECT_EQ(in_cksum(p.data(), 20), 0) << "IPv4 header checksum";
        EXPECT_EQ(in_cksum(p.data() + 20, 64), 0) << "ICMP checksum";
        EXPECT_EQ(p[21], 0);
        EXPECT_EQ(load_be16(&p[24]), 22);
        for (size_t b = 30; b < 84; ++b) {
            EXPECT_EQ(p[b], 0) << "payload byte " << b;
        }
    }
    // UDP probes: 8 zero bytes, only to the rows that answered the echo.
    std::multiset<std::pair<uint32_t, uint16_t>> got_udp,
        want_udp{{ip_a, port_g0}, {ip_b, port_g0}, {ip_d, port_g0}, {ip_a, port_g2}};
    for (const auto &u : udp_probes(first)) {
        got_udp.insert({u.dst, u.port});
    }
    EXPECT_EQ(got_udp, want_udp);
    for (const frame &f : first) {
        if (f.ip.size() >= 28 && f.ip[9] == 17) {
            ASSERT_EQ(f.ip.size(), 36u);
            EXPECT_EQ(load_be16(&f.ip[24]), 16) << "UDP length";
            EXPECT_EQ(std::vector<uint8_t>(f.ip.begin() + 28, f.ip.end()),
                      std::vector<uint8_t>(8, 0));
        }
    }

    // --- second cycle: the controller has announced itself; armed since start
    keelson_started.store(1);
    ASSERT_TRUE(next_pass());
    auto got = k.requests();
    ASSERT_EQ(got.size(), 4u);
    const std::array<std::pair<int32_t, int32_t>, 4> seq{{{382, 1}, {308, 1}, {407, 1}, {382, 0}}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].cmd, seq[i].first);
        EXPECT_EQ(got[i].param, seq[i].second);
        EXPECT_EQ(0, std::memcmp(got[i].data.data(), want.data(), want.size()));
    }
    EXPECT_EQ(published(), want);
    EXPECT_EQ(refresh_snmp_conf.load(), 0);
    // The second round of requests carries seq 2.
    std::set<uint16_t> seqs;
    for (const auto &e : echo_requests(cap.frames())) {
        seqs.insert(e.seq);
    }
    EXPECT_EQ(seqs, (std::set<uint16_t>{1, 2}));

    // --- row 3's receiver goes away: code 0 at once, status on the fourth miss
    // Counted from before the removal: an echo request can leave between the
    // removal and any later look at the capture.
    const auto gone_at = cap.frames().size();
    ASSERT_EQ(0,
              tw_test::sh("ip netns exec " + rx_ns + " ip addr del 192.0.2.13/24 dev " + if_peer));
    k.clear();
    k.set_status(308, -1);  // no two-second pause this time
    want[3] = 0;
    ASSERT_TRUE(next_pass());
    auto missing_from = gone_at;
    if (published()[3] == 2 && load_relaxed(entries[3].fail_count) == 0) {
        // Under load the removal can outlast the pause before the next echo
        // request: one that left before it took effect was answered (and
        // probed), so that pass still saw the receiver whole.  The next pass
        // is the first miss.
        missing_from = cap.frames().size();
        ASSERT_TRUE(next_pass());
    }
    for (uint32_t miss = 1; miss <= 3; ++miss) {
        if (miss > 1) {
            ASSERT_TRUE(next_pass());
        }
        EXPECT_EQ(published(), want) << "miss " << miss;
        EXPECT_EQ(load_relaxed(entries[3].status), 1) << "miss " << miss;
        EXPECT_EQ(load_relaxed(entries[3].fail_count), miss);
        EXPECT_EQ(k.count(), 0u) << "nothing changed yet";
    }
    ASSERT_TRUE(next_pass());
    EXPECT_EQ(load_relaxed(entries[3].status), 0);
    got = k.requests();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].cmd, 382);
    EXPECT_EQ(got[0].data[3], 0);
    // Echo requests still go to the silent receiver, UDP probes no longer.
    const auto later = cap.frames();
    const std::vector<frame> since(later.begin() + static_cast<std::ptrdiff_t>(gone_at),
                                   later.end());
    int echoes_d = 0;
    for (const auto &e : echo_requests(since)) {
        echoes_d += e.dst == ip_d;
    }
    EXPECT_GE(echoes_d, 4);
    for (const auto &u : udp_probes(std::vector<frame>(
             later.begin() + static_cast<std::ptrdiff_t>(missing_from), later.end()))) {
        EXPECT_NE(u.dst, ip_d);
    }

    // --- stop: both threads end with status 0 within about a second
    const auto t0 = std::chrono::steady_clock::now();
    stopping_flag.store(1);
    const int fd = recv_sock.exchange(0);
    ASSERT_NE(fd, 0);
    shutdown(fd, SHUT_RDWR);
    EXPECT_TRUE(tw_test::wait_until(
        [] { return recv_thread_status.load() == 0 && send_thread_status.load() == 0; },
        milliseconds(2000)));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(2000));
    stop_threads();
    close(fd);
}

}  // namespace
