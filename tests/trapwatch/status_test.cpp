// The evaluation pass driven directly: the test sets the marks the way the two
// worker threads would, runs check_status and reads the table, the published
// matrix and what the controller stand-in received.
#include "trapwatch/status.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <vector>

#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"
#include "util/state.h"
#include "util/trace.h"

namespace {

using std::chrono::milliseconds;
using matrix = std::array<uint8_t, tw_rows>;

constexpr int32_t c_begin = 382, c_mid = 308, c_apply = 407;

class check_status_test : public testing::Test {
   protected:
    void SetUp() override {
        for (int r = 0; r < tw_rows; ++r) {
            entry_t &e = entries[static_cast<size_t>(r)];
            std::memset(&e, 0, sizeof e);
            e.group = static_cast<uint8_t>(r / 8);
            e.index = static_cast<uint8_t>(r % 8);
            e.port = static_cast<uint16_t>(16200 + r / 8);
        }
        std::memset(entries_status, 0, sizeof entries_status);
        entries_index.store(0);
        std::memset(sent_entries_status, 0, sizeof sent_entries_status);
        std::memset(&status_req, 0, sizeof status_req);
        std::memset(&status_resp, 0, sizeof status_resp);
        refresh_snmp_conf.store(3);  // its value at process start
        keelson_started.store(0);
        reread_params.store(0);
        reread_params_finish.store(0);
        called_from_set_df.store(0);
        dbg_level.store(dbg_level_default);
    }

    // A receiver row at 192.0.2.(r+1) with the marks as the threads left them.
    static entry_t &row(int r, bool ping, bool udp) {
        entry_t &e = entries[static_cast<size_t>(r)];
        e.ip = 0xC0000201u + static_cast<uint32_t>(r);
        e.ping_ok = ping ? 1 : 0;
        e.udp_ok = udp ? 1 : 0;
        return e;
    }
    static void set_up(int r, bool up) { entries[static_cast<size_t>(r)].status = up ? 1 : 0; }

    static matrix published() {
        matrix m{};
        uint32_t p = entries_index.load();
        std::memcpy(m.data(), entries_status[p], m.size());
        return m;
    }

    // Runs passes and returns the commands the stand-in received during them.
    std::vector<keelson_request> passes(int n) {
        k.clear();
        for (int i = 0; i < n; ++i) {
            check_status();
        }
        return k.requests();
    }
    static std::vector<int32_t> cmds(const std::vector<keelson_request> &got) {
        std::vector<int32_t> v;
        for (const auto &r : got) {
            v.push_back(r.cmd);
        }
        return v;
    }

    keelson_stub k;
};

// --- debounce -------------------------------------------------------------

TEST_F(check_status_test, reachable_row_that_stops_answering_goes_down_on_the_fourth_pass) {
    row(5, true, true);
    check_status();
    ASSERT_EQ(entries[5].status, 1);
    EXPECT_EQ(published()[5], 2);

    entries[5].ping_ok = 0;
    entries[5].udp_ok = 0;
    for (uint32_t miss = 1; miss <= 3; ++miss) {
        refresh_snmp_conf.store(0);
        check_status();
        EXPECT_EQ(entries[5].status, 1) << "miss " << miss;
        EXPECT_EQ(entries[5].fail_count, miss);
        EXPECT_EQ(published()[5], 0) << "the code follows the marks at once";
        EXPECT_EQ(refresh_snmp_conf.load(), 0) << "no change yet, nothing armed";
    }
    check_status();
    EXPECT_EQ(entries[5].status, 0);
    EXPECT_EQ(entries[5].fail_count, 0u);
    EXPECT_EQ(refresh_snmp_conf.load(), 3);
}

TEST_F(check_status_test, one_answered_pass_puts_the_miss_counter_back) {
    row(0, false, false);
    set_up(0, true);
    check_status();
    check_status();
    ASSERT_EQ(entries[0].fail_count, 2u);
    entries[0].ping_ok = entries[0].udp_ok = 1;
    check_status();
    EXPECT_EQ(entries[0].fail_count, 0u);
    entries[0].ping_ok = entries[0].udp_ok = 0;
    for (int i = 0; i < 3; ++i) {
        check_status();
    }
    EXPECT_EQ(entries[0].status, 1) << "three fresh misses are not enough";
    check_status();
    EXPECT_EQ(entries[0].status, 0);
}

TEST_F(check_status_test, a_change_drops_later_failing_rows_at_once_but_not_earlier_ones) {
    row(1, false, false);
    set_up(1, true);
    row(2, true, true);
    row(9, false, false);
    set_up(9, true);
    refresh_snmp_conf.store(0);

    check_status();

    EXPECT_EQ(entries[1].status, 1);
    EXPECT_EQ(entries[1].fail_count, 1u);
    EXPECT_EQ(entries[2].status, 1);
    EXPECT_EQ(entries[2].fail_count, 0u);
    EXPECT_EQ(entries[9].status, 0);
    EXPECT_EQ(entries[9].fail_count, 1u);
    EXPECT_EQ(refresh_snmp_conf.load(), 3);
}

// --- codes and the published matrix ----------------------------------------

TEST_F(check_status_test, codes_follow_the_marks_of_this_pass) {
    row(0, true, true);    // reachable
    row(1, true, false);   // echo answered, trap port refused
    row(2, false, false);  // silent
    row(3, false, true);   // UDP mark left from an earlier cycle, no echo now
    set_up(0, true);       // already up: no change in this pass
    set_up(1, true);
    // Twins carry the marks of their first row (the threads mark them together).
    row(12, true, false).has_dups = 1;
    row(44, true, false).is_dup = 1;
    entries[44].ip = entries[12].ip;
    entries[44].port = entries[12].port;
    // Row 80: an empty slot, never probed, so never marked.

    check_status();

    matrix want{};
    want[0] = 2;
    want[1] = 1;
    want[12] = 1;
    want[44] = 1;
    EXPECT_EQ(published(), want);
    EXPECT_EQ(entries[0].status, 1);
    EXPECT_EQ(entries[1].status, 1) << "still counting";
    EXPECT_EQ(entries[1].fail_count, 1u);
    EXPECT_EQ(entries[12].status, entries[44].status);
    EXPECT_EQ(entries[80].status, 0);
}

TEST_F(check_status_test, each_pass_builds_the_other_half_and_then_publishes_it) {
    row(7, true, true);
    check_status();
    EXPECT_EQ(entries_index.load(), 1u);
    EXPECT_EQ(entries_status[1][0][7], 2);
    EXPECT_EQ(entries_status[0][0][7], 0);

    entries[7].udp_ok = 0;
    check_status();
    EXPECT_EQ(entries_index.load(), 0u);
    EXPECT_EQ(entries_status[0][0][7], 1);
    EXPECT_EQ(entries_status[1][0][7], 2) << "the older half is left as it was";

    // The work half is cleared before it is filled: row 7 is now empty.
    entries[7].ip = 0;
    entries[7].ping_ok = 0;
    check_status();
    EXPECT_EQ(entries_status[1][0][7], 0);
}

TEST_F(check_status_test, pending_reread_skips_the_whole_pass) {
    row(3, true, true);
    keelson_started.store(1);
    reread_params.store(1);
    EXPECT_TRUE(passes(2).empty());
    EXPECT_EQ(entries_index.load(), 0u);
    EXPECT_EQ(entries[3].status, 0);
    EXPECT_EQ(published(), matrix{});
    EXPECT_EQ(refresh_snmp_conf.load(), 3);
}

TEST_F(check_status_test, copy_published_status_records_the_group0_codes_it_returned) {
    row(0, true, true);
    row(6, true, false);
    row(9, true, true);
    check_status();
    uint8_t out[tw_rows];
    std::memset(out, 0xAA, sizeof out);
    copy_published_status(out);
    EXPECT_EQ(0, std::memcmp(out, entries_status[entries_index.load()], tw_rows));
    const uint8_t group0[8] = {2, 0, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(0, std::memcmp(sent_entries_status, group0, 8));
    EXPECT_EQ(sent_entries_status[8], 0) << "only group 0 is recorded";
}

// --- refresh handshake -------------------------------------------------------

TEST_F(check_status_test, armed_at_start_sends_the_full_sequence_carrying_the_matrix) {
    keelson_started.store(1);
    called_from_set_df.store(1);
    reread_params_finish.store(1);
    row(0, true, false);  // code 1 in group 0, no status change
    row(20, true, true);  // group 2 comes up: a change as well

    auto t0 = std::chrono::steady_clock::now();
    auto got = passes(1);
    auto took = std::chrono::steady_clock::now() - t0;

    ASSERT_EQ(cmds(got), (std::vector<int32_t>{c_begin, c_mid, c_apply, c_begin}));
    const std::vector<int32_t> params{1, 1, 1, 0};
    matrix want{};
    want[0] = 1;
    want[20] = 2;
    EXPECT_EQ(published(), want);
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(got[i].whole());
        EXPECT_EQ(got[i].param, params[i]);
        EXPECT_EQ(got[i].pid, getpid());
        EXPECT_EQ(got[i].origin, "");
        EXPECT_EQ(got[i].reserved, (std::array<uint8_t, 8>{}));
        EXPECT_EQ(0, std::memcmp(got[i].data.data(), want.data(), want.size()));
        for (size_t b = tw_rows; b < got[i].data.size(); ++b) {
            EXPECT_EQ(got[i].data[b], 0) << "data byte " << b;
        }
    }
    // After a successful 308 the sender waits two seconds before the 407.
    EXPECT_GE(got[2].time - got[1].time, milliseconds(1900));
    EXPECT_GE(took, milliseconds(1900));
    EXPECT_EQ(refresh_snmp_conf.load(), 0);
    EXPECT_EQ(reread_params_finish.load(), 0);
    EXPECT_EQ(called_from_set_df.load(), 0);

    EXPECT_TRUE(passes(1).empty()) << "done: nothing until a row changes";
}

TEST_F(check_status_test, failed_308_goes_on_without_the_pause) {
    keelson_started.store(1);
    k.set_status(c_mid, -9);
    row(0, true, false);
    auto got = passes(1);
    ASSERT_EQ(cmds(got), (std::vector<int32_t>{c_begin, c_mid, c_apply, c_begin}));
    EXPECT_LT(got[2].time - got[1].time, milliseconds(1000));
    EXPECT_EQ(refresh_snmp_conf.load(), 0) << "the 407 succeeded";
}

TEST_F(check_status_test, only_group0_is_compared_and_0xff_forces_the_next_armed_pass) {
    keelson_started.store(1);
    k.set_status(c_mid, -9);  // no pause
    row(0, true, true);
    set_up(0, true);
    refresh_snmp_conf.store(0);
    check_status();
    uint8_t fetched[tw_rows];
    copy_published_status(fetched);  // GET_STATUS returned the current codes

    row(27, true, true);  // a change in group 3 alone
    EXPECT_TRUE(passes(1).empty());
    EXPECT_EQ(refresh_snmp_conf.load(), 0);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(sent_entries_status[i], 0xFF) << i;
    }

    row(30, true, true);  // another change in group 3, no GET_STATUS in between
    auto got = passes(1);
    EXPECT_EQ(cmds(got), (std::vector<int32_t>{c_begin, c_mid, c_apply, c_begin}));
}

TEST_F(check_status_test, refused_382_repeats_every_pass_and_never_reaches_308) {
    keelson_started.store(1);
    k.set_status(c_begin, -4);
    row(0, true, false);
    for (int pass = 0; pass < 3; ++pass) {
        auto got = passes(1);
        ASSERT_EQ(cmds(got), std::vector<int32_t>{c_begin}) << "pass " << pass;
        EXPECT_EQ(got[0].param, 1);
        EXPECT_EQ(refresh_snmp_conf.load(), 3) << "attempts are not used up";
    }
}

TEST_F(check_status_test, three_failed_407_give_up_until_a_row_changes) {
    keelson_started.store(1);
    k.set_status(c_mid, -9);
    k.set_status(c_apply, -5);
    row(0, true, false);
    for (int left = 2; left >= 0; --left) {
        auto got = passes(1);
        ASSERT_EQ(cmds(got), (std::vector<int32_t>{c_begin, c_mid, c_apply, c_begin}));
        EXPECT_EQ(refresh_snmp_conf.load(), left);
    }
    EXPECT_TRUE(passes(2).empty()) << "given up";

    row(1, true, true);  // comes up: armed again
    EXPECT_EQ(passes(1).size(), 4u);
    EXPECT_EQ(refresh_snmp_conf.load(), 2);
}

TEST_F(check_status_test, completed_reread_gets_the_short_sequence) {
    keelson_started.store(1);
    reread_params_finish.store(1);  // a re-read without the set-default parameter
    row(0, true, false);
    auto got = passes(1);
    ASSERT_EQ(cmds(got), std::vector<int32_t>{c_apply});
    // No sequence has run yet: the record's param is still zero.
    EXPECT_EQ(got[0].param, 0);
    EXPECT_EQ(got[0].data[0], 1);
    EXPECT_EQ(refresh_snmp_conf.load(), 0);
    EXPECT_EQ(reread_params_finish.load(), 0);
}

TEST_F(check_status_test, reread_with_set_default_gets_the_full_sequence) {
    keelson_started.store(1);
    k.set_status(c_mid, -9);
    reread_params_finish.store(1);
    called_from_set_df.store(1);
    row(0, true, false);
    auto got = passes(1);
    EXPECT_EQ(cmds(got), (std::vector<int32_t>{c_begin, c_mid, c_apply, c_begin}));
    EXPECT_EQ(called_from_set_df.load(), 0);
    EXPECT_EQ(reread_params_finish.load(), 0);
}

TEST_F(check_status_test, short_sequence_407_carries_the_param_the_last_sequence_left) {
    keelson_started.store(1);
    row(0, true, false);

    // A sequence that ends at its first 382 leaves param 1 in the record.
    k.set_status(c_begin, -4);
    ASSERT_EQ(cmds(passes(1)), std::vector<int32_t>{c_begin});
    reread_params_finish.store(1);
    auto got = passes(1);
    ASSERT_EQ(cmds(got), std::vector<int32_t>{c_apply});
    EXPECT_EQ(got[0].param, 1);

    // One that runs to its end leaves 0.
    k.reset_replies();
    k.set_status(c_mid, -9);
    reread_params_finish.store(0);
    refresh_snmp_conf.store(3);
    ASSERT_EQ(passes(1).size(), 4u);
    reread_params_finish.store(1);
    refresh_snmp_conf.store(3);
    got = passes(1);
    ASSERT_EQ(cmds(got), std::vector<int32_t>{c_apply});
    EXPECT_EQ(got[0].param, 0);
}

TEST_F(check_status_test, failed_short_407_keeps_the_reread_pending_through_status_changes) {
    keelson_started.store(1);
    k.set_status(c_apply, -5);
    reread_params_finish.store(1);
    row(0, true, false);
    for (int left = 2; left >= 0; --left) {
        ASSERT_EQ(cmds(passes(1)), std::vector<int32_t>{c_apply});
        EXPECT_EQ(refresh_snmp_conf.load(), left);
    }
    EXPECT_EQ(reread_params_finish.load(), 1);
    row(2, true, true);  // a status change arms it: still the short sequence
    EXPECT_EQ(cmds(passes(1)), std::vector<int32_t>{c_apply});
}

TEST_F(check_status_test, nothing_goes_out_before_the_controller_has_announced_itself) {
    row(0, true, true);
    EXPECT_TRUE(passes(2).empty());
    EXPECT_EQ(refresh_snmp_conf.load(), 3) << "stays armed";
    EXPECT_EQ(entries_index.load(), 0u) << "two passes published";
    EXPECT_EQ(sent_entries_status[0], 0);

    keelson_started.store(1);
    k.set_status(c_mid, -9);
    EXPECT_EQ(passes(1).size(), 4u);
}

}  // namespace
