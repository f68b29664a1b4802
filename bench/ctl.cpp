// bench-ctl: what the benchmark asks of the control socket beyond
// trapwatchctl, and its report readers.
//
//   bench-ctl rtt SECONDS            GET_STATUS round trips from one client, timed
//   bench-ctl mix COUNT              COUNT commands of a fixed mix, every reply checked
//   bench-ctl alloc-report FILE      the allocation counter's page (alloc_report.h)
//   bench-ctl syscall-cost           the time of one null system call here
//
// Output is "key=value" lines for scripts/bench.sh.  Every exchange is
// tools/ctl_client's: one connection, one 156-byte record each way, bounded.
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/alloc_report.h"
#include "tools/ctl_client.h"

namespace {

constexpr auto exchange_timeout = std::chrono::seconds(2);
constexpr int32_t out_of_range_cmd = 14;  // answered with -103 and a log record

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

bool answered(const ctl_outcome &o, int32_t want) {
    return o.fail == ctl_fail::none && o.reply.cmd == want;
}

// Round trips of GET_STATUS, one after the other, for the given time.  The
// exchanges set no socket time-outs, which would add two system calls to
// each round trip: one alarm over the whole run bounds every wait instead
// (a blocked call fails with EINTR).
int rtt(double seconds) {
    const std::string path = trapwatch_sock_path;
    std::vector<int64_t> lat;
    lat.reserve(4000000);
    int errors = 0;
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
    alarm(static_cast<unsigned>(seconds) + 1 + static_cast<unsigned>(exchange_timeout.count()));
    const int64_t start = now_ns();
    const int64_t cpu_start = cpu_ns();
    const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
    int64_t t = start;
    while (t < end) {
        const ctl_outcome o =
            ctl_exchange(path, TRAPWATCH_CMD_GET_STATUS, 0, std::chrono::milliseconds(0));
        const int64_t after = now_ns();
        if (!answered(o, 0)) {
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
    const std::string path = trapwatch_sock_path;
    int ok = 0;
    int bad = 0;
    for (int i = 0; i < count; ++i) {
        const step &s = steps[static_cast<size_t>(i) % std::size(steps)];
        const ctl_outcome o = ctl_exchange(path, s.cmd, 0, exchange_timeout);
        if (answered(o, s.want)) {
            ++ok;
        } else {
            ++bad;
            if (o.fail == ctl_fail::none) {
                std::fprintf(stderr, "bench-ctl: mix command %d: status %d, expected %d\n", s.cmd,
                             o.reply.cmd, s.want);
            } else {
                std::fprintf(stderr, "bench-ctl: mix command %d: %s\n", s.cmd,
                             ctl_describe(o, path).c_str());
            }
        }
    }
    std::printf("mix_sent=%d\nmix_ok=%d\nmix_failed=%d\n", count, ok, bad);
    return bad == 0 ? 0 : 1;
}

// Prints the counts and, for each recorded allocation, its frames as
// "file+offset" through the counting process's /proc/PID/maps (bare
// addresses for a program under qemu-ppc: addr2line on its binary).
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
            // An address no mapping holds (an emulated program's) is shown bare.
            char where[512];
            std::snprintf(where, sizeof where, "0x%" PRIx64, a);
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
                 "usage: bench-ctl rtt SECONDS | mix COUNT | alloc-report FILE | syscall-cost\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        return usage();
    }
    const char *what = argv[1];
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
