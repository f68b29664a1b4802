// netrelay: a link with latency for the lab.  Creates two TUN devices and
// carries every IP packet from one to the other after a fixed delay.
//
// A veth pair answers inside the sender's own sendto(): the receiver's kernel
// has replied before the call returns, which no real link does.  Through the
// relay every answer comes at least two delays after its question, as on the
// appliance's network.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "tools/number.h"

namespace {

using clock_type = std::chrono::steady_clock;

volatile sig_atomic_t stop_requested = 0;
void on_stop(int) {
    stop_requested = 1;
}

constexpr size_t max_queued = 4096;  // packets in flight; more are dropped
constexpr size_t max_packet = 65536;

// ioctl's request is an unsigned long in glibc and an int in musl (POSIX):
// take its type from the declaration, so both builds convert the same way.
template <typename R>
R ioctl_request_of(int (*)(int, R, ...));
using ioctl_request = decltype(ioctl_request_of(&ioctl));

int tun_open(const char *name) {
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "netrelay: /dev/net/tun: %s\n", std::strerror(errno));
        return -1;
    }
    ifreq ifr{};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(fd, static_cast<ioctl_request>(TUNSETIFF), &ifr) != 0) {
        std::fprintf(stderr, "netrelay: %s: %s\n", name, std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

struct packet {
    clock_type::time_point due;
    int out;  // index of the device it leaves by
    std::vector<unsigned char> bytes;
};

// The two devices and the packets on their way between them.
struct relay {
    int fd[2] = {-1, -1};
    std::chrono::milliseconds delay;
    std::deque<packet> queue;  // one delay for all: due times never decrease
    unsigned long carried[2] = {0, 0};
    unsigned long dropped = 0;
    std::vector<unsigned char> buf = std::vector<unsigned char>(max_packet);

    // Until the next packet is due, rounded up: a packet leaves at its time
    // or just after, never early.
    int wait_ms() const {
        if (queue.empty()) {
            return 1000;
        }
        auto left = queue.front().due - clock_type::now();
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
        return us <= 0 ? 0 : static_cast<int>((us + 999) / 1000);
    }

    // Queues everything the device on this side has to read.
    void take_in(int side) {
        while (true) {
            ssize_t n = read(fd[side], buf.data(), buf.size());
            if (n <= 0) {
                return;
            }
            if (queue.size() >= max_queued) {
                ++dropped;
                continue;
            }
            queue.push_back({clock_type::now() + delay, 1 - side,
                             std::vector<unsigned char>(buf.begin(), buf.begin() + n)});
        }
    }

    void send_due() {
        const auto now = clock_type::now();
        while (!queue.empty() && queue.front().due <= now) {
            const packet &q = queue.front();
            if (write(fd[q.out], q.bytes.data(), q.bytes.size()) > 0) {
                ++carried[1 - q.out];
            } else {
                ++dropped;
            }
            queue.pop_front();
        }
    }

    // Carries packets until SIGTERM or SIGINT; false when poll fails.
    bool run() {
        while (stop_requested == 0) {
            pollfd p[2] = {{fd[0], POLLIN, 0}, {fd[1], POLLIN, 0}};
            if (poll(p, 2, wait_ms()) < 0 && errno != EINTR) {
                std::perror("netrelay: poll");
                return false;
            }
            for (int side = 0; side < 2; ++side) {
                if ((p[side].revents & POLLIN) != 0) {
                    take_in(side);
                }
            }
            send_due();
        }
        return true;
    }
};

// The exit status when the line is wrong or asks for help, else -1.
int parse_args(int argc, char **argv, long *delay_ms, std::vector<const char *> *names) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--delay-ms") == 0 && i + 1 < argc) {
            if (!read_number(argv[++i], 0, 10000, delay_ms)) {
                std::fprintf(stderr, "netrelay: bad --delay-ms\n");
                return 2;
            }
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "usage: netrelay [--delay-ms MS] DEV_A DEV_B\n"
                "Creates the TUN devices DEV_A and DEV_B and carries each IP packet\n"
                "from one to the other MS milliseconds (default 3) after it came.\n"
                "Prints \"ready\" once both exist.  SIGTERM or SIGINT ends it.\n");
            return 0;
        } else {
            names->push_back(argv[i]);
        }
    }
    if (names->size() != 2) {
        std::fprintf(stderr, "usage: netrelay [--delay-ms MS] DEV_A DEV_B\n");
        return 2;
    }
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    long delay_ms = 3;
    std::vector<const char *> names;
    if (const int e = parse_args(argc, argv, &delay_ms, &names); e >= 0) {
        return e;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    relay r;
    r.delay = std::chrono::milliseconds(delay_ms);
    r.fd[0] = tun_open(names[0]);
    if (r.fd[0] < 0 || (r.fd[1] = tun_open(names[1])) < 0) {
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (!r.run()) {
        return 1;
    }
    std::fprintf(stderr, "netrelay: %lu packets %s->%s, %lu %s->%s, %lu dropped\n", r.carried[0],
                 names[0], names[1], r.carried[1], names[1], names[0], r.dropped);
    close(r.fd[0]);
    close(r.fd[1]);
    return 0;
}
