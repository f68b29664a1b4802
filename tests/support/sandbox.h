// Helpers for tests that run inside scripts/sandbox.sh.
#pragma once

#include <chrono>
#include <cstdint>
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

// Runs fn on a thread that has entered the named network namespace (made
// with "ip netns add"), so that the sockets it makes belong there; returns
// fn's result, -1 when the namespace cannot be entered.
int in_netns(const std::string &name, const std::function<int()> &fn);
// A UDP socket bound to ip:port (host order), -1 on failure.  Freely bound:
// it stays bound while its address is taken away.
int udp_listener(uint32_t ip, uint16_t port);

}  // namespace tw_test
