#include "orientation.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

enum {
    TIFF_MAX_ENTRIES = 1024,
    // Largest metadata block read into memory: a JPEG segment holds at most
    // 65533 bytes; EXIF chunks of PNG and WebP and HEIF meta boxes are
    // normally a few kilobytes.
    BLOCK_MAX = 1 << 20,
    CHUNK_WALK_MAX = 100000,
    TAG_ORIENTATION = 0x0112,
    TIFF_TYPE_SHORT = 3,
};

// Each orientation as the map from stored to shown coordinates, y pointing
// down: x' = a x + b y, y' = c x + d y.
struct linear_map {
    int a, b, c, d;
};
constexpr linear_map kMaps[ORIENTATION_MAX + 1] = {
    {1, 0, 0, 1}, {1, 0, 0, 1},  {-1, 0, 0, 1},  {-1, 0, 0, -1}, {1, 0, 0, -1},
    {0, 1, 1, 0}, {0, -1, 1, 0}, {0, -1, -1, 0}, {0, 1, -1, 0},
};

int orientation_of_map(const linear_map &m) {
    for (int o = ORIENTATION_UPRIGHT; o <= ORIENTATION_MAX; o++) {
        const linear_map &k = kMaps[o];
        if (k.a == m.a && k.b == m.b && k.c == m.c && k.d == m.d)
            return o;
    }
    return ORIENTATION_UPRIGHT;
}

// first, then second.
int orientation_compose(int first, int second) {
    const linear_map &f = kMaps[first];
    const linear_map &s = kMaps[second];
    linear_map m{s.a * f.a + s.b * f.c, s.a * f.b + s.b * f.d, s.c * f.a + s.d * f.c,
                 s.c * f.b + s.d * f.d};
    return orientation_of_map(m);
}

int sign(int32_t v) {
    return (v > 0) - (v < 0);
}

struct file_closer {
    void operator()(FILE *f) const {
        fclose(f);
    }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;
using block_ptr = std::unique_ptr<uint8_t, decltype(&free)>;

uint16_t be16(const uint8_t *p) {
    return (uint16_t)(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
uint32_t le32(const uint8_t *p) {
    return (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

// Bytes of a file or of a block in memory, read at an offset.
struct byte_source {
    FILE *file;
    const uint8_t *data;
    size_t size;
};

bool read_at(const byte_source &src, uint64_t offset, uint8_t *buf, size_t n) {
    if (src.data) {
        if (offset > src.size || n > src.size - offset)
            return false;
        memcpy(buf, src.data + offset, n);
        return true;
    }
    return fseeko(src.file, (off_t)offset, SEEK_SET) == 0 && fread(buf, 1, n, src.file) == n;
}

// The Orientation entry of the first directory of a TIFF structure.
int tiff_orientation(const byte_source &src) {
    uint8_t head[8];
    if (!read_at(src, 0, head, sizeof head))
        return ORIENTATION_UPRIGHT;
    bool little = memcmp(head, "II*\0", 4) == 0;
    if (!little && memcmp(head, "MM\0*", 4) != 0)
        return ORIENTATION_UPRIGHT;
    auto u16 = [little](const uint8_t *p) {
        return little ? (uint16_t)(p[1] << 8 | p[0]) : be16(p);
    };
    auto u32 = [little](const uint8_t *p) { return little ? le32(p) : be32(p); };
    uint64_t ifd = u32(head + 4);
    uint8_t count_bytes[2];
    if (!read_at(src, ifd, count_bytes, 2))
        return ORIENTATION_UPRIGHT;
    unsigned count = u16(count_bytes);
    if (count > TIFF_MAX_ENTRIES)
        count = TIFF_MAX_ENTRIES;
    for (unsigned i = 0; i < count; i++) {
        uint8_t entry[12];
        if (!read_at(src, ifd + 2 + 12ull * i, entry, sizeof entry))
            break;
        if (u16(entry) != TAG_ORIENTATION)
            continue;
        if (u16(entry + 2) != TIFF_TYPE_SHORT || u32(entry + 4) < 1)
            return ORIENTATION_UPRIGHT;
        unsigned value = u16(entry + 8);
        return value >= ORIENTATION_UPRIGHT && value <= ORIENTATION_MAX ? (int)value
                                                                        : ORIENTATION_UPRIGHT;
    }
    return ORIENTATION_UPRIGHT;
}

// An EXIF block may carry JPEG's "Exif\0\0" before its TIFF structure.
int exif_orientation(const uint8_t *data, size_t size) {
    if (size >= 6 && memcmp(data, "Exif\0\0", 6) == 0) {
        data += 6;
        size -= 6;
    }
    return orientation_from_tiff(data, size);
}

// size bytes at the file's current position, EXIF inside.
int exif_block_orientation(FILE *f, uint64_t size) {
    if (size == 0 || size > BLOCK_MAX)
        return ORIENTATION_UPRIGHT;
    block_ptr block(static_cast<uint8_t *>(malloc(size)), &free);
    if (!block || fread(block.get(), 1, size, f) != size)
        return ORIENTATION_UPRIGHT;
    return exif_orientation(block.get(), size);
}

int jpeg_orientation(FILE *f) {
    uint8_t marker[4];
    if (fseeko(f, 2, SEEK_SET) != 0)
        return ORIENTATION_UPRIGHT;
    for (int i = 0; i < CHUNK_WALK_MAX; i++) {
        if (fread(marker, 1, 4, f) != 4 || marker[0] != 0xff)
            return ORIENTATION_UPRIGHT;
        // Start of scan or end of image: no metadata follows.
        if (marker[1] == 0xda || marker[1] == 0xd9)
            return ORIENTATION_UPRIGHT;
        unsigned length = be16(marker + 2);
        if (length < 2)
            return ORIENTATION_UPRIGHT;
        if (marker[1] == 0xe1) {
            off_t start = ftello(f);
            int o = exif_block_orientation(f, length - 2);
            if (o != ORIENTATION_UPRIGHT)
                return o;
            // An XMP segment is an APP1 segment too; look on.
            if (fseeko(f, start + length - 2, SEEK_SET) != 0)
                return ORIENTATION_UPRIGHT;
        } else if (fseeko(f, length - 2, SEEK_CUR) != 0) {
            return ORIENTATION_UPRIGHT;
        }
    }
    return ORIENTATION_UPRIGHT;
}

int png_orientation(FILE *f) {
    if (fseeko(f, 8, SEEK_SET) != 0)
        return ORIENTATION_UPRIGHT;
    uint8_t head[8];
    for (int i = 0; i < CHUNK_WALK_MAX && fread(head, 1, 8, f) == 8; i++) {
        uint32_t length = be32(head);
        if (memcmp(head + 4, "eXIf", 4) == 0)
            return exif_block_orientation(f, length);
        if (memcmp(head + 4, "IEND", 4) == 0)
            break;
        if (fseeko(f, (off_t)length + 4, SEEK_CUR) != 0)
            break;
    }
    return ORIENTATION_UPRIGHT;
}

int webp_orientation(FILE *f) {
    if (fseeko(f, 12, SEEK_SET) != 0)
        return ORIENTATION_UPRIGHT;
    uint8_t head[8];
    for (int i = 0; i < CHUNK_WALK_MAX && fread(head, 1, 8, f) == 8; i++) {
        uint32_t length = le32(head + 4);
        if (memcmp(head, "EXIF", 4) == 0)
            return exif_block_orientation(f, length);
        if (fseeko(f, (off_t)length + (length & 1), SEEK_CUR) != 0)
            break;
    }
    return ORIENTATION_UPRIGHT;
}

// One box of an ISO base media file: its type and where its payload lies.
struct box {
    char type[5];
    uint64_t payload;
    uint64_t end;
};

bool read_box(const byte_source &src, uint64_t at, uint64_t limit, box *out) {
    uint8_t head[16];
    if (at + 8 > limit || !read_at(src, at, head, 8))
        return false;
    uint64_t size = be32(head);
    uint64_t header = 8;
    if (size == 1) {
        if (at + 16 > limit || !read_at(src, at + 8, head + 8, 8))
            return false;
        size = (uint64_t)be32(head + 8) << 32 | be32(head + 12);
        header = 16;
    } else if (size == 0) {
        size = limit - at;
    }
    if (size < header || size > limit - at)
        return false;
    memcpy(out->type, head + 4, 4);
    out->type[4] = '\0';
    out->payload = at + header;
    out->end = at + size;
    return true;
}

// The primary item's rotation and mirroring in the payload of a meta box.
int heif_meta_orientation(const uint8_t *meta, size_t size) {
    byte_source src{nullptr, meta, size};
    uint32_t primary = 0;
    bool have_primary = false;
    box ipco{}, ipma[4]{};
    int ipma_count = 0;
    bool have_ipco = false;
    // A full box: version and flags come first.
    for (uint64_t at = 4; at < size;) {
        box b{};
        if (!read_box(src, at, size, &b))
            break;
        if (strcmp(b.type, "pitm") == 0) {
            // Version 0 numbers items with 16 bits, later versions with 32.
            uint8_t v[4];
            if (read_at(src, b.payload, v, 4)) {
                bool wide = v[0] != 0;
                if (read_at(src, b.payload + 4, v, wide ? 4 : 2)) {
                    primary = wide ? be32(v) : be16(v);
                    have_primary = true;
                }
            }
        } else if (strcmp(b.type, "iprp") == 0) {
            for (uint64_t in = b.payload; in < b.end;) {
                box c{};
                if (!read_box(src, in, b.end, &c))
                    break;
                if (strcmp(c.type, "ipco") == 0) {
                    ipco = c;
                    have_ipco = true;
                } else if (strcmp(c.type, "ipma") == 0 && ipma_count < 4) {
                    ipma[ipma_count++] = c;
                }
                in = c.end;
            }
        }
        at = b.end;
    }
    if (!have_primary || !have_ipco)
        return ORIENTATION_UPRIGHT;

    // The property boxes, numbered from 1.
    box props[256]{};
    int prop_count = 0;
    for (uint64_t at = ipco.payload; at < ipco.end && prop_count < 255;) {
        box p{};
        if (!read_box(src, at, ipco.end, &p))
            break;
        props[++prop_count] = p;
        at = p.end;
    }

    int orientation = ORIENTATION_UPRIGHT;
    for (int m = 0; m < ipma_count; m++) {
        uint8_t vf[4];
        if (!read_at(src, ipma[m].payload, vf, 4))
            continue;
        bool wide_ids = vf[0] >= 1;
        bool wide_index = vf[3] & 1;
        uint64_t at = ipma[m].payload + 4;
        uint8_t n4[4];
        if (!read_at(src, at, n4, 4))
            continue;
        uint32_t entries = be32(n4);
        at += 4;
        for (uint32_t e = 0; e < entries && at < ipma[m].end; e++) {
            uint8_t idb[4];
            uint32_t item = 0;
            if (wide_ids) {
                if (!read_at(src, at, idb, 4))
                    break;
                item = be32(idb);
                at += 4;
            } else {
                if (!read_at(src, at, idb, 2))
                    break;
                item = be16(idb);
                at += 2;
            }
            uint8_t assoc_count = 0;
            if (!read_at(src, at++, &assoc_count, 1))
                break;
            for (unsigned a = 0; a < assoc_count; a++) {
                uint8_t ab[2];
                unsigned index = 0;
                if (wide_index) {
                    if (!read_at(src, at, ab, 2))
                        return orientation;
                    index = be16(ab) & 0x7fff;
                    at += 2;
                } else {
                    if (!read_at(src, at, ab, 1))
                        return orientation;
                    index = ab[0] & 0x7f;
                    at += 1;
                }
                if (item != primary || index < 1 || (int)index > prop_count)
                    continue;
                const box &p = props[index];
                uint8_t value = 0;
                if (!read_at(src, p.payload, &value, 1))
                    continue;
                // irot turns anticlockwise by 90 degrees per step; imir mode
                // 0 exchanges top and bottom, 1 left and right.
                static const int kTurns[4] = {1, 8, 3, 6};
                if (strcmp(p.type, "irot") == 0)
                    orientation = orientation_compose(orientation, kTurns[value & 3]);
                else if (strcmp(p.type, "imir") == 0)
                    orientation = orientation_compose(orientation, (value & 1) ? 2 : 4);
            }
        }
    }
    return orientation;
}

int heif_orientation(FILE *f) {
    if (fseeko(f, 0, SEEK_END) != 0)
        return ORIENTATION_UPRIGHT;
    off_t file_size = ftello(f);
    if (file_size <= 0)
        return ORIENTATION_UPRIGHT;
    byte_source src{f, nullptr, 0};
    uint64_t limit = (uint64_t)file_size;
    for (uint64_t at = 0; at < limit;) {
        box b{};
        if (!read_box(src, at, limit, &b))
            break;
        if (strcmp(b.type, "meta") == 0) {
            uint64_t size = b.end - b.payload;
            if (size > BLOCK_MAX || fseeko(f, (off_t)b.payload, SEEK_SET) != 0)
                return ORIENTATION_UPRIGHT;
            block_ptr block(static_cast<uint8_t *>(malloc(size ? size : 1)), &free);
            if (!block || fread(block.get(), 1, size, f) != size)
                return ORIENTATION_UPRIGHT;
            return heif_meta_orientation(block.get(), size);
        }
        at = b.end;
    }
    return ORIENTATION_UPRIGHT;
}

} // namespace

bool orientation_swaps_sides(int orientation) {
    return orientation >= 5 && orientation <= ORIENTATION_MAX;
}

int orientation_from_display_matrix(const int32_t matrix[9]) {
    if (!matrix)
        return ORIENTATION_UPRIGHT;
    // FFmpeg's matrix is applied to row vectors: its first two rows hold the
    // columns of the map above.
    linear_map m{sign(matrix[0]), sign(matrix[3]), sign(matrix[1]), sign(matrix[4])};
    return orientation_of_map(m);
}

int orientation_from_tiff(const uint8_t *data, size_t size) {
    if (!data)
        return ORIENTATION_UPRIGHT;
    return tiff_orientation(byte_source{nullptr, data, size});
}

int orientation_of_file(const char *path) {
    if (!path)
        return ORIENTATION_UPRIGHT;
    file_ptr f(fopen(path, "rbe"));
    if (!f)
        return ORIENTATION_UPRIGHT;
    uint8_t head[12];
    if (fread(head, 1, sizeof head, f.get()) != sizeof head)
        return ORIENTATION_UPRIGHT;
    if (head[0] == 0xff && head[1] == 0xd8)
        return jpeg_orientation(f.get());
    if (memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0)
        return png_orientation(f.get());
    if (memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WEBP", 4) == 0)
        return webp_orientation(f.get());
    if (memcmp(head, "II*\0", 4) == 0 || memcmp(head, "MM\0*", 4) == 0)
        return tiff_orientation(byte_source{f.get(), nullptr, 0});
    if (memcmp(head + 4, "ftyp", 4) == 0)
        return heif_orientation(f.get());
    return ORIENTATION_UPRIGHT;
}

void orientation_apply(const uint8_t *src, int width, int height, int orientation, uint8_t *dst) {
    const size_t w = (size_t)width;
    const size_t h = (size_t)height;
    if (orientation < ORIENTATION_UPRIGHT || orientation > ORIENTATION_MAX)
        orientation = ORIENTATION_UPRIGHT;
    // Shown width: the stored height for orientations 5 to 8.
    const size_t sw = orientation_swaps_sides(orientation) ? h : w;
    for (size_t y = 0; y < h; y++) {
        for (size_t x = 0; x < w; x++) {
            size_t dx = x, dy = y;
            switch (orientation) {
            case 2:
                dx = w - 1 - x;
                break;
            case 3:
                dx = w - 1 - x;
                dy = h - 1 - y;
                break;
            case 4:
                dy = h - 1 - y;
                break;
            case 5:
                dx = y;
                dy = x;
                break;
            case 6:
                dx = h - 1 - y;
                dy = x;
                break;
            case 7:
                dx = h - 1 - y;
                dy = w - 1 - x;
                break;
            case 8:
                dx = y;
                dy = w - 1 - x;
                break;
            default:
                break;
            }
            memcpy(dst + (dy * sw + dx) * 4, src + (y * w + x) * 4, 4);
        }
    }
}
