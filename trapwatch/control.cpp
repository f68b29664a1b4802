#include "trapwatch/control.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "trapwatch/status.h"
#include "trapwatch/stop.h"
#include "trapwatch/version.h"
#include "util/errors.h"
#include "util/state.h"
#include "util/trace.h"

namespace {

constexpr const char *unit = "trapwatch";

// A client that connects and sends nothing (or reads no reply) would hold the
// loop, and with it TERMINATE, for as long as it likes; so both directions
// of an accepted connection are bounded.
void bound_connection(int conn) {
    timeval tv{};
    tv.tv_sec = cmd_conn_timeout_s;
    setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(conn, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void serve_connection(int conn) {
    bound_connection(conn);
    cmd_msg_t req;
    cmd_msg_t resp;
    std::memset(&req, 0, sizeof req);
    std::memset(&resp, 0, sizeof resp);
    // Exactly one whole record in one receive; anything else (a short or split
    // request, a closed peer, the time bound) is dropped without an answer.
    ssize_t got = recv(conn, &req, sizeof req, 0);
    if (got != static_cast<ssize_t>(sizeof req)) {
        close(conn);
        return;
    }
    tty_prnt(dbg_keelson_cmd, "%s:%s(%d): before cmd processing(sock: %d)\n\r", unit, "p_cmd_loop",
             __LINE__, conn);
    serve_request(req, &resp);
    tty_prnt(dbg_keelson_cmd, "%s:%s(%d): after cmd processing(sock: %d)\n\r", unit, "p_cmd_loop",
             __LINE__, conn);
    ssize_t sent = send(conn, &resp, sizeof resp, MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(sizeof resp)) {
        char ebuf[errno_text_len];
        daemon_log(2, "%s(%d) send error \"%s\"\n\r", "p_cmd_loop", __LINE__,
                   errno_text(errno, ebuf, sizeof ebuf));
    }
    close(conn);
}

// The debug commands: DBG_OFF sets the mask back to its default, the others
// add their class (params/protocol.h).
void set_debug_class(int32_t cmd, const char *fn) {
    // Each command's name as the console shows it, word for word: DBG_PROC's
    // line reads DBG_INIT.
    struct named {
        int32_t cmd;
        const char *name;
    };
    static constexpr named names[] = {
        {TRAPWATCH_CMD_DBG_OFF, "DBG_OFF"},
        {TRAPWATCH_CMD_DBG_INIT, "DBG_INIT"},
        {TRAPWATCH_CMD_DBG_PROC, "DBG_INIT"},
        {TRAPWATCH_CMD_DBG_MONITOR_CYCLE, "TRAPWATCH_CMD_DBG_MONITOR_CYCLE"},
        {TRAPWATCH_CMD_DBG_KEELSON_CMD, "TRAPWATCH_CMD_DBG_KEELSON_CMD"},
        {TRAPWATCH_CMD_DBG_MONITOR, "TRAPWATCH_CMD_DBG_MONITOR"},
    };
    for (const named &n : names) {
        if (n.cmd == cmd) {
            tty_prnt(dbg_keelson_cmd, "%s:%s(%d): %s\n\r", unit, fn, __LINE__, n.name);
        }
    }
    if (cmd == TRAPWATCH_CMD_DBG_OFF) {
        dbg_level.store(dbg_level_default);
    } else {
        dbg_level.set_low_bits(debug_bit(cmd));
    }
}

}  // namespace

void cmd_proccesing(const cmd_msg_t &req, cmd_msg_t *resp) {
    const char *fn = "cmd_proccesing";  // spelled as the console's lines have it
    tty_prnt(dbg_init | dbg_keelson_cmd, "%s:%s(%d): cmd: %d\n\r", unit, fn, __LINE__, req.cmd);
    switch (req.cmd) {
        case TRAPWATCH_CMD_RESTART:
            tty_prnt(dbg_keelson_cmd, "%s:%s(%d): RESTART\n\r", unit, fn, __LINE__);
            if (req.param != 0) {
                tty_prnt(dbg_keelson_cmd, "%s:%s(%d): called from set default\n\r", unit, fn,
                         __LINE__);
            } else {
                tty_prnt(dbg_keelson_cmd, "%s:%s(%d): called from snmp apply\n\r", unit, fn,
                         __LINE__);
            }
            called_from_set_df.store(req.param, std::memory_order_relaxed);
            reread_params.store(1, std::memory_order_relaxed);
            break;
        case TRAPWATCH_CMD_GET_STATUS:
            tty_prnt(dbg_keelson_cmd, "%s:%s(%d): GET_STATUS\n\r", unit, fn, __LINE__);
            copy_published_status(resp->data);
            break;
        case TRAPWATCH_CMD_STOP:
            tty_prnt(dbg_keelson_cmd, "%s:%s(%d): STOP\n\r", unit, fn, __LINE__);
            enable_send.store(0, std::memory_order_relaxed);
            break;
        case TRAPWATCH_CMD_START:
            enable_send.store(1, std::memory_order_relaxed);
            break;
        case TRAPWATCH_CMD_TERMINATE:
            tty_prnt(dbg_keelson_cmd, "%s:%s(%d): TERMINATE\n\r", unit, fn, __LINE__);
            // Returns after the pause, with the listening socket closed; the
            // reply goes out after it and the loop ends at its next test.
            clean_and_exit(0, 0, __LINE__);
            break;
        case TRAPWATCH_CMD_KEELSON_START:
            tty_prnt(dbg_keelson_cmd, "%s:%s(%d): KEELSON_START\n\r", unit, fn, __LINE__);
            keelson_started.store(1, std::memory_order_relaxed);
            break;
        case TRAPWATCH_CMD_DBG_OFF:
        case TRAPWATCH_CMD_DBG_INIT:
        case TRAPWATCH_CMD_DBG_PROC:
        case TRAPWATCH_CMD_DBG_MONITOR_CYCLE:
        case TRAPWATCH_CMD_DBG_KEELSON_CMD:
        case TRAPWATCH_CMD_DBG_MONITOR:
            set_debug_class(req.cmd, fn);
            break;
        case TRAPWATCH_CMD_DBG_SEG_FAULT:
            tty_prnt(dbg_keelson_cmd, "%s:%s(%d): TRAPWATCH_CMD_DBG_SEG_FAULT\n\r", unit, fn,
                     __LINE__);
            // On this thread; the handler ends the process.
            raise(SIGSEGV);
            break;
        case TRAPWATCH_CMD_GET_VER:
            tty_prnt(dbg_keelson_cmd, "%s:%s(%d): GET_VER\n\r", unit, fn, __LINE__);
            std::strncpy(reinterpret_cast<char *>(resp->data), trapwatch_version_number,
                         sizeof resp->data - 1);
            break;
        default:
            break;
    }
    resp->cmd = TW_OK;
    tty_prnt(dbg_init, "%s:%s(%d): exit\n\r", unit, fn, __LINE__);
}

void serve_request(const cmd_msg_t &req, cmd_msg_t *resp) {
    if (static_cast<uint32_t>(req.cmd) > trapwatch_cmd_last) {
        daemon_log(2, "%s(%d) unsupported command: %d\n\r", "p_cmd_loop", __LINE__, req.cmd);
        resp->cmd = TW_ERR_WRONG_PARAMS;
        return;
    }
    cmd_proccesing(req, resp);
}

int p_cmd_loop() {
    tty_prnt(dbg_init, "%s:%s(%d) enter\n\r", unit, "p_cmd_loop", __LINE__);
    sockaddr_un addr;
    const socklen_t addr_len = unix_address(trapwatch_sock_path, &addr);
    const auto *sa = reinterpret_cast<const sockaddr *>(&addr);

    char ebuf[errno_text_len];
    // Close-on-exec: the stop's pause shell must not inherit the socket.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        daemon_log(2, "%s(%d) open socket error: \"%s\"\n\r", "p_cmd_loop", __LINE__,
                   errno_text(errno, ebuf, sizeof ebuf));
        return TW_ERR_SOCKET_CREATE;
    }
    // Release: a stop run by a signal on another thread closes it.
    cmd_sock.store(fd, std::memory_order_release);
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        daemon_log(2, "%s(%d) setsockopt failed: \"%s\"\n\r", "p_cmd_loop", __LINE__,
                   errno_text(errno, ebuf, sizeof ebuf));
    }
    // A socket file left by an earlier run makes this bind fail; it is removed
    // then, never before, so that a running daemon's socket is not taken away.
    if (bind(fd, sa, addr_len) != 0) {
        daemon_log(2, "%s(%d) bind error: \"%s\"\n\r", "p_cmd_loop", __LINE__,
                   errno_text(errno, ebuf, sizeof ebuf));
        close_word(cmd_sock);
        unlink(trapwatch_sock_path);
        return TW_ERR_SOCKET_BIND;
    }
    // Whoever can connect can command the daemon, and the socket file is made
    // with 0777 less the umask the daemon inherits and keeps.  So other users
    // lose every access bit here, before listen lets anyone connect.
    struct stat st;
    if (stat(trapwatch_sock_path, &st) == 0) {
        chmod(trapwatch_sock_path, st.st_mode & 0770);
    }
    if (listen(fd, cmd_listen_backlog) != 0) {
        daemon_log(2, "%s(%d) listen error: \"%s\"\n\r", "p_cmd_loop", __LINE__,
                   errno_text(errno, ebuf, sizeof ebuf));
        close_word(cmd_sock);
        unlink(trapwatch_sock_path);
        return TW_ERR_FAILED;
    }

    while (stopping_flag.load(std::memory_order_relaxed) == 0) {
        int listen_fd = cmd_sock.load(std::memory_order_relaxed);
        if (listen_fd == 0) {
            continue;  // closed by a stop; stopping_flag is already set
        }
        int conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn <= 0) {
            continue;
        }
        serve_connection(conn);
    }

    close_word(cmd_sock);
    unlink(trapwatch_sock_path);
    tty_prnt(dbg_init, "%s(%d) exit\n\r", "p_cmd_loop", __LINE__);
    return TW_OK;
}
