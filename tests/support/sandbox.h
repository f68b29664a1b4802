// Helpers for tests that run inside scripts/sandbox.sh.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace tw_test {

inline constexpr const char *capture_path = "/run/ttyS0.capture";
// The scripts' recipes (the receivers' network, the configuration writer) as a command.
inline const std::string lib_sh = "bash " TW_SOURCE_DIR "/scripts/lib.sh ";

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

// Open descriptors of pid, 0 for this process.  Another process's count is
// the fewest over a few looks, so that a connection passing through does not
// count; this process's own is exact.
int count_open_fds(pid_t pid = 0);

// Runs a shell command (outside any emulator); returns its exit status.
int sh(const std::string &command);

}  // namespace tw_test
