// The daemon against a controller daemon that misbehaves: absent, closing at
// once, answering short, answering with failure statuses, answering after
// seconds.  One daemon run goes through every case; in each the refresh is
// armed and log lines are provoked, and the daemon must keep serving
// GET_STATUS with the right matrix while its descriptors and memory stay flat.
#include <gtest/gtest.h>

#include <chrono>
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

class fault_controller : public world_test {
   protected:
    fault_controller() { start_keelson = false; }  // each case brings its own

    // Arms the refresh with a difference in group 0 (row 3 changes) and
    // sends a few packets that the receiver logs as wrong replies.
    void provoke(bool flap_present, bool log_lines) {
        ASSERT_TRUE(set_flap(flap_present));
        ASSERT_TRUE(tw_test::exchange(0, 1).whole());  // RESTART, set-default
        if (log_lines) {
            raw_sender tx;
            ASSERT_TRUE(tx.ok());
            uint8_t pkt[256];
            for (uint32_t i = 0; i < 40; ++i) {
                // Kinds 3 and 4 of the mix: logged as wrong replies.
                uint32_t k = i / 2 * 8 + 3 + i % 2;
                tx.send(pkt, malformed_packet(k, pkt, sizeof pkt));
            }
        }
    }

    // GET_STATUS keeps answering during d; returns the number of failures.
    int poll_for(std::chrono::milliseconds d) {
        int failures = 0;
        auto end = std::chrono::steady_clock::now() + d;
        while (std::chrono::steady_clock::now() < end) {
            if (!get_status(milliseconds(3000))) {
                ++failures;
            }
            std::this_thread::sleep_for(milliseconds(250));
        }
        return failures;
    }
};

TEST(fault_controller_world, runs_in_the_sandbox) {
    EXPECT_TRUE(tw_test::in_sandbox());
}

TEST_F(fault_controller, every_misbehaviour_in_turn_leaves_the_daemon_serving_and_flat) {
    keelson = std::make_unique<keelson_stub>();
    const pid_t pid = start_watched();
    ASSERT_NE(pid, 0);
    ASSERT_GT(base.fds, 0);

    struct phase {
        const char *name;
        bool present;
        keelson_reply reply;
        bool log_lines;
        milliseconds length;
    };
    keelson_reply close_at_once{.how = keelson_reply::kind::close};
    keelson_reply short_answer{.how = keelson_reply::kind::short_answer, .short_len = 37};
    keelson_reply garbage{.how = keelson_reply::kind::answer, .status = -5};
    keelson_reply slow{.delay = milliseconds(3000)};
    const phase phases[] = {
        {"controller absent", false, {}, true, milliseconds(11000)},
        {"accepting and closing at once", true, close_at_once, true, milliseconds(11000)},
        {"answering short", true, short_answer, true, milliseconds(11000)},
        {"answering a failure status", true, garbage, true, milliseconds(11000)},
        {"answering after seconds", true, slow, false, milliseconds(16000)},
    };
    bool flap = true;
    for (const phase &p : phases) {
        SCOPED_TRACE(p.name);
        if (p.present) {
            if (!keelson) {
                keelson = std::make_unique<keelson_stub>();
            }
            keelson->set_default_reply(p.reply);
        } else {
            keelson.reset();
        }
        const size_t before = refresh_records();
        flap = !flap;
        provoke(flap, p.log_lines);
        EXPECT_EQ(poll_for(p.length), 0) << "GET_STATUS went unanswered";
        EXPECT_TRUE(wait_matrix(expected(flap), seconds(25)))
            << show(get_status().value_or(matrix{}));
        if (p.present) {
            EXPECT_GT(refresh_records(), before) << "no refresh was attempted";
        }
        const usage now = measure(pid);
        // One exchange may be in flight at any moment.
        EXPECT_LE(now.fds, base.fds + 1);
        EXPECT_LE(now.rss_kb, base.rss_kb + rss_slack_kb);
    }

    // A well-behaved controller again: nothing is left over from the faults.
    keelson->reset_replies();
    std::this_thread::sleep_for(seconds(6));
    ASSERT_TRUE(set_flap(true));
    EXPECT_TRUE(wait_matrix(expected(), seconds(25)));
    expect_flat(pid);
    EXPECT_EQ(kill(pid, 0), 0);
}

}  // namespace
