#include "params/params.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "params/cmd_msg.h"
#include "util/bytes.h"
#include "util/errors.h"

std::array<entry_t, tw_rows> entries{};

namespace {

constexpr int key_total = 15;  // the read is complete once this many keys were counted
constexpr size_t line_len = 256;

// The per-group lists of the trap-port, trap-status and status keys.
using group_list = int[tw_groups];

// Publishes one row.  The receive thread marks rows of the same table while a
// re-read runs, so every field goes out as one whole relaxed store.
void store_row(entry_t &dst, const entry_t &src) {
    store_relaxed(dst.group, src.group);
    store_relaxed(dst.index, src.index);
    store_relaxed(dst.ping_ok, src.ping_ok);
    store_relaxed(dst.udp_ok, src.udp_ok);
    store_relaxed(dst.status, src.status);
    store_relaxed(dst.has_dups, src.has_dups);
    store_relaxed(dst.is_dup, src.is_dup);
    store_relaxed(dst.ip, src.ip);
    store_relaxed(dst.port, src.port);
    store_relaxed(dst.seq, src.seq);
    store_relaxed(dst.fail_count, src.fail_count);
}

void zero_table(entry_t *table) {
    const entry_t zero{};
    for (int r = 0; r < tw_rows; ++r) {
        store_row(table[r], zero);
    }
}

// Scans "0x%x, 0x%x, ..." (eight addresses) into the ip fields of group g;
// places after the first number that doesn't scan keep their content.
void scan_addresses(const char *value, entry_t *rows, int g) {
    unsigned int a[tw_group_size] = {};
    int n = std::sscanf(value, "0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x", &a[0], &a[1],
                        &a[2], &a[3], &a[4], &a[5], &a[6], &a[7]);
    for (int i = 0; i < n && i < tw_group_size; ++i) {
        rows[g * tw_group_size + i].ip = a[i];
    }
}

// Scans "%i, %i, ..." (eleven numbers) into a per-group list.
void scan_list(const char *value, group_list &list) {
    int v[tw_groups] = {};
    int n = std::sscanf(value, "%i, %i, %i, %i, %i, %i, %i, %i, %i, %i, %i", &v[0], &v[1], &v[2],
                        &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10]);
    for (int i = 0; i < n && i < tw_groups; ++i) {
        list[i] = v[i];
    }
}

// Key "snmp_cN_ip" for N = 1..11 gives group N - 1; anything else gives -1.
int address_key_group(const char *key) {
    static constexpr const char *keys[tw_groups] = {
        "snmp_c1_ip", "snmp_c2_ip", "snmp_c3_ip", "snmp_c4_ip",  "snmp_c5_ip",  "snmp_c6_ip",
        "snmp_c7_ip", "snmp_c8_ip", "snmp_c9_ip", "snmp_c10_ip", "snmp_c11_ip",
    };
    for (int g = 0; g < tw_groups; ++g) {
        if (std::strcmp(key, keys[g]) == 0) {
            return g;
        }
    }
    return -1;
}

// Group rule, row numbering and ports, then the duplicate marks.
void finish_rows(entry_t *rows, const group_list &ports, const group_list &trap_status,
                 const group_list &status) {
    for (int g = 0; g < tw_groups; ++g) {
        if (trap_status[g] != 1 || status[g] == 0) {
            for (int i = 0; i < tw_group_size; ++i) {
                rows[g * tw_group_size + i] = entry_t{};
            }
        }
    }
    for (int r = 0; r < tw_rows; ++r) {
        rows[r].group = static_cast<uint8_t>(r / tw_group_size);
        rows[r].index = static_cast<uint8_t>(r % tw_group_size);
        rows[r].port = static_cast<uint16_t>(ports[r / tw_group_size]);  // low 16 bits
        rows[r].fail_count = 0;
    }
    for (int r = 0; r < tw_rows - 1; ++r) {
        if (rows[r].is_dup != 0) {
            continue;
        }
        for (int j = r + 1; j < tw_rows; ++j) {
            if (rows[j].ip != 0 && rows[j].ip == rows[r].ip && rows[j].port == rows[r].port) {
                rows[j].is_dup = 1;
                rows[r].has_dups = 1;
            }
        }
    }
}

}  // namespace

int process_params(entry_t *table, uint32_t *mgmt) {
    zero_table(table);

    FILE *f = std::fopen(params_path, "r");
    if (f == nullptr) {
        char err[errno_text_len];
        daemon_log(2, "%s(%d): fopen(%s) failed on error: \"%s\".\n", "process_params", __LINE__,
                   params_path, errno_text(errno, err, sizeof err));
        return TW_ERR_FAILED;
    }

    // Built here and published whole at the end, so that the shared table
    // never holds a half-read configuration.
    entry_t rows[tw_rows] = {};
    // A group whose number the file doesn't supply reads as 0, which clears
    // the group (trap status 0) and gives its rows port 0.
    group_list ports = {};
    group_list trap_status = {};
    group_list status = {};

    int count = 0;
    bool complete = false;
    char line[line_len];
    while (true) {
        if (std::feof(f) != 0) {
            break;
        }
        if (std::fgets(line, sizeof line, f) == nullptr) {
            if (std::feof(f) == 0) {
                char err[errno_text_len];
                daemon_log(2, "%s(%d): read configuration file %s failed on error \"%s\"!\n",
                           "process_params", __LINE__, params_path,
                           errno_text(errno, err, sizeof err));
            }
            break;
        }
        char *eq = std::strchr(line, '=');
        if (eq == nullptr) {
            daemon_log(2, "%s(%d): error parsing params string = %s.\n", "process_params", __LINE__,
                       line);
            break;
        }
        *eq = '\0';
        const char *key = line;
        char *value = eq + 1;
        size_t vlen = std::strlen(value);
        if (vlen > 0) {
            value[vlen - 1] = '\0';  // the line break, or whatever stands last
        }

        int g = address_key_group(key);
        if (g >= 0) {
            ++count;
            scan_addresses(value, rows, g);
        } else if (std::strcmp(key, "ip_address") == 0) {
            ++count;
            unsigned int ip;
            if (std::sscanf(value, "0x%x", &ip) == 1) {
                *mgmt = ip;
            }
        } else if (std::strcmp(key, "snmp_v3_trap_port") == 0) {
            ++count;
            scan_list(value, ports);
        } else if (std::strcmp(key, "snmp_v3_trap_status") == 0) {
            ++count;
            scan_list(value, trap_status);
        } else if (std::strcmp(key, "snmp_status") == 0) {
            ++count;
            scan_list(value, status);
        }
        if (count == key_total) {
            complete = true;
            break;
        }
    }

    if (!complete) {
        zero_table(table);
        std::fclose(f);
        return params_incomplete;
    }
    finish_rows(rows, ports, trap_status, status);
    for (int r = 0; r < tw_rows; ++r) {
        store_row(table[r], rows[r]);
    }
    std::fclose(f);
    return 0;
}

// Sets a mark in the row, or in every row of its twins (same ip and port).
void mark_twins(entry_t &row, uint8_t entry_t::*mark, uint8_t value) {
    if (load_relaxed(row.has_dups) == 0) {
        store_relaxed(row.*mark, value);
        return;
    }
    const uint32_t ip = load_relaxed(row.ip);
    const uint16_t port = load_relaxed(row.port);
    for (entry_t &e : entries) {
        if (load_relaxed(e.ip) == ip && load_relaxed(e.port) == port) {
            store_relaxed(e.*mark, value);
        }
    }
}
