// The renderer process kiv-render: finding, starting, stopping and reaping it,
// and the daemon's requests to it (one fresh connection per request).
//
// Nothing here makes the daemon's loop wait long: a start returns at once and
// is carried on by later calls, and a request waits for its answer only
// briefly; an answer that comes later is handed back tagged, through
// render_take, for its owner to act on.
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
    // machine; one that exits is noticed at the next check.
    SUPERVISOR_SOCKET_WAIT_MS = 10000,
    SUPERVISOR_POLL_STEP_MS = 50,
    SUPERVISOR_STOP_CHECKS = 20,
    SUPERVISOR_REQUEST_TIMEOUT_MS = 5000,
    // How long a request waits for its answer before it is carried on in
    // the background: a healthy renderer answers well within it, a frozen
    // one costs the loop no more.
    SUPERVISOR_QUICK_ANSWER_MS = 150,
    // Reply sizes: handler exchanges (load, status), the readiness poll, fixed commands.
    RENDER_REPLY_SIZE = 8192,
    RENDER_POLL_REPLY_SIZE = 65536,
    RENDER_SHORT_REPLY_SIZE = 1024,
    RENDER_REQUEST_SIZE = 16384, // the longest request sent
    RENDER_QUEUE_SIZE = 16,      // requests waiting for the one in flight
    RENDER_ERROR_SIZE = 256,     // render_error text
};

// Who waits for a request's answer when it comes late.
enum render_tag {
    RENDER_TAG_NONE = 0, // nobody: the answer is read and dropped
    RENDER_TAG_LOAD,
    RENDER_TAG_POLL,
    RENDER_TAG_PAUSE,
    RENDER_TAG_RESUME,
    RENDER_TAG_FEED,
    RENDER_TAG_INTRO_LOAD,
    RENDER_TAG_INTRO_STATUS,
    RENDER_TAG_STATUS_COMMAND,
    RENDER_TAG_OUTPUTS, // the output list of outputs_poll
};

// What a request call did: answered now (the reply is in the buffer), failed
// (no renderer, no connection, or a full queue), or the answer comes later
// through render_take with the request's tag.
enum {
    RENDER_ANSWERED = 0,
    RENDER_FAILED = -1,
    RENDER_LATER = 1,
};

struct config;

struct render_queued {
    int tag;
    bool wants_reply;
    pid_t pid; // the renderer it was meant for
    char text[RENDER_REQUEST_SIZE];
};

struct supervisor {
    pid_t pid;                  // running kiv-render, 0 when none is known
    char render_socket[4096];   // passed to kiv-render with --socket
    int start_count;            // successful spawns since daemon start
    int64_t next_start_allowed; // now_ms() time; 0 = no limit
    bool starting;              // spawned, its socket not accepting yet
    int64_t start_deadline;

    // The renderer's standard error comes through a pipe, is passed on to
    // the daemon's own, and its first ERROR line is kept: when a start
    // fails, that is why.
    int log_fd;
    char log_part[512];
    size_t log_len;
    char last_error[RENDER_ERROR_SIZE]; // first ERROR message of this process
    char error[RENDER_ERROR_SIZE];      // why the last start failed; "" once one works

    // The one exchange in flight, and those waiting behind it.
    int fd;
    render_queued current;
    int64_t deadline;
    char reply[RENDER_POLL_REPLY_SIZE];
    size_t reply_len;
    render_queued queue[RENDER_QUEUE_SIZE];
    int queue_head;
    int queue_count;
};

// An answer handed back late. text is "" when the exchange failed.
struct render_answer {
    int tag;
    bool answered;
    const char *text; // valid until the next supervisor call
};

// The render socket is "render.sock" beside daemon_socket_path (or the
// default render socket when that is null). Null when the path does not fit.
supervisor *supervisor_create(const char *daemon_socket_path);
// Stops the renderer, then frees the record.
void supervisor_destroy(supervisor *sup);

// 0 when a renderer runs and its socket accepts; 1 while a started one is
// not listening yet (call again later); -1 when none could be started.
int renderer_start(supervisor *sup);
// Stops the recorded process (SIGTERM, grace, SIGKILL) and clears the throttle.
void renderer_stop(supervisor *sup);
// Whether the recorded process still runs (a starting one included); logs
// and forgets an exit.
bool renderer_alive(supervisor *sup);
// After SIGCHLD: collects the renderer if it exited and logs it.
void renderer_reap(supervisor *sup);
// Why the renderer could not start, in its own words where it gave them;
// "" when the last start worked.
const char *renderer_error(const supervisor *sup);

// The renderer's standard error, to poll for input, or -1.
int renderer_log_fd(const supervisor *sup);
// Passes on what the renderer wrote to its standard error.
void renderer_read_log(supervisor *sup);

// Sends req on a fresh connection. With reply (size bytes) waits briefly for
// one reply line; without, does not wait at all. RENDER_ANSWERED,
// RENDER_FAILED, or RENDER_LATER: then the answer comes through render_take
// with tag (and is dropped for RENDER_TAG_NONE).
int render_call(supervisor *sup, const char *req, int tag, char *reply, size_t size);
// render_call without a tag: 0 only when answered (or sent, without reply).
int render_request(supervisor *sup, const char *req, char *reply, size_t size);
// The exchange in flight, to poll for input, or -1.
int render_fd(const supervisor *sup);
// Whether an exchange is in flight or waiting.
bool render_busy(const supervisor *sup);
// Carries the exchanges on; true with one late answer in out, false when
// none is due now. Called until it answers false.
bool render_take(supervisor *sup, render_answer *out);

// The load request for path as kind ("still" or "video"); from (may be null
// or empty) asks the renderer to fade from that still; seamless asks it to
// go on at the playing video's position, fading from its frame (the same
// picture in another file). 0, or -1 when it does not fit.
int render_load_request(const char *path, const char *kind, const char *from, bool seamless,
                        char *out, size_t size);
// The renderer's answer to a load: 0 accepted, -1 refused (logged).
int render_load_verdict(const char *reply);
// Loads path as kind; 0 accepted, -1 refused or failed, 1 answered later
// (tag RENDER_TAG_LOAD).
int render_load(supervisor *sup, const char *path, const char *kind, const char *from,
                bool seamless = false);
// Fixed commands: 0 only when the reply has status "ok"; 1 when it comes
// later under the command's tag.
int render_pause(supervisor *sup);
int render_resume(supervisor *sup);
int render_feed(supervisor *sup);
int render_feed_stop(supervisor *sup);
int render_fade(supervisor *sup, int ms);
// The wallpaper's loudness, 0 to 100 percent.
int render_volume(supervisor *sup, int percent);
// How pictures fit the outputs: [render] fit and background_color and the
// [output.NAME] tables of cfg.
int render_fit(supervisor *sup, const config *cfg);

// Directory of the running program ("/usr/bin" for /usr/bin/kivd) into buf;
// 0, or -1 when unknown or it does not fit. Exposed for the search-order tests.
int supervisor_own_dir(char *buf, size_t size);
// The message of a kiv-render log line at ERROR level ("" when it is none),
// into out (size bytes).
void supervisor_error_of_line(const char *line, char *out, size_t size);
