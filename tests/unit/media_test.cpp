// The media orchestration's decisions, renderer status replies as the daemon
// reads them, and the supervisor's socket placement and behaviour without a
// renderer process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>

#include "daemon.h"
#include "media.h"
#include "media_plan.h"
#include "supervisor.h"

// Each case names only what differs from an idle daemon.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// What a plan does, in the terms a case states it.
struct expected_plan {
    bool hand_to_shell;
    bool disable_shell;
    bool need_renderer;
    plan_job job;
    plan_mark mark;
    const char *show; // null: nothing loaded
    const char *kind;
    bool recovery;
    bool sync_playback;
    bool cancel_job;
    bool seamless;
    const char *proxy_for;
};

struct plan_case {
    const char *name;
    media_inputs in;
    expected_plan out;
};

const char *text(const char *s) {
    return s ? s : "";
}

// Unset texts of a case read as empty, as the record's fields do.
media_inputs filled(media_inputs in) {
    in.source_path = text(in.source_path);
    in.source_kind = text(in.source_kind);
    in.loaded_path = text(in.loaded_path);
    in.recovery_path = text(in.recovery_path);
    in.recovery_kind = text(in.recovery_kind);
    return in;
}

TEST(MediaPlanDecide, Flows) {
    const char *gif_video = "/c/kiv/gif/1234.mp4";
    const char *poster = "/c/kiv/gif/poster-1234.png";
    const char *proxy = "/c/kiv/proxy/5678.mkv";
    const plan_case cases[] = {
        {"oversized video: the original plays while its proxy is made",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .proxy = proxy,
          .conversions_allowed = true,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true,
          .job = PLAN_JOB_PROXY,
          .show = "/v.mp4",
          .kind = "video",
          .sync_playback = true}},
        {"oversized video just set: the original first, the job with it",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_SHELL,
          .proxy = proxy,
          .conversions_allowed = true},
         {.need_renderer = true,
          .job = PLAN_JOB_PROXY,
          .show = "/v.mp4",
          .kind = "video",
          .sync_playback = true}},
        {"proxy being made: the original goes on playing",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .job_running = true,
          .proxy = proxy,
          .proxy_job = true,
          .proxy_job_current = true,
          .conversions_allowed = true,
          .loaded_same_video = true,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true,
          .show = "/v.mp4",
          .kind = "video",
          .sync_playback = true,
          .seamless = true}},
        {"proxy ready: it takes over where the original is",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .proxy = proxy,
          .proxy_ready = true,
          .conversions_allowed = true,
          .loaded_same_video = true,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true,
          .show = proxy,
          .kind = "video",
          .sync_playback = true,
          .seamless = true,
          .proxy_for = "/v.mp4"}},
        {"proxy ready when set again: it plays at once, on battery too",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .proxy = proxy,
          .proxy_ready = true,
          .loaded_path = "/other.mp4"},
         {.disable_shell = true,
          .show = proxy,
          .kind = "video",
          .sync_playback = true,
          .proxy_for = "/v.mp4"}},
        {"on battery, locked or asleep: no conversion starts",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .proxy = proxy,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true, .show = "/v.mp4", .kind = "video", .sync_playback = true}},
        {"a running conversion stops when it may no longer run",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .job_running = true,
          .proxy = proxy,
          .proxy_job = true,
          .proxy_job_current = true,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true,
          .show = "/v.mp4",
          .kind = "video",
          .sync_playback = true,
          .cancel_job = true}},
        {"outputs grew: the original again, the old conversion gives way to a new one",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .job_running = true,
          .proxy = proxy,
          .proxy_job = true,
          .conversions_allowed = true,
          .loaded_same_video = true,
          .loaded_path = "/c/kiv/proxy/small.mkv"},
         {.disable_shell = true,
          .job = PLAN_JOB_PROXY,
          .show = "/v.mp4",
          .kind = "video",
          .sync_playback = true,
          .cancel_job = true,
          .seamless = true}},
        {"outputs the video fits: no proxy, a running conversion stops",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .job_running = true,
          .proxy_job = true,
          .conversions_allowed = true,
          .loaded_same_video = true,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true,
          .show = "/v.mp4",
          .kind = "video",
          .sync_playback = true,
          .cancel_job = true}},
        {"proxy failed: the original plays and nothing is tried again",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .proxy = proxy,
          .proxy_ready = true,
          .proxy_failed = true,
          .conversions_allowed = true,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true, .show = "/v.mp4", .kind = "video", .sync_playback = true}},
        {"poster mode: the poster, not the proxy, and its conversion stops",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .poster_mode = true,
          .job_running = true,
          .poster = poster,
          .poster_ready = true,
          .proxy = proxy,
          .proxy_job = true,
          .proxy_job_current = true,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true,
          .show = poster,
          .kind = "still",
          .sync_playback = true,
          .cancel_job = true}},
        {"a gif job is not given up for proxies",
         {.source_path = "/a.gif",
          .source_kind = "gif",
          .engine = ENGINE_RENDERER,
          .job_running = true,
          .conversions_allowed = false},
         {.disable_shell = true, .sync_playback = true}},
        {"no background yet", {}, {}},
        {"still to the shell",
         {.source_path = "/s.png",
          .source_kind = "still",
          .shell_installed = true,
          .shell_due = true},
         {.hand_to_shell = true}},
        {"still the shell draws stays",
         {.source_path = "/s.png",
          .source_kind = "still",
          .engine = ENGINE_SHELL,
          .shell_installed = true,
          .shell_due = true},
         {}},
        {"no shell installed: no hand-off, the renderer draws the still",
         {.source_path = "/s.png",
          .source_kind = "still",
          .shell_installed = false,
          .shell_due = true},
         {.need_renderer = true, .show = "/s.png", .kind = "still", .sync_playback = true}},
        {"shell backing off: the renderer draws the still",
         {.source_path = "/s.png",
          .source_kind = "still",
          .engine = ENGINE_RENDERER,
          .shell_installed = true,
          .shell_due = false,
          .loaded_path = "/s.png"},
         {.show = "/s.png", .kind = "still", .sync_playback = true}},
        {"video on the renderer keeps the plug-in off",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true, .show = "/v.mp4", .kind = "video", .sync_playback = true}},
        {"video from the shell starts the renderer",
         {.source_path = "/v.mp4", .source_kind = "video", .engine = ENGINE_SHELL},
         {.need_renderer = true, .show = "/v.mp4", .kind = "video", .sync_playback = true}},
        {"still with outputs of their own: no hand-off, the plug-in kept off",
         {.source_path = "/s.png",
          .source_kind = "still",
          .engine = ENGINE_RENDERER,
          .shell_installed = true,
          .shell_due = true,
          .loaded_path = "/s.png",
          .overrides_active = true},
         {.disable_shell = true, .show = "/s.png", .kind = "still", .sync_playback = true}},
        {"still the shell draws, an output gets its own: the renderer draws all",
         {.source_path = "/s.png",
          .source_kind = "still",
          .engine = ENGINE_SHELL,
          .shell_installed = true,
          .shell_due = true,
          .overrides_active = true},
         {.need_renderer = true, .show = "/s.png", .kind = "still", .sync_playback = true}},
        {"intro owns the renderer",
         {.source_path = "/s.png",
          .source_kind = "still",
          .intro_active = true,
          .engine = ENGINE_RENDERER,
          .shell_installed = true,
          .shell_due = true},
         {}},
        {"gif not converted yet: a job, what is shown stays",
         {.source_path = "/a.gif",
          .source_kind = "gif",
          .engine = ENGINE_RENDERER,
          .gif_video = gif_video,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true, .job = PLAN_JOB_GIF}},
        {"gif from the shell: converted before the engine changes",
         {.source_path = "/a.gif",
          .source_kind = "gif",
          .engine = ENGINE_SHELL,
          .gif_video = gif_video},
         {.job = PLAN_JOB_GIF}},
        {"gif converted: its video is shown",
         {.source_path = "/a.gif",
          .source_kind = "gif",
          .engine = ENGINE_RENDERER,
          .gif_video = gif_video,
          .gif_video_ready = true,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true, .show = gif_video, .kind = "video", .sync_playback = true}},
        {"gif cache path unresolvable",
         {.source_path = "/a.gif",
          .source_kind = "gif",
          .engine = ENGINE_RENDERER,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true, .mark = PLAN_MARK_SOURCE}},
        {"while a job runs the policy still reaches the renderer",
         {.source_path = "/a.gif",
          .source_kind = "gif",
          .engine = ENGINE_RENDERER,
          .job_running = true,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true, .sync_playback = true}},
        {"path too long for the renderer",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .source_too_long = true},
         {.disable_shell = true, .mark = PLAN_MARK_SOURCE}},
        {"failed video goes back to the still the shell drew",
         {.source_path = "/b.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .source_failed = true,
          .recovery_path = "/s.png",
          .recovery_kind = "still"},
         {.disable_shell = true,
          .show = "/s.png",
          .kind = "still",
          .recovery = true,
          .sync_playback = true}},
        {"failed source with the previous media loaded again stays",
         {.source_path = "/b.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .source_failed = true,
          .loaded_path = "/a.mp4",
          .recovery_path = "/a.mp4",
          .recovery_kind = "video"},
         {.disable_shell = true, .sync_playback = true}},
        {"failed source with nothing shown before",
         {.source_path = "/b.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .source_failed = true},
         {.disable_shell = true, .sync_playback = true}},
        {"failed link target at start-up shows the last background shown",
         {.source_path = "/broken.webp",
          .source_kind = "still",
          .engine = ENGINE_NONE,
          .shell_installed = false,
          .source_failed = true,
          .recovery_path = "/red.png",
          .recovery_kind = "still"},
         {.need_renderer = true,
          .show = "/red.png",
          .kind = "still",
          .recovery = true,
          .sync_playback = true}},
        {"failed gif while the shell draws the still: the shell keeps it",
         {.source_path = "/a.gif",
          .source_kind = "gif",
          .engine = ENGINE_SHELL,
          .source_failed = true,
          .recovery_path = "/s.png",
          .recovery_kind = "still"},
         {.sync_playback = true}},
        {"recovery target that is the failed source itself",
         {.source_path = "/b.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .source_failed = true,
          .recovery_path = "/b.mp4",
          .recovery_kind = "video"},
         {.disable_shell = true, .sync_playback = true}},
        {"poster ready on battery",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .poster_mode = true,
          .poster = poster,
          .poster_ready = true,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true, .show = poster, .kind = "still", .sync_playback = true}},
        {"poster not made yet: the video pauses while a job makes it",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .poster_mode = true,
          .poster = poster,
          .loaded_path = "/v.mp4"},
         {.disable_shell = true, .job = PLAN_JOB_POSTER, .sync_playback = true}},
        {"poster of a converted gif",
         {.source_path = "/a.gif",
          .source_kind = "gif",
          .engine = ENGINE_RENDERER,
          .poster_mode = true,
          .gif_video = gif_video,
          .gif_video_ready = true,
          .poster = poster,
          .poster_ready = true},
         {.disable_shell = true, .show = poster, .kind = "still", .sync_playback = true}},
        {"poster failed: the video itself is shown",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .poster_failed = true,
          .poster_mode = true,
          .poster = poster},
         {.disable_shell = true, .show = "/v.mp4", .kind = "video", .sync_playback = true}},
        {"poster path unresolvable: marked, the video shown",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .engine = ENGINE_RENDERER,
          .poster_mode = true},
         {.disable_shell = true,
          .mark = PLAN_MARK_POSTER,
          .show = "/v.mp4",
          .kind = "video",
          .sync_playback = true}},
    };
    for (const auto &c : cases) {
        media_inputs in = filled(c.in);
        media_plan p;
        media_plan_decide(&in, &p);
        const expected_plan &e = c.out;
        EXPECT_EQ(p.hand_to_shell, e.hand_to_shell) << c.name;
        EXPECT_EQ(p.disable_shell, e.disable_shell) << c.name;
        EXPECT_EQ(p.need_renderer, e.need_renderer) << c.name;
        EXPECT_EQ(p.job, e.job) << c.name;
        EXPECT_EQ(p.mark, e.mark) << c.name;
        EXPECT_EQ(std::string(text(p.show.path)), std::string(text(e.show))) << c.name;
        EXPECT_EQ(std::string(text(p.show.kind)), std::string(text(e.kind))) << c.name;
        EXPECT_EQ(p.show.recovery, e.recovery) << c.name;
        EXPECT_EQ(p.sync_playback, e.sync_playback) << c.name;
        EXPECT_EQ(p.cancel_job, e.cancel_job) << c.name;
        EXPECT_EQ(p.show.seamless, e.seamless) << c.name;
        EXPECT_EQ(std::string(text(p.show.proxy_for)), std::string(text(e.proxy_for))) << c.name;
        EXPECT_EQ(p.clear_poster_mark, !in.poster_mode && in.source_path[0]) << c.name;
        if (p.job != PLAN_JOB_NONE) {
            EXPECT_STREQ(p.job_input, p.job == PLAN_JOB_GIF ? "/a.gif" : "/v.mp4") << c.name;
        }
        if (p.mark != PLAN_MARK_NONE) {
            EXPECT_NE(strstr(p.mark_message, "%s"), nullptr) << c.name;
        }
    }
}

struct expected_output_plan {
    const char *show; // null: nothing new loaded
    const char *kind;
    bool recovery;
    bool unload;
    plan_job job;
    plan_mark mark;
};

struct output_case {
    const char *name;
    output_inputs in;
    expected_output_plan out;
};

TEST(OutputPlanDecide, Flows) {
    const char *gif_video = "/c/kiv/gif/1234.mp4";
    const char *poster = "/c/kiv/gif/poster-1234.png";
    const output_case cases[] = {
        {"still of its own",
         {.source_path = "/s.png", .source_kind = "still"},
         {.show = "/s.png", .kind = "still"}},
        {"video of its own",
         {.source_path = "/v.mp4", .source_kind = "video"},
         {.show = "/v.mp4", .kind = "video"}},
        {"its job runs: what is shown stays",
         {.source_path = "/a.gif",
          .source_kind = "gif",
          .job_running = true,
          .job_mine = true,
          .loaded_path = "/old.png"},
         {}},
        {"gif not converted: a job",
         {.source_path = "/a.gif", .source_kind = "gif", .gif_video = gif_video},
         {.job = PLAN_JOB_GIF}},
        {"gif not converted, another job runs: it waits its turn",
         {.source_path = "/a.gif",
          .source_kind = "gif",
          .job_running = true,
          .gif_video = gif_video},
         {}},
        {"gif converted: its video",
         {.source_path = "/a.gif",
          .source_kind = "gif",
          .gif_video = gif_video,
          .gif_video_ready = true},
         {.show = gif_video, .kind = "video"}},
        {"gif cache unresolvable: marked",
         {.source_path = "/a.gif", .source_kind = "gif"},
         {.mark = PLAN_MARK_SOURCE}},
        {"too long for the renderer: marked",
         {.source_path = "/v.mp4", .source_kind = "video", .source_too_long = true},
         {.mark = PLAN_MARK_SOURCE}},
        {"failed, something shown before: that comes back",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .source_failed = true,
          .recovery_path = "/s.png",
          .recovery_kind = "still"},
         {.show = "/s.png", .kind = "still", .recovery = true}},
        {"failed, nothing before: the theme background",
         {.source_path = "/v.mp4", .source_kind = "video", .source_failed = true},
         {.unload = true}},
        {"failed, going back already",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .source_failed = true,
          .loaded_path = "/s.png",
          .recovery_path = "/s.png",
          .recovery_kind = "still"},
         {}},
        {"on battery: its poster",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .poster_mode = true,
          .poster = poster,
          .poster_ready = true},
         {.show = poster, .kind = "still"}},
        {"on battery, no poster yet: made, the video shown meanwhile",
         {.source_path = "/v.mp4", .source_kind = "video", .poster_mode = true, .poster = poster},
         {.show = "/v.mp4", .kind = "video", .job = PLAN_JOB_POSTER}},
        {"on battery, poster failed: the video",
         {.source_path = "/v.mp4",
          .source_kind = "video",
          .poster_failed = true,
          .poster_mode = true,
          .poster = poster},
         {.show = "/v.mp4", .kind = "video"}},
        {"on battery, poster unresolvable: marked, the video",
         {.source_path = "/v.mp4", .source_kind = "video", .poster_mode = true},
         {.show = "/v.mp4", .kind = "video", .mark = PLAN_MARK_POSTER}},
        {"on battery, a still stays itself",
         {.source_path = "/s.png", .source_kind = "still", .poster_mode = true},
         {.show = "/s.png", .kind = "still"}},
    };
    for (const auto &c : cases) {
        output_inputs in = c.in;
        in.source_path = text(in.source_path);
        in.source_kind = text(in.source_kind);
        in.loaded_path = text(in.loaded_path);
        in.recovery_path = text(in.recovery_path);
        in.recovery_kind = text(in.recovery_kind);
        output_plan p;
        output_plan_decide(&in, &p);
        const expected_output_plan &e = c.out;
        EXPECT_EQ(std::string(text(p.show.path)), std::string(text(e.show))) << c.name;
        EXPECT_EQ(std::string(text(p.show.kind)), std::string(text(e.kind))) << c.name;
        EXPECT_EQ(p.show.recovery, e.recovery) << c.name;
        EXPECT_EQ(p.unload, e.unload) << c.name;
        EXPECT_EQ(p.job, e.job) << c.name;
        EXPECT_EQ(p.mark, e.mark) << c.name;
        if (p.job != PLAN_JOB_NONE) {
            EXPECT_STREQ(p.job_input, p.job == PLAN_JOB_GIF ? "/a.gif" : "/v.mp4") << c.name;
        }
        if (p.mark != PLAN_MARK_NONE) {
            EXPECT_NE(strstr(p.mark_message, "on %s: %s"), nullptr) << c.name;
        }
    }
}

struct status_case {
    const char *name;
    const char *reply;
    bool ok, ready, error, eof;
};

TEST(RenderStatusParse, Table) {
    const status_case cases[] = {
        {"full ready",
         R"({"status":"ok","path":"/a.mp4","kind":"video","ready":true,"error":"","eof":false})",
         true, true, false, false},
        {"error text", R"({"status":"ok","ready":false,"error":"Still decode failed"})", true,
         false, true, false},
        {"eof", R"({"status":"ok","ready":true,"error":"","eof":true})", true, true, false, true},
        {"error status", R"({"status":"error","message":"x","ready":true})", false, true, false,
         false},
        {"first member counts", R"({"status":"ok","ready":false,"ready":true})", true, false, false,
         false},
        {"wrong types", R"({"status":"ok","ready":1,"error":5,"eof":"true"})", true, false, false,
         false},
        {"status not a string", R"({"status":true,"ready":true})", false, true, false, false},
        {"not json", "ready", false, false, false, false},
        {"array", R"([{"status":"ok"}])", false, false, false, false},
        {"empty", "", false, false, false, false},
    };
    for (const auto &c : cases) {
        render_status st = {true, true, true};
        EXPECT_EQ(render_status_parse(c.reply, &st), c.ok) << c.name;
        EXPECT_EQ(st.ready, c.ready) << c.name;
        EXPECT_EQ(st.error, c.error) << c.name;
        EXPECT_EQ(st.eof, c.eof) << c.name;
    }
    EXPECT_FALSE(render_status_parse(nullptr, nullptr));
}

TEST(Supervisor, RenderSocketBesideDaemonSocket) {
    supervisor *sup = supervisor_create("/tmp/k/d.sock");
    ASSERT_NE(sup, nullptr);
    EXPECT_STREQ(sup->render_socket, "/tmp/k/render.sock");
    EXPECT_EQ(sup->pid, 0);
    EXPECT_EQ(sup->start_count, 0);
    supervisor_destroy(sup);
}

TEST(Supervisor, PathThatDoesNotFitFails) {
    std::string dir(5000, 'a');
    EXPECT_EQ(supervisor_create(("/" + dir + "/d.sock").c_str()), nullptr);
}

TEST(Supervisor, NothingWorksWithoutARenderer) {
    supervisor *sup = supervisor_create("/tmp/k/d.sock");
    ASSERT_NE(sup, nullptr);
    char reply[64] = "stale";
    EXPECT_EQ(render_request(sup, "{\"cmd\":\"status\"}", reply, sizeof reply), -1);
    EXPECT_STREQ(reply, "");
    EXPECT_EQ(render_request(sup, nullptr, nullptr, 0), -1);
    EXPECT_EQ(render_pause(sup), -1);
    EXPECT_EQ(render_load(sup, "/a.png", "still", nullptr), -1);
    EXPECT_EQ(render_call(sup, "{\"cmd\":\"pause\"}", RENDER_TAG_PAUSE, nullptr, 0), RENDER_FAILED);
    EXPECT_FALSE(render_busy(sup));
    EXPECT_EQ(render_fd(sup), -1);
    EXPECT_STREQ(renderer_error(sup), "");
    EXPECT_FALSE(renderer_alive(sup));
    renderer_reap(sup);
    renderer_stop(sup);
    supervisor_destroy(sup);
    EXPECT_FALSE(renderer_alive(nullptr));
    EXPECT_EQ(renderer_start(nullptr), -1);
}

TEST(Supervisor, ErrorLinesOfTheRenderer) {
    const struct {
        const char *line;
        const char *message;
    } cases[] = {
        {"15:37:38.708 kiv-render[24807] ERROR src/render/wayland.cpp:293: compositor lacks "
         "wl_compositor or wlr-layer-shell",
         "compositor lacks wl_compositor or wlr-layer-shell"},
        {"15:37:38.708 kiv-render[1] ERROR src/render/main.cpp:136: wayland init failed",
         "wayland init failed"},
        {"15:37:38.708 kiv-render[1] WARN src/render/main.cpp:1: not an error", ""},
        {"15:37:38.708 kivd[1] ERROR src/daemon/main.cpp:1: another program's line", ""},
        {"[ERROR] [render/wlr_renderer.c:322] drmGetDevices2 failed", ""},
        {"", ""},
    };
    for (const auto &c : cases) {
        char out[RENDER_ERROR_SIZE] = "stale";
        supervisor_error_of_line(c.line, out, sizeof out);
        EXPECT_STREQ(out, c.message) << c.line;
    }
}

TEST(Supervisor, OwnDirectory) {
    char dir[1024];
    ASSERT_EQ(supervisor_own_dir(dir, sizeof dir), 0);
    char exe[1024] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    EXPECT_EQ(std::string(exe).substr(0, strlen(dir) + 1), std::string(dir) + "/");
    EXPECT_EQ(strchr(exe + strlen(dir) + 1, '/'), nullptr);
    char tiny[2];
    EXPECT_EQ(supervisor_own_dir(tiny, sizeof tiny), -1);
}

} // namespace
