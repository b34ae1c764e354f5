// Switches the theme shell's background plug-in through the shell program's
// command line.
#pragma once

enum {
    SHELL_TIME_LIMIT_MS = 5000,
};

// 0 when tarvine-shell confirmed the switch, -1 otherwise (logged). Blocks
// for at most SHELL_TIME_LIMIT_MS.
int shell_set_background(bool enable);

// Whether an executable tarvine-shell can be found at all. Without one there
// is no shell background that could cover the renderer's surfaces.
bool shell_installed(void);
