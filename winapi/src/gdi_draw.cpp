// Drawing into device contexts: BitBlt with any raster operation, AlphaBlend, FillRect and FrameRect.
// Raster operations work on the destination's own pixel values, as GDI does; a source in another format is
// converted to the destination's first.
#include "gdi_objects.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace winapi_internal {

namespace {

struct Box {
    int64_t left, top, right, bottom;
    bool empty() const { return right <= left || bottom <= top; }
};

Box intersect(Box a, Box b) {
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
}

uint8_t* pixel_row(const Surface& s, int64_t y) {
    return s.top + (ptrdiff_t)y * s.step;
}

uint32_t load(const Surface& s, int64_t x, int64_t y) {
    const uint8_t* row = pixel_row(s, y);
    switch (s.layout) {
        case PixelLayout::ARGB32: {
            uint32_t value;
            memcpy(&value, row + 4 * x, 4);
            return value;
        }
        case PixelLayout::RGB24:
            return row[3 * x] | (uint32_t)row[3 * x + 1] << 8 | (uint32_t)row[3 * x + 2] << 16;
        case PixelLayout::MONO:
            return (row[x >> 3] >> (7 - (x & 7))) & 1;
        case PixelLayout::INDEX8:
            return row[x];
        default: {
            uint16_t value;
            memcpy(&value, row + 2 * x, 2);
            return value;
        }
    }
}

void store(const Surface& s, int64_t x, int64_t y, uint32_t value) {
    uint8_t* row = pixel_row(s, y);
    switch (s.layout) {
        case PixelLayout::ARGB32:
            memcpy(row + 4 * x, &value, 4);
            break;
        case PixelLayout::RGB24:
            row[3 * x] = (uint8_t)value;
            row[3 * x + 1] = (uint8_t)(value >> 8);
            row[3 * x + 2] = (uint8_t)(value >> 16);
            break;
        case PixelLayout::MONO: {
            uint8_t bit = (uint8_t)(0x80 >> (x & 7));
            row[x >> 3] = (uint8_t)((value & 1) ? row[x >> 3] | bit : row[x >> 3] & ~bit);
            break;
        }
        case PixelLayout::INDEX8:
            row[x] = (uint8_t)value;
            break;
        default: {
            uint16_t word = (uint16_t)value;
            memcpy(row + 2 * x, &word, 2);
            break;
        }
    }
}

uint32_t rgb_of_colorref(COLORREF color) {
    return GetRValue(color) << 16 | GetGValue(color) << 8 | GetBValue(color);
}

uint32_t expand5(uint32_t v) {
    return v << 3 | v >> 2;
}

// 0x00RRGGBB of a colour pixel value.
uint32_t rgb_of(PixelLayout layout, uint32_t value) {
    switch (layout) {
        case PixelLayout::RGB555:
            return expand5(value >> 10 & 31) << 16 | expand5(value >> 5 & 31) << 8 | expand5(value & 31);
        case PixelLayout::RGB565:
            return expand5(value >> 11 & 31) << 16 | ((value >> 5 & 63) << 2 | (value >> 9 & 3)) << 8 |
                   expand5(value & 31);
        default:
            return value & 0xFFFFFF;
    }
}

// The pixel value of a colour in a colour layout (alpha 0 for ARGB32).
uint32_t value_of(PixelLayout layout, uint32_t rgb) {
    uint32_t r = rgb >> 16 & 0xFF, g = rgb >> 8 & 0xFF, b = rgb & 0xFF;
    switch (layout) {
        case PixelLayout::RGB555:
            return (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
        case PixelLayout::RGB565:
            return (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
        default:
            return rgb;
    }
}

uint32_t rgb_of_quad(const RGBQUAD& quad) {
    return (uint32_t)quad.rgbRed << 16 | quad.rgbGreen << 8 | quad.rgbBlue;
}

bool indexed(PixelLayout layout) {
    return layout == PixelLayout::MONO || layout == PixelLayout::INDEX8;
}

// The table entry nearest to a colour, for a destination with a colour table. Without a table (a monochrome
// device-dependent bitmap) light colours are 1 (white).
uint32_t nearest_index(const Surface& dest, uint32_t rgb) {
    if (!dest.table) {
        return (rgb >> 16 & 0xFF) + (rgb >> 8 & 0xFF) + (rgb & 0xFF) >= 384 ? 1 : 0;
    }
    uint32_t best = 0, best_distance = UINT32_MAX;
    for (uint32_t i = 0; i < (dest.layout == PixelLayout::MONO ? 2u : 256u); i++) {
        uint32_t entry = rgb_of_quad(dest.table[i]), distance = 0;
        for (int shift = 0; shift < 24; shift += 8) {
            int32_t delta = (int32_t)(rgb >> shift & 0xFF) - (int32_t)(entry >> shift & 0xFF);
            distance += (uint32_t)(delta * delta);
        }
        if (distance < best_distance) {
            best = i, best_distance = distance;
        }
    }
    return best;
}

// The destination value of a brush colour.
uint32_t pattern_value(const Surface& dest, COLORREF color) {
    uint32_t rgb = rgb_of_colorref(color);
    return indexed(dest.layout) ? nearest_index(dest, rgb) : value_of(dest.layout, rgb);
}

// The colour of a source pixel; a monochrome pixel without a colour table takes the destination DC's colours
// (1: background, 0: text).
uint32_t source_rgb(const Surface& src, uint32_t value, const DeviceContext& dest_dc) {
    if (!indexed(src.layout)) {
        return rgb_of(src.layout, value);
    }
    if (src.table) {
        return rgb_of_quad(src.table[value & 0xFF]);
    }
    return rgb_of_colorref(value ? dest_dc.bk_color : dest_dc.text_color);
}

// A source pixel converted to the destination's format. Colour to monochrome: the source DC's background
// colour is 1, everything else 0.
uint32_t convert(const Surface& src, const Surface& dest, uint32_t value, const DeviceContext& src_dc,
                 const DeviceContext& dest_dc) {
    if (src.layout == dest.layout && (!indexed(src.layout) || src.table == dest.table)) {
        return value;
    }
    if (dest.layout == PixelLayout::MONO && !dest.table) {
        if (src.layout == PixelLayout::MONO && !src.table) {
            return value;
        }
        return source_rgb(src, value, dest_dc) == rgb_of_colorref(src_dc.bk_color) ? 1 : 0;
    }
    uint32_t rgb = source_rgb(src, value, dest_dc);
    return indexed(dest.layout) ? nearest_index(dest, rgb) : value_of(dest.layout, rgb);
}

uint32_t apply_rop(uint32_t index, uint32_t p, uint32_t s, uint32_t d) {
    uint32_t result = 0;
    for (uint32_t k = 0; k < 8; k++) {
        if (index >> k & 1) {
            result |= (k & 4 ? p : ~p) & (k & 2 ? s : ~s) & (k & 1 ? d : ~d);
        }
    }
    return result;
}

bool rop_uses_source(uint32_t index) {
    return ((index >> 2 ^ index) & 0x33) != 0;
}

Box bounds(const Surface& s) {
    return {0, 0, s.width, s.height};
}

void fill_box(const Surface& dest, Box box, uint32_t index, uint32_t pattern) {
    if (index == (PATCOPY >> 16)) {
        for (int64_t y = box.top; y < box.bottom; y++) {
            for (int64_t x = box.left; x < box.right; x++) {
                store(dest, x, y, pattern);
            }
        }
        return;
    }
    for (int64_t y = box.top; y < box.bottom; y++) {
        for (int64_t x = box.left; x < box.right; x++) {
            store(dest, x, y, apply_rop(index, pattern, 0, load(dest, x, y)));
        }
    }
}

bool same_memory(const Surface& a, const Surface& b) {
    const uint8_t* a_low = std::min(a.top, a.top + (a.height - 1) * a.step);
    const uint8_t* a_high = std::max(a.top, a.top + (a.height - 1) * a.step) + std::abs(a.step);
    const uint8_t* b_low = std::min(b.top, b.top + (b.height - 1) * b.step);
    const uint8_t* b_high = std::max(b.top, b.top + (b.height - 1) * b.step) + std::abs(b.step);
    return a_low < b_high && b_low < a_high;
}

// The pattern of raster operations: the brush selected in the destination DC (a hollow brush counts as
// black).
COLORREF brush_color(const DeviceContext& dc) {
    return dc.brush && !dc.brush->hollow ? dc.brush->color : 0;
}

int paint_rect(HDC dc, const RECT* rect, HBRUSH brush_handle, bool frame) {
    std::shared_ptr<DeviceContext> context = gdi_lookup_as<DeviceContext>((HGDIOBJ)dc);
    std::shared_ptr<Brush> brush = gdi_lookup_as<Brush>(brush_handle);
    if (!context || !brush || !rect) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    Surface dest = context->surface();
    Box whole{rect->left, rect->top, rect->right, rect->bottom};
    if (!dest.valid() || brush->hollow || whole.empty()) {
        return 1;
    }
    uint32_t pattern = pattern_value(dest, brush->color);
    const uint32_t patcopy = PATCOPY >> 16;
    if (!frame) {
        fill_box(dest, intersect(whole, bounds(dest)), patcopy, pattern);
        return 1;
    }
    Box edges[] = {{whole.left, whole.top, whole.right, whole.top + 1},
                   {whole.left, whole.bottom - 1, whole.right, whole.bottom},
                   {whole.left, whole.top, whole.left + 1, whole.bottom},
                   {whole.right - 1, whole.top, whole.right, whole.bottom}};
    for (const Box& edge : edges) {
        fill_box(dest, intersect(edge, bounds(dest)), patcopy, pattern);
    }
    return 1;
}

uint32_t div255(uint32_t value) {
    return (value + 127) / 255;
}

}  // namespace

}  // namespace winapi_internal

using namespace winapi_internal;

BOOL WINAPI BitBlt(HDC dest_dc, int x, int y, int width, int height, HDC src_dc, int src_x, int src_y,
                   DWORD rop) {
    std::shared_ptr<DeviceContext> dest_context = gdi_lookup_as<DeviceContext>((HGDIOBJ)dest_dc);
    if (!dest_context) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uint32_t index = rop >> 16 & 0xFF;
    bool uses_source = rop_uses_source(index);
    std::shared_ptr<DeviceContext> src_context;
    if (uses_source) {
        src_context = gdi_lookup_as<DeviceContext>((HGDIOBJ)src_dc);
        if (!src_context) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    Surface dest = dest_context->surface();
    if (!dest.valid() || width <= 0 || height <= 0) {
        return TRUE;
    }
    uint32_t pattern = pattern_value(dest, brush_color(*dest_context));
    Box box = intersect({x, y, (int64_t)x + width, (int64_t)y + height}, bounds(dest));
    if (!uses_source) {
        if (!box.empty()) {
            fill_box(dest, box, index, pattern);
        }
        return TRUE;
    }
    Surface src = src_context->surface();
    if (!src.valid()) {
        return TRUE;
    }
    // Only source pixels that exist are read; the destination pixels they would have covered stay as they
    // are.
    int64_t dx = (int64_t)src_x - x, dy = (int64_t)src_y - y;
    Box src_box = bounds(src);
    box = intersect(box, {src_box.left - dx, src_box.top - dy, src_box.right - dx, src_box.bottom - dy});
    if (box.empty()) {
        return TRUE;
    }
    int64_t w = box.right - box.left, h = box.bottom - box.top;
    bool overlapping = same_memory(src, dest);
    if (index == (SRCCOPY >> 16) && src.layout == dest.layout && dest.layout != PixelLayout::MONO &&
        src.table == dest.table) {
        size_t bytes = (size_t)(w * layout_bits(dest.layout) / 8);
        size_t offset = (size_t)(box.left * layout_bits(dest.layout) / 8);
        size_t src_offset = (size_t)((box.left + dx) * layout_bits(dest.layout) / 8);
        // Rows are moved in the order that leaves an overlapping source intact.
        bool upward = overlapping && dy < 0;
        for (int64_t i = 0; i < h; i++) {
            int64_t row = upward ? box.bottom - 1 - i : box.top + i;
            memmove(pixel_row(dest, row) + offset, pixel_row(src, row + dy) + src_offset, bytes);
        }
        return TRUE;
    }
    std::vector<uint32_t> values((size_t)(w * h));
    for (int64_t j = 0; j < h; j++) {
        for (int64_t i = 0; i < w; i++) {
            uint32_t value = load(src, box.left + i + dx, box.top + j + dy);
            values[(size_t)(j * w + i)] = convert(src, dest, value, *src_context, *dest_context);
        }
    }
    for (int64_t j = 0; j < h; j++) {
        for (int64_t i = 0; i < w; i++) {
            int64_t px = box.left + i, py = box.top + j;
            store(dest, px, py, apply_rop(index, pattern, values[(size_t)(j * w + i)], load(dest, px, py)));
        }
    }
    return TRUE;
}

BOOL WINAPI AlphaBlend(HDC dest_dc, int x, int y, int width, int height, HDC src_dc, int src_x, int src_y,
                       int src_width, int src_height, BLENDFUNCTION blend) {
    std::shared_ptr<DeviceContext> dest_context = gdi_lookup_as<DeviceContext>((HGDIOBJ)dest_dc);
    std::shared_ptr<DeviceContext> src_context = gdi_lookup_as<DeviceContext>((HGDIOBJ)src_dc);
    if (!dest_context || !src_context) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Surface dest = dest_context->surface();
    Surface src = src_context->surface();
    bool per_pixel = (blend.AlphaFormat & AC_SRC_ALPHA) != 0;
    if (!dest.valid() || !src.valid() || blend.BlendOp != AC_SRC_OVER || blend.BlendFlags != 0 || width < 0 ||
        height < 0 || src_width < 0 || src_height < 0 || src_x < 0 || src_y < 0 ||
        (int64_t)src_x + src_width > src.width || (int64_t)src_y + src_height > src.height ||
        (per_pixel && src.layout != PixelLayout::ARGB32)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (width == 0 || height == 0 || src_width == 0 || src_height == 0) {
        return TRUE;
    }
    // Within one bitmap the rectangles must not overlap, since every pixel is read after others were written.
    if (same_memory(src, dest)) {
        Box src_box{src_x, src_y, (int64_t)src_x + src_width, (int64_t)src_y + src_height};
        if (src.top != dest.top || src.step != dest.step ||
            !intersect(src_box, {x, y, (int64_t)x + width, (int64_t)y + height}).empty()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    uint32_t constant = blend.SourceConstantAlpha;
    Box box = intersect({x, y, (int64_t)x + width, (int64_t)y + height}, bounds(dest));
    for (int64_t py = box.top; py < box.bottom; py++) {
        // Nearest source pixel: the one under the centre of the destination pixel.
        int64_t sy = src_y + ((py - y) * 2 + 1) * src_height / (2 * (int64_t)height);
        for (int64_t px = box.left; px < box.right; px++) {
            int64_t sx = src_x + ((px - x) * 2 + 1) * src_width / (2 * (int64_t)width);
            uint32_t s_value = load(src, sx, sy);
            uint32_t s_rgb = source_rgb(src, s_value, *dest_context);
            uint32_t d_value = load(dest, px, py);
            uint32_t d_rgb = indexed(dest.layout) ? source_rgb(dest, d_value, *dest_context)
                                                  : rgb_of(dest.layout, d_value);
            uint32_t s[4] = {s_rgb & 0xFF, s_rgb >> 8 & 0xFF, s_rgb >> 16 & 0xFF, s_value >> 24};
            uint32_t d[4] = {d_rgb & 0xFF, d_rgb >> 8 & 0xFF, d_rgb >> 16 & 0xFF, d_value >> 24};
            uint32_t out[4];
            if (per_pixel) {
                for (uint32_t& c : s) {
                    c = div255(c * constant);
                }
                for (int c = 0; c < 4; c++) {
                    out[c] = std::min<uint32_t>(255, s[c] + div255(d[c] * (255 - s[3])));
                }
            } else {
                for (int c = 0; c < 4; c++) {
                    out[c] = div255(s[c] * constant + d[c] * (255 - constant));
                }
            }
            uint32_t rgb = out[2] << 16 | out[1] << 8 | out[0];
            if (dest.layout == PixelLayout::ARGB32) {
                store(dest, px, py, dest.has_alpha ? rgb | out[3] << 24 : rgb | (d_value & 0xFF000000));
            } else if (indexed(dest.layout)) {
                store(dest, px, py, nearest_index(dest, rgb));
            } else {
                store(dest, px, py, value_of(dest.layout, rgb));
            }
        }
    }
    return TRUE;
}

int WINAPI FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
    return paint_rect(dc, rect, brush, false);
}

int WINAPI FrameRect(HDC dc, const RECT* rect, HBRUSH brush) {
    return paint_rect(dc, rect, brush, true);
}
