// Stops at awkward moments: SIGTERM while the send thread is inside a
// refresh sequence, SIGTERM while a TERMINATE's stop is in its pause, and
// TERMINATE while a silent client holds the control loop.  Each ends the
// daemon with status 0 within a bound, its lock released.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <memory>
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

class fault_signal : public world_test {
   protected:
    // The daemon is gone with status 0, and nobody holds the lock.
    static void expect_clean_end(pid_t pid, milliseconds limit) {
        EXPECT_EQ(tw_test::wait_exit(pid, limit), 0);
        EXPECT_TRUE(tw_test::lock_is_free());
    }
};

TEST_F(fault_signal, sigterm_during_a_refresh_sequence) {
    // 308 is answered slowly, so the send thread is caught inside the sequence.
    keelson->set_reply(308, {.delay = milliseconds(4000)});
    const pid_t pid = start_daemon_watching();
    ASSERT_NE(pid, 0);
    ASSERT_TRUE(tw_test::wait_until(
        [&] {
            for (const auto &r : keelson->requests()) {
                if (r.cmd == 308) {
                    return true;
                }
            }
            return false;
        },
        seconds(20)));
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    expect_clean_end(pid, milliseconds(8000));
}

TEST_F(fault_signal, sigterm_during_the_pause_of_a_terminate) {
    const pid_t pid = start_daemon_watching();
    ASSERT_NE(pid, 0);
    auto terminate =
        std::async(std::launch::async, [] { return tw_test::exchange(4, 0, milliseconds(8000)); });
    // Inside the one-second pause of the stop that TERMINATE runs.
    std::this_thread::sleep_for(milliseconds(400));
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    tw_test::reply r = terminate.get();
    // Either stop may end the process first: the reply is status 0 or none.
    if (r.got > 0) {
        EXPECT_TRUE(r.whole());
        EXPECT_EQ(r.msg.cmd, 0);
    }
    expect_clean_end(pid, milliseconds(8000));
}

TEST_F(fault_signal, terminate_while_a_silent_client_holds_the_loop) {
    const pid_t pid = start_daemon_watching();
    ASSERT_NE(pid, 0);
    int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, tw_test::control_path, sizeof a.sun_path - 1);
    ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    std::this_thread::sleep_for(milliseconds(200));
    const auto t0 = std::chrono::steady_clock::now();
    tw_test::reply r = tw_test::exchange(4, 0, milliseconds(10000));
    const auto took = std::chrono::steady_clock::now() - t0;
    close(silent);
    // The silent client's hold is bounded; TERMINATE is served after it.
    EXPECT_TRUE(r.whole());
    EXPECT_EQ(r.msg.cmd, 0);
    EXPECT_LT(took, seconds(6));
    expect_clean_end(pid, milliseconds(5000));
    EXPECT_FALSE(tw_test::exists(tw_test::control_path));
}

}  // namespace
