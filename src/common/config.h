// The daemon's configuration record and the config.toml reader.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    CONFIG_BLOCKLIST_MAX = 16,
    CONFIG_BLOCKLIST_NAME_SIZE = 64,
    CONFIG_OUTPUT_MAX = 16,
    CONFIG_OUTPUT_NAME_SIZE = 64,
};

// How a picture is laid onto an output.
enum fit_mode {
    FIT_COVER = 0, // fills the output, aspect kept, the overflow cut off evenly
    FIT_CONTAIN,   // whole picture, aspect kept, bars in the background colour
    FIT_STRETCH,   // fills the output, aspect ignored
    FIT_CENTER,    // native pixel size, centred; cut when larger, bars when smaller
};

// The fit and bar colour of one output, from an [output.NAME] table. A field
// the table does not set is -1 and follows [render].
struct config_output {
    char name[CONFIG_OUTPUT_NAME_SIZE];
    int32_t fit;              // a fit_mode, or -1
    int32_t background_color; // 0xRRGGBB, or -1
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
    int32_t volume;            // 0 to 100 percent; 0 mutes the wallpaper's sound
    int32_t fit;               // a fit_mode
    uint32_t background_color; // 0xRRGGBB, for the bars of contain and center
    char blocklist[CONFIG_BLOCKLIST_MAX][CONFIG_BLOCKLIST_NAME_SIZE];
    int32_t blocklist_count;
    config_output outputs[CONFIG_OUTPUT_MAX];
    int32_t output_count;
};

void config_set_defaults(config *cfg);
// All-or-nothing: on failure cfg is untouched and -1 is returned with errno.
int config_load(config *cfg, const char *path);

// "cover", "contain", "stretch", "center"; false for any other word.
bool fit_mode_from_word(const char *word, fit_mode *out);
const char *fit_mode_word(int32_t fit);
// "#RRGGBB" (either case) into 0xRRGGBB; false for anything else.
bool color_from_text(const char *text, uint32_t *out);
// "#rrggbb" into buf of at least 8 bytes.
void color_text(uint32_t color, char *buf, size_t size);
// Whether name can name an output: 1 to 63 bytes, no "/", not "." or "..",
// no control characters, valid UTF-8.
bool config_output_name_valid(const char *name);
// The fit and colour an output named name gets: its table's, where set,
// otherwise [render]'s.
void config_fit_of(const config *cfg, const char *name, fit_mode *fit, uint32_t *color);
// The output tables as a JSON array, each entry with the fit and colour that
// output gets: [{"name":"DP-1","fit":"contain","background_color":"#000000"}].
// malloc'ed; none when out of memory.
char *config_fit_outputs_json(const config *cfg);
