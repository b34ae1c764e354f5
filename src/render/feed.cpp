#include "feed.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "egl.h"
#include "ipc.h"
#include "log.h"
#include "mpv.h"
#include "paths.h"
#include "pixels.h"

namespace {

constexpr char FEED_MAGIC[4] = {'K', 'I', 'V', 'F'};
// Acknowledgements read per client and loop iteration, so that one chatty
// client cannot hold the loop.
constexpr int FEED_MAX_READS = 64;

struct feed_client {
    int fd; // -1 when free
    bool announced;
    uint8_t buffer[FEED_MESSAGE_SIZE];
    size_t received;
};

struct feed_slot {
    int memory;        // -1 when none
    int client_memory; // what clients get: memory itself, or a read-only copy
    void *mapping;
    size_t length;
    GLuint texture;
    GLuint framebuffer;
    int32_t width;
    int32_t height;
    int32_t stride;
    uint64_t sequence;
    uint32_t busy;
    int64_t sent_at;
};

void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t *p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}

uint64_t get64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}

} // namespace

struct lock_feed {
    ipc_listener *listener;
    egl_state *egl; // none: frames are drawn by software straight into the slots
    feed_client clients[FEED_MAX_CLIENTS];
    feed_slot slots[FEED_SLOT_COUNT];
    int32_t slot_width;
    int32_t slot_height;
    int32_t hint_width;
    int32_t hint_height;
    uint64_t frame_counter;
    bool active;
    // Out of descriptors: the listener stays readable but nothing can be
    // accepted, so it is left out of the poll set until then.
    int64_t accept_resume_at;
    bool accept_starved;  // said so already; cleared by the next accept
    pixels_scaler scaler; // lays frames out in fits other than cover, without GL
};

feed_message feed_message_make(uint32_t type, uint32_t slot, int32_t width, int32_t height,
                               uint64_t sequence) {
    feed_message msg = {};
    memcpy(msg.magic, FEED_MAGIC, sizeof msg.magic);
    msg.version = FEED_VERSION;
    msg.type = type;
    msg.slot = slot;
    msg.width = static_cast<uint32_t>(width);
    msg.height = static_cast<uint32_t>(height);
    msg.stride = static_cast<uint32_t>(width) * 4;
    msg.sequence = sequence;
    return msg;
}

void feed_message_encode(const feed_message *msg, uint8_t out[FEED_MESSAGE_SIZE]) {
    memcpy(out, msg->magic, 4);
    put32(out + 4, msg->version);
    put32(out + 8, msg->type);
    put32(out + 12, msg->slot);
    put32(out + 16, msg->width);
    put32(out + 20, msg->height);
    put32(out + 24, msg->stride);
    put32(out + 28, msg->reserved);
    put64(out + 32, msg->sequence);
}

void feed_message_decode(const uint8_t in[FEED_MESSAGE_SIZE], feed_message *msg) {
    memcpy(msg->magic, in, 4);
    msg->version = get32(in + 4);
    msg->type = get32(in + 8);
    msg->slot = get32(in + 12);
    msg->width = get32(in + 16);
    msg->height = get32(in + 20);
    msg->stride = get32(in + 24);
    msg->reserved = get32(in + 28);
    msg->sequence = get64(in + 32);
}

int feed_ack_slot(const uint8_t msg[FEED_MESSAGE_SIZE], const uint64_t sequences[FEED_SLOT_COUNT]) {
    feed_message m;
    feed_message_decode(msg, &m);
    if (memcmp(m.magic, FEED_MAGIC, 4) != 0 || m.version != FEED_VERSION || m.type != FEED_ACK ||
        m.slot >= FEED_SLOT_COUNT || m.sequence != sequences[m.slot])
        return -1;
    return static_cast<int>(m.slot);
}

int feed_shared_memory(int *writable, int *read_only) {
    static unsigned serial;
    for (int attempt = 0; attempt < 16; attempt++) {
        char name[64];
        snprintf(name, sizeof name, "/kiv-lock-feed.%ld.%u", static_cast<long>(getpid()), serial++);
        int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return -1;
        int reader = shm_open(name, O_RDONLY | O_CLOEXEC, 0);
        int saved = errno;
        shm_unlink(name);
        if (reader < 0) {
            close(fd);
            errno = saved;
            return -1;
        }
        *writable = fd;
        *read_only = reader;
        return 0;
    }
    errno = EEXIST;
    return -1;
}

void feed_frame_size(int32_t video_width, int32_t video_height, int32_t hint_width,
                     int32_t hint_height, int32_t *width, int32_t *height) {
    double w = video_width;
    double h = video_height;
    double cover = 1.0;
    if (hint_width > 0 && hint_height > 0)
        cover = std::min(1.0, std::max(hint_width / w, hint_height / h));
    double max_width = FEED_MAX_WIDTH;
    double max_height = FEED_MAX_HEIGHT;
    double scale = std::min(max_height / h, std::min(max_width / w, cover));
    if (scale < 1.0) {
        *width = std::max<int32_t>(1, static_cast<int32_t>(w * scale));
        *height = std::max<int32_t>(1, static_cast<int32_t>(h * scale));
    } else {
        *width = video_width;
        *height = video_height;
    }
}

namespace {

bool any_client(const lock_feed *feed) {
    for (const feed_client &c : feed->clients)
        if (c.fd >= 0)
            return true;
    return false;
}

void drop_client(lock_feed *feed, int index) {
    feed_client &c = feed->clients[index];
    for (feed_slot &s : feed->slots)
        s.busy &= ~(1u << index);
    if (c.fd >= 0)
        close(c.fd);
    c.fd = -1;
    c.announced = false;
    c.received = 0;
}

// One whole message or nothing: a client that cannot take 40 bytes at once
// is dropped rather than waited for.
bool send_message(int fd, const feed_message *msg, const int *fds, int fd_count) {
    uint8_t bytes[FEED_MESSAGE_SIZE];
    feed_message_encode(msg, bytes);
    iovec iov = {bytes, sizeof bytes};
    msghdr hdr = {};
    hdr.msg_iov = &iov;
    hdr.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * FEED_SLOT_COUNT)];
    if (fd_count > 0) {
        memset(control, 0, sizeof control);
        hdr.msg_control = control;
        hdr.msg_controllen = CMSG_SPACE(sizeof(int) * fd_count);
        cmsghdr *cmsg = CMSG_FIRSTHDR(&hdr);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fd_count);
        memcpy(CMSG_DATA(cmsg), fds, sizeof(int) * fd_count);
    }
    ssize_t sent;
    do {
        sent = sendmsg(fd, &hdr, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == FEED_MESSAGE_SIZE;
}

bool have_slots(const lock_feed *feed) {
    return feed->slot_width > 0 && feed->slot_height > 0;
}

void announce(lock_feed *feed, int index) {
    int fds[FEED_SLOT_COUNT];
    for (int i = 0; i < FEED_SLOT_COUNT; i++)
        fds[i] = feed->slots[i].client_memory;
    feed_message msg =
        feed_message_make(FEED_CONFIG, FEED_SLOT_COUNT, feed->slot_width, feed->slot_height, 0);
    if (send_message(feed->clients[index].fd, &msg, fds, FEED_SLOT_COUNT))
        feed->clients[index].announced = true;
    else
        drop_client(feed, index);
}

void free_slot(feed_slot *slot) {
    if (slot->framebuffer)
        glDeleteFramebuffers(1, &slot->framebuffer);
    if (slot->texture)
        glDeleteTextures(1, &slot->texture);
    if (slot->mapping)
        munmap(slot->mapping, slot->length);
    if (slot->client_memory >= 0 && slot->client_memory != slot->memory)
        close(slot->client_memory);
    if (slot->memory >= 0)
        close(slot->memory);
    *slot = {};
    slot->memory = -1;
    slot->client_memory = -1;
}

// The GL context, if any, is current.
void free_slots(lock_feed *feed) {
    for (feed_slot &s : feed->slots)
        free_slot(&s);
    feed->slot_width = 0;
    feed->slot_height = 0;
}

#ifdef __FreeBSD__
// There is no seal against writable mappings here: clients get a descriptor
// opened read-only, which can neither be mapped for writing nor change the
// size, so the memory needs no seals.
int make_memory(feed_slot *slot) {
    if (feed_shared_memory(&slot->memory, &slot->client_memory) != 0) {
        log_error("feed memfd failed: %s", strerror(errno));
        return -1;
    }
    if (ftruncate(slot->memory, static_cast<off_t>(slot->length)) != 0) {
        log_error("feed ftruncate failed: %s", strerror(errno));
        return -1;
    }
    return 0;
}

int seal_memory(feed_slot *) {
    return 0;
}
#else
int make_memory(feed_slot *slot) {
    slot->memory = memfd_create("kiv-lock-feed", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (slot->memory < 0) {
        log_error("feed memfd failed: %s", strerror(errno));
        return -1;
    }
    slot->client_memory = slot->memory;
    if (ftruncate(slot->memory, static_cast<off_t>(slot->length)) != 0) {
        log_error("feed ftruncate failed: %s", strerror(errno));
        return -1;
    }
    return 0;
}

// Lock screens hold the descriptor too: one that shrank the file would make
// the read-back fault, so its size is sealed, and so is any writable
// use besides the mapping made here.
int seal_memory(feed_slot *slot) {
    int fd = slot->memory;
    int seals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
#ifdef F_SEAL_FUTURE_WRITE
    // Older kernels lack this one; the size seals alone keep the renderer safe.
    if (fcntl(fd, F_ADD_SEALS, seals | F_SEAL_FUTURE_WRITE) == 0)
        return 0;
    if (errno != EINVAL)
        return -1;
#endif
    return fcntl(fd, F_ADD_SEALS, seals);
}
#endif

int build_slot(feed_slot *slot, int32_t width, int32_t height, bool with_gl) {
    slot->width = width;
    slot->height = height;
    slot->stride = width * 4;
    slot->length = static_cast<size_t>(height) * static_cast<size_t>(slot->stride);
    if (make_memory(slot) != 0)
        return -1;
    void *map = mmap(nullptr, slot->length, PROT_READ | PROT_WRITE, MAP_SHARED, slot->memory, 0);
    if (map == MAP_FAILED) {
        log_error("feed mmap failed: %s", strerror(errno));
        return -1;
    }
    slot->mapping = map;
    if (seal_memory(slot) != 0) {
        log_error("feed seal failed: %s", strerror(errno));
        return -1;
    }
    if (!with_gl)
        return 0;
    glGenTextures(1, &slot->texture);
    glBindTexture(GL_TEXTURE_2D, slot->texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindTexture(GL_TEXTURE_2D, 0);
    glGenFramebuffers(1, &slot->framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, slot->framebuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, slot->texture, 0);
    GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        log_error("feed framebuffer incomplete: 0x%x", status);
        return -1;
    }
    return 0;
}

// The GL context, if any, is current.
int ensure_slots(lock_feed *feed, int32_t width, int32_t height) {
    if (have_slots(feed) && feed->slot_width == width && feed->slot_height == height)
        return 0;
    free_slots(feed);
    for (feed_slot &s : feed->slots) {
        if (build_slot(&s, width, height, feed->egl != nullptr) < 0) {
            free_slots(feed);
            return -1;
        }
    }
    feed->slot_width = width;
    feed->slot_height = height;
    for (int i = 0; i < FEED_MAX_CLIENTS; i++) {
        if (feed->clients[i].fd >= 0) {
            feed->clients[i].announced = false;
            announce(feed, i);
        }
    }
    log_info("feed slots %dx%d", width, height);
    return 0;
}

// Reads up to FEED_MAX_READS messages; false when the client has to go.
bool read_acks(lock_feed *feed, feed_client *c) {
    uint64_t sequences[FEED_SLOT_COUNT];
    for (int i = 0; i < FEED_SLOT_COUNT; i++)
        sequences[i] = feed->slots[i].sequence;
    int bit = static_cast<int>(c - feed->clients);
    for (int n = 0; n < FEED_MAX_READS; n++) {
        ssize_t got =
            recv(c->fd, c->buffer + c->received, FEED_MESSAGE_SIZE - c->received, MSG_DONTWAIT);
        if (got == 0)
            return false;
        if (got < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c->received += static_cast<size_t>(got);
        if (c->received < FEED_MESSAGE_SIZE)
            return true;
        c->received = 0;
        int slot = feed_ack_slot(c->buffer, sequences);
        if (slot >= 0)
            feed->slots[slot].busy &= ~(1u << bit);
    }
    return true;
}

} // namespace

lock_feed *feed_create(const char *path, egl_state *egl) {
    if (!path)
        return nullptr;
    char dir[1024];
    const char *slash = strrchr(path, '/');
    if (slash && slash != path) {
        size_t len = static_cast<size_t>(slash - path);
        if (len < sizeof dir) {
            memcpy(dir, path, len);
            dir[len] = '\0';
            (void)mkdir_p(dir);
        }
    }
    auto *feed = static_cast<lock_feed *>(calloc(1, sizeof(lock_feed)));
    if (!feed)
        return nullptr;
    feed->listener = ipc_listen_locked(path);
    if (!feed->listener) {
        free(feed);
        return nullptr;
    }
    int flags = fcntl(feed->listener->listen_fd, F_GETFL);
    if (flags < 0 || fcntl(feed->listener->listen_fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        ipc_listener_close(feed->listener);
        free(feed);
        return nullptr;
    }
    feed->egl = egl;
    for (feed_client &c : feed->clients)
        c.fd = -1;
    for (feed_slot &s : feed->slots) {
        s.memory = -1;
        s.client_memory = -1;
    }
    return feed;
}

void feed_destroy(lock_feed *feed) {
    if (!feed)
        return;
    egl_make_current_no_surface(feed->egl);
    for (int i = 0; i < FEED_MAX_CLIENTS; i++)
        drop_client(feed, i);
    free_slots(feed);
    pixels_scaler_free(&feed->scaler);
    ipc_listener_close(feed->listener);
    free(feed);
}

int feed_listen_fd(const lock_feed *feed) {
    if (!feed || !feed->listener)
        return -1;
    if (feed->accept_resume_at != 0 && now_ms() < feed->accept_resume_at)
        return -1;
    return feed->listener->listen_fd;
}

int feed_timeout_ms(const lock_feed *feed, int64_t now) {
    if (!feed || feed->accept_resume_at == 0 || now >= feed->accept_resume_at)
        return -1;
    return static_cast<int>(feed->accept_resume_at - now);
}

void feed_accept(lock_feed *feed) {
    if (!feed)
        return;
    feed->accept_resume_at = 0;
    for (;;) {
        int fd = ipc_accept(feed->listener);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE) {
                if (!feed->accept_starved)
                    log_warn("feed cannot accept lock screens: %s; trying again every second",
                             strerror(errno));
                feed->accept_starved = true;
                feed->accept_resume_at = now_ms() + FEED_ACCEPT_RETRY_MS;
            }
            return;
        }
        if (feed->accept_starved)
            log_info("feed accepts lock screens again");
        feed->accept_starved = false;
        int index = -1;
        for (int i = 0; i < FEED_MAX_CLIENTS && index < 0; i++)
            if (feed->clients[i].fd < 0)
                index = i;
        if (index < 0) {
            close(fd);
            continue;
        }
        feed_client &c = feed->clients[index];
        c.fd = fd;
        c.announced = false;
        c.received = 0;
        if (feed->active && have_slots(feed))
            announce(feed, index);
    }
}

int feed_poll_entries(const lock_feed *feed, struct pollfd *entries) {
    if (!feed)
        return 0;
    int count = 0;
    for (const feed_client &c : feed->clients)
        if (c.fd >= 0)
            entries[count++] = {c.fd, POLLIN, 0};
    return count;
}

void feed_service(lock_feed *feed, video_player *video) {
    if (!feed)
        return;
    for (int i = 0; i < FEED_MAX_CLIENTS; i++)
        if (feed->clients[i].fd >= 0 && !read_acks(feed, &feed->clients[i]))
            drop_client(feed, i);
    int64_t now = now_ms();
    for (feed_slot &s : feed->slots) {
        if (s.busy == 0 || now - s.sent_at < FEED_ACK_DEADLINE_MS)
            continue;
        for (int i = 0; i < FEED_MAX_CLIENTS; i++) {
            if (s.busy & (1u << i)) {
                log_warn("feed client %d missed its acknowledgement deadline", i);
                drop_client(feed, i);
            }
        }
    }
    if (feed->active)
        video_set_pause(video, !any_client(feed));
}

void feed_start(lock_feed *feed) {
    if (!feed)
        return;
    feed->active = true;
    if (have_slots(feed))
        for (int i = 0; i < FEED_MAX_CLIENTS; i++)
            if (feed->clients[i].fd >= 0 && !feed->clients[i].announced)
                announce(feed, i);
    log_info("feed started");
}

void feed_stop(lock_feed *feed) {
    if (!feed)
        return;
    feed->active = false;
    for (int i = 0; i < FEED_MAX_CLIENTS; i++)
        drop_client(feed, i);
    egl_make_current_no_surface(feed->egl);
    free_slots(feed);
    log_info("feed stopped");
}

void feed_fitted_frame_size(int32_t video_width, int32_t video_height, int32_t hint_width,
                            int32_t hint_height, int32_t *width, int32_t *height) {
    if (hint_width <= 0 || hint_height <= 0) {
        feed_frame_size(video_width, video_height, hint_width, hint_height, width, height);
        return;
    }
    double w = hint_width;
    double h = hint_height;
    double max_width = FEED_MAX_WIDTH;
    double max_height = FEED_MAX_HEIGHT;
    double scale = std::min(1.0, std::min(max_width / w, max_height / h));
    *width = std::max<int32_t>(1, static_cast<int32_t>(w * scale));
    *height = std::max<int32_t>(1, static_cast<int32_t>(h * scale));
}

void feed_set_output_size(lock_feed *feed, int32_t width, int32_t height) {
    if (!feed)
        return;
    feed->hint_width = width;
    feed->hint_height = height;
}

int feed_render_frame(lock_feed *feed, video_player *video, const picture_fit *fit) {
    if (!feed || !feed->active || !any_client(feed) || !video_has_media(video))
        return -1;
    int32_t video_width = 0;
    int32_t video_height = 0;
    if (video_size(video, &video_width, &video_height) != 0 || video_width <= 0 ||
        video_height <= 0)
        return -1;
    // Cover leaves the framing to the lock screen: the frame has the video's
    // own shape. Every other fit is laid out here, onto a frame of the
    // largest output's shape, bars included.
    bool laid_out = fit && fit->mode != FIT_COVER;
    int32_t width = 0;
    int32_t height = 0;
    if (laid_out)
        feed_fitted_frame_size(video_width, video_height, feed->hint_width, feed->hint_height,
                               &width, &height);
    else
        feed_frame_size(video_width, video_height, feed->hint_width, feed->hint_height, &width,
                        &height);
    if ((feed->egl && egl_make_current_no_surface(feed->egl) != 0) ||
        ensure_slots(feed, width, height) != 0)
        return -1;
    bool announced = false;
    for (const feed_client &c : feed->clients)
        announced = announced || (c.fd >= 0 && c.announced);
    if (!announced)
        return -1;
    int index = -1;
    for (int i = 0; i < FEED_SLOT_COUNT && index < 0; i++)
        if (feed->slots[i].busy == 0)
            index = i;
    if (index < 0)
        return -1;
    feed_slot &slot = feed->slots[index];
    if (!feed->egl) {
        auto *pixels = static_cast<uint8_t *>(slot.mapping);
        if (laid_out) {
            bool whole = fit->mode == FIT_CENTER;
            int32_t picture_width = 0;
            int32_t picture_height = 0;
            int32_t picture_stride = 0;
            const uint8_t *picture =
                video_picture_memory(video, whole ? 0 : slot.width, whole ? 0 : slot.height,
                                     &picture_width, &picture_height, &picture_stride);
            if (!picture || pixels_fit_scale(picture, picture_width, picture_height, picture_stride,
                                             PIXELS_BGRX, pixels, slot.width, slot.height,
                                             slot.stride, PIXELS_RGBA, *fit, &feed->scaler) != 0)
                return -1;
        } else if (video_render_memory(video, slot.width, slot.height,
                                       static_cast<size_t>(slot.stride), pixels, "rgb0") != 0) {
            return -1;
        }
        // The fourth byte is left undefined by the player; lock screens read RGBA.
        pixels_set_opaque(pixels, slot.stride, slot.width, slot.height);
    } else {
        if (laid_out) {
            bool whole = fit->mode == FIT_CENTER;
            int32_t picture_width = 0;
            int32_t picture_height = 0;
            unsigned texture = video_picture(video, whole ? 0 : slot.width, whole ? 0 : slot.height,
                                             &picture_width, &picture_height);
            if (texture == 0)
                return -1;
            glBindFramebuffer(GL_FRAMEBUFFER, slot.framebuffer);
            egl_draw_texture_top_first(feed->egl, texture, picture_width, picture_height,
                                       slot.width, slot.height, fit);
        } else if (video_render_fbo(video, slot.framebuffer, slot.width, slot.height) != 0) {
            return -1;
        }
        glBindFramebuffer(GL_FRAMEBUFFER, slot.framebuffer);
        glPixelStorei(GL_PACK_ALIGNMENT, 4);
        glReadPixels(0, 0, slot.width, slot.height, GL_RGBA, GL_UNSIGNED_BYTE, slot.mapping);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    }

    slot.sequence = ++feed->frame_counter;
    slot.sent_at = now_ms();
    slot.busy = 0;
    feed_message msg = feed_message_make(FEED_FRAME, static_cast<uint32_t>(index), slot.width,
                                         slot.height, slot.sequence);
    for (int i = FEED_MAX_CLIENTS - 1; i >= 0; i--) {
        feed_client &c = feed->clients[i];
        if (c.fd < 0 || !c.announced)
            continue;
        if (send_message(c.fd, &msg, nullptr, 0))
            slot.busy |= 1u << i;
        else
            drop_client(feed, i);
    }
    return slot.busy != 0 ? 0 : -1;
}
