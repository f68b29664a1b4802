// One received ICMP buffer through the reply receiver, over a table loaded
// from a representative configuration.  Each input is the start of a receive
// buffer (the rest reads as zero, as after a short packet).  After every
// input the marks are 0 or 1, they equal what an independent model of the
// echo-reply and unreachable rules gives, and no other field has changed.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tests/fuzz/fuzz_common.h"
#include "trapwatch/receiver.h"
#include "util/state.h"
#include "util/trace.h"

namespace {

std::array<entry_t, tw_rows> loaded;  // the table as the configuration gave it

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void set_in_twins(std::array<entry_t, tw_rows> &t, size_t r, uint8_t entry_t::*mark, uint8_t v) {
    if (t[r].has_dups == 0) {
        t[r].*mark = v;
        return;
    }
    for (entry_t &e : t) {
        if (e.ip == t[r].ip && e.port == t[r].port) {
            e.*mark = v;
        }
    }
}

// What the receiver must do with buf, written from the rules, not the code.
void model(std::array<entry_t, tw_rows> &t, const uint8_t *buf) {
    if (buf[20] == 0) {
        if (be16(buf + 24) != 22 || buf[28] > 10 || buf[29] > 7) {
            return;
        }
        size_t r = static_cast<size_t>(buf[28]) * 8 + buf[29];
        if (t[r].seq == be16(buf + 26)) {
            set_in_twins(t, r, &entry_t::ping_ok, 1);
        }
    } else if (buf[20] == 3 && buf[37] == 17) {
        const uint32_t ip = be32(buf + 44);
        const uint16_t port = be16(buf + 50);
        for (size_t r = 0; r < t.size(); ++r) {
            if (t[r].ip == ip && t[r].port == port) {
                set_in_twins(t, r, &entry_t::udp_ok, 0);
                break;
            }
        }
    }
}

// Field by field: the byte after is_dup is padding.
bool same_row(const entry_t &a, const entry_t &b) {
    return a.group == b.group && a.index == b.index && a.ping_ok == b.ping_ok &&
           a.udp_ok == b.udp_ok && a.status == b.status && a.has_dups == b.has_dups &&
           a.is_dup == b.is_dup && a.ip == b.ip && a.port == b.port && a.seq == b.seq &&
           a.fail_count == b.fail_count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tw_fuzz::require_sandbox();
    // Every trace line is formatted; without a console nothing is written.
    dbg_level.store(~uint64_t{0});
    const char *cfg = tw_fuzz::representative_config;
    if (!tw_fuzz::write_params(cfg, std::strlen(cfg)) ||
        process_params(entries.data(), &mgmt_ip) != 0) {
        std::abort();
    }
    std::remove(params_path);
    loaded = entries;
    // Sequence numbers as after a few cycles: small and different per row.
    for (size_t r = 0; r < loaded.size(); ++r) {
        loaded[r].seq = static_cast<uint16_t>(r % 5);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The first byte picks the marks the table starts from, so that both
    // setting and clearing are exercised; the rest is the packet.
    if (size == 0) {
        return 0;
    }
    const uint8_t pattern = data[0];
    ++data;
    --size;
    std::array<entry_t, tw_rows> before = loaded;
    for (size_t r = 0; r < before.size(); ++r) {
        before[r].ping_ok = static_cast<uint8_t>((pattern >> (r % 8)) & 1);
        before[r].udp_ok = static_cast<uint8_t>(((pattern >> ((r + 3) % 8)) & 1) ^ 1);
    }
    entries = before;

    static uint8_t buf[recv_buf_len];
    std::memset(buf, 0, sizeof buf);
    const size_t n = size < sizeof buf ? size : sizeof buf;
    std::memcpy(buf, data, n);
    recv_handle_packet(buf, static_cast<ssize_t>(n));

    std::array<entry_t, tw_rows> expect = before;
    model(expect, buf);
    for (size_t r = 0; r < entries.size(); ++r) {
        const entry_t &e = entries[r];
        if (e.ping_ok > 1 || e.udp_ok > 1) {
            tw_fuzz::fail("mark out of range in row", static_cast<long>(r));
        }
        if (!same_row(e, expect[r])) {
            dprintf(tw_fuzz::report_fd, "row %zu: ping_ok %u/%u udp_ok %u/%u (got/expected)\n", r,
                    e.ping_ok, expect[r].ping_ok, e.udp_ok, expect[r].udp_ok);
            tw_fuzz::fail("the row differs from the model", static_cast<long>(r));
        }
    }
    return 0;
}
