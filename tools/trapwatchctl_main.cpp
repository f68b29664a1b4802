// trapwatchctl: the operator's client of the daemon's control socket.
//
// Exit status: 0 done; 1 the daemon answered a failure status (pid: the lock
// file cannot be opened); 2 usage; 3 the daemon is not running; 4 no usable
// reply (time-out, closed, bad size, or the lock held but the socket not
// served); 5 pid: the lock is held by a process whose pid cannot be seen.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/ctl_client.h"
#include "util/errors.h"
#include "util/trace.h"

namespace {

enum : int {
    exit_ok = 0,
    exit_status = 1,
    exit_usage = 2,
    exit_not_running = 3,
    exit_no_reply = 4,
    exit_pid_unknown = 5
};

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: trapwatchctl [--socket PATH] [--timeout SECONDS] COMMAND [ARG]\n"
                 "\n"
                 "commands:\n"
                 "  status [--raw]            the status matrix, groups c1..c11 by index 0..7\n"
                 "                            (--raw adds the 88 bytes in hex)\n"
                 "  version                   the daemon's version\n"
                 "  restart [--set-default]   re-read the configuration file (--set-default:\n"
                 "                            after a return to default settings)\n"
                 "  start                     resume probing\n"
                 "  stop                      pause probing\n"
                 "  keelson-start             tell the daemon that the controller daemon runs\n"
                 "  debug off|init|proc|cycle|keelson|monitor\n"
                 "                            console trace: back to the default, or add a class\n"
                 "  terminate                 stop the daemon (the reply comes about 1 s later)\n"
                 "  fault --yes               make the daemon end on a segmentation fault\n"
                 "  cmd CODE [PARAM]          send any command code, print the reply status\n"
                 "  pid                       the pid of the process holding the daemon's lock\n"
                 "                            (%s); no socket exchange\n"
                 "\n"
                 "options:\n"
                 "  --socket PATH             control socket (default %s)\n"
                 "  --timeout SECONDS         bound of each wait (default 5)\n"
                 "  --help                    this text\n"
                 "\n"
                 "exit status: 0 done, 1 the daemon answered a failure (pid: the lock file\n"
                 "cannot be opened), 2 usage, 3 the daemon is not running, 4 no usable reply,\n"
                 "5 pid: the lock's holder is not visible from here (another pid namespace)\n",
                 ctl_lock_path, ctl_default_socket);
}

__attribute__((format(printf, 1, 2))) int usage_error(const char *fmt, ...) {
    std::fprintf(stderr, "trapwatchctl: ");
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "\n(trapwatchctl --help lists the commands)\n");
    return exit_usage;
}

// Operators type decimal ("010" is ten, not eight); an explicit 0x prefix
// gives hex.  Anything else, spaces included, is refused.
bool parse_int(const char *s, long lo, long hi, long *out) {
    const char *digits = s + (*s == '-' || *s == '+' ? 1 : 0);
    const bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    const auto first = static_cast<unsigned char>(digits[hex ? 2 : 0]);
    if ((hex ? std::isxdigit(first) : std::isdigit(first)) == 0) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(s, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

int fail_exit(const ctl_outcome &o) {
    switch (o.fail) {
        case ctl_fail::none:
            return o.reply.cmd == 0 ? exit_ok : exit_status;
        case ctl_fail::no_socket:
        case ctl_fail::refused:
            return exit_not_running;
        case ctl_fail::bad_path:
            return exit_usage;
        default:
            return exit_no_reply;
    }
}

// Reports a failed exchange or a failure status; true when it was reported.
bool report(const ctl_outcome &o, const std::string &path) {
    std::string msg = ctl_describe(o, path);
    if (msg.empty()) {
        return false;
    }
    std::fprintf(stderr, "trapwatchctl: %s\n", msg.c_str());
    return true;
}

// A debug class word, its command and bit, and what that class traces.
struct debug_word {
    const char *word;
    int32_t cmd;
    uint32_t bit;
    const char *traces;
};
// The stop's pause and the steps around it, before TERMINATE's reply.
constexpr std::chrono::milliseconds terminate_pause{2000};

constexpr debug_word debug_words[] = {
    {"off", TRAPWATCH_CMD_DBG_OFF, 0, nullptr},
    {"init", TRAPWATCH_CMD_DBG_INIT, dbg_init, "entries and exits"},
    {"proc", TRAPWATCH_CMD_DBG_PROC, dbg_proc, "process and thread steps"},
    {"cycle", TRAPWATCH_CMD_DBG_MONITOR_CYCLE, dbg_monitor_cycle, "the monitor cycle"},
    {"keelson", TRAPWATCH_CMD_DBG_KEELSON_CMD, dbg_keelson_cmd, "control commands"},
    {"monitor", TRAPWATCH_CMD_DBG_MONITOR, dbg_monitor, nullptr},  // traces nothing
};

// Waits, bounded, until nobody holds the daemon's lock.
// After TERMINATE's connection closed without a reply: 1 once the daemon's
// lock is free (it ended), 0 while it is still held at limit, -1 when the
// lock file cannot be read (errno says why) and so nothing can be told.
int wait_lock_released(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const pid_t holder = ctl_lock_holder();
        if (holder == 0 || holder == -1) {
            return holder == 0 ? 1 : -1;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// The holder of the single-instance lock: scripts find the daemon's pid
// here, since the daemon forks away from whoever started it.
int print_lock_holder() {
    const pid_t holder = ctl_lock_holder();
    if (holder > 0) {
        std::printf("%d\n", static_cast<int>(holder));
        return exit_ok;
    }
    if (holder == ctl_holder_unknown) {
        // No number at all: a caller that would signal it must not guess one.
        std::fprintf(stderr,
                     "trapwatchctl: %s is locked by a process outside this pid namespace; "
                     "its pid is unknown here\n",
                     ctl_lock_path);
        return exit_pid_unknown;
    }
    if (holder == 0 || errno == ENOENT) {
        std::fprintf(stderr, "trapwatchctl: trapwatch is not running\n");
        return exit_not_running;
    }
    std::fprintf(stderr, "trapwatchctl: cannot open %s: %s\n", ctl_lock_path, std::strerror(errno));
    return exit_status;
}

}  // namespace

int main(int argc, char **argv) {
    std::string path = ctl_default_socket;
    long timeout_s = 5;
    bool raw = false;
    bool set_default = false;
    bool yes = false;
    std::vector<const char *> args;

    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            usage(stdout);
            return exit_ok;
        }
        if (std::strcmp(a, "--socket") == 0 || std::strcmp(a, "--timeout") == 0) {
            if (i + 1 >= argc) {
                return usage_error("%s needs a value", a);
            }
            const char *v = argv[++i];
            if (a[2] == 's') {
                path = v;
            } else if (!parse_int(v, 1, 3600, &timeout_s)) {
                return usage_error("bad --timeout: %s", v);
            }
        } else if (std::strcmp(a, "--raw") == 0) {
            raw = true;
        } else if (std::strcmp(a, "--set-default") == 0) {
            set_default = true;
        } else if (std::strcmp(a, "--yes") == 0) {
            yes = true;
        } else if (a[0] == '-' && a[1] == '-') {
            return usage_error("unknown option: %s", a);
        } else {
            args.push_back(a);
        }
    }
    if (args.empty()) {
        usage(stderr);
        return exit_usage;
    }
    const std::string command = args[0];
    const size_t extra = args.size() - 1;
    const auto timeout = std::chrono::milliseconds(timeout_s * 1000);

    // Options that belong to one command only.
    if (raw && command != "status") {
        return usage_error("--raw goes with status only");
    }
    if (set_default && command != "restart") {
        return usage_error("--set-default goes with restart only");
    }
    if (yes && command != "fault") {
        return usage_error("--yes goes with fault only");
    }

    if (command == "pid") {
        return extra == 0 ? print_lock_holder() : usage_error("pid takes no argument");
    }

    int32_t code = -1;
    int32_t param = 0;
    const char *done = nullptr;
    char debug_done[128];
    if (command == "status" || command == "version") {
        code = command == "status" ? TRAPWATCH_CMD_GET_STATUS : TRAPWATCH_CMD_GET_VER;
    } else if (command == "restart") {
        code = TRAPWATCH_CMD_RESTART;
        param = set_default ? 1 : 0;
        done = set_default ? "configuration re-read requested (after set default)"
                           : "configuration re-read requested";
    } else if (command == "start") {
        code = TRAPWATCH_CMD_START;
        done = "probing on";
    } else if (command == "stop") {
        code = TRAPWATCH_CMD_STOP;
        done = "probing paused";
    } else if (command == "keelson-start") {
        code = TRAPWATCH_CMD_KEELSON_START;
        done = "controller daemon announced";
    } else if (command == "debug") {
        if (extra != 1) {
            return usage_error("debug needs one of off, init, proc, cycle, keelson, monitor");
        }
        for (const debug_word &w : debug_words) {
            if (std::strcmp(args[1], w.word) == 0) {
                code = w.cmd;
                done = debug_done;
                if (w.bit == 0) {
                    done = "console trace back to the default mask";
                } else if (w.traces == nullptr) {
                    std::snprintf(debug_done, sizeof debug_done,
                                  "debug bit 0x%x set (it prints nothing)", w.bit);
                } else {
                    std::snprintf(debug_done, sizeof debug_done, "console trace of %s on (0x%x)",
                                  w.traces, w.bit);
                }
            }
        }
        if (code < 0) {
            return usage_error("unknown debug class: %s", args[1]);
        }
    } else if (command == "terminate") {
        code = TRAPWATCH_CMD_TERMINATE;
    } else if (command == "fault") {
        if (!yes) {
            std::fprintf(stderr,
                         "trapwatchctl: fault makes the daemon end on a segmentation fault; "
                         "add --yes to do it\n");
            return exit_usage;
        }
        code = TRAPWATCH_CMD_DBG_SEG_FAULT;
    } else if (command == "cmd") {
        long c = 0;
        long p = 0;
        if (extra < 1 || extra > 2 || !parse_int(args[1], INT32_MIN, INT32_MAX, &c) ||
            (extra == 2 && !parse_int(args[2], INT32_MIN, INT32_MAX, &p))) {
            return usage_error("cmd needs CODE [PARAM]: decimal numbers, or hex with 0x");
        }
        code = static_cast<int32_t>(c);
        param = static_cast<int32_t>(p);
    } else {
        return usage_error("unknown command: %s", command.c_str());
    }
    if (command != "debug" && command != "cmd" && extra != 0) {
        return usage_error("too many arguments for %s", command.c_str());
    }

    // TERMINATE's reply comes after the stop's one-second pause: the wait
    // for it covers that pause on top of the bound asked for.
    const auto wait = command == "terminate" ? timeout + terminate_pause : timeout;
    ctl_outcome o = ctl_exchange(path, code, param, wait);
    const bool no_server = o.fail == ctl_fail::no_socket || o.fail == ctl_fail::refused;
    if (const pid_t h = no_server ? ctl_lock_holder() : 0; h > 0 || h == ctl_holder_unknown) {
        // The lock is held: a daemon starting, or stopping (its socket closes
        // at the start of the stop's pause), not one that is gone.
        std::fprintf(stderr,
                     "trapwatchctl: trapwatch holds its lock but does not serve %s (starting or "
                     "stopping?)\n",
                     path.c_str());
        return exit_no_reply;
    }

    if (command == "fault") {
        // The daemon ends inside the command: a closed connection is success.
        if (o.fail == ctl_fail::closed) {
            std::printf("trapwatch ended on the fault\n");
            return exit_ok;
        }
        if (!report(o, path)) {
            std::fprintf(stderr, "trapwatchctl: trapwatch answered instead of ending\n");
            return exit_status;
        }
        return fail_exit(o);
    }
    if (command == "terminate" && o.fail == ctl_fail::closed) {
        // The daemon may end inside its own stop, before the reply: then its
        // lock goes free.
        const int ended = wait_lock_released(timeout);
        if (ended > 0) {
            std::printf("trapwatch ended (before replying)\n");
            return exit_ok;
        }
        if (ended < 0 && errno == ENOENT) {
            std::fprintf(stderr, "trapwatchctl: no lock file %s: no trapwatch daemon answered\n",
                         ctl_lock_path);
            return exit_not_running;
        }
        if (ended < 0) {
            std::fprintf(stderr, "trapwatchctl: cannot tell whether trapwatch ended: %s: %s\n",
                         ctl_lock_path, std::strerror(errno));
            return exit_no_reply;
        }
    }
    if (command == "cmd" && o.fail == ctl_fail::none) {
        std::printf("status %d (%s)\n", o.reply.cmd, tiller_strerror(o.reply.cmd));
        return o.reply.cmd == 0 ? exit_ok : exit_status;
    }
    if (report(o, path)) {
        return fail_exit(o);
    }

    if (command == "status") {
        std::fputs(ctl_format_matrix(o.reply.data).c_str(), stdout);
        if (raw) {
            std::fputs(ctl_format_raw(o.reply.data).c_str(), stdout);
        }
    } else if (command == "version") {
        char text[sizeof o.reply.data + 1]{};
        std::memcpy(text, o.reply.data, sizeof o.reply.data);
        std::printf("%s\n", text);
    } else if (command == "terminate") {
        std::printf("trapwatch terminated\n");
    } else if (done != nullptr) {
        std::printf("%s\n", done);
    }
    return exit_ok;
}
