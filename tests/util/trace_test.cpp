// Console trace through the sandbox's capture at /dev/ttyS0, and through a pty
// standing in its place where the individual writes and pauses matter.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sandbox.h"
#include "util/trace.h"

using namespace std::chrono_literals;

namespace {

class console_trace : public testing::Test {
   protected:
    void SetUp() override { dbg_level.store(3); }
    void TearDown() override { dbg_level.store(3); }

    // Runs fn and returns exactly what it wrote to the console capture.
    // A marker line under mask 0x01 afterwards bounds the wait.
    template <class F>
    std::string printed(F fn) {
        size_t mark = tw_test::console().size();
        fn();
        uint64_t saved = dbg_level.load();
        dbg_level.store(3);
        tty_prnt(0x01, "<end>");
        dbg_level.store(saved);
        EXPECT_TRUE(tw_test::wait_console("<end>", 5s, mark));
        std::string all = tw_test::console();
        size_t end = all.find("<end>", mark);
        return end == std::string::npos ? std::string() : all.substr(mark, end - mark);
    }
};

// A raw pty standing in for the console: records the size and time of every
// read, so chunking and pauses are measured, not assumed.
class pty_console {
   public:
    pty_console() {
        int slave = -1;
        EXPECT_EQ(openpty(&master_, &slave, name_, nullptr, nullptr), 0);
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        close(slave);
        EXPECT_EQ(rename("/dev/ttyS0", "/dev/ttyS0.fifo"), 0);
        EXPECT_EQ(symlink(name_, "/dev/ttyS0"), 0);
    }
    ~pty_console() {
        unlink("/dev/ttyS0");
        rename("/dev/ttyS0.fifo", "/dev/ttyS0");
        close(master_);
    }
    struct piece {
        std::string bytes;
        std::chrono::steady_clock::time_point at;
    };
    // Reads until total bytes arrived or the limit passes.
    std::vector<piece> read_pieces(size_t total, std::chrono::milliseconds limit) {
        std::vector<piece> out;
        size_t got = 0;
        auto end = std::chrono::steady_clock::now() + limit;
        while (got < total && std::chrono::steady_clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            char buf[256];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) {
                out.push_back({std::string(buf, static_cast<size_t>(n)),
                               std::chrono::steady_clock::now()});
                got += static_cast<size_t>(n);
            }
        }
        return out;
    }

   private:
    int master_ = -1;
    char name_[64] = {};
};

}  // namespace

TEST_F(console_trace, mask_gates_every_line) {
    EXPECT_EQ(printed([] { tty_prnt(0x10, "init line\n\r"); }), "");
    EXPECT_EQ(printed([] { tty_prnt(0x90, "cmd line\n\r"); }), "");
    EXPECT_EQ(printed([] { tty_prnt(0x02, "lib line %d\n\r", 7); }), "lib line 7\n\r");

    dbg_level.set_low_bits(0x80);  // as DBG_KEELSON_CMD does
    EXPECT_EQ(printed([] { tty_prnt(0x90, "cmd: %d\n\r", 4); }), "cmd: 4\n\r");
    dbg_level.store(3);
    dbg_level.set_low_bits(0x10);  // as DBG_INIT does
    EXPECT_EQ(printed([] { tty_prnt(0x90, "cmd: %d\n\r", 5); }), "cmd: 5\n\r");

    dbg_level.store(~0ull);
    EXPECT_EQ(printed([] { tty_prnt(0, "never\n\r"); }), "");
    // 0x100 has no line of its own: the output is as before it was set.
    dbg_level.store(3 | 0x100);
    EXPECT_EQ(printed([] { tty_prnt(0x10, "still silent"); }), "");
}

TEST_F(console_trace, line_bytes_arrive_exactly) {
    EXPECT_EQ(printed([] { tty_prnt(1, "%s:%s(%d): exit\n\r", "trapwatch", "main", 42); }),
              "trapwatch:main(42): exit\n\r");
    EXPECT_EQ(printed([] { tty_prnt(1, "%s", ""); }), "");
}

TEST_F(console_trace, long_line_is_cut_to_4095_characters) {
    std::string big(5000, 'x');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    std::string out = printed([&] { tty_prnt(1, "%s", big.c_str()); });
    EXPECT_EQ(out, big.substr(0, 4095));
}

TEST_F(console_trace, missing_console_is_never_created) {
    ASSERT_EQ(rename("/dev/ttyS0", "/dev/ttyS0.away"), 0);
    EXPECT_EQ(tty_prnt(1, "nobody hears this\n\r"), 0);
    struct stat st;
    EXPECT_NE(stat("/dev/ttyS0", &st), 0);
    ASSERT_EQ(rename("/dev/ttyS0.away", "/dev/ttyS0"), 0);
}

TEST_F(console_trace, unmatched_mask_does_not_touch_the_device) {
    // A console that would block any open: nothing may try to open it.
    ASSERT_EQ(rename("/dev/ttyS0", "/dev/ttyS0.away"), 0);
    ASSERT_EQ(mkfifo("/dev/ttyS0", 0600), 0);
    auto t0 = std::chrono::steady_clock::now();
    tty_prnt(0x10, "not under mask 3\n\r");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    unlink("/dev/ttyS0");
    ASSERT_EQ(rename("/dev/ttyS0.away", "/dev/ttyS0"), 0);
}

TEST_F(console_trace, a_30_byte_line_is_three_chunks_with_a_pause_after_each) {
    pty_console pty;
    const std::string line = "0123456789abcdefghijklmnopqrs\n";  // 30 bytes
    // A reader that is late (a loaded machine) sees two chunks as one read;
    // a writer that does not chunk never shows three reads.  So the first
    // attempt that the reader kept up with decides.
    for (int attempt = 0; attempt < 5; ++attempt) {
        auto t0 = std::chrono::steady_clock::now();
        std::thread writer([&] { tty_prnt(1, "%s", line.c_str()); });
        auto pieces = pty.read_pieces(line.size(), 5s);
        writer.join();
        auto took = std::chrono::steady_clock::now() - t0;
        std::string all;
        for (const auto &p : pieces) {
            all += p.bytes;
        }
        ASSERT_EQ(all, line);
        EXPECT_GE(took, 29ms);  // three pauses, whatever the reader saw
        if (pieces.size() != 3) {
            continue;
        }
        EXPECT_EQ(pieces[0].bytes, line.substr(0, 14));
        EXPECT_EQ(pieces[1].bytes, line.substr(14, 14));
        EXPECT_EQ(pieces[2].bytes, line.substr(28));
        // A 10 ms pause follows each chunk, so the second cannot arrive before
        // one pause has passed, nor the third before two (a late reader only
        // makes these later).
        EXPECT_GE(pieces[1].at - t0, 9ms);
        EXPECT_GE(pieces[2].at - t0, 19ms);
        return;
    }
    ADD_FAILURE() << "never saw the line as three separate writes";
}

TEST_F(console_trace, fourteen_bytes_are_one_chunk_and_an_empty_line_never_pauses) {
    pty_console pty;
    // No pause for an empty line: the quickest of a few calls stays under one.
    auto quickest = std::chrono::steady_clock::duration::max();
    for (int i = 0; i < 5; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        tty_prnt(1, "%s", "");
        quickest = std::min(quickest, std::chrono::steady_clock::now() - t0);
    }
    EXPECT_LT(quickest, 8ms);

    std::thread writer([] { tty_prnt(1, "%s", "exactly14bytes"); });
    auto pieces = pty.read_pieces(14, 5s);
    writer.join();
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].bytes, "exactly14bytes");
}

TEST_F(console_trace, stamped_line_has_the_time_and_keeps_percent_literal) {
    std::string out = printed([] { tty_prnt_time(1, "load %s done\n\r", "100%d"); });
    // "Sat Dec 05 15:20:50 2026: load 100%d done\n\r"
    ASSERT_GE(out.size(), 26u);
    EXPECT_EQ(out.substr(24), ": load 100%d done\n\r");
    EXPECT_EQ(out[3], ' ');
    EXPECT_EQ(out[7], ' ');
    EXPECT_EQ(out[13], ':');
    EXPECT_EQ(out[16], ':');
    EXPECT_EQ(std::string(Msg), out);

    // Under mask 0 nothing prints, but Msg still holds the newest line.
    EXPECT_EQ(printed([] { tty_prnt_time(0, "quiet %d\n\r", 9); }), "");
    EXPECT_NE(std::string(Msg).find(": quiet 9\n\r"), std::string::npos);
}

TEST_F(console_trace, daemon_dump_matches_byte_for_byte) {
    const uint8_t b[17] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                           0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10, 0xff};
    EXPECT_EQ(printed([&] { tty_print_buf(b, 0, 0, "recv_thread", 100); }), "recv_thread(100)\n");
    EXPECT_EQ(printed([&] { tty_print_buf(b, 0, 0, "", 100); }), "");
    EXPECT_EQ(printed([&] { tty_print_buf(b, 5, 0, "", 1); }), "0000: 01 02 03 04  05 \n");
    EXPECT_EQ(printed([&] { tty_print_buf(b, 16, 0, "x", 2); }),
              "x(2)\n0000: 01 02 03 04  05 06 07 08    09 0a 0b 0c  0d 0e 0f 10 \n");
    EXPECT_EQ(printed([&] { tty_print_buf(b, 17, 0x20, "", 3); }),
              "0020: 01 02 03 04  05 06 07 08    09 0a 0b 0c  0d 0e 0f 10 \n0030: ff \n");
}

TEST_F(console_trace, library_dump_has_its_own_header_and_line_end) {
    const uint8_t b[17] = {0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8,
                           0xa9, 0xaa, 0xab, 0xac, 0xad, 0xae, 0xaf, 0x00};
    char header[64];
    std::snprintf(header, sizeof header, "lib(9): buf: %p\n\r", static_cast<const void *>(b));
    EXPECT_EQ(printed([&] { tty_print_buf(b, 0, 0, "lib", 9, dump_variant::library); }), header);
    EXPECT_EQ(printed([&] { tty_print_buf(b, 5, 0, "", 9, dump_variant::library); }),
              "0000: a0 a1 a2 a3  a4 \n\r");
    EXPECT_EQ(printed([&] { tty_print_buf(b, 17, 0x20, "", 9, dump_variant::library); }),
              "0020: a0 a1 a2 a3  a4 a5 a6 a7    a8 a9 aa ab  ac ad ae af \n\r0030: 00 \n\r");
    // The library variant prints under 0x02 only.
    dbg_level.store(1);
    EXPECT_EQ(printed([&] { tty_print_buf(b, 5, 0, "lib", 9, dump_variant::library); }), "");
}
