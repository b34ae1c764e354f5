#include "shell.h"

#include "log.h"
#include "proc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

enum {
    SHELL_PATH_SIZE = 1024,
    SHELL_OUTPUT_SIZE = 4096,
};

const char kShellName[] = "tarvine-shell";

// The first executable tarvine-shell along PATH, else the one in
// $TARVINE_PATH/bin, else the bare name (which the spawn looks up again).
// Answers whether an executable was found.
bool shell_locate(char *out, size_t size) {
    const char *path = getenv("PATH");
    if (path) {
        const char *entry = path;
        for (;;) {
            const char *end = strchr(entry, ':');
            size_t len = end ? (size_t)(end - entry) : strlen(entry);
            if (len > 0 && len < SHELL_PATH_SIZE) {
                int n = snprintf(out, size, "%.*s/%s", (int)len, entry, kShellName);
                if (n > 0 && (size_t)n < size && access(out, X_OK) == 0)
                    return true;
            }
            if (!end)
                break;
            entry = end + 1;
        }
    }
    const char *root = getenv("TARVINE_PATH");
    if (root && root[0]) {
        int n = snprintf(out, size, "%s/bin/%s", root, kShellName);
        if (n > 0 && (size_t)n < size && access(out, X_OK) == 0)
            return true;
    }
    snprintf(out, size, "%s", kShellName);
    return false;
}

// 64-bit FNV-1a; never 0, which means "no failure".
uint64_t fingerprint(const char *text) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (const char *p = text; *p; p++) {
        h ^= (unsigned char)*p;
        h *= 0x100000001b3ULL;
    }
    return h ? h : 1;
}

} // namespace

int64_t shell_retry_delay_ms(int failures) {
    const int64_t first = 30000;
    const int64_t most = 600000;
    int64_t delay = first;
    for (int i = 1; i < failures && delay < most; i++)
        delay *= 2;
    return delay < most ? delay : most;
}

bool shell_installed(void) {
    char program[SHELL_PATH_SIZE];
    return shell_locate(program, sizeof program);
}

int shell_set_background(bool enable, uint64_t *last_failure) {
    char program[SHELL_PATH_SIZE];
    shell_locate(program, sizeof program);

    char arg_shell[] = "shell";
    char arg_verb[] = "setPluginEnabled";
    char arg_plugin[] = "tarvine.background";
    char arg_value[8];
    snprintf(arg_value, sizeof arg_value, "%s", enable ? "true" : "false");
    char *argv[] = {program, arg_shell, arg_verb, arg_plugin, arg_value, nullptr};

    char output[SHELL_OUTPUT_SIZE];
    output[0] = '\0';
    if (proc_run(program, argv, output, sizeof output, SHELL_TIME_LIMIT_MS) == 0) {
        log_info("shell background %s", enable ? "enabled" : "disabled");
        if (last_failure)
            *last_failure = 0;
        return 0;
    }
    // The program's own words make the warning useful; a trailing line feed
    // would split the log line.
    size_t n = strlen(output);
    while (n > 0 && (output[n - 1] == '\n' || output[n - 1] == '\r'))
        output[--n] = '\0';
    const char *why = output[0] ? output : "command failed";
    // A shell that keeps refusing the same way is said once.
    uint64_t seen = fingerprint(why);
    unsigned level = last_failure && *last_failure == seen ? LOG_DEBUG : LOG_WARN;
    if (last_failure)
        *last_failure = seen;
    log_line(level, __FILE__, __LINE__, "shell background %s failed: %s",
             enable ? "enable" : "disable", why);
    return -1;
}
