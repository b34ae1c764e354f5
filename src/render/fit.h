// How a picture is laid onto one output: the fit mode and the colour of the
// bars that contain and center leave.
#pragma once

#include <cstdint>

#include "config.h"

struct picture_fit {
    int32_t mode; // a fit_mode
    float red;    // bar colour, 0 to 1 per channel
    float green;
    float blue;
};

constexpr picture_fit PICTURE_FIT_COVER = {FIT_COVER, 0.0f, 0.0f, 0.0f};

inline bool picture_fit_equal(const picture_fit &a, const picture_fit &b) {
    return a.mode == b.mode && a.red == b.red && a.green == b.green && a.blue == b.blue;
}
