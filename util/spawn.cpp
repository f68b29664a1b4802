#include "util/spawn.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/errors.h"
#include "util/trace.h"

namespace {

constexpr const char *dev_null = "/dev/null";

// Neither mode is asked for by the callers.  "/dev/null" should it be missing
// gets what the device itself has; a redirect file created for a log is
// readable by all but writable only by its owner, never world-writable
// whatever the umask of the daemon (which it does not set).
constexpr mode_t dev_null_mode = 0666;
constexpr mode_t redirect_file_mode = 0644;

constexpr size_t rm_join_len = 128;

const char *const interface_names[] = {"UNKNOWN", "WEB",  "SSH",   "LOCAL",
                                       "TELNET",  "SNMP", "DIRECT"};

int self_pid() {
    return static_cast<int>(getpid());
}

// Makes fd the child's standard output and/or standard error, then closes
// the descriptor opened for it, unless it already is one of those targets
// (the caller had that standard descriptor closed): then it keeps it, and
// clears its close-on-exec, or the exec would close it under the program.
void redirect_fd(int fd, bool out, bool err) {
    if (out && fd != STDOUT_FILENO) {
        dup2(fd, STDOUT_FILENO);
    }
    if (err && fd != STDERR_FILENO) {
        dup2(fd, STDERR_FILENO);
    }
    if ((out && fd == STDOUT_FILENO) || (err && fd == STDERR_FILENO)) {
        fcntl(fd, F_SETFD, 0);
    } else {
        close(fd);
    }
}

// Opens "/dev/null" in the child; with quiet nonzero the child's output and
// errors go there.  With quiet 0 the descriptor is of no use and is closed at
// once, so the program does not inherit a stray descriptor.
void child_dev_null(int quiet) {
    int fd = open(dev_null, O_RDWR | O_CREAT | O_CLOEXEC, dev_null_mode);
    if (fd < 0) {
        std::perror("open");
        return;
    }
    redirect_fd(fd, quiet != 0, quiet != 0);
}

// Runs the program in the child; never returns.
[[noreturn]] void child_exec(const char *fn, const char *program, char *const argv[]) {
    execvp(program, argv);
    tty_prnt(dbg_daemon, "%d) %s(): an error occurred in execvp!\n", self_pid(), fn);
    std::abort();
}

// Waits for exactly this child.  A failed fork (pid -1) is not waited for:
// waitpid(-1) would take some other child of the process, one that another
// caller is waiting for.  It gives the failed-wait result instead.
int wait_child(const char *fn, pid_t pid) {
    char ebuf[errno_text_len];
    if (pid < 0) {
        int e = errno;
        tty_prnt(dbg_daemon, "%d) %s(): fork() fail on error \"%s\"\n", self_pid(), fn,
                 errno_text(e, ebuf, sizeof ebuf));
        return TW_ERR_FAILED;
    }
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);  // a handled signal is not the child's end
    if (r < 0) {
        int e = errno;
        tty_prnt(dbg_daemon, "%d) %s(): waitpid() fail on error \"%s\"\n", self_pid(), fn,
                 errno_text(e, ebuf, sizeof ebuf));
        return TW_ERR_FAILED;
    }
    return spawn_status_result(fn, status);
}

// execvp takes char *const[] but does not write through it; the file
// operations hand it their const texts.
char *arg(const char *s) {
    return const_cast<char *>(s);
}

}  // namespace

pid_t spawn(int quiet, const char *program, char *const argv[]) {
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    child_dev_null(quiet);
    child_exec("spawn", program, argv);
}

pid_t spawn_redirect(int quiet, const char *path, unsigned int mode, const char *program,
                     char *const argv[]) {
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    if (path != nullptr) {
        // quiet plays no part when a path is given.
        int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, redirect_file_mode);
        if (fd < 0) {
            std::perror("open");
        } else {
            redirect_fd(fd, mode == SPAWN_REDIRECT_OUT_ERR || mode == SPAWN_REDIRECT_OUT,
                        mode == SPAWN_REDIRECT_OUT_ERR || mode == SPAWN_REDIRECT_ERR);
        }
    } else if (quiet != 0) {
        child_dev_null(quiet);
    }
    child_exec("spawn_redirect", program, argv);
}

int wait_spawn(int quiet, const char *program, char *const argv[]) {
    return wait_child("wait_spawn", spawn(quiet, program, argv));
}

int wait_spawn_redirect(int quiet, const char *path, unsigned int mode, const char *program,
                        char *const argv[]) {
    return wait_child("wait_spawn_redirect", spawn_redirect(quiet, path, mode, program, argv));
}

int spawn_status_result(const char *name, int status) {
    // Exited first: a C library may compute WIFSTOPPED with a signed product
    // that overflows for exit statuses of 128 and above.
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSTOPPED(status)) {
        tty_prnt(dbg_daemon, "%d) %s(): child stopped by sig=0x%x\n", self_pid(), name,
                 static_cast<unsigned>(WSTOPSIG(status)));
        return TW_ERR_CHILD_FAILED;
    }
    // The low bits' all-ones value names no signal (it marks a stopped child),
    // whatever the C library's WIFSIGNALED makes of it.
    constexpr int no_signal = 0x7f;
    if (WIFSIGNALED(status) && WTERMSIG(status) != no_signal) {
        tty_prnt(dbg_library, "%d) %s(): child interrupted by sig=0x%x\n", self_pid(), name,
                 static_cast<unsigned>(WTERMSIG(status)));
        return TW_ERR_CHILD_FAILED;
    }
    tty_prnt(dbg_library, "%d) %s(): child exited reason unknown!\n", self_pid(), name);
    return TW_ERR_CHILD_FAILED;
}

int remove_dir(const char *path) {
    char *const argv[] = {arg("rm"), arg("-fr"), arg(path), nullptr};
    return wait_spawn(0, "rm", argv);
}

int remove_file(const char *path) {
    char *const argv[] = {arg("rm"), arg("-f"), arg(path), nullptr};
    return wait_spawn(0, "rm", argv);
}

int display_file(const char *path) {
    tty_prnt(dbg_library, "file \"%s\" content:\n", path);
    char *const argv[] = {arg("cat"), arg(path), nullptr};
    return wait_spawn(0, "cat", argv);
}

int copy_file(const char *source, const char *destination) {
    char *const argv[] = {arg("cp"), arg("-fp"), arg(source), arg(destination), nullptr};
    return wait_spawn(0, "cp", argv);
}

int create_dir(const char *path) {
    char *const argv[] = {arg("mkdir"), arg(path), nullptr};
    return wait_spawn(0, "mkdir", argv);
}

int rm_file(const char *directory, const char *name) {
    if (directory == nullptr || name == nullptr) {
        tty_prnt(dbg_daemon, "%d) %s(): no directory or no name, nothing removed\n", self_pid(),
                 "rm_file");
        return SPAWN_ERR_JOIN_TOO_LONG;
    }
    char path[rm_join_len];
    int n = std::snprintf(path, sizeof path, "%s/%s", directory, name);
    // A cut join names another path, perhaps an existing one: refuse it
    // rather than remove what the caller did not name.
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        tty_prnt(dbg_daemon, "%d) %s(): \"%s/%s\" is longer than %zu characters, nothing removed\n",
                 self_pid(), "rm_file", directory, name, sizeof path - 1);
        return SPAWN_ERR_JOIN_TOO_LONG;
    }
    return remove_file(path);
}

const char *str_interface(unsigned int code) {
    constexpr unsigned int count = sizeof interface_names / sizeof interface_names[0];
    return interface_names[code < count ? code : 0];
}

const char *interface2str(unsigned int code) {
    return str_interface(code);
}

void tty_print_args(const char *name, int line, int count, char *const argv[]) {
    tty_prnt(dbg_library, "%s(%d):\nargc:    %d\n", name, line, count);
    for (int i = 0; i < count; ++i) {
        const char *a = argv[i];
        tty_prnt(dbg_library, "argv[%d]: \"%s\"\n", i, a != nullptr ? a : "(null)");
    }
}

void display_permission(const char *name, int line, const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) {
        // No status, no listing: one line that says why.
        char ebuf[errno_text_len];
        int e = errno;
        tty_prnt(dbg_library, "%s(%d): File \"%s\" permissions: unknown, stat() failed: %s\n", name,
                 line, path, errno_text(e, ebuf, sizeof ebuf));
        return;
    }
    tty_prnt(dbg_library, "%s(%d): File \"%s\" permissions: \t", name, line, path);
    tty_prnt(dbg_library, "%s", S_ISDIR(st.st_mode) ? "d" : "-");
    static constexpr struct {
        mode_t bit;
        const char *set;
    } bits[] = {
        {S_IRUSR, "r"}, {S_IWUSR, "w"}, {S_IXUSR, "x"}, {S_IRGRP, "r"}, {S_IWGRP, "w"},
        {S_IXGRP, "x"}, {S_IROTH, "r"}, {S_IWOTH, "w"}, {S_IXOTH, "x"},
    };
    for (const auto &b : bits) {
        tty_prnt(dbg_library, "%s", (st.st_mode & b.bit) != 0 ? b.set : "-");
    }
    tty_prnt(dbg_library, "\n");
}
