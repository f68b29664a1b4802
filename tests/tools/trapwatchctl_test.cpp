// trapwatchctl as an operator runs it: every subcommand against the real
// daemon in the sandbox, and every failure it must explain (no daemon, a
// stale or foreign socket file, a failure status, a closed connection, a
// reply of the wrong size, a silent daemon) against fake servers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "tests/support/daemon_harness.h"
#include "tests/support/sandbox.h"
#include "tools/ctl_client.h"
#include "tools/keelson_stub.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

constexpr const char *ctl_binary = TW_BINARY_DIR "/tools/trapwatchctl";
constexpr const char *fake_path = "/run/tw-ctl-fake.sock";

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
    milliseconds took{0};
};

// Runs trapwatchctl with args (already quoted for the shell), bounded.
run_result ctl(const std::string &args) {
    std::string emu = TW_EMULATOR;
    std::string cmd = "timeout 20 " + (emu.empty() ? "" : emu + " ") + ctl_binary + " " + args +
                      " >/run/tw-ctl.out 2>/run/tw-ctl.err";
    run_result r;
    auto t0 = std::chrono::steady_clock::now();
    r.status = tw_test::sh(cmd);
    r.took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - t0);
    r.out = tw_test::read_file("/run/tw-ctl.out");
    r.err = tw_test::read_file("/run/tw-ctl.err");
    unlink("/run/tw-ctl.out");
    unlink("/run/tw-ctl.err");
    return r;
}

sockaddr_un unix_addr(const char *path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path, sizeof a.sun_path - 1);
    return a;
}

// A one-connection server at fake_path that reads the request and then does
// what the test asks: answer a status, answer n bytes, close, or keep silent.
class fake_daemon {
   public:
    enum class how { status, bytes, close, silent };

    fake_daemon(how h, int32_t status = 0, size_t n = cmd_msg_len)
        : how_(h), status_(status), n_(n) {
        unlink(fake_path);
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a = unix_addr(fake_path);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(fd_, 4) != 0) {
            ADD_FAILURE() << "fake server: " << std::strerror(errno);
            return;
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~fake_daemon() {
        finish();
        close(fd_);
        unlink(fake_path);
    }
    // Stops serving and waits for the serving thread; the fields below are
    // read only after this.
    void finish() {
        shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    fake_daemon(const fake_daemon &) = delete;
    fake_daemon &operator=(const fake_daemon &) = delete;

    // The request as received (read after finish()).
    cmd_msg_t request{};
    ssize_t request_bytes = -1;
    int connections = 0;

   private:
    void serve() {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) {
            return;  // shut down without a client
        }
        ++connections;
        timeval tv{5, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        request_bytes = recv(c, &request, sizeof request, 0);
        cmd_msg_t reply{};
        reply.cmd = status_;
        std::memcpy(reply.data, "fake", 4);
        uint8_t big[2 * cmd_msg_len]{};
        std::memcpy(big, &reply, sizeof reply);
        switch (how_) {
            case how::status:
                send(c, &reply, sizeof reply, MSG_NOSIGNAL);
                break;
            case how::bytes:
                send(c, big, n_, MSG_NOSIGNAL);
                break;
            case how::close:
                break;
            case how::silent: {
                // Holds the connection until the client gives up.
                char b;
                recv(c, &b, 1, 0);
                break;
            }
        }
        close(c);
    }

    how how_;
    int32_t status_;
    size_t n_;
    int fd_ = -1;
    std::thread thread_;
};

std::string fake_args(const std::string &rest) {
    return std::string("--socket ") + fake_path + " " + rest;
}

}  // namespace

// ------------------------------------------------------ without a daemon ---

TEST(trapwatchctl_failures, no_socket_file_says_the_daemon_is_not_running) {
    tw_test::clean_world();
    run_result r = ctl("version");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "trapwatchctl: trapwatch is not running (no control socket at "
              "/var/run/trapwatch.sock)\n");
}

TEST(trapwatchctl_failures, stale_socket_file_is_refused_and_named) {
    // What a daemon ended by a signal leaves: a socket file nobody listens on.
    unlink(fake_path);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = unix_addr(fake_path);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    close(fd);
    run_result r = ctl(fake_args("status"));
    unlink(fake_path);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("trapwatch is not running (/run/tw-ctl-fake.sock refuses connections"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("stale socket file"), std::string::npos) << r.err;
}

TEST(trapwatchctl_failures, a_file_that_is_no_socket_refuses) {
    tw_test::write_file(fake_path, "not a socket\n");
    run_result r = ctl(fake_args("start"));
    unlink(fake_path);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("refuses connections"), std::string::npos) << r.err;
}

TEST(trapwatchctl_failures, failure_status_is_shown_with_its_error_text) {
    fake_daemon f(fake_daemon::how::status, -103);
    run_result r = ctl(fake_args("restart --set-default"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "trapwatchctl: trapwatch answered status -103 (Wrong parameters)\n");
}

TEST(trapwatchctl_failures, connection_closed_without_reply) {
    fake_daemon f(fake_daemon::how::close);
    run_result r = ctl(fake_args("stop"));
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "trapwatchctl: trapwatch closed the connection without a reply\n");
}

TEST(trapwatchctl_failures, short_reply_is_rejected) {
    fake_daemon f(fake_daemon::how::bytes, 0, 100);
    run_result r = ctl(fake_args("version"));
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "trapwatchctl: bad reply from trapwatch: 100 bytes, expected 156\n");
}

TEST(trapwatchctl_failures, reply_one_byte_short_or_long_is_rejected) {
    {
        fake_daemon f(fake_daemon::how::bytes, 0, 155);
        run_result r = ctl(fake_args("status"));
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.err, "trapwatchctl: bad reply from trapwatch: 155 bytes, expected 156\n");
    }
    {
        fake_daemon f(fake_daemon::how::bytes, 0, 157);
        run_result r = ctl(fake_args("status"));
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.err, "trapwatchctl: bad reply from trapwatch: 157 bytes, expected 156\n");
    }
}

TEST(trapwatchctl_failures, a_silent_daemon_does_not_hold_the_client) {
    fake_daemon f(fake_daemon::how::silent);
    run_result r = ctl(fake_args("--timeout 1 version"));
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "trapwatchctl: no reply from trapwatch in time\n");
    EXPECT_LT(r.took, 4000ms);
}

TEST(trapwatchctl_failures, a_daemon_that_does_not_accept_does_not_hold_the_client) {
    // A listener with a full backlog: the connect itself has to give up.
    unlink(fake_path);
    int l = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = unix_addr(fake_path);
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(l, 0), 0);
    int queued = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_EQ(connect(queued, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    run_result r = ctl(fake_args("--timeout 1 version"));
    close(queued);
    close(l);
    unlink(fake_path);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("did not accept the connection in time"), std::string::npos) << r.err;
    EXPECT_LT(r.took, 4000ms);
}

TEST(trapwatchctl_failures, terminate_closed_without_reply_is_done_once_the_lock_is_free) {
    tw_test::clean_world();  // nobody holds the daemon's lock
    fake_daemon f(fake_daemon::how::close);
    run_result r = ctl(fake_args("terminate"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "trapwatch ended (before replying)\n");
}

TEST(trapwatchctl_failures, terminate_closed_without_reply_while_the_lock_is_held_fails) {
    tw_test::clean_world();
    int lock = open(tw_test::lock_path, O_RDWR | O_CREAT, 0640);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(lockf(lock, F_TLOCK, 0), 0);  // as a running daemon holds it
    fake_daemon f(fake_daemon::how::close);
    run_result r = ctl(fake_args("--timeout 1 terminate"));
    close(lock);
    unlink(tw_test::lock_path);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "trapwatchctl: trapwatch closed the connection without a reply\n");
}

TEST(trapwatchctl_failures, request_is_one_whole_record) {
    fake_daemon f(fake_daemon::how::status, 0);
    run_result r = ctl(fake_args("restart --set-default"));
    f.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(f.request_bytes, static_cast<ssize_t>(cmd_msg_len));
    EXPECT_EQ(f.request.cmd, TRAPWATCH_CMD_RESTART);
    EXPECT_EQ(f.request.param, 1);
    EXPECT_STREQ(f.request.origin, "LOCAL");
    EXPECT_GT(f.request.pid, 0);
    const uint8_t zeros[128] = {};
    EXPECT_EQ(std::memcmp(f.request.reserved, zeros, sizeof f.request.reserved), 0);
    EXPECT_EQ(std::memcmp(f.request.data, zeros, sizeof f.request.data), 0);
}

TEST(trapwatchctl_failures, every_command_sends_its_code_and_param) {
    struct row {
        const char *args;
        int32_t cmd;
        int32_t param;
    };
    const row rows[] = {
        {"status", 1, 0},         {"version", 13, 0},
        {"restart", 0, 0},        {"restart --set-default", 0, 1},
        {"start", 3, 0},          {"stop", 2, 0},
        {"keelson-start", 5, 0},  {"debug off", 6, 0},
        {"debug init", 7, 0},     {"debug proc", 8, 0},
        {"debug cycle", 9, 0},    {"debug keelson", 10, 0},
        {"debug monitor", 11, 0}, {"terminate", 4, 0},
        {"cmd 14 -7", 14, -7},
    };
    for (const row &w : rows) {
        fake_daemon f(fake_daemon::how::status, 0);
        run_result r = ctl(fake_args(w.args));
        f.finish();
        EXPECT_EQ(r.status, 0) << w.args << ": " << r.err;
        EXPECT_EQ(f.request.cmd, w.cmd) << w.args;
        EXPECT_EQ(f.request.param, w.param) << w.args;
    }
}

TEST(trapwatchctl_failures, fault_refuses_without_yes_and_sends_nothing) {
    fake_daemon f(fake_daemon::how::status, 0);
    run_result r = ctl(fake_args("fault"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("add --yes"), std::string::npos) << r.err;
    f.finish();
    EXPECT_EQ(f.connections, 0);
}

TEST(trapwatchctl_failures, usage_errors_exit_2) {
    EXPECT_EQ(ctl("").status, 2);
    EXPECT_EQ(ctl("frobnicate").status, 2);
    EXPECT_EQ(ctl("debug loud").status, 2);
    EXPECT_EQ(ctl("debug").status, 2);
    EXPECT_EQ(ctl("version --raw").status, 2);
    EXPECT_EQ(ctl("status extra").status, 2);
    EXPECT_EQ(ctl("cmd x").status, 2);
    run_result h = ctl("--help");
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.out.find("keelson-start"), std::string::npos);
}

// ------------------------------------------------------ with the daemon ---

class trapwatchctl_daemon : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { tw_test::become_subreaper(); }

    void SetUp() override {
        if (std::string(TW_EMULATOR) != "") {
            GTEST_SKIP() << "the harness starts the daemon natively; the failures above "
                            "cover trapwatchctl under the emulator";
        }
        tw_test::clean_world();
        // Receivers on loopback: 127.0.0.1 with a trap listener (2), 127.0.0.2
        // with none on its port (1).
        listener_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(10162);
        a.sin_addr.s_addr = htonl(0x7f000001);
        ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        tw_test::write_file(
            tw_test::config_path,
            tw_test::config_text("127.0.0.1", {{{"127.0.0.1", "127.0.0.2"}, 10162}}));
        keelson_ = std::make_unique<keelson_stub>();
        tw_test::started s = tw_test::start_trapwatch();
        ASSERT_EQ(s.launcher_status, 0);
        ASSERT_GT(s.daemon, 0);
        daemon_ = s.daemon;
        ASSERT_TRUE(tw_test::wait_serving(5000ms));
    }

    void TearDown() override {
        if (listener_ < 0) {
            return;  // skipped
        }
        if (daemon_ > 0 && tw_test::exists(tw_test::control_path)) {
            ctl("terminate");
        }
        tw_test::clean_world();
        keelson_.reset();
        close(listener_);
    }

    // Console capture from mark on, after waiting (bounded) for needle.
    static bool console_has(const std::string &needle, size_t mark) {
        return tw_test::wait_console(needle, 3000ms, mark);
    }

    int listener_ = -1;
    pid_t daemon_ = 0;
    std::unique_ptr<keelson_stub> keelson_;
};

TEST_F(trapwatchctl_daemon, version_prints_the_number) {
    run_result r = ctl("version");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0.0.12.19\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(trapwatchctl_daemon, status_shows_the_published_matrix_as_a_table) {
    // The first pass publishes about four seconds after the start.
    std::string out;
    ASSERT_TRUE(tw_test::wait_until(
        [&] {
            out = ctl("status").out;
            return out.find("  c1   2  1  0  0  0  0  0  0\n") != std::string::npos;
        },
        15000ms))
        << out;
    std::regex row(R"(  c(\d+) +((?: +\d){8})\n)");
    int rows = 0;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), row); it != std::sregex_iterator();
         ++it) {
        ++rows;
        EXPECT_EQ((*it)[1].str(), std::to_string(rows));
    }
    EXPECT_EQ(rows, 11);
    EXPECT_EQ(out.rfind("       0  1  2  3  4  5  6  7\n", 0), 0u) << out;
    EXPECT_NE(out.find("0 no echo reply"), std::string::npos);
    EXPECT_NE(out.find("1 echo reply, trap port refused or not probed"), std::string::npos);
    EXPECT_NE(out.find("2 reachable"), std::string::npos);

    run_result raw = ctl("status --raw");
    EXPECT_EQ(raw.status, 0);
    std::string last = raw.out.substr(raw.out.rfind('\n', raw.out.size() - 2) + 1);
    EXPECT_EQ(last,
              "0201000000000000 0000000000000000 0000000000000000 0000000000000000 "
              "0000000000000000 0000000000000000 0000000000000000 0000000000000000 "
              "0000000000000000 0000000000000000 0000000000000000\n");
}

TEST_F(trapwatchctl_daemon, commands_reach_the_daemon) {
    ASSERT_EQ(ctl("debug keelson").status, 0);  // traces every command from now on
    size_t mark = tw_test::console_mark();

    run_result r = ctl("restart --set-default");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "configuration re-read requested (after set default)\n");
    EXPECT_TRUE(console_has("called from set default", mark));
    mark = tw_test::console_mark();
    EXPECT_EQ(ctl("restart").status, 0);
    EXPECT_TRUE(console_has("called from snmp apply", mark));

    mark = tw_test::console_mark();
    r = ctl("stop");
    EXPECT_EQ(r.out, "probing paused\n");
    EXPECT_TRUE(console_has("): STOP\n", mark));
    mark = tw_test::console_mark();
    r = ctl("start");
    EXPECT_EQ(r.out, "probing on\n");
    EXPECT_TRUE(console_has("cmd: 3\n", mark));

    mark = tw_test::console_mark();
    r = ctl("keelson-start");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "controller daemon announced\n");
    EXPECT_TRUE(console_has("KEELSON_START", mark));

    const std::pair<const char *, const char *> debug[] = {
        {"init", "DBG_INIT"},
        {"proc", "DBG_INIT"},
        {"cycle", "TRAPWATCH_CMD_DBG_MONITOR_CYCLE"},
        {"keelson", "TRAPWATCH_CMD_DBG_KEELSON_CMD"},
        {"monitor", "TRAPWATCH_CMD_DBG_MONITOR"},
        {"off", "DBG_OFF"},
    };
    for (const auto &[word, line] : debug) {
        mark = tw_test::console_mark();
        r = ctl(std::string("debug ") + word);
        EXPECT_EQ(r.status, 0) << word;
        EXPECT_TRUE(console_has(line, mark)) << word;
    }
    // Back at the default mask: commands print no trace any more.
    mark = tw_test::console_mark();
    EXPECT_EQ(ctl("version").status, 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(tw_test::console().find("GET_VER", mark), std::string::npos);
}

TEST_F(trapwatchctl_daemon, unknown_command_shows_minus_103_and_is_logged) {
    run_result r = ctl("cmd 14");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "status -103 (Wrong parameters)\n");
    ASSERT_TRUE(tw_test::wait_until(
        [&] {
            for (const keelson_request &q : keelson_->requests()) {
                if (q.cmd == keelson_cmd_log &&
                    q.text().find("unsupported command: 14") != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        3000ms));
}

TEST_F(trapwatchctl_daemon, terminate_waits_for_the_reply_and_the_daemon_ends) {
    run_result r = ctl("terminate");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "trapwatch terminated\n");
    EXPECT_GE(r.took, 900ms);  // the stop's pause comes before the reply
    EXPECT_EQ(tw_test::wait_exit(daemon_, 5000ms), 0);
    EXPECT_FALSE(tw_test::exists(tw_test::control_path));
    run_result after = ctl("version");
    EXPECT_EQ(after.status, 3);
    EXPECT_NE(after.err.find("trapwatch is not running (no control socket"), std::string::npos);
    daemon_ = 0;
}

TEST_F(trapwatchctl_daemon, fault_with_yes_ends_the_daemon_and_leaves_a_stale_socket) {
    run_result r = ctl("fault --yes");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "trapwatch ended on the fault\n");
    EXPECT_EQ(tw_test::wait_exit(daemon_, 5000ms), 0);
    daemon_ = 0;
    // Ended by a signal, the daemon leaves its socket file behind.
    ASSERT_TRUE(tw_test::exists(tw_test::control_path));
    run_result after = ctl("status");
    EXPECT_EQ(after.status, 3);
    EXPECT_NE(after.err.find("refuses connections"), std::string::npos) << after.err;
}
