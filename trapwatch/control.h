// The control socket server: one 156-byte cmd_msg_t request and one response
// per connection on "/var/run/trapwatch.sock", served by the main thread.
#pragma once

#include <cstdint>

#include "params/cmd_msg.h"

inline constexpr const char *trapwatch_sock_path = "/var/run/trapwatch.sock";
inline constexpr int cmd_listen_backlog = 10;
// An accepted connection may hold the loop this long at most, for its
// request and again for its reply; a request not there by then is dropped.
inline constexpr int cmd_conn_timeout_s = 2;

// Control commands (request cmd).  The range test takes cmd as unsigned.
enum : int32_t {
    TRAPWATCH_CMD_RESTART = 0,
    TRAPWATCH_CMD_GET_STATUS = 1,
    TRAPWATCH_CMD_STOP = 2,
    TRAPWATCH_CMD_START = 3,
    TRAPWATCH_CMD_TERMINATE = 4,
    TRAPWATCH_CMD_KEELSON_START = 5,
    TRAPWATCH_CMD_DBG_OFF = 6,
    TRAPWATCH_CMD_DBG_INIT = 7,
    TRAPWATCH_CMD_DBG_PROC = 8,
    TRAPWATCH_CMD_DBG_MONITOR_CYCLE = 9,
    TRAPWATCH_CMD_DBG_KEELSON_CMD = 10,
    TRAPWATCH_CMD_DBG_MONITOR = 11,
    TRAPWATCH_CMD_DBG_SEG_FAULT = 12,
    TRAPWATCH_CMD_GET_VER = 13,
};
inline constexpr uint32_t trapwatch_cmd_last = TRAPWATCH_CMD_GET_VER;

// Sets up the listening socket and serves until stopping_flag is set.
// 0 after an orderly end; -116 (socket), -117 (bind) or -100 (listen) when
// the set-up failed.
int p_cmd_loop();

// One whole request: the range check (TW_ERR_WRONG_PARAMS and the
// "unsupported command" log line) and the dispatch.  resp must come zeroed;
// only cmd and, for GET_STATUS and GET_VER, data are written.
void serve_request(const cmd_msg_t &req, cmd_msg_t *resp);

// Carries out one command of the range 0..13; the status is 0 for all.
void cmd_proccesing(const cmd_msg_t &req, cmd_msg_t *resp);
