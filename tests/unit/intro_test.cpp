// How a playing intro is judged: which end wins when several apply, and what
// a renderer status reply says about it.
#include <gtest/gtest.h>

#include "intro.h"

namespace {

struct interruption_case {
    const char *name;
    intro_signals signals;
    const char *reason; // null: ask the renderer
};

TEST(IntroInterruption, FirstApplicableEndWins) {
    const interruption_case cases[] = {
        {"nothing", {}, nullptr},
        {"renderer gone beats everything",
         {true, true, true, true, true, true},
         "renderer stopped"},
        {"timeout beats interruptions", {false, true, true, false, false, true}, "intro timed out"},
        {"session locked", {false, false, true, false, false, false}, "intro interrupted"},
        {"lock screen", {false, false, false, true, false, false}, "intro interrupted"},
        {"sleep", {false, false, false, false, true, false}, "intro interrupted"},
        {"fullscreen window", {false, false, false, false, false, true}, "intro interrupted"},
    };
    for (const auto &c : cases) {
        const char *reason = intro_interruption(&c.signals);
        if (c.reason)
            EXPECT_STREQ(reason, c.reason) << c.name;
        else
            EXPECT_EQ(reason, nullptr) << c.name;
    }
}

struct progress_case {
    const char *name;
    const char *reply;
    intro_progress progress;
};

TEST(IntroStatusProgress, Table) {
    const progress_case cases[] = {
        {"playing", R"({"status":"ok","intro":true,"error":"","eof":false})", INTRO_PLAYING},
        {"played to its end", R"({"status":"ok","intro":true,"error":"","eof":true})",
         INTRO_FINISHED},
        {"decode error", R"({"status":"ok","error":"unrecognized file format","eof":false})",
         INTRO_DECODE_FAILED},
        {"error beats end", R"({"status":"ok","error":"x","eof":true})", INTRO_DECODE_FAILED},
        {"refused status waits", R"({"status":"error","error":"x","eof":true})", INTRO_PLAYING},
        {"eof as text waits", R"({"status":"ok","eof":"true"})", INTRO_PLAYING},
        {"not json waits", "eof", INTRO_PLAYING},
    };
    for (const auto &c : cases)
        EXPECT_EQ(intro_status_progress(c.reply), c.progress) << c.name;
}

} // namespace
