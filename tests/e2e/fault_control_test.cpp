// The control socket under abuse: a burst of 1000 connections, 50 clients
// that connect and send nothing, requests of every length from 0 to 400
// bytes, clients that close before reading their reply.  Through all of it
// the daemon keeps serving GET_STATUS with the right matrix, and its
// descriptors and memory stay flat.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/daemon_harness.h"
#include "tests/support/fault_fixture.h"
#include "tests/support/fault_world.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"

using namespace tw_fault;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

// A connected client socket with both directions bounded, or -1.
int connect_control(milliseconds limit) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>(limit.count() % 1000 * 1000);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, tw_test::control_path, sizeof a.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class fault_control : public world_test {};

TEST_F(fault_control, abusive_clients_leave_the_daemon_serving_and_flat) {
    const pid_t pid = start_watched();
    ASSERT_NE(pid, 0);
    auto still_right = [&](const char *after) {
        SCOPED_TRACE(after);
        EXPECT_TRUE(wait_matrix(expected(), seconds(10)));
        expect_flat(pid);
    };

    {
        // 1000 connections from 20 clients at once, each a whole GET_VER.
        std::atomic<int> answered{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < 20; ++t) {
            clients.emplace_back([&] {
                for (int k = 0; k < 50; ++k) {
                    tw_test::reply r = tw_test::exchange(13, 0, milliseconds(20000));
                    if (r.whole() && r.msg.cmd == 0) {
                        ++answered;
                    }
                }
            });
        }
        for (auto &c : clients) {
            c.join();
        }
        EXPECT_EQ(answered.load(), 1000);
        still_right("a burst of 1000 connections");
    }
    {
        // 50 clients connect and send nothing; as many as the backlog takes
        // get in, the rest time out connecting.  Then they all go away.
        std::vector<int> silent(50, -1);
        std::vector<std::thread> openers;
        for (size_t k = 0; k < silent.size(); ++k) {
            openers.emplace_back([&, k] { silent[k] = connect_control(milliseconds(3000)); });
        }
        for (auto &o : openers) {
            o.join();
        }
        int connected = 0;
        for (int fd : silent) {
            connected += fd >= 0 ? 1 : 0;
        }
        EXPECT_GT(connected, 0);
        std::this_thread::sleep_for(seconds(3));
        for (int fd : silent) {
            if (fd >= 0) {
                close(fd);
            }
        }
        // Served again within a few seconds of the silent ones leaving.
        tw_test::reply r = tw_test::exchange(1, 0, milliseconds(8000));
        EXPECT_TRUE(r.whole());
        still_right("50 silent clients");
    }
    {
        // Every length from 0 to 400 in one send: 156 bytes or more are one
        // request (the receive takes 156), fewer get no answer.
        cmd_msg_t req = tw_test::request(1);
        uint8_t bytes[400];
        std::memset(bytes, 0x5a, sizeof bytes);
        std::memcpy(bytes, &req, sizeof req);
        int wrong = 0;
        for (size_t n = 0; n <= sizeof bytes; ++n) {
            int fd = connect_control(milliseconds(5000));
            if (fd < 0) {
                ++wrong;
                continue;
            }
            if (n > 0 && send(fd, bytes, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) {
                ++wrong;
            }
            shutdown(fd, SHUT_WR);
            uint8_t buf[400];
            ssize_t got = 0;
            while (true) {
                ssize_t k = recv(fd, buf + got, sizeof buf - static_cast<size_t>(got), 0);
                if (k <= 0) {
                    break;
                }
                got += k;
            }
            close(fd);
            const ssize_t want = n >= sizeof req ? static_cast<ssize_t>(sizeof req) : 0;
            if (got != want) {
                ADD_FAILURE() << n << " bytes sent, " << got << " received";
                ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0);
        still_right("requests of every length");
    }
    {
        // Clients that send a request and close without reading the reply.
        cmd_msg_t req = tw_test::request(1);
        for (int k = 0; k < 200; ++k) {
            int fd = connect_control(milliseconds(5000));
            ASSERT_GE(fd, 0);
            send(fd, &req, sizeof req, MSG_NOSIGNAL);
            close(fd);
        }
        still_right("clients closing before their reply");
    }
    EXPECT_EQ(kill(pid, 0), 0);
}

}  // namespace
