// config_load over arbitrary file contents: all or nothing, every field in
// its range after a success, and loading the same file again changes nothing.
#include "config.h"
#include "fuzz_util.h"

#include <cerrno>
#include <cstring>

namespace {

bool text_in(const char *text, size_t size) {
    return memchr(text, '\0', size) != nullptr;
}

bool same(const config &a, const config &b) {
    if (a.pause_fullscreen != b.pause_fullscreen ||
        a.pause_occupied_workspace != b.pause_occupied_workspace ||
        a.battery_poster != b.battery_poster || a.gif_fps != b.gif_fps || a.gif_crf != b.gif_crf ||
        a.max_width != b.max_width || a.max_height != b.max_height ||
        a.cache_max_mb != b.cache_max_mb || a.fade_ms != b.fade_ms ||
        a.blocklist_count != b.blocklist_count ||
        memcmp(a.battery_mode, b.battery_mode, sizeof a.battery_mode) != 0)
        return false;
    return memcmp(a.blocklist, b.blocklist, sizeof a.blocklist) == 0;
}

void check_ranges(const config &c) {
    FUZZ_CHECK(c.gif_fps >= 5 && c.gif_fps <= 50);
    FUZZ_CHECK(c.gif_crf >= 0 && c.gif_crf <= 51);
    FUZZ_CHECK(c.max_width >= 320 && c.max_width <= 16384);
    FUZZ_CHECK(c.max_height >= 200 && c.max_height <= 16384);
    FUZZ_CHECK(c.cache_max_mb >= 0 && c.cache_max_mb <= 65536);
    FUZZ_CHECK(c.fade_ms >= 0 && c.fade_ms <= 2000);
    FUZZ_CHECK(strcmp(c.battery_mode, "play") == 0 || strcmp(c.battery_mode, "pause") == 0 ||
               strcmp(c.battery_mode, "poster") == 0);
    FUZZ_CHECK(c.blocklist_count >= 0 && c.blocklist_count <= CONFIG_BLOCKLIST_MAX);
    for (int i = 0; i < c.blocklist_count; i++) {
        FUZZ_CHECK(text_in(c.blocklist[i], sizeof c.blocklist[i]));
        FUZZ_CHECK(c.blocklist[i][0] != '\0');
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = fuzz_write_file("config.toml", data, size);

    config cfg;
    config_set_defaults(&cfg);
    const config before = cfg;
    errno = 0;
    if (config_load(&cfg, path.c_str()) != 0) {
        FUZZ_CHECK(errno == EINVAL);
        FUZZ_CHECK(same(cfg, before));
        return 0;
    }
    check_ranges(cfg);
    const config first = cfg;
    FUZZ_CHECK(config_load(&cfg, path.c_str()) == 0);
    FUZZ_CHECK(same(cfg, first));
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_scratch_dir();
    return 0;
}
