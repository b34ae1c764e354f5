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

} // namespace

bool shell_installed(void) {
    char program[SHELL_PATH_SIZE];
    return shell_locate(program, sizeof program);
}

int shell_set_background(bool enable) {
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
        return 0;
    }
    // The program's own words make the warning useful; a trailing line feed
    // would split the log line.
    size_t n = strlen(output);
    while (n > 0 && (output[n - 1] == '\n' || output[n - 1] == '\r'))
        output[--n] = '\0';
    log_warn("shell background %s failed: %s", enable ? "enable" : "disable",
             output[0] ? output : "command failed");
    return -1;
}
