// Still images: decoded from a file on a worker thread (FFmpeg), uploaded as a
// GL texture on the main thread, drawn with a fade-in (background still) or a
// fade-out over a new video (transition image).
#pragma once

#include <atomic>
#include <cstdint>

struct picture_fit;

struct egl_state;
struct still_image;

enum {
    STILL_PATH_SIZE = 4096,
    STILL_DEFAULT_FADE_MS = 250,
    STILL_TRANSITION_WAIT_MS = 1000,
    // The decoder refuses frames above 8192 x 8192 pixels.
    STILL_MAX_PIXELS = 67108864,
};

// Without GL state (none) the image is kept in memory and drawn on the CPU
// through still_picture.
still_image *still_create(egl_state *egl);
void still_destroy(still_image *image);

// Starts a decode, or queues it behind the running one (which is cancelled).
// limit_width/limit_height: the box the image must still cover after scaling
// down; 0 or less means no limit. 0, or -1 for an empty path or when no job or
// thread can be made.
int still_load(still_image *image, const char *path, int limit_width, int limit_height);
void still_cancel(still_image *image);
// Cancels any decode and drops the texture; fade duration, transition flag
// and decoded limits stay.
void still_clear(still_image *image);

// Read end of the current job's completion pipe; -1 without a job.
int still_fd(const still_image *image);
bool still_busy(const still_image *image);
// 1: a new texture is shown and the outputs need drawing again; 0: nothing
// new yet (a decoded image waits for the GL context); -1: the load failed.
int still_collect(still_image *image);

bool still_has_texture(const still_image *image);
// Path of the shown image; "" when none.
const char *still_path(const still_image *image);
// Decode limits of the shown image.
void still_limits(const still_image *image, int *limit_width, int *limit_height);
// Whether the shown image was scaled down to its limits (a decode for larger
// limits would give more pixels).
bool still_reduced(const still_image *image);

// Shows a texture made elsewhere (width x height, top row first) instead of
// a decoded file, and takes it over; any decode is cancelled.
void still_take_texture(still_image *image, unsigned texture, int width, int height);
// Without GL: the same with premultiplied RGBA pixels (rows of width * 4
// bytes, from malloc), which it takes over.
void still_take_pixels(still_image *image, uint8_t *rgba, int width, int height);

void still_set_fade(still_image *image, int ms);
void still_begin_transition(still_image *image, int ms);
// True while a video must hold back its frames for the transition image
// (at most STILL_TRANSITION_WAIT_MS, after which the image is given up).
bool still_transition_pending(still_image *image);
bool still_transition_done(const still_image *image);
bool still_animating(const still_image *image);

// Both draw into the current surface, made current for target_width x
// target_height, laid out by fit (none: cover). Opaque draw with the fade-in
// alpha:
void still_draw(still_image *image, int32_t target_width, int32_t target_height,
                const picture_fit *fit);
// Blended draw over the current frame with the fade-out alpha:
void still_draw_overlay(still_image *image, int32_t target_width, int32_t target_height,
                        const picture_fit *fit);

// The alpha still_draw and still_draw_overlay draw with; the overlay's
// starts its fade-out clock at the first call after an upload.
float still_fade_in_alpha(const still_image *image);
float still_overlay_alpha(still_image *image);
// Without GL: the shown image laid once onto width x height by fit, bars
// included, premultiplied B, G, R, A rows of width * 4 bytes (see pixels.h),
// kept for the next calls of that size and fit. None without an image or
// memory.
const uint8_t *still_picture(still_image *image, int32_t width, int32_t height,
                             const picture_fit &fit);

// Pure helpers, exposed for tests.

// Size to decode a width x height image to: reduced (never enlarged) so that
// it still covers the limit box, aspect kept, no side below 1.
void still_target_size(int width, int height, int limit_width, int limit_height, int *target_width,
                       int *target_height);
// Alpha after elapsed_ms of a fade of duration_ms: rising from 0 to 1, or
// falling from 1 to 0 when fade_out.
float still_fade_alpha(int64_t elapsed_ms, int duration_ms, bool fade_out);

// One decoded image: RGBA rows of width * 4 bytes, top row first. Free
// pixels with free().
struct still_pixels {
    uint8_t *pixels;
    int width;
    int height;
    bool reduced; // smaller than the source image
};
// Decodes the first frame of path synchronously (the worker's body). cancel
// may be null; a set cancel byte stops the decode with failure. 0 or -1.
int still_decode_file(const char *path, int limit_width, int limit_height,
                      const std::atomic<unsigned char> *cancel, still_pixels *out);
