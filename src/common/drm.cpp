#include "drm.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>

namespace {

enum {
    ATTR_SIZE = 64,
    ATTR_PATH_SIZE = 4096,
    // "-" and at most 299 characters of the output name.
    SUFFIX_SIZE = 301,
};

struct dir_closer {
    void operator()(DIR *d) const {
        closedir(d);
    }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// What a dpms word says: 1 off, 0 on, -1 anything else.
int dpms_state(const char *word) {
    if (strcmp(word, "On") == 0)
        return 0;
    if (strcmp(word, "Off") == 0 || strcmp(word, "Standby") == 0 || strcmp(word, "Suspend") == 0)
        return 1;
    return -1;
}

bool ends_with(const char *s, const char *suffix) {
    size_t n = strlen(s), m = strlen(suffix);
    return n >= m && memcmp(s + n - m, suffix, m) == 0;
}

// Walks dir for the one connected connector whose entry ends in "-" and the
// output name: 1 with its entry name copied, 0 when there is none, -1 when
// two match (no way to tell which one the compositor means).
int find_connector(const char *dir, const char *output_name, char *entry, size_t size) {
    char suffix[SUFFIX_SIZE];
    snprintf(suffix, sizeof suffix, "-%.299s", output_name);
    dir_ptr d(opendir(dir));
    if (!d)
        return 0;
    bool found = false;
    while (struct dirent *e = readdir(d.get())) {
        if (!ends_with(e->d_name, suffix))
            continue;
        char status[ATTR_SIZE] = {0};
        if (drm_read_attr(dir, e->d_name, "status", status) != 0 ||
            strcmp(status, "connected") != 0)
            continue;
        if (found)
            return -1;
        found = true;
        snprintf(entry, size, "%s", e->d_name);
    }
    return found ? 1 : 0;
}

// The power state in an entry's dpms file: 1 off, 0 on, -1 unknown.
int entry_state(const char *dir, const char *entry) {
    char dpms[ATTR_SIZE] = {0};
    return drm_read_attr(dir, entry, "dpms", dpms) == 0 ? dpms_state(dpms) : -1;
}

} // namespace

bool drm_probe_enabled(void) {
    const char *v = getenv("KIV_DRM_DPMS");
    return !(v && strcmp(v, "0") == 0);
}

int drm_read_attr(const char *dir, const char *entry, const char *attr, char buf[64]) {
    if (!dir || !entry || !attr || !buf)
        return -1;
    char path[ATTR_PATH_SIZE];
    int n = snprintf(path, sizeof path, "%s/%s/%s", dir, entry, attr);
    if (n < 0 || (size_t)n >= sizeof path)
        return -1;
    FILE *f = fopen(path, "re");
    if (!f)
        return -1;
    const char *got = fgets(buf, ATTR_SIZE, f);
    fclose(f);
    if (!got)
        return -1;
    buf[strcspn(buf, "\r\n")] = '\0';
    return 0;
}

int drm_all_off(const char *dir) {
    if (!drm_probe_enabled() || !dir)
        return -1;
    dir_ptr d(opendir(dir));
    if (!d)
        return -1;

    bool seen_off = false;
    bool uncertain = false;
    while (struct dirent *e = readdir(d.get())) {
        if (!strchr(e->d_name, '-'))
            continue; // cards, render nodes, version files
        char status[ATTR_SIZE] = {0};
        if (drm_read_attr(dir, e->d_name, "status", status) != 0)
            continue;
        if (strcmp(status, "disconnected") == 0)
            continue;
        if (strcmp(status, "connected") != 0) {
            uncertain = true;
            continue;
        }
        char dpms[ATTR_SIZE] = {0};
        if (drm_read_attr(dir, e->d_name, "dpms", dpms) != 0) {
            uncertain = true;
            continue;
        }
        int state = dpms_state(dpms);
        if (state == 0)
            return 0;
        if (state == 1)
            seen_off = true;
        else
            uncertain = true;
    }
    return seen_off && !uncertain ? 1 : -1;
}

int drm_output_off(const char *dir, const char *output_name) {
    if (!drm_probe_enabled() || !dir || !output_name || output_name[0] == '\0')
        return -1;
    char entry[DRM_ENTRY_SIZE];
    return find_connector(dir, output_name, entry, sizeof entry) == 1 ? entry_state(dir, entry)
                                                                      : -1;
}

int drm_connector_off(drm_connector *connector, const char *dir, const char *output_name,
                      int64_t now) {
    if (!drm_probe_enabled() || !connector || !dir || !output_name || output_name[0] == '\0')
        return -1;
    bool same_name =
        strncmp(connector->output_name, output_name, sizeof connector->output_name) == 0;
    if (same_name && connector->entry[0] != '\0') {
        char status[ATTR_SIZE] = {0};
        if (drm_read_attr(dir, connector->entry, "status", status) == 0 &&
            strcmp(status, "connected") == 0)
            return entry_state(dir, connector->entry);
        // Unplugged or gone: look again below.
    } else if (same_name && connector->looked_up_at != 0 &&
               now - connector->looked_up_at < DRM_LOOKUP_RETRY_MS) {
        return -1;
    }
    snprintf(connector->output_name, sizeof connector->output_name, "%s", output_name);
    connector->looked_up_at = now;
    if (find_connector(dir, output_name, connector->entry, sizeof connector->entry) != 1) {
        connector->entry[0] = '\0';
        return -1;
    }
    return entry_state(dir, connector->entry);
}
