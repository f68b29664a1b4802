// The control dispatch over arbitrary 156-byte requests (TERMINATE and
// DBG_SEG_FAULT left out: they end the process).  After every input the
// response carries the status the command table gives (0 for 0..13, -103
// otherwise), param, origin, reserved and pid stay zero, data holds exactly
// what GET_STATUS or GET_VER put there and nothing for the other commands,
// and the command's effect on the shared words is the one it names.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/fuzz/fuzz_common.h"
#include "trapwatch/control.h"
#include "trapwatch/status.h"
#include "trapwatch/version.h"
#include "util/state.h"
#include "util/trace.h"

namespace {

bool all_zero(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; ++i) {
        if (b[i] != 0) {
            return false;
        }
    }
    return true;
}

struct words {
    int reread, set_df, send, keelson;
    uint64_t dbg;
};

words snapshot() {
    return {reread_params.load(), called_from_set_df.load(), enable_send.load(),
            keelson_started.load(), dbg_level.load()};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tw_fuzz::require_sandbox();
    // Two different halves, so that a copy of the wrong half shows.
    for (int h = 0; h < 2; ++h) {
        for (int g = 0; g < tw_groups; ++g) {
            for (int i = 0; i < tw_group_size; ++i) {
                entries_status[h][g][i] = static_cast<uint8_t>((g * 8 + i + h) % 3);
            }
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    cmd_msg_t req;
    std::memset(&req, 0, sizeof req);
    std::memcpy(&req, data, size < sizeof req ? size : sizeof req);
    if (req.cmd == TRAPWATCH_CMD_TERMINATE || req.cmd == TRAPWATCH_CMD_DBG_SEG_FAULT) {
        return -1;  // not kept in the corpus
    }
    // Each input starts from the same words; the mask varies with the input
    // so that trace lines are formatted under every bit.
    reread_params.store(0);
    called_from_set_df.store(0x1234);
    enable_send.store(size % 2 == 0 ? 1 : 0);
    keelson_started.store(0);
    dbg_level.store(size % 3 == 0 ? ~uint64_t{0} : 0x3);
    entries_index.store(static_cast<uint32_t>(size % 2));
    std::memset(sent_entries_status, 0xEE, sizeof sent_entries_status);
    const words before = snapshot();
    const int free_fd = tw_fuzz::lowest_free_fd();

    cmd_msg_t resp;
    std::memset(&resp, 0, sizeof resp);
    serve_request(req, &resp);

    const int32_t cmd = req.cmd;
    const bool known = static_cast<uint32_t>(cmd) <= 13;
    if (resp.cmd != (known ? 0 : -103)) {
        tw_fuzz::fail("wrong status", cmd);
    }
    if (resp.param != 0 || !all_zero(resp.origin, sizeof resp.origin) ||
        !all_zero(resp.reserved, sizeof resp.reserved) || resp.pid != 0) {
        tw_fuzz::fail("a response field other than cmd and data was written", cmd);
    }
    const words after = snapshot();
    words expect = before;
    uint8_t want_data[sizeof resp.data] = {};
    switch (cmd) {
        case TRAPWATCH_CMD_RESTART:
            expect.reread = 1;
            expect.set_df = req.param;
            break;
        case TRAPWATCH_CMD_GET_STATUS: {
            const uint32_t half = entries_index.load();
            std::memcpy(want_data, entries_status[half], tw_rows);
            if (std::memcmp(sent_entries_status, want_data, 8) != 0 ||
                sent_entries_status[8] != 0xEE) {
                tw_fuzz::fail("sent_entries_status is not the group-0 codes answered", cmd);
            }
            break;
        }
        case TRAPWATCH_CMD_STOP:
            expect.send = 0;
            break;
        case TRAPWATCH_CMD_START:
            expect.send = 1;
            break;
        case TRAPWATCH_CMD_KEELSON_START:
            expect.keelson = 1;
            break;
        case TRAPWATCH_CMD_DBG_OFF:
            expect.dbg = 3;
            break;
        case TRAPWATCH_CMD_DBG_INIT:
            expect.dbg |= 0x10;
            break;
        case TRAPWATCH_CMD_DBG_PROC:
            expect.dbg |= 0x20;
            break;
        case TRAPWATCH_CMD_DBG_MONITOR_CYCLE:
            expect.dbg |= 0x40;
            break;
        case TRAPWATCH_CMD_DBG_KEELSON_CMD:
            expect.dbg |= 0x80;
            break;
        case TRAPWATCH_CMD_DBG_MONITOR:
            expect.dbg |= 0x100;
            break;
        case TRAPWATCH_CMD_GET_VER:
            std::memcpy(want_data, trapwatch_version_number, std::strlen(trapwatch_version_number));
            break;
        default:
            break;
    }
    if (cmd != TRAPWATCH_CMD_GET_STATUS && sent_entries_status[0] != 0xEE) {
        tw_fuzz::fail("sent_entries_status written by another command", cmd);
    }
    if (std::memcmp(resp.data, want_data, sizeof want_data) != 0) {
        tw_fuzz::fail("response data", cmd);
    }
    if (after.reread != expect.reread || after.set_df != expect.set_df ||
        after.send != expect.send || after.keelson != expect.keelson || after.dbg != expect.dbg) {
        tw_fuzz::fail("shared words", cmd);
    }
    if (tw_fuzz::lowest_free_fd() != free_fd) {
        tw_fuzz::fail("a descriptor stayed open", cmd);
    }
    return 0;
}
