// The daemon's unit as tables in process (evaluation, replies, control, the stop in death
// tests) with the controller stand-in; then the real send and receive threads over veth.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "net/packet.h"
#include "tests/support/expect.h"
#include "tests/support/keelson_text.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"
#include "trapwatch/control.h"
#include "trapwatch/receiver.h"
#include "trapwatch/sender.h"
#include "trapwatch/status.h"
#include "trapwatch/stop.h"
#include "util/bytes.h"
#include "util/state.h"
#include "util/trace.h"

// ThreadSanitizer: the handler's exit() runs destructors in the signal; forked children go on.
extern "C" const char *__tsan_default_options() {
    return "report_signal_unsafe=0 atexit_sleep_ms=0 die_after_fork=0";
}

namespace {

using namespace std::chrono_literals;
using lines = std::vector<std::string>;
const std::string &full = tw_test::refresh_sequence;

// Row r: group r / 8, index r % 8, 198.51.100.r on port 16200 + group, seq
// 0x100 + r, marks 0 (udp_ok as given); the flags as at start, the console quiet.
void fresh(uint8_t udp_ok = 0) {
    std::memset(entries.data(), 0, sizeof entries);
    for (size_t r = 0; r < entries.size(); ++r) {
        entries[r].group = static_cast<uint8_t>(r / 8);
        entries[r].index = static_cast<uint8_t>(r % 8);
        entries[r].ip = 0xC6336400u + static_cast<uint32_t>(r);
        entries[r].port = static_cast<uint16_t>(16200 + r / 8);
        entries[r].seq = static_cast<uint16_t>(0x0100 + r);
        entries[r].udp_ok = udp_ok;
    }
    std::memset(entries_status, 0, sizeof entries_status);
    std::memset(sent_entries_status, 0, sizeof sent_entries_status);
    entries_index.store(0);
    refresh_snmp_conf.store(refresh_attempts);
    for (auto *w : {&keelson_started, &reread_params, &reread_params_finish, &called_from_set_df})
        w->store(0);
    dbg_level.store(0);
}
entry_t &marks(size_t r, int ping, int udp) {
    entries[r].ping_ok = static_cast<uint8_t>(ping);
    entries[r].udp_ok = static_cast<uint8_t>(udp);
    return entries[r];
}
// The stand-in got exactly these log lines ("{N}": digits), then forgets them.
void expect_lines(keelson_stub &k, const lines &want) {
    const auto got = k.requests();
    k.clear();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(tw_test::text_matches(got[i].text(), want[i])) << got[i].text();
    }
}

bool closed(int fd) {
    return fcntl(fd, F_GETFD) == -1;
}
cmd_msg_t serve(int32_t cmd, int32_t param = 0) {
    cmd_msg_t req{cmd, param, {}, {}, 0, {}}, resp{};
    serve_request(req, &resp);
    return resp;
}

TEST(check_status, codes_now_and_a_status_change_on_the_fourth_miss) {
    fresh();
    struct pass {       // row 5's, one pass each
        int ping, udp;  // the marks
        int code;       // in the half built (the older half keeps the last)
        int status, fails;
    };
    const pass steps[] = {{1, 1, 2, 1, 0}, {1, 0, 1, 1, 1}, {0, 1, 0, 1, 2}, {1, 1, 2, 1, 0},
                          {0, 0, 0, 1, 1}, {0, 0, 0, 1, 2}, {0, 0, 0, 1, 3}, {0, 0, 0, 0, 0}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto [ping, udp, code, status, fails] = steps[i];
        const pass was = i > 0 ? steps[i - 1] : pass{};
        refresh_snmp_conf.store(0);
        marks(5, ping, udp);
        const uint32_t half = entries_index.load() ^ 1;  // built, then published
        check_status();
        EXPECT_EQ(
            (std::array<int, 6>{static_cast<int>(entries_index.load()), entries_status[half][0][5],
                                entries_status[half ^ 1][0][5], entries[5].status,
                                static_cast<int>(entries[5].fail_count), refresh_snmp_conf.load()}),
            (std::array<int, 6>{static_cast<int>(half), code, was.code, status, fails,
                                status != was.status ? refresh_attempts : 0}));
    }
    // After a change in a pass, later failing rows go at once, earlier ones count.
    marks(1, 0, 0).status = marks(9, 0, 0).status = 1;
    marks(2, 1, 1);
    check_status();
    EXPECT_EQ((std::array{entries[1].status, entries[2].status, entries[9].status}),
              (std::array<uint8_t, 3>{1, 1, 0}));
    // A pending re-read skips the whole pass: nothing written, nothing published.
    reread_params.store(1);
    const uint32_t published = entries_index.load();
    check_status();
    EXPECT_EQ(entries_index.load(), published);
}

// The published half, read as GET_STATUS reads it.
std::array<uint8_t, tw_rows> published() {
    std::array<uint8_t, tw_rows> m;
    const uint32_t half = entries_index.load(std::memory_order_acquire);
    for (size_t i = 0; i < m.size(); ++i) m[i] = load_relaxed(entries_status[half][i / 8][i % 8]);
    return m;
}
// The stand-in's commands, "cmd(param) " each, all with this pid and the half just built.
std::string refresh_sent(const keelson_stub &k) {
    std::string out;
    for (const keelson_request &r : k.requests()) {
        out += std::to_string(r.cmd) + "(" + std::to_string(r.param) + ") ";
        cmd_msg_t want{r.cmd, r.param, {}, {}, getpid(), {}};
        std::memcpy(want.data, published().data(), tw_rows);
        EXPECT_EQ(0, std::memcmp(r.raw.data(), &want, sizeof want)) << out;
    }
    return out;
}

// In order: the request lives on, so a lone 407 carries the param the row before left.
TEST(check_status, refresh_handshake_outcomes) {
    std::atomic<int> *flags[] = {&keelson_started, &called_from_set_df, &reread_params_finish};
    struct handshake_case {
        const char *name;
        std::array<int32_t, 3> answers;  // the stand-in's to 382, 308, 407; 0 accepts
        std::array<int, 3> before;       // the flags: controller started, set-default, re-read done
        std::string sent;                // by every pass
        std::vector<int> left;           // refresh_snmp_conf after each pass
        std::array<int, 4> after;        // the flags, then sent_entries_status[0]
        uint8_t seen = 0;                // group 0's first code as GET_STATUS left it
    };
    constexpr int n = refresh_attempts;
    // clang-format off
    const handshake_case cases[] = {
        {"full, 308 accepted: paused", {0, 0, 0}, {1, 1, 1}, full, {0}, {1, 0, 0, 0}},
        {"full, 308 refused", {0, -9, 0}, {1, 0, 0}, full, {0}, {1, 0, 0, 0}},
        {"382 refused: no attempt used", {-4, 0, 0}, {1, 0, 0}, "382(1) ", {n, n}, {1, 0, 0, 0}},
        {"re-read: 407 alone", {0, 0, 0}, {1, 0, 1}, "407(1) ", {0}, {1, 0, 0, 0}},
        {"407 fails thrice", {0, -9, -5}, {1, 1, 0}, full, {n - 1, n - 2, 0}, {1, 1, 0, 0}},
        {"re-read, 407 fails thrice", {0, 0, -5}, {1, 0, 1}, "407(0) ", {n - 1, n - 2, 0}, {1, 0, 1, 0}},
        {"before KEELSON_START", {0, 0, 0}, {0, 0, 0}, "", {n, n}, {0, 0, 0, 0}},
        // Only group 0 is compared; then 0xFF, no code, makes the next pass differ.
        {"group 0 as GET_STATUS saw it", {0, 0, 0}, {1, 0, 0}, "", {0}, {1, 0, 0, 255}, 1},
    };
    // clang-format on
    keelson_stub k;
    for (const handshake_case &c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        for (size_t i = 0; i < 3; ++i) k.set_status(std::array{382, 308, 407}[i], c.answers[i]);
        for (size_t i = 0; i < 3; ++i) flags[i]->store(c.before[i]);
        sent_entries_status[0] = c.seen;
        marks(0, 1, 0);   // code 1 in group 0, no change
        marks(20, 1, 1);  // group 2 comes up: a change
        for (int left : c.left) {
            k.clear();
            check_status();
            EXPECT_EQ(refresh_sent(k), c.sent);
            const auto got = k.requests();  // a successful 308 is followed by a pause
            EXPECT_TRUE(got.size() != 4 || (got[2].time - got[1].time > 1900ms) == !c.answers[1]);
            EXPECT_EQ(refresh_snmp_conf.load(), left);
        }
        EXPECT_EQ((std::array{flags[0]->load(), flags[1]->load(), flags[2]->load(),
                              int{sent_entries_status[0]}}),
                  c.after);
        k.clear();
        check_status();
        EXPECT_TRUE(c.left.back() != 0 || k.count() == 0) << "done: quiet until a change";
    }
}

using packet = std::array<uint8_t, recv_buf_len>;
constexpr size_t icmp = echo_pkt::ip_hdr_len;  // behind a bare IPv4 header
constexpr uint32_t twin_ip = 0xCB007105;       // 203.0.113.5

// An ICMP message with the fields of an echo reply; the source is not judged.
packet echo(uint8_t type, uint16_t id, uint16_t seq, uint8_t group, uint8_t index) {
    packet p{};
    p[icmp + echo_pkt::icmp_type] = type;
    store_be16(&p[icmp + echo_pkt::icmp_id], id);
    store_be16(&p[icmp + echo_pkt::icmp_seq], seq);
    p[icmp + echo_pkt::icmp_group] = group;
    p[icmp + echo_pkt::icmp_index] = index;
    return p;
}
// A destination-unreachable report quoting a datagram sent to ip:port.
packet unreachable(uint8_t code, uint8_t proto, uint32_t ip, uint16_t port) {
    packet p = echo(3, 0, 0, 0, 0);
    p[icmp + echo_pkt::icmp_code] = code;
    p[icmp + 8 + echo_pkt::ip_proto] = proto;  // the quoted header, then its UDP header
    store_be32(&p[icmp + 8 + echo_pkt::ip_dst], ip);
    store_be16(&p[icmp + 8 + echo_pkt::ip_hdr_len + 2], port);
    return p;
}
std::vector<int> rows_with(uint8_t entry_t::*mark, uint8_t value) {
    std::vector<int> out;
    for (size_t r = 0; r < entries.size(); ++r)
        if (entries[r].*mark == value)
            out.push_back(static_cast<int>(r));
    return out;
}

TEST(receiver, reply_kinds) {
    const std::string wrong = "recv_thread({N}): wrong reply: ";
    struct reply_case {
        packet p;
        std::vector<int> marked, cleared;  // ping_ok set, udp_ok cleared
        lines logged = {};
    };
    const reply_case cases[] = {
        {echo(0, 22, 0x0100 + 42, 5, 2), {42}, {}},
        {echo(0, 22, 0x0100 + 3, 0, 3), {3, 19}, {}},   // twins together
        {echo(0, 22 << 8, 0x0100 + 42, 5, 2), {}, {}},  // identifier byte-swapped
        {echo(0, 22, 0x0100, 0, 8), {}, {}, {wrong + "\n"}},
        {echo(0, 22, 0x0100, 11, 0), {}, {}, {wrong + "\n"}},
        {echo(0, 22, 0x0100 + 18, 2, 3), {}, {}, {wrong + "entry: 2, ip: 3\n"}},  // late
        {echo(0, 0, 0x0100, 0, 0), {}, {}},                 // identifier 0, as a short one reads
        {echo(8, 22, 0x0100 + 42, 5, 2), {}, {}},           // an echo request
        {unreachable(1, 17, 0xC6336432, 16206), {}, {50}},  // row 50; the code is not judged
        {unreachable(3, 6, 0xC6336432, 16206), {}, {}},     // about TCP
        {unreachable(3, 17, 0xC6336432, 16209), {}, {}},    // another port
        {unreachable(3, 17, 0xC6336432, 0x4E3F), {}, {}},   // the port byte-swapped
        {unreachable(3, 17, twin_ip, 16200), {}, {3, 19}},
        {unreachable(3, 17, twin_ip, 16203), {}, {27}},
    };
    keelson_stub k;
    for (const reply_case &c : cases) {
        SCOPED_TRACE(&c - cases);
        fresh(1);
        entries[3].ip = entries[19].ip = entries[27].ip = twin_ip;  // 27 on its own port
        entries[19].port = 16200;
        entries[3].has_dups = entries[19].is_dup = 1;  // 3 and 19 (groups 0, 2) are twins
        recv_handle_packet(c.p.data(), 84);
        EXPECT_EQ(rows_with(&entry_t::ping_ok, 1), c.marked);
        EXPECT_EQ(rows_with(&entry_t::udp_ok, 0), c.cleared);
        expect_lines(k, c.logged);
    }
    // The wrong reply's 16 bytes from the group byte, on the console.
    dbg_level.store(dbg_level_default);
    const size_t before = tw_test::console().size();
    packet p = echo(0, 22, 0x0100, 11, 0);
    for (size_t b = icmp + 10; b < icmp + 24; ++b) p[b] = static_cast<uint8_t>(b);
    recv_handle_packet(p.data(), 84);
    const std::string dump =
        "recv_thread({N})\n0000: 0b 00 1e 1f  20 21 22 23    24 25 26 27  28 29 2a 2b \n";
    auto out = [&] { return tw_test::console().substr(before); };
    EXPECT_TRUE(tw_test::wait_until([&] { return tw_test::text_matches(out(), dump); }, 3s))
        << out();
}

// Also run big-endian, where a width or sign slip in the offsets shows.
TEST(receiver, garbage_of_every_length_changes_nothing_but_the_marks) {
    fresh();
    const auto table = entries;
    std::mt19937 rng(20261205);
    for (size_t len = 0; len <= recv_buf_len; ++len) {
        for (bool random : {true, false}) {  // random bytes, then all ones
            packet p{};
            for (size_t b = 0; b < len; ++b) p[b] = static_cast<uint8_t>(random ? rng() : 0xFF);
            recv_handle_packet(p.data(), static_cast<ssize_t>(len));
            for (uint8_t type : {uint8_t{0}, uint8_t{3}}) {  // rarely so by chance
                p[icmp] = type;
                store_be16(&p[icmp + echo_pkt::icmp_id], echo_pkt::identifier);
                recv_handle_packet(p.data(), static_cast<ssize_t>(len));
            }
        }
    }
    for (entry_t &e : entries) e.ping_ok = e.udp_ok = 0;
    EXPECT_EQ(0, std::memcmp(entries.data(), table.data(), sizeof table));
}

// Commands 0..13 but 4 and 12 (they end the process: see the stop routine) and two
// out of range, in order from the words and the debug mask (0) as the row before left.
TEST(control_dispatch, every_command_in_turn) {
    struct ctl_case {
        int32_t cmd;
        std::array<int, 5> words;  // enable_send, reread, set-default, started, sent[0]
        uint64_t dbg;
        std::vector<const char *> trace;  // console lines after "trapwatch:cmd_proccesing(N): "
        std::string data = "";            // the reply's, before its zero fill
        int32_t param = 0, reply = 0;
    };
    std::string half[2] = {std::string(tw_rows, '\1'), std::string(tw_rows, '\2')};
    // The mask as the debug commands leave it, one class added after another.
    constexpr uint64_t kc = dbg_keelson_cmd, ki = kc | dbg_init, kip = ki | dbg_proc,
                       cyc = kip | dbg_monitor_cycle, all = cyc | dbg_monitor;
    const char *ver = tw_test::version.c_str();
    // clang-format off
    const ctl_case cases[] = {
        {14, {0, 0, 0, 0, 255}, 0, {}, "", 0, -103},
        {-1, {0, 0, 0, 0, 255}, 0, {}, "", 0, -103},
        {10, {0, 0, 0, 0, 255}, kc, {}},                          // gated by the bit it sets
        {5, {0, 0, 0, 1, 255}, kc, {"cmd: 5", "KEELSON_START"}},  // and nothing clears it
        {0, {0, 1, 1, 1, 255}, kc, {"cmd: 0", "RESTART", "called from set default"}, "", 1},
        {0, {0, 1, 0, 1, 255}, kc, {"cmd: 0", "RESTART", "called from snmp apply"}},
        {1, {0, 1, 0, 1, 2}, kc, {"cmd: 1", "GET_STATUS"}, half[1]},
        {3, {1, 1, 0, 1, 255}, kc, {"cmd: 3"}},
        {2, {0, 1, 0, 1, 255}, kc, {"cmd: 2", "STOP"}},
        {7, {0, 1, 0, 1, 255}, ki, {"cmd: 7", "DBG_INIT", "exit"}},
        {8, {0, 1, 0, 1, 255}, kip, {"cmd: 8", "DBG_INIT", "exit"}},  // DBG_PROC, shown so
        {9, {0, 1, 0, 1, 255}, cyc, {"cmd: 9", "TRAPWATCH_CMD_DBG_MONITOR_CYCLE", "exit"}},
        {11, {0, 1, 0, 1, 255}, all, {"cmd: 11", "TRAPWATCH_CMD_DBG_MONITOR", "exit"}},
        {13, {0, 1, 0, 1, 255}, all, {"cmd: 13", "GET_VER", "exit"}, ver},
        {6, {0, 1, 0, 1, 255}, dbg_level_default, {"cmd: 6", "DBG_OFF"}},
        {7, {0, 1, 0, 1, 255}, dbg_level_default | dbg_init, {"exit"}},
    };
    // clang-format on
    keelson_stub k;
    fresh();
    std::memcpy(entries_status, (half[0] + half[1]).data(), sizeof entries_status);
    entries_index.store(1);
    for (const ctl_case &c : cases) {
        SCOPED_TRACE(c.cmd);
        std::memset(sent_entries_status, 0xFF, sizeof sent_entries_status);
        cmd_msg_t want{c.reply, 0, {}, {}, 0, {}};
        std::memcpy(want.data, c.data.data(), c.data.size());
        const size_t mark = tw_test::console().size();
        const cmd_msg_t resp = serve(c.cmd, c.param);
        EXPECT_EQ(0, std::memcmp(&resp, &want, sizeof resp)) << "reply " << resp.cmd;
        EXPECT_EQ(c.words,
                  (std::array{enable_send.load(), reread_params.load(), called_from_set_df.load(),
                              keelson_started.load(), int{sent_entries_status[0]}}));
        EXPECT_EQ(dbg_level.load(), c.dbg);
        std::string trace;
        for (const char *line : c.trace)
            trace += "trapwatch:cmd_proccesing({N}): " + std::string(line) + "\n\r";
        auto out = [&] { return tw_test::console().substr(mark); };
        EXPECT_TRUE(tw_test::wait_until([&] { return tw_test::text_matches(out(), trace); }, 3s))
            << out();
        const lines logged{"p_cmd_loop({N}) unsupported command: " + std::to_string(c.cmd) +
                           "\n\r"};
        expect_lines(k, c.reply == 0 ? lines{} : logged);
    }
}

// A child ending with code after min_s s or more (42: its own checks held); re-executed,
// so it may start threads, but forked under qemu-user (no binfmt handler to re-execute).
void death_row(const char *name, int code, double min_s, void (*body)()) {
    SCOPED_TRACE(name);
    GTEST_FLAG_SET(death_test_style, TW_EMULATOR[0] == '\0' ? "threadsafe" : "fast");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EXIT(body(), testing::ExitedWithCode(code), "");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::duration<double>(min_s));
}
// The exit-now path with a child that exited with code (not collected), runs on (0)
// or was killed (-1); SIGCHLD routed after its end, as in the launcher.
void exit_now_with_child(int code) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(code > 0 ? code : static_cast<int>(sleep(1)));  // 0 after the second
    child_pid.store(pid);
    if (code < 0)
        kill(pid, SIGKILL);
    siginfo_t info;
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | (code == 0 ? WNOHANG : 0));
    route_signal(SIGCHLD);
    clean_and_exit(0, 1, 7);
}
int sig_raised;  // raised on this thread after the routing, as the daemon has them
void raise_routed() {
    route_signal(SIGCHLD);
    route_signal(sig_raised);
    raise(sig_raised);
    usleep(1000000);  // ThreadSanitizer delivers it at the next call it intercepts
    std::_Exit(1);
}

TEST(stop_routine, paths_signals_and_the_commands_that_end_the_process) {
    death_row("exit now, child exited", 156, 0, [] { exit_now_with_child(156); });
    death_row("exit now, child running", 0, 0, [] { exit_now_with_child(0); });
    death_row("exit now, child killed: a pause whose SIGCHLD leaves 123", 123, 0.9,
              [] { exit_now_with_child(-1); });
    death_row("exit now, no child: the first nonzero code wins", tw_test::exit_already_loaded, 0,
              [] {
                  c_exit_code.store(TW_ERR_ALREADY_LOADED);
                  clean_and_exit(-100, 1, 7);
              });
    // Closing each descriptor once, surviving its pause's SIGCHLD; then done for good.
    death_row("daemon mode", 42, 0.9, [] {
        route_signal(SIGCHLD);
        std::atomic<int> *words[] = {&recv_sock, &cmd_sock, &lock_file};
        int fds[3];
        for (int i = 0; i < 3; ++i) words[i]->store(fds[i] = open("/dev/null", O_RDONLY));
        clean_and_exit(0, 0, 7);
        bool ok = child_killed.load() == 1;
        for (int i = 0; i < 3; ++i) ok = ok && closed(fds[i]) && words[i]->load() == 0;
        lock_file.store(open("/dev/null", O_RDONLY));
        clean_and_exit(-100, 0, 8);
        std::exit(ok && !closed(lock_file.load()) && c_exit_code.load() == 0 ? 42 : 1);
    });
    death_row("a second stop during the pause waits for the first", 42, 0.9, [] {
        route_signal(SIGCHLD);
        std::thread first([] { clean_and_exit(0, 0, 7); });
        usleep(300000);  // the first is in its pause now
        clean_and_exit(0, 0, 8);
        const bool waited = child_killed.load() == 1;
        first.join();
        std::exit(waited ? 42 : 1);
    });
    for (int sig : {SIGUSR1, SIGUSR2, SIGCHLD, SIGSEGV, SIGTERM, SIGHUP}) {
        sig_raised = sig;  // TERM and HUP run the stop, with its pause
        death_row(strsignal(sig), 0, sig == SIGTERM || sig == SIGHUP ? 0.9 : 0, raise_routed);
    }
    death_row("DBG_SEG_FAULT ends the process through the handler", 0, 0, [] {
        route_signal(SIGSEGV);
        serve(TRAPWATCH_CMD_DBG_SEG_FAULT);
        std::_Exit(1);
    });
    static pthread_t term_to;  // SIGTERM's thread, during TERMINATE's pause
    for (bool same_thread : {true, false}) {
        term_to = same_thread ? pthread_self() : pthread_t{};
        death_row(
            same_thread ? "TERMINATE returns after the stop and its pause, SIGTERM in it"
                        : "a SIGTERM on another thread in the pause waits for TERMINATE",
            42, 0.9, [] {
                route_signal(SIGCHLD);
                route_signal(SIGTERM);
                const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
                cmd_sock.store(listening);
                std::thread other([] {
                    const pthread_t to = term_to == pthread_t{} ? pthread_self() : term_to;
                    usleep(300000);
                    pthread_kill(to, SIGTERM);
                    usleep(2000000);  // the handler holds this thread till the stop ends
                });
                other.detach();
                const cmd_msg_t resp = serve(TRAPWATCH_CMD_TERMINATE);
                std::exit(resp.cmd == 0 && child_killed.load() == 1 && closed(listening) ? 42 : 1);
            });
    }
}

// The real threads over scripts/lib.sh's receivers' network (veth, neighbours pinned):
// row 0 192.0.2.10:16200 listening -> 2, 1 .11 refused -> 1, 2 .12 held by nobody -> 0,
// 3 .13 listening, taken away later; 8 .10:16200 twin of 0; 16 .10:16202 refused -> 1.

// What left here since the last call, from a packet socket on the link, as
// "ping .D seq S row G/I" or "udp .D:PORT"; echo requests' bytes checked too.
void capture(int fd, std::multiset<std::string> &sent) {
    uint8_t p[2048];
    sockaddr_ll ll{};
    socklen_t len = sizeof ll;
    for (ssize_t n; (n = recvfrom(fd, p, sizeof p, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&ll),
                                  &len)) > 0;) {
        const std::string to = "." + std::to_string(p[19]);
        if (ll.sll_pkttype != PACKET_OUTGOING || ll.sll_protocol != htons(ETH_P_IP)) {
            continue;
        } else if (p[9] == 17) {
            sent.insert("udp " + to + ":" + std::to_string(load_be16(p + 22)));
        } else if (p[9] == 1 && p[20] == 8) {
            ASSERT_EQ(n, 84);
            // Version and length, TTL, source, code, identifier, zero payload, checksums.
            EXPECT_EQ(
                (std::array<uint32_t, 8>{p[0], p[8], load_be32(p + 12), p[21], load_be16(p + 24),
                                         static_cast<uint32_t>(std::count(p + 30, p + 84, 0)),
                                         in_cksum(p, 20), in_cksum(p + 20, 64)}),
                (std::array<uint32_t, 8>{0x45, 64, 0xC0000201, 0, 22, 54, 0, 0}));
            sent.insert("ping " + to + " seq " + std::to_string(load_be16(p + 26)) + " row " +
                        std::to_string(p[28]) + "/" + std::to_string(p[29]));
        }
    }
}
// The receive socket's next recv() fails once with this errno (0: none).
std::atomic<int> recv_fails{0};
}  // namespace
extern "C" ssize_t recv(int fd, void *buf, size_t n, int flags) {
    if (fd == recv_sock.load() && recv_fails.load() != 0) {
        errno = recv_fails.exchange(0);
        return -1;
    }
    return recvfrom(fd, buf, n, flags, nullptr, nullptr);
}
// The fortified form that some builds call instead.
extern "C" ssize_t __recv_chk(int fd, void *buf, size_t n, size_t, int flags) {
    return recv(fd, buf, n, flags);
}
namespace {

bool next_pass() {  // one every 5 s
    const uint32_t before = entries_index.load();
    return tw_test::wait_until([&] { return entries_index.load() != before; }, 12s);
}

TEST(network, probes_codes_refresh_and_stop_over_a_veth_link) {
    ASSERT_EQ(0,
              tw_test::sh(tw_test::lib_sh +
                          "tw_rxnet_up twrx 0 192.0.2.10 192.0.2.11 192.0.2.13 -- 192.0.2.12 && " +
                          tw_test::lib_sh +
                          "tw_config 192.0.2.1 16200:192.0.2.10,192.0.2.11,192.0.2.12,192.0.2.13 "
                          "16200:192.0.2.10 16202:192.0.2.10 >" +
                          params_path));
    ASSERT_EQ(
        0, tw_test::sh("ip netns exec twrx " TW_EMULATOR " " TW_BINARY_DIR
                       "/tools/lab/trap-listener 192.0.2.10:16200 192.0.2.13:16200 >/dev/null &"));
    const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL));  // sent too
    const sockaddr_ll ll{
        AF_PACKET, htons(ETH_P_ALL), static_cast<int>(if_nametoindex("twrx-m")), 0, 0, 0, {}};
    ASSERT_EQ(0, bind(fd, reinterpret_cast<const sockaddr *>(&ll), sizeof ll));
    ASSERT_EQ(0, process_params(entries.data(), &mgmt_ip));
    keelson_stub k;
    // A receive thread bound to an address not held ends at once, leaving no socket.
    std::strcpy(mgmt_if_ip, "192.0.2.77");
    const int fds = tw_test::count_open_fds();
    EXPECT_EQ(recv_thread(), -117);
    expect_lines(k, {"recv_thread({N}): bind ping ping socked failed: \"" +
                     std::string(strerror(EADDRNOTAVAIL)) + "\"\n\r"});
    EXPECT_TRUE(tw_test::wait_until([&] { return tw_test::count_open_fds() == fds; }, 1s));
    sprint_ip(mgmt_if_ip, mgmt_ip);
    k.set_status(308, -1);  // no two-second pause
    // The receive thread's result is -117 by now; the send thread's is set apart from 0.
    for (auto *w : {&keelson_started, &enable_send, &send_thread_status}) w->store(1);
    recv_sock_released.store(0);        // as at start: the failed thread above set it
    std::thread(recv_thread).detach();  // never joined, as in the daemon
    ASSERT_TRUE(tw_test::wait_until([] { return recv_sock.load() != 0; }, 3s));
    std::thread(send_thread).detach();

    // The first pass: codes, a request per address and port, UDP to those answering.
    ASSERT_TRUE(next_pass());
    std::array<uint8_t, tw_rows> want{};
    want[0] = want[3] = want[8] = 2;
    want[1] = want[16] = 1;
    EXPECT_EQ(published(), want);
    std::multiset<std::string> sent;
    capture(fd, sent);
    EXPECT_EQ(sent,
              (std::multiset<std::string>{"ping .10 seq 1 row 0/0", "ping .11 seq 1 row 0/1",
                                          "ping .12 seq 1 row 0/2", "ping .13 seq 1 row 0/3",
                                          "ping .10 seq 1 row 2/0", "udp .10:16200",
                                          "udp .11:16200", "udp .13:16200", "udp .10:16202"}));
    EXPECT_EQ(refresh_sent(k), full) << "carrying the codes";

    // Row 3's receiver goes away: code 0 at once, status on the fourth miss.
    ASSERT_EQ(0, tw_test::sh(tw_test::lib_sh + "tw_rxnet_addr twrx del 192.0.2.13"));
    k.clear();
    want[3] = 0;
    ASSERT_TRUE(next_pass());
    sent.clear();  // what left before the removal: no later look
    if (load_relaxed(entries[3].fail_count) == 0) {
        // Under load the removal can outlast the pause before the next echo request,
        // then answered and probed: the next pass is the first miss.
        capture(fd, sent);
        sent.clear();
        ASSERT_TRUE(next_pass());
    }
    for (uint32_t miss = 1; miss <= 3; ++miss) {
        EXPECT_EQ(published(), want);
        EXPECT_EQ(load_relaxed(entries[3].status) * 10 + load_relaxed(entries[3].fail_count),
                  10 + miss);
        ASSERT_TRUE(next_pass());  // the fourth miss after the third
        capture(fd, sent);         // read as it comes: the socket's buffer is bounded
    }
    EXPECT_EQ(load_relaxed(entries[3].status), 0);
    EXPECT_EQ(refresh_sent(k), full);
    EXPECT_EQ(sent.count("udp .13:16200"), 0u) << "a UDP probe to a silent receiver";

    // A failed receive is logged with its own errno, even when the trace after
    // it fails too (the console gone).
    ASSERT_EQ(rename(tty_path, "/dev/ttyS0.away"), 0);
    dbg_level.store(dbg_monitor_cycle);
    k.clear();
    recv_fails.store(EIO);  // the receive after the next reply fails
    EXPECT_TRUE(k.wait_for(1, 12s));
    EXPECT_TRUE(tw_test::text_matches(
        k.requests().at(0).text(),
        "recv_thread({N}): recvfrom() failed on error \"" + std::string(strerror(EIO)) + "\"\n\r"));
    dbg_level.store(0);
    ASSERT_EQ(rename("/dev/ttyS0.away", tty_path), 0);

    // The stop, as the daemon's: both end with status 0 and no error line.
    k.clear();
    stopping_flag.store(1);
    close_word(recv_sock, close_mode::shut_down, &recv_sock_released);
    EXPECT_TRUE(tw_test::wait_until(
        [] { return recv_thread_status.load() == 0 && send_thread_status.load() == 0; }, 2s));
    EXPECT_EQ(k.count(), 0u);
}

}  // namespace
