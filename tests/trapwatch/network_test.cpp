// The real send and receive threads over a veth link: the receivers' network
// of scripts/lib.sh (neighbours pinned) with the management address here, a
// packet socket on the receivers' side recording what reaches the wire, and a
// controller stand-in recording the refresh.
//
//   row 0   192.0.2.10:16200  held, UDP listener  -> code 2
//   row 1   192.0.2.11:16200  held, no listener   -> code 1
//   row 2   192.0.2.12:16200  held by nobody      -> code 0
//   row 3   192.0.2.13:16200  held, listener; taken away after the first pass
//   row 8   192.0.2.10:16200  group 1, same port: twin of row 0
//   row 16  192.0.2.10:16202  group 2, no listener on that port -> code 1
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
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

namespace {

using std::chrono::milliseconds;
using bytes = std::vector<uint8_t>;
using matrix = std::array<uint8_t, tw_rows>;
const std::string lib = "bash " TW_SOURCE_DIR "/scripts/lib.sh ";
constexpr uint32_t ip_a = 0xC000020A, ip_b = 0xC000020B, ip_c = 0xC000020C, ip_d = 0xC000020D;

// IPv4 packets arriving on the receivers' side, read without waiting.
struct wire {
    int fd = -1;
    std::vector<bytes> got;
    ~wire() { close(fd); }
    const std::vector<bytes> &drain() {
        std::array<uint8_t, 2048> buf;
        sockaddr_ll from{};
        socklen_t len = sizeof from;
        ssize_t n;
        while ((n = recvfrom(fd, buf.data(), buf.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&from), &len)) > 0) {
            if (from.sll_pkttype != PACKET_OUTGOING) {
                got.emplace_back(buf.begin(), buf.begin() + n);
            }
        }
        return got;
    }
    // Echo requests (proto 1, type 8) or UDP datagrams (17) from index from on.
    std::vector<bytes> of(uint8_t proto, size_t from = 0) {
        std::vector<bytes> out;
        for (size_t i = from; i < drain().size(); ++i) {
            if (got[i].size() >= 28 && got[i][9] == proto && (proto != 1 || got[i][20] == 8)) {
                out.push_back(got[i]);
            }
        }
        return out;
    }
};

matrix published() {
    matrix m{};
    std::memcpy(m.data(), entries_status[entries_index.load(std::memory_order_acquire)], m.size());
    return m;
}

// Waits for the next published pass (one every 5 s).
bool next_pass() {
    const uint32_t before = entries_index.load();
    return tw_test::wait_until([&] { return entries_index.load() != before; }, milliseconds(12000));
}

// The daemon's threads, stopped as its stop does: the flag, then the receive
// socket shut down; closed only after the join (ThreadSanitizer counts a
// close under a blocked receive as a race).
struct workers {
    std::thread recv_t, send_t;
    void stop() {
        stopping_flag.store(1);
        const int fd = recv_sock.exchange(0);
        if (fd != 0) {
            shutdown(fd, SHUT_RDWR);
        }
        for (std::thread *t : {&recv_t, &send_t}) {
            if (t->joinable()) {
                t->join();
            }
        }
        if (fd != 0) {
            close(fd);
        }
    }
    ~workers() { stop(); }
};

TEST(network_test, probes_codes_refresh_and_stop_over_a_veth_link) {
    const std::string ns = "twrx";
    ASSERT_EQ(0, tw_test::sh(lib + "tw_rxnet_up " + ns +
                             " 0 192.0.2.10 192.0.2.11 192.0.2.13 -- 192.0.2.12"));
    ASSERT_EQ(0, tw_test::sh(lib +
                             "tw_config 192.0.2.1 16200:192.0.2.10,192.0.2.11,192.0.2.12,"
                             "192.0.2.13 16200:192.0.2.10 16202:192.0.2.10 >" +
                             params_path));
    const int listeners[] = {
        tw_test::in_netns(ns, [] { return tw_test::udp_listener(ip_a, 16200); }),
        tw_test::in_netns(ns, [] { return tw_test::udp_listener(ip_d, 16200); })};
    ASSERT_GE(std::min(listeners[0], listeners[1]), 0);
    wire w;
    w.fd = tw_test::in_netns(ns, [&] {
        int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
        sockaddr_ll a{};
        a.sll_family = AF_PACKET;
        a.sll_protocol = htons(ETH_P_IP);
        a.sll_ifindex = static_cast<int>(if_nametoindex((ns + "-r").c_str()));
        return bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? fd : -1;
    });
    ASSERT_GE(w.fd, 0);

    ASSERT_EQ(0, process_params(entries.data(), &mgmt_ip));
    sprint_ip(mgmt_if_ip, mgmt_ip);
    keelson_stub k;
    k.set_status(keelson_cmd_refresh_mid, -1);  // no two-second pause
    keelson_started.store(1);
    enable_send.store(1);
    recv_thread_status.store(1);
    send_thread_status.store(1);
    workers th;
    th.recv_t = std::thread([] { recv_thread(); });
    ASSERT_TRUE(tw_test::wait_until([] { return recv_sock.load() != 0; }, milliseconds(3000)));
    th.send_t = std::thread([] { send_thread(); });

    // --- the first pass: codes, what went on the wire, the refresh
    ASSERT_TRUE(next_pass());
    matrix want{};
    want[0] = want[3] = want[8] = 2;
    want[1] = want[16] = 1;
    EXPECT_EQ(published(), want);
    // One echo request per distinct address and port: the twin row 8 gets none.
    std::multiset<std::array<uint32_t, 4>> reqs;
    for (const bytes &p : w.of(1)) {
        ASSERT_EQ(p.size(), echo_pkt::total_len);
        reqs.insert({load_be32(&p[16]), load_be16(&p[26]), p[28], p[29]});
        EXPECT_EQ(p[echo_pkt::ip_ver_ihl], 0x45);
        EXPECT_EQ(p[echo_pkt::ip_ttl], 64);
        EXPECT_EQ(p[echo_pkt::ip_proto], 1);
        EXPECT_EQ(load_be32(&p[echo_pkt::ip_src]), 0xC0000201u);
        EXPECT_EQ(in_cksum(p.data(), 20), 0) << "IPv4 header checksum";
        EXPECT_EQ(in_cksum(p.data() + 20, 64), 0) << "ICMP checksum";
        EXPECT_EQ(load_be16(&p[20 + echo_pkt::icmp_id]), 22);
        EXPECT_EQ(std::count(p.begin() + 30, p.end(), 0), 54) << "zero payload";
    }
    EXPECT_EQ(
        reqs,
        (std::multiset<std::array<uint32_t, 4>>{
            {ip_a, 1, 0, 0}, {ip_b, 1, 0, 1}, {ip_c, 1, 0, 2}, {ip_d, 1, 0, 3}, {ip_a, 1, 2, 0}}));
    // UDP probes of 8 zero bytes, only to the rows that answered.
    std::multiset<std::array<uint32_t, 2>> udp;
    for (const bytes &p : w.of(17)) {
        udp.insert({load_be32(&p[16]), load_be16(&p[22])});
        EXPECT_EQ(p.size(), 36u);
        EXPECT_EQ(load_be16(&p[24]), 16) << "UDP length";
        EXPECT_EQ(std::count(p.begin() + 28, p.end(), 0), 8);
    }
    EXPECT_EQ(udp, (std::multiset<std::array<uint32_t, 2>>{
                       {ip_a, 16200}, {ip_b, 16200}, {ip_d, 16200}, {ip_a, 16202}}));
    auto got = k.requests();
    ASSERT_EQ(got.size(), 4u);
    const std::array<std::array<int32_t, 2>, 4> seq{{{382, 1}, {308, 1}, {407, 1}, {382, 0}}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ((std::array<int32_t, 2>{got[i].cmd, got[i].param}), seq[i]);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), got[i].data.begin())) << i;
    }

    // --- row 3's receiver goes away: code 0 at once, status on the fourth miss
    // Counted from before the removal: a request can leave before any later look.
    const size_t gone_at = w.drain().size();
    ASSERT_EQ(0, tw_test::sh(lib + "tw_rxnet_addr " + ns + " del 192.0.2.13"));
    k.clear();
    want[3] = 0;
    ASSERT_TRUE(next_pass());
    size_t missing_from = gone_at;
    if (published()[3] == 2 && load_relaxed(entries[3].fail_count) == 0) {
        // Under load the removal can outlast the pause before the next echo
        // request, which was then answered and probed: that pass still saw the
        // receiver whole, and the next one is the first miss.
        missing_from = w.drain().size();
        ASSERT_TRUE(next_pass());
    }
    for (uint32_t miss = 1; miss <= 3; ++miss) {
        SCOPED_TRACE(miss);
        if (miss > 1) {
            ASSERT_TRUE(next_pass());
        }
        EXPECT_EQ(published(), want);
        EXPECT_EQ(load_relaxed(entries[3].status), 1);
        EXPECT_EQ(load_relaxed(entries[3].fail_count), miss);
        EXPECT_EQ(k.count(), 0u) << "no status changed";
    }
    ASSERT_TRUE(next_pass());
    EXPECT_EQ(load_relaxed(entries[3].status), 0);
    got = k.requests();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].cmd, 382);
    EXPECT_EQ(got[0].data[3], 0);
    // Echo requests still go to the silent receiver, with seq moving on; UDP
    // probes no longer.
    std::vector<uint16_t> seqs;
    for (const bytes &p : w.of(1, gone_at)) {
        if (load_be32(&p[16]) == ip_d) {
            seqs.push_back(load_be16(&p[26]));
        }
    }
    ASSERT_GE(seqs.size(), 4u);
    for (size_t i = 0; i < seqs.size(); ++i) {
        EXPECT_EQ(seqs[i], i + 2);
    }
    for (const bytes &p : w.of(17, missing_from)) {
        EXPECT_NE(load_be32(&p[16]), ip_d);
    }

    // --- stop: both threads end with status 0 within about a second
    const auto t0 = std::chrono::steady_clock::now();
    th.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(2000));
    EXPECT_EQ(recv_thread_status.load(), 0);
    EXPECT_EQ(send_thread_status.load(), 0);
    for (int fd : listeners) {
        close(fd);
    }
}

}  // namespace
