#include "repeats.h"

#include <cstdio>
#include <cstring>

namespace {

void close_entry(repeat_entry *e, repeat_write_fn write, void *ctx) {
    if (e->count > 0) {
        char line[REPEAT_TEXT_SIZE + 40];
        snprintf(line, sizeof line, "%s (repeated %u time%s)", e->text, e->count,
                 e->count == 1 ? "" : "s");
        write(ctx, e->level, line);
    }
    e->used = false;
    e->count = 0;
}

} // namespace

void repeat_flush(repeat_filter *f, int64_t now, repeat_write_fn write, void *ctx) {
    if (!f || !write)
        return;
    for (repeat_entry &e : f->entries)
        if (e.used && now - e.since >= REPEAT_WINDOW_MS)
            close_entry(&e, write, ctx);
}

void repeat_finish(repeat_filter *f, repeat_write_fn write, void *ctx) {
    if (!f || !write)
        return;
    for (repeat_entry &e : f->entries)
        if (e.used)
            close_entry(&e, write, ctx);
}

void repeat_offer(repeat_filter *f, int level, const char *text, int64_t now, repeat_write_fn write,
                  void *ctx) {
    if (!f || !text || !write)
        return;
    repeat_flush(f, now, write, ctx);
    // Texts too long for a slot are compared by what fits of them.
    char key[REPEAT_TEXT_SIZE];
    snprintf(key, sizeof key, "%s", text);
    repeat_entry *free_slot = nullptr;
    repeat_entry *oldest = nullptr;
    for (repeat_entry &e : f->entries) {
        if (!e.used) {
            if (!free_slot)
                free_slot = &e;
            continue;
        }
        if (e.level == level && strcmp(e.text, key) == 0) {
            e.count++;
            return;
        }
        if (!oldest || e.since < oldest->since)
            oldest = &e;
    }
    repeat_entry *slot = free_slot;
    if (!slot) {
        // More different messages than slots: the oldest window ends early.
        close_entry(oldest, write, ctx);
        slot = oldest;
    }
    write(ctx, level, text);
    memcpy(slot->text, key, sizeof key);
    slot->level = level;
    slot->since = now;
    slot->count = 0;
    slot->used = true;
}
