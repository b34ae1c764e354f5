// Still decoding (target size, real FFmpeg decode on a worker) and the render
// command server's replies for a renderer without a compositor.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "ipc.h"
#include "log.h"
#include "render.h"
#include "render_ipc.h"
#include "still.h"

namespace {

struct size_case {
    const char *name;
    int width, height, limit_width, limit_height;
    int want_width, want_height;
};

TEST(StillTargetSize, Table) {
    const size_case cases[] = {
        {"reduced to cover 1920x1080", 4000, 3000, 1920, 1080, 1920, 1440},
        {"smaller than the box", 1000, 800, 1920, 1080, 1000, 800},
        {"wide: ratio clamped to 1", 3000, 500, 1920, 1080, 3000, 500},
        {"never below 1", 10000, 10000, 1, 1, 1, 1},
        {"zero limit: no scaling", 4000, 3000, 0, 1080, 4000, 3000},
        {"negative limit: no scaling", 4000, 3000, 1920, -1, 4000, 3000},
        {"exactly the box", 1920, 1080, 1920, 1080, 1920, 1080},
        {"portrait, ratio clamped", 1080, 1920, 1920, 1080, 1080, 1920},
        {"portrait, reduced", 2160, 3840, 1920, 1080, 1920, 3413},
    };
    for (const auto &c : cases) {
        int w = 0, h = 0;
        still_target_size(c.width, c.height, c.limit_width, c.limit_height, &w, &h);
        EXPECT_EQ(w, c.want_width) << c.name;
        EXPECT_EQ(h, c.want_height) << c.name;
    }
}

TEST(StillFadeAlpha, Table) {
    struct {
        const char *name;
        int64_t elapsed;
        int duration;
        bool fade_out;
        float want;
    } cases[] = {
        {"fade in start", 0, 250, false, 0.0f},  {"fade in middle", 125, 250, false, 0.5f},
        {"fade in done", 250, 250, false, 1.0f}, {"fade in long after", 10000, 250, false, 1.0f},
        {"fade out start", 0, 250, true, 1.0f},  {"fade out quarter", 50, 200, true, 0.75f},
        {"fade out done", 200, 200, true, 0.0f}, {"no fade in", 0, 0, false, 1.0f},
        {"no fade out", 0, 0, true, 0.0f},
    };
    for (const auto &c : cases)
        EXPECT_FLOAT_EQ(still_fade_alpha(c.elapsed, c.duration, c.fade_out), c.want) << c.name;
}

class StillDecode : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kiv-still-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    // Writes a binary PPM of the given RGB pixels and has ffmpeg turn it into
    // a PNG; returns the PNG's path.
    std::string make_png(int width, int height, const std::vector<uint8_t> &rgb) {
        std::string ppm = dir_ + "/in.ppm";
        std::string png = dir_ + "/in.png";
        FILE *f = fopen(ppm.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (!f)
            return png;
        fprintf(f, "P6\n%d %d\n255\n", width, height);
        fwrite(rgb.data(), 1, rgb.size(), f);
        fclose(f);
        std::string cmd = "ffmpeg -nostdin -loglevel error -y -i '" + ppm + "' '" + png + "'";
        EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
        return png;
    }

    std::string dir_;
};

// A 4x2 image with eight distinct colours, decoded exactly.
TEST_F(StillDecode, PngToRgba) {
    const std::vector<uint8_t> rgb = {
        255, 0, 0, 0,  255, 0,  0,  0,  255, 255, 255, 255, // top row
        0,   0, 0, 10, 20,  30, 40, 50, 60,  200, 100, 50,  // bottom row
    };
    std::string png = make_png(4, 2, rgb);
    still_pixels out{};
    ASSERT_EQ(still_decode_file(png.c_str(), 0, 0, nullptr, &out), 0);
    ASSERT_NE(out.pixels, nullptr);
    EXPECT_EQ(out.width, 4);
    EXPECT_EQ(out.height, 2);
    EXPECT_FALSE(out.reduced);
    for (int i = 0; i < 8; ++i) {
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_EQ(out.pixels[i * 4 + ch], rgb[static_cast<size_t>(i * 3 + ch)])
                << "pixel " << i << " channel " << ch;
        EXPECT_EQ(out.pixels[i * 4 + 3], 255) << "alpha of pixel " << i;
    }
    free(out.pixels);
}

// The limit box reduces the image while keeping it covered.
TEST_F(StillDecode, ScaledToLimits) {
    std::vector<uint8_t> rgb(64 * 36 * 3);
    for (size_t i = 0; i < rgb.size(); i += 3)
        rgb[i] = 200;
    std::string png = make_png(64, 36, rgb);
    still_pixels out{};
    ASSERT_EQ(still_decode_file(png.c_str(), 32, 9, nullptr, &out), 0);
    EXPECT_EQ(out.width, 32); // scale max(32/64, 9/36) = 0.5
    EXPECT_EQ(out.height, 18);
    EXPECT_TRUE(out.reduced);
    EXPECT_NEAR(out.pixels[(9 * 32 + 16) * 4], 200, 2);
    EXPECT_NEAR(out.pixels[(9 * 32 + 16) * 4 + 1], 0, 2);
    free(out.pixels);
}

TEST_F(StillDecode, CorruptAndMissingFilesFail) {
    std::string bad = dir_ + "/bad.png";
    FILE *f = fopen(bad.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("\x89PNG\r\n\x1a\nthis is not really an image", f);
    fclose(f);
    still_pixels out{};
    EXPECT_EQ(still_decode_file(bad.c_str(), 0, 0, nullptr, &out), -1);
    EXPECT_EQ(out.pixels, nullptr);
    std::string missing = dir_ + "/missing.png";
    EXPECT_EQ(still_decode_file(missing.c_str(), 0, 0, nullptr, &out), -1);
}

TEST_F(StillDecode, CancelledDecodeFails) {
    std::vector<uint8_t> rgb(8 * 8 * 3, 90);
    std::string png = make_png(8, 8, rgb);
    std::atomic<unsigned char> cancel{1};
    still_pixels out{};
    EXPECT_EQ(still_decode_file(png.c_str(), 0, 0, &cancel, &out), -1);
    EXPECT_EQ(out.pixels, nullptr);
}

// Waits for the worker's completion byte and collects; without GL state a
// good decode is shown at once (1) and a bad one reports -1.
int collect_when_done(still_image *image) {
    int fd = still_fd(image);
    if (fd < 0)
        return -2;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) != 1)
        return -3;
    return still_collect(image);
}

TEST_F(StillDecode, WorkerJobs) {
    std::vector<uint8_t> rgb(8 * 8 * 3, 90);
    std::string png = make_png(8, 8, rgb);
    still_image *image = still_create(nullptr);
    ASSERT_NE(image, nullptr);

    EXPECT_EQ(still_load(image, "", 0, 0), -1);
    EXPECT_FALSE(still_busy(image));

    ASSERT_EQ(still_load(image, png.c_str(), 100, 100), 0);
    EXPECT_TRUE(still_busy(image));
    EXPECT_EQ(collect_when_done(image), 1);
    // Drawn on the CPU: shown without an upload, scaled once per output size.
    EXPECT_FALSE(still_busy(image));
    EXPECT_TRUE(still_has_texture(image));
    EXPECT_STREQ(still_path(image), png.c_str());
    EXPECT_EQ(still_collect(image), 0);
    const uint8_t *picture = still_picture(image, 4, 2, PICTURE_FIT_COVER);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(still_picture(image, 4, 2, PICTURE_FIT_COVER), picture);
    EXPECT_EQ(picture[0], 90);
    EXPECT_EQ(picture[3], 255);
    // Another fit is another picture: the square contained in 4 x 2 leaves
    // a bar column on each side, in the bar colour (B, G, R, A).
    const picture_fit contain = {FIT_CONTAIN, 1.0f, 0.0f, 0.0f};
    const uint8_t *contained = still_picture(image, 4, 2, contain);
    ASSERT_NE(contained, nullptr);
    EXPECT_NE(contained, picture);
    const uint8_t bar[4] = {0, 0, 255, 255};
    EXPECT_EQ(memcmp(contained, bar, 4), 0);
    EXPECT_EQ(memcmp(contained + 12, bar, 4), 0);
    EXPECT_EQ(contained[4], 90);

    std::string missing = dir_ + "/missing.png";
    ASSERT_EQ(still_load(image, missing.c_str(), 100, 100), 0);
    EXPECT_EQ(collect_when_done(image), -1);
    EXPECT_FALSE(still_busy(image));
    // A failed load keeps the image shown before.
    EXPECT_STREQ(still_path(image), png.c_str());
    still_clear(image);
    EXPECT_FALSE(still_has_texture(image));
    EXPECT_EQ(still_picture(image, 4, 2, PICTURE_FIT_COVER), nullptr);

    // A cancelled job is collected silently.
    ASSERT_EQ(still_load(image, png.c_str(), 0, 0), 0);
    still_cancel(image);
    EXPECT_EQ(collect_when_done(image), 0);
    EXPECT_FALSE(still_busy(image));

    // Three loads while the first runs: the first is cancelled, the second
    // dropped, only the third (a missing file) is decoded and reported.
    ASSERT_EQ(still_load(image, png.c_str(), 0, 0), 0);
    ASSERT_EQ(still_load(image, png.c_str(), 0, 0), 0);
    ASSERT_EQ(still_load(image, missing.c_str(), 0, 0), 0);
    EXPECT_EQ(collect_when_done(image), 0); // the cancelled first job
    EXPECT_TRUE(still_busy(image));
    EXPECT_EQ(collect_when_done(image), -1);
    EXPECT_FALSE(still_busy(image));

    // Destroying with a worker running joins it.
    ASSERT_EQ(still_load(image, png.c_str(), 0, 0), 0);
    still_destroy(image);
}

// A renderer record without compositor, GL or player answers commands.
class RenderIpcFresh : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kiv-ripc-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        memset(&g_app, 0, sizeof g_app);
        g_app.fade_ms = 250;
        std::string path = dir_ + "/render.sock";
        ipc_ = render_ipc_create(path.c_str());
        ASSERT_NE(ipc_, nullptr);
        g_app.ipc = ipc_;
        client_ = ipc_connect(path.c_str());
        ASSERT_GE(client_, 0);
        for (int i = 0; i < 100 && slot_ == nullptr; ++i) {
            ipc_server_accept_all(&ipc_->server);
            for (auto &s : ipc_->server.slots)
                if (s.fd >= 0)
                    slot_ = &s;
            if (!slot_)
                usleep(10000);
        }
        ASSERT_NE(slot_, nullptr);
    }
    void TearDown() override {
        if (client_ >= 0)
            close(client_);
        render_ipc_free(ipc_);
        g_app.ipc = nullptr;
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::string request(const char *line) {
        std::string copy = line;
        render_ipc_handle_line(&ipc_->server, slot_, copy.data());
        char buf[4096] = "";
        if (ipc_recv_line(client_, buf, sizeof buf, 5000) < 0)
            return "<no reply>";
        return buf;
    }

    std::string dir_;
    render_ipc *ipc_ = nullptr;
    ipc_stream *slot_ = nullptr;
    int client_ = -1;
};

TEST_F(RenderIpcFresh, StatusObject) {
    unsetenv("KIV_DRM_DPMS");
    EXPECT_EQ(request("{\"cmd\":\"status\"}"),
              "{\"status\":\"ok\",\"path\":\"\",\"kind\":\"\",\"paused\":false,\"ready\":false,"
              "\"outputs\":0,\"max_width\":0,\"max_height\":0,\"has_video\":false,"
              "\"has_still\":false,\"time_pos\":-1.000,\"hwdec\":\"no\",\"error\":\"\","
              "\"skipped\":\"\",\"intro\":false,\"eof\":false,\"drm_dpms\":true,\"swaps\":0,"
              "\"swap_failures\":0,\"presenter\":\"gl\",\"output_list\":[]}");
}

TEST_F(RenderIpcFresh, Replies) {
    std::string file = dir_ + "/x.png";
    FILE *f = fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    std::string gif = "{\"cmd\":\"load\",\"kind\":\"gif\",\"path\":\"" + file + "\"}";
    std::string dir_load = "{\"cmd\":\"load\",\"kind\":\"still\",\"path\":\"" + dir_ + "\"}";
    std::string long_path =
        "{\"cmd\":\"load\",\"kind\":\"still\",\"path\":\"/" + std::string(1023, 'a') + "\"}";
    const std::string ok = "{\"status\":\"ok\"}";
    auto error = [](const char *m) {
        return std::string("{\"status\":\"error\",\"message\":\"") + m + "\"}";
    };
    const struct {
        std::string line, want;
    } cases[] = {
        {"{\"cmd\":\"hello\"}", "{\"status\":\"ok\",\"version\":1}"},
        {"{}", error("unknown cmd")},
        {"{\"cmd\":5}", error("unknown cmd")},
        {"{\"cmd\":\"dance\"}", error("unknown cmd")},
        {"[1,2]", error("bad json")},
        {"not json", error("bad json")},
        {"{\"cmd\":\"load\",\"kind\":\"still\",\"path\":\"rel/x.png\"}",
         error("Invalid local media path")},
        {"{\"cmd\":\"load\",\"path\":\"/nonexistent/x.png\"}", error("Invalid local media path")},
        {dir_load, error("Invalid local media path")},
        {long_path, error("Invalid local media path")},
        {gif, error("unknown kind")},
        {"{\"cmd\":\"fade\",\"ms\":0}", ok},
        {"{\"cmd\":\"fade\",\"ms\":2000}", ok},
        {"{\"cmd\":\"fade\",\"ms\":2001}", error("Fade must be an integer from 0 to 2000")},
        {"{\"cmd\":\"fade\",\"ms\":-1}", error("Fade must be an integer from 0 to 2000")},
        {"{\"cmd\":\"fade\",\"ms\":2.5}", error("Fade must be an integer from 0 to 2000")},
        {"{\"cmd\":\"fade\",\"ms\":\"300\"}", error("Fade must be an integer from 0 to 2000")},
        {"{\"cmd\":\"fade\"}", error("Fade must be an integer from 0 to 2000")},
        {"{\"cmd\":\"cancel-load\"}", ok},
        {"{\"cmd\":\"skip\",\"outputs\":[\"DP-1\",3,\"HDMI-A-1\"]}", ok},
        {"{\"cmd\":\"pause\"}", ok},
        {"{\"cmd\":\"resume\"}", ok},
        {"{\"cmd\":\"feed-stop\"}", ok},
        {"{\"cmd\":\"stop\"}", ok},
    };
    for (const auto &c : cases)
        EXPECT_EQ(request(c.line.c_str()), c.want) << c.line;
}

TEST_F(RenderIpcFresh, FadeAndPauseChangeTheRecord) {
    request("{\"cmd\":\"fade\",\"ms\":700}");
    EXPECT_EQ(g_app.fade_ms, 700);
    request("{\"cmd\":\"fade\",\"ms\":2001}");
    EXPECT_EQ(g_app.fade_ms, 700);
    request("{\"cmd\":\"pause\"}");
    EXPECT_TRUE(g_app.paused);
    EXPECT_NE(request("{\"cmd\":\"status\"}").find("\"paused\":true"), std::string::npos);
    request("{\"cmd\":\"resume\"}");
    EXPECT_FALSE(g_app.paused);
}

// The deferred reply of a synchronous still load: a decode failure and a
// deadline, settled by render_ipc_poll_still; without GL state a good
// decode is shown from memory.
TEST_F(RenderIpcFresh, PendingStillLoad) {
    g_app.still = still_create(nullptr);
    ASSERT_NE(g_app.still, nullptr);
    std::string bad = dir_ + "/bad.png";
    FILE *f = fopen(bad.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("not an image", f);
    fclose(f);
    std::string good = dir_ + "/good.png";
    std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i color=c=red:s=16x9 "
                      "-frames:v 1 '" +
                      good + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);

    auto send = [&](const std::string &line) {
        std::string copy = line;
        render_ipc_handle_line(&ipc_->server, slot_, copy.data());
    };
    // Runs the per-iteration still work until the deferred reply arrives.
    auto settle = [&]() {
        char buf[4096] = "";
        for (int i = 0; i < 3000 && buf[0] == '\0'; ++i) {
            render_ipc_poll_still(ipc_);
            pollfd p{client_, POLLIN, 0};
            if (poll(&p, 1, 10) == 1 && ipc_recv_line(client_, buf, sizeof buf, 5000) < 0)
                return std::string("<no reply>");
        }
        return std::string(buf);
    };
    auto load = [](const std::string &path) {
        return "{\"cmd\":\"load\",\"kind\":\"still\",\"path\":\"" + path + "\"}";
    };

    send(load(bad));
    EXPECT_EQ(settle(), "{\"status\":\"error\",\"message\":\"still load failed\"}");
    std::string status = request("{\"cmd\":\"status\"}");
    EXPECT_NE(status.find("\"ready\":false"), std::string::npos) << status;
    EXPECT_NE(status.find("\"error\":\"Still decode failed\""), std::string::npos) << status;

    send(load(good));
    EXPECT_NE(request("{\"cmd\":\"status\"}").find("\"error\":\"\""), std::string::npos);
    ASSERT_STREQ(ipc_->pending.path, good.c_str());
    ipc_->pending.deadline = now_ms() - 1;
    EXPECT_EQ(settle(), "{\"status\":\"error\",\"message\":\"Still decode timed out\"}");
    EXPECT_STREQ(ipc_->pending.path, "");
    EXPECT_EQ(ipc_->pending.client, -1);
    status = request("{\"cmd\":\"status\"}");
    EXPECT_NE(status.find("\"error\":\"Still decode timed out\""), std::string::npos) << status;

    // cancel-load leaves the error; stop empties it.
    request("{\"cmd\":\"cancel-load\"}");
    EXPECT_STREQ(ipc_->error, "Still decode timed out");
    request("{\"cmd\":\"stop\"}");
    EXPECT_STREQ(ipc_->error, "");
    send(load(good));
    EXPECT_EQ(settle(), "{\"status\":\"ok\"}");
    EXPECT_STREQ(g_app.kind, "still");

    still_destroy(g_app.still);
    g_app.still = nullptr;
}

} // namespace
