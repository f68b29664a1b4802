// The real trapwatch binary, started as a user starts it, in the sandbox.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"

using namespace tw_test;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

// A clean world for every test: no daemon, no control socket, no lock file,
// a controller stand-in listening; and the same left behind.
class daemon_world : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { become_subreaper(); }
    void SetUp() override {
        clean_world();
        keelson = std::make_unique<keelson_stub>();
    }
    void TearDown() override {
        clean_world();
        keelson.reset();
    }

    // Log lines (command 230) the stand-in received so far.
    std::vector<std::string> log_lines() const {
        std::vector<std::string> out;
        for (const auto &r : keelson->requests()) {
            if (r.whole() && r.cmd == 230) {
                out.push_back(r.text());
            }
        }
        return out;
    }
    // Waits (bounded) for a log line matching re; returns it, or "" if none.
    std::string wait_log(const std::string &re, milliseconds limit = milliseconds(5000)) const {
        std::regex rx(re);
        std::string hit;
        wait_until(
            [&] {
                for (const auto &l : log_lines()) {
                    if (std::regex_match(l, rx)) {
                        hit = l;
                        return true;
                    }
                }
                return false;
            },
            limit);
        return hit;
    }

    // Starts the daemon and waits until it serves.
    pid_t start_serving() {
        started s = start_trapwatch();
        EXPECT_EQ(s.launcher_status, 0);
        EXPECT_NE(s.daemon, 0);
        EXPECT_TRUE(wait_serving(milliseconds(8000)));
        return s.daemon;
    }

    std::unique_ptr<keelson_stub> keelson;
};

class trapwatch_start : public daemon_world {};
class trapwatch_stop : public daemon_world {};
class trapwatch_start_failure : public daemon_world {};

double seconds_since(steady_clock::time_point t0) {
    return std::chrono::duration<double>(steady_clock::now() - t0).count();
}

// Waits for a console line matching re (searched from offset); bounded.
bool wait_console_re(const std::string &re, size_t offset, milliseconds limit) {
    std::regex rx(re);
    return wait_until(
        [&] {
            std::string c = console();
            return c.size() > offset && std::regex_search(c.substr(offset), rx);
        },
        limit);
}

}  // namespace

TEST_F(trapwatch_start, launcher_exits_0_and_the_daemon_announces_itself_and_holds_the_lock) {
    const size_t mark = console_mark();
    started s = start_trapwatch();
    EXPECT_EQ(s.launcher_status, 0);
    ASSERT_NE(s.daemon, 0);
    ASSERT_TRUE(wait_serving(milliseconds(8000)));

    // "0.0.12.19 (Mmm dd yyyy hh:mm:ss)" on the console, printed before the fork.
    EXPECT_TRUE(wait_console_re(
        R"(trapwatch version 0\.0\.12\.19 \([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\)\n\r)",
        mark, milliseconds(2000)))
        << console().substr(mark);

    struct stat st;
    ASSERT_EQ(stat(lock_path, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_FALSE(lock_is_free());
    // A session leader of its own, with "/" as working directory.
    EXPECT_EQ(getsid(s.daemon), s.daemon);
    char cwd[64] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(s.daemon) + "/cwd").c_str(), cwd, sizeof cwd - 1),
              0);
    EXPECT_STREQ(cwd, "/");
}

TEST_F(trapwatch_start, get_ver_and_get_status_before_the_first_pass) {
    start_serving();

    reply ver = exchange(13);
    ASSERT_TRUE(ver.whole());
    EXPECT_EQ(ver.msg.cmd, 0);
    EXPECT_EQ(ver.msg.param, 0);
    EXPECT_EQ(ver.msg.pid, 0);
    uint8_t want[128] = {};
    std::memcpy(want, "0.0.12.19", 10);  // with its NUL, zeros after it
    EXPECT_EQ(std::memcmp(ver.msg.data, want, sizeof want), 0);
    const uint8_t zeros[16] = {};
    EXPECT_EQ(std::memcmp(ver.msg.origin, zeros, 8), 0);
    EXPECT_EQ(std::memcmp(ver.msg.reserved, zeros, 8), 0);

    reply status = exchange(1);
    ASSERT_TRUE(status.whole());
    EXPECT_EQ(status.msg.cmd, 0);
    const uint8_t none[128] = {};
    EXPECT_EQ(std::memcmp(status.msg.data, none, 128), 0);  // 88 zero codes, 40 zero bytes
}

TEST_F(trapwatch_start, out_of_range_commands_get_minus_103_and_a_log_line) {
    start_serving();
    for (int32_t cmd : {14, -1}) {
        keelson->clear();
        reply r = exchange(cmd);
        ASSERT_TRUE(r.whole()) << cmd;
        EXPECT_EQ(r.msg.cmd, -103) << cmd;
        EXPECT_NE(wait_log(R"(p_cmd_loop\([0-9]+\) unsupported command: )" + std::to_string(cmd) +
                           "\n\r"),
                  "")
            << cmd;
    }
}

TEST_F(trapwatch_start, a_short_request_gets_no_answer_and_the_next_client_is_served) {
    pid_t daemon = start_serving();
    const int fds = fd_count(daemon);
    uint8_t bytes[100];
    std::memset(bytes, 0, sizeof bytes);
    bytes[0] = 13;  // would be GET_VER in either byte order's low byte
    auto t0 = steady_clock::now();
    reply r = exchange_bytes(bytes, sizeof bytes, milliseconds(5000));
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.got, 0);
    EXPECT_LT(seconds_since(t0), 1.0);  // dropped at once, not after the bound

    reply next = exchange(13);
    ASSERT_TRUE(next.whole());
    EXPECT_EQ(next.msg.cmd, 0);
    EXPECT_EQ(fd_count(daemon), fds);  // the dropped connection was closed
}

// Chosen bound: an accepted connection holds the loop at most 2 s for its
// request (and 2 s for its reply); then it is dropped.
TEST_F(trapwatch_start, a_silent_client_holds_the_loop_about_two_seconds_at_most) {
    pid_t daemon = start_serving();
    const int fds = fd_count(daemon);
    auto t0 = steady_clock::now();
    reply silent = exchange_bytes(nullptr, 0, milliseconds(6000));
    double held = seconds_since(t0);
    EXPECT_TRUE(silent.closed);
    EXPECT_EQ(silent.got, 0);
    EXPECT_GT(held, 1.5);
    EXPECT_LT(held, 3.5);

    reply next = exchange(13);
    ASSERT_TRUE(next.whole());
    EXPECT_EQ(next.msg.cmd, 0);
    EXPECT_EQ(fd_count(daemon), fds);
}

TEST_F(trapwatch_start, a_client_behind_a_silent_one_is_served_after_the_bound) {
    start_serving();
    std::thread silent([] { exchange_bytes(nullptr, 0, milliseconds(6000)); });
    std::this_thread::sleep_for(milliseconds(200));  // the silent one is accepted first
    auto t0 = steady_clock::now();
    reply next = exchange(13, 0, milliseconds(6000));
    double waited = seconds_since(t0);
    silent.join();
    ASSERT_TRUE(next.whole());
    EXPECT_EQ(next.msg.cmd, 0);
    EXPECT_GT(waited, 1.0);
    EXPECT_LT(waited, 3.5);
}

TEST_F(trapwatch_start, debug_commands_switch_the_console_trace_on_and_off) {
    start_serving();
    const std::string fn = R"(trapwatch:cmd_proccesing\([0-9]+\): )";
    const std::string loop = R"(trapwatch:p_cmd_loop\([0-9]+\): )";

    // Under the default mask a command leaves nothing on the console.
    size_t mark = console_mark();
    ASSERT_EQ(exchange(13).msg.cmd, 0);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(console().substr(mark).find("cmd_proccesing"), std::string::npos);

    // DBG_KEELSON_CMD: its own lines come before the bit is set; the "after"
    // line of the loop already prints.
    mark = console_mark();
    ASSERT_EQ(exchange(10).msg.cmd, 0);
    EXPECT_TRUE(wait_console_re(loop + R"(after cmd processing\(sock: [0-9]+\)\n\r)", mark,
                                milliseconds(3000)));
    EXPECT_EQ(console().substr(mark).find("TRAPWATCH_CMD_DBG_KEELSON_CMD"), std::string::npos);

    // DBG_INIT: every line of the command, the enter/exit ones included.
    mark = console_mark();
    ASSERT_EQ(exchange(7).msg.cmd, 0);
    EXPECT_TRUE(wait_console_re(loop + R"(before cmd processing\(sock: [0-9]+\)\n\r)" + fn +
                                    R"(cmd: 7\n\r)" + fn + R"(DBG_INIT\n\r)" + fn + R"(exit\n\r)" +
                                    loop + R"(after cmd processing\(sock: [0-9]+\)\n\r)",
                                mark, milliseconds(3000)))
        << console().substr(mark);

    // DBG_OFF: printed under the old mask, then silence.
    mark = console_mark();
    ASSERT_EQ(exchange(6).msg.cmd, 0);
    EXPECT_TRUE(wait_console_re(fn + R"(DBG_OFF\n\r)", mark, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(300));
    mark = console_mark();
    ASSERT_EQ(exchange(13).msg.cmd, 0);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(console().substr(mark), "");
}

TEST_F(trapwatch_start, a_missing_configuration_file_does_not_stop_the_start) {
    ASSERT_FALSE(exists(config_path));
    start_serving();
    EXPECT_NE(
        wait_log(
            R"(process_params\([0-9]+\): fopen\(/mnt/params/cfparams.txt\) failed on error: "No such file or directory"\.\n)"),
        "");
    reply status = exchange(1);
    ASSERT_TRUE(status.whole());
    EXPECT_EQ(status.msg.cmd, 0);
    const uint8_t none[128] = {};
    EXPECT_EQ(std::memcmp(status.msg.data, none, 128), 0);
}

TEST_F(trapwatch_stop, terminate_replies_after_the_pause_then_the_daemon_exits_0) {
    pid_t daemon = start_serving();
    auto t0 = steady_clock::now();
    reply r = exchange(4, 0, milliseconds(6000));
    double took = seconds_since(t0);
    ASSERT_TRUE(r.whole());
    EXPECT_EQ(r.msg.cmd, 0);
    EXPECT_GT(took, 0.9);  // the stop's one-second pause came first
    EXPECT_LT(took, 3.0);
    EXPECT_TRUE(lock_is_free());
    EXPECT_EQ(wait_exit(daemon, milliseconds(5000)), 0);
    EXPECT_FALSE(exists(control_path));
    EXPECT_TRUE(exists(lock_path));  // the file stays; only the lock is gone
}

TEST_F(trapwatch_stop, sigterm_and_sighup_stop_with_the_pause_and_exit_0) {
    for (int sig : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        pid_t daemon = start_serving();
        auto t0 = steady_clock::now();
        ASSERT_EQ(kill(daemon, sig), 0);
        EXPECT_EQ(wait_exit(daemon, milliseconds(5000)), 0);
        double took = seconds_since(t0);
        EXPECT_GT(took, 0.9);
        EXPECT_LT(took, 3.0);
        EXPECT_TRUE(lock_is_free());
        // A signal stop ends in the handler, before the loop's end steps.
        EXPECT_TRUE(exists(control_path));
        clean_world();
    }
}

TEST_F(trapwatch_stop, sigusr1_and_sigusr2_end_the_daemon_at_once_with_0) {
    for (int sig : {SIGUSR1, SIGUSR2}) {
        SCOPED_TRACE(sig);
        pid_t daemon = start_serving();
        auto t0 = steady_clock::now();
        ASSERT_EQ(kill(daemon, sig), 0);
        EXPECT_EQ(wait_exit(daemon, milliseconds(5000)), 0);
        EXPECT_LT(seconds_since(t0), 0.5);
        EXPECT_TRUE(lock_is_free());
        clean_world();
    }
}

TEST_F(trapwatch_stop, dbg_seg_fault_closes_the_connection_and_exits_0) {
    pid_t daemon = start_serving();
    const size_t mark = console_mark();
    reply r = exchange(12, 0, milliseconds(5000));
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.got, 0);
    EXPECT_EQ(wait_exit(daemon, milliseconds(5000)), 0);
    EXPECT_TRUE(wait_console_re(R"(trapwatch:p_signal_handler\([0-9]+\): pid:)" +
                                    std::to_string(daemon) + " segmentation fault catched:\n",
                                mark, milliseconds(2000)))
        << console().substr(mark);
}

TEST_F(trapwatch_start_failure, a_second_start_leaves_the_running_daemon_alone) {
    pid_t first = start_serving();
    ASSERT_EQ(exchange(9).msg.cmd, 0);  // DBG_MONITOR_CYCLE: the send steps show

    started second = start_trapwatch();
    EXPECT_EQ(second.launcher_status, 0);
    EXPECT_NE(wait_log(R"(daemonize\([0-9]+\): Can't lock lock file error: ".+"\.\n\r)"), "");
    // The second daemon ends after its stop (and its pause) with -118.
    ASSERT_NE(second.daemon, 0);
    EXPECT_EQ(wait_exit(second.daemon, milliseconds(5000)), 138);

    // The first one keeps its lock, its socket and its probing.
    EXPECT_FALSE(lock_is_free());
    reply r = exchange(13);
    ASSERT_TRUE(r.whole());
    EXPECT_EQ(r.msg.cmd, 0);
    const size_t mark = console_mark();
    EXPECT_TRUE(
        wait_console_re(R"(trapwatch:[a-z_]+\([0-9]+\): enter\n\r)", mark, milliseconds(7000)));
    EXPECT_EQ(trapwatch_children(), std::vector<pid_t>{first});
}

TEST_F(trapwatch_start_failure, a_stale_socket_file_fails_the_start_with_139_and_is_removed) {
    write_file(control_path, "");
    started s = start_trapwatch();
    EXPECT_EQ(s.launcher_status, 0);
    ASSERT_NE(s.daemon, 0);
    EXPECT_EQ(wait_exit(s.daemon, milliseconds(8000)), 139);  // -117
    EXPECT_NE(wait_log(R"(p_cmd_loop\([0-9]+\) bind error: "Address already in use"\n\r)"), "");
    EXPECT_FALSE(exists(control_path));
    EXPECT_TRUE(lock_is_free());

    start_serving();
}

TEST_F(trapwatch_start_failure, after_a_signal_stop_the_next_start_fails_once_then_serves) {
    pid_t daemon = start_serving();
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    ASSERT_EQ(wait_exit(daemon, milliseconds(5000)), 0);
    ASSERT_TRUE(exists(control_path));

    started s = start_trapwatch();
    EXPECT_EQ(s.launcher_status, 0);
    EXPECT_EQ(wait_exit(s.daemon, milliseconds(8000)), 139);
    EXPECT_FALSE(exists(control_path));
    start_serving();
}

TEST_F(trapwatch_start_failure, started_with_process_1_as_parent_it_exits_138_without_forking) {
    // In a fresh pid namespace the shell is process 1 and the parent of trapwatch
    // (with a /proc of its own, which the leak checker of sanitizer builds reads).
    const std::string cmd = std::string("unshare --pid --fork --mount-proc sh -c '") +
                            trapwatch_binary + "; exit $?' 2>/dev/null";
    EXPECT_EQ(sh(cmd), 138);
    EXPECT_FALSE(exists(lock_path));  // no daemon was forked to take it
    EXPECT_TRUE(trapwatch_children().empty());

    ASSERT_TRUE(keelson->wait_for(3, milliseconds(3000)));
    std::vector<std::string> lines = log_lines();
    // The configuration read's own line comes first.
    ASSERT_GE(lines.size(), 3u);
    lines.erase(lines.begin(), lines.end() - 3);
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex(R"(daemonize\([0-9]+\): already loaded\.\n\r)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(
        lines[1],
        std::regex(
            R"(clean_and_exit\([0-9]+\): pid: [0-9]+, wait4\(\) failed on error "No child processes"\.\n\r)")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(
        lines[2],
        std::regex(
            R"(clean_and_exit\([0-9]+\) pid: [0-9]+, TRAPWATCH daemon failed on error: 0x76 \("Daemon already loaded"\)\n\r)")))
        << lines[2];
}
