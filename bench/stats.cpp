// bench-stats: the benchmark's sampling, steps, statistics and report.
// scripts/bench.sh keeps the namespaces and starts and stops the programs;
// this program runs what comes between a start and a stop, measures, and
// writes the table and the JSON.
//
//   bench-stats lab                      the lab's receivers, five lines: the
//                                        addresses held, those nobody holds, the
//                                        listeners' ADDR:PORT, the groups as
//                                        tw_config takes them, every address
//   bench-stats STEP REPEAT PID SECONDS DIR [RUNNER...]
//                                        one step on the running PID: trapwatch,
//                                        fping, alloc or alloc_musl; bench-ctl and
//                                        trapwatchctl come from the build DIR,
//                                        run under RUNNER (qemu-ppc) when given
//   bench-stats report RAW JSON SECONDS REPEAT PREFIX ROOT
//                                        the table, and the JSON into JSON, with
//                                        the stripped sizes of PREFIX-*'s binaries
//                                        and the commit of the checkout ROOT
//   bench-stats check TABLE JSON LOG     the smoke test's checks of a run's output
//
// The steps print raw lines "SUBJECT METRIC REPEAT VALUE", which the script
// collects into RAW for the report.  Every figure of the report over the
// repeats is min / median / max.
#include <dirent.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "util/spawn.h"

namespace {

constexpr double cycle_seconds = 5;
constexpr int lab_rows = 88;  // the lab's receivers, one matrix row each
constexpr int lab_groups = 11;

void pause_s(double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

void note(const std::string &s) {
    std::fprintf(stderr, "bench: %s\n", s.c_str());
}

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The number after "name" at the start of a line of a /proc text ("VmRSS:").
long long field(const std::string &text, const std::string &name) {
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);) {
        if (l.compare(0, name.size(), name) == 0) {
            return std::atoll(l.c_str() + name.size());
        }
    }
    return 0;
}

// Summed over the process's threads: CPU time (ns, schedstat), user and
// system ticks (stat), voluntary and involuntary context switches.
struct counters {
    long long cpu_ns = 0, user_ticks = 0, sys_ticks = 0, vcsw = 0, ivcsw = 0;
};

counters sample_counters(const std::string &pid) {
    counters c;
    const std::string dir = "/proc/" + pid + "/task/";
    std::unique_ptr<DIR, int (*)(DIR *)> tasks(opendir(dir.c_str()), closedir);
    for (dirent *e = tasks ? readdir(tasks.get()) : nullptr; e != nullptr;
         e = readdir(tasks.get())) {
        if (e->d_name[0] == '.') {
            continue;
        }
        const std::string t = dir + e->d_name;
        c.cpu_ns += std::atoll(slurp(t + "/schedstat").c_str());
        // The fields after the command's closing parenthesis: the state is
        // the first, utime the 12th and stime the 13th.
        const std::string stat = slurp(t + "/stat");
        std::istringstream rest(stat.substr(std::min(stat.rfind(") ") + 2, stat.size())));
        std::string f[13];
        for (std::string &x : f) {
            rest >> x;
        }
        c.user_ticks += std::atoll(f[11].c_str());
        c.sys_ticks += std::atoll(f[12].c_str());
        const std::string status = slurp(t + "/status");
        c.vcsw += field(status, "voluntary_ctxt_switches:");
        c.ivcsw += field(status, "nonvoluntary_ctxt_switches:");
    }
    return c;
}

// RSS (VmRSS), Pss and private memory (Private_Clean + Private_Dirty) in KiB.
// Pss moves when other processes map or unmap the same libraries, so growth
// is judged on RSS and private memory.
struct memory {
    long long rss = 0, pss = 0, priv = 0;
};

memory sample_memory(const std::string &pid) {
    const std::string rollup = slurp("/proc/" + pid + "/smaps_rollup");
    return {field(slurp("/proc/" + pid + "/status"), "VmRSS:"), field(rollup, "Pss:"),
            field(rollup, "Private_Clean:") + field(rollup, "Private_Dirty:")};
}

// Runs argv, waits for it.
int run(std::vector<std::string> args, int quiet = 0) {
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return wait_spawn(quiet, argv[0], argv.data());
}

// Runs argv through the shell, its standard output into out; its standard
// error dropped when quiet.
int capture(const std::vector<std::string> &args, std::string &out, bool quiet = false) {
    std::string line;
    for (const std::string &a : args) {
        line += " '";
        for (const char c : a) {
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        line += "'";
    }
    FILE *p = popen((line + (quiet ? " 2>/dev/null" : "")).c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    out.clear();
    char b[4096];
    for (size_t n; (n = std::fread(b, 1, sizeof b, p)) > 0;) {
        out.append(b, n);
    }
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The "key=value" lines of a bench-ctl answer.
std::map<std::string, std::string> values(const std::string &text) {
    std::map<std::string, std::string> kv;
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);) {
        const size_t eq = l.find('=');
        if (eq != std::string::npos) {
            kv[l.substr(0, eq)] = l.substr(eq + 1);
        }
    }
    return kv;
}

std::string fixed(double v, int digits) {
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", digits, v);
    return b;
}

// Where the raw lines go: standard output, or the raw file itself.
FILE *raw_out = stdout;

void put(const std::string &who, const std::string &metric, const std::string &rep,
         const std::string &value) {
    std::fprintf(raw_out, "%s %s %s %s\n", who.c_str(), metric.c_str(), rep.c_str(), value.c_str());
}

// The memory after the first cycle, then the counters over the window, with
// the system calls counted by perf (a tracepoint counter: unlike strace it
// does not stop the process at each call, so the CPU and context-switch
// figures of the same window stay true).
int window(const std::string &who, const std::string &rep, const std::string &pid,
           const std::string &seconds) {
    const double cycles = std::atof(seconds.c_str()) / cycle_seconds;
    const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    const memory m0 = sample_memory(pid);
    const counters c0 = sample_counters(pid);
    char perf_out[] = "/run/twbench-perf.XXXXXX";
    const int fd = mkstemp(perf_out);
    if (fd >= 0) {
        close(fd);
    }
    run({"timeout", std::to_string(std::atoi(seconds.c_str()) + 20), "perf", "stat", "-x,", "-e",
         "raw_syscalls:sys_enter", "-p", pid, "-o", perf_out, "--", "sleep", seconds});
    const counters c1 = sample_counters(pid);
    const memory m1 = sample_memory(pid);
    std::istringstream perf(slurp(perf_out));
    unlink(perf_out);
    long long calls = -1;
    for (std::string line; std::getline(perf, line);) {
        if (line.find("raw_syscalls:sys_enter") != std::string::npos && !line.empty() &&
            std::isdigit(static_cast<unsigned char>(line[0])) != 0) {
            calls = std::atoll(line.c_str());
        }
    }
    auto per_cycle = [&](long long a, long long b, double scale, int digits) {
        return fixed(static_cast<double>(b - a) * scale / cycles, digits);
    };
    put(who, "cpu_ms_per_cycle", rep, per_cycle(c0.cpu_ns, c1.cpu_ns, 1e-6, 3));
    put(who, "user_ms_per_cycle", rep, per_cycle(c0.user_ticks, c1.user_ticks, 1000 / hz, 2));
    put(who, "sys_ms_per_cycle", rep, per_cycle(c0.sys_ticks, c1.sys_ticks, 1000 / hz, 2));
    put(who, "vcsw_per_cycle", rep, per_cycle(c0.vcsw, c1.vcsw, 1, 1));
    put(who, "ivcsw_per_cycle", rep, per_cycle(c0.ivcsw, c1.ivcsw, 1, 1));
    if (calls >= 0) {
        put(who, "syscalls_per_cycle", rep, per_cycle(0, calls, 1, 1));
    } else {
        note("perf gave no system call count");
    }
    const std::pair<const char *, long long> kib[] = {
        {"rss_first_kib", m0.rss}, {"pss_first_kib", m0.pss}, {"private_first_kib", m0.priv},
        {"rss_end_kib", m1.rss},   {"pss_end_kib", m1.pss},   {"private_end_kib", m1.priv}};
    for (const auto &[metric, v] : kib) {
        put(who, metric, rep, std::to_string(v));
    }
    return 0;
}

// Which system calls, from strace -f -c over two cycles (only the names and
// shares are kept: strace slows the process).
int breakdown(const std::string &who, const std::string &pid) {
    char out[] = "/run/twbench-strace.XXXXXX";
    const int fd = mkstemp(out);
    if (fd >= 0) {
        close(fd);
    }
    run({"timeout", "-s", "INT", "10", "strace", "-f", "-c", "-o", out, "-p", pid}, 1);
    std::istringstream text(slurp(out));
    unlink(out);
    // "% time  seconds  usecs/call  calls  [errors]  syscall"
    for (std::string line; std::getline(text, line);) {
        std::istringstream w(line);
        std::vector<std::string> f;
        for (std::string s; w >> s;) {
            f.push_back(s);
        }
        auto all_of = [](const std::string &s, const char *set) {
            return !s.empty() && s.find_first_not_of(set) == std::string::npos;
        };
        if (f.size() >= 5 && all_of(f[0], "0123456789.") && all_of(f[3], "0123456789") &&
            f.back() != "total") {
            put(who, "strace_" + f.back(), "1", fixed(std::atof(f[3].c_str()) / 2, 1));
        }
    }
    return 0;
}

// The round trips of CMD (bench-ctl rtt), and the CPU one costs the daemon
// and the client: what the rate would be if neither ever waited for a
// processor.
void rtt(const std::string &rep, const std::string &pid, const std::vector<std::string> &cmd) {
    const counters c0 = sample_counters(pid);
    std::string out;
    if (capture(cmd, out) != 0) {
        note("round trips: some failed");
    }
    const counters c1 = sample_counters(pid);
    std::map<std::string, std::string> kv = values(out);
    const double n = std::atof(kv["rtt_count"].c_str());
    if (n > 0) {
        put("control", "rtt_daemon_cpu_us", rep,
            fixed(static_cast<double>(c1.cpu_ns - c0.cpu_ns) / 1000 / n, 2));
    }
    for (const char *k : {"rtt_client_cpu_us", "rtt_per_s", "rtt_p50_us", "rtt_p99_us"}) {
        if (!kv[k].empty()) {
            put("control", k, rep, kv[k]);
        }
    }
}

// The counts of codes 2, 1 and 0 in the matrix, from the hex line of
// "trapwatchctl status --raw"; false when there is no whole matrix.
bool matrix(const std::vector<std::string> &trapwatchctl, int count[3]) {
    std::string out, line, last;
    capture(trapwatchctl, out, true);
    std::istringstream lines(out);
    while (std::getline(lines, line)) {
        last = line.empty() ? last : line;
    }
    last.erase(std::remove(last.begin(), last.end(), ' '), last.end());
    if (last.size() != 2 * lab_rows) {
        return false;
    }
    count[0] = count[1] = count[2] = 0;
    for (size_t i = 0; i < last.size(); i += 2) {
        const unsigned long code = std::strtoul(last.substr(i, 2).c_str(), nullptr, 16);
        count[code < 3 ? code : 0] += code < 3 ? 1 : 0;
    }
    return true;
}

void put_matrix(const std::string &who, const std::string &rep, const int count[3]) {
    for (int c = 2; c >= 0; --c) {
        put(who, "matrix_code" + std::to_string(c), rep, std::to_string(count[c]));
    }
}

// ------------------------------------------------------------------ lab ---

// Row r of the table (group r / 8, index r % 8) is 192.0.2.(10 + r), group
// g's trap port 20162 + g.  The kinds alternate along the table so that
// every group holds all three (row 86 makes the counts 30 / 30 / 28):
//   answering (30): the address is held and trap-listener waits on the port
//   refusing  (30): the address is held, nothing listens: port unreachable
//   silent    (28): nobody holds the address: the echo request is dropped
int lab() {
    std::string held, silent, endpoints, all, groups[lab_groups];
    for (int r = 0; r < lab_rows; ++r) {
        const std::string a = "192.0.2." + std::to_string(10 + r);
        const std::string port = std::to_string(20162 + r / 8);
        std::string &g = groups[r / 8];
        g += (g.empty() ? port + ":" : ",") + a;
        all += a + " ";
        if (r % 3 == 0) {
            held += a + " ";
            endpoints += a + ":" + port + " ";
        } else if (r % 3 == 1 || r == 86) {
            held += a + " ";
        } else {
            silent += a + " ";
        }
    }
    std::printf("%s\n%s\n%s\n", held.c_str(), silent.c_str(), endpoints.c_str());
    for (const std::string &g : groups) {
        std::printf("%s ", g.c_str());
    }
    std::printf("\n%s\n", all.c_str());
    return 0;
}

// Stripped sizes in bytes of the binaries of the build directories PREFIX-*.
int sizes(const std::string &prefix) {
    const char *gnu = "strip", *ppc = "powerpc-linux-gnu-strip";
    const char *const table[][4] = {
        {gnu, "release", "trapwatch/trapwatch", "native_dynamic"},
        {gnu, "static", "trapwatch/trapwatch", "native_static"},
        {ppc, "ppc", "trapwatch/trapwatch", "ppc_dynamic"},
        {ppc, "ppc-static", "trapwatch/trapwatch", "ppc_static"},
        {ppc, "ppc-musl", "trapwatch/trapwatch", "ppc_musl"},
        {ppc, "ppc-musl", "tools/trapwatchctl", "ppc_musl_trapwatchctl"},
        {ppc, "ppc-musl", "tools/keelson-sim", "ppc_musl_keelson_sim"}};
    char dir[] = "/tmp/twbench-strip.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    for (const auto &[strip, build, bin, name] : table) {
        const std::string from = prefix + "-" + build + "/" + bin,
                          to = std::string(dir) + "/" + name;
        struct stat st {};
        if (access(from.c_str(), X_OK) == 0 && run({strip, "-o", to, from}) == 0 &&
            stat(to.c_str(), &st) == 0) {
            put("size", name, "1", std::to_string(st.st_size));
        }
    }
    std::filesystem::remove_all(dir);
    return 0;
}

// ---------------------------------------------------------------- steps ---

// The programs of a step: the build DIR's bench-ctl and trapwatchctl, under
// RUNNER when given (the PowerPC build's peers must speak its byte order).
struct step {
    std::string who, rep, pid;
    int seconds;
    std::string dir;
    std::vector<std::string> runner;

    std::vector<std::string> cmd(const std::string &prog, std::vector<std::string> args) const {
        std::vector<std::string> c = runner;
        c.push_back(dir + "/" + prog);
        c.insert(c.end(), args.begin(), args.end());
        return c;
    }
    std::vector<std::string> status() const {
        return cmd("tools/trapwatchctl", {"--timeout", "2", "status", "--raw"});
    }
    std::string ctl(std::vector<std::string> args) const {
        std::string out;
        capture(cmd("bench/bench-ctl", std::move(args)), out);
        return out;
    }
};

// The daemon: its first evaluation and the refresh sequence that its status
// changes start (two seconds and four controller records), then the window,
// the matrix, the system calls by name (first repeat), the round trips, and
// the cost of a null system call here.
int step_trapwatch(const step &s) {
    note("repeat " + s.rep + ": trapwatch, " + std::to_string(s.seconds) + " s");
    int count[3] = {0, 0, 0};
    for (int n = 0; n < 200 && (!matrix(s.status(), count) || count[2] == 0); ++n) {
        pause_s(0.1);
    }
    if (count[2] == 0) {
        note("no evaluation within 20 s");
        return 1;
    }
    pause_s(3);
    window(s.who, s.rep, s.pid, std::to_string(s.seconds));
    if (matrix(s.status(), count)) {
        put_matrix(s.who, s.rep, count);
    }
    if (s.rep == "1") {
        breakdown(s.who, s.pid);
    }
    std::vector<std::string> trips = s.cmd("bench/bench-ctl", {"rtt", "5"});
    trips.insert(trips.begin(), {"timeout", "30"});
    rtt(s.rep, s.pid, trips);
    put("host", "syscall_ns", s.rep, values(s.ctl({"syscall-cost"}))["syscall_ns"]);
    return 0;
}

// fping in loop mode, after its first cycle.
int step_fping(const step &s) {
    note("repeat " + s.rep + ": fping -l, " + std::to_string(s.seconds) + " s");
    pause_s(5.5);
    window("fping", s.rep, s.pid, std::to_string(s.seconds));
    if (s.rep == "1") {
        breakdown("fping", s.pid);
    }
    return 0;
}

// The allocation count so far; at the last stage, whether it counted in the
// daemon, and where its allocations came from.
void alloc_count(const step &s, const char *stage, const char *file) {
    const std::string out = s.ctl({"alloc-report", file});
    std::map<std::string, std::string> kv = values(out);
    put(s.who, stage, "1", kv["alloc_total"]);
    if (std::strcmp(stage, "after_round_trips") != 0) {
        return;
    }
    const bool started = kv["alloc_pid"] == s.pid;
    if (!started) {
        note("the allocation counter did not start in the daemon");
    }
    put(s.who, "counter_started", "1", started ? "1" : "0");
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) {
        if (l.rfind('#', 0) == 0) {
            std::fprintf(stderr, "%s\n", l.c_str());
        }
    }
}

// A daemon with the allocation counter, counting from the moment its
// control socket listens (the file TW_BENCH_ALLOC_FILE): the cycles of one
// window, then 1000 control commands, then a burst of GET_STATUS round trips.
int step_alloc(const step &s) {
    note("allocations (" + s.who + "): " + std::to_string(s.seconds) +
         " s of cycles, 1000 commands, 2 s of round trips");
    const char *file = std::getenv("TW_BENCH_ALLOC_FILE");
    file = file == nullptr ? "" : file;
    pause_s(s.seconds);
    // The same lab, so the same matrix whatever the build.
    int count[3] = {0, 0, 0};
    if (matrix(s.status(), count)) {
        put_matrix(s.who, "1", count);
    }
    alloc_count(s, "after_cycles", file);
    std::string out;
    if (capture(s.cmd("bench/bench-ctl", {"mix", "1000"}), out) != 0) {
        note("some of the 1000 commands failed");
    }
    alloc_count(s, "after_commands", file);
    std::vector<std::string> trips = s.cmd("bench/bench-ctl", {"rtt", "2"});
    trips.insert(trips.begin(), {"timeout", "30"});
    if (capture(trips, out) != 0) {
        note("round trips: some failed");
    }
    alloc_count(s, "after_round_trips", file);
    return 0;
}

// ---------------------------------------------------------------- report ---

// A number as the JSON has always shown it: whole numbers without a point,
// others with six significant digits.
std::string num(double v) {
    char b[64];
    if (v == std::trunc(v) && std::fabs(v) < 1e15) {
        std::snprintf(b, sizeof b, "%lld", static_cast<long long>(v));
    } else {
        std::snprintf(b, sizeof b, "%.6g", v);
    }
    return b;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char b[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(b, sizeof b, fmt, ap);
    va_end(ap);
    return b;
}

// The raw lines by subject and metric, each key's values in the order of
// the repeats, the keys in the order they first came.
class figures {
   public:
    explicit figures(const std::string &path) {
        std::ifstream f(path);
        std::string who, metric, rep, value;
        while (f >> who >> metric >> rep >> value) {
            auto [it, fresh] = runs_.try_emplace({who, metric});
            if (fresh) {
                order_.push_back(it->first);
            }
            it->second.push_back(value);
        }
    }
    bool has(const std::string &s, const std::string &m) const { return runs_.count({s, m}) != 0; }
    const std::vector<std::string> &runs(const std::string &s, const std::string &m) const {
        static const std::vector<std::string> none;
        auto it = runs_.find({s, m});
        return it == runs_.end() ? none : it->second;
    }
    std::vector<double> sorted(const std::string &s, const std::string &m) const {
        std::vector<double> v;
        for (const std::string &r : runs(s, m)) {
            v.push_back(std::atof(r.c_str()));
        }
        std::sort(v.begin(), v.end());
        return v;
    }
    double median(const std::string &s, const std::string &m) const {
        const std::vector<double> v = sorted(s, m);
        const size_t n = v.size();
        return n == 0 ? 0 : n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    // The median, or -1 when there is none.
    double one(const std::string &s, const std::string &m) const {
        return has(s, m) ? median(s, m) : -1;
    }
    std::string triple(const std::string &s, const std::string &m, int d) const {
        if (!has(s, m)) {
            return "-";
        }
        const std::vector<double> v = sorted(s, m);
        return fixed(v.front(), d) + " / " + fixed(median(s, m), d) + " / " + fixed(v.back(), d);
    }
    std::string ratio(const std::string &m, int d) const {
        if (!has("trapwatch", m) || !has("fping", m) || median("fping", m) == 0) {
            return "-";
        }
        return fixed(median("trapwatch", m) / median("fping", m), d);
    }
    std::string json_subject(const std::string &s) const {
        std::string out = "{";
        for (const auto &[who, m] : order_) {
            if (who != s) {
                continue;
            }
            const std::vector<double> v = sorted(s, m);
            std::string r;
            for (const std::string &x : runs(s, m)) {
                r += (r.empty() ? "" : ", ") + x;
            }
            out += (out.size() > 1 ? ", \"" : "\"") + m + "\": {\"min\": " + num(v.front()) +
                   ", \"median\": " + num(median(s, m)) + ", \"max\": " + num(v.back()) +
                   ", \"runs\": [" + r + "]}";
        }
        return out + "}";
    }
    const std::vector<std::pair<std::string, std::string>> &order() const { return order_; }

   private:
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> runs_;
    std::vector<std::pair<std::string, std::string>> order_;
};

const char *verdict(bool ok) {
    return ok ? "met" : "MISSED";
}

const char *json_bool(bool ok) {
    return ok ? "true" : "false";
}

struct alloc_run {
    long long cycles, commands, trips;
    bool started;
    bool ok() const { return started && trips == 0; }
};

// The run's circumstances and the verdicts on the targets, shared by the
// table and the JSON.
struct judged {
    int seconds, repeat;
    double cycles;
    std::string host, when, fping_version, commit;
    int cpus;
    bool cpu, calls, rss, pss, flat, musl_size, rate;
    alloc_run alloc, alloc_musl;
    std::string growth, musl_matrix;
};

alloc_run allocations(const figures &f, const std::string &s) {
    return {static_cast<long long>(f.one(s, "after_cycles")),
            static_cast<long long>(f.one(s, "after_commands")),
            static_cast<long long>(f.one(s, "after_round_trips")),
            f.one(s, "counter_started") == 1};
}

long long size(const figures &f, const char *name) {
    return static_cast<long long>(f.one("size", name));
}

judged judge(const figures &f, int seconds, int repeat) {
    judged j{};
    j.seconds = seconds;
    j.repeat = repeat;
    j.cycles = seconds / cycle_seconds;
    utsname u{};
    uname(&u);
    j.host = std::string(u.sysname) + " " + u.release + " " + u.machine;
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    j.cpus = CPU_COUNT(&set);
    char when[32];
    const time_t now = std::time(nullptr);
    tm utc{};
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
    j.when = when;

    auto tw = [&](const char *m) { return f.one("trapwatch", m); };
    const double cpu_fp = f.one("fping", "cpu_ms_per_cycle");
    j.cpu = tw("cpu_ms_per_cycle") >= 0 && cpu_fp > 0 && tw("cpu_ms_per_cycle") <= cpu_fp / 2;
    j.calls = tw("syscalls_per_cycle") >= 0 && tw("syscalls_per_cycle") <= 300;
    j.rss = tw("rss_end_kib") >= 0 && tw("rss_end_kib") < f.one("fping", "rss_end_kib");
    j.pss = tw("pss_end_kib") >= 0 && tw("pss_end_kib") <= 1024;
    j.musl_size = size(f, "ppc_musl") > 0 && size(f, "ppc_musl") <= 262144;
    j.rate = f.one("control", "rtt_per_s") >= 20000;
    j.alloc = allocations(f, "alloc");
    j.alloc_musl = allocations(f, "alloc_musl");
    j.musl_matrix = num(f.one("alloc_musl", "matrix_code2")) + " / " +
                    num(f.one("alloc_musl", "matrix_code1")) + " / " +
                    num(f.one("alloc_musl", "matrix_code0"));
    // Growth per repeat, in the repeats' order.
    j.flat = true;
    const auto &rf = f.runs("trapwatch", "rss_first_kib");
    const auto &re = f.runs("trapwatch", "rss_end_kib");
    const auto &pf = f.runs("trapwatch", "private_first_kib");
    const auto &pe = f.runs("trapwatch", "private_end_kib");
    for (size_t i = 0; i < rf.size() && i < re.size() && i < pf.size() && i < pe.size(); ++i) {
        const long long dr = std::atoll(re[i].c_str()) - std::atoll(rf[i].c_str());
        const long long dp = std::atoll(pe[i].c_str()) - std::atoll(pf[i].c_str());
        j.growth += format("%s%+lld/%+lld", i > 0 ? ", " : "", dr, dp);
        j.flat = j.flat && dr <= 0 && dp <= 0;
    }
    return j;
}

// The two probers side by side.
void print_probers(const figures &f, const judged &j) {
    std::printf(
        "\ntrapwatch vs fping -l -p 5000 (-q) over 88 receivers: 30 answering, 30 refusing "
        "the trap port, 28 silent\n");
    std::printf(
        "window %d s = %g cycles per prober, %d repeat(s); figures are min / median / max; "
        "ratio of medians\n",
        j.seconds, j.cycles, j.repeat);
    std::printf("%s, %d processors, %s, commit %s\n", j.host.c_str(), j.cpus,
                j.fping_version.c_str(), j.commit.c_str());
    std::printf("one null system call here: %s ns (min / median / max)\n\n",
                f.triple("host", "syscall_ns", 0).c_str());
    std::printf("%-38s %-24s %-24s %-8s %s\n", "", "trapwatch", "fping -l", "tw/fping", "target");
    auto row = [&](const char *label, const char *m, int d, const char *target = "",
                   const char *v = nullptr) {
        std::printf("%-38s %-24s %-24s %-8s %s%s\n", label, f.triple("trapwatch", m, d).c_str(),
                    f.triple("fping", m, d).c_str(), f.ratio(m, 2).c_str(), target,
                    v == nullptr ? "" : format("  [%s]", v).c_str());
    };
    row("CPU per cycle, ms (user+system)", "cpu_ms_per_cycle", 3, "<= 0.5 x fping", verdict(j.cpu));
    row("  user, ms (clock ticks)", "user_ms_per_cycle", 2);
    row("  system, ms (clock ticks)", "sys_ms_per_cycle", 2);
    row("system calls per cycle", "syscalls_per_cycle", 1, "<= 300", verdict(j.calls));
    row("voluntary context switches/cycle", "vcsw_per_cycle", 1);
    row("involuntary context switches/cycle", "ivcsw_per_cycle", 1);
    row("RSS after first cycle, KiB", "rss_first_kib", 0);
    row("RSS at end, KiB", "rss_end_kib", 0, "< fping, flat", verdict(j.rss));
    row("Pss after first cycle, KiB", "pss_first_kib", 0);
    row("Pss at end, KiB", "pss_end_kib", 0, "<= 1024", verdict(j.pss));
    row("private memory after first cycle, KiB", "private_first_kib", 0);
    row("private memory at end, KiB", "private_end_kib", 0);
    std::printf("%-38s %-24s %-24s %-8s %s  [%s]\n", "  growth first->end, RSS/private KiB",
                j.growth.c_str(), "", "", "flat", verdict(j.flat));
    auto tw = [&](const char *m) { return f.one("trapwatch", m); };
    std::printf(
        "%-38s %-24s %-24s %-8s %s\n", "matrix codes 2 / 1 / 0 (end)",
        format("%.0f / %.0f / %.0f", tw("matrix_code2"), tw("matrix_code1"), tw("matrix_code0"))
            .c_str(),
        format("%.0f hosts answer", f.one("fping", "hosts_answering")).c_str(), "", "30 / 30 / 28");
}

// The control socket, the allocations, the sizes and the system calls by name.
void print_rest(const figures &f, const judged &j) {
    std::printf("\ncontrol socket, one client, default debug mask\n");
    std::printf("%-38s %-24s %s  [%s]\n", "GET_STATUS round trips per second",
                f.triple("control", "rtt_per_s", 0).c_str(), ">= 20000", verdict(j.rate));
    const std::pair<const char *, const char *> latencies[] = {
        {"  p50 latency, us", "rtt_p50_us"},
        {"  p99 latency, us", "rtt_p99_us"},
        {"  daemon CPU per round trip, us", "rtt_daemon_cpu_us"},
        {"  client CPU per round trip, us", "rtt_client_cpu_us"}};
    for (const auto &[label, m] : latencies) {
        std::printf("%-38s %-24s\n", label, f.triple("control", m, 1).c_str());
    }

    std::printf(
        "\nheap allocations after start-up (counting from listen(); %d cycles, +1000 "
        "commands, +2 s of round trips)\n",
        static_cast<int>(j.cycles));
    for (const auto &[label, r] : {std::pair{"  after cycles / commands / trips", j.alloc},
                                   std::pair{"  PowerPC musl, under qemu-ppc", j.alloc_musl}}) {
        std::printf("%-38s %lld / %lld / %lld%s  [%s]\n", label, r.cycles, r.commands, r.trips,
                    r.started ? "" : " (counter did not start)", verdict(r.ok()));
    }
    std::printf("%-38s %s  (30 / 30 / 28)\n", "  its matrix codes 2 / 1 / 0",
                j.musl_matrix.c_str());

    std::printf("\nstripped binary, bytes\n");
    std::printf("%-38s %lld / %lld\n", "  native dynamic / static", size(f, "native_dynamic"),
                size(f, "native_static"));
    std::printf("%-38s %lld / %lld\n", "  PowerPC dynamic / static", size(f, "ppc_dynamic"),
                size(f, "ppc_static"));
    std::printf("%-38s %lld  (<= 262144)  [%s]\n", "  PowerPC static musl", size(f, "ppc_musl"),
                verdict(j.musl_size));
    std::printf("%-38s %lld / %lld\n", "  musl trapwatchctl / keelson-sim",
                size(f, "ppc_musl_trapwatchctl"), size(f, "ppc_musl_keelson_sim"));

    std::map<std::string, std::string> by_name;
    for (const auto &[who, m] : f.order()) {
        if (m.rfind("strace_", 0) == 0) {
            by_name[who] += format(" %s %s,", m.c_str() + 7, num(f.median(who, m)).c_str());
        }
    }
    if (!by_name.empty()) {
        std::printf("\nsystem calls per cycle by name (strace -f -c, two cycles of repeat 1)\n");
        for (const char *who : {"trapwatch", "fping"}) {
            std::printf("  %-10s%s\n", who, by_name[who].c_str());
        }
    }
}

bool write_json(const figures &f, const judged &j, const std::string &path) {
    auto jratio = [&](const char *m) {
        const std::string r = f.ratio(m, 3);
        return r == "-" ? std::string("null") : r;
    };
    auto jalloc = [](const alloc_run &r) {
        return format(
            "\"counter_started\": %s, \"after_cycles\": %lld, \"after_commands\": %lld, "
            "\"after_round_trips\": %lld",
            json_bool(r.started), r.cycles, r.commands, r.trips);
    };
    std::ofstream o(path);
    o << "{\n  \"when\": \"" << j.when << "\",\n  \"host\": \"" << j.host
      << "\",\n  \"processors\": " << j.cpus << ",\n  \"commit\": \"" << j.commit
      << "\",\n  \"fping\": \"" << j.fping_version << "\",\n  \"window_seconds\": " << j.seconds
      << ",\n  \"cycles_per_window\": " << format("%g", j.cycles)
      << ",\n  \"repeats\": " << j.repeat
      << ",\n  \"lab\": {\"receivers\": 88, \"answering\": 30, \"refusing\": 30, \"silent\": 28, "
         "\"link\": \"veth\"},\n  \"trapwatch\": "
      << f.json_subject("trapwatch") << ",\n  \"fping_loop\": " << f.json_subject("fping")
      << ",\n  \"ratios_of_medians\": {";
    const char *ratios[] = {"cpu_ms_per_cycle", "syscalls_per_cycle", "vcsw_per_cycle",
                            "rss_end_kib",      "pss_end_kib",        "private_end_kib"};
    for (const char *m : ratios) {
        o << (m == ratios[0] ? "\"" : ", \"") << m << "\": " << jratio(m);
    }
    o << "},\n  \"control\": " << f.json_subject("control")
      << ",\n  \"host_figures\": " << f.json_subject("host") << ",\n  \"allocations\": {"
      << jalloc(j.alloc) << ", \"commands\": 1000,\n    \"ppc_musl\": {" << jalloc(j.alloc_musl)
      << ", \"matrix_codes_2_1_0\": \"" << j.musl_matrix << "\"}},\n  \"stripped_bytes\": {";
    const char *sizes[] = {"native_dynamic",      "native_static", "ppc_dynamic",
                           "ppc_static",          "ppc_musl",      "ppc_musl_trapwatchctl",
                           "ppc_musl_keelson_sim"};
    for (const char *s : sizes) {
        o << (s == sizes[0] ? "\"" : ", \"") << s << "\": " << size(f, s);
    }
    o << "},\n  \"targets\": {\"cpu\": " << json_bool(j.cpu)
      << ", \"syscalls\": " << json_bool(j.calls)
      << ", \"allocations\": " << json_bool(j.alloc.ok())
      << ", \"ppc_musl_allocations\": " << json_bool(j.alloc_musl.ok())
      << ", \"pss\": " << json_bool(j.pss) << ", \"rss_below_fping\": " << json_bool(j.rss)
      << ", \"flat\": " << json_bool(j.flat) << ", \"ppc_musl_size\": " << json_bool(j.musl_size)
      << ", \"get_status_rate\": " << json_bool(j.rate) << "}\n}\n";
    o.close();
    return static_cast<bool>(o);
}

// The first line of CMD's output and errors ("unknown" when none).
std::string first_line(const std::vector<std::string> &cmd, bool with_errors) {
    std::vector<std::string> sh = {"sh", "-c", with_errors ? "\"$@\" 2>&1" : "\"$@\"", "sh"};
    sh.insert(sh.end(), cmd.begin(), cmd.end());
    std::string out;
    capture(sh, out, true);
    out = out.substr(0, out.find('\n'));
    return out.empty() ? "unknown" : out;
}

// The sizes of the build directories PREFIX-* join the raw lines first.
int report(const std::string &raw, const std::string &json_path, int seconds, int repeat,
           const std::string &prefix, const std::string &root) {
    raw_out = std::fopen(raw.c_str(), "a");
    if (raw_out == nullptr || sizes(prefix) != 0 || std::fclose(raw_out) != 0) {
        return 1;
    }
    raw_out = stdout;
    const figures f(raw);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(json_path).parent_path(), ignored);
    judged j = judge(f, seconds, repeat);
    j.fping_version = first_line({"fping", "-v"}, true);
    j.commit = first_line({"git", "-C", root, "rev-parse", "--short", "HEAD"}, false);
    print_probers(f, j);
    print_rest(f, j);
    const bool written = write_json(f, j, json_path);
    std::printf("\nwritten: %s\n", json_path.c_str());
    return written ? 0 : 1;
}

// The smoke test's checks of a run's output: every row of the table, and in
// the JSON the figures of both probers and zero allocations after start-up
// in both builds.  No check on time.  On a failure the allocations' origins
// (the "#" lines of LOG) go to standard error.
int check(const std::string &table, const std::string &json, const std::string &log) {
    const std::string text = slurp(table);
    for (const char *row :
         {"CPU per cycle", "system calls per cycle", "voluntary context switches", "RSS at end",
          "Pss at end", "GET_STATUS round trips per second", "after cycles / commands / trips",
          "PowerPC dynamic / static", "PowerPC static musl"}) {
        if (text.find(row) == std::string::npos) {
            std::fprintf(stderr, "bench smoke: no row \"%s\" in the table\n", row);
            return 1;
        }
    }
    const char *const rows[][2] = {
        {R"("trapwatch": \{"cpu_ms_per_cycle")", "no figures of trapwatch in the JSON"},
        {R"("fping_loop": \{"cpu_ms_per_cycle")", "no figures of fping in the JSON"},
        {R"("trapwatch": \{.*"syscalls_per_cycle")", "no system call count in the JSON"},
        {R"("rtt_per_s")", "no round trips in the JSON"},
        {R"("ppc_static": [0-9]+)", "no PowerPC static size in the JSON"},
        {R"("allocations": \{"counter_started": true)", "the allocation counter did not start"},
        {R"("allocations": \{[^}]*"after_round_trips": 0,)", "the daemon allocated after start-up"},
        {R"("ppc_musl": \{"counter_started": true, "after)",
         "the musl build's allocation counter did not start"},
        {R"("ppc_musl": \{[^}]*"after_round_trips": 0,)",
         "the musl build allocated after start-up"},
        {R"("matrix_codes_2_1_0": "30 / 30 / 28")", "the musl build's matrix is not the lab's"},
        {R"("matrix_code2": \{"min": 30,)", "the lab's matrix is not 30 reachable"}};
    const std::string written = slurp(json);
    if (written.empty()) {
        std::fprintf(stderr, "bench smoke: no JSON written\n");
        return 1;
    }
    for (const auto &[pattern, what] : rows) {
        // Line by line, as a figure's braces never span lines.
        const std::regex re(pattern);
        std::istringstream lines(written);
        bool found = false;
        for (std::string l; !found && std::getline(lines, l);) {
            found = std::regex_search(l, re);
        }
        if (!found) {
            std::istringstream origins(slurp(log));
            for (std::string l; std::getline(origins, l);) {
                if (l.rfind('#', 0) == 0) {
                    std::fprintf(stderr, "%s\n", l.c_str());
                }
            }
            std::fprintf(stderr, "bench smoke: %s\n", what);
            return 1;
        }
    }
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench-stats lab\n"
                 "       | trapwatch|fping|alloc|alloc_musl REPEAT PID SECONDS DIR [RUNNER...]\n"
                 "       | report RAW JSON SECONDS REPEAT PREFIX ROOT\n"
                 "       | check TABLE JSON LOG\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> a(argv + 1, argv + argc);
    const std::string what = a.empty() ? "" : a[0];
    if (what == "lab" && a.size() == 1) {
        return lab();
    }
    if ((what == "trapwatch" || what == "fping" || what.rfind("alloc", 0) == 0) && a.size() >= 5) {
        const step s{what, a[1], a[2], std::atoi(a[3].c_str()), a[4], {a.begin() + 5, a.end()}};
        return what == "trapwatch" ? step_trapwatch(s)
               : what == "fping"   ? step_fping(s)
                                   : step_alloc(s);
    }
    if (what == "report" && a.size() == 7) {
        return report(a[1], a[2], std::atoi(a[3].c_str()), std::atoi(a[4].c_str()), a[5], a[6]);
    }
    if (what == "check" && a.size() == 4) {
        return check(a[1], a[2], a[3]);
    }
    return usage();
}
