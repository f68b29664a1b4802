// Client side of the daemon's control socket: one connection, one 156-byte
// request, one 156-byte reply, every wait bounded.
//
//   ctl_outcome o = ctl_exchange("/var/run/trapwatch.sock", TRAPWATCH_CMD_GET_VER, 0,
//                                std::chrono::seconds(5));
//   if (o.fail != ctl_fail::none || o.reply.cmd != 0) puts(ctl_describe(o, path).c_str());
//
// Tool code: it may use the heap; nothing of it runs inside the daemon.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "params/cmd_msg.h"
#include "params/protocol.h"

// Why an exchange gave no usable reply.
enum class ctl_fail {
    none,         // a whole reply arrived; its status is reply.cmd
    bad_path,     // the path does not fit a Unix-domain address
    socket,       // no socket could be made
    no_socket,    // nothing at the path: the daemon is not running
    refused,      // the path is there but nobody listens (stale file or not a socket)
    connect,      // another connect failure (sys_errno)
    busy,         // the daemon did not accept in time (its backlog is full)
    send,         // the request could not be sent whole
    timeout,      // no reply in time
    closed,       // the daemon closed the connection without a reply
    short_reply,  // fewer than 156 bytes came
    long_reply,   // more than 156 bytes came
    recv,         // the receive failed (sys_errno)
};

struct ctl_outcome {
    ctl_fail fail = ctl_fail::none;
    int sys_errno = 0;  // errno of the failed call, when there was one
    ssize_t got = 0;    // bytes of the reply's one receive
    cmd_msg_t reply{};  // valid when fail is none
};

// One request (origin "LOCAL", this process's pid) and its reply.  timeout
// bounds the connect, the send and the wait for the reply, each on its own;
// zero sets no bound, for a caller that bounds a whole run of exchanges
// itself (an alarm) and would have two system calls per exchange measured.
ctl_outcome ctl_exchange(const std::string &path, int32_t cmd, int32_t param,
                         std::chrono::milliseconds timeout);

// One line for the operator: why the exchange failed, or the nonzero status
// with its error text.  Empty for a whole reply with status 0.
std::string ctl_describe(const ctl_outcome &o, const std::string &path);

// Process id that holds the daemon's single-instance lock on path, 0 when
// nobody holds it, -1 when the file can't be opened (errno says why),
// ctl_holder_unknown when it is held by a process this one cannot see (in
// another pid namespace, the kernel gives no pid).
inline constexpr pid_t ctl_holder_unknown = -2;
pid_t ctl_lock_holder(const char *path = lock_file_path);

// The matrix of a GET_STATUS reply as the operator's table: a header with
// the indexes, one row per group "c1".."c11", and the legend.
std::string ctl_format_matrix(const uint8_t *matrix88);
// What each code of the matrix means, by code.
inline constexpr std::array<const char *, 3> ctl_code_meanings{
    "no echo reply (or empty slot)",
    "echo reply, trap port refused or not probed",
    "reachable",
};
static_assert(ctl_code_meanings.size() == tw_status_reachable + 1);

// The version and the matrix as one line of JSON for scripts:
// {"version":"V","groups":{"c1":[8 codes],...,"c11":[...]},"codes":{"0":"...",...}}
std::string ctl_format_json(const uint8_t *matrix88, const std::string &version);
// The 88 bytes as hex, one block of 8 per group.
std::string ctl_format_raw(const uint8_t *matrix88);
