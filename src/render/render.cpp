// The renderer's state record and the render pass: which output shows what,
// gated on the monitor's power, paced by the compositor's frame events.
#include "render.h"

#include "drm.h"
#include "egl.h"
#include "log.h"
#include "mpv.h"
#include "still.h"
#include "wayland.h"

render_app g_app;

namespace {

constexpr int64_t POWER_PROBE_SPACING_MS = 20;
constexpr const char *DRM_DIR = "/sys/class/drm";
// Distinct output sizes shared by two or more outputs at a time.
constexpr int MAX_SHARED_SIZES = 8;

// Outputs of one buffer size show the same picture. The first of them drawn
// in a pass keeps its back buffer unswapped until the pass ends and the
// others copy it, so a video frame is rendered once for all of them.
struct held_picture {
    output_state *output;
    int32_t width;
    int32_t height;
    bool showed_video;
    bool showed_transition;
};

// Sizes whose outputs share one picture now, for the log.
struct shared_size {
    int32_t width;
    int32_t height;
};

shared_size shared_sizes[MAX_SHARED_SIZES];

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

bool drawable(const output_state *output) {
    return output->configured && output->egl_surface != EGL_NO_SURFACE && !output->skipped &&
           !output->dpms_off;
}

// Drawn in this pass unless its monitor turns out to be off.
bool due(const output_state *output) {
    return drawable(output) && output->dirty && output->frame_ready;
}

// Outputs of this buffer size that pass the test.
int outputs_of_size(int32_t width, int32_t height, bool (*test)(const output_state *)) {
    int count = 0;
    for (const output_state *o = wayland_outputs(g_app.wayland); o; o = o->next) {
        int32_t w = 0;
        int32_t h = 0;
        output_buffer_size(o, &w, &h);
        if (test(o) && w == width && h == height) {
            count++;
        }
    }
    return count;
}

void note_shared(int32_t width, int32_t height) {
    shared_size *free_slot = nullptr;
    for (shared_size &s : shared_sizes) {
        if (s.width == width && s.height == height) {
            return;
        }
        if (s.width == 0 && !free_slot) {
            free_slot = &s;
        }
    }
    if (free_slot) {
        *free_slot = {width, height};
        log_info("one picture drawn for the outputs of %dx%d", width, height);
    }
}

// Forgets the sizes no two drawable outputs share any more.
void forget_unshared() {
    for (shared_size &s : shared_sizes) {
        if (s.width != 0 && outputs_of_size(s.width, s.height, drawable) < 2) {
            s = {};
        }
    }
}

// Swaps what was drawn into the output's back buffer. False when the output
// took nothing: its monitor went off meanwhile or the swap failed.
bool present(output_state *output, bool needs_frames, bool animating) {
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
    if (egl_swap(g_app.egl, output->egl_surface, output->name) != 0) {
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

void render_attach_surfaces(void) {
    output_surface_hooks hooks = {surface_attach, surface_release, g_app.egl};
    wayland_set_surface_hooks(g_app.wayland, &hooks);
}

void render_finish(void) {
    for (shared_size &s : shared_sizes) {
        s = {};
    }
}

bool render_waiting(void) {
    if (still_has_texture(g_app.transition)) {
        return true;
    }
    for (const output_state *o = wayland_outputs(g_app.wayland); o; o = o->next) {
        if (o->dirty && o->dpms_off) {
            return true;
        }
    }
    return false;
}

void render_outputs(void) {
    wayland_context *ctx = g_app.wayland;
    egl_state *egl = g_app.egl;
    if (!ctx || !egl) {
        return;
    }
    bool has_video = g_app.video && video_has_media(g_app.video);
    bool transition_shown = g_app.transition && still_has_texture(g_app.transition);
    // A new video's first frame waits until the transition image can go over it.
    if (has_video && g_app.transition && still_transition_pending(g_app.transition)) {
        wl_display_flush(ctx->display);
        return;
    }
    bool playing = has_video && !g_app.paused;
    bool still_shown = g_app.still && still_has_texture(g_app.still);
    bool animating = (still_shown && still_animating(g_app.still)) ||
                     (transition_shown && still_animating(g_app.transition));
    bool needs_frames = playing || animating;

    bool presented_video = false;
    bool presented_transition = false;
    held_picture held[MAX_SHARED_SIZES] = {};
    int held_count = 0;
    output_state *next = nullptr;
    for (output_state *output = ctx->outputs; output; output = next) {
        next = output->next;
        if (!output->configured || !output->dirty || output->egl_surface == EGL_NO_SURFACE ||
            output->skipped || !output->frame_ready) {
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
        output_resize_window(output);
        const held_picture *source = nullptr;
        for (int i = 0; i < held_count; i++) {
            if (held[i].width == width && held[i].height == height) {
                source = &held[i];
            }
        }
        if (source && egl_copy_surface(egl, output->egl_surface, source->output->egl_surface, width,
                                       height) == 0) {
            note_shared(width, height);
            if (present(output, needs_frames, animating)) {
                presented_video = presented_video || source->showed_video;
                presented_transition = presented_transition || source->showed_transition;
            }
            continue;
        }

        bool show_video = playing || (!still_shown && has_video);
        bool drew = egl_make_current(egl, output->egl_surface, width, height) == 0;
        bool showed_video = false;
        bool showed_transition = false;
        if (drew) {
            if (show_video) {
                drew = video_render_screen(g_app.video, 0, width, height) == 0;
                showed_video = true;
                if (transition_shown) {
                    still_draw_overlay(g_app.transition, width, height);
                    showed_transition = true;
                }
            } else if (still_shown) {
                still_draw(g_app.still, width, height);
            } else {
                egl_clear(egl, 0.0f, 0.0f, 0.0f, 1.0f);
            }
        }
        // Another output of this size drawn in this pass copies this picture.
        if (drew && !source && held_count < MAX_SHARED_SIZES &&
            outputs_of_size(width, height, due) >= 1) {
            held[held_count++] = {output, width, height, showed_video, showed_transition};
            continue;
        }
        if (present(output, needs_frames, animating)) {
            presented_video = presented_video || showed_video;
            presented_transition = presented_transition || showed_transition;
        }
    }
    // The pictures others copied go out last.
    for (int i = 0; i < held_count; i++) {
        const held_picture &h = held[i];
        if (egl_make_current(egl, h.output->egl_surface, h.width, h.height) == 0 &&
            present(h.output, needs_frames, animating)) {
            presented_video = presented_video || h.showed_video;
            presented_transition = presented_transition || h.showed_transition;
        } else {
            h.output->dirty = true;
        }
    }
    forget_unshared();

    if (playing && presented_video) {
        video_report_swap(g_app.video);
    }
    if (presented_transition && still_transition_done(g_app.transition)) {
        still_clear(g_app.transition);
        wayland_mark_all_dirty(ctx);
    }
    wl_display_flush(ctx->display);
}
