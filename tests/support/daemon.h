// Helpers for tests of the real programs in the sandbox: the daemon started
// as a user starts it (this process adopts it and collects its exit status),
// its control socket through the tools' client, the tools as commands.
#pragma once

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <optional>
#include <thread>

#include "tests/support/sandbox.h"
#include "tools/ctl_client.h"

namespace tw_test {

using std::chrono::milliseconds;
using matrix = std::array<uint8_t, tw_rows>;

// Exit status of child pid (-1: any child), 128 + signal if killed; -1 if none ended in time.
inline int wait_exit(pid_t pid, milliseconds limit) {
    int st = 0;
    pid_t r = 0;
    wait_until([&] { return (r = waitpid(pid, &st, WNOHANG)) != 0; }, limit);
    return r <= 0 ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}
// Runs the daemon's binary under umask mask (descriptors 0-2 closed if
// asked); the launcher's exit status.  This process reaps the daemon it leaves.
inline int launch(mode_t mask = 022, bool std_closed = false) {
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    const pid_t pid = fork();
    if (pid == 0) {
        umask(mask);
        for (int fd = 0; std_closed && fd < 3; ++fd) {
            close(fd);
        }
        execl(TW_BINARY_DIR "/trapwatch/trapwatch", "trapwatch", static_cast<char *>(nullptr));
        _exit(127);
    }
    return wait_exit(pid, milliseconds(10000));
}
inline ctl_outcome ctl(int32_t cmd, int32_t param = 0, milliseconds limit = milliseconds(5000)) {
    return ctl_exchange(trapwatch_sock_path, cmd, param, limit);
}
// Launches and waits for the control socket; the lock holder, 0 on failure.
inline pid_t start_serving(mode_t mask = 022, bool std_closed = false) {
    auto up = [] {
        return ctl(TRAPWATCH_CMD_GET_VER, 0, milliseconds(3000)).fail == ctl_fail::none;
    };
    return launch(mask, std_closed) == 0 && wait_until(up, milliseconds(15000)) ? ctl_lock_holder()
                                                                                : 0;
}
inline std::atomic<int> unanswered{0};  // GET_STATUS requests without a whole reply
// GET_STATUS's codes; nothing unless a whole reply with status 0 came.
inline std::optional<matrix> status() {
    const ctl_outcome o = ctl(TRAPWATCH_CMD_GET_STATUS);
    unanswered += o.fail == ctl_fail::none ? 0 : 1;
    matrix m;
    std::copy_n(o.reply.data, m.size(), m.begin());
    return o.fail == ctl_fail::none && o.reply.cmd == 0 ? std::optional(m) : std::nullopt;
}

struct run_result {
    int status;
    std::string out, err;
};
// A shell command, its output captured.
inline run_result run(const std::string &command) {
    const int st = sh(command + " >/run/tw-run.out 2>/run/tw-run.err");
    return {st, read_file("/run/tw-run.out"), read_file("/run/tw-run.err")};
}
inline run_result trapwatchctl(const std::string &args) {
    return run("timeout 20 " TW_EMULATOR " " TW_BINARY_DIR "/tools/trapwatchctl " + args);
}

inline long rss_kb(pid_t pid) {
    const std::string s = read_file("/proc/" + std::to_string(pid) + "/status");
    return std::stol(s.substr(s.find("VmRSS:") + 6));
}

}  // namespace tw_test
