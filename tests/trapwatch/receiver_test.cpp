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
#include <thread>

#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"
#include "util/state.h"
#include "util/trace.h"

namespace {

using std::chrono::milliseconds;
using packet = std::array<uint8_t, recv_buf_len>;

constexpr uint16_t base_port = 16200;  // group g listens on base_port + g

void put16(packet &p, size_t at, uint16_t v) {
    p[at] = static_cast<uint8_t>(v >> 8);
    p[at + 1] = static_cast<uint8_t>(v);
}
void put32(packet &p, size_t at, uint32_t v) {
    put16(p, at, static_cast<uint16_t>(v >> 16));
    put16(p, at + 2, static_cast<uint16_t>(v));
}

// An ICMP message as the raw socket delivers it, behind a bare IPv4 header.
packet icmp(uint8_t type) {
    packet p{};
    p[0] = 0x45;
    p[9] = 1;
    p[20] = type;
    return p;
}

packet echo_reply(uint16_t id, uint16_t seq, uint8_t group, uint8_t index) {
    packet p = icmp(0);
    put32(p, 12, 0xC0000263);  // from 192.0.2.99: the source is not judged
    put16(p, 24, id);
    put16(p, 26, seq);
    p[28] = group;
    p[29] = index;
    p[30] = 0x5A;  // payload past the two bytes is not judged either
    return p;
}

// A destination-unreachable report quoting a datagram sent to ip:port.
packet unreachable(uint8_t code, uint8_t proto, uint32_t ip, uint16_t port) {
    packet p = icmp(3);
    p[21] = code;
    p[28] = 0x45;  // the quoted header
    p[28 + 9] = proto;
    put32(p, 28 + 12, 0xC0000201);
    put32(p, 28 + 16, ip);
    put16(p, 48, 40000);  // quoted source port
    put16(p, 50, port);
    return p;
}

// An error line "recv_thread(<line>)" followed by rest, the line number any.
bool is_line(const std::string &text, const std::string &rest) {
    const size_t end = text.find_first_not_of("0123456789", 12);
    return text.starts_with("recv_thread(") && end > 12 && end != std::string::npos &&
           text.compare(end, std::string::npos, rest) == 0;
}

class receiver_test : public testing::Test {
   protected:
    void SetUp() override {
        for (int r = 0; r < tw_rows; ++r) {
            entry_t &e = entries[static_cast<size_t>(r)];
            std::memset(&e, 0, sizeof e);
            e.group = static_cast<uint8_t>(r / 8);
            e.index = static_cast<uint8_t>(r % 8);
            e.port = static_cast<uint16_t>(base_port + r / 8);
            e.ip = 0xC6336400u + static_cast<uint32_t>(r);  // 198.51.100.r
            e.seq = static_cast<uint16_t>(0x0100 + r);
        }
        stopping_flag.store(0);
        recv_sock.store(0);
        recv_thread_status.store(0);
        dbg_level.store(dbg_level_default);
    }
    void TearDown() override { stopping_flag.store(0); }

    static void handle(const packet &p, ssize_t n = 84) { recv_handle_packet(p.data(), n); }

    // The receive thread never writes anything but the two marks.
    static std::array<entry_t, tw_rows> without_marks() {
        std::array<entry_t, tw_rows> t = entries;
        for (entry_t &e : t) {
            e.ping_ok = 0;
            e.udp_ok = 0;
        }
        return t;
    }
    static int marked(uint8_t entry_t::*mark) {
        int n = 0;
        for (const entry_t &e : entries) {
            n += e.*mark;
        }
        return n;
    }

    // Rows 3 (group 0) and 19 (group 2) are twins; row 27 (group 3) has the
    // same address with its own group's port.
    static void make_twins() {
        const uint32_t ip = 0xCB007105;  // 203.0.113.5
        for (int r : {3, 19, 27}) {
            entries[static_cast<size_t>(r)].ip = ip;
        }
        entries[19].port = entries[3].port;
        entries[3].has_dups = 1;
        entries[19].is_dup = 1;
    }

    keelson_stub k;
};

// --- echo replies and unreachable reports -------------------------------------

TEST_F(receiver_test, echo_replies_mark_only_their_own_current_request) {
    struct echo_case {
        const char *name;
        uint8_t type;
        uint16_t id, seq;
        uint8_t group, index;
        ssize_t len;
        bool marks;        // row 42, group 5 index 2, gets its mark
        const char *line;  // error line after "recv_thread(<line>", if any
    };
    const echo_case cases[] = {
        {"current seq", 0, 22, 0x0100 + 42, 5, 2, 84, true, nullptr},
        {"another identifier", 0, 21, 0x0100 + 42, 5, 2, 84, false, nullptr},
        {"identifier byte-swapped", 0, 22 << 8, 0x0100 + 42, 5, 2, 84, false, nullptr},
        {"index 8", 0, 22, 0x0100, 0, 8, 84, false, "): wrong reply: \n"},
        {"late: the previous seq", 0, 22, 0x0100 + 19 - 1, 2, 3, 84, false,
         "): wrong reply: entry: 2, ip: 3\n"},
        // Past its end the zeroed buffer is read: identifier 0 is not ours.
        {"24 bytes", 0, 0, 0, 0, 0, 24, false, nullptr},
        {"echo request", 8, 22, 0, 0, 0, 84, false, nullptr},
        {"time exceeded", 11, 22, 0, 0, 0, 84, false, nullptr},
        {"redirect", 5, 22, 0, 0, 0, 84, false, nullptr},
    };
    for (const echo_case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        dbg_level.store(0);  // keep wrong-reply dumps off the console
        k.clear();
        entries[0].seq = 0;  // so that only the identifier turns the short one away
        packet p = echo_reply(c.id, c.seq, c.group, c.index);
        p[20] = c.type;
        std::fill(p.begin() + c.len, p.end(), 0);
        handle(p, c.len);
        EXPECT_EQ(marked(&entry_t::ping_ok), c.marks ? 1 : 0);
        EXPECT_EQ(entries[42].ping_ok, c.marks ? 1 : 0);
        ASSERT_EQ(k.count(), c.line ? 1u : 0u);
        if (c.line) {
            EXPECT_TRUE(is_line(k.requests()[0].text(), c.line)) << k.requests()[0].text();
        }
    }
}

TEST_F(receiver_test, echo_reply_for_group_11_is_reported_and_dumped) {
    const size_t before = tw_test::console().size();
    packet p = echo_reply(22, 0x0100, 11, 0);
    for (size_t b = 30; b < 44; ++b) {
        p[b] = static_cast<uint8_t>(b);
    }
    handle(p);
    EXPECT_EQ(marked(&entry_t::ping_ok), 0);
    ASSERT_EQ(k.count(), 1u);
    EXPECT_TRUE(is_line(k.requests()[0].text(), "): wrong reply: \n")) << k.requests()[0].text();
    // The 16 bytes from the group byte, in the daemon's dump layout.
    const std::string dump = "0000: 0b 00 1e 1f  20 21 22 23    24 25 26 27  28 29 2a 2b \n";
    ASSERT_TRUE(tw_test::wait_console(dump, milliseconds(3000), before));
    const std::string out = tw_test::console().substr(before);
    const size_t header = out.find("recv_thread(");
    ASSERT_NE(header, std::string::npos) << out;
    EXPECT_TRUE(is_line(out.substr(header, out.find('\n', header) + 1 - header), ")\n")) << out;
    EXPECT_EQ(out.compare(out.find('\n', header) + 1, dump.size(), dump), 0) << out;
}

TEST_F(receiver_test, unreachable_reports_clear_only_the_probed_udp_receiver) {
    struct unreach_case {
        uint8_t code, proto;
        uint32_t ip;
        uint16_t port;
        bool clears;  // row 50's mark, when about 198.51.100.50 on its port
    };
    const uint32_t ip = entries[50].ip;
    const uint16_t port = entries[50].port;
    const unreach_case cases[] = {
        {1, 17, ip, port, true},
        {3, 17, ip, port, true},
        {3, 6, ip, port, false},                  // about TCP
        {3, 17, 0xC0000299, port, false},         // an address nobody holds
        {3, 17, ip, base_port + 9, false},        // that address, another port
        {3, 17, ip, uint16_t(port << 8), false},  // the port byte-swapped
    };
    for (const unreach_case &c : cases) {
        SCOPED_TRACE(&c - cases);
        for (entry_t &e : entries) {
            e.udp_ok = 1;
        }
        handle(unreachable(c.code, c.proto, c.ip, c.port));
        EXPECT_EQ(entries[50].udp_ok, c.clears ? 0 : 1);
        EXPECT_EQ(marked(&entry_t::udp_ok), tw_rows - (c.clears ? 1 : 0));
    }
    EXPECT_EQ(k.count(), 0u);
}

TEST_F(receiver_test, twins_are_marked_and_cleared_together_but_not_another_port) {
    make_twins();
    // The lookup gives the first row in table order.
    EXPECT_EQ(look_for_entry(entries[3].ip, entries[3].port), &entries[3]);
    EXPECT_EQ(look_for_entry(entries[27].ip, entries[27].port), &entries[27]);
    EXPECT_EQ(look_for_entry(entries[87].ip, entries[87].port), &entries[87]);
    EXPECT_EQ(look_for_entry(entries[87].ip, entries[79].port), nullptr);
    EXPECT_STREQ(prnt_ip, "198.51.100.87");

    using marks = std::array<int, 3>;
    auto twins = [](uint8_t entry_t::*m) {
        return marks{entries[3].*m, entries[19].*m, entries[27].*m};
    };
    handle(echo_reply(22, entries[3].seq, 0, 3));
    EXPECT_EQ(twins(&entry_t::ping_ok), (marks{1, 1, 0}));
    EXPECT_EQ(marked(&entry_t::ping_ok), 2);

    for (entry_t &e : entries) {
        e.udp_ok = 1;
    }
    handle(unreachable(3, 17, entries[19].ip, entries[19].port));
    EXPECT_EQ(twins(&entry_t::udp_ok), (marks{0, 0, 1}));
    handle(unreachable(3, 17, entries[27].ip, entries[27].port));
    EXPECT_EQ(twins(&entry_t::udp_ok), (marks{0, 0, 0}));
    EXPECT_EQ(marked(&entry_t::udp_ok), tw_rows - 3);
}

// --- garbage ---------------------------------------------------------------

TEST_F(receiver_test, garbage_of_every_length_changes_nothing_but_the_marks) {
    dbg_level.store(0);  // wrong-reply dumps would take 10 ms per piece
    const auto table = without_marks();
    std::mt19937 rng(20261205);
    for (int len = 0; len <= recv_buf_len; ++len) {
        const auto ulen = static_cast<size_t>(len);
        packet p{};
        for (size_t b = 0; b < ulen; ++b) {
            p[b] = static_cast<uint8_t>(rng());
        }
        packet f{};
        std::fill(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(ulen), 0xFF);
        for (const packet &base : {p, f}) {
            handle(base, len);
            // Random bytes rarely look like ICMP: force both types through too.
            for (uint8_t type : {uint8_t{0}, uint8_t{3}}) {
                packet q = base;
                q[20] = type;
                put16(q, 24, 22);
                handle(q, len);
            }
        }
    }
    const auto after = without_marks();
    EXPECT_EQ(0, std::memcmp(after.data(), table.data(), sizeof table));
}

// --- the thread ------------------------------------------------------------

TEST_F(receiver_test, stop_ends_the_thread_with_status_0_and_no_error_line) {
    std::strcpy(mgmt_if_ip, "127.0.0.1");
    recv_thread_status.store(-1);
    std::thread t([] { recv_thread(); });
    ASSERT_TRUE(tw_test::wait_until([] { return recv_sock.load() != 0; }, milliseconds(3000)));
    // Let it block in the receive before the stop.
    std::this_thread::sleep_for(milliseconds(100));

    const auto t0 = std::chrono::steady_clock::now();
    stopping_flag.store(1);
    const int fd = recv_sock.exchange(0);
    ASSERT_NE(fd, 0);
    shutdown(fd, SHUT_RDWR);
    const bool ended =
        tw_test::wait_until([] { return recv_thread_status.load() == 0; }, milliseconds(2000));
    t.join();
    // Closed once the thread has ended: the shutdown is what wakes the receive,
    // and ThreadSanitizer counts a close under a blocked receive as a race.
    close(fd);
    EXPECT_TRUE(ended);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(1500));
    EXPECT_EQ(recv_sock.load(), 0);
    EXPECT_EQ(k.count(), 0u) << k.requests()[0].text();
}

TEST_F(receiver_test, bind_to_an_address_not_held_gives_117_and_leaves_no_socket) {
    std::strcpy(mgmt_if_ip, "192.0.2.77");
    const int fds = tw_test::count_open_fds();
    EXPECT_EQ(recv_thread(), -117);
    EXPECT_EQ(recv_thread_status.load(), -117);
    EXPECT_EQ(recv_sock.load(), 0);
    ASSERT_EQ(k.count(), 1u);
    // The stand-in may still be closing its side of the log exchange.
    EXPECT_TRUE(
        tw_test::wait_until([&] { return tw_test::count_open_fds() == fds; }, milliseconds(1000)));
    EXPECT_TRUE(is_line(k.requests()[0].text(),
                        "): bind ping ping socked failed: \"Cannot assign requested address\"\n\r"))
        << k.requests()[0].text();
}

}  // namespace
