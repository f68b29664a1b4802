// The stop routine's two paths and the signal handler, each run in a child
// process of its own (death tests): they set process-wide words for good and
// end the process.  A child that checks something itself exits 42 when every
// check held and with the number of the first failed check otherwise.
#include "trapwatch/stop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tools/keelson_stub.h"
#include "util/state.h"

// For ThreadSanitizer builds: the handler ends the process with exit(), as
// the daemon does, which runs this test program's static destructors inside
// the signal; those are the test framework's, not the code under test's.
// The death tests fork this threaded program (the stand-in serves in a
// thread of the parent) and the children start threads of their own.
extern "C" const char *__tsan_default_options() {
    return "report_signal_unsafe=0 atexit_sleep_ms=0 die_after_fork=0";
}

namespace {

using std::chrono::milliseconds;
using testing::ExitedWithCode;

constexpr int all_held = 42;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

class stop_routine : public ::testing::Test {
   protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }

    // The log lines the children sent to the stand-in.
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        for (const auto &r : keelson.requests()) {
            out.push_back(r.text());
        }
        return out;
    }
    static bool matches(const std::string &s, const std::string &re) {
        return std::regex_match(s, std::regex(re));
    }

    keelson_stub keelson;
};

const std::string failure_line =
    R"(clean_and_exit\([0-9]+\) pid: [0-9]+, TRAPWATCH daemon failed on error: )";

}  // namespace

TEST_F(stop_routine, exit_now_without_a_child_reports_the_failed_wait_then_the_code) {
    EXPECT_EXIT(clean_and_exit(-118, 1, 7), ExitedWithCode(138), "");
    ASSERT_TRUE(keelson.wait_for(2, milliseconds(3000)));
    auto got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(matches(
        got[0],
        R"(clean_and_exit\([0-9]+\): pid: [0-9]+, wait4\(\) failed on error "No child processes"\.\n\r)"))
        << got[0];
    EXPECT_TRUE(matches(got[1], failure_line + R"(0x76 \("Daemon already loaded"\)\n\r)"))
        << got[1];
}

TEST_F(stop_routine, exit_now_with_code_0_and_nothing_recorded_exits_0_without_a_failure_line) {
    EXPECT_EXIT(clean_and_exit(0, 1, 7), ExitedWithCode(0), "");
    ASSERT_TRUE(keelson.wait_for(1, milliseconds(3000)));
    EXPECT_FALSE(keelson.wait_for(2, milliseconds(300)));
    EXPECT_TRUE(matches(
        lines()[0],
        R"(clean_and_exit\([0-9]+\): pid: [0-9]+, wait4\(\) failed on error "No child processes"\.\n\r)"))
        << lines()[0];
}

TEST_F(stop_routine, exit_now_takes_the_exit_status_of_a_child_that_ended) {
    EXPECT_EXIT(
        {
            pid_t pid = fork();
            if (pid == 0) {
                _exit(156);
            }
            child_pid.store(pid);
            siginfo_t info;
            waitid(P_PID, static_cast<id_t>(pid), &info,
                   WEXITED | WNOWAIT);  // ended, not collected
            clean_and_exit(0, 1, 7);
        },
        ExitedWithCode(156), "");
    ASSERT_TRUE(keelson.wait_for(1, milliseconds(3000)));
    EXPECT_TRUE(matches(lines()[0], failure_line + R"(0x64 \("Failed"\)\n\r)")) << lines()[0];
}

TEST_F(stop_routine, exit_now_with_a_running_child_exits_0) {
    EXPECT_EXIT(
        {
            pid_t pid = fork();
            if (pid == 0) {
                sleep(2);  // still running when the path looks
                _exit(0);
            }
            child_pid.store(pid);
            clean_and_exit(0, 1, 7);
        },
        ExitedWithCode(0), "");
    EXPECT_FALSE(keelson.wait_for(1, milliseconds(300)));  // nothing to report
}

// The pause of this branch ends a shell too; its SIGCHLD must not turn the
// exit status into 0.
TEST_F(stop_routine, exit_now_with_a_child_ended_by_a_signal_pauses_and_exits_123) {
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            int a[2];
            socketpair(AF_UNIX, SOCK_STREAM, 0, a);
            recv_sock.store(a[0]);
            cmd_sock.store(a[1]);
            pid_t pid = fork();
            if (pid == 0) {
                pause();
                _exit(0);
            }
            child_pid.store(pid);
            kill(pid, SIGKILL);
            siginfo_t info;
            waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
            // Routed only now: the SIGCHLD of the child's end would end the
            // process with 0 before the path runs (as in the launcher).
            route_signal(SIGCHLD);
            clean_and_exit(0, 1, 7);
        },
        ExitedWithCode(123), "");
    EXPECT_GT(seconds_since(t0), 0.9);
    ASSERT_TRUE(keelson.wait_for(1, milliseconds(3000)));
    EXPECT_TRUE(matches(lines()[0], failure_line + R"(0x85 \("child failed"\)\n\r)")) << lines()[0];
}

TEST_F(stop_routine, daemon_mode_stop_survives_its_pause_and_closes_everything_once) {
    EXPECT_EXIT(
        {
            route_signal(SIGCHLD);
            int a[2];
            socketpair(AF_UNIX, SOCK_STREAM, 0, a);
            int lock = open("/dev/null", O_RDONLY);
            recv_sock.store(a[0]);
            cmd_sock.store(a[1]);
            lock_file.store(lock);
            recv_thread_status.store(-116);
            send_thread_status.store(-117);
            auto t0 = std::chrono::steady_clock::now();
            clean_and_exit(0, 0, 7);
            double took = seconds_since(t0);
            int failed = 0;
            if (stopping_flag.load() != 1)
                failed = 1;
            else if (child_killed.load() != 1)
                failed = 2;
            else if (recv_sock.load() != 0 || cmd_sock.load() != 0 || lock_file.load() != 0)
                failed = 3;
            else if (is_open(a[0]) || is_open(a[1]) || is_open(lock))
                failed = 4;
            else if (took < 0.9 || took > 3.0)
                failed = 5;
            else if (c_exit_code.load() != 0)
                failed = 6;
            // A later call returns at once and changes nothing.
            int fresh = open("/dev/null", O_RDONLY);
            lock_file.store(fresh);
            auto t1 = std::chrono::steady_clock::now();
            clean_and_exit(-100, 0, 8);
            if (failed == 0 && (seconds_since(t1) > 0.3 || !is_open(fresh)))
                failed = 7;
            std::_Exit(failed == 0 ? all_held : failed);
        },
        ExitedWithCode(all_held), "");
    ASSERT_TRUE(keelson.wait_for(2, milliseconds(3000)));
    auto got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(matches(
        got[0],
        R"(clean_and_exit\([0-9]+\): pid: [0-9]+, receive thread return error: "Socket creating failed"\.\n\r)"))
        << got[0];
    EXPECT_TRUE(matches(
        got[1],
        R"(clean_and_exit\([0-9]+\): pid: [0-9]+, send thread return error: "Socket bind failed"\.\n\r)"))
        << got[1];
}

TEST_F(stop_routine, the_first_nonzero_code_wins) {
    EXPECT_EXIT(
        {
            route_signal(SIGCHLD);
            clean_and_exit(-118, 0, 7);
            clean_and_exit(-100, 0, 8);  // after a completed stop: returns at once
            std::exit(c_exit_code.load());
        },
        ExitedWithCode(138), "");
    EXPECT_EXIT(
        {
            c_exit_code.store(-118);
            clean_and_exit(-100, 1, 7);
        },
        ExitedWithCode(138), "");
    EXPECT_EXIT(
        {
            clean_and_exit(0, 1, 7);  // 0 records nothing
        },
        ExitedWithCode(0), "");
}

// A second stop request during the pause waits for the first one; nothing is
// closed twice, so a descriptor opened meanwhile (and perhaps given a number
// just freed) survives both.
TEST_F(stop_routine, a_second_stop_during_the_pause_waits_for_the_first) {
    if (TW_EMULATOR[0] != '\0') {
        GTEST_SKIP() << "qemu-user cannot start threads in a forked child of a threaded program "
                        "(it asserts); the same stop runs end to end natively";
    }
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads in a forked child of a threaded program";
#endif
    EXPECT_EXIT(
        {
            route_signal(SIGCHLD);
            int a[2];
            socketpair(AF_UNIX, SOCK_STREAM, 0, a);
            recv_sock.store(a[0]);
            cmd_sock.store(a[1]);
            std::thread first([] { clean_and_exit(0, 0, 7); });
            usleep(300000);  // the first is in its pause now
            int fresh = socket(AF_UNIX, SOCK_STREAM, 0);
            clean_and_exit(0, 0, 8);
            int failed = 0;
            if (child_killed.load() != 1)
                failed = 1;  // returned before the first finished
            else if (!is_open(fresh))
                failed = 2;
            first.join();
            std::_Exit(failed == 0 ? all_held : failed);
        },
        ExitedWithCode(all_held), "");
}

// A stop signal on the very thread that is in its pause cannot wait for
// itself: the handler's stop returns and the process ends with 0 at once.
TEST_F(stop_routine, a_stop_signal_on_the_stopping_thread_ends_the_process_at_once) {
    if (TW_EMULATOR[0] != '\0') {
        GTEST_SKIP() << "qemu-user cannot start threads in a forked child of a threaded program "
                        "(it asserts); the same stop runs end to end natively";
    }
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads in a forked child of a threaded program";
#endif
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            route_signal(SIGCHLD);
            route_signal(SIGHUP);
            pthread_t self = pthread_self();
            std::thread poke([self] {
                usleep(300000);
                pthread_kill(self, SIGHUP);
            });
            poke.detach();
            clean_and_exit(0, 0, 7);
            std::_Exit(1);  // the pause must not have run to its end first
        },
        ExitedWithCode(0), "");
    // The pause's shell keeps the death test's pipe open until it ends, so
    // the end is seen after about a second; a handler that waited for the
    // stop it interrupted would only give up after five.
    EXPECT_LT(seconds_since(t0), 3.0);
}

TEST_F(stop_routine, signals_without_a_stop_end_the_process_with_0) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "under ThreadSanitizer a forked child of a threaded program does not get "
                    "its raised signals; the end-to-end tests cover these paths there";
#endif
    for (int sig : {SIGUSR1, SIGUSR2, SIGCHLD, SIGSEGV, SIGWINCH}) {
        SCOPED_TRACE(sig);
        EXPECT_EXIT(
            {
                route_signal(sig);
                lock_file.store(open("/dev/null", O_RDONLY));
                raise(sig);
                // ThreadSanitizer delivers the signal at the next call it
                // intercepts; natively the handler has run already.
                for (int i = 0; i < 100; ++i) {
                    usleep(10000);
                }
                std::_Exit(1);
            },
            ExitedWithCode(0), "");
    }
}

TEST_F(stop_routine, sigterm_and_sighup_run_the_stop_then_exit_0) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "under ThreadSanitizer a forked child of a threaded program does not get "
                    "its raised signals; the end-to-end tests cover these paths there";
#endif
    for (int sig : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EXIT(
            {
                route_signal(SIGCHLD);
                route_signal(sig);
                raise(sig);
                // ThreadSanitizer delivers the signal at the next call it
                // intercepts; natively the handler has run already.
                for (int i = 0; i < 100; ++i) {
                    usleep(10000);
                }
                std::_Exit(1);
            },
            ExitedWithCode(0), "");
        EXPECT_GT(seconds_since(t0), 0.9);  // the stop's pause ran
    }
}
