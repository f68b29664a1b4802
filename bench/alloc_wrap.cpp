// alloc_wrap: the allocation counter of the static musl build, which a
// preloaded library (alloc_count.cpp) cannot reach.  It is linked into a
// bench-only variant of the daemon, trapwatch-alloc, whose link wraps the
// allocator's entry points (-Wl,--wrap=malloc,...): every call to malloc,
// calloc, realloc, memalign, aligned_alloc or posix_memalign, from the
// daemon or the C++ library (operator new goes through malloc, and is
// counted there), and to musl's internal __libc_malloc, __libc_calloc and
// __libc_realloc (the time zone, atexit, posix_spawn, locales), comes here
// first.  A call that passes two of them (realloc, calloc) counts twice: the
// figure to meet is zero.
//
//   TW_BENCH_ALLOC_FILE=/run/alloc.bin qemu-ppc .../trapwatch-alloc
//
// As with the preloaded counter, counting starts at the process's first
// listen() and goes to the shared page of alloc_report.h, in the counting
// process's byte order (the PowerPC bench-ctl reads it).  Of each of the
// first allocations only the caller's address is kept.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "bench/alloc_report.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t n, size_t size);
void *__real_realloc(void *p, size_t size);
void *__real_memalign(size_t align, size_t size);
void *__real_aligned_alloc(size_t align, size_t size);
int __real_posix_memalign(void **out, size_t align, size_t size);
int __real_listen(int fd, int backlog);
void *__real___libc_malloc(size_t size);
void *__real___libc_calloc(size_t n, size_t size);
void *__real___libc_realloc(void *p, size_t size);
}

namespace {

alloc_report *report = nullptr;  // mapped by the constructor; null until then
bool counting = false;           // this process has called listen()

// 64-bit atomics are not lock-free on 32-bit PowerPC (they would need
// libatomic, which is glibc's): the counts are kept in 32-bit atomics, and
// each new value is stored into the page's 64-bit field, whose high half
// stays zero.  Of two racing stores the lower may land last; the figure that
// matters, zero or not, is never lost.
struct counts {
    uint32_t total, malloc, calloc, realloc, aligned, bytes;
} seen;

void bump(uint32_t &count, uint64_t &field, uint32_t by) {
    field = __atomic_add_fetch(&count, by, __ATOMIC_RELAXED);
}

void on_alloc(uint32_t counts::*count, uint64_t alloc_report::*field, size_t size, void *caller) {
    if (!counting || report == nullptr) {
        return;
    }
    bump(seen.*count, report->*field, 1);
    bump(seen.bytes, report->bytes, static_cast<uint32_t>(size));
    const uint32_t slot = __atomic_fetch_add(&seen.total, 1, __ATOMIC_RELAXED);
    report->total_calls = slot + 1;
    if (slot < alloc_site_slots) {
        alloc_report::site &s = report->sites[slot];
        s.tid = static_cast<uint64_t>(syscall(SYS_gettid));
        s.size = size;
        s.depth = 1;
        s.frames[0] = reinterpret_cast<uintptr_t>(caller);
    }
}

__attribute__((constructor)) void alloc_wrap_init() {
    report = alloc_report_map();
}

}  // namespace

#define TW_CALLER __builtin_return_address(0)

extern "C" {

int __wrap_listen(int fd, int backlog) {
    const int r = __real_listen(fd, backlog);
    if (report != nullptr && !counting) {
        counting = true;
        report->counting_pid = static_cast<uint64_t>(getpid());
    }
    return r;
}

void *__wrap_malloc(size_t size) {
    on_alloc(&counts::malloc, &alloc_report::malloc_calls, size, TW_CALLER);
    return __real_malloc(size);
}

void *__wrap_calloc(size_t n, size_t size) {
    on_alloc(&counts::calloc, &alloc_report::calloc_calls, n * size, TW_CALLER);
    return __real_calloc(n, size);
}

void *__wrap_realloc(void *p, size_t size) {
    on_alloc(&counts::realloc, &alloc_report::realloc_calls, size, TW_CALLER);
    return __real_realloc(p, size);
}

void *__wrap_memalign(size_t align, size_t size) {
    on_alloc(&counts::aligned, &alloc_report::aligned_calls, size, TW_CALLER);
    return __real_memalign(align, size);
}

void *__wrap_aligned_alloc(size_t align, size_t size) {
    on_alloc(&counts::aligned, &alloc_report::aligned_calls, size, TW_CALLER);
    return __real_aligned_alloc(align, size);
}

int __wrap_posix_memalign(void **out, size_t align, size_t size) {
    on_alloc(&counts::aligned, &alloc_report::aligned_calls, size, TW_CALLER);
    return __real_posix_memalign(out, align, size);
}

void *__wrap___libc_malloc(size_t size) {
    on_alloc(&counts::malloc, &alloc_report::malloc_calls, size, TW_CALLER);
    return __real___libc_malloc(size);
}

void *__wrap___libc_calloc(size_t n, size_t size) {
    on_alloc(&counts::calloc, &alloc_report::calloc_calls, n * size, TW_CALLER);
    return __real___libc_calloc(n, size);
}

void *__wrap___libc_realloc(void *p, size_t size) {
    on_alloc(&counts::realloc, &alloc_report::realloc_calls, size, TW_CALLER);
    return __real___libc_realloc(p, size);
}

}  // extern "C"
