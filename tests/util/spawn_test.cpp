// Process and file utilities, run for real inside the sandbox: children are
// the system's own programs, the console is the sandbox's capture of
// "/dev/ttyS0", and the caller's standard output and error are caught by
// pointing descriptors 1 and 2 at files around the call.
#include "util/spawn.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"
#include "util/errors.h"
#include "util/trace.h"

#if defined(__x86_64__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#endif

namespace {

using namespace std::chrono_literals;

const std::string work = "/run/spawn_test";

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

int self() {
    return static_cast<int>(getpid());
}

// A null-terminated argument vector over owned strings.
class args {
   public:
    args(std::initializer_list<std::string> list) : text_(list) {
        for (auto &s : text_) {
            ptr_.push_back(s.data());
        }
        ptr_.push_back(nullptr);
    }
    char *const *get() { return ptr_.data(); }

   private:
    std::vector<std::string> text_;
    std::vector<char *> ptr_;
};

// The shell line every redirect case runs: one line on each stream.
args out_and_err() {
    return {"sh", "-c", "echo out; echo err >&2"};
}

struct caller_stdio {
    std::string out;
    std::string err;
};

// What reached the caller's standard output and error while f ran.
template <class F>
caller_stdio capture_stdio(F &&f) {
    const std::string out_path = work + "/caller.out";
    const std::string err_path = work + "/caller.err";
    std::fflush(stdout);
    std::fflush(stderr);
    int saved_out = dup(STDOUT_FILENO);
    int saved_err = dup(STDERR_FILENO);
    int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, STDOUT_FILENO);
    dup2(e, STDERR_FILENO);
    close(o);
    close(e);
    f();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    return {tw_test::read_file(out_path), tw_test::read_file(err_path)};
}

// Everything f printed on the console: a marker line after it tells when the
// capture has caught up, so "nothing printed" is seen as such.
template <class F>
std::string console_of(F &&f) {
    const size_t mark = tw_test::console().size();
    f();
    dbg_level.store(dbg_level_default);
    const std::string end = fmt("-- end of case %d --\n", self());
    tty_prnt(UINT64_MAX, "%s", end.c_str());
    if (!tw_test::wait_console(end, 5s, mark)) {
        return "<console marker never arrived>";
    }
    std::string c = tw_test::console();
    return c.substr(mark, c.find(end, mark) - mark);
}

// The process id of a console text that is exactly one exec-failure line of
// fn; 0 when it is anything else.
int exec_failure_pid(const std::string &text, const std::string &fn) {
    const std::string rest = ") " + fn + "(): an error occurred in execvp!\n";
    size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos || text.substr(digits) != rest) {
        return 0;
    }
    return std::stoi(text.substr(0, digits));
}

bool exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

unsigned perm_bits(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return 0xffffffffu;
    }
    return st.st_mode & 07777u;
}

class spawn_test : public testing::Test {
   protected:
    void SetUp() override {
        // The unknown-program cases abort a child on purpose: no core files.
        struct rlimit no_core {};
        setrlimit(RLIMIT_CORE, &no_core);
        dbg_level.store(dbg_level_default);
        ASSERT_EQ(tw_test::sh("rm -rf " + work + " && mkdir -p " + work), 0);
        old_umask_ = umask(022);
    }
    void TearDown() override {
        umask(old_umask_);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGCHLD, SIG_DFL);
        dbg_level.store(dbg_level_default);
        tw_test::sh("rm -rf " + work);
    }

   private:
    mode_t old_umask_ = 022;
};

// ---- results of the waiting functions -------------------------------------

TEST_F(spawn_test, program_ending_with_exit_code_3_gives_3) {
    args a{"sh", "-c", "exit 3"};
    std::string con = console_of([&] {
        EXPECT_EQ(wait_spawn(0, "sh", a.get()), 3);
        EXPECT_EQ(wait_spawn_redirect(0, nullptr, 0, "sh", a.get()), 3);
    });
    EXPECT_EQ(con, "");
}

TEST_F(spawn_test, whole_exit_status_range_comes_back) {
    args zero{"true"};
    args top{"sh", "-c", "exit 255"};
    EXPECT_EQ(wait_spawn(0, "true", zero.get()), 0);
    EXPECT_EQ(wait_spawn(0, "sh", top.get()), 255);
}

TEST_F(spawn_test, child_killed_by_signal_9_gives_child_failed_with_the_interrupted_line) {
    args a{"sh", "-c", "kill -9 $$"};
    std::string con = console_of([&] {
        EXPECT_EQ(wait_spawn(0, "sh", a.get()), TW_ERR_CHILD_FAILED);
        EXPECT_EQ(wait_spawn_redirect(0, nullptr, 0, "sh", a.get()), -133);
    });
    EXPECT_EQ(con, fmt("%d) wait_spawn(): child interrupted by sig=0x9\n"
                       "%d) wait_spawn_redirect(): child interrupted by sig=0x9\n",
                       self(), self()));
}

TEST_F(spawn_test, unknown_program_prints_the_exec_failure_then_aborts_with_signal_6) {
    args a{"tw-no-such-program", "x"};
    int r = 0;
    std::string con = console_of([&] { r = wait_spawn(0, "tw-no-such-program", a.get()); });
    EXPECT_EQ(r, -133);
    const std::string interrupted = fmt("%d) wait_spawn(): child interrupted by sig=0x6\n", self());
    ASSERT_GT(con.size(), interrupted.size()) << con;
    EXPECT_EQ(con.substr(con.size() - interrupted.size()), interrupted);
    // The exec-failure line is the child's own.
    int child = exec_failure_pid(con.substr(0, con.size() - interrupted.size()), "spawn");
    EXPECT_GT(child, 0) << con;
    EXPECT_NE(child, self());
}

TEST_F(spawn_test, exec_failure_line_of_spawn_redirect_carries_the_child_id) {
    args a{"tw-no-such-program"};
    pid_t pid = 0;
    int status = 0;
    std::string con = console_of([&] {
        pid = spawn_redirect(0, nullptr, SPAWN_REDIRECT_OUT, "tw-no-such-program", a.get());
        ASSERT_GT(pid, 0);
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
    });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    EXPECT_EQ(con, fmt("%d) spawn_redirect(): an error occurred in execvp!\n", pid));
}

TEST_F(spawn_test, with_only_the_failure_bit_on_an_unknown_program_shows_just_the_exec_line) {
    args a{"tw-no-such-program"};
    std::string con = console_of([&] {
        dbg_level.store(0x01);
        EXPECT_EQ(wait_spawn_redirect(0, nullptr, 0, "tw-no-such-program", a.get()), -133);
    });
    EXPECT_GT(exec_failure_pid(con, "spawn_redirect"), 0) << con;
}

TEST_F(spawn_test, wait_status_decoding_and_the_bit_of_each_line) {
    auto decode_all = [] {
        EXPECT_EQ(spawn_status_result("w", 0x0300), 3);
        EXPECT_EQ(spawn_status_result("w", 0xff00), 255);
        EXPECT_EQ(spawn_status_result("w", 0x137f), -133);  // stopped by SIGSTOP (19)
        EXPECT_EQ(spawn_status_result("w", 0x0089), -133);  // signal 9 with a core dump
        EXPECT_EQ(spawn_status_result("w", 0x00ff), -133);  // no reason the status tells
    };
    const std::string stopped = fmt("%d) w(): child stopped by sig=0x13\n", self());
    const std::string interrupted = fmt("%d) w(): child interrupted by sig=0x9\n", self());
    const std::string unknown = fmt("%d) w(): child exited reason unknown!\n", self());

    EXPECT_EQ(console_of(decode_all), stopped + interrupted + unknown);
    EXPECT_EQ(console_of([&] {
                  dbg_level.store(0x01);
                  decode_all();
              }),
              stopped);
    EXPECT_EQ(console_of([&] {
                  dbg_level.store(0x02);
                  decode_all();
              }),
              interrupted + unknown);
}

TEST_F(spawn_test, failed_wait_gives_failed_with_the_system_error_text) {
    // With SIGCHLD ignored the kernel reaps the child itself: nothing to wait for.
    signal(SIGCHLD, SIG_IGN);
    args a{"true"};
    std::string con = console_of([&] {
        EXPECT_EQ(wait_spawn(0, "true", a.get()), TW_ERR_FAILED);
        EXPECT_EQ(wait_spawn_redirect(1, nullptr, 0, "true", a.get()), -100);
    });
    EXPECT_EQ(con,
              fmt("%d) wait_spawn(): waitpid() fail on error \"No child processes\"\n"
                  "%d) wait_spawn_redirect(): waitpid() fail on error \"No child processes\"\n",
                  self(), self()));
}

#if defined(__x86_64__)
// Makes every process creation of the calling process fail with EAGAIN.
bool forbid_fork() {
    auto stmt = [](int code, uint32_t k) {
        return sock_filter{static_cast<uint16_t>(code), 0, 0, k};
    };
    auto jeq = [](uint32_t k, uint8_t jt, uint8_t jf) {
        return sock_filter{static_cast<uint16_t>(BPF_JMP | BPF_JEQ | BPF_K), jt, jf, k};
    };
    sock_filter prog[] = {
        stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        jeq(AUDIT_ARCH_X86_64, 1, 0),
        stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        jeq(__NR_clone, 4, 0),
        jeq(__NR_clone3, 3, 0),
        jeq(__NR_fork, 2, 0),
        jeq(__NR_vfork, 1, 0),
        stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        stmt(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<uint32_t>(EAGAIN)),
    };
    sock_fprog fp{static_cast<unsigned short>(sizeof prog / sizeof prog[0]), prog};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fp) == 0;
}
#endif

TEST_F(spawn_test, failed_fork_gives_failed_and_leaves_other_children_alone) {
#if defined(__x86_64__)
    const size_t mark = tw_test::console().size();
    // The case runs in a child of its own, the only process that loses fork.
    pid_t tester = fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        // Another child of the same process, ended and not yet collected: a
        // wait for "any child" would take it.
        pid_t other = fork();
        if (other == 0) {
            _exit(7);
        }
        siginfo_t si{};
        if (waitid(P_PID, static_cast<id_t>(other), &si, WEXITED | WNOWAIT) != 0) {
            _exit(10);
        }
        if (!forbid_fork()) {
            _exit(11);
        }
        args a{"true"};
        if (spawn(0, "true", a.get()) != -1) {
            _exit(12);
        }
        if (wait_spawn(0, "true", a.get()) != -100) {
            _exit(13);
        }
        if (wait_spawn_redirect(0, nullptr, 0, "true", a.get()) != -100) {
            _exit(14);
        }
        int status = 0;
        if (waitpid(other, &status, WNOHANG) != other || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 7) {
            _exit(15);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(tester, &status, 0), tester);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "10: wait, 11: filter, 12: spawn, 13/14: result, "
                                         "15: the other child was taken";
    const std::string expected =
        fmt("%d) wait_spawn(): fork() fail on error \"Resource temporarily unavailable\"\n"
            "%d) wait_spawn_redirect(): fork() fail on error \"Resource temporarily "
            "unavailable\"\n",
            tester, tester);
    ASSERT_TRUE(tw_test::wait_console(expected, 5s, mark));
    EXPECT_EQ(tw_test::console().substr(mark), expected);
#else
    GTEST_SKIP() << "making fork fail needs a seccomp filter, built for x86_64 hosts only";
#endif
}

TEST_F(spawn_test, sigpipe_stays_ignored_after_a_call_and_in_the_child) {
    signal(SIGPIPE, SIG_DFL);
    args t{"true"};
    EXPECT_EQ(wait_spawn(0, "true", t.get()), 0);
    struct sigaction now {};
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);

    signal(SIGPIPE, SIG_DFL);
    const std::string status_copy = work + "/status";
    args cat{"cat", "/proc/self/status"};
    ASSERT_EQ(wait_spawn_redirect(0, status_copy.c_str(), SPAWN_REDIRECT_OUT, "cat", cat.get()), 0);
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    std::string st = tw_test::read_file(status_copy);
    size_t at = st.find("SigIgn:\t");
    ASSERT_NE(at, std::string::npos) << st;
    unsigned long long ignored = std::stoull(st.substr(at + 8), nullptr, 16);
    EXPECT_NE(ignored & (1ull << (SIGPIPE - 1)), 0u);
}

// ---- where the child's output goes -----------------------------------------

struct redirect_outcome {
    bool file_exists;
    std::string file;
    caller_stdio caller;
};

// Runs the two-line shell twice with the given redirection.
redirect_outcome run_twice(int quiet, const std::string &path, unsigned int mode) {
    redirect_outcome r{};
    r.caller = capture_stdio([&] {
        for (int i = 0; i < 2; ++i) {
            args a = out_and_err();
            EXPECT_EQ(wait_spawn_redirect(quiet, path.c_str(), mode, "sh", a.get()), 0);
        }
    });
    r.file_exists = exists(path);
    r.file = tw_test::read_file(path);
    return r;
}

TEST_F(spawn_test, mode_2_creates_the_file_and_appends_standard_output_only) {
    const std::string log = work + "/mode2.log";
    auto r = run_twice(0, log, SPAWN_REDIRECT_OUT);
    EXPECT_TRUE(r.file_exists);
    EXPECT_EQ(r.file, "out\nout\n");
    EXPECT_EQ(r.caller.out, "");
    EXPECT_EQ(r.caller.err, "err\nerr\n");
}

TEST_F(spawn_test, mode_1_appends_both_streams_to_the_file) {
    const std::string log = work + "/mode1.log";
    tw_test::write_file(log, "before\n");
    auto r = run_twice(0, log, SPAWN_REDIRECT_OUT_ERR);
    EXPECT_EQ(r.file, "before\nout\nerr\nout\nerr\n");
    EXPECT_EQ(r.caller.out, "");
    EXPECT_EQ(r.caller.err, "");
}

TEST_F(spawn_test, mode_3_appends_standard_error_only) {
    const std::string log = work + "/mode3.log";
    auto r = run_twice(0, log, SPAWN_REDIRECT_ERR);
    EXPECT_EQ(r.file, "err\nerr\n");
    EXPECT_EQ(r.caller.out, "out\nout\n");
    EXPECT_EQ(r.caller.err, "");
}

TEST_F(spawn_test, mode_4_creates_the_file_and_redirects_nothing) {
    for (unsigned int mode : {4u, 0u, UINT_MAX}) {
        const std::string log = work + "/other" + std::to_string(mode) + ".log";
        auto r = run_twice(0, log, mode);
        EXPECT_TRUE(r.file_exists) << mode;
        EXPECT_EQ(r.file, "") << mode;
        EXPECT_EQ(r.caller.out, "out\nout\n") << mode;
        EXPECT_EQ(r.caller.err, "err\nerr\n") << mode;
    }
}

TEST_F(spawn_test, quiet_plays_no_part_when_a_path_is_given) {
    const std::string log = work + "/quiet.log";
    auto r = run_twice(1, log, SPAWN_REDIRECT_OUT);
    EXPECT_EQ(r.file, "out\nout\n");
    EXPECT_EQ(r.caller.err, "err\nerr\n");
}

TEST_F(spawn_test, created_redirect_file_is_owner_writable_and_readable_by_all) {
    const std::string log = work + "/perm.log";
    umask(0);
    args a{"true"};
    EXPECT_EQ(wait_spawn_redirect(0, log.c_str(), SPAWN_REDIRECT_OUT, "true", a.get()), 0);
    EXPECT_EQ(perm_bits(log), 0644u);
}

TEST_F(spawn_test, redirect_file_that_cannot_be_opened_leaves_output_with_the_caller) {
    const std::string log = work + "/no/such/dir.log";
    auto r = run_twice(0, log, SPAWN_REDIRECT_OUT_ERR);
    EXPECT_FALSE(r.file_exists);
    EXPECT_EQ(r.caller.out, "out\nout\n");
    EXPECT_EQ(r.caller.err,
              "open: No such file or directory\nerr\n"
              "open: No such file or directory\nerr\n");
}

TEST_F(spawn_test, quiet_0_leaves_the_output_on_the_callers_streams) {
    auto c = capture_stdio([] {
        args a = out_and_err();
        pid_t pid = spawn(0, "sh", a.get());
        ASSERT_GT(pid, 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        args b = out_and_err();
        EXPECT_EQ(wait_spawn(0, "sh", b.get()), 0);
    });
    EXPECT_EQ(c.out, "out\nout\n");
    EXPECT_EQ(c.err, "err\nerr\n");
}

TEST_F(spawn_test, quiet_1_silences_output_and_errors) {
    auto c = capture_stdio([] {
        args a = out_and_err();
        EXPECT_EQ(wait_spawn(1, "sh", a.get()), 0);
    });
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
}

TEST_F(spawn_test, null_path_with_quiet_1_silences_whatever_the_mode) {
    for (unsigned int mode : {0u, 1u, 2u, 3u, 4u}) {
        auto c = capture_stdio([&] {
            args a = out_and_err();
            EXPECT_EQ(wait_spawn_redirect(1, nullptr, mode, "sh", a.get()), 0);
        });
        EXPECT_EQ(c.out, "") << mode;
        EXPECT_EQ(c.err, "") << mode;
    }
}

TEST_F(spawn_test, null_path_with_quiet_0_leaves_the_output_with_the_caller) {
    auto c = capture_stdio([] {
        args a = out_and_err();
        EXPECT_EQ(wait_spawn_redirect(0, nullptr, SPAWN_REDIRECT_OUT_ERR, "sh", a.get()), 0);
    });
    EXPECT_EQ(c.out, "out\n");
    EXPECT_EQ(c.err, "err\n");
}

TEST_F(spawn_test, the_program_inherits_no_descriptor_of_the_library) {
    // Lines of "ls -l /proc/self/fd" naming a target above descriptor 2.
    auto high_targets = [](const std::string &listing, const std::string &target) {
        int n = 0;
        const std::string arrow = " -> " + target + "\n";
        for (size_t at = listing.find(arrow); at != std::string::npos;
             at = listing.find(arrow, at + 1)) {
            size_t start = listing.rfind(' ', at - 1) + 1;
            if (std::stoi(listing.substr(start, at - start)) > 2) {
                ++n;
            }
        }
        return n;
    };
    // The test's own environment may hand down a "/dev/null" of its own.
    auto inherited_dev_null = [] {
        int n = 0;
        DIR *d = opendir("/proc/self/fd");
        while (dirent *e = d != nullptr ? readdir(d) : nullptr) {
            int fd = std::atoi(e->d_name);
            char target[64] = {};
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (fd <= 2 || readlink(link.c_str(), target, sizeof target - 1) < 0 ||
                std::string(target) != "/dev/null") {
                continue;
            }
            std::string info = tw_test::read_file(std::string("/proc/self/fdinfo/") + e->d_name);
            // The kernel's flags word, octal; 02000000 is close-on-exec.
            size_t at = info.find("flags:\t");
            if (at != std::string::npos &&
                (std::stoul(info.substr(at + 7), nullptr, 8) & 02000000ul) == 0) {
                ++n;
            }
        }
        if (d != nullptr) {
            closedir(d);
        }
        return n;
    };
    const int before = inherited_dev_null();
    args a{"ls", "-l", "/proc/self/fd"};
    auto c = capture_stdio([&] { EXPECT_EQ(wait_spawn(0, "ls", a.get()), 0); });
    EXPECT_EQ(high_targets(c.out, "/dev/null"), before) << c.out;

    // Silenced, the listing itself would go to "/dev/null": the shell points
    // standard output at a file first (with exec, so it keeps no saved copy).
    const std::string quiet_listing = work + "/quiet_fds";
    args q{"sh", "-c", "exec >" + quiet_listing + "; exec ls -l /proc/self/fd"};
    EXPECT_EQ(wait_spawn(1, "sh", q.get()), 0);
    std::string qfds = tw_test::read_file(quiet_listing);
    EXPECT_EQ(high_targets(qfds, "/dev/null"), before) << qfds;
    EXPECT_NE(qfds.find("2 -> /dev/null\n"), std::string::npos) << qfds;
    EXPECT_EQ(wait_spawn_redirect(1, nullptr, SPAWN_REDIRECT_OUT, "sh", q.get()), 0);
    qfds = tw_test::read_file(quiet_listing);
    EXPECT_EQ(high_targets(qfds, "/dev/null"), before) << qfds;
    EXPECT_NE(qfds.find("2 -> /dev/null\n"), std::string::npos) << qfds;

    const std::string listing = work + "/fds";
    ASSERT_EQ(wait_spawn_redirect(0, listing.c_str(), SPAWN_REDIRECT_OUT, "ls", a.get()), 0);
    std::string fds = tw_test::read_file(listing);
    EXPECT_EQ(high_targets(fds, listing), 0) << fds;
    EXPECT_NE(fds.find("1 -> " + listing + "\n"), std::string::npos) << fds;
}

// ---- file operations -------------------------------------------------------

TEST_F(spawn_test, file_operations_run_their_commands_and_pass_on_the_exit_status) {
    const std::string dir = work + "/d";
    EXPECT_EQ(create_dir(dir.c_str()), 0);
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // mkdir of an existing directory fails on its own: its status, its message.
    auto c = capture_stdio([&] { EXPECT_EQ(create_dir(dir.c_str()), 1); });
    EXPECT_EQ(c.err.rfind("mkdir: ", 0), 0u) << c.err;

    const std::string src = dir + "/src";
    const std::string dst = dir + "/dst";
    tw_test::write_file(src, "payload\n");
    chmod(src.c_str(), 0640);
    EXPECT_EQ(copy_file(src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(tw_test::read_file(dst), "payload\n");
    EXPECT_EQ(perm_bits(dst), 0640u);  // -p keeps the mode

    EXPECT_EQ(remove_file(dst.c_str()), 0);
    EXPECT_FALSE(exists(dst));
    EXPECT_EQ(remove_file(dst.c_str()), 0);  // -f: a missing file is no failure

    EXPECT_EQ(remove_dir(dir.c_str()), 0);
    EXPECT_FALSE(exists(dir));
}

TEST_F(spawn_test, display_file_traces_its_header_and_cats_to_the_caller) {
    const std::string f = work + "/shown";
    tw_test::write_file(f, "line one\nline two\n");
    caller_stdio c;
    std::string con =
        console_of([&] { c = capture_stdio([&] { EXPECT_EQ(display_file(f.c_str()), 0); }); });
    EXPECT_EQ(con, "file \"/run/spawn_test/shown\" content:\n");
    EXPECT_EQ(c.out, "line one\nline two\n");

    const std::string missing = work + "/missing";
    c = capture_stdio([&] { EXPECT_EQ(display_file(missing.c_str()), 1); });
    EXPECT_NE(c.err.find("No such file or directory"), std::string::npos) << c.err;
}

TEST_F(spawn_test, rm_file_of_a_short_join_removes_exactly_it) {
    tw_test::write_file(work + "/a", "x");
    tw_test::write_file(work + "/ab", "x");
    EXPECT_EQ(rm_file(work.c_str(), "a"), 0);
    EXPECT_FALSE(exists(work + "/a"));
    EXPECT_TRUE(exists(work + "/ab"));
}

TEST_F(spawn_test, rm_file_joins_up_to_127_characters_and_refuses_longer_ones) {
    const std::string dir = work + "/" + std::string(100, 'd');  // 116 characters
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::string fits = dir + "/abcdefghij";     // 127 characters
    const std::string longer = dir + "/abcdefghijk";  // 128: its cut would name `fits`
    ASSERT_EQ(fits.size(), 127u);
    tw_test::write_file(fits, "x");
    tw_test::write_file(longer, "x");

    int r = 0;
    std::string con = console_of([&] { r = rm_file(dir.c_str(), "abcdefghijk"); });
    EXPECT_EQ(r, SPAWN_ERR_JOIN_TOO_LONG);
    EXPECT_STREQ(tiller_strerror(r), "Wrong parameter value");
    EXPECT_TRUE(exists(fits));
    EXPECT_TRUE(exists(longer));
    EXPECT_EQ(con, fmt("%d) rm_file(): \"%s\" is longer than 127 characters, nothing removed\n",
                       self(), longer.c_str()));

    EXPECT_EQ(rm_file(dir.c_str(), "abcdefghij"), 0);
    EXPECT_FALSE(exists(fits));
    EXPECT_TRUE(exists(longer));
}

// ---- names and listings ----------------------------------------------------

TEST_F(spawn_test, interface_names_by_code) {
    const char *expected[] = {"UNKNOWN", "WEB",  "SSH",    "LOCAL",
                              "TELNET",  "SNMP", "DIRECT", "UNKNOWN"};
    for (unsigned int code = 0; code < 8; ++code) {
        EXPECT_STREQ(str_interface(code), expected[code]) << code;
        EXPECT_EQ(interface2str(code), str_interface(code)) << code;  // one shared table
    }
    EXPECT_STREQ(str_interface(UINT_MAX), "UNKNOWN");
    EXPECT_STREQ(interface2str(0x80000005u), "UNKNOWN");
}

TEST_F(spawn_test, permission_listing_of_a_0755_directory) {
    const std::string dir = work + "/listed";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    std::string con = console_of([&] { display_permission("check", 42, dir.c_str()); });
    EXPECT_EQ(con, "check(42): File \"/run/spawn_test/listed\" permissions: \tdrwxr-xr-x\n");
}

TEST_F(spawn_test, permission_listing_of_a_0640_file_leaves_out_setuid_setgid_and_sticky) {
    const std::string f = work + "/listed";
    tw_test::write_file(f, "");
    ASSERT_EQ(chmod(f.c_str(), 0640), 0);
    std::string con = console_of([&] { display_permission("main", 7, f.c_str()); });
    EXPECT_EQ(con, "main(7): File \"/run/spawn_test/listed\" permissions: \t-rw-r-----\n");

    // Set-user-id, set-group-id and sticky are not shown.
    ASSERT_EQ(chmod(f.c_str(), 07001), 0);
    con = console_of([&] { display_permission("main", 8, f.c_str()); });
    EXPECT_EQ(con, "main(8): File \"/run/spawn_test/listed\" permissions: \t---------x\n");
}

TEST_F(spawn_test, permission_listing_of_an_unreadable_status_is_one_line) {
    std::string con = console_of([] { display_permission("main", 9, "/run/spawn_test/none"); });
    EXPECT_EQ(con,
              "main(9): File \"/run/spawn_test/none\" permissions: unknown, stat() failed: No "
              "such file or directory\n");
}

TEST_F(spawn_test, listings_are_library_detail_only) {
    args a{"ls"};
    std::string con = console_of([&] {
        dbg_level.store(0x01);
        display_permission("main", 1, "/run/spawn_test");
        display_permission("main", 2, "/run/spawn_test/none");
        tty_print_args("main", 3, 1, a.get());
    });
    EXPECT_EQ(con, "");
}

TEST_F(spawn_test, argument_listing_with_0_and_with_2_arguments) {
    args a{"ls", "-l"};
    EXPECT_EQ(console_of([&] { tty_print_args("main", 12, 0, a.get()); }),
              "main(12):\nargc:    0\n");
    EXPECT_EQ(console_of([&] { tty_print_args("main", 13, 2, a.get()); }),
              "main(13):\nargc:    2\nargv[0]: \"ls\"\nargv[1]: \"-l\"\n");
    EXPECT_EQ(console_of([&] { tty_print_args("main", 14, -1, a.get()); }),
              "main(14):\nargc:    -1\n");
}

// ---- the library's hex dump ------------------------------------------------

TEST_F(spawn_test, library_hex_dump_byte_for_byte) {
    uint8_t buf[17];
    for (size_t i = 0; i < sizeof buf; ++i) {
        buf[i] = static_cast<uint8_t>(0xf0 + i);  // 0xf0..0xff, then 0x00
    }
    auto dump = [&](int len, int offset, const char *name, int line) {
        return console_of(
            [&] { tty_print_buf(buf, len, offset, name, line, dump_variant::library); });
    };
    const std::string header = fmt("lib(5): buf: %p\n\r", static_cast<const void *>(buf));

    EXPECT_EQ(dump(0, 0, "lib", 5), header);
    EXPECT_EQ(dump(0, 0, "", 5), "");
    EXPECT_EQ(dump(5, 0, "", 0), "0000: f0 f1 f2 f3  f4 \n\r");
    EXPECT_EQ(dump(16, 0, "lib", 5),
              header + "0000: f0 f1 f2 f3  f4 f5 f6 f7    f8 f9 fa fb  fc fd fe ff \n\r");
    EXPECT_EQ(dump(17, 0x20, "", 0),
              "0020: f0 f1 f2 f3  f4 f5 f6 f7    f8 f9 fa fb  fc fd fe ff \n\r"
              "0030: 00 \n\r");
    EXPECT_EQ(console_of([&] {
                  dbg_level.store(0x01);
                  tty_print_buf(buf, 5, 0, "lib", 5, dump_variant::library);
              }),
              "");
}

}  // namespace
