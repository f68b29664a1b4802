// The configuration file going bad under a running daemon: truncated, missing
// or a megabyte of junk, each followed by RESTART.  The table is then empty
// (no echo request leaves), GET_STATUS keeps answering the last matrix, and
// the next good file with RESTART brings the receivers back.  Descriptors
// and memory stay flat although the failed read is retried every cycle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
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

std::string junk_megabyte() {
    // Lines with "=" and unknown keys, so that the reader goes through all of it.
    std::string s;
    uint32_t x = 7;
    while (s.size() < 1024 * 1024) {
        x = x * 1103515245u + 12345u;
        s += "junk" + std::to_string(x % 977) + "=" +
             std::string(x % 300, static_cast<char>('!' + x % 90)) + "\n";
    }
    return s;
}

class fault_config : public world_test {};

TEST_F(fault_config, bad_files_empty_the_table_until_a_good_restart) {
    const pid_t pid = start_watched();
    ASSERT_NE(pid, 0);

    const std::string good = config();
    struct bad {
        const char *name;
        bool present;
        std::string text;
    };
    const bad cases[] = {
        {"truncated", true, good.substr(0, good.size() / 2)},
        {"missing", false, ""},
        {"a megabyte of junk", true, junk_megabyte()},
    };
    for (const bad &b : cases) {
        SCOPED_TRACE(b.name);
        if (b.present) {
            tw_test::write_file(tw_test::config_path, b.text);
        } else {
            unlink(tw_test::config_path);
        }
        ASSERT_TRUE(tw_test::exchange(0, 0).whole());  // RESTART
        // Give the next cycle's step 0 time to read (and fail), then watch
        // two cycles go by without an echo request.
        std::this_thread::sleep_for(seconds(6));
        const long echoes = rx_echo_requests();
        std::this_thread::sleep_for(seconds(11));
        EXPECT_EQ(rx_echo_requests(), echoes) << "a receiver was probed from an empty table";
        // The last published matrix stands while the re-read keeps failing.
        EXPECT_EQ(get_status(), expected());
        EXPECT_LE(measure(pid).fds, base.fds);

        tw_test::write_file(tw_test::config_path, good);
        ASSERT_TRUE(tw_test::exchange(0, 0).whole());
        EXPECT_TRUE(tw_test::wait_until([&] { return rx_echo_requests() > echoes; }, seconds(12)));
        EXPECT_TRUE(wait_matrix(expected(), seconds(15)));
    }
    expect_flat(pid);
    EXPECT_EQ(kill(pid, 0), 0);
}

}  // namespace
