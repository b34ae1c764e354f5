// The lock feed's wire format, acknowledgement matching and slot size rule.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "feed.h"

namespace {

TEST(FeedMessage, FrameEncodesLittleEndianAtFixedOffsets) {
    feed_message msg = feed_message_make(FEED_FRAME, 2, 1920, 1080, 0x0102030405060708ull);
    uint8_t bytes[FEED_MESSAGE_SIZE];
    feed_message_encode(&msg, bytes);
    const uint8_t expected[FEED_MESSAGE_SIZE] = {
        'K', 'I', 'V',  'F',  1,    0,    0,    0,    2,    0,    0,    0,    2, 0,
        0,   0,   0x80, 0x07, 0,    0,    0x38, 0x04, 0,    0,    0x00, 0x1e, 0, 0,
        0,   0,   0,    0,    0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(0, memcmp(bytes, expected, sizeof bytes));

    feed_message back;
    feed_message_decode(bytes, &back);
    EXPECT_EQ(0, memcmp(back.magic, "KIVF", 4));
    EXPECT_EQ(back.version, 1u);
    EXPECT_EQ(back.type, 2u);
    EXPECT_EQ(back.slot, 2u);
    EXPECT_EQ(back.width, 1920u);
    EXPECT_EQ(back.height, 1080u);
    EXPECT_EQ(back.stride, 7680u);
    EXPECT_EQ(back.reserved, 0u);
    EXPECT_EQ(back.sequence, 0x0102030405060708ull);
}

TEST(FeedMessage, ConfigCarriesSlotCountAndStride) {
    feed_message msg = feed_message_make(FEED_CONFIG, FEED_SLOT_COUNT, 720, 2160, 0);
    uint8_t bytes[FEED_MESSAGE_SIZE];
    feed_message_encode(&msg, bytes);
    feed_message back;
    feed_message_decode(bytes, &back);
    EXPECT_EQ(back.type, 1u);
    EXPECT_EQ(back.slot, 3u);
    EXPECT_EQ(back.stride, 2880u);
    EXPECT_EQ(back.sequence, 0u);
}

TEST(FeedAck, OnlyAnExactAcknowledgementCounts) {
    const uint64_t sequences[FEED_SLOT_COUNT] = {7, 9, 8};
    struct ack_case {
        const char *name;
        size_t offset; // byte to change, or FEED_MESSAGE_SIZE for none
        uint8_t value;
        uint32_t slot;
        uint64_t sequence;
        int expected;
    };
    const ack_case cases[] = {
        {"valid, slot 1", FEED_MESSAGE_SIZE, 0, 1, 9, 1},
        {"valid, slot 2", FEED_MESSAGE_SIZE, 0, 2, 8, 2},
        {"ignored fields may hold anything", 16, 0xff, 0, 7, 0},
        {"wrong magic", 3, 'G', 1, 9, -1},
        {"version 2", 4, 2, 1, 9, -1},
        {"frame type echoed", 8, FEED_FRAME, 1, 9, -1},
        {"type in a high byte", 11, 1, 1, 9, -1},
        {"slot 3", FEED_MESSAGE_SIZE, 0, 3, 9, -1},
        {"huge slot", FEED_MESSAGE_SIZE, 0, 0x80000001u, 9, -1},
        {"stale sequence", FEED_MESSAGE_SIZE, 0, 1, 8, -1},
        {"sequence of another slot", FEED_MESSAGE_SIZE, 0, 0, 9, -1},
    };
    for (const ack_case &c : cases) {
        SCOPED_TRACE(c.name);
        feed_message msg = feed_message_make(FEED_ACK, c.slot, 64, 32, c.sequence);
        uint8_t bytes[FEED_MESSAGE_SIZE];
        feed_message_encode(&msg, bytes);
        if (c.offset < FEED_MESSAGE_SIZE)
            bytes[c.offset] = c.value;
        EXPECT_EQ(feed_ack_slot(bytes, sequences), c.expected);
    }
}

TEST(FeedFrameSize, CoversTheLargestOutputWithinTheCap) {
    struct size_case {
        const char *name;
        int32_t video_w, video_h, hint_w, hint_h, expected_w, expected_h;
    };
    const size_case cases[] = {
        {"4K video on 1080p outputs", 3840, 2160, 1920, 1080, 1920, 1080},
        {"never enlarged", 1280, 720, 1920, 1080, 1280, 720},
        {"too wide without hints", 7680, 2160, 0, 0, 3840, 1080},
        {"portrait: height cap", 1000, 3000, 1920, 1080, 720, 2160},
        {"exactly the cap", 3840, 2160, 0, 0, 3840, 2160},
        {"8K without hints", 7680, 4320, 0, 0, 3840, 2160},
        {"8K on a 5K output stays capped", 7680, 4320, 5120, 2880, 3840, 2160},
        {"cover keeps the aspect", 3840, 2160, 2560, 1600, 2844, 1600},
        {"hint from two outputs", 3840, 2160, 3840, 1080, 3840, 2160},
        {"one hint missing", 3840, 2160, 1920, 0, 3840, 2160},
        {"tiny result raised to 1", 3840, 1, 0, 0, 3840, 1},
        {"extreme strip", 1000000, 2, 0, 0, 3840, 1},
    };
    for (const size_case &c : cases) {
        SCOPED_TRACE(c.name);
        int32_t w = -1;
        int32_t h = -1;
        feed_frame_size(c.video_w, c.video_h, c.hint_w, c.hint_h, &w, &h);
        EXPECT_EQ(w, c.expected_w);
        EXPECT_EQ(h, c.expected_h);
    }
}

// The slots where no seal keeps clients from mapping them for writing: what
// clients get can only be read, and shows what the renderer writes.
TEST(FeedSharedMemory, ClientsGetADescriptorThatOnlyReads) {
    int writable = -1;
    int read_only = -1;
    ASSERT_EQ(feed_shared_memory(&writable, &read_only), 0) << strerror(errno);
    const size_t length = 4096;
    ASSERT_EQ(ftruncate(writable, length), 0);
    void *out = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, writable, 0);
    ASSERT_NE(out, MAP_FAILED);
    memcpy(out, "frame", 6);

    errno = 0;
    EXPECT_EQ(mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, read_only, 0), MAP_FAILED);
    EXPECT_EQ(errno, EACCES);
    EXPECT_NE(ftruncate(read_only, 0), 0);
    void *in = mmap(nullptr, length, PROT_READ, MAP_SHARED, read_only, 0);
    ASSERT_NE(in, MAP_FAILED);
    EXPECT_STREQ(static_cast<const char *>(in), "frame");
    // Both close on exec, and the name is gone: nothing else can open it.
    EXPECT_NE(fcntl(read_only, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(writable, F_GETFD) & FD_CLOEXEC, 0);
    DIR *dir = opendir("/dev/shm");
    ASSERT_NE(dir, nullptr);
    char prefix[64];
    snprintf(prefix, sizeof prefix, "kiv-lock-feed.%ld.", static_cast<long>(getpid()));
    for (dirent *e = readdir(dir); e; e = readdir(dir))
        EXPECT_NE(strncmp(e->d_name, prefix, strlen(prefix)), 0) << e->d_name;
    closedir(dir);
    munmap(in, length);
    munmap(out, length);
    close(read_only);
    close(writable);
}

// With a fit other than cover the frame takes the output's shape: the bars
// are part of it.
TEST(FeedFrameSize, FittedFramesHaveTheOutputsShape) {
    struct size_case {
        const char *name;
        int32_t video_w, video_h, hint_w, hint_h, expected_w, expected_h;
    };
    const size_case cases[] = {
        {"portrait video on a 1080p output", 1080, 1920, 1920, 1080, 1920, 1080},
        {"small video: the output's size still", 320, 180, 2560, 1440, 2560, 1440},
        {"8K output capped, shape kept", 1920, 1080, 7680, 4320, 3840, 2160},
        {"ultrawide output capped by width", 1920, 1080, 5120, 1440, 3840, 1080},
        {"without hints: the video's own frame", 7680, 2160, 0, 0, 3840, 1080},
    };
    for (const size_case &c : cases) {
        SCOPED_TRACE(c.name);
        int32_t w = -1;
        int32_t h = -1;
        feed_fitted_frame_size(c.video_w, c.video_h, c.hint_w, c.hint_h, &w, &h);
        EXPECT_EQ(w, c.expected_w);
        EXPECT_EQ(h, c.expected_h);
    }
}

} // namespace
