#include "tools/ctl_client.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/escape.h"
#include "util/errors.h"

namespace {

timeval to_timeval(std::chrono::milliseconds t) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(t.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((t.count() % 1000) * 1000);
    return tv;
}

// Closes the descriptor on every way out of ctl_exchange.
struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

}  // namespace

ctl_outcome ctl_exchange(const std::string &path, int32_t cmd, int32_t param,
                         std::chrono::milliseconds timeout) {
    ctl_outcome o;
    sockaddr_un addr;
    const socklen_t addr_len = unix_address(path.c_str(), &addr);
    if (addr_len == 0) {
        o.fail = ctl_fail::bad_path;
        return o;
    }

    fd_guard s{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) {
        o.fail = ctl_fail::socket;
        o.sys_errno = errno;
        return o;
    }
    // SO_SNDTIMEO also bounds a Unix-domain connect that waits for room in
    // the daemon's listen backlog, so a daemon stuck on another client
    // cannot hold us.
    timeval tv = to_timeval(timeout);
    if (timeout.count() > 0 && (setsockopt(s.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0 ||
                                setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)) {
        o.fail = ctl_fail::socket;
        o.sys_errno = errno;
        return o;
    }
    if (connect(s.fd, reinterpret_cast<const sockaddr *>(&addr), addr_len) != 0) {
        o.sys_errno = errno;
        switch (errno) {
            case ENOENT:
                o.fail = ctl_fail::no_socket;
                break;
            case ECONNREFUSED:
                o.fail = ctl_fail::refused;
                break;
            case EAGAIN:
            case EINPROGRESS:
                o.fail = ctl_fail::busy;
                break;
            default:
                o.fail = ctl_fail::connect;
        }
        return o;
    }

    cmd_msg_t req{};
    req.cmd = cmd;
    req.param = param;
    std::strncpy(req.origin, "LOCAL", sizeof req.origin);
    req.pid = static_cast<int32_t>(getpid());
    ssize_t sent = send(s.fd, &req, sizeof req, MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(sizeof req)) {
        o.fail = ctl_fail::send;
        o.sys_errno = sent < 0 ? errno : 0;
        return o;
    }

    // One receive, as every end of this socket does it; the buffer is larger
    // than a record so that an oversized reply is seen as such.
    uint8_t buf[2 * cmd_msg_len];
    ssize_t got = recv(s.fd, buf, sizeof buf, 0);
    o.got = got;
    if (got < 0) {
        o.sys_errno = errno;
        o.fail = (errno == EAGAIN || errno == EWOULDBLOCK) ? ctl_fail::timeout : ctl_fail::recv;
        return o;
    }
    if (got == 0) {
        o.fail = ctl_fail::closed;
        return o;
    }
    if (got < static_cast<ssize_t>(cmd_msg_len)) {
        o.fail = ctl_fail::short_reply;
        return o;
    }
    if (got > static_cast<ssize_t>(cmd_msg_len)) {
        o.fail = ctl_fail::long_reply;
        return o;
    }
    std::memcpy(&o.reply, buf, sizeof o.reply);
    return o;
}

std::string ctl_describe(const ctl_outcome &o, const std::string &path) {
    char line[512];
    const char *err = std::strerror(o.sys_errno);
    switch (o.fail) {
        case ctl_fail::none:
            if (o.reply.cmd == 0) {
                return "";
            }
            std::snprintf(line, sizeof line, "trapwatch answered status %d (%s)", o.reply.cmd,
                          tiller_strerror(o.reply.cmd));
            break;
        case ctl_fail::bad_path:
            std::snprintf(line, sizeof line, "socket path too long or empty: \"%s\"", path.c_str());
            break;
        case ctl_fail::socket:
            std::snprintf(line, sizeof line, "cannot make a socket: %s", err);
            break;
        case ctl_fail::no_socket:
            std::snprintf(line, sizeof line, "trapwatch is not running (no control socket at %s)",
                          path.c_str());
            break;
        case ctl_fail::refused:
            std::snprintf(line, sizeof line,
                          "trapwatch is not running (%s refuses connections: a stale socket file "
                          "left by a daemon that ended on a signal?)",
                          path.c_str());
            break;
        case ctl_fail::connect:
            std::snprintf(line, sizeof line, "cannot connect to %s: %s", path.c_str(), err);
            break;
        case ctl_fail::busy:
            std::snprintf(line, sizeof line,
                          "trapwatch did not accept the connection in time (busy with another "
                          "client?) at %s",
                          path.c_str());
            break;
        case ctl_fail::send:
            std::snprintf(line, sizeof line, "cannot send the request: %s",
                          o.sys_errno != 0 ? err : "partial send");
            break;
        case ctl_fail::timeout:
            std::snprintf(line, sizeof line, "no reply from trapwatch in time");
            break;
        case ctl_fail::closed:
            std::snprintf(line, sizeof line, "trapwatch closed the connection without a reply");
            break;
        case ctl_fail::short_reply:
        case ctl_fail::long_reply:
            std::snprintf(line, sizeof line, "bad reply from trapwatch: %zd bytes, expected %zu",
                          o.got, cmd_msg_len);
            break;
        case ctl_fail::recv:
            std::snprintf(line, sizeof line, "cannot receive the reply: %s", err);
            break;
    }
    return line;
}

pid_t ctl_lock_holder(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // F_GETLK needs no write access, so looking does not disturb the lock.
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    pid_t holder = 0;
    if (fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) {
        holder = fl.l_pid > 0 ? fl.l_pid : ctl_holder_unknown;
    }
    close(fd);
    return holder;
}

std::string ctl_format_matrix(const uint8_t *matrix88) {
    std::string out = "     ";
    char cell[16];
    for (int i = 0; i < tw_group_size; ++i) {
        std::snprintf(cell, sizeof cell, "%3d", i);
        out += cell;
    }
    out += '\n';
    for (int g = 0; g < tw_groups; ++g) {
        std::snprintf(cell, sizeof cell, "  c%-2d", g + 1);
        out += cell;
        for (int i = 0; i < tw_group_size; ++i) {
            std::snprintf(cell, sizeof cell, "%3u",
                          static_cast<unsigned>(matrix88[g * tw_group_size + i]));
            out += cell;
        }
        out += '\n';
    }
    for (size_t code = 0; code < ctl_code_meanings.size(); ++code) {
        out += "  " + std::to_string(code) + " " + ctl_code_meanings[code] + "\n";
    }
    return out;
}

std::string ctl_format_json(const uint8_t *matrix88, const std::string &version) {
    std::string out = "{\"version\":\"" + tool_escape(version, true) + "\",\"groups\":{";
    for (int g = 0; g < tw_groups; ++g) {
        out += (g > 0 ? ",\"c" : "\"c") + std::to_string(g + 1) + "\":[";
        for (int i = 0; i < tw_group_size; ++i) {
            out += (i > 0 ? "," : "") + std::to_string(matrix88[g * tw_group_size + i]);
        }
        out += "]";
    }
    out += "},\"codes\":{";
    for (size_t code = 0; code < ctl_code_meanings.size(); ++code) {
        out += (code > 0 ? ",\"" : "\"") + std::to_string(code) + "\":\"" +
               ctl_code_meanings[code] + "\"";
    }
    return out + "}}\n";
}

std::string ctl_format_raw(const uint8_t *matrix88) {
    std::string out;
    char hex[4];
    for (size_t i = 0; i < static_cast<size_t>(tw_rows); ++i) {
        if (i > 0 && i % tw_group_size == 0) {
            out += ' ';
        }
        std::snprintf(hex, sizeof hex, "%02x", matrix88[i]);
        out += hex;
    }
    return out + '\n';
}
