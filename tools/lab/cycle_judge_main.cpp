// cycle-judge: runs the week's scenario around a daemon on a sped-up clock and
// judges it in the daemon's cycles, from the receivers' side of the link.
//
//   cycle-judge --cycles N --lib scripts/lib.sh --noise icmp-noise [--wrap] -- DAEMON...
//
// Builds the receivers' network (namespace twweek, tw_rxnet_up of lib.sh),
// writes the configuration (tw_config), stands in for the controller
// (keelson_stub), starts DAEMON (the daemon under libfaketime), announces the
// controller and then, counting cycles by the echo requests to the first
// receiver, plays the schedule below until N cycles have passed.  Everything
// is judged from what crosses the link, read with a packet socket on the
// receivers' end of it and ordered by the kernel's time stamps, together with
// the records at the controller:
//   - every receiver's echo sequence rises by one per cycle, no gap, no
//     repeat, no cycle without its echo; 65535 is followed by 0 (a wrap);
//   - every answered echo is followed by its UDP probe before the next echo;
//   - the debounce, in cycles: a receiver that stops answering (or whose trap
//     port refuses) is reported at the end of exactly its fourth such cycle, one
//     that answers again at the end of its first (a refusal may come up to four
//     cycles late, counted apart: see close_cycle);
//   - each report is a whole refresh sequence, 382(1) 308 407 382(0), or 407
//     alone after a re-read without the set-default parameter, every record of
//     it carrying the codes seen on the link in that cycle.
// Like the real controller, it fetches the status after every report (the
// fetcher thread): the daemon reports nothing while the codes equal those
// last fetched.
// Ends with the daemon's TERMINATE and one line:
//   week: C cycles, W wraps, G sequence gaps, P missing probes, D debounce
//   errors, R refresh errors, fds A -> B, VmRSS X -> Y kB
// and exits 0 when all of G, P, D, R are 0 and descriptors and memory are flat.
// Tool code: the heap and threads are used freely.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/packet.h"
#include "tools/ctl_client.h"
#include "tools/keelson_stub.h"
#include "tools/number.h"
#include "util/bytes.h"

namespace {

using clock_type = std::chrono::system_clock;
using namespace std::chrono_literals;

constexpr const char *netns = "twweek";
constexpr size_t matrix_len = tw_rows;  // the status codes a record carries
constexpr uint32_t mgmt = 0xC0000201;   // 192.0.2.1, tw_rxnet_up's management address
constexpr uint16_t trap_port = 162;
constexpr size_t dead_cycles_to_report = 4;  // a removal is reported after the fourth

// The receivers, in the order of group c1 (so each row's index is its place
// here).  192.0.2.14 joins with the re-read; nobody holds 192.0.2.15.
struct receiver {
    const char *text;
    bool held;
    bool configured;  // in the daemon's table now
    uint32_t ip = 0;
    int fd = -1;  // its trap listener, when listening

    // What crossed the link in the current cycle.
    int seq = -1;
    uint64_t cycle = 0;  // the judge's cycle of the last echo
    bool answered = false, probed = false, refused = false;
    bool reset_ok = true;  // the next echo may start again at 1 (a rebuild)
    uint32_t wraps = 0;
    bool wrap_unanswered = false;  // the echo with sequence 0 got no answer

    // The debounce as the daemon must keep it, and what the controller was told.
    bool up = false, told_up = false;
    size_t alive_run = 0, dead_run = 0;
    bool claimed = false;        // a report in this cycle claimed its change
    bool claimed_alive = false;  // ... judging this cycle alive
    bool late = false;           // its refusal may be reported late (below)
};
std::array<receiver, 6> rx{{{"192.0.2.10", true, true},
                            {"192.0.2.11", true, true},
                            {"192.0.2.12", true, true},
                            {"192.0.2.13", true, true},
                            {"192.0.2.15", false, true},
                            {"192.0.2.14", true, false}}};
constexpr size_t clock_rx = 0, leaver = 1, wrap_leaver = 2, refuser = 3, joiner = 5;

struct counts {
    uint64_t cycles = 0, wraps = 0, gaps = 0, probes = 0, debounce = 0, refresh = 0;
    uint64_t stalled = 0;  // probes a burst of ICMP noise held up (not errors)
    uint64_t late = 0;     // refusals reported after the 4th cycle (not errors)
} n;

// A burst of noise whose wrong replies each cost the receive thread a log
// exchange and a paced dump, in real time: on a loaded machine a sped-up
// cycle can pass before it sees an answer.  At the real pace the same stall
// is a fraction of a step.  While one runs (and 20 cycles after), an answered
// echo without its probe is counted apart; the daemon then found the receiver
// silent, and the debounce is judged as such.
pid_t noise_pid = -1;
uint64_t noise_until = 0;
bool noisy() {
    return noise_pid > 0 || n.cycles < noise_until;
}

volatile sig_atomic_t stop_requested = 0;
void on_stop(int) {
    stop_requested = 1;
}

int error_lines = 0;
void fault(uint64_t *counter, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void fault(uint64_t *counter, const char *fmt, ...) {
    ++*counter;
    if (++error_lines > 40) {
        return;
    }
    std::fprintf(stderr, "cycle-judge: cycle %llu: ", static_cast<unsigned long long>(n.cycles));
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

// ------------------------------------------------------------ processes ---
std::vector<pid_t> children;  // spawned and not yet reaped

pid_t spawn(const std::vector<std::string> &args, const char *out = "/dev/null",
            bool quiet = false) {
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (quiet) {
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    if (pid > 0) {
        children.push_back(pid);
    }
    return pid;
}

bool run(const std::vector<std::string> &args, const char *out = "/dev/null", bool quiet = false) {
    const pid_t pid = spawn(args, out, quiet);
    int status = 0;
    const bool ok =
        pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::erase(children, pid);
    return ok;
}

void reap() {
    std::erase_if(children, [](pid_t p) {
        if (waitpid(p, nullptr, WNOHANG) != p) {
            return false;
        }
        if (p == noise_pid) {
            noise_pid = -1;
            noise_until = n.cycles + 20;
        }
        return true;
    });
}

std::string lib;  // scripts/lib.sh, whose functions are the one recipe for each
bool lib_run(const std::vector<std::string> &args) {
    std::vector<std::string> a{"bash", lib};
    a.insert(a.end(), args.begin(), args.end());
    return run(a);
}

// ----------------------------------------------------------- namespaces ---
// Runs f with this thread in the receivers' network namespace.
template <typename F>
bool in_netns(F f) {
    const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int there = open((std::string("/run/netns/") + netns).c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = home >= 0 && there >= 0 && setns(there, CLONE_NEWNET) == 0;
    if (ok) {
        ok = f();
        if (setns(home, CLONE_NEWNET) != 0) {
            std::perror("cycle-judge: setns back");
            std::exit(1);
        }
    }
    close(home);
    close(there);
    return ok;
}

bool listen_on(receiver &r) {
    return in_netns([&r] {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(trap_port);
        a.sin_addr.s_addr = htonl(r.ip);
        int one = 1;
        r.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        return r.fd >= 0 && setsockopt(r.fd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one) == 0 &&
               bind(r.fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    });
}

// Both directions of the receivers' end of the link, with kernel time stamps.
int open_capture() {
    int fd = -1;
    in_netns([&fd] {
        // ETH_P_ALL: a socket for one protocol never sees what the host sends.
        fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL));
        sockaddr_ll a{};
        a.sll_family = AF_PACKET;
        a.sll_protocol = htons(ETH_P_ALL);
        a.sll_ifindex = static_cast<int>(if_nametoindex((std::string(netns) + "-r").c_str()));
        int one = 1, size = 16 << 20;
        return fd >= 0 && a.sll_ifindex > 0 &&
               setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) == 0 &&
               setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0 &&
               bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    });
    return fd;
}

// ----------------------------------------------------------- controller ---
struct record {
    clock_type::time_point time;
    int32_t cmd, param;
    std::array<uint8_t, matrix_len> matrix;
};
std::mutex records_mu;
std::deque<record> records;  // refresh records not yet judged, in arrival order
std::unique_ptr<keelson_stub> controller;
bool gate_open = false;               // the controller is there and announced
clock_type::time_point gate_open_at;  // since then
bool gate_shut_in_cycle = true;       // ... was not, at some moment of this cycle
bool gate_shut_last_cycle = true;

bool ctl(int32_t cmd, int32_t param, ctl_outcome *out = nullptr) {
    ctl_outcome o = ctl_exchange(trapwatch_sock_path, cmd, param, 3s);
    if (out != nullptr) {
        *out = o;
    }
    return o.fail == ctl_fail::none && o.reply.cmd == 0;
}

// Like the real controller, the status is fetched after every report, at
// once: the judge may lag the link by many cycles.  The daemon publishes the
// reported codes just after the report's last answer, so the fetch repeats
// (bounded) until it gets them.
std::mutex fetch_mu;
std::condition_variable fetch_cv;
std::optional<std::array<uint8_t, matrix_len>> fetch_want;
bool fetch_stop = false;
// 32 bits: a 64-bit atomic is not lock-free on the 32-bit target.
std::atomic<uint32_t> fetch_failures{0};
std::array<uint8_t, matrix_len> fetched{};  // the codes last fetched (under fetch_mu)

void fetcher() {
    std::unique_lock<std::mutex> l(fetch_mu);
    for (;;) {
        fetch_cv.wait(l, [] { return fetch_stop || fetch_want.has_value(); });
        if (fetch_stop) {
            return;
        }
        const auto want = *fetch_want;
        fetch_want.reset();
        l.unlock();
        // A few milliseconds at most: each fetch records the codes it gets,
        // and the next pass may already have changed them.
        bool got = false;
        ctl_outcome o;
        for (int tries = 0; tries < 10 && !got; ++tries) {
            got = ctl(TRAPWATCH_CMD_GET_STATUS, 0, &o) &&
                  std::memcmp(o.reply.data, want.data(), matrix_len) == 0;
            if (!got) {
                usleep(200);
            }
        }
        if (!got) {
            ++fetch_failures;
            std::fprintf(stderr, "cycle-judge: GET_STATUS never showed the reported codes\n");
        }
        l.lock();
        std::memcpy(fetched.data(), o.reply.data, matrix_len);
    }
}

void controller_up() {
    keelson_stub_setup s;
    s.observer = [](const keelson_request &r) {
        if (r.whole() && r.cmd != keelson_cmd_log) {
            record rec{r.time, r.cmd, r.param, {}};
            std::memcpy(rec.matrix.data(), r.data.data(), matrix_len);
            std::lock_guard<std::mutex> l(records_mu);
            records.push_back(rec);
        }
        // The last record of a sequence: 382(0), or 407(0) alone.
        if (r.whole() && r.param == 0 &&
            (r.cmd == keelson_cmd_refresh_begin || r.cmd == keelson_cmd_refresh_apply)) {
            std::lock_guard<std::mutex> l(fetch_mu);
            fetch_want.emplace();
            std::memcpy(fetch_want->data(), r.data.data(), matrix_len);
            fetch_cv.notify_one();
        }
    };
    controller.reset();
    controller = std::make_unique<keelson_stub>(keelson_sock_path, std::move(s));
    gate_open = ctl(TRAPWATCH_CMD_KEELSON_START, 0);
    gate_open_at = clock_type::now();
}

void controller_down() {
    gate_open = false;
    gate_shut_in_cycle = true;
    controller.reset();
}

// ------------------------------------------------------------- judging ---
enum class seq_state { idle, mid, apply, end };
seq_state expect = seq_state::idle;
std::array<uint8_t, matrix_len> seq_matrix{};
bool short_expected = false;  // a re-read without the set-default parameter is pending
bool reopen_due = false;

bool alive_now(const receiver &r) {
    return r.answered && r.probed && !r.refused;
}

uint8_t code_now(const receiver &r) {
    return r.answered ? (r.probed && !r.refused ? 2 : 1) : 0;
}

// Would the daemon's pass at the end of this cycle change r's status?
bool changes_now(const receiver &r, bool alive) {
    if (!r.up) {
        return alive;
    }
    const size_t run = r.dead_run + 1;
    return !alive && (run == dead_cycles_to_report || (r.late && run <= 2 * dead_cycles_to_report));
}

// A report begins: claim the changes it answers, check its codes.
void report_begins(const record &rec) {
    bool any = false;
    for (receiver &r : rx) {
        if (!r.configured || r.seq < 0) {
            continue;
        }
        const bool alive = alive_now(r);
        if (changes_now(r, alive) && !r.claimed) {
            r.claimed = true;
            r.claimed_alive = alive;
            any = true;
        }
        any = any || r.up != r.told_up;  // a change made while nobody listened
    }
    if (!any) {
        fault(&n.debounce, "a report without a change at the 1st or %zuth cycle",
              dead_cycles_to_report);
    }
    for (size_t i = 0; i < matrix_len; ++i) {
        const uint8_t want = i < rx.size() && rx[i].configured ? code_now(rx[i]) : 0;
        const bool stalled = want == 1 && !rx[i].probed && noisy();  // 0 or 1
        if (rec.matrix[i] != want && !(stalled && rec.matrix[i] == 0)) {
            fault(&n.refresh, "report carries code %u for row %zu, the link says %u", rec.matrix[i],
                  i, want);
            break;
        }
    }
    for (receiver &r : rx) {
        r.told_up = r.claimed ? !r.up : r.up;
    }
    // A refusing port listens again once its removal is reported: after
    // that a late report would show it reachable for a pass.
    reopen_due = rx[refuser].claimed && rx[refuser].up;
    seq_matrix = rec.matrix;
}

void judge_record(const record &rec) {
    struct step {
        int32_t cmd, param;
        seq_state next;
    };
    // The full sequence after its 382(1): 308(1), 407(1), 382(0).
    static const step steps[] = {{keelson_cmd_refresh_mid, 1, seq_state::apply},
                                 {keelson_cmd_refresh_apply, 1, seq_state::end},
                                 {keelson_cmd_refresh_begin, 0, seq_state::idle}};
    if (expect != seq_state::idle) {
        const step &s = steps[static_cast<int>(expect) - 1];
        if (rec.cmd == s.cmd && rec.param == s.param && rec.matrix == seq_matrix) {
            expect = s.next;
            return;
        }
        fault(&n.refresh, "record %d(%d) where %d(%d) belongs", rec.cmd, rec.param, s.cmd, s.param);
        expect = seq_state::idle;
    }
    const bool is_short = rec.cmd == keelson_cmd_refresh_apply && rec.param == 0;
    const bool is_full = rec.cmd == keelson_cmd_refresh_begin && rec.param == 1;
    if (!is_short && !is_full) {
        fault(&n.refresh, "record %d(%d) outside a sequence", rec.cmd, rec.param);
        return;
    }
    if (is_short != short_expected) {
        fault(&n.refresh, "a %s sequence where a %s one belongs", is_short ? "short" : "full",
              short_expected ? "short" : "full");
    }
    report_begins(rec);
    short_expected = false;
    expect = is_short ? seq_state::idle : seq_state::mid;
}

void judge_records_before(clock_type::time_point t) {
    for (;;) {
        record rec;
        {
            std::lock_guard<std::mutex> l(records_mu);
            if (records.empty() || records.front().time >= t) {
                return;
            }
            rec = records.front();
            records.pop_front();
        }
        judge_record(rec);
    }
}

// The cycle of r ends with its next echo request.
void close_cycle(receiver &r) {
    const bool alive = r.claimed ? r.claimed_alive : alive_now(r);
    if (r.answered && !r.probed && noisy()) {
        ++n.stalled;
    } else if (r.answered && !r.probed) {
        fault(&n.probes, "%s answered echo %d but got no UDP probe", r.text, r.seq);
    }
    const bool changes = changes_now(r, alive);
    r.alive_run = alive ? r.alive_run + 1 : 0;
    r.dead_run = alive ? 0 : r.dead_run + 1;
    r.late = r.late && !alive;
    if (changes && !r.claimed && !gate_shut_last_cycle && r.refused &&
        r.dead_run < 2 * dead_cycles_to_report) {
        // The port-unreachable report has one step to reach the receive
        // thread before the pass: when it came after, the pass took the port
        // for reachable and the count began again.  Refusals only; a silent
        // receiver is judged to the cycle.
        if (!r.late) {
            ++n.late;
        }
        r.late = true;
    } else if (changes) {
        r.late = false;
        r.up = !r.up;
        if (!r.claimed && !gate_shut_last_cycle) {
            uint8_t last = 0;
            {
                std::lock_guard<std::mutex> l(fetch_mu);
                last = fetched[static_cast<size_t>(&r - rx.data())];
            }
            fault(&n.debounce, "%s went %s after %zu cycles, nobody was told (last fetched: %u)",
                  r.text, r.up ? "up" : "down", r.up ? r.alive_run : r.dead_run, last);
            r.told_up = r.up;
        }
    }
    r.wrap_unanswered = r.wrap_unanswered || (r.seq == 0 && !r.answered);
    r.claimed = false;
    r.answered = r.probed = r.refused = false;
}

void echo_request(receiver &r, int seq) {
    if (r.seq >= 0) {
        close_cycle(r);
    }
    if (seq == 1 && r.reset_ok && r.seq != 0) {
        // A rebuilt table: every row starts again at 1, status 0.
        r.reset_ok = false;
        r.up = r.told_up = false;
        r.alive_run = r.dead_run = 0;
    } else if (seq != ((r.seq + 1) & 0xffff) || r.seq < 0) {
        fault(&n.gaps, "%s sequence %d after %d", r.text, seq, r.seq);
    } else if (seq == 0) {
        ++r.wraps;
        ++n.wraps;
    }
    if (r.cycle != 0 && r.cycle + 1 != n.cycles && &r != &rx[clock_rx]) {
        fault(&n.gaps, "%s had no echo for %llu cycles", r.text,
              static_cast<unsigned long long>(n.cycles - r.cycle - 1));
    }
    r.seq = seq;
    r.cycle = n.cycles;
}

receiver *find(uint32_t ip) {
    for (receiver &r : rx) {
        if (r.ip == ip) {
            return &r;
        }
    }
    return nullptr;
}

// One packet as the IP layer sees it; outgoing: sent by the receivers' side.
// Returns true when it began a cycle.  The records at the controller are
// judged when the next cycle begins, against what the link carried before:
// the daemon sends the next echo only after the sequence, and the packets of
// one direction keep their order, but a packet's time stamp on this side can
// come later than the record it led to.
bool judge_packet(const uint8_t *p, size_t len, bool outgoing, clock_type::time_point when) {
    if (len < 28 || (p[0] >> 4) != 4) {
        return false;
    }
    const size_t ihl = static_cast<size_t>(p[0] & 0x0f) * 4;
    const uint32_t src = load_be32(p + echo_pkt::ip_src), dst = load_be32(p + echo_pkt::ip_dst);
    const uint8_t *l4 = p + ihl;
    if (ihl < 20 || len < ihl + 8) {
        return false;
    }
    receiver *r = find(outgoing ? src : dst);
    if (r == nullptr || (outgoing ? dst : src) != mgmt) {
        return false;
    }
    const size_t row = static_cast<size_t>(r - rx.data());
    if (p[echo_pkt::ip_proto] == IPPROTO_UDP) {
        r->probed = r->probed || (!outgoing && load_be16(l4 + 2) == trap_port);
        return false;
    }
    if (p[echo_pkt::ip_proto] != IPPROTO_ICMP) {
        return false;
    }
    const uint8_t type = l4[echo_pkt::icmp_type];
    const int seq = load_be16(l4 + echo_pkt::icmp_seq);
    const bool ours = load_be16(l4 + echo_pkt::icmp_id) == echo_pkt::identifier &&
                      len >= ihl + 10 && l4[echo_pkt::icmp_group] == 0 &&
                      l4[echo_pkt::icmp_index] == row;
    if (!outgoing && type == 8 && ours) {
        const bool starts = row == clock_rx;
        if (starts) {
            judge_records_before(when);
            ++n.cycles;
            gate_shut_last_cycle = gate_shut_in_cycle;
            gate_shut_in_cycle = !gate_open || when <= gate_open_at;
        }
        echo_request(*r, seq);
        return starts;
    }
    if (outgoing && type == 0 && ours && seq == r->seq) {
        r->answered = true;
    } else if (outgoing && type == 3 && len >= ihl + 8 + 24 && l4[8 + 9] == IPPROTO_UDP &&
               load_be32(l4 + 8 + 16) == r->ip && load_be16(l4 + 8 + 22) == trap_port) {
        r->refused = true;
    }
    return false;
}

// ------------------------------------------------------------- schedule ---
// A block of disturbances every 1000 cycles (and a re-read in the first),
// each 20 cycles or more from the last so that one report answers one change.
// The trap port refuses only in every tenth block, and listens again as soon
// as its removal is reported: a port-unreachable report has one step to reach
// the receive thread before the pass, 1 ms of real time at x1000, which a
// loaded machine missed about once in 650 refused cycles.
uint64_t rebuild_cycle = 0;  // of the re-read's rebuilt table: the wrap is 65535 later
std::string next_config;

// In order, one at a time: the judge reads the packets of the meantime later.
void address(receiver &r, bool hold) {
    if (!lib_run({"tw_rxnet_addr", netns, hold ? "add" : "del", r.text})) {
        fault(&n.refresh, "cannot %s %s", hold ? "add" : "remove", r.text);
    }
}

void listen_again(receiver &r) {
    if (r.fd < 0 && !listen_on(r)) {
        fault(&n.refresh, "cannot listen on %s again", r.text);
    }
}

void cycle_begins(const std::string &noise) {
    if (reopen_due) {
        reopen_due = false;
        listen_again(rx[refuser]);
    }
    const uint64_t c = n.cycles, b = c % 1000, wrap = rebuild_cycle + 65535;
    // The wrap's own disturbance: the receiver away across it, taken away
    // well before (the judge may lag the link by tens of cycles).
    receiver &w = rx[wrap_leaver];
    if (w.seq == 65500 && w.wraps == 0) {
        address(w, false);
    } else if (w.seq == 8 && w.wraps == 1) {
        address(w, true);
    }
    if (rebuild_cycle != 0 && c + 1200 > wrap && c < wrap + 200) {
        return;  // no other disturbance near it
    }
    switch (b) {
        case 30:
        case 125:
            address(rx[leaver], false);
            break;
        case 50:
        case 160:
            address(rx[leaver], true);
            break;
        case 70:  // the trap port starts refusing, in every tenth block (above)
            if (c % 10000 == 70) {
                close(rx[refuser].fd);
                rx[refuser].fd = -1;
            }
            break;
        case 100:  // unless its removal was reported before (report_begins)
            listen_again(rx[refuser]);
            break;
        case 120:
            controller_down();
            break;
        case 140:
            controller_up();
            break;
        case 180:
            noise_pid = spawn({"ip", "netns", "exec", netns, noise, "24", "--rate", "50"});
            break;
        case 250:
            if (c == 250) {
                // A changed configuration: 192.0.2.14 joins.  Re-read without
                // the set-default parameter: answered by 407 alone.
                rename(next_config.c_str(), "/mnt/params/cfparams.txt");
                rx[joiner].configured = true;
                for (receiver &r : rx) {
                    r.reset_ok = true;
                }
                short_expected = ctl(TRAPWATCH_CMD_RESTART, 0);
                rebuild_cycle = c;
            }
            break;
        default:
            break;
    }
}

// ------------------------------------------------------------ the daemon ---
struct usage_sample {
    long fds = -1, rss_kb = -1;
};

usage_sample sample(pid_t pid) {
    usage_sample s;
    // The fewest of a few looks: a controller exchange may hold one for a moment.
    for (int look = 0; look < 5; ++look) {
        long count = 0;
        DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
        for (dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
            count += e->d_name[0] != '.' ? 1 : 0;
        }
        if (d != nullptr) {
            closedir(d);
        }
        s.fds = s.fds < 0 || count < s.fds ? count : s.fds;
        usleep(2000);
    }
    FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    char line[256];
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
        std::sscanf(line, "VmRSS: %ld", &s.rss_kb);
    }
    if (f != nullptr) {
        std::fclose(f);
    }
    return s;
}

struct options {
    uint64_t want = 0;
    std::string noise;
    bool need_wrap = false;
    std::vector<std::string> daemon;
};

// The command line; false for a usage error.
bool parse_options(int argc, char **argv, options &o) {
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string a = argv[i];
        if (a == "--wrap") {
            o.need_wrap = true;
        } else if (i + 1 < argc && a == "--cycles") {
            long v = 0;
            o.want = read_number(argv[++i], 300, 100000000, &v) ? static_cast<uint64_t>(v) : 0;
        } else if (i + 1 < argc && a == "--lib") {
            lib = argv[++i];
        } else if (i + 1 < argc && a == "--noise") {
            o.noise = argv[++i];
        } else {
            break;
        }
    }
    if (o.want < 300 || lib.empty() || o.noise.empty() || i + 1 >= argc ||
        std::strcmp(argv[i], "--") != 0) {
        return false;
    }
    o.daemon.assign(argv + i + 1, argv + argc);
    return true;
}

// The network, both configurations, the listeners; the capture's socket,
// or -1.
int set_up_receivers() {
    std::vector<std::string> up{"bash", lib, "tw_rxnet_up", netns, "0"};
    std::vector<std::string> first{"bash", lib, "tw_config", "192.0.2.1", "162:"};
    std::string unheld;
    for (receiver &r : rx) {
        inet_pton(AF_INET, r.text, &r.ip);
        r.ip = ntohl(r.ip);
        if (r.held) {
            up.emplace_back(r.text);
        } else {
            unheld = r.text;
        }
        if (r.configured) {
            first.back() += std::string(first.back().back() == ':' ? "" : ",") + r.text;
        }
    }
    up.insert(up.end(), {"--", unheld});
    std::vector<std::string> second = first;
    second.back() += std::string(",") + rx[joiner].text;
    next_config = "/mnt/params/cfparams.next";  // beside it: renamed over it
    bool ok = run(up) && run(first, "/mnt/params/cfparams.txt") && run(second, next_config.c_str());
    for (receiver &r : rx) {
        ok = ok && (!r.held || listen_on(r));
    }
    return ok ? open_capture() : -1;
}

// Starts the daemon and announces the controller once the daemon serves.
bool start_daemon(const std::vector<std::string> &daemon) {
    // Its "cmd connect" errors while the controller is away are expected.
    if (!run(daemon, "/dev/null", true)) {
        return false;
    }
    for (int t = 0; !ctl(TRAPWATCH_CMD_GET_VER, 0); ++t) {
        if (t == 50) {
            std::fprintf(stderr, "cycle-judge: the daemon does not answer\n");
            return false;
        }
        usleep(100000);
    }
    controller_up();
    return true;
}

// Judges every packet the capture holds now, with the kernel's time of its
// passing; true when one of them began a cycle.
bool judge_captured(int cap, const std::string &noise) {
    bool began = false;
    for (;;) {
        uint8_t buf[2048];
        sockaddr_ll from{};
        alignas(cmsghdr) char ctrl[256];
        iovec iov{buf, sizeof buf};
        msghdr m{};
        m.msg_name = &from;
        m.msg_namelen = sizeof from;
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = ctrl;
        m.msg_controllen = sizeof ctrl;
        const ssize_t got = recvmsg(cap, &m, MSG_DONTWAIT);
        if (got <= 0) {
            return began;
        }
        clock_type::time_point when = clock_type::now();
// musl's CMSG_NXTHDR converts a signed pointer difference inside the macro.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts;
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                when = clock_type::time_point(std::chrono::duration_cast<clock_type::duration>(
                    std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
            }
        }
#pragma GCC diagnostic pop
        if (from.sll_protocol == htons(ETH_P_IP) &&
            judge_packet(buf, static_cast<size_t>(got), from.sll_pkttype == PACKET_OUTGOING,
                         when)) {
            cycle_begins(noise);
            began = true;
        }
    }
}

// The run itself until `want` cycles, a stop request or a stalled daemon;
// the daemon's use at cycle 300 goes to first_use.  0, or 1 for a failure.
int watch(int cap, const options &o, pid_t pid, usage_sample &first_use) {
    auto last_cycle = std::chrono::steady_clock::now();
    while (stop_requested == 0 && n.cycles < o.want) {
        pollfd p{cap, POLLIN, 0};
        poll(&p, 1, 100);
        reap();
        for (receiver &r : rx) {
            char sink[64];
            while (r.fd >= 0 && recv(r.fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
            }
        }
        const uint64_t before = n.cycles;
        if (judge_captured(cap, o.noise)) {
            last_cycle = std::chrono::steady_clock::now();
            if (before < 300 && n.cycles >= 300 && first_use.fds < 0) {
                first_use = sample(pid);
            }
        }
        if (std::chrono::steady_clock::now() - last_cycle > 10s) {
            std::fprintf(stderr, "cycle-judge: no echo request for 10 s\n");
            return 1;
        }
    }
    return 0;
}

// The end: the daemon stops as commanded, the rest goes with the network.
void tear_down(std::thread &fetch_thread) {
    ctl(TRAPWATCH_CMD_TERMINATE, 0);
    for (int t = 0; t < 50 && ctl_lock_holder() > 0; ++t) {
        usleep(100000);
    }
    for (pid_t c : children) {
        kill(c, SIGTERM);
        waitpid(c, nullptr, 0);
    }
    controller.reset();
    {
        std::lock_guard<std::mutex> l(fetch_mu);
        fetch_stop = true;
        fetch_cv.notify_one();
    }
    fetch_thread.join();
    n.refresh += fetch_failures;
    run({"bash", lib, "tw_rxnet_down", netns});
}

// The two closing lines; 0 when the run passed, else 1.
int report(const options &o, double secs, const usage_sample &first_use,
           const usage_sample &last_use) {
    std::printf(
        "cycle-judge: %.0f s, %.0f cycles a second; %s away across its wrap: %s; "
        "probes held up by noise: %llu; refusals reported late: %llu\n",
        secs, static_cast<double>(n.cycles) / secs, rx[wrap_leaver].text,
        rx[wrap_leaver].wrap_unanswered ? "yes" : "no", static_cast<unsigned long long>(n.stalled),
        static_cast<unsigned long long>(n.late));
    std::printf(
        "week: %llu cycles, %llu wraps, %llu sequence gaps, %llu missing probes, %llu debounce "
        "errors, %llu refresh errors, fds %ld -> %ld, VmRSS %ld -> %ld kB\n",
        static_cast<unsigned long long>(n.cycles), static_cast<unsigned long long>(n.wraps),
        static_cast<unsigned long long>(n.gaps), static_cast<unsigned long long>(n.probes),
        static_cast<unsigned long long>(n.debounce), static_cast<unsigned long long>(n.refresh),
        first_use.fds, last_use.fds, first_use.rss_kb, last_use.rss_kb);
    bool wrapped = true;
    for (const receiver &r : rx) {
        wrapped = wrapped && (!r.configured || r.wraps > 0);
    }
    int rc = 0;
    if (o.need_wrap && (!wrapped || !rx[wrap_leaver].wrap_unanswered)) {
        std::fprintf(stderr, "cycle-judge: not every receiver wrapped while away and back\n");
        rc = 1;
    }
    const bool flat = last_use.fds <= first_use.fds && last_use.rss_kb <= first_use.rss_kb * 9 / 8;
    if (n.gaps + n.probes + n.debounce + n.refresh != 0 || !flat || n.cycles < o.want ||
        stop_requested != 0) {
        rc = 1;
    }
    return rc;
}

}  // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse_options(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: cycle-judge --cycles N (300 or more) --lib LIB.sh --noise ICMP-NOISE "
                     "[--wrap] -- DAEMON...\n");
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const int cap = set_up_receivers();
    if (cap < 0) {
        std::fprintf(stderr, "cycle-judge: cannot set up the receivers' side\n");
        return 1;
    }
    std::thread fetch_thread(fetcher);
    int rc = start_daemon(o.daemon) ? 0 : 1;
    const pid_t pid = ctl_lock_holder();
    const auto start = std::chrono::steady_clock::now();
    usage_sample first_use, last_use;
    if (rc == 0) {
        rc = watch(cap, o, pid, first_use);
    }
    judge_records_before(clock_type::now() - 100ms);
    last_use = sample(pid);
    tpacket_stats st{};
    socklen_t st_len = sizeof st;
    getsockopt(cap, SOL_PACKET, PACKET_STATISTICS, &st, &st_len);
    if (st.tp_drops != 0) {
        std::fprintf(stderr, "cycle-judge: the capture lost %u packets: not judged whole\n",
                     st.tp_drops);
        rc = 1;
    }
    tear_down(fetch_thread);
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report(o, secs, first_use, last_use) != 0 ? 1 : rc;
}
