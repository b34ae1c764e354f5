#include "still.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
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
#include <libavutil/display.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "egl.h"
#include "log.h"
#include "orientation.h"
#include "pixels.h"

namespace {

// An SVG picture is first drawn this wide to learn its aspect ratio.
constexpr int SVG_PROBE_WIDTH = 512;
// The largest side a picture is drawn at for the outputs.
constexpr double SVG_MAX_SIDE = 8192.0;

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
    bool premultiply; // for drawing on the CPU
    int result;
    bool started;
    bool collected;
    std::atomic<unsigned char> cancel;
};

// The shown image laid onto one output size by one fit.
struct scaled_picture {
    uint8_t *pixels; // none: a free entry
    int width;
    int height;
    picture_fit fit;
};

constexpr int PICTURE_SIZES = 4;

} // namespace

struct still_image {
    egl_state *egl; // none: the image is drawn on the CPU
    GLuint texture;
    // Without GL: the shown image, premultiplied RGBA, and its pictures.
    uint8_t *cpu_pixels;
    scaled_picture pictures[PICTURE_SIZES];
    int next_picture; // the entry a new size replaces
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

bool shown(const still_image *image) {
    return image->texture != 0 || image->cpu_pixels;
}

void free_pictures(still_image *image) {
    for (scaled_picture &p : image->pictures) {
        free(p.pixels);
        p = {};
    }
    image->next_picture = 0;
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
        if (job->premultiply) {
            pixels_premultiply(out.pixels, static_cast<size_t>(out.width) * out.height);
        }
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
    free(image->cpu_pixels);
    image->cpu_pixels = nullptr;
    free_pictures(image);
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

using codec_ptr = std::unique_ptr<AVCodecContext, codec_closer>;

// A decoder for the stream's codec. svg_width above 0: SVG pictures are drawn
// that many pixels wide, their aspect ratio kept.
codec_ptr open_decoder(const AVCodecParameters *params, int svg_width) {
    const AVCodec *codec = avcodec_find_decoder(params->codec_id);
    if (!codec)
        return nullptr;
    codec_ptr decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), params) < 0)
        return nullptr;
    decoder->max_pixels = STILL_MAX_PIXELS;
    decoder->thread_count = 2;
    AVDictionary *options = nullptr;
    if (svg_width > 0)
        av_dict_set_int(&options, "width", svg_width, 0);
    int rc = avcodec_open2(decoder.get(), codec, &options);
    av_dict_free(&options);
    if (rc < 0)
        return nullptr;
    return decoder;
}

// The first frame of the stream; keep, when given, receives the packet it
// came from.
int first_frame(AVFormatContext *format, int stream_index, AVCodecContext *decoder,
                const std::atomic<unsigned char> *cancel, AVFrame *frame, AVPacket *keep) {
    std::unique_ptr<AVPacket, packet_closer> packet(av_packet_alloc());
    if (!packet)
        return -1;
    bool have_frame = false;
    for (;;) {
        if (cancelled(cancel))
            return -1;
        if (av_read_frame(format, packet.get()) < 0)
            break;
        if (packet->stream_index != stream_index) {
            av_packet_unref(packet.get());
            continue;
        }
        if (keep && !keep->data && av_packet_ref(keep, packet.get()) < 0)
            return -1;
        int rc = avcodec_send_packet(decoder, packet.get());
        av_packet_unref(packet.get());
        // EAGAIN: the decoder must hand out frames first; try to take one.
        if (rc < 0 && rc != AVERROR(EAGAIN))
            break;
        if (avcodec_receive_frame(decoder, frame) == 0) {
            have_frame = true;
            break;
        }
    }
    if (!have_frame || frame->width <= 0 || frame->height <= 0) {
        // Frame-threaded decoders may hold the frame until flushed.
        avcodec_send_packet(decoder, nullptr);
        if (avcodec_receive_frame(decoder, frame) != 0)
            av_frame_unref(frame);
    }
    if (cancelled(cancel) || frame->width <= 0 || frame->height <= 0)
        return -1;
    return 0;
}

// The one frame a single packet decodes to.
int frame_of_packet(AVCodecContext *decoder, const AVPacket *packet, AVFrame *frame) {
    if (avcodec_send_packet(decoder, packet) < 0)
        return -1;
    avcodec_send_packet(decoder, nullptr);
    if (avcodec_receive_frame(decoder, frame) != 0 || frame->width <= 0 || frame->height <= 0)
        return -1;
    return 0;
}

// The width to draw an SVG picture at so that it covers the limit box, from
// a probe drawn SVG_PROBE_WIDTH wide (its height rounded, hence the half
// pixel), at most SVG_MAX_SIDE on either side.
int svg_width_to_cover(int probe_width, int probe_height, int limit_width, int limit_height) {
    if (probe_width <= 0 || probe_height <= 0)
        return limit_width;
    double aspect = probe_width / (probe_height > 1 ? probe_height - 0.5 : 1.0);
    double width = std::max(static_cast<double>(limit_width), std::ceil(limit_height * aspect));
    double height = width / aspect;
    double scale = std::min(1.0, std::min(SVG_MAX_SIDE / width, SVG_MAX_SIDE / height));
    int w = static_cast<int>(width * scale);
    return w < 1 ? 1 : w;
}

const int32_t *display_matrix_of(const AVFrame *frame, const AVStream *stream) {
    if (const AVFrameSideData *sd = av_frame_get_side_data(frame, AV_FRAME_DATA_DISPLAYMATRIX))
        if (sd->size >= 9 * sizeof(int32_t))
            return reinterpret_cast<const int32_t *>(sd->data);
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100)
    const AVPacketSideData *psd =
        av_packet_side_data_get(stream->codecpar->coded_side_data,
                                stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    if (psd && psd->size >= 9 * sizeof(int32_t))
        return reinterpret_cast<const int32_t *>(psd->data);
#else
    size_t size = 0;
    const uint8_t *data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (data && size >= 9 * sizeof(int32_t))
        return reinterpret_cast<const int32_t *>(data);
#endif
    return nullptr;
}

// How the picture is to be turned: as FFmpeg reports it (JPEG's EXIF in the
// FFmpeg here), otherwise as the file's own metadata says, which FFmpeg reads
// for no other still format here.
int picture_orientation(const AVFrame *frame, const AVStream *stream, const char *path) {
    if (const int32_t *matrix = display_matrix_of(frame, stream))
        return orientation_from_display_matrix(matrix);
    return orientation_of_file(path);
}

// YUV pictures are converted with their own matrix (BT.601, BT.709, BT.2020)
// and range (limited or full) rather than swscale's limited BT.601.
void use_frame_colours(SwsContext *scaler, const AVFrame *frame) {
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(format);
    if (!desc || (desc->flags & AV_PIX_FMT_FLAG_RGB) || desc->nb_components < 3)
        return;
    int *inverse = nullptr;
    int *table = nullptr;
    int src_range = 0;
    int dst_range = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    if (sws_getColorspaceDetails(scaler, &inverse, &src_range, &table, &dst_range, &brightness,
                                 &contrast, &saturation) < 0)
        return;
    const bool full = frame->color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P ||
                      format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
                      format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
    sws_setColorspaceDetails(scaler, sws_getCoefficients(frame->colorspace), full ? 1 : 0, table, 1,
                             brightness, contrast, saturation);
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
    const AVStream *stream = format->streams[stream_index];
    const AVCodecParameters *params = stream->codecpar;
    // A vector picture is drawn for the outputs' size, not at its nominal one.
    const bool vector = params->codec_id == AV_CODEC_ID_SVG && limit_width > 0 && limit_height > 0;
    codec_ptr decoder = open_decoder(params, vector ? SVG_PROBE_WIDTH : 0);
    std::unique_ptr<AVFrame, frame_closer> frame(av_frame_alloc());
    std::unique_ptr<AVFrame, frame_closer> rgba(av_frame_alloc());
    std::unique_ptr<AVPacket, packet_closer> kept(av_packet_alloc());
    if (!decoder || !frame || !rgba || !kept)
        return -1;
    if (first_frame(format.get(), stream_index, decoder.get(), cancel, frame.get(),
                    vector ? kept.get() : nullptr) != 0)
        return -1;
    if (vector) {
        int width = svg_width_to_cover(frame->width, frame->height, limit_width, limit_height);
        decoder = open_decoder(params, width);
        av_frame_unref(frame.get());
        if (!decoder || frame_of_packet(decoder.get(), kept.get(), frame.get()) != 0)
            return -1;
    }
    if (cancelled(cancel))
        return -1;

    const int orientation =
        vector ? ORIENTATION_UPRIGHT : picture_orientation(frame.get(), stream, path);
    const bool swap = orientation_swaps_sides(orientation);
    const int shown_width = swap ? frame->height : frame->width;
    const int shown_height = swap ? frame->width : frame->height;
    int target_width = shown_width;
    int target_height = shown_height;
    if (!vector)
        still_target_size(shown_width, shown_height, limit_width, limit_height, &target_width,
                          &target_height);
    // Scaled as stored, turned upright afterwards.
    const int scaled_width = swap ? target_height : target_width;
    const int scaled_height = swap ? target_width : target_height;
    std::unique_ptr<SwsContext, sws_closer> scaler(sws_getContext(
        frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), scaled_width,
        scaled_height, AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler)
        return -1;
    use_frame_colours(scaler.get(), frame.get());
    rgba->format = AV_PIX_FMT_RGBA;
    rgba->width = scaled_width;
    rgba->height = scaled_height;
    // Alignment 1: rows packed back to back, as the texture wants them.
    if (av_frame_get_buffer(rgba.get(), 1) < 0 || cancelled(cancel))
        return -1;
    if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, rgba->data,
                  rgba->linesize) <= 0)
        return -1;

    size_t bytes = static_cast<size_t>(target_width) * 4 * static_cast<size_t>(target_height);
    auto *pixels = static_cast<uint8_t *>(malloc(bytes));
    if (!pixels)
        return -1;
    orientation_apply(rgba->data[0], scaled_width, scaled_height, orientation, pixels);
    out->pixels = pixels;
    out->width = target_width;
    out->height = target_height;
    // A vector picture always has more to give a larger output.
    out->reduced = vector || target_width != shown_width || target_height != shown_height;
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
    job->premultiply = !image->egl;
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

    if (!image->egl) {
        // Drawn on the CPU: the decoded pixels are the image.
        delete_texture(image);
        image->cpu_pixels = job->pixels;
        job->pixels = nullptr;
    } else {
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
    }
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
    return image && shown(image);
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

namespace {

// A picture handed over whole, from no file: shown from now, not faded yet.
void adopt_picture(still_image *image, int width, int height) {
    image->texture_width = width;
    image->texture_height = height;
    image->limit_width = width;
    image->limit_height = height;
    image->reduced = false;
    image->fade_started = false;
    image->path[0] = '\0';
    image->shown_since = now_ms();
}

} // namespace

void still_take_texture(still_image *image, unsigned texture, int width, int height) {
    if (!image)
        return;
    still_clear(image);
    image->texture = texture;
    adopt_picture(image, width, height);
}

void still_take_pixels(still_image *image, uint8_t *rgba, int width, int height) {
    if (!image) {
        free(rgba);
        return;
    }
    still_clear(image);
    image->cpu_pixels = rgba;
    adopt_picture(image, width, height);
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
    if (!image || !shown(image) || !image->transition || !image->fade_started)
        return false;
    return image->fade_ms <= 0 || elapsed_ms_since(image->shown_since) >= image->fade_ms;
}

bool still_animating(const still_image *image) {
    if (!image || !shown(image) || image->fade_ms < 1)
        return false;
    if (image->transition && !image->fade_started)
        return true;
    return elapsed_ms_since(image->shown_since) < image->fade_ms;
}

float still_fade_in_alpha(const still_image *image) {
    if (!image || !shown(image))
        return 0.0f;
    return still_fade_alpha(elapsed_ms_since(image->shown_since), image->fade_ms,
                            image->transition);
}

float still_overlay_alpha(still_image *image) {
    if (!image || !shown(image))
        return 0.0f;
    if (!image->fade_started) {
        image->shown_since = now_ms();
        image->fade_started = true;
    }
    return still_fade_alpha(elapsed_ms_since(image->shown_since), image->fade_ms, true);
}

void still_draw(still_image *image, int32_t target_width, int32_t target_height,
                const picture_fit *fit) {
    if (!image || image->texture == 0)
        return;
    egl_draw_texture(image->egl, image->texture, image->texture_width, image->texture_height,
                     target_width, target_height, still_fade_in_alpha(image), fit);
}

void still_draw_overlay(still_image *image, int32_t target_width, int32_t target_height,
                        const picture_fit *fit) {
    if (!image || image->texture == 0)
        return;
    float alpha = still_overlay_alpha(image);
    if (alpha <= 0.0f)
        return;
    egl_draw_texture_blended(image->egl, image->texture, image->texture_width,
                             image->texture_height, target_width, target_height, alpha, fit);
}

const uint8_t *still_picture(still_image *image, int32_t width, int32_t height,
                             const picture_fit &fit) {
    if (!image || !image->cpu_pixels || width <= 0 || height <= 0)
        return nullptr;
    for (const scaled_picture &p : image->pictures)
        if (p.pixels && p.width == width && p.height == height && picture_fit_equal(p.fit, fit))
            return p.pixels;
    scaled_picture &p = image->pictures[image->next_picture];
    free(p.pixels);
    p = {};
    size_t bytes = static_cast<size_t>(width) * 4 * static_cast<size_t>(height);
    auto *pixels = static_cast<uint8_t *>(malloc(bytes));
    if (!pixels) {
        log_error("no memory for a %dx%d picture of %s", width, height, image->path);
        return nullptr;
    }
    if (pixels_fit_scale(image->cpu_pixels, image->texture_width, image->texture_height,
                         image->texture_width * 4, PIXELS_RGBA, pixels, width, height, width * 4,
                         PIXELS_BGRA, fit, nullptr) != 0) {
        log_error("cannot scale %s to %dx%d", image->path, width, height);
        free(pixels);
        return nullptr;
    }
    p = {pixels, width, height, fit};
    image->next_picture = (image->next_picture + 1) % PICTURE_SIZES;
    return pixels;
}
