// One request through the control dispatch (serve_request), in process: the
// range check, every command's effect and response, and the trace lines.
#include "trapwatch/control.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <regex>
#include <string>

#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"
#include "trapwatch/status.h"
#include "trapwatch/stop.h"
#include "util/state.h"
#include "util/trace.h"

// For ThreadSanitizer builds: the handler ends the process with exit(), as
// the daemon does, which runs this test program's static destructors inside
// the signal; those are the test framework's, not the code under test's.
extern "C" const char *__tsan_default_options() {
    return "report_signal_unsafe=0 atexit_sleep_ms=0";
}

namespace {

using std::chrono::milliseconds;

cmd_msg_t request(int32_t cmd, int32_t param = 0) {
    cmd_msg_t m;
    std::memset(&m, 0x5A, sizeof m);  // fields the dispatch must ignore
    m.cmd = cmd;
    m.param = param;
    return m;
}

cmd_msg_t serve(int32_t cmd, int32_t param = 0) {
    cmd_msg_t resp;
    std::memset(&resp, 0, sizeof resp);
    serve_request(request(cmd, param), &resp);
    return resp;
}

// Every byte of a response but cmd and data is zero.
void expect_plain_header(const cmd_msg_t &r) {
    EXPECT_EQ(r.param, 0);
    EXPECT_EQ(r.pid, 0);
    const uint8_t zeros[8] = {};
    EXPECT_EQ(std::memcmp(r.origin, zeros, 8), 0);
    EXPECT_EQ(std::memcmp(r.reserved, zeros, 8), 0);
}

bool data_is_zero(const cmd_msg_t &r, size_t from = 0) {
    for (size_t i = from; i < sizeof r.data; ++i) {
        if (r.data[i] != 0) {
            return false;
        }
    }
    return true;
}

class control_dispatch : public ::testing::Test {
   protected:
    void SetUp() override {
        dbg_level.store(dbg_level_default);
        reread_params.store(0);
        called_from_set_df.store(0);
        enable_send.store(0);
        keelson_started.store(0);
    }
    void TearDown() override {
        dbg_level.store(dbg_level_default);
        reread_params.store(0);  // it would silence the controller link
        called_from_set_df.store(0);
        enable_send.store(0);
        keelson_started.store(0);
    }
};

}  // namespace

TEST_F(control_dispatch, out_of_range_commands_answer_minus_103_with_a_log_line) {
    keelson_stub keelson;
    for (int32_t cmd : {14, -1, INT_MIN, INT_MAX, 256}) {
        SCOPED_TRACE(cmd);
        keelson.clear();
        cmd_msg_t r = serve(cmd);
        EXPECT_EQ(r.cmd, -103);
        expect_plain_header(r);
        EXPECT_TRUE(data_is_zero(r));
        ASSERT_TRUE(keelson.wait_for(1, milliseconds(3000)));
        auto got = keelson.requests();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].cmd, 230);
        EXPECT_EQ(got[0].param, 2);
        EXPECT_TRUE(std::regex_match(got[0].text(),
                                     std::regex(R"(p_cmd_loop\([0-9]+\) unsupported command: )" +
                                                std::to_string(cmd) + "\n\r")))
            << got[0].text();
    }
    // The last command in range is served, and logs nothing.
    keelson.clear();
    EXPECT_EQ(serve(TRAPWATCH_CMD_GET_VER).cmd, 0);
    EXPECT_FALSE(keelson.wait_for(1, milliseconds(200)));
}

TEST_F(control_dispatch, restart_records_its_parameter_and_requests_a_reread) {
    for (int32_t param : {1, 0, -7}) {
        SCOPED_TRACE(param);
        reread_params.store(0);
        called_from_set_df.store(99);
        cmd_msg_t r = serve(TRAPWATCH_CMD_RESTART, param);
        EXPECT_EQ(r.cmd, 0);
        expect_plain_header(r);
        EXPECT_TRUE(data_is_zero(r));
        EXPECT_EQ(reread_params.load(), 1);
        EXPECT_EQ(called_from_set_df.load(), param);
    }
}

TEST_F(control_dispatch, restart_names_its_occasion_on_the_console) {
    dbg_level.set_low_bits(0x80);
    const std::string fn = R"(trapwatch:cmd_proccesing\([0-9]+\): )";
    size_t mark = tw_test::console().size();
    serve(TRAPWATCH_CMD_RESTART, 1);
    serve(TRAPWATCH_CMD_RESTART, 0);
    std::string out = tw_test::console().substr(mark);
    EXPECT_TRUE(std::regex_match(
        out, std::regex(fn + R"(cmd: 0\n\r)" + fn + R"(RESTART\n\r)" + fn +
                        R"(called from set default\n\r)" + fn + R"(cmd: 0\n\r)" + fn +
                        R"(RESTART\n\r)" + fn + R"(called from snmp apply\n\r)")))
        << out;
}

TEST_F(control_dispatch, get_status_answers_the_published_half_and_remembers_group_0) {
    uint8_t codes[2][88];
    for (int i = 0; i < 88; ++i) {
        codes[0][i] = static_cast<uint8_t>(i % 3);
        codes[1][i] = static_cast<uint8_t>((i + 1) % 3);
    }
    std::memcpy(entries_status, codes, sizeof codes);
    std::memset(sent_entries_status, 0xFF, sizeof sent_entries_status);
    for (uint32_t half : {1u, 0u}) {
        SCOPED_TRACE(half);
        entries_index.store(half);
        cmd_msg_t r = serve(TRAPWATCH_CMD_GET_STATUS);
        EXPECT_EQ(r.cmd, 0);
        expect_plain_header(r);
        EXPECT_EQ(std::memcmp(r.data, codes[half], 88), 0);
        EXPECT_TRUE(data_is_zero(r, 88));
        EXPECT_EQ(std::memcmp(sent_entries_status, codes[half], 8), 0);
        EXPECT_EQ(sent_entries_status[8], 0xFF);  // only group 0 is recorded
    }
    std::memset(entries_status, 0, sizeof entries_status);
    std::memset(sent_entries_status, 0, sizeof sent_entries_status);
    entries_index.store(0);
}

TEST_F(control_dispatch, stop_and_start_switch_probing_and_keelson_start_is_remembered) {
    enable_send.store(1);
    EXPECT_EQ(serve(TRAPWATCH_CMD_STOP).cmd, 0);
    EXPECT_EQ(enable_send.load(), 0);
    EXPECT_EQ(serve(TRAPWATCH_CMD_STOP).cmd, 0);
    EXPECT_EQ(enable_send.load(), 0);
    EXPECT_EQ(serve(TRAPWATCH_CMD_START).cmd, 0);
    EXPECT_EQ(enable_send.load(), 1);

    EXPECT_EQ(serve(TRAPWATCH_CMD_KEELSON_START).cmd, 0);
    EXPECT_EQ(keelson_started.load(), 1);
    // Nothing clears it.
    for (int32_t cmd = 0; cmd <= TRAPWATCH_CMD_GET_VER; ++cmd) {
        if (cmd != TRAPWATCH_CMD_TERMINATE && cmd != TRAPWATCH_CMD_DBG_SEG_FAULT) {
            serve(cmd);
        }
    }
    EXPECT_EQ(keelson_started.load(), 1);
}

TEST_F(control_dispatch, debug_commands_add_their_bits_and_dbg_off_restores_3) {
    struct step {
        int32_t cmd;
        uint64_t mask_after;
    };
    const step steps[] = {
        {TRAPWATCH_CMD_DBG_INIT, 0x13},        {TRAPWATCH_CMD_DBG_INIT, 0x13},
        {TRAPWATCH_CMD_DBG_PROC, 0x33},        {TRAPWATCH_CMD_DBG_MONITOR_CYCLE, 0x73},
        {TRAPWATCH_CMD_DBG_KEELSON_CMD, 0xF3}, {TRAPWATCH_CMD_DBG_MONITOR, 0x1F3},
        {TRAPWATCH_CMD_DBG_OFF, 0x3},          {TRAPWATCH_CMD_DBG_MONITOR, 0x103},
        {TRAPWATCH_CMD_DBG_OFF, 0x3},
    };
    for (const step &s : steps) {
        cmd_msg_t r = serve(s.cmd);
        EXPECT_EQ(r.cmd, 0) << s.cmd;
        EXPECT_EQ(dbg_level.load(), s.mask_after) << s.cmd;
    }
    // DBG_OFF replaces the whole mask, high word included.
    dbg_level.store(0xFFFF0000FFFF0000ull);
    serve(TRAPWATCH_CMD_DBG_OFF);
    EXPECT_EQ(dbg_level.load(), 3u);
}

TEST_F(control_dispatch, debug_commands_trace_their_names_under_0x80) {
    dbg_level.store(0x80);
    const std::string fn = R"(trapwatch:cmd_proccesing\([0-9]+\): )";
    size_t mark = tw_test::console().size();
    serve(TRAPWATCH_CMD_DBG_PROC);  // prints the text of DBG_INIT
    serve(TRAPWATCH_CMD_DBG_MONITOR_CYCLE);
    serve(TRAPWATCH_CMD_DBG_MONITOR);
    serve(TRAPWATCH_CMD_DBG_KEELSON_CMD);
    serve(TRAPWATCH_CMD_START);  // no line of its own
    serve(TRAPWATCH_CMD_STOP);
    serve(TRAPWATCH_CMD_KEELSON_START);
    serve(TRAPWATCH_CMD_GET_STATUS);
    serve(TRAPWATCH_CMD_GET_VER);
    std::string out = tw_test::console().substr(mark);
    std::string want;
    for (const char *line : {"cmd: 8", "DBG_INIT", "cmd: 9", "TRAPWATCH_CMD_DBG_MONITOR_CYCLE",
                             "cmd: 11", "TRAPWATCH_CMD_DBG_MONITOR", "cmd: 10",
                             "TRAPWATCH_CMD_DBG_KEELSON_CMD", "cmd: 3", "cmd: 2", "STOP", "cmd: 5",
                             "KEELSON_START", "cmd: 1", "GET_STATUS", "cmd: 13", "GET_VER"}) {
        want += fn + line + "\n\r";
    }
    EXPECT_TRUE(std::regex_match(out, std::regex(want))) << out;
}

TEST_F(control_dispatch, get_ver_answers_the_version_number_alone) {
    cmd_msg_t r = serve(TRAPWATCH_CMD_GET_VER);
    EXPECT_EQ(r.cmd, 0);
    expect_plain_header(r);
    EXPECT_STREQ(reinterpret_cast<const char *>(r.data), "0.0.12.19");
    EXPECT_TRUE(data_is_zero(r, 9));
}

// The re-executing style keeps the child single-threaded, but under qemu-user
// the test program cannot execute itself (no binfmt handler): fork there.
namespace {
const char *death_style() {
    return TW_EMULATOR[0] == '\0' ? "threadsafe" : "fast";
}
}  // namespace

TEST(control_dispatch_death, dbg_seg_fault_ends_the_process_through_the_handler_with_0) {
    GTEST_FLAG_SET(death_test_style, death_style());
    EXPECT_EXIT(
        {
            route_signal(SIGSEGV);
            cmd_msg_t resp;
            std::memset(&resp, 0, sizeof resp);
            serve_request(request(TRAPWATCH_CMD_DBG_SEG_FAULT), &resp);
            std::_Exit(42);  // not reached
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(control_dispatch_death, terminate_returns_after_the_stop_with_status_0) {
    GTEST_FLAG_SET(death_test_style, death_style());
    EXPECT_EXIT(
        {
            // The pause's SIGCHLD reaches the handler and must not end the process.
            route_signal(SIGCHLD);
            int listening = socket(AF_UNIX, SOCK_STREAM, 0);
            cmd_sock.store(listening);
            auto t0 = std::chrono::steady_clock::now();
            cmd_msg_t resp;
            std::memset(&resp, 0x77, sizeof resp);
            resp.cmd = 5;
            serve_request(request(TRAPWATCH_CMD_TERMINATE), &resp);
            double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            bool ok = resp.cmd == 0 && stopping_flag.load() == 1 && child_killed.load() == 1 &&
                      cmd_sock.load() == 0 && fcntl(listening, F_GETFD) == -1 && took > 0.9 &&
                      took < 3.0;
            std::_Exit(ok ? 42 : 1);
        },
        ::testing::ExitedWithCode(42), "");
}
