// Video playback through libmpv's client and OpenGL render APIs.
#include "mpv.h"

// epoxy must come before any system GL/EGL header.
#include <epoxy/egl.h>
#include <epoxy/gl.h>

#include "log.h"
#include "repeats.h"

#include <mpv/client.h>
#include <mpv/render.h>
#include <mpv/render_gl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <dlfcn.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <unistd.h>

namespace {

enum {
    VIDEO_PATH_SIZE = 4096,
    VIDEO_ERROR_SIZE = 256,
    VIDEO_HWDEC_SIZE = 64,
    EOF_REPLY_ID = 1,
};

struct video_option {
    const char *name;
    const char *value; // null: filled in at run time (hwdec)
};

// Tuned for a cheap, looping background: no audio display, subtitles, OSD,
// scripts or user configuration; bilinear scaling; the picture cropped to fill.
constexpr video_option video_options[] = {
    {"vo", "libmpv"},
    {"hwdec", nullptr},
    {"audio-display", "no"},
    {"audio-fallback-to-null", "yes"},
    {"sub", "no"},
    {"sid", "no"},
    {"loop-file", "inf"},
    {"keep-open", "yes"},
    {"interpolation", "no"},
    {"profile", "fast"},
    {"scale", "bilinear"},
    {"cscale", "bilinear"},
    {"framedrop", "no"},
    {"panscan", "1.0"},
    {"config", "no"},
    {"terminal", "no"},
    {"osc", "no"},
    {"load-scripts", "no"},
    {"load-auto-profiles", "no"},
    {"load-commands", "no"},
    {"load-console", "no"},
    {"load-context-menu", "no"},
    {"load-positioning", "no"},
    {"load-select", "no"},
    {"load-stats-overlay", "no"},
    {"ytdl", "no"},
    {"idle", "yes"},
    {"demuxer-max-bytes", "32MiB"},
    {"demuxer-max-back-bytes", "0"},
    {"demuxer-readahead-secs", "1"},
    {"hwdec-extra-frames", "3"},
    {"video-sync", "audio"},
    // A raw MPEG-1 or MPEG-2 stream carries no presentation times; FFmpeg
    // makes them from the decoding times, so the player keeps the stream's
    // own rate instead of making times up on every loop.
    {"demuxer-lavf-o", "fflags=+genpts"},
};

} // namespace

struct video_player {
    mpv_handle *mpv;
    mpv_render_context *render;
    bool software; // the render context draws into memory, not through GL
    char path[VIDEO_PATH_SIZE];
    bool has_video;
    bool pause_value;
    bool pause_known;
    bool ready;
    bool file_loaded;
    int32_t display_width;
    int32_t display_height;
    bool eof_reached;
    char error[VIDEO_ERROR_SIZE];
    int wakeup_pipe[2];
    // Playlist entry of the last load, so that events still queued for a file
    // that was replaced or stopped are not taken for the current one. 0 after
    // a stop (nothing is current), -1 when the player did not tell the entry.
    int64_t entry_id;
    // The start-of-file event of the current entry has been seen.
    bool started;
    char hwdec[VIDEO_HWDEC_SIZE];
    // Changes whenever the picture may have: a new frame, a load, a stop.
    uint64_t frame_serial;
    // The current frame drawn whole into a texture, for fits other than
    // cover; 0 until first asked for.
    GLuint picture_texture;
    GLuint picture_framebuffer;
    int32_t picture_width;
    int32_t picture_height;
    uint64_t picture_serial; // frame_serial of the frame it holds
    bool picture_drawn;
    // The same picture in memory when the player renders in software.
    uint8_t *picture_pixels;
    int32_t picture_stride;
};

namespace {

// Decoders repeat their complaints on every loop of a video; each is
// written once a minute at most. Main thread only.
repeat_filter g_repeats;

void video_write_log(void *, int level, const char *line) {
    log_line(static_cast<unsigned>(level), __FILE__, __LINE__, "%s", line);
}

void video_forward_log(const mpv_event_log_message *msg) {
    if (!msg || !msg->text) {
        return;
    }
    size_t len = strlen(msg->text);
    while (len > 0 && (msg->text[len - 1] == '\n' || msg->text[len - 1] == '\r')) {
        len--;
    }
    const char *prefix = msg->prefix ? msg->prefix : "unknown";
    if (video_log_is_hwdec_probe(prefix, msg->text)) {
        log_debug("mpv %s: %.*s", prefix, (int)len, msg->text);
        return;
    }
    int level = msg->log_level <= MPV_LOG_LEVEL_ERROR ? LOG_ERROR : LOG_WARN;
    char line[REPEAT_TEXT_SIZE];
    int n = snprintf(line, sizeof line, "mpv %s: %.*s", prefix, (int)len, msg->text);
    if (n < 0 || (size_t)n >= sizeof line) {
        // Too long to remember; such a message is written whole every time.
        log_line(static_cast<unsigned>(level), __FILE__, __LINE__, "mpv %s: %.*s", prefix, (int)len,
                 msg->text);
        return;
    }
    repeat_offer(&g_repeats, level, line, now_ms(), video_write_log, nullptr);
}

// Forwards the log messages the player has queued, up to a shutdown event.
void video_flush_log(mpv_handle *mpv) {
    for (;;) {
        mpv_event *ev = mpv_wait_event(mpv, 0);
        if (ev->event_id == MPV_EVENT_NONE || ev->event_id == MPV_EVENT_SHUTDOWN) {
            return;
        }
        if (ev->event_id == MPV_EVENT_LOG_MESSAGE) {
            video_forward_log(static_cast<const mpv_event_log_message *>(ev->data));
        }
    }
}

void video_set_option(mpv_handle *mpv, const char *name, const char *value) {
    int rc = mpv_set_option_string(mpv, name, value);
    if (rc < 0) {
        log_warn("mpv option %s=%s failed: %s", name, value, mpv_error_string(rc));
    }
}

// Whether the NVIDIA driver's CUDA library can be loaded at all.
bool video_cuda_available(void) {
    void *lib = dlopen("libcuda.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (!lib) {
        return false;
    }
    dlclose(lib);
    return true;
}

void video_set_option_cb(void *ctx, const char *name, const char *value) {
    video_set_option(static_cast<mpv_handle *>(ctx), name, value);
}

// libmpv threads: one byte each, nothing else.
void video_wake(video_player *video, char byte) {
    ssize_t n = write(video->wakeup_pipe[1], &byte, 1);
    (void)n;
}

void video_on_render_update(void *ctx) {
    video_wake(static_cast<video_player *>(ctx), 'r');
}

void video_on_wakeup(void *ctx) {
    video_wake(static_cast<video_player *>(ctx), 'w');
}

void *video_get_proc_address(void *, const char *name) {
    return reinterpret_cast<void *>(eglGetProcAddress(name));
}

void video_close_pipe(video_player *video) {
    for (int &fd : video->wakeup_pipe) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

void video_read_display_size(video_player *video) {
    video->display_width = 0;
    video->display_height = 0;
    int64_t w = 0;
    int64_t h = 0;
    if (mpv_get_property(video->mpv, "dwidth", MPV_FORMAT_INT64, &w) >= 0 && w >= 1 &&
        w <= INT32_MAX) {
        video->display_width = (int32_t)w;
    }
    if (mpv_get_property(video->mpv, "dheight", MPV_FORMAT_INT64, &h) >= 0 && h >= 1 &&
        h <= INT32_MAX) {
        video->display_height = (int32_t)h;
    }
}

// True when an event of this playlist entry belongs to the current load.
bool video_is_current_entry(const video_player *video, int64_t entry_id) {
    return video->entry_id != 0 && (video->entry_id < 0 || video->entry_id == entry_id);
}

void video_render_failed(video_player *video, int rc) {
    const char *api = video->software ? "software" : "OpenGL";
    if (video->error[0] == '\0') {
        log_error("mpv %s render failed: %s", api, mpv_error_string(rc));
    }
    snprintf(video->error, sizeof video->error, "%s render failed: %s", api, mpv_error_string(rc));
    video->ready = false;
}

void video_reset_file_state(video_player *video) {
    video->ready = false;
    video->file_loaded = false;
    video->display_width = 0;
    video->display_height = 0;
    video->eof_reached = false;
    video->error[0] = '\0';
}

} // namespace

bool video_log_is_hwdec_probe(const char *prefix, const char *text) {
    if (!prefix || !text || strncmp(prefix, "ffmpeg", 6) != 0) {
        return false;
    }
    // Creating a decoding device (CUDA, VAAPI, VDPAU, ...) and setting up a
    // decoder's hardware acceleration: both fail on machines without that
    // hardware, and the player then tries the next method or decodes in
    // software.
    return strncmp(text, "AVHWDeviceContext: ", 19) == 0 ||
           strstr(text, "hwaccel initialisation returned error") != nullptr;
}

const char *video_hwdec_option(const char *env) {
    return env && env[0] ? env : "auto-safe";
}

int video_parse_options(const char *text, video_option_fn fn, void *ctx) {
    if (!text || !text[0]) {
        return 0;
    }
    std::unique_ptr<char, decltype(&free)> copy(strdup(text), &free);
    if (!copy) {
        log_error("KIV_MPV_OPTIONS: out of memory");
        return -1;
    }
    char *save = nullptr;
    for (char *piece = strtok_r(copy.get(), ";", &save); piece;
         piece = strtok_r(nullptr, ";", &save)) {
        char *eq = strchr(piece, '=');
        if (!eq) {
            continue;
        }
        *eq = '\0';
        fn(ctx, piece, eq + 1);
    }
    return 0;
}

// Frees the picture texture; the GL context is current.
static void video_free_picture(video_player *video) {
    if (video->picture_framebuffer != 0) {
        glDeleteFramebuffers(1, &video->picture_framebuffer);
    }
    if (video->picture_texture != 0) {
        glDeleteTextures(1, &video->picture_texture);
    }
    free(video->picture_pixels);
    video->picture_pixels = nullptr;
    video->picture_stride = 0;
    video->picture_framebuffer = 0;
    video->picture_texture = 0;
    video->picture_width = 0;
    video->picture_height = 0;
    video->picture_drawn = false;
}

// A texture of width x height with its framebuffer; false when the driver
// refuses (logged once per size).
static bool video_make_picture(video_player *video, int32_t width, int32_t height) {
    video_free_picture(video);
    glGenTextures(1, &video->picture_texture);
    glBindTexture(GL_TEXTURE_2D, video->picture_texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glBindTexture(GL_TEXTURE_2D, 0);
    glGenFramebuffers(1, &video->picture_framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, video->picture_framebuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D,
                           video->picture_texture, 0);
    GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    // Remembered even when refused, so that the same size is not retried
    // at every frame.
    video->picture_width = width;
    video->picture_height = height;
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        log_error("no video picture of %dx%d: framebuffer status 0x%x", width, height, status);
        glDeleteFramebuffers(1, &video->picture_framebuffer);
        glDeleteTextures(1, &video->picture_texture);
        video->picture_framebuffer = 0;
        video->picture_texture = 0;
        return false;
    }
    return true;
}

video_player *video_create(wl_display *display, bool software) {
    auto *video = new (std::nothrow) video_player{};
    if (!video) {
        log_error("cannot allocate the video player");
        return nullptr;
    }
    video->wakeup_pipe[0] = video->wakeup_pipe[1] = -1;
    if (pipe2(video->wakeup_pipe, O_NONBLOCK | O_CLOEXEC) < 0) {
        log_error("video wakeup pipe failed: %s", strerror(errno));
        delete video;
        return nullptr;
    }
    video->mpv = mpv_create();
    if (!video->mpv) {
        log_error("mpv_create failed");
        video_destroy(video);
        return nullptr;
    }
    mpv_request_log_messages(video->mpv, "warn");

    for (const video_option &opt : video_options) {
        const char *value = opt.value ? opt.value : video_hwdec_option(getenv("KIV_HWDEC"));
        video_set_option(video->mpv, opt.name, value);
    }
    // The player loads its CUDA interop when a video starts, and without the
    // NVIDIA driver that prints "Cannot load libcuda.so.1" straight onto
    // standard error at every load. There only the VAAPI interop (Intel, AMD)
    // can work; KIV_MPV_OPTIONS may still choose another.
    if (!video_cuda_available()) {
        video_set_option(video->mpv, "gpu-hwdec-interop", "vaapi");
    }
    if (software) {
        // Converted into memory the player scales and converts with
        // libswscale or zimg. Its zimg path gives untagged video other
        // colours than the GL renderer does (pure red comes out as 248, 47,
        // 0 with mpv 0.35); libswscale matches it, bilinear as in GL. Its
        // fast paths convert a frame of the output's size without scaling
        // at all, well over half the cost of a frame otherwise.
        video_set_option(video->mpv, "sws-allow-zimg", "no");
        video_set_option(video->mpv, "sws-scaler", "bilinear");
        video_set_option(video->mpv, "sws-fast", "yes");
    }
    // Later options override the table.
    video_parse_options(getenv("KIV_MPV_OPTIONS"), video_set_option_cb, video->mpv);

    int rc = mpv_initialize(video->mpv);
    if (rc < 0) {
        video_flush_log(video->mpv);
        log_error("mpv_initialize failed: %s", mpv_error_string(rc));
        video_destroy(video);
        return nullptr;
    }

    char *hwdec = mpv_get_property_string(video->mpv, "hwdec");
    log_info("mpv requested hwdec=%s", hwdec ? hwdec : "unknown");
    mpv_free(hwdec);

    video->software = software;
    // The render context binds to the GL context current now, the renderer's,
    // or draws into memory the renderer hands it.
    mpv_opengl_init_params gl_init{};
    gl_init.get_proc_address = video_get_proc_address;
    gl_init.get_proc_address_ctx = nullptr;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_API_TYPE, const_cast<char *>(MPV_RENDER_API_TYPE_OPENGL)},
        {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &gl_init},
        {MPV_RENDER_PARAM_WL_DISPLAY, display},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    if (!params[2].data) {
        params[2] = {MPV_RENDER_PARAM_INVALID, nullptr};
    }
    if (software) {
        params[0].data = const_cast<char *>(MPV_RENDER_API_TYPE_SW);
        params[1] = {MPV_RENDER_PARAM_INVALID, nullptr};
    }
    rc = mpv_render_context_create(&video->render, video->mpv, params);
    if (rc < 0) {
        video_flush_log(video->mpv);
        log_error("mpv_render_context_create failed: %s", mpv_error_string(rc));
        video_destroy(video);
        return nullptr;
    }

    mpv_render_context_set_update_callback(video->render, video_on_render_update, video);
    mpv_set_wakeup_callback(video->mpv, video_on_wakeup, video);
    mpv_observe_property(video->mpv, EOF_REPLY_ID, "eof-reached", MPV_FORMAT_FLAG);
    // Wallpapers are silent until told otherwise.
    video_set_volume(video, 0);
    log_info("libmpv ready");
    return video;
}

void video_destroy(video_player *video) {
    // What was counted is told before the player goes.
    repeat_finish(&g_repeats, video_write_log, nullptr);
    if (!video) {
        return;
    }
    video_free_picture(video);
    if (video->render) {
        mpv_render_context_set_update_callback(video->render, nullptr, nullptr);
        mpv_render_context_free(video->render);
        video->render = nullptr;
    }
    if (video->mpv) {
        mpv_set_wakeup_callback(video->mpv, nullptr, nullptr);
        mpv_terminate_destroy(video->mpv);
        video->mpv = nullptr;
    }
    video_close_pipe(video);
    delete video;
}

int video_load(video_player *video, const char *path) {
    return video_load_at(video, path, 0);
}

int video_load_at(video_player *video, const char *path, double start_s) {
    if (!video || !video->mpv || !path || !path[0]) {
        return -1;
    }
    char options[64];
    snprintf(options, sizeof options, "start=%.3f", start_s);
    const char *cmd[] = {"loadfile", path, "replace", start_s > 0 ? options : nullptr, nullptr};
    mpv_node result{};
    int rc = mpv_command_ret(video->mpv, cmd, &result);
    if (rc < 0) {
        log_error("loadfile failed: %s", mpv_error_string(rc));
        return -1;
    }
    video->entry_id = -1;
    if (result.format == MPV_FORMAT_NODE_MAP) {
        for (int i = 0; i < result.u.list->num; i++) {
            const mpv_node &v = result.u.list->values[i];
            if (strcmp(result.u.list->keys[i], "playlist_entry_id") == 0 &&
                v.format == MPV_FORMAT_INT64 && v.u.int64 > 0) {
                video->entry_id = v.u.int64;
            }
        }
    }
    mpv_free_node_contents(&result);
    video->started = false;
    video->frame_serial++;

    snprintf(video->path, sizeof video->path, "%s", path);
    video->has_video = true;
    video->pause_known = false;
    video_reset_file_state(video);
    return 0;
}

void video_stop(video_player *video) {
    if (!video || !video->mpv) {
        return;
    }
    const char *cmd[] = {"stop", nullptr};
    mpv_command(video->mpv, cmd);
    video->entry_id = 0;
    video->started = false;
    video->frame_serial++;
    video->has_video = false;
    video->path[0] = '\0';
    video_reset_file_state(video);
}

void video_set_pause(video_player *video, bool pause) {
    if (!video || !video->mpv) {
        return;
    }
    if (video->pause_known && video->pause_value == pause) {
        return;
    }
    int flag = pause ? 1 : 0;
    if (mpv_set_property(video->mpv, "pause", MPV_FORMAT_FLAG, &flag) < 0) {
        video->pause_known = false;
        return;
    }
    video->pause_value = pause;
    video->pause_known = true;
    log_info("mpv %s", pause ? "paused" : "resumed");
}

void video_set_mute(video_player *video, bool mute) {
    if (!video || !video->mpv) {
        return;
    }
    int flag = mute ? 1 : 0;
    mpv_set_property(video->mpv, "mute", MPV_FORMAT_FLAG, &flag);
}

void video_set_volume(video_player *video, int percent) {
    if (!video || !video->mpv) {
        return;
    }
    if (percent < 0) {
        percent = 0;
    } else if (percent > 100) {
        percent = 100;
    }
    // A silent wallpaper needs no audio decoder and no audio device: without
    // a track the player never opens a sound stream.
    if (mpv_set_property_string(video->mpv, "aid", percent > 0 ? "auto" : "no") < 0) {
        log_warn("mpv audio track selection failed");
    }
    double volume = percent;
    if (mpv_set_property(video->mpv, "volume", MPV_FORMAT_DOUBLE, &volume) < 0) {
        log_warn("mpv volume %d failed", percent);
    }
}

void video_set_loop(video_player *video, bool loop) {
    if (!video || !video->mpv) {
        return;
    }
    mpv_set_property_string(video->mpv, "loop-file", loop ? "inf" : "no");
}

void video_tick(video_player *video) {
    if (video) {
        repeat_flush(&g_repeats, now_ms(), video_write_log, nullptr);
    }
}

int video_fd(const video_player *video) {
    return video ? video->wakeup_pipe[0] : -1;
}

bool video_process_events(video_player *video) {
    if (!video || !video->mpv) {
        return false;
    }
    char buf[128];
    while (read(video->wakeup_pipe[0], buf, sizeof buf) > 0) {
    }

    for (;;) {
        mpv_event *ev = mpv_wait_event(video->mpv, 0);
        if (ev->event_id == MPV_EVENT_NONE) {
            break;
        }
        if (ev->event_id == MPV_EVENT_SHUTDOWN) {
            // The player has quit; no frame can follow.
            return false;
        }
        switch (ev->event_id) {
        case MPV_EVENT_LOG_MESSAGE:
            video_forward_log(static_cast<const mpv_event_log_message *>(ev->data));
            break;
        case MPV_EVENT_START_FILE: {
            auto *start = static_cast<const mpv_event_start_file *>(ev->data);
            if (!start || !video_is_current_entry(video, start->playlist_entry_id)) {
                break;
            }
            video->started = true;
            video->has_video = true;
            video_reset_file_state(video);
            break;
        }
        case MPV_EVENT_FILE_LOADED:
            if (!video->started) {
                break;
            }
            video->file_loaded = true;
            video_read_display_size(video);
            break;
        case MPV_EVENT_VIDEO_RECONFIG:
            if (video->started) {
                video_read_display_size(video);
            }
            break;
        case MPV_EVENT_PROPERTY_CHANGE: {
            auto *prop = static_cast<const mpv_event_property *>(ev->data);
            if (video->started && prop && prop->name && strcmp(prop->name, "eof-reached") == 0 &&
                prop->format == MPV_FORMAT_FLAG && prop->data) {
                video->eof_reached = *static_cast<const int *>(prop->data) != 0;
            }
            break;
        }
        case MPV_EVENT_END_FILE: {
            auto *end = static_cast<const mpv_event_end_file *>(ev->data);
            if (!end || end->reason != MPV_END_FILE_REASON_ERROR ||
                !video_is_current_entry(video, end->playlist_entry_id)) {
                break;
            }
            snprintf(video->error, sizeof video->error, "%s", mpv_error_string(end->error));
            video->has_video = false;
            video->ready = false;
            log_error("Video playback failed: %s", video->error);
            break;
        }
        default:
            break;
        }
    }

    if (!video->render) {
        return false;
    }
    if ((mpv_render_context_update(video->render) & MPV_RENDER_UPDATE_FRAME) == 0) {
        return false;
    }
    video->frame_serial++;
    return true;
}

// One frame into a framebuffer, never blocking for the frame's display time.
// A failure is reported through video_render_failed.
static int video_render_target(video_player *video, unsigned fbo_name, int width, int height,
                               bool flip_y) {
    mpv_opengl_fbo fbo{(int)fbo_name, width, height, 0};
    int flip = flip_y ? 1 : 0;
    int block = 0;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_OPENGL_FBO, &fbo},
        {MPV_RENDER_PARAM_FLIP_Y, &flip},
        {MPV_RENDER_PARAM_BLOCK_FOR_TARGET_TIME, &block},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    int rc = mpv_render_context_render(video->render, params);
    if (rc < 0) {
        video_render_failed(video, rc);
    }
    return rc;
}

int video_render_screen(video_player *video, unsigned fbo_name, int width, int height) {
    if (!video || !video->render || width <= 0 || height <= 0) {
        return -1;
    }
    if (video_render_target(video, fbo_name, width, height, true) < 0) {
        return -1;
    }
    if (video->file_loaded && video->display_width > 0 && video->display_height > 0) {
        video->ready = true;
    }
    return 0;
}

int video_render_fbo(video_player *video, unsigned fbo_name, int width, int height) {
    if (!video || !video->render || width <= 0 || height <= 0) {
        return -1;
    }
    if (video_render_target(video, fbo_name, width, height, false) < 0) {
        return -1;
    }
    if (video->file_loaded) {
        video->ready = true;
    }
    return 0;
}

int video_render_memory(video_player *video, int width, int height, size_t stride, void *pixels,
                        const char *format) {
    if (!video || !video->render || !video->software || width <= 0 || height <= 0 || !pixels) {
        return -1;
    }
    int size[2] = {width, height};
    int block = 0;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_SW_SIZE, size},
        {MPV_RENDER_PARAM_SW_FORMAT, const_cast<char *>(format)},
        {MPV_RENDER_PARAM_SW_STRIDE, &stride},
        {MPV_RENDER_PARAM_SW_POINTER, pixels},
        {MPV_RENDER_PARAM_BLOCK_FOR_TARGET_TIME, &block},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    int rc = mpv_render_context_render(video->render, params);
    if (rc < 0) {
        video_render_failed(video, rc);
        return -1;
    }
    if (video->file_loaded && video->display_width > 0 && video->display_height > 0) {
        video->ready = true;
    }
    return 0;
}

const uint8_t *video_picture_memory(video_player *video, int32_t limit_width, int32_t limit_height,
                                    int32_t *width, int32_t *height, int32_t *stride) {
    if (!video || !video->render || !video->software || video->display_width <= 0 ||
        video->display_height <= 0) {
        return nullptr;
    }
    int32_t w = 0;
    int32_t h = 0;
    video_picture_size(video->display_width, video->display_height, limit_width, limit_height, &w,
                       &h);
    if (w != video->picture_width || h != video->picture_height) {
        video_free_picture(video);
        // Rows aligned as the player's software renderer works fastest.
        int32_t row = (w * 4 + 63) / 64 * 64;
        size_t bytes = static_cast<size_t>(row) * static_cast<size_t>(h);
        video->picture_width = w;
        video->picture_height = h;
        video->picture_pixels = static_cast<uint8_t *>(aligned_alloc(64, bytes));
        if (!video->picture_pixels) {
            // Remembered as refused, so that the size is not retried at every frame.
            log_error("no memory for a video picture of %dx%d", w, h);
            return nullptr;
        }
        video->picture_stride = row;
    } else if (!video->picture_pixels) {
        return nullptr;
    }
    if (!video->picture_drawn || video->picture_serial != video->frame_serial) {
        // The picture has the video's own shape, so the player neither
        // crops nor letterboxes it.
        if (video_render_memory(video, w, h, static_cast<size_t>(video->picture_stride),
                                video->picture_pixels, "bgr0") != 0) {
            return nullptr;
        }
        video->picture_drawn = true;
        video->picture_serial = video->frame_serial;
    }
    *width = w;
    *height = h;
    *stride = video->picture_stride;
    return video->picture_pixels;
}

void video_report_swap(video_player *video) {
    if (video && video->render) {
        mpv_render_context_report_swap(video->render);
    }
}

uint64_t video_frame_serial(const video_player *video) {
    return video ? video->frame_serial : 0;
}

bool video_has_media(const video_player *video) {
    return video && video->has_video;
}

bool video_ready(const video_player *video) {
    return video && video->ready;
}

bool video_eof(const video_player *video) {
    return video && video->eof_reached;
}

int video_size(const video_player *video, int32_t *width, int32_t *height) {
    int32_t w = video ? video->display_width : 0;
    int32_t h = video ? video->display_height : 0;
    if (width) {
        *width = w;
    }
    if (height) {
        *height = h;
    }
    return w > 0 && h > 0 ? 0 : -1;
}

const char *video_error(const video_player *video) {
    return video ? video->error : "";
}

const char *video_hwdec(video_player *video) {
    if (!video || !video->mpv) {
        return "no";
    }
    char *value = mpv_get_property_string(video->mpv, "hwdec-current");
    if (!value) {
        return "no";
    }
    snprintf(video->hwdec, sizeof video->hwdec, "%s", value);
    mpv_free(value);
    return video->hwdec;
}

double video_time_pos(video_player *video) {
    double pos = 0;
    if (!video || !video->mpv ||
        mpv_get_property(video->mpv, "time-pos", MPV_FORMAT_DOUBLE, &pos) < 0) {
        return -1;
    }
    return pos;
}

void video_picture_size(int32_t video_width, int32_t video_height, int32_t limit_width,
                        int32_t limit_height, int32_t *width, int32_t *height) {
    double scale = 1.0;
    if (limit_width > 0 && limit_height > 0) {
        scale = std::min(1.0, std::max(static_cast<double>(limit_width) / video_width,
                                       static_cast<double>(limit_height) / video_height));
    }
    *width = std::max<int32_t>(1, static_cast<int32_t>(std::lround(video_width * scale)));
    *height = std::max<int32_t>(1, static_cast<int32_t>(std::lround(video_height * scale)));
}

unsigned video_picture(video_player *video, int32_t limit_width, int32_t limit_height,
                       int32_t *width, int32_t *height) {
    if (!video || !video->render || video->display_width <= 0 || video->display_height <= 0) {
        return 0;
    }
    int32_t w = 0;
    int32_t h = 0;
    video_picture_size(video->display_width, video->display_height, limit_width, limit_height, &w,
                       &h);
    if (w != video->picture_width || h != video->picture_height) {
        if (!video_make_picture(video, w, h)) {
            return 0;
        }
    } else if (video->picture_texture == 0) {
        return 0;
    }
    if (!video->picture_drawn || video->picture_serial != video->frame_serial) {
        // The picture has the video's own shape, so the player neither
        // crops nor letterboxes it: it lands in the texture whole.
        if (video_render_target(video, video->picture_framebuffer, w, h, false) < 0) {
            return 0;
        }
        video->picture_drawn = true;
        video->picture_serial = video->frame_serial;
        if (video->file_loaded) {
            video->ready = true;
        }
    }
    *width = w;
    *height = h;
    return video->picture_texture;
}
