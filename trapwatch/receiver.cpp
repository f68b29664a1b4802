#include "trapwatch/receiver.h"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "net/packet.h"
#include "params/cmd_msg.h"
#include "trapwatch/worker.h"
#include "util/bytes.h"
#include "util/cpu.h"
#include "util/errors.h"
#include "util/state.h"
#include "util/trace.h"

char prnt_ip[16];
std::atomic<int> recv_sock_released{0};

namespace {

constexpr const char *unit = "trapwatch";

// Bytes of a received ICMP packet; the IPv4 header in front is taken as 20
// bytes long, whatever its length field says.
//
//   20 type (0 echo reply, 3 destination unreachable)
//   echo reply:   24-25 identifier   26-27 sequence   28 group   29 index
//   unreachable:  28.. returned IPv4 header: 37 protocol, 44-47 destination;
//                 48.. its UDP header: 50-51 destination port
namespace rx {
inline constexpr size_t type = 20, echo_id = 24, echo_seq = 26, echo_group = 28, echo_index = 29,
                        ret_hdr = 28, ret_proto = 37, ret_dst = 44, ret_dport = 50;
inline constexpr size_t udp_dport = 2;  // a UDP header's destination port
inline constexpr uint8_t type_echo_reply = 0, type_unreachable = 3;
inline constexpr int wrong_reply_dump_len = 16;
static_assert(ret_proto == ret_hdr + echo_pkt::ip_proto && ret_dst == ret_hdr + echo_pkt::ip_dst &&
              ret_dport == ret_hdr + echo_pkt::ip_hdr_len + udp_dport &&
              ret_dport + 2 <= static_cast<size_t>(recv_buf_len));
static_assert(echo_group == type + echo_pkt::icmp_group && echo_seq == type + echo_pkt::icmp_seq);
}  // namespace rx

void handle_echo_reply(const uint8_t *buf) {
    // Our own requests always carry this identifier; anything else is not ours.
    if (load_be16(buf + rx::echo_id) != echo_pkt::identifier) {
        return;
    }
    const unsigned g = buf[rx::echo_group];
    const unsigned i = buf[rx::echo_index];
    if (g >= static_cast<unsigned>(tw_groups) || i >= static_cast<unsigned>(tw_group_size)) {
        daemon_log(2, "%s(%d): wrong reply: \n", "recv_thread", __LINE__);
        tty_print_buf(buf + rx::echo_group, rx::wrong_reply_dump_len, 0, "recv_thread", __LINE__,
                      dump_variant::daemon);
        return;
    }
    entry_t &row = entries[g * tw_group_size + i];
    // A late reply to an earlier request must not mark the row for the newer one.
    if (load_relaxed(row.seq) != load_be16(buf + rx::echo_seq)) {
        daemon_log(2, "%s(%d): wrong reply: entry: %d, ip: %d\n", "recv_thread", __LINE__,
                   static_cast<int>(g), static_cast<int>(i));
        return;
    }
    mark_twins(row, &entry_t::ping_ok, 1);
}

void handle_unreachable(const uint8_t *buf) {
    if (buf[rx::ret_proto] != IPPROTO_UDP) {
        return;  // only our UDP probes are of interest
    }
    entry_t *row = look_for_entry(load_be32(buf + rx::ret_dst), load_be16(buf + rx::ret_dport));
    if (row != nullptr) {
        mark_twins(*row, &entry_t::udp_ok, 0);
    }
}

// An option the receive thread can do without: a failure is only logged.
void set_option(int fd, int level, int name, int value, int line) {
    if (setsockopt(fd, level, name, &value, sizeof value) != 0) {
        char ebuf[errno_text_len];
        daemon_log(2, "%s(%d) setsockopt failed: \"%s\"\n\r", "recv_thread", line,
                   errno_text(errno, ebuf, sizeof ebuf));
    }
}

}  // namespace

entry_t *look_for_entry(uint32_t ip, uint16_t port) {
    sprint_ip(prnt_ip, ip);
    tty_prnt(dbg_monitor_cycle, "%s:%s(%d): ip: %s, port: %d\n", unit, __func__, __LINE__, prnt_ip,
             port);
    for (int r = 0; r < tw_rows; ++r) {
        entry_t &e = entries[static_cast<size_t>(r)];
        if (load_relaxed(e.ip) == ip && load_relaxed(e.port) == port) {
            tty_prnt(dbg_monitor_cycle, "%s:%s(%d): found entry %d e%d:ip%d\n", unit, __func__,
                     __LINE__, r, load_relaxed(e.group), load_relaxed(e.index));
            return &e;
        }
    }
    return nullptr;
}

void recv_handle_packet(const uint8_t *buf, ssize_t received) {
    (void)received;  // the length is not judged: bytes past it read as zero
    switch (buf[rx::type]) {
        case rx::type_unreachable:
            handle_unreachable(buf);
            break;
        case rx::type_echo_reply:
            handle_echo_reply(buf);
            break;
        default:
            break;
    }
}

int recv_thread() {
    worker_start(__func__, __LINE__);
    char ebuf[errno_text_len];
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        return worker_fail(recv_thread_status, TW_ERR_SOCKET_CREATE, __func__, __LINE__,
                           "open udp ping socked failed", errno);
    }
    // Release: the stop takes the descriptor with exchange() in another thread
    // and closes it; the socket's creation must come before that close.
    recv_sock.store(fd, std::memory_order_release);

    set_option(fd, IPPROTO_IP, IP_HDRINCL, -1, __LINE__);
    set_option(fd, SOL_SOCKET, SO_REUSEADDR, 1, __LINE__);

    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    net_set_dist_addr(&addr, mgmt_if_ip, 0);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        const int err = errno;
        // The stop may have taken the descriptor already; whoever takes it closes it.
        close_word(recv_sock);
        recv_sock_released.store(1, std::memory_order_release);
        return worker_fail(recv_thread_status, TW_ERR_SOCKET_BIND, __func__, __LINE__,
                           "bind ping ping socked failed", err);
    }

    uint8_t buf[recv_buf_len];
    while (stopping_flag.load(std::memory_order_relaxed) == 0) {
        // Zeroed each time: bytes a short packet does not cover read as 0.
        std::memset(buf, 0, sizeof buf);
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        const int err = errno;  // before the trace, whose console open may change it
        tty_prnt(dbg_monitor_cycle, "%s:%s(%d): received bytes %d\n", unit, __func__, __LINE__,
                 static_cast<int>(n));
        if (n < 1) {
            // The stop shuts the socket down to wake this receive: not an error.
            if (stopping_flag.load(std::memory_order_relaxed) != 0) {
                break;
            }
            daemon_log(2, "%s(%d): recvfrom() failed on error \"%s\"\n\r", __func__, __LINE__,
                       errno_text(err, ebuf, sizeof ebuf));
            continue;
        }
        recv_handle_packet(buf, n);
    }

    recv_sock_released.store(1, std::memory_order_release);
    close_word(recv_sock);
    return worker_end(recv_thread_status, __func__, __LINE__);
}
