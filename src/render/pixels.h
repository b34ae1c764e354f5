// Pictures drawn on the CPU for the shared-memory presenter. A picture is
// rows of stride bytes, 4 bytes a pixel in the order B, G, R, A (or X),
// which is XRGB8888 and ARGB8888 as little-endian memory holds them. Colours
// are premultiplied by their alpha, so a picture over black is its colour
// bytes as they are.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fit.h"

// Byte order of a picture's pixels.
enum pixels_order {
    PIXELS_RGBA,
    PIXELS_BGRA,
    PIXELS_BGRX, // the fourth byte undefined (read only)
};

// Where a picture lies on a target by a fit mode, as egl_fit_crop places it
// for the GL presenter: the part of the picture seen, in source pixels, and
// the target rectangle it fills.
struct pixels_place {
    int src_x;
    int src_y;
    int src_width;
    int src_height;
    int x;
    int y;
    int width;
    int height;
};

// A scaler kept between calls, for pictures drawn at every frame.
struct pixels_scaler {
    void *context;
};
void pixels_scaler_free(pixels_scaler *scaler);

// Multiplies each pixel's colour by its alpha, in place (RGBA or BGRA).
void pixels_premultiply(uint8_t *pixels, size_t pixel_count);
// Scales a premultiplied RGBA image (rows of width * 4 bytes, top row first)
// so that it covers a target of target_width x target_height, centred, aspect
// kept, the overflow cut evenly on both sides; writes premultiplied B, G, R, A
// rows of target_stride bytes. 0, or -1 when the scaler cannot be made.
int pixels_cover_scale(const uint8_t *rgba, int width, int height, uint8_t *target,
                       int target_width, int target_height, int target_stride);
// The part of an image width x height that covers an output, as the GL
// presenter crops it: offset and size in source pixels.
void pixels_cover_rect(int width, int height, int target_width, int target_height, int *x, int *y,
                       int *crop_width, int *crop_height);
// The place of a picture of width x height on target_width x target_height
// by fit; false when no part of it can be seen.
bool pixels_fit_place(int32_t fit, int width, int height, int target_width, int target_height,
                      pixels_place *place);
// Lays a premultiplied picture (rows of stride bytes, top row first, in
// order from) onto a target of target_width x target_height by fit, scaled
// with libswscale; what the picture leaves free takes the fit's bar colour,
// opaque. Writes rows of target_stride bytes in order to (RGBA or BGRA).
// scaler: kept for the next call, or null. 0, or -1 when the scaler cannot
// be made.
int pixels_fit_scale(const uint8_t *picture, int width, int height, int stride, pixels_order from,
                     uint8_t *target, int target_width, int target_height, int target_stride,
                     pixels_order to, const picture_fit &fit, pixels_scaler *scaler);
// target = picture * alpha: the picture rising out of black.
void pixels_fade(uint8_t *target, int target_stride, const uint8_t *picture, int picture_stride,
                 int width, int height, float alpha);
// target = picture * alpha + target * (1 - picture alpha * alpha): the
// picture laid over what target holds.
void pixels_blend(uint8_t *target, int target_stride, const uint8_t *picture, int picture_stride,
                  int width, int height, float alpha);
void pixels_fill_black(uint8_t *target, int target_stride, int width, int height);
// Fills the target with the fit's bar colour, opaque, in order (RGBA or BGRA).
void pixels_fill_color(uint8_t *target, int target_stride, int width, int height,
                       const picture_fit &fit, pixels_order order);
// Sets the fourth byte of every pixel to 255.
void pixels_set_opaque(uint8_t *target, int target_stride, int width, int height);
