// The control dispatch over any request but TERMINATE and DBG_SEG_FAULT
// (they end the process): the status is 0 for a command of the table and
// -103 for any other, nothing of the response is written but the status and
// its data, and no descriptor is left open.
#include <algorithm>
#include <cstring>

#include "tests/fuzz/fuzz_common.h"
#include "trapwatch/control.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    cmd_msg_t req{};
    std::memcpy(&req, data, std::min(size, sizeof req));
    if (req.cmd == TRAPWATCH_CMD_TERMINATE || req.cmd == TRAPWATCH_CMD_DBG_SEG_FAULT) {
        return -1;  // not kept in the corpus
    }
    const int free_fd = tw_fuzz::lowest_free_fd();
    cmd_msg_t resp{};
    serve_request(req, &resp);
    cmd_msg_t want{};
    want.cmd = static_cast<uint32_t>(req.cmd) <= trapwatch_cmd_last ? 0 : -103;
    std::memcpy(want.data, resp.data, sizeof want.data);
    tw_fuzz::check(std::memcmp(&resp, &want, sizeof resp) == 0, "response", req.cmd);
    tw_fuzz::check(tw_fuzz::lowest_free_fd() == free_fd, "a descriptor stayed open", req.cmd);
    dbg_level.store(~uint64_t{0});  // DBG_OFF lowers it
    return 0;
}
