#include "render_ipc.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <yyjson.h>

#include "drm.h"
#include "feed.h"
#include "json.h"
#include "log.h"
#include "mpv.h"
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

void load_video(render_ipc *ipc, ipc_stream *slot, yyjson_val *root, const char *path) {
    bool once = yyjson_is_true(json_obj_first(root, "once"));
    bool mute = yyjson_is_true(json_obj_first(root, "mute"));
    const char *from = nullptr;
    if (yyjson_val *value = json_obj_first(root, "from")) {
        if (local_media_path(value))
            from = yyjson_get_str(value);
        else
            log_warn("Transition image is not a readable local file");
    }
    if (video_load(g_app.video, path) != 0) {
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
        if (from && !g_app.feed_active && g_app.fade_ms > 0 && g_app.transition) {
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

void handle_load(render_ipc *ipc, ipc_stream *slot, yyjson_val *root) {
    yyjson_val *path = json_obj_first(root, "path");
    yyjson_val *kind_value = json_obj_first(root, "kind");
    const char *kind = yyjson_is_str(kind_value) ? yyjson_get_str(kind_value) : "";
    if (!local_media_path(path)) {
        reply_error(slot, "Invalid local media path");
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
    } else if (strcmp(cmd, "pause") == 0) {
        render_end_feed(&g_app);
        g_app.paused = true;
        video_set_pause(g_app.video, true);
        ipc_stream_queue_line(slot, REPLY_OK);
    } else if (strcmp(cmd, "resume") == 0) {
        g_app.paused = false;
        video_set_pause(g_app.video, false);
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

bool render_ipc_refresh_still(render_ipc *ipc) {
    if (!g_app.still)
        return true;
    if (still_busy(g_app.still))
        return false;
    // An image decoded whole has no more pixels to give a larger output.
    if (!still_has_texture(g_app.still) || !still_reduced(g_app.still))
        return true;
    int32_t width = 0;
    int32_t height = 0;
    wayland_max_buffer_size(g_app.wayland, &width, &height);
    if (width <= 0 || height <= 0)
        return true;
    int limit_width = 0;
    int limit_height = 0;
    still_limits(g_app.still, &limit_width, &limit_height);
    if (width <= limit_width && height <= limit_height)
        return true;
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
    int outputs = static_cast<int>(wayland_output_count(g_app.wayland));
    bool has_video = video_has_media(g_app.video);
    bool has_still = still_has_texture(g_app.still);
    double time_pos = video_time_pos(g_app.video);
    bool eof = video_eof(g_app.video);
    char *raw_line = nullptr;
    int len =
        asprintf(&raw_line,
                 "{\"status\":\"ok\",\"path\":%s,\"kind\":\"%s\",\"paused\":%s,\"ready\":%s,"
                 "\"outputs\":%d,\"max_width\":%d,\"max_height\":%d,\"has_video\":%s,"
                 "\"has_still\":%s,\"time_pos\":%.3f,\"hwdec\":%s,\"error\":%s,\"skipped\":%s,"
                 "\"intro\":%s,\"eof\":%s,\"drm_dpms\":%s,\"swaps\":%lu,\"swap_failures\":%lu}",
                 path.get(), g_app.kind, word(g_app.paused), word(ready), outputs, max_width,
                 max_height, word(has_video), word(has_still), time_pos, hwdec.get(), error.get(),
                 skipped.get(), word(g_app.intro), word(eof), word(drm_probe_enabled()),
                 static_cast<unsigned long>(swaps), static_cast<unsigned long>(swap_failures));
    if (len < 0)
        return;
    json_text_ptr line(raw_line);
    ipc_stream_queue_line(slot, line.get());
}
