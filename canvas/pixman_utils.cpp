#include "canvas/pixman_utils.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "runtime/log.h"
#include "runtime/peer_check.h"

namespace {

// A caller's fault: the canvas hands over rectangles it has clipped. Nothing is drawn when the log returns.
#define ASSERT_OR_RETURN(cond)                                                   \
    do {                                                                         \
        if (!(cond)) {                                                           \
            spice_log_at(SPICE_LOG_LEVEL_ERROR, "assertion `%s' failed", #cond); \
            return;                                                              \
        }                                                                        \
    } while (0)

// ---- Span functions: one per raster operation, family and pixel width ----

template <typename T>
using SolidSpanFn = void (*)(T* dest, int count, T value);
// tile points into the current tile row; after the pixel before tile_row_end it steps back by tile_width.
template <typename T>
using TiledSpanFn = void (*)(T* dest, int count, const T* tile, const T* tile_row_end, int tile_width);
template <typename T>
using CopySpanFn = void (*)(T* dest, const T* src, int count);

template <typename T, RasterOp op>
void solid_span(T* dest, int count, T value) {
    if constexpr (op == ROP_NOOP) {
        return;
    } else if constexpr (op == ROP_COPY) {
        std::fill_n(dest, count, value);
    } else {
        for (int i = 0; i < count; i++) {
            dest[i] = raster_op_apply<op>(value, dest[i]);
        }
    }
}

template <typename T, RasterOp op>
void tiled_span(T* dest, int count, const T* tile, const T* tile_row_end, int tile_width) {
    if constexpr (op == ROP_NOOP) {
        return;
    } else {
        // In runs up to the end of the tile row, so that the inner loop has no wrap to test.
        while (count > 0) {
            const int run = std::min<ptrdiff_t>(count, tile_row_end - tile);
            for (int i = 0; i < run; i++) {
                dest[i] = raster_op_apply<op>(tile[i], dest[i]);
            }
            dest += run;
            count -= run;
            tile += run;
            if (tile == tile_row_end) {
                tile -= tile_width;
            }
        }
    }
}

template <typename T, RasterOp op>
void copy_span(T* dest, const T* src, int count) {
    if constexpr (op == ROP_NOOP) {
        return;
    } else if constexpr (op == ROP_COPY) {
        memmove(dest, src, size_t(count) * sizeof(T));
    } else {
        for (int i = 0; i < count; i++) {
            dest[i] = raster_op_apply<op>(src[i], dest[i]);
        }
    }
}

// The span tables of one pixel width, indexed by RasterOp.
template <typename T>
struct SpanOps {
    template <size_t... ops>
    static constexpr std::array<SolidSpanFn<T>, 16> solid_table(std::index_sequence<ops...>) {
        return {&solid_span<T, RasterOp(ops)>...};
    }
    template <size_t... ops>
    static constexpr std::array<TiledSpanFn<T>, 16> tiled_table(std::index_sequence<ops...>) {
        return {&tiled_span<T, RasterOp(ops)>...};
    }
    template <size_t... ops>
    static constexpr std::array<CopySpanFn<T>, 16> copy_table(std::index_sequence<ops...>) {
        return {&copy_span<T, RasterOp(ops)>...};
    }

    static constexpr std::array<SolidSpanFn<T>, 16> solid = solid_table(std::make_index_sequence<16>());
    static constexpr std::array<TiledSpanFn<T>, 16> tiled = tiled_table(std::make_index_sequence<16>());
    static constexpr std::array<CopySpanFn<T>, 16> copy = copy_table(std::make_index_sequence<16>());
};

// ---- Image access ----

uint8_t* row_at(pixman_image_t* image, int y) {
    return reinterpret_cast<uint8_t*>(pixman_image_get_data(image)) +
           ptrdiff_t(y) * pixman_image_get_stride(image);
}

template <typename T>
T* pixel_at(pixman_image_t* image, int x, int y) {
    return reinterpret_cast<T*>(row_at(image, y)) + x;
}

bool supported_bpp(int bpp) {
    return bpp == 8 || bpp == 16 || bpp == 32;
}

// Calls fn.template operator()<T>() with T the pixel type of bpp (8, 16 or 32).
template <typename Fn>
void with_pixel_type(int bpp, Fn&& fn) {
    if (bpp == 8) {
        fn(uint8_t());
    } else if (bpp == 16) {
        fn(uint16_t());
    } else {
        fn(uint32_t());
    }
}

// ---- Rectangle routines, per pixel type ----

template <typename T>
void fill_rows(pixman_image_t* dest, int x, int y, int width, int height, uint32_t value, RasterOp rop) {
    SolidSpanFn<T> span = SpanOps<T>::solid[rop];
    for (int row = y; row < y + height; row++) {
        span(pixel_at<T>(dest, x, row), width, T(value));
    }
}

// The tile is anchored with its pixel (0, 0) at (offset_x, offset_y) and repeats both ways.
template <typename T>
void tile_rows(pixman_image_t* dest, int x, int y, int width, int height, pixman_image_t* tile, int offset_x,
               int offset_y, RasterOp rop) {
    TiledSpanFn<T> span = SpanOps<T>::tiled[rop];
    const int tile_width = pixman_image_get_width(tile);
    const int tile_height = pixman_image_get_height(tile);
    auto wrap = [](int64_t value, int size) {
        int64_t m = value % size;
        return int(m < 0 ? m + size : m);
    };
    const int tile_x = wrap(int64_t(x) - offset_x, tile_width);
    int tile_y = wrap(int64_t(y) - offset_y, tile_height);
    for (int row = y; row < y + height; row++) {
        const T* tile_row = pixel_at<T>(tile, 0, tile_y);
        span(pixel_at<T>(dest, x, row), width, tile_row + tile_x, tile_row + tile_width, tile_width);
        if (++tile_y == tile_height) {
            tile_y = 0;
        }
    }
}

template <typename T>
void blit_rows(pixman_image_t* dest, pixman_image_t* src, int src_x, int src_y, int dest_x, int dest_y,
               int width, int height, RasterOp rop) {
    CopySpanFn<T> span = SpanOps<T>::copy[rop];
    for (int row = 0; row < height; row++) {
        span(pixel_at<T>(dest, dest_x, dest_y + row), pixel_at<T>(src, src_x, src_y + row), width);
    }
}

template <typename T>
void colorkey_rows(pixman_image_t* dest, pixman_image_t* src, int src_x, int src_y, int dest_x, int dest_y,
                   int width, int height, uint32_t transparent_color) {
    // A 32-bit pixel is compared without its fourth byte, which x8r8g8b8 leaves undefined.
    const T mask = sizeof(T) == 4 ? T(0x00FFFFFF) : T(~T(0));
    const T key = T(transparent_color) & mask;
    for (int row = 0; row < height; row++) {
        T* d = pixel_at<T>(dest, dest_x, dest_y + row);
        const T* s = pixel_at<T>(src, src_x, src_y + row);
        for (int i = 0; i < width; i++) {
            if ((s[i] & mask) != key) {
                d[i] = s[i];
            }
        }
    }
}

// Checks shared by the fills: the rectangle is not empty and lies inside dest.
#define CHECK_DEST_RECT(dest, x, y, width, height)                              \
    do {                                                                        \
        ASSERT_OR_RETURN(x >= 0);                                               \
        ASSERT_OR_RETURN(y >= 0);                                               \
        ASSERT_OR_RETURN(width > 0);                                            \
        ASSERT_OR_RETURN(height > 0);                                           \
        ASSERT_OR_RETURN(int64_t(x) + width <= pixman_image_get_width(dest));   \
        ASSERT_OR_RETURN(int64_t(y) + height <= pixman_image_get_height(dest)); \
    } while (0)

// Cuts the copy rectangle to the source: whatever lies outside it is dropped with its destination pixels.
// False when nothing is left.
bool clip_to_source(pixman_image_t* src, int& src_x, int& src_y, int& dest_x, int& dest_y, int& width,
                    int& height) {
    int64_t sx = src_x, sy = src_y, dx = dest_x, dy = dest_y, w = width, h = height;
    if (sx < 0) {
        w += sx;
        dx -= sx;
        sx = 0;
    }
    if (sy < 0) {
        h += sy;
        dy -= sy;
        sy = 0;
    }
    w = std::min<int64_t>(w, pixman_image_get_width(src) - sx);
    h = std::min<int64_t>(h, pixman_image_get_height(src) - sy);
    if (w <= 0 || h <= 0 || dx > INT32_MAX || dy > INT32_MAX) {
        return false;
    }
    src_x = int(sx);
    src_y = int(sy);
    dest_x = int(dx);
    dest_y = int(dy);
    width = int(w);
    height = int(h);
    return true;
}

// Checks shared by the copies, after clip_to_source.
#define CHECK_BLIT(dest, src, src_x, src_y, dest_x, dest_y, width, height)           \
    do {                                                                             \
        ASSERT_OR_RETURN(src_x >= 0);                                                \
        ASSERT_OR_RETURN(src_y >= 0);                                                \
        ASSERT_OR_RETURN(dest_x >= 0);                                               \
        ASSERT_OR_RETURN(dest_y >= 0);                                               \
        ASSERT_OR_RETURN(int64_t(dest_x) + width <= pixman_image_get_width(dest));   \
        ASSERT_OR_RETURN(int64_t(dest_y) + height <= pixman_image_get_height(dest)); \
        ASSERT_OR_RETURN(int64_t(src_x) + width <= pixman_image_get_width(src));     \
        ASSERT_OR_RETURN(int64_t(src_y) + height <= pixman_image_get_height(src));   \
    } while (0)

}  // namespace

int spice_pixman_image_get_bpp(pixman_image_t* image) {
    int depth = pixman_image_get_depth(image);
    if (depth == 24) {
        return 32;
    }
    if (depth == 15) {
        return 16;
    }
    return depth;
}

pixman_format_code_t surface_format_to_pixman_format(uint32_t surface_format) {
    switch (surface_format) {
        case SPICE_SURFACE_FMT_1_A:
            return PIXMAN_a1;
        case SPICE_SURFACE_FMT_8_A:
            return PIXMAN_a8;
        case SPICE_SURFACE_FMT_16_555:
            return PIXMAN_x1r5g5b5;
        case SPICE_SURFACE_FMT_32_xRGB:
            return PIXMAN_x8r8g8b8;
        case SPICE_SURFACE_FMT_16_565:
            return PIXMAN_r5g6b5;
        case SPICE_SURFACE_FMT_32_ARGB:
            return PIXMAN_a8r8g8b8;
        default:
            peer_warning("Unknown surface format %u", surface_format);
            return pixman_format_code_t(0);
    }
}

void spice_pixman_fill_rect(pixman_image_t* dest, int x, int y, int width, int height, uint32_t value) {
    CHECK_DEST_RECT(dest, x, y, width, height);
    const int depth = spice_pixman_image_get_bpp(dest);
    if (pixman_fill(pixman_image_get_data(dest), pixman_image_get_stride(dest) / 4, depth, x, y, width,
                    height, value)) {
        return;
    }
    peer_return_if_fail(supported_bpp(depth));
    with_pixel_type(
        depth, [&](auto pixel) { fill_rows<decltype(pixel)>(dest, x, y, width, height, value, ROP_COPY); });
}

void spice_pixman_fill_rect_rop(pixman_image_t* dest, int x, int y, int width, int height, uint32_t value,
                                RasterOp rop) {
    CHECK_DEST_RECT(dest, x, y, width, height);
    ASSERT_OR_RETURN(rop < 16);
    const int depth = spice_pixman_image_get_bpp(dest);
    peer_return_if_fail(supported_bpp(depth));
    with_pixel_type(depth,
                    [&](auto pixel) { fill_rows<decltype(pixel)>(dest, x, y, width, height, value, rop); });
}

void spice_pixman_tile_rect(pixman_image_t* dest, int x, int y, int width, int height, pixman_image_t* tile,
                            int offset_x, int offset_y) {
    CHECK_DEST_RECT(dest, x, y, width, height);
    const int depth = spice_pixman_image_get_bpp(dest);
    peer_return_if_fail(depth == spice_pixman_image_get_bpp(tile));
    peer_return_if_fail(supported_bpp(depth));
    peer_return_if_fail(pixman_image_get_width(tile) > 0 && pixman_image_get_height(tile) > 0);
    with_pixel_type(depth, [&](auto pixel) {
        tile_rows<decltype(pixel)>(dest, x, y, width, height, tile, offset_x, offset_y, ROP_COPY);
    });
}

void spice_pixman_tile_rect_rop(pixman_image_t* dest, int x, int y, int width, int height,
                                pixman_image_t* tile, int offset_x, int offset_y, RasterOp rop) {
    CHECK_DEST_RECT(dest, x, y, width, height);
    ASSERT_OR_RETURN(rop < 16);
    const int depth = spice_pixman_image_get_bpp(dest);
    peer_return_if_fail(depth == spice_pixman_image_get_bpp(tile));
    peer_return_if_fail(supported_bpp(depth));
    peer_return_if_fail(pixman_image_get_width(tile) > 0 && pixman_image_get_height(tile) > 0);
    with_pixel_type(depth, [&](auto pixel) {
        tile_rows<decltype(pixel)>(dest, x, y, width, height, tile, offset_x, offset_y, rop);
    });
}

void spice_pixman_blit(pixman_image_t* dest, pixman_image_t* src, int src_x, int src_y, int dest_x,
                       int dest_y, int width, int height) {
    if (!src) {
        fprintf(stderr, "missing src!\n");
        return;
    }
    if (!clip_to_source(src, src_x, src_y, dest_x, dest_y, width, height)) {
        return;
    }
    CHECK_BLIT(dest, src, src_x, src_y, dest_x, dest_y, width, height);
    const int depth = spice_pixman_image_get_bpp(dest);
    const int src_depth = spice_pixman_image_get_bpp(src);
    peer_return_if_fail(depth == src_depth);
    if (pixman_blt(pixman_image_get_data(src), pixman_image_get_data(dest), pixman_image_get_stride(src) / 4,
                   pixman_image_get_stride(dest) / 4, src_depth, depth, src_x, src_y, dest_x, dest_y, width,
                   height)) {
        return;
    }
    peer_return_if_fail(supported_bpp(depth));
    with_pixel_type(depth, [&](auto pixel) {
        blit_rows<decltype(pixel)>(dest, src, src_x, src_y, dest_x, dest_y, width, height, ROP_COPY);
    });
}

void spice_pixman_blit_rop(pixman_image_t* dest, pixman_image_t* src, int src_x, int src_y, int dest_x,
                           int dest_y, int width, int height, RasterOp rop) {
    if (!clip_to_source(src, src_x, src_y, dest_x, dest_y, width, height)) {
        return;
    }
    CHECK_BLIT(dest, src, src_x, src_y, dest_x, dest_y, width, height);
    ASSERT_OR_RETURN(rop < 16);
    const int depth = spice_pixman_image_get_bpp(dest);
    const int src_depth = spice_pixman_image_get_bpp(src);
    peer_return_if_fail(depth == src_depth);
    peer_return_if_fail(supported_bpp(depth));
    with_pixel_type(depth, [&](auto pixel) {
        blit_rows<decltype(pixel)>(dest, src, src_x, src_y, dest_x, dest_y, width, height, rop);
    });
}

void spice_pixman_blit_colorkey(pixman_image_t* dest, pixman_image_t* src, int src_x, int src_y, int dest_x,
                                int dest_y, int width, int height, uint32_t transparent_color) {
    if (!clip_to_source(src, src_x, src_y, dest_x, dest_y, width, height)) {
        return;
    }
    CHECK_BLIT(dest, src, src_x, src_y, dest_x, dest_y, width, height);
    const int depth = spice_pixman_image_get_bpp(dest);
    peer_return_if_fail(depth == spice_pixman_image_get_bpp(src));
    peer_return_if_fail(supported_bpp(depth));
    with_pixel_type(depth, [&](auto pixel) {
        colorkey_rows<decltype(pixel)>(dest, src, src_x, src_y, dest_x, dest_y, width, height,
                                       transparent_color);
    });
}

void spice_pixman_copy_within(pixman_image_t* image, int src_x, int src_y, int width, int height, int dest_x,
                              int dest_y) {
    if (width <= 0 || height <= 0) {
        return;
    }
    ASSERT_OR_RETURN(src_x >= 0 && src_y >= 0 && dest_x >= 0 && dest_y >= 0);
    ASSERT_OR_RETURN(int64_t(std::max(src_x, dest_x)) + width <= pixman_image_get_width(image));
    ASSERT_OR_RETURN(int64_t(std::max(src_y, dest_y)) + height <= pixman_image_get_height(image));
    const int bpp = spice_pixman_image_get_bpp(image);
    peer_return_if_fail(supported_bpp(bpp));
    const size_t row_bytes = size_t(width) * (bpp / 8);
    auto move_row = [&](int row) {
        memmove(row_at(image, dest_y + row) + ptrdiff_t(dest_x) * (bpp / 8),
                row_at(image, src_y + row) + ptrdiff_t(src_x) * (bpp / 8), row_bytes);
    };
    // Rows are taken in the order that never reads a row already overwritten.
    if (dest_y > src_y) {
        for (int row = height - 1; row >= 0; row--) {
            move_row(row);
        }
    } else {
        for (int row = 0; row < height; row++) {
            move_row(row);
        }
    }
}

// ---- Bitmaps ----

namespace {

// The format a bitmap converts into without changing its pixels; 0 for a format outside 1 to 10 or a palette
// format whose palette surface format has no pixman format.
pixman_format_code_t bitmap_natural_format(int format, uint32_t palette_surface_format) {
    switch (format) {
        case SPICE_BITMAP_FMT_1BIT_LE:
        case SPICE_BITMAP_FMT_1BIT_BE:
        case SPICE_BITMAP_FMT_4BIT_LE:
        case SPICE_BITMAP_FMT_4BIT_BE:
        case SPICE_BITMAP_FMT_8BIT:
            return surface_format_to_pixman_format(palette_surface_format);
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
            peer_warning("Unknown bitmap format %d", format);
            return pixman_format_code_t(0);
    }
}

// The palette as a table of `entries` pixels; indices the palette does not cover take its entry 0, or 0 when
// it has none, so that an index from the bitmap never reads past the palette.
template <typename T, size_t entries>
std::array<T, entries> palette_table(const SpicePalette* palette) {
    std::array<T, entries> table;
    const size_t count = std::min<size_t>(palette->num_ents, entries);
    const T fallback = count ? T(palette->ents[0]) : T(0);
    for (size_t i = 0; i < entries; i++) {
        table[i] = i < count ? T(palette->ents[i]) : fallback;
    }
    return table;
}

// Row converters: width pixels from src into dst.
template <typename T>
void row_1be(T* dst, const uint8_t* src, int width, const std::array<T, 2>& table) {
    for (int i = 0; i < width; i++) {
        dst[i] = table[(src[i >> 3] >> (7 - (i & 7))) & 1];
    }
}

template <typename T>
void row_4be(T* dst, const uint8_t* src, int width, const std::array<T, 16>& table) {
    int i = 0;
    for (; i + 1 < width; i += 2) {
        const uint8_t byte = src[i >> 1];
        dst[i] = table[byte >> 4];
        dst[i + 1] = table[byte & 0x0F];
    }
    if (i < width) {
        dst[i] = table[src[i >> 1] >> 4];
    }
}

template <typename T>
void row_8(T* dst, const uint8_t* src, int width, const std::array<T, 256>& table) {
    for (int i = 0; i < width; i++) {
        dst[i] = table[src[i]];
    }
}

void row_rgb24(uint32_t* dst, const uint8_t* src, int width) {
    for (int i = 0; i < width; i++, src += 3) {
        dst[i] = uint32_t(src[0]) | uint32_t(src[1]) << 8 | uint32_t(src[2]) << 16;
    }
}

template <typename T, typename RowFn>
void convert_rows(uint8_t* dst, ptrdiff_t dst_stride, const uint8_t* src, ptrdiff_t src_stride, int height,
                  RowFn&& convert_row) {
    for (int y = 0; y < height; y++) {
        convert_row(reinterpret_cast<T*>(dst + y * dst_stride), src + y * src_stride);
    }
}

template <typename T>
void convert_palette_rows(int format, uint8_t* dst, ptrdiff_t dst_stride, const uint8_t* src,
                          ptrdiff_t src_stride, int width, int height, const SpicePalette* palette) {
    if (format == SPICE_BITMAP_FMT_1BIT_BE) {
        const auto table = palette_table<T, 2>(palette);
        convert_rows<T>(dst, dst_stride, src, src_stride, height,
                        [&](T* d, const uint8_t* s) { row_1be(d, s, width, table); });
    } else if (format == SPICE_BITMAP_FMT_4BIT_BE) {
        const auto table = palette_table<T, 16>(palette);
        convert_rows<T>(dst, dst_stride, src, src_stride, height,
                        [&](T* d, const uint8_t* s) { row_4be(d, s, width, table); });
    } else {
        const auto table = palette_table<T, 256>(palette);
        convert_rows<T>(dst, dst_stride, src, src_stride, height,
                        [&](T* d, const uint8_t* s) { row_8(d, s, width, table); });
    }
}

// Bits per pixel that the conversion of format writes.
int converted_bpp(int format, uint32_t palette_surface_format) {
    switch (format) {
        case SPICE_BITMAP_FMT_16BIT:
            return 16;
        case SPICE_BITMAP_FMT_8BIT_A:
            return 8;
        case SPICE_BITMAP_FMT_1BIT_BE:
        case SPICE_BITMAP_FMT_4BIT_BE:
        case SPICE_BITMAP_FMT_8BIT:
            return palette_surface_format == SPICE_SURFACE_FMT_16_555 ? 16 : 32;
        default:
            return 32;
    }
}

}  // namespace

pixman_image_t* spice_bitmap_wrap_pixman(int format, int flags, int width, int height, uint8_t* data,
                                         int stride) {
    pixman_format_code_t pixman_format;
    switch (format) {
        case SPICE_BITMAP_FMT_16BIT:
            pixman_format = PIXMAN_x1r5g5b5;
            break;
        case SPICE_BITMAP_FMT_24BIT:
            pixman_format = PIXMAN_r8g8b8;
            break;
        case SPICE_BITMAP_FMT_32BIT:
            pixman_format = PIXMAN_x8r8g8b8;
            break;
        case SPICE_BITMAP_FMT_RGBA:
            pixman_format = PIXMAN_a8r8g8b8;
            break;
        default:
            return nullptr;
    }
    if (stride % 4 != 0 || width <= 0 || height <= 0 ||
        int64_t(width) * spice_bitmap_format_bpp(uint8_t(format)) / 8 > std::abs(int64_t(stride))) {
        return nullptr;
    }
    if (!(flags & SPICE_BITMAP_FLAGS_TOP_DOWN)) {
        data += ptrdiff_t(height - 1) * stride;
        stride = -stride;
    }
    return pixman_image_create_bits(pixman_format, width, height, reinterpret_cast<uint32_t*>(data), stride);
}

pixman_image_t* spice_bitmap_to_pixman(pixman_image_t* dest, int format, int flags, int width, int height,
                                       uint8_t* data, int stride, uint32_t palette_surface_format,
                                       const SpicePalette* palette) {
    if (format == SPICE_BITMAP_FMT_1BIT_LE || format == SPICE_BITMAP_FMT_4BIT_LE) {
        peer_warning("Unsupported bitmap format");
        return nullptr;
    }
    const bool palette_format = format == SPICE_BITMAP_FMT_1BIT_BE || format == SPICE_BITMAP_FMT_4BIT_BE ||
                                format == SPICE_BITMAP_FMT_8BIT;
    if (palette_format) {
        if (palette_surface_format != SPICE_SURFACE_FMT_16_555 &&
            palette_surface_format != SPICE_SURFACE_FMT_32_xRGB &&
            palette_surface_format != SPICE_SURFACE_FMT_32_ARGB) {
            peer_warning("Unsupported palette format");
            return nullptr;
        }
        if (!palette) {
            peer_warning("No palette");
            return nullptr;
        }
    }
    const pixman_format_code_t natural = bitmap_natural_format(format, palette_surface_format);
    if (!natural) {
        return nullptr;
    }
    if (width < 0 || height < 0 ||
        (int64_t(width) * spice_bitmap_format_bpp(uint8_t(format)) + 7) / 8 > std::abs(int64_t(stride))) {
        peer_warning("bad bitmap size %dx%d, stride %d", width, height, stride);
        return nullptr;
    }

    const bool made_here = !dest;
    if (made_here) {
        dest = pixman_image_create_bits(natural, width, height, nullptr, 0);
        if (!dest) {
            peer_warning("create surface failed");
            return nullptr;
        }
    } else if (pixman_image_get_width(dest) < width || pixman_image_get_height(dest) < height ||
               spice_pixman_image_get_bpp(dest) != converted_bpp(format, palette_surface_format)) {
        peer_warning("bitmap does not fit the destination image");
        return nullptr;
    }
    if (height == 0 || width == 0) {
        return dest;
    }

    uint8_t* dst = reinterpret_cast<uint8_t*>(pixman_image_get_data(dest));
    ptrdiff_t dst_stride = pixman_image_get_stride(dest);
    if (!(flags & SPICE_BITMAP_FLAGS_TOP_DOWN)) {
        // The first stored row is the picture's bottom row.
        dst += (height - 1) * dst_stride;
        dst_stride = -dst_stride;
    }

    if (palette_format) {
        if (palette_surface_format == SPICE_SURFACE_FMT_16_555) {
            convert_palette_rows<uint16_t>(format, dst, dst_stride, data, stride, width, height, palette);
        } else {
            convert_palette_rows<uint32_t>(format, dst, dst_stride, data, stride, width, height, palette);
        }
    } else if (format == SPICE_BITMAP_FMT_24BIT) {
        convert_rows<uint32_t>(dst, dst_stride, data, stride, height,
                               [&](uint32_t* d, const uint8_t* s) { row_rgb24(d, s, width); });
    } else {
        const size_t row_bytes = size_t(width) * (spice_bitmap_format_bpp(uint8_t(format)) / 8);
        convert_rows<uint8_t>(dst, dst_stride, data, stride, height,
                              [&](uint8_t* d, const uint8_t* s) { memcpy(d, s, row_bytes); });
    }
    return dest;
}

pixman_image_t* spice_bitmap_convert_into_pixman(pixman_format_code_t dest_format, pixman_image_t* dest,
                                                 int format, int flags, int width, int height, uint8_t* data,
                                                 int stride, uint32_t palette_surface_format,
                                                 const SpicePalette* palette) {
    const pixman_format_code_t natural = bitmap_natural_format(format, palette_surface_format);
    if (!natural || width < 0 || height < 0) {
        return nullptr;
    }
    const bool made_here = !dest;
    if (made_here) {
        dest = pixman_image_create_bits(dest_format, width, height, nullptr, 0);
        if (!dest) {
            peer_warning("create surface failed");
            return nullptr;
        }
    }
    auto fail = [&]() -> pixman_image_t* {
        if (made_here) {
            pixman_image_unref(dest);
        }
        return nullptr;
    };

    if (dest_format == natural || (natural == PIXMAN_a8r8g8b8 && dest_format == PIXMAN_x8r8g8b8)) {
        return spice_bitmap_to_pixman(dest, format, flags, width, height, data, stride,
                                      palette_surface_format, palette)
                   ? dest
                   : fail();
    }

    pixman_image_t* src = spice_bitmap_wrap_pixman(format, flags, width, height, data, stride);
    if (!src) {
        src = spice_bitmap_to_pixman(nullptr, format, flags, width, height, data, stride,
                                     palette_surface_format, palette);
    }
    if (!src) {
        return fail();
    }
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dest, 0, 0, 0, 0, 0, 0, width, height);
    pixman_image_unref(src);
    return dest;
}
