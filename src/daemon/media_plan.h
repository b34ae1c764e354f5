// The media orchestration's decision: from what the daemon knows now (the
// background, the engine, the job, the failure marks, what the renderer holds,
// the prepared files) to a small plan of what to do next. Pure: it reads only
// its inputs, so a table test reaches every flow; media_update gathers the
// inputs and carries the plan out.
#pragma once

// The conversion job the plan starts.
enum plan_job {
    PLAN_JOB_NONE,
    PLAN_JOB_GIF,    // the GIF source into its cached video
    PLAN_JOB_POSTER, // the first frame of the video into a poster still
    PLAN_JOB_PROXY,  // the video into a smaller copy for the outputs
};

// The failure mark the plan sets on the source.
enum plan_mark {
    PLAN_MARK_NONE,
    PLAN_MARK_SOURCE, // failed_path: nothing more is tried for the source
    PLAN_MARK_POSTER, // poster_failed_path: the video is shown instead
};

// What the renderer is to show, as the load request names it.
struct media_show {
    const char *path;      // null: nothing to load
    const char *kind;      // "still" or "video"
    bool recovery;         // going back to what was on screen before a failure
    const char *proxy_for; // path is a proxy of this source; null otherwise
    bool seamless;         // the same picture as the playing video: go on where it is
};

struct media_inputs {
    const char *source_path; // "" before the first background
    const char *source_kind; // "still", "video" or "gif"
    bool intro_active;       // the intro owns the renderer
    int engine;              // ENGINE_*
    bool shell_installed;    // a tarvine-shell exists at all
    bool shell_due;          // no hand-off back-off in force
    bool source_failed;      // failed_path is the source
    bool poster_failed;      // poster_failed_path is the source
    bool poster_mode;        // posters replace videos now
    bool job_running;
    bool source_too_long; // longer than the renderer accepts
    // The GIF's cached video (null when its path cannot be resolved) and
    // whether it is there; read for GIF sources only.
    const char *gif_video;
    bool gif_video_ready;
    // The poster of the video to show (null when its path cannot be
    // resolved) and whether it is there; read in poster mode only.
    const char *poster;
    bool poster_ready;
    // The proxy the video source is to play as now (null when none is
    // wanted: switched off, no outputs known, or the video fits them),
    // whether it is there, and whether making or playing it failed.
    const char *proxy;
    bool proxy_ready;
    bool proxy_failed;
    bool proxy_job;           // the running job makes a proxy
    bool proxy_job_current;   // ... and it is proxy
    bool conversions_allowed; // on mains, unlocked and awake
    bool loaded_same_video;   // the renderer plays this source or a proxy of it
    const char *loaded_path;  // what the renderer holds ("" when nothing)
    // The last media really on screen before the source's load: where a
    // failed source goes back to ("" when nothing was).
    const char *recovery_path;
    const char *recovery_kind;
    // Some output shows a background of its own: only the renderer can draw
    // that, so the theme's still is not handed to the shell.
    bool overrides_active;
};

struct media_plan {
    bool cancel_job;        // the running proxy conversion is no longer wanted now
    bool clear_poster_mark; // posters are not wanted: forget their failure
    bool hand_to_shell;     // let the shell draw the still; stop here if it does
    bool disable_shell;     // the renderer draws: switch the shell's plug-in off
    bool need_renderer;     // the renderer has to become the engine for show
    plan_job job;
    const char *job_input; // the job's source file
    plan_mark mark;
    const char *mark_message; // ERROR line with the source for %s
    media_show show;
    bool sync_playback; // bring pause and lock feed in line with the policy
};

void media_plan_decide(const media_inputs *in, media_plan *out);

// One output's own background: the same steps as the theme's, except that
// there is no shell to hand a still to, and a failure without anything to
// go back to gives the output the theme background again.
struct output_inputs {
    const char *source_path; // the link's target
    const char *source_kind; // "still", "video" or "gif"
    bool source_failed;
    bool poster_failed;
    bool poster_mode;
    bool job_running; // some conversion job runs (there is one at a time)
    bool job_mine;    // and it is this output's
    bool source_too_long;
    const char *gif_video; // as in media_inputs
    bool gif_video_ready;
    const char *poster;
    bool poster_ready;
    const char *loaded_path;   // what the output was last asked to show; ""
    const char *recovery_path; // confirmed on the output before; ""
    const char *recovery_kind;
};

struct output_plan {
    media_show show; // path null: nothing new to load
    bool unload;     // the output shows the theme background again
    plan_job job;
    const char *job_input;
    plan_mark mark;
    const char *mark_message; // ERROR line with the output and the source for %s %s
};

void output_plan_decide(const output_inputs *in, output_plan *out);
