// Lock-screen acknowledgements over arbitrary bytes. The input starts with
// the three slots' current sequences (8 bytes each, little-endian), then
// 40-byte messages as a lock screen would send them. Each message is read a
// second way here, byte by byte from the offsets of the wire format: the
// decoder must give the same fields, and an acknowledgement is accepted
// exactly when magic, version, type, slot index and that slot's sequence
// match, never otherwise.
#include "feed.h"
#include "fuzz_util.h"

#include <cstring>

namespace {

uint64_t read_le(const uint8_t *p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint64_t sequences[FEED_SLOT_COUNT] = {};
    for (size_t i = 0; i < FEED_SLOT_COUNT && size >= 8; i++, data += 8, size -= 8)
        sequences[i] = read_le(data, 8);

    for (; size >= FEED_MESSAGE_SIZE; data += FEED_MESSAGE_SIZE, size -= FEED_MESSAGE_SIZE) {
        feed_message msg;
        feed_message_decode(data, &msg);
        FUZZ_CHECK(memcmp(msg.magic, data, 4) == 0);
        FUZZ_CHECK(msg.version == read_le(data + 4, 4));
        FUZZ_CHECK(msg.type == read_le(data + 8, 4));
        FUZZ_CHECK(msg.slot == read_le(data + 12, 4));
        FUZZ_CHECK(msg.width == read_le(data + 16, 4));
        FUZZ_CHECK(msg.height == read_le(data + 20, 4));
        FUZZ_CHECK(msg.stride == read_le(data + 24, 4));
        FUZZ_CHECK(msg.reserved == read_le(data + 28, 4));
        FUZZ_CHECK(msg.sequence == read_le(data + 32, 8));

        uint64_t slot_index = read_le(data + 12, 4);
        bool valid = memcmp(data, "KIVF", 4) == 0 && read_le(data + 4, 4) == FEED_VERSION &&
                     read_le(data + 8, 4) == FEED_ACK && slot_index < FEED_SLOT_COUNT &&
                     read_le(data + 32, 8) == sequences[slot_index];
        int slot = feed_ack_slot(data, sequences);
        FUZZ_CHECK(slot == (valid ? static_cast<int>(slot_index) : -1));
    }
    return 0;
}
