// The daemon's network side under faults: a flood of 100,000 malformed and
// foreign ICMP packets at the management address, a receiver that flaps
// every cycle, and a receiver that answers from another address.  The real
// receivers stay reported right and the daemon stays flat.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>

#include "tests/support/daemon_harness.h"
#include "tests/support/fault_fixture.h"
#include "tests/support/fault_world.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"

using namespace tw_fault;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

class fault_network : public world_test {};

TEST_F(fault_network, a_flood_of_foreign_packets_changes_nothing) {
    const pid_t pid = start_watched();
    ASSERT_NE(pid, 0);

    raw_sender tx;
    ASSERT_TRUE(tx.ok());
    uint8_t pkt[256];
    std::atomic<int> unanswered{0};
    std::atomic<bool> flooding{true};
    std::thread poller([&] {
        while (flooding) {
            if (!get_status(milliseconds(5000))) {
                ++unanswered;
            }
            std::this_thread::sleep_for(milliseconds(100));
        }
    });
    int sent = 0;
    for (uint32_t i = 0; i < 100000; ++i) {
        sent += tx.send(pkt, malformed_packet(i, pkt, sizeof pkt)) ? 1 : 0;
        if (i % 1000 == 999) {
            std::this_thread::sleep_for(milliseconds(2));  // the veth queue is short
        }
    }
    flooding = false;
    poller.join();
    EXPECT_GT(sent, 99000);
    EXPECT_EQ(unanswered.load(), 0);
    // The out-of-range replies in the flood each cost a paced hex dump on the
    // console, so the receive thread works off its queued backlog for a while;
    // after that the real receivers are reported right, cycle after cycle.
    const auto flood_end = std::chrono::steady_clock::now();
    EXPECT_TRUE(tw_test::wait_until(
        [&] {
            if (get_status() != expected()) {
                std::this_thread::sleep_for(milliseconds(500));
                return false;
            }
            std::this_thread::sleep_for(seconds(6));
            return get_status() == expected();
        },
        seconds(90)))
        << show(get_status().value_or(matrix{}));
    std::printf("recovered %lld s after the flood\n",
                static_cast<long long>(std::chrono::duration_cast<seconds>(
                                           std::chrono::steady_clock::now() - flood_end)
                                           .count()));
    // Every log line the flood caused is a wrong reply; nothing else.
    for (const auto &r : keelson->requests()) {
        if (r.whole() && r.cmd == 230) {
            EXPECT_NE(r.text().find("wrong reply"), std::string::npos) << r.text();
        }
    }
    expect_flat(pid);
    EXPECT_EQ(kill(pid, 0), 0);
}

TEST_F(fault_network, a_receiver_flapping_every_cycle_keeps_its_status) {
    const pid_t pid = start_watched();
    ASSERT_NE(pid, 0);
    // Let the first refresh run its course.
    std::this_thread::sleep_for(seconds(6));
    const size_t refreshes = refresh_records();
    base = measure(pid);

    // Row 3 goes away for one cycle and comes back for the next, in step with
    // the daemon's echo requests (counted in the receivers' namespace).
    bool present = true;
    std::set<uint8_t> codes;
    for (int cycle = 0; cycle < 8; ++cycle) {
        const long echoes = rx_echo_requests();
        ASSERT_TRUE(tw_test::wait_until([&] { return rx_echo_requests() > echoes; }, seconds(9)));
        present = !present;
        ASSERT_TRUE(set_flap(present));
        auto m = get_status();
        ASSERT_TRUE(m.has_value());
        codes.insert((*m)[3]);
        matrix others = *m;
        others[3] = 2;
        EXPECT_EQ(others, expected()) << show(*m);
    }
    ASSERT_TRUE(set_flap(true));
    // The matrix showed both states, but no status changed: no refresh.
    EXPECT_EQ(codes, (std::set<uint8_t>{0, 2}));
    EXPECT_EQ(refresh_records(), refreshes);
    expect_flat(pid);
}

TEST_F(fault_network, a_receiver_answering_from_another_address_is_reachable) {
    // Replies are matched by identifier, sequence and payload, not by source.
    const pid_t pid = start_daemon_watching();
    ASSERT_NE(pid, 0);
    ASSERT_TRUE(wait_matrix(expected(true, false), seconds(20)));
    other = std::make_unique<other_responder>();
    ASSERT_TRUE(other->ok());
    EXPECT_TRUE(wait_matrix(expected(), seconds(15)));
    EXPECT_GT(other->answered(), 0);
}

}  // namespace
