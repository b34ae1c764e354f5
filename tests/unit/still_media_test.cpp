// Still decoding of real wallpapers: files derived at run time from Debian's
// wallpaper packages with ffmpeg, exiftool and avifenc, decoded by
// still_decode_file and compared with FFmpeg's own rendering of the picture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "orientation.h"
#include "still.h"

namespace {

// A photograph-like wallpaper of gnome-backgrounds and an SVG of desktop-base.
constexpr const char *kWallpaper = "/usr/share/backgrounds/gnome/wood-d.webp";
constexpr const char *kSvgWallpaper =
    "/usr/share/desktop-base/emerald-theme/wallpaper/contents/images/1920x1080.svg";
constexpr int kWidth = 320;
constexpr int kHeight = 180;

struct rgb_picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

class StillMedia : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/kiv-still-media-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(access(kWallpaper, R_OK), 0) << kWallpaper << " (gnome-backgrounds) is missing";
        ASSERT_EQ(access(kSvgWallpaper, R_OK), 0) << kSvgWallpaper << " (desktop-base) is missing";
        // The upright picture every derived file must show: a 16:9 cut of the
        // wallpaper, small enough to compare quickly.
        ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -i '" + std::string(kWallpaper) +
                        "' -vf 'crop=iw:iw*9/16,scale=" + std::to_string(kWidth) + ":" +
                        std::to_string(kHeight) + "' '" + path("upright.png") + "'"));
    }
    static void TearDownTestSuite() {
        run("rm -rf '" + dir_ + "'");
    }

    static bool run(const std::string &cmd) {
        int rc = system(cmd.c_str());
        EXPECT_EQ(rc, 0) << cmd;
        return rc == 0;
    }
    static std::string path(const std::string &name) {
        return dir_ + "/" + name;
    }

    // FFmpeg's rendering of a file as packed RGB.
    static rgb_picture ffmpeg_rgb(const std::string &file) {
        rgb_picture pic;
        std::string out = path("reference.ppm");
        if (!run("ffmpeg -nostdin -v error -y -i '" + file + "' -frames:v 1 '" + out + "'"))
            return pic;
        FILE *f = fopen(out.c_str(), "rb");
        if (!f)
            return pic;
        int maxval = 0;
        if (fscanf(f, "P6 %d %d %d", &pic.width, &pic.height, &maxval) == 3 && maxval == 255) {
            fgetc(f);
            pic.rgb.resize(static_cast<size_t>(pic.width) * pic.height * 3);
            if (fread(pic.rgb.data(), 1, pic.rgb.size(), f) != pic.rgb.size())
                pic.rgb.clear();
        }
        fclose(f);
        return pic;
    }

    // Mean absolute difference per channel between a decoded picture and a
    // reference of the same size; -1 when the sizes differ.
    static double mean_difference(const still_pixels &got, const rgb_picture &want) {
        if (got.width != want.width || got.height != want.height || want.rgb.empty())
            return -1;
        double sum = 0;
        size_t n = static_cast<size_t>(got.width) * got.height;
        for (size_t i = 0; i < n; i++)
            for (int c = 0; c < 3; c++)
                sum += std::abs(got.pixels[i * 4 + c] - want.rgb[i * 3 + c]);
        return sum / (n * 3.0);
    }

    static std::string dir_;
};

std::string StillMedia::dir_;

struct orientation_case {
    int orientation;
    // What turns the upright picture into the stored one, which the tag then
    // undoes.
    const char *stored;
};

const orientation_case kOrientations[] = {
    {1, "null"},        {2, "hflip"},       {3, "hflip,vflip"}, {4, "vflip"},
    {5, "transpose=0"}, {6, "transpose=2"}, {7, "transpose=3"}, {8, "transpose=1"},
};

// Phone photographs are stored sideways or mirrored with an EXIF tag saying
// how to show them; every format that carries the tag is shown upright.
TEST_F(StillMedia, ExifOrientationOfEveryStillFormat) {
    rgb_picture upright = ffmpeg_rgb(path("upright.png"));
    // Each format at its encoder's best quality, so that only the orientation
    // can make a difference.
    const std::pair<const char *, const char *> formats[] = {
        {"jpg", "-q:v 2"}, {"png", ""}, {"webp", "-lossless 1"}, {"tiff", ""}};
    for (const auto &[format, quality] : formats) {
        for (const orientation_case &c : kOrientations) {
            std::string file = path("tagged-" + std::to_string(c.orientation) + "." + format);
            ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -i '" + path("upright.png") + "' -vf " +
                            c.stored + " " + quality + " '" + file + "'"));
            ASSERT_TRUE(run("exiftool -q -q -overwrite_original -n -Orientation=" +
                            std::to_string(c.orientation) + " '" + file + "'"));
            still_pixels out{};
            ASSERT_EQ(still_decode_file(file.c_str(), 0, 0, nullptr, &out), 0) << file;
            double diff = mean_difference(out, upright);
            EXPECT_GE(diff, 0) << file << " decoded as " << out.width << "x" << out.height;
            EXPECT_LT(diff, 4.0) << file;
            free(out.pixels);
        }
    }
}

struct heif_case {
    const char *name;
    const char *stored;     // ffmpeg filter making the stored picture
    const char *properties; // avifenc options undoing it
};

// AVIF (like HEIF) says how to turn the picture with its irot and imir
// properties: rotation anticlockwise first, then mirroring.
TEST_F(StillMedia, AvifRotationAndMirroring) {
    const heif_case cases[] = {
        {"turned 90", "transpose=1", "--irot 1"},
        {"turned 180", "hflip,vflip", "--irot 2"},
        {"turned 270", "transpose=2", "--irot 3"},
        {"mirrored top to bottom", "vflip", "--imir 0"},
        {"mirrored left to right", "hflip", "--imir 1"},
        {"turned and mirrored", "vflip,transpose=1", "--irot 1 --imir 0"},
    };
    rgb_picture upright = ffmpeg_rgb(path("upright.png"));
    for (const heif_case &c : cases) {
        std::string stored = path("stored.png");
        std::string file = path("oriented.avif");
        ASSERT_TRUE(run("ffmpeg -nostdin -v error -y -i '" + path("upright.png") + "' -vf " +
                        c.stored + " '" + stored + "'"));
        ASSERT_TRUE(run(std::string("avifenc ") + c.properties + " -y 444 '" + stored + "' '" +
                        file + "' > /dev/null"));
        still_pixels out{};
        ASSERT_EQ(still_decode_file(file.c_str(), 0, 0, nullptr, &out), 0) << c.name;
        double diff = mean_difference(out, upright);
        EXPECT_GE(diff, 0) << c.name << ": " << out.width << "x" << out.height;
        EXPECT_LT(diff, 4.0) << c.name;
        free(out.pixels);
    }
}

// Pictures are converted with their own colour range and matrix: full-range
// 4:4:4 AVIF shows the same levels as the original, not crushed shadows.
TEST_F(StillMedia, ColourRangeAndMatrixOfTheFrame) {
    struct colour_case {
        const char *name;
        const char *file;
        bool avifenc;        // made by avifenc, else by ffmpeg
        const char *options; // the tool's options for the output
    };
    const colour_case cases[] = {
        {"AVIF full range 4:4:4", "full444.avif", true, "-y 444 -r full"},
        {"AVIF limited range BT.709 4:2:0", "limited709.avif", true,
         "-y 420 -r limited --cicp 1/13/1"},
        {"AVIF full range BT.2020 4:4:4", "full2020.avif", true, "-y 444 -r full --cicp 9/13/9"},
        {"JPEG", "photo.jpg", false, "-q:v 2"},
        {"H.264 limited range BT.709 as a still", "clip.mp4", false,
         "-vf scale=out_color_matrix=bt709:out_range=tv -c:v libx264 -crf 10 -pix_fmt yuv420p "
         "-colorspace bt709 -color_range tv"},
    };
    rgb_picture upright = ffmpeg_rgb(path("upright.png"));
    for (const colour_case &c : cases) {
        std::string file = path(c.file);
        std::string in = "'" + path("upright.png") + "' ";
        ASSERT_TRUE(
            run(c.avifenc
                    ? "avifenc " + std::string(c.options) + " " + in + "'" + file + "' > /dev/null"
                    : "ffmpeg -nostdin -v error -y -i " + in + c.options + " '" + file + "'"));
        still_pixels out{};
        ASSERT_EQ(still_decode_file(file.c_str(), 0, 0, nullptr, &out), 0) << c.name;
        // As FFmpeg itself renders the file, and as the original looks.
        double to_ffmpeg = mean_difference(out, ffmpeg_rgb(file));
        double to_original = mean_difference(out, upright);
        EXPECT_GE(to_ffmpeg, 0) << c.name;
        EXPECT_LT(to_ffmpeg, 2.0) << c.name;
        EXPECT_LT(to_original, 4.0) << c.name;
        free(out.pixels);
    }
}

// An SVG is drawn for the outputs' size, sharp at any scale, not at its
// nominal size and then scaled.
TEST_F(StillMedia, SvgIsDrawnToCoverTheLimits) {
    struct svg_case {
        int limit_width, limit_height;
        int min_width, min_height;
    };
    // Debian's 1920x1080 emerald wallpaper, 16:9.
    const svg_case cases[] = {
        {3840, 2160, 3840, 2160},
        {1280, 1024, 1820, 1024},
        {1080, 1920, 3413, 1920},
    };
    for (const svg_case &c : cases) {
        still_pixels out{};
        ASSERT_EQ(still_decode_file(kSvgWallpaper, c.limit_width, c.limit_height, nullptr, &out),
                  0);
        EXPECT_GE(out.width, c.min_width) << c.limit_width << "x" << c.limit_height;
        EXPECT_GE(out.height, c.min_height) << c.limit_width << "x" << c.limit_height;
        // Covering, with not more than a few pixels to spare.
        EXPECT_LE(out.width, c.min_width + 12) << c.limit_width << "x" << c.limit_height;
        EXPECT_LE(out.height, c.min_height + 12) << c.limit_width << "x" << c.limit_height;
        EXPECT_TRUE(out.reduced);
        free(out.pixels);
    }
}

TEST(Orientation, TiffDirectoryTable) {
    struct tiff_case {
        const char *name;
        std::vector<uint8_t> data;
        int want;
    };
    // Header, one directory of one entry at offset 8.
    auto little = [](uint16_t tag, uint16_t type, uint16_t value) {
        return std::vector<uint8_t>{'I',
                                    'I',
                                    42,
                                    0,
                                    8,
                                    0,
                                    0,
                                    0,
                                    1,
                                    0,
                                    (uint8_t)tag,
                                    (uint8_t)(tag >> 8),
                                    (uint8_t)type,
                                    0,
                                    1,
                                    0,
                                    0,
                                    0,
                                    (uint8_t)value,
                                    (uint8_t)(value >> 8),
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0};
    };
    auto big = [](uint16_t value) {
        return std::vector<uint8_t>{'M',
                                    'M',
                                    0,
                                    42,
                                    0,
                                    0,
                                    0,
                                    8,
                                    0,
                                    1,
                                    0x01,
                                    0x12,
                                    0,
                                    3,
                                    0,
                                    0,
                                    0,
                                    1,
                                    (uint8_t)(value >> 8),
                                    (uint8_t)value,
                                    0,
                                    0,
                                    0,
                                    0};
    };
    std::vector<uint8_t> cut = little(0x0112, 3, 6);
    cut.resize(14);
    const tiff_case cases[] = {
        {"little endian 6", little(0x0112, 3, 6), 6},
        {"big endian 8", big(8), 8},
        {"big endian 2", big(2), 2},
        {"value out of range", little(0x0112, 3, 9), 1},
        {"value 0", big(0), 1},
        {"another tag", little(0x0100, 3, 6), 1},
        {"wrong type", little(0x0112, 4, 6), 1},
        {"cut directory", cut, 1},
        {"not TIFF", {'X', 'X', 42, 0, 8, 0, 0, 0}, 1},
        {"empty", {}, 1},
    };
    for (const tiff_case &c : cases)
        EXPECT_EQ(orientation_from_tiff(c.data.data(), c.data.size()), c.want) << c.name;
}

// A 3x2 picture with numbered pixels, turned upright for each orientation.
TEST(Orientation, ApplyTable) {
    // Stored:  0 1 2
    //          3 4 5
    struct apply_case {
        int orientation;
        std::vector<uint8_t> shown; // pixel numbers, rows top first
    };
    const apply_case cases[] = {
        {1, {0, 1, 2, 3, 4, 5}}, {2, {2, 1, 0, 5, 4, 3}}, {3, {5, 4, 3, 2, 1, 0}},
        {4, {3, 4, 5, 0, 1, 2}}, {5, {0, 3, 1, 4, 2, 5}}, {6, {3, 0, 4, 1, 5, 2}},
        {7, {5, 2, 4, 1, 3, 0}}, {8, {2, 5, 1, 4, 0, 3}},
    };
    std::vector<uint8_t> stored;
    for (uint8_t i = 0; i < 6; i++)
        stored.insert(stored.end(), {i, i, i, 255});
    for (const apply_case &c : cases) {
        std::vector<uint8_t> out(stored.size());
        orientation_apply(stored.data(), 3, 2, c.orientation, out.data());
        std::vector<uint8_t> numbers;
        for (size_t i = 0; i < out.size(); i += 4)
            numbers.push_back(out[i]);
        EXPECT_EQ(numbers, c.shown) << "orientation " << c.orientation;
    }
}

} // namespace
