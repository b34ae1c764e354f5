#include "probe.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include "log.h"

namespace {

// The reply to `set` waits no longer than this on a slow or pathological
// file; without an answer by then the renderer has the last word.
constexpr int64_t PROBE_LIMIT_MS = 3000;
// Packets of the picture stream tried before giving up on a first frame.
constexpr int PROBE_PACKETS = 256;
// What the renderer refuses too.
constexpr int64_t PROBE_MAX_PIXELS = 67108864;
// Whether a vector picture draws does not depend on its size.
constexpr int PROBE_SVG_WIDTH = 64;

struct format_closer {
    void operator()(AVFormatContext *f) const {
        avformat_close_input(&f);
    }
};
struct codec_closer {
    void operator()(AVCodecContext *c) const {
        avcodec_free_context(&c);
    }
};
struct frame_closer {
    void operator()(AVFrame *f) const {
        av_frame_free(&f);
    }
};
struct packet_closer {
    void operator()(AVPacket *p) const {
        av_packet_free(&p);
    }
};
struct file_closer {
    void operator()(FILE *f) const {
        fclose(f);
    }
};

// FFmpeg asks this during its reads; past the deadline the read ends.
int past_deadline(void *opaque) {
    return now_ms() >= *static_cast<const int64_t *>(opaque);
}

void say(char *why, size_t size, const char *text) {
    snprintf(why, size, "%s", text);
}

void say_error(char *why, size_t size, int rc) {
    char text[AV_ERROR_MAX_STRING_SIZE];
    if (av_strerror(rc, text, sizeof text) != 0)
        snprintf(text, sizeof text, "error %d", rc);
    say(why, size, text);
}

// The next byte of f, or -1 at its end.
int next_byte(FILE *f) {
    int c = getc(f);
    return c == EOF ? -1 : c;
}

// Skips a colour table announced by a GIF flags byte.
bool skip_colour_table(FILE *f, int flags) {
    if (!(flags & 0x80))
        return true;
    long size = 3L << ((flags & 0x07) + 1);
    return fseek(f, size, SEEK_CUR) == 0;
}

// Skips a chain of GIF data sub-blocks up to its empty terminator.
bool skip_sub_blocks(FILE *f) {
    for (;;) {
        int n = next_byte(f);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (fseek(f, n, SEEK_CUR) != 0)
            return false;
    }
}

} // namespace

int probe_decodes(const char *path, char *why, size_t why_size) {
    if (!why || why_size == 0)
        return -1;
    why[0] = '\0';
    if (!path || !path[0]) {
        say(why, why_size, "no file");
        return -1;
    }
    // The reason goes back to the caller; FFmpeg's own chatter would reach
    // the journal without the daemon's prefix.
    av_log_set_level(AV_LOG_QUIET);
    int64_t deadline = now_ms() + PROBE_LIMIT_MS;
    AVFormatContext *raw = avformat_alloc_context();
    if (!raw) {
        say(why, why_size, "out of memory");
        return -1;
    }
    raw->interrupt_callback.callback = past_deadline;
    raw->interrupt_callback.opaque = &deadline;
    int rc = avformat_open_input(&raw, path, nullptr, nullptr);
    if (rc < 0) {
        // avformat_open_input frees the context on failure.
        if (now_ms() >= deadline)
            return 1;
        say_error(why, why_size, rc);
        return -1;
    }
    std::unique_ptr<AVFormatContext, format_closer> format(raw);
    // Reading the stream information decodes a frame too; a vector picture
    // is drawn small for that, its nominal size may be huge.
    const unsigned streams = format->nb_streams;
    auto **options = static_cast<AVDictionary **>(av_calloc(streams ? streams : 1, sizeof(void *)));
    for (unsigned i = 0; options && i < streams; i++)
        if (format->streams[i]->codecpar->codec_id == AV_CODEC_ID_SVG)
            av_dict_set_int(&options[i], "width", PROBE_SVG_WIDTH, 0);
    rc = avformat_find_stream_info(format.get(), options);
    for (unsigned i = 0; options && i < streams; i++)
        av_dict_free(&options[i]);
    av_free(options);
    if (rc < 0) {
        if (now_ms() >= deadline)
            return 1;
        say_error(why, why_size, rc);
        return -1;
    }
    int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        say(why, why_size, "no picture in the file");
        return -1;
    }
    const AVCodecParameters *params = format->streams[index]->codecpar;
    const AVCodec *codec = avcodec_find_decoder(params->codec_id);
    if (!codec) {
        snprintf(why, why_size, "no decoder for %s", avcodec_get_name(params->codec_id));
        return -1;
    }
    std::unique_ptr<AVCodecContext, codec_closer> decoder(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, frame_closer> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, packet_closer> packet(av_packet_alloc());
    if (!decoder || !frame || !packet) {
        say(why, why_size, "out of memory");
        return -1;
    }
    rc = avcodec_parameters_to_context(decoder.get(), params);
    if (rc >= 0) {
        decoder->max_pixels = PROBE_MAX_PIXELS;
        // One thread: the answer comes from this frame, not a pipeline of them.
        decoder->thread_count = 1;
        AVDictionary *svg = nullptr;
        if (params->codec_id == AV_CODEC_ID_SVG)
            av_dict_set_int(&svg, "width", PROBE_SVG_WIDTH, 0);
        rc = avcodec_open2(decoder.get(), codec, &svg);
        av_dict_free(&svg);
    }
    if (rc < 0) {
        say_error(why, why_size, rc);
        return -1;
    }

    int last = AVERROR_EOF;
    for (int tried = 0; tried < PROBE_PACKETS && now_ms() < deadline;) {
        rc = av_read_frame(format.get(), packet.get());
        if (rc < 0) {
            if (rc != AVERROR_EOF)
                last = rc;
            break;
        }
        if (packet->stream_index != index) {
            av_packet_unref(packet.get());
            continue;
        }
        tried++;
        rc = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        if (rc < 0 && rc != AVERROR(EAGAIN)) {
            // A broken packet at the start of a stream is common; the next
            // key frame may still decode.
            last = rc;
            continue;
        }
        rc = avcodec_receive_frame(decoder.get(), frame.get());
        if (rc == 0)
            return 0;
        if (rc != AVERROR(EAGAIN))
            last = rc;
    }
    // Decoders with a delay hand out their first frame only when drained.
    if (avcodec_send_packet(decoder.get(), nullptr) >= 0 &&
        avcodec_receive_frame(decoder.get(), frame.get()) == 0)
        return 0;
    // A slow file on a busy machine is no reason to refuse it.
    if (now_ms() >= deadline)
        return 1;
    if (last == AVERROR_EOF)
        say(why, why_size, "no frame decoded");
    else
        say_error(why, why_size, last);
    return -1;
}

int probe_gif_frames(const char *path) {
    if (!path || !path[0])
        return -1;
    // Only a regular file is read: a pipe or a device named .gif would
    // hold the daemon's loop.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    std::unique_ptr<FILE, file_closer> f(fdopen(fd, "rb"));
    if (!f) {
        close(fd);
        return -1;
    }
    unsigned char head[13];
    if (fread(head, 1, sizeof head, f.get()) != sizeof head ||
        (memcmp(head, "GIF87a", 6) != 0 && memcmp(head, "GIF89a", 6) != 0))
        return -1;
    if (!skip_colour_table(f.get(), head[10]))
        return -1;
    int frames = 0;
    for (;;) {
        int block = next_byte(f.get());
        if (block < 0 || block == 0x3B)
            // A file cut after a whole picture still shows that picture.
            return block < 0 && frames == 0 ? -1 : frames;
        if (block == 0x21) {
            if (next_byte(f.get()) < 0 || !skip_sub_blocks(f.get()))
                return frames > 0 ? frames : -1;
            continue;
        }
        if (block != 0x2C)
            return -1;
        unsigned char image[9];
        if (fread(image, 1, sizeof image, f.get()) != sizeof image)
            return frames > 0 ? frames : -1;
        // A second picture makes it an animation; its data needs no reading.
        if (++frames >= 2)
            return 2;
        if (!skip_colour_table(f.get(), image[8]) || next_byte(f.get()) < 0 ||
            !skip_sub_blocks(f.get()))
            return -1;
    }
}
