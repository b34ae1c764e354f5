#include "intro.h"

#include "daemon.h"
#include "hypr.h"
#include "json.h"
#include "log.h"
#include "media.h"
#include "power.h"
#include "supervisor.h"

#include <cstdio>
#include <cstring>
#include <sys/types.h>
#include <unistd.h>

namespace {

const char kLoadTemplate[] =
    "{\"cmd\":\"load\",\"path\":%s,\"kind\":\"video\",\"once\":true,\"mute\":true}";

// The renderer process that accepted the intro. Another process in its place
// (a render-restart) knows nothing of the intro and would never report its end.
pid_t g_intro_renderer;

// A status exchange failed. A renderer being killed stops answering before
// its exit can be collected; give it the supervisor's stop grace to show that
// it is gone rather than merely unreachable.
const char *unreachable_reason(supervisor *sup) {
    for (int i = 0; i < SUPERVISOR_STOP_CHECKS; i++) {
        if (!renderer_alive(sup))
            return "renderer stopped";
        usleep(SUPERVISOR_POLL_STEP_MS * 1000);
    }
    return renderer_alive(sup) ? "renderer unreachable" : "renderer stopped";
}

// The load did not happen: the background goes back to its engine.
void give_back(void) {
    g_daemon.engine = ENGINE_NONE;
    media_update();
}

} // namespace

const char *intro_interruption(const intro_signals *s) {
    if (s->renderer_gone)
        return "renderer stopped";
    if (s->timed_out)
        return "intro timed out";
    if (s->power_locked || s->hypr_locked || s->power_sleeping || s->hypr_fullscreen)
        return "intro interrupted";
    return nullptr;
}

intro_progress intro_status_progress(const char *reply) {
    render_status st;
    if (!render_status_parse(reply, &st))
        return INTRO_PLAYING;
    if (st.error)
        return INTRO_DECODE_FAILED;
    return st.eof ? INTRO_FINISHED : INTRO_PLAYING;
}

int intro_start(const char *path) {
    daemon_state &d = g_daemon;
    if (!path || !path[0] || !d.supervisor || d.intro_active || strcmp(d.source_kind, "still") != 0)
        return -1;
    int engine = d.engine;
    if (ensure_renderer() != 0)
        return -1;
    if (engine != ENGINE_RENDERER)
        log_info("engine: renderer");

    json_text_ptr quoted(json_quote(path));
    size_t size = quoted ? strlen(quoted.get()) + sizeof kLoadTemplate : 0;
    json_text_ptr request(quoted ? static_cast<char *>(malloc(size)) : nullptr);
    if (!request) {
        give_back();
        return -1;
    }
    snprintf(request.get(), size, kLoadTemplate, quoted.get());

    char reply[RENDER_REPLY_SIZE];
    bool answered = render_request(d.supervisor, request.get(), reply, sizeof reply) == 0;
    if (!answered || !json_reply_is_ok(reply)) {
        log_error("intro load rejected: %s", answered ? reply : "");
        give_back();
        return -1;
    }

    d.intro_active = 1;
    DAEMON_SET(d.intro_path, path);
    DAEMON_SET(d.intro_result, "running");
    d.intro_deadline = now_ms() + INTRO_LIMIT_MS;
    g_intro_renderer = d.supervisor->pid;
    // The intro replaced what the renderer showed: the background has to be
    // loaded again afterwards, and a load still awaiting confirmation can no
    // longer be confirmed (failing it would load media over the intro).
    d.loaded_path[0] = '\0';
    d.loaded_kind[0] = '\0';
    d.load_pending = false;
    d.media_ready = false;
    d.applied_pause = -1;
    log_info("intro playing: %s", path);
    return 0;
}

void intro_end(const char *reason) {
    daemon_state &d = g_daemon;
    if (!d.intro_active)
        return;
    d.intro_active = 0;
    d.intro_deadline = 0;
    d.intro_path[0] = '\0';
    DAEMON_SET(d.intro_result, reason ? "error" : "ok");
    if (reason)
        log_warn("intro ended: %s", reason);
    else
        log_info("intro finished");
    if (d.engine == ENGINE_RENDERER) {
        d.engine = ENGINE_NONE;
        media_update();
    }
}

void intro_watch(void) {
    daemon_state &d = g_daemon;
    if (!d.intro_active)
        return;
    intro_signals s = {};
    s.renderer_gone = !renderer_alive(d.supervisor) || d.supervisor->pid != g_intro_renderer;
    s.timed_out = now_ms() >= d.intro_deadline;
    s.power_locked = power_locked(d.power);
    s.hypr_locked = hypr_locked(d.hypr);
    s.power_sleeping = power_sleeping(d.power);
    s.hypr_fullscreen = hypr_fullscreen(d.hypr);
    if (const char *reason = intro_interruption(&s)) {
        intro_end(reason);
        return;
    }
    char reply[RENDER_REPLY_SIZE];
    if (render_request(d.supervisor, "{\"cmd\":\"status\"}", reply, sizeof reply) != 0) {
        intro_end(unreachable_reason(d.supervisor));
        return;
    }
    switch (intro_status_progress(reply)) {
    case INTRO_FINISHED:
        intro_end(nullptr);
        break;
    case INTRO_DECODE_FAILED:
        intro_end("intro decode failed");
        break;
    case INTRO_PLAYING:
        break;
    }
}
