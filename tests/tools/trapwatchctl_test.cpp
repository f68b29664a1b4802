// trapwatchctl as an operator runs it: every subcommand against the real
// daemon in the sandbox, and, against fake peers, the record each one sends,
// what it prints, and every failure it must explain (no daemon, a stale
// socket file, a daemon that does not accept, a failure status, a closed
// connection, a reply of the wrong size, a silent daemon, usage errors).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
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
    run_result r;
    auto t0 = std::chrono::steady_clock::now();
    r.status = tw_test::sh("timeout 20 " TW_EMULATOR " " + std::string(ctl_binary) + " " + args +
                           " >/run/tw-ctl.out 2>/run/tw-ctl.err");
    r.took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - t0);
    r.out = tw_test::read_file("/run/tw-ctl.out");
    r.err = tw_test::read_file("/run/tw-ctl.err");
    return r;
}

// What sits at fake_path: nothing, a socket file nobody listens on (what a
// daemon ended by a signal leaves), a listener whose backlog is full (the
// connect itself has to give up), or a one-connection server that reads the
// request and answers reply_len bytes of a record with status and data "fake"
// (0: it closes without a reply; silent: it holds the connection until the
// client gives up).
enum class peer { none, stale, full, server };
constexpr ssize_t silent = -1;

struct seen {
    run_result r;
    cmd_msg_t request{};
    ssize_t request_bytes = -1;  // -1: no connection came
};

// Runs trapwatchctl against the peer, with --socket fake_path unless none.
seen ctl_with(peer kind, const std::string &args, ssize_t reply_len, int32_t status) {
    seen s;
    unlink(fake_path);
    int fd = kind == peer::none ? -1 : socket(AF_UNIX, SOCK_STREAM, 0);
    int queued = -1;
    std::thread server;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, fake_path, sizeof a.sun_path - 1);
    auto *sa = reinterpret_cast<sockaddr *>(&a);
    if (fd >= 0) {
        EXPECT_EQ(bind(fd, sa, sizeof a), 0) << std::strerror(errno);
        if (kind == peer::stale) {
            close(fd);
            fd = -1;
        } else {
            EXPECT_EQ(listen(fd, kind == peer::full ? 0 : 4), 0);
        }
    }
    if (kind == peer::full) {
        queued = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        EXPECT_EQ(connect(queued, sa, sizeof a), 0) << std::strerror(errno);
    } else if (kind == peer::server) {
        server = std::thread([&s, fd, reply_len, status] {
            int c = accept(fd, nullptr, nullptr);
            if (c < 0) {
                return;  // shut down without a client
            }
            timeval tv{5, 0};
            setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            s.request_bytes = recv(c, &s.request, sizeof s.request, 0);
            cmd_msg_t reply[2]{};  // room for a reply that is too long
            reply[0].cmd = status;
            std::memcpy(reply[0].data, "fake", 4);
            if (reply_len == silent) {
                recv(c, reply, 1, 0);
            } else {
                send(c, reply, static_cast<size_t>(reply_len), MSG_NOSIGNAL);
            }
            close(c);
        });
    }
    s.r = ctl(kind == peer::none ? args : std::string("--socket ") + fake_path + " " + args);
    shutdown(fd, SHUT_RDWR);  // ends an accept still waiting
    if (server.joinable()) {
        server.join();
    }
    close(fd);
    close(queued);
    unlink(fake_path);
    return s;
}

}  // namespace

// ------------------------------------------------------ without a daemon ---

TEST(trapwatchctl_failures, every_command_and_failure_has_its_exit_status_output_and_record) {
    constexpr const char *refuses =
        "trapwatchctl: trapwatch is not running (/run/tw-ctl-fake.sock refuses connections: a "
        "stale socket file left by a daemon that ended on a signal?)\n";
    constexpr const char *closed =
        "trapwatchctl: trapwatch closed the connection without a reply\n";
    struct row {
        const char *args;
        int exit;
        // On stdout after success, else on stderr, the other stream empty; of
        // a usage error only the start (a hint or the usage follows).
        // nullptr: the status table, which the daemon test checks.
        const char *text;
        int32_t cmd = -1;  // the whole record's code and param, when one must arrive
        int32_t param = 0;
        peer at = peer::server;
        ssize_t reply_len = cmd_msg_len;
        int32_t status = 0;
    };
    const row rows[] = {
        {"status", 0, nullptr, 1},
        {"version", 0, "fake\n", 13},
        {"restart", 0, "configuration re-read requested\n", 0},
        {"restart --set-default", 0, "configuration re-read requested (after set default)\n", 0, 1},
        {"start", 0, "probing on\n", 3},
        {"stop", 0, "probing paused\n", 2},
        {"keelson-start", 0, "controller daemon announced\n", 5},
        {"debug off", 0, "console trace back to the default mask\n", 6},
        {"debug init", 0, "console trace of entries and exits on (0x10)\n", 7},
        {"debug proc", 0, "console trace of process and thread steps on (0x20)\n", 8},
        {"debug cycle", 0, "console trace of the monitor cycle on (0x40)\n", 9},
        {"debug keelson", 0, "console trace of control commands on (0x80)\n", 10},
        {"debug monitor", 0, "debug bit 0x100 set (it prints nothing)\n", 11},
        {"terminate", 0, "trapwatch terminated\n", 4},
        {"cmd 14 -7", 0, "status 0 (Success)\n", 14, -7},
        // Nobody there to answer.
        {"version", 3,
         "trapwatchctl: trapwatch is not running (no control socket at /var/run/trapwatch.sock)\n",
         -1, 0, peer::none},
        {"status", 3, refuses, -1, 0, peer::stale},
        {"--timeout 1 version", 4,
         "trapwatchctl: trapwatch did not accept the connection in time (busy with another "
         "client?) at /run/tw-ctl-fake.sock\n",
         -1, 0, peer::full},
        // No usable reply.
        {"restart --set-default", 1,
         "trapwatchctl: trapwatch answered status -103 (Wrong parameters)\n", 0, 1, peer::server,
         cmd_msg_len, -103},
        {"stop", 4, closed, 2, 0, peer::server, 0},
        {"status", 4, "trapwatchctl: bad reply from trapwatch: 155 bytes, expected 156\n", 1, 0,
         peer::server, 155},
        {"status", 4, "trapwatchctl: bad reply from trapwatch: 157 bytes, expected 156\n", 1, 0,
         peer::server, 157},
        {"--timeout 1 version", 4, "trapwatchctl: no reply from trapwatch in time\n", 13, 0,
         peer::server, silent},
        {"fault --yes", 1, "trapwatchctl: trapwatch answered instead of ending\n", 12},
        // A terminate the daemon ends inside is done once the lock is free.
        {"terminate", 0, "trapwatch ended (before replying)\n", 4, 0, peer::server, 0},
        // Usage errors send nothing.
        {"fault", 2,
         "trapwatchctl: fault makes the daemon end on a segmentation fault; add --yes to do it\n"},
        {"", 2, "usage: trapwatchctl [--socket PATH]"},
        {"frobnicate", 2, "trapwatchctl: unknown command: frobnicate\n"},
        {"debug loud", 2, "trapwatchctl: unknown debug class: loud\n"},
        {"debug", 2, "trapwatchctl: debug needs one of off, init, proc, cycle, keelson, monitor\n"},
        {"version --raw", 2, "trapwatchctl: --raw goes with status only\n"},
        {"status extra", 2, "trapwatchctl: too many arguments for status\n"},
        {"cmd x", 2, "trapwatchctl: cmd needs CODE [PARAM], numbers\n"},
        {"--timeout 0 status", 2, "trapwatchctl: bad --timeout: 0\n"},
    };
    const uint8_t zeros[128] = {};
    tw_test::clean_world();  // nobody holds the daemon's lock
    for (const row &w : rows) {
        SCOPED_TRACE(w.args);
        seen s = ctl_with(w.at, w.args, w.reply_len, w.status);
        EXPECT_EQ(s.r.status, w.exit);
        const std::string &printed = w.exit == 0 ? s.r.out : s.r.err;
        if (w.text != nullptr) {
            EXPECT_EQ(w.exit == 2 ? printed.substr(0, std::strlen(w.text)) : printed, w.text);
        }
        EXPECT_EQ(w.exit == 0 ? s.r.err : s.r.out, "");
        if (std::strstr(w.args, "--timeout 1") != nullptr) {
            EXPECT_LT(s.r.took, 4000ms);  // it gives up after a second, not the default five
        }
        EXPECT_EQ(s.request_bytes, w.cmd >= 0 ? static_cast<ssize_t>(cmd_msg_len) : -1);
        if (w.cmd >= 0) {
            EXPECT_EQ(s.request.cmd, w.cmd);
            EXPECT_EQ(s.request.param, w.param);
            EXPECT_STREQ(s.request.origin, "LOCAL");
            EXPECT_GT(s.request.pid, 0);
            EXPECT_EQ(std::memcmp(s.request.reserved, zeros, sizeof s.request.reserved), 0);
            EXPECT_EQ(std::memcmp(s.request.data, zeros, sizeof s.request.data), 0);
        }
    }
    // While the lock is held, as by a running daemon, the closed connection is a failure.
    int lock = open(tw_test::lock_path, O_RDWR | O_CREAT, 0640);
    ASSERT_EQ(lockf(lock, F_TLOCK, 0), 0);
    seen s = ctl_with(peer::server, "--timeout 1 terminate", 0, 0);
    close(lock);
    EXPECT_EQ(s.r.status, 4);
    EXPECT_EQ(s.r.err, closed);
    EXPECT_LT(s.r.took, 4000ms);
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

    int listener_ = -1;
    pid_t daemon_ = 0;
    std::unique_ptr<keelson_stub> keelson_;
};

// One daemon for the whole session of an operator, which ends it.
TEST_F(trapwatchctl_daemon, every_command_reaches_the_daemon_and_terminate_ends_it) {
    // Once the first pass has published, about four seconds after the start.
    const std::string table = R"(       0  1  2  3  4  5  6  7
  c1   2  1  0  0  0  0  0  0
  c2   0  0  0  0  0  0  0  0
  c3   0  0  0  0  0  0  0  0
  c4   0  0  0  0  0  0  0  0
  c5   0  0  0  0  0  0  0  0
  c6   0  0  0  0  0  0  0  0
  c7   0  0  0  0  0  0  0  0
  c8   0  0  0  0  0  0  0  0
  c9   0  0  0  0  0  0  0  0
  c10  0  0  0  0  0  0  0  0
  c11  0  0  0  0  0  0  0  0
  0 no echo reply (or empty slot)
  1 echo reply, trap port refused or not probed
  2 reachable
)";
    std::string out;
    ASSERT_TRUE(tw_test::wait_until([&] { return (out = ctl("status").out) == table; }, 15000ms))
        << out;
    run_result r = ctl("status --raw");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, table +
                         "0201000000000000 0000000000000000 0000000000000000 0000000000000000 "
                         "0000000000000000 0000000000000000 0000000000000000 0000000000000000 "
                         "0000000000000000 0000000000000000 0000000000000000\n");

    r = ctl("cmd 14");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "status -103 (Wrong parameters)\n");
    r = ctl("version");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0.0.12.19\n");
    // The daemon accepts every other command (it answers -103 to a code it does
    // not know); what each one does is for the daemon's own tests.
    for (const char *args :
         {"restart --set-default", "restart", "stop", "start", "keelson-start", "debug init",
          "debug proc", "debug cycle", "debug keelson", "debug monitor", "debug off"}) {
        run_result c = ctl(args);
        EXPECT_EQ(c.status, 0) << args << ": " << c.err;
    }

    r = ctl("terminate");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "trapwatch terminated\n");
    EXPECT_GE(r.took, 900ms);  // the stop's pause comes before the reply
    EXPECT_EQ(tw_test::wait_exit(daemon_, 5000ms), 0);
    daemon_ = 0;
    EXPECT_FALSE(tw_test::exists(tw_test::control_path));
}

TEST_F(trapwatchctl_daemon, fault_with_yes_ends_the_daemon_and_leaves_a_stale_socket) {
    run_result r = ctl("fault --yes");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "trapwatch ended on the fault\n");
    EXPECT_EQ(tw_test::wait_exit(daemon_, 5000ms), 0);
    daemon_ = 0;
    // Ended by a signal, the daemon leaves its socket file behind.
    ASSERT_TRUE(tw_test::exists(tw_test::control_path));
    r = ctl("status");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("refuses connections"), std::string::npos) << r.err;
}
