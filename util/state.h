// The process-wide words that the threads share without a lock.
//
// Each is one lock-free atomic word, 0 at process start unless noted, read and
// written with relaxed order (each is a flag or a counter on its own; the
// status matrix has its own release/acquire publication).  A descriptor word
// of 0 means "not open"; a descriptor is taken out of its word with
// exchange(0) before it is closed, so whoever comes first closes it, once.
#pragma once

#include <atomic>
#include <cstdint>

static_assert(std::atomic<int>::is_always_lock_free);

// 1 once a stop has begun, never cleared. Set by both stop paths; read by every loop.
extern std::atomic<int> stopping_flag;
// 1 while probing runs. Set by start-up and START, cleared by STOP; read by the send thread.
extern std::atomic<int> enable_send;
// A configuration re-read is pending. Set by RESTART, cleared by the send thread's
// successful re-read; read by the send thread and by every controller exchange.
extern std::atomic<int> reread_params;
// A re-read succeeded. Set by the send thread, cleared by the refresh handshake.
extern std::atomic<int> reread_params_finish;
// RESTART's param (nonzero: after set-default). Cleared by a successful full refresh.
extern std::atomic<int> called_from_set_df;
// The controller daemon has announced itself (KEELSON_START); never cleared.
extern std::atomic<int> keelson_started;
// Refresh attempts left: refresh_attempts at process start and after every
// change of a status or a re-read; send thread (tests read it too).
extern std::atomic<int> refresh_snmp_conf;
inline constexpr int refresh_attempts = 3;

// Descriptors that the stop also closes; 0 = not open.
extern std::atomic<int> recv_sock;  // raw ICMP socket of the receive thread
extern std::atomic<int> cmd_sock;   // listening control socket
extern std::atomic<int> lock_file;  // single-instance lock file

// How close_word closes: plainly, or with a shutdown first, which wakes a
// thread blocked on the socket.
enum class close_mode { plain, shut_down };

// Takes the descriptor out of word and closes it, if one was there.  Taken
// out first, so that nobody else can close it (and its number be reused)
// between the shutdown and the close.  Acquire: the thread that made it
// published it with release.  With in_use, the close waits (briefly, bounded)
// after the shutdown until the thread using the descriptor sets *in_use to 1,
// so that the close never overlaps a call still under way on it.
void close_word(std::atomic<int> &word, close_mode mode = close_mode::plain,
                const std::atomic<int> *in_use = nullptr) noexcept;

// Results that the worker threads record when they end (negative = error code).
extern std::atomic<int> recv_thread_status;
extern std::atomic<int> send_thread_status;

// The stop routine's state.
extern std::atomic<int> c_exit_code;   // exit code being built; the first nonzero wins
extern std::atomic<int> child_pid;     // fork result: daemon pid in the launcher, 0 in the daemon
extern std::atomic<int> child_killed;  // 1 once a daemon-mode stop has completed

// Management address (host order) from the configuration file, and its dotted
// text.  Written by start-up and by the send thread's re-read; each worker
// thread reads them once at its set-up, before any re-read can be requested.
extern uint32_t mgmt_ip;
extern char mgmt_if_ip[16];
