// The SysV init script as the appliance's init runs it: start, stop,
// restart and status of the real daemon in the sandbox, also after the
// daemon ended on a signal and when its control socket has gone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/support/daemon_harness.h"
#include "tests/support/sandbox.h"
#include "tools/ctl_client.h"

namespace {

using namespace std::chrono_literals;

struct run_result {
    int status = -1;
    std::string out;
};

run_result init(const std::string &action) {
    // Sanitizer builds: the daemon's worker threads are never joined by
    // design, so a thread-leak report at its end is no finding.
    std::string cmd = std::string("TSAN_OPTIONS=\"$TSAN_OPTIONS report_thread_leaks=0 ") +
                      "atexit_sleep_ms=0\" TRAPWATCH_DAEMON=" + TW_BINARY_DIR +
                      "/trapwatch/trapwatch TRAPWATCH_CTL=" + TW_BINARY_DIR +
                      "/tools/trapwatchctl timeout 30 sh " + TW_SOURCE_DIR +
                      "/scripts/init.d/trapwatch " + action + " >/run/tw-init.out 2>&1";
    run_result r;
    r.status = tw_test::sh(cmd);
    r.out = tw_test::read_file("/run/tw-init.out");
    unlink("/run/tw-init.out");
    return r;
}

class init_script : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { tw_test::become_subreaper(); }
    void SetUp() override {
        if (std::string(TW_EMULATOR) != "") {
            GTEST_SKIP() << "the script starts the native daemon";
        }
        tw_test::clean_world();
    }
    void TearDown() override {
        init("stop");
        tw_test::clean_world();
    }
};

}  // namespace

TEST_F(init_script, start_status_stop) {
    run_result r = init("status");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "trapwatch: not running\n");

    r = init("start");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("trapwatch: started\n"), std::string::npos) << r.out;
    pid_t holder = ctl_lock_holder();
    ASSERT_GT(holder, 0);

    r = init("status");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "trapwatch: running, version 0.0.12.19, pid " + std::to_string(holder) + "\n");

    r = init("start");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "trapwatch: already running\n");
    EXPECT_EQ(ctl_lock_holder(), holder);

    r = init("stop");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "trapwatch: stopped\n");
    EXPECT_EQ(ctl_lock_holder(), 0);
    EXPECT_FALSE(tw_test::exists(tw_test::control_path));
    EXPECT_EQ(tw_test::wait_exit(holder, 3000ms), 0);

    r = init("stop");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "trapwatch: not running\n");
}

TEST_F(init_script, restart_gives_a_new_daemon) {
    ASSERT_EQ(init("start").status, 0);
    pid_t first = ctl_lock_holder();
    run_result r = init("restart");
    EXPECT_EQ(r.status, 0) << r.out;
    // The daemon's own standard error (controller link failures) may come between.
    size_t stopped = r.out.find("trapwatch: stopped\n");
    EXPECT_NE(stopped, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("trapwatch: started\n", stopped), std::string::npos) << r.out;
    pid_t second = ctl_lock_holder();
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
}

TEST_F(init_script, start_after_a_crash_removes_the_stale_socket) {
    ASSERT_EQ(init("start").status, 0);
    pid_t first = ctl_lock_holder();
    ASSERT_EQ(
        tw_test::sh(std::string(TW_BINARY_DIR) + "/tools/trapwatchctl fault --yes >/dev/null"), 0);
    EXPECT_EQ(tw_test::wait_exit(first, 3000ms), 0);
    ASSERT_TRUE(tw_test::exists(tw_test::control_path));  // left by the signal

    EXPECT_EQ(init("status").status, 3);
    run_result r = init("start");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("trapwatch: started\n"), std::string::npos) << r.out;
    EXPECT_EQ(init("status").status, 0);
}

TEST_F(init_script, stop_falls_back_to_sigterm_when_the_socket_is_gone) {
    ASSERT_EQ(init("start").status, 0);
    pid_t holder = ctl_lock_holder();
    ASSERT_EQ(unlink(tw_test::control_path), 0);

    run_result r = init("status");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find("pid " + std::to_string(holder) + " holds the lock"), std::string::npos)
        << r.out;

    r = init("stop");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "trapwatch: stopped\n");
    EXPECT_EQ(tw_test::wait_exit(holder, 3000ms), 0);
    EXPECT_EQ(ctl_lock_holder(), 0);
}
