#include "media.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include "daemon.h"
#include "hypr.h"
#include "intro.h"
#include "json.h"
#include "log.h"
#include "media_plan.h"
#include "outputs.h"
#include "paths.h"
#include "policy.h"
#include "power.h"
#include "probe.h"
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
constexpr int MEDIA_DECISIONS = 3;

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

// The note of the background last shown, as last written or read: its kind
// word on the first line, its path on the second.
char g_shown_note[DAEMON_KIND_SIZE + DAEMON_PATH_SIZE + 2];

// Notes ready_path as the background last really shown, so that a daemon
// started over a broken background has something to show. Written only when
// it changes, by renaming a complete file over the old one.
void remember_shown(void) {
    const daemon_state &d = g_daemon;
    static int told_errno;
    char note[sizeof g_shown_note];
    int n = snprintf(note, sizeof note, "%s\n%s\n", d.ready_kind, d.ready_path);
    if (!d.ready_path[0] || n < 0 || (size_t)n >= sizeof note || streq(note, g_shown_note))
        return;
    char path[1024];
    char dir[1024];
    char temp[1024 + 8];
    if (path_shown_file(path, sizeof path) != 0 ||
        snprintf(temp, sizeof temp, "%s.part", path) >= (int)sizeof temp)
        return;
    memcpy(dir, path, sizeof dir);
    *strrchr(dir, '/') = '\0';
    mkdir_p(dir);
    int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0 && write(fd, note, (size_t)n) == n;
    int err = errno;
    if (fd >= 0 && close(fd) != 0 && written) {
        written = false;
        err = errno;
    }
    if (written && rename(temp, path) != 0) {
        written = false;
        err = errno;
    }
    if (!written) {
        if (fd >= 0)
            unlink(temp);
        if (err != told_errno)
            log_warn("cannot note the background shown in %s: %s", path, strerror(err));
        told_errno = err;
        return;
    }
    told_errno = 0;
    memcpy(g_shown_note, note, (size_t)n + 1);
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
    d.recovery_loaded = false;
    media_forget_requests();
    outputs_renderer_restarted();
    // The still the shell draws is what a later failure goes back to.
    DAEMON_SET(d.ready_path, d.source_path);
    DAEMON_SET(d.ready_kind, "still");
    remember_shown();
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
    if (shell_set_background(false, &d.shell_disable_failure) != 0) {
        d.shell_disable_after = now + shell_retry_delay_ms(++d.shell_disable_failures);
        return;
    }
    d.shell_plugin_state = 0;
    d.shell_disable_after = 0;
    d.shell_disable_failures = 0;
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

// The prepared files the decision looks at; main thread only.
char g_gif_video[TRANSCODE_RESULT_SIZE];
char g_poster[TRANSCODE_RESULT_SIZE];
char g_proxy[TRANSCODE_RESULT_SIZE];
int g_proxy_width;
int g_proxy_height;
bool g_proxy_cap_fps;

// What the header of the video source said, read once per file identity:
// the decision runs every loop iteration.
struct probed_video {
    char path[DAEMON_PATH_SIZE];
    long long size;
    long long mtime_s;
    long mtime_ns;
    bool ok;
    transcode_video_info info;
};
probed_video g_probed;

const transcode_video_info *probe_source(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0)
        return nullptr;
    probed_video &p = g_probed;
    if (!streq(p.path, path) || p.size != (long long)st.st_size ||
        p.mtime_s != (long long)st.st_mtim.tv_sec || p.mtime_ns != (long)st.st_mtim.tv_nsec) {
        DAEMON_SET(p.path, path);
        p.size = (long long)st.st_size;
        p.mtime_s = (long long)st.st_mtim.tv_sec;
        p.mtime_ns = (long)st.st_mtim.tv_nsec;
        p.ok = transcode_probe_video(path, &p.info) == 0;
    }
    return p.ok ? &p.info : nullptr;
}

// The proxy the video source wants for the outputs now, into g_proxy; false
// when it wants none.
bool wanted_proxy(void) {
    const daemon_state &d = g_daemon;
    int width = 0;
    int height = 0;
    if (!d.config.proxy || !outputs_theme_buffer(&width, &height))
        return false;
    const transcode_video_info *info = probe_source(d.source_path);
    if (!info || !transcode_proxy_size(info->width, info->height, info->fps, width, height,
                                       &g_proxy_width, &g_proxy_height))
        return false;
    g_proxy_cap_fps = info->fps > 60.0;
    return transcode_proxy_cache_path(d.source_path, g_proxy_width, g_proxy_height, g_proxy,
                                      sizeof g_proxy) == 0;
}

} // namespace

media_cached media_cached_files(const char *source_path, const char *source_kind, bool want_poster,
                                char *gif_video, char *poster) {
    media_cached files{};
    const char *media = source_path;
    if (streq(source_kind, "gif")) {
        const config &c = g_daemon.config;
        if (transcode_gif_cache_path(source_path, c.gif_fps, c.gif_crf, c.max_width, c.max_height,
                                     gif_video, TRANSCODE_RESULT_SIZE) != 0)
            return files;
        files.gif_video = gif_video;
        files.gif_video_ready = transcode_file_ready(gif_video);
        if (!files.gif_video_ready)
            return files;
        media = gif_video;
    }
    if (!streq(source_kind, "still") && want_poster &&
        transcode_poster_cache_path(media, poster, TRANSCODE_RESULT_SIZE) == 0) {
        files.poster = poster;
        files.poster_ready = transcode_file_ready(poster);
    }
    return files;
}

namespace {

// What the decision reads, from the record and the disk. Files are looked at
// only where the decision reads them.
void media_gather(media_inputs *in) {
    const daemon_state &d = g_daemon;
    *in = media_inputs{};
    in->source_path = d.source_path;
    in->source_kind = d.source_kind;
    in->intro_active = d.intro_active != 0 || d.intro_starting;
    in->engine = d.engine;
    in->source_failed = d.source_path[0] && streq(d.failed_path, d.source_path);
    in->poster_failed = d.source_path[0] && streq(d.poster_failed_path, d.source_path);
    in->poster_mode = poster_wanted();
    // Only the theme's own job holds its background back; an output's job
    // only makes the theme's wait its turn.
    in->job_running = d.job != nullptr && !d.job_output[0];
    in->overrides_active = outputs_active();
    in->proxy_job = in->job_running && d.job_is_proxy;
    in->conversions_allowed = !on_battery() && !session_locked() && !power_sleeping(g_daemon.power);
    in->loaded_same_video = streq(d.loaded_kind, "video") && d.source_path[0] &&
                            (streq(d.loaded_path, d.source_path) ||
                             (d.loaded_path[0] && streq(d.loaded_proxy_for, d.source_path)));
    in->source_too_long = strlen(d.source_path) > MEDIA_PATH_MAX;
    in->loaded_path = d.loaded_path;
    in->recovery_path = d.previous_ready_path;
    in->recovery_kind = d.previous_ready_kind;
    if (!d.source_path[0] || in->intro_active)
        return;
    bool still = streq(d.source_kind, "still");
    if (still && d.engine != ENGINE_SHELL) {
        in->shell_installed = shell_installed();
        in->shell_due = now_ms() >= d.shell_retry_after;
    }
    if ((in->job_running && !in->proxy_job) || in->source_failed || in->source_too_long)
        return;
    if (streq(d.source_kind, "video") && wanted_proxy()) {
        in->proxy = g_proxy;
        in->proxy_ready = transcode_file_ready(g_proxy);
        in->proxy_failed = streq(d.proxy_failed_path, g_proxy);
        in->proxy_job_current = in->proxy_job && streq(d.job_proxy_path, g_proxy);
    }
    media_cached files = media_cached_files(
        d.source_path, d.source_kind, in->poster_mode && !in->poster_failed, g_gif_video, g_poster);
    in->gif_video = files.gif_video;
    in->gif_video_ready = files.gif_video_ready;
    in->poster = files.poster;
    in->poster_ready = files.poster_ready;
}

void set_mark(plan_mark which) {
    daemon_state &d = g_daemon;
    if (which == PLAN_MARK_SOURCE)
        DAEMON_SET(d.failed_path, d.source_path);
    else if (which == PLAN_MARK_POSTER)
        DAEMON_SET(d.poster_failed_path, d.source_path);
}

// Starts the planned job; false when it could not start (logged and marked).
bool start_job(const media_plan *p) {
    daemon_state &d = g_daemon;
    const config &c = d.config;
    // One job at a time: the theme's waits for an output's.
    if (d.job)
        return false;
    d.job_output[0] = '\0';
    d.job_is_proxy = p->job == PLAN_JOB_PROXY;
    if (d.job_is_proxy) {
        d.job_is_poster = false;
        DAEMON_SET(d.job_proxy_path, g_proxy);
        d.job = transcode_start_proxy(p->job_input, g_proxy_width, g_proxy_height, g_proxy_cap_fps);
        if (d.job) {
            log_info("proxy conversion started for %s", d.source_path);
            return true;
        }
        log_error("cannot start proxy job: %s", d.source_path);
        DAEMON_SET(d.proxy_failed_path, g_proxy);
        return false;
    }
    bool poster = p->job == PLAN_JOB_POSTER;
    d.job_is_poster = poster;
    d.job =
        poster ? transcode_start_poster(p->job_input)
               : transcode_start_gif(p->job_input, c.gif_fps, c.gif_crf, c.max_width, c.max_height);
    if (d.job) {
        log_info(poster ? "poster extraction started for %s" : "gif transcode started for %s",
                 d.source_path);
        return true;
    }
    log_error(poster ? "cannot start poster job: %s" : "cannot start gif job: %s", d.source_path);
    set_mark(poster ? PLAN_MARK_POSTER : PLAN_MARK_SOURCE);
    return false;
}

// Carries the plan out in its fixed order. True when a step failed in a way
// that changes the decision (decide again), false when the plan is done.
bool media_act(const media_plan *p) {
    daemon_state &d = g_daemon;
    if (p->cancel_job) {
        log_info("proxy conversion stopped for %s", transcode_job_source(d.job));
        transcode_job_free(d.job);
        d.job = nullptr;
    }
    if (p->clear_poster_mark)
        d.poster_failed_path[0] = '\0';
    if (p->hand_to_shell) {
        if (d.shell_plugin_state == 1 || shell_set_background(true, &d.shell_enable_failure) == 0) {
            d.shell_handoff_failures = 0;
            switch_to_shell();
            return false;
        }
        // A shell that keeps refusing is asked less and less often, and said
        // so once.
        if (d.shell_handoff_failures == 0)
            log_warn("shell handoff failed, keeping the renderer for the still");
        d.shell_retry_after = now_ms() + shell_retry_delay_ms(++d.shell_handoff_failures);
        return true;
    }
    if (p->disable_shell)
        shell_disable_step();
    if (p->mark != PLAN_MARK_NONE) {
        log_error(p->mark_message, d.source_path);
        set_mark(p->mark);
    }
    if (p->show.path) {
        // A renderer still starting, or a load not answered yet, is carried
        // on by later passes.
        if (p->need_renderer) {
            if (ensure_renderer() != 0)
                return false;
            log_info("engine: renderer");
        }
        if (media_load_show(&p->show) != 0)
            return false;
    }
    if (p->sync_playback)
        apply_playback();
    if (p->job != PLAN_JOB_NONE && !start_job(p))
        return true;
    return false;
}

} // namespace

void media_recall_shown(void) {
    daemon_state &d = g_daemon;
    char path[1024];
    if (path_shown_file(path, sizeof path) != 0)
        return;
    FILE *f = fopen(path, "re");
    if (!f)
        return;
    char kind[DAEMON_KIND_SIZE + 1] = "";
    char shown[DAEMON_PATH_SIZE + 1] = "";
    bool read = fgets(kind, sizeof kind, f) && fgets(shown, sizeof shown, f);
    fclose(f);
    kind[strcspn(kind, "\n")] = '\0';
    size_t len = strcspn(shown, "\n");
    // A cut line would name another file.
    if (!read || shown[len] != '\n' || shown[0] != '/' ||
        !(streq(kind, "still") || streq(kind, "video")))
        return;
    shown[len] = '\0';
    int n = snprintf(g_shown_note, sizeof g_shown_note, "%.*s\n%.*s\n", DAEMON_KIND_SIZE - 1, kind,
                     DAEMON_PATH_SIZE - 1, shown);
    if (len >= DAEMON_PATH_SIZE || n < 0 || (size_t)n >= sizeof g_shown_note) {
        g_shown_note[0] = '\0';
        return;
    }
    if (!transcode_file_ready(shown))
        return;
    DAEMON_SET(d.ready_path, shown);
    DAEMON_SET(d.ready_kind, kind);
}

bool poster_wanted(void) {
    const config &c = g_daemon.config;
    bool configured = c.battery_poster || streq(c.battery_mode, "poster");
    return configured && !g_daemon.always_animate && on_battery();
}

void media_set_source(const char *path) {
    daemon_state &d = g_daemon;
    if (!path || !path[0])
        return;
    media_kind kind = media_kind_of(path);
    // A GIF of one picture is a still: converting it would make a video of
    // one frame that the player redraws for ever.
    if (kind == MEDIA_GIF && probe_gif_frames(path) == 1)
        kind = MEDIA_STILL;
    if (kind == MEDIA_UNKNOWN || streq(path, d.source_path)) {
        intro_end("background changed");
        if (kind == MEDIA_UNKNOWN)
            log_warn("unknown media kind: %s", path);
        return;
    }
    if (d.job && !d.job_output[0]) {
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
    // The old source's load is no longer awaited: its failure is not the new
    // source's. Should the new one fail, what is on screen now comes back.
    d.load_pending = false;
    DAEMON_SET(d.previous_ready_path, d.ready_path);
    DAEMON_SET(d.previous_ready_kind, d.ready_kind);
    d.recovery_loaded = false;
    policy_evaluate(d.policy);
    // An intro ends onto the new background, never back onto the old one.
    intro_end("background changed");
    media_update();
}

void reevaluate(void) {
    policy_evaluate(g_daemon.policy);
    media_update();
}

void media_update(void) {
    // A step that fails (a refused hand-off, a job that cannot start) changes
    // what the next decision sees; two more decisions settle every flow.
    for (int round = 0; round < MEDIA_DECISIONS; round++) {
        media_inputs in;
        media_gather(&in);
        media_plan plan;
        media_plan_decide(&in, &plan);
        if (!media_act(&plan))
            break;
    }
    outputs_update();
}

int ensure_renderer(void) {
    daemon_state &d = g_daemon;
    int64_t now = now_ms();
    if (d.renderer_retry_after != 0 && now < d.renderer_retry_after)
        return -1;
    // A stop still due from the shell's last still would end the start.
    d.renderer_stop_at = 0;
    int r = renderer_start(d.supervisor);
    if (r == 1)
        return 1;
    if (r != 0) {
        log_error("renderer start failed");
        d.renderer_retry_after = now + RETRY_AFTER_FAILURE_MS;
        return -1;
    }
    // A fresh process knows nothing of what the record says it holds.
    if (d.supervisor->pid != d.renderer_pid) {
        d.last_skip_outputs[0] = '\0';
        media_forget_requests();
        outputs_renderer_restarted();
        d.renderer_pid = d.supervisor->pid;
    }
    shell_disable_step();
    d.renderer_retry_after = 0;
    d.engine = ENGINE_RENDERER;
    d.renderer_stop_at = 0;
    (void)render_fade(d.supervisor, d.config.fade_ms);
    (void)render_volume(d.supervisor, d.config.volume);
    (void)render_fit(d.supervisor, &d.config);
    return 0;
}

void job_finished(void) {
    daemon_state &d = g_daemon;
    if (!d.job)
        return;
    char output[DAEMON_OUTPUT_NAME_SIZE];
    DAEMON_SET(output, d.job_output);
    // An output's job marks that output's background, not the theme's.
    static char ignored[DAEMON_PATH_SIZE];
    char *mark = output[0]         ? ignored
                 : d.job_is_proxy  ? d.proxy_failed_path
                 : d.job_is_poster ? d.poster_failed_path
                                   : d.failed_path;
    // A proxy that cannot be made leaves the original playing.
    const char *failed = d.job_is_proxy ? d.job_proxy_path : d.source_path;
    const size_t mark_size = sizeof d.failed_path;
    // Main thread only; too large for a comfortable stack frame.
    static transcode_outcome outcome;
    bool ok = false;
    if (transcode_job_collect(d.job, &outcome) != 0) {
        log_warn("job for %s produced no result", transcode_job_source(d.job));
        daemon_set_text(mark, mark_size, failed);
    } else if (outcome.ok) {
        ok = true;
        log_info("job done for %s", transcode_job_source(d.job));
    } else {
        log_error("job failed for %s", transcode_job_source(d.job));
        daemon_set_text(mark, mark_size, failed);
    }
    transcode_job_free(d.job);
    d.job = nullptr;
    d.job_output[0] = '\0';
    if (output[0])
        outputs_job_finished(output, ok);
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
    media_forget_requests();
    outputs_renderer_restarted();
    d.renderer_pid = d.supervisor ? d.supervisor->pid : 0;
    (void)render_fade(d.supervisor, d.config.fade_ms);
    (void)render_volume(d.supervisor, d.config.volume);
    (void)render_fit(d.supervisor, &d.config);
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
    // A start that goes on is finished by media_restart_if_dead.
    int r = renderer_start(d.supervisor);
    if (r < 0)
        log_error("renderer restart failed");
    else if (r == 0)
        renderer_restarted();
}

void media_restart_if_dead(void) {
    daemon_state &d = g_daemon;
    if (d.engine != ENGINE_RENDERER || d.intro_active || d.intro_starting)
        return;
    // The process the record speaks of still runs.
    supervisor *sup = d.supervisor;
    if (sup && !sup->starting && sup->pid == d.renderer_pid && renderer_alive(sup))
        return;
    if (renderer_start(sup) == 0)
        renderer_restarted();
}

namespace {

// What happened to a load: accepted (awaiting confirmation now) or refused
// (logged and marked). 0 or -1.
int load_outcome(const char *path, const char *kind, bool recovery, const char *proxy_for,
                 bool accepted) {
    daemon_state &d = g_daemon;
    bool still = streq(kind, "still");
    if (accepted) {
        DAEMON_SET(d.loaded_proxy_for, proxy_for);
        DAEMON_SET(d.previous_ready_path, d.ready_path);
        DAEMON_SET(d.previous_ready_kind, d.ready_kind);
        d.transition_from_path[0] = '\0';
        d.recovery_loaded = recovery;
        DAEMON_SET(d.loaded_path, path);
        DAEMON_SET(d.loaded_kind, kind);
        d.load_pending = true;
        d.media_ready = false;
        d.ready_deadline = now_ms() + (still ? STILL_READY_MS : VIDEO_READY_MS);
        if (recovery)
            log_info("recovered to %s", d.loaded_path);
        return 0;
    }
    log_error("renderer load failed: %s", path);
    if (proxy_for && proxy_for[0]) {
        // The original is still there to play.
        DAEMON_SET(d.proxy_failed_path, path);
    } else if (recovery) {
        // Nothing older is tried.
        d.previous_ready_path[0] = '\0';
        d.previous_ready_kind[0] = '\0';
    } else if (still && poster_wanted() && !streq(path, d.source_path)) {
        DAEMON_SET(d.poster_failed_path, d.source_path);
    } else {
        DAEMON_SET(d.failed_path, d.source_path);
    }
    return -1;
}

// The status reply of the readiness poll.
void poll_answered(const char *reply) {
    daemon_state &d = g_daemon;
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
        remember_shown();
    }
}

// A pause, resume or feed the renderer confirmed.
void playback_applied(int tag) {
    daemon_state &d = g_daemon;
    if (tag == RENDER_TAG_FEED) {
        d.feed_active = 1;
        d.applied_pause = 0; // the renderer plays while it feeds the lock screen
    } else {
        d.applied_pause = tag == RENDER_TAG_PAUSE ? 1 : 0;
    }
}

} // namespace

int media_load(const char *path, const char *kind, bool recovery) {
    media_show show = {path, kind, recovery, nullptr, false};
    return media_load_show(&show);
}

int media_load_show(const media_show *show) {
    daemon_state &d = g_daemon;
    const char *path_arg = show->path;
    const char *kind_arg = show->kind;
    bool recovery = show->recovery;
    if (!path_arg || !path_arg[0] || !kind_arg || !kind_arg[0])
        return -1;
    char proxy_for[DAEMON_PATH_SIZE];
    DAEMON_SET(proxy_for, show->proxy_for);
    // The arguments may be fields of g_daemon that are rewritten below.
    char path[DAEMON_PATH_SIZE];
    char kind[DAEMON_KIND_SIZE];
    DAEMON_SET(path, path_arg);
    DAEMON_SET(kind, kind_arg);
    if (streq(path, d.loaded_path) && streq(kind, d.loaded_kind))
        return 0;
    // One load at a time: the renderer has not answered the last one yet.
    if (d.load_asked)
        return 1;

    const char *from =
        streq(kind, "video") && d.transition_from_path[0] ? d.transition_from_path : nullptr;
    int r = render_load(d.supervisor, path, kind, from, show->seamless && !from);
    if (r == 1) {
        d.load_asked = true;
        d.asked_recovery = recovery;
        d.asked_generation = d.source_generation;
        DAEMON_SET(d.asked_path, path);
        DAEMON_SET(d.asked_kind, kind);
        DAEMON_SET(d.asked_proxy_for, proxy_for);
        return 1;
    }
    return load_outcome(path, kind, recovery, proxy_for, r == 0);
}

void media_forget_requests(void) {
    daemon_state &d = g_daemon;
    d.load_asked = false;
    d.poll_asked = false;
    d.playback_asked = false;
}

void media_render_answer(const render_answer *a) {
    daemon_state &d = g_daemon;
    switch (a->tag) {
    case RENDER_TAG_LOAD: {
        if (!d.load_asked)
            return;
        d.load_asked = false;
        bool accepted = a->answered && render_load_verdict(a->text) == 0;
        if (d.asked_generation == d.source_generation) {
            if (load_outcome(d.asked_path, d.asked_kind, d.asked_recovery, d.asked_proxy_for,
                             accepted) == 0)
                apply_playback();
        } else if (accepted) {
            // Meant for a background since replaced: the renderer holds it,
            // and nobody awaits its confirmation.
            DAEMON_SET(d.loaded_path, d.asked_path);
            DAEMON_SET(d.loaded_kind, d.asked_kind);
            DAEMON_SET(d.loaded_proxy_for, d.asked_proxy_for);
            d.transition_from_path[0] = '\0';
        }
        media_update();
        return;
    }
    case RENDER_TAG_POLL:
        if (!d.poll_asked)
            return;
        d.poll_asked = false;
        if (a->answered && d.engine == ENGINE_RENDERER && d.load_pending)
            poll_answered(a->text);
        return;
    case RENDER_TAG_PAUSE:
    case RENDER_TAG_RESUME:
    case RENDER_TAG_FEED:
        if (!d.playback_asked)
            return;
        d.playback_asked = false;
        if (a->answered && json_reply_is_ok(a->text))
            playback_applied(a->tag);
        apply_playback();
        return;
    default:
        return;
    }
}

void media_ready_poll(void) {
    daemon_state &d = g_daemon;
    if (d.engine != ENGINE_RENDERER || !d.load_pending)
        return;
    if (now_ms() >= d.ready_deadline) {
        media_failed();
        return;
    }
    if (d.poll_asked)
        return;
    // Main thread only; too large for a comfortable stack frame.
    static char reply[RENDER_POLL_REPLY_SIZE];
    int r = render_call(d.supervisor, "{\"cmd\":\"status\"}", RENDER_TAG_POLL, reply, sizeof reply);
    if (r == RENDER_LATER)
        d.poll_asked = true;
    else if (r == RENDER_ANSWERED)
        poll_answered(reply);
}

void media_failed(void) {
    daemon_state &d = g_daemon;
    d.load_pending = false;
    d.media_ready = false;
    bool still = streq(d.loaded_kind, "still");
    const char *what = d.source_path;
    if (d.recovery_loaded) {
        // What was shown before fails too: nothing older is tried.
        what = d.loaded_path;
        d.previous_ready_path[0] = '\0';
        d.previous_ready_kind[0] = '\0';
    } else if (d.loaded_proxy_for[0]) {
        // A proxy that does not play gives way to its original.
        what = d.loaded_path;
        DAEMON_SET(d.proxy_failed_path, d.loaded_path);
    } else if (still && poster_wanted() && !streq(d.loaded_path, d.source_path)) {
        DAEMON_SET(d.poster_failed_path, d.source_path);
    } else {
        DAEMON_SET(d.failed_path, d.source_path);
    }
    if (still)
        (void)render_request(d.supervisor, "{\"cmd\":\"cancel-load\"}", nullptr, 0);
    log_warn("media did not start: %s", what);
    // The renderer shows nothing that counts; the next decision brings back
    // what was on screen before, or the video instead of its poster.
    d.recovery_loaded = false;
    d.loaded_path[0] = '\0';
    d.loaded_kind[0] = '\0';
    d.loaded_proxy_for[0] = '\0';
    media_update();
}

void apply_playback(void) {
    daemon_state &d = g_daemon;
    if (!d.supervisor || d.engine != ENGINE_RENDERER || d.playback_asked)
        return;
    if (session_locked() && policy_feed_allowed(d.policy) && streq(d.loaded_kind, "video") &&
        renderer_alive(d.supervisor)) {
        if (d.feed_active)
            return;
        int r = render_feed(d.supervisor);
        if (r == 0) {
            playback_applied(RENDER_TAG_FEED);
            return;
        }
        if (r == 1) {
            d.playback_asked = true;
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
    int r = wanted ? render_pause(d.supervisor) : render_resume(d.supervisor);
    if (r == 0)
        playback_applied(wanted ? RENDER_TAG_PAUSE : RENDER_TAG_RESUME);
    else if (r == 1)
        d.playback_asked = true;
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
    char req[SKIP_ARRAY_SIZE + 64];
    // Without pausing for fullscreen windows, an output's own video plays on
    // behind one as well.
    snprintf(req, sizeof req, "{\"cmd\":\"skip\",\"outputs\":%s%s}", array,
             d.config.pause_fullscreen ? "" : ",\"pause_hidden\":false");
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
