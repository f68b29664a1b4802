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

#include "tools/escape.h"
#include "tools/keelson_stub.h"

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

bool parse_int(const std::string &s, long *out) {
    if (s.empty()) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) {
        return false;
    }
    *out = v;
    return true;
}

// "CMD" or "CMD=VALUE"; CMD "all" gives nullopt-like -> all=true.
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
        if (!parse_int(v, &out->value)) {
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
    if (!parse_int(c, &cmd)) {
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
    for (int g = 0; g < tw_groups; ++g) {
        if (g > 0) {
            out += ' ';
        }
        for (int i = 0; i < tw_group_size; ++i) {
            uint8_t b = r.data[static_cast<size_t>(g * tw_group_size + i)];
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

}  // namespace

int main(int argc, char **argv) {
    std::string socket_path = keelson_sock_path;
    std::string json_path;
    struct rule {
        rule_arg where;
        keelson_reply reply;
    };
    std::vector<rule> rules;

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
            socket_path = v;
            continue;
        }
        if (a == "--json") {
            json_path = v;
            continue;
        }
        rule r;
        bool ok = parse_rule(v, a == "--fail" || a == "--delay", &r.where);
        if (a == "--fail") {
            r.reply.status = static_cast<int32_t>(r.where.value);
        } else if (a == "--close") {
            ok = ok && !r.where.has_value;
            r.reply.how = keelson_reply::kind::close;
        } else if (a == "--short") {
            r.reply.how = keelson_reply::kind::short_answer;
            if (r.where.has_value) {
                ok = ok && r.where.value >= 0 && r.where.value < 156;
                r.reply.short_len = static_cast<size_t>(r.where.value);
            }
        } else {  // --delay
            ok = ok && r.where.value >= 0;
            r.reply.delay = std::chrono::milliseconds(r.where.value);
        }
        if (!ok) {
            std::fprintf(stderr, "keelson-sim: bad value for %s: %s\n", a.c_str(), v.c_str());
            return 2;
        }
        rules.push_back(r);
    }

    // Options for one command add up: --fail 407=-5 --delay 407=100 answers -5 late.
    std::map<int32_t, keelson_reply> per_cmd;
    keelson_reply all;
    for (const rule &r : rules) {
        keelson_reply &dst = r.where.all ? all : per_cmd[r.where.cmd];
        if (r.reply.status != 0) {
            dst.status = r.reply.status;
        }
        if (r.reply.how != keelson_reply::kind::answer) {
            dst.how = r.reply.how;
            dst.short_len = r.reply.short_len;
        }
        if (r.reply.delay.count() != 0) {
            dst.delay = r.reply.delay;
        }
    }

    FILE *json = nullptr;
    if (!json_path.empty()) {
        json = std::fopen(json_path.c_str(), "a");
        if (json == nullptr) {
            std::fprintf(stderr, "keelson-sim: %s: %s\n", json_path.c_str(), std::strerror(errno));
            return 1;
        }
    }

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
    setup.replies = per_cmd;
    setup.default_reply = all;
    setup.observer = [json](const keelson_request &r) {
        std::printf("%s\n", line_text(r).c_str());
        std::fflush(stdout);
        if (json != nullptr) {
            std::fprintf(json, "%s\n", json_text(r).c_str());
            std::fflush(json);
        }
    };
    {
        // A socket that cannot be set up ends the program here, with the reason.
        keelson_stub stub(socket_path, std::move(setup));
        std::fprintf(stderr, "keelson-sim: listening on %s\n", socket_path.c_str());
        int sig = 0;
        while (sigwait(&stop_signals, &sig) != 0) {
        }
        std::fprintf(stderr, "keelson-sim: %s, stopping\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    }
    if (json != nullptr) {
        std::fclose(json);
    }
    return 0;
}
