// The tools as their users run them: trapwatchctl's failures against a
// stand-in daemon, keelson-sim's answer rules.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "tests/support/daemon.h"
#include "tools/ctl_client.h"
#include "tools/keelson_stub.h"

using namespace tw_test;
using namespace std::chrono_literals;

TEST(trapwatchctl, every_failure_has_its_record_text_and_exit_status) {
    keelson_stub stub("/run/tw-ctl.sock");
    const keelson_reply closes{.how = keelson_reply::kind::close}, late{.delay = 2000ms};
    const std::string too_long = "--socket /run/" + std::string(110, 'x') + " version";
    auto cut = [](size_t n) {
        return keelson_reply{.how = keelson_reply::kind::short_answer, .short_len = n};
    };
    const struct {
        const char *args;
        int exit;
        int32_t cmd;  // the record's code (-1: none may be sent); its param is 0
        keelson_reply reply;
        const char *text;  // what stderr holds (stdout when it exits 0)
    } rows[] = {
        // clang-format off
        {"restart", 1, TRAPWATCH_CMD_RESTART, {.status = -103}, "status -103 (Wrong parameters)\n"},
        {"stop", 4, TRAPWATCH_CMD_STOP, closes, "closed the connection without a reply\n"},
        {"status", 4, TRAPWATCH_CMD_GET_STATUS, cut(155), "155 bytes, expected 156\n"},
        {"status", 4, TRAPWATCH_CMD_GET_STATUS, cut(157), "157 bytes, expected 156\n"},
        {"--timeout 1 version", 4, TRAPWATCH_CMD_GET_VER, late, "no reply from trapwatch in time\n"},
        // The reply comes after the stop's pause, which the bound covers.
        {"--timeout 1 terminate", 0, TRAPWATCH_CMD_TERMINATE, {.delay = 1300ms}, "trapwatch terminated\n"},
        {"fault --yes", 1, TRAPWATCH_CMD_DBG_SEG_FAULT, {}, "answered instead of ending\n"},
        {"terminate", 3, TRAPWATCH_CMD_TERMINATE, closes, "no lock file /var/lock/subsys/trapwatch"},
        {"cmd 1x", 2, -1, {}, "CODE [PARAM]: decimal numbers, or hex with 0x\n"},
        {"pid", 3, -1, {}, "trapwatchctl: trapwatch is not running"},
        {"fault", 2, -1, {}, "segmentation fault; add --yes to do it\n"},
        {"", 2, -1, {}, "usage: trapwatchctl [--socket PATH]"},
        {"frobnicate", 2, -1, {}, "trapwatchctl: unknown command: frobnicate\n"},
        {"--timeout 0 status", 2, -1, {}, "trapwatchctl: bad --timeout: 0\n"},
        {"status --raw --json", 2, -1, {}, "--raw and --json exclude each other\n"},
        {"check-config a b", 2, -1, {}, "check-config takes one file at most\n"},
        {"--socket '' version", 2, -1, {}, "socket path too long or empty: \"\"\n"},
        {too_long.c_str(), 2, -1, {}, "socket path too long or empty: \"/run/xxx"},
        // clang-format on
    };
    for (const auto &w : rows) {
        SCOPED_TRACE(w.args);
        stub.clear();
        stub.set_default_reply(w.reply);
        const run_result r = trapwatchctl(std::string("--socket /run/tw-ctl.sock ") + w.args);
        EXPECT_EQ(r.status, w.exit);
        EXPECT_NE((w.exit == 0 ? r.out : r.err).find(w.text), std::string::npos) << r.err;
        EXPECT_EQ(r.out, w.exit == 0 ? w.text : "");
        ASSERT_TRUE(stub.wait_for(w.cmd >= 0 ? 1 : 0, 3000ms));
        for (const keelson_request &q : stub.requests()) {
            EXPECT_TRUE(q.whole() && q.cmd == w.cmd && q.origin == "LOCAL" && q.pid > 0) << q.cmd;
        }
        EXPECT_EQ(stub.count(), w.cmd >= 0 ? 1u : 0u);
    }
    // Numbers are decimal ("010" is ten), or hex with 0x.
    stub.clear();
    stub.set_default_reply({});
    EXPECT_EQ(trapwatchctl("--socket /run/tw-ctl.sock cmd 010 0x0c").out, "status 0 (Success)\n");
    ASSERT_TRUE(stub.wait_for(1, 3000ms));
    EXPECT_EQ(stub.requests()[0].cmd * 100 + stub.requests()[0].param, 1012);
    // A closed connection after TERMINATE: the daemon ended only if its lock
    // is there and free; held, or unreadable, nothing can be told.
    const std::string terminate = "--socket /run/tw-ctl.sock --timeout 1 terminate";
    stub.set_default_reply(closes);
    const int lock = open(lock_file_path, O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    EXPECT_EQ(trapwatchctl(terminate).out, "trapwatch ended (before replying)\n");
    ASSERT_EQ(lockf(lock, F_TLOCK, 0), 0);
    EXPECT_EQ(trapwatchctl(terminate).status, 4);
    // The lock held and no socket served (a stop's pause): not "not running".
    run_result h = trapwatchctl("status");
    EXPECT_EQ(h.status, 4);
    EXPECT_NE(h.err.find("holds its lock but does not serve"), std::string::npos) << h.err;
    // Seen from another pid namespace the holder has no pid: never a made-up one.
    h = run("unshare -pf " TW_EMULATOR " " TW_BINARY_DIR "/tools/trapwatchctl pid");
    EXPECT_EQ(h.status, 5);
    EXPECT_EQ(h.out, "");
    EXPECT_NE(h.err.find("its pid is unknown here"), std::string::npos) << h.err;
    ASSERT_EQ(sh("cd /var/lock/subsys && rm trapwatch && ln -s trapwatch trapwatch"), 0);
    const run_result r = trapwatchctl(terminate);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("cannot tell whether trapwatch ended"), std::string::npos) << r.err;
}

// Scripts read the matrix by group and index: a distinct pattern per group.
TEST(trapwatchctl, status_json_names_the_version_groups_and_codes) {
    uint8_t m[88];
    for (size_t r = 0; r < 88; ++r) {
        m[r] = static_cast<uint8_t>(r % 3);
    }
    const std::string j = ctl_format_json(m, "v\"1");
    EXPECT_TRUE(j.starts_with(
        "{\"version\":\"v\\\"1\",\"groups\":{\"c1\":[0,1,2,0,1,2,0,1],\"c2\":[2,0,1,2,0,1,2,0],"))
        << j;
    EXPECT_TRUE(
        j.ends_with(",\"c11\":[2,0,1,2,0,1,2,0]},\"codes\":{\"0\":\"no echo reply (or empty "
                    "slot)\",\"1\":\"echo reply, trap port refused or not probed\",\"2\":"
                    "\"reachable\"}}\n"))
        << j;
}

TEST(keelson_sim, answers_each_record_as_its_rules_say) {
    ASSERT_EQ(sh("(" TW_EMULATOR " " TW_BINARY_DIR
                 "/tools/keelson-sim --fail 407=-5 --delay 407=300 --close 308 --short 382=20 "
                 "--fail 12=0x10 --fail 010=010 >/run/sim.out & echo $! >/run/sim.pid)"),
              0);
    ASSERT_TRUE(wait_until([] { return access(keelson_sock_path, F_OK) == 0; }, 15000ms));
    for (const auto &[cmd, answer] :
         {std::pair{382, -121}, {308, -121}, {407, -5}, {12, 16}, {10, 10}, {5, 0}}) {
        cmd_msg_t req{}, resp{};
        req.cmd = cmd;
        req.data[0] = 2;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(cmd_send_recv(&req, &resp), answer) << cmd;
        EXPECT_EQ(std::chrono::steady_clock::now() - t0 > 300ms, cmd == 407) << cmd;
    }
    // A clean stop removes its socket.  Every record was printed, the
    // client's log lines about the two cut answers too.
    ASSERT_EQ(sh("kill -INT $(cat /run/sim.pid)"), 0);
    ASSERT_TRUE(wait_until([] { return access(keelson_sock_path, F_OK) != 0; }, 15000ms));
    const std::string out = read_file("/run/sim.out"), me = std::to_string(getpid());
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 8) << out;
    EXPECT_NE(out.find(" cmd=407 param=0 origin=\"\" pid=" + me + " matrix=20000000 00000000"),
              std::string::npos)
        << out;
}
