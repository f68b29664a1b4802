// The lab as its first user runs it: scripts/lab.sh for a few frames, in a
// sandbox of its own nested in the test's.  The matrix must show each
// simulated receiver where it belongs, and nothing the lab made may outlive it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace {

// Pids of this pid namespace.
std::set<int> processes() {
    std::set<int> out;
    DIR *d = opendir("/proc");
    while (dirent *e = d != nullptr ? readdir(d) : nullptr) {
        int pid = std::atoi(e->d_name);
        if (pid > 0) {
            out.insert(pid);
        }
    }
    if (d != nullptr) {
        closedir(d);
    }
    return out;
}

// Output of a shell command, bounded.
std::string capture(const std::string &command) {
    tw_test::sh("timeout 10 " + command + " >/run/tw-lab-cap.txt 2>&1");
    std::string out = tw_test::read_file("/run/tw-lab-cap.txt");
    unlink("/run/tw-lab-cap.txt");
    return out;
}

// What this namespace holds: network namespaces, links, mounts.
struct world {
    std::string netns, links, mounts;
    bool operator==(const world &) const = default;
};
world look() {
    world w;
    w.netns = capture("ip netns list");
    w.links = capture("ip -o link show | cut -d: -f2");
    // Mount points only: ids and counters change with every mount elsewhere.
    w.mounts = capture("cut -d' ' -f5 /proc/self/mountinfo | sort");
    return w;
}

// One frame: the 11 x 8 codes it showed.
using matrix = std::vector<std::vector<int>>;

std::vector<matrix> frames(const std::string &out) {
    std::vector<matrix> all;
    std::regex row(R"(^  c(\d+) +((?: +\d){8}))");
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("--- frame ", 0) == 0) {
            all.emplace_back(11, std::vector<int>(8, -1));
            continue;
        }
        std::smatch m;
        if (!all.empty() && std::regex_search(line, m, row)) {
            size_t g = std::stoul(m[1].str()) - 1;
            std::istringstream cells(m[2].str());
            for (int i = 0; i < 8 && g < 11; ++i) {
                cells >> all.back()[g][static_cast<size_t>(i)];
            }
        }
    }
    return all;
}

}  // namespace

TEST(lab, shows_each_receiver_where_it_belongs_and_leaves_nothing_behind) {
    if (std::string(TW_EMULATOR) != "") {
        GTEST_SKIP() << "the lab runs the native build";
    }
    const std::set<int> before = processes();
    const world w0 = look();

    // Six frames; the flapping receiver goes away after frame 1 and comes
    // back after frame 3.
    std::string cmd = std::string("timeout -s INT 150 ") + TW_SOURCE_DIR +
                      "/scripts/lab.sh --cycles 6 --flap 1,3 --no-install --no-build --build-dir " +
                      TW_BINARY_DIR + " >/run/tw-lab.out 2>&1";
    int rc = tw_test::sh(cmd);
    std::string out = tw_test::read_file("/run/tw-lab.out");
    unlink("/run/tw-lab.out");
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("lab: ended, nothing left behind"), std::string::npos) << out;
    EXPECT_EQ(out.find("still running"), std::string::npos) << out;
    EXPECT_EQ(out.find("not removed"), std::string::npos) << out;

    std::vector<matrix> f = frames(out);
    ASSERT_EQ(f.size(), 6u) << out;
    // From the second frame on the first pass is published.
    for (size_t k = 1; k < f.size(); ++k) {
        const matrix &m = f[k];
        SCOPED_TRACE("frame " + std::to_string(k + 1));
        EXPECT_EQ(m[0][0], 2) << "listener";
        EXPECT_EQ(m[0][1], 1) << "refused trap port";
        EXPECT_EQ(m[0][2], 0) << "silent address";
        EXPECT_EQ(m[1][0], 2) << "second listener";
        EXPECT_EQ(m[1][1], 2) << "duplicate of c1 0";
        EXPECT_EQ(m[2][0], 1) << "same address, port nobody serves";
        for (size_t g = 3; g < 11; ++g) {
            for (size_t i = 0; i < 8; ++i) {
                EXPECT_EQ(m[g][i], 0) << "c" << g + 1 << " " << i;
            }
        }
        for (size_t i = 4; i < 8; ++i) {
            EXPECT_EQ(m[0][i], 0) << "empty slot c1 " << i;
        }
    }
    // The flapping receiver: gone in a frame soon after it was taken away,
    // reachable again at the end.
    EXPECT_TRUE(f[1][0][3] == 0 || f[2][0][3] == 0 || f[3][0][3] == 0) << out;
    EXPECT_EQ(f[5][0][3], 2) << out;
    // The first pass asks the controller stand-in to refresh.
    EXPECT_NE(out.find(" 382 param=1 c1=2102"), std::string::npos) << out;
    EXPECT_NE(out.find(" 407 param=1 c1=2102"), std::string::npos) << out;

    // Nothing of the lab outlives it here either.
    EXPECT_TRUE(tw_test::wait_until([&] { return processes() == before; },
                                    std::chrono::milliseconds(3000)));
    const world w1 = look();
    EXPECT_EQ(w1.netns, w0.netns);
    EXPECT_EQ(w1.links, w0.links);
    EXPECT_EQ(w1.mounts, w0.mounts);
}
