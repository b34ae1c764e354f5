#include "fuzz_util.h"

#include "json.h"
#include "paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <yyjson.h>

namespace {

std::string g_scratch;
pid_t g_scratch_owner;

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

void remove_scratch(void) {
    // Children that failed to start a program leave through exit() too.
    if (!g_scratch.empty() && getpid() == g_scratch_owner)
        nftw(g_scratch.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void make_dir(const std::string &path) {
    if (mkdir_p(path.c_str()) != 0)
        fuzz_fail(__FILE__, __LINE__, path.c_str());
}

// Reads what the server sent so far; complete lines go to replies.
void read_replies(int fd, std::string *partial, std::vector<std::string> *replies) {
    char buf[16384];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        partial->append(buf, static_cast<size_t>(n));
    }
    size_t start = 0;
    for (size_t lf; (lf = partial->find('\n', start)) != std::string::npos; start = lf + 1)
        replies->push_back(partial->substr(start, lf - start));
    partial->erase(0, start);
}

// Non-empty lines, one trailing carriage return not counting, each complete
// with its line feed: what the server owes one reply each.
size_t count_requests(const std::vector<std::string_view> &pieces) {
    size_t count = 0;
    size_t line_len = 0;
    char last = '\0';
    for (std::string_view piece : pieces) {
        for (char c : piece) {
            if (c == '\n') {
                if (line_len > 1 || (line_len == 1 && last != '\r'))
                    count++;
                line_len = 0;
            } else {
                line_len++;
            }
            last = c;
        }
    }
    return count;
}

bool slot_holds(const ipc_stream *slot, uint64_t connection) {
    return slot->fd >= 0 && slot->connection == connection;
}

} // namespace

void fuzz_fail(const char *file, int line, const char *what) {
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    fflush(stderr);
    abort();
}

const std::string &fuzz_scratch_dir(void) {
    if (!g_scratch.empty())
        return g_scratch;
    // Memory-backed where there is one: targets rewrite files every run.
    std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    dir += "/kiv-fuzz-XXXXXX";
    if (!mkdtemp(dir.data()))
        fuzz_fail(__FILE__, __LINE__, "mkdtemp");
    g_scratch = dir;
    g_scratch_owner = getpid();
    atexit(remove_scratch);
    const char *dirs[][2] = {
        {"HOME", "/home"},
        {"XDG_RUNTIME_DIR", "/run"},
        {"XDG_CONFIG_HOME", "/config"},
        {"XDG_CACHE_HOME", "/cache"},
        {"XDG_STATE_HOME", "/state"},
        // Empty: a program the code under test starts is never found.
        {"PATH", "/bin"},
    };
    for (const auto &d : dirs) {
        std::string path = g_scratch + d[1];
        make_dir(path);
        setenv(d[0], path.c_str(), 1);
    }
    unsetenv("TARVINE_PATH");
    unsetenv("HYPRLAND_INSTANCE_SIGNATURE");
    return g_scratch;
}

std::string fuzz_write_file(const std::string &name, const uint8_t *data, size_t size) {
    std::string path = fuzz_scratch_dir() + "/" + name;
    size_t slash = path.rfind('/');
    make_dir(path.substr(0, slash));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<size_t>(n);
    }
    close(fd);
    return path;
}

std::vector<std::string_view> fuzz_pieces(const uint8_t *data, size_t size) {
    std::vector<std::string_view> pieces;
    const char *text = reinterpret_cast<const char *>(data);
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i == size || data[i] == FUZZ_SPLIT) {
            pieces.emplace_back(text + start, i - start);
            start = i + 1;
        }
    }
    return pieces;
}

fuzz_exchange fuzz_exchange_lines(ipc_server *server, ipc_line_handler handler, const uint8_t *data,
                                  size_t size) {
    int client = ipc_connect(server->path);
    FUZZ_CHECK(client >= 0);
    ipc_server_accept_all(server);
    ipc_stream *slot = nullptr;
    for (ipc_stream &s : server->slots) {
        if (s.fd >= 0 && !slot)
            slot = &s;
    }
    FUZZ_CHECK(slot != nullptr);
    const uint64_t connection = slot->connection;
    FUZZ_CHECK(fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK) == 0);

    std::vector<std::string_view> pieces = fuzz_pieces(data, size);
    fuzz_exchange out{};
    out.requests = count_requests(pieces);
    std::string partial;
    auto service = [&] {
        ipc_server_service(server, handler);
        read_replies(client, &partial, &out.replies);
    };

    for (std::string_view piece : pieces) {
        size_t sent = 0;
        while (sent < piece.size() && slot_holds(slot, connection)) {
            ssize_t n = send(client, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                break;
            service();
        }
        if (slot_holds(slot, connection))
            service();
    }
    // Until the server has taken every byte and sent every reply.
    for (;;) {
        if (!slot_holds(slot, connection))
            break;
        int unread = 0;
        FUZZ_CHECK(ioctl(slot->fd, FIONREAD, &unread) == 0);
        if (unread == 0 && slot->output_pos == slot->output_len)
            break;
        service();
    }
    read_replies(client, &partial, &out.replies);
    out.closed = !slot_holds(slot, connection);
    close(client);
    if (slot_holds(slot, connection))
        ipc_stream_reset(slot);
    return out;
}

void fuzz_check_reply(const std::string &line) {
    json_doc_ptr doc(yyjson_read(line.data(), line.size(), 0));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    FUZZ_CHECK(yyjson_is_obj(root));
    yyjson_val *status = json_obj_first(root, "status");
    if (yyjson_equals_str(status, "error"))
        FUZZ_CHECK(yyjson_is_str(json_obj_first(root, "message")));
    else
        FUZZ_CHECK(yyjson_equals_str(status, "ok"));
}
