// Player messages that come again and again (a decoder complaining on every
// loop of the video) are logged once a minute at most: the first time in full,
// then, when the minute is over, how often it came meanwhile. Pure: the caller
// gives the clock and the function that writes a line.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int REPEAT_SLOTS = 16;
constexpr int64_t REPEAT_WINDOW_MS = 60000;
constexpr size_t REPEAT_TEXT_SIZE = 512;

struct repeat_entry {
    char text[REPEAT_TEXT_SIZE];
    int level;
    int64_t since;  // when it was last written in full
    unsigned count; // times it came since then without being written
    bool used;
};

struct repeat_filter {
    repeat_entry entries[REPEAT_SLOTS];
};

typedef void (*repeat_write_fn)(void *ctx, int level, const char *line);

// A message at now: written at once unless the same text was written less
// than a minute ago, in which case it is only counted. Windows that have
// ended are closed first (see repeat_flush).
void repeat_offer(repeat_filter *f, int level, const char *text, int64_t now, repeat_write_fn write,
                  void *ctx);
// Closes every window older than a minute: a message counted in it is
// written once more as "<text> (repeated N times)".
void repeat_flush(repeat_filter *f, int64_t now, repeat_write_fn write, void *ctx);
// Closes every window now, as at the end of playback.
void repeat_finish(repeat_filter *f, repeat_write_fn write, void *ctx);
