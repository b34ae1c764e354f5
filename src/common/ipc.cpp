// JSON-line transport over Unix stream sockets: the listener with its lock
// file, the poll-driven connection engine and the blocking client calls.
#include "ipc.h"

#include "log.h"
#include "paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr size_t IPC_PEEK_SIZE = 512;

int fill_address(const char *path, sockaddr_un *addr) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    size_t len = strlen(path);
    if (len >= IPC_SOCKET_PATH_MAX || len >= sizeof(addr->sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path, path, len + 1);
    return 0;
}

// A close-on-exec Unix stream socket with the address for path filled in.
int unix_socket_for(const char *path, sockaddr_un *addr) {
    if (fill_address(path, addr) < 0) {
        return -1;
    }
    return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool slot_open(const ipc_stream *slot) {
    return slot->fd >= 0;
}

// Closes fd after a failed call and returns -1 with that call's errno.
int close_failed(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

// Sends all len bytes; a send that takes nothing counts as a broken pipe.
int send_all(int fd, const char *data, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t sent = send(fd, data + done, len - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            if (sent == 0) {
                errno = EPIPE;
            }
            return -1;
        }
        done += static_cast<size_t>(sent);
    }
    return 0;
}

enum recv_outcome { RECV_DATA, RECV_RETRY, RECV_FAILED };

// Sorts a recv result: an orderly close is a reset peer for a reply reader,
// interruptions and empty reads are tried again.
recv_outcome recv_sort(ssize_t n) {
    if (n > 0) {
        return RECV_DATA;
    }
    if (n == 0) {
        errno = ECONNRESET;
        return RECV_FAILED;
    }
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        return RECV_RETRY;
    }
    return RECV_FAILED;
}

} // namespace

// ---------------------------------------------------------------------------
// Listener and sockets

int ipc_server_socket(const char *path) {
    sockaddr_un addr;
    int fd = unix_socket_for(path, &addr);
    if (fd < 0) {
        return -1;
    }
    // Only reached while holding the lock, so whatever is here is stale.
    unlink(path);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) < 0) {
        return close_failed(fd);
    }
    (void)chmod(path, 0600);
    if (listen(fd, IPC_LISTEN_BACKLOG) < 0) {
        return close_failed(fd);
    }
    return fd;
}

ipc_listener *ipc_listen_locked(const char *path) {
    if (path == nullptr || strlen(path) >= IPC_SOCKET_PATH_MAX) {
        return nullptr;
    }
    char lock_path[IPC_SOCKET_PATH_MAX + 8];
    snprintf(lock_path, sizeof(lock_path), "%s.lock", path);
    int lock_fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd < 0) {
        return nullptr;
    }
    // The lock comes before the socket file is touched: a second server must
    // never unlink the socket of a live one.
    if (flock(lock_fd, LOCK_EX | LOCK_NB) < 0) {
        close(lock_fd);
        return nullptr;
    }
    int listen_fd = ipc_server_socket(path);
    if (listen_fd < 0) {
        close(lock_fd);
        return nullptr;
    }
    auto *listener = static_cast<ipc_listener *>(calloc(1, sizeof(ipc_listener)));
    if (listener == nullptr) {
        close(listen_fd);
        unlink(path);
        close(lock_fd);
        return nullptr;
    }
    listener->listen_fd = listen_fd;
    listener->lock_fd = lock_fd;
    memcpy(listener->path, path, strlen(path) + 1);
    return listener;
}

void ipc_listener_close(ipc_listener *listener) {
    if (listener == nullptr) {
        return;
    }
    if (listener->listen_fd >= 0) {
        close(listener->listen_fd);
    }
    unlink(listener->path);
    if (listener->lock_fd >= 0) {
        close(listener->lock_fd);
    }
    free(listener);
}

int ipc_accept(const ipc_listener *listener) {
    if (listener == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return accept4(listener->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

// ---------------------------------------------------------------------------
// Server

ipc_server *ipc_server_create_sized(const char *path, size_t record_size) {
    if (path == nullptr) {
        return nullptr;
    }
    if (record_size < sizeof(ipc_server)) {
        record_size = sizeof(ipc_server);
    }
    const char *slash = strrchr(path, '/');
    if (slash != nullptr && slash != path) {
        char dir[1024];
        size_t len = static_cast<size_t>(slash - path);
        if (len < sizeof(dir)) {
            memcpy(dir, path, len);
            dir[len] = '\0';
            (void)mkdir_p(dir);
        }
    }
    auto *server = static_cast<ipc_server *>(calloc(1, record_size));
    if (server == nullptr) {
        return nullptr;
    }
    server->listener = ipc_listen_locked(path);
    if (server->listener == nullptr) {
        free(server);
        return nullptr;
    }
    snprintf(server->path, sizeof(server->path), "%s", path);
    for (ipc_stream &slot : server->slots) {
        slot.fd = -1;
    }
    int flags = fcntl(server->listener->listen_fd, F_GETFL);
    if (flags >= 0) {
        (void)fcntl(server->listener->listen_fd, F_SETFL, flags | O_NONBLOCK);
    }
    return server;
}

ipc_server *ipc_server_create(const char *path) {
    return ipc_server_create_sized(path, sizeof(ipc_server));
}

void ipc_server_destroy(ipc_server *server) {
    if (server == nullptr) {
        return;
    }
    for (ipc_stream &slot : server->slots) {
        ipc_stream_reset(&slot);
    }
    ipc_listener_close(server->listener);
    free(server);
}

int ipc_server_listen_fd(const ipc_server *server) {
    if (server == nullptr || server->listener == nullptr) {
        return -1;
    }
    if (server->accept_resume_at != 0 && now_ms() < server->accept_resume_at) {
        return -1;
    }
    return server->listener->listen_fd;
}

int ipc_server_poll_entries(const ipc_server *server, struct pollfd *entries) {
    if (server == nullptr || entries == nullptr) {
        return 0;
    }
    int count = 0;
    for (const ipc_stream &slot : server->slots) {
        if (!slot_open(&slot)) {
            continue;
        }
        entries[count].fd = slot.fd;
        entries[count].events = POLLIN;
        if (slot.output_pos < slot.output_len) {
            entries[count].events |= POLLOUT;
        }
        entries[count].revents = 0;
        count++;
    }
    return count;
}

void ipc_server_accept_all(ipc_server *server) {
    if (server == nullptr) {
        return;
    }
    server->accept_resume_at = 0;
    for (;;) {
        int fd = ipc_accept(server->listener);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno == EMFILE || errno == ENFILE) {
                if (!server->accept_starved) {
                    log_warn("cannot accept connections on %s: %s; trying again every second",
                             server->path, strerror(errno));
                }
                server->accept_starved = true;
                server->accept_resume_at = now_ms() + IPC_ACCEPT_RETRY_MS;
            }
            return;
        }
        if (server->accept_starved) {
            log_info("accepting connections on %s again", server->path);
        }
        server->accept_starved = false;
        ipc_stream *free_slot = nullptr;
        for (ipc_stream &slot : server->slots) {
            if (!slot_open(&slot)) {
                free_slot = &slot;
                break;
            }
        }
        if (free_slot == nullptr) {
            close(fd);
            continue;
        }
        ipc_stream_reset(free_slot);
        free_slot->fd = fd;
        free_slot->connection++;
        free_slot->last_recv_ms = now_ms();
    }
}

void ipc_server_take_events(ipc_server *server, const struct pollfd *entries, int count) {
    if (server == nullptr || entries == nullptr) {
        return;
    }
    for (ipc_stream &slot : server->slots) {
        slot.revents = 0;
        for (int i = 0; i < count; i++) {
            if (slot_open(&slot) && entries[i].fd == slot.fd) {
                slot.revents = entries[i].revents;
            }
        }
    }
    server->events_given = true;
}

void ipc_server_service(ipc_server *server, ipc_line_handler handler) {
    if (server == nullptr) {
        return;
    }
    int64_t now = now_ms();
    for (ipc_stream &slot : server->slots) {
        bool readable = !server->events_given || (slot.revents & (POLLIN | POLLHUP | POLLERR));
        slot.revents = 0;
        ipc_stream_service(&slot, now, handler, server, readable);
    }
    server->events_given = false;
}

int ipc_server_timeout_ms(const ipc_server *server, int64_t now) {
    if (server == nullptr) {
        return -1;
    }
    int64_t first = server->accept_resume_at > now ? server->accept_resume_at : -1;
    for (const ipc_stream &slot : server->slots) {
        if (!slot_open(&slot)) {
            continue;
        }
        int64_t deadline = slot.last_recv_ms + IPC_IDLE_TIMEOUT_MS;
        if (slot.input_len > 0) {
            deadline = std::min(deadline, slot.partial_start_ms + IPC_PARTIAL_TIMEOUT_MS);
        }
        if (first < 0 || deadline < first) {
            first = deadline;
        }
    }
    if (first < 0) {
        return -1;
    }
    // One millisecond late rather than early: a wake before the deadline
    // would find nothing to do and sleep again for nothing.
    return static_cast<int>(std::clamp<int64_t>(first - now + 1, 0, INT_MAX));
}

// ---------------------------------------------------------------------------
// Connection slots

void ipc_stream_reset(ipc_stream *slot) {
    if (slot == nullptr) {
        return;
    }
    if (slot->fd >= 0) {
        close(slot->fd);
    }
    slot->fd = -1;
    slot->input_len = 0;
    slot->input[0] = '\0';
    slot->partial_start_ms = 0;
    slot->revents = 0;
    free(slot->output);
    slot->output = nullptr;
    slot->output_len = 0;
    slot->output_pos = 0;
}

void ipc_stream_flush(ipc_stream *slot) {
    while (slot_open(slot) && slot->output_pos < slot->output_len) {
        ssize_t sent = send(slot->fd, slot->output + slot->output_pos,
                            slot->output_len - slot->output_pos, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            slot->output_pos += static_cast<uint64_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        ipc_stream_reset(slot);
        return;
    }
    free(slot->output);
    slot->output = nullptr;
    slot->output_len = 0;
    slot->output_pos = 0;
}

void ipc_stream_queue_line(ipc_stream *slot, const char *text) {
    if (slot == nullptr || !slot_open(slot) || text == nullptr) {
        return;
    }
    size_t len = strlen(text);
    if (len > IPC_MAX_OUTPUT_LINE) {
        ipc_stream_reset(slot);
        return;
    }
    uint64_t pending = slot->output_len - slot->output_pos;
    uint64_t size = pending + len + 1;
    if (size > IPC_MAX_OUTPUT_QUEUE) {
        ipc_stream_reset(slot);
        return;
    }
    if (pending > 0 && slot->output_pos > 0) {
        memmove(slot->output, slot->output + slot->output_pos, pending);
    }
    auto *grown = static_cast<char *>(realloc(slot->output, size));
    if (grown == nullptr) {
        ipc_stream_reset(slot);
        return;
    }
    slot->output = grown;
    memcpy(slot->output + pending, text, len);
    slot->output[pending + len] = '\n';
    slot->output_len = size;
    slot->output_pos = 0;
    ipc_stream_flush(slot);
}

void ipc_stream_service(ipc_stream *slot, int64_t now, ipc_line_handler handler, ipc_server *server,
                        bool readable) {
    if (slot == nullptr || !slot_open(slot)) {
        return;
    }
    if (now - slot->last_recv_ms >= IPC_IDLE_TIMEOUT_MS ||
        (slot->input_len > 0 && now - slot->partial_start_ms >= IPC_PARTIAL_TIMEOUT_MS)) {
        ipc_stream_reset(slot);
        return;
    }
    ipc_stream_flush(slot);
    if (!slot_open(slot) || !readable) {
        return;
    }

    size_t room = (IPC_INPUT_SIZE - 1) - slot->input_len;
    ssize_t got = recv(slot->fd, slot->input + slot->input_len, room, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
    }
    if (got <= 0) {
        ipc_stream_reset(slot);
        return;
    }
    size_t count = static_cast<size_t>(got);
    if (memchr(slot->input + slot->input_len, '\0', count) != nullptr) {
        ipc_stream_reset(slot);
        return;
    }
    if (slot->input_len == 0) {
        slot->partial_start_ms = now;
    }
    slot->last_recv_ms = now;
    slot->input_len += count;
    slot->input[slot->input_len] = '\0';

    for (;;) {
        auto *lf = static_cast<char *>(memchr(slot->input, '\n', slot->input_len));
        if (lf == nullptr) {
            break;
        }
        size_t line_len = static_cast<size_t>(lf - slot->input);
        *lf = '\0';
        if (line_len > 0 && slot->input[line_len - 1] == '\r') {
            slot->input[line_len - 1] = '\0';
        }
        if (slot->input[0] != '\0' && handler != nullptr) {
            handler(server, slot, slot->input);
            if (!slot_open(slot)) {
                return;
            }
        }
        // The remaining bytes move down together with their terminating NUL.
        size_t rest = slot->input_len - line_len - 1;
        memmove(slot->input, lf + 1, rest + 1);
        slot->input_len = rest;
        slot->partial_start_ms = now;
    }
    if (slot->input_len >= IPC_INPUT_SIZE - 1) {
        ipc_stream_reset(slot);
    }
}

// ---------------------------------------------------------------------------
// Client calls

int ipc_set_timeouts(int fd, int ms) {
    if (fd < 0 || ms <= 0) {
        errno = EINVAL;
        return -1;
    }
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) < 0) {
        return -1;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) < 0) {
        return -1;
    }
    return 0;
}

int ipc_connect(const char *path) {
    sockaddr_un addr;
    int fd = unix_socket_for(path, &addr);
    if (fd < 0) {
        return -1;
    }
    (void)ipc_set_timeouts(fd, IPC_CLIENT_TIMEOUT_MS);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) < 0) {
        return close_failed(fd);
    }
    return fd;
}

int ipc_connect_nowait(const char *path) {
    sockaddr_un addr;
    if (fill_address(path, &addr) < 0) {
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) < 0) {
        return close_failed(fd);
    }
    return fd;
}

int ipc_send_line(int fd, const char *text) {
    if (text == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (send_all(fd, text, strlen(text)) < 0) {
        return -1;
    }
    return send_all(fd, "\n", 1);
}

int ipc_recv_line(int fd, char *buf, size_t size, int ms) {
    if (buf == nullptr || size < 2 || ms <= 0) {
        errno = EINVAL;
        return -1;
    }
    buf[0] = '\0';
    size_t stored = 0;
    int64_t deadline = now_ms() + ms;
    int64_t left;
    while ((left = deadline - now_ms()) > 0) {
        pollfd entry = {fd, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (ready == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        char chunk[IPC_PEEK_SIZE];
        ssize_t peeked = recv(fd, chunk, sizeof(chunk), MSG_PEEK | MSG_DONTWAIT);
        recv_outcome outcome = recv_sort(peeked);
        if (outcome == RECV_RETRY) {
            continue;
        }
        if (outcome == RECV_FAILED) {
            return -1;
        }
        // Take the bytes up to the first line feed only; what follows belongs
        // to a later reply.
        auto *lf = static_cast<char *>(memchr(chunk, '\n', static_cast<size_t>(peeked)));
        size_t want =
            lf != nullptr ? static_cast<size_t>(lf - chunk) + 1 : static_cast<size_t>(peeked);
        ssize_t got = recv(fd, chunk, want, MSG_DONTWAIT);
        outcome = recv_sort(got);
        if (outcome == RECV_RETRY) {
            continue;
        }
        if (outcome == RECV_FAILED) {
            return -1;
        }
        for (ssize_t i = 0; i < got; i++) {
            char c = chunk[i];
            if (c == '\r') {
                continue;
            }
            if (c == '\0') {
                shutdown(fd, SHUT_RDWR);
                errno = EPROTO;
                return -1;
            }
            if (c == '\n') {
                buf[stored] = '\0';
                if (stored == 0) {
                    errno = EPROTO;
                    return -1;
                }
                return 0;
            }
            if (stored >= size - 1) {
                buf[stored] = '\0';
                shutdown(fd, SHUT_RDWR);
                errno = EMSGSIZE;
                return -1;
            }
            buf[stored++] = c;
        }
        buf[stored] = '\0';
    }
    errno = ETIMEDOUT;
    return -1;
}
