// Helpers for tests that run inside scripts/sandbox.sh.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace tw_test {

inline constexpr const char *capture_path = "/run/ttyS0.capture";

bool in_sandbox();

// Whole content of a file ("" when missing).
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// Everything written to the console capture so far.
std::string console();
// Waits (bounded) until the console capture holds needle after offset.
bool wait_console(const std::string &needle, std::chrono::milliseconds limit, size_t offset = 0);

// Polls pred every 10 ms until it holds or limit passes.
bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds limit);

// Number of open descriptors of this process.
int count_open_fds();

// Runs a shell command (outside any emulator); returns its exit status.
int sh(const std::string &command);

}  // namespace tw_test
