// The renderer's command server: JSON-line requests on the render socket,
// executed against g_app, with the deferred reply of a synchronous still load.
#pragma once

#include <cstdint>

#include "ipc.h"

struct render_app;

enum {
    RENDER_IPC_PATH_SIZE = 4096,
    RENDER_IPC_ERROR_SIZE = 128,
    RENDER_SKIP_LIST_SIZE = 1024,
};
constexpr int64_t RENDER_STILL_WAIT_MS = 4000;
constexpr int64_t RENDER_STILL_ASYNC_MS = 30000;

// The still load whose outcome is not known yet.
struct pending_load {
    int32_t client;                  // slot index waiting for the reply; -1 when nobody waits
    uint64_t serial;                 // that slot's connection counter at the request
    char path[RENDER_IPC_PATH_SIZE]; // empty = no pending load
    int64_t deadline;                // now_ms; 0 = none
};

// Starts with the server so that the record can be handed to ipc_server_*.
struct render_ipc {
    ipc_server server;
    pending_load pending;
    char error[RENDER_IPC_ERROR_SIZE]; // last still-load failure; "" when none
};

render_ipc *render_ipc_create(const char *path);
void render_ipc_free(render_ipc *ipc);
// The ipc_line_handler for ipc_server_service; server is a render_ipc.
void render_ipc_handle_line(ipc_server *server, ipc_stream *slot, char *line);
// Once per loop iteration: deadline and completion of the pending still load.
void render_ipc_poll_still(render_ipc *ipc);
// A still load is waiting for its outcome or its deadline.
bool render_ipc_waiting(const render_ipc *ipc);
// Error reply with message to the waiting client, if still connected; clears
// the pending load.
void render_ipc_finish_pending(render_ipc *ipc, const char *message);
// The largest output size changed: decode the shown still again if it grew
// beyond what the image was decoded for. True when nothing (more) needs doing;
// false to be retried later.
bool render_ipc_refresh_still(render_ipc *ipc);
void render_ipc_status(render_ipc *ipc, ipc_stream *slot);
// Once per loop iteration: the decodes of the own backgrounds' stills and
// transition images.
void render_poll_own(void);
// Frees every background of its own, with its player and pictures.
void render_free_own(void);
void render_end_feed(render_app *app);
