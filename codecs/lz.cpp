#include "codecs/lz.h"

#include <climits>
#include <new>

using namespace lz_pixels;

struct LzContext {
    LzUsrContext* usr;
    // The image begun by lz_decode_begin.
    bool begun;
    LzImageType type;
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint64_t n_pixels;
    const SpicePalette* palette;
    // Input not read yet: [io_now, io_end), then whatever more_space hands out.
    const uint8_t* io_now;
    const uint8_t* io_end;
};

namespace {

struct Span {
    const uint8_t* begin;
    const uint8_t* end;
};

// The next piece of input from more_space; {nullptr, nullptr} (after the error report) when none comes. Kept
// out of line so the decoding loops hold their read position in registers.
__attribute__((noinline)) Span more_input(LzContext* lz) {
    uint8_t* more = nullptr;
    int n = lz->usr->more_space(lz->usr, &more);
    if (n <= 0 || !more) {
        lz->usr->error(lz->usr, "%s: no more bytes\n", "decode");
        return Span{nullptr, nullptr};
    }
    return Span{more, more + n};
}

bool read_byte(LzContext* lz, uint8_t* out) {
    if (lz->io_now == lz->io_end) {
        Span s = more_input(lz);
        if (!s.begin) {
            return false;
        }
        lz->io_now = s.begin;
        lz->io_end = s.end;
    }
    *out = *lz->io_now++;
    return true;
}

bool read_word_be(LzContext* lz, uint32_t* out) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) {
        uint8_t b;
        if (!read_byte(lz, &b)) {
            return false;
        }
        v = (v << 8) | b;
    }
    *out = v;
    return true;
}

// The next byte into var; returns false from the decoding function when the input has run out.
#define LZ_READ(var)                  \
    do {                              \
        if (ip == end) {              \
            Span s_ = more_input(lz); \
            if (!s_.begin) {          \
                return false;         \
            }                         \
            ip = s_.begin;            \
            end = s_.end;             \
        }                             \
        (var) = *ip++;                \
    } while (0)

// One pass over the body: exactly limit pixels of U's layout into out.
//
// Control byte c: below 32, a literal run of c + 1 units. Otherwise a back-reference: length (c >> 5) - 1
// with extension bytes when that is 6, distance ((c & 31) << 8) + next byte, or 8191 + a 16-bit big-endian
// value after the escape 31, 255; then the length gets U's bias (3, 2 or 1 for units of 1, 2 or 3 bytes) and
// the distance 1, and both count units, so packed palettes multiply them by the pixels per byte.
template <class U>
bool lz_decompress(LzContext* lz, uint8_t* out, uint64_t limit, const PaletteTable* plt) {
    const unsigned bias = U::IN_BYTES == 1 ? 3 : U::IN_BYTES == 2 ? 2 : 1;
    const uint8_t* ip = lz->io_now;
    const uint8_t* end = lz->io_end;
    uint64_t op = 0;

    while (op < limit) {
        uint8_t c;
        LZ_READ(c);
        if (c < 32) {
            const uint64_t units = uint64_t(c) + 1;
            if (units * U::PPU > limit - op) {
                lz->usr->error(lz->usr, "literal run past the end of the image\n");
                return false;
            }
            uint8_t* dst = out + op * U::OUT_BYTES;
            if (uint64_t(end - ip) >= units * U::IN_BYTES) {
                for (uint64_t i = 0; i < units; i++, ip += U::IN_BYTES, dst += U::PPU * U::OUT_BYTES) {
                    U::put(ip, dst, plt);
                }
            } else {
                uint8_t unit[U::IN_BYTES];
                for (uint64_t i = 0; i < units; i++, dst += U::PPU * U::OUT_BYTES) {
                    for (unsigned k = 0; k < U::IN_BYTES; k++) {
                        LZ_READ(unit[k]);
                    }
                    U::put(unit, dst, plt);
                }
            }
            op += units * U::PPU;
            continue;
        }

        uint64_t len = (c >> 5) - 1;
        if (len == 6) {
            uint8_t b;
            do {
                LZ_READ(b);
                len += b;
            } while (b == 255);
        }
        uint8_t d;
        uint64_t dist;
        if (end - ip >= 3) {
            // The distance takes at most 3 bytes: with those at hand, no read needs its own check.
            d = *ip++;
            dist = (uint64_t(c & 31) << 8) + d;
            if (d == 255 && (c & 31) == 31) {
                dist = (uint64_t(ip[0]) << 8) + ip[1] + 8191;
                ip += 2;
            }
        } else {
            LZ_READ(d);
            dist = (uint64_t(c & 31) << 8) + d;
            if (d == 255 && (c & 31) == 31) {
                uint8_t hi, lo;
                LZ_READ(hi);
                LZ_READ(lo);
                dist = (uint64_t(hi) << 8) + lo + 8191;
            }
        }
        len = (len + bias) * U::PPU;
        dist = (dist + 1) * U::PPU;
        if (dist > op) {
            lz->usr->error(lz->usr, "reference before the start of the image\n");
            return false;
        }
        if (len > limit - op) {
            lz->usr->error(lz->usr, "reference past the end of the image\n");
            return false;
        }
        copy_pixels<U>(out + op * U::OUT_BYTES, out + (op - dist) * U::OUT_BYTES, len);
        op += len;
    }
    lz->io_now = ip;
    lz->io_end = end;
    return true;
}

#undef LZ_READ

typedef bool (*LzDecompressFn)(LzContext* lz, uint8_t* out, uint64_t limit, const PaletteTable* plt);

// Decoding of a palette type to RGB32, by type.
const LzDecompressFn plt_to_rgb32[] = {
    nullptr,
    lz_decompress<Plt1LeUnit>,
    lz_decompress<Plt1BeUnit>,
    lz_decompress<Plt4LeUnit>,
    lz_decompress<Plt4BeUnit>,
    lz_decompress<Plt8Unit>,
};

bool all_input_used(LzContext* lz) {
    if (lz->io_now != lz->io_end) {
        return false;
    }
    uint8_t* more = nullptr;
    return lz->usr->more_space(lz->usr, &more) <= 0;
}

}  // namespace

LzContext* lz_create(LzUsrContext* usr) {
    if (!usr || !usr->error || !usr->warn || !usr->info || !usr->malloc || !usr->free || !usr->more_space) {
        return nullptr;
    }
    void* block = usr->malloc(usr, sizeof(LzContext));
    if (!block) {
        return nullptr;
    }
    LzContext* lz = new (block) LzContext();
    lz->usr = usr;
    return lz;
}

void lz_destroy(LzContext* lz) {
    if (lz) {
        lz->usr->free(lz->usr, lz);
    }
}

int lz_decode_begin(LzContext* lz, const uint8_t* io_ptr, unsigned int num_io_bytes, LzImageType* out_type,
                    int* out_width, int* out_height, int* out_n_pixels, int* out_top_down,
                    const SpicePalette* palette) {
    LzUsrContext* usr = lz->usr;
    lz->begun = false;
    if (num_io_bytes && (!io_ptr || uintptr_t(io_ptr) > UINTPTR_MAX - num_io_bytes)) {
        usr->error(usr, "io reset failed");
        return -1;
    }
    lz->io_now = io_ptr;
    lz->io_end = io_ptr + num_io_bytes;

    uint32_t magic, version, type, width, height, stride, top_down;
    if (!read_word_be(lz, &magic)) {
        return -1;
    }
    if (magic != LZ_MAGIC) {
        usr->error(usr, "bad magic\n");
        return -1;
    }
    if (!read_word_be(lz, &version)) {
        return -1;
    }
    if (version != LZ_VERSION) {
        usr->error(usr, "bad version\n");
        return -1;
    }
    if (!read_word_be(lz, &type) || !read_word_be(lz, &width) || !read_word_be(lz, &height) ||
        !read_word_be(lz, &stride) || !read_word_be(lz, &top_down)) {
        return -1;
    }

    // A type above 11 counts as a non-palette type here; lz_decode refuses it.
    uint64_t n_pixels = lz_image_pixels(type, width, height, stride);
    if (lz_is_plt_type(type) && !lz_plt_stride_fits(type, width, stride)) {
        usr->error(usr, "stride %u does not fit width %u\n", stride, width);
        return -1;
    }
    if (n_pixels > INT32_MAX || width > INT32_MAX || height > INT32_MAX) {
        usr->error(usr, "image too large: %u x %u\n", width, height);
        return -1;
    }

    lz->type = LzImageType(type);
    lz->width = width;
    lz->height = height;
    lz->stride = stride;
    lz->n_pixels = n_pixels;
    lz->palette = lz_is_plt_type(type) ? palette : nullptr;
    lz->begun = true;

    *out_type = lz->type;
    *out_width = int(width);
    *out_height = int(height);
    *out_n_pixels = int(n_pixels);
    *out_top_down = int(top_down);
    return 0;
}

int lz_decode(LzContext* lz, LzImageType to_type, uint8_t* buf, uint64_t buf_size) {
    LzUsrContext* usr = lz->usr;
    if (!lz->begun) {
        usr->error(usr, "no image begun\n");
        return -1;
    }
    lz->begun = false;
    const unsigned type = lz->type;

    // The passes of this image and the bytes per pixel of the output layout.
    LzDecompressFn first = nullptr;
    LzDecompressFn second = nullptr;
    uint64_t size = lz->n_pixels;
    unsigned out_bytes = 4;
    PaletteTable plt;

    if (lz_is_plt_type(type)) {
        if (to_type == LzImageType(type)) {
            first = lz_decompress<ByteUnit>;
            size = uint64_t(lz->height) * lz->stride;
            out_bytes = 1;
        } else if (to_type == LZ_IMAGE_TYPE_RGB32) {
            if (!lz->palette) {
                usr->error(usr, "a palette is missing (for bpp to rgb decoding)\n");
                return -1;
            }
            if (lz->palette->num_ents == 0 || !lz->palette->ents) {
                usr->error(usr, "the palette has no entries\n");
                return -1;
            }
            make_palette_table(type, *lz->palette, &plt);
            first = plt_to_rgb32[type];
        } else {
            usr->error(usr, "unsupported output format\n");
            return -1;
        }
    } else {
        switch (type) {
            case LZ_IMAGE_TYPE_RGB16:
                if (to_type == LZ_IMAGE_TYPE_RGB16) {
                    first = lz_decompress<Rgb16Unit>;
                    out_bytes = 2;
                } else if (to_type == LZ_IMAGE_TYPE_RGB32) {
                    first = lz_decompress<Rgb16To32Unit>;
                }
                break;
            case LZ_IMAGE_TYPE_RGB24:
                if (to_type == LZ_IMAGE_TYPE_RGB24) {
                    first = lz_decompress<Rgb24Unit>;
                    out_bytes = 3;
                } else if (to_type == LZ_IMAGE_TYPE_RGB32) {
                    first = lz_decompress<Rgb32Unit>;
                }
                break;
            case LZ_IMAGE_TYPE_RGB32:
                if (to_type == LZ_IMAGE_TYPE_RGB32) {
                    first = lz_decompress<Rgb32Unit>;
                }
                break;
            case LZ_IMAGE_TYPE_RGBA:
                if (to_type == LZ_IMAGE_TYPE_RGBA) {
                    first = lz_decompress<Rgb32Unit>;
                    second = lz_decompress<AlphaUnit>;
                }
                break;
            case LZ_IMAGE_TYPE_XXXA:
                if (to_type == LZ_IMAGE_TYPE_XXXA) {
                    first = lz_decompress<AlphaUnit>;
                }
                break;
            case LZ_IMAGE_TYPE_A8:
                if (to_type == LZ_IMAGE_TYPE_A8) {
                    first = lz_decompress<ByteUnit>;
                    out_bytes = 1;
                } else if (to_type == LZ_IMAGE_TYPE_RGB32) {
                    first = lz_decompress<A8To32Unit>;
                }
                break;
            default:
                usr->error(usr, "bad image type\n");
                return -1;
        }
        if (!first) {
            usr->error(usr, "unsupported output format\n");
            return -1;
        }
    }

    if (!buf || buf_size / out_bytes < size) {
        usr->error(usr, "output buffer too small\n");
        return -1;
    }
    if (!first(lz, buf, size, &plt) || (second && !second(lz, buf, size, &plt))) {
        return -1;
    }
    if (!all_input_used(lz)) {
        usr->error(usr, "input left over after the image\n");
        return -1;
    }
    return 0;
}
