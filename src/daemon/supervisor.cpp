#include "supervisor.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <unistd.h>
#include <sys/wait.h>
#ifdef __FreeBSD__
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

#include "ipc.h"
#include "json.h"
#include "log.h"
#include "paths.h"
#include "proc.h"

namespace {

void sleep_ms(int ms) {
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

// Logs the renderer's exit and forgets it.
void forget_exited(supervisor *sup, int status) {
    log_warn("kiv-render pid=%d exited status=%d", (int)sup->pid, status);
    sup->pid = 0;
}

// A WNOHANG look at the recorded renderer: 1 gone (logged and forgotten),
// 0 still running, -1 the wait failed otherwise.
int check_exited(supervisor *sup) {
    int status = 0;
    pid_t r = waitpid(sup->pid, &status, WNOHANG);
    if (r == sup->pid) {
        forget_exited(sup, status);
        return 1;
    }
    if (r < 0 && errno == ECHILD) {
        forget_exited(sup, 0);
        return 1;
    }
    return r < 0 ? -1 : 0;
}

// SIGTERM, a second of grace, then SIGKILL. Leaves the start throttle alone.
void stop_process(supervisor *sup) {
    if (sup->pid <= 0)
        return;
    kill(sup->pid, SIGTERM);
    for (int i = 0; i < SUPERVISOR_STOP_CHECKS; i++) {
        int status = 0;
        pid_t r = waitpid(sup->pid, &status, WNOHANG);
        if (r == sup->pid || (r < 0 && errno == ECHILD)) {
            sup->pid = 0;
            return;
        }
        sleep_ms(SUPERVISOR_POLL_STEP_MS);
    }
    kill(sup->pid, SIGKILL);
    int status = 0;
    while (waitpid(sup->pid, &status, 0) < 0 && errno == EINTR) {
    }
    sup->pid = 0;
}

bool executable(const char *path) {
    return access(path, X_OK) == 0;
}

int spawn(supervisor *sup, const char *program) {
    char *argv[] = {const_cast<char *>(program), const_cast<char *>("--socket"), sup->render_socket,
                    nullptr};
    pid_t pid = 0;
    if (proc_spawn(program, argv, &pid) != 0)
        return -1;
    sup->pid = pid;
    return 0;
}

// Beside the daemon, then in the sibling render/ directory, then along PATH.
int spawn_renderer(supervisor *sup) {
    char dir[1024];
    char candidate[2048];
    if (supervisor_own_dir(dir, sizeof dir) == 0) {
        snprintf(candidate, sizeof candidate, "%s/kiv-render", dir);
        if (executable(candidate)) {
            if (spawn(sup, candidate) != 0) {
                log_error("failed to spawn kiv-render");
                return -1;
            }
            return 0;
        }
        char *slash = strrchr(dir, '/');
        if (slash) {
            *slash = '\0';
            snprintf(candidate, sizeof candidate, "%s/render/kiv-render", dir);
            if (executable(candidate) && spawn(sup, candidate) == 0)
                return 0;
        }
    }
    if (spawn(sup, "kiv-render") != 0) {
        log_error("failed to spawn kiv-render");
        return -1;
    }
    return 0;
}

int fixed_command(supervisor *sup, const char *req) {
    char reply[RENDER_SHORT_REPLY_SIZE];
    if (render_request(sup, req, reply, sizeof reply) != 0)
        return -1;
    return json_reply_is_ok(reply) ? 0 : -1;
}

} // namespace

int supervisor_own_dir(char *buf, size_t size) {
    char exe[1024];
#ifdef __FreeBSD__
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
    size_t len = sizeof exe - 1;
    if (sysctl(mib, 4, exe, &len, nullptr, 0) != 0)
        return -1;
    exe[sizeof exe - 1] = '\0';
#else
    ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (len <= 0 || (size_t)len >= sizeof exe - 1)
        return -1;
    exe[len] = '\0';
#endif
    char *slash = strrchr(exe, '/');
    if (exe[0] == '\0' || !slash)
        return -1;
    *slash = '\0';
    int n = snprintf(buf, size, "%s", exe);
    if (n < 0 || (size_t)n >= size)
        return -1;
    return 0;
}

supervisor *supervisor_create(const char *daemon_socket_path) {
    char path[4096];
    int r = daemon_socket_path ? path_sibling(daemon_socket_path, "render.sock", path, sizeof path)
                               : path_render_socket(path, sizeof path);
    if (r != 0)
        return nullptr;
    auto *sup = static_cast<supervisor *>(calloc(1, sizeof(supervisor)));
    if (!sup) {
        log_error("out of memory");
        return nullptr;
    }
    memcpy(sup->render_socket, path, sizeof path);
    return sup;
}

void supervisor_destroy(supervisor *sup) {
    if (!sup)
        return;
    renderer_stop(sup);
    free(sup);
}

int renderer_start(supervisor *sup) {
    if (!sup)
        return -1;
    if (sup->pid > 0) {
        int r = check_exited(sup);
        if (r == 0)
            return 0;
        if (r < 0)
            return -1;
    }
    int64_t now = now_ms();
    if (sup->next_start_allowed != 0 && now < sup->next_start_allowed)
        return -1;
    sup->next_start_allowed = now + SUPERVISOR_START_THROTTLE_MS;

    if (spawn_renderer(sup) != 0)
        return -1;
    sup->start_count++;
    log_info("kiv-render spawned pid=%d (restart #%d)", (int)sup->pid, sup->start_count);

    int64_t give_up = now_ms() + SUPERVISOR_SOCKET_WAIT_MS;
    for (;;) {
        int status = 0;
        if (waitpid(sup->pid, &status, WNOHANG) == sup->pid) {
            // Collected here, so say it here: no later check can see it.
            forget_exited(sup, status);
            return -1;
        }
        int fd = ipc_connect(sup->render_socket);
        if (fd >= 0) {
            close(fd);
            return 0;
        }
        if (now_ms() >= give_up)
            break;
        sleep_ms(SUPERVISOR_POLL_STEP_MS);
    }
    log_error("kiv-render socket never appeared");
    stop_process(sup);
    return -1;
}

void renderer_stop(supervisor *sup) {
    if (!sup)
        return;
    sup->next_start_allowed = 0;
    stop_process(sup);
}

bool renderer_alive(supervisor *sup) {
    if (!sup || sup->pid <= 0)
        return false;
    return check_exited(sup) != 1;
}

void renderer_reap(supervisor *sup) {
    (void)renderer_alive(sup);
}

int render_request(supervisor *sup, const char *req, char *reply, size_t size) {
    if (!req)
        return -1;
    if (reply && size > 0)
        reply[0] = '\0';
    if (!sup || sup->pid <= 0)
        return -1;
    if (check_exited(sup) == 1)
        return -1;
    int fd = ipc_connect(sup->render_socket);
    if (fd < 0)
        return -1;
    (void)ipc_set_timeouts(fd, SUPERVISOR_REQUEST_TIMEOUT_MS);
    if (ipc_send_line(fd, req) != 0) {
        close(fd);
        return -1;
    }
    if (!reply) {
        close(fd);
        return 0;
    }
    int r = ipc_recv_line(fd, reply, size, SUPERVISOR_REQUEST_TIMEOUT_MS);
    close(fd);
    return r == 0 ? 0 : -1;
}

int render_load(supervisor *sup, const char *path, const char *kind, const char *from) {
    json_text_ptr qpath(json_quote(path));
    json_text_ptr qkind(json_quote(kind));
    bool with_from = from && from[0];
    json_text_ptr qfrom(with_from ? json_quote(from) : nullptr);
    if (!qpath || !qkind || (with_from && !qfrom))
        return -1;

    // Quoting can grow a path several times over, so size the request to fit.
    size_t size =
        strlen(qpath.get()) + strlen(qkind.get()) + (with_from ? strlen(qfrom.get()) : 0) + 64;
    json_text_ptr req(static_cast<char *>(malloc(size)));
    if (!req)
        return -1;
    int n =
        with_from
            ? snprintf(req.get(), size, "{\"cmd\":\"load\",\"path\":%s,\"kind\":%s,\"from\":%s}",
                       qpath.get(), qkind.get(), qfrom.get())
            : snprintf(req.get(), size, "{\"cmd\":\"load\",\"path\":%s,\"kind\":%s,\"async\":true}",
                       qpath.get(), qkind.get());
    if (n < 0 || (size_t)n >= size)
        return -1;

    char reply[RENDER_REPLY_SIZE];
    if (render_request(sup, req.get(), reply, sizeof reply) != 0)
        return -1;
    if (json_reply_is_ok(reply))
        return 0;
    log_error("renderer load rejected: %s", reply);
    return -1;
}

int render_pause(supervisor *sup) {
    return fixed_command(sup, "{\"cmd\":\"pause\"}");
}

int render_resume(supervisor *sup) {
    return fixed_command(sup, "{\"cmd\":\"resume\"}");
}

int render_feed(supervisor *sup) {
    return fixed_command(sup, "{\"cmd\":\"feed\"}");
}

int render_feed_stop(supervisor *sup) {
    return fixed_command(sup, "{\"cmd\":\"feed-stop\"}");
}

int render_fade(supervisor *sup, int ms) {
    char req[128];
    snprintf(req, sizeof req, "{\"cmd\":\"fade\",\"ms\":%d}", ms);
    return fixed_command(sup, req);
}

int render_volume(supervisor *sup, int percent) {
    char req[128];
    snprintf(req, sizeof req, "{\"cmd\":\"volume\",\"level\":%d}", percent);
    return fixed_command(sup, req);
}
