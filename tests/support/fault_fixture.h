// The fixture of the fault tests: a clean world with the receiver network up
// and, unless a test brings its own, a controller stand-in.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <memory>

#include "tests/support/daemon_harness.h"
#include "tests/support/fault_world.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"

namespace tw_fault {

class world_test : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { tw_test::become_subreaper(); }
    void SetUp() override {
        ASSERT_TRUE(tw_test::in_sandbox());
        tw_test::clean_world();
        ASSERT_TRUE(net_up());
        if (start_keelson) {
            keelson = std::make_unique<keelson_stub>();
        }
    }
    void TearDown() override {
        tw_test::clean_world();
        keelson.reset();
        other.reset();
        net_down();
    }
    // The usual opening: row 8's responder running, the daemon started and
    // seen reporting every receiver right, and what it then holds in base.
    // Returns the daemon's pid, 0 (with the reason recorded) on failure.
    pid_t start_watched() {
        other = std::make_unique<other_responder>();
        if (!other->ok()) {
            ADD_FAILURE() << "no responder for row 8";
            return 0;
        }
        const pid_t pid = start_daemon_watching();
        if (pid == 0) {
            ADD_FAILURE() << "the daemon did not start serving";
            return 0;
        }
        if (!wait_matrix(expected(), std::chrono::seconds(20))) {
            ADD_FAILURE() << "never reported right: " << show(get_status().value_or(matrix{}));
            return 0;
        }
        base = measure(pid);
        return pid;
    }
    // Nothing held grows: the same descriptors, memory within the slack.
    void expect_flat(pid_t pid) const {
        const usage now = measure(pid);
        EXPECT_EQ(now.fds, base.fds);
        EXPECT_LE(now.rss_kb, base.rss_kb + rss_slack_kb);
    }
    // First requests (382) of refresh sequences the controller has seen.
    size_t refresh_records() const {
        size_t n = 0;
        if (keelson) {
            for (const auto &r : keelson->requests()) {
                n += r.cmd == 382 ? 1 : 0;
            }
        }
        return n;
    }

    bool start_keelson = true;  // false: the test starts its own controller
    std::unique_ptr<keelson_stub> keelson;
    std::unique_ptr<other_responder> other;
    usage base;
};

}  // namespace tw_fault
