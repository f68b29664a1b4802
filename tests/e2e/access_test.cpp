// Other users may not command the daemon or touch its lock: as user nobody,
// connecting to the control socket is refused and the lock file cannot be
// opened for writing, also when the daemon was started under umask 0.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "tests/support/daemon_harness.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"

using std::chrono::milliseconds;

namespace {

int connect_errno() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, tw_test::control_path, sizeof a.sun_path - 1);
    int r = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int e = r == 0 ? 0 : errno;
    close(fd);
    return e;
}

int open_lock_errno() {
    int fd = open(tw_test::lock_path, O_RDWR | O_CLOEXEC);
    int e = fd >= 0 ? 0 : errno;
    if (fd >= 0) {
        close(fd);
    }
    return e;
}

// The child's exit code is the errno it saw.
int nobody_sees(int (*probe)()) {
    const passwd *pw = getpwnam("nobody");
    if (pw == nullptr) {
        return -1;
    }
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
            _exit(255);
        }
        _exit(probe());
    }
    return tw_test::wait_exit(pid, milliseconds(5000));
}

class access_world : public ::testing::TestWithParam<mode_t> {
   protected:
    static void SetUpTestSuite() { tw_test::become_subreaper(); }
    void SetUp() override {
        ASSERT_TRUE(tw_test::in_sandbox());
        tw_test::clean_world();
        keelson = std::make_unique<keelson_stub>();
    }
    void TearDown() override {
        tw_test::clean_world();
        keelson.reset();
    }
    std::unique_ptr<keelson_stub> keelson;
};

TEST_P(access_world, nobody_can_neither_command_the_daemon_nor_write_its_lock) {
    // Launched from a shell with the umask under test, as an init script may.
    pid_t launcher = fork();
    if (launcher == 0) {
        umask(GetParam());
        execl(tw_test::trapwatch_binary, "trapwatch", static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_EQ(tw_test::wait_exit(launcher, milliseconds(10000)), 0);
    ASSERT_TRUE(tw_test::wait_serving(milliseconds(8000)));

    EXPECT_EQ(connect_errno(), 0) << "root is refused";
    EXPECT_EQ(nobody_sees(connect_errno), EACCES);
    EXPECT_EQ(nobody_sees(open_lock_errno), EACCES);
    struct stat st;
    ASSERT_EQ(stat(tw_test::control_path, &st), 0);
    EXPECT_EQ(st.st_mode & 0002, 0u) << std::oct << st.st_mode;
    ASSERT_EQ(stat(tw_test::lock_path, &st), 0);
    EXPECT_EQ(st.st_mode & 0022, 0u) << std::oct << st.st_mode;
    // The daemon still serves its owner.
    EXPECT_TRUE(tw_test::exchange(13, 0).whole());
}

INSTANTIATE_TEST_SUITE_P(umask, access_world, ::testing::Values(mode_t{022}, mode_t{0}),
                         [](const ::testing::TestParamInfo<mode_t> &p) {
                             return "umask_" + std::to_string(p.param);
                         });

}  // namespace
