#include "render_ipc.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <yyjson.h>

#include <epoxy/gl.h>

#include "config.h"
#include "drm.h"
#include "egl.h"
#include "feed.h"
#include "json.h"
#include "log.h"
#include "mpv.h"
#include "pixels.h"
#include "render.h"
#include "still.h"
#include "wayland.h"

static_assert(std::is_standard_layout_v<render_ipc> && offsetof(render_ipc, server) == 0,
              "render_ipc must begin with its ipc_server");

namespace {

constexpr const char *REPLY_OK = "{\"status\":\"ok\"}";
constexpr int STILL_DEFAULT_LIMIT = 4096;
constexpr int64_t FADE_MAX_MS = 2000;
constexpr int64_t VOLUME_MAX = 100;

void reply_error(ipc_stream *slot, const char *message) {
    char line[256];
    snprintf(line, sizeof line, "{\"status\":\"error\",\"message\":\"%s\"}", message);
    ipc_stream_queue_line(slot, line);
}

void copy_text(char *dst, size_t size, const char *src) {
    snprintf(dst, size, "%s", src);
}

bool pending_active(const render_ipc *ipc) {
    return ipc->pending.path[0] != '\0';
}

void pending_clear(render_ipc *ipc) {
    ipc->pending.client = -1;
    ipc->pending.serial = 0;
    ipc->pending.path[0] = '\0';
    ipc->pending.deadline = 0;
}

// The waiting slot, if it still holds the connection that asked.
ipc_stream *pending_slot(render_ipc *ipc) {
    int32_t client = ipc->pending.client;
    if (client < 0 || client >= IPC_MAX_CLIENTS)
        return nullptr;
    ipc_stream *slot = &ipc->server.slots[client];
    if (slot->fd < 0 || slot->connection != ipc->pending.serial)
        return nullptr;
    return slot;
}

void pending_reply(render_ipc *ipc, const char *line) {
    if (ipc_stream *slot = pending_slot(ipc))
        ipc_stream_queue_line(slot, line);
}

void pending_reply_error(render_ipc *ipc, const char *message) {
    if (ipc_stream *slot = pending_slot(ipc))
        reply_error(slot, message);
}

// An absolute path of an existing, readable regular file.
bool local_media_path(yyjson_val *value) {
    if (!json_is_plain_string(value))
        return false;
    const char *path = yyjson_get_str(value);
    if (path[0] != '/')
        return false;
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return access(path, R_OK) == 0;
}

void still_limit_size(int *width, int *height) {
    // Shown at its own size somewhere: decoded whole.
    if (render_fit_native()) {
        *width = 0;
        *height = 0;
        return;
    }
    int32_t w = 0;
    int32_t h = 0;
    wayland_max_buffer_size(g_app.wayland, &w, &h);
    *width = w > 0 ? w : STILL_DEFAULT_LIMIT;
    *height = h > 0 ? h : STILL_DEFAULT_LIMIT;
}

void load_still(render_ipc *ipc, ipc_stream *slot, yyjson_val *root, const char *path) {
    int width = 0;
    int height = 0;
    still_limit_size(&width, &height);
    if (still_load(g_app.still, path, width, height) != 0) {
        reply_error(slot, "still load failed");
        return;
    }
    render_ipc_finish_pending(ipc, "load superseded");
    ipc->error[0] = '\0';
    copy_text(ipc->pending.path, sizeof ipc->pending.path, path);
    if (yyjson_is_true(json_obj_first(root, "async"))) {
        ipc->pending.client = -1;
        ipc->pending.serial = 0;
        ipc->pending.deadline = now_ms() + RENDER_STILL_ASYNC_MS;
        ipc_stream_queue_line(slot, REPLY_OK);
        return;
    }
    ipc->pending.client = static_cast<int32_t>(slot - ipc->server.slots);
    ipc->pending.serial = slot->connection;
    ipc->pending.deadline = now_ms() + RENDER_STILL_WAIT_MS;
}

// The frame of the playing video as the transition image, at the size that
// covers the largest output; false when there is none to take.
bool take_video_frame(void) {
    int32_t video_width = 0;
    int32_t video_height = 0;
    if (!g_app.transition || !video_ready(g_app.video) ||
        video_size(g_app.video, &video_width, &video_height) != 0 ||
        (g_app.egl && egl_make_current_no_surface(g_app.egl) != 0))
        return false;
    int limit_width = 0;
    int limit_height = 0;
    still_limit_size(&limit_width, &limit_height);
    int width = 0;
    int height = 0;
    still_target_size(video_width, video_height, limit_width, limit_height, &width, &height);
    if (!g_app.egl) {
        size_t stride = static_cast<size_t>(width) * 4;
        auto *pixels = static_cast<uint8_t *>(malloc(stride * static_cast<size_t>(height)));
        if (!pixels) {
            log_error("no memory for a %dx%d video frame", width, height);
            return false;
        }
        if (video_render_memory(g_app.video, width, height, stride, pixels, "rgb0") != 0) {
            free(pixels);
            return false;
        }
        // The fourth byte is left undefined by the player; the frame is opaque.
        pixels_set_opaque(pixels, static_cast<int>(stride), width, height);
        still_take_pixels(g_app.transition, pixels, width, height);
        return true;
    }
    GLuint framebuffer = 0;
    GLuint texture = egl_texture_target(g_app.egl, width, height, &framebuffer);
    if (texture == 0)
        return false;
    bool drawn = video_render_fbo(g_app.video, framebuffer, width, height) == 0;
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    egl_delete_framebuffer(g_app.egl, framebuffer);
    if (!drawn) {
        egl_delete_texture(g_app.egl, texture);
        return false;
    }
    still_take_texture(g_app.transition, texture, width, height);
    return true;
}

void load_video(render_ipc *ipc, ipc_stream *slot, yyjson_val *root, const char *path) {
    bool once = yyjson_is_true(json_obj_first(root, "once"));
    bool mute = yyjson_is_true(json_obj_first(root, "mute"));
    // The same picture in another file (a smaller copy, or the original
    // again): it goes on where the playing one is, fading from its frame.
    bool seamless = !once && yyjson_is_true(json_obj_first(root, "seamless")) &&
                    strcmp(g_app.kind, "video") == 0 && video_has_media(g_app.video);
    double start_s = seamless ? video_time_pos(g_app.video) : 0;
    const char *from = nullptr;
    if (yyjson_val *value = json_obj_first(root, "from")) {
        if (local_media_path(value))
            from = yyjson_get_str(value);
        else
            log_warn("Transition image is not a readable local file");
    }
    bool frame_taken = seamless && !g_app.feed_active && g_app.fade_ms > 0 && take_video_frame();
    if (video_load_at(g_app.video, path, start_s) != 0) {
        if (frame_taken)
            still_clear(g_app.transition);
        reply_error(slot, "video load failed");
        return;
    }
    video_set_loop(g_app.video, !once);
    ipc->error[0] = '\0';
    video_set_mute(g_app.video, mute || g_app.feed_active);

    bool transition_handled = false;
    if (once) {
        g_app.paused = false;
        video_set_pause(g_app.video, false);
        g_app.intro = true;
    } else {
        g_app.intro = false;
        if (frame_taken) {
            still_begin_transition(g_app.transition, g_app.fade_ms);
            log_info("continuing at %.3f s in %s", start_s, path);
            transition_handled = true;
        } else if (from && !g_app.feed_active && g_app.fade_ms > 0 && g_app.transition) {
            still_clear(g_app.transition);
            int width = 0;
            int height = 0;
            still_limit_size(&width, &height);
            if (still_load(g_app.transition, from, width, height) == 0) {
                still_begin_transition(g_app.transition, g_app.fade_ms);
                log_info("transition from %s", from);
            }
            // A transition image that cannot start simply stays empty.
            transition_handled = true;
        }
    }
    if (!transition_handled)
        still_clear(g_app.transition);

    still_clear(g_app.still);
    render_ipc_finish_pending(ipc, "load superseded");
    if (!once)
        video_set_pause(g_app.video, g_app.paused);
    copy_text(g_app.path, sizeof g_app.path, path);
    copy_text(g_app.kind, sizeof g_app.kind, "video");
    ipc_stream_queue_line(slot, REPLY_OK);
}

// The names of a JSON array of output names joined with ","; false when it
// is not a non-empty array of names an output can have, or does not fit.
bool output_names(yyjson_val *outputs, char *list, size_t size) {
    if (!yyjson_is_arr(outputs) || yyjson_arr_size(outputs) == 0)
        return false;
    size_t len = 0;
    list[0] = '\0';
    size_t idx = 0;
    size_t max = 0;
    yyjson_val *item = nullptr;
    yyjson_arr_foreach(outputs, idx, max, item) {
        if (!yyjson_is_str(item))
            return false;
        const char *name = yyjson_get_str(item);
        size_t n = yyjson_get_len(item);
        if (n == 0 || n >= OUTPUT_NAME_SIZE || strnlen(name, n) != n || memchr(name, ',', n))
            return false;
        size_t need = (len > 0 ? 1 : 0) + n;
        if (len + need >= size)
            return false;
        if (len > 0)
            list[len++] = ',';
        memcpy(list + len, name, n);
        len += n;
        list[len] = '\0';
    }
    return true;
}

// Calls fn for each comma-separated name of list.
template <typename Fn> void each_name(const char *list, Fn fn) {
    for (const char *p = list; *p;) {
        const char *comma = strchr(p, ',');
        size_t n = comma ? static_cast<size_t>(comma - p) : strlen(p);
        char name[OUTPUT_NAME_SIZE];
        if (n > 0 && n < sizeof name) {
            memcpy(name, p, n);
            name[n] = '\0';
            fn(name);
        }
        if (!comma)
            break;
        p = comma + 1;
    }
}

// Whether every name of list is bound to own and nothing else is.
bool binding_is(const own_media &own, const char *list) {
    bool all = true;
    int count = 0;
    each_name(list, [&](const char *name) {
        count++;
        if (render_own_for(name) != &own)
            all = false;
    });
    int bound = 0;
    each_name(own.outputs, [&](const char *) { bound++; });
    return all && bound == count;
}

void own_free(own_media *own) {
    render_mark_dirty(own);
    video_destroy(own->video);
    still_destroy(own->still);
    still_destroy(own->transition);
    *own = own_media{};
}

// Takes name off whatever own background shows it; one left with no output
// is freed, so its player stops costing anything.
void unbind(const char *name, const own_media *keep) {
    own_media *own = render_own_for(name);
    if (!own || own == keep)
        return;
    char rest[RENDER_BINDING_SIZE] = "";
    size_t len = 0;
    each_name(own->outputs, [&](const char *item) {
        if (strcmp(item, name) == 0)
            return;
        size_t n = strlen(item);
        if (len + (len ? 1 : 0) + n >= sizeof rest)
            return;
        if (len)
            rest[len++] = ',';
        memcpy(rest + len, item, n + 1);
        len += n;
    });
    render_mark_dirty(own);
    copy_text(own->outputs, sizeof own->outputs, rest);
    if (!rest[0])
        own_free(own);
}

// Binds the names of list to own (taking them off any other), and draws them.
void bind(own_media *own, const char *list) {
    each_name(list, [&](const char *name) { unbind(name, own); });
    char joined[RENDER_BINDING_SIZE];
    each_name(list, [&](const char *name) {
        if (render_own_for(name) == own)
            return;
        size_t len = strlen(own->outputs);
        int n = snprintf(joined, sizeof joined, "%s%s%s", own->outputs, len ? "," : "", name);
        if (n > 0 && static_cast<size_t>(n) < sizeof joined)
            copy_text(own->outputs, sizeof own->outputs, joined);
    });
    render_mark_dirty(own);
}

// A load for some outputs: they get a background of their own. Outputs that
// ask for what another own background shows join it (one decode, one
// picture per size); outputs that alone share one change it in place (so
// it fades on them alone); others get a new one. Stills are answered at
// once; their outcome shows in the status.
void load_own(ipc_stream *slot, yyjson_val *root, yyjson_val *outputs, const char *path,
              const char *kind) {
    bool video = strcmp(kind, "video") == 0;
    if (!video && strcmp(kind, "still") != 0) {
        reply_error(slot, "unknown kind");
        return;
    }
    char list[RENDER_BINDING_SIZE];
    if (!output_names(outputs, list, sizeof list)) {
        reply_error(slot, "Invalid output list");
        return;
    }
    for (own_media &m : g_app.own) {
        if (m.used && !m.error[0] && strcmp(m.kind, kind) == 0 &&
            strcmp(m.pending_path[0] ? m.pending_path : m.path, path) == 0) {
            bind(&m, list);
            ipc_stream_queue_line(slot, REPLY_OK);
            return;
        }
    }
    own_media *own = nullptr;
    for (own_media &m : g_app.own)
        if (m.used && binding_is(m, list))
            own = &m;
    for (own_media &m : g_app.own)
        if (!own && !m.used)
            own = &m;
    if (!own) {
        reply_error(slot, "No room for another background");
        return;
    }
    bool fresh = !own->used;
    own->used = true;
    if (video) {
        if (!own->video)
            own->video = video_create(g_app.wayland ? g_app.wayland->display : nullptr,
                                      g_app.shm != nullptr);
        if (!own->transition)
            own->transition = still_create(g_app.egl);
        if (!own->video || video_load(own->video, path) != 0) {
            if (fresh)
                own_free(own);
            reply_error(slot, "video load failed");
            return;
        }
        video_set_loop(own->video, true);
        video_set_mute(own->video, true);
        const char *from = nullptr;
        if (yyjson_val *value = json_obj_first(root, "from"))
            if (local_media_path(value))
                from = yyjson_get_str(value);
        still_clear(own->transition);
        if (from && g_app.fade_ms > 0 && own->transition) {
            int width = 0;
            int height = 0;
            still_limit_size(&width, &height);
            if (still_load(own->transition, from, width, height) == 0)
                still_begin_transition(own->transition, g_app.fade_ms);
        }
        still_clear(own->still);
        own->pending_path[0] = '\0';
        copy_text(own->path, sizeof own->path, path);
        copy_text(own->kind, sizeof own->kind, "video");
    } else {
        if (!own->still) {
            own->still = still_create(g_app.egl);
            still_set_fade(own->still, g_app.fade_ms);
        }
        int width = 0;
        int height = 0;
        still_limit_size(&width, &height);
        if (!own->still || still_load(own->still, path, width, height) != 0) {
            if (fresh)
                own_free(own);
            reply_error(slot, "still load failed");
            return;
        }
        copy_text(own->pending_path, sizeof own->pending_path, path);
        own->pending_deadline = now_ms() + RENDER_STILL_ASYNC_MS;
        copy_text(own->kind, sizeof own->kind, "still");
    }
    own->error[0] = '\0';
    bind(own, list);
    render_sync_own_pause();
    ipc_stream_queue_line(slot, REPLY_OK);
}

// The named outputs show the default background again.
void handle_unload(ipc_stream *slot, yyjson_val *root) {
    char list[RENDER_BINDING_SIZE];
    if (!output_names(json_obj_first(root, "outputs"), list, sizeof list)) {
        reply_error(slot, "Invalid output list");
        return;
    }
    each_name(list, [](const char *name) { unbind(name, nullptr); });
    render_mark_dirty(nullptr);
    ipc_stream_queue_line(slot, REPLY_OK);
}

void handle_load(render_ipc *ipc, ipc_stream *slot, yyjson_val *root) {
    yyjson_val *path = json_obj_first(root, "path");
    yyjson_val *kind_value = json_obj_first(root, "kind");
    const char *kind = yyjson_is_str(kind_value) ? yyjson_get_str(kind_value) : "";
    if (!local_media_path(path)) {
        reply_error(slot, "Invalid local media path");
        return;
    }
    if (yyjson_val *outputs = json_obj_first(root, "outputs")) {
        load_own(slot, root, outputs, yyjson_get_str(path), kind);
        return;
    }
    if (strcmp(kind, "video") == 0)
        load_video(ipc, slot, root, yyjson_get_str(path));
    else if (strcmp(kind, "still") == 0)
        load_still(ipc, slot, root, yyjson_get_str(path));
    else
        reply_error(slot, "unknown kind");
}

void handle_skip(ipc_stream *slot, yyjson_val *root) {
    char list[RENDER_SKIP_LIST_SIZE] = "";
    size_t len = 0;
    yyjson_val *outputs = json_obj_first(root, "outputs");
    if (yyjson_is_arr(outputs)) {
        size_t idx = 0;
        size_t max = 0;
        yyjson_val *item = nullptr;
        bool full = false;
        yyjson_arr_foreach(outputs, idx, max, item) {
            if (full || !yyjson_is_str(item))
                continue;
            const char *name = yyjson_get_str(item);
            size_t name_len = yyjson_get_len(item);
            size_t need = (len > 0 ? 1 : 0) + name_len;
            size_t room = sizeof list - 1 - len;
            // The element that would overflow is cut and ends the list.
            if (need > room)
                full = true;
            if (len > 0 && room > 0) {
                list[len++] = ',';
                --room;
            }
            size_t take = name_len < room ? name_len : room;
            // Names holding a NUL byte end there.
            size_t text_len = strnlen(name, take);
            memcpy(list + len, name, text_len);
            len += text_len;
            list[len] = '\0';
        }
    }
    wayland_set_skipped(g_app.wayland, list);
    yyjson_val *pause_hidden = json_obj_first(root, "pause_hidden");
    g_app.pause_hidden = !yyjson_is_bool(pause_hidden) || yyjson_get_bool(pause_hidden);
    render_sync_own_pause();
    ipc_stream_queue_line(slot, REPLY_OK);
}

// A JSON integer from 0 to max; -1 for anything else.
int64_t integer_up_to(yyjson_val *value, int64_t max) {
    int64_t n = -1;
    if (yyjson_is_sint(value))
        n = yyjson_get_sint(value);
    else if (yyjson_is_uint(value))
        n = yyjson_get_uint(value) > static_cast<uint64_t>(max)
                ? max + 1
                : static_cast<int64_t>(yyjson_get_uint(value));
    return n < 0 || n > max ? -1 : n;
}

void handle_fade(ipc_stream *slot, yyjson_val *root) {
    int64_t value = integer_up_to(json_obj_first(root, "ms"), FADE_MAX_MS);
    if (value < 0) {
        reply_error(slot, "Fade must be an integer from 0 to 2000");
        return;
    }
    g_app.fade_ms = static_cast<int32_t>(value);
    still_set_fade(g_app.still, g_app.fade_ms);
    for (own_media &m : g_app.own)
        if (m.still)
            still_set_fade(m.still, g_app.fade_ms);
    ipc_stream_queue_line(slot, REPLY_OK);
}

// A fit word and a "#RRGGBB" colour (absent: base's colour) into out.
bool fit_from_json(yyjson_val *fit_value, yyjson_val *color_value, const picture_fit &base,
                   picture_fit *out, const char **error) {
    fit_mode mode = FIT_COVER;
    if (!yyjson_is_str(fit_value) || !fit_mode_from_word(yyjson_get_str(fit_value), &mode)) {
        *error = "Fit must be cover, contain, stretch or center";
        return false;
    }
    *out = base;
    out->mode = mode;
    if (!color_value)
        return true;
    uint32_t color = 0;
    if (!yyjson_is_str(color_value) || !color_from_text(yyjson_get_str(color_value), &color)) {
        *error = "Background color must be #RRGGBB";
        return false;
    }
    out->red = static_cast<float>((color >> 16) & 0xff) / 255.0f;
    out->green = static_cast<float>((color >> 8) & 0xff) / 255.0f;
    out->blue = static_cast<float>(color & 0xff) / 255.0f;
    return true;
}

// Replaces the whole fit table, or nothing when any part is invalid.
void handle_fit(render_ipc *ipc, ipc_stream *slot, yyjson_val *root) {
    const char *error = nullptr;
    picture_fit global = PICTURE_FIT_COVER;
    if (!fit_from_json(json_obj_first(root, "fit"), json_obj_first(root, "background_color"),
                       PICTURE_FIT_COVER, &global, &error)) {
        reply_error(slot, error);
        return;
    }
    render_output_fit table[RENDER_FIT_OUTPUTS] = {};
    int32_t count = 0;
    yyjson_val *outputs = json_obj_first(root, "outputs");
    if (outputs && !yyjson_is_arr(outputs)) {
        reply_error(slot, "Fit outputs must be at most 16 objects with a name");
        return;
    }
    size_t idx = 0;
    size_t max = 0;
    yyjson_val *item = nullptr;
    yyjson_arr_foreach(outputs, idx, max, item) {
        yyjson_val *name = yyjson_is_obj(item) ? json_obj_first(item, "name") : nullptr;
        if (count == RENDER_FIT_OUTPUTS || !json_is_plain_string(name) ||
            !config_output_name_valid(yyjson_get_str(name))) {
            reply_error(slot, "Fit outputs must be at most 16 objects with a name");
            return;
        }
        render_output_fit &entry = table[count++];
        copy_text(entry.name, sizeof entry.name, yyjson_get_str(name));
        yyjson_val *fit_value = json_obj_first(item, "fit");
        if (!fit_value)
            fit_value = json_obj_first(root, "fit");
        if (!fit_from_json(fit_value, json_obj_first(item, "background_color"), global, &entry.fit,
                           &error)) {
            reply_error(slot, error);
            return;
        }
    }
    g_app.fit = global;
    memcpy(g_app.fit_outputs, table, sizeof table);
    g_app.fit_output_count = count;
    wayland_mark_all_dirty(g_app.wayland);
    // A still decoded reduced is decoded again whole for an output that now
    // shows it at its own size.
    render_ipc_refresh_still(ipc);
    ipc_stream_queue_line(slot, REPLY_OK);
}

// Applies to the video playing now as well: the file is not reloaded.
void handle_volume(ipc_stream *slot, yyjson_val *root) {
    int64_t value = integer_up_to(json_obj_first(root, "level"), VOLUME_MAX);
    if (value < 0) {
        reply_error(slot, "Volume must be an integer from 0 to 100");
        return;
    }
    g_app.volume = static_cast<int32_t>(value);
    video_set_volume(g_app.video, g_app.volume);
    ipc_stream_queue_line(slot, REPLY_OK);
}

// Without a feed socket nobody could receive the frames: refusing lets the
// daemon pause the video instead of playing it for nobody.
void handle_feed(ipc_stream *slot) {
    if (!g_app.feed) {
        reply_error(slot, "lock feed unavailable");
        return;
    }
    still_clear(g_app.transition);
    feed_start(g_app.feed);
    g_app.paused = false;
    g_app.feed_active = true;
    video_set_mute(g_app.video, true);
    video_set_pause(g_app.video, false);
    render_sync_own_pause();
    ipc_stream_queue_line(slot, REPLY_OK);
}

void handle_stop(render_ipc *ipc) {
    render_end_feed(&g_app);
    video_stop(g_app.video);
    still_clear(g_app.transition);
    still_clear(g_app.still);
    g_app.path[0] = '\0';
    g_app.kind[0] = '\0';
    g_app.intro = false;
    wayland_mark_all_dirty(g_app.wayland);
    render_ipc_finish_pending(ipc, "load cancelled");
    ipc->error[0] = '\0';
}

} // namespace

void render_free_own(void) {
    for (own_media &m : g_app.own)
        own_free(&m);
}

render_ipc *render_ipc_create(const char *path) {
    auto *ipc = reinterpret_cast<render_ipc *>(ipc_server_create_sized(path, sizeof(render_ipc)));
    if (!ipc)
        return nullptr;
    pending_clear(ipc);
    ipc->error[0] = '\0';
    return ipc;
}

void render_ipc_free(render_ipc *ipc) {
    if (ipc)
        ipc_server_destroy(&ipc->server);
}

void render_ipc_finish_pending(render_ipc *ipc, const char *message) {
    if (!ipc)
        return;
    pending_reply_error(ipc, message);
    pending_clear(ipc);
}

void render_end_feed(render_app *app) {
    if (!app || !app->feed_active)
        return;
    feed_stop(app->feed);
    app->feed_active = false;
    video_set_pause(app->video, app->paused);
    video_set_mute(app->video, false);
    render_sync_own_pause();
    wayland_mark_all_dirty(g_app.wayland);
}

void render_ipc_handle_line(ipc_server *server, ipc_stream *slot, char *line) {
    auto *ipc = reinterpret_cast<render_ipc *>(server);
    json_doc_ptr doc(yyjson_read(line, strlen(line), 0));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) {
        reply_error(slot, "bad json");
        return;
    }
    yyjson_val *cmd_value = json_obj_first(root, "cmd");
    const char *cmd = yyjson_is_str(cmd_value) ? yyjson_get_str(cmd_value) : "";

    if (strcmp(cmd, "hello") == 0) {
        ipc_stream_queue_line(slot, "{\"status\":\"ok\",\"version\":1}");
    } else if (strcmp(cmd, "load") == 0) {
        handle_load(ipc, slot, root);
    } else if (strcmp(cmd, "unload") == 0) {
        handle_unload(slot, root);
    } else if (strcmp(cmd, "pause") == 0) {
        render_end_feed(&g_app);
        g_app.paused = true;
        video_set_pause(g_app.video, true);
        render_sync_own_pause();
        ipc_stream_queue_line(slot, REPLY_OK);
    } else if (strcmp(cmd, "resume") == 0) {
        g_app.paused = false;
        video_set_pause(g_app.video, false);
        render_sync_own_pause();
        wayland_mark_all_dirty(g_app.wayland);
        ipc_stream_queue_line(slot, REPLY_OK);
    } else if (strcmp(cmd, "feed") == 0) {
        handle_feed(slot);
    } else if (strcmp(cmd, "feed-stop") == 0) {
        render_end_feed(&g_app);
        ipc_stream_queue_line(slot, REPLY_OK);
    } else if (strcmp(cmd, "stop") == 0) {
        handle_stop(ipc);
        ipc_stream_queue_line(slot, REPLY_OK);
    } else if (strcmp(cmd, "cancel-load") == 0) {
        if (pending_active(ipc)) {
            still_cancel(g_app.still);
            render_ipc_finish_pending(ipc, "load cancelled");
        }
        ipc_stream_queue_line(slot, REPLY_OK);
    } else if (strcmp(cmd, "status") == 0) {
        render_ipc_status(ipc, slot);
    } else if (strcmp(cmd, "skip") == 0) {
        handle_skip(slot, root);
    } else if (strcmp(cmd, "fade") == 0) {
        handle_fade(slot, root);
    } else if (strcmp(cmd, "volume") == 0) {
        handle_volume(slot, root);
    } else if (strcmp(cmd, "fit") == 0) {
        handle_fit(ipc, slot, root);
    } else {
        reply_error(slot, "unknown cmd");
    }
}

bool render_ipc_waiting(const render_ipc *ipc) {
    return ipc && pending_active(ipc);
}

void render_ipc_poll_still(render_ipc *ipc) {
    if (!ipc)
        return;
    if (!still_busy(g_app.still) && !pending_active(ipc))
        return;
    if (ipc->pending.deadline != 0 && now_ms() >= ipc->pending.deadline) {
        still_cancel(g_app.still);
        copy_text(ipc->error, sizeof ipc->error, "Still decode timed out");
        render_ipc_finish_pending(ipc, "Still decode timed out");
    }
    int r = still_collect(g_app.still);
    if (r < 0) {
        copy_text(ipc->error, sizeof ipc->error, "Still decode failed");
        render_ipc_finish_pending(ipc, "still load failed");
    } else if (r > 0) {
        render_end_feed(&g_app);
        video_stop(g_app.video);
        still_clear(g_app.transition);
        // The shown image's own path when no load is pending any more.
        copy_text(g_app.path, sizeof g_app.path,
                  pending_active(ipc) ? ipc->pending.path : still_path(g_app.still));
        copy_text(g_app.kind, sizeof g_app.kind, "still");
        g_app.intro = false;
        wayland_mark_all_dirty(g_app.wayland);
        pending_reply(ipc, REPLY_OK);
        pending_clear(ipc);
    }
}

void render_poll_own(void) {
    for (own_media &m : g_app.own) {
        if (!m.used)
            continue;
        if (still_busy(m.transition)) {
            still_collect(m.transition);
            render_mark_dirty(&m);
        }
        if (!still_busy(m.still) && !m.pending_path[0])
            continue;
        if (m.pending_deadline != 0 && now_ms() >= m.pending_deadline) {
            still_cancel(m.still);
            copy_text(m.error, sizeof m.error, "Still decode timed out");
            m.pending_path[0] = '\0';
            m.pending_deadline = 0;
        }
        int r = still_collect(m.still);
        if (r < 0) {
            copy_text(m.error, sizeof m.error, "Still decode failed");
            m.pending_path[0] = '\0';
            m.pending_deadline = 0;
        } else if (r > 0) {
            video_stop(m.video);
            still_clear(m.transition);
            copy_text(m.path, sizeof m.path,
                      m.pending_path[0] ? m.pending_path : still_path(m.still));
            copy_text(m.kind, sizeof m.kind, "still");
            m.pending_path[0] = '\0';
            m.pending_deadline = 0;
            render_mark_dirty(&m);
        }
    }
}

bool render_ipc_refresh_still(render_ipc *ipc) {
    if (!g_app.still)
        return true;
    if (still_busy(g_app.still))
        return false;
    // An image decoded whole has no more pixels to give a larger output.
    if (!still_has_texture(g_app.still) || !still_reduced(g_app.still))
        return true;
    int width = 0;
    int height = 0;
    still_limit_size(&width, &height);
    bool whole = width == 0 && height == 0;
    if (!whole) {
        int32_t w = 0;
        int32_t h = 0;
        wayland_max_buffer_size(g_app.wayland, &w, &h);
        if (w <= 0 || h <= 0)
            return true;
        int limit_width = 0;
        int limit_height = 0;
        still_limits(g_app.still, &limit_width, &limit_height);
        if (w <= limit_width && h <= limit_height)
            return true;
        width = w;
        height = h;
    }
    char path[RENDER_IPC_PATH_SIZE];
    copy_text(path, sizeof path, still_path(g_app.still));
    if (still_load(g_app.still, path, width, height) != 0)
        return false;
    if (ipc) {
        ipc->pending.client = -1;
        ipc->pending.serial = 0;
        copy_text(ipc->pending.path, sizeof ipc->pending.path, path);
        ipc->pending.deadline = now_ms() + RENDER_STILL_ASYNC_MS;
    }
    return true;
}

void render_ipc_status(render_ipc *ipc, ipc_stream *slot) {
    bool pending = ipc && pending_active(ipc);
    const char *error_text = ipc ? ipc->error : "";
    bool is_still = strcmp(g_app.kind, "still") == 0;
    bool is_video = strcmp(g_app.kind, "video") == 0;

    bool ready = false;
    if (!pending && error_text[0] == '\0')
        ready = is_still ? still_has_texture(g_app.still) : video_ready(g_app.video);

    const char *error_shown = "";
    if (error_text[0] != '\0')
        error_shown = error_text;
    else if (!pending && is_video)
        error_shown = video_error(g_app.video);

    char skipped_list[RENDER_SKIP_LIST_SIZE] = "";
    wayland_skipped_list(g_app.wayland, skipped_list, sizeof skipped_list);

    int32_t max_width = 0;
    int32_t max_height = 0;
    wayland_max_buffer_size(g_app.wayland, &max_width, &max_height);

    uint64_t swaps = 0;
    uint64_t swap_failures = 0;
    for (const output_state *o = wayland_outputs(g_app.wayland); o; o = o->next) {
        swaps += o->presented_frames;
        swap_failures += o->failed_presentations;
    }

    json_text_ptr path(json_quote(g_app.path));
    json_text_ptr hwdec(json_quote(video_hwdec(g_app.video)));
    json_text_ptr error(json_quote(error_shown));
    json_text_ptr skipped(json_quote(skipped_list));
    if (!path || !hwdec || !error || !skipped)
        return;

    auto word = [](bool value) { return value ? "true" : "false"; };
    std::string list = "[";
    for (const output_state *o = wayland_outputs(g_app.wayland); o; o = o->next) {
        media_view view = render_view_of(o);
        const own_media *own = view.own;
        const char *shown = own ? own->path : g_app.path;
        const char *shown_kind = own ? own->kind : g_app.kind;
        const char *why = own ? own->error : error_shown;
        bool shown_ready = ready;
        if (own) {
            bool is_own_video = strcmp(own->kind, "video") == 0;
            if (!own->error[0] && !own->pending_path[0] && own->path[0])
                shown_ready =
                    is_own_video ? video_ready(own->video) : still_has_texture(own->still);
            else
                shown_ready = false;
            if (!own->error[0] && !own->pending_path[0] && is_own_video)
                why = video_error(own->video);
        }
        int32_t w = 0;
        int32_t h = 0;
        output_buffer_size(o, &w, &h);
        double scale = o->fractional_scale && o->preferred_scale > 0 ? o->preferred_scale / 120.0
                                                                     : (double)o->scale;
        json_text_ptr name(json_quote(o->name));
        json_text_ptr path_text(
            json_quote(own && own->pending_path[0] ? own->pending_path : shown));
        json_text_ptr why_text(json_quote(why));
        if (!name || !path_text || !why_text)
            return;
        char *item = nullptr;
        int n = asprintf(&item,
                         "%s{\"name\":%s,\"width\":%d,\"height\":%d,\"scale\":%.3f,\"own\":%s,"
                         "\"path\":%s,\"kind\":\"%s\",\"ready\":%s,\"paused\":%s,\"skipped\":%s,"
                         "\"error\":%s}",
                         list.size() > 1 ? "," : "", name.get(), w, h, scale, word(own != nullptr),
                         path_text.get(), shown_kind, word(shown_ready), word(view.paused),
                         word(o->skipped || o->dpms_off), why_text.get());
        if (n < 0)
            return;
        json_text_ptr item_text(item);
        list += item;
    }
    list += "]";
    int outputs = static_cast<int>(wayland_output_count(g_app.wayland));
    bool has_video = video_has_media(g_app.video);
    bool has_still = still_has_texture(g_app.still);
    double time_pos = video_time_pos(g_app.video);
    bool eof = video_eof(g_app.video);
    char *raw_line = nullptr;
    int len = asprintf(
        &raw_line,
        "{\"status\":\"ok\",\"path\":%s,\"kind\":\"%s\",\"paused\":%s,\"ready\":%s,"
        "\"outputs\":%d,\"max_width\":%d,\"max_height\":%d,\"has_video\":%s,"
        "\"has_still\":%s,\"time_pos\":%.3f,\"hwdec\":%s,\"error\":%s,\"skipped\":%s,"
        "\"intro\":%s,\"eof\":%s,\"drm_dpms\":%s,\"swaps\":%lu,\"swap_failures\":%lu,"
        "\"presenter\":\"%s\",\"output_list\":%s}",
        path.get(), g_app.kind, word(g_app.paused), word(ready), outputs, max_width, max_height,
        word(has_video), word(has_still), time_pos, hwdec.get(), error.get(), skipped.get(),
        word(g_app.intro), word(eof), word(drm_probe_enabled()), static_cast<unsigned long>(swaps),
        static_cast<unsigned long>(swap_failures), render_presenter_name(), list.c_str());
    if (len < 0)
        return;
    json_text_ptr line(raw_line);
    ipc_stream_queue_line(slot, line.get());
}
