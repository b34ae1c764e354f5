#include "daemon_ipc.h"

#include "config.h"
#include "daemon.h"
#include "drm.h"
#include "hypr.h"
#include "intro.h"
#include "json.h"
#include "log.h"
#include "media.h"
#include "outputs.h"
#include "paths.h"
#include "policy.h"
#include "power.h"
#include "supervisor.h"
#include "transcode.h"
#include "watch.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

namespace {

const char kOk[] = "{\"status\":\"ok\"}";
// A refusal of `set` names the file and FFmpeg's reason.
constexpr size_t SET_REASON_SIZE = 8192;

// A command whose reply waits for the renderer: starting it, or answering.
enum held_kind {
    HELD_NONE,
    HELD_INTRO,
    HELD_RESTART,
    HELD_STATUS,
};

struct held_reply {
    held_kind kind;
    ipc_stream *slot;
    uint64_t connection; // the slot may serve another client by then
    uint64_t order;      // render-status answers come back in the order asked
};

held_reply g_held[IPC_MAX_CLIENTS];
uint64_t g_held_order;

void hold(ipc_stream *slot, held_kind kind) {
    for (held_reply &h : g_held) {
        if (h.kind == HELD_NONE) {
            h = {kind, slot, slot->connection, ++g_held_order};
            return;
        }
    }
    // A slot holds at most one waiting command per client; sixteen clients
    // fill the table, so this is not reached.
    log_error("no room to hold a reply");
}

// The held reply of kind asked first, or null.
held_reply *first_held(held_kind kind) {
    held_reply *first = nullptr;
    for (held_reply &h : g_held)
        if (h.kind == kind && (!first || h.order < first->order))
            first = &h;
    return first;
}

// Sends line on a held reply's connection, if its client is still there.
void release(held_reply *h, const char *line) {
    if (h->slot->fd >= 0 && h->slot->connection == h->connection)
        ipc_stream_queue_line(h->slot, line);
    h->kind = HELD_NONE;
}

// A newly allocated formatted text, or null when memory is short.
__attribute__((format(printf, 1, 2))) json_text_ptr format_text(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char *out = nullptr;
    int n = vasprintf(&out, fmt, ap);
    va_end(ap);
    if (n < 0)
        return json_text_ptr();
    return json_text_ptr(out);
}

const char *bool_word(bool value) {
    return value ? "true" : "false";
}

void reply_ok(ipc_stream *slot) {
    ipc_stream_queue_line(slot, kOk);
}

// Messages are fixed texts of this module; none needs escaping.
void reply_error(ipc_stream *slot, const char *message) {
    json_text_ptr text =
        format_text("{\"status\":\"error\",\"message\":\"%s\"}", message ? message : "failed");
    if (text)
        ipc_stream_queue_line(slot, text.get());
}

// A message naming files and FFmpeg's words, so quoted.
void reply_error_text(ipc_stream *slot, const char *message) {
    json_text_ptr quoted(json_quote(message));
    json_text_ptr text(quoted ? format_text("{\"status\":\"error\",\"message\":%s}", quoted.get())
                              : nullptr);
    if (text)
        ipc_stream_queue_line(slot, text.get());
    else
        reply_error(slot, "Cannot set background");
}

void reply_ok_with(ipc_stream *slot, const char *members) {
    if (!members || !members[0]) {
        reply_ok(slot);
        return;
    }
    json_text_ptr text = format_text("{\"status\":\"ok\",%s}", members);
    if (text)
        ipc_stream_queue_line(slot, text.get());
}

void handle_status(ipc_stream *slot) {
    json_text_ptr text(daemon_status_report());
    if (text)
        ipc_stream_queue_line(slot, text.get());
}

void handle_config(ipc_stream *slot) {
    json_text_ptr text(daemon_config_report());
    if (text)
        ipc_stream_queue_line(slot, text.get());
}

// set with an output: that output's own background, or with theme true the
// theme's again.
void handle_set_output(ipc_stream *slot, yyjson_val *root, yyjson_val *output) {
    if (!yyjson_is_str(output) || strlen(yyjson_get_str(output)) != yyjson_get_len(output)) {
        reply_error(slot, "Output name must be a string");
        return;
    }
    const char *name = yyjson_get_str(output);
    if (const char *why = output_name_check(name)) {
        reply_error(slot, why);
        return;
    }
    if (yyjson_is_true(json_obj_first(root, "theme"))) {
        if (output_link_remove(name) != 0) {
            reply_error(slot, "Cannot remove the output's background");
            return;
        }
    } else {
        yyjson_val *path = json_obj_first(root, "path");
        if (!json_is_plain_string(path)) {
            reply_error(slot, "Invalid path");
            return;
        }
        static char refusal[SET_REASON_SIZE]; // main thread only
        if (output_link_set(name, yyjson_get_str(path), refusal, sizeof refusal) != 0) {
            log_warn("set refused: %s", refusal);
            reply_error_text(slot, refusal);
            return;
        }
    }
    // Taken at once, so that the next command already sees it; the watcher
    // then finds nothing new.
    if (outputs_rescan())
        media_update();
    reply_ok(slot);
}

void handle_outputs(ipc_stream *slot) {
    json_text_ptr list(outputs_report());
    json_text_ptr text(list ? format_text("{\"status\":\"ok\",\"outputs\":%s}", list.get())
                            : nullptr);
    if (text)
        ipc_stream_queue_line(slot, text.get());
}

void handle_set(ipc_stream *slot, yyjson_val *root) {
    if (yyjson_val *output = json_obj_first(root, "output")) {
        handle_set_output(slot, root, output);
        return;
    }
    yyjson_val *path = json_obj_first(root, "path");
    if (!json_is_plain_string(path)) {
        reply_error(slot, "Invalid path");
        return;
    }
    // The watcher sees the replaced link and adopts the new source.
    static char refusal[SET_REASON_SIZE]; // main thread only
    if (background_link_set(yyjson_get_str(path), refusal, sizeof refusal) != 0) {
        log_warn("set refused: %s", refusal);
        reply_error_text(slot, refusal);
        return;
    }
    // A renderer that could not start will not show this one either: say why.
    const char *why = renderer_error(g_daemon.supervisor);
    json_text_ptr quoted(why[0] ? json_quote(why) : nullptr);
    json_text_ptr member(quoted ? format_text("\"render_error\":%s", quoted.get()) : nullptr);
    reply_ok_with(slot, member ? member.get() : nullptr);
}

bool intro_path_valid(yyjson_val *value) {
    if (!json_is_plain_string(value))
        return false;
    const char *path = yyjson_get_str(value);
    if (path[0] != '/')
        return false;
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    // Readable in fact: the renderer has to open it.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

void handle_intro(ipc_stream *slot, yyjson_val *root) {
    if (!intro_path_valid(json_obj_first(root, "path"))) {
        reply_error(slot, "Invalid intro path");
        return;
    }
    int r = intro_start(yyjson_get_str(json_obj_first(root, "path")));
    if (r == 1) {
        hold(slot, HELD_INTRO);
        return;
    }
    if (r != 0) {
        reply_error(slot, "Intro start failed");
        return;
    }
    reply_ok(slot);
}

void handle_intro_status(ipc_stream *slot) {
    json_text_ptr text = format_text("{\"status\":\"ok\",\"running\":%s,\"result\":\"%s\"}",
                                     bool_word(g_daemon.intro_active != 0), g_daemon.intro_result);
    if (!text) {
        reply_error(slot, "intro status failed");
        return;
    }
    ipc_stream_queue_line(slot, text.get());
}

void handle_intro_stop(ipc_stream *slot) {
    intro_end("intro cancelled");
    reply_ok(slot);
}

void handle_refresh(ipc_stream *slot) {
    char target[DAEMON_PATH_SIZE];
    if (background_link_read(target, sizeof target) != 0) {
        reply_error(slot, "symlink unreadable");
        return;
    }
    // An unchanged target then counts as new and is loaded again.
    g_daemon.source_path[0] = '\0';
    g_daemon.loaded_path[0] = '\0';
    outputs_refresh();
    media_set_source(target);
    reply_ok(slot);
}

void handle_manual(ipc_stream *slot, bool paused) {
    policy_set_manual(g_daemon.policy, paused);
    reevaluate();
    reply_ok(slot);
}

void handle_idle(ipc_stream *slot, bool paused) {
    policy_set_idle(g_daemon.policy, paused);
    reevaluate();
    reply_ok(slot);
}

void handle_always_animate(ipc_stream *slot, yyjson_val *root) {
    yyjson_val *value = json_obj_first(root, "value");
    if (!value || !yyjson_is_bool(value)) {
        reply_error(slot, "missing value");
        return;
    }
    g_daemon.always_animate = yyjson_get_bool(value);
    reevaluate();
    reply_ok(slot);
}

void handle_reload_config(ipc_stream *slot) {
    char path[1024];
    if (daemon_reload_config(path, sizeof path) != 0) {
        reply_error(slot, "config load failed");
        return;
    }
    reply_ok(slot);
}

void handle_render_status(ipc_stream *slot) {
    if (g_daemon.engine == ENGINE_RENDERER) {
        char reply[RENDER_REPLY_SIZE];
        int r = render_call(g_daemon.supervisor, "{\"cmd\":\"status\"}", RENDER_TAG_STATUS_COMMAND,
                            reply, sizeof reply);
        if (r == RENDER_LATER)
            hold(slot, HELD_STATUS);
        else if (r == RENDER_ANSWERED)
            ipc_stream_queue_line(slot, reply);
        else
            reply_error(slot, "render unreachable");
        return;
    }
    json_text_ptr path(json_quote(g_daemon.source_path));
    json_text_ptr kind(json_quote(g_daemon.source_kind));
    bool has_video =
        strcmp(g_daemon.source_kind, "video") == 0 || strcmp(g_daemon.source_kind, "gif") == 0;
    json_text_ptr text;
    if (path && kind)
        text = format_text(
            "{\"status\":\"ok\",\"engine\":\"shell\",\"path\":%s,\"kind\":%s,\"paused\":false,"
            "\"ready\":true,\"outputs\":0,\"has_video\":%s,\"has_still\":%s,\"time_pos\":-1.000,"
            "\"hwdec\":\"no\",\"error\":\"\",\"skipped\":\"\"}",
            path.get(), kind.get(), bool_word(has_video), bool_word(!has_video));
    if (!text) {
        reply_error(slot, "render unavailable");
        return;
    }
    ipc_stream_queue_line(slot, text.get());
}

void handle_render_restart(ipc_stream *slot) {
    if (g_daemon.engine != ENGINE_RENDERER) {
        log_info("render-restart ignored while the shell draws the background");
        reply_ok_with(slot, "\"engine\":\"shell\"");
        return;
    }
    renderer_stop(g_daemon.supervisor);
    int r = renderer_start(g_daemon.supervisor);
    if (r == 1) {
        // The loop's restart step sends everything again once it listens.
        hold(slot, HELD_RESTART);
        return;
    }
    if (r != 0) {
        reply_error(slot, "render restart failed");
        return;
    }
    renderer_restarted();
    reply_ok(slot);
}

void handle_shutdown(ipc_stream *slot) {
    // queue_line flushes at once, so the client has its answer before the
    // loop ends and the server closes the connection.
    reply_ok(slot);
    g_daemon.running = false;
}

} // namespace

void daemon_ipc_tick(void) {
    for (held_reply &h : g_held) {
        if (h.kind == HELD_INTRO) {
            intro_start_outcome outcome = intro_start_result();
            if (outcome == INTRO_START_OK)
                release(&h, kOk);
            else if (outcome != INTRO_START_PENDING)
                release(&h, "{\"status\":\"error\",\"message\":\"Intro start failed\"}");
        } else if (h.kind == HELD_RESTART) {
            supervisor *sup = g_daemon.supervisor;
            if (sup && sup->starting)
                continue;
            if (sup && sup->pid > 0 && sup->pid == g_daemon.renderer_pid)
                release(&h, kOk);
            else if (!renderer_alive(sup))
                release(&h, "{\"status\":\"error\",\"message\":\"render restart failed\"}");
        }
    }
}

void daemon_ipc_render_answer(const render_answer *a) {
    held_reply *h = first_held(HELD_STATUS);
    if (!h)
        return;
    if (a->answered && strlen(a->text) < RENDER_REPLY_SIZE)
        release(h, a->text);
    else
        release(h, "{\"status\":\"error\",\"message\":\"render unreachable\"}");
}

char *daemon_status_report(void) {
    json_text_ptr source(json_quote(g_daemon.source_path));
    json_text_ptr loaded(json_quote(g_daemon.loaded_path));
    json_text_ptr failed(
        json_quote(g_daemon.failed_path[0] ? g_daemon.failed_path : g_daemon.poster_failed_path));
    json_text_ptr render_error(json_quote(renderer_error(g_daemon.supervisor)));
    json_text_ptr outputs(outputs_report());
    json_text_ptr proxy_for(json_quote(g_daemon.loaded_path[0] ? g_daemon.loaded_proxy_for : ""));
    if (!source || !loaded || !failed || !render_error || !outputs || !proxy_for)
        return nullptr;
    const hypr_monitor *hypr = g_daemon.hypr;
    const power_monitor *power = g_daemon.power;
    bool locked = power_locked(power) || hypr_locked(hypr);
    json_text_ptr text = format_text(
        "{\"status\":\"ok\",\"source_path\":%s,\"source_kind\":\"%s\",\"loaded_path\":%s,"
        "\"loaded_kind\":\"%s\",\"job_running\":%s,\"failed_path\":%s,\"media_ready\":%s,"
        "\"engine\":\"%s\",\"paused\":%s,\"reason\":\"%s\",\"always_animate\":%s,"
        "\"manual_pause\":%s,\"idle_pause\":%s,\"fullscreen\":%s,\"window_visible\":%s,"
        "\"monitors_off\":%s,\"monitor_count\":%d,\"on_battery\":%s,\"locked\":%s,"
        "\"render_alive\":%s,\"intro\":%s,\"intro_result\":\"%s\",\"drm_dpms\":%s,"
        "\"render_error\":%s,\"outputs\":%s,\"proxy_for\":%s}",
        source.get(), g_daemon.source_kind, loaded.get(), g_daemon.loaded_kind,
        bool_word(g_daemon.job != nullptr), failed.get(), bool_word(g_daemon.media_ready),
        daemon_engine_name(g_daemon.engine), bool_word(policy_paused(g_daemon.policy)),
        policy_reason(g_daemon.policy), bool_word(g_daemon.always_animate),
        bool_word(policy_manual(g_daemon.policy)), bool_word(policy_idle(g_daemon.policy)),
        bool_word(hypr_fullscreen(hypr)), bool_word(hypr_occupied(hypr)),
        bool_word(hypr_monitors_off(hypr)), hypr_monitor_count(hypr),
        bool_word(power_on_battery(power)), bool_word(locked),
        bool_word(renderer_alive(g_daemon.supervisor)), bool_word(g_daemon.intro_active != 0),
        g_daemon.intro_result, bool_word(drm_probe_enabled()), render_error.get(), outputs.get(),
        proxy_for.get());
    return text.release();
}

char *daemon_config_report(void) {
    const config &cfg = g_daemon.config;
    std::string list = "[";
    int count = cfg.blocklist_count;
    if (count < 0)
        count = 0;
    if (count > CONFIG_BLOCKLIST_MAX)
        count = CONFIG_BLOCKLIST_MAX;
    for (int i = 0; i < count; i++) {
        char entry[CONFIG_BLOCKLIST_NAME_SIZE];
        daemon_set_text(entry, sizeof entry, cfg.blocklist[i]);
        json_text_ptr quoted(json_quote(entry));
        if (!quoted)
            return nullptr;
        if (i > 0)
            list += ",";
        list += quoted.get();
    }
    list += "]";
    json_text_ptr outputs(config_fit_outputs_json(&cfg));
    if (!outputs)
        return nullptr;
    char color[8];
    color_text(cfg.background_color, color, sizeof color);
    json_text_ptr text = format_text(
        "{\"status\":\"ok\",\"pause_fullscreen\":%s,\"pause_occupied_workspace\":%s,"
        "\"battery_poster\":%s,\"battery_mode\":\"%s\",\"gif_fps\":%d,\"gif_crf\":%d,"
        "\"max_width\":%d,\"max_height\":%d,\"cache_max_mb\":%d,\"fade_ms\":%d,"
        "\"volume\":%d,\"blocklist_count\":%d,\"blocklist\":%s,\"fit\":\"%s\","
        "\"background_color\":\"%s\",\"outputs\":%s}",
        bool_word(cfg.pause_fullscreen), bool_word(cfg.pause_occupied_workspace),
        bool_word(cfg.battery_poster), cfg.battery_mode, (int)cfg.gif_fps, (int)cfg.gif_crf,
        (int)cfg.max_width, (int)cfg.max_height, (int)cfg.cache_max_mb, (int)cfg.fade_ms,
        (int)cfg.volume, (int)cfg.blocklist_count, list.c_str(), fit_mode_word(cfg.fit), color,
        outputs.get());
    return text.release();
}

void daemon_dispatch(ipc_server *server, ipc_stream *slot, char *line) {
    (void)server;
    if (!slot || !line)
        return;
    json_doc_ptr doc(yyjson_read(line, strlen(line), 0));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!root || !yyjson_is_obj(root)) {
        reply_error(slot, "bad json");
        return;
    }
    yyjson_val *cmd_val = json_obj_first(root, "cmd");
    // Compared with its length: a name followed by an escaped NUL is not it.
    std::string_view cmd;
    if (yyjson_is_str(cmd_val))
        cmd = std::string_view(yyjson_get_str(cmd_val), yyjson_get_len(cmd_val));

    if (cmd == "hello")
        reply_ok_with(slot, "\"version\":1");
    else if (cmd == "status")
        handle_status(slot);
    else if (cmd == "config")
        handle_config(slot);
    else if (cmd == "outputs")
        handle_outputs(slot);
    else if (cmd == "set")
        handle_set(slot, root);
    else if (cmd == "intro")
        handle_intro(slot, root);
    else if (cmd == "intro-status")
        handle_intro_status(slot);
    else if (cmd == "intro-stop")
        handle_intro_stop(slot);
    else if (cmd == "refresh")
        handle_refresh(slot);
    else if (cmd == "pause")
        handle_manual(slot, true);
    else if (cmd == "resume")
        handle_manual(slot, false);
    else if (cmd == "idle-pause")
        handle_idle(slot, true);
    else if (cmd == "idle-resume")
        handle_idle(slot, false);
    else if (cmd == "always-animate")
        handle_always_animate(slot, root);
    else if (cmd == "reload-config")
        handle_reload_config(slot);
    else if (cmd == "render-status")
        handle_render_status(slot);
    else if (cmd == "render-restart")
        handle_render_restart(slot);
    else if (cmd == "shutdown")
        handle_shutdown(slot);
    else
        reply_error(slot, "unknown cmd");
}
