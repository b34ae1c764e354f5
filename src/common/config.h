// The daemon's configuration record and the config.toml reader.
#pragma once

#include <cstdint>

enum {
    CONFIG_BLOCKLIST_MAX = 16,
    CONFIG_BLOCKLIST_NAME_SIZE = 64,
};

struct config {
    bool pause_fullscreen;
    bool pause_occupied_workspace;
    bool battery_poster;
    char battery_mode[16];
    int32_t gif_fps;
    int32_t gif_crf;
    int32_t max_width;
    int32_t max_height;
    int32_t cache_max_mb;
    bool proxy;           // oversized videos get a smaller copy for the outputs
    int32_t proxy_max_mb; // the proxy cache's limit; 0 never prunes
    int32_t fade_ms;
    int32_t volume; // 0 to 100 percent; 0 mutes the wallpaper's sound
    char blocklist[CONFIG_BLOCKLIST_MAX][CONFIG_BLOCKLIST_NAME_SIZE];
    int32_t blocklist_count;
};

void config_set_defaults(config *cfg);
// All-or-nothing: on failure cfg is untouched and -1 is returned with errno.
int config_load(config *cfg, const char *path);
