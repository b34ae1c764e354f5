// The renderer's state record and the render pass: which output shows what,
// gated on the monitor's power, paced by the compositor's frame events.
#include "render.h"

#include <wayland-client.h>
#include <wayland-egl.h>

#include "drm.h"
#include "egl.h"
#include "log.h"
#include "mpv.h"
#include "pixels.h"
#include "shm.h"
#include "still.h"
#include "wayland.h"

#include <cstring>

render_app g_app;

namespace {

constexpr int64_t POWER_PROBE_SPACING_MS = 20;
constexpr const char *DRM_DIR = "/sys/class/drm";
// Distinct output sizes shared by two or more outputs at a time.
constexpr int MAX_SHARED_SIZES = 8;

// The picture of all outputs of one buffer size, drawn once. It lives in a
// window-system surface that is never shown rather than in a framebuffer
// object: an object is stored the other way up, so drivers copy it to an
// output with a drawing pass, while copying between window surfaces of one
// format is a plain memory copy.
struct shared_picture {
    wl_surface *surface;
    wl_egl_window *window;
    EGLSurface egl_surface;
    int32_t width; // 0: a free slot
    int32_t height;
    bool failed;           // no surface, or copies fail: those outputs draw their own
    uint64_t pass;         // the render pass that drew it
    uint64_t frame_serial; // the video picture it holds
    bool video_only;       // it holds that picture and nothing else
    int media;             // the background it shows (media_view id)
    picture_fit fit;       // those outputs' fit: only outputs of one fit share
};

shared_picture shared_pictures[MAX_SHARED_SIZES];
uint64_t pass_count;

// Pictures whose outputs show one shared-memory buffer, to say so once.
struct shared_size {
    int32_t width; // 0: a free slot
    int32_t height;
    int media;
    picture_fit fit;
};
shared_size shm_shared_sizes[MAX_SHARED_SIZES];
// Lays the video's frames onto outputs in fits other than cover.
pixels_scaler video_scaler;

bool surface_attach(void *data, output_state *output) {
    output->egl_surface = egl_create_surface(static_cast<egl_state *>(data), output->egl_window);
    return output->egl_surface != EGL_NO_SURFACE;
}

void surface_release(void *data, output_state *output) {
    egl_release_surface(static_cast<egl_state *>(data), output->egl_surface);
    output->egl_surface = EGL_NO_SURFACE;
}

// Reads the monitor's power state and records it; true when it is off.
bool probe_power(output_state *output, int64_t now) {
    bool off = drm_connector_off(&output->connector, DRM_DIR, output->name, now) == 1;
    if (off != output->dpms_off) {
        log_info("output %s dpms %s", output->name, off ? "off" : "on");
    }
    output->dpms_off = off;
    output->last_power_probe = now;
    return off;
}

bool shm_surface_attach(void *, output_state *) {
    return true;
}

void shm_surface_release(void *, output_state *output) {
    shm_output_gone(output);
}

bool drawable(const output_state *output) {
    return output->configured && output->attached && !output->skipped && !output->dpms_off;
}

// Whether name is one of the comma-separated items of list.
bool list_has(const char *list, const char *name) {
    size_t n = strlen(name);
    if (n == 0) {
        return false;
    }
    for (const char *p = list; *p;) {
        const char *comma = strchr(p, ',');
        size_t len = comma ? static_cast<size_t>(comma - p) : strlen(p);
        if (len == n && memcmp(p, name, n) == 0) {
            return true;
        }
        if (!comma) {
            break;
        }
        p = comma + 1;
    }
    return false;
}

// Drawable outputs of this buffer size and fit that show the background id.
int outputs_of_size(int id, int32_t width, int32_t height, const picture_fit &fit) {
    int count = 0;
    for (const output_state *o = wayland_outputs(g_app.wayland); o; o = o->next) {
        int32_t w = 0;
        int32_t h = 0;
        output_buffer_size(o, &w, &h);
        if (drawable(o) && w == width && h == height && render_view_of(o).id == id &&
            picture_fit_equal(render_fit_of(o->name), fit)) {
            count++;
        }
    }
    return count;
}

void shared_free(shared_picture *picture) {
    if (picture->egl_surface != EGL_NO_SURFACE) {
        egl_release_surface(g_app.egl, picture->egl_surface);
    }
    if (picture->window) {
        wl_egl_window_destroy(picture->window);
    }
    if (picture->surface) {
        wl_surface_destroy(picture->surface);
    }
    *picture = {};
}

// The shared picture for outputs of this size and fit showing background
// id; none when there is no room or no surface for one, and those outputs
// draw their own.
shared_picture *shared_for(int id, int32_t width, int32_t height, const picture_fit &fit) {
    shared_picture *free_slot = nullptr;
    for (shared_picture &p : shared_pictures) {
        if (p.width == width && p.height == height && p.media == id &&
            picture_fit_equal(p.fit, fit)) {
            return p.failed ? nullptr : &p;
        }
        if (p.width == 0 && !free_slot) {
            free_slot = &p;
        }
    }
    if (!free_slot) {
        return nullptr;
    }
    shared_picture &p = *free_slot;
    p.width = width;
    p.height = height;
    p.media = id;
    p.fit = fit;
    p.surface = wayland_create_hidden_surface(g_app.wayland);
    p.window = p.surface ? wl_egl_window_create(p.surface, width, height) : nullptr;
    p.egl_surface = p.window ? egl_create_surface(g_app.egl, p.window) : EGL_NO_SURFACE;
    if (p.egl_surface == EGL_NO_SURFACE) {
        // Kept as failed until the size stops being shared, so that it is
        // neither retried nor logged at every frame.
        log_error("no shared picture for the outputs of %dx%d", width, height);
        p.failed = true;
        return nullptr;
    }
    log_info("one picture drawn for the outputs of %dx%d", width, height);
    return &p;
}

// Frees the pictures no two drawable outputs share any more.
void forget_unshared() {
    for (shared_picture &p : shared_pictures) {
        if (p.width != 0 && outputs_of_size(p.media, p.width, p.height, p.fit) < 2) {
            shared_free(&p);
        }
    }
    for (shared_size &s : shm_shared_sizes) {
        if (s.width != 0 && outputs_of_size(s.media, s.width, s.height, s.fit) < 2) {
            s = {};
        }
    }
}

// Says once that the outputs of this size and fit showing background id
// show one buffer.
void note_shm_shared(int id, int32_t width, int32_t height, const picture_fit &fit) {
    shared_size *free_slot = nullptr;
    for (shared_size &s : shm_shared_sizes) {
        if (s.width == width && s.height == height && s.media == id &&
            picture_fit_equal(s.fit, fit)) {
            return;
        }
        if (s.width == 0 && !free_slot) {
            free_slot = &s;
        }
    }
    if (free_slot) {
        *free_slot = {width, height, id, fit};
        log_info("one picture drawn for the outputs of %dx%d", width, height);
    }
}

// What a pass shows of one background; every output showing it shows the same.
struct pass_content {
    bool has_video;
    bool held; // its new video waits for the transition image
    bool playing;
    bool show_video;
    bool still_shown;
    bool transition_shown;
    bool animating;
    bool needs_frames;
};

pass_content content_of(const media_view &view) {
    pass_content c{};
    c.has_video = view.video && video_has_media(view.video);
    c.transition_shown = view.transition && still_has_texture(view.transition);
    c.held = c.has_video && view.transition && still_transition_pending(view.transition);
    c.playing = c.has_video && !view.paused;
    c.still_shown = view.still && still_has_texture(view.still);
    c.animating = (c.still_shown && still_animating(view.still)) ||
                  (c.transition_shown && still_animating(view.transition));
    c.needs_frames = c.playing || c.animating;
    c.show_video = c.playing || (!c.still_shown && c.has_video);
    return c;
}

// The largest size a video picture needs for the outputs: none (0) when
// some output shows pictures at their native size.
void video_picture_limit(int32_t *width, int32_t *height) {
    *width = 0;
    *height = 0;
    if (!render_fit_native()) {
        wayland_max_buffer_size(g_app.wayland, width, height);
    }
}

// The video's frame laid onto the current surface of width x height by fit.
bool draw_video(video_player *video, const picture_fit &fit, int32_t width, int32_t height) {
    // The player's own cropping is cover; every other fit takes the whole
    // frame and lays it out like a still.
    if (fit.mode == FIT_COVER) {
        return video_render_screen(video, 0, width, height) == 0;
    }
    int32_t limit_width = 0;
    int32_t limit_height = 0;
    video_picture_limit(&limit_width, &limit_height);
    int32_t picture_width = 0;
    int32_t picture_height = 0;
    unsigned texture =
        video_picture(video, limit_width, limit_height, &picture_width, &picture_height);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, width, height);
    if (texture == 0) {
        egl_clear(g_app.egl, fit.red, fit.green, fit.blue, 1.0f);
        return false;
    }
    egl_draw_texture(g_app.egl, texture, picture_width, picture_height, width, height, 1.0f, &fit);
    return true;
}

// Draws the pass's picture into the current surface of width x height.
// False when the video could not be drawn.
bool draw_picture(const media_view &view, const pass_content &content, const picture_fit &fit,
                  int32_t width, int32_t height) {
    if (content.show_video) {
        bool drawn = draw_video(view.video, fit, width, height);
        if (content.transition_shown) {
            still_draw_overlay(view.transition, width, height, &fit);
        }
        return drawn;
    }
    if (content.still_shown) {
        still_draw(view.still, width, height, &fit);
    } else {
        egl_clear(g_app.egl, 0.0f, 0.0f, 0.0f, 1.0f);
    }
    return true;
}

// The shared picture of outputs of this size, holding this pass's picture;
// none to let the output draw its own.
shared_picture *shared_drawn(const media_view &view, const pass_content &content,
                             const picture_fit &fit, int32_t width, int32_t height) {
    if (outputs_of_size(view.id, width, height, fit) < 2) {
        return nullptr;
    }
    shared_picture *p = shared_for(view.id, width, height, fit);
    if (!p) {
        return nullptr;
    }
    // A video picture stays valid until the next frame; anything else may
    // change with time (fades) and is drawn once per pass.
    bool video_only = content.show_video && !content.transition_shown;
    uint64_t serial = video_frame_serial(view.video);
    if (p->pass == pass_count || (video_only && p->video_only && p->frame_serial == serial)) {
        return p;
    }
    if (egl_make_current(g_app.egl, p->egl_surface, width, height) != 0) {
        return nullptr;
    }
    // A picture the player failed to draw is not copied anywhere: the
    // outputs draw their own instead.
    bool drawn = draw_picture(view, content, fit, width, height);
    p->pass = drawn ? pass_count : 0;
    p->video_only = drawn && video_only;
    p->frame_serial = serial;
    return drawn ? p : nullptr;
}

// Copies the shared picture to the output; false when it cannot, and then
// the picture is given up until its size stops being shared.
bool copy_shared(shared_picture *p, output_state *output, int32_t width, int32_t height) {
    if (egl_copy_surface(g_app.egl, output->egl_surface, p->egl_surface, width, height) == 0) {
        return true;
    }
    log_info("the outputs of %dx%d are drawn one by one", width, height);
    p->failed = true;
    p->pass = 0;
    p->video_only = false;
    return false;
}

// The video's frame laid into the buffer by fit, on the CPU. False when the
// video could not be drawn (the buffer then shows black or the bars).
bool draw_video_memory(video_player *video, const picture_fit &fit, shm_buffer *b) {
    int32_t w = b->width;
    int32_t h = b->height;
    // The player crops to cover by itself, straight into the buffer; every
    // other fit takes the whole frame and lays it out like a still.
    if (fit.mode == FIT_COVER) {
        if (video_render_memory(video, w, h, static_cast<size_t>(b->stride), b->pixels, "bgr0") ==
            0) {
            return true;
        }
        pixels_fill_black(b->pixels, b->stride, w, h);
        return false;
    }
    int32_t limit_width = 0;
    int32_t limit_height = 0;
    video_picture_limit(&limit_width, &limit_height);
    int32_t picture_width = 0;
    int32_t picture_height = 0;
    int32_t picture_stride = 0;
    const uint8_t *picture = video_picture_memory(video, limit_width, limit_height, &picture_width,
                                                  &picture_height, &picture_stride);
    if (picture &&
        pixels_fit_scale(picture, picture_width, picture_height, picture_stride, PIXELS_BGRX,
                         b->pixels, w, h, b->stride, PIXELS_BGRA, fit, &video_scaler) == 0) {
        return true;
    }
    pixels_fill_color(b->pixels, b->stride, w, h, fit, PIXELS_BGRA);
    return false;
}

// Draws the pass's picture on the CPU into the buffer. False when the video
// could not be drawn.
bool draw_memory(const media_view &view, const pass_content &content, const picture_fit &fit,
                 shm_buffer *b) {
    int32_t w = b->width;
    int32_t h = b->height;
    if (content.show_video) {
        bool drawn = draw_video_memory(view.video, fit, b);
        if (content.transition_shown) {
            const uint8_t *picture = still_picture(view.transition, w, h, fit);
            float alpha = still_overlay_alpha(view.transition);
            if (picture) {
                pixels_blend(b->pixels, b->stride, picture, w * 4, w, h, alpha);
            }
        }
        return drawn;
    }
    const uint8_t *picture = content.still_shown ? still_picture(view.still, w, h, fit) : nullptr;
    if (picture) {
        pixels_fade(b->pixels, b->stride, picture, w * 4, w, h, still_fade_in_alpha(view.still));
    } else {
        pixels_fill_black(b->pixels, b->stride, w, h);
    }
    return true;
}

// The buffer showing this pass's picture on outputs of this size and fit:
// the one drawn for another such output when it still holds the picture,
// otherwise a free buffer drawn now. None when every buffer is held.
shm_buffer *shm_picture(const media_view &view, const pass_content &content, const picture_fit &fit,
                        int32_t width, int32_t height) {
    bool video_only = content.show_video && !content.transition_shown;
    uint64_t serial = video_frame_serial(view.video);
    shm_buffer *latest = shm_latest(g_app.shm, width, height, view.id, fit);
    if (latest && (latest->pass == pass_count ||
                   (video_only && latest->video_only && latest->frame_serial == serial))) {
        if (outputs_of_size(view.id, width, height, fit) >= 2) {
            note_shm_shared(view.id, width, height, fit);
        }
        return latest;
    }
    shm_buffer *b = shm_acquire(g_app.shm, width, height);
    if (!b) {
        return nullptr;
    }
    bool drawn = draw_memory(view, content, fit, b);
    if (!drawn) {
        // A picture the player failed to draw is not shown: asked once
        // more, as with OpenGL, where the outputs then draw their own.
        drawn = draw_memory(view, content, fit, b);
    }
    shm_mark_drawn(b);
    b->pass = drawn ? pass_count : 0;
    b->video_only = drawn && video_only;
    b->frame_serial = serial;
    b->media = view.id;
    b->fit = fit;
    return b;
}

// Presents what was drawn: the buffer when there is one, else the output's
// back buffer by a swap. False when the output took nothing: its monitor
// went off meanwhile or the swap failed.
bool present(output_state *output, bool needs_frames, bool animating, shm_buffer *buffer) {
    // A monitor switched off meanwhile gets no frame; it is drawn once it is back.
    if (probe_power(output, now_ms())) {
        output->dirty = true;
        return false;
    }
    if (needs_frames) {
        // Requested before the swap so that it rides on the swap's commit.
        // Fades advance at the compositor's frame rate.
        output_request_frame(output, animating);
        output->frame_ready = false;
    }
    if (buffer) {
        shm_present(buffer, output);
    } else if (egl_swap(g_app.egl, output->egl_surface, output->name) != 0) {
        output->failed_presentations++;
        if (output->frame_callback) {
            wl_callback_destroy(output->frame_callback);
            output->frame_callback = nullptr;
        }
        output->dirty = true;
        output->frame_ready = true;
        return false;
    }
    output->presented_frames++;
    return true;
}

} // namespace

presenter_choice render_presenter_choice(const char *value) {
    if (!value || !value[0] || strcmp(value, "auto") == 0) {
        return PRESENTER_AUTO;
    }
    if (strcmp(value, "gl") == 0) {
        return PRESENTER_GL;
    }
    if (strcmp(value, "shm") == 0) {
        return PRESENTER_SHM;
    }
    log_warn("KIV_PRESENTER=%s is none of gl, shm, auto: choosing by itself", value);
    return PRESENTER_AUTO;
}

const char *render_presenter_name(void) {
    return g_app.shm ? "shm" : "gl";
}

own_media *render_own_for(const char *name) {
    for (own_media &m : g_app.own) {
        if (m.used && list_has(m.outputs, name)) {
            return &m;
        }
    }
    return nullptr;
}

media_view render_view_of(const output_state *output) {
    own_media *own = output ? render_own_for(output->name) : nullptr;
    if (!own) {
        return {0, nullptr, g_app.video, g_app.still, g_app.transition, g_app.paused};
    }
    bool paused =
        g_app.paused || g_app.feed_active || (g_app.pause_hidden && !render_own_visible(own));
    return {static_cast<int>(own - g_app.own) + 1,
            own,
            own->video,
            own->still,
            own->transition,
            paused};
}

bool render_own_visible(const own_media *own) {
    for (const output_state *o = wayland_outputs(g_app.wayland); o; o = o->next) {
        if (drawable(o) && render_own_for(o->name) == own) {
            return true;
        }
    }
    return false;
}

void render_mark_dirty(const own_media *own) {
    for (output_state *o = wayland_outputs(g_app.wayland); o; o = o->next) {
        if (render_own_for(o->name) == own) {
            o->dirty = true;
        }
    }
}

void render_sync_own_pause(void) {
    for (own_media &m : g_app.own) {
        if (m.used && m.video) {
            bool paused = g_app.paused || g_app.feed_active ||
                          (g_app.pause_hidden && !render_own_visible(&m));
            video_set_pause(m.video, paused);
        }
    }
}

const picture_fit &render_fit_of(const char *name) {
    for (int32_t i = 0; name && i < g_app.fit_output_count && i < RENDER_FIT_OUTPUTS; i++) {
        if (strcmp(g_app.fit_outputs[i].name, name) == 0) {
            return g_app.fit_outputs[i].fit;
        }
    }
    return g_app.fit;
}

bool render_fit_native(void) {
    if (g_app.fit.mode == FIT_CENTER) {
        return true;
    }
    for (int32_t i = 0; i < g_app.fit_output_count && i < RENDER_FIT_OUTPUTS; i++) {
        if (g_app.fit_outputs[i].fit.mode == FIT_CENTER) {
            return true;
        }
    }
    return false;
}

void render_attach_surfaces(void) {
    output_surface_hooks hooks = {surface_attach, surface_release, g_app.egl, "egl"};
    if (!g_app.egl) {
        hooks = {shm_surface_attach, shm_surface_release, nullptr, "shm"};
    }
    wayland_set_surface_hooks(g_app.wayland, &hooks);
}

void render_finish(void) {
    for (shared_picture &p : shared_pictures) {
        shared_free(&p);
    }
    for (shared_size &s : shm_shared_sizes) {
        s = {};
    }
    pixels_scaler_free(&video_scaler);
}

bool render_waiting(void) {
    if (still_has_texture(g_app.transition)) {
        return true;
    }
    for (const own_media &m : g_app.own) {
        if (m.used && (still_has_texture(m.transition) || m.pending_path[0])) {
            return true;
        }
    }
    // A drawable output still dirty after a pass with no frame callback to
    // wait for is owed a frame its swap failed to present.
    for (const output_state *o = wayland_outputs(g_app.wayland); o; o = o->next) {
        if (o->dirty && (o->dpms_off || (drawable(o) && o->frame_ready))) {
            return true;
        }
    }
    return false;
}

void render_outputs(void) {
    wayland_context *ctx = g_app.wayland;
    egl_state *egl = g_app.egl;
    if (!ctx || (!egl && !g_app.shm)) {
        return;
    }
    // Per background: what it shows this pass, and what was presented of it.
    constexpr int VIEWS = RENDER_OWN_MAX + 1;
    pass_content contents[VIEWS];
    bool known[VIEWS] = {};
    bool presented_video[VIEWS] = {};
    bool presented_transition[VIEWS] = {};
    media_view views[VIEWS];
    pass_count++;
    output_state *next = nullptr;
    for (output_state *output = ctx->outputs; output; output = next) {
        next = output->next;
        if (!output->configured || !output->dirty || !output->attached || output->skipped ||
            !output->frame_ready) {
            continue;
        }
        media_view view = render_view_of(output);
        if (!known[view.id]) {
            known[view.id] = true;
            views[view.id] = view;
            contents[view.id] = content_of(view);
        }
        const pass_content &content = contents[view.id];
        // A new video's first frame waits until the transition image can go over it.
        if (content.held) {
            continue;
        }
        int64_t now = now_ms();
        if (now - output->last_power_probe > POWER_PROBE_SPACING_MS) {
            if (probe_power(output, now)) {
                continue;
            }
        } else if (output->dpms_off) {
            continue;
        }
        output->dirty = false;

        int32_t width = 0;
        int32_t height = 0;
        output_buffer_size(output, &width, &height);
        const picture_fit &fit = render_fit_of(output->name);
        shm_buffer *buffer = nullptr;
        bool drawn = false;
        if (g_app.shm) {
            buffer =
                width > 0 && height > 0 ? shm_picture(view, content, fit, width, height) : nullptr;
            if (!buffer) {
                // Every buffer is held: the next release draws it.
                output->dirty = true;
                continue;
            }
            drawn = true;
        } else {
            output_resize_window(output);
            shared_picture *shared = shared_drawn(view, content, fit, width, height);
            if (shared && copy_shared(shared, output, width, height)) {
                drawn = true;
            } else if (egl_make_current(egl, output->egl_surface, width, height) == 0) {
                draw_picture(view, content, fit, width, height);
                drawn = true;
            }
        }
        if (present(output, content.needs_frames, content.animating, buffer) && drawn) {
            presented_video[view.id] = presented_video[view.id] || content.show_video;
            presented_transition[view.id] =
                presented_transition[view.id] || (content.show_video && content.transition_shown);
        }
    }
    forget_unshared();
    shm_retire_unused(g_app.shm);

    for (int id = 0; id < VIEWS; id++) {
        if (!known[id]) {
            continue;
        }
        const media_view &view = views[id];
        if (contents[id].playing && presented_video[id]) {
            video_report_swap(view.video);
        }
        if (presented_transition[id] && still_transition_done(view.transition)) {
            still_clear(view.transition);
            render_mark_dirty(view.own);
        }
    }
    wl_display_flush(ctx->display);
}
