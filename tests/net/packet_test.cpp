// Probe packets: known checksums, and a whole echo request compared with one
// assembled here byte by byte.
#include <arpa/inet.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "net/packet.h"
#include "util/cpu.h"

namespace {

const uint8_t abc[] = {'a', 'b', 'c'};

// The checksum of the reference: 16-bit words summed in plain arithmetic.
uint16_t reference_cksum(const uint8_t *p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        sum += (i % 2 == 0) ? static_cast<uint32_t>(p[i]) * 256u : p[i];
    }
    while (sum > 0xffff) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum & 0xffff);
}

}  // namespace

TEST(in_cksum, known_values_and_odd_lengths) {
    EXPECT_EQ(in_cksum(abc, 3), 0x3b9d);
    EXPECT_EQ(in_cksum(abc, 0), 0xffff);
    EXPECT_EQ(in_cksum(abc, -4), 0xffff);
    const uint8_t one[] = {0x01};
    EXPECT_EQ(in_cksum(one, 1), 0xfeff);
    // 0xFF-filled input of every length up to 64 agrees with the reference.
    std::array<uint8_t, 64> ff;
    ff.fill(0xff);
    for (int n = 1; n <= 64; ++n) {
        EXPECT_EQ(in_cksum(ff.data(), n), reference_cksum(ff.data(), static_cast<size_t>(n))) << n;
    }
}

TEST(ip_header, probe_from_10_0_0_1_to_10_0_0_2) {
    uint8_t pkt[echo_pkt::total_len] = {};
    prepare_ip_hdr_first_stage(pkt, 84, 0x0a000001);
    EXPECT_EQ(prepare_ip_hdr_second_stage(pkt, 0x0a000002), 0x66a7);
    const uint8_t want[20] = {0x45, 0x00, 0x00, 0x54, 0x00, 0x00, 0x00, 0x00, 0x40, 0x01,
                              0x66, 0xa7, 0x0a, 0x00, 0x00, 0x01, 0x0a, 0x00, 0x00, 0x02};
    EXPECT_EQ(std::memcmp(pkt, want, sizeof want), 0);
    EXPECT_EQ(in_cksum(pkt, 20), 0);  // a valid header sums to zero
}

TEST(icmp_header, checksums_cover_sequence_and_payload) {
    uint8_t msg[echo_pkt::icmp_len] = {};
    prepare_icmp_hdr_first_stage(msg, 22);
    uint16_t seq = 0;
    EXPECT_EQ(prepare_icmp_hdr_second_stage(msg, &seq), 0xf7e8);
    EXPECT_EQ(seq, 1);
    EXPECT_EQ(msg[6], 0x00);
    EXPECT_EQ(msg[7], 0x01);
    EXPECT_EQ(msg[2], 0xf7);
    EXPECT_EQ(msg[3], 0xe8);

    seq = 0;
    msg[8] = 3;
    msg[9] = 5;
    EXPECT_EQ(prepare_icmp_hdr_second_stage(msg, &seq), 0xf4e3);
}

TEST(icmp_header, sequence_wraps_from_65535_to_0) {
    uint8_t msg[echo_pkt::icmp_len] = {};
    prepare_icmp_hdr_first_stage(msg, 22);
    uint16_t seq = 65535;
    prepare_icmp_hdr_second_stage(msg, &seq);
    EXPECT_EQ(seq, 0);
    EXPECT_EQ(msg[6], 0);
    EXPECT_EQ(msg[7], 0);
    EXPECT_EQ(in_cksum(msg, 64), 0);
}

TEST(echo_request, whole_packet_matches_one_built_by_hand) {
    // Group 9, index 6, from 198.51.100.7 to 203.0.113.200, sequence 0x1233 -> 0x1234.
    uint8_t pkt[echo_pkt::total_len];
    std::memset(pkt, 0xee, sizeof pkt);
    std::memset(pkt, 0, sizeof pkt);
    prepare_ip_hdr_first_stage(pkt, 84, 0xc6336407);
    prepare_icmp_hdr_first_stage(pkt + 20, 22);
    prepare_ip_hdr_second_stage(pkt, 0xcb0071c8);
    pkt[28] = 9;
    pkt[29] = 6;
    uint16_t seq = 0x1233;
    prepare_icmp_hdr_second_stage(pkt + 20, &seq);

    uint8_t want[84] = {0x45, 0, 0, 84, 0, 0, 0, 0, 64, 1, 0, 0, 198, 51, 100, 7, 203, 0, 113, 200,
                        8,    0, 0, 0,  0, 22, 0x12, 0x34, 9, 6};
    uint16_t ipsum = reference_cksum(want, 20);
    want[10] = static_cast<uint8_t>(ipsum >> 8);
    want[11] = static_cast<uint8_t>(ipsum);
    uint16_t icmpsum = reference_cksum(want + 20, 64);
    want[22] = static_cast<uint8_t>(icmpsum >> 8);
    want[23] = static_cast<uint8_t>(icmpsum);
    for (size_t i = 0; i < sizeof want; ++i) {
        EXPECT_EQ(pkt[i], want[i]) << "byte " << i;
    }
}

TEST(sprint_ip, formats_most_significant_octet_first) {
    char buf[16];
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(sprint_ip(buf, 0xC0A80101), 11);
    EXPECT_STREQ(buf, "192.168.1.1");
    EXPECT_EQ(sprint_ip(buf, 0), 7);
    EXPECT_STREQ(buf, "0.0.0.0");
    EXPECT_EQ(sprint_ip(buf, 0xFFFFFFFF), 15);
    EXPECT_STREQ(buf, "255.255.255.255");
}

TEST(net_set_dist_addr, fills_family_address_and_port_in_network_order) {
    sockaddr_in a;
    std::memset(&a, 0x5a, sizeof a);
    EXPECT_EQ(net_set_dist_addr(&a, "192.0.2.10", 0x1234), 0);
    EXPECT_EQ(a.sin_family, AF_INET);
    const auto *addr = reinterpret_cast<const uint8_t *>(&a.sin_addr);
    EXPECT_EQ(addr[0], 192);
    EXPECT_EQ(addr[3], 10);
    const auto *port = reinterpret_cast<const uint8_t *>(&a.sin_port);
    EXPECT_EQ(port[0], 0x12);
    EXPECT_EQ(port[1], 0x34);
    EXPECT_EQ(a.sin_zero[0], 0x5a);  // the rest is left as it was
}

TEST(net_set_dist_addr, bad_input_ends_the_process_with_code_1) {
    sockaddr_in a;
    EXPECT_EXIT(net_set_dist_addr(&a, "10.0.0.256", 0), testing::ExitedWithCode(1),
                "^10\\.0\\.0\\.256 is not a valid IP address\n$");
    EXPECT_EXIT(net_set_dist_addr(nullptr, "10.0.0.1", 0), testing::ExitedWithCode(1),
                "^sockaddr_in is NULL: .*\n$");
}

TEST(bind_thread_to_cpu, pins_and_tolerates_a_processor_beyond_the_set) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) {
        GTEST_SKIP() << "one processor: binding does nothing";
    }
    cpu_set_t before;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof before, &before), 0);

    EXPECT_EQ(bind_thread_to_cpu(1024, pthread_self()), 0);
    cpu_set_t after;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &after));  // the empty set was refused

    EXPECT_EQ(bind_thread_to_cpu(1, pthread_self()), 0);
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof after, &after), 0);
    EXPECT_EQ(CPU_COUNT(&after), 1);
    EXPECT_TRUE(CPU_ISSET(1, &after));
    pthread_setaffinity_np(pthread_self(), sizeof before, &before);
}
