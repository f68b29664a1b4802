// trap-listener: a simulated trap receiver for the lab.  Listens on UDP at
// each ADDR:PORT given and prints one line per datagram, so that a trap port
// with a listener is reachable and one without stays refused by the kernel.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "tools/number.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) {
    stop_requested = 1;
}

bool parse_endpoint(const char *text, sockaddr_in *out) {
    const char *colon = std::strrchr(text, ':');
    if (colon == nullptr || colon == text) {
        return false;
    }
    char host[INET_ADDRSTRLEN]{};
    size_t n = static_cast<size_t>(colon - text);
    if (n >= sizeof host) {
        return false;
    }
    std::memcpy(host, text, n);
    long port = 0;
    if (!read_number(colon + 1, 1, 65535, &port)) {
        return false;
    }
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(static_cast<uint16_t>(port));
    return inet_pton(AF_INET, host, &out->sin_addr) == 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(argc < 2 ? stderr : stdout,
                     "usage: trap-listener ADDR:PORT...\n"
                     "Receives UDP datagrams on every ADDR:PORT and prints one line for each.\n"
                     "An address need not be present yet (it may come and go during a run).\n"
                     "SIGTERM or SIGINT ends it.\n");
        return argc < 2 ? 2 : 0;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::vector<pollfd> fds;
    std::vector<sockaddr_in> where;
    for (int i = 1; i < argc; ++i) {
        sockaddr_in a{};
        if (!parse_endpoint(argv[i], &a)) {
            std::fprintf(stderr, "trap-listener: not ADDR:PORT: %s\n", argv[i]);
            return 2;
        }
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        // Free bind: the lab takes an address away and gives it back while
        // the listener keeps its socket.
        if (fd < 0 || setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one) != 0 ||
            bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
            std::fprintf(stderr, "trap-listener: %s: %s\n", argv[i], std::strerror(errno));
            return 1;
        }
        fds.push_back({fd, POLLIN, 0});
        where.push_back(a);
    }
    std::printf("trap-listener: listening on %d endpoint(s)\n", argc - 1);
    std::fflush(stdout);

    while (stop_requested == 0) {
        int n = poll(fds.data(), fds.size(), 1000);
        if (n < 0 && errno != EINTR) {
            std::perror("trap-listener: poll");
            return 1;
        }
        for (size_t i = 0; n > 0 && i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            unsigned char buf[2048];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t got =
                recvfrom(fds[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (got < 0) {
                continue;
            }
            char src[INET_ADDRSTRLEN]{};
            char dst[INET_ADDRSTRLEN]{};
            inet_ntop(AF_INET, &from.sin_addr, src, sizeof src);
            inet_ntop(AF_INET, &where[i].sin_addr, dst, sizeof dst);
            time_t now = time(nullptr);
            tm local{};
            localtime_r(&now, &local);
            char stamp[16];
            std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
            std::printf("%s %zd bytes from %s:%u to %s:%u\n", stamp, got, src,
                        static_cast<unsigned>(ntohs(from.sin_port)), dst,
                        static_cast<unsigned>(ntohs(where[i].sin_port)));
            std::fflush(stdout);
        }
    }
    for (const pollfd &p : fds) {
        close(p.fd);
    }
    return 0;
}
