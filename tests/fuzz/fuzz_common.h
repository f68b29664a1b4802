// Shared set-up of the fuzz targets.  They run inside scripts/sandbox.sh
// (started without a console, so trace lines are formatted but go nowhere,
// and without a controller socket, so every log line fails fast with -121).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "params/params.h"

namespace tw_fuzz {

// A configuration with every kind of row: full and short lists, twins in one
// group and across groups, one address under two ports, cleared groups.
inline constexpr const char *representative_config =
    "ip_address=0xc0000201\n"
    "snmp_c1_ip=0xc000020a, 0xc000020b, 0xc000020c, 0xc000020a, 0x00000000, 0xc000020d\n"
    "snmp_c2_ip=0xc6336401, 0xc6336402\n"
    "snmp_c3_ip=0xc000020b, 0xcb00710a\n"
    "snmp_c4_ip=0xc000020a, 0xc000020e, 0xc000020f, 0xc0000210, 0xc0000211, 0xc0000212, "
    "0xc0000213, 0xc0000214\n"
    "snmp_c5_ip=0xcb007101\n"
    "snmp_c6_ip=0xcb007102, 0xcb007102\n"
    "snmp_c7_ip=0x00000000\n"
    "snmp_c8_ip=0xc6336403\n"
    "snmp_c9_ip=0xc6336404\n"
    "snmp_c10_ip=0xc6336405\n"
    "snmp_c11_ip=0xc6336406, 0xc6336407, 0xc6336408\n"
    "snmp_v3_trap_port=162, 162, 162, 1162, 0, 65535, 162, 162, 162, 162, 10162\n"
    "snmp_v3_trap_status=1, 1, 1, 1, 1, 1, 1, 2, 1, 1, 1\n"
    "snmp_status=1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1\n";

// A copy of the standard error taken at start, so that an invariant's report
// is seen although the run closes the target's standard error (the daemon's
// perror lines would otherwise flood it).
inline int report_fd = 2;
inline void keep_report_fd() {
    int fd = dup(2);
    if (fd >= 0) {
        report_fd = fd;
    }
}
[[noreturn]] inline void fail(const char *what, long detail) {
    dprintf(report_fd, "invariant broken: %s (%ld)\n", what, detail);
    std::abort();
}

// The fixed path of the reader exists only in the sandbox.
inline void require_sandbox() {
    keep_report_fd();
    struct stat st;
    if (stat("/run/tw-sandbox", &st) != 0) {
        std::fprintf(stderr,
                     "run the fuzz targets inside scripts/sandbox.sh (see scripts/fuzz.sh)\n");
        std::abort();
    }
}

inline bool write_params(const void *data, size_t size) {
    FILE *f = std::fopen(params_path, "wb");
    if (f == nullptr) {
        return false;
    }
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace tw_fuzz

namespace tw_fuzz {

// The lowest free descriptor number: a unit that leaks a descriptor moves it.
inline int lowest_free_fd() {
    int fd = dup(0);
    if (fd >= 0) {
        close(fd);
    }
    return fd;
}

}  // namespace tw_fuzz
