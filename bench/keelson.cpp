// bench-keelson: the controller daemon's part in the benchmark.  Accepts one
// record per connection on "/var/run/keelson.sock", answers it with status 0
// and counts the records by command; SIGTERM or SIGINT ends it, and it then
// prints "records_CMD=N" lines (and "records=N") on standard output.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "params/cmd_msg.h"

namespace {

volatile sig_atomic_t stop_requested = 0;
void on_stop(int) {
    stop_requested = 1;
}

struct counted {
    int32_t cmd;
    long n;
};
counted counts[16];
int kinds = 0;
long records = 0;

void count(int32_t cmd) {
    ++records;
    for (int i = 0; i < kinds; ++i) {
        if (counts[i].cmd == cmd) {
            ++counts[i].n;
            return;
        }
    }
    if (kinds < 16) {
        counts[kinds++] = {cmd, 1};
    }
}

}  // namespace

int main() {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    const int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t n = std::strlen(keelson_sock_path);
    std::memcpy(addr.sun_path, keelson_sock_path, n);
    unlink(keelson_sock_path);
    if (lfd < 0 ||
        bind(lfd, reinterpret_cast<const sockaddr *>(&addr), static_cast<socklen_t>(2 + n)) != 0 ||
        listen(lfd, 16) != 0) {
        std::perror("bench-keelson: listen");
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    while (stop_requested == 0) {
        pollfd p{lfd, POLLIN, 0};
        if (poll(&p, 1, 500) <= 0) {
            continue;
        }
        const int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            continue;
        }
        // The daemon's waits are unbounded: answer at once, and never hold a
        // connection for long ourselves.
        timeval tv{};
        tv.tv_sec = 2;
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        cmd_msg_t req{};
        if (recv(c, &req, sizeof req, MSG_WAITALL) == static_cast<ssize_t>(sizeof req)) {
            count(req.cmd);
            cmd_msg_t resp{};
            (void)send(c, &resp, sizeof resp, MSG_NOSIGNAL);
        }
        close(c);
    }
    close(lfd);
    unlink(keelson_sock_path);
    std::printf("records=%ld\n", records);
    for (int i = 0; i < kinds; ++i) {
        std::printf("records_%d=%ld\n", counts[i].cmd, counts[i].n);
    }
    return 0;
}
