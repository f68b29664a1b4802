// The world of the fault tests: the real daemon in the sandbox, watching
// receivers in a namespace of their own behind a veth link, with ways to
// disturb it and to measure what it holds.  Every wait is bounded.
//
// Receivers (group 0, trap port 162; documentation addresses only):
//   row 0  192.0.2.10  trap listener                    code 2
//   row 1  192.0.2.11  no listener: port unreachable    code 1
//   row 2  192.0.2.12  held by nobody                   code 0
//   row 3  192.0.2.13  trap listener; can be taken away code 2 (0 while away)
//   row 8  192.0.2.20  group 1: not held; its echo requests are answered
//                      from 192.0.2.21 by a responder the test runs   code 2
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace tw_fault {

using std::chrono::milliseconds;
using matrix = std::array<uint8_t, 88>;

inline constexpr const char *rx_ns = "twf-rx";
inline constexpr uint32_t ip_mgmt = 0xC0000201;     // 192.0.2.1
inline constexpr uint32_t ip_up = 0xC000020A;       // row 0
inline constexpr uint32_t ip_refused = 0xC000020B;  // row 1
inline constexpr uint32_t ip_silent = 0xC000020C;   // row 2
inline constexpr uint32_t ip_flap = 0xC000020D;     // row 3
inline constexpr uint32_t ip_other = 0xC0000214;    // row 8, answered from ip_other_src
inline constexpr uint32_t ip_other_src = 0xC0000215;
inline constexpr uint16_t trap_port = 162;

// The configuration of the receivers above.
std::string config();
// A matrix with row 0 = 2, row 1 = 1, row 3 = 2 if flap_present else 0,
// row 8 = 2 if other_answered else 0; every other row 0.
matrix expected(bool flap_present = true, bool other_answered = true);

// Builds the network (and removes it again); the trap listeners are held by
// this process.  up() first removes anything left by an earlier run.
bool net_up();
void net_down();
// Runs fn on a thread inside the receivers' namespace; returns its result.
int in_rx(const std::function<int()> &fn);
// Takes row 3's address away or gives it back.
bool set_flap(bool present);
// Echo requests the receivers' namespace has received so far (all addresses).
long rx_echo_requests();

// Answers every echo request to ip_other with a reply from ip_other_src, in
// a thread of its own, until destroyed.
class other_responder {
   public:
    other_responder();
    ~other_responder();
    bool ok() const { return fd_ >= 0 && out_ >= 0; }
    long answered() const { return answered_.load(); }

   private:
    void run();
    int fd_ = -1;
    int out_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<long> answered_{0};
    std::thread thread_;
};

// Sends one raw IPv4 packet (header included) from the receivers' namespace.
class raw_sender {
   public:
    raw_sender();
    ~raw_sender();
    bool ok() const { return fd_ >= 0; }
    bool send(const uint8_t *packet, size_t n);

   private:
    int fd_ = -1;
};

// One malformed or foreign ICMP packet to the management address, chosen by
// i: random types, truncated, wrong identifiers, group/index out of range,
// stale sequence numbers, reports about other protocols and about unknown
// addresses and ports.  None can mark a configured row.  Returns its length.
size_t malformed_packet(uint32_t i, uint8_t *out, size_t cap);

// How far VmRSS may move during a case.  The daemon allocates nothing in
// steady state; a sanitizer's runtime grows its own shadow and quarantine as
// the daemon touches new stack and code, so those builds get more room.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr long rss_slack_kb = 16384;
#else
inline constexpr long rss_slack_kb = 512;
#endif

// What the daemon holds.
struct usage {
    int fds = -1;      // fewest open descriptors over a few looks
    long rss_kb = -1;  // VmRSS
};
usage measure(pid_t pid);

// GET_STATUS through the control socket: the 88 codes, or nothing when the
// answer was not a whole record with status 0.
std::optional<matrix> get_status(milliseconds limit = milliseconds(5000));
// Waits until GET_STATUS answers want (bounded).
bool wait_matrix(const matrix &want, milliseconds limit);
std::string show(const matrix &m);

// Starts the daemon with config() in place and waits until it serves and
// reports the receivers right; returns its pid (0 on failure).
pid_t start_daemon_watching(bool keelson_start = true);

}  // namespace tw_fault
