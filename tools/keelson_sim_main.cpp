// keelson-sim: a stand-in for the controller daemon on a lab or test machine.
// Answers every record the daemon sends, prints one line per record and can
// write the records as JSON lines.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "params/protocol.h"
#include "tools/escape.h"
#include "tools/keelson_stub.h"
#include "tools/number.h"

namespace {

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: keelson-sim [OPTION]...\n"
                 "Stands in for the controller daemon: accepts one record per connection,\n"
                 "answers it and prints it.\n"
                 "\n"
                 "  --socket PATH     listen on PATH (default %s)\n"
                 "  --fail CMD=STATUS answer CMD with STATUS instead of 0\n"
                 "  --close CMD       read CMD's record and close without answering\n"
                 "  --short CMD[=N]   answer CMD with only the first N bytes (default 10)\n"
                 "  --delay CMD=MS    answer CMD after MS milliseconds\n"
                 "  --json FILE       append one JSON object per record to FILE\n"
                 "  --help            show this text\n"
                 "\n"
                 "CMD is a command code or \"all\" (every code without a rule of its own).\n"
                 "Status bytes of 382/308/407 are printed as 11 groups of 8 digits ('?' above 9).\n"
                 "SIGTERM or SIGINT ends the program.\n",
                 keelson_sock_path);
}

// "CMD" or "CMD=VALUE"; CMD "all" stands for every code without a rule of its own.
struct rule_arg {
    bool all = false;
    int32_t cmd = 0;
    bool has_value = false;
    long value = 0;
};

bool parse_rule(const std::string &arg, bool need_value, rule_arg *out) {
    std::string c = arg;
    std::string v;
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
        c = arg.substr(0, eq);
        v = arg.substr(eq + 1);
        out->has_value = true;
        if (!read_number(v.c_str(), INT32_MIN, INT32_MAX, &out->value)) {
            return false;
        }
    } else if (need_value) {
        return false;
    }
    if (c == "all") {
        out->all = true;
        return true;
    }
    long cmd;
    if (!read_number(c.c_str(), INT32_MIN, INT32_MAX, &cmd)) {
        return false;
    }
    out->cmd = static_cast<int32_t>(cmd);
    return true;
}

bool is_refresh(int32_t cmd) {
    return cmd == keelson_cmd_refresh_begin || cmd == keelson_cmd_refresh_mid ||
           cmd == keelson_cmd_refresh_apply;
}

std::string time_text(std::chrono::system_clock::time_point t) {
    auto since = t.time_since_epoch();
    time_t secs =
        static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
    long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
    tm local{};
    localtime_r(&secs, &local);
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buf + n, sizeof buf - n, ".%03ld", ms);
    return buf;
}

std::string matrix_text(const keelson_request &r) {
    std::string out;
    for (size_t g = 0; g < tw_groups; ++g) {
        if (g > 0) {
            out += ' ';
        }
        for (size_t i = 0; i < tw_group_size; ++i) {
            uint8_t b = r.data[g * tw_group_size + i];
            out += b <= 9 ? static_cast<char>('0' + b) : '?';
        }
    }
    return out;
}

std::string line_text(const keelson_request &r) {
    std::string t = time_text(r.time);
    if (!r.whole()) {
        return t + " connection with " + std::to_string(r.bytes) + " bytes";
    }
    std::string out = t + " cmd=" + std::to_string(r.cmd) + " param=" + std::to_string(r.param) +
                      " origin=\"" + tool_escape(r.origin, false) +
                      "\" pid=" + std::to_string(r.pid);
    if (r.cmd == keelson_cmd_log) {
        out += " text=\"" + tool_escape(r.text(), false) + "\"";
    } else if (is_refresh(r.cmd)) {
        out += " matrix=" + matrix_text(r);
    }
    return out;
}

std::string json_text(const keelson_request &r) {
    std::string out =
        "{\"time\":\"" + time_text(r.time) + "\",\"bytes\":" + std::to_string(r.bytes);
    if (r.whole()) {
        out += ",\"cmd\":" + std::to_string(r.cmd) + ",\"param\":" + std::to_string(r.param) +
               ",\"origin\":\"" + tool_escape(r.origin, true) +
               "\",\"pid\":" + std::to_string(r.pid);
        if (r.cmd == keelson_cmd_log) {
            out += ",\"text\":\"" + tool_escape(r.text(), true) + "\"";
        } else if (is_refresh(r.cmd)) {
            out += ",\"status\":[";
            for (size_t i = 0; i < static_cast<size_t>(tw_rows); ++i) {
                if (i > 0) {
                    out += ',';
                }
                out += std::to_string(r.data[i]);
            }
            out += "]";
        }
    }
    return out + "}";
}

// What the command line asked for.
struct options {
    std::string socket_path = keelson_sock_path;
    std::string json_path;
    std::map<int32_t, keelson_reply> per_cmd;
    keelson_reply all;
};

// Options for one command add up: --fail 407=-5 --delay 407=100 answers -5 late.
void add_rule(const rule_arg &where, const keelson_reply &r, options *o) {
    keelson_reply &dst = where.all ? o->all : o->per_cmd[where.cmd];
    if (r.status != 0) {
        dst.status = r.status;
    }
    if (r.how != keelson_reply::kind::answer) {
        dst.how = r.how;
        dst.short_len = r.short_len;
    }
    if (r.delay.count() != 0) {
        dst.delay = r.delay;
    }
}

// One rule option (--fail, --close, --short, --delay) and its value.
bool parse_reply_option(const std::string &a, const std::string &v, options *o) {
    rule_arg where;
    keelson_reply reply;
    bool ok = parse_rule(v, a == "--fail" || a == "--delay", &where);
    if (a == "--fail") {
        reply.status = static_cast<int32_t>(where.value);
    } else if (a == "--close") {
        ok = ok && !where.has_value;
        reply.how = keelson_reply::kind::close;
    } else if (a == "--short") {
        reply.how = keelson_reply::kind::short_answer;
        if (where.has_value) {
            ok = ok && where.value >= 0 && where.value < static_cast<long>(cmd_msg_len);
            reply.short_len = static_cast<size_t>(where.value);
        }
    } else {  // --delay
        ok = ok && where.value >= 0;
        reply.delay = std::chrono::milliseconds(where.value);
    }
    if (ok) {
        add_rule(where, reply, o);
    }
    return ok;
}

// The exit status when the line is wrong or asks for help, else -1.
int parse_options(int argc, char **argv, options *o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (i + 1 >= argc || (a != "--socket" && a != "--json" && a != "--fail" && a != "--close" &&
                              a != "--short" && a != "--delay")) {
            std::fprintf(stderr, "keelson-sim: unknown or incomplete option: %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
        std::string v = argv[++i];
        if (a == "--socket") {
            o->socket_path = v;
        } else if (a == "--json") {
            o->json_path = v;
        } else if (!parse_reply_option(a, v, o)) {
            std::fprintf(stderr, "keelson-sim: bad value for %s: %s\n", a.c_str(), v.c_str());
            return 2;
        }
    }
    return -1;
}

// Serves on the socket until SIGTERM or SIGINT; each record is printed and,
// with json, written as a JSON line.
void serve_until_stopped(options &o, FILE *json) {
    // The serving thread inherits the blocked set; only sigwait below takes
    // them.  An ignored disposition inherited from a background shell is reset
    // first, so that the stop signals always arrive.
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    keelson_stub_setup setup;
    setup.replies = std::move(o.per_cmd);
    setup.default_reply = o.all;
    setup.observer = [json](const keelson_request &r) {
        std::printf("%s\n", line_text(r).c_str());
        std::fflush(stdout);
        if (json != nullptr) {
            std::fprintf(json, "%s\n", json_text(r).c_str());
            std::fflush(json);
        }
    };
    // A socket that cannot be set up ends the program here, with the reason.
    keelson_stub stub(o.socket_path, std::move(setup));
    std::fprintf(stderr, "keelson-sim: listening on %s\n", o.socket_path.c_str());
    int sig = 0;
    while (sigwait(&stop_signals, &sig) != 0) {
    }
    std::fprintf(stderr, "keelson-sim: %s, stopping\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
}

}  // namespace

int main(int argc, char **argv) {
    options o;
    if (const int e = parse_options(argc, argv, &o); e >= 0) {
        return e;
    }
    FILE *json = nullptr;
    if (!o.json_path.empty()) {
        json = std::fopen(o.json_path.c_str(), "a");
        if (json == nullptr) {
            std::fprintf(stderr, "keelson-sim: %s: %s\n", o.json_path.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    serve_until_stopped(o, json);
    if (json != nullptr) {
        std::fclose(json);
    }
    return 0;
}
