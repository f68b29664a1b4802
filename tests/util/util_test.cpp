// Trace, error texts and process utilities, for real in the sandbox: the console is its capture
// (or a FIFO where single writes matter), the children are the system's own programs, and the
// caller's output is caught by GoogleTest's capture, which the children inherit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <thread>

#include "params/protocol.h"
#include "tests/support/keelson_text.h"
#include "tests/support/sandbox.h"
#include "util/cpu.h"
#include "util/errors.h"
#include "util/spawn.h"
#include "util/trace.h"

namespace {

using namespace std::chrono_literals;
using clk = std::chrono::steady_clock;
namespace gi = testing::internal;

const std::string work = "/run/util_test";
const std::string self = std::to_string(getpid()) + ") ";
char sh[] = "sh", dash_c[] = "-c";  // for argument vectors

// Exactly what fn printed at this debug level; a marker line afterwards tells
// when the capture has caught up, so "nothing" is seen as such.
template <class F>
std::string printed(F fn, uint64_t level = dbg_level_default) {
    const size_t mark = tw_test::console().size();
    dbg_level.store(level);
    fn();
    dbg_level.store(dbg_level_default);
    tty_prnt(1, "<end>");
    EXPECT_TRUE(tw_test::wait_console("<end>", 5s, mark));
    const std::string all = tw_test::console();
    return all.substr(mark, all.find("<end>", mark) - mark);
}

class util_test : public testing::Test {
    void SetUp() override {
        const struct rlimit no_core {};  // the unknown-program child aborts on purpose
        setrlimit(RLIMIT_CORE, &no_core);
        ASSERT_EQ(tw_test::sh("rm -rf " + work + " && mkdir -p " + work), 0);
    }
};

}  // namespace

TEST(tiller_strerror, either_sign_inside_the_table_unknown_outside) {
    // clang-format off
    const std::pair<std::vector<int32_t>, const char *> cases[] = {
        {{0}, "Success"}, {{-100, 100}, "Failed"}, {{-121}, "Daemon - tiller connection failed"},
        {{-161, 161}, "File too small"},
        {{-162, 162, -99, 1, -500, INT_MIN, INT_MAX}, "Unknown error"}};
    // clang-format on
    for (const auto &[codes, text] : cases) {
        for (int32_t code : codes) {
            EXPECT_STREQ(tiller_strerror(code), text) << code;
        }
    }
}

TEST(bind_thread_to_cpu, pins_to_one_processor_and_passes_an_empty_set_on_as_refused) {
    cpu_set_t before, after;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof before, &before), 0);
    EXPECT_EQ(bind_thread_to_cpu(1024, pthread_self()), 0);
    pthread_getaffinity_np(pthread_self(), sizeof after, &after);
    EXPECT_TRUE(CPU_EQUAL(&before, &after));
    EXPECT_EQ(bind_thread_to_cpu(1, pthread_self()), 0);
    pthread_getaffinity_np(pthread_self(), sizeof after, &after);
    EXPECT_TRUE(sysconf(_SC_NPROCESSORS_ONLN) < 2 ||
                (CPU_COUNT(&after) == 1 && CPU_ISSET(1, &after)));
    pthread_setaffinity_np(pthread_self(), sizeof before, &before);
}

TEST(console_trace, mask_gates_each_line_and_its_bytes_arrive_exactly) {
    struct gate_case {
        uint64_t level;  // the debug mask
        uint64_t mask;   // the line's
        bool shown;
    };
    constexpr uint64_t def = dbg_level_default, k = dbg_keelson_cmd;
    const gate_case cases[] = {
        {def, dbg_library, true},
        {def, dbg_init, false},
        {def, dbg_init | k, false},
        {def | k, dbg_init | k, true},
        {def | dbg_monitor, dbg_init, false},  // DBG_MONITOR's bit has no line of its own
        {~0ull, dbg_none, false},
        {1ull << 40, 1ull << 40, true},
    };
    for (const auto &[level, mask, shown] : cases) {
        EXPECT_EQ(printed([&] { tty_prnt(mask, "%s(%d): x\n\r", "main", 7); }, level),
                  shown ? "main(7): x\n\r" : "")
            << mask;
    }
    std::string big(5000, 'x');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(printed([&] { tty_prnt(1, "%s", big.c_str()); }), big.substr(0, 4095));
}

TEST(console_trace, a_line_goes_out_in_14_byte_writes_with_a_pause_after_each) {
    ASSERT_EQ(rename(tty_path, "/dev/ttyS0.away"), 0);
    tty_prnt(1, "nobody hears this\n\r");
    EXPECT_NE(access(tty_path, F_OK), 0);  // a missing console is never created
    ASSERT_EQ(mkfifo(tty_path, 0600), 0);
    const int rd = open(tty_path, O_RDWR);  // its own writer: poll waits for data, not for one
    const std::string line = "0123456789abcdefghijklmnopqrs\n";
    bool seen = false;
    for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
        std::string all, sizes;
        std::vector<clk::duration> at;
        const auto t0 = clk::now();
        std::thread writer([&] { tty_prnt(1, "%s", line.c_str()); });
        while (all.size() < line.size() && clk::now() - t0 < 5s) {
            pollfd p{rd, POLLIN, 0};
            char buf[64];
            const ssize_t n = poll(&p, 1, 50) == 1 ? read(rd, buf, sizeof buf) : 0;
            if (n > 0) {
                all.append(buf, static_cast<size_t>(n));
                sizes += std::to_string(n) + " ";
                at.push_back(clk::now() - t0);
            }
        }
        writer.join();
        EXPECT_GE(clk::now() - t0, 29ms);  // three pauses, whatever the reader saw
        ASSERT_EQ(all, line);
        // A late reader (a loaded machine) sees two writes as one: try again.
        seen = sizes == "14 14 2 " && at[1] >= 9ms && at[2] >= 19ms;
    }
    EXPECT_TRUE(seen) << "never saw three writes, each after one more pause";
    close(rd);
    unlink(tty_path);
    ASSERT_EQ(rename("/dev/ttyS0.away", tty_path), 0);
}

TEST(console_trace, stamped_line_keeps_a_percent_literal_and_stays_in_msg) {
    const std::string out = printed([] { tty_prnt_time(1, "load %s done\n\r", "100%d"); });
    // "Sat Dec 05 15:20:50 2026: load 100%d done\n\r"
    ASSERT_EQ(out.size(), 43u) << out;
    EXPECT_TRUE(out[3] == ' ' && out[7] == ' ') << out;
    EXPECT_TRUE(tw_test::text_matches(out.substr(7), " {N} {N}:{N}:{N} {N}: load 100%d done\n\r"));
    EXPECT_EQ(std::string(Msg), out);
}

TEST(console_trace, both_dump_variants_byte_for_byte) {
    const uint8_t b[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0xff};
    char lib[64];
    std::snprintf(lib, sizeof lib, "lib(9): buf: %p\n\r", static_cast<const void *>(b));
    const std::string row = "01 02 03 04  05 06 07 08    09 0a 0b 0c  0d 0e 0f 10 ";
    const auto d = dump_variant::daemon;
    const auto l = dump_variant::library;
    // variant, length, offset, name, debug level, the dump
    const std::tuple<dump_variant, int, int, const char *, uint64_t, std::string> cases[] = {
        {d, 0, 0, "recv_thread", 3, "recv_thread(9)\n"},
        {d, 5, 0, "", 3, "0000: 01 02 03 04  05 \n"},
        {d, 16, 0, "x", 3, "x(9)\n0000: " + row + "\n"},
        {d, 17, 0x20, "", 3, "0020: " + row + "\n0030: ff \n"},
        {d, 5, 0, "x", 2, ""},
        {l, 0, 0, "lib", 3, lib},
        {l, 17, 0x20, "", 3, "0020: " + row + "\n\r0030: ff \n\r"},
        {l, 5, 0, "lib", 1, ""},
    };
    for (const auto &[variant, length, offset, name, level, out] : cases) {
        EXPECT_EQ(printed([&] { tty_print_buf(b, length, offset, name, 9, variant); }, level), out);
    }
}

TEST_F(util_test, waiting_gives_the_exit_status_or_the_failure_and_its_line) {
    // "sh -c" script (nullptr: a program that does not exist), result, the
    // line after "<pid>) wait_<function>(): " and its debug bit.  The error
    // text is the C library's own (glibc and musl word ECHILD differently).
    const std::string no_child =
        "waitpid() fail on error \"" + std::string(strerror(ECHILD)) + "\"";
    const std::tuple<const char *, int, const char *, uint64_t> cases[] = {
        {"exit 255", 255, "", 0},
        {"kill -9 $$", -133, "child interrupted by sig=0x9", dbg_library},
        // The program starts with SIGPIPE (bit 13 of its SigIgn mask) ignored.
        {"exit $(( 0x$(grep ^SigIgn /proc/$$/status | cut -f2) >> 12 & 1 ))", 1, "", 0},
        {nullptr, -133, "child interrupted by sig=0x6", dbg_library},  // the child aborts
        // SIGCHLD ignored: the kernel reaps the child, nothing is left to wait for.
        {"", -100, no_child.c_str(), dbg_daemon},
    };
    for (const auto &[script, result, line, bit] : cases) {
        std::string text = script != nullptr ? script : "";
        char *const argv[] = {sh, dash_c, text.data(), nullptr};
        const char *program = script != nullptr ? "sh" : "tw-no-such-program";
        signal(SIGCHLD, result == -100 ? SIG_IGN : SIG_DFL);
        std::string want;
        for (const std::string fn : {"spawn", "spawn_redirect"}) {
            want += script != nullptr ? "" : "{N}) " + fn + "(): an error occurred in execvp!\n";
            want += bit != 0 ? self + "wait_" + fn + "(): " + line + "\n" : "";
        }
        const std::string con = printed([&] {
            EXPECT_EQ(wait_spawn(0, program, argv), result) << text;
            EXPECT_EQ(wait_spawn_redirect(0, nullptr, 0, program, argv), result) << text;
        });
        EXPECT_TRUE(tw_test::text_matches(con, want)) << con;
    }
    signal(SIGCHLD, SIG_DFL);
    // Stopped by SIGSTOP (19), under 0x01; ended by signal 9 with a core dump,
    // or for no reason the status tells, under 0x02.
    auto status = [](int s) { return [s] { EXPECT_EQ(spawn_status_result("w", s), -133); }; };
    EXPECT_EQ(printed(status(0x137f), 1) + printed(status(0x137f), 2),
              self + "w(): child stopped by sig=0x13\n");
    EXPECT_EQ(printed(status(0x0089), 2) + printed(status(0x0089), 1),
              self + "w(): child interrupted by sig=0x9\n");
    EXPECT_EQ(printed(status(0x00ff), 2) + printed(status(0x00ff), 1),
              self + "w(): child exited reason unknown!\n");
}

TEST_F(util_test, failed_fork_gives_minus_100_and_leaves_other_children_alone) {
    const size_t mark = tw_test::console().size();
    const pid_t tester = fork();  // the only process that loses fork
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        // Another child, ended and not collected: a wait for any child would take it.
        const pid_t other = fork();
        if (other == 0) {
            _exit(7);
        }
        // Root is never held to the process limit: the tester becomes nobody,
        // for whom the console must stay writable.
        siginfo_t si{};
        const struct rlimit none {};
        char *const argv[] = {sh, nullptr};
        int st = 0;
        dbg_level.store(0x01);
        const bool ready = waitid(P_PID, static_cast<id_t>(other), &si, WEXITED | WNOWAIT) == 0 &&
                           chmod(tty_path, 0622) == 0 && setrlimit(RLIMIT_NPROC, &none) == 0 &&
                           setuid(65534) == 0;
        _exit(!ready                                                          ? 10
              : spawn(0, "true", argv) != -1                                  ? 11
              : wait_spawn(0, "true", argv) != -100                           ? 12
              : wait_spawn_redirect(0, nullptr, 0, "true", argv) != -100      ? 13
              : waitpid(other, &st, WNOHANG) != other || WEXITSTATUS(st) != 7 ? 14
                                                                              : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(tester, &status, 0), tester);
    ASSERT_EQ(status, 0) << "exit 10 set-up, 11 spawn, 12/13 result, 14 other child taken";
    const std::string fail = "(): fork() fail on error \"Resource temporarily unavailable\"\n";
    const std::string id = std::to_string(tester) + ") wait_spawn";
    ASSERT_TRUE(tw_test::wait_console(id + "_redirect" + fail, 5s, mark));
    EXPECT_EQ(tw_test::console().substr(mark), id + fail + id + "_redirect" + fail);
}

TEST_F(util_test, output_goes_where_quiet_path_and_mode_say_and_no_descriptor_leaks) {
    const std::string log = work + "/log";
    const std::string no_dir = work + "/no/dir.log";
    const char *const l = log.c_str();
    // redirected, quiet, path, mode, the log holds "old\n" beforehand, the
    // caller's output closed, then what reached: the caller's output|its
    // errors|the log ("-": none)
    const std::tuple<bool, int, const char *, unsigned int, bool, bool, const char *> cases[] = {
        {false, 0, nullptr, 0, false, false, "out\n|err\n|-"},
        {false, 1, nullptr, 0, false, false, "||-"},
        {false, 1, nullptr, 0, false, true, "||-"},  // /dev/null lands on 1, and stays
        {true, 0, nullptr, 1, false, false, "out\n|err\n|-"},
        {true, 1, nullptr, 4, false, false, "||-"},  // quiet silences whatever the mode
        {true, 0, l, 1, true, false, "||old\nout\nerr\n"},
        {true, 0, l, 2, false, false, "|err\n|out\n"},
        {true, 0, l, 2, false, true, "|err\n|out\n"},  // the log lands on 1, and stays
        {true, 0, l, 3, false, false, "out\n||err\n"},
        {true, 0, l, 4, false, false, "out\n|err\n|"},  // created, nothing redirected
        {true, 1, l, 2, false, false, "|err\n|out\n"},  // with a path, quiet is moot
        {true, 0, no_dir.c_str(), 1, false, false,
         "out\n|open: No such file or directory\nerr\n|-"},
    };
    // The child has a standard output (or ends with 3), and counts its descriptors last
    // (exec: the shell keeps no copies), as a program started without the library does under
    // the same capture.
    std::string script =
        "[ -e /proc/self/fd/1 ] || exit 3; echo out; echo err >&2; exec ls /proc/self/fd | wc -l "
        ">" +
        work + "/fds";
    char *const argv[] = {sh, dash_c, script.data(), nullptr};
    gi::CaptureStdout();
    gi::CaptureStderr();
    tw_test::sh("exec ls /proc/self/fd | wc -l >" + work + "/fds");
    const std::string plain =
        gi::GetCapturedStdout() + gi::GetCapturedStderr() + tw_test::read_file(work + "/fds");
    umask(0);  // the created file's mode must not lean on the caller's umask
    for (const auto &[redirected, quiet, path, mode, old, out_closed, want] : cases) {
        unlink(l);
        if (old) {
            tw_test::write_file(log, "old\n");
        }
        gi::CaptureStdout();
        gi::CaptureStderr();
        if (out_closed) {
            close(STDOUT_FILENO);  // the capture puts it back
        }
        const int rc = redirected ? wait_spawn_redirect(quiet, path, mode, "sh", argv)
                                  : wait_spawn(quiet, "sh", argv);
        struct stat st {};
        const bool made = stat(l, &st) == 0;
        const std::string out = gi::GetCapturedStdout() + "|" + gi::GetCapturedStderr();
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(out + "|" + (made ? tw_test::read_file(log) : "-"), want) << path << mode;
        EXPECT_EQ(tw_test::read_file(work + "/fds"), plain);
        EXPECT_TRUE(!made || old || (st.st_mode & 07777) == 0644) << std::oct << st.st_mode;
    }
    umask(022);
}

TEST_F(util_test, file_operations_pass_on_the_exit_status_and_rm_file_refuses_long_joins) {
    const std::string d = work + "/d";
    const std::string f = d + "/f";
    tw_test::write_file(work + "/src", "one\n");
    gi::CaptureStdout();
    EXPECT_EQ(create_dir(d.c_str()) + create_dir(d.c_str()), 1);  // mkdir's own status
    EXPECT_EQ(copy_file((work + "/src").c_str(), f.c_str()) + display_file(f.c_str()), 0);
    EXPECT_EQ(gi::GetCapturedStdout(), "one\n");
    EXPECT_EQ(remove_file(f.c_str()) + remove_file(f.c_str()) + remove_dir(d.c_str()), 0);
    EXPECT_NE(access(d.c_str(), F_OK), 0);
    // rm_file refuses a join over 127 characters: cut, it would name another file.
    const std::string dir = work + "/" + std::string(115 - work.size(), 'd');  // 116 characters
    const std::string fits = dir + "/abcdefghij";                              // 127
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    tw_test::write_file(fits, "x");
    tw_test::write_file(fits + "k", "x");
    EXPECT_EQ(
        printed([&] { EXPECT_EQ(rm_file(dir.c_str(), "abcdefghijk"), SPAWN_ERR_JOIN_TOO_LONG); }),
        self + "rm_file(): \"" + fits + "k\" is longer than 127 characters, nothing removed\n");
    EXPECT_STREQ(tiller_strerror(SPAWN_ERR_JOIN_TOO_LONG), "Wrong parameter value");
    EXPECT_EQ(rm_file(dir.c_str(), "abcdefghij"), 0);
    EXPECT_TRUE(access(fits.c_str(), F_OK) != 0 && access((fits + "k").c_str(), F_OK) == 0);
    EXPECT_EQ(printed([&] { EXPECT_EQ(rm_file(nullptr, "x"), SPAWN_ERR_JOIN_TOO_LONG); }),
              self + "rm_file(): no directory or no name, nothing removed\n");
}

TEST_F(util_test, names_and_listings_are_exact_and_listings_library_detail_only) {
    EXPECT_STREQ(str_interface(6), "DIRECT");
    EXPECT_STREQ(interface2str(7), "UNKNOWN");
    ASSERT_EQ(mkdir((work + "/dir").c_str(), 0755), 0);
    tw_test::write_file(work + "/file", "");
    chmod((work + "/file").c_str(), 07421);  // set-id and sticky bits are not shown
    char *const argv[] = {sh, dash_c, nullptr};
    const std::string file = "main(7): File \"" + work;
    // a path under work (nullptr: the argument vector, count entries), the listing
    const std::tuple<const char *, int, std::string> cases[] = {
        {"/dir", 0, file + "/dir\" permissions: \tdrwxr-xr-x\n"},
        {"/file", 0, file + "/file\" permissions: \t-r---w---x\n"},
        {"/none", 0,
         file + "/none\" permissions: unknown, stat() failed: No such file or directory\n"},
        {nullptr, 0, "main(12):\nargc:    0\n"},
        {nullptr, 3,
         "main(12):\nargc:    3\nargv[0]: \"sh\"\nargv[1]: \"-c\"\nargv[2]: \"(null)\"\n"},
    };
    for (const auto &[path, count, listing] : cases) {
        auto print = [&] {
            path != nullptr ? display_permission("main", 7, (work + path).c_str())
                            : tty_print_args("main", 12, count, argv);
        };
        EXPECT_EQ(printed(print) + printed(print, 0x01), listing);
    }
}
