// The configuration reader over arbitrary file contents: lines of any length,
// no line breaks, NUL bytes, huge numbers, repeated keys.  After every input
// the result is 0 or 100 and the table satisfies the reader's rules: an
// incomplete read leaves every row zero; a complete one fills group, index
// and port in every row, resets the probe state and marks twins exactly as
// their addresses and ports say.  No descriptor outlives the call.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/fuzz/fuzz_common.h"
#include "util/trace.h"

namespace {

bool is_zero(const entry_t &e) {
    return e.group == 0 && e.index == 0 && e.ping_ok == 0 && e.udp_ok == 0 && e.status == 0 &&
           e.has_dups == 0 && e.is_dup == 0 && e.ip == 0 && e.port == 0 && e.seq == 0 &&
           e.fail_count == 0;
}

void check_complete(const std::array<entry_t, tw_rows> &t) {
    for (size_t r = 0; r < t.size(); ++r) {
        const entry_t &e = t[r];
        if (e.group != r / 8 || e.index != r % 8) {
            tw_fuzz::fail("group or index", static_cast<long>(r));
        }
        if (e.port != t[r - r % 8].port) {
            tw_fuzz::fail("port differs within its group", static_cast<long>(r));
        }
        if (e.ping_ok != 0 || e.udp_ok != 0 || e.status != 0 || e.seq != 0 || e.fail_count != 0) {
            tw_fuzz::fail("probe state not reset", static_cast<long>(r));
        }
        // Twins: the first of a set carries has_dups, every later one is_dup.
        bool earlier = false;
        bool later = false;
        for (size_t j = 0; j < t.size(); ++j) {
            if (j != r && e.ip != 0 && t[j].ip == e.ip && t[j].port == e.port) {
                (j < r ? earlier : later) = true;
            }
        }
        if (e.is_dup != (earlier ? 1 : 0)) {
            tw_fuzz::fail("is_dup disagrees with the addresses", static_cast<long>(r));
        }
        if (e.has_dups != (!earlier && later ? 1 : 0)) {
            tw_fuzz::fail("has_dups disagrees with the addresses", static_cast<long>(r));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tw_fuzz::require_sandbox();
    dbg_level.store(~uint64_t{0});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int free_fd = tw_fuzz::lowest_free_fd();
    if (!tw_fuzz::write_params(data, size)) {
        std::abort();
    }
    // Rows full of old state, so that a row the reader forgets shows.
    for (entry_t &e : entries) {
        std::memset(&e, 0xA5, sizeof e);
    }
    uint32_t mgmt = 0x5a5a5a5a;
    const int result = process_params(entries.data(), &mgmt);
    if (result == 0) {
        check_complete(entries);
    } else if (result == 100) {
        for (size_t r = 0; r < entries.size(); ++r) {
            if (!is_zero(entries[r])) {
                tw_fuzz::fail("incomplete read left a row that is not zero", static_cast<long>(r));
            }
        }
    } else {
        tw_fuzz::fail("process_params result on a readable file", result);
    }
    if (tw_fuzz::lowest_free_fd() != free_fd) {
        tw_fuzz::fail("a descriptor stayed open", 0);
    }
    return 0;
}
