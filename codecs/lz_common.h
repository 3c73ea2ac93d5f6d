// What the LZ and GLZ decoders share: the image types, the header constants, and the pixel units and copies
// their decoding loops are built from.
//
// A decoding loop is a template over one unit type, chosen once per image: the unit says how many compressed
// bytes one literal takes, how many output pixels it yields and how it writes them, so the loops carry no
// per-pixel format test.
#pragma once

#include <cstdint>
#include <cstring>

#include "transport/protocol/spice_types.h"

// Any 32-bit code may arrive from a server, hence the fixed underlying type.
enum LzImageType : uint32_t {
    LZ_IMAGE_TYPE_INVALID = 0,
    LZ_IMAGE_TYPE_PLT1_LE = 1,
    LZ_IMAGE_TYPE_PLT1_BE = 2,
    LZ_IMAGE_TYPE_PLT4_LE = 3,
    LZ_IMAGE_TYPE_PLT4_BE = 4,
    LZ_IMAGE_TYPE_PLT8 = 5,
    LZ_IMAGE_TYPE_RGB16 = 6,
    LZ_IMAGE_TYPE_RGB24 = 7,
    LZ_IMAGE_TYPE_RGB32 = 8,
    LZ_IMAGE_TYPE_RGBA = 9,
    LZ_IMAGE_TYPE_XXXA = 10,
    LZ_IMAGE_TYPE_A8 = 11,
};

// The bytes 20 20 5A 4C read as a big-endian word.
const uint32_t LZ_MAGIC = 0x20205A4C;
const uint32_t LZ_VERSION = 0x00010001;

inline bool lz_is_plt_type(unsigned type) {
    return type >= LZ_IMAGE_TYPE_PLT1_LE && type <= LZ_IMAGE_TYPE_PLT8;
}

// Pixels packed in one byte of a palette image; 0 for the other types.
inline unsigned lz_plt_pixels_per_byte(unsigned type) {
    static const uint8_t table[] = {0, 8, 8, 2, 2, 1};
    return type < sizeof(table) ? table[type] : 0;
}

// Whether a palette image's stride fits its width: at least the bytes of a row, and no more than those
// rounded up to the 4-byte alignment rows are given. Every byte of stride costs a row of decoded pixels, so a
// larger one would only make the image bigger.
inline bool lz_plt_stride_fits(unsigned type, uint32_t width, uint32_t stride) {
    const unsigned per_byte = lz_plt_pixels_per_byte(type);
    if (per_byte == 0) {
        return true;  // not a palette type: the stride counts for nothing
    }
    const uint64_t row_bytes = (uint64_t(width) + per_byte - 1) / per_byte;
    return stride >= row_bytes && stride <= (row_bytes + 3) / 4 * 4;
}

// Output pixels of an image: stride x pixels per byte x height for palette types, width x height for the
// others, in 64 bits. 0 when a palette image's stride does not fit its width (lz_plt_stride_fits).
inline uint64_t lz_image_pixels(unsigned type, uint32_t width, uint32_t height, uint32_t stride) {
    if (!lz_is_plt_type(type)) {
        return uint64_t(width) * height;
    }
    if (!lz_plt_stride_fits(type, width, stride)) {
        return 0;
    }
    return uint64_t(stride) * lz_plt_pixels_per_byte(type) * height;
}

// ---- Internal to the decoders ----

namespace lz_pixels {

inline void store32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline uint32_t widen5(uint32_t v) {
    return (v << 3) | (v >> 2);
}

// Palette literals look their colour up here: built once per image, so that an index the palette does not
// hold costs no test in the loop. Entries carry the pad byte 0.
struct PaletteTable {
    uint32_t ents[256];
};

// Fills the table for a palette type from a palette of at least one entry: PLT4 indices wrap around the entry
// count; PLT8 and PLT1 indices past it take entry 0.
inline void make_palette_table(unsigned type, const SpicePalette& palette, PaletteTable* table) {
    const unsigned n = palette.num_ents;
    for (unsigned i = 0; i < 256; i++) {
        unsigned index;
        if (type == LZ_IMAGE_TYPE_PLT4_LE || type == LZ_IMAGE_TYPE_PLT4_BE) {
            index = (i & 15) % n;
        } else {
            index = i < n ? i : 0;
        }
        table->ents[i] = palette.ents[index] & 0x00FFFFFF;
    }
}

// A unit: IN_BYTES compressed bytes make PPU output pixels of OUT_BYTES bytes each. ALPHA_ONLY units write
// and copy only the fourth byte of each pixel. put() writes one unit's pixels at out.

struct ByteUnit {  // a palette image to itself (packed bytes), A8 to A8
    enum { IN_BYTES = 1, PPU = 1, OUT_BYTES = 1, ALPHA_ONLY = 0 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable*) { out[0] = in[0]; }
};

struct Rgb16Unit {  // the word as sent, first byte high, stored in host order
    enum { IN_BYTES = 2, PPU = 1, OUT_BYTES = 2, ALPHA_ONLY = 0 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable*) {
        uint16_t v = uint16_t((in[0] << 8) | in[1]);
        memcpy(out, &v, 2);
    }
};

struct Rgb16To32Unit {
    enum { IN_BYTES = 2, PPU = 1, OUT_BYTES = 4, ALPHA_ONLY = 0 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable*) {
        uint32_t v = (uint32_t(in[0]) << 8) | in[1];
        out[0] = uint8_t(widen5(v & 31));
        out[1] = uint8_t(widen5((v >> 5) & 31));
        out[2] = uint8_t(widen5((v >> 10) & 31));
        out[3] = 0;
    }
};

struct Rgb24Unit {
    enum { IN_BYTES = 3, PPU = 1, OUT_BYTES = 3, ALPHA_ONLY = 0 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable*) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
    }
};

struct Rgb32Unit {  // b, g, r in; b, g, r, 0 out (RGB24 and RGB32 to RGB32, the colour pass of RGBA)
    enum { IN_BYTES = 3, PPU = 1, OUT_BYTES = 4, ALPHA_ONLY = 0 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable*) {
        store32(out, uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16);
    }
};

struct A8To32Unit {
    enum { IN_BYTES = 1, PPU = 1, OUT_BYTES = 4, ALPHA_ONLY = 0 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable*) {
        store32(out, uint32_t(in[0]) << 24);
    }
};

struct AlphaUnit {  // the alpha pass of RGBA and XXXA
    enum { IN_BYTES = 1, PPU = 1, OUT_BYTES = 4, ALPHA_ONLY = 1 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable*) { out[3] = in[0]; }
};

struct Plt8Unit {
    enum { IN_BYTES = 1, PPU = 1, OUT_BYTES = 4, ALPHA_ONLY = 0 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable* plt) {
        store32(out, plt->ents[in[0]]);
    }
};

struct Plt4BeUnit {  // high nibble first
    enum { IN_BYTES = 1, PPU = 2, OUT_BYTES = 4, ALPHA_ONLY = 0 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable* plt) {
        store32(out, plt->ents[in[0] >> 4]);
        store32(out + 4, plt->ents[in[0] & 15]);
    }
};

struct Plt4LeUnit {  // low nibble first
    enum { IN_BYTES = 1, PPU = 2, OUT_BYTES = 4, ALPHA_ONLY = 0 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable* plt) {
        store32(out, plt->ents[in[0] & 15]);
        store32(out + 4, plt->ents[in[0] >> 4]);
    }
};

struct Plt1BeUnit {  // bit 7 first
    enum { IN_BYTES = 1, PPU = 8, OUT_BYTES = 4, ALPHA_ONLY = 0 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable* plt) {
        for (int i = 0; i < 8; i++) {
            store32(out + 4 * i, plt->ents[(in[0] >> (7 - i)) & 1]);
        }
    }
};

struct Plt1LeUnit {  // bit 0 first
    enum { IN_BYTES = 1, PPU = 8, OUT_BYTES = 4, ALPHA_ONLY = 0 };
    static void put(const uint8_t* in, uint8_t* out, const PaletteTable* plt) {
        for (int i = 0; i < 8; i++) {
            store32(out + 4 * i, plt->ents[(in[0] >> i) & 1]);
        }
    }
};

// Copies count pixels of U's layout from src to dst, front to back, as if one pixel at a time: when src lies
// less than count pixels before dst the copy repeats the pixels between them. src never lies after dst.
template <class U>
inline void copy_pixels(uint8_t* dst, const uint8_t* src, uint64_t count) {
    if (U::ALPHA_ONLY) {
        for (uint64_t i = 0; i < count; i++) {
            dst[4 * i + 3] = src[4 * i + 3];
        }
        return;
    }
    const uint64_t n = count * U::OUT_BYTES;
    const uint64_t gap = uint64_t(dst - src);
    if (count <= 16) {
        // Most references are short: a pixel at a time beats a call.
        for (uint64_t i = 0; i < n; i += U::OUT_BYTES) {
            memcpy(dst + i, src + i, U::OUT_BYTES);
        }
    } else if (gap >= n) {
        memcpy(dst, src, n);
    } else {
        // [src, dst) repeats with the period gap; copying it doubles it each round without any overlap.
        uint64_t done = 0;
        while (done < n) {
            uint64_t part = uint64_t(dst + done - src);
            if (part > n - done) {
                part = n - done;
            }
            memcpy(dst + done, src, part);
            done += part;
        }
    }
}

}  // namespace lz_pixels
