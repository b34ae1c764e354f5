// The renderer process kiv-render: finding, starting, stopping and reaping it,
// and the daemon's requests to it (one fresh connection per request).
//
// Every function takes the supervisor record explicitly (the daemon keeps it
// in g_daemon.supervisor); a null record behaves like "no renderer": starts
// and requests fail, checks answer false, stops do nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

enum {
    SUPERVISOR_START_THROTTLE_MS = 2000,
    // A healthy renderer can take seconds to listen on a cold or loaded
    // machine; one that exits is noticed at the next poll step.
    SUPERVISOR_SOCKET_WAIT_MS = 10000,
    SUPERVISOR_POLL_STEP_MS = 50,
    SUPERVISOR_STOP_CHECKS = 20,
    SUPERVISOR_REQUEST_TIMEOUT_MS = 5000,
    // Reply sizes: handler exchanges (load, status), the readiness poll, fixed commands.
    RENDER_REPLY_SIZE = 8192,
    RENDER_POLL_REPLY_SIZE = 65536,
    RENDER_SHORT_REPLY_SIZE = 1024,
};

struct supervisor {
    pid_t pid;                  // running kiv-render, 0 when none is known
    char render_socket[4096];   // passed to kiv-render with --socket
    int start_count;            // successful spawns since daemon start
    int64_t next_start_allowed; // now_ms() time; 0 = no limit
};

// The render socket is "render.sock" beside daemon_socket_path (or the
// default render socket when that is null). Null when the path does not fit.
supervisor *supervisor_create(const char *daemon_socket_path);
// Stops the renderer, then frees the record.
void supervisor_destroy(supervisor *sup);

// 0 when a renderer runs (already or newly started and its socket accepts).
int renderer_start(supervisor *sup);
// Stops the recorded process (SIGTERM, grace, SIGKILL) and clears the throttle.
void renderer_stop(supervisor *sup);
// Whether the recorded process still runs; logs and forgets an exit.
bool renderer_alive(supervisor *sup);
// After SIGCHLD: collects the renderer if it exited and logs it.
void renderer_reap(supervisor *sup);

// Sends req on a fresh connection. With reply (size bytes) waits for one reply
// line; without, returns 0 as soon as the line is sent. 0 or -1.
int render_request(supervisor *sup, const char *req, char *reply, size_t size);
// Loads path as kind ("still" or "video"); from (may be null or empty) asks the
// renderer to fade from that still. 0 when the renderer accepted the load.
int render_load(supervisor *sup, const char *path, const char *kind, const char *from);
// Fixed commands: 0 only when the reply has status "ok".
int render_pause(supervisor *sup);
int render_resume(supervisor *sup);
int render_feed(supervisor *sup);
int render_feed_stop(supervisor *sup);
int render_fade(supervisor *sup, int ms);
// The wallpaper's loudness, 0 to 100 percent.
int render_volume(supervisor *sup, int percent);

// Directory of the running program ("/usr/bin" for /usr/bin/kivd) into buf;
// 0, or -1 when unknown or it does not fit. Exposed for the search-order tests.
int supervisor_own_dir(char *buf, size_t size);
