// The renderer's one process-wide state record, shared by every renderer
// module, and the render pass that draws it onto the outputs.
#pragma once

#include <csignal>
#include <cstdint>

#include "fit.h"

struct wayland_context;
struct egl_state;
struct video_player;
struct still_image;
struct render_ipc;
struct lock_feed;
struct output_state;
struct shm_presenter;

enum {
    RENDER_PATH_SIZE = 4096,
    RENDER_KIND_SIZE = 6,
    RENDER_DEFAULT_FADE_MS = 250,
    RENDER_OWN_MAX = 8,         // backgrounds of their own shown at once
    RENDER_BINDING_SIZE = 1024, // comma-separated names of an own background's outputs
    RENDER_OWN_ERROR_SIZE = 128,
    RENDER_FIT_OUTPUTS = 16,
    RENDER_FIT_NAME_SIZE = 64,
};

// A background that some outputs show instead of the default one: a player
// and images of its own, loaded, faded and paused on those outputs alone.
// Outputs of equal size bound to one share one picture, like the default's.
struct own_media {
    bool used;
    video_player *video;         // made at its first video
    still_image *still;          // made at its first still
    still_image *transition;     // the still faded out over its new video
    char path[RENDER_PATH_SIZE]; // what it shows once loaded; "" before
    char kind[RENDER_KIND_SIZE];
    char pending_path[RENDER_PATH_SIZE]; // the still being decoded; "" when none
    int64_t pending_deadline;
    char error[RENDER_OWN_ERROR_SIZE]; // why its last load failed; "" when none
    char outputs[RENDER_BINDING_SIZE]; // the outputs bound to it, by name
};

// What one output shows: the default background (own null) or its own.
struct media_view {
    int id; // 0 the default, 1 + index of the own background
    own_media *own;
    video_player *video;
    still_image *still;
    still_image *transition;
    bool paused;
};

// The fit of one output named by the daemon's configuration.
struct render_output_fit {
    char name[RENDER_FIT_NAME_SIZE];
    picture_fit fit;
};

struct render_app {
    wayland_context *wayland; // compositor connection and outputs
    egl_state *egl;           // EGL display and the one GL context; none with shm
    shm_presenter *shm;       // shared-memory buffers when drawing without GL
    video_player *video;      // libmpv player
    still_image *still;       // background still
    still_image *transition;  // image faded out over a newly started video
    render_ipc *ipc;          // command server
    lock_feed *feed;          // lock-screen frame feed
    // Read by the signal handler, hence a signal-safe object.
    volatile sig_atomic_t running;
    bool paused;      // requested by pause/resume
    bool feed_active; // frames go to the lock feed, outputs are not drawn
    bool intro;       // current video was loaded with once
    int32_t fade_ms;  // 0..2000
    int32_t volume;   // 0..100; 0 keeps wallpapers silent
    picture_fit fit;  // of every output without its own
    render_output_fit fit_outputs[RENDER_FIT_OUTPUTS];
    int32_t fit_output_count;
    char path[RENDER_PATH_SIZE]; // media on screen; empty when nothing is loaded
    char kind[RENDER_KIND_SIZE]; // "video", "still" or ""
    own_media own[RENDER_OWN_MAX];
    // Own backgrounds none of whose outputs can be seen (covered by a
    // fullscreen window, off, or gone) are paused.
    bool pause_hidden;
};

extern render_app g_app;

// The own background the named output is bound to, or null.
own_media *render_own_for(const char *name);
// What an output shows.
media_view render_view_of(const output_state *output);
// Whether any output bound to own can be seen now.
bool render_own_visible(const own_media *own);
// Marks the outputs that show own (null: the default background) dirty.
void render_mark_dirty(const own_media *own);
// Applies the pause each own background's player should have now.
void render_sync_own_pause(void);

enum presenter_choice {
    PRESENTER_AUTO,
    PRESENTER_GL,
    PRESENTER_SHM,
};
// The presenter a KIV_PRESENTER value asks for: "gl", "shm", or "auto" (also
// when unset or empty); any other value is logged and counts as "auto".
presenter_choice render_presenter_choice(const char *value);
// "gl" or "shm": how the outputs are drawn.
const char *render_presenter_name(void);

// Gives every output, present and future, to the presenter: its EGL surface
// from g_app.egl, or shared-memory buffers from g_app.shm.
void render_attach_surfaces(void);
// The fit of the output named name.
const picture_fit &render_fit_of(const char *name);
// Whether some output shows pictures at their native size (center), so that
// they must be decoded and drawn whole, not reduced for the outputs.
bool render_fit_native(void);
// Draws every dirty output that may draw and presents it.
void render_outputs(void);
// Frees the pass's GL objects; the GL context still exists.
void render_finish(void);
// A drawing is owed that only time brings: an output's monitor is off with a
// frame still to draw, an output's last swap failed, or a transition image
// waits to go over its video.
bool render_waiting(void);
