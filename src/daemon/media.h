// Media orchestration of the daemon: which program draws the background (the
// shell or kiv-render), getting the chosen media into the renderer, confirming
// or failing the load, and keeping pause, lock-screen feed and skipped outputs
// in line with the policy. All of it works on g_daemon and runs on the main
// thread; every step is idempotent and repeated by the main loop.
#pragma once

#include <cstddef>

struct render_answer;
struct media_show;

// Adopts a new background (the link's resolved target). Ignores null/empty
// paths, unknown kinds and the current source.
void media_set_source(const char *path);
// At start-up, before the first source: takes the background last really
// shown (noted under $XDG_STATE_HOME/kiv) as what is on screen, so that a
// broken link target goes back to it.
void media_recall_shown(void);
// policy_evaluate, then media_update.
void reevaluate(void);
// Brings engine and media in line with the state.
void media_update(void);
// Makes the renderer the engine (starts it, switches the shell's plug-in off
// or schedules another try, sends the fade). 0, 1 while the renderer is still
// starting (call again later), or -1; a failed start postpones the next try
// by 30 s.
int ensure_renderer(void);
// The conversion job's completion descriptor became readable.
void job_finished(void);
// After a renderer (re)start: forget its state and send everything again.
void renderer_restarted(void);
// Per-iteration step: stops the renderer 400 ms after the shell took a still.
void renderer_stop_timer(void);

// The loop's reaction to the child pipe: reap, and if the renderer died while
// it was the engine (no intro), "renderer died, restarting" and restart it.
void media_child_exited(void);
// Per-iteration silent restart of a dead renderer that should be the engine.
void media_restart_if_dead(void);

// Asks the renderer to load path as kind ("still"/"video"); recovery: going
// back to what was shown before a failure. 0 accepted, -1 refused (marked),
// 1 not answered yet (media_render_answer carries it on).
int media_load(const char *path, const char *kind, bool recovery);
// The same for what a plan shows: a proxy names its original, and a
// seamless load goes on at the playing video's position.
int media_load_show(const media_show *show);
// A late answer of the renderer to one of this module's requests.
void media_render_answer(const render_answer *a);
// Answers still owed by a renderer that is gone or replaced are not awaited.
void media_forget_requests(void);
// Per iteration while a load is pending: confirm it or fail it.
void media_ready_poll(void);
// Marks the pending load failed and goes back to the previous media.
void media_failed(void);
// Syncs pause/resume and the lock-screen feed with the policy.
void apply_playback(void);
// Per iteration: tells the renderer which outputs fullscreen windows cover.
void skip_outputs_sync(void);

struct render_status {
    bool ready; // "ready" is true
    bool error; // "error" is a non-empty string
    bool eof;   // "eof" is true
};
// Reads a renderer status reply; true when its "status" is "ok". The flags
// are false when the reply does not parse or lacks them.
bool render_status_parse(const char *reply, render_status *out);
// Posters replace videos: configured for battery, on battery, not always-animate.
bool poster_wanted(void);

// A source's cached files and whether they are there: a GIF's converted video,
// and the poster of what plays when want_poster. Their names go into the
// caller's buffers of TRANSCODE_RESULT_SIZE bytes; a name that cannot be
// formed stays null, and no poster is looked for before the GIF's video exists.
struct media_cached {
    const char *gif_video;
    bool gif_video_ready;
    const char *poster;
    bool poster_ready;
};
media_cached media_cached_files(const char *source_path, const char *source_kind, bool want_poster,
                                char *gif_video, char *poster);
