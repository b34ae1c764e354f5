#include "media_plan.h"

#include "daemon.h"

#include <cstring>

namespace {

bool streq(const char *a, const char *b) {
    return strcmp(a, b) == 0;
}

// A failed source stays failed; what was on screen before it comes back,
// unless the shell still draws it or the renderer already holds something.
void decide_failed(const media_inputs *in, media_plan *out) {
    if (in->engine != ENGINE_SHELL && !in->loaded_path[0] && in->recovery_path[0] &&
        !streq(in->recovery_path, in->source_path)) {
        out->show = {in->recovery_path, in->recovery_kind, true, nullptr, false};
        out->need_renderer = in->engine != ENGINE_RENDERER;
    }
    out->sync_playback = true;
}

void mark(media_plan *out, plan_mark which, const char *message) {
    out->mark = which;
    out->mark_message = message;
}

} // namespace

void media_plan_decide(const media_inputs *in, media_plan *out) {
    *out = media_plan{};
    if (!in->source_path[0])
        return;
    if (!in->poster_mode)
        out->clear_poster_mark = true;
    if (in->intro_active)
        return;

    bool still = streq(in->source_kind, "still");
    if (still && !in->overrides_active) {
        if (in->engine == ENGINE_SHELL)
            return;
        if (in->shell_installed && in->shell_due) {
            out->hand_to_shell = true;
            return;
        }
    }
    // While the renderer draws, a plug-in not yet known to be off is tried
    // again; for a still the next handoff to the shell settles it.
    if (in->engine == ENGINE_RENDERER && (!still || in->overrides_active))
        out->disable_shell = true;

    // Media is prepared before the engine changes: while a job runs, or when
    // preparing fails, whatever is on screen stays there, and it keeps
    // following the policy.
    // A proxy conversion is different: the original plays meanwhile, and
    // the conversion gives way to battery power, a locked or sleeping
    // session, a poster, or outputs that want another size.
    bool job_running = in->job_running;
    if (job_running && in->proxy_job &&
        (!in->proxy || !in->proxy_job_current || !in->conversions_allowed || in->poster_mode ||
         in->source_failed)) {
        out->cancel_job = true;
        job_running = false;
    }
    if (job_running && !in->proxy_job) {
        out->sync_playback = true;
        return;
    }
    if (in->source_failed) {
        decide_failed(in, out);
        return;
    }
    // A cut path would name another file.
    if (in->source_too_long) {
        mark(out, PLAN_MARK_SOURCE, "renderer load failed: %s");
        return;
    }

    const char *media = in->source_path;
    if (streq(in->source_kind, "gif")) {
        if (!in->gif_video) {
            mark(out, PLAN_MARK_SOURCE, "cannot resolve gif cache path: %s");
            return;
        }
        if (!in->gif_video_ready) {
            out->job = PLAN_JOB_GIF;
            out->job_input = in->source_path;
            return;
        }
        media = in->gif_video;
    }

    out->show = {media, still ? "still" : "video", false, nullptr, false};
    if (!still && in->poster_mode && !in->poster_failed) {
        if (!in->poster) {
            // Without a poster the video itself is shown; the policy keeps it
            // paused on battery, so it still shows one unmoving frame.
            mark(out, PLAN_MARK_POSTER, "cannot resolve poster path: %s");
        } else if (in->poster_ready) {
            out->show = {in->poster, "still", false, nullptr, false};
        } else {
            // What is loaded pauses while the poster is made.
            out->show = {};
            out->job = PLAN_JOB_POSTER;
            out->job_input = media;
            out->sync_playback = true;
            return;
        }
    } else if (in->proxy && streq(in->source_kind, "video")) {
        if (in->proxy_ready && !in->proxy_failed) {
            out->show = {in->proxy, "video", false, in->source_path, in->loaded_same_video};
        } else {
            // The original plays (again, when outputs grew past a proxy)
            // until the proxy for these outputs is made.
            out->show.seamless = in->loaded_same_video;
            if (!in->proxy_failed && in->conversions_allowed && !job_running) {
                out->job = PLAN_JOB_PROXY;
                out->job_input = in->source_path;
            }
        }
    }
    out->need_renderer = in->engine != ENGINE_RENDERER;
    out->sync_playback = true;
}

void output_plan_decide(const output_inputs *in, output_plan *out) {
    *out = output_plan{};
    if (!in->source_path[0] || in->job_mine)
        return;
    if (in->source_failed) {
        // What the output showed before comes back; with nothing before, the
        // theme background.
        if (in->loaded_path[0])
            return;
        if (in->recovery_path[0] && !streq(in->recovery_path, in->source_path))
            out->show = {in->recovery_path, in->recovery_kind, true, nullptr, false};
        else
            out->unload = true;
        return;
    }
    if (in->source_too_long) {
        out->mark = PLAN_MARK_SOURCE;
        out->mark_message = "renderer load failed on %s: %s";
        return;
    }
    bool still = streq(in->source_kind, "still");
    const char *media = in->source_path;
    if (streq(in->source_kind, "gif")) {
        if (!in->gif_video) {
            out->mark = PLAN_MARK_SOURCE;
            out->mark_message = "cannot resolve gif cache path on %s: %s";
            return;
        }
        if (!in->gif_video_ready) {
            // One job at a time: this one waits for the running one.
            if (!in->job_running) {
                out->job = PLAN_JOB_GIF;
                out->job_input = in->source_path;
            }
            return;
        }
        media = in->gif_video;
    }
    out->show = {media, still ? "still" : "video", false, nullptr, false};
    if (still || !in->poster_mode || in->poster_failed)
        return;
    if (!in->poster) {
        out->mark = PLAN_MARK_POSTER;
        out->mark_message = "cannot resolve poster path on %s: %s";
    } else if (in->poster_ready) {
        out->show = {in->poster, "still", false, nullptr, false};
    } else if (!in->job_running) {
        // The video, paused by the policy, is shown while its poster is made.
        out->job = PLAN_JOB_POSTER;
        out->job_input = media;
    }
}
