// The configuration reader on real files at "/mnt/params/cfparams.txt", with
// the controller stand-in catching its error lines.
#include "params/params.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/keelson_text.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"
#include "util/state.h"

namespace {

using std::chrono::milliseconds;

const std::string cf_path = "/mnt/params/cfparams.txt";

// A configuration in which every address, port and status is distinct:
// address of group g, index i is 10.0.(g+1).(i+1); port of group g is 1001 + g.
struct config {
    uint32_t mgmt = 0xc0000201;  // 192.0.2.1
    std::array<std::array<uint32_t, 8>, 11> ips{};
    std::array<int, 11> ports{};
    std::array<int, 11> trap_status{};
    std::array<int, 11> status{};

    config() {
        for (int g = 0; g < 11; ++g) {
            for (int i = 0; i < 8; ++i) {
                ips[static_cast<size_t>(g)][static_cast<size_t>(i)] =
                    0x0a000000u | static_cast<uint32_t>((g + 1) << 8) |
                    static_cast<uint32_t>(i + 1);
            }
            ports[static_cast<size_t>(g)] = 1001 + g;
            trap_status[static_cast<size_t>(g)] = 1;
            status[static_cast<size_t>(g)] = 1;
        }
    }

    static std::string hex(uint32_t v) {
        char b[16];
        std::snprintf(b, sizeof b, "0x%08x", v);
        return b;
    }
    static std::string ints(const std::array<int, 11> &l) {
        std::string s;
        for (size_t i = 0; i < l.size(); ++i) {
            s += (i > 0 ? ", " : "") + std::to_string(l[i]);
        }
        return s;
    }
    std::string ip_line() const { return "ip_address=" + hex(mgmt) + "\n"; }
    std::string group_line(int g) const {
        std::string s = "snmp_c" + std::to_string(g + 1) + "_ip=";
        for (size_t i = 0; i < 8; ++i) {
            s += (i > 0 ? ", " : "") + hex(ips[static_cast<size_t>(g)][i]);
        }
        return s + "\n";
    }
    std::string port_line() const { return "snmp_v3_trap_port=" + ints(ports) + "\n"; }
    std::string trap_status_line() const {
        return "snmp_v3_trap_status=" + ints(trap_status) + "\n";
    }
    std::string status_line() const { return "snmp_status=" + ints(status) + "\n"; }

    // The fifteen lines, groups in order, the lists last.
    std::vector<std::string> lines() const {
        std::vector<std::string> v{ip_line()};
        for (int g = 0; g < 11; ++g) {
            v.push_back(group_line(g));
        }
        v.push_back(port_line());
        v.push_back(trap_status_line());
        v.push_back(status_line());
        return v;
    }
    std::string text() const { return join(lines()); }
    static std::string join(const std::vector<std::string> &v) {
        std::string s;
        for (const auto &l : v) {
            s += l;
        }
        return s;
    }
};

// Row of the default configuration.
uint32_t ip_of(int g, int i) {
    return 0x0a000000u | static_cast<uint32_t>((g + 1) << 8) | static_cast<uint32_t>(i + 1);
}

struct want {
    uint32_t ip = 0;
    uint16_t port = 0;
    uint8_t has_dups = 0;
    uint8_t is_dup = 0;
};

class process_params_file : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(tw_test::in_sandbox());
        reread_params.store(0);
        unlink(cf_path.c_str());
        rmdir(cf_path.c_str());
        // Every field, probe state included, must be rewritten by the read.
        std::memset(static_cast<void *>(table.data()), 0xab, sizeof table);
    }
    void TearDown() override {
        unlink(cf_path.c_str());
        rmdir(cf_path.c_str());
    }

    int read(const std::string &content) {
        tw_test::write_file(cf_path, content);
        return process_params(table.data(), &mgmt);
    }

    // Every field of row r.
    void expect_row(int r, const want &w) {
        SCOPED_TRACE("row " + std::to_string(r));
        const entry_t &e = table[static_cast<size_t>(r)];
        EXPECT_EQ(e.group, r / 8);
        EXPECT_EQ(e.index, r % 8);
        EXPECT_EQ(e.ip, w.ip);
        EXPECT_EQ(e.port, w.port);
        EXPECT_EQ(e.has_dups, w.has_dups);
        EXPECT_EQ(e.is_dup, w.is_dup);
        EXPECT_EQ(e.ping_ok, 0);
        EXPECT_EQ(e.udp_ok, 0);
        EXPECT_EQ(e.status, 0);
        EXPECT_EQ(e.seq, 0);
        EXPECT_EQ(e.fail_count, 0u);
    }
    // Rows of the default configuration, for the rows a test doesn't change.
    void expect_default_row(int r) { expect_row(r, {ip_of(r / 8, r % 8), uint16_t(1001 + r / 8)}); }
    // Every field of every row is 0 (padding aside).
    void expect_all_zero() {
        for (size_t r = 0; r < table.size(); ++r) {
            const entry_t &e = table[r];
            EXPECT_TRUE(e.group == 0 && e.index == 0 && e.ping_ok == 0 && e.udp_ok == 0 &&
                        e.status == 0 && e.has_dups == 0 && e.is_dup == 0 && e.ip == 0 &&
                        e.port == 0 && e.seq == 0 && e.fail_count == 0)
                << "row " << r;
        }
    }
    void expect_no_log() {
        EXPECT_FALSE(stub.wait_for(1, milliseconds(50)));
        EXPECT_EQ(stub.count(), 0u);
    }
    // The single log line sent, which must match pattern ({N}: the source line).
    void expect_log(const std::string &pattern) {
        ASSERT_TRUE(stub.wait_for(1, milliseconds(5000)));
        auto reqs = stub.requests();
        ASSERT_EQ(reqs.size(), 1u);
        EXPECT_EQ(reqs[0].cmd, 230);
        EXPECT_EQ(reqs[0].param, 2);
        EXPECT_EQ(reqs[0].origin, "SNMP");
        EXPECT_TRUE(tw_test::text_matches(reqs[0].text(), pattern)) << reqs[0].text();
    }

    keelson_stub stub;
    std::array<entry_t, 88> table{};
    uint32_t mgmt = 0x01020304;
};

TEST_F(process_params_file, complete_file_fills_every_row) {
    config c;
    EXPECT_EQ(read(c.text()), 0);
    EXPECT_EQ(mgmt, 0xc0000201u);
    for (int r = 0; r < 88; ++r) {
        expect_default_row(r);
    }
    expect_no_log();
}

TEST_F(process_params_file, keys_in_any_order_and_the_global_table) {
    config c;
    auto l = c.lines();
    std::vector<std::string> reversed(l.rbegin(), l.rend());
    tw_test::write_file(cf_path, config::join(reversed));
    EXPECT_EQ(process_params(entries.data(), &mgmt_ip), 0);
    EXPECT_EQ(mgmt_ip, 0xc0000201u);
    EXPECT_EQ(entries[87].ip, ip_of(10, 7));
    EXPECT_EQ(entries[87].port, 1011);
    EXPECT_EQ(entries[8].ip, ip_of(1, 0));
    // The global table is left empty for whoever comes next.
    unlink(cf_path.c_str());
    EXPECT_EQ(process_params(entries.data(), &mgmt_ip), -100);
    EXPECT_EQ(entries[87].ip, 0u);
    EXPECT_EQ(mgmt_ip, 0xc0000201u);
    mgmt_ip = 0;
}

// ---- Failures: the table is all zero afterwards.

TEST_F(process_params_file, missing_file_reports_fopen_and_keeps_the_management_address) {
    EXPECT_EQ(process_params(table.data(), &mgmt), -100);
    expect_all_zero();
    EXPECT_EQ(mgmt, 0x01020304u);
    expect_log(
        "process_params({N}): fopen(/mnt/params/cfparams.txt) failed on error: "
        "\"No such file or directory\".\n");
}

TEST_F(process_params_file, unreadable_file_reports_the_read_error) {
    ASSERT_EQ(mkdir(cf_path.c_str(), 0755), 0);  // opens, but reading fails
    EXPECT_EQ(process_params(table.data(), &mgmt), 100);
    expect_all_zero();
    EXPECT_EQ(mgmt, 0x01020304u);
    expect_log(
        "process_params({N}): read configuration file /mnt/params/cfparams.txt failed on "
        "error \"Is a directory\"!\n");
}

TEST_F(process_params_file, empty_line_before_the_fifteenth_key_empties_the_table) {
    config c;
    auto l = c.lines();
    l.insert(l.begin() + 5, "\n");
    EXPECT_EQ(read(config::join(l)), 100);
    expect_all_zero();
    // The address was scanned before the failure and stays.
    EXPECT_EQ(mgmt, 0xc0000201u);
    expect_log("process_params({N}): error parsing params string = \n.\n");
}

TEST_F(process_params_file, comment_line_before_the_fifteenth_key_empties_the_table) {
    config c;
    auto l = c.lines();
    l.insert(l.begin(), "# written by the configuration manager\n");
    EXPECT_EQ(read(config::join(l)), 100);
    expect_all_zero();
    EXPECT_EQ(mgmt, 0x01020304u);
    expect_log(
        "process_params({N}): error parsing params string = # written by the configuration "
        "manager\n.\n");
}

TEST_F(process_params_file, fourteen_keys_then_end_of_file_is_incomplete_without_a_log) {
    config c;
    auto l = c.lines();
    l.pop_back();
    EXPECT_EQ(read(config::join(l)), 100);
    expect_all_zero();
    EXPECT_EQ(mgmt, 0xc0000201u);
    expect_no_log();
}

TEST_F(process_params_file, empty_file_is_incomplete) {
    EXPECT_EQ(read(""), 100);
    expect_all_zero();
    expect_no_log();
}

TEST_F(process_params_file, unknown_keys_are_skipped_and_not_counted) {
    config c;
    auto l = c.lines();
    l.insert(l.begin() + 3, "snmp_c12_ip=0x0a0c0001\n");
    l.insert(l.begin() + 1, "SNMP_STATUS=0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0\n");
    EXPECT_EQ(read(config::join(l)), 0);
    for (int r = 0; r < 88; ++r) {
        expect_default_row(r);
    }
    // Fourteen known keys among them are not enough.
    l.pop_back();
    EXPECT_EQ(read(config::join(l)), 100);
    expect_all_zero();
}

// ---- Counting.

TEST_F(process_params_file, fifteen_ip_address_lines_complete_the_read_with_empty_groups) {
    std::string s;
    for (int i = 0; i < 15; ++i) {
        s += "ip_address=0xc00002" + std::to_string(10 + i) + "\n";
    }
    s += config().text();  // never read
    EXPECT_EQ(read(s), 0);
    EXPECT_EQ(mgmt, 0xc0000224u);  // the last one counted
    // The lists that never came stay 0: every group is cleared, port 0.
    for (int r = 0; r < 88; ++r) {
        expect_row(r, {});
    }
    expect_no_log();
}

TEST_F(process_params_file, lines_after_the_fifteenth_key_are_never_read) {
    config c;
    std::string s = c.text() +
                    "snmp_c1_ip=0x0b000001\n"
                    "ip_address=0xc0000299\n"
                    "not a key line\n";
    EXPECT_EQ(read(s), 0);
    EXPECT_EQ(mgmt, 0xc0000201u);
    for (int r = 0; r < 88; ++r) {
        expect_default_row(r);
    }
    expect_no_log();
}

TEST_F(process_params_file, key_with_blanks_around_equals_is_unknown) {
    config c;
    auto l = c.lines();
    l[0] = "ip_address = 0xc0000277\n";
    EXPECT_EQ(read(config::join(l)), 100);  // only fourteen keys counted
    EXPECT_EQ(mgmt, 0x01020304u);
    expect_all_zero();
    // With a proper line after it the read completes, and takes that address.
    l.push_back("ip_address=0xc0000278\n");
    EXPECT_EQ(read(config::join(l)), 0);
    EXPECT_EQ(mgmt, 0xc0000278u);
    expect_default_row(0);
}

// ---- Line ends and lengths.

TEST_F(process_params_file, last_line_without_break_loses_its_last_character) {
    config c;
    c.ports[10] = 1620;
    auto l = c.lines();
    std::string ports = l[12];
    l.erase(l.begin() + 12);
    ports.pop_back();  // the last line, without its break: "1620" is read as "162"
    l.push_back(ports);
    EXPECT_EQ(read(config::join(l)), 0);
    for (int i = 0; i < 8; ++i) {
        expect_row(80 + i, {ip_of(10, i), 162});
    }
    for (int r = 0; r < 80; ++r) {
        expect_default_row(r);
    }
}

TEST_F(process_params_file, last_address_line_without_break_loses_a_digit) {
    config c;
    auto l = c.lines();
    std::string g0 = l[1];
    l.erase(l.begin() + 1);
    g0.pop_back();
    l.push_back(g0);  // "..., 0x0a000108" read as "..., 0x0a00010"
    EXPECT_EQ(read(config::join(l)), 0);
    for (int i = 0; i < 7; ++i) {
        expect_row(i, {ip_of(0, i), 1001});
    }
    expect_row(7, {0x0a00010u, 1001});
}

TEST_F(process_params_file, line_over_255_characters_is_read_in_two_pieces) {
    config c;
    auto l = c.lines();
    // 255 characters: the key, two addresses with a long run of blanks between,
    // and the last digit of the second address as the 255th character.
    std::string head = "snmp_c1_ip=0x0a000001,";
    std::string tail = "0x0a000027";
    std::string piece = head + std::string(255 - head.size() - tail.size(), ' ') + tail;
    ASSERT_EQ(piece.size(), 255u);
    // The rest of the long line is the key of group 2.
    l[1] = piece + l[2];
    l.erase(l.begin() + 2);
    EXPECT_EQ(read(config::join(l)), 0);
    // The 255th character counts as the removed line break.
    expect_row(0, {0x0a000001u, 1001});
    expect_row(1, {0x0a00002u, 1001});
    for (int i = 2; i < 8; ++i) {
        expect_row(i, {0, 1001});
    }
    for (int r = 8; r < 88; ++r) {
        expect_default_row(r);
    }
    expect_no_log();
}

TEST_F(process_params_file, rest_of_a_long_line_without_equals_is_a_parse_error) {
    config c;
    auto l = c.lines();
    std::string head = "snmp_c1_ip=0x0a000001, 0x0a000002";
    l[1] = head + std::string(255 - head.size(), ' ') + "tail\n";
    EXPECT_EQ(read(config::join(l)), 100);
    expect_all_zero();
    expect_log("process_params({N}): error parsing params string = tail\n.\n");
}

// ---- Number formats.

TEST_F(process_params_file, separators_with_and_without_blanks) {
    config c;
    auto l = c.lines();
    l[1] = "snmp_c1_ip=0x0a000001,0x0a000002\n";                  // no blank
    l[2] = "snmp_c2_ip=0x0a000101 ,0x0a000102, 0x0a000103\n";     // blank before the comma
    l[3] = "snmp_c3_ip=0x0a000201,  \t 0x0a000202,0x0a000203\n";  // several blanks and a tab
    l[12] = "snmp_v3_trap_port=  1001,1002,1003 , 1004, 1005, 1006, 1007, 1008, 1009, 1010, 1011\n";
    EXPECT_EQ(read(config::join(l)), 0);
    expect_row(0, {0x0a000001u, 1001});
    expect_row(1, {0x0a000002u, 1001});
    expect_row(8, {0x0a000101u, 1002});
    expect_row(16, {0x0a000201u, 1003});
    expect_row(17, {0x0a000202u, 1003});
    expect_row(18, {0x0a000203u, 1003});
    for (int i = 2; i < 8; ++i) {
        expect_row(i, {0, 1001});
    }
    for (int i = 1; i < 8; ++i) {
        expect_row(8 + i, {0, 1002});
    }
    for (int i = 3; i < 8; ++i) {
        expect_row(16 + i, {0, 1003});
    }
    // The blank before the comma after 1003 stopped the port list there: the
    // groups from 3 on have port 0 (never supplied).
    for (int r = 24; r < 88; ++r) {
        expect_row(r, {ip_of(r / 8, r % 8), 0});
    }
}

TEST_F(process_params_file, list_of_three_fills_three_rows) {
    config c;
    auto l = c.lines();
    l[6] = "snmp_c6_ip=0xcb007101, 0xcb007102, 0xcb007103\n";
    EXPECT_EQ(read(config::join(l)), 0);
    expect_row(40, {0xcb007101u, 1006});
    expect_row(41, {0xcb007102u, 1006});
    expect_row(42, {0xcb007103u, 1006});
    for (int i = 3; i < 8; ++i) {
        expect_row(40 + i, {0, 1006});
    }
    for (int r = 0; r < 88; ++r) {
        if (r / 8 != 5) {
            expect_default_row(r);
        }
    }
}

TEST_F(process_params_file, zero_address_leaves_its_slot_empty) {
    config c;
    c.ips[4][1] = 0;
    EXPECT_EQ(read(c.text()), 0);
    expect_row(33, {0, 1005});
    expect_default_row(32);
    expect_default_row(34);
}

TEST_F(process_params_file, blank_after_equals_empties_the_group) {
    config c;
    auto l = c.lines();
    l[4] = "snmp_c4_ip= 0x0a000401, 0x0a000402\n";
    l[13] = "snmp_v3_trap_status= 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1\n";  // harmless before %i
    EXPECT_EQ(read(config::join(l)), 0);
    for (int i = 0; i < 8; ++i) {
        expect_row(24 + i, {0, 1004});
    }
    for (int r = 0; r < 88; ++r) {
        if (r / 8 != 3) {
            expect_default_row(r);
        }
    }
}

TEST_F(process_params_file, ports_keep_their_low_16_bits_and_follow_scanf_bases) {
    config c;
    auto l = c.lines();
    l[12] =
        "snmp_v3_trap_port=70000, 0162, 0x1F90, -1, 65535, 65536, 162, 1008, 1009, 1010, 1011\n";
    EXPECT_EQ(read(config::join(l)), 0);
    const uint16_t ports[11] = {4464, 114, 8080, 65535, 65535, 0, 162, 1008, 1009, 1010, 1011};
    for (int r = 0; r < 88; ++r) {
        expect_row(r, {ip_of(r / 8, r % 8), ports[r / 8]});
    }
}

TEST_F(process_params_file, short_lists_leave_the_other_groups_at_zero) {
    config c;
    auto l = c.lines();
    l[12] = "snmp_v3_trap_port=2001, 2002\n";
    l[14] = "snmp_status=1, 1, 1, x\n";
    EXPECT_EQ(read(config::join(l)), 0);
    // Groups 0..2 have a status and are kept; groups 3..10 are cleared.
    for (int r = 0; r < 88; ++r) {
        uint16_t port = r < 8 ? 2001 : r < 16 ? 2002 : 0;
        expect_row(r, {r < 24 ? ip_of(r / 8, r % 8) : 0u, port});
    }
}

// ---- Group rule.

TEST_F(process_params_file, trap_status_and_status_decide_which_groups_stay) {
    config c;
    c.trap_status = {1, 2, 0, 1, 1, -1, 1, 1, 3, 1, 1};
    c.status = {1, 1, 1, 0, 5, 1, -7, 1, 1, 0, 1};
    EXPECT_EQ(read(c.text()), 0);
    const bool kept[11] = {true, false, false, false, true, false, true, true, false, false, true};
    for (int r = 0; r < 88; ++r) {
        int g = r / 8;
        // A cleared group keeps its numbering and its port.
        expect_row(r, {kept[g] ? ip_of(g, r % 8) : 0u, uint16_t(1001 + g)});
    }
}

// ---- Duplicates.

TEST_F(process_params_file, same_address_and_port_across_groups_marks_the_later_row) {
    config c;
    c.ips[0][3] = 0x0a000005;
    c.ips[2][6] = 0x0a000005;
    c.ports[2] = c.ports[0];
    EXPECT_EQ(read(c.text()), 0);
    expect_row(3, {0x0a000005u, 1001, 1, 0});
    expect_row(22, {0x0a000005u, 1001, 0, 1});
    for (int r = 0; r < 88; ++r) {
        if (r == 3 || r == 22) {
            continue;
        }
        expect_row(r, {ip_of(r / 8, r % 8), uint16_t(r / 8 == 2 ? 1001 : 1001 + r / 8)});
    }
}

TEST_F(process_params_file, same_address_with_different_ports_is_no_duplicate) {
    config c;
    c.ips[0][3] = 0x0a000005;
    c.ips[2][6] = 0x0a000005;
    EXPECT_EQ(read(c.text()), 0);
    expect_row(3, {0x0a000005u, 1001});
    expect_row(22, {0x0a000005u, 1003});
}

TEST_F(process_params_file, same_address_within_a_group_marks_the_second) {
    config c;
    c.ips[7][2] = 0x0a000005;
    c.ips[7][5] = 0x0a000005;
    c.ips[7][7] = 0x0a000005;
    EXPECT_EQ(read(c.text()), 0);
    expect_row(58, {0x0a000005u, 1008, 1, 0});
    expect_row(61, {0x0a000005u, 1008, 0, 1});
    expect_row(63, {0x0a000005u, 1008, 0, 1});
    for (int i : {0, 1, 3, 4, 6}) {
        expect_default_row(56 + i);
    }
}

TEST_F(process_params_file, cleared_group_and_empty_slots_have_no_twins) {
    config c;
    c.ips[0][0] = 0x0a000005;
    c.ips[1][0] = 0x0a000005;  // group 1 is cleared below
    c.ports[1] = c.ports[0];
    c.trap_status[1] = 0;
    c.ips[3][1] = 0;  // two empty slots of one port
    c.ips[3][2] = 0;
    EXPECT_EQ(read(c.text()), 0);
    expect_row(0, {0x0a000005u, 1001});
    expect_row(8, {0, 1001});
    expect_row(25, {0, 1004});
    expect_row(26, {0, 1004});
}

TEST_F(process_params_file, each_read_starts_afresh) {
    config c;
    c.ips[0][0] = 0x0a000005;
    c.ips[0][1] = 0x0a000005;
    ASSERT_EQ(read(c.text()), 0);
    table[4].ping_ok = 1;
    table[4].status = 1;
    table[4].fail_count = 3;
    table[4].seq = 77;
    config d;
    EXPECT_EQ(read(d.text()), 0);
    for (int r = 0; r < 88; ++r) {
        expect_default_row(r);
    }
}

}  // namespace
