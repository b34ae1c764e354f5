// The media cache: names, pruning, the start-up sweep and conversion jobs
// running the real ffmpeg (through a wrapper on PATH that records each call).
#include "log.h"
#include "paths.h"
#include "proc.h"
#include "test_util.h"
#include "transcode.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <string>
#include <algorithm>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string make_temp_dir() {
    char tmpl[] = "/tmp/kiv-transcode-XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? d : "";
}

void remove_tree(const std::string &dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

void write_file(const std::string &path, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::string block(4096, 'x');
    for (size_t done = 0; done < size; done += block.size())
        fwrite(block.data(), 1, std::min(block.size(), size - done), f);
    fclose(f);
}

void set_age(const std::string &path, time_t seconds_ago) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time(nullptr) - seconds_ago;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::set<std::string> entries(const std::string &dir) {
    std::set<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return out;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            out.insert(e->d_name);
    }
    closedir(d);
    return out;
}

std::string read_text(const std::string &path) {
    std::string text;
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

// Runs a program to its end; its output, or "" when it failed.
std::string run(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    char out[4096];
    if (proc_run(argv[0], argv.data(), out, sizeof out, 120000) != 0) {
        ADD_FAILURE() << args[0] << " failed: " << out;
        return "";
    }
    return out;
}

void ffmpeg(std::vector<std::string> args) {
    args.insert(args.begin(), {"ffmpeg", "-v", "error", "-y", "-nostdin"});
    run(args);
}

// The named stream entries of the first video stream, comma-separated.
std::string probe(const std::string &path,
                  const char *what = "stream=codec_name,width,height,pix_fmt,r_frame_rate") {
    std::string out = run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                           what, "-of", "csv=p=0", path});
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// Polls a condition for up to a minute (a loaded machine can be slow).
template <typename F> bool eventually(F condition) {
    for (int i = 0; i < 6000; i++) {
        if (condition())
            return true;
        usleep(10000);
    }
    return condition();
}

// Waits (without a time limit of its own; CTest bounds the test) until the
// job's descriptor is readable, then collects it.
transcode_outcome finish(transcode_job *job) {
    struct pollfd p = {transcode_job_fd(job), POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    transcode_outcome out = {};
    EXPECT_EQ(transcode_job_collect(job, &out), 0);
    transcode_job_free(job);
    return out;
}

class Cache : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = make_temp_dir();
        ASSERT_FALSE(root_.empty());
        cache_home_.set((root_ + "/cache home").c_str());
        dir_ = root_ + "/cache home/kiv/gif";
        proxy_dir_ = root_ + "/cache home/kiv/proxy";
        // A wrapper ahead of the real ffmpeg notes every call by its pid.
        calls_ = root_ + "/ffmpeg.calls";
        std::string bin = root_ + "/bin";
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        FILE *f = fopen((bin + "/ffmpeg").c_str(), "w");
        ASSERT_NE(f, nullptr);
        // Each line: the process id and its niceness.
        fprintf(f,
                "#!/bin/sh\necho \"$$ $(awk '{print $19}' /proc/$$/stat)\" >> '%s'\n"
                "exec /usr/bin/ffmpeg \"$@\"\n",
                calls_.c_str());
        fclose(f);
        ASSERT_EQ(chmod((bin + "/ffmpeg").c_str(), 0755), 0);
        const char *old = getenv("PATH");
        path_.set((bin + ":" + (old ? old : "/usr/bin:/bin")).c_str());
        transcode_set_cache_limit(512);
    }
    void TearDown() override {
        transcode_set_cache_limit(512);
        transcode_set_proxy_limit(2048);
        remove_tree(root_);
    }

    std::vector<std::string> ffmpeg_calls() {
        std::vector<std::string> lines;
        std::string text = read_text(calls_);
        for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
            lines.push_back(text.substr(at, nl - at));
        return lines;
    }

    std::string gif_path(const std::string &source, int fps = 12, int crf = 23, int w = 4096,
                         int h = 4096) {
        char out[4096];
        if (transcode_gif_cache_path(source.c_str(), fps, crf, w, h, out, sizeof out) != 0)
            return "";
        return out;
    }

    std::string poster_path(const std::string &source) {
        char out[4096];
        if (transcode_poster_cache_path(source.c_str(), out, sizeof out) != 0)
            return "";
        return out;
    }

    std::string proxy_path(const std::string &source, int w, int h) {
        char out[4096];
        if (transcode_proxy_cache_path(source.c_str(), w, h, out, sizeof out) != 0)
            return "";
        return out;
    }

    std::string root_;
    std::string dir_;
    std::string proxy_dir_;
    std::string calls_;
    EnvGuard cache_home_{"XDG_CACHE_HOME"};
    EnvGuard path_{"PATH"};
};

TEST(TranscodeHash, Table) {
    const struct {
        const char *text;
        uint64_t hash;
    } cases[] = {
        {"", 0x14650fb0739d0383ULL},
        {"abc", 0xe16801510db89efdULL},
    };
    for (const auto &c : cases)
        EXPECT_EQ(transcode_hash(c.text), c.hash) << '"' << c.text << '"';
}

TEST_F(Cache, NamesFollowTheSourceAndTheSettings) {
    std::string src = root_ + "/a.gif";
    write_file(src, 100);
    set_age(src, 3600);
    std::string base = gif_path(src);
    std::string poster = poster_path(src);
    // Computing a name makes the directory with its parents.
    struct stat st;
    ASSERT_EQ(stat(dir_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(base.rfind(dir_ + "/", 0), 0u) << base;
    EXPECT_EQ(base.size(), dir_.size() + 1 + 16 + 4) << base;
    EXPECT_EQ(base.substr(base.size() - 4), ".mp4");
    EXPECT_EQ(poster.rfind(dir_ + "/poster-", 0), 0u) << poster;
    EXPECT_EQ(poster.substr(poster.size() - 4), ".png");
    EXPECT_EQ(gif_path(src), base) << "unchanged source and settings";
    EXPECT_EQ(poster_path(src), poster);

    EXPECT_NE(gif_path(src, 15), base) << "gif_fps";
    EXPECT_NE(gif_path(src, 12, 28), base) << "gif_crf";
    EXPECT_NE(gif_path(src, 12, 23, 1920), base) << "max_width";
    EXPECT_NE(gif_path(src, 12, 23, 4096, 1080), base) << "max_height";

    set_age(src, 60); // a new modification time
    std::string touched = gif_path(src);
    EXPECT_NE(touched, base) << "touch";
    EXPECT_NE(poster_path(src), poster) << "touch";
    poster = poster_path(src);
    // The status-change time has a nanosecond part; wait until it moves.
    struct stat before;
    ASSERT_EQ(stat(src.c_str(), &before), 0);
    struct stat now;
    do {
        ASSERT_EQ(chmod(src.c_str(), 0600), 0);
        ASSERT_EQ(stat(src.c_str(), &now), 0);
    } while (now.st_ctim.tv_sec == before.st_ctim.tv_sec &&
             now.st_ctim.tv_nsec == before.st_ctim.tv_nsec);
    EXPECT_NE(gif_path(src), touched) << "chmod";
    EXPECT_NE(poster_path(src), poster) << "chmod";

    EXPECT_EQ(gif_path(root_ + "/missing.gif"), "");
    EXPECT_EQ(poster_path(root_ + "/missing.mp4"), "");
    char tiny[16];
    EXPECT_EQ(transcode_gif_cache_path(src.c_str(), 12, 23, 4096, 4096, tiny, sizeof tiny), -1);
}

TEST_F(Cache, FileReady) {
    std::string full = root_ + "/full", empty = root_ + "/empty";
    write_file(full, 1);
    write_file(empty, 0);
    EXPECT_TRUE(transcode_file_ready(full.c_str()));
    EXPECT_FALSE(transcode_file_ready(empty.c_str()));
    EXPECT_FALSE(transcode_file_ready(root_.c_str()));
    EXPECT_FALSE(transcode_file_ready((root_ + "/none").c_str()));
    EXPECT_FALSE(transcode_file_ready(nullptr));
}

TEST(ProxySize, NeedAndTarget) {
    const struct {
        const char *name;
        int width, height;
        double fps;
        int out_width, out_height;
        bool needed;
        int proxy_width, proxy_height;
    } cases[] = {
        {"4K on 1080p", 3840, 2160, 30, 1920, 1080, true, 1920, 1080},
        {"4K on 1440p", 3840, 2160, 30, 2560, 1440, true, 2560, 1440},
        {"twice the size", 640, 360, 25, 320, 180, true, 320, 180},
        // 1.5 times the pixels exactly is enough; a little less is not.
        {"1.5 times the pixels", 1500, 1000, 30, 1224, 816, true, 1224, 816},
        {"just under 1.5 times", 1500, 1000, 30, 1226, 818, false, 0, 0},
        {"1080p on 1080p", 1920, 1080, 30, 1920, 1080, false, 0, 0},
        {"smaller than the output", 1280, 720, 60, 1920, 1080, false, 0, 0},
        // Cover, not fit: the side that fills the buffer decides.
        {"wider than the output", 3840, 1080, 30, 1920, 1080, false, 0, 0},
        {"ultrawide source on 16:9", 5120, 1440, 30, 1280, 720, true, 2560, 720},
        {"portrait output", 3840, 2160, 30, 1080, 1920, false, 0, 0},
        {"sides round up to even", 3001, 2001, 30, 1001, 501, true, 1002, 668},
        {"above 60 fps at its own size", 1280, 720, 120, 1920, 1080, true, 1280, 720},
        {"odd video above 60 fps", 1279, 719, 144, 1920, 1080, true, 1278, 718},
        {"above 60 fps and oversized", 3840, 2160, 120, 1920, 1080, true, 1920, 1080},
        {"60 fps is within the limit", 1920, 1080, 60, 1920, 1080, false, 0, 0},
        {"59.94 fps", 1920, 1080, 60000.0 / 1001, 1920, 1080, false, 0, 0},
        {"no outputs yet", 3840, 2160, 30, 0, 0, false, 0, 0},
        {"no picture", 0, 0, 30, 1920, 1080, false, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int w = 0, h = 0;
        EXPECT_EQ(transcode_proxy_size(c.width, c.height, c.fps, c.out_width, c.out_height, &w, &h),
                  c.needed);
        if (c.needed) {
            EXPECT_EQ(w, c.proxy_width);
            EXPECT_EQ(h, c.proxy_height);
            // Whatever the rounding, a smaller proxy covers the buffer.
            if (w == c.width - c.width % 2)
                continue;
            double scale = std::max((double)c.out_width / w, (double)c.out_height / h);
            EXPECT_LE(scale, 1.0 + 1e-9);
        }
    }
}

TEST_F(Cache, ProxyNamesFollowTheSourceAndTheSize) {
    std::string src = root_ + "/film.mp4";
    write_file(src, 100);
    set_age(src, 3600);
    std::string base = proxy_path(src, 1920, 1080);
    ASSERT_EQ(base.rfind(proxy_dir_ + "/", 0), 0u) << base;
    EXPECT_EQ(base.size(), proxy_dir_.size() + 1 + 16 + 4) << base;
    EXPECT_EQ(base.substr(base.size() - 4), ".mkv");
    EXPECT_EQ(proxy_path(src, 1920, 1080), base) << "unchanged";
    EXPECT_NE(proxy_path(src, 2560, 1440), base) << "target size";
    EXPECT_NE(proxy_path(src, 1920, 1082), base) << "target height";
    std::string other = root_ + "/other.mp4";
    write_file(other, 100);
    set_age(other, 3600);
    EXPECT_NE(proxy_path(other, 1920, 1080), base) << "path";
    write_file(src, 200);
    set_age(src, 3600);
    EXPECT_NE(proxy_path(src, 1920, 1080), base) << "size";
    std::string grown = proxy_path(src, 1920, 1080);
    set_age(src, 60);
    EXPECT_NE(proxy_path(src, 1920, 1080), grown) << "modification time";
    EXPECT_EQ(proxy_path(root_ + "/missing.mp4", 1920, 1080), "");
    char tiny[16];
    EXPECT_EQ(transcode_proxy_cache_path(src.c_str(), 1920, 1080, tiny, sizeof tiny), -1);
    EXPECT_EQ(transcode_start_proxy(src.c_str(), 0, 1080, false), nullptr);
}

struct cache_entry {
    const char *name;
    size_t kib;
    time_t age_s;
};

struct prune_case {
    const char *name;
    int limit_mb;
    std::vector<cache_entry> files;
    const char *keep1, *keep2;
    std::set<std::string> left;
};

TEST_F(Cache, PruneOldestFirstUnderTheLimit) {
    const time_t H = 3600;
    const std::vector<prune_case> cases = {
        {"a fourth file over 1 MiB",
         1,
         {{"old.mp4", 600, 3 * H},
          {"older.mp4", 600, 4 * H},
          {"oldest.mp4", 600, 5 * H},
          {"new.mp4", 600, 0}},
         "new.mp4",
         "source.gif",
         {"new.mp4"}},
        {"stops once it fits",
         1,
         {{"a.mp4", 300, 3 * H}, {"b.mp4", 300, 2 * H}, {"c.mp4", 300, 1 * H}, {"new.mp4", 300, 0}},
         "new.mp4",
         nullptr,
         {"b.mp4", "c.mp4", "new.mp4"}},
        {"kept files are passed over however old",
         1,
         {{"product.mp4", 600, 9 * H}, {"source.gif", 600, 8 * H}, {"other.png", 600, 1 * H}},
         "product.mp4",
         "source.gif",
         {"product.mp4", "source.gif"}},
        {"temporary and hidden files neither count nor go",
         1,
         {{"x.mp4.part-abcdef.mp4", 2000, 9 * H}, {".hidden", 2000, 9 * H}, {"a.mp4", 600, H}},
         nullptr,
         nullptr,
         {"x.mp4.part-abcdef.mp4", ".hidden", "a.mp4"}},
        {"limit 0 prunes nothing",
         0,
         {{"a.mp4", 600, 3 * H}, {"b.mp4", 600, 2 * H}, {"new.mp4", 600, 0}},
         "new.mp4",
         nullptr,
         {"a.mp4", "b.mp4", "new.mp4"}},
    };
    // The proxy cache is pruned the same way under its own limit, and each
    // prune leaves the other cache alone.
    const struct {
        const char *name;
        std::string dir, other;
        void (*set_limit)(int);
        void (*prune)(const char *, const char *);
    } caches[] = {
        {"gif cache", dir_, proxy_dir_, transcode_set_cache_limit, transcode_prune_cache},
        {"proxy cache", proxy_dir_, dir_, transcode_set_proxy_limit, transcode_prune_proxies},
    };
    for (const auto &cache : caches) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(cache.name) + ": " + c.name);
            remove_tree(dir_);
            remove_tree(proxy_dir_);
            ASSERT_EQ(mkdir_p(cache.dir.c_str()), 0);
            ASSERT_EQ(mkdir_p(cache.other.c_str()), 0);
            write_file(cache.other + "/other.mp4", 2048 * 1024);
            set_age(cache.other + "/other.mp4", 99 * H);
            for (const auto &f : c.files) {
                write_file(cache.dir + "/" + f.name, f.kib * 1024);
                set_age(cache.dir + "/" + f.name, f.age_s);
            }
            transcode_set_cache_limit(512);
            transcode_set_proxy_limit(2048);
            cache.set_limit(c.limit_mb);
            std::string k1 = c.keep1 ? cache.dir + "/" + c.keep1 : "";
            std::string k2 = c.keep2 ? cache.dir + "/" + c.keep2 : "";
            cache.prune(c.keep1 ? k1.c_str() : nullptr, c.keep2 ? k2.c_str() : nullptr);
            EXPECT_EQ(entries(cache.dir), c.left);
            EXPECT_EQ(entries(cache.other), std::set<std::string>{"other.mp4"});
        }
    }
}

TEST_F(Cache, SweepRemovesDayOldPartials) {
    const time_t H = 3600;
    for (const std::string &dir : {dir_, proxy_dir_}) {
        SCOPED_TRACE(dir);
        ASSERT_EQ(mkdir_p(dir.c_str()), 0);
        const cache_entry files[] = {
            {"young.mp4.part-aaaaaa.mp4", 1, 23 * H},    {"old.mp4.part-bbbbbb.mp4", 1, 25 * H},
            {"poster-x.png.part-cccccc.png", 1, 25 * H}, {"proxy.mkv.part-eeeeee.mkv", 1, 25 * H},
            {"future.mp4.part-dddddd.mp4", 1, -25 * H},  {"finished.mp4", 1, 25 * H},
        };
        for (const auto &f : files) {
            write_file(dir + "/" + f.name, f.kib);
            set_age(dir + "/" + f.name, f.age_s);
        }
    }
    testing::internal::CaptureStdout();
    transcode_sweep_partials();
    std::string log = testing::internal::GetCapturedStdout();
    for (const std::string &dir : {dir_, proxy_dir_}) {
        SCOPED_TRACE(dir);
        EXPECT_EQ(entries(dir),
                  (std::set<std::string>{"young.mp4.part-aaaaaa.mp4", "future.mp4.part-dddddd.mp4",
                                         "finished.mp4"}));
    }
    for (const char *name :
         {"old.mp4.part-bbbbbb.mp4", "poster-x.png.part-cccccc.png", "proxy.mkv.part-eeeeee.mkv"}) {
        std::string line = std::string("removed abandoned conversion ") + name;
        size_t first = log.find(line);
        EXPECT_NE(first, std::string::npos) << log;
        EXPECT_NE(log.find(line, first + 1), std::string::npos) << "once per cache\n" << log;
    }
}

TEST_F(Cache, VanishedSourceFailsWithoutFfmpeg) {
    transcode_job *job = transcode_start_gif((root_ + "/gone.gif").c_str(), 12, 23, 4096, 4096);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(transcode_job_source(job), root_ + "/gone.gif");
    EXPECT_FALSE(finish(job).ok);
    job = transcode_start_poster((root_ + "/gone.mp4").c_str());
    ASSERT_NE(job, nullptr);
    EXPECT_FALSE(finish(job).ok);
    EXPECT_TRUE(ffmpeg_calls().empty());
    EXPECT_EQ(transcode_job_fd(nullptr), -1);
    EXPECT_STREQ(transcode_job_source(nullptr), "");
    EXPECT_EQ(transcode_start_gif(std::string(2000, 'a').c_str(), 12, 23, 4096, 4096), nullptr);
}

// A FIFO nobody writes to keeps the real ffmpeg waiting for its input.
TEST_F(Cache, FreeingARunningJobKillsFfmpegAndLeavesNothing) {
    std::string fifo = root_ + "/stuck.gif";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    transcode_job *job = transcode_start_gif(fifo.c_str(), 12, 23, 4096, 4096);
    ASSERT_NE(job, nullptr);
    ASSERT_TRUE(eventually([&] { return !ffmpeg_calls().empty(); })) << "ffmpeg never started";
    pid_t pid = (pid_t)atol(ffmpeg_calls()[0].c_str());
    ASSERT_GT(pid, 0);
    bool part_seen = false;
    for (const auto &e : entries(dir_))
        part_seen = part_seen || e.find(".part-") != std::string::npos;
    EXPECT_TRUE(part_seen);

    transcode_job_free(job);
    errno = 0;
    EXPECT_EQ(kill(pid, 0), -1) << "ffmpeg still exists";
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(entries(dir_), std::set<std::string>{});
}

// Media made once for the conversion tests.
class Convert : public Cache {
  protected:
    static void SetUpTestSuite() {
        media_ = make_temp_dir();
        ffmpeg(
            {"-f", "lavfi", "-i", "testsrc2=size=333x201:rate=10", "-t", "1", media_ + "/odd.gif"});
        ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=5", "-t", "1", "-c:v", "libx264",
                "-preset", "ultrafast", media_ + "/hd.mp4"});
        ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=3840x2160:rate=1", "-frames:v", "1", "-c:v",
                "libx264", "-preset", "ultrafast", media_ + "/uhd.mp4"});
        // The sway wallpaper moving, as a GIF whose header asks for pixels
        // four times as tall as wide (aspect byte 1: (1 + 15) / 64).
        ffmpeg({"-loop", "1", "-i", "/usr/share/backgrounds/sway/Sway_Wallpaper_Blue_1920x1080.png",
                "-vf", "scale=320:180,scroll=h=0.1", "-r", "5", "-frames:v", "3",
                media_ + "/aspect.gif"});
        std::string gif = read_text(media_ + "/aspect.gif");
        if (gif.size() > 12) {
            gif[12] = 1;
            FILE *g = fopen((media_ + "/aspect.gif").c_str(), "wb");
            if (g) {
                fwrite(gif.data(), 1, gif.size(), g);
                fclose(g);
            }
        }
        ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25", "-f", "lavfi", "-i",
                "sine=frequency=440:sample_rate=48000", "-t", "1", "-c:v", "libx264", "-preset",
                "ultrafast", "-c:a", "aac", "-shortest", media_ + "/sound.mp4"});
        ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x180:rate=120", "-t", "1", "-c:v", "libx264",
                "-preset", "ultrafast", media_ + "/fast.mp4"});
        // The turn is a tag of the container: set when copying the stream.
        ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25", "-t", "1", "-c:v", "libx264",
                "-preset", "ultrafast", media_ + "/upright.mp4"});
        ffmpeg({"-i", media_ + "/upright.mp4", "-c", "copy", "-metadata:s:v:0", "rotate=90",
                media_ + "/turned.mp4"});
        for (const char *name : {"/broken.gif", "/broken.mp4"}) {
            FILE *f = fopen((media_ + name).c_str(), "w");
            if (f) {
                fputs("not a picture at all\n", f);
                fclose(f);
            }
        }
    }
    static void TearDownTestSuite() {
        remove_tree(media_);
    }
    static std::string media_;
};
std::string Convert::media_;

TEST_F(Convert, GifBecomesEvenSidedH264WithinTheLimits) {
    const struct {
        const char *name;
        int fps, max_width, max_height;
        const char *probed;
    } cases[] = {
        {"odd sides round down to even", 10, 4096, 4096, "h264,332,200,yuv420p,10/1"},
        {"width limit keeps the aspect", 12, 160, 4096, "h264,160,96,yuv420p,12/1"},
        {"height limit keeps the aspect", 8, 4096, 50, "h264,82,50,yuv420p,8/1"},
    };
    std::string src = media_ + "/odd.gif";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string expected = gif_path(src, c.fps, 23, c.max_width, c.max_height);
        transcode_outcome out =
            finish(transcode_start_gif(src.c_str(), c.fps, 23, c.max_width, c.max_height));
        ASSERT_TRUE(out.ok);
        EXPECT_EQ(out.path, expected);
        EXPECT_EQ(probe(out.path), c.probed);
    }
    EXPECT_EQ(ffmpeg_calls().size(), 3u);
    for (const auto &e : entries(dir_))
        EXPECT_EQ(e.find(".part-"), std::string::npos) << e;

    // The same GIF with the same settings is a cache hit: no ffmpeg at all.
    transcode_outcome again = finish(transcode_start_gif(src.c_str(), 10, 23, 4096, 4096));
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(again.path, gif_path(src, 10, 23, 4096, 4096));
    EXPECT_EQ(ffmpeg_calls().size(), 3u);
}

TEST_F(Convert, GifPixelAspectIsIgnored) {
    std::string src = media_ + "/aspect.gif";
    // What the GIF's header says: FFmpeg reads it as a 1:4 sample aspect.
    ASSERT_EQ(probe(src, "stream=width,height,sample_aspect_ratio"), "320,180,1:4");
    transcode_outcome out = finish(transcode_start_gif(src.c_str(), 5, 23, 4096, 4096));
    ASSERT_TRUE(out.ok);
    // Square pixels, as browsers and image viewers show the GIF.
    EXPECT_EQ(probe(out.path, "stream=width,height,sample_aspect_ratio"), "320,180,1:1");
}

TEST_F(Convert, PosterIsTheFirstFrameAtMost2560Wide) {
    const struct {
        const char *video;
        const char *probed;
    } cases[] = {
        {"uhd.mp4", "png,2560,1440"}, // from 3840x2160
        {"hd.mp4", "png,1280,720"},   // never enlarged
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.video);
        std::string src = media_ + "/" + c.video;
        transcode_outcome out = finish(transcode_start_poster(src.c_str()));
        ASSERT_TRUE(out.ok);
        EXPECT_EQ(out.path, poster_path(src));
        EXPECT_EQ(probe(out.path, "stream=codec_name,width,height"), c.probed);
    }
}

TEST_F(Convert, BrokenGifFailsAndLeavesNoFile) {
    std::string src = media_ + "/broken.gif";
    testing::internal::CaptureStderr();
    transcode_outcome out = finish(transcode_start_gif(src.c_str(), 12, 23, 4096, 4096));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(out.ok);
    EXPECT_NE(log.find("ffmpeg gif failed: "), std::string::npos) << log;
    EXPECT_EQ(ffmpeg_calls().size(), 1u);
    EXPECT_EQ(entries(dir_), std::set<std::string>{});
}

// The niceness the process runs at, plus 10, as the kernel caps it.
int niced(void) {
    errno = 0;
    int own = getpriority(PRIO_PROCESS, 0);
    return std::min(19, own + 10);
}

TEST_F(Convert, ProbeReadsSizeRateAndTurn) {
    const struct {
        const char *video;
        int width, height;
        double fps;
    } cases[] = {
        {"sound.mp4", 640, 360, 25},
        {"fast.mp4", 320, 180, 120},
        {"turned.mp4", 360, 640, 25}, // shown upright
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.video);
        transcode_video_info info = {};
        ASSERT_EQ(transcode_probe_video((media_ + "/" + c.video).c_str(), &info), 0);
        EXPECT_EQ(info.width, c.width);
        EXPECT_EQ(info.height, c.height);
        EXPECT_NEAR(info.fps, c.fps, 0.01);
    }
    transcode_video_info info = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(transcode_probe_video((media_ + "/broken.mp4").c_str(), &info), -1);
    EXPECT_EQ(transcode_probe_video((root_ + "/none.mp4").c_str(), &info), -1);
    testing::internal::GetCapturedStderr();
}

TEST_F(Convert, ProxyIsH264AtItsSizeWithTheSoundAtLowPriority) {
    const struct {
        const char *video;
        int width, height;
        bool cap;
        const char *probed;
        const char *audio;
    } cases[] = {
        {"sound.mp4", 320, 180, false, "h264,320,180,yuv420p,25/1", "aac"},
        {"fast.mp4", 320, 180, true, "h264,320,180,yuv420p,60/1", ""},
        {"turned.mp4", 180, 320, false, "h264,180,320,yuv420p,25/1", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.video);
        std::string src = media_ + "/" + c.video;
        transcode_outcome out =
            finish(transcode_start_proxy(src.c_str(), c.width, c.height, c.cap));
        ASSERT_TRUE(out.ok);
        EXPECT_EQ(out.path, proxy_path(src, c.width, c.height));
        EXPECT_EQ(probe(out.path), c.probed);
        std::string audio = run({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                                 "stream=codec_name", "-of", "csv=p=0", out.path});
        while (!audio.empty() && audio.back() == '\n')
            audio.pop_back();
        EXPECT_EQ(audio, c.audio);
    }
    std::vector<std::string> calls = ffmpeg_calls();
    ASSERT_EQ(calls.size(), 3u);
    for (const auto &line : calls)
        EXPECT_EQ(line.substr(line.find(' ') + 1), std::to_string(niced())) << line;
    for (const auto &e : entries(proxy_dir_))
        EXPECT_EQ(e.find(".part-"), std::string::npos) << e;

    // Made once: the same source at the same size starts nothing.
    std::string src = media_ + "/sound.mp4";
    EXPECT_TRUE(finish(transcode_start_proxy(src.c_str(), 320, 180, false)).ok);
    EXPECT_EQ(ffmpeg_calls().size(), 3u);
}

TEST_F(Convert, FailedJobLeavesNoFile) {
    // A cache that cannot take the whole file (as on a full disk) fails the
    // write, like a source ffmpeg cannot read; ffmpeg itself ends with status
    // 0 and a cut file unless told to stop at the first error.
    const struct {
        const char *name;
        const char *source;
        rlim_t file_limit;
        char job; // g: GIF conversion, p: poster, x: proxy
        const char *said;
    } cases[] = {
        {"proxy of an unreadable source", "broken.mp4", RLIM_INFINITY, 'x',
         "ffmpeg proxy failed: "},
        {"proxy into a cache without room", "sound.mp4", 4096, 'x', "ffmpeg proxy failed: "},
        {"GIF into a cache without room", "odd.gif", 4096, 'g', "ffmpeg gif failed: "},
        {"poster into a cache without room", "hd.mp4", 4096, 'p', "poster extract failed: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        struct rlimit old;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        struct rlimit limited = old;
        limited.rlim_cur = c.file_limit;
        void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        testing::internal::CaptureStderr();
        std::string src = media_ + "/" + c.source;
        transcode_job *job = c.job == 'g'   ? transcode_start_gif(src.c_str(), 10, 23, 4096, 4096)
                             : c.job == 'p' ? transcode_start_poster(src.c_str())
                                            : transcode_start_proxy(src.c_str(), 320, 180, false);
        transcode_outcome out = finish(job);
        std::string log = testing::internal::GetCapturedStderr();
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, old_handler);
        EXPECT_FALSE(out.ok);
        EXPECT_NE(log.find(c.said), std::string::npos) << log;
        EXPECT_EQ(entries(c.job == 'x' ? proxy_dir_ : dir_), std::set<std::string>{});
    }
}

} // namespace
