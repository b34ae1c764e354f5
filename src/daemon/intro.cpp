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

// How the last intro command came out, for the reply it waits for.
intro_start_outcome g_outcome = INTRO_START_NONE;
bool g_load_asked;   // the intro's load is sent, its answer owed
bool g_status_asked; // a status request about the intro is owed
// Since when the renderer has not answered about the intro; 0 while it does.
int64_t g_unreachable_since;

// The load did not happen: the background goes back to its engine.
void give_back(void) {
    g_daemon.engine = ENGINE_NONE;
    media_update();
}

void start_failed(void) {
    daemon_state &d = g_daemon;
    d.intro_starting = false;
    d.intro_path[0] = '\0';
    g_load_asked = false;
    g_outcome = INTRO_START_FAILED;
    give_back();
}

// The renderer's answer to the intro's load.
void load_answered(bool answered, const char *reply) {
    daemon_state &d = g_daemon;
    if (!answered || !json_reply_is_ok(reply)) {
        log_error("intro load rejected: %s", answered ? reply : "");
        start_failed();
        return;
    }
    d.intro_starting = false;
    g_load_asked = false;
    g_outcome = INTRO_START_OK;
    d.intro_active = 1;
    DAEMON_SET(d.intro_result, "running");
    d.intro_deadline = now_ms() + INTRO_LIMIT_MS;
    g_intro_renderer = d.supervisor->pid;
    g_unreachable_since = 0;
    g_status_asked = false;
    // The intro replaced what the renderer showed: the background has to be
    // loaded again afterwards, and a load still awaiting confirmation can no
    // longer be confirmed (failing it would load media over the intro).
    d.loaded_path[0] = '\0';
    d.loaded_kind[0] = '\0';
    d.load_pending = false;
    d.media_ready = false;
    d.applied_pause = -1;
    media_forget_requests();
    log_info("intro playing: %s", d.intro_path);
}

// Carries an asked-for intro on: the renderer started, then the load sent.
void start_step(void) {
    daemon_state &d = g_daemon;
    if (g_load_asked)
        return;
    int engine = d.engine;
    int r = ensure_renderer();
    if (r == 1)
        return;
    if (r != 0) {
        start_failed();
        return;
    }
    if (engine != ENGINE_RENDERER)
        log_info("engine: renderer");

    json_text_ptr quoted(json_quote(d.intro_path));
    size_t size = quoted ? strlen(quoted.get()) + sizeof kLoadTemplate : 0;
    json_text_ptr request(quoted ? static_cast<char *>(malloc(size)) : nullptr);
    if (!request) {
        start_failed();
        return;
    }
    snprintf(request.get(), size, kLoadTemplate, quoted.get());
    char reply[RENDER_REPLY_SIZE];
    int sent = render_call(d.supervisor, request.get(), RENDER_TAG_INTRO_LOAD, reply, sizeof reply);
    if (sent == RENDER_LATER)
        g_load_asked = true;
    else
        load_answered(sent == RENDER_ANSWERED, reply);
}

// A status exchange about the intro failed. A renderer being killed stops
// answering before its exit can be collected: it counts as unreachable only
// after the supervisor's stop grace of failed exchanges.
void status_failed(void) {
    int64_t now = now_ms();
    if (!g_unreachable_since)
        g_unreachable_since = now;
    else if (now - g_unreachable_since >= SUPERVISOR_STOP_CHECKS * SUPERVISOR_POLL_STEP_MS)
        intro_end("renderer unreachable");
}

void status_answered(const char *reply) {
    g_unreachable_since = 0;
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
    if (!path || !path[0] || !d.supervisor || d.intro_active || d.intro_starting ||
        strcmp(d.source_kind, "still") != 0)
        return -1;
    d.intro_starting = true;
    DAEMON_SET(d.intro_path, path);
    g_outcome = INTRO_START_PENDING;
    start_step();
    return g_outcome == INTRO_START_OK ? 0 : g_outcome == INTRO_START_FAILED ? -1 : 1;
}

intro_start_outcome intro_start_result(void) {
    return g_outcome;
}

void intro_end(const char *reason) {
    daemon_state &d = g_daemon;
    if (d.intro_starting) {
        // Asked for and not playing yet: it never starts.
        log_warn("intro ended: %s", reason ? reason : "intro cancelled");
        start_failed();
        return;
    }
    if (!d.intro_active)
        return;
    d.intro_active = 0;
    d.intro_deadline = 0;
    d.intro_path[0] = '\0';
    g_status_asked = false;
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

void intro_render_answer(const render_answer *a) {
    daemon_state &d = g_daemon;
    if (a->tag == RENDER_TAG_INTRO_LOAD && g_load_asked && d.intro_starting) {
        load_answered(a->answered, a->text);
    } else if (a->tag == RENDER_TAG_INTRO_STATUS && g_status_asked && d.intro_active) {
        g_status_asked = false;
        if (a->answered)
            status_answered(a->text);
        else
            status_failed();
    }
}

void intro_watch(void) {
    daemon_state &d = g_daemon;
    if (d.intro_starting)
        start_step();
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
    if (g_status_asked)
        return;
    char reply[RENDER_REPLY_SIZE];
    int r = render_call(d.supervisor, "{\"cmd\":\"status\"}", RENDER_TAG_INTRO_STATUS, reply,
                        sizeof reply);
    if (r == RENDER_LATER)
        g_status_asked = true;
    else if (r == RENDER_ANSWERED)
        status_answered(reply);
    else
        status_failed();
}
