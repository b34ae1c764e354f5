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

// One video render per frame for all outputs of one buffer size: libmpv
// draws into the target once, each of those outputs copies it.
struct shared_frame {
    egl_target target;
    uint64_t frame_serial; // the video picture the target holds
    bool filled;
};

shared_frame shared_frames[MAX_SHARED_SIZES];

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

// Drawable outputs of this buffer size.
int outputs_of_size(int32_t width, int32_t height) {
    int count = 0;
    for (const output_state *o = wayland_outputs(g_app.wayland); o; o = o->next) {
        int32_t w = 0;
        int32_t h = 0;
        output_buffer_size(o, &w, &h);
        if (drawable(o) && w == width && h == height) {
            count++;
        }
    }
    return count;
}

// The target for outputs of this size; none when every slot is taken.
shared_frame *shared_frame_for(int32_t width, int32_t height) {
    shared_frame *free_slot = nullptr;
    for (shared_frame &f : shared_frames) {
        if (f.target.framebuffer != 0 && f.target.width == width && f.target.height == height) {
            return &f;
        }
        if (f.target.framebuffer == 0 && !free_slot) {
            free_slot = &f;
        }
    }
    if (!free_slot || egl_target_resize(g_app.egl, &free_slot->target, width, height) != 0) {
        return nullptr;
    }
    free_slot->filled = false;
    log_info("one video render shared by the outputs of %dx%d", width, height);
    return free_slot;
}

// Frees the targets no two drawable outputs share any more.
void drop_unshared_frames(bool has_video) {
    for (shared_frame &f : shared_frames) {
        if (f.target.framebuffer != 0 &&
            (!has_video || outputs_of_size(f.target.width, f.target.height) < 2)) {
            egl_target_free(g_app.egl, &f.target);
            f = {};
        }
    }
}

// Renders the video's current picture once for every output of this size;
// the shared target that holds it, or none to render directly.
shared_frame *render_shared(int32_t width, int32_t height) {
    if (outputs_of_size(width, height) < 2) {
        return nullptr;
    }
    shared_frame *frame = shared_frame_for(width, height);
    if (!frame) {
        return nullptr;
    }
    uint64_t serial = video_frame_serial(g_app.video);
    if (!frame->filled || frame->frame_serial != serial) {
        frame->filled =
            video_render_screen(g_app.video, frame->target.framebuffer, width, height) == 0;
        frame->frame_serial = serial;
    }
    return frame->filled ? frame : nullptr;
}

} // namespace

void render_attach_surfaces(void) {
    output_surface_hooks hooks = {surface_attach, surface_release, g_app.egl};
    wayland_set_surface_hooks(g_app.wayland, &hooks);
}

void render_finish(void) {
    for (shared_frame &f : shared_frames) {
        egl_target_free(g_app.egl, &f.target);
        f = {};
    }
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
        bool show_video = playing || (!still_shown && has_video);
        shared_frame *frame = show_video ? render_shared(width, height) : nullptr;
        bool showed_video = false;
        bool showed_transition = false;
        if (egl_make_current(egl, output->egl_surface, width, height) == 0) {
            if (show_video) {
                if (frame) {
                    egl_target_copy(egl, &frame->target);
                } else {
                    video_render_screen(g_app.video, 0, width, height);
                }
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

        // A monitor switched off meanwhile gets no frame; it is drawn once it is back.
        if (probe_power(output, now_ms())) {
            output->dirty = true;
            continue;
        }
        if (needs_frames) {
            // Requested before the swap so that it rides on the swap's commit.
            // Fades advance at the compositor's frame rate.
            output_request_frame(output, animating);
            output->frame_ready = false;
        }
        if (egl_swap(egl, output->egl_surface, output->name) != 0) {
            output->failed_presentations++;
            if (output->frame_callback) {
                wl_callback_destroy(output->frame_callback);
                output->frame_callback = nullptr;
            }
            output->dirty = true;
            output->frame_ready = true;
            continue;
        }
        output->presented_frames++;
        presented_video = presented_video || showed_video;
        presented_transition = presented_transition || showed_transition;
    }
    drop_unshared_frames(has_video);

    if (playing && presented_video) {
        video_report_swap(g_app.video);
    }
    if (presented_transition && still_transition_done(g_app.transition)) {
        still_clear(g_app.transition);
        wayland_mark_all_dirty(ctx);
    }
    wl_display_flush(ctx->display);
}
