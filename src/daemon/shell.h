// Switches the theme shell's background plug-in through the shell program's
// command line.
#pragma once

#include <cstdint>

enum {
    SHELL_TIME_LIMIT_MS = 5000,
};

// 0 when tarvine-shell confirmed the switch, -1 otherwise. Blocks for at most
// SHELL_TIME_LIMIT_MS. A failure is logged as a warning unless it is the one
// *last_failure remembers (then only at debug level); last_failure (may be
// null: every failure warns) keeps a fingerprint of the last failure's text,
// 0 after a success.
int shell_set_background(bool enable, uint64_t *last_failure = nullptr);

// How long to wait before trying a switch again after the given number of
// failures in a row (1 or more): 30 s, doubling up to 10 minutes.
int64_t shell_retry_delay_ms(int failures);

// Whether an executable tarvine-shell can be found at all. Without one there
// is no shell background that could cover the renderer's surfaces.
bool shell_installed(void);
