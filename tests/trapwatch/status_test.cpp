// The evaluation pass driven directly: the test sets the marks the way the two
// worker threads would, runs check_status and reads the table, the published
// matrix and what the controller stand-in received.
#include "trapwatch/status.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
using cmd_list = std::vector<int32_t>;

constexpr int32_t c_begin = 382, c_mid = 308, c_apply = 407;
const cmd_list full_seq{c_begin, c_mid, c_apply, c_begin};

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
        std::memcpy(m.data(), entries_status[entries_index.load()], m.size());
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
    static cmd_list cmds(const std::vector<keelson_request> &got) {
        cmd_list v;
        for (const auto &r : got) {
            v.push_back(r.cmd);
        }
        return v;
    }

    keelson_stub k;
};

// --- debounce -------------------------------------------------------------

TEST_F(check_status_test, a_row_goes_down_on_the_fourth_miss_in_a_row) {
    // Row 5 per pass: answered or not, then its status and miss count. The code
    // follows the marks at once; only a status change arms the refresh.
    struct step {
        bool ok;
        uint8_t status;
        uint32_t fails;
    };
    const step steps[] = {{true, 1, 0},  {false, 1, 1}, {false, 1, 2}, {true, 1, 0},
                          {false, 1, 1}, {false, 1, 2}, {false, 1, 3}, {false, 0, 0}};
    uint8_t was = 0;
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        refresh_snmp_conf.store(0);
        row(5, steps[i].ok, steps[i].ok);
        check_status();
        EXPECT_EQ(entries[5].status, steps[i].status);
        EXPECT_EQ(entries[5].fail_count, steps[i].fails);
        EXPECT_EQ(published()[5], steps[i].ok ? 2 : 0);
        EXPECT_EQ(refresh_snmp_conf.load(), steps[i].status != was ? 3 : 0);
        was = steps[i].status;
    }
}

TEST_F(check_status_test, a_change_drops_later_failing_rows_at_once_but_not_earlier_ones) {
    row(1, false, false);
    set_up(1, true);
    row(2, true, true);
    row(9, false, false);
    set_up(9, true);
    refresh_snmp_conf.store(0);

    check_status();

    // {row, status, fail_count}: row 2 coming up is the change.
    for (auto [r, status, fails] : {std::array<int, 3>{1, 1, 1}, {2, 1, 0}, {9, 0, 1}}) {
        SCOPED_TRACE(r);
        EXPECT_EQ(entries[static_cast<size_t>(r)].status, status);
        EXPECT_EQ(entries[static_cast<size_t>(r)].fail_count, static_cast<uint32_t>(fails));
    }
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
    want[1] = want[12] = want[44] = 1;
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
    row(7, false, false).ip = 0;
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

    ASSERT_EQ(cmds(got), full_seq);
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
        EXPECT_TRUE(std::all_of(got[i].data.begin() + tw_rows, got[i].data.end(),
                                [](uint8_t b) { return b == 0; }));
    }
    // After a successful 308 the sender waits two seconds before the 407.
    EXPECT_GE(got[2].time - got[1].time, milliseconds(1900));
    EXPECT_GE(took, milliseconds(1900));
    EXPECT_EQ(refresh_snmp_conf.load(), 0);
    EXPECT_EQ(reread_params_finish.load(), 0);
    EXPECT_EQ(called_from_set_df.load(), 0);

    EXPECT_TRUE(passes(1).empty()) << "done: nothing until a row changes";
}

// One armed row (code 1 in row 0), the controller's answers and the re-read
// flags set, then passes until the attempts settle.
struct handshake_case {
    const char *name;
    int32_t begin_st, mid_st, apply_st;  // 0: the stand-in accepts
    bool set_df, finish;
    cmd_list want;             // every pass sends this
    int32_t first_param;       // param of the first command
    std::vector<int> refresh;  // refresh_snmp_conf after each pass
    int finish_after;
    bool gives_up;  // then a row change re-arms the same sequence once more
};

TEST_F(check_status_test, refresh_handshake_outcomes) {
    // A failed 308 keeps the two-second pause out of the cases that do not time it.
    const handshake_case cases[] = {
        {"308 fails", 0, -9, 0, false, false, full_seq, 1, {0}, 0, false},
        {"re-read with set-default", 0, -9, 0, true, true, full_seq, 1, {0}, 0, false},
        // No sequence has run yet: the record's param is still zero.
        {"completed re-read", 0, 0, 0, false, true, {c_apply}, 0, {0}, 0, false},
        // Refused at the start: no attempt is used up, it repeats every pass.
        {"382 refused", -4, 0, 0, false, false, {c_begin}, 1, {3, 3, 3}, 0, false},
        {"407 fails", 0, -9, -5, false, false, full_seq, 1, {2, 1, 0}, 0, true},
        {"short 407 fails", 0, 0, -5, false, true, {c_apply}, 0, {2, 1, 0}, 1, true},
    };
    for (const handshake_case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        k.reset_replies();
        keelson_started.store(1);
        k.set_status(c_begin, c.begin_st);
        k.set_status(c_mid, c.mid_st);
        k.set_status(c_apply, c.apply_st);
        called_from_set_df.store(c.set_df ? 1 : 0);
        reread_params_finish.store(c.finish ? 1 : 0);
        row(0, true, false);
        for (size_t pass = 0; pass < c.refresh.size(); ++pass) {
            SCOPED_TRACE(pass);
            auto got = passes(1);
            ASSERT_EQ(cmds(got), c.want);
            EXPECT_EQ(got[0].param, c.first_param);
            EXPECT_EQ(got[0].data[0], 1);
            if (got.size() == 4) {
                EXPECT_LT(got[2].time - got[1].time, milliseconds(1000));
            }
            EXPECT_EQ(refresh_snmp_conf.load(), c.refresh[pass]);
        }
        EXPECT_EQ(reread_params_finish.load(), c.finish_after);
        EXPECT_EQ(called_from_set_df.load(), 0);
        if (c.gives_up) {
            EXPECT_TRUE(passes(2).empty()) << "given up";
            row(1, true, true);
            EXPECT_EQ(cmds(passes(1)), c.want);
            EXPECT_EQ(refresh_snmp_conf.load(), 2);
        }
    }
}

TEST_F(check_status_test, only_group0_is_compared_and_0xff_forces_the_next_armed_pass) {
    keelson_started.store(1);
    k.set_status(c_mid, -9);  // no pause
    row(0, true, true);
    set_up(0, true);
    row(6, true, false);
    row(9, true, true);
    check_status();
    // GET_STATUS returns the published codes and records group 0's as sent.
    uint8_t out[tw_rows];
    std::memset(out, 0xAA, sizeof out);
    copy_published_status(out);
    EXPECT_EQ(0, std::memcmp(out, entries_status[entries_index.load()], tw_rows));
    const uint8_t group0[8] = {2, 0, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(0, std::memcmp(sent_entries_status, group0, 8));
    EXPECT_EQ(sent_entries_status[8], 0) << "only group 0 is recorded";

    row(27, true, true);  // a change in group 3 alone
    EXPECT_TRUE(passes(1).empty());
    EXPECT_EQ(refresh_snmp_conf.load(), 0);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(sent_entries_status[i], 0xFF) << i;
    }

    row(30, true, true);  // another change in group 3, no GET_STATUS in between
    EXPECT_EQ(cmds(passes(1)), full_seq);
}

TEST_F(check_status_test, short_sequence_407_carries_the_param_the_last_sequence_left) {
    keelson_started.store(1);
    row(0, true, false);
    // A sequence that ends at its first 382 leaves param 1 in the record, one
    // that runs to its end leaves 0.
    for (auto [begin_st, sent, param] : {std::array<int32_t, 3>{-4, 1, 1}, {0, 4, 0}}) {
        SCOPED_TRACE(param);
        k.reset_replies();
        k.set_status(c_mid, -9);
        k.set_status(c_begin, begin_st);
        reread_params_finish.store(0);
        refresh_snmp_conf.store(3);
        ASSERT_EQ(passes(1).size(), static_cast<size_t>(sent));
        reread_params_finish.store(1);
        refresh_snmp_conf.store(3);
        auto got = passes(1);
        ASSERT_EQ(cmds(got), cmd_list{c_apply});
        EXPECT_EQ(got[0].param, param);
    }
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
