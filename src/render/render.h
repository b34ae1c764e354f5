// The renderer's one process-wide state record, shared by every renderer
// module, and the render pass that draws it onto the outputs.
#pragma once

#include <csignal>
#include <cstdint>

struct wayland_context;
struct egl_state;
struct video_player;
struct still_image;
struct render_ipc;
struct lock_feed;

enum {
    RENDER_PATH_SIZE = 4096,
    RENDER_KIND_SIZE = 6,
    RENDER_DEFAULT_FADE_MS = 250,
};

struct render_app {
    wayland_context *wayland; // compositor connection and outputs
    egl_state *egl;           // EGL display and the one GL context
    video_player *video;      // libmpv player
    still_image *still;       // background still
    still_image *transition;  // image faded out over a newly started video
    render_ipc *ipc;          // command server
    lock_feed *feed;          // lock-screen frame feed
    // Read by the signal handler, hence a signal-safe object.
    volatile sig_atomic_t running;
    bool paused;                 // requested by pause/resume
    bool feed_active;            // frames go to the lock feed, outputs are not drawn
    bool intro;                  // current video was loaded with once
    int32_t fade_ms;             // 0..2000
    int32_t volume;              // 0..100; 0 keeps wallpapers silent
    char path[RENDER_PATH_SIZE]; // media on screen; empty when nothing is loaded
    char kind[RENDER_KIND_SIZE]; // "video", "still" or ""
};

extern render_app g_app;

// Gives every output, present and future, its EGL surface from g_app.egl.
void render_attach_surfaces(void);
// Draws every dirty output that may draw and presents it.
void render_outputs(void);
// Frees the pass's GL objects; the GL context still exists.
void render_finish(void);
// A drawing is owed that only time brings: an output's monitor is off with a
// frame still to draw, an output's last swap failed, or a transition image
// waits to go over its video.
bool render_waiting(void);
