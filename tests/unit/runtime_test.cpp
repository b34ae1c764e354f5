#include "log.h"
#include "paths.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string capture(int fd, unsigned level, unsigned threshold) {
    fflush(nullptr);
    int saved = dup(fd);
    char path[] = "/tmp/kiv-log-XXXXXX";
    int tmp = mkstemp(path);
    dup2(tmp, fd);
    log_set_identity("kivd", threshold);
    log_line(level, "src/x.cpp", 42, "hello %d", 7);
    log_set_identity("kiv", LOG_INFO);
    fflush(nullptr);
    dup2(saved, fd);
    close(saved);
    std::string out;
    char buf[512];
    lseek(tmp, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(tmp, buf, sizeof buf)) > 0)
        out.append(buf, (size_t)n);
    close(tmp);
    unlink(path);
    return out;
}

} // namespace

TEST(Log, LineFormatAndStreams) {
    std::string info = capture(STDOUT_FILENO, LOG_INFO, LOG_INFO);
    std::regex re("^[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} kivd\\[" + std::to_string(getpid()) +
                  "\\] INFO src/x\\.cpp:42: hello 7\n$");
    EXPECT_TRUE(std::regex_match(info, re)) << info;
    EXPECT_EQ(capture(STDERR_FILENO, LOG_INFO, LOG_INFO), "");

    std::string warn = capture(STDERR_FILENO, LOG_WARN, LOG_INFO);
    EXPECT_NE(warn.find(" WARN src/x.cpp:42: hello 7\n"), std::string::npos) << warn;
    EXPECT_EQ(capture(STDOUT_FILENO, LOG_ERROR, LOG_INFO), "");
}

TEST(Log, Threshold) {
    EXPECT_EQ(capture(STDOUT_FILENO, LOG_DEBUG, LOG_INFO), "");
    EXPECT_NE(capture(STDOUT_FILENO, LOG_DEBUG, LOG_DEBUG).find(" DEBUG "), std::string::npos);
}

TEST(Clock, Monotonic) {
    int64_t a = now_ms();
    usleep(20000);
    int64_t b = now_ms();
    EXPECT_GT(a, 0);
    EXPECT_GE(b - a, 20);
}

TEST(Paths, RuntimeDirFallbacks) {
    EnvGuard runtime("XDG_RUNTIME_DIR");
    char buf[1024];
    runtime.set("");
    ASSERT_EQ(path_runtime_dir(buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), "/run/user/" + std::to_string(getuid()));
    runtime.set("/r");
    ASSERT_EQ(path_daemon_socket(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/r/kiv/kivd.sock");
    ASSERT_EQ(path_render_socket(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/r/kiv/render.sock");
    ASSERT_EQ(path_feed_socket(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/r/kiv/lock-feed.sock");
}

TEST(Paths, HomeFallbacks) {
    EnvGuard home("HOME"), state("XDG_STATE_HOME"), config("XDG_CONFIG_HOME"),
        cache("XDG_CACHE_HOME");
    char buf[1024];
    home.set("/home/a");
    state.set(nullptr);
    config.set("");
    cache.set("/c");
    ASSERT_EQ(path_background_link(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/home/a/.local/state/tarvine/current/background");
    ASSERT_EQ(path_config_file(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/home/a/.config/kiv/config.toml");
    ASSERT_EQ(path_gif_cache_dir(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/c/kiv/gif");

    // An empty HOME falls back to the password database.
    home.set("");
    struct passwd *pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    ASSERT_EQ(path_home(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, pw->pw_dir);
}

TEST(Paths, NeverTruncated) {
    EnvGuard runtime("XDG_RUNTIME_DIR");
    runtime.set("/r");
    const char *want = "/r/kiv/kivd.sock";
    char buf[64];
    // Exactly the length leaves no room for the terminator.
    EXPECT_EQ(path_daemon_socket(buf, strlen(want)), -1);
    EXPECT_EQ(path_daemon_socket(buf, strlen(want) + 1), 0);
    EXPECT_STREQ(buf, want);

    std::string huge(1100, 'x');
    runtime.set(("/" + huge).c_str());
    char big[4096];
    EXPECT_EQ(path_daemon_socket(big, sizeof big), -1);
}

TEST(Paths, Sibling) {
    struct Case {
        const char *path, *name, *want;
    } cases[] = {
        {"/run/user/1000/kiv/kivd.sock", "render.sock", "/run/user/1000/kiv/render.sock"},
        {"d.sock", "render.sock", "render.sock"},
        {"/d.sock", "x", "/x"},
    };
    for (const Case &c : cases) {
        char buf[256];
        ASSERT_EQ(path_sibling(c.path, c.name, buf, sizeof buf), 0) << c.path;
        EXPECT_STREQ(buf, c.want) << c.path;
    }
    char buf[8];
    EXPECT_EQ(path_sibling(nullptr, "x", buf, sizeof buf), -1);
    EXPECT_EQ(path_sibling("/a/b", "x", buf, 0), -1);
    EXPECT_EQ(path_sibling("/abcdef/b", "x", buf, sizeof buf), -1);
}

TEST(Paths, OutputNames) {
    std::string longest(OUTPUT_NAME_MAX, 'a');
    std::string too_long(OUTPUT_NAME_MAX + 1, 'a');
    struct Case {
        const char *name;
        const char *why; // null: accepted
    } cases[] = {
        {"DP-1", nullptr},
        {"HDMI-A-1", nullptr},
        {"a..b", nullptr},
        {longest.c_str(), nullptr},
        {"", "Output name is empty"},
        {nullptr, "Output name is empty"},
        {too_long.c_str(), "Output name is longer than 63 bytes"},
        {"..", "Output name must not begin with a dot"},
        {".", "Output name must not begin with a dot"},
        {".kiv-1-0", "Output name must not begin with a dot"},
        {"a/b", "Output name must not contain a slash"},
        {"../x", "Output name must not begin with a dot"},
        {"/etc", "Output name must not contain a slash"},
        {"DP\n1", "Output name must not contain control characters"},
    };
    for (const Case &c : cases) {
        const char *why = output_name_check(c.name);
        if (c.why)
            EXPECT_STREQ(why, c.why) << (c.name ? c.name : "(null)");
        else
            EXPECT_EQ(why, nullptr) << c.name << ": " << why;
    }

    EnvGuard state("XDG_STATE_HOME");
    state.set("/s");
    char buf[64];
    ASSERT_EQ(path_output_link("DP-1", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/s/kiv/outputs/DP-1");
    EXPECT_EQ(path_output_link("..", buf, sizeof buf), -1);
    EXPECT_EQ(path_output_link("DP-1", buf, strlen("/s/kiv/outputs/DP-1")), -1);
}

TEST(Paths, MkdirP) {
    char dir[] = "/tmp/kiv-mkdir-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string deep = std::string(dir) + "/a/b/c/";
    EXPECT_EQ(mkdir_p(deep.c_str()), 0);
    struct stat st;
    EXPECT_EQ(stat(deep.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(mkdir_p(dir), 0); // already there

    std::string file = std::string(dir) + "/f";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0644));
    EXPECT_EQ(mkdir_p((file + "/sub").c_str()), -1);
    EXPECT_EQ(mkdir_p(""), -1);
    EXPECT_EQ(mkdir_p(nullptr), -1);
    EXPECT_EQ(mkdir_p(("/" + std::string(1100, 'y')).c_str()), -1);
    std::string cmd = std::string("rm -rf ") + dir;
    ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST(MediaKind, ByExtension) {
    struct Case {
        const char *path;
        media_kind want;
    } cases[] = {
        {"/x/Clip.MP4", MEDIA_VIDEO}, {"/x/a.GIF", MEDIA_GIF},    {"/x/a.apng", MEDIA_VIDEO},
        {"/x/a.png", MEDIA_STILL},    {".mp4", MEDIA_VIDEO},      {"/x/a.txt", MEDIA_UNKNOWN},
        {"/x/gif", MEDIA_UNKNOWN},    {"", MEDIA_UNKNOWN},        {"/x/a.JPeG", MEDIA_STILL},
        {"/x/a.m2ts", MEDIA_VIDEO},   {"/x/a.heif", MEDIA_STILL}, {"/x/a.webm", MEDIA_VIDEO},
        {"/x/a.JFIF", MEDIA_STILL},   {"/x/a.jpe", MEDIA_STILL},  {"/x/blobs.svg", MEDIA_STILL},
        {"/x/a.MPEG", MEDIA_VIDEO},   {"/x/a.ts", MEDIA_VIDEO},   {"/x/a.M4V", MEDIA_VIDEO},
    };
    for (const Case &c : cases)
        EXPECT_EQ(media_kind_of(c.path), c.want) << c.path;
    EXPECT_EQ(media_kind_of(nullptr), MEDIA_UNKNOWN);
    EXPECT_STREQ(media_kind_name(MEDIA_STILL), "still");
    EXPECT_STREQ(media_kind_name(MEDIA_VIDEO), "video");
    EXPECT_STREQ(media_kind_name(MEDIA_GIF), "gif");

    char list[256];
    ASSERT_EQ(media_suffix_list(MEDIA_STILL, list, sizeof list), 0);
    EXPECT_STREQ(list,
                 ".jpg .jpeg .jfif .jpe .png .bmp .webp .tif .tiff .avif .jxl .heic .heif .svg");
    ASSERT_EQ(media_suffix_list(MEDIA_GIF, list, sizeof list), 0);
    EXPECT_STREQ(list, ".gif");
    EXPECT_EQ(media_suffix_list(MEDIA_VIDEO, list, 20), -1);
    EXPECT_STREQ(list, "");
    EXPECT_EQ(media_suffix_list(MEDIA_UNKNOWN, list, sizeof list), -1);
    EXPECT_STREQ(media_kind_name(0), "unknown");
    EXPECT_STREQ(media_kind_name(7), "unknown");
}
