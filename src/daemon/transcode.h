// The media cache: GIF backgrounds converted once into H.264 MP4 videos and
// poster stills of videos, made by the ffmpeg program on a worker thread (a
// job) and kept under $XDG_CACHE_HOME/kiv/gif, named by a hash of the
// source's identity and, for GIFs, of the conversion settings. Beside it,
// under $XDG_CACHE_HOME/kiv/proxy, smaller copies (proxies) of videos far
// larger or faster than the outputs need, with a size limit of their own.
#pragma once

#include <cstddef>
#include <cstdint>

struct transcode_job;

enum {
    TRANSCODE_RESULT_SIZE = 4096, // a job's result path: at most 4095 bytes
    TRANSCODE_SOURCE_SIZE = 1024, // a job's source path: at most 1023 bytes
};

struct transcode_outcome {
    bool ok;
    char path[TRANSCODE_RESULT_SIZE]; // the cached file when ok
};

// The cache's name hash of text (64-bit FNV-1a with its own start value).
uint64_t transcode_hash(const char *text);

// Cache paths of the converted GIF and of a video's poster. The cache
// directory is created on the way; -1 when it cannot be, when the source
// cannot be stat'ed or when the path does not fit.
int transcode_gif_cache_path(const char *source, int fps, int crf, int max_width, int max_height,
                             char *out, size_t size);
int transcode_poster_cache_path(const char *source, char *out, size_t size);
// The proxy of source at width x height, named by the source's path, size and
// modification time and by that size; -1 as above.
int transcode_proxy_cache_path(const char *source, int width, int height, char *out, size_t size);
// Exists, is a regular file and is not empty.
bool transcode_file_ready(const char *path);

// A running job, or null when its descriptor or thread cannot be made (or the
// source path is too long to name the same file).
transcode_job *transcode_start_gif(const char *source, int fps, int crf, int max_width,
                                   int max_height);
transcode_job *transcode_start_poster(const char *source);
// A proxy of source at width x height (H.264 4:2:0, audio copied), at most
// 60 frames a second when cap_fps; ffmpeg runs at low priority.
transcode_job *transcode_start_proxy(const char *source, int width, int height, bool cap_fps);
// Readable once the worker has finished; -1 for a null job.
int transcode_job_fd(const transcode_job *job);
// The job's source path; "" for a null job.
const char *transcode_job_source(const transcode_job *job);
// After the descriptor became readable: joins the worker and gives its
// outcome; -1 (job untouched) when no completion record could be read.
int transcode_job_collect(transcode_job *job, transcode_outcome *out);
// Cancels a running job (kills its ffmpeg, waits for the worker to clean up)
// and frees it.
void transcode_job_free(transcode_job *job);

// The cache size limit in MiB; 0 or below disables pruning.
void transcode_set_cache_limit(int mb);
// Deletes the oldest cache files until the cache fits its limit, never keep1
// or keep2 (either may be null).
void transcode_prune_cache(const char *keep1, const char *keep2);
// The same for the proxy cache, with its own limit.
void transcode_set_proxy_limit(int mb);
void transcode_prune_proxies(const char *keep1, const char *keep2);
// Removes temporary files that killed conversions left, once a day old, from
// both caches.
void transcode_sweep_partials(void);

// What the proxy decision needs to know of a video file.
struct transcode_video_info {
    int width; // as displayed: sides swapped for a picture turned a quarter
    int height;
    double fps; // 0 when the file does not say
};
// Reads the file's header (no process, no decoding where the header says
// enough); -1 when it holds no video stream or cannot be read.
int transcode_probe_video(const char *path, transcode_video_info *out);
// Whether a width x height video at fps needs a proxy on outputs whose
// largest buffer is out_width x out_height: its frame has at least 1.5 times
// the pixels needed to cover that buffer, or it runs faster than 60 frames a
// second. When it does, the proxy's size: the smallest that covers the
// buffer with the video's aspect (never larger than the video), even sides.
bool transcode_proxy_size(int width, int height, double fps, int out_width, int out_height,
                          int *proxy_width, int *proxy_height);
