// Video playback: one libmpv player drawing through libmpv's OpenGL render API
// into the renderer's own GL context, onto output surfaces or an offscreen
// framebuffer (lock feed). Everything runs on the main thread except the two
// libmpv callbacks, which only write one byte into the wake-up pipe.
#pragma once

#include <cstddef>
#include <cstdint>

struct wl_display;
struct video_player;

// All calls that reach the render context need the renderer's GL context
// current.

// Creates the player with its options (KIV_HWDEC, KIV_MPV_OPTIONS), the render
// context and the wake-up pipe. The render context draws through the current
// GL context, or with software into memory (video_render_memory). None on
// failure (already logged).
video_player *video_create(wl_display *display, bool software);
// Frees the render context before the player; tolerates none.
void video_destroy(video_player *video);

// Replaces the current file. 0, or -1 when the path is empty or the player
// rejects the command ("loadfile failed: %s").
int video_load(video_player *video, const char *path);
// The same, starting at start_s seconds into the file (0 or less: at its start).
int video_load_at(video_player *video, const char *path, double start_s);
// Unloads the file; the pause cache stays valid.
void video_stop(video_player *video);
// Applies the pause flag unless the last successful one was the same value.
void video_set_pause(video_player *video, bool pause);
void video_set_mute(video_player *video, bool mute);
// Loudness in percent, 0 to 100 (values outside are moved to the nearer
// bound). At 0 no audio track is decoded at all; a higher value selects the
// file's audio track again without reloading the file. The player starts at 0.
void video_set_volume(video_player *video, int percent);
// true: loop forever ("inf"); false: play once ("no").
void video_set_loop(video_player *video, bool loop);

// Per loop iteration: tells how often a repeated player message came once
// its minute is over.
void video_tick(video_player *video);
// Read end of the wake-up pipe for the poll set; -1 without a player.
int video_fd(const video_player *video);
// Drains the pipe and the player's event queue; true when a new frame is ready.
bool video_process_events(video_player *video);

// Draws the current frame for the screen into framebuffer `fbo` (0: the
// current window surface) of the given size, bottom row first as window
// surfaces keep it. 0 or -1.
int video_render_screen(video_player *video, unsigned fbo, int width, int height);
// Draws the current frame into framebuffer `fbo` of the given size, top row
// first. 0 or -1.
int video_render_fbo(video_player *video, unsigned fbo, int width, int height);
// The current frame drawn whole into a texture of the video's shape, for
// laying it onto outputs in any fit: its GL texture name with its size, or 0
// while there is no picture. Never larger than the video, and reduced only
// while it still covers limit_width x limit_height (no limit when either is
// 0 or less). Drawn again only when the frame changed; leaves framebuffer
// and viewport of the caller changed.
unsigned video_picture(video_player *video, int32_t limit_width, int32_t limit_height,
                       int32_t *width, int32_t *height);
// Software rendering: draws the current frame, top row first, into width x
// height pixels of 4 bytes in format ("bgr0": B, G, R, X in memory order, as
// XRGB8888 keeps them; "rgb0": R, G, B, X), rows of stride bytes. 0 or -1.
int video_render_memory(video_player *video, int width, int height, size_t stride, void *pixels,
                        const char *format);
// Software rendering: the current frame drawn whole in the video's shape, as
// video_picture sizes it, B, G, R, X rows of *stride bytes; null while there
// is no picture. Drawn again only when the frame changed.
const uint8_t *video_picture_memory(video_player *video, int32_t limit_width, int32_t limit_height,
                                    int32_t *width, int32_t *height, int32_t *stride);
// Tells the render context that a frame was presented.
void video_report_swap(video_player *video);

// Changes whenever the picture may have changed: a new frame, a load, a stop.
uint64_t video_frame_serial(const video_player *video);
bool video_has_media(const video_player *video);
bool video_ready(const video_player *video);
bool video_eof(const video_player *video);
// Display size; 0 only when both are positive (0 x 0 without a player).
int video_size(const video_player *video, int32_t *width, int32_t *height);
// Last playback or render error; "" when none.
const char *video_error(const video_player *video);
// hwdec-current, cut to 63 characters; "no" when it cannot be read.
const char *video_hwdec(video_player *video);
// Playback position in seconds; -1 when it cannot be read.
double video_time_pos(video_player *video);

// Pure helpers, exposed for tests.

// The picture size for a video of display size video_width x video_height.
void video_picture_size(int32_t video_width, int32_t video_height, int32_t limit_width,
                        int32_t limit_height, int32_t *width, int32_t *height);

// Whether a player log message reports a failed hardware-decoding probe,
// which is expected on machines without that hardware.
bool video_log_is_hwdec_probe(const char *prefix, const char *text);
// The hwdec option value for a KIV_HWDEC value (null when unset).
const char *video_hwdec_option(const char *env);

typedef void (*video_option_fn)(void *ctx, const char *name, const char *value);
// Splits a KIV_MPV_OPTIONS value at ";" and each piece at its first "=", calling
// fn(ctx, name, value) for every piece that has one; empty pieces and pieces
// without "=" are skipped. -1 only when the copy cannot be made.
int video_parse_options(const char *text, video_option_fn fn, void *ctx);
