// The daemon's one global record. Every daemon module reaches it directly as
// g_daemon; main() fills it at startup and tears it down at shutdown.
#pragma once

#include "config.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

struct ipc_server;
struct hypr_monitor;
struct power_monitor;
struct policy;
struct watch;
struct supervisor;
struct transcode_job;

// Which program draws the background.
enum {
    ENGINE_NONE = 0,
    ENGINE_SHELL = 1,
    ENGINE_RENDERER = 2,
};

enum {
    DAEMON_PATH_SIZE = 4096, // paths in the record: at most 4095 bytes
    DAEMON_KIND_SIZE = 16,   // kind words: at most 15 bytes
    DAEMON_SKIP_SIZE = 1024, // last_skip_outputs
};

enum {
    DAEMON_OVERRIDES_MAX = 16,      // per-output backgrounds kept at once
    DAEMON_RENDER_OUTPUTS_MAX = 16, // outputs of the renderer listed
    DAEMON_OUTPUT_NAME_SIZE = 64,   // output names: at most 63 bytes
};

// One output's own background: the target of its link under
// $XDG_STATE_HOME/kiv/outputs, and how far it has got onto the screen.
struct output_override {
    char name[DAEMON_OUTPUT_NAME_SIZE]; // "" = a free entry
    char source_path[DAEMON_PATH_SIZE]; // the link's resolved target
    char source_kind[DAEMON_KIND_SIZE]; // "still", "video" or "gif"
    // What the renderer was asked to show on the output, and since when.
    char loaded_path[DAEMON_PATH_SIZE];
    char loaded_kind[DAEMON_KIND_SIZE];
    bool load_pending;
    int64_t ready_deadline;
    bool ready; // the renderer reports loaded_path on the output
    // The last media confirmed on the output: where a failure goes back to.
    char ready_path[DAEMON_PATH_SIZE];
    char ready_kind[DAEMON_KIND_SIZE];
    char failed_path[DAEMON_PATH_SIZE];        // nothing more is tried for it
    char poster_failed_path[DAEMON_PATH_SIZE]; // its video is shown instead
};

// An output as the renderer last reported it.
struct render_output {
    char name[DAEMON_OUTPUT_NAME_SIZE];
    int width; // buffer size
    int height;
    double scale;
    char path[DAEMON_PATH_SIZE]; // what it shows
    char kind[DAEMON_KIND_SIZE];
    bool own; // shows a background of its own, not the theme's
    bool ready;
    bool paused;
    bool covered;      // skipped: a fullscreen window hides it (or it is off)
    bool error;        // its background failed to load
    bool unload_asked; // told to show the theme background again
};

struct daemon_state {
    struct config config;
    struct watch *watcher;
    struct hypr_monitor *hypr;   // may be null: no Hyprland information
    struct power_monitor *power; // may be null: no power information
    struct policy *policy;
    struct ipc_server *server;
    struct supervisor *supervisor;

    bool running;
    bool always_animate;
    int engine;             // ENGINE_*
    int shell_plugin_state; // -1 never touched, 0 disabled, 1 enabled
    int64_t renderer_stop_at;
    int64_t shell_retry_after;
    int64_t renderer_retry_after;
    int64_t shell_disable_after; // next try at switching the plug-in off
    bool shell_missing_told;     // "no tarvine-shell found" was logged
    // Failed switches of the plug-in in a row (the back-off grows with them)
    // and the fingerprint of the last failure's text.
    int shell_handoff_failures;
    int shell_disable_failures;
    uint64_t shell_enable_failure;
    uint64_t shell_disable_failure;

    char source_path[DAEMON_PATH_SIZE];
    char source_kind[DAEMON_KIND_SIZE];
    char loaded_path[DAEMON_PATH_SIZE];
    char loaded_kind[DAEMON_KIND_SIZE];
    char ready_path[DAEMON_PATH_SIZE];
    char ready_kind[DAEMON_KIND_SIZE];
    char previous_ready_path[DAEMON_PATH_SIZE];
    char previous_ready_kind[DAEMON_KIND_SIZE];
    char transition_from_path[DAEMON_PATH_SIZE];
    bool recovery_loaded; // loaded_path is previous_ready_path, after a failure

    bool load_pending;
    bool media_ready;
    int64_t ready_deadline;

    // Requests whose answer the renderer still owes: a load (and what it
    // was for), the readiness poll, a pause, resume or feed.
    bool load_asked;
    bool asked_recovery;
    uint64_t asked_generation;
    char asked_path[DAEMON_PATH_SIZE];
    char asked_kind[DAEMON_KIND_SIZE];
    bool poll_asked;
    bool playback_asked;
    int renderer_pid; // the renderer process this record speaks of

    struct transcode_job *job; // the one conversion job, or null
    bool job_is_poster;
    char job_output[DAEMON_OUTPUT_NAME_SIZE]; // whose job: an output's, or "" the theme's
    bool job_is_proxy;                        // the theme's video into a proxy
    char job_proxy_path[DAEMON_PATH_SIZE];    // the file a proxy job makes
    // A proxy that could not be made or played; its name carries the
    // source's identity, so a changed source is tried again.
    char proxy_failed_path[DAEMON_PATH_SIZE];
    // The original of loaded_path (and of asked_path) when that is a proxy.
    char loaded_proxy_for[DAEMON_PATH_SIZE];
    char asked_proxy_for[DAEMON_PATH_SIZE];

    char failed_path[DAEMON_PATH_SIZE];
    char poster_failed_path[DAEMON_PATH_SIZE];

    int applied_pause; // -1 unknown, 0 playing, 1 paused
    int feed_active;

    int intro_active;
    bool intro_starting; // asked for, waiting for the renderer
    char intro_path[DAEMON_PATH_SIZE];
    char intro_result[DAEMON_KIND_SIZE];
    int64_t intro_deadline;

    uint64_t source_generation;
    char last_skip_outputs[DAEMON_SKIP_SIZE];

    output_override overrides[DAEMON_OVERRIDES_MAX];
    // The renderer's outputs from its last status reply, and when to ask again.
    render_output render_outputs[DAEMON_RENDER_OUTPUTS_MAX];
    int render_output_count;
    bool render_outputs_known;
    int64_t outputs_poll_at;
    bool outputs_poll_asked;
};

extern daemon_state g_daemon;

// "none", "shell" or "renderer".
inline const char *daemon_engine_name(int engine) {
    switch (engine) {
    case ENGINE_SHELL:
        return "shell";
    case ENGINE_RENDERER:
        return "renderer";
    default:
        return "none";
    }
}

// Copies text into a fixed field of the record; longer texts are cut, a null
// text empties the field.
inline void daemon_set_text(char *field, size_t size, const char *text) {
    if (!field || size == 0)
        return;
    if (!text)
        text = "";
    size_t n = strnlen(text, size - 1);
    memmove(field, text, n);
    field[n] = '\0';
}

#define DAEMON_SET(field, text) daemon_set_text((field), sizeof(field), (text))

// Reads the configuration file again and puts it in force (cache limit,
// renderer fade, policy). 0, or -1 with the configuration in force kept; the
// file's path goes into path (size bytes) either way, "" when unresolvable.
int daemon_reload_config(char *path, size_t size);

struct policy_inputs;
// The policy's input source: what the record and its monitors say now.
void daemon_policy_inputs(policy_inputs *in);
