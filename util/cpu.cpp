#include "util/cpu.h"

#include <sched.h>
#include <unistd.h>

int bind_thread_to_cpu(unsigned int cpu, pthread_t thread) noexcept {
    // A failed query reads as -1, which as unsigned counts as many processors.
    if (static_cast<unsigned long>(sysconf(_SC_NPROCESSORS_ONLN)) <= 1) {
        return 0;
    }
    cpu_set_t set;  // 128 bytes: processors 0..1023
    static_assert(sizeof(cpu_set_t) == 128);
    CPU_ZERO(&set);
    if (cpu < 1024) {
        CPU_SET(cpu, &set);
    }
    // The result is not examined: an empty set is passed on as it is.
    (void)pthread_setaffinity_np(thread, sizeof set, &set);
    return 0;
}
