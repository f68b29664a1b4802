#include "tests/support/sandbox.h"

#include <sys/wait.h>
#include <unistd.h>

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

int count_open_fds() {
    std::error_code e;
    const std::filesystem::directory_iterator fds("/proc/self/fd", e);
    // Less the iterator's own descriptor.
    return e ? -1 : static_cast<int>(std::distance(begin(fds), end(fds))) - 1;
}

int sh(const std::string &command) {
    const int st = std::system(command.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace tw_test
