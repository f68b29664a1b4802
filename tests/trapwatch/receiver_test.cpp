// The reply receiver on crafted packets (recv_handle_packet), and the thread's
// own set-up and stop.
#include "trapwatch/receiver.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/packet.h"
#include "tests/support/keelson_text.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"
#include "util/bytes.h"
#include "util/state.h"
#include "util/trace.h"

namespace {

using std::chrono::milliseconds;
using packet = std::array<uint8_t, recv_buf_len>;
using rows = std::vector<int>;
constexpr size_t icmp = echo_pkt::ip_hdr_len;  // the ICMP message behind a bare IPv4 header
constexpr uint32_t twin_ip = 0xCB007105;       // 203.0.113.5

// An ICMP message of this type as the raw socket delivers it, with the
// fields of an echo reply.  The source address is not judged: left zero.
packet echo(uint8_t type, uint16_t id, uint16_t seq, uint8_t group, uint8_t index) {
    packet p{};
    p[echo_pkt::ip_ver_ihl] = 0x45;
    p[echo_pkt::ip_proto] = 1;
    p[icmp + echo_pkt::icmp_type] = type;
    store_be16(&p[icmp + echo_pkt::icmp_id], id);
    store_be16(&p[icmp + echo_pkt::icmp_seq], seq);
    p[icmp + echo_pkt::icmp_group] = group;
    p[icmp + echo_pkt::icmp_index] = index;
    return p;
}

// A destination-unreachable report quoting a datagram sent to ip:port.
packet unreachable(uint8_t code, uint8_t proto, uint32_t ip, uint16_t port) {
    packet p = echo(3, 0, 0, 0, 0);
    p[icmp + echo_pkt::icmp_code] = code;
    uint8_t *quoted = &p[icmp + 8];
    quoted[echo_pkt::ip_ver_ihl] = 0x45;
    quoted[echo_pkt::ip_proto] = proto;
    store_be32(quoted + echo_pkt::ip_dst, ip);
    store_be16(quoted + echo_pkt::ip_hdr_len + 2, port);  // the UDP destination port
    return p;
}

class receiver_test : public testing::Test {
   protected:
    // Row r: 198.51.100.r on port 16200 + group, seq 0x100 + r.  Rows 3
    // (group 0) and 19 (group 2) are twins at 203.0.113.5:16200; row 27
    // (group 3) has that address on its own group's port.
    void SetUp() override {
        std::memset(entries.data(), 0, sizeof entries);
        for (int r = 0; r < tw_rows; ++r) {
            entry_t &e = entries[static_cast<size_t>(r)];
            e.group = static_cast<uint8_t>(r / 8);
            e.index = static_cast<uint8_t>(r % 8);
            e.port = static_cast<uint16_t>(16200 + r / 8);
            e.ip = 0xC6336400u + static_cast<uint32_t>(r);
            e.seq = static_cast<uint16_t>(0x0100 + r);
        }
        for (int r : {3, 19, 27}) {
            entries[static_cast<size_t>(r)].ip = twin_ip;
        }
        entries[19].port = 16200;
        entries[3].has_dups = 1;
        entries[19].is_dup = 1;
        stopping_flag.store(0);
        recv_sock.store(0);
        dbg_level.store(0);  // wrong-reply dumps take 10 ms a line on the console
    }
    static rows with(uint8_t entry_t::*mark, uint8_t value) {
        rows out;
        for (int r = 0; r < tw_rows; ++r) {
            if (entries[static_cast<size_t>(r)].*mark == value) {
                out.push_back(r);
            }
        }
        return out;
    }
    // The one error line the stand-in got, "recv_thread(<line>" then rest.
    void expect_line(const std::string &rest) {
        ASSERT_EQ(k.count(), 1u);
        EXPECT_TRUE(tw_test::text_matches(k.requests()[0].text(), "recv_thread({N}" + rest))
            << k.requests()[0].text();
    }
    keelson_stub k;
};

TEST_F(receiver_test, echo_replies_mark_only_their_own_current_request) {
    struct echo_case {
        const char *name;
        packet p;
        size_t len;
        rows marked;
        const char *line;  // error line after "recv_thread(<line>", if any
    };
    const echo_case cases[] = {
        {"current seq", echo(0, 22, 0x0100 + 42, 5, 2), 84, {42}, nullptr},
        {"twins together", echo(0, 22, 0x0100 + 3, 0, 3), 84, {3, 19}, nullptr},
        {"another identifier", echo(0, 21, 0x0100 + 42, 5, 2), 84, {}, nullptr},
        {"identifier byte-swapped", echo(0, 22 << 8, 0x0100 + 42, 5, 2), 84, {}, nullptr},
        {"index 8", echo(0, 22, 0x0100, 0, 8), 84, {}, "): wrong reply: \n"},
        {"group 11", echo(0, 22, 0x0100, 11, 0), 84, {}, "): wrong reply: \n"},
        {"late: the previous seq",
         echo(0, 22, 0x0100 + 18, 2, 3),
         84,
         {},
         "): wrong reply: entry: 2, ip: 3\n"},
        // Past its end the zeroed buffer is read: identifier 0 is not ours.
        {"24 bytes", echo(0, 22, 0, 0, 0), 24, {}, nullptr},
        {"echo request", echo(8, 22, 0x0100 + 42, 5, 2), 84, {}, nullptr},
        {"time exceeded", echo(11, 22, 0x0100 + 42, 5, 2), 84, {}, nullptr},
        {"redirect", echo(5, 22, 0x0100 + 42, 5, 2), 84, {}, nullptr},
    };
    for (const echo_case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        k.clear();
        entries[0].seq = 0;  // so that only the identifier turns the short one away
        packet p = c.p;
        std::fill(p.begin() + static_cast<std::ptrdiff_t>(c.len), p.end(), 0);
        recv_handle_packet(p.data(), static_cast<ssize_t>(c.len));
        EXPECT_EQ(with(&entry_t::ping_ok, 1), c.marked);
        if (c.line != nullptr) {
            expect_line(c.line);
        } else {
            EXPECT_EQ(k.count(), 0u);
        }
    }
}

TEST_F(receiver_test, a_reply_for_group_11_is_dumped_on_the_console) {
    dbg_level.store(dbg_level_default);
    const size_t before = tw_test::console().size();
    packet p = echo(0, 22, 0x0100, 11, 0);
    for (size_t b = icmp + 10; b < icmp + 24; ++b) {
        p[b] = static_cast<uint8_t>(b);
    }
    recv_handle_packet(p.data(), 84);
    // The 16 bytes from the group byte, behind the daemon's dump header.
    const std::string dump = "0000: 0b 00 1e 1f  20 21 22 23    24 25 26 27  28 29 2a 2b \n";
    ASSERT_TRUE(tw_test::wait_console(dump, milliseconds(3000), before));
    EXPECT_TRUE(
        tw_test::text_matches(tw_test::console().substr(before), "recv_thread({N})\n" + dump))
        << tw_test::console().substr(before);
}

TEST_F(receiver_test, unreachable_reports_clear_only_the_probed_udp_receiver) {
    struct unreach_case {
        uint8_t code, proto;
        uint32_t ip;
        uint16_t port;
        rows cleared;
    };
    const uint32_t ip = entries[50].ip;  // group 6: port 16206
    const unreach_case cases[] = {
        {1, 17, ip, 16206, {50}},
        {3, 17, ip, 16206, {50}},
        {3, 6, ip, 16206, {}},           // about TCP
        {3, 17, 0xC0000299, 16206, {}},  // an address nobody holds
        {3, 17, ip, 16209, {}},          // that address, another port
        {3, 17, ip, 0x4E3F, {}},         // the port byte-swapped
        {3, 17, twin_ip, 16200, {3, 19}},
        {3, 17, twin_ip, 16203, {27}},
    };
    for (const unreach_case &c : cases) {
        SCOPED_TRACE(&c - cases);
        for (entry_t &e : entries) {
            e.udp_ok = 1;
        }
        recv_handle_packet(unreachable(c.code, c.proto, c.ip, c.port).data(), 84);
        EXPECT_EQ(with(&entry_t::udp_ok, 0), c.cleared);
    }
    EXPECT_EQ(k.count(), 0u);
}

// Also run big-endian: a width or sign slip in the offsets shows there.
TEST_F(receiver_test, garbage_of_every_length_changes_nothing_but_the_marks) {
    auto without_marks = [] {
        std::array<entry_t, tw_rows> t = entries;
        for (entry_t &e : t) {
            e.ping_ok = e.udp_ok = 0;
        }
        return t;
    };
    const auto table = without_marks();
    std::mt19937 rng(20261205);
    for (size_t len = 0; len <= recv_buf_len; ++len) {
        packet random{}, ones{};
        for (size_t b = 0; b < len; ++b) {
            random[b] = static_cast<uint8_t>(rng());
            ones[b] = 0xFF;
        }
        for (const packet &base : {random, ones}) {
            recv_handle_packet(base.data(), static_cast<ssize_t>(len));
            // Random bytes rarely look like ICMP: force both types through too.
            for (uint8_t type : {uint8_t{0}, uint8_t{3}}) {
                packet q = base;
                q[icmp + echo_pkt::icmp_type] = type;
                store_be16(&q[icmp + echo_pkt::icmp_id], echo_pkt::identifier);
                recv_handle_packet(q.data(), static_cast<ssize_t>(len));
            }
        }
    }
    const auto after = without_marks();
    EXPECT_EQ(0, std::memcmp(after.data(), table.data(), sizeof table));
}

TEST_F(receiver_test, stop_ends_the_thread_with_status_0_and_no_error_line) {
    std::strcpy(mgmt_if_ip, "127.0.0.1");
    recv_thread_status.store(-1);
    std::thread t([] { recv_thread(); });
    ASSERT_TRUE(tw_test::wait_until([] { return recv_sock.load() != 0; }, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(100));  // into its blocking receive
    const auto t0 = std::chrono::steady_clock::now();
    stopping_flag.store(1);
    const int fd = recv_sock.exchange(0);
    shutdown(fd, SHUT_RDWR);
    const bool ended =
        tw_test::wait_until([] { return recv_thread_status.load() == 0; }, milliseconds(2000));
    ended ? t.join() : t.detach();
    // Closed once the thread has ended: the shutdown is what wakes the receive,
    // and ThreadSanitizer counts a close under a blocked receive as a race.
    close(fd);
    EXPECT_TRUE(ended);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(1500));
    EXPECT_EQ(k.count(), 0u);
}

TEST_F(receiver_test, bind_to_an_address_not_held_gives_117_and_leaves_no_socket) {
    std::strcpy(mgmt_if_ip, "192.0.2.77");
    const int fds = tw_test::count_open_fds();
    EXPECT_EQ(recv_thread(), -117);
    EXPECT_EQ(recv_thread_status.load(), -117);
    EXPECT_EQ(recv_sock.load(), 0);
    expect_line("): bind ping ping socked failed: \"Cannot assign requested address\"\n\r");
    // The stand-in may still be closing its side of the log exchange.
    EXPECT_TRUE(
        tw_test::wait_until([&] { return tw_test::count_open_fds() == fds; }, milliseconds(1000)));
}

}  // namespace
