// Process 1 of the board image.  Gives the image its console and /dev, runs
// the image's script (/etc/board/rc) and reaps every process that ends
// orphaned: the daemon is one once its launching process has gone, so its
// exit status reaches no shell.  Each such end is appended to /run/reaped as
// "PID exit STATUS" or "PID signal NUMBER" for the script to read.  When the
// script ends, the board resets, which ends qemu (-no-reboot): the image's
// power-off.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main() {
    mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
    const int console = open("/dev/console", O_RDWR);
    for (int fd = 0; console >= 0 && fd < 3; ++fd) {
        dup2(console, fd);
    }
    const pid_t script = fork();
    if (script == 0) {
        execl("/bin/sh", "sh", "/etc/board/rc", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (;;) {
        int st = 0;
        const pid_t pid = waitpid(-1, &st, 0);
        if (pid < 0 && errno == EINTR) {
            continue;
        }
        if (pid < 0 || pid == script) {
            break;
        }
        const int log = open("/run/reaped", O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (log >= 0) {
            dprintf(log, "%d %s %d\n", pid, WIFEXITED(st) ? "exit" : "signal",
                    WIFEXITED(st) ? WEXITSTATUS(st) : WTERMSIG(st));
            close(log);
        }
    }
    sync();
    reboot(RB_AUTOBOOT);
    for (;;) {
        pause();
    }
}
