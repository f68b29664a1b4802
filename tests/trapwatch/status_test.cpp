// The evaluation pass driven directly: the test sets the marks as the two
// worker threads would, runs check_status and reads the table, the published
// half and what the controller stand-in received.
#include "trapwatch/status.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <vector>

#include "tools/keelson_stub.h"
#include "util/state.h"

namespace {

using matrix = std::array<uint8_t, tw_rows>;
using cmd_list = std::vector<int32_t>;
constexpr int32_t c_begin = keelson_cmd_refresh_begin, c_mid = keelson_cmd_refresh_mid,
                  c_apply = keelson_cmd_refresh_apply;
const cmd_list full_seq{c_begin, c_mid, c_apply, c_begin};

class check_status_test : public testing::Test {
   protected:
    void SetUp() override {
        std::memset(entries.data(), 0, sizeof entries);
        for (int r = 0; r < tw_rows; ++r) {
            entries[static_cast<size_t>(r)].group = static_cast<uint8_t>(r / 8);
            entries[static_cast<size_t>(r)].index = static_cast<uint8_t>(r % 8);
        }
        std::memset(entries_status, 0, sizeof entries_status);
        entries_index.store(0);
        std::memset(sent_entries_status, 0, sizeof sent_entries_status);
        refresh_snmp_conf.store(3);  // its value at process start
        for (auto *w :
             {&keelson_started, &reread_params, &reread_params_finish, &called_from_set_df}) {
            w->store(0);
        }
        k.reset_replies();
    }
    // Row r at 192.0.2.(r+1) with the marks as the threads left them.
    static entry_t &row(int r, bool ping, bool udp) {
        entry_t &e = entries[static_cast<size_t>(r)];
        e.ip = 0xC0000201u + static_cast<uint32_t>(r);
        e.ping_ok = ping ? 1 : 0;
        e.udp_ok = udp ? 1 : 0;
        return e;
    }
    static matrix published() {
        matrix m{};
        std::memcpy(m.data(), entries_status[entries_index.load()], m.size());
        return m;
    }
    // One pass; the commands the stand-in received during it.
    std::vector<keelson_request> pass() {
        k.clear();
        check_status();
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

TEST_F(check_status_test, a_row_goes_down_on_the_fourth_miss_in_a_row) {
    // Row 5 per pass: answered or not, then its status and miss count.  The
    // code follows the marks at once; only a status change re-arms the refresh.
    struct step {
        bool ok;
        uint8_t status;
        uint32_t fails;
    };
    const step steps[] = {{true, 1, 0},  {false, 1, 1}, {false, 1, 2}, {true, 1, 0},
                          {false, 1, 1}, {false, 1, 2}, {false, 1, 3}, {false, 0, 0}};
    uint8_t was = 0;
    for (const step &s : steps) {
        SCOPED_TRACE(&s - steps);
        refresh_snmp_conf.store(0);
        row(5, s.ok, s.ok);
        check_status();
        EXPECT_EQ(entries[5].status, s.status);
        EXPECT_EQ(entries[5].fail_count, s.fails);
        EXPECT_EQ(published()[5], s.ok ? 2 : 0);
        EXPECT_EQ(refresh_snmp_conf.load(), s.status != was ? 3 : 0);
        was = s.status;
    }
    // Once a row has changed in a pass, failing rows after it go at once, those
    // before it keep counting: rows 1 and 9 are up and silent, row 2 comes up.
    row(1, false, false).status = 1;
    row(2, true, true);
    row(9, false, false).status = 1;
    check_status();
    for (auto [r, status] : {std::array<int, 2>{1, 1}, {2, 1}, {9, 0}}) {
        EXPECT_EQ(entries[static_cast<size_t>(r)].status, status) << r;
    }
    EXPECT_EQ(entries[1].fail_count, 1u);
}

TEST_F(check_status_test, codes_follow_this_pass_marks_into_the_other_half) {
    row(0, true, true).status = 1;   // reachable, no change
    row(1, true, false).status = 1;  // echo answered, trap port refused
    row(2, false, false);            // silent
    row(3, false, true);             // UDP mark left from an earlier cycle, no echo now
    // Twins carry the marks of their first row (the threads mark them together).
    row(12, true, false).has_dups = 1;
    row(44, true, false).is_dup = 1;
    entries[44].ip = entries[12].ip;
    // Row 80: an empty slot, never probed, so never marked.
    check_status();
    matrix want{};
    want[0] = 2;
    want[1] = want[12] = want[44] = 1;
    EXPECT_EQ(entries_index.load(), 1u) << "the other half is published";
    EXPECT_EQ(published(), want);
    EXPECT_EQ(entries[1].status, 1) << "still counting";
    EXPECT_EQ(entries[12].status, entries[44].status);

    // The next pass builds half 0 and leaves half 1 as it was; the half being
    // built is cleared first (row 0 is now an empty slot).
    row(0, false, false).ip = 0;
    check_status();
    EXPECT_EQ(entries_index.load(), 0u);
    EXPECT_EQ(entries_status[0][0][0], 0);
    EXPECT_EQ(entries_status[1][0][0], 2);
}

TEST_F(check_status_test, a_pending_reread_skips_the_whole_pass) {
    row(3, true, true);
    keelson_started.store(1);
    reread_params.store(1);
    EXPECT_TRUE(pass().empty());
    EXPECT_EQ(entries_index.load(), 0u);
    EXPECT_EQ(entries[3].status, 0);
    EXPECT_EQ(published(), matrix{});
    EXPECT_EQ(refresh_snmp_conf.load(), 3);
}

// The rows run in order: the request record lives as long as the process, so
// a lone 407 carries the param the sequence before it left there.
TEST_F(check_status_test, refresh_handshake_outcomes) {
    struct handshake_case {
        const char *name;
        int32_t begin_st, mid_st, apply_st;  // the stand-in's answers; 0 accepts
        int started, set_df, finish;
        cmd_list want;          // every pass sends this
        int32_t param;          // of the first command
        std::vector<int> left;  // refresh_snmp_conf after each pass
        int set_df_after, finish_after;
    };
    const handshake_case cases[] = {
        {"full, 308 accepted", 0, 0, 0, 1, 1, 1, full_seq, 1, {0}, 0, 0},
        {"full, 308 refused", 0, -9, 0, 1, 0, 0, full_seq, 1, {0}, 0, 0},
        {"382 refused: no attempt used", -4, 0, 0, 1, 0, 0, {c_begin}, 1, {3, 3, 3}, 0, 0},
        {"re-read: 407 alone", 0, 0, 0, 1, 0, 1, {c_apply}, 1, {0}, 0, 0},
        {"407 fails", 0, -9, -5, 1, 1, 0, full_seq, 1, {2, 1, 0}, 1, 0},
        {"re-read, 407 fails", 0, 0, -5, 1, 0, 1, {c_apply}, 0, {2, 1, 0}, 0, 1},
        {"not announced", 0, 0, 0, 0, 0, 0, {}, 0, {3, 3}, 0, 0},
    };
    for (const handshake_case &c : cases) {
        SCOPED_TRACE(c.name);
        const cmd_msg_t kept = status_req;
        SetUp();
        status_req = kept;
        k.set_status(c_begin, c.begin_st);
        k.set_status(c_mid, c.mid_st);
        k.set_status(c_apply, c.apply_st);
        keelson_started.store(c.started);
        called_from_set_df.store(c.set_df);
        reread_params_finish.store(c.finish);
        row(0, true, false);  // code 1 in group 0, no status change
        row(20, true, true);  // group 2 comes up: a change as well
        for (int left : c.left) {
            auto got = pass();
            ASSERT_EQ(cmds(got), c.want);
            for (size_t i = 0; i < got.size(); ++i) {
                SCOPED_TRACE(i);
                EXPECT_EQ(got[i].param, c.want.size() == 4 ? (i < 3 ? 1 : 0) : c.param);
                EXPECT_TRUE(got[i].whole());
                EXPECT_EQ(got[i].pid, getpid());
                EXPECT_EQ(got[i].origin, "");
                EXPECT_EQ(got[i].reserved, (std::array<uint8_t, 8>{}));
                std::array<uint8_t, 128> data{};
                std::memcpy(data.data(), published().data(), tw_rows);
                EXPECT_EQ(got[i].data, data) << "the codes of the half just built";
            }
            if (got.size() == 4) {
                // A successful 308 is followed by a two-second pause.
                EXPECT_EQ(got[2].time - got[1].time >= std::chrono::milliseconds(1900),
                          c.mid_st == 0);
            }
            EXPECT_EQ(refresh_snmp_conf.load(), left);
        }
        EXPECT_EQ(called_from_set_df.load(), c.set_df_after);
        EXPECT_EQ(reread_params_finish.load(), c.finish_after);
        if (c.left.back() == 0) {
            EXPECT_TRUE(pass().empty()) << "done or given up: nothing until a row changes";
        }
    }
}

TEST_F(check_status_test, only_group0_is_compared_and_0xff_forces_the_next_armed_pass) {
    keelson_started.store(1);
    k.set_status(c_mid, -9);  // no pause
    row(0, true, true).status = 1;
    row(6, true, false);
    row(9, true, true);
    check_status();
    // GET_STATUS returns the published codes and records group 0's as sent.
    matrix out;
    copy_published_status(out.data());
    EXPECT_EQ(out, published());
    const uint8_t group0[10] = {2, 0, 0, 0, 0, 0, 1, 0, 0, 0};  // row 9's 2 is not recorded
    EXPECT_EQ(0, std::memcmp(sent_entries_status, group0, 10));

    row(27, true, true);  // a change in group 3 alone: no refresh
    EXPECT_TRUE(pass().empty());
    EXPECT_EQ(refresh_snmp_conf.load(), 0);
    const uint8_t marker[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(sent_entries_status, marker, 8));
    row(30, true, true);  // another change there, no GET_STATUS in between
    EXPECT_EQ(cmds(pass()), full_seq);
}

}  // namespace
