// lab-view: what scripts/lab.sh shows and waits on.  The shell builds the
// lab (network, listener, controller stand-in, daemon); this program holds
// the lab's layout and draws it.
//
//   lab-view layout
//       the addresses and ports, one line: MGMT UP REFUSED SILENT FLAP SECOND
//       PORT PORT_OTHER (for the shell's read)
//   lab-view frames TRACE CYCLES A,B NETNS LATENCY DAEMON_PID KEELSON_LOG
//                   -- FLAP_CMD...
//       the opening text, then a frame every five seconds (CYCLES frames, 0:
//       until a signal): the matrix beside the refresh commands the
//       controller stand-in logged, its log commands, with TRACE 1 the new
//       console lines; after frame A runs FLAP_CMD del FLAP, after frame B
//       FLAP_CMD add FLAP
//   lab-view left NETNS PID...
//       waits (5 s) until no process but PID... (and this one and its
//       parent) runs, then checks that the network NETNS is gone; false,
//       with what is left, when not
#include <dirent.h>
#include <net/if.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "params/protocol.h"
#include "tools/ctl_client.h"
#include "tools/number.h"

namespace {

// The lab's layout: management side, and receivers by what they do.
const char *const mgmt = "192.0.2.1";         // tw_rxnet_up's management address
const char *const rx_up = "192.0.2.10";       // listener on its trap port: 2
const char *const rx_refused = "192.0.2.11";  // answers echo, no listener: port unreachable, 1
const char *const rx_silent = "192.0.2.12";   // nobody holds it: 0
const char *const rx_flap = "192.0.2.13";     // listener; its address goes away and comes back
const char *const rx_second = "192.0.2.20";   // listener, group c2
const int port = 162;
const int port_other = 10162;  // c3's trap port; nobody listens there

using namespace std::chrono_literals;

bool ctl(int32_t cmd, ctl_outcome *o) {
    *o = ctl_exchange(trapwatch_sock_path, cmd, 0, 3s);
    if (o->fail == ctl_fail::none && o->reply.cmd == 0) {
        return true;
    }
    std::fprintf(stderr, "%s\n", ctl_describe(*o, trapwatch_sock_path).c_str());
    return false;
}

std::string lines_of(const std::string &text, size_t n) {
    size_t at = 0;
    for (size_t i = 0; i < n && at < text.size(); ++i) {
        const size_t end = text.find('\n', at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return text.substr(0, at);
}

// The bytes of path from offset on, and the new offset; whole lines only
// when lines is set (a writer may be half-way through the next).
std::string read_from(const std::string &path, off_t *offset, bool lines) {
    std::string s;
    if (FILE *f = std::fopen(path.c_str(), "rb"); f != nullptr) {
        char buf[4096];
        fseeko(f, *offset, SEEK_SET);
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) {
            s.append(buf, n);
        }
        std::fclose(f);
    }
    if (lines) {
        s.resize(s.rfind('\n') + 1);  // npos + 1: nothing
    }
    *offset += static_cast<off_t>(s.size());
    return s;
}

// A refresh command's record as the frame shows it, from the words of its
// line in keelson-sim's log: the time, the command, its parameter and the
// codes of group 1.
std::string refresh_text(const std::string &line) {
    std::istringstream words(line);
    std::string w, time, c, p, m;
    for (int i = 0; words >> w; ++i) {
        if (i == 1) {
            time = w.substr(0, 8);
        } else if (w.starts_with("cmd=")) {
            c = w.substr(4);
        } else if (w.starts_with("param=")) {
            p = w.substr(6);
        } else if (w.starts_with("matrix=")) {
            m = w.substr(7);
        }
    }
    return time + " " + c + " param=" + p + " c1=" + m;
}

std::string now_text() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%T", &tm);
    return text;
}

int run(std::vector<char *> argv) {
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                           : 1;
}

struct frame_args {
    bool trace = false;
    long cycles = 0, flap_off = 0, flap_on = 0, latency = 0;
    std::string netns, daemon_pid, keelson_log;
    std::vector<char *> flap_cmd;  // the address recipe, without its verb and address
};

// TRACE CYCLES A,B NETNS LATENCY DAEMON_PID KEELSON_LOG -- FLAP_CMD...
bool parse_frames(int argc, char **argv, frame_args &a) {
    a.trace = argc > 0 && std::strcmp(argv[0], "1") == 0;
    --argc;
    ++argv;
    const std::string flap = argc > 1 ? argv[1] : "";
    const size_t comma = flap.find(',');
    if (argc < 8 || std::strcmp(argv[6], "--") != 0 || comma == std::string::npos ||
        !read_number(argv[0], 0, 1L << 30, &a.cycles) ||
        !read_number(flap.substr(0, comma).c_str(), 0, 1L << 30, &a.flap_off) ||
        !read_number(flap.substr(comma + 1).c_str(), 0, 1L << 30, &a.flap_on) ||
        !read_number(argv[3], 0, 1L << 30, &a.latency)) {
        return false;
    }
    a.netns = argv[2];
    a.daemon_pid = argv[4];
    a.keelson_log = argv[5];
    a.flap_cmd.assign(argv + 7, argv + argc);
    return true;
}

// The trace classes asked for, then the lab's opening text; false when the
// daemon does not answer.
bool opening(const frame_args &a) {
    std::string link = "veth link without latency";
    if (access(("/run/" + a.netns + ".relay.pid").c_str(), F_OK) == 0) {
        link = "TUN link with " + std::to_string(a.latency) + " ms each way (netrelay)";
    } else if (a.latency > 0) {
        std::fputs("lab: no /dev/net/tun: plain veth, no latency\n", stderr);
    }
    ctl_outcome o;
    if (a.trace) {
        for (int32_t c : {TRAPWATCH_CMD_DBG_INIT, TRAPWATCH_CMD_DBG_PROC,
                          TRAPWATCH_CMD_DBG_MONITOR_CYCLE, TRAPWATCH_CMD_DBG_KEELSON_CMD}) {
            if (!ctl(c, &o)) {
                return false;
            }
        }
    }
    char version[sizeof o.reply.data + 1]{};
    if (ctl(TRAPWATCH_CMD_GET_VER, &o)) {
        std::memcpy(version, o.reply.data, sizeof o.reply.data);
    }
    const char *ns = a.netns.c_str();
    std::printf(
        "trapwatch lab: trapwatch %s, pid %s, management %s on %s-m;\n"
        "receivers on %s-r in namespace %s, %s.  Configured:\n"
        "  c1 0  %s:%d       trap listener                      expect 2\n"
        "  c1 1  %s:%d       no listener: port unreachable      expect 1\n"
        "  c1 2  %s:%d       nobody holds the address           expect 0\n"
        "  c1 3  %s:%d       trap listener; away after frame %ld, back after frame %ld\n"
        "  c2 0  %s:%d       trap listener                      expect 2\n"
        "  c2 1  %s:%d       duplicate of c1 0 (probed once)    expect 2\n"
        "  c3 0  %s:%d     same address, port nobody serves   expect 1\n"
        "  c4 0  %s:%d       group disabled (trap status 2)     expect 0\n"
        "  c5 0  %s:%d       group off (status 0)               expect 0\n"
        "Matrix: 0 no echo reply (or empty slot), 1 echo reply but trap port refused or\n"
        "not probed, 2 reachable.  Right: refresh commands keelson-sim answered since\n"
        "the last frame (c1 = the group-1 codes they carried).  Ctrl-C ends the lab.\n",
        version, a.daemon_pid.c_str(), mgmt, ns, ns, ns, link.c_str(), rx_up, port, rx_refused,
        port, rx_silent, port, rx_flap, port, a.flap_off, a.flap_on, rx_second, port, rx_up, port,
        rx_up, port_other, rx_second, port, rx_second, port);
    std::fflush(stdout);
    return true;
}

// One frame: the matrix beside the refresh commands the controller logged
// since the last one, then its log lines.
void draw_frame(long frame, const cmd_msg_t &reply, const std::string &keelson_log,
                off_t *log_seen) {
    static const std::regex refresh(" cmd=(382|308|407) "), log(R"re( cmd=230 .* text="(.*)"$)re");
    std::vector<std::string> left, right, logs;
    std::istringstream status(lines_of(ctl_format_matrix(reply.data), 12));
    std::istringstream lines(read_from(keelson_log, log_seen, true));
    std::smatch m;
    for (std::string line; std::getline(status, line);) {
        left.push_back(line);
    }
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_search(line, refresh)) {
            right.push_back(refresh_text(line));
        } else if (std::regex_search(line, m, log)) {
            logs.push_back("  log: " + m[1].str());
        }
    }
    std::printf("--- frame %ld  %s %s\n%s   | refresh commands\n", frame, now_text().c_str(),
                std::string(40, '-').c_str(), left[0].c_str());
    for (size_t i = 1; i < left.size() || i <= right.size(); ++i) {
        std::printf("%-32s| %s\n", i < left.size() ? left[i].c_str() : "",
                    i <= right.size() ? right[i - 1].c_str() : "");
    }
    for (const std::string &l : logs) {
        std::printf("%s\n", l.c_str());
    }
}

// The console's bytes since the last frame, indented under it.
void show_console(off_t *cons_seen) {
    struct stat st {};
    if (stat("/run/ttyS0.capture", &st) != 0 || st.st_size <= *cons_seen) {
        return;
    }
    // Up to the size seen now, as the frame's period ends here.
    const off_t from = *cons_seen;
    std::string text = read_from("/run/ttyS0.capture", cons_seen, false);
    text.resize(static_cast<size_t>(st.st_size - from));
    *cons_seen = st.st_size;
    std::erase(text, '\r');
    std::string out = "  console:\n";
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
        out.append("    ").append(text, at, end - at);
        at = end;
    }
    std::fputs(out.c_str(), stdout);
}

// Takes the flapping receiver away or brings it back; false when the
// recipe failed.
bool flap_step(const frame_args &a, long frame) {
    std::fflush(stdout);
    std::vector<char *> cmd = a.flap_cmd;
    char what[4] = "del", addr[16];
    std::snprintf(what, sizeof what, "%s", frame == a.flap_off ? "del" : "add");
    std::snprintf(addr, sizeof addr, "%s", rx_flap);
    cmd.push_back(what);
    cmd.push_back(addr);
    if (run(cmd) != 0) {
        return false;
    }
    std::printf("  >> %s (c1 3) %s\n", rx_flap, frame == a.flap_off ? "taken away" : "back");
    return true;
}

int frames(int argc, char **argv) {
    frame_args a;
    if (!parse_frames(argc, argv, a)) {
        std::fputs(
            "usage: lab-view frames TRACE CYCLES A,B NETNS LATENCY DAEMON_PID "
            "KEELSON_LOG -- FLAP_CMD...\n",
            stderr);
        return 2;
    }
    if (!opening(a)) {
        return 1;
    }
    off_t log_seen = 0, cons_seen = 0;
    struct stat st {};
    if (stat("/run/ttyS0.capture", &st) == 0) {
        cons_seen = st.st_size;
    }
    const auto start = std::chrono::steady_clock::now();
    for (long frame = 1; a.cycles == 0 || frame <= a.cycles; ++frame) {
        std::this_thread::sleep_until(start + frame * 5s);
        ctl_outcome o;
        if (!ctl(TRAPWATCH_CMD_GET_STATUS, &o)) {
            std::fputs("lab: status failed\n", stderr);
            return 1;
        }
        draw_frame(frame, o.reply, a.keelson_log, &log_seen);
        if (a.trace) {
            show_console(&cons_seen);
        }
        if ((frame == a.flap_off || frame == a.flap_on) && !flap_step(a, frame)) {
            return 1;
        }
        std::fflush(stdout);
    }
    return 0;
}

// Whether the network the lab made is gone: its namespace, its management
// link and the namespace's mount.
bool network_gone(const std::string &netns) {
    off_t from = 0;
    return access(("/run/netns/" + netns).c_str(), F_OK) != 0 &&
           if_nametoindex((netns + "-m").c_str()) == 0 &&
           read_from("/proc/self/mountinfo", &from, false).find(" /run/netns/" + netns + " ") ==
               std::string::npos;
}

int left(int argc, char **argv) {
    if (argc < 1) {
        std::fputs("usage: lab-view left NETNS PID...\n", stderr);
        return 2;
    }
    std::set<std::string> known{std::to_string(getpid()), std::to_string(getppid())};
    known.insert(argv + 1, argv + argc);
    std::vector<std::string> strays;
    for (int tenth = 0; tenth < 50; ++tenth) {
        strays.clear();
        DIR *d = opendir("/proc");
        for (dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
            std::string pid = e->d_name;
            const std::string cmdline_path = "/proc/" + pid + "/cmdline";
            if (pid.find_first_not_of("0123456789") != std::string::npos || known.contains(pid) ||
                access(cmdline_path.c_str(), R_OK) != 0) {
                continue;
            }
            off_t from = 0;
            std::string cmdline = read_from(cmdline_path, &from, false);
            std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
            strays.push_back(pid.append(":").append(cmdline));
        }
        if (d != nullptr) {
            closedir(d);
        }
        if (strays.empty()) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    for (const std::string &s : strays) {
        std::fprintf(stderr, "lab: left behind: process %s\n", s.c_str());
    }
    if (!strays.empty()) {
        return 1;
    }
    if (!network_gone(argv[0])) {
        std::fprintf(stderr, "lab: left behind: the network %s\n", argv[0]);
        return 1;
    }
    std::puts("lab: ended, nothing left behind");
    return 0;
}

// The three jobs: the layout for the shell, the frames, the end's check.
int view(int argc, char **argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "layout") {
        std::printf("%s %s %s %s %s %s %d %d\n", mgmt, rx_up, rx_refused, rx_silent, rx_flap,
                    rx_second, port, port_other);
        return 0;
    }
    if (what == "frames") {
        return frames(argc - 2, argv + 2);
    }
    if (what == "left") {
        return left(argc - 2, argv + 2);
    }
    std::fputs("usage: lab-view layout | frames ... | left NETNS PID...\n", stderr);
    return 2;
}

}  // namespace

// std::regex can throw only for a bad pattern, and its patterns are
// constants; an allocation failure ends the view either way (the board's
// build has no exceptions at all).
// NOLINTNEXTLINE(bugprone-exception-escape)
int main(int argc, char **argv) {
    return view(argc, argv);
}
