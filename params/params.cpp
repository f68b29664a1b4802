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

// The per-group lists of the trap-port, trap-status and status keys.
using group_list = int32_t[tw_groups];

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

}  // namespace

// Reads up to max numbers as the format "X, X, ..." would, X being "%i", or
// "0x%x" when hex; returns how many were read.  scanf finds where each number
// ends; board_number gives its value.
int params_scan_numbers(const char *p, bool hex, uint32_t *out, int max) {
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

// The fifteen keys by their index: "ip_address" 0, "snmp_cN_ip" N, the lists 12..14.
const char *const params_key_names[params_keys] = {
    "ip_address",  "snmp_c1_ip",  "snmp_c2_ip",        "snmp_c3_ip",          "snmp_c4_ip",
    "snmp_c5_ip",  "snmp_c6_ip",  "snmp_c7_ip",        "snmp_c8_ip",          "snmp_c9_ip",
    "snmp_c10_ip", "snmp_c11_ip", "snmp_v3_trap_port", "snmp_v3_trap_status", "snmp_status",
};

int params_key_index(const char *key) {
    for (int k = 0; k < params_keys; ++k) {
        if (std::strcmp(key, params_key_names[k]) == 0) {
            return k;
        }
    }
    return -1;
}

namespace {

// Scans "0x%x, 0x%x, ..." (eight addresses) into the ip fields of group g;
// places after the first number that doesn't scan keep their content.
void scan_addresses(const char *value, entry_t *rows, int g) {
    uint32_t a[tw_group_size] = {};
    const int n = params_scan_numbers(value, true, a, tw_group_size);
    for (int i = 0; i < n; ++i) {
        rows[g * tw_group_size + i].ip = a[i];
    }
}

// Scans "%i, %i, ..." (eleven numbers) into a per-group list.
void scan_list(const char *value, group_list &list) {
    uint32_t v[tw_groups] = {};
    const int n = params_scan_numbers(value, false, v, tw_groups);
    for (int i = 0; i < n; ++i) {
        list[i] = static_cast<int32_t>(v[i]);
    }
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

// Scans the value of counted key k into its destination.
void take_key(int k, const char *value, params_read_t &out) {
    if (k == params_key_mgmt) {
        uint32_t ip;
        if (params_scan_numbers(value, true, &ip, 1) == 1) {
            out.mgmt = ip;
            out.mgmt_set = true;
        }
    } else if (k == params_key_ports) {
        scan_list(value, out.ports);
    } else if (k == params_key_trap_status) {
        scan_list(value, out.trap_status);
    } else if (k == params_key_status) {
        scan_list(value, out.status);
    } else if (k > 0) {
        scan_addresses(value, out.rows, k - 1);
    }
}

}  // namespace

void params_read(FILE *f, params_read_t &out, void (*watch)(const params_line &, void *),
                 void *ctx) {
    // A group whose number the file doesn't supply reads as 0, which clears
    // the group (trap status 0) and gives its rows port 0.
    std::memset(static_cast<void *>(&out), 0, sizeof out);
    char *line = out.line;
    while (true) {
        out.stop = params_stop::end;
        if (std::feof(f) != 0) {
            break;
        }
        if (std::fgets(line, params_line_len, f) == nullptr) {
            if (std::feof(f) == 0) {
                out.stop = params_stop::read_error;
                out.read_errno = errno;
            }
            break;
        }
        ++out.lines;
        char *eq = std::strchr(line, '=');
        if (eq == nullptr) {
            out.stop = params_stop::no_equals;
            if (watch != nullptr) {
                watch({out.lines, nullptr, line, '\0', -1}, ctx);
            }
            break;
        }
        // Split in a copy: the line as read stays for the error line.
        char split[params_line_len];
        std::memcpy(split, line, params_line_len);
        split[eq - line] = '\0';
        const char *key = split;
        char *value = split + (eq - line) + 1;
        size_t vlen = std::strlen(value);
        char dropped = '\0';
        if (vlen > 0) {
            dropped = value[vlen - 1];
            value[vlen - 1] = '\0';  // the line break, or whatever stands last
        }

        const int k = params_key_index(key);
        if (watch != nullptr) {
            watch({out.lines, key, value, dropped, k}, ctx);
        }
        if (k >= 0) {
            ++out.keys;
            take_key(k, value, out);
        }
        if (out.keys == params_keys) {
            out.stop = params_stop::complete;
            break;
        }
    }
    if (out.stop == params_stop::complete) {
        finish_rows(out.rows, out.ports, out.trap_status, out.status);
    } else {
        std::memset(static_cast<void *>(out.rows), 0, sizeof out.rows);
    }
}

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
    params_read_t r;
    params_read(f, r, nullptr, nullptr);
    if (r.mgmt_set) {
        *mgmt = r.mgmt;  // stays even when the read goes on to fail
    }
    if (r.stop == params_stop::read_error) {
        char err[errno_text_len];
        daemon_log(2, "%s(%d): read configuration file %s failed on error \"%s\"!\n",
                   "process_params", __LINE__, params_path,
                   errno_text(r.read_errno, err, sizeof err));
    } else if (r.stop == params_stop::no_equals) {
        daemon_log(2, "%s(%d): error parsing params string = %s.\n", "process_params", __LINE__,
                   r.line);
    }
    std::fclose(f);
    if (r.stop != params_stop::complete) {
        zero_table(table);
        return params_incomplete;
    }
    for (int row = 0; row < tw_rows; ++row) {
        store_row(table[row], r.rows[row]);
    }
    return 0;
}

void mark_twins(entry_t &row, uint8_t entry_t::*mark, uint8_t value) {
    for_each_twin(row, [mark, value](entry_t &e) { store_relaxed(e.*mark, value); });
}
