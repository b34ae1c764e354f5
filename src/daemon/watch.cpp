#include "watch.h"

#include "daemon.h"
#include "log.h"
#include "media.h"
#include "outputs.h"
#include "paths.h"
#include "probe.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

struct watch {
    int inotify_fd;
    int watch_descriptor;
    int outputs_descriptor; // the per-output links' directory
    char directory[1024];
    char link_path[1024];
};

namespace {

enum {
    LINK_PATH_SIZE = 1024,
    EVENT_HEADER_SIZE = 16,
    EVENT_BUFFER_SIZE = 4096,
    TEMP_NAME_TRIES = 16,
    // Link reads after a change keep at most this many characters.
    WATCH_TARGET_SIZE = 1024,
};

static_assert(sizeof(struct inotify_event) == EVENT_HEADER_SIZE);

// The link must be a symbolic link; its target is resolved all the way.
int resolve_link(const char *link, char *buf, size_t size) {
    char target[PATH_MAX];
    if (readlink(link, target, sizeof target) < 0)
        return -1;
    char resolved[PATH_MAX];
    if (!realpath(link, resolved))
        return -1;
    size_t n = strlen(resolved);
    if (n >= size)
        return -1;
    memcpy(buf, resolved, n + 1);
    return 0;
}

} // namespace

int background_link_read(char *buf, size_t size) {
    if (!buf || size < 2)
        return -1;
    char link[LINK_PATH_SIZE];
    if (path_background_link(link, sizeof link) != 0)
        return -1;
    return resolve_link(link, buf, size);
}

namespace {

// "unsupported file type: .xyz (stills: ..., videos: ...)" into why.
void say_unsupported(const char *path, char *why, size_t size) {
    const char *name = strrchr(path, '/');
    name = name ? name + 1 : path;
    const char *dot = strrchr(name, '.');
    char stills[256];
    char videos[256];
    char gif[16];
    if (media_suffix_list(MEDIA_STILL, stills, sizeof stills) != 0 ||
        media_suffix_list(MEDIA_VIDEO, videos, sizeof videos) != 0 ||
        media_suffix_list(MEDIA_GIF, gif, sizeof gif) != 0) {
        snprintf(why, size, "unsupported file type");
        return;
    }
    // A leading dot names a hidden file, not a type.
    if (!dot || dot == name || !dot[1])
        snprintf(why, size, "unsupported file type: no extension (stills: %s, videos: %s %s)",
                 stills, videos, gif);
    else
        snprintf(why, size, "unsupported file type: %.32s (stills: %s, videos: %s %s)", dot, stills,
                 videos, gif);
}

// Points link at path (a readable regular file of a known kind that FFmpeg
// decodes) by renaming a temporary link beside it over it; the reason for a
// refusal goes to why. A hidden temporary name is one that no output can
// have, for the directory whose every name is an output's.
int link_point(const char *link, const char *path, bool hidden_temp, char *why, size_t why_size) {
    if (!why || why_size == 0)
        return -1;
    snprintf(why, why_size, "Cannot set background");
    if (!path || !path[0])
        return -1;
    char resolved[PATH_MAX];
    if (!realpath(path, resolved)) {
        snprintf(why, why_size, "cannot resolve %s: %s", path, strerror(errno));
        return -1;
    }
    struct stat st;
    if (stat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) {
        snprintf(why, why_size, "not a regular file");
        return -1;
    }
    // Readable in fact, not just by mode bits: what the renderer will do.
    int fd = open(resolved, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        snprintf(why, why_size, "cannot read %s: %s", resolved, strerror(errno));
        return -1;
    }
    close(fd);
    if (media_kind_of(resolved) == MEDIA_UNKNOWN) {
        say_unsupported(resolved, why, why_size);
        return -1;
    }
    // A file this FFmpeg cannot decode would only fail after the load
    // time-out, with the background already replaced.
    char reason[PROBE_REASON_SIZE];
    if (probe_decodes(resolved, reason, sizeof reason) < 0) {
        snprintf(why, why_size, "cannot decode %s: %s", resolved, reason);
        return -1;
    }
    snprintf(why, why_size, "Cannot set background");

    const char *slash = strrchr(link, '/');
    if (!slash)
        return -1;
    for (int i = 0; i < TEMP_NAME_TRIES; i++) {
        char temp[LINK_PATH_SIZE + 64];
        int n = snprintf(temp, sizeof temp, "%.*s/%s%s.kiv-%d-%d", (int)(slash - link), link,
                         hidden_temp ? "." : "", slash + 1, (int)getpid(), i);
        if (n < 0 || (size_t)n >= sizeof temp)
            return -1;
        if (symlink(resolved, temp) != 0) {
            if (errno == EEXIST)
                continue;
            return -1;
        }
        if (rename(temp, link) == 0)
            return 0;
        unlink(temp);
        return -1;
    }
    return -1;
}

} // namespace

int background_link_set(const char *path, char *why, size_t why_size) {
    char link[LINK_PATH_SIZE];
    if (why && why_size)
        snprintf(why, why_size, "Cannot set background");
    if (path_background_link(link, sizeof link) != 0)
        return -1;
    return link_point(link, path, false, why, why_size);
}

int output_link_set(const char *name, const char *path, char *why, size_t why_size) {
    char dir[LINK_PATH_SIZE];
    char link[LINK_PATH_SIZE];
    if (why && why_size)
        snprintf(why, why_size, "Cannot set background");
    if (path_output_links_dir(dir, sizeof dir) != 0 ||
        path_output_link(name, link, sizeof link) != 0)
        return -1;
    mkdir_p(dir);
    return link_point(link, path, true, why, why_size);
}

int output_link_remove(const char *name) {
    char link[LINK_PATH_SIZE];
    if (path_output_link(name, link, sizeof link) != 0)
        return -1;
    struct stat st;
    if (lstat(link, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    // Only a link is ours to remove.
    if (!S_ISLNK(st.st_mode))
        return -1;
    return unlink(link) == 0 || errno == ENOENT ? 0 : -1;
}

int output_link_read(const char *name, char *buf, size_t size) {
    char link[LINK_PATH_SIZE];
    if (!buf || size < 2 || path_output_link(name, link, sizeof link) != 0)
        return -1;
    return resolve_link(link, buf, size);
}

watch *watch_new(void) {
    char link[LINK_PATH_SIZE];
    if (path_background_link(link, sizeof link) != 0)
        return nullptr;
    const char *slash = strrchr(link, '/');
    if (!slash)
        return nullptr;

    auto *w = static_cast<watch *>(calloc(1, sizeof(watch)));
    if (!w)
        return nullptr;
    w->inotify_fd = -1;
    w->watch_descriptor = -1;
    w->outputs_descriptor = -1;
    memcpy(w->link_path, link, strlen(link) + 1);
    size_t dir_len = (size_t)(slash - link);
    memcpy(w->directory, link, dir_len);
    w->directory[dir_len] = '\0';

    // A failure shows up as a failed watch below.
    mkdir_p(w->directory);

    w->inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w->inotify_fd < 0) {
        log_error("inotify_init1 failed: %s", strerror(errno));
        free(w);
        return nullptr;
    }
    uint32_t mask = IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE |
                    IN_DELETE | IN_DONT_FOLLOW;
    w->watch_descriptor = inotify_add_watch(w->inotify_fd, w->directory, mask);
    if (w->watch_descriptor < 0) {
        log_error("inotify watch failed on %s: %s", w->directory, strerror(errno));
        close(w->inotify_fd);
        free(w);
        return nullptr;
    }
    log_info("watching %s", w->directory);
    // Without it per-output backgrounds are read at start and on refresh only.
    char outputs[LINK_PATH_SIZE];
    if (path_output_links_dir(outputs, sizeof outputs) == 0) {
        mkdir_p(outputs);
        w->outputs_descriptor = inotify_add_watch(w->inotify_fd, outputs, mask);
        if (w->outputs_descriptor < 0)
            log_warn("inotify watch failed on %s: %s", outputs, strerror(errno));
    }
    return w;
}

void watch_free(watch *w) {
    if (!w)
        return;
    if (w->inotify_fd >= 0) {
        if (w->watch_descriptor >= 0)
            inotify_rm_watch(w->inotify_fd, w->watch_descriptor);
        if (w->outputs_descriptor >= 0)
            inotify_rm_watch(w->inotify_fd, w->outputs_descriptor);
        close(w->inotify_fd);
    }
    free(w);
}

int watch_fd(const watch *w) {
    return w ? w->inotify_fd : -1;
}

int watch_on_readable(watch *w) {
    if (!w || w->inotify_fd < 0)
        return -1;
    bool changed = false;
    bool outputs_changed = false;
    int read_errno = 0;
    alignas(struct inotify_event) char buf[EVENT_BUFFER_SIZE];
    for (;;) {
        ssize_t n = read(w->inotify_fd, buf, sizeof buf);
        if (n <= 0) {
            read_errno = n < 0 ? errno : 0;
            break;
        }
        size_t len = (size_t)n;
        size_t at = 0;
        while (at + EVENT_HEADER_SIZE <= len) {
            struct inotify_event ev;
            memcpy(&ev, buf + at, EVENT_HEADER_SIZE);
            const char *name = buf + at + EVENT_HEADER_SIZE;
            size_t name_room = len - at - EVENT_HEADER_SIZE;
            // The name is NUL-padded; an event about the directory itself or
            // a queue overflow has none.
            if (ev.wd == w->outputs_descriptor && w->outputs_descriptor >= 0)
                outputs_changed = true;
            else if (ev.len == 0)
                changed = true;
            else if (ev.len <= name_room && strnlen(name, ev.len) == strlen("background") &&
                     memcmp(name, "background", strlen("background")) == 0)
                changed = true;
            at += EVENT_HEADER_SIZE + ev.len;
        }
    }
    if (read_errno != 0 && read_errno != EAGAIN && read_errno != EWOULDBLOCK && read_errno != EINTR)
        return -1;
    if (outputs_changed && outputs_rescan())
        media_update();
    if (!changed)
        return outputs_changed ? 1 : 0;

    char target[WATCH_TARGET_SIZE];
    if (resolve_link(w->link_path, target, sizeof target) != 0) {
        log_warn("background symlink unreadable");
        return 1;
    }
    if (strcmp(target, g_daemon.source_path) == 0)
        return 1;
    log_info("background symlink now points at %s", target);
    media_set_source(target);
    return 1;
}
