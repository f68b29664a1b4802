// One received ICMP buffer through the reply receiver, over the table of the
// representative seed configuration.  The first input byte picks the marks
// the rows start with; the rest starts the receive buffer, zero beyond.  The
// marks stay 0 or 1, nothing else changes, and no descriptor is left open
// (a row out of range is logged to the controller, which is not there).
#include <algorithm>
#include <cstring>

#include "tests/fuzz/fuzz_common.h"
#include "trapwatch/receiver.h"
#include "util/state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::array<entry_t, tw_rows> loaded = [] {
        char cfg[2048];
        FILE *f = std::fopen(TW_FUZZ_CONFIG, "rb");
        tw_fuzz::check(f != nullptr, TW_FUZZ_CONFIG);
        tw_fuzz::write_params(cfg, std::fread(cfg, 1, sizeof cfg, f));
        tw_fuzz::check(std::fclose(f) == 0 && process_params(entries.data(), &mgmt_ip) == 0, "cfg");
        for (size_t r = 0; r < entries.size(); ++r) {
            entries[r].seq =
                static_cast<uint16_t>(r % 5);  // after a few cycles, as the seeds expect
        }
        return entries;
    }();
    if (size == 0) {
        return 0;
    }
    std::array<entry_t, tw_rows> before = loaded;
    for (size_t r = 0; r < before.size(); ++r) {
        before[r].ping_ok = static_cast<uint8_t>((data[0] >> (r % 8)) & 1);
        before[r].udp_ok = static_cast<uint8_t>((data[0] >> ((r + 3) % 8) & 1) ^ 1);
    }
    std::memcpy(entries.data(), before.data(), sizeof before);
    const int free_fd = tw_fuzz::lowest_free_fd();
    static uint8_t buf[recv_buf_len];
    std::memset(buf, 0, sizeof buf);
    std::memcpy(buf, data + 1, std::min(size - 1, sizeof buf));
    recv_handle_packet(buf, static_cast<ssize_t>(std::min(size - 1, sizeof buf)));
    for (size_t r = 0; r < entries.size(); ++r) {
        entry_t e;
        std::memcpy(&e, &entries[r], sizeof e);
        tw_fuzz::check(e.ping_ok <= 1 && e.udp_ok <= 1, "a mark out of range",
                       static_cast<long>(r));
        e.ping_ok = before[r].ping_ok;
        e.udp_ok = before[r].udp_ok;
        tw_fuzz::check(std::memcmp(&e, &before[r], sizeof e) == 0, "not a mark",
                       static_cast<long>(r));
    }
    tw_fuzz::check(tw_fuzz::lowest_free_fd() == free_fd, "a descriptor stayed open");
    return 0;
}
