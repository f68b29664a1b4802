// The shared page of the allocation counter (alloc_count.cpp), read by
// bench-ctl.  Every field is 64-bit so that writer and reader agree on it.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

inline constexpr int alloc_site_slots = 8;   // allocations whose call stacks are kept
inline constexpr int alloc_site_depth = 12;  // frames per stack

struct alloc_report {
    uint64_t counting_pid;  // the process that called listen(), 0 before
    uint64_t total_calls;   // all of the kinds below
    uint64_t malloc_calls;
    uint64_t calloc_calls;
    uint64_t realloc_calls;
    uint64_t aligned_calls;  // memalign, posix_memalign, aligned_alloc, valloc
    uint64_t new_calls;      // every operator new variant
    uint64_t bytes;          // sum of the requested sizes
    struct site {
        uint64_t tid;
        uint64_t size;
        uint64_t depth;
        uint64_t frames[alloc_site_depth];
    } sites[alloc_site_slots];
};
static_assert(sizeof(alloc_report) <= 4096);

inline constexpr long alloc_report_len = 4096;  // size of the file the caller creates

// The counters' shared page: the file TW_BENCH_ALLOC_FILE names, mapped
// (nullptr when there is none).  getenv is safe here: the daemon reads no
// variable, the counters do.
inline alloc_report *alloc_report_map() {
    const char *path = std::getenv("TW_BENCH_ALLOC_FILE");
    const int fd = path == nullptr ? -1 : open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    void *p = MAP_FAILED;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size >= alloc_report_len) {
        p = mmap(nullptr, sizeof(alloc_report), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<alloc_report *>(p);
}
