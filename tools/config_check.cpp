#include "tools/config_check.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "net/packet.h"
#include "tools/escape.h"

namespace {

std::string dotted(uint32_t ip) {
    char b[16];
    sprint_ip(b, ip);
    return b;
}

// Row i of group g as the reader left it.
const entry_t &group_row(const params_read_t &p, int g, int i) {
    return p.rows[static_cast<size_t>(g * tw_group_size + i)];
}

std::string quoted(const std::string &s) {
    return "\"" + tool_escape(s, false) + "\"";
}

// What the reader's watch sees, line by line.
struct watcher {
    config_report &report;
    int first_line[params_keys] = {};  // where each key was first counted

    void warn(int line, std::string text) { report.warnings.push_back({line, std::move(text)}); }

    // A list that the reader takes only in part: why, in the writer's terms.
    void check_list(const params_line &l, bool hex, int max) {
        uint32_t v[tw_groups] = {};
        const int n = params_scan_numbers(l.value, hex, v, max);
        int given = 0;
        for (const char *p = l.value; *p != '\0'; ++p) {
            given += *p == ',' ? 1 : 0;
        }
        given += std::strspn(l.value, " \t") == std::strlen(l.value) ? 0 : 1;
        if (n < given) {
            const char *why =
                std::isspace(static_cast<unsigned char>(l.value[0])) != 0 && hex
                    ? "a blank after '=': "
                : std::strstr(l.value, " ,") != nullptr || std::strstr(l.value, "\t,") != nullptr
                    ? "a blank before a comma: "
                    : "";
            warn(l.number, std::string(why) + "the daemon reads " + std::to_string(n) + " of the " +
                               std::to_string(given) + " numbers of " +
                               params_key_names[l.key_index] +
                               (n == 0 ? ": the whole list is lost" : ": the rest is lost"));
        }
        if (l.key_index != params_key_ports) {
            return;
        }
        // Each port as the daemon takes it: %i reads a leading 0 as octal,
        // and only the low 16 bits are kept.
        const char *p = l.value;
        for (int g = 0; g < n; ++g) {
            p += g > 0 ? std::strcspn(p, ",") + 1 : 0;
            p += std::strspn(p, " \t\n\v\f\r+-");
            const auto port = static_cast<int32_t>(v[g]);
            const std::string group = "the trap port of c" + std::to_string(g + 1);
            if (p[0] == '0' && std::isdigit(static_cast<unsigned char>(p[1])) != 0) {
                warn(l.number, group + " is written with a leading 0, which makes it " +
                                   "octal: the daemon uses port " +
                                   std::to_string(static_cast<uint16_t>(port)));
            }
            if (port < 0 || port > 0xffff) {
                warn(l.number, group + " (" + std::to_string(port) +
                                   ") does not fit 16 bits: the daemon uses port " +
                                   std::to_string(static_cast<uint16_t>(port)));
            }
        }
    }

    void line(const params_line &l) {
        if (l.key == nullptr) {
            return;  // the reader stops here: the verdict tells why
        }
        const size_t taken = std::strlen(l.key) + 1 + std::strlen(l.value) + 1;
        if (l.dropped != '\n' && l.dropped != '\0') {
            warn(l.number,
                 std::string(
                     taken == params_line_len - 1
                         ? "longer than 255 characters: the daemon reads the first 255 as a "
                           "line, the last of them taken for its line break, and the rest as "
                           "the next line"
                         : "no line break at its end: its last character is dropped") +
                     "; the daemon reads " + quoted(std::string(l.key) + "=" + l.value));
        }
        if (l.key_index < 0) {
            std::string bare = l.key;
            bare.erase(0, bare.find_first_not_of(" \t"));
            bare.erase(bare.find_last_not_of(" \t") + 1);
            warn(l.number,
                 "unknown key " + quoted(l.key) + ": the line is skipped" +
                     (params_key_index(bare.c_str()) >= 0 ? " (blanks around '=' belong to the key)"
                                                          : ""));
            return;
        }
        if (first_line[l.key_index] != 0) {
            warn(l.number, std::string(params_key_names[l.key_index]) +
                               " given again (first on line " +
                               std::to_string(first_line[l.key_index]) +
                               "): counted again, so another key may never be read");
        } else {
            first_line[l.key_index] = l.number;
        }
        if (l.key_index == params_key_mgmt) {
            check_list(l, true, 1);
        } else if (l.key_index >= params_key_ports) {
            check_list(l, false, tw_groups);
        } else {
            check_list(l, true, tw_group_size);
        }
    }
};

const char *stop_reason(const params_read_t &r) {
    if (r.line[0] == '\n' || r.line[0] == '\r') {
        return "empty line";
    }
    if (r.line[0] == '#' || r.line[0] == ';') {
        return "a comment";
    }
    return "no '=' before the fifteenth key";
}

// Why the reading ends early, in one phrase (after "line N: " when a line
// stops it); empty when it is complete.
std::string verdict(const config_report &r) {
    if (r.open_errno != 0) {
        return std::string("cannot be opened: ") + std::strerror(r.open_errno);
    }
    switch (r.read.stop) {
        case params_stop::complete:
            return "";
        case params_stop::no_equals:
            return std::string(stop_reason(r.read)) + ": the daemon stops reading here";
        case params_stop::read_error:
            return "a read fails after line " + std::to_string(r.read.lines) + ": " +
                   std::strerror(r.read.read_errno);
        case params_stop::end:
            break;
    }
    return r.read.lines == 0
               ? "the file is empty"
               : "the file ends after " + std::to_string(r.read.keys) + " of the 15 keys";
}

// Rows probed once for several: the first of each set of twins and the rows
// that share its probe, as "c1.0".
std::vector<std::pair<int, std::vector<std::string>>> twins(const params_read_t &r) {
    std::vector<std::pair<int, std::vector<std::string>>> out;
    for (int row = 0; row < tw_rows; ++row) {
        const entry_t &e = r.rows[row];
        if (e.has_dups == 0) {
            continue;
        }
        out.push_back({row, {}});
        for (int j = row; j < tw_rows; ++j) {
            if (r.rows[j].ip == e.ip && r.rows[j].port == e.port) {
                out.back().second.push_back("c" + std::to_string(j / tw_group_size + 1) + "." +
                                            std::to_string(j % tw_group_size));
            }
        }
    }
    return out;
}

std::string watched_text(const params_read_t &r, int g) {
    if (config_watched(r, g)) {
        return "yes";
    }
    return r.trap_status[g] != 1 ? "no (trap status " + std::to_string(r.trap_status[g]) + ")"
                                 : "no (status 0)";
}

}  // namespace

config_report config_check(const std::string &path) {
    config_report r;
    r.path = path;
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        r.open_errno = errno;
        return r;
    }
    watcher w{r};
    params_read(
        f, r.read, [](const params_line &l, void *ctx) { static_cast<watcher *>(ctx)->line(l); },
        &w);
    if (r.read.stop == params_stop::complete) {
        char rest[params_line_len];
        while (std::fgets(rest, sizeof rest, f) != nullptr) {
            ++r.lines_after;
        }
        if (r.lines_after > 0) {
            w.warn(r.read.lines + 1, "this line and the " + std::to_string(r.lines_after - 1) +
                                         " after it come after the fifteenth key: the daemon "
                                         "never reads them");
        }
        for (int k = 0; k < params_keys; ++k) {
            if (w.first_line[k] == 0) {
                w.warn(0, std::string(params_key_names[k]) +
                              " is never read (fifteen keys were counted before it): its "
                              "numbers are 0");
            }
        }
    }
    std::fclose(f);
    return r;
}

std::string config_text(const config_report &r) {
    std::string out = r.path + ": ";
    const params_read_t &p = r.read;
    if (!config_complete(r)) {
        const bool at_line = r.open_errno == 0 && p.stop == params_stop::no_equals;
        out += (at_line ? "line " + std::to_string(p.lines) + ": " : "") + verdict(r) +
               "\nthe daemon then watches nothing until a good file is read "
               "(trapwatchctl restart)\n";
        if (p.mgmt_set) {
            out += "the management address read before that, " + dotted(p.mgmt) + ", stays\n";
        }
    } else {
        // No ip_address counted: the daemon keeps the address it had.
        out += "complete: the daemon reads its 15 keys in " + std::to_string(p.lines) +
               " lines\nmanagement address " +
               (p.mgmt_set ? dotted(p.mgmt) : "not read: the daemon keeps the one it had") +
               "\ngroup  watched              trap port  receivers (index:address)\n";
        for (int g = 0; g < tw_groups; ++g) {
            char head[64];
            std::snprintf(head, sizeof head, "c%-5d %-20s %-10u", g + 1, watched_text(p, g).c_str(),
                          static_cast<unsigned>(group_row(p, g, 0).port));
            std::string cells;
            for (int i = 0; i < tw_group_size; ++i) {
                const uint32_t ip = group_row(p, g, i).ip;
                cells += ip == 0 ? "" : " " + std::to_string(i) + ":" + dotted(ip);
            }
            out += head + (cells.empty() ? " -" : cells) + "\n";
        }
        for (const auto &[row, rows] : twins(p)) {
            out += "probed once: " + dotted(p.rows[row].ip) + " port " +
                   std::to_string(p.rows[row].port) + " for";
            for (const std::string &name : rows) {
                out += " " + name;
            }
            out += "\n";
        }
    }
    for (const config_warning &w : r.warnings) {
        out += "warning: " + (w.line > 0 ? "line " + std::to_string(w.line) + ": " : "") + w.text +
               "\n";
    }
    return out;
}

std::string config_json(const config_report &r) {
    const params_read_t &p = r.read;
    const bool complete = config_complete(r);
    std::string out = "{\"file\":\"" + tool_escape(r.path, true) +
                      "\",\"complete\":" + (complete ? "true" : "false");
    if (!complete) {
        // The line where the reading stopped; 0 when no line stopped it.
        out += ",\"line\":" + std::to_string(p.stop == params_stop::no_equals ? p.lines : 0) +
               ",\"reason\":\"" + tool_escape(verdict(r), true) + "\"";
    }
    out += ",\"keys\":" + std::to_string(p.keys) + ",\"lines\":" + std::to_string(p.lines) +
           ",\"management\":" + (p.mgmt_set ? "\"" + dotted(p.mgmt) + "\"" : "null") +
           ",\"groups\":[";
    for (int g = 0; complete && g < tw_groups; ++g) {
        out += std::string(g > 0 ? "," : "") + "{\"group\":\"c" + std::to_string(g + 1) +
               "\",\"watched\":" + (config_watched(p, g) ? "true" : "false") +
               ",\"trap_status\":" + std::to_string(p.trap_status[g]) +
               ",\"status\":" + std::to_string(p.status[g]) +
               ",\"trap_port\":" + std::to_string(group_row(p, g, 0).port) + ",\"addresses\":[";
        for (int i = 0; i < tw_group_size; ++i) {
            const uint32_t ip = group_row(p, g, i).ip;
            out += std::string(i > 0 ? "," : "") + (ip == 0 ? "null" : "\"" + dotted(ip) + "\"");
        }
        out += "]}";
    }
    out += "],\"probed_once\":[";
    bool first = true;
    for (const auto &[row, rows] : twins(p)) {
        out += std::string(first ? "" : ",") + "{\"address\":\"" + dotted(p.rows[row].ip) +
               "\",\"trap_port\":" + std::to_string(p.rows[row].port) + ",\"rows\":[";
        for (size_t i = 0; i < rows.size(); ++i) {
            out += (i > 0 ? ",\"" : "\"") + rows[i] + "\"";
        }
        out += "]}";
        first = false;
    }
    out += "],\"warnings\":[";
    for (size_t i = 0; i < r.warnings.size(); ++i) {
        out += std::string(i > 0 ? "," : "") + "{\"line\":" + std::to_string(r.warnings[i].line) +
               ",\"text\":\"" + tool_escape(r.warnings[i].text, true) + "\"}";
    }
    return out + "]}\n";
}
