// The theme system's background link: reading its target, replacing it
// atomically, and watching its directory so every replacement reaches the
// media selection.
#pragma once

#include <cstddef>

struct watch;

// The link's fully resolved target into buf; 0, or -1 when the link is not a
// symbolic link, dangles, or the result does not fit. Logs nothing.
int background_link_read(char *buf, size_t size);
// Points the link at path (a readable regular media file) by renaming a
// temporary link over it; 0 or -1. Logs nothing.
int background_link_set(const char *path);

// Creates the link's directory if missing and watches it; null on failure.
watch *watch_new(void);
void watch_free(watch *w);
// The inotify descriptor, or -1.
int watch_fd(const watch *w);
// 1 when a change of the link was seen, 0 when none, -1 on a read error.
int watch_on_readable(watch *w);
