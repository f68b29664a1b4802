// bench-ctl: the benchmark's control-socket client and report reader.
//
//   bench-ctl cmd CMD [PARAM]        one request; prints the reply's status
//   bench-ctl status                 GET_STATUS; prints the 88 codes and their counts
//   bench-ctl wait-socket SECONDS    waits until the daemon answers GET_VER
//   bench-ctl rtt SECONDS            GET_STATUS round trips from one client, timed
//   bench-ctl mix COUNT              COUNT commands of a fixed mix, every reply checked
//   bench-ctl alloc-report FILE      the allocation counter's page (alloc_report.h)
//   bench-ctl syscall-cost           the time of one null system call here
//
// Output is "key=value" lines for scripts/bench.sh.  Every exchange is one
// connection with one 156-byte record each way and is bounded by a time-out,
// so a daemon that hangs makes this program fail instead of wait.
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/alloc_report.h"
#include "params/cmd_msg.h"
#include "trapwatch/control.h"

namespace {

constexpr int exchange_timeout_s = 2;
constexpr int matrix_rows = 88;           // 11 groups x 8 codes of a GET_STATUS reply
constexpr int32_t out_of_range_cmd = 14;  // answered with -103 and a log record

enum class outcome { ok, connect, send, recv, short_reply };

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void on_alarm(int) {}

// This process's CPU time (user and system).
int64_t cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One request and its reply on a connection of its own.  Each wait is bounded
// by socket time-outs, or, for the timed round trips (timed = true), where
// two more system calls per exchange would be measured as the daemon's, by
// the alarm that rtt() sets over the whole run.
outcome exchange(int32_t cmd, int32_t param, cmd_msg_t *reply, bool timed = false) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return outcome::connect;
    }
    if (!timed) {
        timeval tv{};
        tv.tv_sec = exchange_timeout_s;
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // bounds connect too
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t n = std::strlen(trapwatch_sock_path);
    std::memcpy(addr.sun_path, trapwatch_sock_path, n);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), static_cast<socklen_t>(2 + n)) !=
        0) {
        close(fd);
        return outcome::connect;
    }
    cmd_msg_t req{};
    req.cmd = cmd;
    req.param = param;
    std::memcpy(req.origin, "BENCH", 5);
    req.pid = getpid();
    if (send(fd, &req, sizeof req, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof req)) {
        close(fd);
        return outcome::send;
    }
    const ssize_t got = recv(fd, reply, sizeof *reply, MSG_WAITALL);
    close(fd);
    if (got < 0) {
        return outcome::recv;
    }
    return got == static_cast<ssize_t>(sizeof *reply) ? outcome::ok : outcome::short_reply;
}

const char *outcome_text(outcome o) {
    switch (o) {
        case outcome::ok:
            return "ok";
        case outcome::connect:
            return "connect failed";
        case outcome::send:
            return "send failed";
        case outcome::recv:
            return "no reply in time";
        case outcome::short_reply:
            return "short reply";
    }
    return "?";
}

int cmd_one(int32_t cmd, int32_t param) {
    cmd_msg_t reply{};
    const outcome o = exchange(cmd, param, &reply);
    if (o != outcome::ok) {
        std::fprintf(stderr, "bench-ctl: command %d: %s\n", cmd, outcome_text(o));
        return 1;
    }
    std::printf("status=%d\n", reply.cmd);
    return 0;
}

int status() {
    cmd_msg_t reply{};
    const outcome o = exchange(TRAPWATCH_CMD_GET_STATUS, 0, &reply);
    if (o != outcome::ok || reply.cmd != 0) {
        std::fprintf(stderr, "bench-ctl: GET_STATUS: %s, status %d\n", outcome_text(o), reply.cmd);
        return 1;
    }
    int count[3] = {0, 0, 0};
    int other = 0;
    char codes[matrix_rows + 1] = {};
    for (int i = 0; i < matrix_rows; ++i) {
        const uint8_t c = reply.data[i];
        codes[i] = static_cast<char>(c <= 9 ? '0' + c : '?');
        if (c <= 2) {
            ++count[c];
        } else {
            ++other;
        }
    }
    std::printf("codes=%s\ncode0=%d\ncode1=%d\ncode2=%d\nother=%d\n", codes, count[0], count[1],
                count[2], other);
    return 0;
}

int wait_socket(double seconds) {
    const int64_t end = now_ns() + static_cast<int64_t>(seconds * 1e9);
    while (now_ns() < end) {
        cmd_msg_t reply{};
        if (exchange(TRAPWATCH_CMD_GET_VER, 0, &reply) == outcome::ok && reply.cmd == 0) {
            return 0;
        }
        usleep(50000);
    }
    std::fprintf(stderr, "bench-ctl: no answer on %s within %.0f s\n", trapwatch_sock_path,
                 seconds);
    return 1;
}

// Round trips of GET_STATUS, one after the other, for the given time.
int rtt(double seconds) {
    std::vector<int64_t> lat;
    lat.reserve(4000000);
    int errors = 0;
    // The bound of every wait in this run: a blocked call fails with EINTR.
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
    alarm(static_cast<unsigned>(seconds) + 1 + exchange_timeout_s);
    const int64_t start = now_ns();
    const int64_t cpu_start = cpu_ns();
    const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
    int64_t t = start;
    while (t < end) {
        cmd_msg_t reply{};
        const outcome o = exchange(TRAPWATCH_CMD_GET_STATUS, 0, &reply, true);
        const int64_t after = now_ns();
        if (o != outcome::ok || reply.cmd != 0) {
            ++errors;
            if (errors > 100) {
                break;
            }
        } else if (lat.size() < lat.capacity()) {
            lat.push_back(after - t);
        }
        t = after;
    }
    alarm(0);
    const int64_t cpu_used = cpu_ns() - cpu_start;
    const double elapsed = static_cast<double>(t - start) / 1e9;
    if (lat.empty()) {
        std::fprintf(stderr, "bench-ctl: no round trip completed (%d errors)\n", errors);
        return 1;
    }
    std::sort(lat.begin(), lat.end());
    auto pct = [&](double p) {
        size_t i = static_cast<size_t>(p * static_cast<double>(lat.size() - 1) + 0.5);
        return static_cast<double>(lat[i]) / 1000.0;
    };
    std::printf("rtt_count=%zu\nrtt_errors=%d\nrtt_seconds=%.3f\nrtt_per_s=%.0f\n", lat.size(),
                errors, elapsed, static_cast<double>(lat.size()) / elapsed);
    std::printf("rtt_p50_us=%.1f\nrtt_p99_us=%.1f\nrtt_max_us=%.1f\n", pct(0.50), pct(0.99),
                static_cast<double>(lat.back()) / 1000.0);
    std::printf("rtt_client_cpu_us=%.2f\n",
                static_cast<double>(cpu_used) / 1000.0 / static_cast<double>(lat.size()));
    return errors == 0 ? 0 : 1;
}

// A fixed mix of the commands that leave probing and the trace as they are:
// the controller's own (GET_STATUS, KEELSON_START), the operator's (GET_VER,
// START), debug-mask changes that print nothing (DBG_MONITOR, DBG_OFF) and an
// out-of-range command, which costs a log record to the controller.
int mix(int count) {
    struct step {
        int32_t cmd;
        int32_t want;
    };
    static constexpr step steps[] = {
        {TRAPWATCH_CMD_GET_STATUS, 0},    {TRAPWATCH_CMD_GET_VER, 0},
        {TRAPWATCH_CMD_GET_STATUS, 0},    {TRAPWATCH_CMD_START, 0},
        {TRAPWATCH_CMD_GET_STATUS, 0},    {TRAPWATCH_CMD_DBG_MONITOR, 0},
        {TRAPWATCH_CMD_GET_STATUS, 0},    {TRAPWATCH_CMD_DBG_OFF, 0},
        {TRAPWATCH_CMD_KEELSON_START, 0}, {out_of_range_cmd, -103},
    };
    int ok = 0;
    int bad = 0;
    for (int i = 0; i < count; ++i) {
        const step &s = steps[static_cast<size_t>(i) % std::size(steps)];
        cmd_msg_t reply{};
        const outcome o = exchange(s.cmd, 0, &reply);
        if (o == outcome::ok && reply.cmd == s.want) {
            ++ok;
        } else {
            ++bad;
            std::fprintf(stderr, "bench-ctl: mix command %d: %s, status %d\n", s.cmd,
                         outcome_text(o), reply.cmd);
        }
    }
    std::printf("mix_sent=%d\nmix_ok=%d\nmix_failed=%d\n", count, ok, bad);
    return bad == 0 ? 0 : 1;
}

// Prints the counts and, for each recorded allocation, its frames as
// "file+offset" through the counting process's /proc/PID/maps.
int alloc_report_print(const char *path) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        std::perror(path);
        return 1;
    }
    alloc_report r{};
    const size_t got = std::fread(&r, sizeof r, 1, f);
    std::fclose(f);
    if (got != 1) {
        std::fprintf(stderr, "bench-ctl: %s: short file\n", path);
        return 1;
    }
    std::printf("alloc_pid=%" PRIu64 "\nalloc_total=%" PRIu64 "\nalloc_malloc=%" PRIu64
                "\nalloc_calloc=%" PRIu64 "\nalloc_realloc=%" PRIu64 "\nalloc_aligned=%" PRIu64
                "\nalloc_new=%" PRIu64 "\nalloc_bytes=%" PRIu64 "\n",
                r.counting_pid, r.total_calls, r.malloc_calls, r.calloc_calls, r.realloc_calls,
                r.aligned_calls, r.new_calls, r.bytes);
    char maps_path[64];
    std::snprintf(maps_path, sizeof maps_path, "/proc/%" PRIu64 "/maps", r.counting_pid);
    const uint64_t shown = std::min<uint64_t>(r.total_calls, alloc_site_slots);
    for (uint64_t i = 0; i < shown; ++i) {
        const alloc_report::site &s = r.sites[i];
        std::printf("# allocation %" PRIu64 ": thread %" PRIu64 ", %" PRIu64 " bytes\n", i + 1,
                    s.tid, s.size);
        for (uint64_t k = 0; k < s.depth && k < alloc_site_depth; ++k) {
            const uint64_t a = s.frames[k];
            char where[512] = "?";
            FILE *m = std::fopen(maps_path, "r");
            char line[512];
            while (m != nullptr && std::fgets(line, sizeof line, m) != nullptr) {
                uint64_t lo = 0, hi = 0, off = 0;
                char file[400] = "";
                if (std::sscanf(line, "%" SCNx64 "-%" SCNx64 " %*s %" SCNx64 " %*s %*s %399s", &lo,
                                &hi, &off, file) >= 3 &&
                    a >= lo && a < hi) {
                    std::snprintf(where, sizeof where, "%s+0x%" PRIx64, file, a - lo + off);
                    break;
                }
            }
            if (m != nullptr) {
                std::fclose(m);
            }
            std::printf("#   %s\n", where);
        }
    }
    return 0;
}

// What one system call costs on this machine: the floor under every figure
// of the table, which on a virtual machine can be many times a bare one's.
int syscall_cost() {
    constexpr int calls = 200000;
    const int64_t start = now_ns();
    for (int i = 0; i < calls; ++i) {
        (void)syscall(SYS_getppid);
    }
    std::printf("syscall_ns=%.0f\n", static_cast<double>(now_ns() - start) / calls);
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench-ctl cmd CMD [PARAM] | status | wait-socket SECONDS |\n"
                 "                 rtt SECONDS | mix COUNT | alloc-report FILE | syscall-cost\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        return usage();
    }
    const char *what = argv[1];
    if (std::strcmp(what, "cmd") == 0 && argc >= 3) {
        return cmd_one(static_cast<int32_t>(std::strtol(argv[2], nullptr, 0)),
                       argc >= 4 ? static_cast<int32_t>(std::strtol(argv[3], nullptr, 0)) : 0);
    }
    if (std::strcmp(what, "status") == 0) {
        return status();
    }
    if (std::strcmp(what, "wait-socket") == 0 && argc >= 3) {
        return wait_socket(std::strtod(argv[2], nullptr));
    }
    if (std::strcmp(what, "rtt") == 0 && argc >= 3) {
        return rtt(std::strtod(argv[2], nullptr));
    }
    if (std::strcmp(what, "mix") == 0 && argc >= 3) {
        return mix(static_cast<int>(std::strtol(argv[2], nullptr, 10)));
    }
    if (std::strcmp(what, "syscall-cost") == 0) {
        return syscall_cost();
    }
    if (std::strcmp(what, "alloc-report") == 0 && argc >= 3) {
        return alloc_report_print(argv[2]);
    }
    return usage();
}
