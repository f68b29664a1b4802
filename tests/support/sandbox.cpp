#include "tests/support/sandbox.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tw_test {

bool in_sandbox() {
    return access("/run/tw-sandbox", F_OK) == 0;
}

std::string read_file(const std::string &path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string console() {
    return read_file(capture_path);
}

bool wait_console(const std::string &needle, std::chrono::milliseconds limit, size_t offset) {
    return wait_until([&] { return console().find(needle, offset) != std::string::npos; }, limit);
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
    }
    return true;
}

int count_open_fds(pid_t pid) {
    const std::string dir = pid == 0 ? "/proc/self/fd" : "/proc/" + std::to_string(pid) + "/fd";
    const int looks = pid == 0 ? 1 : 10;
    long fewest = 1L << 30;
    for (int k = 0; k < looks; ++k) {
        if (k > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        std::error_code e;
        const std::filesystem::directory_iterator fds(dir, e);
        // Less the iterator's own descriptor, when it is this process's.
        const long n = static_cast<long>(std::distance(begin(fds), end(fds))) - (pid == 0 ? 1 : 0);
        fewest = std::min(fewest, e ? -1L : n);
    }
    return static_cast<int>(fewest);
}

int sh(const std::string &command) {
    const int st = std::system(command.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace tw_test
