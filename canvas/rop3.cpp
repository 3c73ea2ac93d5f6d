#include "canvas/rop3.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "canvas/pixman_utils.h"
#include "canvas/raster_types.h"
#include "runtime/log.h"
#include "runtime/peer_check.h"

namespace {

using PatternHandler = void (*)(pixman_image_t* d, pixman_image_t* s, const SpicePoint& src_pos,
                                pixman_image_t* p, const SpicePoint& pat_pos);
using ColorHandler = void (*)(pixman_image_t* d, pixman_image_t* s, const SpicePoint& src_pos, uint32_t rgb);

// The two-operand operation that a half of a ternary code performs on (S, D). The half's bit 2s + d is the
// result; RasterOp numbers its bits the other way round (bit 3 - (2s + d)).
constexpr RasterOp half_to_raster_op(unsigned half) {
    return RasterOp((half & 1) << 3 | (half & 2) << 1 | (half & 4) >> 1 | (half & 8) >> 3);
}

// The code's function on whole pixels: the low half of the code where P is 0, the high half where P is 1.
// Codes that ignore an operand fold to the one- or two-operand expression at compile time.
template <uint8_t code, typename T>
inline T rop3_apply(T p, T s, T d) {
    const T without_p = raster_op_apply<half_to_raster_op(code & 0x0F)>(s, d);
    const T with_p = raster_op_apply<half_to_raster_op(code >> 4)>(s, d);
    return T(without_p ^ (p & (without_p ^ with_p)));
}

const uint8_t* first_pixel(pixman_image_t* image, const SpicePoint& at, size_t pixel_bytes) {
    return reinterpret_cast<const uint8_t*>(pixman_image_get_data(image)) +
           ptrdiff_t(at.y) * pixman_image_get_stride(image) + ptrdiff_t(at.x) * ptrdiff_t(pixel_bytes);
}

template <typename T, uint8_t code>
void rop3_with_pattern(pixman_image_t* d, pixman_image_t* s, const SpicePoint& src_pos, pixman_image_t* p,
                       const SpicePoint& pat_pos) {
    const int width = pixman_image_get_width(d);
    const int height = pixman_image_get_height(d);
    uint8_t* dest_row = reinterpret_cast<uint8_t*>(pixman_image_get_data(d));
    const ptrdiff_t dest_stride = pixman_image_get_stride(d);
    const uint8_t* src_row = first_pixel(s, src_pos, sizeof(T));
    const ptrdiff_t src_stride = pixman_image_get_stride(s);
    const uint8_t* pattern = reinterpret_cast<const uint8_t*>(pixman_image_get_data(p));
    const ptrdiff_t pattern_stride = pixman_image_get_stride(p);
    const int pattern_width = pixman_image_get_width(p);
    const int pattern_height = pixman_image_get_height(p);

    int pattern_y = pat_pos.y;
    for (int y = 0; y < height; y++) {
        T* dest = reinterpret_cast<T*>(dest_row);
        const T* src = reinterpret_cast<const T*>(src_row);
        const T* pattern_row = reinterpret_cast<const T*>(pattern + pattern_y * pattern_stride);
        // In runs up to the end of the pattern row, so that the inner loop has no wrap to test.
        int pattern_x = pat_pos.x;
        for (int x = 0; x < width;) {
            const int run = std::min(width - x, pattern_width - pattern_x);
            for (int i = 0; i < run; i++) {
                dest[x + i] = rop3_apply<code>(pattern_row[pattern_x + i], src[x + i], dest[x + i]);
            }
            x += run;
            pattern_x += run;
            if (pattern_x == pattern_width) {
                pattern_x = 0;
            }
        }
        dest_row += dest_stride;
        src_row += src_stride;
        if (++pattern_y == pattern_height) {
            pattern_y = 0;
        }
    }
}

template <typename T, uint8_t code>
void rop3_with_color(pixman_image_t* d, pixman_image_t* s, const SpicePoint& src_pos, uint32_t rgb) {
    const int width = pixman_image_get_width(d);
    const int height = pixman_image_get_height(d);
    uint8_t* dest_row = reinterpret_cast<uint8_t*>(pixman_image_get_data(d));
    const ptrdiff_t dest_stride = pixman_image_get_stride(d);
    const uint8_t* src_row = first_pixel(s, src_pos, sizeof(T));
    const ptrdiff_t src_stride = pixman_image_get_stride(s);
    const T color = T(rgb);

    for (int y = 0; y < height; y++) {
        T* dest = reinterpret_cast<T*>(dest_row);
        const T* src = reinterpret_cast<const T*>(src_row);
        for (int x = 0; x < width; x++) {
            dest[x] = rop3_apply<code>(color, src[x], dest[x]);
        }
        dest_row += dest_stride;
        src_row += src_stride;
    }
}

template <typename T, size_t... codes>
constexpr std::array<PatternHandler, 256> pattern_table(std::index_sequence<codes...>) {
    return {&rop3_with_pattern<T, uint8_t(codes)>...};
}

template <typename T, size_t... codes>
constexpr std::array<ColorHandler, 256> color_table(std::index_sequence<codes...>) {
    return {&rop3_with_color<T, uint8_t(codes)>...};
}

constexpr auto rop3_with_pattern_handlers_32 = pattern_table<uint32_t>(std::make_index_sequence<256>());
constexpr auto rop3_with_color_handlers_32 = color_table<uint32_t>(std::make_index_sequence<256>());
constexpr auto rop3_with_pattern_handlers_16 = pattern_table<uint16_t>(std::make_index_sequence<256>());
constexpr auto rop3_with_color_handlers_16 = color_table<uint16_t>(std::make_index_sequence<256>());

int reduce(int position, int size) {
    const int m = position % size;
    return m < 0 ? m + size : m;
}

}  // namespace

void init_rop3_handlers() {}

void do_rop3_with_pattern(uint8_t rop3, pixman_image_t* d, pixman_image_t* s, const SpicePoint* src_pos,
                          pixman_image_t* p, const SpicePoint* pat_pos) {
    const int bpp = spice_pixman_image_get_bpp(d);
    peer_return_if_fail(bpp == spice_pixman_image_get_bpp(s));
    peer_return_if_fail(bpp == spice_pixman_image_get_bpp(p));
    peer_return_if_fail(bpp == 32 || bpp == 16);
    peer_return_if_fail(src_pos->x >= 0 && src_pos->y >= 0);
    peer_return_if_fail(int64_t(src_pos->x) + pixman_image_get_width(d) <= pixman_image_get_width(s));
    peer_return_if_fail(int64_t(src_pos->y) + pixman_image_get_height(d) <= pixman_image_get_height(s));
    const int pattern_width = pixman_image_get_width(p);
    const int pattern_height = pixman_image_get_height(p);
    peer_return_if_fail(pattern_width > 0 && pattern_height > 0);

    // The canvas's offset is a signed remainder; the handlers start inside the pattern.
    const SpicePoint pattern_start = {reduce(pat_pos->x, pattern_width), reduce(pat_pos->y, pattern_height)};
    const auto& table = bpp == 32 ? rop3_with_pattern_handlers_32 : rop3_with_pattern_handlers_16;
    table[rop3](d, s, *src_pos, p, pattern_start);
}

void do_rop3_with_color(uint8_t rop3, pixman_image_t* d, pixman_image_t* s, const SpicePoint* src_pos,
                        uint32_t rgb) {
    const int bpp = spice_pixman_image_get_bpp(d);
    peer_return_if_fail(bpp == spice_pixman_image_get_bpp(s));
    peer_return_if_fail(bpp == 32 || bpp == 16);
    peer_return_if_fail(src_pos->x >= 0 && src_pos->y >= 0);
    peer_return_if_fail(int64_t(src_pos->x) + pixman_image_get_width(d) <= pixman_image_get_width(s));
    peer_return_if_fail(int64_t(src_pos->y) + pixman_image_get_height(d) <= pixman_image_get_height(s));

    const auto& table = bpp == 32 ? rop3_with_color_handlers_32 : rop3_with_color_handlers_16;
    table[rop3](d, s, *src_pos, rgb);
}
