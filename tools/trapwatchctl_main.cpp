// trapwatchctl: the operator's client of the daemon's control socket.
//
// Exit status: 0 done; 1 the daemon answered a failure status (pid: the lock
// file cannot be opened; check-config: the daemon would not read the file
// whole); 2 usage; 3 the daemon is not running; 4 no usable
// reply (time-out, closed, bad size, or the lock held but the socket not
// served); 5 pid: the lock is held by a process whose pid cannot be seen.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "params/protocol.h"
#include "tools/config_check.h"
#include "tools/ctl_client.h"
#include "tools/escape.h"
#include "tools/number.h"
#include "util/errors.h"

namespace {

// Exit statuses (docs/control.md has the table): success, a
// non-zero status from the daemon (or a refused configuration), usage, no
// daemon, no usable reply, a lock holder whose pid cannot be seen.
enum : int { exit_ok, exit_status, exit_usage, exit_not_running, exit_no_reply, exit_pid_unknown };

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: trapwatchctl [--socket PATH] [--timeout SECONDS] COMMAND [ARG]\n"
                 "\n"
                 "commands:\n"
                 "  status [--raw|--json]     the status matrix, groups c1..c11 by index 0..7\n"
                 "                            (--raw adds the 88 bytes in hex; --json: one\n"
                 "                            line of JSON with the version)\n"
                 "  version [--json]          the daemon's version\n"
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
                 "  check-config [--json] [FILE]\n"
                 "                            read FILE (default %s) as the daemon\n"
                 "                            would: where it stops, what it reads otherwise\n"
                 "                            than written, what it watches; no daemon needed\n"
                 "\n"
                 "options:\n"
                 "  --socket PATH             control socket (default %s)\n"
                 "  --timeout SECONDS         bound of each wait (default 5)\n"
                 "  --help                    this text\n"
                 "\n"
                 "exit status: 0 done, 1 the daemon answered a failure (pid: the lock file\n"
                 "cannot be opened; check-config: the daemon would not read it whole), 2 usage, 3 "
                 "the daemon is not running, 4 no usable reply,\n"
                 "5 pid: the lock's holder is not visible from here (another pid namespace)\n",
                 lock_file_path, params_path, trapwatch_sock_path);
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

// What the command line asked for.
struct call {
    std::string path = trapwatch_sock_path;
    long timeout_s = 5;
    bool raw = false;
    bool set_default = false;
    bool yes = false;
    bool json = false;
    const char *name = nullptr;      // the command
    std::vector<const char *> args;  // its arguments
    std::chrono::milliseconds timeout() const { return std::chrono::seconds(timeout_s); }
};

// The options without a value; each belongs to the commands that list it.
struct flag {
    const char *name;
    bool call::*field;
};
constexpr flag flags[] = {
    {"--raw", &call::raw},
    {"--set-default", &call::set_default},
    {"--yes", &call::yes},
    {"--json", &call::json},
};

// One command: its name, the code it sends, how many arguments it takes (and
// the usage line when the count is wrong; nullptr: "too many arguments"), the
// options that go with it, and the function that sends it and shows the
// answer, returning the exit status.
struct command {
    const char *name;
    int32_t code;  // debug and cmd take theirs from the argument; pid sends none
    size_t min_args;
    size_t max_args;
    const char *args_usage;
    const char *options;  // the flags that go with it, blank-separated
    int (*run)(const call &, const command &);
    const char *done;  // the line for a plain success
};

// The lock is held but nobody serves the socket: a daemon starting, or
// stopping (its socket closes at the start of the stop's pause), not one
// that is gone.
bool lock_held_unserved(const call &c, const ctl_outcome &o) {
    if (o.fail != ctl_fail::no_socket && o.fail != ctl_fail::refused) {
        return false;
    }
    const pid_t h = ctl_lock_holder();
    if (h <= 0 && h != ctl_holder_unknown) {
        return false;
    }
    std::fprintf(stderr,
                 "trapwatchctl: trapwatch holds its lock but does not serve %s (starting or "
                 "stopping?)\n",
                 c.path.c_str());
    return true;
}

int fail_exit(const ctl_outcome &o) {
    switch (o.fail) {
        case ctl_fail::none:
            return o.reply.cmd == TW_OK ? exit_ok : exit_status;
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

// The exchange, then the failures every command reports alike: the exit
// status when there was one, -1 when a whole reply with status 0 came.
int exchange(const call &c, int32_t code, int32_t param, ctl_outcome *o) {
    *o = ctl_exchange(c.path, code, param, c.timeout());
    if (lock_held_unserved(c, *o)) {
        return exit_no_reply;
    }
    return report(*o, c.path) ? fail_exit(*o) : -1;
}

int run_done(const call &c, const command &cmd) {
    ctl_outcome o;
    if (const int e = exchange(c, cmd.code, 0, &o); e >= 0) {
        return e;
    }
    std::printf("%s\n", cmd.done);
    return exit_ok;
}

int run_restart(const call &c, const command &cmd) {
    ctl_outcome o;
    const int32_t param = c.set_default ? restart_after_set_default : 0;
    if (const int e = exchange(c, cmd.code, param, &o); e >= 0) {
        return e;
    }
    std::printf("%s%s\n", cmd.done, c.set_default ? " (after set default)" : "");
    return exit_ok;
}

// The version text of a GET_VER reply.
std::string reply_text(const ctl_outcome &o) {
    char text[sizeof o.reply.data + 1]{};
    std::memcpy(text, o.reply.data, sizeof o.reply.data);
    return text;
}

int run_status(const call &c, const command &cmd) {
    if (c.raw && c.json) {
        return usage_error("--raw and --json exclude each other");
    }
    ctl_outcome o;
    if (const int e = exchange(c, cmd.code, 0, &o); e >= 0) {
        return e;
    }
    if (c.json) {
        // The object names the version it came from: a second exchange.
        ctl_outcome v;
        if (const int e = exchange(c, TRAPWATCH_CMD_GET_VER, 0, &v); e >= 0) {
            return e;
        }
        std::fputs(ctl_format_json(o.reply.data, reply_text(v)).c_str(), stdout);
        return exit_ok;
    }
    std::fputs(ctl_format_matrix(o.reply.data).c_str(), stdout);
    if (c.raw) {
        std::fputs(ctl_format_raw(o.reply.data).c_str(), stdout);
    }
    return exit_ok;
}

int run_version(const call &c, const command &cmd) {
    ctl_outcome o;
    if (const int e = exchange(c, cmd.code, 0, &o); e >= 0) {
        return e;
    }
    if (c.json) {
        std::printf("{\"version\":\"%s\"}\n", tool_escape(reply_text(o), true).c_str());
    } else {
        std::printf("%s\n", reply_text(o).c_str());
    }
    return exit_ok;
}

// The daemon's own reader over the file; no daemon needed.  0 when the
// daemon reads it completely, 1 when it does not.
int run_check_config(const call &c, const command &) {
    const config_report r = config_check(c.args.empty() ? params_path : c.args[0]);
    std::fputs((c.json ? config_json(r) : config_text(r)).c_str(), stdout);
    return config_complete(r) ? exit_ok : exit_status;
}

// A debug class word, its command, and what that class traces (nullptr: the
// class is carried by no trace line).
struct debug_word {
    const char *word;
    int32_t cmd;
    const char *traces;
};
constexpr debug_word debug_words[] = {
    {"off", TRAPWATCH_CMD_DBG_OFF, nullptr},
    {"init", TRAPWATCH_CMD_DBG_INIT, "entries and exits"},
    {"proc", TRAPWATCH_CMD_DBG_PROC, "process and thread steps"},
    {"cycle", TRAPWATCH_CMD_DBG_MONITOR_CYCLE, "the monitor cycle"},
    {"keelson", TRAPWATCH_CMD_DBG_KEELSON_CMD, "control commands"},
    {"monitor", TRAPWATCH_CMD_DBG_MONITOR, nullptr},
};

int run_debug(const call &c, const command &) {
    for (const debug_word &w : debug_words) {
        if (std::strcmp(c.args[0], w.word) != 0) {
            continue;
        }
        ctl_outcome o;
        if (const int e = exchange(c, w.cmd, 0, &o); e >= 0) {
            return e;
        }
        const uint32_t bit = debug_bit(w.cmd);
        if (bit == 0) {
            std::printf("console trace back to the default mask\n");
        } else if (w.traces == nullptr) {
            std::printf("debug bit 0x%x set (it prints nothing)\n", bit);
        } else {
            std::printf("console trace of %s on (0x%x)\n", w.traces, bit);
        }
        return exit_ok;
    }
    return usage_error("unknown debug class: %s", c.args[0]);
}

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

// The daemon may end inside its own stop, before the reply: then its lock
// goes free.
int terminate_closed(const call &c) {
    const int ended = wait_lock_released(c.timeout());
    if (ended > 0) {
        std::printf("trapwatch ended (before replying)\n");
        return exit_ok;
    }
    if (ended < 0 && errno == ENOENT) {
        std::fprintf(stderr, "trapwatchctl: no lock file %s: no trapwatch daemon answered\n",
                     lock_file_path);
        return exit_not_running;
    }
    if (ended < 0) {
        std::fprintf(stderr, "trapwatchctl: cannot tell whether trapwatch ended: %s: %s\n",
                     lock_file_path, std::strerror(errno));
        return exit_no_reply;
    }
    return -1;
}

// TERMINATE's reply comes after the stop's pause: the wait for it covers
// the pause and the steps around it on top of the bound asked for.
constexpr std::chrono::milliseconds terminate_pause{2000};

int run_terminate(const call &c, const command &cmd) {
    const ctl_outcome o = ctl_exchange(c.path, cmd.code, 0, c.timeout() + terminate_pause);
    if (lock_held_unserved(c, o)) {
        return exit_no_reply;
    }
    if (o.fail == ctl_fail::closed) {
        if (const int e = terminate_closed(c); e >= 0) {
            return e;
        }
    }
    if (report(o, c.path)) {
        return fail_exit(o);
    }
    std::printf("trapwatch terminated\n");
    return exit_ok;
}

int run_fault(const call &c, const command &cmd) {
    if (!c.yes) {
        std::fprintf(stderr,
                     "trapwatchctl: fault makes the daemon end on a segmentation fault; "
                     "add --yes to do it\n");
        return exit_usage;
    }
    const ctl_outcome o = ctl_exchange(c.path, cmd.code, 0, c.timeout());
    if (lock_held_unserved(c, o)) {
        return exit_no_reply;
    }
    // The daemon ends inside the command: a closed connection is success.
    if (o.fail == ctl_fail::closed) {
        std::printf("trapwatch ended on the fault\n");
        return exit_ok;
    }
    if (!report(o, c.path)) {
        std::fprintf(stderr, "trapwatchctl: trapwatch answered instead of ending\n");
        return exit_status;
    }
    return fail_exit(o);
}

int run_cmd(const call &c, const command &cmd) {
    long code = 0;
    long param = 0;
    if (!read_number(c.args[0], INT32_MIN, INT32_MAX, &code) ||
        (c.args.size() == 2 && !read_number(c.args[1], INT32_MIN, INT32_MAX, &param))) {
        return usage_error("%s", cmd.args_usage);
    }
    const ctl_outcome o =
        ctl_exchange(c.path, static_cast<int32_t>(code), static_cast<int32_t>(param), c.timeout());
    if (lock_held_unserved(c, o)) {
        return exit_no_reply;
    }
    if (o.fail == ctl_fail::none) {
        std::printf("status %d (%s)\n", o.reply.cmd, tiller_strerror(o.reply.cmd));
        return o.reply.cmd == TW_OK ? exit_ok : exit_status;
    }
    report(o, c.path);
    return fail_exit(o);
}

// The holder of the single-instance lock: scripts find the daemon's pid
// here, since the daemon forks away from whoever started it.
int run_pid(const call &, const command &) {
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
                     lock_file_path);
        return exit_pid_unknown;
    }
    if (holder == 0 || errno == ENOENT) {
        std::fprintf(stderr, "trapwatchctl: trapwatch is not running\n");
        return exit_not_running;
    }
    std::fprintf(stderr, "trapwatchctl: cannot open %s: %s\n", lock_file_path,
                 std::strerror(errno));
    return exit_status;
}

constexpr int32_t no_code = -1;
constexpr command commands[] = {
    // clang-format off
    {"status", TRAPWATCH_CMD_GET_STATUS, 0, 0, nullptr, "--raw --json", run_status, nullptr},
    {"version", TRAPWATCH_CMD_GET_VER, 0, 0, nullptr, "--json", run_version, nullptr},
    {"restart", TRAPWATCH_CMD_RESTART, 0, 0, nullptr, "--set-default", run_restart,
     "configuration re-read requested"},
    {"start", TRAPWATCH_CMD_START, 0, 0, nullptr, "", run_done, "probing on"},
    {"stop", TRAPWATCH_CMD_STOP, 0, 0, nullptr, "", run_done, "probing paused"},
    {"keelson-start", TRAPWATCH_CMD_KEELSON_START, 0, 0, nullptr, "", run_done,
     "controller daemon announced"},
    {"debug", no_code, 1, 1, "debug needs one of off, init, proc, cycle, keelson, monitor", "",
     run_debug, nullptr},
    {"terminate", TRAPWATCH_CMD_TERMINATE, 0, 0, nullptr, "", run_terminate, nullptr},
    {"fault", TRAPWATCH_CMD_DBG_SEG_FAULT, 0, 0, nullptr, "--yes", run_fault, nullptr},
    {"cmd", no_code, 1, 2, "cmd needs CODE [PARAM]: decimal numbers, or hex with 0x", "", run_cmd,
     nullptr},
    {"pid", no_code, 0, 0, "pid takes no argument", "", run_pid, nullptr},
    {"check-config", no_code, 0, 1, "check-config takes one file at most", "--json",
     run_check_config, nullptr},
    // clang-format on
};

// True when the blank-separated list holds the word.
bool lists(const char *list, const char *word) {
    const size_t n = std::strlen(word);
    for (const char *p = std::strstr(list, word); p != nullptr; p = std::strstr(p + 1, word)) {
        if ((p == list || p[-1] == ' ') && (p[n] == '\0' || p[n] == ' ')) {
            return true;
        }
    }
    return false;
}

// Reads the options and splits the rest into the command and its arguments.
// The exit status when the line is wrong or only asks for help, else -1.
int parse(int argc, char **argv, call *c) {
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const bool socket = std::strcmp(a, "--socket") == 0;
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            usage(stdout);
            return exit_ok;
        }
        if (socket || std::strcmp(a, "--timeout") == 0) {
            if (i + 1 >= argc) {
                return usage_error("%s needs a value", a);
            }
            const char *v = argv[++i];
            if (socket) {
                c->path = v;
            } else if (!read_number(v, 1, 3600, &c->timeout_s)) {
                return usage_error("bad --timeout: %s", v);
            }
            continue;
        }
        const flag *f = nullptr;
        for (const flag &each : flags) {
            f = std::strcmp(a, each.name) == 0 ? &each : f;
        }
        if (f != nullptr) {
            c->*(f->field) = true;
        } else if (a[0] == '-' && a[1] == '-') {
            return usage_error("unknown option: %s", a);
        } else if (c->name == nullptr) {
            c->name = a;
        } else {
            c->args.push_back(a);
        }
    }
    if (c->name == nullptr) {
        usage(stderr);
        return exit_usage;
    }
    return -1;
}

// The options given that the command does not take: the usage error.
int check_flags(const call &c, const command *cmd) {
    for (const flag &f : flags) {
        if (!(c.*(f.field)) || (cmd != nullptr && lists(cmd->options, f.name))) {
            continue;
        }
        std::string owners;
        for (const command &each : commands) {
            if (lists(each.options, f.name)) {
                owners += owners.empty() ? each.name : std::string(" and ") + each.name;
            }
        }
        return usage_error("%s goes with %s only", f.name, owners.c_str());
    }
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    call c;
    if (const int e = parse(argc, argv, &c); e >= 0) {
        return e;
    }
    const command *cmd = nullptr;
    for (const command &each : commands) {
        cmd = std::strcmp(c.name, each.name) == 0 ? &each : cmd;
    }
    if (const int e = check_flags(c, cmd); e >= 0) {
        return e;
    }
    if (cmd == nullptr) {
        return usage_error("unknown command: %s", c.name);
    }
    if (c.args.size() < cmd->min_args || c.args.size() > cmd->max_args) {
        return cmd->args_usage != nullptr ? usage_error("%s", cmd->args_usage)
                                          : usage_error("too many arguments for %s", cmd->name);
    }
    return cmd->run(c, *cmd);
}
