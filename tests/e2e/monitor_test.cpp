// The real daemon, started as a user starts it, probing a small veth network:
// the management address 192.0.2.1 here, and in a namespace of the test's own
// one receiver with a UDP listener on its trap port (192.0.2.10), one that
// refuses the port (192.0.2.11) and one address nobody holds (192.0.2.12).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/daemon_harness.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"

using namespace tw_test;
using std::chrono::milliseconds;

namespace {

constexpr const char *netns = "tw-monitor";
constexpr uint16_t trap_port = 16200;

// A UDP socket bound in the receivers' namespace; the socket stays there
// after the thread that made it has gone back.
int udp_listener_in_netns(const char *ns, const char *ip, uint16_t port) {
    int fd = -1;
    std::thread t([&] {
        int nsfd = open(("/run/netns/" + std::string(ns)).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0) {
            return;
        }
        close(nsfd);
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, ip, &a.sin_addr);
        if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            fd = s;
        } else {
            close(s);
        }
    });
    t.join();
    return fd;
}

class trapwatch_monitor : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { become_subreaper(); }
    void SetUp() override {
        clean_world();
        remove_network();
        const std::string ns = netns;
        ASSERT_EQ(sh("ip netns add " + ns), 0);
        ASSERT_EQ(sh("ip link add tw-m0 type veth peer name tw-r0 netns " + ns), 0);
        ASSERT_EQ(sh("ip addr add 192.0.2.1/24 dev tw-m0 && ip link set tw-m0 up"), 0);
        ASSERT_EQ(sh("ip -n " + ns + " addr add 192.0.2.10/24 dev tw-r0 && ip -n " + ns +
                     " addr add 192.0.2.11/24 dev tw-r0 && ip -n " + ns +
                     " link set tw-r0 up && ip -n " + ns + " link set lo up"),
                  0);
        // Every port-unreachable report must come back, or a refused port
        // would look reachable at random.
        ASSERT_EQ(sh("ip netns exec " + ns +
                     " sysctl -q -w net.ipv4.icmp_ratelimit=0 net.ipv4.icmp_ratemask=6160"),
                  0);
        listener = udp_listener_in_netns(netns, "192.0.2.10", trap_port);
        ASSERT_GE(listener, 0);
        keelson = std::make_unique<keelson_stub>();
    }
    void TearDown() override {
        clean_world();
        if (listener >= 0) {
            close(listener);
        }
        remove_network();
        keelson.reset();
    }
    static void remove_network() {
        sh(std::string("ip netns del ") + netns + " 2>/dev/null");
        sh("ip link del tw-m0 2>/dev/null");
    }

    static void write_config(const std::vector<std::string> &group0) {
        write_file(config_path, config_text("192.0.2.1", {{group0, trap_port}}));
    }

    pid_t start_serving() {
        started s = start_trapwatch();
        EXPECT_EQ(s.launcher_status, 0);
        EXPECT_NE(s.daemon, 0);
        EXPECT_TRUE(wait_serving(milliseconds(8000)));
        return s.daemon;
    }

    // Waits (bounded) until GET_STATUS answers group 0 with want; returns the
    // last codes seen.
    std::vector<uint8_t> wait_group0(const std::vector<uint8_t> &want, milliseconds limit) {
        std::vector<uint8_t> seen;
        wait_until(
            [&] {
                reply r = exchange(1);
                if (!r.whole() || r.msg.cmd != 0) {
                    return false;
                }
                seen.assign(r.msg.data, r.msg.data + 8);
                return seen == want;
            },
            limit);
        return seen;
    }

    // Whole records other than log lines, in arrival order.
    std::vector<keelson_request> commands() const {
        std::vector<keelson_request> out;
        for (const auto &r : keelson->requests()) {
            if (r.whole() && r.cmd != 230) {
                out.push_back(r);
            }
        }
        return out;
    }

    int listener = -1;
    std::unique_ptr<keelson_stub> keelson;
};

}  // namespace

TEST_F(trapwatch_monitor, reachable_refused_and_absent_receivers_read_2_1_0) {
    write_config({"192.0.2.10", "192.0.2.11", "192.0.2.12"});
    start_serving();
    // Two cycles of five seconds, and some slack.
    std::vector<uint8_t> want{2, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(wait_group0(want, milliseconds(14000)), want);
    // Stays so over the next cycle.
    std::this_thread::sleep_for(milliseconds(5000));
    reply r = exchange(1);
    ASSERT_TRUE(r.whole());
    EXPECT_EQ(std::vector<uint8_t>(r.msg.data, r.msg.data + 8), want);
    for (size_t i = 8; i < sizeof r.msg.data; ++i) {
        ASSERT_EQ(r.msg.data[i], 0) << i;
    }
    EXPECT_TRUE(commands().empty());  // the controller has not announced itself
}

TEST_F(trapwatch_monitor, after_keelson_start_the_controller_gets_the_refresh_sequence) {
    write_config({"192.0.2.10", "192.0.2.11", "192.0.2.12"});
    start_serving();
    ASSERT_EQ(exchange(5).msg.cmd, 0);  // KEELSON_START

    // 382(1), 308, 407, with the 2 s wait after a successful 308, then 382(0).
    ASSERT_TRUE(wait_until([&] { return commands().size() >= 4; }, milliseconds(16000)));
    std::this_thread::sleep_for(milliseconds(500));
    auto got = commands();
    ASSERT_EQ(got.size(), 4u);
    const int32_t cmds[] = {382, 308, 407, 382};
    const int32_t params[] = {1, 1, 1, 0};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(got[i].cmd, cmds[i]) << i;
        EXPECT_EQ(got[i].param, params[i]) << i;
        EXPECT_EQ(got[i].data[0], 2) << i;
        EXPECT_EQ(got[i].data[1], 1) << i;
        EXPECT_EQ(got[i].data[2], 0) << i;
    }
    auto pause = std::chrono::duration<double>(got[2].time - got[1].time).count();
    EXPECT_GT(pause, 1.8);
}

TEST_F(trapwatch_monitor, restart_with_a_changed_file_is_picked_up_and_answered_with_407_alone) {
    write_config({"192.0.2.10", "192.0.2.11", "192.0.2.12"});
    start_serving();
    ASSERT_EQ(exchange(5).msg.cmd, 0);
    ASSERT_TRUE(wait_until([&] { return commands().size() >= 4; }, milliseconds(16000)));
    std::vector<uint8_t> before{2, 1, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(wait_group0(before, milliseconds(6000)), before);  // the controller fetches
    keelson->clear();

    // The receivers trade places in the list.
    write_config({"192.0.2.11", "192.0.2.10", "192.0.2.12"});
    ASSERT_EQ(exchange(0, 0).msg.cmd, 0);  // RESTART after an SNMP apply
    ASSERT_TRUE(wait_until([&] { return !commands().empty(); }, milliseconds(12000)));
    std::this_thread::sleep_for(milliseconds(3000));
    auto got = commands();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].cmd, 407);
    EXPECT_EQ(got[0].data[0], 1);
    EXPECT_EQ(got[0].data[1], 2);
    EXPECT_EQ(got[0].data[2], 0);
    std::vector<uint8_t> after{1, 2, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(wait_group0(after, milliseconds(6000)), after);
}
