// The configuration reader over any file content: the result is 0 or 100,
// the probe state of every row is cleared, and no descriptor is left open.
#include <cstring>

#include "tests/fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int free_fd = tw_fuzz::lowest_free_fd();
    tw_fuzz::write_params(data, size);
    std::memset(static_cast<void *>(entries.data()), 0xa5, sizeof entries);  // old state
    uint32_t mgmt = 0;
    const int result = process_params(entries.data(), &mgmt);
    tw_fuzz::check(result == 0 || result == 100, "result", result);
    for (const entry_t &e : entries) {
        tw_fuzz::check((e.ping_ok | e.udp_ok | e.status | e.seq | e.fail_count) == 0,
                       "probe state");
        tw_fuzz::check(e.has_dups <= 1 && e.is_dup <= 1 && (result == 0 || e.ip == 0), "row");
    }
    tw_fuzz::check(tw_fuzz::lowest_free_fd() == free_fd, "a descriptor stayed open");
    return 0;
}
