#include "paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// snprintf that treats truncation as failure.
int format_path(char *buf, size_t size, const char *fmt, const char *a, const char *b) {
    if (!buf || size == 0)
        return -1;
    int n = snprintf(buf, size, fmt, a, b);
    if (n < 0 || (size_t)n >= size) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

const char *env_nonempty(const char *name) {
    const char *v = getenv(name);
    return v && v[0] ? v : nullptr;
}

// XDG variable if set and non-empty, else home + suffix.
int xdg_dir(const char *var, const char *home_suffix, char *buf, size_t size) {
    if (const char *v = env_nonempty(var))
        return format_path(buf, size, "%s%s", v, "");
    char home[1024];
    if (path_home(home, sizeof home) != 0)
        return -1;
    return format_path(buf, size, "%s%s", home, home_suffix);
}

typedef int (*base_fn)(char *, size_t);

int composite(base_fn base, const char *suffix, char *buf, size_t size) {
    char dir[1024];
    if (base(dir, sizeof dir) != 0)
        return -1;
    return format_path(buf, size, "%s%s", dir, suffix);
}

bool ends_with_ci(const char *s, size_t len, const char *suffix) {
    size_t n = strlen(suffix);
    if (len < n)
        return false;
    const char *tail = s + len - n;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)tail[i];
        if (c >= 'A' && c <= 'Z')
            c = (unsigned char)(c - 'A' + 'a');
        if (c != (unsigned char)suffix[i])
            return false;
    }
    return true;
}

} // namespace

int path_home(char *buf, size_t size) {
    if (const char *h = env_nonempty("HOME"))
        return format_path(buf, size, "%s%s", h, "");
    struct passwd pw;
    struct passwd *result = nullptr;
    char scratch[4096];
    if (getpwuid_r(getuid(), &pw, scratch, sizeof scratch, &result) != 0 || !result || !pw.pw_dir ||
        !pw.pw_dir[0])
        return -1;
    if (strlen(pw.pw_dir) > 1023)
        return -1;
    return format_path(buf, size, "%s%s", pw.pw_dir, "");
}

int path_runtime_dir(char *buf, size_t size) {
    if (const char *v = env_nonempty("XDG_RUNTIME_DIR"))
        return format_path(buf, size, "%s%s", v, "");
    char uid[32];
    snprintf(uid, sizeof uid, "%d", (int)getuid());
    return format_path(buf, size, "/run/user/%s%s", uid, "");
}

int path_config_home(char *buf, size_t size) {
    return xdg_dir("XDG_CONFIG_HOME", "/.config", buf, size);
}

int path_cache_home(char *buf, size_t size) {
    return xdg_dir("XDG_CACHE_HOME", "/.cache", buf, size);
}

int path_state_home(char *buf, size_t size) {
    return xdg_dir("XDG_STATE_HOME", "/.local/state", buf, size);
}

int path_render_socket(char *buf, size_t size) {
    return composite(path_runtime_dir, "/kiv/render.sock", buf, size);
}

int path_daemon_socket(char *buf, size_t size) {
    return composite(path_runtime_dir, "/kiv/kivd.sock", buf, size);
}

int path_feed_socket(char *buf, size_t size) {
    return composite(path_runtime_dir, "/kiv/lock-feed.sock", buf, size);
}

int path_config_file(char *buf, size_t size) {
    return composite(path_config_home, "/kiv/config.toml", buf, size);
}

int path_gif_cache_dir(char *buf, size_t size) {
    return composite(path_cache_home, "/kiv/gif", buf, size);
}

int path_proxy_cache_dir(char *buf, size_t size) {
    return composite(path_cache_home, "/kiv/proxy", buf, size);
}

int path_background_link(char *buf, size_t size) {
    return composite(path_state_home, "/tarvine/current/background", buf, size);
}

int path_shown_file(char *buf, size_t size) {
    return composite(path_state_home, "/kiv/shown", buf, size);
}

int path_output_links_dir(char *buf, size_t size) {
    return composite(path_state_home, "/kiv/outputs", buf, size);
}

int path_output_link(const char *name, char *buf, size_t size) {
    if (!name || output_name_check(name) || !buf || size == 0)
        return -1;
    char dir[1024];
    if (path_output_links_dir(dir, sizeof dir) != 0)
        return -1;
    int n = snprintf(buf, size, "%s/%s", dir, name);
    if (n < 0 || (size_t)n >= size) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

const char *output_name_check(const char *name) {
    if (!name || !name[0])
        return "Output name is empty";
    size_t len = strnlen(name, OUTPUT_NAME_MAX + 1);
    if (len > OUTPUT_NAME_MAX)
        return "Output name is longer than 63 bytes";
    // The name is a file name in the links directory: no path, no hidden or
    // temporary file, nothing that would garble a log line or a listing.
    if (name[0] == '.')
        return "Output name must not begin with a dot";
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)name[i];
        if (c == '/')
            return "Output name must not contain a slash";
        if (c < 0x20 || c == 0x7f)
            return "Output name must not contain control characters";
    }
    return nullptr;
}

int path_sibling(const char *path, const char *name, char *buf, size_t size) {
    if (!path || !name || !buf || size == 0)
        return -1;
    const char *slash = strrchr(path, '/');
    size_t dir_len = slash ? (size_t)(slash - path) + 1 : 0;
    size_t name_len = strlen(name);
    if (dir_len + name_len >= size) {
        buf[0] = '\0';
        return -1;
    }
    memcpy(buf, path, dir_len);
    memcpy(buf + dir_len, name, name_len + 1);
    return 0;
}

int mkdir_p(const char *path) {
    if (!path || !path[0])
        return -1;
    size_t len = strlen(path);
    if (len >= 1024)
        return -1;
    char copy[1024];
    memcpy(copy, path, len + 1);
    for (char *p = copy + 1; *p; p++) {
        if (*p != '/')
            continue;
        *p = '\0';
        if (mkdir(copy, 0755) != 0 && errno != EEXIST)
            return -1;
        *p = '/';
    }
    if (mkdir(copy, 0755) != 0 && errno != EEXIST)
        return -1;
    return 0;
}

namespace {

const char *const VIDEO_SUFFIXES[] = {".mp4", ".m4v", ".mov",  ".webm", ".mkv", ".avi", ".mpeg",
                                      ".mpg", ".ts",  ".m2ts", ".mts",  ".wmv", ".asf", ".flv",
                                      ".f4v", ".ogv", ".3gp",  ".3g2",  ".apng"};
// .jfif and .jpe are what cameras and browsers still write for JPEG; SVG is
// drawn by FFmpeg's librsvg decoder.
const char *const STILL_SUFFIXES[] = {".jpg", ".jpeg", ".jfif", ".jpe", ".png",  ".bmp",  ".webp",
                                      ".tif", ".tiff", ".avif", ".jxl", ".heic", ".heif", ".svg"};

// The suffixes joined with single spaces into buf; false when they do not fit.
template <size_t N> bool join_suffixes(const char *const (&list)[N], char *buf, size_t size) {
    size_t len = 0;
    for (size_t i = 0; i < N; i++) {
        int n = snprintf(buf + len, size - len, "%s%s", i ? " " : "", list[i]);
        if (n < 0 || (size_t)n >= size - len)
            return false;
        len += (size_t)n;
    }
    return true;
}

} // namespace

media_kind media_kind_of(const char *path) {
    if (!path || !path[0])
        return MEDIA_UNKNOWN;
    size_t len = strlen(path);
    if (ends_with_ci(path, len, ".gif"))
        return MEDIA_GIF;
    for (const char *s : VIDEO_SUFFIXES)
        if (ends_with_ci(path, len, s))
            return MEDIA_VIDEO;
    for (const char *s : STILL_SUFFIXES)
        if (ends_with_ci(path, len, s))
            return MEDIA_STILL;
    return MEDIA_UNKNOWN;
}

int media_suffix_list(int kind, char *buf, size_t size) {
    if (!buf || size == 0)
        return -1;
    buf[0] = '\0';
    bool ok = false;
    if (kind == MEDIA_STILL)
        ok = join_suffixes(STILL_SUFFIXES, buf, size);
    else if (kind == MEDIA_VIDEO)
        ok = join_suffixes(VIDEO_SUFFIXES, buf, size);
    else if (kind == MEDIA_GIF)
        ok = snprintf(buf, size, ".gif") < (int)size;
    if (!ok)
        buf[0] = '\0';
    return ok ? 0 : -1;
}

const char *media_kind_name(int kind) {
    switch (kind) {
    case MEDIA_STILL:
        return "still";
    case MEDIA_VIDEO:
        return "video";
    case MEDIA_GIF:
        return "gif";
    default:
        return "unknown";
    }
}
