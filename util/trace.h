// Console trace to "/dev/ttyS0", gated by the 64-bit debug mask.
#pragma once

#include <atomic>
#include <cstdint>

// The debug mask.  64 bits wide, but a 64-bit atomic is not lock-free on the
// 32-bit target and the signal handler traces, so it is kept as two lock-free
// 32-bit words.  Only the main thread writes it; the high word is never set
// by any path, so a reader always sees the old or the new value.
class debug_mask {
   public:
    constexpr explicit debug_mask(uint64_t v)
        : lo_(static_cast<uint32_t>(v)), hi_(static_cast<uint32_t>(v >> 32)) {}
    uint64_t load() const {
        return (static_cast<uint64_t>(hi_.load(std::memory_order_relaxed)) << 32) |
               lo_.load(std::memory_order_relaxed);
    }
    void store(uint64_t v) {
        hi_.store(static_cast<uint32_t>(v >> 32), std::memory_order_relaxed);
        lo_.store(static_cast<uint32_t>(v), std::memory_order_relaxed);
    }
    // ORs bits into the low word (the debug commands only add low bits).
    void set_low_bits(uint32_t bits) { lo_.fetch_or(bits, std::memory_order_relaxed); }
    bool any(uint64_t mask) const { return (load() & mask) != 0; }

   private:
    std::atomic<uint32_t> lo_;
    std::atomic<uint32_t> hi_;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);

// The trace classes on by default: the bits of the mask.  The classes the
// debug commands add are in params/protocol.h; every class lies in the low word.
inline constexpr uint32_t dbg_none = 0;        // never printed
inline constexpr uint32_t dbg_daemon = 0x01;   // banner, fault line, dumps, spawn failures
inline constexpr uint32_t dbg_library = 0x02;  // the utility library's own detail

inline constexpr uint64_t dbg_level_default = dbg_daemon | dbg_library;
extern debug_mask dbg_level;  // 3 at start; written by start-up and the debug commands

inline constexpr const char *tty_path = "/dev/ttyS0";
inline constexpr int tty_chunk = 14;                   // bytes per console write
inline constexpr unsigned tty_chunk_pause_us = 10000;  // pause after each chunk

// Prints the formatted line on the console when mask shares a bit with
// dbg_level.  Returns 0 in every case.
int tty_prnt(uint64_t mask, const char *fmt, ...) noexcept __attribute__((format(printf, 2, 3)));

// Same, with a local time stamp in front; the line is kept in Msg.  One thread
// at a time (only the send thread calls it).
int tty_prnt_time(uint64_t mask, const char *fmt, ...) noexcept
    __attribute__((format(printf, 2, 3)));
extern char Msg[4096];

// Hex dump variants: the daemon's (dbg_daemon, header "%s(%d)\n", line end "\n")
// and the utility library's (dbg_library, header "%s(%d): buf: %p\n\r", "\n\r").
enum class dump_variant { daemon, library };
void tty_print_buf(const uint8_t *buf, int length, int offset, const char *name, int line,
                   dump_variant variant = dump_variant::daemon);
