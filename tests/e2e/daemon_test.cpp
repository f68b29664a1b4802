// The real daemon as its users, its init script and the lab start, use and
// stop it, and watching a small network while things go wrong around it: each
// fault case starts from one opening, must leave the codes right and the
// daemon flat, and with TW_SOAK_SECONDS (scripts/soak.sh) repeats its
// disturbance that long.  Group c1 (port 162) in namespace "twf": 192.0.2.10
// listener (code 2), .11 refuses the port (1), .12 held by nobody (0), .13
// listener, away at times (2 or 0).
#include "tests/support/daemon.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <future>

#include "params/params.h"
#include "tests/support/expect.h"
#include "tools/keelson_stub.h"

using namespace tw_test;
using namespace std::chrono_literals;

namespace {

// Run as user nobody, who may neither command the daemon nor write its lock.
const std::string nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";

TEST(daemon, starts_once_and_serves_every_command) {
    // With process 1 as its parent it refuses before forking.
    EXPECT_EQ(sh("unshare -pf --mount-proc sh -c '" TW_BINARY_DIR "/trapwatch/trapwatch; exit $?'"),
              exit_already_loaded);
    EXPECT_NE(access(lock_file_path, F_OK), 0);
    // A symlink at the lock path is not followed: nothing is made where it points.
    ASSERT_EQ(symlink("/run/tw-planted", lock_file_path), 0);
    EXPECT_EQ(launch(), 0);
    EXPECT_EQ(wait_exit(-1, 10000ms), exit_status_of(TW_ERR_FAILED));
    EXPECT_NE(access("/run/tw-planted", F_OK), 0);
    ASSERT_EQ(unlink(lock_file_path), 0);
    // No configuration file: no receiver.  Started with 0, 1 and 2 closed, it
    // holds them on /dev/null, so none of its own files or sockets takes them.
    const pid_t pid = start_serving(022, true);
    ASSERT_GT(pid, 0);
    for (const char *fd : {"/fd/0", "/fd/1", "/fd/2"}) {
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + fd), "/dev/null");
    }
    const std::pair<const char *, std::string> rows[] = {
        {"version", version + "\n"},
        {"pid", std::to_string(pid) + "\n"},
        {"status", ctl_format_matrix(matrix{}.data())},
        {"status --json", ctl_format_json(matrix{}.data(), "0.0.12.19")},
        {"version --json", "{\"version\":\"0.0.12.19\"}\n"},
        {"cmd 14", "status -103 (Wrong parameters)\n"},
        {"restart --set-default", "configuration re-read requested (after set default)\n"},
        {"debug proc", "console trace of process and thread steps on (0x20)\n"},
    };
    for (const auto &[args, out] : rows) {
        const run_result r = trapwatchctl(args);
        EXPECT_EQ(r.status, out.starts_with("status -") ? 1 : 0) << args << ": " << r.err;
        EXPECT_EQ(r.out, out) << args;
    }
    for (const char *args : {"restart", "stop", "start", "keelson-start", "debug init",
                             "debug cycle", "debug keelson", "debug monitor", "debug off"}) {
        EXPECT_EQ(trapwatchctl(args).status, 0) << args;
    }
    // A second start: its daemon ends so, the first one serves on.
    EXPECT_EQ(launch(), 0);
    EXPECT_EQ(wait_exit(-1, 10000ms), exit_already_loaded);
    EXPECT_EQ(ctl_lock_holder(), pid);
    EXPECT_EQ(status(), matrix{});
}

TEST(daemon, every_stop_ends_it_with_0_and_frees_the_lock) {
    const struct {
        int sig;  // 0: trapwatchctl args, what it prints
        const char *args, *out;
        bool pause;        // the stop's one-second pause comes first
        bool socket_left;  // a stop in the signal handler leaves the socket file
    } rows[] = {
        {0, "terminate", "trapwatch terminated\n", true, false},
        {SIGTERM, "", "", true, true},
        {SIGHUP, "", "", true, true},
        {SIGUSR1, "", "", false, true},
        {SIGUSR2, "", "", false, true},
        {0, "fault --yes", "trapwatch ended on the fault\n", false, true},
    };
    const std::string not_running = "trapwatchctl: trapwatch is not running (";
    const std::string stale =
        "/var/run/trapwatch.sock refuses connections: a stale socket file left by a daemon that "
        "ended on a signal?)\n";
    mode_t mask = 022;
    for (const auto &w : rows) {
        SCOPED_TRACE(w.sig == 0 ? w.args : strsignal(w.sig));
        const pid_t pid = start_serving(mask ^= 022);  // under umask 0 and 022 in turn
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(run(nobody + TW_BINARY_DIR "/tools/trapwatchctl version")
                        .err.starts_with("trapwatchctl: cannot connect to /var/run/trapwatch.sock: "
                                         "Permission denied\n"));
        EXPECT_NE(sh(nobody + "sh -c ': >>/var/lock/subsys/trapwatch' 2>/dev/null"), 0);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(w.sig == 0 ? trapwatchctl(w.args).out : std::to_string(kill(pid, w.sig)),
                  w.sig == 0 ? w.out : "0");
        EXPECT_EQ(wait_exit(pid, 10000ms), 0);
        EXPECT_EQ(std::chrono::steady_clock::now() - t0 > 900ms, w.pause);
        EXPECT_EQ(ctl_lock_holder(), 0);
        ASSERT_EQ(access(trapwatch_sock_path, F_OK) == 0, w.socket_left);
        const run_result r = trapwatchctl("status");
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err,
                  not_running +
                      (w.socket_left ? stale : "no control socket at /var/run/trapwatch.sock)\n"));
        if (w.sig == SIGTERM) {
            // The stale socket file fails the next start once, and goes.
            EXPECT_EQ(launch(), 0);
            EXPECT_EQ(wait_exit(-1, 10000ms), 139);
            EXPECT_NE(access(trapwatch_sock_path, F_OK), 0);
        }
        unlink(trapwatch_sock_path);
    }
}

TEST(init_script, starts_reports_stops_and_recovers) {
    // setup: shell run first, in a mount namespace of the step's own.
    auto step = [](const std::string &action, int exit, const std::string &text,
                   const std::string &setup = "") {
        // Through a pipe, as an init system or $(...) reads it: the daemon
        // must not hold the pipe open.  Under Debian's sh (dash).
        const run_result r =
            run("timeout 30 unshare -m bash -c 'set -o pipefail; " + setup +
                "sh " TW_SOURCE_DIR "/scripts/init.d/trapwatch " + action + " | cat'");
        EXPECT_EQ(r.status, exit) << action << ": " << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(text), std::string::npos)
            << action << ": " << r.out << r.err;
        EXPECT_TRUE(exit == 0 || (r.out + r.err).find(": started") == std::string::npos) << r.out;
    };
    setenv("TRAPWATCH_DAEMON", TW_BINARY_DIR "/trapwatch/trapwatch", 1);
    setenv("TRAPWATCH_CTL", TW_BINARY_DIR "/tools/trapwatchctl", 1);
    step("status", 3, "trapwatch: not running\n");
    // Its lock folder missing, and /var/lock's target (a fresh /run): made
    // root's, closed to others.
    step("start", 0, "trapwatch: started\n", "rmdir /run/lock/subsys /run/lock && ");
    struct stat lock_dir {};
    EXPECT_EQ(stat("/run/lock/subsys", &lock_dir), 0);
    EXPECT_EQ(lock_dir.st_uid * 010000 + (lock_dir.st_mode & 07777), 0755u);
    const pid_t first = ctl_lock_holder();
    step("status", 0,
         "trapwatch: running, version " + version + ", pid " + std::to_string(first) + "\n");
    step("start", 0, "trapwatch: already running\n");
    step("restart", 0, "trapwatch: stopped\ntrapwatch: started\n");
    EXPECT_NE(ctl_lock_holder(), first);
    // Its socket gone: status names the holder, stop falls back to SIGTERM;
    // from another pid namespace the holder has no pid, and nothing is signalled.
    ASSERT_EQ(unlink(trapwatch_sock_path), 0);
    const pid_t second = ctl_lock_holder();
    step("status", 4, "pid " + std::to_string(second) + " holds the lock");
    step("stop", 1, "cannot see (another pid namespace); nothing signalled",
         "unshare -pf --mount-proc ");
    EXPECT_EQ(ctl_lock_holder(), second);
    step("stop", 0, "trapwatch: stopped\n");
    EXPECT_EQ(ctl_lock_holder(), 0);
    // After a crash, start removes the stale socket file.
    step("start", 0, "trapwatch: started\n");
    EXPECT_EQ(trapwatchctl("fault --yes").status, 0);
    step("status", 3, "");
    step("start", 0, "trapwatch: started\n");
    step("stop", 0, "trapwatch: stopped\n");
    step("stop", 0, "trapwatch: not running\n");
    // Another program holding the lock is never signalled, nor taken for the daemon.
    const pid_t other = fork();
    if (other == 0) {
        if (lockf(open(lock_file_path, O_RDWR), F_LOCK, 0) == 0) {
            pause();
        }
        _exit(1);
    }
    ASSERT_TRUE(wait_until([&] { return ctl_lock_holder() == other; }, 5000ms));
    const std::string not_it = "pid " + std::to_string(other) + ", which is not ";
    step("stop", 1, not_it);
    step("status", 4, "trapwatch: not running, but " + not_it);
    step("start", 1, "trapwatch: not started: " + not_it);
    EXPECT_EQ(kill(other, SIGKILL), 0);
    EXPECT_EQ(wait_exit(other, 5000ms), 128 + SIGKILL);
    // What it cannot start with, it says, and starts nothing.
    const std::string refused = "must be a folder of root's that no one else may write";
    const std::string ro_run =
        "mount --bind /run /run && mount -o remount,bind,ro /run && mount -t tmpfs -o mode=0755 l "
        "/run/lock && mkdir /run/lock/subsys && ";
    step("start", 1, refused, "chown nobody /run/lock/subsys && ");
    step("start", 1, refused, "chown root /run/lock/subsys && chmod 1777 /run/lock/subsys && ");
    step("start", 1, "/var/run is read-only", "chmod 0755 /run/lock/subsys && " + ro_run);
    step("start", 1, "cannot make the lock folder /var/lock/subsys",
         "rm -r /run/lock/subsys && mount -t tmpfs -o ro l /run/lock && ");
    EXPECT_EQ(access(trapwatch_sock_path, F_OK), -1);
}

TEST(lab, shows_each_receiver_where_it_belongs_and_leaves_nothing_behind) {
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

const std::string in_ns = "ip netns exec twf ", lab = TW_BINARY_DIR "/tools/lab/";

matrix expected(bool row3 = true) {
    return {2, 1, 0, static_cast<uint8_t>(row3 ? 2 : 0)};
}
void write_config(bool row3 = true) {
    const std::string c1 =
        "162:192.0.2.10,192.0.2.11,192.0.2.12" + std::string(row3 ? ",192.0.2.13" : "");
    write_file(params_path, run(lib_sh + "tw_config 192.0.2.1 " + c1).out);
}
long echoes_received() {
    return std::stol("0" + run(in_ns + "awk '/^Icmp:/ { if (n++) print $10 }' /proc/net/snmp").out);
}
// A client sending n bytes and no more; the bytes of its reply (-1: it
// closes without reading).
ssize_t client(const void *bytes, size_t n, bool reads) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a;
    const socklen_t len = unix_address(trapwatch_sock_path, &a);
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    connect(fd, reinterpret_cast<const sockaddr *>(&a), len);
    ssize_t got = send(fd, bytes, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n) && reads ? 0 : -1;
    shutdown(fd, SHUT_WR);
    for (ssize_t k = 0; got >= 0 && (k = recv(fd, std::array<char, 400>().data(), 400, 0)) > 0;) {
        got += k;
    }
    close(fd);
    return got;
}

class fault : public ::testing::Test {
   protected:
    // The opening: the network, the daemon with the controller announced, its
    // first refresh sequence, the codes right; then what the daemon holds.
    void SetUp() override {
        ASSERT_EQ(sh(lib_sh + "tw_rxnet_up twf 0 192.0.2.10 192.0.2.11 192.0.2.13 -- 192.0.2.12"),
                  0);
        ASSERT_EQ(sh(in_ns + lab + "trap-listener 192.0.2.10:162 192.0.2.13:162 >/dev/null &"), 0);
        write_config();
        unlink(trapwatch_sock_path);  // left by an earlier case's stop (scripts/soak.sh)
        ASSERT_GT(pid = start_serving(), 0);
        ASSERT_EQ(ctl(TRAPWATCH_CMD_KEELSON_START).fail, ctl_fail::none);
        ASSERT_TRUE(wait_until([&] { return refreshes().size() >= 4; }, 20s));
        std::string sequence;
        for (const keelson_request &r : refreshes()) {
            sequence += std::to_string(r.cmd) + "(" + std::to_string(r.param) + ") ";
            EXPECT_TRUE(std::equal(r.data.begin(), r.data.begin() + 88, expected().begin()));
        }
        EXPECT_EQ(sequence, refresh_sequence);  // the 407 after a pause:
        EXPECT_GT(refreshes()[2].time - refreshes()[1].time, 1800ms);
        ASSERT_TRUE(wait_matrix(expected(), 20s));
        fds = count_open_fds(pid);
        rss = rss_kb(pid);
    }
    static bool wait_matrix(const matrix &want, milliseconds limit) {
        return wait_until(
            [&] { return status() == want || (std::this_thread::sleep_for(200ms), false); }, limit);
    }
    std::vector<keelson_request> refreshes() const {
        std::vector<keelson_request> out = keelson->requests();
        std::erase_if(out, [](const auto &r) { return !r.whole() || r.cmd == keelson_cmd_log; });
        return out;
    }
    // Disturbs and checks, again and again for TW_SOAK_SECONDS.
    void soak(const std::function<void()> &disturb, int fd_slack = 0) {
        const auto t0 = std::chrono::steady_clock::now();
        const char *given = std::getenv("TW_SOAK_SECONDS");
        const auto soak = std::chrono::seconds(given != nullptr ? std::atol(given) : 0);
        int rounds = 0, fds_now = 0;
        long rss_now = 0;
        do {
            disturb();
            ++rounds;
            EXPECT_EQ(unanswered, 0);
            EXPECT_NEAR(fds_now = count_open_fds(pid), fds, fd_slack);
            EXPECT_LE(rss_now = rss_kb(pid), rss * 3 / 2);  // sanitizers' shadow grows some
        } while (!HasFailure() && std::chrono::steady_clock::now() - t0 < soak);
        std::printf("soak %s: %d rounds, %ld cycles, fds %d -> %d, VmRSS %ld -> %ld kB\n",
                    ::testing::UnitTest::GetInstance()->current_test_info()->name(), rounds,
                    static_cast<long>((std::chrono::steady_clock::now() - t0) / 5s), fds, fds_now,
                    rss, rss_now);
    }
    void sigterm_ends_it() {
        const pid_t daemon = std::exchange(pid, 0);
        ASSERT_EQ(kill(daemon, SIGTERM), 0);
        EXPECT_EQ(wait_exit(daemon, 10s), 0);
        EXPECT_EQ(ctl_lock_holder(), 0);
    }
    void TearDown() override {  // the next case (scripts/soak.sh) starts its own
        if (pid > 0 && kill(pid, SIGKILL) == 0) {
            wait_exit(pid, 10s);
        }
    }

    std::unique_ptr<keelson_stub> keelson = std::make_unique<keelson_stub>();
    pid_t pid = 0;
    int fds = -1;
    long rss = -1;
};

TEST_F(fault, the_controller_misbehaving) {
    using kind = keelson_reply::kind;
    const std::optional<keelson_reply> phases[] = {
        std::nullopt,  // no controller at all
        keelson_reply{.how = kind::close},
        keelson_reply{.how = kind::short_answer, .short_len = 37},
        keelson_reply{.status = -5},
        keelson_reply{.delay = 1000ms},
    };
    bool row3 = true;
    soak(
        [&] {
            for (const std::optional<keelson_reply> &p : phases) {
                keelson.reset();
                if (p) {
                    keelson = std::make_unique<keelson_stub>(keelson_sock_path,
                                                             keelson_stub_setup{{}, *p, {}});
                }
                // A changed table after a set-default arms the refresh; the noise makes log lines.
                write_config(row3 = !row3);
                ASSERT_EQ(ctl(TRAPWATCH_CMD_RESTART, 1).fail, ctl_fail::none);
                EXPECT_EQ(sh(in_ns + lab + "icmp-noise 16 >/dev/null"), 0);
                EXPECT_TRUE(wait_matrix(expected(row3), 40s)) << &p - phases;
                EXPECT_TRUE(!keelson || keelson->count() > 0) << &p - phases;
            }
            keelson->set_default_reply({});
        },
        1);  // one exchange with the controller may be open
    // SIGTERM inside a refresh sequence: a slow 308 holds the send thread there.
    keelson->set_reply(keelson_cmd_refresh_mid, {.delay = 4000ms});
    const size_t before = refreshes().size();
    write_config(row3 = !row3);
    ASSERT_EQ(ctl(TRAPWATCH_CMD_RESTART, 1).fail, ctl_fail::none);
    ASSERT_TRUE(wait_until([&] { return refreshes().size() >= before + 2; }, 20s));
    ASSERT_EQ(refreshes().back().cmd, keelson_cmd_refresh_mid);
    sigterm_ends_it();
}

TEST_F(fault, abusive_clients) {
    soak([&] {
        // A burst: 1000 connections from 20 clients at a time.
        EXPECT_EQ(run("seq 1000 | xargs -P 20 -I{} " TW_BINARY_DIR
                      "/tools/trapwatchctl --timeout 20 version | grep -c .")
                      .out,
                  "1000\n");
        // Silent clients, as many as the backlog takes, for three seconds.
        std::array<int, 50> silent;
        sockaddr_un a;
        const socklen_t len = unix_address(trapwatch_sock_path, &a);
        for (int &fd : silent) {
            fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            connect(fd, reinterpret_cast<const sockaddr *>(&a), len);
        }
        std::this_thread::sleep_for(3s);
        std::for_each(silent.begin(), silent.end(), close);
        // Every length from 0 to 400: 156 bytes or more are one request.
        std::array<uint8_t, 400> bytes;
        bytes.fill(0x5a);
        const int32_t get_status = TRAPWATCH_CMD_GET_STATUS;
        std::memcpy(bytes.data(), &get_status, sizeof get_status);
        for (size_t n = 0; n <= bytes.size(); ++n) {
            EXPECT_EQ(client(bytes.data(), n, true), n < cmd_msg_len ? 0 : ssize_t{cmd_msg_len})
                << n;
            client(bytes.data(), cmd_msg_len, false);  // and one gone before its reply
        }
        EXPECT_TRUE(wait_matrix(expected(), 20s));
    });
    // SIGTERM in the pause of TERMINATE's stop: either stop may end the
    // process first, so the reply is status 0 or none at all.
    auto terminate =
        std::async(std::launch::async, [] { return ctl(TRAPWATCH_CMD_TERMINATE, 0, 8s); });
    std::this_thread::sleep_for(400ms);
    sigterm_ends_it();
    EXPECT_EQ(terminate.get().reply.cmd, 0);
}

TEST_F(fault, a_flood_of_malformed_and_foreign_icmp) {
    soak([&] {
        std::atomic<bool> flooding{true};
        std::jthread poller([&] {
            for (; flooding; std::this_thread::sleep_for(100ms)) {
                status();
            }
        });
        EXPECT_EQ(sh(in_ns + lab + "icmp-noise 20000 >/dev/null"), 0);
        flooding = false;
        // The receive thread works off its backlog (a reply out of range costs
        // a paced dump on the console); then the codes are right, cycle after cycle.
        auto right_twice = [&] {
            return wait_matrix(expected(), 1s) &&
                   (std::this_thread::sleep_for(6s), status() == expected());
        };
        EXPECT_TRUE(wait_until(right_twice, 90s));
    });
    for (const keelson_request &r : keelson->requests()) {
        EXPECT_TRUE(r.cmd != keelson_cmd_log || r.text().find("wrong reply") != std::string::npos)
            << r.text();
    }
}

TEST_F(fault, a_receiver_flapping_every_cycle) {
    // 192.0.2.13 is away for one pass and back for the next: its code
    // follows, its status holds, so no refresh is asked for.
    soak([&] {
        const size_t before = refreshes().size();
        for (const char *step : {"del", "add", "del", "add"}) {
            ASSERT_EQ(sh(lib_sh + "tw_rxnet_addr twf " + step + " 192.0.2.13"), 0);
            ASSERT_TRUE(wait_matrix(expected(step[0] == 'a'), 15s));
        }
        EXPECT_EQ(refreshes().size(), before);
    });
}

TEST_F(fault, a_broken_configuration_file) {
    soak([&] {
        // Half the file, then junk: each cycle's re-read fails and nobody is
        // probed; the last codes stand until a good file and RESTART.
        write_file(params_path, read_file(params_path).substr(0, 700) + std::string(20000, '\xff'));
        keelson->clear();
        ASSERT_EQ(ctl(TRAPWATCH_CMD_RESTART).fail, ctl_fail::none);
        // While a re-read is pending, log lines come as empty connections.
        auto failed_reads = [&] {
            return std::ranges::count(keelson->requests(), 0u, &keelson_request::bytes);
        };
        ASSERT_TRUE(wait_until([&] { return failed_reads() > 0; }, 8s));
        std::this_thread::sleep_for(500ms);
        const auto failures = failed_reads();
        const long echoes = echoes_received();
        ASSERT_TRUE(wait_until([&] { return failed_reads() > failures; }, 8s));
        std::this_thread::sleep_for(1s);  // when an echo request would have left
        EXPECT_EQ(echoes_received(), echoes);
        EXPECT_EQ(status(), expected());
        write_config();
        ASSERT_EQ(ctl(TRAPWATCH_CMD_RESTART).fail, ctl_fail::none);
        EXPECT_TRUE(wait_until([&] { return echoes_received() > echoes; }, 8s));
        EXPECT_TRUE(wait_matrix(expected(), 15s));
    });
}

}  // namespace
