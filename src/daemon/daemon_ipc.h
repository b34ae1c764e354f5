// The daemon's command protocol: one JSON request line in, one reply out.
#pragma once

#include "ipc.h"

struct render_answer;

// The line handler given to ipc_server_service.
void daemon_dispatch(ipc_server *server, ipc_stream *slot, char *line);
// Per loop iteration: answers the commands that waited for the renderer to
// start (intro, render-restart).
void daemon_ipc_tick(void);
// A late answer of the renderer to a render-status command.
void daemon_ipc_render_answer(const render_answer *a);

// The status and config reports as newly allocated lines (free()), or null
// when they cannot be built.
char *daemon_status_report(void);
char *daemon_config_report(void);
