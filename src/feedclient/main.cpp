// kiv-feed-client: the reference lock-screen client of kiv-render's frame
// feed. It shows the whole protocol in one file: connect, map the three slots
// on every config message, read each announced frame, acknowledge it. Lock
// screen authors can copy it; tests and benchmarks drive it by options.
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "paths.h"

namespace {

constexpr size_t MESSAGE_SIZE = 40;
constexpr uint32_t TYPE_CONFIG = 1;
constexpr uint32_t TYPE_FRAME = 2;
constexpr uint32_t TYPE_ACK = 3;
constexpr uint32_t VERSION = 1;
constexpr int SLOTS = 3;

const char USAGE[] =
    "Usage: %s [options]\n"
    "\n"
    "Reference lock-screen client of the kiv-render frame feed. While the session\n"
    "is locked, kiv-render hands every wallpaper video frame to the programs\n"
    "connected to its feed socket instead of drawing it; this program receives\n"
    "those frames and acknowledges them, and can save the latest one.\n"
    "\n"
    "Options:\n"
    "  --socket PATH    feed socket (default: $XDG_RUNTIME_DIR/kiv/lock-feed.sock)\n"
    "  --frames N       exit after acknowledging N frames (default: run until the\n"
    "                   renderer closes the connection)\n"
    "  --save FILE      when exiting, write the latest frame to FILE: PNG if the\n"
    "                   name ends in .png, otherwise binary PPM\n"
    "  --fps            print \"fps N\" once a second\n"
    "  --ack-delay MS   acknowledge each frame MS milliseconds after it arrived\n"
    "  --no-ack         never acknowledge (the renderer drops the client after 1 s)\n"
    "  --verbose        print every message received\n"
    "  --help           show this help\n"
    "\n"
    "Output (standard output, one line per event):\n"
    "  config WxH stride S      slots (re)announced and mapped\n"
    "  frame SLOT SEQUENCE WxH  a frame arrived (with --verbose)\n"
    "  fps N                    frames received in the last second (with --fps)\n"
    "  closed                   the renderer closed the connection\n"
    "\n"
    "Protocol: every message is 40 bytes, unsigned little-endian integers:\n"
    "  offset 0 magic \"KIVF\", 4 version 1, 8 type, 12 slot (count 3 in a config),\n"
    "  16 width, 20 height, 24 stride, 28 reserved 0, 32 sequence (64 bits).\n"
    "  type 1 config (renderer -> client): carries the three slot memory\n"
    "    descriptors as SCM_RIGHTS; map each with length height x stride and drop\n"
    "    earlier mappings.\n"
    "  type 2 frame (renderer -> client): slot SLOT holds the picture, RGBA, top\n"
    "    row first, stride bytes per row; it stays untouched until acknowledged.\n"
    "  type 3 acknowledgement (client -> renderer): the frame message with type 3;\n"
    "    must arrive within 1000 ms or the renderer closes the connection.\n"
    "  At most eight clients are served; the connection closes when the feed stops.\n"
    "\n"
    "Exit status: 0 after N frames, a signal or the renderer closing the\n"
    "connection; 1 on a usage, connection, protocol or file error.\n";

volatile sig_atomic_t stopping = 0;

void handle_signal(int) {
    stopping = 1;
}

struct options {
    char socket_path[108];
    long frames;      // 0 = unlimited
    const char *save; // null = none
    bool fps;
    long ack_delay_ms;
    bool no_ack;
    bool verbose;
};

struct message {
    uint8_t bytes[MESSAGE_SIZE];
    uint32_t u32(size_t offset) const {
        uint32_t v = 0;
        for (int i = 3; i >= 0; i--)
            v = (v << 8) | bytes[offset + i];
        return v;
    }
    uint64_t u64(size_t offset) const {
        uint64_t v = 0;
        for (int i = 7; i >= 0; i--)
            v = (v << 8) | bytes[offset + i];
        return v;
    }
};

struct slot_map {
    uint8_t *data;
    size_t length;
};

struct pending_ack {
    message msg;
    int64_t due;
};

struct client {
    int fd;
    slot_map slots[SLOTS];
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint8_t buffer[MESSAGE_SIZE];
    size_t received;
    int fds[SLOTS]; // descriptors of the config message being received
    int fd_count;
    std::vector<pending_ack> acks;
    std::vector<uint8_t> latest; // width * height * 4, tightly packed
    uint32_t latest_width;
    uint32_t latest_height;
    long acknowledged;
};

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool parse_long(const char *text, long *out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0)
        return false;
    *out = v;
    return true;
}

// 0 to run, 1 for a usage error, 2 for --help.
int parse_args(int argc, char **argv, options *opt) {
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0)
            return 2;
        if (strcmp(arg, "--fps") == 0) {
            opt->fps = true;
        } else if (strcmp(arg, "--no-ack") == 0) {
            opt->no_ack = true;
        } else if (strcmp(arg, "--verbose") == 0 || strcmp(arg, "-v") == 0) {
            opt->verbose = true;
        } else if (value && strcmp(arg, "--socket") == 0) {
            if (strlen(value) >= sizeof opt->socket_path)
                return 1;
            snprintf(opt->socket_path, sizeof opt->socket_path, "%s", value);
            i++;
        } else if (value && strcmp(arg, "--save") == 0) {
            opt->save = value;
            i++;
        } else if (value && strcmp(arg, "--frames") == 0) {
            if (!parse_long(value, &opt->frames))
                return 1;
            i++;
        } else if (value && strcmp(arg, "--ack-delay") == 0) {
            if (!parse_long(value, &opt->ack_delay_ms))
                return 1;
            i++;
        } else {
            return 1;
        }
    }
    return 0;
}

void unmap_slots(client *c) {
    for (slot_map &s : c->slots) {
        if (s.data)
            munmap(s.data, s.length);
        s = {};
    }
}

void close_pending_fds(client *c) {
    for (int i = 0; i < c->fd_count; i++)
        close(c->fds[i]);
    c->fd_count = 0;
}

// Reads what the socket has into the message buffer, keeping descriptors
// that come along. 1: a whole message is in the buffer; 0: not yet; -1: the
// connection ended or failed.
int receive(client *c) {
    iovec iov = {c->buffer + c->received, MESSAGE_SIZE - c->received};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * SLOTS)];
    msghdr hdr = {};
    hdr.msg_iov = &iov;
    hdr.msg_iovlen = 1;
    hdr.msg_control = control;
    hdr.msg_controllen = sizeof control;
    ssize_t got = recvmsg(c->fd, &hdr, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    if (got == 0)
        return -1;
    for (cmsghdr *cmsg = CMSG_FIRSTHDR(&hdr); cmsg; cmsg = CMSG_NXTHDR(&hdr, cmsg)) {
        if (cmsg->cmsg_level != SOL_SOCKET || cmsg->cmsg_type != SCM_RIGHTS)
            continue;
        size_t n = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        int fds[SLOTS * 2];
        n = n > SLOTS * 2 ? SLOTS * 2 : n;
        memcpy(fds, CMSG_DATA(cmsg), n * sizeof(int));
        for (size_t i = 0; i < n; i++) {
            if (c->fd_count < SLOTS)
                c->fds[c->fd_count++] = fds[i];
            else
                close(fds[i]);
        }
    }
    c->received += static_cast<size_t>(got);
    return c->received == MESSAGE_SIZE ? 1 : 0;
}

bool handle_config(client *c, const message &m) {
    uint32_t width = m.u32(16);
    uint32_t height = m.u32(20);
    uint32_t stride = m.u32(24);
    if (m.u32(12) != SLOTS || c->fd_count != SLOTS || width == 0 || height == 0 ||
        stride < width * 4) {
        fprintf(stderr, "kiv-feed-client: bad config message\n");
        return false;
    }
    unmap_slots(c);
    size_t length = static_cast<size_t>(height) * stride;
    for (int i = 0; i < SLOTS; i++) {
        void *p = mmap(nullptr, length, PROT_READ, MAP_SHARED, c->fds[i], 0);
        if (p == MAP_FAILED) {
            fprintf(stderr, "kiv-feed-client: mmap failed: %s\n", strerror(errno));
            unmap_slots(c);
            return false;
        }
        c->slots[i] = {static_cast<uint8_t *>(p), length};
    }
    // The mappings keep the memory; the descriptors are no longer needed.
    close_pending_fds(c);
    c->width = width;
    c->height = height;
    c->stride = stride;
    printf("config %ux%u stride %u\n", width, height, stride);
    fflush(stdout);
    return true;
}

bool send_ack(client *c, const message &frame) {
    message ack = frame;
    ack.bytes[8] = TYPE_ACK;
    ack.bytes[9] = ack.bytes[10] = ack.bytes[11] = 0;
    ssize_t sent;
    do {
        sent = send(c->fd, ack.bytes, MESSAGE_SIZE, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(MESSAGE_SIZE))
        return false;
    c->acknowledged++;
    return true;
}

bool handle_frame(client *c, const message &m, const options &opt) {
    uint32_t slot = m.u32(12);
    uint32_t width = m.u32(16);
    uint32_t height = m.u32(20);
    uint32_t stride = m.u32(24);
    if (slot >= SLOTS || !c->slots[slot].data || width > c->width || height > c->height ||
        stride != c->stride) {
        fprintf(stderr, "kiv-feed-client: frame outside the announced slots\n");
        return false;
    }
    if (opt.verbose) {
        printf("frame %u %" PRIu64 " %ux%u\n", slot, m.u64(32), width, height);
        fflush(stdout);
    }
    if (opt.save) {
        // The slot is stable until the acknowledgement: copy it before.
        c->latest.resize(static_cast<size_t>(width) * height * 4);
        for (uint32_t y = 0; y < height; y++)
            memcpy(&c->latest[static_cast<size_t>(y) * width * 4],
                   c->slots[slot].data + static_cast<size_t>(y) * stride,
                   static_cast<size_t>(width) * 4);
        c->latest_width = width;
        c->latest_height = height;
    }
    if (opt.no_ack)
        return true;
    if (opt.ack_delay_ms == 0)
        return send_ack(c, m);
    c->acks.push_back({m, now_ms() + opt.ack_delay_ms});
    return true;
}

bool write_all(FILE *f, const void *data, size_t size) {
    return fwrite(data, 1, size, f) == size;
}

bool png_chunk(FILE *f, const char *type, const uint8_t *data, uint32_t size) {
    uint8_t head[8] = {static_cast<uint8_t>(size >> 24), static_cast<uint8_t>(size >> 16),
                       static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
    memcpy(head + 4, type, 4);
    uLong crc = crc32(0, head + 4, 4);
    crc = crc32(crc, data, size);
    uint8_t tail[4] = {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                       static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
    return write_all(f, head, 8) && write_all(f, data, size) && write_all(f, tail, 4);
}

bool write_png(FILE *f, const client &c) {
    uint32_t w = c.latest_width;
    uint32_t h = c.latest_height;
    std::vector<uint8_t> raw(static_cast<size_t>(w * 4 + 1) * h);
    for (uint32_t y = 0; y < h; y++) {
        raw[static_cast<size_t>(y) * (w * 4 + 1)] = 0; // filter: none
        memcpy(&raw[static_cast<size_t>(y) * (w * 4 + 1) + 1],
               &c.latest[static_cast<size_t>(y) * w * 4], static_cast<size_t>(w) * 4);
    }
    uLongf packed_size = compressBound(raw.size());
    std::vector<uint8_t> packed(packed_size);
    if (compress2(packed.data(), &packed_size, raw.data(), raw.size(), 6) != Z_OK)
        return false;
    const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    uint8_t ihdr[13] = {static_cast<uint8_t>(w >> 24),
                        static_cast<uint8_t>(w >> 16),
                        static_cast<uint8_t>(w >> 8),
                        static_cast<uint8_t>(w),
                        static_cast<uint8_t>(h >> 24),
                        static_cast<uint8_t>(h >> 16),
                        static_cast<uint8_t>(h >> 8),
                        static_cast<uint8_t>(h),
                        8, // bit depth
                        6, // colour type: RGBA
                        0,
                        0,
                        0};
    return write_all(f, signature, 8) && png_chunk(f, "IHDR", ihdr, sizeof ihdr) &&
           png_chunk(f, "IDAT", packed.data(), static_cast<uint32_t>(packed_size)) &&
           png_chunk(f, "IEND", nullptr, 0);
}

bool write_ppm(FILE *f, const client &c) {
    if (fprintf(f, "P6\n%u %u\n255\n", c.latest_width, c.latest_height) < 0)
        return false;
    std::vector<uint8_t> rgb(static_cast<size_t>(c.latest_width) * c.latest_height * 3);
    for (size_t i = 0, n = rgb.size() / 3; i < n; i++)
        memcpy(&rgb[i * 3], &c.latest[i * 4], 3);
    return write_all(f, rgb.data(), rgb.size());
}

// Written beside the target and renamed, so a reader never sees half a file.
bool save_latest(const client &c, const char *path) {
    if (c.latest.empty()) {
        fprintf(stderr, "kiv-feed-client: no frame to save\n");
        return false;
    }
    std::vector<char> tmp(strlen(path) + 5);
    snprintf(tmp.data(), tmp.size(), "%s.tmp", path);
    FILE *f = fopen(tmp.data(), "wb");
    if (!f) {
        fprintf(stderr, "kiv-feed-client: cannot write %s: %s\n", tmp.data(), strerror(errno));
        return false;
    }
    size_t len = strlen(path);
    bool png = len >= 4 && strcmp(path + len - 4, ".png") == 0;
    bool ok = png ? write_png(f, c) : write_ppm(f, c);
    ok = fclose(f) == 0 && ok;
    if (!ok || rename(tmp.data(), path) != 0) {
        fprintf(stderr, "kiv-feed-client: cannot write %s\n", path);
        unlink(tmp.data());
        return false;
    }
    return true;
}

int connect_to(const char *path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// Runs until N frames, a signal or the end of the connection; false on a
// protocol or connection error.
bool run(client *c, const options &opt) {
    int64_t fps_start = now_ms();
    long fps_frames = 0;
    while (!stopping) {
        int64_t now = now_ms();
        int timeout = 1000;
        if (!c->acks.empty())
            timeout = static_cast<int>(c->acks.front().due > now ? c->acks.front().due - now : 0);
        pollfd p = {c->fd, POLLIN, 0};
        if (poll(&p, 1, timeout) < 0 && errno != EINTR) {
            fprintf(stderr, "kiv-feed-client: poll failed: %s\n", strerror(errno));
            return false;
        }
        now = now_ms();
        while (!c->acks.empty() && c->acks.front().due <= now) {
            if (!send_ack(c, c->acks.front().msg)) {
                printf("closed\n");
                return true;
            }
            c->acks.erase(c->acks.begin());
        }
        if (opt.frames > 0 && c->acknowledged >= opt.frames)
            return true;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            int r;
            while ((r = receive(c)) == 1) {
                message m;
                memcpy(m.bytes, c->buffer, MESSAGE_SIZE);
                c->received = 0;
                if (memcmp(m.bytes, "KIVF", 4) != 0 || m.u32(4) != VERSION) {
                    fprintf(stderr, "kiv-feed-client: not a feed message\n");
                    return false;
                }
                uint32_t type = m.u32(8);
                bool ok = true;
                if (type == TYPE_CONFIG) {
                    ok = handle_config(c, m);
                } else if (type == TYPE_FRAME) {
                    ok = handle_frame(c, m, opt);
                    fps_frames++;
                }
                if (!ok)
                    return false;
                if (opt.frames > 0 && c->acknowledged >= opt.frames)
                    return true;
            }
            if (r < 0) {
                printf("closed\n");
                return true;
            }
        }
        if (opt.fps && now - fps_start >= 1000) {
            printf("fps %.1f\n", fps_frames * 1000.0 / static_cast<double>(now - fps_start));
            fflush(stdout);
            fps_start = now;
            fps_frames = 0;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    options opt = {};
    if (path_feed_socket(opt.socket_path, sizeof opt.socket_path) != 0)
        opt.socket_path[0] = '\0';
    int parsed = parse_args(argc, argv, &opt);
    if (parsed != 0) {
        fprintf(stderr, USAGE, argv[0]);
        return parsed == 2 ? 0 : 1;
    }
    if (!opt.socket_path[0]) {
        fprintf(stderr, "kiv-feed-client: cannot resolve socket path\n");
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = handle_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    client c = {};
    c.fd = connect_to(opt.socket_path);
    if (c.fd < 0) {
        fprintf(stderr, "kiv-feed-client: cannot connect to %s: %s\n", opt.socket_path,
                strerror(errno));
        return 1;
    }
    bool ok = run(&c, opt);
    fflush(stdout);
    if (ok && opt.save)
        ok = save_latest(c, opt.save);
    unmap_slots(&c);
    close_pending_fds(&c);
    close(c.fd);
    return ok ? 0 : 1;
}
