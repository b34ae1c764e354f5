#include "shm.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "log.h"
#include "wayland.h"

struct shm_presenter {
    wayland_context *wayland;
    shm_buffer *buffers[SHM_MAX_BUFFERS];
    uint64_t draw_count;
    // A draw found every buffer held: the next release draws again.
    bool starved;
};

namespace {

// Rows start on 64-byte boundaries, which the video player's converters
// work with fastest.
int32_t stride_for(int32_t width) {
    return (width * 4 + 63) / 64 * 64;
}

void buffer_free(shm_buffer *b) {
    shm_presenter *shm = b->owner;
    for (shm_buffer *&slot : shm->buffers) {
        if (slot == b) {
            slot = nullptr;
        }
    }
    for (output_state *o = wayland_outputs(shm->wayland); o; o = o->next) {
        if (o->shm_shown == b) {
            o->shm_shown = nullptr;
        }
    }
    if (b->buffer) {
        wl_buffer_destroy(b->buffer);
    }
    if (b->pixels) {
        munmap(b->pixels, b->length);
    }
    delete b;
}

// Compositors differ in how they release a buffer attached to several
// surfaces: once per attachment, or once when no surface uses it any more.
// A release while no surface shows the buffer frees it either way.
void buffer_handle_release(void *data, wl_buffer *) {
    auto *b = static_cast<shm_buffer *>(data);
    if (b->shown_on == 0) {
        b->holds = 0;
    } else if (b->holds > 0) {
        b->holds--;
    }
    if (b->holds > 0) {
        return;
    }
    shm_presenter *shm = b->owner;
    if (b->retired) {
        buffer_free(b);
    }
    if (shm->starved) {
        shm->starved = false;
        wayland_mark_all_dirty(shm->wayland);
    }
}

const wl_buffer_listener buffer_listener = {
    .release = buffer_handle_release,
};

shm_buffer *buffer_create(shm_presenter *shm, int32_t width, int32_t height) {
    int32_t stride = stride_for(width);
    size_t length = static_cast<size_t>(stride) * static_cast<size_t>(height);
    if (width <= 0 || height <= 0 || length > INT32_MAX) {
        log_error("no shared-memory buffer of %dx%d", width, height);
        return nullptr;
    }
    int fd = memfd_create("kiv-shm", MFD_CLOEXEC);
    if (fd < 0) {
        log_error("shm memfd failed: %s", strerror(errno));
        return nullptr;
    }
    if (ftruncate(fd, static_cast<off_t>(length)) != 0) {
        log_error("shm ftruncate failed: %s", strerror(errno));
        close(fd);
        return nullptr;
    }
    void *map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        log_error("shm mmap failed: %s", strerror(errno));
        close(fd);
        return nullptr;
    }
    auto *b = new (std::nothrow) shm_buffer{};
    if (!b) {
        munmap(map, length);
        close(fd);
        return nullptr;
    }
    b->owner = shm;
    b->pixels = static_cast<uint8_t *>(map);
    b->length = length;
    b->width = width;
    b->height = height;
    b->stride = stride;
    // The request carries a copy of the descriptor; the pool is needed only
    // to cut the buffer from it.
    wl_shm_pool *pool = wl_shm_create_pool(shm->wayland->shm, fd, static_cast<int32_t>(length));
    close(fd);
    if (pool) {
        b->buffer =
            wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
        wl_shm_pool_destroy(pool);
    }
    if (!b->buffer) {
        log_error("wl_shm buffer of %dx%d failed", width, height);
        munmap(map, length);
        delete b;
        return nullptr;
    }
    wl_buffer_add_listener(b->buffer, &buffer_listener, b);
    return b;
}

bool size_wanted(const wayland_context *ctx, int32_t width, int32_t height) {
    for (const output_state *o = wayland_outputs(ctx); o; o = o->next) {
        int32_t w = 0;
        int32_t h = 0;
        output_buffer_size(o, &w, &h);
        if (w == width && h == height) {
            return true;
        }
    }
    return false;
}

} // namespace

shm_presenter *shm_create(wayland_context *wayland) {
    if (!wayland || !wayland->shm) {
        log_error("compositor lacks wl_shm");
        return nullptr;
    }
    auto *shm = new (std::nothrow) shm_presenter{};
    if (!shm) {
        log_error("shm presenter: out of memory");
        return nullptr;
    }
    shm->wayland = wayland;
    return shm;
}

void shm_destroy(shm_presenter *shm) {
    if (!shm) {
        return;
    }
    for (shm_buffer *b : shm->buffers) {
        if (b) {
            buffer_free(b);
        }
    }
    delete shm;
}

shm_buffer *shm_acquire(shm_presenter *shm, int32_t width, int32_t height) {
    if (!shm) {
        return nullptr;
    }
    int of_size = 0;
    shm_buffer *choice = nullptr;
    int free_slot = -1;
    for (int i = 0; i < SHM_MAX_BUFFERS; i++) {
        shm_buffer *b = shm->buffers[i];
        if (!b) {
            if (free_slot < 0) {
                free_slot = i;
            }
            continue;
        }
        if (b->retired || b->width != width || b->height != height) {
            continue;
        }
        of_size++;
        // The oldest picture is the least likely to be shown again.
        if (b->holds == 0 && (!choice || b->drawn < choice->drawn)) {
            choice = b;
        }
    }
    if (choice) {
        return choice;
    }
    if (of_size >= SHM_BUFFERS_PER_SIZE || free_slot < 0) {
        shm->starved = true;
        return nullptr;
    }
    shm_buffer *b = buffer_create(shm, width, height);
    if (!b) {
        return nullptr;
    }
    shm->buffers[free_slot] = b;
    log_debug("shm buffer %d of %dx%d", of_size + 1, width, height);
    return b;
}

shm_buffer *shm_latest(shm_presenter *shm, int32_t width, int32_t height, int media,
                       const picture_fit &fit) {
    shm_buffer *latest = nullptr;
    if (!shm) {
        return nullptr;
    }
    for (shm_buffer *b : shm->buffers) {
        if (b && !b->retired && b->width == width && b->height == height && b->drawn > 0 &&
            b->media == media && picture_fit_equal(b->fit, fit) &&
            (!latest || b->drawn > latest->drawn)) {
            latest = b;
        }
    }
    return latest;
}

void shm_mark_drawn(shm_buffer *buffer) {
    buffer->drawn = ++buffer->owner->draw_count;
}

void shm_present(shm_buffer *buffer, output_state *output) {
    wl_surface *surface = output->surface;
    wl_surface_attach(surface, buffer->buffer, 0, 0);
    if (output->wayland->compositor_version >= 4) {
        wl_surface_damage_buffer(surface, 0, 0, buffer->width, buffer->height);
    } else {
        wl_surface_damage(surface, 0, 0, INT32_MAX, INT32_MAX);
    }
    wl_surface_commit(surface);
    buffer->holds++;
    if (output->shm_shown != buffer) {
        if (output->shm_shown) {
            output->shm_shown->shown_on--;
        }
        output->shm_shown = buffer;
        buffer->shown_on++;
    }
}

void shm_output_gone(output_state *output) {
    if (output && output->shm_shown) {
        output->shm_shown->shown_on--;
        output->shm_shown = nullptr;
    }
}

void shm_retire_unused(shm_presenter *shm) {
    if (!shm) {
        return;
    }
    for (shm_buffer *b : shm->buffers) {
        if (!b || b->retired || size_wanted(shm->wayland, b->width, b->height)) {
            continue;
        }
        b->retired = true;
        if (b->holds == 0) {
            buffer_free(b);
        }
    }
}

int shm_buffer_count(const shm_presenter *shm) {
    int count = 0;
    if (!shm) {
        return 0;
    }
    for (const shm_buffer *b : shm->buffers) {
        count += b ? 1 : 0;
    }
    return count;
}
