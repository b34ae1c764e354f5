// The shared-memory presenter's buffers: XRGB8888 wl_shm buffers in memory
// files, pooled by size and shared by every output of that size. A buffer is
// written only while the compositor holds none of its attachments.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fit.h"

struct wayland_context;
struct output_state;
struct wl_buffer;
struct shm_presenter;

enum {
    // Buffers of one size: one on screen, one being drawn, and room for a
    // compositor that is slow to give them back.
    SHM_BUFFERS_PER_SIZE = 4,
    SHM_MAX_BUFFERS = 32,
};

struct shm_buffer {
    shm_presenter *owner;
    wl_buffer *buffer;
    uint8_t *pixels; // the mapping, height rows of stride bytes
    size_t length;
    int32_t width;
    int32_t height;
    int32_t stride;
    int holds;    // attachments the compositor has not released yet
    int shown_on; // surfaces it is the attached buffer of
    bool retired; // its size is no longer wanted: freed once released
    // What it holds, for outputs that may show the same picture.
    uint64_t drawn; // order of drawing; 0: nothing drawn yet
    uint64_t pass;  // the render pass that drew it
    uint64_t frame_serial;
    bool video_only; // a video frame and nothing else
    int media;       // the background it shows (media_view id)
    picture_fit fit; // laid out by this fit
};

// None when the compositor offers no wl_shm (logged).
shm_presenter *shm_create(wayland_context *wayland);
void shm_destroy(shm_presenter *shm);
// A buffer of this size that the compositor does not hold, made when none is
// free and there is room; none otherwise (the next release redraws).
shm_buffer *shm_acquire(shm_presenter *shm, int32_t width, int32_t height);
// The buffer of this size drawn last with background media by fit, or none.
shm_buffer *shm_latest(shm_presenter *shm, int32_t width, int32_t height, int media,
                       const picture_fit &fit);
// Marks what the buffer now holds as the newest picture of its size.
void shm_mark_drawn(shm_buffer *buffer);
// Attaches the buffer to the output's surface, damages all of it and commits.
void shm_present(shm_buffer *buffer, output_state *output);
// Frees the buffers of sizes no output has any more (held ones when released).
void shm_retire_unused(shm_presenter *shm);
// The output goes away: its surface no longer shows a buffer.
void shm_output_gone(output_state *output);
// Buffers that exist, for tests and the log.
int shm_buffer_count(const shm_presenter *shm);
