#include "tests/support/sandbox.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace tw_test {

bool in_sandbox() {
    return access("/run/tw-sandbox", F_OK) == 0;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string console() {
    return read_file(capture_path);
}

bool wait_console(const std::string &needle, std::chrono::milliseconds limit, size_t offset) {
    return wait_until(
        [&] {
            std::string c = console();
            return c.size() >= offset && c.find(needle, offset) != std::string::npos;
        },
        limit);
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (true) {
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int count_open_fds() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return -1;
    }
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(d);
    return n - 1;  // the directory stream's own descriptor
}

int sh(const std::string &command) {
    int st = std::system(command.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

int in_netns(const std::string &name, const std::function<int()> &fn) {
    int result = -1;
    std::thread t([&] {
        int ns = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0) {
            return;
        }
        if (setns(ns, CLONE_NEWNET) == 0) {
            result = fn();
        }
        close(ns);
    });
    t.join();
    return result;
}

int udp_listener(uint32_t ip, uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace tw_test
