// Lock-screen acknowledgements over arbitrary bytes. The input starts with
// the three slots' current sequences (8 bytes each, little-endian), then
// 40-byte messages as a lock screen would send them. An acknowledgement is
// accepted only for a real slot and exactly that slot's sequence, and every
// message decodes and encodes back to the same bytes.
#include "feed.h"
#include "fuzz_util.h"

#include <cstring>

namespace {

uint64_t read_le64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint64_t sequences[FEED_SLOT_COUNT] = {};
    for (size_t i = 0; i < FEED_SLOT_COUNT && size >= 8; i++, data += 8, size -= 8)
        sequences[i] = read_le64(data);

    for (; size >= FEED_MESSAGE_SIZE; data += FEED_MESSAGE_SIZE, size -= FEED_MESSAGE_SIZE) {
        feed_message msg;
        feed_message_decode(data, &msg);
        uint8_t again[FEED_MESSAGE_SIZE];
        feed_message_encode(&msg, again);
        FUZZ_CHECK(memcmp(again, data, FEED_MESSAGE_SIZE) == 0);

        int slot = feed_ack_slot(data, sequences);
        FUZZ_CHECK(slot >= -1 && slot < FEED_SLOT_COUNT);
        if (slot >= 0) {
            FUZZ_CHECK(msg.type == FEED_ACK && msg.slot == static_cast<uint32_t>(slot));
            FUZZ_CHECK(msg.sequence == sequences[slot]);
        }
    }
    return 0;
}
