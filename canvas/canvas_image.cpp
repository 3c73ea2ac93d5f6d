// Image fetch of the common canvas code: a SPICE image descriptor becomes a pixman image, decoded by the
// decoder of its type or taken from the image cache, stored into the caches the descriptor names, and
// converted to the canvas format unless the caller keeps the decoded one. Also the masks, glyph-string masks,
// copies of the canvas itself and scaled copies of images.
//
// Every size here comes from the server: sizes are checked in 64 bits against the data and against
// MAX_IMAGE_PIXELS before anything is read or allocated, and a failed check abandons the fetch (null).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>

#include "canvas/canvas_base.h"
#include "canvas/canvas_utils.h"
#include "canvas/image_refs.h"
#include "canvas/pixman_utils.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/peer_check.h"

namespace {

// zlib inflates at most about 1032 bytes from one; a larger announced size cannot be genuine.
const uint64_t ZLIB_MAX_RATIO = 1032;

bool image_size_ok(uint64_t width, uint64_t height) {
    if (width == 0 || height == 0 || width > MAX_IMAGE_SIDE || height > MAX_IMAGE_SIDE ||
        width * height > MAX_IMAGE_PIXELS) {
        peer_warning("invalid image size %llu x %llu", static_cast<unsigned long long>(width),
                     static_cast<unsigned long long>(height));
        return false;
    }
    return true;
}

// Owns one image reference until released to the caller.
class ImageRef {
public:
    explicit ImageRef(pixman_image_t* image = nullptr) : _image(image) {}
    ~ImageRef() { reset(); }
    ImageRef(const ImageRef&) = delete;
    ImageRef& operator=(const ImageRef&) = delete;

    pixman_image_t* get() const { return _image; }
    pixman_image_t* release() {
        pixman_image_t* image = _image;
        _image = nullptr;
        return image;
    }
    void reset(pixman_image_t* image = nullptr) {
        if (_image) {
            canvas_image_unref(_image);
        }
        _image = image;
    }

private:
    pixman_image_t* _image;
};

// The one chunk of a compressed image, or false after a report; condition is the log's text for the
// chunk count check.
bool single_chunk(SpiceChunks* chunks, const char* condition, const uint8_t** data, uint32_t* size) {
    peer_return_val_if_fail(chunks != nullptr, false);
    peer_return_val_if_fail_text(chunks->num_chunks == 1, condition, false);
    peer_return_val_if_fail(chunks->chunk[0].data != nullptr || chunks->chunk[0].len == 0, false);
    *data = chunks->chunk[0].data;
    *size = chunks->chunk[0].len;
    return true;
}

// The bytes of a bitmap's chunks as one block (joined when there are several), or false.
bool bitmap_bytes(SpiceChunks* chunks, uint8_t** data, uint64_t* size) {
    peer_return_val_if_fail(chunks != nullptr, false);
    if (chunks->num_chunks > 1) {
        spice_chunks_flatten(chunks);
    }
    if (chunks->num_chunks == 0) {
        *data = nullptr;
        *size = 0;
        return true;
    }
    *data = chunks->chunk[0].data;
    *size = chunks->chunk[0].data ? chunks->chunk[0].len : 0;
    return true;
}

// A palette the server sent with "cache me" goes to the palette cache; one sent "from cache" comes from it
// and is released to it afterwards.
class PaletteHold {
public:
    PaletteHold(CanvasBase* canvas, uint8_t flags, SpicePalette* palette, uint64_t palette_id)
        : _cache(canvas->palette_cache) {
        if (flags & SPICE_BITMAP_FLAGS_PAL_FROM_CACHE) {
            if (_cache) {
                _palette = _cache->ops->get(_cache, palette_id);
                _from_cache = _palette != nullptr;
            } else {
                peer_warning("no palette cache for palette %llu",
                             static_cast<unsigned long long>(palette_id));
            }
        } else {
            _palette = palette;
            if (palette && (flags & SPICE_BITMAP_FLAGS_PAL_CACHE_ME) && _cache) {
                _cache->ops->put(_cache, palette);
            }
        }
    }
    ~PaletteHold() {
        if (_from_cache) {
            _cache->ops->release(_cache, _palette);
        }
    }
    PaletteHold(const PaletteHold&) = delete;
    PaletteHold& operator=(const PaletteHold&) = delete;

    SpicePalette* get() const { return _palette; }

private:
    SpicePaletteCache* _cache;
    SpicePalette* _palette = nullptr;
    bool _from_cache = false;
};

pixman_format_code_t canvas_pixman_format(CanvasBase* canvas) {
    return surface_format_to_pixman_format(canvas->format);
}

bool canvas_is_32bit(CanvasBase* canvas) {
    return canvas->format == SPICE_SURFACE_FMT_32_xRGB || canvas->format == SPICE_SURFACE_FMT_32_ARGB;
}

// ---- bitmap ----

pixman_format_code_t bitmap_image_format(CanvasBase* canvas, uint8_t bitmap_format, int want_original) {
    const pixman_format_code_t canvas_format = canvas_pixman_format(canvas);
    if (want_original) {
        switch (bitmap_format) {
            case SPICE_BITMAP_FMT_16BIT:
                return PIXMAN_x1r5g5b5;
            case SPICE_BITMAP_FMT_24BIT:
            case SPICE_BITMAP_FMT_32BIT:
                return PIXMAN_x8r8g8b8;
            case SPICE_BITMAP_FMT_RGBA:
                return PIXMAN_a8r8g8b8;
            case SPICE_BITMAP_FMT_8BIT_A:
                return PIXMAN_a8;
            default:
                // The palette formats take the canvas's; unknown formats were refused before.
                return canvas_format;
        }
    }
    if (bitmap_format == SPICE_BITMAP_FMT_RGBA && canvas_format == PIXMAN_x8r8g8b8) {
        return PIXMAN_a8r8g8b8;
    }
    if (bitmap_format != SPICE_BITMAP_FMT_RGBA && canvas_format == PIXMAN_a8r8g8b8) {
        return PIXMAN_x8r8g8b8;
    }
    return canvas_format;
}

// Checks a bitmap's sizes against its data: stride at least a row, stride x height bytes present.
bool bitmap_fits(const SpiceBitmap* bitmap, unsigned bpp, uint64_t data_size) {
    const uint64_t row_bytes = (uint64_t(bitmap->x) * bpp + 7) / 8;
    if (bitmap->stride < row_bytes || uint64_t(bitmap->stride) * bitmap->y > data_size ||
        bitmap->stride > INT32_MAX) {
        peer_warning("bitmap of %u x %u, stride %u, does not fit its %llu bytes", bitmap->x, bitmap->y,
                     bitmap->stride, static_cast<unsigned long long>(data_size));
        return false;
    }
    return true;
}

pixman_image_t* canvas_get_bits(CanvasBase* canvas, SpiceBitmap* bitmap, int want_original) {
    const unsigned bpp = spice_bitmap_format_bpp(bitmap->format);
    if (bpp == 0) {
        peer_warning("unknown bitmap format %u", bitmap->format);
        return nullptr;
    }
    if (!image_size_ok(bitmap->x, bitmap->y)) {
        return nullptr;
    }
    const pixman_format_code_t format = bitmap_image_format(canvas, bitmap->format, want_original);
    if (!format) {
        return nullptr;
    }
    PaletteHold palette(canvas, bitmap->flags, bitmap->palette, bitmap->palette_id);
    uint8_t* data;
    uint64_t data_size;
    if (!bitmap_bytes(bitmap->data, &data, &data_size) || !bitmap_fits(bitmap, bpp, data_size)) {
        return nullptr;
    }

    ImageRef image(surface_create(canvas->dc, format, int(bitmap->x), int(bitmap->y), 0));
    if (!image.get()) {
        peer_warning("create surface failed");
        return nullptr;
    }
    if (!spice_bitmap_convert_into_pixman(format, image.get(), bitmap->format, bitmap->flags, int(bitmap->x),
                                          int(bitmap->y), data, int(bitmap->stride), canvas->format,
                                          palette.get())) {
        return nullptr;
    }
    return image.release();
}

// The message a QUIC or LZ decoder left in its buffer, else the fallback.
const char* decoder_message(const char* message_buf, const char* fallback) {
    return message_buf[0] ? message_buf : fallback;
}

// ---- QUIC ----

pixman_image_t* canvas_get_quic(CanvasBase* canvas, SpiceImage* image, int want_original) {
    CanvasQuicData& quic_data = canvas->quic_data;
    SpiceChunks* chunks = image->u.quic.data;
    peer_return_val_if_fail(chunks != nullptr && chunks->num_chunks > 0, nullptr);
    if (!image_size_ok(image->descriptor.width, image->descriptor.height)) {
        return nullptr;
    }

    quic_data.chunks = chunks;
    quic_data.current_chunk = 0;
    quic_data.message_buf[0] = '\0';

    QuicImageType type;
    int width;
    int height;
    if (quic_decode_begin(quic_data.quic, chunks->chunk[0].data, chunks->chunk[0].len,
                          int(image->descriptor.width), int(image->descriptor.height), &type, &width,
                          &height) == -1) {
        peer_warning("%s", decoder_message(quic_data.message_buf, "quic decode begin failed"));
        return nullptr;
    }

    pixman_format_code_t format;
    QuicImageType as_type;
    switch (type) {
        case QUIC_IMAGE_TYPE_RGB16:
            if (want_original || !canvas_is_32bit(canvas)) {
                format = PIXMAN_x1r5g5b5;
                as_type = QUIC_IMAGE_TYPE_RGB16;
            } else {
                format = PIXMAN_x8r8g8b8;
                as_type = QUIC_IMAGE_TYPE_RGB32;
            }
            break;
        case QUIC_IMAGE_TYPE_RGB24:
        case QUIC_IMAGE_TYPE_RGB32:
            format = PIXMAN_x8r8g8b8;
            as_type = QUIC_IMAGE_TYPE_RGB32;
            break;
        case QUIC_IMAGE_TYPE_RGBA:
            format = PIXMAN_a8r8g8b8;
            as_type = QUIC_IMAGE_TYPE_RGBA;
            break;
        default:
            spice_warn_if_reached();
            return nullptr;
    }
    peer_return_val_if_fail_text(uint32_t(width) == image->descriptor.width,
                                 "(uint32_t)width == image->descriptor.width", nullptr);
    peer_return_val_if_fail_text(uint32_t(height) == image->descriptor.height,
                                 "(uint32_t)height == image->descriptor.height", nullptr);

    ImageRef surface(surface_create(canvas->dc, format, width, height, 0));
    peer_return_val_if_fail_text(surface.get() != nullptr, "surface != NULL", nullptr);
    quic_data.message_buf[0] = '\0';
    if (quic_decode(quic_data.quic, as_type, reinterpret_cast<uint8_t*>(pixman_image_get_data(surface.get())),
                    pixman_image_get_stride(surface.get())) == -1) {
        peer_warning("%s", decoder_message(quic_data.message_buf, "quic decode failed"));
        return nullptr;
    }
    return surface.release();
}

// ---- LZ ----

// The lowest address of an image's memory: its last row when it is bottom-up.
uint8_t* image_block_start(pixman_image_t* image) {
    uint8_t* data = reinterpret_cast<uint8_t*>(pixman_image_get_data(image));
    const int stride = pixman_image_get_stride(image);
    return stride < 0 ? data + int64_t(stride) * (pixman_image_get_height(image) - 1) : data;
}

uint64_t image_block_size(pixman_image_t* image) {
    return uint64_t(std::abs(int64_t(pixman_image_get_stride(image)))) *
           uint64_t(pixman_image_get_height(image));
}

// The 8-8-8 form of a palette sent as 5-5-5 values, for a 16-bit canvas.
struct WidenedPalette {
    SpicePalette palette;
    uint32_t ents[256];
};

uint32_t widen_555(uint32_t v) {
    auto widen = [](uint32_t c) { return (c << 3) | (c >> 2); };
    return widen((v >> 10) & 31) << 16 | widen((v >> 5) & 31) << 8 | widen(v & 31);
}

pixman_image_t* canvas_get_lz(CanvasBase* canvas, SpiceImage* image, int want_original) {
    CanvasLzData& lz_data = canvas->lz_data;
    const uint8_t* comp_buf;
    uint32_t comp_size;
    const SpicePalette* palette = nullptr;
    WidenedPalette widened;
    std::optional<PaletteHold> palette_hold;

    if (image->descriptor.type == SPICE_IMAGE_TYPE_LZ_RGB) {
        if (!single_chunk(image->u.lz_rgb.data, "image->u.lz_rgb.data->num_chunks == 1", &comp_buf,
                          &comp_size)) {
            return nullptr;
        }
    } else if (image->descriptor.type == SPICE_IMAGE_TYPE_LZ_PLT) {
        SpiceLZPLTData& plt = image->u.lz_plt;
        if (!single_chunk(plt.data, "image->u.lz_plt.data->num_chunks == 1", &comp_buf, &comp_size)) {
            return nullptr;
        }
        palette_hold.emplace(canvas, plt.flags, plt.palette, plt.palette_id);
        const SpicePalette* sent = palette_hold->get();
        if (!sent) {
            peer_warning("lz palette image without a palette");
            return nullptr;
        }
        if (canvas_is_32bit(canvas)) {
            palette = sent;
        } else if (canvas->format == SPICE_SURFACE_FMT_16_555) {
            const unsigned n = std::min<unsigned>(sent->num_ents, 256);
            if (n && !sent->ents) {
                peer_warning("lz palette without entries");
                return nullptr;
            }
            for (unsigned i = 0; i < n; i++) {
                widened.ents[i] = widen_555(sent->ents[i]);
            }
            widened.palette.unique = sent->unique;
            widened.palette.num_ents = uint16_t(n);
            widened.palette.ents = widened.ents;
            palette = &widened.palette;
        } else {
            // No palette suits a 5-6-5 or alpha-only canvas.
            spice_warn_if_reached();
            return nullptr;
        }
    } else {
        spice_warn_if_reached();
        return nullptr;
    }

    lz_data.message_buf[0] = '\0';
    LzImageType type;
    int width;
    int height;
    int n_comp_pixels;
    int top_down;
    if (lz_decode_begin(lz_data.lz, comp_buf, comp_size, &type, &width, &height, &n_comp_pixels, &top_down,
                        palette) == -1) {
        peer_warning("%s", decoder_message(lz_data.message_buf, "lz decode begin failed"));
        return nullptr;
    }

    pixman_format_code_t format;
    LzImageType as_type;
    unsigned bytes_per_pixel;
    switch (type) {
        case LZ_IMAGE_TYPE_RGB16:
            if (want_original || !canvas_is_32bit(canvas)) {
                format = PIXMAN_x1r5g5b5;
                as_type = LZ_IMAGE_TYPE_RGB16;
                bytes_per_pixel = 2;
                break;
            }
            [[fallthrough]];  // decoded as 32-bit
        case LZ_IMAGE_TYPE_PLT1_LE:
        case LZ_IMAGE_TYPE_PLT1_BE:
        case LZ_IMAGE_TYPE_PLT4_LE:
        case LZ_IMAGE_TYPE_PLT4_BE:
        case LZ_IMAGE_TYPE_PLT8:
        case LZ_IMAGE_TYPE_RGB24:
        case LZ_IMAGE_TYPE_RGB32:
            format = PIXMAN_x8r8g8b8;
            as_type = LZ_IMAGE_TYPE_RGB32;
            bytes_per_pixel = 4;
            break;
        case LZ_IMAGE_TYPE_RGBA:
            format = PIXMAN_a8r8g8b8;
            as_type = LZ_IMAGE_TYPE_RGBA;
            bytes_per_pixel = 4;
            break;
        case LZ_IMAGE_TYPE_A8:
            format = PIXMAN_a8;
            as_type = LZ_IMAGE_TYPE_A8;
            bytes_per_pixel = 1;
            break;
        default:
            spice_warn_if_reached();
            return nullptr;
    }
    peer_return_val_if_fail_text(unsigned(width) == image->descriptor.width,
                                 "(unsigned)width == image->descriptor.width", nullptr);
    peer_return_val_if_fail_text(unsigned(height) == image->descriptor.height,
                                 "(unsigned)height == image->descriptor.height", nullptr);
    peer_return_val_if_fail_text((image->descriptor.type == SPICE_IMAGE_TYPE_LZ_PLT) ||
                                     (int64_t(n_comp_pixels) == int64_t(width) * height),
                                 "(image->descriptor.type == SPICE_IMAGE_TYPE_LZ_PLT) || "
                                 "(n_comp_pixels == width * height)",
                                 nullptr);
    if (!image_size_ok(uint64_t(width), uint64_t(height)) || uint64_t(n_comp_pixels) > MAX_IMAGE_PIXELS ||
        int64_t(n_comp_pixels) < int64_t(width) * height) {
        peer_warning("lz image of %d pixels for %d x %d", n_comp_pixels, width, height);
        return nullptr;
    }

    ImageRef surface(
        lz_output_surface_create(&lz_data.decode_data, format, width, height, n_comp_pixels, top_down));
    lz_data.decode_data.out_surface = nullptr;
    peer_return_val_if_fail_text(surface.get() != nullptr, "surface != NULL", nullptr);

    // Rows come out packed, one after another from the lowest address; spread them to the image's stride.
    const uint64_t packed_row = uint64_t(n_comp_pixels / height) * bytes_per_pixel;
    const uint64_t stride = uint64_t(std::abs(int64_t(pixman_image_get_stride(surface.get()))));
    peer_return_val_if_fail(stride >= packed_row, nullptr);
    uint8_t* block = image_block_start(surface.get());
    lz_data.message_buf[0] = '\0';
    if (lz_decode(lz_data.lz, as_type, block, image_block_size(surface.get())) == -1) {
        peer_warning("%s", decoder_message(lz_data.message_buf, "lz decode failed"));
        return nullptr;
    }
    if (packed_row < stride) {
        for (int row = height - 1; row > 0; row--) {
            memmove(block + row * stride, block + row * packed_row, packed_row);
        }
    }
    return surface.release();
}

// ---- GLZ ----

pixman_image_t* canvas_get_glz_rgb_common(CanvasBase* canvas, const uint8_t* data, uint32_t size) {
    CanvasGlzData& glz_data = canvas->glz_data;
    peer_return_val_if_fail_text(glz_data.decoder != nullptr, "canvas->glz_data.decoder != NULL", nullptr);
    glz_data.decode_data.dc = canvas->dc;
    glz_data.decode_data.out_surface = nullptr;
    // The decode handler stores the output image, with one reference for this fetch, in the record.
    ImageRef surface;
    try {
        glz_data.decoder->ops->decode(glz_data.decoder, data, size, nullptr, &glz_data.decode_data);
    } catch (...) {
        surface.reset(glz_data.decode_data.out_surface);
        glz_data.decode_data.out_surface = nullptr;
        throw;
    }
    surface.reset(glz_data.decode_data.out_surface);
    glz_data.decode_data.out_surface = nullptr;
    return surface.release();
}

// After an inflate failed: what inflated goes to the GLZ decoder all the same, so that the image's id, when
// its header came out, is finished in the session's GLZ window and no later image waits for it. That decode
// fails (or, should only the stream's check value have been wrong, leaves its image in the window); either
// way the fetch fails.
void finish_failed_glz(CanvasBase* canvas, const uint8_t* inflated) {
    if (!canvas->zlib->ops->inflated || !canvas->glz_data.decoder) {
        return;
    }
    const uint32_t size = canvas->zlib->ops->inflated(canvas->zlib);
    if (size == 0) {
        return;
    }
    try {
        pixman_image_t* image = canvas_get_glz_rgb_common(canvas, inflated, size);
        if (image) {
            pixman_image_unref(image);
        }
    } catch (const std::exception&) {
    }
}

pixman_image_t* canvas_get_glz(CanvasBase* canvas, SpiceImage* image) {
    peer_return_val_if_fail(image->descriptor.type == SPICE_IMAGE_TYPE_GLZ_RGB, nullptr);
    const uint8_t* data;
    uint32_t size;
    if (!single_chunk(image->u.lz_rgb.data, "image->u.lz_rgb.data->num_chunks == 1", &data, &size)) {
        return nullptr;
    }
    return canvas_get_glz_rgb_common(canvas, data, size);
}

pixman_image_t* canvas_get_zlib_glz_rgb(CanvasBase* canvas, SpiceImage* image) {
    peer_return_val_if_fail_text(canvas->zlib != nullptr, "canvas->zlib != NULL", nullptr);
    const uint8_t* data;
    uint32_t size;
    if (!single_chunk(image->u.zlib_glz.data, "image->u.zlib_glz.data->num_chunks == 1", &data, &size)) {
        return nullptr;
    }
    const uint64_t glz_size = image->u.zlib_glz.glz_data_size;
    if (glz_size == 0 || glz_size > uint64_t(size) * ZLIB_MAX_RATIO || glz_size > MAX_IMAGE_PIXELS * 4) {
        peer_warning("zlib-wrapped glz image of %llu bytes from %u",
                     static_cast<unsigned long long>(glz_size), size);
        return nullptr;
    }
    std::unique_ptr<uint8_t, decltype(&free)> glz_data(static_cast<uint8_t*>(spice_malloc(glz_size)), free);
    try {
        canvas->zlib->ops->decode(canvas->zlib, data, size, glz_data.get(), uint32_t(glz_size));
    } catch (...) {
        finish_failed_glz(canvas, glz_data.get());
        throw;
    }
    return canvas_get_glz_rgb_common(canvas, glz_data.get(), uint32_t(glz_size));
}

// ---- JPEG ----

pixman_image_t* canvas_get_jpeg(CanvasBase* canvas, SpiceImage* image) {
    peer_return_val_if_fail(canvas->jpeg != nullptr, nullptr);
    const uint8_t* data;
    uint32_t size;
    if (!single_chunk(image->u.jpeg.data, "image->u.jpeg.data->num_chunks == 1", &data, &size)) {
        return nullptr;
    }
    int width;
    int height;
    if (!canvas->jpeg->ops->begin_decode(canvas->jpeg, data, size, &width, &height)) {
        peer_warning("jpeg begin decode failed");
        return nullptr;
    }
    peer_return_val_if_fail_text(uint32_t(width) == image->descriptor.width,
                                 "(uint32_t)width == image->descriptor.width", nullptr);
    peer_return_val_if_fail_text(uint32_t(height) == image->descriptor.height,
                                 "(uint32_t)height == image->descriptor.height", nullptr);
    if (!image_size_ok(uint64_t(width), uint64_t(height))) {
        return nullptr;
    }
    ImageRef surface(surface_create(canvas->dc, PIXMAN_x8r8g8b8, width, height, 0));
    if (!surface.get()) {
        peer_warning("create surface failed");
        return nullptr;
    }
    if (!canvas->jpeg->ops->decode(canvas->jpeg,
                                   reinterpret_cast<uint8_t*>(pixman_image_get_data(surface.get())),
                                   pixman_image_get_stride(surface.get()), JPEG_BITMAP_FMT_32BIT)) {
        peer_warning("jpeg decode failed");
        return nullptr;
    }
    return surface.release();
}

pixman_image_t* canvas_get_jpeg_alpha(CanvasBase* canvas, SpiceImage* image) {
    peer_return_val_if_fail(canvas->jpeg != nullptr, nullptr);
    const SpiceJPEGAlphaData& jpeg_alpha = image->u.jpeg_alpha;
    const uint8_t* data;
    uint32_t size;
    if (!single_chunk(jpeg_alpha.data, "image->u.jpeg_alpha.data->num_chunks == 1", &data, &size)) {
        return nullptr;
    }
    peer_return_val_if_fail(jpeg_alpha.jpeg_size <= size, nullptr);

    int width;
    int height;
    if (!canvas->jpeg->ops->begin_decode(canvas->jpeg, data, jpeg_alpha.jpeg_size, &width, &height)) {
        peer_warning("jpeg begin decode failed");
        return nullptr;
    }
    peer_return_val_if_fail_text(uint32_t(width) == image->descriptor.width,
                                 "(uint32_t)width == image->descriptor.width", nullptr);
    peer_return_val_if_fail_text(uint32_t(height) == image->descriptor.height,
                                 "(uint32_t)height == image->descriptor.height", nullptr);
    if (!image_size_ok(uint64_t(width), uint64_t(height))) {
        return nullptr;
    }
    const int alpha_top_down = jpeg_alpha.flags & 0x1;
    CanvasLzData& lz_data = canvas->lz_data;
    ImageRef surface(lz_output_surface_create(&lz_data.decode_data, PIXMAN_a8r8g8b8, width, height,
                                              width * height, alpha_top_down));
    lz_data.decode_data.out_surface = nullptr;
    if (!surface.get()) {
        peer_warning("create surface failed");
        return nullptr;
    }
    if (!canvas->jpeg->ops->decode(canvas->jpeg,
                                   reinterpret_cast<uint8_t*>(pixman_image_get_data(surface.get())),
                                   pixman_image_get_stride(surface.get()), JPEG_BITMAP_FMT_32BIT)) {
        peer_warning("jpeg decode failed");
        return nullptr;
    }

    lz_data.message_buf[0] = '\0';
    LzImageType lz_alpha_type;
    int lz_alpha_width;
    int lz_alpha_height;
    int n_comp_pixels;
    int lz_alpha_top_down;
    if (lz_decode_begin(lz_data.lz, data + jpeg_alpha.jpeg_size, size - jpeg_alpha.jpeg_size, &lz_alpha_type,
                        &lz_alpha_width, &lz_alpha_height, &n_comp_pixels, &lz_alpha_top_down,
                        nullptr) == -1) {
        peer_warning("%s", decoder_message(lz_data.message_buf, "lz decode begin failed"));
        return nullptr;
    }
    peer_return_val_if_fail(lz_alpha_type == LZ_IMAGE_TYPE_XXXA, nullptr);
    peer_return_val_if_fail(!!lz_alpha_top_down == !!alpha_top_down, nullptr);
    peer_return_val_if_fail(lz_alpha_width == width, nullptr);
    peer_return_val_if_fail(lz_alpha_height == height, nullptr);
    peer_return_val_if_fail(n_comp_pixels == width * height, nullptr);
    lz_data.message_buf[0] = '\0';
    if (lz_decode(lz_data.lz, LZ_IMAGE_TYPE_XXXA, image_block_start(surface.get()),
                  image_block_size(surface.get())) == -1) {
        peer_warning("%s", decoder_message(lz_data.message_buf, "lz decode failed"));
        return nullptr;
    }
    return surface.release();
}

// ---- the fetch ----

bool is_lossy(uint8_t type) {
    return type == SPICE_IMAGE_TYPE_JPEG || type == SPICE_IMAGE_TYPE_JPEG_ALPHA;
}

pixman_image_t* cache_get(CanvasBase* canvas, uint64_t id, bool lossless) {
    SpiceImageCache* cache = canvas->bits_cache;
    peer_return_val_if_fail(cache != nullptr, nullptr);
    return lossless ? cache->ops->get_lossless(cache, id) : cache->ops->get(cache, id);
}

pixman_image_t* decode_image(CanvasBase* canvas, SpiceImage* image, int want_original) {
    switch (image->descriptor.type) {
        case SPICE_IMAGE_TYPE_BITMAP:
            return canvas_get_bits(canvas, &image->u.bitmap, want_original);
        case SPICE_IMAGE_TYPE_QUIC:
            return canvas_get_quic(canvas, image, want_original);
        case SPICE_IMAGE_TYPE_LZ_PLT:
        case SPICE_IMAGE_TYPE_LZ_RGB:
            return canvas_get_lz(canvas, image, want_original);
        case SPICE_IMAGE_TYPE_GLZ_RGB:
            return canvas_get_glz(canvas, image);
        case SPICE_IMAGE_TYPE_FROM_CACHE:
            return cache_get(canvas, image->descriptor.id, false);
        case SPICE_IMAGE_TYPE_JPEG:
            return canvas_get_jpeg(canvas, image);
        case SPICE_IMAGE_TYPE_FROM_CACHE_LOSSLESS:
            return cache_get(canvas, image->descriptor.id, true);
        case SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB:
            return canvas_get_zlib_glz_rgb(canvas, image);
        case SPICE_IMAGE_TYPE_JPEG_ALPHA:
            return canvas_get_jpeg_alpha(canvas, image);
        default:
            // A surface image reaches here only when the surfaces interface does not know the surface.
            spice_warn_if_reached();
            return nullptr;
    }
}

pixman_image_t* get_image(CanvasBase* canvas, SpiceImage* image, int want_original, int real_get) {
    const SpiceImageDescriptor& descriptor = image->descriptor;
    const bool cache_me = descriptor.flags & SPICE_IMAGE_FLAGS_CACHE_ME;
    const bool cache_replace = descriptor.flags & SPICE_IMAGE_FLAGS_CACHE_REPLACE_ME;
    const bool from_cache = descriptor.type == SPICE_IMAGE_TYPE_FROM_CACHE ||
                            descriptor.type == SPICE_IMAGE_TYPE_FROM_CACHE_LOSSLESS;

    if (!real_get && !cache_me && !cache_replace && !image_palette_to_cache(image) &&
        descriptor.type != SPICE_IMAGE_TYPE_GLZ_RGB && descriptor.type != SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB) {
        return nullptr;
    }
    // What goes to the cache is kept as decoded; the caller's choice applies to what it gets.
    const int caller_wants_original = want_original;
    if (cache_me || cache_replace) {
        want_original = 1;
    }

    ImageRef surface(decode_image(canvas, image, want_original));
    peer_return_val_if_fail_text(surface.get() != nullptr, "surface != NULL", nullptr);
    pixman_format_code_t surface_format;
    peer_return_val_if_fail_text(spice_pixman_image_get_format(surface.get(), &surface_format),
                                 "spice_pixman_image_get_format(surface, &surface_format)", nullptr);

    const int width = pixman_image_get_width(surface.get());
    const int height = pixman_image_get_height(surface.get());
    if ((descriptor.flags & SPICE_IMAGE_FLAGS_HIGH_BITS_SET) && !from_cache &&
        surface_format == PIXMAN_x8r8g8b8 && width > 0 && height > 0) {
        spice_pixman_fill_rect_rop(surface.get(), 0, 0, width, height, 0xff000000U, ROP_OR);
    }

    if (cache_me && !from_cache) {
        peer_return_val_if_fail(canvas->bits_cache != nullptr, nullptr);
        if (is_lossy(descriptor.type)) {
            canvas->bits_cache->ops->put_lossy(canvas->bits_cache, descriptor.id, surface.get());
        } else {
            canvas->bits_cache->ops->put(canvas->bits_cache, descriptor.id, surface.get());
        }
    } else if (cache_replace) {
        if (is_lossy(descriptor.type)) {
            peer_warning("invalid cache replace request: the image is lossy");
            return nullptr;
        }
        peer_return_val_if_fail(canvas->bits_cache != nullptr, nullptr);
        canvas->bits_cache->ops->replace_lossy(canvas->bits_cache, descriptor.id, surface.get());
    }

    if (!real_get) {
        return nullptr;
    }
    if (caller_wants_original) {
        return surface.release();
    }
    const pixman_format_code_t wanted = canvas_wanted_format(canvas, surface_format == PIXMAN_a8r8g8b8);
    if (!wanted || wanted == surface_format) {
        peer_return_val_if_fail(wanted != 0, nullptr);
        return surface.release();
    }
    pixman_image_t* converted = surface_create(canvas->dc, wanted, width, height, 1);
    peer_return_val_if_fail(converted != nullptr, nullptr);
    pixman_image_composite32(PIXMAN_OP_SRC, surface.get(), nullptr, converted, 0, 0, 0, 0, 0, 0, width,
                             height);
    return converted;
}

// ---- masks ----

uint8_t reverse_bits(uint8_t b) {
    b = uint8_t((b & 0xf0) >> 4 | (b & 0x0f) << 4);
    b = uint8_t((b & 0xcc) >> 2 | (b & 0x33) << 2);
    return uint8_t((b & 0xaa) >> 1 | (b & 0x55) << 1);
}

// 8-bit-alpha glyphs and nibbles merge by keeping the stronger coverage.
void merge_max(uint8_t* dest, uint8_t value) {
    if (value > *dest) {
        *dest = value;
    }
}

}  // namespace

pixman_image_t* canvas_get_image_internal(CanvasBase* canvas, SpiceImage* image, int want_original,
                                          int real_get) {
    peer_return_val_if_fail(image != nullptr, nullptr);
    try {
        return get_image(canvas, image, want_original, real_get);
    } catch (const std::exception& e) {
        // GLZ and zlib decoders, and a cache wait given up, fail this image only.
        peer_warning("image decode failed: %s", e.what());
        return nullptr;
    }
}

pixman_image_t* canvas_get_image(CanvasBase* canvas, SpiceImage* image, int want_original) {
    return canvas_get_image_internal(canvas, image, want_original, 1);
}

void canvas_visit_image(CanvasBase* canvas, SpiceImage* image) {
    canvas_get_image_internal(canvas, image, 1, 0);
}

pixman_format_code_t canvas_wanted_format(CanvasBase* canvas, int source_has_alpha) {
    pixman_format_code_t format = surface_format_to_pixman_format(canvas->format);
    if (source_has_alpha && format == PIXMAN_x8r8g8b8) {
        return PIXMAN_a8r8g8b8;
    }
    if (!source_has_alpha && format == PIXMAN_a8r8g8b8) {
        return PIXMAN_x8r8g8b8;
    }
    return format;
}

bool image_palette_to_cache(SpiceImage* image) {
    if (image->descriptor.type == SPICE_IMAGE_TYPE_BITMAP) {
        return image->u.bitmap.palette && (image->u.bitmap.flags & SPICE_BITMAP_FLAGS_PAL_CACHE_ME);
    }
    if (image->descriptor.type == SPICE_IMAGE_TYPE_LZ_PLT) {
        return image->u.lz_plt.palette && (image->u.lz_plt.flags & SPICE_BITMAP_FLAGS_PAL_CACHE_ME);
    }
    return false;
}

pixman_image_t* canvas_get_bitmap_mask(CanvasBase* canvas, SpiceBitmap* bitmap, int invert) {
    if (bitmap->format != SPICE_BITMAP_FMT_1BIT_LE && bitmap->format != SPICE_BITMAP_FMT_1BIT_BE) {
        spice_warn_if_reached();
        return nullptr;
    }
    peer_return_val_if_fail(bitmap->y > 0, nullptr);
    if (!image_size_ok(bitmap->x, bitmap->y)) {
        return nullptr;
    }
    uint8_t* data;
    uint64_t data_size;
    if (!bitmap_bytes(bitmap->data, &data, &data_size) || !bitmap_fits(bitmap, 1, data_size)) {
        return nullptr;
    }
    ImageRef surface(surface_create(canvas->dc, PIXMAN_a1, int(bitmap->x), int(bitmap->y), 1));
    peer_return_val_if_fail_text(surface.get() != nullptr, "surface != NULL", nullptr);

    uint8_t* dest_line = reinterpret_cast<uint8_t*>(pixman_image_get_data(surface.get()));
    const int dest_stride = pixman_image_get_stride(surface.get());
    const uint8_t* src_line = data;
    int64_t src_stride = bitmap->stride;
    if (!(bitmap->flags & SPICE_BITMAP_FLAGS_TOP_DOWN)) {
        src_line += src_stride * (bitmap->y - 1);
        src_stride = -src_stride;
    }
    // Pixman keeps the leftmost pixel of an a1 byte in its least significant bit, as format 1 does.
    const bool reverse = bitmap->format == SPICE_BITMAP_FMT_1BIT_BE;
    const uint8_t flip = invert ? 0xff : 0x00;
    const uint32_t line_bytes = (bitmap->x + 7) / 8;
    for (uint32_t y = 0; y < bitmap->y; y++) {
        for (uint32_t i = 0; i < line_bytes; i++) {
            dest_line[i] = uint8_t((reverse ? reverse_bits(src_line[i]) : src_line[i]) ^ flip);
        }
        dest_line += dest_stride;
        src_line += src_stride;
    }
    return surface.release();
}

pixman_image_t* canvas_A1_invers(pixman_image_t* src_surf) {
    peer_return_val_if_fail(pixman_image_get_depth(src_surf) == 1, nullptr);
    const int width = pixman_image_get_width(src_surf);
    const int height = pixman_image_get_height(src_surf);
    pixman_image_t* invers = surface_create(nullptr, PIXMAN_a1, width, height, 1);
    peer_return_val_if_fail_text(invers != nullptr, "invers != NULL", nullptr);

    const uint8_t* src_line = reinterpret_cast<const uint8_t*>(pixman_image_get_data(src_surf));
    const int src_stride = pixman_image_get_stride(src_surf);
    uint8_t* dest_line = reinterpret_cast<uint8_t*>(pixman_image_get_data(invers));
    const int dest_stride = pixman_image_get_stride(invers);
    const int line_bytes = (width + 7) / 8;
    for (int y = 0; y < height; y++) {
        for (int i = 0; i < line_bytes; i++) {
            dest_line[i] = uint8_t(~src_line[i]);
        }
        src_line += src_stride;
        dest_line += dest_stride;
    }
    return invers;
}

pixman_image_t* canvas_get_mask(CanvasBase* canvas, SpiceQMask* mask, int* needs_invert_pos) {
    if (needs_invert_pos) {
        *needs_invert_pos = 0;
    }
    SpiceImage* image = mask->bitmap;
    if (!image) {
        return nullptr;
    }
    const bool cache_me = image->descriptor.flags & SPICE_IMAGE_FLAGS_CACHE_ME;
    const bool need_invert = mask->flags & SPICE_MASK_FLAGS_INVERS;
    bool is_invers = false;

    ImageRef surface;
    try {
        switch (image->descriptor.type) {
            case SPICE_IMAGE_TYPE_BITMAP:
                // A mask on its way to the cache is stored as sent and inverted only for this draw.
                is_invers = need_invert && !cache_me;
                surface.reset(canvas_get_bitmap_mask(canvas, &image->u.bitmap, is_invers));
                break;
            case SPICE_IMAGE_TYPE_FROM_CACHE:
                surface.reset(cache_get(canvas, image->descriptor.id, false));
                break;
            case SPICE_IMAGE_TYPE_FROM_CACHE_LOSSLESS:
                surface.reset(cache_get(canvas, image->descriptor.id, true));
                break;
            default:
                spice_warn_if_reached();
                return nullptr;
        }
    } catch (const std::exception& e) {
        peer_warning("mask fetch failed: %s", e.what());
        return nullptr;
    }
    if (!surface.get()) {
        return nullptr;
    }
    // A cache entry the server named could be any image; only an a1 image serves as a mask.
    peer_return_val_if_fail(pixman_image_get_depth(surface.get()) == 1, nullptr);

    if (cache_me) {
        peer_return_val_if_fail(canvas->bits_cache != nullptr, nullptr);
        canvas->bits_cache->ops->put(canvas->bits_cache, image->descriptor.id, surface.get());
    }
    if (need_invert && !is_invers) {
        if (needs_invert_pos) {
            *needs_invert_pos = 1;
        } else {
            surface.reset(canvas_A1_invers(surface.get()));
        }
    }
    return surface.release();
}

pixman_image_t* canvas_get_str_mask(CanvasBase* canvas, SpiceString* str, int bpp, SpicePoint* pos) {
    peer_return_val_if_fail(str->length > 0, nullptr);
    // The parser sized every glyph's rows by the string's flags; reading them by another depth would run off.
    peer_return_val_if_fail(bpp == int(spice_string_bpp(str->flags)), nullptr);
    peer_return_val_if_fail(bpp == 1 || bpp == 4 || bpp == 8, nullptr);

    struct Box {
        int64_t left, top, right, bottom;
    };
    auto glyph_box = [](const SpiceRasterGlyph* glyph) {
        Box box;
        box.left = int64_t(glyph->render_pos.x) + glyph->glyph_origin.x;
        box.top = int64_t(glyph->render_pos.y) + glyph->glyph_origin.y;
        box.right = box.left + glyph->width;
        box.bottom = box.top + glyph->height;
        return box;
    };
    Box bounds{};
    for (uint16_t i = 0; i < str->length; i++) {
        peer_return_val_if_fail(str->glyphs[i] != nullptr, nullptr);
        const Box box = glyph_box(str->glyphs[i]);
        if (i == 0) {
            bounds = box;
        } else {
            bounds.left = std::min(bounds.left, box.left);
            bounds.top = std::min(bounds.top, box.top);
            bounds.right = std::max(bounds.right, box.right);
            bounds.bottom = std::max(bounds.bottom, box.bottom);
        }
    }
    if (bounds.left < INT32_MIN || bounds.top < INT32_MIN || bounds.right > INT32_MAX ||
        bounds.bottom > INT32_MAX ||
        !image_size_ok(uint64_t(bounds.right - bounds.left), uint64_t(bounds.bottom - bounds.top))) {
        peer_warning("glyph string box out of range");
        return nullptr;
    }
    const int width = int(bounds.right - bounds.left);
    const int height = int(bounds.bottom - bounds.top);
    ImageRef str_mask(surface_create(canvas->dc, bpp == 1 ? PIXMAN_a1 : PIXMAN_a8, width, height, 1));
    peer_return_val_if_fail_text(str_mask.get() != nullptr, "str_mask != NULL", nullptr);
    uint8_t* dest_base = reinterpret_cast<uint8_t*>(pixman_image_get_data(str_mask.get()));
    const int dest_stride = pixman_image_get_stride(str_mask.get());

    for (uint16_t i = 0; i < str->length; i++) {
        const SpiceRasterGlyph* glyph = str->glyphs[i];
        if (glyph->width == 0 || glyph->height == 0) {
            continue;
        }
        peer_return_val_if_fail(glyph->data != nullptr, nullptr);
        const Box box = glyph_box(glyph);
        const int x0 = int(box.left - bounds.left);
        const int y0 = int(box.top - bounds.top);
        const unsigned src_stride = (unsigned(glyph->width) * bpp + 7) / 8;
        for (int row = 0; row < glyph->height; row++) {
            // The raster holds the glyph's rows last row first.
            const uint8_t* src = glyph->data + size_t(glyph->height - 1 - row) * src_stride;
            uint8_t* dest = dest_base + int64_t(y0 + row) * dest_stride;
            if (bpp == 1) {
                const int shift = x0 % 8;
                uint8_t* out = dest + x0 / 8;
                for (unsigned b = 0; b < src_stride; b++) {
                    uint8_t bits = reverse_bits(src[b]);
                    const unsigned left_in_row = glyph->width - b * 8;
                    if (left_in_row < 8) {
                        bits &= uint8_t((1u << left_in_row) - 1);  // padding bits past the glyph
                    }
                    out[b] |= uint8_t(bits << shift);
                    if (shift && (bits >> (8 - shift))) {
                        out[b + 1] |= uint8_t(bits >> (8 - shift));
                    }
                }
            } else if (bpp == 4) {
                for (int x = 0; x < glyph->width; x++) {
                    const uint8_t byte = src[x / 2];
                    merge_max(dest + x0 + x, uint8_t((x % 2 == 0 ? byte >> 4 : byte & 0x0f) << 4));
                }
            } else {
                for (int x = 0; x < glyph->width; x++) {
                    merge_max(dest + x0 + x, src[x]);
                }
            }
        }
    }
    pos->x = int32_t(bounds.left);
    pos->y = int32_t(bounds.top);
    return str_mask.release();
}

pixman_image_t* canvas_get_image_from_self(SpiceCanvas* canvas, int x, int y, int32_t width, int32_t height,
                                           int force_opaque) {
    CanvasBase* base = &canvas->base;
    peer_return_val_if_fail(width > 0 && height > 0, nullptr);
    peer_return_val_if_fail(int64_t(x) + width <= INT32_MAX && int64_t(y) + height <= INT32_MAX, nullptr);
    if (!image_size_ok(uint64_t(width), uint64_t(height))) {
        return nullptr;
    }
    const pixman_format_code_t format = surface_format_to_pixman_format(base->format);
    peer_return_val_if_fail(format != 0, nullptr);
    if (force_opaque) {
        // Force opaque only asks that the alpha-less form be drawable; the image keeps the canvas's format.
        const auto opaque = pixman_format_code_t(
            PIXMAN_FORMAT(PIXMAN_FORMAT_BPP(format), PIXMAN_FORMAT_TYPE(format), 0, PIXMAN_FORMAT_R(format),
                          PIXMAN_FORMAT_G(format), PIXMAN_FORMAT_B(format)));
        peer_return_val_if_fail_text(pixman_format_supported_destination(opaque),
                                     "pixman_format_supported_destination (format)", nullptr);
    }
    pixman_image_t* surface = surface_create(base->dc, format, width, height, 1);
    peer_return_val_if_fail_text(surface != nullptr, "surface != NULL", nullptr);
    SpiceRect area = {x, y, int32_t(int64_t(x) + width), int32_t(int64_t(y) + height)};
    canvas->ops->read_bits(canvas, reinterpret_cast<uint8_t*>(pixman_image_get_data(surface)),
                           pixman_image_get_stride(surface), &area);
    return surface;
}

pixman_image_t* canvas_scale_surface(pixman_image_t* src, const SpiceRect* src_area, int width, int height,
                                     int scale_mode) {
    pixman_format_code_t format;
    peer_return_val_if_fail_text(spice_pixman_image_get_format(src, &format),
                                 "spice_pixman_image_get_format (src, &format)", nullptr);
    peer_return_val_if_fail(
        scale_mode == SPICE_IMAGE_SCALE_MODE_INTERPOLATE || scale_mode == SPICE_IMAGE_SCALE_MODE_NEAREST,
        nullptr);
    peer_return_val_if_fail(width > 0 && height > 0, nullptr);
    const int64_t src_width = int64_t(src_area->right) - src_area->left;
    const int64_t src_height = int64_t(src_area->bottom) - src_area->top;
    peer_return_val_if_fail(src_width > 0 && src_height > 0, nullptr);
    if (!image_size_ok(uint64_t(width), uint64_t(height))) {
        return nullptr;
    }
    const double sx = double(src_width) / width;
    const double sy = double(src_height) / height;
    // Factors and the source position must fit pixman's 16.16 and 32-bit coordinates.
    const double src_x = std::floor(src_area->left / sx + 0.5);
    const double src_y = std::floor(src_area->top / sy + 0.5);
    if (sx >= 32768 || sy >= 32768 || std::fabs(src_x) > INT32_MAX || std::fabs(src_y) > INT32_MAX) {
        peer_warning("scale out of range");
        return nullptr;
    }
    pixman_image_t* surface = surface_create(nullptr, format, width, height, 1);
    peer_return_val_if_fail_text(surface != nullptr, "surface != NULL", nullptr);

    pixman_transform_t transform;
    pixman_transform_init_scale(&transform, pixman_double_to_fixed(sx), pixman_double_to_fixed(sy));
    pixman_image_set_transform(src, &transform);
    pixman_image_set_repeat(src, PIXMAN_REPEAT_NONE);
    pixman_image_set_filter(
        src, scale_mode == SPICE_IMAGE_SCALE_MODE_NEAREST ? PIXMAN_FILTER_NEAREST : PIXMAN_FILTER_GOOD,
        nullptr, 0);
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, surface, int(src_x), int(src_y), 0, 0, 0, 0, width,
                             height);
    pixman_transform_init_identity(&transform);
    pixman_image_set_transform(src, &transform);
    return surface;
}
