// The configuration reader on real files at "/mnt/params/cfparams.txt", with
// the controller stand-in catching its error lines.
#include "params/params.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/keelson_text.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"
#include "util/state.h"

namespace {

using lines_t = std::vector<std::string>;

const std::string cf_path = "/mnt/params/cfparams.txt";
constexpr uint32_t mgmt_before = 0x01020304;   // what the caller's address holds beforehand
constexpr uint32_t mgmt_default = 0xc0000201;  // 192.0.2.1, the default configuration's

// Address of group g, index i in the default configuration: 10.0.(g+1).(i+1).
uint32_t ip_of(int g, int i) {
    return 0x0a000000u | static_cast<uint32_t>((g + 1) << 8) | static_cast<uint32_t>(i + 1);
}

using addresses = std::array<std::array<uint32_t, 8>, 11>;

std::string join(const lines_t &v) {
    std::string s;
    for (const auto &l : v) {
        s += l;
    }
    return s;
}

// The fifteen lines of a configuration in which every address and port is
// distinct (the port of group g is 1001 + g) and every group is on: the
// management address, the groups in order, the lists last.
lines_t default_lines(const std::function<void(addresses &)> &change = nullptr) {
    addresses ips;
    std::string ports = "snmp_v3_trap_port=";
    for (size_t g = 0; g < 11; ++g) {
        for (size_t i = 0; i < 8; ++i) {
            ips[g][i] = ip_of(int(g), int(i));
        }
        ports += (g > 0 ? ", " : "") + std::to_string(1001 + g);
    }
    if (change) {
        change(ips);
    }
    lines_t v{"ip_address=0xc0000201\n"};
    for (size_t g = 0; g < 11; ++g) {
        std::string s = "snmp_c" + std::to_string(g + 1) + "_ip=";
        for (size_t i = 0; i < 8; ++i) {
            char b[16];
            std::snprintf(b, sizeof b, "%s0x%08x", i > 0 ? ", " : "", ips[g][i]);
            s += b;
        }
        v.push_back(s + "\n");
    }
    v.push_back(ports + "\n");
    v.push_back("snmp_v3_trap_status=1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1\n");
    v.push_back("snmp_status=1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1\n");
    return v;
}

// The default text with its lines edited, or some replaced (by index) and
// some addresses changed.
std::string edited(const std::function<void(lines_t &)> &edit) {
    lines_t l = default_lines();
    edit(l);
    return join(l);
}
std::string text(std::initializer_list<std::pair<size_t, std::string>> lines = {},
                 const std::function<void(addresses &)> &change = nullptr) {
    lines_t l = default_lines(change);
    for (const auto &[at, line] : lines) {
        l[at] = line;
    }
    return join(l);
}

// What a row must hold besides its numbering and cleared probe state.
struct want {
    uint32_t ip = 0;
    uint16_t port = 0;
    uint8_t has_dups = 0;
    uint8_t is_dup = 0;
};
using table_want = std::array<want, 88>;

table_want default_rows() {
    table_want w;
    for (size_t r = 0; r < 88; ++r) {
        w[r] = {ip_of(int(r / 8), int(r % 8)), uint16_t(1001 + r / 8)};
    }
    return w;
}
// Group g holds these addresses, its other slots empty.
template <class... T>
void set_ips(table_want &w, size_t g, T... ips) {
    const uint32_t list[] = {uint32_t(ips)..., 0};
    for (size_t i = 0; i < 8; ++i) {
        w[g * 8 + i].ip = i < sizeof...(ips) ? list[i] : 0;
    }
}
// The ports of groups 0, 1, ...
template <class... T>
void set_ports(table_want &w, T... ports) {
    const uint16_t list[] = {uint16_t(ports)...};
    for (size_t r = 0; r < sizeof...(ports) * 8; ++r) {
        w[r].port = list[r / 8];
    }
}

class process_params_file : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(tw_test::in_sandbox());
        reread_params.store(0);
    }
    void remove_file() {
        unlink(cf_path.c_str());
        rmdir(cf_path.c_str());
    }
    // Reads into a table whose every field, probe state included, must be
    // rewritten by the read.
    int read() {
        std::memset(static_cast<void *>(table.data()), 0xab, sizeof table);
        mgmt = mgmt_before;
        stub.clear();
        return process_params(table.data(), &mgmt);
    }
    int read(const std::string &content) {
        remove_file();
        tw_test::write_file(cf_path, content);
        return read();
    }

    // Every field of every row; unnumbered: group and index 0 too.
    void expect_rows(const table_want &w, bool numbered = true) {
        for (size_t r = 0; r < 88; ++r) {
            SCOPED_TRACE("row " + std::to_string(r));
            const entry_t &e = table[r];
            EXPECT_EQ(e.group, numbered ? r / 8 : 0);
            EXPECT_EQ(e.index, numbered ? r % 8 : 0);
            EXPECT_EQ(e.ip, w[r].ip);
            EXPECT_EQ(e.port, w[r].port);
            EXPECT_EQ(e.has_dups, w[r].has_dups);
            EXPECT_EQ(e.is_dup, w[r].is_dup);
            EXPECT_TRUE(e.ping_ok == 0 && e.udp_ok == 0 && e.status == 0 && e.seq == 0 &&
                        e.fail_count == 0);
        }
    }
    // The single log line sent must match pattern ({N}: the source line);
    // nullptr: nothing is sent.  daemon_log waits for the stand-in's answer,
    // which comes after the line is kept: no waiting here.
    void expect_log(const char *pattern) {
        auto reqs = stub.requests();
        ASSERT_EQ(reqs.size(), pattern != nullptr ? 1u : 0u);
        if (pattern != nullptr) {
            EXPECT_EQ(reqs[0].cmd, 230);
            EXPECT_EQ(reqs[0].param, 2);
            EXPECT_EQ(reqs[0].origin, "SNMP");
            EXPECT_TRUE(tw_test::text_matches(reqs[0].text(), pattern)) << reqs[0].text();
        }
    }

    keelson_stub stub;
    std::array<entry_t, 88> table{};
    uint32_t mgmt = 0;
};

// A read that never counts fifteen keys leaves the table all zero; the
// management address keeps whatever was scanned before the end.
TEST_F(process_params_file, incomplete_reads_empty_the_table) {
    enum class file { missing, directory, text };
    const struct {
        const char *name;
        std::string content;
        int result;
        uint32_t mgmt;
        const char *log = nullptr;
        file kind = file::text;
    } cases[] = {
        {"no file", "", -100, mgmt_before,
         "process_params({N}): fopen(/mnt/params/cfparams.txt) failed on error: \"No such file "
         "or directory\".\n",
         file::missing},
        {"a directory: opens, but reading fails", "", 100, mgmt_before,
         "process_params({N}): read configuration file /mnt/params/cfparams.txt failed on error "
         "\"Is a directory\"!\n",
         file::directory},
        {"empty file", "", 100, mgmt_before},
        {"fourteen keys, then the end", edited([](lines_t &l) { l.pop_back(); }), 100,
         mgmt_default},
        {"empty line", edited([](lines_t &l) { l.insert(l.begin() + 5, "\n"); }), 100, mgmt_default,
         "process_params({N}): error parsing params string = \n.\n"},
        {"comment line first", edited([](lines_t &l) {
             l.insert(l.begin(), "# written by the configuration manager\n");
         }),
         100, mgmt_before,
         "process_params({N}): error parsing params string = # written by the configuration "
         "manager\n.\n"},
        // 33 + 222 = 255 characters up to the blanks, then the rest read as a line of its own.
        {"rest of a long line, without '='", edited([](lines_t &l) {
             l[1] = "snmp_c1_ip=0x0a000001, 0x0a000002" + std::string(222, ' ') + "tail\n";
         }),
         100, mgmt_default, "process_params({N}): error parsing params string = tail\n.\n"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        remove_file();
        if (k.kind == file::directory) {
            ASSERT_EQ(mkdir(cf_path.c_str(), 0755), 0);
        }
        EXPECT_EQ(k.kind == file::text ? read(k.content) : read(), k.result);
        EXPECT_EQ(mgmt, k.mgmt);
        expect_rows({}, false);
        expect_log(k.log);
    }
}

TEST_F(process_params_file, complete_reads_fill_every_row) {
    const struct {
        const char *name;
        std::string content;
        std::function<void(table_want &)> change = nullptr;  // from the default rows
        uint32_t mgmt = mgmt_default;
    } cases[] = {
        {"every key in order", text()},
        {"keys in reverse order", edited([](lines_t &l) { std::reverse(l.begin(), l.end()); })},
        {"unknown keys are skipped", edited([](lines_t &l) {
             l.insert(l.begin() + 3, "snmp_c12_ip=0x0a0c0001\n");
             l.insert(l.begin() + 1, "SNMP_STATUS=0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0\n");
         })},
        {"lines after the fifteenth key are never read",
         text() + "snmp_c1_ip=0x0b000001\nip_address=0xc0000299\nnot a key line\n"},
        {"a key with blanks around '=' is unknown, a proper one after it counts",
         text({{0, "ip_address = 0xc0000277\n"}}) + "ip_address=0xc0000278\n", nullptr, 0xc0000278},
        // The fifteenth key is the default's address; the lists never come and
        // read as 0: every group is cleared, port 0.
        {"fifteen ip_address lines",
         edited([](lines_t &l) { l.insert(l.begin(), 14, "ip_address=0xc0000299\n"); }),
         [](table_want &w) { w.fill({}); }},
        // The last character of a line stands for its break, whatever it is.
        {"last address line without a break", edited([](lines_t &l) {
             l[1].pop_back();  // "..., 0x0a000108" read as "..., 0x0a00010"
             std::swap(l[1], l[14]);
         }),
         [](table_want &w) { w[7].ip = 0x0a00010; }},
        // fgets takes 255 characters (22 + 223 + 10), the last digit of the second
        // address as the 255th; the rest is the next line, the key of group 2.
        {"line over 255 characters", edited([](lines_t &l) {
             l[1] = "snmp_c1_ip=0x0a000001," + std::string(223, ' ') + "0x0a000027" + l[2];
             l.erase(l.begin() + 2);
         }),
         [](table_want &w) { set_ips(w, 0, 0x0a000001, 0x0a00002); }},
        // A blank before a comma ends the list.
        {"separators with and without blanks",
         text({{1, "snmp_c1_ip=0x0a000001,0x0a000002\n"},
               {2, "snmp_c2_ip=0x0a000101 ,0x0a000102, 0x0a000103\n"},
               {3, "snmp_c3_ip=0x0a000201,  \t 0x0a000202,0x0a000203\n"},
               {12,
                "snmp_v3_trap_port=  1001,1002,1003 , 1004, 1005, 1006, 1007, 1008, "
                "1009, 1010, 1011\n"}}),
         [](table_want &w) {
             set_ips(w, 0, 0x0a000001, 0x0a000002);
             set_ips(w, 1, 0x0a000101);
             set_ips(w, 2, 0x0a000201, 0x0a000202, 0x0a000203);
             set_ports(w, 1001, 1002, 1003, 0, 0, 0, 0, 0, 0, 0, 0);
         }},
        {"list of three", text({{6, "snmp_c6_ip=0xcb007101, 0xcb007102, 0xcb007103\n"}}),
         [](table_want &w) { set_ips(w, 5, 0xcb007101, 0xcb007102, 0xcb007103); }},
        // A blank is harmless before %i but not before "0x".
        {"blank after '='",
         text({{4, "snmp_c4_ip= 0x0a000401, 0x0a000402\n"},
               {13, "snmp_v3_trap_status= 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1\n"}}),
         [](table_want &w) { set_ips(w, 3); }},
        {"ports keep their low 16 bits and follow the scanf bases",
         text({{12,
                "snmp_v3_trap_port=70000, 0162, 0x1F90, -1, 65535, 65536, 162, 1008, "
                "1009, 1010, 1011\n"}}),
         [](table_want &w) { set_ports(w, 4464, 114, 8080, 65535, 65535, 0, 162); }},
        // Groups past a short list have no status and are cleared.
        {"short lists",
         text({{12, "snmp_v3_trap_port=2001, 2002\n"}, {14, "snmp_status=1, 1, 1, x\n"}}),
         [](table_want &w) {
             set_ports(w, 2001, 2002, 0, 0, 0, 0, 0, 0, 0, 0, 0);
             for (size_t g = 3; g < 11; ++g) {
                 set_ips(w, g);
             }
         }},
        // A group stays when its trap status is 1 and its status not 0; a
        // cleared one keeps its numbering and its port.
        {"group rule",
         text({{13, "snmp_v3_trap_status=1, 2, 0, 1, 1, -1, 1, 1, 3, 1, 1\n"},
               {14, "snmp_status=1, 1, 1, 0, 5, 1, -7, 1, 1, 0, 1\n"}}),
         [](table_want &w) {
             for (size_t g : {1u, 2u, 3u, 5u, 8u, 9u}) {
                 set_ips(w, g);
             }
         }},
        // Twins share address and port; the later rows repeat the first.
        {"twins across groups",
         text({{12,
                "snmp_v3_trap_port=1001, 1002, 1001, 1004, 1005, 1006, 1007, 1008, 1009, 1010, "
                "1011\n"}},
              [](addresses &a) { a[0][3] = a[2][6] = 0x0a000005; }),
         [](table_want &w) {
             set_ports(w, 1001, 1002, 1001);
             w[3] = {0x0a000005, 1001, 1, 0};
             w[22] = {0x0a000005, 1001, 0, 1};
         }},
        {"same address, other port: no twins",
         text({}, [](addresses &a) { a[0][3] = a[2][6] = 0x0a000005; }),
         [](table_want &w) { w[3].ip = w[22].ip = 0x0a000005; }},
        {"three twins in one group",
         text({}, [](addresses &a) { a[7][2] = a[7][5] = a[7][7] = 0x0a000005; }),
         [](table_want &w) {
             w[58] = {0x0a000005, 1008, 1, 0};
             w[61] = w[63] = {0x0a000005, 1008, 0, 1};
         }},
        // Zero addresses leave their slots empty, the scan going on past them.
        {"a cleared group and empty slots have no twins",
         text({{12,
                "snmp_v3_trap_port=1001, 1001, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010, "
                "1011\n"},
               {13, "snmp_v3_trap_status=1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1\n"}},
              [](addresses &a) {
                  a[0][0] = a[1][0] = 0x0a000005;
                  a[3][1] = a[3][2] = 0;
              }),
         [](table_want &w) {
             w[0].ip = 0x0a000005;
             set_ips(w, 1);
             set_ports(w, 1001, 1001);
             w[25].ip = w[26].ip = 0;
         }},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(read(k.content), 0);
        EXPECT_EQ(mgmt, k.mgmt);
        table_want w = default_rows();
        if (k.change) {
            k.change(w);
        }
        expect_rows(w);
        expect_log(nullptr);
    }
}

}  // namespace
