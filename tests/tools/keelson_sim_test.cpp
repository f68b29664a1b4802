// The keelson-sim program, run as a separate process: what it prints and
// records for each kind of record, and how it answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
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
std::vector<std::string> split_lines(const std::string &s) {
    std::vector<std::string> v;
    size_t start = 0;
    for (size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1) {
        v.push_back(s.substr(start, nl - start));
    }
    return v;
}

bool exists(const std::string &p) {
    return access(p.c_str(), F_OK) == 0;
}

// One keelson-sim process with its output in files under /run.
class sim_process {
   public:
    explicit sim_process(std::vector<std::string> args, bool wait_ready = true,
                         const std::string &sock = default_sock) {
        std::vector<std::string> argv;
        std::istringstream emu(TW_EMULATOR);
        for (std::string w; emu >> w;) {
            argv.push_back(w);
        }
        argv.push_back(TW_BINARY_DIR "/tools/keelson-sim");
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> cargv;
        for (auto &a : argv) {
            cargv.push_back(a.data());
        }
        cargv.push_back(nullptr);
        unlink(out_path.c_str());
        unlink(err_path.c_str());
        pid_ = fork();
        if (pid_ == 0) {
            int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            execvp(cargv[0], cargv.data());
            _exit(127);
        }
        if (wait_ready) {
            // Ready once the socket is there; a program that ended is never ready.
            int st = 0;
            bool ended = false;
            tw_test::wait_until(
                [&] {
                    ended = waitpid(pid_, &st, WNOHANG) == pid_;
                    return ended || exists(sock);
                },
                limit);
            if (ended) {
                pid_ = -1;
            }
            ready_ = !ended && exists(sock);
        }
    }
    ~sim_process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool ready() const { return ready_; }

    // Sends sig and waits (bounded) for the end: the exit status, or -1.
    int stop(int sig = SIGTERM) {
        kill(pid_, sig);
        return wait_exit();
    }
    int wait_exit() {
        int st = 0;
        bool done = tw_test::wait_until([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, limit);
        if (!done) {
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    std::vector<std::string> lines() const { return split_lines(tw_test::read_file(out_path)); }
    // Both outputs, for a failure message.
    static std::string outputs() {
        return "stdout:\n" + tw_test::read_file(out_path) + "stderr:\n" +
               tw_test::read_file(err_path);
    }
    // Waits until n lines were printed and returns them.
    std::vector<std::string> wait_lines(size_t n) const {
        tw_test::wait_until([&] { return lines().size() >= n; }, limit);
        return lines();
    }

   private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

// A line's time stamp, which every printed line and JSON object begins with.
const std::string stamp = "{N}-{N}-{N} {N}:{N}:{N}.{N}";

bool matches(const std::string &s, const std::string &pattern) {
    return tw_test::text_matches(s, pattern);
}

// Status bytes i % 3, as the refresh sequence would carry them.
cmd_msg_t refresh_request(int32_t cmd, int32_t param) {
    cmd_msg_t m;
    std::memset(&m, 0, sizeof m);
    m.cmd = cmd;
    m.param = param;
    for (size_t i = 0; i < 88; ++i) {
        m.data[i] = static_cast<uint8_t>(i % 3);
    }
    return m;
}
const std::string matrix_text =
    "01201201 20120120 12012012 01201201 20120120 12012012 01201201 20120120 12012012 01201201 "
    "20120120";

class keelson_sim : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(tw_test::in_sandbox());
        reread_params.store(0);
        unlink(default_sock.c_str());
        unlink(json_path.c_str());
    }
    void TearDown() override {
        reread_params.store(0);
        unlink(json_path.c_str());
    }
    const std::string pid = std::to_string(getpid());
};

TEST_F(keelson_sim, log_record_prints_its_text_with_line_ends_escaped) {
    sim_process sim({});
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(daemon_log(2, "%s(%d): link \"down\".\n\r", "probe", 12), 0);
    auto l = sim.wait_lines(1);
    ASSERT_EQ(l.size(), 1u) << sim_process::outputs();
    EXPECT_TRUE(matches(l[0], stamp + " cmd=230 param=2 origin=\"SNMP\" pid=" + pid +
                                  " text=\"probe(12): link \\\"down\\\".\\n\\r\""))
        << l[0];
    EXPECT_EQ(sim.stop(), 0);
}

TEST_F(keelson_sim, refresh_commands_print_the_matrix_in_eleven_groups) {
    sim_process sim({});
    ASSERT_TRUE(sim.ready());
    cmd_msg_t req = refresh_request(382, 1);
    cmd_msg_t resp;
    EXPECT_EQ(cmd_send_recv(&req, &resp), 0);
    req.cmd = 308;
    EXPECT_EQ(cmd_send_recv(&req, &resp), 0);
    req.cmd = 407;
    EXPECT_EQ(cmd_send_recv(&req, &resp), 0);
    req.cmd = 382;
    req.param = 0;
    EXPECT_EQ(cmd_send_recv(&req, &resp), 0);
    auto l = sim.wait_lines(4);
    ASSERT_EQ(l.size(), 4u) << sim_process::outputs();
    const char *heads[4] = {"cmd=382 param=1", "cmd=308 param=1", "cmd=407 param=1",
                            "cmd=382 param=0"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(matches(
            l[i], stamp + " " + heads[i] + " origin=\"\" pid=" + pid + " matrix=" + matrix_text))
            << l[i];
    }
    EXPECT_EQ(sim.stop(), 0);
}

TEST_F(keelson_sim, other_commands_print_the_header_alone) {
    sim_process sim({});
    ASSERT_TRUE(sim.ready());
    cmd_msg_t req = refresh_request(12, -3);
    std::memcpy(req.origin, "DIRECT", 6);
    cmd_msg_t resp;
    EXPECT_EQ(cmd_send_recv(&req, &resp), 0);
    auto l = sim.wait_lines(1);
    ASSERT_EQ(l.size(), 1u) << sim_process::outputs();
    EXPECT_TRUE(matches(l[0], stamp + " cmd=12 param=-3 origin=\"DIRECT\" pid=" + pid)) << l[0];
}

TEST_F(keelson_sim, fail_close_short_and_delay_answer_as_asked) {
    sim_process sim({"--fail", "407=-5", "--close", "308", "--short", "382=20", "--delay",
                     "407=200", "--fail", "12=0x10"});
    ASSERT_TRUE(sim.ready());
    cmd_msg_t req = refresh_request(407, 1);
    cmd_msg_t resp;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(cmd_send_recv(&req, &resp), -5);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, milliseconds(200));
    req.cmd = 12;
    EXPECT_EQ(cmd_send_recv(&req, &resp), 16);
    req.cmd = 308;
    EXPECT_EQ(cmd_send_recv(&req, &resp), -121);  // and its report follows
    req.cmd = 382;
    EXPECT_EQ(cmd_send_recv(&req, &resp), -121);
    auto l = sim.wait_lines(6);
    ASSERT_EQ(l.size(), 6u) << sim_process::outputs();
    EXPECT_TRUE(matches(l[3], stamp + " cmd=230 param=2 origin=\"SNMP\" pid=" + pid +
                                  " text=\"cmd_send_recv({N}): recv return 0 bytes, "
                                  "expected 156.\\n\\r\""))
        << l[3];
    EXPECT_TRUE(matches(l[5], stamp + " cmd=230 param=2 origin=\"SNMP\" pid=" + pid +
                                  " text=\"cmd_send_recv({N}): recv return 20 bytes, "
                                  "expected 156.\\n\\r\""))
        << l[5];
    EXPECT_EQ(sim.stop(SIGINT), 0);
}

TEST_F(keelson_sim, close_all_ends_every_exchange_without_answer) {
    sim_process sim({"--close", "all"});
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(daemon_log(2, "%s(%d): x\n\r", "f", 1), -121);
    EXPECT_EQ(sim.wait_lines(1).size(), 1u) << sim_process::outputs();
}

TEST_F(keelson_sim, connection_without_a_record_is_printed_as_such) {
    sim_process sim({});
    ASSERT_TRUE(sim.ready());
    reread_params.store(1);
    EXPECT_EQ(daemon_log(2, "%s(%d): dropped\n\r", "f", 1), 0);
    reread_params.store(0);
    auto l = sim.wait_lines(1);
    ASSERT_EQ(l.size(), 1u) << sim_process::outputs();
    EXPECT_TRUE(matches(l[0], stamp + " connection with 0 bytes")) << l[0];
}

TEST_F(keelson_sim, json_file_holds_one_object_per_record) {
    sim_process sim({"--json", json_path});
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(daemon_log(2, "%s(%d): tab\there \"q\"\n\r", "probe", 7), 0);
    cmd_msg_t req = refresh_request(308, 1);
    cmd_msg_t resp;
    EXPECT_EQ(cmd_send_recv(&req, &resp), 0);
    sim.wait_lines(2);
    EXPECT_EQ(sim.stop(), 0);
    auto j = split_lines(tw_test::read_file(json_path));
    ASSERT_EQ(j.size(), 2u) << sim_process::outputs();
    EXPECT_TRUE(matches(j[0], "{\"time\":\"" + stamp +
                                  "\",\"bytes\":156,\"cmd\":230,\"param\":2,\"origin\":\"SNMP\","
                                  "\"pid\":" +
                                  pid +
                                  ",\"text\":\"probe(7): tab\\there \\\"q\\\"\\n\\r\""
                                  "}"))
        << j[0];
    std::string status;
    for (int i = 0; i < 88; ++i) {
        status += (i > 0 ? "," : "") + std::to_string(i % 3);
    }
    EXPECT_TRUE(matches(j[1], "{\"time\":\"" + stamp +
                                  "\",\"bytes\":156,\"cmd\":308,\"param\":1,\"origin\":\"\","
                                  "\"pid\":" +
                                  pid + ",\"status\":[" + status + "]}"))
        << j[1];
}

TEST_F(keelson_sim, own_socket_path_and_clean_stop) {
    const std::string path = "/run/other-keelson.sock";
    sim_process sim({"--socket", path}, true, path);
    ASSERT_TRUE(sim.ready());
    EXPECT_FALSE(exists(default_sock));

    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    cmd_msg_t req = refresh_request(407, 1);
    req.pid = 4242;
    ASSERT_EQ(send(fd, &req, sizeof req, 0), static_cast<ssize_t>(sizeof req));
    cmd_msg_t resp;
    EXPECT_EQ(recv(fd, &resp, sizeof resp, MSG_WAITALL), static_cast<ssize_t>(sizeof resp));
    EXPECT_EQ(resp.cmd, 0);
    close(fd);
    auto l = sim.wait_lines(1);
    ASSERT_EQ(l.size(), 1u) << sim_process::outputs();
    EXPECT_TRUE(
        matches(l[0], stamp + " cmd=407 param=1 origin=\"\" pid=4242 matrix=" + matrix_text))
        << l[0];
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(exists(path));
}

TEST_F(keelson_sim, help_and_bad_options) {
    {
        sim_process sim({"--help"}, false);
        EXPECT_EQ(sim.wait_exit(), 0);
        EXPECT_NE(tw_test::read_file(out_path).find("usage: keelson-sim"), std::string::npos);
    }
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--fail", "407"}, {"--delay", "x=1"}, {"--bogus"}, {"--socket"}}) {
        sim_process sim(bad, false);
        EXPECT_EQ(sim.wait_exit(), 2) << bad[0];
        EXPECT_NE(tw_test::read_file(err_path).find("keelson-sim: "), std::string::npos);
    }
    EXPECT_FALSE(exists(default_sock));
}

}  // namespace
