#include "trapwatch/worker.h"

#include <pthread.h>

#include "params/cmd_msg.h"
#include "util/cpu.h"
#include "util/errors.h"
#include "util/state.h"
#include "util/trace.h"

namespace {
constexpr const char *unit = "trapwatch";
}  // namespace

void worker_start(const char *fn, int line) {
    tty_prnt(dbg_init, "%s:%s(%d): enter\n\r", unit, fn, line);
    bind_thread_to_cpu(0, pthread_self());
    tty_prnt(dbg_proc, "%s:%s(%d): after bind, stopping_flag: %d\n\r", unit, fn, line,
             stopping_flag.load(std::memory_order_relaxed));
}

int worker_fail(std::atomic<int> &status, int code, const char *fn, int line, const char *what,
                int err) {
    char ebuf[errno_text_len];
    daemon_log(2, "%s(%d): %s: \"%s\"\n\r", fn, line, what, errno_text(err, ebuf, sizeof ebuf));
    status.store(code, std::memory_order_release);
    return code;
}

int worker_end(std::atomic<int> &status, const char *fn, int line) {
    status.store(0, std::memory_order_release);
    tty_prnt(dbg_init, "%s:%s(%d): exit\n\r", unit, fn, line);
    return 0;
}
