// Compositor connection: globals, one background layer surface per output,
// output sizes and scales, and the per-output flags that gate drawing.
#pragma once

#include <epoxy/egl.h>
#include <cstddef>
#include <cstdint>
#include <wayland-client.h>

#include "drm.h"

struct wl_egl_window;
struct zwlr_layer_shell_v1;
struct zwlr_layer_surface_v1;
struct wp_viewporter;
struct wp_viewport;
struct wp_fractional_scale_manager_v1;
struct wp_fractional_scale_v1;
struct wl_shm;
struct shm_buffer;
struct wayland_context;

enum {
    OUTPUT_NAME_SIZE = 128,
    OUTPUT_INITIAL_WINDOW_SIZE = 64,
};

struct output_state {
    wayland_context *wayland; // back reference
    output_state *next;       // list link, newest first
    uint32_t registry_name;
    wl_callback *frame_callback; // outstanding frame request or none
    wl_output *output;
    char name[OUTPUT_NAME_SIZE]; // "output-%p" until wl_output.name arrives
    int32_t logical_width;
    int32_t logical_height;
    int32_t scale;           // integer scale, starts at 1
    int32_t preferred_scale; // fractional scale in 120ths, 0 = none yet
    int32_t buffer_width;
    int32_t buffer_height;
    bool configured;
    bool dirty;
    bool frame_ready;
    bool skipped;
    bool dpms_off;
    bool redraw_on_frame;          // the outstanding frame callback marks the output dirty
    int64_t last_power_probe;      // now_ms of the last probe, 0 at creation
    drm_connector connector;       // where the power probe reads this monitor's state
    uint64_t presented_frames;     // status "swaps"
    uint64_t failed_presentations; // status "swap_failures"
    wl_surface *surface;
    zwlr_layer_surface_v1 *layer_surface;
    wl_egl_window *egl_window;
    wp_viewport *viewport;
    wp_fractional_scale_v1 *fractional_scale;
    EGLSurface egl_surface; // EGL_NO_SURFACE when none; owned by the surface hooks
    bool attached;          // the surface hooks took the output: it can be drawn
    shm_buffer *shm_shown;  // the shared-memory buffer attached last, if any
    int32_t window_width;   // last size given to wl_egl_window_resize
    int32_t window_height;
};

// The presenter's hold on the outputs: attach readies a configured output
// for drawing (GL: its EGL surface, its window sized already; false: the
// output cannot be drawn and is dropped); release lets it go before the
// output's surfaces are destroyed.
struct output_surface_hooks {
    bool (*attach)(void *data, output_state *output);
    void (*release)(void *data, output_state *output);
    void *data;
    const char *kind; // what attach gives an output, for the log: "egl", "shm"
};

struct pending_output {
    pending_output *next;
    uint32_t registry_name;
    uint32_t version;
};

struct wayland_context {
    wl_display *display;
    wl_registry *registry;
    wl_compositor *compositor;
    uint32_t compositor_version;
    wl_shm *shm; // none when the compositor offers no shared-memory buffers
    zwlr_layer_shell_v1 *layer_shell;
    wp_viewporter *viewporter;
    wp_fractional_scale_manager_v1 *fractional_scale_manager;
    output_surface_hooks hooks; // all null until wayland_set_surface_hooks
    output_state *outputs;      // newest first
    uint32_t output_count;
    bool ready;
    pending_output *pending_outputs; // wl_output globals seen before ready, newest first
};

wayland_context *wayland_init(void);
void wayland_free(wayland_context *ctx);
// Installs the hooks (none: forget them) and attaches every configured
// output not attached yet; the others attach at their first
// configure.
void wayland_set_surface_hooks(wayland_context *ctx, const output_surface_hooks *hooks);
int wayland_fd(const wayland_context *ctx);
int wayland_dispatch_pending(wayland_context *ctx);
int wayland_read_events(wayland_context *ctx);
output_state *wayland_outputs(const wayland_context *ctx);
uint32_t wayland_output_count(const wayland_context *ctx);
// A surface never given a role nor committed, so never shown: room for a
// window-system framebuffer that is drawn into but not presented.
wl_surface *wayland_create_hidden_surface(wayland_context *ctx);
// Largest buffer width and largest buffer height, each over all outputs.
void wayland_max_buffer_size(const wayland_context *ctx, int32_t *width, int32_t *height);
void wayland_mark_all_dirty(wayland_context *ctx);
// list: comma-separated output names; none is the empty list.
void wayland_set_skipped(wayland_context *ctx, const char *list);
// Names of skipped or powered-off outputs joined with ",", cut to size.
void wayland_skipped_list(const wayland_context *ctx, char *buf, size_t size);
void wayland_destroy_outputs(wayland_context *ctx);

// Registry events; the listener forwards to these.
void wayland_handle_global(wayland_context *ctx, uint32_t name, const char *interface,
                           uint32_t version);
void wayland_handle_global_remove(wayland_context *ctx, uint32_t name);

// Logical size times the scale, rounded up.
void output_buffer_size(const output_state *output, int32_t *width, int32_t *height);
output_state *output_create(wayland_context *ctx, wl_output *wl_out, uint32_t registry_name);
void output_destroy(wayland_context *ctx, output_state *output);
// Asks for a frame callback on the output's surface (sent with the next
// commit); with redraw the output is drawn again once the frame is done.
void output_request_frame(output_state *output, bool redraw);
// Gives the output's EGL window its buffer size if that changed.
void output_resize_window(output_state *output);
