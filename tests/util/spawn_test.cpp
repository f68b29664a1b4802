// Process and file utilities, run for real inside the sandbox: children are
// the system's own programs, the console is the sandbox's capture of
// "/dev/ttyS0", and the caller's standard output and error are caught by
// pointing descriptors 1 and 2 at files around the call.
#include "util/spawn.h"

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
#include <functional>
#include <string>
#include <vector>

#include "tests/support/keelson_text.h"
#include "tests/support/sandbox.h"
#include "util/errors.h"
#include "util/trace.h"

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

struct caller_stdio {
    std::string out;
    std::string err;
};

// What reached the caller's standard output and error while f ran.
template <class F>
caller_stdio capture_stdio(F &&f) {
    const std::string paths[2] = {work + "/caller.out", work + "/caller.err"};
    int saved[2];
    std::fflush(nullptr);
    for (int fd : {1, 2}) {
        saved[fd - 1] = dup(fd);
        int o = open(paths[fd - 1].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, fd);
        close(o);
    }
    f();
    std::fflush(nullptr);
    for (int fd : {1, 2}) {
        dup2(saved[fd - 1], fd);
        close(saved[fd - 1]);
    }
    return {tw_test::read_file(paths[0]), tw_test::read_file(paths[1])};
}

// Everything f printed on the console with the debug mask at level: a marker
// line after it tells when the capture has caught up, so "nothing printed" is
// seen as such.
template <class F>
std::string console_of(F &&f, uint64_t level = dbg_level_default) {
    const size_t mark = tw_test::console().size();
    dbg_level.store(level);
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
    }

   private:
    mode_t old_umask_ = 022;
};

// ---- results of the waiting functions -------------------------------------

TEST_F(spawn_test, both_waiting_functions_give_the_exit_status_or_the_failure_line) {
    const struct {
        const char *script;  // run by "sh -c"; nullptr: a program that does not exist
        int result;
        const char *line;  // after "<pid>) <function>(): "
        uint64_t bit;      // the debug bit of that line
        bool reaped;       // SIGCHLD ignored: the kernel reaps the child, nothing to wait for
    } cases[] = {
        {"exit 0", 0, nullptr, 0, false},
        {"exit 3", 3, nullptr, 0, false},
        {"exit 255", 255, nullptr, 0, false},
        {"kill -9 $$", -133, "child interrupted by sig=0x9", 0x02, false},
        // The program starts with SIGPIPE (bit 13 of its SigIgn mask) ignored.
        {"exit $(( 0x$(grep ^SigIgn /proc/$$/status | cut -f2) >> 12 & 1 ))", 1, nullptr, 0, false},
        // The child prints the exec failure (under 0x01), then aborts.
        {nullptr, -133, "child interrupted by sig=0x6", 0x02, false},
        {"exit 0", -100, "waitpid() fail on error \"No child processes\"", 0x01, true},
    };
    for (const auto &c : cases) {
        for (uint64_t level : {dbg_level_default, uint64_t{0x01}}) {
            SCOPED_TRACE(fmt("%s, level %u", c.script != nullptr ? c.script : "unknown program",
                             static_cast<unsigned>(level)));
            signal(SIGCHLD, c.reaped ? SIG_IGN : SIG_DFL);
            const char *prog = c.script != nullptr ? "sh" : "tw-no-such-program";
            args a{prog, "-c", c.script != nullptr ? c.script : ""};
            std::string want;
            const std::string con = console_of(
                [&] {
                    for (bool redirect : {false, true}) {
                        const char *fn = redirect ? "spawn_redirect" : "spawn";
                        // Every call leaves SIGPIPE ignored in the caller.
                        signal(SIGPIPE, SIG_DFL);
                        EXPECT_EQ(redirect ? wait_spawn_redirect(0, nullptr, 0, prog, a.get())
                                           : wait_spawn(0, prog, a.get()),
                                  c.result);
                        struct sigaction now {};
                        sigaction(SIGPIPE, nullptr, &now);
                        EXPECT_EQ(now.sa_handler, SIG_IGN) << fn;
                        if (c.script == nullptr) {
                            want +=
                                "{N}) " + std::string(fn) + "(): an error occurred in execvp!\n";
                        }
                        if (c.line != nullptr && (level & c.bit) != 0) {
                            want += fmt("%d) wait_%s(): %s\n", self(), fn, c.line);
                        }
                    }
                },
                level);
            EXPECT_TRUE(tw_test::text_matches(con, want)) << con;
            // The exec failure is the child's line, under its own id.
            EXPECT_EQ(("\n" + con).find(fmt("\n%d) spawn", self())), std::string::npos) << con;
        }
    }
}

TEST_F(spawn_test, wait_status_decoding_and_the_bit_of_each_line) {
    const struct {
        int status;
        const char *line;
        uint64_t bit;
    } cases[] = {
        {0x137f, "child stopped by sig=0x13", 0x01},     // SIGSTOP (19)
        {0x0089, "child interrupted by sig=0x9", 0x02},  // signal 9 with a core dump
        {0x00ff, "child exited reason unknown!", 0x02},  // no reason the status tells
    };
    for (const auto &c : cases) {
        for (uint64_t level : {dbg_level_default, uint64_t{0x01}, uint64_t{0x02}}) {
            SCOPED_TRACE(fmt("status 0x%04x, level %u", c.status, static_cast<unsigned>(level)));
            std::string con =
                console_of([&] { EXPECT_EQ(spawn_status_result("w", c.status), -133); }, level);
            EXPECT_EQ(con, (level & c.bit) != 0 ? fmt("%d) w(): %s\n", self(), c.line) : "");
        }
    }
}

TEST_F(spawn_test, failed_fork_gives_failed_and_leaves_other_children_alone) {
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
        // Fork fails for a user past its process limit.  Root is never held
        // to it, so the tester becomes nobody, for whom the console must stay
        // writable.
        siginfo_t si{};
        const struct rlimit none {};
        const bool ready = waitid(P_PID, static_cast<id_t>(other), &si, WEXITED | WNOWAIT) == 0 &&
                           chmod(tty_path, 0622) == 0 && setrlimit(RLIMIT_NPROC, &none) == 0 &&
                           setuid(65534) == 0;
        args a{"true"};
        int st = 0;
        _exit(!ready                                                        ? 10
              : spawn(0, "true", a.get()) != -1                             ? 11
              : wait_spawn(0, "true", a.get()) != -100                      ? 12
              : wait_spawn_redirect(0, nullptr, 0, "true", a.get()) != -100 ? 13
              : waitpid(other, &st, WNOHANG) != other || !WIFEXITED(st) || WEXITSTATUS(st) != 7
                  ? 14
                  : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(tester, &status, 0), tester);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0)
        << "10: set-up, 11: spawn, 12/13: result, 14: the other child was taken";
    const std::string expected =
        fmt("%d) wait_spawn(): fork() fail on error \"Resource temporarily unavailable\"\n"
            "%d) wait_spawn_redirect(): fork() fail on error \"Resource temporarily "
            "unavailable\"\n",
            tester, tester);
    ASSERT_TRUE(tw_test::wait_console(expected, 5s, mark));
    EXPECT_EQ(tw_test::console().substr(mark), expected);
}

// ---- where the child's output goes -----------------------------------------

// The two waiting functions behind one signature, for the table below.
int plain(int quiet, const char *, unsigned int, char *const argv[]) {
    return wait_spawn(quiet, "sh", argv);
}
int redirected(int quiet, const char *path, unsigned int mode, char *const argv[]) {
    return wait_spawn_redirect(quiet, path, mode, "sh", argv);
}

// Descriptors above 2 that an "ls -l /proc/self/fd" listing shows at target.
int high_fds(const std::string &listing, const std::string &target) {
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
}

TEST_F(spawn_test, output_goes_where_quiet_path_and_mode_say_and_no_descriptor_leaks) {
    const std::string log = work + "/log";
    const std::string no_dir = work + "/no/such/dir.log";
    const struct {
        int (*run)(int, const char *, unsigned int, char *const[]);
        int quiet;
        const std::string *path;
        unsigned int mode;
        const char *before;  // the file's content beforehand; nullptr: no file
        const char *after;   // its content after two runs; nullptr: no file
        const char *out;     // what reached the caller in the two runs
        const char *err;
    } cases[] = {
        {plain, 0, nullptr, 0, nullptr, nullptr, "out\nout\n", "err\nerr\n"},
        {plain, 1, nullptr, 0, nullptr, nullptr, "", ""},
        {redirected, 0, nullptr, SPAWN_REDIRECT_OUT_ERR, nullptr, nullptr, "out\nout\n",
         "err\nerr\n"},
        // A null path with quiet silences whatever the mode.
        {redirected, 1, nullptr, 0, nullptr, nullptr, "", ""},
        {redirected, 1, nullptr, 1, nullptr, nullptr, "", ""},
        {redirected, 1, nullptr, 2, nullptr, nullptr, "", ""},
        {redirected, 1, nullptr, 3, nullptr, nullptr, "", ""},
        {redirected, 1, nullptr, 4, nullptr, nullptr, "", ""},
        {redirected, 0, &log, 1, "before\n", "before\nout\nerr\nout\nerr\n", "", ""},
        {redirected, 0, &log, 2, nullptr, "out\nout\n", "", "err\nerr\n"},
        {redirected, 0, &log, 3, nullptr, "err\nerr\n", "out\nout\n", ""},
        // Any other mode creates the file and redirects nothing.
        {redirected, 0, &log, 4, nullptr, "", "out\nout\n", "err\nerr\n"},
        {redirected, 0, &log, 0, nullptr, "", "out\nout\n", "err\nerr\n"},
        {redirected, 0, &log, UINT_MAX, nullptr, "", "out\nout\n", "err\nerr\n"},
        // With a path, quiet counts for nothing.
        {redirected, 1, &log, 2, nullptr, "out\nout\n", "", "err\nerr\n"},
        {redirected, 0, &no_dir, 1, nullptr, nullptr, "out\nout\n",
         "open: No such file or directory\nerr\nopen: No such file or directory\nerr\n"},
    };
    // The program lists its descriptors last, with exec so that the shell
    // keeps no saved copy of its own; a "/dev/null" may come down from the
    // test's own environment, as it does to a program started without the
    // library.
    const std::string fds = work + "/fds";
    const std::string list_fds = "exec ls -l /proc/self/fd >" + fds;
    ASSERT_EQ(tw_test::sh(list_fds), 0);
    const int inherited = high_fds(tw_test::read_file(fds), "/dev/null");
    // The created file's mode must not lean on the caller's umask.
    umask(0);
    for (const auto &c : cases) {
        const char *path = c.path != nullptr ? c.path->c_str() : nullptr;
        SCOPED_TRACE(fmt("%s, quiet %d, path %s, mode %u", c.run == plain ? "plain" : "redirected",
                         c.quiet, path != nullptr ? path : "(null)", c.mode));
        unlink(log.c_str());
        if (c.before != nullptr) {
            tw_test::write_file(log, c.before);
        }
        auto got = capture_stdio([&] {
            for (int i = 0; i < 2; ++i) {
                args a{"sh", "-c", "echo out; echo err >&2; " + list_fds};
                EXPECT_EQ(c.run(c.quiet, path, c.mode, a.get()), 0);
            }
        });
        EXPECT_EQ(got.out, c.out);
        EXPECT_EQ(got.err, c.err);
        const std::string listing = tw_test::read_file(fds);
        EXPECT_EQ(high_fds(listing, "/dev/null"), inherited) << listing;
        EXPECT_EQ(high_fds(listing, log), 0) << listing;
        if (path != nullptr) {
            EXPECT_EQ(exists(path), c.after != nullptr);
            EXPECT_EQ(tw_test::read_file(path), c.after != nullptr ? c.after : "");
            if (c.after != nullptr && c.before == nullptr) {
                EXPECT_EQ(perm_bits(path), 0644u);
            }
        }
    }
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
    tw_test::write_file(src, "line one\nline two\n");
    chmod(src.c_str(), 0640);
    EXPECT_EQ(copy_file(src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(perm_bits(dst), 0640u);  // -p keeps the mode
    std::string con =
        console_of([&] { c = capture_stdio([&] { EXPECT_EQ(display_file(dst.c_str()), 0); }); });
    EXPECT_EQ(con, "file \"/run/spawn_test/d/dst\" content:\n");
    EXPECT_EQ(c.out, "line one\nline two\n");

    EXPECT_EQ(remove_file(dst.c_str()), 0);
    EXPECT_FALSE(exists(dst));
    EXPECT_EQ(remove_file(dst.c_str()), 0);  // -f: a missing file is no failure
    c = capture_stdio([&] { EXPECT_EQ(display_file(dst.c_str()), 1); });
    EXPECT_NE(c.err.find("No such file or directory"), std::string::npos) << c.err;

    EXPECT_EQ(remove_dir(dir.c_str()), 0);
    EXPECT_FALSE(exists(dir));
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

    // Exactly the joined path goes, not the longer name it begins.
    EXPECT_EQ(rm_file(dir.c_str(), "abcdefghij"), 0);
    EXPECT_FALSE(exists(fits));
    EXPECT_TRUE(exists(longer));

    con = console_of([&] { EXPECT_EQ(rm_file(nullptr, "x"), SPAWN_ERR_JOIN_TOO_LONG); });
    EXPECT_EQ(con, fmt("%d) rm_file(): no directory or no name, nothing removed\n", self()));
}

// ---- names and listings ----------------------------------------------------

TEST_F(spawn_test, interface_names_by_code) {
    const char *expected[] = {"UNKNOWN", "WEB",  "SSH",    "LOCAL",
                              "TELNET",  "SNMP", "DIRECT", "UNKNOWN"};
    for (unsigned int code = 0; code < 8; ++code) {
        EXPECT_STREQ(str_interface(code), expected[code]) << code;
        EXPECT_STREQ(interface2str(code), expected[code]) << code;
    }
    EXPECT_STREQ(str_interface(UINT_MAX), "UNKNOWN");
    EXPECT_STREQ(interface2str(0x80000005u), "UNKNOWN");
}

TEST_F(spawn_test, listings_are_exact_and_library_detail_only) {
    const std::string dir = work + "/dir";
    const std::string file = work + "/file";
    const std::string none = work + "/none";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    tw_test::write_file(file, "");
    auto perms = [](const std::string &path, mode_t mode) {
        return [&path, mode] {
            chmod(path.c_str(), mode);
            display_permission("main", 7, path.c_str());
        };
    };
    args a{"ls", "-l"};
    auto argv = [&a](int count) {
        return [&a, count] { tty_print_args("main", 12, count, a.get()); };
    };
    const struct {
        std::function<void()> print;
        const char *listing;
    } cases[] = {
        {perms(dir, 0755), "main(7): File \"/run/spawn_test/dir\" permissions: \tdrwxr-xr-x\n"},
        {perms(file, 0640), "main(7): File \"/run/spawn_test/file\" permissions: \t-rw-r-----\n"},
        // Set-user-id, set-group-id and sticky are not shown.
        {perms(file, 07001), "main(7): File \"/run/spawn_test/file\" permissions: \t---------x\n"},
        {perms(none, 0),
         "main(7): File \"/run/spawn_test/none\" permissions: unknown, stat() failed: No such "
         "file or directory\n"},
        {argv(0), "main(12):\nargc:    0\n"},
        {argv(2), "main(12):\nargc:    2\nargv[0]: \"ls\"\nargv[1]: \"-l\"\n"},
        {argv(3), "main(12):\nargc:    3\nargv[0]: \"ls\"\nargv[1]: \"-l\"\nargv[2]: \"(null)\"\n"},
        {argv(-1), "main(12):\nargc:    -1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.listing);
        EXPECT_EQ(console_of(c.print), c.listing);
        EXPECT_EQ(console_of(c.print, 0x01), "");
    }
}

}  // namespace
