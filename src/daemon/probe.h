// A look inside a media file before it becomes the background: whether
// FFmpeg here decodes its picture at all, and how many frames a GIF holds.
// Main thread; both are bounded so that `set` stays quick.
#pragma once

#include <cstddef>

// The longest FFmpeg reason kept, with its terminating zero.
constexpr size_t PROBE_REASON_SIZE = 160;

// Opens path with FFmpeg and decodes the first frame of its first picture
// stream. 0 when a frame decodes; 1 when three seconds passed without an
// answer; -1 with FFmpeg's reason (or what was missing) in why. Logs nothing.
int probe_decodes(const char *path, char *why, size_t why_size);

// The number of pictures of a GIF file, counted from its block structure
// without decoding: 0, 1 or 2 (meaning two or more); -1 when the file cannot
// be read or is not a well-formed GIF up to its second picture.
int probe_gif_frames(const char *path);
