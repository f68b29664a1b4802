/* The cross toolchain's libgcc_eh was built for glibc and finds a program's
   unwind tables through glibc's _dl_find_object; musl has dl_iterate_phdr,
   from which the same answer follows.  Only programs that throw need it (the
   test programs: GoogleTest and the C++ library's own throws). */
#define _GNU_SOURCE
#include <link.h>
#include <stdint.h>
#include <string.h>

struct dl_find_object { /* glibc's layout on 32-bit PowerPC */
    unsigned long long dlfo_flags;
    void *dlfo_map_start, *dlfo_map_end, *dlfo_link_map, *dlfo_eh_frame;
    unsigned long long reserved[7];
};

struct query {
    uintptr_t pc;
    struct dl_find_object *out;
};

static int visit(struct dl_phdr_info *info, size_t size, void *arg) {
    struct query *q = arg;
    uintptr_t lo = UINTPTR_MAX, hi = 0, eh = 0;
    int hit = 0;
    (void)size;
    for (size_t i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *p = &info->dlpi_phdr[i];
        uintptr_t start = info->dlpi_addr + p->p_vaddr;
        if (p->p_type == PT_LOAD) {
            if (q->pc >= start && q->pc - start < p->p_memsz) {
                hit = 1;
            }
            if (start < lo) {
                lo = start;
            }
            if (start + p->p_memsz > hi) {
                hi = start + p->p_memsz;
            }
        } else if (p->p_type == PT_GNU_EH_FRAME) {
            eh = start;
        }
    }
    if (!hit) {
        return 0;
    }
    memset(q->out, 0, sizeof *q->out);
    q->out->dlfo_map_start = (void *)lo;
    q->out->dlfo_map_end = (void *)hi;
    q->out->dlfo_eh_frame = (void *)eh;
    return 1;
}

int _dl_find_object(void *pc, struct dl_find_object *out) {
    struct query q = {(uintptr_t)pc, out};
    return dl_iterate_phdr(visit, &q) > 0 ? 0 : -1;
}
