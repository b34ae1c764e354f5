// One-shot intro videos played by the renderer over a still background. The
// daemon starts the intro, watches it from its main loop, ends it when it
// finishes, fails, is interrupted or takes too long, and then hands the
// background back to the media orchestration. State lives in g_daemon.
#pragma once

#include <cstdint>

enum {
    INTRO_LIMIT_MS = 30000, // an intro still playing after this is abandoned
};

struct render_answer;

// How the last intro asked for came out.
enum intro_start_outcome {
    INTRO_START_NONE,
    INTRO_START_PENDING, // the renderer starts, or has not answered the load
    INTRO_START_OK,
    INTRO_START_FAILED,
};

// Plays path once and muted. Refused (-1) without a path or supervisor, while
// an intro plays, or when the background is not a still; 0 when it plays; 1
// while the renderer starts or has not answered yet (intro_start_result then
// tells later).
int intro_start(const char *path);
intro_start_outcome intro_start_result(void);
// A late answer of the renderer about the intro.
void intro_render_answer(const render_answer *a);
// Ends a playing intro: with a reason it ended early (result "error"), with
// null it finished (result "ok"). Does nothing when none plays.
void intro_end(const char *reason);
// Per loop iteration: ends the intro on the first condition that applies.
void intro_watch(void);

// What the daemon knows about a playing intro without asking the renderer.
struct intro_signals {
    bool renderer_gone; // not alive, or not the process that took the intro
    bool timed_out;
    bool power_locked;
    bool hypr_locked;
    bool power_sleeping;
    bool hypr_fullscreen;
};
// The end reason these signals call for, or null to ask the renderer.
const char *intro_interruption(const intro_signals *s);

enum intro_progress {
    INTRO_PLAYING,       // keep waiting
    INTRO_FINISHED,      // played to its end
    INTRO_DECODE_FAILED, // the renderer reports an error
};
// Reads the renderer's status reply about the playing intro.
intro_progress intro_status_progress(const char *reply);
