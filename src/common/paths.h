// Per-user file locations, directory creation and media classification.
// Every path function fills buf (size bytes) and returns 0, or -1 when a
// source is missing or the result would not fit; a truncated path is never
// returned as success.
#pragma once

#include <cstddef>

int path_home(char *buf, size_t size);
int path_runtime_dir(char *buf, size_t size);
int path_config_home(char *buf, size_t size);
int path_cache_home(char *buf, size_t size);
int path_state_home(char *buf, size_t size);
int path_render_socket(char *buf, size_t size);
int path_daemon_socket(char *buf, size_t size);
int path_feed_socket(char *buf, size_t size);
int path_config_file(char *buf, size_t size);
int path_gif_cache_dir(char *buf, size_t size);
// Smaller copies of oversized videos, made for the outputs in use.
int path_proxy_cache_dir(char *buf, size_t size);
int path_background_link(char *buf, size_t size);
// The daemon's note of the background last really shown.
int path_shown_file(char *buf, size_t size);
// The directory of the per-output background links, and the link of one
// output (whose name must pass output_name_check).
int path_output_links_dir(char *buf, size_t size);
int path_output_link(const char *name, char *buf, size_t size);

enum {
    OUTPUT_NAME_MAX = 63, // the longest output name taken, in bytes
};
// Why name cannot name an output (and so its link file): a fixed message, or
// null when it can.
const char *output_name_check(const char *name);
// Directory part of path (up to and including its last '/') followed by name.
int path_sibling(const char *path, const char *name, char *buf, size_t size);

// Creates path and its missing parents with mode 0755.
int mkdir_p(const char *path);

enum media_kind {
    MEDIA_UNKNOWN = 0,
    MEDIA_STILL = 1,
    MEDIA_VIDEO = 2,
    MEDIA_GIF = 3,
};

// By file-name extension only; the content is never looked at.
media_kind media_kind_of(const char *path);
// The file-name suffixes of a kind, lower case, separated by single spaces;
// 0, or -1 for another kind or when they do not fit.
int media_suffix_list(int kind, char *buf, size_t size);
// "still", "video", "gif" or "unknown".
const char *media_kind_name(int kind);
