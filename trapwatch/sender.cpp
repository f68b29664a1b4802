#include "trapwatch/sender.h"

#include <arpa/inet.h>
#include <linux/icmp.h>  // ICMP_FILTER (the only ICMP header included here)
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/packet.h"
#include "params/cmd_msg.h"
#include "params/params.h"
#include "trapwatch/status.h"
#include "trapwatch/worker.h"
#include "util/bytes.h"
#include "util/cpu.h"
#include "util/errors.h"
#include "util/state.h"
#include "util/trace.h"

namespace {

constexpr const char *unit = "trapwatch";
constexpr useconds_t step_us = 1000000;  // one step of the cycle
constexpr int ticks_per_cycle = 5;
constexpr int tick_ping = 0, tick_udp = 3, tick_eval = 4;

// Everything the thread owns; one thread runs at a time.
struct sender_state {
    int udp_fd;
    int raw_fd;
    uint8_t pkt[echo_pkt::total_len];  // built once, patched per row
    sockaddr_in echo_dst;
    sockaddr_in udp_dst;
    uint8_t udp_payload[udp_probe_len];
    // Dotted text for this thread's own traces.  Kept apart from prnt_ip, which
    // the receive thread writes, so the two threads never share a buffer.
    char ip_text[16];
};

bool probed_row(entry_t &e) {
    return load_relaxed(e.ip) != 0 && load_relaxed(e.is_dup) == 0;
}

// Step 0, first half: the re-read RESTART asked for.  0 or the reader's code.
int refresh_params() {
    if (reread_params.load(std::memory_order_relaxed) == 0) {
        return 0;
    }
    const int r = process_params(entries.data(), &mgmt_ip);
    if (r != 0) {
        daemon_log(2, "%s(%d): process_params() failed\n", __func__, __LINE__);
        return r;
    }
    sprint_ip(mgmt_if_ip, mgmt_ip);
    refresh_snmp_conf.store(refresh_attempts, std::memory_order_relaxed);
    reread_params.store(0, std::memory_order_relaxed);
    reread_params_finish.store(1, std::memory_order_relaxed);
    return 0;
}

// Step 0, second half: one echo request per distinct receiver.
int send_ping(sender_state &st) {
    int result = 0;
    if (enable_send.load(std::memory_order_relaxed) == 0) {
        return result;
    }
    tty_prnt(dbg_monitor_cycle, "%s:%s(%d): enter\n\r", unit, __func__, __LINE__);
    uint8_t *const icmp = st.pkt + echo_pkt::ip_hdr_len;
    for (entry_t &e : entries) {
        if (!probed_row(e)) {
            continue;
        }
        const uint32_t ip = load_relaxed(e.ip);
        uint16_t seq = load_relaxed(e.seq);
        sprint_ip(st.ip_text, ip);
        tty_prnt(dbg_monitor_cycle, "%s:%s(%d): dst ip: %s\n", unit, __func__, __LINE__,
                 st.ip_text);
        tty_prnt(dbg_monitor_cycle, "%s:%s(%d): seq: %d\n", unit, __func__, __LINE__, seq);

        st.echo_dst.sin_addr.s_addr = htonl(ip);
        prepare_ip_hdr_second_stage(st.pkt, ip);
        icmp[echo_pkt::icmp_group] = load_relaxed(e.group);
        icmp[echo_pkt::icmp_index] = load_relaxed(e.index);
        prepare_icmp_hdr_second_stage(icmp, &seq);
        store_relaxed(e.seq, seq);
        // Cleared after seq moved on, so a late reply to the previous request
        // (whose seq no longer matches) cannot set it again.
        mark_twins(e, &entry_t::ping_ok, 0);

        const ssize_t n =
            sendto(st.raw_fd, st.pkt, sizeof st.pkt, 0,
                   reinterpret_cast<const sockaddr *>(&st.echo_dst), sizeof st.echo_dst);
        if (n > 0) {
            tty_prnt(dbg_monitor_cycle, "%s:%s(%d): send bytes %d\n", unit, __func__, __LINE__,
                     static_cast<int>(n));
        } else {
            result = TW_ERR_FAILED;
        }
    }
    tty_prnt(dbg_monitor_cycle, "%s:%s(%d): exit\n\r", unit, __func__, __LINE__);
    return result;
}

// Step 3: a UDP probe to the trap port of every receiver that answered.
void send_udp(sender_state &st) {
    tty_prnt(dbg_monitor_cycle, "%s:%s(%d): enter\n\r", unit, __func__, __LINE__);
    for (entry_t &e : entries) {
        if (!probed_row(e) || load_relaxed(e.ping_ok) == 0) {
            continue;
        }
        const uint32_t ip = load_relaxed(e.ip);
        const uint16_t port = load_relaxed(e.port);
        st.udp_dst.sin_addr.s_addr = htonl(ip);
        st.udp_dst.sin_port = htons(port);
        sprint_ip(st.ip_text, ip);
        tty_prnt(dbg_monitor_cycle, "%s:%s(%d): dst ip: %s\n", unit, __func__, __LINE__,
                 st.ip_text);
        tty_prnt(dbg_monitor_cycle, "%s:%s(%d): port: %d\n", unit, __func__, __LINE__, port);

        // The mark goes up before the send: on a link without latency the
        // receiver's port-unreachable can be handled by the receive thread
        // before sendto returns here, and a mark set afterwards would wipe out
        // that report.  If the send fails, the old marks are put back.
        uint8_t before[tw_rows];
        for (int r = 0; r < tw_rows; ++r) {
            before[r] = load_relaxed(entries[static_cast<size_t>(r)].udp_ok);
        }
        mark_twins(e, &entry_t::udp_ok, 1);

        const ssize_t n =
            sendto(st.udp_fd, st.udp_payload, sizeof st.udp_payload, 0,
                   reinterpret_cast<const sockaddr *>(&st.udp_dst), sizeof st.udp_dst);
        tty_prnt(dbg_monitor_cycle, "%s:%s(%d): send bytes %d\n", unit, __func__, __LINE__,
                 static_cast<int>(n));
        if (n <= 0) {
            for_each_twin(
                e, [&before](entry_t &t) { store_relaxed(t.udp_ok, before[&t - entries.data()]); });
        }
    }
    tty_prnt(dbg_monitor_cycle, "%s:%s(%d): exit\n\r", unit, __func__, __LINE__);
}

// The UDP socket and the raw ICMP socket, bound to the management address,
// and the echo request's fixed part.  0, or the thread's failure code.
int open_sockets(sender_state &st) {
    st.udp_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (st.udp_fd < 0) {
        return worker_fail(send_thread_status, TW_ERR_SOCKET_CREATE, "send_thread", __LINE__,
                           "open udp ping socked failed", errno);
    }
    st.udp_dst.sin_family = AF_INET;

    st.raw_fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (st.raw_fd < 0) {
        const int err = errno;
        close(st.udp_fd);
        return worker_fail(send_thread_status, TW_ERR_SOCKET_CREATE, "send_thread", __LINE__,
                           "open udp ping socked failed", err);
    }

    // The source stays what mgmt_ip is now, also after a later re-read.
    prepare_ip_hdr_first_stage(st.pkt, static_cast<uint16_t>(echo_pkt::total_len), mgmt_ip);
    int hdrincl = -1;
    (void)setsockopt(st.raw_fd, IPPROTO_IP, IP_HDRINCL, &hdrincl, sizeof hdrincl);
    // This socket only sends; the receive thread reads the replies on its
    // own socket.  Filtering every ICMP type keeps the kernel from queueing a
    // copy of each received packet here, where nobody would read it.  A
    // failure only costs that buffer.
    icmp_filter none{~0u};
    (void)setsockopt(st.raw_fd, SOL_RAW, ICMP_FILTER, &none, sizeof none);
    prepare_icmp_hdr_first_stage(st.pkt + echo_pkt::ip_hdr_len, echo_pkt::identifier);
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    net_set_dist_addr(&local, mgmt_if_ip, 0);
    if (bind(st.raw_fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        const int err = errno;
        close(st.raw_fd);
        close(st.udp_fd);
        return worker_fail(send_thread_status, TW_ERR_SOCKET_BIND, "send_thread", __LINE__,
                           "bind ping ping socked failed", err);
    }
    st.echo_dst.sin_family = AF_INET;
    return 0;
}

// One step of the cycle; step_result carries step 0's result to step 3.
void run_step(sender_state &st, int tick, int &step_result) {
    switch (tick) {
        case tick_ping:
            step_result = refresh_params();
            if (step_result == 0) {
                step_result = send_ping(st);
            }
            break;
        case tick_udp:
            if (step_result == 0 && enable_send.load(std::memory_order_relaxed) != 0) {
                send_udp(st);
            }
            break;
        case tick_eval:
            if (reread_params.load(std::memory_order_relaxed) == 0) {
                check_status();
            }
            break;
        default:
            break;  // steps 1 and 2 leave the replies time to arrive
    }
}

}  // namespace

int send_thread() {
    worker_start(__func__, __LINE__);
    sender_state st;
    std::memset(&st, 0, sizeof st);
    if (const int r = open_sockets(st); r != 0) {
        return r;
    }

    int tick = 0;
    int step_result = 0;  // written by step 0 alone, read by step 3 of the same cycle
    while (stopping_flag.load(std::memory_order_relaxed) == 0) {
        usleep(step_us);
        // Tested again after the pause, so no step starts once a stop has begun.
        if (stopping_flag.load(std::memory_order_relaxed) != 0) {
            break;
        }
        run_step(st, tick, step_result);
        tick = (tick + 1) % ticks_per_cycle;
    }

    close(st.raw_fd);
    close(st.udp_fd);
    return worker_end(send_thread_status, __func__, __LINE__);
}
