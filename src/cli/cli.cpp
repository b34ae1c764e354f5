// The kiv command-line client: turns one command into one JSON request line,
// prints the reply and exits 0 or 1.
#include "cli.h"

#include "ipc.h"
#include "json.h"
#include "log.h"
#include "paths.h"
#include "proc.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

namespace {

constexpr size_t CLI_REQUEST_SIZE = IPC_INPUT_SIZE;
constexpr size_t CLI_REPLY_SIZE = IPC_INPUT_SIZE;
constexpr size_t CLI_PATH_SIZE = 1024;
constexpr int CLI_REPLY_MS = 10000;
constexpr int64_t CLI_INTRO_DEADLINE_MS = 35000;
constexpr int64_t CLI_INTRO_STATUS_MS = 5000;
constexpr useconds_t CLI_INTRO_POLL_US = 200000;

// Set by every --socket option before the command; the last one wins.
const char *g_socket_override = nullptr;

// Closes the descriptor on every way out of a command.
struct fd_guard {
    int fd;
    explicit fd_guard(int value) : fd(value) {}
    ~fd_guard() {
        if (fd >= 0) {
            close(fd);
        }
    }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
};

enum target { TARGET_DAEMON, TARGET_RENDER };

void print_usage(const char *prog) {
    fprintf(stderr,
            "Usage: %s [--socket PATH] <command> [args]\n"
            "  --socket PATH           Override the daemon socket before the command\n"
            "  --version               Show the version\n"
            "\n"
            "Background:\n"
            "  set <path>              Update the Tarvine background symlink\n"
            "  set --output NAME <path>\n"
            "                          Show path on output NAME only\n"
            "  set --output NAME --theme\n"
            "                          Output NAME shows the theme background again\n"
            "  next                    Cycle to next theme background\n"
            "  current                 Show current background name\n"
            "  refresh                 Re-read the background symlink now\n"
            "\n"
            "Playback:\n"
            "  pause                   Pause video manually\n"
            "  resume                  Clear manual pause\n"
            "  always-animate on|off   Force animation regardless of policy\n"
            "  intro <video>           Play a one-shot intro video and wait\n"
            "\n"
            "State:\n"
            "  status                  Daemon status as JSON\n"
            "  config                  Effective config as JSON\n"
            "  outputs                 Every output and what it shows, as JSON\n"
            "  render-status           Renderer status as JSON\n"
            "  render CMD...           Send raw JSON command to renderer\n"
            "\n"
            "Control:\n"
            "  reload-config           Reload config.toml\n"
            "  render-restart          Restart the renderer process\n"
            "  raw <json>              Send raw JSON to the daemon\n"
            "  shutdown                Stop the daemon\n",
            prog);
}

int short_usage(const char *line) {
    fputs(line, stderr);
    return 1;
}

int resolve_daemon_socket(char *buf, size_t size) {
    if (g_socket_override != nullptr) {
        size_t len = strlen(g_socket_override);
        if (len >= size) {
            return -1;
        }
        memcpy(buf, g_socket_override, len + 1);
        return 0;
    }
    return path_daemon_socket(buf, size);
}

int resolve_render_socket(char *buf, size_t size) {
    if (g_socket_override != nullptr) {
        // The renderer listens beside the daemon, so an override moves both.
        return path_sibling(g_socket_override, "render.sock", buf, size);
    }
    return path_render_socket(buf, size);
}

// Sends one request line and prints the reply; the exit status follows the
// reply's status member.
int send_request(target where, const char *line) {
    const bool daemon = where == TARGET_DAEMON;
    char socket_path[CLI_PATH_SIZE];
    int rc = daemon ? resolve_daemon_socket(socket_path, sizeof(socket_path))
                    : resolve_render_socket(socket_path, sizeof(socket_path));
    if (rc < 0) {
        fputs(daemon ? "kiv: cannot resolve daemon socket\n"
                     : "kiv: cannot resolve render socket\n",
              stderr);
        return 1;
    }
    fd_guard conn(ipc_connect(socket_path));
    if (conn.fd < 0) {
        fprintf(stderr,
                daemon ? "kiv: daemon not running (no socket at %s)\n"
                       : "kiv: renderer not running (no socket at %s)\n",
                socket_path);
        return 1;
    }
    if (ipc_send_line(conn.fd, line) < 0) {
        fputs("kiv: send failed\n", stderr);
        return 1;
    }
    static char reply[CLI_REPLY_SIZE];
    rc = ipc_recv_line(conn.fd, reply, sizeof(reply), CLI_REPLY_MS);
    close(conn.fd);
    conn.fd = -1;
    if (rc < 0) {
        fputs(daemon ? "kiv: no reply from daemon\n" : "kiv: no reply from renderer\n", stderr);
        return 1;
    }
    printf("%s\n", reply);
    return json_reply_is_ok(reply) ? 0 : 1;
}

// Joins words with single spaces into request (CLI_REQUEST_SIZE bytes).
// Returns the joined length, or -1 when it would pass the transport's limit.
long join_words(int count, char **words, char *request) {
    size_t len = strlen(words[0]);
    if (len > IPC_MAX_REQUEST_LINE) {
        return -1;
    }
    memcpy(request, words[0], len + 1);
    for (int i = 1; i < count; i++) {
        size_t add = strlen(words[i]);
        if (len + 1 + add > IPC_MAX_REQUEST_LINE) {
            return -1;
        }
        request[len] = ' ';
        memcpy(request + len + 1, words[i], add + 1);
        len += 1 + add;
    }
    return static_cast<long>(len);
}

int cmd_joined(target where, int count, char **words) {
    const char *usage = where == TARGET_DAEMON ? "kiv raw <json>\n" : "kiv render <json>\n";
    if (count < 1) {
        return short_usage(usage);
    }
    static char request[CLI_REQUEST_SIZE];
    long len = join_words(count, words, request);
    if (len < 0) {
        fputs("kiv: Request exceeds the IPC limit\n", stderr);
        return 1;
    }
    if (len == 0) {
        return short_usage(usage);
    }
    return send_request(where, request);
}

// Builds "{"cmd":"<cmd>","path":<quoted>}" into request; -1 when quoting
// fails or the line would not fit.
int build_path_request(const char *cmd, const char *path, char *request, size_t size) {
    json_text_ptr quoted(json_quote(path));
    if (!quoted) {
        return -1;
    }
    int n = snprintf(request, size, "{\"cmd\":\"%s\",\"path\":%s}", cmd, quoted.get());
    if (n < 0 || static_cast<size_t>(n) >= size) {
        return -1;
    }
    return 0;
}

int cmd_set(const char *arg) {
    char resolved[PATH_MAX];
    if (realpath(arg, resolved) == nullptr) {
        fprintf(stderr, "kiv: file not found: %s\n", arg);
        return 1;
    }
    static char request[CLI_REQUEST_SIZE];
    if (build_path_request("set", resolved, request, sizeof(request)) < 0) {
        return 1;
    }
    return send_request(TARGET_DAEMON, request);
}

// set --output NAME PATH, or set --output NAME --theme.
int cmd_set_output(int count, char **args) {
    const char *usage = "kiv set --output NAME <path>|--theme\n";
    if (count != 3) {
        return short_usage(usage);
    }
    json_text_ptr name(json_quote(args[1]));
    if (!name) {
        return 1;
    }
    static char request[CLI_REQUEST_SIZE];
    int n = 0;
    if (strcmp(args[2], "--theme") == 0) {
        n = snprintf(request, sizeof(request), "{\"cmd\":\"set\",\"output\":%s,\"theme\":true}",
                     name.get());
    } else {
        char resolved[PATH_MAX];
        if (realpath(args[2], resolved) == nullptr) {
            fprintf(stderr, "kiv: file not found: %s\n", args[2]);
            return 1;
        }
        json_text_ptr path(json_quote(resolved));
        if (!path) {
            return 1;
        }
        n = snprintf(request, sizeof(request), "{\"cmd\":\"set\",\"output\":%s,\"path\":%s}",
                     name.get(), path.get());
    }
    if (n < 0 || static_cast<size_t>(n) >= sizeof(request)) {
        fputs("kiv: Request exceeds the IPC limit\n", stderr);
        return 1;
    }
    return send_request(TARGET_DAEMON, request);
}

int cmd_next() {
    char name[] = "tarvine-theme-bg-next";
    char *child_argv[] = {name, nullptr};
    pid_t pid;
    if (proc_spawn(name, child_argv, &pid) != 0) {
        fputs("kiv: tarvine-theme-bg-next failed\n", stderr);
        return 1;
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
        return 1;
    }
    return (status & ~0x80) == 0 ? 0 : 1;
}

int cmd_current() {
    char link[CLI_PATH_SIZE];
    if (path_background_link(link, sizeof(link)) < 0) {
        fputs("kiv: cannot resolve background link\n", stderr);
        return 1;
    }
    // One byte more than the longest target taken, so a longer target is
    // seen as such instead of being cut.
    char target[CLI_PATH_SIZE];
    ssize_t n = readlink(link, target, sizeof(target));
    if (n < 0 || static_cast<size_t>(n) >= sizeof(target)) {
        fputs("kiv: no current background\n", stderr);
        return 1;
    }
    target[n] = '\0';
    const char *slash = strrchr(target, '/');
    printf("%s\n", slash != nullptr ? slash + 1 : target);
    return 0;
}

enum intro_reply { INTRO_INVALID, INTRO_RUNNING, INTRO_DONE_OK, INTRO_DONE_OTHER };

intro_reply parse_intro_status(const char *reply) {
    json_doc_ptr doc(yyjson_read(reply, strlen(reply), YYJSON_READ_NOFLAG));
    if (!doc) {
        return INTRO_INVALID;
    }
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root) || yyjson_obj_size(root) == 0) {
        return INTRO_INVALID;
    }
    if (!yyjson_equals_str(json_obj_first(root, "status"), "ok")) {
        return INTRO_INVALID;
    }
    yyjson_val *running = json_obj_first(root, "running");
    if (!yyjson_is_bool(running)) {
        return INTRO_INVALID;
    }
    if (yyjson_get_bool(running)) {
        return INTRO_RUNNING;
    }
    return yyjson_equals_str(json_obj_first(root, "result"), "ok") ? INTRO_DONE_OK
                                                                   : INTRO_DONE_OTHER;
}

int cmd_intro(const char *arg) {
    char resolved[PATH_MAX];
    if (realpath(arg, resolved) == nullptr) {
        fprintf(stderr, "kiv: file not found: %s\n", arg);
        return 1;
    }
    char socket_path[CLI_PATH_SIZE];
    if (resolve_daemon_socket(socket_path, sizeof(socket_path)) < 0) {
        fputs("kiv: cannot resolve daemon socket\n", stderr);
        return 1;
    }
    fd_guard conn(ipc_connect(socket_path));
    if (conn.fd < 0) {
        fprintf(stderr, "kiv: daemon not running at %s\n", socket_path);
        return 1;
    }
    static char request[CLI_REQUEST_SIZE];
    if (build_path_request("intro", resolved, request, sizeof(request)) < 0) {
        return 1;
    }
    static char reply[CLI_REPLY_SIZE];
    if (ipc_send_line(conn.fd, request) < 0 ||
        ipc_recv_line(conn.fd, reply, sizeof(reply), CLI_REPLY_MS) < 0) {
        fputs("kiv: no reply from daemon\n", stderr);
        return 1;
    }
    if (!json_reply_is_ok(reply)) {
        fprintf(stderr, "kiv: intro rejected: %s\n", reply);
        return 1;
    }

    const int64_t deadline = now_ms() + CLI_INTRO_DEADLINE_MS;
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            // Ask the daemon to stop the intro before giving up on it.
            (void)ipc_send_line(conn.fd, "{\"cmd\":\"intro-stop\"}");
            close(conn.fd);
            conn.fd = -1;
            fputs("kiv: intro timed out\n", stderr);
            return 1;
        }
        int wait_ms = static_cast<int>(left < CLI_INTRO_STATUS_MS ? left : CLI_INTRO_STATUS_MS);
        if (ipc_send_line(conn.fd, "{\"cmd\":\"intro-status\"}") < 0 ||
            ipc_recv_line(conn.fd, reply, sizeof(reply), wait_ms) < 0) {
            fputs("kiv: intro status unavailable\n", stderr);
            return 1;
        }
        switch (parse_intro_status(reply)) {
        case INTRO_INVALID:
            fprintf(stderr, "kiv: invalid intro status: %s\n", reply);
            return 1;
        case INTRO_DONE_OK:
            return 0;
        case INTRO_DONE_OTHER:
            fprintf(stderr, "kiv: intro ended early: %s\n", reply);
            return 1;
        case INTRO_RUNNING:
            break;
        }
        usleep(CLI_INTRO_POLL_US);
    }
}

int cmd_always_animate(int count, char **args) {
    if (count >= 1 && strcmp(args[0], "on") == 0) {
        return send_request(TARGET_DAEMON, "{\"cmd\":\"always-animate\",\"value\":true}");
    }
    if (count >= 1 && strcmp(args[0], "off") == 0) {
        return send_request(TARGET_DAEMON, "{\"cmd\":\"always-animate\",\"value\":false}");
    }
    return short_usage("kiv always-animate on|off\n");
}

struct simple_command {
    const char *name;
    const char *request;
};

// Commands without arguments: the request line is fixed.
constexpr simple_command SIMPLE_COMMANDS[] = {
    {"status", "{\"cmd\":\"status\"}"},
    {"config", "{\"cmd\":\"config\"}"},
    {"outputs", "{\"cmd\":\"outputs\"}"},
    {"render-status", "{\"cmd\":\"render-status\"}"},
    {"refresh", "{\"cmd\":\"refresh\"}"},
    {"pause", "{\"cmd\":\"pause\"}"},
    {"resume", "{\"cmd\":\"resume\"}"},
    {"reload-config", "{\"cmd\":\"reload-config\"}"},
    {"render-restart", "{\"cmd\":\"render-restart\"}"},
    {"shutdown", "{\"cmd\":\"shutdown\"}"},
};

} // namespace

int cli_run(int argc, char **argv) {
    const char *prog = argc > 0 && argv[0] != nullptr ? argv[0] : "kiv";
    log_set_identity("kiv", LOG_INFO);

    int i = 1;
    while (i < argc && strcmp(argv[i], "--socket") == 0) {
        if (argc - i < 3) {
            print_usage(prog);
            return 1;
        }
        g_socket_override = argv[i + 1];
        i += 2;
    }
    if (i >= argc) {
        print_usage(prog);
        return 1;
    }
    const char *cmd = argv[i];
    int nargs = argc - i - 1;
    char **args = argv + i + 1;

    for (const simple_command &c : SIMPLE_COMMANDS) {
        if (strcmp(cmd, c.name) == 0) {
            return send_request(TARGET_DAEMON, c.request);
        }
    }
    if (strcmp(cmd, "set") == 0 && nargs >= 1 && strcmp(args[0], "--output") == 0) {
        return cmd_set_output(nargs, args);
    }
    if (strcmp(cmd, "set") == 0) {
        return nargs >= 1 ? cmd_set(args[0]) : short_usage("kiv set <path>\n");
    }
    if (strcmp(cmd, "intro") == 0) {
        return nargs >= 1 ? cmd_intro(args[0]) : short_usage("kiv intro <video>\n");
    }
    if (strcmp(cmd, "next") == 0) {
        return cmd_next();
    }
    if (strcmp(cmd, "current") == 0) {
        return cmd_current();
    }
    if (strcmp(cmd, "always-animate") == 0) {
        return cmd_always_animate(nargs, args);
    }
    if (strcmp(cmd, "raw") == 0) {
        return cmd_joined(TARGET_DAEMON, nargs, args);
    }
    if (strcmp(cmd, "render") == 0) {
        return cmd_joined(TARGET_RENDER, nargs, args);
    }
    if (strcmp(cmd, "--version") == 0) {
        printf("kiv %s\n", KIV_VERSION);
        return 0;
    }
    if (strcmp(cmd, "--help") == 0 || strcmp(cmd, "-h") == 0 || strcmp(cmd, "help") == 0) {
        print_usage(prog);
        return 0;
    }
    print_usage(prog);
    return 1;
}
