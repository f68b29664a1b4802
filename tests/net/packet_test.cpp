// Probe packets and address helpers against known values and golden bytes.
#include "net/packet.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(in_cksum, known_values_odd_lengths_and_0xff_input) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(in_cksum(abc, 3), 0x3b9d);  // the odd byte is the high byte of its word
    EXPECT_EQ(in_cksum(abc + 2, 1), 0x9cff);
    EXPECT_EQ(in_cksum(abc, 0), 0xffff);
    EXPECT_EQ(in_cksum(abc, -4), 0xffff);
    // Words of 0xffff sum to 0xffff (checksum 0); a trailing 0xff adds 0xff00.
    uint8_t ff[65];
    std::memset(ff, 0xff, sizeof ff);
    for (int n = 1; n <= 65; ++n) {
        EXPECT_EQ(in_cksum(ff, n), n % 2 == 1 ? 0x00ff : 0x0000) << n;
    }
}

TEST(echo_request, whole_packet_matches_golden_bytes) {
    // Group 9, index 6, from 198.51.100.7 to 203.0.113.200, sequence 0x1233 -> 0x1234.
    // The headers start as 0xee, so a byte the builders forget shows.
    uint8_t pkt[echo_pkt::total_len] = {};
    std::memset(pkt, 0xee, 30);
    prepare_ip_hdr_first_stage(pkt, 84, 0xc6336407);
    prepare_icmp_hdr_first_stage(pkt + 20, 22);
    EXPECT_EQ(prepare_ip_hdr_second_stage(pkt, 0xcb0071c8), 0x13a6);
    pkt[28] = 9;
    pkt[29] = 6;
    uint16_t seq = 0x1233;
    EXPECT_EQ(prepare_icmp_hdr_second_stage(pkt + 20, &seq), 0xdcaf);
    EXPECT_EQ(seq, 0x1234);
    const uint8_t want[30] = {0x45, 0,    0,    84,   0,   0,  0,    0,    64,  1,
                              0x13, 0xa6, 198,  51,   100, 7,  203,  0,    113, 200,
                              8,    0,    0xdc, 0xaf, 0,   22, 0x12, 0x34, 9,   6};
    for (size_t i = 0; i < sizeof pkt; ++i) {
        EXPECT_EQ(pkt[i], i < sizeof want ? want[i] : 0) << "byte " << i;
    }
    seq = 0xffff;  // wraps to 0
    prepare_icmp_hdr_second_stage(pkt + 20, &seq);
    EXPECT_EQ(seq + pkt[26] + pkt[27] + in_cksum(pkt + 20, 64), 0);
}

TEST(sprint_ip, every_octet_width_most_significant_first) {
    const std::pair<uint32_t, const char *> cases[] = {
        {0, "0.0.0.0"}, {0x64630a09, "100.99.10.9"}, {0xffffffff, "255.255.255.255"}};
    for (const auto &[ip, text] : cases) {
        char buf[16];
        std::memset(buf, 'z', sizeof buf);
        EXPECT_EQ(sprint_ip(buf, ip), static_cast<int>(std::strlen(text)));
        EXPECT_STREQ(buf, text);
    }
}

TEST(net_set_dist_addr, fills_network_order_or_ends_the_process) {
    sockaddr_in a;
    std::memset(&a, 0x5a, sizeof a);
    EXPECT_EQ(net_set_dist_addr(&a, "192.0.2.10", 0x1234), 0);
    const uint8_t port[2] = {0x12, 0x34};
    const uint8_t addr[4] = {192, 0, 2, 10};
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_EQ(std::memcmp(&a.sin_port, port, 2) | std::memcmp(&a.sin_addr, addr, 4), 0);
    EXPECT_EQ(a.sin_zero[0], 0x5a);  // the rest is left as it was
    EXPECT_EXIT(net_set_dist_addr(&a, "10.0.0.256", 0), testing::ExitedWithCode(1),
                "^10\\.0\\.0\\.256 is not a valid IP address\n$");
    EXPECT_EXIT(net_set_dist_addr(nullptr, "10.0.0.1", 0), testing::ExitedWithCode(1),
                "^sockaddr_in is NULL: .*\n$");
}
