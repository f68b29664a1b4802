// The exchange with the controller daemon and the remote log, against the
// in-process stand-in on "/var/run/keelson.sock".
#include "params/cmd_msg.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/keelson_text.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"
#include "util/state.h"

namespace {

using std::chrono::milliseconds;

const std::string sock_path = "/var/run/keelson.sock";

// Host-order 32-bit integer written byte by byte, without the record's layout.
void put_host32(uint8_t *p, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) {
        int shift = std::endian::native == std::endian::big ? 24 - 8 * i : 8 * i;
        p[i] = static_cast<uint8_t>(u >> shift);
    }
}

// A request with a distinct value in every field.
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

// The report of a short answer; {N} is the library's own source line.
std::string short_report_for(int n) {
    return "cmd_send_recv({N}): recv return " + std::to_string(n) + " bytes, expected 156.\n\r";
}

class controller_link : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(tw_test::in_sandbox());
        reread_params.store(0);
        unlink(sock_path.c_str());
        fds_before = tw_test::count_open_fds();
    }
    void TearDown() override {
        reread_params.store(0);
        unlink(sock_path.c_str());
        // No path of an exchange leaves a descriptor behind.
        EXPECT_EQ(tw_test::count_open_fds(), fds_before);
    }
    int fds_before = 0;
};

// ---- The record on the wire.

TEST_F(controller_link, log_record_bytes_are_exact_and_the_line_is_cut_to_127) {
    std::string line(200, '\0');
    for (size_t i = 0; i < line.size(); ++i) {
        line[i] = static_cast<char>('!' + i % 90);
    }
    std::string expect_text = "golden(42): " + line;
    {
        keelson_stub stub;
        EXPECT_EQ(daemon_log(2, "%s(%d): %s", "golden", 42, line.c_str()), 0);
        ASSERT_TRUE(stub.wait_for(1, milliseconds(5000)));
        auto got = stub.requests().at(0);
        ASSERT_EQ(got.bytes, 156u);

        std::array<uint8_t, 156> golden{};
        put_host32(&golden[0], 230);
        put_host32(&golden[4], 2);
        std::memcpy(&golden[8], "SNMP", 4);  // and four NULs; reserved stays zero
        put_host32(&golden[24], static_cast<int32_t>(getpid()));
        std::memcpy(&golden[28], expect_text.data(), 127);  // byte 155 stays NUL
        EXPECT_EQ(got.raw, golden);
        EXPECT_EQ(got.text(), expect_text.substr(0, 127));
    }
}

TEST_F(controller_link, request_gets_the_pid_and_the_response_is_overwritten_whole) {
    keelson_stub stub;
    stub.set_status(382, 0);
    cmd_msg_t req = refresh_request(382, 1);
    req.pid = -1;
    cmd_msg_t resp;
    std::memset(&resp, 0xff, sizeof resp);
    EXPECT_EQ(cmd_send_recv(&req, &resp), 0);
    EXPECT_EQ(req.pid, getpid());
    const uint8_t *r = reinterpret_cast<const uint8_t *>(&resp);
    for (size_t i = 0; i < sizeof resp; ++i) {
        EXPECT_EQ(r[i], 0) << "byte " << i;
    }
    auto got = stub.requests().at(0);
    EXPECT_EQ(got.cmd, 382);
    EXPECT_EQ(got.param, 1);
    EXPECT_EQ(got.pid, getpid());
    EXPECT_EQ(got.raw[28 + 5], 2);
    EXPECT_EQ(got.raw[28 + 87], 0);
    EXPECT_EQ(got.raw[28 + 86], 2);
    EXPECT_EQ(got.raw[28 + 88], 0);
}

// ---- Status passed through.

TEST_F(controller_link, controller_status_is_the_result) {
    keelson_stub stub;
    stub.set_status(407, -5);
    stub.set_status(308, 7);
    cmd_msg_t req = refresh_request(407, 1);
    cmd_msg_t resp;
    EXPECT_EQ(cmd_send_recv(&req, &resp), -5);
    EXPECT_EQ(resp.cmd, -5);
    req.cmd = 308;
    EXPECT_EQ(cmd_send_recv(&req, &resp), 7);
    req.cmd = 382;
    EXPECT_EQ(cmd_send_recv(&req, &resp), 0);
    // The stand-in's own -121 can't be told from a failed exchange.
    stub.set_status(382, -121);
    EXPECT_EQ(cmd_send_recv(&req, &resp), -121);
    EXPECT_EQ(stub.count(), 4u);  // and nothing was reported
}

TEST_F(controller_link, exchange_waits_for_a_slow_answer) {
    keelson_stub stub;
    keelson_reply slow;
    slow.status = 3;
    slow.delay = milliseconds(300);
    stub.set_reply(308, slow);
    cmd_msg_t req = refresh_request(308, 1);
    cmd_msg_t resp;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(cmd_send_recv(&req, &resp), 3);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, milliseconds(300));
}

// ---- No controller.

TEST_F(controller_link, no_socket_file_fails_connect_on_stderr) {
    cmd_msg_t req = refresh_request(382, 1);
    cmd_msg_t resp;
    testing::internal::CaptureStderr();
    int rc = cmd_send_recv(&req, &resp);
    int log_rc = daemon_log(2, "%s(%d): nobody listens.\n\r", "test", 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -121);
    EXPECT_EQ(log_rc, -121);
    EXPECT_EQ(err,
              "cmd connect to daemon: No such file or directory\n"
              "cmd connect to daemon: No such file or directory\n");
}

TEST_F(controller_link, stale_socket_file_fails_connect_on_stderr) {
    { keelson_stub stub; }  // gone, socket file removed
    // A socket file that nobody listens on.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, sock_path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(fd);
    cmd_msg_t req = refresh_request(382, 1);
    cmd_msg_t resp;
    testing::internal::CaptureStderr();
    int rc = cmd_send_recv(&req, &resp);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -121);
    EXPECT_EQ(err, "cmd connect to daemon: Connection refused\n");
}

// ---- Re-read pending.

TEST_F(controller_link, pending_reread_sends_nothing_and_reports_success) {
    keelson_stub stub;
    stub.set_default_reply({keelson_reply::kind::answer, -9, 10, milliseconds(0)});
    reread_params.store(1);
    cmd_msg_t req = refresh_request(407, 1);
    cmd_msg_t resp;
    std::memset(&resp, 0xff, sizeof resp);
    EXPECT_EQ(cmd_send_recv(&req, &resp), 0);
    EXPECT_EQ(req.pid, getpid());
    const uint8_t *r = reinterpret_cast<const uint8_t *>(&resp);
    for (size_t i = 0; i < sizeof resp; ++i) {
        EXPECT_EQ(r[i], 0) << "byte " << i;
    }
    EXPECT_EQ(daemon_log(2, "%s(%d): dropped.\n\r", "test", 2), 0);
    // Both connections were opened and closed without a byte.
    ASSERT_TRUE(stub.wait_for(2, milliseconds(5000)));
    auto got = stub.requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].bytes, 0u);
    EXPECT_EQ(got[1].bytes, 0u);
    reread_params.store(0);
    EXPECT_EQ(cmd_send_recv(&req, &resp), -9);
}

// ---- Short and missing answers.

TEST_F(controller_link, closed_without_answer_is_reported_through_the_log) {
    keelson_stub stub;
    keelson_reply close_reply;
    close_reply.how = keelson_reply::kind::close;
    stub.set_reply(382, close_reply);
    cmd_msg_t req = refresh_request(382, 1);
    cmd_msg_t resp;
    testing::internal::CaptureStderr();
    EXPECT_EQ(cmd_send_recv(&req, &resp), -121);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(stub.wait_for(2, milliseconds(5000)));
    auto got = stub.requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].cmd, 382);
    EXPECT_EQ(got[1].cmd, 230);
    EXPECT_EQ(got[1].param, 2);
    EXPECT_EQ(got[1].origin, "SNMP");
    EXPECT_TRUE(tw_test::text_matches(got[1].text(), short_report_for(0))) << got[1].text();
}

TEST_F(controller_link, short_answer_is_reported_with_its_count) {
    keelson_stub stub;
    keelson_reply short_reply;
    short_reply.how = keelson_reply::kind::short_answer;
    short_reply.short_len = 10;
    stub.set_reply(407, short_reply);
    cmd_msg_t req = refresh_request(407, 1);
    cmd_msg_t resp;
    EXPECT_EQ(cmd_send_recv(&req, &resp), -121);
    ASSERT_TRUE(stub.wait_for(2, milliseconds(5000)));
    auto got = stub.requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(tw_test::text_matches(got[1].text(), short_report_for(10))) << got[1].text();
    // One byte short is short too.
    stub.clear();
    short_reply.short_len = 155;
    stub.set_reply(407, short_reply);
    EXPECT_EQ(cmd_send_recv(&req, &resp), -121);
    ASSERT_TRUE(stub.wait_for(2, milliseconds(5000)));
    EXPECT_TRUE(tw_test::text_matches(stub.requests()[1].text(), short_report_for(155)));
}

TEST_F(controller_link, short_answer_to_a_log_record_is_not_reported_again) {
    keelson_stub stub;
    keelson_reply close_reply;
    close_reply.how = keelson_reply::kind::close;
    stub.set_default_reply(close_reply);  // every command, the log records too
    EXPECT_EQ(daemon_log(2, "%s(%d): first.\n\r", "test", 3), -121);
    EXPECT_TRUE(stub.wait_for(1, milliseconds(5000)));
    EXPECT_FALSE(stub.wait_for(2, milliseconds(300)));
    // A refresh command's report is sent once, and its own failure ends there.
    stub.clear();
    cmd_msg_t req = refresh_request(308, 1);
    cmd_msg_t resp;
    EXPECT_EQ(cmd_send_recv(&req, &resp), -121);
    EXPECT_TRUE(stub.wait_for(2, milliseconds(5000)));
    EXPECT_FALSE(stub.wait_for(3, milliseconds(300)));
    auto got = stub.requests();
    EXPECT_EQ(got[0].cmd, 308);
    EXPECT_EQ(got[1].cmd, 230);
}

TEST_F(controller_link, reset_connection_fails_the_receive_on_stderr) {
    // A listener that takes the request unread and closes: the kernel resets
    // the connection, and the receive fails.
    int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(lfd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, sock_path.c_str());
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    std::thread peer([lfd] {
        pollfd p{lfd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) {
            return;
        }
        int c = accept(lfd, nullptr, nullptr);
        pollfd q{c, POLLIN, 0};
        poll(&q, 1, 5000);  // the request is there
        close(c);
    });
    cmd_msg_t req = refresh_request(382, 1);
    cmd_msg_t resp;
    testing::internal::CaptureStderr();
    int rc = cmd_send_recv(&req, &resp);
    std::string err = testing::internal::GetCapturedStderr();
    peer.join();
    close(lfd);
    EXPECT_EQ(rc, -121);
    EXPECT_EQ(err, "cmd recv: Connection reset by peer\n");
}

}  // namespace
