#include "still.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <pthread.h>
#include <unistd.h>

// epoxy's headers must come before the plain EGL ones.
#include <epoxy/egl.h>
#include <epoxy/gl.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "egl.h"
#include "log.h"

namespace {

struct still_job {
    pthread_t worker;
    int pipe_fds[2];
    char path[STILL_PATH_SIZE];
    int limit_width;
    int limit_height;
    uint8_t *pixels;
    int width;
    int height;
    bool reduced;
    int result;
    bool started;
    bool collected;
    std::atomic<unsigned char> cancel;
};

} // namespace

struct still_image {
    egl_state *egl;
    GLuint texture;
    int texture_width;
    int texture_height;
    int limit_width;
    int limit_height;
    bool reduced; // the shown texture is smaller than its source image
    char path[STILL_PATH_SIZE];
    int fade_ms;
    bool transition;
    bool fade_started;
    int64_t transition_requested_at; // now_ms() times
    int64_t shown_since;
    still_job *current;
    still_job *queued;
};

namespace {

int64_t elapsed_ms_since(int64_t since) {
    return now_ms() - since;
}

void job_free(still_job *job) {
    if (!job)
        return;
    if (job->pipe_fds[0] >= 0)
        close(job->pipe_fds[0]);
    if (job->pipe_fds[1] >= 0)
        close(job->pipe_fds[1]);
    free(job->pixels);
    delete job;
}

still_job *job_create(const char *path, int limit_width, int limit_height) {
    auto *job = new (std::nothrow) still_job{};
    if (!job)
        return nullptr;
    job->pipe_fds[0] = -1;
    job->pipe_fds[1] = -1;
    job->result = -1;
    if (pipe2(job->pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        log_error("still job pipe failed: %s", strerror(errno));
        job->pipe_fds[0] = -1;
        job->pipe_fds[1] = -1;
        job_free(job);
        return nullptr;
    }
    // Longer paths are cut; the open then fails and is reported as such.
    snprintf(job->path, sizeof job->path, "%s", path);
    job->limit_width = limit_width;
    job->limit_height = limit_height;
    return job;
}

void *job_run(void *arg) {
    auto *job = static_cast<still_job *>(arg);
    still_pixels out{};
    if (still_decode_file(job->path, job->limit_width, job->limit_height, &job->cancel, &out) ==
        0) {
        job->pixels = out.pixels;
        job->width = out.width;
        job->height = out.height;
        job->reduced = out.reduced;
        job->result = 0;
    } else {
        job->result = -1;
    }
    const char byte = 'x';
    while (write(job->pipe_fds[1], &byte, 1) < 0 && errno == EINTR) {
    }
    return nullptr;
}

int job_start(still_job *job) {
    int rc = pthread_create(&job->worker, nullptr, job_run, job);
    if (rc != 0) {
        log_error("still worker start failed: %s", strerror(rc));
        return -1;
    }
    job->started = true;
    return 0;
}

void job_join(still_job *job) {
    if (job->started && !job->collected) {
        pthread_join(job->worker, nullptr);
        job->collected = true;
    }
}

void delete_texture(still_image *image) {
    if (image->texture != 0 && egl_make_current_no_surface(image->egl) == 0)
        egl_delete_texture(image->egl, image->texture);
    image->texture = 0;
}

struct format_closer {
    void operator()(AVFormatContext *ctx) const {
        avformat_close_input(&ctx);
    }
};
struct codec_closer {
    void operator()(AVCodecContext *ctx) const {
        avcodec_free_context(&ctx);
    }
};
struct frame_closer {
    void operator()(AVFrame *frame) const {
        av_frame_free(&frame);
    }
};
struct packet_closer {
    void operator()(AVPacket *packet) const {
        av_packet_free(&packet);
    }
};
struct sws_closer {
    void operator()(SwsContext *ctx) const {
        sws_freeContext(ctx);
    }
};

bool cancelled(const std::atomic<unsigned char> *cancel) {
    return cancel && cancel->load() != 0;
}

// FFmpeg asks this during blocking reads, so a cancelled load stops there.
int interrupt_callback(void *opaque) {
    return cancelled(static_cast<const std::atomic<unsigned char> *>(opaque));
}

} // namespace

void still_target_size(int width, int height, int limit_width, int limit_height, int *target_width,
                       int *target_height) {
    *target_width = width;
    *target_height = height;
    if (limit_width <= 0 || limit_height <= 0 || width <= 0 || height <= 0)
        return;
    if (width <= limit_width && height <= limit_height)
        return;
    double scale = std::max(static_cast<double>(limit_width) / width,
                            static_cast<double>(limit_height) / height);
    scale = std::min(1.0, scale);
    int tw = static_cast<int>(width * scale);
    int th = static_cast<int>(height * scale);
    *target_width = tw < 1 ? 1 : tw;
    *target_height = th < 1 ? 1 : th;
}

float still_fade_alpha(int64_t elapsed_ms, int duration_ms, bool fade_out) {
    if (duration_ms <= 0)
        return fade_out ? 0.0f : 1.0f;
    if (elapsed_ms < duration_ms) {
        float t = static_cast<float>(elapsed_ms) / static_cast<float>(duration_ms);
        if (t < 0.0f)
            t = 0.0f;
        return fade_out ? 1.0f - t : t;
    }
    return fade_out ? 0.0f : 1.0f;
}

int still_decode_file(const char *path, int limit_width, int limit_height,
                      const std::atomic<unsigned char> *cancel, still_pixels *out) {
    *out = still_pixels{};
    AVFormatContext *raw_format = avformat_alloc_context();
    if (!raw_format)
        return -1;
    // Blocking reads inside FFmpeg stop soon after a cancel.
    raw_format->interrupt_callback.callback = interrupt_callback;
    raw_format->interrupt_callback.opaque = const_cast<std::atomic<unsigned char> *>(cancel);
    int rc = avformat_open_input(&raw_format, path, nullptr, nullptr);
    if (rc < 0) {
        // avformat_open_input frees the context on failure. A cancelled job
        // is not a failure worth reporting.
        if (!cancelled(cancel))
            log_error("avformat_open_input failed: %s", path);
        return -1;
    }
    std::unique_ptr<AVFormatContext, format_closer> format(raw_format);
    if (avformat_find_stream_info(format.get(), nullptr) < 0)
        return -1;

    int stream_index = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            stream_index = static_cast<int>(i);
            break;
        }
    }
    if (stream_index < 0)
        return -1;
    const AVCodecParameters *params = format->streams[stream_index]->codecpar;
    const AVCodec *codec = avcodec_find_decoder(params->codec_id);
    if (!codec)
        return -1;
    std::unique_ptr<AVCodecContext, codec_closer> decoder(avcodec_alloc_context3(codec));
    if (!decoder)
        return -1;
    if (avcodec_parameters_to_context(decoder.get(), params) < 0)
        return -1;
    decoder->max_pixels = STILL_MAX_PIXELS;
    decoder->thread_count = 2;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return -1;
    std::unique_ptr<AVFrame, frame_closer> frame(av_frame_alloc());
    std::unique_ptr<AVFrame, frame_closer> rgba(av_frame_alloc());
    std::unique_ptr<AVPacket, packet_closer> packet(av_packet_alloc());
    if (!frame || !rgba || !packet)
        return -1;

    bool have_frame = false;
    for (;;) {
        if (cancelled(cancel))
            return -1;
        if (av_read_frame(format.get(), packet.get()) < 0)
            break;
        if (packet->stream_index != stream_index) {
            av_packet_unref(packet.get());
            continue;
        }
        rc = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        // EAGAIN: the decoder must hand out frames first; try to take one.
        if (rc < 0 && rc != AVERROR(EAGAIN))
            break;
        if (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            have_frame = true;
            break;
        }
    }
    if (!have_frame || frame->width <= 0 || frame->height <= 0) {
        // Frame-threaded decoders may hold the frame until flushed.
        avcodec_send_packet(decoder.get(), nullptr);
        if (avcodec_receive_frame(decoder.get(), frame.get()) != 0)
            av_frame_unref(frame.get());
    }
    if (cancelled(cancel))
        return -1;
    if (frame->width <= 0 || frame->height <= 0)
        return -1;

    int target_width = 0;
    int target_height = 0;
    still_target_size(frame->width, frame->height, limit_width, limit_height, &target_width,
                      &target_height);
    std::unique_ptr<SwsContext, sws_closer> scaler(sws_getContext(
        frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), target_width,
        target_height, AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler)
        return -1;
    rgba->format = AV_PIX_FMT_RGBA;
    rgba->width = target_width;
    rgba->height = target_height;
    if (av_frame_get_buffer(rgba.get(), 0) < 0 || cancelled(cancel))
        return -1;
    if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, rgba->data,
                  rgba->linesize) <= 0)
        return -1;

    size_t row = static_cast<size_t>(target_width) * 4;
    auto *pixels = static_cast<uint8_t *>(malloc(row * static_cast<size_t>(target_height)));
    if (!pixels)
        return -1;
    for (int y = 0; y < target_height; ++y)
        memcpy(pixels + row * static_cast<size_t>(y),
               rgba->data[0] + static_cast<ptrdiff_t>(rgba->linesize[0]) * y, row);
    out->pixels = pixels;
    out->width = target_width;
    out->height = target_height;
    out->reduced = target_width != frame->width || target_height != frame->height;
    return 0;
}

still_image *still_create(egl_state *egl) {
    auto *image = new (std::nothrow) still_image{};
    if (!image)
        return nullptr;
    image->egl = egl;
    image->fade_ms = STILL_DEFAULT_FADE_MS;
    return image;
}

void still_destroy(still_image *image) {
    if (!image)
        return;
    still_cancel(image);
    delete_texture(image);
    if (image->current) {
        job_join(image->current);
        job_free(image->current);
    }
    job_free(image->queued);
    delete image;
}

int still_load(still_image *image, const char *path, int limit_width, int limit_height) {
    if (!image || !path || !path[0])
        return -1;
    still_job *job = job_create(path, limit_width, limit_height);
    if (!job)
        return -1;
    if (image->current && !image->current->collected) {
        // Its worker may still run: cancel it and wait behind it; of several
        // loads issued meanwhile only the last survives.
        image->current->cancel.exchange(1);
        job_free(image->queued);
        image->queued = job;
        return 0;
    }
    if (image->current) {
        job_free(image->current);
        image->current = nullptr;
    }
    if (job_start(job) != 0) {
        job_free(job);
        return -1;
    }
    image->current = job;
    return 0;
}

void still_cancel(still_image *image) {
    if (!image)
        return;
    job_free(image->queued);
    image->queued = nullptr;
    if (image->current) {
        image->current->cancel.exchange(1);
        if (image->current->collected) {
            job_free(image->current);
            image->current = nullptr;
        }
    }
}

void still_clear(still_image *image) {
    if (!image)
        return;
    still_cancel(image);
    delete_texture(image);
    image->fade_started = false;
    image->path[0] = '\0';
}

int still_fd(const still_image *image) {
    if (!image || !image->current)
        return -1;
    return image->current->pipe_fds[0];
}

bool still_busy(const still_image *image) {
    return image && image->current;
}

int still_collect(still_image *image) {
    if (!image || !image->current)
        return 0;
    still_job *job = image->current;
    if (!job->collected) {
        char byte = 0;
        ssize_t n = read(job->pipe_fds[0], &byte, 1);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return 0;
        if (n != 1) {
            log_error("still job read failed");
            job_join(job);
            job_free(job);
            image->current = nullptr;
            return -1;
        }
        job_join(job);
        if (job->cancel.load() != 0) {
            job_free(job);
            image->current = image->queued;
            image->queued = nullptr;
            if (image->current && job_start(image->current) != 0) {
                job_free(image->current);
                image->current = nullptr;
                return -1;
            }
            return 0;
        }
        if (job->result != 0 || !job->pixels) {
            log_error("still decode failed: %s", job->path);
            job_free(job);
            image->current = nullptr;
            return -1;
        }
    }

    // Without the GL context the pixels wait; a later call uploads them.
    if (egl_make_current_no_surface(image->egl) != 0)
        return 0;
    GLuint texture = egl_upload_texture(image->egl, job->pixels, job->width, job->height);
    if (texture == 0) {
        log_error("still texture upload failed");
        job_free(job);
        image->current = nullptr;
        return -1;
    }
    if (image->texture != 0)
        egl_delete_texture(image->egl, image->texture);
    image->texture = texture;
    image->texture_width = job->width;
    image->texture_height = job->height;
    image->limit_width = job->limit_width;
    image->limit_height = job->limit_height;
    image->reduced = job->reduced;
    image->fade_started = false;
    snprintf(image->path, sizeof image->path, "%s", job->path);
    image->shown_since = now_ms();
    log_info("still loaded %s (%dx%d)", image->path, image->texture_width, image->texture_height);
    job_free(job);
    image->current = nullptr;
    return 1;
}

bool still_has_texture(const still_image *image) {
    return image && image->texture != 0;
}

const char *still_path(const still_image *image) {
    return image ? image->path : "";
}

void still_limits(const still_image *image, int *limit_width, int *limit_height) {
    *limit_width = image ? image->limit_width : 0;
    *limit_height = image ? image->limit_height : 0;
}

bool still_reduced(const still_image *image) {
    return image && image->reduced;
}

void still_set_fade(still_image *image, int ms) {
    if (image)
        image->fade_ms = ms;
}

void still_begin_transition(still_image *image, int ms) {
    if (!image)
        return;
    image->transition = true;
    image->fade_started = false;
    image->fade_ms = ms;
    image->transition_requested_at = now_ms();
}

bool still_transition_pending(still_image *image) {
    if (!image || !image->transition || !image->current)
        return false;
    if (image->current->cancel.load() != 0 && !image->queued)
        return false;
    if (elapsed_ms_since(image->transition_requested_at) < STILL_TRANSITION_WAIT_MS)
        return true;
    log_warn("Transition image timed out, showing video: %s",
             image->queued ? image->queued->path : image->current->path);
    still_clear(image);
    return false;
}

bool still_transition_done(const still_image *image) {
    if (!image || image->texture == 0 || !image->transition || !image->fade_started)
        return false;
    return image->fade_ms <= 0 || elapsed_ms_since(image->shown_since) >= image->fade_ms;
}

bool still_animating(const still_image *image) {
    if (!image || image->texture == 0 || image->fade_ms < 1)
        return false;
    if (image->transition && !image->fade_started)
        return true;
    return elapsed_ms_since(image->shown_since) < image->fade_ms;
}

void still_draw(still_image *image, int32_t target_width, int32_t target_height) {
    if (!image || image->texture == 0)
        return;
    float alpha =
        still_fade_alpha(elapsed_ms_since(image->shown_since), image->fade_ms, image->transition);
    egl_draw_texture(image->egl, image->texture, image->texture_width, image->texture_height,
                     target_width, target_height, alpha);
}

void still_draw_overlay(still_image *image, int32_t target_width, int32_t target_height) {
    if (!image || image->texture == 0)
        return;
    if (!image->fade_started) {
        image->shown_since = now_ms();
        image->fade_started = true;
    }
    float alpha = still_fade_alpha(elapsed_ms_since(image->shown_since), image->fade_ms, true);
    if (alpha <= 0.0f)
        return;
    egl_draw_texture_blended(image->egl, image->texture, image->texture_width,
                             image->texture_height, target_width, target_height, alpha);
}
