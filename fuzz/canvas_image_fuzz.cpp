// The canvas's image fetch on arbitrary image descriptors: every image type, with the real QUIC, LZ, JPEG and
// zlib decoders, an image cache holding an x8r8g8b8, an a1 and an a8 image (ids 0 to 2) and a palette cache
// holding palette 1. The GLZ decoder is a stand-in that makes an output image or throws, as the real one
// does, so that no decode waits on a window for an image that never comes (the GLZ decoder has targets of its
// own).
//
// Input: 18 bytes of fields, then the payload, cut into two chunks where byte 13 says.
//   0 type (index into the table below)     1 descriptor flags        2 canvas format (index)
//   3 bit 0 keep format, bit 1 real get, bit 2 also fetch as a mask, bit 3 mask inverted, bit 4 invert later
//   4-5 width, 6-7 height (little-endian, at most 1024)     8 bitmap format   9 bitmap or LZ palette flags
//   10-11 bitmap stride     12 palette entries (0: none)     13 cut     14-15 JPEG or inflated GLZ size
//   16 cache id (mod 4)     17 reserved
#include "canvas/canvas_base.h"
#include "canvas/canvas_utils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "canvas/tests/support/image_map.h"
#include "runtime/exception.h"
#include "runtime/mem.h"

namespace {

struct FuzzImageCache : SpiceImageCache, canvas_test::ImageMap {
    FuzzImageCache();
};

FuzzImageCache* cache_of(SpiceImageCache* cache) {
    return static_cast<FuzzImageCache*>(cache);
}

const SpiceImageCacheOps image_cache_ops = {
    [](SpiceImageCache* c, uint64_t id, pixman_image_t* image) { cache_of(c)->store(id, image); },
    [](SpiceImageCache* c, uint64_t id) { return cache_of(c)->find(id); },
    [](SpiceImageCache* c, uint64_t id, pixman_image_t* image) { cache_of(c)->store(id, image); },
    [](SpiceImageCache* c, uint64_t id, pixman_image_t* image) { cache_of(c)->store(id, image); },
    [](SpiceImageCache* c, uint64_t id) { return cache_of(c)->find(id); },
};

FuzzImageCache::FuzzImageCache() {
    ops = &image_cache_ops;
    const pixman_format_code_t formats[] = {PIXMAN_x8r8g8b8, PIXMAN_a1, PIXMAN_a8};
    for (uint64_t id = 0; id < 3; id++) {
        pixman_image_t* image = surface_create(nullptr, formats[id], 8, 8, 1);
        store(id, image);
        pixman_image_unref(image);
    }
}

uint32_t cached_palette_entries[2] = {0x00ff00, 0x0000ff};
SpicePalette cached_palette = {1, 2, cached_palette_entries};

SpicePaletteCacheOps palette_cache_ops = {
    [](SpicePaletteCache*, SpicePalette*) {},
    [](SpicePaletteCache*, uint64_t id) { return id == 1 ? &cached_palette : nullptr; },
    [](SpicePaletteCache*, SpicePalette*) {},
};
SpicePaletteCache palette_cache = {&palette_cache_ops};

// Byte 0 of the GLZ data: odd throws; otherwise bytes 1 and 2 are the width and height (0 makes no image).
SpiceGlzDecoderOps glz_ops = {
    [](SpiceGlzDecoder*, const uint8_t* data, uint32_t size, const SpicePalette*, void* usr_data) {
        if (size < 3 || (data[0] & 1)) {
            throw Exception("glz decode failed");
        }
        if (data[1] && data[2]) {
            lz_output_surface_create(static_cast<LzDecodeUsrData*>(usr_data),
                                     (data[0] & 2) ? PIXMAN_a8r8g8b8 : PIXMAN_x8r8g8b8, data[1], data[2],
                                     data[1] * data[2], data[0] & 4);
        }
        if (data[0] & 8) {
            throw Exception("glz decode failed after making its image");
        }
    },
};
SpiceGlzDecoder glz_decoder = {&glz_ops};

const uint8_t image_types[] = {
    SPICE_IMAGE_TYPE_BITMAP,
    SPICE_IMAGE_TYPE_QUIC,
    SPICE_IMAGE_TYPE_LZ_PLT,
    SPICE_IMAGE_TYPE_LZ_RGB,
    SPICE_IMAGE_TYPE_GLZ_RGB,
    SPICE_IMAGE_TYPE_FROM_CACHE,
    SPICE_IMAGE_TYPE_SURFACE,
    SPICE_IMAGE_TYPE_JPEG,
    SPICE_IMAGE_TYPE_FROM_CACHE_LOSSLESS,
    SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB,
    SPICE_IMAGE_TYPE_JPEG_ALPHA,
    SPICE_IMAGE_TYPE_COMPACT_110,
    2,
};
const uint32_t canvas_formats[] = {
    SPICE_SURFACE_FMT_32_xRGB, SPICE_SURFACE_FMT_32_ARGB, SPICE_SURFACE_FMT_16_555,
    SPICE_SURFACE_FMT_16_565,  SPICE_SURFACE_FMT_8_A,     SPICE_SURFACE_FMT_1_A,
};

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

const size_t HEADER = 18;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < HEADER || size > (1 << 20)) {
        return 0;
    }
    static JpegDecoder jpeg;
    static ZlibDecoder zlib;

    const uint8_t type = image_types[data[0] % sizeof(image_types)];
    const uint32_t canvas_format =
        canvas_formats[data[2] % (sizeof(canvas_formats) / sizeof(canvas_formats[0]))];
    const uint32_t width = le16(data + 4) % 1025;
    const uint32_t height = le16(data + 6) % 1025;

    // Each piece in a block of its own, so that a read past either end is seen.
    const size_t payload_size = size - HEADER;
    const size_t cut = payload_size * data[13] / 255;
    const uint8_t* payload = data + HEADER;
    std::vector<uint8_t> first(payload, payload + cut);
    std::vector<uint8_t> second(payload + cut, payload + payload_size);
    const bool two = !first.empty() && !second.empty();
    SpiceChunks* chunks = spice_chunks_new(two ? 2 : 1);
    chunks->num_chunks = two ? 2 : 1;
    chunks->data_size = uint32_t(payload_size);
    std::vector<uint8_t>& only = first.empty() ? second : first;
    chunks->chunk[0] = {only.data(), uint32_t(only.size())};
    if (two) {
        chunks->chunk[1] = {second.data(), uint32_t(second.size())};
    }

    std::vector<uint32_t> entries(data[12]);
    for (size_t i = 0; i < entries.size(); i++) {
        entries[i] = uint32_t(0x9E3779B9u * (i + 1));
    }
    SpicePalette palette = {2, uint16_t(entries.size()), entries.data()};
    SpicePalette* maybe_palette = entries.empty() ? nullptr : &palette;

    SpiceImage image;
    memset(&image, 0, sizeof(image));
    image.descriptor.id = data[16] % 4;
    image.descriptor.type = type;
    image.descriptor.flags = data[1];
    image.descriptor.width = width;
    image.descriptor.height = height;
    switch (type) {
        case SPICE_IMAGE_TYPE_BITMAP:
            image.u.bitmap = {data[8], data[9], width, height, le16(data + 10), maybe_palette, 1, chunks};
            break;
        case SPICE_IMAGE_TYPE_LZ_PLT:
            image.u.lz_plt = {data[9], uint32_t(payload_size), maybe_palette, 1, chunks};
            break;
        case SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB:
            image.u.zlib_glz = {le16(data + 14), uint32_t(payload_size), chunks};
            break;
        case SPICE_IMAGE_TYPE_JPEG_ALPHA:
            image.u.jpeg_alpha = {data[9], std::min<uint32_t>(le16(data + 14), uint32_t(payload_size)),
                                  uint32_t(payload_size), chunks};
            break;
        case SPICE_IMAGE_TYPE_SURFACE:
            image.u.surface.surface_id = 1;
            break;
        default:
            image.u.quic = {uint32_t(payload_size), chunks};
            break;
    }

    FuzzImageCache image_cache;
    SpiceCanvasOps ops;
    memset(&ops, 0, sizeof(ops));
    auto* canvas = static_cast<SpiceCanvas*>(calloc(1, sizeof(SpiceCanvas)));
    if (canvas_state_init(canvas, &ops, 64, 64, canvas_format, &image_cache, &palette_cache, nullptr,
                          &glz_decoder, jpeg.face(), &zlib)) {
        const uint8_t mode = data[3];
        if (mode & 2) {
            pixman_image_t* got = canvas_get_image(&canvas->base, &image, mode & 1);
            if (got) {
                pixman_image_unref(got);
            }
        } else {
            canvas_visit_image(&canvas->base, &image);
        }
        if (mode & 4) {
            SpiceQMask mask = {uint8_t((mode >> 3) & 1), {0, 0}, &image};
            int needs_invert = 0;
            pixman_image_t* got =
                canvas_get_mask(&canvas->base, &mask, (mode & 16) ? &needs_invert : nullptr);
            if (got) {
                pixman_image_unref(got);
            }
        }
        canvas_state_free(canvas);
    }
    free(canvas);
    spice_chunks_destroy(chunks);
    return 0;
}
