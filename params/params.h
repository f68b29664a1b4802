// The receiver table and the configuration reader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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
