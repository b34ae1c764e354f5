// Compositor connection and one background layer surface per output.
#include "wayland.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <wayland-egl.h>

#include "fractional-scale-v1-client-protocol.h"
#include "log.h"
#include "viewporter-client-protocol.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"

namespace {

constexpr const char *LAYER_NAMESPACE = "kiv-background";
constexpr uint32_t ANCHOR_ALL =
    ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
    ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT;

void output_update_buffer_size(output_state *output) {
    output_buffer_size(output, &output->buffer_width, &output->buffer_height);
}

// wl_output

void output_handle_geometry(void *, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t,
                            const char *, const char *, int32_t) {}

void output_handle_mode(void *, wl_output *, uint32_t, int32_t, int32_t, int32_t) {}

void output_handle_done(void *, wl_output *) {}

void output_handle_scale(void *data, wl_output *, int32_t factor) {
    auto *output = static_cast<output_state *>(data);
    if (factor < 1 || factor == output->scale) {
        return;
    }
    output->scale = factor;
    log_info("output %s scale %d", output->name, factor);
    // With a fractional scale object the viewport does the scaling.
    if (output->fractional_scale) {
        return;
    }
    wl_surface_set_buffer_scale(output->surface, factor);
    output_update_buffer_size(output);
    output->dirty = true;
    wayland_mark_all_dirty(output->wayland);
}

void output_handle_name(void *data, wl_output *, const char *name) {
    auto *output = static_cast<output_state *>(data);
    if (name && name[0]) {
        snprintf(output->name, sizeof output->name, "%s", name);
    }
}

void output_handle_description(void *, wl_output *, const char *) {}

const wl_output_listener output_listener = {
    .geometry = output_handle_geometry,
    .mode = output_handle_mode,
    .done = output_handle_done,
    .scale = output_handle_scale,
    .name = output_handle_name,
    .description = output_handle_description,
};

// wp_fractional_scale_v1

void fractional_scale_handle_preferred_scale(void *data, wp_fractional_scale_v1 *, uint32_t scale) {
    auto *output = static_cast<output_state *>(data);
    if (scale == 0 || static_cast<int32_t>(scale) == output->preferred_scale) {
        return;
    }
    output->preferred_scale = static_cast<int32_t>(scale);
    output_update_buffer_size(output);
    if (output->viewport && output->logical_width > 0 && output->logical_height > 0) {
        wp_viewport_set_destination(output->viewport, output->logical_width,
                                    output->logical_height);
    }
    log_info("output %s preferred scale %d/120", output->name, output->preferred_scale);
    output->dirty = true;
    wayland_mark_all_dirty(output->wayland);
}

const wp_fractional_scale_v1_listener fractional_scale_listener = {
    .preferred_scale = fractional_scale_handle_preferred_scale,
};

// Tells the compositor that nothing under the wallpaper shows through, so it
// may skip drawing what lies beneath. Takes effect with the next commit.
void set_opaque_region(output_state *output) {
    wl_region *region = wl_compositor_create_region(output->wayland->compositor);
    if (!region) {
        return;
    }
    wl_region_add(region, 0, 0, output->logical_width, output->logical_height);
    wl_surface_set_opaque_region(output->surface, region);
    wl_region_destroy(region);
}

// Gives a configured output its EGL surface, the window sized to the
// output first: making the surface current fixes the size of its first
// buffer, and a still shown then is never drawn again.
bool attach_surface(wayland_context *ctx, output_state *output) {
    output_resize_window(output);
    if (!ctx->hooks.attach(ctx->hooks.data, output)) {
        log_error("%s surface attach failed for output %s", ctx->hooks.kind, output->name);
        return false;
    }
    output->attached = true;
    log_info("%s surface attached for output %s (%dx%d@%d)", ctx->hooks.kind, output->name,
             output->logical_width, output->logical_height, output->scale);
    output->dirty = true;
    return true;
}

// zwlr_layer_surface_v1

void layer_surface_handle_configure(void *data, zwlr_layer_surface_v1 *layer_surface,
                                    uint32_t serial, uint32_t width, uint32_t height) {
    auto *output = static_cast<output_state *>(data);
    if (width != 0) {
        output->logical_width = static_cast<int32_t>(width);
    }
    if (height != 0) {
        output->logical_height = static_cast<int32_t>(height);
    }
    output->frame_ready = true;
    output_update_buffer_size(output);
    if (output->fractional_scale && output->viewport && output->logical_width > 0 &&
        output->logical_height > 0) {
        wp_viewport_set_destination(output->viewport, output->logical_width,
                                    output->logical_height);
    }
    set_opaque_region(output);
    log_debug("layer configure %s %dx%d buffer %dx%d", output->name, output->logical_width,
              output->logical_height, output->buffer_width, output->buffer_height);
    zwlr_layer_surface_v1_ack_configure(layer_surface, serial);
    if (output->configured) {
        output->dirty = true;
        wayland_mark_all_dirty(output->wayland);
        return;
    }
    output->configured = true;
    output->dirty = true;
    wayland_context *ctx = output->wayland;
    if (ctx->hooks.attach && !output->attached && !attach_surface(ctx, output)) {
        output_destroy(ctx, output);
    }
}

void layer_surface_handle_closed(void *data, zwlr_layer_surface_v1 *) {
    auto *output = static_cast<output_state *>(data);
    log_warn("layer surface closed for output %s", output->name);
    output_destroy(output->wayland, output);
}

const zwlr_layer_surface_v1_listener layer_surface_listener = {
    .configure = layer_surface_handle_configure,
    .closed = layer_surface_handle_closed,
};

// wl_callback of a frame request

void frame_handle_done(void *data, wl_callback *callback, uint32_t) {
    auto *output = static_cast<output_state *>(data);
    wl_callback_destroy(callback);
    output->frame_callback = nullptr;
    output->frame_ready = true;
    if (output->redraw_on_frame) {
        output->dirty = true;
    }
}

const wl_callback_listener frame_listener = {
    .done = frame_handle_done,
};

// wl_registry

void registry_handle_global(void *data, wl_registry *, uint32_t name, const char *interface,
                            uint32_t version) {
    wayland_handle_global(static_cast<wayland_context *>(data), name, interface, version);
}

void registry_handle_global_remove(void *data, wl_registry *, uint32_t name) {
    wayland_handle_global_remove(static_cast<wayland_context *>(data), name);
}

const wl_registry_listener registry_listener = {
    .global = registry_handle_global,
    .global_remove = registry_handle_global_remove,
};

void bind_output(wayland_context *ctx, uint32_t name, uint32_t version) {
    auto *wl_out = static_cast<wl_output *>(
        wl_registry_bind(ctx->registry, name, &wl_output_interface, version));
    if (wl_out) {
        output_create(ctx, wl_out, name);
    }
}

void free_pending_outputs(wayland_context *ctx) {
    while (ctx->pending_outputs) {
        pending_output *next = ctx->pending_outputs->next;
        free(ctx->pending_outputs);
        ctx->pending_outputs = next;
    }
}

// Whole-item match of name in a comma-separated list; empty items match nothing.
bool list_contains(const char *list, const char *name) {
    size_t name_len = strlen(name);
    const char *item = list;
    while (*item) {
        const char *end = strchr(item, ',');
        size_t len = end ? static_cast<size_t>(end - item) : strlen(item);
        if (len > 0 && len == name_len && memcmp(item, name, len) == 0) {
            return true;
        }
        if (!end) {
            break;
        }
        item = end + 1;
    }
    return false;
}

} // namespace

void wayland_handle_global(wayland_context *ctx, uint32_t name, const char *interface,
                           uint32_t version) {
    if (strcmp(interface, wl_compositor_interface.name) == 0) {
        if (version < 3 || ctx->compositor) {
            return;
        }
        ctx->compositor_version = version == 3 ? 3 : 4;
        ctx->compositor = static_cast<wl_compositor *>(wl_registry_bind(
            ctx->registry, name, &wl_compositor_interface, ctx->compositor_version));
    } else if (strcmp(interface, wl_shm_interface.name) == 0) {
        if (!ctx->shm) {
            ctx->shm =
                static_cast<wl_shm *>(wl_registry_bind(ctx->registry, name, &wl_shm_interface, 1));
        }
    } else if (strcmp(interface, zwlr_layer_shell_v1_interface.name) == 0) {
        if (!ctx->layer_shell) {
            ctx->layer_shell = static_cast<zwlr_layer_shell_v1 *>(
                wl_registry_bind(ctx->registry, name, &zwlr_layer_shell_v1_interface, 1));
        }
    } else if (strcmp(interface, wp_viewporter_interface.name) == 0) {
        if (!ctx->viewporter) {
            ctx->viewporter = static_cast<wp_viewporter *>(
                wl_registry_bind(ctx->registry, name, &wp_viewporter_interface, 1));
        }
    } else if (strcmp(interface, wp_fractional_scale_manager_v1_interface.name) == 0) {
        if (!ctx->fractional_scale_manager) {
            ctx->fractional_scale_manager =
                static_cast<wp_fractional_scale_manager_v1 *>(wl_registry_bind(
                    ctx->registry, name, &wp_fractional_scale_manager_v1_interface, 1));
        }
    } else if (strcmp(interface, wl_output_interface.name) == 0) {
        uint32_t v = std::min<uint32_t>(version, 4);
        if (ctx->ready && ctx->compositor && ctx->layer_shell) {
            bind_output(ctx, name, v);
            return;
        }
        auto *pending = static_cast<pending_output *>(calloc(1, sizeof(pending_output)));
        if (!pending) {
            log_error("cannot remember output global %u: out of memory", name);
            return;
        }
        pending->registry_name = name;
        pending->version = v;
        pending->next = ctx->pending_outputs;
        ctx->pending_outputs = pending;
    }
}

void wayland_handle_global_remove(wayland_context *ctx, uint32_t name) {
    for (pending_output **link = &ctx->pending_outputs; *link; link = &(*link)->next) {
        if ((*link)->registry_name == name) {
            pending_output *gone = *link;
            *link = gone->next;
            free(gone);
            return;
        }
    }
    for (output_state *output = ctx->outputs; output; output = output->next) {
        if (output->registry_name == name) {
            output_destroy(ctx, output);
            return;
        }
    }
}

wayland_context *wayland_init(void) {
    auto *ctx = static_cast<wayland_context *>(calloc(1, sizeof(wayland_context)));
    if (!ctx) {
        log_error("wayland context: out of memory");
        return nullptr;
    }
    ctx->display = wl_display_connect(nullptr);
    if (!ctx->display) {
        log_error("wl_display_connect failed");
        free(ctx);
        return nullptr;
    }
    ctx->registry = wl_display_get_registry(ctx->display);
    if (!ctx->registry) {
        log_error("compositor lacks wl_compositor or wlr-layer-shell");
        wayland_free(ctx);
        return nullptr;
    }
    wl_registry_add_listener(ctx->registry, &registry_listener, ctx);
    if (wl_display_roundtrip(ctx->display) < 0 || !ctx->compositor || !ctx->layer_shell) {
        log_error("compositor lacks wl_compositor or wlr-layer-shell");
        wayland_free(ctx);
        return nullptr;
    }
    ctx->ready = true;
    while (ctx->pending_outputs) {
        pending_output *pending = ctx->pending_outputs;
        ctx->pending_outputs = pending->next;
        bind_output(ctx, pending->registry_name, pending->version);
        free(pending);
    }
    if (wl_display_roundtrip(ctx->display) < 0) {
        wayland_free(ctx);
        return nullptr;
    }
    log_info("wayland ready, outputs=%d", static_cast<int>(ctx->output_count));
    return ctx;
}

void wayland_destroy_outputs(wayland_context *ctx) {
    if (!ctx) {
        return;
    }
    free_pending_outputs(ctx);
    while (ctx->outputs) {
        output_destroy(ctx, ctx->outputs);
    }
}

void wayland_free(wayland_context *ctx) {
    if (!ctx) {
        return;
    }
    wayland_destroy_outputs(ctx);
    if (ctx->fractional_scale_manager) {
        wp_fractional_scale_manager_v1_destroy(ctx->fractional_scale_manager);
    }
    if (ctx->viewporter) {
        wp_viewporter_destroy(ctx->viewporter);
    }
    if (ctx->layer_shell) {
        // Version 1 has no destroy request: drop the proxy only.
        wl_proxy_destroy(reinterpret_cast<wl_proxy *>(ctx->layer_shell));
    }
    if (ctx->shm) {
        wl_shm_destroy(ctx->shm);
    }
    if (ctx->compositor) {
        wl_compositor_destroy(ctx->compositor);
    }
    if (ctx->registry) {
        wl_registry_destroy(ctx->registry);
    }
    if (ctx->display) {
        wl_display_disconnect(ctx->display);
    }
    free(ctx);
}

void wayland_set_surface_hooks(wayland_context *ctx, const output_surface_hooks *hooks) {
    if (!ctx) {
        return;
    }
    ctx->hooks = hooks ? *hooks : output_surface_hooks{};
    if (!ctx->hooks.attach) {
        return;
    }
    // Outputs not configured yet get theirs with their first configure.
    for (output_state *output = ctx->outputs; output; output = output->next) {
        if (output->configured && !output->attached && output->egl_window) {
            attach_surface(ctx, output);
        }
    }
}

int wayland_fd(const wayland_context *ctx) {
    return ctx && ctx->display ? wl_display_get_fd(ctx->display) : -1;
}

int wayland_dispatch_pending(wayland_context *ctx) {
    if (!ctx || !ctx->display) {
        return -1;
    }
    return wl_display_dispatch_pending(ctx->display);
}

int wayland_read_events(wayland_context *ctx) {
    if (!ctx || !ctx->display) {
        return -1;
    }
    if (wl_display_prepare_read(ctx->display) != 0) {
        // Events are queued already: dispatch them without reading.
        return wl_display_dispatch_pending(ctx->display) < 0 ? -1 : 0;
    }
    if (wl_display_read_events(ctx->display) < 0) {
        return -1;
    }
    return wl_display_dispatch_pending(ctx->display) < 0 ? -1 : 0;
}

wl_surface *wayland_create_hidden_surface(wayland_context *ctx) {
    if (!ctx || !ctx->compositor) {
        return nullptr;
    }
    wl_surface *surface = wl_compositor_create_surface(ctx->compositor);
    if (!surface) {
        log_error("cannot create a hidden surface");
    }
    return surface;
}

output_state *wayland_outputs(const wayland_context *ctx) {
    return ctx ? ctx->outputs : nullptr;
}

uint32_t wayland_output_count(const wayland_context *ctx) {
    return ctx ? ctx->output_count : 0;
}

void wayland_max_buffer_size(const wayland_context *ctx, int32_t *width, int32_t *height) {
    int32_t max_w = 0;
    int32_t max_h = 0;
    for (const output_state *output = wayland_outputs(ctx); output; output = output->next) {
        int32_t w = 0;
        int32_t h = 0;
        output_buffer_size(output, &w, &h);
        max_w = std::max(max_w, w);
        max_h = std::max(max_h, h);
    }
    *width = max_w;
    *height = max_h;
}

void wayland_mark_all_dirty(wayland_context *ctx) {
    for (output_state *output = wayland_outputs(ctx); output; output = output->next) {
        output->dirty = true;
    }
}

void wayland_set_skipped(wayland_context *ctx, const char *list) {
    if (!ctx) {
        return;
    }
    if (!list) {
        list = "";
    }
    bool changed = false;
    for (output_state *output = ctx->outputs; output; output = output->next) {
        bool listed = list_contains(list, output->name);
        if (listed != output->skipped) {
            output->skipped = listed;
            changed = true;
        }
    }
    // Every output is drawn again: a skipped one stays untouched until it is
    // listed no longer, and then needs its frame.
    if (changed) {
        wayland_mark_all_dirty(ctx);
    }
}

void wayland_skipped_list(const wayland_context *ctx, char *buf, size_t size) {
    if (!buf || size == 0) {
        return;
    }
    buf[0] = '\0';
    size_t len = 0;
    for (const output_state *output = wayland_outputs(ctx); output; output = output->next) {
        if (!output->skipped && !output->dpms_off) {
            continue;
        }
        const char *parts[2] = {len > 0 ? "," : "", output->name};
        for (const char *part : parts) {
            for (; *part && len + 1 < size; part++) {
                buf[len++] = *part;
            }
        }
        buf[len] = '\0';
    }
}

void output_buffer_size(const output_state *output, int32_t *width, int32_t *height) {
    uint64_t scale = 120;
    if (output->fractional_scale && output->preferred_scale > 0) {
        scale = static_cast<uint64_t>(output->preferred_scale);
    } else if (output->scale > 0) {
        scale = static_cast<uint64_t>(output->scale) * 120;
    }
    auto scaled = [scale](int32_t logical) -> int32_t {
        if (logical <= 0) {
            return 0;
        }
        return static_cast<int32_t>((static_cast<uint64_t>(logical) * scale + 119) / 120);
    };
    *width = scaled(output->logical_width);
    *height = scaled(output->logical_height);
}

output_state *output_create(wayland_context *ctx, wl_output *wl_out, uint32_t registry_name) {
    auto *output = static_cast<output_state *>(calloc(1, sizeof(output_state)));
    if (!output) {
        log_error("output record: out of memory");
        wl_output_destroy(wl_out);
        return nullptr;
    }
    output->wayland = ctx;
    output->registry_name = registry_name;
    output->output = wl_out;
    output->scale = 1;
    output->frame_ready = true;
    output->egl_surface = EGL_NO_SURFACE;
    snprintf(output->name, sizeof output->name, "output-%p", static_cast<void *>(wl_out));

    wl_output_add_listener(wl_out, &output_listener, output);

    output->surface = wl_compositor_create_surface(ctx->compositor);
    if (!output->surface) {
        log_error("cannot create surface for output %s", output->name);
        output_destroy(ctx, output);
        return nullptr;
    }
    wl_surface_set_buffer_scale(output->surface, 1);

    if (ctx->viewporter) {
        output->viewport = wp_viewporter_get_viewport(ctx->viewporter, output->surface);
    }
    if (ctx->fractional_scale_manager && output->viewport) {
        output->fractional_scale = wp_fractional_scale_manager_v1_get_fractional_scale(
            ctx->fractional_scale_manager, output->surface);
        if (output->fractional_scale) {
            wp_fractional_scale_v1_add_listener(output->fractional_scale,
                                                &fractional_scale_listener, output);
        }
    }

    output->layer_surface = zwlr_layer_shell_v1_get_layer_surface(
        ctx->layer_shell, output->surface, wl_out, ZWLR_LAYER_SHELL_V1_LAYER_BACKGROUND,
        LAYER_NAMESPACE);
    if (!output->layer_surface) {
        log_error("cannot create layer surface for output %s", output->name);
        output_destroy(ctx, output);
        return nullptr;
    }
    zwlr_layer_surface_v1_add_listener(output->layer_surface, &layer_surface_listener, output);
    zwlr_layer_surface_v1_set_size(output->layer_surface, 0, 0);
    zwlr_layer_surface_v1_set_anchor(output->layer_surface, ANCHOR_ALL);
    zwlr_layer_surface_v1_set_exclusive_zone(output->layer_surface, -1);
    zwlr_layer_surface_v1_set_keyboard_interactivity(
        output->layer_surface, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);

    // An empty input region lets pointer input pass through the wallpaper.
    wl_region *region = wl_compositor_create_region(ctx->compositor);
    if (region) {
        wl_surface_set_input_region(output->surface, region);
        wl_region_destroy(region);
    }
    wl_surface_commit(output->surface);

    output->egl_window = wl_egl_window_create(output->surface, OUTPUT_INITIAL_WINDOW_SIZE,
                                              OUTPUT_INITIAL_WINDOW_SIZE);
    if (!output->egl_window) {
        log_error("wl_egl_window_create failed for output %s", output->name);
        output_destroy(ctx, output);
        return nullptr;
    }
    output->next = ctx->outputs;
    ctx->outputs = output;
    ctx->output_count++;
    return output;
}

void output_destroy(wayland_context *ctx, output_state *output) {
    if (!output) {
        return;
    }
    if (output->frame_callback) {
        wl_callback_destroy(output->frame_callback);
    }
    if (output->fractional_scale) {
        wp_fractional_scale_v1_destroy(output->fractional_scale);
    }
    if (output->viewport) {
        wp_viewport_destroy(output->viewport);
    }
    if (ctx && ctx->hooks.release && output->attached) {
        ctx->hooks.release(ctx->hooks.data, output);
        output->attached = false;
    }
    if (output->egl_window) {
        wl_egl_window_destroy(output->egl_window);
    }
    if (output->layer_surface) {
        zwlr_layer_surface_v1_destroy(output->layer_surface);
    }
    if (output->surface) {
        wl_surface_destroy(output->surface);
    }
    if (output->output) {
        // Tell the compositor too when the bound version can, so it frees its
        // side of a removed monitor.
        if (wl_output_get_version(output->output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
            wl_output_release(output->output);
        } else {
            wl_output_destroy(output->output);
        }
    }
    if (ctx) {
        for (output_state **link = &ctx->outputs; *link; link = &(*link)->next) {
            if (*link == output) {
                *link = output->next;
                ctx->output_count--;
                break;
            }
        }
    }
    free(output);
}

void output_request_frame(output_state *output, bool redraw) {
    if (!output || !output->surface) {
        return;
    }
    output->redraw_on_frame = redraw;
    if (output->frame_callback) {
        return;
    }
    output->frame_callback = wl_surface_frame(output->surface);
    if (output->frame_callback) {
        wl_callback_add_listener(output->frame_callback, &frame_listener, output);
    }
}

void output_resize_window(output_state *output) {
    int32_t width = 0;
    int32_t height = 0;
    output_buffer_size(output, &width, &height);
    if (output->egl_window && width > 0 && height > 0 &&
        (width != output->window_width || height != output->window_height)) {
        wl_egl_window_resize(output->egl_window, width, height, 0, 0);
        output->window_width = width;
        output->window_height = height;
    }
}
