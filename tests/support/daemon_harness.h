// Helpers for tests that start the real trapwatch binary in the sandbox:
// launching it as a user would, collecting the detached daemon's exit status
// (the test process is a child subreaper), talking to its control socket and
// looking at its lock.  Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "params/cmd_msg.h"

namespace tw_test {

inline constexpr const char *trapwatch_binary = TW_BINARY_DIR "/trapwatch/trapwatch";
inline constexpr const char *control_path = "/var/run/trapwatch.sock";
inline constexpr const char *lock_path = "/var/lock/subsys/trapwatch";
inline constexpr const char *config_path = "/mnt/params/cfparams.txt";

using std::chrono::milliseconds;

// Makes this process the reaper of its orphaned descendants, so that the
// daemon, once its launcher has ended, is collected here.
void become_subreaper();

// Starts the binary from a child of this process, with umask 022 and no
// arguments; returns the launcher's pid.
pid_t launch_trapwatch();

// Exit status of pid, a child of this process: the exit code, or 128 + the
// signal number; -1 when it has not ended within limit.
int wait_exit(pid_t pid, milliseconds limit);

// Daemons this process adopted (children whose command name is trapwatch),
// ended ones not yet collected included.
std::vector<pid_t> trapwatch_children();
// The one adopted daemon, waited for (bounded); 0 when none appeared.
pid_t wait_daemon(milliseconds limit);

// Launches the daemon, checks nothing, and returns the launcher's exit status
// and the pid of the daemon it left (0 when none).
struct started {
    int launcher_status = -1;
    pid_t daemon = 0;
};
started start_trapwatch();

// One exchange on the control socket.
struct reply {
    int connect_errno = 0;   // nonzero: the connect failed
    ssize_t got = 0;         // bytes received before the daemon closed or the wait ended
    bool closed = false;     // the daemon closed the connection
    bool timed_out = false;  // the wait for bytes ended first
    cmd_msg_t msg{};         // the first 156 bytes received
    bool whole() const { return connect_errno == 0 && got == static_cast<ssize_t>(sizeof msg); }
};
cmd_msg_t request(int32_t cmd, int32_t param = 0);
reply exchange_bytes(const void *bytes, size_t n, milliseconds limit);
reply exchange(const cmd_msg_t &req, milliseconds limit = milliseconds(5000));
reply exchange(int32_t cmd, int32_t param = 0, milliseconds limit = milliseconds(5000));

// Waits until the control socket answers GET_VER with status 0.
bool wait_serving(milliseconds limit);

// True when nobody holds the single-instance lock.
bool lock_is_free();

// Number of open descriptors of process pid (-1 when it is gone).
int fd_count(pid_t pid);

bool exists(const char *path);

// Ends every adopted daemon (SIGKILL) and collects it, then removes the
// control socket, the lock file and the configuration file.
void clean_world();

// Text of a configuration file: the management address, up to eight
// addresses per group (dotted text), the trap port of every group; groups
// with addresses are enabled (trap status 1, status 1), the others not.
struct group_cfg {
    std::vector<std::string> ips;
    int port = 162;
};
std::string config_text(const std::string &mgmt, const std::vector<group_cfg> &groups);

// Position of the end of the console capture now, to search after it.
size_t console_mark();

}  // namespace tw_test
