// The theme system's background link: reading its target, replacing it
// atomically, and watching its directory so every replacement reaches the
// media selection.
#pragma once

#include <cstddef>

struct watch;

// The link's fully resolved target into buf; 0, or -1 when the link is not a
// symbolic link, dangles, or the result does not fit. Logs nothing.
int background_link_read(char *buf, size_t size);
// Points the link at path (a readable regular file of a known kind that
// FFmpeg decodes) by renaming a temporary link over it; 0, or -1 with the
// reason for the user in why. Logs nothing.
int background_link_set(const char *path, char *why, size_t why_size);
// The same for the link of one output's own background (the name passes
// output_name_check), under $XDG_STATE_HOME/kiv/outputs.
int output_link_set(const char *name, const char *path, char *why, size_t why_size);
// Removes that link; 0 also when there is none, -1 when it is not a link.
int output_link_remove(const char *name);
// Its resolved target, like background_link_read.
int output_link_read(const char *name, char *buf, size_t size);

// Creates the link's directory if missing and watches it; null on failure.
watch *watch_new(void);
void watch_free(watch *w);
// The inotify descriptor, or -1.
int watch_fd(const watch *w);
// 1 when a change of the link or of the per-output links was seen, 0 when none, -1 on a read error.
int watch_on_readable(watch *w);
