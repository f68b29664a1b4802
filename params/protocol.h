// What the daemon, its tools and its tests agree on: the status matrix's
// shape and codes, the record size, the control and controller command codes,
// the debug classes the control commands switch on, and the paths.  Constants
// only, so that a tool can include it without linking the daemon.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The status matrix: 11 groups of 8 receivers, one code per receiver.
inline constexpr int tw_groups = 11;
inline constexpr int tw_group_size = 8;
inline constexpr int tw_rows = tw_groups * tw_group_size;  // 88
static_assert(tw_rows == 88);

// A receiver's code in the matrix.
enum : uint8_t {
    tw_status_silent = 0,     // no echo reply (or an empty slot)
    tw_status_echo_only = 1,  // echo reply, trap port refused or not probed
    tw_status_reachable = 2,  // echo reply and trap port open
};

// Every record on either Unix-domain socket is 156 bytes (params/cmd_msg.h).
inline constexpr size_t cmd_msg_len = 156;
inline constexpr size_t cmd_data_len = 128;  // the record's data field

inline constexpr const char *trapwatch_sock_path = "/var/run/trapwatch.sock";
inline constexpr const char *keelson_sock_path = "/var/run/keelson.sock";
inline constexpr const char *lock_file_path = "/var/lock/subsys/trapwatch";
inline constexpr const char *params_path = "/mnt/params/cfparams.txt";

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
// RESTART's param after a return to the default settings (0: a plain apply).
inline constexpr int32_t restart_after_set_default = 1;

// Commands sent to the controller daemon.
inline constexpr int32_t keelson_cmd_log = 230;
inline constexpr int32_t keelson_cmd_refresh_begin = 382;
inline constexpr int32_t keelson_cmd_refresh_mid = 308;
inline constexpr int32_t keelson_cmd_refresh_apply = 407;

// The console trace classes that the debug commands add to the mask, each
// named after its command (the trace's own classes are in util/trace.h).
inline constexpr uint32_t dbg_init = 0x10;           // DBG_INIT: enter and exit lines
inline constexpr uint32_t dbg_proc = 0x20;           // DBG_PROC: process and thread steps
inline constexpr uint32_t dbg_monitor_cycle = 0x40;  // DBG_MONITOR_CYCLE: every probe and reply
inline constexpr uint32_t dbg_keelson_cmd = 0x80;    // DBG_KEELSON_CMD: control commands
inline constexpr uint32_t dbg_monitor = 0x100;       // DBG_MONITOR: carried by no line

// A debug command and the class it adds; bit 0 for DBG_OFF, which sets the
// mask back to its default.
struct debug_command {
    int32_t cmd;
    uint32_t bit;
};
inline constexpr std::array<debug_command, 6> debug_commands{{
    {TRAPWATCH_CMD_DBG_OFF, 0},
    {TRAPWATCH_CMD_DBG_INIT, dbg_init},
    {TRAPWATCH_CMD_DBG_PROC, dbg_proc},
    {TRAPWATCH_CMD_DBG_MONITOR_CYCLE, dbg_monitor_cycle},
    {TRAPWATCH_CMD_DBG_KEELSON_CMD, dbg_keelson_cmd},
    {TRAPWATCH_CMD_DBG_MONITOR, dbg_monitor},
}};

// The class a debug command adds; 0 for DBG_OFF and for any other command.
constexpr uint32_t debug_bit(int32_t cmd) {
    for (const debug_command &d : debug_commands) {
        if (d.cmd == cmd) {
            return d.bit;
        }
    }
    return 0;
}
static_assert(debug_bit(TRAPWATCH_CMD_DBG_PROC) == dbg_proc &&
              debug_bit(TRAPWATCH_CMD_GET_VER) == 0);
