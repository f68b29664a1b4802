#include "tests/support/daemon_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tests/support/sandbox.h"

namespace tw_test {

void become_subreaper() {
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

pid_t launch_trapwatch() {
    pid_t pid = fork();
    if (pid == 0) {
        umask(022);
        // For sanitizer builds: the worker threads are never joined by design,
        // so a thread-leak report at the daemon's end is not a finding; and
        // the runtime's own one-second pause at exit would hide how soon the
        // daemon ends.
        std::string tsan = "report_thread_leaks=0 atexit_sleep_ms=0";
        if (const char *given = getenv("TSAN_OPTIONS")) {
            tsan = std::string(given) + " " + tsan;
        }
        setenv("TSAN_OPTIONS", tsan.c_str(), 1);
        execl(trapwatch_binary, "trapwatch", static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

int wait_exit(pid_t pid, milliseconds limit) {
    int result = -1;
    wait_until(
        [&] {
            int st = 0;
            pid_t r = waitpid(pid, &st, WNOHANG);
            if (r == pid) {
                result = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return true;
            }
            return r < 0;  // not (or no longer) our child
        },
        limit);
    return result;
}

std::vector<pid_t> trapwatch_children() {
    std::vector<pid_t> out;
    DIR *d = opendir("/proc");
    if (d == nullptr) {
        return out;
    }
    const pid_t me = getpid();
    while (dirent *e = readdir(d)) {
        char *end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        std::string stat = read_file("/proc/" + std::string(e->d_name) + "/stat");
        // pid (comm) state ppid ...
        size_t open = stat.find('(');
        size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        std::string comm = stat.substr(open + 1, close - open - 1);
        int ppid = 0;
        char state = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) {
            continue;
        }
        if (comm == "trapwatch" && ppid == me) {
            out.push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(d);
    return out;
}

pid_t wait_daemon(milliseconds limit) {
    pid_t found = 0;
    wait_until(
        [&] {
            auto kids = trapwatch_children();
            if (kids.size() == 1) {
                found = kids[0];
            }
            return found != 0;
        },
        limit);
    return found;
}

started start_trapwatch() {
    started s;
    const std::vector<pid_t> before = trapwatch_children();
    pid_t launcher = launch_trapwatch();
    s.launcher_status = wait_exit(launcher, milliseconds(10000));
    // The launcher has been collected, so the daemon is ours by now.
    for (pid_t pid : trapwatch_children()) {
        if (std::find(before.begin(), before.end(), pid) == before.end()) {
            s.daemon = pid;
        }
    }
    return s;
}

cmd_msg_t request(int32_t cmd, int32_t param) {
    cmd_msg_t m;
    std::memset(&m, 0, sizeof m);
    m.cmd = cmd;
    m.param = param;
    std::memcpy(m.origin, "LOCAL", 5);
    m.pid = getpid();
    return m;
}

reply exchange_bytes(const void *bytes, size_t n, milliseconds limit) {
    reply r;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        r.connect_errno = errno;
        return r;
    }
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, control_path, sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        r.connect_errno = errno;
        close(fd);
        return r;
    }
    if (n > 0 && send(fd, bytes, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) {
        close(fd);
        return r;
    }
    uint8_t buf[2 * sizeof(cmd_msg_t)];
    auto end = std::chrono::steady_clock::now() + limit;
    while (static_cast<size_t>(r.got) < sizeof buf) {
        auto left =
            std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timed_out = true;
            break;
        }
        pollfd p{fd, POLLIN, 0};
        int pr = poll(&p, 1, static_cast<int>(left.count()));
        if (pr == 0) {
            r.timed_out = true;
            break;
        }
        if (pr < 0) {
            break;
        }
        ssize_t k = recv(fd, buf + r.got, sizeof buf - static_cast<size_t>(r.got), 0);
        if (k <= 0) {
            r.closed = true;
            break;
        }
        r.got += k;
    }
    std::memcpy(
        &r.msg, buf,
        static_cast<size_t>(r.got) < sizeof r.msg ? static_cast<size_t>(r.got) : sizeof r.msg);
    close(fd);
    return r;
}

reply exchange(const cmd_msg_t &req, milliseconds limit) {
    return exchange_bytes(&req, sizeof req, limit);
}

reply exchange(int32_t cmd, int32_t param, milliseconds limit) {
    return exchange(request(cmd, param), limit);
}

bool wait_serving(milliseconds limit) {
    return wait_until(
        [] {
            if (!exists(control_path)) {
                return false;
            }
            reply r = exchange(13, 0, milliseconds(3000));
            return r.whole() && r.msg.cmd == 0;
        },
        limit);
}

bool lock_is_free() {
    int fd = open(lock_path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return true;
    }
    // F_TEST reports a lock held by another process.
    bool free = lockf(fd, F_TEST, 0) == 0;
    close(fd);
    return free;
}

int fd_count(pid_t pid) {
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(d);
    return n;
}

bool exists(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

void clean_world() {
    for (pid_t pid : trapwatch_children()) {
        kill(pid, SIGKILL);
        wait_exit(pid, milliseconds(5000));
    }
    // Zombies of earlier launchers or daemons.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    unlink(control_path);
    unlink(lock_path);
    unlink(config_path);
}

std::string config_text(const std::string &mgmt, const std::vector<group_cfg> &groups) {
    auto hex = [](const std::string &dotted) {
        in_addr a{};
        inet_pton(AF_INET, dotted.c_str(), &a);
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08x", ntohl(a.s_addr));
        return std::string(buf);
    };
    std::string out = "ip_address=" + hex(mgmt) + "\n";
    std::string ports, trap_status, status;
    for (int g = 0; g < 11; ++g) {
        const group_cfg *cfg =
            g < static_cast<int>(groups.size()) ? &groups[static_cast<size_t>(g)] : nullptr;
        std::string line = "snmp_c" + std::to_string(g + 1) + "_ip=";
        for (size_t i = 0; i < 8; ++i) {
            if (i > 0) {
                line += ", ";
            }
            line += cfg != nullptr && i < cfg->ips.size() ? hex(cfg->ips[i]) : "0x00000000";
        }
        out += line + "\n";
        bool on = cfg != nullptr && !cfg->ips.empty();
        std::string sep = g > 0 ? ", " : "";
        ports += sep + std::to_string(cfg != nullptr ? cfg->port : 162);
        trap_status += sep + (on ? "1" : "0");
        status += sep + (on ? "1" : "0");
    }
    out += "snmp_v3_trap_port=" + ports + "\n";
    out += "snmp_v3_trap_status=" + trap_status + "\n";
    out += "snmp_status=" + status + "\n";
    return out;
}

size_t console_mark() {
    return console().size();
}

}  // namespace tw_test
