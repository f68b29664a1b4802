// The configuration check (trapwatchctl check-config): the daemon's own
// reader (params_read) over any file, then what it stopped at, what it read
// differently from how the file looks, and what the daemon would watch.
//
//   config_report r = config_check("/mnt/params/cfparams.txt");
//   fputs(config_text(r).c_str(), stdout);   // or config_json(r)
//   return config_complete(r) ? 0 : 1;
//
// Tool code: it may use the heap; nothing of it runs inside the daemon.
#pragma once

#include <string>
#include <vector>

#include "params/params.h"

struct config_warning {
    int line;  // 1-based, as the reader counts them (0: the whole file)
    std::string text;
};

struct config_report {
    std::string path;
    int open_errno = 0;  // nonzero: the file cannot be opened; read is empty
    params_read_t read{};
    int lines_after = 0;  // lines after the fifteenth key, never read
    std::vector<config_warning> warnings;
};

config_report config_check(const std::string &path);

inline bool config_complete(const config_report &r) {
    return r.open_errno == 0 && r.read.stop == params_stop::complete;
}

// A group is watched when its trap status is exactly 1 and its status not 0.
inline bool config_watched(const params_read_t &r, int g) {
    return r.trap_status[g] == 1 && r.status[g] != 0;
}

// For the operator: the verdict (and why the daemon stops), the groups the
// daemon watches, then the warnings.
std::string config_text(const config_report &r);
// The same as one line of JSON (fields in docs/control.md).
std::string config_json(const config_report &r);
