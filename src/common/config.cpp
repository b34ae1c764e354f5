#include "config.h"

#include "json.h"
#include "log.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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

constexpr const char *FIT_WORDS[] = {"cover", "contain", "stretch", "center"};
constexpr size_t OUTPUT_PREFIX_LEN = 7; // "output."

key_result parse_fit(const char *value, int32_t *out) {
    fit_mode fit = FIT_COVER;
    if (!fit_mode_from_word(value, &fit))
        return KEY_INVALID;
    *out = fit;
    return KEY_VALID;
}

key_result parse_color(const char *value, int32_t *out) {
    uint32_t color = 0;
    if (!color_from_text(value, &color))
        return KEY_INVALID;
    *out = (int32_t)color;
    return KEY_VALID;
}

// The table an [output.NAME] section sets, made when first named; none when
// the name is invalid or every entry is taken. A quoted NAME loses its quotes.
config_output *output_table(config *cfg, const char *section) {
    char name[NAME_SIZE];
    snprintf(name, sizeof name, "%s", section + OUTPUT_PREFIX_LEN);
    size_t len = strlen(name);
    if (len >= 2 && (name[0] == '"' || name[0] == '\'') && name[len - 1] == name[0]) {
        name[len - 1] = '\0';
        memmove(name, name + 1, len - 1);
    }
    if (!config_output_name_valid(name))
        return nullptr;
    int count = cfg->output_count < 0                   ? 0
                : cfg->output_count > CONFIG_OUTPUT_MAX ? CONFIG_OUTPUT_MAX
                                                        : cfg->output_count;
    for (int i = 0; i < count; i++)
        if (strcmp(cfg->outputs[i].name, name) == 0)
            return &cfg->outputs[i];
    if (count == CONFIG_OUTPUT_MAX)
        return nullptr;
    config_output *entry = &cfg->outputs[count];
    memset(entry, 0, sizeof *entry);
    // A valid name is shorter than the field.
    memcpy(entry->name, name, strlen(name));
    entry->fit = -1;
    entry->background_color = -1;
    cfg->output_count = count + 1;
    return entry;
}

key_result handle_output_key(config *cfg, const char *section, const char *key, const char *value) {
    bool is_fit = strcmp(key, "fit") == 0;
    bool is_color = strcmp(key, "background_color") == 0;
    if (!is_fit && !is_color)
        return KEY_UNKNOWN;
    config_output *entry = output_table(cfg, section);
    if (!entry)
        return KEY_INVALID;
    return is_fit ? parse_fit(value, &entry->fit) : parse_color(value, &entry->background_color);
}

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
        if (strcmp(key, "fit") == 0)
            return parse_fit(value, &cfg->fit);
        if (strcmp(key, "background_color") == 0) {
            int32_t color = 0;
            key_result r = parse_color(value, &color);
            if (r == KEY_VALID)
                cfg->background_color = (uint32_t)color;
            return r;
        }
    } else if (strncmp(section, "output.", OUTPUT_PREFIX_LEN) == 0) {
        return handle_output_key(cfg, section, key, value);
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
    cfg->fit = clamp(cfg->fit, FIT_COVER, FIT_CENTER);
    cfg->background_color &= 0xffffffu;
    cfg->output_count = clamp(cfg->output_count, 0, CONFIG_OUTPUT_MAX);
    for (auto &entry : cfg->outputs) {
        entry.name[CONFIG_OUTPUT_NAME_SIZE - 1] = '\0';
        if (entry.fit != -1)
            entry.fit = clamp(entry.fit, FIT_COVER, FIT_CENTER);
        if (entry.background_color != -1)
            entry.background_color &= 0xffffff;
    }
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
    cfg->fit = FIT_COVER;
    cfg->background_color = 0x000000;
    cfg->output_count = 0;
}

bool fit_mode_from_word(const char *word, fit_mode *out) {
    if (!word)
        return false;
    for (size_t i = 0; i < sizeof FIT_WORDS / sizeof FIT_WORDS[0]; i++) {
        if (strcmp(word, FIT_WORDS[i]) == 0) {
            if (out)
                *out = (fit_mode)i;
            return true;
        }
    }
    return false;
}

const char *fit_mode_word(int32_t fit) {
    return fit >= FIT_COVER && fit <= FIT_CENTER ? FIT_WORDS[fit] : FIT_WORDS[FIT_COVER];
}

bool color_from_text(const char *text, uint32_t *out) {
    if (!text || text[0] != '#' || strlen(text) != 7)
        return false;
    uint32_t color = 0;
    for (int i = 1; i < 7; i++) {
        char c = text[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9')
            digit = (uint32_t)(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = (uint32_t)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = (uint32_t)(c - 'A' + 10);
        else
            return false;
        color = color << 4 | digit;
    }
    if (out)
        *out = color;
    return true;
}

void color_text(uint32_t color, char *buf, size_t size) {
    if (buf && size > 0)
        snprintf(buf, size, "#%06x", (unsigned)(color & 0xffffffu));
}

bool config_output_name_valid(const char *name) {
    if (!name)
        return false;
    size_t len = strlen(name);
    if (len == 0 || len >= CONFIG_OUTPUT_NAME_SIZE || strchr(name, '/') || strcmp(name, ".") == 0 ||
        strcmp(name, "..") == 0)
        return false;
    for (size_t i = 0; i < len; i++)
        if ((unsigned char)name[i] < 0x20 || name[i] == 0x7f)
            return false;
    // Shown and sent in JSON, which takes UTF-8 only.
    json_text_ptr quoted(json_quote(name));
    return quoted != nullptr;
}

void config_fit_of(const config *cfg, const char *name, fit_mode *fit, uint32_t *color) {
    fit_mode f = FIT_COVER;
    uint32_t c = 0;
    if (cfg) {
        f = (fit_mode)cfg->fit;
        c = cfg->background_color;
        for (int i = 0; name && i < cfg->output_count && i < CONFIG_OUTPUT_MAX; i++) {
            const config_output &entry = cfg->outputs[i];
            if (strcmp(entry.name, name) != 0)
                continue;
            if (entry.fit >= FIT_COVER && entry.fit <= FIT_CENTER)
                f = (fit_mode)entry.fit;
            if (entry.background_color >= 0)
                c = (uint32_t)entry.background_color;
        }
    }
    if (fit)
        *fit = f;
    if (color)
        *color = c;
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

char *config_fit_outputs_json(const config *cfg) {
    std::string text = "[";
    for (int i = 0; cfg && i < cfg->output_count && i < CONFIG_OUTPUT_MAX; i++) {
        char name[CONFIG_OUTPUT_NAME_SIZE];
        snprintf(name, sizeof name, "%s", cfg->outputs[i].name);
        json_text_ptr quoted(json_quote(name));
        if (!quoted)
            return nullptr;
        fit_mode fit = FIT_COVER;
        uint32_t color = 0;
        config_fit_of(cfg, name, &fit, &color);
        char color_word[8];
        color_text(color, color_word, sizeof color_word);
        text += i > 0 ? ",{\"name\":" : "{\"name\":";
        text += quoted.get();
        text += ",\"fit\":\"";
        text += fit_mode_word(fit);
        text += "\",\"background_color\":\"";
        text += color_word;
        text += "\"}";
    }
    text += "]";
    return strdup(text.c_str());
}
