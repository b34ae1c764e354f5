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
    bool off = drm_output_off(DRM_DIR, output->name) == 1;
    if (off != output->dpms_off) {
        log_info("output %s dpms %s", output->name, off ? "off" : "on");
    }
    output->dpms_off = off;
    output->last_power_probe = now;
    return off;
}

} // namespace

void render_attach_surfaces(void) {
    output_surface_hooks hooks = {surface_attach, surface_release, g_app.egl};
    wayland_set_surface_hooks(g_app.wayland, &hooks);
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
        bool showed_video = false;
        bool showed_transition = false;
        if (egl_make_current(egl, output->egl_surface, width, height) == 0) {
            if (show_video) {
                video_render_screen(g_app.video, 0, width, height);
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

    if (playing && presented_video) {
        video_report_swap(g_app.video);
    }
    if (presented_transition && still_transition_done(g_app.transition)) {
        still_clear(g_app.transition);
        wayland_mark_all_dirty(ctx);
    }
    wl_display_flush(ctx->display);
}
