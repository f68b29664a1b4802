#include "trapwatch/status.h"

#include <unistd.h>

#include <cstring>

#include "params/cmd_msg.h"
#include "util/bytes.h"
#include "util/state.h"
#include "util/trace.h"

uint8_t entries_status[2][tw_groups][tw_group_size];
std::atomic<uint32_t> entries_index{0};
uint8_t sent_entries_status[tw_rows];

cmd_msg_t status_req;
cmd_msg_t status_resp;

namespace {

constexpr const char *unit = "trapwatch";
// A row changes to 0 on the pass that finds it failing with this many misses
// already counted: the fourth failing pass in a row.
constexpr uint32_t fail_threshold = 3;
constexpr unsigned refresh_pause_s = 2;  // after a successful 308
constexpr uint8_t no_status = 0xFF;      // no code has this value

// Nothing more to refresh: no attempts left, the re-read's apply sent.
void refresh_done() {
    refresh_snmp_conf.store(0, std::memory_order_relaxed);
    reread_params_finish.store(0, std::memory_order_relaxed);
}

// The 407 that applies the refresh; true when accepted, else one attempt is
// used up.
bool send_apply() {
    status_req.cmd = keelson_cmd_refresh_apply;
    if (cmd_send_recv(&status_req, &status_resp) == 0) {
        refresh_done();
        return true;
    }
    const int left = refresh_snmp_conf.load(std::memory_order_relaxed);
    if (left != 0) {
        refresh_snmp_conf.store(left - 1, std::memory_order_relaxed);
    }
    return false;
}

// Asks the controller daemon to refresh the SNMP configuration, carrying the
// codes of the half just built.  Only the send thread runs this.
void refresh_handshake(uint32_t w) {
    for (int g = 0; g < tw_groups; ++g) {
        for (int i = 0; i < tw_group_size; ++i) {
            status_req.data[g * tw_group_size + i] = load_relaxed(entries_status[w][g][i]);
        }
    }

    // Only the codes of group 0 are compared with what GET_STATUS returned.
    bool differ = false;
    for (int i = 0; i < tw_group_size; ++i) {
        if (status_req.data[i] != load_relaxed(sent_entries_status[i])) {
            differ = true;
        }
    }
    if (!differ) {
        refresh_done();
        // The next armed pass finds a difference unless a GET_STATUS comes first.
        for (int i = 0; i < tw_group_size; ++i) {
            store_relaxed(sent_entries_status[i], no_status);
        }
        return;
    }

    tty_prnt(dbg_keelson_cmd, "%s:%s(%d): snmp server status changed\n\r", unit, "check_status",
             __LINE__);
    if (reread_params_finish.load(std::memory_order_relaxed) != 0 &&
        called_from_set_df.load(std::memory_order_relaxed) == 0) {
        // A plain re-read: 407 alone, with param as the last sequence left it.
        tty_prnt_time(dbg_none, "%s:%s(%d): reread because of changed snmp params\n\r", unit,
                      "check_status", __LINE__);
        (void)send_apply();
        return;
    }

    status_req.param = 1;
    status_req.cmd = keelson_cmd_refresh_begin;
    if (cmd_send_recv(&status_req, &status_resp) != 0) {
        // The attempts are not used up: the next pass begins again.
        return;
    }
    status_req.cmd = keelson_cmd_refresh_mid;
    if (cmd_send_recv(&status_req, &status_resp) == 0) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc marks sleep for SIGCHLD's disposition only
        sleep(refresh_pause_s);
    }
    tty_prnt_time(dbg_none, "%s:%s(%d): reread because of changed snmp status\n\r", unit,
                  "check_status", __LINE__);
    if (send_apply()) {
        called_from_set_df.store(0, std::memory_order_relaxed);
    }
    status_req.param = 0;
    status_req.cmd = keelson_cmd_refresh_begin;
    (void)cmd_send_recv(&status_req, &status_resp);  // the closing 382 is not judged
}

}  // namespace

void check_status() {
    if (reread_params.load(std::memory_order_relaxed) != 0) {
        return;  // the table is being rebuilt: nothing is written or published
    }
    tty_prnt(dbg_monitor_cycle, "%s:%s(%d): enter\n\r", unit, __func__, __LINE__);

    // Only this thread flips entries_index, so a relaxed load sees its own value.
    const uint32_t w = entries_index.load(std::memory_order_relaxed) ^ 1u;
    for (auto &grp : entries_status[w]) {
        for (auto &code : grp) {
            store_relaxed(code, 0);
        }
    }

    int refresh = refresh_snmp_conf.load(std::memory_order_relaxed);
    bool changed = false;
    for (entry_t &e : entries) {
        // The receive thread moves the marks at any moment: read each once.
        const uint8_t ping = load_relaxed(e.ping_ok);
        const uint8_t udp = load_relaxed(e.udp_ok);
        const bool alive = ping != 0 && udp != 0;
        const bool up = load_relaxed(e.status) != 0;
        const uint32_t fails = load_relaxed(e.fail_count);

        if (up == alive) {
            store_relaxed(e.fail_count, 0);
        } else if (alive) {
            store_relaxed(e.fail_count, 0);
            store_relaxed(e.status, 1);
            changed = true;
            refresh = refresh_attempts;
        } else if (fails < fail_threshold) {
            store_relaxed(e.fail_count, fails + 1);
            // Once a row has changed in this pass, later failing rows go at once.
            if (changed) {
                store_relaxed(e.status, 0);
            }
        } else {
            store_relaxed(e.fail_count, 0);
            store_relaxed(e.status, 0);
            changed = true;
            refresh = refresh_attempts;
        }

        const uint8_t code =
            alive ? tw_status_reachable : (ping != 0 ? tw_status_echo_only : tw_status_silent);
        const uint8_t g = load_relaxed(e.group);
        const uint8_t i = load_relaxed(e.index);
        // A rebuilt table always holds g < 11 and i < 8; never write outside the half.
        if (g < tw_groups && i < tw_group_size) {
            store_relaxed(entries_status[w][g][i], code);
        }
    }
    refresh_snmp_conf.store(refresh, std::memory_order_relaxed);

    if (refresh != 0 && keelson_started.load(std::memory_order_relaxed) != 0 &&
        reread_params.load(std::memory_order_relaxed) == 0) {
        refresh_handshake(w);
    }

    entries_index.store(w, std::memory_order_release);
    tty_prnt(dbg_monitor_cycle, "%s:%s(%d): exit\n\r", unit, __func__, __LINE__);
}

void copy_published_status(uint8_t *out88) {
    const uint32_t p = entries_index.load(std::memory_order_acquire);
    for (int g = 0; g < tw_groups; ++g) {
        for (int i = 0; i < tw_group_size; ++i) {
            out88[g * tw_group_size + i] = load_relaxed(entries_status[p][g][i]);
        }
    }
    for (int i = 0; i < tw_group_size; ++i) {
        store_relaxed(sent_entries_status[i], out88[i]);
    }
}
