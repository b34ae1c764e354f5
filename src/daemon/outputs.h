// Backgrounds of their own on some outputs: the links under
// $XDG_STATE_HOME/kiv/outputs, each output's way through kind, conversion,
// poster, load and confirmation onto the renderer, and the renderer's list
// of outputs. Every other output shows the theme background. All of it works
// on g_daemon and runs on the main thread; every step is idempotent.
#pragma once

#include <cstddef>

struct render_answer;
struct output_override;

// Reads the links again; true when an output's background changed.
bool outputs_rescan(void);
// Some output has a background of its own (present or not): the renderer
// draws, since only it sees outputs come and go.
bool outputs_active(void);
// The override of the output name, or null.
output_override *outputs_find(const char *name);
// Brings each present output's own background in line; the renderer is the
// engine. Called by media_update.
void outputs_update(void);
// Per iteration: load deadlines, and the renderer's output list when due.
void outputs_poll(void);
// The answer to the output-list request.
void outputs_render_answer(const render_answer *a);
// A renderer (re)started or stopped: it shows none of the own backgrounds.
void outputs_renderer_restarted(void);
// The refresh command: failure marks are forgotten and everything is loaded
// again.
void outputs_refresh(void);
// A load awaits its confirmation (the loop wakes more often).
bool outputs_busy(void);
// The conversion job of the output name finished: ok, or failed (marked).
void outputs_job_finished(const char *name, bool ok);
// The largest buffer among the outputs that show the theme background, as
// the renderer last reported them; false when none is known, or when one of
// them shows pictures at their own size (fit center), which a smaller copy
// of the theme's video would change.
bool outputs_theme_buffer(int *width, int *height);
// The list of outputs of the outputs and status reports: a JSON array, or
// null when memory is short. Free with free().
char *outputs_report(void);
