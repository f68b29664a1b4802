#include "util/state.h"

#include <sys/socket.h>
#include <unistd.h>

std::atomic<int> stopping_flag{0};
std::atomic<int> enable_send{0};
std::atomic<int> reread_params{0};
std::atomic<int> reread_params_finish{0};
std::atomic<int> called_from_set_df{0};
std::atomic<int> keelson_started{0};
std::atomic<int> refresh_snmp_conf{refresh_attempts};

std::atomic<int> recv_sock{0};
std::atomic<int> cmd_sock{0};
std::atomic<int> lock_file{0};

std::atomic<int> recv_thread_status{0};
std::atomic<int> send_thread_status{0};

std::atomic<int> c_exit_code{0};
std::atomic<int> child_pid{0};
std::atomic<int> child_killed{0};

namespace {
constexpr int in_use_wait_ms = 500;  // bound of close_word's wait for the user's release
}  // namespace

void close_word(std::atomic<int> &word, close_mode mode, const std::atomic<int> *in_use) noexcept {
    const int fd = word.exchange(0, std::memory_order_acq_rel);
    if (fd == 0) {
        return;
    }
    if (mode == close_mode::shut_down) {
        shutdown(fd, SHUT_RDWR);
    }
    for (int ms = 0;
         in_use != nullptr && ms < in_use_wait_ms && in_use->load(std::memory_order_acquire) == 0;
         ++ms) {
        usleep(1000);
    }
    close(fd);
}

uint32_t mgmt_ip = 0;
char mgmt_if_ip[16] = {};
