// kivd: follows the theme's background link, decides whether the wallpaper
// animates, supervises kiv-render and answers commands on its socket. One
// thread, one poll loop.

#include "config.h"
#include "daemon.h"
#include "daemon_ipc.h"
#include "hypr.h"
#include "intro.h"
#include "ipc.h"
#include "log.h"
#include "media.h"
#include "outputs.h"
#include "paths.h"
#include "policy.h"
#include "power.h"
#include "shell.h"
#include "supervisor.h"
#include "transcode.h"
#include "watch.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

enum {
    SOCKET_PATH_SIZE = 1024,
    TICK_MS = 2000,
    IDLE_WAKE_MS = 1000,
    BUSY_WAKE_MS = 200,
    // While the renderer starts, how often its socket is tried.
    START_WAKE_MS = 50,
};

// The poll set: one fixed slot per descriptor the loop waits on (-1 when that
// source is absent, which poll skips), then the IPC connection entries.
enum poll_slot {
    SLOT_SIGNAL,
    SLOT_CHILD,
    SLOT_WATCH,
    SLOT_HYPR,
    SLOT_BUS,
    SLOT_LISTEN,
    SLOT_JOB,
    SLOT_RENDER,     // the request to the renderer in flight
    SLOT_RENDER_LOG, // the renderer's standard error
    SLOT_FIXED_COUNT,
};

int g_lock_fd = -1;
int g_signal_pipe[2] = {-1, -1};
int g_child_pipe[2] = {-1, -1};
char g_socket_path[SOCKET_PATH_SIZE];

void usage(const char *argv0) {
    fprintf(stderr,
            "Usage: %s [options]\n"
            "  --socket PATH   IPC socket path (default: $XDG_RUNTIME_DIR/kiv/kivd.sock)\n"
            "  --verbose       Enable debug logging\n"
            "  --help          Show this help\n",
            argv0);
}

// Signal handlers only record: one byte into a non-blocking pipe (a full pipe
// drops it, which loses nothing since one byte is enough to wake the loop).
void write_signal_byte(int fd, int sig) {
    int saved = errno;
    unsigned char byte = (unsigned char)sig;
    ssize_t n = write(fd, &byte, 1);
    (void)n;
    errno = saved;
}

void on_stop_signal(int sig) {
    write_signal_byte(g_signal_pipe[1], sig);
}

void on_child_signal(int sig) {
    write_signal_byte(g_child_pipe[1], sig);
}

void drain_pipe(int fd) {
    unsigned char byte;
    while (read(fd, &byte, 1) > 0) {
    }
}

// Takes the signals the pipe holds: true when one of them stops the daemon;
// a SIGHUP among them reads the configuration again.
bool take_signals(int fd) {
    bool stop = false;
    bool reload = false;
    unsigned char byte;
    while (read(fd, &byte, 1) > 0) {
        if (byte == SIGHUP)
            reload = true;
        else
            stop = true;
    }
    if (stop || !reload)
        return stop;
    char path[1024];
    if (daemon_reload_config(path, sizeof path) == 0)
        log_info("config reloaded from %s", path);
    else
        log_warn("Cannot reload config at %s, keeping the one in force", path);
    return false;
}

void close_fd(int *fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

int install_handlers(void) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sa.sa_handler = on_stop_signal;
    // SIGHUP, which a closing terminal sends, reads the configuration again.
    if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0 ||
        sigaction(SIGHUP, &sa, nullptr) != 0)
        return -1;
    sa.sa_handler = on_child_signal;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    if (sigaction(SIGCHLD, &sa, nullptr) != 0)
        return -1;
    sa.sa_handler = SIG_IGN;
    sa.sa_flags = 0;
    return sigaction(SIGPIPE, &sa, nullptr);
}

void load_startup_config(void) {
    char path[1024];
    if (path_config_file(path, sizeof path) != 0)
        return;
    if (config_load(&g_daemon.config, path) == 0)
        log_info("config loaded from %s", path);
    else if (errno == ENOENT)
        log_info("no config at %s, using defaults", path);
    else
        log_warn("Cannot load config at %s, using defaults", path);
}

// Undoes whatever startup made, in reverse order of creation.
void teardown(void) {
    // Cancels a running conversion and waits for its worker.
    transcode_job_free(g_daemon.job);
    g_daemon.job = nullptr;
    if (g_daemon.server) {
        ipc_server_destroy(g_daemon.server);
        g_daemon.server = nullptr;
    }
    if (g_daemon.supervisor) {
        supervisor_destroy(g_daemon.supervisor);
        g_daemon.supervisor = nullptr;
    }
    power_monitor_free(g_daemon.power);
    g_daemon.power = nullptr;
    hypr_monitor_free(g_daemon.hypr);
    g_daemon.hypr = nullptr;
    watch_free(g_daemon.watcher);
    g_daemon.watcher = nullptr;
    policy_free(g_daemon.policy);
    g_daemon.policy = nullptr;
    close_fd(&g_signal_pipe[0]);
    close_fd(&g_signal_pipe[1]);
    close_fd(&g_child_pipe[0]);
    close_fd(&g_child_pipe[1]);
    close_fd(&g_lock_fd);
}

void set_slot(struct pollfd *set, int slot, int fd) {
    set[slot].fd = fd;
    set[slot].events = POLLIN;
    set[slot].revents = 0;
}

bool readable(const struct pollfd &entry) {
    return entry.fd >= 0 && (entry.revents & (POLLIN | POLLHUP));
}

// Hands each late answer of the renderer to the module that asked.
void take_render_answers(void) {
    render_answer a;
    while (render_take(g_daemon.supervisor, &a)) {
        switch (a.tag) {
        case RENDER_TAG_INTRO_LOAD:
        case RENDER_TAG_INTRO_STATUS:
            intro_render_answer(&a);
            break;
        case RENDER_TAG_STATUS_COMMAND:
            daemon_ipc_render_answer(&a);
            break;
        case RENDER_TAG_OUTPUTS:
            outputs_render_answer(&a);
            break;
        default:
            media_render_answer(&a);
            break;
        }
    }
}

void run_loop(void) {
    int64_t last_tick = 0;
    bool ticked = false;
    bool last_blocklisted = false;
    struct pollfd set[(int)SLOT_FIXED_COUNT + (int)IPC_MAX_CLIENTS];

    while (g_daemon.running) {
        // A job freed and replaced while this iteration's handlers run must
        // not be collected through the descriptor polled for its predecessor.
        const transcode_job *job = g_daemon.job;
        uint64_t generation = g_daemon.source_generation;
        set_slot(set, SLOT_SIGNAL, g_signal_pipe[0]);
        set_slot(set, SLOT_CHILD, g_child_pipe[0]);
        set_slot(set, SLOT_WATCH, watch_fd(g_daemon.watcher));
        set_slot(set, SLOT_HYPR, hypr_monitor_fd(g_daemon.hypr));
        set_slot(set, SLOT_BUS, power_monitor_fd(g_daemon.power));
        set_slot(set, SLOT_LISTEN, g_daemon.server ? ipc_server_listen_fd(g_daemon.server) : -1);
        set_slot(set, SLOT_JOB, transcode_job_fd(job));
        set_slot(set, SLOT_RENDER, render_fd(g_daemon.supervisor));
        set_slot(set, SLOT_RENDER_LOG, renderer_log_fd(g_daemon.supervisor));
        int count = SLOT_FIXED_COUNT;
        if (g_daemon.server)
            count += ipc_server_poll_entries(g_daemon.server, set + count);

        const supervisor *sup = g_daemon.supervisor;
        int timeout = (g_daemon.job || g_daemon.load_pending || g_daemon.intro_active ||
                       render_busy(sup) || outputs_busy())
                          ? BUSY_WAKE_MS
                          : IDLE_WAKE_MS;
        if (sup && sup->starting)
            timeout = START_WAKE_MS;
        int ready = poll(set, (nfds_t)count, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            log_error("poll failed: %s", strerror(errno));
            break;
        }

        if (g_daemon.server)
            ipc_server_take_events(g_daemon.server, set + SLOT_FIXED_COUNT,
                                   count - SLOT_FIXED_COUNT);
        if (readable(set[SLOT_SIGNAL]) && take_signals(g_signal_pipe[0])) {
            g_daemon.running = false;
            break;
        }
        if (readable(set[SLOT_CHILD])) {
            drain_pipe(g_child_pipe[0]);
            // Reaps, and restarts a renderer that died while it was the
            // engine ("renderer died, restarting").
            media_child_exited();
        }
        if (readable(set[SLOT_WATCH]))
            watch_on_readable(g_daemon.watcher);
        if (readable(set[SLOT_HYPR]))
            hypr_monitor_on_readable(g_daemon.hypr);
        if (readable(set[SLOT_RENDER_LOG]))
            renderer_read_log(g_daemon.supervisor);
        // SLOT_BUS and SLOT_RENDER only wake the loop: power_monitor_process
        // and take_render_answers below run on every iteration.
        if (readable(set[SLOT_LISTEN]))
            ipc_server_accept_all(g_daemon.server);
        if (readable(set[SLOT_JOB]) && g_daemon.job == job &&
            g_daemon.source_generation == generation)
            job_finished();

        ipc_server_service(g_daemon.server, daemon_dispatch);
        if (!g_daemon.running)
            break;

        power_monitor_process(g_daemon.power);
        take_render_answers();
        media_ready_poll();
        outputs_poll();
        intro_watch();
        skip_outputs_sync();
        renderer_stop_timer();
        media_restart_if_dead();
        media_update();
        daemon_ipc_tick();

        int64_t now = now_ms();
        if (!ticked || now - last_tick >= TICK_MS) {
            ticked = true;
            last_tick = now;
            hypr_monitor_tick(g_daemon.hypr);
            bool blocklisted = blocklist_running(&g_daemon.config);
            if (blocklisted != last_blocklisted) {
                last_blocklisted = blocklisted;
                policy_set_blocklisted(g_daemon.policy, blocklisted);
                if (strcmp(g_daemon.loaded_kind, "video") == 0 && g_daemon.loaded_path[0])
                    apply_playback();
            }
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    const char *argv0 = argc > 0 && argv[0] ? argv[0] : "kivd";
    if (path_daemon_socket(g_socket_path, sizeof g_socket_path) != 0) {
        fputs("kivd: cannot resolve socket path\n", stderr);
        return 1;
    }

    bool verbose = false;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--socket") == 0 && i + 1 < argc) {
            daemon_set_text(g_socket_path, sizeof g_socket_path, argv[++i]);
        } else if (strcmp(arg, "--verbose") == 0 || strcmp(arg, "-v") == 0) {
            verbose = true;
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            usage(argv0);
            return 0;
        } else {
            usage(argv0);
            return 1;
        }
    }

    log_set_identity("kivd", verbose ? LOG_DEBUG : LOG_INFO);

    char runtime[1024];
    if (path_runtime_dir(runtime, sizeof runtime) != 0)
        return 1;
    char dir[1024 + 8];
    snprintf(dir, sizeof dir, "%s/kiv", runtime);
    mkdir_p(dir);

    char lock_path[1024 + 16];
    snprintf(lock_path, sizeof lock_path, "%s/kiv/kivd.lock", runtime);
    g_lock_fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (g_lock_fd < 0 || flock(g_lock_fd, LOCK_EX | LOCK_NB) != 0) {
        fputs("kivd: another instance is already running\n", stderr);
        close_fd(&g_lock_fd);
        return 1;
    }

    if (pipe2(g_signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0 ||
        pipe2(g_child_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        log_error("pipe failed");
        teardown();
        return 1;
    }
    if (install_handlers() != 0) {
        log_error("signal handlers failed: %s", strerror(errno));
        teardown();
        return 1;
    }

    memset(&g_daemon, 0, sizeof g_daemon);
    g_daemon.running = true;
    g_daemon.applied_pause = -1;
    config_set_defaults(&g_daemon.config);
    load_startup_config();

    transcode_set_cache_limit(g_daemon.config.cache_max_mb);
    transcode_set_proxy_limit(g_daemon.config.proxy_max_mb);
    transcode_sweep_partials();

    g_daemon.supervisor = supervisor_create(g_socket_path);
    g_daemon.policy = policy_new(daemon_policy_inputs);
    g_daemon.watcher = watch_new();
    g_daemon.hypr = hypr_monitor_new();
    g_daemon.power = power_monitor_new();
    if (!g_daemon.supervisor || !g_daemon.policy || !g_daemon.watcher) {
        log_error("daemon init failed");
        teardown();
        return 1;
    }

    g_daemon.server = ipc_server_create(g_socket_path);
    if (!g_daemon.server) {
        log_error("ipc init failed");
        teardown();
        return 1;
    }

    g_daemon.engine = ENGINE_NONE;
    g_daemon.shell_plugin_state = -1;
    policy_evaluate(g_daemon.policy);

    media_recall_shown();
    outputs_rescan();
    char target[DAEMON_PATH_SIZE];
    if (background_link_read(target, sizeof target) != 0)
        log_warn("no current background symlink yet");
    else
        media_set_source(target);

    log_info("ready, socket=%s", g_socket_path);
    run_loop();

    log_info("shutdown");
    if (g_daemon.shell_plugin_state == 0)
        shell_set_background(true);
    teardown();
    return 0;
}
