// The keelson-sim program, run as a separate process: what it prints and
// records for each kind of record, how it answers, and its command line.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "params/cmd_msg.h"
#include "tests/support/keelson_text.h"
#include "tests/support/sandbox.h"
#include "util/state.h"

namespace {

using std::chrono::milliseconds;

const std::string default_sock = "/var/run/keelson.sock";
const std::string out_path = "/run/keelson-sim.out";
const std::string err_path = "/run/keelson-sim.err";
const std::string json_path = "/run/keelson-sim.json";
// qemu takes its time to start the program.
constexpr milliseconds limit{15000};

// Complete lines only: the program may be half-way through writing the last.
std::vector<std::string> split_lines(const std::string &path) {
    std::vector<std::string> v;
    std::istringstream in(tw_test::read_file(path));
    for (std::string l; std::getline(in, l) && !in.eof();) {
        v.push_back(l);
    }
    return v;
}

bool exists(const std::string &p) {
    return access(p.c_str(), F_OK) == 0;
}

// Both outputs, for a failure message.
std::string outputs() {
    return "stdout:\n" + tw_test::read_file(out_path) + "stderr:\n" + tw_test::read_file(err_path);
}
// Waits (bounded) until n lines were printed and returns them.
std::vector<std::string> wait_lines(size_t n) {
    std::vector<std::string> l;
    tw_test::wait_until([&] { return (l = split_lines(out_path)).size() >= n; }, limit);
    return l;
}

// One keelson-sim process with its output in the files above; the
// constructor waits (bounded) until it listens on sock or has ended.
class sim_process {
   public:
    explicit sim_process(const std::string &args, const std::string &sock = default_sock) {
        const std::string cmd = "exec " TW_EMULATOR " " TW_BINARY_DIR "/tools/keelson-sim " + args +
                                " >" + out_path + " 2>" + err_path;
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
            _exit(127);
        }
        tw_test::wait_until([&] { return ended() || exists(sock); }, limit);
        ready = !ended() && exists(sock);
    }
    ~sim_process() { wait_exit(SIGKILL); }

    // Sends sig, if any, and waits (bounded) for the end: the exit status, or -1.
    int wait_exit(int sig = 0) {
        if (pid_ > 0 && sig != 0) {
            kill(pid_, sig);
        }
        tw_test::wait_until([&] { return ended(); }, limit);
        return status_;
    }

    bool ready = false;

   private:
    // Collects the program once it has ended: the exit code, or 128 + the signal.
    bool ended() {
        int st = 0;
        if (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid_ = -1;
        }
        return pid_ <= 0;
    }

    pid_t pid_ = -1;
    int status_ = -1;
};

// A line's time stamp, which every printed line and JSON object begins with.
const std::string stamp = "{N}-{N}-{N} {N}:{N}:{N}.{N}";

using tw_test::text_matches;

// One record sent as the daemon sends it, with status bytes i % 3 as the
// refresh sequence would carry them; the answer's status.
int exchange(int32_t cmd, int32_t param, const char *origin = "") {
    cmd_msg_t req{};
    req.cmd = cmd;
    req.param = param;
    std::memcpy(req.origin, origin, std::strlen(origin));
    for (size_t i = 0; i < 88; ++i) {
        req.data[i] = static_cast<uint8_t>(i % 3);
    }
    cmd_msg_t resp;
    return cmd_send_recv(&req, &resp);
}
const std::string matrix_text =
    "01201201 20120120 12012012 01201201 20120120 12012012 01201201 20120120 12012012 01201201 "
    "20120120";

const std::string pid = std::to_string(getpid());

TEST(keelson_sim, each_record_is_printed_recorded_and_answered_as_the_rules_say) {
    unlink(json_path.c_str());  // the program appends
    sim_process sim("--json " + json_path +
                    " --fail 407=-5 --delay 407=200 --close 308 --short 382=20 --fail 12=0x10 "
                    "--close all");
    ASSERT_TRUE(sim.ready) << outputs();
    struct row {
        std::function<int()> send;  // nullptr: the client's report of the cut answer before
        int rc;
        std::string line;      // after the time stamp
        std::string json;      // after the time stamp and "bytes":
        milliseconds took{0};  // at least
    };
    // The header, in both forms, that every whole record begins with.
    auto line = [](int32_t cmd, int32_t param, const std::string &origin) {
        return "cmd=" + std::to_string(cmd) + " param=" + std::to_string(param) + " origin=\"" +
               origin + "\" pid=" + pid;
    };
    auto json = [](int32_t cmd, int32_t param, const std::string &origin) {
        return "156,\"cmd\":" + std::to_string(cmd) + ",\"param\":" + std::to_string(param) +
               ",\"origin\":\"" + origin + "\",\"pid\":" + pid;
    };
    std::string status;
    for (int i = 0; i < 88; ++i) {
        status += (i > 0 ? "," : "") + std::to_string(i % 3);
    }
    // The refresh commands carry the matrix: printed as eleven groups.
    auto refresh = [&](int32_t cmd, int32_t param, int rc, milliseconds took = {}) -> row {
        return {[=] { return exchange(cmd, param); }, rc,
                line(cmd, param, "") + " matrix=" + matrix_text,
                json(cmd, param, "") + ",\"status\":[" + status + "]", took};
    };
    auto report = [&](const std::string &got) -> row {
        std::string text = "cmd_send_recv({N}): recv return " + got + " bytes, expected 156.\\n\\r";
        return {nullptr, 0, line(230, 2, "SNMP") + " text=\"" + text + "\"",
                json(230, 2, "SNMP") + ",\"text\":\"" + text + "\""};
    };
    const row rows[] = {
        // Quotes and control bytes escaped: C-like in the line, JSON-like in the object.
        {[] { return daemon_log(2, "%s(%d): link \"down\"\t\x01.\n\r", "probe", 12); }, -121,
         line(230, 2, "SNMP") + " text=\"probe(12): link \\\"down\\\"\\t\\x01.\\n\\r\"",
         json(230, 2, "SNMP") + ",\"text\":\"probe(12): link \\\"down\\\"\\t\\u0001.\\n\\r\""},
        refresh(382, 1, -121),
        report("20"),
        refresh(308, 1, -121),
        report("0"),
        refresh(407, 0, -5, milliseconds(200)),  // --fail and --delay of one code add up
        // Any other command: the header alone.
        {[] { return exchange(12, -3, "DIRECT"); }, 16, line(12, -3, "DIRECT"),
         json(12, -3, "DIRECT")},
        // While a re-read is pending the client connects but sends nothing.
        {[] {
             reread_params.store(1);
             int rc = daemon_log(2, "dropped");
             reread_params.store(0);
             return rc;
         },
         0, "connection with 0 bytes", "0"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const row &w = rows[i];
        SCOPED_TRACE(w.line);
        auto t0 = std::chrono::steady_clock::now();
        if (w.send) {
            EXPECT_EQ(w.send(), w.rc);
        }
        EXPECT_GE(std::chrono::steady_clock::now() - t0, w.took);
        auto l = wait_lines(i + 1);
        ASSERT_GT(l.size(), i) << outputs();
        EXPECT_TRUE(text_matches(l[i], stamp + " " + w.line)) << l[i];
    }
    EXPECT_EQ(sim.wait_exit(SIGINT), 0);
    EXPECT_EQ(split_lines(out_path).size(), std::size(rows)) << outputs();
    auto j = split_lines(json_path);
    ASSERT_EQ(j.size(), std::size(rows)) << outputs();
    for (size_t i = 0; i < j.size(); ++i) {
        EXPECT_TRUE(
            text_matches(j[i], "{\"time\":\"" + stamp + "\",\"bytes\":" + rows[i].json + "}"))
            << j[i];
    }
}

TEST(keelson_sim, own_socket_path_clean_stop_help_and_refusals) {
    {
        const std::string path = "/run/other-keelson.sock";
        sim_process sim("--socket " + path, path);
        ASSERT_TRUE(sim.ready) << outputs();
        EXPECT_FALSE(exists(default_sock));
        // The client's path leads there through a link.
        ASSERT_EQ(symlink(path.c_str(), default_sock.c_str()), 0);
        EXPECT_EQ(exchange(407, 1), 0);
        EXPECT_EQ(wait_lines(1).size(), 1u) << outputs();
        EXPECT_EQ(sim.wait_exit(SIGTERM), 0);
        EXPECT_FALSE(exists(path));  // removed on a clean stop
        unlink(default_sock.c_str());
    }
    // How the output begins: on stdout for the help, on stderr for a refusal.
    const std::pair<std::string, std::string> ends[] = {
        {"--help", "usage: keelson-sim [OPTION]...\n"},
        {"--fail 407", "keelson-sim: bad value for --fail: 407\n"},
        {"--delay x=1", "keelson-sim: bad value for --delay: x=1\n"},
        {"--short 382=156", "keelson-sim: bad value for --short: 382=156\n"},
        {"--bogus", "keelson-sim: unknown or incomplete option: --bogus\n"},
        {"--socket", "keelson-sim: unknown or incomplete option: --socket\n"},
    };
    for (const auto &[args, text] : ends) {
        SCOPED_TRACE(args);
        sim_process sim(args);
        const bool help = args == "--help";
        EXPECT_EQ(sim.wait_exit(), help ? 0 : 2);
        EXPECT_EQ(tw_test::read_file(help ? out_path : err_path).substr(0, text.size()), text);
    }
    EXPECT_FALSE(exists(default_sock));
}

}  // namespace
