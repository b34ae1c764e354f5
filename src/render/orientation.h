// Picture orientation of still images: which of the eight EXIF orientations
// a file asks for, and turning decoded pixels upright.
//
// The values are EXIF's: 1 upright, 2 mirrored left to right, 3 turned 180
// degrees, 4 mirrored top to bottom, 5 mirrored along the main diagonal,
// 6 to be turned 90 degrees clockwise, 7 mirrored along the other diagonal,
// 8 to be turned 90 degrees anticlockwise.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    ORIENTATION_UPRIGHT = 1,
    ORIENTATION_MAX = 8,
};

// Orientations 5 to 8 swap width and height.
bool orientation_swaps_sides(int orientation);

// The orientation FFmpeg's 3x3 display matrix stands for (the matrix a
// decoder attaches for a tagged picture); 1 when it is none of the eight.
int orientation_from_display_matrix(const int32_t matrix[9]);

// The Orientation tag (0x0112) of the first directory of a TIFF structure,
// as EXIF blocks hold it ("II*\0" or "MM\0*" first); 1 without one.
int orientation_from_tiff(const uint8_t *data, size_t size);

// The orientation a file's own metadata asks for: EXIF in JPEG (APP1), PNG
// (eXIf), WebP (EXIF) and TIFF, or the rotation and mirroring properties of
// the primary item of HEIF and AVIF files. 1 for anything else or on any
// read error. Reads only the file's headers and metadata.
int orientation_of_file(const char *path);

// The pixels of a width x height RGBA picture (rows packed, top row first)
// turned upright into dst, which holds as many pixels; dst is height x width
// when orientation_swaps_sides.
void orientation_apply(const uint8_t *src, int width, int height, int orientation, uint8_t *dst);
