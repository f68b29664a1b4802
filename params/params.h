// The receiver table and the configuration reader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "params/protocol.h"
#include "util/bytes.h"
#include "util/errors.h"

// One receiver row.  The marks ping_ok and udp_ok are written by the send and
// the receive thread without a lock; every field a running thread touches is
// accessed whole through load_relaxed/store_relaxed (util/bytes.h).
struct entry_t {
    uint8_t group;        // 0..10 = row / 8
    uint8_t index;        // 0..7 = row % 8
    uint8_t ping_ok;      // echo reply with the current seq arrived
    uint8_t udp_ok;       // UDP probe sent and not reported unreachable
    uint8_t status;       // debounced reachability, 1 reachable
    uint8_t has_dups;     // first of two or more rows with this ip and port
    uint8_t is_dup;       // repeats an earlier row's ip and port; never probed
    uint32_t ip;          // host order; 0 = empty slot
    uint16_t port;        // the group's trap port
    uint16_t seq;         // echo sequence number last sent
    uint32_t fail_count;  // consecutive failed evaluations while status is 1
};
static_assert(offsetof(entry_t, is_dup) == 6 && offsetof(entry_t, ip) == 8 &&
              offsetof(entry_t, port) == 12 && offsetof(entry_t, seq) == 14 &&
              offsetof(entry_t, fail_count) == 16 && sizeof(entry_t) == 20);

extern std::array<entry_t, tw_rows> entries;  // row r: group r / 8, index r % 8

// Calls f(row) for the row alone, or, when the row has twins, for every row
// with its ip and port (the row among them): twins are probed once and share
// their marks.
template <typename F>
void for_each_twin(entry_t &row, F f) {
    if (load_relaxed(row.has_dups) == 0) {
        f(row);
        return;
    }
    const uint32_t ip = load_relaxed(row.ip);
    const uint16_t port = load_relaxed(row.port);
    for (entry_t &e : entries) {
        if (load_relaxed(e.ip) == ip && load_relaxed(e.port) == port) {
            f(e);
        }
    }
}

// Sets a mark (ping_ok or udp_ok) in the row and its twins.
void mark_twins(entry_t &row, uint8_t entry_t::*mark, uint8_t value);

// process_params' result for an incomplete file: "Failed" with a plus sign.
inline constexpr int params_incomplete = -TW_ERR_FAILED;

// Rebuilds table (88 rows) and *mgmt from the configuration file.
// 0: complete; params_incomplete: incomplete or unreadable (table zero);
// TW_ERR_FAILED: not opened.
int process_params(entry_t *table, uint32_t *mgmt);

// One read of an opened configuration file, the whole of process_params'
// reading, so that the configuration check (trapwatchctl check-config) reads
// any file exactly as the daemon does and can tell where and why it stopped.
inline constexpr int params_keys = 15;          // the read is complete at this count
inline constexpr size_t params_line_len = 256;  // fgets' buffer: 255 characters a line

enum class params_stop : uint8_t {
    complete,    // fifteen keys counted
    end,         // the file ended first
    read_error,  // a read failed (read_errno)
    no_equals,   // a line without '=' (the line is in line)
};

// A line as the reader took it: key and value split at the first '=', the
// value's last character (the line break, or whatever stands last) removed.
struct params_line {
    int number;         // 1-based; a line over 255 characters counts as two
    const char *key;    // nullptr when the line has no '='
    const char *value;  // the whole line when it has no '='
    char dropped;       // the character removed from the value ('\0': none)
    int key_index;      // params_key_index(key), -1 unknown
};

struct params_read_t {
    entry_t rows[tw_rows];     // complete: the finished rows; else all zero
    int32_t ports[tw_groups];  // the three per-group lists as read (0 when not given)
    int32_t trap_status[tw_groups];
    int32_t status[tw_groups];
    uint32_t mgmt;  // valid when mgmt_set
    bool mgmt_set;
    int keys;   // keys counted
    int lines;  // lines taken
    params_stop stop;
    int read_errno;              // for read_error
    char line[params_line_len];  // the line last read, as read
};

// Reads f into out; watch (may be null) sees each line taken.  No log lines:
// process_params sends them from out.stop.
void params_read(FILE *f, params_read_t &out, void (*watch)(const params_line &, void *),
                 void *ctx);

// 0 for "ip_address", 1..11 for "snmp_c1_ip".."snmp_c11_ip", 12, 13, 14 for
// the trap-port, trap-status and status lists; -1 for any other key.
int params_key_index(const char *key);
extern const char *const params_key_names[params_keys];  // by that index
inline constexpr int params_key_mgmt = 0;
inline constexpr int params_key_ports = 12;
inline constexpr int params_key_trap_status = 13;
inline constexpr int params_key_status = 14;

// The reader's number scan ("X, X, ...": X "0x%x" when hex, else "%i"):
// how many of up to max numbers it takes, with their values as the board's
// 32-bit C library gives them.
int params_scan_numbers(const char *p, bool hex, uint32_t *out, int max);
