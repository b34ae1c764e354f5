// Repeated player messages: written once a minute at most, with how often
// they came, on a clock the test turns by hand.
#include "repeats.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct written {
    std::vector<std::string> lines;
};

void collect(void *ctx, int level, const char *line) {
    static_cast<written *>(ctx)->lines.push_back(std::to_string(level) + " " + line);
}

// One step: a message offered at a time, or (text null) the loop's tick.
struct step {
    int64_t at;
    const char *text;
    int level;
};

std::vector<std::string> play(const std::vector<step> &steps, bool finish) {
    repeat_filter f{};
    written out;
    for (const step &s : steps) {
        if (s.text)
            repeat_offer(&f, s.level, s.text, s.at, collect, &out);
        else
            repeat_flush(&f, s.at, collect, &out);
    }
    if (finish)
        repeat_finish(&f, collect, &out);
    return out.lines;
}

const char AC3[] = "mpv ffmpeg/audio: ac3: incomplete frame";
const char PTS[] = "mpv cplayer: No video PTS! Making something up.";

TEST(Repeats, OncePerMinuteWithTheCount) {
    const struct {
        const char *name;
        std::vector<step> steps;
        bool finish;
        std::vector<std::string> want;
    } cases[] = {
        {"a single message is written as it comes",
         {{0, AC3, 2}},
         false,
         {"2 " + std::string(AC3)}},
        {"repeats within the minute are counted, told when it is over",
         {{0, AC3, 2}, {1000, AC3, 2}, {2000, AC3, 2}, {59999, nullptr, 0}, {60000, nullptr, 0}},
         false,
         {"2 " + std::string(AC3), "2 " + std::string(AC3) + " (repeated 2 times)"}},
        {"two messages taking turns each keep their own count",
         {{0, AC3, 2},
          {10, PTS, 3},
          {5000, AC3, 2},
          {5010, PTS, 3},
          {6000, AC3, 2},
          {61000, nullptr, 0}},
         false,
         {"2 " + std::string(AC3), "3 " + std::string(PTS),
          "2 " + std::string(AC3) + " (repeated 2 times)",
          "3 " + std::string(PTS) + " (repeated 1 time)"}},
        {"after the minute the message is written in full again",
         {{0, AC3, 2}, {30000, AC3, 2}, {60500, AC3, 2}, {61000, AC3, 2}},
         false,
         {"2 " + std::string(AC3), "2 " + std::string(AC3) + " (repeated 1 time)",
          "2 " + std::string(AC3)}},
        {"a message not repeated leaves nothing to tell",
         {{0, AC3, 2}, {70000, nullptr, 0}, {70001, AC3, 2}},
         false,
         {"2 " + std::string(AC3), "2 " + std::string(AC3)}},
        {"the same text at another level is another message",
         {{0, AC3, 2}, {1, AC3, 3}},
         false,
         {"2 " + std::string(AC3), "3 " + std::string(AC3)}},
        {"the end of playback tells what was counted",
         {{0, AC3, 2}, {100, AC3, 2}},
         true,
         {"2 " + std::string(AC3), "2 " + std::string(AC3) + " (repeated 1 time)"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(play(c.steps, c.finish), c.want);
    }
}

TEST(Repeats, MoreMessagesThanSlotsEndTheOldestWindow) {
    repeat_filter f{};
    written out;
    std::vector<std::string> texts;
    for (int i = 0; i <= REPEAT_SLOTS; i++)
        texts.push_back("mpv ffmpeg: message " + std::to_string(i));
    repeat_offer(&f, 2, texts[0].c_str(), 0, collect, &out);
    repeat_offer(&f, 2, texts[0].c_str(), 1, collect, &out);
    for (int i = 1; i <= REPEAT_SLOTS; i++)
        repeat_offer(&f, 2, texts[i].c_str(), 10 + i, collect, &out);
    // The first window closed early to make room, with its count.
    ASSERT_EQ(out.lines.size(), static_cast<size_t>(REPEAT_SLOTS) + 2);
    EXPECT_EQ(out.lines[REPEAT_SLOTS], "2 " + texts[0] + " (repeated 1 time)");
    EXPECT_EQ(out.lines.back(), "2 " + texts[REPEAT_SLOTS]);
    // The newer ones are still remembered.
    repeat_offer(&f, 2, texts[1].c_str(), 100, collect, &out);
    EXPECT_EQ(out.lines.size(), static_cast<size_t>(REPEAT_SLOTS) + 2);
}

} // namespace
