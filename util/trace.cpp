#include "util/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

debug_mask dbg_level{dbg_level_default};
char Msg[4096];

namespace {

constexpr size_t fmt_buf_len = 4096;

// Writes an already formatted line: 14-byte chunks with a pause after each,
// the device opened for this line alone.  The device is opened as fopen(..,
// "w") would open it (write-only, create, truncate), but with plain system
// calls: each chunk reaches the console as its own write before the pause,
// nothing is allocated, and the calls stay usable from the signal handler.
void tty_write_line(const char *text, size_t n) {
    struct stat st;
    // Query first: the open would otherwise create a regular file.
    if (stat(tty_path, &st) != 0) {
        return;
    }
    // O_NOCTTY: the daemon is a session leader and must not take the console as
    // its controlling terminal by tracing to it.
    int fd = open(tty_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        return;
    }
    while (n > 0) {
        size_t chunk = n < static_cast<size_t>(tty_chunk) ? n : static_cast<size_t>(tty_chunk);
        // The result is not examined: a failed write still takes its pause.
        (void)!write(fd, text, chunk);
        usleep(tty_chunk_pause_us);
        text += chunk;
        n -= chunk;
    }
    close(fd);
}

int vtty_prnt(uint64_t mask, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
int vtty_prnt(uint64_t mask, const char *fmt, va_list ap) {
    if (!dbg_level.any(mask)) {
        return 0;
    }
    char buf[fmt_buf_len];
    int r = std::vsnprintf(buf, sizeof buf, fmt, ap);
    if (r < 0) {
        return 0;
    }
    size_t n = static_cast<size_t>(r) < sizeof buf ? static_cast<size_t>(r) : sizeof buf - 1;
    tty_write_line(buf, n);
    return 0;
}

}  // namespace

int tty_prnt(uint64_t mask, const char *fmt, ...) noexcept {
    va_list ap;
    va_start(ap, fmt);
    vtty_prnt(mask, fmt, ap);
    va_end(ap);
    return 0;
}

int tty_prnt_time(uint64_t mask, const char *fmt, ...) noexcept {
    time_t now = time(nullptr);
    struct tm tmv;
    size_t used = 0;
    if (localtime_r(&now, &tmv) != nullptr) {
        // At most 256 bytes of stamp, then ": ".
        used = strftime(Msg, 256, "%a %b %d %H:%M:%S %Y", &tmv);
        std::memcpy(Msg + used, ": ", 3);
        used += 2;
    }
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(Msg + used, sizeof Msg - used, fmt, ap);
    va_end(ap);
    // Printed as plain text, so a "%" in the assembled line stays a "%".
    return tty_prnt(mask, "%s", Msg);
}

void tty_print_buf(const uint8_t *buf, int length, int offset, const char *name, int line,
                   dump_variant variant) {
    const bool lib = variant == dump_variant::library;
    const uint64_t mask = lib ? dbg_library : dbg_daemon;
    const char *eol = lib ? "\n\r" : "\n";
    if (name[0] != '\0') {
        if (lib) {
            tty_prnt(mask, "%s(%d): buf: %p\n\r", name, line, static_cast<const void *>(buf));
        } else {
            tty_prnt(mask, "%s(%d)\n", name, line);
        }
    }
    if (length <= 0) {
        return;
    }
    tty_prnt(mask, "%04x: ", static_cast<unsigned>(offset));
    int c = 0;
    for (int i = 0; i < length; ++i) {
        if (c != 0 && c % 4 == 0) {
            tty_prnt(mask, " ");
        }
        if (c != 0 && c % 8 == 0) {
            tty_prnt(mask, "  ");
        }
        tty_prnt(mask, "%02x ", buf[i]);
        ++c;
        if (c == 16) {
            tty_prnt(mask, "%s", eol);
            if (i + 1 < length) {
                tty_prnt(mask, "%04x: ", static_cast<unsigned>(offset + i + 1));
            }
            c = 0;
        }
    }
    if (c != 0) {
        tty_prnt(mask, "%s", eol);
    }
}
