// The 156-byte command record and the link to the controller daemon.
//
//   offset  width  field
//        0      4  cmd       command (request) / status (response), host order
//        4      4  param     parameter; level of a log record
//        8      8  origin    interface name, NUL-filled ("SNMP" for log records)
//       16      8  reserved  zero
//       24      4  pid       sender's pid, stamped by cmd_send_recv
//       28    128  data      text or raw bytes
//
// Both ends run on the same machine, so the integers are in host order by
// design; the record is a plain value sent and received as its 156 bytes.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>

#include "params/protocol.h"

struct cmd_msg_t {
    int32_t cmd;
    int32_t param;
    char origin[8];
    uint8_t reserved[8];
    int32_t pid;
    uint8_t data[128];
};
static_assert(sizeof(cmd_msg_t) == cmd_msg_len && sizeof(cmd_msg_t::data) == cmd_data_len);
static_assert(offsetof(cmd_msg_t, cmd) == 0 && offsetof(cmd_msg_t, param) == 4 &&
              offsetof(cmd_msg_t, origin) == 8 && offsetof(cmd_msg_t, reserved) == 16 &&
              offsetof(cmd_msg_t, pid) == 24 && offsetof(cmd_msg_t, data) == 28);

// Fills *out with a Unix-domain address for path and returns its length as
// every end of these sockets gives it: the family field and the path, without
// its NUL.  0 when the path is empty or does not fit.
socklen_t unix_address(const char *path, sockaddr_un *out) noexcept;

// One exchange with the controller daemon: stamps req->pid, overwrites *resp.
// Returns the response status, TW_ERR_KEELSON_LINK when the exchange failed, or 0 without
// sending anything while a configuration re-read is pending.
int cmd_send_recv(cmd_msg_t *req, cmd_msg_t *resp) noexcept;

// Sends one formatted line (cut to 127 characters) to the controller daemon as
// command 230 with param = level and origin "SNMP".  Returns cmd_send_recv's result.
int daemon_log(int level, const char *fmt, ...) noexcept __attribute__((format(printf, 2, 3)));
