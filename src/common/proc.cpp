#include "proc.h"

#include "log.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __FreeBSD__
#include <sys/procctl.h>
#else
#include <sys/prctl.h>
#endif

extern char **environ;

namespace {

enum {
    POLL_STEP_MS = 20,
    READ_CHUNK = 4096,
    PROGRAM_PATH_SIZE = 4096,
    EXEC_FAILED = 127,
};

// Where a bare program name is found along PATH (the system's default
// search path when PATH is unset), the way posix_spawnp looks. A name with
// a slash is taken as it is. False when nothing executable is found or the
// path does not fit.
bool find_program(const char *program, char *out, size_t size) {
    if (strchr(program, '/')) {
        int n = snprintf(out, size, "%s", program);
        return n >= 0 && (size_t)n < size;
    }
    const char *path = getenv("PATH");
    if (!path)
        path = "/bin:/usr/bin";
    for (const char *dir = path;; dir++) {
        const char *end = strchrnul(dir, ':');
        int len = (int)(end - dir);
        // An empty entry names the working directory.
        int n = len > 0 ? snprintf(out, size, "%.*s/%s", len, dir, program)
                        : snprintf(out, size, "%s", program);
        struct stat st;
        if (n >= 0 && (size_t)n < size && stat(out, &st) == 0 && S_ISREG(st.st_mode) &&
            access(out, X_OK) == 0)
            return true;
        if (!*end)
            return false;
        dir = end;
    }
}

// In the child, before exec: the kernel kills it when its parent ends, so a
// daemon killed outright leaves no ffmpeg behind. On Linux "parent" is the
// thread that forked, which waits for the child until it has ended. A parent
// gone before the request took effect is caught by the check after it.
void die_with_parent(pid_t parent) {
    proc_signal_on_parent_exit(SIGKILL);
    if (getppid() != parent)
        _exit(EXEC_FAILED);
}

// Only async-signal-safe calls: the caller may have other threads. The
// handlers of the parent would write into its self-pipes, so every caught
// signal goes back to its default before the mask is restored.
[[noreturn]] void exec_child(const char *path, char *const argv[], int read_end, int write_end,
                             pid_t parent, const sigset_t *mask) {
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction sa;
        if (sigaction(sig, nullptr, &sa) == 0 && sa.sa_handler != SIG_IGN &&
            sa.sa_handler != SIG_DFL) {
            sa.sa_handler = SIG_DFL;
            sa.sa_flags = 0;
            sigaction(sig, &sa, nullptr);
        }
    }
    if (dup2(write_end, 1) < 0 || dup2(write_end, 2) < 0)
        _exit(EXEC_FAILED);
    // dup2 onto itself keeps close-on-exec; the copies must survive exec.
    fcntl(1, F_SETFD, 0);
    fcntl(2, F_SETFD, 0);
    // A pipe end that landed on 1 or 2 (closed standard streams) is already
    // replaced by the copies above and must not be closed.
    if (read_end != 1 && read_end != 2)
        close(read_end);
    if (write_end != 1 && write_end != 2)
        close(write_end);
    die_with_parent(parent);
    sigprocmask(SIG_SETMASK, mask, nullptr);
    execve(path, argv, environ);
    _exit(EXEC_FAILED);
}

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

void proc_signal_on_parent_exit(int sig) {
#ifdef __FreeBSD__
    procctl(P_PID, 0, PROC_PDEATHSIG_CTL, &sig);
#else
    prctl(PR_SET_PDEATHSIG, sig);
#endif
}

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

    char path[PROGRAM_PATH_SIZE];
    if (!find_program(program, path, sizeof path))
        return -1;

    // Close-on-exec so children started concurrently by other threads do not
    // hold our write end open.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;

    // Signals stay blocked from the fork until the child has reset them.
    sigset_t all, mask;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &mask);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0)
        exec_child(path, argv, fds[0], fds[1], parent, &mask);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    close(fds[1]);
    if (pid < 0) {
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
