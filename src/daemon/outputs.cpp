#include "outputs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <yyjson.h>

#include "config.h"
#include "daemon.h"
#include "json.h"
#include "log.h"
#include "media.h"
#include "media_plan.h"
#include "paths.h"
#include "policy.h"
#include "probe.h"
#include "supervisor.h"
#include "transcode.h"
#include "watch.h"

namespace {

constexpr int64_t STILL_READY_MS = 30000;
constexpr int64_t VIDEO_READY_MS = 5000;
constexpr int64_t POLL_BUSY_MS = 200;
constexpr int64_t POLL_WATCH_MS = 1000; // outputs coming and going are seen this soon
constexpr int64_t POLL_IDLE_MS = 2000;
constexpr size_t MEDIA_PATH_MAX = 1023; // the longest path the renderer accepts

bool streq(const char *a, const char *b) {
    return strcmp(a, b) == 0;
}

const char *bool_word(bool value) {
    return value ? "true" : "false";
}

render_output *render_output_of(const char *name) {
    daemon_state &d = g_daemon;
    for (int i = 0; i < d.render_output_count; i++)
        if (streq(d.render_outputs[i].name, name))
            return &d.render_outputs[i];
    return nullptr;
}

// Forgets what the renderer was asked to show on the output.
void forget_loaded(output_override *o) {
    o->loaded_path[0] = '\0';
    o->loaded_kind[0] = '\0';
    o->load_pending = false;
    o->ready = false;
    o->ready_deadline = 0;
}

void free_job_of(const char *name) {
    daemon_state &d = g_daemon;
    if (d.job && streq(d.job_output, name)) {
        transcode_job_free(d.job);
        d.job = nullptr;
        d.job_output[0] = '\0';
    }
}

struct link_entry {
    char name[DAEMON_OUTPUT_NAME_SIZE];
    char target[DAEMON_PATH_SIZE];
};

// Main thread only; too large for a comfortable stack frame.
link_entry g_links[DAEMON_OVERRIDES_MAX];
char g_gif_video[TRANSCODE_RESULT_SIZE];
char g_poster[TRANSCODE_RESULT_SIZE];

// The links of the directory; the number read.
int read_links(void) {
    char dir[1024];
    if (path_output_links_dir(dir, sizeof dir) != 0)
        return 0;
    DIR *d = opendir(dir);
    if (!d)
        return 0;
    int count = 0;
    static bool told_full;
    while (struct dirent *e = readdir(d)) {
        // Temporary links of a replacement and anything else hidden are not
        // outputs' names.
        if (output_name_check(e->d_name))
            continue;
        if (count == DAEMON_OVERRIDES_MAX) {
            if (!told_full)
                log_warn("more than %d outputs with a background of their own; %s is left out",
                         DAEMON_OVERRIDES_MAX, e->d_name);
            told_full = true;
            continue;
        }
        link_entry &l = g_links[count];
        if (output_link_read(e->d_name, l.target, sizeof l.target) != 0) {
            log_warn("background link of output %s unreadable", e->d_name);
            continue;
        }
        if (media_kind_of(l.target) == MEDIA_UNKNOWN) {
            log_warn("unknown media kind: %s", l.target);
            continue;
        }
        DAEMON_SET(l.name, e->d_name);
        count++;
    }
    closedir(d);
    return count;
}

void gather(const output_override *o, output_inputs *in) {
    const daemon_state &d = g_daemon;
    *in = output_inputs{};
    in->source_path = o->source_path;
    in->source_kind = o->source_kind;
    in->source_failed = streq(o->failed_path, o->source_path);
    in->poster_failed = streq(o->poster_failed_path, o->source_path);
    in->poster_mode = poster_wanted();
    in->job_running = d.job != nullptr;
    in->job_mine = d.job && streq(d.job_output, o->name);
    in->source_too_long = strlen(o->source_path) > MEDIA_PATH_MAX;
    in->loaded_path = o->loaded_path;
    in->recovery_path = o->ready_path;
    in->recovery_kind = o->ready_kind;
    if (in->job_mine || in->source_failed || in->source_too_long)
        return;
    media_cached files =
        media_cached_files(o->source_path, o->source_kind, in->poster_mode && !in->poster_failed,
                           g_gif_video, g_poster);
    in->gif_video = files.gif_video;
    in->gif_video_ready = files.gif_video_ready;
    in->poster = files.poster;
    in->poster_ready = files.poster_ready;
}

void set_mark(output_override *o, plan_mark which) {
    if (which == PLAN_MARK_SOURCE)
        DAEMON_SET(o->failed_path, o->source_path);
    else if (which == PLAN_MARK_POSTER)
        DAEMON_SET(o->poster_failed_path, o->source_path);
}

void start_job(output_override *o, const output_plan *p) {
    daemon_state &d = g_daemon;
    const config &c = d.config;
    bool poster = p->job == PLAN_JOB_POSTER;
    d.job =
        poster ? transcode_start_poster(p->job_input)
               : transcode_start_gif(p->job_input, c.gif_fps, c.gif_crf, c.max_width, c.max_height);
    if (d.job) {
        d.job_is_poster = poster;
        d.job_is_proxy = false;
        DAEMON_SET(d.job_output, o->name);
        log_info(poster ? "poster extraction started for %s on %s"
                        : "gif transcode started for %s on %s",
                 o->source_path, o->name);
        return;
    }
    log_error(poster ? "cannot start poster job on %s: %s" : "cannot start gif job on %s: %s",
              o->name, o->source_path);
    set_mark(o, poster ? PLAN_MARK_POSTER : PLAN_MARK_SOURCE);
}

// Asks the renderer to show path as kind on the output; the status tells
// whether it did.
void load(output_override *o, const media_show &show) {
    daemon_state &d = g_daemon;
    json_text_ptr path(json_quote(show.path));
    json_text_ptr name(json_quote(o->name));
    // A video fades in from the still the output showed.
    bool from_still = streq(show.kind, "video") && streq(o->ready_kind, "still") &&
                      o->ready_path[0] && o->ready && strlen(o->ready_path) <= MEDIA_PATH_MAX;
    json_text_ptr from(from_still ? json_quote(o->ready_path) : nullptr);
    if (!path || !name || (from_still && !from))
        return;
    std::string req = std::string("{\"cmd\":\"load\",\"path\":") + path.get() + ",\"kind\":\"" +
                      show.kind + "\",\"outputs\":[" + name.get() + "]";
    if (from)
        req += std::string(",\"from\":") + from.get();
    req += "}";
    if (render_request(d.supervisor, req.c_str(), nullptr, 0) != 0)
        return;
    if (o->ready) {
        DAEMON_SET(o->ready_path, o->loaded_path);
        DAEMON_SET(o->ready_kind, o->loaded_kind);
    }
    DAEMON_SET(o->loaded_path, show.path);
    DAEMON_SET(o->loaded_kind, show.kind);
    o->load_pending = true;
    o->ready = false;
    o->ready_deadline = now_ms() + (streq(show.kind, "still") ? STILL_READY_MS : VIDEO_READY_MS);
    if (show.recovery)
        log_info("output %s recovered to %s", o->name, show.path);
}

void load_failed(output_override *o) {
    bool recovery = !streq(o->loaded_path, o->source_path) && streq(o->loaded_path, o->ready_path);
    bool poster = streq(o->loaded_kind, "still") && poster_wanted() &&
                  !streq(o->loaded_path, o->source_path) && !recovery;
    log_warn("media did not start on %s: %s", o->name, o->loaded_path);
    if (recovery) {
        o->ready_path[0] = '\0';
        o->ready_kind[0] = '\0';
    } else if (poster) {
        DAEMON_SET(o->poster_failed_path, o->source_path);
    } else if (!streq(o->failed_path, o->source_path)) {
        DAEMON_SET(o->failed_path, o->source_path);
    } else {
        // What it went back to failed too: nothing older is tried.
        o->ready_path[0] = '\0';
        o->ready_kind[0] = '\0';
    }
    forget_loaded(o);
}

// The renderer's list of outputs from a status reply.
void take_status(const char *reply) {
    daemon_state &d = g_daemon;
    json_doc_ptr doc(yyjson_read(reply, strlen(reply), 0));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    yyjson_val *list = yyjson_is_obj(root) ? json_obj_first(root, "output_list") : nullptr;
    if (!yyjson_is_arr(list))
        return;
    int count = 0;
    size_t idx = 0;
    size_t max = 0;
    yyjson_val *item = nullptr;
    yyjson_arr_foreach(list, idx, max, item) {
        if (count == DAEMON_RENDER_OUTPUTS_MAX || !yyjson_is_obj(item))
            continue;
        yyjson_val *name = json_obj_first(item, "name");
        if (!yyjson_is_str(name) || yyjson_get_len(name) >= DAEMON_OUTPUT_NAME_SIZE)
            continue;
        render_output &r = d.render_outputs[count++];
        r = render_output{};
        DAEMON_SET(r.name, yyjson_get_str(name));
        r.width = (int)yyjson_get_int(json_obj_first(item, "width"));
        r.height = (int)yyjson_get_int(json_obj_first(item, "height"));
        r.scale = yyjson_get_num(json_obj_first(item, "scale"));
        yyjson_val *path = json_obj_first(item, "path");
        yyjson_val *kind = json_obj_first(item, "kind");
        yyjson_val *error = json_obj_first(item, "error");
        DAEMON_SET(r.path, yyjson_is_str(path) ? yyjson_get_str(path) : "");
        DAEMON_SET(r.kind, yyjson_is_str(kind) ? yyjson_get_str(kind) : "");
        r.own = yyjson_is_true(json_obj_first(item, "own"));
        r.ready = yyjson_is_true(json_obj_first(item, "ready"));
        r.paused = yyjson_is_true(json_obj_first(item, "paused"));
        r.covered = yyjson_is_true(json_obj_first(item, "skipped"));
        r.error = yyjson_is_str(error) && yyjson_get_len(error) > 0;
    }
    d.render_output_count = count;
    d.render_outputs_known = true;

    for (output_override &o : d.overrides) {
        if (!o.name[0] || !o.loaded_path[0])
            continue;
        const render_output *r = render_output_of(o.name);
        if (!r)
            continue;
        bool names_it = r->own && streq(r->path, o.loaded_path) && streq(r->kind, o.loaded_kind);
        if (o.load_pending && names_it) {
            if (r->error) {
                load_failed(&o);
            } else if (r->ready) {
                o.load_pending = false;
                o.ready = true;
                log_info("media ready on %s: %s", o.name, o.loaded_path);
            }
        } else if (!o.load_pending && !names_it) {
            // The renderer lost it (restarted, say): it is loaded again.
            forget_loaded(&o);
        }
    }
    media_update();
}

// Outputs the renderer shows an own background on that has none any more.
void unload_strays(void) {
    daemon_state &d = g_daemon;
    for (int i = 0; i < d.render_output_count; i++) {
        render_output &r = d.render_outputs[i];
        if (!r.own || r.unload_asked)
            continue;
        const output_override *o = outputs_find(r.name);
        if (o && o->loaded_path[0])
            continue;
        json_text_ptr name(json_quote(r.name));
        if (!name)
            continue;
        std::string req = std::string("{\"cmd\":\"unload\",\"outputs\":[") + name.get() + "]}";
        if (render_request(d.supervisor, req.c_str(), nullptr, 0) == 0) {
            r.unload_asked = true;
            log_info("output %s shows the theme background", r.name);
        }
    }
}

} // namespace

output_override *outputs_find(const char *name) {
    for (output_override &o : g_daemon.overrides)
        if (o.name[0] && streq(o.name, name))
            return &o;
    return nullptr;
}

bool outputs_rescan(void) {
    daemon_state &d = g_daemon;
    int count = read_links();
    bool changed = false;
    for (output_override &o : d.overrides) {
        if (!o.name[0])
            continue;
        bool kept = false;
        for (int i = 0; i < count; i++)
            kept = kept || streq(g_links[i].name, o.name);
        if (!kept) {
            log_info("output %s: background of its own removed", o.name);
            free_job_of(o.name);
            o = output_override{};
            changed = true;
        }
    }
    for (int i = 0; i < count; i++) {
        const link_entry &l = g_links[i];
        output_override *o = outputs_find(l.name);
        if (o && streq(o->source_path, l.target))
            continue;
        if (!o) {
            for (output_override &free_entry : d.overrides)
                if (!o && !free_entry.name[0])
                    o = &free_entry;
            if (!o)
                continue;
            *o = output_override{};
            DAEMON_SET(o->name, l.name);
        }
        free_job_of(o->name);
        // What the output showed stays what a failure goes back to.
        if (o->ready) {
            DAEMON_SET(o->ready_path, o->loaded_path);
            DAEMON_SET(o->ready_kind, o->loaded_kind);
        }
        DAEMON_SET(o->source_path, l.target);
        media_kind kind = media_kind_of(l.target);
        // A GIF of one picture is a still here too.
        if (kind == MEDIA_GIF && probe_gif_frames(l.target) == 1)
            kind = MEDIA_STILL;
        DAEMON_SET(o->source_kind, media_kind_name(kind));
        o->failed_path[0] = '\0';
        o->poster_failed_path[0] = '\0';
        o->load_pending = false;
        log_info("output %s now shows %s", o->name, o->source_path);
        changed = true;
    }
    return changed;
}

bool outputs_active(void) {
    for (const output_override &o : g_daemon.overrides)
        if (o.name[0])
            return true;
    return false;
}

void outputs_update(void) {
    daemon_state &d = g_daemon;
    if (d.engine != ENGINE_RENDERER || !d.supervisor || d.supervisor->starting || d.intro_active ||
        d.intro_starting || !d.render_outputs_known)
        return;
    for (output_override &o : d.overrides) {
        // An absent output's background is loaded when the output appears.
        if (!o.name[0] || !render_output_of(o.name))
            continue;
        output_inputs in;
        gather(&o, &in);
        output_plan plan;
        output_plan_decide(&in, &plan);
        if (plan.mark != PLAN_MARK_NONE) {
            log_error(plan.mark_message, o.name, o.source_path);
            set_mark(&o, plan.mark);
        }
        if (plan.unload && o.loaded_path[0])
            forget_loaded(&o);
        if (plan.job != PLAN_JOB_NONE)
            start_job(&o, &plan);
        if (plan.show.path &&
            !(streq(plan.show.path, o.loaded_path) && streq(plan.show.kind, o.loaded_kind)))
            load(&o, plan.show);
    }
    unload_strays();
}

void outputs_poll(void) {
    daemon_state &d = g_daemon;
    supervisor *sup = d.supervisor;
    if (d.engine != ENGINE_RENDERER || !sup || sup->starting || !renderer_alive(sup))
        return;
    int64_t now = now_ms();
    for (output_override &o : d.overrides) {
        if (o.name[0] && o.load_pending && now >= o.ready_deadline) {
            load_failed(&o);
            media_update();
        }
    }
    if (d.outputs_poll_asked || now < d.outputs_poll_at)
        return;
    d.outputs_poll_at = now + (outputs_busy()     ? POLL_BUSY_MS
                               : outputs_active() ? POLL_WATCH_MS
                                                  : POLL_IDLE_MS);
    // Main thread only; too large for a comfortable stack frame.
    static char reply[RENDER_POLL_REPLY_SIZE];
    int r = render_call(sup, "{\"cmd\":\"status\"}", RENDER_TAG_OUTPUTS, reply, sizeof reply);
    if (r == RENDER_LATER)
        d.outputs_poll_asked = true;
    else if (r == RENDER_ANSWERED)
        take_status(reply);
}

void outputs_render_answer(const render_answer *a) {
    daemon_state &d = g_daemon;
    if (!d.outputs_poll_asked)
        return;
    d.outputs_poll_asked = false;
    if (a->answered && d.engine == ENGINE_RENDERER)
        take_status(a->text);
}

void outputs_renderer_restarted(void) {
    daemon_state &d = g_daemon;
    for (output_override &o : d.overrides)
        if (o.name[0])
            forget_loaded(&o);
    d.render_output_count = 0;
    d.render_outputs_known = false;
    d.outputs_poll_asked = false;
    d.outputs_poll_at = 0;
}

void outputs_refresh(void) {
    for (output_override &o : g_daemon.overrides) {
        o.failed_path[0] = '\0';
        o.poster_failed_path[0] = '\0';
        forget_loaded(&o);
    }
    outputs_rescan();
    g_daemon.outputs_poll_at = 0;
}

bool outputs_busy(void) {
    for (const output_override &o : g_daemon.overrides)
        if (o.name[0] && o.load_pending)
            return true;
    return false;
}

void outputs_job_finished(const char *name, bool ok) {
    output_override *o = outputs_find(name);
    if (!o || ok)
        return;
    set_mark(o, g_daemon.job_is_poster ? PLAN_MARK_POSTER : PLAN_MARK_SOURCE);
}

bool outputs_theme_buffer(int *width, int *height) {
    const daemon_state &d = g_daemon;
    *width = 0;
    *height = 0;
    if (!d.render_outputs_known)
        return false;
    for (int i = 0; i < d.render_output_count; i++) {
        const render_output &r = d.render_outputs[i];
        // An output with a background of its own (on screen or on its way)
        // does not show the theme's.
        const output_override *o = outputs_find(r.name);
        if (r.own || (o && o->source_path[0] && !streq(o->failed_path, o->source_path)))
            continue;
        fit_mode fit = FIT_COVER;
        config_fit_of(&d.config, r.name, &fit, nullptr);
        if (fit == FIT_CENTER)
            return false;
        if (r.width > *width)
            *width = r.width;
        if (r.height > *height)
            *height = r.height;
    }
    return *width > 0 && *height > 0;
}

char *outputs_report(void) {
    const daemon_state &d = g_daemon;
    bool policy_pause = policy_paused(d.policy);
    std::string out = "[";
    auto add = [&](const char *name, const render_output *r) -> bool {
        const output_override *o = outputs_find(name);
        const char *source = o ? o->source_path : d.source_path;
        const char *kind = o ? o->source_kind : d.source_kind;
        const char *failed = o ? (o->failed_path[0] ? o->failed_path : o->poster_failed_path)
                               : (d.failed_path[0] ? d.failed_path : d.poster_failed_path);
        json_text_ptr qname(json_quote(name));
        json_text_ptr qsource(json_quote(source));
        json_text_ptr qshows(json_quote(r ? r->path : ""));
        json_text_ptr qfailed(json_quote(failed));
        if (!qname || !qsource || !qshows || !qfailed)
            return false;
        bool paused = r ? r->paused : policy_pause;
        fit_mode fit = FIT_COVER;
        config_fit_of(&d.config, name, &fit, nullptr);
        const char *reason = "";
        if (policy_pause)
            reason = policy_reason(d.policy);
        else if (paused)
            reason = "fullscreen";
        char *item = nullptr;
        int n = asprintf(
            &item,
            "%s{\"name\":%s,\"present\":%s,\"width\":%d,\"height\":%d,\"scale\":%.3f,"
            "\"source\":\"%s\",\"source_path\":%s,\"source_kind\":\"%s\",\"shows\":%s,"
            "\"fit\":\"%s\",\"ready\":%s,\"paused\":%s,\"reason\":\"%s\",\"failed_path\":%s}",
            out.size() > 1 ? "," : "", qname.get(), bool_word(r != nullptr), r ? r->width : 0,
            r ? r->height : 0, r ? r->scale : 0.0, o ? "output" : "theme", qsource.get(), kind,
            qshows.get(), fit_mode_word(fit), bool_word(r ? (o ? o->ready : r->ready) : false),
            bool_word(paused), reason, qfailed.get());
        if (n < 0)
            return false;
        out += item;
        free(item);
        return true;
    };
    for (int i = 0; i < d.render_output_count; i++)
        if (!add(d.render_outputs[i].name, &d.render_outputs[i]))
            return nullptr;
    for (const output_override &o : d.overrides)
        if (o.name[0] && !render_output_of(o.name) && !add(o.name, nullptr))
            return nullptr;
    out += "]";
    return strdup(out.c_str());
}
