// The daemon's look inside media files: whether this FFmpeg decodes a file's
// picture, and how many pictures a GIF holds. Real wallpapers from Debian's
// packages and files derived from them with ffmpeg and heif-enc.
#include "probe.h"
#include "proc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char SWAY_PNG[] = "/usr/share/backgrounds/sway/Sway_Wallpaper_Blue_1920x1080.png";
const char GNOME_WEBP[] = "/usr/share/backgrounds/gnome/wood-d.webp";
const char GNOME_SVG[] = "/usr/share/backgrounds/gnome/blobs-d.svg";

// Runs a program to its end; true when it exited 0.
bool run_ok(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    char out[4096];
    return proc_run(argv[0], argv.data(), out, sizeof out, 120000) == 0;
}

bool ffmpeg(std::vector<std::string> args) {
    args.insert(args.begin(), {"ffmpeg", "-v", "error", "-y", "-nostdin"});
    return run_ok(args);
}

// FFmpeg's own verdict: the command-line program decodes a first frame.
bool ffmpeg_decodes(const std::string &path) {
    return run_ok(
        {"ffmpeg", "-v", "error", "-nostdin", "-i", path, "-frames:v", "1", "-f", "null", "-"});
}

void write_bytes(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

std::string read_bytes(const std::string &path) {
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

class Probe : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/kiv-probe-XXXXXX";
        const char *d = mkdtemp(tmpl);
        dir_ = d ? d : "";
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(access(SWAY_PNG, R_OK), 0) << "run scripts/install-deps";
        const std::string small = "scale=320:180";
        // One picture of the sway wallpaper, and three of it moving.
        ASSERT_TRUE(ffmpeg({"-i", SWAY_PNG, "-vf", small, "-frames:v", "1", at("still.gif")}));
        ASSERT_TRUE(ffmpeg({"-loop", "1", "-i", SWAY_PNG, "-vf", small + ",scroll=h=0.1", "-r", "5",
                            "-frames:v", "3", at("moving.gif")}));
        ASSERT_TRUE(
            ffmpeg({"-loop", "1", "-i", SWAY_PNG, "-vf", small + ",scroll=h=0.1", "-r", "5",
                    "-frames:v", "3", "-c:v", "libwebp_anim", "-loop", "0", at("moving.webp")}));
        ASSERT_TRUE(ffmpeg({"-i", SWAY_PNG, "-vf", small, at("small.png")}));
        ASSERT_TRUE(run_ok({"heif-enc", "-o", at("photo.heic"), at("small.png")}));
        ASSERT_TRUE(ffmpeg({"-i", SWAY_PNG, "-vf", small, "-c:v", "libjxl", at("photo.jxl")}));
        ASSERT_TRUE(ffmpeg({"-loop", "1", "-i", SWAY_PNG, "-vf", small, "-r", "24", "-frames:v",
                            "24", "-c:v", "mpeg1video", "-f", "mpeg1video", at("raw.mpg")}));
        std::string gif = read_bytes(at("still.gif"));
        std::string png = read_bytes(at("small.png"));
        ASSERT_GT(gif.size(), 100u);
        write_bytes(at("cut.gif"), gif.substr(0, 100));
        write_bytes(at("cut.png"), png.substr(0, 200));
        write_bytes(at("notes.jpg"), "not a picture at all\n");
        write_bytes(at("empty.png"), "");
        // Nobody ever writes into it: reading it would wait for ever.
        ASSERT_EQ(mkfifo(at("pipe.gif").c_str(), 0600), 0);
        // Cut where a second picture begins: what is there is one picture.
        write_bytes(at("two.gif"), gif.substr(0, gif.size() - 1) + "\x2c");
    }
    static void TearDownTestSuite() {
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    static std::string at(const char *name) {
        return dir_ + "/" + name;
    }
    static std::string dir_;
};
std::string Probe::dir_;

TEST_F(Probe, GifFramesCountedFromTheBlocks) {
    const struct {
        const char *name;
        int frames;
    } cases[] = {
        {"still.gif", 1}, {"moving.gif", 2},   {"cut.gif", -1},   {"small.png", -1},
        {"two.gif", 1},   {"missing.gif", -1}, {"empty.png", -1}, {"pipe.gif", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(probe_gif_frames(at(c.name).c_str()), c.frames) << c.name;
    EXPECT_EQ(probe_gif_frames(nullptr), -1);
}

TEST_F(Probe, DecodesWhatThisFfmpegDecodes) {
    const struct {
        std::string path;
        int want; // 0 decodes, -1 refused; 1: as the ffmpeg program decides
    } cases[] = {
        {SWAY_PNG, 0},
        {GNOME_WEBP, 0},
        {GNOME_SVG, 0},
        {at("still.gif"), 0},
        {at("moving.gif"), 0},
        {at("photo.jxl"), 0},
        {at("raw.mpg"), 0},
        // FFmpeg 5.1 reads neither; a newer one may.
        {at("photo.heic"), 1},
        {at("moving.webp"), 1},
        {at("cut.png"), -1},
        {at("notes.jpg"), -1},
        {at("empty.png"), -1},
        {at("missing.png"), -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        int want = c.want == 1 ? (ffmpeg_decodes(c.path) ? 0 : -1) : c.want;
        char why[PROBE_REASON_SIZE] = "stale";
        EXPECT_EQ(probe_decodes(c.path.c_str(), why, sizeof why), want) << why;
        if (want == 0)
            EXPECT_STREQ(why, "");
        else
            EXPECT_GT(strlen(why), 0u);
    }
    char why[PROBE_REASON_SIZE];
    ASSERT_EQ(probe_decodes(at("notes.jpg").c_str(), why, sizeof why), -1);
    EXPECT_STREQ(why, "Invalid data found when processing input");
    ASSERT_EQ(probe_decodes(at("missing.png").c_str(), why, sizeof why), -1);
    EXPECT_STREQ(why, "No such file or directory");
}

} // namespace
