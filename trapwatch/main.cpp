// trapwatch: watches whether the configured SNMP trap receivers can be reached.
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>

#include "net/packet.h"
#include "params/params.h"
#include "trapwatch/control.h"
#include "trapwatch/startup.h"
#include "trapwatch/status.h"
#include "trapwatch/stop.h"
#include "trapwatch/version.h"
#include "util/state.h"
#include "util/trace.h"

int main() {
    hold_standard_descriptors();
    route_signal(SIGSEGV);

    dbg_level.store(dbg_level_default);
    tty_prnt(dbg_init, "%s:%s(%d): dbg_lvl: 0x%016llx\n\r", "trapwatch", "main", __LINE__,
             static_cast<unsigned long long>(dbg_level.load()));
    tty_prnt(dbg_daemon, "trapwatch version %s\n\r", trapwatch_version_text);

    std::memset(entries_status, 0, sizeof entries_status);
    // A missing or bad file leaves an empty table; the daemon starts anyway.
    (void)process_params(entries.data(), &mgmt_ip);
    sprint_ip(mgmt_if_ip, mgmt_ip);

    // The time zone is loaded now, once: otherwise the first time-stamped
    // trace (the refresh sequence's) would read it, and allocate, in the send
    // thread long after start-up.
    tzset();

    daemonize();

    // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc marks sleep for SIGCHLD's disposition only
    sleep(1);
    tty_prnt(dbg_proc, "%d) %s(%d)\n\r", getpid(), "main", __LINE__);
    int status = p_cmd_loop();
    tty_prnt(dbg_init, "%d) %s(%d) status: 0x%x\n\r", getpid(), "main", __LINE__,
             static_cast<unsigned>(status));
    clean_and_exit(status, 0, __LINE__);
    return status;
}
