// Pure parts of the renderer core: cover cropping, buffer sizes from integer
// and fractional scales, the output list kept by the registry handlers, the
// skip list, the choice of presenter and the CPU drawing of the shared-memory
// presenter.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "egl.h"
#include "pixels.h"
#include "render.h"
#include "wayland.h"

namespace {

struct crop_case {
    const char *name;
    int image_w, image_h, output_w, output_h;
    cover_crop expected;
};

TEST(CoverCrop, Table) {
    const crop_case cases[] = {
        {"landscape on ultrawide", 1920, 1080, 2560, 1080, {1.0f, 0.75f, 0.0f, 0.125f}},
        {"portrait on landscape", 1080, 1920, 1920, 1080, {1.0f, 0.31640625f, 0.0f, 0.341796875f}},
        {"wide on landscape", 3840, 1080, 1920, 1080, {0.5f, 1.0f, 0.25f, 0.0f}},
        {"same aspect", 3840, 2160, 1920, 1080, {1.0f, 1.0f, 0.0f, 0.0f}},
        {"zero image width", 0, 1080, 1920, 1080, {1.0f, 1.0f, 0.0f, 0.0f}},
        {"no output size yet", 1920, 1080, 0, 0, {1.0f, 1.0f, 0.0f, 0.0f}},
        {"negative size", 1920, -1, 1920, 1080, {1.0f, 1.0f, 0.0f, 0.0f}},
    };
    for (const crop_case &c : cases) {
        SCOPED_TRACE(c.name);
        cover_crop got = egl_cover_crop(c.image_w, c.image_h, c.output_w, c.output_h);
        EXPECT_FLOAT_EQ(got.scale_x, c.expected.scale_x);
        EXPECT_FLOAT_EQ(got.scale_y, c.expected.scale_y);
        EXPECT_FLOAT_EQ(got.offset_x, c.expected.offset_x);
        EXPECT_FLOAT_EQ(got.offset_y, c.expected.offset_y);
    }
}

struct fit_case {
    const char *name;
    int32_t fit;
    int image_w, image_h, output_w, output_h;
    cover_crop expected;
};

// The picture's place shows as scale = output / picture size and offset =
// -corner / picture size, per axis.
TEST(FitCrop, Table) {
    const fit_case cases[] = {
        {"cover is the cover crop", FIT_COVER, 1920, 1080, 2560, 1080, {1.0f, 0.75f, 0.0f, 0.125f}},
        {"stretch fills", FIT_STRETCH, 1080, 1920, 1920, 1080, {1.0f, 1.0f, 0.0f, 0.0f}},
        // 1440 x 1080 at x = 240: bars of 240 columns on both sides.
        {"contain 4:3 on 16:9",
         FIT_CONTAIN,
         640,
         480,
         1920,
         1080,
         {1.3333334f, 1.0f, -0.16666667f, 0.0f}},
        // 1920 x 540 at y = 270.
        {"contain wide on 16:9", FIT_CONTAIN, 640, 180, 1920, 1080, {1.0f, 2.0f, 0.0f, -0.5f}},
        // 666.67 rows round to 667, at y = 166.
        {"contain in whole pixels",
         FIT_CONTAIN,
         3,
         2,
         1000,
         1000,
         {1.0f, 1.4992504f, 0.0f, -0.24887556f}},
        {"center smaller", FIT_CENTER, 640, 180, 1920, 1080, {3.0f, 6.0f, -1.0f, -2.5f}},
        {"center larger: cut off", FIT_CENTER, 3840, 2160, 1920, 1080, {0.5f, 0.5f, 0.25f, 0.25f}},
        {"center odd difference",
         FIT_CENTER,
         101,
         100,
         1920,
         1080,
         {19.009901f, 10.8f, -9.0f, -4.9f}},
        {"no size yet", FIT_CONTAIN, 0, 0, 1920, 1080, {1.0f, 1.0f, 0.0f, 0.0f}},
    };
    for (const fit_case &c : cases) {
        SCOPED_TRACE(c.name);
        cover_crop got = egl_fit_crop(c.fit, c.image_w, c.image_h, c.output_w, c.output_h);
        EXPECT_FLOAT_EQ(got.scale_x, c.expected.scale_x);
        EXPECT_FLOAT_EQ(got.scale_y, c.expected.scale_y);
        EXPECT_FLOAT_EQ(got.offset_x, c.expected.offset_x);
        EXPECT_FLOAT_EQ(got.offset_y, c.expected.offset_y);
    }
}

TEST(Presenter, ChoiceFromEnvironment) {
    const struct {
        const char *value;
        presenter_choice expected;
    } cases[] = {
        {nullptr, PRESENTER_AUTO},  {"", PRESENTER_AUTO},     {"auto", PRESENTER_AUTO},
        {"gl", PRESENTER_GL},       {"shm", PRESENTER_SHM},   {"GL", PRESENTER_AUTO},
        {"vulkan", PRESENTER_AUTO}, {"shm ", PRESENTER_AUTO},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        EXPECT_EQ(render_presenter_choice(c.value), c.expected);
    }
}

TEST(Presenter, SoftwareRasterisers) {
    const struct {
        const char *renderer;
        bool software;
    } cases[] = {
        {"llvmpipe (LLVM 15.0.6, 256 bits)", true},
        {"softpipe", true},
        {"swrast", true},
        {"Software Rasterizer", true},
        {"Mesa Intel(R) UHD Graphics 620 (KBL GT2)", false},
        {"AMD Radeon RX 6600 (navi23, LLVM 15.0.6, DRM 3.49, 6.1.0-13-amd64)", false},
        {"NVIDIA GeForce GTX 1060/PCIe/SSE2", false},
        {"", false},
        {nullptr, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.renderer ? c.renderer : "(none)");
        EXPECT_EQ(egl_renderer_is_software(c.renderer), c.software);
    }
}

// The CPU crops what the GL shader samples: the uv rectangle in pixels.
TEST(Pixels, CoverRectMatchesTheShaderCrop) {
    const struct {
        const char *name;
        int w, h, tw, th;
        int x, y, cw, ch;
    } cases[] = {
        {"landscape on ultrawide", 1920, 1080, 2560, 1080, 0, 135, 1920, 810},
        {"wide on landscape", 3840, 1080, 1920, 1080, 960, 0, 1920, 1080},
        {"same aspect", 320, 180, 1920, 1080, 0, 0, 320, 180},
        {"four to one on 16:9", 320, 90, 1920, 1080, 80, 0, 160, 90},
        {"tiny on tall", 2, 1, 1, 1000, 0, 0, 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int x = -1, y = -1, cw = -1, ch = -1;
        pixels_cover_rect(c.w, c.h, c.tw, c.th, &x, &y, &cw, &ch);
        EXPECT_EQ(x, c.x);
        EXPECT_EQ(y, c.y);
        EXPECT_EQ(cw, c.cw);
        EXPECT_EQ(ch, c.ch);
    }
}

// The CPU places a picture where the shader's coordinates put it.
TEST(Pixels, FitPlaceMatchesTheShader) {
    const struct {
        const char *name;
        int32_t fit;
        int w, h, tw, th;
        pixels_place expected;
    } cases[] = {
        {"contain 4:3 on 16:9",
         FIT_CONTAIN,
         640,
         480,
         1920,
         1080,
         {0, 0, 640, 480, 240, 0, 1440, 1080}},
        {"contain wide on 16:9",
         FIT_CONTAIN,
         640,
         180,
         1920,
         1080,
         {0, 0, 640, 180, 0, 270, 1920, 540}},
        {"contain in whole pixels", FIT_CONTAIN, 3, 2, 1000, 1000, {0, 0, 3, 2, 0, 166, 1000, 667}},
        {"center smaller", FIT_CENTER, 640, 180, 1920, 1080, {0, 0, 640, 180, 640, 450, 640, 180}},
        {"center larger: cut off",
         FIT_CENTER,
         3840,
         2160,
         1920,
         1080,
         {960, 540, 1920, 1080, 0, 0, 1920, 1080}},
        {"center odd difference",
         FIT_CENTER,
         101,
         100,
         1920,
         1080,
         {0, 0, 101, 100, 909, 490, 101, 100}},
        {"center taller, wider output",
         FIT_CENTER,
         100,
         2000,
         1920,
         1080,
         {0, 460, 100, 1080, 910, 0, 100, 1080}},
        {"stretch fills",
         FIT_STRETCH,
         1080,
         1920,
         1920,
         1080,
         {0, 0, 1080, 1920, 0, 0, 1920, 1080}},
        {"cover crops", FIT_COVER, 3840, 1080, 1920, 1080, {960, 0, 1920, 1080, 0, 0, 1920, 1080}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pixels_place got{};
        ASSERT_TRUE(pixels_fit_place(c.fit, c.w, c.h, c.tw, c.th, &got));
        EXPECT_EQ(got.src_x, c.expected.src_x);
        EXPECT_EQ(got.src_y, c.expected.src_y);
        EXPECT_EQ(got.src_width, c.expected.src_width);
        EXPECT_EQ(got.src_height, c.expected.src_height);
        EXPECT_EQ(got.x, c.expected.x);
        EXPECT_EQ(got.y, c.expected.y);
        EXPECT_EQ(got.width, c.expected.width);
        EXPECT_EQ(got.height, c.expected.height);
    }
    pixels_place none{};
    EXPECT_FALSE(pixels_fit_place(FIT_CONTAIN, 0, 10, 100, 100, &none));
}

// Bars in the fit's colour around the picture, in the target's byte order.
TEST(Pixels, FitScaleDrawsTheBars) {
    // One opaque red pixel, contained in a 3 x 1 target: bar, red, bar.
    const uint8_t red[4] = {255, 0, 0, 255};
    const picture_fit fit = {FIT_CONTAIN, 0.0f, 0.5f, 1.0f};
    const struct {
        pixels_order order;
        uint8_t bar[4];
        uint8_t picture[4];
    } cases[] = {
        {PIXELS_BGRA, {255, 128, 0, 255}, {0, 0, 255, 255}},
        {PIXELS_RGBA, {0, 128, 255, 255}, {255, 0, 0, 255}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.order == PIXELS_BGRA ? "BGRA" : "RGBA");
        uint8_t target[12] = {};
        ASSERT_EQ(
            pixels_fit_scale(red, 1, 1, 4, PIXELS_RGBA, target, 3, 1, 12, c.order, fit, nullptr),
            0);
        EXPECT_EQ(memcmp(target, c.bar, 4), 0);
        EXPECT_EQ(memcmp(target + 4, c.picture, 4), 0);
        EXPECT_EQ(memcmp(target + 8, c.bar, 4), 0);
    }
}

TEST(Pixels, FadeBlendAndPremultiply) {
    // Pixels as B, G, R, A bytes.
    const struct {
        const char *name;
        uint8_t target[4];
        uint8_t picture[4];
        float alpha;
        bool blend;
        uint8_t expected[3];
    } cases[] = {
        {"fade at full strength copies",
         {9, 9, 9, 0},
         {10, 200, 255, 255},
         1.0f,
         false,
         {10, 200, 255}},
        {"fade halfway rises out of black",
         {9, 9, 9, 0},
         {0, 200, 255, 255},
         0.5f,
         false,
         {0, 100, 127}},
        {"fade at nothing is black", {9, 9, 9, 0}, {0, 200, 255, 255}, 0.0f, false, {0, 0, 0}},
        {"opaque blend at full strength covers",
         {50, 60, 70, 0},
         {255, 0, 255, 255},
         1.0f,
         true,
         {255, 0, 255}},
        {"opaque blend halfway mixes", {0, 200, 0, 0}, {200, 0, 0, 255}, 0.5f, true, {100, 100, 0}},
        {"blend at nothing keeps the target",
         {50, 60, 70, 0},
         {255, 0, 255, 255},
         0.0f,
         true,
         {50, 60, 70}},
        {"half-transparent picture lets half through",
         {0, 0, 200, 0},
         {64, 64, 64, 128},
         1.0f,
         true,
         {64, 64, 163}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t target[4];
        memcpy(target, c.target, 4);
        if (c.blend) {
            pixels_blend(target, 4, c.picture, 4, 1, 1, c.alpha);
        } else {
            pixels_fade(target, 4, c.picture, 4, 1, 1, c.alpha);
        }
        for (int i = 0; i < 3; i++) {
            EXPECT_NEAR(target[i], c.expected[i], 1) << "byte " << i;
        }
    }
    uint8_t half_white[8] = {255, 255, 255, 128, 255, 0, 0, 0};
    pixels_premultiply(half_white, 2);
    const uint8_t expected[8] = {128, 128, 128, 128, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(half_white, expected, 8), 0);
}

TEST(Pixels, CoverScaleCutsTheOverflowEvenly) {
    // Red, green and blue columns of a 3 x 1 image on a 1 x 1 target: the
    // middle one covers it. On a 6 x 2 target of the same aspect all three
    // show, in order.
    const uint8_t rgba[12] = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255};
    uint8_t one[4] = {};
    ASSERT_EQ(pixels_cover_scale(rgba, 3, 1, one, 1, 1, 4), 0);
    EXPECT_EQ(one[0], 0);
    EXPECT_EQ(one[1], 255);
    EXPECT_EQ(one[2], 0);
    uint8_t wide[12 * 4] = {};
    ASSERT_EQ(pixels_cover_scale(rgba, 3, 1, wide, 6, 2, 24), 0);
    for (int row = 0; row < 2; row++) {
        const uint8_t *p = wide + row * 24;
        EXPECT_GT(p[2], 200);      // red on the left, as B, G, R
        EXPECT_GT(p[8 + 1], 100);  // green in the middle
        EXPECT_GT(p[20 + 0], 200); // blue on the right
        EXPECT_LT(p[20 + 2], 50);
    }
    EXPECT_EQ(pixels_cover_scale(rgba, 0, 1, one, 1, 1, 4), -1);
}

// A stand-in for a fractional scale object: only its presence is looked at.
wp_fractional_scale_v1 *fake_fractional_scale() {
    static char storage;
    return reinterpret_cast<wp_fractional_scale_v1 *>(&storage);
}

struct size_case {
    const char *name;
    int32_t logical_w, logical_h, scale, preferred;
    bool fractional;
    int32_t expected_w, expected_h;
};

TEST(OutputBufferSize, Table) {
    const size_case cases[] = {
        {"fractional 1.5", 2560, 1440, 1, 180, true, 3840, 2160},
        {"fractional 1.25 rounds up", 1366, 768, 1, 150, true, 1708, 960},
        {"fractional 1.2 rounds up odd", 1001, 7, 1, 144, true, 1202, 9},
        {"fractional object without preferred scale uses integer", 1920, 1080, 2, 0, true, 3840,
         2160},
        {"preferred scale without object is ignored", 1920, 1080, 1, 180, false, 1920, 1080},
        {"integer 1", 1920, 1080, 1, 0, false, 1920, 1080},
        {"integer 2", 1920, 1080, 2, 0, false, 3840, 2160},
        {"integer 3", 1280, 720, 3, 0, false, 3840, 2160},
        {"scale 0 counts as 1", 1920, 1080, 0, 0, false, 1920, 1080},
        {"before the first configure", 0, 0, 2, 0, false, 0, 0},
        {"negative logical height", 1920, -5, 1, 0, false, 1920, 0},
    };
    for (const size_case &c : cases) {
        SCOPED_TRACE(c.name);
        output_state output = {};
        output.logical_width = c.logical_w;
        output.logical_height = c.logical_h;
        output.scale = c.scale;
        output.preferred_scale = c.preferred;
        output.fractional_scale = c.fractional ? fake_fractional_scale() : nullptr;
        int32_t w = -1;
        int32_t h = -1;
        output_buffer_size(&output, &w, &h);
        EXPECT_EQ(w, c.expected_w);
        EXPECT_EQ(h, c.expected_h);
    }
}

// An output record as the registry would hold it, without protocol objects.
output_state *add_output(wayland_context *ctx, uint32_t registry_name, const char *name,
                         int32_t width, int32_t height) {
    auto *output = static_cast<output_state *>(calloc(1, sizeof(output_state)));
    output->wayland = ctx;
    output->registry_name = registry_name;
    output->scale = 1;
    output->frame_ready = true;
    output->configured = true;
    output->logical_width = width;
    output->logical_height = height;
    snprintf(output->name, sizeof output->name, "%s", name);
    output->next = ctx->outputs;
    ctx->outputs = output;
    ctx->output_count++;
    return output;
}

class OutputList : public ::testing::Test {
  protected:
    wayland_context ctx = {};

    void SetUp() override {
        g_app.wayland = &ctx;
    }
    void TearDown() override {
        wayland_destroy_outputs(&ctx);
        g_app.wayland = nullptr;
    }

    std::string names() {
        std::string s;
        for (output_state *o = ctx.outputs; o; o = o->next) {
            s += (s.empty() ? "" : ",") + std::string(o->name);
        }
        return s;
    }
};

TEST_F(OutputList, GlobalRemoveDestroysTheMatchingOutput) {
    add_output(&ctx, 10, "DP-1", 1920, 1080);
    add_output(&ctx, 11, "HDMI-A-1", 2560, 1440);
    add_output(&ctx, 12, "DP-2", 1280, 1024);
    ASSERT_EQ(names(), "DP-2,HDMI-A-1,DP-1");

    wayland_handle_global_remove(&ctx, 11);
    EXPECT_EQ(names(), "DP-2,DP-1");
    EXPECT_EQ(wayland_output_count(&ctx), 2u);

    wayland_handle_global_remove(&ctx, 99); // unknown name: nothing happens
    EXPECT_EQ(wayland_output_count(&ctx), 2u);

    wayland_handle_global_remove(&ctx, 10);
    wayland_handle_global_remove(&ctx, 12);
    EXPECT_EQ(names(), "");
    EXPECT_EQ(wayland_output_count(&ctx), 0u);
    EXPECT_EQ(wayland_output_count(nullptr), 0u);
}

TEST_F(OutputList, OutputsAnnouncedBeforeReadyWaitInThePendingList) {
    wayland_handle_global(&ctx, 5, "wl_output", 3);
    wayland_handle_global(&ctx, 6, "wl_output", 7);
    wayland_handle_global(&ctx, 8, "some_other_global", 1);
    ASSERT_NE(ctx.pending_outputs, nullptr);
    EXPECT_EQ(ctx.pending_outputs->registry_name, 6u);
    EXPECT_EQ(ctx.pending_outputs->version, 4u); // capped
    ASSERT_NE(ctx.pending_outputs->next, nullptr);
    EXPECT_EQ(ctx.pending_outputs->next->registry_name, 5u);
    EXPECT_EQ(ctx.pending_outputs->next->version, 3u);
    EXPECT_EQ(ctx.pending_outputs->next->next, nullptr);
    EXPECT_EQ(wayland_output_count(&ctx), 0u);

    // A global removed before the first roundtrip finished is only forgotten.
    add_output(&ctx, 6, "unrelated", 1, 1); // same name must survive: pending wins
    wayland_handle_global_remove(&ctx, 6);
    ASSERT_NE(ctx.pending_outputs, nullptr);
    EXPECT_EQ(ctx.pending_outputs->registry_name, 5u);
    EXPECT_EQ(ctx.pending_outputs->next, nullptr);
    EXPECT_EQ(wayland_output_count(&ctx), 1u);
}

TEST_F(OutputList, MaxBufferSizeTakesEachDimensionSeparately) {
    int32_t w = -1;
    int32_t h = -1;
    wayland_max_buffer_size(&ctx, &w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    add_output(&ctx, 1, "DP-1", 3840, 1080);
    add_output(&ctx, 2, "DP-2", 2560, 1600);
    wayland_max_buffer_size(&ctx, &w, &h);
    EXPECT_EQ(w, 3840);
    EXPECT_EQ(h, 1600);
    add_output(&ctx, 3, "DP-3", 1000, 1000)->scale = 2;
    wayland_max_buffer_size(&ctx, &w, &h);
    EXPECT_EQ(w, 3840);
    EXPECT_EQ(h, 2000);
}

TEST_F(OutputList, SkipSetsAndClearsFlags) {
    output_state *dp1 = add_output(&ctx, 1, "DP-1", 1920, 1080);
    output_state *hdmi = add_output(&ctx, 2, "HDMI-A-1", 1920, 1080);
    output_state *dp10 = add_output(&ctx, 3, "DP-10", 1920, 1080);
    char list[1024];

    struct step {
        const char *name;
        const char *skip;
        bool dp1, hdmi, dp10; // skipped afterwards
        bool redraw;          // every output marked dirty (all start clean)
        const char *reported;
    };
    const step steps[] = {
        {"two named", "DP-1,HDMI-A-1", true, true, false, true, "HDMI-A-1,DP-1"},
        {"same again changes nothing", "HDMI-A-1,DP-1", true, true, false, false, "HDMI-A-1,DP-1"},
        {"a prefix does not match", "DP", false, false, false, true, ""},
        {"unknown output changes nothing", "eDP-9", false, false, false, false, ""},
        {"empty items match nothing", ",,DP-10,", false, false, true, true, "DP-10"},
        {"empty list draws all again", "", false, false, false, true, ""},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.name);
        for (output_state *o = ctx.outputs; o; o = o->next) {
            o->dirty = false;
        }
        wayland_set_skipped(&ctx, s.skip);
        EXPECT_EQ(dp1->skipped, s.dp1);
        EXPECT_EQ(hdmi->skipped, s.hdmi);
        EXPECT_EQ(dp10->skipped, s.dp10);
        EXPECT_EQ(dp1->dirty, s.redraw);
        EXPECT_EQ(dp10->dirty, s.redraw);
        wayland_skipped_list(&ctx, list, sizeof list);
        EXPECT_STREQ(list, s.reported);
    }
}

TEST_F(OutputList, SkippedListReportsPoweredOffOutputsAndIsCut) {
    add_output(&ctx, 1, "DP-1", 1920, 1080)->dpms_off = true;
    add_output(&ctx, 2, "HDMI-A-1", 1920, 1080)->skipped = true;
    char list[1024];
    wayland_skipped_list(&ctx, list, sizeof list);
    EXPECT_STREQ(list, "HDMI-A-1,DP-1");
    char small[6];
    wayland_skipped_list(&ctx, small, sizeof small);
    EXPECT_STREQ(small, "HDMI-");
}

// When the loop may not sleep until something else wakes it: an output owes
// a frame that only another pass can give it.
TEST_F(OutputList, RenderWaitsWhileAnOutputOwesAFrame) {
    struct owed_case {
        const char *name;
        bool dirty, frame_ready, skipped, dpms_off, has_surface;
        bool waiting;
    };
    const owed_case cases[] = {
        {"drawn: nothing owed", false, true, false, false, true, false},
        {"its swap failed", true, true, false, false, true, true},
        {"the compositor's frame event is due", true, false, false, false, true, false},
        {"skipped", true, true, true, false, true, false},
        {"monitor off with a frame to draw", true, true, false, true, true, true},
        {"not attached (no EGL surface): never drawn", true, true, false, false, false, false},
    };
    static char surface;
    add_output(&ctx, 1, "DP-1", 1920, 1080);
    output_state *output = add_output(&ctx, 2, "DP-2", 1920, 1080);
    for (const owed_case &c : cases) {
        SCOPED_TRACE(c.name);
        output->dirty = c.dirty;
        output->frame_ready = c.frame_ready;
        output->skipped = c.skipped;
        output->dpms_off = c.dpms_off;
        output->egl_surface = c.has_surface ? static_cast<EGLSurface>(&surface) : EGL_NO_SURFACE;
        output->attached = c.has_surface;
        EXPECT_EQ(render_waiting(), c.waiting);
    }
    output->egl_surface = EGL_NO_SURFACE;
    output->attached = false;
}

} // namespace
