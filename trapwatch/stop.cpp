#include "trapwatch/stop.h"

#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "params/cmd_msg.h"
#include "trapwatch/receiver.h"
#include "util/errors.h"
#include "util/state.h"
#include "util/trace.h"

namespace {

constexpr const char *unit = "trapwatch";

// Set just before either stop path starts its shell pause, never cleared.
// From then on a SIGCHLD can only come from that shell (the daemon forks no
// other child, and the launching process has already collected the daemon),
// so it is not a reason to end the process: the stop goes on to its last
// steps, TERMINATE gets its reply and the exit status is the caller's.
std::atomic<int> shell_pause_begun{0};

// Thread id of the thread running the daemon-mode stop, 0 while none has
// begun.  A second stop request that arrives during the pause (a signal on
// another thread, or TERMINATE while SIGTERM's stop runs) is held off: it
// waits for the first to complete, so no step runs twice.  A held-off
// SIGHUP or SIGTERM then leaves the ending to the first stop's caller, so
// that a TERMINATE still gets its reply and the socket path is removed.
std::atomic<int> stop_owner{0};
// How long a held-off request waits for the running stop (its pause is 1 s;
// the rest is the controller exchanges of its error lines).
constexpr int stop_wait_ms = 5000;

void shell_pause() {
    shell_pause_begun.store(1, std::memory_order_relaxed);
    // Failures of the shell are ignored.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the stop's given pause; the threads are winding down
    (void)!std::system("sleep 1");
}

// Both stop paths: stopping_flag up, the sockets the threads wait on shut
// down, then the pause; line is the caller's, for the trace.
void wind_down(int pid, int line) {
    stopping_flag.store(1, std::memory_order_relaxed);
    tty_prnt(dbg_proc, "%s:%s(%d): pid: %d close recv_sock and cmd_sock socket\n", unit,
             "clean_and_exit", line, pid);
    // The shutdown wakes the receive thread from its blocked receive; it then
    // sees stopping_flag, leaves its loop and says it no longer uses the
    // socket, and only then is the socket closed.
    close_word(recv_sock, close_mode::shut_down, &recv_sock_released);
    close_word(cmd_sock, close_mode::shut_down);
    shell_pause();
}

[[noreturn]] void exit_now(int pid) {
    int st = 0;
    pid_t ret = wait4(child_pid.load(std::memory_order_relaxed), &st, WNOHANG, nullptr);
    int wait_errno = errno;
    char ebuf[errno_text_len];
    unsigned exited = WIFEXITED(st) ? 1u : 0u;
    tty_prnt(dbg_proc, "%s:%s(%d): pid: %d, ret_wait=0%x, st=0%08x (0x%x)\n\r", unit,
             "clean_and_exit", __LINE__, pid, static_cast<unsigned>(ret), static_cast<unsigned>(st),
             exited);
    if (ret == -1) {
        daemon_log(2, "%s(%d): pid: %d, wait4() failed on error \"%s\".\n\r", "clean_and_exit",
                   __LINE__, pid, errno_text(wait_errno, ebuf, sizeof ebuf));
    } else if (ret == 0) {
        tty_prnt(dbg_proc, "%s:%s(%d): pid: %d No process has status to report\n", unit,
                 "clean_and_exit", __LINE__, pid);
    } else if (exited != 0) {
        // The daemon ended with code c (-1..-255) exits with c + 256.
        c_exit_code.store(WEXITSTATUS(st) - 256, std::memory_order_relaxed);
    } else {
        c_exit_code.store(TW_ERR_CHILD_FAILED, std::memory_order_relaxed);
        wind_down(pid, __LINE__);
    }
    int code = c_exit_code.load(std::memory_order_relaxed);
    if (code != 0) {
        daemon_log(2, "%s(%d) pid: %d, TRAPWATCH daemon failed on error: 0x%x (\"%s\")\n\r",
                   "clean_and_exit", __LINE__, pid, static_cast<unsigned>(code < 0 ? -code : code),
                   tiller_strerror(code));
    }
    close_word(lock_file);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the threads have been wound down first
    std::exit(code);
}

void daemon_mode_stop(int pid) {
    tty_prnt(dbg_proc, "trapwatch_%s(%d) pid: %d\n\r", "clean_and_exit", __LINE__, pid);
    // The worker threads see stopping_flag and record their results meanwhile.
    wind_down(pid, __LINE__);
    tty_prnt(dbg_proc, "%s:%s(%d): pid: %d\n\r", unit, "clean_and_exit", __LINE__, pid);
    // Acquire: the threads record their results with release as they end.
    int rs = recv_thread_status.load(std::memory_order_acquire);
    if (rs < 0) {
        daemon_log(2, "%s(%d): pid: %d, receive thread return error: \"%s\".\n\r", "clean_and_exit",
                   __LINE__, pid, tiller_strerror(rs));
    }
    int ss = send_thread_status.load(std::memory_order_acquire);
    if (ss < 0) {
        daemon_log(2, "%s(%d): pid: %d, send thread return error: \"%s\".\n\r", "clean_and_exit",
                   __LINE__, pid, tiller_strerror(ss));
    }
    close_word(lock_file);  // releases the single-instance lock
    child_killed.store(1, std::memory_order_relaxed);
    tty_prnt(dbg_init, "%s:%s(%d): pid: %d, exit\n\r", unit, "clean_and_exit", __LINE__, pid);
}

// clean_and_exit; true when this call ran the daemon-mode stop, false when
// it returned without (a stop ran or runs in another call).
bool run_stop(int code, int line, int parent = 0) noexcept;
// The handler's way out when its stop request was held off: the first
// stop's caller ends the process.
void break_off(int sig, int pid, int saved_errno);

// Waits, bounded, until the stop run by another thread has completed.
void wait_for_running_stop() {
    for (int waited = 0; waited < stop_wait_ms; waited += 10) {
        if (child_killed.load(std::memory_order_relaxed) != 0) {
            return;
        }
        usleep(10000);
    }
}

}  // namespace

void route_signal(int sig) noexcept {
    std::signal(sig, p_signal_handler);
}

// The handler traces, talks to the controller daemon and runs the stop, none
// of which is async-signal-safe in general.  It is safe enough here: tracing
// uses stack buffers and plain system calls, the threads it can interrupt do
// not hold locks of their own (no mutex exists in the daemon), and every path
// but the pause's SIGCHLD ends the process right after.
void p_signal_handler(int sig) {
    const int saved_errno = errno;
    const int pid = getpid();
    tty_prnt(dbg_init, "%s:%s(%d): pid: %d, enter(sig: %d)\n", unit, "p_signal_handler", __LINE__,
             pid, sig);
    switch (sig) {
        case SIGHUP:
            tty_prnt(dbg_proc, "%s:%s(%d): pid: %d, HANGUP signal catched.\n\r", unit,
                     "p_signal_handler", __LINE__, pid);
            if (!run_stop(0, __LINE__)) {
                break_off(sig, pid, saved_errno);
                return;
            }
            break;
        case SIGUSR1:
            tty_prnt(dbg_proc, "%s:%s(%d): pid: %d, parent OK signal catched.\n\r", unit,
                     "p_signal_handler", __LINE__, pid);
            break;
        case SIGSEGV:
            tty_prnt(dbg_daemon, "%s:%s(%d): pid:%d segmentation fault catched:\n", unit,
                     "p_signal_handler", __LINE__, pid);
            tty_prnt(dbg_init, "%s:%s(%d): pid: %d, %d signal catched.\n\r", unit,
                     "p_signal_handler", __LINE__, pid, sig);
            break;
        case SIGUSR2:
            tty_prnt(dbg_proc, "%s:%s(%d): pid: %d, parent ERR signal catched.\n\r", unit,
                     "p_signal_handler", __LINE__, pid);
            break;
        case SIGTERM:
            tty_prnt(dbg_proc, "%s:%s(%d): pid: %d, TERMINATE signal catched.\n\r", unit,
                     "p_signal_handler", __LINE__, pid);
            if (!run_stop(0, __LINE__)) {
                break_off(sig, pid, saved_errno);
                return;
            }
            break;
        case SIGCHLD:
            tty_prnt(dbg_proc, "%s:%s(%d): pid: %d, SIGCHLD signal catched.\n\r", unit,
                     "p_signal_handler", __LINE__, pid);
            if (shell_pause_begun.load(std::memory_order_relaxed) != 0) {
                // The end of the stop's own pause: let the stop finish.
                errno = saved_errno;
                return;
            }
            break;
        default:
            tty_prnt(dbg_init, "%s:%s(%d): pid: %d, %d signal catched.\n\r", unit,
                     "p_signal_handler", __LINE__, pid, sig);
            break;
    }
    tty_prnt(dbg_init, "%s:%s(%d): pid: %d, exit(sig: %d)\n", unit, "p_signal_handler", __LINE__,
             pid, sig);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the handler's given end (see its comment)
    std::exit(0);
}

void clean_and_exit(int code, int parent, int line) noexcept {
    (void)run_stop(code, line, parent);
}

namespace {

bool run_stop(int code, int line, int parent) noexcept {
    const int pid = getpid();
    tty_prnt(dbg_init,
             "%s:%s(%d): enter pid: %d, parent=%d, child_killed: %d, exit=\"%s\", called from "
             "line %d\n\r",
             unit, "clean_and_exit", __LINE__, pid, parent,
             child_killed.load(std::memory_order_relaxed), tiller_strerror(code), line);
    if (child_killed.load(std::memory_order_relaxed) != 0) {
        return false;
    }
    int none = 0;
    c_exit_code.compare_exchange_strong(none, code, std::memory_order_relaxed);
    if (parent != 0) {
        exit_now(pid);
    }
    const int me = gettid();
    int owner = 0;
    if (!stop_owner.compare_exchange_strong(owner, me, std::memory_order_relaxed)) {
        // A stop is already running.  On another thread: wait for it.  On this
        // very thread (a signal interrupted it): waiting would never end, so
        // return; the interrupted stop goes on, and its caller ends the process.
        if (owner != me) {
            wait_for_running_stop();
        }
        return false;
    }
    daemon_mode_stop(pid);
    return true;
}

void break_off(int sig, int pid, int saved_errno) {
    tty_prnt(dbg_init, "%s:%s(%d): pid: %d, exit(sig: %d)\n", unit, "p_signal_handler", __LINE__,
             pid, sig);
    errno = saved_errno;
}

}  // namespace
