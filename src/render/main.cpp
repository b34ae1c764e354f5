// kiv-render: puts the wallpaper on every output and answers the daemon's
// commands. One thread, one poll loop.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "egl.h"
#include "feed.h"
#include "ipc.h"
#include "log.h"
#include "mpv.h"
#include "paths.h"
#include "proc.h"
#include "render.h"
#include "render_ipc.h"
#include "shm.h"
#include "still.h"
#include "wayland.h"

namespace {

constexpr int SOCKET_PATH_SIZE = 4096;
constexpr int POLL_SLOW_MS = 1000;
constexpr int POLL_DECODE_MS = 200;

// Fixed poll entries by name; an absent descriptor stays -1, which poll
// skips. Own backgrounds in use, then the IPC and lock-feed clients follow
// them. Unused own backgrounds take no entry: poll refuses more entries than
// the descriptor limit, and a renderer short of descriptors must keep going.
enum poll_slot {
    SLOT_SIGNAL,
    SLOT_WAYLAND,
    SLOT_IPC_LISTEN,
    SLOT_FEED_LISTEN,
    SLOT_VIDEO,
    SLOT_STILL,
    SLOT_TRANSITION,
    SLOT_FIXED_COUNT,
};
constexpr int OWN_POLL_ENTRIES = 3; // player, still, transition image
constexpr int MAX_POLL_ENTRIES =
    static_cast<int>(SLOT_FIXED_COUNT) + OWN_POLL_ENTRIES * RENDER_OWN_MAX +
    static_cast<int>(IPC_MAX_CLIENTS) + static_cast<int>(FEED_MAX_CLIENTS);

int self_pipe[2] = {-1, -1};

const char USAGE[] =
    "Usage: %s [options]\n"
    "  --socket PATH   IPC socket path (default: $XDG_RUNTIME_DIR/kiv/render.sock)\n"
    "  --verbose       Enable debug logging\n"
    "  --help          Show this help\n";

void handle_signal(int) {
    if (!g_app.running) {
        return;
    }
    int saved = errno;
    ssize_t written = write(self_pipe[1], "q", 1);
    (void)written;
    errno = saved;
}

void close_self_pipe() {
    for (int &fd : self_pipe) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

// False when the parent ended before the request below took effect: its
// signal is then never sent.
bool install_signals(pid_t parent) {
    struct sigaction action = {};
    action.sa_handler = handle_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    // A daemon that was killed cannot stop its renderer; left running, the
    // renderer would keep the render socket from the next daemon's one. The
    // end of the parent ends it like SIGTERM.
    proc_signal_on_parent_exit(SIGTERM);
    return getppid() == parent;
}

// Frees every module that exists, in the order that keeps GL objects valid
// until their owners are gone.
void teardown() {
    if (g_app.ipc) {
        render_ipc_free(g_app.ipc);
        g_app.ipc = nullptr;
    }
    if (g_app.feed) {
        feed_destroy(g_app.feed);
        g_app.feed = nullptr;
    }
    render_free_own();
    if (g_app.transition) {
        still_destroy(g_app.transition);
        g_app.transition = nullptr;
    }
    if (g_app.still) {
        still_destroy(g_app.still);
        g_app.still = nullptr;
    }
    if (g_app.video) {
        video_destroy(g_app.video);
        g_app.video = nullptr;
    }
    // Output surfaces go while the GL state still exists.
    if (g_app.egl) {
        render_finish();
    }
    wayland_destroy_outputs(g_app.wayland);
    wayland_set_surface_hooks(g_app.wayland, nullptr);
    if (g_app.egl) {
        egl_free(g_app.egl);
        g_app.egl = nullptr;
    }
    shm_destroy(g_app.shm);
    g_app.shm = nullptr;
    wayland_free(g_app.wayland);
    g_app.wayland = nullptr;
}

// Chooses how outputs are drawn and sets up that presenter: OpenGL, unless
// there is no usable GL or it runs on the CPU anyway, where drawing into
// shared memory costs a fraction of emulating GL. KIV_PRESENTER=gl|shm|auto.
// The reason is logged once. 0, or -1 with the failure logged.
int choose_presenter() {
    presenter_choice choice = render_presenter_choice(getenv("KIV_PRESENTER"));
    char reason[256] = "KIV_PRESENTER=shm";
    if (choice != PRESENTER_SHM) {
        g_app.egl = egl_init(g_app.wayland->display);
        if (!g_app.egl && choice == PRESENTER_GL) {
            log_error("egl init failed");
            return -1;
        }
        if (!g_app.egl) {
            snprintf(reason, sizeof reason, "EGL cannot be initialised");
        } else if (choice == PRESENTER_GL) {
            snprintf(reason, sizeof reason, "KIV_PRESENTER=gl");
        } else if (egl_renderer_is_software(g_app.egl->renderer)) {
            snprintf(reason, sizeof reason, "OpenGL renderer %s is a software rasteriser",
                     g_app.egl->renderer);
            egl_free(g_app.egl);
            g_app.egl = nullptr;
        } else {
            snprintf(reason, sizeof reason, "OpenGL renderer %s", g_app.egl->renderer);
        }
    }
    if (!g_app.egl) {
        g_app.shm = shm_create(g_app.wayland);
        if (!g_app.shm) {
            log_error("shm init failed");
            return -1;
        }
    }
    log_info("presenter %s: %s", render_presenter_name(), reason);
    return 0;
}

int fail_startup(const char *message) {
    log_error("%s", message);
    teardown();
    close_self_pipe();
    return 1;
}

// How long poll may sleep. A paused video or a still must cost nothing, so
// the loop sleeps until something happens unless something moves on time
// alone: a decode (short steps), an owed drawing, a load's deadline, the
// lock feed's acknowledgements or a still refresh to retry (slow steps), a
// command connection running out of time, the lock feed's listener resting
// after descriptors ran out.
int poll_timeout(bool refresh_owed) {
    if (still_busy(g_app.still) || still_busy(g_app.transition)) {
        return POLL_DECODE_MS;
    }
    for (const own_media &m : g_app.own) {
        if (m.used && (still_busy(m.still) || still_busy(m.transition))) {
            return POLL_DECODE_MS;
        }
    }
    int64_t now = now_ms();
    int timeout = ipc_server_timeout_ms(&g_app.ipc->server, now);
    int feed_timeout = feed_timeout_ms(g_app.feed, now);
    if (feed_timeout >= 0) {
        timeout = timeout < 0 ? feed_timeout : std::min(timeout, feed_timeout);
    }
    if (refresh_owed || g_app.feed_active || render_ipc_waiting(g_app.ipc) || render_waiting()) {
        timeout = timeout < 0 ? POLL_SLOW_MS : std::min(timeout, POLL_SLOW_MS);
    }
    return timeout;
}

void run_loop() {
    int32_t applied_width = -1;
    int32_t applied_height = -1;
    pollfd entries[MAX_POLL_ENTRIES];

    while (g_app.running) {
        if (wayland_dispatch_pending(g_app.wayland) < 0) {
            break;
        }
        if (!g_app.feed_active) {
            render_outputs();
        }

        int32_t max_width = 0;
        int32_t max_height = 0;
        wayland_max_buffer_size(g_app.wayland, &max_width, &max_height);
        feed_set_output_size(g_app.feed, max_width, max_height);
        if (max_width != applied_width || max_height != applied_height) {
            // A refresh that cannot run yet is retried next iteration.
            if (render_ipc_refresh_still(g_app.ipc)) {
                applied_width = max_width;
                applied_height = max_height;
            }
        }

        entries[SLOT_SIGNAL] = {self_pipe[0], POLLIN, 0};
        entries[SLOT_WAYLAND] = {wayland_fd(g_app.wayland), POLLIN, 0};
        entries[SLOT_IPC_LISTEN] = {ipc_server_listen_fd(&g_app.ipc->server), POLLIN, 0};
        entries[SLOT_FEED_LISTEN] = {feed_listen_fd(g_app.feed), POLLIN, 0};
        entries[SLOT_VIDEO] = {video_fd(g_app.video), POLLIN, 0};
        entries[SLOT_STILL] = {still_fd(g_app.still), POLLIN, 0};
        entries[SLOT_TRANSITION] = {still_fd(g_app.transition), POLLIN, 0};
        int count = SLOT_FIXED_COUNT;
        int own_slot[RENDER_OWN_MAX];
        for (int i = 0; i < RENDER_OWN_MAX; i++) {
            const own_media &m = g_app.own[i];
            own_slot[i] = -1;
            if (!m.used) {
                continue;
            }
            own_slot[i] = count;
            entries[count++] = {video_fd(m.video), POLLIN, 0};
            entries[count++] = {still_fd(m.still), POLLIN, 0};
            entries[count++] = {still_fd(m.transition), POLLIN, 0};
        }
        int ipc_first = count;
        int ipc_count = ipc_server_poll_entries(&g_app.ipc->server, entries + count);
        count += ipc_count;
        count += feed_poll_entries(g_app.feed, entries + count);

        bool refresh_owed = max_width != applied_width || max_height != applied_height;
        if (poll(entries, static_cast<nfds_t>(count), poll_timeout(refresh_owed)) < 0) {
            if (errno == EINTR) {
                continue;
            }
            log_error("poll failed: %s", strerror(errno));
            break;
        }

        ipc_server_take_events(&g_app.ipc->server, entries + ipc_first, ipc_count);
        auto ready = [&](int slot) { return (entries[slot].revents & (POLLIN | POLLHUP)) != 0; };
        if (ready(SLOT_SIGNAL)) {
            char byte;
            while (read(self_pipe[0], &byte, 1) == 1) {
            }
            g_app.running = 0;
            break;
        }
        if (ready(SLOT_WAYLAND) && wayland_read_events(g_app.wayland) < 0) {
            log_error("wayland dispatch failed");
            g_app.running = 0;
        }
        if (ready(SLOT_IPC_LISTEN)) {
            ipc_server_accept_all(&g_app.ipc->server);
        }
        if (ready(SLOT_FEED_LISTEN)) {
            feed_accept(g_app.feed);
        }
        bool video_woke = ready(SLOT_VIDEO);
        if (!g_app.running) {
            break;
        }

        ipc_server_service(&g_app.ipc->server, render_ipc_handle_line);
        render_ipc_poll_still(g_app.ipc);
        if (still_busy(g_app.transition)) {
            still_collect(g_app.transition);
            wayland_mark_all_dirty(g_app.wayland);
        }
        render_poll_own();
        for (int i = 0; i < RENDER_OWN_MAX; i++) {
            own_media &m = g_app.own[i];
            // A background taken into use by this turn's commands has no entry yet.
            if (m.used && own_slot[i] >= 0 && ready(own_slot[i]) && video_process_events(m.video) &&
                !g_app.feed_active) {
                render_mark_dirty(&m);
            }
        }
        // Covered, uncovered, powered or plugged outputs change which own
        // backgrounds anybody can see.
        render_sync_own_pause();
        feed_service(g_app.feed, g_app.video);
        video_tick(g_app.video);
        if (!g_app.feed_active) {
            render_outputs();
        }
        if (video_woke && video_process_events(g_app.video)) {
            if (g_app.feed_active) {
                if (feed_render_frame(g_app.feed, g_app.video, &g_app.fit) == 0) {
                    video_report_swap(g_app.video);
                }
            } else {
                render_mark_dirty(nullptr);
                render_outputs();
            }
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    // Taken first: the later the parent is looked up, the longer the time in
    // which its end goes unnoticed.
    pid_t parent = getppid();
    char socket_path[SOCKET_PATH_SIZE];
    if (path_render_socket(socket_path, sizeof socket_path) != 0) {
        fputs("kiv-render: cannot resolve socket path\n", stderr);
        return 1;
    }
    bool verbose = false;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--socket") == 0 && i + 1 < argc) {
            snprintf(socket_path, sizeof socket_path, "%s", argv[++i]);
        } else if (strcmp(arg, "--verbose") == 0 || strcmp(arg, "-v") == 0) {
            verbose = true;
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fprintf(stderr, USAGE, argv[0]);
            return 0;
        } else {
            fprintf(stderr, USAGE, argv[0]);
            return 1;
        }
    }
    log_set_identity("kiv-render", verbose ? LOG_DEBUG : LOG_INFO);

    if (pipe2(self_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        log_error("pipe failed");
        return 1;
    }
    // Running before the handlers exist, so that no signal is lost.
    memset(static_cast<void *>(&g_app), 0, sizeof g_app);
    g_app.running = 1;
    if (!install_signals(parent)) {
        log_error("parent ended before start-up");
        close_self_pipe();
        return 1;
    }

    g_app.wayland = wayland_init();
    if (!g_app.wayland) {
        return fail_startup("wayland init failed");
    }
    if (choose_presenter() != 0) {
        return fail_startup("presenter init failed");
    }
    render_attach_surfaces();

    g_app.video = video_create(g_app.wayland->display, g_app.shm != nullptr);
    if (!g_app.video) {
        return fail_startup("libmpv init failed");
    }
    g_app.still = still_create(g_app.egl);
    if (!g_app.still) {
        return fail_startup("still init failed");
    }
    g_app.transition = still_create(g_app.egl);
    if (!g_app.transition) {
        return fail_startup("transition init failed");
    }
    g_app.fade_ms = RENDER_DEFAULT_FADE_MS;
    g_app.pause_hidden = true;
    g_app.ipc = render_ipc_create(socket_path);
    if (!g_app.ipc) {
        return fail_startup("ipc init failed");
    }
    char feed_path[SOCKET_PATH_SIZE];
    if (path_sibling(socket_path, "lock-feed.sock", feed_path, sizeof feed_path) != 0) {
        return fail_startup("cannot resolve feed socket path");
    }
    g_app.feed = feed_create(feed_path, g_app.egl);
    if (!g_app.feed) {
        return fail_startup("feed init failed");
    }
    log_info("ready, socket=%s", socket_path);

    run_loop();

    log_info("shutdown");
    teardown();
    close_self_pipe();
    return 0;
}
