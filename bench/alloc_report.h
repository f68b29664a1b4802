// The shared page of the allocation counter (alloc_count.cpp), read by
// bench-ctl.  Every field is 64-bit so that writer and reader agree on it.
#pragma once

#include <cstdint>

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
