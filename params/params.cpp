#include "params/params.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// Value of one number's text (as scanf delimits it: sign, digits, "0x") as
// the board's 32-bit strtol (is_signed) or strtoul gives it: beyond the range
// it saturates.  A 64-bit long would keep the number whole and the store into
// 32 bits would wrap, so the same file read differently on the test host.
uint32_t board_number(const char *text, int base, bool is_signed) {
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    errno = 0;
    const unsigned long long m = std::strtoull(text, nullptr, base);
    const bool over = errno == ERANGE;
    if (is_signed) {
        if (negative) {
            return over || m > 0x80000000ull ? 0x80000000u : 0u - static_cast<uint32_t>(m);
        }
        return over || m > 0x7fffffffull ? 0x7fffffffu : static_cast<uint32_t>(m);
    }
    if (over || m > 0xffffffffull) {
        return 0xffffffffu;
    }
    return negative ? 0u - static_cast<uint32_t>(m) : static_cast<uint32_t>(m);
}

// Reads up to max numbers as the format "X, X, ..." would, X being "%i", or
// "0x%x" when hex; returns how many were read.  scanf finds where each number
// ends; board_number gives its value.
int scan_numbers(const char *p, bool hex, uint32_t *out, int max) {
    int n = 0;
    for (; n < max; ++n) {
        if (n > 0) {  // the format's ", ": a comma, then any white space
            if (*p != ',') {
                break;
            }
            do {
                ++p;
            } while (std::isspace(static_cast<unsigned char>(*p)) != 0);
        }
        if (hex && (p[0] != '0' || p[1] != 'x')) {
            break;
        }
        p += hex ? 2 : 0;
        int start = 0;
        int end = 0;
        unsigned long long u = 0;
        long long v = 0;
        if ((hex ? std::sscanf(p, " %n%llx%n", &start, &u, &end)
                 : std::sscanf(p, " %n%lli%n", &start, &v, &end)) != 1) {
            break;
        }
        out[n] = board_number(p + start, hex ? 16 : 0, !hex);
        p += end;
    }
    return n;
}

// Scans "0x%x, 0x%x, ..." (eight addresses) into the ip fields of group g;
// places after the first number that doesn't scan keep their content.
void scan_addresses(const char *value, entry_t *rows, int g) {
    uint32_t a[tw_group_size] = {};
    const int n = scan_numbers(value, true, a, tw_group_size);
    for (int i = 0; i < n; ++i) {
        rows[g * tw_group_size + i].ip = a[i];
    }
}

// Scans "%i, %i, ..." (eleven numbers) into a per-group list.
void scan_list(const char *value, group_list &list) {
    uint32_t v[tw_groups] = {};
    const int n = scan_numbers(value, false, v, tw_groups);
    for (int i = 0; i < n; ++i) {
        list[i] = static_cast<int>(v[i]);
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

// What the reader gathers before the table is built.  A group whose number
// the file doesn't supply reads as 0, which clears the group (trap status 0)
// and gives its rows port 0.
struct parsed {
    entry_t rows[tw_rows] = {};
    group_list ports = {};
    group_list trap_status = {};
    group_list status = {};
};

// One "key=value" line; true when the key is one of the fifteen counted.
bool take_key(const char *key, const char *value, parsed &p, uint32_t *mgmt) {
    const int g = address_key_group(key);
    if (g >= 0) {
        scan_addresses(value, p.rows, g);
    } else if (std::strcmp(key, "ip_address") == 0) {
        uint32_t ip;
        if (scan_numbers(value, true, &ip, 1) == 1) {
            *mgmt = ip;
        }
    } else if (std::strcmp(key, "snmp_v3_trap_port") == 0) {
        scan_list(value, p.ports);
    } else if (std::strcmp(key, "snmp_v3_trap_status") == 0) {
        scan_list(value, p.trap_status);
    } else if (std::strcmp(key, "snmp_status") == 0) {
        scan_list(value, p.status);
    } else {
        return false;
    }
    return true;
}

// Reads lines until the fifteenth key (true) or the file's end, a read
// error or a line without "=" (false: the file is incomplete).
bool read_keys(FILE *f, parsed &p, uint32_t *mgmt) {
    int count = 0;
    char line[line_len];
    while (std::feof(f) == 0) {
        if (std::fgets(line, sizeof line, f) == nullptr) {
            if (std::feof(f) == 0) {
                char err[errno_text_len];
                daemon_log(2, "%s(%d): read configuration file %s failed on error \"%s\"!\n",
                           "process_params", __LINE__, params_path,
                           errno_text(errno, err, sizeof err));
            }
            return false;
        }
        char *eq = std::strchr(line, '=');
        if (eq == nullptr) {
            daemon_log(2, "%s(%d): error parsing params string = %s.\n", "process_params", __LINE__,
                       line);
            return false;
        }
        *eq = '\0';
        char *value = eq + 1;
        const size_t vlen = std::strlen(value);
        if (vlen > 0) {
            value[vlen - 1] = '\0';  // the line break, or whatever stands last
        }
        if (take_key(line, value, p, mgmt) && ++count == key_total) {
            return true;
        }
    }
    return false;
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
    parsed p;
    const bool complete = read_keys(f, p, mgmt);
    std::fclose(f);
    if (!complete) {
        zero_table(table);
        return params_incomplete;
    }
    finish_rows(p.rows, p.ports, p.trap_status, p.status);
    for (int r = 0; r < tw_rows; ++r) {
        store_row(table[r], p.rows[r]);
    }
    return 0;
}

void mark_twins(entry_t &row, uint8_t entry_t::*mark, uint8_t value) {
    for_each_twin(row, [mark, value](entry_t &e) { store_relaxed(e.*mark, value); });
}
