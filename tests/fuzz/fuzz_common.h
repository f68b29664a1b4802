// Shared by the fuzz targets, which run inside scripts/sandbox.sh without a
// console (trace lines are formatted, then dropped) or a controller socket.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "params/params.h"
#include "util/trace.h"

namespace tw_fuzz {

// The standard error as it was at start: the runs close the target's own.
inline const int report_fd = dup(2);

inline void check(bool ok, const char *what, long detail = 0) {
    if (!ok) {
        dprintf(report_fd, "invariant broken: %s (%ld)\n", what, detail);
        std::abort();
    }
}

inline void write_params(const void *data, size_t size) {
    FILE *f = std::fopen(params_path, "wb");
    check(f != nullptr && std::fwrite(data, 1, size, f) == size && std::fclose(f) == 0, "params");
}

// The lowest free descriptor number: a unit that leaks a descriptor moves it.
inline int lowest_free_fd() {
    const int fd = dup(0);
    close(fd);
    return fd;
}

}  // namespace tw_fuzz

// The reader's fixed path exists only in the sandbox.  Every trace line is
// formatted, whatever its bit.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tw_fuzz::check(access("/run/tw-sandbox", F_OK) == 0, "run inside scripts/sandbox.sh");
    dbg_level.store(~uint64_t{0});
    return 0;
}
