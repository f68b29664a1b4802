// bench-sink: the trap listeners of the answering receivers.  Binds a UDP
// socket to every ADDR:PORT given and drains what arrives, so that the probe
// to such a trap port is accepted instead of refused.  SIGTERM or SIGINT ends
// it; it then prints "datagrams=N".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

volatile sig_atomic_t stop_requested = 0;
void on_stop(int) {
    stop_requested = 1;
}

bool parse(const char *text, sockaddr_in *out) {
    const char *colon = std::strrchr(text, ':');
    if (colon == nullptr) {
        return false;
    }
    char host[INET_ADDRSTRLEN] = {};
    const size_t n = static_cast<size_t>(colon - text);
    if (n == 0 || n >= sizeof host) {
        return false;
    }
    std::memcpy(host, text, n);
    const long port = std::strtol(colon + 1, nullptr, 10);
    if (port < 1 || port > 65535) {
        return false;
    }
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = htons(static_cast<uint16_t>(port));
    return inet_pton(AF_INET, host, &out->sin_addr) == 1;
}

}  // namespace

int main(int argc, char **argv) {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::vector<pollfd> fds;
    for (int i = 1; i < argc; ++i) {
        sockaddr_in a{};
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (!parse(argv[i], &a) || fd < 0 ||
            bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
            std::fprintf(stderr, "bench-sink: cannot listen on %s\n", argv[i]);
            return 1;
        }
        fds.push_back({fd, POLLIN, 0});
    }
    std::printf("listening=%zu\n", fds.size());
    std::fflush(stdout);
    long datagrams = 0;
    while (stop_requested == 0) {
        if (poll(fds.data(), fds.size(), 500) <= 0) {
            continue;
        }
        for (pollfd &p : fds) {
            if ((p.revents & POLLIN) != 0) {
                char buf[256];
                if (recv(p.fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
                    ++datagrams;
                }
            }
        }
    }
    std::printf("datagrams=%ld\n", datagrams);
    return 0;
}
