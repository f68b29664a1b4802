#include "params/cmd_msg.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/errors.h"
#include "util/state.h"

socklen_t unix_address(const char *path, sockaddr_un *out) noexcept {
    std::memset(out, 0, sizeof *out);
    const size_t n = std::strlen(path);
    if (n == 0 || n >= sizeof out->sun_path) {
        return 0;
    }
    out->sun_family = AF_UNIX;
    std::memcpy(out->sun_path, path, n);
    return static_cast<socklen_t>(sizeof out->sun_family + n);
}

int cmd_send_recv(cmd_msg_t *req, cmd_msg_t *resp) noexcept {
    // Close-on-exec: the stop runs "sleep 1" through the shell while other
    // threads may be in an exchange, and the shell must not inherit it.
    //
    // Failures of the exchange itself go to standard error with perror, on
    // purpose: the controller link is what failed, so they cannot be logged
    // through it, and the texts are the system's own.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("cmd socket");
        return TW_ERR_KEELSON_LINK;
    }
    sockaddr_un addr;
    socklen_t len = unix_address(keelson_sock_path, &addr);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
        std::perror("cmd connect to daemon");
        close(fd);
        return TW_ERR_KEELSON_LINK;
    }
    req->pid = getpid();
    std::memset(resp, 0, sizeof *resp);
    if (reread_params.load(std::memory_order_relaxed) != 0) {
        // A re-read is pending: nothing goes out and the caller sees success.
        close(fd);
        return resp->cmd;
    }
    if (send(fd, req, sizeof *req, MSG_NOSIGNAL) == -1) {
        std::perror("cmd send");
        close(fd);
        return TW_ERR_KEELSON_LINK;
    }
    ssize_t got = recv(fd, resp, sizeof *resp, 0);
    if (got < 0) {
        std::perror("cmd recv");
        close(fd);
        return TW_ERR_KEELSON_LINK;
    }
    close(fd);
    if (got != static_cast<ssize_t>(sizeof *resp)) {
        // A short answer to a log record is not reported through the log
        // again: that bounds the nesting of such reports at one.
        if (req->cmd != keelson_cmd_log) {
            daemon_log(2, "%s(%d): recv return %d bytes, expected %d.\n\r", __func__, __LINE__,
                       static_cast<int>(got), static_cast<int>(sizeof *resp));
        }
        return TW_ERR_KEELSON_LINK;
    }
    return resp->cmd;
}

int daemon_log(int level, const char *fmt, ...) noexcept {
    cmd_msg_t req;
    std::memset(&req, 0, sizeof req);
    req.cmd = keelson_cmd_log;
    req.param = level;
    std::strncpy(req.origin, "SNMP", sizeof req.origin);
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(reinterpret_cast<char *>(req.data), sizeof req.data, fmt, ap);
    va_end(ap);
    cmd_msg_t resp;
    return cmd_send_recv(&req, &resp);
}
