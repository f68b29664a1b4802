// alloc_count: an LD_PRELOAD library that counts the heap allocations a
// process makes once it has started serving, without changing the program.
//
//   TW_BENCH_ALLOC_FILE=/run/alloc.bin LD_PRELOAD=.../liballoc_count.so trapwatch
//
// Counting starts at the process's first listen() call: the daemon's main
// thread calls it once, when the control socket starts serving, after the
// configuration read, the fork and the worker threads' start.  From then on
// every malloc, calloc, realloc, aligned allocation and operator new is
// counted into a shared memory page (the file named by TW_BENCH_ALLOC_FILE,
// which the caller creates with alloc_report_len zero bytes, alloc_report.h), together with
// the call stacks of the first few, so that the bench can read the counts at
// any time while the daemon runs and say where an allocation came from.
//
// The file is shared by every process that inherits the variable (the
// launching process, the stop's pause shell), but only a process that called
// listen() counts, and it records its pid.
#include <dlfcn.h>
#include <execinfo.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "bench/alloc_report.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t size);
void *__libc_memalign(size_t align, size_t size);
void __libc_free(void *p);
}

namespace {

alloc_report *report = nullptr;  // mapped by the constructor; null until then
bool counting = false;           // this process has called listen()
// Set while the hook itself runs (backtrace may allocate); initial-exec so
// that reaching it never allocates either.
__attribute__((tls_model("initial-exec"))) thread_local bool in_hook = false;

void on_alloc(uint64_t alloc_report::*counter, size_t size) {
    if (!counting || report == nullptr || in_hook) {
        return;
    }
    in_hook = true;
    __atomic_fetch_add(&(report->*counter), 1, __ATOMIC_RELAXED);
    __atomic_fetch_add(&report->bytes, size, __ATOMIC_RELAXED);
    const uint64_t slot = __atomic_fetch_add(&report->total_calls, 1, __ATOMIC_RELAXED);
    if (slot < alloc_site_slots) {
        alloc_report::site &s = report->sites[slot];
        void *frames[alloc_site_depth];
        const int depth = backtrace(frames, alloc_site_depth);
        s.tid = static_cast<uint64_t>(syscall(SYS_gettid));
        s.size = size;
        s.depth = static_cast<uint64_t>(depth);
        for (int i = 0; i < depth; ++i) {
            s.frames[i] = reinterpret_cast<uintptr_t>(frames[i]);
        }
    }
    in_hook = false;
}

__attribute__((constructor)) void alloc_count_init() {
    report = alloc_report_map();
    // backtrace() loads its unwinder on first use, which allocates: do that
    // now, before anything is counted.
    void *warm[2];
    (void)backtrace(warm, 2);
}

using listen_fn = int (*)(int, int);

}  // namespace

extern "C" {

int listen(int fd, int backlog) {
    static listen_fn real = nullptr;
    if (real == nullptr) {
        real = reinterpret_cast<listen_fn>(dlsym(RTLD_NEXT, "listen"));
    }
    const int r = real(fd, backlog);
    if (report != nullptr && !counting) {
        counting = true;
        __atomic_store_n(&report->counting_pid, static_cast<uint64_t>(getpid()), __ATOMIC_RELAXED);
    }
    return r;
}

void *malloc(size_t size) {
    on_alloc(&alloc_report::malloc_calls, size);
    return __libc_malloc(size);
}

void *calloc(size_t n, size_t size) {
    on_alloc(&alloc_report::calloc_calls, n * size);
    return __libc_calloc(n, size);
}

void *realloc(void *p, size_t size) {
    on_alloc(&alloc_report::realloc_calls, size);
    return __libc_realloc(p, size);
}

void free(void *p) {
    __libc_free(p);
}

void *memalign(size_t align, size_t size) {
    on_alloc(&alloc_report::aligned_calls, size);
    return __libc_memalign(align, size);
}

void *aligned_alloc(size_t align, size_t size) {
    on_alloc(&alloc_report::aligned_calls, size);
    return __libc_memalign(align, size);
}

int posix_memalign(void **out, size_t align, size_t size) {
    on_alloc(&alloc_report::aligned_calls, size);
    void *p = __libc_memalign(align, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}

void *valloc(size_t size) {
    on_alloc(&alloc_report::aligned_calls, size);
    return __libc_memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size);
}

}  // extern "C"

// operator new is counted on its own and goes straight to glibc, so that one
// allocation is counted once.
namespace {
void *counted_new(size_t size, size_t align) {
    on_alloc(&alloc_report::new_calls, size);
    void *p = align > alignof(std::max_align_t) ? __libc_memalign(align, size)
                                                : __libc_malloc(size == 0 ? 1 : size);
    return p;
}
}  // namespace

void *operator new(size_t size) {
    void *p = counted_new(size, 0);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void *operator new[](size_t size) {
    return operator new(size);
}
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    return counted_new(size, 0);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
    return counted_new(size, 0);
}
void *operator new(size_t size, std::align_val_t align) {
    void *p = counted_new(size, static_cast<size_t>(align));
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void *operator new[](size_t size, std::align_val_t align) {
    return operator new(size, align);
}
void operator delete(void *p) noexcept {
    __libc_free(p);
}
void operator delete[](void *p) noexcept {
    __libc_free(p);
}
void operator delete(void *p, size_t) noexcept {
    __libc_free(p);
}
void operator delete[](void *p, size_t) noexcept {
    __libc_free(p);
}
void operator delete(void *p, std::align_val_t) noexcept {
    __libc_free(p);
}
void operator delete[](void *p, std::align_val_t) noexcept {
    __libc_free(p);
}
void operator delete(void *p, size_t, std::align_val_t) noexcept {
    __libc_free(p);
}
void operator delete[](void *p, size_t, std::align_val_t) noexcept {
    __libc_free(p);
}
