#include "config.h"

#include "log.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

enum {
    LINE_SIZE = 512,
    NAME_SIZE = 512,
    ARRAY_TEXT_SIZE = 4096,
};

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Trims in place; returns the first kept character.
char *trim(char *s) {
    while (is_space(*s))
        s++;
    size_t n = strlen(s);
    while (n > 0 && is_space(s[n - 1]))
        s[--n] = '\0';
    return s;
}

// Quote tracking shared by comment removal and the search for a closing
// bracket: single quotes are literal, double quotes honour a backslash.
struct quote_scan {
    char quote = 0;

    // Feeds s[i]; returns how many characters were consumed (2 for an escape).
    size_t step(const char *s, size_t i) {
        char c = s[i];
        if (quote == 0) {
            if (c == '"' || c == '\'')
                quote = c;
            return 1;
        }
        if (quote == '"' && c == '\\' && s[i + 1] != '\0')
            return 2;
        if (c == quote)
            quote = 0;
        return 1;
    }
};

void strip_comment(char *line) {
    quote_scan q;
    for (size_t i = 0; line[i] != '\0';) {
        if (q.quote == 0 && line[i] == '#') {
            line[i] = '\0';
            return;
        }
        i += q.step(line, i);
    }
}

bool has_closing_bracket(const char *s) {
    quote_scan q;
    for (size_t i = 0; s[i] != '\0';) {
        if (q.quote == 0 && s[i] == ']')
            return true;
        i += q.step(s, i);
    }
    return false;
}

bool parse_bool(const char *v, bool *out) {
    if (strcmp(v, "true") == 0 || strcmp(v, "yes") == 0 || strcmp(v, "1") == 0) {
        *out = true;
        return true;
    }
    if (strcmp(v, "false") == 0 || strcmp(v, "no") == 0 || strcmp(v, "0") == 0) {
        *out = false;
        return true;
    }
    return false;
}

bool parse_int(const char *v, int32_t *out) {
    if (*v == '\0')
        return false;
    errno = 0;
    char *end = nullptr;
    long n = strtol(v, &end, 10);
    if (errno != 0 || end == v || *end != '\0')
        return false;
    if (n < INT32_MIN || n > INT32_MAX)
        return false;
    *out = (int32_t)n;
    return true;
}

// Stores one blocklist element of len characters; false when it cannot be one.
bool add_entry(config *cfg, const char *name, size_t len) {
    if (len == 0 || len >= CONFIG_BLOCKLIST_NAME_SIZE)
        return false;
    if (cfg->blocklist_count >= CONFIG_BLOCKLIST_MAX)
        return false;
    char *slot = cfg->blocklist[cfg->blocklist_count++];
    memset(slot, 0, CONFIG_BLOCKLIST_NAME_SIZE);
    memcpy(slot, name, len);
    return true;
}

bool parse_blocklist(char *value, config *cfg) {
    char *v = trim(value);
    size_t len = strlen(v);
    if (len < 2 || v[0] != '[' || v[len - 1] != ']')
        return false;
    memset(cfg->blocklist, 0, sizeof cfg->blocklist);
    cfg->blocklist_count = 0;

    const char *p = v + 1;
    const char *end = v + len - 1; // the closing bracket
    char name[CONFIG_BLOCKLIST_NAME_SIZE];
    for (;;) {
        while (p < end && is_space(*p))
            p++;
        if (p == end)
            return true;
        if (cfg->blocklist_count >= CONFIG_BLOCKLIST_MAX)
            return false;

        size_t n = 0;
        if (*p == '"' || *p == '\'') {
            char quote = *p++;
            bool closed = false;
            while (p < end) {
                char c = *p++;
                if (c == quote) {
                    closed = true;
                    break;
                }
                if (quote == '"' && c == '\\') {
                    if (p >= end || (*p != '"' && *p != '\\'))
                        return false;
                    c = *p++;
                }
                if (n >= CONFIG_BLOCKLIST_NAME_SIZE - 1)
                    return false;
                name[n++] = c;
            }
            if (!closed)
                return false;
            if (!add_entry(cfg, name, n))
                return false;
            while (p < end && is_space(*p))
                p++;
            if (p == end)
                return true;
            if (*p != ',')
                return false;
            p++;
            continue;
        }

        // Bare name: counted with its trailing blanks, stored without them.
        const char *start = p;
        while (p < end && *p != ',') {
            if (*p == '"' || *p == '\'' || *p == '[' || *p == ']')
                return false;
            p++;
        }
        n = (size_t)(p - start);
        if (n >= CONFIG_BLOCKLIST_NAME_SIZE)
            return false;
        while (n > 0 && is_space(start[n - 1]))
            n--;
        if (!add_entry(cfg, start, n))
            return false;
        if (p == end)
            return true;
        p++; // the comma
    }
}

enum key_result { KEY_VALID, KEY_INVALID, KEY_UNKNOWN };

key_result handle_key(config *cfg, const char *section, const char *key, char *value) {
    if (strcmp(section, "pause") == 0) {
        if (strcmp(key, "fullscreen") == 0)
            return parse_bool(value, &cfg->pause_fullscreen) ? KEY_VALID : KEY_INVALID;
        if (strcmp(key, "occupied_workspace") == 0)
            return parse_bool(value, &cfg->pause_occupied_workspace) ? KEY_VALID : KEY_INVALID;
        if (strcmp(key, "battery_poster") == 0)
            return parse_bool(value, &cfg->battery_poster) ? KEY_VALID : KEY_INVALID;
        if (strcmp(key, "battery_mode") == 0) {
            if (strcmp(value, "play") != 0 && strcmp(value, "pause") != 0 &&
                strcmp(value, "poster") != 0)
                return KEY_INVALID;
            memset(cfg->battery_mode, 0, sizeof cfg->battery_mode);
            strcpy(cfg->battery_mode, value);
            return KEY_VALID;
        }
        if (strcmp(key, "blocklist") == 0)
            return parse_blocklist(value, cfg) ? KEY_VALID : KEY_INVALID;
    } else if (strcmp(section, "transcode") == 0) {
        int32_t *field = nullptr;
        if (strcmp(key, "gif_fps") == 0)
            field = &cfg->gif_fps;
        else if (strcmp(key, "gif_crf") == 0)
            field = &cfg->gif_crf;
        else if (strcmp(key, "max_width") == 0)
            field = &cfg->max_width;
        else if (strcmp(key, "max_height") == 0)
            field = &cfg->max_height;
        else if (strcmp(key, "cache_max_mb") == 0)
            field = &cfg->cache_max_mb;
        else if (strcmp(key, "proxy_max_mb") == 0)
            field = &cfg->proxy_max_mb;
        else if (strcmp(key, "proxy") == 0)
            return parse_bool(value, &cfg->proxy) ? KEY_VALID : KEY_INVALID;
        if (field)
            return parse_int(value, field) ? KEY_VALID : KEY_INVALID;
    } else if (strcmp(section, "render") == 0) {
        if (strcmp(key, "fade_ms") == 0)
            return parse_int(value, &cfg->fade_ms) ? KEY_VALID : KEY_INVALID;
        if (strcmp(key, "volume") == 0)
            return parse_int(value, &cfg->volume) ? KEY_VALID : KEY_INVALID;
    }
    return KEY_UNKNOWN;
}

int32_t clamp(int32_t v, int32_t lo, int32_t hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

void apply_ranges(config *cfg) {
    cfg->gif_fps = clamp(cfg->gif_fps, 5, 50);
    cfg->gif_crf = clamp(cfg->gif_crf, 0, 51);
    cfg->max_width = clamp(cfg->max_width, 320, 16384);
    cfg->max_height = clamp(cfg->max_height, 200, 16384);
    cfg->cache_max_mb = clamp(cfg->cache_max_mb, 0, 65536);
    cfg->proxy_max_mb = clamp(cfg->proxy_max_mb, 0, 1048576);
    cfg->fade_ms = clamp(cfg->fade_ms, 0, 2000);
    cfg->volume = clamp(cfg->volume, 0, 100);
    cfg->blocklist_count = clamp(cfg->blocklist_count, 0, CONFIG_BLOCKLIST_MAX);
    // Texts always stay terminated, whatever the record held before.
    cfg->battery_mode[sizeof cfg->battery_mode - 1] = '\0';
    for (auto &entry : cfg->blocklist)
        entry[CONFIG_BLOCKLIST_NAME_SIZE - 1] = '\0';
}

struct file_closer {
    void operator()(FILE *f) const {
        fclose(f);
    }
};

// Everything the line loop carries from one line to the next.
struct parser {
    config copy;
    char section[NAME_SIZE];
    bool seen_header;
    bool pending;
    char pending_key[NAME_SIZE];
    char pending_text[ARRAY_TEXT_SIZE];
};

bool dispatch(parser *ps, const char *key, char *value) {
    key_result r = handle_key(&ps->copy, ps->section, key, value);
    if (r == KEY_UNKNOWN)
        log_warn("unknown config key %s.%s", ps->seen_header ? ps->section : "(top)", key);
    return r != KEY_INVALID;
}

// One line after comment removal and trimming; false on any error.
bool parse_line(parser *ps, char *line) {
    if (ps->pending) {
        size_t have = strlen(ps->pending_text);
        size_t add = strlen(line);
        if (have + 1 + add > ARRAY_TEXT_SIZE - 1)
            return false;
        ps->pending_text[have] = ' ';
        memcpy(ps->pending_text + have + 1, line, add + 1);
        if (!has_closing_bracket(line))
            return true;
        ps->pending = false;
        return dispatch(ps, ps->pending_key, ps->pending_text);
    }
    if (*line == '\0')
        return true;

    if (*line == '[') {
        char *close = strchr(line, ']');
        if (!close || close[1] != '\0')
            return false;
        size_t n = (size_t)(close - line - 1);
        memcpy(ps->section, line + 1, n);
        ps->section[n] = '\0';
        ps->seen_header = true;
        return true;
    }

    char *eq = strchr(line, '=');
    if (!eq)
        return false;
    *eq = '\0';
    char *key = trim(line);
    char *value = trim(eq + 1);
    size_t vlen = strlen(value);
    if (vlen >= 2 && (value[0] == '"' || value[0] == '\'') && value[vlen - 1] == value[0]) {
        value[vlen - 1] = '\0';
        value++;
    }
    if (value[0] == '[' && !has_closing_bracket(value)) {
        // A line is at most 510 characters, so both always fit.
        snprintf(ps->pending_key, sizeof ps->pending_key, "%s", key);
        snprintf(ps->pending_text, sizeof ps->pending_text, "%s", value);
        ps->pending = true;
        return true;
    }
    return dispatch(ps, key, value);
}

} // namespace

void config_set_defaults(config *cfg) {
    if (!cfg)
        return;
    memset(cfg, 0, sizeof *cfg);
    cfg->pause_fullscreen = true;
    cfg->pause_occupied_workspace = false;
    cfg->battery_poster = false;
    strcpy(cfg->battery_mode, "play");
    cfg->gif_fps = 20;
    cfg->gif_crf = 20;
    cfg->max_width = 2560;
    cfg->max_height = 1440;
    cfg->cache_max_mb = 512;
    cfg->proxy = true;
    cfg->proxy_max_mb = 2048;
    cfg->fade_ms = 250;
    // A wallpaper is silent unless the user asks for its sound.
    cfg->volume = 0;
    cfg->blocklist_count = 0;
}

int config_load(config *cfg, const char *path) {
    if (!cfg || !path) {
        errno = EINVAL;
        return -1;
    }
    std::unique_ptr<FILE, file_closer> file(fopen(path, "re"));
    if (!file)
        return -1;

    auto ps = std::make_unique<parser>();
    ps->copy = *cfg;
    ps->section[0] = '\0';
    ps->seen_header = false;
    ps->pending = false;

    char line[LINE_SIZE];
    unsigned lineno = 0;
    bool ok = true;
    while (fgets(line, sizeof line, file.get())) {
        lineno++;
        size_t n = strlen(line);
        // 511 characters and no newline: the line did not fit.
        if (n == LINE_SIZE - 1 && line[n - 1] != '\n') {
            ok = false;
            break;
        }
        strip_comment(line);
        if (!parse_line(ps.get(), trim(line))) {
            ok = false;
            break;
        }
    }
    if (ok && ferror(file.get())) {
        // The read failed on the line after the last one that arrived.
        lineno++;
        ok = false;
    } else if (ok && ps->pending) {
        ok = false;
    }
    if (!ok) {
        log_error("Invalid config at %s:%u", path, lineno);
        errno = EINVAL;
        return -1;
    }

    apply_ranges(&ps->copy);
    *cfg = ps->copy;
    return 0;
}
