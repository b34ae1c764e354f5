// Lock-screen frame feed: while the session is locked, every video frame goes
// into one of three shared-memory slots that lock screens map, instead of onto
// the outputs. Lock screens connect to lock-feed.sock and speak a fixed 40-byte
// message protocol:
//
//   offset size  config (1, to client)  frame (2, to client)  ack (3, from client)
//   0      4     "KIVF"                 "KIVF"                "KIVF"
//   4      4     version 1              1                     1
//   8      4     type 1                 2                     3
//   12     4     slot count 3           slot index 0..2       slot index 0..2
//   16     4     slot width             width                 ignored
//   20     4     slot height            height                ignored
//   24     4     stride (width * 4)     stride                ignored
//   28     4     0                      0                     ignored
//   32     8     0                      sequence              sequence of the frame
//
// All integers are unsigned little-endian. A config message carries the three
// slot memory descriptors (SCM_RIGHTS, slot order). A slot is written only
// while no client that was told about its frame still owes an acknowledgement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>

struct egl_state;
struct video_player;
struct lock_feed;
struct picture_fit;

enum {
    FEED_CONFIG = 1,
    FEED_FRAME = 2,
    FEED_ACK = 3,
    FEED_VERSION = 1,
    FEED_MESSAGE_SIZE = 40,
    FEED_SLOT_COUNT = 3,
    FEED_MAX_CLIENTS = 8,
    FEED_MAX_WIDTH = 3840,
    FEED_MAX_HEIGHT = 2160,
};
constexpr int64_t FEED_ACK_DEADLINE_MS = 1000;
// How long the listener rests when no descriptor is left for a connection.
constexpr int64_t FEED_ACCEPT_RETRY_MS = 1000;

// One message with its fields in host order.
struct feed_message {
    char magic[4];
    uint32_t version;
    uint32_t type;
    uint32_t slot; // slot count in a config message
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t reserved;
    uint64_t sequence;
};

// Pure protocol helpers (no GL, no sockets), shared with tests and fuzzing.

// A message of the given type with magic and version filled in.
feed_message feed_message_make(uint32_t type, uint32_t slot, int32_t width, int32_t height,
                               uint64_t sequence);
void feed_message_encode(const feed_message *msg, uint8_t out[FEED_MESSAGE_SIZE]);
void feed_message_decode(const uint8_t in[FEED_MESSAGE_SIZE], feed_message *msg);
// The slot a received 40-byte message acknowledges, or -1 when it is not a
// valid acknowledgement: wrong magic, version, type or slot index, or a
// sequence other than that slot's current one (sequences[slot]).
int feed_ack_slot(const uint8_t msg[FEED_MESSAGE_SIZE], const uint64_t sequences[FEED_SLOT_COUNT]);
// The slot size for a video of display size video_width x video_height (both
// positive): never enlarged, reduced only while it still covers the largest
// output (hints; ignored unless both positive), at most 3840 x 2160.
void feed_frame_size(int32_t video_width, int32_t video_height, int32_t hint_width,
                     int32_t hint_height, int32_t *width, int32_t *height);

// Shared memory with two descriptors, one writable and one that was opened
// read-only and so can be mapped for reading alone; its name is gone again
// when this returns. The slots are made this way where the system has no seal
// against writable mappings (FreeBSD). 0, or -1 with errno.
int feed_shared_memory(int *writable, int *read_only);

// The slot size for a fit other than cover: the largest output's size
// (hints), reduced to at most 3840 x 2160 keeping its shape; without hints
// as feed_frame_size.
void feed_fitted_frame_size(int32_t video_width, int32_t video_height, int32_t hint_width,
                            int32_t hint_height, int32_t *width, int32_t *height);

// The feed itself; everything below runs on the renderer's main thread.

// Listens on path (0600, with its held lock file). None when it cannot.
lock_feed *feed_create(const char *path, egl_state *egl);
void feed_destroy(lock_feed *feed);
// -1 while the listener rests after running out of descriptors.
int feed_listen_fd(const lock_feed *feed);
// Milliseconds until a resting listener is polled again; -1 when it is not
// resting.
int feed_timeout_ms(const lock_feed *feed, int64_t now);
// Takes every pending connection; the ninth simultaneous one is closed. Out
// of descriptors, the listener rests for FEED_ACCEPT_RETRY_MS, said once.
void feed_accept(lock_feed *feed);
// One readable entry per connected client; returns how many were written
// (at most FEED_MAX_CLIENTS).
int feed_poll_entries(const lock_feed *feed, struct pollfd *entries);
// Reads acknowledgements, drops clients past their deadline and pauses the
// player while the running feed has nobody to feed. Once per loop iteration.
void feed_service(lock_feed *feed, video_player *video);
void feed_start(lock_feed *feed);
// Closes every client and frees the slots.
void feed_stop(lock_feed *feed);
void feed_set_output_size(lock_feed *feed, int32_t width, int32_t height);
// Renders the player's current frame into a free slot, laid out by fit
// (none or cover: the frame as it is), and tells every announced client. 0
// when at least one client was told, else -1.
int feed_render_frame(lock_feed *feed, video_player *video, const picture_fit *fit);
