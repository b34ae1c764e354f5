#include "media.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <yyjson.h>

#include "daemon.h"
#include "hypr.h"
#include "intro.h"
#include "json.h"
#include "log.h"
#include "paths.h"
#include "policy.h"
#include "power.h"
#include "shell.h"
#include "supervisor.h"
#include "transcode.h"

namespace {

constexpr int64_t RETRY_AFTER_FAILURE_MS = 30000;
constexpr int64_t SHELL_STOP_DELAY_MS = 400;
constexpr int64_t STILL_READY_MS = 30000;
constexpr int64_t VIDEO_READY_MS = 5000;
constexpr size_t MEDIA_PATH_MAX = 1023; // the longest path the renderer accepts
constexpr size_t SKIP_ITEM_MAX = 256;
constexpr size_t SKIP_ARRAY_SIZE = 2048;
constexpr size_t SKIP_ARRAY_FULL = 2045;

bool streq(const char *a, const char *b) {
    return strcmp(a, b) == 0;
}

// Locked by logind's word or by the compositor's lock screen.
bool session_locked(void) {
    return power_locked(g_daemon.power) || hypr_locked(g_daemon.hypr);
}

bool on_battery(void) {
    return power_on_battery(g_daemon.power);
}

void switch_to_shell(void) {
    daemon_state &d = g_daemon;
    d.shell_retry_after = 0;
    d.shell_disable_after = 0;
    d.engine = ENGINE_SHELL;
    d.shell_plugin_state = 1;
    d.load_pending = false;
    d.media_ready = true;
    d.applied_pause = -1;
    d.feed_active = 0;
    d.loaded_path[0] = '\0';
    d.loaded_kind[0] = '\0';
    d.previous_ready_path[0] = '\0';
    d.renderer_stop_at = now_ms() + SHELL_STOP_DELAY_MS;
    log_info("engine: shell");
}

// Switches the shell's background plug-in off so that it cannot cover the
// renderer. A shell that fails (not up yet at login, say) must not leave the
// user without a background, so the renderer draws regardless and the switch
// is tried again every 30 s until it is known to be off. A desktop without
// the theme's shell has no plug-in to switch.
void shell_disable_step(void) {
    daemon_state &d = g_daemon;
    int64_t now = now_ms();
    if (d.shell_plugin_state == 0 || (d.shell_disable_after != 0 && now < d.shell_disable_after))
        return;
    if (!shell_installed()) {
        if (!d.shell_missing_told)
            log_info("no tarvine-shell found; the renderer draws every background");
        d.shell_missing_told = true;
        d.shell_disable_after = now + RETRY_AFTER_FAILURE_MS;
        return;
    }
    if (shell_set_background(false) != 0) {
        d.shell_disable_after = now + RETRY_AFTER_FAILURE_MS;
        return;
    }
    d.shell_plugin_state = 0;
    d.shell_disable_after = 0;
}

// Whether the status reply names the pending load as what it shows.
bool status_names_loaded(const char *reply) {
    json_doc_ptr doc(yyjson_read(reply, strlen(reply), 0));
    if (!doc)
        return false;
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root))
        return false;
    yyjson_val *path = json_obj_first(root, "path");
    yyjson_val *kind = json_obj_first(root, "kind");
    return yyjson_is_str(path) && yyjson_is_str(kind) &&
           streq(yyjson_get_str(path), g_daemon.loaded_path) &&
           streq(yyjson_get_str(kind), g_daemon.loaded_kind);
}

// The outputs list "a,b" as the JSON array ["a","b"] into out. An over-long
// item ends the list there; false when a quoted item does not fit (nothing is
// sent then).
bool skip_array(const char *list, char *out, size_t size) {
    size_t len = 0;
    out[len++] = '[';
    out[len] = '\0';
    const char *p = list;
    bool first = true;
    // An empty list is "[]"; otherwise every item counts, empty ones too.
    for (bool more = *list != '\0'; more;) {
        if (len >= SKIP_ARRAY_FULL)
            break;
        const char *comma = strchr(p, ',');
        size_t n = comma ? (size_t)(comma - p) : strlen(p);
        if (n >= SKIP_ITEM_MAX)
            break;
        char item[SKIP_ITEM_MAX];
        memcpy(item, p, n);
        item[n] = '\0';
        json_text_ptr quoted(json_quote(item));
        if (!quoted)
            return false;
        size_t q = strlen(quoted.get());
        size_t need = (first ? 0 : 1) + q + 2; // separator, item, "]" and the end
        if (len + need > size)
            return false;
        if (!first)
            out[len++] = ',';
        memcpy(out + len, quoted.get(), q);
        len += q;
        first = false;
        more = comma != nullptr;
        if (more)
            p = comma + 1;
    }
    out[len++] = ']';
    out[len] = '\0';
    return true;
}

} // namespace

bool poster_wanted(void) {
    const config &c = g_daemon.config;
    bool configured = c.battery_poster || streq(c.battery_mode, "poster");
    return configured && !g_daemon.always_animate && on_battery();
}

void media_set_source(const char *path) {
    daemon_state &d = g_daemon;
    if (!path || !path[0])
        return;
    intro_end("background changed");
    media_kind kind = media_kind_of(path);
    if (kind == MEDIA_UNKNOWN) {
        log_warn("unknown media kind: %s", path);
        return;
    }
    if (streq(path, d.source_path))
        return;
    if (d.job) {
        transcode_job_free(d.job);
        d.job = nullptr;
    }
    if (streq(d.source_kind, "still") && kind != MEDIA_STILL && d.source_path[0])
        DAEMON_SET(d.transition_from_path, d.source_path);
    else
        d.transition_from_path[0] = '\0';
    d.source_generation++;
    d.shell_retry_after = 0;
    d.renderer_retry_after = 0;
    d.shell_disable_after = 0;
    DAEMON_SET(d.source_path, path);
    DAEMON_SET(d.source_kind, media_kind_name(kind));
    d.failed_path[0] = '\0';
    d.poster_failed_path[0] = '\0';
    policy_evaluate(d.policy);
    media_update();
}

void reevaluate(void) {
    policy_evaluate(g_daemon.policy);
    media_update();
}

void media_update(void) {
    daemon_state &d = g_daemon;
    if (!d.source_path[0])
        return;
    bool posters = poster_wanted();
    if (!posters)
        d.poster_failed_path[0] = '\0';
    if (d.intro_active)
        return;

    if (streq(d.source_kind, "still")) {
        if (d.engine == ENGINE_SHELL)
            return;
        int64_t now = now_ms();
        if (now >= d.shell_retry_after) {
            if (d.shell_plugin_state == 1 || shell_set_background(true) == 0) {
                switch_to_shell();
                return;
            }
            log_warn("shell handoff failed, keeping the renderer for the still");
            d.shell_retry_after = now + RETRY_AFTER_FAILURE_MS;
        }
    }

    // While the renderer draws, a plug-in not yet known to be off is tried
    // again; for a still the next handoff to the shell settles it.
    if (d.engine == ENGINE_RENDERER && !streq(d.source_kind, "still"))
        shell_disable_step();

    // Media is prepared before the engine changes: while a GIF converts, or
    // when its conversion fails, whatever is on screen (a still the shell
    // draws included) stays there.
    if (d.job) {
        if (streq(d.loaded_kind, "video") && policy_paused(d.policy))
            apply_playback();
        return;
    }
    if (streq(d.failed_path, d.source_path)) {
        apply_playback();
        return;
    }

    // The renderer takes paths of at most 1023 bytes; a cut path would name
    // another file, so a longer source is marked failed instead.
    if (strlen(d.source_path) > MEDIA_PATH_MAX) {
        log_error("renderer load failed: %s", d.source_path);
        DAEMON_SET(d.failed_path, d.source_path);
        return;
    }

    char media[TRANSCODE_RESULT_SIZE];
    DAEMON_SET(media, d.source_path);
    if (streq(d.source_kind, "gif")) {
        const config &c = d.config;
        if (transcode_gif_cache_path(d.source_path, c.gif_fps, c.gif_crf, c.max_width, c.max_height,
                                     media, sizeof media) != 0) {
            log_error("cannot resolve gif cache path: %s", d.source_path);
            DAEMON_SET(d.failed_path, d.source_path);
            return;
        }
        if (!transcode_file_ready(media)) {
            d.job_is_poster = false;
            d.job =
                transcode_start_gif(d.source_path, c.gif_fps, c.gif_crf, c.max_width, c.max_height);
            if (d.job) {
                log_info("gif transcode started for %s", d.source_path);
            } else {
                log_error("cannot start gif job: %s", d.source_path);
                DAEMON_SET(d.failed_path, d.source_path);
            }
            return;
        }
    }

    // Without a poster the video itself is loaded; the policy keeps it paused
    // on battery, so it still shows one unmoving frame.
    char poster[TRANSCODE_RESULT_SIZE];
    const char *load = media;
    const char *kind = streq(d.source_kind, "still") ? "still" : "video";
    if (!streq(kind, "still") && posters && !streq(d.poster_failed_path, d.source_path)) {
        if (transcode_poster_cache_path(media, poster, sizeof poster) != 0) {
            log_error("cannot resolve poster path: %s", d.source_path);
            DAEMON_SET(d.poster_failed_path, d.source_path);
        } else if (transcode_file_ready(poster)) {
            d.poster_failed_path[0] = '\0';
            load = poster;
            kind = "still";
        } else {
            // A loaded video pauses while its poster is made.
            if (streq(d.loaded_kind, "video"))
                apply_playback();
            d.job_is_poster = true;
            d.job = transcode_start_poster(media);
            if (d.job) {
                log_info("poster extraction started for %s", d.source_path);
                return;
            }
            log_error("cannot start poster job: %s", d.source_path);
            DAEMON_SET(d.poster_failed_path, d.source_path);
        }
    }

    if (d.engine != ENGINE_RENDERER) {
        if (ensure_renderer() != 0)
            return;
        log_info("engine: renderer");
    }
    if (media_load(load, kind) == 0)
        apply_playback();
}

int ensure_renderer(void) {
    daemon_state &d = g_daemon;
    int64_t now = now_ms();
    if (d.renderer_retry_after != 0 && now < d.renderer_retry_after)
        return -1;
    int spawns = d.supervisor ? d.supervisor->start_count : 0;
    if (renderer_start(d.supervisor) != 0) {
        log_error("renderer start failed");
        d.renderer_retry_after = now + RETRY_AFTER_FAILURE_MS;
        return -1;
    }
    // A fresh process knows nothing of the outputs skipped so far.
    if (d.supervisor->start_count != spawns)
        d.last_skip_outputs[0] = '\0';
    shell_disable_step();
    d.renderer_retry_after = 0;
    d.engine = ENGINE_RENDERER;
    d.renderer_stop_at = 0;
    (void)render_fade(d.supervisor, d.config.fade_ms);
    return 0;
}

void job_finished(void) {
    daemon_state &d = g_daemon;
    if (!d.job)
        return;
    char *mark = d.job_is_poster ? d.poster_failed_path : d.failed_path;
    const size_t mark_size = sizeof d.failed_path;
    // Main thread only; too large for a comfortable stack frame.
    static transcode_outcome outcome;
    if (transcode_job_collect(d.job, &outcome) != 0) {
        log_warn("job for %s produced no result", transcode_job_source(d.job));
        daemon_set_text(mark, mark_size, d.source_path);
    } else if (outcome.ok) {
        log_info("job done for %s", transcode_job_source(d.job));
    } else {
        log_error("job failed for %s", transcode_job_source(d.job));
        daemon_set_text(mark, mark_size, d.source_path);
    }
    transcode_job_free(d.job);
    d.job = nullptr;
    media_update();
}

void renderer_restarted(void) {
    daemon_state &d = g_daemon;
    d.loaded_path[0] = '\0';
    d.loaded_kind[0] = '\0';
    d.failed_path[0] = '\0';
    d.poster_failed_path[0] = '\0';
    d.transition_from_path[0] = '\0';
    d.last_skip_outputs[0] = '\0';
    d.applied_pause = -1;
    d.feed_active = 0;
    d.load_pending = false;
    d.media_ready = false;
    (void)render_fade(d.supervisor, d.config.fade_ms);
    media_update();
}

void renderer_stop_timer(void) {
    daemon_state &d = g_daemon;
    if (d.renderer_stop_at == 0 || now_ms() < d.renderer_stop_at)
        return;
    d.renderer_stop_at = 0;
    if (d.engine == ENGINE_SHELL && renderer_alive(d.supervisor)) {
        log_info("renderer stopped, the shell draws the still");
        renderer_stop(d.supervisor);
    }
}

// The renderer is the engine, no intro owns it, and it no longer runs.
static bool renderer_missing(void) {
    const daemon_state &d = g_daemon;
    return d.engine == ENGINE_RENDERER && !d.intro_active && !renderer_alive(d.supervisor);
}

void media_child_exited(void) {
    daemon_state &d = g_daemon;
    renderer_reap(d.supervisor);
    if (!d.running || !renderer_missing())
        return;
    log_warn("renderer died, restarting");
    if (renderer_start(d.supervisor) != 0) {
        log_error("renderer restart failed");
        return;
    }
    renderer_restarted();
}

void media_restart_if_dead(void) {
    daemon_state &d = g_daemon;
    if (!renderer_missing())
        return;
    if (renderer_start(d.supervisor) == 0)
        renderer_restarted();
}

int media_load(const char *path_arg, const char *kind_arg) {
    daemon_state &d = g_daemon;
    if (!path_arg || !path_arg[0] || !kind_arg || !kind_arg[0])
        return -1;
    // The arguments may be fields of g_daemon that are rewritten below.
    char path[DAEMON_PATH_SIZE];
    char kind[DAEMON_KIND_SIZE];
    DAEMON_SET(path, path_arg);
    DAEMON_SET(kind, kind_arg);
    if (streq(path, d.loaded_path) && streq(kind, d.loaded_kind))
        return 0;

    bool still = streq(kind, "still");
    const char *from =
        streq(kind, "video") && d.transition_from_path[0] ? d.transition_from_path : nullptr;
    if (render_load(d.supervisor, path, kind, from) == 0) {
        DAEMON_SET(d.previous_ready_path, d.ready_path);
        DAEMON_SET(d.previous_ready_kind, d.ready_kind);
        d.transition_from_path[0] = '\0';
        DAEMON_SET(d.loaded_path, path);
        DAEMON_SET(d.loaded_kind, kind);
        d.load_pending = true;
        d.media_ready = false;
        d.ready_deadline = now_ms() + (still ? STILL_READY_MS : VIDEO_READY_MS);
        return 0;
    }
    log_error("renderer load failed: %s", path);
    if (still && poster_wanted() && !streq(path, d.source_path))
        DAEMON_SET(d.poster_failed_path, d.source_path);
    else
        DAEMON_SET(d.failed_path, d.source_path);
    return -1;
}

void media_ready_poll(void) {
    daemon_state &d = g_daemon;
    if (d.engine != ENGINE_RENDERER || !d.load_pending)
        return;
    if (now_ms() >= d.ready_deadline) {
        media_failed();
        return;
    }
    // Main thread only; too large for a comfortable stack frame.
    static char reply[RENDER_POLL_REPLY_SIZE];
    if (render_request(d.supervisor, "{\"cmd\":\"status\"}", reply, sizeof reply) != 0)
        return;
    render_status st;
    if (!render_status_parse(reply, &st))
        return;
    if (st.error) {
        media_failed();
        return;
    }
    if (st.ready && status_names_loaded(reply)) {
        d.load_pending = false;
        d.media_ready = true;
        DAEMON_SET(d.ready_path, d.loaded_path);
        DAEMON_SET(d.ready_kind, d.loaded_kind);
        log_info("media ready: %s", d.loaded_path);
    }
}

void media_failed(void) {
    daemon_state &d = g_daemon;
    d.load_pending = false;
    d.media_ready = false;
    bool still = streq(d.loaded_kind, "still");
    if (still && poster_wanted() && !streq(d.loaded_path, d.source_path))
        DAEMON_SET(d.poster_failed_path, d.source_path);
    else
        DAEMON_SET(d.failed_path, d.source_path);
    if (still)
        (void)render_request(d.supervisor, "{\"cmd\":\"cancel-load\"}", nullptr, 0);
    log_warn("media did not start: %s", d.source_path);
    if (d.previous_ready_path[0] && !streq(d.previous_ready_path, d.loaded_path) &&
        media_load(d.previous_ready_path, d.previous_ready_kind) == 0) {
        log_info("recovered to %s", d.loaded_path);
        apply_playback();
    }
}

void apply_playback(void) {
    daemon_state &d = g_daemon;
    if (!d.supervisor || d.engine != ENGINE_RENDERER)
        return;
    if (session_locked() && policy_feed_allowed(d.policy) && streq(d.loaded_kind, "video") &&
        renderer_alive(d.supervisor)) {
        if (d.feed_active)
            return;
        if (render_feed(d.supervisor) == 0) {
            d.feed_active = 1;
            d.applied_pause = 0; // the renderer plays while it feeds the lock screen
            return;
        }
    } else if (d.feed_active) {
        (void)render_feed_stop(d.supervisor);
        d.applied_pause = -1;
        d.feed_active = 0;
    }
    int wanted = policy_paused(d.policy) ? 1 : 0;
    if (d.applied_pause == wanted)
        return;
    if (wanted) {
        if (render_pause(d.supervisor) == 0)
            d.applied_pause = 1;
    } else {
        if (render_resume(d.supervisor) == 0)
            d.applied_pause = 0;
    }
}

void skip_outputs_sync(void) {
    daemon_state &d = g_daemon;
    if (!d.hypr || !d.supervisor || d.engine != ENGINE_RENDERER)
        return;
    const char *list = hypr_covered_outputs(d.hypr);
    if (!list)
        list = "";
    if (streq(list, d.last_skip_outputs))
        return;
    char array[SKIP_ARRAY_SIZE];
    if (!skip_array(list, array, sizeof array))
        return;
    char req[SKIP_ARRAY_SIZE + 32];
    snprintf(req, sizeof req, "{\"cmd\":\"skip\",\"outputs\":%s}", array);
    if (render_request(d.supervisor, req, nullptr, 0) == 0)
        DAEMON_SET(d.last_skip_outputs, list);
}

bool render_status_parse(const char *reply, render_status *out) {
    render_status st = {false, false, false};
    bool ok = false;
    if (reply) {
        json_doc_ptr doc(yyjson_read(reply, strlen(reply), 0));
        yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
        if (yyjson_is_obj(root)) {
            yyjson_val *status = json_obj_first(root, "status");
            yyjson_val *ready = json_obj_first(root, "ready");
            yyjson_val *error = json_obj_first(root, "error");
            yyjson_val *eof = json_obj_first(root, "eof");
            ok = yyjson_is_str(status) && streq(yyjson_get_str(status), "ok");
            st.ready = yyjson_is_true(ready);
            st.error = yyjson_is_str(error) && yyjson_get_len(error) > 0;
            st.eof = yyjson_is_true(eof);
        }
    }
    if (out)
        *out = st;
    return ok;
}
