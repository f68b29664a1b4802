// The stop routine's two paths, the signal handler and the two commands that
// end the process, each row in a child process of its own (death tests): they
// set process-wide words for good and end the process.  A child that checks
// something itself exits 42 when every check held.
#include "trapwatch/stop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/keelson_text.h"
#include "tools/keelson_stub.h"
#include "trapwatch/control.h"
#include "util/state.h"

// For ThreadSanitizer builds: the handler ends the process with exit(), as
// the daemon does, which runs this program's static destructors inside the
// signal (the test framework's, not the code under test's); and the children
// forked from the threaded program (the stand-in serves in a thread) go on.
extern "C" const char *__tsan_default_options() {
    return "report_signal_unsafe=0 atexit_sleep_ms=0 die_after_fork=0";
}

namespace {

constexpr int all_held = 42;

struct death_case {
    const char *name;
    void (*body)();
    int code;                        // exit status
    double min_s, max_s;             // how long the child took (max 0: unbounded)
    std::vector<std::string> lines;  // what it sent the stand-in, in order
};

void run(const death_case &c, keelson_stub *k) {
    SCOPED_TRACE(c.name);
    if (k != nullptr) {
        k->clear();
    }
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EXIT(c.body(), testing::ExitedWithCode(c.code), "");
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(took, c.min_s);
    EXPECT_TRUE(c.max_s == 0 || took < c.max_s) << took;
    if (k == nullptr) {
        return;
    }
    const auto got = k->requests();  // each line was answered before the child went on
    ASSERT_EQ(got.size(), c.lines.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(tw_test::text_matches(got[i].text(), "clean_and_exit({N})" + c.lines[i]))
            << got[i].text();
    }
}

bool is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// A child of the process that has ended (by code, or by signal) but is not
// collected yet, or still runs.
void child(int code, bool kill_it) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (code == 0) {
            sleep(1);  // still running when the path looks
        }
        _exit(code);
    }
    child_pid.store(pid);
    if (kill_it) {
        kill(pid, SIGKILL);
    }
    if (code != 0 || kill_it) {
        siginfo_t info;
        waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    }
}

// Stop routine descriptors: both ends of a socket pair and the lock file.
std::array<int, 3> give_descriptors() {
    int a[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, a);
    recv_sock.store(a[0]);
    cmd_sock.store(a[1]);
    lock_file.store(open("/dev/null", O_RDONLY));
    return {a[0], a[1], lock_file.load()};
}

const std::string no_child = ": pid: {N}, wait4() failed on error \"No child processes\".\n\r";
const std::string failed = " pid: {N}, TRAPWATCH daemon failed on error: ";

TEST(stop_routine, paths_reported_to_the_controller) {
    GTEST_FLAG_SET(death_test_style, "fast");  // the stand-in is this process's
    keelson_stub k;
    const death_case cases[] = {
        {"exit now, no child",
         [] { clean_and_exit(-118, 1, 7); },
         138,
         0,
         0,
         {no_child, failed + "0x76 (\"Daemon already loaded\")\n\r"}},
        {"exit now with 0 records nothing", [] { clean_and_exit(0, 1, 7); }, 0, 0, 0, {no_child}},
        {"exit now, child exited with a code",
         [] {
             child(156, false);
             clean_and_exit(0, 1, 7);
         },
         156,
         0,
         0,
         {failed + "0x64 (\"Failed\")\n\r"}},
        {"exit now, child running",
         [] {
             child(0, false);
             clean_and_exit(0, 1, 7);
         },
         0,
         0,
         0,
         {}},
        {"exit now, child ended by a signal: pauses, 123",
         [] {
             give_descriptors();
             child(0, true);
             // Routed only now, as in the launcher: the SIGCHLD of the child's
             // end would have ended the process with 0; the pause's may not.
             route_signal(SIGCHLD);
             clean_and_exit(0, 1, 7);
         },
         123,
         0.9,
         0,
         {failed + "0x85 (\"child failed\")\n\r"}},
        {"daemon mode: closes everything once, survives its pause",
         [] {
             route_signal(SIGCHLD);
             const auto fds = give_descriptors();
             recv_thread_status.store(-116);
             send_thread_status.store(-117);
             clean_and_exit(0, 0, 7);
             bool ok = stopping_flag.load() == 1 && child_killed.load() == 1 &&
                       recv_sock.load() == 0 && cmd_sock.load() == 0 && lock_file.load() == 0 &&
                       c_exit_code.load() == 0;
             for (int fd : fds) {
                 ok = ok && !is_open(fd);
             }
             // A later call returns at once and closes nothing.
             const int fresh = open("/dev/null", O_RDONLY);
             lock_file.store(fresh);
             clean_and_exit(-100, 0, 8);
             std::_Exit(ok && is_open(fresh) && c_exit_code.load() == 0 ? all_held : 1);
         },
         all_held,
         0.9,
         0,
         {": pid: {N}, receive thread return error: \"Socket creating failed\".\n\r",
          ": pid: {N}, send thread return error: \"Socket bind failed\".\n\r"}},
        {"the first nonzero code wins",
         [] {
             route_signal(SIGCHLD);
             clean_and_exit(-118, 0, 7);
             clean_and_exit(-100, 0, 8);
             std::exit(c_exit_code.load());
         },
         138,
         0.9,
         0,
         {}},
        {"a recorded code wins over the exit-now path's",
         [] {
             c_exit_code.store(-118);
             clean_and_exit(-100, 1, 7);
         },
         138,
         0,
         0,
         {no_child, failed + "0x76 (\"Daemon already loaded\")\n\r"}},
    };
    for (const death_case &c : cases) {
        run(c, &k);
    }
}

// Signals raised on this thread after the routing, as the daemon has them.
template <int sig>
void raised() {
    route_signal(SIGCHLD);
    route_signal(sig);
    raise(sig);
    // ThreadSanitizer delivers the signal at the next call it intercepts;
    // natively the handler has run already.
    for (int i = 0; i < 100; ++i) {
        usleep(10000);
    }
    std::_Exit(1);
}

// No stand-in here: the children start threads, which a forked child of a
// threaded program cannot do under ThreadSanitizer or qemu-user.  The
// re-executing style keeps them single-threaded, but under qemu-user the test
// program cannot execute itself (no binfmt handler): fork there.
TEST(stop_routine, signals_and_the_commands_that_end_the_process) {
    GTEST_FLAG_SET(death_test_style, TW_EMULATOR[0] == '\0' ? "threadsafe" : "fast");
    const death_case cases[] = {
        {"SIGUSR1", raised<SIGUSR1>, 0, 0, 0, {}},
        {"SIGUSR2", raised<SIGUSR2>, 0, 0, 0, {}},
        {"SIGCHLD", raised<SIGCHLD>, 0, 0, 0, {}},
        {"SIGSEGV", raised<SIGSEGV>, 0, 0, 0, {}},
        {"SIGWINCH", raised<SIGWINCH>, 0, 0, 0, {}},
        {"SIGTERM runs the stop", raised<SIGTERM>, 0, 0.9, 0, {}},
        {"SIGHUP runs the stop", raised<SIGHUP>, 0, 0.9, 0, {}},
        // It cannot wait for itself: the process ends at once (the pause's
        // shell holds the pipe for its second; waiting would take five).
        {"a stop signal on the stopping thread",
         [] {
             route_signal(SIGCHLD);
             route_signal(SIGHUP);
             std::thread([self = pthread_self()] {
                 usleep(300000);
                 pthread_kill(self, SIGHUP);
             }).detach();
             clean_and_exit(0, 0, 7);
             std::_Exit(1);  // the pause must not have run to its end first
         },
         0,
         0,
         3.0,
         {}},
        // Nothing is closed twice: a descriptor opened meanwhile, perhaps with
        // a number just freed, survives both.
        {"a second stop during the pause waits for the first",
         [] {
             route_signal(SIGCHLD);
             give_descriptors();
             std::thread first([] { clean_and_exit(0, 0, 7); });
             usleep(300000);
             const int fresh = socket(AF_UNIX, SOCK_STREAM, 0);
             clean_and_exit(0, 0, 8);
             const bool ok = child_killed.load() == 1 && is_open(fresh);
             first.join();
             std::_Exit(ok ? all_held : 1);
         },
         all_held,
         0.9,
         0,
         {}},
        {"DBG_SEG_FAULT ends the process through the handler",
         [] {
             route_signal(SIGSEGV);
             cmd_msg_t req{}, resp{};
             req.cmd = TRAPWATCH_CMD_DBG_SEG_FAULT;
             serve_request(req, &resp);
             std::_Exit(1);
         },
         0,
         0,
         0,
         {}},
        {"TERMINATE returns after the stop and its pause",
         [] {
             route_signal(SIGCHLD);
             const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
             cmd_sock.store(listening);
             cmd_msg_t req{}, resp{};
             req.cmd = TRAPWATCH_CMD_TERMINATE;
             resp.cmd = 5;
             serve_request(req, &resp);
             const bool ok = resp.cmd == 0 && stopping_flag.load() == 1 &&
                             child_killed.load() == 1 && cmd_sock.load() == 0 &&
                             !is_open(listening);
             std::_Exit(ok ? all_held : 1);
         },
         all_held,
         0.9,
         0,
         {}},
    };
    for (const death_case &c : cases) {
        run(c, nullptr);
    }
}

}  // namespace
