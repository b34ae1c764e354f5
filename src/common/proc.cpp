#include "proc.h"

#include "log.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

enum {
    POLL_STEP_MS = 20,
    READ_CHUNK = 4096,
};

// Reads everything the pipe holds right now. Keeps what fits in out (leaving
// room for the terminator) and drops the rest so the child never blocks on a
// full pipe. Returns true once the writer side has been closed for good.
bool drain(int fd, char *out, size_t out_size, size_t *used) {
    char chunk[READ_CHUNK];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        size_t room = out_size - 1 - *used;
        size_t take = (size_t)n < room ? (size_t)n : room;
        if (take > 0) {
            memcpy(out + *used, chunk, take);
            *used += take;
        }
    }
}

} // namespace

int proc_spawn(const char *program, char *const argv[], pid_t *pid_out) {
    if (!program || !argv)
        return -1;
    pid_t pid;
    if (posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0)
        return -1;
    if (pid_out)
        *pid_out = pid;
    return 0;
}

int proc_run(const char *program, char *const argv[], char *out, size_t out_size,
             int time_limit_ms) {
    return proc_run_cancellable(program, argv, out, out_size, time_limit_ms, nullptr);
}

int proc_run_cancellable(const char *program, char *const argv[], char *out, size_t out_size,
                         int time_limit_ms, const volatile unsigned char *cancel) {
    if (!out || out_size < 2)
        return -1;
    out[0] = '\0';
    if (!program || !argv)
        return -1;

    // Close-on-exec so children started concurrently by other threads do not
    // hold our write end open.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    // dup2 clears close-on-exec on the copies, so 1 and 2 survive the exec.
    int rc = posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (rc == 0)
        rc = posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    // A pipe end that landed on 1 or 2 (closed standard streams) is already
    // replaced by the copies above and must not be closed again.
    if (rc == 0 && fds[0] != 1 && fds[0] != 2)
        rc = posix_spawn_file_actions_addclose(&actions, fds[0]);
    if (rc == 0 && fds[1] != 1 && fds[1] != 2)
        rc = posix_spawn_file_actions_addclose(&actions, fds[1]);
    pid_t pid = -1;
    if (rc == 0)
        rc = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return -1;
    }

    int rfd = fds[0];
    int flags = fcntl(rfd, F_GETFL);
    if (flags >= 0)
        fcntl(rfd, F_SETFL, flags | O_NONBLOCK);
    int64_t start = now_ms();
    size_t used = 0;
    bool eof = false;

    for (;;) {
        struct pollfd pfd = {rfd, POLLIN, 0};
        // After end of output there is nothing to watch; poll just sleeps.
        int ready = poll(&pfd, eof ? 0 : 1, POLL_STEP_MS);
        if (ready > 0 && !eof && (pfd.revents & (POLLIN | POLLHUP | POLLERR)))
            eof = drain(rfd, out, out_size, &used);

        int status = 0;
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            if (!eof)
                drain(rfd, out, out_size, &used);
            close(rfd);
            out[used] = '\0';
            return (status & ~0x80) == 0 ? 0 : -1;
        }
        if (w < 0 && errno != EINTR) {
            close(rfd);
            out[used] = '\0';
            return -1;
        }
        if (cancel && (__atomic_load_n(cancel, __ATOMIC_ACQUIRE) & 1u))
            break;
        if (now_ms() - start >= time_limit_ms)
            break;
    }

    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    close(rfd);
    out[used] = '\0';
    return -1;
}

int proc_spawn_stderr(const char *program, char *const argv[], int err_fd, pid_t *pid_out) {
    if (!program || !argv || err_fd < 0)
        return -1;
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    // dup2 clears close-on-exec on the copy; a descriptor that already is 2
    // has to lose it itself.
    int rc = err_fd == STDERR_FILENO
                 ? fcntl(err_fd, F_SETFD, 0)
                 : posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
    pid_t pid = 0;
    if (rc == 0)
        rc = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    if (pid_out)
        *pid_out = pid;
    return 0;
}
