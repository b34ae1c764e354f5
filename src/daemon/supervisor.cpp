#include "supervisor.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __FreeBSD__
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

#include "config.h"
#include "ipc.h"
#include "json.h"
#include "log.h"
#include "paths.h"
#include "proc.h"

namespace {

void daemon_copy(char *out, size_t size, const char *text) {
    snprintf(out, size, "%s", text);
}

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
        // What it said before it went is in the pipe by now.
        renderer_read_log(sup);
        if (sup->starting) {
            sup->starting = false;
            if (sup->last_error[0])
                daemon_copy(sup->error, sizeof sup->error, sup->last_error);
            else
                snprintf(sup->error, sizeof sup->error,
                         "kiv-render exited with status %d before it listened", status);
        }
        forget_exited(sup, status);
        return 1;
    }
    if (r < 0 && errno == ECHILD) {
        sup->starting = false;
        forget_exited(sup, 0);
        return 1;
    }
    return r < 0 ? -1 : 0;
}

// SIGTERM, a second of grace, then SIGKILL. Leaves the start throttle alone.
void stop_process(supervisor *sup) {
    sup->starting = false;
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

void close_log(supervisor *sup) {
    if (sup->log_fd >= 0)
        close(sup->log_fd);
    sup->log_fd = -1;
    sup->log_len = 0;
}

// Starts program with its standard error into a fresh pipe the daemon reads.
int spawn(supervisor *sup, const char *program) {
    char *argv[] = {const_cast<char *>(program), const_cast<char *>("--socket"), sup->render_socket,
                    nullptr};
    // Non-blocking at both ends: a daemon slow to read costs the renderer
    // log lines, never a stall.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    pid_t pid = 0;
    int r = proc_spawn_stderr(program, argv, fds[1], &pid);
    close(fds[1]);
    if (r != 0) {
        close(fds[0]);
        return -1;
    }
    // The previous renderer's last words are read before its pipe goes.
    renderer_read_log(sup);
    close_log(sup);
    sup->log_fd = fds[0];
    sup->last_error[0] = '\0';
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

// A started renderer: listening (0), not yet (1), or gone (-1).
int start_progress(supervisor *sup) {
    if (check_exited(sup) == 1)
        return -1;
    int fd = ipc_connect_nowait(sup->render_socket);
    if (fd >= 0) {
        close(fd);
        sup->starting = false;
        sup->error[0] = '\0';
        return 0;
    }
    if (now_ms() < sup->start_deadline)
        return 1;
    log_error("kiv-render socket never appeared");
    daemon_copy(sup->error, sizeof sup->error,
                sup->last_error[0] ? sup->last_error : "kiv-render socket never appeared");
    stop_process(sup);
    return -1;
}

// Sends the whole request on a fresh non-blocking connection; the socket,
// or -1.
int send_request(supervisor *sup, const char *req) {
    int fd = ipc_connect_nowait(sup->render_socket);
    if (fd < 0)
        return -1;
    size_t len = strlen(req);
    char line[RENDER_REQUEST_SIZE + 1];
    memcpy(line, req, len);
    line[len] = '\n';
    // The socket's buffer takes a request whole; a renderer that has not
    // read its earlier ones does not get this one either.
    ssize_t sent = send(fd, line, len + 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent != (ssize_t)(len + 1)) {
        close(fd);
        return -1;
    }
    return fd;
}

void end_exchange(supervisor *sup) {
    if (sup->fd >= 0)
        close(sup->fd);
    sup->fd = -1;
}

// Reads what the exchange in flight has; true once it is over (a line, or
// the connection failed or ran out of time).
bool exchange_over(supervisor *sup, bool *answered) {
    *answered = false;
    for (;;) {
        size_t room = sizeof sup->reply - 1 - sup->reply_len;
        if (room == 0)
            return true; // longer than any reply read here
        ssize_t n = recv(sup->fd, sup->reply + sup->reply_len, room, MSG_DONTWAIT);
        if (n > 0) {
            sup->reply_len += (size_t)n;
            sup->reply[sup->reply_len] = '\0';
            char *lf = strchr(sup->reply, '\n');
            if (lf) {
                *lf = '\0';
                *answered = true;
                return true;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return now_ms() >= sup->deadline;
        return true;
    }
}

// Puts req in flight for its answer, or queues it behind the one in flight.
int begin_exchange(supervisor *sup, const render_queued *req) {
    int fd = send_request(sup, req->text);
    if (fd < 0)
        return -1;
    if (!req->wants_reply) {
        close(fd);
        return 0;
    }
    sup->fd = fd;
    if (&sup->current != req)
        sup->current = *req;
    sup->deadline = now_ms() + SUPERVISOR_REQUEST_TIMEOUT_MS;
    sup->reply_len = 0;
    sup->reply[0] = '\0';
    return 1;
}

bool queued_already(const supervisor *sup, int tag, const char *req) {
    // Each render-status command waits for an answer of its own.
    if (tag == RENDER_TAG_STATUS_COMMAND)
        return false;
    if (sup->fd >= 0 && sup->current.tag == tag && strcmp(sup->current.text, req) == 0)
        return true;
    for (int i = 0; i < sup->queue_count; i++) {
        const render_queued &q = sup->queue[(sup->queue_head + i) % RENDER_QUEUE_SIZE];
        if (q.tag == tag && strcmp(q.text, req) == 0)
            return true;
    }
    return false;
}

int fixed_command(supervisor *sup, const char *req, int tag) {
    char reply[RENDER_SHORT_REPLY_SIZE];
    int r = render_call(sup, req, tag, reply, sizeof reply);
    if (r == RENDER_LATER)
        return 1;
    return r == RENDER_ANSWERED && json_reply_is_ok(reply) ? 0 : -1;
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
    sup->log_fd = -1;
    sup->fd = -1;
    return sup;
}

void supervisor_destroy(supervisor *sup) {
    if (!sup)
        return;
    renderer_stop(sup);
    renderer_read_log(sup);
    close_log(sup);
    free(sup);
}

int renderer_start(supervisor *sup) {
    if (!sup)
        return -1;
    if (sup->pid > 0) {
        if (sup->starting)
            return start_progress(sup);
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

    if (spawn_renderer(sup) != 0) {
        daemon_copy(sup->error, sizeof sup->error, "failed to spawn kiv-render");
        return -1;
    }
    sup->start_count++;
    log_info("kiv-render spawned pid=%d (restart #%d)", (int)sup->pid, sup->start_count);
    sup->starting = true;
    sup->start_deadline = now_ms() + SUPERVISOR_SOCKET_WAIT_MS;
    return start_progress(sup);
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

const char *renderer_error(const supervisor *sup) {
    return sup ? sup->error : "";
}

int renderer_log_fd(const supervisor *sup) {
    return sup ? sup->log_fd : -1;
}

void renderer_read_log(supervisor *sup) {
    if (!sup || sup->log_fd < 0)
        return;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(sup->log_fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0) {
            // Every writer is gone: the renderer and whatever it started.
            close_log(sup);
            return;
        }
        if (n < 0)
            return;
        // Passed on as it came, so the daemon's log shows it as before.
        ssize_t w = write(STDERR_FILENO, chunk, (size_t)n);
        (void)w;
        for (ssize_t i = 0; i < n; i++) {
            char c = chunk[i];
            if (c != '\n') {
                if (sup->log_len < sizeof sup->log_part - 1)
                    sup->log_part[sup->log_len++] = c;
                continue;
            }
            sup->log_part[sup->log_len] = '\0';
            char message[RENDER_ERROR_SIZE];
            supervisor_error_of_line(sup->log_part, message, sizeof message);
            // The first says why; later ones follow from it.
            if (message[0] && !sup->last_error[0])
                daemon_copy(sup->last_error, sizeof sup->last_error, message);
            sup->log_len = 0;
        }
    }
}

void supervisor_error_of_line(const char *line, char *out, size_t size) {
    out[0] = '\0';
    // "HH:MM:SS.mmm kiv-render[PID] ERROR file:line: message"
    const char *level = strstr(line, "] ERROR ");
    if (!level || !strstr(line, "kiv-render["))
        return;
    const char *message = strstr(level + strlen("] ERROR "), ": ");
    if (message)
        daemon_copy(out, size, message + 2);
}

int render_call(supervisor *sup, const char *req, int tag, char *reply, size_t size) {
    if (!req)
        return RENDER_FAILED;
    if (reply && size > 0)
        reply[0] = '\0';
    if (!sup || sup->pid <= 0 || sup->starting || strlen(req) >= RENDER_REQUEST_SIZE)
        return RENDER_FAILED;
    if (check_exited(sup) == 1)
        return RENDER_FAILED;
    bool wants_reply = reply != nullptr || tag != RENDER_TAG_NONE;
    if (sup->fd >= 0 || sup->queue_count > 0) {
        // Behind the one in flight, in the order asked; asked again while it
        // waits, it waits once.
        if (queued_already(sup, tag, req))
            return wants_reply ? RENDER_LATER : RENDER_ANSWERED;
        if (sup->queue_count == RENDER_QUEUE_SIZE)
            return RENDER_FAILED;
        render_queued &q = sup->queue[(sup->queue_head + sup->queue_count) % RENDER_QUEUE_SIZE];
        q.tag = tag;
        q.wants_reply = wants_reply;
        q.pid = sup->pid;
        daemon_copy(q.text, sizeof q.text, req);
        sup->queue_count++;
        return wants_reply ? RENDER_LATER : RENDER_ANSWERED;
    }
    sup->current.tag = tag;
    sup->current.wants_reply = wants_reply;
    sup->current.pid = sup->pid;
    daemon_copy(sup->current.text, sizeof sup->current.text, req);
    int r = begin_exchange(sup, &sup->current);
    if (r <= 0)
        return r == 0 ? RENDER_ANSWERED : RENDER_FAILED;

    // A healthy renderer answers at once; one that does not costs the loop
    // no more than this, and its answer is handed back later.
    int64_t give_up = now_ms() + SUPERVISOR_QUICK_ANSWER_MS;
    for (;;) {
        bool answered = false;
        if (exchange_over(sup, &answered)) {
            end_exchange(sup);
            if (!answered)
                return RENDER_FAILED;
            if (reply && size > 0)
                daemon_copy(reply, size, sup->reply);
            if (reply && strlen(sup->reply) >= size)
                return RENDER_FAILED;
            return RENDER_ANSWERED;
        }
        int64_t left = give_up - now_ms();
        if (left <= 0)
            return RENDER_LATER;
        pollfd entry = {sup->fd, POLLIN, 0};
        (void)poll(&entry, 1, (int)left);
    }
}

int render_request(supervisor *sup, const char *req, char *reply, size_t size) {
    return render_call(sup, req, RENDER_TAG_NONE, reply, size) == RENDER_ANSWERED ? 0 : -1;
}

int render_fd(const supervisor *sup) {
    return sup ? sup->fd : -1;
}

bool render_busy(const supervisor *sup) {
    return sup && (sup->fd >= 0 || sup->queue_count > 0);
}

bool render_take(supervisor *sup, render_answer *out) {
    if (!sup)
        return false;
    for (;;) {
        if (sup->fd >= 0) {
            bool answered = false;
            if (!exchange_over(sup, &answered))
                return false;
            end_exchange(sup);
            if (sup->current.tag == RENDER_TAG_NONE)
                continue;
            *out = {sup->current.tag, answered, answered ? sup->reply : ""};
            return true;
        }
        if (sup->queue_count == 0)
            return false;
        sup->current = sup->queue[sup->queue_head];
        sup->queue_head = (sup->queue_head + 1) % RENDER_QUEUE_SIZE;
        sup->queue_count--;
        // Meant for a renderer that is gone, or it cannot be sent: failed.
        bool same = sup->current.pid == sup->pid && sup->pid > 0 && !sup->starting;
        int r = same ? begin_exchange(sup, &sup->current) : -1;
        if (r < 0 && sup->current.tag != RENDER_TAG_NONE) {
            *out = {sup->current.tag, false, ""};
            return true;
        }
    }
}

int render_load_request(const char *path, const char *kind, const char *from, bool seamless,
                        char *out, size_t size) {
    json_text_ptr qpath(json_quote(path));
    json_text_ptr qkind(json_quote(kind));
    bool with_from = from && from[0];
    json_text_ptr qfrom(with_from ? json_quote(from) : nullptr);
    if (!qpath || !qkind || (with_from && !qfrom))
        return -1;
    int n =
        with_from ? snprintf(out, size, "{\"cmd\":\"load\",\"path\":%s,\"kind\":%s,\"from\":%s}",
                             qpath.get(), qkind.get(), qfrom.get())
        : seamless
            ? snprintf(out, size, "{\"cmd\":\"load\",\"path\":%s,\"kind\":%s,\"seamless\":true}",
                       qpath.get(), qkind.get())
            : snprintf(out, size, "{\"cmd\":\"load\",\"path\":%s,\"kind\":%s,\"async\":true}",
                       qpath.get(), qkind.get());
    return n < 0 || (size_t)n >= size ? -1 : 0;
}

int render_load_verdict(const char *reply) {
    if (json_reply_is_ok(reply))
        return 0;
    log_error("renderer load rejected: %s", reply);
    return -1;
}

int render_load(supervisor *sup, const char *path, const char *kind, const char *from,
                bool seamless) {
    static char req[RENDER_REQUEST_SIZE];
    if (render_load_request(path, kind, from, seamless, req, sizeof req) != 0)
        return -1;
    char reply[RENDER_REPLY_SIZE];
    int r = render_call(sup, req, RENDER_TAG_LOAD, reply, sizeof reply);
    if (r == RENDER_LATER)
        return 1;
    if (r != RENDER_ANSWERED)
        return -1;
    return render_load_verdict(reply);
}

int render_pause(supervisor *sup) {
    return fixed_command(sup, "{\"cmd\":\"pause\"}", RENDER_TAG_PAUSE);
}

int render_resume(supervisor *sup) {
    return fixed_command(sup, "{\"cmd\":\"resume\"}", RENDER_TAG_RESUME);
}

int render_feed(supervisor *sup) {
    return fixed_command(sup, "{\"cmd\":\"feed\"}", RENDER_TAG_FEED);
}

int render_feed_stop(supervisor *sup) {
    return fixed_command(sup, "{\"cmd\":\"feed-stop\"}", RENDER_TAG_NONE);
}

int render_fade(supervisor *sup, int ms) {
    char req[128];
    snprintf(req, sizeof req, "{\"cmd\":\"fade\",\"ms\":%d}", ms);
    return fixed_command(sup, req, RENDER_TAG_NONE);
}

int render_volume(supervisor *sup, int percent) {
    char req[128];
    snprintf(req, sizeof req, "{\"cmd\":\"volume\",\"level\":%d}", percent);
    return fixed_command(sup, req, RENDER_TAG_NONE);
}

int render_fit(supervisor *sup, const config *cfg) {
    if (!cfg)
        return -1;
    json_text_ptr outputs(config_fit_outputs_json(cfg));
    if (!outputs)
        return -1;
    char color[8];
    color_text(cfg->background_color, color, sizeof color);
    char req[RENDER_REQUEST_SIZE];
    int n = snprintf(req, sizeof req,
                     "{\"cmd\":\"fit\",\"fit\":\"%s\",\"background_color\":\"%s\",\"outputs\":%s}",
                     fit_mode_word(cfg->fit), color, outputs.get());
    if (n < 0 || (size_t)n >= sizeof req)
        return -1;
    return fixed_command(sup, req, RENDER_TAG_NONE);
}
