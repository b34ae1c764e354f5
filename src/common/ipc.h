// JSON-line transport: a poll-driven Unix socket server with 16 connection
// slots, and the blocking client calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>

enum {
    IPC_MAX_CLIENTS = 16,
    IPC_LISTEN_BACKLOG = 16,
    IPC_INPUT_SIZE = 65536,
    IPC_MAX_REQUEST_LINE = 65534,
    IPC_MAX_OUTPUT_LINE = 65535,
    IPC_MAX_OUTPUT_QUEUE = 262144,
    IPC_SOCKET_PATH_MAX = 104,
    IPC_CLIENT_TIMEOUT_MS = 5000,
    IPC_DEFAULT_REPLY_MS = 5000,
};
constexpr int64_t IPC_IDLE_TIMEOUT_MS = 120000;
constexpr int64_t IPC_PARTIAL_TIMEOUT_MS = 120000;
constexpr int64_t IPC_ACCEPT_RETRY_MS = 1000;

struct ipc_listener {
    int listen_fd;
    int lock_fd;
    char path[IPC_SOCKET_PATH_MAX];
};

struct ipc_stream {
    int fd;              // -1 when the slot is free
    uint64_t connection; // raised at every accept into this slot
    char input[IPC_INPUT_SIZE];
    uint64_t input_len;
    int64_t last_recv_ms;
    int64_t partial_start_ms;
    char *output;
    uint64_t output_len;
    uint64_t output_pos;
    short revents; // poll's answer for this connection, when the server was given it
};

struct ipc_server {
    ipc_listener *listener;
    char path[1024];
    ipc_stream slots[IPC_MAX_CLIENTS];
    bool events_given; // ipc_server_take_events ran since the last service
    // Out of descriptors, the listener stays readable while nothing can be
    // taken from it: it rests until then instead of spinning the loop.
    int64_t accept_resume_at;
    bool accept_starved; // said so already; cleared by the next accept
};

typedef void (*ipc_line_handler)(ipc_server *server, ipc_stream *slot, char *line);

ipc_server *ipc_server_create(const char *path);
// Same as ipc_server_create for a record that begins with an ipc_server and
// carries further fields of its own (record_size bytes, zero-filled).
ipc_server *ipc_server_create_sized(const char *path, size_t record_size);
void ipc_server_destroy(ipc_server *server);
// -1 while the listener rests after running out of descriptors.
int ipc_server_listen_fd(const ipc_server *server);
int ipc_server_poll_entries(const ipc_server *server, struct pollfd *entries);
void ipc_server_accept_all(ipc_server *server);
// Hands poll's results for the entries ipc_server_poll_entries filled to the
// server: the next service then reads only the connections poll reported,
// instead of trying every one.
void ipc_server_take_events(ipc_server *server, const struct pollfd *entries, int count);
void ipc_server_service(ipc_server *server, ipc_line_handler handler);
// Milliseconds from now until the first connection runs out of time (idle,
// or a line left unfinished) or a resting listener is tried again; -1 when
// there is neither.
int ipc_server_timeout_ms(const ipc_server *server, int64_t now);

void ipc_stream_reset(ipc_stream *slot);
void ipc_stream_queue_line(ipc_stream *slot, const char *text);
void ipc_stream_flush(ipc_stream *slot);
// readable: poll reported input, a hang-up or an error (or nobody asked).
void ipc_stream_service(ipc_stream *slot, int64_t now, ipc_line_handler handler, ipc_server *server,
                        bool readable = true);

ipc_listener *ipc_listen_locked(const char *path);
void ipc_listener_close(ipc_listener *listener);
int ipc_server_socket(const char *path);
int ipc_accept(const ipc_listener *listener);

int ipc_connect(const char *path);
// A non-blocking connection that never waits: fails at once (EAGAIN) when the
// server's queue is full instead of waiting for it to accept.
int ipc_connect_nowait(const char *path);
int ipc_set_timeouts(int fd, int ms);
int ipc_send_line(int fd, const char *text);
int ipc_recv_line(int fd, char *buf, size_t size, int ms = IPC_DEFAULT_REPLY_MS);
