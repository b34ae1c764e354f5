// The daemon's command protocol: one JSON request line in, one reply out.
#pragma once

#include "ipc.h"

// The line handler given to ipc_server_service.
void daemon_dispatch(ipc_server *server, ipc_stream *slot, char *line);

// The status and config reports as newly allocated lines (free()), or null
// when they cannot be built.
char *daemon_status_report(void);
char *daemon_config_report(void);
