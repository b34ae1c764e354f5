// Hyprland monitor: keeps the compositor's event socket open, fetches the
// clients and monitors lists when something relevant happens (and every two
// seconds), and turns them into the four visibility flags the policy reads.
#include "hypr.h"

#include "drm.h"
#include "ipc.h"
#include "log.h"
#include "media.h"
#include "occupancy.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include "json.h"

namespace {

constexpr size_t HYPR_DIR_SIZE = 1024;
constexpr size_t HYPR_COVERED_SIZE = 1024;
constexpr int HYPR_TIMEOUT_MS = 250;
constexpr size_t HYPR_RECV_CHUNK = 16384;
constexpr size_t HYPR_REPLY_MAX = 4194304;
// Instance directories tried per connection attempt, best first; dead ones
// pile up over a session, the live one ranks near the top.
constexpr size_t HYPR_CANDIDATES = 16;

struct fd_closer {
    int fd;
    ~fd_closer() {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

struct hypr_monitor {
    char instance_dir[HYPR_DIR_SIZE];
    int event_fd;
    char event_buf[HYPR_EVENT_BUFFER + 1];
    uint64_t event_len;
    char *clients_text;
    char *monitors_text;
    bool fullscreen;
    bool occupied;
    bool monitors_off;
    bool locked;
    bool lock_answer; // the last answer to j/locked
    int32_t monitor_count;
    char covered_outputs[HYPR_COVERED_SIZE];
};

namespace {

// Formats into buf and refuses a result that did not fit.
bool format_path(char *buf, size_t size, const char *dir, const char *name) {
    int n = snprintf(buf, size, "%s/%s", dir, name);
    return n >= 0 && static_cast<size_t>(n) < size;
}

bool has_file(const char *dir, const char *name) {
    char path[HYPR_DIR_SIZE + 32];
    struct stat st;
    return format_path(path, sizeof path, dir, name) && stat(path, &st) == 0;
}

bool has_event_socket(const char *dir) {
    return has_file(dir, ".socket2.sock");
}

struct instance_candidate {
    char dir[HYPR_DIR_SIZE]; // as large as hypr_monitor's instance_dir
    bool running;            // hyprland.lock exists
    time_t mtime;
};

// A running instance before one without its lock file, then the newest. An
// instance that exits leaves its directory and sockets behind, and removing
// its lock file makes that directory the newest.
bool ranks_before(const instance_candidate &a, const instance_candidate &b) {
    if (a.running != b.running)
        return a.running;
    return a.mtime > b.mtime;
}

// The directories under runtime/hypr holding an event socket, other than skip
// (may be null), best first; equal ones keep the order they were met in.
// Keeps the best max; answers how many it wrote.
size_t hypr_find_instances(const char *runtime, const char *skip, instance_candidate *out,
                           size_t max) {
    char base[HYPR_DIR_SIZE];
    if (!format_path(base, sizeof base, runtime, "hypr"))
        return 0;
    DIR *d = opendir(base);
    if (!d)
        return 0;
    size_t count = 0;
    while (struct dirent *entry = readdir(d)) {
        if (entry->d_name[0] == '.')
            continue;
        instance_candidate c;
        if (!format_path(c.dir, sizeof c.dir, base, entry->d_name))
            continue;
        struct stat st;
        if ((skip && strcmp(c.dir, skip) == 0) || stat(c.dir, &st) != 0 || !S_ISDIR(st.st_mode) ||
            !has_event_socket(c.dir))
            continue;
        c.running = has_file(c.dir, "hyprland.lock");
        c.mtime = st.st_mtime;
        size_t pos = 0;
        while (pos < count && !ranks_before(c, out[pos]))
            pos++;
        if (pos == max)
            continue;
        size_t kept = count < max ? count : max - 1;
        memmove(out + pos + 1, out + pos, (kept - pos) * sizeof *out);
        out[pos] = c;
        if (count < max)
            count++;
    }
    closedir(d);
    return count;
}

// The event socket of dir, connected and set up, or -1.
int connect_events(const char *dir) {
    char path[HYPR_DIR_SIZE + 32];
    if (!format_path(path, sizeof path, dir, ".socket2.sock"))
        return -1;
    int fd = ipc_connect(path);
    if (fd < 0)
        return -1;
    int flags = fcntl(fd, F_GETFL);
    if (ipc_set_timeouts(fd, HYPR_TIMEOUT_MS) != 0 || flags < 0 ||
        fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void hypr_connect(hypr_monitor *m) {
    if (m->event_fd >= 0)
        return;
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    const char *signature = getenv("HYPRLAND_INSTANCE_SIGNATURE");
    m->instance_dir[0] = '\0';
    if (!runtime || !*runtime)
        return;

    int fd = -1;
    bool named = false;
    if (signature && *signature) {
        int n = snprintf(m->instance_dir, sizeof m->instance_dir, "%s/hypr/%s", runtime, signature);
        if (n < 0 || static_cast<size_t>(n) >= sizeof m->instance_dir)
            m->instance_dir[0] = '\0';
        else
            named = has_event_socket(m->instance_dir);
        if (named)
            fd = connect_events(m->instance_dir);
    }
    // A compositor that exited or crashed leaves its sockets behind, and a
    // restarted one runs under a new signature: when the named instance does
    // not answer, the others are tried, best first, until one accepts.
    if (fd < 0) {
        instance_candidate found[HYPR_CANDIDATES];
        size_t n =
            hypr_find_instances(runtime, named ? m->instance_dir : nullptr, found, HYPR_CANDIDATES);
        for (size_t i = 0; i < n && fd < 0; i++) {
            fd = connect_events(found[i].dir);
            if (fd >= 0)
                memcpy(m->instance_dir, found[i].dir, sizeof m->instance_dir);
        }
    }
    if (fd < 0)
        return;
    m->event_fd = fd;
    m->event_len = 0;
    log_info("hyprland connected at %s", m->instance_dir);
}

// One request over the request socket: the whole reply, zero-terminated, and
// its length. Failures are not logged: the compositor may simply be gone, and
// the next tick asks again.
bool hypr_request(hypr_monitor *m, const char *name, json_text_ptr *out, size_t *out_len) {
    if (!m->instance_dir[0])
        return false;
    char path[HYPR_DIR_SIZE + 32];
    if (!format_path(path, sizeof path, m->instance_dir, ".socket.sock"))
        return false;
    fd_closer conn{ipc_connect(path)};
    if (conn.fd < 0 || ipc_set_timeouts(conn.fd, HYPR_TIMEOUT_MS) != 0)
        return false;

    char command[64];
    int len = snprintf(command, sizeof command, "j/%s", name);
    if (len < 0 || static_cast<size_t>(len) >= sizeof command)
        return false;
    ssize_t sent;
    do {
        sent = send(conn.fd, command, static_cast<size_t>(len), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != len)
        return false;

    json_text_ptr reply;
    size_t total = 0;
    size_t capacity = 0;
    for (;;) {
        if (capacity - total < HYPR_RECV_CHUNK + 1) {
            size_t grown = capacity ? capacity * 2 : HYPR_RECV_CHUNK * 2;
            char *bigger = static_cast<char *>(realloc(reply.get(), grown));
            if (!bigger)
                return false;
            reply.release();
            reply.reset(bigger);
            capacity = grown;
        }
        ssize_t got = recv(conn.fd, reply.get() + total, HYPR_RECV_CHUNK, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            break;
        total += static_cast<size_t>(got);
        if (total > HYPR_REPLY_MAX)
            return false;
    }
    if (total == 0)
        return false;
    reply.get()[total] = '\0';
    *out = std::move(reply);
    *out_len = total;
    return true;
}

// A list request; a reply that is a JSON array replaces *slot, anything else
// leaves the stored text alone.
bool hypr_query(hypr_monitor *m, const char *name, char **slot) {
    json_text_ptr reply;
    size_t len = 0;
    if (!hypr_request(m, name, &reply, &len))
        return false;
    json_doc_ptr doc(hypr_parse_reply(reply.get(), len));
    if (!doc || !yyjson_is_arr(yyjson_doc_get_root(doc.get())))
        return false;
    free(*slot);
    *slot = reply.release();
    return true;
}

json_doc_ptr parse_text(const char *text) {
    if (!text)
        return json_doc_ptr(nullptr);
    return json_doc_ptr(hypr_parse_reply(text, strlen(text)));
}

// Hyprland 0.51 and later say on every monitor what blocks it, a lock
// included; older ones leave the member out.
bool monitor_reports_blockers(yyjson_val *monitor) {
    return yyjson_is_obj(monitor) && yyjson_obj_get(monitor, "solitaryBlockedBy") != nullptr;
}

bool monitors_report_blockers(const char *monitors_text) {
    json_doc_ptr doc = parse_text(monitors_text);
    yyjson_val *monitors = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    size_t idx, max;
    yyjson_val *monitor;
    yyjson_arr_foreach(monitors, idx, max, monitor) {
        if (monitor_reports_blockers(monitor))
            return true;
    }
    return false;
}

// Hyprland 0.41 to 0.50 tell a session lock only through j/locked, which
// answers {"locked": true|false}. Older ones answer "unknown request"; the
// previous answer then stays.
void hypr_query_locked(hypr_monitor *m) {
    if (monitors_report_blockers(m->monitors_text))
        return;
    json_text_ptr reply;
    size_t len = 0;
    if (!hypr_request(m, "locked", &reply, &len))
        return;
    json_doc_ptr doc(hypr_parse_reply(reply.get(), len));
    yyjson_val *locked = doc ? json_obj_first(yyjson_doc_get_root(doc.get()), "locked") : nullptr;
    if (yyjson_is_bool(locked))
        m->lock_answer = yyjson_get_bool(locked);
}

// Powered on unless dpmsStatus says otherwise or disabled is true.
bool monitor_is_on(yyjson_val *monitor) {
    if (!yyjson_is_obj(monitor) || yyjson_obj_size(monitor) == 0)
        return true;
    bool on = true;
    yyjson_val *dpms = yyjson_obj_get(monitor, "dpmsStatus");
    if (dpms) {
        if (yyjson_is_bool(dpms))
            on = yyjson_get_bool(dpms);
        else if (yyjson_is_int(dpms))
            on = yyjson_get_uint(dpms) != 0;
        else
            on = false;
    }
    if (yyjson_is_true(yyjson_obj_get(monitor, "disabled")))
        on = false;
    return on;
}

bool monitor_blocked_by_lock(yyjson_val *monitor) {
    if (!yyjson_is_obj(monitor))
        return false;
    yyjson_val *blockers = yyjson_obj_get(monitor, "solitaryBlockedBy");
    if (!yyjson_is_arr(blockers))
        return false;
    size_t idx, max;
    yyjson_val *item;
    yyjson_arr_foreach(blockers, idx, max, item) {
        if (yyjson_equals_str(item, "LOCK"))
            return true;
    }
    return false;
}

void hypr_evaluate(hypr_monitor *m) {
    bool was_fullscreen = m->fullscreen;
    bool was_occupied = m->occupied;
    bool was_off = m->monitors_off;
    bool was_locked = m->locked;

    json_doc_ptr clients_doc = parse_text(m->clients_text);
    json_doc_ptr monitors_doc = parse_text(m->monitors_text);
    yyjson_val *clients = clients_doc ? yyjson_doc_get_root(clients_doc.get()) : nullptr;
    yyjson_val *monitors = monitors_doc ? yyjson_doc_get_root(monitors_doc.get()) : nullptr;

    m->fullscreen = occupancy_all_covered(clients, monitors, OCCUPANCY_FULLSCREEN);
    m->occupied = occupancy_all_covered(clients, monitors, OCCUPANCY_ANY_WINDOW);
    occupancy_covered_outputs(clients, monitors, OCCUPANCY_FULLSCREEN, m->covered_outputs,
                              sizeof m->covered_outputs);

    bool blockers_reported = false;
    bool blocked_by_lock = false;
    if (monitors) {
        bool any_on = false;
        m->monitor_count = 0;
        if (yyjson_is_arr(monitors)) {
            m->monitor_count = static_cast<int32_t>(yyjson_arr_size(monitors));
            size_t idx, max;
            yyjson_val *monitor;
            yyjson_arr_foreach(monitors, idx, max, monitor) {
                if (monitor_is_on(monitor))
                    any_on = true;
                if (monitor_reports_blockers(monitor))
                    blockers_reported = true;
                if (monitor_blocked_by_lock(monitor))
                    blocked_by_lock = true;
            }
        }
        m->monitors_off = m->monitor_count > 0 && !any_on;
    }
    m->locked = blockers_reported ? blocked_by_lock : m->lock_answer;

    int drm = drm_all_off("/sys/class/drm");
    if (drm == 0 || drm == 1)
        m->monitors_off = drm == 1;

    if (m->fullscreen != was_fullscreen || m->occupied != was_occupied ||
        m->monitors_off != was_off || m->locked != was_locked)
        reevaluate();
}

// Everything asked anew, as after connecting to an instance.
void hypr_refresh_all(hypr_monitor *m) {
    hypr_query(m, "clients", &m->clients_text);
    hypr_query(m, "monitors", &m->monitors_text);
    hypr_query_locked(m);
    hypr_evaluate(m);
}

void hypr_close_events(hypr_monitor *m) {
    if (m->event_fd >= 0)
        close(m->event_fd);
    m->event_fd = -1;
    m->event_len = 0;
}

bool starts_with(const char *text, size_t len, const char *prefix) {
    size_t n = strlen(prefix);
    return len >= n && memcmp(text, prefix, n) == 0;
}

} // namespace

yyjson_doc *hypr_parse_reply(const char *text, size_t len) {
    if (!text)
        return nullptr;
    // Window titles come from the applications unconverted: an X11 title in
    // Latin-1 is no UTF-8, and a strict reader would refuse the whole list
    // for as long as that window exists. Everything else stays strict.
    return yyjson_read(text, len, YYJSON_READ_ALLOW_INVALID_UNICODE);
}

bool hypr_take_events(char *buf, uint64_t *len) {
    bool refresh = false;
    size_t start = 0;
    for (;;) {
        char *eol = static_cast<char *>(memchr(buf + start, '\n', *len - start));
        if (!eol)
            break;
        const char *line = buf + start;
        size_t line_len = static_cast<size_t>(eol - line);
        // Focus and title changes are frequent and never change what is visible.
        if (!starts_with(line, line_len, "activewindow") &&
            !starts_with(line, line_len, "windowtitle"))
            refresh = true;
        start += line_len + 1;
    }
    size_t rest = *len - start;
    if (rest >= HYPR_EVENT_BUFFER) {
        // A line longer than the buffer can never complete; drop it.
        *len = 0;
    } else {
        memmove(buf, buf + start, rest);
        *len = rest;
    }
    buf[*len] = '\0';
    return refresh;
}

hypr_monitor *hypr_monitor_new(void) {
    auto *m = static_cast<hypr_monitor *>(calloc(1, sizeof(hypr_monitor)));
    if (!m)
        return nullptr;
    m->event_fd = -1;
    hypr_connect(m);
    if (m->event_fd >= 0)
        hypr_refresh_all(m);
    return m;
}

void hypr_monitor_free(hypr_monitor *monitor) {
    if (!monitor)
        return;
    hypr_close_events(monitor);
    free(monitor->clients_text);
    free(monitor->monitors_text);
    free(monitor);
}

int hypr_monitor_fd(const hypr_monitor *monitor) {
    return monitor ? monitor->event_fd : -1;
}

int hypr_monitor_on_readable(hypr_monitor *monitor) {
    if (!monitor || monitor->event_fd < 0)
        return 0;
    hypr_monitor *m = monitor;
    ssize_t got =
        recv(m->event_fd, m->event_buf + m->event_len, HYPR_EVENT_BUFFER - m->event_len, 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    if (got <= 0) {
        hypr_close_events(m);
        return -1;
    }
    m->event_len += static_cast<uint64_t>(got);
    m->event_buf[m->event_len] = '\0';
    bool refresh = hypr_take_events(m->event_buf, &m->event_len);

    if (!refresh)
        return 0;
    hypr_query(m, "clients", &m->clients_text);
    hypr_query(m, "monitors", &m->monitors_text);
    hypr_evaluate(m);
    return 1;
}

void hypr_monitor_tick(hypr_monitor *monitor) {
    if (!monitor)
        return;
    hypr_monitor *m = monitor;
    bool was_connected = m->event_fd >= 0;
    hypr_connect(m);
    if (!was_connected && m->event_fd >= 0) {
        hypr_refresh_all(m);
        return;
    }
    if (!hypr_query(m, "monitors", &m->monitors_text))
        return;
    hypr_query_locked(m);
    hypr_evaluate(m);
}

bool hypr_fullscreen(const hypr_monitor *monitor) {
    return monitor && monitor->fullscreen;
}

bool hypr_occupied(const hypr_monitor *monitor) {
    return monitor && monitor->occupied;
}

bool hypr_monitors_off(const hypr_monitor *monitor) {
    return monitor && monitor->monitors_off;
}

bool hypr_locked(const hypr_monitor *monitor) {
    return monitor && monitor->locked;
}

int hypr_monitor_count(const hypr_monitor *monitor) {
    return monitor ? monitor->monitor_count : 0;
}

const char *hypr_covered_outputs(const hypr_monitor *monitor) {
    return monitor ? monitor->covered_outputs : "";
}
