// KIV_HWDEC and KIV_MPV_OPTIONS parsing of the video player.
#include "mpv.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using pairs = std::vector<std::pair<std::string, std::string>>;

void collect(void *ctx, const char *name, const char *value) {
    static_cast<pairs *>(ctx)->emplace_back(name, value);
}

pairs parse(const char *text) {
    pairs out;
    EXPECT_EQ(video_parse_options(text, collect, &out), 0);
    return out;
}

struct options_case {
    const char *label;
    const char *text;
    pairs expected;
};

TEST(MpvOptions, SplitsPiecesAtFirstEquals) {
    const options_case cases[] = {
        {"unset", nullptr, {}},
        {"empty", "", {}},
        {"empty piece skipped", "hwdec=no;;mute=yes", {{"hwdec", "no"}, {"mute", "yes"}}},
        {"leading and trailing separators", ";;hwdec=no;", {{"hwdec", "no"}}},
        {"empty value", "loop-file=", {{"loop-file", ""}}},
        {"value containing equals", "a=b=c", {{"a", "b=c"}}},
        {"piece without equals ignored", "fullscreen;mute=yes", {{"mute", "yes"}}},
        {"only pieces without equals", "a;b;c", {}},
        {"empty name kept for the player to reject", "=x", {{"", "x"}}},
        {"order kept, later pieces win at the player",
         "vo=gpu;vo=libmpv",
         {{"vo", "gpu"}, {"vo", "libmpv"}}},
    };
    for (const options_case &c : cases) {
        EXPECT_EQ(parse(c.text), c.expected) << c.label;
    }
}

TEST(MpvOptions, HwdecFromEnvironment) {
    EXPECT_STREQ(video_hwdec_option(nullptr), "auto-safe");
    EXPECT_STREQ(video_hwdec_option(""), "auto-safe");
    EXPECT_STREQ(video_hwdec_option("vaapi"), "vaapi");
    EXPECT_STREQ(video_hwdec_option("no"), "no");
}

TEST(MpvOptions, AccessorsWithoutPlayer) {
    int32_t w = 7;
    int32_t h = 7;
    EXPECT_EQ(video_size(nullptr, &w, &h), -1);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_FALSE(video_has_media(nullptr));
    EXPECT_FALSE(video_ready(nullptr));
    EXPECT_STREQ(video_hwdec(nullptr), "no");
    EXPECT_EQ(video_time_pos(nullptr), -1);
    EXPECT_EQ(video_fd(nullptr), -1);
    EXPECT_EQ(video_load(nullptr, "/x"), -1);
}

// Failed hardware-decoding probes are expected on machines without that
// hardware; every other player message keeps its level.
TEST(MpvLog, HwdecProbeMessages) {
    struct log_case {
        const char *prefix;
        const char *text;
        bool probe;
    };
    const log_case cases[] = {
        {"ffmpeg", "AVHWDeviceContext: Cannot load libcuda.so.1\n", true},
        {"ffmpeg", "AVHWDeviceContext: Could not dynamically load CUDA\n", true},
        {"ffmpeg", "AVHWDeviceContext: Failed to initialise VAAPI connection: -1\n", true},
        {"ffmpeg/video",
         "h264: Failed setup for format vaapi: hwaccel initialisation returned error.\n", true},
        {"ffmpeg/demuxer", "mov,mp4,m4a,3gp,3g2,mj2: moov atom not found\n", false},
        {"ffmpeg/video", "h264: Invalid NAL unit size (1234 > 56).\n", false},
        {"cplayer", "Failed to recognize file format.\n", false},
        {"vd", "AVHWDeviceContext: from another module\n", false},
        {"ffmpeg", "", false},
        {nullptr, "AVHWDeviceContext: Cannot load libcuda.so.1", false},
        {"ffmpeg", nullptr, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(video_log_is_hwdec_probe(c.prefix, c.text), c.probe)
            << (c.prefix ? c.prefix : "(null)") << ": " << (c.text ? c.text : "(null)");
}

} // namespace
