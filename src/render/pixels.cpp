#include "pixels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

extern "C" {
#include <libswscale/swscale.h>
}

#include "egl.h"

namespace {

struct sws_closer {
    void operator()(SwsContext *ctx) const {
        sws_freeContext(ctx);
    }
};

// alpha in 0..1 as a factor of 0..256, so that 1 keeps a byte as it is.
uint32_t factor_of(float alpha) {
    if (!(alpha > 0.0f)) {
        return 0;
    }
    if (alpha >= 1.0f) {
        return 256;
    }
    return static_cast<uint32_t>(alpha * 256.0f + 0.5f);
}

AVPixelFormat format_of(pixels_order order) {
    switch (order) {
    case PIXELS_RGBA:
        return AV_PIX_FMT_RGBA;
    case PIXELS_BGRA:
        return AV_PIX_FMT_BGRA;
    case PIXELS_BGRX:
        return AV_PIX_FMT_BGR0;
    }
    return AV_PIX_FMT_BGRA;
}

uint8_t channel_byte(float value) {
    return static_cast<uint8_t>(std::lround(std::clamp(value, 0.0f, 1.0f) * 255.0f));
}

// The fit's bar colour as one opaque pixel in order.
void bar_pixel(const picture_fit &fit, pixels_order order, uint8_t pixel[4]) {
    uint8_t red = channel_byte(fit.red);
    uint8_t blue = channel_byte(fit.blue);
    pixel[0] = order == PIXELS_RGBA ? red : blue;
    pixel[1] = channel_byte(fit.green);
    pixel[2] = order == PIXELS_RGBA ? blue : red;
    pixel[3] = 255;
}

// Fills w x h pixels at x, y of target with one 4-byte pixel.
void fill_rect(uint8_t *target, int target_stride, int x, int y, int w, int h,
               const uint8_t pixel[4]) {
    for (int row = y; row < y + h; row++) {
        uint8_t *t = target + static_cast<size_t>(row) * target_stride + static_cast<size_t>(x) * 4;
        for (int i = 0; i < w; i++, t += 4) {
            memcpy(t, pixel, 4);
        }
    }
}

// One end of the part of a texture axis seen on the target, in pixels of a
// side of size, from the shader's coordinates (v = u * scale + offset).
int to_pixels(double v, int size) {
    return static_cast<int>(std::lround(v * size));
}

} // namespace

void pixels_scaler_free(pixels_scaler *scaler) {
    if (scaler && scaler->context) {
        sws_freeContext(static_cast<SwsContext *>(scaler->context));
        scaler->context = nullptr;
    }
}

bool pixels_fit_place(int32_t fit, int width, int height, int target_width, int target_height,
                      pixels_place *place) {
    if (width <= 0 || height <= 0 || target_width <= 0 || target_height <= 0) {
        return false;
    }
    if (fit == FIT_COVER) {
        pixels_cover_rect(width, height, target_width, target_height, &place->src_x, &place->src_y,
                          &place->src_width, &place->src_height);
        place->x = 0;
        place->y = 0;
        place->width = target_width;
        place->height = target_height;
        return true;
    }
    // The shader samples the picture at u = target_u * scale + offset and
    // shows the bar colour where u leaves 0..1.
    cover_crop crop = egl_fit_crop(fit, width, height, target_width, target_height);
    const double scale[2] = {crop.scale_x, crop.scale_y};
    const double offset[2] = {crop.offset_x, crop.offset_y};
    const int size[2] = {width, height};
    const int target[2] = {target_width, target_height};
    int src[2][2];
    int dst[2][2];
    for (int axis = 0; axis < 2; axis++) {
        if (!(scale[axis] > 0.0)) {
            return false;
        }
        double u0 = std::max(0.0, offset[axis]);
        double u1 = std::min(1.0, offset[axis] + scale[axis]);
        if (u1 <= u0) {
            return false;
        }
        src[axis][0] = std::clamp(to_pixels(u0, size[axis]), 0, size[axis] - 1);
        src[axis][1] = std::clamp(to_pixels(u1, size[axis]), src[axis][0] + 1, size[axis]);
        dst[axis][0] = std::clamp(to_pixels((u0 - offset[axis]) / scale[axis], target[axis]), 0,
                                  target[axis] - 1);
        dst[axis][1] = std::clamp(to_pixels((u1 - offset[axis]) / scale[axis], target[axis]),
                                  dst[axis][0] + 1, target[axis]);
    }
    place->src_x = src[0][0];
    place->src_width = src[0][1] - src[0][0];
    place->src_y = src[1][0];
    place->src_height = src[1][1] - src[1][0];
    place->x = dst[0][0];
    place->width = dst[0][1] - dst[0][0];
    place->y = dst[1][0];
    place->height = dst[1][1] - dst[1][0];
    return true;
}

int pixels_fit_scale(const uint8_t *picture, int width, int height, int stride, pixels_order from,
                     uint8_t *target, int target_width, int target_height, int target_stride,
                     pixels_order to, const picture_fit &fit, pixels_scaler *scaler) {
    if (!picture || !target || width <= 0 || height <= 0 || target_width <= 0 ||
        target_height <= 0) {
        return -1;
    }
    uint8_t bar[4];
    bar_pixel(fit, to, bar);
    pixels_place place{};
    if (!pixels_fit_place(fit.mode, width, height, target_width, target_height, &place)) {
        fill_rect(target, target_stride, 0, 0, target_width, target_height, bar);
        return 0;
    }
    // The bars: above, below, left and right of the picture.
    fill_rect(target, target_stride, 0, 0, target_width, place.y, bar);
    fill_rect(target, target_stride, 0, place.y + place.height, target_width,
              target_height - place.y - place.height, bar);
    fill_rect(target, target_stride, 0, place.y, place.x, place.height, bar);
    fill_rect(target, target_stride, place.x + place.width, place.y,
              target_width - place.x - place.width, place.height, bar);

    SwsContext *context = nullptr;
    std::unique_ptr<SwsContext, sws_closer> owned;
    if (scaler) {
        context = sws_getCachedContext(static_cast<SwsContext *>(scaler->context), place.src_width,
                                       place.src_height, format_of(from), place.width, place.height,
                                       format_of(to), SWS_BILINEAR, nullptr, nullptr, nullptr);
        scaler->context = context;
    } else {
        context =
            sws_getContext(place.src_width, place.src_height, format_of(from), place.width,
                           place.height, format_of(to), SWS_BILINEAR, nullptr, nullptr, nullptr);
        owned.reset(context);
    }
    if (!context) {
        return -1;
    }
    const int src_stride[4] = {stride, 0, 0, 0};
    const uint8_t *src[4] = {picture + static_cast<size_t>(place.src_y) * stride +
                                 static_cast<size_t>(place.src_x) * 4,
                             nullptr, nullptr, nullptr};
    int dst_stride[4] = {target_stride, 0, 0, 0};
    uint8_t *dst[4] = {target + static_cast<size_t>(place.y) * target_stride +
                           static_cast<size_t>(place.x) * 4,
                       nullptr, nullptr, nullptr};
    return sws_scale(context, src, src_stride, 0, place.src_height, dst, dst_stride) > 0 ? 0 : -1;
}

void pixels_premultiply(uint8_t *pixels, size_t pixel_count) {
    for (size_t i = 0; i < pixel_count; i++) {
        uint8_t *p = pixels + i * 4;
        uint32_t a = p[3];
        if (a == 255) {
            continue;
        }
        for (int c = 0; c < 3; c++) {
            p[c] = static_cast<uint8_t>((p[c] * a + 127) / 255);
        }
    }
}

void pixels_cover_rect(int width, int height, int target_width, int target_height, int *x, int *y,
                       int *crop_width, int *crop_height) {
    cover_crop crop = egl_cover_crop(width, height, target_width, target_height);
    int w = static_cast<int>(std::lround(width * static_cast<double>(crop.scale_x)));
    int h = static_cast<int>(std::lround(height * static_cast<double>(crop.scale_y)));
    w = std::clamp(w, 1, std::max(width, 1));
    h = std::clamp(h, 1, std::max(height, 1));
    *crop_width = w;
    *crop_height = h;
    *x = (width - w) / 2;
    *y = (height - h) / 2;
}

int pixels_cover_scale(const uint8_t *rgba, int width, int height, uint8_t *target,
                       int target_width, int target_height, int target_stride) {
    return pixels_fit_scale(rgba, width, height, width * 4, PIXELS_RGBA, target, target_width,
                            target_height, target_stride, PIXELS_BGRA, PICTURE_FIT_COVER, nullptr);
}

void pixels_fade(uint8_t *target, int target_stride, const uint8_t *picture, int picture_stride,
                 int width, int height, float alpha) {
    uint32_t f = factor_of(alpha);
    size_t row_bytes = static_cast<size_t>(width) * 4;
    for (int y = 0; y < height; y++) {
        uint8_t *t = target + static_cast<size_t>(y) * target_stride;
        const uint8_t *p = picture + static_cast<size_t>(y) * picture_stride;
        if (f == 256) {
            memcpy(t, p, row_bytes);
            continue;
        }
        for (size_t i = 0; i < row_bytes; i++) {
            t[i] = static_cast<uint8_t>((p[i] * f) >> 8);
        }
    }
}

void pixels_blend(uint8_t *target, int target_stride, const uint8_t *picture, int picture_stride,
                  int width, int height, float alpha) {
    uint32_t f = factor_of(alpha);
    if (f == 0) {
        return;
    }
    for (int y = 0; y < height; y++) {
        uint8_t *t = target + static_cast<size_t>(y) * target_stride;
        const uint8_t *p = picture + static_cast<size_t>(y) * picture_stride;
        for (int x = 0; x < width; x++, t += 4, p += 4) {
            uint32_t a = (p[3] * f) >> 8; // the picture's coverage, 0..255
            uint32_t keep = 255 - a;
            for (int c = 0; c < 3; c++) {
                uint32_t v = ((p[c] * f) >> 8) + (t[c] * keep + 127) / 255;
                t[c] = static_cast<uint8_t>(v > 255 ? 255 : v);
            }
        }
    }
}

void pixels_fill_black(uint8_t *target, int target_stride, int width, int height) {
    for (int y = 0; y < height; y++) {
        memset(target + static_cast<size_t>(y) * target_stride, 0, static_cast<size_t>(width) * 4);
    }
}

void pixels_fill_color(uint8_t *target, int target_stride, int width, int height,
                       const picture_fit &fit, pixels_order order) {
    uint8_t bar[4];
    bar_pixel(fit, order, bar);
    fill_rect(target, target_stride, 0, 0, width, height, bar);
}

void pixels_set_opaque(uint8_t *target, int target_stride, int width, int height) {
    for (int y = 0; y < height; y++) {
        uint8_t *t = target + static_cast<size_t>(y) * target_stride + 3;
        for (int x = 0; x < width; x++, t += 4) {
            *t = 255;
        }
    }
}
