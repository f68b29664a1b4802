// The control dispatch (serve_request) in process: the range check, every
// command's effect on the shared words, its console trace and its reply.
// TERMINATE and DBG_SEG_FAULT end the process: their rows are in stop_test.
#include "trapwatch/control.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/keelson_text.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"
#include "trapwatch/status.h"
#include "util/state.h"
#include "util/trace.h"

namespace {

// The rows run in order, each from the words the row before left; at first
// probing is on, RESTART's word holds 7 and the debug mask 3 and a high bit.
TEST(control_dispatch, every_command_in_turn) {
    constexpr uint64_t hi = 1ull << 40;
    struct ctl_case {
        int32_t cmd, param, reply;
        // enable_send, reread_params, called_from_set_df, keelson_started
        std::array<int, 4> words;
        uint64_t dbg;
        std::vector<const char *> trace;  // console lines, each after its function name
        std::string data;                 // the reply's data before its zero fill
    };
    std::string half0(tw_rows, '\0'), half1(tw_rows, '\0');
    for (size_t i = 0; i < tw_rows; ++i) {
        half0[i] = static_cast<char>(i % 3);
        half1[i] = static_cast<char>((i + 1) % 3);
    }
    const ctl_case cases[] = {
        {14, 0, -103, {1, 0, 7, 0}, hi | 3, {}, ""},
        {-1, 0, -103, {1, 0, 7, 0}, hi | 3, {}, ""},
        // Its own trace lines are gated by the mask it has not set yet.
        {TRAPWATCH_CMD_DBG_KEELSON_CMD, 0, 0, {1, 0, 7, 0}, hi | 0x83, {}, ""},
        {TRAPWATCH_CMD_KEELSON_START,
         0,
         0,
         {1, 0, 7, 1},
         hi | 0x83,
         {"cmd: 5", "KEELSON_START"},
         ""},  // and nothing below clears it
        {TRAPWATCH_CMD_RESTART,
         1,
         0,
         {1, 1, 1, 1},
         hi | 0x83,
         {"cmd: 0", "RESTART", "called from set default"},
         ""},
        {TRAPWATCH_CMD_RESTART,
         0,
         0,
         {1, 1, 0, 1},
         hi | 0x83,
         {"cmd: 0", "RESTART", "called from snmp apply"},
         ""},
        {TRAPWATCH_CMD_GET_STATUS, 0, 0, {1, 1, 0, 1}, hi | 0x83, {"cmd: 1", "GET_STATUS"}, half1},
        {TRAPWATCH_CMD_STOP, 0, 0, {0, 1, 0, 1}, hi | 0x83, {"cmd: 2", "STOP"}, ""},
        {TRAPWATCH_CMD_STOP, 0, 0, {0, 1, 0, 1}, hi | 0x83, {"cmd: 2", "STOP"}, ""},
        {TRAPWATCH_CMD_START, 0, 0, {1, 1, 0, 1}, hi | 0x83, {"cmd: 3"}, ""},
        {TRAPWATCH_CMD_DBG_INIT, 0, 0, {1, 1, 0, 1}, hi | 0x93, {"cmd: 7", "DBG_INIT", "exit"}, ""},
        {TRAPWATCH_CMD_DBG_PROC, 0, 0, {1, 1, 0, 1}, hi | 0xB3, {"cmd: 8", "DBG_INIT", "exit"}, ""},
        {TRAPWATCH_CMD_DBG_MONITOR_CYCLE,
         0,
         0,
         {1, 1, 0, 1},
         hi | 0xF3,
         {"cmd: 9", "TRAPWATCH_CMD_DBG_MONITOR_CYCLE", "exit"},
         ""},
        {TRAPWATCH_CMD_DBG_MONITOR,
         0,
         0,
         {1, 1, 0, 1},
         hi | 0x1F3,
         {"cmd: 11", "TRAPWATCH_CMD_DBG_MONITOR", "exit"},
         ""},
        {TRAPWATCH_CMD_GET_VER,
         0,
         0,
         {1, 1, 0, 1},
         hi | 0x1F3,
         {"cmd: 13", "GET_VER", "exit"},
         "0.0.12.19"},
        {TRAPWATCH_CMD_DBG_OFF, 0, 0, {1, 1, 0, 1}, 3, {"cmd: 6", "DBG_OFF"}, ""},
        {TRAPWATCH_CMD_DBG_INIT, 0, 0, {1, 1, 0, 1}, 0x13, {"exit"}, ""},
    };
    keelson_stub k;
    enable_send.store(1);
    called_from_set_df.store(7);
    dbg_level.store(hi | 3);
    std::memcpy(entries_status[0], half0.data(), tw_rows);
    std::memcpy(entries_status[1], half1.data(), tw_rows);
    entries_index.store(1);
    for (const ctl_case &c : cases) {
        SCOPED_TRACE(c.cmd);
        k.clear();
        std::memset(sent_entries_status, 0xFF, sizeof sent_entries_status);
        cmd_msg_t req, resp, want;
        std::memset(&req, 0x5A, sizeof req);  // fields the dispatch must ignore
        req.cmd = c.cmd;
        req.param = c.param;
        std::memset(&resp, 0, sizeof resp);
        std::memset(&want, 0, sizeof want);
        want.cmd = c.reply;
        std::memcpy(want.data, c.data.data(), c.data.size());
        const size_t mark = tw_test::console().size();

        serve_request(req, &resp);

        EXPECT_EQ(0, std::memcmp(&resp, &want, sizeof resp)) << "reply " << resp.cmd;
        EXPECT_EQ(c.words, (std::array<int, 4>{enable_send.load(), reread_params.load(),
                                               called_from_set_df.load(), keelson_started.load()}));
        EXPECT_EQ(dbg_level.load(), c.dbg);
        // GET_STATUS remembers the group-0 codes it answered.
        const std::string sent(reinterpret_cast<const char *>(sent_entries_status), 9);
        EXPECT_EQ(sent, c.data == half1 ? half1.substr(0, 8) + "\xFF" : std::string(9, '\xFF'));
        std::string trace;
        for (const char *line : c.trace) {
            trace += std::string("trapwatch:cmd_proccesing({N}): ") + line + "\n\r";
        }
        auto out = [&] { return tw_test::console().substr(mark); };
        EXPECT_TRUE(tw_test::wait_until([&] { return tw_test::text_matches(out(), trace); },
                                        std::chrono::milliseconds(3000)))
            << out();
        if (c.reply == 0) {
            EXPECT_EQ(k.count(), 0u);
            continue;
        }
        ASSERT_EQ(k.count(), 1u);
        const keelson_request got = k.requests()[0];
        EXPECT_EQ(got.cmd, keelson_cmd_log);
        EXPECT_EQ(got.param, 2);
        EXPECT_TRUE(tw_test::text_matches(
            got.text(), "p_cmd_loop({N}) unsupported command: " + std::to_string(c.cmd) + "\n\r"))
            << got.text();
    }
}

}  // namespace
