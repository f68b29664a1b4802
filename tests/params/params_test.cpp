// The configuration reader on real files at "/mnt/params/cfparams.txt", and
// the controller link, both against the in-process controller stand-in.
#include "params/params.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <numeric>
#include <thread>

#include "params/cmd_msg.h"
#include "tests/support/keelson_text.h"
#include "tests/support/sandbox.h"
#include "tools/config_check.h"
#include "tools/keelson_stub.h"
#include "util/state.h"

namespace {

using namespace std::chrono_literals;
using lines = std::vector<std::string>;
using kind = keelson_reply::kind;
namespace gi = testing::internal;

// Address of group g, index i: 10.0.(g+1).(i+1); port of group g: 1001 + g.
uint32_t ip_of(size_t g, size_t i) {
    return static_cast<uint32_t>(0x0a000000 | (g + 1) << 8 | (i + 1));
}

// Fifteen lines in which every address and port is distinct and every group
// is on, then edited.
std::string config(const std::function<void(lines &)> &edit) {
    lines l{"ip_address=0xc0000201\n"};
    std::string ports = "snmp_v3_trap_port=1001";
    for (size_t g = 0; g < 11; ++g) {
        l.push_back("snmp_c" + std::to_string(g + 1) + "_ip=");
        for (size_t i = 0; i < 8; ++i) {
            char b[16];
            std::snprintf(b, sizeof b, "%s0x%08x", i > 0 ? ", " : "", ip_of(g, i));
            l.back() += b;
        }
        l.back() += "\n";
        ports += g > 0 ? ", " + std::to_string(1001 + g) : "";
    }
    l.insert(l.end(), {ports + "\n", "snmp_v3_trap_status=1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1\n",
                       "snmp_status=1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1\n"});
    if (edit) {
        edit(l);
    }
    return std::accumulate(l.begin(), l.end(), std::string());
}

// Rewrites the address of row r in its group's line.
void put(lines &l, size_t r, uint32_t ip) {
    char b[9];
    std::snprintf(b, sizeof b, "%08x", ip);
    l[r / 8 + 1].replace(l[r / 8 + 1].find('=') + 3 + 12 * (r % 8), 8, b);
}

// The rows a complete read gives: the default rows but for the ports (empty:
// 1001 + group; missing ones 0), the number of addresses each group keeps
// (missing ones 8), then rows with another address or a twin's mark, as
// triples (row, address, 1: has_dups / 2: is_dup).
struct rows_want {
    std::vector<uint16_t> ports = {};
    std::vector<size_t> kept = {};
    std::vector<uint32_t> rows = {};
};

constexpr uint32_t twin = 0x0a000005;

auto fields(const entry_t &e) {
    return std::tuple(+e.group, +e.index, e.ip, +e.port, +e.has_dups, +e.is_dup, +e.ping_ok,
                      +e.udp_ok, +e.status, +e.seq, e.fail_count);
}

// A read that never counts fifteen keys leaves the table all zero (not even
// numbered); the management address keeps what was scanned before the end.
const std::string pp = "process_params({N}): ";
const std::string path = params_path;
// the file ("": none, "/": a directory), the result, the management
// address, the one error line sent ({N}: the source line), the rows, the edit
struct reader_case {
    const char *file;
    int result;
    uint32_t mgmt;
    std::string log;
    rows_want rows;
    std::function<void(lines &)> edit = nullptr;
};
const reader_case reader_cases[] = {
    // clang-format off
        {"", -100, 0x01020304,
         pp + "fopen(" + path + ") failed on error: \"No such file or directory\".\n", {}},
        {"/", 100, 0x01020304,
         pp + "read configuration file " + path + " failed on error \"Is a directory\"!\n", {}},
        {"empty", 100, 0x01020304, "", {}, [](lines &l) { l.clear(); }},
        {"fourteen keys", 100, 0xc0000201, "", {}, [](lines &l) { l.pop_back(); }},
        {"an empty line", 100, 0xc0000201, pp + "error parsing params string = \n.\n", {},
         [](lines &l) { l.insert(l.begin() + 5, "\n"); }},
        // 33 + 222 = 255 characters up to the blanks; the rest is read as a line.
        {"a long line", 100, 0xc0000201, pp + "error parsing params string = t\n.\n", {},
         [](lines &l) { l[1] = l[1].substr(0, 33) + std::string(222, ' ') + "t\n"; }},
        {"every key in order", 0, 0xc0000201, "", {}},
        {"any order, unknown keys skipped, nothing after 15 keys", 0, 0xc0000278, "", {},
         [](lines &l) {
             l[0] = "ip_address = 0xc0000277\n";  // blanks around '=': another key
             std::reverse(l.begin(), l.end());
             l.insert(l.begin() + 3, {"snmp_c12_ip=0x0a0c0001\n", "SNMP_STATUS=0, 0, 0, 0\n"});
             l.push_back("ip_address=0xc0000278\nsnmp_c1_ip=0x0b000001\nip_address=0x1\nx\n");
         }},
        // The lists never come and read as 0: every group is cleared, port 0.
        {"fifteen ip_address lines", 0, 0xc0000201, "", {{0}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
         [](lines &l) { l.insert(l.begin(), 14, l[0]); }},
        // fgets takes 255 characters (22 + 223 + 10), the last digit of the
        // second address as the 255th; the rest is the next line, group 2's
        // key.  The last character of a line stands for its break, whatever it is.
        {"a line over 255 characters, no break at the end", 0, 0xc0000201, "",
         {{}, {2}, {1, 0x0a00010, 0, 87, 0x0a000b0, 0}},
         [](lines &l) {
             l[1] = l[1].substr(0, 22) + std::string(223, ' ') + "0x0a000107" + l[2];
             l.erase(l.begin() + 2);
             l[10].pop_back();  // "..., 0x0a000b08" read as "..., 0x0a000b0"
             std::swap(l[10], l[13]);
         }},
        // A group stays when its trap status is 1 and its status not 0; a
        // short list leaves the groups past it without a number.  A blank
        // before a comma ends a list; one after '=' is harmless before a
        // number but not before "0x".  Ports keep their low 16 bits.
        {"group rule, separators, blanks and number bases", 0, 0xc0000201, "",
         {{4464, 114, 8080, 65535, 0, 65535}, {2, 0, 0, 0, 1, 0, 3, 0, 0, 0, 0}},
         [](lines &l) {
             l[1] = "snmp_c1_ip=0x0a000101,0x0a000102\n";
             l[5] = "snmp_c5_ip=0x0a000501 ,0x0a000502\n";
             l[7] = "snmp_c7_ip=0x0a000701,  \t 0x0a000702,0x0a000703\n";
             l[8] = "snmp_c8_ip= 0x0a000801\n";
             l[12] = "snmp_v3_trap_port=  70000, 0162,0x1F90, -1, 65536, 65535 , 1007\n";
             l[13] = "snmp_v3_trap_status= 1, 2, 0, 1, 1, -1, 1, 1, 3, 1, 1\n";
             l[14] = "snmp_status=1, 1, 1, 0, 5, 1, -7, 1, 1, x\n";
         }},
        // Beyond 32 bits a number saturates, as the board's 32-bit C library
        // reads it (a 64-bit one would wrap): one reading on every host.
        {"numbers beyond 32 bits saturate", 0, 0xffffffff, "",
         {{65535, 0, 65535, 65535, 1005, 1006, 1007, 1008, 1009, 1010, 1011}, {}, {0, 0xffffffff, 0}},
         [](lines &l) {
             l[0] = "ip_address=0x1c0000201\n";
             l[1] = "snmp_c1_ip=0x1c0000201" + l[1].substr(l[1].find(','));
             l[12] = "snmp_v3_trap_port=4294967458, -4294967458, 2147483648, 0x1000000a2, 1005, "
                     "1006, 1007, 1008, 1009, 1010, 1011\n";
         }},
        // Twins share address and port: the first has_dups, the later ones
        // is_dup.  Another port, an empty slot or a cleared group makes none.
        {"twins", 0, 0xc0000201, "",
         {{1001, 1002, 1001, 1004, 1005, 1006, 1007, 1008, 1009, 1001, 1011},
          {8, 8, 8, 8, 8, 8, 8, 8, 8, 0},
          {3, twin, 1, 22, twin, 2, 8, twin, 0, 24, twin, 0, 33, 0, 0, 34, 0, 0,
           58, twin, 1, 61, twin, 2, 63, twin, 2}},
         [](lines &l) {
             l[12] = "snmp_v3_trap_port=1001, 1002, 1001, 1004, 1005, 1006, 1007, 1008, 1009, "
                     "1001, 1011\n";
             l[13] = "snmp_v3_trap_status=1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1\n";
             for (size_t r : {3u, 22u, 8u, 24u, 72u, 58u, 61u, 63u, 33u, 34u}) {
                 put(l, r, r == 33 || r == 34 ? 0 : twin);
             }
         }},
    // clang-format on
};

// Puts the case's file at the reader's path.
void place(const reader_case &c) {
    unlink(params_path);
    rmdir(params_path);
    ASSERT_TRUE(std::string(c.file) != "/" || mkdir(params_path, 0755) == 0);
    if (std::strlen(c.file) > 1) {
        tw_test::write_file(params_path, config(c.edit));
    }
}

}  // namespace

TEST(process_params, reads_fill_every_field_of_every_row_or_empty_the_table) {
    keelson_stub stub;
    for (const auto &c : reader_cases) {
        SCOPED_TRACE(c.file);
        place(c);
        std::array<entry_t, 88> table;  // every field, the probe state too, must be rewritten
        std::memset(static_cast<void *>(table.data()), 0xab, sizeof table);
        uint32_t mgmt = 0x01020304;
        stub.clear();
        EXPECT_EQ(process_params(table.data(), &mgmt), c.result);
        EXPECT_EQ(mgmt, c.mgmt);
        entry_t want[88] = {};
        for (size_t r = 0; c.result == 0 && r < 88; ++r) {
            const size_t g = r / 8, i = r % 8;
            const auto &p = c.rows.ports;
            want[r].group = static_cast<uint8_t>(g);
            want[r].index = static_cast<uint8_t>(i);
            want[r].ip = i < (g < c.rows.kept.size() ? c.rows.kept[g] : 8) ? ip_of(g, i) : 0;
            want[r].port = static_cast<uint16_t>(p.empty() ? 1001 + g : g < p.size() ? p[g] : 0);
        }
        for (size_t k = 0; k + 2 < c.rows.rows.size(); k += 3) {
            entry_t &w = want[c.rows.rows[k]];
            w.ip = c.rows.rows[k + 1];
            w.has_dups = c.rows.rows[k + 2] == 1;
            w.is_dup = c.rows.rows[k + 2] == 2;
        }
        for (size_t r = 0; r < 88; ++r) {
            EXPECT_EQ(fields(table[r]), fields(want[r])) << "row " << r;
        }
        const auto got = stub.requests();
        ASSERT_EQ(got.size(), c.log.empty() ? 0u : 1u);
        EXPECT_TRUE(got.empty() ||
                    (got[0].cmd == 230 && got[0].param == 2 && got[0].origin == "SNMP" &&
                     tw_test::text_matches(got[0].text(), c.log)))
            << got[0].text();
    }
}

// The check reads as the daemon reads: for every file of the reader's table
// and of the fuzz corpus, the same verdict, management address and rows.
TEST(config_check, verdict_and_table_are_the_readers_own) {
    std::vector<std::pair<std::string, std::function<void()>>> files;
    for (const auto &c : reader_cases) {
        files.push_back({c.file, [&c] { place(c); }});
    }
    for (const auto &e :
         std::filesystem::directory_iterator(TW_SOURCE_DIR "/tests/fuzz/corpus/params")) {
        files.push_back({e.path().filename(),
                         [e] { tw_test::write_file(params_path, tw_test::read_file(e.path())); }});
    }
    keelson_stub stub;  // the reader's log lines go there
    for (const auto &[name, put_file] : files) {
        SCOPED_TRACE(name);
        put_file();
        std::array<entry_t, 88> table;
        uint32_t mgmt = 0x01020304;
        const int result = process_params(table.data(), &mgmt);
        const config_report r = config_check(params_path);
        EXPECT_EQ(config_complete(r), result == 0);
        EXPECT_EQ(r.read.mgmt_set ? r.read.mgmt : 0x01020304, mgmt);
        for (size_t row = 0; row < 88; ++row) {
            EXPECT_EQ(fields(r.read.rows[row]), fields(table[row])) << "row " << row;
            EXPECT_TRUE(config_watched(r.read, static_cast<int>(row / 8)) || table[row].ip == 0);
        }
    }
}

// What the operator reads: the reason where the reading stops, the lines
// read otherwise than they look, and what is watched.
TEST(config_check, reasons_and_warnings_in_the_operators_words) {
    const struct {
        const char *what;
        std::function<void(lines &)> edit;
        std::vector<std::string> said;       // lines of the text, in order
        std::vector<std::string> json = {};  // pieces of the JSON, in order
    } cases[] = {
        {"an empty line",
         [](lines &l) { l.insert(l.begin() + 4, "\n"); },
         {": line 5: empty line: the daemon stops reading here",
          "the daemon then watches nothing until a good file is read (trapwatchctl restart)",
          "the management address read before that, 192.0.2.1, stays"},
         {"{\"file\":\"/mnt/params/cfparams.txt\",\"complete\":false,\"line\":5,\"reason\":"
          "\"empty line: the daemon stops reading here\",\"keys\":4,\"lines\":5,\"management\":"
          "\"192.0.2.1\",\"groups\":[],\"probed_once\":[],\"warnings\":[]}\n"}},
        {"a comment",
         [](lines &l) { l.insert(l.begin(), "# written by hand\n"); },
         {": line 1: a comment: the daemon stops reading here"}},
        {"no '='",
         [](lines &l) {
             l.insert(l.begin() + 2, {"x=1\n", "snmp_c1_ip\n"});
         },
         {": line 4: no '=' before the fifteenth key: the daemon stops reading here",
          "warning: line 3: unknown key \"x\": the line is skipped"}},
        {"fourteen keys",
         [](lines &l) { l.pop_back(); },
         {": the file ends after 14 of the 15 keys"}},
        {"no break at the end",
         [](lines &l) { l[14].pop_back(); },
         {": complete: the daemon reads its 15 keys in 15 lines",
          "warning: line 15: no line break at its end: its last character is dropped; the "
          "daemon reads \"snmp_status=1, 1, 1, 1, 1, 1, 1, 1, 1, 1, \""}},
        {"slips",
         [](lines &l) {
             l[0] = "ip_address = 0xc0000201\nip_address=0xc0000201\n";
             l[1] = "snmp_c1_ip= 0x0a000101, 0x0a000102\n";
             l[2] = "snmp_c2_ip=0x0a000201 ,0x0a000202\n";
             l[3] += "snmp_c3_ip=0x0a000301\n";  // again
             l[5] = "snmp_c5_ip=0x0a000201\n";   // c2's first, on the same port
             l[11] = "";                         // c11 never comes
             l[12] =
                 "snmp_v3_trap_port=70000, 0162, 1003, 1004, 114, 1006, 1007, 1008, 1009, "
                 "1010, 1011\n";
             l[13] = "snmp_v3_trap_status=1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1\n";
             l[14] = "snmp_status=1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1\n";
             l.push_back("\nsnmp_c11_ip=0x0a000b01\n");
         },
         {": complete: the daemon reads its 15 keys in 16 lines", "management address 192.0.2.1",
          "group  watched              trap port  receivers (index:address)",
          "c1     yes                  4464       -",
          "c2     yes                  114        0:10.0.2.1",
          "c3     yes                  1003       0:10.0.3.1 1:10.0.3.2 2:10.0.3.3 3:10.0.3.4 "
          "4:10.0.3.5 5:10.0.3.6 6:10.0.3.7 7:10.0.3.8",
          "c5     yes                  114        0:10.0.2.1",
          "c9     no (status 0)        1009       -", "c10    no (trap status 0)   1010       -",
          "c11    yes                  1011       -",
          "probed once: 10.0.2.1 port 114 for c2.0 c5.0",
          "warning: line 1: unknown key \"ip_address \": the line is skipped (blanks around '=' "
          "belong to the key)",
          "warning: line 3: a blank after '=': the daemon reads 0 of the 2 numbers of snmp_c1_ip: "
          "the whole list is lost",
          "warning: line 4: a blank before a comma: the daemon reads 1 of the 2 numbers of "
          "snmp_c2_ip: the rest is lost",
          "warning: line 6: snmp_c3_ip given again (first on line 5): counted again, so another "
          "key may never be read",
          "warning: line 14: the trap port of c1 (70000) does not fit 16 bits: the daemon uses "
          "port 4464",
          "warning: line 14: the trap port of c2 is written with a leading 0, which makes it "
          "octal: the daemon uses port 114",
          "warning: line 17: this line and the 1 after it come after the fifteenth key: the "
          "daemon never reads them",
          "warning: snmp_c11_ip is never read (fifteen keys were counted before it): its numbers "
          "are 0"},
         {"\"complete\":true,\"keys\":15,\"lines\":16,\"management\":\"192.0.2.1\",",
          "{\"group\":\"c2\",\"watched\":true,\"trap_status\":1,\"status\":1,\"trap_port\":114,"
          "\"addresses\":[\"10.0.2.1\",null,null,null,null,null,null,null]}",
          "{\"group\":\"c10\",\"watched\":false,\"trap_status\":0,",
          "\"probed_once\":[{\"address\":\"10.0.2.1\",\"trap_port\":114,\"rows\":[\"c2.0\","
          "\"c5.0\"]}]",
          "{\"line\":1,\"text\":\"unknown key \\\"ip_address \\\": the line is skipped",
          "{\"line\":0,\"text\":\"snmp_c11_ip is never read"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        tw_test::write_file(params_path, config(c.edit));
        const config_report r = config_check(params_path);
        const std::string text = config_text(r), json = config_json(r);
        size_t at = 0;
        for (const std::string &line : c.said) {
            const size_t found = text.find(line + "\n", at);
            ASSERT_NE(found, std::string::npos) << line << "\nin:\n" << text;
            at = found + line.size();
        }
        at = 0;
        for (const std::string &piece : c.json) {
            const size_t found = json.find(piece, at);
            ASSERT_NE(found, std::string::npos) << piece << "\nin:\n" << json;
            at = found + piece.size();
        }
    }
}

TEST(controller_link, log_record_is_exact_and_its_line_cut_to_127) {
    std::string line;
    for (int i = 0; i < 200; ++i) {
        line += static_cast<char>('!' + i % 90);
    }
    keelson_stub stub;
    EXPECT_EQ(daemon_log(2, "%s(%d): %s", "golden", 42, line.c_str()), 0);
    ASSERT_TRUE(stub.wait_for(1, 5000ms));
    // The integers in host order by design, as this machine holds them.
    const int32_t ints[] = {230, 2, static_cast<int32_t>(getpid())};
    std::array<uint8_t, 156> golden{};
    std::memcpy(&golden[0], &ints[0], 8);
    std::memcpy(&golden[8], "SNMP", 4);  // then four NULs; reserved stays zero
    std::memcpy(&golden[24], &ints[2], 4);
    std::memcpy(&golden[28], ("golden(42): " + line).data(), 127);  // byte 155 stays NUL
    EXPECT_EQ(stub.requests().at(0).raw, golden);
    stub.set_status(keelson_cmd_log, -7);
    EXPECT_EQ(daemon_log(2, "x"), -7);
}

TEST(controller_link, the_answer_is_the_result_and_a_short_one_is_reported_once) {
    struct link_case {
        keelson_reply reply;  // the stand-in's to every command (the reports too)
        int32_t cmd;          // 230: a log record
        int reread;           // a re-read pending: nothing is sent
        int result;
        const char *count;  // the byte count of the short answer reported (nullptr: no report)
    };
    const link_case cases[] = {
        {{kind::answer, -5}, 407, 0, -5, nullptr},
        {{kind::answer, 7, 0, 300ms}, 308, 0, 7, nullptr},  // a slow answer is waited for
        {{kind::answer, -121}, 382, 0, -121, nullptr},      // the stand-in's own -121
        {{kind::close, 5}, 382, 0, -121, "0"},
        {{kind::short_answer, 5, 10}, 407, 0, -121, "10"},
        {{kind::short_answer, 5, 155}, 308, 0, -121, "155"},
        {{kind::close, 5}, 230, 0, -121, nullptr},
        {{kind::answer, -9}, 407, 1, 0, nullptr},
    };
    const int fds = tw_test::count_open_fds();
    for (const auto &[reply, cmd, reread, result, count] : cases) {
        keelson_stub stub;
        stub.set_default_reply(reply);
        reread_params.store(reread);
        // A distinct value in every field; the pid is stamped.
        cmd_msg_t req{cmd, 0x01020304, "WEB", {9, 8, 7, 6, 5, 4, 3, 2}, -1, {1, 2, 3, 4, 5}};
        cmd_msg_t resp;
        std::memset(&resp, 0xff, sizeof resp);
        gi::CaptureStderr();
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(cmd_send_recv(&req, &resp), result) << cmd << " " << reply.short_len;
        EXPECT_GE(std::chrono::steady_clock::now() - t0, reply.delay);
        EXPECT_EQ(gi::GetCapturedStderr(), "");
        EXPECT_EQ(req.pid, getpid());
        // The response is overwritten whole.
        const auto *r = reinterpret_cast<const uint8_t *>(&resp);
        EXPECT_TRUE(std::all_of(r + 4, r + sizeof resp, [](uint8_t b) { return b == 0; }));
        EXPECT_TRUE(result == -121 || resp.cmd == result);
        const size_t records = count != nullptr ? 2 : 1;
        ASSERT_TRUE(stub.wait_for(records, 5000ms));
        EXPECT_FALSE(stub.wait_for(records + 1, result == -121 ? 300ms : 0ms));
        const auto got = stub.requests();
        EXPECT_EQ(got[0].bytes, reread != 0 ? 0u : 156u);
        EXPECT_TRUE(reread != 0 || std::memcmp(got[0].raw.data(), &req, sizeof req) == 0);
        EXPECT_TRUE(count == nullptr ||
                    (got[1].cmd == 230 && got[1].param == 2 && got[1].origin == "SNMP" &&
                     tw_test::text_matches(got[1].text(), "cmd_send_recv({N}): recv return " +
                                                              std::string(count) +
                                                              " bytes, expected 156.\n\r")))
            << got.back().text();
    }
    reread_params.store(0);
    EXPECT_EQ(tw_test::count_open_fds(), fds);  // no exchange leaves one behind
}

TEST(controller_link, no_listener_or_a_broken_connection_is_told_on_stderr) {
    const char *errs[] = {"cmd connect to daemon: No such file or directory\n",
                          "cmd connect to daemon: Connection refused\n",  // nobody listens
                          "cmd recv: Connection reset by peer\n"};        // closed, request unread
    for (int listener = 0; listener < 3; ++listener) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr;
        const socklen_t len = unix_address(keelson_sock_path, &addr);
        ASSERT_TRUE(listener == 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0);
        ASSERT_TRUE(listener < 2 || listen(fd, 1) == 0);
        std::thread peer([fd, listener] {
            pollfd p{fd, POLLIN, 0};
            if (listener == 2 && poll(&p, 1, 5000) == 1) {
                p.fd = accept(fd, nullptr, nullptr);
                poll(&p, 1, 5000);  // the request is there
                close(p.fd);
            }
        });
        cmd_msg_t req{}, resp;
        gi::CaptureStderr();
        EXPECT_EQ(cmd_send_recv(&req, &resp), -121);
        EXPECT_EQ(gi::GetCapturedStderr(), errs[listener]);
        peer.join();
        close(fd);
        unlink(keelson_sock_path);
    }
}
