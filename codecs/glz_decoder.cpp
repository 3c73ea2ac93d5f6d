#include "codecs/glz_decoder.h"

#include <climits>
#include <cstring>
#include <memory>
#include <type_traits>

#include "runtime/exception.h"

using namespace lz_pixels;

namespace {

const uint32_t GLZ_HEADER_SIZE = 33;

// One image's decode, as the decoding functions see it.
struct GlzJob {
    GlzDecoderDebug* debug;
    GlzDecoderWindow* window;
    const uint8_t* in;
    const uint8_t* in_end;
    uint8_t* out;
    uint64_t limit;  // pixels
    uint64_t id;
    uint64_t index;  // ring index of this image
    uint64_t first_ref_id;
    const PaletteTable* plt;
};

[[noreturn]] __attribute__((noinline)) void job_fail(const GlzJob& job, const std::string& message) {
    job.debug->error(message);
    throw Exception(message);
}

#define GLZ_READ(var)                                       \
    do {                                                    \
        if (ip == end) {                                    \
            job_fail(job, "input ends inside the image\n"); \
        }                                                   \
        (var) = *ip++;                                      \
    } while (0)

// The same, checked only when `room` does not already say that the byte is there.
#define GLZ_NEXT(var)      \
    do {                   \
        if (room) {        \
            (var) = *ip++; \
        } else {           \
            GLZ_READ(var); \
        }                  \
    } while (0)

// count pixels from pixel offset of the image image_dist images back, into dst. That image is in the window
// (the head stays on the oldest image this one may reference) but may still be decoding elsewhere: then this
// waits.
template <class U>
void copy_from_image(const GlzJob& job, uint64_t image_dist, uint64_t offset, uint64_t count, uint8_t* dst) {
    if (image_dist > job.id - job.first_ref_id) {
        job_fail(job, "reference to an image outside the window\n");
    }
    GlzDecodedImage* ref = job.window->wait_for_image(job.window->ring_index_before(job.index, image_dist));
    if (ref->get_id() != job.id - image_dist || ref->get_bytes_per_pixel() != 4) {
        job_fail(job, "reference to an image the window does not hold\n");
    }
    if (offset > ref->get_size() || count > ref->get_size() - offset) {
        job_fail(job, "reference past the end of an earlier image\n");
    }
    const uint8_t* src = ref->get_data() + offset * 4;
    if (U::ALPHA_ONLY) {
        for (uint64_t i = 0; i < count; i++) {
            dst[4 * i + 3] = src[4 * i + 3];
        }
    } else {
        memcpy(dst, src, count * 4);
    }
}

// One pass over the body: exactly job.limit pixels from job.in; returns where the input it used ends.
//
// Control byte c: below 32, a literal run of c + 1 units. Otherwise a back-reference of length c >> 5 (with
// extension bytes when that is 7), a pixel offset from the low nibble of c and the next byte, and a byte k
// whose top two bits count the image-distance bytes that follow. Bit 4 of c clear: k's low six bits start the
// image distance. Set: k's low five bits extend the offset, the distance bytes stand alone, and k's bit 5
// announces one more offset byte. The length gets the type's bias, a reference into this image counts its
// offset from 1, and packed palettes count both in units of a byte.
template <class U, unsigned BIAS>
const uint8_t* glz_decompress(const GlzJob& job) {
    const uint8_t* ip = job.in;
    const uint8_t* const end = job.in_end;
    uint8_t* const out = job.out;
    const uint64_t limit = job.limit;
    uint64_t op = 0;

    while (op < limit) {
        uint8_t c;
        GLZ_READ(c);
        if (c < 32) {
            const uint64_t units = uint64_t(c) + 1;
            if (units * U::PPU > limit - op) {
                job_fail(job, "literal run past the end of the image\n");
            }
            if (uint64_t(end - ip) < units * U::IN_BYTES) {
                job_fail(job, "input ends inside the image\n");
            }
            uint8_t* dst = out + op * U::OUT_BYTES;
            uint64_t i = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            if (std::is_same<U, Rgb32Unit>::value) {
                // A pixel's three bytes by one 4-byte load with the fourth masked off, while the input holds
                // the byte after them.
                const uint64_t loads = uint64_t(end - ip) > units * 3 ? units : units - 1;
                for (; i < loads; i++, ip += 3, dst += 4) {
                    uint32_t v;
                    memcpy(&v, ip, 4);
                    v &= 0x00FFFFFF;
                    memcpy(dst, &v, 4);
                }
            }
#endif
            for (; i < units; i++, ip += U::IN_BYTES, dst += U::PPU * U::OUT_BYTES) {
                U::put(ip, dst, job.plt);
            }
            op += units * U::PPU;
            continue;
        }

        uint8_t b;
        uint64_t len = c >> 5;
        if (len == 7) {
            do {
                GLZ_READ(b);
                len += b;
            } while (b == 255);
        }
        // The rest of a reference is at most 6 bytes: with those at hand, no read needs its own check.
        const bool room = end - ip >= 6;
        GLZ_NEXT(b);
        uint64_t offset = (c & 15) + (uint64_t(b) << 4);
        uint8_t k;
        GLZ_NEXT(k);
        const unsigned extra = k >> 6;
        uint64_t image_dist;
        if (!(c & 16)) {
            image_dist = k & 63;
            for (unsigned i = 0; i < extra; i++) {
                GLZ_NEXT(b);
                image_dist += uint64_t(b) << (6 + 8 * i);
            }
        } else {
            offset += uint64_t(k & 31) << 12;
            image_dist = 0;
            for (unsigned i = 0; i < extra; i++) {
                GLZ_NEXT(b);
                image_dist += uint64_t(b) << (8 * i);
            }
            if (k & 32) {
                GLZ_NEXT(b);
                offset += uint64_t(b) << 17;
            }
        }
        len = (len + BIAS) * U::PPU;
        if (image_dist == 0) {
            offset++;
        }
        offset *= U::PPU;
        if (len > limit - op) {
            job_fail(job, "reference past the end of the image\n");
        }
        if (image_dist == 0) {
            if (offset > op) {
                job_fail(job, "reference before the start of the image\n");
            }
            copy_pixels<U>(out + op * U::OUT_BYTES, out + (op - offset) * U::OUT_BYTES, len);
        } else {
            copy_from_image<U>(job, image_dist, offset, len, out + op * U::OUT_BYTES);
        }
        op += len;
    }
    return ip;
}

#undef GLZ_NEXT
#undef GLZ_READ

const uint8_t* glz_decompress_rgba(const GlzJob& job) {
    GlzJob alpha = job;
    alpha.in = glz_decompress<Rgb32Unit, 0>(job);
    return glz_decompress<AlphaUnit, 2>(alpha);
}

typedef const uint8_t* (*GlzDecodeFn)(const GlzJob& job);

// Indexed by the image type; the types without an entry are refused before anything is called.
const GlzDecodeFn glz_decode_table[] = {
    nullptr,
    glz_decompress<Plt1LeUnit, 2>,     // glz_decompress_plt1_le_to_rgb32
    glz_decompress<Plt1BeUnit, 2>,     // glz_decompress_plt1_be_to_rgb32
    glz_decompress<Plt4LeUnit, 2>,     // glz_decompress_plt4_le_to_rgb32
    glz_decompress<Plt4BeUnit, 2>,     // glz_decompress_plt4_be_to_rgb32
    glz_decompress<Plt8Unit, 2>,       // glz_decompress_plt8_to_rgb32
    glz_decompress<Rgb16To32Unit, 1>,  // glz_decompress_rgb16_to_rgb32
    glz_decompress<Rgb32Unit, 0>,      // RGB24: glz_decompress_rgb32
    glz_decompress<Rgb32Unit, 0>,      // RGB32: glz_decompress_rgb32
    glz_decompress_rgba,               // glz_decompress_rgb32, then glz_decompress_alpha
};

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

GlzDecoder::GlzDecoder(GlzDecoderWindow& images_window, GlzDecodeHandler& usr_handler,
                       GlzDecoderDebug& debug_calls)
    : _window(images_window), _usr_handler(usr_handler), _debug_calls(debug_calls) {
    static SpiceGlzDecoderOps decoder_ops = {GlzDecoder::decode_slot};
    ops = &decoder_ops;
}

GlzDecoder::~GlzDecoder() {}

void GlzDecoder::decode_slot(SpiceGlzDecoder* decoder, const uint8_t* data, uint32_t data_size,
                             const SpicePalette* plt, void* usr_data) {
    static_cast<GlzDecoder*>(decoder)->decode(data, data_size, plt, usr_data);
}

void GlzDecoder::fail(const std::string& message) {
    _debug_calls.error(message);
    throw Exception(message);
}

void GlzDecoder::decode(const uint8_t* data, uint32_t data_size, const SpicePalette* palette,
                        void* usr_data) {
    if (!data || data_size < GLZ_HEADER_SIZE) {
        fail("image shorter than its header\n");
    }
    if (be32(data) != LZ_MAGIC) {
        _debug_calls.warn("bad magic\n");
    }
    if (be32(data + 4) != LZ_VERSION) {
        _debug_calls.warn("bad version\n");
    }
    const unsigned type = data[8] & 0x0F;
    const bool top_down = (data[8] & 0xF0) != 0;
    const uint32_t width = be32(data + 9);
    const uint32_t height = be32(data + 13);
    const uint32_t stride = be32(data + 17);
    const uint64_t id = uint64_t(be32(data + 21)) << 32 | be32(data + 25);
    const int32_t win_head_dist = int32_t(be32(data + 29));
    const uint64_t win_head_id = id - uint64_t(int64_t(win_head_dist));

    // Made before the window admits the image, so that a failure can always be finished there.
    std::unique_ptr<GlzDecodedImage> failed(new GlzDecodedImage(id, win_head_id, nullptr, 0, 4));
    uint64_t gross_pixels = 0;
    const char* refusal = nullptr;
    if (type >= sizeof(glz_decode_table) / sizeof(glz_decode_table[0]) || !glz_decode_table[type]) {
        refusal = "bad image type\n";
    } else if (height == 0) {
        refusal = "image of height 0\n";
    } else if (lz_is_plt_type(type) && !lz_plt_stride_fits(type, width, stride)) {
        refusal = "stride does not fit the width\n";
    } else if ((gross_pixels = lz_image_pixels(type, width, height, stride)) > INT32_MAX / 4 ||
               width > INT32_MAX || height > INT32_MAX) {
        refusal = "image too large\n";
    } else if (lz_is_plt_type(type) && !palette) {
        refusal = "a palette is missing (for bpp to rgb decoding)\n";
    } else if (lz_is_plt_type(type) && (palette->num_ents == 0 || !palette->ents)) {
        refusal = "the palette has no entries\n";
    }
    if (refusal) {
        // Later images may reference this id: it is finished in the window as failed, or they would wait for
        // it.
        try {
            uint64_t first_ref_id;
            _window.pre_decode_update_window(id, win_head_id, &first_ref_id);
            _window.finish_image(failed.release());
        } catch (const Exception&) {
            // The window refused the id (and said why) or is aborting: nothing waits for it.
        }
        fail(refusal);
    }
    PaletteTable plt;
    if (lz_is_plt_type(type)) {
        make_palette_table(type, *palette, &plt);
    }

    uint64_t first_ref_id;
    const uint64_t index = _window.pre_decode_update_window(id, win_head_id, &first_ref_id);

    GlzDecodedImage* image = nullptr;
    try {
        const LzImageType out_type = type == LZ_IMAGE_TYPE_RGBA ? LZ_IMAGE_TYPE_RGBA : LZ_IMAGE_TYPE_RGB32;
        image = _usr_handler.alloc_image(usr_data, id, win_head_id, out_type, int(width), int(height),
                                         int(gross_pixels), 4, top_down);
        if (!image || image->get_id() != id || (gross_pixels && !image->get_data()) ||
            image->get_size() < gross_pixels || image->get_bytes_per_pixel() != 4) {
            fail("the output image does not fit the image\n");
        }
        GlzJob job = {&_debug_calls,
                      &_window,
                      data + GLZ_HEADER_SIZE,
                      data + data_size,
                      image->get_data(),
                      gross_pixels,
                      id,
                      index,
                      first_ref_id,
                      &plt};
        glz_decode_table[type](job);
    } catch (...) {
        delete image;
        _window.finish_image(failed.release());
        throw;
    }
    _window.finish_image(image);
}
