#include "trapwatch/startup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "params/cmd_msg.h"
#include "trapwatch/receiver.h"
#include "trapwatch/sender.h"
#include "trapwatch/stop.h"
#include "util/cpu.h"
#include "util/errors.h"
#include "util/state.h"
#include "util/trace.h"

pthread_t recv_thread_id;
pthread_t send_thread_id;

namespace {

constexpr const char *unit = "trapwatch";

void *recv_thread_body(void *) {
    recv_thread();
    return nullptr;
}

void *send_thread_body(void *) {
    send_thread();
    return nullptr;
}

// The dispositions both of daemonize's set-ups make, in this order: the
// job-control signals ignored, hang-up and terminate routed to the handler.
void set_shared_dispositions() {
    for (int sig : {SIGTSTP, SIGTTOU, SIGTTIN}) {
        std::signal(sig, SIG_IGN);
    }
    route_signal(SIGHUP);
    route_signal(SIGTERM);
}

// A failure at the lock or session steps: the daemon-mode stop, then the
// process ends with the code that stop recorded.
[[noreturn]] void stop_and_end(int code, int line) {
    clean_and_exit(code, 0, line);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): start-up: the worker threads do not exist yet
    std::exit(c_exit_code.load(std::memory_order_relaxed));
}

}  // namespace

void hold_standard_descriptors() {
    for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
        // open() takes the lowest free number: this one, as the lower ones are open.
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) < 0) {
            return;
        }
    }
}

void trapwatch_init() {
    char ebuf[errno_text_len];
    int rc = pthread_create(&recv_thread_id, nullptr, recv_thread_body, nullptr);
    if (rc != 0) {
        daemon_log(2, "%s(%d) pthread_create() failed on error: \"%s\"\n\r", "trapwatch_init",
                   __LINE__, errno_text(rc, ebuf, sizeof ebuf));
        return;  // no send thread without the receive thread
    }
    rc = pthread_create(&send_thread_id, nullptr, send_thread_body, nullptr);
    if (rc != 0) {
        daemon_log(2, "%s(%d) pthread_create() failed on error: \"%s\"\n\r", "trapwatch_init",
                   __LINE__, errno_text(rc, ebuf, sizeof ebuf));
    }
}

void daemonize() {
    const char *fn = "daemonize";
    char ebuf[errno_text_len];
    tty_prnt(dbg_init, "%s:%s(%d): enter\n\r", unit, fn, __LINE__);

    if (getppid() == 1) {
        daemon_log(2, "%s(%d): already loaded.\n\r", fn, __LINE__);
        clean_and_exit(TW_ERR_ALREADY_LOADED, 1, __LINE__);
    }

    set_shared_dispositions();
    for (int sig : {SIGUSR1, SIGUSR2, SIGCHLD}) {
        route_signal(sig);
    }

    pid_t pid = fork();
    child_pid.store(pid, std::memory_order_relaxed);
    if (pid < 0) {
        daemon_log(2, "%s(%d) Fork() failed on error: \"%s\".\n\r", fn, __LINE__,
                   errno_text(errno, ebuf, sizeof ebuf));
        clean_and_exit(TW_ERR_FAILED, 1, __LINE__);
    }
    if (pid > 0) {
        // The launching process does not wait for the daemon's start-up.
        clean_and_exit(TW_OK, 1, __LINE__);
    }

    // Close-on-exec: the stop's pause shell need not see it (the lock itself
    // belongs to this process and is not inherited anyway).  No symlink: where
    // the lock folder is writable by others, one planted there would make
    // this root process create or lock a file of someone else's choosing.
    int fd = open(lock_file_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, lock_file_mode);
    lock_file.store(fd, std::memory_order_relaxed);  // a failed open's -1 too
    if (fd < 0) {
        daemon_log(2, "%s(%d): Can't open lock file error: \"%s\".\n\r", fn, __LINE__,
                   errno_text(errno, ebuf, sizeof ebuf));
        stop_and_end(TW_ERR_FAILED, __LINE__);
    }
    if (lockf(fd, F_TLOCK, 0) != 0) {
        daemon_log(2, "%s(%d): Can't lock lock file error: \"%s\".\n\r", fn, __LINE__,
                   errno_text(errno, ebuf, sizeof ebuf));
        stop_and_end(TW_ERR_ALREADY_LOADED, __LINE__);
    }
    if (setsid() < 0) {
        daemon_log(2, "%s(%d): Setsid() failed on error: \"%s\".\n\r", fn, __LINE__,
                   errno_text(errno, ebuf, sizeof ebuf));
        stop_and_end(TW_ERR_FAILED, __LINE__);
    }
    if (chdir("/") != 0) {
        daemon_log(2, "%s(%d): Can't change directory error: \"%s\".\n\r", fn, __LINE__,
                   errno_text(errno, ebuf, sizeof ebuf));
        clean_and_exit(TW_ERR_FAILED, 1, __LINE__);
    }

    route_signal(SIGSEGV);
    route_signal(SIGCHLD);
    set_shared_dispositions();  // SIGUSR1 and SIGUSR2 keep their first routing

    trapwatch_init();
    bind_thread_to_cpu(0, pthread_self());
    enable_send.store(1, std::memory_order_relaxed);
    tty_prnt(dbg_init, "%s:%s(%d): exit\n\r", unit, fn, __LINE__);
}
