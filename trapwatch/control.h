// The control socket server: one 156-byte cmd_msg_t request and one response
// per connection on "/var/run/trapwatch.sock", served by the main thread.
#pragma once

#include <cstdint>

#include "params/cmd_msg.h"
#include "params/protocol.h"

inline constexpr int cmd_listen_backlog = 10;
// An accepted connection may hold the loop this long at most, for its
// request and again for its reply; a request not there by then is dropped.
inline constexpr int cmd_conn_timeout_s = 2;

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
