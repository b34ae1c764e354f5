#include "transcode.h"

#include "log.h"
#include "paths.h"
#include "proc.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

struct transcode_job {
    pthread_t thread;
    int fd;
    unsigned char joined;
    unsigned char cancel; // written only through __atomic builtins
    int32_t ok;
    char result[TRANSCODE_RESULT_SIZE];
    char source[TRANSCODE_SOURCE_SIZE];
    int32_t kind;
    int32_t fps, crf, max_width, max_height;
};

namespace {

enum {
    DIR_SIZE = 1024,
    KEY_SIZE = 1280, // keys are cut to 1279 bytes before hashing
    TEMP_SIZE = 1056,
    FILTER_SIZE = 256,
    CAPTURE_SIZE = 4096,
    GIF_TIME_LIMIT_MS = 300000,
    POSTER_TIME_LIMIT_MS = 120000,
    // A long 4K film on a small machine at a careful preset: hours, not
    // minutes. Only a conversion that hangs meets this.
    PROXY_TIME_LIMIT_MS = 6 * 3600 * 1000,
    PROXY_CRF = 18,
    PROXY_MAX_FPS = 60,
    MAX_THREADS = 4,
    PRUNE_START_RECORDS = 32,
};

enum job_kind : int32_t {
    JOB_POSTER = 0,
    JOB_GIF = 1,
    JOB_PROXY = 2,
};

constexpr uint64_t HASH_START = 0x14650fb0739d0383ULL;
constexpr uint64_t HASH_PRIME = 0x100000001b3ULL;
constexpr time_t ABANDONED_AFTER_S = 86400;
constexpr long long MIB = 1048576;

std::atomic<int> g_cache_limit_mb{512};
std::atomic<int> g_proxy_limit_mb{2048};

struct dir_closer {
    void operator()(DIR *d) const {
        closedir(d);
    }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// The cache directory, created with its parents.
int cache_dir(char *dir, size_t size) {
    if (path_gif_cache_dir(dir, size) != 0)
        return -1;
    return mkdir_p(dir);
}

int proxy_dir(char *dir, size_t size) {
    if (path_proxy_cache_dir(dir, size) != 0)
        return -1;
    return mkdir_p(dir);
}

// ffmpeg's error text on one log line.
const char *one_line(char *text) {
    for (char *p = text; *p; p++) {
        if (*p == '\n' || *p == '\r')
            *p = ' ';
    }
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == ' ')
        text[--n] = '\0';
    return text;
}

// An empty, owner-only temporary file beside final_path whose name carries
// ".part-" and keeps the product's suffix so ffmpeg picks the right muxer.
int make_temp(const char *final_path, const char *suffix, char *tmp, size_t size) {
    int n = snprintf(tmp, size, "%s.part-XXXXXX%s", final_path, suffix);
    if (n < 0 || (size_t)n >= size) {
        log_error("cache path too long: %s", final_path);
        return -1;
    }
    int fd = mkostemps(tmp, (int)strlen(suffix), O_CLOEXEC);
    if (fd < 0) {
        log_error("cannot create %s: %s", tmp, strerror(errno));
        return -1;
    }
    close(fd);
    return 0;
}

int thread_count(void) {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 1)
        return 1;
    return n > MAX_THREADS ? MAX_THREADS : (int)n;
}

bool cancelled(transcode_job *job) {
    return __atomic_load_n(&job->cancel, __ATOMIC_SEQ_CST) & 1u;
}

// Moves a finished temporary file to its final name; removes it instead when
// the job was cancelled or ffmpeg left nothing usable.
bool publish(transcode_job *job, const char *tmp, const char *final_path) {
    if (cancelled(job) || !transcode_file_ready(tmp) || rename(tmp, final_path) != 0) {
        unlink(tmp);
        return false;
    }
    return true;
}

// Runs ffmpeg into the temporary file and publishes it under its final name.
// A cancelled run was killed on purpose: nothing to report.
bool produce(transcode_job *job, const char *const *argv, int limit_ms, const char *failure,
             const char *tmp, const char *final_path) {
    char output[CAPTURE_SIZE];
    if (proc_run_cancellable(argv[0], (char *const *)argv, output, sizeof output, limit_ms,
                             &job->cancel) != 0) {
        if (!cancelled(job))
            log_error("%s: %s", failure, one_line(output));
        unlink(tmp);
        return false;
    }
    return publish(job, tmp, final_path);
}

bool transcode_gif(transcode_job *job, char *result, size_t size) {
    char final_path[TRANSCODE_RESULT_SIZE];
    if (transcode_gif_cache_path(job->source, job->fps, job->crf, job->max_width, job->max_height,
                                 final_path, sizeof final_path) != 0)
        return false;
    if (transcode_file_ready(final_path)) {
        snprintf(result, size, "%s", final_path);
        return true;
    }

    char threads[16], crf[16], fps[16];
    snprintf(threads, sizeof threads, "%d", thread_count());
    snprintf(crf, sizeof crf, "%d", (int)job->crf);
    snprintf(fps, sizeof fps, "%d", (int)job->fps);
    // Square pixels first: a GIF's pixel-aspect byte is ignored by browsers
    // and image viewers, and honouring it stretches the picture. Then
    // resample, shrink to fit (never enlarge), round both sides down to even
    // numbers of at least 2 as 4:2:0 needs, and convert to 4:2:0.
    char filter[FILTER_SIZE];
    snprintf(filter, sizeof filter,
             "setsar=1,fps=%d,scale='min(iw,%d)':'min(ih,%d)':force_original_aspect_ratio=decrease:"
             "flags=lanczos,scale='max(2,trunc(iw/2)*2)':'max(2,trunc(ih/2)*2)',format=yuv420p",
             (int)job->fps, (int)job->max_width, (int)job->max_height);

    char tmp[TEMP_SIZE];
    if (make_temp(final_path, ".mp4", tmp, sizeof tmp) != 0)
        return false;
    log_info("transcoding gif %s -> %s", job->source, final_path);

    // A GIF with no frame in it (a header alone) would still exit 0 with an
    // MP4 that holds no picture, which the renderer refuses only once the
    // load has timed out: an output without a frame fails the run instead.
    // Without -xerror a write that fails (a full disk) also ends with 0.
    const char *argv[] = {
        "ffmpeg",     "-y",           "-v",       "error",     "-nostdin", "-xerror",
        "-abort_on",  "empty_output", "-i",       job->source, "-map",     "0:v:0",
        "-vf",        filter,         "-an",      "-c:v",      "libx264",  "-threads",
        threads,      "-preset",      "veryfast", "-crf",      crf,        "-movflags",
        "+faststart", "-r",           fps,        tmp,         nullptr};
    if (!produce(job, argv, GIF_TIME_LIMIT_MS, "ffmpeg gif failed", tmp, final_path))
        return false;
    snprintf(result, size, "%s", final_path);
    log_info("gif cached %s", final_path);
    transcode_prune_cache(final_path, job->source);
    return true;
}

bool transcode_poster(transcode_job *job, char *result, size_t size) {
    char final_path[TRANSCODE_RESULT_SIZE];
    if (transcode_poster_cache_path(job->source, final_path, sizeof final_path) != 0)
        return false;
    if (transcode_file_ready(final_path)) {
        snprintf(result, size, "%s", final_path);
        return true;
    }
    char tmp[TEMP_SIZE];
    if (make_temp(final_path, ".png", tmp, sizeof tmp) != 0)
        return false;

    // The first frame, at most 2560 wide, never enlarged, even height; a
    // write that fails is a failed run (-xerror), not a cut poster.
    const char *argv[] = {
        "ffmpeg",  "-y",        "-v",        "error", "-nostdin",
        "-xerror", "-i",        job->source, "-an",   "-map",
        "0:v:0",   "-frames:v", "1",         "-vf",   "scale=w='min(2560,iw)':h=-2",
        tmp,       nullptr};
    if (!produce(job, argv, POSTER_TIME_LIMIT_MS, "poster extract failed", tmp, final_path))
        return false;
    snprintf(result, size, "%s", final_path);
    transcode_prune_cache(final_path, job->source);
    return true;
}

bool transcode_proxy(transcode_job *job, char *result, size_t size) {
    char final_path[TRANSCODE_RESULT_SIZE];
    if (transcode_proxy_cache_path(job->source, job->max_width, job->max_height, final_path,
                                   sizeof final_path) != 0)
        return false;
    if (transcode_file_ready(final_path)) {
        snprintf(result, size, "%s", final_path);
        return true;
    }
    char threads[16], crf[16];
    snprintf(threads, sizeof threads, "%d", thread_count());
    snprintf(crf, sizeof crf, "%d", (int)PROXY_CRF);
    // ffmpeg has already turned a rotated picture upright when the filter
    // runs, so the size is the one shown.
    char filter[FILTER_SIZE];
    snprintf(filter, sizeof filter, "%sscale=%d:%d:flags=lanczos,format=yuv420p",
             job->fps ? "fps=60," : "", (int)job->max_width, (int)job->max_height);
    char tmp[TEMP_SIZE];
    if (make_temp(final_path, ".mkv", tmp, sizeof tmp) != 0)
        return false;
    log_info("making proxy %dx%d of %s -> %s", (int)job->max_width, (int)job->max_height,
             job->source, final_path);

    // Matroska takes any sound the source has, so it is copied unchanged.
    // The conversion runs once and is then watched for hours: a careful
    // preset, at a priority that leaves the desktop alone. Without -xerror
    // ffmpeg ends with status 0 when the disk fills up under it, leaving a
    // cut file.
    const char *argv[] = {"nice",      "-n",       "10",      "ffmpeg",    "-y",           "-v",
                          "error",     "-nostdin", "-xerror", "-abort_on", "empty_output", "-i",
                          job->source, "-map",     "0:v:0",   "-map",      "0:a:0?",       "-vf",
                          filter,      "-c:v",     "libx264", "-preset",   "medium",       "-crf",
                          crf,         "-threads", threads,   "-c:a",      "copy",         "-sn",
                          "-dn",       tmp,        nullptr};
    if (!produce(job, argv, PROXY_TIME_LIMIT_MS, "ffmpeg proxy failed", tmp, final_path))
        return false;
    snprintf(result, size, "%s", final_path);
    log_info("proxy cached %s", final_path);
    transcode_prune_proxies(final_path, nullptr);
    return true;
}

void *job_main(void *arg) {
    transcode_job *job = (transcode_job *)arg;
    char result[TRANSCODE_RESULT_SIZE] = "";
    bool ok = job->kind == JOB_GIF     ? transcode_gif(job, result, sizeof result)
              : job->kind == JOB_PROXY ? transcode_proxy(job, result, sizeof result)
                                       : transcode_poster(job, result, sizeof result);
    job->ok = ok ? 1 : 0;
    if (ok)
        memcpy(job->result, result, sizeof result);
    uint64_t one = 1;
    while (write(job->fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    return nullptr;
}

transcode_job *job_start(const char *source, int32_t kind, int fps, int crf, int max_width,
                         int max_height) {
    // A cut path would name another file.
    if (!source || !source[0] || strlen(source) >= TRANSCODE_SOURCE_SIZE)
        return nullptr;
    transcode_job *job = (transcode_job *)calloc(1, sizeof *job);
    if (!job)
        return nullptr;
    memcpy(job->source, source, strlen(source) + 1);
    job->kind = kind;
    job->fps = fps;
    job->crf = crf;
    job->max_width = max_width;
    job->max_height = max_height;
    job->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (job->fd < 0) {
        free(job);
        return nullptr;
    }
    if (pthread_create(&job->thread, nullptr, job_main, job) != 0) {
        close(job->fd);
        free(job);
        return nullptr;
    }
    return job;
}

struct cache_file {
    char *path;
    time_t mtime;
    long long size;
};

int by_age(const void *a, const void *b) {
    time_t x = ((const cache_file *)a)->mtime;
    time_t y = ((const cache_file *)b)->mtime;
    return x < y ? -1 : x > y ? 1 : 0;
}

bool same_path(const char *a, const char *b) {
    return b && strcmp(a, b) == 0;
}

// Deletes the oldest files in dir until it holds no more than limit_mb.
void prune_dir(const char *dir, int limit_mb, const char *keep1, const char *keep2) {
    if (limit_mb < 1)
        return;
    dir_ptr d(opendir(dir));
    if (!d)
        return;

    size_t count = 0, room = PRUNE_START_RECORDS;
    cache_file *files = (cache_file *)malloc(room * sizeof *files);
    if (!files)
        return;
    long long total = 0;
    while (struct dirent *e = readdir(d.get())) {
        if (e->d_name[0] == '.' || strstr(e->d_name, ".part-"))
            continue;
        char path[DIR_SIZE];
        int n = snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
        if (n < 0 || (size_t)n >= sizeof path)
            continue;
        struct stat st;
        if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (count == room) {
            cache_file *grown = (cache_file *)realloc(files, room * 2 * sizeof *files);
            if (!grown)
                break;
            files = grown;
            room *= 2;
        }
        char *copy = strdup(path);
        if (!copy)
            break;
        files[count++] = {copy, st.st_mtime, (long long)st.st_size};
        total += st.st_size;
    }

    long long limit = (long long)limit_mb * MIB;
    if (total > limit) {
        qsort(files, count, sizeof *files, by_age);
        for (size_t i = 0; i < count && total > limit; i++) {
            if (same_path(files[i].path, keep1) || same_path(files[i].path, keep2))
                continue;
            if (unlink(files[i].path) == 0) {
                total -= files[i].size;
                log_info("cache pruned %s", files[i].path);
            }
        }
    }
    for (size_t i = 0; i < count; i++)
        free(files[i].path);
    free(files);
}

void sweep_dir(const char *dir) {
    dir_ptr d(opendir(dir));
    if (!d)
        return;
    time_t now = time(nullptr);
    while (struct dirent *e = readdir(d.get())) {
        if (!strstr(e->d_name, ".part-"))
            continue;
        char path[DIR_SIZE];
        int n = snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
        if (n < 0 || (size_t)n >= sizeof path)
            continue;
        struct stat st;
        if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        // A young one may still be written by a running conversion.
        if (st.st_mtime > now || now - st.st_mtime < ABANDONED_AFTER_S)
            continue;
        if (unlink(path) == 0)
            log_info("removed abandoned conversion %s", e->d_name);
    }
}

struct format_closer {
    void operator()(AVFormatContext *ctx) const {
        avformat_close_input(&ctx);
    }
};
using format_ptr = std::unique_ptr<AVFormatContext, format_closer>;

// Even, at least 2, rounded up or down.
int even_up(int v) {
    return v < 2 ? 2 : v + (v & 1);
}
int even_down(int v) {
    return v < 2 ? 2 : v - (v & 1);
}

} // namespace

uint64_t transcode_hash(const char *text) {
    uint64_t h = HASH_START;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        h = (h ^ *p) * HASH_PRIME;
    return h;
}

int transcode_gif_cache_path(const char *source, int fps, int crf, int max_width, int max_height,
                             char *out, size_t size) {
    char dir[DIR_SIZE];
    struct stat st;
    if (!source || !out || cache_dir(dir, sizeof dir) != 0 || stat(source, &st) != 0)
        return -1;
    char key[KEY_SIZE];
    // v3: converted with square pixels; older products may be stretched.
    snprintf(key, sizeof key, "gif-v3|%s|%lld|%lld|%ld|%lld|%ld|%d|%d|%d|%d", source,
             (long long)st.st_size, (long long)st.st_mtim.tv_sec, (long)st.st_mtim.tv_nsec,
             (long long)st.st_ctim.tv_sec, (long)st.st_ctim.tv_nsec, fps, crf, max_width,
             max_height);
    int n = snprintf(out, size, "%s/%016" PRIx64 ".mp4", dir, transcode_hash(key));
    return n < 0 || (size_t)n >= size ? -1 : 0;
}

int transcode_poster_cache_path(const char *source, char *out, size_t size) {
    char dir[DIR_SIZE];
    struct stat st;
    if (!source || !out || cache_dir(dir, sizeof dir) != 0 || stat(source, &st) != 0)
        return -1;
    char key[KEY_SIZE];
    snprintf(key, sizeof key, "poster-v2|%s|%lld|%lld|%ld|%lld|%ld", source, (long long)st.st_size,
             (long long)st.st_mtim.tv_sec, (long)st.st_mtim.tv_nsec, (long long)st.st_ctim.tv_sec,
             (long)st.st_ctim.tv_nsec);
    int n = snprintf(out, size, "%s/poster-%016" PRIx64 ".png", dir, transcode_hash(key));
    return n < 0 || (size_t)n >= size ? -1 : 0;
}

bool transcode_file_ready(const char *path) {
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

transcode_job *transcode_start_gif(const char *source, int fps, int crf, int max_width,
                                   int max_height) {
    return job_start(source, JOB_GIF, fps, crf, max_width, max_height);
}

transcode_job *transcode_start_poster(const char *source) {
    return job_start(source, JOB_POSTER, 0, 0, 0, 0);
}

int transcode_job_fd(const transcode_job *job) {
    return job ? job->fd : -1;
}

const char *transcode_job_source(const transcode_job *job) {
    return job ? job->source : "";
}

int transcode_job_collect(transcode_job *job, transcode_outcome *out) {
    if (!job || job->joined)
        return -1;
    uint64_t count = 0;
    ssize_t n;
    do {
        n = read(job->fd, &count, sizeof count);
    } while (n < 0 && errno == EINTR);
    if (n != (ssize_t)sizeof count)
        return -1;
    pthread_join(job->thread, nullptr);
    job->joined = 1;
    if (out) {
        out->ok = job->ok == 1;
        memcpy(out->path, job->result, sizeof out->path);
    }
    return 0;
}

void transcode_job_free(transcode_job *job) {
    if (!job)
        return;
    if (!job->joined) {
        __atomic_exchange_n(&job->cancel, (unsigned char)1, __ATOMIC_SEQ_CST);
        pthread_join(job->thread, nullptr);
        job->joined = 1;
    }
    close(job->fd);
    free(job);
}

void transcode_set_cache_limit(int mb) {
    g_cache_limit_mb.store(mb);
}

void transcode_prune_cache(const char *keep1, const char *keep2) {
    char dir[DIR_SIZE];
    if (path_gif_cache_dir(dir, sizeof dir) == 0)
        prune_dir(dir, g_cache_limit_mb.load(), keep1, keep2);
}

void transcode_set_proxy_limit(int mb) {
    g_proxy_limit_mb.store(mb);
}

void transcode_prune_proxies(const char *keep1, const char *keep2) {
    char dir[DIR_SIZE];
    if (path_proxy_cache_dir(dir, sizeof dir) == 0)
        prune_dir(dir, g_proxy_limit_mb.load(), keep1, keep2);
}

void transcode_sweep_partials(void) {
    char dir[DIR_SIZE];
    if (path_gif_cache_dir(dir, sizeof dir) == 0)
        sweep_dir(dir);
    if (path_proxy_cache_dir(dir, sizeof dir) == 0)
        sweep_dir(dir);
}

int transcode_proxy_cache_path(const char *source, int width, int height, char *out, size_t size) {
    char dir[DIR_SIZE];
    struct stat st;
    if (!source || !out || proxy_dir(dir, sizeof dir) != 0 || stat(source, &st) != 0)
        return -1;
    char key[KEY_SIZE];
    snprintf(key, sizeof key, "proxy-v1|%s|%lld|%lld|%ld|%d|%d", source, (long long)st.st_size,
             (long long)st.st_mtim.tv_sec, (long)st.st_mtim.tv_nsec, width, height);
    int n = snprintf(out, size, "%s/%016" PRIx64 ".mkv", dir, transcode_hash(key));
    return n < 0 || (size_t)n >= size ? -1 : 0;
}

transcode_job *transcode_start_proxy(const char *source, int width, int height, bool cap_fps) {
    if (width < 2 || height < 2)
        return nullptr;
    return job_start(source, JOB_PROXY, cap_fps ? 1 : 0, 0, width, height);
}

int transcode_probe_video(const char *path, transcode_video_info *out) {
    if (!path || !out)
        return -1;
    *out = transcode_video_info{};
    static bool quiet = false;
    if (!quiet) {
        // A file it cannot read is said once, below, not in FFmpeg's words.
        av_log_set_level(AV_LOG_QUIET);
        quiet = true;
    }
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path, nullptr, nullptr) < 0) {
        log_warn("cannot read video %s", path);
        return -1;
    }
    format_ptr ctx(raw);
    int index = av_find_best_stream(ctx.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVStream *st = index >= 0 ? ctx->streams[index] : nullptr;
    // Formats whose header leaves size or rate open are read a little further.
    if (!st || st->codecpar->width <= 0 || st->avg_frame_rate.num <= 0) {
        if (avformat_find_stream_info(ctx.get(), nullptr) < 0) {
            log_warn("cannot read video %s", path);
            return -1;
        }
        index = av_find_best_stream(ctx.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        st = index >= 0 ? ctx->streams[index] : nullptr;
    }
    if (!st || st->codecpar->width <= 0 || st->codecpar->height <= 0) {
        log_warn("no video stream in %s", path);
        return -1;
    }
    out->width = st->codecpar->width;
    out->height = st->codecpar->height;
    AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate
                                                                               : st->r_frame_rate;
    out->fps = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
    const uint8_t *matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    if (matrix) {
        double turn = av_display_rotation_get((const int32_t *)matrix);
        long quarter = std::lround(std::fabs(turn) / 90.0);
        if (!std::isnan(turn) && quarter % 2 == 1) {
            out->width = st->codecpar->height;
            out->height = st->codecpar->width;
        }
    }
    return 0;
}

bool transcode_proxy_size(int width, int height, double fps, int out_width, int out_height,
                          int *proxy_width, int *proxy_height) {
    if (width < 2 || height < 2 || out_width < 1 || out_height < 1)
        return false;
    // The scale at which the video just covers the buffer.
    double scale = std::max((double)out_width / width, (double)out_height / height);
    bool oversized = scale * scale * 1.5 <= 1.0;
    if (!oversized && !(fps > (double)PROXY_MAX_FPS))
        return false;
    int w = even_down(width), h = even_down(height);
    if (scale < 1.0) {
        // Rounding up keeps it covering; never beyond the video's own size.
        w = std::min(even_up((int)std::ceil(width * scale - 1e-9)), w);
        h = std::min(even_up((int)std::ceil(height * scale - 1e-9)), h);
    }
    if (proxy_width)
        *proxy_width = w;
    if (proxy_height)
        *proxy_height = h;
    return true;
}
