// The programs around the daemon as their users run them: trapwatchctl's
// failures against a stand-in daemon, the init script on the real daemon,
// keelson-sim's answer rules and the lab.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "tests/support/daemon.h"
#include "tools/keelson_stub.h"

using namespace tw_test;
using namespace std::chrono_literals;

TEST(trapwatchctl, every_failure_has_its_record_text_and_exit_status) {
    keelson_stub stub("/run/tw-ctl.sock");
    const keelson_reply closes{.how = keelson_reply::kind::close}, late{.delay = 2000ms};
    auto cut = [](size_t n) {
        return keelson_reply{.how = keelson_reply::kind::short_answer, .short_len = n};
    };
    const struct {
        const char *args;
        int exit;
        int32_t cmd;  // the record's code (-1: none may be sent); its param is 0
        keelson_reply reply;
        const char *text;  // what stderr holds
    } rows[] = {
        // clang-format off
        {"restart", 1, TRAPWATCH_CMD_RESTART, {.status = -103}, "status -103 (Wrong parameters)\n"},
        {"stop", 4, TRAPWATCH_CMD_STOP, closes, "closed the connection without a reply\n"},
        {"status", 4, TRAPWATCH_CMD_GET_STATUS, cut(155), "155 bytes, expected 156\n"},
        {"status", 4, TRAPWATCH_CMD_GET_STATUS, cut(157), "157 bytes, expected 156\n"},
        {"--timeout 1 version", 4, TRAPWATCH_CMD_GET_VER, late, "no reply from trapwatch in time\n"},
        {"fault --yes", 1, TRAPWATCH_CMD_DBG_SEG_FAULT, {}, "answered instead of ending\n"},
        {"terminate", 0, TRAPWATCH_CMD_TERMINATE, closes, ""},  // ended: nobody holds the lock
        {"pid", 3, -1, {}, "trapwatchctl: trapwatch is not running"},
        {"fault", 2, -1, {}, "segmentation fault; add --yes to do it\n"},
        {"", 2, -1, {}, "usage: trapwatchctl [--socket PATH]"},
        {"frobnicate", 2, -1, {}, "trapwatchctl: unknown command: frobnicate\n"},
        {"--timeout 0 status", 2, -1, {}, "trapwatchctl: bad --timeout: 0\n"},
        // clang-format on
    };
    for (const auto &w : rows) {
        SCOPED_TRACE(w.args);
        stub.clear();
        stub.set_default_reply(w.reply);
        const run_result r = trapwatchctl(std::string("--socket /run/tw-ctl.sock ") + w.args);
        EXPECT_EQ(r.status, w.exit);
        EXPECT_NE(r.err.find(w.text), std::string::npos) << r.err;
        EXPECT_EQ(r.out, w.exit == 0 ? "trapwatch ended (before replying)\n" : "");
        ASSERT_TRUE(stub.wait_for(w.cmd >= 0 ? 1 : 0, 3000ms));
        for (const keelson_request &q : stub.requests()) {
            EXPECT_TRUE(q.whole() && q.cmd == w.cmd && q.origin == "LOCAL" && q.pid > 0) << q.cmd;
        }
        EXPECT_EQ(stub.count(), w.cmd >= 0 ? 1u : 0u);
    }
    // While the lock is held, as by a running daemon, a closed connection is a failure.
    ASSERT_EQ(lockf(open(ctl_lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0640), F_TLOCK, 0), 0);
    stub.set_default_reply(closes);
    EXPECT_EQ(trapwatchctl("--socket /run/tw-ctl.sock --timeout 1 terminate").status, 4);
}

TEST(init_script, starts_reports_stops_and_recovers) {
    if (std::string(TW_EMULATOR) != "") {
        GTEST_SKIP() << "the script starts the native daemon";
    }
    auto step = [](const std::string &action, int exit, const std::string &text) {
        const run_result r =
            run("TRAPWATCH_DAEMON=" TW_BINARY_DIR
                "/trapwatch/trapwatch timeout 30 sh " TW_SOURCE_DIR "/scripts/init.d/trapwatch " +
                action);
        EXPECT_EQ(r.status, exit) << action << ": " << r.out << r.err;
        EXPECT_NE(r.out.find(text), std::string::npos) << action << ": " << r.out;
    };
    setenv("TRAPWATCH_CTL", TW_BINARY_DIR "/tools/trapwatchctl", 1);
    step("status", 3, "trapwatch: not running\n");
    step("start", 0, "trapwatch: started\n");
    const pid_t first = ctl_lock_holder();
    step("status", 0, "trapwatch: running, version 0.0.12.19, pid " + std::to_string(first) + "\n");
    step("start", 0, "trapwatch: already running\n");
    step("restart", 0, "trapwatch: stopped\ntrapwatch: started\n");
    EXPECT_NE(ctl_lock_holder(), first);
    // Its socket gone: status names the holder, stop falls back to SIGTERM.
    const std::string holder = "pid " + std::to_string(ctl_lock_holder()) + " holds the lock";
    ASSERT_EQ(unlink(ctl_default_socket), 0);
    step("status", 4, holder);
    step("stop", 0, "trapwatch: stopped\n");
    EXPECT_EQ(ctl_lock_holder(), 0);
    // After a crash, start removes the stale socket file.
    step("start", 0, "trapwatch: started\n");
    EXPECT_EQ(trapwatchctl("fault --yes").status, 0);
    step("status", 3, "");
    step("start", 0, "trapwatch: started\n");
    step("stop", 0, "trapwatch: stopped\n");
    step("stop", 0, "trapwatch: not running\n");
}

TEST(keelson_sim, answers_each_record_as_its_rules_say) {
    ASSERT_EQ(sh("(" TW_EMULATOR " " TW_BINARY_DIR
                 "/tools/keelson-sim --fail 407=-5 --delay 407=300 --close 308 --short 382=20 "
                 "--fail 12=0x10 >/run/sim.out & echo $! >/run/sim.pid)"),
              0);
    ASSERT_TRUE(wait_until([] { return access(keelson_sock_path, F_OK) == 0; }, 15000ms));
    for (const auto &[cmd, answer] :
         {std::pair{382, -121}, {308, -121}, {407, -5}, {12, 16}, {5, 0}}) {
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
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 7) << out;
    EXPECT_NE(out.find(" cmd=407 param=0 origin=\"\" pid=" + me + " matrix=20000000 00000000"),
              std::string::npos)
        << out;
}

TEST(lab, shows_each_receiver_where_it_belongs_and_leaves_nothing_behind) {
    if (std::string(TW_EMULATOR) != "") {
        GTEST_SKIP() << "the lab runs the native build";
    }
    // Processes, network namespaces, links and mount points here.
    const std::string world =
        "ls /proc | grep -c '^[0-9]'; ip netns; ip -o link | cut -d: -f2; cut -d' ' -f5 "
        "/proc/self/mountinfo | sort";
    const std::string before = run(world).out;
    const run_result r =
        run("timeout -s INT 120 " TW_SOURCE_DIR
            "/scripts/lab.sh --cycles 3 --no-install --no-build --build-dir " TW_BINARY_DIR);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("lab: ended, nothing left behind"), std::string::npos) << r.out;
    const std::string last = r.out.substr(std::min(r.out.size(), r.out.rfind("--- frame 3")));
    for (const char *row : {"c1   2  1  0  2  0  0  0  0 ", "c2   2  2  0  0  0  0  0  0 ",
                            "c3   1  0  0  0  0  0  0  0 "}) {
        EXPECT_NE(last.find(row), std::string::npos) << row << "\n" << r.out;
    }
    EXPECT_TRUE(wait_until([&] { return run(world).out == before; }, 3000ms));
}
