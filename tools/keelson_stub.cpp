#include "tools/keelson_stub.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A client that connects and never writes must not hold the stand-in forever.
constexpr int read_limit_ms = 5000;

// A stand-in that cannot listen leaves nothing to test or serve: the process
// ends (the programs are built without exceptions).
[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "%s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

int32_t host_i32(const uint8_t *p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Writes all of buf unless the peer goes away.
void write_all(int fd, const uint8_t *buf, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, buf, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return;
        }
        buf += w;
        n -= static_cast<size_t>(w);
    }
}

}  // namespace

std::string keelson_request::text() const {
    size_t n = 0;
    while (n < data.size() && data[n] != 0) {
        ++n;
    }
    return std::string(reinterpret_cast<const char *>(data.data()), n);
}

keelson_request keelson_decode(const uint8_t *buf, size_t n) {
    keelson_request r;
    r.time = std::chrono::system_clock::now();
    r.bytes = n < cmd_msg_len ? n : cmd_msg_len;
    std::memcpy(r.raw.data(), buf, r.bytes);
    const uint8_t *p = r.raw.data();
    r.cmd = host_i32(p + offsetof(cmd_msg_t, cmd));
    r.param = host_i32(p + offsetof(cmd_msg_t, param));
    const char *o = reinterpret_cast<const char *>(p + offsetof(cmd_msg_t, origin));
    size_t olen = 0;
    while (olen < sizeof(cmd_msg_t::origin) && o[olen] != '\0') {
        ++olen;
    }
    r.origin.assign(o, olen);
    std::memcpy(r.reserved.data(), p + offsetof(cmd_msg_t, reserved), r.reserved.size());
    r.pid = host_i32(p + offsetof(cmd_msg_t, pid));
    std::memcpy(r.data.data(), p + offsetof(cmd_msg_t, data), r.data.size());
    return r;
}

keelson_stub::keelson_stub(std::string path)
    : keelson_stub(std::move(path), keelson_stub_setup{}) {}

keelson_stub::keelson_stub(std::string path, keelson_stub_setup setup)
    : path_(std::move(path)),
      replies_(std::move(setup.replies)),
      default_reply_(setup.default_reply),
      observer_(std::move(setup.observer)) {
    // Bound under a temporary name and renamed once listening, so that the
    // socket file appears only when connections are accepted: whoever polls
    // for the file (a test starting keelson-sim) is never refused.
    std::string tmp = path_ + ".tmp" + std::to_string(getpid());
    sockaddr_un addr;
    const socklen_t addr_len = unix_address(tmp.c_str(), &addr);
    if (addr_len == 0) {
        errno = ENAMETOOLONG;
        fail("keelson_stub: socket path");
    }

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        fail("keelson_stub: pipe");
    }
    wake_rd_ = pipe_fds[0];
    wake_wr_ = pipe_fds[1];

    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        int e = errno;
        close(wake_rd_);
        close(wake_wr_);
        errno = e;
        fail("keelson_stub: socket");
    }
    unlink(path_.c_str());  // a stale file from an earlier run
    unlink(tmp.c_str());
    if (bind(listen_fd_, reinterpret_cast<const sockaddr *>(&addr), addr_len) != 0 ||
        listen(listen_fd_, 16) != 0 || rename(tmp.c_str(), path_.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        close(listen_fd_);
        close(wake_rd_);
        close(wake_wr_);
        errno = e;
        fail("keelson_stub: bind/listen");
    }
    thread_ = std::thread([this] { serve(); });
    // Returns only once the thread is idle in its poll.  Tests fork right
    // after this (death tests); a child forked while the new thread is still
    // starting inherits the sanitizer runtime's locks held, and its exit-time
    // leak check then waits on them for ever.
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return serving_; });
}

keelson_stub::~keelson_stub() {
    uint8_t one = 1;
    ssize_t ignored = write(wake_wr_, &one, 1);
    (void)ignored;
    thread_.join();
    close(listen_fd_);
    close(wake_rd_);
    close(wake_wr_);
    unlink(path_.c_str());
}

void keelson_stub::set_reply(int32_t cmd, const keelson_reply &reply) {
    std::lock_guard<std::mutex> lock(mu_);
    replies_[cmd] = reply;
}

void keelson_stub::set_default_reply(const keelson_reply &reply) {
    std::lock_guard<std::mutex> lock(mu_);
    default_reply_ = reply;
}

void keelson_stub::set_status(int32_t cmd, int32_t status) {
    keelson_reply r;
    r.status = status;
    set_reply(cmd, r);
}

void keelson_stub::reset_replies() {
    std::lock_guard<std::mutex> lock(mu_);
    replies_.clear();
    default_reply_ = keelson_reply{};
}

void keelson_stub::set_observer(std::function<void(const keelson_request &)> observer) {
    std::lock_guard<std::mutex> lock(mu_);
    observer_ = std::move(observer);
}

std::vector<keelson_request> keelson_stub::requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

size_t keelson_stub::count() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_.size();
}

void keelson_stub::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.clear();
}

bool keelson_stub::wait_for(size_t n, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] { return requests_.size() >= n; });
}

keelson_reply keelson_stub::reply_for(int32_t cmd) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = replies_.find(cmd);
    return it != replies_.end() ? it->second : default_reply_;
}

bool keelson_stub::pause(std::chrono::milliseconds d) {
    pollfd p{wake_rd_, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, static_cast<int>(d.count()));
    } while (r < 0 && errno == EINTR);
    return r == 0;
}

void keelson_stub::serve() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        serving_ = true;
    }
    cv_.notify_all();
    while (true) {
        pollfd p[2] = {{wake_rd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (p[0].revents != 0) {
            return;  // stop requested
        }
        if ((p[1].revents & POLLIN) == 0) {
            continue;
        }
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        handle(fd);
        close(fd);
    }
}

void keelson_stub::handle(int fd) {
    // One record per connection: read until 156 bytes, the peer's end, or the limit.
    uint8_t buf[cmd_msg_len] = {};
    size_t got = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(read_limit_ms);
    while (got < cmd_msg_len) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_rd_, POLLIN, 0}};
        int r = poll(p, 2, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0 || p[1].revents != 0) {
            break;
        }
        ssize_t n = recv(fd, buf + got, cmd_msg_len - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }

    keelson_request req = keelson_decode(buf, got);
    std::function<void(const keelson_request &)> observer;
    {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back(req);
        observer = observer_;
    }
    cv_.notify_all();
    if (observer) {
        observer(req);
    }
    if (got == 0) {
        return;  // nothing to answer: the peer sent no record
    }

    keelson_reply reply = reply_for(req.cmd);
    if (reply.delay.count() > 0 && !pause(reply.delay)) {
        return;
    }
    cmd_msg_t resp[2];  // the second one: zeros for an answer too long
    std::memset(resp, 0, sizeof resp);
    resp[0].cmd = reply.status;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(resp);
    switch (reply.how) {
        case keelson_reply::kind::answer:
            write_all(fd, bytes, sizeof resp[0]);
            break;
        case keelson_reply::kind::short_answer:
            write_all(fd, bytes, reply.short_len < sizeof resp ? reply.short_len : sizeof resp);
            break;
        case keelson_reply::kind::close:
            break;
    }
}
