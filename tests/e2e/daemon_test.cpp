// The real daemon started and stopped as its users do: the exit statuses, the
// lock, the control socket and who may use them, what trapwatchctl prints.
#include "tests/support/daemon.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>

#include <csignal>

using namespace tw_test;
using namespace std::chrono_literals;

// As user nobody, connecting to the control socket and opening the lock file
// for writing must both fail with EACCES: exit status 0.
int nobody_is_refused() {
    const pid_t pid = fork();
    if (pid == 0) {
        const passwd *pw = getpwnam("nobody");
        if (pw == nullptr || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 ||
            setuid(pw->pw_uid) != 0) {
            _exit(3);
        }
        const bool lock_refused = open(ctl_lock_path, O_RDWR) < 0 && errno == EACCES;
        _exit(ctl(TRAPWATCH_CMD_GET_VER).sys_errno != EACCES ? 1 : lock_refused ? 0 : 2);
    }
    return wait_exit(pid, 5000ms);
}

TEST(daemon, starts_once_and_serves_every_command) {
    // With process 1 as its parent it refuses before forking.
    EXPECT_EQ(sh("unshare -pf --mount-proc sh -c '" TW_BINARY_DIR "/trapwatch/trapwatch; exit $?'"),
              138);
    EXPECT_FALSE(exists(ctl_lock_path));
    const pid_t pid = start_serving();  // no configuration file: no receiver
    ASSERT_GT(pid, 0);
    const std::pair<const char *, std::string> rows[] = {
        {"version", "0.0.12.19\n"},
        {"pid", std::to_string(pid) + "\n"},
        {"status", ctl_format_matrix(matrix{}.data())},
        {"restart", "configuration re-read requested\n"},
        {"restart --set-default", "configuration re-read requested (after set default)\n"},
        {"stop", "probing paused\n"},
        {"start", "probing on\n"},
        {"keelson-start", "controller daemon announced\n"},
        {"debug init", "console trace of entries and exits on (0x10)\n"},
        {"debug proc", "console trace of process and thread steps on (0x20)\n"},
        {"debug cycle", "console trace of the monitor cycle on (0x40)\n"},
        {"debug keelson", "console trace of control commands on (0x80)\n"},
        {"debug monitor", "debug bit 0x100 set (it prints nothing)\n"},
        {"debug off", "console trace back to the default mask\n"},
        {"cmd 14", "status -103 (Wrong parameters)\n"},
    };
    for (const auto &[args, out] : rows) {
        const run_result r = trapwatchctl(args);
        EXPECT_EQ(r.status, out.starts_with("status -") ? 1 : 0) << args << ": " << r.err;
        EXPECT_EQ(r.out, out) << args;
    }
    // A second start: its daemon ends with 138, the first one serves on.
    EXPECT_EQ(launch(), 0);
    EXPECT_EQ(wait_exit(-1, 10000ms), 138);
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
        EXPECT_EQ(nobody_is_refused(), 0);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(w.sig == 0 ? trapwatchctl(w.args).out : std::to_string(kill(pid, w.sig)),
                  w.sig == 0 ? w.out : "0");
        EXPECT_EQ(wait_exit(pid, 10000ms), 0);
        EXPECT_EQ(std::chrono::steady_clock::now() - t0 > 900ms, w.pause);
        EXPECT_EQ(ctl_lock_holder(), 0);
        ASSERT_EQ(exists(ctl_default_socket), w.socket_left);
        const run_result r = trapwatchctl("status");
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err,
                  not_running +
                      (w.socket_left ? stale : "no control socket at /var/run/trapwatch.sock)\n"));
        if (w.sig == SIGTERM) {
            // The stale socket file fails the next start once, and goes.
            EXPECT_EQ(launch(), 0);
            EXPECT_EQ(wait_exit(-1, 10000ms), 139);
            EXPECT_FALSE(exists(ctl_default_socket));
        }
        unlink(ctl_default_socket);
    }
}
